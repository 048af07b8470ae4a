// Bounded quadratic problems of the model-change tests:
//   minimise 1/2 x'Ax - b'x  subject to x <= u (componentwise),
// A symmetric, packed float (element (i, j), j <= i, at i(i+1)/2 + j). The
// search starts from x = 0, so u >= 0 is required. Every coupling of the
// scaled matrix is kept (no thinning), in a dense triangle or a list of the
// non-zero couplings, whichever is smaller.
//
// True with the solution in x. False, x untouched, for a non-finite or
// negative diagonal element or a direction of non-positive curvature.
// Nothing is printed. Re-entrant: the working storage is the call's own, so
// worker threads solve their own problems at the same time.
#pragma once

namespace kalvo {

// Storage of the scaled matrix: chosen by size, or forced (for tests).
enum class Rg0Form { automatic, dense, list };

bool rg0(const float* A, const float* b, float* x, const float* u, int n, double eps,
         Rg0Form form = Rg0Form::automatic);

}  // namespace kalvo
