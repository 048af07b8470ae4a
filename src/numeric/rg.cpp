#include "numeric/rg.hpp"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "core/fatal.hpp"
#include "core/velmora.hpp"
#include "numeric/dreieck.hpp"

namespace {

// Every value stored into a float working value goes through this: overflow
// saturates at the largest float, magnitudes up to the smallest normal float
// become 0.
inline float clampf(double v) {
  if (v > FLT_MAX) return FLT_MAX;
  if (v < -FLT_MAX) return -FLT_MAX;
  if (std::fabs(v) <= FLT_MIN) return 0;
  return static_cast<float>(v);
}

// One kept off-diagonal element of the thinned scaled matrix (row > column,
// reduced indices); the unit diagonal is implicit.
struct Entry {
  float value;
  uint16_t row;
  uint16_t column;
};

// Reduced indices are held in 16 bits.
constexpr int kMaxSparseOrder = 65535;

enum class Step { failed, hit, converged, free };

struct Work {
  int m;
  bool dense;
  float* A;  // dense scaled matrix, packed, order m
  Entry* entries;
  long nentries;
  float* x;  // scaled point
  float* b;
  float* ub;
  float* r;  // residual b' - A'x'
  float* d;  // direction, with the opposite sign of the motion
  float* p;
  float* w;
  uint8_t* held;
  uint8_t* hitbefore;
  double kappa;
  int hitindex;  // (1-based) variable whose bound the last step hit, 0 none
};

void dense_ma(const Work& W, const float* x, float* y) { ma(x, W.A, y, W.m); }
double dense_atma(const Work& W, const float* x) { return atma(x, W.A, W.m); }

void nondense_ma(const Work& W, const float* x, float* y) {
  for (int k = 0; k < W.m; ++k) y[k] = x[k];
  for (long e = 0; e < W.nentries; ++e) {
    const Entry& t = W.entries[e];
    y[t.row] += x[t.column] * t.value;
    y[t.column] += x[t.row] * t.value;
  }
}

double nondense_atma(const Work& W, const float* x) {
  double s = 0;
  for (long e = 0; e < W.nentries; ++e) {
    const Entry& t = W.entries[e];
    float q = 2 * x[t.row] * x[t.column] * t.value;
    s += q;
  }
  for (int k = 0; k < W.m; ++k) {
    float q = x[k] * x[k];
    s += q;
  }
  return s;
}

inline void product(const Work& W, const float* x, float* y) {
  if (W.dense) dense_ma(W, x, y);
  else nondense_ma(W, x, y);
}
inline double quadratic(const Work& W, const float* x) {
  return W.dense ? dense_atma(W, x) : nondense_atma(W, x);
}

inline double sumsq(const float* v, int m) {
  double s = 0;
  for (int k = 0; k < m; ++k) {
    float q = v[k] * v[k];
    s += q;
  }
  return s;
}

// One exact line search along the motion -d, cut at the first bound.
Step abstieg(Work& W, double eps) {
  const int m = W.m;
  W.kappa = quadratic(W, W.d);
  // A NaN curvature is no descent direction either.
  if (!(W.kappa > 0)) return Step::failed;
  double dr = 0;
  for (int k = 0; k < m; ++k) {
    float q = W.d[k] * W.r[k];
    dr += q;
  }
  double alpha = -dr / W.kappa;
  int hit = 0;
  for (int k = 0; k < m; ++k) {
    float room = W.ub[k] - W.x[k];
    if (room + W.d[k] * alpha < 0) {
      hit = k + 1;
      float q = (W.x[k] - W.ub[k]) / W.d[k];
      alpha = q;
    }
  }
  for (int k = 0; k < m; ++k) W.x[k] = clampf(W.x[k] - W.d[k] * alpha);
  double decrease = -alpha * dr;
  W.hitindex = hit;
  if (hit > 0) {
    int k = hit - 1;
    W.held[k] = W.hitbefore[k];
    W.hitbefore[k] = 1;
    W.x[k] = W.ub[k];
  }
  product(W, W.x, W.w);
  for (int k = 0; k < m; ++k) {
    float q = W.b[k] - W.w[k];
    W.r[k] = clampf(q);
  }
  if (hit != 0) return Step::hit;
  return decrease < eps ? Step::converged : Step::free;
}

inline bool inside(const Work& W, int k) { return W.x[k] != W.ub[k]; }

void clear_held(Work& W) { std::memset(W.held, 0, static_cast<size_t>(W.m)); }

// Steepest-descent steps, each followed by at most F - 1 conjugate-gradient
// steps on the F variables strictly inside their bounds; a variable that hits
// the same bound twice is held until the held flags are next cleared.
bool solve(Work& W, double eps) {
  const int m = W.m;
  double g0 = 0;
  for (;;) {
    double G = 0;
    for (int k = 0; k < m; ++k) {
      bool outward = W.x[k] == W.ub[k] && W.r[k] > 0;
      if (W.held[k] || outward) {
        W.d[k] = 0;
      } else {
        W.d[k] = -W.r[k];
        float q = W.r[k] * W.r[k];
        G += q;
      }
    }
    if (!(G > g0)) {
      bool any = false;
      for (int k = 0; k < m; ++k) any = any || W.held[k];
      if (!any) return true;
      clear_held(W);
      continue;
    }
    g0 = 0;
    Step s = abstieg(W, eps);
    if (s == Step::failed) return false;
    if (s == Step::hit) continue;
    int F = 0;
    for (int k = 0; k < m; ++k) F += inside(W, k);
    for (int j = 1;; ++j) {
      for (int k = 0; k < m; ++k) W.p[k] = inside(W, k) ? W.r[k] : 0;
      if (j >= F) {
        g0 = sumsq(W.p, m);
        clear_held(W);
        break;
      }
      product(W, W.p, W.w);
      double dw = 0;
      for (int k = 0; k < m; ++k) {
        float q = W.d[k] * W.w[k];
        dw += q;
      }
      double beta = dw / W.kappa;
      bool allzero = true;
      for (int k = 0; k < m; ++k) {
        W.d[k] = clampf(beta * W.d[k] - W.p[k]);
        if (W.d[k] != 0) allzero = false;
      }
      if (allzero) {
        g0 = sumsq(W.r, m);
        clear_held(W);
        break;
      }
      s = abstieg(W, eps);
      if (s == Step::failed) return false;
      if (s == Step::converged) {
        g0 = sumsq(W.r, m);
        clear_held(W);
        break;
      }
      if (s == Step::hit) break;
    }
  }
}

inline bool smaller(const Entry& a, const Entry& b) { return std::fabs(a.value) < std::fabs(b.value); }

void sift_down(Entry* e, long count, long i) {
  for (;;) {
    long c = 2 * i + 1;
    if (c >= count) return;
    if (c + 1 < count && smaller(e[c + 1], e[c])) ++c;
    if (!smaller(e[c], e[i])) return;
    Entry t = e[c];
    e[c] = e[i];
    e[i] = t;
    i = c;
  }
}

}  // namespace

