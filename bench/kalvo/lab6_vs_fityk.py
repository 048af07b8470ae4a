#!/usr/bin/env python3
"""Time of the peak-fitting program against fityk (Debian package "fityk",
command-line program cfityk) on the same fits: the eight single LaB6
reflections of tests/data/LaB6_Jan2018.raw, one peak of its own Lorentzian
width on the Cu K-alpha lines and two background coefficients per window,
as the test that compares their peak positions sets them up (reference
values: tools/fityk-lab6/lab6_fityk.py).

Timed on this machine, each the median of the repetitions, as wall-clock
and as processor time (user and system, which a busy machine disturbs
less):
  kalvo      one run of the program over the eight windows (one scan index
             each), process start included, and an empty run (no index) for
             the start alone;
  fityk      one cfityk process fitting the eight windows one after the
             other with every parameter free, process start included, and an
             empty cfityk process;
  fityk 0    the same with the bounds kept as the reference script does
             (each subset of the width and the two background values held at
             0, eight fits per window), which is what matches kalvo's
             non-negative parameters.

Run from the repository root after building:
    python3 bench/kalvo/lab6_vs_fityk.py [kalvo binary] [repetitions]
Needs python3 and cfityk; the build and the tests do not.
"""
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "fityk-lab6"))
import lab6_fityk as ref  # noqa: E402


def timed(command, cwd, env=None):
    """Wall-clock and processor time (user and system) of one process."""
    c0 = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    subprocess.run(command, cwd=cwd, env=env, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - t0
    c1 = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (c1.ru_utime - c0.ru_utime) + (c1.ru_stime - c0.ru_stime)


def median(f, reps):
    """Medians of the wall-clock and of the processor times."""
    runs = [f() for _ in range(reps)]
    return statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs)


def kalvo_setup(work, lines):
    """Installation copy, scan, start files and control file of the eight
    windows; returns the environment of the runs."""
    install = os.path.join(work, "install")
    shutil.copytree(os.path.join(ROOT, "data"), install)
    shutil.copy(ref.RAW, os.path.join(work, "LaB6_Jan2018.raw"))
    control = "RU=2\nTEST=0\n"
    for k, (name, lo, hi) in enumerate(ref.WINDOWS, 1):
        tth, y, _ = ref.points(lo, hi)
        position, intensity, width, _ = ref.start_values(name, tth, y, lines)
        control += ("VAL[%d,1]=LaB6_Jan2018.raw\nWMIN[%d]=%.2f\nWMAX[%d]=%.2f\nOUTPUT[%d]=w%s.par\n"
                    % (k, k, lo, k, hi, k, name))
        with open(os.path.join(work, "w%s.start" % name), "w") as f:
            f.write("PEAKZAHL=1\n3 %.6E %.7f %.7f\n" % (intensity, position, width))
    with open(os.path.join(work, "run.sav"), "w") as f:
        f.write(control)
    with open(os.path.join(work, "empty.sav"), "w") as f:
        f.write("RU=2\n")
    return dict(os.environ, KALVO=install)


def kalvo_run(kalvo, work, env):
    # Every run starts from the same start peaks.
    for name, _, _ in ref.WINDOWS:
        shutil.copy(os.path.join(work, "w%s.start" % name), os.path.join(work, "w%s.par" % name))
    return timed([kalvo, "run.sav", "SAVE=N"], work, env)


def fityk_script(work, lines, masks):
    """One cfityk script of the fits of every window and bound subset, the
    session reset between them; returns its name and the number of fits."""
    text, fits = "", 0
    for name, lo, hi in ref.WINDOWS:
        tth, y, sigma = ref.points(lo, hi)
        data = os.path.join(work, name + ".dat")
        with open(data, "w") as f:
            for a, b, c in zip(tth, y, sigma):
                f.write("%.10f %.9g %.9g\n" % (a, b, c))
        start = ref.start_values(name, tth, y, lines)
        n0, n1 = ref.nodes(tth)
        for mask in masks:
            fixed = tuple(p for k, p in enumerate(ref.BOUNDED) if mask & (1 << k))
            text += ref.fityk_script(data, lines, n0, n1, start, fixed) + "reset\n"
            fits += 1
    script = os.path.join(work, "all-%d.fit" % len(masks))
    with open(script, "w") as f:
        f.write(text)
    return script, fits


def main():
    kalvo = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "release", "bin", "kalvo")
    kalvo = os.path.abspath(kalvo)
    reps = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    lines = ref.cu_lines()
    version = subprocess.run(["cfityk", "--version"], capture_output=True, text=True).stdout.strip()
    with tempfile.TemporaryDirectory() as work:
        env = kalvo_setup(work, lines)
        kalvo_run(kalvo, work, env)  # warm the caches
        k_all = median(lambda: kalvo_run(kalvo, work, env), reps)
        k_start = median(lambda: timed([kalvo, "empty.sav", "SAVE=N"], work, env), reps)
        empty = os.path.join(work, "empty.fit")
        with open(empty, "w") as f:
            f.write("set autoplot = 0\n")
        fenv = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        f_start = median(lambda: timed(["cfityk", "-q", empty], work, fenv), reps)
        free, nfree = fityk_script(work, lines, [0])
        f_free = median(lambda: timed(["cfityk", "-q", free], work, fenv), reps)
        bounded, nbounded = fityk_script(work, lines, range(1 << len(ref.BOUNDED)))
        f_bounded = median(lambda: timed(["cfityk", "-q", bounded], work, fenv), reps)
    n = len(ref.WINDOWS)
    print("eight LaB6 windows, median of %d runs, %s, %d cores, load %.1f"
          % (reps, version, os.cpu_count(), os.getloadavg()[0]))
    print("          fits   wall s  start s  per fit s |   cpu s  start s  per fit s")
    for what, fits, t, t0 in (("kalvo", n, k_all, k_start), ("fityk", nfree, f_free, f_start),
                              ("fityk 0", nbounded, f_bounded, f_start)):
        print("%-8s %5d %8.3f %8.3f %10.4f | %7.3f %8.3f %10.4f"
              % (what, fits, t[0], t0[0], (t[0] - t0[0]) / fits, t[1], t0[1], (t[1] - t0[1]) / fits))

if __name__ == "__main__":
    sys.exit(main())
