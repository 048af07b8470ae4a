// Values a run cannot mean, refused by the built programs before anything is
// written: keys that are no number or not finite, angles outside 0..180
// degrees, empty or reversed windows, sizes of 0 or below, a polarisation
// factor outside 0..1, a negative wavelength, peak files with impossible
// records, a standard without a usable reflection, a phase without atoms,
// formulas whose brackets do not pair up, and files that cannot be read.
// Each case ends with the status of its message, the message names the key
// (or file) and the value, and neither the working directory nor the
// installation directory changes by a byte.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "testsupport.hpp"

namespace {

namespace fs = std::filesystem;

// Every file under a directory with its contents, by relative path.
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file())
      files[fs::relative(e.path(), dir).string()] = ktest::read_file(e.path().string());
  return files;
}

// The text of message n with its arguments up to the first "@" argument:
// for messages whose end carries the store's reason.
template <class... A>
std::string head(int n, A... args) {
  std::string t = ktest::message(n, args...);
  return t.substr(0, t.find('@'));
}

// A copper scan of silicon, 2theta 20 .. 80 degrees in steps of 0.02, as
// text columns: a background of 100 counts with lines at the five silicon
// reflections of the range.
std::string siliconscan() {
  std::string text;
  char line[64];
  for (int i = 0; i <= 3000; ++i) {
    double tt = 20 + 0.02 * i, y = 100;
    for (double p : {28.443, 47.303, 56.123, 69.131, 76.377})
      y += 5000 * std::exp(-std::pow((tt - p) / 0.05, 2));
    std::snprintf(line, sizeof line, "%.2f %.0f\n", tt, y);
    text += line;
  }
  return text;
}

// The silicon reflections (111), (220), (311) at 1/d in nm^-1, as the
// peak-parameter file of a standard; the first peak line is line 2.
std::string standard(const std::string& header = "PEAKZAHL=3",
                     const std::string& first = "2 1.0E+02 3.1891") {
  return header + " TITEL=si LAMBDA=CU\n" + first + "\n2 1.0E+02 5.2080\n2 1.0E+02 6.1069\n0\n";
}

// A fitted part for the plot: one peak at (111) and a flat background.
std::string fit(const std::string& extra) {
  return "PEAKZAHL=1 TITEL=fit WMIN=20.000 WMAX=40.000 LAMBDA=CU" + extra +
         "\n3 1.0E+03 3.1891 0.003\n1 100\n";
}

// A diffractometer in reflection that traces fast.
const std::vector<std::string> kBeamPath = {"LINTOR=bp",  "R=200",    "FocusH=8", "FocusW=0.04",
                                            "HSlitR=100", "HSlitW=1", "DetW=0.1", "PColl=0.04",
                                            "SColl=0.04", "DetH=15",  "EPSG=0.05"};

struct Case {
  std::string program;
  std::vector<std::string> control;  // lines of run.sav
  std::vector<std::string> args;     // statements on the command line
  std::map<std::string, std::string> files;
  int status;
  std::string message;  // printed on standard output
};

