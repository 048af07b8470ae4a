// Component search and fit of one reflection: the model and its derivatives,
// the start width and search grid, the growth of the component set by
// scored candidates, and the tests a new set must pass.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/velmora.hpp"
#include "model/lam.hpp"
#include "model/unt.hpp"
#include "numeric/dreieck.hpp"
#include "numeric/rg2.hpp"
#include "programs/lintor/lintor.hpp"
#include "programs/lintor/qmin7.hpp"

namespace lintor {

using namespace core;
using namespace numeric;
using namespace model;

int ru = 2;
int m = 0;
const float* sinx = nullptr;
const float* intensitaet = nullptr;
const float* w = nullptr;
const Reflex* reflex = nullptr;
std::vector<double> g, e, q;
std::vector<double> tud;
std::vector<float> tu;
float epsilon = 0.02f;
// The most cells of the search grid of one reflection.
constexpr int kMostCells = 1000000;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr const char* kModule = "lintor";
constexpr double kLargest = 3.4028234663852886e38;  // the largest float, as a double

// Polarisation factor at sin theta s; 1 without polarisation.
double polfactor(double s) {
  if (!ifpol()) return 1;
  const double c2 = 1 - 2 * s * s;
  return (1 + pol * c2 * c2) / 2;
}

// One wavelength line seen from one point: the scale of angle onto 1/d
// (L = 2 lj cos theta), the Lorentzian width a of the line and the standard's
// own Lorentzian width, and where the point lies from the reflection in 1/d.
struct Line {
  double L, a, x0;
};

Line lineat(int l, double s, double c) {
  const Reflex& R = *reflex;
  return {2 * lj[l] * c, 2 * dj[l] * s + R.lorentz, 2 * lj[l] * s - R.position};
}

// The quantities of one component (position e, width sigma) folded with one
// line and the standard's own squared-Lorentzian width Sr: the squared-Lorentzian
// parts b and c, the total width t, the distance x and D = 1/(x^2 + t^2).
struct Fold {
  double b, c, t, x, D;
};

Fold fold(const Line& ln, double ek, double sigma, double Sr) {
  Fold f;
  f.b = Sr + sigma * ln.L;
  f.c = Sr * sigma * ln.L;
  f.t = ln.a + f.b;
  f.x = ek * ln.L + ln.x0;
  f.D = 1 / (f.x * f.x + f.t * f.t);
  return f;
}

// Shape of the folded component at the point, per unit weight and line
// intensity (times pi).
double shape(const Line& ln, const Fold& f) {
  const double t2 = f.t * f.t;
  return f.D * (ln.a + f.D * (2 * f.b * t2 - 6 * f.c * f.t + 8 * f.c * t2 * f.t * f.D));
}

void copybackground() {
  for (int k = 0; k < ru; ++k) tu[k] = static_cast<float>(tud[k]);
}

// ---------------------------------------------------------------------------
// Search state of one reflection

struct Grid {
  double W0 = 0;  // smallest width
  double dE = 0;  // position step
  double E0 = 0;  // first position
  int Np = 0;     // positions
  int Nq = 0;     // widths
  double q0 = 0;  // start width
  double position(int i) const { return E0 + i * dE; }
  // Squared width of width index j: W0^2 1.5^(2j). The bounds of the fit use
  // the same expression, so that a new component of the widest grid width
  // starts inside them.
  double qwidth(int j) const { return W0 * W0 * std::exp(2 * j * std::log(1.5)); }
};

struct Candidate {
  int i, j;
  float score;
};

Grid grid;

// One least-squares fit of the background and the current components;
// returns the iteration count and the final sum of squares in *Q. Without
// parameters the model is evaluated once and counts as one iteration.
int fit(double* Q) {
  const int N = ru + 3 * static_cast<int>(g.size());
  if (N == 0) {
    std::vector<float> r(static_cast<size_t>(m));
    linie(r.data());
    double s = 0;
    for (float v : r) s += static_cast<double>(v) * v;
    *Q = s;
    return 1;
  }
  std::vector<QminParam> rec(static_cast<size_t>(N));
  int k = 0;
  for (int i = 0; i < ru; ++i) rec[k++] = {nullptr, nullptr, nullptr, 0, &tud[i], 0, DBL_MAX};
  for (size_t i = 0; i < g.size(); ++i) {
    rec[k++] = {nullptr, nullptr, nullptr, 0, &g[i], 0, DBL_MAX};
    rec[k++] = {nullptr, nullptr, nullptr, 0, &e[i], grid.position(0), grid.position(grid.Np - 1)};
    rec[k++] = {nullptr, nullptr, nullptr, 0, &q[i], grid.qwidth(0), grid.qwidth(grid.Nq - 1)};
  }
  int iterations = 300 * N;
  double tolerance = 1.1920928955078125e-6;
  qmin7(rec.data(), N, m, linie, ableitung, &iterations, &tolerance, false);
  *Q = tolerance;
  return iterations;
}

// The components must not form separate maxima unless these are far apart
// and deeply divided: walks the unweighted sum of the components' shapes and
// compares each pair of neighbouring maxima.
bool separated() {
  const size_t n = g.size();
  if (n < 1) return true;
  double lo = DBL_MAX, hi = -DBL_MAX, qmin = DBL_MAX;
  for (size_t k = 0; k < n; ++k) {
    const double sigma = std::sqrt(q[k]);
    lo = std::min(lo, e[k] - sigma);
    hi = std::max(hi, e[k] + sigma);
    qmin = std::min(qmin, q[k]);
  }
  const auto h = static_cast<float>(0.1 * std::sqrt(qmin));
  if (!(hi > lo) || !(h > 0)) return true;
  bool rising = true, havemax = false;
  double x1 = 0, prevx = 0;
  float F1 = 0, Fmin = 0, prevF = 0;
  // The abscissae are counted from lo, so that a step below the resolution
  // of lo still ends the walk.
  for (long step = 0;; ++step) {
    const double x = lo + static_cast<double>(step) * h;
    if (!(hi > x)) break;
    float F = 0;
    for (size_t k = 0; k < n; ++k) {
      const double d = e[k] - x;
      const double den = d * d + q[k];
      F = static_cast<float>(F + q[k] * std::sqrt(q[k]) / (den * den));
    }
    if (step > 0) {
      if (rising && F < prevF) {
        if (havemax) {
          const float top = std::max(F1, prevF), low = std::min(F1, prevF);
          if ((prevx - x1) * top / (low - Fmin) < 20 * grid.q0) return false;
        }
        x1 = prevx;
        F1 = prevF;
        havemax = true;
        rising = false;
      } else if (!rising && F > prevF) {
        Fmin = prevF;
        rising = true;
      }
    }
    prevF = F;
    prevx = x;
  }
  return true;
}

// Scores every free grid cell as a new component by one linearised bounded
// least-squares step at the accepted point, and returns the local maxima of
// the score above 3 as candidates, best first.
std::vector<Candidate> scoring(double Qprev, const std::vector<uint8_t>& freecell) {
  const int N = ru + 3 * static_cast<int>(g.size());
  const size_t mm = static_cast<size_t>(m), NN = static_cast<size_t>(N);
  std::vector<float> r(mm), row(NN + 1), J(NN * mm);
  std::vector<float> A((NN + 1) * (NN + 2) / 2, 0.0f), b(NN + 1), x(NN + 1), lower(NN + 1),
      upper(NN + 1), v(mm);
  linie(r.data());
  for (int p = 0; p < m; ++p) {
    ableitung(row.data(), p);
    bau(row.data(), A.data(), N);
    for (int k = 0; k < N; ++k) J[static_cast<size_t>(k) * mm + p] = row[k];
  }
  for (int k = 0; k < N; ++k) {
    b[k] = static_cast<float>(skapro(&J[static_cast<size_t>(k) * mm], r.data(), m));
    const size_t kk = static_cast<size_t>(k) * (k + 1) / 2 + k;
    A[kk] = A[kk] * 1.0000119f;
  }
  // Bounds of a step that is subtracted from the parameters: no value below
  // 0, positions inside the grid, the new weight not below 0.
  int k = 0;
  for (int i = 0; i < ru; ++i, ++k) {
    lower[k] = -FLT_MAX;
    upper[k] = static_cast<float>(tud[i]);
  }
  for (size_t i = 0; i < g.size(); ++i) {
    lower[k] = -FLT_MAX;
    upper[k++] = static_cast<float>(g[i]);
    lower[k] = static_cast<float>(e[i] - grid.position(grid.Np - 1));
    upper[k++] = static_cast<float>(e[i] - grid.position(0));
    lower[k] = -FLT_MAX;
    upper[k++] = static_cast<float>(q[i]);
  }
  lower[N] = -FLT_MAX;
  upper[N] = 0;

  // Per point: the lines as seen from it, and the factor of a column.
  const size_t nl = static_cast<size_t>(ilam);
  std::vector<Line> lines(mm * nl);
  std::vector<double> factor(mm);
  for (int p = 0; p < m; ++p) {
    const double s = sinx[p], c = std::sqrt(1 - s * s);
    for (int l = 0; l < ilam; ++l) lines[p * nl + l] = lineat(l, s, c);
    factor[p] = polfactor(s) / kPi * w[p];
  }
  const double A0 = reflex->intensity, Sr = reflex->squared;
  const size_t rowN = NN * (NN + 1) / 2;
  std::vector<float> score(static_cast<size_t>(grid.Np) * grid.Nq, 0.0f);
  for (int j = 0; j < grid.Nq; ++j) {
    const auto sigma = static_cast<float>(std::sqrt(grid.qwidth(j)));
    for (int i = 0; i < grid.Np; ++i) {
      const auto e1 = static_cast<float>(grid.position(i));
      for (int p = 0; p < m; ++p) {
        double M = 0;
        for (int l = 0; l < ilam; ++l) {
          const Line& ln = lines[p * nl + l];
          M += ij[l] * A0 * shape(ln, fold(ln, e1, sigma, Sr));
        }
        v[p] = static_cast<float>(M * factor[p]);
      }
      for (int c = 0; c < N; ++c)
        A[rowN + c] = static_cast<float>(skapro(v.data(), &J[static_cast<size_t>(c) * mm], m));
      A[rowN + NN] = static_cast<float>(skapro(v.data(), v.data(), m) * 1.000011920928955);
      b[N] = static_cast<float>(skapro(v.data(), r.data(), m));
      float s = 0;
      if (rg2(A.data(), b.data(), x.data(), lower.data(), upper.data(), N + 1, nullptr,
              Qprev * FLT_EPSILON, 0) &&
          x[N] != 0)
        s = static_cast<float>(skapro(b.data(), x.data(), N + 1) -
                               0.5 * atma(x.data(), A.data(), N + 1));
      score[static_cast<size_t>(i) * grid.Nq + j] = s;
    }
  }

  std::vector<Candidate> sig;
  for (int i = 0; i < grid.Np; ++i) {
    for (int j = 0; j < grid.Nq; ++j) {
      const size_t cell = static_cast<size_t>(i) * grid.Nq + j;
      const float s = score[cell];
      if (freecell[cell] == 0 || !(s > 3.0f)) continue;
      bool top = true;
      for (int di = std::max(i - 1, 0); di <= std::min(i + 1, grid.Np - 1) && top; ++di)
        for (int dj = std::max(j - 1, 0); dj <= std::min(j + 1, grid.Nq - 1); ++dj)
          if (score[static_cast<size_t>(di) * grid.Nq + dj] > s) top = false;
      if (top) sig.push_back({i, j, s});
    }
  }
  std::stable_sort(sig.begin(), sig.end(),
                   [](const Candidate& a, const Candidate& c) { return a.score > c.score; });
  return sig;
}

}  // namespace

