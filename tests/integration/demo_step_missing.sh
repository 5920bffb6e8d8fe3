#!/usr/bin/env bash
# The demo's exit status tells whether every step of its story happened: with the shell made to
# fail in every process that the service starts, the program that the app asks for never opens,
# and the demo must fail naming exactly that step.
# usage: demo_step_missing.sh SOURCE_DIR BUILD_DIR OUT_DIR
set -uo pipefail
source_dir="$1" build_dir="$2" out_dir="$3"
output="$(bash "$source_dir/scripts/demo.sh" --build "$build_dir" --out "$out_dir" --fault ShellExecuteW=2 2>&1)"
status=$?
printf '%s\n' "$output" | tail -n 20
if [ "$status" -eq 0 ]; then
  echo "FAIL: the demo succeeded although the program never opened"
  exit 1
fi
missing="$(printf '%s\n' "$output" | grep -E '^(MISSING|UNEXPECTED)')"
if [ "$missing" != "MISSING (or out of order): process list: notepad.exe runs as alice in session 1" ]; then
  echo "FAIL: expected exactly the opened program to be reported missing, got:"
  printf '%s\n' "$missing"
  exit 1
fi
echo "PASS: the demo failed and named the missing step"
