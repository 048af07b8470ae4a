// The least-squares minimisers qmin (float parameters through pointers,
// lower limit 0) and qmin8 (double parameters in closed ranges): noise-free
// fits of two model families, fits that end on a limit, refused starts with
// their messages, the extra pass after convergence at the cap of the damping,
// and the verbose iteration table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/nspawn.hpp"
#include "numeric/qmin.hpp"
#include "numeric/qmin8.hpp"
#include "testsupport.hpp"

namespace numeric {
using namespace core;

namespace {

// Standard output of fn, captured in this process (the worker pool cannot
// follow a fork).
std::string capture(const std::function<void()>& fn) {
  std::fflush(stdout);
  ktest::TempDir dir;
  std::string path = dir.file("stdout");
  int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  int saved = dup(1);
  dup2(fd, 1);
  fn();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  close(fd);
  return ktest::read_file(path);
}

// --- Models, in float for qmin and in double for qmin8 ---------------------
// Family 0: a e^(-k x) + c on x = 0 .. 4. Family 1: squared Lorentzian
// I / (1 + ((x - x0)/w)^2)^2 on x = -3 .. 3.
constexpr int kPoints = 41;
int family = 0;
double truth[3];

double xval(int i) { return family == 0 ? 4.0 * i / (kPoints - 1) : -3 + 6.0 * i / (kPoints - 1); }

double model(const double* q, double x) {
  if (family == 0) return q[0] * std::exp(-q[1] * x) + q[2];
  double u = (x - q[1]) / q[2];
  double t = 1 + u * u;
  return q[0] / (t * t);
}

void gradient(const double* q, double x, double* g) {
  if (family == 0) {
    double e = std::exp(-q[1] * x);
    g[0] = e;
    g[1] = -q[0] * x * e;
    g[2] = 1;
    return;
  }
  double u = (x - q[1]) / q[2];
  double t = 1 + u * u;
  g[0] = 1 / (t * t);
  double dt = -2 * q[0] / (t * t * t);  // d model / d t
  g[1] = dt * 2 * u * (-1 / q[2]);
  g[2] = dt * 2 * u * (-u / q[2]);
}

// qmin's parameters.
float fpar[3];
float* fptr[3] = {&fpar[0], &fpar[1], &fpar[2]};
int res_calls = 0;
bool refuse_all = false;

bool fres(float* r) {
  ++res_calls;
  if (refuse_all) return false;
  double q[3] = {fpar[0], fpar[1], fpar[2]};
  for (int i = 0; i < kPoints; ++i)
    r[i] = static_cast<float>(model(q, xval(i)) - model(truth, xval(i)));
  return true;
}

void frow(float* g, int i) {
  double q[3] = {fpar[0], fpar[1], fpar[2]}, d[3];
  gradient(q, xval(i), d);
  for (int k = 0; k < 3; ++k) g[k] = static_cast<float>(d[k]);
}

// qmin8's parameters.
double dpar[3];
QminParam recs[3];
double qplus_value = 0;
int goal_calls = 0;

bool dgoal(int* m, float** r) {
  ++goal_calls;
  if (refuse_all) return false;
  std::free(*r);
  *m = kPoints;
  *r = static_cast<float*>(std::malloc(sizeof(float) * kPoints));
  for (int i = 0; i < kPoints; ++i)
    (*r)[i] = static_cast<float>(model(dpar, xval(i)) - model(truth, xval(i)));
  return true;
}

void drow(float* g, int i) {
  double d[3];
  gradient(dpar, xval(i), d);
  for (int k = 0; k < 3; ++k) g[k] = static_cast<float>(d[k]);
}

void set_records(const double* start, double lo = -1e30, double hi = 1e30) {
  for (int k = 0; k < 3; ++k) {
    dpar[k] = start[k];
    recs[k] = QminParam{"p", nullptr, nullptr, k, &dpar[k], lo, hi};
  }
}

class Minimisers : public testing::Test {
 protected:
  void SetUp() override {
    // The builder runs its passes on this thread; the pool stays untouched.
    saved_ = nthreads;
    nthreads = 0;
    refuse_all = false;
    res_calls = goal_calls = 0;
    gammamult = 0.9f;
  }
  void TearDown() override { nthreads = saved_; }
  int saved_ = 1;
};

struct Fit {
  int family;
  double truth[3], start[3];
};
const Fit kFits[] = {
    {0, {3, 1.3, 0.5}, {1, 0.5, 0}},
    {1, {5, 0.3, 0.7}, {3, 0, 1.2}},
};

}  // namespace

TEST_F(Minimisers, NoiseFreeFitsRecoverTheParameters) {
  for (const auto& f : kFits) {
    SCOPED_TRACE(f.family);
    family = f.family;
    for (int k = 0; k < 3; ++k) truth[k] = f.truth[k];

    for (int k = 0; k < 3; ++k) fpar[k] = static_cast<float>(f.start[k]);
    uint8_t nonneg[3] = {0, 0, 0};
    int it = 200;
    float ermod = 1e-12f;
    qmin(fptr, nonneg, 3, kPoints, fres, frow, &it, &ermod, false);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(fpar[k], f.truth[k], 2e-5 * std::fabs(f.truth[k]));
    EXPECT_GE(it, 2);
    EXPECT_LT(ermod, 1e-8);

    set_records(f.start);
    it = 200;
    double em = 1e-24, moderror = 1e-20;
    // The progress is told of the start and of each accepted step, in
    // order, with the residuals whose sum of squares it is given.
    static std::vector<double> told;
    static bool consistent;
    told.clear();
    consistent = true;
    auto progress = [](int iteration, const float* r, int m, double twos) {
      double sum = 0;
      for (int i = 0; i < m; ++i) sum += static_cast<double>(r[i]) * r[i];
      consistent = consistent && iteration == static_cast<int>(told.size()) && m == kPoints &&
                   std::fabs(sum - twos) <= 1e-6 * twos + 1e-30;
      told.push_back(twos);
    };
    int result = qmin8(recs, 3, dgoal, drow, nullptr, &it, &em, &moderror, false, progress);
    EXPECT_EQ(result, 0);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(dpar[k], f.truth[k], 2e-5 * std::fabs(f.truth[k]));
    EXPECT_LT(em, 1e-8);
    EXPECT_TRUE(consistent);
    ASSERT_EQ(static_cast<int>(told.size()), it);
    EXPECT_EQ(told.back(), em);
    for (size_t k = 1; k < told.size(); ++k) EXPECT_LT(told[k], told[k - 1]) << k;
  }
}

TEST_F(Minimisers, BoundedFitsEndOnTheirLimits) {
  // The true offset c = -0.4 lies below the limit.
  family = 0;
  const double t[3] = {3, 1.3, -0.4};
  for (int k = 0; k < 3; ++k) truth[k] = t[k];

  // qmin: a non-negative parameter ends at 0.
  const float start[3] = {2, 1, 0.3f};
  for (int k = 0; k < 3; ++k) fpar[k] = start[k];
  uint8_t nonneg[3] = {0, 0, 1};
  int it = 200;
  float ermod = 1e-10f;
  qmin(fptr, nonneg, 3, kPoints, fres, frow, &it, &ermod, false);
  EXPECT_GE(fpar[2], 0.0f);
  EXPECT_LE(fpar[2], 1e-6f);

  // qmin8: the limit itself, bit for bit, and marked in the end table.
  const double dstart[3] = {2, 1, 0.3};
  set_records(dstart);
  recs[2].min = -0.1;
  it = 200;
  double em = 1e-20, moderror = 1e-20;
  std::string out =
      capture([&] { qmin8(recs, 3, dgoal, drow, nullptr, &it, &em, &moderror, true); });
  EXPECT_EQ(dpar[2], -0.1);
  EXPECT_NE(out.find("-1.0000000E-01*"), std::string::npos) << out;
}

TEST_F(Minimisers, RefusedStartsAndTheirMessages) {
  family = 0;
  const double t[3] = {3, 1.3, 0.5};
  for (int k = 0; k < 3; ++k) truth[k] = t[k];

  // qmin: a flagged parameter below 0 (-0.0 is admissible), with or without
  // verbose; the residual function is called in any case.
  fpar[0] = 1;
  fpar[1] = -0.0f;
  fpar[2] = -1e-30f;
  uint8_t flags[3] = {1, 1, 1};
  int it = 50;
  float ermod = 0.125f;
  std::string out = capture([&] { qmin(fptr, flags, 3, kPoints, fres, frow, &it, &ermod, false); });
  EXPECT_EQ(out, "*** qmin: 3. parameter out of range\n");
  EXPECT_EQ(it, 0);
  EXPECT_EQ(ermod, 0.125f);
  EXPECT_EQ(res_calls, 1);
  EXPECT_EQ(fpar[2], -1e-30f);

  fpar[2] = 0.5f;
  refuse_all = true;
  it = 50;
  out = capture([&] { qmin(fptr, flags, 3, kPoints, fres, frow, &it, &ermod, false); });
  EXPECT_EQ(out, "*** qmin: start point out of range\n");
  EXPECT_EQ(it, 0);
  EXPECT_EQ(ermod, 0.125f);
  refuse_all = false;

  // qmin8: messages only with verbose; the start values stay.
  struct Case {
    const char* what;
    double value, min, max;
    bool refuse;
    double qplus;
    const char* message;
  };
  const double inf = INFINITY;
  const Case cases[] = {
      {"a hair below its minimum", std::nextafter(1.0, 0.0), 1, 2, false, 0,
       "*** qmin8: 2. parameter out of range\n"},
      {"a hair above its maximum", std::nextafter(2.0, 3.0), 1, 2, false, 0,
       "*** qmin8: 2. parameter out of range\n"},
      {"not finite", NAN, 1, 2, false, 0, "*** qmin8: 2. parameter not finite\n"},
      {"infinite", inf, -inf, inf, false, 0, "*** qmin8: 2. parameter not finite\n"},
      {"goal refuses", 1.5, 1, 2, true, 0, "***qmin8: start point out of range\n"},
      {"start value not finite", 1.5, 1, 2, false, inf, "***qmin8: start value not finite\n"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    for (bool verbose : {false, true}) {
      const double start[3] = {3, k.value, 0.5};
      set_records(start);
      recs[1].min = k.min;
      recs[1].max = k.max;
      refuse_all = k.refuse;
      qplus_value = k.qplus;
      int iters = 30;
      double em = 0.25, moderror = 1e-6;
      int result = 99;
      out = capture([&] {
        result = qmin8(recs, 3, dgoal, drow, &qplus_value, &iters, &em, &moderror, verbose);
      });
      EXPECT_EQ(result, 0);
      EXPECT_EQ(iters, 0);
      EXPECT_EQ(em, 0.25);
      EXPECT_EQ(std::memcmp(&dpar[1], &k.value, sizeof(double)), 0);
      if (verbose) {
        EXPECT_NE(out.find(k.message), std::string::npos) << out;
      } else {
        EXPECT_EQ(out, "");
      }
    }
  }
  refuse_all = false;
  qplus_value = 0;
  // Exactly at the limits is admissible.
  const double edge[3] = {3, 1, 2};
  set_records(edge);
  recs[1].min = 1;
  recs[1].max = 1.5;
  recs[2].min = 0;
  recs[2].max = 2;
  int iters = 0;
  double em = -1, moderror = 1e-6;
  EXPECT_EQ(qmin8(recs, 3, dgoal, drow, nullptr, &iters, &em, &moderror, false), 0);
  EXPECT_EQ(iters, 1);  // no iteration allowed: 1, and 2S at the start point
  EXPECT_GT(em, 0);
}

TEST_F(Minimisers, NoIterationsAndNoResiduals) {
  family = 0;
  const double t[3] = {3, 1.3, 0.5};
  for (int k = 0; k < 3; ++k) truth[k] = t[k];
  for (int k = 0; k < 3; ++k) fpar[k] = 1;
  uint8_t nonneg[3] = {0, 0, 0};
  int it = 10;
  float ermod = 0.5f;
  qmin(
      fptr, nonneg, 3, 0, [](float*) { return true; }, frow, &it, &ermod, false);
  EXPECT_EQ(it, 1);
  EXPECT_EQ(ermod, 0.0f);
  it = 0;
  qmin(fptr, nonneg, 3, kPoints, fres, frow, &it, &ermod, false);
  EXPECT_EQ(it, 1);
  EXPECT_GT(ermod, 0.0f);
  // n < 1.
  it = 10;
  qmin(fptr, nonneg, 0, kPoints, fres, frow, &it, &ermod, false);
  EXPECT_EQ(it, 0);
  double em = 1, moderror = 1;
  it = 10;
  EXPECT_EQ(qmin8(recs, 0, dgoal, drow, nullptr, &it, &em, &moderror, false), 0);
  EXPECT_EQ(it, 0);
  // The predicted decrease is already below the threshold: no trial.
  const double start[3] = {3, 1.3, 0.5000001};
  set_records(start);
  it = 10;
  em = 1e3;
  goal_calls = 0;
  EXPECT_EQ(qmin8(recs, 3, dgoal, drow, nullptr, &it, &em, &moderror, false), 0);
  EXPECT_EQ(it, 1);
  EXPECT_EQ(goal_calls, 1);
}

// Two fits that can never leave their start point, so that only the
// threshold ends the step search: every trial point refused, or a derivative
// of the wrong sign (every step goes uphill). A negative threshold (or NaN)
// must act as 0 and both minimisers must return with the start point; each
// runs in a child process, so that a fault ends in its time limit instead of
// hanging the test program.
namespace {
double one_p;  // the one parameter of qmin8's fit
float one_fp;  // and of qmin's
int one_calls = 0;
bool refuse_trials = false;
float one_residual() { return static_cast<float>(one_p - 1); }
bool one_res(float* r) {
  if (refuse_trials && one_calls++ > 0) return false;
  r[0] = one_residual();
  return true;
}
bool one_goal(int* m, float** r) {
  std::free(*r);
  *m = 1;
  *r = static_cast<float*>(std::malloc(sizeof(float)));
  return one_res(*r);
}
bool one_fres(float* r) {
  one_p = one_fp;
  return one_res(r);
}
// Uphill: the true derivative is +1.
void one_row(float* g, int) { g[0] = refuse_trials ? 1.0f : -1.0f; }
}  // namespace

TEST_F(Minimisers, NegativeThresholdActsAsZero) {
  for (bool refused : {true, false}) {
    for (double threshold : {-1.0, -1e30, static_cast<double>(NAN)}) {
      SCOPED_TRACE(testing::Message()
                   << (refused ? "refused trials " : "uphill steps ") << threshold);
      auto r = ktest::run_in_child(
          [&] {
            refuse_trials = refused;
            one_fp = 3;
            float* pp = &one_fp;
            uint8_t nonneg = 0;
            int it = 10;
            float ermod = static_cast<float>(threshold);
            one_calls = 0;
            qmin(&pp, &nonneg, 1, 1, one_fres, one_row, &it, &ermod, false);
            std::printf("qmin %d %g\n", it, static_cast<double>(one_fp));
            std::fflush(stdout);

            one_p = 3;
            QminParam rec{"p", nullptr, nullptr, 0, &one_p, -10, 10};
            it = 10;
            double em = threshold, moderror = 1e-6;
            one_calls = 0;
            int k = qmin8(&rec, 1, one_goal, one_row, nullptr, &it, &em, &moderror, false);
            std::printf("qmin8 %d %d %g\n", k, it, one_p);
          },
          20);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.out, "qmin 1 3\nqmin8 0 1 3\n");
    }
  }
}

TEST_F(Minimisers, NonFiniteNormalMatrixEndsWithTheParameterIndex) {
  family = 0;
  const double t[3] = {3, 1.3, 0.5};
  for (int k = 0; k < 3; ++k) truth[k] = t[k];
  const double start[3] = {2, 1, 0.25};
  set_records(start);
  auto nan_row = [](float* g, int i) {
    drow(g, i);
    if (i == 7) g[1] = NAN;
  };
  int it = 20;
  double em = 1e-20, moderror = 1e-20;
  EXPECT_EQ(qmin8(recs, 3, dgoal, nan_row, nullptr, &it, &em, &moderror, false), 2);
  EXPECT_EQ(dpar[0], 2);
  EXPECT_EQ(dpar[1], 1);
  EXPECT_EQ(dpar[2], 0.25);
}

TEST_F(Minimisers, BadStepFactorIsAnInternalError) {
  for (float bad : {1.0f, 0.0f, -0.5f}) {
    auto r = ktest::run_in_child([bad] {
      gammamult = bad;
      float p = 1;
      float* pp = &p;
      uint8_t flag = 0;
      int it = 5;
      float ermod = 0;
      qmin(
          &pp, &flag, 1, 1, [](float*) { return true; }, [](float*, int) {}, &it, &ermod, false);
    });
    EXPECT_EQ(r.status, 250);
    EXPECT_EQ(r.out, "*** internal error labeled gammamult in file obj/qmin, line 78\n");
  }
}

// --- The extra pass after convergence at the cap ----------------------------
// One parameter, a steep linear residual and a cliff: the first trial lands
// beyond the cliff and is rejected, the damping goes to its cap, where the
// damped diagonal overflows and the step fails: converged at the cap, so one
// more pass follows. That pass must see the residuals of the accepted point,
// not those of the rejected trial.
namespace {
double cliff_p;
double last_goal_point;
bool stale_row = false;
constexpr float kSlope = 1.41421356e19f;  // slope^2 = 2e38: damping 1 overflows

bool cliff_goal(int* m, float** r) {
  last_goal_point = cliff_p;
  std::free(*r);
  *m = 1;
  *r = static_cast<float*>(std::malloc(sizeof(float)));
  (*r)[0] = static_cast<float>(kSlope * (cliff_p - 0.5) + (cliff_p < 0.5 + 6e-11 ? 1e10 : 0.0));
  return true;
}
void cliff_row(float* g, int) {
  if (cliff_p != last_goal_point) stale_row = true;
  g[0] = kSlope;
}
}  // namespace

TEST_F(Minimisers, ExtraPassUsesTheResidualsOfTheAcceptedPoint) {
  const double start = 0.5 + 7e-11;
  cliff_p = start;
  stale_row = false;
  QminParam rec{"p", nullptr, nullptr, 0, &cliff_p, -10, 10};
  int it = 5;
  double em = 1e-3, moderror = 1e-6;
  int result = qmin8(&rec, 1, cliff_goal, cliff_row, nullptr, &it, &em, &moderror, false);
  EXPECT_FALSE(stale_row);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(cliff_p, start);
  EXPECT_EQ(it, 1);
}

TEST_F(Minimisers, VerboseTables) {
  family = 0;
  const double t[3] = {3, 1.3, 0.5};
  for (int k = 0; k < 3; ++k) truth[k] = t[k];
  for (int k = 0; k < 3; ++k) fpar[k] = static_cast<float>(kFits[0].start[k]);
  uint8_t nonneg[3] = {0, 0, 1};
  int it = 4;
  float ermod = 1e-6f;
  std::string out = capture([&] { qmin(fptr, nonneg, 3, kPoints, fres, frow, &it, &ermod, true); });
  EXPECT_EQ(out,
            "\n"
            "-------------------------------------------------------------------------------\n"
            "M=  41  N=  3  IT=    4  ERMOD=  0.000001\n"
            "    0   3.011849E+01 \n"
            "    1   2.697961E+00   5.794E+01  1.000E-02       1.000 \n"
            "    2   7.061717E-01   4.979E+00  3.168E-02       1.000 \n"
            "    3   1.532760E-02   1.306E+00  1.175E-01       1.000 \n"
            "    4   6.860319E-05   2.916E-02  2.351E-02       1.000 \n"
            " 2.9956486E+00  1.2961307E+00  4.9957728E-01 \n"
            "-------------------------------------------------------------------------------\n");

  set_records(kFits[0].start);
  recs[2].min = 0;
  it = 4;
  double em = 1e-6, moderror = 1e-6;
  out = capture([&] { qmin8(recs, 3, dgoal, drow, nullptr, &it, &em, &moderror, true); });
  EXPECT_EQ(out,
            "\n"
            "-------------------------------------------------------------------------------\n"
            "N=  3  IT=    4\n"
            "    0   3.011849E+01 \n"
            "    1   2.408071E+00   5.129E+01   1.000E-01       1.000 \n"
            "    2   2.383441E-02   4.561E+00   2.023E-02       1.000 \n"
            "    3   7.949529E-06   4.717E-02   4.046E-03       1.000 \n"
            "    4   2.685105E-11   1.587E-05   8.092E-04       1.000 \n"
            " 2.9999971E+00  1.3000003E+00  5.0000092E-01 \n"
            "-------------------------------------------------------------------------------\n");
}

}  // namespace numeric
