#!/usr/bin/env bash
# The test suite: a normal build, then AddressSanitizer with UndefinedBehaviorSanitizer, then
# ThreadSanitizer; each builds and runs every test. Then the Windows programs, cross-built with
# MinGW-w64, under Wine (scripts/wine-check.sh), and a bounded libFuzzer run of the RPC decoding
# (scripts/fuzz.sh, 60 s). Pass stage names (default, asan, tsan, windows, fuzz) to run only those.
# Sanitizer reports of every process, the service and agent processes that tests start included,
# are collected per preset; any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default asan tsan windows fuzz)
for preset in "${presets[@]}"; do
  if [ "$preset" = "fuzz" ]; then
    echo "=== RPC decoding fuzz run ==="
    bash scripts/setup.sh fuzz
    bash scripts/fuzz.sh "${TORVEX_FUZZ_SECONDS:-60}"
    continue
  fi
  if [ "$preset" = "windows" ]; then
    echo "=== windows build and Wine check ==="
    bash scripts/wine-check.sh
    continue
  fi
  echo "=== $preset build ==="
  bash scripts/build.sh "$preset"
  echo "=== $preset tests ==="
  reports="$PWD/build/$preset/sanitizer-reports"
  rm -rf "$reports" && mkdir -p "$reports"
  export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1"
  export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"
  export TSAN_OPTIONS="log_path=$reports/tsan:halt_on_error=0"
  status=0
  ctest --preset "$preset" || status=$?
  if compgen -G "$reports/*" >/dev/null; then
    echo "Sanitizer reports in $reports:"
    for f in "$reports"/*; do echo "--- $f"; head -n 60 "$f"; done
    status=1
  fi
  unset ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS
  [ "$status" -eq 0 ] || exit "$status"
done
