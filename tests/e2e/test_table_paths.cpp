// A ray-traced capillary profile through the table builder and the
// instrument-function test: inside the table's range the line shape read
// from the table is the one the profile file gives under the sample set-up
// the table was built with; outside it, the set-up the table's header
// stores stands in for the keys a later run lacks, as the keys themselves do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "geqrun.hpp"
#include "testsupport.hpp"
#include "zelmarrun.hpp"

namespace {

using Keys = std::map<std::string, std::string>;

// The largest difference of two summed line shapes written by probast,
// relative to the first one's highest value; the second is interpolated
// linearly at the first one's abscissae (the two ranges follow the
// components, which a refit may choose otherwise for the same shape).
double difference(const geqrun::Blocks& a, const geqrun::Blocks& b) {
  EXPECT_FALSE(a.empty() || b.empty() || a[0].size() < 2 || b[0].size() < 2);
  if (a.empty() || b.empty() || a[0].size() < 2 || b[0].size() < 2) return 1;
  std::vector<geqrun::Point> x = a[0], y = b[0];
  auto byx = [](const geqrun::Point& l, const geqrun::Point& r) { return l.x < r.x; };
  std::sort(x.begin(), x.end(), byx);
  std::sort(y.begin(), y.end(), byx);
  double top = 0, diff = 0;
  for (const geqrun::Point& p : x) {
    top = std::fmax(top, p.y);
    auto at = std::lower_bound(y.begin(), y.end(), p, byx);
    double v = 0;
    if (at != y.begin() && at != y.end()) {
      const geqrun::Point &l = at[-1], &r = at[0];
      v = l.y + (r.y - l.y) * (p.x - l.x) / (r.x - l.x);
    }
    diff = std::fmax(diff, std::fabs(p.y - v));
  }
  return diff / top;
}

// The accuracy goal of the refitted line shape (EPSG, by default).
constexpr double kRefit = 0.007;

TEST(TablePaths, CapillaryProfileFromTableAndFile) {
  zrun::Workplace wp;
  Keys keys = zrun::basekeys();
  keys["ZELMARRY"] = "CAPILLARY";
  keys["LINTOR"] = "cap";
  keys["zweiTheta[1]"] = "40";
  keys["zweiTheta[2]"] = "70";
  ktest::RunResult r = wp.run("zelmar", keys);
  ASSERT_EQ(r.status, 0) << r.out;

  // The set-up of the sample: capillary diameter, absorption length and
  // goniometer radius in mm.
  const Keys setup{{"D", "1"}, {"T", "0.5"}, {"R", "200"}};
  Keys table{{"LINTOR", "cap"}, {"WMIN", "48"}, {"WMAX", "52"}, {"WSTEP", "0.5"}, {"SAVE", "N"}};
  table.insert(setup.begin(), setup.end());
  r = wp.run("quindle", table);
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(ktest::file_exists(wp.file("cap.geq")));

  // probast at 2theta with or without the set-up keys, with or without the
  // table beside the profile file.
  auto probe = [&](const std::string& twotheta, bool keyed, bool withtable) {
    if (!withtable) std::rename(wp.file("cap.geq").c_str(), wp.file("aside.geq").c_str());
    Keys k{{"LINTOR", "cap"}, {"zweiTheta", twotheta}, {"SAVE", "N"}};
    if (keyed) k.insert(setup.begin(), setup.end());
    ktest::RunResult pr = wp.run("probast", k);
    if (!withtable) std::rename(wp.file("aside.geq").c_str(), wp.file("cap.geq").c_str());
    EXPECT_EQ(pr.status, 0) << pr.out;
    geqrun::Blocks b = geqrun::columns(ktest::read_file(wp.install.file("probast.out")));
    return b;
  };

  // On a grid angle of the table and between two: table and file give the
  // same line shape within the accuracy of the refit.
  for (const char* twotheta : {"50", "50.2"}) {
    SCOPED_TRACE(twotheta);
    EXPECT_LE(difference(probe(twotheta, true, true), probe(twotheta, true, false)), kRefit);
  }

  // Outside the table's range the profile file serves; without keys the
  // run takes the set-up from the table's header.
  const geqrun::Blocks keyed = probe("60", true, false);
  EXPECT_LE(difference(probe("60", false, true), keyed), kRefit);
  // The set-up matters: without keys and without the table the line shape
  // is another.
  EXPECT_GT(difference(probe("60", false, false), keyed), 0.1);
}

}  // namespace
