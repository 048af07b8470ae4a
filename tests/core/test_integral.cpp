// Adaptive quadrature: exactness and call counts of the rules, the zero-width
// rules of each entry point, sign under reversed limits, the minimum panel
// width, termination on hostile tolerances and limits, re-entrancy, and the
// parallel version on 1, 2 and 8 worker threads.
//
// The worker pool is process-wide and its size is fixed at its first use, so
// everything that runs parallelintegral7 on the pool runs in a fresh copy of
// this test program started with KTEST_INTEGRAL_THREADS=<n>; that copy does
// its work before the test framework starts, prints its results and ends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/integral.hpp"
#include "core/nspawn.hpp"
#include "testsupport.hpp"

namespace core {

namespace {

constexpr double kEps = 1e-13;

struct Counter {
  long calls = 0;
  std::vector<double> xs;
};

double poly7(void* p, double x) {
  auto* c = static_cast<Counter*>(p);
  ++c->calls;
  c->xs.push_back(x);
  // 1 - 2x + 3x^2 - x^3 + 5x^4 + 0.5x^5 - 7x^6 + 2x^7
  return ((((((2 * x - 7) * x + 0.5) * x + 5) * x - 1) * x + 3) * x - 2) * x + 1;
}
double poly7_integral(double a, double b) {
  auto F = [](double x) {
    return x - x * x + x * x * x - std::pow(x, 4) / 4 + std::pow(x, 5) + std::pow(x, 6) / 12 -
           std::pow(x, 7) + std::pow(x, 8) / 4;
  };
  return F(b) - F(a);
}

double cubic(void* p, double x) {
  auto* c = static_cast<Counter*>(p);
  ++c->calls;
  return ((4 * x - 3) * x + 2) * x - 1;
}

double degree8(void* p, double x) {
  ++static_cast<Counter*>(p)->calls;
  return std::pow(x, 8);
}

double square(void*, double t) { return t * t; }

double peak(void* p, double x) {
  if (p != nullptr) ++static_cast<Counter*>(p)->calls;
  double d = (x - 0.3) / 0.01;
  return 1 / (1 + d * d);
}
// Integral of peak over [a, b].
double peak_integral(double a, double b) {
  return 0.01 * (std::atan((b - 0.3) / 0.01) - std::atan((a - 0.3) / 0.01));
}

// A line a hundred times narrower: its panels lie below 1/4096 of [0, 1].
double narrow_peak(void*, double x) {
  double d = (x - 0.3) / 1e-4;
  return 1 / (1 + d * d);
}
double narrow_peak_integral(double a, double b) {
  return 1e-4 * (std::atan((b - 0.3) / 1e-4) - std::atan((a - 0.3) / 1e-4));
}

double damped(void*, double x) { return std::exp(-x) * std::cos(3 * x); }
double damped_integral(double a, double b) {
  auto F = [](double x) { return std::exp(-x) * (3 * std::sin(3 * x) - std::cos(3 * x)) / 10; };
  return F(b) - F(a);
}

double step(void* p, double x) {
  auto* c = static_cast<Counter*>(p);
  ++c->calls;
  c->xs.push_back(x);
  return x < 1.0 / 3.0 ? 1.0 : 2.0;
}

double nan_everywhere(void*, double) { return std::numeric_limits<double>::quiet_NaN(); }

// A jump whose panels are never accepted by the tolerance: refined down to
// the width and panel-count limits. Slow on the left of the jump, so that
// the workers' values come back out of order.
double jump(void*, double x) {
  if (x < 1.0 / 3.0) {
    volatile double s = 0;
    for (int k = 0; k < 2000; ++k) s = s + 1e-30;
    return 1.0 + s;
  }
  return 2.0;
}

ComplexValue imaginary_unit(void*, double) { return {0, 1}; }
ComplexValue phase(void*, double x) { return {std::cos(x), std::sin(x)}; }

// An integrand of realistic cost for the threaded runs: a few microseconds.
double costly(void*, double x) {
  double s = 0;
  for (int k = 1; k <= 200; ++k) s += std::sin(k * x) / (k * k);
  return s + std::exp(-x);
}

// Abscissae in the order the integrand saw them (the threaded scan-order run).
std::mutex order_mutex;
std::vector<double> order;
double recording_peak(void*, double x) {
  std::lock_guard<std::mutex> lock(order_mutex);
  order.push_back(x);
  return peak(nullptr, x);
}

std::string hex(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%a", v);
  return buf;
}

// The work of a child run on n workers: every parallel result, then the
// abscissae of one run in the order they were evaluated.
struct ChildRun {
  ChildRun() {
    const char* n = std::getenv("KTEST_INTEGRAL_THREADS");
    if (n == nullptr) return;
    nthreads = std::atoi(n);
    std::printf("peak %s\n", hex(parallelintegral7(peak, nullptr, 0, 1, kEps)).c_str());
    std::printf("narrow %s\n", hex(parallelintegral7(narrow_peak, nullptr, 0, 1, kEps)).c_str());
    std::printf("damped %s\n", hex(parallelintegral7(damped, nullptr, 0, 5, kEps)).c_str());
    std::printf("reversed %s\n", hex(parallelintegral7(damped, nullptr, 5, 0, kEps)).c_str());
    std::printf("costly %s\n", hex(parallelintegral7(costly, nullptr, 0, 3, kEps)).c_str());
    std::printf("tiny %s\n", hex(parallelintegral7(damped, nullptr, 0, 1e-310, kEps)).c_str());
    std::printf("zero %s\n", hex(parallelintegral7(damped, nullptr, 2, 2, kEps)).c_str());
    std::printf("badeps %s\n", hex(parallelintegral7(damped, nullptr, 0, 5, -1)).c_str());
    std::printf("nanlimit %s\n",
                hex(parallelintegral7(damped, nullptr, std::nan(""), 1, kEps)).c_str());
    std::printf("jump %s\n", hex(parallelintegral7(jump, nullptr, 0, 1, kEps)).c_str());
    std::printf("nanvalues %s\n",
                hex(parallelintegral7(nan_everywhere, nullptr, 0, 1, kEps)).c_str());
    // From a worker the same panels are evaluated on that worker.
    static double from_worker;
    nspawn(
        [](uint64_t) {
          if (threadid() == 0) from_worker = parallelintegral7(peak, nullptr, 0, 1, kEps);
        },
        0, 0);
    nwait();
    std::printf("fromworker %s\n", hex(from_worker).c_str());
    order.clear();
    parallelintegral7(recording_peak, nullptr, 0, 1, kEps);
    std::printf("order");
    for (double x : order) std::printf(" %s", hex(x).c_str());
    std::printf("\n");
    std::fflush(stdout);
    std::_Exit(0);
  }
} child_run;

std::map<std::string, std::string> run_child(int threads) {
  auto r = ktest::run_program("/proc/self/exe", {}, "",
                              {{"KTEST_INTEGRAL_THREADS", std::to_string(threads)}}, 300);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::map<std::string, std::string> out;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    auto blank = line.find(' ');
    if (blank != std::string::npos) out[line.substr(0, blank)] = line.substr(blank + 1);
  }
  return out;
}

double from_hex(const std::string& s) { return std::strtod(s.c_str(), nullptr); }

}  // namespace

