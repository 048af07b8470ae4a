// zelmar: builds an instrument-profile file from a ray trace of the
// diffractometer's beam path. It reads the beam path (focus, slits, Soller
// collimators, sample, detector; reflection, transmission or capillary
// arrangement), then for each diffraction angle zweiTheta[1], zweiTheta[2], ...
// traces random rays, fits a sum of squared-Lorentzian components to the
// histogram of their deviations (halving the bin width and tracing again while
// the fit cannot be improved) and writes one block of components per angle
// into the file named by LINTOR (extension "ger"). Single-threaded.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "compfit.hpp"
#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/frame.hpp"
#include "core/keycheck.hpp"
#include "core/message.hpp"
#include "core/outfile.hpp"
#include "core/runfiles.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"
#include "raytrace.hpp"
#include "scan/apx63.hpp"

namespace zelmar {

using namespace core;
using namespace scan;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kUnlimited = DBL_MAX;
// Halvings of the bin width after which an angle whose fit still misses the
// accuracy goal is written with the best model found.
constexpr int kMaxHalvings = 10;
// The most fit points of one trace: the component search costs their square
// per component tried. Bins too fine for them are refused at the first trace
// (a DEPS far below the core width, or a line far wider than its core) and
// end the halvings after it.
constexpr int kMostFitPoints = 3000;
// The most components the search of one angle tries, over all its halvings
// (a well-traced line needs a few more than it keeps).
constexpr int kMostRounds = 60;

// Keys of the beam path written into the header of the profile file.
constexpr const char* kHeaderKeys[] = {
    "TITEL",  "R",      "FocusH", "FocusW",        "FocusS",     "FocusA",     "TSlitH", "TSlitR",
    "VSlitH", "VSlitR", "HSlitW", "HSlitR",        "RoundSlitD", "RoundSlitR", "PColl",  "PCollA",
    "SamplH", "SamplW", "SamplD", "SamplWavyness", "EPS2",       "DeltaOmega", "SSlitR", "SSlitW",
    "SSlitH", "SColl",  "SCollA", "DetH",          "DetW",       "DetArrayW",  "MonR",   "MonH"};

constexpr const char* kArrangementNames[] = {"REFLEXION", "TRANSMISSION", "CAPILLARY"};

// The run's settings beyond the beam path.
struct Settings {
  BeamPath b;
  bool gsum = false;
  float epsg = 0.007f;
  bool hslitPerAngle = false, detwPerAngle = false;
  double hslitW = 0, detW = 0;  // when not read per angle
  char lintor[8001] = "";       // the profile file
};

// A key that is defined (any text).
bool has(const char* name) {
  return dataerr_try([&] { GetStrVar(name, INT32_MAX, nullptr); });
}

// An optional numeric key: true with its value, false (v untouched) when it
// is missing. A key that cannot be evaluated or is not finite ends the run
// with a message naming it.
bool optional(const char* name, double& v) { return optnumber(name, &v); }

// A numeric key the beam path needs: its finite value; a missing key ends
// the run through the store's error ("undefined variable").
double required(const char* name) {
  double v = 0;
  if (!optnumber(name, &v)) v = GetVar(name);
  return v;
}

// A key that may be a formula of the angle (zweiTheta, i): true with its
// value when it can be evaluated now, false when it is missing or needs the
// angle; then it is read at each angle.
bool fixednow(const char* name, double& v) {
  double x = 0;
  if (!dataerr_try([&] { x = GetVar(name); })) return false;
  v = keyfinite(name, x);
  return true;
}

// An optional numeric key, or its default.
double valueor(const char* name, double dflt) {
  optional(name, dflt);
  return dflt;
}

// name, else name[i].
bool optionalplainorindex(const char* name, int i, double& v) {
  if (optional(name, v)) return true;
  return optnumber(name, 1, &i, &v);
}

// name, else name[i], which ends the run when it is missing.
double plainorindex(const char* name, int i) {
  double v = 0;
  if (optional(name, v) || optnumber(name, 1, &i, &v)) return v;
  return GetIndexVar(name, 1, &i);
}

// Text of a yes key: on when its first character is J, j, Y or y.
bool yes(const char* name) {
  static char text[8001];
  return dataerr_try([&] { GetStrVar(name, 8000, text); }) && text[0] != 0 &&
         std::strchr("JjYy", text[0]) != nullptr;
}

// A radius that the ray geometry divides by: positive, or (slits before the
// sample) not at the focus distance.
void radius(const char* name, double v, bool beforesample, double R) {
  if (!std::isfinite(v) || (beforesample ? v == R : !(v > 0))) {
    fatal<-177>(name, v);
  }
}

// A slit before the sample lies between the focus and the sample: its
// distance from the sample above 0 and below the focus distance R
// (message -104 with the range 0 to R).
void beforesample(const char* name, double v, double R) {
  if (!(v > 0 && v < R)) fatal<-104>(name, v, 0.0, R);
}

void readsetup(Settings& s) {
  BeamPath& b = s.b;
  GetStrVar("LINTOR", 7996, s.lintor);
  makeextension(s.lintor, "ger", 1);
  static char text[8001];
  text[0] = 0;
  if (dataerr_try([] { GetStrVar("ZELMARRY", 8000, text); })) {
    int k = 0;
    while (k < 3 && std::strcmp(text, kArrangementNames[k]) != 0) ++k;
    if (k == 3) {
      fatal<-176>(text);
    }
    b.arrangement = k;
  }
  s.gsum = yes("GSUM");
  b.R = required("R");
  b.focusH = required("FocusH");
  b.focusW = required("FocusW");
  b.focusS = valueor("FocusS", 0.0);
  if (b.arrangement == REFLEXION && has("AirScat")) {
    b.airScat = true;
    b.airScatH = required("AirScat");
    if (!s.gsum) message<15>();
  }
  b.detArrayW = valueor("DetArrayW", 0.0);
  b.vslit = optional("VSlitH", b.vslitH);
  const bool ownvslit = b.vslit;
  if (b.vslit) b.vslitR = required("VSlitR");
  b.roundSlit = optional("RoundSlitD", b.roundD);
  if (b.roundSlit) b.roundR = required("RoundSlitR");
  const char* hslitRname = "HSlitR";
  if (b.arrangement != CAPILLARY) {
    if (optional("HSlitR", b.hslitR)) {
      s.hslitPerAngle = !fixednow("HSlitW", s.hslitW);
    } else if (b.roundSlit) {
      b.hslitR = b.roundR;
      s.hslitW = b.roundD;
      hslitRname = "RoundSlitR";
    } else {
      GetVar("HSlitR");
    }
  }
  b.tslit = optional("TSlitH", b.tslitH);
  if (b.tslit && !optional("TSlitR", b.tslitR)) fatal<-175>();
  b.pcoll = optional("PColl", b.pColl);
  b.pCollTan = static_cast<float>(std::tan(valueor("PCollA", 0.0) * kPi / 180));
  const char* vslitRname = "VSlitR";
  if (!b.roundSlit && !b.pcoll && !b.vslit) fatal<-60>();
  if (b.roundSlit && !b.vslit) {
    b.vslit = true;
    b.vslitH = b.roundD;
    b.vslitR = b.roundR;
    vslitRname = "RoundSlitR";
  }
  b.scoll = optional("SColl", b.sColl);
  b.sCollTan = static_cast<float>(std::tan(valueor("SCollA", 0.0) * kPi / 180));
  b.samplD = kUnlimited;
  if (optional("SamplD", b.samplD) && b.arrangement != CAPILLARY) message<246>();
  b.samplH = valueor("SamplH", kUnlimited);
  b.samplW = valueor("SamplW", kUnlimited);
  b.eps2 = valueor("EPS2", 0.0);
  b.wavy = valueor("SamplWavyness", 0.0);
  s.detwPerAngle = !fixednow("DetW", s.detW);
  if ((s.hslitPerAngle || s.detwPerAngle) && !s.gsum) message<245>();
  if (b.arrangement == REFLEXION && !s.gsum && has("DeltaOmega")) message<56>();
  b.monR = b.R;
  b.axialH = kUnlimited;
  if (optional("MonR", b.monR)) {
    if (!optional("MonH", b.axialH)) optional("DetH", b.axialH);
  } else {
    optional("DetH", b.axialH);
  }
  const double A = valueor("FocusA", 0.0) * kPi / 180;
  b.focusCos = std::cos(A);
  b.focusSin = std::sin(A);
  s.epsg = static_cast<float>(valueor("EPSG", 0.007));
  if (!b.scoll && b.axialH == kUnlimited) fatal<-61>();

  // Radii the ray geometry divides by, and the accuracy goal (the count of
  // the fullest bin grows as 2/EPSG^2 and must fit its 32-bit counter).
  radius("R", b.R, false, b.R);
  radius(vslitRname, b.vslitR, true, b.R);
  if (b.arrangement != CAPILLARY) radius(hslitRname, b.hslitR, true, b.R);
  radius("MonR", b.monR, false, b.R);
  // Sizes of the focus, the apertures, the collimators and the sample: a
  // width, height or divergence of 0 or below lets no ray pass, and a slit
  // before the sample must lie between the focus and the sample.
  keypositive("FocusH", b.focusH);
  keyrange("FocusW", b.focusW, 0, DBL_MAX);
  if (ownvslit) {
    keypositive("VSlitH", b.vslitH);
    beforesample("VSlitR", b.vslitR, b.R);
  }
  if (b.roundSlit) {
    keypositive("RoundSlitD", b.roundD);
    beforesample("RoundSlitR", b.roundR, b.R);
  }
  if (b.arrangement != CAPILLARY) {
    beforesample(hslitRname, b.hslitR, b.R);
    if (!s.hslitPerAngle)
      keypositive(std::strcmp(hslitRname, "HSlitR") == 0 ? "HSlitW" : "RoundSlitD", s.hslitW);
  }
  if (b.tslit) {
    keypositive("TSlitH", b.tslitH);
    beforesample("TSlitR", b.tslitR, b.R);
  }
  if (b.pcoll) keypositive("PColl", b.pColl);
  if (b.scoll) keypositive("SColl", b.sColl);
  if (b.samplD != kUnlimited) keypositive("SamplD", b.samplD);
  if (b.samplH != kUnlimited) keypositive("SamplH", b.samplH);
  if (b.samplW != kUnlimited) keypositive("SamplW", b.samplW);
  if (b.axialH != kUnlimited) keypositive(has("MonH") && has("MonR") ? "MonH" : "DetH", b.axialH);
  keyrange("DetArrayW", b.detArrayW, 0, DBL_MAX);
  keyrange("SamplWavyness", b.wavy, 0, DBL_MAX);
  if (!s.detwPerAngle) keypositive("DetW", s.detW);
  if (!(s.epsg >= 0.0001f && s.epsg < 1)) {
    fatal<-178>(static_cast<double>(s.epsg));
  }
}

// The keys of one angle; false when the angle cannot be traced.
bool readangle(const Settings& s, int i, double twotheta, AngleSetup& a, std::string& raw) {
  const BeamPath& b = s.b;
  a = AngleSetup{};
  a.theta = twotheta * kPi / 360;
  // i and zweiTheta as plain numbers, for keys that are formulas in them.
  newDATAlist();
  SetVar("i", i);
  SetVar("zweiTheta", twotheta);
  a.sslitW = optionalplainorindex("SSlitW", i, a.sslitWv);
  if (a.sslitW) {
    a.sslitH = optionalplainorindex("SSlitH", i, a.sslitHv);
    a.sslitR = required("SSlitR");
  }
  a.hslitW = s.hslitPerAngle ? plainorindex("HSlitW", i) : s.hslitW;
  a.detW = s.detwPerAngle ? plainorindex("DetW", i) : s.detW;
  if (a.sslitW) {
    keypositive(has("SSlitW") ? "SSlitW" : keyname("SSlitW", 1, &i), a.sslitWv);
    if (a.sslitH) keypositive(has("SSlitH") ? "SSlitH" : keyname("SSlitH", 1, &i), a.sslitHv);
    keypositive("SSlitR", a.sslitR);
  }
  if (s.hslitPerAngle) keypositive(keyname("HSlitW", 1, &i), a.hslitW);
  if (s.detwPerAngle) keypositive(keyname("DetW", 1, &i), a.detW);
  if (b.arrangement == REFLEXION) a.domega = valueor("DeltaOmega", 0.0) * kPi / 180;
  DelAll();
  freeDATAlist();

  const double sw = std::fabs(std::sin(a.domega));
  const double hw = b.arrangement == CAPILLARY ? 0 : a.hslitW / (b.R - b.hslitR);
  const double fd = (b.focusW + a.detW) / b.R;
  double deps;
  if (b.arrangement == TRANSMISSION) {
    deps = 0.008 * hw;
    a.kern = static_cast<float>(0.8 * hw);
  } else {
    deps = sw * 0.008 * hw + 0.004 * fd;
    a.kern = static_cast<float>(sw * 0.8 * hw + 0.3 * fd);
  }
  a.deps = valueor("DEPS", deps);
  raw.clear();
  static char name[8001];
  if (dataerr_try([&] { GetIndexStrVar("RAW", 1, &i, 8000, name); })) raw = name;

  if (!(a.theta > std::fabs(a.domega))) {
    message<55>(twotheta, i);
    return false;
  }
  // The bins and the sampling of the fit data divide by both widths.
  if (!(a.deps > 0 && a.kern > 0 && std::isfinite(a.deps) && std::isfinite(a.kern))) {
    fatal<-179>(i, twotheta, a.deps, static_cast<double>(a.kern));
  }
  return true;
}

void writeheader(FILE* f, const Settings& s) {
  std::fprintf(f, "ZELMARRY=%s TubeTails=%.4f\n", kArrangementNames[s.b.arrangement],
               static_cast<double>(tubetails));
  static char text[8001];
  for (const char* key : kHeaderKeys)
    if (dataerr_try([&] { GetStrVar(key, 8000, text); }))
      std::fprintf(f, "%s=%s\n", key, unwhite(text));
}

// Traces and fits one angle until the fit meets the goal (or the bin width has
// been halved too often) and writes its block.
void angle(FILE* f, const Settings& s, const TailTable& tails, RunState& state, int i,
           double twotheta, AngleSetup& a, const std::string& raw) {
  Trace tr;
  FitData data;
  Components comps;
  int rounds = kMostRounds;
  for (int halvings = 0;; ++halvings) {
    trace(s.b, a, tails, s.epsg, twotheta, state, tr);
    if (!raw.empty()) rawdump(raw.c_str(), tr.hist, a.deps);
    fitdata(tr, a.deps, a.kern, data);
    tr.hist = Histogram{};
    if (data.m() > kMostFitPoints) {
      if (halvings == 0) fatal<-121>(i, twotheta, data.m(), a.deps, kMostFitPoints);
      message<342>(twotheta, kMostFitPoints, halvings - 1);
      break;
    }
    if (fitcomponents(data, a.deps, a.kern, s.epsg, &rounds, comps) == FitEnd::converged) break;
    if (rounds <= 0) {
      message<343>(twotheta, kMostRounds);
      break;
    }
    if (halvings == kMaxHalvings) {
      message<180>(twotheta, halvings);
      break;
    }
    a.deps /= 2;
  }

  auto gs = static_cast<float>(static_cast<double>(tr.accepted) / static_cast<double>(tr.traced));
  if (s.hslitPerAngle) gs = static_cast<float>(gs * a.hslitW);
  if (s.detwPerAngle) gs = static_cast<float>(gs * a.detW);
  if (s.b.arrangement == REFLEXION)
    gs = static_cast<float>(gs * 2 /
                            (std::sin(a.theta + a.domega) / std::sin(a.theta - a.domega) + 1));

  std::fprintf(f, "THETA=%-.4f N=%d", twotheta / 2, comps.n());
  if (s.gsum) std::fprintf(f, " GSUM=%.5e", static_cast<double>(gs));
  if (a.domega != 0) std::fprintf(f, " DeltaOmega=%-8.4f", a.domega * 180 / kPi);
  std::fprintf(f, "\n");
  for (int k = 0; k < comps.n(); ++k)
    std::fprintf(f, "%7.5f %8.7f %9.8f\n", static_cast<double>(comps.g[k]),
                 static_cast<double>(comps.e[k]), static_cast<double>(comps.q[k]));

  std::printf("zweiTheta=%-8.4f N=%d", twotheta, comps.n());
  if (s.gsum) std::printf(" GSUM=%.5e", static_cast<double>(gs));
  std::printf("\n");
  std::fflush(stdout);
  if (tr.overshoot && !s.gsum) message<247>();
}

}  // namespace

