// The peak-fitting run end to end: the peak-parameter file as written and
// read back, the keys written into the control file, the restart point and
// its resumption, SAVE=N, output names, start files with the refinement
// program's items, and the runs without points or without parameters.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "kalvorun.hpp"
#include "model/parfile.hpp"

namespace {

using namespace core;
using kalvotest::ParText;
using kalvotest::TruePeak;
using kalvotest::Workplace;

// One sharp peak at 30 degrees on a flat background.
std::string onepeak(uint32_t seed) {
  return kalvotest::synthscan({{30, 120, 0}}, 25, 35, 0.05, 300, 0, seed);
}

const char* const kSynth = "NEUTRONS=0.15\nLINTOR=0.002\n";

bool digits(const std::string& s, size_t from, size_t count) {
  if (s.size() < from + count) return false;
  for (size_t k = from; k < from + count; ++k)
    if (s[k] < '0' || s[k] > '9') return false;
  return true;
}

// An item as "%.<decimals>f" writes it (not negative).
bool fixed(const std::string& s, size_t decimals) {
  size_t dot = s.find('.');
  return dot != std::string::npos && dot > 0 && digits(s, 0, dot) &&
         s.size() == dot + 1 + decimals && digits(s, dot + 1, decimals);
}

// An item as "%14.6E" writes it, without its padding.
bool exponent(const std::string& s) {
  size_t k = s[0] == '-' ? 1 : 0;
  return s.size() == k + 12 && digits(s, k, 1) && s[k + 1] == '.' && digits(s, k + 2, 6) &&
         s[k + 8] == 'E' && (s[k + 9] == '+' || s[k + 9] == '-') && digits(s, k + 10, 2);
}

// A line of "%14.6E " items: every item right-aligned in 14 characters and
// followed by one blank.
bool exponentrow(const std::string& line, size_t count) {
  if (line.size() != 15 * count) return false;
  for (size_t k = 0; k < count; ++k) {
    const std::string field = line.substr(15 * k, 15);
    size_t start = field.find_first_not_of(' ');
    if (start == std::string::npos || field.back() != ' ' ||
        !exponent(field.substr(start, 14 - start)))
      return false;
  }
  return true;
}

TEST(KalvoRun, TwoIndicesWriteTheirFilesAndKeys) {
  Workplace wp;
  wp.put("a.xy", onepeak(1));
  wp.put("b.xy", onepeak(2));
  wp.put("run.sav",
         std::string(kSynth) + "VAL[1,1]=a.xy\nVAL[2,1]=b.xy\nTITEL[1]=first (scan\nEPS4==0\n");
  ktest::RunResult r = wp.run();
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(ktest::message(3, 1, 201)), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(ktest::message(3, 2, 201)), std::string::npos) << r.out;

