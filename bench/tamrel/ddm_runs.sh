#!/bin/bash
# Run time of the derivative mode (DDM=Y) against the ordinary mode of the
# same refinement, end to end on the built programs: the PbSO4 X-ray pattern
# of the Rietveld round robin from 2theta = 15 to 159 degrees (5761 points,
# in the derivative mode 11514 derivative rows) with the laboratory profile
# tests/data/PbSO4_instrument.ger and no GEQ table, the published structure
# with its cell 0.2 % too large; cell, one displacement parameter, a sample
# breadth, the scale and the zero shift refined (the ordinary mode also
# refines the background, which the derivative mode leaves out).
#
# Each case runs once to the end and once with ITMAX=1; the difference of
# the times over the difference of the iteration counts is the time of one
# iteration, free of the set-up and the outputs. Every run is repeated, the
# repeats of all cases interleaved, and the medians are printed: whole run,
# iterations, seconds per iteration (wall time, and processor time: user and
# system, which a loaded machine lengthens less), the speed-up of 8 threads
# over 1 and what a derivative-mode iteration costs in ordinary ones. The
# list files of 1 and 8 threads are compared (the start time apart).
#
# With a second build directory the same runs of that build are interleaved
# with those of the first (e.g. a build of the main line, to measure a change
# on a loaded machine), and their list files are compared with the first's.
#
#   bench/tamrel/ddm_runs.sh [build directory] [baseline build directory] [repeats]
#   e.g. bench/tamrel/ddm_runs.sh build/release ../main/build/release 5
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
builds=("$(cd "${1:-$top/build/release}" && pwd)")
[ -n "${2:-}" ] && builds+=("$(cd "$2" && pwd)")
repeats=${3:-3}
threads=(1 8)

