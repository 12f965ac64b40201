#!/usr/bin/env bash
# make run. With a display: starts the printer simulator on 127.0.0.1 (UDP, a port the system
# chooses), prepares a demo data directory (build/demo) whose Config.cfg points the window at the
# simulator, runs the window there, and stops the simulator when the window closes. Without a
# display: the headless demo.
set -euo pipefail
build=${1:-build}
bin="$build/bin"
here=$(cd "$(dirname "$0")" && pwd)

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): running the headless demo instead."
  if [ -x "$here/demo.sh" ] && [ -x "$bin/xv4sim" ]; then
    exec "$here/demo.sh" "$bin"
  fi
  echo "The headless demo is not part of this build yet; nothing to run."
  exit 0
fi

demo="$build/demo"
mkdir -p "$demo"
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

port=5013
if [ -x "$bin/xv4sim" ]; then
  "$bin/xv4sim" --udp 127.0.0.1:0 >"$tmp/sim.out" 2>"$tmp/sim.err" &
  sim_pid=$!
  # Ready once it prints "xv4sim: listening on udp 127.0.0.1:PORT".
  line=
  for _ in $(seq 200); do
    line=$(grep -m1 'listening on udp' "$tmp/sim.out" || true)
    [ -n "$line" ] && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
      echo "run.sh: the simulator did not start:" >&2
      cat "$tmp/sim.err" >&2
      exit 1
    fi
    sleep 0.05
  done
  if [ -z "$line" ]; then
    echo "run.sh: the simulator did not report its port" >&2
    exit 1
  fi
  port=${line##*:}
  echo "Printer simulator on 127.0.0.1:$port"
else
  echo "The printer simulator is not built yet: the window starts without a printer to talk to."
fi

# The window reads its fields from Config.cfg: the printer address is the simulator's. A file
# from an earlier demo keeps its other fields.
cfg="$demo/Config.cfg"
if [ -f "$cfg" ]; then
  sed -i -E "s/^IPAddrEd=.*/IPAddrEd=127.0.0.1\r/; s/^IPPortEd=.*/IPPortEd=$port\r/" "$cfg"
else
  printf '%s\r\n' '[Set]' 'IPAddrEd=127.0.0.1' "IPPortEd=$port" 'PortCB=0' 'BaudRateCB=-1' \
    'IdEd=1234' 'PP3IDEd=12345678' 'LabelHeightEd=210' 'LabelProbeEd=0' 'DensityEd=0' \
    'cbbsort=-1' 'cbbJianFan=-1' 'cb_codepage=-1' 'NewIPAddrEd=127.0.0.1' 'EthCB=0' \
    'edtlanyani=' 'WuxianPrinterIPEdit=127.0.0.2' 'BaseIPEdit=127.0.0.3' \
    'WuxianPrinterIDEdit=1234' 'DefBaudRateCB=5' 'edKcid=1' 'cb_alert=-1' 'se1=50' \
    'edt_WiFi_Ip=127.0.0.4' 'edt_wifi_Mac=' 'edt_wifi_pass=' 'cbb_wifi_keyType=0' \
    'edt_wifi_ssid=' 'cbb_wifi_link=0' 'cbb_safetype=0' 'cb_Lng=0' >"$cfg"
  chmod 600 "$cfg"
fi
# The parameter download sends the printer's font data file; the demo uses a made-up one.
if [ ! -f "$demo/zk16.hex" ]; then
  head -c 32768 /dev/zero | tr '\0' '\125' >"$demo/zk16.hex"
fi
cat >"$demo/README" <<'TEXT'
Demo data directory of `make run`.

Config.cfg points the window at the printer simulator on 127.0.0.1 (its port is written
anew at every run). zk16.hex is synthetic: 128 records of 0x55 bytes, not real font data,
made only so that the parameter download has a data file to send to the simulator.
TEXT

"$bin/xv4tool" --data-dir "$demo"
