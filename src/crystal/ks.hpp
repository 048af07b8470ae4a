// Restraints of the refinement: a crystal-chemical energy of pair potentials
// between atoms (WW, WWalt) and free penalty values (Straf), declared in a
// phase's formulas and turned into extra least-squares residuals. Every term
// is weighted by the phase's restraint weight (key Theory; 0 switches the
// restraints of the phase off).
//
// A pass over the formulas (ksinit, then the set-up of every phase) records
// the declarations: the k-th WW call of a phase in a pass updates the k-th
// potential of that phase, the k-th Straf call the k-th penalty term. ksexec
// then fills fxplus: one residual per atom pair within three times the
// potential's minimum distance over all lattice translations (bonded pairs,
// as the Bondings keys give them, left out), then one per penalty term. The
// sum of their squares plus qplus is the weighted energy.
#pragma once

#include <cstdint>

#include "crystal/records.hpp"

namespace crystal {

// One WW or WWalt call position of a phase: V(r) = A r^a + B r^b, r in the
// phase's length unit.
struct PairPotential {
  double A, a, B, b;
  double weight;  // WWalt: the pair weight; WW: unused
  double r0;      // position of the minimum (nm)
  double Vmin;    // V(r0)
  uint8_t alt;    // 1 for WWalt
  PhaseRecord* phase;
  char* list1;          // atom list, without outer parentheses
  char* list2;          // second atom list, or null
  PairPotential* next;  // the list runs from the oldest to the newest
};

// One atom pair of a potential: atom1's reference site (site 0, no centring)
// and atom2's site ilage with centring translation ibasis, moved by the
// lattice translation t.
struct PairTerm {
  PairPotential* pot;
  AtomRecord* atom1;
  AtomRecord* atom2;
  int32_t species1;  // element index of the atom, or -1 for the whole atom
  int32_t species2;
  int32_t ilage;
  int32_t ibasis;
  double factor;  // pairs of the cell this term stands for
  int32_t t[3];
};

// One Straf call position of a phase.
struct PenaltyTerm {
  double value;
  PhaseRecord* phase;
  PenaltyTerm* next;  // oldest first
};

extern PairPotential* wwargfirst;  // the potentials of all phases
extern PairTerm* wwarray;          // the pairs of the last rebuild
extern int nww;                    // used entries of wwarray
extern int maxww;                  // allocated entries
extern PenaltyTerm* straffirst;    // the penalty terms of all phases
extern int nstraf;

extern double* fxplus;  // [mplus] residuals: pair terms, then penalty terms
extern int mplus;       // nww + nstraf
extern double qplus;    // constant part of the weighted energy

// WW(A, a, B, b, list1 [, list2]) and WWalt(A, a, B, b, list1 [, list2],
// weight): records a pair potential of the current phase (phasei); returns 1.
// The lists name atoms of the phase, an atom optionally with one of its
// elements in parentheses (Fe1(Co)); without list2 the pairs are those within
// list1. Parameters without a minimum (a or b not negative, equal exponents,
// no sign change of V'): message -139; a minimum outside 0.1 to 1 nm: message
// -133. Both fail the calling formula. Records nothing while the phase's
// restraint weight is not positive, outside a pass, or on a worker thread.
double ww(const char* name, const char* const* args, int nargs);

// Straf(value): records a penalty term of the current phase; returns 1. The
// same conditions as for WW.
double straf(const char* name, const char* const* args, int nargs);

// Starts a pass over the formulas: the next declarations update the recorded
// ones from the first on.
void ksinit();

// Fills fxplus, mplus and every phase's restraint energy. With rebuild set it
// first lists the atom pairs of every potential anew and recomputes qplus.
// Builds the bond lists of every phase with a positive restraint weight once
// (until ksclear). Failures (messages -137, -135, -136 of a Bondings item,
// -140 of an atom list) leave through the caller's error frame; two atoms of a
// pair at the same place end the run with message -128. Main thread only.
void ksexec(bool rebuild);

// Frees every declaration, pair, residual and bond list; the next ksexec
// builds the bond lists again, the next declarations come after a ksinit.
void ksclear();

}  // namespace crystal
