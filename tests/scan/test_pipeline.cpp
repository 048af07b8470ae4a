// The reading pipeline: radiation keys, angle window, excluded ranges,
// sorting, the sigma correction near strong lines and the derivative mode.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "fixtures.hpp"
#include "numeric/chi2wert.hpp"
#include "scan/apx63.hpp"
#include "scan/ddm.hpp"
#include "testsupport.hpp"

namespace scan {
using namespace core;

using scanfix::msg;

namespace {

constexpr double kPi = 3.14159265358979323846;

double sin2t(double tth) { return std::sin(tth * kPi / 360.0); }
double tth(float s) { return 360.0 * std::asin(static_cast<double>(s)) / kPi; }

// Every test starts from an empty store with one scope, lookup mode 2, no
// radiation kind and the reader's defaults.
class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    scanfix::use_test_installation();
    scanfix::fresh_store_without_radiation();
    sinxmin = 0.0f;
    sinxmax = 1.0f;
    cutfree();
    ifddm = false;
    iflintor = false;
    iftubetails = 0;
  }
  void TearDown() override {
    cutfree();
    ifddm = false;
    while (ondataLevel() > 0) dataerr_oldjmp();
    totalfree();
  }
  std::string put(const std::string& name, const std::string& text) {
    std::string path = dir.file(name);
    ktest::write_file(path, text);
    return path;
  }
  // A "val" scan from 2theta start in steps of step, intensities as given.
  std::string scan(const std::string& name, double start, double step, std::vector<double> values) {
    return put(name, scanfix::val({{start, step, std::move(values)}}));
  }
  ktest::TempDir dir;
};

TEST_F(Pipeline, RadiationKeysAndTheWavelengthName) {
  std::string cu = scan("cu.val", 10, 1, {5});
  std::string raw = put("co.raw", scanfix::raw1("Co", {{10.0, 1.0, 1.0f, {4}, 0, 40}}));
  struct Case {
    const char* statement;  // empty: no key
    int kind;               // radiation afterwards
    const char* lambda;
    size_t points;
  };
  const Case cases[] = {
      // No key: the first file's wavelength is taken, other anodes refused.
      {"", 1, "Cu", 1},
      {"LAMBDA=CuKa12", 1, "CuKa12", 2},
      {"NEUTRONS=1.909", 3, "1.909", 2},
      {"SYNCHROTRON=0.7093", 2, "0.7093", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statement);
    DelAll();
    if (c.statement[0] != '\0') ergibt(c.statement);
    setneutrons(false);
    setsynchrotron(false);
    setxray(false);
    auto p = scanfix::getval({cu, raw});
    EXPECT_EQ(radiation, c.kind);
    EXPECT_EQ(p.lambda, c.lambda);
    EXPECT_EQ(static_cast<size_t>(p.npts), c.points);
    EXPECT_EQ(p.out, c.points == 1 ? msg(36, raw.c_str()) : "");
  }
}

TEST_F(Pipeline, TextFormatsWithoutAnyRadiationKeyNeedLambda) {
  std::string cols = put("c.xy", "10 1\n11 2\n");
  // GSAS banks and text columns name no wavelength; without a key the
  // store's error reaches the caller's frame.
  testing::internal::CaptureStdout();
  bool done = dataerr_try([&] {
    ScanNameNode node{};
    std::strncpy(node.name, cols.c_str(), sizeof node.name - 1);
    char lambda[100] = "";
    ScanRecord* records = nullptr;
    getscans(&node, 99, lambda, &records);
    scanfree(records);
  });
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(done);
}

// A store error while the scans are read (here: text columns without
// LAMBDA after a binary scan) reaches the caller's frame; the records of the
// scans read before it are freed on the way, not lost with every retry.
TEST_F(Pipeline, ScansReadBeforeAStoreErrorAreFreed) {
  std::string raw = put(
      "big.raw", scanfix::raw1("Cu", {{10.0, 0.0001, 1.0f, std::vector<float>(200000, 4), 0, 40}}));
  std::string cols = put("c.xy", "10 1\n11 2\n");
  auto inuse = [] {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
  };
  testing::internal::CaptureStdout();
  const size_t before = inuse();
  for (int k = 0; k < 5; ++k) {
    setxray(false);
    EXPECT_FALSE(dataerr_try([&] { scanfix::getval({raw, cols}, false); }));
    ClearErr();
  }
  const size_t after = inuse();
  testing::internal::GetCapturedStdout();
  // One scan's points are 2.4 MB.
  EXPECT_LT(after, before + 1000000);
}

