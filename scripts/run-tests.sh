#!/usr/bin/env bash
# Installs what is missing, builds the filter three ways and runs every test:
# a normal build (warnings as errors), an AddressSanitizer + UndefinedBehaviorSanitizer
# build, and a ThreadSanitizer build for the threaded output spooler.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/deps.sh"

export CTEST_OUTPUT_ON_FAILURE=1
jobs=$(nproc)

echo "== normal build =="
scripts/build.sh build -DGDI_WERROR=ON
ctest --test-dir build -j"$jobs"

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

echo "All test suites passed."
