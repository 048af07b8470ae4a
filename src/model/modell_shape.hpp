// The component shapes of the line-profile model and the lane arithmetic
// they run on: private to the pattern model (modell_*.cpp), which evaluates
// them one value at a time and four values side by side.
#pragma once

#include <cstdint>
#include <cstring>

namespace model {

// ---------------------------------------------------------------------------
// Component shapes
//
// One component (weight a, Lorentzian width b1, squared-Lorentzian width b2)
// at offset d = e - P from a peak of unit intensity with own Lorentzian width
// lw and own squared-Lorentzian width beta:
//   kind 2  B = b1 + b2, D = d^2 + B^2:  a (b1 + 2 b2 B^2 / D) / D
//   kind 3  the same with b1 + lw
//   kind 4  b1' = b1 + lw, B = b1' + b2 + beta:
//           a (b1' + (2 (b2 + beta) B^2 - 6 b2 beta B + 8 b2 beta B^3 / D) / D) / D
// Each integrates over the position to pi a. With every width 0 the shape is
// zero except at d = 0, where D = 0: the numerators vanish there as well, so
// D is replaced by 1 and the component contributes nothing, as it does at
// every other offset (a line without any width cannot be sampled).

// The shapes are written once for a number type T: double for one value, or
// Lanes for four side by side (four points or four peaks), with the same
// operations per value in the same order, so that both give the same bits.

// The lane kernels are built for the plain x86-64 instruction set and again
// for AVX2, chosen at load time by what the processor has. The thread
// sanitizer cannot run such a load-time choice (it comes before the
// sanitizer's own start): its builds take the plain kernels only.
#if defined(__SANITIZE_THREAD__)
#define KALVO_LANE_TARGETS
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KALVO_LANE_TARGETS
#endif
#endif
#ifndef KALVO_LANE_TARGETS
#define KALVO_LANE_TARGETS __attribute__((target_clones("avx2", "default")))
#endif

// Four doubles side by side and the mask a comparison of them gives.
typedef double Lanes __attribute__((vector_size(32)));
typedef int64_t LaneMask __attribute__((vector_size(32)));
typedef float Floats __attribute__((vector_size(16)));
typedef int32_t FloatMask __attribute__((vector_size(16)));
constexpr int kLanes = 4;

// D <= 0 (or NaN) becomes 1, lane by lane.
[[gnu::always_inline]] inline void positive_or_one(double& dd) {
  if (!(dd > 0.0)) dd = 1.0;
}
[[gnu::always_inline]] inline void positive_or_one(Lanes& dd) {
  const LaneMask ok = dd > 0.0;
  const Lanes one = {1.0, 1.0, 1.0, 1.0};
  dd = reinterpret_cast<Lanes>((ok & reinterpret_cast<LaneMask>(dd)) |
                               (~ok & reinterpret_cast<LaneMask>(one)));
}

template <int K, class T>
[[gnu::always_inline]] inline void shape(T& out, const T& a, const T& b1, const T& b2, const T& d,
                                         const T& lw, const T& beta) {
  if constexpr (K == 2 || K == 3) {
    T l1 = b1;
    if constexpr (K == 3) l1 = b1 + lw;
    const T bb = l1 + b2;
    T dd = d * d + bb * bb;
    positive_or_one(dd);
    const T r1 = 1.0 / dd;
    out = a * (l1 + 2.0 * b2 * bb * bb * r1) * r1;
  } else {
    const T l1 = b1 + lw;
    const T c2 = b2 + beta;
    const T pr = b2 * beta;
    const T bb = l1 + c2;
    T dd = d * d + bb * bb;
    positive_or_one(dd);
    const T r1 = 1.0 / dd;
    out = a * (l1 + (2.0 * c2 * bb * bb - 6.0 * pr * bb + 8.0 * pr * bb * bb * bb * r1) * r1) * r1;
  }
}

template <int K>
inline double shape(double a, double b1, double b2, double d, double lw, double beta) {
  double out;
  shape<K, double>(out, a, b1, b2, d, lw, beta);
  return out;
}

// Value and partial derivatives of a shape with respect to the peak
// position P, the own Lorentzian width and the own squared-Lorentzian width
// beta, for unit intensity; ds is the derivative with respect to s = beta^2,
// db / (2 beta), in a form that holds at beta = 0 as well. A squared
// Lorentzian has a finite second moment, so a narrow one changes a shape by
// a term of order beta^2: db is 0 at beta = 0 while ds is not, and db
// divided by a small beta loses its digits to cancellation.
template <class T>
struct PartialsOf {
  T v{};
  T dp{};
  T dl{};
  T db{};
  T ds{};
};
using Partials = PartialsOf<double>;

template <int K, class T>
[[gnu::always_inline]] inline void dshape(const T& a, const T& b1, const T& b2, const T& d,
                                          const T& lw, const T& beta, PartialsOf<T>& acc) {
  if constexpr (K == 2 || K == 3) {
    T l1 = b1;
    if constexpr (K == 3) l1 = b1 + lw;
    const T bb = l1 + b2;
    T dd = d * d + bb * bb;
    positive_or_one(dd);
    const T r1 = 1.0 / dd;
    const T r2 = r1 * r1;
    const T r3 = r2 * r1;
    const T b2bb = b2 * bb * bb;
    acc.v += a * (l1 + 2.0 * b2bb * r1) * r1;
    acc.dp += a * 2.0 * d * (l1 + 4.0 * b2bb * r1) * r2;
    if constexpr (K == 3) {
      acc.dl += a * (r1 - 2.0 * bb * l1 * r2 + 4.0 * b2 * bb * r2 - 8.0 * b2bb * bb * r3);
    }
  } else {
    const T l1 = b1 + lw;
    const T c2 = b2 + beta;
    const T pr = b2 * beta;
    const T bb = l1 + c2;
    T dd = d * d + bb * bb;
    positive_or_one(dd);
    const T r1 = 1.0 / dd;
    const T r2 = r1 * r1;
    const T r3 = r2 * r1;
    const T r4 = r2 * r2;
    const T bb2 = bb * bb;
    const T bb3 = bb2 * bb;
    const T bb4 = bb2 * bb2;
    acc.v += a * (l1 + (2.0 * c2 * bb2 - 6.0 * pr * bb + 8.0 * pr * bb3 * r1) * r1) * r1;
    acc.dp +=
        a * d * (2.0 * l1 * r2 + 8.0 * c2 * bb2 * r3 - 24.0 * pr * bb * r3 + 48.0 * pr * bb3 * r4);
    acc.dl += a * (r1 - 2.0 * bb * l1 * r2 + 4.0 * c2 * bb * r2 - 8.0 * c2 * bb3 * r3 -
                   6.0 * pr * r2 + 48.0 * pr * bb2 * r3 - 48.0 * pr * bb4 * r4);
    acc.db += a * (-2.0 * bb * l1 * r2 + 2.0 * bb2 * r2 + 4.0 * c2 * bb * r2 - 8.0 * c2 * bb3 * r3 -
                   6.0 * b2 * bb * r2 - 6.0 * pr * r2 + 48.0 * pr * bb2 * r3 + 8.0 * b2 * bb3 * r3 -
                   48.0 * pr * bb4 * r4);
    acc.ds +=
        a * (3.0 * bb * r2 - 4.0 * bb3 * r3 + b2 * (24.0 * bb2 * r3 - 3.0 * r2 - 24.0 * bb4 * r4));
  }
}

template <int K>
inline void dshape(double a, double b1, double b2, double d, double lw, double beta,
                   Partials& acc) {
  dshape<K, double>(a, b1, b2, d, lw, beta, acc);
}

// ---------------------------------------------------------------------------
// Lane arithmetic

inline void loadlanes(Lanes& v, const double* p) { std::memcpy(&v, p, sizeof v); }
inline void broadcast(Lanes& v, double x) { v = Lanes{x, x, x, x}; }
inline bool allset(const LaneMask& mask) { return mask[0] && mask[1] && mask[2] && mask[3]; }
// a where mask is set, else b.
[[gnu::always_inline]] inline void choose(Lanes& out, const LaneMask& mask, const Lanes& a,
                                          const Lanes& b) {
  out = reinterpret_cast<Lanes>((mask & reinterpret_cast<LaneMask>(a)) |
                                (~mask & reinterpret_cast<LaneMask>(b)));
}
// |x| > 0.01, the blend's threshold of peakvalue.
[[gnu::always_inline]] inline void blended(LaneMask& out, const Lanes& x) {
  const LaneMask magnitude = {INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX};
  const Lanes ax = reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(x) & magnitude);
  out = ax > 0.01;
}
// The blend factor f = (1 - x^10)^2 and t9 = x^9, g1 = 1 - x^10 as peakvalue
// and peakpartials form them.
[[gnu::always_inline]] inline void blendfactor(const Lanes& x, Lanes& f, Lanes& t9, Lanes& g1) {
  const Lanes x2 = x * x;
  const Lanes x4 = x2 * x2;
  t9 = x4 * x4 * x;
  g1 = 1.0 - x * t9;
  f = g1 * g1;
}

}  // namespace model
