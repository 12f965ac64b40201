#!/usr/bin/env bash
# Runs the fuzz harnesses of a fuzz build (make fuzz): each for SECONDS on its own working
# corpus in BUILD/fuzz-work/NAME/ (the seeds of tests/fuzz/corpus/NAME are copied in, so the
# repository does not change; inputs found in earlier runs are kept there). Prints one line per
# harness; a crash, a hang or a sanitizer finding leaves its input beside the working corpus and
# makes the script fail.
#
#   scripts/fuzz.sh BUILD SECONDS [NAME...]
set -uo pipefail
build=${1:?usage: fuzz.sh BUILD SECONDS [NAME...]}
seconds=${2:?usage: fuzz.sh BUILD SECONDS [NAME...]}
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
seeds=$root/tests/fuzz/corpus

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for exe in "$build"/fuzz/fuzz_*; do
    names+=("$(basename "$exe" | sed 's/^fuzz_//')")
  done
fi

failed=0
for name in "${names[@]}"; do
  exe=$build/fuzz/fuzz_$name
  if [ ! -x "$exe" ]; then
    echo "fuzz $name: no such harness ($exe)"
    failed=1
    continue
  fi
  work=$build/fuzz-work/$name
  mkdir -p "$work/corpus"
  cp -n "$seeds/$name"/* "$work/corpus/" 2>/dev/null || true
  log=$work/last.log
  # -timeout: an input that takes longer counts as a hang. -rss_limit_mb: as libFuzzer's
  # default, named so that a memory finding is expected here.
  ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" >"$log" 2>&1 &
  pid=$!
  wait $pid
  status=$?
  # The harness's scratch folder (tests/fuzz/FuzzSupport.cpp), left behind after a finding.
  rm -rf /dev/shm/xv4fuzz-$pid-* "${TMPDIR:-/tmp}"/xv4fuzz-$pid-*
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  corpus=$(find "$work/corpus" -type f | wc -l)
  if [ $status -eq 0 ]; then
    printf 'fuzz %-18s ok     %10s runs  coverage %5s  corpus %5s\n' "$name" "${runs:-?}" \
      "${cov:-?}" "$corpus"
  else
    artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    printf 'fuzz %-18s FAILED %s (log %s)\n' "$name" "${artifact:-exit status $status}" "$log"
    failed=1
  fi
done
exit $failed
