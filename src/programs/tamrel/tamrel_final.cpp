// The final model of a data set and its error estimates.
#include "tamrel_final.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "core/data.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "crystal/aniso.hpp"
#include "crystal/cycle.hpp"
#include "crystal/ks.hpp"
#include "crystal/services.hpp"
#include "model/modell.hpp"
#include "model/unt.hpp"
#include "numeric/ddreieck.hpp"
#include "numeric/dreieck.hpp"
#include "numeric/packed.hpp"
#include "scan/ddm.hpp"
#include "tamrel.hpp"
#include "tamrel_stages.hpp"

namespace tamrel {

using namespace core;
using namespace numeric;
using namespace model;
using namespace scan;
using namespace crystal;

FinalModel finalmodel;

namespace {

// Diagonal of an at-bound parameter in the final covariance.
constexpr double kAtBoundDiagonal = 4.49423283715579e+305;

}  // namespace

void regularise(double* A, const QminParam* rec, int P, double atbound, uint8_t* marks) {
  for (int k = 0; k < P; ++k) {
    double& d = A[tri(k) + k];
    const double v = *rec[k].value;
    if (d == 0.0) {
      d = kInsensitiveDiagonal;
      marks[k] = MARK_INSENSITIVE;
    } else if (v == rec[k].min || v == rec[k].max) {
      d = atbound;
      marks[k] = MARK_ATBOUND;
    } else {
      d *= kFreeScale;
      marks[k] = MARK_FREE;
    }
  }
}

double errorscale(double S, long informative, int P) {
  if (informative <= P) return 1.0;
  const auto dof = static_cast<double>(informative - P);
  return S >= dof + 3.0 * std::sqrt(2.0 * dof) ? std::sqrt(S / dof) : 1.0;
}

double FinalModel::sigma(int k) const {
  if (!covariance || k < 0 || static_cast<size_t>(tri(k) + k) >= C.size()) return 0.0;
  const double c = C[static_cast<size_t>(tri(k) + k)];
  return c > 0.0 ? g * std::sqrt(c) : 0.0;
}

void covariance(FinalModel& fm, const QminParam* rec, int P) {
  fm.g = errorscale(fm.S, fm.informative, P);
  fm.C = fm.N;
  fm.marks.assign(static_cast<size_t>(P), MARK_FREE);
  fm.covariance = false;
  if (P <= 0) return;
  regularise(fm.C.data(), rec, P, kAtBoundDiagonal, fm.marks.data());
  if (fm.n > 0) {
    int status = 0;
    dmsin(fm.C.data(), P, &status, kInversionEps);
    if (status != 0) {
      message<225>();
      std::fflush(stdout);
    } else {
      fm.covariance = true;
    }
  }
  for (int k = 0; k < P; ++k)
    if (fm.marks[static_cast<size_t>(k)] == MARK_ATBOUND)
      for (int j = 0; j <= k; ++j) fm.C[static_cast<size_t>(tri(k) + j)] = 0.0;
}

void printrho(FILE* f, double rho) {
  const double x = 1.0 - rho;
  int p = 0;
  if (rho < 1.0) {
    p = -static_cast<int>(std::floor(std::log10(x)));
    if (p < 0) p = 0;
  }
  std::fprintf(f, "1-rho=%.*f%c\n", p, 100.0 * x, '%');
}

namespace {

// Clears the failed mark of every goal.
void clearfailed() {
  auto clear = [](ParamRecord* p, int count) {
    for (int i = 0; i < count; ++i) p[i].failed = 0;
  };
  clear(paramglobal, globalgoals + globalparams);
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next) {
    clear(ph->params, ph->nparams);
    for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next) clear(at->params, at->nparams);
  }
}

// The goal derivative rows, one of P values per goal, zeroed.
void goalrows(int P) {
  freegoalrows();
  if (goalzahl <= 0) return;
  a = kcalloc<double*>(static_cast<size_t>(goalzahl));
  for (int g = 0; g < goalzahl; ++g) a[g] = kcalloc<double>(static_cast<size_t>(P > 0 ? P : 1));
}

// Work on every point on the worker pool, a range of points at a time:
// fn(first, last) for the points first <= i < last of one item; each point's
// result must be its own.
constexpr int kPointChunk = 256;

