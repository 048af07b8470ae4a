#!/usr/bin/python3
"""Checks the space-group database ordanix.dat as the programs will read it.

1. Layout: leading "%" lines, then groups up to the end of the file; a
   header of at most 198 characters made of name=value statements, blocks
   "Wyckoff=<name> N=<n>" followed by n/c operator lines of exactly three
   items of at most 31 characters, the general position first (its first
   line exactly "x y z"), the block named "a" last, ASCII names only.
2. Every operator formula evaluates and is affine in x, y, z.
3. The database checker's test: at the trial point (sqrt 5, sqrt 7,
   sqrt 11) every special position's images under the general position
   meet each of its points (sites) the same number of times (N/N'), each
   general image exactly once, modulo lattice and centring translations.
   The same is done at a second point reduced modulo 1, as the structure
   set-up does for an atom.
4. The general position with the centring forms the group named in the
   header (number and tabulated setting), and its GeneralCondition together
   with the centring test of the reflection list keeps exactly the
   reflections that are not systematically absent, for all h, k, l with
   |h|, |k|, |l| <= 12.
5. The group search: each setting is found first by its own header keys;
   the space-group number alone gives the first setting of that number; the
   symbol alone, with the metric of its setting, gives a group of the same
   number; the number with the keys that tell the settings apart gives that
   setting.

Usage: check_ordanix.py [ordanix.dat]   (default: data/ordanix.dat)
Exit status 0 when everything holds, 1 otherwise.
"""

import math
import os
import sys

from cctbx import sgtbx

import formula

HEADER_LIMIT = 198
ITEM_LIMIT = 31
TRIAL = (math.sqrt(5.0), math.sqrt(7.0), math.sqrt(11.0))
COINCIDENCE = 2.220446049250313e-14
COEFF_EPS = 2.220446049250313e-15
LATTICES = ("Triclinic", "Monoclinic", "Orthorhombic", "Trigonal", "Hexagonal",
            "Tetragonal", "Rhombohedral", "Cubic")
# Lattice names that the group search accepts for each metric kind 1..8.
ACCEPTED = {
    1: ("Triclinic",),
    2: ("Monoclinic", "Triclinic"),
    3: ("Orthorhombic", "Monoclinic", "Triclinic"),
    4: ("Hexagonal", "Trigonal", "Monoclinic", "Triclinic"),
    5: ("Hexagonal", "Trigonal", "Monoclinic", "Triclinic"),
    6: ("Tetragonal", "Hexagonal", "Trigonal", "Orthorhombic", "Monoclinic", "Triclinic"),
    7: ("Rhombohedral", "Triclinic"),
    8: None,
}
KIND = {"Triclinic": 1, "Monoclinic": 2, "Orthorhombic": 3, "Trigonal": 4,
        "Hexagonal": 5, "Tetragonal": 6, "Rhombohedral": 7, "Cubic": 8}
SELECTORS = ("BASIS", "UniqueAxis", "HermannMauguin", "Setting", "Lattice",
             "SpacegroupNo", "OriginChoice", "CellChoice")
CENTRING = {
    "P": [(0.0, 0.0, 0.0)],
    "A": [(0.0, 0.0, 0.0), (0.0, 0.5, 0.5)],
    "B": [(0.0, 0.0, 0.0), (0.5, 0.0, 0.5)],
    "C": [(0.0, 0.0, 0.0), (0.5, 0.5, 0.0)],
    "I": [(0.0, 0.0, 0.0), (0.5, 0.5, 0.5)],
    "F": [(0.0, 0.0, 0.0), (0.0, 0.5, 0.5), (0.5, 0.0, 0.5), (0.5, 0.5, 0.0)],
    "R": [(0.0, 0.0, 0.0), (2.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0), (1.0 / 3.0, 2.0 / 3.0, 2.0 / 3.0)],
}
CENTRING_XYZ = {
    "P": [], "A": ["0,1/2,1/2"], "B": ["1/2,0,1/2"], "C": ["1/2,1/2,0"],
    "I": ["1/2,1/2,1/2"], "F": ["0,1/2,1/2", "1/2,0,1/2", "1/2,1/2,0"],
    "R": ["2/3,1/3,1/3", "1/3,2/3,2/3"],
}


