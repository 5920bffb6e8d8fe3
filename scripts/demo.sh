#!/usr/bin/env bash
# The end-to-end demo: the whole system on a fresh simulated machine, its story played with time
# scaled, then a timeline of what happened drawn from the log files, the event log and the process
# list. The exit status is 0 only when every step of the story happened, in order.
#
# usage: scripts/demo.sh [--keep] [--build DIR] [--out DIR] [--fault SPEC] [--scale N]
#   --keep        leave the simulated machine in place for inspection with winsim
#   --out DIR     where the machine, the timeline and the copied logs go (default <build>/demo)
#   --build DIR   use the build in DIR (default build/default, built and set up first); with
#                 --build nothing is installed or built
#   --fault SPEC  WINSIM_FAULTS for the service and what it starts (to see a step go missing)
#   --scale N     how many times faster than real time the machine's delays pass (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

keep=0
build=""
fault=""
out=""
scale=60
while [ $# -gt 0 ]; do
  case "$1" in
    --keep) keep=1; shift ;;
    --build) build="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    --fault) fault="$2"; shift 2 ;;
    --scale) scale="$2"; shift 2 ;;
    *) echo "usage: $0 [--keep] [--build DIR] [--out DIR] [--fault SPEC] [--scale N]" >&2; exit 2 ;;
  esac
done
if [ -z "$build" ]; then
  bash scripts/setup.sh
  echo "Building the system and winsim (build/default; the first build takes several minutes)..."
  bash scripts/build.sh default >/dev/null
  cmake --build --preset default --target installed_layout >/dev/null
  build="$root/build/default"
fi
build="$(cd "$build" && pwd)"
bin="$build/bin"
layout="$build/layout/Program Files/Torvex/Utility"