work=$(mktemp -d /tmp/tamrel_ddm_runs.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp -r "$top/data" install
export KALVO=$work/install
cp "$top/tests/data/PbSO4_xray.gsa" .
cp "$top/tests/data/PbSO4_instrument.ger" pbso4.ger
cat > pbso4.str << 'EOF'
PHASE=PbSO4 SpacegroupNo=62 UNIT=ANGSTROEM RP=3 GEWICHT=SPHAR0
PARAM=A=8.49726 PARAM=B=5.40940 PARAM=C=6.97392 PARAM=Biso=1.0 PARAM=B1=0.005_0
E=Pb Wyckoff=c x=0.1875 z=0.1672 TDS=Biso
E=S Wyckoff=c x=0.0649 z=0.6835 TDS=Biso
E=O Wyckoff=c x=-0.0930 z=0.5954 TDS=Biso
E=O Wyckoff=c x=0.1937 z=0.5426 TDS=Biso
E=O Wyckoff=d x=0.0809 y=0.0269 z=0.8093 TDS=Biso
EOF
common='LINTOR=pbso4\nLAMBDA=CU\nVAL[1]=PbSO4_xray.gsa\nSTRUC[1]=pbso4\nLIST=pbso4\nWMIN=15\nWMAX=159\nPARAM[1]=EPS1=0\n'
printf "$common" > ordinary.sav
printf "${common}DDM=Y\n" > ddm.sav

# One run: wall seconds and iterations into times.txt, the list file kept.
run() {
  local b=$1 mode=$2 n=$3 itmax=$4
  local bin=${builds[$b]}/bin
  local extra=()
  [ "$itmax" -gt 0 ] && extra=(ITMAX="$itmax")
  if ! /usr/bin/time -f "%e %U %S" -o time.txt "$bin/tamrel" "$mode" SAVE=N NTHREADS="$n" \
    "${extra[@]}" > run.out 2>&1; then
    cat run.out
    exit 1
  fi
  local it
  it=$(grep -m1 ' iteration steps' pbso4.lst | awk '{print $1}')
  local wall user sys
  read -r wall user sys < time.txt
  echo "$b $mode $n $itmax $wall $it $(awk -v u="$user" -v s="$sys" 'BEGIN {print u + s}')" \
    >> times.txt
  [ "$itmax" -eq 0 ] && grep -v '^Start:' pbso4.lst > "list.$b.$mode.$n"
}

echo "load before: $(uptime)"
for ((r = 0; r < repeats; ++r)); do
  for mode in ordinary ddm; do
    for n in "${threads[@]}"; do
      for itmax in 0 1; do
        for b in "${!builds[@]}"; do run "$b" "$mode" "$n" "$itmax"; done
      done
    done
  done
done
echo "load after:  $(uptime)"

median() { sort -g | awk '{v[NR] = $1} END {print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
value() {  # build mode threads itmax column
  awk -v b="$1" -v m="$2" -v n="$3" -v i="$4" -v c="$5" \
    '$1 == b && $2 == m && $3 == n && $4 == i {print $c}' times.txt | median
}

status=0
for b in "${!builds[@]}"; do
  echo
  echo "build ${builds[$b]} (medians of $repeats runs)"
  printf '%-9s %7s %6s %6s %8s %9s %6s %7s\n' mode threads run iters "s/iter" \
    "cpu/iter" "run x" "iter x"
  declare -A per=()
  for mode in ordinary ddm; do
    for n in "${threads[@]}"; do
      whole=$(value "$b" "$mode" "$n" 0 5)
      iters=$(value "$b" "$mode" "$n" 0 6)
      short=$(value "$b" "$mode" "$n" 1 5)
      siters=$(value "$b" "$mode" "$n" 1 6)
      cpu=$(value "$b" "$mode" "$n" 0 7)
      scpu=$(value "$b" "$mode" "$n" 1 7)
      percpu=$(awk -v a="$cpu" -v b="$scpu" -v i="$iters" -v j="$siters" \
        'BEGIN {printf "%.4f", (i > j ? (a - b) / (i - j) : a / i)}')
      per[$mode.$n.cpu]=$percpu
      per[$mode.$n]=$(awk -v a="$whole" -v b="$short" -v i="$iters" -v j="$siters" \
        'BEGIN {printf "%.4f", (i > j ? (a - b) / (i - j) : a / i)}')
      per[$mode.$n.run]=$whole
      runx=$(awk -v a="${per[$mode.${threads[0]}.run]}" -v b="$whole" 'BEGIN {printf "%.2f", a / b}')
      iterx=$(awk -v a="${per[$mode.${threads[0]}]}" -v b="${per[$mode.$n]}" \
        'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}')
      printf '%-9s %7s %6.2f %6s %8s %9s %6s %7s\n' "$mode" "$n" "$whole" "$iters" \
        "${per[$mode.$n]}" "$percpu" "$runx" "$iterx"
    done
  done
  for n in "${threads[@]}"; do
    awk -v d="${per[ddm.$n]}" -v o="${per[ordinary.$n]}" -v dc="${per[ddm.$n.cpu]}" \
      -v oc="${per[ordinary.$n.cpu]}" -v n="$n" 'BEGIN {printf "NTHREADS=%s: a derivative-mode \
iteration costs %.2f ordinary ones (processor time %.2f)\n", n, (o > 0 ? d / o : 0),
      (oc > 0 ? dc / oc : 0)}'
  done
  for mode in ordinary ddm; do
    if ! diff -q "list.$b.$mode.${threads[0]}" "list.$b.$mode.${threads[1]}" > /dev/null; then
      echo "$mode: the list files of NTHREADS=${threads[0]} and ${threads[1]} differ"
      status=1
    fi
    if [ "$b" -gt 0 ] && ! diff -q "list.0.$mode.1" "list.$b.$mode.1" > /dev/null; then
      echo "$mode: the list file differs from that of the first build:"
      diff "list.0.$mode.1" "list.$b.$mode.1" | head -20
    fi
  done
  unset per
done
exit $status
