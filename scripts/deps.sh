#!/usr/bin/env bash
# Installs the Debian packages the filter, the printer application, their tests and the
# sample job need, only those that are missing. Run as root (or through sudo).
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang clang-format
  libcups2-dev libcupsimage2-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libjbig-dev libpng-dev
  cups cups-daemon cups-client cups-filters ghostscript
  time python3
  libpappl-dev cups-ipp-utils chromium
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "Installing: ${missing[*]}"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
