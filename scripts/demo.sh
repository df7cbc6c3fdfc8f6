#!/usr/bin/env bash
# The first thing to run on a fresh machine: installs what the native build
# needs, builds the library, the virtual treadmill and kavtelctl
# (build/release), and runs `kavtelctl demo` (arguments are passed on, e.g.
# --record workout.csv).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --native
cmake --preset release >/dev/null
cmake --build --preset release --target kavtelctl kavtel-sim
exec build/release/tools/ctl/kavtelctl demo "$@"
