// Loading instrument-profile files and GEQ tables (ger1): what is kept, what
// is skipped, and which faults end the run with which status and message.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "gerneu_testenv.hpp"
#include "scan/apx63.hpp"

namespace model {
using namespace core;
using namespace scan;

using gerfix::Block;
using gerfix::GeqHeader;
using gerfix::GeqRecord;

namespace {

std::vector<const ProfileRecord*> records() {
  std::vector<const ProfileRecord*> v;
  for (const ProfileRecord* r = gerrecords(); r != nullptr; r = r->next) v.push_back(r);
  return v;
}

int tablecount() {
  int k = 0;
  for (const TableRecord* r = gertable(); r != nullptr; r = r->next) ++k;
  return k;
}

float headerf32(int offset) {
  float f;
  std::memcpy(&f, gerheader() + offset, 4);
  return f;
}

std::string format(int number, const std::string& a) {
  char buf[9000];
  std::snprintf(buf, sizeof buf, errmsg(number), a.c_str());
  return buf;
}

std::string format(int number, const std::string& a, int b) {
  char buf[9000];
  std::snprintf(buf, sizeof buf, errmsg(number), a.c_str(), b);
  return buf;
}

std::string format(int number, const std::string& a, const std::string& b) {
  char buf[9000];
  std::snprintf(buf, sizeof buf, errmsg(number), a.c_str(), b.c_str());
  return buf;
}

const Block kGood{20, {{1, 0, 0.001}}};

// Centroid of sum 2 g q^3/((x-e)^2+q^2)^2 weighted with the cube of the
// profile, by a plain composite Simpson rule over the loader's interval.
double simpsoncentroid(const std::vector<gerfix::Component>& comps) {
  double lo = 1e300, hi = -1e300;
  for (const auto& c : comps) {
    lo = std::fmin(lo, c.e - 4 * c.q);
    hi = std::fmax(hi, c.e + 4 * c.q);
  }
  const int steps = 200000;
  double h = (hi - lo) / steps, num = 0, den = 0;
  for (int k = 0; k <= steps; ++k) {
    double x = lo + k * h;
    double p = gerfix::shape(comps, x);
    double w = (k == 0 || k == steps) ? 1 : (k % 2 ? 4 : 2);
    num += w * x * p * p * p;
    den += w * p * p * p;
  }
  return num / den;
}

}  // namespace

// ---------------------------------------------------------------------------
// Instrument-profile file

TEST_F(InstrumentFunction, HeaderOnlyFileLoadsNoRecordsAndAssumesReflexion) {
  ktest::write_file(path("a.ger"), "TITEL=nothing?!measured\n");
  EXPECT_EQ(load("a"), "");
  EXPECT_EQ(gerrecords(), nullptr);
  EXPECT_EQ(zelmarry, 1);
  EXPECT_EQ(iftubetails, 0);
  EXPECT_EQ(headerf32(8), 0.0f);
  EXPECT_EQ(headerf32(12), 10.0f);

  ktest::write_file(path("t.ger"), "ZELMARRY=TRANSMISSION TubeTails=0.05\n");
  EXPECT_EQ(load("t"), "");
  EXPECT_EQ(zelmarry, 2);
  EXPECT_EQ(iftubetails, 1);
  EXPECT_EQ(headerf32(12), 0.0f);
}

TEST_F(InstrumentFunction, BlocksAreNormalisedKeyedAndOrderedByAngle) {
  gerfix::write_ger(path("a.ger"), "TITEL=three",
                    {{30, {{2, 0.001, 0.002}, {6, -0.001, 0.003}}, "GSUM=2.5 DeltaOmega=0.5"},
                     {10, {{1, 0, 0.001}}},
                     {20, {{3, 0.002, 0.001}}, "GSUM=0.75"}});
  EXPECT_EQ(load("a"), "");
  auto v = records();
  ASSERT_EQ(v.size(), 3u);
  // Keys are cot 2 theta, descending: theta ascending.
  EXPECT_EQ(v[0]->key, recordkey(10));
  EXPECT_EQ(v[1]->key, recordkey(20));
  EXPECT_EQ(v[2]->key, recordkey(30));
  const ProfileRecord* r = v[2];
  ASSERT_EQ(r->n, 2);
  EXPECT_EQ(r->g[0], 0.25f);
  EXPECT_EQ(r->g[1], 0.75f);
  EXPECT_EQ(r->e[1], -0.001f);
  EXPECT_EQ(r->q[1], 0.003f);
  EXPECT_EQ(r->gsum, 2.5f);
  EXPECT_FLOAT_EQ(r->deltaomega, static_cast<float>(0.5 * 3.141592653589793 / 180));
  EXPECT_EQ(v[0]->gsum, 1.0f);
  EXPECT_EQ(v[0]->deltaomega, 0.0f);
  EXPECT_EQ(v[1]->g[0], 1.0f);
  EXPECT_EQ(v[1]->gsum, 0.75f);
}

// A file written with CR LF line ends (on another system) is read exactly
// like the same file with LF line ends: same records, same instrument
// function at every angle.
TEST_F(InstrumentFunction, CrLfLineEndsGiveTheSameInstrumentFunction) {
  const std::string lf = gerfix::ger_text(
      "TITEL=three TubeTails=0.05", {{15, {{2, 0.001, 0.002}, {6, -0.001, 0.003}}, "GSUM=2.5"},
                                     {30, {{1, 0, 0.001}}},
                                     {45, {{3, 0.002, 0.001}, {1, 0, 0.004}}, "DeltaOmega=0.5"}});
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  struct Function {
    std::vector<int> n;
    std::vector<float> values;
  };
  auto function_of = [&](const std::string& text) {
    ger2();
    ktest::write_file(path("a.ger"), text);
    EXPECT_EQ(load("a"), "");
    Function f;
    for (const ProfileRecord* r : records()) f.n.push_back(r->n);
    for (double theta : {15.0, 20.0, 37.5, 45.0}) {
      eval(sintheta(theta));
      f.n.push_back(n);
      for (int i = 0; i < n; ++i) f.values.insert(f.values.end(), {g[i], e[i], q[i]});
    }
    f.n.push_back(iftubetails);
    return f;
  };
  const Function expected = function_of(lf);
  ASSERT_EQ(expected.n.size(), 8u);
  const Function got = function_of(crlf);
  EXPECT_EQ(got.n, expected.n);
  EXPECT_EQ(got.values, expected.values);
}

TEST_F(InstrumentFunction, LaterBlockOfTheSameAngleStandsFirst) {
  gerfix::write_ger(path("a.ger"), "",
                    {{20, {{1, 0.001, 0.001}}}, {25, {{1, 0, 0.001}}}, {20, {{1, 0.002, 0.001}}}});
  load("a");
  auto v = records();
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0]->e[0], 0.002f);
  EXPECT_EQ(v[1]->e[0], 0.001f);
  EXPECT_EQ(v[0]->key, v[1]->key);
}

