// The optimisation of a measuring-time plan: a start plan of all points at a
// common fraction of their upper times, then sweeps over the grid that move
// counting time between points by Newton steps on a set of points in use.
#include "oplan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/fatal.hpp"
#include "core/message.hpp"
#include "numeric/ddreieck.hpp"
#include "numeric/packed.hpp"

namespace tamrel {

using namespace core;
using namespace numeric;

namespace {

constexpr char kModule[] = "oplan";
constexpr double kTwo26 = 1.4901161193847656e-08;   // 2^-26
constexpr double kTol13 = 2.220446049250313e-13;    // 1000 double epsilons
constexpr double kTol15 = 2.220446049250313e-15;    // 10 double epsilons
constexpr double kEpsilon = 2.220446049250313e-16;  // double epsilon

using Vec = std::vector<double>;

// State shared by the steps of one plan.
struct Work {
  int m = 0, r = 0, s = 0;
  size_t tr = 0;  // elements of a packed r x r matrix
  std::vector<Vec> targets;
  bool regularised = false;  // the plain inversion failed once: regularise from now on
  long iterations = 0, cap = 0;
  bool capped = false;

  // Counts one improvement step; false once the limit is reached.
  bool step() {
    if (++iterations <= cap) return true;
    capped = true;
    return false;
  }
};

// The regularised inverse: N raised on its diagonal, the raise then taken
// out of every direction the targets see, so that directions the plan cannot
// determine do not disturb the targets' variances.
bool dismat2(const Work& wk, const double* N, double* C) {
  const int r = wk.r;
  std::copy(N, N + wk.tr, C);
  Vec D(wk.tr, 0.0);
  for (int j = 0; j < r; ++j) {
    double d = N[tri(j) + j];
    if (d == 0.0) {
      d = 0.0;
      for (const Vec& t : wk.targets) d += t[static_cast<size_t>(j)] * t[static_cast<size_t>(j)];
      if (d == 0.0) d = 1.0;
    }
    D[static_cast<size_t>(tri(j) + j)] = d;
    C[tri(j) + j] += d * kTwo26;
  }
  int status = 0;
  dmsin(C, r, &status, kTol13);
  if (status != 0) return false;
  Vec u(static_cast<size_t>(r)), v(static_cast<size_t>(r));
  for (const Vec& t : wk.targets) {
    dma(t.data(), C, u.data(), r);
    dma(u.data(), D.data(), v.data(), r);
    const double q = dskapro(u.data(), v.data(), r);
    if (!(q > 0.0)) continue;
    for (int i = 0; i < r; ++i) {
      double* row = D.data() + tri(i);
      for (int j = 0; j <= i; ++j)
        row[j] -= v[static_cast<size_t>(i)] * v[static_cast<size_t>(j)] / q;
      row[i] = std::fabs(row[i]);
    }
  }
  for (size_t e = 0; e < wk.tr; ++e) C[e] = N[e] + kTwo26 * D[e];
  dmsin(C, r, &status, kTol15);
  return status == 0;
}

// C := N^-1 by the inversion in force: plain Cholesky first; after its
// first failure the regularised inverse for the rest of the plan.
bool invert(Work& wk, const double* N, double* C) {
  if (!wk.regularised) {
    std::copy(N, N + wk.tr, C);
    int status = 0;
    dmsin(C, wk.r, &status, kTwo26);
    if (status == 0) return true;
    wk.regularised = true;
  }
  return dismat2(wk, N, C);
}

// Admissible: N can be inverted and the targets' variances sum to less than
// their number. phi receives the sum.
bool admissible(Work& wk, const double* N, double* C, double* phi) {
  if (!invert(wk, N, C)) return false;
  *phi = spur(C, wk.targets, wk.r);
  return *phi < wk.s;
}

// The smallest step not below floor(sqrt(m)) that is prime to m: visiting
// i * step mod m touches every point once, consecutive visits far apart.
int visitstep(int m) {
  auto gcd = [](int a, int b) {
    while (b != 0) {
      const int t = a % b;
      a = b;
      b = t;
    }
    return a;
  };
  int step = static_cast<int>(std::floor(std::sqrt(static_cast<double>(m))));
  if (step < 1) step = 1;
  while (gcd(step, m) != 1) ++step;
  return step;
}

// Progress lines of the improvement: the first, 1001st, 2001st, ... step at
// once; beyond 10000 steps every tenth of the count; the last line held back
// is printed at the end.
struct Progress {
  bool on = false;
  long steps = 0, next = 1;
  std::string held;

