#!/usr/bin/env bash
# Builds the benchmarks optimised (the bench preset) and prints their
# figures. Extra arguments go to the benchmark program, for example
# --benchmark_filter=SpeedAnswer or --benchmark_repetitions=5.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench --target kavtel_bench
exec build/bench/bench/kavtel_bench "$@"
