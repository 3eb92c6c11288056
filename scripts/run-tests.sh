#!/usr/bin/env bash
# Installs what is missing, builds the filter three ways and runs every test:
# a normal build (warnings as errors), run as root and again as an ordinary user, an
# AddressSanitizer + UndefinedBehaviorSanitizer
# build, and a ThreadSanitizer build for the threaded output spooler; a short fuzzing
# run; then the Debian package is built (running the tests once more), checked with
# lintian and in a scratch root, and, as root, installed into cupsd and removed again.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/deps.sh"

export CTEST_OUTPUT_ON_FAILURE=1
jobs=$(nproc)

echo "== normal build =="
scripts/build.sh build -DGDI_WERROR=ON
ctest --test-dir build -j"$jobs"

echo "== the whole suite as an ordinary user =="
if [ "$(id -u)" -eq 0 ]; then
  scripts/run-tests-as-user.sh
else
  echo "(already an ordinary user: the normal build above ran as one)"
fi

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
scripts/build.sh build-asan -DGDI_WERROR=ON -DGDI_SANITIZE=address,undefined -DGDI_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan -j"$jobs"

echo "== ThreadSanitizer build (spooler, stream writer, band encoding, encoders on several threads) =="
cmake -S . -B build-tsan -DGDI_WERROR=ON -DGDI_SANITIZE=thread -DGDI_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target gdi_spooler_test gdi_stream_writer_test \
  gdi_band_encoding_test jbig_threads_test common_debug_log_test gdidecode
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -L threads -j"$jobs"

echo "== Fuzzing (libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer), short run =="
# Replays fuzz/regressions/, then 40 s per target; bounded as a whole.
timeout 600 scripts/run-fuzz.sh 40

echo "== Debian package: dpkg-buildpackage, lintian, contents; apt install into cupsd and removal as root =="
# About 3 to 5 minutes on 2 cores, most of it the package's own build and test run.
if [ "$(id -u)" -eq 0 ]; then
  scripts/check-package.sh --system
else
  echo "(not root: the package is built and checked, but not installed)"
  scripts/check-package.sh
fi

echo "All test suites passed."
