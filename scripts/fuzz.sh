#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset, clang) and runs each for a
# bounded time: FUZZ_SECONDS (default 60) for the whole run, shared out
# among the targets. The thread-free parts (receive assembler, decoders,
# numbers, settings file, workout script, the virtual treadmill's codec,
# the exchange on a clock the input moves) run thousands of inputs a
# second each; dispatch_chars opens a whole device per input and gets a
# small share. The seeds in tests/fuzz/corpus/<seeds> are copied into a
# working corpus under build/fuzz, so the checkout stays unchanged; a crash
# leaves its input in build/fuzz/artifacts and makes the script fail.
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
# target, its seeds (a folder of tests/fuzz/corpus, - for none), its
# dictionary (- for none), its share of the time in tenths and the longest
# input (a frame is at most about a hundred bytes: a few hundred hold every
# way a frame can go wrong, and keep the thread-free targets fast).
plan=(
  "dispatch_chars     dispatch_chars dispatch_chars.dict 1 8192"
  "receive_assembler  dispatch_chars dispatch_chars.dict 2 256"
  "decoders           -              dispatch_chars.dict 1 256"
  "number_text        -              -                   1 256"
  "ini_file           -              -                   1 128"
  "workout_script     -              -                   1 256"
  "sim_codec          dispatch_chars dispatch_chars.dict 1 128"
  "frame_flight       -              -                   2 128"
)
targets=()
for row in "${plan[@]}"; do
  read -r target _ <<<"$row"
  targets+=("fuzz_$target")
done

# Only the fuzz targets: the rest of the tree is not built for fuzzing.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --parallel "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" --target "${targets[@]}"

out=build/fuzz
mkdir -p "$out/artifacts"
total=0
for row in "${plan[@]}"; do
  read -r target seeds dict tenths maxlen <<<"$row"
  share=$(( seconds * tenths / 10 ))
  [ "$share" -ge 1 ] || share=1
  work="$out/corpus/$target"
  mkdir -p "$work"
  if [ "$seeds" != "-" ]; then cp tests/fuzz/corpus/"$seeds"/* "$work"/; fi
  dict_arg=()
  if [ "$dict" != "-" ]; then dict_arg=(-dict="tests/fuzz/$dict"); fi
  echo "=== fuzz: $target for ${share} s, seed ${seed}"
  rc=0
  "$out/tests/fuzz/fuzz_$target" \
    -seed="$seed" \
    -max_total_time="$share" \
    -max_len="$maxlen" \
    -timeout=30 \
    -print_final_stats=1 \
    "${dict_arg[@]}" \
    -artifact_prefix="$out/artifacts/$target-" \
    "$work" >"$out/$target.log" 2>&1 || rc=$?
  grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::average_exec_per_sec)" "$out/$target.log" || true
  if [ "$rc" -ne 0 ]; then
    echo "fuzz: $target failed (status $rc); its output is in $out/$target.log" >&2
    tail -60 "$out/$target.log" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$target.log")
  total=$(( total + ${runs:-0} ))
done
echo "=== fuzz: ${total} inputs in all"
