#!/usr/bin/env bash
# Builds the fuzz targets with clang, makes their seed corpora and runs each target for a
# bounded time, one after another. Fails when any target finds something: a crash, a broken
# invariant, a leak, a time-out or an out-of-memory, whose input is kept under
# build-fuzz/fuzz-findings/<target>/. The corpus grows across runs in build-fuzz/fuzz-corpus/.
# Usage: scripts/fuzz.sh [seconds-per-target]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${QUILLMEND_FUZZ_BUILD_DIR:-build-fuzz}
targets=(general_repair prepare_sample decode_frames text aac_frame alac_frame container nal_run walk)

scripts/setup.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B "$build" -DQUILLMEND_FUZZ=ON -DQUILLMEND_BUILD_TESTS=OFF \
  -DQUILLMEND_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target make_seeds recorderize \
  "${targets[@]/%/_fuzzer}" >/dev/null
scripts/fuzz-corpus.sh "$build" "$build/fuzz-seeds"
export QUILLMEND_FUZZ_SAMPLE=$PWD/$build/fuzz-seeds/sample.m4a

failed=()
for target in "${targets[@]}"; do
  corpus=$build/fuzz-corpus/$target
  findings=$build/fuzz-findings/$target
  log=$build/fuzz-logs/$target.log
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  rm -f "$findings"/*
  status=0
  # -timeout: one input that takes this long counts as a hang. Inputs up to 64 KiB hold whole
  # short recordings.
  "$build/bin/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -max_len=65536 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
    "$corpus" "$build/fuzz-seeds/$target" >"$log" 2>&1 || status=$?
  # A target that crashed prints no totals.
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  elapsed=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")
  found=$(find "$findings" -type f | wc -l)
  printf '%-16s %10s runs in %5ss, corpus %5s files, exit %s, findings %s\n' "$target" \
    "${runs:-?}" "${elapsed:-?}" "$(find "$corpus" -type f | wc -l)" "$status" "$found"
  if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
    failed+=("$target")
    tail -n 40 "$log"
  fi
done
if ((${#failed[@]})); then
  echo "Findings in: ${failed[*]} (inputs under $build/fuzz-findings/, logs in $build/fuzz-logs/)"
  exit 1
fi
echo "No findings."
