#!/usr/bin/env bash
# Builds the benchmarks optimised (the bench preset) and prints their
# figures: first what a host pays for its treadmills (kavtel_host_bench:
# 1, 16 and 64 devices against virtual treadmills on real pseudo-terminals,
# CPU per device, allocations, system calls and thread wake-ups per frame,
# turnaround next to a trivial peer's, the paced drain, and the CPU of
# trivial pollers with the same traffic as a yardstick), then the receive
# path per answer with Google Benchmark (kavtel_bench), then what a pulled
# cable costs (kavtel_link_bench: hang-up to the lost line, return to the
# identification, median of 20 rounds).
#
# Arguments go to kavtel_host_bench (--devices 1,16,64, --seconds S of
# steady polling, --strace-seconds S under strace, 0 for none);
# KAVTEL_BENCH_SHOW_CALLS=1 prints strace's table of calls.
# BENCH_ARGS go to kavtel_bench (--benchmark_filter=SpeedAnswer ...).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench --target kavtel_bench kavtel_host_bench kavtel_link_bench
build/bench/bench/kavtel_host_bench "$@"
echo
# shellcheck disable=SC2086
build/bench/bench/kavtel_bench ${BENCH_ARGS:-}
echo
build/bench/bench/kavtel_link_bench 20
