// The common writer: a file is replaced whole or not at all, links are
// followed, write-protected files are left alone, and no temporary file
// survives a failure or a fatal end.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include <gtest/gtest.h>

#include "core/fatal.hpp"
#include "core/outfile.hpp"
#include "testsupport.hpp"

namespace core {

namespace {

using ktest::read_file;
using ktest::TempDir;
using ktest::write_file;

int entries(const std::string& dir) {
  int count = 0;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++count;
  closedir(d);
  return count;
}

bool put(const std::string& path, const char* text) {
  return core::writefile(path.c_str(), [text](FILE* f) { return std::fputs(text, f) >= 0; });
}

TEST(OutFile, ReplacesWholeKeepingModeAndLeavesNothingElse) {
  TempDir dir;
  std::string p = dir.file("a.sav");
  ASSERT_TRUE(put(p, "one\n"));
  chmod(p.c_str(), 0640);
  ASSERT_TRUE(put(p, "two\n"));
  EXPECT_EQ(read_file(p), "two\n");
  struct stat st;
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(entries(dir.path()), 1);
}

TEST(OutFile, FollowsLinksAndCreatesADanglingLinksTarget) {
  TempDir dir;
  write_file(dir.file("target.sav"), "old\n");
  ASSERT_EQ(symlink("target.sav", dir.file("link.sav").c_str()), 0);
  ASSERT_TRUE(put(dir.file("link.sav"), "new\n"));
  struct stat st;
  ASSERT_EQ(lstat(dir.file("link.sav").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(read_file(dir.file("target.sav")), "new\n");

  ASSERT_EQ(symlink("absent.sav", dir.file("dangling.sav").c_str()), 0);
  ASSERT_TRUE(put(dir.file("dangling.sav"), "made\n"));
  EXPECT_EQ(read_file(dir.file("absent.sav")), "made\n");
  ASSERT_EQ(lstat(dir.file("dangling.sav").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(OutFile, RefusesWhatMayNotBeReplaced) {
  TempDir dir;
  std::string ro = dir.file("ro.sav");
  write_file(ro, "keep\n");
  chmod(ro.c_str(), 0444);
  EXPECT_FALSE(put(ro, "lost\n"));
  EXPECT_EQ(read_file(ro), "keep\n");
  mkdir(dir.file("sub").c_str(), 0755);
  EXPECT_FALSE(put(dir.file("sub"), "x"));
  EXPECT_FALSE(put(dir.file("missing/dir/f.sav"), "x"));
  EXPECT_EQ(entries(dir.path()), 2);
}

TEST(OutFile, FailedFillOrDiscardLeavesTheOldFile) {
  TempDir dir;
  std::string p = dir.file("f.par");
  write_file(p, "old\n");
  EXPECT_FALSE(core::writefile(p.c_str(), [](FILE* f) {
    std::fputs("half", f);
    return false;
  }));
  {
    core::OutFile out;
    ASSERT_TRUE(out.open(p));
    std::fputs("never committed", out.file());
  }
  EXPECT_EQ(read_file(p), "old\n");
  EXPECT_EQ(entries(dir.path()), 1);
}

TEST(OutFile, FileSizeLimitIsAFailureNotAKill) {
  TempDir dir;
  std::string p = dir.file("big.geq");
  write_file(p, "old\n");
  ktest::RunResult r = ktest::run_in_child([&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &lim);
    std::string block(100000, 'x');
    bool ok =
        core::writefile(p.c_str(), [&](FILE* f) { return std::fputs(block.c_str(), f) >= 0; });
    std::_Exit(ok ? 0 : 3);
  });
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(read_file(p), "old\n");
  EXPECT_EQ(entries(dir.path()), 1);
}

TEST(OutFile, FatalEndRemovesTheTemporaryFile) {
  TempDir dir;
  std::string p = dir.file("out.lst");
  ktest::RunResult r = ktest::run_in_child([&] {
    static core::OutFile out;
    if (!out.open(p)) std::_Exit(9);
    std::fputs("partial", out.file());
    fatal_exit(35);
  });
  EXPECT_EQ(r.status, 35);
  EXPECT_EQ(entries(dir.path()), 0);
}

}  // namespace

}  // namespace core
