// Refinements of a synthetic silicon pattern by the built program: the list
// file against the diagram file and its own number rule, the same list on 1
// and 8 threads, the peak-parameter file's header and positions and the
// model curve that the plot program makes of it; the chi-square carried from
// stage to stage; a textured pattern's spherical harmonics recovered and
// written to the texture file; the significance analysis lowering texture,
// anisotropy and anisotropic temperature factors that isotropic data do not
// carry.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tamrelrun.hpp"

namespace {

using ktest::message;
using trun::inorder;
using trun::lines;

const std::string kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// A number written with an exponent ("1.234E-05"), as its text.
std::string exponential(ktest::LineReader& r) {
  std::string mantissa = r.run(ktest::kDigits + ".");
  r.literal("E");
  std::string sign = r.run("+-");
  std::string exponent = r.run(ktest::kDigits);
  if (sign.size() != 1) r.ok = false;
  return r.ok ? mantissa + "E" + sign + exponent : "";
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string f;
  while (in >> f) out.push_back(f);
  return out;
}

// The model column of a diagram file written as a scan of counts (the scan
// reader adds one count to each).
std::string modelcounts(const std::string& diagram) {
  std::string scan;
  const std::vector<std::string> dl = lines(diagram);
  for (size_t i = 1; i < dl.size(); ++i) {
    const std::vector<std::string> f = fields(dl[i]);
    scan += f[0] + " " + std::to_string(std::lround(std::stod(f[2])) - 1) + "\n";
  }
  return scan;
}

// The pattern the program itself computes from a structure (truth.str) on
// the workplace's flat scan flat.xy, written as the scan of counts sim.xy.
void simulate(trun::Workplace& wp, const std::string& structure) {
  wp.write("truth.str", structure);
  const ktest::RunResult r = wp.run(
      {"LINTOR=inst", "LAMBDA=CU", "VAL[1]=flat.xy", "STRUC[1]=truth", "DIAGRAMM=truth", "RU=3"});
  ASSERT_EQ(r.status, 0) << r.out;
  wp.write("sim.xy", modelcounts(wp.read("truth.dia")));
}

// The number after "key=" in a text, NaN when missing.
double value(const std::string& text, const std::string& key) {
  size_t at = text.find(key + "=");
  if (at == std::string::npos) return NAN;
  return std::stod(text.substr(at + key.size() + 1));
}

// Silicon with refined cell, scale and displacement parameter, the last a
// global parameter of the control file (kGlobalB).
const char* kRefined =
    "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 GEWICHT=SPHAR0 PARAM=A=5.4315\n"
    "E=Si Wyckoff=a TDS=Bg\n";
const char* kGlobalB = "PARAM[1]=Bg=0.002_0";

std::vector<std::string> control(const std::string& struc) {
  return {"LINTOR=inst",       "LAMBDA=CU", "VAL[1]=si.xy",
          "STRUC[1]=" + struc, "LIST=si",   "DIAGRAMM=si"};
}

class SiliconRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    wp = new trun::Workplace;
    wp->write("refined.str", kRefined);
    std::vector<std::string> keys = control("refined");
    keys.push_back(kGlobalB);
    keys.push_back("STRUCOUT[1]=next");
    keys.push_back("RESOUT[1]=si");
    result = wp->run(keys, {"NTHREADS=8"});
    list = wp->read("si.lst");
    diagram = wp->read("si.dia");
    par = wp->read("run.par");
  }
  static void TearDownTestSuite() {
    delete wp;
    wp = nullptr;
  }
  static trun::Workplace* wp;
  static ktest::RunResult result;
  static std::string list, diagram, par;
};
trun::Workplace* SiliconRun::wp = nullptr;
ktest::RunResult SiliconRun::result;
std::string SiliconRun::list, SiliconRun::diagram, SiliconRun::par;

TEST_F(SiliconRun, FiguresOfMeritAgreeWithTheDiagramFile) {
  ASSERT_EQ(result.status, 0) << result.out;
  // Recomputed from the columns 2theta, measured, model of the diagram file.
  double sd = 0, sI = 0, sd2 = 0, sI2 = 0;
  std::vector<std::string> dl = lines(diagram);
  ASSERT_GT(dl.size(), 3000u);
  for (size_t i = 1; i < dl.size(); ++i) {
    std::vector<std::string> f = fields(dl[i]);
    const double I = std::stod(f[1]), yv = std::stod(f[2]), d = yv - I;
    sd += std::fabs(d);
    sI += std::fabs(I);
    sd2 += d * d;
    sI2 += I * I;
  }
  EXPECT_NEAR(value(list, "Rp"), 100 * sd / sI, 0.011);
  EXPECT_NEAR(value(list, "  R"), 100 * std::sqrt(sd2 / sI2), 0.011);
  // The weighted figures are those of the diagram file's own header.
  for (const char* key : {"Rp", "Rwp"}) EXPECT_EQ(value(list, key), value(dl[0], key)) << key;
  // More points than parameters: the expected R value is given.
  EXPECT_GT(value(list, "Rexp"), 0.0);
  EXPECT_NE(list.find("Durbin-Watson d="), std::string::npos);
  // The 1-rho line of the run's output is repeated in the list.
  std::string rho;
  for (const std::string& l : lines(result.out)) {
    ktest::LineReader r(l);
    r.until_last("1-rho=");
    r.literal("1-rho=");
    const std::string figure = r.run(ktest::kDigits + ".");
    r.literal("%");
    if (r.done()) {
      rho = "1-rho=" + figure + "%\n";
      break;
    }
  }
  ASSERT_NE(rho, "") << result.out;
  EXPECT_NE(list.find(rho), std::string::npos);
  EXPECT_TRUE(inorder(list, {message(227, "Rietveld", " si.xy", "4.2.23", 3001, 5, 10)}));
}

