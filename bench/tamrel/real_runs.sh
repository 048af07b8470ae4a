#!/bin/bash
# Run time of measured refinements end to end, on the built programs:
#   LaB6      lintor makes the instrument profile lab6.ger from the LaB6 scan
#             (examples/lab6.sav), tamrel refines LaB6 with it
#             (tests/data/LaB6_refine.sav, LaB6.str);
#   example   the worked example's refinement of PbSO4 (examples/pbso4.sav,
#             pbso4.str, 2theta = 22 to 67 degrees) with the same profile;
#   fullrange the round-robin PbSO4 X-ray pattern (tests/data/PbSO4_xray.gsa)
#             from 2theta = 15 to 159 degrees with the laboratory profile
#             tests/data/PbSO4_instrument.ger: cell, zero, scale, background,
#             breadth, all coordinates and one B per atom (31 parameters).
# The example and the full-range case run from the instrument-profile file
# alone ("ger") and with a GEQ table that quindle made of it ("geq", 2theta
# steps of 0.05 degrees over the refined range), in the ordinary mode and
# with DDM=Y. Each run is repeated (REPEAT, default 3) and the median wall
# time printed per thread count, with the speed-up over the first thread
# count. The list, peak and diagram files of every thread count are compared
# with those of the first (the start and end times apart).
#
# With BASE naming the build directory of another version, each run of that
# version follows the same run of this one (interleaved, so that the load of
# the machine falls on both alike), and both medians are printed with their
# ratio, and their list, peak and diagram files are compared with those of
# this version. The load of the machine is printed at the start and the end.
#
#   bench/tamrel/real_runs.sh [build directory] [thread counts...]
#   e.g. bench/tamrel/real_runs.sh build/release 1 8
#        REPEAT=5 BASE=../main/build/release bench/tamrel/real_runs.sh build/release 1 8
#   CASES (default "LaB6 example fullrange"), TABLES (default "ger geq") and
#   MODES (default "N Y", the values of DDM) choose what runs.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
bin=$(cd "${1:-$top/build/release}" && pwd)/bin
shift || true
threads=("$@")
[ ${#threads[@]} -gt 0 ] || threads=(1 8)
repeat=${REPEAT:-3}
base=""
[ -n "${BASE:-}" ] && base=$(cd "$BASE" && pwd)/bin
cases=(${CASES:-LaB6 example fullrange})
tables=(${TABLES:-ger geq})
modes=(${MODES:-N Y})

work=$(mktemp -d /tmp/tamrel_real_runs.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp -r "$top/data" install
export KALVO=$work/install

fail() {
  cat "$1"
  exit 1
}

# The inputs of every case, in a folder per case and table.
cp "$top/examples/lab6.sav" "$top/examples/lab6.par" "$top/tests/data/LaB6_Jan2018.raw" .
"$bin/lintor" lab6 SAVE=N > lintor.out 2>&1 || fail lintor.out
mkdir -p LaB6/ger
cp "$top/tests/data/LaB6_refine.sav" "$top/tests/data/LaB6.str" LaB6_Jan2018.raw lab6.ger \
  LaB6/ger/
for t in ger geq; do
  mkdir -p example/$t fullrange/$t
  cp "$top/examples/pbso4.sav" "$top/examples/pbso4.str" "$top/tests/data/PbSO4_xray.gsa" \
    lab6.ger example/$t/
  cp "$top/tests/data/PbSO4_xray.gsa" fullrange/$t/
  cp "$top/tests/data/PbSO4_instrument.ger" fullrange/$t/pbso4.ger
  cat > fullrange/$t/pbso4.str << 'EOF'
PHASE=PbSO4 SpacegroupNo=62 UNIT=ANGSTROEM RP=3 GEWICHT=SPHAR0
PARAM=A=8.49726 PARAM=B=5.40940 PARAM=C=6.97392 PARAM=B1=0.005_0
E=Pb Wyckoff=c PARAM=XPb=0.1875 PARAM=ZPb=0.1672 PARAM=BPb=1.0 x=XPb z=ZPb TDS=BPb
E=S Wyckoff=c PARAM=XS=0.0649 PARAM=ZS=0.6835 PARAM=BS=1.0 x=XS z=ZS TDS=BS
E=O Wyckoff=c PARAM=XO1=-0.0930 PARAM=ZO1=0.5954 PARAM=BO1=1.0 x=XO1 z=ZO1 TDS=BO1
E=O Wyckoff=c PARAM=XO2=0.1937 PARAM=ZO2=0.5426 PARAM=BO2=1.0 x=XO2 z=ZO2 TDS=BO2
E=O Wyckoff=d PARAM=XO3=0.0809 PARAM=YO3=0.0269 PARAM=ZO3=0.8093 PARAM=BO3=1.0 x=XO3 y=YO3 z=ZO3 TDS=BO3
EOF
  printf '%s\n' LINTOR=pbso4 LAMBDA=CU VAL[1]=PbSO4_xray.gsa STRUC[1]=pbso4 LIST=pbso4 \
    DIAGRAMM=pbso4 OUTPUT=pbso4 WMIN=15 WMAX=159 PARAM[1]=EPS1=0 > fullrange/$t/pbso4.sav
done
# The tables, made once by this version's quindle.
table() {  # folder, profile name, first and last 2theta
  printf '%s\n' "LINTOR=$2" "WMIN==$3" "WMAX==$4" "WSTEP==0.05" > "$1/table.sav"
  (cd "$1" && "$bin/quindle" table SAVE=N > quindle.out 2>&1) || fail "$1/quindle.out"
}
table example/geq lab6 22 67
table fullrange/geq pbso4 15 159

# Wall seconds of one run of program $1 in folder $2 with the arguments after.
once() {
  local program=$1 dir=$2
  shift 2
  local t0 t1
  t0=$(date +%s%N)
  (cd "$dir" && "$program" "$@" SAVE=N > run.out 2>&1) || fail "$dir/run.out"
  t1=$(date +%s%N)
  echo "scale=3; ($t1 - $t0) / 1000000000" | bc
}

median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

echo "load: $(uptime)"
status=0
for c in "${cases[@]}"; do
  case $c in
    LaB6) control=LaB6_refine list=LaB6 ;;
    example | fullrange) control=pbso4 list=pbso4 ;;
  esac
  for t in "${tables[@]}"; do
    [ -d "$c/$t" ] || continue
    for mode in "${modes[@]}"; do
      first="" firsttime="" firstbase=""
      for n in "${threads[@]}"; do
        times="" basetimes=""
        for ((r = 0; r < repeat; ++r)); do
          times+=" $(once "$bin/tamrel" "$c/$t" "$control" NTHREADS="$n" DDM="$mode")"
          mkdir -p "$c/$t/out$n"
          for f in "$list.lst" pbso4.par pbso4.dia; do
            [ -f "$c/$t/$f" ] && grep -v '^Start:' "$c/$t/$f" > "$c/$t/out$n/$f"
          done
          if [ -n "$base" ]; then
            basetimes+=" $(once "$base/tamrel" "$c/$t" "$control" NTHREADS="$n" DDM="$mode")"
            for f in "$list.lst" pbso4.par pbso4.dia; do
              [ -f "$c/$t/$f" ] || continue
              if ! grep -v '^Start:' "$c/$t/$f" | cmp -s - "$c/$t/out$n/$f"; then
                echo "$c $t DDM=$mode NTHREADS=$n: $f differs from the base version's"
                status=1
              fi
            done
          fi
        done
        med=$(echo "$times" | median)
        [ -n "$firsttime" ] || firsttime=$med
        line=$(printf '%-10s %-3s DDM=%s NTHREADS=%-2s %7.3f s  speed-up %5.2f' "$c" "$t" "$mode" \
          "$n" "$med" "$(echo "scale=3; $firsttime / $med" | bc)")
        if [ -n "$base" ]; then
          bmed=$(echo "$basetimes" | median)
          [ -n "$firstbase" ] || firstbase=$bmed
          line+=$(printf '   base %7.3f s  speed-up %5.2f   base/this %5.2f' "$bmed" \
            "$(echo "scale=3; $firstbase / $bmed" | bc)" "$(echo "scale=3; $bmed / $med" | bc)")
        fi
        echo "$line"
        if [ -z "$first" ]; then
          first=$n
        elif ! diff -r -q "$c/$t/out$first" "$c/$t/out$n" > /dev/null; then
          echo "$c $t DDM=$mode: the outputs of NTHREADS=$n differ from those of NTHREADS=$first"
          status=1
        fi
      done
      rm -rf "$c/$t"/out*
    done
  done
done
echo "load: $(uptime)"
exit $status
