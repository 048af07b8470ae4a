// Binary scan files ("raw" with both magics, "rd"): records, their order,
// the anode, the file-level warnings, and damaged or hostile files, which
// must be refused with the format's warning and never read outside the file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "fixtures.hpp"
#include "scan/apx63.hpp"
#include "testsupport.hpp"

namespace scan {
using namespace core;

using scanfix::msg;

namespace {

class Binary : public ::testing::Test {
 protected:
  void SetUp() override {
    scanfix::use_test_installation();
    // No radiation kind: the anodes of the files settle the wavelength.
    scanfix::fresh_store_without_radiation();
  }
  std::string put(const std::string& name, const std::string& bytes) {
    std::string path = dir.file(name);
    ktest::write_file(path, bytes);
    return path;
  }
  ktest::TempDir dir;
};

scanfix::RawRange range(double start, double step, float time, std::vector<float> counts,
                        int extra = 0) {
  scanfix::RawRange r;
  r.start = start;
  r.step = step;
  r.time = time;
  r.counts = std::move(counts);
  r.extra = extra;
  return r;
}

// Counting rule: c counts in time t give (c + 1)/t (c/t up to 0.5 counts)
// and the weight t/sqrt(c + 1).
float rate(double c, double t) { return static_cast<float>((c > 0.5 ? c + 1.0 : c) / t); }
float weight(double c, double t) { return static_cast<float>(t / std::sqrt(c + 1.0)); }

TEST_F(Binary, Raw1RangesComeOutLastFirstWithTheCountingRule) {
  std::string f = put("two.raw", scanfix::raw1("Cu", {range(10.0, 0.02, 2.0f, {0, 1, 100}, 40),
                                                      range(30.0, 0.05, 4.0f, {0.25f, 8})}));
  auto r = scanfix::getscans({f});
  EXPECT_EQ(r.out, "");
  ASSERT_EQ(r.recs.size(), 2u);
  const auto& second = r.recs[0];
  const auto& first = r.recs[1];
  EXPECT_EQ(first.n, 3);
  EXPECT_DOUBLE_EQ(first.start, 10.0);
  EXPECT_DOUBLE_EQ(first.step, 0.02);
  EXPECT_EQ(first.y, (std::vector<float>{0.0f, 1.0f, 50.5f}));
  EXPECT_EQ(first.w, (std::vector<float>{2.0f, weight(1, 2), weight(100, 2)}));
  EXPECT_EQ(second.n, 2);
  EXPECT_DOUBLE_EQ(second.start, 30.0);
  EXPECT_DOUBLE_EQ(second.step, 0.05);
  EXPECT_EQ(second.y, (std::vector<float>{rate(0.25, 4), rate(8, 4)}));
  EXPECT_EQ(second.w, (std::vector<float>{weight(0.25, 4), weight(8, 4)}));
  // The anode "Cu" with two blanks is the wavelength name, and it is X-ray.
  EXPECT_EQ(r.lambda, "Cu");
  EXPECT_TRUE(ifxray());
}

TEST_F(Binary, Raw2RangesAndAnode) {
  scanfix::RawRange a = range(20.0, 0.01, 0.5f, {3, 4});
  scanfix::RawRange b = range(5.0, 0.1, 1.0f, {7});
  b.header = 64;
  std::string f = put("r2.raw", scanfix::raw2("MO", {a, b}));
  auto r = scanfix::getscans({f});
  EXPECT_EQ(r.out, "");
  ASSERT_EQ(r.recs.size(), 2u);
  EXPECT_EQ(r.recs[0].n, 1);
  EXPECT_DOUBLE_EQ(r.recs[0].start, 5.0);
  EXPECT_EQ(r.recs[0].y, (std::vector<float>{8.0f}));
  EXPECT_EQ(r.recs[1].n, 2);
  EXPECT_DOUBLE_EQ(r.recs[1].start, 20.0);
  EXPECT_DOUBLE_EQ(r.recs[1].step, static_cast<double>(0.01f));
  EXPECT_EQ(r.recs[1].y, (std::vector<float>{rate(3, 0.5), rate(4, 0.5)}));
  EXPECT_EQ(r.lambda, "MO");
}

TEST_F(Binary, AnodeAdoptedFromTheFirstFileAndOtherAnodesRefused) {
  std::string cu = put("cu.raw", scanfix::raw1("Cu", {range(10, 0.02, 1, {1, 2})}));
  std::string co = put("co.raw", scanfix::raw1("Co", {range(10, 0.02, 1, {1, 2, 3})}));
  std::string cu2 = put("cu2.raw", scanfix::raw2("Cu", {range(40, 0.02, 1, {5})}));
  auto r = scanfix::getscans({cu, co, cu2});
  EXPECT_EQ(r.out, msg(36, co.c_str()));
  ASSERT_EQ(r.recs.size(), 2u);
  EXPECT_EQ(r.recs[0].n, 1);
  EXPECT_EQ(r.recs[1].n, 2);
  EXPECT_EQ(r.lambda, "Cu");

  // Without a radiation key the buffer's old content does not count: the
  // first file's anode is adopted.
  auto again = scanfix::getscans({co}, "Cu");
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.lambda, "Co");

