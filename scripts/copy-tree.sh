#!/usr/bin/env bash
# copy-tree.sh DEST: copies the working tree of this checkout, as it is, into DEST
# (which must exist), without build folders, the git folder and other ignored files.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dest=$1
if git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$top" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf -) | tar -xf - -C "$dest"
else
  (cd "$top" && tar --exclude='./build*' --exclude=./out --exclude=./.git -cf - .) |
    tar -xf - -C "$dest"
fi
