// The two-record path against independent computations: the refitted
// components of each beam-path arrangement follow the blended line shape
// integrated here by other means, keep the total weight of the arrangement,
// and a single-component profile keeps its full width.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "gerneu_testenv.hpp"

namespace model {

using gerfix::Component;

namespace {

constexpr double kPi = 3.141592653589793;

const std::vector<Component> kNear{{0.7, 0, 0.001}, {0.3, 0.0015, 0.0018}};
const std::vector<Component> kFar{{0.6, 0.0002, 0.0012}, {0.4, -0.001, 0.002}};

std::vector<Component> normalised(std::vector<Component> c) {
  double sum = 0;
  for (const Component& x : c) sum += x.g;
  for (Component& x : c) x.g /= sum;
  return c;
}

// Composite Simpson rule with an even number of panels.
double simpson(const std::function<double(double)>& f, double a, double b, int panels) {
  double h = (b - a) / panels, sum = f(a) + f(b);
  for (int k = 1; k < panels; ++k) sum += (k % 2 ? 4 : 2) * f(a + k * h);
  return sum * h / 3;
}

// Antiderivative of one component: pi g over its whole line.
double primitive(const std::vector<Component>& comps, double x) {
  double sum = 0;
  for (const Component& c : comps) {
    double u = (x - c.e) / c.q;
    sum += c.g * (std::atan(u) + u / (1 + u * u));
  }
  return sum;
}

struct Geometry {
  double s, c;    // sin and cos theta
  double lambda;  // reflexion
  double absorb;  // reflexion
  double tdivd, tdivr;
};

// Line shape of one record at t relative to its centroid.
double recordshape(int arrangement, const Geometry& geo, const std::vector<Component>& comps,
                   double centroid, double t) {
  double x = centroid + t;
  if (arrangement == 1) {
    // v = exp(-y): the penetration depth as the variable.
    double ymax = -std::log(geo.absorb);
    return simpson(
        [&](double y) { return gerfix::shape(comps, x - geo.lambda * y) * std::exp(-y); }, 0, ymax,
        4000);
  }
  if (arrangement == 2) {
    double a = geo.s * geo.tdivr / 2;
    double atten = std::exp(-geo.tdivd / geo.c);
    return (primitive(comps, x + a) - primitive(comps, x - a)) * atten /
           (geo.tdivr * geo.s * geo.c);
  }
  // Capillary: v = sin phi across the cross-section, w = cos phi tau along it.
  auto path = [&](double v, double w) {
    double a1 = v * geo.c + w * geo.s, a2 = v * geo.c - w * geo.s;
    return std::exp(-0.5 * geo.tdivd *
                    (2 * v * geo.s + std::sqrt(std::fmax(0, 1 - a1 * a1)) +
                     std::sqrt(std::fmax(0, 1 - a2 * a2))));
  };
  double outer = simpson(
      [&](double phi) {
        double v = std::sin(phi), cp = std::cos(phi);
        double in = simpson([&](double tau) { return path(v, cp * tau); }, 0, 1, 32) * cp;
        return in * gerfix::shape(comps, x - 0.5 * v * geo.tdivr * geo.c) * cp;
      },
      -kPi / 2, kPi / 2, 2000);
  return 2 / kPi * outer;
}

struct Blend {
  const ProfileRecord* nearr;
  const ProfileRecord* farr;
  double u;
};

// The pair of records around sin theta s and the blend fraction, as the
// loader's records give them.
Blend blendat(double s) {
  double c = std::sqrt(1 - s * s), k = (2 * c * c - 1) / (2 * s * c);
  const ProfileRecord* a = gerrecords();
  const ProfileRecord* b = a->next;
  while (b->next != nullptr && !(b->key <= k)) {
    a = b;
    b = b->next;
  }
  Blend bl{};
  if (std::fabs(a->key - k) < std::fabs(b->key - k)) {
    bl.nearr = a;
    bl.farr = b;
  } else {
    bl.nearr = b;
    bl.farr = a;
  }
  bl.u = (k - bl.nearr->key) / (bl.farr->key - bl.nearr->key);
  return bl;
}

class GerShape : public InstrumentFunction {
 protected:
  // Loads the two records with the header line and evaluates ger at theta.
  void run(const std::string& header, double theta) {
    set("EPSG==0.003");
    gerfix::write_ger(path("a.ger"), header, {{20, kNear, "GSUM=1.5"}, {30, kFar, "GSUM=2.5"}});
    load("a");
    sinus = sintheta(theta);
    EXPECT_EQ(eval(sinus), "");
    bl = blendat(sinus);
    geo.s = sinus;
    geo.c = std::sqrt(1 - sinus * sinus);
    gs = bl.u * 2.5 + (1 - bl.u) * 1.5;
    shift = bl.u * bl.farr->centroid + (1 - bl.u) * bl.nearr->centroid;
  }
  const std::vector<Component>& comps(const ProfileRecord* r) {
    static std::vector<Component> nearn = normalised(kNear), farn = normalised(kFar);
    return r->key == recordkey(20) ? nearn : farn;
  }
  // The blended line shape at x (final coordinates), times the GSUM blend.
  double expected(int arrangement, double x) {
    double t = x - shift;
    double vn = recordshape(arrangement, geo, comps(bl.nearr), bl.nearr->centroid, t);
    double vf = recordshape(arrangement, geo, comps(bl.farr), bl.farr->centroid, t);
    return gs * ((1 - bl.u) * vn + bl.u * vf);
  }
  // Largest deviation of the components from the line shape over a window
  // around the line, relative to the line's height.
  double deviation(int arrangement, double lo, double hi) {
    double worst = 0, top = 0;
    for (int k = 0; k <= 40; ++k) {
      double x = shift + lo + (hi - lo) * k / 40;
      double want = expected(arrangement, x);
      top = std::fmax(top, want);
      worst = std::fmax(worst, std::fabs(componentshape(x) - want));
    }
    return worst / top;
  }

