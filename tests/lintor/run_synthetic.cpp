// The instrument-profile program on synthetic standards: scans made with the
// fitting programs' line-profile model from a known instrument profile, under
// Cu K-alpha with counting noise, give an instrument-profile file that the
// instrument function loads and whose line shape at every reflection matches
// the known one; a clean single line needs one or two components, also
// without background coefficients.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "lintorrun.hpp"

namespace {
using namespace model;

using lintorrun::Comparison;
using lintorrun::Line;

constexpr double kPi = 3.141592653589793;

double bragg(double position) { return std::asin(position / (2 * l0)) * 180 / kPi; }

TEST(Synthetic, StandardGivesTheKnownProfile) {
  lintorrun::Workplace wp;
  std::vector<double> positions;
  {
    lintorrun::Store st(wp.install.path());
    positions =
        lintorrun::write_standard(wp.work, lintorrun::windows(lintorrun::kStandard, 2.5, 0.01));
  }
  // Beside the three reflections: one beyond sin(theta) = 1 and one record
  // of an unknown kind, which the program passes over.
  std::vector<std::string> records;
  for (double p : positions) records.push_back(lintorrun::peak(1000, p));
  records.insert(records.begin() + 1, lintorrun::peak(1000, 14.0));
  records.push_back("7 1000 5.0 1 2 3 4 5");
  lintorrun::write_par(wp.file("std.par"), records);

  ktest::RunResult r = wp.run({"VAL[1]=std.xy", "LAMBDA=cu", "STANDARDPAR=std", "LINTOR=fit",
                               "TITEL=synthetic standard? (Cu", "GSUM=J"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::vector<std::string> console = lintorrun::console_lines(r.out);
  ASSERT_EQ(console.size(), 3u) << r.out;
  // Each line printed again from its values reproduces it: the layout is
  // the program's.
  for (const std::string& line : console) {
    double tt = 0, epsg = 0, gsum = 0;
    int n = 0;
    ASSERT_EQ(
        std::sscanf(line.c_str(), "zweiTheta=%lf N=%d EPSG=%lf%% GSUM=%lf", &tt, &n, &epsg, &gsum),
        4)
        << line;
    char again[200];
    std::snprintf(again, sizeof again, "zweiTheta=%-8.4f N=%-2d EPSG=%6.3f%% GSUM=%.5e", tt, n,
                  epsg, gsum);
    EXPECT_EQ(line, again);
    EXPECT_GT(epsg, 0);
    EXPECT_LT(epsg, 100);
  }

  lintorrun::GerFile f = lintorrun::parse_ger(ktest::read_file(wp.file("fit.ger")));
  ASSERT_TRUE(f.wellformed);
  // The title stays one item of the first record: blanks and question marks
  // escaped, the open bracket closed.
  EXPECT_EQ(f.header,
            "TITEL=synthetic?!standard??"
            "?!(Cu)");
  ASSERT_EQ(f.blocks.size(), 3u);

  lintorrun::Store st(wp.install.path());
  initlam("cu");
  ger1(wp.file("fit").c_str());
  int loaded = 0;
  for (const ProfileRecord* p = gerrecords(); p != nullptr; p = p->next) ++loaded;
  ASSERT_EQ(loaded, 3);
  for (size_t k = 0; k < 3; ++k) {
    const lintorrun::Block& b = f.blocks[k];
    const double theta = bragg(positions[k]);
    EXPECT_NEAR(b.theta, theta, 1e-6);
    char head[200];
    std::snprintf(head, sizeof head, "THETA=%-10.6f N=%-2d GSUM=%.5e", b.theta, b.n, b.gsum);
    EXPECT_EQ(b.line, head);
    ASSERT_GE(b.n, 1);
    double sum = 0;
    for (const lintorrun::Component& c : b.comps) sum += c.g;
    EXPECT_NEAR(sum, 1, 2e-5 * b.n);
    EXPECT_GT(b.gsum, 0);
    // The instrument function of the written file against the known one at
    // the reflection's angle.
    const std::vector<lintorrun::Component> truth = lintorrun::profile(wp.file("truth"), theta);
    const std::vector<lintorrun::Component> fit = lintorrun::profile(wp.file("fit"), theta);
    const Comparison c = lintorrun::compare(fit, truth, 0.015);
    EXPECT_LT(c.misfit, 0.015) << "2theta " << 2 * theta;
    EXPECT_LT(std::fabs(c.shift), 0.01 * c.fwhm) << "2theta " << 2 * theta;
    EXPECT_NEAR(c.widths, 1, 0.015) << "2theta " << 2 * theta;
  }
}

// One component at every angle: the search ends with one or two, with two
// background coefficients and with none (the first fit then has no
// parameters and is taken as it is).
TEST(Synthetic, CleanSingleLineNeedsOneOrTwoComponents) {
  for (const char* ru : {"RU=2", "RU=0"}) {
    lintorrun::Workplace wp;
    ktest::write_file(wp.file("truth.ger"),
                      "TITEL=one\nTHETA=15 N=1\n1 0.0001 0.0006\nTHETA=30 N=1\n1 0.0001 0.0008\n");
    const std::vector<Line> lines{{45, 50000}};
    std::vector<double> positions;
    const bool nobackground = ru[3] == '0';
    {
      lintorrun::Store st(wp.install.path());
      const std::vector<double> tt = lintorrun::windows(lines, 2.5, 0.01);
      lintorrun::write_scan(wp.file("one.xy"), tt,
                            lintorrun::pattern(wp.file("truth"), lines, tt, nobackground ? 0 : 100,
                                               0, 11, &positions));
    }
    lintorrun::write_par(wp.file("one.par"), {lintorrun::peak(500, positions[0])});
    ktest::RunResult r = wp.run({"VAL[1]=one.xy", "LAMBDA=cu", "STANDARDPAR=one.par", ru});
    ASSERT_EQ(r.status, 0) << r.out;
    lintorrun::GerFile f = lintorrun::parse_ger(ktest::read_file(wp.file("run.ger")));
    ASSERT_TRUE(f.wellformed) << ru;
    EXPECT_EQ(f.header, "");
    ASSERT_EQ(f.blocks.size(), 1u) << ru;
    EXPECT_GE(f.blocks[0].n, 1) << ru;
    EXPECT_LE(f.blocks[0].n, 2) << ru;
    EXPECT_FALSE(f.blocks[0].hasgsum);

    lintorrun::Store st(wp.install.path());
    initlam("cu");
    const double theta = bragg(positions[0]);
    const Comparison c = lintorrun::compare(lintorrun::profile(wp.file("run"), theta),
                                            lintorrun::profile(wp.file("truth"), theta), 0.01);
    EXPECT_LT(c.misfit, 0.015) << ru;
    EXPECT_LT(std::fabs(c.shift), 0.01 * c.fwhm) << ru;
  }
}

}  // namespace
