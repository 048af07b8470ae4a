// The common writer: a file is replaced whole or not at all, links are
// followed, write-protected files are left alone, and no temporary file
// survives a failure or a fatal end.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/fatal.hpp"
#include "core/outfile.hpp"
#include "core/velmora.hpp"
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

// A file put in place without waiting for the disk (a diagram written at
// every refinement cycle) is replaced and checked like any other.
TEST(OutFile, WithoutWaitingForTheDiskTheFileIsStillReplacedAndChecked) {
  TempDir dir;
  std::string p = dir.file("run.dia");
  write_file(p, "old\n");
  chmod(p.c_str(), 0640);
  auto text = [](const char* t) { return [t](FILE* f) { return std::fputs(t, f) >= 0; }; };
  ASSERT_TRUE(core::writefile(p.c_str(), text("15.0 93.00\n"), false, true, false));
  EXPECT_EQ(read_file(p), "15.0 93.00\n");
  struct stat st;
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  ktest::TempInstall inst({"err.msg"});
  ktest::RunResult r = ktest::run_in_child([&] {
    std::snprintf(kalvo, sizeof kalvo, "%s", inst.path().c_str());
    std::_Exit(core::writefile(p.c_str(), text("15.0 nan\n"), false, true, false) ? 0 : 3);
  });
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find(ktest::message(320, p.c_str(), 1, "nan")), std::string::npos) << r.out;
  EXPECT_EQ(read_file(p), "15.0 93.00\n");
  EXPECT_EQ(entries(dir.path()), 1);
}

std::vector<std::string> behindfailures;
void behindfailed(const std::string& name) { behindfailures.push_back(name); }

// The temporary files of dir (the writer's ".tmp" names).
std::vector<std::string> temporaries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d))
    if (std::string(e->d_name).rfind(".tmp", 0) == 0) names.push_back(dir + "/" + e->d_name);
  closedir(d);
  return names;
}

// A file put in place behind the caller: after the wait it holds the text
// handed over last (one file at a time, in the order handed over), the
// caller's text storage comes back for the next text, and a file that could
// not be put in place (here: its temporary file gone before the rename) is
// reported once, by name, on the caller's thread at the wait, with the old
// file left as it was and nothing else in the folder.
TEST(OutFile, PutInPlaceBehindTheCaller) {
  TempDir dir;
  const std::string p = dir.file("run.dia");
  write_file(p, "old\n");
  auto handover = [&](const std::string& contents, bool losetemporary) {
    auto out = std::make_unique<OutFile>();
    EXPECT_TRUE(out->open(p));
    out->skipsync();
    if (losetemporary)
      for (const std::string& t : temporaries(dir.path())) ::unlink(t.c_str());
    std::string text = contents;
    writebehind(std::move(out), text, "run.dia", behindfailed);
    EXPECT_NE(text, contents);
  };
  behindfailures.clear();
  handover("first\n", false);
  handover("second\n", false);
  writebehindwait();
  EXPECT_EQ(read_file(p), "second\n");
  EXPECT_TRUE(behindfailures.empty());
  handover("third\n", true);
  writebehindwait();
  EXPECT_EQ(read_file(p), "second\n");
  ASSERT_EQ(behindfailures.size(), 1u);
  EXPECT_EQ(behindfailures[0], "run.dia");
  writebehindwait();
  EXPECT_EQ(behindfailures.size(), 1u);
  EXPECT_EQ(entries(dir.path()), 1);
  // A text with a number that is not finite is looked through before it is
  // handed over: message 320 and the name reported at once, the old file
  // left as it was.
  ktest::TempInstall inst({"err.msg"});
  ktest::RunResult r = ktest::run_in_child([&] {
    std::snprintf(kalvo, sizeof kalvo, "%s", inst.path().c_str());
    handover("15.0 93.00\n15.1 -nan\n", false);
    std::printf("handed over\n");
    std::_Exit(behindfailures.size() == 2 ? 0 : 3);
  });
  EXPECT_EQ(r.status, 0) << r.out;
  const size_t said = r.out.find(ktest::message(320, p.c_str(), 2, "-nan"));
  EXPECT_NE(said, std::string::npos) << r.out;
  EXPECT_LT(said, r.out.find("handed over")) << r.out;
  EXPECT_EQ(read_file(p), "second\n");
  EXPECT_EQ(entries(dir.path()), 1);
  // A child process made after the writer's thread started has a writer of
  // its own. (The thread sanitizer cannot start threads in a child of a
  // process that has several.)
  if (ktest::kThreadSanitizer) return;
  r = ktest::run_in_child([&] {
    handover("child\n", false);
    writebehindwait();
    std::_Exit(read_file(p) == "child\n" && behindfailures.size() == 1 ? 0 : 3);
  });
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(p), "child\n");
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

