// The pattern splitter, run as a program: parts cut inside long background
// runs with their boundaries, overlaps, keys and comments; the cut rules; the
// one-sided rejection; the masks; the background coefficient count; a rerun
// that deletes the keys of surplus parts; the failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "splitrun.hpp"
#include "testsupport.hpp"

namespace {

using splitrun::boundary;
using splitrun::Pattern;
using splitrun::reported;
using splitrun::Saved;

std::string idx(const std::string& key, int k) { return key + "[" + std::to_string(k) + "]"; }
std::string idx(const std::string& key, int k, int j) {
  return key + "[" + std::to_string(k) + "," + std::to_string(j) + "]";
}

class Raze : public ::testing::Test {
 protected:
  splitrun::Workplace wp;

  ktest::RunResult raze(const std::vector<std::string>& statements = {}) {
    return wp.run("raze", statements);
  }
  Saved saved() { return Saved(ktest::read_file(wp.file("run.sav"))); }
};

// 20..80 degrees in steps of 0.02 with three peak groups at 30, 50 and 70
// degrees, each 0.5 degrees to either side.
Pattern threegroups() {
  Pattern p;
  p.points = 3001;
  p.peaks = {{500, 25}, {1500, 25}, {2500, 25}};
  return p;
}

// Three groups in two scans: three parts; each cut lies inside the run
// between two groups, the next part begins at that run's first point and the
// part before ends at its last point, the inner boundaries meet in its
// middle. Every part carries the scans in order and its own peak file; the
// first part's keys carry the heading comment, the later ones their number.
TEST_F(Raze, ThreeGroupsGiveThreeOverlappingParts) {
  Pattern p = threegroups();
  wp.write("a.xy", p.text(0, 1500));
  wp.write("b.xy", p.text(1501, 3000));
  wp.write("run.sav", "VAL[1]=a.xy\nVAL[2]=b.xy\nNEUTRONS=0.15\n");
  ktest::RunResult r = raze();
  ASSERT_EQ(r.status, 0) << r.out;
  // ln(sin 40 / sin 10) = 1.309: seven background coefficients.
  EXPECT_NE(r.out.find("RU=7\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(ktest::message(253, 3)), std::string::npos) << r.out;

  Saved s = saved();
  ASSERT_EQ(s.parts(), 3);
  // The background runs between the groups: points 526..1474 and 1526..2474.
  const double first[] = {p.x(0), p.x(526), p.x(1526)};
  const double last[] = {p.x(1474), p.x(2474), p.x(3000)};
  const double inner[] = {p.x(0), boundary(p.x(526), p.x(1474)), boundary(p.x(1526), p.x(2474)),
                          p.x(3000)};
  for (int k = 1; k <= 3; ++k) {
    SCOPED_TRACE(k);
    EXPECT_NEAR(s.number(idx("WMIN", k)), reported(first[k - 1]), 1e-9);
    EXPECT_NEAR(s.number(idx("WMAX", k)), reported(last[k - 1]), 1e-9);
    double lo = k == 1 ? reported(inner[0]) : inner[k - 1];
    double hi = k == 3 ? reported(inner[3]) : inner[k];
    EXPECT_NEAR(s.number(idx("WMIN2", k)), lo, 1e-9);
    EXPECT_NEAR(s.number(idx("WMAX2", k)), hi, 1e-9);
    // The part's keys in one block, in this order.
    int at = s.position(idx("WMIN", k));
    std::vector<std::string> order = {idx("WMIN", k),  idx("WMIN2", k),  idx("WMAX2", k),
                                      idx("WMAX", k),  idx("VAL", k, 1), idx("VAL", k, 2),
                                      idx("OUTPUT", k)};
    for (size_t i = 0; i < order.size(); ++i)
      EXPECT_EQ(s.position(order[i]), at + static_cast<int>(i));
    EXPECT_EQ(s.text(idx("VAL", k, 1)), "a.xy");
    EXPECT_EQ(s.text(idx("VAL", k, 2)), "b.xy");
    EXPECT_FALSE(s.has(idx("VAL", k, 3)));
    // Without a mask each part has a peak file of its own, and no title.
    EXPECT_EQ(s.text(idx("OUTPUT", k)), "run" + std::to_string(k) + ".par");
    EXPECT_FALSE(s.has(idx("TITEL", k)));
  }
  // Neighbouring parts share their inner boundary and overlap over the run.
  for (int k = 1; k < 3; ++k) {
    EXPECT_EQ(s.text(idx("WMAX2", k)), s.text(idx("WMIN2", k + 1)));
    EXPECT_LT(s.number(idx("WMIN", k + 1)), s.number(idx("WMAX2", k)));
    EXPECT_GT(s.number(idx("WMAX", k)), s.number(idx("WMAX2", k)));
  }
  std::string heading;
  ASSERT_TRUE(ktest::catalogue_message(252, heading));
  EXPECT_EQ(s.find("WMIN[1]")->comment, heading + " Teil 1");
  EXPECT_EQ(s.find("WMIN[2]")->comment, " Teil 2");
  EXPECT_EQ(s.find("WMIN[3]")->comment, " Teil 3");
  EXPECT_EQ(s.find("WMIN2[1]")->comment, "");
  std::string bounds;
  ASSERT_TRUE(ktest::catalogue_message(254, bounds));
  EXPECT_EQ(s.find("VALZAHL")->comment, bounds);
  EXPECT_EQ(s.number("VALZAHL"), 3);
  EXPECT_EQ(s.number("TEILZAHL"), 3);
  EXPECT_EQ(s.position("TEILZAHL"), s.position("VALZAHL") + 1);
  // The run's own keys stay in front.
  EXPECT_EQ(s.position("VAL[1]"), 0);
}

// A second run with fewer scans and fewer parts deletes every key of the
// surplus parts and the surplus scans of the others, up to the bounds the
// first run saved; keys of nobody's part stay. The first run, without saved
// bounds, clears old part keys up to part 100.
TEST_F(Raze, RerunWithFewerPartsDeletesTheSurplusKeys) {
  Pattern p = threegroups();
  wp.write("a.xy", p.text(0, 1500));
  wp.write("b.xy", p.text(1501, 3000));
  wp.write("run.sav",
           "VAL[1]=a.xy\nVAL[2]=b.xy\nNEUTRONS=0.15\nTITELMASK=part $\n"
           "WMIN[7]==1\nOUTPUT[100]=old\nVAL[5,100]=old\nOUTPUT[101]=kept\nNOTE=kept\n");
  ASSERT_EQ(raze().status, 0);
  Saved first = saved();
  ASSERT_EQ(first.parts(), 3);
  EXPECT_EQ(first.text("TITEL[3]"), "part 3");
  EXPECT_FALSE(first.has("WMIN[7]"));
  EXPECT_FALSE(first.has("OUTPUT[100]"));
  EXPECT_FALSE(first.has("VAL[5,100]"));
  EXPECT_TRUE(first.has("OUTPUT[101]"));

  // One scan only, and a window that holds two groups.
  std::string control = ktest::read_file(wp.file("run.sav"));
  size_t at = control.find("VAL[2]=b.xy\n");
  ASSERT_NE(at, std::string::npos);
  control.erase(at, 12);
  wp.write("run.sav", control + "WMAX==60\n");
  ktest::RunResult r = raze();
  ASSERT_EQ(r.status, 0) << r.out;
  Saved s = saved();
  EXPECT_EQ(s.parts(), 2);
  for (const char* key : {"WMIN", "WMIN2", "WMAX2", "WMAX", "OUTPUT", "TITEL"})
    EXPECT_FALSE(s.has(idx(key, 3))) << key;
  for (int k = 1; k <= 3; ++k) {
    EXPECT_FALSE(s.has(idx("VAL", k, 2))) << k;
    EXPECT_EQ(s.has(idx("VAL", k, 1)), k < 3) << k;
  }
  EXPECT_EQ(s.text("TITEL[2]"), "part 2");
  EXPECT_EQ(s.number("VALZAHL"), 2);
  EXPECT_EQ(s.number("TEILZAHL"), 2);
  EXPECT_EQ(s.text("NOTE"), "kept");
  EXPECT_TRUE(s.has("OUTPUT[101]"));
}

// A background run becomes a cut only with more than nine points: with
// synchrotron radiation both gaps below are wide enough, but only the one of
// ten points has enough points.
TEST_F(Raze, ABackgroundRunOfNinePointsIsNoCutTenAre) {
  Pattern p;
  p.points = 1001;
  // Gaps: points 511..519 (nine) and 541..550 (ten).
  p.peaks = {{500, 10}, {530, 10}, {561, 10}};
  wp.write("s.xy", p.text());
  wp.write("run.sav", "VAL[1]=s.xy\nSYNCHROTRON=0.1\n");
  ASSERT_EQ(raze().status, 0);
  Saved s = saved();
  ASSERT_EQ(s.parts(), 2);
  EXPECT_NEAR(s.number("WMAX[1]"), reported(p.x(550)), 1e-9);
  EXPECT_NEAR(s.number("WMIN[2]"), reported(p.x(541)), 1e-9);
  EXPECT_NEAR(s.number("WMAX2[1]"), boundary(p.x(541), p.x(550)), 1e-9);
}

// The least width of a cut depends on the radiation: 0.075 degrees of theta
// for synchrotron radiation, 0.5 for a laboratory tube, 1.5 for neutrons.
// Gaps of 0.3, 1 and 2 degrees of theta between four groups.
TEST_F(Raze, TheLeastWidthOfACutDependsOnTheRadiation) {
  Pattern p;
  p.points = 2001;
  p.peaks = {{625, 25}, {707, 25}, {859, 25}, {1111, 25}};
  // Background runs between the groups, first and last point.
  const int runs[3][2] = {{651, 681}, {733, 833}, {885, 1085}};
  wp.write("w.xy", p.text());
  struct Case {
    const char* radiation;
    std::vector<int> cuts;  // runs that become cuts
  };
  const Case cases[] = {
      {"SYNCHROTRON=0.1", {0, 1, 2}},
      {"LAMBDA=CU", {1, 2}},
      {"NEUTRONS=0.15", {2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.radiation);
    wp.write("run.sav", std::string("VAL[1]=w.xy\n") + c.radiation + "\n");
    ASSERT_EQ(raze().status, 0);
    Saved s = saved();
    ASSERT_EQ(s.parts(), static_cast<int>(c.cuts.size()) + 1);
    for (size_t k = 0; k < c.cuts.size(); ++k) {
      const int* run = runs[c.cuts[k]];
      int part = static_cast<int>(k) + 1;
      EXPECT_NEAR(s.number(idx("WMAX2", part)), boundary(p.x(run[0]), p.x(run[1])), 1e-9);
      EXPECT_NEAR(s.number(idx("WMIN", part + 1)), reported(p.x(run[0])), 1e-9);
    }
  }
}

// Only points clearly above the background leave it: a single point far
// above the flat background breaks the run behind the group and so makes a
// cut; the same point far below, or a little above, stays background and the
// run behind the group reaches the end, which makes no cut.
TEST_F(Raze, OnlyPointsClearlyAboveTheBackgroundAreTakenOut) {
  struct Case {
    double sigmas;  // offset of point 1000 in standard deviations
    int parts;
  };
  const Case cases[] = {{50, 2}, {-50, 1}, {-3.5, 1}, {2, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sigmas);
    Pattern p;
    p.points = 2001;
    p.peaks = {{250, 25}};
    std::string text;
    for (int i = 0; i < p.points; ++i) {
      double v = p.y(i) + (i == 1000 ? c.sigmas * 10 : 0);
      char line[100];
      std::snprintf(line, sizeof line, "%.4f %.4f %.4f\n", p.x(i), v,
                    i == 1000 ? 10.0 : std::sqrt(p.y(i)));
      text += line;
    }
    wp.write("o.xy", text);
    wp.write("run.sav", "VAL[1]=o.xy\nSYNCHROTRON=0.1\n");
    ASSERT_EQ(raze().status, 0);
    Saved s = saved();
    ASSERT_EQ(s.parts(), c.parts);
    if (c.parts == 2) {
      EXPECT_NEAR(s.number("WMAX[1]"), reported(p.x(999)), 1e-9);
    }
  }
}

// Masks: each "$" becomes the part number, everything else (also "%") is
// copied; the texts may reach 8000 characters, one more ends the run with a
// message naming the mask and the part, and the control file stays as it
// was.
TEST_F(Raze, MasksAreSubstitutedAsText) {
  Pattern p = threegroups();
  wp.write("m.xy", p.text());
  wp.write("run.sav", "VAL[1]=m.xy\nNEUTRONS=0.15\n");
  ASSERT_EQ(raze({"OUTPUTMASK=fit%d_$$.%s", "TITELMASK=%n$ of 3: part$"}).status, 0);
  Saved s = saved();
  ASSERT_EQ(s.parts(), 3);
  for (int k = 1; k <= 3; ++k) {
    std::string n = std::to_string(k);
    EXPECT_EQ(s.text(idx("OUTPUT", k)), "fit%d_" + n + n + ".%s");
    EXPECT_EQ(s.text(idx("TITEL", k)), "%n" + n + " of 3: part" + n);
  }

  std::string control = ktest::read_file(wp.file("run.sav"));
  struct Case {
    std::string statement;
    int status;
    const char* key;
  };
  const Case cases[] = {
      {"OUTPUTMASK=" + std::string(7998, 'o') + "$$", 0, ""},
      {"OUTPUTMASK=" + std::string(7999, 'o') + "$$", 31, "OUTPUTMASK"},
      {"TITELMASK=" + std::string(8000, 't'), 0, ""},
      {"TITELMASK=" + std::string(7999, 't') + "$$", 31, "TITELMASK"},
      {"TITELMASK=" + std::string(8001, 't'), 31, "TITELMASK"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statement.size());
    wp.write("run.sav", control);
    ktest::RunResult r = raze({c.statement});
    ASSERT_EQ(r.status, c.status) << r.out;
    if (c.status == 0) {
      Saved t = saved();
      EXPECT_EQ(t.text(c.statement[0] == 'O' ? "OUTPUT[3]" : "TITEL[3]").size(), 8000u);
    } else {
      EXPECT_NE(r.out.find(ktest::message(-31, c.key, 1)), std::string::npos) << r.out;
      EXPECT_EQ(ktest::read_file(wp.file("run.sav")), control);
    }
  }
}

// The background coefficient count from the angular range, ln(max/min) of
// sin theta: up to 0.05 two, up to 0.3 three, beyond that one more per 0.3;
// UNT adds one; a given RU stands.
TEST_F(Raze, BackgroundCoefficientsFromTheAngularRange) {
  struct Case {
    double lnrange;
    const char* extra;
    int ru;
  };
  const Case cases[] = {
      {0.04, "", 2},         {0.1, "", 3},     {1.0, "", 6},      {0.04, "UNT=bg.xy", 3},
      {1.0, "UNT=bg.xy", 7}, {1.0, "RU=4", 4}, {0.04, "RU=0", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.lnrange) + " " + c.extra);
    // 101 flat points from 2theta 30 up to the end of the range.
    double s0 = std::sin(15 * splitrun::kPi / 180);
    double top = 2 * std::asin(s0 * std::exp(c.lnrange)) * 180 / splitrun::kPi;
    Pattern p;
    p.from = 30;
    p.points = 101;
    p.step = (top - 30) / 100;
    wp.write("f.xy", p.text());
    wp.write("run.sav", std::string("VAL[1]=f.xy\nSYNCHROTRON=0.1\n") + c.extra + "\n");
    ktest::RunResult r = raze();
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("RU=" + std::to_string(c.ru) + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(saved().parts(), 1);
  }
}

// Nothing to split ends the run with message -29 (status 29): no scan, or no
// point in the window (both limits count as inside). Too few points for the
// background coefficients end it with message -111 (status 111), an empty or
// reversed window with message -102. The control file is never rewritten
// then.
TEST_F(Raze, NothingToSplitEndsTheRun) {
  Pattern p;
  p.points = 11;  // 20 .. 20.2
  wp.write("f.xy", p.text());
  wp.write("one.xy", p.text(5, 5));
  struct Case {
    std::string control;
    int status;
  };
  const Case cases[] = {
      {"SYNCHROTRON=0.1\n", 29},
      {"VAL[1]=f.xy\nSYNCHROTRON=0.1\nWMIN==30\n", 29},
      {"VAL[1]=f.xy\nSYNCHROTRON=0.1\nWMAX==19.99\n", 29},
      {"VAL[1]=missing.xy\nSYNCHROTRON=0.1\n", 29},
      // One point cannot carry the two background coefficients.
      {"VAL[1]=f.xy\nSYNCHROTRON=0.1\nWMIN==20.2\n", 111},
      {"VAL[1]=f.xy\nSYNCHROTRON=0.1\nWMAX==20\n", 111},
      {"VAL[1]=one.xy\nSYNCHROTRON=0.1\n", 111},
      // An empty or reversed window is refused before the scans are read.
      {"VAL[1]=f.xy\nSYNCHROTRON=0.1\nWMIN==20.1\nWMAX==20.1\n", 102},
      {"VAL[1]=f.xy\nSYNCHROTRON=0.1\nWMIN==20.1\nWMAX==20\n", 102},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    wp.write("run.sav", c.control);
    ktest::RunResult r = raze();
    ASSERT_EQ(r.status, c.status) << r.out;
    if (c.status == 29)
      EXPECT_NE(r.out.find(ktest::message(-29)), std::string::npos) << r.out;
    else if (c.status == 111)
      EXPECT_NE(r.out.find(ktest::message(-111, 1, 2)), std::string::npos) << r.out;
    else
      EXPECT_NE(r.out.find(ktest::message(
                    -102, "WMIN", 20.1, "WMAX",
                    c.control.find("WMAX==20\n") != std::string::npos ? 20.0 : 20.1)),
                std::string::npos)
          << r.out;
    EXPECT_EQ(ktest::read_file(wp.file("run.sav")), c.control);
  }
}

// A scan that begins at 2theta = 0: that point has no place on the
// background's logarithmic scale and is left out; the pattern is split from
// the next point on, with a given and with the automatic coefficient count
// (ln(sin 20 / sin 0.01) = 7.58: 28 coefficients).
TEST_F(Raze, APointAtZeroAngleIsLeftOut) {
  Pattern p;
  p.from = 0;
  p.points = 2001;
  p.peaks = {{500, 25}, {1500, 25}};
  wp.write("z.xy", p.text());
  for (const char* ru : {"RU=3", "RU=0"}) {
    SCOPED_TRACE(ru);
    wp.write("run.sav", std::string("VAL[1]=z.xy\nSYNCHROTRON=0.1\n") + ru + "\n");
    ktest::RunResult r = raze();
    ASSERT_EQ(r.status, 0) << r.out;
    Saved s = saved();
    EXPECT_NEAR(s.number("WMIN[1]"), reported(p.x(1)), 1e-9);
    if (ru[3] == '3') {
      ASSERT_EQ(s.parts(), 2);
      EXPECT_NEAR(s.number("WMAX2[1]"), boundary(p.x(526), p.x(1474)), 1e-9);
    } else {
      EXPECT_NE(r.out.find("RU=28\n"), std::string::npos) << r.out;
    }
  }
}

// A measured pattern: the parts tile the whole range by their inner
// boundaries, and each overlaps its neighbours.
TEST_F(Raze, AMeasuredPatternIsTiledByItsParts) {
  ktest::copy_file(std::string(KALVO_TEST_DATA) + "/PbSO4_neutron.gsa", wp.file("pbso4.gsa"));
  wp.write("run.sav", "VAL[1]=pbso4.gsa\nNEUTRONS=0.1909\nWMAX==120\n");
  ktest::RunResult r = raze();
  ASSERT_EQ(r.status, 0) << r.out;
  Saved s = saved();
  int parts = s.parts();
  ASSERT_GT(parts, 1);
  EXPECT_NEAR(s.number("WMIN2[1]"), 10, 1e-5);
  EXPECT_NEAR(s.number("WMAX2[" + std::to_string(parts) + "]"), 120, 1e-5);
  for (int k = 1; k <= parts; ++k) {
    SCOPED_TRACE(k);
    EXPECT_LE(s.number(idx("WMIN", k)), s.number(idx("WMIN2", k)));
    EXPECT_LT(s.number(idx("WMIN2", k)), s.number(idx("WMAX2", k)));
    EXPECT_LE(s.number(idx("WMAX2", k)), s.number(idx("WMAX", k)));
    if (k < parts) {
      EXPECT_EQ(s.text(idx("WMAX2", k)), s.text(idx("WMIN2", k + 1)));
      EXPECT_LT(s.number(idx("WMIN", k + 1)), s.number(idx("WMAX2", k)));
      // The overlap is a background run of at least 1.5 degrees of theta.
      EXPECT_GT(s.number(idx("WMAX", k)) - s.number(idx("WMIN", k + 1)), 3.0);
    }
  }
}

}  // namespace
