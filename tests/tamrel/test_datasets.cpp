// Further data sets (STANDALONEVAL[i]) and the derivative mode, run by the
// built program on simulated silicon patterns: two patterns of different
// cells each give their own cell, main or further, in either order; empty
// data sets and data sets of another radiation are skipped without ending
// the loop; no data set writes over another's files; a fit that cannot
// start, or that stops at a parameter whose derivatives leave the single-
// precision range, is reported and noted in its list file, the other data
// sets untouched; the derivative mode and the ordinary refinement of one
// pattern agree on the cell and the derivative mode leaves out what has no
// meaning for derivatives; the files of a run are the same for 1 and 8
// threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tamrelrun.hpp"

namespace {

using ktest::message;
using trun::inorder;
using trun::replaced;
using trun::withouttimes;

constexpr double kA1 = 5.431, kA2 = 5.436;  // the cells of the two patterns, angstrom

// Value and error of a list-file line "key=value+-error".
struct Listed {
  double value = NAN, sigma = NAN;
};
Listed listed(const std::string& list, const std::string& key) {
  Listed l;
  const size_t at = list.find("\n" + key + "=");
  if (at == std::string::npos) return l;
  const std::string line =
      list.substr(at + key.size() + 2, list.find('\n', at + 1) - at - key.size() - 2);
  const size_t pm = line.find("+-");
  if (line.empty() || line.find_first_not_of("-.0123456789") == 0) return l;
  l.value = std::stod(line);
  if (pm != std::string::npos) l.sigma = std::stod(line.substr(pm + 2));
  return l;
}

// The line positions (third field) of the peak records of a peak file.
std::vector<double> positions(const std::string& par) {
  std::vector<double> out;
  std::istringstream in(par);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream f(line);
    double kind, intensity, position;
    if (line.find(" PHASE=") != std::string::npos && f >> kind >> intensity >> position)
      out.push_back(position);
  }
  return out;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// A scan in the text layout of the val format: one range of counts per
// second with the anode named in its header.
std::string valscan(const std::vector<double>& twotheta, const std::vector<double>& counts,
                    const std::string& anode, char mode = 'T') {
  char num[64];
  std::string s = "FilePar\nsilicon\nsimulated\n1\n2\nx\n" + anode + "\nremark\n3\n0\n1\n";
  s += "BerPar1\nrange\n";
  std::snprintf(num, sizeof num, "%.4f\n%.4f\n%.4f\n", twotheta.front(), twotheta.back(),
                twotheta[1] - twotheta[0]);
  s += num;
  s += std::string(1, mode) + "\n1\n5\n" + std::to_string(counts.size()) + "\nN\nN\n0\nIntens1\n";
  for (double c : counts) {
    std::snprintf(num, sizeof num, "%.9g\n", c);
    s += num;
  }
  return s;
}

// The two simulated patterns: silicon of cell kA1 and kA2 (scale 0.005,
// displacement parameter 0.5), lines computed by the program itself, on a
// flat background of 200 counts, with counting noise of a fixed seed, as
// text columns a.xy and b.xy; the structure to refine starts between them.
class Simulated : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    wp = new trun::Workplace;
    std::string flat;
    for (int i = 0; i <= 3000; ++i) flat += std::to_string(20 + 0.02 * i) + " 1000\n";
    wp->write("flat.xy", flat);
    const double cells[2] = {kA1, kA2};
    const char* names[2] = {"a", "b"};
    for (int p = 0; p < 2; ++p) {
      char text[256];
      std::snprintf(text, sizeof text,
                    "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 A=%g GEWICHT=0.005\n"
                    "E=Si Wyckoff=a TDS=0.5\n",
                    cells[p]);
      wp->write("truth.str", text);
      ktest::RunResult r = wp->run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=flat.xy", "STRUC[1]=truth",
                                    "DIAGRAMM=truth", "RU=3", "OUTPUT=truth", "SAVE=N"});
      ASSERT_EQ(r.status, 0) << r.out;
      std::mt19937 gen(17 + p);
      std::vector<std::string> dl = lines(wp->read("truth.dia"));
      std::string counts;
      twotheta.clear();
      lines_[p].clear();
      for (size_t i = 1; i < dl.size(); ++i) {
        std::istringstream f(dl[i]);
        double tt, I, y, u, phase;
        f >> tt >> I >> y >> u >> phase;
        std::poisson_distribution<int> noise(phase + 200);
        const int c = noise(gen);
        twotheta.push_back(tt);
        lines_[p].push_back(c);
        counts += std::to_string(tt) + " " + std::to_string(c) + "\n";
      }
      wp->write(std::string(names[p]) + ".xy", counts);
    }
    wp->write("fit.str",
              "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 GEWICHT=SPHAR0 PARAM=A=5.4335\n"
              "E=Si Wyckoff=a PARAM=B=1_0 TDS=B\n");
  }
  static void TearDownTestSuite() {
    delete wp;
    wp = nullptr;
  }

  static std::vector<std::string> control(const std::string& main) {
    return {"LINTOR=inst", "LAMBDA=CU", "VAL[1]=" + main, "STRUC[1]=fit", "RU=2"};
  }

  static trun::Workplace* wp;
  static std::vector<double> twotheta;
  static std::vector<double> lines_[2];  // the noisy counts of a and b
};
trun::Workplace* Simulated::wp = nullptr;
std::vector<double> Simulated::twotheta;
std::vector<double> Simulated::lines_[2];