class Fail(Exception):
    pass


def statements(line, where):
    """name=value items of a line; other items are returned as values."""
    keys, values = {}, []
    for item in line.split(" "):
        if item == "":
            continue
        name_end = 0
        while name_end < len(item) and item[name_end].isascii() and item[name_end].isalnum():
            name_end += 1
        if name_end and item[0].isalpha() and name_end < len(item) and item[name_end] == "=":
            value = item[name_end + 1:]
            if value.startswith("="):
                raise Fail("%s: value of %s would be evaluated" % (where, item[:name_end]))
            keys[item[:name_end]] = value
        else:
            values.append(item)
    return keys, values


class Block:
    def __init__(self, name, n, lines):
        self.name = name
        self.n = n
        self.lines = lines          # list of [fx, fy, fz] texts


class Group:
    def __init__(self, header, keys, blocks, lineno):
        self.header = header
        self.keys = keys
        self.blocks = blocks
        self.lineno = lineno

    def letter(self):
        return self.keys.get("BASIS", self.keys["HermannMauguin"])[0]

    def divisor(self):
        letter = self.letter()
        if letter == "R":
            return 1 if self.keys.get("Lattice") == "Rhombohedral" else 3
        return {"P": 1, "A": 2, "B": 2, "C": 2, "I": 2, "F": 4}[letter]

    def centring(self):
        letter = self.letter()
        if letter == "R" and self.keys.get("Lattice") == "Rhombohedral":
            letter = "P"
        return letter

    def label(self):
        return "line %d (%s)" % (self.lineno, self.header[:60])


