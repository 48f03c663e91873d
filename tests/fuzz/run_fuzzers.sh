#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer +
# UndefinedBehaviorSanitizer) and runs each for SECONDS seconds, one after the
# other, starting from its seed corpus in tests/fuzz/corpus/<target>. Every
# seed, crashing inputs kept from earlier runs included, is run first.
# New corpus entries go to a scratch directory; a crash leaves its input in
# build-fuzz/artifacts/ and fails the script.
#
#   tests/fuzz/run_fuzzers.sh [SECONDS] [TARGET...]
#
# TARNWELL_FUZZ_MAX_DISTANCE=3 lets the whole-pipeline target try the slow
# distances 2 and 3 too (see pipeline_fuzzer.cpp).
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(distance_text pipeline compressed_input)

compiler="$(command -v clang++-14 || command -v clang++)"
cmake -S tests/fuzz -B build-fuzz -DCMAKE_CXX_COMPILER="$compiler" > /dev/null
cmake --build build-fuzz -j2 --target "${targets[@]/%/_fuzzer}" > /dev/null

mkdir -p build-fuzz/artifacts
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
for target in "${targets[@]}"; do
  scratch="$(mktemp -d)"
  echo "== ${target}_fuzzer for ${seconds} s"
  status=0
  build-fuzz/${target}_fuzzer -max_total_time="$seconds" -max_len=4096 -timeout=120 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/"$target"- \
    "$scratch" tests/fuzz/corpus/"$target" > build-fuzz/"$target".log 2>&1 || status=$?
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb|Done [0-9]+ runs" build-fuzz/"$target".log || true
  rm -rf "$scratch"
  if [ "$status" -ne 0 ]; then
    tail -n 60 build-fuzz/"$target".log
    echo "${target}_fuzzer failed (status $status); see build-fuzz/$target.log and build-fuzz/artifacts/"
    exit 1
  fi
done
