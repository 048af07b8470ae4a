// End-to-end runs of the common program frame through its test program: each
// run checks the rewritten control file, the configuration file, standard
// output and the exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "testsupport.hpp"

namespace core {

namespace {

const std::string kBanner =
    "Powder-diffraction evaluation suite\n(c) the suite's developers\nVersion 4.2.23\n\n";
const std::string kNoControl = "--- no control file read: starting with the configuration only\n";
const char* const kUnset = "\x01unset";

// One run of the program. Paths may use {work} and {inst} for the working
// and installation directories.
struct FrameRun {
  std::vector<std::string> args = {};
  std::map<std::string, std::string> env = {};  // KALVO defaults to {inst}
  std::string cwd = "{work}";
  int status = 0;
  std::optional<std::string> out = {};                           // exact standard output
  std::vector<std::string> outhas = {};                          // pieces of standard output
  std::map<std::string, std::optional<std::string>> files = {};  // after the run; nullopt: absent
};

struct Case {
  const char* name;
  std::map<std::string, std::string> setup;  // files before the first run
  std::vector<FrameRun> runs;
};

std::string expand(std::string s, const std::string& work, const std::string& inst) {
  for (auto [key, value] :
       {std::pair<std::string, std::string>{"{work}", work}, {"{inst}", inst}}) {
    for (size_t p; (p = s.find(key)) != std::string::npos;) s.replace(p, key.size(), value);
  }
  return s;
}

const std::string A1 = "A==1.0000000000000000E+00 \n";
const std::string B2 = "B==2.0000000000000000E+00 \n";
const std::string C3 = "C==3.0000000000000000E+00 \n";

std::vector<Case> cases() {
  return {
      {"argument 1 without extension",
       {{"{inst}/frametest.cfg", "% configuration of the test program\nCFGKEY=1\n"},
        {"{work}/run.sav", "%a comment\nA==2\nEVAL=A*3\n"}},
       {{.args = {"run"},
         .out = kBanner + "EVAL=6\n",
         .files = {{"{work}/run.sav",
                    "%a comment\nA==2.0000000000000000E+00 "
                    "\nEVAL=A*3\nRESULT==6.0000000000000000E+00 \n"},
                   {"{inst}/frametest.cfg",
                    "% configuration of the test program\nCFGKEY=1\nSAVEFILE=run.sav\n"}}}}},
      {"argument 1 with extension, remembered for a run without arguments",
       {{"{inst}/frametest.cfg", ""}, {"{work}/run.txt", "EVAL=2+FRAMECONST\n"}},
       {{.args = {"run.txt"},
         .out = kBanner + "EVAL=9\n",
         .files = {{"{work}/run.txt", "EVAL=2+FRAMECONST\nRESULT==9.0000000000000000E+00 \n"},
                   {"{work}/run.txt.sav", std::nullopt},
                   {"{inst}/frametest.cfg", "SAVEFILE=run.txt\n"}}},
        {.args = {},
         .out = kBanner + "EVAL=9\n",
         .files = {{"{work}/run.txt", "EVAL=2+FRAMECONST\nRESULT==9.0000000000000000E+00 \n"},
                   {"{inst}/frametest.cfg", "SAVEFILE=run.txt\n"}}}}},
      {"command-line key replaces the control file's value at its position",
       {{"{inst}/frametest.cfg", "X=cfg\n"}, {"{work}/run.sav", A1 + B2 + C3}},
       {{.args = {"run", "B==5", "D=new"},
         .files = {{"{work}/run.sav", A1 + "B==5.0000000000000000E+00 \n" + C3 + "D=new\n"},
                   {"{inst}/frametest.cfg", "X=cfg\nSAVEFILE=run.sav\n"}}}}},
      {"SAVE=N writes nothing and forgets SAVEFILE",
       {{"{inst}/frametest.cfg", "SAVEFILE=old.sav\nX=1\n"}, {"{work}/run.sav", A1}},
       {{.args = {"run", "SAVE=N", "A==9"},
         .files = {{"{work}/run.sav", A1}, {"{inst}/frametest.cfg", "X=1\n"}}}}},
      {"CHDIR, NICE and KALVO of the command line are not saved; KALVO beats the environment",
       {{"{inst}/frametest.cfg", ""}, {"{work}/run.sav", A1}},
       {{.args = {"run", "CHDIR={work}", "NICE=0", "KALVO={inst}", "E==2"},
         .env = {{"KALVO", "/nonexistent/installation"}},
         .cwd = "/",
         .out = kBanner + "--- working directory is now {work}\n",
         .files = {{"{work}/run.sav", A1 + "E==2.0000000000000000E+00 \n"},
                   {"{inst}/frametest.cfg", "SAVEFILE=run.sav\n"}}}}},
      {"NICE in the control file stays there",
       {{"{inst}/frametest.cfg", ""}, {"{work}/run.sav", "NICE==0\n"}},
       {{.args = {"run"}, .files = {{"{work}/run.sav", "NICE==0.0000000000000000E+00 \n"}}}}},
      {"no KALVO anywhere",
       {{"{inst}/frametest.cfg", ""}, {"{work}/run.sav", A1}},
       {{.args = {"run"},
         .env = {{"KALVO", kUnset}},
         .status = 200,
         .out = kBanner + "*** undefined environment KALVO\n",
         .files = {{"{work}/run.sav", A1}}}}},
      {"bad line in the control file",
       {{"{inst}/frametest.cfg", "K=1\n"}, {"{work}/run.sav", A1 + B2 + "bad line\n" + C3}},
       {{.args = {"run"},
         .status = 107,
         .out = kBanner + "*** run.sav cannot be read: wrong data element in restored file at "
                          "line 3: bad line\n",
         .files = {{"{work}/run.sav", A1 + B2 + "bad line\n" + C3},
                   {"{inst}/frametest.cfg", "K=1\n"}}}}},
      {"failing command-line statement",
       {{"{inst}/frametest.cfg", ""}},
       {{.args = {"run", "V(1)=2"},
         .status = 1,
         .out = kBanner + "(E) V(1)\n    function can't be set by SetStrVar\n"}}},
      {"failing formula between start and end",
       {{"{inst}/frametest.cfg", ""}, {"{work}/run.sav", "EVAL=1/0\n"}},
       {{.args = {"run"},
         .status = 1,
         .out = kBanner + "(E) 1/0\n    expression causes division by zero\n",
         .files = {{"{work}/run.sav", "EVAL=1/0\n"}}}}},
      {"a function that calls itself without end is reported in two lines",
       {{"{inst}/frametest.cfg", ""}, {"{work}/run.sav", "f(1):f(#1)\nEVAL=f(1)\n"}},
       {{.args = {"run"},
         .status = 1,
         .out = kBanner + "(E) f(1)\n    wrong expression\n(E) f\n    formula nesting too deep\n",
         .files = {{"{work}/run.sav", "f(1):f(#1)\nEVAL=f(1)\n"}}}}},
      {"no configuration file and no argument 1",
       {},
       {{.args = {},
         .status = 1,
         .out = kBanner + "*** configuration file frametest.cfg cannot be opened and no control "
                          "file was given\n"}}},
      {"no configuration file with argument 1; missing control file",
       {},
       {{.args = {"fresh", "Z==1"},
         .out = kBanner + kNoControl,
         .files = {{"{work}/fresh.sav", "Z==1.0000000000000000E+00 \n"},
                   {"{inst}/frametest.cfg", "SAVEFILE=fresh.sav\n"}}}}},
      {"control file in a directory that does not exist",
       {{"{inst}/frametest.cfg", ""}},
       {{.args = {"{work}/nodir/run", "Z==1"},
         .status = 93,
         .out = kBanner + kNoControl +
                "--- control file {work}/nodir/run.sav cannot be written; it was left as it was\n" +
                ktest::message(-93, 1, 255),
         .files = {{"{inst}/frametest.cfg", "SAVEFILE={work}/nodir/run.sav\n"}}}}},
      {"writes fail: control and configuration files stay as they were",
       {{"{inst}/frametest.cfg", "CFG=a long enough configuration value\n"},
        {"{work}/run.sav", "%keep\nA==1\nEVAL=A+1\nTITLE=a control file longer than the limit\n"}},
       {{.args = {"run", "B==3"},
         .env = {{"FRAMETEST_FSIZE", "20"}},
         .status = 93,
         .out = kBanner + "EVAL=2\n" +
                "--- control file run.sav cannot be written; it was left as it was\n" +
                "--- configuration file frametest.cfg cannot be written; it was left as it was\n" +
                ktest::message(-93, 1, 255),
         .files = {{"{work}/run.sav",
                    "%keep\nA==1\nEVAL=A+1\nTITLE=a control file longer than the limit\n"},
                   {"{inst}/frametest.cfg", "CFG=a long enough configuration value\n"}}}}},
      {"a frame left open is an internal error",
       {{"{inst}/frametest.cfg", ""}},
       {{.args = {"run"},
         .env = {{"FRAMETEST_LEAVEFRAME", "1"}},
         .status = 250,
         .outhas =
             {"*** internal error labeled ondatalevel in epilog in file mac/epilog, line 76\n"}}}},
      {"KALVO from the environment longer than 8000 characters",
       {{"{inst}/frametest.cfg", ""}},
       {{.args = {"run"},
         .env = {{"KALVO", std::string(8001, 'k')}},
         .status = 250,
         .out = kBanner + "*** internal error labeled environment KALVO string overflow in file "
                          "mac/prolog, line 69\n"}}},
      {"reduced start: arguments 2 on, KALVO key, nothing saved",
       {{"{work}/run.sav", A1}},
       {{.args = {"run", "KALVO={inst}", "NICE=0", "A==5"},
         .env = {{"FRAMETEST_REDUCED", "1"}, {"KALVO", "/elsewhere"}},
         .out = kBanner + "KALVO={inst}\n",
         .files = {{"{work}/run.sav", A1}, {"{inst}/frametest.cfg", std::nullopt}}}}},
      {"reduced start: KALVO from the environment, same limit",
       {},
       {{.args = {}, .env = {{"FRAMETEST_REDUCED", "1"}}, .out = kBanner + "KALVO={inst}\n"},
        {.args = {},
         .env = {{"FRAMETEST_REDUCED", "1"}, {"KALVO", std::string(8001, 'k')}},
         .status = 250,
         .outhas = {"environment KALVO string overflow"}}}},
  };
}

TEST(ProgramFrame, Runs) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    ktest::TempInstall inst({"err.msg"});
    ktest::TempDir work;
    auto X = [&](const std::string& s) { return expand(s, work.path(), inst.path()); };
    for (const auto& [path, content] : c.setup) ktest::write_file(X(path), content);
    int n = 0;
    for (const FrameRun& r : c.runs) {
      SCOPED_TRACE("run " + std::to_string(++n));
      std::vector<std::string> args;
      for (const auto& a : r.args) args.push_back(X(a));
      std::map<std::string, std::string> env = {{"KALVO", inst.path()}};
      for (const auto& [k, v] : r.env) env[k] = X(v);
      ktest::RunResult res =
          ktest::run_program(ktest::program_path("frametest"), args, X(r.cwd), env);
      EXPECT_EQ(res.status, r.status) << res.out;
      if (r.out) {
        EXPECT_EQ(res.out, X(*r.out));
      }
      for (const auto& piece : r.outhas)
        EXPECT_NE(res.out.find(X(piece)), std::string::npos) << res.out;
      for (const auto& [path, content] : r.files) {
        std::string p = X(path);
        if (!content) {
          EXPECT_FALSE(ktest::file_exists(p)) << p;
        } else {
          ASSERT_TRUE(ktest::file_exists(p)) << p;
          EXPECT_EQ(ktest::read_file(p), X(*content)) << p;
        }
      }
    }
    // No temporary file is ever left behind.
    for (const std::string& dir : {work.path(), inst.path()})
      for (const auto& e : std::filesystem::directory_iterator(dir))
        EXPECT_NE(e.path().filename().string().rfind(".sav", 0), 0u) << e.path();
  }
}

