// Model-change tests. Every prediction is the change of the sum of squares
// under the best bounded step of a linearised model: with the derivative
// columns J and the residual r of the fitted set, the normal system
// A = J'J, b = J'r, a step x (parameters become old - x, bounded so that
// they stay non-negative) changes Q by x'Ax - 2 b'x. A candidate adds a row
// to the system (new peak, new parameter) or removes rows (deleted peak,
// dropped parameter).
#include "check.hpp"

#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "anpa.hpp"
#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "model/lam.hpp"
#include "model/unt.hpp"
#include "numeric/chi2wert.hpp"
#include "numeric/dreieck.hpp"
#include "rg0.hpp"

namespace kalvo {
using namespace core;
using namespace numeric;
using namespace model;

namespace {

constexpr const char* kModule = "check";
constexpr int kClasses = 15;
constexpr double kSolverEps = 1.1920928955078125e-07;  // 2^-23
constexpr float kDiagonal = 1.000006f;

// A profile over the measured points: a test peak keeps only its values
// lo..hi (first = lo); a derivative column and the residual keep all points
// (first = 0), lo..hi being the range over which they count.
struct TestPeak {
  float* profile;
  float position;  // reciprocal d (test peaks only)
  int first;
  int lo;
  int hi;
};

struct RankEntry {
  RankEntry* next;
  char kind;
  float p;  // corrected significance
  float position;
  float width;
  int type;
  int index;
};

struct Failed {
  Failed* next;
  Candidate c;
};

TestPeak* testpeaks[kClasses];
int testcount[kClasses];
double dsinx[kClasses];
double b1[kClasses];
int nclasses = 0;
double testpeakzahl = 0;
RankEntry* rangliste = nullptr;
Failed* misserfolg = nullptr;
bool ende = false;

// The spacing and breadth tables per radiation; a spacing of 0 holds no
// test peaks.
const double kSyncSpacing[kClasses] = {5e-5, 1e-4, 2e-4, 5e-4, 1e-3, 2e-3, 5e-3, 0.01,
                                       0.02, 0.05, 0.1,  0.2,  0.5,  0,    0};
const double kSyncBreadth[kClasses] = {1e-5, 2e-5, 5e-5, 1e-4, 2e-4, 5e-4, 1e-3, 2e-3,
                                       5e-3, 0.01, 0.02, 0.05, 0.1,  0.2,  0.5};
const double kTube[] = {2e-4, 5e-4, 1e-3, 2e-3, 5e-3, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5};
const double kNeutron[] = {1e-3, 2e-3, 5e-3, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5};

// Trims a profile over all points to the range that holds at least 90% of
// its absolute sum, cutting the smaller end first; empty (lo = m, hi = -1)
// for a profile without weight.
void setlulo(const float* f, int* lo, int* hi) {
  double s = 0;
  for (int i = 0; i < m; ++i) s += std::fabs(f[i]);
  double t = 0.1 * s;
  if (t == 0) {
    *lo = m;
    *hi = -1;
    return;
  }
  int l = 0, h = m - 1;
  double sum = 0;
  while (l <= h) {
    if (std::fabs(f[h]) > std::fabs(f[l])) {
      sum += std::fabs(f[l]);
      if (sum > t) break;
      ++l;
    } else {
      sum += std::fabs(f[h]);
      if (sum > t) break;
      --h;
    }
  }
  *lo = l;
  *hi = h;
}

// Dot product of two profiles over the range where both count.
double peakskapro(const TestPeak& a, const TestPeak& b) {
  int lo = a.lo > b.lo ? a.lo : b.lo;
  int hi = a.hi < b.hi ? a.hi : b.hi;
  double s = 0;
  for (int i = lo; i <= hi; ++i)
    s += static_cast<double>(a.profile[i - a.first]) * b.profile[i - b.first];
  return s;
}

void freegrid() {
  for (int c = 0; c < kClasses; ++c) {
    for (int j = 0; j < testcount[c]; ++j) std::free(testpeaks[c][j].profile);
    std::free(testpeaks[c]);
    testpeaks[c] = nullptr;
    testcount[c] = 0;
  }
  testpeakzahl = 0;
}

void rangclear() {
  while (rangliste != nullptr) {
    RankEntry* next = rangliste->next;
    std::free(rangliste);
    rangliste = next;
  }
}

// Priority of a kind: '+' and 'D' first, then '-' and 'N' (or 'U' in the
// end phase).
int priority(char kind) {
  const char* order = ende ? "+DU -N3" : "+D-NU 3";
  const char* at = std::strchr(order, kind);
  return at != nullptr ? static_cast<int>(at - order) / 2 : 3;
}

bool misstest(const Candidate& c) {
  for (const Failed* f = misserfolg; f != nullptr; f = f->next) {
    const Candidate& o = f->c;
    if (o.kind != c.kind) continue;
    switch (c.kind) {
      case 'N': {
        float near = std::fmin(c.width, o.width) + 0.0003f;
        if (std::fabs(c.position - o.position) < near &&
            std::fabs(std::log((o.width + 1e-6) / (c.width + 1e-6))) < 1)
          return true;
        break;
      }
      case 'U':
        return true;
      default:
        if (o.type == c.type && o.index == c.index) return true;
    }
  }
  return false;
}

// Tests one candidate and, when significant, ranks it.
void rangaufbau(char kind, int dof, int type, int index, const PeakSet* set, double x,
                float position, float width) {
  Candidate c{kind, position, width, type, index};
  double p = 0;
  if (!chi2test(x, dof, &c, set, &p)) return;
  auto* e = kcalloc<RankEntry>(1);
  *e = RankEntry{nullptr, kind, static_cast<float>(p), position, width, type, index};
  const int cls = priority(kind);
  RankEntry** at = &rangliste;
  for (; *at != nullptr; at = &(*at)->next) {
    const RankEntry* o = *at;
    const int oc = priority(o->kind);
    if (oc < cls) continue;
    if (oc > cls) break;
    if (kind == 'N' && o->kind == 'N') {
      if (0.999f * width > o->width) continue;
      if (o->width > 1.001f * width) break;
    }
    if (e->p <= o->p) break;
  }
  e->next = *at;
  *at = e;
}

// The test's normal system and the profiles it is built from.
struct System {
  int p = 0;                   // parameters of the set
  std::vector<TestPeak> cols;  // p own columns, then the extra ones
  TestPeak resid{};            // residual over all points
  std::vector<float> A;        // packed, order p + 1
  std::vector<float> b;        // p + 1
  std::vector<float> u;        // p + 1
  double f = 1;                // variance scale of the predictions
};

double prediction(const float* A, const float* b, const float* x, int n) {
  return atma(x, A, n) - 2 * skapro(b, x, n);
}

// Score of a system reduced by the parameters [j0, j0 + t) set to zero
// from their values: step v = -value at the parameter j0 only.
bool reduced(const System& S, int j0, int t, int jv, float value, double* score) {
  const int p = S.p;
  const int n = p - t;
  std::vector<int> keep;
  keep.reserve(static_cast<size_t>(n));
  for (int k = 0; k < p; ++k)
    if (k < j0 || k >= j0 + t) keep.push_back(k);
  auto a = [&](int i, int j) { return i >= j ? S.A[tri(i) + j] : S.A[tri(j) + i]; };
  std::vector<float> Ar(static_cast<size_t>(n) * (n + 1) / 2 + 1), br(n + 1), ur(n + 1), x(n + 1);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j <= i; ++j) Ar[tri(i) + j] = a(keep[i], keep[j]);
    // g = A v with v = -value at jv.
    float g = static_cast<float>(-static_cast<double>(value) * a(keep[i], jv));
    br[i] = S.b[keep[i]] + g;
    ur[i] = S.u[keep[i]];
  }
  if (!rg0(Ar.data(), br.data(), x.data(), ur.data(), n, kSolverEps)) return false;
  *score = S.f * (prediction(Ar.data(), br.data(), x.data(), n) +
                  static_cast<double>(value) * value * a(jv, jv));
  return true;
}

