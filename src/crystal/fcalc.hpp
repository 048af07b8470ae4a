// Structure factor and scattering power: the complex scattering power of one
// atom (a weighted mixture of species), the complex structure factor of one
// reflection of the current phase and of its inverse, and the formula
// function F of an ad-hoc atom list. Lengths are in nm: s2 is 1/d^2 in nm^-2,
// so (sin theta / lambda)^2 in inverse square angstrom is 0.0025 s2, and
// temperature factors B are in nm^2.
#pragma once

#include <cstdint>

#include "crystal/records.hpp"

namespace crystal {

// Real and imaginary part of a scattering amplitude.
struct Amplitude {
  double re;
  double im;
};

// Scattering power of the count species of an atom at s2, each weighted by
// its occupancy: neutrons b_coh (with the anomalous flag also b' and b'');
// X-rays the form factor c + sum a_j exp(-0.0025 s2 b_j) (with the flag also
// f' and f''). count < 1: (0, 0).
Amplitude f1(const ElementRecord* species, int32_t count, int32_t anomalous, double s2);

// Temperature-factor penalty of a displacement B of kinds 3 and 4: 100000 B
// for B <= 0, 0 for B > 0, and a fixed large value for a B that is not a
// number.
double tdspenalty(double B);

// The isotropic displacement B (nm^2) of an atom of the phase as the
// structure factor of the first reflection kind takes it: its own TDS
// settled at set-up, its TDS formula read in its scope on the calling thread
// (a formula or a shared parameter), or the phase's TDS for an atom without
// one. A TDS that cannot be read leaves through the caller's error frame
// (message 261 with the atom number).
double isotropicdisplacement(PhaseRecord* ph, AtomRecord* atom);

// Structure factor of one reflection of the current phase (phasei) over its
// atoms, for reflection kind iref and the triple number index of the F-record
// F, at s2: out = Re F(h,k,l), Im F(h,k,l), Re F(-h,-k,-l), Im F(-h,-k,-l).
// Without components only atoms whose weight for iref is not 0 count; with
// components (the F-record's FMult rows of the same four values) every atom
// adds its terms with its weight for each component j into row j, and out
// stays 0. Runs on any thread of the line computation; a TDS variable that
// cannot be read prints message -9 with its name, a kind-4 TDS that fails
// prints message 261 with the atom number; both leave through the caller's
// error frame.
void fcalc(double out[4], int32_t anomalous, int32_t iref, double (*components)[4],
           const FRecord* F, int32_t index, double s2);

// Stamps the structure inputs of the phase's atoms for the line pass that
// follows (main thread, after the phase's set-up, before the pass): each atom
// keeps its stamp while its species, occupancies, sites, displacements and
// weights keep their values, and gets a new one when any of them changed.
// Until endstructurestamps, the structure factor of a reflection's own
// record (fr1, triple 0) takes an atom's terms again as a whole when its
// stamp, B, s2 and triple are those of the kept terms, and the record's sums
// when nothing of the structure changed; what is kept for these records is
// shared by the threads, so that in between each such record must be
// computed by one thread at a time (a line pass gives each reflection to
// one worker). Outside, each thread keeps what it works out for itself.
void stampstructure(const PhaseRecord* ph);
void endstructurestamps();

// The formula function F(angle, statement, statement, ...): the structure
// factor at the variables h, k, l of the atoms that the statements describe
// (each atom begins with E=<species list>, then Wyckoff=, x, y, z, TDS);
// sets the variable named by the first argument to the phase angle in
// degrees and returns |F|.
double fuser(const char* name, const char* const* args, int nargs);

}  // namespace crystal
