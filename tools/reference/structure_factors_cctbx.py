#!/usr/bin/python3
"""Reference reflection lists and structure factors for the crystal-model tests.

For six structures (Si, corundum in hexagonal axes, rutile, zincite, PbSO4
in Pnma, fluorapatite in P63/m) this script lists, with cctbx (Debian package
python3-cctbx), every reflection up to a d-limit that is neither
systematically absent nor extinct by the structure: its indices in cctbx's
asymmetric unit with Friedel mates kept apart, its multiplicity (the symmetry
equivalents without the Friedel mate), 1/d^2, and |F| for X-rays (the shipped
form factors of data/afaparm.dat with f' and f'' of data/cu.ano) and for
neutrons (the shipped scattering lengths of data/bcoh.dat with their
imaginary parts).  The result is written to tests/data/crystal_reference.txt;
the tests of the crystal model compare the suite's reflection generation and
structure factors with it, and the refinement program's tests its reflection
lists.  Run it again only when the structures or the shipped scattering data
change:

    /usr/bin/python3 tools/reference/structure_factors_cctbx.py

Units of the file: cell edges in nm, angles in degrees, B in nm^2, 1/d^2 in
nm^-2.  cctbx is given the same numbers in angstrom.
"""
import math
import os
import sys

from cctbx import crystal, miller, xray
from cctbx.array_family import flex
from cctbx.eltbx import xray_scattering

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DATA = os.path.join(ROOT, "data")
OUT = os.path.join(ROOT, "tests", "data", "crystal_reference.txt")

# Smallest d in angstrom; 1/d^2 limit in nm^-2 is 100 / D_MIN^2.
D_MIN = 0.8

# name, cctbx symbol, the selectors the suite's phase gives, cell (angstrom,
# degrees), atoms (element, Wyckoff letter, x, y, z, B in angstrom^2).
STRUCTURES = [
    ("Si", "F d -3 m :2", "HermannMauguin=Fd-3m OriginChoice=2",
     (5.4309, 5.4309, 5.4309, 90, 90, 90),
     [("Si", "a", 0.125, 0.125, 0.125, 0.46)]),
    ("corundum", "R -3 c :H", "HermannMauguin=R-3c Lattice=Trigonal",
     (4.7589, 4.7589, 12.991, 90, 90, 120),
     [("Al", "c", 0.0, 0.0, 0.35216, 0.31), ("O", "e", 0.30624, 0.0, 0.25, 0.36)]),
    ("rutile", "P 42/m n m", "HermannMauguin=P42/mnm",
     (4.5937, 4.5937, 2.9587, 90, 90, 90),
     [("Ti", "a", 0.0, 0.0, 0.0, 0.42), ("O", "f", 0.30493, 0.30493, 0.0, 0.58)]),
    ("zincite", "P 63 m c", "HermannMauguin=P63mc",
     (3.2498, 3.2498, 5.2066, 90, 90, 120),
     [("Zn", "b", 1.0 / 3.0, 2.0 / 3.0, 0.0, 0.71), ("O", "b", 1.0 / 3.0, 2.0 / 3.0, 0.3825, 0.65)]),
    ("PbSO4", "P n m a", "HermannMauguin=Pnma",
     (8.482, 5.398, 6.959, 90, 90, 90),
     [("Pb", "c", 0.1879, 0.25, 0.1672, 1.40), ("S", "c", 0.0654, 0.25, 0.6841, 0.60),
      ("O", "c", 0.9075, 0.25, 0.5957, 1.50), ("O", "c", 0.1935, 0.25, 0.5432, 1.30),
      ("O", "d", 0.0812, 0.0271, 0.8091, 1.20)]),
    ("fluorapatite", "P 63/m", "HermannMauguin=P63/m",
     (9.3973, 9.3973, 6.8782, 90, 90, 120),
     [("Ca", "f", 1.0 / 3.0, 2.0 / 3.0, 0.0010, 0.70), ("Ca", "h", 0.2415, 0.0071, 0.25, 0.65),
      ("P", "h", 0.3981, 0.3688, 0.25, 0.45), ("O", "h", 0.3272, 0.4843, 0.25, 0.90),
      ("O", "h", 0.5876, 0.4653, 0.25, 0.95), ("O", "i", 0.3417, 0.2579, 0.0705, 1.10),
      ("F", "a", 0.0, 0.0, 0.25, 1.60)]),
]


