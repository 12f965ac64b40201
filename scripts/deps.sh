#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need (iproute2: the tests and
# demos run in a loopback-only network namespace); with the argument "package", also those that
# make deb and make check-deb need, with "fuzz" those of make fuzz, with "bench" the baseline
# programs the benchmarks compare with (lrzsz: sz and rz).
# Does nothing when they are all present, so it is cheap to run before every build.
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config qt6-base-dev libgtest-dev
          fonts-wqy-zenhei xvfb xauth ccache iproute2)
case "${1-}" in
  package) packages+=(lintian desktop-file-utils man-db) ;;  # make deb, make check-deb
  fuzz) packages+=(clang libclang-rt-dev) ;;                  # make fuzz
  bench) packages+=(lrzsz) ;;                                 # make bench
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root or sudo to install ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
