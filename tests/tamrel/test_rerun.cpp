// The structure files of a refinement serve the next run: the refined
// structure file, read again and evaluated without a single iteration
// (ITMAX=0), gives the same fit; so does the simplified structure file, whose
// structure-factor table and per-set line shift (one value, or a table of the
// reflections' own values) stand in for the atoms and the header's shift.
// Goals keep their value and accuracy part, long runs of items are folded,
// and a model with nothing to refine is evaluated and ends normally.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "tamrelrun.hpp"

namespace {

using trun::lines;

// The text after "\nkey=" up to the line end; empty when missing.
std::string listed(const std::string& list, const std::string& key) {
  const size_t at = list.find("\n" + key + "=");
  if (at == std::string::npos) return "";
  const size_t from = at + key.size() + 2;
  return list.substr(from, list.find('\n', from) - from);
}

// The figures-of-merit line of a list file.
std::string figures(const std::string& list) {
  const size_t at = list.find("Rp=");
  if (at == std::string::npos) return "";
  return list.substr(at, list.find('\n', at) - at);
}

// The model column of a diagram file.
std::vector<double> modelcurve(const std::string& diagram) {
  std::vector<double> y;
  std::vector<std::string> dl = lines(diagram);
  for (size_t i = 1; i < dl.size(); ++i) {
    std::istringstream f(dl[i]);
    double t, I, v;
    if (f >> t >> I >> v) y.push_back(v);
  }
  return y;
}

// Silicon on a pattern without background (RU=0): the scale is a parameter
// of the file (GEWICHT=S), so that every refined quantity is in the refined
// structure file; the lines carry a fixed shift of their reciprocal spacing.
// The header items run on one line that the refined values fold; the atom
// carries a goal with an accuracy part. The pattern is the program's own
// for the true values, the fit starts off them.
const char* kTruth =
    "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=3 A=5.431 GEWICHT=0.01 B1=0.002 "
    "DELTAsk=0.0005\n"
    "E=Si Wyckoff=a TDS=0.5\n";
const char* kStructure =
    "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=3 PARAM=A=5.4315 PARAM=S=0.008_0 GEWICHT=S "
    "PARAM=B1=0.001_0 DELTAsk=0.0005\n"
    "E=Si Wyckoff=a TDS=0.5 GOAL=A*2+-0.001\n";

class Rerun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    wp = new trun::Workplace;
    wp->write("empty.xy", trun::siliconscan(0, 0));
    wp->write("truth.str", kTruth);
    // Nothing is refined here: the model is evaluated once, and the run ends
    // normally.
    ktest::RunResult truth = wp->run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=empty.xy",
                                      "STRUC[1]=truth", "RU=0", "DIAGRAMM=truth"});
    EXPECT_EQ(truth.status, 0) << truth.out;
    // The scan reader adds one count.
    std::string counts;
    std::vector<std::string> dl = lines(wp->read("truth.dia"));
    for (size_t i = 1; i < dl.size(); ++i) {
      std::istringstream f(dl[i]);
      std::string t;
      double I, v;
      f >> t >> I >> v;
      counts += t + " " + std::to_string(std::max(0L, std::lround(v - 1))) + "\n";
    }
    wp->write("lines.xy", counts);
    wp->write("fit.str", kStructure);
    first = wp->run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=lines.xy", "STRUC[1]=fit", "RU=0",
                     "LIST=fit", "DIAGRAMM=fit", "STRUCOUT[1]=next", "SimpleSTRUCOUT[1]=simple"});
  }
  static void TearDownTestSuite() {
    delete wp;
    wp = nullptr;
  }
  // Evaluates the structure file struc without iterations.
  static ktest::RunResult again(const std::string& struc) {
    return wp->run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=lines.xy", "STRUC[1]=" + struc, "RU=0",
                    "ITMAX=0", "LIST=" + struc, "DIAGRAMM=" + struc});
  }
  static trun::Workplace* wp;
  static ktest::RunResult first;
};
trun::Workplace* Rerun::wp = nullptr;
ktest::RunResult Rerun::first;

