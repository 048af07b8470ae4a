#!/usr/bin/env bash
# The worked example, on the shipped installation data:
#  1. ordanix checks the space-group database;
#  2. quindle tabulates the instrument profile of a laboratory
#     diffractometer (examples/instrument.ger) into a GEQ table;
#  3. probast writes the instrument function at 2theta = 40 degrees, once from
#     the table and once from the profile file alone, and the two line shapes
#     are compared.
set -euo pipefail
bindir=$(cd "${1:-build/release/bin}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/install" "$work/run"
cp "$top/data/"* "$work/install/"
export KALVO="$work/install"

echo "== 1. ordanix: checking the shipped space-group database"
status=0
"$bindir/ordanix" > "$work/ordanix.log" || status=$?
echo "   $(grep -c '^HermannMauguin' "$work/ordanix.log" || true) group settings echoed; status $status"
[ "$status" -eq 0 ] || { tail -n 5 "$work/ordanix.log"; exit "$status"; }

cd "$work/run"
cp "$here/instrument.ger" .
echo "== 2. quindle: tabulating instrument.ger from 2theta = 20 to 120 degrees"
"$bindir/quindle" table LINTOR=instrument WMIN=20 WMAX=120 WSTEP=0.05 > quindle.log
echo "   $(stat -c %s instrument.geq) bytes written to instrument.geq"

echo "== 3. probast: the instrument function at 2theta = 40 degrees"
"$bindir/probast" fromtable LINTOR=instrument zweiTheta=40 > probast.log
mv "$KALVO/probast.out" fromtable.out
mv instrument.geq instrument.geq.keep
"$bindir/probast" fromfile LINTOR=instrument zweiTheta=40 > probast2.log
mv "$KALVO/probast.out" fromfile.out
# Full width at half maximum and the largest difference of the two shapes.
awk '
  FNR == NR { x[FNR] = $1; a[FNR] = $2; n = FNR; next }
  { d = $2 - a[FNR]; if (d < 0) d = -d; if (d > dmax) dmax = d }
  END {
    top = 0; for (i = 1; i <= n; i++) if (a[i] > top) top = a[i]
    lo = ""; for (i = 1; i <= n; i++) if (a[i] >= top / 2) { if (lo == "") lo = x[i]; hi = x[i] }
    w = lo - hi; if (w < 0) w = -w
    printf "   %d points; peak height %.4g per degree; FWHM %.4f degrees 2theta\n", n, top, w
    printf "   largest difference between table and profile file: %.3g of the peak\n", dmax / top
  }' fromtable.out fromfile.out
echo "== done"
