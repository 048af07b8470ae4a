// End to end: a synthetic pattern made from known peaks of every kind on a
// background, with counting noise from a fixed seed, is fitted back by least
// squares through the pattern model and its derivatives; positions and
// areas come back within their estimated errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "modell_fixture.hpp"
#include "numeric/qmin.hpp"

namespace model {
using namespace numeric;

using namespace modelltest;

namespace {

PeakSet* fitted = nullptr;

bool residualfkt(float* r) {
  modell(r, fitted);
  return true;
}

void rowfkt(float* g, int i) { ableitung(g, i, fitted); }

// Inverse of a symmetric positive-definite matrix (dense, double) by
// Gauss-Jordan elimination; false when a pivot vanishes.
bool invert(std::vector<double>& a, int n) {
  std::vector<double> inv(static_cast<size_t>(n) * n, 0.0);
  for (int i = 0; i < n; ++i) inv[i * n + i] = 1.0;
  for (int c = 0; c < n; ++c) {
    int piv = c;
    for (int r = c + 1; r < n; ++r)
      if (std::fabs(a[r * n + c]) > std::fabs(a[piv * n + c])) piv = r;
    if (a[piv * n + c] == 0.0) return false;
    for (int k = 0; k < n; ++k)
      std::swap(a[c * n + k], a[piv * n + k]), std::swap(inv[c * n + k], inv[piv * n + k]);
    const double d = a[c * n + c];
    for (int k = 0; k < n; ++k) a[c * n + k] /= d, inv[c * n + k] /= d;
    for (int r = 0; r < n; ++r) {
      if (r == c) continue;
      const double f = a[r * n + c];
      if (f == 0.0) continue;
      for (int k = 0; k < n; ++k)
        a[r * n + k] -= f * a[c * n + k], inv[r * n + k] -= f * inv[c * n + k];
    }
  }
  a = inv;
  return true;
}

TEST(PatternFit, KnownPeaksWithCountingNoiseAreRecoveredWithinTheirErrors) {
  install();
  ktest::TempDir dir;
  doublet();
  instrument(dir);
  points(40.0, 60.0, 0.02);
  hinit();
  unt1(3, sinx, m, nullptr, nullptr);

  // The truth: one kind-2, two kind-3 and one kind-4 peak on a background.
  PeakSet* truth = nullptr;
  peakalloc(nullptr, &truth, 0, 0, 3, 1, 2, 1);
  const float p2v[] = {300.0f, static_cast<float>(position(43.0))};
  const float p3v[] = {200.0f, static_cast<float>(position(47.5)), 0.003f,
                       150.0f, static_cast<float>(position(56.0)), 0.005f};
  const float p4v[] = {250.0f, static_cast<float>(position(52.0)), 0.002f, 9e-6f};
  std::memcpy(truth->par2, p2v, sizeof p2v);
  std::memcpy(truth->par3, p3v, sizeof p3v);
  std::memcpy(truth->par4, p4v, sizeof p4v);
  truth->bg[0] = 200.0f, truth->bg[1] = 150.0f, truth->bg[2] = 120.0f;

  // Expected counts, then counting noise with a fixed seed.
  std::vector<float> mu(m);
  modell(mu.data(), truth);
  std::mt19937 rng(20240611u);
  for (int t = 0; t < m; ++t) {
    std::poisson_distribution<int> counts(mu[t]);
    const int c = counts(rng);
    intensitaet[t] = static_cast<float>(c);
    w[t] = static_cast<float>(1.0 / std::sqrt(c > 1 ? c : 1));
  }

  // Start away from the truth: positions off by half a width, intensities
  // and widths off by a fifth to a third.
  peakalloc(truth, &fitted, 0, 0, 3, 1, 2, 1);
  fitted->par2[0] *= 0.8f, fitted->par2[1] += 0.004f;
  fitted->par3[0] *= 1.25f, fitted->par3[1] -= 0.004f, fitted->par3[2] *= 1.3f;
  fitted->par3[3] *= 0.8f, fitted->par3[4] += 0.003f, fitted->par3[5] *= 0.7f;
  fitted->par4[0] *= 1.2f, fitted->par4[1] -= 0.003f, fitted->par4[2] *= 1.3f,
      fitted->par4[3] *= 1.5f;
  fitted->bg[0] *= 1.1f, fitted->bg[1] *= 0.9f, fitted->bg[2] *= 1.1f;

  std::vector<float*> par = parameters(fitted);
  const std::vector<float*> tpar = parameters(truth);
  const int n = static_cast<int>(par.size());
  std::vector<uint8_t> nonneg(n, 0);
  // Intensities, own widths and the squared-Lorentzian parameter stay >= 0.
  for (int k : {0, 2, 4, 5, 7, 8, 10, 11}) nonneg[k] = 1;
  std::vector<float> start(n);
  for (int k = 0; k < n; ++k) start[k] = *par[k];

  int iterations = 200;
  float ermod = 1e-7f;
  qmin(par.data(), nonneg.data(), n, m, residualfkt, rowfkt, &iterations, &ermod, false);
  ASSERT_GT(iterations, 1);

  // Covariance from the derivative rows at the solution.
  std::vector<float> row(n);
  std::vector<double> normal(static_cast<size_t>(n) * n, 0.0);
  for (int t = 0; t < m; ++t) {
    ableitung(row.data(), t, fitted);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) normal[i * n + j] += static_cast<double>(row[i]) * row[j];
  }
  ASSERT_TRUE(invert(normal, n));
  std::vector<float> r(m);
  modell(r.data(), fitted);
  double chi2 = 0.0;
  for (float v : r) chi2 += static_cast<double>(v) * v;
  const double reduced = chi2 / (m - n);
  EXPECT_GT(reduced, 0.8);
  EXPECT_LT(reduced, 1.25);

  // Positions and intensities (areas) of every peak, and the background.
  const int checked[] = {0, 1, 2, 3, 5, 6, 8, 9, 12, 13, 14};
  for (int k : checked) {
    const double sigma = std::sqrt(normal[k * n + k]);
    EXPECT_LT(std::fabs(*par[k] - *tpar[k]), 3.5 * sigma)
        << "parameter " << k << ": fitted " << *par[k] << ", true " << *tpar[k] << ", sigma "
        << sigma;
    // The start was far outside the error: the fit did the work.
    EXPECT_GT(std::fabs(start[k] - *tpar[k]), 3.5 * sigma) << "parameter " << k;
  }
  peakfree(&fitted);
  peakfree(&truth);
  release();
}

}  // namespace

}  // namespace model
