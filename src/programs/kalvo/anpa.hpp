// The profile fit loop of one scan index: least-squares fits of all peak and
// background parameters, removal of peaks that leave the fit range, grow too
// broad or lose their intensity, and the choice of the model by the
// model-change tests, accepted or refused by chi-square tests.
#pragma once

#include "model/modell.hpp"

namespace kalvo {

// Fits and chooses the model of *set (replaced by the result) over the
// current pattern; *matrix (freed when not null) becomes the inverse normal
// matrix, p(p+1)/2 floats in parameter order; *q the final sum of squares.
void anpa(model::PeakSet** set, float** matrix, float* q);

// Parameters of a set, in the order 2-, 3-, 4-parameter peaks (each peak's
// block in turn), then the background coefficients.
int nparam(const model::PeakSet* set);
float paramvalue(const model::PeakSet* set, int j);

// Sets the diagonal element of every width of a 3-parameter peak that is
// exactly 0, and of every third or fourth parameter of a 4-parameter peak
// that is exactly 0, to a huge value, so that a parameter without influence
// gets a variance near 0 instead of a singular matrix (packed, order p).
void markwidthless(const model::PeakSet* set, float* A);

// The background basis over the pattern for ru coefficients, with the
// run's scaled (UNT) and fixed (UNTC) background curves; set up again only
// when ru differs from the last call's.
void untsetup(int ru);
// Reads the names of the background curves (UNT, UNTC) for untsetup, for
// the current pattern.
void untcurves();

// Index of element (i, j), j <= i, of a packed triangle.
inline long tri(long i) { return i * (i + 1) / 2; }

}  // namespace kalvo
