#!/usr/bin/env bash
# Builds the fuzz targets (the `fuzz` preset: clang, address + undefined-behaviour sanitizers)
# and runs each one for a bounded time, starting from its committed seed corpus. Fails on any
# finding (crash, sanitizer report, leak, timeout) and leaves the reproducer in build/fuzz/.
#
#   fuzz/run.sh [seconds per target]     (default 30; FUZZ_JOBS=1)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
for target in recv_assembly notify_dispatch; do
  work="build/fuzz/corpus/${target}"       # the seeds plus what this run finds; not committed
  mkdir -p "${work}" "build/fuzz/findings/${target}"
  echo "== ${target}: ${seconds} s"
  if ! "build/fuzz/fuzz/${target}_fuzz" "${work}" "fuzz/corpus/${target}" \
        -max_total_time="${seconds}" -timeout=10 -rss_limit_mb=2048 -max_len=8192 -len_control=0 \
        -artifact_prefix="build/fuzz/findings/${target}/" -print_final_stats=1; then
    echo "FAIL: ${target} found a fault; reproducer in build/fuzz/findings/${target}/" >&2
    status=1
  fi
done
exit "${status}"
