// The list file's number rule and the error estimates of the final model
// from a given normal matrix: decimals from the error, six significant
// digits without one, UNDEF and ERROR; the scale of the errors, parameters
// at a bound and parameters without influence, a singular matrix.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/frame.hpp"
#include "crystal_harness.hpp"
#include "numeric/qmin8.hpp"
#include "tamrel_final.hpp"
#include "tamrel_listfile.hpp"
#include "tamrelrun.hpp"
#include "testsupport.hpp"

namespace tamrel {
namespace {

using numeric::QminParam;

TEST(TamrelListFile, NumberRule) {
  struct Case {
    double value;
    int state;
    bool witherrors;
    double sigma;
    bool failed;
    const char* text;
    int decimals;
  };
  const std::vector<Case> cases = {
      // Two digits of the error decide the decimals.
      {1.23456, MARK_FREE, true, 0.0123, false, "p=1.235+-0.012\n", 3},
      {1234.6, MARK_FREE, true, 25.0, false, "p=1235+-25\n", 0},
      {1234.6, MARK_FREE, true, 250.0, false, "p=1235+-250\n", 0},
      {0.5, MARK_FREE, true, 0.95, false, "p=0.50+-0.95\n", 2},
      {-2.5e-4, MARK_FREE, true, 1.04e-5, false, "p=-0.000250+-0.000010\n", 6},
      // At a bound, or no covariance: six significant digits, no error.
      {1.23456, MARK_ATBOUND, true, 0.0123, false, "p=1.23456\n", 5},
      {1.23456, MARK_FREE, false, 0.0123, false, "p=1.23456\n", 5},
      {123456.7, MARK_ATBOUND, true, 0.0, false, "p=123457\n", 0},
      {0.000123456, MARK_ATBOUND, true, 0.0, false, "p=0.000123456\n", 9},
      {0.0, MARK_ATBOUND, true, 0.0, false, "p=0\n", 0},
      // No influence on the fit: UNDEF only where errors are known.
      {1.0, MARK_INSENSITIVE, true, 6.7e152, false, "p=UNDEF\n", -1},
      {1.0, MARK_INSENSITIVE, false, 0.0, false, "p=1.00000\n", 5},
      // A failed goal whatever its state.
      {1.0, MARK_FREE, true, 0.1, true, "p=ERROR\n", -1},
  };
  for (const Case& c : cases) {
    int32_t d = 99;
    EXPECT_EQ(numbertext("p", c.value, c.state, c.witherrors, c.sigma, c.failed, &d), c.text)
        << c.value << " +- " << c.sigma;
    EXPECT_EQ(d, c.decimals) << c.text;
  }
}

// Each atom of the list names its elements with their occupancies; an atom
// read with texts of its structure-factor sets (of its reflection sets
// without FMult) keeps them in front, an empty one where a set has none, as
// the structure file gave them.
TEST(TamrelListFile, AtomsKeepTheirTextsOfTheSets) {
  struct Case {
    const char* head;
    const char* atoms;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"RefMult=2",
       "E(,0.5)=Si Wyckoff=a\nE=Si Wyckoff=b\n",
       {"  8 a    0.1250  0.1250  0.1250     E(,0.5)=(Si(1.0000))",
        "  8 b    0.3750  0.3750  0.3750     E=(Si(1.0000))"}},
      {"RefMult=2 FMult=3",
       "E((1),,0.25*2)=Si(0.75),Ge Wyckoff=a\n",
       {"  8 a    0.1250  0.1250  0.1250     E((1),,0.25*2)=(Si(0.7500),Ge(0.2500))"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    trun::Workplace wp;
    wp.write("p.str",
             std::string("PHASE=Si SpacegroupNo=227 A=0.5431 GEWICHT=SPHAR0 B1=0.01 B2=0.0001 ") +
                 c.head + "\n" + c.atoms);
    ktest::RunResult r = wp.run({"LAMBDA=CU", "STRUC[1]=p", "LIST=p"});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<std::string> list = trun::lines(wp.read("p.lst"));
    for (const std::string& line : c.lines)
      EXPECT_NE(std::find(list.begin(), list.end(), line), list.end()) << wp.read("p.lst");
  }
}

// Parameters with their values and bounds for the covariance.
struct Params {
  std::vector<double> values;
  std::vector<QminParam> rec;
  explicit Params(std::vector<double> v, std::vector<std::pair<double, double>> bounds)
      : values(std::move(v)) {
    for (size_t k = 0; k < values.size(); ++k)
      rec.push_back({"p", nullptr, nullptr, -1, &values[k], bounds[k].first, bounds[k].second});
  }
};

TEST(TamrelFinal, ErrorsFromTheInverseNormalMatrix) {
  // N = [[4, 2], [2, 3]]: the inverse is [[3, -2], [-2, 4]] / 8.
  Params p({1.0, 2.0}, {{-10, 10}, {-10, 10}});
  FinalModel fm;
  fm.N = {4, 2, 3};
  fm.n = fm.informative = 100;
  fm.S = 90;  // below dof + 3 sqrt(2 dof) = 98 + 42: errors unscaled
  covariance(fm, p.rec.data(), 2);
  ASSERT_TRUE(fm.covariance);
  EXPECT_EQ(fm.g, 1.0);
  EXPECT_NEAR(fm.sigma(0), std::sqrt(3.0 / 8), 1e-12);
  EXPECT_NEAR(fm.sigma(1), std::sqrt(4.0 / 8), 1e-12);
  EXPECT_EQ(fm.marks, (std::vector<uint8_t>{MARK_FREE, MARK_FREE}));

  fm.S = 400;  // a misfit scales every error by sqrt(S / dof)
  covariance(fm, p.rec.data(), 2);
  EXPECT_NEAR(fm.g, std::sqrt(400.0 / 98), 1e-12);
  EXPECT_NEAR(fm.sigma(0), std::sqrt(400.0 / 98) * std::sqrt(3.0 / 8), 1e-12);

  // Not more informative residuals than parameters: g stays 1 whatever S.
  fm.informative = 2;
  covariance(fm, p.rec.data(), 2);
  EXPECT_EQ(fm.g, 1.0);
}

TEST(TamrelFinal, BoundAndInsensitiveParameters) {
  // The first parameter sits on its lower bound: error 0, and the second is
  // determined as if the first were fixed (1/N_11).
  Params p({0.0, 2.0}, {{0, 10}, {-10, 10}});
  FinalModel fm;
  fm.N = {4, 2, 3};
  fm.n = fm.informative = 10;
  covariance(fm, p.rec.data(), 2);
  EXPECT_EQ(fm.marks, (std::vector<uint8_t>{MARK_ATBOUND, MARK_FREE}));
  EXPECT_EQ(fm.sigma(0), 0.0);
  EXPECT_NEAR(fm.sigma(1), std::sqrt(1.0 / 3), 1e-9);

  // The fit does not depend on the first parameter: a huge error.
  Params q({1.0, 2.0}, {{-10, 10}, {-10, 10}});
  fm.N = {0, 0, 3};
  covariance(fm, q.rec.data(), 2);
  EXPECT_EQ(fm.marks[0], MARK_INSENSITIVE);
  EXPECT_NEAR(fm.sigma(0) / 6.7e152, 1.0, 0.01);
  EXPECT_NEAR(fm.sigma(1), std::sqrt(1.0 / 3), 1e-9);
}

TEST(TamrelFinal, MatrixThatCannotBeInvertedWarnsAndGivesNoErrors) {
  // Exactly dependent columns are kept apart by the regularisation; a matrix
  // whose factorisation meets a non-positive pivot is refused.
  Params p({1.0, 2.0}, {{-10, 10}, {-10, 10}});
  FinalModel fm;
  fm.N = {1, 1, 1};
  fm.n = fm.informative = 10;
  covariance(fm, p.rec.data(), 2);
  EXPECT_TRUE(fm.covariance);
  fm.N = {1, 2, 1};
  fm.n = fm.informative = 10;
  ktest::CrystalInstall install;
  testing::internal::CaptureStdout();
  covariance(fm, p.rec.data(), 2);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(fm.covariance);
  EXPECT_EQ(fm.sigma(0), 0.0);
  EXPECT_NE(out.find(ktest::message(225)), std::string::npos) << out;
}

TEST(TamrelFinal, OneMinusRhoLine) {
  struct Case {
    double rho;
    const char* text;
  };
  const std::vector<Case> cases = {
      {1.0, "1-rho=0%\n"},  // a perfect fit
      {0.95, "1-rho=5.00%\n"},
      {0.9994, "1-rho=0.0600%\n"},
      {0.0, "1-rho=100%\n"},
  };
  for (const Case& c : cases) {
    char buf[64];
    FILE* f = fmemopen(buf, sizeof buf, "w");
    printrho(f, c.rho);
    std::fclose(f);
    EXPECT_STREQ(buf, c.text) << c.rho;
  }
}

}  // namespace
}  // namespace tamrel
