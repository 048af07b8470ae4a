// The three programs in a row, as a crystallographer runs them: the pattern
// splitter cuts a pattern into parts, the peak-fitting program fits every
// part and writes its peak file, and the plot preparation draws each part
// with its fit, which gnuplot renders. A fit with a measured background curve
// is drawn with that curve.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "kalvorun.hpp"
#include "plotrun.hpp"
#include "splitrun.hpp"
#include "testsupport.hpp"

namespace {

using plotrun::Rows;

class FittedParts : public plotrun::PlotTest {};

// Three parts of a pattern of three lines, fitted part by part: each plot
// spans its part's inner range under the part's title, the fitted model
// peaks where the measured line does (within one step of the scan) and
// follows every measured point within its standard deviation, and the
// background lies under it.
TEST_F(FittedParts, SplitFitAndPlotEachPart) {
  splitrun::Saved split = splitmodel();
  ASSERT_EQ(split.parts(), 3);
  ktest::RunResult r = wp.run("kalvo", {});
  ASSERT_EQ(r.status, 0) << r.out;
  std::string control = ktest::read_file(wp.file("run.sav"));

  for (int k = 1; k <= 3; ++k) {
    SCOPED_TRACE(k);
    std::string n = std::to_string(k);
    ASSERT_TRUE(ktest::file_exists(wp.file("part" + n + ".par")));
    removeplots();
    r = vistal(control, {"SELECT=" + n, "Symbol=6"});
    ASSERT_EQ(r.status, 0) << r.out;
    plotrun::Commands c = commands();
    EXPECT_NEAR(c.lower, split.number("WMIN2[" + n + "]"), 1e-3);
    EXPECT_NEAR(c.upper, split.number("WMAX2[" + n + "]"), 1e-3);
    EXPECT_EQ(c.title, "part " + n + " of the pattern");

    Rows kurve = plotrun::rows(out("kurve.dat"));
    Rows bg = plotrun::rows(out("bg.dat"));
    ASSERT_EQ(bg.size(), kurve.size());
    size_t top = 0;
    for (size_t i = 0; i < kurve.size(); ++i) {
      EXPECT_GE(kurve[i][1], bg[i][1] - 1e-3);
      if (kurve[i][1] - bg[i][1] > kurve[top][1] - bg[top][1]) top = i;
    }
    Rows punkte = plotrun::rows(out("punkte.dat"));
    auto highest = std::max_element(punkte.begin(), punkte.end(),
                                    [](const auto& a, const auto& b) { return a[1] < b[1]; });
    EXPECT_NEAR(kurve[top][0], (*highest)[0], 0.061);
    Rows error = plotrun::rows(out("error.dat"));
    ASSERT_GT(punkte.size(), 100u);
    ASSERT_EQ(error.size(), punkte.size());
    for (size_t i = 0; i < error.size(); ++i)
      EXPECT_LT(std::fabs(error[i][1]), punkte[i][2]) << punkte[i][0];
    EXPECT_EQ(
        c.curves,
        "'kurve.dat' with lines lt 1 , 'bg.dat' with lines lt 2 , 'punkte.dat' with points lt 0 "
        "pt 6 , 'error.dat' with lines lt 3");
  }
}

// A fit with a measured background curve, scaled (UNT) or added as it is
// (UNTC): the plot draws the background that was fitted, curve included,
// and the difference stays within the noise everywhere, also under the
// curve's hump.
TEST_F(FittedParts, TheFittedBackgroundCurveIsDrawn) {
  auto hump = [](double tt) { return 500 * std::exp(-std::pow((tt - 45) / 8, 2)); };
  wp.write("synth.xy", kalvotest::synthscan({{30, 120, 0}, {45, 250, 0.02}, {60, 120, 0}}, 20, 70,
                                            0.05, 300, 0, 4711, hump));
  wp.write("hump.xy", kalvotest::curvescan(20, 70, 0.05, hump));
  for (const char* key : {"UNT", "UNTC"}) {
    SCOPED_TRACE(key);
    const bool scaled = key[3] == 0;
    wp.write("run.sav", std::string("VAL[1,1]=synth.xy\nNEUTRONS=0.15\nLINTOR=0.002\n") + key +
                            "=hump.xy\nRU=" + (scaled ? "2" : "1") + "\n");
    ktest::RunResult r = wp.run("kalvo", {"SAVE=N"});
    ASSERT_EQ(r.status, 0) << r.out;
    removeplots();
    r = vistal("VAL[1]=synth.xy\nNEUTRONS=0.15\nOUTPUT=synth\n");
    ASSERT_EQ(r.status, 0) << r.out;

    // The background at a point of the curve's top and at the ends.
    Rows bg = plotrun::rows(out("bg.dat"));
    auto at = [&](double tt) {
      return (*std::min_element(bg.begin(), bg.end(), [&](const auto& a, const auto& b) {
        return std::fabs(a[0] - tt) < std::fabs(b[0] - tt);
      }))[1];
    };
    EXPECT_NEAR(at(45) - at(20), hump(45) - hump(20), 0.05 * hump(45));
    EXPECT_NEAR(at(70), 300 + hump(70), 15);
    Rows punkte = plotrun::rows(out("punkte.dat"));
    Rows error = plotrun::rows(out("error.dat"));
    ASSERT_EQ(error.size(), punkte.size());
    ASSERT_EQ(punkte.size(), 1001u);
    for (size_t i = 0; i < error.size(); ++i)
      EXPECT_LT(std::fabs(error[i][1]), 5 * punkte[i][2]) << punkte[i][0];
  }
}

}  // namespace
