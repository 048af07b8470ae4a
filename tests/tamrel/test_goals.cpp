// Global goals and parameters: GOAL[k] and PARAM[k] parsed, written back
// into the control file and read again unchanged; refused texts with their
// statuses; the records, the look-up by name and the Laue classes in the
// test process.
#include <gtest/gtest.h>

#include "core/data.hpp"
#include "crystal_harness.hpp"
#include "tamrel.hpp"
#include "tamrelrun.hpp"

namespace {

using namespace core;

using namespace crystal;
using ktest::message;

// A run of a phase without scans: the goals and parameters are read after the
// phases and written back at the end.
std::vector<std::string> phaserun(std::vector<std::string> keys) {
  keys.insert(keys.begin(), {"LAMBDA=CU", "STRUC[1]=si"});
  return keys;
}

TEST(TamrelGoals, WriteBackAndRoundTrip) {
  trun::Workplace wp;
  const std::vector<std::pair<std::string, std::string>> keys = {
      {"GOAL[1]", "a+b"},                   // no "=": the whole text is the formula
      {"GOAL[2]", "f(x=1,y+-2)=3.5+-0.1"},  // delimiters inside brackets stay
      {"GOAL[4]", "after=a+-gap"},          // GOAL[3] is missing: not read, kept as it is
      {"PARAM[1]", "q=1.5_0^2"},
      {"PARAM[2]", "my_name=1"},  // "_" ends the name; the bound is the key name
      {"PARAM[3]", "t=1_f(0)"},   // a bound with brackets; it must evaluate (f is a key)
      {"PARAM[4]", "A"},          // the value of the control key A
      // On a bound, but without influence on the model (no pattern): written
      // as numbers like every parameter the data do not determine. A
      // parameter refined onto its bound is written as the bound's text
      // (tests of the refinement).
      {"PARAM[5]", "lo=1_1"},
      {"PARAM[6]", "hi=1.000000000001_1^2"},
      {"PARAM[7]", "top=7_0^3+4"},
      {"PARAM[8]", "zero=0_0"},
  };
  const std::map<std::string, std::string> written = {
      // a, b and x are not defined: the goals fail in the run.
      {"GOAL[1]", "a+b=ERROR"},
      {"GOAL[2]", "f(x=1,y+-2)=ERROR+-0.1"},
      {"GOAL[4]", "after=a+-gap"},
      {"PARAM[1]", "q=1.50000000000000E+00_0^2"},
      {"PARAM[2]", "my=1.00000000000000E+00_name"},
      {"PARAM[3]", "t=1.00000000000000E+00_f(0)"},
      {"PARAM[4]", "A=5.43100000000000E+00"},
      {"PARAM[5]", "lo=1.00000000000000E+00_1"},
      {"PARAM[6]", "hi=1.00000000000100E+00_1^2"},
      {"PARAM[7]", "top=7.00000000000000E+00_0^3+4"},
      {"PARAM[8]", "zero=0.00000000000000E+00_0"},
  };
  // The bounds of the refined parameters are evaluated: name and f exist.
  std::vector<std::string> control = phaserun({"A=5.431", "name=0", "f(1):#1"});
  for (const auto& [k, v] : keys) control.push_back(k + "=" + v);
  ktest::RunResult r = wp.run(control);
  ASSERT_EQ(r.status, 0) << r.out;
  std::string first = wp.read("run.sav");
  auto saved = trun::savedkeys(first);
  for (const auto& [k, v] : written) EXPECT_EQ(saved[k], v) << k;

  // The written file is the next run's input: the same texts come back.
  r = ktest::run_program(ktest::program_path("tamrel"), {"run"}, wp.work.path(),
                         {{"KALVO", wp.install.path()}});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(wp.read("run.sav"), first);
}

TEST(TamrelGoals, RefusedTextsEndTheRunWithTheirStatus) {
  struct Case {
    const char* key;
    std::string text;
    int status;
  };
  const std::vector<Case> cases = {
      {"GOAL[1]=+-0.1", message(-228), 228}, {"GOAL[1]=a=", message(-229), 229},
      {"GOAL[1]=a=1+-", message(-230), 230}, {"PARAM[1]=_1", message(-231), 231},
      {"PARAM[1]=a=", message(-232), 232},   {"PARAM[1]=a=1_", message(-233), 233},
      {"PARAM[1]=a=1^", message(-234), 234}, {"PARAM[1]=nothere^1", message(-235, "nothere"), 235},
      {"PARAM[1]=a=b", "(E) ", 1},
  };
  trun::Workplace wp;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    ktest::RunResult r = wp.run(phaserun({c.key}));
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
  }
}

