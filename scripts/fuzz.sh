#!/usr/bin/env bash
# A bounded libFuzzer run of winsim's RPC PDU and stub decoding (tests/fuzz/rpc_decode_fuzz.cpp),
# built with clang under AddressSanitizer and UndefinedBehaviorSanitizer in build/fuzz. The seeds
# are the byte streams of the malformed-PDU tests (MalformedTest, run with WINSIM_RPC_SEED_DIR).
# Fails on any crash, sanitizer report or leak. Skipped, with a line saying so, when clang or its
# libFuzzer is missing (Debian 12: clang-14 and libclang-rt-14-dev, which scripts/setup.sh fuzz
# installs).
#
# Usage: scripts/fuzz.sh [SECONDS]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
cxx=""
for candidate in clang++-14 clang++; do
  if command -v "$candidate" >/dev/null; then cxx="$candidate"; break; fi
done
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' >"$probe/p.cpp"
if [ -z "$cxx" ] || ! "$cxx" -fsanitize=fuzzer,address "$probe/p.cpp" -o "$probe/p" 2>/dev/null; then
  echo "fuzz: skipped, no clang with libFuzzer (install clang-14 and libclang-rt-14-dev)"
  exit 0
fi

build=build/fuzz
cmake -S tests/fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2

# Seeds from the malformed-PDU tests of the normal build.
seeds="$build/seeds"
corpus="$build/corpus"
rm -rf "$seeds" && mkdir -p "$seeds" "$corpus"
cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target winsim_rpc_tests
WINSIM_RPC_SEED_DIR="$PWD/$seeds" build/default/tests/winsim_rpc_tests --gtest_filter='MalformedTest.*' >/dev/null
echo "fuzz: $(ls "$seeds" | wc -l) seeds from the malformed-PDU tests, $seconds s"

artifacts="$build/artifacts"
rm -rf "$artifacts" && mkdir -p "$artifacts"
status=0
ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  "$build/rpc_decode_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" "$corpus" "$seeds" >"$build/fuzz.log" 2>&1 || status=$?
tail -n 15 "$build/fuzz.log"
if [ "$status" -ne 0 ] || compgen -G "$artifacts/*" >/dev/null; then
  echo "fuzz: FAILED (exit $status); inputs in $artifacts, log in $build/fuzz.log"
  exit 1
fi
echo "fuzz: no crash, no leak in $seconds s"