TEST(Quadrature, FirstStepIsExactForItsDegree) {
  // Degree 7 under the seven-point rule: the coarse and fine estimates agree,
  // so the first step costs its 13 calls.
  Counter c;
  double v = integral7(poly7, &c, -0.5, 1.5, kEps);
  EXPECT_EQ(c.calls, 13);
  EXPECT_NEAR(v, poly7_integral(-0.5, 1.5), 1e-13 * std::fabs(v));
  // The seven points first, then the six panel midpoints left to right.
  const double h = 2.0;
  std::vector<double> expect = {-0.5,        -0.5 + h / 6, -0.5 + h / 3, 0.5,
                                1.5 - h / 3, 1.5 - h / 6,  1.5};
  for (int k = 0; k < 6; ++k) expect.push_back((expect[k] + expect[k + 1]) / 2);
  EXPECT_EQ(c.xs, expect);

  // A cubic under Simpson's rule: five calls.
  Counter s;
  double w = integral3(cubic, &s, 0, 2, kEps);
  EXPECT_EQ(s.calls, 5);
  EXPECT_NEAR(w, 16 - 8 + 4 - 2, 1e-13);

  // One degree more needs refinement.
  Counter d;
  EXPECT_NEAR(integral7(degree8, &d, 0, 1, kEps), 1.0 / 9, 1e-14);
  EXPECT_GT(d.calls, 13);

  EXPECT_NEAR(integral7(square, nullptr, 0, 1, kEps), 1.0 / 3, 1e-15);
  ComplexValue i = cintegral7(imaginary_unit, nullptr, 0, 1, kEps);
  EXPECT_EQ(i.re, 0);
  EXPECT_NEAR(i.im, 1, 1e-15);
}