// New-peak scores of one class on the worker threads.
struct NeuJob {
  const System* sys;
  int cls;
  float* scores;
  std::atomic<int64_t> counter;
};

void neupar(uint64_t arg) {
  auto* job = reinterpret_cast<NeuJob*>(arg);
  const System& S = *job->sys;
  const int p = S.p;
  const int n = p + 1;
  std::vector<float> A(S.A.begin(), S.A.begin() + static_cast<long>(tri(n)));
  std::vector<float> b(S.b.begin(), S.b.begin() + n);
  std::vector<float> x(static_cast<size_t>(n));
  float* row = A.data() + tri(p);
  const TestPeak* peaks = testpeaks[job->cls];
  for (int64_t k; (k = nexttask(job->counter)) >= 0;) {
    const TestPeak& t = peaks[k];
    for (int j = 0; j < p; ++j) row[j] = static_cast<float>(peakskapro(t, S.cols[j]));
    row[p] = static_cast<float>(peakskapro(t, t)) * kDiagonal;
    b[p] = static_cast<float>(peakskapro(t, S.resid));
    double s = 0;
    if (rg0(A.data(), b.data(), x.data(), S.u.data(), n, kSolverEps))
      s = S.f * prediction(A.data(), b.data(), x.data(), n);
    job->scores[k] = static_cast<float>(s);
  }
}

