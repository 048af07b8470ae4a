# The refined cell of PbSO4 from tamrel's list file (first argument) next to
# the round-robin values (Hill, J. Appl. Cryst. 25 (1992) 589), with the
# weighted profile R value of the fit: the program's own, and the one with
# plain counting weights 1/sqrt(counts) that the round robin's participants
# quoted, recomputed from the measured and model columns of the diagram file
# (second argument). The table goes to cell.txt and to standard output; the
# status is 1 when a cell edge is not refined in the list file or lies more
# than 0.003 angstrom from its round-robin value.
BEGIN {
  published["a"] = 8.4803
  published["b"] = 5.3986
  published["c"] = 6.9600
  tolerance = 0.003
}
# List file: the first phase's cell edges ("A=8.48182+-0.00015") and the
# line of R values.
FILENAME == ARGV[1] && /^[ABC]=/ {
  edge = tolower(substr($0, 1, 1))
  if (!(edge in refined)) {
    v = substr($0, 3)
    sub(/\+-.*/, "", v)
    refined[edge] = v
  }
}
FILENAME == ARGV[1] && /Rwp=/ {
  for (i = 1; i <= NF; i++) if ($i ~ /^Rwp=/) rwp = substr($i, 5)
}
# Diagram file: a header line, then 2theta, measured, model, ... per point.
FILENAME == ARGV[2] && FNR > 1 && NF >= 3 && $2 > 0 {
  num += ($3 - $2) * ($3 - $2) / $2
  den += $2
}
function out(text) {
  print text
  print text > "cell.txt"
}
END {
  out(sprintf("    %-6s %-12s %-12s %s", "edge", "refined", "round robin", "difference (angstrom)"))
  status = 0
  split("a b c", edges, " ")
  for (k = 1; k <= 3; k++) {
    e = edges[k]
    if (!(e in refined) || refined[e] !~ /^[0-9]+(\.[0-9]*)?$/) {
      out(sprintf("    %-6s %-12s %-12.4f not refined", e, (e in refined) ? refined[e] : "-", published[e]))
      status = 1
      continue
    }
    d = refined[e] - published[e]
    miss = (d > tolerance || d < -tolerance)
    out(sprintf("    %-6s %-12s %-12.4f %+.4f%s", e, refined[e], published[e], d,
                miss ? sprintf(", more than %.3f off", tolerance) : ""))
    if (miss) status = 1
  }
  if (den > 0)
    out(sprintf("    Rwp = %s with the program's weights, %.2f%% with counting weights", rwp, 100 * sqrt(num / den)))
  else
    out(sprintf("    Rwp = %s with the program's weights", rwp))
  if (status) print "The refined cell misses the round-robin values by more than " tolerance " angstrom."
  exit status
}
