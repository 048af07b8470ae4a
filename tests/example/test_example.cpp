// The worked example (examples/run.sh) run as a person runs it: every file a
// step line names is there afterwards, the shipped data/ is left as it was
// even with KALVO naming it, the refined cell of PbSO4 is printed beside the
// round-robin values and lies within 0.003 angstrom of them, a broken input
// shows the failing program's own message and ends the example with that
// program's status, and a folder that is not a results folder is never
// emptied. The example's cell check fails on a cell that misses.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.hpp"

namespace fs = std::filesystem;

namespace {

const std::string kScript = std::string(KALVO_SOURCE_DIR) + "/examples/run.sh";

// Every file of a directory tree with its contents.
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file())
      files[fs::relative(e.path(), dir).string()] = ktest::read_file(e.path());
  return files;
}

ktest::RunResult example(const std::string& script, const std::string& cwd,
                         const std::string& out) {
  // KALVO names the shipped data: the example must not use it.
  return ktest::run_program("/bin/bash", {script, "--bin", KALVO_BIN_DIR, "--out", out}, cwd,
                            {{"KALVO", KALVO_SOURCE_DATA}}, 300);
}

struct StepLine {
  int number;
  std::string program;
  std::vector<std::string> files;
};

// The lines " N. program  what -> file, file" of an example's output.
std::vector<StepLine> steps(const std::string& out) {
  std::vector<StepLine> found;
  std::istringstream in(out);
  std::string text;
  while (std::getline(in, text)) {
    ktest::LineReader r(text);
    r.literal(" ", true);
    const std::string number = r.run(ktest::kDigits);
    r.literal(". ");
    const std::string program = r.word();
    r.run(" ");
    r.until_last(" -> ");
    r.literal(" -> ");
    const std::string list = r.until_last("");
    if (!r.done()) continue;
    StepLine s{std::stoi(number), program, {}};
    for (size_t at = 0; at <= list.size();) {
      size_t comma = list.find(", ", at);
      if (comma == std::string::npos) comma = list.size();
      s.files.push_back(list.substr(at, comma - at));
      at = comma + 2;
    }
    found.push_back(s);
  }
  return found;
}

// The example draws with gnuplot and will not start without it
// (tools/install-deps.sh installs it).
class Example : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool gnuplot =
        ktest::run_program("/bin/sh", {"-c", "command -v gnuplot"}, ".").status == 0;
    if (!gnuplot) GTEST_SKIP() << "gnuplot is not installed (tools/install-deps.sh installs it)";
  }
};

// The refined cell edges as the example prints them ("    a   8.48182 ...").
std::map<char, double> printedcell(const std::string& out) {
  std::map<char, double> cell;
  std::istringstream in(out);
  std::string text;
  while (std::getline(in, text)) {
    ktest::LineReader r(text);
    r.run(" ");
    const std::string edge = r.run("abc");
    r.run(" ");
    const std::string value = r.decimal();
    r.run(" ");
    r.decimal();
    r.run(" ");
    const std::string sign = r.run("+-");
    r.run(ktest::kDigits + ".");
    if (r.done() && edge.size() == 1 && sign.size() == 1) cell[edge[0]] = std::stod(value);
  }
  return cell;
}

TEST_F(Example, KeepsWhatItsLinesNameInItsFolderAndLeavesDataAlone) {
  auto before = snapshot(KALVO_SOURCE_DATA);
  ktest::TempDir work;
  auto r = example(kScript, work.path(), "results");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");

  auto lines = steps(r.out);
  ASSERT_FALSE(lines.empty()) << r.out;
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].number, static_cast<int>(i) + 1) << r.out;
    for (auto& f : lines[i].files) {
      // Named relative to the directory the example was started from.
      EXPECT_EQ(f.rfind("results/", 0), 0u) << f;
      EXPECT_TRUE(fs::is_regular_file(work.file(f))) << "step " << lines[i].number << ": " << f;
    }
  }
  EXPECT_NE(r.out.find("The results are in results/"), std::string::npos) << r.out;

  // PbSO4 refined to the round-robin cell (Hill 1992), and drawn.
  auto cell = printedcell(r.out);
  EXPECT_NEAR(cell['a'], 8.4803, 0.003) << r.out;
  EXPECT_NEAR(cell['b'], 5.3986, 0.003) << r.out;
  EXPECT_NEAR(cell['c'], 6.9600, 0.003) << r.out;
  EXPECT_NE(r.out.find("Rwp = "), std::string::npos) << r.out;
  EXPECT_EQ(ktest::read_file(work.file("results/pbso4.png")).compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
  EXPECT_TRUE(fs::is_regular_file(work.file("results/logs/1-" + lines[0].program + ".log")));

  // The run's own installation started as a copy of data/; data/ itself is
  // unchanged and holds nothing new.
  auto installed = snapshot(work.file("results/install"));
  for (auto& [name, content] : before) EXPECT_TRUE(installed.count(name)) << name;
  EXPECT_EQ(snapshot(KALVO_SOURCE_DATA), before);
}

