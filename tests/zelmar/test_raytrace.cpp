// The beam-path ray tracer and the component fit in the test process: the
// generator to the bit, the central ray, the draws each set-up consumes, slit
// edges, the period marks, and fits of known line shapes.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

#include "compfit.hpp"
#include "raytrace.hpp"

namespace {

using namespace zelmar;

constexpr double kPi = 3.141592653589793;

// The generator's arithmetic is fmod; the fast remainder must give the same
// bits along a long run and at the awkward points (multiples of the modulus
// and their neighbours).
TEST(Generator, FollowsTheFmodDefinitionToTheBit) {
  Generator g;
  EXPECT_EQ(g(), 0.3628941674037);
  double a = g.a, b = g.b, z = g.z;
  for (int i = 0; i < 3000000; ++i) {
    a = std::fmod(a * 69.8317489424761 + 0.3628941674037, 3.2874689264783);
    b = std::fmod(b * 74.6439455295736 + 0.8395274562935, 94.84906782965);
    z = std::fmod((b + 31.485639672354) * z + a, 1.0);
    ASSERT_EQ(g(), z) << i;
    ASSERT_EQ(g.a, a) << i;
    ASSERT_EQ(g.b, b) << i;
  }
  constexpr uint64_t Y = std::bit_cast<uint64_t>(94.84906782965);
  const double y = 94.84906782965;
  for (int n = 0; n < 80; ++n) {
    const double x = n * y;
    for (double v : {x, std::nextafter(x, 0.0), std::nextafter(x, 1e9), x + 0.5 * y}) {
      if (v < 0) continue;
      ASSERT_EQ(modpos<Y>(v), std::fmod(v, y)) << n << " " << v;
    }
  }
}

// A diffractometer with every optical element, wide enough to pass the
// central ray.
BeamPath fullpath(int arrangement) {
  BeamPath b;
  b.arrangement = arrangement;
  b.R = 200;
  b.focusH = 10;
  b.focusW = 0.1;
  b.vslit = true;
  b.vslitH = 8;
  b.vslitR = 120;
  b.hslitR = 100;
  b.tslit = true;
  b.tslitH = 9;
  b.tslitR = 150;
  b.pcoll = true;
  b.pColl = 0.04;
  b.scoll = true;
  b.sColl = 0.04;
  b.samplD = b.samplH = b.samplW = DBL_MAX;
  b.monR = 230;
  b.axialH = 15;
  return b;
}

AngleSetup angleat(double twotheta) {
  AngleSetup a;
  a.theta = twotheta * kPi / 360;
  a.hslitW = 1;
  a.detW = 0.2;
  a.sslitW = a.sslitH = true;
  a.sslitWv = 2;
  a.sslitHv = 10;
  a.sslitR = 170;
  a.deps = 1e-5;
  a.kern = 1e-3f;
  return a;
}

struct Constant {
  double v;
  int draws = 0;
  double operator()() {
    ++draws;
    return v;
  }
};

// All offsets zero: the ray from the focus centre through the slit centres
// to the detector centre has the nominal angle in every arrangement.
TEST(Ray, CentralRayHasTheNominalAngle) {
  for (int arr : {REFLEXION, TRANSMISSION, CAPILLARY}) {
    for (double tt : {15.0, 60.0, 90.0, 150.0}) {
      SCOPED_TRACE(testing::Message() << "arrangement " << arr << " 2theta " << tt);
      BeamPath b = fullpath(arr);
      AngleSetup a = angleat(tt);
      TailTable t;
      Constant half{0.5};
      double tr = -1;
      bool over = false;
      ASSERT_TRUE(traceray(b, a, geometry(b, a), t, half, &tr, &over));
      EXPECT_FALSE(over);
      EXPECT_NEAR(tr, a.theta, 1e-13);
      EXPECT_EQ(std::floor((tr - a.theta) / a.deps + 0.5), 0.0);
    }
  }
}

// The draws of one ray follow the set-up: the tail decision and one focus
// position always, no divergence-slit draw in the capillary arrangement, two
// draws per Soller collimator, none for an absent waviness or detector array.
TEST(Ray, DrawsPerRayFollowTheSetUp) {
  struct Case {
    const char* what;
    int arrangement;
    bool pcoll, scoll;
    double wavy, array;
    int draws;
  };
  const Case cases[] = {
      {"plain reflection", REFLEXION, false, false, 0, 0, 7},
      {"capillary", CAPILLARY, false, false, 0, 0, 6},
      {"transmission", TRANSMISSION, false, false, 0, 0, 7},
      {"primary Soller", REFLEXION, true, false, 0, 0, 8},
      {"both Sollers", REFLEXION, true, true, 0, 0, 9},
      {"waviness", REFLEXION, false, false, 0.01, 0, 8},
      {"detector array", REFLEXION, false, false, 0, 2, 8},
      {"everything", REFLEXION, true, true, 0.01, 2, 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BeamPath b = fullpath(c.arrangement);
    b.tslit = false;
    b.pcoll = c.pcoll;
    b.scoll = c.scoll;
    b.wavy = c.wavy;
    b.detArrayW = c.array;
    AngleSetup a = angleat(40);
    TailTable t;
    Constant half{0.5};
    double tr = 0;
    bool over = false;
    ASSERT_TRUE(traceray(b, a, geometry(b, a), t, half, &tr, &over));
    EXPECT_EQ(half.draws, c.draws);
  }
}

// A ray exactly at the edge of an opening passes; a hair beyond, it is
// stopped, at the sample's edge with the overshoot flag.
TEST(Ray, ExactSlitEdgePasses) {
  for (bool beyond : {false, true}) {
    SCOPED_TRACE(beyond ? "beyond the edge" : "at the edge");
    // All draws (nearly) 0: the focus runs from its lower end, through the
    // axial slit whose half opening it equals.
    BeamPath b = fullpath(REFLEXION);
    b.tslit = false;
    b.focusH = beyond ? std::nextafter(8.0, 9.0) : 8.0;
    AngleSetup a = angleat(40);
    TailTable t;
    Constant zero{1e-300};
    double tr = 0;
    bool over = false;
    EXPECT_EQ(traceray(b, a, geometry(b, a), t, zero, &tr, &over), !beyond);

    // Half the sample width equal to the hit point's distance from the
    // centre, or a little less; no optics behind the sample.
    BeamPath probe;
    probe.R = 200;
    probe.focusH = 10;
    probe.focusW = 0.1;
    probe.vslit = true;
    probe.vslitH = 8;
    probe.hslitR = 100;
    probe.samplD = probe.samplH = DBL_MAX;
    probe.monR = 200;
    probe.axialH = 1e6;
    AngleSetup plain = angleat(40);
    plain.sslitW = plain.sslitH = false;
    double lo = 0, hi = 1000;
    for (int k = 0; k < 200; ++k) {
      probe.samplW = (lo + hi) / 2;
      Constant z{1e-300};
      bool o = false;
      if (traceray(probe, plain, geometry(probe, plain), t, z, &tr, &o))
        hi = probe.samplW;
      else
        lo = probe.samplW;
    }
    ASSERT_GT(lo, 0.1);
    probe.samplW = beyond ? lo : hi;
    Constant z{1e-300};
    bool o = false;
    EXPECT_EQ(traceray(probe, plain, geometry(probe, plain), t, z, &tr, &o), !beyond);
    EXPECT_EQ(o, beyond);
  }
}

// The period marks: the generator value is saved when the accepted count
// reaches twice the last mark, 2, 4, 8, ..., and the marks carry over into
// the next trace.
TEST(Trace, PeriodMarksDoubleAndSurviveTheAngle) {
  BeamPath b = fullpath(REFLEXION);
  AngleSetup a = angleat(40);
  TailTable t;
  RunState run;
  Trace tr;
  trace(b, a, t, 0.05f, 40, run, tr);  // 2/0.0025 = 800 in the fullest bin
  ASSERT_GT(tr.accepted, 800);
  int64_t want = 1;
  while (2 * want <= tr.accepted - 1) want *= 2;
  EXPECT_EQ(run.mark, want);
  const int64_t first = run.mark;
  trace(b, a, t, 0.05f, 40, run, tr);
  ASSERT_LT(tr.accepted, 2 * first);
  EXPECT_EQ(run.mark, first);
  // The fullest bin holds one ray more than 2/EPSG^2, the ones that reach
  // the detector are all counted.
  int64_t sum = 0;
  int32_t top = 0;
  for (int64_t k = tr.hist.kmin; k <= tr.hist.kmax; ++k) {
    sum += tr.hist.at(k);
    top = std::max(top, tr.hist.at(k));
  }
  EXPECT_EQ(sum, tr.accepted);
  EXPECT_EQ(top, static_cast<int32_t>(std::floor(2 / static_cast<double>(0.05f * 0.05f))) + 1);
  EXPECT_GT(tr.traced, tr.accepted);
}

// Fit data sampled from a known sum of squared Lorentzians (area pi), as the
// histogram's bins would give it.
FitData sampled(const std::vector<float>& g, const std::vector<float>& e,
                const std::vector<float>& q, double deps, float kern, double scale) {
  FitData d;
  for (int64_t k = -400; k <= 400;) {
    const double x = deps * static_cast<double>(k);
    double y = 0;
    for (size_t i = 0; i < g.size(); ++i) {
      const double u = (x - e[i]) * (x - e[i]) + q[i] * q[i];
      y += scale * g[i] * 2 * q[i] * q[i] * q[i] / (u * u);
    }
    const double w = std::sqrt(std::floor(std::fabs(x) / kern) + 1);
    d.xi.push_back(static_cast<float>(x));
    d.yi.push_back(static_cast<float>(y));
    d.wi.push_back(static_cast<float>(w));
    d.ymax = std::max(d.ymax, y);
    d.sumw2 += w * w;
    k += static_cast<int64_t>(std::floor(std::fabs(x) / kern)) + 1;
  }
  return d;
}

// A line shape of two components is fitted to the goal with weights that sum
// to 1; the same shape with only 90 % of the area cannot meet the weight
// rule and asks for a finer trace, keeping its best model.
TEST(Fit, KnownShapeConvergesAndAShortAreaAsksForFinerBins) {
  const double deps = 4e-5;
  const float kern = 4e-4f, epsg = 0.007f;
  const std::vector<float> g{0.7f, 0.3f}, e{0.0f, 0.0006f}, q{0.0004f, 0.0009f};
  Components c;
  int rounds = 60;
  ASSERT_EQ(fitcomponents(sampled(g, e, q, deps, kern, 1.0), deps, kern, epsg, &rounds, c),
            FitEnd::converged);
  EXPECT_GT(rounds, 50);
  double sum = 0;
  for (float v : c.g) sum += v;
  EXPECT_NEAR(sum, 1.0, epsg);
  for (int k = 0; k < c.n(); ++k) {
    EXPECT_GT(c.q[k], 0);
    EXPECT_GE(c.g[k], 0);
  }

  rounds = 60;
  ASSERT_EQ(fitcomponents(sampled(g, e, q, deps, kern, 0.9), deps, kern, epsg, &rounds, c),
            FitEnd::finer);
  ASSERT_GE(c.n(), 1);
  sum = 0;
  for (float v : c.g) sum += v;
  EXPECT_NEAR(sum, 0.9, 0.05);
}

}  // namespace
