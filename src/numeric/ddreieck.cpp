#include "numeric/ddreieck.hpp"

#include "numeric/packed.hpp"

namespace numeric {

double dskapro(const double* a, const double* b, int n) { return packed_dot(a, b, n); }

void dma(const double* x, const double* A, double* y, int n) { packed_ma(x, A, y, n); }

double datma(const double* x, const double* A, int n) { return packed_atma(x, A, n); }

void dbau(const double* g, double* A, int n) { packed_bau(g, A, n); }

void dmfsp(double* A, int n, int* status, double eps) {
  // Every pivot that is not positive is reported as -1, whichever its row.
  if (!packed_factor(A, n, status, eps)) *status = -1;
}

void dmsin(double* A, int n, int* status, double eps) {
  dmfsp(A, n, status, eps);
  if (*status < 0) return;
  packed_invert_factor(A, n);
}

void ddquad(double* L, int n) {
  for (int i = n - 1; i >= 0; --i) {
    double* ri = L + tri(i);
    for (int k = i; k >= 0; --k) {
      const double* rk = L + tri(k);
      double s = 0;
      for (int m = 0; m <= k; ++m) s += ri[m] * rk[m];
      ri[k] = s;
    }
  }
}

}  // namespace numeric
