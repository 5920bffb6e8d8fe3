#!/usr/bin/env bash
# Every benchmark of the project in one run, and one table of their figures.
#
# Builds the benchmark programs with the Release-with-debug-info preset ("default"), runs each in
# turn (their own output is shown as it comes), and collects the machine-readable lines they print,
# one per figure:
#
#   BENCH <name> <figure> <baseline> <unit> <goal>
#
#   name      one word naming the figure
#   figure    the measured value, in unit
#   baseline  the same quantity measured in the same run by the plain road the figure is compared
#             with, in the same unit; "-" when the figure has none
#   unit      one word (us, ms, ns ...)
#   goal      "<=N" or ">=N": on the ratio figure/baseline when there is a baseline, else on the
#             figure; "-" when there is no goal
#
# bench/BenchLine.h prints such a line from C++; any program (or script) that prints one works.
# The table shows each figure beside its baseline, the ratio, the goal and whether it is met.
# The exit status is 0 when every benchmark ran and every goal was met, 1 otherwise.
#
# Adding a benchmark is one line in the list below: the program's name under build/default/bench/
# and its arguments (a bench/*.cpp file becomes such a program by itself).
#
# Usage: scripts/bench.sh [NAME...]   (only the benchmarks whose program names are given)
set -uo pipefail
cd "$(dirname "$0")/.."

BENCHMARKS=(
  "log_bench"
  "agent_launch_bench"
  "process_launch_bench"
  "package_folder_notify_bench"
  "service_control_bench"
  "threadpool_timer_bench"
  "trust_digest_bench"
  "utility_process_query_bench"
  "rpc_call_bench"
  "rpc_metering_bench"
  "rpc_soak --minutes 10"
)

preset=default
selected=("$@")
programs=()
for entry in "${BENCHMARKS[@]}"; do
  program="${entry%% *}"
  if [ ${#selected[@]} -gt 0 ] && [[ ! " ${selected[*]} " == *" $program "* ]]; then continue; fi
  programs+=("$entry")
done
[ ${#programs[@]} -gt 0 ] || { echo "bench.sh: no benchmark named ${selected[*]}" >&2; exit 2; }

targets=()
for entry in "${programs[@]}"; do targets+=("${entry%% *}"); done
# The service benchmark drives the test service program: build it alongside.
[[ " ${targets[*]} " == *" service_control_bench "* ]] && targets+=(winsim_test_service)
cmake --preset "$preset" >/dev/null || exit 1
cmake --build --preset "$preset" -j 2 --target "${targets[@]}" || exit 1

lines=$(mktemp)
trap 'rm -f "$lines"' EXIT
status=0
for entry in "${programs[@]}"; do
  program="${entry%% *}"
  args=""
  [ "$entry" != "$program" ] && args="${entry#* }"
  echo "=== $program $args"
  # shellcheck disable=SC2086
  if ! "build/$preset/bench/$program" $args | tee /dev/stderr | grep '^BENCH ' >>"$lines"; then
    echo "bench.sh: $program failed or printed no figure" >&2
    status=1
  fi
done 2>&1

echo
awk '
  function check(value, goal,    bound) {
    if (goal == "-") return "";
    bound = substr(goal, 3) + 0;
    if (substr(goal, 1, 2) == "<=") return value <= bound ? "met" : "MISSED";
    if (substr(goal, 1, 2) == ">=") return value >= bound ? "met" : "MISSED";
    return "?";
  }
  BEGIN {
    printf "%-40s %14s %14s %-6s %9s %-7s %s\n", "figure", "value", "baseline", "unit", "ratio", "goal", "";
  }
  $1 == "BENCH" {
    name = $2; figure = $3; baseline = $4; unit = $5; goal = $6;
    if (baseline != "-" && baseline + 0 > 0) {
      ratio = sprintf("%.2f", figure / baseline);
      verdict = check(figure / baseline, goal);
    } else {
      ratio = "-";
      verdict = check(figure + 0, goal);
    }
    if (verdict == "MISSED") missed = 1;
    printf "%-40s %14.4g %14s %-6s %9s %-7s %s\n", name, figure, (baseline == "-" ? "-" : sprintf("%.4g", baseline)),
           unit, ratio, goal, verdict;
  }
  END { exit missed ? 1 : 0 }
' "$lines" || status=1
exit "$status"