TEST_F(Simulated, EachDataSetRecoversItsOwnCellInEitherOrder) {
  Listed main[2], further[2];  // [0]: a main, b further; [1]: b main, a further
  std::string par[2], par1[2];
  for (int order = 0; order < 2; ++order) {
    std::vector<std::string> keys = control(order == 0 ? "a.xy" : "b.xy");
    keys.push_back(std::string("STANDALONEVAL[1]=") + (order == 0 ? "b.xy" : "a.xy"));
    keys.push_back("LIST=main");
    keys.push_back("LIST[1]=further");
    ktest::RunResult r = wp->run(keys);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string l0 = wp->read("main.lst"), l1 = wp->read("further.lst");
    main[order] = listed(l0, "A");
    further[order] = listed(l1, "A");
    // Without OUTPUT keys each data set has its own peak-parameter file.
    par[order] = wp->read("run.par");
    par1[order] = wp->read("run_1.par");
    // The further data set's list names its own scan and no run times.
    EXPECT_TRUE(inorder(
        l1, {message(227, "Rietveld", order == 0 ? " b.xy" : " a.xy", "4.2.23", 3001, 5, 5)}))
        << l1;
    EXPECT_EQ(l1.find("Start: "), std::string::npos);
    // The further fit shows its progress after the stages', from its start
    // (iteration 0) to the Rwp of its list.
    const size_t rwp = l1.find("Rwp=");
    ASSERT_NE(rwp, std::string::npos) << l1;
    const std::string last = "data set 1, iteration ";
    const size_t at = r.out.rfind(last);
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_TRUE(inorder(r.out, {"stage 3, iteration   0: Rwp=", "data set 1, iteration   0: Rwp="}))
        << r.out;
    const size_t end = r.out.find('\n', at);
    EXPECT_EQ(r.out.substr(r.out.find("Rwp=", at), end - r.out.find("Rwp=", at)),
              l1.substr(rwp, l1.find('%', rwp) + 1 - rwp))
        << r.out;
  }
  const double cell[2][2] = {{kA1, kA2}, {kA2, kA1}};
  for (int order = 0; order < 2; ++order) {
    ASSERT_FALSE(std::isnan(main[order].value) || std::isnan(further[order].value));
    EXPECT_NEAR(main[order].value, cell[order][0], 3 * main[order].sigma) << "order " << order;
    EXPECT_NEAR(further[order].value, cell[order][1], 3 * further[order].sigma)
        << "order " << order;
  }
  // One pattern gives one cell, whether it is refined in stages as the main
  // pattern or fitted once as a further data set.
  EXPECT_NEAR(main[0].value, further[1].value, 0.1 * main[0].sigma);
  EXPECT_NEAR(main[1].value, further[0].value, 0.1 * main[1].sigma);
  EXPECT_NEAR(main[0].sigma, further[1].sigma, 0.05 * main[0].sigma);
  // The peak files hold each pattern's own line positions.
  const std::vector<double> pa = positions(par[0]), pb = positions(par1[0]);
  ASSERT_EQ(pa.size(), 5u) << par[0];
  EXPECT_EQ(positions(par1[1]).size(), 5u);
  EXPECT_EQ(positions(par[1]).size(), 5u);
  for (size_t k = 0; k < pa.size(); ++k) {
    EXPECT_NEAR(pa[k], positions(par1[1])[k], 1e-6);
    EXPECT_NEAR(pb[k], positions(par[1])[k], 1e-6);
    // 1/d scales with the inverse cell.
    EXPECT_NEAR(pa[k] / pb[k], further[0].value / main[0].value, 1e-6);
  }
}

