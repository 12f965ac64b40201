#!/bin/sh
# Writes the manual page of a program, gzip-compressed, from its --help (see manpage.awk).
#   manpage.sh PROGRAM OUT.gz VERSION DATE SUMMARY "PROGRAMS OF THE PACKAGE"
set -eu
here=$(dirname "$0")
prog=$1 out=$2
help=$("$prog" --help)
printf '%s\n' "$help" |
  awk -v prog="$(basename "$prog")" -v version="$3" -v date="$4" -v summary="$5" -v seealso="$6" \
      -f "$here/manpage.awk" >"$out.tmp"
gzip -9n <"$out.tmp" >"$out"
rm -f "$out.tmp"