TEST_F(InstrumentFunction, RejectedBlockLinesAndTheirDataLinesAreSkipped) {
  std::string text = "ZELMARRY=REFLEXION\n";
  text += gerfix::ger_block({20, {{1, 0, 0.001}, {1, 0, 0.001}}, "", 0});  // N=0
  text += gerfix::ger_block({90, {{1, 0, 0.001}}});                        // THETA=90
  text += gerfix::ger_block({0, {{1, 0, 0.001}}});                         // THETA=0
  text += "N=1\n1 0 0.001\n";                                              // no THETA
  text += "THETA=20\n1 0 0.001\n";                                         // no N
  text += "R=200\n\n";                                                     // other lines
  text += gerfix::ger_block({25, {{1, 0.0005, 0.002}}});
  text += "THETA=30 N=1";  // ends the file
  ktest::write_file(path("a.ger"), text);
  EXPECT_EQ(load("a"), "");
  auto v = records();
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0]->key, recordkey(25));
  EXPECT_EQ(v[0]->e[0], 0.0005f);
}

TEST_F(InstrumentFunction, CentroidIsTheCubeWeightedMeanOfTheLineShape) {
  std::vector<gerfix::Component> symmetric{{1, 0.003, 0.001}};
  std::vector<gerfix::Component> skewed{{1, 0, 0.001}, {0.5, 0.004, 0.002}, {0.2, -0.002, 0.0015}};
  gerfix::write_ger(path("a.ger"), "", {{20, symmetric}, {30, skewed}});
  load("a");
  auto v = records();
  ASSERT_EQ(v.size(), 2u);
  EXPECT_NEAR(v[0]->centroid, 0.003, 1e-8);
  double expected = simpsoncentroid(skewed);
  EXPECT_GT(std::fabs(expected), 5e-5);  // the skew moves it
  EXPECT_NEAR(v[1]->centroid, expected, 1e-7);
  // The centroid does not depend on the scale of the weights.
  std::vector<gerfix::Component> scaled = skewed;
  for (auto& c : scaled) c.g *= 7;
  gerfix::write_ger(path("b.ger"), "", {{30, scaled}});
  load("b");
  EXPECT_NEAR(records()[0]->centroid, expected, 1e-7);
}

