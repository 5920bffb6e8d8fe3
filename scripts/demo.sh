#!/usr/bin/env bash
# The end-to-end demo on a fresh simulated machine: install the system from its installed layout,
# start the service, play the companion-app check for a user without the app and then with it,
# watch the service's status reports, events and logs, stop it and remove it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh default >/dev/null
bin="$PWD/build/default/bin"
layout="$PWD/build/default/layout/Program Files/Torvex/Utility"
export WINSIM_MACHINE="$PWD/demo-machine"
rm -rf "$WINSIM_MACHINE"
winsim() { "$bin/winsim" "$@"; }
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
service='C:\Program Files\Torvex\Utility\TorvexUtilityService.exe'
logs="$WINSIM_MACHINE/drives/c/Windows/Temp/_TorvexUtility_"
service_log() { cat "$logs"/TorvexUtilityService*.log; }
agent_log() { cat "$logs"/Quenlet*.log 2>/dev/null || true; }
road='OnServiceControlHandle|UtilityPackageCheckDelayTimerCallback|Launch|DirectoryChangesNotify'

step "A new simulated machine"
winsim init
winsim user add alice

step "Log level 2 (INFO and above)"
winsim reg add 'HKLM\SYSTEM\CurrentControlSet\Services\Vantorel\Logs' /v Level /t REG_DWORD /d 2 /f
winsim reg query 'HKLM\SYSTEM\CurrentControlSet\Services\Vantorel\Logs'

step "Install the layout: copied to C:\Program Files\Torvex\Utility\, the test root trusted, -install run there"
ls "$layout"
bash scripts/winsim-install.sh "$layout"
winsim cert list

step "The installed service program from a command prompt, without arguments"
winsim run -- "$service"

step "Unknown option: the usage text"
winsim run -- "$service" -foo

step "Install again"
winsim run -- "$service" -install
step "Install as a plain user"
winsim run --user alice -- "$service" -install

step "Start the service (its delays pass 60 times faster in this demo)"
WINSIM_TIME_SCALE=60 winsim service start TorvexUtilityService

step "alice signs in at the console without the app: 120 s later the check, the agent finds no package, the Packages folder is watched"
winsim session logon alice
winsim session list
sleep 3
service_log | grep -E "$road" || true
agent_log

step "The app's package is installed for alice: its folder appears, 30 s later the check activates the app"
winsim package install --user alice R3185527.TorvexUtility_7mvd2kx9qhe3b
sleep 2
service_log | grep -E "$road" | tail -n 12 || true
agent_log | tail -n 2
winsim ps
winsim reg query 'HKLM\SYSTEM\CurrentControlSet\Services\Vantorel' /s

step "alice signs out, and in again: her check is done, nothing is armed"
winsim session logoff alice
winsim session logon alice
sleep 3
service_log | tail -n 4
winsim session logoff alice

step "Stop it: every status report of the run"
winsim service stop TorvexUtilityService
winsim service query TorvexUtilityService --history

step "Start it again and remove it while it runs: stopped first, then removed"
winsim service start TorvexUtilityService >/dev/null
winsim run -- "$service" -remove

step "The service's events"
winsim events

step "The log files of the service's runs and of the agent's"
for f in "$logs"/*.log; do
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
