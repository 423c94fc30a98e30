#!/bin/bash
# talvencat.exe under Wine and the Linux talvencat exchange packets over 127.0.0.1, both ways:
# each in turn is the echoing server, the other the client whose lines must all come back.
#   talvencat_cross.sh LINUX_TALVENCAT WINE_RUN WINDOWS_TALVENCAT WORK_DIR
set -uo pipefail
linux=$1 wine_run=$2 windows=$3 work=$4
rm -rf "$work" && mkdir -p "$work"

lines() {
  for i in $(seq 1 200); do echo "packet $i from the $1 side, $(printf 'x%.0s' $(seq 1 $((i % 50))))"; done
  head -c 3000 /dev/zero | tr '\0' 'y'; echo
}

# exchange NAME SERVER... -- CLIENT...: the server echoes on a port of its choosing; the client
# sends the lines and must read every one back, in order.
exchange() {
  local name=$1; shift
  local server=() client=()
  while [ "$1" != "--" ]; do server+=("$1"); shift; done; shift
  client=("$@")
  timeout 60 "${server[@]}" -l --echo 127.0.0.1 0 </dev/null >"$work/$name.server.out" 2>"$work/$name.server.err" &
  local pid=$!
  local port=""
  for _ in $(seq 1 200); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/$name.server.err" | head -1)
    [ -n "$port" ] && break
    sleep 0.05
  done
  if [ -z "$port" ]; then
    echo "$name: the server did not report its port:"; cat "$work/$name.server.err"
    kill "$pid" 2>/dev/null; return 1
  fi
  lines "$name" >"$work/$name.in"
  timeout 60 "${client[@]}" -q 127.0.0.1 "$port" <"$work/$name.in" >"$work/$name.out" 2>"$work/$name.err"
  local status=$?
  kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
  if [ $status -ne 0 ] || ! cmp -s "$work/$name.in" "$work/$name.out"; then
    echo "$name: the client exited $status and got back $(wc -l <"$work/$name.out") of $(wc -l <"$work/$name.in") lines"
    cat "$work/$name.err"
    return 1
  fi
  echo "$name: $(wc -l <"$work/$name.in") packets there and back"
}

failed=0
exchange linux-server "$linux" -- "$wine_run" "$windows" || failed=1
exchange windows-server "$wine_run" "$windows" -- "$linux" || failed=1
exit $failed
