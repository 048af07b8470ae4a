// The beam-path ray tracer of zelmar: random rays from the tube focus through
// the primary optics to a point of the sample and on through the secondary
// optics to the detector. Every ray that an aperture, a collimator or the
// sample's edge stops is rejected; the diffraction angles of the others are
// counted in a histogram of the deviation from the nominal angle, which is
// then turned into the fit data of the profile-component fit.
//
// All lengths are in the unit of the goniometer radius R. The equatorial plane
// has the coordinates x (along the sample surface, from the focus side to the
// detector side) and y (normal to the surface) with the goniometer axis at the
// origin; a runs along the axis. Radii of apertures are distances from the
// sample centre along the beam.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

namespace zelmar {

// Beam-path arrangements, in the order of their names.
enum Arrangement : int { REFLEXION = 0, TRANSMISSION = 1, CAPILLARY = 2 };

// The diffractometer, read once at the start of a run.
struct BeamPath {
  int arrangement = REFLEXION;
  double R = 0;  // focus and detector distance from the sample centre
  double focusH = 0, focusW = 0, focusS = 0;
  double focusCos = 1, focusSin = 0;  // tilt of the focus
  bool airScat = false;               // knife edge above the sample (reflection only)
  double airScatH = 0;
  double detArrayW = 0;  // window of a position-sensitive detector
  bool vslit = false;    // axial (vertical) slit
  double vslitH = 0, vslitR = 0;
  bool roundSlit = false;
  double roundD = 0, roundR = 0;
  double hslitR = 0;   // radius of the divergence slit (flat samples)
  bool tslit = false;  // second axial slit
  double tslitH = 0, tslitR = 0;
  bool pcoll = false;  // primary Soller collimator
  double pColl = 0;
  float pCollTan = 0;
  bool scoll = false;  // secondary Soller collimator
  double sColl = 0;
  float sCollTan = 0;
  double samplD = 0, samplH = 0, samplW = 0;  // largest double: unlimited
  double eps2 = 0;                            // the surface lies at the height -eps2 R
  double wavy = 0;                            // amplitude of the surface waviness
  double monR = 0, axialH = 0;  // aperture that limits the axial height behind the sample
};

// The values of one angle.
struct AngleSetup {
  double theta = 0;                     // radians, half the diffraction angle
  double domega = 0;                    // omega offset, radians
  double hslitW = 0;                    // divergence-slit width
  double detW = 0;                      // receiving-slit width
  bool sslitW = false, sslitH = false;  // anti-scatter slit present, its height given
  double sslitWv = 0, sslitHv = 0, sslitR = 0;
  double deps = 0;  // bin width, radians of theta
  float kern = 0;   // core width, radians of theta
};

// The tube-tail table of the scan reader.
struct TailTable {
  float fraction = 0;        // share of the intensity in the tails
  const float* T = nullptr;  // cumulative table, m + 1 entries
  int m = 0;
  float max = 0;   // table index of the line's centroid
  float step = 0;  // table step in degrees 2theta
};

// fmod(x, y) for 0 <= x < 2^26 y, to the bit, without the library's
// reduction loop: y = yh + yl with yh of 26 significant bits, so that n yh and
// n yl are exact for the small integer quotient n, x - n yh is exact, and the
// remainder, which is a double, comes out of the last subtraction unrounded.
// A quotient that rounded up or down is put right by one y, exactly as well.
template <uint64_t Y>
inline double modpos(double x) {
  constexpr double y = std::bit_cast<double>(Y);
  constexpr double yh = std::bit_cast<double>(Y & ~((uint64_t{1} << 27) - 1));
  constexpr double yl = y - yh;
  const double n = std::floor(x / y);
  double r = (x - n * yh) - n * yl;
  if (r < 0)
    r += y;
  else if (r >= y)
    r -= y;
  return r;
}

// The random generator: three doubles, all 0 at the start of a run, never
// seeded, continued across rays, angles and traces. Each draw is
//   a = fmod(a 69.8317489424761 + 0.3628941674037, 3.2874689264783)
//   b = fmod(b 74.6439455295736 + 0.8395274562935, 94.84906782965)
//   z = fmod((b + 31.485639672354) z + a, 1)
// and returns z, in [0, 1).
struct Generator {
  double a = 0, b = 0, z = 0;
  double operator()() {
    a = modpos<std::bit_cast<uint64_t>(3.2874689264783)>(a * 69.8317489424761 + 0.3628941674037);
    b = modpos<std::bit_cast<uint64_t>(94.84906782965)>(b * 74.6439455295736 + 0.8395274562935);
    const double t = (b + 31.485639672354) * z + a;
    z = t - std::floor(t);
    return z;
  }
};

// The generator with its period marks: the value saved at the last
// power-of-two count of accepted rays and that count, for the whole run.
struct RunState {
  Generator gen;
  double saved = 0;
  int64_t mark = 1;
};

// What is fixed for one angle: the angles of the incident and exit beams and
// the height of the surface.
struct AngleGeometry {
  double c1 = 0, s1 = 0;      // cos and sin of the incidence angle
  double c2 = 0, s2 = 0;      // of the exit angle (negated in transmission)
  double sinT = 0, cosT = 0;  // of theta' (theta, or pi/2 - theta in transmission)
  double h0 = 0;              // height of the displaced surface
  double sigma = -1;          // side of the tube tails
};
AngleGeometry geometry(const BeamPath& b, const AngleSetup& a);

// One ray with its draws from z in the fixed order. True when it reaches the
// detector, with its angle in radians of theta in *thetar; a ray stopped at
// the sample's edge sets *overshoot. A ray whose angle is not a finite number
// (a degenerate path through an aperture) is rejected.
template <class Draw>
bool traceray(const BeamPath& b, const AngleSetup& a, const AngleGeometry& ag, const TailTable& t,
              Draw& z, double* thetar, bool* overshoot) {
  constexpr double kPi = 3.141592653589793;
  const double R = b.R;
  // Focus: axial, then equatorial position (the tails or the focus width).
  const double fa = (z() - 0.5) * b.focusH + b.focusS;
  double fe;
  // (A draw of exactly 0 without a table takes the focus width too.)
  if (z() <= t.fraction && t.m > 0) {
    const float zz = static_cast<float>(z());
    int lo = 0, hi = t.m;
    while (hi - lo > 1) {
      int mid = (lo + hi) / 2;
      if (zz <= t.T[mid])
        hi = mid;
      else
        lo = mid;
    }
    const float bracket = (zz - t.T[lo]) / (t.T[hi] - t.T[lo]) + static_cast<float>(lo) - t.max;
    fe = bracket * ag.sigma * R * t.step * kPi / 180;
  } else {
    fe = (z() - 0.5) * b.focusW;
  }
  const double se = fe * b.focusCos + fa * b.focusSin;
  const double sa = fa * b.focusCos - fe * b.focusSin;
  // Axial position at the vertical-slit radius.
  double av;
  if (b.pcoll) {
    const double z1 = z();
    const double z2 = z();
    const double slope = b.pColl * (z1 - z2) + b.pCollTan;
    av = slope * (R - b.vslitR) + sa;
    if (b.vslit && std::fabs(av) > b.vslitH / 2) return false;
  } else {
    av = (z() - 0.5) * b.vslitH;
  }
  double uh = 0;
  if (b.arrangement != CAPILLARY) uh = (z() - 0.5) * a.hslitW;
  const double ud = (z() - 0.5) * a.detW;
  double h = ag.h0;
  if (b.wavy != 0) h += std::cos(z() * kPi) * b.wavy / 2;
  double slopes = 0, ad = 0;
  if (b.scoll) {
    const double z1 = z();
    const double z2 = z();
    slopes = b.sColl * (z1 - z2) + b.sCollTan;
  } else {
    ad = (z() - 0.5) * b.axialH;
  }
  double ua = 0;
  if (b.detArrayW > 0) ua = (z() - 0.5) * b.detArrayW;
  if (b.tslit &&
      std::fabs(((R - b.tslitR) * av + sa * (b.tslitR - b.vslitR)) / (R - b.vslitR)) > b.tslitH / 2)
    return false;

  // Focus point and hit point on the sample.
  const double xS = -R * ag.c1 + se * ag.s1;
  const double yS = R * ag.s1 + se * ag.c1;
  double xh, ah;
  if (b.arrangement == CAPILLARY) {
    xh = 0;
    ah = (sa * b.vslitR - av * R) / (b.vslitR - R);
  } else {
    const double xT = -b.hslitR * ag.c1 + uh * ag.s1;
    const double yT = b.hslitR * ag.s1 + uh * ag.c1;
    xh = ((yT - h) * xS - xT * (yS - h)) / (yT - yS);
    const double yV = ((b.hslitR - b.vslitR) * yS + yT * (b.vslitR - R)) / (b.hslitR - R);
    ah = ((yV - h) * sa - av * (yS - h)) / (yV - yS);
    if (b.roundSlit) {
      const double u = (se * (b.roundR - b.hslitR) + uh * (R - b.roundR)) / (R - b.hslitR);
      const double v = ((R - b.roundR) * av + (b.roundR - b.vslitR) * sa) / (R - b.vslitR);
      if (std::sqrt(u * u + v * v) > b.roundD / 2) return false;
    }
  }
  if (std::sqrt(xh * xh + ah * ah) > b.samplD / 2 || std::fabs(xh) > b.samplW / 2 ||
      std::fabs(ah) > b.samplH / 2) {
    *overshoot = true;
    return false;
  }

  // Detector point and the secondary optics.
  const double d = ud + ua;
  const double xD = R * ag.c2 - d * ag.s2;
  const double yD = R * ag.s2 + d * ag.c2;
  const double L = xh * ag.c2 + h * ag.s2;
  if (b.airScat) {
    const double y0 = xh <= 0 ? xh * yD / (xh - xD) : yS * xh / (xh - xS);
    if (y0 > b.airScatH) return false;
  }
  if (b.scoll) {
    ad = (b.monR - L) * slopes + ah;
    if (std::fabs(ad) > b.axialH / 2) return false;
  }
  if (a.sslitW) {
    if (std::fabs(((h * ag.c2 - ag.s2 * xh) * (R - a.sslitR) + (a.sslitR - L) * ud) / (R - L)) >
        a.sslitWv / 2)
      return false;
    if (a.sslitH &&
        std::fabs(((a.sslitR - L) * ah + (b.monR - a.sslitR) * ad) / (b.monR - L)) > a.sslitHv / 2)
      return false;
  }

  // The angle between the incident and the exit vector, both from the
  // displaced surface without the waviness.
  const double px = xh - xS, py = ag.h0 - yS, pa = ah - sa;
  const double tx = xD - xh, ty = yD - ag.h0;
  const double ta = ((R - L) * ad + (b.monR - R) * ah) / (b.monR - L) - ah;
  double c = (px * tx + py * ty + pa * ta) /
             std::sqrt((px * px + py * py + pa * pa) * (tx * tx + ty * ty + ta * ta));
  // Rounding may carry a nearly straight ray a hair past 1.
  if (c > 1) c = 1;
  if (c < -1) c = -1;
  double tr;
  if (b.arrangement == TRANSMISSION) {
    tr = (std::acos(c) + ua / R) / 2 + ag.sinT * ag.h0 / R;
  } else {
    tr = (std::acos(c) - ua / R) / 2;
    if (b.arrangement == REFLEXION) tr += ag.cosT * ag.h0 / R;
  }
  if (!std::isfinite(tr)) return false;
  *thetar = tr;
  return true;
}

// Counts per bin k = kmin .. kmax of the deviation from the nominal angle.
struct Histogram {
  int64_t kmin = 0, kmax = -1;  // empty while kmax < kmin
  std::vector<int32_t> count;
  int32_t at(int64_t k) const { return k < kmin || k > kmax ? 0 : count[k - kmin]; }
  // Adds one ray to bin k (the range grows to hold it) and returns its count.
  int32_t add(int64_t k);
};

// One trace of an angle.
struct Trace {
  int64_t traced = 0;    // rays traced, the last accepted one not counted
  int64_t accepted = 0;  // rays that reached the detector
  bool overshoot = false;
  Histogram hist;
};

// The most bins a trace's histogram may span.
constexpr int64_t kMostBins = int64_t{1} << 25;

// Traces rays until one bin holds more than 2/epsg^2; message -19 (status 19)
// when none of the first 100 rays is accepted, twotheta in degrees being its
// argument; message -122 when the rays spread over more than kMostBins bins.
void trace(const BeamPath& b, const AngleSetup& a, const TailTable& t, float epsg, double twotheta,
           RunState& run, Trace& out);

// Writes the histogram to path, one line per bin from kmax down to kmin: the
// negated deviation of 2theta in degrees and the count. A file that cannot be
// written receives nothing.
void rawdump(const char* path, const Histogram& h, double deps);

// The fit data: the histogram padded by a tenth of its range on each side,
// sampled densely in the core and ever more thinly outside; positions in
// radians of theta, values scaled to an area of pi, and weights that stand
// for the bins each point represents.
struct FitData {
  std::vector<float> xi, yi, wi;
  double ymax = 0;
  double sumw2 = 0;
  int m() const { return static_cast<int>(xi.size()); }
};
void fitdata(const Trace& tr, double deps, float kern, FitData& out);

}  // namespace zelmar
