#!/usr/bin/env bash
# Installs the installed layout (the build's `installed_layout` target) on the simulated machine
# named by WINSIM_MACHINE, the way an installer does it on Windows:
#   1. the four files are copied into C:\Program Files\Torvex\Utility\;
#   2. the root of the build's test certificates becomes a trusted root of the machine, so that the
#      signatures of the libraries and of the agent verify;
#   3. `TorvexUtilityService.exe -install` runs from there as an administrator at the console, so
#      that the service's binary path is the installed program.
#
# usage: scripts/winsim-install.sh [--winsim CMD] [--root PEM] LAYOUT
#   LAYOUT   the layout folder, build/<preset>/layout/Program Files/Torvex/Utility
#   --winsim the winsim command (default: bin/winsim of the layout's build)
#   --root   the root certificate to trust (default: pki/root.pem of the layout's build)
# It prints what the service program printed and fails when a step fails.
set -euo pipefail

usage() {
  echo "usage: $0 [--winsim CMD] [--root PEM] LAYOUT" >&2
  exit 2
}

winsim_cmd=""
root=""
layout=""
while [ $# -gt 0 ]; do
  case "$1" in
    --winsim) [ $# -ge 2 ] || usage; winsim_cmd="$2"; shift 2 ;;
    --root) [ $# -ge 2 ] || usage; root="$2"; shift 2 ;;
    -*) usage ;;
    *) [ -z "$layout" ] || usage; layout="$1"; shift ;;
  esac
done
[ -n "$layout" ] || usage
if [ -z "${WINSIM_MACHINE:-}" ]; then
  echo "$0: WINSIM_MACHINE names no machine (winsim init first)" >&2
  exit 1
fi
if [ ! -d "$layout" ]; then
  echo "$0: no layout folder at $layout (cmake --build --preset default --target installed_layout)" >&2
  exit 1
fi
layout="$(cd "$layout" && pwd)"
# The layout lies at <build>/layout/Program Files/Torvex/Utility.
build="$(cd "$layout/../../../.." && pwd)"
[ -n "$winsim_cmd" ] || winsim_cmd="$build/bin/winsim"
[ -n "$root" ] || root="$build/pki/root.pem"

files=(TorvexUtilityService.exe Quenlet.exe Torvex.CertificateValidation.Native.dll libQolm.dll)
for f in "${files[@]}"; do
  if [ ! -f "$layout/$f" ]; then
    echo "$0: the layout lacks $f" >&2
    exit 1
  fi
done
if [ ! -d "$WINSIM_MACHINE/drives/c" ]; then
  echo "$0: $WINSIM_MACHINE is no initialised machine (winsim init)" >&2
  exit 1
fi

# C:\ is the machine's drives/c folder; `winsim init` made "Program Files" there.
target="$WINSIM_MACHINE/drives/c/Program Files/Torvex/Utility"
mkdir -p "$target"
for f in "${files[@]}"; do
  cp -f "$layout/$f" "$target/$f"
done

"$winsim_cmd" cert add-root "$root" >/dev/null

service='C:\Program Files\Torvex\Utility\TorvexUtilityService.exe'
output="$("$winsim_cmd" run -- "$service" -install)"
printf '%s\n' "$output"
# The program's exit status is 0 whatever happened; its text says whether the service was made.
case "$output" in
  *"is installed."*) ;;
  *) echo "$0: the service was not installed" >&2; exit 1 ;;
esac
