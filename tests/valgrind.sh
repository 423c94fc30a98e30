#!/usr/bin/env bash
# Runs the integration tests under valgrind's memcheck: any invalid access, use of uninitialised
# memory, or definite/indirect leak fails the run (exit status 1).
#
#   tests/valgrind.sh [build directory]      (default build/default; built here if missing)
#
# GTEST_FILTER narrows the tests. By default every integration test runs but descriptor
# exhaustion: valgrind enforces a lowered descriptor limit itself, by closing a descriptor the
# kernel has already made, so a refused accept there loses its connection (the sanitizer runs
# cover that test).
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build/default}"
exe="${build}/tests/talven_integration_tests"
if [ ! -x "${exe}" ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target talven_integration_tests
  build=build/default
  exe="${build}/tests/talven_integration_tests"
fi

filter="${GTEST_FILTER:--DescriptorExhaustion.*}"
exec valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
  --errors-for-leak-kinds=definite,indirect --error-exitcode=1 --num-callers=30 \
  "${exe}" --gtest_filter="${filter}"
