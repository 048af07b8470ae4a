#!/usr/bin/python3
"""Reference values of the cell metric for the crystal model's tests, computed
once with gemmi (Debian package python3-gemmi) and written to
tests/data/metric_reference.txt.  The build and the tests do not need gemmi.

One cell per crystal system, lengths in nm (gemmi's arithmetic does not care
about the unit).  Each line: system, a b c alpha beta gamma, then the direct
metric (a^2, b^2, c^2, ab cos gamma, ac cos beta, bc cos alpha), the squared
volume, the reciprocal metric (a*^2, b*^2, c*^2, a*b* cos gamma*,
b*c* cos alpha*, a*c* cos beta*) and the upper triangular fractionalisation
matrix row by row (u11 u12 u13 u22 u23 u33), all with 17 significant digits.

Usage: tools/reference/metric_gemmi.py > tests/data/metric_reference.txt
"""

import gemmi

CELLS = [
    ("triclinic", 0.51, 0.62, 0.73, 81.5, 86.0, 97.25),
    ("monoclinic", 0.8, 0.5, 1.1, 90.0, 103.7, 90.0),
    ("orthorhombic", 0.84803, 0.53986, 0.696, 90.0, 90.0, 90.0),
    ("tetragonal", 0.4594, 0.4594, 0.2959, 90.0, 90.0, 90.0),
    ("trigonal", 0.5128, 0.5128, 0.5128, 55.28, 55.28, 55.28),
    ("hexagonal", 0.47589, 0.47589, 1.2991, 90.0, 90.0, 120.0),
    ("cubic", 0.543102, 0.543102, 0.543102, 90.0, 90.0, 90.0),
]


def fmt(values):
    return " ".join("%.17g" % v for v in values)


def main():
    print("% Cell metric reference values computed by tools/reference/metric_gemmi.py")
    print("%% with gemmi %s; see that script for the columns." % gemmi.__version__)
    for name, a, b, c, al, be, ga in CELLS:
        cell = gemmi.UnitCell(a, b, c, al, be, ga)
        g = cell.metric_tensor()
        r = cell.reciprocal_metric_tensor()
        f = cell.frac.mat.tolist()
        direct = [g.u11, g.u22, g.u33, g.u12, g.u13, g.u23]
        recip = [r.u11, r.u22, r.u33, r.u12, r.u23, r.u13]
        tri = [f[0][0], f[0][1], f[0][2], f[1][1], f[1][2], f[2][2]]
        print(name, fmt([a, b, c, al, be, ga]), fmt(direct), "%.17g" % (cell.volume ** 2),
              fmt(recip), fmt(tri))


if __name__ == "__main__":
    main()