def read_database(path):
    with open(path, "rb") as f:
        raw = f.read()
    try:
        text = raw.decode("ascii")
    except UnicodeDecodeError:
        raise Fail("the database is not plain ASCII")
    if "\r" in text or "\t" in text:
        raise Fail("carriage return or tab in the database")
    lines = text.split("\n")
    if lines[-1] != "":
        raise Fail("the last line has no line feed")
    lines = lines[:-1]
    i = 0
    while i < len(lines) and lines[i].startswith("%"):
        i += 1
    groups = []
    while i < len(lines):
        header = lines[i]
        where = "line %d" % (i + 1)
        if len(header) > HEADER_LIMIT:
            raise Fail("%s: header of %d characters" % (where, len(header)))
        keys, values = statements(header, where)
        if values:
            raise Fail("%s: header items without '=': %s" % (where, values))
        if "HermannMauguin" not in keys:
            raise Fail("%s: header without HermannMauguin" % where)
        for key in SELECTORS:
            if key in keys and (len(keys[key]) > ITEM_LIMIT or keys[key] == ""):
                raise Fail("%s: %s empty or longer than %d characters" % (where, key, ITEM_LIMIT))
        group = Group(header, keys, [], i + 1)
        if group.letter() not in "PABCIFR":
            raise Fail("%s: centring letter %s" % (where, group.letter()))
        if keys.get("Lattice") not in LATTICES:
            raise Fail("%s: Lattice %r" % (where, keys.get("Lattice")))
        i += 1
        while True:
            if i >= len(lines):
                raise Fail("%s: the file ends before block a" % group.label())
            bkeys, bvalues = statements(lines[i], "line %d" % (i + 1))
            if "Wyckoff" not in bkeys or "N" not in bkeys or bvalues:
                raise Fail("line %d: not a Wyckoff block line" % (i + 1))
            name = bkeys["Wyckoff"]
            if not name or len(name) > ITEM_LIMIT or not name.isascii():
                raise Fail("line %d: Wyckoff name %r" % (i + 1, name))
            n = int(bkeys["N"])
            if n <= 0 or n % group.divisor():
                raise Fail("line %d: N=%d and centring divisor %d" % (i + 1, n, group.divisor()))
            i += 1
            ops = []
            for _ in range(n // group.divisor()):
                if i >= len(lines):
                    raise Fail("%s: the file ends inside block %s" % (group.label(), name))
                items = lines[i].split(" ")
                if len(items) != 3 or any(not it or len(it) > ITEM_LIMIT for it in items):
                    raise Fail("line %d: not three items of at most %d characters" % (i + 1, ITEM_LIMIT))
                ops.append(items)
                i += 1
            group.blocks.append(Block(name, n, ops))
            if name == "a":
                break
        groups.append(group)
    return groups


def affine(items, where):
    """Constant and coefficients of each component, as the loader takes
    them (values at the origin and at the three unit points)."""
    out = []
    for text in items:
        try:
            c = formula.evaluate(text, x=0.0, y=0.0, z=0.0)
            a = formula.evaluate(text, x=1.0, y=0.0, z=0.0) - c
            b = formula.evaluate(text, x=0.0, y=1.0, z=0.0) - c
            d = formula.evaluate(text, x=0.0, y=0.0, z=1.0) - c
            # Affine: the value at a general point must follow.
            p = (0.3, -1.7, 2.9)
            v = formula.evaluate(text, x=p[0], y=p[1], z=p[2])
        except formula.FormulaError as e:
            raise Fail("%s: %s" % (where, e))
        if abs(v - (c + a * p[0] + b * p[1] + d * p[2])) > 1e-12:
            raise Fail("%s: %s is not affine" % (where, text))
        out.append((c, a, b, d))
    return out


def check_layout_and_positions(group):
    general = group.blocks[0]
    if general.lines[0] != ["x", "y", "z"]:
        raise Fail("%s: general position does not start with x y z" % group.label())
    names = [b.name for b in group.blocks]
    if len(set(names)) != len(names):
        raise Fail("%s: Wyckoff name twice" % group.label())
    for block in group.blocks:
        for j, items in enumerate(block.lines):
            affine(items, "%s block %s line %d" % (group.label(), block.name, j + 1))
    centring = CENTRING[group.centring()]
    c = len(centring)
    if general.n % c:
        raise Fail("%s: N of the general position" % group.label())
    for special in group.blocks[1:]:
        if special.n % c or general.n % special.n:
            raise Fail("%s: multiplicity of %s" % (group.label(), special.name))
        coincidence(group, general, special, centring, TRIAL, modulo=False)
        coincidence(group, general, special, centring, (0.1234567, 0.3456789, 0.7654321),
                    modulo=True)


def evaluate_triplet(items, point):
    x, y, z = point
    return [formula.evaluate(t, x=x, y=y, z=z) for t in items]


def _near_integer(v, modulo):
    if modulo:
        r = v - math.floor(v + 0.5)
        return abs(r) < COINCIDENCE
    return abs(v - round(v)) <= COINCIDENCE


def coincidence(group, general, special, centring, point, modulo):
    sites = [evaluate_triplet(items, point) for items in special.lines]
    images = [evaluate_triplet(items, sites[0]) for items in general.lines]
    hits_s = [0] * len(sites)
    hits_g = [0] * len(images)
    for si, s in enumerate(sites):
        for gi, g in enumerate(images):
            for t in centring:
                if all(_near_integer(s[k] + t[k] - g[k], modulo) for k in range(3)):
                    hits_s[si] += 1
                    hits_g[gi] += 1
    for gi, h in enumerate(hits_g):
        if h != 1:
            raise Fail("%s: general position %d meets position %s %d times"
                       % (group.label(), gi + 1, special.name, h))
    expected = len(general.lines) // len(special.lines)
    for si, h in enumerate(hits_s):
        if h != expected:
            raise Fail("%s: site %d of %s met %d times, expected %d"
                       % (group.label(), si + 1, special.name, h, expected))


def cctbx_group(group):
    ops = [",".join(items) for items in group.blocks[0].lines]
    g = sgtbx.space_group()
    for t in CENTRING_XYZ[group.centring()]:
        g.expand_ltr(sgtbx.rt_mx(t).t())
    for op in ops:
        g.expand_smx(sgtbx.rt_mx(op))
    if g.order_z() != group.blocks[0].n:
        raise Fail("%s: the general position is not closed (order %d, N=%d)"
                   % (group.label(), g.order_z(), group.blocks[0].n))
    return g


def _op_set(g):
    g = sgtbx.space_group(g)
    g.make_tidy()
    return frozenset(op.as_xyz() for op in g.all_ops())


_TABULATED = {}


def tabulated(number):
    """cctbx's tabulated settings of one space-group number with their
    operation sets."""
    if not _TABULATED:
        for s in sgtbx.space_group_symbol_iterator():
            g = sgtbx.space_group_info(symbol=s.universal_hermann_mauguin()).group()
            _TABULATED.setdefault(s.number(), []).append((s, _op_set(g)))
    return _TABULATED[number]


def _short(s):
    parts = s.hermann_mauguin().split()
    if 3 <= s.number() <= 15:
        parts = [parts[0]] + [p for p in parts[1:] if p != "1"]
    return "".join(parts)


def check_group_identity(group, g):
    """The operators are those of a tabulated setting of the number, whose
    symbol, origin choice, axes, cell choice and setting the header names."""
    number = int(group.keys["SpacegroupNo"])
    ops = _op_set(g)
    keys = group.keys
    for s, tab_ops in tabulated(number):
        if tab_ops != ops or _short(s) != keys["HermannMauguin"]:
            continue
        ext, q = s.extension(), s.qualifier()
        if ext in ("1", "2") and keys.get("OriginChoice") != ext:
            continue
        if ext == "R" and keys.get("Lattice") != "Rhombohedral":
            continue
        if ext == "H" and keys.get("Lattice") != "Trigonal":
            continue
        if 3 <= number <= 15:
            axis = q.lstrip("-")
            if keys.get("UniqueAxis") != axis[0] or keys.get("CellChoice", "") != axis[1:]:
                continue
            if keys.get("Setting", "") != (q if q.startswith("-") else ""):
                continue
        if 16 <= number <= 74 and keys.get("Setting") != (q or "abc"):
            continue
        return
    raise Fail("%s: operators and keys match no tabulated setting" % group.label())


def centring_allows(group, h):
    """Centring test of the reflection list (by BASIS and UniqueAxis)."""
    a, b, c = h
    letter = group.keys.get("BASIS", group.keys["HermannMauguin"])[0]
    if letter == "R" and group.keys.get("Lattice") == "Rhombohedral":
        letter = "P"
    if letter == "I":
        return (a + b + c) % 2 == 0
    if letter == "C":
        return (a + b) % 2 == 0
    if letter == "B":
        return (a + c) % 2 == 0
    if letter == "A":
        return (b + c) % 2 == 0
    if letter == "F":
        return a % 2 == b % 2 == c % 2
    if letter == "R" and group.keys.get("UniqueAxis", "").startswith("c"):
        return (-a + b + c) % 3 == 0
    return True


def check_condition(group, g, limit=12):
    text = group.keys.get("GeneralCondition")
    if text is not None and len(text) > 8000:
        raise Fail("%s: GeneralCondition longer than 8000 characters" % group.label())
    try:
        cond = formula.compile_formula(text) if text is not None else None
    except formula.FormulaError as e:
        raise Fail("%s: GeneralCondition: %s" % (group.label(), e))
    rng = range(-limit, limit + 1)
    for a in rng:
        for b in rng:
            for c in rng:
                if a == b == c == 0:
                    continue
                h = (a, b, c)
                present = centring_allows(group, h)
                if present and cond is not None:
                    try:
                        v = cond({"h": float(a), "k": float(b), "l": float(c)})
                    except formula.FormulaError as e:
                        raise Fail("%s: GeneralCondition: %s" % (group.label(), e))
                    present = formula.is_true(v)
                if present == g.is_sys_absent(h):
                    raise Fail("%s: reflection %s is %s but %s" % (
                        group.label(), h, "kept" if present else "removed",
                        "absent" if g.is_sys_absent(h) else "present"))


def find_group(groups, kind, axis, selectors):
    """The group search of the programs."""
    for group in groups:
        keys = group.keys
        # Lattice test.
        if selectors.get("Lattice"):
            if keys.get("Lattice") != selectors["Lattice"]:
                continue
        elif "Lattice" in keys:
            accepted = ACCEPTED[kind]
            if accepted is not None and keys["Lattice"] not in accepted:
                continue
        # Unique-axis test.
        if selectors.get("UniqueAxis"):
            if "UniqueAxis" not in keys or keys["UniqueAxis"][:1] != selectors["UniqueAxis"][:1]:
                continue
        elif axis and "UniqueAxis" in keys and keys["UniqueAxis"][:1] != axis:
            continue
        ok = True
        for key in ("SpacegroupNo", "HermannMauguin", "Setting", "BASIS",
                    "OriginChoice", "CellChoice", "UniqueAxis"):
            want = selectors.get(key, "")
            if want and keys.get(key) != want:
                ok = False
                break
        if ok:
            if group.blocks[0].lines[0] != ["x", "y", "z"]:
                return None
            return group
    return None


def metric_of(group):
    """Lattice kind and unique axis that a cell of this setting gives."""
    lattice = group.keys["Lattice"]
    kind = KIND[lattice]
    if lattice == "Monoclinic":
        return kind, group.keys["UniqueAxis"]
    if lattice in ("Tetragonal", "Trigonal", "Hexagonal"):
        return kind, "c"
    return kind, ""


def check_search(groups):
    first_of = {}
    for group in groups:
        first_of.setdefault(group.keys["SpacegroupNo"], group)
    for group in groups:
        kind, axis = metric_of(group)
        own = {k: group.keys[k] for k in SELECTORS if k in group.keys}
        if find_group(groups, kind, axis, own) is not group:
            raise Fail("%s: not found first by its own keys" % group.label())
        number = group.keys["SpacegroupNo"]
        if find_group(groups, kind, axis, {"SpacegroupNo": number}) is not first_of[number] \
                and group is first_of[number]:
            raise Fail("%s: the number alone does not give this first setting" % group.label())
        found = find_group(groups, kind, axis, {"HermannMauguin": group.keys["HermannMauguin"]})
        if found is None or found.keys["SpacegroupNo"] != number:
            raise Fail("%s: the symbol alone gives another group" % group.label())
        distinguishing = {k: group.keys[k] for k in
                          ("SpacegroupNo", "Setting", "OriginChoice", "CellChoice", "UniqueAxis")
                          if k in group.keys}
        if find_group(groups, kind, axis, distinguishing) is not group:
            raise Fail("%s: not found by its number and setting keys" % group.label())
        if group.keys["Lattice"] == "Rhombohedral":
            if find_group(groups, kind, axis, {"SpacegroupNo": number}) is not group:
                raise Fail("%s: rhombohedral metric does not select it" % group.label())


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "..", "data", "ordanix.dat")
    try:
        groups = read_database(path)
        numbers = set()
        for group in groups:
            check_layout_and_positions(group)
            g = cctbx_group(group)
            check_group_identity(group, g)
            check_condition(group, g)
            numbers.add(int(group.keys["SpacegroupNo"]))
        if numbers != set(range(1, 231)):
            raise Fail("space-group numbers missing: %s" % sorted(set(range(1, 231)) - numbers))
        check_search(groups)
    except Fail as e:
        print("ordanix.dat: %s" % e)
        return 1
    print("ordanix.dat: %d groups, %d Wyckoff positions checked"
          % (len(groups), sum(len(g.blocks) for g in groups)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
