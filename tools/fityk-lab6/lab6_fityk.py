#!/usr/bin/env python3
"""Reference peak positions of the LaB6 line-position standard for the tests
of the peak-fitting program, computed with fityk (Debian package "fityk",
command-line program cfityk), an independent curve-fitting program.

For each window of one LaB6 reflection the script takes the measured points
of tests/data/LaB6_Jan2018.raw as the suite's scan reader gives them (the
counting rule of the binary scan and the sigma correction near strong lines
of laboratory X-ray data), and lets fityk fit the line shape of a peak with
its own Lorentzian width: the Cu K-alpha lines of data/cu.lam (four
Lorentzians), each widened by the peak's own Lorentzian width, in reciprocal
d, times the polarisation factor of an unpolarised tube, on a background
that is linear in ln(sin theta), given by its values at two nodes. Like the
peak-fitting program, the fit keeps the width and the background values at
the nodes non-negative. The peak-fitting program fits the same shape (a
three-parameter peak without an instrument profile, two background
coefficients) to the same points.

Writes tests/data/LaB6_Jan2018_fityk.txt. Run from the repository root:
    python3 tools/fityk-lab6/lab6_fityk.py
Needs python3 and cfityk; the build and the tests do not.
"""
import io
import math
import os
import re
import struct
import subprocess
import sys
import tempfile


ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
RAW = os.path.join(ROOT, "tests", "data", "LaB6_Jan2018.raw")
LAM = os.path.join(ROOT, "data", "cu.lam")
OUT = os.path.join(ROOT, "tests", "data", "LaB6_Jan2018_fityk.txt")

# Windows (2theta, degrees) around single reflections (K-alpha1 and
# K-alpha2), clear of the K-beta lines of the neighbours.
WINDOWS = [
    ("100", 20.95, 21.80),
    ("110", 29.95, 30.90),
    ("111", 37.00, 38.00),
    ("200", 43.10, 43.85),
    ("210", 48.60, 49.50),
    ("211", 53.55, 54.55),
    ("220", 62.80, 63.85),
    ("300", 67.10, 68.20),
]
A_LAB6 = 0.415691  # nm, certified lattice parameter: start positions only
HKL = {"100": 1, "110": 2, "111": 3, "200": 4, "210": 5, "211": 6, "220": 8, "300": 9}
START_WIDTH = 0.002  # own Lorentzian width, reciprocal d


def f32(v):
    """v rounded to single precision."""
    return struct.unpack("<f", struct.pack("<f", v))[0]


def read_raw(path):
    """RAW1.01 with one range: 2theta start, step, counting time and counts."""
    b = open(path, "rb").read()
    assert b[:7] == b"RAW1.01"
    (nranges,) = struct.unpack_from("<i", b, 12)
    assert nranges == 1
    o = 712
    (n,) = struct.unpack_from("<i", b, o + 4)
    (start,) = struct.unpack_from("<d", b, o + 16)
    (step,) = struct.unpack_from("<d", b, o + 176)
    (time,) = struct.unpack_from("<f", b, o + 192)
    (extra,) = struct.unpack_from("<i", b, o + 256)
    counts = struct.unpack_from("<%df" % n, b, o + 304 + extra)
    return start, step, float(time), counts


