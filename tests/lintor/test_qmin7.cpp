// The instrument-profile program's minimiser: noise-free fits of two
// nonlinear model families, fits that end on a bound or at the edge of the
// admissible region, a start at the minimum, unusable starts, and a
// derivative that is not a number.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "programs/lintor/qmin7.hpp"

namespace {
using namespace numeric;

using lintor::qmin7;

// --- A model over x_i with its data ----------------------------------------
// Family 0: a e^(-k x) + c on x = 0 .. 4. Family 1: squared Lorentzian
// I / (1 + ((x - x0)/w)^2)^2 on x = -3 .. 3.
constexpr int kPoints = 41;
int family = 0;
double par[3];
double truth[3];
int calls = 0;
double refuse_above = DBL_MAX;  // the residual refuses par[0] above this
bool nan_row = false;           // the row of parameter 2 is not a number

double xval(int i) { return family == 0 ? 4.0 * i / (kPoints - 1) : -3 + 6.0 * i / (kPoints - 1); }

double model(const double* p, double x) {
  if (family == 0) return p[0] * std::exp(-p[1] * x) + p[2];
  const double u = (x - p[1]) / p[2];
  const double t = 1 + u * u;
  return p[0] / (t * t);
}

bool residual(float* r) {
  ++calls;
  if (par[0] > refuse_above) return false;
  for (int i = 0; i < kPoints; ++i)
    r[i] = static_cast<float>(model(par, xval(i)) - model(truth, xval(i)));
  return true;
}

void row(float* d, int i) {
  const double x = xval(i);
  if (family == 0) {
    const double ex = std::exp(-par[1] * x);
    d[0] = static_cast<float>(ex);
    d[1] = static_cast<float>(-par[0] * x * ex);
    d[2] = 1;
  } else {
    const double u = (x - par[1]) / par[2];
    const double t = 1 + u * u;
    const double dt = -4 * par[0] * u / (t * t * t);  // d model / d u
    d[0] = static_cast<float>(1 / (t * t));
    d[1] = static_cast<float>(dt * -1 / par[2]);
    d[2] = static_cast<float>(dt * -u / par[2]);
  }
  if (nan_row) d[1] = NAN;
}

struct Fit {
  int result, iterations;
  double sum;
};

Fit run(int n, int itmax, double eps, std::vector<QminParam>& rec) {
  calls = 0;
  Fit f{};
  f.iterations = itmax;
  f.sum = eps;
  f.result = qmin7(rec.data(), n, kPoints, residual, row, &f.iterations, &f.sum, false);
  return f;
}

std::vector<QminParam> records(double lo, double hi) {
  std::vector<QminParam> rec(3);
  for (int k = 0; k < 3; ++k) rec[k] = {nullptr, nullptr, nullptr, -1, &par[k], lo, hi};
  return rec;
}

class Qmin7 : public ::testing::Test {
 protected:
  void SetUp() override {
    refuse_above = DBL_MAX;
    nan_row = false;
  }
};

TEST_F(Qmin7, FitsBothFamiliesFromDistantStarts) {
  struct Case {
    int family;
    double truth[3], start[3];
  };
  const Case cases[] = {
      {0, {5, 0.7, 1}, {1, 0.1, 0}},
      {1, {10, 0.3, 0.5}, {5, 0, 1.2}},
  };
  for (const Case& c : cases) {
    family = c.family;
    for (int k = 0; k < 3; ++k) {
      truth[k] = c.truth[k];
      par[k] = c.start[k];
    }
    auto rec = records(-100, 100);
    Fit f = run(3, 300, 1.1920928955078125e-6, rec);
    EXPECT_EQ(f.result, 0);
    EXPECT_GT(f.iterations, 1);
    EXPECT_LT(f.iterations, 300);
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(par[k], truth[k], 1e-3 * std::fabs(truth[k])) << c.family;
    // The sum of squares returned is that of the point returned.
    std::vector<float> r(kPoints);
    residual(r.data());
    double s = 0;
    for (float v : r) s += static_cast<double>(v) * v;
    EXPECT_DOUBLE_EQ(f.sum, s);
    EXPECT_LT(f.sum, 1e-6);
  }
}

// The minimum lies beyond the bound of the intensity: the fit stops on the
// bound exactly, and a start exactly on it is usable.
TEST_F(Qmin7, StopsExactlyOnABound) {
  family = 0;
  truth[0] = 5, truth[1] = 0.7, truth[2] = 1;
  for (double start : {1.0, 3.25}) {
    par[0] = start, par[1] = 0.7, par[2] = 1;
    std::vector<QminParam> rec = records(-100, 100);
    rec[0].max = 3.25;
    Fit f = run(3, 300, 1.1920928955078125e-6, rec);
    EXPECT_EQ(f.result, 0);
    EXPECT_GE(f.iterations, 1);
    EXPECT_EQ(par[0], 3.25) << start;
    EXPECT_GT(f.sum, 1);
  }
}

// Trial points the residual refuses only shorten the step: the fit ends
// inside the admissible region, close to its edge.
TEST_F(Qmin7, RefusedTrialsShortenTheStep) {
  family = 0;
  truth[0] = 5, truth[1] = 0.7, truth[2] = 1;
  par[0] = 1, par[1] = 0.7, par[2] = 1;
  refuse_above = 2.5;
  auto rec = records(-100, 100);
  Fit f = run(3, 300, 1.1920928955078125e-6, rec);
  EXPECT_EQ(f.result, 0);
  EXPECT_LE(par[0], 2.5);
  EXPECT_GT(par[0], 2.4);
}

// A start at the least-squares minimum: no step is accepted, the counter
// stays 1 and the start's sum of squares comes back.
TEST_F(Qmin7, StartAtTheMinimum) {
  family = 0;
  truth[0] = 5, truth[1] = 0.7, truth[2] = 1;
  par[0] = 5, par[1] = 0.7, par[2] = 1;
  auto rec = records(-100, 100);
  Fit f = run(3, 300, 1.1920928955078125e-6, rec);
  EXPECT_EQ(f.result, 0);
  EXPECT_EQ(f.iterations, 1);
  EXPECT_EQ(f.sum, 0);
  EXPECT_EQ(par[0], 5);
  EXPECT_EQ(par[1], 0.7);
}

TEST_F(Qmin7, UnusableStartsLeaveEverythingAlone) {
  family = 0;
  truth[0] = 5, truth[1] = 0.7, truth[2] = 1;
  struct Case {
    double start;
    double refuse;
  };
  const Case cases[] = {{NAN, DBL_MAX}, {-200, DBL_MAX}, {3, 2}};
  for (const Case& c : cases) {
    par[0] = c.start, par[1] = 0.7, par[2] = 1;
    refuse_above = c.refuse;
    auto rec = records(-100, 100);
    Fit f = run(3, 300, 0.5, rec);
    EXPECT_EQ(f.result, 0);
    EXPECT_EQ(f.iterations, 0);
    EXPECT_EQ(f.sum, 0.5);
    if (std::isnan(c.start))
      EXPECT_TRUE(std::isnan(par[0]));
    else
      EXPECT_EQ(par[0], c.start);
    EXPECT_EQ(par[1], 0.7);
  }
  // Without parameters nothing is evaluated.
  auto rec = records(-100, 100);
  Fit f = run(0, 300, 0.5, rec);
  EXPECT_EQ(f.iterations, 0);
  EXPECT_EQ(calls, 0);
}

TEST_F(Qmin7, DerivativeNotANumberNamesTheParameter) {
  family = 0;
  truth[0] = 5, truth[1] = 0.7, truth[2] = 1;
  par[0] = 1, par[1] = 0.1, par[2] = 0;
  nan_row = true;
  auto rec = records(-100, 100);
  Fit f = run(3, 300, 1.1920928955078125e-6, rec);
  EXPECT_EQ(f.result, 2);
  EXPECT_EQ(f.iterations, 1);
  EXPECT_EQ(par[0], 1);
  EXPECT_EQ(par[1], 0.1);
}

}  // namespace
