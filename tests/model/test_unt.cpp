// Background model: the Lagrange polynomial in ln(sin theta) reproduces any
// polynomial of its degree; measured curves (scaled, fixed, several files,
// TDS-corrected) are read through the scan reader and interpolated.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/velmora.hpp"
#include "model/unt.hpp"
#include "scan/ddm.hpp"
#include "testsupport.hpp"

namespace model {
using namespace core;
using namespace scan;

namespace {

constexpr double kPi = 3.141592653589793;

std::vector<float> sines(double tt0, double tt1, double step) {
  std::vector<float> s;
  for (double tt = tt0; tt <= tt1 + 1e-9; tt += step)
    s.push_back(static_cast<float>(std::sin(tt * kPi / 360.0)));
  return s;
}

double poly(const std::vector<double>& a, double lnx) {
  double v = 0.0;
  for (size_t j = a.size(); j-- > 0;) v = v * lnx + a[j];
  return v;
}

TEST(Background, CoefficientsFromAPolynomialInLnXReproduceItEverywhere) {
  const std::vector<float> x = sines(10.0, 120.0, 0.25);
  const std::vector<double> a = {120.0, -35.0, 18.0, 9.0, -4.0, 1.5};
  for (int ru = 1; ru <= 6; ++ru) {
    unt1(ru, x.data(), static_cast<int>(x.size()), nullptr, nullptr);
    ASSERT_EQ(untx0(nullptr), ru);
    std::vector<float> nodes(ru);
    ASSERT_EQ(untx0(nodes.data()), ru);
    for (int k = 1; k < ru; ++k) EXPECT_LT(nodes[k - 1], nodes[k]);
    EXPECT_GT(nodes[0], x.front());
    EXPECT_LT(nodes[ru - 1], x.back());
    const std::vector<double> deg(a.begin(), a.begin() + ru);
    std::vector<float> p(ru);
    for (int k = 0; k < ru; ++k)
      p[k] = static_cast<float>(poly(deg, std::log(static_cast<double>(nodes[k]))));
    // Node values come back as they went in.
    for (int k = 0; k < ru; ++k)
      EXPECT_NEAR(unt(p.data(), nodes[k]), p[k], 2e-5 * std::fabs(p[k]) + 1e-4);
    double scale = 0.0;
    for (float v : p) scale = std::max(scale, std::fabs(static_cast<double>(v)));
    std::vector<float> d(ru);
    for (double tt = 8.0; tt <= 125.0; tt += 0.37) {
      const double s = std::sin(tt * kPi / 360.0);
      const double expect = poly(deg, std::log(s));
      EXPECT_NEAR(unt(p.data(), s), expect, 2e-4 * scale) << "ru " << ru << " at 2theta " << tt;
      // The derivatives are the Lagrange basis: linear in the coefficients.
      unta(p.data(), d.data(), s);
      double lin = 0.0, sumd = 0.0;
      for (int k = 0; k < ru; ++k) lin += static_cast<double>(d[k]) * p[k], sumd += d[k];
      EXPECT_NEAR(lin, unt(p.data(), s), 2e-4 * scale);
      EXPECT_NEAR(sumd, 1.0, 1e-3);  // the basis is a partition of unity
    }
  }
  unt2();
}

TEST(Background, NothingWithoutCoefficients) {
  const std::vector<float> x = sines(20.0, 40.0, 1.0);
  // The curves are not even read: the file names need not exist.
  unt1(0, x.data(), static_cast<int>(x.size()), "missing1.dat", "missing2.dat");
  EXPECT_EQ(untx0(nullptr), 0);
  EXPECT_EQ(unt(nullptr, 0.3), 0.0f);
  unt2();
}

TEST(Background, AllSamplesAtOneAngleGiveAFiniteBackground) {
  const float x[3] = {0.4f, 0.4f, 0.4f};
  unt1(3, x, 3, nullptr, nullptr);
  const float p[3] = {10.0f, 20.0f, 30.0f};
  EXPECT_TRUE(std::isfinite(unt(p, 0.4)));
  EXPECT_TRUE(std::isfinite(unt(p, 0.5)));
  float d[3];
  unta(p, d, 0.4);
  for (float v : d) EXPECT_TRUE(std::isfinite(v));
  unt2();
}

// Measured curves. Three-column text files with a very large sigma keep the
// intensities as written. The law I = 100 + 500 sin(theta) is linear in the
// interpolation variable, so its interpolation is exact everywhere.
class BackgroundCurves : public ::testing::Test {
 protected:
  void SetUp() override {
    std::snprintf(kalvo, sizeof kalvo, "%s", ktest::process_install().c_str());
    curve("a.dat", 20.0, 30.0, 0.5);
    curve("b.dat", 30.5, 40.0, 0.5);
    curve("c.dat", 29.0, 30.0, 0.5);   // 3 points inside the data range
    curve("d.dat", 24.0, 46.0, 11.0);  // one point inside (35), two outside
    curve("far.dat", 60.0, 70.0, 1.0);
    x = sines(25.0, 45.0, 0.05);
  }
  void TearDown() override { unt2(); }