  // With a radiation kind fixed by a key, the anodes are not looked at.
  setneutrons(true);
  auto keyed = scanfix::getscans({cu, co}, "1.909");
  EXPECT_EQ(keyed.out, "");
  EXPECT_EQ(keyed.recs.size(), 2u);
  EXPECT_EQ(keyed.lambda, "1.909");
}

TEST_F(Binary, AnodeLongerThanTheWavelengthBufferIsAnInternalError) {
  std::string f = put("long.raw", scanfix::raw1("Cu", {range(10, 0.02, 1, {1})}));
  auto run = ktest::run_in_child([&] { scanfix::getscans({f}, "", 1, false); });
  EXPECT_EQ(run.status, 250);
  EXPECT_NE(run.out.find("internal error labeled lamlen in file obj/apx63"), std::string::npos);
}

TEST_F(Binary, ExtensionsChooseTheReader) {
  std::string data = scanfix::raw1("Cu", {range(10, 0.02, 1, {1, 2})});
  std::string upper = put("UP.RAW", data);
  put("plain.val", "NotPar\n");
  std::string cols = put("cols.xy", "10 1\n10.02 2\n");
  setneutrons(true);
  auto r = scanfix::getscans({upper, cols, dir.file("missing.raw")});
  // The upper-case RAW is read as raw; an unknown extension is read as text
  // columns after message 9 with the file number; a missing file gives 35.
  EXPECT_EQ(r.out, msg(9, 2, cols.c_str()) + msg(35, dir.file("missing.raw").c_str()));
  ASSERT_EQ(r.recs.size(), 2u);
  EXPECT_EQ(r.recs[0].n, 2);
  EXPECT_DOUBLE_EQ(r.recs[0].step, 10.02 - 10.0);

  // A name without extension is read with "val" appended: plain.val holds a
  // broken header (message 48 names the file as listed, line 1).
  auto run = ktest::run_in_child([&] { scanfix::getscans({dir.file("plain")}, "", 7996, false); });
  EXPECT_NE(run.out.find(msg(48, dir.file("plain").c_str(), 1)), std::string::npos);
}

TEST_F(Binary, UnknownMagicIs265WithTheMagicText) {
  std::string bad = put("bad.raw", "RAW3.00XYZ" + std::string(800, '\0'));
  std::string tiny = put("tiny.raw", "RA");
  std::string good = put("good.raw", scanfix::raw1("Cu", {range(10, 0.02, 1, {1})}));
  auto r = scanfix::getscans({bad, tiny, good});
  EXPECT_EQ(r.out, msg(265, bad.c_str(), "RAW3.00") + msg(265, tiny.c_str(), "RA"));
  EXPECT_EQ(r.recs.size(), 1u);
}

TEST_F(Binary, RdHeaderAnodeAndCounts) {
  scanfix::Rd f;
  f.anode = 1;
  f.values = {-30, 10, 0, 1};
  f.gap = 7;
  std::string path = put("a.rd", scanfix::rd(f));
  auto r = scanfix::getscans({path});
  EXPECT_EQ(r.out, "");
  ASSERT_EQ(r.recs.size(), 1u);
  // 10.00 to 10.06 degrees in steps of 0.02: four points.
  EXPECT_EQ(r.recs[0].n, 4);
  EXPECT_DOUBLE_EQ(r.recs[0].start, 10.0);
  EXPECT_DOUBLE_EQ(r.recs[0].step, 0.02);
  // s = -30 gives 9 counts like +30; the counting time is 20 * 0.05 = 1.
  EXPECT_EQ(r.recs[0].y, (std::vector<float>{10.0f, 2.0f, 0.0f, 0.01f}));
  EXPECT_EQ(r.recs[0].w, (std::vector<float>{weight(9, 1), weight(1, 1), 1.0f, weight(0.01, 1)}));
  EXPECT_EQ(r.lambda, "MO");
}

TEST_F(Binary, RdWarnings) {
  struct Case {
    const char* what;
    scanfix::Rd f;
    int message;  // 0: read
  };
  scanfix::Rd base;
  base.values = {1, 2, 3, 4};
  std::vector<Case> cases;
  auto add = [&](const char* what, auto change, int message) {
    scanfix::Rd f = base;
    change(f);
    cases.push_back({what, f, message});
  };
  add(
      "anode code 4", [](scanfix::Rd& f) { f.anode = 4; }, 0);
  add(
      "anode code above 5", [](scanfix::Rd& f) { f.anode = 6; }, 26);
  add(
      "step source above 1", [](scanfix::Rd& f) { f.stepsource = 2; }, 27);
  add(
      "fewer values than points",
      [](scanfix::Rd& f) {
        f.values = {1, 2, 3};
      },
      28);
  add(
      "end far beyond the data", [](scanfix::Rd& f) { f.end = 32767; }, 28);
  add(
      "zero step", [](scanfix::Rd& f) { f.step = 0; }, 28);
  add(
      "negative step", [](scanfix::Rd& f) { f.step = -4; }, 28);
  add(
      "zero counting time", [](scanfix::Rd& f) { f.time = 0; }, 28);
  add(
      "negative counting time", [](scanfix::Rd& f) { f.time = -20; }, 28);
  add(
      "end before start", [](scanfix::Rd& f) { f.end = 1990; }, 28);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = put("w.rd", scanfix::rd(c.f));
    auto r = scanfix::getscans({path});
    if (c.message == 0) {
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.recs.size(), 1u);
    } else {
      EXPECT_EQ(r.out, msg(c.message, path.c_str()));
      EXPECT_TRUE(r.recs.empty());
      // A refused file leaves the wavelength alone.
      EXPECT_EQ(r.lambda, "");
    }
  }
  // The data are the last 2n bytes: n from the header, the data offset not
  // before byte 138 (a file of just the header and no room for points).
  std::string shortfile = put("short.rd", scanfix::rd(base).substr(0, 139));
  auto r = scanfix::getscans({shortfile});
  EXPECT_EQ(r.out, msg(28, shortfile.c_str()));
}

