// The instrument-function test, run as a program: the lines of probast.out
// over the plotted range with unit area, the component blocks, the failures,
// a profile narrower than single precision resolves, and the same line shape
// from a GEQ table made by quindle as from the instrument-profile file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "geqrun.hpp"
#include "gerfixtures.hpp"
#include "testsupport.hpp"

namespace probast {

namespace {

using geqrun::Blocks;
using geqrun::message;
using geqrun::Point;
using gerfix::Block;

constexpr double kPi = 3.141592653589793;
constexpr double kDeg = 360 / kPi;  // radians of theta to degrees of 2theta

class Probast : public ::testing::Test {
 protected:
  geqrun::Workplace wp;

  void ger(const std::vector<Block>& blocks, const std::string& header = "TITEL=test") {
    gerfix::write_ger(wp.file("inst.ger"), header, blocks);
  }
  ktest::RunResult probast(std::vector<std::string> statements) {
    statements.push_back("SAVE=N");
    return wp.run("probast", statements);
  }
  std::string output() { return ktest::read_file(wp.install.file("probast.out")); }
};

// Area under a block: the profile per degree of 2theta times the step (from
// the whole span: one printed step carries too few digits).
double area(const std::vector<Point>& b) {
  double step = std::fabs(b.back().x - b.front().x) / static_cast<double>(b.size() - 1);
  double sum = 0;
  for (const Point& p : b) sum += p.y * step;
  return sum;
}

// One component of weight 1 at its record's own angle: the range is
// e -+ 100^(1/3) w, walked in 10000 steps, and the area within it is that of
// the squared Lorentzian out to 4.64 widths.
TEST_F(Probast, OneComponentRangeLinesAndUnitArea) {
  const double e0 = 0.0002, w = 0.0005;
  ger({{25, {{1, e0, w}}}});
  ktest::RunResult r = probast({"LINTOR=inst", "zweiTheta=50"});
  ASSERT_EQ(r.status, 0) << r.out;
  std::string text = output();
  Blocks b = geqrun::columns(text);
  ASSERT_EQ(b.size(), 1u);
  ASSERT_EQ(b[0].size(), 10000u);
  double c = std::cbrt(100.0), lo = e0 - c * w, hi = e0 + c * w, step = (hi - lo) * 1e-4;
  EXPECT_NEAR(b[0].front().x, -lo * kDeg, 1e-6);
  EXPECT_NEAR(b[0].back().x, -(hi - step) * kDeg, 1e-6);
  // The abscissae run from lo in equal steps: 2theta deviations decrease.
  for (size_t k = 1; k < b[0].size(); ++k) ASSERT_LT(b[0][k].x, b[0][k - 1].x) << k;
  // The analytic area of (2/pi) w^3 / (x^2 + w^2)^2 over -+ a, a = c w.
  double want = 2 / kPi * (c / (c * c + 1) + std::atan(c));
  EXPECT_NEAR(area(b[0]), want, 2e-4);
  // The peak at the component's position, with height 2 / (pi w) per radian
  // of theta.
  auto top = std::max_element(b[0].begin(), b[0].end(),
                              [](const Point& a, const Point& p) { return a.y < p.y; });
  EXPECT_NEAR(top->x, -e0 * kDeg, 2 * step * kDeg);
  EXPECT_NEAR(top->y, 2 / (kPi * w) / kDeg, 1e-4 * top->y);
  // Each line is two fields of 13 characters.
  EXPECT_EQ(text.find('\n'), 27u);
}

// Extension switches the component blocks on by its first letter; each
// component block walks the same abscissae and they add up to the sum.
TEST_F(Probast, ExtensionAddsOneBlockPerComponent) {
  ger({{25, {{0.7, 0.0001, 0.0004}, {0.3, -0.0004, 0.0008}}}});
  struct Case {
    const char* statement;  // null: Extension undefined
    size_t blocks;
  };
  const Case cases[] = {{nullptr, 1},       {"Extension=N", 1},   {"Extension=nein", 1},
                        {"Extension=Y", 3}, {"Extension=yes", 3}, {"Extension=J", 3},
                        {"Extension=ja", 3}};
  std::string cfg = wp.install.file("probast.cfg");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statement ? c.statement : "undefined");
    ktest::write_file(cfg, "% no keys\n");
    std::vector<std::string> st{"LINTOR=inst", "zweiTheta=50"};
    if (c.statement) st.push_back(c.statement);
    ktest::RunResult r = probast(st);
    ASSERT_EQ(r.status, 0) << r.out;
    Blocks b = geqrun::columns(output());
    ASSERT_EQ(b.size(), c.blocks);
    if (c.blocks == 1) continue;
    double top = 0;
    for (const Point& p : b[0]) top = std::max(top, p.y);
    for (size_t k = 0; k < b[0].size(); ++k) {
      ASSERT_EQ(b[1].size(), b[0].size());
      ASSERT_EQ(b[2].size(), b[0].size());
      EXPECT_EQ(b[1][k].x, b[0][k].x);
      EXPECT_EQ(b[2][k].x, b[0][k].x);
      EXPECT_NEAR(b[1][k].y + b[2][k].y, b[0][k].y, 2e-6 * top) << k;
    }
    EXPECT_NEAR(area(b[1]) / area(b[2]), 0.7 / 0.3, 0.02);
  }
}

