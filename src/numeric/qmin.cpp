#include "numeric/qmin.hpp"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/fatal.hpp"
#include "core/velmora.hpp"
#include "numeric/dreieck.hpp"
#include "numeric/lsq.hpp"
#include "numeric/rg.hpp"

namespace numeric {
using namespace core;

float gammamult = 0.9f;

void qmin(float** par, const uint8_t* nonneg, int n, int m, QminResiduals res, QminRow row,
          int* iterations, float* ermod, bool verbose) {
  if (n < 1) {
    *iterations = 0;
    return;
  }
  if (verbose) {
    std::printf("\n");
    rule();
    std::printf("\nM=%4d  N=%3d  IT=%5d  ERMOD=%10f", m, n, *iterations,
                static_cast<double>(*ermod));
  }
  // A negative threshold (or NaN) is taken as 0: the step search then still
  // ends when the step has shrunk to nothing.
  const double threshold = std::fmax(static_cast<double>(*ermod), 0.0);
  if (gammamult >= 1 || gammamult <= 0) internal_error("gammamult", "obj/qmin", 78);

  float* p = kcalloc<float>(static_cast<size_t>(n));
  float* r = kcalloc<float>(static_cast<size_t>(m > 0 ? m : 0));
  bool refused = false;
  for (int k = 0; k < n; ++k) {
    p[k] = *par[k];
    if (nonneg[k] && p[k] < 0) {
      std::printf("*** qmin: %d. parameter out of range\n", k + 1);
      refused = true;
    }
  }
  if (!res(r)) {
    std::printf("*** qmin: start point out of range\n");
    refused = true;
  }

  if (refused) {
    *iterations = 0;
  } else {
    double F = sum_of_squares(r, m);
    if (verbose) std::printf("\n%5d  %13.6E ", 0, F);
    double S = F / 2;
    if (*iterations < 1 || m < 1) {
      *ermod = static_cast<float>(2 * S);
      *iterations = 1;
    } else {
      const size_t nn = static_cast<size_t>(n);
      float* A = kcalloc<float>(nn * (nn + 1) / 2);
      float* b = kcalloc<float>(nn);
      float* x = kcalloc<float>(nn);
      float* g = kcalloc<float>(nn);
      float* ub = kcalloc<float>(nn);
      double* bacc = kcalloc<double>(nn);
      double lambda = 0.01;
      int counter = 1;
      const double dn = n;

      auto at_accepted = [&] {
        for (int k = 0; k < n; ++k) *par[k] = p[k];
      };

      while (counter <= *iterations) {
        normal_equations(A, bacc, g, r, n, m, at_accepted, row);
        for (int k = 0; k < n; ++k) {
          g[k] = A[diag(k)];
          A[diag(k)] = static_cast<float>(A[diag(k)] + A[diag(k)] * lambda);
          b[k] = static_cast<float>(bacc[k]);
        }

        bool finish = false;
        bool accepted = false;
        double h = 1, Snew = S, pred = 0;
        while (!finish && !accepted) {
          // The damped, bounded step.
          for (int k = 0; k < n; ++k) ub[k] = nonneg[k] ? p[k] : FLT_MAX;
          bool ok = rg(A, b, x, ub, n, nullptr, FLT_EPSILON * S / m, 0.15 * 2 * lambda);
          pred = sum_of_products(b, x, n);
          // A NaN prediction (non-finite derivatives) is no descent either.
          if (!ok || !(pred > 0)) {
            if (2 * lambda > dn) {
              finish = true;
              break;
            }
            add_damping(A, g, n, lambda);
            lambda = 2 * lambda;
            continue;
          }
          // Backtracking line search along the step.
          h = 1;
          for (;;) {
            if (threshold * S >= h * pred) {
              finish = true;
              break;
            }
            for (int k = 0; k < n; ++k) *par[k] = static_cast<float>(p[k] - x[k] * h);
            if (!res(r)) {
              // Refused points shrink the step; once it cannot shrink any
              // more (the smallest subnormal), no point along it is admitted.
              const double shorter = h * gammamult;
              if (!(shorter < h)) {
                finish = true;
                break;
              }
              h = shorter;
              continue;
            }
            Snew = sum_of_squares(r, m) / 2;
            if (S - Snew > 0.3 * h * pred) {
              accepted = true;
              break;
            }
            double hn = 0.5 * h * h * pred / ((Snew - S) + h * pred);
            if (!(hn >= h / 4)) hn = h / 4;
            if (verbose) std::printf(".");
            if (lambda < dn && hn < 0.1) {
              if (threshold * S >= hn * pred) {
                finish = true;
                break;
              }
              double next = std::fmin(10 * lambda, dn);
              add_damping(A, g, n, next - lambda);
              lambda = next;
              break;  // a new step with the stronger damping
            }
            h = hn;
          }
        }
        if (finish) break;

        for (int k = 0; k < n; ++k) p[k] = static_cast<float>(p[k] - x[k] * h);
        if (verbose)
          std::printf("\n%5d  %13.6E  %10.3E %10.3E  %10.3f ", counter, 2 * Snew, 2 * pred, lambda,
                      h);
        // Damping from the misfit of the quadratic model along the step.
        double c = diagonal_curvature(x, g, n);
        double q = atma(x, A, n);
        double D = c * h * h / 2;
        double rho = (h * pred + (Snew - S) - h * h * q / 2) / D;
        double tol = 1.5 * threshold * (S + Snew) / D;
        if (std::fabs(rho) > tol) {
          lambda = std::fmin(
              std::fmax(0.2 * lambda, std::fmin(10 * lambda, std::fabs(rho + lambda))), dn);
        } else if (tol > lambda) {
          lambda = lambda / 2;
        }
        ++counter;
        S = Snew;
      }
      *iterations = counter;
      *ermod = static_cast<float>(2 * S);
      std::free(A);
      std::free(b);
      std::free(x);
      std::free(g);
      std::free(ub);
      std::free(bacc);
    }
  }

  for (int k = 0; k < n; ++k) *par[k] = p[k];
  if (verbose) {
    for (int i = 0; i < n; ++i) {
      if (i % 5 == 0) std::printf("\n");
      std::printf("%14.7E ", static_cast<double>(p[i]));
    }
    std::printf("\n");
    rule();
    std::printf("\n");
  }
  std::free(r);
  std::free(p);
}

}  // namespace numeric
