// The temporary folders of the tests: removed with everything in them, also
// what a test made read-only, while the targets of links inside them stay as
// they were; a forked child that ends through exit() leaves them to its
// parent.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "testsupport.hpp"

namespace fs = std::filesystem;

namespace {

mode_t mode(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(TempDir, RemovesReadOnlyContentsButLeavesLinkTargetsAlone) {
  ktest::TempDir outside;
  std::string file = outside.file("kept.txt");
  ktest::write_file(file, "kept\n");
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  ASSERT_EQ(chmod(outside.path().c_str(), 0555), 0);
  std::string path;
  {
    ktest::TempDir dir;
    path = dir.path();
    fs::create_directory(dir.file("sub"));
    ktest::write_file(dir.file("sub/locked.txt"), "x");
    fs::create_symlink(file, dir.file("sub/file-link"));
    fs::create_directory_symlink(outside.path(), dir.file("dir-link"));
    ASSERT_EQ(chmod(dir.file("sub/locked.txt").c_str(), 0400), 0);
    ASSERT_EQ(chmod(dir.file("sub").c_str(), 0500), 0);
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(ktest::read_file(file), "kept\n");
  EXPECT_EQ(mode(file), 0444u);
  EXPECT_EQ(mode(outside.path()), 0555u);
}

TEST(TempDir, AChildThatEndsThroughExitLeavesItToTheParent) {
  static ktest::TempDir* dir = nullptr;
  ktest::TempDir parent;
  dir = &parent;
  auto r = ktest::run_in_child([] {
    // The child's copy of the object ends as at the end of the child's scope.
    dir->~TempDir();
    std::exit(0);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(fs::is_directory(parent.path()));
}

}  // namespace
