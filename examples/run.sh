#!/usr/bin/env bash
# The worked example: the instrument profile of a laboratory diffractometer
# (instrument.ger) is tabulated and looked at, a beam path is traced, a
# measured pattern split into parts, and an instrument profile built from the
# scan of a standard, whose plot is prepared.
#  1. ordanix checks the space-group database of the installation;
#  2. quindle tabulates the instrument profile into a GEQ table from
#     2theta = 20 to 120 degrees (control file table.sav);
#  3. probast writes the instrument function at 2theta = 40 degrees from the
#     table,
#  4. and again from the instrument-profile file alone, the table set aside;
#  5. the two line shapes are compared (compare.awk);
#  6. zelmar traces the line shape of a diffractometer's beam path
#     (beampath.sav) at three angles into an instrument-profile file;
#  7. raze splits the measured X-ray pattern of PbSO4 between 2theta = 20
#     and 60 degrees into parts for the peak fit;
#  8. lintor builds the instrument profile of a laboratory diffractometer
#     from its scan of the line-position standard LaB6 (lab6.sav, lab6.par);
#  9. vistal prepares a gnuplot plot of that scan from 2theta = 20 to 32
#     degrees;
# 10. tamrel refines PbSO4 against its measured X-ray pattern with the
#     instrument profile of step 8, from the published structure with a cell
#     0.2 % too large (pbso4.sav, pbso4.str), between 2theta = 22 and 67
#     degrees, where that profile was measured;
# 11. the refined cell is set beside the round-robin values, with the R
#     values of the fit (cell.awk); a cell edge more than 0.003 angstrom off
#     ends the example as a failure;
# 12. vistal writes the plot files of the refinement (pbso4plot.sav);
# 13. gnuplot draws them into pbso4.png (pbso4.gp).
# Arguments and the frame of the steps: see steps.sh.
programs=(ordanix quindle probast zelmar raze lintor tamrel vistal)
tools=(awk gnuplot)
source "$(dirname "$0")/steps.sh" "$@"
cp "$examples/instrument.ger" "$examples/table.sav" "$examples/beampath.sav" \
  "$examples/lab6.sav" "$examples/lab6.par" "$examples/pbso4.sav" "$examples/pbso4.str" \
  "$examples/pbso4plot.sav" .
cp "$top/tests/data/PbSO4_xray.gsa" "$top/tests/data/LaB6_Jan2018.raw" .

# vistal writes its plot files into the installation directory: they move
# into a folder of their own, where gnuplot draws them.
plotfiles() {
  mkdir "$1"
  for f in achsen.plt punkte.dat kurve.dat bg.dat error.dat; do
    [ ! -e "$KALVO/$f" ] || mv "$KALVO/$f" "$1/"
  done
}

step ordanix
made "checked the $(grep -c '^HermannMauguin' "$log") space-group settings of install/ordanix.dat" "$log"

step quindle table
made "GEQ table of instrument.ger, 2theta = 20 to 120 degrees in steps of 0.05" instrument.geq

step probast fromtable LINTOR=instrument zweiTheta==40
mv "$KALVO/probast.out" fromtable.out
made "instrument function at 2theta = 40 degrees from the table" fromtable.out

mkdir aside
mv instrument.geq aside/
step probast fromfile LINTOR=instrument zweiTheta==40
mv aside/instrument.geq .
rmdir aside
mv "$KALVO/probast.out" fromfile.out
made "the same from the instrument-profile file alone" fromfile.out

step awk -f "$examples/compare.awk" fromtable.out fromfile.out
made "the two compared: $(head -n 1 compare.txt)" compare.txt

step zelmar beampath LINTOR=traced
made "instrument profile traced at 2theta = 30, 60 and 100 degrees" traced.ger

step raze split VAL[1]=PbSO4_xray.gsa LAMBDA=CU WMIN==20 WMAX==60
made "PbSO4 pattern from 2theta = 20 to 60 degrees in $(grep -c '^OUTPUT\[' split.sav) parts (keys in the control file)" split.sav

step lintor lab6
made "instrument profile from the LaB6 scan, $(grep -c '^THETA=' lab6.ger) reflections" lab6.ger

step vistal plot VAL[1]=LaB6_Jan2018.raw WMIN==20 WMAX==32
plotfiles plot
made "gnuplot files of the LaB6 scan, 2theta = 20 to 32 degrees (gnuplot achsen.plt there)" plot/achsen.plt plot/punkte.dat

step tamrel pbso4
made "PbSO4 refined between 2theta = 22 and 67 degrees with the LaB6 profile" pbso4.lst pbso4.par pbso4.dia

step awk -f "$examples/cell.awk" pbso4.lst pbso4.dia
made "refined cell of PbSO4 beside the round-robin values, within 0.003 angstrom" cell.txt
cat cell.txt

step vistal pbso4plot
plotfiles pbso4plot
made "gnuplot files of the refinement: measured points, model, background, difference" \
  pbso4plot/achsen.plt pbso4plot/punkte.dat pbso4plot/kurve.dat pbso4plot/bg.dat pbso4plot/error.dat

step gnuplot "$examples/pbso4.gp"
made "the refinement of PbSO4 drawn" pbso4.png

finish