// ---------------------------------------------------------------------------
// Files are never lost: control and configuration files that cannot be read
// or written, directories and links in their places, arguments that would
// break the file's lines, and signals. The program runs as a user (not as
// the superuser, who may read a file without read permission).

// What a case puts in place before the run; paths may use {work} and {inst}.
struct Entry {
  std::string path;
  std::string content = {};
  unsigned mode = 0666;
  std::string link = {};  // not empty: a symbolic link to this target
  bool dir = false;       // a directory (holding the file "keep")
};

struct FileCase {
  const char* name;
  std::vector<Entry> setup;
  std::vector<std::string> args;
  std::map<std::string, std::string> env = {};
  int status = 0;
  std::vector<std::string> outhas = {};
  std::vector<std::string> outlacks = {};
  std::map<std::string, std::optional<std::string>> files = {};  // nullopt: absent
  std::vector<std::string> links = {};  // still symbolic links after the run
  std::vector<std::string> dirs = {};   // still directories with their "keep"
  // Needs a user other than the superuser, who reads and writes regardless
  // of permissions.
  bool asuser = false;
};

std::string msg255(const std::string& name) { return ktest::message(255, name.c_str()); }
std::string msg256() { return ktest::message(256, "frametest.cfg"); }

std::vector<FileCase> filecases() {
  const std::string mine = "%the user's own comment\nA==1\nEVAL=A+1\n";
  const std::string cfg = "%configuration\nX=1\n";
  const Entry control{"{work}/run.sav", mine};
  const Entry config{"{inst}/frametest.cfg", cfg};
  const std::string saved =
      "%the user's own comment\n" + A1 + "EVAL=A+1\n" + B2 + "RESULT==2.0000000000000000E+00 \n";
  // The configuration keeps its comment, like the control file.
  const std::string savedcfg = "%configuration\nX=1\nSAVEFILE=run.sav\n";
  return {
      {"control file without read permission: never replaced",
       {{"{work}/run.sav", mine, 0}, config},
       {"run", "B==2"},
       {},
       92,
       {kNoControl, msg255("run.sav")},
       {"EVAL="},
       {{"{work}/run.sav", mine}, {"{inst}/frametest.cfg", savedcfg}},
       {},
       {},
       true},
      {"control file the user may write but not read: never replaced",
       {{"{work}/run.sav", mine, 0200}, config},
       {"run", "B==2"},
       {},
       92,
       {kNoControl, msg255("run.sav")},
       {"EVAL="},
       {{"{work}/run.sav", mine}},
       {},
       {},
       true},
      {"write-protected control file: read, not replaced",
       {{"{work}/run.sav", mine, 0444}, config},
       {"run", "B==2"},
       {},
       93,
       {"EVAL=2\n", msg255("run.sav")},
       {kNoControl},
       {{"{work}/run.sav", mine}}},
      {"directory in the control file's place",
       {{"{work}/run.sav", "", 0777, "", true}, config},
       {"run", "B==2"},
       {},
       92,
       {kNoControl, msg255("run.sav")},
       {},
       {},
       {},
       {"{work}/run.sav"}},
      {"control file in a write-protected directory",
       {{"{work}/ro", "", 0555, "", true}, {"{work}/ro/run.sav", mine, 0666}, config},
       {"ro/run", "B==2"},
       {},
       93,
       {"EVAL=2\n", msg255("ro/run.sav")},
       {},
       {{"{work}/ro/run.sav", mine}},
       {},
       {},
       true},
      {"control file a link: the target is rewritten, the link stays",
       {{"{work}/real", "", 0777, "", true},
        {"{work}/real/target.sav", mine},
        config,
        {"{work}/run.sav", "", 0, "real/target.sav"}},
       {"run", "B==2"},
       {},
       0,
       {"EVAL=2\n"},
       {kNoControl, msg255("run.sav")},
       {{"{work}/real/target.sav", saved}, {"{inst}/frametest.cfg", savedcfg}},
       {"{work}/run.sav"}},
      {"control file a dangling link: its target is created",
       {config, {"{work}/run.sav", "", 0, "{work}/made.sav"}},
       {"run", "B==2"},
       {},
       0,
       {kNoControl},
       {msg255("run.sav")},
       {{"{work}/made.sav", B2}},
       {"{work}/run.sav"}},
      {"configuration file without read permission: warned, never replaced",
       {control, {"{inst}/frametest.cfg", cfg, 0}},
       {"run", "B==2"},
       {},
       0,
       {ktest::message(86, "frametest.cfg"), msg256()},
       {},
       {{"{work}/run.sav", saved}, {"{inst}/frametest.cfg", cfg}},
       {},
       {},
       true},
      {"configuration file without read permission and no control file named",
       {{"{inst}/frametest.cfg", cfg, 0}},
       {},
       {},
       1,
       {ktest::message(-1, "frametest.cfg")},
       {},
       {{"{inst}/frametest.cfg", cfg}},
       {},
       {},
       true},
      {"write-protected configuration file: read, not replaced",
       {control, {"{inst}/frametest.cfg", cfg + "EVAL=X*5\n", 0444}},
       {"run"},
       {},
       0,
       {msg256()},
       {},
       {{"{inst}/frametest.cfg", cfg + "EVAL=X*5\n"}}},
      {"directory in the configuration file's place",
       {control, {"{inst}/frametest.cfg", "", 0777, "", true}},
       {"run", "B==2"},
       {},
       0,
       {ktest::message(86, "frametest.cfg"), msg256()},
       {},
       {{"{work}/run.sav", saved}},
       {},
       {"{inst}/frametest.cfg"}},
      {"configuration file a link, and a dangling link",
       {control, {"{work}/realcfg", cfg}, {"{inst}/frametest.cfg", "", 0, "{work}/realcfg"}},
       {"run", "B==2"},
       {},
       0,
       {},
       {msg256()},
       {{"{work}/realcfg", savedcfg}},
       {"{inst}/frametest.cfg"}},
      {"configuration file a dangling link: its target is created",
       {control, {"{inst}/frametest.cfg", "", 0, "{work}/madecfg"}},
       {"run", "B==2"},
       {},
       0,
       {},
       {msg256()},
       {{"{work}/madecfg", "SAVEFILE=run.sav\n"}},
       {"{inst}/frametest.cfg"}},
      {"a line feed in a command-line value is refused before anything is written",
       {control, config},
       {"run", "TITEL=x\nLINTOR=other"},
       {},
       85,
       {ktest::message(-85, 2, "TITEL=x\\nLINTOR=other")},
       {"EVAL="},
       {{"{work}/run.sav", mine}, {"{inst}/frametest.cfg", cfg}}},
      {"other control characters too, also in the control file's name; a tab is kept",
       {control, config},
       {"ru\x01n", "T=a\tb"},
       {},
       85,
       {ktest::message(-85, 1, "ru\\x01n")},
       {},
       {{"{work}/run.sav", mine}, {"{inst}/frametest.cfg", cfg}}},
      {"a tab is an ordinary character",
       {control, config},
       {"run", "T=a\tb"},
       {},
       0,
       {},
       {},
       {{"{work}/run.sav", "%the user's own comment\n" + A1 +
                               "EVAL=A+1\nT=a\tb\nRESULT==2.0000000000000000E+00 \n"}}},
      {"reduced start refuses them as well",
       {},
       {"run", "A=a\rb"},
       {{"FRAMETEST_REDUCED", "1"}},
       85,
       {ktest::message(-85, 2, "A=a\\rb")},
       {"KALVO="}},
      {"an interrupt or termination removes the file being written and ends the run",
       {control, config},
       {"run", "B==2"},
       {{"FRAMETEST_RAISE", std::to_string(SIGTERM)}},
       128 + SIGTERM,
       {},
       {},
       {{"{work}/run.sav", mine}, {"{work}/partial.out", std::nullopt}}},
      {"a broken pipe does not end the run",
       {control, config},
       {"run", "B==2"},
       {{"FRAMETEST_RAISE", std::to_string(SIGPIPE)}},
       0,
       {},
       {},
       {{"{work}/run.sav", saved}, {"{work}/partial.out", std::nullopt}}},
      {"the file-size limit does not end the run",
       {control, config},
       {"run", "B==2"},
       {{"FRAMETEST_RAISE", std::to_string(SIGXFSZ)}},
       0,
       {},
       {},
       {{"{work}/run.sav", saved}, {"{work}/partial.out", std::nullopt}}},
  };
}