bool rg(const float* A, const float* b, float* x, const float* ub, int n, uint8_t* densused,
        double eps, double thin) {
  if (n < 1) {
    if (densused != nullptr) *densused = 1;
    return true;
  }
  int* index = kcalloc<int>(static_cast<size_t>(n));
  float* scale = kcalloc<float>(static_cast<size_t>(n));
  int m = 0;
  for (int i = 0; i < n; ++i) {
    float a = A[static_cast<long>(i) * (i + 1) / 2 + i];
    if (isnotfinite(a) || a <= -FLT_MIN) {
      std::free(index);
      std::free(scale);
      return false;
    }
    if (a < FLT_MIN) {
      index[i] = -1;
    } else {
      index[i] = m++;
      scale[i] = static_cast<float>(1 / std::sqrt(static_cast<double>(a)));
    }
  }
  if (m == 0) {
    for (int i = 0; i < n; ++i) x[i] = 0;
    if (densused != nullptr) *densused = 1;
    std::free(index);
    std::free(scale);
    return true;
  }

  Work W{};
  W.m = m;
  W.dense = true;
  // The thinned sparse form, when it is smaller than the dense one.
  if (m > 1 && thin > 0 && m <= kMaxSparseOrder) {
    long total = static_cast<long>(m) * (m - 1) / 2;
    Entry* e = kcalloc<Entry>(static_cast<size_t>(total));
    long count = 0;
    for (int i = 0; i < n; ++i) {
      if (index[i] < 0) continue;
      const float* row = A + static_cast<long>(i) * (i + 1) / 2;
      for (int j = 0; j < i; ++j) {
        if (index[j] < 0) continue;
        float v = row[j] * scale[i];
        v = v * scale[j];
        e[count++] = {clampf(v), static_cast<uint16_t>(index[i]), static_cast<uint16_t>(index[j])};
      }
    }
    for (long i = count / 2 - 1; i >= 0; --i) sift_down(e, count, i);
    double limit = thin / (2.0 * m);
    double c = std::fabs(e[0].value);
    if (c <= limit) {
      // Drop the smallest entries while their summed magnitude stays within
      // the limit; one entry always stays.
      while (count > 1) {
        e[0] = e[count - 1];
        --count;
        sift_down(e, count, 0);
        if (count == 1) break;
        c += std::fabs(e[0].value);
        if (c > limit) break;
      }
    }
    if (8 * count < 2 * static_cast<long>(m) * (m + 1)) {
      W.dense = false;
      W.entries = e;
      W.nentries = count;
    } else {
      std::free(e);
    }
  }
  if (W.dense) {
    W.A = kcalloc<float>(static_cast<size_t>(m) * (m + 1) / 2);
    long at = 0;
    for (int i = 0; i < n; ++i) {
      if (index[i] < 0) continue;
      const float* row = A + static_cast<long>(i) * (i + 1) / 2;
      for (int j = 0; j <= i; ++j) {
        if (index[j] < 0) continue;
        float v = row[j] * scale[i];
        v = v * scale[j];
        W.A[at++] = clampf(v);
      }
    }
  }

  const size_t mm = static_cast<size_t>(m);
  W.x = kcalloc<float>(mm);
  W.b = kcalloc<float>(mm);
  W.ub = kcalloc<float>(mm);
  W.r = kcalloc<float>(mm);
  W.d = kcalloc<float>(mm);
  W.p = kcalloc<float>(mm);
  W.w = kcalloc<float>(mm);
  W.held = kcalloc<uint8_t>(mm);
  W.hitbefore = kcalloc<uint8_t>(mm);
  for (int i = 0; i < n; ++i) {
    int k = index[i];
    if (k < 0) continue;
    float s = scale[i];
    W.b[k] = clampf(b[i] * s);
    W.ub[k] = clampf(ub[i] / s);
    W.r[k] = W.b[k];
  }

  bool ok = solve(W, eps);

  for (int i = 0; i < n; ++i) {
    int k = index[i];
    if (k < 0) x[i] = 0;
    else if (W.x[k] == W.ub[k]) x[i] = ub[i];
    else x[i] = clampf(static_cast<double>(W.x[k]) * scale[i]);
  }
  if (densused != nullptr) *densused = W.dense ? 1 : 0;

  std::free(W.A);
  std::free(W.entries);
  for (void* q : {static_cast<void*>(W.x), static_cast<void*>(W.b), static_cast<void*>(W.ub),
                  static_cast<void*>(W.r), static_cast<void*>(W.d), static_cast<void*>(W.p),
                  static_cast<void*>(W.w), static_cast<void*>(W.held),
                  static_cast<void*>(W.hitbefore)})
    std::free(q);
  std::free(index);
  std::free(scale);
  return ok;
}
