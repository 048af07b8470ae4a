// Reading peak-parameter files: header keys in a scope of their own, peak
// records of two, three and four parameters with the writer's items, ignored
// records, the background record, and the line-end variants of real files.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "gerneu_testenv.hpp"
#include "model/lam.hpp"
#include "model/parfile.hpp"
#include "testsupport.hpp"

namespace model {
using namespace core;

namespace {

class ParFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    totalfree();
    newDATAlist();
    setrekart(2);
  }
  void TearDown() override {
    while (ondataLevel() > 0) dataerr_oldjmp();
    totalfree();
  }
  std::string put(const std::string& name, const std::string& text) {
    ktest::write_file(dir.file(name), text);
    return dir.file(name);
  }
  static std::string text(const char* key) {
    char buf[200] = {};
    GetStrVar(key, 199, buf);
    return buf;
  }
  ktest::TempDir dir;
};

// A file as the peak-fitting program writes it: header, one peak of each
// kind with trailing items, an ignored record, the background record and
// the matrix rows behind it.
const char* const kPeaks =
    "PEAKZAHL=4 TITEL=LaB6?!standard WMIN=20.000 WMAX=70.000 LINTOR=inst Q=123.5 LAMBDA=CU "
    "EPS1=0.0 CUT[1]=30.000:31.000\n"
    "2  1.000000E+03  2.4061000 GSUM=1.00000 PHASE=LaB6 H=6 1 0 0\n"
    "3  2.000000E+03  3.4028000 0.0123000 H=12 1 1 0\n"
    "5 7 8 9\n"
    "4  3.000000E+03  4.1674000 0.0100000 0.000400000 PHASE=(two\nlines) 1 1 1\n"
    "3 0.000000E+00 1.2 0.05\n"
    "2  1.000000E+01  2.000000E+01 \n"
    " 1.0E+00 \n"
    " 2.0E+00  3.0E+00 ";

std::string crlf(const std::string& s) {
  std::string r;
  for (char c : s) {
    if (c == '\n') r += '\r';
    r += c;
  }
  return r;
}