// The 'U' candidate: the background with one polynomial coefficient less.
// c: the polynomial coefficients (kpoly of them, at parameter index pb);
// C: the inverse of the normal matrix (order p).
void untertest(const System& S, const PeakSet* set, const float* C, int pb, int kpoly) {
  if (kpoly == 1) {
    double c = set->bg[0];
    double score = S.f * c * c / C[tri(pb) + pb];
    rangaufbau('U', -1, 0, 0, set, score, 0, 0);
    return;
  }
  const int K = kpoly;
  std::vector<float> nodes(static_cast<size_t>(set->ru) + 1);
  if (untx0(nodes.data()) != K) internal_error("U conflict", kModule, __LINE__);
  // Weight of the coefficients: the inverse of their covariance block.
  std::vector<float> W(static_cast<size_t>(tri(K)));
  for (int i = 0; i < K; ++i)
    for (int j = 0; j <= i; ++j) W[tri(i) + j] = C[tri(pb + i) + pb + j];
  int status = 0;
  msin(W.data(), K, &status, 1.19e-6);
  if (status != 0) {
    message<7>();
    return;
  }
  untsetup(set->ru - 1);
  if (untx0(nullptr) != K - 1) internal_error("U conflict", kModule, __LINE__);
  // B(i, k): basis function k of the smaller background at node i.
  const int L = K - 1;
  std::vector<float> B(static_cast<size_t>(K) * L), d(static_cast<size_t>(set->ru) + 1);
  for (int i = 0; i < K; ++i) {
    unta(set->bg, d.data(), nodes[i]);
    for (int k = 0; k < L; ++k) B[static_cast<size_t>(i) * L + k] = d[k];
  }
  untsetup(set->ru);
  if (untx0(nullptr) != K) internal_error("U conflict", kModule, __LINE__);
  auto w = [&](int i, int j) { return i >= j ? W[tri(i) + j] : W[tri(j) + i]; };
  // N = B'WB and B'Wc.
  std::vector<double> WB(static_cast<size_t>(K) * L, 0.0);
  for (int i = 0; i < K; ++i)
    for (int k = 0; k < L; ++k)
      for (int j = 0; j < K; ++j)
        WB[static_cast<size_t>(i) * L + k] += w(i, j) * B[static_cast<size_t>(j) * L + k];
  std::vector<float> N(static_cast<size_t>(tri(L)));
  std::vector<double> rhs(static_cast<size_t>(L), 0.0);
  for (int k = 0; k < L; ++k) {
    for (int l = 0; l <= k; ++l) {
      double s = 0;
      for (int i = 0; i < K; ++i)
        s += B[static_cast<size_t>(i) * L + k] * WB[static_cast<size_t>(i) * L + l];
      N[tri(k) + l] = static_cast<float>(s);
    }
    for (int i = 0; i < K; ++i) rhs[k] += WB[static_cast<size_t>(i) * L + k] * set->bg[i];
  }
  msin(N.data(), L, &status, 1.19e-6);
  if (status != 0) {
    message<8>();
    return;
  }
  auto nn = [&](int i, int j) { return i >= j ? N[tri(i) + j] : N[tri(j) + i]; };
  std::vector<double> cp(static_cast<size_t>(L), 0.0);
  for (int k = 0; k < L; ++k)
    for (int l = 0; l < L; ++l) cp[k] += nn(k, l) * rhs[l];
  // The difference at the nodes between the best smaller background and the
  // present one, weighted by the coefficients' inverse covariance.
  std::vector<double> diff(static_cast<size_t>(K));
  for (int i = 0; i < K; ++i) {
    double v = 0;
    for (int k = 0; k < L; ++k) v += B[static_cast<size_t>(i) * L + k] * cp[k];
    diff[i] = v - set->bg[i];
  }
  double score = 0;
  for (int i = 0; i < K; ++i)
    for (int j = 0; j < K; ++j) score += diff[i] * w(i, j) * diff[j];
  rangaufbau('U', -1, 0, 0, set, S.f * score, 0, 0);
}

}  // namespace

