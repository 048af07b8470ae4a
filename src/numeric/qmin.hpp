// Levenberg-Marquardt least squares over float parameters reached through
// pointers, with a lower limit 0 for flagged parameters: minimises
// S(p) = 1/2 sum of r_i(p)^2 over m residuals.
#pragma once

#include <cstdint>

namespace numeric {

// Factor by which the step fraction shrinks after a trial point the
// residual function refused; must lie in (0, 1).
extern float gammamult;

// Evaluates the model at the current parameter values and writes the m
// residuals into r; false when the point is not admissible.
using QminResiduals = bool (*)(float* r);
// Writes the n derivatives of residual i (0-based) at the current parameter
// values into g.
using QminRow = void (*)(float* g, int i);

// par: pointers to the n parameters; nonneg[k] != 0: parameter k must stay
// >= 0. *iterations: in the largest iteration number, out 1 + accepted steps
// (0 when the start was refused). *ermod: in the relative stop threshold (a
// step whose predicted decrease is at most *ermod x S ends the fit), out 2S
// at the final point (unchanged when the start was refused). Before every
// row call all parameters are set back to the accepted point; at the end
// they hold the final accepted values. verbose prints the iteration table.
void qmin(float** par, const uint8_t* nonneg, int n, int m, QminResiduals res, QminRow row,
          int* iterations, float* ermod, bool verbose);

}  // namespace numeric
