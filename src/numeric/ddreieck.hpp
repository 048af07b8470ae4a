// Packed symmetric matrices in double precision: the same storage and
// arithmetic as the single-precision kernels of dreieck.hpp.
#pragma once

namespace numeric {

double dskapro(const double* a, const double* b, int n);
void dma(const double* x, const double* A, double* y, int n);
double datma(const double* x, const double* A, int n);
void dbau(const double* g, double* A, int n);

// Cholesky factorisation A = L L' in place. *status: 0, or k > 0 for a small
// pivot in (1-based) row k (the last such row), or -1 for n < 1 and for a
// zero or negative pivot in any row (the columns before it are factored).
void dmfsp(double* A, int n, int* status, double eps);

// Inversion in place (dmfsp, then the inverse of L and the product L^-T L^-1).
// Status as dmfsp; on -1 the array is not an inverse.
void dmsin(double* A, int n, int* status, double eps);

// L L' in place for a packed lower-triangular factor L.
void ddquad(double* L, int n);

}  // namespace numeric
