#!/usr/bin/python3
"""Checks the scattering-data and wavelength files as the programs read them.

- Leading "%" lines (shorter than 999 characters), then data lines of
  blank-separated items; no empty line (it would end the reading early);
  every name within the width its file allows, no name twice.
- afaparm.dat: name and nine numbers; no digit right after the element
  (digits there are read as an isotope's mass number), ions as Fe+3.
- bcoh.dat: name, scattering length, optional IM=<number>.
- weight.mol, <r>.ano, <r>.mdr: element and one or two numbers; every
  element of afaparm.dat and bcoh.dat has an atomic weight, f', f'' and
  mu/rho for every radiation.
- <r>.lam: ILAM=<n> and n lines of three numbers.
- no file whose name begins with a digit (a wavelength given as a number
  must not find a file).
- spot values: Si f(0) = 14.0, Fe+3 present, Cu K-alpha1 1/lambda = 6.4910
  nm^-1, Si b = 4.1491 fm, Pb 207.2 g/mol.

Usage: check_data.py [DATA_DIRECTORY]   (default: data/)
"""

import math
import os
import re
import sys

import formula

RADIATIONS = ("cu", "co", "cr", "fe", "mn", "ni", "mo", "ag")


class Fail(Exception):
    pass


def data_lines(path):
    with open(path, "rb") as f:
        raw = f.read()
    try:
        text = raw.decode("ascii")
    except UnicodeDecodeError:
        raise Fail("%s: not plain ASCII" % path)
    if not text.endswith("\n") or "\r" in text or "\t" in text:
        raise Fail("%s: line ends or tabs" % path)
    lines = text[:-1].split("\n")
    i = 0
    while i < len(lines) and lines[i].startswith("%"):
        if len(lines[i]) >= 999:
            raise Fail("%s: comment line %d too long" % (path, i + 1))
        i += 1
    out = []
    for n, line in enumerate(lines[i:], start=i + 1):
        items = [it for it in line.split(" ") if it]
        if not items:
            raise Fail("%s: line %d is empty" % (path, n))
        if any(it.startswith("%") for it in items):
            raise Fail("%s: line %d: '%%' after the leading comments" % (path, n))
        out.append((n, items))
    return out


def number(text, where):
    try:
        return formula.evaluate(text)
    except formula.FormulaError as e:
        raise Fail("%s: %s" % (where, e))


def element_of(name):
    """Element part of an atom name, as the programs split it."""
    if name[:1].isalpha():
        return name[:2] if name[1:2].isalpha() else name[:1]
    return ""


def table(path, width, values, extra_keys=()):
    """{name: [numbers], keys: {...}} of a simple table file."""
    out = {}
    for n, items in data_lines(path):
        where = "%s line %d" % (path, n)
        keys = {}
        plain = []
        for it in items:
            m = re.match(r"^([A-Za-z][A-Za-z0-9]*)=(.*)$", it)
            if m:
                if m.group(1) not in extra_keys:
                    raise Fail("%s: unexpected statement %s" % (where, it))
                keys[m.group(1)] = number(m.group(2), where)
            else:
                plain.append(it)
        name = plain[0]
        if len(name) > width:
            raise Fail("%s: name %s longer than %d characters" % (where, name, width))
        if len(plain) != 1 + values:
            raise Fail("%s: %d values, expected %d" % (where, len(plain) - 1, values))
        if name in out:
            raise Fail("%s: %s twice" % (where, name))
        out[name] = ([number(v, where) for v in plain[1:]], keys)
    return out


def check(directory):
    for name in os.listdir(directory):
        if name[:1].isdigit():
            raise Fail("file name beginning with a digit: %s" % name)
    p = lambda name: os.path.join(directory, name)
    afa = table(p("afaparm.dat"), 4, 9)
    for name in afa:
        el = element_of(name)
        if not el or name[len(el):len(el) + 1].isdigit():
            raise Fail("afaparm.dat: %s cannot be found by an atom name" % name)
        if not re.match(r"^([A-Z][a-z]?|D)([+-][1-9])?$", name):
            raise Fail("afaparm.dat: name %s" % name)
    bcoh = table(p("bcoh.dat"), 5, 1, extra_keys=("IM",))
    weight = table(p("weight.mol"), 2, 1)
    elements = set(element_of(n) for n in afa) | set(element_of(n) for n in bcoh)
    for el in sorted(elements):
        if el not in weight:
            raise Fail("weight.mol: no weight for %s" % el)
    for r in RADIATIONS:
        ano = table(p(r + ".ano"), 2, 2)
        mdr = table(p(r + ".mdr"), 2, 1)
        for el in sorted(elements):
            if el not in ano or el not in mdr:
                raise Fail("%s.ano/.mdr: no entry for %s" % (r, el))
            fp, fdp = ano[el][0]
            if not (abs(fp) < 30 and 0 <= fdp < 40 and mdr[el][0][0] > 0):
                raise Fail("%s: implausible values for %s" % (r, el))
        lam = data_lines(p(r + ".lam"))
        m = re.match(r"^ILAM=(\d+)$", " ".join(lam[0][1]))
        if not m or int(m.group(1)) != len(lam) - 1:
            raise Fail("%s.lam: ILAM and the number of lines differ" % r)
        for n, items in lam[1:]:
            v = [number(x, "%s.lam line %d" % (r, n)) for x in items]
            if len(v) != 3 or v[0] <= 0 or v[1] <= 0 or v[2] < 0:
                raise Fail("%s.lam line %d" % (r, n))
    # Spot values.
    si = afa["Si"][0]
    f0 = si[0] + si[2] + si[4] + si[6] + si[8]
    if abs(f0 - 14.0) > 0.01:
        raise Fail("Si f(0) = %g" % f0)
    if "Fe+3" not in afa:
        raise Fail("Fe+3 missing")
    cu = data_lines(p("cu.lam"))
    if abs(number(cu[1][1][1], "cu.lam") - 6.4910) > 5e-5:
        raise Fail("Cu K-alpha1 1/lambda")
    if abs(bcoh["Si"][0][0] - 4.1491) > 1e-9:
        raise Fail("Si b")
    if abs(weight["Pb"][0][0] - 207.2) > 1e-9:
        raise Fail("Pb weight")
    return len(afa), len(bcoh), len(weight)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    directory = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "..", "data")
    try:
        n = check(directory)
    except Fail as e:
        print("scattering data: %s" % e)
        return 1
    print("scattering data: %d form factors, %d scattering lengths, %d weights checked" % n)
    return 0


if __name__ == "__main__":
    sys.exit(main())
