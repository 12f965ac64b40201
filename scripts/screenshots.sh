#!/usr/bin/env bash
# Pictures of the window for review: the main window as started and with every service row
# revealed, and the progress dialog running and with a final message, in Simplified Chinese,
# Traditional Chinese and English, under a virtual X server. Output: build/screenshots/*.png.
#
# The tool takes them itself (hidden option --screenshot PREFIX); the language follows XV4_ACP,
# as it follows the system code page in normal use. Each language runs in its own fresh data
# directory, so no saved setting changes what is shown.
set -euo pipefail
build=${1:-build}
bin="$build/bin"
out="$build/screenshots"
if ! command -v xvfb-run >/dev/null; then
  echo "xvfb-run is missing (Debian package xvfb); run 'make deps'." >&2
  exit 1
fi
rm -rf "$out"
mkdir -p "$out"
for lang in zh-CN:936 zh-TW:950 en:1252; do
  name=${lang%%:*}
  acp=${lang##*:}
  data="$out/data-$name"
  XV4_ACP=$acp xvfb-run -a -s "-screen 0 1280x1024x24" \
    "$bin/xv4tool" --data-dir "$data" --screenshot "$out/$name" 2> >(grep -v XDG_RUNTIME_DIR >&2)
  rm -rf "$data"
done
ls "$out"/*.png
