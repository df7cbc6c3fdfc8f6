#!/usr/bin/env bash
# The whole test run, from a fresh checkout: install what is missing, then
# build and test natively (debug), under ThreadSanitizer (tsan), under
# AddressSanitizer with UndefinedBehaviorSanitizer (asan), both Windows
# builds under Wine (win32, win64), the release bundles (bundles), and a
# bounded libFuzzer run (fuzz).
#
#   bash scripts/test.sh                 every stage, as CI runs it
#   bash scripts/test.sh debug asan      only the stages named, in that order
#
# Every stage runs even when one before it failed; the command ends with a
# summary of each stage (ran, failed or skipped, and why) and fails if any
# stage failed. A test is only ever skipped because this machine cannot
# execute it: on a machine that refuses 32-bit x86 programs the win32 build
# is still built and its checks that execute nothing still run, and ctest
# reports each test that would run a 32-bit program as skipped
# (KAVTEL_NO_32BIT=1 makes any machine answer so).
#
# Build jobs: CMAKE_BUILD_PARALLEL_LEVEL (default: the machine's cores);
# native test jobs: CTEST_PARALLEL_LEVEL (default: the same). The Wine
# stages run their tests one at a time: they share a prefix and its COM
# ports.
set -euo pipefail
cd "$(dirname "$0")/.."

all_stages=(debug tsan asan win32 win64 bundles fuzz)
stages=("$@")
if [ ${#stages[@]} -eq 0 ]; then stages=("${all_stages[@]}"); fi
for stage in "${stages[@]}"; do
  case " ${all_stages[*]} " in
    *" $stage "*) ;;
    *) echo "test.sh: no stage '$stage' (stages: ${all_stages[*]})" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh

build_jobs="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
test_jobs="${CTEST_PARALLEL_LEVEL:-$build_jobs}"
summary=()
failed=0

say() { summary+=("$(printf '%-7s %s' "$1" "$2")"); }

# What ctest said of a run, counted from its line per test into $counted
# ("N passed, N failed, N skipped") and added to the command's totals.
total_passed=0 total_failed=0 total_skipped=0
counted=
count_ctest() {
  local log=$1 all passed skipped
  all=$(grep -cE 'Test +#[0-9]+: ' "$log" || true)
  passed=$(grep -cE 'Test +#[0-9]+: .* Passed +[0-9.]+ sec$' "$log" || true)
  skipped=$(grep -cE 'Test +#[0-9]+: .*\*\*\*Skipped' "$log" || true)
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + all - passed - skipped))
  total_skipped=$((total_skipped + skipped))
  counted="$passed passed, $((all - passed - skipped)) failed, $skipped skipped"
}

configure() {
  echo "=== $1: configure"
  cmake --preset "$1" >/dev/null || { say "$1" "FAILED: configure"; return 1; }
}

# Build and test one configured preset; its ctest output is kept in
# build/<preset>/ctest.log for the summary. A preset that registered no
# test at all fails: it would otherwise count as a clean run.
build_and_test() {
  local preset=$1 jobs=$2 log="build/$1/ctest.log"
  echo "=== ${preset}: build"
  if ! cmake --build --preset "$preset" --parallel "$build_jobs"; then
    say "$preset" "FAILED: build"; return 1
  fi
  echo "=== ${preset}: test"
  local rc=0
  ctest --preset "$preset" -j "$jobs" --no-tests=error 2>&1 | tee "$log" || rc=$?
  count_ctest "$log"
  if [ "$rc" -ne 0 ]; then say "$preset" "FAILED: $counted"; return 1; fi
  return 0
}

native_stage() {
  configure "$1" && build_and_test "$1" "$test_jobs" || return 1
  say "$1" "ran: $counted"
}

# The Wine tests of kavtel.dll run the native kavtel-sim as the treadmill.
native_sim() {
  [ -x build/debug/tools/sim/kavtel-sim ] && return 0
  echo "=== the native kavtel-sim for the Wine tests"
  cmake --preset debug >/dev/null && cmake --build --preset debug --parallel "$build_jobs" --target kavtel-sim
}

