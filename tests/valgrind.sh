#!/usr/bin/env bash
# Runs the integration tests under valgrind's memcheck: any invalid access, use of uninitialised
# memory, or definite/indirect leak fails the run (exit status 1).
#
#   tests/valgrind.sh [build directory]      (default build/default; built here if missing)
#
# GTEST_FILTER narrows the tests; by default the two load tests whose volume makes memcheck
# slow (the 1,000-connection soak and the 100 MB slow-reader test) are left to the sanitizer
# runs.
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

filter="${GTEST_FILTER:--Soak.*:HostilePeer.PeerThatNeverReads*}"
exec valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
  --errors-for-leak-kinds=definite,indirect --error-exitcode=1 --num-callers=30 \
  "${exe}" --gtest_filter="${filter}"
