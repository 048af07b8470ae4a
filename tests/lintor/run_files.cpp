// The instrument-profile program's run: its exit statuses and messages, the
// name of the output file and the backup of an existing one, which keys it
// sees, which reflections get a block, and the polarisation per radiation.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <string>
#include <vector>

#include "lintorrun.hpp"

namespace {
using namespace model;

using lintorrun::Line;
using lintorrun::Workplace;

// A few points of a line at 2theta = 40 degrees (Cu): enough for a run to
// reach its standard and its output.
void smallscan(const Workplace& wp) {
  std::vector<double> tt, c;
  for (int k = 0; k < 40; ++k) {
    tt.push_back(39.8 + 0.01 * k);
    c.push_back(100 + 1000 * std::exp(-std::pow((tt.back() - 40) / 0.05, 2)));
  }
  lintorrun::write_scan(wp.file("s.xy"), tt, c);
}

// The standard of smallscan: its one reflection at 2theta = 40 degrees (Cu).
void onereflection(const Workplace& wp) {
  double l0 = 0;
  {
    lintorrun::Store st(wp.install.path());
    initlam("cu");
    l0 = ::l0;
  }
  lintorrun::write_par(wp.file("one.par"),
                       {lintorrun::peak(100, 2 * l0 * std::sin(20 * lintorrun::kPi / 180))});
}

// A profile file as written from the standard of onereflection: its title
// line, then the one block of the reflection.
bool titleandblock(const std::string& content, const std::string& title) {
  return content.compare(0, title.size(), title) == 0 &&
         content.find("THETA=", title.size()) == title.size();
}

// The mean reciprocal wavelength of Cu radiation, nm^-1.
double cu_l0(const Workplace& wp) {
  lintorrun::Store st(wp.install.path());
  initlam("cu");
  return ::l0;
}

TEST(Run, ExitStatusesAndMessages) {
  struct Case {
    const char* what;
    std::vector<std::string> statements;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {"no wavelength", {"STANDARDPAR=none"}, 24, ktest::message(-24)},
      {"no measured point", {"LAMBDA=cu", "STANDARDPAR=none"}, 23, ktest::message(-23)},
      {"standard missing",
       {"VAL[1]=s.xy", "LAMBDA=cu", "STANDARDPAR=absent"},
       10,
       ktest::message(-10, "absent.par")},
      {"no standard named", {"VAL[1]=s.xy", "LAMBDA=cu"}, 1, "(E) "},
      {"standard without PEAKZAHL",
       {"VAL[1]=s.xy", "LAMBDA=cu", "STANDARDPAR=bad.par"},
       107,
       ktest::message(-107, "bad.par", "PEAKZAHL: undefined variable")},
      {"standard without reflections",
       {"VAL[1]=s.xy", "LAMBDA=cu", "STANDARDPAR=empty"},
       110,
       ktest::message(-110, "empty.par")},
      {"output in a directory that does not exist",
       {"VAL[1]=s.xy", "LAMBDA=cu", "STANDARDPAR=one", "LINTOR=nowhere/inst"},
       148,
       ktest::message(-148)},
  };
  Workplace wp;
  smallscan(wp);
  onereflection(wp);
  lintorrun::write_par(wp.file("empty.par"), {});
  ktest::write_file(wp.file("bad.par"), "TITEL=x LAMBDA=cu\n2 1 4.2\n");
  for (const Case& c : cases) {
    ktest::RunResult r = wp.run(c.statements);
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.what << "\n" << r.out;
    EXPECT_FALSE(ktest::file_exists(wp.file("run.ger"))) << c.what;
  }
}

// With a standard of one reflection the title line and one block are
// written: what is checked here is where they go and what happens to the
// files already there. A profile file (.ger) is checked for its title line
// and the block behind it.
TEST(Run, OutputNameAndBackup) {
  struct File {
    const char* name;
    const char* content;  // null: absent
  };
  struct Case {
    const char* what;
    std::vector<std::string> statements;
    std::vector<File> before, after;
  };
  const Case cases[] = {
      {"the default name is the control file's, with extension ger",
       {},
       {},
       {{"run.ger", "\n"}, {"run.bak", nullptr}}},
      {"an existing file moves to the extension bak",
       {"LINTOR=inst.ger", "TITEL=new"},
       {{"inst.ger", "old\n"}, {"inst.bak", "older\n"}},
       {{"inst.ger", "TITEL=new\n"}, {"inst.bak", "old\n"}}},
      {"a bare name: a file of that name moves to bak, name.ger is replaced without a backup",
       {"LINTOR=inst"},
       {{"inst", "bare\n"}, {"inst.ger", "old\n"}, {"inst.bak", "older\n"}},
       {{"inst", nullptr}, {"inst.ger", "\n"}, {"inst.bak", "bare\n"}}},
      {"another extension is replaced: the fitting programs read <name>.ger",
       {"LINTOR=inst.dat"},
       {},
       {{"inst.ger", "\n"}, {"inst.dat", nullptr}}},
      {"a bare name without a file of that name: an old backup stays",
       {"LINTOR=inst"},
       {{"inst.bak", "kept\n"}, {"inst.ger", "old\n"}},
       {{"inst.ger", "\n"}, {"inst.bak", "kept\n"}}},
      {"with an extension and without an old file an old backup stays",
       {"LINTOR=inst.ger"},
       {{"inst.bak", "kept\n"}},
       {{"inst.ger", "\n"}, {"inst.bak", "kept\n"}}},
  };
  for (const Case& c : cases) {
    Workplace wp;
    smallscan(wp);
    onereflection(wp);
    for (const File& f : c.before) ktest::write_file(wp.file(f.name), f.content);
    std::vector<std::string> st{"VAL[1]=s.xy", "LAMBDA=cu", "STANDARDPAR=one"};
    st.insert(st.end(), c.statements.begin(), c.statements.end());
    ktest::RunResult r = wp.run(st);
    ASSERT_EQ(r.status, 0) << c.what << "\n" << r.out;
    for (const File& f : c.after) {
      if (f.content == nullptr) {
        EXPECT_FALSE(ktest::file_exists(wp.file(f.name))) << c.what << ": " << f.name;
      } else {
        ASSERT_TRUE(ktest::file_exists(wp.file(f.name))) << c.what << ": " << f.name;
        const std::string content = ktest::read_file(wp.file(f.name));
        const std::string name = f.name;
        if (name.size() > 4 && name.substr(name.size() - 4) == ".ger")
          EXPECT_TRUE(titleandblock(content, f.content)) << c.what << ": " << f.name << "\n"
                                                         << content;
        else
          EXPECT_EQ(content, f.content) << c.what << ": " << f.name;
      }
    }
  }
}

// A file the user may not write is not replaced, and nothing is moved.
TEST(Run, WriteProtectedOutputIsLeftAlone) {
  Workplace wp;
  smallscan(wp);
  onereflection(wp);
  ktest::write_file(wp.file("inst.ger"), "old\n");
  chmod(wp.file("inst.ger").c_str(), 0444);
  ktest::RunResult r = wp.run({"VAL[1]=s.xy", "LAMBDA=cu", "STANDARDPAR=one", "LINTOR=inst"});
  EXPECT_EQ(r.status, 148) << r.out;
  EXPECT_EQ(ktest::read_file(wp.file("inst.ger")), "old\n");
  EXPECT_FALSE(ktest::file_exists(wp.file("inst.bak")));
}

// After the standard is read only the run's own keys count: LINTOR and TITEL
// of the configuration file are not seen. EPSILON missing or not positive is
// reported and replaced.
TEST(Run, KeysOfTheRunAndEpsilon) {
  struct Case {
    const char* what;
    const char* cfg;
    std::vector<std::string> statements;
    bool warning;
  };
  const Case cases[] = {
      {"LINTOR and TITEL in the configuration",
       "RU=2\nEPSILON=0.02\nLINTOR=cfgname\nTITEL=cfgtitle\n",
       {},
       false},
      {"no EPSILON", "RU=2\n", {}, true},
      {"EPSILON=0", "RU=2\nEPSILON=0.02\n", {"EPSILON=0"}, true},
  };
  for (const Case& c : cases) {
    Workplace wp;
    ktest::write_file(wp.install.file("lintor.cfg"), c.cfg);
    smallscan(wp);
    onereflection(wp);
    std::vector<std::string> st{"VAL[1]=s.xy", "LAMBDA=cu", "STANDARDPAR=one"};
    st.insert(st.end(), c.statements.begin(), c.statements.end());
    ktest::RunResult r = wp.run(st);
    ASSERT_EQ(r.status, 0) << c.what << "\n" << r.out;
    EXPECT_TRUE(titleandblock(ktest::read_file(wp.file("run.ger")), "\n")) << c.what;
    EXPECT_FALSE(ktest::file_exists(wp.file("cfgname.ger"))) << c.what;
    EXPECT_EQ(r.out.find(ktest::message(213, 0.02)) != std::string::npos, c.warning)
        << c.what << "\n"
        << r.out;
  }
}

// Which reflections get a block: one with a line is fitted; one with no more
// points than background coefficients, and one without points, get none; all
// in the order of the standard's file.
TEST(Run, ReflectionsAndTheirBlocks) {
  Workplace wp;
  ktest::write_file(wp.file("truth.ger"),
                    "TITEL=t\nTHETA=10 N=1\n1 0 0.0006\nTHETA=40 N=1\n1 0 0.0008\n");
  const std::vector<Line> lines{{36, 20000}};
  std::vector<double> positions;
  std::vector<double> tt = lintorrun::windows(lines, 2.5, 0.02);
  std::vector<double> counts;
  {
    lintorrun::Store st(wp.install.path());
    counts = lintorrun::pattern(wp.file("truth"), lines, tt, 100, 0, 3, &positions);
  }
  // Two points near 2theta = 75.
  tt.push_back(75), counts.push_back(90);
  tt.push_back(75.02), counts.push_back(95);
  lintorrun::write_scan(wp.file("w.xy"), tt, counts);
  const double l0 = cu_l0(wp);
  auto at = [&](double twotheta) { return 2 * l0 * std::sin(twotheta * lintorrun::kPi / 360); };
  lintorrun::write_par(wp.file("w.par"),
                       {lintorrun::peak(100, at(75)), lintorrun::peak(100, positions[0]),
                        lintorrun::peak(100, at(85))});
  ktest::RunResult r = wp.run({"VAL[1]=w.xy", "LAMBDA=cu", "STANDARDPAR=w", "LINTOR=w"});
  ASSERT_EQ(r.status, 0) << r.out;
  lintorrun::GerFile f = lintorrun::parse_ger(ktest::read_file(wp.file("w.ger")));
  ASSERT_TRUE(f.wellformed);
  ASSERT_EQ(f.blocks.size(), 1u);
  EXPECT_NEAR(2 * f.blocks[0].theta, 36, 1e-5);
  EXPECT_GE(f.blocks[0].n, 1);
  // "THETA=%-10.6f N=%-2d": the angle padded to ten places.
  EXPECT_EQ(f.blocks[0].line.find(" N="), 16u) << f.blocks[0].line;
  EXPECT_EQ(lintorrun::console_lines(r.out).size(), 1u) << r.out;
}

// A reflection whose width cannot be measured at its top (two points, or a
// flat window: "q0_negative"), or whose window is narrower than one position
// of the search grid ("mtest_zero"), stops the run as an internal error with
// status 250: no profile file is written and an old one stays as it was.
TEST(Run, ReflectionWithoutAWidthStopsTheRun) {
  struct Case {
    const char* what;
    std::vector<double> tt, counts;
    std::vector<std::string> statements;
    const char* label;
  };
  std::vector<double> flat_tt, flat_counts;
  for (int k = 0; k <= 200; ++k) flat_tt.push_back(48 + 0.02 * k), flat_counts.push_back(100);
  const Case cases[] = {
      {"two points", {50.00, 50.01}, {90, 95}, {"RU==1"}, "q0_negative"},
      {"a flat window", flat_tt, flat_counts, {}, "q0_negative"},
      {"a window narrower than one grid position",
       {49.99, 50.00, 50.01},
       {1, 100, 1},
       {"RU==1", "EPSILON==100"},
       "mtest_zero"},
  };
  for (const Case& c : cases) {
    Workplace wp;
    lintorrun::write_scan(wp.file("w.xy"), c.tt, c.counts);
    const double l0 = cu_l0(wp);
    lintorrun::write_par(wp.file("w.par"),
                         {lintorrun::peak(100, 2 * l0 * std::sin(50 * lintorrun::kPi / 360))});
    ktest::write_file(wp.file("w.ger"), "old\n");
    std::vector<std::string> st{"VAL[1]=w.xy", "LAMBDA=cu", "STANDARDPAR=w", "LINTOR=w.ger"};
    st.insert(st.end(), c.statements.begin(), c.statements.end());
    ktest::RunResult r = wp.run(st);
    EXPECT_EQ(r.status, 250) << c.what << "\n" << r.out;
    EXPECT_NE(r.out.find(std::string("*** internal error labeled ") + c.label + " in file lintor"),
              std::string::npos)
        << c.what << "\n"
        << r.out;
    EXPECT_EQ(ktest::read_file(wp.file("w.ger")), "old\n") << c.what;
  }
}

// The integrated weight (GSUM) carries the polarisation factor: X-rays from
// a tube are taken as unpolarised unless POL says otherwise, synchrotron
// radiation is not corrected unless POL is given. At 2theta = 90 degrees the
// factor of an unpolarised beam is 1/2.
TEST(Run, PolarisationByRadiation) {
  Workplace wp;
  std::vector<double> tt, c;
  for (double x = 89; x <= 91.0001; x += 0.005) {
    tt.push_back(x);
    c.push_back(50 + 20000 / std::pow(1 + std::pow((x - 90) / 0.03, 2), 2));
  }
  lintorrun::write_scan(wp.file("p.xy"), tt, c);
  const double l0 = 1 / 0.15406;
  const double P = 2 * l0 * std::sin(45 * lintorrun::kPi / 180);
  lintorrun::write_par(wp.file("p.par"), {lintorrun::peak(1, P)}, "LAMBDA=0.15406");
  auto gsum = [&](const std::vector<std::string>& radiation) {
    std::vector<std::string> st{"VAL[1]=p.xy", "STANDARDPAR=p", "GSUM=J"};
    st.insert(st.end(), radiation.begin(), radiation.end());
    ktest::RunResult r = wp.run(st);
    EXPECT_EQ(r.status, 0) << r.out;
    lintorrun::GerFile f = lintorrun::parse_ger(ktest::read_file(wp.file("run.ger")));
    EXPECT_EQ(f.blocks.size(), 1u) << r.out;
    return f.blocks.empty() ? 0.0 : f.blocks[0].gsum;
  };
  const double synchrotron = gsum({"SYNCHROTRON=0.15406"});
  ASSERT_GT(synchrotron, 0);
  EXPECT_NEAR(gsum({"LAMBDA=0.15406"}) / synchrotron, 2, 0.05);
  EXPECT_NEAR(gsum({"SYNCHROTRON=0.15406", "POL=1"}) / synchrotron, 2, 0.05);
  EXPECT_NEAR(gsum({"LAMBDA=0.15406", "POL=0"}) / synchrotron, 2, 0.05);
}

}  // namespace
