#include "compfit.hpp"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

#include "numeric/dreieck.hpp"
#include "numeric/qmin.hpp"
#include "numeric/rg.hpp"

namespace zelmar {

using namespace numeric;

namespace {

// The fit state the minimiser's callbacks read: the data of the angle and the
// current model, parameters (g, e, q) per component in this order.
const FitData* fd = nullptr;
std::vector<float> par;  // 3n values

int ncomp() { return static_cast<int>(par.size() / 3); }

// Residuals: the weighted misfit of every data point, then per component a
// term that grows for very narrow and very wide components, then one that
// grows with the distance of the position from the nominal angle.
bool modell(float* r) {
  const int m = fd->m(), n = ncomp();
  for (int k = 0; k < n; ++k)
    if (par[3 * k + 2] == 0) return false;
  for (int j = 0; j < m; ++j) {
    const double x = fd->xi[j];
    double s = 0;
    for (int k = 0; k < n; ++k) {
      const double g = par[3 * k], e = par[3 * k + 1], q = par[3 * k + 2];
      const double d = (x - e) * (x - e) + q * q;
      s += g * 2 * q * q * q / (d * d);
    }
    r[j] = static_cast<float>((s - fd->yi[j]) * fd->wi[j]);
  }
  for (int k = 0; k < n; ++k) {
    const double e = par[3 * k + 1], q = par[3 * k + 2];
    r[m + k] = static_cast<float>(q / 0.003 + 1e-5 / q);
    r[m + n + k] = static_cast<float>((e / 0.01) * (e / 0.01));
  }
  return true;
}

// Derivatives of residual i with respect to all 3n parameters.
void ableitung(float* row, int i) {
  const int m = fd->m(), n = ncomp();
  for (int k = 0; k < 3 * n; ++k) row[k] = 0;
  if (i < m) {
    const double x = fd->xi[i], w = fd->wi[i];
    for (int k = 0; k < n; ++k) {
      const double g = par[3 * k], e = par[3 * k + 1], q = par[3 * k + 2];
      const double D = (e - x) * (e - x) + q * q;
      row[3 * k] = static_cast<float>(2 * q * q * q / (D * D) * w);
      row[3 * k + 1] = static_cast<float>(-8 * g * q * q * q * (e - x) / (D * D * D) * w);
      row[3 * k + 2] =
          static_cast<float>(2 * g * (3 * q * q / (D * D) - 4 * q * q * q * q / (D * D * D)) * w);
    }
  } else if (i < m + n) {
    const double q = par[3 * (i - m) + 2];
    row[3 * (i - m) + 2] = static_cast<float>(333.3333333333333 - 1e-5 / (q * q));
  } else {
    const double e = par[3 * (i - m - n) + 1];
    row[3 * (i - m - n) + 1] = static_cast<float>(2 * e / 0.0001);
  }
}

// Fits the current model; returns the final sum of squared residuals.
double fit() {
  const int n = ncomp(), m = fd->m();
  if (n == 0) {
    // Nothing to fit: the residual is the data itself.
    double s = 0;
    for (int j = 0; j < m; ++j)
      s += static_cast<double>(fd->yi[j]) * fd->wi[j] * fd->yi[j] * fd->wi[j];
    return s;
  }
  std::vector<float*> p(static_cast<size_t>(3 * n));
  std::vector<uint8_t> nonneg(static_cast<size_t>(3 * n));
  for (int k = 0; k < 3 * n; ++k) {
    p[k] = &par[k];
    nonneg[k] = k % 3 != 1;
  }
  int iterations = 1000 * n;
  float E = 1e-5f;
  qmin(p.data(), nonneg.data(), 3 * n, m + 2 * n, modell, ableitung, &iterations, &E, false);
  return E;
}

// Removes the components that carry nothing, lie outside the data or are
// narrower than twice the local sampling; true when one of them had weight.
bool prune(double deps, float kern) {
  bool weighty = false;
  std::vector<float> kept;
  const float lo = fd->xi.front(), hi = fd->xi.back();
  for (int k = 0; k < ncomp(); ++k) {
    const float g = par[3 * k], e = par[3 * k + 1], q = par[3 * k + 2];
    const double local = 2 * deps * (std::floor(std::fabs(static_cast<double>(e)) / kern) + 1);
    if (g == 0 || e > hi || e < lo || q < local) {
      if (g > 0) weighty = true;
      continue;
    }
    kept.insert(kept.end(), {g, e, q});
  }
  par.swap(kept);
  return weighty;
}

struct Candidate {
  int level = 0, point = -1;
  double gain = 0;
};

// The component that promises the largest decrease of the residual, on the
// grid of points and width levels; point -1 when none helps.
Candidate search(double deps, float kern, double E, std::vector<int32_t>& tried) {
  const int m = fd->m(), n = ncomp(), p = 3 * n, np = p + 1;
  std::vector<float> r(static_cast<size_t>(m + 2 * n));
  modell(r.data());
  std::vector<float> J(static_cast<size_t>(m) * p + 1);
  std::vector<float> A(static_cast<size_t>(np) * (np + 1) / 2, 0.0f);
  std::vector<double> bacc(static_cast<size_t>(p), 0.0);
  for (int j = 0; j < m; ++j) {
    float* row = &J[static_cast<size_t>(j) * p];
    ableitung(row, j);
    bau(row, A.data(), p);
    for (int k = 0; k < p; ++k) bacc[k] += static_cast<double>(row[k]) * r[j];
  }
  std::vector<float> b(static_cast<size_t>(np)), ub(static_cast<size_t>(np)),
      x(static_cast<size_t>(np));
  for (int k = 0; k < p; ++k) {
    b[k] = static_cast<float>(bacc[k]);
    float& diag = A[static_cast<size_t>(k) * (k + 1) / 2 + k];
    diag = diag * 1.0000119f;
  }
  for (int k = 0; k < n; ++k) {
    ub[3 * k] = par[3 * k];
    ub[3 * k + 1] = FLT_MAX;
    ub[3 * k + 2] = par[3 * k + 2];
  }
  ub[p] = 0;
  const size_t last = static_cast<size_t>(p) * (p + 1) / 2;
  std::vector<float> c(static_cast<size_t>(m));
  std::vector<double> row(static_cast<size_t>(p));
  Candidate best;
  for (int w = 64; w >= 2; w /= 2) {
    for (int j = 0; j < m; j += w / 2) {
      if (tried[j] <= w) continue;
      const double xj = fd->xi[j];
      const double qc = w * (std::floor(std::fabs(xj) / kern) + 1) * deps;
      double cc = 0, cr = 0;
      std::fill(row.begin(), row.end(), 0.0);
      for (int i = 0; i < m; ++i) {
        const double d = (fd->xi[i] - xj) * (fd->xi[i] - xj) + qc * qc;
        const float ci = static_cast<float>(2 * qc * qc * qc / (d * d) * fd->wi[i]);
        c[i] = ci;
        cc += static_cast<double>(ci) * ci;
        cr += static_cast<double>(ci) * r[i];
        const float* Ji = &J[static_cast<size_t>(i) * p];
        for (int k = 0; k < p; ++k) row[k] += static_cast<double>(ci) * Ji[k];
      }
      for (int k = 0; k < p; ++k) A[last + k] = static_cast<float>(row[k]);
      A[last + p] = static_cast<float>(1.0000119 * cc);
      b[p] = static_cast<float>(cr);
      std::fill(x.begin(), x.end(), 0.0f);
      if (!rg(A.data(), b.data(), x.data(), ub.data(), np, nullptr, E * FLT_EPSILON, 0)) continue;
      if (x[p] == 0) continue;
      double bx = 0;
      for (int k = 0; k < np; ++k) bx += static_cast<double>(b[k]) * x[k];
      const double gain = bx - 0.5 * atma(x.data(), A.data(), np);
      if (gain > best.gain) best = {w, j, gain};
    }
  }
  return best;
}

}  // namespace

FitEnd fitcomponents(const FitData& data, double deps, float kern, float epsg, int* rounds,
                     Components& out) {
  fd = &data;
  const int m = data.m();
  const float x0 = data.xi.front(), x1 = data.xi.back();
  par = {1.0f, (x0 + x1) / 2, (x1 - x0) / 2};
  FitEnd end = FitEnd::finer;
  // A histogram in a single bin has no shape to fit: it asks for finer bins,
  // and until it gets them it stands for one component a bin wide.
  if (!(x1 > x0)) {
    par[2] = static_cast<float>(deps);
  } else {
    std::vector<float> saved = par;
    double Ebest = FLT_MAX;
    int nmax = 0;
    std::vector<int32_t> tried(static_cast<size_t>(m), INT32_MAX);
    const double goal = data.ymax * data.ymax * data.sumw2 * static_cast<double>(epsg * epsg);
    for (;;) {
      double E;
      do E = fit();
      while (prune(deps, kern));
      if (Ebest * 0.9999 <= E) {
        par = saved;
        E = Ebest;
      }
      saved = par;
      if (ncomp() > nmax) {
        nmax = ncomp();
        std::fill(tried.begin(), tried.end(), INT32_MAX);
      }
      double gsum = 0;
      for (int k = 0; k < ncomp(); ++k) gsum += par[3 * k];
      if (E <= goal && 1 - epsg <= gsum && gsum <= 1 + epsg) {
        end = FitEnd::converged;
        break;
      }
      if (*rounds <= 0 || ncomp() >= kMostComponents) break;
      --*rounds;
      const Candidate c = search(deps, kern, E, tried);
      if (c.point < 0) break;
      const double xj = data.xi[c.point];
      par.insert(par.end(),
                 {0.0f, data.xi[c.point],
                  static_cast<float>(c.level * (std::floor(std::fabs(xj) / kern) + 1) * deps)});
      tried[c.point] = c.level;
      Ebest = E;
    }
  }
  out = Components{};
  for (int k = 0; k < ncomp(); ++k) {
    out.g.push_back(par[3 * k]);
    out.e.push_back(par[3 * k + 1]);
    out.q.push_back(par[3 * k + 2]);
  }
  fd = nullptr;
  return end;
}

}  // namespace zelmar
