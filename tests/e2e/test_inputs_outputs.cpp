// The files of a run, over every program: no run writes over a file it
// reads (an output that is a scan, a structure file, the instrument profile,
// a start or standard peak file, or the control file is refused before
// anything is written, status 90), and a run that could not read an input it
// was named (status 92) or write an output it was asked for (status 93) still
// does all it can, but never ends with status 0.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tamrelrun.hpp"
#include "testsupport.hpp"

namespace {

using ktest::message;

// A small standard's peak file for lintor: two lines of silicon in the
// range of the scan, with the instrument profile's single component.
// The standard: silicon's (111) and (220) reflections, at 1/d in nm^-1, the
// lines of the silicon scan.
const char* kStandard =
    "PEAKZAHL=2 TITEL=si LAMBDA=CU\n"
    "2 1.0E+03 3.1892\n"
    "2 1.0E+03 5.2078\n"
    "0\n";

// A work directory with the fixtures of every program, an installation
// directory with all shipped data, and runs of the built programs.
struct Place {
  ktest::TempInstall install;
  ktest::TempDir work;

  Place() {
    put("inst.ger", trun::kInstrument);
    put("si.xy", trun::siliconscan());
    put("si.str", trun::kSilicon);
    put("std.par", kStandard);
  }

  std::string file(const std::string& name) const { return work.file(name); }
  void put(const std::string& name, const std::string& text) const {
    ktest::write_file(file(name), text);
  }
  std::string get(const std::string& name) const { return ktest::read_file(file(name)); }

  // Runs program on the control file (written from the lines unless they
  // are empty) with further statements.
  ktest::RunResult run(const std::string& program, const std::vector<std::string>& control,
                       const std::vector<std::string>& statements = {},
                       const std::string& controlfile = "run.sav", bool asuser = false) const {
    if (!control.empty()) {
      std::string text;
      for (const std::string& line : control) text += line + "\n";
      put(controlfile, text);
    }
    std::vector<std::string> args{controlfile};
    args.insert(args.end(), statements.begin(), statements.end());
    const std::map<std::string, std::string> env{{"KALVO", install.path()}};
    return asuser ? ktest::run_unprivileged(ktest::program_path(program), args, work.path(), env)
                  : ktest::run_program(ktest::program_path(program), args, work.path(), env);
  }

