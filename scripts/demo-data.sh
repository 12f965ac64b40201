# Sourced by scripts/run.sh and scripts/readme-examples.sh: the demo data directory that `make run`
# prepares and the README's examples name (build/demo).
#   prepare_demo_dir DIR PORT   Config.cfg pointing the window at 127.0.0.1:PORT (a file from an
#                               earlier run keeps its other fields), a made-up zk16.hex, a README

prepare_demo_dir() {
  local demo=$1 port=$2
  mkdir -p "$demo"
  local cfg="$demo/Config.cfg"
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
Demo data directory of `make run` and of the README's examples.

Config.cfg points the window at the printer simulator on 127.0.0.1 (its port is written
anew at every run of `make run`). zk16.hex is synthetic: 128 records of 0x55 bytes, not
real font data, made only so that the parameter download has a data file to send to the
simulator. Never send it to a real printer: the parameter download writes its records
into the printer.
TEXT
}
