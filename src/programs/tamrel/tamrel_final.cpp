// The final model of a data set and its error estimates.
#include "tamrel_final.hpp"

#include <cmath>

#include "core/message.hpp"
#include "numeric/ddreieck.hpp"
#include "numeric/packed.hpp"

namespace tamrel {

using namespace core;
using namespace numeric;

FinalModel finalmodel;

namespace {

// Diagonal of an at-bound parameter in the final covariance.
constexpr double kAtBoundDiagonal = 4.49423283715579e+305;

}  // namespace

void regularise(double* A, const QminParam* rec, int P, double atbound, uint8_t* marks) {
  for (int k = 0; k < P; ++k) {
    double& d = A[tri(k) + k];
    const double v = *rec[k].value;
    if (d == 0.0) {
      d = kInsensitiveDiagonal;
      marks[k] = MARK_INSENSITIVE;
    } else if (v == rec[k].min || v == rec[k].max) {
      d = atbound;
      marks[k] = MARK_ATBOUND;
    } else {
      d *= kFreeScale;
      marks[k] = MARK_FREE;
    }
  }
}

double errorscale(double S, long informative, int P) {
  if (informative <= P) return 1.0;
  const auto dof = static_cast<double>(informative - P);
  return S >= dof + 3.0 * std::sqrt(2.0 * dof) ? std::sqrt(S / dof) : 1.0;
}

double FinalModel::sigma(int k) const {
  if (!covariance || k < 0 || static_cast<size_t>(tri(k) + k) >= C.size()) return 0.0;
  const double c = C[static_cast<size_t>(tri(k) + k)];
  return c > 0.0 ? g * std::sqrt(c) : 0.0;
}

void covariance(FinalModel& fm, const QminParam* rec, int P) {
  fm.g = errorscale(fm.S, fm.informative, P);
  fm.C = fm.N;
  fm.marks.assign(static_cast<size_t>(P), MARK_FREE);
  fm.covariance = false;
  if (P <= 0) return;
  regularise(fm.C.data(), rec, P, kAtBoundDiagonal, fm.marks.data());
  if (fm.n > 0) {
    int status = 0;
    dmsin(fm.C.data(), P, &status, kInversionEps);
    if (status != 0) {
      message<225>();
      std::fflush(stdout);
    } else {
      fm.covariance = true;
    }
  }
  for (int k = 0; k < P; ++k)
    if (fm.marks[static_cast<size_t>(k)] == MARK_ATBOUND)
      for (int j = 0; j <= k; ++j) fm.C[static_cast<size_t>(tri(k) + j)] = 0.0;
}

void printrho(FILE* f, double rho) {
  const double x = 1.0 - rho;
  int p = 0;
  if (rho < 1.0) {
    p = -static_cast<int>(std::floor(std::log10(x)));
    if (p < 0) p = 0;
  }
  std::fprintf(f, "1-rho=%.*f%c\n", p, 100.0 * x, '%');
}

}  // namespace tamrel