// The progress lines of a run's output: "stage s, iteration i: Rwp=x%" (or
// "...: sum of squares of the restraints x" without measured points).
struct ProgressLine {
  int stage, iteration;
  std::string figure;  // the Rwp or sum of squares as printed
};
std::vector<ProgressLine> progresslines(const std::string& out) {
  std::vector<ProgressLine> found;
  for (const std::string& l : lines(out)) {
    ktest::LineReader r(l);
    r.literal("stage ");
    const std::string stage = r.run(ktest::kDigits);
    r.literal(", iteration");
    r.run(ktest::kBlanks);
    const std::string iteration = r.run(ktest::kDigits);
    r.literal(": ");
    const std::string figure = r.until_last("");
    if (r.ok) found.push_back({std::stoi(stage), std::stoi(iteration), figure});
  }
  return found;
}

// How often a text stands in another.
int occurrences(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The run names what it refines once, then shows one line per point the
// least-squares fit stands on: its stage, the iteration from 0 (the start)
// on, and the Rwp there, which ends on the list file's figure.
TEST_F(SiliconRun, OutputHeadsTheRunOnceAndShowsEachIteration) {
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(occurrences(result.out, message(224, "Rietveld", 3001, 10)), 1) << result.out;
  const std::vector<ProgressLine> p = progresslines(result.out);
  ASSERT_GE(p.size(), 3u) << result.out;
  EXPECT_EQ(p.front().stage, 0);
  EXPECT_EQ(p.front().iteration, 0);
  EXPECT_EQ(p.back().stage, 3);
  for (size_t k = 1; k < p.size(); ++k) {
    if (p[k].stage == p[k - 1].stage) {
      EXPECT_EQ(p[k].iteration, p[k - 1].iteration + 1) << result.out;
    } else {
      EXPECT_GT(p[k].stage, p[k - 1].stage) << result.out;
      EXPECT_EQ(p[k].iteration, 0) << result.out;
    }
    EXPECT_EQ(p[k].figure.rfind("Rwp=", 0), 0u) << p[k].figure;
  }
  // Silicon starts without intensity: every residual is the measured point.
  EXPECT_EQ(p.front().figure, "Rwp=100.00%");
  const size_t at = list.find("Rwp=");
  ASSERT_NE(at, std::string::npos) << list;
  EXPECT_EQ(p.back().figure, list.substr(at, list.find('%', at) + 1 - at));
  // The heading stands before the first line, the 1-rho line after the last.
  EXPECT_TRUE(inorder(result.out, {message(224, "Rietveld", 3001, 10), "stage 0, iteration   0",
                                   "stage 3, iteration", "1-rho="}));
}

TEST_F(SiliconRun, ListedValuesCarryTheDecimalsOfTheirErrors) {
  ASSERT_EQ(result.status, 0) << result.out;
  // Every "+-" line: two significant digits of the error decide the decimals
  // of value and error alike.
  int checked = 0;
  for (const std::string& l : lines(list)) {
    // name=value+-error, value and error with or without decimals
    ktest::LineReader r(l);
    r.run(kLetters);
    r.literal("=");
    r.literal("-", true);
    r.run(ktest::kDigits);
    const std::string valuedecimals = r.literal(".", true) ? r.run(ktest::kDigits) : "";
    r.literal("+-");
    const std::string error = r.run(ktest::kDigits);
    const std::string errordecimals = r.literal(".", true) ? r.run(ktest::kDigits) : "";
    if (!r.done()) continue;
    const int dv = static_cast<int>(valuedecimals.size()),
              de = static_cast<int>(errordecimals.size());
    const double sigma = std::stod(error + "." + errordecimals);
    EXPECT_EQ(dv, de) << l;
    const int rule = std::max(0, 1 - static_cast<int>(std::floor(std::log10(sigma))));
    EXPECT_TRUE(de == rule || de == rule + 1) << l;  // an error rounded up to the next decade
    ++checked;
  }
  EXPECT_EQ(checked, 2) << list;  // A and GEWICHT
  // The displacement parameter ends on its lower bound: no error, six
  // significant digits, none for 0; the control file gets the bound's text.
  EXPECT_NE(list.find("\nBg=0\n"), std::string::npos) << list;
  EXPECT_EQ(trun::savedkeys(wp->read("run.sav"))["PARAM[1]"], "Bg=0_0");
  EXPECT_NE(list.find("XrayDensity=2.32"), std::string::npos);
  // The refined structure file, written after the list, carries the refined
  // cell for the next run.
  const std::string next = wp->read("next.str");
  const size_t at = next.find("PARAM=A=");
  ASSERT_NE(at, std::string::npos) << next;
  EXPECT_NEAR(std::stod(next.substr(at + 8)), value(list, "A"), 1e-5);
  // So does the instruction file, with the cell's error.
  std::vector<std::string> cell =
      fields(wp->read("si.res").substr(wp->read("si.res").find("CELL ")));
  ASSERT_GE(cell.size(), 3u);
  EXPECT_NEAR(std::stod(cell[2]), value(list, "A"), 1e-4);
}

TEST_F(SiliconRun, PeakFileHeaderPositionsAndModelCurve) {
  ASSERT_EQ(result.status, 0) << result.out;
  std::vector<std::string> pl = lines(par);
  ASSERT_EQ(pl.size(), 7u) << par;  // header, five reflections, background
  EXPECT_TRUE(
      inorder(pl[0], {"PEAKZAHL=5 ", "TITEL=run ", "LAMBDA=CU ", "POL=1.00000 ", "LINTOR=inst ",
                      "WMIN=20.000 ", "WMAX=80.000 ", "Q=", " EPS1=0.000000", " EPS2=0.000000",
                      " EPS3=0.000000", " EPS4=0.000000"}));
  // Each position is 1/d of its reflection in the refined cell.
  const double a = value(list, "A") / 10;  // nm
  for (size_t i = 1; i <= 5; ++i) {
    std::vector<std::string> f = fields(pl[i]);
    ASSERT_GE(f.size(), 6u);
    const int h = std::stoi(f[f.size() - 3]), k = std::stoi(f[f.size() - 2]),
              l = std::stoi(f[f.size() - 1]);
    EXPECT_NEAR(std::stod(f[2]), std::sqrt(h * h + k * k + l * l) / a, 2e-6) << pl[i];
  }
  // The plot program evaluates the peaks under the file's header and gets
  // the refinement's model curve back.
  ktest::RunResult v = ktest::run_program(
      ktest::program_path("vistal"),
      {"plot", "VAL[1]=si.xy", "OUTPUT=run.par", "LAMBDA=CU", "LINTOR=inst", "SAVE=N"},
      wp->work.path(), {{"KALVO", wp->install.path()}});
  ASSERT_EQ(v.status, 0) << v.out;
  std::map<long, double> model;
  std::vector<std::string> dl = lines(diagram);
  double top = 0;
  for (size_t i = 1; i < dl.size(); ++i) {
    std::vector<std::string> f = fields(dl[i]);
    model[std::lround(std::stod(f[0]) * 1000)] = std::stod(f[2]);
    top = std::max(top, std::stod(f[2]));
  }
  int compared = 0;
  for (const std::string& l : lines(ktest::read_file(wp->install.file("kurve.dat")))) {
    std::vector<std::string> f = fields(l);
    if (f.size() < 2 || f[0][0] == '#') continue;
    auto it = model.find(std::lround(std::stod(f[0]) * 1000));
    if (it == model.end()) continue;
    EXPECT_NEAR(std::stod(f[1]), it->second, 1e-4 * top) << l;
    ++compared;
  }
  EXPECT_GE(compared, 3001);
}

// One worker runs every batch on the main thread, two and eight hand them
// out: the list files are the same.
TEST(TamrelRefine, ListFilesOfOneTwoAndEightThreadsAreTheSame) {
  trun::Workplace wp;
  wp.write("refined.str", kRefined);
  std::string text[3];
  const char* threads[3] = {"NTHREADS=1", "NTHREADS=2", "NTHREADS=8"};
  for (int i = 0; i < 3; ++i) {
    std::vector<std::string> keys = control("refined");
    keys.push_back(kGlobalB);
    ktest::RunResult r = wp.run(keys, {threads[i]});
    ASSERT_EQ(r.status, 0) << r.out;
    text[i] = trun::withouttimes(wp.read("si.lst"));
  }
  EXPECT_EQ(text[0], text[1]);
  EXPECT_EQ(text[0], text[2]);
}

// The chi-square of each stage's start, and the last accepted one, from the
// minimiser's protocol.
struct StageSums {
  std::vector<double> start, end;
};
StageSums stagesums(const std::string& out) {
  StageSums s;
  for (const std::string& l : lines(out)) {
    // cycle, sum of squares, then the rest of the line
    ktest::LineReader r(l);
    r.run(ktest::kBlanks, 0);
    const std::string cycle = r.run(ktest::kDigits);
    r.run(ktest::kBlanks);
    const std::string sum = r.run("-+0123456789.E");
    r.run(ktest::kBlanks);
    if (!r.ok) continue;
    const double v = std::stod(sum);
    if (cycle == "0") {
      s.start.push_back(v);
      s.end.push_back(v);
    } else if (!s.end.empty()) {
      s.end.back() = v;
    }
  }
  return s;
}

TEST(TamrelRefine, EachStageStartsWhereThePreviousEnded) {
  // A texture and a second-order anisotropy kept by limits of 0: stages 0
  // to 3 all fit.
  trun::Workplace wp;
  wp.write("all.str",
           "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=3 PARAM=A=5.4315 GEWICHT=SPHAR2 LIMIT2=0\n"
           "ANISOLIMIT=0 B1=ANISOSQR\n"
           "E=Si Wyckoff=a PARAM=B=0.002_0 TDS=B\n");
  ktest::RunResult r = wp.run(control("all"), {"PROTOKOLL=Y", "NTHREADS=4"});
  ASSERT_EQ(r.status, 0) << r.out;
  StageSums s = stagesums(r.out);
  ASSERT_EQ(s.start.size(), 4u) << r.out;
  // The minimiser's table stands in place of the progress lines; the heading
  // is printed once, and each later stage that refines another number of
  // parameters says so (the texture's six coefficients in place of the scale,
  // the breadth's six tensor components in place of the breadth).
  EXPECT_TRUE(progresslines(r.out).empty()) << r.out;
  EXPECT_EQ(occurrences(r.out, "refinement: 3001 measured points"), 1) << r.out;
  EXPECT_TRUE(inorder(
      r.out, {message(224, "Rietveld", 3001, 11), message(361, 1, 16), message(361, 2, 21)}))
      << r.out;
  EXPECT_EQ(occurrences(r.out, message(361, 3, 21)), 0) << r.out;
  // Stage 2 starts each anisotropic form at its isotropic value, raised to a
  // tenth of that value's error where it lies below: here the breadth B1,
  // which the Gaussian lines leave at 0.
  for (size_t k = 1; k < 4; ++k) {
    if (k == 2) {
      EXPECT_GE(s.start[k], s.end[k - 1]);
      EXPECT_LT(s.start[k], 1.01 * s.end[k - 1]);
    } else {
      EXPECT_EQ(s.start[k], s.end[k - 1]) << "stage " << k;
    }
  }
  EXPECT_LT(s.end[0], s.start[0] / 2);
}

TEST(TamrelRefine, TexturedPatternRecoversItsSphericalHarmonics) {
  // The true pattern: silicon with the texture weight
  // exp(0.8 (h^4 + k^4 + l^4) / (h^2 + k^2 + l^2)^2), a cubic form of order
  // 4, computed by the program with only the background refined.
  trun::Workplace wp;
  wp.write("flat.xy", trun::siliconscan(1000, 0));
  wp.write("truth.str",
           "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 A=5.431 "
           "GEWICHT=0.005*exp(0.8*(h*h*h*h+k*k*k*k+l*l*l*l)/((h*h+k*k+l*l)*(h*h+k*k+l*l)))\n"
           "E=Si Wyckoff=a TDS=0.5\n");
  ktest::RunResult r = wp.run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=flat.xy", "STRUC[1]=truth",
                               "DIAGRAMM=truth", "RU=3", "OUTPUT=truth"});
  ASSERT_EQ(r.status, 0) << r.out;
  std::string counts;
  std::vector<std::string> dl = lines(wp.read("truth.dia"));
  for (size_t i = 1; i < dl.size(); ++i) {
    std::vector<std::string> f = fields(dl[i]);
    // The scan reader adds one count.
    counts += f[0] + " " + std::to_string(std::lround(std::stod(f[2]) - 1)) + "\n";
  }
  wp.write("textured.xy", counts);
  // Refined with a texture of order 4 (kept by limits of 0) from a cell
  // 0.01 % off.
  wp.write("fit.str",
           "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 PARAM=A=5.4315 GEWICHT=SPHAR4 LIMIT2=0 "
           "LIMIT4=0\n"
           "E=Si Wyckoff=a TDS=0.5\n");
  r = wp.run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=textured.xy", "STRUC[1]=fit", "LIST=fit", "RU=3",
              "OUTPUT=fit", "PO[1]=fit"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find(message(51, 1, "SPHAR4", "SPHAR2")), std::string::npos);
  // Every reflection's texture weight relative to (111) is the true one.
  std::vector<std::string> pl = lines(wp.read("fit.par"));
  ASSERT_EQ(pl.size(), 7u);
  double first = 0, firstH = 0;
  for (size_t i = 1; i <= 5; ++i) {
    std::vector<std::string> f = fields(pl[i]);
    const double h = std::stod(f[f.size() - 3]), k = std::stod(f[f.size() - 2]),
                 l = std::stod(f[f.size() - 1]);
    const double H = (h * h * h * h + k * k * k * k + l * l * l * l) /
                     ((h * h + k * k + l * l) * (h * h + k * k + l * l));
    const double t = value(pl[i], "TEXTUR");
    if (i == 1) {
      first = t;
      firstH = H;
      continue;
    }
    EXPECT_NEAR(t / first, std::exp(0.8 * (H - firstH)), 1e-3 * std::exp(0.8 * (H - firstH)))
        << pl[i];
  }

  // The texture file: the cell, the weights and the order, then the fifteen
  // monomials h^i k^j l^m of degree 4 from (4,0,0) on, each with its number
  // of index tuples 4!/(i! j! m!) and its coefficient.
  std::vector<std::string> po = lines(wp.read("fit.po"));
  ASSERT_EQ(po.size(), 16u);
  ktest::LineReader head(po[0]);
  std::string edges[3];
  for (int i = 0; i < 3; ++i) {
    head.literal(std::string(i == 0 ? "" : " ") + "ABC"[i] + "=0.543");
    edges[i] = head.run(ktest::kDigits);
  }
  head.literal(" ALPHA=90.00000 BETA=90.00000 GAMMA=90.00000 GEWICHT=");
  const std::string weight = exponential(head);
  head.literal(" MAXGEWICHT=");
  const std::string maxweight = exponential(head);
  head.literal(" SPHAR=4");
  ASSERT_TRUE(head.done()) << po[0];
  for (const std::string& e : edges) ASSERT_EQ(e.size(), 5u) << po[0];
  const double a = std::stod("0.543" + edges[0]);
  EXPECT_NEAR(a, value(wp.read("fit.lst"), "A") / 10, 1e-7);
  EXPECT_GT(std::stod(maxweight), std::stod(weight));
  const int factorial[5] = {1, 1, 2, 6, 24};
  std::vector<std::array<int, 3>> ex;
  std::vector<double> term;  // count x coefficient
  for (size_t k = 1; k < po.size(); ++k) {
    // three exponents, the count in two columns, the coefficient with
    // eight decimals
    ktest::LineReader r(po[k]);
    std::array<int, 3> e{};
    for (int& x : e) {
      const std::string digit = r.run("01234");
      r.literal(" ");
      x = digit.size() == 1 ? std::stoi(digit) : -1;
    }
    const bool blank = r.literal(" ", true);
    const std::string count = (blank ? " " : "") + r.run(ktest::kDigits);
    r.run(" ");
    const std::string sign = r.literal("-", true) ? "-" : "";
    const std::string coefficient = sign + r.decimal();
    ASSERT_TRUE(r.done() && e[0] >= 0 && e[1] >= 0 && e[2] >= 0) << po[k];
    ASSERT_EQ(coefficient.size() - coefficient.find('.') - 1, 8u) << po[k];
    ASSERT_EQ(count.size(), 2u) << po[k];
    ASSERT_EQ(po[k].size(), 1 + 1 + 1 + 1 + 1 + 1 + 2 + 1 + 14u) << po[k];
    ex.push_back(e);
    EXPECT_EQ(std::stoi(count), 24 / (factorial[e[0]] * factorial[e[1]] * factorial[e[2]]))
        << po[k];
    term.push_back(std::stod(count) * std::stod(coefficient));
  }
  // (4,0,0), (3,1,0), (3,0,1), (2,2,0), (2,1,1), (2,0,2), (1,3,0), ...
  size_t k = 0;
  for (int i = 4; i >= 0; --i)
    for (int m = 0; m <= 4 - i; ++m, ++k) EXPECT_EQ(ex[k], (std::array<int, 3>{i, 4 - i - m, m}));
  // The coefficients are the refined texture: the sum of the terms over
  // (h k l) / |(h k l)|^2 in the cell of the file gives the logarithm of the
  // true weight, up to a constant.
  auto lnweight = [&](double h, double kk, double l) {
    const double Q = (h * h + kk * kk + l * l) / (a * a);
    double x = 0;
    for (size_t j = 0; j < ex.size(); ++j)
      x += term[j] * std::pow(h, ex[j][0]) * std::pow(kk, ex[j][1]) * std::pow(l, ex[j][2]);
    return x / (Q * Q);
  };
  auto truth = [](double h, double kk, double l) {
    const double q = h * h + kk * kk + l * l;
    return 0.8 * (h * h * h * h + kk * kk * kk * kk + l * l * l * l) / (q * q);
  };
  for (const auto& hkl :
       std::vector<std::array<double, 3>>{{2, 2, 0}, {3, 1, 1}, {4, 0, 0}, {3, 3, 1}})
    EXPECT_NEAR(lnweight(hkl[0], hkl[1], hkl[2]) - lnweight(1, 1, 1),
                truth(hkl[0], hkl[1], hkl[2]) - truth(1, 1, 1), 2e-3)
        << hkl[0] << hkl[1] << hkl[2];
}