void runfilecase(const FileCase& c) {
  SCOPED_TRACE(c.name);
  ktest::TempInstall inst({"err.msg"});
  ktest::TempDir work;
  auto X = [&](const std::string& s) { return expand(s, work.path(), inst.path()); };
  // The user reaches both folders, and the files of the run are the user's.
  ::chmod(work.path().c_str(), 0777);
  ::chmod(inst.path().c_str(), 0777);
  for (const Entry& e : c.setup) {
    std::string p = X(e.path);
    if (!e.link.empty()) {
      ASSERT_EQ(::symlink(X(e.link).c_str(), p.c_str()), 0) << p;
    } else if (e.dir) {
      ASSERT_EQ(::mkdir(p.c_str(), 0777), 0) << p;
      ktest::write_file(p + "/keep", "x");
      ::chmod(p.c_str(), e.mode);
    } else {
      ktest::write_file(p, e.content);
      ::chmod(p.c_str(), e.mode);
    }
    if (c.asuser) ktest::give_to_unprivileged(p);
  }
  std::vector<std::string> args;
  for (const auto& a : c.args) args.push_back(X(a));
  std::map<std::string, std::string> env = {{"KALVO", inst.path()}};
  for (const auto& [k, v] : c.env) env[k] = X(v);
  ktest::RunResult res =
      c.asuser ? ktest::run_unprivileged(ktest::program_path("frametest"), args, work.path(), env)
               : ktest::run_program(ktest::program_path("frametest"), args, work.path(), env);
  EXPECT_EQ(res.status, c.status) << res.out;
  EXPECT_EQ(res.out.rfind(kBanner, 0), 0u) << res.out;
  for (const auto& piece : c.outhas)
    EXPECT_NE(res.out.find(X(piece)), std::string::npos) << piece << "\n" << res.out;
  for (const auto& piece : c.outlacks)
    EXPECT_EQ(res.out.find(X(piece)), std::string::npos) << piece << "\n" << res.out;
  for (const auto& [path, content] : c.files) {
    std::string p = X(path);
    if (!content) {
      EXPECT_FALSE(ktest::file_exists(p)) << p;
    } else {
      EXPECT_EQ(ktest::read_file(p), X(*content)) << p;
    }
  }
  for (const auto& l : c.links) {
    struct stat st;
    ASSERT_EQ(::lstat(X(l).c_str(), &st), 0) << l;
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << l;
  }
  for (const auto& d : c.dirs) EXPECT_TRUE(ktest::file_exists(X(d) + "/keep")) << d;
  // No temporary file is left anywhere.
  for (const std::string& dir : {work.path(), inst.path()})
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
      EXPECT_NE(e.path().filename().string().rfind(".tmp", 0), 0u) << e.path();
}

