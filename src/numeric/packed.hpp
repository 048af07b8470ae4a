// The packed symmetric-matrix kernels for either element type (used by the
// single-precision family dreieck and the double family ddreieck only).
//
// T is the element type of the matrix and its vectors. A product of two
// elements is formed in T (a single product for float), every sum is
// accumulated in double, and every stored element is rounded to T once.
// For T = double the casts do nothing.
#pragma once

#include <cmath>

namespace numeric {

inline long tri(long i) { return i * (i + 1) / 2; }

// Dot product: products taken in groups of three, each group summed in T
// and added to the double accumulator; the remaining products one by one.
template <class T>
double packed_dot(const T* a, const T* b, int n) {
  double s = 0;
  int k = 0;
  for (; k + 3 <= n; k += 3) {
    T g = a[k] * b[k] + a[k + 1] * b[k + 1] + a[k + 2] * b[k + 2];
    s += g;
  }
  for (; k < n; ++k) {
    T p = a[k] * b[k];
    s += p;
  }
  return s;
}

#if defined(__GNUC__) && !defined(__clang__)
// Loops over independent elements: g++ vectorises them at -O2 only when told
// that it pays.
#define KALVO_VECTORISE [[gnu::optimize("vect-cost-model=cheap")]]
#else
#define KALVO_VECTORISE
#endif

// y := A x. y must not overlap x; its input content is not used. The
// updates of y by row i are independent of one another and of the row's own
// sum, so they run in a loop of their own, side by side.
template <class T>
KALVO_VECTORISE void packed_ma(const T* __restrict x, const T* __restrict A, T* __restrict y,
                               int n) {
  for (int i = 0; i < n; ++i) {
    const T* row = A + tri(i);
    const double xi = x[i];
    for (int j = 0; j < i; ++j) y[j] = static_cast<T>(static_cast<double>(row[j]) * xi + y[j]);
    double s = 0;
    for (int j = 0; j < i; ++j) {
      T p = row[j] * x[j];
      s += p;
    }
    y[i] = static_cast<T>(s + xi * row[i]);
  }
}

// Quadratic form x'Ax.
template <class T>
double packed_atma(const T* x, const T* A, int n) {
  if (n < 1) return 0;
  double d = 0, s1 = 0, s2 = 0;
  for (int i = 0; i < n; ++i) {
    const T* row = A + tri(i);
    double xi = x[i];
    d += xi * (static_cast<double>(row[i]) * xi);
    for (int j = 0; j < i; j += 2) s1 += static_cast<double>(row[j]) * xi * x[j];
    for (int j = 1; j < i; j += 2) s2 += static_cast<double>(row[j]) * xi * x[j];
  }
  return d + (s1 + s2) * 2;
}

// A := A + g g'.
template <class T>
void packed_bau(const T* g, T* A, int n) {
  for (int i = 0; i < n; ++i) {
    T* row = A + tri(i);
    double gi = g[i];
    for (int j = 0; j <= i; ++j) row[j] = static_cast<T>(static_cast<double>(g[j]) * gi + row[j]);
  }
}

// Cholesky factorisation A = L L' in place, column by column. *status: 0,
// or k > 0 for a pivot of (1-based) row k that is positive but at most eps
// times its input diagonal element (the last such row); -1 for n < 1 and
// -k for a zero or negative pivot in row k, where the factorisation stops
// with the columns before k factored. Returns whether the factor is complete.
template <class T>
bool packed_factor(T* A, int n, int* status, double eps) {
  if (n < 1) {
    *status = -1;
    return false;
  }
  *status = 0;
  for (int k = 0; k < n; ++k) {
    const T* rk = A + tri(k);
    double t = std::fabs(eps * A[tri(k) + k]);
    double r = 0;
    for (int i = k; i < n; ++i) {
      T* ri = A + tri(i);
      double s = 0;
      for (int m = k - 1; m >= 0; --m) {
        T p = ri[m] * rk[m];
        s += p;
      }
      double d = ri[k] - s;
      if (i == k) {
        if (d <= t) {
          if (d <= 0) {
            *status = -(k + 1);
            return false;
          }
          *status = k + 1;
        }
        double root = std::sqrt(d);
        ri[k] = static_cast<T>(root);
        r = 1 / root;
      } else {
        ri[k] = static_cast<T>(d * r);
      }
    }
  }
  return true;
}

// The inverse of A from its complete Cholesky factor L in place: M = L^-1,
// then A^-1 = M'M.
template <class T>
void packed_invert_factor(T* A, int n) {
  // M = L^-1 in place, last column first; going up from the last row keeps
  // every L(m,k) still needed unchanged.
  for (int k = n - 1; k >= 0; --k) {
    double r = 1 / static_cast<double>(A[tri(k) + k]);
    A[tri(k) + k] = static_cast<T>(r);
    for (int i = n - 1; i > k; --i) {
      T* ri = A + tri(i);
      double s = 0;
      for (int m = k + 1; m <= i; ++m) {
        T p = ri[m] * A[tri(m) + k];
        s += p;
      }
      ri[k] = static_cast<T>(-r * s);
    }
  }
  // A^-1 = M'M in place.
  for (int c = 0; c < n; ++c) {
    for (int r = c; r < n; ++r) {
      double s = 0;
      for (int m = r; m < n; ++m) {
        const T* rm = A + tri(m);
        T p = rm[r] * rm[c];
        s += p;
      }
      A[tri(r) + c] = static_cast<T>(s);
    }
  }
}

}  // namespace numeric