TEST_F(Simulated, EmptyAndForeignDataSetsAreSkipped) {
  // Without radiation keys the anode comes from the scans: copper for the
  // main pattern and the third data set, cobalt for the second.
  wp->write("a.val", valscan(twotheta, lines_[0], "CU"));
  wp->write("co.val", valscan(twotheta, lines_[1], "CO"));
  ktest::RunResult r = wp->run({"LINTOR=inst", "VAL[1]=a.val", "STRUC[1]=fit", "RU=2", "LIST=main",
                                "STANDALONEVAL[1]=missing.val", "LIST[1]=one",
                                "STANDALONEVAL[2]=co.val", "LIST[2]=two", "STANDALONEVAL[3]=a.val",
                                "LIST[3]=three", "STANDALONEVAL[5]=a.val", "LIST[5]=five"});
  // The data sets skipped (the scan that cannot be opened, the other
  // radiation) are inputs the run could not use: the run goes on with the
  // other data sets and ends with status 92.
  ASSERT_EQ(r.status, 92) << r.out;
  EXPECT_TRUE(inorder(r.out, {message(35, "missing.val"), message(58, "missing.val"),
                              message(59, "CO", "co.val", "CU"), message(-92, 3, 35)}));
  EXPECT_FALSE(ktest::file_exists(wp->file("one.lst")));
  EXPECT_FALSE(ktest::file_exists(wp->file("two.lst")));
  EXPECT_FALSE(ktest::file_exists(wp->file("five.lst")));  // after the gap at 4
  // The data set after the skipped ones is fitted from the main pattern's
  // values and, being the same pattern, gives the same result.
  const std::string body = withouttimes(wp->read("main.lst"), true);
  EXPECT_EQ(body, wp->read("three.lst"));
}

TEST_F(Simulated, NoDataSetWritesOverAnother) {
  std::vector<std::string> keys = control("a.xy");
  for (const char* k : {"STANDALONEVAL[1]=b.xy", "OUTPUT=same", "OUTPUT[1]=same.par", "LIST=l",
                        "LIST[1]=./l", "DIAGRAMM=d", "DIAGRAMM[1]=d.dia", "STRUCOUT[1]=s",
                        "STRUCOUT[1,1]=s", "RESOUT[1]=x", "PDBOUT[1,1]=x.res"})
    keys.push_back(k);
  ktest::RunResult r = wp->run(keys);
  // Each file of the further data set that names one of the main pattern's
  // is refused, and the main pattern's file stays as it was; the outputs
  // not written end the run with status 93.
  ASSERT_EQ(r.status, 93) << r.out;
  const std::string after = r.out.substr(r.out.find("b.xy"));
  for (const char* name : {"l.lst", "s.str", "same.par", "d.dia"})
    EXPECT_NE(after.find(name), std::string::npos) << name << " in\n" << after;
  EXPECT_NE(r.out.find(message(285, "./l.lst")), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(message(285, "d.dia")), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(message(285, "s.str")), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(message(285, "same.par")), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(message(285, "x.res")), std::string::npos) << r.out;
  EXPECT_NE(wp->read("l.lst").find(" a.xy"), std::string::npos);
  EXPECT_NE(wp->read("same.par").find("WMIN=20.000"), std::string::npos);
  const double a0 = listed(wp->read("l.lst"), "A").value;
  EXPECT_NEAR(std::stod(wp->read("s.str").substr(wp->read("s.str").find("PARAM=A=") + 8)), a0,
              1e-5);
  // The refused list goes to standard output.
  EXPECT_TRUE(inorder(after, {message(227, "Rietveld", " b.xy", "4.2.23", 3001, 5, 5)}));
  // The diagram is the main pattern's: its first measured value is a's.
  const std::vector<std::string> dl = lines(wp->read("d.dia"));
  ASSERT_GT(dl.size(), 1u);
  std::istringstream first(dl[1]);
  double tt, I;
  first >> tt >> I;
  EXPECT_EQ(I, lines_[0][0] + 1);  // the scan reader adds one count
}