TEST(ProgramFrame, FilesAreNeverLost) {
  for (const FileCase& c : filecases())
    if (!c.asuser) runfilecase(c);
}

// Files the user may not read, or in a folder the user may not write.
TEST(ProgramFrame, FilesTheUserMayNotReadOrWriteAreNeverLost) {
  if (!ktest::can_run_unprivileged())
    GTEST_SKIP() << "needs to run as root with the user nobody and setpriv";
  for (const FileCase& c : filecases())
    if (c.asuser) runfilecase(c);
}

// Output into a pipe nobody reads any more (a run piped into a pager that was
// closed) fails the writes to standard output; the run goes on to its end and
// saves its control file.
TEST(ProgramFrame, BrokenPipeOnStandardOutputDoesNotEndTheRun) {
  ktest::TempInstall inst({"err.msg"});
  ktest::TempDir work;
  ktest::write_file(work.file("run.sav"), "A==1\nEVAL=A+1\n");
  std::string program = ktest::program_path("frametest");
  ktest::RunResult r = ktest::run_in_child([&] {
    int p[2];
    if (::pipe(p) != 0) std::_Exit(126);
    ::close(p[0]);
    ::dup2(p[1], 1);
    std::signal(SIGPIPE, SIG_DFL);
    if (::chdir(work.path().c_str()) != 0) std::_Exit(126);
    ::setenv("KALVO", inst.path().c_str(), 1);
    ::execl(program.c_str(), program.c_str(), "run", "B==2", static_cast<char*>(nullptr));
    std::_Exit(127);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ktest::read_file(work.file("run.sav")),
            A1 + "EVAL=A+1\n" + B2 + "RESULT==2.0000000000000000E+00 \n");
}

}  // namespace

}  // namespace core
