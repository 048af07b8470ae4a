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

}  // namespace scan