TEST(Quadrature, AdaptiveResultsAgainstClosedForms) {
  struct Case {
    const char* what;
    double a, b, exact;
    Integrand f;
  };
  const Case cases[] = {
      {"narrow peak", 0, 1, peak_integral(0, 1), peak},
      {"damped oscillation", 0, 5, damped_integral(0, 5), damped},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    double scale = std::fabs(k.exact);
    EXPECT_NEAR(integral7(k.f, nullptr, k.a, k.b, kEps), k.exact, 1e-12 * scale);
    EXPECT_NEAR(integral3(k.f, nullptr, k.a, k.b, kEps), k.exact, 1e-11 * scale);
  }
  ComplexValue z = cintegral7(phase, nullptr, 0, 2, kEps);
  EXPECT_NEAR(z.re, std::sin(2.0), 1e-14);
  EXPECT_NEAR(z.im, 1 - std::cos(2.0), 1e-14);
}

TEST(Quadrature, ReversedLimitsNegate) {
  EXPECT_NEAR(integral7(peak, nullptr, 1, 0, kEps), -peak_integral(0, 1), 1e-14);
  EXPECT_NEAR(integral3(peak, nullptr, 1, 0, kEps), -peak_integral(0, 1), 1e-13);
  EXPECT_NEAR(integral7(damped, nullptr, 5, 0, kEps), -integral7(damped, nullptr, 0, 5, kEps),
              1e-15);
  ComplexValue f = cintegral7(phase, nullptr, 0, 2, kEps);
  ComplexValue r = cintegral7(phase, nullptr, 2, 0, kEps);
  EXPECT_NEAR(r.re, -f.re, 1e-15);
  EXPECT_NEAR(r.im, -f.im, 1e-15);
}

TEST(Quadrature, ZeroWidthRulesPerEntryPoint) {
  // integral7 and cintegral7 return 0 for any width below the smallest
  // normal double; integral3 only for equal limits; the parallel version only
  // for a width of exactly 0 (its runs are in the threaded test).
  struct Case {
    double a, b;
    long calls7, calls3;
  };
  const Case cases[] = {
      {0.25, 0.25, 0, 0}, {0, 1e-310, 0, 5}, {1e-310, 0, 0, 5}, {0, 1e-300, 13, 5}};
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << k.a << " .. " << k.b);
    Counter c7, c3;
    double v7 = integral7(cubic, &c7, k.a, k.b, kEps);
    integral3(cubic, &c3, k.a, k.b, kEps);
    EXPECT_EQ(c7.calls, k.calls7);
    EXPECT_EQ(c3.calls, k.calls3);
    if (k.calls7 == 0) {
      EXPECT_EQ(v7, 0.0);
    }
  }
  long complex_calls = 0;
  auto counting = [](void* p, double) -> ComplexValue {
    ++*static_cast<long*>(p);
    return {1, 1};
  };
  ComplexValue z = cintegral7(counting, &complex_calls, 0, 1e-310, kEps);
  EXPECT_EQ(complex_calls, 0);
  EXPECT_EQ(z.re, 0);
  EXPECT_EQ(z.im, 0);
  // The integrand that is 0 everywhere is done after the first step.
  long zero_calls = 0;
  auto zero = [](void* p, double) {
    ++*static_cast<long*>(p);
    return 0.0;
  };
  EXPECT_EQ(integral7(zero, &zero_calls, 0, 1, kEps), 0);
  EXPECT_EQ(zero_calls, 13);
}

