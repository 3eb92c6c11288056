#!/usr/bin/env bash
# deps.sh [package]: installs the Debian packages the filter, its tests and its sample
# job need (with "package" also the tools that build and check the Debian package),
# only those that are missing. Run as root, or as a user who may use sudo.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang clang-format
  libcups2-dev libcupsimage2-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libjbig-dev libpng-dev
  cups cups-daemon cups-client cups-filters cups-ppdc ghostscript
  time python3
)
if [ "${1:-}" = package ]; then
  packages+=(dpkg-dev debhelper lintian man-db)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "Missing packages: ${missing[*]}; install them as root" >&2
      exit 1
    fi
    SUDO="sudo"
  fi
  echo "Installing: ${missing[*]}"
  # A mirror in the middle of a sync fails the update of some lists; the install then
  # works with the lists there are, or says what it cannot find.
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q ||
    echo "apt-get update reported errors; installing from the package lists there are" >&2
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