  for (const char* name : {"a.par", "b.par"}) {
    SCOPED_TRACE(name);
    const std::string text = wp.get(name);
    ParText p = kalvotest::readpar(text);
    // The title is one item (blanks escaped, the lone bracket replaced);
    // EPS1 and EPS2 come from kalvo.cfg.
    const std::string title = name[0] == 'a' ? "first?!<scan" : "b.par";
    const std::string head =
        "PEAKZAHL=1 TITEL=" + title +
        " WMIN=25.000 WMAX=35.000 WMIN2=25.00000 WMAX2=35.00000 LINTOR=0.002 Q=";
    // A number key is written as its value, without the blank that pads it.
    const std::string tail = " NEUTRONS=0.15 EPS1=0 EPS2=0 EPS4=0.0000000000000000E+00";
    ASSERT_GT(p.headerline.size(), head.size() + tail.size()) << p.headerline;
    EXPECT_EQ(p.headerline.substr(0, head.size()), head);
    EXPECT_EQ(p.headerline.substr(p.headerline.size() - tail.size()), tail);
    EXPECT_TRUE(fixed(p.header["Q"], 6)) << p.headerline;
    ASSERT_EQ(p.peaks.size(), 1u);
    // "2 %14.6E %10.7f" or "3 %14.6E %10.7f %.7f", then GSUM.
    const std::string& line = p.peaks[0].line;
    const int type = p.peaks[0].type;
    ASSERT_TRUE(type == 2 || type == 3) << line;
    // The same values printed again with the writer's formats give the line.
    char expect[120];
    const std::vector<double>& v = p.peaks[0].par;
    if (type == 2)
      std::snprintf(expect, sizeof expect, "2 %14.6E %10.7f GSUM=1.00000", v[0], v[1]);
    else
      std::snprintf(expect, sizeof expect, "3 %14.6E %10.7f %.7f GSUM=1.00000", v[0], v[1], v[2]);
    EXPECT_EQ(line, expect);
    EXPECT_EQ(p.peaks[0].items, std::vector<std::string>{"GSUM=1.00000"}) << line;
    // "%d " and "%14.6E " per coefficient.
    const std::string count = std::to_string(p.ru) + " ";
    EXPECT_EQ(p.bgline.substr(0, count.size()), count);
    EXPECT_TRUE(exponentrow(p.bgline.substr(count.size()), static_cast<size_t>(p.ru))) << p.bgline;
    EXPECT_EQ(static_cast<int>(p.bg.size()), p.ru);
    // The inverse normal matrix: one row per parameter, the lower triangle.
    const int np = type + p.ru;
    ASSERT_EQ(static_cast<int>(p.matrix.size()), np);
    for (int row = 0; row < np; ++row) {
      EXPECT_EQ(static_cast<int>(p.matrix[row].size()), row + 1);
      EXPECT_GT(p.matrix[row][row], 0);
      EXPECT_TRUE(exponentrow(p.lines[p.lines.size() - np + row], static_cast<size_t>(row + 1)))
          << p.lines[p.lines.size() - np + row];
    }
    EXPECT_TRUE(p.endsline);
    EXPECT_NEAR(kalvotest::twotheta(p.peaks[0].par[1]), 30, 0.01);

    // The shared reader takes the file apart the same way.
    totalfree();
    newDATAlist();
    setrekart(2);
    model::ParFile pf;
    ASSERT_TRUE(pf.open(wp.file(name)));
    ASSERT_EQ(pf.header(), 1);
    model::ParPeak pk;
    ASSERT_TRUE(pf.peak(pk));
    EXPECT_EQ(pk.type, p.peaks[0].type);
    EXPECT_EQ(pk.position, p.peaks[0].par[1]);
    std::vector<float> bg;
    EXPECT_EQ(pf.background(&bg), p.ru);
    char lintor[100];
    GetStrVar("LINTOR", 99, lintor);
    EXPECT_STREQ(lintor, "0.002");
    pf.discardscope();
    totalfree();
  }
  // The control file keeps the names used and loses the restart point; the
  // calibration constants were copied into it with their comment.
  const std::string control = wp.get("run.sav");
  EXPECT_NE(control.find("OUTPUT[1]=a.par\n"), std::string::npos) << control;
  EXPECT_NE(control.find("OUTPUT[2]=b.par\n"), std::string::npos) << control;
  EXPECT_EQ(control.find("STARTINDEX"), std::string::npos) << control;
  EXPECT_NE(control.find("% Diese Eichkonstanten wurden aus kalvo.cfg kopiert\nEPS1=0\nEPS2=0\n"),
            std::string::npos)
      << control;
}

