#!/usr/bin/env bash
# Starts the printer simulator on 127.0.0.1 (UDP, a port the system chooses), runs the demo
# program against it, and stops the simulator on every way out.
# Usage: scripts/demo.sh BIN_DIR
set -euo pipefail
bin=${1:?usage: demo.sh BIN_DIR}
if [ ! -x "$bin/xv4sim" ]; then
  echo "demo.sh: $bin/xv4sim not found; build first" >&2
  exit 1
fi

tmp=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

"$bin/xv4sim" --udp 127.0.0.1:0 >"$tmp/sim.out" 2>"$tmp/sim.err" &
sim_pid=$!

# The simulator prints "xv4sim: listening on udp 127.0.0.1:PORT" once it is ready.
line=
for _ in $(seq 200); do
  line=$(grep -m1 'listening on udp' "$tmp/sim.out" || true)
  [ -n "$line" ] && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "demo.sh: the simulator did not start:" >&2
    cat "$tmp/sim.err" >&2
    exit 1
  fi
  sleep 0.05
done
if [ -z "$line" ]; then
  echo "demo.sh: the simulator did not report its port" >&2
  exit 1
fi
port=${line##*:}
echo "Printer simulator listening on 127.0.0.1:$port"

status=0
if [ -x "$bin/xv4demo" ]; then
  "$bin/xv4demo" 127.0.0.1 "$port" || status=$?
else
  echo "xv4demo is not built yet; nothing to run against the simulator."
fi

kill -TERM "$sim_pid"
wait "$sim_pid" || true
sim_pid=
if [ -s "$tmp/sim.err" ]; then
  echo
  echo "What the simulator saw:"
  sed 's/^/  /' "$tmp/sim.err"
fi
exit "$status"