// A component of weight 0 lends the range only its position.
TEST_F(Probast, ZeroWeightComponentMarksOnlyItsPosition) {
  const double e1 = 0.004;
  ger({{25, {{1, 0.0002, 0.0005}, {0, e1, 0.0005}}}});
  ktest::RunResult r = probast({"LINTOR=inst", "zweiTheta=50"});
  ASSERT_EQ(r.status, 0) << r.out;
  Blocks b = geqrun::columns(output());
  ASSERT_EQ(b.size(), 1u);
  ASSERT_EQ(b[0].size(), 10000u);
  double lo = 0.0002 - std::cbrt(200.0) * 0.0005, step = (e1 - lo) * 1e-4;
  EXPECT_NEAR(b[0].front().x, -lo * kDeg, 1e-6);
  EXPECT_NEAR(b[0].back().x, -(e1 - step) * kDeg, 1e-6);
}

// A profile far narrower than the resolution of single precision at its
// position still ends, after its 10000 lines.
TEST_F(Probast, VeryNarrowProfileEnds) {
  ger({{25, {{1, 0.3, 1.3e-8}}}});
  ktest::RunResult r = probast({"LINTOR=inst", "zweiTheta=50"});
  ASSERT_EQ(r.status, 0) << r.out;
  Blocks b = geqrun::columns(output());
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0].size(), 10000u);
}

TEST_F(Probast, Failures) {
  ger({{25, {{1, 0.0002, 0.0005}}}});
  // Missing keys end at the store's outermost handler.
  for (const char* statement : {"LINTOR=inst", "zweiTheta=50"}) {
    SCOPED_TRACE(statement);
    ktest::RunResult r = probast({statement});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("(E) "), std::string::npos) << r.out;
  }
  // An output file that cannot be opened: its message, and nothing else
  // written.
  ASSERT_EQ(::mkdir(wp.install.file("probast.out").c_str(), 0755), 0);
  ktest::RunResult r = probast({"LINTOR=inst", "zweiTheta=50"});
  EXPECT_EQ(r.status, 84) << r.out;
  EXPECT_NE(r.out.find(message(-84, wp.install.file("probast.out").c_str())), std::string::npos)
      << r.out;
}

