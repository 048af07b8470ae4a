// Levenberg-Marquardt least squares over double parameters, each inside its
// own closed range [min, max]: minimises S(p) = 1/2 (qplus + sum r_i(p)^2).
// Residuals, Jacobian rows and the normal matrix are single precision.
#pragma once

namespace numeric {

// One parameter: the caller's own head fields (of no meaning to the
// minimiser), then where the value lives and its limits (inclusive).
struct QminParam {
  const char* name;
  void* owner;  // owning phase, or null
  void* sub;    // sub-object, or null
  int index;    // position in the peak-set parameter vector, or -1
  double* value;
  double min;
  double max;
};

// Evaluates the model at the current parameter values: frees *r (allocated
// with malloc) when not null, stores a newly malloc'ed array of *m residuals
// in *r and returns true; false when the point is not admissible.
using Qmin8Goal = bool (*)(int* m, float** r);
// Fills g[0..n-1] with the derivatives of residual i at the current values.
using Qmin8Row = void (*)(float* g, int i);
// Told of every point the fit stands on: the start (iteration 0) and each
// accepted step (1, 2, ...), with the m residuals there and 2S (qplus
// included). For a caller that shows the progress of a long fit.
using Qmin8Progress = void (*)(int iteration, const float* r, int m, double twos);

// qplus (or null): fixed part added to the sum of squares, re-read at every
// evaluation. *iterations: in the largest iteration number, out 1 + accepted
// steps (0 when the start was refused). *ermod: in the absolute threshold on
// the predicted decrease (re-read at every test), out 2S at the final point
// (unchanged when the start was refused). *moderror: the model-error level,
// re-read at every use. Before every row call all parameters are set back to
// the accepted point; at the end they hold the final accepted values.
// Returns 0, or k when the diagonal or gradient element of (1-based)
// parameter k of the normal matrix was not finite. verbose prints the
// iteration table; progress (or null) is told of each point, see above.
int qmin8(QminParam* rec, int n, Qmin8Goal goal, Qmin8Row row, double* qplus, int* iterations,
          double* ermod, double* moderror, bool verbose, Qmin8Progress progress = nullptr);

}  // namespace numeric
