// The instrument-profile program on a measured line-position standard: the
// LaB6 scan (NIST SRM 660b, Cu K-alpha, 10-70 degrees 2theta) with the
// standard's reflections from its certified cell (Pm-3m, a = 4.15691 A). The
// profile written must serve the fitting programs' line-profile model: every
// reflection whose window lies inside the profile's range, fitted with it
// alone (intensity, position, local background), comes back where the
// certificate puts it, and the cell refined from those positions with a zero
// shift and a specimen displacement free is the certified one within 0.001 A.
// The refinement program, given the same profile, refines the whole pattern
// to the certified cell as well.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lintorrun.hpp"
#include "model/modell.hpp"
#include "model/unt.hpp"
#include "numeric/qmin.hpp"
#include "scan/apx63.hpp"
#include "testsupport.hpp"

namespace {
using namespace numeric;
using namespace scan;
using namespace model;

constexpr double kPi = 3.141592653589793;
constexpr double kCell = 0.415691;  // nm
// h^2 + k^2 + l^2 of the reflections inside 10-70 degrees 2theta; 9 stands
// for (300) and (221) together.
const int kSquares[] = {1, 2, 3, 4, 5, 6, 8, 9};

PeakSet* fitted = nullptr;

bool residualfkt(float* r) {
  modell(r, fitted);
  return true;
}

void rowfkt(float* g, int i) { ableitung(g, i, fitted); }

// Solves the 3 x 3 system a x = b in place (Gaussian elimination).
void solve3(double a[3][3], double b[3]) {
  for (int c = 0; c < 3; ++c) {
    for (int r = c + 1; r < 3; ++r) {
      const double f = a[r][c] / a[c][c];
      for (int k = c; k < 3; ++k) a[r][k] -= f * a[c][k];
      b[r] -= f * b[c];
    }
  }
  for (int r = 2; r >= 0; --r) {
    for (int k = r + 1; k < 3; ++k) b[r] -= a[r][k] * b[k];
    b[r] /= a[r][r];
  }
}

// The profile of the scan, made once for the tests below.
class LaB6 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    wp = new lintorrun::Workplace;
    ktest::copy_file(std::string(KALVO_TEST_DATA) + "/LaB6_Jan2018.raw",
                     wp->file("LaB6_Jan2018.raw"));
    std::vector<std::string> records;
    for (int n2 : kSquares) records.push_back(lintorrun::peak(100, std::sqrt(n2) / kCell));
    lintorrun::write_par(wp->file("lab6.par"), records);
    ktest::write_file(wp->file("lab6.sav"),
                      "VAL[1]=LaB6_Jan2018.raw\nSTANDARDPAR=lab6.par\nTITEL=LaB6 SRM 660b\n");
    result = wp->run({}, "lab6");
  }
  static void TearDownTestSuite() {
    delete wp;
    wp = nullptr;
  }
  static lintorrun::Workplace* wp;
  static ktest::RunResult result;
};
lintorrun::Workplace* LaB6::wp = nullptr;
ktest::RunResult LaB6::result;

