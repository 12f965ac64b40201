#!/usr/bin/env bash
# Starts the bundled printer simulator on 127.0.0.1 and runs the tool against it.
set -euo pipefail
build=${1:-build}
bin="$build/bin"
if [ ! -x "$bin/xv4sim" ]; then
  echo "The printer simulator is not built yet; nothing to run."
  exit 0
fi
exec "$(dirname "$0")/demo.sh" "$bin"
