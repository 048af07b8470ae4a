// What the focus tilt and shift, the sample height and the detector array do
// to a whole traced profile: the moments of the raw histogram of one angle
// (2theta = 40 degrees) with and without each key.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

#include "testsupport.hpp"
#include "zelmarrun.hpp"

namespace {

using Keys = std::map<std::string, std::string>;

constexpr double kPi = 3.141592653589793;
constexpr double kDeg = 180 / kPi;
constexpr double kRadius = 200;  // R of the base diffractometer
const std::string kOut = "\x01";

struct Moments {
  double mean = 0;      // measured minus true 2theta, degrees
  double variance = 0;  // degrees squared
};

// Traces 2theta = 40 degrees with the base diffractometer changed by the
// keys (a coarser accuracy goal keeps the runs short).
Moments trace(const Keys& changes) {
  zrun::Workplace wp;
  Keys keys = zrun::basekeys();
  keys["EPSG"] = "0.04";
  keys["zweiTheta[1]"] = "40";
  keys["RAW[1]"] = "raw.txt";
  for (const auto& [k, v] : changes) keys[k] = v;
  ktest::RunResult r = wp.run("zelmar", keys);
  EXPECT_EQ(r.status, 0) << r.out;
  double rays = 0, sum = 0, sum2 = 0;
  for (const zrun::RawBin& b : zrun::parseraw(ktest::read_file(wp.file("raw.txt")))) {
    const auto n = static_cast<double>(b.count);
    rays += n;
    sum += n * b.dev;
    sum2 += n * b.dev * b.dev;
  }
  Moments m;
  EXPECT_GT(rays, 10000);
  if (rays > 0) {
    m.mean = sum / rays;
    m.variance = sum2 / rays - m.mean * m.mean;
  }
  return m;
}

// A tilted focus turns part of its axial length into equatorial width:
// FocusH sin A, which adds the variance of a uniform spread of that width
// seen from the sample, (FocusH sin A / R)^2 / 12, and moves nothing. A tilt
// the other way gives the same profile.
TEST(ZelmarKeyEffects, FocusTiltWidensByTheTiltedLength) {
  const Moments base = trace({});
  const Moments up = trace({{"FocusA", "2"}});
  const Moments down = trace({{"FocusA", "-2"}});
  const double width = 8 * std::sin(2 / kDeg) / kRadius * kDeg;
  const double expected = width * width / 12;
  EXPECT_NEAR(up.variance - base.variance, expected, 0.1 * expected);
  EXPECT_NEAR(down.variance, up.variance, 0.03 * up.variance);
  EXPECT_NEAR(up.mean, base.mean, 0.002);
  EXPECT_NEAR(down.mean, base.mean, 0.002);
}

// Behind an axial slit (no primary collimator) a focus shifted along the
// axis tilts every ray axially: the axial-divergence aberration, which at
// 2theta below 90 degrees moves the profile to lower measured angles and
// widens it. It depends on the square of the shift: a shift either way gives
// the same profile, twice the shift four times the move.
TEST(ZelmarKeyEffects, AxialFocusShiftBehindAnAxialSlit) {
  const Keys slit = {{"PColl", kOut}, {"VSlitH", "2"}, {"VSlitR", "100"}};
  auto shifted = [&](const char* s) {
    Keys k = slit;
    k["FocusS"] = s;
    return trace(k);
  };
  const Moments base = trace(slit);
  const Moments plus = shifted("3");
  const Moments minus = shifted("-3");
  const Moments twice = shifted("6");
  EXPECT_LT(plus.mean, base.mean - 0.02);
  EXPECT_GT(plus.variance, 3 * base.variance);
  EXPECT_NEAR(minus.mean, plus.mean, 0.003);
  EXPECT_NEAR(minus.variance, plus.variance, 0.03 * plus.variance);
  EXPECT_NEAR((twice.mean - base.mean) / (plus.mean - base.mean), 4, 0.6);
}

// The sample surface at the height -EPS2 R: the line shift of a displaced
// sample, 2 EPS2 cos(theta) in radians of 2theta (2.15 degrees here for
// EPS2 = 0.02), is left to the zero-shift correction of the instrument
// function and taken out of the traced angle; what stays is the
// defocusing, the same for a surface above and below the axis: a small
// move to lower angles and a wider line.
TEST(ZelmarKeyEffects, SampleHeightKeepsOnlyTheDefocusing) {
  const Moments base = trace({});
  const Moments below = trace({{"EPS2", "0.02"}});
  const Moments above = trace({{"EPS2", "-0.02"}});
  const double shift = 2 * 0.02 * std::cos(20 / kDeg) * kDeg;
  ASSERT_NEAR(shift, 2.15, 0.01);
  EXPECT_LT(std::fabs(below.mean - above.mean), 0.01 * shift);
  for (const Moments& m : {below, above}) {
    EXPECT_LT(m.mean, base.mean);
    EXPECT_GT(m.mean, base.mean - 0.05 * shift);
    EXPECT_GT(m.variance, 1.5 * base.variance);
  }
}

// A position-sensitive detector window: each ray's place in the window is
// taken out of its angle, so a window of W = 20 (5.7 degrees of 2theta
// seen from the sample) widens the line only by the defocusing of its outer
// parts, far less than the uniform spread of the window itself would.
TEST(ZelmarKeyEffects, DetectorArrayWindowIsReferredToItsAngle) {
  const Moments base = trace({});
  const Moments wide = trace({{"DetArrayW", "20"}});
  const double window = 20 / kRadius * kDeg;
  const double uncorrected = window * window / 12;
  EXPECT_GT(wide.variance, 1.1 * base.variance);
  EXPECT_LT(wide.variance - base.variance, 0.01 * uncorrected);
  EXPECT_NEAR(wide.mean, base.mean, 0.002);
}

}  // namespace
