#!/usr/bin/env bash
# Regenerates the test PDFs of this folder from their PostScript sources with
# ghostscript. The fixed date makes the output the same on every run; the
# standard fonts are not embedded (every renderer of the print path has them),
# which keeps the files small.
set -euo pipefail
cd "$(dirname "$0")"
export SOURCE_DATE_EPOCH=1767225600   # 2026-01-01 00:00 UTC

pdf() {  # pdf SOURCE PAPER OUTPUT
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sPAPERSIZE="$2" -dFIXEDMEDIA \
    -sOutputFile="$3" "$1"
  echo "$3: $(wc -c <"$3") bytes"
}

pdf frame.ps  a4     frame-a4.pdf
pdf frame.ps  letter frame-letter.pdf
pdf text.ps   a4     text.pdf
pdf ramp.ps   a4     ramp.pdf
pdf pages3.ps a4     pages3.pdf
pdf sample.ps a4     sample.pdf
