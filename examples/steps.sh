# The frame of the worked example, sourced by examples/run.sh with its
# arguments once it has set `programs` (the programs of the suite it runs)
# and `tools` (the other commands its steps need).
#
#   run.sh [--bin DIR] [--out DIR]
#   run.sh --programs
#
# --bin DIR   the built programs; without it the optimised build of this tree
#             is configured and only the programs the example needs are built
# --out DIR   the results folder (default build/example of this tree); made
#             anew on every run
# --programs  prints the programs the example needs and stops
#
# The results folder is the working directory of every step. It receives a
# copy of data/ as the run's own installation directory (install/, named by
# KALVO), so that what the programs write there never reaches data/; the
# inputs the script copies in; the control files as the programs leave them;
# the outputs; and one log per step (logs/).
#
# The script then calls, step by step:
#   step PROGRAM [ARG...]  runs a program of the suite (or any other command)
#                          in the results folder, its output in $log; when it
#                          fails, its output is shown and the example ends with
#                          its status
#   made WHAT FILE...      the step's line: what was made and where (FILE
#                          relative to the results folder); a missing file
#                          ends the example as a failure of the step
#   finish                 names the results folder and what it holds
set -euo pipefail

examples=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$examples/.." && pwd)
origin=$PWD
bindir=""
out="$top/build/example"

while [ $# -gt 0 ]; do
  case "$1" in
    --bin) bindir=$(cd "$2" && pwd); shift 2 ;;
    --out) out=$(realpath -m "$2"); shift 2 ;;
    --programs) echo "${programs[*]}"; exit 0 ;;
    *) echo "unknown argument $1; usage: $0 [--bin DIR] [--out DIR] | --programs" >&2; exit 2 ;;
  esac
done

# A path as the person who started the example can use it: relative to the
# directory they started it from when it lies below it.
shown() {
  case "$1" in
    "$origin"/*) echo "${1#"$origin"/}" ;;
    *) echo "$1" ;;
  esac
}

if [ -z "$bindir" ]; then
  echo "Building ${programs[*]} (optimised build in $(shown "$top/build/release"))"
  (cd "$top" && cmake --preset release > /dev/null && cmake --build --preset release --target "${programs[@]}")
  bindir="$top/build/release/bin"
fi
for p in "${programs[@]}"; do
  [ -x "$bindir/$p" ] || { echo "$bindir/$p is not built: run 'make example'" >&2; exit 1; }
done
for t in "${tools[@]}"; do
  command -v "$t" > /dev/null || { echo "$t is not installed: tools/install-deps.sh installs it" >&2; exit 1; }
done

# A results folder is only ever emptied when it is one: a folder of the
# person's own named by mistake is left alone.
marker=.kalvo-example
if [ -e "$out" ] && [ ! -e "$out/$marker" ] && [ -n "$(ls -A "$out" 2> /dev/null)" ]; then
  echo "$out exists and is not a results folder of the example: name another one with --out" >&2
  exit 2
fi
rm -rf "$out"
mkdir -p "$out/install" "$out/logs"
touch "$out/$marker"
cp -R "$top/data/." "$out/install/"
export KALVO="$out/install"
cd "$out"
echo "Worked example: results go to $(shown "$out")/"

stepno=0
stepname=""
log=""

# The failure of the current step: its program's own output, then the end of
# the example with the given status.
failed() {
  local status=$1 why=$2 lines
  lines=$(wc -l < "$log")
  {
    echo "Step $stepno ($stepname) failed: $why."
    if [ "$lines" -gt 40 ]; then
      echo "The last 40 of its $lines lines of output (all in $(shown "$out/$log")):"
      tail -n 40 "$log"
    else
      echo "Its output (also in $(shown "$out/$log")):"
      cat "$log"
    fi
  } >&2
  exit "$status"
}

step() {
  local program=$1 status=0
  shift
  stepno=$((stepno + 1))
  stepname=$program
  log="logs/$stepno-$program.log"
  [ -x "$bindir/$program" ] && program="$bindir/$program"
  "$program" "$@" < /dev/null > "$log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || failed "$status" "$stepname ended with status $status"
}

made() {
  local what=$1 where="" f
  shift
  for f in "$@"; do
    [ -e "$f" ] || failed 1 "$stepname ended normally but did not make $f"
    where+="${where:+, }$(shown "$out/$f")"
  done
  printf '%2d. %-8s %s -> %s\n' "$stepno" "$stepname" "$what" "$where"
}

finish() {
  echo "The results are in $(shown "$out")/: the outputs named above, the control files"
  echo "as the programs left them (*.sav), the run's installation directory (install/)"
  echo "and one log per step (logs/)."
}
