#!/usr/bin/env bash
# Installs from Debian's packages what building and testing need, when it is missing. With the
# argument "windows": what the Windows cross-build and its runs under Wine need; with "fuzz": what
# the libFuzzer target needs.
set -euo pipefail
packages=(g++ cmake ninja-build libgtest-dev libsqlite3-dev libssl-dev openssl osslsigncode)
if [ "${1:-}" = "windows" ]; then
  packages=(cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools googletest wine wine64)
fi
# The fuzz stage: clang, and libFuzzer's run-time, which Debian 12 ships in libclang-rt-14-dev.
if [ "${1:-}" = "fuzz" ]; then
  packages=(cmake ninja-build clang-14 libclang-rt-14-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
