// Peak kernels and the peak record: the line shapes against independent
// numbers (their areas, numerical convolutions of their constituents), the
// near/far switch, and allocation, copying, dropping and sorting of peaks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "model/modell.hpp"

namespace model {

namespace {

constexpr double kPi = 3.141592653589793;

using Kernel = float (*)(const float*, const float*, int, const float*, int, const int32_t*,
                         float*);

// Value of one peak (parameter block) seen through a single component row
// that is also the point's summary, so near and far forms coincide.
double single(Kernel k, double a, double b1, double b2, double e, std::vector<float> block) {
  const float row[4] = {static_cast<float>(a), static_cast<float>(b1), static_cast<float>(b2),
                        static_cast<float>(e)};
  return k(row, row, 1, block.data(), 1, nullptr, nullptr);
}

// Integral over the whole real line of f(d), through d = scale tan(phi),
// by the midpoint rule in phi (the integrand in phi is smooth and bounded).
template <class F>
double integrate_line(F f, double scale, int steps = 20000) {
  const double h = kPi / steps;
  double sum = 0.0;
  for (int k = 0; k < steps; ++k) {
    const double phi = -0.5 * kPi + (k + 0.5) * h;
    const double c = std::cos(phi);
    sum += f(scale * std::tan(phi)) * scale / (c * c);
  }
  return sum * h;
}

// Squared-Lorentzian density of width q: 2 q^3 / (pi (x^2 + q^2)^2).
double sqlorentz(double x, double q) {
  const double d = x * x + q * q;
  return 2.0 * q * q * q / (kPi * d * d);
}

TEST(PeakKernels, EveryKindIntegratesToPiTimesWeightTimesIntensity) {
  struct Case {
    const char* what;
    Kernel kernel;
    std::vector<float> block;  // I, P, (L), (s)
    double a, b1, b2;
  } cases[] = {
      {"kind 2, both widths", p2, {250.0f, 30.0f}, 0.4, 0.006, 0.011},
      {"kind 2, Lorentzian only", p2, {1.0f, 30.0f}, 1.0, 0.02, 0.0},
      {"kind 2, squared Lorentzian only", p2, {3.0f, 30.0f}, 0.1, 0.0, 0.015},
      {"kind 3", p3, {40.0f, 30.0f, 0.008f}, 0.25, 0.004, 0.01},
      {"kind 4", p4, {40.0f, 30.0f, 0.005f, 0.0001f}, 0.25, 0.004, 0.01},
      {"kind 4 without Lorentzian parts", p4, {7.0f, 30.0f, 0.0f, 0.0004f}, 0.3, 0.0, 0.012},
  };
  for (const Case& c : cases) {
    const double e = c.block[1];
    const double area = integrate_line(
        [&](double d) {
          std::vector<float> b = c.block;
          b[1] = static_cast<float>(e - d);
          return single(c.kernel, c.a, c.b1, c.b2, e, b);
        },
        0.02);
    EXPECT_NEAR(area / (kPi * c.a * c.block[0]), 1.0, 2e-5) << c.what;
  }
}

TEST(PeakKernels, KindTwoIsALorentzianConvolvedWithASquaredLorentzian) {
  const double b1 = 0.011, b2 = 0.017, a = 0.5, inten = 3.0, e = 42.0;
  for (double want : {0.0, 0.004, -0.013, 0.03, 0.11, -0.4}) {
    // The offset the kernel sees, with the position rounded to single precision.
    const double d = e - static_cast<float>(e - want);
    // (L_b1 * SL_b2)(d) with t = b1 tan(phi): L_b1(t) dt = dphi / pi.
    const int steps = 200000;
    const double h = kPi / steps;
    double conv = 0.0;
    for (int k = 0; k < steps; ++k) {
      const double phi = -0.5 * kPi + (k + 0.5) * h;
      conv += sqlorentz(d - b1 * std::tan(phi), b2);
    }
    conv *= h / kPi;
    const double value =
        single(p2, a, b1, b2, e, {static_cast<float>(inten), static_cast<float>(e - d)});
    EXPECT_NEAR(value / (kPi * a * inten), conv, 2e-6 * conv + 1e-9) << "offset " << d;
  }
}

TEST(PeakKernels, KindFourIsKindThreeConvolvedWithTheOwnSquaredLorentzian) {
  const double b1 = 0.004, b2 = 0.009, lw = 0.003, beta = 0.007, a = 0.7, e = 12.0;
  for (double want : {0.0, 0.006, -0.02, 0.05}) {
    const double d = e - static_cast<float>(e - want);
    // t = beta tan(phi): SL_beta(t) dt = (2 / pi) cos^2(phi) dphi.
    const int steps = 100000;
    const double h = kPi / steps;
    double conv = 0.0;
    for (int k = 0; k < steps; ++k) {
      const double phi = -0.5 * kPi + (k + 0.5) * h;
      const double t = beta * std::tan(phi);
      const double c = std::cos(phi);
      // Kind 3 at offset d - t, in double through a component at 0.
      conv += c * c *
              single(p3, a, b1, b2, 0.0, {1.0f, static_cast<float>(t - d), static_cast<float>(lw)});
    }
    conv *= 2.0 * h / kPi;
    const double value = single(
        p4, a, b1, b2, e,
        {1.0f, static_cast<float>(e - d), static_cast<float>(lw), static_cast<float>(beta * beta)});
    EXPECT_NEAR(value, conv, 3e-6 * conv) << "offset " << d;
  }
}

TEST(PeakKernels, KindsThreeAndFourReduceToKindTwoWithoutOwnWidths) {
  const float summary[4] = {0.9f, 0.003f, 0.012f, 20.0f};
  const float rows[8] = {0.6f, 0.002f, 0.011f, 19.99f, 0.3f, 0.005f, 0.013f, 20.03f};
  for (float pos : {19.9f, 19.99f, 20.0f, 20.02f, 20.2f, 21.0f}) {
    const float b2[2] = {5.0f, pos};
    const float b3[3] = {5.0f, pos, 0.0f};
    const float b4[4] = {5.0f, pos, 0.0f, 0.0f};
    const float v2 = p2(summary, rows, 2, b2, 1, nullptr, nullptr);
    EXPECT_FLOAT_EQ(p3(summary, rows, 2, b3, 1, nullptr, nullptr), v2) << pos;
    EXPECT_FLOAT_EQ(p4(summary, rows, 2, b4, 1, nullptr, nullptr), v2) << pos;
  }
}

TEST(PeakKernels, NearPeaksUseTheComponentsFarPeaksTheSummaryAndBetweenABlend) {
  // Two components (a doublet) and their summary.
  const float rows[8] = {0.6f, 0.002f, 0.004f, 30.0f, 0.3f, 0.0024f, 0.004f, 30.08f};
  const float summary[4] = {0.9f, 0.0021f, 0.03f, 30.0267f};
  const double width = static_cast<double>(summary[1]) + summary[2];
  const float far_row[4] = {summary[0], summary[1], summary[2], summary[3]};
  // A summary so wide that every position counts as near: the exact sum.
  const float wide[4] = {summary[0], 1000.0f, 1000.0f, summary[3]};
  auto at = [&](const float* s, const float* r, int nr, double pos) {
    const float block[2] = {2.0f, static_cast<float>(pos)};
    return static_cast<double>(p2(s, r, nr, block, 1, nullptr, nullptr));
  };
  for (double x : {-1.7, -1.0, 16.0 / 15.0, 3.0}) {
    const double pos = summary[3] + 15.0 * width * x;
    EXPECT_EQ(at(summary, rows, 2, pos), at(summary, far_row, 1, pos)) << "far at x = " << x;
  }
  for (double x : {0.0, 0.005, -0.01}) {
    const double pos = summary[3] + 15.0 * width * x;
    EXPECT_EQ(at(summary, rows, 2, pos), at(wide, rows, 2, pos)) << "near at x = " << x;
  }
  for (double x : {0.5, -0.8, 0.95}) {
    const double pos = summary[3] + 15.0 * width * x;
    const double xr = (static_cast<float>(pos) - static_cast<double>(summary[3])) / (15.0 * width);
    const double f = std::pow(1.0 - std::pow(xr, 10), 2);
    const double expect = f * at(wide, rows, 2, pos) + (1.0 - f) * at(summary, far_row, 1, pos);
    EXPECT_NEAR(at(summary, rows, 2, pos), expect, 1e-6 * std::fabs(expect))
        << "blend at x = " << x;
  }
}

TEST(PeakKernels, SumsPeaksAndAddsEachIntoItsColumn) {
  const float row[4] = {1.0f, 0.01f, 0.01f, 5.0f};
  const float peaks[4] = {3.0f, 5.0f, 2.0f, 5.01f};
  const int32_t ix[2] = {2, 0};
  float yrow[3] = {1.0f, 1.0f, 1.0f};
  const float one = single(p2, 1.0, 0.01, 0.01, 5.0, {3.0f, 5.0f});
  const float two = single(p2, 1.0, 0.01, 0.01, 5.0, {2.0f, 5.01f});
  EXPECT_FLOAT_EQ(p2(row, row, 1, peaks, 2, ix, yrow), one + two);
  EXPECT_FLOAT_EQ(yrow[2], 1.0f + one);
  EXPECT_FLOAT_EQ(yrow[0], 1.0f + two);
  EXPECT_FLOAT_EQ(yrow[1], 1.0f);
  EXPECT_EQ(p2(row, row, 1, peaks, 0, ix, yrow), 0.0f);
}

TEST(PeakKernels, LinesWithoutAnyWidthGiveNoInfinityOrNaN) {
  // Instrument and wavelength widths 0: a component without width, and a
  // summary without width; the peak exactly on it and beside it.
  const float row[4] = {0.3f, 0.0f, 0.0f, 25.0f};
  for (float pos : {25.0f, 25.001f, 24.0f}) {
    const float b2[2] = {10.0f, pos};
    const float b3[3] = {10.0f, pos, 0.0f};
    const float b4[4] = {10.0f, pos, 0.0f, 0.0f};
    EXPECT_TRUE(std::isfinite(p2(row, row, 1, b2, 1, nullptr, nullptr))) << pos;
    EXPECT_TRUE(std::isfinite(p3(row, row, 1, b3, 1, nullptr, nullptr))) << pos;
    EXPECT_TRUE(std::isfinite(p4(row, row, 1, b4, 1, nullptr, nullptr))) << pos;
  }
  // With an own width the peak is an ordinary Lorentzian of that width.
  const float b3[3] = {10.0f, 25.0f, 0.01f};
  EXPECT_FLOAT_EQ(p3(row, row, 1, b3, 1, nullptr, nullptr), 0.3f * 10.0f / 0.01f);
  // A negative fourth parameter counts as no squared-Lorentzian width.
  const float neg[4] = {10.0f, 25.0f, 0.01f, -1e-4f};
  EXPECT_FLOAT_EQ(p4(row, row, 1, neg, 1, nullptr, nullptr), 0.3f * 10.0f / 0.01f);
}

// ---------------------------------------------------------------------------
// Peak record

PeakSet* sample_set() {
  PeakSet* s = nullptr;
  peakalloc(nullptr, &s, 0, 0, 2, 2, 3, 1);
  const float bg[] = {1, 2};
  const float par2[] = {10, 1, 20, 2};
  const float par3[] = {1, 1.5f, 0.1f, 2, 2.5f, 0.2f, 3, 3.5f, 0.3f};
  const float par4[] = {4, 4.5f, 0.4f, 0.04f};
  for (int k = 0; k < 2; ++k) s->bg[k] = bg[k];
  for (int k = 0; k < 4; ++k) s->par2[k] = par2[k];
  for (int k = 0; k < 9; ++k) s->par3[k] = par3[k];
  for (int k = 0; k < 4; ++k) s->par4[k] = par4[k];
  s->ix2[0] = 5, s->ix2[1] = 6;
  s->ix3[0] = 7, s->ix3[1] = 8, s->ix3[2] = 9;
  s->ix4[0] = 10;
  return s;
}

std::vector<float> vec(const float* p, int count) {
  return p ? std::vector<float>(p, p + count) : std::vector<float>();
}
std::vector<int32_t> ivec(const int32_t* p, int count) {
  return p ? std::vector<int32_t>(p, p + count) : std::vector<int32_t>();
}

TEST(PeakRecord, AllocCopiesDropsGrowsAndShrinks) {
  struct Case {
    const char* what;
    int kind, index, ru, c2, c3, c4;
    std::vector<float> bg, par2, par3, par4;
    std::vector<int32_t> ix2, ix3, ix4;
  } cases[] = {
      {"plain copy",
       0,
       0,
       2,
       2,
       3,
       1,
       {1, 2},
       {10, 1, 20, 2},
       {1, 1.5f, 0.1f, 2, 2.5f, 0.2f, 3, 3.5f, 0.3f},
       {4, 4.5f, 0.4f, 0.04f},
       {5, 6},
       {7, 8, 9},
       {10}},
      {"drop the second kind-3 peak",
       3,
       1,
       2,
       2,
       2,
       1,
       {1, 2},
       {10, 1, 20, 2},
       {1, 1.5f, 0.1f, 3, 3.5f, 0.3f},
       {4, 4.5f, 0.4f, 0.04f},
       {5, 6},
       {7, 9},
       {10}},
      {"grow background and kind 2",
       0,
       0,
       4,
       3,
       3,
       1,
       {1, 2, 2, 2},
       {10, 1, 20, 2, 0, 0},
       {1, 1.5f, 0.1f, 2, 2.5f, 0.2f, 3, 3.5f, 0.3f},
       {4, 4.5f, 0.4f, 0.04f},
       {5, 6, 0},
       {7, 8, 9},
       {10}},
      {"shrink: the first peaks stay",
       0,
       0,
       1,
       1,
       1,
       0,
       {1},
       {10, 1},
       {1, 1.5f, 0.1f},
       {},
       {5},
       {7},
       {}},
      {"drop the only kind-4 peak",
       4,
       0,
       2,
       2,
       3,
       0,
       {1, 2},
       {10, 1, 20, 2},
       {1, 1.5f, 0.1f, 2, 2.5f, 0.2f, 3, 3.5f, 0.3f},
       {},
       {5, 6},
       {7, 8, 9},
       {}},
      {"index out of range drops nothing",
       2,
       7,
       2,
       2,
       3,
       1,
       {1, 2},
       {10, 1, 20, 2},
       {1, 1.5f, 0.1f, 2, 2.5f, 0.2f, 3, 3.5f, 0.3f},
       {4, 4.5f, 0.4f, 0.04f},
       {5, 6},
       {7, 8, 9},
       {10}},
      {"drop the first kind-2 peak and keep the count: last slot empty",
       2,
       0,
       2,
       2,
       3,
       1,
       {1, 2},
       {20, 2, 0, 0},
       {1, 1.5f, 0.1f, 2, 2.5f, 0.2f, 3, 3.5f, 0.3f},
       {4, 4.5f, 0.4f, 0.04f},
       {6, 0},
       {7, 8, 9},
       {10}},
  };
  for (const Case& c : cases) {
    PeakSet* old = sample_set();
    PeakSet* fresh = nullptr;
    peakalloc(old, &fresh, c.kind, c.index, c.ru, c.c2, c.c3, c.c4);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->ru, c.ru) << c.what;
    EXPECT_EQ(fresh->count2, c.c2) << c.what;
    EXPECT_EQ(fresh->count3, c.c3) << c.what;
    EXPECT_EQ(fresh->count4, c.c4) << c.what;
    EXPECT_EQ(vec(fresh->bg, fresh->ru), c.bg) << c.what;
    EXPECT_EQ(vec(fresh->par2, 2 * fresh->count2), c.par2) << c.what;
    EXPECT_EQ(vec(fresh->par3, 3 * fresh->count3), c.par3) << c.what;
    EXPECT_EQ(vec(fresh->par4, 4 * fresh->count4), c.par4) << c.what;
    EXPECT_EQ(ivec(fresh->ix2, fresh->count2), c.ix2) << c.what;
    EXPECT_EQ(ivec(fresh->ix3, fresh->count3), c.ix3) << c.what;
    EXPECT_EQ(ivec(fresh->ix4, fresh->count4), c.ix4) << c.what;
    EXPECT_EQ(fresh->t2, nullptr);
    EXPECT_EQ(fresh->in3, nullptr);
    peakfree(&fresh);
    peakfree(&old);
    EXPECT_EQ(old, nullptr);
  }
}

TEST(PeakRecord, AllocFromNothingAndIntoItself) {
  PeakSet* s = nullptr;
  peakalloc(nullptr, &s, 0, 0, -3, 0, 2, -1);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->ru, 0);
  EXPECT_EQ(s->count2, 0);
  EXPECT_EQ(s->count4, 0);
  EXPECT_EQ(s->bg, nullptr);
  EXPECT_EQ(s->par2, nullptr);
  EXPECT_EQ(s->par4, nullptr);
  EXPECT_EQ(vec(s->par3, 6), std::vector<float>(6, 0.0f));
  peakfree(&s);
  peakfree(&s);  // a null record is fine

