#include "programs/lintor/qmin7.hpp"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <vector>

#include "core/velmora.hpp"
#include "numeric/dreieck.hpp"
#include "numeric/lsq.hpp"
#include "numeric/rg2.hpp"

namespace lintor {

using namespace core;
using namespace numeric;

namespace {

// A step bound in single precision: a range of the largest double gives the
// largest float, not an overflow.
float bound(double v) {
  if (v > FLT_MAX) return FLT_MAX;
  if (v < -FLT_MAX) return -FLT_MAX;
  return static_cast<float>(v);
}

// Half the sum of the squared residuals, squares and sum in double.
double halfsum(const std::vector<float>& r) {
  double s = 0;
  for (float v : r) s += static_cast<double>(v) * v;
  return s / 2;
}

}  // namespace

int qmin7(QminParam* par, int n, int m, Qmin7Residual residual, Qmin7Row row, int* iterations,
          double* tolerance, bool verbose) {
  if (n < 1) {
    *iterations = 0;
    return 0;
  }
  const double eps = *tolerance;
  if (verbose) {
    std::printf("\n");
    rule();
    std::printf("\nM=%4d  N=%3d  IT=%5d  ERMOD=%10f", m, n, *iterations, eps);
  }
  const size_t nn = static_cast<size_t>(n);
  std::vector<float> r(static_cast<size_t>(m > 0 ? m : 0));
  std::vector<double> x0(nn), grad(nn), trial(nn);
  std::vector<float> G(nn), s(nn), lower(nn), upper(nn), d(nn), rowbuf(nn);
  std::vector<float> A(nn * (nn + 1) / 2);
  std::vector<unsigned char> probe(nn, 0);

  auto at_x0 = [&] {
    for (int k = 0; k < n; ++k) *par[k].value = x0[k];
  };

  // Start point.
  bool usable = true;
  for (int k = 0; k < n; ++k) {
    x0[k] = *par[k].value;
    const char* why = nullptr;
    if (isnotfinite(x0[k]))
      why = "not finite";
    else if (x0[k] < par[k].min || x0[k] > par[k].max)
      why = "out of range";
    if (why != nullptr) {
      usable = false;
      if (verbose) std::printf("*** qmin7: %d. parameter %s\n", k + 1, why);
    }
  }
  if (usable && !residual(r.data())) {
    usable = false;
    if (verbose) std::printf("***qmin7: start point out of range\n");
  }
  double H = 0;
  if (usable) {
    H = halfsum(r);
    if (isnotfinite(H)) {
      usable = false;
      if (verbose) std::printf("***qmin7: start value not finite\n");
    }
  }
  if (!usable) {
    *iterations = 0;
    at_x0();
    return 0;
  }
  if (verbose) std::printf("\n%5d  %13.6E ", 0, 2 * H);

  double lambda = 0.1;
  int k = 1;
  int result = 0;
  bool cap = false, probe_all = false;
  bool extra = false;   // the one more iteration after no progress at the cap is running
  bool r_at_x0 = true;  // r holds the residuals of x0
  const double dn = n;
  const int itmax = *iterations;

  // Raises the damping by a factor, at most to n; reaching n sets the cap.
  auto raise_damping = [&](double factor) {
    double next = factor * lambda;
    if (next >= dn) {
      next = dn;
      cap = true;
    }
    add_damping(A.data(), d.data(), n, next - lambda);
    lambda = next;
  };

  while (k <= itmax && m > 0) {
    if (!r_at_x0) {
      at_x0();
      if (!residual(r.data())) break;
      r_at_x0 = true;
    }
    normal_equations(A.data(), grad.data(), rowbuf.data(), r.data(), n, m, at_x0, row);

    // Curvature probes along each parameter alone.
    const double tau = H * eps;
    for (int j = 0; j < n && result == 0; ++j) {
      const double a = A[diag(j)];
      const double gj = grad[j];
      if (isnotfinite(a) || isnotfinite(gj)) {
        result = j + 1;
        break;
      }
      if (a == 0 || !(probe_all || probe[j] != 0)) continue;
      const double floor = std::fabs(x0[j]) * DBL_EPSILON;
      auto passes = [&](double t) { return !(gj * t < tau) && !(std::fabs(t) < floor); };
      double t = gj / a;
      bool doit = !(x0[j] == par[j].min && t > 0) && !(x0[j] == par[j].max && t < 0) && passes(t);
      if (doit) {
        if (t > 0 && x0[j] - 1.1 * t < par[j].min)
          t = 0.9 * (x0[j] - par[j].min);
        else if (t < 0 && x0[j] - 1.1 * t > par[j].max)
          t = 0.9 * (x0[j] - par[j].max);
        doit = passes(t);
      }
      if (!doit) {
        probe[j] = 0;
        continue;
      }
      bool measured = false;
      double Ht = 0;
      for (;;) {
        at_x0();
        *par[j].value = x0[j] - t;
        r_at_x0 = false;
        if (residual(r.data())) {
          Ht = halfsum(r);
          if (Ht > H && passes(0.3 * t)) {
            t *= 0.3;
            continue;
          }
          measured = true;
          break;
        }
        t *= 0.3;
        if (!passes(t)) break;
      }
      if (!measured) {
        probe[j] = 0;
        continue;
      }
      // Observed curvature of the half sum of squares along j; where the
      // normal matrix underestimates it grossly, the diagonal takes the
      // difference on top and the parameter is probed again next time.
      const double c = 2 * (Ht - H + gj * t) / (t * t);
      if (std::fabs(c - a) > a) {
        A[diag(j)] = static_cast<float>(a + std::fabs(c - a));
        probe[j] = 1;
      } else {
        probe[j] = 0;
      }
    }
    if (result != 0) break;

    for (int j = 0; j < n; ++j) {
      d[j] = A[diag(j)];
      G[j] = bound(grad[j]);
      lower[j] = bound(x0[j] - par[j].max);
      upper[j] = bound(x0[j] - par[j].min);
    }
    if (probe_all) lambda = 0.1;
    cap = false;
    add_damping(A.data(), d.data(), n, lambda);

    // Step search: solve, shorten along the step, raise the damping.
    bool accepted = false, finish = false;
    double f = 1, P = 0, Hp = H;
    for (;;) {
      bool ok = rg2(A.data(), G.data(), s.data(), lower.data(), upper.data(), n, nullptr,
                    H * FLT_EPSILON / m, 0.15 * lambda / (1 + lambda));
      for (int j = 0; j < n; ++j)
        if (isnotfinite(s[j])) ok = false;
      P = ok ? sum_of_products(G.data(), s.data(), n) : 0;
      if (!ok || !(P > 0)) {
        if (cap) break;  // no progress
        raise_damping(2);
        continue;
      }
      if (tau >= P) break;  // converged: no progress
      f = 1;
      for (;;) {
        if (tau >= f * P) {
          finish = true;
          break;
        }
        bool finite = true;
        for (int j = 0; j < n; ++j) {
          double v = x0[j] - f * s[j];
          // The full step stops exactly on a bound it reaches.
          if (f == 1) {
            if (s[j] == upper[j])
              v = par[j].min;
            else if (s[j] == lower[j])
              v = par[j].max;
          }
          trial[j] = v;
          if (isnotfinite(v)) finite = false;
        }
        bool admitted = false;
        if (finite) {
          for (int j = 0; j < n; ++j) *par[j].value = trial[j];
          r_at_x0 = false;
          admitted = residual(r.data());
          if (admitted) {
            Hp = halfsum(r);
            admitted = !isnotfinite(Hp);
          }
        }
        if (!admitted) {
          f *= 0.9;
          continue;
        }
        if (H - Hp > 0.3 * f * P) {
          accepted = true;
          break;
        }
        f = std::fmax(0.5 * f * f * P / (f * P + Hp - H), 0.25 * f);
        if (verbose) std::printf(".");
        if (!cap && f < 0.1) break;
      }
      if (accepted || finish) break;
      if (tau >= f * P) {
        finish = true;
        break;
      }
      raise_damping(10);
    }
    if (finish) break;
    if (!accepted) {
      // No progress: at the damping cap one more iteration with the damping
      // reset and every parameter probed, otherwise (or twice in a row) the end.
      if (cap && !extra) {
        extra = true;
        probe_all = true;
        continue;
      }
      break;
    }

    x0 = trial;
    r_at_x0 = true;
    probe_all = true;
    if (verbose) std::printf("\n%5d  %13.6E  %10.3E  %10.3E  %10.3f ", k, 2 * Hp, 2 * P, lambda, f);
    // Damping from the misfit of the damped quadratic model along the step,
    // in units of the step's curvature under the undamped diagonal.
    const double Q = 0.5 * f * f * diagonal_curvature(s.data(), d.data(), n);
    if (Q > 0) {
      const double rho = (f * P + Hp - H - 0.5 * f * f * atma(s.data(), A.data(), n)) / Q;
      const double limit = 1.5 * eps * (H + Hp) / Q;
      if (std::fabs(rho) > limit) {
        const double next =
            std::fmax(0.2 * lambda, std::fmin(10 * lambda, std::fabs(rho + lambda)));
        if (next < dn) {
          lambda = next;
          probe_all = false;
        } else {
          lambda = dn;
        }
      } else if (limit > lambda) {
        lambda /= 2;
        probe_all = false;
      } else {
        probe_all = cap;
      }
    } else {
      probe_all = cap;
    }
    ++k;
    extra = false;
    H = Hp;
  }

  *iterations = k;
  *tolerance = 2 * H;
  at_x0();
  if (verbose) {
    for (int i = 0; i < n; ++i) {
      if (i % 5 == 0) std::printf("\n");
      const bool limit = x0[i] == par[i].min || x0[i] == par[i].max;
      std::printf("%14.7E%c", x0[i], limit ? '*' : ' ');
    }
    std::printf("\n");
    rule();
    std::printf("\n");
  }
  return result;
}

}  // namespace lintor
