// Text scan files (GSAS "gsa", parameter text "val", plain text columns):
// one table of good and bad inputs per format, with the records expected or
// the message and exit status; and the real published files.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/velmora.hpp"
#include "fixtures.hpp"
#include "scan/apx63.hpp"
#include "testsupport.hpp"

namespace scan {
using namespace core;

using scanfix::msg;

namespace {

class Text : public ::testing::Test {
 protected:
  void SetUp() override {
    scanfix::use_test_installation();
    // A radiation key is set unless a test says otherwise: the text formats
    // then read no wavelength key.
    scanfix::fresh_store_without_radiation();
    setneutrons(true);
  }
  void TearDown() override { setneutrons(false); }
  std::string put(const std::string& name, const std::string& text) {
    std::string path = dir.file(name);
    ktest::write_file(path, text);
    return path;
  }
  ktest::TempDir dir;
};

struct Expect {
  int n;
  double start;
  double step;
  std::vector<float> y;
  std::vector<float> w;
};

void expect_records(const scanfix::Read& r, const std::vector<Expect>& want) {
  ASSERT_EQ(r.recs.size(), want.size());
  for (size_t k = 0; k < want.size(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(r.recs[k].n, want[k].n);
    EXPECT_DOUBLE_EQ(r.recs[k].start, want[k].start);
    EXPECT_DOUBLE_EQ(r.recs[k].step, want[k].step);
    EXPECT_EQ(r.recs[k].y, want[k].y);
    EXPECT_EQ(r.recs[k].w, want[k].w);
  }
}

float f(double x) { return static_cast<float>(x); }

// ---------------------------------------------------------------------------
// GSAS

// GSAS STD: y counted nc times gives y + 1/nc (above 0.5/nc) and the weight
// 1/sqrt((y + 1/nc)/nc).
float stdy(double y, int nc) { return f(y > 0.5 / nc ? y + 1.0 / nc : y); }
float stdw(double y, int nc) { return f(1.0 / std::sqrt((y + 1.0 / nc) / nc)); }
// GSAS ESD: value y with sigma s.
float esdy(float y, float s) {
  float k = y / (s * s);
  double c = static_cast<double>(y) * k;
  return f((c > 0.5 ? c + 1.0 : c) / k);
}
float esdw(float y, float s) {
  float k = y / (s * s);
  double c = static_cast<double>(y) * k;
  return f(k / std::sqrt(1.0 + c));
}

struct GsaCase {
  const char* what;
  std::string text;
  std::vector<Expect> records;
  int message;       // 0 none
  int point;         // point number of message 63
  const char* type;  // data type of message 64
};

TEST_F(Text, GsasBanks) {
  const std::string title = "PbSO4 test pattern\r\n";
  const std::string bank3 = "BANK 1 3 1 CONST 1000 2.5 0 0 STD\r\n";
  std::string ten;
  for (int i = 0; i < 10; ++i) ten += "       1";
  std::vector<GsaCase> cases = {
      {"blank count fields count as 1",
       title + bank3 + "     179       0     1.5\r\n",
       {{3, 10.0, 0.025, {stdy(179, 1), 0.0f, stdy(1.5, 1)}, {stdw(179, 1), 1.0f, stdw(1.5, 1)}}},
       0,
       0,
       ""},
      {"count multipliers",
       title + bank3 + " 2    10 4   100 1     3\r\n",
       {{3,
         10.0,
         0.025,
         {stdy(10, 2), stdy(100, 4), stdy(3, 1)},
         {stdw(10, 2), stdw(100, 4), stdw(3, 1)}}},
       0,
       0,
       ""},
      {"signs, exponents and tabs in the fields",
       title + bank3 + " 1   -12 1+1.2e1 2\t   5\r\n",
       {{3, 10.0, 0.025, {-12.0f, stdy(12, 1), stdy(5, 2)}, {0.0f, stdw(12, 1), stdw(5, 2)}}},
       0,
       0,
       ""},
      {"a zero multiplier gives no weight",
       title + bank3 + " 0    10 1     3 1     4\n",
       {{3, 10.0, 0.025, {10.0f, stdy(3, 1), stdy(4, 1)}, {0.0f, stdw(3, 1), stdw(4, 1)}}},
       0,
       0,
       ""},
      {"last line without line end",
       title + bank3 + "      12      13      14",
       {{3, 10.0, 0.025, {13, 14, 15}, {stdw(12, 1), stdw(13, 1), stdw(14, 1)}}},
       0,
       0,
       ""},
      {"data type absent means STD",
       title + "BANK 1 2 1 CONST 500 5 0 0   \r\n      12      13\r\n",
       {{2, 5.0, 0.05, {13, 14}, {stdw(12, 1), stdw(13, 1)}}},
       0,
       0,
       ""},
      {"eleven points over two lines",
       title + "BANK 1 11 2 CONST 1000 2.5 0 0 STD\n" + ten + "\n       1\n",
       {{11, 10.0, 0.025, std::vector<float>(11, 2.0f), std::vector<float>(11, stdw(1, 1))}},
       0,
       0,
       ""},
      {"ESD pairs",
       title + "BANK 1 3 1 CONST 300.00 5.00 0 0 ESD\r\n    523.     48.      0.     2.5    1.e3   "
               " 30.5\r\n",
       {{3,
         3.0,
         0.05,
         {esdy(523, 48), 0.0f, esdy(1000, 30.5f)},
         {esdw(523, 48), 0.4f, esdw(1000, 30.5f)}}},
       0,
       0,
       ""},
      {"no BANK line", title + "      12      13\n", {}, 45, 0, ""},
      {"BANK line with six fields",
       title + "BANK 1 3 1 CONST 1000\n      12      13      14\n",
       {},
       61,
       0,
       ""},
      {"negative point count", title + "BANK 1 -3 1 CONST 1000 2.5 0 0 STD\n", {}, 61, 0, ""},
      {"bin type not CONS",
       title + "BANK 1 3 1 RALF 1000 2.5 0 0 STD\n      12      13      14\n",
       {},
       46,
       0,
       ""},
      {"unknown data type", title + "BANK 1 3 1 CONST 1000 2.5 0 0 FXYE\n", {}, 64, 0, "FXYE"},
      {"file ends before the points",
       title + "BANK 1 12 2 CONST 1000 2.5 0 0 STD\n" + std::string(80, '1') + "\n",
       {},
       62,
       0,
       ""},
      {"count field not a number", title + bank3 + "      12 x    13      14\n", {}, 63, 2, ""},
      {"value field not a number", title + bank3 + "      12      13   abc\n", {}, 63, 3, ""},
      {"line too short for its points", title + bank3 + "      12      13\n", {}, 63, 3, ""},
      {"ESD value without decimal point",
       title + "BANK 1 1 1 CONST 300 5 0 0 ESD\n     523     48.\n",
       {},
       63,
       1,
       ""},
      {"ESD sigma zero",
       title + "BANK 1 1 1 CONST 300 5 0 0 ESD\n    523.      0.\n",
       {},
       63,
       1,
       ""},
  };
  for (const GsaCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = put("bank.gsa", c.text);
    auto r = scanfix::getscans({path});
    expect_records(r, c.records);
    std::string want;
    if (c.message == 63)
      want = msg(63, c.point, path.c_str());
    else if (c.message == 64)
      want = msg(64, c.type, path.c_str());
    else if (c.message != 0)
      want = msg(c.message, path.c_str());
    EXPECT_EQ(r.out, want);
  }
}

// ---------------------------------------------------------------------------
// Parameter text "val"

struct ValRange {
  std::string key;  // "BerPar<i>"
  double start = 10.0;
  double step = 0.02;
  std::string mode = "T";
  std::string time = "2";
  std::string n;  // as written; empty: the number of values
  std::string marker = "N";
  std::string nline = "N no absorption";
  std::string zero = "0";
  std::string intens;  // "Intens<i>"
  std::vector<std::string> values;
};

std::string valfile(const std::vector<ValRange>& ranges, const std::string& first = "FilePar 1.0",
                    const std::string& lambda = "Cu", const std::string& k = "0") {
  std::string s = first + "\nsample\nremark\n1\n2\nx\n" + lambda + "\nremark\n3\n" + k + "\n" +
                  std::to_string(ranges.size()) + "\n";
  for (size_t i = 0; i < ranges.size(); ++i) {
    const ValRange& r = ranges[i];
    char num[64];
    s += (r.key.empty() ? "BerPar" + std::to_string(i + 1) : r.key) + "\nrange\n";
    std::snprintf(num, sizeof num, "%.4f\n%.4f\n%.4f\n", r.start, r.start + 1, r.step);
    s += num;
    s += r.mode + "\n" + r.time + "\n5\n" + (r.n.empty() ? std::to_string(r.values.size()) : r.n) +
         "\n" + r.marker + "\n" + r.nline + "\n" + r.zero + "\n" +
         (r.intens.empty() ? "Intens" + std::to_string(i + 1) : r.intens) + "\n";
    for (const std::string& v : r.values) s += v + "\n";
  }
  return s;
}

ValRange vrange(std::vector<std::string> values, std::string mode = "T", std::string time = "2") {
  ValRange r;
  r.values = std::move(values);
  r.mode = std::move(mode);
  r.time = std::move(time);
  return r;
}

template <class F>
ValRange vchanged(ValRange r, F change) {
  change(r);
  return r;
}

struct ValCase {
  const char* what;
  std::string text;
  std::vector<Expect> records;
  int message;  // 0 none
  int arg;      // line number (48) or range number (37, 38, 39)
};

float countw(double c, double t) { return f(t / std::sqrt(c + 1.0)); }

TEST_F(Text, ValFiles) {
  ValRange t2 = vrange({"10", "0.1"});
  t2.start = 12.5;
  // Header lines 1-11, range 1 at lines 12-24, its values from line 25.
  std::vector<ValCase> cases = {
      {"mode T: counts are time times value",
       valfile({t2}),
       {{2, 12.5, 0.02, {f(21.0 / 2), f(0.2 / 2)}, {countw(20, 2), countw(0.2, 2)}}},
       0,
       0},
      {"time factor",
       valfile({vrange({"10"})}, "FilePar", "Cu", "3"),
       {{1, 10.0, 0.02, {f(61.0 / 6)}, {countw(60, 6)}}},
       0,
       0},
      {"mode C: values as given, no weight without a positive value",
       valfile({vrange({"25", "0", "-3"}, "C", "4")}),
       {{3, 10.0, 0.02, {25, 0, -3}, {f(2.0 / 25), 0, 0}}},
       0,
       0},
      {"two ranges come out last first",
       valfile({vrange({"1"}),
                vchanged(vrange({"3", "4"}, "C", "1"), [](ValRange& r) { r.start = 40; })}),
       {{2, 40.0, 0.02, {3, 4}, {f(1.0 / 3), 0.25f}},
        {1, 10.0, 0.02, {f(3.0 / 2)}, {countw(2, 2)}}},
       0,
       0},
      {"mode not checked without points",
       valfile({vrange({}, "X")}),
       {{0, 10.0, 0.02, {}, {}}},
       0,
       0},
      {"blanks behind a number",
       valfile({vrange({"7   "}, "C", "1   ")}),
       {{1, 10.0, 0.02, {7}, {f(1.0 / 7)}}},
       0,
       0},
      {"first line not FilePar", valfile({vrange({"1"})}, "FilePa"), {}, 48, 1},
      {"range key wrong",
       valfile({vrange({"1"}), vchanged(vrange({"2"}), [](ValRange& r) { r.key = "BerPar3"; })}),
       {{1, 10.0, 0.02, {f(3.0 / 2)}, {countw(2, 2)}}},
       48,
       26},
      {"range key without number",
       valfile({vchanged(vrange({"1"}), [](ValRange& r) { r.key = "BerPar"; })}),
       {},
       48,
       12},
      {"intensity key wrong",
       valfile({vchanged(vrange({"1"}), [](ValRange& r) { r.intens = "Intens2"; })}),
       {},
       48,
       24},
      {"marker not N",
       valfile({vchanged(vrange({"1"}), [](ValRange& r) { r.marker = "Y"; })}),
       {},
       37,
       1},
      {"marker line not N",
       valfile({vchanged(vrange({"1"}), [](ValRange& r) { r.nline = "Yes"; })}),
       {},
       38,
       1},
      {"marker number not 0",
       valfile({vchanged(vrange({"1"}), [](ValRange& r) { r.zero = "1"; })}),
       {},
       39,
       1},
  };
  for (const ValCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = put("scan.val", c.text);
    auto r = scanfix::getscans({dir.file("scan")});
    expect_records(r, c.records);
    EXPECT_EQ(r.out, c.message == 0 ? "" : msg(c.message, dir.file("scan").c_str(), c.arg));
  }
}

TEST_F(Text, ValWavelengthAdoptedAndCompared) {
  setneutrons(false);
  std::string cu = put("cu.val", valfile({vrange({"1"})}, "FilePar", "CuKa1"));
  std::string co = put("co.val", valfile({vrange({"1"})}, "FilePar", "CoKa1"));
  auto r = scanfix::getscans({cu, co, cu});
  EXPECT_EQ(r.lambda, "CuKa1");
  EXPECT_TRUE(ifxray());
  EXPECT_EQ(r.out, msg(36, co.c_str()));
  EXPECT_EQ(r.recs.size(), 2u);
}

TEST_F(Text, ValFatalLines) {
  struct Case {
    const char* what;
    std::string text;
    int status;
    int line;  // of message -143
  };
  std::vector<Case> cases = {
      {"number followed by a carriage return",
       valfile({vchanged(vrange({"1"}), [](ValRange& r) { r.time = "12.5\r"; })}), 143, 18},
      {"text in place of the point count",
       valfile({vchanged(vrange({"1"}), [](ValRange& r) { r.n = "abc"; })}), 143, 20},
      {"two numbers on a header line", valfile({vrange({"1"})}, "FilePar", "Cu", "0 1"), 143, 10},
      {"file ends inside the values",
       valfile({vchanged(vrange({"1", "2"}), [](ValRange& r) { r.n = "5"; })}), 143, 27},
      {"value followed by text", valfile({vrange({"1", "2 counts"})}), 143, 26},
      {"mode neither C nor T", valfile({vrange({"1"}, "X")}), 41, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = put("bad.val", c.text);
    auto run = ktest::run_in_child([&] { scanfix::getscans({path}, "", 7996, false); });
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.status == 41 ? msg(-41) : msg(-143, 1, path.c_str(), c.line));
  }
}

// ---------------------------------------------------------------------------
// Text columns

struct ColCase {
  const char* what;
  std::string text;
  std::vector<Expect> records;
  int badline;  // line of message -143, 0 none
};

TEST_F(Text, Columns) {
  const float w1 = 1.0f;
  auto cw = [](double c) { return f(1.0 / std::sqrt(c + 1.0)); };
  // Three columns: intensity c with sigma s.
  auto sy = [](float c, float s) {
    float k = c / (s * s);
    double c2 = static_cast<double>(c) * k;
    return f((c2 >= 0.5 ? c2 + 1.0 : c2) / k);
  };
  auto sw = [](float c, float s) {
    float k = c / (s * s);
    double c2 = static_cast<double>(c) * k;
    return f(1.0 / (std::sqrt(1.0 + c2) / k));
  };
  std::vector<ColCase> cases = {
      {"counts, equidistant",
       "10.00 5\n10.02 0\n10.04 100\n",
       {{3, 10.0, (10.04 - 10.0) / 2, {6, 0, 101}, {cw(5), w1, cw(100)}}},
       0},
      {"not equidistant: one record per point",
       "10.00 5\n10.02 0\n10.05 100\n",
       {{1, 10.05, 0, {101}, {cw(100)}}, {1, 10.02, 0, {0}, {w1}}, {1, 10.0, 0, {6}, {cw(5)}}},
       0},
      {"one point", "20 3\n", {{1, 20.0, 0, {4}, {cw(3)}}}, 0},
      {"two points", "20 3\n20.5 1\n", {{2, 20.0, 0.5, {4, 2}, {cw(3), cw(1)}}}, 0},
      {"comment lines and blanks",
       "# title\n#2theta counts\n  30.0\t 8  \n 30.1 8\n",
       {{2, 30.0, 30.1 - 30.0, {9, 9}, {cw(8), cw(8)}}},
       0},
      {"intensity with sigma",
       "10 400 10\n11 0 1\n12 1e-3 2\n",
       {{3, 10.0, 1.0, {sy(400, 10), 0, sy(1e-3f, 2)}, {sw(400, 10), 1.0f, sw(1e-3f, 2)}}},
       0},
      {"a third column is ignored after two",
       "10 4\n11 4 99\n",
       {{2, 10.0, 1.0, {5, 5}, {cw(4), cw(4)}}},
       0},
      {"trailing empty lines end the data",
       "10 4\n11 4\n\n\n  \r\n",
       {{2, 10.0, 1.0, {5, 5}, {cw(4), cw(4)}}},
       0},
      {"Windows line ends", "10 4\r\n11 4\r\n\r\n", {{2, 10.0, 1.0, {5, 5}, {cw(4), cw(4)}}}, 0},
      {"first line tolerates a tiny negative count",
       "10 -1e-40\n11 4\n",
       {{2,
         10.0,
         1.0,
         {-1e-40f, 5},
         {f(1.0 / std::sqrt(1.0 + static_cast<double>(-1e-40f))), cw(4)}}},
       0},
      {"no data lines", "# only a title\n", {}, 0},
      {"empty line inside the data", "10 4\n\n11 4\n", {}, 2},
      {"only empty lines", "\n\n", {}, 1},
      {"empty line after the title, no data", "# title\n\n", {}, 2},
      {"negative count", "# t\n10 4\n11 -1\n", {}, 3},
      {"negative count on the first line", "10 -1\n", {}, 1},
      {"one column only", "10\n", {}, 1},
      {"text", "2theta counts\n", {}, 1},
      {"second line lacks the sigma", "10 4 2\n11 4\n", {}, 2},
      {"sigma zero", "10 4 2\n11 4 0\n", {}, 2},
      {"comment line after the data", "10 4\n# end\n", {}, 2},
  };
  for (const ColCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = put("cols.dat", c.text);
    auto r = scanfix::getscans({path});
    expect_records(r, c.records);
    std::string want = msg(9, 1, path.c_str());
    if (c.badline != 0) want += msg(-143, 1, path.c_str(), c.badline);
    EXPECT_EQ(r.out, want);
  }
}

TEST_F(Text, BadColumnFileDoesNotStopTheRun) {
  std::string bad = put("bad.xy", "10 4\n11 x\n");
  std::string good = put("good.xy", "10 4\n11 4\n");
  auto r = scanfix::getscans({bad, good});
  EXPECT_EQ(r.out, msg(9, 1, bad.c_str()) + msg(-143, 1, bad.c_str(), 2) + msg(9, 2, good.c_str()));
  ASSERT_EQ(r.recs.size(), 1u);
  EXPECT_EQ(r.recs[0].n, 2);
}

// ---------------------------------------------------------------------------
// Real files

TEST_F(Text, RealGsasFiles) {
  const std::string data = KALVO_TEST_DATA;
  // The round-robin file as published: every count field is blank.
  auto pb = scanfix::getscans({data + "/PbSO4_xray.gsa"});
  EXPECT_EQ(pb.out, "");
  ASSERT_EQ(pb.recs.size(), 1u);
  const auto& p = pb.recs[0];
  EXPECT_EQ(p.n, 6001);
  EXPECT_DOUBLE_EQ(p.start, 10.0);
  EXPECT_DOUBLE_EQ(p.step, 0.025);
  EXPECT_EQ(p.y[0], stdy(179, 1));
  EXPECT_EQ(p.w[0], stdw(179, 1));
  EXPECT_EQ(p.y[1], stdy(147, 1));
  EXPECT_EQ(p.y[6000], stdy(368, 1));
  EXPECT_EQ(p.w[6000], stdw(368, 1));

  auto pn = scanfix::getscans({data + "/PbSO4_neutron.gsa"});
  ASSERT_EQ(pn.recs.size(), 1u);
  EXPECT_EQ(pn.recs[0].n, 2919);
  EXPECT_DOUBLE_EQ(pn.recs[0].step, 0.05);
  EXPECT_EQ(pn.recs[0].y[0], stdy(220, 1));

  // ESD pairs; the title line holds non-ASCII bytes.
  auto la = scanfix::getscans({data + "/LaMnO3_50K_esd.gsa"});
  EXPECT_EQ(la.out, "");
  ASSERT_EQ(la.recs.size(), 1u);
  const auto& l = la.recs[0];
  EXPECT_EQ(l.n, 3296);
  EXPECT_DOUBLE_EQ(l.start, 3.0);
  EXPECT_DOUBLE_EQ(l.step, 0.05);
  EXPECT_NEAR(l.start + (l.n - 1) * l.step, 167.75, 1e-9);
  EXPECT_EQ(l.y[0], esdy(523, 48));
  EXPECT_EQ(l.w[0], esdw(523, 48));
  EXPECT_EQ(l.y[1], esdy(442, 44));
  EXPECT_EQ(l.y[3295], esdy(681, 34));
  EXPECT_EQ(l.w[3295], esdw(681, 34));
}

TEST_F(Text, RealColumnFile) {
  const std::string path = std::string(KALVO_TEST_DATA) + "/cpd-1a.prn";
  auto r = scanfix::getscans({path});
  EXPECT_EQ(r.out, msg(9, 1, path.c_str()));
  ASSERT_EQ(r.recs.size(), 1u);
  const auto& c = r.recs[0];
  EXPECT_EQ(c.n, 7251);
  EXPECT_DOUBLE_EQ(c.start, 5.0);
  EXPECT_NEAR(c.step, 0.02, 1e-15);
  EXPECT_NEAR(c.start + (c.n - 1) * c.step, 150.0, 1e-12);
  EXPECT_EQ(c.y[0], 154.0f);
  EXPECT_EQ(c.w[0], f(1.0 / std::sqrt(154.0)));
  EXPECT_EQ(c.y[1], 162.0f);
  EXPECT_EQ(c.y[7250], 22.0f);
  EXPECT_EQ(c.w[7250], f(1.0 / std::sqrt(22.0)));
}

}  // namespace

}  // namespace scan
