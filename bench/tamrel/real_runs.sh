#!/bin/bash
# Run time of the two measured refinements end to end, on the built programs:
#   LaB6  lintor makes the instrument profile lab6.ger from the LaB6 scan
#         (examples/lab6.sav), tamrel refines LaB6 with it
#         (tests/data/LaB6_refine.sav, LaB6.str);
#   PbSO4 the worked example's refinement (examples/pbso4.sav, pbso4.str)
#         with the same profile.
# Each refinement runs once per thread count; wall, user and system seconds
# are printed, with the number of futex calls when perf can count them. The
# list, peak and diagram files of every thread count are compared with those
# of the first (the start and end times apart).
#
#   bench/tamrel/real_runs.sh [build directory] [thread counts...]
#   e.g. bench/tamrel/real_runs.sh build/release 1 8
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
bin=$(cd "${1:-$top/build/release}" && pwd)/bin
shift || true
threads=("$@")
[ ${#threads[@]} -gt 0 ] || threads=(1 8)

work=$(mktemp -d /tmp/tamrel_real_runs.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp -r "$top/data" install
export KALVO=$work/install
cp "$top/examples/lab6.sav" "$top/examples/lab6.par" "$top/examples/pbso4.sav" \
  "$top/examples/pbso4.str" "$top/tests/data/LaB6_refine.sav" "$top/tests/data/LaB6.str" \
  "$top/tests/data/LaB6_Jan2018.raw" "$top/tests/data/PbSO4_xray.gsa" .
if ! "$bin/lintor" lab6 SAVE=N > lintor.out 2>&1; then
  cat lintor.out
  exit 1
fi

counter=()
if perf stat -e syscalls:sys_enter_futex true > /dev/null 2>&1; then
  counter=(perf stat -x, -o stat.txt -e syscalls:sys_enter_futex)
fi

status=0
for run in LaB6_refine:LaB6 pbso4:pbso4; do
  control=${run%%:*}
  list=${run##*:}
  first=""
  for n in "${threads[@]}"; do
    rm -f stat.txt
    if ! /usr/bin/time -f "%e %U %S" -o time.txt "${counter[@]}" "$bin/tamrel" "$control" \
      SAVE=N NTHREADS="$n" > run.out 2>&1; then
      cat run.out
      exit 1
    fi
    read -r wall user sys < time.txt
    futex=-
    [ -f stat.txt ] && futex=$(grep sys_enter_futex stat.txt | cut -d, -f1)
    printf '%-12s NTHREADS=%-2s wall %6.2f s  user %6.2f s  sys %6.2f s  futex %s\n' \
      "$control" "$n" "$wall" "$user" "$sys" "$futex"
    mkdir -p "out$n"
    for f in "$list.lst" pbso4.par pbso4.dia; do
      [ -f "$f" ] && grep -v '^Start:' "$f" > "out$n/$f"
    done
    if [ -z "$first" ]; then
      first=$n
    elif ! diff -r -q "out$first" "out$n" > /dev/null; then
      echo "$control: the outputs of NTHREADS=$n differ from those of NTHREADS=$first"
      status=1
    fi
  done
  rm -rf out*
done
exit $status