def points(lo, hi):
    """The points of the window as the scan reader keeps them: sin(theta) in
    single precision inside [sin(lo/2), sin(hi/2)], intensity (c + 1)/t,
    sigma sqrt(c + 1)/t raised near strong lines (2 % of the largest rise
    within 2.5 degrees, Gaussian-weighted with 0.5 degrees)."""
    start, step, t, counts = read_raw(RAW)
    smin = f32(math.sin(lo / 2 * math.pi / 180))
    smax = f32(math.sin(hi / 2 * math.pi / 180))
    s, y, w = [], [], []
    for i, c in enumerate(counts):
        si = f32(math.sin((start + i * step) * math.pi / 360))
        if si < smin or si > smax:
            continue
        cc = c + 1 if c > 0.5 else c
        s.append(si)
        y.append(f32(cc / t))
        w.append(f32(t / math.sqrt(c + 1)) if c + 1 > 0 else 0.0)
    tth = [360 * math.asin(float(v)) / math.pi for v in s]
    n = len(s)
    sigma = []
    j0 = 0
    for i in range(n):
        while j0 < n and tth[i] - 2.5 > tth[j0]:
            j0 += 1
        rise = 0.0
        j = j0
        while j < n and tth[j] < tth[i] + 2.5:
            d = (tth[i] - tth[j]) / 0.5
            r = (float(y[j]) - float(y[i])) * math.exp(-0.5 * d * d)
            rise = max(rise, r)
            j += 1
        sg = 1.0 / float(w[i])
        if 0.02 * rise > sg:
            sg = 0.02 * rise
        sigma.append(float(f32(1.0 / sg)))
    return tth, [float(v) for v in y], [1.0 / v for v in sigma]


def cu_lines():
    lines = []
    for line in open(LAM):
        if line.startswith("%") or line.startswith("ILAM"):
            continue
        parts = line.split()
        if len(parts) == 3:
            lines.append(tuple(float(p) for p in parts))
    return lines


def shape_formula(lines):
    s = "sin(x*pi/360)"
    pol = "(1+(1-2*%s^2)^2)/2" % s
    terms = []
    for ij, lj, dj in lines:
        width = "(width+2*%s*%r)" % (s, dj)
        terms.append("%r/pi*%s/((2*%r*%s-position)^2+%s^2)" % (ij, width, lj, s, width))
    return "intensity*%s*(%s)" % (pol, "+".join(terms))


def start_values(name, tth, y, lines):
    hkl2 = HKL[name]
    position = math.sqrt(hkl2) / A_LAB6  # 1/d
    height = max(y) - min(y)
    weight = sum(ij for ij, _, _ in lines[:2])
    intensity = height * math.pi * START_WIDTH / weight
    return position, intensity, START_WIDTH, min(y)


def nodes(tth):
    """The two nodes (ln sin theta) of the background: at a quarter and at
    three quarters of the ln sin(theta) range of the points."""
    s = [f32(math.sin(t * math.pi / 360)) for t in tth]
    lo, hi = math.log(min(s)), math.log(max(s))
    return f32(lo + (hi - lo) * 0.25), f32(lo + (hi - lo) * 0.75)


BOUNDED = ("width", "c0", "c1")  # parameters that the peak fit keeps >= 0


def fityk_script(data, lines, n0, n1, start, fixed):
    """The commands of one least-squares fit with the parameters in fixed
    held at 0."""
    position, intensity, width, base = start
    value = {"intensity": intensity, "position": position, "width": width, "c0": base, "c1": base}

    def arg(p):
        return "%s=0" % p if p in fixed else "%s=~%r" % (p, value[p])

    f = io.StringIO()
    f.write("set autoplot = 0\n")
    f.write("set numeric_format = '%.12g'\n")
    f.write("set lm_stop_rel_change = 1e-12\n")
    f.write("set max_wssr_evaluations = 100000\n")
    f.write("@0 < '%s:1:2:3:'\n" % data)
    f.write("define KalvoCu(intensity, position, width) = %s\n" % shape_formula(lines))
    L = "ln(sin(x*pi/360))"
    f.write("define NodeBackground(c0, c1) = c0*(%s-%r)/%r + c1*(%s-%r)/%r\n" % (L, n1, n0 - n1, L, n0, n1 - n0))
    f.write("F += KalvoCu(%s, %s, %s)\n" % (arg("intensity"), arg("position"), arg("width")))
    f.write("F += NodeBackground(%s, %s)\n" % (arg("c0"), arg("c1")))
    f.write("fit\n")
    for p in ("position", "intensity", "width"):
        if p not in fixed:
            f.write("print F[0].%s, F[0].%s.error\n" % (p, p))
    f.write("print F[1].c0, F[1].c1\n")
    return f.getvalue()