TEST_F(LaB6, ProfileGivesTheCertifiedCell) {
  ASSERT_EQ(result.status, 0) << result.out;
  lintorrun::GerFile f = lintorrun::parse_ger(ktest::read_file(wp->file("lab6.ger")));
  ASSERT_TRUE(f.wellformed);
  ASSERT_EQ(f.blocks.size(), 8u) << result.out;
  for (const lintorrun::Block& b : f.blocks) EXPECT_GE(b.n, 1) << b.line;

  // The scan read again in the test process, the profile loaded.
  lintorrun::Store st(wp->install.path());
  ScanNameNode node{};
  std::snprintf(node.name, sizeof node.name, "%s", wp->file("LaB6_Jan2018.raw").c_str());
  static char lambda[8001];
  int count = 0;
  float *ps = nullptr, *py = nullptr, *pw = nullptr;
  getval(&node, 7996, lambda, &count, &ps, &py, &pw);
  ASSERT_GT(count, 3000);
  initlam(lambda);
  ger1(wp->file("lab6").c_str());

  // Each reflection alone over +-0.8 degrees 2theta: intensity, position and
  // a background of two coefficients, started at the certified position. The
  // profile is known between the standard's first and last reflection, so
  // these two, whose windows reach beyond, are left out.
  std::vector<double> theta, shift;
  for (int n2 : kSquares) {
    if (n2 == kSquares[0] || n2 == 9) continue;
    const double P = std::sqrt(n2) / kCell;
    const double t = std::asin(P / (2 * l0));
    const float lo = static_cast<float>(std::sin(t - 0.8 * kPi / 360));
    const float hi = static_cast<float>(std::sin(t + 0.8 * kPi / 360));
    std::vector<float> s, y, v;
    for (int k = 0; k < count; ++k)
      if (ps[k] >= lo && ps[k] <= hi) s.push_back(ps[k]), y.push_back(py[k]), v.push_back(pw[k]);
    m = static_cast<int>(s.size());
    sinx = s.data();
    intensitaet = y.data();
    w = v.data();
    hinit();
    unt1(2, sinx, m, nullptr, nullptr);
    float ymin = y[0], ymax = y[0];
    for (float c : y) ymin = std::fmin(ymin, c), ymax = std::fmax(ymax, c);
    peakalloc(nullptr, &fitted, 0, 0, 2, 1, 0, 0);
    fitted->par2[0] = (ymax - ymin) * static_cast<float>(0.001 * 2 * l0 * std::cos(t));
    fitted->par2[1] = static_cast<float>(P);
    fitted->bg[0] = fitted->bg[1] = ymin;
    float* par[] = {&fitted->par2[0], &fitted->par2[1], &fitted->bg[0], &fitted->bg[1]};
    const uint8_t nonneg[] = {1, 0, 0, 0};
    int iterations = 200;
    float ermod = 1e-7f;
    qmin(par, nonneg, 4, m, residualfkt, rowfkt, &iterations, &ermod, false);
    EXPECT_GT(iterations, 1) << "h^2+k^2+l^2 = " << n2;
    theta.push_back(t);
    shift.push_back((fitted->par2[1] - P) / P);
    peakfree(&fitted);
    unt2();
    hfrei();
    sinx = intensitaet = w = nullptr;
    m = 0;
  }
  std::free(ps);
  std::free(py);
  std::free(pw);

  // Each position within two parts in 10^5 of the certificate's.
  for (size_t k = 0; k < shift.size(); ++k)
    EXPECT_LT(std::fabs(shift[k]), 2e-5) << "2theta " << 360 * theta[k] / kPi;

  // The cell with a zero shift Z and a specimen displacement D cos(theta)
  // of 2theta: 2theta_obs = 2theta(a) + Z + D cos(theta), linear in
  // da = a - a_cert through d(2theta)/da = -2 tan(theta) / a.
  double A[3][3] = {}, b[3] = {};
  for (size_t k = 0; k < theta.size(); ++k) {
    const double t = theta[k];
    const double obs = 2 * std::asin(std::sin(t) * (1 + shift[k]));
    const double row[3] = {-2 * std::tan(t) / kCell, 1, std::cos(t)};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) A[i][j] += row[i] * row[j];
      b[i] += row[i] * (obs - 2 * t);
    }
  }
  solve3(A, b);
  const double a = kCell + b[0];
  std::printf(
      "LaB6: a = %.6f A (certificate 4.15691 A), zero shift %.5f deg, displacement %.5f deg\n",
      10 * a, b[1] * 180 / kPi, b[2] * 180 / kPi);
  EXPECT_NEAR(10 * a, 4.15691, 0.001);
}

// The value after "key=" at the start of a line of the list file, NaN when
// missing; its error after "+-", 0 without one.
double listed(const std::string& list, const std::string& key, double* error = nullptr) {
  const size_t at = list.find("\n" + key + "=");
  if (at == std::string::npos) return NAN;
  const char* text = list.c_str() + at + key.size() + 2;
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (error != nullptr)
    *error = std::strncmp(end, "+-", 2) == 0 ? std::strtod(end + 2, nullptr) : 0;
  return v;
}

// The whole pattern between 22 and 67 degrees refined with the profile:
// the shipped control and structure files start the cell 0.1 % high and
// free the scale, the background, the zero shift and the specimen
// displacement.
TEST_F(LaB6, RefinementWithTheProfileGivesTheCertifiedCell) {
  ASSERT_EQ(result.status, 0) << result.out;
  ktest::TempInstall install({"err.msg", "tamrel.cfg", "cu.lam", "afaparm.dat", "bcoh.dat",
                              "weight.mol", "cu.ano", "cu.mdr", "ordanix.dat"});
  const std::string data = KALVO_TEST_DATA;
  ktest::copy_file(data + "/LaB6_refine.sav", wp->file("LaB6_refine.sav"));
  ktest::copy_file(data + "/LaB6.str", wp->file("LaB6.str"));
  ktest::RunResult r =
      ktest::run_program(ktest::program_path("tamrel"), {"LaB6_refine", "SAVE=N", "NTHREADS=3"},
                         wp->work.path(), {{"KALVO", install.path()}});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string list = ktest::read_file(wp->file("LaB6.lst"));
  double error = 0;
  const double a = listed(list, "A", &error);
  const double eps1 = listed(list, "EPS1"), eps2 = listed(list, "EPS2");
  std::printf("LaB6 refined: a = %.6f +- %.6f A, zero shift %.5f deg, displacement %.5f deg\n", a,
              error, 2 * eps1 * 180 / kPi, 2 * eps2 * 180 / kPi);
  // Over 2theta = 22 to 67 degrees the zero shift, the displacement (cos
  // theta) and the cell (tan theta) move the lines nearly alike: the cell's
  // error is of the size of the tolerance.
  EXPECT_GT(error, 0.0) << list;
  EXPECT_NEAR(a, 4.15691, 0.001) << list;
}

}  // namespace
