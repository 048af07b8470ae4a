#!/usr/bin/python3
"""Reference values of the crystallographic exports, read with gemmi.

The tests of tamrel's exports (tests/tamrel/test_export.cpp) write the
instruction file (.res) and the coordinate file (.pdb) of four refined
structures and compare them with the copies under tests/data/export.  This
script reads those copies with gemmi (Debian package python3-gemmi) and writes
what it finds to tests/data/export_reference.txt, which the tests compare with
the phases' own records.  The build and the tests do not need gemmi.

Per structure:
  structure <name>
  cell a b c alpha beta gamma      gemmi's cell of the coordinate file (CRYST1)
  rescell a b c alpha beta gamma   gemmi's cell of the CELL line
  group <number> <name>            the group gemmi finds for the operations
                                   of SYMM and LATT (number, full symbol)
  op r r r t/24;r r r t/24;r r r t/24   every operation of that group,
                                   centring included, translations in 1/24
                                   reduced to 0..23, sorted as text
  atom <name> x y z occ B          every ATOM record: the fractional
                                   coordinates that gemmi's fractionalisation
                                   gives for its position, occupancy, B
  beq <label> B                    8 pi^2 Ueq of each atom line of the
                                   instruction file, Ueq by gemmi from the
                                   anisotropic U and the cell (isotropic: U)

Regenerate (only when the writers or the structures of the test change):
  KTEST_KEEP_EXPORTS=$PWD/tests/data/export build/release/bin/test_tamrel \
      --gtest_filter='Export.FilesReadBackByAnIndependentLibrary'
  /usr/bin/python3 tools/reference/exports_gemmi.py > tests/data/export_reference.txt
"""

import fractions
import math
import os
import re

import gemmi

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "..", "tests", "data", "export")
STRUCTURES = ["rutile", "corundum", "cu3au", "triclinic"]

# Centring vectors of the LATT numbers (their magnitude), in 1/24.
CENTRING = {
    1: [(0, 0, 0)],
    2: [(0, 0, 0), (12, 12, 12)],
    3: [(0, 0, 0), (16, 8, 8), (8, 16, 16)],
    4: [(0, 0, 0), (0, 12, 12), (12, 0, 12), (12, 12, 0)],
    5: [(0, 0, 0), (0, 12, 12)],
    6: [(0, 0, 0), (12, 0, 12)],
    7: [(0, 0, 0), (12, 12, 0)],
}


def triplet(text):
    """A SYMM text with its decimal translations written as fractions."""
    def fraction(m):
        f = fractions.Fraction(m.group(0)).limit_denominator(24)
        return "%d/%d" % (f.numerator, f.denominator)
    return re.sub(r"\d+\.\d*", fraction, text)


def opstext(op):
    rows = []
    for i in range(3):
        r = [op.rot[i][j] // gemmi.Op.DEN for j in range(3)]
        t = op.tran[i] % gemmi.Op.DEN
        rows.append("%d %d %d %d/%d" % (r[0], r[1], r[2], t, gemmi.Op.DEN))
    return ";".join(rows)


def readres(path):
    cell = None
    latt = 1
    symm = ["x,y,z"]
    atoms = []
    lines = open(path).read().split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        words = line.split()
        if not words:
            i += 1
            continue
        key = words[0]
        if key == "CELL":
            cell = [float(w) for w in words[2:8]]
        elif key == "LATT":
            latt = int(words[1])
        elif key == "SYMM":
            symm.append(triplet(line[4:].replace(" ", "").lower()))
        elif key in ("TITL", "ZERR", "SFAC", "UNIT", "END"):
            pass
        else:
            # An atom line: label sfac x y z sof U, or U11 U22 = / U33 U23 U13 U12.
            values = [w for w in words[1:] if w != "="]
            if line.rstrip().endswith("="):
                i += 1
                values += lines[i].split()
            atoms.append((words[0], [float(v) for v in values]))
        i += 1
    return cell, latt, symm, atoms


def main():
    print("% Reference values of the exports, computed by tools/reference/exports_gemmi.py")
    print("%% with gemmi %s from the files under tests/data/export." % gemmi.__version__)
    for name in STRUCTURES:
        print("structure", name)
        st = gemmi.read_pdb(os.path.join(DATA, name + ".pdb"))
        c = st.cell
        print("cell %.6f %.6f %.6f %.6f %.6f %.6f" % (c.a, c.b, c.c, c.alpha, c.beta, c.gamma))

        cell, latt, symm, atoms = readres(os.path.join(DATA, name + ".res"))
        rescell = gemmi.UnitCell(*cell)
        print("rescell %.6f %.6f %.6f %.6f %.6f %.6f" % tuple(cell))
        ops = gemmi.GroupOps([gemmi.Op(t) for t in symm])
        ops.cen_ops = [list(v) for v in CENTRING[abs(latt)]]
        if latt > 0:
            ops.add_inversion()
        sg = gemmi.find_spacegroup_by_ops(ops)
        print("group", sg.number if sg is not None else 0, sg.xhm() if sg is not None else "none")
        for text in sorted(opstext(op) for op in ops):
            print("op", text)

        for model in st:
            for chain in model:
                for residue in chain:
                    for atom in residue:
                        f = c.fractionalize(atom.pos)
                        print("atom %s %.6f %.6f %.6f %.2f %.2f"
                              % (atom.name, f.x, f.y, f.z, atom.occ, atom.b_iso))
            break
        for label, v in atoms:
            u = v[5:]
            if len(u) == 6:
                ueq = rescell.calculate_u_eq(gemmi.SMat33d(u[0], u[1], u[2], u[5], u[4], u[3]))
            else:
                ueq = u[0]
            print("beq %s %.6f" % (label, 8 * math.pi ** 2 * ueq))


if __name__ == "__main__":
    main()