TEST(TamrelRefine, IsotropicDataLowerTextureAnisotropyAndTemperatureFactor) {
  trun::Workplace wp;
  // The limits force each decision: a texture of order 4 whose order 2 needs
  // more significance than any fit has; an isotropic weight object that must
  // be anisotropic beyond any doubt; a fourth-order breadth allowed at second
  // order but not at fourth; an anisotropic temperature factor likewise.
  wp.write("texture.str",
           "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 PARAM=A=5.4315 GEWICHT=SPHAR4 "
           "LIMIT2=1e9\n"
           "E=Si Wyckoff=a PARAM=B=0.002_0 TDS=B\n");
  wp.write("aniso.str",
           "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=3 PARAM=A=5.4315 ANISOLIMIT=1e9 "
           "GEWICHT=ANISO ANISOLIMIT=0 ANISO4LIMIT=1e9 B1=ANISO4\n"
           "E=Si Wyckoff=a ANISOLIMIT=1e9 TDS=ANISO\n");
  std::vector<std::string> keys = control("texture");
  keys.push_back("PO[1]=lowered");
  ktest::RunResult r = wp.run(keys);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(inorder(r.out, {message(51, 1, "SPHAR4", "SPHAR0")}));
  EXPECT_NE(wp.read("si.lst").find("GEWICHT="), std::string::npos);
  // A texture lowered to a mere weight has no texture file.
  EXPECT_FALSE(ktest::file_exists(wp.file("lowered.po")));
  r = wp.run(control("aniso"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(inorder(r.out, {message(52, 1, "GEWICHT"), message(54, 1, "B1"), message(53, 1, 1)}));
  const std::string lst = wp.read("si.lst");
  EXPECT_NE(lst.find("GEWICHT=ISOTROPIC="), std::string::npos) << lst;
  EXPECT_NE(lst.find("B1=ANISOSQR,"), std::string::npos) << lst;
  EXPECT_NE(lst.find("TDS=ISOTROPIC="), std::string::npos) << lst;
}

// Starts the minimiser must not take: reported before any iteration.
TEST(TamrelRefine, RefusedStartsStopBeforeAnyIteration) {
  struct Case {
    const char* what;
    const char* structure;
    int status;
    std::vector<std::string> messages;
  };
  const std::vector<Case> cases = {
      {"cell below its minimum",
       "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 GEWICHT=SPHAR0 PARAM=A=5.4315_5.5\n"
       "E=Si Wyckoff=a TDS=0.002\n",
       132,
       {message(-132, "A"), message(260, 1)}},
      {"a displacement parameter that overflows every line",
       "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 GEWICHT=SPHAR0 PARAM=A=5.4315\n"
       "E=Si Wyckoff=a TDS=-1e6*A\n",
       36,
       {message(224, "Rietveld", 3001, 9), message(-36, 0)}},
  };
  trun::Workplace wp;
  for (const Case& c : cases) {
    wp.write("bad.str", c.structure);
    ktest::RunResult r = wp.run(control("bad"));
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out;
    EXPECT_TRUE(inorder(r.out, c.messages)) << c.what;
    EXPECT_EQ(r.out.find("iteration"), std::string::npos) << c.what;
  }
}

// A parameter whose derivatives are not finite stops the refinement, named
// with its phase and atom when it belongs to them. The model is finite at
// the start value and infinite beside it: the line breadth or the
// displacement factor jumps by exp(1000).
TEST(TamrelRefine, ParameterWithInfiniteDerivativesStopsTheRun) {
  struct Case {
    const char* what;
    const char* structure;
    std::vector<std::string> keys;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"global parameter",
       "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM GEWICHT=SPHAR0\n"
       "A=5.4310 B1=0.001+ifthenelse(eq(p,1),0,exp(1000)) B2=0.000001\n"
       "E=Si Wyckoff=a TDS=0.5\n",
       {"PARAM[1]=p=1"},
       32,
       message(-32, "p")},
      {"parameter of the phase",
       "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM GEWICHT=SPHAR0 PARAM=p=1\n"
       "A=5.4310 B1=0.001+ifthenelse(eq(p,1),0,exp(1000)) B2=0.000001\n"
       "E=Si Wyckoff=a TDS=0.5\n",
       {},
       33,
       message(-33, 1, "p")},
      {"parameter of an atom",
       "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM GEWICHT=SPHAR0\n"
       "A=5.4310 B1=0.001 B2=0.000001\n"
       "E=Si Wyckoff=a PARAM=q=1 TDS=0.5-ifthenelse(eq(q,1),0,exp(1000))\n",
       {},
       34,
       message(-34, 1, 1, "q")},
  };
  trun::Workplace wp;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    wp.write("bad.str", c.structure);
    std::vector<std::string> keys = control("bad");
    keys.insert(keys.end(), c.keys.begin(), c.keys.end());
    ktest::RunResult r = wp.run(keys);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_TRUE(inorder(r.out, {message(224, "Rietveld", 3001, 9), c.message}));
  }
}

