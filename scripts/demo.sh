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

. "$(dirname "$0")/simulator.sh"
start_simulator "$bin"
port=$sim_port
echo "Printer simulator listening on 127.0.0.1:$port"

status=0
"$bin/xv4demo" 127.0.0.1 "$port" || status=$?

stop_simulator
if [ -s "$sim_log" ]; then
  echo
  echo "What the simulator saw:"
  sed 's/^/  /' "$sim_log"
fi
exit "$status"