// The records in the test process.
class Globals : public ::testing::Test {
 protected:
  ktest::RunScope scope;
  void SetUp() override { dataerr_newhandler(dataerr_printexit); }
  void TearDown() override {
    tamrel::freeglobals();
    goalzahl = 0;
    dataerr_oldjmp();
  }
  void set(const std::string& statement) { ASSERT_EQ(ergibt(statement.c_str()), 1) << statement; }
  std::string text(const char* key, int k) {
    static char buf[200];
    GetIndexStrVar(key, 1, &k, 199, buf);
    return buf;
  }
};

TEST_F(Globals, RecordsSetUpScopeAndLookUp) {
  goalzahl = 12;  // two phases
  set("GOAL[1]=u*2+-0.5");
  set("GOAL[2]=v");
  set("PARAM[1]=u=3_0");
  set("PARAM[2]=v=2*2");
  tamrel::readglobals();
  ASSERT_EQ(globalgoals, 2);
  ASSERT_EQ(globalparams, 2);
  EXPECT_STREQ(paramglobal[0].goal, "u*2");
  EXPECT_STREQ(paramglobal[0].second, "0.5");
  EXPECT_EQ(paramglobal[0].goalindex, 12);
  EXPECT_EQ(paramglobal[1].goalindex, 13);
  EXPECT_EQ(paramglobal[0].name, nullptr);
  EXPECT_EQ(goalzahl, 14);
  ASSERT_NE(goalwert, nullptr);
  EXPECT_STREQ(paramglobal[2].name, "u");
  EXPECT_STREQ(paramglobal[2].mintext, "0");
  EXPECT_EQ(paramglobal[3].value, 4.0);
  int index = -1;
  EXPECT_TRUE(tamrel::ifparamglobal("v", &index));
  EXPECT_EQ(index, 3);
  EXPECT_FALSE(tamrel::ifparamglobal("w", &index));
  // The set-up scope holds the start values.
  setrekart(0);
  EXPECT_EQ(GetVar("u"), 3.0);
  EXPECT_EQ(GetVar("v"), 4.0);
  setrekart(2);
  DelAll();
  freeDATAlist();

  // Write-back: failed and undefined goals, decimals, error states.
  paramglobal[0].failed = 1;
  paramglobal[1].errorstate = 2;
  goalwert[13] = 2.3456;
  tamrel::writeglobals();
  EXPECT_EQ(text("GOAL", 1), "u*2=ERROR+-0.5");
  EXPECT_EQ(text("GOAL", 2), "v=UNDEF");
  paramglobal[1].errorstate = 0;
  paramglobal[1].decimals = 2;
  paramglobal[2].value = 0.0;
  paramglobal[2].errorstate = 1;  // with an error estimate: a number even on the bound
  tamrel::writeglobals();
  EXPECT_EQ(text("GOAL", 2), "v=2.35");
  EXPECT_EQ(text("PARAM", 1), "u=0.00000000000000E+00_0");
  paramglobal[2].errorstate = 0;
  tamrel::writeglobals();
  EXPECT_EQ(text("PARAM", 1), "u=0_0");
}

TEST(TamrelGoals, LaueClassOfTheSpaceGroupNumber) {
  const int numbers[] = {1,   2,   3,   74,  75,  142, 143, 148, 149,
                         167, 168, 176, 177, 194, 195, 206, 207, 230};
  const int classes[] = {0, 0, 1, 2, 3, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10};
  for (size_t i = 0; i < std::size(numbers); ++i)
    EXPECT_EQ(tamrel::lauegroup(numbers[i]), classes[i]) << numbers[i];
}

}  // namespace