  // No temporary file of the writer is left in either directory.
  void notemporaries() const {
    for (const std::string& dir : {work.path(), install.path()})
      for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        EXPECT_NE(e.path().filename().string().rfind(".tmp", 0), 0u) << e.path();
  }
};

// The control file of a quick refinement of the silicon scan.
std::vector<std::string> refinement(const std::vector<std::string>& more = {}) {
  std::vector<std::string> lines = {"LINTOR=inst", "LAMBDA=CU", "VAL[1]=si.xy", "STRUC[1]=si",
                                    "WMIN=25",     "WMAX=60",   "ITMAX=2"};
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

// The control file of a peak fit of one silicon line.
std::vector<std::string> peakfit(const std::vector<std::string>& more = {}) {
  std::vector<std::string> lines = {"LINTOR=inst", "LAMBDA=CU", "VAL[1,1]=si.xy", "WMIN=27",
                                    "WMAX=30"};
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

// ---------------------------------------------------------------------------
// 1. An output that is an input

struct Collision {
  const char* name;
  const char* program;
  std::vector<std::string> control;
  std::vector<std::string> statements{};
  std::string file;                      // the input the output would replace (under the work
                                         // directory, or "@" for the installation directory)
  std::vector<std::string> untouched{};  // outputs that must not exist after the run
  // Set-up before the run (links, extra files).
  void (*setup)(const Place&) = nullptr;
  std::string controlfile = "run.sav";  // the control file (placed like file)
};

std::vector<Collision> collisions() {
  return {
      {"tamrel diagram over the scan",
       "tamrel",
       refinement({"DIAGRAMM=si.xy", "LIST=l"}),
       {},
       "si.xy",
       {"l.lst", "run.par"}},
      {"tamrel list over the structure file",
       "tamrel",
       refinement({"LIST=si.str"}),
       {},
       "si.str",
       {"run.par"}},
      {"tamrel peak file over the profile",
       "tamrel",
       refinement({"OUTPUT=inst.ger", "LIST=l"}),
       {},
       "inst.ger",
       {"l.lst"}},
      {"tamrel plan over the control file",
       "tamrel",
       refinement({"PLAN=run.sav", "LIST=l"}),
       {},
       "run.sav",
       {"l.lst"}},
      {"tamrel simplified structure over the structure file",
       "tamrel",
       refinement({"SimpleSTRUCOUT[1]=si", "LIST=l"}),
       {},
       "si.str",
       {"l.lst"}},
      {"tamrel list of a data set over its scan",
       "tamrel",
       refinement({"STANDALONEVAL[1]=si2.xy", "LIST[1]=si2.xy", "LIST=l"}),
       {},
       "si2.xy",
       {"l.lst"},
       [](const Place& p) { p.put("si2.xy", trun::siliconscan(120)); }},
      {"tamrel list through a link to the structure file",
       "tamrel",
       refinement({"LIST=alias.lst"}),
       {},
       "si.str",
       {"run.par"},
       [](const Place& p) { ASSERT_EQ(::symlink("si.str", p.file("alias.lst").c_str()), 0); }},
      {"tamrel list under another spelling of the structure file's path",
       "tamrel",
       refinement({"LIST=./sub/../si.str"}),
       {},
       "si.str",
       {"run.par"},
       [](const Place& p) { ASSERT_EQ(::mkdir(p.file("sub").c_str(), 0755), 0); }},
      {"tamrel diagram under another spelling of a scan that does not exist",
       "tamrel",
       refinement({"VAL[2]=sub/../gone.xy", "DIAGRAMM=gone.xy", "LIST=l"}),
       {},
       "gone.xy",
       {"l.lst"},
       [](const Place& p) { ASSERT_EQ(::mkdir(p.file("sub").c_str(), 0755), 0); }},
      {"tamrel list over a hard link of the scan",
       "tamrel",
       refinement({"LIST=twin.lst"}),
       {},
       "si.xy",
       {"run.par"},
       [](const Place& p) {
         ASSERT_EQ(::link(p.file("si.xy").c_str(), p.file("twin.lst").c_str()), 0);
       }},
      {"tamrel peak file given on the command line over the tube-tail scan",
       "tamrel",
       refinement({"TubeTails=tails.xy", "LIST=l"}),
       {"OUTPUT=tails.xy"},
       "tails.xy",
       {"l.lst"},
       [](const Place& p) { p.put("tails.xy", "30 2\n30.01 50\n30.02 2\n"); }},
      {"kalvo peak file over the scan", "kalvo", peakfit({"OUTPUT[1]=si.xy"}), {}, "si.xy", {}},
      {"kalvo peak file over the profile",
       "kalvo",
       peakfit({"OUTPUT[1]=inst.ger"}),
       {},
       "inst.ger",
       {}},
      {"kalvo peak file over the control file",
       "kalvo",
       peakfit({"OUTPUT[1]=run.sav"}),
       {},
       "run.sav",
       {}},
      {"kalvo second index over the first index's scan",
       "kalvo",
       peakfit({"VAL[2,1]=si2.xy", "OUTPUT[1]=a", "OUTPUT[2]=si.xy"}),
       {},
       "si.xy",
       {"a.par"},
       [](const Place& p) { p.put("si2.xy", trun::siliconscan(120)); }},
      {"kalvo second peak file over the tube-tail scan",
       "kalvo",
       peakfit({"VAL[2,1]=si.xy", "OUTPUT[1]=a", "OUTPUT[2]=tails.xy", "TubeTails=tails.xy"}),
       {},
       "tails.xy",
       {"a.par"},
       [](const Place& p) { p.put("tails.xy", "30 2\n30.01 50\n30.02 2\n"); }},
      {"lintor profile over the scan through a link",
       "lintor",
       {"LAMBDA=CU", "VAL[1]=si.xy", "STANDARDPAR=std", "LINTOR=alias"},
       {},
       "si.xy",
       {},
       [](const Place& p) { ASSERT_EQ(::symlink("si.xy", p.file("alias.ger").c_str()), 0); }},
      {"lintor profile over the standard's peak file",
       "lintor",
       {"LAMBDA=CU", "VAL[1]=si.xy", "STANDARDPAR=std.ger", "LINTOR=std"},
       {},
       "std.ger",
       {},
       [](const Place& p) { p.put("std.ger", kStandard); }},
      {"zelmar histogram over the control file",
       "zelmar",
       {"LINTOR=out", "R=200", "FocusH=8", "FocusW=0.04", "HSlitR=100", "HSlitW=1", "DetW=0.1",
        "PColl=0.04", "SColl=0.04", "DetH=15", "EPSG=0.02", "zweiTheta[1]=40", "RAW[1]=run.sav"},
       {},
       "run.sav",
       {"out.ger"}},
      {"quindle table over the profile through a link",
       "quindle",
       {"LINTOR=inst", "GEQ=alias", "WMIN=40", "WMAX=60", "WSTEP=1"},
       {},
       "inst.ger",
       {},
       [](const Place& p) { ASSERT_EQ(::symlink("inst.ger", p.file("alias.geq").c_str()), 0); }},
      {"probast plot file over the control file",
       "probast",
       {"LINTOR=inst", "zweiTheta=50"},
       {},
       "@/probast.out",
       {},
       nullptr,
       "@/probast.out"},
      {"vistal plot file over the scan",
       "vistal",
       {"LAMBDA=CU", "VAL[1]=@/punkte.dat"},
       {},
       "@/punkte.dat",
       {"@/achsen.plt"},
       [](const Place& p) { ktest::copy_file(p.file("si.xy"), p.install.file("punkte.dat")); }},
  };
}

std::string placed(const Place& p, const std::string& name) {
  return name.rfind("@/", 0) == 0 ? p.install.file(name.substr(2)) : p.file(name);
}

TEST(InputsOutputs, AnOutputThatIsAnInputIsRefusedBeforeAnythingIsWritten) {
  for (const Collision& c : collisions()) {
    SCOPED_TRACE(c.name);
    Place p;
    std::vector<std::string> control = c.control;
    for (std::string& line : control)
      if (line.find("=@/") != std::string::npos)
        line.replace(line.find("=@/") + 1, 1, p.install.path());
    if (c.setup != nullptr) c.setup(p);
    // The control file is written before the run; every other input is in
    // place already.
    std::string text;
    for (const std::string& line : control) text += line + "\n";
    const std::string controlfile = placed(p, c.controlfile);
    ktest::write_file(controlfile, text);
    const std::string input = placed(p, c.file);
    const bool existed = ktest::file_exists(input);
    const std::string before = existed ? ktest::read_file(input) : "";
    ktest::RunResult r = p.run(c.program, {}, c.statements, controlfile);
    EXPECT_EQ(r.status, 90) << r.out;
    EXPECT_NE(r.out.find("*** output "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(input.substr(input.rfind('/') + 1)), std::string::npos) << r.out;
    if (existed)
      EXPECT_EQ(ktest::read_file(input), before);
    else
      EXPECT_FALSE(ktest::file_exists(input));
    for (const std::string& name : c.untouched)
      EXPECT_FALSE(ktest::file_exists(placed(p, name))) << name;
    p.notemporaries();
  }
}

// A name that is known only while the run writes (kalvo's second output of
// one name gets the index appended) is checked by the writer itself: an
// input is never written over.
TEST(InputsOutputs, TheWriterRefusesAnInputNamedOnlyWhileWriting) {
  Place p;
  p.put("a_2.par", "30 100\n");
  ktest::RunResult r = p.run("kalvo", peakfit({"VAL[2,1]=si.xy", "VAL[3,1]=a_2.par", "OUTPUT[1]=a",
                                               "OUTPUT[2]=a", "OUTPUT[3]=c"}));
  EXPECT_EQ(r.status, 91) << r.out;
  EXPECT_TRUE(trun::inorder(r.out, {message(239, "a.par", 2, "a_2.par"),
                                    message(-91, "a_2.par", "a_2.par", "VAL[3,1]")}));
  EXPECT_EQ(p.get("a_2.par"), "30 100\n");
  EXPECT_FALSE(ktest::file_exists(p.file("c.par")));
  p.notemporaries();
}

// A refined structure file may replace the structure file of its phase, and
// a peak file refined in place is its own index's start file: both are the
// design, not a collision.
TEST(InputsOutputs, AFileRefinedInPlaceIsNoCollision) {
  Place p;
  ktest::RunResult r = p.run("tamrel", refinement({"STRUCOUT[1]=si", "LIST=l"}));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(p.get("si.str"), trun::kSilicon);

  Place q;
  r = q.run("kalvo", peakfit());
  EXPECT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(ktest::file_exists(q.file("si.par")));
  r = q.run("kalvo", peakfit({"STARTPARAM=si"}));
  EXPECT_EQ(r.status, 0) << r.out;
}

// ---------------------------------------------------------------------------
// 2. A run that could not read or write everything ends non-zero

struct Failure {
  const char* name;
  const char* program;
  std::vector<std::string> control;
  int status;
  std::vector<std::string> says{};     // texts the output holds
  std::vector<std::string> written{};  // files the run still wrote
  void (*setup)(const Place&) = nullptr;
  bool asuser = false;
  int fsize = 0;  // a limit of the file size (bytes) as on a full disk, 0: none
};

std::vector<Failure> failures() {
  const std::string closingin = "*** an input this run was named could not be read";
  const std::string closingout = "*** an output this run was asked for could not be written";
  return {
      // Inputs.
      {"kalvo scan that does not exist",
       "kalvo",
       peakfit({"VAL[1,1]=nosuch.xy"}),
       92,
       {message(35, "nosuch.xy"), closingin}},
      {"kalvo start file that does not exist",
       "kalvo",
       peakfit({"STARTPARAM=nosuch"}),
       92,
       {message(4, "nosuch.par"), closingin},
       {"si.par"}},
      {"kalvo second scan of an index that does not exist",
       "kalvo",
       peakfit({"VAL[1,2]=nosuch.gsa"}),
       92,
       {message(35, "nosuch.gsa"), closingin},
       {"si.par"}},
      {"vistal second scan that does not exist",
       "vistal",
       {"LAMBDA=CU", "VAL[1]=si.xy", "VAL[2]=nosuch.xy"},
       92,
       {message(35, "nosuch.xy"), closingin},
       {"@/punkte.dat", "@/achsen.plt"}},
      {"vistal only scan that does not exist: nothing to plot",
       "vistal",
       {"LAMBDA=CU", "VAL[1]=nosuch.xy"},
       166,
       {message(35, "nosuch.xy"), message(-166)}},
      {"raze second scan that does not exist",
       "raze",
       {"LAMBDA=CU", "VAL[1]=si.xy", "VAL[2]=nosuch"},
       92,
       {message(35, "nosuch.val"), closingin}},
      {"tamrel second scan that does not exist",
       "tamrel",
       refinement({"VAL[2]=nosuch.gsa", "LIST=l"}),
       92,
       {message(35, "nosuch.gsa"), closingin},
       {"l.lst", "run.par"}},
      {"tamrel data-set scan that does not exist",
       "tamrel",
       refinement({"STANDALONEVAL[1]=nosuch.gsa", "LIST=l"}),
       92,
       {message(35, "nosuch.gsa"), closingin},
       {"l.lst"}},
      {"tamrel data set without a point in the window",
       "tamrel",
       refinement({"STANDALONEVAL[1]=far.xy", "LIST[1]=far", "LIST=l"}),
       92,
       {message(58, "far.xy"), message(-92, 1, 58)},
       {"l.lst"},
       [](const Place& p) { p.put("far.xy", "100 10\n100.02 12\n100.04 11\n"); }},
      {"tamrel scan that is a text file named raw",
       "tamrel",
       refinement({"VAL[2]=text.raw", "LIST=l"}),
       92,
       {"text.raw is no known raw file", closingin},
       {"l.lst"},
       [](const Place& p) { p.put("text.raw", "30 100\n30.02 110\n"); }},
      {"tamrel scan whose first line cannot be read",
       "tamrel",
       refinement({"VAL[2]=bad.xy", "LIST=l"}),
       92,
       {"bad.xy", closingin},
       {"l.lst"},
       [](const Place& p) { p.put("bad.xy", "two theta and counts\n30 100\n"); }},
      {"tamrel scan that is a directory",
       "tamrel",
       refinement({"VAL[2]=dir.xy", "LIST=l"}),
       92,
       {"dir.xy", closingin},
       {"l.lst"},
       [](const Place& p) { ASSERT_EQ(::mkdir(p.file("dir.xy").c_str(), 0755), 0); }},
      {"kalvo scan the user may not read",
       "kalvo",
       peakfit({"VAL[1,2]=secret.xy"}),
       92,
       {message(35, "secret.xy"), closingin},
       {"si.par"},
       [](const Place& p) {
         p.put("secret.xy", "30 100\n");
         ::chmod(p.file("secret.xy").c_str(), 0);
       },
       true},
      {"lintor second scan that does not exist",
       "lintor",
       {"LAMBDA=CU", "VAL[1]=si.xy", "VAL[2]=nosuch", "STANDARDPAR=std", "LINTOR=prof"},
       92,
       {message(35, "nosuch.val"), closingin},
       {"prof.ger"}},
      // Outputs.
      {"tamrel list file is a directory",
       "tamrel",
       refinement({"LIST=dl"}),
       93,
       {message(226), closingout},
       {"run.par"},
       [](const Place& p) { ASSERT_EQ(::mkdir(p.file("dl.lst").c_str(), 0755), 0); }},
      {"tamrel peak file is a directory",
       "tamrel",
       refinement({"OUTPUT=od", "LIST=l"}),
       93,
       {message(262, "od.par"), closingout},
       {"l.lst"},
       [](const Place& p) { ASSERT_EQ(::mkdir(p.file("od.par").c_str(), 0755), 0); }},
      {"tamrel diagram file is a directory",
       "tamrel",
       refinement({"DIAGRAMM=dd", "LIST=l"}),
       93,
       {message(302, "dd.dia"), closingout},
       {"l.lst", "run.par"},
       [](const Place& p) { ASSERT_EQ(::mkdir(p.file("dd.dia").c_str(), 0755), 0); }},
      {"tamrel peak file in a folder that does not exist",
       "tamrel",
       refinement({"OUTPUT=none/p", "LIST=l"}),
       93,
       {message(262, "none/p.par"), closingout},
       {"l.lst"}},
      {"tamrel diagram beyond the file-size limit",
       "tamrel",
       refinement({"DIAGRAMM=d", "LIST=l"}),
       93,
       {message(302, "d.dia"), closingout},
       {"l.lst", "run.par"},
       nullptr,
       false,
       4096},
      // On several threads the diagrams of the cycles are put in place
      // behind the run: a failure there counts all the same.
      {"tamrel diagram beyond the file-size limit, on several threads",
       "tamrel",
       refinement({"DIAGRAMM=d", "LIST=l", "NTHREADS=4"}),
       93,
       {message(302, "d.dia"), closingout},
       {"l.lst", "run.par"},
       nullptr,
       false,
       4096},
      {"tamrel control file write-protected",
       "tamrel",
       refinement({"LIST=l"}),
       93,
       {message(255, "run.sav"), closingout},
       {"l.lst", "run.par"},
       [](const Place& p) { ::chmod(p.file("run.sav").c_str(), 0444); }},
      {"tamrel list in a folder the user may not write",
       "tamrel",
       refinement({"LIST=ro/l", "SAVE=N"}),
       93,
       {message(226), closingout},
       {"run.par"},
       [](const Place& p) { ASSERT_EQ(::mkdir(p.file("ro").c_str(), 0555), 0); },
       true},
      {"raze control file write-protected",
       "raze",
       {"LAMBDA=CU", "VAL[1]=si.xy"},
       93,
       {message(255, "run.sav"), closingout},
       {},
       [](const Place& p) { ::chmod(p.file("run.sav").c_str(), 0444); }},
      {"zelmar histogram file is a directory",
       "zelmar",
       {"LINTOR=out", "R=200", "FocusH=8", "FocusW=0.04", "HSlitR=100", "HSlitW=1", "DetW=0.1",
        "PColl=0.04", "SColl=0.04", "DetH=15", "EPSG=0.02", "zweiTheta[1]=40", "RAW[1]=rawdir",
        "SAVE=N"},
       93,
       {message(301, "rawdir"), closingout},
       {"out.ger"},
       [](const Place& p) { ASSERT_EQ(::mkdir(p.file("rawdir").c_str(), 0755), 0); }},
      // Scans of which no point is used: the refinement stops.
      {"tamrel scans without a point",
       "tamrel",
       refinement({"VAL[1]=nosuch.gsa", "LIST=l"}),
       94,
       {message(35, "nosuch.gsa"), message(-94)}},
      {"tamrel scan without a point in the window",
       "tamrel",
       refinement({"WMIN==100", "WMAX==120", "LIST=l"}),
       94,
       {message(-94)}},
  };
}

// Runs a program under a limit of the file size.
const char* const kPrlimit = "/usr/bin/prlimit";

TEST(InputsOutputs, ARunThatCouldNotReadOrWriteEverythingEndsNonZero) {
  const bool unprivileged = ktest::can_run_unprivileged();
  const bool limits = ::access(kPrlimit, X_OK) == 0;
  for (const Failure& c : failures()) {
    SCOPED_TRACE(c.name);
    if ((c.asuser && !unprivileged) || (c.fsize != 0 && !limits)) continue;
    Place p;
    std::string text;
    for (const std::string& line : c.control) text += line + "\n";
    p.put("run.sav", text);
    if (c.asuser) {
      ::chmod(p.work.path().c_str(), 0777);
      ::chmod(p.install.path().c_str(), 0777);
      for (const auto& e : std::filesystem::directory_iterator(p.work.path()))
        ktest::give_to_unprivileged(e.path().string());
    }
    if (c.setup != nullptr) c.setup(p);
    ktest::RunResult r = c.fsize == 0
                             ? p.run(c.program, {}, {}, "run.sav", c.asuser)
                             : ktest::run_program(kPrlimit,
                                                  {"--fsize=" + std::to_string(c.fsize),
                                                   ktest::program_path(c.program), "run.sav"},
                                                  p.work.path(), {{"KALVO", p.install.path()}});
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_TRUE(trun::inorder(r.out, c.says));
    for (const std::string& name : c.written)
      EXPECT_TRUE(ktest::file_exists(placed(p, name))) << name << "\n" << r.out;
    ::chmod(p.file("run.sav").c_str(), 0644);
    p.notemporaries();
  }
  if (!unprivileged) GTEST_SKIP() << "the cases of another user need root with setpriv";
  if (!limits) GTEST_SKIP() << "the case of a full disk needs prlimit";
}

// What is no failure: a start file the fit makes itself, a control file not
// to be saved, and a refinement without scans.
TEST(InputsOutputs, WhatIsNoFailureEndsWithZero) {
  Place p;
  ktest::RunResult r = p.run("kalvo", peakfit());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find(message(4, "si.par")), std::string::npos) << r.out;

  Place q;
  q.put("run.sav", "");
  ::chmod(q.file("run.sav").c_str(), 0444);
  r = q.run("raze", {}, {"LAMBDA=CU", "VAL[1]=si.xy", "SAVE=N"});
  EXPECT_EQ(r.status, 0) << r.out;
  ::chmod(q.file("run.sav").c_str(), 0644);

  Place t;
  r = t.run("tamrel", {"LINTOR=inst", "LAMBDA=CU", "STRUC[1]=si", "LIST=l"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find(message(215)), std::string::npos) << r.out;
}

}  // namespace