  void step(double phi, double T, double alpha, double beta, int active) {
    ++steps;
    if (!on) return;
    char line[160];
    std::snprintf(line, sizeof line, "%.15f %.15E %.5E %.5E %d\n", phi, T, alpha, beta, active);
    if (steps == next) {
      std::fputs(line, stdout);
      std::fflush(stdout);
      held.clear();
      next = steps + (steps > 10000 ? steps / 10 : 1000);
    } else {
      held = line;
    }
  }
  void end() {
    if (on && !held.empty()) std::fputs(held.c_str(), stdout);
    held.clear();
  }
};

// The improvement of an admissible plan towards the least total time.
struct Improver {
  Work& wk;
  const std::vector<Vec>& f;  // scaled derivative rows
  const double* pmax;
  Vec& t;
  Vec N, C, B;
  double phi = 0, T = 0, mu = 0, lambda = kTwo26;
  std::vector<int> active;
  Vec gamma;
  Progress progress;

  Improver(Work& w, const std::vector<Vec>& rows, const double* upper, Vec& times)
      : wk(w), f(rows), pmax(upper), t(times) {}

  const double* row(int i) const { return f[static_cast<size_t>(i)].data(); }

  // B = (C T)(C T)': the criterion falls by f_i' B f_i per unit time at i.
  void formB() { formB(C, B); }

  bool isactive(int i) const { return std::find(active.begin(), active.end(), i) != active.end(); }

  // A point joins or leaves: the Newton steps on the new set start with the
  // least regularisation again (a factor left over from a set where it had
  // to grow would damp every later step to nothing).
  void join(int i) {
    lambda = kTwo26;
    active.push_back(i);
    gamma.resize(active.size());
    for (size_t a = 0; a < active.size(); ++a) gamma[a] = -datma(row(active[a]), B.data(), wk.r);
  }

  void leave(size_t a) {
    lambda = kTwo26;
    active.erase(active.begin() + static_cast<long>(a));
    gamma.erase(gamma.begin() + static_cast<long>(a));
  }

  // A direction on the active set: d and its step length alpha within the
  // bounds, the point that cut alpha last (-1 none) and its bound.
  struct Direction {
    bool usable = false;
    Vec d;
    double alpha = 0;
    int cut = -1;  // position in the active set
    double bound = 0;
  };

  Direction direction(const Vec& H, double hbar) {
    const size_t n = active.size();
    const int na = static_cast<int>(n);
    Direction dir;
    Vec Hp = H, u(n), v(n), one(n, 1.0);
    for (int a = 0; a < na; ++a) Hp[static_cast<size_t>(tri(a) + a)] += lambda * hbar;
    int status = 0;
    dmsin(Hp.data(), na, &status, kTol15);
    if (status != 0) return dir;
    dma(gamma.data(), Hp.data(), u.data(), na);
    dma(one.data(), Hp.data(), v.data(), na);
    const double b = dskapro(gamma.data(), u.data(), na);
    const double aa = dskapro(one.data(), v.data(), na);
    if (!(aa > 0.0 && b > 0.0)) return dir;
    const double nu = std::sqrt((2.0 * wk.s - 2.0 * phi + b) / aa);
    if (!std::isfinite(nu)) return dir;
    mu = nu;
    dir.d.resize(n);
    double sum = 0;
    for (size_t a = 0; a < n; ++a) {
      dir.d[a] = -u[a] - nu * v[a];
      sum += dir.d[a];
    }
    if (!(sum <= 0.0)) return dir;
    dir.usable = true;
    dir.alpha = 1.0;
    for (size_t a = 0; a < n; ++a) {
      const int i = active[a];
      const double ti = t[static_cast<size_t>(i)], da = dir.d[a];
      const double x = ti + dir.alpha * da;
      if (x < 0.0) {
        dir.alpha = -ti / da;
        dir.cut = static_cast<int>(a);
        dir.bound = 0.0;
      } else if (x > pmax[i]) {
        dir.alpha = (pmax[i] - ti) / da;
        dir.cut = static_cast<int>(a);
        dir.bound = pmax[i];
      }
    }
    if (dir.alpha < 0.0) dir.alpha = 0.0;
    return dir;
  }