// Keys an "rd" file may ask for: LAMBDA for anode code 5, STEPWIDTH for
// step source 1.
TEST_F(Binary, RdKeys) {
  scanfix::Rd lam;
  lam.anode = 5;
  lam.values = {1, 2, 3, 4};
  std::string lampath = put("lam.rd", scanfix::rd(lam));
  auto missing = scanfix::getscans({lampath});
  EXPECT_EQ(missing.out, msg(25));
  EXPECT_TRUE(missing.recs.empty());
  EXPECT_EQ(missing.lambda, "");
  ergibt("LAMBDA=CuKa1");
  auto found = scanfix::getscans({lampath});
  EXPECT_EQ(found.out, "");
  EXPECT_EQ(found.recs.size(), 1u);
  EXPECT_EQ(found.lambda, "CuKa1");

  scanfix::Rd sw;
  sw.stepsource = 1;
  sw.values = {1, 2, 3, 4, 5, 6, 7};
  std::string swpath = put("sw.rd", scanfix::rd(sw));
  // Without STEPWIDTH the file's own step (0.02: four points) is kept.
  auto own = scanfix::getscans({swpath});
  EXPECT_EQ(own.out, msg(2));
  ASSERT_EQ(own.recs.size(), 1u);
  EXPECT_EQ(own.recs[0].n, 4);
  EXPECT_DOUBLE_EQ(own.recs[0].step, 0.02);
  ergibt("STEPWIDTH==0.01");
  auto taken = scanfix::getscans({swpath});
  EXPECT_EQ(taken.out, "");
  ASSERT_EQ(taken.recs.size(), 1u);
  EXPECT_EQ(taken.recs[0].n, 7);
  EXPECT_DOUBLE_EQ(taken.recs[0].step, 0.01);
  EXPECT_EQ(taken.recs[0].y[0], 0.01f);
  ergibt("STEPWIDTH==-0.01");
  auto negative = scanfix::getscans({swpath});
  EXPECT_EQ(negative.out, msg(28, swpath.c_str()));
  EXPECT_TRUE(negative.recs.empty());
}