TEST_F(Pipeline, AngleWindowHasAnAbsoluteToleranceOfTenSinglePrecisionEpsilons) {
  // Points at 2theta 30.00, 30.02, 30.04; the window edge moved to 1e-6 and
  // 2e-6 (in sin theta) inside the outer points.
  std::string f = scan("w.val", 30, 0.02, {1, 2, 3});
  const double lo = sin2t(30.0), hi = sin2t(30.04);
  struct Case {
    double below_first;  // sinxmin = sin(15 deg) + this
    double above_last;   // sinxmax = sin(15.02 deg) - this
    std::vector<float> y;
  };
  const Case cases[] = {
      {1e-6, 1e-6, {1, 2, 3}},
      {2e-6, 1e-6, {2, 3}},
      {1e-6, 2e-6, {1, 2}},
      {2e-6, 2e-6, {2}},
  };
  ergibt("NEUTRONS=1");
  for (const Case& c : cases) {
    sinxmin = static_cast<float>(lo + c.below_first);
    sinxmax = static_cast<float>(hi - c.above_last);
    auto p = scanfix::getval({f});
    EXPECT_EQ(p.y, c.y);
  }
}

TEST_F(Pipeline, PointsWithoutAFiniteAngleAreNotUsed) {
  ergibt("NEUTRONS=1");
  const double inf = std::numeric_limits<double>::infinity();
  std::string good = scan("good.val", 30, 0.02, {1, 2});
  std::string nan = scan("nan.val", std::nan(""), 0.02, {7, 8});
  std::string infinite = scan("inf.val", inf, 0.02, {9});
  std::string steps = scan("steps.val", 40, inf, {10, 11});
  auto p = scanfix::getval({good, nan, infinite, steps});
  // An infinite step leaves no point with an angle, not even the first
  // (0 times infinity).
  ASSERT_EQ(p.npts, 2);
  EXPECT_EQ(p.y, (std::vector<float>{1, 2}));
  for (float s : p.sinx) EXPECT_TRUE(std::isfinite(s));
}

TEST_F(Pipeline, ValuesThatAreNotNumbersCarryNoWeight) {
  ergibt("NEUTRONS=1");
  const double inf = std::numeric_limits<double>::infinity();
  std::string f = scan("v.val", 30, 0.02, {5, std::nan(""), inf, -inf, 6});
  auto p = scanfix::getval({f});
  ASSERT_EQ(p.npts, 5);
  EXPECT_EQ(p.y, (std::vector<float>{5, 0, 0, 0, 6}));
  for (int i = 0; i < p.npts; ++i) {
    EXPECT_TRUE(std::isfinite(p.w[i])) << i;
    if (i >= 1 && i <= 3)
      EXPECT_EQ(p.w[i], 0.0f) << i;
    else
      EXPECT_GT(p.w[i], 0.0f) << i;
  }
}

