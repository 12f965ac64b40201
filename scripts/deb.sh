#!/usr/bin/env bash
# Builds the Debian package of a build directory and checks it with lintian (fails on errors).
#   scripts/deb.sh BUILD_DIR      prints the path of the package on its last line
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
desktop-file-validate packaging/xv4tool.desktop
rm -rf "$build/package"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/package/xv4tool_*.deb)
echo "lintian $deb:"
# Errors fail the build; warnings and the rest are shown.
lintian --fail-on error --tag-display-limit 0 "$deb" || {
  echo "lintian found errors in $deb" >&2
  exit 1
}
echo "$deb"
