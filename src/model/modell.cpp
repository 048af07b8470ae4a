// The line-profile model of free peaks: peak record, peak kernels, per-point
// profile tables, pattern model with exact derivatives (ordinary and
// derivative mode) and the single-peak diagnostics.
//
// Every peak is the convolution of the wavelength lines, the instrument
// profile and the peak's own broadening. The per-point tables hold, for each
// measured point, the instrument function at its angle folded with the
// wavelength lines as a list of components (weight a, Lorentzian width b1,
// squared-Lorentzian width b2, position e) in 1/d, plus a one-component
// summary that lets peaks far from the point skip the component sum.
#include "model/modell.hpp"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/fatal.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "model/gerneu.hpp"
#include "model/lam.hpp"
#include "model/unt.hpp"
#include "scan/ddm.hpp"

namespace model {
using namespace core;
using namespace scan;

// Measured pattern.
int m = 0;
float* sinx = nullptr;
float* intensitaet = nullptr;
float* w = nullptr;
float* y = nullptr;
float* u = nullptr;
float* yphasen = nullptr;
int nphasen = 0;

namespace {

const char* const kModule = "obj/modell";
constexpr double kPi = 3.141592653589793;

// ---------------------------------------------------------------------------
// Memory

template <class T>
T* zalloc(size_t count) {
  if (count == 0) return nullptr;
  void* p = std::calloc(count, sizeof(T));
  if (p == nullptr) outofmemory();
  return static_cast<T*>(p);
}

// ---------------------------------------------------------------------------
// Heap sort through the module's comparison and exchange callbacks (main
// thread only: the callbacks are module-wide).

bool (*Compare)(int i, int j, void* context) = nullptr;  // true when i belongs before j
void (*Exchange)(int i, int j, void* context) = nullptr;

void siftdown(int root, int end, void* context) {
  for (;;) {
    int child = 2 * root + 1;
    if (child > end) return;
    if (child + 1 <= end && Compare(child, child + 1, context)) ++child;
    if (!Compare(root, child, context)) return;
    Exchange(root, child, context);
    root = child;
  }
}

void heapsortid(int count, void* context) {
  if (count < 2) return;
  for (int start = (count - 2) / 2; start >= 0; --start) siftdown(start, count - 1, context);
  for (int end = count - 1; end > 0; --end) {
    Exchange(0, end, context);
    siftdown(0, end - 1, context);
  }
}

// ---------------------------------------------------------------------------
// Per-point tables

int m_h = 0;             // tabulated points
float** h = nullptr;     // h[i]: hdim[i] rows of (a, b1, b2, e)
float* hrows = nullptr;  // the storage of all rows
int* hdim = nullptr;
float* h0 = nullptr;      // summary (S, mean b1, effective b2, centroid) per point
float* polk = nullptr;    // polarisation factor per point, when the tables were built with it
double* sdata = nullptr;  // position of strongest response per point
int* sort = nullptr;      // points by ascending sdata

// Derivative mode: the pattern rows are derivative estimates of the interior
// points, and the model is differentiated with the same weights.
bool ddmmode() { return ifddm && ddmrange != nullptr; }

// ---------------------------------------------------------------------------
// Component shapes
//
// One component (weight a, Lorentzian width b1, squared-Lorentzian width b2)
// at offset d = e - P from a peak of unit intensity with own Lorentzian width
// lw and own squared-Lorentzian width beta:
//   kind 2  B = b1 + b2, D = d^2 + B^2:  a (b1 + 2 b2 B^2 / D) / D
//   kind 3  the same with b1 + lw
//   kind 4  b1' = b1 + lw, B = b1' + b2 + beta:
//           a (b1' + (2 (b2 + beta) B^2 - 6 b2 beta B + 8 b2 beta B^3 / D) / D) / D
// Each integrates over the position to pi a. With every width 0 the shape is
// zero except at d = 0, where D = 0: the numerators vanish there as well, so
// D is replaced by 1 and the component contributes nothing, as it does at
// every other offset (a line without any width cannot be sampled).

template <int K>
inline double shape(double a, double b1, double b2, double d, double lw, double beta) {
  if constexpr (K == 2 || K == 3) {
    const double l1 = (K == 3) ? b1 + lw : b1;
    const double bb = l1 + b2;
    double dd = d * d + bb * bb;
    if (!(dd > 0.0)) dd = 1.0;
    const double r1 = 1.0 / dd;
    return a * (l1 + 2.0 * b2 * bb * bb * r1) * r1;
  } else {
    const double l1 = b1 + lw;
    const double c2 = b2 + beta;
    const double pr = b2 * beta;
    const double bb = l1 + c2;
    double dd = d * d + bb * bb;
    if (!(dd > 0.0)) dd = 1.0;
    const double r1 = 1.0 / dd;
    return a * (l1 + (2.0 * c2 * bb * bb - 6.0 * pr * bb + 8.0 * pr * bb * bb * bb * r1) * r1) * r1;
  }
}

// Value and partial derivatives of a shape with respect to the peak
// position P, the own Lorentzian width and the own squared-Lorentzian width
// beta, for unit intensity.
struct Partials {
  double v = 0.0;
  double dp = 0.0;
  double dl = 0.0;
  double db = 0.0;
};

template <int K>
inline void dshape(double a, double b1, double b2, double d, double lw, double beta,
                   Partials& acc) {
  if constexpr (K == 2 || K == 3) {
    const double l1 = (K == 3) ? b1 + lw : b1;
    const double bb = l1 + b2;
    double dd = d * d + bb * bb;
    if (!(dd > 0.0)) dd = 1.0;
    const double r1 = 1.0 / dd;
    const double r2 = r1 * r1;
    const double r3 = r2 * r1;
    const double b2bb = b2 * bb * bb;
    acc.v += a * (l1 + 2.0 * b2bb * r1) * r1;
    acc.dp += a * 2.0 * d * (l1 + 4.0 * b2bb * r1) * r2;
    if constexpr (K == 3) {
      acc.dl += a * (r1 - 2.0 * bb * l1 * r2 + 4.0 * b2 * bb * r2 - 8.0 * b2bb * bb * r3);
    }
  } else {
    const double l1 = b1 + lw;
    const double c2 = b2 + beta;
    const double pr = b2 * beta;
    const double bb = l1 + c2;
    double dd = d * d + bb * bb;
    if (!(dd > 0.0)) dd = 1.0;
    const double r1 = 1.0 / dd;
    const double r2 = r1 * r1;
    const double r3 = r2 * r1;
    const double r4 = r2 * r2;
    const double bb2 = bb * bb;
    const double bb3 = bb2 * bb;
    const double bb4 = bb2 * bb2;
    acc.v += a * (l1 + (2.0 * c2 * bb2 - 6.0 * pr * bb + 8.0 * pr * bb3 * r1) * r1) * r1;
    acc.dp +=
        a * d * (2.0 * l1 * r2 + 8.0 * c2 * bb2 * r3 - 24.0 * pr * bb * r3 + 48.0 * pr * bb3 * r4);
    acc.dl += a * (r1 - 2.0 * bb * l1 * r2 + 4.0 * c2 * bb * r2 - 8.0 * c2 * bb3 * r3 -
                   6.0 * pr * r2 + 48.0 * pr * bb2 * r3 - 48.0 * pr * bb4 * r4);
    acc.db += a * (-2.0 * bb * l1 * r2 + 2.0 * bb2 * r2 + 4.0 * c2 * bb * r2 - 8.0 * c2 * bb3 * r3 -
                   6.0 * b2 * bb * r2 - 6.0 * pr * r2 + 48.0 * pr * bb2 * r3 + 8.0 * b2 * bb3 * r3 -
                   48.0 * pr * bb4 * r4);
  }
}

// ---------------------------------------------------------------------------
// Near and far
//
// x = (P - centroid) / (15 (mean b1 + effective b2)). For |x| >= 1 the peak
// sees the point's summary as one component (the far form); closer in, the
// exact component sum is blended with it by f = (1 - x^10)^2, which is 1 for
// |x| <= 0.01. A point whose summary has no width at all puts a peak at its
// centroid into the exact sum (x is then 0/0, which no comparison accepts).

template <int K>
double peakvalue(const float* summary, const float* rows, int nrows, double pos, double lw,
                 double beta) {
  const double sw = static_cast<double>(summary[1]) + static_cast<double>(summary[2]);
  const double x = (pos - summary[3]) / (15.0 * sw);
  if (x <= -1.0 || x >= 1.0)
    return shape<K>(summary[0], summary[1], summary[2], summary[3] - pos, lw, beta);
  double sum = 0.0;
  for (int k = 0; k < nrows; ++k) {
    const float* row = rows + 4 * k;
    sum += shape<K>(row[0], row[1], row[2], row[3] - pos, lw, beta);
  }
  if (std::fabs(x) > 0.01) {
    const double x2 = x * x;
    const double x4 = x2 * x2;
    const double t9 = x4 * x4 * x;
    const double g1 = 1.0 - x * t9;
    const double f = g1 * g1;
    const double far = shape<K>(summary[0], summary[1], summary[2], summary[3] - pos, lw, beta);
    return f * sum + (1.0 - f) * far;
  }
  return sum;
}

template <int K>
Partials peakpartials(const float* summary, const float* rows, int nrows, double pos, double lw,
                      double beta) {
  const double sw = static_cast<double>(summary[1]) + static_cast<double>(summary[2]);
  const double x = (pos - summary[3]) / (15.0 * sw);
  Partials far;
  if (x <= -1.0 || x >= 1.0) {
    dshape<K>(summary[0], summary[1], summary[2], summary[3] - pos, lw, beta, far);
    return far;
  }
  Partials sum;
  for (int k = 0; k < nrows; ++k) {
    const float* row = rows + 4 * k;
    dshape<K>(row[0], row[1], row[2], row[3] - pos, lw, beta, sum);
  }
  if (std::fabs(x) > 0.01) {
    dshape<K>(summary[0], summary[1], summary[2], summary[3] - pos, lw, beta, far);
    const double x2 = x * x;
    const double x4 = x2 * x2;
    const double t9 = x4 * x4 * x;
    const double g1 = 1.0 - x * t9;
    const double f = g1 * g1;
    const double fp = -20.0 * t9 * g1 / (15.0 * sw);  // df/dP
    Partials out;
    out.v = f * sum.v + (1.0 - f) * far.v;
    out.dp = f * sum.dp + (1.0 - f) * far.dp + fp * (sum.v - far.v);
    out.dl = f * sum.dl + (1.0 - f) * far.dl;
    out.db = f * sum.db + (1.0 - f) * far.db;
    return out;
  }
  return sum;
}

// Own widths of a parameter block of kind K: (Lorentzian width, beta). A
// negative fourth parameter has no real beta; it counts as 0.
template <int K>
inline void ownwidths(const float* block, double& lw, double& beta) {
  lw = (K >= 3) ? static_cast<double>(block[2]) : 0.0;
  beta = 0.0;
  if constexpr (K == 4) {
    const double s = block[3];
    beta = s > 0.0 ? std::sqrt(s) : 0.0;
  }
}

template <int K>
float kernel(const float* summary, const float* rows, int nrows, const float* peaks, int npeaks,
             const int32_t* ix, float* yrow) {
  double total = 0.0;
  for (int k = 0; k < npeaks; ++k) {
    const float* block = peaks + K * k;
    double lw, beta;
    ownwidths<K>(block, lw, beta);
    const double v = block[0] * peakvalue<K>(summary, rows, nrows, block[1], lw, beta);
    total += v;
    if (yrow != nullptr) yrow[ix[k]] += static_cast<float>(v);
  }
  return static_cast<float>(total);
}

// Unit-intensity response of point i to a peak of kind K with the parameter
// block's widths, placed at pos.
template <int K>
double unitresponse(int i, const float* block, double pos) {
  double lw, beta;
  ownwidths<K>(block, lw, beta);
  return peakvalue<K>(h0 + 4 * i, h[i], hdim[i], pos, lw, beta);
}

double unitresponse_kind(int kind, int i, const float* block, double pos) {
  switch (kind) {
    case 2:
      return unitresponse<2>(i, block, pos);
    case 3:
      return unitresponse<3>(i, block, pos);
    default:
      return unitresponse<4>(i, block, pos);
  }
}

// Derivative entries of the peaks of kind K at point i, unweighted and
// without the polarisation factor; returns the entries written.
template <int K>
int kindpartials(int i, const float* peaks, int npeaks, float* row) {
  const float* summary = h0 + 4 * i;
  const double sw = static_cast<double>(summary[1]) + static_cast<double>(summary[2]);
  for (int k = 0; k < npeaks; ++k) {
    const float* block = peaks + K * k;
    double lw, beta;
    ownwidths<K>(block, lw, beta);
    const Partials p = peakpartials<K>(summary, h[i], hdim[i], block[1], lw, beta);
    const double inten = block[0];
    float* out = row + K * k;
    out[0] = static_cast<float>(p.v);
    out[1] = static_cast<float>(inten * p.dp);
    if constexpr (K >= 3) out[2] = static_cast<float>(inten * p.dl);
    if constexpr (K == 4) {
      // d/ds = d/dbeta / (2 beta). At beta = 0 that is infinite; below a
      // thousandth of the point's own width the divisor is held there, so
      // the fit sees a large finite slope instead of an infinity.
      const double den = 2.0 * std::max(beta, 1e-3 * sw);
      out[3] = den > 0.0 ? static_cast<float>(inten * p.db / den) : 0.0f;
    }
  }
  return K * npeaks;
}

int peakentries(const PeakSet* set) { return 2 * set->count2 + 3 * set->count3 + 4 * set->count4; }

void checktables(int needed, int line) {
  if (needed > m_h || h0 == nullptr) internal_error("tables", kModule, line);
}

// ---------------------------------------------------------------------------
// Pool work

struct ModellTask {
  float* r;
  const PeakSet* set;
  std::atomic<int64_t> counter;
};

void modellparfkt(uint64_t arg) {
  auto* task = reinterpret_cast<ModellTask*>(arg);
  const PeakSet* set = task->set;
  for (int64_t item; (item = nexttask(task->counter)) >= 0;) {
    const int i = static_cast<int>(item);
    const float v = modell0(i, set);
    const float b = unt(set->bg, sinx[i]);
    if (u != nullptr) u[i] = b;
    const double total = static_cast<double>(b) + static_cast<double>(v);
    if (y != nullptr) y[i] = static_cast<float>(total);
    task->r[i] = static_cast<float>((total - intensitaet[i]) * w[i]);
  }
}

// Derivative mode: a sliding window of 2M+1 model values (M = ddm_mmax) so
// that every point is evaluated once per pass. Runs on one thread.
double* ddmwindow = nullptr;
int ddmwindowsize = 0;

double ddmpoint(int point, const PeakSet* set) {
  const float v = modell0(point, set);
  if (y != nullptr) y[point] = v;
  if (u != nullptr) u[point] = 0.0f;
  return v;
}

void modellddm(float* r, const PeakSet* set) {
  const int mm = ddm_mmax;
  const int size = 2 * mm + 1;
  const int npoints = m_h;
  if (size > ddmwindowsize) {
    std::free(ddmwindow);
    ddmwindow = zalloc<double>(static_cast<size_t>(size));
    ddmwindowsize = size;
  }
  double* win = ddmwindow;
  for (int k = 0; k < size; ++k) win[k] = 0.0;
  for (int k = mm - 1; k <= 2 * mm; ++k) {
    const int point = k - mm + 1;
    if (point < npoints) win[k] = ddmpoint(point, set);
  }
  for (int t = 0; t < m; ++t) {
    const int c = t / 2;
    if (t % 2 == 0) {
      std::memmove(win, win + 1, sizeof(double) * static_cast<size_t>(size - 1));
      const int point = c + 2 + mm;
      win[2 * mm] = point < npoints ? ddmpoint(point, set) : 0.0;
    }
    const int rc = ddmrange[c];
    double sum = 0.0;
    for (int j = -rc; j <= rc; ++j) sum += ddmpolynome(j, t % 2, rc) * win[mm + j];
    r[t] = static_cast<float>((sum - intensitaet[t]) * w[t]);
  }
}

// Derivative mode rows: a window of 2M+1 unweighted point rows kept between
// the calls of one pass (rows 0 .. m-1 in order from one thread), as a ring.
float* ablwindow = nullptr;
double* ablsum = nullptr;
int ablsize = 0;    // rows in the window (2M+1)
int abllength = 0;  // entries per row
int ablfirst = 0;   // ring position of window row 0
int ablnext = 0;    // the row the pass expects next

float* ablrow(int k) {
  return ablwindow + static_cast<size_t>((ablfirst + k) % ablsize) * abllength;
}

void ablpoint(int point, float* dst, const PeakSet* set) {
  if (point < m_h)
    ableitung0(dst, point, set);
  else
    for (int p = 0; p < abllength; ++p) dst[p] = 0.0f;
}

void ablfree() {
  std::free(ablwindow);
  std::free(ablsum);
  ablwindow = nullptr;
  ablsum = nullptr;
  ablsize = abllength = 0;
  ablnext = 0;
}

void ableitungddm(float* row, int t, const PeakSet* set) {
  const int np = peakentries(set);
  const int mm = ddm_mmax;
  if (t == 0) {
    ablfree();
    ablsize = 2 * mm + 1;
    abllength = np;
    ablwindow = zalloc<float>(static_cast<size_t>(ablsize) * (np > 0 ? np : 1));
    ablsum = zalloc<double>(np > 0 ? static_cast<size_t>(np) : 1);
    ablfirst = 0;
    for (int k = mm - 1; k <= 2 * mm; ++k) ablpoint(k - mm + 1, ablrow(k), set);
  } else if (t != ablnext || np != abllength || ablwindow == nullptr) {
    internal_error("ableitung order", kModule, __LINE__);
  }
  const int c = t / 2;
  if (t % 2 == 0) {
    ablfirst = (ablfirst + 1) % ablsize;
    ablpoint(c + 2 + mm, ablrow(2 * mm), set);
  }
  const int rc = ddmrange[c];
  double* acc = ablsum;
  for (int p = 0; p < np; ++p) acc[p] = 0.0;
  for (int j = -rc; j <= rc; ++j) {
    const double coef = ddmpolynome(j, t % 2, rc);
    const float* src = ablrow(mm + j);
    for (int p = 0; p < np; ++p) acc[p] += coef * src[p];
  }
  const double weight = w[t];
  for (int p = 0; p < np; ++p) row[p] = static_cast<float>(weight * acc[p]);
  for (int k = 0; k < set->ru; ++k) row[np + k] = 0.0f;
  ablnext = t + 1;
  if (t >= m - 1) ablfree();
}

// ---------------------------------------------------------------------------
// Position of strongest response

struct CounterTask {
  std::atomic<int64_t> counter;
};

void sdataparfkt(uint64_t arg) {
  auto* task = reinterpret_cast<CounterTask*>(arg);
  for (int64_t item; (item = nexttask(task->counter)) >= 0;) {
    const int i = static_cast<int>(item);
    const int nrows = hdim[i];
    if (nrows < 1) continue;
    const float* rows = h[i];
    double best = 0.0;
    bool sharp = false;
    for (int r = 0; r < nrows; ++r) {
      const float* row = rows + 4 * r;
      const bool rowsharp = std::fabs(row[1]) < FLT_MIN && std::fabs(row[2]) < FLT_MIN;
      double response;
      if (rowsharp) {
        // A component without width is a line of its own: its response is
        // its weight, and from the first one on only such lines count; the
        // heaviest of them wins.
        if (!sharp) {
          sharp = true;
          best = 0.0;
        }
        response = row[0];
      } else {
        if (sharp) continue;
        response = peakvalue<2>(h0 + 4 * i, rows, nrows, row[3], 0.0, 0.0);
      }
      if (response > best) {
        best = response;
        sdata[i] = row[3];
      }
    }
  }
}

bool sortcompare(int i, int j, void*) { return sdata[sort[j]] > sdata[sort[i]]; }
void sortexchange(int i, int j, void*) {
  const int t = sort[i];
  sort[i] = sort[j];
  sort[j] = t;
}

// First position k in sort order whose point does not satisfy
// "sdata + reach < pos" (the points before it lie wholly below pos).
int firstreaching(double pos, double reach) {
  int lo = 0, hi = m_h;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (sdata[sort[mid]] + reach < pos)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

// ---------------------------------------------------------------------------
// Peak sorting

struct PeakSortContext {
  float* par;
  float* t;
  int stride;
  int32_t* ix;
  uint8_t* in;
};

bool peaksortcompare(int i, int j, void* context) {
  auto* c = static_cast<PeakSortContext*>(context);
  return c->par[c->stride * j + 1] > c->par[c->stride * i + 1];
}

void peaksortexchange(int i, int j, void* context) {
  auto* c = static_cast<PeakSortContext*>(context);
  for (int k = 0; k < c->stride; ++k) {
    const float t = c->par[c->stride * i + k];
    c->par[c->stride * i + k] = c->par[c->stride * j + k];
    c->par[c->stride * j + k] = t;
  }
  const int32_t x = c->ix[i];
  c->ix[i] = c->ix[j];
  c->ix[j] = x;
  if (c->t != nullptr) {
    const float t = c->t[i];
    c->t[i] = c->t[j];
    c->t[j] = t;
  }
  if (c->in != nullptr) {
    const uint8_t b = c->in[i];
    c->in[i] = c->in[j];
    c->in[j] = b;
  }
}

// ---------------------------------------------------------------------------
// Diagnostics

// Own half width of a peak: kind 2 none, kind 3 L, kind 4 the half width of
// the Lorentzian convolved with the squared Lorentzian. A negative fourth
// parameter is no squared-Lorentzian width, as in the kernels: without a
// Lorentzian width either the peak has no own width (not 0/0).
double ownhalfwidth(int kind, const float* block) {
  if (kind == 2) return 0.0;
  const double lw = block[2];
  if (kind == 3) return lw;
  const double s = block[3];
  const double beta = s > 0.0 ? std::sqrt(s) : 0.0;
  if (lw == 0.0 && beta == 0.0) return 0.0;
  const double rho = 2.0 * beta / (2.0 * beta + lw);
  return (lw + beta) * std::sqrt(std::sqrt(1.0 + rho * rho) - rho);
}

struct KindTask {
  PeakSet* set;
  int kind;
  const float* par;
  std::atomic<int64_t> counter;
  double wmax;         // innen: largest summary width
  const float* resid;  // estimatet0: weighted residuals of the current model
};

void innenparfkt(uint64_t arg) {
  auto* task = reinterpret_cast<KindTask*>(arg);
  const int kind = task->kind;
  uint8_t* flags = kind == 2 ? task->set->in2 : kind == 3 ? task->set->in3 : task->set->in4;
  for (int64_t item; (item = nexttask(task->counter)) >= 0;) {
    const int i = static_cast<int>(item);
    const float* block = task->par + kind * i;
    const double pos = block[1];
    const double hp = ownhalfwidth(kind, block);
    const double reach = 2.0 * std::sqrt(task->wmax * task->wmax + hp * hp);
    int count = 0;
    for (int k = firstreaching(pos, reach); k < m_h; ++k) {
      const int p = sort[k];
      if (sdata[p] - reach > pos) break;
      const double response = unitresponse_kind(kind, p, block, pos);
      const double reference = unitresponse_kind(kind, p, block, sdata[p]);
      if (response > 0.5 * reference) ++count;
    }
    flags[i] = count > kind ? 1 : 0;
  }
}

// Per-peak least-squares correction of the intensity against the current
// residuals, with the peak's own profile (the model's), so that a pattern
// made of a single peak gives its intensity back exactly.
void estt0parfkt(uint64_t arg) {
  auto* task = reinterpret_cast<KindTask*>(arg);
  const int kind = task->kind;
  PeakSet* set = task->set;
  float* tout = kind == 2 ? set->t2 : kind == 3 ? set->t3 : set->t4;
  const uint8_t* flags = kind == 2 ? set->in2 : kind == 3 ? set->in3 : set->in4;
  const bool deriv = ddmmode();
  // In derivative mode the residual rows are derivative estimates: the
  // unit peak is taken through the same weights, from its values per point.
  float* unit = deriv ? zalloc<float>(static_cast<size_t>(m_h)) : nullptr;
  for (int64_t item; (item = nexttask(task->counter)) >= 0;) {
    const int i = static_cast<int>(item);
    const float* block = task->par + kind * i;
    if (flags != nullptr && flags[i] == 0) {
      tout[i] = 0.0f;
      continue;
    }
    const double pos = block[1];
    double rf = 0.0, ff = 0.0;
    if (!deriv) {
      for (int p = 0; p < m_h; ++p) {
        double f = unitresponse_kind(kind, p, block, pos) * w[p];
        if (polk != nullptr) f *= polk[p];
        rf += task->resid[p] * f;
        ff += f * f;
      }
    } else {
      for (int p = 0; p < m_h; ++p) {
        double f = unitresponse_kind(kind, p, block, pos);
        if (polk != nullptr) f *= polk[p];
        unit[p] = static_cast<float>(f);
      }
      for (int t = 0; t < m; ++t) {
        const int c = t / 2;
        const int rc = ddmrange[c];
        double f = 0.0;
        for (int j = -rc; j <= rc; ++j) f += ddmpolynome(j, t % 2, rc) * unit[c + 2 + j];
        f *= w[t];
        rf += task->resid[t] * f;
        ff += f * f;
      }
    }
    const double inten = block[0];
    // No point sees the peak: no estimate. The result is held within
    // +-|I| (the magnitude, so that a negative intensity gives no empty range).
    double t = 0.0;
    if (ff > 0.0) {
      t = inten - rf / ff;
      const double bound = std::fabs(inten);
      if (t > bound) t = bound;
      if (t < -bound) t = -bound;
    }
    tout[i] = static_cast<float>(t);
  }
  std::free(unit);
}

}  // namespace

// ---------------------------------------------------------------------------
// Peak record

void peakfree(PeakSet** set) {
  if (set == nullptr || *set == nullptr) return;
  PeakSet* s = *set;
  std::free(s->bg);
  std::free(s->par2);
  std::free(s->par3);
  std::free(s->par4);
  std::free(s->t2);
  std::free(s->t3);
  std::free(s->t4);
  std::free(s->in2);
  std::free(s->in3);
  std::free(s->in4);
  std::free(s->ix2);
  std::free(s->ix3);
  std::free(s->ix4);
  std::free(s);
  *set = nullptr;
}

void peakalloc(const PeakSet* old, PeakSet** target, int kind, int index, int ru, int count2,
               int count3, int count4) {
  if (ru < 0) ru = 0;
  if (count2 < 0) count2 = 0;
  if (count3 < 0) count3 = 0;
  if (count4 < 0) count4 = 0;
  PeakSet* s = zalloc<PeakSet>(1);
  s->count2 = count2;
  s->count3 = count3;
  s->count4 = count4;
  s->ru = ru;
  s->bg = zalloc<float>(static_cast<size_t>(ru));
  s->par2 = zalloc<float>(2 * static_cast<size_t>(count2));
  s->par3 = zalloc<float>(3 * static_cast<size_t>(count3));
  s->par4 = zalloc<float>(4 * static_cast<size_t>(count4));
  s->ix2 = zalloc<int32_t>(static_cast<size_t>(count2));
  s->ix3 = zalloc<int32_t>(static_cast<size_t>(count3));
  s->ix4 = zalloc<int32_t>(static_cast<size_t>(count4));
  if (old != nullptr) {
    const int nb = ru < old->ru ? ru : old->ru;
    for (int k = 0; k < nb; ++k) s->bg[k] = old->bg[k];
    for (int k = nb; k < ru; ++k) s->bg[k] = old->ru > 0 ? old->bg[old->ru - 1] : 0.0f;
    struct Kind {
      int stride, oldcount, newcount;
      const float* from;
      float* to;
      const int32_t* ixfrom;
      int32_t* ixto;
    } kinds[3] = {
        {2, old->count2, count2, old->par2, s->par2, old->ix2, s->ix2},
        {3, old->count3, count3, old->par3, s->par3, old->ix3, s->ix3},
        {4, old->count4, count4, old->par4, s->par4, old->ix4, s->ix4},
    };
    for (const Kind& k : kinds) {
      int slot = 0;
      for (int o = 0; o < k.oldcount && slot < k.newcount; ++o) {
        if (kind == k.stride && o == index) continue;
        std::memcpy(k.to + k.stride * slot, k.from + k.stride * o, sizeof(float) * k.stride);
        k.ixto[slot] = k.ixfrom[o];
        ++slot;
      }
    }
  }
  // The old record may be the target itself: it is released only now.
  peakfree(target);
  *target = s;
}

void peaksort(PeakSet* set) {
  if (set == nullptr) return;
  Compare = peaksortcompare;
  Exchange = peaksortexchange;
  PeakSortContext c2{set->par2, set->t2, 2, set->ix2, set->in2};
  heapsortid(set->count2, &c2);
  PeakSortContext c3{set->par3, set->t3, 3, set->ix3, set->in3};
  heapsortid(set->count3, &c3);
  PeakSortContext c4{set->par4, set->t4, 4, set->ix4, set->in4};
  heapsortid(set->count4, &c4);
}

// ---------------------------------------------------------------------------
// Kernels

float p2(const float* summary, const float* table, int ncomp, const float* peaks, int npeaks,
         const int32_t* ix, float* yrow) {
  return kernel<2>(summary, table, ncomp, peaks, npeaks, ix, yrow);
}

float p3(const float* summary, const float* table, int ncomp, const float* peaks, int npeaks,
         const int32_t* ix, float* yrow) {
  return kernel<3>(summary, table, ncomp, peaks, npeaks, ix, yrow);
}

float p4(const float* summary, const float* table, int ncomp, const float* peaks, int npeaks,
         const int32_t* ix, float* yrow) {
  return kernel<4>(summary, table, ncomp, peaks, npeaks, ix, yrow);
}

// ---------------------------------------------------------------------------
// Per-point tables

void hfrei() {
  std::free(ddmwindow);
  ddmwindow = nullptr;
  ddmwindowsize = 0;
  ablfree();
  std::free(h);
  std::free(hrows);
  std::free(hdim);
  std::free(h0);
  std::free(polk);
  std::free(sdata);
  std::free(sort);
  h = nullptr;
  hrows = nullptr;
  hdim = nullptr;
  h0 = nullptr;
  polk = nullptr;
  sdata = nullptr;
  sort = nullptr;
  m_h = 0;
}

void hinit() {
  hfrei();
  const int npoints = ddmmode() ? m / 2 + 4 : m;
  if (npoints <= 0) return;
  const size_t count = static_cast<size_t>(npoints);
  h = zalloc<float*>(count);
  hdim = zalloc<int>(count);
  h0 = zalloc<float>(4 * count);
  if (ifpol()) polk = zalloc<float>(count);

  // The instrument function is evaluated point by point on this thread (it
  // writes shared components). Each point's rows are kept in a growing block;
  // the row pointers are set once the block is final.
  size_t capacity = 0, used = 0;
  size_t* offset = zalloc<size_t>(count);
  for (int i = 0; i < npoints; ++i) {
    const float s = sinx[i];
    const float c = std::sqrt(1.0f - s * s);
    ger(s);
    const int ncomp = n;
    const int nrows = ncomp * ilam;
    hdim[i] = nrows;
    offset[i] = used;
    if (used + 4 * static_cast<size_t>(nrows) > capacity) {
      size_t grown =
          capacity == 0 ? 4 * count * static_cast<size_t>(nrows > 0 ? nrows : 1) : 2 * capacity;
      while (grown < used + 4 * static_cast<size_t>(nrows)) grown *= 2;
      void* p = std::realloc(hrows, grown * sizeof(float));
      if (p == nullptr) outofmemory();
      hrows = static_cast<float*>(p);
      capacity = grown;
    }
    float* rows = hrows + used;
    for (int l = 0; l < ilam; ++l) {
      for (int k = 0; k < ncomp; ++k) {
        float* row = rows + 4 * (l * ncomp + k);
        row[0] = static_cast<float>(static_cast<double>(g[k]) * ij[l] / kPi);
        row[1] = static_cast<float>(2.0 * s * dj[l]);
        row[2] = static_cast<float>(2.0 * q[k] * lj[l] * c);
        row[3] = static_cast<float>(2.0 * lj[l] * (s + static_cast<double>(e[k]) * c));
      }
    }
    used += 4 * static_cast<size_t>(nrows);

    // Summary: total weight, weighted mean Lorentzian width and centroid, and
    // the squared-Lorentzian width that carries the rest of the spread.
    double sa = 0.0, sb1 = 0.0, se = 0.0;
    for (int r = 0; r < nrows; ++r) {
      const float* row = rows + 4 * r;
      sa += row[0];
      sb1 += static_cast<double>(row[0]) * row[1];
      se += static_cast<double>(row[0]) * row[3];
    }
    float* sum = h0 + 4 * i;
    if (sa != 0.0) {
      const double mb1 = sb1 / sa;
      const double me = se / sa;
      double var = 0.0;
      for (int r = 0; r < nrows; ++r) {
        const float* row = rows + 4 * r;
        const double de = row[3] - me;
        var += row[0] * (static_cast<double>(row[2]) * row[2] + de * de + (row[1] - mb1) * row[2]);
      }
      sum[0] = static_cast<float>(sa);
      sum[1] = static_cast<float>(mb1);
      sum[2] = var > 0.0 ? static_cast<float>(std::sqrt(var / sa)) : 0.0f;
      sum[3] = static_cast<float>(me);
    }
    if (polk != nullptr) {
      const double c2 = 1.0 - 2.0 * static_cast<double>(s) * s;
      polk[i] = static_cast<float>((1.0 + pol * c2 * c2) / 2.0);
    }
  }
  for (int i = 0; i < npoints; ++i) h[i] = hrows + offset[i];
  std::free(offset);
  m_h = npoints;

  sdata = zalloc<double>(count);
  CounterTask task;
  task.counter.store(npoints);
  nspawn(sdataparfkt, 0, reinterpret_cast<uint64_t>(&task));
  nwait();

  sort = zalloc<int>(count);
  for (int i = 0; i < npoints; ++i) sort[i] = i;
  Compare = sortcompare;
  Exchange = sortexchange;
  heapsortid(npoints, nullptr);
}

// ---------------------------------------------------------------------------
// Pattern model

float modell0(int i, const PeakSet* set) {
  float* yrow = nullptr;
  if (yphasen != nullptr) {
    yrow = yphasen + static_cast<size_t>(i) * nphasen;
    for (int k = 0; k < nphasen; ++k) yrow[k] = 0.0f;
  }
  const float* summary = h0 + 4 * i;
  const float* rows = h[i];
  const int nrows = hdim[i];
  float v = kernel<2>(summary, rows, nrows, set->par2, set->count2, set->ix2, yrow) +
            kernel<3>(summary, rows, nrows, set->par3, set->count3, set->ix3, yrow) +
            kernel<4>(summary, rows, nrows, set->par4, set->count4, set->ix4, yrow);
  // The polarisation factor is the one the tables were built with.
  if (polk != nullptr) {
    const float pk = polk[i];
    v *= pk;
    if (yrow != nullptr)
      for (int k = 0; k < nphasen; ++k) yrow[k] *= pk;
  }
  return v;
}

void modell(float* r, const PeakSet* set) {
  if (m <= 0) return;
  if (ddmmode()) {
    checktables(m / 2 + 4, __LINE__);
    modellddm(r, set);
    return;
  }
  checktables(m, __LINE__);
  ModellTask task;
  task.r = r;
  task.set = set;
  task.counter.store(m);
  nspawn(modellparfkt, 0, reinterpret_cast<uint64_t>(&task));
  nwait();
}

void ableitung0(float* row, int i, const PeakSet* set) {
  int at = 0;
  at += kindpartials<2>(i, set->par2, set->count2, row + at);
  at += kindpartials<3>(i, set->par3, set->count3, row + at);
  at += kindpartials<4>(i, set->par4, set->count4, row + at);
  if (polk != nullptr) {
    const float pk = polk[i];
    for (int k = 0; k < at; ++k) row[k] *= pk;
  }
}

void ableitung(float* row, int t, const PeakSet* set) {
  if (t < 0 || t >= m) internal_error("ableitung row", kModule, __LINE__);
  if (ddmmode()) {
    checktables(m / 2 + 4, __LINE__);
    ableitungddm(row, t, set);
    return;
  }
  checktables(t + 1, __LINE__);
  ableitung0(row, t, set);
  const int np = peakentries(set);
  // The background entries are cleared first: a background set up with
  // fewer functions than the set has coefficients leaves the rest at 0.
  for (int k = 0; k < set->ru; ++k) row[np + k] = 0.0f;
  unta(set->bg, row + np, sinx[t]);
  const float weight = w[t];
  const int total = np + set->ru;
  for (int k = 0; k < total; ++k) row[k] *= weight;
}

// ---------------------------------------------------------------------------
// Diagnostics

bool innen1(int nmin, double P, double hw) {
  if (sort == nullptr) return nmin <= 0;
  int count = 0;
  for (int k = firstreaching(P, hw); k < m_h; ++k) {
    if (sdata[sort[k]] - hw > P) break;
    ++count;
  }
  return count >= nmin;
}

void innen(PeakSet* set) {
  if (m_h <= 0 || set == nullptr) return;
  double wmax = 0.0;
  for (int i = 0; i < m_h; ++i) {
    const double b1 = h0[4 * i + 1];
    const double b2 = h0[4 * i + 2];
    const double width = std::sqrt(b1 * b1 + b2 * b2);
    if (width > wmax) wmax = width;
  }
  struct {
    int kind, count;
    const float* par;
    uint8_t** in;
  } kinds[3] = {{2, set->count2, set->par2, &set->in2},
                {3, set->count3, set->par3, &set->in3},
                {4, set->count4, set->par4, &set->in4}};
  for (auto& k : kinds) {
    if (k.count <= 0) continue;
    if (*k.in == nullptr) *k.in = zalloc<uint8_t>(static_cast<size_t>(k.count));
    KindTask task;
    task.set = set;
    task.kind = k.kind;
    task.par = k.par;
    task.wmax = wmax;
    task.resid = nullptr;
    task.counter.store(k.count);
    nspawn(innenparfkt, 0, reinterpret_cast<uint64_t>(&task));
    nwait();
  }
}

int estimatet0(PeakSet* set, int dof) {
  if (dof < 2) return 1;
  float* r = zalloc<float>(m > 0 ? static_cast<size_t>(m) : 1);
  modell(r, set);
  struct {
    int kind, count;
    const float* par;
    float** t;
  } kinds[3] = {{2, set->count2, set->par2, &set->t2},
                {3, set->count3, set->par3, &set->t3},
                {4, set->count4, set->par4, &set->t4}};
  for (auto& k : kinds) {
    std::free(*k.t);
    *k.t = nullptr;
    if (k.count <= 0) continue;
    *k.t = zalloc<float>(static_cast<size_t>(k.count));
    KindTask task;
    task.set = set;
    task.kind = k.kind;
    task.par = k.par;
    task.wmax = 0.0;
    task.resid = r;
    task.counter.store(k.count);
    nspawn(estt0parfkt, 0, reinterpret_cast<uint64_t>(&task));
    nwait();
  }
  std::free(r);
  return 0;
}

float hwb(int flag, int kind, int index, const PeakSet* set) {
  const float* block = kind == 2   ? set->par2 + 2 * index
                       : kind == 3 ? set->par3 + 3 * index
                                   : set->par4 + 4 * index;
  const double own = 2.0 * ownhalfwidth(kind, block);
  const double pos = block[1];
  if (flag != 0 && pos < 2.0 * l0) {
    ger(pos / (2.0 * l0));
    double gs = 0.0, es = 0.0, qs = 0.0;
    for (int k = 0; k < n; ++k) {
      gs += g[k];
      es += static_cast<double>(g[k]) * e[k];
      qs += static_cast<double>(g[k]) *
            (static_cast<double>(e[k]) * e[k] + static_cast<double>(q[k]) * q[k]);
    }
    double var = gs > 0.0 ? 4.0 * (qs - es * es / gs) / gs : 0.0;
    if (var < 0.0) var = 0.0;
    return static_cast<float>(std::sqrt(var * (4.0 * l0 * l0 - pos * pos) + own * own));
  }
  return static_cast<float>(own);
}

}  // namespace model
