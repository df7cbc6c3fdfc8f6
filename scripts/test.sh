#!/usr/bin/env bash
# The whole test run, from a fresh checkout: install what is missing, then
# build and test natively, under ThreadSanitizer, under AddressSanitizer
# (with UndefinedBehaviorSanitizer), and as Windows executables under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

run_preset() {
  local preset=$1
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== ${preset}: test"
  ctest --preset "$preset"
}

# debug comes first: the win32 tests of kavtel.dll run its kavtel-sim.
run_preset debug
run_preset tsan

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
run_preset asan

# Wine runs in a throw-away prefix made for this run.
WINEPREFIX="$(mktemp -d -t kavtel-wine.XXXXXX)"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
WINEARCH=win32 wineboot --init >/dev/null 2>&1 || true
run_preset win32

# The 64-bit DLL (its tests take the same kavtel-sim) runs in a 64-bit prefix
# of its own, made afresh once the 32-bit one is gone; the trap removes it.
# Each prefix names its kind (WINEARCH): with wine64 installed, a prefix made
# without it would be 64-bit.
wineserver -k >/dev/null 2>&1 || true
rm -rf "$WINEPREFIX"
WINEPREFIX="$(mktemp -d -t kavtel-wine64.XXXXXX)"
WINEARCH=win64 wineboot --init >/dev/null 2>&1 || true
run_preset win64

# The libFuzzer targets, for a bounded time (FUZZ_SECONDS, default 60).
bash scripts/fuzz.sh
