#include "numeric/rgwork.hpp"

#include <cstdlib>
#include <initializer_list>

#include "core/fatal.hpp"
#include "core/velmora.hpp"
#include "numeric/dreieck.hpp"

namespace numeric {
using namespace core;

namespace {

// Reduced indices are held in 16 bits.
constexpr int kMaxSparseOrder = 65535;

inline bool smaller(const RgEntry& a, const RgEntry& b) {
  return std::fabs(a.value) < std::fabs(b.value);
}

void sift_down(RgEntry* e, long count, long i) {
  for (;;) {
    long c = 2 * i + 1;
    if (c >= count) return;
    if (c + 1 < count && smaller(e[c + 1], e[c])) ++c;
    if (!smaller(e[c], e[i])) return;
    RgEntry t = e[c];
    e[c] = e[i];
    e[i] = t;
    i = c;
  }
}

// The thinned sparse form, kept when it is smaller than the dense one.
void thin_out(RgWork& W, const float* A, double thin) {
  const int n = W.n, m = W.m;
  const int* index = W.index;
  const float* scale = W.scale;
  long total = static_cast<long>(m) * (m - 1) / 2;
  RgEntry* e = kcalloc<RgEntry>(static_cast<size_t>(total));
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

void fill_dense(RgWork& W, const float* A) {
  const int n = W.n, m = W.m;
  const int* index = W.index;
  const float* scale = W.scale;
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

}  // namespace

RgStart rg_start(RgWork& W, const float* A, const float* b, const float* lb, const float* ub, int n,
                 float* x, uint8_t* densused, double thin) {
  if (n < 1) {
    if (densused != nullptr) *densused = 1;
    return RgStart::solved;
  }
  int* index = kcalloc<int>(static_cast<size_t>(n));
  float* scale = kcalloc<float>(static_cast<size_t>(n));
  int m = 0;
  for (int i = 0; i < n; ++i) {
    float a = A[static_cast<long>(i) * (i + 1) / 2 + i];
    if (isnotfinite(a) || a <= -FLT_MIN) {
      std::free(index);
      std::free(scale);
      return RgStart::refused;
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
    return RgStart::solved;
  }

  W = RgWork{};
  W.n = n;
  W.index = index;
  W.scale = scale;
  W.m = m;
  W.dense = true;
  if (m > 1 && thin > 0 && m <= kMaxSparseOrder) thin_out(W, A, thin);
  if (W.dense) fill_dense(W, A);

  const size_t mm = static_cast<size_t>(m);
  W.x = kcalloc<float>(mm);
  W.b = kcalloc<float>(mm);
  if (lb != nullptr) W.lb = kcalloc<float>(mm);
  W.ub = kcalloc<float>(mm);
  W.r = kcalloc<float>(mm);
  W.d = kcalloc<float>(mm);
  W.p = kcalloc<float>(mm);
  W.w = kcalloc<float>(mm);
  for (int i = 0; i < n; ++i) {
    int k = index[i];
    if (k < 0) continue;
    float s = scale[i];
    W.b[k] = clampf(b[i] * s);
    if (lb != nullptr) W.lb[k] = clampf(lb[i] / s);
    W.ub[k] = clampf(ub[i] / s);
    W.r[k] = W.b[k];
  }
  return RgStart::ready;
}

void rg_finish(RgWork& W, const float* lb, const float* ub, float* x, uint8_t* densused) {
  for (int i = 0; i < W.n; ++i) {
    int k = W.index[i];
    if (k < 0)
      x[i] = 0;
    else if (lb != nullptr && W.x[k] == W.lb[k])
      x[i] = lb[i];
    else if (W.x[k] == W.ub[k])
      x[i] = ub[i];
    else
      x[i] = clampf(static_cast<double>(W.x[k]) * W.scale[i]);
  }
  if (densused != nullptr) *densused = W.dense ? 1 : 0;

  std::free(W.A);
  std::free(W.entries);
  for (void* q : {static_cast<void*>(W.x), static_cast<void*>(W.b), static_cast<void*>(W.lb),
                  static_cast<void*>(W.ub), static_cast<void*>(W.r), static_cast<void*>(W.d),
                  static_cast<void*>(W.p), static_cast<void*>(W.w), static_cast<void*>(W.index),
                  static_cast<void*>(W.scale)})
    std::free(q);
  W = RgWork{};
}

void dense_ma(const RgWork& W, const float* x, float* y) { ma(x, W.A, y, W.m); }
double dense_atma(const RgWork& W, const float* x) { return atma(x, W.A, W.m); }

void nondense_ma(const RgWork& W, const float* x, float* y) {
  for (int k = 0; k < W.m; ++k) y[k] = x[k];
  for (long e = 0; e < W.nentries; ++e) {
    const RgEntry& t = W.entries[e];
    y[t.row] += x[t.column] * t.value;
    y[t.column] += x[t.row] * t.value;
  }
}

double nondense_atma(const RgWork& W, const float* x) {
  double s = 0;
  for (long e = 0; e < W.nentries; ++e) {
    const RgEntry& t = W.entries[e];
    float q = 2 * x[t.row] * x[t.column] * t.value;
    s += q;
  }
  for (int k = 0; k < W.m; ++k) {
    float q = x[k] * x[k];
    s += q;
  }
  return s;
}

}  // namespace numeric
