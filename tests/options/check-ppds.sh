#!/bin/sh
# check-ppds.sh FILTER PPD...: every shipped PPD passes cupstestppd, with the filter
# installed where the PPD's cupsFilter line expects it (in a scratch root). cupstestppd
# wants that filter owned by root, as CUPS does; run by another user (a package built
# without root), the filter checks are left out and the rest is checked all the same.
set -eu
filter=$1
shift
root=$(mktemp -d "${TMPDIR:-/tmp}/ppdroot.XXXXXX")
trap 'rm -rf "$root"' EXIT
serverbin=$(cups-config --serverbin)
mkdir -p "$root$serverbin/filter"
cp "$filter" "$root$serverbin/filter/rastertogdi"
ignore=""
if [ "$(id -u)" -ne 0 ]; then
  echo "not root: the filter cannot be owned by root here, so its checks are left out"
  ignore="-I filters"
fi
status=0
for ppd in "$@"; do
  # shellcheck disable=SC2086
  if ! cupstestppd $ignore -R "$root" "$ppd"; then status=1; fi
done
exit $status