  // The old record may be the target: the peaks survive the rebuild.
  PeakSet* t = sample_set();
  peakalloc(t, &t, 3, 0, 3, 2, 2, 1);
  EXPECT_EQ(vec(t->bg, 3), (std::vector<float>{1, 2, 2}));
  EXPECT_EQ(vec(t->par3, 6), (std::vector<float>{2, 2.5f, 0.2f, 3, 3.5f, 0.3f}));
  EXPECT_EQ(ivec(t->ix3, 2), (std::vector<int32_t>{8, 9}));
  EXPECT_EQ(vec(t->par2, 4), (std::vector<float>{10, 1, 20, 2}));
  peakfree(&t);

  // Background grown from a set without one stays 0.
  PeakSet* none = nullptr;
  peakalloc(nullptr, &none, 0, 0, 0, 1, 0, 0);
  PeakSet* grown = nullptr;
  peakalloc(none, &grown, 0, 0, 3, 1, 0, 0);
  EXPECT_EQ(vec(grown->bg, 3), std::vector<float>(3, 0.0f));
  peakfree(&none);
  peakfree(&grown);
}

TEST(PeakRecord, SortOrdersEachKindByPositionMovingEverythingAlong) {
  PeakSet* s = nullptr;
  peakalloc(nullptr, &s, 0, 0, 0, 3, 0, 4);
  const float par2[] = {30, 3.0f, 10, 1.0f, 20, 2.0f};
  for (int k = 0; k < 6; ++k) s->par2[k] = par2[k];
  s->ix2[0] = 3, s->ix2[1] = 1, s->ix2[2] = 2;
  s->t2 = static_cast<float*>(std::malloc(3 * sizeof(float)));
  s->t2[0] = 0.3f, s->t2[1] = 0.1f, s->t2[2] = 0.2f;
  s->in2 = static_cast<uint8_t*>(std::malloc(3));
  s->in2[0] = 1, s->in2[1] = 0, s->in2[2] = 1;
  const float par4[] = {4, 9.0f, 0.4f, 0.04f, 1, 6.0f, 0.1f, 0.01f,
                        3, 8.0f, 0.3f, 0.03f, 2, 7.0f, 0.2f, 0.02f};
  for (int k = 0; k < 16; ++k) s->par4[k] = par4[k];
  for (int k = 0; k < 4; ++k) s->ix4[k] = 40 + k;
  peaksort(s);
  EXPECT_EQ(vec(s->par2, 6), (std::vector<float>{10, 1.0f, 20, 2.0f, 30, 3.0f}));
  EXPECT_EQ(ivec(s->ix2, 3), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(vec(s->t2, 3), (std::vector<float>{0.1f, 0.2f, 0.3f}));
  EXPECT_EQ(s->in2[0], 0);
  EXPECT_EQ(s->in2[1], 1);
  EXPECT_EQ(s->in2[2], 1);
  EXPECT_EQ(vec(s->par4, 16), (std::vector<float>{1, 6.0f, 0.1f, 0.01f, 2, 7.0f, 0.2f, 0.02f, 3,
                                                  8.0f, 0.3f, 0.03f, 4, 9.0f, 0.4f, 0.04f}));
  EXPECT_EQ(ivec(s->ix4, 4), (std::vector<int32_t>{41, 43, 42, 40}));
  peakfree(&s);
}

}  // namespace

}  // namespace model
