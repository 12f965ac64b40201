# Sourced by the demo scripts: starts the printer simulator on 127.0.0.1 and stops it on every
# way out of the calling script.
#   start_simulator BIN_DIR [OPTION]...
#                             starts BIN_DIR/xv4sim with the options (default: --udp 127.0.0.1:0);
#                             sets sim_port, sim_drawer_port (empty without a cash drawer),
#                             sim_pid and sim_log (the simulator's traffic lines). Returns 1,
#                             after saying why, when it does not start.
#   stop_simulator            stops it (also run at exit)
#   sim_traffic               the traffic lines so far, runs of data records folded into one line

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
  shift
  [ $# -gt 0 ] || set -- --udp 127.0.0.1:0
  "$bin/xv4sim" "$@" >"$sim_tmp/sim.out" 2>"$sim_log" &
  sim_pid=$!
  # Ready once it prints "xv4sim: listening on udp 127.0.0.1:PORT"; every other listening line
  # comes with it.
  for _ in $(seq 200); do
    line=$(grep -m1 'listening on udp' "$sim_tmp/sim.out" || true)
    [ -n "$line" ] && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
      wait "$sim_pid" 2>/dev/null || true
      sim_pid=
      echo "the printer simulator did not start ($*):" >&2
      sed 's/^/  /' "$sim_log" >&2
      return 1
    fi
    sleep 0.05
  done
  if [ -z "$line" ]; then
    echo "the printer simulator did not report its port" >&2
    return 1
  fi
  sim_port=${line##*:}
  # "xv4sim: listening on tcp 127.0.0.1:9100 (cash drawer)"
  sim_drawer_port=$(sed -n 's/^xv4sim: listening on tcp .*:\([0-9]*\) (cash drawer)$/\1/p' \
    "$sim_tmp/sim.out")
}

sim_traffic() {
  awk '
    function flush() {
      if (n == 1) print first
      else if (n > 1) print prefix lo ".." hi " data records -> ack (" n " records)"
      n = 0
    }
    # "xv4sim: udp 63/5 data record -> ack"
    match($0, /^xv4sim: (udp|serial) 63\/[0-9]+ data record -> ack$/) {
      split($3, cw, "/")
      if (n == 0) { first = $0; prefix = $1 " " $2 " 63/"; lo = cw[2] }
      hi = cw[2]; ++n; next
    }
    { flush(); print }
    END { flush() }
  ' "$sim_log"
}
