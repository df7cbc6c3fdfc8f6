#!/usr/bin/env bash
# Installs what is missing, then builds the native library and tools
# (build/release) and the 32-bit Windows build (build/win32).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in release win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
echo "build: native build in build/release, Windows build in build/win32"