  double sinus = 0, gs = 0, shift = 0;
  Blend bl{};
  Geometry geo{};
};

}  // namespace

TEST_F(GerShape, ReflectingSampleFollowsThePenetrationProfile) {
  set("D==2");
  set("R==200");
  set("T==0.49");
  run("ZELMARRY=REFLEXION", 24);
  ASSERT_GT(n, 0);
  double bigs = 2 / geo.s;
  geo.lambda = 2 * geo.c / (200 * bigs);
  geo.absorb = std::exp(std::fmax(-0.49 / 2 * bigs, -15.942385152878742));
  EXPECT_LT(deviation(1, -0.006, 0.012), 0.012);
  // The total weight is what the absorbing sample lets through.
  EXPECT_NEAR(componentweight(), (1 - geo.absorb) * gs, 1e-5 * gs);
}

TEST_F(GerShape, TransmittingSampleFollowsTheBoxProfile) {
  set("D==2");
  set("R==80");
  set("T==0.6");
  run("ZELMARRY=TRANSMISSION", 24);
  ASSERT_GT(n, 0);
  geo.tdivd = 0.3;
  geo.tdivr = 0.6 / 80;
  EXPECT_LT(deviation(2, -0.008, 0.008), 0.012);
  double atten = std::exp(-geo.tdivd / geo.c) / geo.c;
  EXPECT_NEAR(componentweight(), atten * gs, 1e-5 * gs);
}

TEST_F(GerShape, CapillaryFollowsTheCrossSectionProfileAndKeepsItsIntegral) {
  set("D==2");
  set("R==225");
  set("T==1");
  run("ZELMARRY=CAPILLARY", 24);
  ASSERT_GT(n, 0);
  geo.tdivd = 0.5;
  geo.tdivr = 1.0 / 225;
  EXPECT_LT(deviation(3, -0.008, 0.008), 0.012);
  // The refit keeps the integral of the line: pi times the weight sum equals
  // the integral of the blended shape, 2 gs times the integral of the
  // absorption over the cross-section.
  double through = simpson(
      [&](double phi) {
        double v = std::sin(phi), cp = std::cos(phi);
        return simpson(
                   [&](double tau) {
                     double w = cp * tau;
                     double a1 = v * geo.c + w * geo.s, a2 = v * geo.c - w * geo.s;
                     return std::exp(-0.5 * geo.tdivd *
                                     (2 * v * geo.s + std::sqrt(std::fmax(0, 1 - a1 * a1)) +
                                      std::sqrt(std::fmax(0, 1 - a2 * a2))));
                   },
                   0, 1, 64) *
               cp * cp;
      },
      -kPi / 2, kPi / 2, 2000);
  double integral = gs * 2 * through;
  EXPECT_NEAR(kPi * componentweight(), integral, 0.01 * integral);
}

TEST_F(GerShape, SingleComponentKeepsItsFullWidth) {
  // No sample keys: no absorption and no spread, the record's own shape.
  const double width = 0.002;
  gerfix::write_ger(path("a.ger"), "ZELMARRY=TRANSMISSION",
                    {{20, {{1, 0, width}}}, {30, {{1, 0, width}}}});
  load("a");
  double s = sintheta(25), c = std::sqrt(1 - s * s);
  EXPECT_EQ(eval(s), "");
  ASSERT_GT(n, 0);
  EXPECT_NEAR(componentweight(), 1 / c, 1e-5);
  double top = componentshape(0);
  auto half = [&](double dir) {
    double a = 0, b = dir * 5 * width;
    for (int k = 0; k < 100; ++k) {
      double m = (a + b) / 2;
      (componentshape(m) > top / 2 ? a : b) = m;
    }
    return a;
  };
  double fwhm = half(1) - half(-1);
  EXPECT_NEAR(fwhm, 2 * width * std::sqrt(std::sqrt(2.0) - 1), 0.01 * fwhm);
  EXPECT_NEAR(top, 2 / (width * c), 0.01 * top);
}

// The blend moves smoothly from one record to the other: at a record's own
// angle the line is that record's.
TEST_F(GerShape, AtARecordsOwnAngleItsShapeIsKept) {
  gerfix::write_ger(path("a.ger"), "ZELMARRY=TRANSMISSION", {{20, kNear}, {30, kFar}});
  load("a");
  double s = sintheta(30), c = std::sqrt(1 - s * s);
  EXPECT_EQ(eval(s), "");
  std::vector<Component> farn = normalised(kFar);
  const ProfileRecord* r = gerrecords()->next;
  double worst = 0, top = 0;
  for (int k = -40; k <= 40; ++k) {
    double x = r->centroid + k * 0.0002;
    double want = gerfix::shape(farn, x) / c;
    top = std::fmax(top, want);
    worst = std::fmax(worst, std::fabs(componentshape(x) - want));
  }
  EXPECT_LT(worst / top, 0.03);
}

// A reflecting sample tilted by DeltaOmega: the tilt at theta is interpolated
// linearly in theta between the two records' tilts, and the absorption it
// gives, A = exp(-(T/D) (1/sin(theta - Omega) + 1/sin(theta + Omega))), fixes
// the total weight 1 - A. Angles nearer to either record check both orders.
TEST_F(InstrumentFunction, ReflectingSampleTiltIsInterpolatedInTheta) {
  set("T==1");
  set("D==2");
  const double om20 = 6, om30 = -3;  // degrees
  gerfix::write_ger(
      path("a.ger"), "ZELMARRY=REFLEXION",
      {{20, {{1, 0, 0.001}}, "DeltaOmega=6"}, {30, {{1, 0, 0.0012}}, "DeltaOmega=-3"}});
  load("a");
  for (double theta : {24.0, 27.0}) {
    double omega = ((theta - 30) * om20 + (20 - theta) * om30) / (20 - 30);
    double th = theta * kPi / 180, om = omega * kPi / 180;
    double bigs = 1 / std::sin(th - om) + 1 / std::sin(th + om);
    double absorb = std::exp(std::fmax(-0.5 * bigs, -15.942385152878742));
    EXPECT_EQ(eval(sintheta(theta)), "") << theta;
    ASSERT_GT(n, 0) << theta;
    EXPECT_NEAR(componentweight(), 1 - absorb, 1e-5) << theta;
  }
}

}  // namespace model