TEST_F(Pipeline, ExcludedRanges) {
  ergibt("NEUTRONS=1");
  // 2theta 29.96 .. 32.04 in steps of 0.02, intensity = point index.
  std::vector<double> v;
  for (int i = 0; i < 105; ++i) v.push_back(i);
  std::string f = scan("c.val", 29.96, 0.02, v);
  struct Case {
    std::vector<const char*> statements;
    std::vector<float> kept_edges;  // first points kept around the range
    int npts;
  };
  // 30:32 drops 30.00 .. 32.00 as well (the range is widened by ten
  // single-precision epsilons, relative): 29.96, 29.98 and 32.02, 32.04 stay.
  const Case cases[] = {
      {{"CUT[1]=30:32"}, {0, 1, 103, 104}, 4},
      {{"CUT[1]=2*15:sqrt(1024)"}, {0, 1, 103, 104}, 4},
      {{"CUT[1]=32:30"}, {}, 105},
      {{"CUT[1]=30:32", "CUT[3]=29:33"}, {0, 1, 103, 104}, 4},
      {{"CUT[1]=30.5:31", "CUT[2]=31.5:32"}, {}, 105 - 26 - 26},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statements[0]);
    DelAll();
    ergibt("NEUTRONS=1");
    for (const char* s : c.statements) ergibt(s);
    cutfree();
    cutinit();
    auto p = scanfix::getval({f});
    EXPECT_EQ(p.npts, c.npts);
    if (!c.kept_edges.empty()) {
      EXPECT_EQ(p.y, c.kept_edges);
    }
  }
  // A range outside the angle window is not kept.
  DelAll();
  ergibt("CUT[1]=100:110");
  ergibt("CUT[2]=10:20");
  sinxmin = static_cast<float>(sin2t(25));
  sinxmax = static_cast<float>(sin2t(90));
  cutfree();
  cutinit();
  EXPECT_EQ(cut, nullptr);
}

TEST_F(Pipeline, ExcludedRangeWithoutTwoLimitsEndsTheRun) {
  const char* texts[] = {":32", "30:", "30", "30:abc", "(1:32"};
  for (const char* t : texts) {
    SCOPED_TRACE(t);
    auto run = ktest::run_in_child([&] {
      std::string s = std::string("CUT[1]=") + t;
      ergibt(s.c_str());
      cutinit();
    });
    EXPECT_EQ(run.status, 225);
    EXPECT_EQ(run.out, msg(-225, 1, t));
  }
}

TEST_F(Pipeline, ScansOutOfOrderGiveOneSortedPattern) {
  ergibt("NEUTRONS=1");
  // Intensity = 2theta, so that every point can be checked against its angle.
  std::string high = scan("high.val", 40, 0.5, {40, 40.5, 41, 41.5});
  std::string low = scan("low.val", 10, 0.5, {10, 10.5, 11});
  std::string mid =
      put("mid.val", scanfix::val({{25.25, 0.5, {25.25, 25.75}}, {20.0, 10.0, {20, 30, 40}}}));
  auto p = scanfix::getval({high, low, mid});
  ASSERT_EQ(p.npts, 12);
  for (int i = 0; i < p.npts; ++i) {
    if (i > 0) {
      EXPECT_LE(p.sinx[i - 1], p.sinx[i]);
    }
    EXPECT_NEAR(tth(p.sinx[i]), p.y[i], 1e-4);
  }
  EXPECT_EQ(p.y.front(), 10.0f);
  EXPECT_EQ(p.y.back(), 41.5f);
}

TEST_F(Pipeline, NoPointLeftGivesNoArrays) {
  ergibt("LAMBDA=Cu");
  std::string f = scan("f.val", 10, 1, {1, 2});
  sinxmin = static_cast<float>(sin2t(50));
  auto p = scanfix::getval({f});
  EXPECT_EQ(p.npts, 0);
  EXPECT_TRUE(p.null);
  auto none = scanfix::getval({});
  EXPECT_EQ(none.npts, 0);
  EXPECT_TRUE(none.null);
}

// Sigma correction near strong lines, on arrays.
struct Korr {
  std::vector<float> sinx, y, w;
  Korr(std::vector<double> tths, std::vector<float> ys, float w0) : y(std::move(ys)) {
    for (double t : tths) sinx.push_back(static_cast<float>(sin2t(t)));
    w.assign(y.size(), w0);
  }
  void run() { korrw(static_cast<int>(y.size()), sinx.data(), y.data(), w.data()); }
};