TEST(Quadrature, MinimumPanelWidthOfTheSevenPointRule) {
  // A jump never satisfies the tolerance; with eps = 1e-13 and scale 1 the
  // panels around it stop at half-widths of at most about 2.2e-5, i.e. at
  // width 2^-15, whose evaluations lie 2^-15 / 12 apart.
  Counter c;
  double v = integral7(step, &c, 0, 1, kEps);
  EXPECT_NEAR(v, 1.0 / 3 + 2 * (2.0 / 3), 1e-5);
  std::vector<double> xs = c.xs;
  std::sort(xs.begin(), xs.end());
  double smallest = 1;
  for (size_t i = 1; i < xs.size(); ++i) {
    ASSERT_NE(xs[i], xs[i - 1]) << "an abscissa was evaluated twice";
    smallest = std::min(smallest, xs[i] - xs[i - 1]);
  }
  EXPECT_NEAR(smallest, std::ldexp(1.0, -15) / 12, 1e-12);
  // A smaller tolerance gives a larger minimum width.
  Counter tight;
  integral7(step, &tight, 0, 1, 1e-16);
  EXPECT_LT(tight.calls, c.calls);
}

TEST(Quadrature, HostileTolerancesAndLimitsEnd) {
  // A tolerance that no panel can meet, a zero tolerance, NaN: every call
  // ends, smooth integrands keep their value, NaN limits give NaN.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double eps : {-1.0, nan}) {
    SCOPED_TRACE(eps);
    EXPECT_NEAR(integral7(damped, nullptr, 0, 5, eps), damped_integral(0, 5), 1e-13);
    EXPECT_NEAR(integral3(damped, nullptr, 0, 5, eps), damped_integral(0, 5), 1e-10);
    ComplexValue z = cintegral7(phase, nullptr, 0, 2, eps);
    EXPECT_NEAR(z.re, std::sin(2.0), 1e-13);
  }
  // eps = 0 makes the minimum width of the seven-point rules infinite: the
  // first step is accepted as it is. Simpson's minimum width does not depend
  // on eps, so it refines down to its depth cap.
  Counter c;
  double first = integral7(poly7, &c, 0, 5, 0);
  EXPECT_EQ(c.calls, 13);
  EXPECT_NEAR(first, poly7_integral(0, 5), 1e-9 * std::fabs(first));
  EXPECT_NEAR(integral3(damped, nullptr, 0, 5, 0), damped_integral(0, 5), 1e-10);
  EXPECT_TRUE(std::isnan(integral7(damped, nullptr, nan, 1, kEps)));
  EXPECT_TRUE(std::isnan(integral7(damped, nullptr, 0, nan, kEps)));
  EXPECT_TRUE(std::isnan(integral3(damped, nullptr, nan, 1, kEps)));
  EXPECT_TRUE(std::isnan(cintegral7(phase, nullptr, 0, nan, kEps).re));
  EXPECT_TRUE(std::isnan(integral7(nan_everywhere, nullptr, 0, 1, kEps)));
  EXPECT_TRUE(std::isnan(integral3(nan_everywhere, nullptr, 0, 1, kEps)));
}

TEST(Quadrature, NestedAndConcurrentCallsAgree) {
  // An integrand that integrates: the double integral of x*y over [0,1]^2
  // and of the narrow peak times y, on four threads at once.
  auto inner = [](void* p, double y) {
    double x = *static_cast<double*>(p);
    return peak(nullptr, x) * y;
  };
  auto outer = [](void* p, double x) {
    auto g = reinterpret_cast<Integrand>(p);
    return integral7(g, &x, 0, 1, kEps);
  };
  Integrand g = inner;
  double alone = integral7(outer, reinterpret_cast<void*>(g), 0, 1, kEps);
  EXPECT_NEAR(alone, peak_integral(0, 1) / 2, 1e-13);
  double results[4];
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back(
        [&, i] { results[i] = integral7(outer, reinterpret_cast<void*>(g), 0, 1, kEps); });
  for (auto& t : threads) t.join();
  for (double r : results) EXPECT_EQ(r, alone);
}