std::vector<std::string> with(std::vector<std::string> lines,
                              const std::vector<std::string>& more) {
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

void check(const Case& c) {
  ktest::TempInstall install;
  ktest::TempDir work;
  ktest::write_file(work.file("si.xy"), siliconscan());
  ktest::write_file(work.file("inst.ger"), "TITEL=test\nTHETA=25 N=1\n1 0 0.0006\n");
  ktest::write_file(work.file("si.str"),
                    "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM GEWICHT=SPHAR0\n"
                    "A=5.4310 B1=0.001 B2=0.000001\nE=Si Wyckoff=a TDS=0.5\n");
  ktest::write_file(work.file("std.par"), standard());
  // A name that begins with "@" is a file of the installation.
  for (const auto& [name, text] : c.files)
    ktest::write_file(name[0] == '@' ? install.file(name.substr(1)) : work.file(name), text);
  std::string control;
  for (const std::string& line : c.control) control += line + "\n";
  ktest::write_file(work.file("run.sav"), control);

  const auto workbefore = snapshot(work.path());
  const auto installbefore = snapshot(install.path());
  std::vector<std::string> args{"run"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  ktest::RunResult r = ktest::run_program(ktest::program_path(c.program), args, work.path(),
                                          {{"KALVO", install.path()}});
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  // "{inst}" in the message stands for the installation directory.
  std::string expected = c.message;
  if (size_t at = expected.find("{inst}"); at != std::string::npos)
    expected.replace(at, 6, install.path());
  EXPECT_NE(r.out.find(expected), std::string::npos) << "expected: " << expected << "\n" << r.out;
  EXPECT_TRUE(snapshot(work.path()) == workbefore) << "the working directory changed";
  EXPECT_TRUE(snapshot(install.path()) == installbefore) << "the installation changed";
}

void checkall(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    std::string trace = c.program;
    for (const std::string& a : c.args) trace += " " + a;
    SCOPED_TRACE(trace);
    check(c);
  }
}

const double kIntMax = INT_MAX;

// The peak fit: calibration constants, windows, polarisation, background
// order, wavelength, and start files that are no peak files.
TEST(AbsurdValues, PeakFitRefusesThemBeforeItWrites) {
  const std::vector<std::string> run = {"VAL[1,1]=si.xy", "LAMBDA=CU", "WMIN=27", "WMAX=30"};
  checkall({
      {"kalvo", run, {"EPS1==nan"}, {}, 105, head(-105, "EPS1", "nan", "@")},
      {"kalvo", run, {"EPS2=inf"}, {}, 105, head(-105, "EPS2", "inf", "@")},
      {"kalvo", run, {"EPS3=exp(1000)"}, {}, 100, ktest::message(-100, "EPS3", INFINITY)},
      {"kalvo",
       run,
       {"WMAX2[1]==-1e308"},
       {},
       101,
       ktest::message(-101, "WMAX2[1]", -1e308, 0.0, 180.0)},
      {"kalvo", run, {"WMIN[1]==200"}, {}, 101, ktest::message(-101, "WMIN[1]", 200.0, 0.0, 180.0)},
      {"kalvo",
       run,
       {"WMIN==30", "WMAX==27"},
       {},
       102,
       ktest::message(-102, "WMIN", 30.0, "WMAX", 27.0)},
      {"kalvo",
       run,
       {"WMIN==28", "WMAX==28"},
       {},
       102,
       ktest::message(-102, "WMIN", 28.0, "WMAX", 28.0)},
      {"kalvo",
       run,
       {"WMIN2[1]==29", "WMAX2[1]==28"},
       {},
       102,
       ktest::message(-102, "WMIN2[1]", 29.0, "WMAX2[1]", 28.0)},
      {"kalvo", run, {"POL==-1"}, {}, 104, ktest::message(-104, "POL", -1.0, 0.0, 1.0)},
      {"kalvo", run, {"RU=abc"}, {}, 105, head(-105, "RU", "abc", "@")},
      {"kalvo", run, {"LAMBDA=-0.15"}, {}, 103, ktest::message(-103, "LAMBDA", -0.15)},
      {"kalvo",
       run,
       {"STARTPARAM=bad"},
       {{"bad.par", standard("PEAKZAHL=3", "99 1 3.1891")}},
       106,
       ktest::message(-106, "bad.par", 2, "the parameter count", 99.0)},
      {"kalvo",
       run,
       {"STARTPARAM=bad"},
       {{"bad.par", standard("PEAKZAHL=-2")}},
       106,
       ktest::message(-106, "bad.par", 1, "PEAKZAHL", -2.0)},
      // An inner limit beyond the measured points on the other side.
      {"kalvo",
       run,
       {"WMIN2[1]==35"},
       {},
       102,
       ktest::message(-102, "WMIN2[1]", 35.0, "WMAX2[1]", 30.0)},
      // Fewer points than background coefficients (or as many).
      {"kalvo", run, {"WMIN==28.3", "WMAX==28.5", "RU==30"}, {}, 111, ktest::message(-111, 11, 30)},
      {"kalvo", run, {"WMIN==28.43", "WMAX==28.44"}, {}, 111, ktest::message(-111, 1, 1)},
      // The default start file, the output of an earlier fit, damaged.
      {"kalvo",
       with(run, {"OUTPUT[1]=out"}),
       {},
       {{"out.par", "garbage\n"}},
       107,
       ktest::message(-107, "out.par", "PEAKZAHL: undefined variable")},
  });
}

// The pattern splitter: window, wavelength, and too few points for the
// background.
TEST(AbsurdValues, SplitterRefusesThemBeforeItWrites) {
  const std::vector<std::string> run = {"VAL[1]=si.xy", "LAMBDA=CU"};
  checkall({
      {"raze", run, {"WMIN==nan"}, {}, 105, head(-105, "WMIN", "nan", "@")},
      {"raze", run, {"WMAX==190"}, {}, 101, ktest::message(-101, "WMAX", 190.0, 0.0, 180.0)},
      {"raze", run, {"LAMBDA=-0.15"}, {}, 103, ktest::message(-103, "LAMBDA", -0.15)},
      {"raze",
       run,
       {"WMIN==25", "WMAX==25"},
       {},
       102,
       ktest::message(-102, "WMIN", 25.0, "WMAX", 25.0)},
      {"raze",
       run,
       {"WMIN==40", "WMAX==30"},
       {},
       102,
       ktest::message(-102, "WMIN", 40.0, "WMAX", 30.0)},
      {"raze", run, {"RU==5", "WMIN==28.415", "WMAX==28.445"}, {}, 111, ktest::message(-111, 2, 5)},
      {"raze", run, {"RU==40", "WMIN==28", "WMAX==28.5"}, {}, 111, ktest::message(-111, 26, 40)},
      {"raze", run, {"VALZAHL=many"}, {}, 105, head(-105, "VALZAHL", "many", "@")},
  });
}

// The plot: part number, polarisation and calibration constants of the fit,
// plot range.
TEST(AbsurdValues, PlotRefusesThemBeforeItWrites) {
  const std::vector<std::string> run = {"VAL[1,1]=si.xy", "LAMBDA=CU", "OUTPUT[1]=fit"};
  const std::map<std::string, std::string> good = {{"fit.par", fit("")}};
  checkall({
      {"vistal", run, {"SELECT=abc"}, good, 105, head(-105, "SELECT", "abc", "@")},
      {"vistal", run, {"SELECT=-1"}, good, 104, ktest::message(-104, "SELECT", -1.0, 0.0, kIntMax)},
      // SELECT=0 plots VAL[1], VAL[2], ...: a split control file has none.
      {"vistal", run, {"SELECT=0"}, good, 109, ktest::message(-109, "VAL[1]")},
      {"vistal",
       run,
       {"SELECT=1"},
       {{"fit.par", fit(" POL=-1")}},
       104,
       ktest::message(-104, "POL", -1.0, 0.0, 1.0)},
      {"vistal",
       run,
       {"SELECT=1", "LINTOR=inst"},
       {{"fit.par", fit(" EPS4=abc")}},
       105,
       head(-105, "EPS4", "abc", "@")},
      {"vistal",
       run,
       {"SELECT=1", "WMIN2==23", "WMAX2==21"},
       good,
       102,
       ktest::message(-102, "WMIN", 23.0, "WMAX", 21.0)},
      {"vistal",
       run,
       {"SELECT=1", "WMAX2==-5"},
       good,
       101,
       ktest::message(-101, "WMAX2", -5.0, 0.0, 180.0)},
  });
}

// The ray trace: angles, slits, collimators, detector, sample.
TEST(AbsurdValues, RayTraceRefusesThemBeforeItWrites) {
  const std::vector<std::string> run = with(kBeamPath, {"zweiTheta[1]=30"});
  checkall({
      {"zelmar",
       kBeamPath,
       {"zweiTheta[1]==200"},
       {},
       101,
       ktest::message(-101, "zweiTheta[1]", 200.0, 0.0, 180.0)},
      {"zelmar",
       kBeamPath,
       {"zweiTheta[1]==0"},
       {},
       101,
       ktest::message(-101, "zweiTheta[1]", 0.0, 0.0, 180.0)},
      {"zelmar",
       kBeamPath,
       {"zweiTheta[1]==-30"},
       {},
       101,
       ktest::message(-101, "zweiTheta[1]", -30.0, 0.0, 180.0)},
      {"zelmar",
       kBeamPath,
       {"zweiTheta[1]==30", "zweiTheta[2]==180"},
       {},
       101,
       ktest::message(-101, "zweiTheta[2]", 180.0, 0.0, 180.0)},
      {"zelmar", kBeamPath, {"zweiTheta[1]==nan"}, {}, 105, head(-105, "zweiTheta[1]", "nan", "@")},
      {"zelmar", kBeamPath, {}, {}, 109, ktest::message(-109, "zweiTheta[1]")},
      {"zelmar", run, {"HSlitW==0"}, {}, 103, ktest::message(-103, "HSlitW", 0.0)},
      {"zelmar", run, {"HSlitW==-1"}, {}, 103, ktest::message(-103, "HSlitW", -1.0)},
      {"zelmar", run, {"HSlitR==300"}, {}, 104, ktest::message(-104, "HSlitR", 300.0, 0.0, 200.0)},
      {"zelmar",
       run,
       {"TSlitH==1", "TSlitR==250"},
       {},
       104,
       ktest::message(-104, "TSlitR", 250.0, 0.0, 200.0)},
      {"zelmar", run, {"PColl==-0.04"}, {}, 103, ktest::message(-103, "PColl", -0.04)},
      {"zelmar", run, {"SColl==0"}, {}, 103, ktest::message(-103, "SColl", 0.0)},
      {"zelmar", run, {"DetW==0"}, {}, 103, ktest::message(-103, "DetW", 0.0)},
      {"zelmar", run, {"DetH==0"}, {}, 103, ktest::message(-103, "DetH", 0.0)},
      {"zelmar", run, {"SSlitW==0", "SSlitR==100"}, {}, 103, ktest::message(-103, "SSlitW", 0.0)},
      {"zelmar", run, {"SamplW==-2"}, {}, 103, ktest::message(-103, "SamplW", -2.0)},
      {"zelmar", run, {"FocusH==inf"}, {}, 105, head(-105, "FocusH", "inf", "@")},
  });
}

// The instrument profile of a standard: its reflections, the polarisation.
TEST(AbsurdValues, ProfileOfAStandardRefusesThemBeforeItWrites) {
  const std::vector<std::string> run = {"VAL[1]=si.xy", "LAMBDA=CU", "STANDARDPAR=std",
                                        "LINTOR=prof"};
  checkall({
      {"lintor",
       run,
       {"STANDARDPAR=none"},
       {{"none.par", "PEAKZAHL=0 LAMBDA=CU\n0\n"}},
       110,
       ktest::message(-110, "none.par")},
      // Reflections outside the measured range give no profile either.
      {"lintor",
       run,
       {"STANDARDPAR=far"},
       {{"far.par", standard("PEAKZAHL=1", "2 1.0E+02 12")}},
       110,
       ktest::message(-110, "far.par")},
      {"lintor",
       run,
       {"STANDARDPAR=zero"},
       {{"zero.par", standard("PEAKZAHL=3", "2 1.0E+02 0")}},
       106,
       ktest::message(-106, "zero.par", 2, "the position 1/d", 0.0)},
      // Beyond 2theta = 180 degrees a reflection is passed over.
      {"lintor",
       run,
       {"STANDARDPAR=beyond"},
       {{"beyond.par", standard("PEAKZAHL=1", "2 1.0E+02 20")}},
       110,
       ktest::message(-110, "beyond.par")},
      {"lintor",
       run,
       {"STANDARDPAR=inf"},
       {{"inf.par", standard("PEAKZAHL=3", "2 1e400 3.1891")}},
       106,
       ktest::message(-106, "inf.par", 2, "a peak parameter", INFINITY)},
      {"lintor",
       run,
       {"STANDARDPAR=neg"},
       {{"neg.par", standard("PEAKZAHL=-2")}},
       106,
       ktest::message(-106, "neg.par", 1, "PEAKZAHL", -2.0)},
      {"lintor",
       run,
       {"STANDARDPAR=garbage"},
       {{"garbage.par", "garbage\n"}},
       107,
       ktest::message(-107, "garbage.par", "PEAKZAHL: undefined variable")},
      {"lintor", run, {"POL==1.5"}, {}, 104, ktest::message(-104, "POL", 1.5, 0.0, 1.0)},
  });
}

// The table of an instrument profile: a missing profile file is named,
// not taken for a line width.
TEST(AbsurdValues, TableOfAMissingProfileIsRefused) {
  checkall({
      {"quindle",
       {"LINTOR=nosuch"},
       {},
       {},
       107,
       ktest::message(-107, "nosuch.ger", "No such file or directory")},
  });
}

// The instrument function at one angle: the angle.
TEST(AbsurdValues, InstrumentFunctionRefusesAnAngleOutsideTheRange) {
  const std::vector<std::string> run = {"LINTOR=inst"};
  checkall({
      {"probast",
       run,
       {"zweiTheta==0"},
       {},
       101,
       ktest::message(-101, "zweiTheta", 0.0, 0.0, 180.0)},
      {"probast",
       run,
       {"zweiTheta==-40"},
       {},
       101,
       ktest::message(-101, "zweiTheta", -40.0, 0.0, 180.0)},
      {"probast",
       run,
       {"zweiTheta==180"},
       {},
       101,
       ktest::message(-101, "zweiTheta", 180.0, 0.0, 180.0)},
      {"probast",
       run,
       {"zweiTheta==exp(1000)"},
       {},
       100,
       ktest::message(-100, "zweiTheta", INFINITY)},
  });
}

// The refinement: window, calibration constants, polarisation, goals whose
// brackets do not pair up, a phase without atoms.
TEST(AbsurdValues, RefinementRefusesThemBeforeItWrites) {
  const std::vector<std::string> run = {"VAL[1]=si.xy", "LAMBDA=CU", "LINTOR=inst", "STRUC[1]=si"};
  checkall({
      {"tamrel",
       run,
       {"WMIN==40", "WMAX==22"},
       {},
       102,
       ktest::message(-102, "WMIN", 40.0, "WMAX", 22.0)},
      {"tamrel", run, {"WMAX==200"}, {}, 101, ktest::message(-101, "WMAX", 200.0, 0.0, 180.0)},
      {"tamrel", run, {"EPS1==nan"}, {}, 105, head(-105, "EPS1", "nan", "@")},
      {"tamrel", run, {"POL==2"}, {}, 104, ktest::message(-104, "POL", 2.0, 0.0, 1.0)},
      {"tamrel", run, {"GOAL[1]=((+-"}, {}, 112, ktest::message(-112, "((+-")},
      {"tamrel", run, {"PARAM[1]=x=1_(0"}, {}, 112, ktest::message(-112, "x=1_(0")},
      {"tamrel", run, {"GOAL[1]=A)+-1("}, {}, 112, ktest::message(-112, "A)+-1(")},
      // Structure factors from a phase without atoms, without F and not
      // refined by LeBail; refusals of a structure file end with status 1,
      // after the phase's number.
      {"tamrel",
       run,
       {"STRUC[1]=noatom"},
       {{"noatom.str", "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM FMult=1\nA=5.4310\n"}},
       1,
       ktest::message(-108, "noatom.str")},
  });
}

// A control file whose line is no statement, and a configuration file with
// such a line: the run names the file and the line before it reads or
// writes anything more.
TEST(AbsurdValues, UnreadableControlFileIsNamed) {
  checkall({
      {"raze",
       {"VAL[1]=si.xy", "garbage line"},
       {},
       {},
       107,
       ktest::message(-107, "run.sav",
                      "wrong data element in restored file at line 2: garbage line")},
      {"kalvo",
       {"((("},
       {},
       {},
       107,
       ktest::message(-107, "run.sav",
                      "wrong data element in restored file at line 1 ((((: wrong brackets)")},
      {"raze",
       {"VAL[1]=si.xy"},
       {},
       {{"@raze.cfg", "RU=2\nnot a statement\n"}},
       107,
       ktest::message(-107, "{inst}/raze.cfg",
                      "wrong data element in restored file at line 2: not a statement")},
  });
}

}  // namespace
