// Model-change tests: for a fitted peak set, predict without refitting how
// much the sum of squares would change under each candidate change (a new
// peak from a grid of test peaks, a width more or less, a peak or a
// background coefficient less), judge each prediction by a chi-square test
// corrected for the number of candidates of its kind, and rank the
// significant ones.
#pragma once

#include "model/modell.hpp"

namespace kalvo {

// A candidate change. kind: 'N' new peak, '+' one parameter more, '-' one
// less, 'D' delete a peak, 'U' one background coefficient less; '3' none.
struct Candidate {
  char kind;
  float position;  // reciprocal d
  float width;     // breadth of a new peak ('N'), else 0
  int type;        // parameter count of the peak concerned (of a new peak), 0 for 'U'
  int index;       // index of the peak within its kind
};

// Builds the grid of test peaks over the sin(theta) range [lo, hi] (the fit
// window) for the current pattern.
void checkinit(double lo, double hi);
// Frees the grid and sets its spacings and breadths for the radiation.
void checkfree();

// Ranks every significant candidate of the kinds named in kinds that the key
// TEST also allows. The background basis must be set up for set->ru
// coefficients.
void test(const model::PeakSet* set, const char* kinds);
// The best ranked candidate that has not failed before; kind '3' when none
// is left.
Candidate getfirstrang();

// The significance test of a change of dof parameters whose sum of squares
// changes by x (in units of the variance); cand null counts as one
// candidate. *p, when given, receives the corrected probability.
bool chi2test(double x, int dof, const Candidate* cand, const model::PeakSet* set, double* p);

// The memory of failed changes.
void missset(Candidate c);
void missclear();

}  // namespace kalvo
