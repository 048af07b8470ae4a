// The road of a refinement run: end-to-end runs of the built program (a
// minimal silicon run, the run's messages and statuses) and, in the test
// process, the settings and the measured pattern a run establishes from its
// keys.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "crystal_harness.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "scan/apx63.hpp"
#include "scan/ddm.hpp"
#include "tamrel.hpp"
#include "tamrelrun.hpp"

namespace {

using namespace core;
using namespace scan;
using namespace model;

using ktest::message;
using trun::inorder;

constexpr double kPi = 3.141592653589793;

TEST(TamrelRun, MinimalSiliconRunEndsCleanlyAndSavesItsControlFile) {
  trun::Workplace wp;
  ktest::RunResult r =
      wp.run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=si.xy", "STRUC[1]=si"}, {"NTHREADS=2"});
  ASSERT_EQ(r.status, 0) << r.out;
  auto saved = trun::savedkeys(wp.read("run.sav"));
  EXPECT_EQ(saved["STRUC[1]"], "si");
  EXPECT_EQ(saved["VAL[1]"], "si.xy");
  EXPECT_EQ(saved["NTHREADS"], "2");  // the command line is committed into the run scope
  auto cfg = trun::savedkeys(ktest::read_file(wp.install.file("tamrel.cfg")));
  EXPECT_EQ(cfg["SAVEFILE"], "run.sav");
  // The lattice constants live below the configuration: never written.
  EXPECT_EQ(cfg.count("Cubic"), 0u);
  EXPECT_EQ(saved.count("Cubic"), 0u);
}

TEST(TamrelRun, LatticeConstantsServeTheFormulasAndMayBeOverridden) {
  trun::Workplace wp;
  // Triclinic=5 gives RP 4; a control-file Cubic=3 gives RP 3 for the second
  // phase (each with the breadths its lines need).
  wp.write("a.str", "SpacegroupNo=227 A=5.431 RP=Triclinic-1 GEWICHT=SPHAR0 B1=0.01 B2=0.0001\n");
  wp.write("b.str", "SpacegroupNo=227 A=5.431 RP=Cubic GEWICHT=SPHAR0 B1=0.01\n");
  ktest::RunResult r = wp.run({"LAMBDA=CU", "STRUC[1]=a", "STRUC[2]=b", "Cubic=3"});
  EXPECT_EQ(r.status, 0) << r.out;
  r = wp.run({"LAMBDA=CU", "STRUC[1]=b"});  // Cubic=0: RP 0 is refused
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(inorder(r.out, {message(-219, "b", 0), message(260, 1)}));
}

// Messages and statuses of runs that lack scans, phases or radiation keys.
TEST(TamrelRun, MessagesOfRunsWithoutScansPhasesOrRadiation) {
  struct Case {
    const char* what;
    std::vector<std::string> control;
    std::vector<std::string> messages;
    int status;
  };
  const std::vector<Case> cases = {
      {"phase without scans and radiation keys", {"STRUC[1]=si"}, {message(214), message(215)}, 0},
      {"neither phases nor scans", {}, {message(214), message(215), message(-148)}, 148},
      {"radiation key without phases or scans", {"LAMBDA=CU"}, {message(215), message(-148)}, 148},
      {"background curves",
       {"LAMBDA=CU", "LINTOR=inst", "VAL[1]=si.xy", "UNT=bg.xy", "UNTC=bg.xy"},
       {message(17, "bg.xy"), message(67, "bg.xy")},
       0},
      {"scans only: the background alone", {"LAMBDA=CU", "LINTOR=inst", "VAL[1]=si.xy"}, {}, 0},
      // A wavelength given as a number is in nm; the copper wavelength given
      // in angstrom puts every silicon line beyond 2theta = 180 degrees.
      {"no line of the phase inside the measured range",
       {"LAMBDA=1.5406", "LINTOR=inst", "VAL[1]=si.xy", "STRUC[1]=si"},
       {message(-16, 20.0, 80.0, "1.5406")},
       16},
      {"the same wavelength in nm",
       {"LAMBDA=0.15406", "LINTOR=inst", "VAL[1]=si.xy", "STRUC[1]=si"},
       {},
       0},
  };
  trun::Workplace wp;
  wp.write("bg.xy", trun::siliconscan(100, 0));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ktest::RunResult r = wp.run(c.control);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_TRUE(inorder(r.out, c.messages));
    if (!c.control.empty() && c.control[0] == "LAMBDA=CU") {
      EXPECT_EQ(r.out.find(message(214)), std::string::npos);
    }
  }
}

