#!/bin/bash
# What the machine itself allows a threaded bench: the same one-thread run
# alone, then as many copies side by side as there are threads. When the
# copies side by side take longer than the one alone, they compete for
# memory bandwidth, caches or shared cores, and no distribution of the work
# over threads can scale beyond (copies x alone / side by side).
#
#   bench/side_by_side.sh copies command [arguments...]
#   e.g. bench/side_by_side.sh 8 build/release/bin/bench_normalmatrix 1 200 20000 20
# Prints the wall time of the run alone and of all copies side by side.
set -u
copies=$1
shift
work=$(mktemp -d /tmp/side_by_side.XXXXXX)
trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }
t0=$(now)
"$@" > "$work/alone.txt"
t1=$(now)
for ((k = 0; k < copies; ++k)); do "$@" > "$work/copy$k.txt" & done
wait
t2=$(now)
alone=$(echo "$t1 - $t0" | bc -l)
side=$(echo "$t2 - $t1" | bc -l)
printf 'alone %.3f s; %d copies side by side %.3f s: the machine does %.2f of %d\n' \
  "$alone" "$copies" "$side" "$(echo "$copies * $alone / $side" | bc -l)" "$copies"
echo "alone:"
cat "$work/alone.txt"
echo "one of the copies:"
cat "$work/copy0.txt"
