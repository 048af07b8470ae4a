#include "numeric/chi2wert.hpp"

#include <cmath>

#include "core/fatal.hpp"
#include "core/integral.hpp"

namespace numeric {
using namespace core;

namespace {

constexpr double kTolerance = 2.220446049250313e-13;
constexpr double kTail = 72.0873067782343;        // 104 ln 2
constexpr double kErfcReach = 36.04365338911715;  // 52 ln 2
constexpr double kUnderflow = 708.3964185322641;  // -ln(smallest normal double)
constexpr double kSqrtPi = 1.7724538509055159;
constexpr double kSmallestNormal = 2.2250738585072014e-308;

// Density of the chi-square variable u in terms of t = sqrt(u):
// t^a e^(-t^2/2) / e^c.
struct ChiRecord {
  double a;    // n - 1
  double c;    // ln(2^(n/2) Gamma(n/2) / 2)
  double lim;  // ln of the smallest normal double
};

ChiRecord chi_record(int n) {
  ChiRecord r;
  r.a = n - 1;
  double c;
  int k;
  if (n % 2 == 1) {
    c = 0.2257913526447274;  // 1/2 ln(pi/2)
    k = 3;
  } else {
    c = 0;
    k = 2;
  }
  for (; k <= n - 2; k += 2) c += std::log(static_cast<double>(k));
  r.c = c;
  r.lim = -kUnderflow;
  return r;
}

double chiinnen(void* record, double t) {
  const auto* r = static_cast<const ChiRecord*>(record);
  if (t == 0) return std::fabs(r->a) < kSmallestNormal ? std::exp(-r->c) : 0;
  double e = r->a * std::log(t) - t * t / 2 - r->c;
  if (e < r->lim) return 0;
  return std::exp(e);
}

double erfinnen(void*, double t) { return std::exp(-t * t); }

// Rounding of the quadrature must not carry a probability out of [0, 1].
inline double probability(double p) {
  if (p > 1) return 1;
  if (p < 0) return 0;
  return p;
}

// Twice the log of the density in terms of u, up to a constant.
inline double g(int n, double u) { return (n - 1) * std::log(u) - u; }

}  // namespace

double chi2wert(int n, double x) {
  if (n < 1) internal_error("chi2_n_zero", "obj/chi2wert", 63);
  if (x <= 0) return 0;
  // An infinite statistic lies beyond every tail (the tail test below would
  // meet infinity minus infinity).
  if (std::isinf(x)) return 1;
  // Beyond x the tail is below 2^-104 of the peak region.
  if (x > n && g(n, x) < g(n, n) - kTail) return 1;
  ChiRecord r = chi_record(n);
  return probability(integral7(chiinnen, &r, 0, std::sqrt(x), kTolerance));
}

double chi2wertc(int n, double x) {
  if (n < 1) internal_error("chi2_n_zero", "obj/chi2wert", 97);
  if (x <= 0) return 1;
  if (std::isinf(x)) return 0;
  ChiRecord r = chi_record(n);
  double v = x > n ? x : n;
  if (g(n, v) / 2 - r.c < r.lim) return 0;
  // Upper end: where the density has fallen 2^-104 below its value at v, or
  // where it underflows, whichever comes first.
  double target = g(n, v) - kTail;
  double underflow_level = 2 * (r.c - kUnderflow);
  if (underflow_level > target) target = underflow_level;
  double U = v, step;
  do {
    step = (target - g(n, U)) / ((n - 1) / U - 1);
    U = U + step;
  } while (std::fabs(step) > 0.1);
  return probability(integral7(chiinnen, &r, std::sqrt(x), std::sqrt(U), kTolerance));
}

namespace suite {

double erf(double x) {
  if (x == 0) return 0;
  if (x < -6.5) return -1;
  if (x > 6.5) return 1;
  return 2 * integral7(erfinnen, nullptr, 0, x, kTolerance) / kSqrtPi;
}

double erfc(double x) {
  if (x < -6.5) return 2;
  double U;
  if (x > 0) {
    // The density has fallen to 2^-52 of its value at x, or underflows.
    double q = x * x + kErfcReach;
    U = q >= kUnderflow ? std::sqrt(kUnderflow) : std::sqrt(q);
    // Past the underflow level nothing is left: 0, never a reversed integral.
    if (x >= U) return 0;
  } else {
    U = std::sqrt(kErfcReach);
  }
  return 2 * integral7(erfinnen, nullptr, x, U, kTolerance) / kSqrtPi;
}

}  // namespace suite

}  // namespace numeric