// Every truncation of a valid binary file: a "raw" file is refused with 265
// (its counts run to the end), an "rd" file with 28 once its header or data
// do not fit; never a fault (the test suite also runs under AddressSanitizer).
TEST_F(Binary, TruncatedFilesAreRefused) {
  setneutrons(true);
  std::string raw1 =
      scanfix::raw1("Cu", {range(10, 0.02, 1, {1, 2, 3}, 12), range(30, 0.02, 2, {4, 5})});
  std::string raw2 =
      scanfix::raw2("Cu", {range(10, 0.02, 1, {1, 2, 3}), range(30, 0.02, 2, {4, 5})});
  for (const std::string* data : {&raw1, &raw2}) {
    for (size_t len = 0; len < data->size(); ++len) {
      SCOPED_TRACE(len);
      std::string path = put("t.raw", data->substr(0, len));
      auto r = scanfix::getscans({path});
      EXPECT_TRUE(r.recs.empty());
      EXPECT_NE(
          r.out.find(msg(265, path.c_str(), data->substr(0, std::min<size_t>(len, 7)).c_str())),
          std::string::npos);
    }
  }
  scanfix::Rd f;
  f.values = {1, 2, 3, 4};
  std::string rd = scanfix::rd(f);
  for (size_t len = 0; len < rd.size(); ++len) {
    SCOPED_TRACE(len);
    std::string path = put("t.rd", rd.substr(0, len));
    auto r = scanfix::getscans({path});
    EXPECT_TRUE(r.recs.empty());
    EXPECT_EQ(r.out, msg(28, path.c_str()));
  }
}

