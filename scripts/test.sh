#!/usr/bin/env bash
# The test suite: a normal build, then AddressSanitizer with UndefinedBehaviorSanitizer, then
# ThreadSanitizer; each builds and runs every test. Pass preset names to run only those.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default asan tsan)
for preset in "${presets[@]}"; do
  echo "=== $preset build ==="
  bash scripts/build.sh "$preset"
  echo "=== $preset tests ==="
  ctest --preset "$preset"
done
