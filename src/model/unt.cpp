// Background model: Lagrange polynomial in ln(sin theta) plus an optional
// scaled and an optional fixed measured curve.
#include "model/unt.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/velmora.hpp"
#include "scan/apx63.hpp"
#include "scan/ddm.hpp"

namespace model {
using namespace core;
using namespace scan;

namespace {

int ru = 0;           // polynomial coefficients after the set-up
float* xi = nullptr;  // [ru] nodes in ln x, ascending
float* ui = nullptr;  // [ru] Lagrange denominators
int muntv = 0;        // scaled curve
float* untvsin = nullptr;
float* untvint = nullptr;
float untvmin = 0.0f;  // subtracted from the scaled curve before scaling
int muntc = 0;         // fixed curve
float* untcsin = nullptr;
float* untcint = nullptr;

void* allocate(size_t bytes) {
  void* p = std::calloc(bytes > 0 ? bytes : 1, 1);
  if (p == nullptr) outofmemory();
  return p;
}

// The curve list: names separated by commas, optionally wrapped as
// TDS(names), which asks for the thermal-diffuse correction.
ScanNameNode* parselist(const char* text, bool* tds) {
  const size_t len = std::strlen(text);
  *tds = len >= 5 && std::strncmp(text, "TDS", 3) == 0 && text[3] == '(' && text[len - 1] == ')';
  const char* p = std::strchr(text, '(');
  p = p != nullptr ? p + 1 : text;
  ScanNameNode* head = nullptr;
  ScanNameNode** tail = &head;
  for (;;) {
    const char* end = p;
    while (*end != '\0' && *end != ',' && *end != ')') ++end;
    size_t itemlen = static_cast<size_t>(end - p);
    if (itemlen > 0) {
      if (itemlen > 7996) itemlen = 7996;
      auto* node = static_cast<ScanNameNode*>(allocate(sizeof(ScanNameNode)));
      std::memcpy(node->name, p, itemlen);
      node->name[itemlen] = '\0';
      node->next = nullptr;
      *tail = node;
      tail = &node->next;
    }
    if (*end != ',') break;
    p = end + 1;
  }
  return head;
}

void freelist(ScanNameNode* list) {
  while (list != nullptr) {
    ScanNameNode* next = list->next;
    std::free(list);
    list = next;
  }
}

// Ascending heap sort of a curve by its x values, the intensities along.
void siftcurve(float* s, float* v, int root, int end) {
  for (;;) {
    int child = 2 * root + 1;
    if (child > end) return;
    if (child + 1 <= end && s[child + 1] > s[child]) ++child;
    if (!(s[child] > s[root])) return;
    std::swap(s[root], s[child]);
    std::swap(v[root], v[child]);
    root = child;
  }
}

void heapsort(int count, float* s, float* v) {
  if (count < 2) return;
  for (int start = (count - 2) / 2; start >= 0; --start) siftcurve(s, v, start, count - 1);
  for (int end = count - 1; end > 0; --end) {
    std::swap(s[0], s[end]);
    std::swap(v[0], v[end]);
    siftcurve(s, v, 0, end - 1);
  }
}

// Thermal-diffuse correction of a curve (s ascending): each point receives
// the logarithmic-kernel sum over the interior points; fewer than 4 points
// give zeros.
float* tdskorr(int count, const float* s, const float* v) {
  auto* out = static_cast<float*>(allocate(sizeof(float) * static_cast<size_t>(count)));
  if (count < 4) return out;
  const float range = s[count - 1] - s[0];
  if (!(range > 0.0f)) return out;
  const float delta = range / static_cast<float>(count);
  const float range2 = range * range;
  const float delta2 = delta * delta;
  for (int j = 2; j <= count - 2; ++j) {
    const float weight = (s[j + 1] - s[j - 1]) * v[j];
    for (int i = 0; i < count; ++i) {
      const float dist = s[j] - s[i];
      const float denom = dist * dist + delta2;
      out[i] = static_cast<float>(out[i] + std::log(static_cast<double>(range2 / denom)) * weight);
    }
  }
  return out;
}

// Reads one curve list through the scan reader and keeps the points inside
// [xmin, xmax], sorted. The pattern's derivative-mode state is not touched:
// the curve is read as plain intensities.
void readcurve(const char* text, float xmin, float xmax, int* count, float** s, float** v) {
  bool tds = false;
  ScanNameNode* list = parselist(text, &tds);
  static char lambda[8001];
  lambda[0] = '\0';
  int npts = 0;
  float* sin = nullptr;
  float* inten = nullptr;
  float* weights = nullptr;
  const bool saved = ifddm;
  ifddm = false;
  getval(list, 8000, lambda, &npts, &sin, &inten, &weights);
  ifddm = saved;
  freelist(list);
  std::free(weights);
  int kept = 0;
  for (int i = 0; i < npts; ++i) {
    if (sin[i] >= xmin && sin[i] <= xmax) {
      sin[kept] = sin[i];
      inten[kept] = inten[i];
      ++kept;
    }
  }
  if (kept == 0) {
    std::free(sin);
    std::free(inten);
    *count = 0;
    *s = nullptr;
    *v = nullptr;
    return;
  }
  heapsort(kept, sin, inten);
  if (tds) {
    float* corrected = tdskorr(kept, sin, inten);
    std::free(inten);
    inten = corrected;
  }
  *count = kept;
  *s = sin;
  *v = inten;
}

// Linear interpolation in a curve, extended beyond its ends by the end
// segments. Coinciding abscissae (a curve of one point, or a repeated angle)
// give the mean of their intensities in place of a division by zero.
double interpolate(int count, const float* s, const float* v, double x) {
  int lo = 0, hi = count - 1;
  while (hi - lo >= 2) {
    const int mid = (hi + lo) / 2;
    if (x > s[mid])
      lo = mid;
    else
      hi = mid;
  }
  const float span = s[hi] - s[lo];
  if (span == 0.0f) return 0.5 * (static_cast<double>(v[lo]) + v[hi]);
  return (v[hi] * (x - s[lo]) + v[lo] * (s[hi] - x)) / span;
}

// Lagrange basis value k at L (single precision, products in ascending j).
inline float basis(int k, float lnx) {
  float prod = 1.0f;
  for (int j = 0; j < k; ++j) prod *= lnx - xi[j];
  for (int j = k + 1; j < ru; ++j) prod *= lnx - xi[j];
  return prod / ui[k];
}

}  // namespace

void unt2() {
  std::free(xi);
  std::free(ui);
  std::free(untvsin);
  std::free(untvint);
  std::free(untcsin);
  std::free(untcint);
  xi = ui = untvsin = untvint = untcsin = untcint = nullptr;
}

void unt1(int count, const float* x, int nx, const char* scaled, const char* fixed) {
  if (count > kMostBackground) fatal<-117>(count, kMostBackground);
  unt2();
  muntv = 0;
  muntc = 0;
  untvmin = 0.0f;
  ru = count > 0 ? count : 0;
  if (ru == 0) return;
  float xmin = x[0], xmax = x[0];
  for (int i = 1; i < nx; ++i) {
    if (x[i] < xmin) xmin = x[i];
    if (x[i] > xmax) xmax = x[i];
  }
  if (fixed != nullptr) readcurve(fixed, xmin, xmax, &muntc, &untcsin, &untcint);
  if (scaled != nullptr && ru >= 1) {
    readcurve(scaled, xmin, xmax, &muntv, &untvsin, &untvint);
    if (muntv > 0) ru -= 1;
    if (ru >= 1 && muntv >= 2) {
      // The lowest-angle point is left out of the minimum.
      untvmin = untvint[1];
      for (int i = 2; i < muntv; ++i)
        if (untvint[i] < untvmin) untvmin = untvint[i];
    } else {
      untvmin = 0.0f;
    }
  }
  if (ru == 0) return;
  xi = static_cast<float*>(allocate(sizeof(float) * static_cast<size_t>(ru)));
  ui = static_cast<float*>(allocate(sizeof(float) * static_cast<size_t>(ru)));
  double lo = std::log(static_cast<double>(xmin));
  double hi = std::log(static_cast<double>(xmax));
  // Data at a single angle leave the polynomial's nodes on one spot, where
  // the Lagrange denominators vanish: the nodes are then spread over one
  // percent in sin(theta) around it.
  if (ru > 1 && !(hi > lo)) {
    lo -= 0.005;
    hi += 0.005;
  }
  for (int k = 0; k < ru; ++k) xi[k] = static_cast<float>(lo + (hi - lo) * (k + 0.5) / ru);
  for (int k = 0; k < ru; ++k) {
    float prod = 1.0f;
    for (int j = 0; j < k; ++j) prod *= xi[k] - xi[j];
    for (int j = k + 1; j < ru; ++j) prod *= xi[k] - xi[j];
    ui[k] = prod;
  }
}

float unt(const float* p, double x) {
  float b = 0.0f;
  if (xi != nullptr) {
    const auto lnx = static_cast<float>(std::log(x));
    for (int k = 0; k < ru; ++k) {
      float prod = 1.0f;
      for (int j = 0; j < k; ++j) prod *= lnx - xi[j];
      for (int j = k + 1; j < ru; ++j) prod *= lnx - xi[j];
      b += prod * p[k] / ui[k];
    }
  }
  if (muntv > 0 && untvsin != nullptr)
    b = static_cast<float>(b + (interpolate(muntv, untvsin, untvint, x) - untvmin) * p[ru]);
  if (muntc > 0 && untcsin != nullptr)
    return static_cast<float>(b + interpolate(muntc, untcsin, untcint, x));
  return b;
}

void unta(const float*, float* d, double x) {
  if (xi != nullptr) {
    const auto lnx = static_cast<float>(std::log(x));
    for (int k = 0; k < ru; ++k) d[k] = basis(k, lnx);
  }
  if (muntv > 0 && untvsin != nullptr)
    d[ru] = static_cast<float>(interpolate(muntv, untvsin, untvint, x) - untvmin);
}

int untx0(float* p) {
  if (p != nullptr && ru >= 1 && xi != nullptr)
    for (int k = 0; k < ru; ++k) p[k] = static_cast<float>(std::exp(static_cast<double>(xi[k])));
  return ru;
}

}  // namespace model