TEST_F(Rerun, RefinedStructureFileReproducesTheFit) {
  ASSERT_EQ(first.status, 0) << first.out;
  const std::string list = wp->read("fit.lst");
  const std::string next = wp->read("next.str");
  // The fit found the true pattern.
  EXPECT_NEAR(std::stod(listed(list, "A")), 5.431, 2e-4) << list;
  EXPECT_NEAR(std::stod(listed(list, "B1")), 0.002, 1e-4) << list;
  // The atom goal keeps the value the list gives it, with the list's
  // decimals; its second formula (the "+-" part) is not written.
  const std::string goal = listed(list, "A*2");
  ASSERT_NE(goal.find("+-"), std::string::npos) << list;
  EXPECT_NE(next.find("GOAL=A*2=" + goal.substr(0, goal.find("+-")) + "\n"), std::string::npos)
      << next;
  EXPECT_EQ(next.find("+-"), std::string::npos) << next;
  // The refined values fold the header: no line passes 78 characters and
  // the blank before a folded item.
  std::vector<std::string> nl = lines(next);
  EXPECT_GT(nl.size(), 2u) << next;
  for (const std::string& l : nl) EXPECT_LE(l.size(), 79u) << l;

  ktest::RunResult r = again("next");
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string relist = wp->read("next.lst");
  EXPECT_FALSE(figures(list).empty()) << list;
  EXPECT_EQ(figures(relist), figures(list));
  EXPECT_EQ(listed(relist, "A"), listed(list, "A"));
  EXPECT_EQ(listed(relist, "A*2"), goal);
}

// The pattern of the simplified file evaluated without iterations against
// the pattern of the run that wrote it.
void samepattern(const std::string& written, const std::string& again) {
  const std::vector<double> y0 = modelcurve(written);
  const std::vector<double> y1 = modelcurve(again);
  ASSERT_EQ(y1.size(), y0.size());
  ASSERT_GT(y0.size(), 3000u);
  double top = 0;
  for (double v : y0) top = std::max(top, v);
  // The structure factors are written with four decimals.
  for (size_t i = 0; i < y0.size(); ++i) ASSERT_NEAR(y1[i], y0[i], 2e-4 * top) << "point " << i;
}

// The simplified file without the header's own shift item, so that only
// the per-set lines below the structure factors carry the shift.
std::string withoutheadershift(std::string simple, const std::string& item) {
  const size_t at = simple.find(item);
  if (at != std::string::npos) simple.erase(at, item.size());
  return simple;
}

TEST_F(Rerun, SimplifiedStructureFileReproducesThePattern) {
  ASSERT_EQ(first.status, 0) << first.out;
  const std::string simple = wp->read("simple.str");
  // The shift is given per reflection set, under the name the model reads
  // (the set's own value wins over the header's plain one).
  EXPECT_NE(simple.find("\nDELTAsk[1]=0.00050000\n"), std::string::npos) << simple;
  EXPECT_EQ(simple.find("DELTASK"), std::string::npos) << simple;
  wp->write("simple.str", withoutheadershift(simple, "DELTAsk=0.0005"));
  ktest::RunResult r = again("simple");
  ASSERT_EQ(r.status, 0) << r.out;
  samepattern(wp->read("fit.dia"), wp->read("simple.dia"));
}

// A shift that differs from reflection to reflection: the set names a table
// of the reflections' own values, which the model finds by their indices.
TEST_F(Rerun, SimplifiedFileWithAShiftPerReflection) {
  std::string structure = kStructure;
  structure.replace(structure.find("DELTAsk=0.0005"), 14, "DELTAsk=0.0002*l*l");
  wp->write("perhkl.str", structure);
  ktest::RunResult r =
      wp->run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=lines.xy", "STRUC[1]=perhkl", "RU=0", "ITMAX=0",
               "DIAGRAMM=perhkl", "SimpleSTRUCOUT[1]=perhklsimple"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string simple = wp->read("perhklsimple.str");
  EXPECT_NE(simple.find("\nDELTAsk[1]=ifthenelse(ifdef(DELTAsk0[h,k,l]),DELTAsk0[h,k,l],0)\n"),
            std::string::npos)
      << simple;
  EXPECT_NE(simple.find("\nDELTAsk0[1,1,1]=0.00020000\n"), std::string::npos) << simple;
  wp->write("perhklsimple.str", withoutheadershift(simple, "DELTAsk=0.0002*l*l"));
  r = again("perhklsimple");
  ASSERT_EQ(r.status, 0) << r.out;
  samepattern(wp->read("perhkl.dia"), wp->read("perhklsimple.dia"));
}

}  // namespace