  static double law(double s) { return 100.0 + 500.0 * s; }
  void curve(const char* name, double tt0, double tt1, double step) {
    std::string text = "# test background\n";
    for (double tt = tt0; tt <= tt1 + 1e-9; tt += step) {
      char line[100];
      std::snprintf(line, sizeof line, "%.4f %.6f 1e6\n", tt, law(std::sin(tt * kPi / 360.0)));
      text += line;
    }
    ktest::write_file(dir.file(name), text);
  }
  std::string path(const char* name) const { return dir.file(name); }
  void setup(int ru, const std::string& scaled, const std::string& fixed) {
    unt1(ru, x.data(), static_cast<int>(x.size()), scaled.empty() ? nullptr : scaled.c_str(),
         fixed.empty() ? nullptr : fixed.c_str());
  }

  ktest::TempDir dir;
  std::vector<float> x;
};

TEST_F(BackgroundCurves, FixedCurveIsAddedAndExtendedLinearly) {
  const std::string lists[] = {path("a.dat") + "," + path("b.dat"),
                               "ABC(" + path("a.dat") + "," + path("b.dat") + ")"};
  for (const std::string& list : lists) {
    setup(2, "", list);
    ASSERT_EQ(untx0(nullptr), 2);
    const float p[2] = {0.0f, 0.0f};
    for (double tt : {25.0, 27.3, 30.25, 33.0, 39.9, 44.0, 50.0}) {
      const double s = std::sin(tt * kPi / 360.0);
      EXPECT_NEAR(unt(p, s), law(s), 1e-3) << list << " at " << tt;
    }
    // The fixed curve has no parameter: only the polynomial's derivatives.
    float d[3] = {-1.0f, -1.0f, -7.0f};
    unta(p, d, 0.3);
    EXPECT_EQ(d[2], -7.0f);
  }
}

TEST_F(BackgroundCurves, ScaledCurveTakesTheLastCoefficient) {
  // ru 3 with a scaled curve: two polynomial coefficients and the scale; the
  // curve is lowered by its minimum over all but its lowest-angle point.
  setup(3, path("a.dat") + "," + path("b.dat"), "");
  ASSERT_EQ(untx0(nullptr), 2);
  const double second = law(std::sin(25.5 * kPi / 360.0));  // the lowest point in range is 25
  const float p[3] = {10.0f, 10.0f, 2.0f};
  float d[3];
  for (double tt : {26.0, 35.0, 41.0}) {
    const double s = std::sin(tt * kPi / 360.0);
    EXPECT_NEAR(unt(p, s), 10.0 + 2.0 * (law(s) - second), 2e-3) << tt;
    unta(p, d, s);
    EXPECT_NEAR(d[2], law(s) - second, 1e-3);
    EXPECT_NEAR(d[0] + d[1], 1.0, 1e-5);
  }
  // ru 1: the only coefficient scales the curve as it is.
  setup(1, path("a.dat") + "," + path("b.dat"), "");
  EXPECT_EQ(untx0(nullptr), 0);
  const float one = 3.0f;
  for (double tt : {26.0, 44.0}) {
    const double s = std::sin(tt * kPi / 360.0);
    EXPECT_NEAR(unt(&one, s), 3.0 * law(s), 3e-3) << tt;
  }
}

TEST_F(BackgroundCurves, TdsCorrectionAndItsShortCurves) {
  setup(1, "", "TDS(" + path("a.dat") + "," + path("b.dat") + ")");
  // The correction over the kept points, in double precision.
  std::vector<double> s, v;
  for (double tt = 20.0; tt <= 40.0 + 1e-9; tt += 0.5) {
    if (tt > 30.0 && tt < 30.5) continue;
    const float si = static_cast<float>(std::sin(tt * kPi / 360.0));
    if (si < x.front() || si > x.back()) continue;
    s.push_back(si);
    v.push_back(static_cast<float>(law(si)));
  }
  const size_t npt = s.size();
  const double range = s.back() - s.front(), delta = range / npt;
  std::vector<double> corr(npt, 0.0);
  for (size_t j = 2; j + 2 <= npt; ++j)
    for (size_t i = 0; i < npt; ++i)
      corr[i] += std::log(range * range / ((s[j] - s[i]) * (s[j] - s[i]) + delta * delta)) *
                 (s[j + 1] - s[j - 1]) * v[j];
  const float zero = 0.0f;
  for (size_t i = 0; i < npt; i += 5)
    EXPECT_NEAR(unt(&zero, s[i]), corr[i], 1e-4 * std::fabs(corr[i])) << i;

  // Fewer than four points in range: the corrected curve is all zeros.
  setup(1, "", "TDS(" + path("c.dat") + ")");
  EXPECT_EQ(unt(&zero, 0.25), 0.0f);
  // Without the wrapping the same file is read as it is.
  setup(1, "", path("c.dat"));
  EXPECT_NEAR(unt(&zero, std::sin(29.5 * kPi / 360.0)), law(std::sin(29.5 * kPi / 360.0)), 1e-3);
}

TEST_F(BackgroundCurves, OnePointInRangeIsAConstantAndNoPointIsNoCurve) {
  const float zero = 0.0f;
  setup(1, "", path("d.dat"));
  const double only = law(std::sin(35.0 * kPi / 360.0));
  for (double tt : {25.0, 35.0, 44.0})
    EXPECT_NEAR(unt(&zero, std::sin(tt * kPi / 360.0)), only, 1e-3) << tt;
  setup(2, path("d.dat"), "");
  ASSERT_EQ(untx0(nullptr), 1);
  const float p[2] = {5.0f, 2.0f};
  float d[2];
  unta(p, d, 0.3);
  EXPECT_TRUE(std::isfinite(d[1]));
  EXPECT_NEAR(unt(p, 0.3), 5.0 + 2.0 * only, 2e-3);

  setup(2, path("far.dat"), path("far.dat"));
  EXPECT_EQ(untx0(nullptr), 2);  // no scaled curve: both coefficients stay polynomial
  const float q[2] = {7.0f, 7.0f};
  EXPECT_NEAR(unt(q, 0.3), 7.0, 1e-4);
}

TEST_F(BackgroundCurves, ReadingCurvesLeavesThePatternsDerivativeModeAlone) {
  int* range = static_cast<int*>(std::malloc(3 * sizeof(int)));
  range[0] = 2, range[1] = 3, range[2] = 2;
  float* original = static_cast<float*>(std::malloc(7 * sizeof(float)));
  ifddm = true;
  ddmrange = range;
  ddmoriintensitaet = original;
  ddm_mmax = 3;
  setup(3, path("a.dat"), path("b.dat"));
  EXPECT_TRUE(ifddm);
  EXPECT_EQ(ddmrange, range);
  EXPECT_EQ(ddmoriintensitaet, original);
  EXPECT_EQ(ddm_mmax, 3);
  EXPECT_EQ(range[1], 3);
  // The curves were read as intensities, not as derivatives.
  const float p[3] = {0.0f, 0.0f, 1.0f};
  const double s = std::sin(28.0 * kPi / 360.0);
  EXPECT_GT(unt(p, s), 0.0f);
  ifddm = false;
  ddmrange = nullptr;
  ddmoriintensitaet = nullptr;
  ddm_mmax = 0;
  std::free(range);
  std::free(original);
}

}  // namespace

}  // namespace model
