"""Reflection conditions of a space group as a formula in h, k, l.

A reflection h is systematically absent when some symmetry operation
(R, t) of the group leaves it fixed (h R = h) while the phase h.t is not an
integer.  Each operation therefore gives one condition on the lattice plane
or row of reflections it fixes.  The lattice centring gives the integral
conditions, which the programs test on their own; only the others are
written, and they are simplified on the reflections the centring allows.

The formula is a conjunction of terms

    or(P, not(mod(f,n)))

where P vanishes exactly on a union of fixed planes and rows (a product of
their linear forms; two planes u+v=0 and u-v=0 as u*u-v*v; a row as
or(e1,e2)) and f = 0 mod n is the condition that holds on all of them.  Off
those reflections P is non-zero and the term is true.

Where a header would otherwise be too long, a test whose form can only be 0
or n/2 modulo n on its reflections is written in the equivalent shorter way
mod(f+n/2,n), which is non-zero exactly when f = 0 mod n there.

Among all sets of conditions that remove exactly the group's absences the
shortest formula is kept; the result is checked against the absences of
the group on all reflections within the given index range.
"""

from fractions import Fraction
from math import gcd
import itertools

NAMES = ("h", "k", "l")
# Monomials of a test form: h, k, l, then h*k, h*l, k*l.
MONOMIALS = ("h", "k", "l", "h*k", "h*l", "k*l")


def lcm(a, b):
    return a * b // gcd(a, b)