struct PointTask {
  std::atomic<int64_t> counter;
  int n;
  void (*fn)(int first, int last, void* context);
  void* context;
};

void pointparfkt(uint64_t arg) {
  auto* task = reinterpret_cast<PointTask*>(arg);
  for (int64_t item; (item = nexttask(task->counter)) >= 0;) {
    const int first = static_cast<int>(item) * kPointChunk;
    task->fn(first, std::min(first + kPointChunk, task->n), task->context);
  }
}

template <class F>
void eachpoint(int n, F&& fn) {
  if (n <= 0) return;
  using Fn = std::remove_reference_t<F>;
  PointTask task;
  task.counter.store((n + kPointChunk - 1) / kPointChunk);
  task.n = n;
  task.fn = [](int first, int last, void* context) { (*static_cast<Fn*>(context))(first, last); };
  task.context = &fn;
  nshare(pointparfkt, reinterpret_cast<uint64_t>(&task));
  nwait();
}

// Background basis of the 1-rho figure: the measured and the modelled
// pattern each fitted by the background alone, the correlation of what is
// left.
void correlation(FinalModel& fm, const std::vector<float>& model) {
  const int ru = param->ru;
  const int n = m;
  std::vector<float> bI(static_cast<size_t>(n), 0.0f), by(static_cast<size_t>(n), 0.0f);
  if (ru > 0) {
    // The background functions at every point, worked out once for both
    // passes, on the worker pool (each point's values written into a space
    // of their own first, as into the zeroed table).
    std::vector<float> phis(static_cast<size_t>(n) * static_cast<size_t>(ru));
    eachpoint(n, [&](int first, int last) {
      std::vector<float> own(static_cast<size_t>(ru) + 1);
      for (int i = first; i < last; ++i) {
        std::fill(own.begin(), own.end(), 0.0f);
        unta(param->bg, own.data(), sinx[i]);
        std::copy(own.begin(), own.begin() + ru,
                  phis.begin() + static_cast<std::ptrdiff_t>(i) * ru);
      }
    });
    std::vector<float> A(static_cast<size_t>(tri(ru)), 0.0f), g(static_cast<size_t>(ru));
    std::vector<float> vI(static_cast<size_t>(ru), 0.0f), vy(static_cast<size_t>(ru), 0.0f);
    for (int i = 0; i < n; ++i) {
      const float* phi = phis.data() + static_cast<size_t>(i) * static_cast<size_t>(ru);
      const float wi = w[i];
      for (int k = 0; k < ru; ++k) {
        g[static_cast<size_t>(k)] = wi * phi[static_cast<size_t>(k)];
        vI[static_cast<size_t>(k)] += wi * g[static_cast<size_t>(k)] * intensitaet[i];
        vy[static_cast<size_t>(k)] +=
            wi * g[static_cast<size_t>(k)] * model[static_cast<size_t>(i)];
      }
      bau(g.data(), A.data(), ru);
    }
    int status = 0;
    msin(A.data(), ru, &status, 3.5762786865234375e-07);
    if (status != 0) return;
    std::vector<float> betaI(static_cast<size_t>(ru)), betay(static_cast<size_t>(ru));
    ma(vI.data(), A.data(), betaI.data(), ru);
    ma(vy.data(), A.data(), betay.data(), ru);
    for (int i = 0; i < n; ++i) {
      const float* phi = phis.data() + static_cast<size_t>(i) * static_cast<size_t>(ru);
      double sI = 0, sy = 0;
      for (int k = 0; k < ru; ++k) {
        sI += static_cast<double>(phi[static_cast<size_t>(k)]) * betaI[static_cast<size_t>(k)];
        sy += static_cast<double>(phi[static_cast<size_t>(k)]) * betay[static_cast<size_t>(k)];
      }
      bI[static_cast<size_t>(i)] = static_cast<float>(sI);
      by[static_cast<size_t>(i)] = static_cast<float>(sy);
    }
  }
  float s1 = 0, s2 = 0, s12 = 0;
  for (int i = 0; i < n; ++i) {
    const float a1 = w[i] * (intensitaet[i] - bI[static_cast<size_t>(i)]);
    const float a2 = w[i] * (model[static_cast<size_t>(i)] - by[static_cast<size_t>(i)]);
    s1 += a1 * a1;
    s2 += a2 * a2;
    s12 += a1 * a2;
  }
  const double prod = static_cast<double>(s1) * s2;
  fm.rho = prod != 0.0 ? s12 / std::sqrt(prod) : 0.0;
  fm.hasrho = true;
  printrho(stdout, fm.rho);
  std::fflush(stdout);
}

