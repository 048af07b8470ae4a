// The texture-order decision of the significance analysis: each order
// tested against its limit when given, else against the number of
// coefficients the Laue class admits, lowering step by step with warning 51.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crystal_harness.hpp"
#include "tamrel_stages.hpp"
#include "testsupport.hpp"

namespace tamrel {
namespace {

using namespace crystal;
using ktest::message;

TEST(TamrelStages, CoefficientCountsOfTheLaueClasses) {
  // Orders 0..10 of the lowest and the highest symmetry: (n+1)(n+2)/2 for
  // triclinic, and the cubic counts of the symmetric harmonics.
  const std::vector<int> triclinic = {1, 6, 15, 28, 45, 66}, cubic = {1, 1, 2, 3, 4, 5};
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(zaehligkeit[0][k], triclinic[static_cast<size_t>(k)]);
    EXPECT_EQ(zaehligkeit[10][k], cubic[static_cast<size_t>(k)]);
  }
  for (int laue = 0; laue < 11; ++laue)
    for (int k = 1; k < 6; ++k) EXPECT_GE(zaehligkeit[laue][k], zaehligkeit[laue][k - 1]);
}

TEST(TamrelStages, TextureOrderKeptOrLowered) {
  ktest::CrystalInstall install;
  ktest::RunScope scope;
  ktest::PhaseList phases;
  struct Case {
    std::vector<std::string> header;
    int kind, laue;
    double q, N;
    int result;
    std::vector<std::string> warnings;
  };
  const std::vector<Case> cases = {
      // Enough free parameters and significance: every order kept.
      {{}, TEXTURE_SPHAR10, 2, 1e6, 1e6, TEXTURE_SPHAR10, {}},
      // Too few data (N = q = 0): straight to SPHAR0.
      {{}, TEXTURE_SPHAR4, 2, 0, 0, TEXTURE_SPHAR0, {message(51, 1, "SPHAR4", "SPHAR0")}},
      // Orthorhombic: 3 coefficients up to order 2, 6 up to order 4, 10 up
      // to order 6; the order 4 needs also q >= 3 x 6.
      {{}, TEXTURE_SPHAR6, 2, 100, 7, TEXTURE_SPHAR4, {message(51, 1, "SPHAR6", "SPHAR4")}},
      {{}, TEXTURE_SPHAR6, 2, 17, 20, TEXTURE_SPHAR2, {message(51, 1, "SPHAR6", "SPHAR2")}},
      // Cubic: order 2 is tested against the count of order 4.
      {{}, TEXTURE_SPHAR2, 10, 100, 1.5, TEXTURE_SPHAR0, {message(51, 1, "SPHAR2", "SPHAR0")}},
      {{}, TEXTURE_SPHAR2, 10, 100, 2.5, TEXTURE_SPHAR2, {}},
      // A given limit replaces the counts: LIMIT2 = 0 keeps order 2 even
      // without data, LIMIT6 above q lowers order 6.
      {{"LIMIT2=0"}, TEXTURE_SPHAR2, 2, 0, 0, TEXTURE_SPHAR2, {}},
      {{"LIMIT6=50"},
       TEXTURE_SPHAR8,
       2,
       40,
       1e6,
       TEXTURE_SPHAR4,
       {message(51, 1, "SPHAR8", "SPHAR4")}},
  };
  for (const Case& c : cases) {
    PhaseRecord* ph = ktest::make_phase(c.header);
    ph->number = 1;
    testing::internal::CaptureStdout();
    const int kind = textureorder(ph, c.kind, c.laue, c.q, c.N);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(kind, c.result) << texturname[c.kind] << " q=" << c.q << " N=" << c.N;
    std::string expected;
    for (const std::string& w : c.warnings) expected += w;
    EXPECT_EQ(out, expected);
    ktest::free_phases();
  }
}

}  // namespace
}  // namespace tamrel