def op_parts(op):
    """Rotation (integer 3x3, row major) and translation (Fractions)."""
    r = op.r()
    rden = r.den()
    rnum = r.num()
    assert all(v % rden == 0 for v in rnum)
    R = [[rnum[3 * i + j] // rden for j in range(3)] for i in range(3)]
    t = op.t()
    t = [Fraction(v, t.den()) for v in t.num()]
    return R, t


def centring_vectors(group):
    return [tuple(Fraction(x, v.den()) for x in v.num()) for v in group.ltr()]


def coset_ops(group):
    """The operations of one centring coset, in the group's order."""
    return [group(0, i_inv, i_smx)
            for i_inv in range(group.f_inv()) for i_smx in range(group.n_smx())]


def _row_reduce(rows, order):
    """Reduced row echelon form over the rationals, pivots taken in the
    given column order."""
    rows = [[Fraction(v) for v in r] for r in rows if any(r)]
    pivots = []
    rank = 0
    for col in order:
        piv = next((i for i in range(rank, len(rows)) if rows[i][col] != 0), None)
        if piv is None:
            continue
        rows[rank], rows[piv] = rows[piv], rows[rank]
        p = rows[rank][col]
        rows[rank] = [v / p for v in rows[rank]]
        for i in range(len(rows)):
            if i != rank and rows[i][col] != 0:
                f = rows[i][col]
                rows[i] = [a - f * b for a, b in zip(rows[i], rows[rank])]
        pivots.append(col)
        rank += 1
    return rows[:rank], pivots


def _positive_first(ints):
    for v in ints:
        if v:
            return [-x for x in ints] if v < 0 else list(ints)
    return list(ints)


def _integer_form(coeffs):
    den = 1
    for c in coeffs:
        den = lcm(den, Fraction(c).denominator)
    ints = [int(Fraction(c) * den) for c in coeffs]
    g = 0
    for v in ints:
        g = gcd(g, abs(v))
    if g:
        ints = [v // g for v in ints]
    return _positive_first(ints)


def render_form(coeffs, names):
    """Integer combination of the named terms, without blanks, a positive
    term first when there is one."""
    terms = [(c, names[i]) for i, c in enumerate(coeffs) if c]
    if not terms:
        return "0"
    ordered = [t for t in terms if t[0] > 0] + [t for t in terms if t[0] < 0]
    out = ""
    for n, (c, name) in enumerate(ordered):
        body = name if abs(c) == 1 else "%d*%s" % (abs(c), name)
        out += ("-" if c < 0 else ("+" if n else "")) + body
    return out


def render_linear(ints):
    return render_form(ints, NAMES)


def _value(form, h):
    a, b, c = h
    return (form[0] * a + form[1] * b + form[2] * c
            + form[3] * a * b + form[4] * a * c + form[5] * b * c)


class FixedSet:
    """Reflections h with e.h = 0 for every equation e."""

    def __init__(self, equations):
        self.equations = tuple(sorted(tuple(e) for e in equations))

    def contains(self, h):
        return all(e[0] * h[0] + e[1] * h[1] + e[2] * h[2] == 0 for e in self.equations)


def _condition_for(R, t):
    """(fixed set, linear form, modulus) of the operation (R, t), or None
    when it imposes nothing beyond the centring."""
    eq_rows = [[R[i][j] - (1 if i == j else 0) for i in range(3)] for j in range(3)]
    if not any(any(r) for r in eq_rows):
        return None  # a pure translation: part of the centring
    rows, pivots = _row_reduce(eq_rows, (2, 1, 0))
    # Express the phase h.t in the free indices: pivot p = -sum(row[f] f).
    coeff = list(t)
    for row, p in zip(rows, pivots):
        tp = coeff[p]
        coeff[p] = Fraction(0)
        for f in range(3):
            if f != p and row[f] != 0:
                coeff[f] -= tp * row[f]
    den = 1
    for c in coeff:
        den = lcm(den, c.denominator)
    ints = [int(c * den) % den for c in coeff]
    ints = [v - den if 2 * v > den else v for v in ints]
    g = den
    for v in ints:
        g = gcd(g, abs(v))
    if den // g == 1:
        return None
    form = tuple(_positive_first([v // g for v in ints]) + [0, 0, 0])
    return FixedSet([_integer_form(r) for r in rows]), form, den // g


def centring_allows(letter, h, obverse):
    """Integral condition of the lattice centring, as the programs test it."""
    a, b, c = h
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
    if letter == "R" and obverse:
        return (-a + b + c) % 3 == 0
    return True


def box(limit):
    rng = range(-limit, limit + 1)
    return [h for h in itertools.product(rng, rng, rng) if h != (0, 0, 0)]


def _test_pool(moduli):
    """Test forms tried on every fixed set: linear forms with small
    coefficients and the symmetric products h*k+h*l+k*l."""
    forms = []
    for c in itertools.product(range(-2, 3), repeat=3):
        if any(c) and _positive_first(c) == list(c):
            forms.append(tuple(c) + (0, 0, 0))
    forms.append((0, 0, 0, 1, 1, 1))
    return [(f, n) for n in sorted(moduli) for f in forms]


def _test_text(form, modulus, compact):
    f = render_form(form, MONOMIALS)
    if compact:
        return "mod(%s+%d,%d)" % (f, modulus // 2, modulus)
    return "not(mod(%s,%d))" % (f, modulus)


def _product(sets):
    """Text of a product that vanishes exactly on the union of the sets."""
    planes = sorted((s.equations[0] for s in sets if len(s.equations) == 1), reverse=True)
    rows = sorted((s for s in sets if len(s.equations) != 1),
                  key=lambda s: s.equations, reverse=True)
    factors, used = [], set()
    for i, a in enumerate(planes):
        if i in used:
            continue
        pair = None
        if _sum_or_difference(a):
            for j in range(i + 1, len(planes)):
                b = planes[j]
                if j not in used and _sum_or_difference(b) and a != b \
                        and [x != 0 for x in a] == [x != 0 for x in b]:
                    pair = j
                    break
        if pair is not None:
            used.add(pair)
            u, v = [NAMES[n] for n in range(3) if a[n]]
            factors.append("%s*%s-%s*%s" % (u, u, v, v))
        else:
            factors.append(render_linear(a))
    factors += ["or(%s)" % ",".join(render_linear(e) for e in
                                    sorted(s.equations, reverse=True)) for s in rows]
    if len(factors) == 1:
        return factors[0]
    factors.sort(key=lambda f: (len(f), f))
    return "*".join("(%s)" % f if ("+" in f or "-" in f) and not f.startswith("or(") else f
                    for f in factors)


def _sum_or_difference(e):
    nz = [i for i in range(3) if e[i]]
    return len(nz) == 2 and all(abs(e[i]) == 1 for i in nz)


def _term(sets, form, modulus, compact):
    test = _test_text(form, modulus, compact)
    if len(sets) == 1 and len(sets[0].equations) > 1:
        eqs = sorted(sets[0].equations, reverse=True)
        return "or(%s,%s)" % (",".join(render_linear(e) for e in eqs), test)
    return "or(%s,%s)" % (_product(sets), test)


class Candidate:
    """One class of conditions: the reflections of one fixed set that must
    be removed, and every test that removes exactly those."""

    def __init__(self, fixed, excluded, tests, compactable):
        self.fixed = fixed
        self.excluded = excluded
        self.tests = tests            # list of (form, modulus)
        self.compactable = compactable  # tests whose form is 0 or n/2 there


def _candidates(group, hkl, absent, natural):
    found = {}
    for op in coset_ops(group):
        R, t = op_parts(op)
        for c in centring_vectors(group):
            cond = _condition_for(R, [t[i] + c[i] for i in range(3)])
            if cond is not None:
                found.setdefault((cond[0].equations, cond[1], cond[2]), cond)
    by_set = {}
    for key in sorted(found):
        fixed, form, n = found[key]
        by_set.setdefault(fixed.equations, (fixed, set()))[1].add(n)
    out = {}
    for eqs in sorted(by_set):
        fixed, moduli = by_set[eqs]
        members = [h for h in hkl if fixed.contains(h)]
        per_test = {}
        for form, n in ([] if natural else _test_pool(moduli)):
            ex = frozenset(h for h in members if _value(form, h) % n)
            if ex and ex <= absent:
                per_test.setdefault(ex, []).append((form, n))
        for key in sorted(found):
            f2, form, n = found[key]
            if f2.equations != eqs:
                continue
            ex = frozenset(h for h in members if _value(form, h) % n)
            if not ex <= absent:
                raise AssertionError("condition removes present reflections")
            if not ex:
                continue
            tests = list(per_test.get(ex, []))
            if (form, n) not in tests:
                tests.append((form, n))
            compactable = [(f, m) for f, m in tests if m % 2 == 0
                           and all((2 * _value(f, h)) % m == 0 for h in members)]
            if (eqs, ex) in out:
                known = out[(eqs, ex)]
                known.tests += [t for t in tests if t not in known.tests]
                known.compactable += [t for t in compactable if t not in known.compactable]
            else:
                out[(eqs, ex)] = Candidate(fixed, ex, tests, compactable)
    return list(out.values())


def _covers(cands, absent):
    """Irredundant sets of candidates that remove every absence, smallest
    first (those of the smallest size and one more)."""
    n = len(cands)
    covers, smallest = [], None
    for size in range(1, n + 1):
        if smallest is not None and size > smallest + 1:
            break
        for combo in itertools.combinations(range(n), size):
            if frozenset().union(*(cands[i].excluded for i in combo)) != absent:
                continue
            if size > 1 and any(
                    frozenset().union(*(cands[j].excluded for j in combo if j != i)) == absent
                    for i in combo):
                continue
            covers.append(combo)
            if smallest is None:
                smallest = size
    return covers


def _render_cover(cands, compact):
    """Shortest formula for a set of conditions: the conditions are split
    into groups that share one test, each group one term.  Exhaustive over
    all splits (dynamic programming over subsets)."""
    n = len(cands)
    term = {}
    for mask in range(1, 1 << n):
        members = [j for j in range(n) if mask >> j & 1]
        common = [t for t in cands[members[0]].tests
                  if all(t in cands[j].tests for j in members[1:])]
        best = None
        for test in common:
            short = compact and all(test in cands[j].compactable for j in members)
            text = _term([cands[j].fixed for j in members], test[0], test[1], short)
            if best is None or (len(text), text) < (len(best), best):
                best = text
        if best is not None:
            term[mask] = best
    # best_split[mask] = (total length of its terms plus commas, terms)
    best_split = {0: (0, ())}
    for mask in range(1, 1 << n):
        low = mask & -mask
        choice = None
        sub = mask
        while sub:
            if sub & low and sub in term and (mask ^ sub) in best_split:
                rest = best_split[mask ^ sub]
                terms = tuple(sorted(rest[1] + (term[sub],), key=lambda t: (len(t), t)))
                cost = rest[0] + len(term[sub]) + 1
                key = (cost, ",".join(terms))
                if choice is None or key < choice[0]:
                    choice = (key, terms)
            sub = (sub - 1) & mask
        if choice is not None:
            best_split[mask] = (choice[0][0], choice[1])
    terms = best_split[(1 << n) - 1][1]
    return terms[0] if len(terms) == 1 else "and(%s)" % ",".join(terms)


def general_condition(group, letter, obverse, limit=12, natural=True, compact=False):
    """Formula text of the conditions beyond centring ("" when there are
    none) that removes exactly the group's absences within the index range.
    natural: each condition keeps the test its symmetry operation gives
    (as tabulated); otherwise any equivalent test of a small pool may be
    taken so that more conditions share one term."""
    hkl = [h for h in box(limit) if centring_allows(letter, h, obverse)]
    absent = frozenset(h for h in hkl if group.is_sys_absent(h))
    if not absent:
        return ""
    cands = _candidates(group, hkl, absent, natural)
    best = None
    for combo in _covers(cands, absent):
        text = _render_cover([cands[i] for i in combo], compact)
        if text is not None and (best is None or (len(text), text) < (len(best), best)):
            best = text
    if best is None:
        raise AssertionError("no set of conditions removes the absences")
    return best
