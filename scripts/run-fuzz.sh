#!/usr/bin/env bash
# run-fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer)
# into build-fuzz, replays the saved inputs of fuzz/regressions/<target>/, then fuzzes
# each target for SECONDS_PER_TARGET seconds (default 60), starting from the seed corpora
# made at build time and the corpus kept in build-fuzz/fuzz/corpus/<target> from earlier
# runs. Targets: raster options jbig gdidecode (default: all).
#
# A crash, leak, sanitizer report or failed check stops that target; its input is kept
# in build-fuzz/fuzz/artifacts/<target>/ and the script exits 1 after the other targets.
# Logs: build-fuzz/fuzz/logs/<target>.log.
#
# Environment: GDI_FUZZ_BUILD_DIR (default build-fuzz), GDI_FUZZ_FLAGS (more libFuzzer
# flags, e.g. "-jobs=2 -workers=2"), GDI_FUZZ_CHECK_OUTPUT=1 (the raster target also
# checks that the filter's output is a well-formed stream).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
if [ $# -gt 0 ]; then shift; fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then targets=(raster options jbig gdidecode); fi
build=${GDI_FUZZ_BUILD_DIR:-$top/build-fuzz}

# libFuzzer's runtime comes with clang's runtime libraries (libclang-rt-*-dev on Debian).
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' \
  >"$probe/probe.cpp"
if ! clang++ -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then
    version=$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p')
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
      "libclang-rt-$version-dev"
  else
    echo "clang cannot link libFuzzer; install libclang-rt-<version>-dev" >&2
    exit 1
  fi
fi

echo "== building the fuzz targets (clang) in $build =="
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DGDI_BUILD_FUZZ=ON -DGDI_BUILD_TESTS=OFF \
  -DGDI_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_all -j"$(nproc)" >"$build/fuzz-build.log" 2>&1 || {
  tail -n 40 "$build/fuzz-build.log"
  exit 1
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
# The targets' spool and work directories; a run that crashed leaves its own behind.
export TMPDIR=$build/fuzz/tmp
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
failed=()
for target in "${targets[@]}"; do
  binary=$build/fuzz/fuzz_$target
  if [ ! -x "$binary" ]; then
    echo "no fuzz target '$target'" >&2
    exit 2
  fi
  corpus=$build/fuzz/corpus/$target
  artifacts=$build/fuzz/artifacts/$target
  log=$build/fuzz/logs/$target.log
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  flags=(-timeout=30 -rss_limit_mb=2560 -max_len=65536 -print_final_stats=1
         "-artifact_prefix=$artifacts/")
  case $target in
    # The filter reports its progress on standard error; keep it out of the log.
    raster | options) flags+=(-close_fd_mask=2) ;;
  esac
  # shellcheck disable=SC2206
  flags+=(${GDI_FUZZ_FLAGS:-})

  regressions=("$top/fuzz/regressions/$target"/*)
  if [ -e "${regressions[0]}" ]; then
    echo "== $target: replaying ${#regressions[@]} regression input(s) =="
    if ! timeout 900 "$binary" "${flags[@]}" "${regressions[@]}" >"$log" 2>&1; then
      echo "FAILED: $target regression inputs (log: $log)"
      tail -n 30 "$log"
      failed+=("$target")
      continue
    fi
  fi

  echo "== $target: fuzzing for $seconds s =="
  if timeout $((seconds + 300)) "$binary" "${flags[@]}" -max_total_time="$seconds" \
       "$corpus" "$build/fuzz/seeds/$target" >>"$log" 2>&1; then
    grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$log" | tail -n 2 | tr '\n' ' '
    echo "corpus: $(find "$corpus" -type f | wc -l) inputs"
  else
    echo "FAILED: $target (log: $log, inputs kept in $artifacts)"
    tail -n 40 "$log"
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "Fuzzing found problems in: ${failed[*]}"
  exit 1
fi
echo "Fuzzing: no problems found."