// The weighted residual of every phase from its own contribution to the
// model.
void phaseresiduals(const std::vector<float>& model) {
  std::vector<float> contribution;
  int column = 0;
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next, ++column) {
    ph->rvalue = 1.0;
    if (ph->RP < 2 || ph->RP > 4) continue;
    PeakSet* own = nullptr;
    const int c = ph->nrefl;
    peakalloc(nullptr, &own, 0, 0, 0, ph->RP == 2 ? c : 0, ph->RP == 3 ? c : 0,
              ph->RP == 4 ? c : 0);
    float* par = ph->RP == 2 ? own->par2 : ph->RP == 3 ? own->par3 : own->par4;
    int32_t* ix = ph->RP == 2 ? own->ix2 : ph->RP == 3 ? own->ix3 : own->ix4;
    for (int i = 0; i < c; ++i) {
      const ReflectionRecord* r = ph->refl[i];
      const double v[4] = {r->intensity, r->position, r->B1, r->B2};
      for (int j = 0; j < ph->RP; ++j) par[ph->RP * i + j] = static_cast<float>(v[j]);
      if (ix != nullptr) ix[i] = column;
    }
    if (c > 0) {
      contribution.resize(static_cast<size_t>(m));
      modellpunkte(contribution.data(), m, own);
    }
    double num = 0, den = 0;
    for (int i = 0; i < m; ++i) {
      const double I = intensitaet[i];
      if (!(I > 0)) continue;
      const double ci = c > 0 ? contribution[static_cast<size_t>(i)] : 0.0;
      const double d = (model[static_cast<size_t>(i)] - I) * w[i];
      num += d * d * ci / I;
      den += static_cast<double>(w[i]) * w[i] * I * ci;
    }
    peakfree(&own);
    if (den != 0.0) ph->rvalue = std::sqrt(num / den);
  }
}

// The values of a peak set's peaks and background, to tell whether the set
// is still the one a model was computed from.
struct PeakValues {
  int32_t count2 = -1, count3 = -1, count4 = -1, ru = -1;
  std::vector<float> values;

  explicit PeakValues(const PeakSet* set) {
    if (set == nullptr) return;
    count2 = set->count2, count3 = set->count3, count4 = set->count4, ru = set->ru;
    append(set->par2, 2 * static_cast<size_t>(count2));
    append(set->par3, 3 * static_cast<size_t>(count3));
    append(set->par4, 4 * static_cast<size_t>(count4));
    append(set->bg, static_cast<size_t>(ru));
  }
  void append(const float* v, size_t n) {
    if (n > 0) values.insert(values.end(), v, v + n);
  }
  // Bit for bit the same values in the same order.
  bool operator==(const PeakValues& o) const {
    return count2 == o.count2 && count3 == o.count3 && count4 == o.count4 && ru == o.ru &&
           (values.empty() ||
            std::memcmp(values.data(), o.values.data(), values.size() * sizeof(float)) == 0);
  }
};

// The weighted residuals of the final model into r: those the residual pass
// before the derivative pass computed from peaks, when param still holds
// these peaks and this background to the bit (the model depends on nothing
// else the derivative pass could change), else computed afresh.
void modelresiduals(std::vector<float>& r, const std::vector<float>& residuals,
                    const PeakValues& peaks) {
  if (residuals.size() == r.size() && PeakValues(param) == peaks)
    r = residuals;
  else
    modell(r.data(), param);
}

