#!/usr/bin/env bash
# Instructions per 64-byte packet on TALVEN's packet path, from Send to the ReadData that hands
# the packet out, counted by callgrind: a figure that machine noise does not move.
#   bench/instructions.sh [packets] [--annotate]
# Builds the driver in the Release build directory that bench/run.sh uses (build/bench).
set -euo pipefail
cd "$(dirname "$0")/.."

packets=2000
annotate=0
for arg in "$@"; do
  case "$arg" in
    --annotate) annotate=1 ;;
    *) packets=$arg ;;
  esac
done

build=${TALVEN_BENCH_BUILD:-build/bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTALVEN_BUILD_BENCH=ON \
  -DTALVEN_BUILD_TESTS=OFF -DTALVEN_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j2 --target talven-bench-instructions >/dev/null

out=$(mktemp /tmp/talven-callgrind.XXXXXX)
trap 'rm -f "$out"' EXIT
valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out" \
  "$build/bench/compare/talven-bench-instructions" "$packets" >/dev/null 2>"$out.log" || {
  cat "$out.log" >&2
  rm -f "$out.log"
  exit 1
}
rm -f "$out.log"

total=$(awk '/^(summary|totals):/ { print $2; exit }' "$out")
echo "instructions per 64-byte packet, Send to ReadData: $((total / packets)) ($total over $packets packets)"
if [ "$annotate" -eq 1 ]; then
  callgrind_annotate --inclusive=no "$out" | head -45
fi