def run_fityk(data, lines, n0, n1, start, fixed, workdir, tag):
    """One least-squares fit with the parameters in fixed held at 0."""
    script = os.path.join(workdir, tag + ".fit")
    with open(script, "w") as f:
        f.write(fityk_script(data, lines, n0, n1, start, fixed))
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    out = subprocess.run(["cfityk", "-q", script], capture_output=True, text=True, env=env, check=True).stdout
    nums = []
    for line in out.splitlines():
        m = re.match(r"^\s*([-+0-9.eE]+)\s+([-+0-9.eE]+)\s*$", line)
        if m:
            nums.append((float(m.group(1)), float(m.group(2))))
    wssr = float(re.findall(r"WSSR:\s*([-+0-9.eE]+)", out)[-1])
    if "width" in fixed:
        nums.insert(2, (0.0, 0.0))
    (P, sP), (I, sI), (L, sL), (c0, c1) = nums[:4]
    return dict(P=P, sP=sP, I=I, sI=sI, L=L, sL=sL, c0=c0, c1=c1, wssr=wssr, fixed=fixed)


def fit(name, lo, hi, lines, workdir):
    """The fit with every parameter of BOUNDED kept at or above 0: the best
    of the fits with each subset of them held at 0 whose other parameters
    come out non-negative."""
    tth, y, sigma = points(lo, hi)
    data = os.path.join(workdir, name + ".dat")
    with open(data, "w") as f:
        for a, b, c in zip(tth, y, sigma):
            f.write("%.10f %.9g %.9g\n" % (a, b, c))
    start = start_values(name, tth, y, lines)
    n0, n1 = nodes(tth)
    best = None
    for mask in range(1 << len(BOUNDED)):
        fixed = tuple(p for k, p in enumerate(BOUNDED) if mask & (1 << k))
        r = run_fityk(data, lines, n0, n1, start, fixed, workdir, "%s-%d" % (name, mask))
        if min(r["L"], r["c0"], r["c1"], r["I"]) < 0:
            continue
        if best is None or r["wssr"] < best["wssr"]:
            best = r
    best.update(name=name, lo=lo, hi=hi, n=len(tth), start=start[:3])
    return best


def main():
    version = subprocess.run(["cfityk", "--version"], capture_output=True, text=True).stdout.strip()
    lines = cu_lines()
    results = []
    with tempfile.TemporaryDirectory() as workdir:
        for name, lo, hi in WINDOWS:
            results.append(fit(name, lo, hi, lines, workdir))
    with open(OUT, "w") as f:
        f.write("% Peak positions of LaB6_Jan2018.raw fitted by " + version + " (Debian package fityk),\n")
        f.write("% made by tools/fityk-lab6/lab6_fityk.py: one peak per window, Cu K-alpha lines of\n")
        f.write("% data/cu.lam each widened by the peak's own Lorentzian width (reciprocal d), polarisation\n")
        f.write("% factor (1 + cos^2 2theta)/2, background linear in ln(sin theta), weights of the scan reader.\n")
        f.write("% Errors are fityk's standard errors, sqrt(WSSR/(points - parameters) C_kk).\n")
        f.write("% The fit keeps the own width and the background at its two nodes non-negative, as the peak\n")
        f.write("% fit does: the parameters held at 0 are listed (\"-\" none); their errors are not estimated.\n")
        f.write("% hkl lo hi points | start: position intensity width | fitted: position error intensity error\n")
        f.write("% width error | WSSR | held at 0\n")
        for r in results:
            f.write("%s %.2f %.2f %d %.7f %.6g %.6g %.9f %.3g %.7g %.3g %.7g %.3g %.6g %s\n" % (
                r["name"], r["lo"], r["hi"], r["n"], r["start"][0], r["start"][1], r["start"][2],
                r["P"], r["sP"], r["I"], r["sI"], r["L"], r["sL"], r["wssr"], ",".join(r["fixed"]) or "-"))
    for r in results:
        print(r)


if __name__ == "__main__":
    sys.exit(main())