TEST_F(Simulated, FurtherDiagramHasTheDataSetsPoints) {
  std::vector<std::string> keys = control("a.xy");
  keys.push_back("STANDALONEVAL[1]=b.xy");
  keys.push_back("DIAGRAMM[1]=further");
  ktest::RunResult r = wp->run(keys);
  ASSERT_EQ(r.status, 0) << r.out;
  const std::vector<std::string> dl = lines(wp->read("further.dia"));
  ASSERT_EQ(dl.size(), twotheta.size() + 1);
  EXPECT_NE(dl[0].find("M=3001"), std::string::npos) << dl[0];
  for (size_t i = 1; i < dl.size(); i += 500) {
    std::istringstream f(dl[i]);
    double tt, I;
    f >> tt >> I;
    EXPECT_NEAR(tt, twotheta[i - 1], 1e-4);
    EXPECT_EQ(I, lines_[1][i - 1] + 1);
  }
}

TEST_F(Simulated, FitThatCannotStartIsNotedInItsList) {
  // A pattern of almost no intensity given with its own sigma: its weights
  // make the start residuals overflow.
  wp->write("bad.val", valscan(twotheta, std::vector<double>(twotheta.size(), 1e-38), "CU", 'C'));
  std::vector<std::string> keys = control("a.xy");
  for (const char* k :
       {"LIST=main", "STANDALONEVAL[1]=b.xy", "LIST[1]=good", "STANDALONEVAL[2]=bad.val",
        "LIST[2]=bad", "STANDALONEVAL[3]=b.xy", "LIST[3]=again", "GOAL[1]=A=0"})
    keys.push_back(k);
  ktest::RunResult r = wp->run(keys);
  // The other data sets are refined and written, but the peak file of the
  // one that could not start would hold numbers that are not finite: it is
  // not written, and the run says so in its status.
  ASSERT_EQ(r.status, 93) << r.out;
  EXPECT_NE(r.out.find(message(284, 2)), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(message(262, "run_2.par")), std::string::npos) << r.out;
  const std::string bad = wp->read("bad.lst");
  EXPECT_NE(bad.find(message(284, 2)), std::string::npos) << bad;
  // It keeps its start, the main pattern's values, not those of the data
  // set before it.
  const Listed main = listed(wp->read("main.lst"), "A");
  const Listed start = listed(bad, "A");
  ASSERT_TRUE(std::isnan(start.sigma)) << bad;  // no error without a fit
  EXPECT_NEAR(start.value, main.value, 1e-5);
  // The data sets around it do not suffer from it, nor does the goal that
  // goes back into the control file.
  const std::string good = wp->read("good.lst");
  EXPECT_EQ(good.find("--- data set"), std::string::npos);
  EXPECT_NEAR(listed(good, "A").value, kA2, 3 * listed(good, "A").sigma);
  EXPECT_EQ(good, wp->read("again.lst"));
  const std::string goal = trun::savedkeys(wp->read("run.sav"))["GOAL[1]"];
  ASSERT_EQ(goal.rfind("A=", 0), 0u) << goal;
  EXPECT_NEAR(std::stod(goal.substr(2)), main.value, 1e-6);
}

