// Peak diagnostics: points near a position, peaks supported by enough
// points, the least-squares re-estimate of intensities, and full widths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/velmora.hpp"
#include "modell_fixture.hpp"

namespace model {
using namespace core;

using namespace modelltest;

namespace {

// One wavelength line without width and one symmetric instrument component
// measured at 2theta = 60 degrees: each point then responds most strongly to
// a peak at its own position 2 sin(theta) / lambda.
class Diagnostics : public ::testing::Test {
 protected:
  void SetUp() override {
    install();
    ktest::write_file(dir.file("one.ger"), "TITEL=one\nTHETA=30 N=1\n1 0 0.0004\n");
    ger1(dir.file("one").c_str());
    singleline(0.1540593, 0.0);
  }
  void TearDown() override { release(); }
  double at(int i) const { return 2.0 * l0 * sinx[i]; }
  ktest::TempDir dir;
};

TEST_F(Diagnostics, PointsWithinAHalfWidthOfAPosition) {
  points(58.0, 62.0, 0.02);
  hinit();
  const int i = m / 2;
  const double spacing = at(i + 1) - at(i);
  struct Case {
    double pos, hw;
    int nmin;
    bool inside;
  } cases[] = {
      {at(i), 1.5 * spacing, 3, true},  // the point and its two neighbours
      {at(i), 1.5 * spacing, 4, false},
      {0.5 * (at(i) + at(i + 1)), 0.6 * spacing, 3, false},  // only the two points around it
      {0.5 * (at(i) + at(i + 1)), 0.6 * spacing, 2, true},
      {at(0) - 0.5 * spacing, 1.0 * spacing, 1, true},  // the first point only
      {at(0) - 0.5 * spacing, 1.0 * spacing, 2, false},
      {at(m - 1) + 10.0 * spacing, 2.0 * spacing, 1, false},  // beyond the pattern
      {at(i), 1000.0, m, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(innen1(c.nmin, c.pos, c.hw), c.inside)
        << c.pos << " +- " << c.hw << ", at least " << c.nmin;
}

TEST_F(Diagnostics, PeaksNeedMorePointsAboveHalfMaximumThanParameters) {
  // Fine steps: an isolated peak in the middle has plenty of points; a peak
  // beyond the measured range has none.
  points(58.0, 62.0, 0.005);
  hinit();
  PeakSet* set = nullptr;
  peakalloc(nullptr, &set, 0, 0, 0, 2, 2, 2);
  const float middle = static_cast<float>(position(60.0)),
              beyond = static_cast<float>(position(63.0));
  const float p2v[] = {1, middle, 1, beyond};
  const float p3v[] = {1, middle, 0.0f, 1, beyond, 0.01f};
  const float p4v[] = {1, middle, 0.0f, 0.0f, 1, beyond, 0.0f, 1e-4f};
  std::memcpy(set->par2, p2v, sizeof p2v);
  std::memcpy(set->par3, p3v, sizeof p3v);
  std::memcpy(set->par4, p4v, sizeof p4v);
  innen(set);
  ASSERT_NE(set->in2, nullptr);
  ASSERT_NE(set->in3, nullptr);
  ASSERT_NE(set->in4, nullptr);
  EXPECT_EQ(set->in2[0], 1);
  EXPECT_EQ(set->in2[1], 0);
  EXPECT_EQ(set->in3[0], 1);
  EXPECT_EQ(set->in3[1], 0);
  EXPECT_EQ(set->in4[0], 1);
  EXPECT_EQ(set->in4[1], 0);
  peakfree(&set);

  // Coarse steps (about three instrument half widths): a peak of the
  // instrument's width has one point above half maximum, too few; with an
  // own Lorentzian width of several steps it has enough.
  points(58.0, 62.0, 0.15);
  hinit();
  peakalloc(nullptr, &set, 0, 0, 0, 1, 2, 0);
  const float q2[] = {1, static_cast<float>(at(m / 2))};
  const float q3[] = {1, static_cast<float>(at(m / 2)), 0.0f,
                      1, static_cast<float>(at(m / 2)), 0.03f};
  std::memcpy(set->par2, q2, sizeof q2);
  std::memcpy(set->par3, q3, sizeof q3);
  innen(set);
  EXPECT_EQ(set->in2[0], 0);
  EXPECT_EQ(set->in3[0], 0);
  EXPECT_EQ(set->in3[1], 1);
  peakfree(&set);

  // A peak buried in a gap of the pattern (an excluded range around
  // 2theta = 60 degrees) has no points; beside the gap it has.
  points(58.0, 62.0, 0.005);
  int kept = 0;
  for (int i = 0; i < m; ++i) {
    const double tt = 360.0 / kPi * std::asin(sinx[i]);
    if (tt > 59.8 && tt < 60.2) continue;
    sinx[kept] = sinx[i];
    ++kept;
  }
  m = kept;
  hinit();
  peakalloc(nullptr, &set, 0, 0, 0, 2, 0, 0);
  const float gap[] = {1, static_cast<float>(position(60.0)), 1,
                       static_cast<float>(position(60.5))};
  std::memcpy(set->par2, gap, sizeof gap);
  innen(set);
  EXPECT_EQ(set->in2[0], 0);
  EXPECT_EQ(set->in2[1], 1);
  EXPECT_FALSE(innen1(1, gap[1], 0.002));
  EXPECT_TRUE(innen1(3, gap[3], 0.002));
  peakfree(&set);
}

// A pattern made exactly of the model with the true intensities: the
// re-estimate from any other start recovers them.
void make_measured(PeakSet* truth) {
  std::vector<float> r(m);
  for (int t = 0; t < m; ++t) intensitaet[t] = 0.0f, w[t] = 1.0f;
  modell(r.data(), truth);
  for (int t = 0; t < m; ++t) {
    intensitaet[t] = r[t];
    w[t] = static_cast<float>(1.0 / std::sqrt(std::fabs(r[t]) + 1.0));
  }
}

// A single peak of the given kind over a two-node background.
PeakSet* onepeak(int kind) {
  PeakSet* s = nullptr;
  peakalloc(nullptr, &s, 0, 0, 2, kind == 2, kind == 3, kind == 4);
  const float pos = static_cast<float>(position(60.0));
  const float p2v[] = {500.0f, pos};
  const float p3v[] = {300.0f, pos, 0.004f};
  const float p4v[] = {200.0f, pos, 0.002f, 9e-6f};
  if (kind == 2) std::memcpy(s->par2, p2v, sizeof p2v);
  if (kind == 3) std::memcpy(s->par3, p3v, sizeof p3v);
  if (kind == 4) std::memcpy(s->par4, p4v, sizeof p4v);
  s->bg[0] = 20.0f, s->bg[1] = 25.0f;
  return s;
}

float& intensity(PeakSet* s, int kind) {
  return kind == 2 ? s->par2[0] : kind == 3 ? s->par3[0] : s->par4[0];
}
float* estimates(PeakSet* s, int kind) { return kind == 2 ? s->t2 : kind == 3 ? s->t3 : s->t4; }

TEST_F(Diagnostics, ReestimateRecoversAKnownIntensityExactly) {
  points(58.0, 62.0, 0.01);
  hinit();
  unt1(2, sinx, m, nullptr, nullptr);
  for (int kind = 2; kind <= 4; ++kind) {
    PeakSet* truth = onepeak(kind);
    make_measured(truth);
    PeakSet* set = nullptr;
    peakalloc(truth, &set, 0, 0, 2, truth->count2, truth->count3, truth->count4);
    intensity(set, kind) *= 1.3f;
    ASSERT_EQ(estimatet0(set, 5), 0);
    ASSERT_NE(estimates(set, kind), nullptr);
    EXPECT_NEAR(estimates(set, kind)[0], intensity(truth, kind), 1e-4 * intensity(truth, kind))
        << "kind " << kind;
    // Kinds without peaks get no estimates.
    for (int other = 2; other <= 4; ++other) {
      if (other == kind) continue;
      EXPECT_EQ(estimates(set, other), nullptr);
    }

    // An estimate above the current intensity is held at it.
    intensity(set, kind) = 0.4f * intensity(truth, kind);
    ASSERT_EQ(estimatet0(set, 5), 0);
    EXPECT_FLOAT_EQ(estimates(set, kind)[0], intensity(set, kind)) << "kind " << kind;
    peakfree(&set);
    peakfree(&truth);
  }

  // Peaks flagged as not inside get 0; too few degrees of freedom change nothing.
  PeakSet* truth = onepeak(3);
  make_measured(truth);
  PeakSet* set = nullptr;
  peakalloc(truth, &set, 0, 0, 2, 0, 1, 0);
  set->par3[0] *= 1.5f;
  set->in3 = static_cast<uint8_t*>(std::calloc(1, 1));
  ASSERT_EQ(estimatet0(set, 5), 0);
  EXPECT_EQ(set->t3[0], 0.0f);
  set->in3[0] = 1;
  ASSERT_EQ(estimatet0(set, 2), 0);
  const float* before = set->t3;
  const float kept = set->t3[0];
  EXPECT_NEAR(kept, truth->par3[0], 1e-4 * truth->par3[0]);
  EXPECT_EQ(estimatet0(set, 1), 1);
  EXPECT_EQ(set->t3, before);
  EXPECT_EQ(set->t3[0], kept);
  peakfree(&set);
  peakfree(&truth);
}

TEST_F(Diagnostics, ReestimateInDerivativeModeRecoversItToo) {
  points(58.0, 62.0, 0.01);
  unt1(0, sinx, m, nullptr, nullptr);
  ddmon(5);
  hinit();
  for (int kind = 2; kind <= 4; ++kind) {
    PeakSet* truth = onepeak(kind);
    truth->ru = 0;
    for (int t = 0; t < m; ++t) intensitaet[t] = 0.0f, w[t] = 1.0f;
    std::vector<float> r(m);
    modell(r.data(), truth);
    for (int t = 0; t < m; ++t)
      intensitaet[t] = r[t], w[t] = static_cast<float>(0.2 + 0.01 * (t % 7));
    PeakSet* set = nullptr;
    peakalloc(truth, &set, 0, 0, 0, truth->count2, truth->count3, truth->count4);
    intensity(set, kind) *= 1.3f;
    ASSERT_EQ(estimatet0(set, 5), 0);
    EXPECT_NEAR(estimates(set, kind)[0], intensity(truth, kind), 1e-4 * intensity(truth, kind))
        << "kind " << kind;
    peakfree(&set);
    peakfree(&truth);
  }
}

// Full width at half maximum of the peak's own profile (a Lorentzian of
// half width L convolved with a squared Lorentzian of width beta), found
// numerically on the kind-4 kernel with a component without width.
double own_fwhm(double lw, double s) {
  const float row[4] = {1.0f, 0.0f, 0.0f, 0.0f};
  auto value = [&](double d) {
    const float block[4] = {1.0f, static_cast<float>(d), static_cast<float>(lw),
                            static_cast<float>(s)};
    return static_cast<double>(p4(row, row, 1, block, 1, nullptr, nullptr));
  };
  const double half = 0.5 * value(0.0);
  double lo = 0.0, hi = 10.0 * (lw + std::sqrt(s));
  for (int k = 0; k < 200; ++k) {
    const double mid = 0.5 * (lo + hi);
    (value(mid) > half ? lo : hi) = mid;
  }
  return 2.0 * lo;
}

TEST_F(Diagnostics, FullWidthsOwnAndWithTheInstrument) {
  points(58.0, 62.0, 0.05);
  hinit();
  PeakSet* set = nullptr;
  peakalloc(nullptr, &set, 0, 0, 0, 1, 2, 3);
  const float pos = static_cast<float>(position(60.0));
  const float p2v[] = {1, pos};
  const float p3v[] = {1, pos, 0.004f, 1, pos, 0.0f};
  const float p4v[] = {1, pos, 0.0f, 0.0f, 1, pos, 0.0f, 4e-6f, 1, pos, 0.003f, 4e-6f};
  std::memcpy(set->par2, p2v, sizeof p2v);
  std::memcpy(set->par3, p3v, sizeof p3v);
  std::memcpy(set->par4, p4v, sizeof p4v);
  EXPECT_EQ(hwb(0, 2, 0, set), 0.0f);
  EXPECT_FLOAT_EQ(hwb(0, 3, 0, set), 0.008f);
  EXPECT_EQ(hwb(0, 3, 1, set), 0.0f);
  EXPECT_EQ(hwb(0, 4, 0, set), 0.0f);
  EXPECT_NEAR(hwb(0, 4, 1, set), own_fwhm(0.0, 4e-6), 1e-6);  // a squared Lorentzian alone
  EXPECT_NEAR(hwb(0, 4, 2, set), own_fwhm(0.003, 4e-6), 0.03 * own_fwhm(0.003, 4e-6));

  // With the instrument: its spread (component width 2q in theta, times
  // 2 l0 cos(theta) in 1/d) added in quadrature.
  const double instrument = 2.0 * 0.0004 * 2.0 * l0 * std::cos(30.0 * kPi / 180.0);
  EXPECT_NEAR(hwb(1, 2, 0, set), instrument, 1e-3 * instrument);
  EXPECT_NEAR(hwb(1, 3, 0, set), std::hypot(instrument, 0.008), 1e-3 * instrument);
  // Beyond the largest possible position only the own width counts.
  set->par3[1] = static_cast<float>(2.0 * l0 + 0.1);
  EXPECT_FLOAT_EQ(hwb(1, 3, 0, set), 0.008f);
  peakfree(&set);
}

// A negative fourth parameter is no squared-Lorentzian width: the kernel
// sees the peak as one without it, and so do its width and the test of the
// points above its half maximum (no 0/0 in the own half width).
TEST_F(Diagnostics, NegativeFourthParameterCountsAsNoOwnWidth) {
  points(58.0, 62.0, 0.005);
  hinit();
  PeakSet* set = nullptr;
  peakalloc(nullptr, &set, 0, 0, 0, 0, 0, 3);
  const float pos = static_cast<float>(position(60.0));
  const float p4v[] = {1, pos, 0.0f, -1e-6f, 1, pos, 0.002f, -1e-6f, 1, pos, 0.0f, 0.0f};
  std::memcpy(set->par4, p4v, sizeof p4v);
  EXPECT_EQ(hwb(0, 4, 0, set), 0.0f);
  EXPECT_FLOAT_EQ(hwb(0, 4, 1, set), 0.004f);
  EXPECT_FLOAT_EQ(hwb(1, 4, 0, set), hwb(1, 4, 2, set));
  innen(set);
  ASSERT_NE(set->in4, nullptr);
  EXPECT_EQ(set->in4[0], 1);
  EXPECT_EQ(set->in4[0], set->in4[2]);
  peakfree(&set);
}

}  // namespace

}  // namespace model
