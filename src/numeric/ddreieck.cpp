#include "numeric/ddreieck.hpp"

#include <cmath>

namespace {

inline long tri(long i) { return i * (i + 1) / 2; }

}  // namespace

double dskapro(const double* a, const double* b, int n) {
  double s = 0;
  int k = 0;
  for (; k + 3 <= n; k += 3) s += a[k] * b[k] + a[k + 1] * b[k + 1] + a[k + 2] * b[k + 2];
  for (; k < n; ++k) s += a[k] * b[k];
  return s;
}

void dma(const double* x, const double* A, double* y, int n) {
  for (int i = 0; i < n; ++i) {
    const double* row = A + tri(i);
    double s = 0;
    for (int j = 0; j < i; ++j) {
      y[j] = row[j] * x[i] + y[j];
      s += row[j] * x[j];
    }
    y[i] = s + x[i] * row[i];
  }
}

double datma(const double* x, const double* A, int n) {
  if (n < 1) return 0;
  double d = 0, s1 = 0, s2 = 0;
  for (int i = 0; i < n; ++i) {
    const double* row = A + tri(i);
    double xi = x[i];
    d += xi * (row[i] * xi);
    for (int j = 0; j < i; j += 2) s1 += row[j] * xi * x[j];
    for (int j = 1; j < i; j += 2) s2 += row[j] * xi * x[j];
  }
  return d + (s1 + s2) * 2;
}

void dbau(const double* g, double* A, int n) {
  for (int i = 0; i < n; ++i) {
    double* row = A + tri(i);
    for (int j = 0; j <= i; ++j) row[j] = g[j] * g[i] + row[j];
  }
}

void dmfsp(double* A, int n, int* status, double eps) {
  if (n < 1) {
    *status = -1;
    return;
  }
  *status = 0;
  for (int k = 0; k < n; ++k) {
    const double* rk = A + tri(k);
    double t = std::fabs(eps * A[tri(k) + k]);
    double r = 0;
    for (int i = k; i < n; ++i) {
      double* ri = A + tri(i);
      double s = 0;
      for (int m = k - 1; m >= 0; --m) s += ri[m] * rk[m];
      double d = ri[k] - s;
      if (i == k) {
        if (d <= t) {
          if (d <= 0) {
            *status = -1;
            return;
          }
          *status = k + 1;
        }
        double root = std::sqrt(d);
        ri[k] = root;
        r = 1 / root;
      } else {
        ri[k] = d * r;
      }
    }
  }
}

void dmsin(double* A, int n, int* status, double eps) {
  dmfsp(A, n, status, eps);
  if (*status < 0) return;
  for (int k = n - 1; k >= 0; --k) {
    double r = 1 / A[tri(k) + k];
    A[tri(k) + k] = r;
    for (int i = n - 1; i > k; --i) {
      double* ri = A + tri(i);
      double s = 0;
      for (int m = k + 1; m <= i; ++m) s += ri[m] * A[tri(m) + k];
      ri[k] = -r * s;
    }
  }
  for (int c = 0; c < n; ++c) {
    for (int r = c; r < n; ++r) {
      double s = 0;
      for (int m = r; m < n; ++m) {
        const double* rm = A + tri(m);
        s += rm[r] * rm[c];
      }
      A[tri(r) + c] = s;
    }
  }
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
