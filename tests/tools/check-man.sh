#!/bin/sh
# check-man.sh [-r FILTER DECODE SOURCE] PAGE...: each manual page formats without a
# single groff warning (-ww: every warning groff has, those of -w all and the undefined
# macros and registers too). With -r, the commands of the pages' EXAMPLES that can run
# without a print server run too, as written, in one scratch folder and in the pages'
# order: the installed programs' paths stand for the FILTER and DECODE built here, the
# driver information file of SOURCE/ppd for the installed one, and tests/data/sample.pdf
# for the document; each must succeed. The others (a queue, a server) are listed.
set -eu
run=""
if [ "${1:-}" = "-r" ]; then
  run=1 filter=$2 decode=$3 source=$4
  shift 4
fi
status=0
for page in "$@"; do
  warnings=$(groff -ww -man -Tutf8 -z "$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "$page:"
    echo "$warnings"
    status=1
  fi
done
[ -n "$run" ] || exit $status

# The example commands of a page, one a line: the .nf/.fi blocks of EXAMPLES, lines
# continued with a backslash or a pipe joined, groff's escapes undone.
examples() {
  awk '/^\.SH/ { inside = ($2 == "EXAMPLES") } 
       inside && /^\.nf/ { block = 1; next }
       inside && /^\.fi/ { block = 0; next }
       block { line = $0; sub(/^ +/, "", line); gsub(/\\-/, "-", line); gsub(/\\e/, "\\", line)
               command = command (command == "" ? "" : " ") line
               if (line ~ /(\\|\|)$/) { sub(/\\$/, "", command); next }
               gsub(/  +/, " ", command); print command; command = "" }' "$1"
}

work=$(mktemp -d "${TMPDIR:-/tmp}/manex.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/cups/drv" "$work/run"
for entry in /usr/share/cups/*; do [ "$entry" = /usr/share/cups/drv ] || ln -s "$entry" "$work/cups/"; done
cp "$source/ppd/gdi-laser.drv" "$source"/ppd/gdi-laser-*.po "$work/cups/drv/"
cp "$source/tests/data/sample.pdf" "$work/run/doc.pdf"
cp "$source/tests/data/sample.pdf" "$work/run/document.pdf"
emulator=${GDI_TEST_EMULATOR:-}
ran=0
for page in "$@"; do
  examples "$page" >"$work/commands"
  while IFS= read -r command; do
    case $command in
      /usr/lib/cups/daemon/cups-driverd\ *|/usr/sbin/cupsfilter\ *|PPD=*|gdidecode\ *) ;;
      *) echo "not run here ($(basename "$page")): $command"; continue ;;
    esac
    here=$(printf '%s\n' "$command" |
      sed -e "s#/usr/lib/cups/filter/rastertogdi#$emulator $filter#g" \
          -e "s#^gdidecode #$emulator $decode #" -e "s#| gdidecode #| $emulator $decode #")
    echo "run ($(basename "$page")): $command"
    if ! (cd "$work/run" && CUPS_DATADIR="$work/cups" bash -o pipefail -c "$here") >"$work/out" 2>&1; then
      echo "FAILED: $command"; tail -n 20 "$work/out"; status=1
    fi
    ran=$((ran + 1))
  done <"$work/commands"
done
[ "$ran" -gt 0 ] || { echo "no example could run"; status=1; }
exit $status
