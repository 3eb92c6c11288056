#!/usr/bin/env bash
# deps.sh [sample|package]: installs the Debian packages the filter, the printer
# application, their tests and the sample job need, only those that are missing. With
# "sample" only what the sample job needs (the filter, gdidecode, cupsfilter); with
# "package" also the tools that build and check the Debian package. Run as root, or as a
# user who may use sudo.
set -euo pipefail

# What configuring the project needs (the test libraries too) and the sample job uses.
packages=(
  build-essential cmake pkg-config python3
  libcups2-dev libcupsimage2-dev
  libjbig-dev libpng-dev libjpeg-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  cups cups-filters ghostscript
)
if [ "${1:-}" != sample ]; then
  packages+=(
    clang clang-format
    cups-daemon cups-client cups-ppdc time
    libpappl-dev cups-ipp-utils chromium
    iproute2 dbus avahi-daemon
  )
fi
if [ "${1:-}" = package ]; then
  # systemd: systemd-analyze judges the service's sandbox.
  packages+=(dpkg-dev debhelper lintian man-db systemd)
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
