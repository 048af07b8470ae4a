// The traced line shapes of two aberrations against an independent
// fundamental-parameters computation (tools/zelmar-reference/make-moments.py,
// fixture tests/zelmar/data/moments.txt): the centroid shift and the width of
// the raw histograms of axial divergence through two Soller collimators and
// of the flat-specimen error of a divergent beam, from 20 to 140 degrees
// 2theta.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.hpp"
#include "zelmarrun.hpp"

namespace {

using Keys = std::map<std::string, std::string>;

struct Moments {
  double centroid, width;
};

// kind -> 2theta -> moments, degrees 2theta.
std::map<std::string, std::map<int, Moments>> reference() {
  std::map<std::string, std::map<int, Moments>> ref;
  std::ifstream f(std::string(KALVO_SOURCE_DIR) + "/tests/zelmar/data/moments.txt");
  std::string line;
  while (std::getline(f, line)) {
    if (line.empty() || line[0] == '%') continue;
    std::istringstream in(line);
    std::string kind;
    int tt = 0;
    Moments m{};
    in >> kind >> tt >> m.centroid >> m.width;
    ref[kind][tt] = m;
  }
  return ref;
}

// The moments of a raw histogram: its values are the line's deviations on
// the diffractometer's 2theta scale.
Moments histogram(const std::string& text) {
  double n = 0, s1 = 0;
  std::vector<zrun::RawBin> bins = zrun::parseraw(text);
  for (const zrun::RawBin& b : bins) {
    n += static_cast<double>(b.count);
    s1 += b.dev * static_cast<double>(b.count);
  }
  const double c = s1 / n;
  double s2 = 0;
  for (const zrun::RawBin& b : bins) s2 += (b.dev - c) * (b.dev - c) * static_cast<double>(b.count);
  return {c, std::sqrt(s2 / n)};
}

void compare(const std::string& kind, const Keys& keys) {
  auto ref = reference();
  ASSERT_EQ(ref[kind].size(), 8u) << "fixture incomplete for " << kind;
  zrun::Workplace wp;
  std::vector<std::string> angles;
  int i = 1;
  for (const auto& [tt, m] : ref[kind]) {
    angles.push_back("zweiTheta[" + std::to_string(i) + "]=" + std::to_string(tt));
    angles.push_back("RAW[" + std::to_string(i) + "]=raw" + std::to_string(tt) + ".txt");
    ++i;
  }
  ktest::RunResult r = wp.run("zelmar", keys, angles);
  ASSERT_EQ(r.status, 0) << r.out;
  for (const auto& [tt, want] : ref[kind]) {
    SCOPED_TRACE(testing::Message() << kind << " at 2theta " << tt);
    Moments got = histogram(ktest::read_file(wp.file("raw" + std::to_string(tt) + ".txt")));
    // The axial shift passes through zero near 100 degrees: there the
    // comparison holds to a small part of the line width.
    EXPECT_NEAR(got.centroid, want.centroid,
                std::max(0.05 * std::fabs(want.centroid), 0.005 * want.width));
    EXPECT_NEAR(got.width, want.width, 0.03 * want.width);
  }
}

const Keys common = {{"LINTOR", "out"}, {"R", "200"},     {"FocusW", "0.1"}, {"HSlitR", "100"},
                     {"DetW", "0.2"},   {"EPSG", "0.02"}, {"SAVE", "N"}};

TEST(ZelmarMoments, AxialDivergenceThroughSollerCollimators) {
  Keys keys = common;
  keys.insert({{"FocusH", "10"},
               {"HSlitW", "0.002"},
               {"PColl", "0.04"},
               {"SColl", "0.04"},
               {"DetH", "15"},
               {"SamplH", "20"}});
  compare("axial", keys);
}

TEST(ZelmarMoments, FlatSpecimenInADivergentBeam) {
  Keys keys = common;
  keys.insert({{"FocusH", "0.01"},
               {"VSlitH", "0.01"},
               {"VSlitR", "50"},
               {"HSlitW", "1.745374"},
               {"DetH", "0.01"}});
  compare("flat", keys);
}

}  // namespace