void checkfree() {
  freegrid();
  for (int c = 0; c < kClasses; ++c) dsinx[c] = b1[c] = 0;
  if (ifsynchrotron()) {
    nclasses = 15;
    for (int c = 0; c < kClasses; ++c) {
      dsinx[c] = kSyncSpacing[c];
      b1[c] = kSyncBreadth[c];
    }
  } else if (ifxray()) {
    nclasses = 11;
    for (int c = 0; c < nclasses; ++c) dsinx[c] = b1[c] = kTube[c];
  } else {
    nclasses = 9;
    for (int c = 0; c < nclasses; ++c) dsinx[c] = b1[c] = kNeutron[c];
  }
}

void checkinit(double lo, double hi) {
  checkfree();
  if (m <= 0) return;
  // With zero intensities the weighted residual is the weighted model.
  float* measured = intensitaet;
  float* zero = kcalloc<float>(static_cast<size_t>(m));
  intensitaet = zero;
  untsetup(0);
  PeakSet* one = nullptr;
  peakalloc(nullptr, &one, 0, 0, 0, 0, 1, 0);
  float* r = kcalloc<float>(static_cast<size_t>(m));
  for (int c = 0; c < nclasses; ++c) {
    if (!(dsinx[c] > 0)) break;
    double span = std::floor((hi - lo) / dsinx[c]);
    if (!(span >= 1)) break;
    const int count = static_cast<int>(std::fmin(span, 1e8));
    testpeaks[c] = kcalloc<TestPeak>(static_cast<size_t>(count));
    testcount[c] = count;
    for (int j = 0; j < count; ++j) {
      testpeakzahl += 1;
      const float position = static_cast<float>((lo + (j + 0.5) * dsinx[c]) * 2 * l0);
      one->par3[0] = 1.0f;
      one->par3[1] = position;
      one->par3[2] = static_cast<float>(2 * l0 * b1[c]);
      modell(r, one);
      TestPeak& t = testpeaks[c][j];
      t.position = position;
      setlulo(r, &t.lo, &t.hi);
      t.first = t.lo;
      const int kept = t.hi >= t.lo ? t.hi - t.lo + 1 : 0;
      t.profile = kcalloc<float>(static_cast<size_t>(kept));
      if (kept > 0) std::memcpy(t.profile, r + t.lo, sizeof(float) * static_cast<size_t>(kept));
    }
  }
  std::free(r);
  peakfree(&one);
  intensitaet = measured;
  std::free(zero);
}

bool chi2test(double x, int dof, const Candidate* cand, const PeakSet* set, double* p) {
  if (dof == 0) return x < -1;
  double M = 1;
  if (cand != nullptr) {
    switch (cand->kind) {
      case '+':
      case '-':
        M = cand->type == 2 ? set->count2 : cand->type == 3 ? set->count3 : set->count4;
        break;
      case 'D':
        M = set->count2 + set->count3 + set->count4;
        break;
      case 'N':
        M = testpeakzahl;
        break;
      case 'U':
        M = 1;
        break;
      default:
        internal_error("chi2test art undefined", kModule, __LINE__);
    }
  }
  double P;
  bool pass;
  if (dof > 0) {
    P = chi2wertc(dof, -x) * M;
    pass = P < 0.01;
  } else {
    P = chi2wertc(-dof, x) * M;
    pass = P > 0.1;
  }
  if (p != nullptr) *p = P;
  return pass;
}

