// The pattern model over a measured pattern: the per-point tables against
// the physics they encode (area, line positions, polarisation), the exact
// derivatives against finite differences in the ordinary and the derivative
// mode, the derivative-mode window against a direct smoothing of the model,
// and identical results for any number of worker threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "modell_fixture.hpp"

namespace model {
using namespace core;
using namespace scan;

using namespace modelltest;

namespace {

// One peak of each kind and a second kind-3 peak overlapping the first,
// over a three-node background.
PeakSet* mixedset() {
  PeakSet* s = nullptr;
  peakalloc(nullptr, &s, 0, 0, 3, 1, 2, 1);
  const float p2v[] = {80.0f, static_cast<float>(position(47.0))};
  const float p3v[] = {120.0f, static_cast<float>(position(50.0)),  0.003f,
                       60.0f,  static_cast<float>(position(50.25)), 0.006f};
  const float p4v[] = {90.0f, static_cast<float>(position(53.0)), 0.002f, 1.6e-5f};
  std::memcpy(s->par2, p2v, sizeof p2v);
  std::memcpy(s->par3, p3v, sizeof p3v);
  std::memcpy(s->par4, p4v, sizeof p4v);
  s->bg[0] = 50.0f, s->bg[1] = 40.0f, s->bg[2] = 30.0f;
  return s;
}

// Step for the finite difference of parameter k of the derivative-row order.
double fdstep(const PeakSet* s, int k) {
  const int np = 2 * s->count2 + 3 * s->count3 + 4 * s->count4;
  if (k >= np) return 20.0;  // background coefficient (linear)
  int kind, slot;
  if (k < 2 * s->count2)
    kind = 2, slot = k % 2;
  else if (k < 2 * s->count2 + 3 * s->count3)
    kind = 3, slot = (k - 2 * s->count2) % 3;
  else
    kind = 4, slot = (k - 2 * s->count2 - 3 * s->count3) % 4;
  (void)kind;
  switch (slot) {
    case 0:
      return 5.0;  // intensity (the model is linear in it)
    case 1:        // position, about a hundredth of a width
    case 2:        // own Lorentzian width
      return 1e-4;
    default:
      return 1e-6;  // square of the squared-Lorentzian width (6 %)
  }
}

// Every derivative entry of every row against the central difference of the
// residuals; the tolerance is relative to the largest entry of the column.
// floor: the part of the column maximum that counts as agreement anywhere
// (the derivative-mode rows are differences of much larger point values).
void check_derivatives(PeakSet* set, const char* mode, double floor) {
  const double tolerance = 2e-3;
  const int np = 2 * set->count2 + 3 * set->count3 + 4 * set->count4;
  const int total = np + set->ru;
  std::vector<float> rows(static_cast<size_t>(m) * total, 12345.0f);
  for (int t = 0; t < m; ++t) ableitung(rows.data() + static_cast<size_t>(t) * total, t, set);
  std::vector<float*> params = parameters(set);
  const std::vector<float> r0 = residuals(set);
  ASSERT_EQ(static_cast<int>(params.size()), total);
  for (int k = 0; k < total; ++k) {
    float* p = params[k];
    const float p0 = *p;
    // Central differences at steps h and h/2, extrapolated (error of order h^4).
    auto central = [&](double h) {
      *p = static_cast<float>(p0 + h);
      const double up = *p;
      std::vector<float> rp = residuals(set);
      *p = static_cast<float>(p0 - h);
      const double down = *p;
      std::vector<float> rm = residuals(set);
      *p = p0;
      std::vector<double> d(m);
      for (int t = 0; t < m; ++t) d[t] = (static_cast<double>(rp[t]) - rm[t]) / (up - down);
      return d;
    };
    const std::vector<double> coarse = central(2.0 * fdstep(set, k));
    const std::vector<double> fine = central(fdstep(set, k));
    double biggest = 0.0;
    for (int t = 0; t < m; ++t)
      biggest = std::max(biggest,
                         std::fabs(static_cast<double>(rows[static_cast<size_t>(t) * total + k])));
    if (ifddm && k >= np) {
      EXPECT_EQ(biggest, 0.0) << mode << ": background entries of derivative rows";
      continue;
    }
    ASSERT_GT(biggest, 0.0) << mode << ": parameter " << k;
    int bad = 0;
    for (int t = 0; t < m; ++t) {
      const double fd = (4.0 * fine[t] - coarse[t]) / 3.0;
      const double an = rows[static_cast<size_t>(t) * total + k];
      // Rounding of the single-precision residuals, through the differences.
      const double noise = 1e-7 * (std::fabs(r0[t]) + 10.0) / fdstep(set, k);
      if (std::fabs(fd - an) > tolerance * std::fabs(an) + floor * biggest + noise) {
        if (++bad <= 3)
          ADD_FAILURE() << mode << ": parameter " << k << " row " << t << ": analytic " << an
                        << ", finite difference " << fd << ", column maximum " << biggest;
      }
    }
  }
}

class PatternModel : public ::testing::Test {
 protected:
  void SetUp() override {
    install();
    doublet();
    instrument(dir);
    points(44.0, 56.0, 0.01);
  }
  void TearDown() override { release(); }
  ktest::TempDir dir;
};

TEST_F(PatternModel, DerivativesAgreeWithFiniteDifferencesForEveryKindAndTheBackground) {
  hinit();
  unt1(3, sinx, m, nullptr, nullptr);
  PeakSet* set = mixedset();
  check_derivatives(set, "ordinary", 2e-6);
  // Weights enter every entry of a row; a weight 0 gives a zero row.
  w[100] = 0.0f;
  std::vector<float> row(2 + 6 + 4 + 3, 7.0f);
  ableitung(row.data(), 100, set);
  for (float v : row) EXPECT_EQ(v, 0.0f);
  peakfree(&set);
}

// The derivative with respect to the fourth parameter s of a kind-4 peak at
// s = 0, where a squared-Lorentzian width is added to a peak that has none:
// a narrow squared Lorentzian changes the line by a term of order s, so the
// derivative there is finite and not zero (a fit must be able to move s
// off 0). Against one-sided differences v(h) - v(0), whose error is of
// order sqrt(h), extrapolated from h and h/4; at points of both the exact
// component sum and the far form, in both modes.
TEST_F(PatternModel, FourthParameterHasItsSlopeAtZero) {
  for (bool derivativemode : {false, true}) {
    SCOPED_TRACE(derivativemode ? "derivative mode" : "ordinary");
    hinit();
    unt1(0, sinx, m, nullptr, nullptr);
    if (derivativemode) {
      ddmon(6);
      hinit();
    }
    PeakSet* set = nullptr;
    peakalloc(nullptr, &set, 0, 0, 0, 0, 0, 1);
    const float p4v[] = {400.0f, static_cast<float>(position(50.0)), 0.002f, 0.0f};
    std::memcpy(set->par4, p4v, sizeof p4v);
    std::vector<float> row(4);
    std::vector<double> column(static_cast<size_t>(m));
    double biggest = 0;
    for (int t = 0; t < m; ++t) {
      ableitung(row.data(), t, set);
      column[t] = row[3];
      biggest = std::max(biggest, std::fabs(column[t]));
    }
    ASSERT_GT(biggest, 0.0);
    const std::vector<float> r0 = residuals(set);
    auto forward = [&](double h) {
      set->par4[3] = static_cast<float>(h);
      std::vector<float> rh = residuals(set);
      set->par4[3] = 0.0f;
      std::vector<double> d(static_cast<size_t>(m));
      for (int t = 0; t < m; ++t) d[t] = (static_cast<double>(rh[t]) - r0[t]) / h;
      return d;
    };
    const std::vector<double> coarse = forward(4e-7), fine = forward(1e-7);
    int bad = 0;
    for (int t = 0; t < m; ++t) {
      const double fd = 2.0 * fine[t] - coarse[t];
      if (std::fabs(fd - column[t]) > 0.02 * biggest && ++bad <= 3)
        ADD_FAILURE() << "row " << t << ": analytic " << column[t] << ", finite difference " << fd
                      << ", column maximum " << biggest;
    }
    peakfree(&set);
    if (derivativemode) ddmoff();
  }
}

TEST_F(PatternModel, DerivativeModeDerivativesAgreeAndLeaveNoBackgroundBehind) {
  hinit();
  unt1(3, sinx, m, nullptr, nullptr);
  ddmon(6);
  hinit();
  PeakSet* set = mixedset();
  check_derivatives(set, "derivative mode", 2e-5);
  // The rows share a sliding window: a row out of order is refused.
  ktest::RunResult r = ktest::run_in_child([&] {
    std::vector<float> row(2 + 6 + 4 + 3);
    ableitung(row.data(), 0, set);
    ableitung(row.data(), 5, set);
  });
  EXPECT_EQ(r.status, 250);
  EXPECT_NE(r.out.find("internal error labeled ableitung order in file obj/modell"),
            std::string::npos)
      << r.out;
  peakfree(&set);
}

TEST_F(PatternModel, DerivativeModeIsTheSmoothedModelOfThePoints) {
  hinit();
  PeakSet* set = mixedset();
  set->bg[0] = set->bg[1] = set->bg[2] = 0.0f;
  // Ordinary model of every point (no background: intensities 0, weights 1).
  std::vector<float> plain = residuals(set);
  const int npts = m;
  ddmon(7);
  std::vector<float> r = residuals(set);
  ASSERT_EQ(m, 2 * (npts - 4));
  for (int t = 0; t < m; ++t) {
    const int c = t / 2, rc = ddmrange[c];
    double sum = 0.0;
    for (int j = -rc; j <= rc; ++j) sum += ddmpolynome(j, t % 2, rc) * plain[c + 2 + j];
    const double expect = (sum - intensitaet[t]) * w[t];
    EXPECT_NEAR(r[t], expect, 1e-5 * (std::fabs(expect) + 1.0)) << "row " << t;
  }
  // No peaks: the derivative-mode residuals are -measured x weight.
  PeakSet* empty = nullptr;
  peakalloc(nullptr, &empty, 0, 0, 0, 0, 0, 0);
  std::vector<float> r0 = residuals(empty);
  for (int t = 0; t < m; ++t) EXPECT_EQ(r0[t], -intensitaet[t] * w[t]);
  peakfree(&empty);
  peakfree(&set);
}

TEST_F(PatternModel, FillsModelBackgroundAndPhaseColumnsOnlyWhenAsked) {
  hinit();
  unt1(3, sinx, m, nullptr, nullptr);
  PeakSet* set = mixedset();
  set->ix2[0] = 1, set->ix3[0] = 0, set->ix3[1] = 1, set->ix4[0] = 0;
  for (int t = 0; t < m; ++t) intensitaet[t] = 10.0f, w[t] = 0.5f;
  std::vector<float> bare = residuals(set);

  std::vector<float> ymodel(m), ubg(m), cols(2 * m, -1.0f);
  y = ymodel.data();
  u = ubg.data();
  yphasen = cols.data();
  nphasen = 2;
  std::vector<float> full = residuals(set);
  for (int t = 0; t < m; ++t) {
    EXPECT_EQ(full[t], bare[t]);
    EXPECT_FLOAT_EQ(ubg[t], unt(set->bg, sinx[t]));
    EXPECT_NEAR(ymodel[t], cols[2 * t] + cols[2 * t + 1] + ubg[t], 1e-4 * std::fabs(ymodel[t]));
    EXPECT_NEAR(full[t], (ymodel[t] - 10.0f) * 0.5f, 1e-4 * std::fabs(ymodel[t]));
  }
  y = u = yphasen = nullptr;
  nphasen = 0;

  // A set without peaks: (background - measured) x weight.
  PeakSet* empty = nullptr;
  peakalloc(set, &empty, 0, 0, 3, 0, 0, 0);
  std::vector<float> r0 = residuals(empty);
  for (int t = 0; t < m; ++t)
    EXPECT_FLOAT_EQ(
        r0[t], static_cast<float>((static_cast<double>(unt(empty->bg, sinx[t])) - 10.0) * 0.5));
  peakfree(&empty);
  peakfree(&set);
}

// The tables encode the physics: a peak integrated over the pattern in 1/d
// gives its intensity; with one symmetric instrument component each
// wavelength line puts its maximum where 2 lambda^-1 sin(theta) = P; the
// polarisation factor is (1 + pol cos^2 2theta) / 2.
TEST(PatternTables, PeakAreaPositionsAndPolarisation) {
  install();
  ktest::TempDir dir;
  ktest::write_file(dir.file("one.ger"), "TITEL=one\nTHETA=30 N=1\n1 0 0.0004\n");
  ger1(dir.file("one").c_str());
  singleline(0.1540593, 1e-4);
  const double target = 60.0;  // the one-record profile keeps its width near 60 degrees
  points(target - 3.0, target + 3.0, 0.002);
  hinit();
  PeakSet* set = nullptr;
  peakalloc(nullptr, &set, 0, 0, 0, 1, 0, 0);
  set->par2[0] = 250.0f;
  set->par2[1] = static_cast<float>(position(target));
  std::vector<float> r = residuals(set);
  double area = 0.0;
  int top = 0;
  for (int t = 0; t + 1 < m; ++t) {
    area += 0.5 * (r[t] + r[t + 1]) * 2.0 * l0 * (sinx[t + 1] - sinx[t]);
    if (r[t] > r[top]) top = t;
  }
  EXPECT_NEAR(area / 250.0, 1.0, 2e-3);
  EXPECT_NEAR(2.0 * l0 * sinx[top], set->par2[1], 2.0 * l0 * (sinx[top + 1] - sinx[top]));

  // Two lines: two maxima, one at each line's own angle.
  freelam();
  doublet(0.0, 0.0);
  hinit();
  r = residuals(set);
  const double pos = set->par2[1];
  for (int line = 0; line < 2; ++line) {
    const double s = pos / (2.0 * lj[line]);
    int at = 0;
    for (int t = 0; t < m; ++t)
      if (std::fabs(sinx[t] - s) < std::fabs(sinx[at] - s)) at = t;
    EXPECT_GT(r[at], r[at - 3]) << "line " << line;
    EXPECT_GT(r[at], r[at + 3]) << "line " << line;
  }

  // Polarisation, including the point at 2theta = 60 degrees.
  std::vector<float> plain = r;
  setxray(true);
  pol = 0.8f;
  hinit();
  std::vector<float> polar = residuals(set);
  for (int t = 0; t < m; t += 97) {
    const double c2 = 1.0 - 2.0 * sinx[t] * sinx[t];
    EXPECT_NEAR(polar[t], plain[t] * (1.0 + 0.8 * c2 * c2) / 2.0, 1e-5 * std::fabs(plain[t]));
  }
  const int mid = (m - 1) / 2;
  EXPECT_NEAR(sinx[mid], 0.5, 1e-6);
  EXPECT_NEAR(polar[mid], plain[mid] * (1.0 + 0.8 / 4.0) / 2.0, 1e-5 * std::fabs(plain[mid]));
  setxray(false);
  setpol(false);
  peakfree(&set);
  release();
}

// Instrument and wavelength both without width: the model stays finite.
TEST(PatternTables, NoWidthAnywhereGivesNoInfinity) {
  install();
  singleline(0.1540593, 0.0);
  ger2();  // no instrument: one component without width
  points(40.0, 41.0, 0.05);
  hinit();
  PeakSet* set = nullptr;
  peakalloc(nullptr, &set, 0, 0, 0, 1, 1, 0);
  set->par2[0] = 10.0f;
  set->par2[1] = static_cast<float>(2.0 * l0 * sinx[5]);  // exactly on a point
  set->par3[0] = 10.0f;
  set->par3[1] = set->par2[1];
  std::vector<float> r = residuals(set);
  for (float v : r) EXPECT_TRUE(std::isfinite(v));
  std::vector<float> row(5);
  for (int t = 0; t < m; ++t) {
    ableitung(row.data(), t, set);
    for (float v : row) EXPECT_TRUE(std::isfinite(v)) << "row " << t;
  }
  peakfree(&set);
  release();
}

// ---------------------------------------------------------------------------
// Any number of worker threads: the helper runs in a fresh process with the
// pool size and the pattern from the environment and prints every number it
// computed.

void dump(const char* tag, const std::vector<float>& v) {
  std::printf("%s", tag);
  for (float x : v) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    std::printf(" %08" PRIx32, bits);
  }
  std::printf("\n");
}

struct RowTask {
  const PeakSet* set;
  float* rows;
  int total;
  std::atomic<int64_t> counter;
};

void rowparfkt(uint64_t arg) {
  auto* task = reinterpret_cast<RowTask*>(arg);
  for (int64_t t; (t = nexttask(task->counter)) >= 0;)
    ableitung(task->rows + t * task->total, static_cast<int>(t), task->set);
}

// The peaks of the mixed set moved into the last degree of the range, so
// that all the work of a pass sits in its last points, where a pass hands
// out its smallest pieces; the two kind-3 peaks still overlap.
void intocorner(PeakSet* set, double top) {
  set->par2[1] = static_cast<float>(position(top - 0.9));
  set->par3[1] = static_cast<float>(position(top - 0.6));
  set->par3[4] = static_cast<float>(position(top - 0.45));
  set->par4[1] = static_cast<float>(position(top - 0.25));
}

TEST(PatternThreads, Helper) {
  const char* threads = std::getenv("KTEST_MODELL_THREADS");
  const char* pattern = std::getenv("KTEST_MODELL_PATTERN");
  if (threads == nullptr || pattern == nullptr)
    GTEST_SKIP() << "runs only as the helper of SameResultsForAnyNumberOfThreads";
  nthreads = std::atoi(threads);
  const bool corner = std::string(pattern) == "corner";
  install();
  ktest::TempDir dir;
  doublet();
  instrument(dir);
  // 1201 points, or 1079 (neither a multiple of the lane count nor of any
  // piece a pass hands out) for the corner set.
  const double top = corner ? 54.78 : 56.0;
  points(44.0, top, 0.01);
  hinit();
  unt1(3, sinx, m, nullptr, nullptr);
  PeakSet* set = mixedset();
  if (corner) intocorner(set, top);
  std::vector<float> ymodel(m), ubg(m), cols(2 * m);
  y = ymodel.data(), u = ubg.data(), yphasen = cols.data(), nphasen = 2;
  set->ix3[1] = 1;
  dump("r", residuals(set));
  dump("y", ymodel);
  dump("u", ubg);
  dump("c", cols);
  const int total = 2 + 6 + 4 + 3;
  std::vector<float> rows(static_cast<size_t>(m) * total);
  RowTask task;
  task.set = set, task.rows = rows.data(), task.total = total;
  task.counter.store(m);
  nspawn(rowparfkt, 0, reinterpret_cast<uint64_t>(&task));
  nwait();
  dump("d", rows);
  innen(set);
  estimatet0(set, 5);
  dump("t", std::vector<float>(set->t3, set->t3 + 2));
  y = u = yphasen = nullptr;
  // Derivative mode takes its point values from a pass of its own.
  ddmon(6);
  hinit();
  dump("s", residuals(set));
  peakfree(&set);
  release();
}

TEST(PatternThreads, SameResultsForAnyNumberOfThreads) {
  auto run = [](const char* count, const char* pattern) {
    return ktest::run_program("/proc/self/exe", {"--gtest_filter=PatternThreads.Helper"}, "",
                              {{"KTEST_MODELL_THREADS", count}, {"KTEST_MODELL_PATTERN", pattern}});
  };
  auto numbers = [](const std::string& out) {
    std::string kept;
    size_t at = 0;
    while (at < out.size()) {
      size_t end = out.find('\n', at);
      if (end == std::string::npos) end = out.size();
      std::string line = out.substr(at, end - at);
      if (line.size() > 2 && line[1] == ' ' &&
          std::string("ryucdts").find(line[0]) != std::string::npos)
        kept += line + "\n";
      at = end + 1;
    }
    return kept;
  };
  for (const char* pattern : {"mixed", "corner"}) {
    ktest::RunResult one = run("1", pattern);
    ASSERT_EQ(one.status, 0) << one.out << one.err;
    const std::string reference = numbers(one.out);
    EXPECT_GT(reference.size(), 100000u) << pattern;
    for (const char* count : {"2", "3", "8"}) {
      ktest::RunResult more = run(count, pattern);
      ASSERT_EQ(more.status, 0) << more.out << more.err;
      EXPECT_TRUE(numbers(more.out) == reference)
          << pattern << ": results differ between 1 and " << count << " threads";
    }
  }
}

}  // namespace

}  // namespace model