TEST_F(Pipeline, SigmaIsRaisedBesideStrongLines) {
  // A weak point 0.5 degrees beside a line 1000 higher: sigma becomes
  // f * 1000 * exp(-1/2) (f = 0.02, 0.007 with tube tails).
  for (char tails : {0, 1}) {
    iftubetails = tails;
    Korr k({20.0, 20.5}, {0, 1000}, 1.0f);
    k.run();
    // The Gaussian is taken at the distance of the single-precision angles.
    const double d = (tth(k.sinx[0]) - tth(k.sinx[1])) / 0.5;
    const double f = tails ? 0.007 : 0.02;
    EXPECT_FLOAT_EQ(k.w[0], static_cast<float>(1.0 / (f * 1000.0 * std::exp(-0.5 * d * d))));
    EXPECT_EQ(k.w[1], 1.0f);
  }
  iftubetails = 0;
  // A flat pattern keeps its weights; a sigma already larger is kept.
  Korr flatk({10, 10.1, 10.2, 10.3}, {50, 50, 50, 50}, 0.25f);
  flatk.run();
  EXPECT_EQ(flatk.w, std::vector<float>(4, 0.25f));
  Korr big({20.0, 20.5}, {0, 1000}, 1.0f / 100.0f);
  big.run();
  EXPECT_EQ(big.w[0], 1.0f / 100.0f);
  // Neighbours count up to 2.5 degrees away: 2.4 degrees raises a point of
  // tiny sigma, 2.6 degrees does not. A zero weight stays zero.
  Korr reach({20.0, 22.4, 30.0, 32.6}, {0, 1000, 0, 1000}, 1e6f);
  reach.w[3] = 0.0f;
  reach.run();
  EXPECT_LT(reach.w[0], 1e6f);
  EXPECT_EQ(reach.w[2], 1e6f);
  EXPECT_EQ(reach.w[3], 0.0f);
}

// The correction visits only the neighbours that can raise a point's sigma;
// its weights are those of visiting every neighbour within 2.5 degrees, to
// the bit: on a pattern of sharp lines of many heights over a noisy
// background, with points measured twice, zero weights, and a point that is
// no number or infinite. The failures, one per line; empty when every weight
// is right.
std::string sigmacorrectionfaults() {
  auto direct = [](const std::vector<float>& sinx, const std::vector<float>& y,
                   std::vector<float>& w, double f) {
    const int n = static_cast<int>(y.size());
    std::vector<double> t(y.size());
    for (int i = 0; i < n; ++i) t[i] = 360.0 * std::asin(static_cast<double>(sinx[i])) / kPi;
    for (int i = 0; i < n; ++i) {
      double rise = 0;
      for (int j = 0; j < n; ++j) {
        if (!(t[j] >= t[i] - 2.5) || !(t[j] < t[i] + 2.5)) continue;
        const double d = (t[i] - t[j]) / 0.5;
        const double r = (static_cast<double>(y[j]) - y[i]) * std::exp(-0.5 * d * d);
        if (r > rise) rise = r;
      }
      double sigma = 1.0 / static_cast<double>(w[i]);
      if (f * rise > sigma) sigma = f * rise;
      w[i] = static_cast<float>(1.0 / sigma);
    }
  };
  std::vector<double> tt;
  std::vector<float> y;
  uint32_t state = 12345;
  auto uniform = [&] {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) / 16777216.0;
  };
  for (double x = 10; x < 40; x += 0.013) {
    tt.push_back(x);
    double v = 100 + 20 * uniform();
    for (double line = 11.3; line < 40; line += 1.7)
      v += 50 * (1 + std::fmod(line * 37, 97)) / std::pow(1 + std::pow((x - line) / 0.04, 2), 2);
    y.push_back(static_cast<float>(v));
    if (uniform() < 0.02) {  // measured twice
      tt.push_back(x);
      y.push_back(static_cast<float>(v + 5));
    }
  }
  y[200] = std::nanf("");
  y[900] = HUGE_VALF;
  std::string faults;
  for (char tails : {0, 1}) {
    iftubetails = tails;
    Korr fast(tt, y, 1.0f);
    for (size_t i = 0; i < fast.w.size(); i += 50) fast.w[i] = 0.0f;
    fast.w[10] = 1e-3f;
    Korr slow = fast;
    fast.run();
    direct(slow.sinx, slow.y, slow.w, tails ? 0.007 : 0.02);
    size_t raised = 0;
    for (size_t i = 0; i < fast.w.size(); ++i) {
      if (std::memcmp(&fast.w[i], &slow.w[i], sizeof(float)) != 0)
        faults += std::to_string(i) + ": " + std::to_string(fast.w[i]) + " " +
                  std::to_string(slow.w[i]) + "\n";
      raised += fast.w[i] < 1.0f && fast.w[i] > 0.0f ? 1 : 0;
    }
    if (raised <= fast.w.size() / 4) faults += "too few points raised\n";
  }
  iftubetails = 0;
  return faults;
}

