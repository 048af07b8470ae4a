#!/bin/bash
# Run time of the built programs against the size of their input, end to end
# (whole process, wall seconds):
#   atoms   tamrel sets up a P1 structure of N atoms (N = 1000 ... 10000, each
#           its own element entry, coordinates and displacement, names given
#           by the program) and runs one least-squares cycle of its cell
#           against a short synthetic scan;
#   params  the same with 2000 atoms whose structure file also holds one
#           PARAM line repeated P times (P = 500 ... 2000);
#   points  raze, vistal, kalvo and tamrel each read a synthetic Cu scan of
#           2 000 000 points (raze and vistal with the sigma correction near
#           strong lines over all of them; kalvo and tamrel then fit 2
#           degrees of it).
# The load of the machine is printed beside the figures (other work on it
# lengthens them).
#
#   bench/tamrel/sizes.sh [build directory] [atoms|params|points ...]
#   e.g. bench/tamrel/sizes.sh build/release atoms points
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
bin=$(cd "${1:-$top/build/release}" && pwd)/bin
shift || true
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(atoms params points)

work=$(mktemp -d /tmp/tamrel_sizes.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp -r "$top/data" install
export KALVO=$work/install

# A narrow instrument profile and a short scan of a few lines.
printf 'TITEL=bench\nTHETA=2 N=1\n1 0 0.0006\nTHETA=88 N=1\n1 0 0.0008\n' > inst.ger
awk 'BEGIN { for (x = 20; x <= 30; x += 0.02)
  printf "%.2f %d\n", x, 100 + 2000 * exp(-((x - 25) / 0.05) ^ 2) }' > short.xy

# structure <atoms> <repeated PARAM lines>
structure() {
  awk -v n="$1" -v p="$2" 'BEGIN {
    srand(7)
    print "PHASE=Bench SpacegroupNo=1 UNIT=ANGSTROEM RP=2 GEWICHT=SPHAR0 PARAM=A=10.0"
    print "B=10.0 C=10.0 ALPHA=90 BETA=90 GAMMA=90"
    for (i = 0; i < p; ++i) print "PARAM=Bq=0.5"
    split("C N O S Fe", el, " ")
    for (i = 0; i < n; ++i)
      printf "E=%s Wyckoff=a x=%.4f y=%.4f z=%.4f TDS=0.5\n", el[i % 5 + 1], rand(), rand(), rand()
  }'
}

timed() {
  local label=$1
  shift
  if ! /usr/bin/time -f "%e %U %M" -o time.txt "$@" > run.out 2>&1; then
    echo "$label: failed"
    tail -5 run.out
    return 1
  fi
  read -r wall user mem < time.txt
  printf '%-34s wall %7.2f s  user %7.2f s  max RSS %5d MB  load %s\n' "$label" "$wall" "$user" \
    $((mem / 1024)) "$(cut -d' ' -f1 /proc/loadavg)"
}

status=0
for part in "${parts[@]}"; do
  case $part in
    atoms)
      for n in 1000 2000 4000 10000; do
        structure "$n" 0 > s.str
        timed "tamrel set-up + 1 cycle, $n atoms" "$bin/tamrel" run LINTOR=inst LAMBDA=CU \
          VAL[1]=short.xy STRUC[1]=s RU=2 ITMAX=1 SAVE=N || status=1
      done
      ;;
    params)
      for p in 500 1000 2000; do
        structure 2000 "$p" > s.str
        timed "tamrel 2000 atoms, PARAM line x $p" "$bin/tamrel" run LINTOR=inst LAMBDA=CU \
          VAL[1]=short.xy STRUC[1]=s RU=2 ITMAX=1 SAVE=N || status=1
      done
      ;;
    points)
      # 2 000 000 points from 5 to 165 degrees, lines every 2 degrees.
      awk 'BEGIN { n = 2000000; for (i = 0; i < n; ++i) { x = 5 + 160 * i / n
        d = (x - 5) % 2 - 1; printf "%.6f %d\n", x, 100 + 5000 * exp(-(d / 0.03) ^ 2) } }' > big.xy
      timed "raze, 2 000 000 points" "$bin/raze" split VAL[1]=big.xy LAMBDA=CU WMIN==5 \
        WMAX==165 SAVE=N || status=1
      timed "vistal, 2 000 000 points" "$bin/vistal" plot VAL[1]=big.xy LAMBDA=CU WMIN==5 \
        WMAX==165 SAVE=N || status=1
      # kalvo and tamrel read the whole file and fit a window of it: over
      # all 2 000 000 points their runs are the peak search and the per-point
      # profile set-up, not the reading.
      timed "kalvo, 2 000 000 read, 20-22 fitted" "$bin/kalvo" fit VAL[1,1]=big.xy LAMBDA=CU \
        LINTOR=inst WMIN==20 WMAX==22 SAVE=N || status=1
      structure 1 0 > s.str
      timed "tamrel, 2 000 000 read, 20-22 fitted" "$bin/tamrel" run LINTOR=inst LAMBDA=CU \
        VAL[1]=big.xy STRUC[1]=s WMIN=20 WMAX=22 RU=2 ITMAX=1 SAVE=N || status=1
      ;;
    *)
      echo "unknown part $part (atoms, params or points)"
      status=1
      ;;
  esac
done
exit $status