// Header fields that promise more than the file holds, or make no sense,
// are refused before anything is allocated or read.
TEST_F(Binary, HostileHeadersAreRefused) {
  setneutrons(true);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::string raw1 = scanfix::raw1("Cu", {range(10, 0.02, 1, {1, 2, 3}, 8)});
  std::string raw2 = scanfix::raw2("Cu", {range(10, 0.02, 1, {1, 2, 3})});
  const size_t o1 = 712, o2 = 256;
  struct Case {
    const char* what;
    std::string bytes;
  };
  std::vector<Case> cases;
  auto edit = [&](const char* what, std::string b, auto change) {
    change(b);
    cases.push_back({what, b});
  };
  using scanfix::put16, scanfix::put32, scanfix::putf32, scanfix::putf64;
  edit("raw1 huge range count", raw1, [](std::string& b) { put32(b, 12, INT_MAX); });
  edit("raw1 negative range count", raw1, [](std::string& b) { put32(b, 12, -1); });
  edit("raw1 two ranges, one present", raw1, [](std::string& b) { put32(b, 12, 2); });
  edit("raw1 huge point count", raw1, [&](std::string& b) { put32(b, o1 + 4, INT_MAX); });
  edit("raw1 negative point count", raw1, [&](std::string& b) { put32(b, o1 + 4, -3); });
  edit("raw1 one point too many", raw1, [&](std::string& b) { put32(b, o1 + 4, 4); });
  edit("raw1 huge extra block", raw1, [&](std::string& b) { put32(b, o1 + 256, INT_MAX); });
  edit("raw1 negative extra block", raw1, [&](std::string& b) { put32(b, o1 + 256, -8); });
  edit("raw1 zero counting time", raw1, [&](std::string& b) { putf32(b, o1 + 192, 0.0f); });
  edit("raw1 negative counting time", raw1, [&](std::string& b) { putf32(b, o1 + 192, -1.0f); });
  edit("raw1 NaN counting time", raw1, [&](std::string& b) { putf32(b, o1 + 192, nan); });
  edit("raw1 infinite start", raw1, [&](std::string& b) { putf64(b, o1 + 16, inf); });
  edit("raw1 NaN step", raw1, [&](std::string& b) { putf64(b, o1 + 176, std::nan("")); });
  edit("raw2 huge range count", raw2, [](std::string& b) { put16(b, 4, 32767); });
  edit("raw2 negative range count", raw2, [](std::string& b) { put16(b, 4, -1); });
  edit("raw2 header length 0", raw2, [&](std::string& b) { put16(b, o2, 0); });
  edit("raw2 header length below its fields", raw2, [&](std::string& b) { put16(b, o2, 19); });
  edit("raw2 header length beyond the file", raw2, [&](std::string& b) { put16(b, o2, 32767); });
  edit("raw2 negative header length", raw2, [&](std::string& b) { put16(b, o2, -40); });
  edit("raw2 huge point count", raw2, [&](std::string& b) { put16(b, o2 + 2, 32767); });
  edit("raw2 negative point count", raw2, [&](std::string& b) { put16(b, o2 + 2, -2); });
  edit("raw2 zero counting time", raw2, [&](std::string& b) { putf32(b, o2 + 8, 0.0f); });
  edit("raw2 NaN start", raw2, [&](std::string& b) { putf32(b, o2 + 16, nan); });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = put("h.raw", c.bytes);
    auto r = scanfix::getscans({path});
    EXPECT_TRUE(r.recs.empty());
    EXPECT_EQ(r.out, msg(265, path.c_str(), c.bytes.substr(0, 7).c_str()));
  }
  // The unedited files are read.
  EXPECT_EQ(scanfix::getscans({put("ok1.raw", raw1)}).recs.size(), 1u);
  EXPECT_EQ(scanfix::getscans({put("ok2.raw", raw2)}).recs.size(), 1u);
}

