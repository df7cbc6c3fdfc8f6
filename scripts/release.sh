#!/usr/bin/env bash
# The release bundles, from a fresh checkout: installs what is missing,
# builds the native release (build/release) and both Windows builds
# (build/win32, build/win64), and has cpack make each build's bundles
# (cmake/Bundles.cmake says what goes in). They end up in
# build/release-bundles/, and nothing else does:
#   kavtel-<version>-win32.zip          32-bit Windows hosts
#   kavtel-<version>-win64.zip          64-bit Windows hosts
#   kavtel-<version>-linux-<cpu>.tar.gz Linux, to unpack anywhere
#   kavtel_<version>-1_<arch>.deb       Debian, installs under /usr
# A build tree that is up to date is not built again: after the test
# command's win32 and win64 stages only the release build and cpack run.
# Build jobs: CMAKE_BUILD_PARALLEL_LEVEL (default: the machine's cores).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
out="$PWD/build/release-bundles"
rm -rf "$out"
mkdir -p "$out"
for preset in release win32 win64; do
  echo "=== release bundles: ${preset}"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --parallel "$jobs"
  # cpack stages its work in the build tree; only the bundles move on.
  staging="$PWD/build/$preset/bundles"
  rm -rf "$staging"
  (cd "build/$preset" && cpack -B "$staging")
  find "$staging" -maxdepth 1 -type f \( -name '*.zip' -o -name '*.tar.gz' -o -name '*.deb' \) \
    -exec mv -t "$out" {} +
done
echo "=== release bundles in build/release-bundles:"
ls -l "$out"
