#!/usr/bin/env bash
# Installs what is missing, builds the filter and runs it on the bundled sample job.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/deps.sh"
scripts/build.sh build

out="$top/out"
mkdir -p "$out"
echo "== rastertogdi with the model 1 PPD and job options 'PageSize=A4 Duplex=DuplexNoTumble PBrightness=Level7' =="
PPD="$top/ppd/gdilsr1.ppd" ./build/frontend/rastertogdi 1 "$USER" sample 1 \
  'PageSize=A4 Duplex=DuplexNoTumble PBrightness=Level7' </dev/null 2>"$out/sample.log" >"$out/sample.gdi" || true
grep -E 'Option |thePrintWeapon' "$out/sample.log"
echo "Full log: $out/sample.log"
