// The profile fit loop: fits with the minimiser, removal rules, and the
// cycles of model changes (first stage: a new peak or a width less; second
// stage: a width more or a peak less; final stage: a background coefficient
// less), each change judged by a chi-square test on the refitted sum of
// squares.
#include "anpa.hpp"

#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/integral.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "model/lam.hpp"
#include "model/unt.hpp"
#include "numeric/dreieck.hpp"
#include "numeric/qmin.hpp"

namespace kalvo {
using namespace core;
using namespace numeric;
using namespace model;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr float kSearchTolerance = 1e-5f;
constexpr float kFinalTolerance = 1.1920928955078125e-07f;  // 2^-23
constexpr float kNoInfluence = 3.4028234663852886e+37f;
// Cycles of model changes before the search is stopped and the accepted
// set is fitted as it is.
constexpr int kMaxCycles = 1000;

PeakSet* paramit = nullptr;       // the set the callbacks evaluate
double datamin = 0, datamax = 0;  // sin(theta) range of the points
double fitmin = 0, fitmax = 0;    // sin(theta) fit window
std::string untscaled, untfixed;
bool hasscaled = false, hasfixed = false;
int untready = -1;  // coefficients of the background set up for the pattern, -1 none

// Derivative rows, computed a batch at a time on the worker threads.
struct AblBatch {
  float* buffer = nullptr;
  int first = 0;
  int p = 0;
  std::atomic<int64_t> counter{0};
};
AblBatch batch;
int batchsize = 10;

bool modell1(float* r) {
  modell(r, paramit);
  return true;
}

void ablpar(uint64_t arg) {
  auto* b = reinterpret_cast<AblBatch*>(arg);
  for (int64_t k; (k = nexttask(b->counter)) >= 0;)
    ableitung(b->buffer + k * b->p, b->first + static_cast<int>(k), paramit);
}

void ableitung1(float* row, int i) {
  if (i % batchsize == 0) {
    batch.first = i;
    batch.counter.store(std::min(batchsize, m - i));
    nspawn(ablpar, 0, reinterpret_cast<uint64_t>(&batch));
    nwait();
  }
  std::memcpy(row, batch.buffer + static_cast<long>(i - batch.first) * batch.p,
              sizeof(float) * static_cast<size_t>(batch.p));
}

bool protokoll() {
  char text[51] = {};
  if (!dataerr_try([&] { GetStrVar("PROTOKOLL", 50, text); })) return false;
  return text[0] != 0 && std::strchr("JjYy", text[0]) != nullptr;
}

int peakcount(const PeakSet* s) { return s->count2 + s->count3 + s->count4; }

// Q of the set as it stands (for a set without parameters, which the
// minimiser does not evaluate).
float sumofsquares(const PeakSet* set) {
  std::vector<float> r(static_cast<size_t>(m > 0 ? m : 1));
  paramit = const_cast<PeakSet*>(set);
  untsetup(set->ru);
  modell(r.data(), set);
  double s = 0;
  for (int i = 0; i < m; ++i) s += static_cast<double>(r[i]) * r[i];
  return static_cast<float>(s);
}

// One minimiser run; *q: tolerance in, final sum of squares out.
void iteration(int maxit, float* q, PeakSet* set) {
  paramit = set;
  const int p = nparam(set);
  if (p < 1) {
    *q = sumofsquares(set);
    return;
  }
  std::vector<float*> ptr;
  ptr.reserve(static_cast<size_t>(p));
  for (int k = 0; k < 2 * set->count2; ++k) ptr.push_back(set->par2 + k);
  for (int k = 0; k < 3 * set->count3; ++k) ptr.push_back(set->par3 + k);
  for (int k = 0; k < 4 * set->count4; ++k) ptr.push_back(set->par4 + k);
  for (int k = 0; k < set->ru; ++k) ptr.push_back(set->bg + k);
  std::vector<uint8_t> nonneg(static_cast<size_t>(p), 1);
  untsetup(set->ru);
  batchsize = 10 * (nthreads > 0 ? nthreads : 1);
  batch.p = p;
  batch.buffer = kcalloc<float>(static_cast<size_t>(batchsize) * p);
  int it = maxit;
  qmin(ptr.data(), nonneg.data(), p, m, modell1, ableitung1, &it, q, protokoll());
  std::free(batch.buffer);
  batch.buffer = nullptr;
}

// The parameter limits of a search fit and of the final fit.
int searchlimit(const PeakSet* s) { return std::min(30 * nparam(s), 10 * m); }
int finallimit(const PeakSet* s) { return std::min(50 * nparam(s), 15 * m); }

float fit(PeakSet* set, bool final) {
  float q = final ? kFinalTolerance : kSearchTolerance;
  iteration(final ? finallimit(set) : searchlimit(set), &q, set);
  std::printf(" Q=%-15.2f\n", static_cast<double>(q));
  return q;
}

const float* block(const PeakSet* s, int kind, int k) {
  return kind == 2 ? s->par2 + 2 * k : kind == 3 ? s->par3 + 3 * k : s->par4 + 4 * k;
}
int countof(const PeakSet* s, int kind) {
  return kind == 2 ? s->count2 : kind == 3 ? s->count3 : s->count4;
}

// A set without peak (kind, k).
void removepeak(PeakSet** set, int kind, int k) {
  PeakSet* old = *set;
  PeakSet* fresh = nullptr;
  peakalloc(old, &fresh, kind, k, old->ru, old->count2 - (kind == 2), old->count3 - (kind == 3),
            old->count4 - (kind == 4));
  peakfree(set);
  *set = fresh;
}

// Removes the peak of the largest score among those whose score is above 0
// (2-parameter peaks first, then 3, then 4; the first one on a tie), with
// message 206; false when there is none.
template <class Score>
bool removelargest(PeakSet** set, Score score) {
  int bestkind = 0, bestk = 0;
  double best = 0;
  for (int kind = 2; kind <= 4; ++kind) {
    for (int k = 0; k < countof(*set, kind); ++k) {
      const double v = score(kind, k, block(*set, kind, k)[1]);
      if (v > best) {
        best = v;
        bestkind = kind;
        bestk = k;
      }
    }
  }
  if (bestkind == 0) return false;
  removepeak(set, bestkind, bestk);
  message<206>();
  return true;
}

// Removes the peak farthest outside the fit window.
bool deleteaussen(PeakSet** set) {
  const double lo = 2 * l0 * fitmin, hi = 2 * l0 * fitmax;
  return removelargest(set, [&](int, int, double pos) { return std::max(pos - hi, lo - pos); });
}

// Removes the broadest peak whose own width exceeds what the background's
// resolution leaves to a peak.
bool deletebreit(PeakSet** set) {
  const double range = std::log(datamax / datamin) / ((*set)->ru + 1);
  return removelargest(set, [&](int kind, int k, double pos) {
    const double width = hwb(0, kind, k, *set);
    return width > range * 0.5 * pos ? width : 0.0;
  });
}

// Removes every peak without intensity.
void deletenull(PeakSet** set) {
  for (int kind = 2; kind <= 4; ++kind) {
    for (int k = 0; k < countof(*set, kind);) {
      if (block(*set, kind, k)[0] < FLT_MIN)
        removepeak(set, kind, k);
      else
        ++k;
    }
  }
}

double gauss(void*, double x) { return std::exp(-x * x / 2) / std::sqrt(2 * kPi); }

// End phase: the largest residual is no larger than the noise lets expect
// among the points.
bool ifende(const PeakSet* set, float q) {
  const int p = nparam(set);
  if (m <= p) return false;
  std::vector<float> r(static_cast<size_t>(m));
  paramit = const_cast<PeakSet*>(set);
  untsetup(set->ru);
  modell(r.data(), set);
  float zmax = 0;
  for (int i = 0; i < m; ++i) zmax = std::max(zmax, std::fabs(r[i]));
  const double z = zmax * std::sqrt(static_cast<double>(q) / (m - p));
  const double P = 2 * integral3(gauss, nullptr, 0, z, 1.1920928955078125e-07);
  return (1 - P) * m > 0.005;
}

PeakSet* copyof(const PeakSet* s) {
  PeakSet* c = nullptr;
  peakalloc(s, &c, 0, 0, s->ru, s->count2, s->count3, s->count4);
  return c;
}

// The set with peak (kind, k) moved to the end of kind newkind with the
// given parameter block.
PeakSet* retyped(const PeakSet* s, int kind, int k, int newkind, const float* values) {
  PeakSet* c = nullptr;
  peakalloc(s, &c, kind, k, s->ru, s->count2 - (kind == 2) + (newkind == 2),
            s->count3 - (kind == 3) + (newkind == 3), s->count4 - (kind == 4) + (newkind == 4));
  float* slot = const_cast<float*>(block(c, newkind, countof(c, newkind) - 1));
  std::memcpy(slot, values, sizeof(float) * static_cast<size_t>(newkind));
  return c;
}

// A new peak of the candidate's type at its position, intensity 0.
PeakSet* withnewpeak(const PeakSet* s, const Candidate& c) {
  const float values[4] = {0, c.position, c.width, 0};
  PeakSet* n = nullptr;
  peakalloc(s, &n, 0, 0, s->ru, s->count2 + (c.type == 2), s->count3 + (c.type == 3),
            s->count4 + (c.type == 4));
  float* slot = const_cast<float*>(block(n, c.type, countof(n, c.type) - 1));
  std::memcpy(slot, values, sizeof(float) * static_cast<size_t>(c.type));
  return n;
}

// '-': the peak loses its last parameter; '+': it gains one of value 0.
PeakSet* narrowed(const PeakSet* s, const Candidate& c) {
  const float* b = block(s, c.type, c.index);
  const float values[4] = {b[0], b[1], c.type > 2 ? b[2] : 0.0f, 0};
  return retyped(s, c.type, c.index, c.type - 1, values);
}
PeakSet* widened(const PeakSet* s, const Candidate& c) {
  const float* b = block(s, c.type, c.index);
  const float values[4] = {b[0], b[1], c.type > 2 ? b[2] : 0.0f, 0};
  return retyped(s, c.type, c.index, c.type + 1, values);
}

// The set with one polynomial background coefficient less: the scale of
// the UNT curve, when there is one, stays the last coefficient.
PeakSet* lessbackground(const PeakSet* s) {
  PeakSet* c = nullptr;
  peakalloc(s, &c, 0, 0, s->ru - 1, s->count2, s->count3, s->count4);
  const int kpoly = untx0(nullptr);
  if (kpoly < s->ru && c->ru > 0) c->bg[c->ru - 1] = s->bg[s->ru - 1];
  return c;
}

// Fits a changed set and applies the removal rules after each fit:
// deletebreit and deleteaussen (only deleteaussen in the bad-fit state).
float refitchanged(PeakSet** set, bool badfit) {
  float q;
  for (;;) {
    q = fit(*set, false);
    bool removed = !badfit && deletebreit(set);
    removed = deleteaussen(set) || removed;
    if (!removed) break;
  }
  deletenull(set);
  return q;
}

// Fits with deletebreit inside and deleteaussen outside: the initial, the
// background and the final fit.
float refitnested(PeakSet** set, bool final, bool broadinside) {
  float q;
  if (broadinside) {
    do {
      do q = fit(*set, final);
      while (deletebreit(set));
    } while (deleteaussen(set));
  } else {
    do {
      do q = fit(*set, final);
      while (deleteaussen(set));
    } while (deletebreit(set));
  }
  deletenull(set);
  return q;
}

double twotheta(double position) { return std::asin(position / (2 * l0)) * 360 / kPi; }

bool accept(double qt, double qc, int pt, int pc, const Candidate* cand, const PeakSet* ref) {
  float x = static_cast<float>((qt - qc) * static_cast<float>(m - pt) / static_cast<float>(qt));
  return chi2test(x, pt - pc, cand, ref, nullptr);
}

}  // namespace