// The items a number that is not finite is printed as, found as whole
// items only: a title or a word that merely contains them is no such item.
TEST(OutFile, FindsTheFirstItemOfANumberThatIsNotFinite) {
  TempDir dir;
  struct Case {
    const char* text;
    int line;  // 0: none found
    const char* item;
  };
  const Case cases[] = {
      {"PEAKZAHL=1 EPS1=nan EPS2=0\n", 1, "nan"},
      {"2   1.0E+02  2.40\n1 -INF 3\n", 2, "-INF"},
      {"a\nb\n  -nan\n", 3, "-nan"},
      {"x=(1,inf)\n", 1, "inf"},
      {"set ytics 0,Infinity,1", 1, "Infinity"},
      {"TITEL=nan?!sample info=infinite NaNa nano\n", 0, ""},
      {"THETA=25 N=1\n1 0 0.0006\n", 0, ""},
      {"", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    write_file(dir.file("f.txt"), c.text);
    int line = 0;
    std::string item;
    EXPECT_EQ(core::nonfiniteitem(dir.file("f.txt").c_str(), &line, &item), c.line != 0);
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(item, c.item);
    // The same text before it is written.
    line = 0;
    item.clear();
    EXPECT_EQ(core::nonfiniteintext(c.text, &line, &item), c.line != 0);
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(item, c.item);
  }
}

// A long file is read in pieces: an item is judged whole wherever it falls,
// also across the end of a piece (of any size a power of two from 16 KiB to
// 128 KiB), and the line is counted from the start of the file. Each text
// starts at every offset from 12 bytes before such an end to 2 after it,
// behind lines of numbers.
TEST(OutFile, FindsTheItemWhereverItFallsInALongFile) {
  TempDir dir;
  struct Case {
    const char* text;  // placed at the offset
    const char* item;  // the item found, "" for none
  };
  const Case cases[] = {
      {" -nan 1\n", "-nan"},
      {"\nINFINITY\n", "INFINITY"},
      {" inf", "inf"},                       // at the very end of the file
      {" abcdefgnan 1\n", ""},               // a long word ending in nan
      {" nanabcdefg\n", ""},                 // and one starting with it
      {" Infinityx 2.5\n", ""},              // one letter too many
      {" 0123456789nan\n2 +Inf\n", "+Inf"},  // the next line's item
  };
  std::string numbers;
  while (numbers.size() < 140000) numbers += "  12.3456   100.25 -0.50\n";
  for (const size_t piece : {16384, 32768, 65536, 131072}) {
    for (size_t at = piece - 12; at <= piece + 2; ++at) {
      for (const Case& c : cases) {
        const std::string text = numbers.substr(0, at) + c.text;
        SCOPED_TRACE(std::to_string(at) + ": " + c.text);
        write_file(dir.file("f.txt"), text);
        int line = 0;
        std::string item;
        const bool found = core::nonfiniteitem(dir.file("f.txt").c_str(), &line, &item);
        EXPECT_EQ(found, c.item[0] != 0);
        EXPECT_EQ(item, c.item);
        int textline = 0;
        std::string textitem;
        EXPECT_EQ(core::nonfiniteintext(text, &textline, &textitem), found);
        EXPECT_EQ(textitem, item);
        EXPECT_EQ(textline, line);
        if (found) {
          const size_t where = text.rfind(c.item);
          EXPECT_EQ(line,
                    1 + std::count(text.begin(), text.begin() + static_cast<long>(where), '\n'));
        }
      }
    }
  }
}

// A text file about to hold a number that is not finite is not written:
// message 320 names the file and the line, the commit fails as for any other
// failure, the old file stays and no temporary file is left. A binary file
// and a file let through (the control file's own numbers) are written as
// they are.
TEST(OutFile, RefusesATextWithANumberThatIsNotFinite) {
  ktest::TempInstall inst({"err.msg"});
  TempDir dir;
  std::string p = dir.file("out.par");
  write_file(p, "old\n");
  ktest::RunResult r = ktest::run_in_child([&] {
    std::snprintf(kalvo, sizeof kalvo, "%s", inst.path().c_str());
    bool ok = core::writefile(p.c_str(), [](FILE* f) {
      std::fprintf(f, "PEAKZAHL=0 Q=%f\n0 %14.6E\n", 1.5, std::numeric_limits<double>::infinity());
      return true;
    });
    std::_Exit(ok ? 0 : 3);
  });
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find(ktest::message(320, p.c_str(), 2, "INF")), std::string::npos) << r.out;
  EXPECT_EQ(read_file(p), "old\n");
  EXPECT_EQ(entries(dir.path()), 1);

  const std::string nan = "x nan\n";
  auto fill = [&](FILE* f) { return std::fputs(nan.c_str(), f) >= 0; };
  EXPECT_TRUE(core::writefile(dir.file("b.geq").c_str(), fill, true));
  EXPECT_TRUE(core::writefile(dir.file("c.sav").c_str(), fill, false, false));
  EXPECT_EQ(read_file(dir.file("b.geq")), nan);
  EXPECT_EQ(read_file(dir.file("c.sav")), nan);
}

}  // namespace

}  // namespace core