TEST_F(Pipeline, SigmaCorrectionEqualsTheSumOverEveryNeighbour) {
  EXPECT_EQ(sigmacorrectionfaults(), "");
}

// The points are shared out among the workers, each search starting afresh:
// the weights stay those of every neighbour on any number of threads.
TEST(SigmaThreads, Helper) {
  const char* threads = std::getenv("KTEST_SIGMA_THREADS");
  if (threads == nullptr)
    GTEST_SKIP() << "runs only as the helper of SameWeightsForAnyNumberOfThreads";
  nthreads = std::atoi(threads);
  const std::string faults = sigmacorrectionfaults();
  EXPECT_EQ(faults, "");
  std::printf("sigma faults: %zu\n", faults.size());
}

TEST(SigmaThreads, SameWeightsForAnyNumberOfThreads) {
  for (const char* count : {"1", "3", "8"}) {
    ktest::RunResult run =
        ktest::run_program("/proc/self/exe", {"--gtest_filter=SigmaThreads.Helper"}, "",
                           {{"KTEST_SIGMA_THREADS", count}});
    EXPECT_EQ(run.status, 0) << count << " threads: " << run.out << run.err;
    EXPECT_NE(run.out.find("sigma faults: 0"), std::string::npos)
        << count << " threads: " << run.out;
  }
}

