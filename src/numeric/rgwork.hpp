// Working state of the bounded quadratic solvers rg and rg2 (used by those
// two modules and by the peak-fitting program's rg0 only): the Jacobi scaling of the packed matrix
// to a unit diagonal, the scaled matrix in its dense or thinned sparse form with its products, the
// working vectors, and the main loop of steepest-descent and conjugate-gradient steps. What depends
// on the kind of bounds (the step routine, the held and hit flags, which variables count as at a
// bound) stays with each solver.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "numeric/lsq.hpp"

namespace numeric {

// Every value stored into a float working value goes through this: overflow
// saturates at the largest float, magnitudes up to the smallest normal float
// become 0.
inline float clampf(double v) {
  if (v > FLT_MAX) return FLT_MAX;
  if (v < -FLT_MAX) return -FLT_MAX;
  if (std::fabs(v) <= FLT_MIN) return 0;
  return static_cast<float>(v);
}

// One kept off-diagonal element of the thinned scaled matrix (row > column,
// reduced indices); the unit diagonal is implicit.
struct RgEntry {
  float value;
  uint16_t row;
  uint16_t column;
};

// Outcome of one step along a search direction.
enum class RgStep { failed, hit, converged, free };

// The scaled problem in the reduced variables (those with a diagonal element
// of at least FLT_MIN): x' = x / s, b' = b s, bounds / s, with
// s = 1 / sqrt(A(i,i)).
struct RgWork {
  int n;         // order of the caller's problem
  int* index;    // reduced index of each input variable, -1 dropped
  float* scale;  // s of each input variable
  int m;         // number of reduced variables
  bool dense;
  float* A;  // dense scaled matrix, packed, order m
  RgEntry* entries;
  long nentries;
  float* x;  // scaled point
  float* b;
  float* lb;  // null for the one-sided problem
  float* ub;
  float* r;  // residual b' - A'x'
  float* d;  // direction, with the opposite sign of the motion
  float* p;
  float* w;
  double kappa;  // curvature d'A'd of the last step
};

enum class RgStart {
  refused,  // a non-finite or negative diagonal element: x untouched
  solved,   // nothing to solve (n < 1, or every variable dropped)
  ready,    // W holds the scaled problem with x' = 0 and r = b'
};

// Scales the problem (lb null for the one-sided problem) into W and chooses
// the matrix form: the thinned sparse form when thin > 0 and it is smaller
// than the dense one. On solved, x and *densused are written as the result;
// only on ready does W hold anything to be released by rg_finish.
RgStart rg_start(RgWork& W, const float* A, const float* b, const float* lb, const float* ub, int n,
                 float* x, uint8_t* densused, double thin);

// Writes the result back in the caller's variables (a variable at its scaled
// bound gets the caller's bound exactly, the lower one tested first), sets
// *densused and releases W.
void rg_finish(RgWork& W, const float* lb, const float* ub, float* x, uint8_t* densused);

// y := A'x and x'A'x in the chosen matrix form.
void dense_ma(const RgWork& W, const float* x, float* y);
double dense_atma(const RgWork& W, const float* x);
void nondense_ma(const RgWork& W, const float* x, float* y);
double nondense_atma(const RgWork& W, const float* x);

inline void rg_product(const RgWork& W, const float* x, float* y) {
  if (W.dense)
    dense_ma(W, x, y);
  else
    nondense_ma(W, x, y);
}
inline double rg_quadratic(const RgWork& W, const float* x) {
  return W.dense ? dense_atma(W, x) : nondense_atma(W, x);
}

// kappa := d'A'd along the current direction; false when the curvature is
// not positive (a NaN curvature included): no descent direction.
inline bool rg_curved(RgWork& W) {
  W.kappa = rg_quadratic(W, W.d);
  return W.kappa > 0;
}

// The motion x' := x' - alpha d.
inline void rg_move(RgWork& W, double alpha) {
  for (int k = 0; k < W.m; ++k) W.x[k] = clampf(W.x[k] - W.d[k] * alpha);
}

// r := b' - A'x', recomputed from scratch after every step.
inline void rg_residual(RgWork& W) {
  rg_product(W, W.x, W.w);
  for (int k = 0; k < W.m; ++k) {
    float q = W.b[k] - W.w[k];
    W.r[k] = clampf(q);
  }
}

// Steepest-descent steps, each followed by at most F - 1 conjugate-gradient
// steps on the F variables strictly inside their bounds; a variable that hits
// the same bound twice is held until the held flags are next cleared.
//
// Work is the solver's state, derived from RgWork, with is_held(k) (held at
// either bound), outward(k) (at a bound with the residual pushing outward),
// inside(k) (strictly inside the bounds) and clear_held(); abstieg is the
// solver's line search.
//
// With reopen, the reference norm after the conjugate-gradient steps of a
// face is that of the residual of the variables inside their bounds: a
// variable at its bound that the residual pulls back inside then raises the
// next sweep's norm, and the descent goes on with it free (and a bound on
// the sweeps, far above the few a solve takes, ends it should rounding keep
// a variable going in and out of its bound: the model-change tests solve once
// per test peak, and a degenerate system (points repeated at one angle,
// counts of many decades) went on for a thousand sweeps and more each time,
// which held a peak search for hours). Without it, the norm is that of
// the whole residual and the solve ends on the first face where the
// conjugate gradients converge (rg, rg2); the same bound on the sweeps
// ends it should that never happen.
template <class Work, bool reopen = false>
bool rg_solve(Work& W, double eps, RgStep (*abstieg)(Work&, double)) {
  const int m = W.m;
  double g0 = 0;
  const long maxsweeps = 50 + 2L * m;
  for (long sweeps = 0; sweeps != maxsweeps; ++sweeps) {
    double G = 0;
    for (int k = 0; k < m; ++k) {
      bool outward = W.outward(k);
      if (W.is_held(k) || outward) {
        W.d[k] = 0;
      } else {
        W.d[k] = -W.r[k];
        float q = W.r[k] * W.r[k];
        G += q;
      }
    }
    if (!(G > g0)) {
      bool any = false;
      for (int k = 0; k < m; ++k) any = any || W.is_held(k);
      if (!any) return true;
      W.clear_held();
      continue;
    }
    g0 = 0;
    RgStep s = abstieg(W, eps);
    if (s == RgStep::failed) return false;
    if (s == RgStep::hit) continue;
    int F = 0;
    for (int k = 0; k < m; ++k) F += W.inside(k);
    for (int j = 1;; ++j) {
      for (int k = 0; k < m; ++k) W.p[k] = W.inside(k) ? W.r[k] : 0;
      if (j >= F) {
        g0 = sum_of_squares(W.p, m);
        W.clear_held();
        break;
      }
      rg_product(W, W.p, W.w);
      double beta = sum_of_products(W.d, W.w, m) / W.kappa;
      bool allzero = true;
      for (int k = 0; k < m; ++k) {
        W.d[k] = clampf(beta * W.d[k] - W.p[k]);
        if (W.d[k] != 0) allzero = false;
      }
      if (allzero) {
        g0 = sum_of_squares(reopen ? W.p : W.r, m);
        W.clear_held();
        break;
      }
      s = abstieg(W, eps);
      if (s == RgStep::failed) return false;
      if (s == RgStep::converged) {
        if (reopen)
          for (int k = 0; k < m; ++k) W.p[k] = W.inside(k) ? W.r[k] : 0;
        g0 = sum_of_squares(reopen ? W.p : W.r, m);
        W.clear_held();
        break;
      }
      if (s == RgStep::hit) break;
    }
  }
  return true;
}

}  // namespace numeric
