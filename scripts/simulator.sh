# Sourced by the demo scripts: starts the printer simulator on 127.0.0.1 and stops it on every
# way out of the calling script.
#   start_simulator BIN_DIR   sets sim_port (and sim_pid, sim_log: the simulator's traffic lines)
#   stop_simulator            stops it (also run at exit)

sim_pid=
sim_tmp=$(mktemp -d)
sim_log="$sim_tmp/sim.err"

stop_simulator() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  sim_pid=
}
trap 'stop_simulator; rm -rf "$sim_tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

start_simulator() {
  local bin=$1 line=
  "$bin/xv4sim" --udp 127.0.0.1:0 >"$sim_tmp/sim.out" 2>"$sim_log" &
  sim_pid=$!
  # Ready once it prints "xv4sim: listening on udp 127.0.0.1:PORT".
  for _ in $(seq 200); do
    line=$(grep -m1 'listening on udp' "$sim_tmp/sim.out" || true)
    [ -n "$line" ] && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
      echo "the printer simulator did not start:" >&2
      cat "$sim_log" >&2
      exit 1
    fi
    sleep 0.05
  done
  if [ -z "$line" ]; then
    echo "the printer simulator did not report its port" >&2
    exit 1
  fi
  sim_port=${line##*:}
}