TEST_F(Pipeline, SigmaCorrectionOnlyForXrayTubes) {
  std::string f = scan("k.val", 20, 0.5, {1, 1000});
  const float untouched = 1.0f;  // mode C with time 1: w = 1/value
  struct Case {
    const char* key;
    bool lintor;
    bool corrected;
  };
  const Case cases[] = {{"LAMBDA=Cu", false, true},
                        {"LAMBDA=Cu", true, false},
                        {"NEUTRONS=1.9", false, false},
                        {"SYNCHROTRON=0.7", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    DelAll();
    ergibt(c.key);
    iflintor = c.lintor;
    auto p = scanfix::getval({f});
    ASSERT_EQ(p.npts, 2);
    EXPECT_EQ(p.w[0] < untouched, c.corrected);
  }
}

TEST_F(Pipeline, DerivativeWeights) {
  EXPECT_DOUBLE_EQ(ddmpolynome(1, 0, 2), 0.1);
  EXPECT_DOUBLE_EQ(ddmpolynome(0, 1, 2), -1.0 / 7.0);
  // Over a window the slope weights sum to 0 and give 1 on a line; the
  // quadratic weights give 0 on a line and 1 on j^2.
  for (int r = 2; r <= 12; ++r) {
    double s0 = 0, s1 = 0, l0 = 0, l1 = 0, q1 = 0;
    for (int j = -r; j <= r; ++j) {
      s0 += ddmpolynome(j, 0, r);
      s1 += ddmpolynome(j, 1, r);
      l0 += j * ddmpolynome(j, 0, r);
      l1 += j * ddmpolynome(j, 1, r);
      q1 += j * j * ddmpolynome(j, 1, r);
    }
    EXPECT_NEAR(s0, 0, 1e-14);
    EXPECT_NEAR(s1, 0, 1e-14);
    EXPECT_NEAR(l0, 1, 1e-14);
    EXPECT_NEAR(l1, 0, 1e-14);
    EXPECT_NEAR(q1, 1, 1e-13);
  }
  auto run = ktest::run_in_child([] { ddmpolynome(0, 2, 2); });
  EXPECT_EQ(run.status, 250);
  EXPECT_EQ(run.out, "*** internal error labeled wrong k2 in file obj/modell, line 793\n");
}

// The kept weights are ddmpolynome's to the bit, whatever order the window
// half-widths come in, below and above the widths kept for good.
TEST_F(Pipeline, DerivativeWeightsKept) {
  const int top = DdmWeights::kTabulated + 3;
  for (int kind = 0; kind < 2; ++kind) {
    DdmWeights kept(kind);
    for (int r : {5, 2, 3, top, top - 1, 9, DdmWeights::kTabulated, 40, top, 3, 100, 2}) {
      const double* weight = kept.of(r);
      for (int j = -r; j <= r; ++j) {
        const double expect = ddmpolynome(j, kind, r);
        ASSERT_EQ(std::memcmp(&weight[j], &expect, sizeof expect), 0)
            << "kind " << kind << " r " << r << " j " << j;
      }
    }
  }
}

// A noise-free quadratic y = 3j^2 - 5j + 1000: every row is exact, the
// first derivative 6j - 5 at the centre and the half second derivative 3,
// and the windows grow by one point a step up to the ends of the pattern.
TEST_F(Pipeline, DerivativeModeOnANoiseFreeQuadratic) {
  const int N = 30;
  float* y = static_cast<float*>(std::malloc(N * sizeof(float)));
  float* w = static_cast<float*>(std::malloc(N * sizeof(float)));
  for (int j = 0; j < N; ++j) {
    y[j] = static_cast<float>(3 * j * j - 5 * j + 1000);
    w[j] = 1.0f;
  }
  int n = N;
  korrddm(&n, nullptr, &y, &w);
  ASSERT_EQ(n, 2 * (N - 4));
  int widest = 0;
  for (int c = 0; c < N - 4; ++c) {
    SCOPED_TRACE(c);
    const int j = c + 2;
    const int r = ddmrange[c];
    EXPECT_EQ(r, std::min(c + 2, N - 3 - c));
    widest = std::max(widest, r);
    EXPECT_FLOAT_EQ(y[2 * c], static_cast<float>(6 * j - 5));
    EXPECT_FLOAT_EQ(y[2 * c + 1], 3.0f);
    // sigma of the slope row: sqrt(sum of squared weights) with unit sigmas.
    EXPECT_FLOAT_EQ(w[2 * c], static_cast<float>(std::sqrt(r * (r + 1.0) * (2 * r + 1) / 3.0)));
    EXPECT_GT(w[2 * c + 1], 0.0f);
  }
  EXPECT_EQ(ddm_mmax, widest);
  EXPECT_EQ(ddmoriintensitaet[5], static_cast<float>(3 * 25 - 25 + 1000));
  std::free(y);
  std::free(w);
}

TEST_F(Pipeline, DerivativeWindowsShrinkAtALine) {
  // A flat pattern with one sharp line: a window that reaches the line does
  // not fit a quadratic and shrinks to half-width 2.
  const int N = 40, line = 20;
  float* y = static_cast<float*>(std::malloc(N * sizeof(float)));
  float* w = static_cast<float*>(std::malloc(N * sizeof(float)));
  for (int j = 0; j < N; ++j) {
    y[j] = j == line ? 10000.0f : 100.0f;
    w[j] = 0.1f;
  }
  w[3] = 0.0f;  // a point without weight: its rows get weight 0, not NaN
  int n = N;
  korrddm(&n, nullptr, &y, &w);
  for (int c = 0; c < N - 4; ++c) {
    SCOPED_TRACE(c);
    const int r = ddmrange[c];
    if (std::abs(c + 2 - line) <= r) {
      EXPECT_EQ(r, 2);
    }
    for (int k = 0; k < 2; ++k) EXPECT_FALSE(std::isnan(w[2 * c + k]));
  }
  EXPECT_GT(ddmrange[line + 5], 2);
  // Rows whose window holds the weightless point with a nonzero weight.
  EXPECT_EQ(w[2 * 0], 0.0f);
  std::free(y);
  std::free(w);
}

// The windows of a noisy pattern of lines on a background (2000 points,
// each window's quadratic fit judged against the chi-square distribution)
// are those that the test chi2wert(2(r - 1), chi2) < 0.8 gives when it is
// integrated for every window: korrddm decides most windows from the
// statistics it already integrated.
TEST_F(Pipeline, DerivativeWindowsAsTheChiSquareTestOfEveryWindow) {
  const int N = 2000;
  std::vector<float> y0(N), w0(N);
  uint32_t state = 12345;
  auto noise = [&state] {  // about normal, mean 0, sigma 1
    double sum = 0;
    for (int k = 0; k < 12; ++k) {
      state = state * 1664525u + 1013904223u;
      sum += (state >> 8) / 16777216.0;
    }
    return sum - 6;
  };
  for (int j = 0; j < N; ++j) {
    double v = 200 + 0.02 * j;
    for (int line = 150; line < N; line += 170)
      v += 5000 / (1 + ((j - line) / 3.0) * ((j - line) / 3.0));
    y0[j] = static_cast<float>(v + std::sqrt(v) * noise());
    w0[j] = static_cast<float>(1 / std::sqrt(v));
  }
  float* y = static_cast<float*>(std::malloc(N * sizeof(float)));
  float* w = static_cast<float*>(std::malloc(N * sizeof(float)));
  std::copy(y0.begin(), y0.end(), y);
  std::copy(w0.begin(), w0.end(), w);
  int n = N;
  korrddm(&n, nullptr, &y, &w);
  int r = 2, widest = 0;
  for (int c = 1; c < N - 4; ++c) {
    r = std::min(N - 3 - c, r + 1);
    for (; r >= 3; --r) {
      double mean = 0, slope = 0, curv = 0;
      for (int j = -r; j <= r; ++j) {
        mean += y0[c + 2 + j];
        slope += y0[c + 2 + j] * ddmpolynome(j, 0, r);
        curv += y0[c + 2 + j] * ddmpolynome(j, 1, r);
      }
      mean /= 2 * r + 1;
      const double q = r * (r + 1) / 3.0;
      double chi2 = 0;
      for (int j = -r; j <= r; ++j) {
        const double d = w0[c + 2 + j] * ((j * j - q) * curv + mean + j * slope - y0[c + 2 + j]);
        chi2 += d * d;
      }
      if (numeric::chi2wert(2 * (r - 1), chi2) < 0.8) break;
    }
    ASSERT_EQ(ddmrange[c], r) << "centre " << c;
    widest = std::max(widest, r);
  }
  // The pattern has wide windows between its lines and narrow ones at them.
  EXPECT_GT(widest, 10);
  EXPECT_EQ(ddmrange[150 - 2], 2);
  std::free(y);
  std::free(w);
}

TEST_F(Pipeline, DerivativeModeThroughGetval) {
  ergibt("LAMBDA=Cu");
  std::vector<double> v;
  for (int j = 0; j < 5; ++j) v.push_back(j * j + 10.0);
  std::string f = scan("d.val", 20, 0.1, v);
  ifddm = true;
  auto p = scanfix::getval({f});
  // Five points: two rows of half-width 2; sin theta keeps the points.
  EXPECT_EQ(p.npts, 2);
  EXPECT_EQ(p.sinx.size(), 5u);
  EXPECT_EQ(ddmrange[0], 2);
  EXPECT_EQ(ddm_mmax, 2);
  EXPECT_FLOAT_EQ(p.y[0], 4.0f);
  EXPECT_FLOAT_EQ(p.y[1], 1.0f);
  EXPECT_EQ(ddmoriintensitaet[4], 26.0f);
}

TEST_F(Pipeline, DerivativeModeNeedsFivePoints) {
  std::string four = scan("four.val", 20, 0.1, {1, 2, 3, 4});
  for (double from : {0.0, 50.0}) {
    SCOPED_TRACE(from);
    auto run = ktest::run_in_child([&] {
      ergibt("NEUTRONS=1");
      ifddm = true;
      sinxmin = static_cast<float>(sin2t(from));
      scanfix::getval({four}, false);
    });
    EXPECT_EQ(run.status, 47);
    EXPECT_EQ(run.out, msg(-47));
  }
}

}  // namespace

}  // namespace scan
