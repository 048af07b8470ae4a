"""Spectral lines of the characteristic K-alpha radiations of X-ray tubes.

Cu: the four-Lorentzian description of the K-alpha doublet by Hoelzer,
Fritsch, Deutsch, Haertwig and Foerster, Phys. Rev. A 56 (1997) 4554:
peak energy E (eV), full width at half maximum W (eV), peak height I.

Co, Cr, Fe, Mn, Ni, Mo, Ag: K-alpha1 and K-alpha2 from xraylib
(python3-xraylib): line energies (LineEnergy), radiative rates (RadRate) as
the relative integrated intensities, and Lorentzian full widths as the sum
of the widths of the two atomic levels of the transition (AtomicLevelWidth:
K and L3 for K-alpha1, K and L2 for K-alpha2).

Every line is converted to the entries of a wavelength file: integrated
intensity (peak height times width for Cu, the radiative rate otherwise),
reciprocal wavelength 1/lambda = E/hc in nm^-1 and Lorentzian half width at
half maximum W/(2 hc) in nm^-1.
"""

# h c in eV nm, from the exact SI values of h, c and e.
HC_EV_NM = 6.62607015e-34 * 299792458.0 / 1.602176634e-19 * 1e9

# Hoelzer et al. (1997), Cu K-alpha: (E / eV, W / eV, I), alpha1 lines first.
CU_KALPHA = [
    (8047.8372, 2.285, 0.957),
    (8045.3672, 3.358, 0.090),
    (8027.9935, 2.667, 0.334),
    (8026.5041, 3.571, 0.111),
]

# Anode element of each radiation.
ANODES = [("cu", 29, "Cu"), ("co", 27, "Co"), ("cr", 24, "Cr"), ("fe", 26, "Fe"),
          ("mn", 25, "Mn"), ("ni", 28, "Ni"), ("mo", 42, "Mo"), ("ag", 47, "Ag")]


def lines(name):
    """[(integrated intensity, 1/lambda in nm^-1, half width in nm^-1)]"""
    if name == "cu":
        return [(i * w, e / HC_EV_NM, w / (2.0 * HC_EV_NM)) for e, w, i in CU_KALPHA]
    import xraylib
    z = dict((n, zz) for n, zz, _ in ANODES)[name]
    out = []
    for line, level in ((xraylib.KA1_LINE, xraylib.L3_SHELL), (xraylib.KA2_LINE, xraylib.L2_SHELL)):
        e = xraylib.LineEnergy(z, line) * 1000.0
        w = (xraylib.AtomicLevelWidth(z, xraylib.K_SHELL)
             + xraylib.AtomicLevelWidth(z, level)) * 1000.0
        out.append((xraylib.RadRate(z, line), e / HC_EV_NM, w / (2.0 * HC_EV_NM)))
    return out


def source_text(name):
    if name == "cu":
        return ("Cu K-alpha as four Lorentzians: G. Hoelzer, M. Fritsch, M. Deutsch, "
                "J. Haertwig, E. Foerster, Phys. Rev. A 56 (1997) 4554")
    element = dict((n, el) for n, _, el in ANODES)[name]
    return ("%s K-alpha1 and K-alpha2: xraylib (python3-xraylib) line energies, "
            "radiative rates and K, L2, L3 level widths" % element)


def mean_wavelength_nm(name):
    """Wavelength of the intensity-weighted mean reciprocal wavelength."""
    ls = lines(name)
    total = sum(i for i, _, _ in ls)
    return total / sum(i * l for i, l, _ in ls)
