// The profile model of the instrument-profile program: one component folded
// with a wavelength line and the standard's own widths keeps its area and
// lies where its position says, and the derivatives of the residuals agree
// with finite differences for every kind of parameter.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "lintorrun.hpp"
#include "model/lam.hpp"
#include "model/unt.hpp"
#include "programs/lintor/lintor.hpp"
#include "testsupport.hpp"

namespace {
using namespace core;
using namespace model;

constexpr double kPi = 3.141592653589793;

class Model : public ::testing::Test {
 protected:
  void TearDown() override { unt2(); }

  // Points evenly in sin theta over sin theta_R +- half, the reflection at
  // theta_R degrees.
  void points(double thetaR, double half, int count) {
    const double sR = std::sin(thetaR * kPi / 180);
    refl.position = static_cast<float>(2 * l0 * sR);
    s.resize(count);
    y.assign(count, 0.0f);
    wt.assign(count, 1.0f);
    for (int p = 0; p < count; ++p)
      s[p] = static_cast<float>(sR - half + 2 * half * p / (count - 1));
    lintor::m = count;
    lintor::sinx = s.data();
    lintor::intensitaet = y.data();
    lintor::w = wt.data();
    lintor::reflex = &refl;
  }
  void background(int ru, std::vector<double> coefficients) {
    lintor::ru = ru;
    lintor::tud = coefficients;
    lintor::tu.assign(ru, 0.0f);
    unt1(ru, s.data(), static_cast<int>(s.size()), nullptr, nullptr);
  }
  std::vector<float> residuals() {
    std::vector<float> r(s.size());
    EXPECT_TRUE(lintor::linie(r.data()));
    return r;
  }

  ktest::TempInstall install{{"err.msg", "cu.lam"}};
  lintorrun::Store store{install.path()};
  lintor::Reflex refl;
  std::vector<float> s, y, wt;
};

// With one line of no width, no background, unit weights and no polarisation
// the residuals are the model itself: per unit of 1/d its area is
// g A pi-normalised (the folded shapes keep the area of their parts), and it
// is centred where 2 sin(theta)/lambda + e L meets the reflection, so a
// positive position lies on the low-angle side.
TEST_F(Model, FoldedComponentKeepsItsAreaAndPlace) {
  setsynchrotron(true);
  setpol(false);
  initlam("0.15406");
  struct Case {
    float lorentz, squared;
  };
  for (Case c : {Case{0, 0}, Case{0.004f, 0}, Case{0.002f, 0.005f}}) {
    refl.intensity = 250;
    refl.lorentz = c.lorentz;
    refl.squared = c.squared;
    points(20, 0.25, 50001);
    background(0, {});
    const double e0 = 4e-4, sigma = 1e-3;
    lintor::g = {0.8};
    lintor::e = {e0};
    lintor::q = {sigma * sigma};
    std::vector<float> r = residuals();
    double area = 0, first = 0;
    for (size_t p = 1; p < s.size(); ++p) {
      const double dx = 2 * lj[0] * (static_cast<double>(s[p]) - s[p - 1]);
      area += 0.5 * (r[p] + r[p - 1]) * dx;
      first +=
          0.5 * (r[p] * static_cast<double>(s[p]) + r[p - 1] * static_cast<double>(s[p - 1])) * dx;
    }
    // The Lorentzian tails beyond the ends hold about 2 a / X of the area.
    const double L = 2 * lj[0] * std::cos(20 * kPi / 180);
    const double X = 2 * lj[0] * (s.back() - s.front()) / 2;
    const double tails = 2 * c.lorentz / X / kPi;
    EXPECT_NEAR(area / (0.8 * 250), 1 - tails, 2e-4) << c.lorentz << " " << c.squared;
    // The centre: 2 lj s_c = P - e L.
    const double sc = first / area;
    EXPECT_NEAR(2 * lj[0] * sc, refl.position - e0 * L, 2e-3 * sigma * L) << c.lorentz;
  }
}

// Central differences of the residuals against the derivative rows, for the
// background, g, e and q of three components under the four lines of Cu
// K-alpha with polarisation and the standard's own widths. The data are the
// model itself, so the differences are taken of small residuals.
TEST_F(Model, DerivativesAgreeWithFiniteDifferences) {
  setxray(true);
  pol = 0.8f;
  initlam("cu");
  ASSERT_EQ(ilam, 4);
  refl.intensity = 1000;
  refl.lorentz = 0.003f;
  refl.squared = 0.004f;
  points(35, 0.01, 80);
  background(3, {100, 130, 90});
  lintor::g = {1.0, 0.4, 0.2};
  lintor::e = {2e-4, -8e-4, 1.2e-3};
  lintor::q = {8e-4 * 8e-4, 1.5e-3 * 1.5e-3, 3e-3 * 3e-3};
  std::vector<float> model = residuals();
  for (size_t p = 0; p < s.size(); ++p) {
    y[p] = model[p];
    wt[p] = 1 / std::sqrt(model[p]);
  }

  const int N = 3 + 9;
  std::vector<double*> value;
  std::vector<double> step;
  for (int k = 0; k < 3; ++k) {
    value.push_back(&lintor::tud[k]);
    step.push_back(1.0);  // linear, and taken by the background in single precision
  }
  for (int k = 0; k < 3; ++k) {
    value.push_back(&lintor::g[k]);
    step.push_back(1e-4);
    value.push_back(&lintor::e[k]);
    step.push_back(1e-7);
    value.push_back(&lintor::q[k]);
    step.push_back(1e-4 * lintor::q[k]);
  }
  std::vector<std::vector<float>> rows(s.size(), std::vector<float>(N));
  for (size_t p = 0; p < s.size(); ++p) lintor::ableitung(rows[p].data(), static_cast<int>(p));
  for (int k = 0; k < N; ++k) {
    const double keep = *value[k];
    *value[k] = keep + step[k];
    std::vector<float> up = residuals();
    *value[k] = keep - step[k];
    std::vector<float> down = residuals();
    *value[k] = keep;
    double largest = 0;
    for (size_t p = 0; p < s.size(); ++p) largest = std::fmax(largest, std::fabs(rows[p][k]));
    ASSERT_GT(largest, 0) << k;
    for (size_t p = 0; p < s.size(); ++p) {
      const double fd = (static_cast<double>(up[p]) - down[p]) / (2 * step[k]);
      EXPECT_NEAR(rows[p][k], fd, 2e-5 * largest) << "parameter " << k << " point " << p;
    }
  }
}

}  // namespace
