// The measured pattern, the peak record with its allocation and sorting, and
// the per-point profile tables.
//
// Every peak is the convolution of the wavelength lines, the instrument
// profile and the peak's own broadening. The per-point tables hold, for each
// measured point, the instrument function at its angle folded with the
// wavelength lines as a list of components (weight a, Lorentzian width b1,
// squared-Lorentzian width b2, position e) in 1/d, plus a one-component
// summary that lets peaks far from the point skip the component sum.
#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "model/gerneu.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "model/modell_internal.hpp"

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

namespace pattern {

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

namespace {

constexpr double kPi = 3.141592653589793;

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
// Position of strongest response

struct CounterTask {
  std::atomic<int64_t> counter;
};

// Points per item of the copy of the rows into their block.
constexpr int kCopyChunk = 64;

// Where tabulate leaves the rows of each point until all points are done: a
// slot of kSlot values per point, and storage of its own for a point with
// more rows.
constexpr int kSlot = 64;

struct PointRows {
  std::unique_ptr<float[]> slots;
  std::vector<std::vector<float>> more;

  explicit PointRows(size_t count) : slots(new float[count * kSlot]), more(count) {}
  float* place(int i, int values) {
    if (values <= kSlot) return slots.get() + static_cast<size_t>(i) * kSlot;
    std::vector<float>& own = more[static_cast<size_t>(i)];
    own.assign(static_cast<size_t>(values), 0.0f);
    return own.data();
  }
  const float* of(int i) const {
    return 4 * hdim[i] <= kSlot ? slots.get() + static_cast<size_t>(i) * kSlot
                                : more[static_cast<size_t>(i)].data();
  }
};

// The rows of each point moved from where the instrument function left them
// into the one block, at the places hinit gave them.
struct CopyTask {
  std::atomic<int64_t> counter;
  int npoints;
  const PointRows* pointrows;
  const size_t* offset;
};

void copyparfkt(uint64_t arg) {
  auto* task = reinterpret_cast<CopyTask*>(arg);
  for (int64_t item; (item = nexttask(task->counter)) >= 0;) {
    const int first = static_cast<int>(item) * kCopyChunk;
    const int last = std::min(first + kCopyChunk, task->npoints);
    for (int i = first; i < last; ++i) {
      float* to = hrows + task->offset[i];
      if (hdim[i] > 0)
        std::memcpy(to, task->pointrows->of(i), 4 * static_cast<size_t>(hdim[i]) * sizeof(float));
      h[i] = to;
    }
  }
}

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

// The points by ascending sdata: the heap sort above with its comparison
// (sdata of the later position greater) and exchange written in, so that
// equal positions end in the same order.
void sortsiftdown(int root, int end) {
  for (;;) {
    int child = 2 * root + 1;
    if (child > end) return;
    if (child + 1 <= end && sdata[sort[child + 1]] > sdata[sort[child]]) ++child;
    if (!(sdata[sort[child]] > sdata[sort[root]])) return;
    std::swap(sort[root], sort[child]);
    root = child;
  }
}

void sortpoints(int count) {
  if (count < 2) return;
  // Positions that rise strictly from point to point, as they mostly do,
  // leave the points in their order.
  bool ascending = true;
  for (int i = 1; i < count && ascending; ++i) ascending = sdata[sort[i - 1]] < sdata[sort[i]];
  if (ascending) return;
  for (int start = (count - 2) / 2; start >= 0; --start) sortsiftdown(start, count - 1);
  for (int end = count - 1; end > 0; --end) {
    std::swap(sort[0], sort[end]);
    sortsiftdown(0, end - 1);
  }
}

// First position k in sort order whose point does not satisfy
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

}  // namespace

}  // namespace pattern

using namespace pattern;

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
        // Both sets hold peaks of this kind here, so both arrays exist.
        // NOLINTNEXTLINE(clang-analyzer-core.NonNullParamChecker)
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
// Per-point tables

void hfrei() {
  std::free(ddmvalues);
  ddmvalues = nullptr;
  ddmvaluessize = 0;
  ablfree();
  lanesfree();
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

// One point of the tables, from the instrument function at its angle: every
// wavelength line folded with every component gives a row; then the
// summary and the polarisation factor. Called by gerbatch on the workers:
// writes only what belongs to point i (its rows are kept in its place of arg
// until all points are done).
void tabulate(int i, int ncomp, const float* cg, const float* ce, const float* cq, void* arg) {
  auto* pointrows = static_cast<PointRows*>(arg);
  const float s = sinx[i];
  const float c = std::sqrt(1.0f - s * s);
  const int nrows = ncomp * ilam;
  hdim[i] = nrows;
  // Every value of every row is written below.
  float* rows = pointrows->place(i, 4 * nrows);
  for (int l = 0; l < ilam; ++l) {
    for (int k = 0; k < ncomp; ++k) {
      float* row = rows + 4 * (l * ncomp + k);
      row[0] = static_cast<float>(static_cast<double>(cg[k]) * ij[l] / kPi);
      row[1] = static_cast<float>(2.0 * s * dj[l]);
      row[2] = static_cast<float>(2.0 * cq[k] * lj[l] * c);
      row[3] = static_cast<float>(2.0 * lj[l] * (s + static_cast<double>(ce[k]) * c));
    }
  }

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

void hinit() {
  hfrei();
  const int npoints = ddmmode() ? m / 2 + 4 : m;
  if (npoints <= 0) return;
  const size_t count = static_cast<size_t>(npoints);
  h = zalloc<float*>(count);
  hdim = zalloc<int>(count);
  h0 = zalloc<float>(4 * count);
  if (ifpol()) polk = zalloc<float>(count);

  // The instrument function at every point, on the worker pool; then the
  // rows of all points in one block, in the order of the points.
  PointRows pointrows(count);
  gerbatch(npoints, sinx, tabulate, &pointrows);
  std::vector<size_t> offset(count);
  size_t used = 0;
  for (size_t i = 0; i < count; ++i) {
    offset[i] = used;
    used += 4 * static_cast<size_t>(hdim[i]);
  }
  hrows = zalloc<float>(used);
  CopyTask copy;
  copy.counter.store((npoints + kCopyChunk - 1) / kCopyChunk);
  copy.npoints = npoints;
  copy.pointrows = &pointrows;
  copy.offset = offset.data();
  nshare(copyparfkt, reinterpret_cast<uint64_t>(&copy));
  nwait();
  m_h = npoints;
  lanesinit(npoints);

  sdata = zalloc<double>(count);
  CounterTask task;
  task.counter.store(npoints);
  nshare(sdataparfkt, reinterpret_cast<uint64_t>(&task));
  nwait();

  sort = zalloc<int>(count);
  for (int i = 0; i < npoints; ++i) sort[i] = i;
  sortpoints(npoints);
}

ProfileTables profiletables() { return {m_h, h, hdim, h0, polk, sdata, sort}; }

}  // namespace model
