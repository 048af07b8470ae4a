// Pieces shared by the least-squares minimisers qmin and qmin8, by their
// bounded sub-problem solvers and by the instrument-profile program's
// minimiser qmin7: the sums of single-precision products, the diagonal of a
// packed matrix, the normal equations at the accepted point, the
// Levenberg-Marquardt damping of the diagonal, and the rule of the iteration
// tables.
#pragma once

#include <cstddef>
#include <cstdio>

#include "numeric/bau1.hpp"

namespace numeric {

// Sum of v[k]^2: single products, double sum.
inline double sum_of_squares(const float* v, int n) {
  double s = 0;
  for (int k = 0; k < n; ++k) {
    float q = v[k] * v[k];
    s += q;
  }
  return s;
}

// Sum of a[k] b[k]: single products, double sum.
inline double sum_of_products(const float* a, const float* b, int n) {
  double s = 0;
  for (int k = 0; k < n; ++k) {
    float q = a[k] * b[k];
    s += q;
  }
  return s;
}

// Index of the diagonal element (k, k) of a packed matrix.
inline long diag(int k) { return static_cast<long>(k) * (k + 1) / 2 + k; }

// The normal equations at the accepted point: A := J'J (packed, order n) and
// bacc := J'r over the m residuals r. restore() sets the parameters back to
// the accepted point before each row(g, i) call, which writes the n
// derivatives of residual i into g.
template <class Restore>
void normal_equations(float* A, double* bacc, float* g, const float* r, int n, int m,
                      Restore restore, void (*row)(float* g, int i)) {
  const size_t nn = static_cast<size_t>(n);
  for (size_t k = 0; k < nn * (nn + 1) / 2; ++k) A[k] = 0;
  for (size_t k = 0; k < nn; ++k) bacc[k] = 0;
  NormalBuilder* ctx = bauopen(A, n);
  try {
    for (int i = 0; i < m; ++i) {
      restore();
      row(g, i);
      bau1(g, ctx);
      for (int k = 0; k < n; ++k) {
        float q = g[k] * r[i];
        bacc[k] += q;
      }
    }
  } catch (...) {
    // A row that fails leaves the build unfinished: its pass on the workers
    // must end before the caller may release the matrix.
    bauclose(ctx);
    throw;
  }
  bauclose(ctx);
}

// Raises the damping by delta: every diagonal element of A gains delta times
// its undamped value g[k].
inline void add_damping(float* A, const float* g, int n, double delta) {
  for (int k = 0; k < n; ++k) A[diag(k)] = static_cast<float>(g[k] * delta + A[diag(k)]);
}

// Sum of x[k]^2 g[k] (the step's curvature under the undamped diagonal):
// single products, double sum.
inline double diagonal_curvature(const float* x, const float* g, int n) {
  double c = 0;
  for (int k = 0; k < n; ++k) {
    float q = x[k] * x[k] * g[k];
    c += q;
  }
  return c;
}

// The rule above and below an iteration table.
inline void rule() {
  for (int i = 0; i < 79; ++i) std::putchar('-');
}

}  // namespace numeric
