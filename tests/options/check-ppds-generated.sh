#!/bin/sh
# check-ppds-generated.sh PPDC DIR: the PPDs in DIR are what ppdc makes of DIR's driver
# information file today, so an edit of one without the other is caught.
set -eu
ppdc=$1
dir=$2
out=$(mktemp -d "${TMPDIR:-/tmp}/ppdgen.XXXXXX")
trap 'rm -rf "$out"' EXIT
"$ppdc" -d "$out" "$dir/gdi-laser.drv"
status=0
for made in "$out"/*.ppd; do
  shipped="$dir/$(basename "$made")"
  if ! diff -u "$shipped" "$made"; then
    echo "$shipped differs from ppdc's output; regenerate it with: ppdc -d ppd ppd/gdi-laser.drv" >&2
    status=1
  fi
done
exit $status
