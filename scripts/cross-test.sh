#!/usr/bin/env bash
# cross-test.sh ARCH [BUILD_DIR] [CMAKE_OPTION...]
#
# Cross-builds the whole project (filter, tools, tests, benchmarks) for ARCH (arm64 or
# armhf) with Debian's cross compiler and runs the test suite under qemu-user.
#
#   BUILD_DIR        default build-ARCH; holds the target's root folder (sysroot/), the
#                    Debian packages it was made from (debs/), GoogleTest built for the
#                    target (googletest/) and the project's build (project/)
#   CMAKE_OPTION     more options for the project's configure step
#
# The target's libraries come from Debian's packages for ARCH, fetched with apt-get
# download and unpacked into BUILD_DIR/sysroot rather than installed beside the host's:
# this needs no equal versions of the host's and the target's packages (multiarch does,
# and the archive's index for an architecture can lag behind). qemu-user runs the tests
# with that folder as the target's root, so the loader and every library come from the
# same packages. There is no binfmt_misc here: the tests start the filter and gdidecode
# through the emulator that CMake hands them (GDI_TEST_EMULATOR).
#
# Environment: GDI_CTEST_ARGS (more ctest arguments, e.g. "-R jbig").
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:?usage: cross-test.sh arm64|armhf [BUILD_DIR] [CMAKE_OPTION...]}
shift
build=${1:-$top/build-$arch}
if [ $# -gt 0 ]; then shift; fi
mkdir -p "$build"
build=$(cd "$build" && pwd)

case $arch in
  arm64) triple=aarch64-linux-gnu qemu=qemu-aarch64 ;;
  armhf) triple=arm-linux-gnueabihf qemu=qemu-arm ;;
  *) echo "cross-test.sh: unknown architecture '$arch' (arm64 or armhf)" >&2; exit 2 ;;
esac
jobs=$(nproc)
sysroot=$build/sysroot

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
apt() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600 "$@"; }

# --- the cross compiler, qemu-user and the target's package index -------------------
host_packages=("g++-$triple" qemu-user)
missing=()
for p in "${host_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
need_update=0
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  $SUDO dpkg --add-architecture "$arch"
  need_update=1
fi
if [ -z "$(apt-cache madison "libc6:$arch" 2>/dev/null)" ]; then need_update=1; fi
if [ ${#missing[@]} -gt 0 ] || [ $need_update -eq 1 ]; then
  # An index that cannot be had for one architecture or suite (a mirror being
  # synchronised) fails the whole update; what the others brought is still used.
  apt update || echo "cross-test.sh: apt-get update reported errors; going on with what it got"
fi
if [ ${#missing[@]} -gt 0 ]; then
  apt install -y --no-install-recommends "${missing[@]}"
fi

# --- the target's root folder ---------------------------------------------------------
# The libraries the programs run with (libubsan1 for a build with
# -DGDI_SANITIZE=undefined), and everything they need in turn...
runtime=(libc6 libgcc-s1 libstdc++6 libubsan1 libcups2 libcupsimage2 libjbig0 libpng16-16 zlib1g
  libpappl1)
# ...and the headers and link names of the ones the project builds against.
headers=(libcups2-dev libcupsimage2-dev libjbig-dev libpng-dev libjpeg62-turbo-dev zlib1g-dev libpappl-dev libpam0g-dev)
closure() {
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "${runtime[@]/%/:$arch}" |
    grep -v '^[ <]' | grep ":$arch\$" | sort -u
}
mapfile -t packages < <({ closure; printf '%s\n' "${headers[@]/%/:$arch}"; } | sort -u)
# One line "package version" each, from a single look-up.
wanted=$(apt-cache policy "${packages[@]}" |
  awk '/^[^ ].*:$/ { name = substr($0, 1, length($0) - 1) } /^ *Candidate:/ { print name, $2 }')
if [ ! -f "$sysroot/.packages" ] || [ "$(cat "$sysroot/.packages")" != "$wanted" ]; then
  echo "== $arch: unpacking ${#packages[@]} Debian packages into $sysroot =="
  rm -rf "$sysroot" "$build/debs" "$build/googletest"
  mkdir -p "$build/debs" "$sysroot/etc"
  (cd "$build/debs" && apt-get -q download "${packages[@]}" >/dev/null 2>"$build/debs/download.log") || {
    cat "$build/debs/download.log" >&2
    exit 1
  }
  for deb in "$build"/debs/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
  # No cache of the host's libraries: the target's loader searches its own folders.
  : >"$sysroot/etc/ld.so.cache"
  echo "$wanted" >"$sysroot/.packages"
fi

toolchain=$top/cmake/toolchains/$arch.cmake
# --- GoogleTest for the target, from the sources Debian ships -------------------------
if [ ! -f "$sysroot/usr/local/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "== $arch: building GoogleTest from /usr/src/googletest =="
  cmake -S /usr/src/googletest -B "$build/googletest" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DGDI_CROSS_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$sysroot/usr/local" >/dev/null
  cmake --build "$build/googletest" -j"$jobs" >/dev/null
  cmake --install "$build/googletest" >/dev/null
fi

# --- the project ---------------------------------------------------------------------------
echo "== $arch: building the project in $build/project =="
cmake -S "$top" -B "$build/project" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DGDI_CROSS_SYSROOT="$sysroot" -DGDI_WERROR=ON "$@" >/dev/null
cmake --build "$build/project" -j"$jobs"

echo "== $arch: running the tests under $qemu =="
# shellcheck disable=SC2086
CTEST_OUTPUT_ON_FAILURE=1 ctest --test-dir "$build/project" -j"$jobs" --timeout 900 \
  ${GDI_CTEST_ARGS:-} 2>&1 | tee "$build/ctest.log"
status=${PIPESTATUS[0]}
# The skipped cases, by name.
if grep -q "Skipped" "$build/ctest.log"; then
  echo "== $arch: skipped tests =="
  grep -E "\*\*\*Skipped" "$build/ctest.log" | sed -E 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: //; s/ +#.*//; s/ \.+.*//'
fi
exit "$status"