// A scan whose sigma column holds one absurdly small value (3e-18 counts
// where the model sits at its top): the weight of that point is finite, and
// so is its residual, since the scan's counts there are the model's own, but
// the derivatives of the model by a parameter, times that weight, are past
// the single-precision range. The fit of that data set stops at the first
// such parameter, named with its phase and atom; the main pattern and the
// data set after it come out as they do without it.
TEST_F(Simulated, FitFailingAtAParameterIsNamedAndTheOthersAreIntact) {
  struct Case {
    const char* structure;
    std::vector<std::string> keys;
    std::string warning;
    std::string parameter;  // the line of the list file that holds it
  };
  const std::vector<Case> cases = {
      {"PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 GEWICHT=SPHAR0 A=X\n"
       "E=Si Wyckoff=a TDS=0.5\n",
       {"PARAM[1]=X=5.4335"},
       message(281, 1, "X"),
       "X"},
      {"PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 GEWICHT=SPHAR0 PARAM=A=5.4335\n"
       "E=Si Wyckoff=a TDS=0.5\n",
       {},
       message(282, 1, 1, "A"),
       "A"},
      {"PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 GEWICHT=0.005 A=5.431\n"
       "E=Si Wyckoff=a PARAM=B=1_0 TDS=B\n",
       {},
       message(283, 1, 1, 1, "B"),
       "B"},
  };
  for (const Case& c : cases) {
    wp->write("fail.str", c.structure);
    std::vector<std::string> keys = {"LINTOR=inst",   "LAMBDA=CU", "VAL[1]=a.xy",
                                     "STRUC[1]=fail", "RU=2",      "LIST=main"};
    keys.insert(keys.end(), c.keys.begin(), c.keys.end());
    // Without the faulty data set: the main pattern's model and the lists.
    std::vector<std::string> plain = keys;
    for (const char* k : {"DIAGRAMM=model", "STANDALONEVAL[1]=a.xy", "LIST[1]=again"})
      plain.push_back(k);
    ktest::RunResult r = wp->run(plain);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string main = wp->read("main.lst"), again = wp->read("again.lst");
    const std::map<std::string, std::string> saved = trun::savedkeys(wp->read("run.sav"));

    // The model as counts with their counting errors, but 3e-18 at the
    // highest point of the line at 76.4 degrees (a top, so that no sigma
    // floor of a steeper neighbour applies).
    std::vector<double> tt, model;
    const std::vector<std::string> dl = lines(wp->read("model.dia"));
    for (size_t i = 1; i < dl.size(); ++i) {
      std::istringstream f(dl[i]);
      double t, meas, y;
      if (f >> t >> meas >> y) {
        tt.push_back(t);
        model.push_back(y);
      }
    }
    ASSERT_EQ(tt.size(), twotheta.size());
    size_t top = 0;
    for (size_t i = 0; i < tt.size(); ++i)
      if (tt[i] > 74 && tt[i] < 79 && model[i] > model[top]) top = i;
    std::string scan;
    for (size_t i = 0; i < tt.size(); ++i) {
      char line[96];
      // The weight of the top stays within single precision: counts over
      // sigma squared is 2e38.
      const double sigma = i == top ? std::sqrt(model[i] / 2e38) : std::sqrt(model[i] + 1);
      std::snprintf(line, sizeof line, "%.4f %.2f %.6g\n", tt[i], model[i], sigma);
      scan += line;
    }
    wp->write("faulty.xy", scan);

    // The faulty data set between the main pattern and the same again.
    for (const char* k :
         {"STANDALONEVAL[1]=faulty.xy", "LIST[1]=faulty", "STANDALONEVAL[2]=a.xy", "LIST[2]=again"})
      keys.push_back(k);
    r = wp->run(keys);
    ASSERT_EQ(r.status, 0) << c.parameter << "\n" << r.out;
    EXPECT_NE(r.out.find(c.warning), std::string::npos) << c.parameter << "\n" << r.out;
    const std::string faulty = wp->read("faulty.lst");
    EXPECT_NE(faulty.find(c.warning), std::string::npos) << faulty;
    // It keeps its start, the values refined on the main pattern.
    const Listed at = listed(faulty, c.parameter), before = listed(main, c.parameter);
    ASSERT_FALSE(std::isnan(at.value)) << faulty;
    // (within the digits the list writes: an error has two of its own)
    const double digit = std::isnan(at.sigma)
                             ? 1e-5 * std::fabs(at.value)
                             : std::pow(10.0, -std::max(0.0, 1 - std::floor(std::log10(at.sigma))));
    EXPECT_NEAR(at.value, before.value, 0.5 * digit) << c.parameter << "\n" << faulty;
    // The main pattern's list and written-back keys and the data set after
    // the faulty one are those of the run without it.
    EXPECT_EQ(withouttimes(wp->read("main.lst")), withouttimes(main)) << c.parameter;
    EXPECT_EQ(wp->read("again.lst"), again) << c.parameter;
    EXPECT_EQ(again.find("--- data set"), std::string::npos) << again;
    std::map<std::string, std::string> now = trun::savedkeys(wp->read("run.sav"));
    for (const char* k : {"PARAM[1]", "GOAL[1]"}) {
      EXPECT_EQ(now.count(k), saved.count(k)) << k;
      if (saved.count(k) != 0) {
        EXPECT_EQ(now[k], saved.at(k)) << k;
      }
    }
  }
}