// A name of the list that is a directory opens, claims an end position far
// beyond any memory, and then cannot be read: the format's warning, and the
// next file is read.
TEST_F(Binary, DirectoryInPlaceOfAFileIsRefused) {
  setneutrons(true);
  std::string raw = dir.file("dir.raw");
  std::string rd = dir.file("dir.rd");
  ASSERT_EQ(mkdir(raw.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(rd.c_str(), 0700), 0);
  std::string good = put("good.raw", scanfix::raw1("Cu", {range(10, 0.02, 1, {1})}));
  auto r = scanfix::getscans({raw, rd, good});
  EXPECT_EQ(r.out, msg(340, raw.c_str(), "scan file 1", "a directory") + msg(35, raw.c_str()) +
                       msg(340, rd.c_str(), "scan file 2", "a directory") + msg(35, rd.c_str()));
  EXPECT_EQ(r.recs.size(), 1u);
  rmdir(raw.c_str());
  rmdir(rd.c_str());
}

TEST_F(Binary, ZeroPointRangeGivesAnEmptyRecord) {
  std::string f =
      put("z.raw", scanfix::raw1("Cu", {range(10, 0.02, 1, {}), range(20, 0.02, 1, {1})}));
  auto r = scanfix::getscans({f});
  ASSERT_EQ(r.recs.size(), 2u);
  EXPECT_EQ(r.recs[1].n, 0);
}

TEST_F(Binary, CountsBelowMinusOneGetNoWeight) {
  std::string f = put("neg.raw", scanfix::raw1("Cu", {range(10, 0.02, 2, {-5, -1, -0.5f})}));
  auto r = scanfix::getscans({f});
  ASSERT_EQ(r.recs.size(), 1u);
  EXPECT_EQ(r.recs[0].y, (std::vector<float>{-2.5f, -0.5f, -0.25f}));
  EXPECT_EQ(r.recs[0].w, (std::vector<float>{0.0f, 0.0f, weight(-0.5, 2)}));
}

// Real files of laboratory diffractometers.
TEST_F(Binary, RealRaw1Files) {
  const std::string data = KALVO_TEST_DATA;
  auto lab6 = scanfix::getscans({data + "/LaB6_Jan2018.raw"});
  EXPECT_EQ(lab6.out, "");
  ASSERT_EQ(lab6.recs.size(), 1u);
  const auto& l = lab6.recs[0];
  EXPECT_EQ(l.n, 3040);
  EXPECT_DOUBLE_EQ(l.start, 10.0);
  EXPECT_DOUBLE_EQ(l.step, 0.0197448);
  EXPECT_NEAR(l.start + (l.n - 1) * l.step, 70.0044472, 1e-9);
  // Counts 7393, 7478 and, at the end, 1110, collected in 95 s per step.
  EXPECT_EQ(l.y[0], rate(7393, 95));
  EXPECT_EQ(l.w[0], weight(7393, 95));
  EXPECT_EQ(l.y[1], rate(7478, 95));
  EXPECT_EQ(l.y[3039], rate(1110, 95));
  EXPECT_EQ(l.w[3039], weight(1110, 95));
  EXPECT_EQ(lab6.lambda, "Cu");

  auto kao = scanfix::getscans({data + "/Keokuk_kaolinite.raw"});
  ASSERT_EQ(kao.recs.size(), 2u);
  // The second range (80-150 degrees, 12 s) comes first.
  EXPECT_EQ(kao.recs[0].n, 3501);
  EXPECT_DOUBLE_EQ(kao.recs[0].start, 80.0);
  EXPECT_EQ(kao.recs[0].y[0], rate(259, 12));
  EXPECT_EQ(kao.recs[0].y[3500], rate(197, 12));
  EXPECT_EQ(kao.recs[1].n, 4001);
  EXPECT_DOUBLE_EQ(kao.recs[1].start, 10.0);
  EXPECT_DOUBLE_EQ(kao.recs[1].step, 0.02);
  EXPECT_EQ(kao.recs[1].y[0], rate(29, 4));
  EXPECT_EQ(kao.recs[1].w[4000], weight(54, 4));
  EXPECT_EQ(kao.lambda, "CU");

  // Both in one list: "CU" differs from the adopted "Cu".
  auto both = scanfix::getscans({data + "/LaB6_Jan2018.raw", data + "/Keokuk_kaolinite.raw"});
  EXPECT_EQ(both.out, msg(36, (data + "/Keokuk_kaolinite.raw").c_str()));
  EXPECT_EQ(both.recs.size(), 1u);
}

}  // namespace

}  // namespace scan
