#!/usr/bin/env bash
# make run. Starts the printer simulator on 127.0.0.1 (UDP 5013, or a port the system chooses
# when 5013 is taken; the cash drawer on TCP 9100 when free) and prepares the demo data directory
# (build/demo: Config.cfg pointing at the simulator, a made-up zk16.hex). With a display it runs
# the window there and stops the simulator when the window closes. Without one it runs xv4ctl's
# communication test, parameter download and cash drawer against the simulator, showing each
# command, and says how to open the window (make run builds the window only with a display).
set -euo pipefail
build=${1:-build}
bin="$build/bin"
demo="$build/demo"
here=$(cd "$(dirname "$0")" && pwd)
. "$here/simulator.sh"
. "$here/demo-data.sh"

start_simulator "$bin" --udp 127.0.0.1:5013 2>/dev/null || start_simulator "$bin"
prepare_demo_dir "$demo" "$sim_port"
drawer="cash drawer on TCP 127.0.0.1:$sim_drawer_port"
[ -n "$sim_drawer_port" ] || drawer="no cash drawer: TCP 127.0.0.1:9100 is taken"
echo "Printer simulator on UDP 127.0.0.1:$sim_port, $drawer."
echo "Demo data directory: $demo (Config.cfg points at the simulator; zk16.hex is made up)."

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): xv4ctl runs the window's operations."
  status=0
  run() {
    echo
    echo "\$ $*"
    "$@" || { status=$?; echo "(exit status $status)"; }
  }
  ctl=("$bin/xv4ctl" --data-dir "$demo" --host 127.0.0.1 --port "$sim_port")
  run "${ctl[@]}" test
  run "${ctl[@]}" params
  if [ "$sim_drawer_port" = 9100 ]; then
    run "${ctl[@]}" drawer
  elif [ -n "$sim_drawer_port" ]; then
    run "${ctl[@]}" --drawer-port "$sim_drawer_port" drawer
  fi
  stop_simulator
  echo
  echo "What the simulator saw:"
  sim_traffic | sed 's/^/  /'
  cat <<TEXT

To open the window, run 'make run' in a desktop session (DISPLAY or WAYLAND_DISPLAY set, for
example over 'ssh -X'): it builds the window, $bin/xv4tool, and opens it on $demo against
the simulator. There F2 tests the link, F7 downloads the parameters and 'Open cash drawer'
sends the drawer command. README.md has more examples; 'make test' builds and runs every test.
TEXT
  exit "$status"
fi

# Qt wants a private runtime directory; a session without one gets one for this run.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR="$sim_tmp/runtime"
  mkdir -m 700 "$XDG_RUNTIME_DIR"
fi
# In the background, so that a signal to this script stops the window and the simulator at once.
"$bin/xv4tool" --data-dir "$demo" &
tool_pid=$!
trap 'kill -TERM "$tool_pid" 2>/dev/null; exit 130' INT
trap 'kill -TERM "$tool_pid" 2>/dev/null; exit 143' TERM
status=0
wait "$tool_pid" || status=$?
stop_simulator
echo "What the simulator saw:"
sim_traffic | sed 's/^/  /'
exit "$status"