// The messages a new user meets first name what is at fault: a space-group
// symbol the database spells otherwise, with the spellings it has; a group
// whose settings the cell rules out, with the settings; a scan file of an
// unknown extension, with the known ones, and the wavelength its kind of file
// does not name; and the structure file of the phase, with the line and item
// of the space group.
TEST(TamrelRun, FirstMessagesNameWhatIsAtFault) {
  struct Case {
    const char* what;
    const char* header;  // of the structure file lab6.str
    std::vector<std::string> control;
    std::vector<std::string> messages;
    int status;
  };
  const std::vector<Case> cases = {
      {"a symbol without its overbar",
       "// LaB6\nPHASE=LaB6 HermannMauguin=Pm3m",
       {"LAMBDA=CU", "STRUC[1]=lab6"},
       {message(363, "HermannMauguin=Pm3m",
                "Pm-3m (No. 221), Pm2m (No. 25), Pmmm (No. 47), Pmcm (No. 51), Pmam (No. 51)"),
        message(-238), message(260, 1), message(365, "lab6.str", 2, "HermannMauguin=Pm3m")},
       1},
      {"a screw axis written with an underscore",
       "PHASE=LaB6 HermannMauguin=P6_3/mmc",
       {"LAMBDA=CU", "STRUC[1]=lab6"},
       {"--- HermannMauguin=P6_3/mmc: no group of ordanix.dat has this value; the nearest values "
        "it has: P63/mmc (No. 194), ",
        message(-238)},
       1},
      {"a number beyond the database's",
       "PHASE=LaB6 SpacegroupNo=2210",
       {"LAMBDA=CU", "STRUC[1]=lab6"},
       {message(363, "SpacegroupNo=2210", "210, 220, 221, 10, 20"), message(-238)},
       1},
      {"a setting the group does not have",
       "PHASE=LaB6 SpacegroupNo=221 Setting=abc",
       {"LAMBDA=CU", "STRUC[1]=lab6"},
       {message(364, "SpacegroupNo=221 Setting=abc", "Cubic",
                "HermannMauguin=Pm-3m SpacegroupNo=221 BASIS=P Lattice=Cubic"),
        message(-238), message(365, "lab6.str", 1, "SpacegroupNo=221")},
       1},
      {"a cubic group and a tetragonal cell",
       "PHASE=LaB6 HermannMauguin=Pm-3m C=0.5",
       {"LAMBDA=CU", "STRUC[1]=lab6"},
       {message(364, "HermannMauguin=Pm-3m", "Tetragonal with unique axis c",
                "HermannMauguin=Pm-3m SpacegroupNo=221 BASIS=P Lattice=Cubic"),
        message(-238)},
       1},
      {"a scan of an unknown extension without a wavelength",
       "PHASE=LaB6 SpacegroupNo=221",
       {"STRUC[1]=lab6", "VAL[1]=lab6.xye"},
       {message(9, 1, "lab6.xye"), message(370, 1, "lab6.xye"), "(E) LAMBDA"},
       1},
      {"a missing scan of an unknown extension",
       "PHASE=LaB6 SpacegroupNo=221",
       {"STRUC[1]=lab6", "VAL[1]=lab6.xrdml"},
       {message(9, 1, "lab6.xrdml"), message(370, 1, "lab6.xrdml"), message(371, 1, "lab6.xrdml"),
        "(E) LAMBDA"},
       1},
  };
  trun::Workplace wp;
  wp.write("lab6.xye", trun::siliconscan(100, 0));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    wp.write("lab6.str", std::string(c.header) +
                             " UNIT=NM RP=2 GEWICHT=SPHAR0 A=0.4157\nE=La Wyckoff=a TDS=0.3\n");
    ktest::RunResult r = wp.run(c.control);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_TRUE(inorder(r.out, c.messages));
  }
}

// The automatic background coefficient count of a run: the scan from 20 to
// 80 degrees spans ln(sin 40 / sin 10) = 1.31, which gives floor(1.31 / 0.3)
// + 3 = 7 coefficients; a scaled background curve (UNT) takes one more, a
// fixed one (UNTC) none, and a count given as RU stands as it is. The count
// is the first item of the peak file's background record.
TEST(TamrelRun, AutomaticBackgroundCountAndTheScaledCurve) {
  struct Case {
    std::vector<std::string> keys;
    int count;
  };
  const Case cases[] = {
      {{}, 7},
      {{"UNT=bg.xy"}, 8},
      {{"UNTC=bg.xy"}, 7},
      {{"UNT=bg.xy", "RU=3"}, 3},
  };
  trun::Workplace wp;
  wp.write("bg.xy", trun::siliconscan(100, 0));
  for (const Case& c : cases) {
    std::vector<std::string> control = {"LAMBDA=CU", "LINTOR=inst", "VAL[1]=si.xy"};
    control.insert(control.end(), c.keys.begin(), c.keys.end());
    SCOPED_TRACE(control.back());
    std::remove(wp.file("run.par").c_str());
    ktest::RunResult r = wp.run(control, {"SAVE=N"});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<std::string> text = trun::lines(wp.read("run.par"));
    ASSERT_GE(text.size(), 2u);
    const std::string& background = text.back();
    EXPECT_EQ(background.substr(0, background.find(' ')), std::to_string(c.count)) << background;
    // The record holds the count and as many coefficients.
    std::istringstream in(background);
    int count = 0;
    double v;
    in >> count;
    int values = 0;
    while (in >> v) ++values;
    EXPECT_EQ(values, c.count) << background;
  }
}

