#!/usr/bin/env bash
# Installs what is missing, builds the filter and gdidecode (only those) and prints
# the bundled sample page the way a print queue does: cupsfilter turns the PDF into
# CUPS raster for the model 1 PPD, rastertogdi turns the raster into the printer's
# stream, and gdidecode checks the stream and renders its pages to PNG.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/deps.sh" sample
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target rastertogdi gdidecode

ppd="$top/ppd/gdilsr1.ppd"
pdf="$top/tests/data/sample.pdf"
options="PageSize=A4"
out="$top/out"
mkdir -p "$out"
rm -f "$out"/sample.* "$out"/page-*.pbm "$out"/page-*.png
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cupsfilter=$(command -v cupsfilter || echo /usr/sbin/cupsfilter)

echo "== $pdf -> CUPS raster (cupsfilter, $(basename "$ppd")) -> rastertogdi -> $out/sample.gdi =="
TMPDIR="$tmp" "$cupsfilter" -p "$ppd" -m application/vnd.cups-raster -o "$options" "$pdf" \
  2>"$out/sample-cupsfilter.log" |
  PPD="$ppd" TMPDIR="$tmp" ./build/filter/rastertogdi 1 "${USER:-$(id -un)}" sample 1 "$options" \
    2>"$out/sample.log" >"$out/sample.gdi"

echo "== gdidecode: the stream's records, and its pages rendered =="
./build/tools/gdidecode -d "$out" "$out/sample.gdi"

echo
echo "Printer stream: $out/sample.gdi (filter log: $out/sample.log)"
echo "Pages:          $(ls "$out"/page-*.png)"
