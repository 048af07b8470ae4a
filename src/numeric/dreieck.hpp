// Packed symmetric matrices in single precision.
//
// A symmetric n x n matrix is kept as its lower triangle, row after row:
// element (i, j), j <= i, lies at index i(i+1)/2 + j; n(n+1)/2 elements.
// The kernels accumulate their sums in double precision. They keep no state
// and allocate nothing, so any number of threads may call them on different
// arrays.
#pragma once

namespace numeric {

// Dot product of two float vectors: products summed three at a time in
// single precision, each group's sum added to a double accumulator.
double skapro(const float* a, const float* b, int n);

// y := A x. y must not overlap x; its input content is not used.
void ma(const float* x, const float* A, float* y, int n);

// Quadratic form x'Ax.
double atma(const float* x, const float* A, int n);

// A := A + g g' over the leading n rows and columns.
void bau(const float* g, float* A, int n);

// Cholesky factorisation and inversion in place. *status: 0 all pivots large
// enough; k > 0 the pivot of (1-based) row k was positive but at most eps
// times its input diagonal element (the last such row; the inverse is still
// complete); -k the pivot of row k was zero or negative (the array then holds
// a partial factorisation); -1 for n < 1.
void msin(float* A, int n, int* status, double eps);

}  // namespace numeric
