// The least-squares minimiser of the instrument-profile program: a
// Levenberg-Marquardt method over double parameters, each inside its own
// closed range, for a fixed number of single-precision residuals.
//
// Beside the damped normal equations it probes the sum of squares along each
// parameter alone and enlarges that parameter's diagonal element where the
// linear model underestimates the curvature (the widths and positions of
// narrow profile components are strongly nonlinear); each step is the bounded
// quadratic problem solved by rg2, with a thinning that follows the damping;
// the damping follows the ratio of the actual to the predicted decrease.
#pragma once

#include "numeric/qmin8.hpp"

namespace lintor {

// Fills r[0..m-1] at the values currently stored in the parameters; false
// when the point is not admissible.
using Qmin7Residual = bool (*)(float* r);
// Fills d[0..n-1] with the derivatives of residual i; the minimiser stores
// its current point into every parameter before each call.
using Qmin7Row = void (*)(float* d, int i);

// Minimises the sum of the m squared residuals over the n parameters (value,
// min and max of each record are read; the values are written).
// *iterations: in the largest iteration number; out the iteration counter at
// the end (1 when no step was accepted, 0 when the start point was not
// usable: a value not finite or outside its range, a start the residual
// refuses, or a sum of squares that is not finite). *tolerance: in the
// relative tolerance of the decrease; out the final sum of squares (left
// alone on an unusable start). Returns 0, or the 1-based number of the
// parameter whose diagonal element or gradient component came out not finite.
// The parameters always hold the best point found. n < 1: nothing is
// evaluated and 0 iterations are returned. verbose prints the progress table.
int qmin7(numeric::QminParam* params, int n, int m, Qmin7Residual residual, Qmin7Row row,
          int* iterations, double* tolerance, bool verbose);

}  // namespace lintor
