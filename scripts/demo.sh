#!/usr/bin/env bash
# The end-to-end demo on a fresh simulated machine: install the service, start it, watch its
# status reports, events and log, stop it and remove it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh default >/dev/null
bin="$PWD/build/default/bin"
export WINSIM_MACHINE="$PWD/demo-machine"
rm -rf "$WINSIM_MACHINE"
winsim() { "$bin/winsim" "$@"; }
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
service="$bin/TorvexUtilityService.exe"

step "A new simulated machine"
winsim init
winsim user add alice

step "The service program from a command prompt, without arguments"
winsim run -- "$service"

step "Unknown option: the usage text"
winsim run -- "$service" -foo

step "Log level 2 (INFO and above)"
winsim reg add 'HKLM\SYSTEM\CurrentControlSet\Services\Vantorel\Logs' /v Level /t REG_DWORD /d 2 /f
winsim reg query 'HKLM\SYSTEM\CurrentControlSet\Services\Vantorel\Logs'

step "Install"
winsim run -- "$service" -install
step "Install again"
winsim run -- "$service" -install
step "Install as a plain user"
winsim run --user alice -- "$service" -install

step "Start the service (its delays pass 60 times faster in this demo)"
WINSIM_TIME_SCALE=60 winsim service start TorvexUtilityService

step "alice signs in at the console: the companion-app check is due for her in 120 s"
winsim session logon alice
winsim session list
sleep 3
service_log() { cat "$WINSIM_MACHINE"/drives/c/Windows/Temp/_TorvexUtility_/TorvexUtilityService*.log; }
service_log | grep -E "OnServiceControlHandle|UtilityPackageCheckDelayTimerCallback" || true

step "alice signs out"
winsim session logoff alice
sleep 1
service_log | tail -n 3

step "Stop it: every status report of the run"
winsim service stop TorvexUtilityService
winsim service query TorvexUtilityService --history

step "Start it again and remove it while it runs: stopped first, then removed"
winsim service start TorvexUtilityService >/dev/null
winsim run -- "$service" -remove

step "The service's events"
winsim events

step "The service's log file"
for f in "$WINSIM_MACHINE"/drives/c/Windows/Temp/_TorvexUtility_/*.log; do
  echo "--- C:\\Windows\\Temp\\_TorvexUtility_\\$(basename "$f")"
  cat "$f"
done

step "Install, start and shut the machine down"
winsim run -- "$service" -install
winsim service start TorvexUtilityService
winsim shutdown
winsim service query TorvexUtilityService --history
winsim run -- "$service" -remove
echo
echo "Demo machine left in $WINSIM_MACHINE"
