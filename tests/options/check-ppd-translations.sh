#!/bin/sh
# check-ppd-translations.sh FILTER DIR: every text of DIR's driver information file (as
# ppdpo lists them) has a translation in each catalog its #po lines name, and the PPDs
# ppdc makes in each of those languages pass cupstestppd (check-ppds.sh).
set -eu
filter=$1
dir=$2
here=$(dirname "$0")
out=$(mktemp -d "${TMPDIR:-/tmp}/ppdlang.XXXXXX")
trap 'rm -rf "$out"' EXIT
ppdpo -o "$out/texts.po" "$dir/gdi-laser.drv"
langs=$(sed -n 's/^#po \([A-Za-z_]*\) .*/\1/p' "$dir/gdi-laser.drv")
[ -n "$langs" ] || { echo "gdi-laser.drv names no catalogs"; exit 1; }
status=0
for lang in $langs; do
  # The msgids of texts.po that the language's catalog lacks or leaves empty.
  missing=$(awk -v want="$out/texts.po" '
    function text(line) { sub(/^msg(id|str) "/, "", line); sub(/"$/, "", line); return line }
    FILENAME == want && /^msgid "[^"]/ { need[text($0)] = 1; next }
    FILENAME != want && /^msgid / { id = text($0); next }
    FILENAME != want && /^msgstr "[^"]/ { have[id] = 1 }
    END { for (id in need) if (!(id in have)) print id }' \
    "$out/texts.po" "$dir/gdi-laser-$lang.po")
  if [ -n "$missing" ]; then
    echo "gdi-laser-$lang.po has no translation of:"; echo "$missing"; status=1
  fi
  mkdir "$out/$lang"
  # A PPD in the language itself: its texts from the catalog, as lpoptions -l shows them.
  ppdc -l "$lang" -c "$dir/gdi-laser-$lang.po" -d "$out/$lang" "$dir/gdi-laser.drv"
  echo "== the PPDs in $lang"
  sh "$here/check-ppds.sh" "$filter" "$out/$lang"/*.ppd || status=1
done
exit $status
