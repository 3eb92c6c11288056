#!/usr/bin/env bash
# Installs what is missing, builds the filter several ways and runs every test:
# - a normal build (warnings as errors), all tests, as root and again as an ordinary user;
# - an AddressSanitizer + UndefinedBehaviorSanitizer build, all tests;
# - a ThreadSanitizer build for the threaded output spooler and encoders;
# - a build with only the portable kernels (-DGDI_PORTABLE_KERNELS=ON), all tests;
# - cross builds for 64-bit ARM (arm64, with its NEON kernels) and 32-bit ARM (armhf,
#   with UndefinedBehaviorSanitizer, which finds what 32-bit sizes and alignment do),
#   all tests under qemu-user (scripts/cross-test.sh);
# - a short fuzzing run;
# - the Debian package: built (running the tests once more), checked with lintian and in
#   a scratch root, and, as root, installed into cupsd and removed again.
# Each stage's time is printed at the end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/deps.sh"

export CTEST_OUTPUT_ON_FAILURE=1
jobs=$(nproc)
timings=()
stage_start=0
begin() {
  echo "== $1 =="
  stage_name=$1
  stage_start=$SECONDS
}
end() { timings+=("$(printf '%5d s  %s' $((SECONDS - stage_start)) "$stage_name")"); }

begin "normal build"
scripts/build.sh build -DGDI_WERROR=ON
ctest --test-dir build -j"$jobs"
end

begin "the whole suite as an ordinary user"
if [ "$(id -u)" -eq 0 ]; then
  scripts/run-tests-as-user.sh
else
  echo "(already an ordinary user: the normal build above ran as one)"
fi
end

begin "AddressSanitizer + UndefinedBehaviorSanitizer build"
scripts/build.sh build-asan -DGDI_WERROR=ON -DGDI_SANITIZE=address,undefined -DGDI_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan -j"$jobs"
end

begin "ThreadSanitizer build (spooler, stream writer, band encoding, encoders on several threads)"
cmake -S . -B build-tsan -DGDI_WERROR=ON -DGDI_SANITIZE=thread -DGDI_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target gdi_spooler_test gdi_stream_writer_test \
  gdi_band_encoding_test jbig_threads_test common_debug_log_test gdidecode
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -L threads -j"$jobs"
end

begin "portable kernels only (-DGDI_PORTABLE_KERNELS=ON)"
scripts/build.sh build-portable -DGDI_WERROR=ON -DGDI_PORTABLE_KERNELS=ON -DGDI_BUILD_BENCH=OFF
ctest --test-dir build-portable -j"$jobs"
end

begin "arm64 cross build, tests under qemu-aarch64"
scripts/cross-test.sh arm64 build-arm64
end

begin "armhf cross build with UndefinedBehaviorSanitizer, tests under qemu-arm"
# In ARM rather than Thumb code: the sanitizer takes the Thumb bit of a function's
# address for a misaligned reference.
UBSAN_OPTIONS=print_stacktrace=1 scripts/cross-test.sh armhf build-armhf-ubsan \
  -DGDI_SANITIZE=undefined -DGDI_BUILD_BENCH=OFF -DCMAKE_C_FLAGS=-marm -DCMAKE_CXX_FLAGS=-marm
end

begin "fuzzing (libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer), short run"
# Replays fuzz/regressions/, then 40 s per target; bounded as a whole.
timeout 600 scripts/run-fuzz.sh 40
end

begin "Debian package: dpkg-buildpackage, lintian, contents; apt install into cupsd and removal as root"
if [ "$(id -u)" -eq 0 ]; then
  scripts/check-package.sh --system
else
  echo "(not root: the package is built and checked, but not installed)"
  scripts/check-package.sh
fi
end

echo "== time per stage =="
printf '%s\n' "${timings[@]}"
echo "All test suites passed."
