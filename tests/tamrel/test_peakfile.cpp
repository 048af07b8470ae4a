// The peak-parameter file written from the refined reflections and read back
// by the suite's reader: the header items in their order, each text once
// with its blanks escaped, the corrections EPS1..EPS4, the peak records with
// their breadth precision and items, the background record without a line
// end.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "crystal/tamrel.hpp"
#include "crystal_harness.hpp"
#include "model/gerneu.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "model/parfile.hpp"
#include "scan/apx63.hpp"
#include "tamrel.hpp"
#include "tamrel_final.hpp"
#include "tamrel_peakfile.hpp"
#include "testsupport.hpp"

namespace tamrel {
namespace {

using namespace crystal;

// A reflection of a phase with one structure-factor record (and the inverse's
// when inverse is set).
ReflectionRecord* reflection(PhaseRecord* ph, std::vector<int> hkl, double intensity,
                             double position, double b1, bool inverse, bool used = true) {
  auto* r = newreflection(position * position, 0);
  r->intensity = intensity;
  r->position = r->skshift = position;
  r->B1 = b1;
  r->used = used ? 1 : 0;
  r->fr1 = newfrecord(12.5, 0);
  r->fr1->hkl = static_cast<int32_t(*)[3]>(std::calloc(1, sizeof(int32_t[3])));
  for (int i = 0; i < 3; ++i) r->fr1->hkl[0][i] = hkl[static_cast<size_t>(i)];
  r->fr1->nequiv = 6;
  r->fr1->gewicht = 1.0;
  if (inverse) {
    r->fr2 = newfrecord(12.5, 0);
    r->fr2->nequiv = 6;
    r->fr2->gewicht = 1.0;
    r->count = 2;
  }
  ph->refl = static_cast<ReflectionRecord**>(
      // An array of pointers to the reflections.
      // NOLINTNEXTLINE(bugprone-sizeof-expression)
      std::realloc(ph->refl, sizeof(ReflectionRecord*) * static_cast<size_t>(ph->nrefl + 1)));
  ph->refl[ph->nrefl++] = r;
  return r;
}

class TamrelPeakFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ktest::write_file(dir.file("inst.ger"), "TITEL=test\nTHETA=25 N=1\n1 0 0.0006\n");
    model::ger1(dir.file("inst").c_str());
    savedl0 = model::l0;
    model::l0 = 6.4879;  // copper K alpha 1, nm^-1
  }
  void TearDown() override {
    model::l0 = savedl0;
    model::ger2();
    model::peakfree(&param);
    std::free(tu);
    tu = nullptr;
    freeglobals();
    scan::cutfree();
    core::setpol(false);
    runstate = RunState{};
  }
  std::string content() {
    std::string path = dir.file("out.par");
    FILE* f = std::fopen(path.c_str(), "w");
    peakfilecontent(f);
    std::fclose(f);
    return ktest::read_file(path);
  }
  ktest::CrystalInstall install;
  ktest::RunScope scope;
  ktest::PhaseList phases;
  ktest::TempDir dir;
  double savedl0 = 0;
};

