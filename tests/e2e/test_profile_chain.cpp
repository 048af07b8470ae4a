// Instrument profiles between the programs, as a crystallographer uses them:
// lintor measures the profile from a standard, and kalvo, given that
// profile, finds the true line positions of another pattern of the same
// instrument; a peak file that kalvo fitted to the standard serves lintor
// as the standard's reflections. The patterns are made with the fitting
// programs' line-profile model from a known, asymmetric instrument profile
// under Cu K-alpha with counting noise.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "kalvorun.hpp"
#include "lintorrun.hpp"
#include "testsupport.hpp"

namespace {

using lintorrun::Line;

constexpr double kPi = 3.141592653589793;

// The synthetic standard's known profile puts a line's centroid about 0.01
// degrees 2theta off its position: a symmetric profile would put the fitted
// positions off by that. Two lines of a sample between the standard's
// reflections.
using lintorrun::kStandard;
const std::vector<Line> kSample{{33.5, 20000}, {57.3, 12000}};

// 2theta in degrees of a position in reciprocal d under Cu K-alpha.
double twotheta(double position) { return std::asin(position / (2 * model::l0)) * 360 / kPi; }

class ProfileChain : public ::testing::Test {
 protected:
  ktest::TempInstall install{{"err.msg", "lintor.cfg", "kalvo.cfg", "cu.lam"}};
  ktest::TempDir work;
  std::vector<double> standard;  // the reflections' positions (reciprocal d)
  std::vector<double> sample;

  void SetUp() override {
    lintorrun::Store st(install.path());
    std::vector<double> tt;
    for (int k = 0; k <= 5200; ++k) tt.push_back(20 + 0.01 * k);
    standard = lintorrun::write_standard(work, tt);
    tt.clear();
    for (int k = 0; k <= 3000; ++k) tt.push_back(30 + 0.01 * k);
    lintorrun::write_scan(
        work.file("sample.xy"), tt,
        lintorrun::pattern(work.file("truth"), kSample, tt, 300, 0.5, 13, &sample));
  }

  ktest::RunResult run(const std::string& program, const std::vector<std::string>& args) const {
    return ktest::run_program(ktest::program_path(program), args, work.path(),
                              {{"KALVO", install.path()}});
  }

  // kalvo on one scan with the given instrument profile, from start peaks of
  // two parameters 0.03 degrees above the true positions, without model
  // changes; gives the fitted peak file.
  kalvotest::ParText fit(const std::string& scan, const std::vector<double>& positions,
                         const std::string& lintor, const std::string& output) const {
    std::string start = "PEAKZAHL=" + std::to_string(positions.size()) + "\n";
    for (double p : positions) {
      const double shifted = 2 * model::l0 * std::sin((twotheta(p) + 0.03) * kPi / 360);
      char line[100];
      std::snprintf(line, sizeof line, "2 %14.6E %10.7f\n", 200.0, shifted);
      start += line;
    }
    ktest::write_file(work.file(output + ".par"), start);
    ktest::write_file(work.file("fit.sav"), "VAL[1,1]=" + scan + "\nLAMBDA=cu\nRU=2\nTEST=0\n" +
                                                "LINTOR=" + lintor + "\nOUTPUT[1]=" + output +
                                                "\nSAVE=N\n");
    ktest::RunResult r = run("kalvo", {"fit"});
    EXPECT_EQ(r.status, 0) << r.out;
    return kalvotest::readpar(ktest::read_file(work.file(output + ".par")));
  }

  // lintor on the standard's scan with the standard's peak file.
  lintorrun::GerFile measure(const std::string& standardpar, const std::string& output) const {
    ktest::RunResult r =
        run("lintor", {"lin", "VAL[1]=std.xy", "LAMBDA=cu", "STANDARDPAR=" + standardpar,
                       "LINTOR=" + output, "SAVE=N"});
    EXPECT_EQ(r.status, 0) << r.out;
    return lintorrun::parse_ger(ktest::read_file(work.file(output + ".ger")));
  }

  // The largest distance in degrees 2theta between fitted and true positions.
  static double worst(const kalvotest::ParText& par, const std::vector<double>& truth) {
    EXPECT_EQ(par.peaks.size(), truth.size());
    double off = 0;
    for (size_t k = 0; k < par.peaks.size() && k < truth.size(); ++k)
      off = std::fmax(off, std::fabs(twotheta(par.peaks[k].par.at(1)) - twotheta(truth[k])));
    return off;
  }
};

// The profile that lintor measured on the standard puts kalvo's lines of the
// sample where they are, as close as the known profile itself does, while a
// symmetric profile of one component misses them by the centroid's shift.
TEST_F(ProfileChain, MeasuredProfileGivesTheTruePositions) {
  std::vector<std::string> records;
  for (double p : standard) records.push_back(lintorrun::peak(1000, p));
  lintorrun::write_par(work.file("exact.par"), records);
  const lintorrun::GerFile measured = measure("exact", "measured");
  ASSERT_TRUE(measured.wellformed);
  ASSERT_EQ(measured.blocks.size(), kStandard.size());

  lintorrun::Store st(install.path());
  model::initlam("cu");
  const double known = worst(fit("sample.xy", sample, "truth", "known"), sample);
  const double found = worst(fit("sample.xy", sample, "measured", "found"), sample);
  const double symmetric = worst(fit("sample.xy", sample, "0.0007", "symmetric"), sample);
  EXPECT_LT(known, 1e-3);
  EXPECT_LT(found, 1e-3);
  EXPECT_GT(symmetric, 5e-3);
}

// A peak file that kalvo fitted to the standard, header, background record
// and matrix included, is read by lintor as the standard's reflections: the
// profile it gives matches the known one at every reflection.
TEST_F(ProfileChain, FittedPeakFileIsTheStandard) {
  lintorrun::Store st(install.path());
  model::initlam("cu");
  const kalvotest::ParText par = fit("std.xy", standard, "truth", "fitted");
  EXPECT_LT(worst(par, standard), 1e-3);
  EXPECT_FALSE(par.matrix.empty());

  const lintorrun::GerFile f = measure("fitted", "fromfit");
  ASSERT_TRUE(f.wellformed);
  ASSERT_EQ(f.blocks.size(), kStandard.size());
  for (size_t k = 0; k < f.blocks.size(); ++k) {
    // Each block at the reflection's angle as kalvo fitted it.
    const double theta = f.blocks[k].theta;
    SCOPED_TRACE(2 * theta);
    EXPECT_NEAR(theta, twotheta(standard[k]) / 2, 5e-4);
    const lintorrun::Comparison c =
        lintorrun::compare(lintorrun::profile(work.file("fromfit"), theta),
                           lintorrun::profile(work.file("truth"), theta), 0.015);
    EXPECT_LT(c.misfit, 0.015);
    EXPECT_LT(std::fabs(c.shift), 0.01 * c.fwhm);
    // The line at 24 degrees comes out 1.4 to 1.6 % narrow, depending on
    // changes of the patterns far inside the refits' tolerance (the shapes
    // of the instrument function on a grid of angles, 0.02 % of the peak):
    // two fits in a row, kalvo's and lintor's, each within its own
    // tolerance.
    EXPECT_NEAR(c.widths, 1, 0.02);
  }
}

}  // namespace