// A neutron run: the wavelength given as a number, the scattering lengths
// of the installation in place of form factors, so that |F| does not fall
// with the angle (silicon: 4 sqrt 2 b for h, k, l odd, 8 b for h + k + l
// divisible by 4, b = 4.1491 fm), and no polarisation factor in the peak
// file's header.
TEST(TamrelRefine, NeutronRunTakesTheScatteringLengths) {
  trun::Workplace wp;
  // The silicon lines at 0.15 nm.
  std::string scan;
  char line[64];
  for (int i = 0; i <= 3000; ++i) {
    const double tt = 20 + 0.02 * i;
    double y = 100;
    for (int q : {3, 8, 11, 16, 19}) {
      const double p = 360 / 3.141592653589793 * std::asin(0.15 * std::sqrt(q) / (2 * 0.5431));
      y += 5000 * std::exp(-std::pow((tt - p) / 0.05, 2));
    }
    std::snprintf(line, sizeof line, "%.2f %.0f\n", tt, y);
    scan += line;
  }
  wp.write("n.xy", scan);
  wp.write("n.str",
           "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM GEWICHT=SPHAR0\n"
           "A=5.4310 B1=0.001 B2=0.000001\n"
           "E=Si Wyckoff=a TDS=0\n");
  ktest::RunResult r =
      wp.run({"LINTOR=inst", "NEUTRONS=0.15", "VAL[1]=n.xy", "STRUC[1]=n", "OUTPUT=n"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::vector<std::string> pl = lines(wp.read("n.par"));
  ASSERT_EQ(pl.size(), 7u);
  EXPECT_TRUE(inorder(pl[0], {"PEAKZAHL=5 ", "TITEL=run ", "NEUTRONS=0.15 ", "LINTOR=inst "}));
  EXPECT_EQ(pl[0].find("POL="), std::string::npos) << pl[0];
  const double b = 4.1491;
  for (size_t i = 1; i <= 5; ++i) {
    const std::vector<std::string> f = fields(pl[i]);
    const int h = std::stoi(f[f.size() - 3]), k = std::stoi(f[f.size() - 2]),
              l = std::stoi(f[f.size() - 1]);
    const double F = (h + k + l) % 4 == 0 ? 8 * b : 4 * std::sqrt(2.0) * b;
    const size_t at = pl[i].find(" F=");
    ASSERT_NE(at, std::string::npos) << pl[i];
    EXPECT_NEAR(std::stod(pl[i].substr(at + 3)), F, 0.001) << pl[i];
    EXPECT_GT(std::stod(f[1]), 0.0) << pl[i];
  }
}

// Restraints alone, without a measured pattern: a pair potential between the
// silicon atoms (Lennard-Jones, minimum at 2.35 angstrom) refines the cell to
// the minimum of the phase's restraint energy, which the list file reports:
// the energy of the refined cell, written back into the refined structure
// file, lies below that of cells 0.01 angstrom larger and smaller.
TEST(TamrelRefine, RestraintsAloneFindTheirEnergyMinimum) {
  trun::Workplace wp;
  const auto structure = [](const std::string& cell) {
    return "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 GEWICHT=SPHAR0 Theory=1 " + cell +
           "\nWW(-1,-6,84.3,-12,Si1)\nE=Si Wyckoff=a TDS=0.5\n";
  };
  const auto energy = [&](const std::string& list) {
    const size_t at = list.find("\nEchem=");
    EXPECT_NE(at, std::string::npos) << list;
    return at == std::string::npos ? 0.0 : std::stod(list.substr(at + 7));
  };
  wp.write("free.str", structure("PARAM=A=5.6"));
  ktest::RunResult r = wp.run({"LAMBDA=CU", "STRUC[1]=free", "LIST=free", "STRUCOUT[1]=refined"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(inorder(r.out, {message(215)}));
  // Without measured points the progress shows the restraints' sum of
  // squares, which falls.
  const std::vector<ProgressLine> p = progresslines(r.out);
  ASSERT_GE(p.size(), 2u) << r.out;
  const std::string sum = "sum of squares of the restraints ";
  ASSERT_EQ(p.front().figure.rfind(sum, 0), 0u) << r.out;
  EXPECT_LT(std::stod(p.back().figure.substr(sum.size())),
            std::stod(p.front().figure.substr(sum.size())))
      << r.out;
  const std::string refined = wp.read("refined.str");
  const size_t at = refined.find("PARAM=A=");
  ASSERT_NE(at, std::string::npos) << refined;
  const double a = std::stod(refined.substr(at + 8));
  // Nearest neighbours a sqrt(3) / 4 apart; the further ones, within three
  // times the minimum's distance, pull the cell a little below 4 x 2.35 /
  // sqrt(3) = 5.427 angstrom.
  EXPECT_GT(a, 5.0);
  EXPECT_LT(a, 5.427);
  const double least = energy(wp.read("free.lst"));
  EXPECT_LT(least, 0.0);
  for (double step : {-0.01, 0.0, 0.01}) {
    SCOPED_TRACE(step);
    char cell[64];
    std::snprintf(cell, sizeof cell, "A=%.14f", a + step);
    wp.write("fixed.str", structure(cell));
    r = wp.run({"LAMBDA=CU", "STRUC[1]=fixed", "LIST=fixed"});
    ASSERT_EQ(r.status, 0) << r.out;
    const double e = energy(wp.read("fixed.lst"));
    if (step == 0.0) {
      EXPECT_NEAR(e, least, 1e-6 * std::fabs(least));
    } else {
      EXPECT_GT(e, least);
    }
  }
}

// Two phases with different peak kinds (silicon with two parameters per
// peak, rock salt with its own Lorentzian breadth): from a pattern the
// program computed for known cells, scales, breadth and displacement
// parameter, a refinement from shifted cells gives every value back.
TEST(TamrelRefine, TwoPhasesOfDifferentPeakKindsComeBack) {
  trun::Workplace wp;
  std::string flat;
  for (int i = 0; i <= 3000; ++i) flat += std::to_string(20 + 0.02 * i) + " 1000\n";
  wp.write("flat.xy", flat);
  wp.write("si.str",
           "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 A=5.431 GEWICHT=0.005\n"
           "E=Si Wyckoff=a TDS=0.5\n");
  wp.write("nacl.str",
           "PHASE=NaCl SpacegroupNo=225 UNIT=ANGSTROEM RP=3 A=5.640 GEWICHT=0.002 B1=0.003\n"
           "E=Na Wyckoff=a TDS=1.0\nE=Cl Wyckoff=b TDS=0.8\n");
  ktest::RunResult r = wp.run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=flat.xy", "STRUC[1]=si",
                               "STRUC[2]=nacl", "DIAGRAMM=truth", "RU=3"});
  ASSERT_EQ(r.status, 0) << r.out;
  wp.write("two.xy", modelcounts(wp.read("truth.dia")));
  wp.write("si.str",
           "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 GEWICHT=SPHAR0 PARAM=A=5.433\n"
           "E=Si Wyckoff=a PARAM=B=0.3_0 TDS=B\n");
  wp.write("nacl.str",
           "PHASE=NaCl SpacegroupNo=225 UNIT=ANGSTROEM RP=3 GEWICHT=SPHAR0 PARAM=A=5.642\n"
           "PARAM=b=0.002_0 B1=b\nE=Na Wyckoff=a TDS=1.0\nE=Cl Wyckoff=b TDS=0.8\n");
  r = wp.run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=two.xy", "STRUC[1]=si", "STRUC[2]=nacl", "RU=3",
              "LIST=two"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string list = wp.read("two.lst");
  const size_t second = list.find("\nPhase NaCl");
  ASSERT_NE(second, std::string::npos) << list;
  // value of "key=value+-error" in the part of the list from `from` on.
  const auto listed = [&](size_t from, const std::string& key) {
    const size_t at = list.find("\n" + key + "=", from);
    EXPECT_NE(at, std::string::npos) << key << list;
    return at == std::string::npos ? 0.0 : std::stod(list.substr(at + key.size() + 2));
  };
  const size_t first = list.find("\nPhase Si");
  ASSERT_LT(first, second);
  EXPECT_NEAR(listed(first, "A"), 5.431, 1e-4);
  EXPECT_NEAR(listed(first, "GEWICHT"), 0.005, 0.005 * 0.01);
  EXPECT_NEAR(listed(first, "B"), 0.5, 0.02);
  EXPECT_NEAR(listed(second, "A"), 5.640, 1e-4);
  EXPECT_NEAR(listed(second, "GEWICHT"), 0.002, 0.002 * 0.01);
  EXPECT_NEAR(listed(second, "b"), 0.003, 0.003 * 0.02);
}

// The squared-Lorentzian breadth refined from 0 on its lower bound 0, given
// directly (B2) or through its angle term (k2): the fit must be able to move
// it off the bound when the pattern has it, and bring it back. A slope of the
// model that vanishes at 0 left the refinement stuck there, ending with
// status 0 far from the fit (R values of tens of percent).
TEST(TamrelRefine, SquaredLorentzianBreadthLeavesItsBoundAtZero) {
  struct Case {
    const char* key;
    double truth;  // B2 in 1/angstrom^2; k2 per 1/d^2 in nm^-2
  } cases[] = {{"B2", 1e-5}, {"k2", 4e-5}};
  trun::Workplace wp;
  std::string flat;
  for (int i = 0; i <= 3000; ++i) flat += std::to_string(20 + 0.02 * i) + " 1000\n";
  wp.write("flat.xy", flat);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    const std::string truth = std::string(c.key) + "=" + std::to_string(c.truth);
    ASSERT_NO_FATAL_FAILURE(simulate(
        wp, "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=4 A=5.431 GEWICHT=0.005 B1=0.002 " +
                truth + "\nE=Si Wyckoff=a TDS=0.5\n"));
    wp.write("fit.str",
             "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=4 GEWICHT=SPHAR0 A=5.431 B1=0.002\n"
             "PARAM=" +
                 std::string(c.key) + "=0_0\nE=Si Wyckoff=a TDS=0.5\n");
    const ktest::RunResult r =
        wp.run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=sim.xy", "STRUC[1]=fit", "RU=3", "LIST=fit"});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string list = wp.read("fit.lst");
    EXPECT_NEAR(value(list, c.key), c.truth, 0.05 * c.truth) << list;
    EXPECT_LT(value(list, "Rwp"), 1.0) << list;
  }
}

// Anisotropic models refined against a pattern that the program itself
// computed from an isotropic cubic truth (scale 0.005, line breadth B1 =
// 0.002 per angstrom, B = 0.5 angstrom^2): the texture weight as a square
// form, the breadth as a linear form and the displacement as a tensor must
// each come back isotropic at the true value, whether all stages fit or only
// the first (the tensors then start from the isotropic values).
TEST(TamrelRefine, AnisotropicFormsRecoverAnIsotropicTruth) {
  trun::Workplace wp;
  std::string flat;
  for (int i = 0; i <= 3000; ++i) flat += std::to_string(20 + 0.02 * i) + " 1000\n";
  wp.write("flat.xy", flat);
  ASSERT_NO_FATAL_FAILURE(
      simulate(wp,
               "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=3 A=5.431 GEWICHT=0.005 B1=0.002\n"
               "E=Si Wyckoff=a TDS=0.5\n"));
  ktest::RunResult r;
  wp.write("aniso.str",
           "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=3 ANISOLIMIT=0 GEWICHT=ANISO\n"
           "A=5.431 B1=ANISO\n"
           "E=Si Wyckoff=a TDS=ANISO\n");
  const double U = 0.5 / (8 * 3.141592653589793 * 3.141592653589793);
  for (const char* onlyiso : {"ONLYISO=N", "ONLYISO=Y"}) {
    SCOPED_TRACE(onlyiso);
    r = wp.run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=sim.xy", "STRUC[1]=aniso", "RU=3", "LIST=aniso",
                "RESOUT[1]=aniso", onlyiso});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string list = wp.read("aniso.lst");
    // "name=ANISOSQR, MeanValue(name)=m, sqrt3(det(name))=d": in a cubic
    // phase the determinant's cube root is the mean.
    const auto form = [&](const std::string& name, const std::string& kind, double truth) {
      const std::string head = name + "=" + kind + ", MeanValue(" + name + ")=";
      const size_t at = list.find("\n" + head);
      ASSERT_NE(at, std::string::npos) << head << list;
      const double mean = std::stod(list.substr(at + 1 + head.size()));
      EXPECT_NEAR(mean, truth, 0.01 * truth) << name;
      const std::string det = "sqrt3(det(" + name + "))=";
      const size_t d = list.find(det, at);
      ASSERT_NE(d, std::string::npos) << list;
      EXPECT_NEAR(std::stod(list.substr(d + det.size())), mean, 1e-6 * mean) << name;
    };
    form("GEWICHT", "ANISOSQR", 0.005);
    form("B1", "ANISOLIN", 0.002);
    // The displacement tensor: beta and U (angstrom^2) rows; U = B / 8 pi^2
    // on the diagonal, 0 off it, and the instruction file says the same.
    const size_t t = list.find(" beta[i,j]=(");
    ASSERT_NE(t, std::string::npos) << list;
    const std::vector<std::string> rows = lines(list.substr(t));
    ASSERT_GE(rows.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      // The row's numbers: three of beta, then three of U.
      std::string row =
          trun::replaced(trun::replaced(rows[i], "beta[i,j]=(", " "), "U[i,j]=(", " ");
      std::istringstream in(trun::replaced(trun::replaced(row, ",", " "), ")", " "));
      std::vector<double> v;
      for (double x; in >> x;) v.push_back(x);
      ASSERT_EQ(v.size(), 6u) << rows[i];
      for (size_t j = 0; j < 3; ++j) EXPECT_NEAR(v[3 + j], i == j ? U : 0.0, 0.03 * U) << rows[i];
    }
    const std::vector<std::string> res =
        fields(wp.read("aniso.res").substr(wp.read("aniso.res").find("\nSi1 ")));
    ASSERT_GE(res.size(), 9u);
    EXPECT_NEAR(std::stod(res[6]), U, 0.03 * U);
    EXPECT_NEAR(std::stod(res[7]), U, 0.03 * U);
    EXPECT_NEAR(std::stod(res[9]), U, 0.03 * U);
  }
}

}  // namespace