void figures(FinalModel& fm, const std::vector<float>& residuals, const PeakValues& peaks) {
  std::vector<float> r(static_cast<size_t>(m));
  modelresiduals(r, residuals, peaks);
  std::vector<float> model(static_cast<size_t>(m));
  const bool ddm = ddmrange != nullptr;
  // The background at every point, on the worker pool.
  std::vector<float> background;
  if (!ddm) {
    background.resize(static_cast<size_t>(m));
    eachpoint(m, [&](int first, int last) {
      for (int i = first; i < last; ++i)
        background[static_cast<size_t>(i)] = unt(param->bg, sinx[i]);
    });
  }
  for (int i = 0; i < m; ++i) {
    const double wi = w[i], I = intensitaet[i];
    const double diff = wi != 0.0 ? r[static_cast<size_t>(i)] / wi : 0.0;
    model[static_cast<size_t>(i)] = static_cast<float>(I + diff);
    fm.sumdiff += std::fabs(diff);
    fm.sumdiff2 += diff * diff;
    fm.sumr2 += static_cast<double>(r[static_cast<size_t>(i)]) * r[static_cast<size_t>(i)];
    fm.sumI += std::fabs(I);
    fm.sumwI2 += (wi * I) * (wi * I);
    fm.sumI2 += I * I;
    if (!ddm) {
      fm.sumIb += std::fabs(I - background[static_cast<size_t>(i)]);
      if (i > 0) {
        const double dr =
            static_cast<double>(r[static_cast<size_t>(i)]) - r[static_cast<size_t>(i) - 1];
        fm.durbinwatson += dr * dr;
      }
    }
  }
  if (ddm) return;
  phaseresiduals(model);
  correlation(fm, model);
}

}  // namespace

void computefinal() {
  // The diagram of the final model is the one that stays; the fits of
  // further data sets write theirs again without waiting for the disk.
  struct DiagramSync {
    DiagramSync() { syncdiagram(true); }
    ~DiagramSync() { syncdiagram(false); }
  } diagramsync;
  FinalModel& fm = finalmodel;
  fm = FinalModel{};
  float* r = nullptr;
  int n = 0;
  totalmodell(&n, &r);
  fm.n = n;
  fm.S = sumsquares(r, n, qplus);
  const std::vector<float> residuals(r, r + std::min(n, m));
  const PeakValues peaks(param);

  anisochange = 1;
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next) {
    for (AnisotropyRecord* o = ph->aniso; o != nullptr; o = o->next)
      if (o->kind == ANISO_LINEAR || o->kind == ANISO_SQUARE)
        anisoinit(o->param, o->kind == ANISO_LINEAR);
    for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next)
      if (at->tdskind == TDS_ANISO) anisoinit(at->anisoparam, false);
  }
  anisochange = 2;
  clearfailed();

  const int P = rqmin;
  fm.N.assign(static_cast<size_t>(tri(P)), 0.0);
  if (n > m) fm.R.assign(static_cast<size_t>(tri(P)), 0.0);
  goalrows(P);
  ifgoal = 1;
  const long informative = normalrows(r, n, P, fm.N.data(), fm.R.empty() ? nullptr : fm.R.data());
  ifgoal = 0;
  std::free(r);
  fm.informative = informative;

  if (m > 0) figures(fm, residuals, peaks);
  covariance(fm, qminparam, P);

  const int nglobal = globalgoals + globalparams;
  for (int k = 0; k < nglobal; ++k)
    if (paramglobal[k].name != nullptr && paramglobal[k].goal == nullptr)
      SetVar(paramglobal[k].name, paramglobal[k].value);

  fm.peakzahl = 0;
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next) {
    int used = 0;
    for (int i = 0; i < ph->nrefl; ++i) {
      ReflectionRecord* rr = ph->refl[i];
      rr->used = 0;
      if (rr->fr1 == nullptr) continue;
      const bool lebail = ph->lebail != nullptr && ph->lebail[rr->iref] != 0;
      if (lebail || rr->fr1->F > 2.220446049250313e-10 ||
          (rr->fr2 != nullptr && rr->fr2->F > 2.220446049250313e-10)) {
        rr->used = 1;
        ++used;
      }
    }
    fm.peakzahl += used;
  }
  settime(fm.endtime);
  checklevel("ondataLevel", __LINE__);
}

void freegoalrows() {
  if (a == nullptr) return;
  for (int g = 0; g < goalzahl; ++g) std::free(a[g]);
  std::free(a);
  a = nullptr;
}

}  // namespace tamrel
