// Derivative-mode state and the Savitzky-Golay weights of its rows.
#include "scan/ddm.hpp"

#include "core/fatal.hpp"

namespace scan {
using namespace core;

bool ifddm = false;
int* ddmrange = nullptr;
float* ddmoriintensitaet = nullptr;
int ddm_mmax = 2;

double ddmpolynome(int j, int kind, int r) {
  const double rr = r;
  const double jj = j;
  switch (kind) {
    case 0:
      return 3.0 * jj / (rr * (rr + 1.0) * (2.0 * rr + 1.0));
    case 1: {
      const double q = 4.0 * rr * (rr + 1.0) - 3.0;
      return 45.0 * jj * jj / (rr * (rr + 1.0) * (2.0 * rr + 1.0) * q) -
             15.0 / ((2.0 * rr + 1.0) * q);
    }
    default:
      internal_error("wrong k2", "obj/modell", 793);
  }
}

void DdmWeights::tabulate(int r) {
  table_.resize(static_cast<std::size_t>(r + 1) * (r + 1));
  for (int k = tabulated_; k <= r; ++k) {
    double* at = table_.data() + static_cast<std::size_t>(k) * (k + 1);
    // Half-width 0 has no weights of its own but 0 at offset 0.
    for (int j = -k; j <= k; ++j) at[j] = k > 0 ? ddmpolynome(j, kind_, k) : 0.0;
  }
  tabulated_ = r + 1;
}

void DdmWeights::widen(int r) {
  if (wide_weights_.size() < static_cast<std::size_t>(2 * r + 1))
    wide_weights_.resize(static_cast<std::size_t>(2 * r + 1));
  for (int j = -r; j <= r; ++j)
    wide_weights_[static_cast<std::size_t>(j + r)] = ddmpolynome(j, kind_, r);
  wide_ = r;
}

}  // namespace scan
