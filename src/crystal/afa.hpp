// Atomic scattering data of the installation: X-ray form factors
// (afaparm.dat), anomalous dispersion and mass attenuation of the radiation
// (<radiation>.ano, <radiation>.mdr), atomic masses (weight.mol) and neutron
// scattering lengths with their resonances (bcoh.dat), loaded once and looked
// up by atom name.
#pragma once

namespace crystal {

// The 16 numbers of one scattering species, as afaparm fills them.
enum : int {
  SD_A1 = 0,     // a1..a4 at 0..3 (electrons)
  SD_B1 = 4,     // b1..b4 at 4..7 (angstrom^2)
  SD_C = 8,      // constant of the form factor
  SD_MU = 9,     // mass attenuation coefficient (cm^2/g)
  SD_FP = 10,    // f'
  SD_FPP = 11,   // f''
  SD_BRES = 12,  // resonance terms added to the real part of the scattering length
  SD_BIM = 13,   // imaginary part of the scattering length: IM plus the resonance terms
  SD_MASS = 14,  // atomic mass, or the isotope's mass number
  SD_BCOH = 15,  // coherent scattering length (fm)
  SD_COUNT = 16
};
using ScatteringData = double[SD_COUNT];

// Loads the tables for the radiation (its name reduced to the part after the
// last "/" up to the first ".", in lower case, names the .ano and .mdr files);
// tables loaded before are freed first. Main thread, before any lookup.
// afaparm.dat missing: message -39 (status 39); bcoh.dat missing: -5 (5).
// The .ano, .mdr and weight.mol files may be missing. A line that cannot be
// read is skipped with message 31 (file and line).
void afainit(const char* radiation);

// Fills data for an atom name: element letters, optional mass-number digits
// (Fe57: isotope, for the mass and the scattering length), optional charge
// (Fe+3, also written Fe3+: for the form factor). Entry 12 is added to, not
// set. Returns 1, or 0 after warning 34 (X-ray, synchrotron: no form factor)
// or 29 (neutrons: no scattering length), or after one of them for an element
// that none of the .ano, .mdr and weight.mol files knows. Nothing loaded:
// message -40 (status 40). Reads the tables only; any thread.
int afaparm(const char* name, ScatteringData data);

// Frees the tables; does nothing when nothing is loaded.
void clearafa();

}  // namespace crystal