TEST_F(InstrumentFunction, RayTraceHeaderWithItsOwnKeys) {
  ktest::write_file(path("z.ger"),
                    "ZELMARRY=CAPILLARY TubeTails=0.0000\nTITEL=ray?!trace\nR=200\nSamplD=0.5\n" +
                        gerfix::ger_block({20, {{0.5, 0, 0.001}, {0.5, 0.001, 0.002}}}));
  EXPECT_EQ(load("z"), "");
  EXPECT_EQ(zelmarry, 3);
  EXPECT_EQ(iftubetails, 0);
  EXPECT_EQ(records().size(), 1u);
}

TEST_F(InstrumentFunction, MissingFilesAreReportedAndNothingIsLoaded) {
  EXPECT_EQ(load("none"), format(120, path("none.ger")));
  EXPECT_EQ(zelmarry, 0);
  EXPECT_EQ(gerrecords(), nullptr);
  EXPECT_EQ(gertable(), nullptr);
  EXPECT_EQ(DATAlistLevel(), 1);
  EXPECT_EQ(getrekart(), 2);
}

TEST_F(InstrumentFunction, ReadingLeavesScopesAndLookupModeAsTheyWere) {
  set("THETA==1");
  set("N==5");
  gerfix::write_ger(path("a.ger"), "", {kGood});
  setrekart(0);
  load("a");
  EXPECT_EQ(getrekart(), 0);
  setrekart(2);
  EXPECT_EQ(DATAlistLevel(), 1);
  EXPECT_EQ(GetVar("THETA"), 1.0);
  EXPECT_EQ(GetVar("N"), 5.0);
}

// Faults of the instrument-profile file end the run.
TEST_F(InstrumentFunction, FaultsOfTheProfileFileEndTheRun) {
  struct Case {
    const char* what;
    std::string text;
    int status;
    int line;  // of message -11
  } cases[] = {
      {"negative weight", "T\n" + gerfix::ger_block({20, {{1, 0, 0.001}, {-0.1, 0.001, 0.001}}}),
       11, 4},
      {"zero width", "T\n" + gerfix::ger_block({20, {{1, 0, 0}}}), 11, 3},
      {"negative width", "T\n" + gerfix::ger_block({20, {{1, 0, -0.001}}}), 11, 3},
      {"short data line after a full one", "T\nTHETA=20 N=2\n1 0.001 0.002\n1 0.002\n", 11, 4},
      {"data line with one value after a full one", "T\nTHETA=20 N=2\n1 0.001 0.002\n1\n", 11, 4},
      {"not a number", "T\nTHETA=20 N=1\n1 abc 0.001\n", 11, 3},
      {"infinite position", "T\nTHETA=20 N=1\n1 1e999 0.001\n", 11, 3},
      {"all weights zero", "T\n" + gerfix::ger_block({20, {{0, 0, 0.001}, {0, 0.001, 0.001}}}), 11,
       2},
      {"file ends inside a block", "T\nTHETA=20 N=3\n1 0 0.001\n1 0 0.001\n", 11, 5},
  };
  for (const Case& c : cases) {
    ktest::write_file(path("bad.ger"), c.text);
    auto r = ktest::run_in_child([&] { ger1(path("bad").c_str()); });
    EXPECT_EQ(r.status, c.status) << c.what;
    std::string head = format(-11, path("bad.ger"), c.line);
    EXPECT_EQ(r.out.substr(0, head.size()), head) << c.what << "\n" << r.out;
  }
  // A value that cannot be evaluated is followed by the store's own report.
  ktest::write_file(path("bad.ger"), "T\nTHETA=20 N=1\n1 abc 0.001\n");
  auto r = ktest::run_in_child([&] { ger1(path("bad").c_str()); });
  EXPECT_NE(r.out.find("+**"), std::string::npos) << r.out;
}

