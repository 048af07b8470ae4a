# Compares two line shapes written by probast (two columns: position and
# profile): the full width at half maximum and the height of the first, and
# the largest difference of the second from it as a fraction of the peak.
# The report goes to compare.txt.
FNR == NR { x[FNR] = $1; a[FNR] = $2; n = FNR; next }
{ d = $2 - a[FNR]; if (d < 0) d = -d; if (d > dmax) dmax = d }
END {
  top = 0
  for (i = 1; i <= n; i++) if (a[i] > top) top = a[i]
  lo = ""
  for (i = 1; i <= n; i++) if (a[i] >= top / 2) { if (lo == "") lo = x[i]; hi = x[i] }
  w = lo - hi; if (w < 0) w = -w
  printf "FWHM %.4f degrees 2theta, largest difference %.2g of the peak\n", w, dmax / top > "compare.txt"
  printf "%d points; peak height %.4g per degree of 2theta\n", n, top > "compare.txt"
}
