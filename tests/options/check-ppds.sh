#!/bin/sh
# check-ppds.sh FILTER PPD...: every shipped PPD passes cupstestppd, with the filter
# installed where the PPD's cupsFilter line expects it (in a scratch root).
set -eu
filter=$1
shift
root=$(mktemp -d "${TMPDIR:-/tmp}/ppdroot.XXXXXX")
trap 'rm -rf "$root"' EXIT
serverbin=$(cups-config --serverbin)
mkdir -p "$root$serverbin/filter"
cp "$filter" "$root$serverbin/filter/rastertogdi"
status=0
for ppd in "$@"; do
  if ! cupstestppd -R "$root" "$ppd"; then status=1; fi
done
exit $status