// ---------------------------------------------------------------------------
// Model and derivatives

bool linie(float* r) {
  copybackground();
  const Reflex& R = *reflex;
  const size_t n = g.size();
  for (int p = 0; p < m; ++p) {
    const double s = sinx[p], c = std::sqrt(1 - s * s);
    double M = 0;
    for (int l = 0; l < ilam; ++l) {
      const Line ln = lineat(l, s, c);
      for (size_t k = 0; k < n; ++k)
        M += g[k] * ij[l] * R.intensity * shape(ln, fold(ln, e[k], std::sqrt(q[k]), R.squared));
    }
    M *= polfactor(s);
    r[p] = static_cast<float>((unt(tu.data(), s) + M / kPi - intensitaet[p]) * w[p]);
  }
  return true;
}

void ableitung(float* row, int p) {
  copybackground();
  const Reflex& R = *reflex;
  const size_t n = g.size();
  const double s = sinx[p], c = std::sqrt(1 - s * s);
  if (ru > 0) unta(tu.data(), row, s);
  // Sums per component, in buffers that only grow: the minimiser calls this
  // for every point of every iteration.
  static std::vector<double> sums;
  if (sums.size() < 3 * n) sums.resize(3 * n);
  double* dg = sums.data();
  double* de = dg + n;
  double* dq = de + n;
  std::fill(dg, dg + 3 * n, 0.0);
  const double Sr = R.squared;
  for (int l = 0; l < ilam; ++l) {
    const Line ln = lineat(l, s, c);
    const double G = ij[l] * R.intensity;
    for (size_t k = 0; k < n; ++k) {
      const double sigma = std::sqrt(q[k]);
      const Fold f = fold(ln, e[k], sigma, Sr);
      const double t2 = f.t * f.t, t3 = t2 * f.t, D2 = f.D * f.D;
      dg[k] += G * shape(ln, f);
      de[k] += -2 * f.x * G * g[k] * ln.L * D2 *
               (ln.a + f.D * (4 * f.b * t2 - 12 * f.c * f.t + 24 * f.c * t3 * f.D));
      dq[k] +=
          G * g[k] * ln.L * ln.L * D2 *
          (3 * (sigma * ln.L + ln.a) + f.D * (24 * Sr * t2 - 4 * t3 - 24 * Sr * t3 * f.t * f.D));
    }
  }
  const double scale = polfactor(s) / kPi;
  for (size_t k = 0; k < n; ++k) {
    row[ru + 3 * k] = static_cast<float>(dg[k] * scale);
    row[ru + 3 * k + 1] = static_cast<float>(de[k] * scale);
    row[ru + 3 * k + 2] = static_cast<float>(dq[k] * scale);
  }
  const int N = ru + 3 * static_cast<int>(n);
  for (int k = 0; k < N; ++k) row[k] = row[k] * w[p];
}

