// The instrument function at one angle (ger): argument check and probing
// mode, zero shift, the GEQ path with its range and tie rule, the no-data and
// one-record paths, and the bracketing of the two-record path.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/message.hpp"
#include "gerneu_testenv.hpp"

namespace model {
using namespace core;

using gerfix::Block;
using gerfix::GeqHeader;
using gerfix::GeqRecord;

namespace {

struct Snapshot {
  std::vector<float> g, e, q;
};

Snapshot snapshot() {
  Snapshot s;
  for (int i = 0; i < n; ++i) {
    s.g.push_back(g[i]);
    s.e.push_back(e[i]);
    s.q.push_back(q[i]);
  }
  return s;
}

bool allfinite() {
  for (int i = 0; i < n; ++i)
    if (!std::isfinite(g[i]) || !std::isfinite(e[i]) || !(q[i] > 0) || !std::isfinite(q[i]))
      return false;
  return n > 0;
}

// sin theta at which cot 2 theta equals k.
double sinforkey(double k) { return std::sin(0.5 * std::atan2(1.0, k)); }

}  // namespace

TEST_F(InstrumentFunction, AngleOutsideTheOpenQuarterFails) {
  gerfix::write_ger(path("a.ger"), "", {{20, {{1, 0, 0.001}}}});
  load("a");
  ger(sintheta(20));
  Snapshot before = snapshot();
  for (double s : {0.0, 1.0, -0.5, 1.5, std::nan("")}) {
    gererr = 0;
    EXPECT_EQ(eval(s), "") << s;
    EXPECT_EQ(gererr, 1) << s;
    Snapshot after = snapshot();
    EXPECT_EQ(after.g, before.g) << s;
    EXPECT_EQ(after.e, before.e) << s;
  }
  // The failure says what was asked: no angle at all.
  for (double s : {0.0, 1.0, -0.5}) {
    auto r = ktest::run_in_child([&] { ger(s); });
    EXPECT_EQ(r.status, 14) << s;
    EXPECT_EQ(r.out, core::message_text<369>(s) + catalogue(-14)) << s;
  }
}

// Z = EPS1 + EPS2 t + EPS3 2 s c + EPS4 max(cot 2 theta, 0), t = s for a
// transmitting sample and c otherwise, added to every position of every path.
TEST_F(InstrumentFunction, ZeroShiftTerms) {
  struct Case {
    const char* header;
    double theta;
    const char* eps;
  } cases[] = {
      {"", 20, "EPS1==0.001"},
      {"", 20, "EPS2==0.002"},
      {"ZELMARRY=TRANSMISSION", 20, "EPS2==0.002"},
      {"ZELMARRY=CAPILLARY", 20, "EPS2==0.002"},
      {"", 20, "EPS3==0.003"},
      {"", 20, "EPS4==0.004"},
      {"", 50, "EPS4==0.004"},  // 2 theta above 90 degrees: no contribution
  };
  for (const Case& c : cases) {
    set(c.eps);
    gerfix::write_ger(path("a.ger"), c.header, {{c.theta, {{1, 0.0001, 0.001}}, "GSUM=3"}});
    load("a");
    double s = sintheta(c.theta), co = std::sqrt(1 - s * s);
    double k = (2 * co * co - 1) / (2 * s * co);
    bool transmission = std::string(c.header) == "ZELMARRY=TRANSMISSION";
    double z = 0;
    std::string eps = c.eps;
    if (eps.rfind("EPS1", 0) == 0) z = 0.001;
    if (eps.rfind("EPS2", 0) == 0) z = 0.002 * (transmission ? s : co);
    if (eps.rfind("EPS3", 0) == 0) z = 0.003 * 2 * s * co;
    if (eps.rfind("EPS4", 0) == 0) z = 0.004 * std::fmax(k, 0);
    EXPECT_EQ(eval(s), "") << c.eps;
    ASSERT_EQ(n, 1);
    // At the record's own angle: the record itself, weights times GSUM.
    EXPECT_NEAR(e[0], 0.0001 + z, 2e-9) << c.header << " " << c.eps;
    EXPECT_NEAR(q[0], 0.001, 1e-9);
    EXPECT_EQ(g[0], 3.0f);
    std::string del = std::string(c.eps).substr(0, 4) + "=";
    set(del.c_str());
  }
}

TEST_F(InstrumentFunction, OneRecordScalesWithCot2Theta) {
  gerfix::write_ger(path("a.ger"), "", {{20, {{1, 0.0002, 0.001}, {3, -0.0004, 0.002}}, "GSUM=2"}});
  load("a");
  float key = recordkey(20);
  for (double theta : {15.0, 30.0, 60.0}) {
    double s = sintheta(theta), c = std::sqrt(1 - s * s);
    double ratio = (2 * c * c - 1) / (2 * s * c) / key;
    eval(s);
    ASSERT_EQ(n, 2);
    EXPECT_FLOAT_EQ(g[0], 0.5f);
    EXPECT_FLOAT_EQ(g[1], 1.5f);
    EXPECT_FLOAT_EQ(e[0], static_cast<float>(0.0002 * ratio)) << theta;
    EXPECT_FLOAT_EQ(e[1], static_cast<float>(-0.0004 * ratio)) << theta;
    // Beyond 2 theta = 90 degrees the shape is mirrored; widths stay positive.
    EXPECT_FLOAT_EQ(q[0], static_cast<float>(0.001 * std::fabs(ratio))) << theta;
    EXPECT_FLOAT_EQ(q[1], static_cast<float>(0.002 * std::fabs(ratio))) << theta;
  }
  // At 2 theta = 90 degrees the widths keep a floor instead of vanishing.
  eval(std::sqrt(0.5));
  EXPECT_TRUE(allfinite());
  EXPECT_GE(q[0], 1e-6f);
}

TEST_F(InstrumentFunction, OneRecordMeasuredAtNinetyDegreesCannotBeScaled) {
  // cot 2 theta of THETA=45 is zero but for the rounding of the angle.
  for (double theta : {45.0, 45.00001}) {
    gerfix::write_ger(path("a.ger"), "", {{theta, {{1, 0, 0.001}}}});
    load("a");
    gererr = 0;
    EXPECT_EQ(eval(sintheta(30)), "") << theta;
    EXPECT_EQ(gererr, 1) << theta;
    auto r = ktest::run_in_child([&] { ger(sintheta(30)); });
    EXPECT_EQ(r.status, 14) << theta;
  }
  gererr = 1;
}

// ---------------------------------------------------------------------------
// GEQ path

namespace {

// Two grid points with weight sums 1 and 3.
std::vector<GeqRecord> pair() {
  return {{0.25f, {0.25f, 0.75f}, {0.001f, 0.002f}, {0.003f, 0.004f}},
          {0.75f, {1.0f, 2.0f}, {0.005f, 0.0055f}, {0.006f, 0.0065f}}};
}

}  // namespace

TEST_F(InstrumentFunction, TablePathTakesTheNearerGridPointWithInterpolatedWeight) {
  std::vector<GeqRecord> recs = pair();
  GeqHeader h;
  h.smin = 0.25f;
  h.smax = 0.75f;
  gerfix::write_geq(path("a.geq"), h, recs);
  load("a");  // no profile file: message 120
  set("EPS1==0.01");
  load("a");
  struct Case {
    double s;
    bool second;   // the grid point taken
    double total;  // the interpolated weight sum
  } cases[] = {
      {0.5, false, 2.0},  // halfway: the first of the pair
      {0.6, true, 2.4},   {0.3, false, 1.2},
      {0.25, false, 1.0},  // exactly at the lower end of the range
      {0.75, true, 3.0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(eval(c.s), "") << c.s;
    const GeqRecord& r = recs[c.second ? 1 : 0];
    ASSERT_EQ(n, static_cast<int>(r.g.size())) << c.s;
    double wr = 0;
    for (float v : r.g) wr += v;
    for (int i = 0; i < n; ++i) {
      EXPECT_FLOAT_EQ(g[i], static_cast<float>(r.g[i] * c.total / wr)) << c.s;
      EXPECT_FLOAT_EQ(e[i], r.e[i] + 0.01f) << c.s;
      EXPECT_EQ(q[i], r.q[i]) << c.s;
    }
    EXPECT_NEAR(componentweight(), c.total, 1e-6) << c.s;
  }
}

TEST_F(InstrumentFunction, TableWithOneGridPointIsCopied) {
  GeqHeader h;
  h.smin = 0.1f;
  h.smax = 0.9f;
  gerfix::write_geq(path("a.geq"), h, {{0.5f, {0.3f, 0.9f}, {0.001f, -0.002f}, {0.003f, 0.004f}}});
  load("a");
  eval(0.2);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(g[1], 0.9f);
  EXPECT_EQ(e[1], -0.002f);
  EXPECT_EQ(q[0], 0.003f);
}

TEST_F(InstrumentFunction, TableGridPointsAtTheSameAngleGiveFiniteWeights) {
  GeqHeader h;
  h.smin = 0.1f;
  h.smax = 0.9f;
  gerfix::write_geq(path("a.geq"), h,
                    {{0.5f, {1.0f}, {0.0f}, {0.001f}},
                     {0.5f, {2.0f}, {0.0f}, {0.001f}},
                     {0.7f, {3.0f}, {0.0f}, {0.001f}}});
  load("a");
  for (double s : {0.5, 0.3, 0.55}) {
    eval(s);
    EXPECT_TRUE(allfinite()) << s;
  }
  eval(0.5);
  EXPECT_FLOAT_EQ(g[0], 1.0f);
}

TEST_F(InstrumentFunction, OutsideTheTableRangeTheProfileFileServes) {
  GeqHeader h;
  h.smin = static_cast<float>(sintheta(25));
  h.smax = static_cast<float>(sintheta(60));
  gerfix::write_geq(path("a.geq"), h, pair());
  gerfix::write_ger(path("a.ger"), "", {{20, {{1, 0.0001, 0.001}}}});
  load("a");
  EXPECT_EQ(eval(sintheta(20)), catalogue(13));
  ASSERT_EQ(n, 1);
  EXPECT_NEAR(e[0], 0.0001, 1e-9);
  EXPECT_EQ(eval(sintheta(19)), "");  // once per load
  EXPECT_EQ(eval(h.smin), "");        // the table again
  EXPECT_EQ(n, 2);
  load("a");
  EXPECT_EQ(eval(sintheta(80)), catalogue(13));
}

TEST_F(InstrumentFunction, OutsideTheTableRangeWithoutRecordsEndsEvenWhenProbing) {
  GeqHeader h;
  h.smin = 0.25f;
  h.smax = 0.75f;
  gerfix::write_geq(path("a.geq"), h, pair());
  gerfix::write_ger(path("a.ger"), "", {});
  load("a");
  auto r = ktest::run_in_child([&] {
    gererr = 0;
    ger(0.2);
  });
  EXPECT_EQ(r.status, 13);
  EXPECT_EQ(r.out, catalogue(13) + catalogue(-13));
}

// ---------------------------------------------------------------------------
// No-data path

TEST_F(InstrumentFunction, WithoutFilesLintorGivesTheWidth) {
  set("LINTOR=0.0001*THETA+0.00001*zweiTheta");
  set("EPS1==0.0005");
  load("none");
  for (double theta : {10.0, 35.0}) {
    EXPECT_EQ(eval(sintheta(theta)), "");
    ASSERT_EQ(n, 1);
    EXPECT_EQ(g[0], 1.0f);
    EXPECT_FLOAT_EQ(e[0], 0.0005f);
    EXPECT_FLOAT_EQ(q[0], static_cast<float>(0.0001 * theta + 0.00001 * 2 * theta));
  }
}

TEST_F(InstrumentFunction, WithoutFilesOrLintorTheWidthIsZeroAndTheMissingTableIsToldOnce) {
  char file[9000];
  std::snprintf(file, sizeof file, errmsg(120), path("none.ger").c_str());
  EXPECT_EQ(load("none"), file);
  char table[9000];
  std::snprintf(table, sizeof table, errmsg(120), path("none.geq").c_str());
  EXPECT_EQ(eval(0.3), table);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(g[0], 1.0f);
  EXPECT_EQ(e[0], 0.0f);
  EXPECT_EQ(q[0], 0.0f);
  EXPECT_EQ(eval(0.4), "");
}

TEST_F(InstrumentFunction, EvaluatingLintorLeavesTheCallersKeysAlone) {
  set("THETA==7");
  set("LINTOR=0.001*THETA");
  load("none");
  eval(sintheta(30));
  EXPECT_FLOAT_EQ(q[0], 0.03f);
  EXPECT_EQ(GetVar("THETA"), 7.0);
  EXPECT_EQ(DATAlistLevel(), 1);
  EXPECT_EQ(getrekart(), 2);
  // An evaluation error reaches the caller's frame, with the scope and the
  // lookup mode restored.
  set("LINTOR=1+undefinedkey");
  setrekart(0);
  bool completed = dataerr_try([&] { ger(sintheta(30)); });
  EXPECT_FALSE(completed);
  EXPECT_TRUE(ifErr());
  EXPECT_EQ(DATAlistLevel(), 1);
  EXPECT_EQ(getrekart(), 0);
  setrekart(2);
}

// ---------------------------------------------------------------------------
// Two-record path: bracketing

TEST_F(InstrumentFunction, AngleMayExceedTheMeasuredRangeByTheTolerance) {
  gerfix::write_ger(path("a.ger"), "ZELMARRY=TRANSMISSION",
                    {{20, {{1, 0, 0.001}}}, {30, {{1, 0, 0.0012}}}});
  load("a");
  for (int end = 0; end < 2; ++end) {
    double theta = end == 0 ? 20 : 30;
    float key = recordkey(theta);
    double s0 = sintheta(theta), c0 = std::sqrt(1 - s0 * s0);
    double k0 = (2 * c0 * c0 - 1) / (2 * s0 * c0);
    double tol = (2 * k0 * k0 + 2) * s0 * 3.5762786865234375e-07 / c0;
    double outward = end == 0 ? 1 : -1;  // larger key below 20, smaller above 30
    gererr = 0;
    eval(sinforkey(key + outward * 0.5 * tol));
    EXPECT_EQ(gererr, 0) << theta;
    EXPECT_TRUE(allfinite()) << theta;
    eval(sinforkey(key + outward * 3 * tol));
    EXPECT_EQ(gererr, 1) << theta;
    gererr = 1;
  }
  // Beyond the tolerance the failure names the angle and the file's range
  // (2theta from 40 to 60 degrees).
  auto r = ktest::run_in_child([&] { ger(sintheta(10)); });
  EXPECT_EQ(r.status, 14);
  EXPECT_EQ(r.out, core::message_text<368>(20.0, path("a.ger"), 40.0, 60.0) + catalogue(-14));
  EXPECT_NE(r.out.find("2theta=20.0000 degrees; the instrument-profile file " + path("a.ger") +
                       " covers 2theta=40.000 to 60.000 degrees"),
            std::string::npos)
      << r.out;
}

TEST_F(InstrumentFunction, RecordsOfTheSameAngleAtTheEndsOfTheRange) {
  for (const char* header : {"", "ZELMARRY=TRANSMISSION", "ZELMARRY=CAPILLARY"}) {
    set("D==100");
    set("T==1");
    set("R==200");
    gerfix::write_ger(path("a.ger"), header,
                      {{20, {{1, 0, 0.001}}},
                       {20, {{1, 0.0001, 0.001}}},
                       {25, {{1, 0, 0.0011}}},
                       {30, {{1, 0, 0.0012}}},
                       {30, {{1, -0.0001, 0.0012}}}});
    load("a");
    for (double theta : {20.0, 30.0, 22.0}) {
      EXPECT_EQ(eval(sintheta(theta)), "") << header << theta;
      EXPECT_TRUE(allfinite()) << header << " " << theta;
    }
    // Only one angle, measured twice.
    gerfix::write_ger(path("b.ger"), header, {{20, {{1, 0, 0.001}}}, {20, {{1, 0, 0.001}}}});
    load("b");
    eval(sintheta(20));
    EXPECT_TRUE(allfinite()) << header;
  }
}

TEST_F(InstrumentFunction, ReflectingSampleTurnedBeyondThetaFails) {
  gerfix::write_ger(
      path("a.ger"), "",
      {{20, {{1, 0, 0.001}}, "DeltaOmega=25"}, {30, {{1, 0, 0.001}}, "DeltaOmega=35"}});
  load("a");
  gererr = 0;
  EXPECT_EQ(eval(sintheta(25)), "");
  EXPECT_EQ(gererr, 1);
  auto r = ktest::run_in_child([&] { ger(sintheta(25)); });
  EXPECT_EQ(r.status, 14);
}

// Without the keys D, R and T the sample's ratios come from the table's
// header: D/R at offset 8; T/D (reflexion) or T/R (transmission, capillary)
// at offset 12, T/D then being offset 12 / offset 8. The header's values give
// the same line shape as the keys.
TEST_F(InstrumentFunction, TableHeaderSuppliesTheSampleRatiosWhenKeysAreMissing) {
  struct Case {
    const char* magic;
    const char* zelmarry;
    float dr, ratio;
    const char* keys[3];
  } cases[] = {
      {"GEQ.V1", "ZELMARRY=REFLEXION", 0.0078125f, 0.25f, {"D==1", "R==128", "T==0.25"}},
      {"GEQ.T1", "ZELMARRY=TRANSMISSION", 0.03125f, 0.0078125f, {"D==1", "R==32", "T==0.25"}},
      {"GEQ.C1", "ZELMARRY=CAPILLARY", 0.03125f, 0.0078125f, {"D==1", "R==32", "T==0.25"}},
  };
  for (const Case& c : cases) {
    const std::vector<Block> blocks{{20, {{0.7, 0, 0.001}, {0.3, 0.0015, 0.0018}}},
                                    {30, {{1, 0, 0.0012}}}};
    GeqHeader h;
    h.magic = c.magic;
    h.dr = c.dr;
    h.ratio = c.ratio;
    h.smin = static_cast<float>(sintheta(50));
    h.smax = static_cast<float>(sintheta(60));
    gerfix::write_geq(path("a.geq"), h, pair());
    gerfix::write_ger(path("a.ger"), c.zelmarry, blocks);
    load("a");
    EXPECT_EQ(eval(sintheta(24)), catalogue(13)) << c.magic;
    Snapshot fromheader = snapshot();

    gerfix::write_ger(path("b.ger"), c.zelmarry, blocks);
    for (const char* k : c.keys) set(k);
    load("b");
    EXPECT_EQ(eval(sintheta(24)), "") << c.magic;
    Snapshot fromkeys = snapshot();
    EXPECT_EQ(fromheader.g, fromkeys.g) << c.magic;
    EXPECT_EQ(fromheader.e, fromkeys.e) << c.magic;
    EXPECT_EQ(fromheader.q, fromkeys.q) << c.magic;
    for (const char* k : {"D=", "R=", "T="}) set(k);
    // And the ratios matter: without table and keys the shape differs.
    load("b");
    eval(sintheta(24));
    EXPECT_NE(snapshot().g, fromkeys.g) << c.magic;
  }
}

TEST_F(InstrumentFunction, ReflexionWithOneRecordWarnsOnceWhenPenetrationWasInUse) {
  set("D==2");
  set("R==200");
  gerfix::write_ger(path("a.ger"), "", {{20, {{1, 0, 0.001}}}, {30, {{1, 0, 0.0012}}}});
  load("a");
  EXPECT_EQ(eval(sintheta(25)), "");
  gerfix::write_ger(path("b.ger"), "", {{20, {{1, 0, 0.001}}}});
  load("b");
  EXPECT_EQ(eval(sintheta(25)), catalogue(14));
  EXPECT_EQ(eval(sintheta(26)), "");
}

// An accuracy that no sampling can reach ends in failure -15 instead of a
// run without end.
TEST_F(InstrumentFunction, RefitThatCannotSucceedFails) {
  gerfix::write_ger(path("a.ger"), "ZELMARRY=TRANSMISSION",
                    {{20, {{1, 0, 0.001}}}, {30, {{1, 0, 0.0012}}}});
  load("a");
  ger(sintheta(25));
  Snapshot good = snapshot();
  for (const char* eps : {"EPSG==0", "EPSG==-1", "EPSG==1e-300"}) {
    set(eps);
    gererr = 0;
    EXPECT_EQ(eval(sintheta(25)), "") << eps;
    EXPECT_EQ(gererr, 1) << eps;
    EXPECT_EQ(snapshot().q, good.q) << eps;
  }
  auto r = ktest::run_in_child([&] { ger(sintheta(25)); });
  EXPECT_EQ(r.status, 15);
  EXPECT_EQ(r.out, catalogue(-15));
}

// A sample so thick that nothing comes through has no line shape to fit.
TEST_F(InstrumentFunction, LineShapeThatVanishesFails) {
  set("T==1000");
  set("D==1");
  set("R==100");
  gerfix::write_ger(path("a.ger"), "ZELMARRY=TRANSMISSION",
                    {{20, {{1, 0, 0.001}}}, {30, {{1, 0, 0.0012}}}});
  load("a");
  gererr = 0;
  EXPECT_EQ(eval(sintheta(25)), "");
  EXPECT_EQ(gererr, 1);
  // Inside the file's range: the angle is named, the range holds it.
  auto r = ktest::run_in_child([&] { ger(sintheta(25)); });
  EXPECT_EQ(r.status, 14);
  EXPECT_EQ(r.out, core::message_text<368>(50.0, path("a.ger"), 40.0, 60.0) + catalogue(-14));
}

}  // namespace model