TEST_F(ParFileTest, HeaderPeaksAndBackgroundAlikeForLfCrlfAndAMissingLastLineEnd) {
  const std::string lf = kPeaks;
  const struct {
    const char* what;
    std::string content;
  } cases[] = {
      {"LF, no final line end", lf},
      {"LF with final line end", lf + "\n"},
      {"CRLF, no final line end", crlf(lf)},
      {"CRLF with final line end", crlf(lf + "\n")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    totalfree();
    newDATAlist();
    setrekart(2);
    ASSERT_EQ(ergibt("WMIN==5"), 1);
    ASSERT_EQ(ergibt("PHASE=control"), 1);

    model::ParFile pf;
    ASSERT_TRUE(pf.open(put("a.par", c.content)));
    ASSERT_EQ(pf.header(), 4);
    EXPECT_EQ(getrekart(), 2);
    // The header's keys override the control file's while their scope is on top.
    EXPECT_EQ(GetVar("WMIN"), 20.0);
    EXPECT_EQ(text("TITEL"), "LaB6?!standard");
    EXPECT_EQ(text("CUT[1]"), "30.000:31.000");

    model::ParPeak pk;
    ASSERT_TRUE(pf.peak(pk));
    EXPECT_EQ(pk.type, 2);
    EXPECT_EQ(pk.intensity, 1000.0);
    EXPECT_EQ(pk.position, 2.4061);
    EXPECT_EQ(pk.third, 0.0);
    EXPECT_EQ(pk.items,
              (std::vector<std::string>{"GSUM=1.00000", "PHASE=LaB6", "H=6", "1", "0", "0"}));
    // The record's statements ran in the header's scope.
    EXPECT_EQ(text("PHASE"), "LaB6");

    ASSERT_TRUE(pf.peak(pk));
    EXPECT_EQ(pk.type, 3);
    EXPECT_EQ(pk.intensity, 2000.0);
    EXPECT_EQ(pk.third, 0.0123);
    EXPECT_EQ(pk.fourth, 0.0);
    EXPECT_EQ(pk.items, (std::vector<std::string>{"H=12", "1", "1", "0"}));

    ASSERT_TRUE(pf.peak(pk));
    EXPECT_EQ(pk.type, 0);
    EXPECT_EQ(pk.items, (std::vector<std::string>{"7", "8", "9"}));

    // A line break inside an open bracket continues the record.
    ASSERT_TRUE(pf.peak(pk));
    EXPECT_EQ(pk.type, 4);
    EXPECT_EQ(pk.position, 4.1674);
    EXPECT_EQ(pk.third, 0.01);
    EXPECT_EQ(pk.fourth, 0.0004);
    EXPECT_EQ(pk.items, (std::vector<std::string>{"PHASE=(twolines)", "1", "1", "1"}));

    // PEAKZAHL says four: the fifth line is the background record.
    EXPECT_FALSE(pf.peak(pk));
    EXPECT_EQ(pk.type, 4);
    std::vector<float> bg;
    EXPECT_EQ(pf.background(&bg), 3);
    EXPECT_EQ(bg, (std::vector<float>{0.0f, 1.2f, 0.05f}));
    EXPECT_EQ(getrekart(), 2);
    pf.close();

    EXPECT_EQ(GetVar("WMIN"), 20.0);
    pf.discardscope();
    EXPECT_EQ(GetVar("WMIN"), 5.0);
    EXPECT_EQ(text("PHASE"), "control");
    EXPECT_FALSE(dataerr_try([] { GetStrVar("TITEL", 0, nullptr); }));
  }
}

TEST_F(ParFileTest, RecordsOfOtherCountsAreIgnoredButCountTowardsPeakzahl) {
  model::ParFile pf;
  ASSERT_TRUE(pf.open(put("b.par",
                          "PEAKZAHL=5\n"
                          "5 1 2 3 4 5\n"
                          "2.5 100 3.0\n"
                          "1 100\n"
                          "3 100 2.5 0.01\n"
                          "0\n"
                          "2 7 8\n")));
  ASSERT_EQ(pf.header(), 5);
  std::vector<int> types;
  model::ParPeak pk;
  while (pf.peak(pk)) types.push_back(pk.type);
  EXPECT_EQ(types, (std::vector<int>{0, 0, 0, 3, 0}));
  // The record behind the five is the background record: two coefficients.
  std::vector<float> bg;
  EXPECT_EQ(pf.background(&bg), 2);
  EXPECT_EQ(bg, (std::vector<float>{7, 8}));
  pf.discardscope();
}

TEST_F(ParFileTest, BackgroundRecordMissingEmptyOrZero) {
  const struct {
    const char* what;
    const char* content;
    int count;
  } cases[] = {
      {"file ends after the peaks", "PEAKZAHL=1\n2 5 6", -1},
      {"file ends with the peaks' line end", "PEAKZAHL=1\n2 5 6\n", -1},
      {"an empty line", "PEAKZAHL=1\n2 5 6\n\n3 1 2 3\n", -1},
      {"statements only", "PEAKZAHL=1\n2 5 6\nX=1\n", -1},
      {"no coefficients", "PEAKZAHL=1\n2 5 6\n0\n", 0},
      {"negative count", "PEAKZAHL=1\n2 5 6\n-2 1 2\n", 0},
      {"count written as a real", "PEAKZAHL=1\n2 5 6\n1.0000 4.5\n", 1},
      {"no peaks at all", "PEAKZAHL=0\n2 5 6\n", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    model::ParFile pf;
    ASSERT_TRUE(pf.open(put("c.par", c.content)));
    pf.header();
    std::vector<float> bg{99};
    EXPECT_EQ(pf.background(&bg), c.count);
    EXPECT_EQ(bg.size(), static_cast<size_t>(c.count < 0 ? 0 : c.count));
    EXPECT_FALSE(ifErr());
    pf.discardscope();
  }
}

// Damaged files end in a store error at the caller's frame, never with a
// stale or invented value.
TEST_F(ParFileTest, DamagedFilesRaiseStoreErrors) {
  const struct {
    const char* what;
    const char* content;
  } cases[] = {
      {"no PEAKZAHL in the header", "TITEL=x\n2 1 2\n"},
      {"fewer records than PEAKZAHL", "PEAKZAHL=3\n2 1 2\n2 3 4\n"},
      {"a parameter missing behind a longer record", "PEAKZAHL=2\n4 1 2 3 4 5 6\n4 1 2 3\n"},
      {"a text where the intensity belongs", "PEAKZAHL=1\n3 strong 2 3\n"},
      {"a coefficient missing", "PEAKZAHL=0\n3 1 2\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    totalfree();
    newDATAlist();
    setrekart(2);
    // A PEAKZAHL of the control file does not stand in for the file's own.
    ASSERT_EQ(ergibt("PEAKZAHL==7"), 1);
    model::ParFile pf;
    ASSERT_TRUE(pf.open(put("d.par", c.content)));
    bool done = dataerr_try([&] {
      pf.header();
      model::ParPeak pk;
      while (pf.peak(pk)) {
      }
      pf.background(nullptr);
    });
    EXPECT_FALSE(done);
    EXPECT_TRUE(ifErr());
    EXPECT_EQ(getrekart(), 2);
  }
}

TEST_F(ParFileTest, BackgroundReadsOverUnreadPeaksAndAMissingFileIsReported) {
  model::ParFile pf;
  EXPECT_FALSE(pf.open(dir.file("absent.par")));
  ASSERT_TRUE(pf.open(put("e.par", kPeaks)));
  ASSERT_EQ(pf.header(), 4);
  model::ParPeak pk;
  ASSERT_TRUE(pf.peak(pk));
  std::vector<float> bg;
  EXPECT_EQ(pf.background(&bg), 3);
  EXPECT_FALSE(pf.peak(pk));
  pf.close();
  pf.discardscope();
  // The scope is gone: a second discard does nothing.
  pf.discardscope();
  EXPECT_EQ(DATAlistLevel(), 1);
}

class ParGsumTest : public InstrumentFunction {};

TEST_F(ParGsumTest, GsumIsTheInstrumentWeightAtThePeakAndAbsentBeyondItsRange) {
  gerfix::write_ger(
      path("inst.ger"), "TITEL=x",
      {{10, {{1, 0, 0.001}, {1, 0.0002, 0.002}}, "GSUM=0.8"}, {60, {{1, 0, 0.002}}, "GSUM=0.8"}});
  load("inst");
  l0 = 1 / 0.154056;
  double gsum = -1;
  ASSERT_TRUE(model::parfile_gsum(2 * l0 * sintheta(20), &gsum));
  EXPECT_NEAR(gsum, 0.8, 1e-6);
  for (double s : {1.0, 1.5, 0.0, -0.2}) {
    gsum = -1;
    EXPECT_FALSE(model::parfile_gsum(2 * l0 * s, &gsum)) << s;
    EXPECT_EQ(gsum, -1);
  }
  EXPECT_EQ(gererr, 1);
}

}  // namespace

}  // namespace model
