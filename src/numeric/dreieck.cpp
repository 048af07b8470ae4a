#include "numeric/dreieck.hpp"

#include "numeric/packed.hpp"

namespace numeric {

double skapro(const float* a, const float* b, int n) { return packed_dot(a, b, n); }

void ma(const float* x, const float* A, float* y, int n) { packed_ma(x, A, y, n); }

double atma(const float* x, const float* A, int n) { return packed_atma(x, A, n); }

void bau(const float* g, float* A, int n) { packed_bau(g, A, n); }

void msin(float* A, int n, int* status, double eps) {
  if (packed_factor(A, n, status, eps)) packed_invert_factor(A, n);
}

}  // namespace numeric