// ---------------------------------------------------------------------------
// Settings and pattern in the test process

// A run scope with the outermost handler over a fresh installation; the run
// state is reset afterwards.
class RunSetup : public ::testing::Test {
 protected:
  ktest::CrystalInstall install{trun::installfiles()};
  ktest::TempDir dir;
  ktest::RunScope scope;

  void SetUp() override {
    dataerr_newhandler(dataerr_printexit);
    ktest::write_file(dir.file("inst.ger"), trun::kInstrument);
    ktest::write_file(dir.file("si.xy"), trun::siliconscan());
  }
  void TearDown() override {
    tamrel::freerun();
    tamrel::runstate = tamrel::RunState{};
    nthreads = 1;
    ifddm = false;
    dataerr_oldjmp();
  }
  void set(const std::string& statement) { ASSERT_EQ(ergibt(statement.c_str()), 1) << statement; }
};

TEST_F(RunSetup, SettingsFromTheRunKeys) {
  struct Case {
    std::vector<std::string> keys;
    const char* titel;
    bool allstages;
    float isofactor;
    int threads;
    int ru;
  };
  const std::vector<Case> cases = {
      {{"SAVEFILE=quartz.sav"}, "quartz", true, 1e-4f, 1, -1},
      {{"SAVEFILE=quartz.sav", "TITEL=two words"}, "two_words", true, 1e-4f, 1, -1},
      {{"ONLYISO=N"}, "", true, 1e-4f, 1, -1},
      {{"ONLYISO=Y"}, "", false, 1e-4f, 1, -1},
      {{"ONLYISO==0.001"}, "", false, 0.001f, 1, -1},
      {{"ONLYISO=2*0.0005"}, "", false, 0.001f, 1, -1},
      {{"NTHREADS=0"}, "", true, 1e-4f, 1, -1},
      {{"NTHREADS==-3"}, "", true, 1e-4f, 1, -1},
      {{"NTHREADS=3", "RU=5"}, "", true, 1e-4f, 3, 5},
      {{"DDM=Y", "RU=5"}, "", true, 1e-4f, 1, 0},
  };
  for (const Case& c : cases) {
    newDATAlist();
    for (const std::string& k : c.keys) set(k);
    tamrel::readsettings();
    std::string keys;
    for (const std::string& k : c.keys) keys += k + " ";
    SCOPED_TRACE(keys);
    EXPECT_STREQ(crystal::titel, c.titel);
    EXPECT_EQ(tamrel::runstate.allstages, c.allstages);
    EXPECT_EQ(tamrel::runstate.isofactor, c.isofactor);
    EXPECT_EQ(nthreads, c.threads);
    EXPECT_EQ(tamrel::runstate.ru, c.ru);
    DelAll();
    freeDATAlist();
    tamrel::runstate = tamrel::RunState{};
    ifddm = false;
  }
}

TEST_F(RunSetup, OtherRunKeys) {
  set("PROTOKOLL=yes");
  set("ITMAX=7");
  set("EPS1=0.01");
  set("EPS4=-0.5");
  set("WMIN=10");
  set("WMAX==120");
  tamrel::readsettings();
  const tamrel::RunState& rs = tamrel::runstate;
  EXPECT_TRUE(rs.protokoll);
  EXPECT_EQ(rs.itmax, 7);
  EXPECT_EQ(crystal::eps10, 0.01);
  EXPECT_EQ(crystal::eps20, 0.0);
  EXPECT_EQ(crystal::eps40, -0.5);
  EXPECT_EQ(rs.thetamin, 5.0);
  EXPECT_EQ(rs.thetamax, 60.0);
  EXPECT_FALSE(rs.haslintor);
}