// The derivative mode and the ordinary refinement of pattern a: the same
// cell; the derivative mode has no background, no structure-factor files,
// no Durbin-Watson, 1-rho or per-phase figures, and no measuring-time plan.
TEST_F(Simulated, DerivativeModeAgreesWithTheOrdinaryRefinement) {
  std::vector<std::string> keys = control("a.xy");
  for (const char* k : {"LIST=ord", "OUTPUT=ord", "DIAGRAMM=ord", "FCFOUT[1]=ord"})
    keys.push_back(k);
  ktest::RunResult ord = wp->run(keys);
  ASSERT_EQ(ord.status, 0) << ord.out;
  for (std::string& k : keys) k = replaced(k, "=ord", "=ddm");
  // A goal with an accuracy and a plan file: no plan in the derivative mode.
  keys.push_back("GOAL[1]=A=0+-0.0001");
  keys.push_back("PLAN=ddm");
  keys.push_back("DDM=Y");
  keys.push_back("STANDALONEVAL[1]=b.xy");
  keys.push_back("LIST[1]=ddm1");
  keys.push_back("DIAGRAMM[1]=ddm1");
  ktest::RunResult ddm = wp->run(keys);
  ASSERT_EQ(ddm.status, 0) << ddm.out;
  const std::string lo = wp->read("ord.lst"), ld = wp->read("ddm.lst");
  const Listed Ao = listed(lo, "A"), Ad = listed(ld, "A");
  ASSERT_FALSE(std::isnan(Ao.value) || std::isnan(Ad.value)) << lo << ld;
  // The derivative rows share points, so their own errors are too small:
  // the ordinary refinement's error is the measure.
  EXPECT_NEAR(Ad.value, Ao.value, 3 * Ao.sigma);
  EXPECT_NEAR(Ad.value, kA1, 3 * Ao.sigma);
  EXPECT_TRUE(inorder(ld, {message(227, "DDM", " a.xy", "4.2.23", 3001, 5, 3)})) << ld;
  // What has no meaning for derivatives is left out.
  EXPECT_EQ(ld.find("Durbin-Watson"), std::string::npos);
  EXPECT_EQ(ld.find("1-rho"), std::string::npos);
  EXPECT_EQ(ddm.out.find("1-rho"), std::string::npos);
  EXPECT_EQ(ld.find("Rpb="), std::string::npos);
  EXPECT_EQ(ld.find("Rphase="), std::string::npos);
  EXPECT_NE(lo.find("Rphase="), std::string::npos);
  EXPECT_TRUE(ktest::file_exists(wp->file("ord.fcf")));
  EXPECT_FALSE(ktest::file_exists(wp->file("ddm.fcf")));
  EXPECT_FALSE(ktest::file_exists(wp->file("ddm.opt")));
  // No background: RU is not read and the peak file carries no coefficient.
  const std::string par = wp->read("ddm.par");
  EXPECT_EQ(par.substr(par.rfind('\n') + 1), "0");
  // The diagram holds every measured point with its measured counts.
  const std::vector<std::string> dl = lines(wp->read("ddm.dia"));
  ASSERT_EQ(dl.size(), twotheta.size() + 1);
  EXPECT_NE(dl[0].find("M=3001"), std::string::npos) << dl[0];
  std::istringstream first(dl[1]);
  double tt, I;
  first >> tt >> I;
  EXPECT_EQ(I, lines_[0][0] + 1);
  // A further data set in the derivative mode: its own cell and diagram.
  const Listed A1 = listed(wp->read("ddm1.lst"), "A");
  EXPECT_NEAR(A1.value, kA2, 3 * Ao.sigma);
  EXPECT_EQ(lines(wp->read("ddm1.dia")).size(), twotheta.size() + 1);
}

// A run with further data sets writes the same files for 1 and 8 threads,
// apart from the run's times, in the ordinary and the derivative mode, and
// with a scaled background curve besides the polynomial.
TEST_F(Simulated, SameFilesForOneAndEightThreads) {
  const char* files[] = {"t.lst", "t1.lst", "t1.dia", "t1.str", "t1.res", "run.par", "run_1.par"};
  for (const char* mode : {"DDM=N", "DDM=Y", "UNT=b.xy"}) {
    std::vector<std::string> keys = control("a.xy");
    for (const char* k : {"STANDALONEVAL[1]=b.xy", "LIST=t", "LIST[1]=t1", "DIAGRAMM[1]=t1",
                          "STRUCOUT[1,1]=t1", "RESOUT[1,1]=t1", mode})
      keys.push_back(k);
    std::vector<std::string> first;
    for (const char* threads : {"NTHREADS=1", "NTHREADS=8"}) {
      ktest::RunResult r = wp->run(keys, {threads});
      ASSERT_EQ(r.status, 0) << r.out;
      std::vector<std::string> now;
      for (const char* f : files) now.push_back(withouttimes(wp->read(f)));
      if (first.empty()) {
        first = now;
        continue;
      }
      for (size_t k = 0; k < now.size(); ++k)
        EXPECT_TRUE(first[k] == now[k]) << mode << " " << files[k];
    }
  }
}

}  // namespace