wine_prefix=
end_wine() {
  if [ -n "$wine_prefix" ]; then
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$wine_prefix"
    wine_prefix=
  fi
}
trap end_wine EXIT

# One Windows build: built and tested in a throw-away prefix of its own kind
# (WINEARCH), made by the build's own loader. The prefix goes once the
# stage is done.
wine_stage() {
  local preset=$1 arch=$2 reason loader
  if ! native_sim; then say "$preset" "FAILED: the native kavtel-sim did not build"; return 1; fi
  configure "$preset" || return 1
  reason=$(sed -n 's/^KAVTEL_WINE_SKIP_REASON:INTERNAL=//p' "build/$preset/CMakeCache.txt")
  loader=$(sed -n 's/^KAVTEL_WINE_LOADER:FILEPATH=//p' "build/$preset/CMakeCache.txt")
  end_wine
  wine_prefix="$(mktemp -d -t "kavtel-$preset.XXXXXX")"
  export WINEPREFIX="$wine_prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ -z "$reason" ]; then
    WINELOADER="$loader" WINEARCH="$arch" "$loader" wineboot --init >/dev/null 2>&1 || true
  fi
  build_and_test "$preset" 1 || { end_wine; return 1; }
  end_wine
  if [ -n "$reason" ]; then
    say "$preset" "ran the checks that execute nothing: $counted"
    say "" "skipped every test that executes a program of this build: $reason"
  else
    say "$preset" "ran under $loader: $counted"
  fi
}

# The release bundles: scripts/release.sh builds the release preset and
# makes every bundle into build/release-bundles/ from it and from the win32
# and win64 trees, which it builds only where the win32 and win64 stages
# have not; then tests/bundles/check_bundles.py unpacks each bundle, holds
# it to its layout, and builds and runs the consumer projects against the
# Linux tar.gz and its own kavtel-sim.
bundles_stage() {
  local log=build/bundles.log rc=0 version
  mkdir -p build
  bash scripts/release.sh 2>&1 | tee "$log" || rc=$?
  if [ "$rc" -ne 0 ]; then say bundles "FAILED: scripts/release.sh, see $log"; return 1; fi
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
  /usr/bin/python3 tests/bundles/check_bundles.py build/release-bundles "$version" 2>&1 | tee -a "$log" || rc=$?
  if [ "$rc" -ne 0 ]; then say bundles "FAILED: see $log"; return 1; fi
  say bundles "ran: $(tail -n 1 "$log" | sed 's/^bundles: //'), in build/release-bundles"
}

fuzz_stage() {
  local log=build/fuzz-run.log rc=0
  mkdir -p build
  bash scripts/fuzz.sh 2>&1 | tee "$log" || rc=$?
  if [ "$rc" -ne 0 ]; then say fuzz "FAILED: see $log"; return 1; fi
  say fuzz "ran: $(grep -E '^=== fuzz: [0-9]+ inputs' "$log" | sed 's/^=== fuzz: //')"
}

for stage in "${stages[@]}"; do
  case "$stage" in
    debug | tsan | asan) native_stage "$stage" || failed=1 ;;
    win32) wine_stage win32 win32 || failed=1 ;;
    win64) wine_stage win64 win64 || failed=1 ;;
    bundles) bundles_stage || failed=1 ;;
    fuzz) fuzz_stage || failed=1 ;;
  esac
done
for stage in "${all_stages[@]}"; do
  case " ${stages[*]} " in
    *" $stage "*) ;;
    *) say "$stage" "skipped: not named on the command line" ;;
  esac
done

echo "=== summary"
printf '%s\n' "${summary[@]}"
echo "ctest: ${total_passed} passed, ${total_failed} failed, ${total_skipped} skipped"
if [ "$failed" -ne 0 ]; then
  echo "test.sh: a stage failed" >&2
  exit 1
fi