TEST_F(InstrumentFunction, UnknownArrangementEndsTheRun) {
  ktest::write_file(path("a.ger"), "ZELMARRY=reflexion\n" + gerfix::ger_block(kGood));
  auto r = ktest::run_in_child([&] { ger1(path("a").c_str()); });
  EXPECT_EQ(r.status, 172);
  EXPECT_EQ(r.out, format(-172, "reflexion", path("a.ger")));
}

// ---------------------------------------------------------------------------
// GEQ table

namespace {

std::vector<GeqRecord> tworecords() {
  return {{0.2f, {0.5f, 0.5f}, {0.0f, 0.001f}, {0.001f, 0.002f}},
          {0.3f, {1.0f}, {0.0005f}, {0.0015f}}};
}

}  // namespace

TEST_F(InstrumentFunction, TableIsReadWholeBesideItsProfileFile) {
  GeqHeader h;
  h.magic = "GEQ.T2";
  h.dr = 0.5f;
  h.ratio = 0.25f;
  h.smin = 0.2f;
  h.smax = 0.3f;
  h.name = "diffractometer";
  gerfix::write_geq(path("a.geq"), h, tworecords());
  ktest::write_file(path("a.ger"),
                    "ZELMARRY=TRANSMISSION TubeTails=0.1\n" + gerfix::ger_block(kGood));
  EXPECT_EQ(load("a"), "");
  EXPECT_EQ(zelmarry, 2);
  EXPECT_EQ(iftubetails, 1);
  ASSERT_EQ(tablecount(), 2);
  const TableRecord* t = gertable();
  EXPECT_EQ(t->key, 0.2f);
  ASSERT_EQ(t->n, 2);
  EXPECT_EQ(t->g[1], 0.5f);
  EXPECT_EQ(t->e[1], 0.001f);
  EXPECT_EQ(t->q[1], 0.002f);
  EXPECT_EQ(t->next->q[0], 0.0015f);
  EXPECT_EQ(headerf32(8), 0.5f);
  EXPECT_EQ(headerf32(12), 0.25f);
  EXPECT_EQ(headerf32(16), 0.2f);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(gerheader() + 24)), "diffractometer");
  EXPECT_EQ(records().size(), 1u);
}

TEST_F(InstrumentFunction, TableWithoutProfileFileStaysLoaded) {
  GeqHeader h;
  h.magic = "GEQ.C2";
  gerfix::write_geq(path("a.geq"), h, tworecords());
  EXPECT_EQ(load("a"), format(120, path("a.ger")));
  EXPECT_EQ(zelmarry, 3);
  EXPECT_EQ(iftubetails, 1);
  EXPECT_EQ(tablecount(), 2);
}

// A damaged or foreign table is reported and ignored as a whole: the profile
// file alone decides (here a transmission table beside a profile file that
// says nothing, which would otherwise be a conflict).
TEST_F(InstrumentFunction, DamagedTablesAreReportedAndIgnored) {
  GeqHeader good;
  good.magic = "GEQ.T1";
  std::string bytes = gerfix::geq_bytes(good, tworecords());
  // The first eight bytes replaced, zeros included.
  auto withmagic = [&](std::string_view magic) {
    std::string b = bytes;
    std::memcpy(&b[0], magic.data(), magic.size());
    return b;
  };
  GeqHeader noname = good;
  noname.terminate_name = false;
  GeqRecord huge{0.4f, {1.0f}, {0.0f}, {0.001f}, 1000};
  struct Case {
    const char* what;
    std::string content;
  } cases[] = {
      {"unknown magic", withmagic(std::string_view("GEQ.X1\0\0", 8))},
      {"magic without its zero", withmagic(std::string_view("GEQ.T1X\0", 8))},
      {"magic in lower case", withmagic(std::string_view("geq.t1\0\0", 8))},
      {"header cut short", bytes.substr(0, 60)},
      {"empty file", ""},
      {"record cut short", bytes.substr(0, bytes.size() - 3)},
      {"count beyond the end of the file", bytes + gerfix::geq_record(huge)},
      {"key without a count", bytes + std::string("\0\0\0\0", 4)},
      {"part of a key", bytes + std::string("\0\0", 2)},
      {"name without its zero", gerfix::geq_bytes(noname, tworecords())},
  };
  ktest::write_file(path("a.ger"), "TubeTails=0\n" + gerfix::ger_block(kGood));
  for (const Case& c : cases) {
    ktest::write_file(path("a.geq"), c.content);
    EXPECT_EQ(load("a"), format(12, path("a.geq"))) << c.what;
    EXPECT_EQ(gertable(), nullptr) << c.what;
    EXPECT_EQ(zelmarry, 1) << c.what;
    EXPECT_EQ(headerf32(8), 0.0f) << c.what;
    EXPECT_EQ(headerf32(12), 10.0f) << c.what;
    EXPECT_EQ(records().size(), 1u) << c.what;
  }
  // The untouched table is accepted and then conflicts with the profile file.
  ktest::write_file(path("a.geq"), bytes);
  auto r = ktest::run_in_child([&] { ger1(path("a").c_str()); });
  EXPECT_EQ(r.status, 173);
}

