#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset, clang) and runs each for a
# bounded time: FUZZ_SECONDS (default 60) per target. The seeds in
# tests/fuzz/corpus/<target> are copied into a working corpus under
# build/fuzz, so the checkout stays unchanged; a crash leaves its input in
# build/fuzz/artifacts and makes the script fail.
#
# FUZZ_SEED (default 1) fixes the mutations, so that the run the test
# command makes explores the same inputs every time and a finding shows up
# on every run rather than on one in many. FUZZ_SEED=0 takes a fresh seed
# each run: use it, with a longer FUZZ_SECONDS, to look for new findings,
# and add each finding's input to the seeds once it is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
seed="${FUZZ_SEED:-1}"
targets=(dispatch_chars)

# Only the fuzz targets: the rest of the tree is not built for fuzzing.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"

out=build/fuzz
mkdir -p "$out/artifacts"
for target in "${targets[@]}"; do
  work="$out/corpus/$target"
  mkdir -p "$work"
  cp tests/fuzz/corpus/"$target"/* "$work"/
  echo "=== fuzz: $target for ${seconds} s, seed ${seed}"
  "$out/tests/fuzz/fuzz_$target" \
    -seed="$seed" \
    -max_total_time="$seconds" \
    -max_len=8192 \
    -timeout=30 \
    -print_final_stats=1 \
    -dict="tests/fuzz/$target.dict" \
    -artifact_prefix="$out/artifacts/$target-" \
    "$work"
done