// An index that cannot be written ends the run with its restart point in
// the control file; the next run resumes there and removes it at its end.
// With SAVE=N the control file is never written.
TEST(KalvoRun, RestartPointResumeAndSaveN) {
  for (bool saveoff : {false, true}) {
    SCOPED_TRACE(saveoff ? "SAVE=N" : "SAVE=J");
    Workplace wp;
    wp.put("a.xy", onepeak(1));
    wp.put("b.xy", onepeak(2));
    const std::string control = std::string(kSynth) +
                                "VAL[1,1]=a.xy\nVAL[2,1]=b.xy\nOUTPUT[2]=missing/b.par\n" +
                                (saveoff ? "SAVE=N\n" : "");
    wp.put("run.sav", control);
    ktest::RunResult r = wp.run();
    ASSERT_EQ(r.status, 150) << r.out << r.err;
    EXPECT_NE(r.out.find(ktest::message(-150)), std::string::npos) << r.out;
    ASSERT_TRUE(ktest::file_exists(wp.file("a.par")));
    const std::string saved = wp.get("run.sav");
    if (saveoff) {
      EXPECT_EQ(saved, control);
      continue;
    }
    EXPECT_NE(saved.find("STARTINDEX==2.0000000000000000E+00"), std::string::npos) << saved;
    EXPECT_NE(saved.find("OUTPUT[1]=a.par"), std::string::npos) << saved;

    const std::string first = wp.get("a.par");
    r = wp.run({"OUTPUT[2]=b.par"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find(ktest::message(3, 1, 201)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(ktest::message(3, 2, 201)), std::string::npos) << r.out;
    EXPECT_EQ(wp.get("a.par"), first);
    EXPECT_TRUE(ktest::file_exists(wp.file("b.par")));
    EXPECT_EQ(wp.get("run.sav").find("STARTINDEX"), std::string::npos) << wp.get("run.sav");
  }
}

// Two indices of one scan would write one file: the second gets a name of
// its own, which is written back.
TEST(KalvoRun, TwoIndicesOfOneOutputNameWriteTwoFiles) {
  Workplace wp;
  wp.put("a.xy", onepeak(1));
  wp.put("run.sav", std::string(kSynth) + "VAL[1,1]=a.xy\nVAL[2,1]=a.xy\nWMAX[2]=33\n");
  ktest::RunResult r = wp.run();
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(ktest::message(239, "a.par", 2, "a_2.par")), std::string::npos) << r.out;
  EXPECT_NE(kalvotest::readpar(wp.get("a.par")).headerline.find("WMAX=35.000"), std::string::npos);
  EXPECT_NE(kalvotest::readpar(wp.get("a_2.par")).headerline.find("WMAX=33.000"),
            std::string::npos);
  EXPECT_NE(wp.get("run.sav").find("OUTPUT[2]=a_2.par\n"), std::string::npos) << wp.get("run.sav");
}

// A start file as the refinement program writes it: the items behind the
// parameters go to the matched fitted peak, GSUM is computed anew, a peak
// outside the fit range is left out, and negative background coefficients
// start at 0 (the fit keeps every parameter non-negative).
TEST(KalvoRun, StartFileItemsGoToTheMatchedPeak) {
  Workplace wp;
  wp.put("a.xy", onepeak(3));
  char start[400];
  std::snprintf(start, sizeof start,
                "PEAKZAHL=2 TITEL=refined LAMBDA=CU\n"
                "3  1.100000E+02  %.7f 0.001 GSUM=0.50000 PHASE=Test H=6 1 0 0\n"
                "2  5.000000E+01  %.7f GSUM=0.5 PHASE=Test H=8 1 1 1\n"
                "2 -1.000 -2.000\n",
                kalvotest::position(30), kalvotest::position(40));
  wp.put("start.par", start);
  wp.put("run.sav", std::string(kSynth) + "VAL[1,1]=a.xy\nSTARTPARAM=start\n");
  ktest::RunResult r = wp.run({"TEST=D"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(ktest::message(5, "start.par")), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("qmin"), std::string::npos) << r.out;
  ParText p = kalvotest::readpar(wp.get("a.par"));
  ASSERT_EQ(p.peaks.size(), 1u) << wp.get("a.par");
  EXPECT_EQ(p.peaks[0].items,
            (std::vector<std::string>{"GSUM=1.00000", "PHASE=Test", "H=6", "1", "0", "0"}));
  EXPECT_EQ(p.ru, 2);
  EXPECT_NEAR(kalvotest::twotheta(p.peaks[0].par[1]), 30, 0.01);
  EXPECT_LT(std::atof(p.header["Q"].c_str()), 400);
}

// The start files in the order they are read: the previous output of the
// index when no STARTPARAM key is given, which on a first run does not exist
// yet; with STARTPARAM[1] and STARTPARAM[2] the second first. A file that
// cannot be opened gives no start peaks and the fit goes on without them;
// a start file the user named that cannot be opened ends the run with
// status 92, the missing output of a first run does not.
TEST(KalvoRun, StartFilesThatCannotBeOpened) {
  Workplace wp;
  wp.put("a.xy", onepeak(3));
  char start[200];
  std::snprintf(start, sizeof start, "PEAKZAHL=1 TITEL=t LAMBDA=CU\n2 1.1E+02 %.7f\n0",
                kalvotest::position(30));
  wp.put("start.par", start);
  struct Case {
    const char* what;
    std::string keys;
    std::vector<std::string> messages;
    int status;
  };
  const std::vector<Case> cases = {
      {"first run", "", {ktest::message(4, "a.par")}, 0},
      {"second of two missing",
       "STARTPARAM[1]=start\nSTARTPARAM[2]=absent\n",
       {ktest::message(4, "absent.par"), ktest::message(5, "start.par")},
       92},
      {"first of two missing",
       "STARTPARAM[1]=absent\nSTARTPARAM[2]=start\n",
       {ktest::message(5, "start.par"), ktest::message(4, "absent.par")},
       92},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(wp.file("a.par").c_str());
    wp.put("run.sav", std::string(kSynth) + "VAL[1,1]=a.xy\n" + c.keys);
    ktest::RunResult r = wp.run({"TEST=D", "SAVE=N"});
    ASSERT_EQ(r.status, c.status) << r.out << r.err;
    size_t at = 0;
    for (const std::string& m : c.messages) {
      at = r.out.find(m, at);
      ASSERT_NE(at, std::string::npos) << m << r.out;
    }
    ASSERT_TRUE(ktest::file_exists(wp.file("a.par")));
  }
}

// An index whose scans give no point is passed over (a scan that cannot be
// opened ends the run with status 92 after the other indices); a run
// without any parameter (no peak, no background) still writes its file.
TEST(KalvoRun, IndexWithoutPointsAndRunWithoutParameters) {
  Workplace wp;
  wp.put("a.xy", onepeak(4));
  wp.put("run.sav", "NEUTRONS=0.15\nVAL[1,1]=absent.xy\nVAL[2,1]=a.xy\nRU=0\n");
  ktest::RunResult r = wp.run({"TEST=D"});
  ASSERT_EQ(r.status, 92) << r.out << r.err;
  EXPECT_NE(r.out.find(ktest::message(237)), std::string::npos) << r.out;
  EXPECT_FALSE(ktest::file_exists(wp.file("absent.par")));
  const std::string text = wp.get("a.par");
  ParText p = kalvotest::readpar(text);
  EXPECT_EQ(p.header["PEAKZAHL"], "0");
  EXPECT_EQ(p.bgline, "0 ");
  EXPECT_TRUE(p.matrix.empty());
  // Q is the sum of the squared weighted intensities (weight 1/sqrt(c + 1),
  // intensity c + 1 for the counts c of a text scan).
  double q = 0;
  std::istringstream in(wp.get("a.xy"));
  double tt, c;
  while (in >> tt >> c) q += c > 0.5 ? c + 1 : c * c / (c + 1);
  EXPECT_NEAR(std::atof(p.header["Q"].c_str()), q, 1e-5 * q);
}

// The automatic background order averages the log weighted intensity over
// the points that have one: a single point of zero counts leaves it alone.
TEST(KalvoRun, ZeroCountPointLeavesTheBackgroundOrderAlone) {
  Workplace wp;
  std::string scan = onepeak(5);
  const size_t at = scan.find("26.000 ");
  ASSERT_NE(at, std::string::npos);
  scan.replace(at, scan.find('\n', at) - at, "26.000 0");
  wp.put("a.xy", scan);
  wp.put("run.sav", std::string(kSynth) + "VAL[1,1]=a.xy\nTEST=D\n");
  ktest::RunResult r = wp.run();
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  // The order from the formula, over the points with counts.
  double sum = 0, smin = 1, smax = 0;
  int n = 0;
  std::istringstream in(scan);
  double tt, c;
  while (in >> tt >> c) {
    const double s = std::sin(tt * kalvotest::kPi / 360);
    smin = std::fmin(smin, s);
    smax = std::fmax(smax, s);
    if (c <= 0) continue;
    sum += std::log((c + 1) * (c + 1) / std::sqrt(c + 1));
    ++n;
  }
  const double order = sum / n * std::log(smax / smin) + 0.7;
  ASSERT_GT(order, 2);
  EXPECT_EQ(kalvotest::readpar(wp.get("a.par")).ru, static_cast<int>(std::ceil(order))) << order;
}

}  // namespace