// ---------------------------------------------------------------------------
// Search

void suche(double* Qout, double* Q0out) {
  g.clear();
  e.clear();
  q.clear();
  tud.assign(static_cast<size_t>(ru), 0.0);
  tu.assign(static_cast<size_t>(ru), 0.0f);
  *Qout = *Q0out = 0;
  grid = Grid();

  // Start width from the curvature at the top of the line. Too few points for
  // a top, or no downward curvature there, leave no width to search with:
  // the run stops rather than write a profile it did not measure.
  if (m <= 2) internal_error("q0_negative", kModule, __LINE__);
  std::vector<double> theta(static_cast<size_t>(m));
  float ymax = intensitaet[0], ymin = intensitaet[0];
  for (int k = 0; k < m; ++k) {
    theta[k] = std::asin(static_cast<double>(sinx[k]));
    ymax = std::max(ymax, intensitaet[k]);
    ymin = std::min(ymin, intensitaet[k]);
  }
  int K = 0;
  double sum = 0;
  for (int k = 1; k < m - 1; ++k) {
    const double y = intensitaet[k];
    if (!(y >= ymin + 0.9 * (static_cast<double>(ymax) - ymin))) continue;
    ++K;
    const double dt = theta[k + 1] - theta[k - 1];
    sum +=
        (1 - (static_cast<double>(intensitaet[k - 1]) + intensitaet[k + 1]) / (2 * y)) / (dt * dt);
  }
  if (!(sum > 0) || isnotfinite(sum)) internal_error("q0_negative", kModule, __LINE__);
  grid.q0 = std::sqrt(1 / (K * sum));

  // Search grid.
  grid.W0 = grid.q0 * std::sqrt(static_cast<double>(epsilon));
  grid.dE = grid.W0 / 2;
  const double thetaR = std::asin(reflex->position / (2 * l0));
  grid.E0 = 0.4 * (thetaR - theta[m - 1]);
  const double R = 0.4 * (theta[m - 1] - theta[0]);
  const double np = std::floor(R / grid.dE);
  // No grid position: the window is narrower than half the smallest width.
  if (!(np >= 1)) internal_error("mtest_zero", kModule, __LINE__);
  grid.Np = np < INT32_MAX ? static_cast<int>(np) : INT32_MAX;
  const double nq = std::ceil(std::log(static_cast<float>(R * 0.3) / grid.W0) / std::log(1.5));
  grid.Nq = nq > 0 ? static_cast<int>(nq) : 0;
  // Every cell is scored after each accepted component: a tiny EPSILON
  // would make the grid, and the search, without end.
  if (np * std::max(nq, 1.0) > kMostCells)
    fatal<-124>(static_cast<double>(epsilon), thetaR * 360 / 3.141592653589793,
                np * std::max(nq, 1.0), kMostCells);

  unt1(ru, sinx, m, nullptr, nullptr);
  const size_t cells = static_cast<size_t>(grid.Np) * static_cast<size_t>(grid.Nq);
  std::vector<uint8_t> freecell(cells, 1);
  std::vector<Candidate> sig;
  std::vector<double> sg, se, sq;
  int Nacc = 0, Ntop = 0;
  double Qprev = kLargest, Q0 = 0;
  for (;;) {
    double Qnew = 0;
    const int iterations = fit(&Qnew);
    if (g.empty()) Q0 = Qnew;
    // A component refitted to no weight is dropped before the tests.
    size_t kept = 0;
    for (size_t k = 0; k < g.size(); ++k) {
      if (g[k] == 0) continue;
      g[kept] = g[k];
      e[kept] = e[k];
      q[kept] = q[k];
      ++kept;
    }
    g.resize(kept);
    e.resize(kept);
    q.resize(kept);
    const int n = static_cast<int>(kept);
    const bool accept =
        iterations >= 1 &&
        !(Qnew / (m - ru - 3 * n) >= Qprev * 0.9996423721313477 / (m - ru - 3 * Nacc)) &&
        separated();
    if (accept) {
      Qprev = Qnew;
      Nacc = n;
      if (m <= ru + 3 * (n + 1)) break;
      sig = scoring(Qprev, freecell);
    } else {
      g = sg;
      e = se;
      q = sq;
    }
    if (m - ru - 3 * Nacc > Qprev || sig.empty()) break;
    const Candidate c = sig.front();
    sig.erase(sig.begin());
    freecell[static_cast<size_t>(c.i) * grid.Nq + c.j] = 0;
    sg = g;
    se = e;
    sq = q;
    g.push_back(0);
    e.push_back(grid.position(c.i));
    q.push_back(grid.qwidth(c.j));
    if (Nacc + 1 > Ntop) {
      std::fill(freecell.begin(), freecell.end(), 1);
      Ntop = Nacc + 1;
    }
  }
  unt2();
  *Qout = Qprev;
  *Q0out = Q0;
}

}  // namespace lintor