// Values no instrument has are refused when the files are loaded, with a
// message naming the file, and never reach the output; a set-up whose refit
// would run for minutes ends within the work budget of one evaluation with
// its message. The old output stays in every case.
TEST_F(Probast, AbsurdProfilesAreRefusedAndTheRefitIsBounded) {
  const std::vector<Block> two = {{20, {{0.7, 0.0001, 0.0004}, {0.3, -0.0002, 0.0008}}},
                                  {30, {{0.6, 0.0002, 0.0006}, {0.4, -0.0003, 0.0010}}}};
  // Two records of 300 components each.
  std::vector<Block> many = {{20, {}}, {30, {}}};
  for (Block& b : many)
    for (int i = 0; i < 300; ++i)
      b.comps.push_back({1.0 + i % 7, 1e-5 * (i - 150), 0.0004 + 1e-6 * i});
  const gerfix::GeqRecord good{0.4f, {1}, {0.0001f}, {0.0005f}};
  const float nan = std::nanf("");
  struct Case {
    const char* what;
    std::vector<Block> blocks;             // empty: no profile file
    std::vector<gerfix::GeqRecord> table;  // empty: no table
    std::vector<std::string> keys;
    int status;
    std::string text;
  };
  const Case cases[] = {
      {"GSUM 1e300",
       {{25, {{1, 0.0002, 0.0005}}, "GSUM=1e300"}},
       {},
       {},
       11,
       message(-11, "inst.ger", 2)},
      {"width 1e30", {{25, {{1, 0.0002, 1e30}}}}, {}, {}, 11, message(-11, "inst.ger", 3)},
      {"position 1e30", {{25, {{1, 1e30, 0.0005}}}}, {}, {}, 11, message(-11, "inst.ger", 3)},
      {"table with a NaN weight",
       {},
       {good, {0.42f, {nan}, {0.0001f}, {0.0005f}}},
       {},
       89,
       message(-89, "inst.geq", 2)},
      {"table with a width 1e30",
       {},
       {{0.4f, {1}, {0.0001f}, {1e30f}}},
       {},
       89,
       message(-89, "inst.geq", 1)},
      {"table with an infinite position",
       {},
       {{0.4f, {1}, {INFINITY}, {0.0005f}}},
       {},
       89,
       message(-89, "inst.geq", 1)},
      {"penetration of D=R=1", two, {}, {"D=1", "R=1"}, 15, message(-15)},
      {"300 components per record", many, {}, {}, 15, message(-15)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(wp.file("inst.ger").c_str());
    std::remove(wp.file("inst.geq").c_str());
    if (!c.blocks.empty()) ger(c.blocks);
    if (!c.table.empty()) {
      gerfix::GeqHeader h;
      h.smin = 0.3f;
      h.smax = 0.6f;
      gerfix::write_geq(wp.file("inst.geq"), h, c.table);
    }
    ktest::write_file(wp.install.file("probast.out"), "old");
    std::vector<std::string> st{"LINTOR=inst", "zweiTheta=50"};
    st.insert(st.end(), c.keys.begin(), c.keys.end());
    ktest::RunResult r = probast(st);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
    EXPECT_EQ(output(), "old");
  }
}

// probast.out is replaced whole or not at all: two runs at once leave the
// whole output of one of them, a write stopped by the file-size limit or a
// write-protected file leaves the old output, a link is followed; never a
// temporary file left behind.
TEST_F(Probast, OutputIsOneWholeRunOrTheOldOne) {
  ger({{20, {{0.7, 0.0001, 0.0004}, {0.3, -0.0004, 0.0008}}},
       {30, {{0.6, 0.0002, 0.0006}, {0.4, -0.0003, 0.0010}}}});
  const std::string prog = ktest::program_path("probast");
  auto runone = [&](const char* angle) {
    ktest::RunResult r = probast({"LINTOR=inst", std::string("zweiTheta=") + angle, "Extension=Y"});
    EXPECT_EQ(r.status, 0) << r.out;
    return output();
  };
  const std::string at50 = runone("50"), at56 = runone("56");
  ASSERT_NE(at50, at56);
  ASSERT_GT(at50.size(), 100000u);
  const std::string out = wp.install.file("probast.out");
  auto leftovers = [&] {
    int count = 0;
    for (const auto& e : std::filesystem::directory_iterator(wp.install.path()))
      count += e.path().filename().string().rfind(".tmp", 0) == 0;
    return count;
  };
  auto shell = [&](const std::string& script) {
    return ktest::run_program("/bin/sh", {"-c", script}, wp.work.path(),
                              {{"KALVO", wp.install.path()}, {"P", prog}});
  };

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("two runs at once, round " + std::to_string(round));
    ktest::RunResult r = shell(
        "$P a LINTOR=inst zweiTheta=50 Extension=Y SAVE=N >/dev/null & a=$!\n"
        "$P b LINTOR=inst zweiTheta=56 Extension=Y SAVE=N >/dev/null & b=$!\n"
        "wait $a; sa=$?; wait $b; echo $sa $?\n");
    EXPECT_EQ(r.out, "0 0\n");
    std::string got = output();
    EXPECT_TRUE(got == at50 || got == at56) << got.size() << " bytes";
  }

  struct Case {
    const char* what;
    std::string script;
    int mode;  // of probast.out before the run
  };
  const Case cases[] = {
      {"file-size limit while writing",
       "ulimit -f 16; exec $P a LINTOR=inst zweiTheta=56 Extension=Y SAVE=N", 0644},
      {"write-protected output", "exec $P a LINTOR=inst zweiTheta=56 SAVE=N", 0444},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ktest::write_file(out, at50);
    ::chmod(out.c_str(), static_cast<mode_t>(c.mode));
    ktest::RunResult r = shell(c.script);
    EXPECT_EQ(r.status, 84) << r.out;
    EXPECT_NE(r.out.find(message(-84, out.c_str())), std::string::npos) << r.out;
    EXPECT_TRUE(output() == at50);
    EXPECT_EQ(leftovers(), 0);
    ::chmod(out.c_str(), 0644);
  }

  SCOPED_TRACE("output a link");
  ASSERT_EQ(std::rename(out.c_str(), wp.file("kept.out").c_str()), 0);
  ASSERT_EQ(::symlink(wp.file("kept.out").c_str(), out.c_str()), 0);
  EXPECT_TRUE(runone("56") == at56);
  EXPECT_TRUE(ktest::read_file(wp.file("kept.out")) == at56);
  struct stat st;
  ASSERT_EQ(::lstat(out.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// The table that quindle makes gives the line shape of the instrument-profile
// file: probast on the table alone (the profile file moved away) and on the
// profile file alone agree within single precision at a grid angle, with a
// zero shift in the run that the table must not already contain.
TEST_F(Probast, TableFromQuindleGivesTheSameLineShapeAsTheProfileFile) {
  struct Case {
    const char* what;
    std::vector<Block> blocks;
  };
  const Case cases[] = {
      {"one record", {{25, {{0.8, 0.0001, 0.0005}, {0.2, -0.0003, 0.0009}}}}},
      {"two records",
       {{20, {{0.7, 0.0001, 0.0004}, {0.3, -0.0002, 0.0008}}},
        {30, {{0.6, 0.0002, 0.0006}, {0.4, -0.0003, 0.0010}}}}},
  };
  const std::string control =
      "LINTOR=inst\n"
      "EPS1==0.0001\n"
      "EPS2==0.0002\n"
      "EPS3==-0.0001\n"
      "EPS4==0.00005\n"
      "zweiTheta=50\n"
      "Extension=Y\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    geqrun::Workplace place;
    gerfix::write_ger(place.file("inst.ger"), "TITEL=test", c.blocks);
    ktest::write_file(place.file("run.sav"), control);
    ktest::RunResult r = place.run("quindle", {"WMIN=48", "WMAX=52", "WSTEP=0.5"});
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_EQ(std::rename(place.file("inst.geq").c_str(), place.file("kept.geq").c_str()), 0);

    r = place.run("probast", {});
    ASSERT_EQ(r.status, 0) << r.out;
    Blocks text = geqrun::columns(ktest::read_file(place.install.file("probast.out")));

    ASSERT_EQ(std::rename(place.file("kept.geq").c_str(), place.file("inst.geq").c_str()), 0);
    ASSERT_EQ(std::remove(place.file("inst.ger").c_str()), 0);
    r = place.run("probast", {});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(message(120, "inst.ger")), std::string::npos) << r.out;
    Blocks table = geqrun::columns(ktest::read_file(place.install.file("probast.out")));

    ASSERT_EQ(table.size(), text.size());
    ASSERT_GE(text.size(), 2u);
    for (size_t k = 0; k < text.size(); ++k) {
      ASSERT_EQ(table[k].size(), text[k].size());
      double xmax = 0, ymax = 0, dx = 0, dy = 0;
      for (size_t i = 0; i < text[k].size(); ++i) {
        xmax = std::max(xmax, std::fabs(text[k][i].x));
        ymax = std::max(ymax, std::fabs(text[k][i].y));
        dx = std::max(dx, std::fabs(table[k][i].x - text[k][i].x));
        dy = std::max(dy, std::fabs(table[k][i].y - text[k][i].y));
      }
      EXPECT_LE(dx, 1e-5 * xmax) << "block " << k;
      EXPECT_LE(dy, 1e-5 * ymax) << "block " << k;
    }
  }
}

}  // namespace

}  // namespace probast