TEST_F(TamrelPeakFile, HeaderPeaksAndBackgroundReadBack) {
  PhaseRecord* ph = ktest::make_phase({"PHASE=Quartz", "RP=3"});
  phasekinds(ph);
  ph->lebail[0] = 0;  // an atom gives the set its structure factors
  reflection(ph, {1, 0, 0}, 123456, 3.1842, 0.0123, true);
  reflection(ph, {1, 1, 0}, 10, 3.5, 0.0, false, false);  // not in use: not written
  reflection(ph, {1, 1, 1}, 2.5, 5.2, 12.3, false);
  reflection(ph, {2, 0, 0}, 1.0, 6.1, 99999.7, false);  // just below 1e5: no decimals
  reflection(ph, {3, 0, 0}, 1.0, 14.0, -1.0, false);    // beyond sin(theta) = 1: no GSUM

  std::snprintf(titel, sizeof titel, "%s", "a?b");
  runstate.radiation = "CU";
  runstate.lintor = "inst";
  runstate.unt = "bg curve.xy";
  core::pol = 0.5f;
  core::setpol(true);
  eps10 = 0.01;
  eps20 = 0.5;  // replaced by the refined global parameter EPS2
  paramglobal = static_cast<ParamRecord*>(std::calloc(1, sizeof(ParamRecord)));
  paramglobal[0].name = strdup("EPS2");
  paramglobal[0].value = 0.002;
  globalparams = 1;
  scan::cut = static_cast<scan::CutInterval*>(std::calloc(1, sizeof(scan::CutInterval)));
  scan::cut->lower = static_cast<float>(std::sin(10.0 * 3.141592653589793 / 180));
  scan::cut->upper = static_cast<float>(std::sin(12.0 * 3.141592653589793 / 180));
  scan::sinxmin = static_cast<float>(std::sin(5.0 * 3.141592653589793 / 180));
  scan::sinxmax = static_cast<float>(std::sin(60.0 * 3.141592653589793 / 180));
  core::SetStrVar("TubeTails", "tt file");
  finalmodel.S = 12.3456;
  model::peakalloc(nullptr, &param, 0, 0, 2, 0, 4, 0);
  tu = static_cast<double*>(std::calloc(2, sizeof(double)));
  tu[0] = 10.5;
  tu[1] = 20.25;

  const std::string text = content();
  const std::string head = text.substr(0, text.find('\n') + 1);
  EXPECT_EQ(head,
            "PEAKZAHL=4 TITEL=a??b LAMBDA=CU POL=0.50000 UNT=bg?!curve.xy LINTOR=inst "
            "WMIN=10.000 WMAX=120.000 Q=12.35 EPS1=0.010000 EPS2=0.002000 EPS3=0.000000 "
            "EPS4=0.000000 CUT[1]=20.000:24.000 TubeTails=tt?!file\n");
  const std::vector<std::string> lines = {
      "3   1.234560E+05  3.1842000 0.012300 GSUM=1.00000 PHASE=Quartz F=12.500 H=6 1 0 0 "
      "F=12.500 H=6 -1 0 0\n",
      "3   2.500000E+00  5.2000000 12.300 GSUM=1.00000 PHASE=Quartz F=12.500 H=6 1 1 1\n",
      "3   1.000000E+00  6.1000000 100000 GSUM=1.00000 PHASE=Quartz F=12.500 H=6 2 0 0\n",
      "3   1.000000E+00 14.0000000 0 PHASE=Quartz F=12.500 H=6 3 0 0\n",
  };
  std::string expected = head;
  for (const std::string& l : lines) expected += l;
  expected += "2 10.500 20.250";  // the file ends without a line end
  EXPECT_EQ(text, expected);

  // The suite's reader takes it apart again.
  model::ParFile pf;
  ASSERT_TRUE(pf.open(dir.file("out.par")));
  EXPECT_EQ(pf.header(), 4);
  EXPECT_DOUBLE_EQ(core::GetVar("EPS2"), 0.002);
  EXPECT_DOUBLE_EQ(core::GetVar("EPS1"), 0.01);
  std::vector<model::ParPeak> peaks;
  model::ParPeak pk;
  while (pf.peak(pk)) peaks.push_back(pk);
  ASSERT_EQ(peaks.size(), 4u);
  EXPECT_EQ(peaks[0].type, 3);
  EXPECT_DOUBLE_EQ(peaks[0].intensity, 123456);
  EXPECT_DOUBLE_EQ(peaks[0].position, 3.1842);
  EXPECT_DOUBLE_EQ(peaks[0].third, 0.0123);
  EXPECT_DOUBLE_EQ(peaks[3].third, 0.0);
  std::vector<float> bg;
  EXPECT_EQ(pf.background(&bg), 2);
  EXPECT_EQ(bg, (std::vector<float>{10.5f, 20.25f}));
  pf.close();
  pf.discardscope();
}

}  // namespace
}  // namespace tamrel