void run() {
  static Settings s;
  readsetup(s);
  if (s.b.arrangement < REFLEXION || s.b.arrangement > CAPILLARY)
    internal_error("wrongZELMARRY", "zelmar", __LINE__);

  tubetailinit();
  TailTable tails{tubetails, tubetailarray, tubetailm, tubetailmax, tubetailstep};

  // The angles, before anything is traced or written: each a diffraction
  // angle strictly between 0 and 180 degrees, and at least one.
  int angles = 0;
  for (int i = 1;; ++i) {
    double twotheta = 0;
    if (!optnumber("zweiTheta", 1, &i, &twotheta)) break;
    if (!(twotheta > 0 && twotheta < 180))
      fatal<-101>(keyname("zweiTheta", 1, &i), twotheta, 0.0, 180.0);
    ++angles;
  }
  if (angles == 0) fatal<-109>("zweiTheta[1]");

  const char* name = s.lintor;
  // Neither the profile file nor a histogram file may be the control file.
  runoutput("LINTOR", name);
  for (int i = 1; dataerr_try([&] { GetIndexVar("zweiTheta", 1, &i); }); ++i) {
    static char raw[8001];
    if (dataerr_try([&] { GetIndexStrVar("RAW", 1, &i, 8000, raw); }))
      runoutput("RAW[" + std::to_string(i) + "]", raw);
  }
  OutFile out;
  if (!out.open(name)) {
    fatal<-149>(name);
  }
  FILE* f = out.file();
  writeheader(f, s);

  RunState state;
  AngleSetup a;
  std::string raw;
  for (int i = 1;; ++i) {
    double twotheta = 0;
    if (!optnumber("zweiTheta", 1, &i, &twotheta)) break;
    std::fflush(f);
    if (!readangle(s, i, twotheta, a, raw)) continue;
    angle(f, s, tails, state, i, twotheta, a, raw);
  }

  tubetailfree();
  if (!out.commit()) {
    fatal<-149>(name);
  }
}

}  // namespace zelmar

int main(int argc, char** argv) {
  core::prolog(argc, argv, "zelmar.cfg");
  zelmar::run();
  core::epilog();
}
