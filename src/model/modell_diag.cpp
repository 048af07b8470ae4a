// The single-peak diagnostics of the pattern model: which peaks lie inside
// the measured range, the least-squares re-estimate of each peak's intensity
// and a peak's full width.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "core/nspawn.hpp"
#include "model/gerneu.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "model/modell_internal.hpp"
#include "scan/ddm.hpp"

namespace model {
using namespace core;
using namespace scan;

namespace pattern {

namespace {

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

}  // namespace pattern

using namespace pattern;

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
    nshare(innenparfkt, reinterpret_cast<uint64_t>(&task));
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
    nshare(estt0parfkt, reinterpret_cast<uint64_t>(&task));
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
