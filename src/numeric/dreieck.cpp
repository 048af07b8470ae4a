#include "numeric/dreieck.hpp"

#include <cmath>

namespace {

inline long tri(long i) { return i * (i + 1) / 2; }

}  // namespace

double skapro(const float* a, const float* b, int n) {
  double s = 0;
  int k = 0;
  for (; k + 3 <= n; k += 3) {
    float g = a[k] * b[k] + a[k + 1] * b[k + 1] + a[k + 2] * b[k + 2];
    s += g;
  }
  for (; k < n; ++k) {
    float p = a[k] * b[k];
    s += p;
  }
  return s;
}

void ma(const float* x, const float* A, float* y, int n) {
  for (int i = 0; i < n; ++i) {
    const float* row = A + tri(i);
    double s = 0;
    for (int j = 0; j < i; ++j) {
      y[j] = static_cast<float>(static_cast<double>(row[j]) * x[i] + y[j]);
      float p = row[j] * x[j];
      s += p;
    }
    y[i] = static_cast<float>(s + static_cast<double>(x[i]) * row[i]);
  }
}

double atma(const float* x, const float* A, int n) {
  if (n < 1) return 0;
  double d = 0, s1 = 0, s2 = 0;
  for (int i = 0; i < n; ++i) {
    const float* row = A + tri(i);
    double xi = x[i];
    d += xi * (static_cast<double>(row[i]) * xi);
    for (int j = 0; j < i; j += 2) s1 += static_cast<double>(row[j]) * xi * x[j];
    for (int j = 1; j < i; j += 2) s2 += static_cast<double>(row[j]) * xi * x[j];
  }
  return d + (s1 + s2) * 2;
}

void bau(const float* g, float* A, int n) {
  for (int i = 0; i < n; ++i) {
    float* row = A + tri(i);
    double gi = g[i];
    for (int j = 0; j <= i; ++j)
      row[j] = static_cast<float>(static_cast<double>(g[j]) * gi + row[j]);
  }
}

void msin(float* A, int n, int* status, double eps) {
  if (n < 1) {
    *status = -1;
    return;
  }
  *status = 0;
  // Factorisation A = L L', column by column.
  for (int k = 0; k < n; ++k) {
    const float* rk = A + tri(k);
    double t = std::fabs(eps * A[tri(k) + k]);
    double r = 0;
    for (int i = k; i < n; ++i) {
      float* ri = A + tri(i);
      double s = 0;
      for (int m = k - 1; m >= 0; --m) {
        float p = ri[m] * rk[m];
        s += p;
      }
      double d = ri[k] - s;
      if (i == k) {
        if (d <= t) {
          if (d <= 0) {
            *status = -(k + 1);
            return;
          }
          *status = k + 1;
        }
        double root = std::sqrt(d);
        ri[k] = static_cast<float>(root);
        r = 1 / root;
      } else {
        ri[k] = static_cast<float>(d * r);
      }
    }
  }
  // M = L^-1 in place, last column first; going up from the last row keeps
  // every L(m,k) still needed unchanged.
  for (int k = n - 1; k >= 0; --k) {
    double r = 1 / static_cast<double>(A[tri(k) + k]);
    A[tri(k) + k] = static_cast<float>(r);
    for (int i = n - 1; i > k; --i) {
      float* ri = A + tri(i);
      double s = 0;
      for (int m = k + 1; m <= i; ++m) {
        float p = ri[m] * A[tri(m) + k];
        s += p;
      }
      ri[k] = static_cast<float>(-r * s);
    }
  }
  // A^-1 = M'M in place.
  for (int c = 0; c < n; ++c) {
    for (int r = c; r < n; ++r) {
      double s = 0;
      for (int m = r; m < n; ++m) {
        const float* rm = A + tri(m);
        float p = rm[r] * rm[c];
        s += p;
      }
      A[tri(r) + c] = static_cast<float>(s);
    }
  }
}
