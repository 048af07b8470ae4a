#!/usr/bin/env bash
# clang-tidy with the checks of .clang-tidy on every C++ source file of src,
# tests, bench and tools that the build compiles (its compile_commands.json);
# the headers they include are checked through them. Fails on any finding.
#   tools/run-tidy.sh [<build folder, default build/release>] [<file>...]
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
shift || true
if [ ! -f "$build/compile_commands.json" ]; then
  echo "no $build/compile_commands.json: configure the build first (cmake --preset release)"
  exit 1
fi
if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(grep -o '"file": "[^"]*"' "$build/compile_commands.json" |
    sed 's/"file": "//; s/"$//' | grep -E "^$PWD/(src|tests|bench|tools)/" | sort -u)
fi
# Quiet: only the findings and a summary; one clang-tidy per few files, three
# at a time (TIDY_JOBS) on the shared machine.
log=$(mktemp "${TMPDIR:-/tmp}/kalvo-tidy-XXXXXX") || exit 1
printf '%s\n' "${files[@]}" |
  xargs -P "${TIDY_JOBS:-3}" -n 4 clang-tidy -p "$build" --quiet >"$log" 2>/dev/null
findings=$(grep -c ': warning: \|: error: ' "$log")
if [ "$findings" -gt 0 ]; then
  grep -A3 ': warning: \|: error: ' "$log"
  echo "clang-tidy: $findings findings"
  rm -f "$log"
  exit 1
fi
rm -f "$log"
echo "clang-tidy: no finding in ${#files[@]} files"
