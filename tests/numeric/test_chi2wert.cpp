// Chi-square distribution and the suite's erf/erfc against closed forms and
// the C library.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "numeric/chi2wert.hpp"
#include "testsupport.hpp"

namespace numeric {

TEST(ChiSquare, AgainstClosedForms) {
  const double xs[] = {1e-6, 0.01, 0.3, 1, 2.5, 4, 7.7, 15, 30, 60};
  for (double x : xs) {
    SCOPED_TRACE(x);
    // The C library's erf here, not the suite's.
    EXPECT_NEAR(chi2wert(1, x), ::erf(std::sqrt(x / 2)), 2e-13);
    EXPECT_NEAR(chi2wert(2, x), -std::expm1(-x / 2), 2e-13);
    EXPECT_NEAR(chi2wert(4, x), 1 - std::exp(-x / 2) * (1 + x / 2), 2e-13);
    // The complement directly, relative in the tail.
    double c2 = std::exp(-x / 2);
    EXPECT_NEAR(chi2wertc(2, x), c2, 1e-12 * c2);
    double c4 = std::exp(-x / 2) * (1 + x / 2);
    EXPECT_NEAR(chi2wertc(4, x), c4, 1e-12 * c4);
    EXPECT_NEAR(chi2wertc(1, x), ::erfc(std::sqrt(x / 2)), 1e-12 * ::erfc(std::sqrt(x / 2)));
    for (int n : {1, 2, 3, 5, 10, 33, 100}) {
      double p = chi2wert(n, x), q = chi2wertc(n, x);
      EXPECT_GE(p, 0);
      EXPECT_LE(p, 1);
      EXPECT_GE(q, 0);
      EXPECT_LE(q, 1);
      EXPECT_NEAR(p + q, 1, 1e-12) << n;
    }
  }
  for (int n : {1, 2, 7, 50}) {
    for (double x : {0.0, -1.0, -1e300}) {
      EXPECT_EQ(chi2wert(n, x), 0);
      EXPECT_EQ(chi2wertc(n, x), 1);
    }
  }
  // Far in the tails: exactly 1 and exactly 0.
  EXPECT_EQ(chi2wert(1, 200), 1);
  EXPECT_EQ(chi2wert(10, 1e4), 1);
  EXPECT_EQ(chi2wertc(1, 1e4), 0);
  EXPECT_EQ(chi2wertc(30, 1e5), 0);
  // An infinite statistic: certain, not NaN.
  for (int n : {1, 2, 5}) {
    EXPECT_EQ(chi2wert(n, INFINITY), 1) << n;
    EXPECT_EQ(chi2wertc(n, INFINITY), 0) << n;
  }
  // Moderately far: small but correct.
  EXPECT_NEAR(chi2wertc(2, 1000), std::exp(-500.0), 1e-12 * std::exp(-500.0));
}

TEST(ChiSquare, SuiteErrorFunctionsAgainstTheCLibrary) {
  // Relative agreement wherever the result is a normal double that the
  // integration range reaches; beyond about x = 26.1 the upper end is held at
  // the underflow level and only the absolute size still means anything.
  for (double x = -7; x <= 27.0001; x += 0.0625) {
    SCOPED_TRACE(x);
    double e = suite::erf(x), ce = suite::erfc(x);
    EXPECT_NEAR(e, ::erf(x), 1e-12 * std::fabs(::erf(x)));
    if (x <= 26) {
      EXPECT_NEAR(ce, ::erfc(x), 1e-12 * ::erfc(x));
    } else {
      // The cut-off tail only loses mass.
      EXPECT_GE(ce, 0);
      EXPECT_LE(ce, ::erfc(x) * (1 + 1e-12) + 1e-310);
    }
  }
  for (double x : {1e-300, 1e-8, -3e-5, 0.123456789, 5.99, 6.49}) {
    EXPECT_NEAR(suite::erf(x), ::erf(x), 1e-12 * std::fabs(::erf(x))) << x;
    EXPECT_NEAR(suite::erfc(x), ::erfc(x), 1e-12 * ::erfc(x)) << x;
  }
  EXPECT_EQ(suite::erf(0), 0);
  EXPECT_EQ(suite::erf(7), 1);
  EXPECT_EQ(suite::erf(-7), -1);
  EXPECT_EQ(suite::erfc(-7), 2);
  // Past the underflow level erfc is 0, never a negative reversed integral.
  for (double x : {26.6158, 26.62, 27.0, 30.0, 1e10, std::numeric_limits<double>::infinity()})
    EXPECT_EQ(suite::erfc(x), 0) << x;
}

TEST(ChiSquare, DegreesOfFreedomBelowOneAreAnInternalError) {
  struct Case {
    double (*f)(int, double);
    int n;
    int line;
  };
  const Case cases[] = {{chi2wert, 0, 63}, {chi2wert, -2, 63}, {chi2wertc, 0, 97}};
  for (const auto& k : cases) {
    auto r = ktest::run_in_child([&] { k.f(k.n, 1.0); });
    EXPECT_EQ(r.status, 250);
    EXPECT_EQ(r.out, "*** internal error labeled chi2_n_zero in file obj/chi2wert, line " +
                         std::to_string(k.line) + "\n");
  }
}

}  // namespace numeric