TEST(Quadrature, ParallelVersionOnOneTwoAndEightWorkers) {
  // The reference: the same panels evaluated on this thread (no workers).
  int saved = nthreads;
  nthreads = 0;
  order.clear();
  double here = parallelintegral7(recording_peak, nullptr, 0, 1, kEps);
  std::vector<double> here_order = order;
  nthreads = saved;
  EXPECT_NEAR(here, peak_integral(0, 1), 1e-14);
  // The root panel's thirteen abscissae come first, in index order.
  ASSERT_GE(here_order.size(), 19u);
  for (int k = 0; k < 13; ++k) EXPECT_NEAR(here_order[k], k / 12.0, 2e-16) << k;

  // A line narrower than 1/4096 of the interval is refined as deeply as the
  // serial rule refines it.
  const double serial_narrow = integral7(narrow_peak, nullptr, 0, 1, kEps);
  EXPECT_NEAR(serial_narrow, narrow_peak_integral(0, 1), 1e-12 * serial_narrow);
  nthreads = 0;
  EXPECT_NEAR(parallelintegral7(narrow_peak, nullptr, 0, 1, kEps), serial_narrow,
              1e-12 * serial_narrow);
  nthreads = saved;

  const double serial_peak = integral7(peak, nullptr, 0, 1, kEps);
  const double serial_costly = integral7(costly, nullptr, 0, 3, kEps);
  for (int threads : {1, 2, 8}) {
    SCOPED_TRACE(threads);
    auto out = run_child(threads);
    ASSERT_EQ(out.count("order"), 1u);
    EXPECT_NEAR(from_hex(out["peak"]), serial_peak, 1e-13 * serial_peak);
    EXPECT_NEAR(from_hex(out["narrow"]), serial_narrow, 1e-12 * serial_narrow);
    EXPECT_NEAR(from_hex(out["damped"]), damped_integral(0, 5), 1e-14);
    EXPECT_NEAR(from_hex(out["reversed"]), -damped_integral(0, 5), 1e-14);
    EXPECT_NEAR(from_hex(out["costly"]), serial_costly, 1e-13 * std::fabs(serial_costly));
    // Only a width of exactly 0 is skipped.
    EXPECT_EQ(from_hex(out["zero"]), 0.0);
    EXPECT_NE(from_hex(out["tiny"]), 0.0);
    EXPECT_NEAR(from_hex(out["badeps"]), damped_integral(0, 5), 1e-13);
    EXPECT_TRUE(std::isnan(from_hex(out["nanlimit"])));
    EXPECT_EQ(from_hex(out["fromworker"]), here);
    if (threads == 1) {
      // One worker: one abscissa at a time, in the scan order.
      std::istringstream in(out["order"]);
      std::vector<double> seen;
      for (std::string s; in >> s;) seen.push_back(from_hex(s));
      EXPECT_EQ(seen, here_order);
    }
  }
}

TEST(Quadrature, ParallelResultsDoNotDependOnTheWorkers) {
  // The panels are accepted or split in the order one thread meets them, so
  // every worker count gives the same result bit for bit, however the
  // workers' values come back.
  int saved = nthreads;
  nthreads = 0;
  const std::map<std::string, double> here = {
      {"peak", parallelintegral7(peak, nullptr, 0, 1, kEps)},
      {"narrow", parallelintegral7(narrow_peak, nullptr, 0, 1, kEps)},
      {"damped", parallelintegral7(damped, nullptr, 0, 5, kEps)},
      {"reversed", parallelintegral7(damped, nullptr, 5, 0, kEps)},
      {"costly", parallelintegral7(costly, nullptr, 0, 3, kEps)},
      {"badeps", parallelintegral7(damped, nullptr, 0, 5, -1)},
      {"jump", parallelintegral7(jump, nullptr, 0, 1, kEps)},
  };
  const bool nan_here = std::isnan(parallelintegral7(nan_everywhere, nullptr, 0, 1, kEps));
  nthreads = saved;
  EXPECT_TRUE(nan_here);
  for (int threads : {2, 3, 8}) {
    SCOPED_TRACE(threads);
    auto out = run_child(threads);
    for (const auto& [name, value] : here) EXPECT_EQ(out[name], hex(value)) << name;
    EXPECT_TRUE(std::isnan(from_hex(out["nanvalues"])));
  }
}

}  // namespace core