  // Newton steps on the active set after a point joined; returns when the
  // steps on this set end (the sweep goes on) or the iteration limit is met.
  void newton() {
    bool accepted = false;
    while (!active.empty()) {
      if (!wk.step()) return;
      const size_t n = active.size();
      const int na = static_cast<int>(n);
      if (accepted) {
        // The gradient at the plan the last step reached (the rest of the
        // sweep judges its candidates by it too).
        formB();
        for (size_t a = 0; a < n; ++a) gamma[a] = -datma(row(active[a]), B.data(), wk.r);
      }
      // H_ab = 2 (f_a' C f_b)(f_a' B f_b)
      std::vector<Vec> Cf(n, Vec(static_cast<size_t>(wk.r))), Bf(Cf);
      for (size_t a = 0; a < n; ++a) {
        dma(row(active[a]), C.data(), Cf[a].data(), wk.r);
        dma(row(active[a]), B.data(), Bf[a].data(), wk.r);
      }
      Vec H(static_cast<size_t>(tri(na)));
      double hbar = 0;
      for (size_t a = 0; a < n; ++a) {
        for (size_t b = 0; b <= a; ++b)
          H[static_cast<size_t>(tri(static_cast<long>(a))) + b] =
              2.0 * dskapro(row(active[a]), Cf[b].data(), wk.r) *
              dskapro(row(active[a]), Bf[b].data(), wk.r);
        hbar += H[static_cast<size_t>(tri(static_cast<long>(a))) + a];
      }
      hbar /= na;
      Direction dir, last;
      for (;;) {
        dir = direction(H, hbar);
        if (dir.usable) {
          last = dir;
          if (dir.alpha > 0.0 || accepted) break;
        }
        lambda *= 2.0;
        if (!(lambda < na)) break;
      }
      if (!(dir.usable && dir.alpha > 0.0)) {
        // No step along any direction: the point that blocked it leaves.
        if (!last.usable || last.cut < 0) return;
        leave(static_cast<size_t>(last.cut));
        continue;
      }
      if (!linesearch(dir)) return;
      accepted = true;
      // Converged when the step moved (not merely kept the total of) the
      // times by a negligible amount on the boundary of the targets: a step
      // that shifts time between points at a constant total is progress.
      if ((n == 1 && wk.s - phi < kTwo26) ||
          (lastmove < T * kTwo26 && std::fabs(wk.s - phi) < phi * kTwo26))
        return;
    }
  }

  double lastmove = 0;  // sum of |time changes| of the last accepted step

  // B of a covariance Cm into Bout.
  void formB(const Vec& Cm, Vec& Bout) const {
    Bout.assign(wk.tr, 0.0);
    Vec u(static_cast<size_t>(wk.r));
    for (const Vec& tk : wk.targets) {
      dma(tk.data(), Cm.data(), u.data(), wk.r);
      dbau(u.data(), Bout.data(), wk.r);
    }
  }

  // An active point strictly between its bounds in the trial times: a point
  // the step took to 0 is on its way out of the active set.
  bool open(size_t a, const Vec& tt) const { return tt[a] > 0.0 && tt[a] < pmax[active[a]]; }

