#!/bin/sh
# check-man.sh PAGE...: each manual page formats without a single groff warning (-ww:
# every warning groff has, those of -w all and the undefined macros and registers too).
set -eu
status=0
for page in "$@"; do
  warnings=$(groff -ww -man -Tutf8 -z "$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "$page:"
    echo "$warnings"
    status=1
  fi
done
exit $status
