// The worked example (examples/run.sh) run as a person runs it: every file a
// step line names is there afterwards, the shipped data/ is left as it was
// even with KALVO naming it, a broken input shows the failing program's own
// message and ends the example with that program's status, and a folder that
// is not a results folder is never emptied.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
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
  static const std::regex line(R"(^ ?(\d+)\. (\S+) +.* -> (.*)$)");
  std::vector<StepLine> found;
  std::istringstream in(out);
  std::string text;
  std::smatch m;
  while (std::getline(in, text)) {
    if (!std::regex_match(text, m, line)) continue;
    StepLine s{std::stoi(m[1]), m[2], {}};
    std::string list = m[3];
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

TEST(Example, KeepsWhatItsLinesNameInItsFolderAndLeavesDataAlone) {
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
  EXPECT_TRUE(fs::is_regular_file(work.file("results/logs/1-" + lines[0].program + ".log")));

  // The run's own installation started as a copy of data/; data/ itself is
  // unchanged and holds nothing new.
  auto installed = snapshot(work.file("results/install"));
  for (auto& [name, content] : before) EXPECT_TRUE(installed.count(name)) << name;
  EXPECT_EQ(snapshot(KALVO_SOURCE_DATA), before);
}

TEST(Example, ABrokenInputShowsTheProgramsMessageAndEndsWithItsStatus) {
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

TEST(Example, LeavesAFolderThatIsNotAResultsFolderAlone) {
  ktest::TempDir work;
  ktest::write_file(work.file("notes.txt"), "my own notes\n");
  auto r = example(kScript, work.path(), ".");
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("is not a results folder of the example"), std::string::npos) << r.err;
  EXPECT_EQ(ktest::read_file(work.file("notes.txt")), "my own notes\n");
}

}  // namespace