  // A trial plan just outside the targets' boundary (a Newton step along
  // the curved boundary always leaves it a little) is brought back by adding
  // the same time to every active point between its bounds, as much as the
  // criterion's slope there says, in at most three rounds. False when that
  // does not reach the boundary.
  bool correct(Vec& tt, Vec& Nt, Vec& Ct, double& phit) const {
    Vec Bt;
    for (int round = 0; round < 3; ++round) {
      formB(Ct, Bt);
      double slope = 0;
      for (size_t a = 0; a < active.size(); ++a)
        if (open(a, tt)) slope += datma(row(active[a]), Bt.data(), wk.r);
      if (!(slope > 0.0)) return false;
      const double eta = 1.001 * (phit - wk.s) / slope;
      for (size_t a = 0; a < active.size(); ++a) {
        if (!open(a, tt)) continue;
        const double add = std::min(eta, pmax[active[a]] - tt[a]);
        if (!(add > 0.0)) continue;
        tt[a] += add;
        addtime(Nt, row(active[a]), add);
      }
      if (!invert(wk, Nt.data(), Ct.data())) return false;
      phit = spur(Ct.data(), wk.targets, wk.r);
      if (phit <= wk.s) return true;
    }
    return false;
  }

  void addtime(Vec& A, const double* f, double x) const {
    for (int i = 0; i < wk.r; ++i) {
      const double fi = x * f[i];
      double* rowi = A.data() + tri(i);
      for (int j = 0; j <= i; ++j) rowi[j] += fi * f[j];
    }
  }

  // The step along dir, shortened until the plan stays admissible; false
  // when it had to be given up.
  bool linesearch(const Direction& dir) {
    const size_t n = active.size();
    double before = 0;
    for (size_t a = 0; a < n; ++a) before += t[static_cast<size_t>(active[a])];
    Vec tt(n), Nt(wk.tr), Ct(wk.tr);
    double beta = dir.alpha, phit = 0;
    for (;;) {
      // The trial times within their bounds and their information.
      Nt = N;
      for (size_t a = 0; a < n; ++a) {
        const int i = active[a];
        tt[a] = std::clamp(t[static_cast<size_t>(i)] + beta * dir.d[a], 0.0, pmax[i]);
        if (dir.cut == static_cast<int>(a) && beta == dir.alpha) tt[a] = dir.bound;
        addtime(Nt, row(i), tt[a] - t[static_cast<size_t>(i)]);
      }
      if (!invert(wk, Nt.data(), Ct.data())) {
        beta *= 0.2;
      } else {
        phit = spur(Ct.data(), wk.targets, wk.r);
        if (phit <= wk.s) break;
        const double phiout = phit;
        if (correct(tt, Nt, Ct, phit)) {
          double after = 0;
          for (double x : tt) after += x;
          if (after < before) break;
        }
        beta = std::min(0.5 * beta, std::max(0.0, beta * (wk.s - phi) / (phiout - phi)));
      }
      if (!(beta >= 0.001 * dir.alpha)) return false;
    }
    lastmove = 0;
    for (size_t a = 0; a < n; ++a) {
      double& ti = t[static_cast<size_t>(active[a])];
      lastmove += std::fabs(tt[a] - ti);
      T += tt[a] - ti;
      ti = tt[a];
    }
    N.swap(Nt);
    C.swap(Ct);
    phi = phit;
    if (lambda > kEpsilon) lambda *= 0.9;
    progress.step(phi, T, dir.alpha, beta, static_cast<int>(n));
    return true;
  }

