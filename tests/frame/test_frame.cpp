// End-to-end runs of the common program frame through its test program: each
// run checks the rewritten control file, the configuration file, standard
// output and the exit status.
#include <gtest/gtest.h>

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
                   {"{inst}/frametest.cfg", "CFGKEY=1\nSAVEFILE=run.sav\n"}}}}},
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
         .status = 1,
         .out = kBanner + "(E) bad line\n    wrong data element in restored file at line 3\n",
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
         .out = kBanner + kNoControl +
                "--- control file {work}/nodir/run.sav cannot be written; it was left as it was\n",
         .files = {{"{inst}/frametest.cfg", "SAVEFILE={work}/nodir/run.sav\n"}}}}},
      {"writes fail: control and configuration files stay as they were",
       {{"{inst}/frametest.cfg", "CFG=a long enough configuration value\n"},
        {"{work}/run.sav", "%keep\nA==1\nEVAL=A+1\nTITLE=a control file longer than the limit\n"}},
       {{.args = {"run", "B==3"},
         .env = {{"FRAMETEST_FSIZE", "20"}},
         .out = kBanner + "EVAL=2\n" +
                "--- control file run.sav cannot be written; it was left as it was\n" +
                "--- configuration file frametest.cfg cannot be written; it was left as it was\n",
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

}  // namespace

}  // namespace core