TEST_F(RunSetup, WindowWithoutScansAndRadiationKeys) {
  tamrel::readsettings();
  tamrel::readpattern();
  EXPECT_EQ(m, 0);
  EXPECT_EQ(tamrel::runstate.radiation, "CU");
  EXPECT_TRUE(ifxray());
  EXPECT_EQ(sinxmax, static_cast<float>(std::sin(89 * kPi / 180)));
  EXPECT_EQ(sinxmin, 0.0f);
  EXPECT_EQ(tamrel::runstate.skmin, 0.05 * 0.05);
  EXPECT_EQ(y, nullptr);
}

TEST_F(RunSetup, MeasuredRangeWithAGapInTheScanNames) {
  set("LINTOR=" + dir.file("inst"));
  set("LAMBDA=CU");
  set("VAL[1]=" + dir.file("si.xy"));
  set("VAL[3]=" + dir.file("si.xy"));  // not read: VAL[2] is missing
  set("DIAGRAMM=" + dir.file("plot"));
  tamrel::readsettings();
  tamrel::readpattern();
  ASSERT_EQ(m, 3001);
  EXPECT_EQ(tamrel::runstate.npoints, 3001);
  EXPECT_FLOAT_EQ(sinxmin, static_cast<float>(std::sin(10 * kPi / 180)));
  EXPECT_FLOAT_EQ(sinxmax, static_cast<float>(std::sin(40 * kPi / 180)));
  EXPECT_NEAR(tamrel::runstate.thetamax, 40.0, 1e-5);
  EXPECT_EQ(std::string(crystal::diagramm), dir.file("plot.dia"));
  ASSERT_NE(y, nullptr);
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(y[3000], 0.0f);
  double l = 2 * static_cast<double>(sinxmax) * l0;
  EXPECT_EQ(tamrel::runstate.skmax, l * l);
}

TEST_F(RunSetup, DiagramNameKeepsItsExtension) {
  set("LINTOR=" + dir.file("inst"));
  set("LAMBDA=CU");
  set("VAL[1]=" + dir.file("si.xy"));
  set("DIAGRAMM=plot.txt");
  set("POL==0.8");
  tamrel::readsettings();
  tamrel::readpattern();
  EXPECT_STREQ(crystal::diagramm, "plot.txt");
  EXPECT_TRUE(ifpol());
  EXPECT_EQ(pol, 0.8f);
}

// The step of the run that builds the reflections over a measured pattern:
// only the reflections whose peaks the measured points can see, the peak
// set with every peak's parameters pointing at its reflection, and the
// background coefficients chosen from the measured range.
TEST_F(RunSetup, ReflectionsOfTheMeasuredRangeAndThePeakLayout) {
  ktest::write_file(dir.file("si.str"), trun::kSilicon);
  set("LINTOR=" + dir.file("inst"));
  set("LAMBDA=CU");
  set("VAL[1]=" + dir.file("si.xy"));
  set("STRUC[1]=" + dir.file("si.str"));
  tamrel::readsettings();
  tamrel::readpattern();
  tamrel::readphases();
  tamrel::readglobals();
  tamrel::buildreflections();
  const crystal::PhaseRecord* p = crystal::phase1;
  ASSERT_NE(p, nullptr);
  // 2theta 20 .. 80 degrees: 111, 220, 311, 400 and 331; 422 lies at 88 degrees.
  std::vector<std::string> seen;
  for (int i = 0; i < p->nrefl; ++i) {
    const int32_t* h = p->refl[i]->fr1->hkl[0];
    seen.push_back(std::to_string(h[0]) + std::to_string(h[1]) + std::to_string(h[2]));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"111", "220", "311", "400", "331"}));
  // RP 4: four parameters per peak, then ln(sin 40 / sin 10) / 0.3 -> 4 + 3
  // background coefficients.
  EXPECT_EQ(crystal::rp4, 5);
  EXPECT_EQ(crystal::rp2 + crystal::rp3, 0);
  EXPECT_EQ(p->peakfirst, 0);
  EXPECT_EQ(p->peaklast, 20);
  EXPECT_EQ(tamrel::runstate.ru, 7);
  ASSERT_EQ(crystal::rpeaks, 27);
  for (int i = 0; i < p->nrefl; ++i) {
    crystal::ReflectionRecord* r = p->refl[i];
    EXPECT_EQ(r->slot, i);
    EXPECT_EQ(crystal::tpeaks[4 * i], &r->intensity);
    EXPECT_EQ(crystal::tpeaks[4 * i + 1], &r->position);
    EXPECT_EQ(crystal::tpeaks[4 * i + 3], &r->B2);
  }
  EXPECT_EQ(crystal::tpeaks[20], &crystal::tu[0]);
  EXPECT_EQ(crystal::tpeaks[26], &crystal::tu[6]);
}

}  // namespace
