// The plot preparation, run as a program: the data and command files of the
// model road and of the plot without a fit, the part chosen by SELECT and the
// precedence of the range and title keys, the tic steps, the curve styles,
// the failures, and a pattern split by the pattern splitter plotted part by
// part. gnuplot renders the command files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "plotrun.hpp"
#include "splitrun.hpp"
#include "testsupport.hpp"

namespace {

using plotrun::Commands;
using plotrun::kPlotFiles;
using plotrun::Peak;
using plotrun::Rows;
using splitrun::Pattern;

// 2theta 40..60 in steps of 0.02, background 100, one group at 50 degrees.
Pattern onegroup() {
  Pattern p;
  p.from = 40;
  p.points = 1001;
  p.peaks = {{500, 25}};
  return p;
}

// The header of a fit over 40..60 degrees with an instrument line of one
// width (LINTOR=inst: the narrow instrument-profile file).
std::string header(const std::string& extra = "", const std::string& lintor = "0.0005") {
  return "TITEL=quartz WMIN=40.000 WMAX=60.000 LINTOR=" + lintor +
         " Q=1.0 LAMBDA=CU POL=1.00000 EPS1=0.0" + std::string(extra.empty() ? "" : " ") + extra;
}

// A peak near 50 degrees, roughly the fixture's group.
Peak grouppeak() { return {3, 500, plotrun::position(50), 0.01}; }

class Vistal : public plotrun::PlotTest {
 protected:
  void SetUp() override {
    plotrun::PlotTest::SetUp();
    wp.write("s.xy", onegroup().text());
  }
};

// The model road: the points of the plot range with their sigma, the
// difference to the model at each of them, the model and the background on
// the points and on 1001 grid angles in ascending order, and a command file
// that draws all four within ranges that hold them.
TEST_F(Vistal, AFitIsDrawnWithPointsModelBackgroundAndDifference) {
  par("fit.par", header("WMIN2=42.00000 WMAX2=58.00000", "inst"), {grouppeak()}, {90, 110});
  ktest::RunResult r = vistal("VAL[1]=s.xy\nLAMBDA=CU\nOUTPUT=fit\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find(ktest::message(47)), std::string::npos) << r.out;

  // Points 100..900 (42..58 degrees), the one at the upper limit included.
  Rows punkte = plotrun::rows(out("punkte.dat"));
  ASSERT_EQ(punkte.size(), 801u);
  EXPECT_NEAR(punkte.front()[0], 42, 1e-5);
  EXPECT_NEAR(punkte.back()[0], 58, 1e-5);
  for (const auto& p : punkte) {
    ASSERT_EQ(p.size(), 3u);
    EXPECT_GT(p[2], 0);
  }

  Rows kurve = plotrun::rows(out("kurve.dat"));
  Rows bg = plotrun::rows(out("bg.dat"));
  ASSERT_EQ(kurve.size(), 1001u + 801u);
  ASSERT_EQ(bg.size(), kurve.size());
  EXPECT_NEAR(kurve.front()[0], 42, 1e-6);
  EXPECT_NEAR(kurve.back()[0], 58, 1e-5);
  double top = 0, topx = 0;
  for (size_t i = 0; i < kurve.size(); ++i) {
    ASSERT_EQ(kurve[i].size(), 2u);
    EXPECT_EQ(bg[i][0], kurve[i][0]);
    // The background rises from the first to the second coefficient; the
    // model holds it and the peak.
    if (i > 0) {
      EXPECT_GE(kurve[i][0], kurve[i - 1][0]);
      EXPECT_GE(bg[i][1], bg[i - 1][1] - 1e-3);
    }
    EXPECT_GE(kurve[i][1], bg[i][1] - 1e-3);
    if (kurve[i][1] - bg[i][1] > top) {
      top = kurve[i][1] - bg[i][1];
      topx = kurve[i][0];
    }
  }
  EXPECT_NEAR(topx, 50, 0.05);
  EXPECT_GT(bg.front()[1], 80);
  EXPECT_LT(bg.back()[1], 120);

  // The difference at each point: intensity minus the model there (the
  // model's record of that point, whose angle is kept in single precision).
  Rows error = plotrun::rows(out("error.dat"));
  ASSERT_EQ(error.size(), punkte.size());
  for (size_t i = 0; i < error.size(); ++i) {
    ASSERT_EQ(error[i][0], punkte[i][0]);
    auto near = std::min_element(kurve.begin(), kurve.end(), [&](const auto& a, const auto& b) {
      return std::fabs(a[0] - error[i][0]) < std::fabs(b[0] - error[i][0]);
    });
    ASSERT_LT(std::fabs((*near)[0] - error[i][0]), 2e-5) << error[i][0];
    EXPECT_NEAR(error[i][1], punkte[i][1] - (*near)[1], 2e-3 + 1e-5 * (*near)[1]);
  }

  Commands c = commands();
  ASSERT_EQ(c.lines.size(), 4u);
  EXPECT_EQ(c.lines[0], "set xtics 42.000000,2.000000,58.000000");
  EXPECT_EQ(c.lines[2], "set title 'quartz' noenhanced");
  EXPECT_EQ(c.lower, 42);
  EXPECT_EQ(c.upper, 58);
  EXPECT_EQ(
      c.curves,
      "'kurve.dat' with lines lt 1 , 'bg.dat' with lines lt 2 , 'punkte.dat' with dots lt 0 , "
      "'error.dat' with lines lt 3");
  // The intensity axis holds every point with its sigma, every difference
  // and the model, on whole tic steps.
  EXPECT_EQ(c.yfrom, c.ymin);
  EXPECT_EQ(c.yto, c.ymax);
  double lo = 1e30, hi = -1e30;
  for (const auto& p : punkte) lo = std::min(lo, p[1] - p[2]), hi = std::max(hi, p[1] + p[2]);
  for (const auto& e : error) lo = std::min(lo, e[1]);
  for (const auto& k : kurve) lo = std::min(lo, k[1]), hi = std::max(hi, k[1]);
  EXPECT_LE(c.ymin, lo + 1e-3);
  EXPECT_GE(c.ymax, hi - 1e-3);
  EXPECT_LT(c.ymax - hi, c.ystep + 1e-6);
  EXPECT_LT(lo - c.ymin, c.ystep + 1e-6);
}

// Without a peak file only the measured points are drawn over their own
// range: "error.dat" is still created (empty), no model files; a peak file
// next to the control file is the fit without any key.
TEST_F(Vistal, WithoutAFitOnlyThePointsAreDrawn) {
  ktest::RunResult r = vistal("VAL[1]=s.xy\nLAMBDA=CU\nTITEL=raw data\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(plotrun::rows(out("punkte.dat")).size(), 1001u);
  EXPECT_TRUE(written("error.dat"));
  EXPECT_EQ(out("error.dat"), "");
  EXPECT_FALSE(written("kurve.dat"));
  EXPECT_FALSE(written("bg.dat"));
  Commands c = commands();
  EXPECT_NEAR(c.lower, 40, 1e-5);
  EXPECT_NEAR(c.upper, 60, 1e-5);
  EXPECT_EQ(c.curves, "'punkte.dat' with dots lt 0");
  EXPECT_EQ(c.title, "raw data");

  removeplots();
  ASSERT_EQ(vistal("VAL[1]=s.xy\nLAMBDA=CU\n", {"ERRORLINE=n"}).status, 0);
  EXPECT_FALSE(written("error.dat"));
  EXPECT_FALSE(commands().hastitle);

  // run.par beside run.sav: the fit of this control file.
  removeplots();
  par("run.par", header(), {grouppeak()}, {100});
  ASSERT_EQ(vistal("VAL[1]=s.xy\nLAMBDA=CU\n").status, 0);
  EXPECT_TRUE(written("kurve.dat"));
  EXPECT_EQ(commands().curves.substr(0, 27), "'kurve.dat' with lines lt 1");
}

// SELECT chooses the scans VAL[SELECT,i] and the fit OUTPUT[SELECT]; SELECT
// 0 the scans VAL[i] and the fit OUTPUT.
TEST_F(Vistal, SelectChoosesTheScansAndTheFitOfAPart) {
  Pattern p = onegroup();
  wp.write("a.xy", p.text(0, 500));
  wp.write("b.xy", p.text(501, 1000));
  par("whole.par", header("TITEL=whole"), {grouppeak()}, {100});
  par("part.par", "TITEL=part WMIN=50.020 WMAX=60.000 LINTOR=0.0005 Q=1 LAMBDA=CU", {}, {100});
  std::string control =
      "VAL[1]=a.xy\nVAL[2]=b.xy\nVAL[2,1]=b.xy\nLAMBDA=CU\nOUTPUT=whole\nOUTPUT[2]=part\n";
  struct Case {
    int select;
    size_t points;
    const char* title;
  };
  for (const Case& k : {Case{0, 1001, "whole"}, Case{2, 500, "part"}}) {
    SCOPED_TRACE(k.select);
    ASSERT_EQ(vistal(control, {"SELECT=" + std::to_string(k.select)}).status, 0);
    EXPECT_EQ(plotrun::rows(out("punkte.dat")).size(), k.points);
    EXPECT_EQ(commands().title, k.title);
  }
}

// The plot range: the fit's first defined of WMIN2, WMIN, WMIN2[SELECT],
// WMIN[SELECT] (the control file's keys in reach below the fit's), narrowed
// by the control file's first defined of the same keys; the title: TITEL,
// else TITEL[SELECT]. A fit over 50..60 degrees for part 2.
TEST_F(Vistal, RangeAndTitleKeysTakeTheFirstDefined) {
  par("part.par", "WMIN=50.000 WMAX=60.000 LINTOR=0.0005 Q=1 LAMBDA=CU", {}, {100});
  struct Case {
    std::string keys;
    double lower;
    const char* title;  // null: no title line
  };
  const Case cases[] = {
      {"", 50, nullptr},
      {"WMIN[2]==52\nTITEL[2]=part\n", 52, "part"},
      {"WMIN[2]==52\nWMIN2[2]==53\nTITEL=all\nTITEL[2]=part\n", 53, "all"},
      {"WMIN[2]==48\n", 50, nullptr},
      {"WMIN==51\nWMIN2[2]==53\n", 51, nullptr},
      {"WMIN2==54\nWMIN==51\n", 54, nullptr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.keys);
    ASSERT_EQ(vistal("VAL[2,1]=s.xy\nLAMBDA=CU\nOUTPUT[2]=part\n" + k.keys, {"SELECT=2"}).status,
              0);
    Commands c = commands();
    EXPECT_EQ(c.lower, k.lower);
    EXPECT_EQ(c.upper, 60);
    EXPECT_EQ(c.hastitle, k.title != nullptr);
    if (k.title != nullptr) {
      EXPECT_EQ(c.title, k.title);
    }
  }
}

// Tic steps of the angle axis by the width of the range (the comparisons are
// strict), with the first and last tic on whole steps inside the range; the
// intensity axis of a curve that is 0 everywhere gets a span around 0.
TEST_F(Vistal, AngleTicsFollowTheWidthOfTheRange) {
  struct Case {
    double lower, upper;
    const char* xtics;
  };
  const Case cases[] = {
      {30.3, 130.8, "set xtics 40.000000,20.000000,120.000000"},
      {30, 130, "set xtics 30.000000,10.000000,130.000000"},
      {30, 70, "set xtics 30.000000,5.000000,70.000000"},
      {30, 50, "set xtics 30.000000,2.000000,50.000000"},
      {30, 40, "set xtics 30.000000,1.000000,40.000000"},
      {30, 34, "set xtics 30.000000,0.500000,34.000000"},
      {30, 32, "set xtics 30.000000,0.200000,32.000000"},
      {30.05, 31.05, "set xtics 30.100000,0.100000,31.000000"},
      {30, 30.4, "set xtics 30.000000,0.050000,30.350000"},
      {30, 30.2, "set xtics 30.000000,0.020000,30.200000"},
  };
  for (const Case& k : cases) {
    char head[200];
    std::snprintf(head, sizeof head, "WMIN=%.3f WMAX=%.3f LINTOR=0.0005 Q=1 LAMBDA=CU", k.lower,
                  k.upper);
    SCOPED_TRACE(head);
    par("flat.par", head, {}, {});
    ASSERT_EQ(vistal("OUTPUT=flat\n").status, 0);
    Commands c = commands();
    EXPECT_EQ(c.lines[0], k.xtics);
    EXPECT_EQ(c.lines[1], "set ytics -1.000000,0.200000,1.000000");
    EXPECT_EQ(c.curves, "'kurve.dat' with lines lt 1 , 'bg.dat' with lines lt 2 ");
  }
}

// Tic steps of the intensity axis: a decade t below the span r, the step t
// for r > 5t, t/2 for r > 2t, else t/5, the limits moved out onto it. A flat
// or reversed range gets a span around its middle.
TEST_F(Vistal, IntensityTicsFollowTheSpan) {
  par("flat.par", "WMIN=40 WMAX=60 LINTOR=0.0005 Q=1 LAMBDA=CU", {}, {});
  struct Case {
    const char* limits;
    const char* ytics;
  };
  const Case cases[] = {
      {"INTMIN=0 INTMAX=350", "set ytics 0.000000,50.000000,350.000000"},
      {"INTMIN=0 INTMAX=600", "set ytics 0.000000,100.000000,600.000000"},
      {"INTMIN=-3 INTMAX=347", "set ytics -50.000000,50.000000,350.000000"},
      {"INTMIN=0.001 INTMAX=0.0025", "set ytics 0.001000,0.000200,0.002600"},
      {"INTMIN=5 INTMAX=5", "set ytics 4.400000,0.200000,5.600000"},
      {"INTMIN=7 INTMAX=3", "set ytics 4.400000,0.200000,5.600000"},
      {"INTMIN=-8 INTMAX=-8", "set ytics -8.800000,0.200000,-7.200000"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.limits);
    std::string lo = k.limits, hi = lo.substr(lo.find(' ') + 1);
    lo = lo.substr(0, lo.find(' '));
    ASSERT_EQ(vistal("OUTPUT=flat\n", {lo, hi}).status, 0);
    Commands c = commands();
    EXPECT_EQ(c.lines[1], k.ytics);
    EXPECT_EQ(c.ymin, c.yfrom);
    EXPECT_EQ(c.ymax, c.yto);
  }
}

// The styles of the curves: error bars win over a point symbol; without the
// background or the difference their files are not written and not drawn.
TEST_F(Vistal, CurveStylesFollowTheKeys) {
  par("fit.par", header(), {grouppeak()}, {100});
  struct Case {
    std::vector<std::string> keys;
    const char* curves;
    bool bg, error;
  };
  const Case cases[] = {
      {{"ERRORBARS=Ja", "Symbol=7"},
       "'kurve.dat' with lines lt 1 , 'bg.dat' with lines lt 2 , 'punkte.dat' with errorbars lt 1 "
       "pt "
       "4 , 'error.dat' with lines lt 3",
       true,
       true},
      {{"Symbol=7", "BACKGROUND=nein"},
       "'kurve.dat' with lines lt 1 , 'punkte.dat' with points lt 0 pt 7 , 'error.dat' with lines "
       "lt 3",
       false,
       true},
      {{"ERRORLINE=No", "ERRORBARS=no"},
       "'kurve.dat' with lines lt 1 , 'bg.dat' with lines lt 2 , 'punkte.dat' with dots lt 0",
       true,
       false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.curves);
    removeplots();
    ASSERT_EQ(vistal("VAL[1]=s.xy\nLAMBDA=CU\nOUTPUT=fit\n", k.keys).status, 0);
    EXPECT_EQ(commands().curves, k.curves);
    EXPECT_EQ(written("bg.dat"), k.bg);
    EXPECT_EQ(written("error.dat"), k.error);
  }
}

// A title goes into gnuplot's quotes with every quote doubled and control
// characters dropped, and is drawn as written: a file name's "_" or a "^"
// are no markup (noenhanced). The fit's own title has its blanks escaped
// (as the peak-fitting program writes it); a text that is no such escape
// stays as it is.
TEST_F(Vistal, TitlesAreQuotedForGnuplot) {
  // Control characters can only come from the control file: the command line
  // refuses them.
  ASSERT_EQ(vistal("VAL[1]=s.xy\nLAMBDA=CU\nTITEL=Bragg's 'law'\t\x01ok\n").status, 0);
  EXPECT_EQ(commands().lines[2], "set title 'Bragg''s ''law''ok' noenhanced");
  ASSERT_EQ(vistal("VAL[1]=s.xy\nLAMBDA=CU\n", {"TITEL=LaB6_Jan2018 a^2 {x}@"}).status, 0);
  EXPECT_EQ(commands().lines[2], "set title 'LaB6_Jan2018 a^2 {x}@' noenhanced");

  struct Case {
    const char* written;
    const char* title;
  };
  for (const Case& k : {Case{"part?!2?!of?!3??", "part 2 of 3?"}, Case{"why?not", "why?not"}}) {
    SCOPED_TRACE(k.written);
    par("fit.par", header(std::string("TITEL=") + k.written), {grouppeak()}, {100});
    ktest::RunResult r = vistal("VAL[1]=s.xy\nLAMBDA=CU\nOUTPUT=fit\nTITEL=control\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(commands().title, k.title);
  }
}

// The fit's polarisation holds for the model although reading the scans of
// an X-ray tube sets the factor 1: the peak scales with (1 + P cos^2 2theta).
TEST_F(Vistal, TheModelKeepsThePolarisationOfTheFit) {
  double peak[2];
  for (int k = 0; k < 2; ++k) {
    par("fit.par", k == 0 ? header() : header("POL=0.00000"), {grouppeak()}, {100});
    ASSERT_EQ(vistal("VAL[1]=s.xy\nLAMBDA=CU\nOUTPUT=fit\n").status, 0);
    Rows kurve = plotrun::rows(out("kurve.dat"));
    auto top = std::max_element(kurve.begin(), kurve.end(),
                                [](const auto& a, const auto& b) { return a[1] < b[1]; });
    EXPECT_NEAR((*top)[0], 50, 0.05);
    peak[k] = (*top)[1] - 100;
  }
  double c = std::cos(50 * splitrun::kPi / 180);
  EXPECT_NEAR(peak[1] / peak[0], 1 / (1 + c * c), 2e-4);
}

// A point without weight (an intensity that is not a number) is no
// measurement: it is not plotted and leaves the axes alone.
TEST_F(Vistal, APointWithoutWeightIsNotPlotted) {
  std::string scan = onegroup().text();
  size_t at = scan.find("45.0000 ");
  ASSERT_NE(at, std::string::npos);
  scan.replace(at, scan.find('\n', at) - at, "45.0000 nan 1.0");
  wp.write("s.xy", scan);
  par("fit.par", header(), {grouppeak()}, {100});
  ASSERT_EQ(vistal("VAL[1]=s.xy\nLAMBDA=CU\nOUTPUT=fit\n").status, 0);
  EXPECT_EQ(plotrun::rows(out("punkte.dat")).size(), 1000u);
  for (const char* f : kPlotFiles) {
    std::string t = out(f);
    EXPECT_EQ(t.find("nan"), std::string::npos) << f;
    EXPECT_EQ(t.find("inf"), std::string::npos) << f;
  }
  Commands c = commands();
  EXPECT_TRUE(std::isfinite(c.ymin) && std::isfinite(c.ymax) && std::isfinite(c.ystep));
}

// A text or GSAS scan names no wavelength: its reader takes the radiation
// keys in reach. The fit's header names the wavelength the peaks were fitted
// with, and that serves every reading of the scans, also where the control
// file names none; the control file written back does not get it.
TEST_F(Vistal, TheFitsWavelengthServesScansThatNameNone) {
  std::string gsa = "one group\nBANK 1 1001 201 CONST 4000.00 2.00 0 0 ESD\n";
  const Pattern p = onegroup();
  for (int i = 0; i < p.points; ++i) {
    char pair[40];
    std::snprintf(pair, sizeof pair, "%8.2f%8.3f", p.y(i), std::sqrt(p.y(i)));
    gsa += pair;
    if (i % 5 == 4 || i == p.points - 1) gsa += "\n";
  }
  wp.write("s.gsa", gsa);
  par("fit.par", header(), {grouppeak()}, {100});
  for (const char* scan : {"s.xy", "s.gsa"}) {
    SCOPED_TRACE(scan);
    ASSERT_EQ(vistal(std::string("VAL[1]=") + scan + "\nLAMBDA=CU\nOUTPUT=fit\n").status, 0);
    const std::string points = out("punkte.dat"), curve = out("kurve.dat");
    EXPECT_EQ(plotrun::rows(points).size(), 1001u);

    wp.write("run.sav", std::string("VAL[1]=") + scan + "\nOUTPUT=fit\n");
    ktest::RunResult r = wp.run("vistal", {});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(out("punkte.dat"), points);
    EXPECT_EQ(out("kurve.dat"), curve);
    EXPECT_EQ(ktest::read_file(wp.file("run.sav")).find("LAMBDA"), std::string::npos);
  }
}

// Where neither the scans nor any key name a radiation (here the only scan
// cannot be read), the fit is drawn for a copper tube; the control file
// written back does not get the wavelength.
TEST_F(Vistal, WithoutAnyRadiationTheFitIsDrawnForACopperTube) {
  par("fit.par", "WMIN=40.000 WMAX=60.000 LINTOR=0.0005 Q=1.0 EPS1=0.0", {grouppeak()}, {100});
  wp.write("run.sav", "VAL[1]=gone\nOUTPUT=fit\n");
  ktest::RunResult r = wp.run("vistal", {});
  // The model is drawn all the same; the scan that cannot be opened ends
  // the run with status 92.
  ASSERT_EQ(r.status, 92) << r.out;
  EXPECT_NE(r.out.find(ktest::message(35, "gone.val")), std::string::npos) << r.out;
  Rows kurve = plotrun::rows(out("kurve.dat"));
  ASSERT_EQ(kurve.size(), 1001u);
  auto top = std::max_element(kurve.begin(), kurve.end(),
                              [](const auto& a, const auto& b) { return a[1] < b[1]; });
  EXPECT_NEAR((*top)[0], 50, 0.05);
  EXPECT_GT((*top)[1], 200);
  EXPECT_EQ(ktest::read_file(wp.file("run.sav")), "VAL[1]=gone\nOUTPUT=fit\n");
}

// Without a usable instrument profile the model is drawn without
// instrument function, after message 47: LINTOR missing, or naming no file
// and giving no width. A LINTOR that gives a width is an instrument.
TEST_F(Vistal, WithoutInstrumentProfileTheModelIsDrawnAfterAWarning) {
  struct Case {
    const char* lintor;
    bool warned;
  };
  for (const Case& k :
       {Case{"", true}, Case{"LINTOR=nofile", true}, Case{"LINTOR=0.0005", false}}) {
    SCOPED_TRACE(k.lintor);
    par("fit.par", std::string("WMIN=40 WMAX=60 Q=1 LAMBDA=CU ") + k.lintor, {grouppeak()}, {100});
    ktest::RunResult r = vistal("VAL[1]=s.xy\nLAMBDA=CU\nOUTPUT=fit\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find(ktest::message(47)) != std::string::npos, k.warned) << r.out;
    Rows kurve = plotrun::rows(out("kurve.dat"));
    auto top = std::max_element(kurve.begin(), kurve.end(),
                                [](const auto& a, const auto& b) { return a[1] < b[1]; });
    EXPECT_NEAR((*top)[0], 50, 0.05);
    EXPECT_GT((*top)[1], 200);
  }
}

// Failures end the run before any plot file is written: no fit named for the
// part (57), a named fit that cannot be opened (58), a fit without its angle
// window (59), nothing to plot (166), a fit without PEAKZAHL, and a text scan
// (which names no wavelength) where neither the control file nor the fit
// names a radiation (the store's error, status 1).
TEST_F(Vistal, FailuresEndTheRunWithTheirStatus) {
  par("nowindow.par", "WMAX=60 LINTOR=0.0005 Q=1 LAMBDA=CU", {}, {});
  wp.write("nopeaks.par", "WMIN=40 WMAX=60 LAMBDA=CU\n0 ");
  par("plain.par", "WMIN=40 WMAX=60 LINTOR=0.0005 Q=1", {grouppeak()}, {100});
  struct Case {
    std::string control;
    std::vector<std::string> keys;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {"VAL[3,1]=s.xy\nLAMBDA=CU\nOUTPUT[2]=fit\n", {"SELECT=3"}, 57, ktest::message(-57, 3)},
      {"VAL[1]=s.xy\nLAMBDA=CU\nOUTPUT=missing\n", {}, 58, ktest::message(-58, "missing.par")},
      {"VAL[2,1]=s.xy\nLAMBDA=CU\nOUTPUT[2]=gone.dat\n",
       {"SELECT=2"},
       58,
       ktest::message(-58, "gone.dat")},
      {"VAL[1]=s.xy\nLAMBDA=CU\nOUTPUT=nowindow\n", {}, 59, ktest::message(-59)},
      {"VAL[1]=s.xy\nLAMBDA=CU\nWMIN==70\nWMAX==80\n", {}, 166, ktest::message(-166)},
      {"VAL[1]=missing.xy\nLAMBDA=CU\n", {}, 166, ktest::message(-166)},
      {"VAL[1]=s.xy\nLAMBDA=CU\nOUTPUT=nopeaks\n", {}, 1, "(E) PEAKZAHL"},
      {"VAL[1]=s.xy\n", {}, 1, "(E) LAMBDA"},
      {"VAL[1]=s.xy\nOUTPUT=plain\n", {}, 1, "(E) LAMBDA"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.control);
    removeplots();
    ktest::RunResult r = vistal(k.control, k.keys);
    ASSERT_EQ(r.status, k.status) << r.out;
    EXPECT_NE(r.out.find(k.message), std::string::npos) << r.out;
    for (const char* f : kPlotFiles) EXPECT_FALSE(written(f)) << f;
  }
}

// A pattern split by the pattern splitter, plotted part by part against the
// fit of each part. The measured pattern is the model itself (drawn first
// by the plot preparation over the whole range), so every part's difference
// curve lies at zero within the rounding of the written numbers.
TEST_F(Vistal, SplitPatternIsPlottedPartByPart) {
  splitrun::Saved split = splitmodel();
  ASSERT_EQ(split.parts(), 3);
  // What the peak-fitting program would write for each part: the fit
  // window and the peaks; the title comes from the part's key.
  std::string control = ktest::read_file(wp.file("run.sav"));
  for (int k = 1; k <= 3; ++k) {
    SCOPED_TRACE(k);
    std::string n = std::to_string(k);
    char window[200];
    std::snprintf(window, sizeof window, "WMIN=%.3f WMAX=%.3f WMIN2=%.5f WMAX2=%.5f",
                  split.number("WMIN[" + n + "]"), split.number("WMAX[" + n + "]"),
                  split.number("WMIN2[" + n + "]"), split.number("WMAX2[" + n + "]"));
    par(split.text("OUTPUT[" + n + "]") + ".par",
        std::string(window) + " LINTOR=inst Q=1 LAMBDA=CU POL=1.00000 EPS1=0.0", modelpeaks(),
        {100});
    removeplots();
    ktest::RunResult r = vistal(control, {"SELECT=" + n, "Symbol=6"});
    ASSERT_EQ(r.status, 0) << r.out;
    Commands c = commands();
    EXPECT_NEAR(c.lower, split.number("WMIN2[" + n + "]"), 1e-3);
    EXPECT_NEAR(c.upper, split.number("WMAX2[" + n + "]"), 1e-3);
    EXPECT_EQ(c.title, "part " + n + " of the pattern");
    Rows punkte = plotrun::rows(out("punkte.dat"));
    Rows error = plotrun::rows(out("error.dat"));
    ASSERT_GT(punkte.size(), 100u);
    ASSERT_EQ(error.size(), punkte.size());
    for (size_t i = 0; i < error.size(); ++i)
      EXPECT_LT(std::fabs(error[i][1]), 1e-3 * punkte[i][1] + 2e-3) << punkte[i][0];
    EXPECT_EQ(
        c.curves,
        "'kurve.dat' with lines lt 1 , 'bg.dat' with lines lt 2 , 'punkte.dat' with points lt 0 "
        "pt 6 , 'error.dat' with lines lt 3");
  }
}

}  // namespace