void test(const PeakSet* set, const char* kinds) {
  rangclear();
  static char allowed[8001];
  std::strcpy(allowed, "UND+-234");
  if (!dataerr_try([] { GetStrVar("TEST", 8000, allowed); })) std::strcpy(allowed, "UND+-234");
  auto both = [&](char c) {
    return std::strchr(kinds, c) != nullptr && std::strchr(allowed, c) != nullptr;
  };
  auto has = [&](char c) { return std::strchr(allowed, c) != nullptr; };

  const int n2 = set->count2, n3 = set->count3, n4 = set->count4, ru = set->ru;
  System S;
  const int p = S.p = nparam(set);
  const int ncols = p + n2 + n3;

  // Derivative columns of the extended set: each 2-parameter peak as a
  // 3-parameter peak of width 0, each 3-parameter peak as a 4-parameter peak
  // with fourth parameter 0; their missing parameter is an extra column.
  PeakSet* ext = nullptr;
  peakalloc(nullptr, &ext, 0, 0, ru, 0, n2, n3 + n4);
  std::vector<int> colof;  // column of each entry of an extended row
  for (int k = 0; k < n2; ++k) {
    ext->par3[3 * k] = set->par2[2 * k];
    ext->par3[3 * k + 1] = set->par2[2 * k + 1];
    colof.insert(colof.end(), {2 * k, 2 * k + 1, p + k});
  }
  for (int k = 0; k < n3; ++k) {
    for (int i = 0; i < 3; ++i) ext->par4[4 * k + i] = set->par3[3 * k + i];
    const int j0 = 2 * n2 + 3 * k;
    colof.insert(colof.end(), {j0, j0 + 1, j0 + 2, p + n2 + k});
  }
  for (int k = 0; k < n4; ++k) {
    for (int i = 0; i < 4; ++i) ext->par4[4 * (n3 + k) + i] = set->par4[4 * k + i];
    const int j0 = 2 * n2 + 3 * n3 + 4 * k;
    colof.insert(colof.end(), {j0, j0 + 1, j0 + 2, j0 + 3});
  }
  for (int k = 0; k < ru; ++k) {
    ext->bg[k] = set->bg[k];
    colof.push_back(p - ru + k);
  }
  S.cols.resize(static_cast<size_t>(ncols));
  for (TestPeak& c : S.cols) c = TestPeak{kcalloc<float>(static_cast<size_t>(m)), 0, 0, 0, m - 1};
  std::vector<float> row(colof.size() + 1);
  for (int i = 0; i < m; ++i) {
    ableitung(row.data(), i, ext);
    for (size_t e = 0; e < colof.size(); ++e) S.cols[colof[e]].profile[i] = row[e];
  }
  peakfree(&ext);
  for (int j = 0; j < ncols; ++j)
    if (j < p - ru || j >= p) setlulo(S.cols[j].profile, &S.cols[j].lo, &S.cols[j].hi);

  // Residual and the scale of the predictions.
  S.resid = TestPeak{kcalloc<float>(static_cast<size_t>(m)), 0, 0, 0, m - 1};
  modell(S.resid.profile, set);
  double Q = 0;
  for (int i = 0; i < m; ++i) Q += static_cast<double>(S.resid.profile[i]) * S.resid.profile[i];
  const double dof = m - p;
  if (dof >= 1) {
    ende = Q < dof + 3 * std::sqrt(2 * dof);
    S.f = ende || !(Q > 0) ? 1 : dof / Q;
  } else {
    ende = true;
    S.f = 1;
  }

  // The normal system, one row more for a candidate's new parameter.
  S.A.assign(static_cast<size_t>(tri(p + 1)), 0.0f);
  S.b.assign(static_cast<size_t>(p + 1), 0.0f);
  S.u.assign(static_cast<size_t>(p + 1), 0.0f);
  for (int i = 0; i < p; ++i) {
    for (int j = 0; j <= i; ++j)
      S.A[tri(i) + j] = static_cast<float>(peakskapro(S.cols[i], S.cols[j]));
    S.A[tri(i) + i] *= kDiagonal;
    S.b[i] = static_cast<float>(skapro(S.cols[i].profile, S.resid.profile, m));
    S.u[i] = paramvalue(set, i);
  }

  // '+': a width for a 2-parameter peak, a fourth parameter for a 3-parameter peak.
  if (both('+')) {
    std::vector<float> x(static_cast<size_t>(p + 1));
    float* last = S.A.data() + tri(p);
    auto widen = [&](int type, int index, int col, float position) {
      const TestPeak& e = S.cols[col];
      for (int j = 0; j < p; ++j) last[j] = static_cast<float>(peakskapro(e, S.cols[j]));
      last[p] = static_cast<float>(peakskapro(e, e)) * kDiagonal;
      S.b[p] = static_cast<float>(peakskapro(e, S.resid));
      if (rg0(S.A.data(), S.b.data(), x.data(), S.u.data(), p + 1, kSolverEps))
        rangaufbau('+', 1, type, index, set,
                   S.f * prediction(S.A.data(), S.b.data(), x.data(), p + 1), position, 0);
    };
    if (has('3'))
      for (int k = 0; k < n2; ++k) widen(2, k, p + k, set->par2[2 * k + 1]);
    if (has('4'))
      for (int k = 0; k < n3; ++k) widen(3, k, p + n2 + k, set->par3[3 * k + 1]);
  }

  // 'N': new peaks from the grid, class by class.
  if (both('N')) {
    const int type = has('3') ? 3 : has('4') ? 4 : has('2') ? 2 : 3;
    for (int c = 0; c < kClasses && testcount[c] > 0; ++c) {
      const int count = testcount[c];
      std::vector<float> scores(static_cast<size_t>(count));
      NeuJob job;
      job.sys = &S;
      job.cls = c;
      job.scores = scores.data();
      job.counter.store(count);
      nspawn(neupar, 0, reinterpret_cast<uint64_t>(&job));
      nwait();
      const float width = static_cast<float>(2 * l0 * b1[c]);
      for (int j = 0; j < count; ++j) {
        const float s = scores[j];
        // A score that predicts no decrease never passes the test.
        if (!(s < 0)) continue;
        bool minimum = true;
        for (int k = j - 1; k >= 0 && minimum && scores[k] < s + 4.0f; --k)
          minimum = scores[k] >= s;
        for (int k = j + 1; k < count && minimum && scores[k] < s + 4.0f; ++k)
          minimum = scores[k] >= s;
        if (minimum)
          rangaufbau('N', type < 3 ? type : 3, type, 0, set, s, testpeaks[c][j].position, width);
      }
      if (type == 2) break;
    }
  }

  // 'D': a peak deleted; '-': a width or fourth parameter dropped.
  struct Kind {
    int type, count;
    const float* par;
    int base;
  } kindsof[3] = {
      {2, n2, set->par2, 0}, {3, n3, set->par3, 2 * n2}, {4, n4, set->par4, 2 * n2 + 3 * n3}};
  if (both('D')) {
    for (const Kind& k : kindsof) {
      for (int i = 0; i < k.count; ++i) {
        const int j0 = k.base + k.type * i;
        double score;
        if (reduced(S, j0, k.type, j0, k.par[k.type * i], &score))
          rangaufbau('D', -k.type, k.type, i, set, score, k.par[k.type * i + 1], 0);
      }
    }
  }
  if (both('-')) {
    for (const Kind& k : kindsof) {
      if (k.type == 2 || !has(k.type == 3 ? '2' : '3')) continue;
      for (int i = 0; i < k.count; ++i) {
        const int j = k.base + k.type * i + k.type - 1;
        double score;
        if (reduced(S, j, 1, j, k.par[k.type * i + k.type - 1], &score))
          rangaufbau('-', -1, k.type, i, set, score, k.par[k.type * i + 1], 0);
      }
    }
  }

  // 'U': one polynomial background coefficient less.
  const int kpoly = ru > 0 ? untx0(nullptr) : 0;
  if (both('U') && kpoly >= 1 && p >= 1) {
    std::vector<float> C(static_cast<size_t>(tri(p)));
    for (int i = 0; i < p; ++i)
      for (int j = 0; j <= i; ++j) C[tri(i) + j] = S.A[tri(i) + j];
    for (int i = 0; i < p; ++i)
      if (C[tri(i) + i] == 0) C[tri(i) + i] = 1.0f;
    markwidthless(set, C.data());
    int status = 0;
    msin(C.data(), p, &status, 1.1920928955078125e-06);
    if (status != 0) {
      fatal<-4>(status);
    }
    untertest(S, set, C.data(), p - ru, kpoly);
  }

  for (TestPeak& c : S.cols) std::free(c.profile);
  std::free(S.resid.profile);
}

Candidate getfirstrang() {
  while (rangliste != nullptr) {
    RankEntry* e = rangliste;
    rangliste = e->next;
    Candidate c{e->kind, e->position, e->width, e->type, e->index};
    std::free(e);
    if (!misstest(c)) return c;
  }
  return Candidate{'3', 0, 0, 0, 0};
}

void missset(Candidate c) {
  auto* f = kcalloc<Failed>(1);
  f->c = c;
  f->next = misserfolg;
  misserfolg = f;
}

void missclear() {
  while (misserfolg != nullptr) {
    Failed* next = misserfolg->next;
    std::free(misserfolg);
    misserfolg = next;
  }
}

}  // namespace kalvo
