#!/usr/bin/env bash
# Installs the Debian package on this machine (as root), tries the installed programs as a user
# would, removes the package and checks that nothing of it is left outside the user's directory.
#   scripts/check-deb.sh PACKAGE.deb
# The programs run with a throwaway HOME inside a loopback-only network namespace (when the
# system lets us make one), talking to the installed simulator on 127.0.0.1 only.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1-}" = "--inside" ]; then
  # Runs in the namespace: HOME is the throwaway one.
  ip link set lo up 2>/dev/null || true
  export XV4_LOCAL_PORT=0
  xv4ctl --version
  # shellcheck source=scripts/simulator.sh
  . scripts/simulator.sh
  start_simulator /usr/bin
  # The English texts come from /usr/share/xv4tool/English.LNG.
  out=$(XV4_ACP=1252 xv4ctl --host 127.0.0.1 --port "$sim_port" --log-traffic test)
  [ "${out%%$'\n'*}" = "Communication test succeeded!" ] ||
    { echo "check-deb: xv4ctl test said '$out'" >&2; exit 1; }
  stop_simulator
  # The dynamic loader lists every library the window loads, plugins included.
  xvfb-run -a env LD_DEBUG=files LD_DEBUG_OUTPUT="$XV4_LD_TRACE" \
    xv4tool --screenshot "$HOME/window" 2> >(grep -v XDG_RUNTIME_DIR >&2)
  exit 0
fi

[ $# -eq 1 ] || { echo "usage: $0 PACKAGE.deb" >&2; exit 2; }
deb=$(realpath "$1")
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "installing the package needs root or sudo" >&2; exit 1; }
  sudo=(sudo)
fi
if dpkg-query -W -f='${Status}' xv4tool 2>/dev/null | grep -q 'ok installed'; then
  echo "xv4tool is installed already; remove it first (apt-get purge xv4tool)" >&2
  exit 1
fi

work=$(mktemp -d)
installed=0
cleanup() {
  if [ $installed -eq 1 ]; then
    "${sudo[@]}" dpkg --purge xv4tool >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-deb: $*" >&2; exit 1; }

# Paths of the package, and which of them existed before (shared directories such as /usr/bin).
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|; s|/$||' | grep -v '^/\?$' >"$work/paths"
while read -r p; do [ -e "$p" ] && echo "$p"; done <"$work/paths" >"$work/existed"
touch "$work/before"
sleep 1  # file times have a one-second grain on some file systems

echo "== install"
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
installed=1

echo "== the installed files"
for p in xv4tool xv4ctl xv4sim; do
  [ -x "/usr/bin/$p" ] || fail "/usr/bin/$p missing"
  [ -f "/usr/share/bash-completion/completions/$p" ] || fail "no completion for $p"
  page=/usr/share/man/man1/$p.1.gz
  [ -f "$page" ] || fail "no manual page for $p"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "manual page of $p: $warnings"
  # Nothing may point back into a build tree.
  ! readelf -d "/usr/bin/$p" | grep -qE 'RPATH|RUNPATH' || fail "$p carries a library path"
done
desktop-file-validate /usr/share/applications/xv4tool.desktop
[ -f /usr/share/icons/hicolor/scalable/apps/xv4tool.svg ] || fail "no scalable icon"
[ -f /usr/share/icons/hicolor/48x48/apps/xv4tool.png ] || fail "no 48 px icon"

# Every library a program loads must come from a package that the package depends on (directly
# or not), so the programs run on a machine that has only the runtime libraries.
closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
  --no-replaces --no-enhances xv4tool 2>/dev/null | grep -v '^ ' | sed 's/:.*//' | sort -u)
# Qt's X11 plugin loads libXcursor (and with it libXrender) when it is there and does without.
optional=$'\nlibxcursor1\nlibxrender1'
check_libraries() {
  local who=$1 lib owner
  shift
  for lib in "$@"; do
    owner=$(dpkg -S "$(realpath "$lib")" 2>/dev/null || dpkg -S "$lib" 2>/dev/null || true)
    owner=$(head -1 <<<"$owner" | cut -d: -f1)
    [ -n "$owner" ] || fail "$who loads $lib, which no package owns"
    grep -qx "$owner" <<<"$closure$optional" || fail "$who loads $lib from $owner, not a dependency"
  done
}
for p in xv4tool xv4ctl xv4sim; do
  check_libraries "$p" $(ldd "/usr/bin/$p" | awk '/=> \//{print $3}')
done

echo "== the completion"
comp=$(bash -c 'source /usr/share/bash-completion/completions/xv4ctl
  COMP_WORDS=(xv4ctl --ser); COMP_CWORD=1; _xv4; printf "%s " "${COMPREPLY[@]}"
  COMP_WORDS=(xv4ctl --host 127.0.0.1 pa); COMP_CWORD=3; _xv4; printf "%s " "${COMPREPLY[@]}"')
[ "$comp" = "--serial params " ] || fail "completion offered '$comp'"

echo "== the programs, as a user with a fresh home"
home=$work/home
mkdir -p "$home"
env_run=(env -u XV4_HOME -u XDG_CONFIG_HOME -u XDG_STATE_HOME HOME="$home"
  PATH=/usr/sbin:/usr/bin:/sbin:/bin XV4_LD_TRACE="$work/ld")
if unshare -n true 2>/dev/null; then
  "${env_run[@]}" unshare -n bash "$0" --inside
else
  echo "(no network namespace here: the simulator and xv4ctl use 127.0.0.1 only)"
  "${env_run[@]}" bash "$0" --inside
fi
[ -f "$home/.config/xv4tool/Config.cfg" ] || fail "Config.cfg is not in ~/.config/xv4tool"
[ -f "$home/.config/xv4tool/Chinese.LNG" ] || fail "Chinese.LNG is not in ~/.config/xv4tool"
[ "$(stat -c %a "$home/.config/xv4tool")" = 700 ] || fail "~/.config/xv4tool is not private"
ls "$home"/.local/state/xv4tool/LOG/*.LOG >/dev/null || fail "no traffic log in ~/.local/state/xv4tool"
[ -f "$home/window-main.png" ] || fail "the window took no picture of itself"
loaded=$(sed -n 's/.*calling init: \(\/.*\)/\1/p' "$work"/ld.* | grep -v '^/usr/bin/' | sort -u)
[ -n "$loaded" ] || fail "no trace of the libraries the window loaded"
check_libraries "the window" $loaded
grep -q 'qt6/plugins/platforms/' <<<"$loaded" || fail "the window loaded no platform plugin"
(cd "$home" && find . -type f | sort | sed 's|^\./|  ~/|')

echo "== remove"
"${sudo[@]}" dpkg --purge xv4tool >/dev/null
installed=0
while read -r p; do
  grep -qxF "$p" "$work/existed" && continue
  [ ! -e "$p" ] || fail "$p is left after removal"
done <"$work/paths"
# No file that no package owns appeared under /usr, /etc or /opt while the package was there
# (the programs wrote nothing beside themselves), apart from the caches that the desktop's own
# triggers rebuild.
left=$( (find /usr /etc /opt -xdev -newer "$work/before" ! -type d 2>/dev/null || true) |
  { grep -vE '/(icon-theme\.cache|mimeinfo\.cache|ld\.so\.cache)$' || true; } |
  while read -r f; do dpkg -S "$f" >/dev/null 2>&1 || echo "$f"; done)
[ -z "$left" ] || fail "left behind: $left"
echo "check-deb: installed, ran and removed $(basename "$deb") cleanly"
