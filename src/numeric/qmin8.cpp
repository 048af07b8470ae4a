#include "numeric/qmin8.hpp"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/fatal.hpp"
#include "core/velmora.hpp"
#include "numeric/dreieck.hpp"
#include "numeric/lsq.hpp"
#include "numeric/rg2.hpp"

namespace numeric {
using namespace core;

int qmin8(QminParam* rec, int n, Qmin8Goal goal, Qmin8Row row, double* qplus, int* iterations,
          double* ermod, double* moderror, bool verbose, Qmin8Progress progress) {
  if (n < 1) {
    *iterations = 0;
    return 0;
  }
  if (verbose) {
    std::printf("\n");
    rule();
    std::printf("\nN=%3d  IT=%5d", n, *iterations);
  }
  // The threshold is read again at every test; a negative one (or NaN) is
  // taken as 0, so that the step search still ends when the step has shrunk
  // to nothing.
  auto threshold = [ermod] { return std::fmax(*ermod, 0.0); };
  const size_t nn = static_cast<size_t>(n);
  double* p = kcalloc<double>(nn);
  int m = 0;
  float* r = nullptr;
  bool refused = false;
  for (int k = 0; k < n; ++k) {
    p[k] = *rec[k].value;
    const char* why = nullptr;
    if (isnotfinite(p[k]))
      why = "not finite";
    else if (p[k] < rec[k].min || p[k] > rec[k].max)
      why = "out of range";
    if (why != nullptr) {
      refused = true;
      if (verbose) std::printf("*** qmin8: %d. parameter %s\n", k + 1, why);
    }
  }
  if (!refused && !goal(&m, &r)) {
    refused = true;
    if (verbose) std::printf("***qmin8: start point out of range\n");
  }
  double F = 0;
  if (!refused) {
    F = (qplus != nullptr ? *qplus : 0) + sum_of_squares(r, m);
    if (isnotfinite(F)) {
      refused = true;
      if (verbose) std::printf("***qmin8: start value not finite\n");
    }
  }

  int result = 0;
  if (refused) {
    *iterations = 0;
  } else {
    if (verbose) std::printf("\n%5d  %13.6E ", 0, F);
    if (progress != nullptr) progress(0, r, m, F);
    double S = F / 2;
    double lambda = 0.1;
    int counter = 1;
    bool cap = false, probe_all = false, extra_done = false;
    // The residual array belongs to the accepted point until a trial point is
    // evaluated; the extra pass needs it at the accepted point again.
    bool r_at_p = true;
    const double dn = n;

    float* A = kcalloc<float>(nn * (nn + 1) / 2);
    float* b = kcalloc<float>(nn);
    float* x = kcalloc<float>(nn);
    float* lb = kcalloc<float>(nn);
    float* ub = kcalloc<float>(nn);
    float* g = kcalloc<float>(nn);
    double* bacc = kcalloc<double>(nn);
    double* trial = kcalloc<double>(nn);
    auto at_accepted = [&] {
      for (int k = 0; k < n; ++k) *rec[k].value = p[k];
    };
    // Multiplies the damping by f, at most up to n; cap tells whether the
    // limit n was reached.
    auto raise_damping = [&](double f) {
      double next = std::fmin(f * lambda, dn);
      cap = dn <= f * lambda;
      add_damping(A, g, n, next - lambda);
      lambda = next;
    };

    while (counter <= *iterations) {
      if (!r_at_p) {
        for (int k = 0; k < n; ++k) *rec[k].value = p[k];
        if (!goal(&m, &r)) break;
        r_at_p = true;
      }
      normal_equations(A, bacc, g, r, n, m, at_accepted, row);
      for (int k = 0; k < n; ++k) {
        if (isnotfinite(A[diag(k)])) {
          result = k + 1;
          break;
        }
        b[k] = static_cast<float>(bacc[k]);
        if (isnotfinite(b[k])) {
          result = k + 1;
          break;
        }
        g[k] = A[diag(k)];
        A[diag(k)] = static_cast<float>(lambda * A[diag(k)] + A[diag(k)]);
        lb[k] = static_cast<float>(p[k] - rec[k].max);
        ub[k] = static_cast<float>(p[k] - rec[k].min);
      }
      if (result != 0) break;
      if (probe_all) lambda = 0.1;
      cap = false;

      bool converged = false, finish = false, accepted = false;
      double h = 1, Snew = S, pred = 0;
      while (!converged && !finish && !accepted) {
        bool ok =
            rg2(A, b, x, lb, ub, n, nullptr, S * FLT_EPSILON / m, 0.15 * lambda / (1 + lambda));
        for (int k = 0; k < n; ++k)
          if (isnotfinite(x[k])) ok = false;
        pred = sum_of_products(b, x, n);
        if (!ok || !(pred > 0)) {
          if (cap) {
            converged = true;
            break;
          }
          raise_damping(2);
          continue;
        }
        if (threshold() >= pred) {
          converged = true;
          break;
        }
        h = 1;
        for (;;) {
          if (threshold() >= h * pred) {
            finish = true;
            break;
          }
          bool finite = true;
          for (int k = 0; k < n; ++k) {
            double v = p[k] - h * x[k];
            // At the full step a component equal to its step bound lands on
            // the parameter's limit exactly.
            if (h == 1) {
              if (x[k] == ub[k])
                v = rec[k].min;
              else if (x[k] == lb[k])
                v = rec[k].max;
            }
            trial[k] = v;
            if (isnotfinite(v)) finite = false;
          }
          bool admitted = false;
          if (finite) {
            for (int k = 0; k < n; ++k) *rec[k].value = trial[k];
            r_at_p = false;
            admitted = goal(&m, &r);
          }
          if (!admitted) {
            // Refused points shrink the step; once it cannot shrink any
            // more (the smallest subnormal), no point along it is admitted.
            const double shorter = 0.9 * h;
            if (!(shorter < h)) {
              finish = true;
              break;
            }
            h = shorter;
            continue;
          }
          Snew = ((qplus != nullptr ? *qplus : 0) + sum_of_squares(r, m)) / 2;
          if (!isnotfinite(Snew) && 0.3 * h * pred < S - Snew) {
            accepted = true;
            break;
          }
          double hn = (pred * h * h / 2) / (h * pred + (Snew - S));
          if (!(hn >= h / 4)) hn = h / 4;
          if (verbose) std::printf(".");
          if (!cap && hn < 0.1) {
            if (threshold() >= hn * pred) {
              finish = true;
              break;
            }
            raise_damping(10);
            break;  // a new step with the stronger damping
          }
          h = hn;
        }
      }
      if (finish) break;
      if (converged) {
        // When the damping had to be raised to its cap, one more pass with
        // the damping reset, once.
        extra_done = cap && !extra_done;
        if (!extra_done) break;
        probe_all = true;
        continue;
      }

      for (int k = 0; k < n; ++k) p[k] = trial[k];
      r_at_p = true;
      if (verbose)
        std::printf("\n%5d  %13.6E  %10.3E  %10.3E  %10.3f ", counter, 2 * Snew, 2 * pred, lambda,
                    h);
      if (progress != nullptr) progress(counter, r, m, 2 * Snew);
      // Damping from the misfit of the quadratic model along the step, in
      // units of the model-error level.
      double c = diagonal_curvature(x, g, n);
      double q = atma(x, A, n);
      double D = c * h * h / 2;
      double rho = ((Snew - S) + h * pred - h * h * q / 2) / D;
      double tol = 3 * *moderror / D;
      if (std::fabs(rho) > tol) {
        double next = std::fabs(rho + lambda);
        if (next < 0.2 * lambda) next = 0.2 * lambda;
        if (next > 10 * lambda) next = 10 * lambda;
        if (next >= dn) {
          lambda = dn;
          probe_all = true;
        } else {
          lambda = next;
          probe_all = false;
        }
      } else if (tol <= lambda) {
        probe_all = cap;
      } else {
        lambda = lambda / 2;
        probe_all = false;
      }
      ++counter;
      extra_done = false;
      S = Snew;
    }
    *iterations = counter;
    *ermod = 2 * S;
    std::free(A);
    std::free(b);
    std::free(x);
    std::free(lb);
    std::free(ub);
    std::free(g);
    std::free(bacc);
    std::free(trial);
  }

  for (int k = 0; k < n; ++k) *rec[k].value = p[k];
  if (verbose) {
    for (int i = 0; i < n; ++i) {
      if (i % 5 == 0) std::printf("\n");
      bool limit = p[i] == rec[i].min || p[i] == rec[i].max;
      std::printf("%14.7E%c", p[i], limit ? '*' : ' ');
    }
    std::printf("\n");
    rule();
    std::printf("\n");
  }
  std::free(r);
  std::free(p);
  return result;
}

}  // namespace numeric
