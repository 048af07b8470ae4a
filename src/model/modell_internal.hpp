// The pattern model's private header, shared by its files and by nothing
// outside them:
//   modell_tables.cpp  the measured pattern, the peak record with its
//                      allocation and sorting, and the per-point profile
//                      tables (hinit, hfrei, profiletables) with the
//                      position of strongest response of every point;
//   modell_eval.cpp    the peak kernels, the pattern model on the worker
//                      pool and its derivative rows, four values side by
//                      side, in ordinary and derivative mode;
//   modell_diag.cpp    the single-peak diagnostics (innen1, innen,
//                      estimatet0, hwb).
// The component shapes and their lane arithmetic are in modell_shape.hpp.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdlib>

#include "core/velmora.hpp"
#include "model/modell_shape.hpp"
#include "scan/ddm.hpp"

// The namespace cannot be called modell: that is the name of the model's
// function.
namespace model::pattern {

inline constexpr const char* kModule = "obj/modell";

// ---------------------------------------------------------------------------
// Memory

template <class T>
T* zalloc(size_t count) {
  if (count == 0) return nullptr;
  void* p = std::calloc(count, sizeof(T));
  if (p == nullptr) core::outofmemory();
  return static_cast<T*>(p);
}

// ---------------------------------------------------------------------------
// Per-point tables (modell_tables.cpp)

extern int m_h;       // tabulated points
extern float** h;     // h[i]: hdim[i] rows of (a, b1, b2, e)
extern float* hrows;  // the storage of all rows
extern int* hdim;
extern float* h0;      // summary (S, mean b1, effective b2, centroid) per point
extern float* polk;    // polarisation factor per point, when the tables were built with it
extern double* sdata;  // position of strongest response per point
extern int* sort;      // points by ascending sdata

// Derivative mode: the pattern rows are derivative estimates of the interior
// points, and the model is differentiated with the same weights.
inline bool ddmmode() { return scan::ifddm && scan::ddmrange != nullptr; }

// ---------------------------------------------------------------------------
// Near and far
//
// x = (P - centroid) / (15 (mean b1 + effective b2)). For |x| >= 1 the peak
// sees the point's summary as one component (the far form); closer in, the
// exact component sum is blended with it by f = (1 - x^10)^2, which is 1 for
// |x| <= 0.01. A point whose summary has no width at all puts a peak at its
// centroid into the exact sum (x is then 0/0, which no comparison accepts).

template <int K>
double peakvalue(const float* summary, const float* rows, int nrows, double pos, double lw,
                 double beta) {
  const double sw = static_cast<double>(summary[1]) + static_cast<double>(summary[2]);
  const double x = (pos - summary[3]) / (15.0 * sw);
  if (x <= -1.0 || x >= 1.0)
    return shape<K>(summary[0], summary[1], summary[2], summary[3] - pos, lw, beta);
  double sum = 0.0;
  for (int k = 0; k < nrows; ++k) {
    const float* row = rows + 4 * k;
    sum += shape<K>(row[0], row[1], row[2], row[3] - pos, lw, beta);
  }
  if (std::fabs(x) > 0.01) {
    const double x2 = x * x;
    const double x4 = x2 * x2;
    const double t9 = x4 * x4 * x;
    const double g1 = 1.0 - x * t9;
    const double f = g1 * g1;
    const double far = shape<K>(summary[0], summary[1], summary[2], summary[3] - pos, lw, beta);
    return f * sum + (1.0 - f) * far;
  }
  return sum;
}

// negative fourth parameter has no real beta; it counts as 0.
template <int K>
inline void ownwidths(const float* block, double& lw, double& beta) {
  lw = (K >= 3) ? static_cast<double>(block[2]) : 0.0;
  beta = 0.0;
  if constexpr (K == 4) {
    const double s = block[3];
    beta = s > 0.0 ? std::sqrt(s) : 0.0;
  }
}

// ---------------------------------------------------------------------------
// State of the pattern model's passes (modell_eval.cpp), built and released
// with the tables

// The per-point summary and component rows in the layout of the lane
// kernels, for npoints tabulated points.
void lanesinit(int npoints);
void lanesfree();

// Derivative mode: the model values of the points the windows take in.
extern float* ddmvalues;
extern int ddmvaluessize;
// Releases the window of derivative-mode rows.
void ablfree();

}  // namespace model::pattern
