#!/usr/bin/env bash
# Runs the README's runnable examples against the printer simulator, as a user types them at the
# top of a fresh clone after `make run`. A runnable example is an indented code block that
# follows the line "<!-- example -->". Each block runs with bash from a scratch directory whose
# build/bin is the build's and whose build/demo is prepared as `make run` prepares it; it fails
# when one of its commands fails. A line that starts the simulator in the background
# ("build/bin/xv4sim ... &") goes on once the simulator says it listens; whatever a block leaves
# running is stopped at its end.
#
# Everything runs in a network namespace of its own with loopback only (unshare -n as root,
# unshare -rn as a user). Where none can be made the script says why and exits with 77 (skipped).
#
# Usage: scripts/readme-examples.sh [BUILD [README]]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
readme=$(cd "$(dirname "${2:-$here/../README.md}")" && pwd)/$(basename "${2:-README.md}")

if [ "${XV4_README_NETNS:-}" != 1 ]; then
  if ! command -v unshare >/dev/null || ! command -v ip >/dev/null; then
    echo "readme-examples: skipped: unshare and ip (util-linux, iproute2) are needed to run the" \
      "examples in a loopback-only network namespace" >&2
    exit 77
  fi
  for flags in -n -rn; do
    if unshare "$flags" true 2>/dev/null; then
      XV4_README_NETNS=1 exec unshare "$flags" bash -c 'ip link set lo up && exec "$0" "$@"' \
        "$0" "$build" "$readme"
    fi
  done
  echo "readme-examples: skipped: no network namespace can be made here (unshare -n and" \
    "unshare -rn both failed), and the examples run only in one with loopback alone" >&2
  exit 77
fi

for program in xv4sim xv4ctl xv4link; do
  [ -x "$build/bin/$program" ] || { echo "readme-examples: $build/bin/$program is missing" >&2; exit 1; }
done
. "$here/demo-data.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The blocks, one file each (example-N.sh), and the README line each starts on.
awk -v dir="$work" '
  /^<!-- example -->$/ { armed = 1; next }
  armed && /^$/ { if (n_lines) blank++; next }
  armed && /^    / {
    if (!n_lines) { ++n; line[n] = NR }
    while (blank > 0) { print "" > (dir "/example-" n ".sh"); blank-- }
    print substr($0, 5) > (dir "/example-" n ".sh"); n_lines++; next
  }
  armed { armed = 0; n_lines = 0; blank = 0 }
  END { for (i = 1; i <= n; i++) print i, line[i] > (dir "/index") }
' "$readme"
if [ ! -s "$work/index" ]; then
  echo "readme-examples: no runnable example (<!-- example --> before a code block) in $readme" >&2
  exit 1
fi

failed=0
count=0
while read -r n line; do
  count=$((count + 1))
  root="$work/run-$n"
  mkdir -p "$root/build"
  ln -s "$build/bin" "$root/build/bin"
  prepare_demo_dir "$root/build/demo" 5013
  # The block as written, with the simulator's start turned into a start that waits until it
  # listens (its listening lines go to a file instead of the terminal).
  {
    cat <<'PREAMBLE'
set -euo pipefail
trap '{ set +x; } 2>/dev/null; kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true' EXIT
sim_ready() {
  for _ in $(seq 600); do
    grep -q 'listening on' "$2" 2>/dev/null && { cat "$2"; return 0; }
    kill -0 "$1" 2>/dev/null || { echo "the simulator did not start" >&2; return 1; }
    sleep 0.05
  done
  echo "the simulator did not say it listens" >&2
  return 1
}
PS4='$ '
set -x
PREAMBLE
    sims=0
    while IFS= read -r text; do
      if [[ $text =~ ^(build/bin/xv4sim([[:space:]][^#]*)?)\&[[:space:]]*(#.*)?$ ]]; then
        sims=$((sims + 1))
        out="\"$root/sim-$sims.out\""
        printf '%s >%s &\n{ set +x; } 2>/dev/null; sim_ready $! %s; set -x\n' \
          "${BASH_REMATCH[1]}" "$out" "$out"
      else
        printf '%s\n' "$text"
      fi
    done <"$work/example-$n.sh"
  } >"$root/example.sh"

  echo "== README example $n (line $line)"
  if (cd "$root" && bash "$root/example.sh"); then
    echo "== example $n: ok"
  else
    echo "== example $n (README line $line) FAILED" >&2
    failed=$((failed + 1))
  fi
done <"$work/index"

echo "$count README examples run, $failed failed."
[ "$failed" -eq 0 ]
