#!/usr/bin/env bash
# Installs what is missing, then builds the native library and tools
# (build/release) and the Windows builds, 32-bit (build/win32) and 64-bit
# (build/win64).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in release win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --parallel "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
done
echo "build: native build in build/release, Windows builds in build/win32 and build/win64"