int nparam(const PeakSet* s) { return s->ru + 2 * s->count2 + 3 * s->count3 + 4 * s->count4; }

float paramvalue(const PeakSet* s, int j) {
  if (j < 2 * s->count2) return s->par2[j];
  j -= 2 * s->count2;
  if (j < 3 * s->count3) return s->par3[j];
  j -= 3 * s->count3;
  if (j < 4 * s->count4) return s->par4[j];
  return s->bg[j - 4 * s->count4];
}

void markwidthless(const PeakSet* s, float* A) {
  const int base3 = 2 * s->count2, base4 = base3 + 3 * s->count3;
  for (int k = 0; k < s->count3; ++k) {
    const int j = base3 + 3 * k + 2;
    if (s->par3[3 * k + 2] == 0) A[tri(j) + j] = kNoInfluence;
  }
  for (int k = 0; k < s->count4; ++k) {
    for (int i = 2; i < 4; ++i) {
      const int j = base4 + 4 * k + i;
      if (s->par4[4 * k + i] == 0) A[tri(j) + j] = kNoInfluence;
    }
  }
}

void untcurves() {
  untready = -1;
  static char buf[8001];
  hasscaled = dataerr_try([] { GetStrVar("UNT", 8000, buf); });
  untscaled = hasscaled ? buf : "";
  hasfixed = dataerr_try([] { GetStrVar("UNTC", 8000, buf); });
  untfixed = hasfixed ? buf : "";
}