  void run() {
    const int m = wk.m;
    const int schritt = visitstep(m);
    phi = spur(C.data(), wk.targets, wk.r);
    T = 0;
    mu = 0;
    for (int i = 0; i < m; ++i) {
      T += t[static_cast<size_t>(i)];
      mu += datma(row(i), C.data(), wk.r);
    }
    mu /= m;
    long k = 0;
    while (wk.step()) {
      double delta = 0;
      formB();
      const long stepsbefore = progress.steps;
      const std::vector<int> setbefore = active;
      bool candidates = false;
      int remembered = -1;
      for (int visit = 0; visit < m && !wk.capped; ++visit, ++k) {
        const int i = static_cast<int>((k % m) * schritt % m);
        if (isactive(i)) continue;
        const double g = datma(row(i), B.data(), wk.r);
        const double ti = t[static_cast<size_t>(i)];
        if (!((g < mu - delta && ti > 0.0) || (g > mu + delta && ti < pmax[i]))) continue;
        candidates = true;
        if (static_cast<int>(active.size()) < wk.r) {
          join(i);
          newton();
        } else {
          delta = std::fabs(g - mu);
          remembered = i;
        }
      }
      if (wk.capped) break;
      if (remembered >= 0) {
        join(remembered);
        newton();
      }
      if (!candidates) break;
      // A sweep that took no step and left the active set as it found it
      // would be repeated exactly, and so would every later one.
      if (progress.steps == stepsbefore && active == setbefore) break;
    }
    progress.end();
  }
};

// A += x f f' for a row f of r values.
void addrow(Vec& A, const double* f, double x, int r) {
  for (int a = 0; a < r; ++a) {
    const double fa = x * f[a];
    double* row = A.data() + tri(a);
    for (int b = 0; b <= a; ++b) row[b] += fa * f[b];
  }
}

// The upper times of the optimisation. A point without a systematic floor
// (a line top) may count almost without limit, and such points would swamp
// every other in the information at the upper times. No time of the
// shortest plan exceeds the total of any admissible plan, so each upper time
// is capped by the total of the plan t_i = min(tau, pmax_i) with tau the
// first admissible power of 2 from 1 on (downwards while admissible, else
// upwards): the shortest plan stays the same. Empty when even the upper
// times themselves are not admissible.
Vec uppertimes(Work& wk, const std::vector<Vec>& f, const double* pmax, const double* prior) {
  const int m = wk.m, r = wk.r;
  double largest = 0;
  for (int i = 0; i < m; ++i) largest = std::max(largest, pmax[i]);
  Vec N(wk.tr), C(wk.tr);
  auto plan = [&](double tau) {
    if (prior != nullptr)
      std::copy(prior, prior + wk.tr, N.begin());
    else
      std::fill(N.begin(), N.end(), 0.0);
    double total = 0;
    for (int i = 0; i < m; ++i) {
      const double t = std::min(tau, pmax[i]);
      total += t;
      addrow(N, f[static_cast<size_t>(i)].data(), t, r);
    }
    return total;
  };
  auto ok = [&](double tau) {
    plan(tau);
    double phi = 0;
    return admissible(wk, N.data(), C.data(), &phi);
  };
  double tau = 1.0;
  if (ok(tau)) {
    for (int k = 0; k < 200 && ok(tau / 2); ++k) tau /= 2;
  } else {
    do {
      if (tau >= largest) return {};
      tau *= 2;
    } while (!ok(tau));
  }
  const double cap = plan(tau);
  wk.regularised = false;
  Vec upper(pmax, pmax + m);
  for (double& u : upper) u = std::min(u, cap);
  return upper;
}

}  // namespace

double spur(const double* C, const std::vector<std::vector<double>>& targets, int r) {
  double sum = 0;
  for (const Vec& t : targets) {
    for (int i = 0; i < r; ++i) {
      const double* row = C + tri(i);
      double off = 0;
      for (int j = 0; j < i; ++j) off += row[j] * t[static_cast<size_t>(j)];
      sum += 2.0 * t[static_cast<size_t>(i)] * off +
             t[static_cast<size_t>(i)] * t[static_cast<size_t>(i)] * row[i];
    }
  }
  return sum;
}

PlanResult oplan(const PlanProblem& p) {
  PlanResult res;
  Work wk;
  wk.m = p.m;
  wk.r = p.r;
  wk.s = static_cast<int>(p.targets.size());
  wk.tr = static_cast<size_t>(tri(p.r));
  wk.cap = p.iterations;
  const int m = p.m, r = p.r;
  res.times.assign(static_cast<size_t>(m), 0.0);
  if (r <= 0 || wk.s == 0) return res;

  // The derivative rows of every grid point, once.
  std::vector<Vec> f(static_cast<size_t>(m), Vec(static_cast<size_t>(r)));
  std::vector<float> fr(static_cast<size_t>(r));
  for (int i = 0; i < m; ++i) {
    p.row(fr.data(), i);
    std::copy(fr.begin(), fr.end(), f[static_cast<size_t>(i)].begin());
  }

  for (int i = 0; i < m; ++i)
    if (p.pmax[i] < 0.0) internal_error("pmaxneg", kModule, __LINE__);
  wk.targets = p.targets;
  Vec N(wk.tr), C(wk.tr);
  double phi = 0;
  if (p.prior != nullptr && admissible(wk, p.prior, C.data(), &phi)) {
    // What is known already meets every target: nothing to measure.
    res.found = true;
    res.covariance = C;
    return res;
  }
  wk.regularised = false;
  const Vec upper = uppertimes(wk, f, p.pmax, p.prior);
  if (upper.empty()) return res;

  // The largest attainable information.
  Vec P(wk.tr, 0.0);
  for (int i = 0; i < m; ++i)
    addrow(P, f[static_cast<size_t>(i)].data(), upper[static_cast<size_t>(i)], r);

  // Every parameter scaled to unit information at the upper times.
  Vec scale(static_cast<size_t>(r));
  for (int j = 0; j < r; ++j) {
    double d =
        P[static_cast<size_t>(tri(j) + j)] + (p.prior != nullptr ? p.prior[tri(j) + j] : 0.0);
    if (d == 0.0)
      for (const Vec& t : p.targets) d += t[static_cast<size_t>(j)] * t[static_cast<size_t>(j)];
    scale[static_cast<size_t>(j)] = d > 0.0 ? 1.0 / std::sqrt(d) : 1.0;
  }
  auto scaled = [&](Vec& A) {
    for (int i = 0; i < r; ++i)
      for (int j = 0; j <= i; ++j)
        A[static_cast<size_t>(tri(i) + j)] *=
            scale[static_cast<size_t>(i)] * scale[static_cast<size_t>(j)];
  };
  for (Vec& fi : f)
    for (int j = 0; j < r; ++j) fi[static_cast<size_t>(j)] *= scale[static_cast<size_t>(j)];
  scaled(P);
  // A target seen through the scaled parameters: the same variance.
  for (Vec& t : wk.targets)
    for (int j = 0; j < r; ++j) t[static_cast<size_t>(j)] *= scale[static_cast<size_t>(j)];
  Vec prior(wk.tr, 0.0);
  if (p.prior != nullptr) {
    std::copy(p.prior, p.prior + wk.tr, prior.begin());
    scaled(prior);
  }

  auto unscaled = [&](Vec& C) {
    scaled(C);
    res.covariance = C;
  };

  // The start plan: all points at the largest common fraction lambda of
  // their upper times that is still admissible, lambda running down from 1.
  auto atfraction = [&](double lambda) {
    for (size_t e = 0; e < wk.tr; ++e) N[e] = prior[e] + lambda * P[e];
  };
  atfraction(1.0);
  if (!admissible(wk, N.data(), C.data(), &phi)) return res;
  double lambda = 1.0;
  for (int k = 1999; k > -4000; --k) {
    const double next = 0.5 * (1.0 + std::tanh(0.01 * k));
    if (next >= lambda) continue;
    atfraction(next);
    if (!admissible(wk, N.data(), C.data(), &phi)) break;
    lambda = next;
    if (next == 0.0) break;
  }
  atfraction(lambda);
  if (!admissible(wk, N.data(), C.data(), &phi)) internal_error("Startplan", kModule, __LINE__);
  for (int i = 0; i < m; ++i)
    res.times[static_cast<size_t>(i)] = lambda * upper[static_cast<size_t>(i)];

  Improver imp(wk, f, upper.data(), res.times);
  imp.N = N;
  imp.C = C;
  imp.progress.on = p.protocol;
  imp.run();
  res.found = true;
  res.capped = wk.capped;
  res.steps = imp.progress.steps;
  if (wk.capped) message<71>(p.iterations);
  unscaled(imp.C);
  return res;
}

}  // namespace tamrel