[ -n "$out" ] || out="$build/demo"
mkdir -p "$out" && out="$(cd "$out" && pwd)"
export WINSIM_MACHINE="$out/machine"
export TZ=UTC
rm -rf "${out:?}"/* && mkdir -p "$out"
winsim() { "$bin/winsim" "$@"; }
family=R3185527.TorvexUtility_7mvd2kx9qhe3b
service='C:\Program Files\Torvex\Utility\TorvexUtilityService.exe'
logs="$WINSIM_MACHINE/drives/c/Windows/Temp/_TorvexUtility_"
notes="$out/observed.txt"   # what the demo itself saw: "<epoch seconds>|<who>|<what>"
: >"$notes"

now() { date +%s.%N; }
say() { printf '  %s\n' "$*"; }
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
observe() { printf '%s|%s|%s\n' "$(now)" "$1" "$2" >>"$notes"; }
# Waits up to LIMIT real seconds until the service's log holds COUNT lines matching PATTERN.
wait_log() {
  local pattern="$1" count="$2" limit="$3" i
  for ((i = 0; i < limit * 10; i++)); do
    if [ "$(cat "$logs"/TorvexUtilityService*.log 2>/dev/null | grep -c -- "$pattern")" -ge "$count" ]; then return 0; fi
    sleep 0.1
  done
  say "(not seen within ${limit}s: $pattern)"
  return 1
}
# The running processes of one image, from the machine's process list.
show_processes() {
  local line
  while read -r line; do
    observe "process list" "$line"
    say "$line"
  done < <(winsim ps | awk -v image="$1" 'NR > 1 && tolower($4) == tolower(image) {
             printf "%s runs as %s in session %s (pid %s)\n", $4, $3, $2, $1 }')
}

step "A new simulated machine with two users, alice at the console and bob"
winsim init >/dev/null
winsim user add alice >/dev/null
winsim user add bob >/dev/null
winsim reg add 'HKLM\SYSTEM\CurrentControlSet\Services\Vantorel\Logs' /v Level /t REG_DWORD /d 2 /f >/dev/null
say "log level 2 (INFO and above); Windows $(winsim version show | sed -n 1p)"

step "Install the system from its layout into C:\\Program Files\\Torvex\\Utility\\"
bash scripts/winsim-install.sh --winsim "$bin/winsim" "$layout" | sed 's/^/  /'
observe installer "installed the system and trusted the test root"

step "Start the service (delays pass $scale times faster)"
t0="$(now)"
if [ -n "$fault" ]; then
  say "fault injected: $fault"
  WINSIM_TIME_SCALE="$scale" WINSIM_FAULTS="$fault" winsim service start TorvexUtilityService | sed 's/^/  /'
else
  WINSIM_TIME_SCALE="$scale" winsim service start TorvexUtilityService | sed 's/^/  /'
fi

step "alice signs in at the console; she does not have the app"
observe alice "signs in at the console"
winsim session logon alice >/dev/null
wait_log "Create DirectoryWatcher" 1 15 || true
say "the check ran; the Packages folder is watched"

step "The app's package is installed for alice"
observe installer "installs the app's package for alice"
winsim package install --user alice "$family" >/dev/null
wait_log "CheckCount to 1" 1 15 || true
sleep 0.5
show_processes Utility.exe

step "The app talks to the service over RPC"
rpc() {
  local user="$1"; shift
  winsim run --user "$user" --capability "$family" -- "$bin/Utility.exe" --rpc "$@"
}
while read -r line; do
  observe "alice's app" "$line"; say "$line"
done < <(rpc alice open meter:100:42:5 getcommend setxml:notepad.exe close 2>&1 | grep -v 'command line:' || true)
sleep 0.5
show_processes notepad.exe
say "bob signs in to a remote session; his copy of the app asks the same"
observe bob "signs in to a remote session"
winsim session logon bob --remote >/dev/null
while read -r line; do
  observe "bob's app" "$line"; say "$line"
done < <(rpc bob open setxml:notepad.exe close 2>&1 | grep -v 'command line:' || true)
winsim session logoff bob >/dev/null

step "alice signs out and in again: the check is done for her, nothing is armed"
observe alice "signs out"
winsim session logoff alice >/dev/null
observe alice "signs in at the console"
winsim session logon alice >/dev/null
wait_log "CheckCount is 1" 2 15 || true
# Long enough for a check that a logon armed (120 s) to run, had it armed one.
sleep "$(awk -v scale="$scale" 'BEGIN { print 150 / scale }')"

step "Windows is updated to another build; at alice's next logon the check is due again"
observe alice "signs out"
winsim session logoff alice >/dev/null
observe machine "Windows is updated to build 26200"
winsim version set 10.0 --build 26200 >/dev/null
observe alice "signs in at the console"
winsim session logon alice >/dev/null
wait_log "Current OS Build Number is 26200" 1 15 || true
wait_log "CheckCount to 1" 2 15 || true

step "Stop the service"
observe "control manager" "stops the service"
winsim service stop TorvexUtilityService | sed 's/^/  /'
observe "control manager" "the service has stopped"

# ---- The timeline -----------------------------------------------------------------------------
# Every source line becomes "<epoch seconds>|<who>|<what>"; simulated time is the real time since
# the service started, times the scale.
timeline="$out/timeline.txt"
{
  cat "$notes"
  for f in "$logs"/TorvexUtilityService*.log "$logs"/Quenlet*.log; do
    [ -f "$f" ] || continue
    who="service"
    case "$f" in *Quenlet*) who="agent" ;; esac
    tr -d '\r' <"$f" | sed -n 's/^\[\([0-9-]* [0-9:.]*\)\] \[[A-Z]*\] \(.*\)$/\1|\2/p' | while IFS='|' read -r stamp text; do
      printf '%s|%s|%s\n' "$(date -d "$stamp" +%s.%N)" "$who" "$text"
    done
  done
} | sort -s -t'|' -k1,1n | awk -F'|' -v t0="$t0" -v scale="$scale" '
  function show(what) {
    t = ($1 - t0) * scale; if (t < 0) t = 0
    printf "%8.1f s  %-16s %s\n", t, $2, what
  }
  $3 ~ /User Logged on/ { show("a session logon"); next }
  $3 ~ /OnServiceControlHandle current user name/ { u = $3; sub(/.*name: "/, "", u); sub(/".*/, "", u); show("the console user is " u); next }
  $3 ~ /schedule user logon delay timer/ { show("the app check is due in 120 s"); next }
  $3 ~ /\+\+\+\+\+/ { show("the app check runs"); next }
  $3 ~ /process is exist: False/ { show("the app does not run"); next }
  $3 ~ /were  signature/ { show("the agent passed the signature check"); next }
  $3 ~ /not signature/ { show("the agent FAILED the signature check"); next }
  $3 ~ /Create "Quenlet.exe" process success/ { show("the agent started in the user'"'"'s session"); next }
  $3 ~ /return code is/ { sub(/.*return code is /, "", $3); show("the agent ended with exit code " $3); next }
  $3 ~ /Create DirectoryWatcher/ { show("watching the user'"'"'s Packages folder"); next }
  $3 ~ /directory watcher notify/ { show("the app'"'"'s package folder appeared: check due in 30 s"); next }
  $3 ~ /Destroy DirectoryWatcher/ { show("the watcher is gone"); next }
  $3 ~ /CheckCount to 1/ { show("the app is available: check done for this user"); next }
  $3 ~ /OnServiceControlHandle set .*CheckCount to 0/ { show("the Windows build changed: the check is due again"); next }
  $3 ~ /CheckCount to 0/ { show("the check is recorded for this user as not done"); next }
  $3 ~ /CheckCount is 1/ { show("the check was done before for this user"); next }
  $3 ~ /OnStop enter/ { show("the service stops"); next }
  $3 ~ /app is NOT preloaded/ { show("the app'"'"'s package is not installed"); next }
  $3 ~ /app is preloaded/ { show("the app'"'"'s package is installed"); next }
  $3 ~ /status of launch torvex utility appx is: True/ { show("the app is activated"); next }
  $3 ~ /status of launch torvex utility appx is: False/ { show("activating the app failed"); next }
  $2 !~ /^(service|agent)/ { show($3) }
' >"$timeline"
winsim events >"$out/events.txt" 2>&1 || true

step "Timeline (simulated seconds since the service started)"
cat "$timeline"

# ---- Every step, in order ---------------------------------------------------------------------
expected=(
  "alice|signs in at the console"
  "service|the app check runs"
  "agent|the app's package is not installed"
  "service|watching the user's Packages folder"
  "installer|installs the app's package for alice"
  "service|the app's package folder appeared"
  "service|the app check runs"
  "agent|the app is activated"
  "service|the app is available: check done for this user"
  "service|the watcher is gone"
  "process list|Utility.exe runs as alice in session 1"
  "alice's app|open: ok"
  "alice's app|tick 5 "
  "alice's app|getcommend: length 35 "
  "alice's app|setxml: ok"
  "alice's app|close: ok"
  "process list|notepad.exe runs as alice in session 1"
  "bob's app|setxml: fault 5"
  "alice|signs in at the console"
  "service|the check was done before for this user"
  "machine|Windows is updated"
  "service|the Windows build changed: the check is due again"
  "service|the app check runs"
  "service|the app is available"
  "service|the service stops"
  "control manager|the service has stopped"
)
status=0
line=0
for want in "${expected[@]}"; do
  who="${want%%|*}" what="${want#*|}"
  # awk reads the file itself: a reader that stops early at the end of a pipe would kill the
  # writer with SIGPIPE, and with pipefail the whole demo with it.
  found=$(awk -v after="$line" -v who="$who" -v what="$what" '
    NR <= after { next }
    { w = substr($0, 13, 16); sub(/ +$/, "", w) }
    w == who && index(substr($0, 30), what) { print NR; exit }' "$timeline")
  if [ -z "$found" ]; then
    echo "MISSING (or out of order): $who: $what"
    status=1
  else
    line=$found
  fi
done
# The logon between the first and the second check of the OS build arms nothing: three checks in all.
checks=$(grep -c -F "the app check runs" "$timeline" || true)
if [ "$checks" != 3 ]; then
  echo "UNEXPECTED: $checks runs of the app check instead of 3"
  status=1
fi

# The files stay readable after the machine is gone: the logs are copied beside the timeline.
mkdir -p "$out/logs"
cp "$logs"/*.log "$out/logs/"
winsim session logoff alice >/dev/null 2>&1 || true
if [ "$keep" = 0 ]; then rm -rf "$WINSIM_MACHINE"; fi

step "Files to read"
say "timeline:          $timeline"
say "what the demo saw: $notes"
say "event log:         $out/events.txt"
for f in "$out"/logs/*.log; do say "log:               $f"; done
if [ "$keep" = 1 ]; then
  say "the machine:       $WINSIM_MACHINE"
  say "                   (WINSIM_MACHINE=$WINSIM_MACHINE $bin/winsim ps | events | reg query ...)"
fi
echo
if [ "$status" = 0 ]; then echo "Every step of the story happened."; else echo "Some steps of the story did not happen."; fi
exit "$status"