def table(name, width):
    """Lines of a shipped data file as lists of items, comments skipped."""
    rows = {}
    with open(os.path.join(DATA, name)) as f:
        for line in f:
            if line.startswith("%") or not line.strip():
                continue
            items = line.split()
            rows[items[0]] = items[1:]
    return rows


AFA = table("afaparm.dat", 4)
ANO = table("cu.ano", 2)
BCOH = table("bcoh.dat", 5)


def xray_gaussian(element):
    v = [float(t) for t in AFA[element][:9]]
    return xray_scattering.gaussian((v[0], v[2], v[4], v[6]), (v[1], v[3], v[5], v[7]), v[8])


def neutron_length(element):
    items = BCOH[element]
    im = 0.0
    for t in items[1:]:
        if t.startswith("IM="):
            im = float(t[3:])
    return float(items[0]), im


def structure(cs, atoms, radiation):
    scatterers = flex.xray_scatterer()
    custom = {}
    for i, (el, _, x, y, z, b) in enumerate(atoms):
        sc = xray.scatterer(label="%s%d" % (el, i + 1), site=(x, y, z), b=b, scattering_type=el)
        if radiation == "xray":
            sc.fp, sc.fdp = float(ANO[el][0]), float(ANO[el][1])
            custom[el] = xray_gaussian(el)
        else:
            bc, im = neutron_length(el)
            sc.fp, sc.fdp = 0.0, im
            custom[el] = xray_scattering.gaussian(bc)
        scatterers.append(sc)
    xs = xray.structure(crystal_symmetry=cs, scatterers=scatterers)
    xs.scattering_type_registry(custom_dict=custom)
    return xs


def main():
    out = []
    out.append("% Reference reflections and structure factors, made by")
    out.append("% tools/reference/structure_factors_cctbx.py with cctbx (python3-cctbx) from the shipped")
    out.append("% data/afaparm.dat, data/cu.ano and data/bcoh.dat; do not edit by hand.")
    out.append("% structure <name> / selectors <statements> / cell a b c (nm) alpha beta gamma /")
    out.append("% atom <element> <Wyckoff> x y z B (nm^2) / skmax (nm^-2) /")
    out.append("% ref h k l multiplicity 1/d^2 (nm^-2) |F| X-ray (Cu f', f'') |F| neutrons")
    skmax = 100.0 / (D_MIN * D_MIN)
    for name, symbol, selectors, cell, atoms in STRUCTURES:
        cs = crystal.symmetry(unit_cell=cell, space_group_symbol=symbol)
        ms = miller.build_set(cs, anomalous_flag=True, d_min=D_MIN)
        ms = ms.select(~ms.sys_absent_flags().data())
        fx = ms.structure_factors_from_scatterers(structure(cs, atoms, "xray"), algorithm="direct").f_calc()
        fn = ms.structure_factors_from_scatterers(structure(cs, atoms, "neutron"), algorithm="direct").f_calc()
        mult = ms.multiplicities().data()
        f000 = sum(abs(float(AFA[a[0]][8])) + sum(abs(float(v)) for v in AFA[a[0]][0:8:2]) for a in atoms)
        out.append("structure %s" % name)
        out.append("selectors %s" % selectors)
        out.append("cell %.17g %.17g %.17g %.17g %.17g %.17g" % (cell[0] / 10, cell[1] / 10, cell[2] / 10,
                                                              cell[3], cell[4], cell[5]))
        for el, w, x, y, z, b in atoms:
            out.append("atom %s %s %.17g %.17g %.17g %.17g" % (el, w, x, y, z, b / 100))
        out.append("skmax %.17g" % skmax)
        rows = []
        for h, m, vx, vn in zip(ms.indices(), mult, fx.data(), fn.data()):
            sk = 100.0 / cs.unit_cell().d(h) ** 2
            if abs(sk - skmax) < 1e-6 * skmax:
                sys.exit("%s: reflection %s lies on the d-limit" % (name, h))
            if abs(vx) < 1e-9 * f000:
                continue  # extinct by the structure (Si 222)
            rows.append((sk, h, m, abs(vx), abs(vn)))
        rows.sort()
        for sk, h, m, ax, an in rows:
            out.append("ref %d %d %d %d %.17g %.17g %.17g" % (h[0], h[1], h[2], m, sk, ax, an))
    with open(OUT, "w") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