void untsetup(int ru) {
  // The set-up depends only on the count while the pattern stays: the
  // curves are read again only when the count changes.
  if (ru == untready) return;
  unt1(ru, sinx, m, hasscaled ? untscaled.c_str() : nullptr, hasfixed ? untfixed.c_str() : nullptr);
  untready = ru;
}

void anpa(PeakSet** set, float** matrix, float* q) {
  const int mode = getrekart();
  setrekart(2);
  datamin = datamax = m > 0 ? sinx[0] : 0;
  for (int i = 0; i < m; ++i) {
    datamin = std::min(datamin, static_cast<double>(sinx[i]));
    datamax = std::max(datamax, static_cast<double>(sinx[i]));
  }
  fitmin = datamin;
  fitmax = datamax;
  double v;
  if (dataerr_try([&] { v = GetVar("WMIN2[STARTINDEX]"); })) fitmin = std::sin(v * kPi / 360);
  if (dataerr_try([&] { v = GetVar("WMAX2[STARTINDEX]"); })) fitmax = std::sin(v * kPi / 360);
  untcurves();

  hinit();
  checkinit(fitmin, fitmax);
  message<200>();
  std::fflush(stdout);

  // Initial fit.
  PeakSet* accepted = *set;
  float qa = refitnested(&accepted, false, true);
  bool badfit = qa > m + 2 * std::sqrt(static_cast<double>(m));
  int mostpeaks = 0;
  if (badfit) {
    message<211>();
    mostpeaks = peakcount(accepted);
  }
  missclear();

  // Every entry into a first stage counts; past the limit the search stops
  // and the accepted set goes to the final fit.
  int cycles = 0;
  bool stopped = false;
  auto budget = [&] {
    if (!stopped && ++cycles > kMaxCycles) {
      message<241>(kMaxCycles);
      stopped = true;
    }
    return !stopped;
  };
  while (budget()) {
    // Cycle: changes are made to a copy of the accepted set.
    PeakSet* copy = copyof(accepted);
    float qc = qa;
    bool firstchange = false;
    Candidate first{'3', 0, 0, 0, 0};
    for (;;) {
      bool changed = false;
      // First stage: a new peak or a width less.
      peaksort(copy);
      test(copy, ifende(copy, qc) ? "-" : "N-");
      Candidate c = getfirstrang();
      if (c.kind == '-' || c.kind == 'N') {
        std::printf("%c zweiTheta=%-8.4f", c.kind, twotheta(c.position));
        if (c.kind == 'N' && c.width > 0) {
          const double s = c.position / (2 * l0);
          std::printf(" HWB=%-7.4f", c.width * 360 / (kPi * l0 * std::sqrt(1 - s * s)));
        } else {
          std::printf("            ");
        }
        PeakSet* changedset = c.kind == '-' ? narrowed(copy, c) : withnewpeak(copy, c);
        peakfree(&copy);
        copy = changedset;
        qc = refitchanged(&copy, badfit);
        if (badfit) {
          if (peakcount(copy) > mostpeaks) {
            mostpeaks = peakcount(copy);
            missclear();
          } else {
            missset(c);
          }
        }
        first = c;
        firstchange = changed = true;
      }
      // Second stage: a width more or a peak less.
      peaksort(copy);
      test(copy, ifende(copy, qc) ? "D" : "+D");
      for (c = getfirstrang(); c.kind == '+' || c.kind == 'D'; c = getfirstrang()) {
        std::printf("%c zweiTheta=%-8.4f            ", c.kind, twotheta(c.position));
        PeakSet* trial = nullptr;
        if (c.kind == '+') {
          trial = widened(copy, c);
        } else {
          trial = copyof(copy);
          removepeak(&trial, c.type, c.index);
        }
        float qt = refitchanged(&trial, badfit);
        if (!accept(qt, qc, nparam(trial), nparam(copy), &c, copy)) {
          peakfree(&trial);
          message<209>();
          continue;
        }
        peakfree(&copy);
        copy = trial;
        qc = qt;
        peaksort(copy);
        test(copy, ifende(copy, qc) ? "D" : "+D");
        changed = true;
      }
      // In the bad-fit state the chain of changes goes on while it changes.
      if (!(badfit && changed) || !budget()) break;
    }
    if (stopped) {
      peakfree(&copy);
      break;
    }

    if (!firstchange) {
      // Final stage: one background coefficient less.
      peakfree(&accepted);
      accepted = copy;
      qa = qc;
      peaksort(accepted);
      test(accepted, "U");
      Candidate c = getfirstrang();
      if (c.kind == '3') break;
      if (c.kind != 'U') continue;
      std::printf("U%31s", "");
      PeakSet* trial = lessbackground(accepted);
      float qt = refitnested(&trial, false, false);
      if (!accept(qt, qa, nparam(trial), nparam(accepted), &c, accepted)) {
        peakfree(&trial);
        message<209>();
        break;
      }
      peakfree(&accepted);
      accepted = trial;
      qa = qt;
      continue;
    }

    // The cycle's chain of changes against the accepted set.
    if (badfit) {
      for (;;) {
        if (!deletebreit(&copy) && !deleteaussen(&copy)) break;
        qc = fit(copy, false);
        deletenull(&copy);
      }
    }
    if (!accept(qc, qa, nparam(copy), nparam(accepted), badfit ? nullptr : &first, accepted)) {
      peakfree(&copy);
      message<209>();
      if (!badfit) {
        missset(first);
      } else {
        badfit = false;
        message<212>();
      }
    } else {
      peakfree(&accepted);
      accepted = copy;
      qa = qc;
      if (badfit) message<212>();
      missclear();
      badfit = false;
    }
  }

  // Final fit.
  message<210>();
  qa = refitnested(&accepted, true, true);
  missclear();
  peaksort(accepted);

  // Inverse normal matrix for the error estimates.
  std::free(*matrix);
  const int p = nparam(accepted);
  float* A = kcalloc<float>(static_cast<size_t>(tri(p)));
  if (p > 0) {
    untsetup(accepted->ru);
    std::vector<float> row(static_cast<size_t>(p));
    for (int i = 0; i < m; ++i) {
      ableitung(row.data(), i, accepted);
      bau(row.data(), A, p);
    }
    for (int j = 0; j < p; ++j) A[tri(j) + j] *= 1.000002384185791f;
    markwidthless(accepted, A);
    int status = 0;
    msin(A, p, &status, 1.1920928955078125e-07);
    if (status != 0) {
      fatal<-200>();
    }
  }
  *matrix = A;
  *set = accepted;

  hfrei();
  checkfree();
  unt2();
  untready = -1;
  *q = qa;
  setrekart(mode);
}

}  // namespace kalvo
