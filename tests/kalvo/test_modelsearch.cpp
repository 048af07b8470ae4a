// The model search on a synthetic pattern of three peaks of known shape: the
// peaks are found from an empty start, a spurious start peak goes, a peak
// broadened by its own Lorentzian gets its width, a background with too many
// coefficients loses them; the result does not depend on the number of
// worker threads.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "kalvorun.hpp"

namespace {

using kalvotest::ParText;
using kalvotest::Peak;
using kalvotest::TruePeak;
using kalvotest::Workplace;

// A sharp peak, one broadened by its own Lorentzian, a sharp one; the
// instrument gives each a width of about 0.3 degrees.
const std::vector<TruePeak> kTruth = {{30, 120, 0}, {45, 250, 0.02}, {60, 120, 0}};
constexpr double kLo = 20, kHi = 70, kStep = 0.05;
const int kPoints = static_cast<int>(std::lround((kHi - kLo) / kStep)) + 1;

void setup(const Workplace& wp, const std::string& extra) {
  wp.put("synth.xy", kalvotest::synthscan(kTruth, kLo, kHi, kStep, 300, 2, 4711));
  wp.put("run.sav", "VAL[1,1]=synth.xy\nNEUTRONS=0.15\nLINTOR=0.002\n" + extra);
}

// The fitted peak nearest to 2theta, with its index among all peaks.
int nearest(const ParText& p, double twotheta) {
  int best = -1;
  for (int k = 0; k < static_cast<int>(p.peaks.size()); ++k)
    if (best < 0 || std::fabs(kalvotest::twotheta(p.peaks[k].par[1]) - twotheta) <
                        std::fabs(kalvotest::twotheta(p.peaks[best].par[1]) - twotheta))
      best = k;
  return best;
}

// Index of the first parameter of peak k in the matrix.
int firstparameter(const ParText& p, int k) {
  int j = 0;
  for (int i = 0; i < k; ++i) j += p.peaks[i].type;
  return j;
}

// Every true peak is there once, at its place within its error, and nothing
// else is.
void expectthetruth(const ParText& p) {
  ASSERT_EQ(p.peaks.size(), kTruth.size()) << p.headerline;
  for (const TruePeak& t : kTruth) {
    const int k = nearest(p, t.twotheta);
    const double err = kalvotest::sigma(p, firstparameter(p, k) + 1, kPoints);
    EXPECT_NEAR(p.peaks[k].par[1], kalvotest::position(t.twotheta), 4 * err)
        << "peak at " << t.twotheta;
    EXPECT_LT(err, 5e-4);
    EXPECT_NEAR(p.peaks[k].par[0], t.intensity, 0.1 * t.intensity) << "peak at " << t.twotheta;
  }
}

TEST(ModelSearch, PeaksFoundFromAnEmptyStartAlikeForOneAndEightThreads) {
  std::string first;
  for (int threads : {1, 8}) {
    SCOPED_TRACE(testing::Message() << "NTHREADS=" << threads);
    Workplace wp;
    setup(wp, "NTHREADS=" + std::to_string(threads) + "\n");
    ktest::RunResult r = wp.run({"SAVE=N"}, 120);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // No start peak describes the pattern: the search says so, adds peaks
    // while their number grows, and leaves that state before the final fit.
    const size_t bad = r.out.find(ktest::message(211));
    ASSERT_NE(bad, std::string::npos) << r.out;
    const size_t ended = r.out.find(ktest::message(212), bad);
    ASSERT_NE(ended, std::string::npos) << r.out;
    EXPECT_NE(r.out.find(ktest::message(210), ended), std::string::npos) << r.out;
    const std::string text = wp.get("synth.par");
    ParText p = kalvotest::readpar(text);
    expectthetruth(p);
    // The Lorentzian-broadened peak is found with its width.
    const Peak& broad = p.peaks[nearest(p, 45)];
    ASSERT_GE(broad.type, 3) << broad.line;
    EXPECT_NEAR(broad.par[2], 0.02, 0.006) << broad.line;
    if (first.empty())
      first = text;
    else
      EXPECT_EQ(text, first);
  }
}

// TEST=N2: new peaks have two parameters (intensity and position) and come
// from the narrowest class of test peaks only; nothing else is changed.
TEST(ModelSearch, NewPeaksOfTwoParametersOnly) {
  Workplace wp;
  setup(wp, "TEST=N2\n");
  ktest::RunResult r = wp.run({"SAVE=N"}, 120);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  ParText p = kalvotest::readpar(wp.get("synth.par"));
  ASSERT_GE(p.peaks.size(), kTruth.size()) << r.out;
  for (const Peak& pk : p.peaks) EXPECT_EQ(pk.type, 2) << pk.line;
  for (const TruePeak& t : kTruth)
    EXPECT_NEAR(kalvotest::twotheta(p.peaks[nearest(p, t.twotheta)].par[1]), t.twotheta, 0.05);
  EXPECT_EQ(r.out.find("\n+ "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("\nD "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("\nU "), std::string::npos) << r.out;
}

// A measured background curve: scaled by one more coefficient (UNT) or
// added as it is (UNTC); either is fitted with the peaks and named in the
// header, so that a plot of the file draws the background that was fitted.
// The rest of the background is flat: one polynomial coefficient.
TEST(ModelSearch, BackgroundCurvesAreFittedAndNamed) {
  auto hump = [](double tt) { return 500 * std::exp(-std::pow((tt - 45) / 8, 2)); };
  for (const char* key : {"UNT", "UNTC"}) {
    SCOPED_TRACE(key);
    Workplace wp;
    wp.put("synth.xy", kalvotest::synthscan(kTruth, kLo, kHi, kStep, 300, 0, 4711, hump));
    wp.put("hump.xy", kalvotest::curvescan(kLo, kHi, kStep, hump));
    wp.put("run.sav", std::string("VAL[1,1]=synth.xy\nNEUTRONS=0.15\nLINTOR=0.002\n") + key +
                          "=hump.xy\nRU=" + (key[3] == 'C' ? "1" : "2") + "\n");
    ktest::RunResult r = wp.run({"SAVE=N"}, 120);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ParText p = kalvotest::readpar(wp.get("synth.par"));
    expectthetruth(p);
    EXPECT_EQ(p.header[key], "hump.xy") << p.headerline;
    const int np = static_cast<int>(p.matrix.size());
    EXPECT_LT(std::atof(p.header["Q"].c_str()), 1.2 * (kPoints - np)) << r.out;
    // The curve's scale is the last coefficient.
    if (std::string(key) == "UNT") {
      ASSERT_GE(p.ru, 2) << p.bgline;
      EXPECT_NEAR(p.bg.back(), 1.0, 0.05) << p.bgline;
    }
  }
}

// A start file with a peak where there is none, the broadened peak without
// its width and eight background coefficients.
TEST(ModelSearch, StartSetIsCorrectedByTheTests) {
  Workplace wp;
  setup(wp, "");
  char start[600];
  std::snprintf(start, sizeof start,
                "PEAKZAHL=4 TITEL=start\n"
                "3 %.6E %.7f 0.001\n"
                "2 %.6E %.7f\n"
                "3 %.6E %.7f 0.001\n"
                "3 %.6E %.7f 0.001\n"
                "8 300 300 300 300 300 300 300 300\n",
                120.0, kalvotest::position(30), 250.0, kalvotest::position(45), 150.0,
                kalvotest::position(38), 120.0, kalvotest::position(60));
  wp.put("synth.par", start);
  ktest::RunResult r = wp.run({"SAVE=N"}, 120);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  ParText p = kalvotest::readpar(wp.get("synth.par"));
  expectthetruth(p);
  const Peak& broad = p.peaks[nearest(p, 45)];
  EXPECT_EQ(broad.type, 3) << broad.line;
  EXPECT_NEAR(broad.par[2], 0.02, 0.006) << broad.line;
  // A straight background needs far fewer than eight coefficients.
  EXPECT_LE(p.ru, 4) << p.bgline;
  EXPECT_GE(p.ru, 1) << p.bgline;
  EXPECT_NE(r.out.find("\nU "), std::string::npos) << r.out;
}

}  // namespace

namespace {

// The fourth parameter of a peak (the square of its own squared-Lorentzian
// width) is offered to a 3-parameter peak at 0 and kept only where the line
// shape needs it: a peak broadened by a squared Lorentzian becomes a
// 4-parameter peak with that width, a peak broadened by a Lorentzian stays
// a 3-parameter peak. The start set is the one peak with a small width.
TEST(ModelSearch, FourthParameterWhereTheLineShapeNeedsIt) {
  struct Case {
    const char* name;
    TruePeak truth;
    int type;
  } cases[] = {
      {"squared-Lorentzian broadening", {45, 2000, 0, 0.03}, 4},
      {"Lorentzian broadening", {45, 2000, 0.02, 0}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Workplace wp;
    wp.put("one.xy", kalvotest::synthscan({c.truth}, 35, 55, 0.02, 300, 0, 815));
    wp.put("run.sav", "VAL[1,1]=one.xy\nNEUTRONS=0.15\nLINTOR=0.002\n");
    char start[200];
    std::snprintf(start, sizeof start, "PEAKZAHL=1 TITEL=start\n3 %.6E %.7f 0.001\n1 300\n",
                  c.truth.intensity, kalvotest::position(c.truth.twotheta));
    wp.put("one.par", start);
    ktest::RunResult r = wp.run({"SAVE=N"}, 120);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ParText p = kalvotest::readpar(wp.get("one.par"));
    ASSERT_EQ(p.peaks.size(), 1u) << r.out;
    const Peak& pk = p.peaks[0];
    EXPECT_EQ(pk.type, c.type) << pk.line << "\n" << r.out;
    EXPECT_NEAR(pk.par[0], c.truth.intensity, 0.05 * c.truth.intensity) << pk.line;
    if (pk.type == 4) {
      EXPECT_NEAR(std::sqrt(pk.par[3]), c.truth.beta, 0.2 * c.truth.beta) << pk.line;
      EXPECT_LT(pk.par[2], 0.005) << pk.line;
    }
    const int points = 1001;
    EXPECT_LT(std::atof(p.header["Q"].c_str()), 1.2 * (points - static_cast<int>(p.matrix.size())))
        << r.out;
  }
}

}  // namespace