TEST_F(InstrumentFunction, TableAndProfileFileMustAgree) {
  struct Case {
    const char* magic;
    const char* header;
    int status;
    int message;
  } cases[] = {
      {"GEQ.V2", "TubeTails=0", 7, -7},
      {"GEQ.V2", "TITEL=x", 7, -7},
      {"GEQ.V1", "TubeTails=0.2", 7, -7},
      {"GEQ.T1", "TubeTails=0", 173, -173},
      {"GEQ.V1", "ZELMARRY=CAPILLARY", 173, -173},
      {"GEQ.C1", "ZELMARRY=TRANSMISSION", 173, -173},
  };
  for (const Case& c : cases) {
    GeqHeader h;
    h.magic = c.magic;
    gerfix::write_geq(path("a.geq"), h, tworecords());
    ktest::write_file(path("a.ger"), std::string(c.header) + "\n" + gerfix::ger_block(kGood));
    auto r = ktest::run_in_child([&] { ger1(path("a").c_str()); });
    EXPECT_EQ(r.status, c.status) << c.magic << " " << c.header;
    EXPECT_EQ(r.out, catalogue(c.message)) << c.magic << " " << c.header;
  }
  // Agreeing settings load.
  GeqHeader h;
  h.magic = "GEQ.C2";
  gerfix::write_geq(path("a.geq"), h, tworecords());
  ktest::write_file(path("a.ger"), "ZELMARRY=CAPILLARY TubeTails=0.3\n" + gerfix::ger_block(kGood));
  EXPECT_EQ(load("a"), "");
  EXPECT_EQ(zelmarry, 3);
  EXPECT_EQ(tablecount(), 2);
}

TEST_F(InstrumentFunction, TableRecordWithoutComponentsEndsTheRun) {
  for (int32_t count : {0, -5}) {
    std::vector<GeqRecord> recs = tworecords();
    recs.push_back({0.35f, {}, {}, {}, count});
    gerfix::write_geq(path("a.geq"), GeqHeader{}, recs);
    auto r = ktest::run_in_child([&] { ger1(path("a").c_str()); });
    EXPECT_EQ(r.status, 12) << count;
    EXPECT_EQ(r.out, catalogue(-12)) << count;
  }
}

TEST_F(InstrumentFunction, SecondLoadStartsFromNothing) {
  gerfix::write_geq(path("a.geq"), GeqHeader{}, tworecords());
  gerfix::write_ger(path("a.ger"), "", {kGood, {30, {{1, 0, 0.002}}}});
  load("a");
  EXPECT_EQ(tablecount(), 2);
  EXPECT_EQ(records().size(), 2u);
  gerfix::write_ger(path("b.ger"), "ZELMARRY=TRANSMISSION", {kGood});
  EXPECT_EQ(load("b"), "");
  EXPECT_EQ(tablecount(), 0);
  EXPECT_EQ(records().size(), 1u);
  EXPECT_EQ(zelmarry, 2);
  ger2();
  EXPECT_EQ(zelmarry, 0);
  EXPECT_EQ(gerrecords(), nullptr);
  EXPECT_EQ(g, nullptr);
  EXPECT_EQ(n, 0);
}

}  // namespace model
