#!/usr/bin/env bash
# Builds talven-bench (Release, in build/bench) and runs it, after installing the Debian
# packages of the contenders when they are missing. Arguments go to talven-bench:
#   bench/run.sh                      the full run (a few minutes)
#   bench/run.sh --quick              tiny counts
#   bench/run.sh --scenario stream    one scenario or family
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ pkg-config libasio-dev libzmq3-dev libbenchmark-dev libgtest-dev valgrind)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build=${TALVEN_BENCH_BUILD:-build/bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTALVEN_BUILD_BENCH=ON \
  -DTALVEN_BUILD_TESTS=OFF -DTALVEN_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j2 --target talven-bench talven-bench-instructions talven-bench-tests >/dev/null
exec "$build/bench/compare/talven-bench" "$@"
