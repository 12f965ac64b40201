#!/usr/bin/env bash
# Runs every benchmark program of a build (BUILD/bin/bench_*) one after the other and prints
# their figures. Fails when a program cannot run or exits with an error.
# Usage: scripts/bench.sh [BUILD]
set -euo pipefail
build=${1:-build}
shopt -s nullglob
programs=("$build"/bin/bench_*)
if [ ${#programs[@]} -eq 0 ]; then
  echo "No benchmark programs in $build/bin."
  exit 0
fi
status=0
for program in "${programs[@]}"; do
  [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  "$program" || { echo "$(basename "$program") failed with status $?" >&2; status=1; }
  echo
done
exit "$status"