TEST_F(Example, ABrokenInputShowsTheProgramsMessageAndEndsWithItsStatus) {
  // A copy of the example in a tree that links everything else of the
  // source tree, with the instrument profile's record at theta = 40
  // announcing four lines where it has three.
  ktest::TempDir work;
  for (auto& e : fs::directory_iterator(KALVO_SOURCE_DIR)) {
    std::string name = e.path().filename().string();
    if (name == "examples")
      fs::copy(e.path(), work.file(name), fs::copy_options::recursive);
    else if (name != "build")
      fs::create_symlink(e.path(), work.file(name));
  }
  std::string ger = ktest::read_file(work.file("examples/instrument.ger"));
  size_t at = ger.find("THETA=40 N=3");
  ASSERT_NE(at, std::string::npos);
  ger.replace(at, 12, "THETA=40 N=4");
  ktest::write_file(work.file("examples/instrument.ger"), ger);

  auto r = example(work.file("examples/run.sh"), work.path(), "results");
  EXPECT_EQ(r.status, 11) << r.out << r.err;
  EXPECT_NE(r.err.find(ktest::message(-11, "instrument.ger", 22)), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Step 2 (quindle) failed: quindle ended with status 11"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("results/logs/2-quindle.log"), std::string::npos) << r.err;
  // The steps before it report what they made; none after it runs.
  auto lines = steps(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  EXPECT_EQ(lines[0].program, "ordanix");
  EXPECT_FALSE(fs::exists(work.file("results/logs/3-probast.log")));
}

TEST_F(Example, LeavesAFolderThatIsNotAResultsFolderAlone) {
  ktest::TempDir work;
  ktest::write_file(work.file("notes.txt"), "my own notes\n");
  auto r = example(kScript, work.path(), ".");
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("is not a results folder of the example"), std::string::npos) << r.err;
  EXPECT_EQ(ktest::read_file(work.file("notes.txt")), "my own notes\n");
}

// The example's check of the refined cell on list files of its own making: a
// cell within 0.003 angstrom of the round-robin values passes (the first
// phase's edges count), an edge further off, not refined or missing fails
// the step, and the table names the edge.
TEST(ExampleCellCheck, FailsOnAnEdgeThatMissesOrIsNotRefined) {
  const std::string script = std::string(KALVO_SOURCE_DIR) + "/examples/cell.awk";
  const std::string rvalues = "Rp=6.00%  Rpb=7.00%  R=6.50%  Rwp=7.50% Rexp=4.49%\n";
  struct Case {
    const char* what;
    std::string list;
    int status;
    const char* row;  // the start of the table row of the edge that decides
  } cases[] = {
      {"within", "A=8.48182+-0.00015\nB=5.3999+-0.0001\nC=6.9585+-0.0001\nA=4.1569\n", 0,
       "    a      8.48182      8.4803       +0.0015"},
      {"a too long", "A=8.4834+-0.0001\nB=5.3986+-0.0001\nC=6.9600+-0.0001\n", 1,
       "    a      8.4834       8.4803       +0.0031, more than 0.003 off"},
      {"c too short", "A=8.4803+-0.0001\nB=5.3986+-0.0001\nC=6.9569+-0.0001\n", 1,
       "    c      6.9569       6.9600       -0.0031, more than 0.003 off"},
      {"c undefined", "A=8.4803+-0.0001\nB=5.3986+-0.0001\nC=UNDEF\n", 1,
       "    c      UNDEF        6.9600       not refined"},
      {"b missing", "A=8.4803+-0.0001\nC=6.9600+-0.0001\n", 1,
       "    b      -            5.3986       not refined"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ktest::TempDir work;
    ktest::write_file(work.file("pbso4.lst"), rvalues + c.list);
    auto r =
        ktest::run_program("/bin/sh", {"-c", "exec awk -f \"$0\" pbso4.lst", script}, work.path());
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE(r.out.find(c.row), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Rwp = 7.50% with the program's weights"), std::string::npos) << r.out;
  }
}

}  // namespace
