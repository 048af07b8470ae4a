#!/usr/bin/python3
"""Reference moments of two diffractometer aberrations for the ray tracer.

For the two geometries that tests/zelmar/test_zelmar_moments.cpp traces, this
script computes the same line shapes with the fundamental-parameters
convolvers of xrayutilities (Debian package python3-xrayutilities) and writes
their centroid shift and width (standard deviation), in degrees 2theta, to
tests/zelmar/data/moments.txt:

  axial       axial divergence through two Soller collimators (focus length,
              sample length and receiving-slit length as given), convolved
              with the boxes of the focus width and the receiving slit;
  flat        the flat-specimen error of a divergent beam (divergence slit),
              convolved with the same two boxes.

Run once from the repository root:  tools/zelmar-reference/make-moments.py
The build and the tests do not need xrayutilities.
"""
import math
import sys

import numpy
import xrayutilities
from xrayutilities.simpack.powder import FP_profile, best_irfft

R = 200.0
FOCUSW = 0.1
DETW = 0.2
ANGLES = [20, 30, 45, 60, 75, 105, 120, 140]

# Axial case: Soller collimators of divergence factor 0.04 (tangent of the
# half-width of their triangular transmission).
AX = dict(FocusH=10.0, SamplH=20.0, DetH=15.0, PColl=0.04, SColl=0.04)
# Flat case: a divergence slit of width HSLITW at HSLITR.
HSLITR = 100.0
HSLITW = 2 * (R - HSLITR) * math.tan(math.radians(0.5))


def moments(kind, tt):
    """Centroid and standard deviation (degrees 2theta, relative to tt) of
    the product of the named convolvers, transformed back without the
    periodic Lorentzian correction of compute_line_profile: every line shape
    here has a finite support well inside the window."""
    p = FP_profile(anglemode="twotheta", gaussian_smoother_bins_sigma=None,
                   oversampling=1)
    p.set_window(twotheta_window_center_deg=tt,
                 twotheta_window_fullwidth_deg=6.0,
                 twotheta_output_points=24000)
    lam = 1.5406e-10
    glob = dict(twotheta0_deg=tt, twotheta0=math.radians(tt),
                dominant_wavelength=lam,
                d=lam / (2 * math.sin(math.radians(tt) / 2)),
                diffractometer_radius=R, equatorial_divergence_deg=None)
    names = ["conv_tube_tails", "conv_receiver_slit"]
    if kind == "axial":
        p.set_parameters(convolver="axial", axDiv="full",
                         slit_length_source=AX["FocusH"],
                         slit_length_target=AX["DetH"],
                         length_sample=AX["SamplH"],
                         angI_deg=2 * math.degrees(math.atan(AX["PColl"])),
                         angD_deg=2 * math.degrees(math.atan(AX["SColl"])),
                         n_integral_points=60)
        names.append("conv_axial")
    else:
        glob["equatorial_divergence_deg"] = 2 * math.degrees(
            math.atan(HSLITW / 2 / (R - HSLITR)))
        names.append("conv_flat_specimen")
    p.set_parameters(convolver="global", **glob)
    p.set_parameters(convolver="tube_tails", main_width=FOCUSW,
                     tail_left=-FOCUSW / 2, tail_right=FOCUSW / 2,
                     tail_intens=0.0)
    p.set_parameters(convolver="receiver_slit", slit_width=DETW)
    conv = numpy.ones(p.n_omega_points, complex)
    for name in names:
        conv *= p.convolver_funcs[name]()
    if conv[1].real > 0:  # the peak in the middle of the window
        conv[1::2] *= -1
    y = best_irfft(conv)
    x = numpy.asarray(p.twothetasamples_deg) - tt
    c = (x * y).sum() / y.sum()
    s = math.sqrt(((x - c) ** 2 * y).sum() / y.sum())
    return c, s


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "tests/zelmar/data/moments.txt"
    lines = [
        "% Centroid shift and width (standard deviation) of traced line shapes, degrees 2theta.",
        "%% Made by tools/zelmar-reference/make-moments.py with xrayutilities %s"
        % xrayutilities.__version__,
        "% (fundamental-parameters convolvers: axial, flat_specimen, tube_tails as the",
        "%% focus box, receiver_slit), R=%g FocusW=%g DetW=%g;" % (R, FOCUSW, DETW),
        "%% axial: FocusH=%g SamplH=%g DetH=%g PColl=%g SColl=%g;"
        % (AX["FocusH"], AX["SamplH"], AX["DetH"], AX["PColl"], AX["SColl"]),
        "%% flat: HSlitR=%g HSlitW=%.6f (1 degree divergence)." % (HSLITR, HSLITW),
        "% kind 2theta centroid width",
    ]
    for kind in ("axial", "flat"):
        for tt in ANGLES:
            c, s = moments(kind, tt)
            lines.append("%s %g %.6e %.6e" % (kind, tt, c, s))
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
