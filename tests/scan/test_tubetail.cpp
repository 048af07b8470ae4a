// The tube-tail table measured from a scan of one strong line.
#include <gtest/gtest.h>

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

class TubeTail : public ::testing::Test {
 protected:
  void SetUp() override {
    scanfix::use_test_installation();
    scanfix::fresh_store_without_radiation();
    ergibt("LAMBDA=Cu");
    tubetailfree();
  }
  void TearDown() override {
    tubetailfree();
    totalfree();
  }
  // Names the scan (intensities as given) by the key TubeTails and builds
  // the table; returns what was printed.
  std::string measure(const std::vector<scanfix::ValRange>& ranges) {
    std::string path = dir.file("tails.val");
    ktest::write_file(path, scanfix::val(ranges));
    ergibt(("TubeTails=" + path).c_str());
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    tubetailinit();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }
  static std::vector<float> table() {
    if (tubetailarray == nullptr) return {};
    return std::vector<float>(tubetailarray, tubetailarray + tubetailm + 1);
  }
  ktest::TempDir dir;
};

// A symmetric triangular line on a flat background of 2: the centroid falls
// on the apex, the table rises only by the baseline under the line, and the
// tails hold the background's share of the total, 26/246.
TEST_F(TubeTail, TriangleOnAFlatBackground) {
  std::string out = measure({{30.0, 0.01, {2, 2, 2, 2, 12, 52, 102, 52, 12, 2, 2, 2, 2}}});
  EXPECT_FLOAT_EQ(tubetails, 26.0f / 246.0f);
  EXPECT_EQ(out, msg(20, '%', static_cast<double>(tubetails) * 100.0));
  // Line from point 3 to point 9; the tails end at once (2 is not above 4).
  EXPECT_EQ(tubetailm, 5);
  std::vector<float> t = table();
  ASSERT_EQ(t.size(), 6u);
  for (int k = 0; k <= 5; ++k) EXPECT_FLOAT_EQ(t[k], k / 5.0f);
  EXPECT_FLOAT_EQ(tubetailmax, 6.0f - 3.0f - 0.5f);
  EXPECT_FLOAT_EQ(tubetailstep, 0.01f);

  tubetailfree();
  EXPECT_EQ(tubetailarray, nullptr);
  EXPECT_EQ(tubetails, 0.0f);
}

// A line whose intensity stays above 4 on the left: the table starts at the
// first point and adds the measured tail there, the baseline under the line.
TEST_F(TubeTail, TailThatNeverDropsToFour) {
  measure({{30.0, 0.02, {10, 10, 10, 100, 10, 3, 3}}});
  // Line edges a = 2, b = 5; tails from i0 = -1 to i3 = 5.
  const double total = 146.0;
  const double b3 = (2 * 10.0 + 3.0) / 3.0, b4 = (10.0 + 2 * 3.0) / 3.0;
  const double area = (100.0 - b3) + (10.0 - b4);
  EXPECT_EQ(tubetailm, 5);
  const double last = 30.0 + b3 + b4;
  std::vector<float> want = {0.0f,
                             static_cast<float>(10 / last),
                             static_cast<float>(20 / last),
                             static_cast<float>(30 / last),
                             static_cast<float>((30 + b3) / last),
                             1.0f};
  std::vector<float> t = table();
  ASSERT_EQ(t.size(), want.size());
  for (size_t k = 0; k < want.size(); ++k) EXPECT_FLOAT_EQ(t[k], want[k]);
  EXPECT_FLOAT_EQ(tubetails, static_cast<float>(1.0 - area / total));
  const double centroid = ((100.0 - b3) * 3 + (10.0 - b4) * 4) / area;
  EXPECT_FLOAT_EQ(tubetailmax, static_cast<float>(centroid + 1.0 - 0.5));
  EXPECT_FLOAT_EQ(tubetailstep, 0.02f);
}

TEST_F(TubeTail, NoTable) {
  struct Case {
    const char* what;
    std::vector<scanfix::ValRange> ranges;
    bool message10;
  };
  const Case cases[] = {
      {"more than one range", {{30.0, 0.01, {2, 50, 2}}, {40.0, 0.01, {2, 50, 2}}}, true},
      {"maximum at the first point", {{30.0, 0.01, {100, 50, 2, 2}}}, false},
      {"maximum at the last point", {{30.0, 0.01, {2, 2, 50, 100}}}, false},
      {"one point", {{30.0, 0.01, {100}}}, false},
      {"no positive point", {{30.0, 0.01, {0, 0, 0}}}, false},
      // Nothing outside the line: the table would be 0/0.
      {"nothing outside the line", {{30.0, 0.01, {0, 10, 100, 10, 0}}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string out = measure(c.ranges);
    EXPECT_EQ(out, c.message10 ? msg(10) : "");
    EXPECT_EQ(tubetails, 0.0f);
    EXPECT_EQ(tubetailarray, nullptr);
  }
  // No key: nothing printed, no table (also none left from before).
  measure({{30.0, 0.01, {2, 2, 12, 52, 12, 2, 2}}});
  EXPECT_NE(tubetailarray, nullptr);
  DelVar("TubeTails");
  testing::internal::CaptureStdout();
  tubetailinit();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(tubetails, 0.0f);
  EXPECT_EQ(tubetailarray, nullptr);
}

}  // namespace

}  // namespace scan
