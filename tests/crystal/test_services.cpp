// Small services of the refinement: structure-file items with comment lines
// and push-back, the time of day, and symmetry-operator components as decimals.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "core/data.hpp"
#include "crystal/services.hpp"
#include "crystal_harness.hpp"

namespace {

using namespace core;
using namespace crystal;

using Items = std::vector<std::pair<std::string, int>>;

// Opens the text as the structure file; closed at the end.
struct StructureFile {
  explicit StructureFile(const std::string& text) {
    ktest::write_file(dir.file("phase.str"), text);
    bufferfile = std::fopen(dir.file("phase.str").c_str(), "r");
    newline = 0;
  }
  ~StructureFile() {
    std::fclose(bufferfile);
    bufferfile = nullptr;
    std::free(backbuffer);
    backbuffer = nullptr;
  }
  // Every item up to the end of the file, with its flag; the end included.
  Items all() {
    Items got;
    char item[8001];
    for (int guard = 0; guard < 100; ++guard) {
      int flag = readbufferfile(item);
      got.emplace_back(item, flag);
      if (item[0] == 0) break;
    }
    return got;
  }
  ktest::TempDir dir;
};

TEST(StructureItems, CommentsLineEndsAndTheEnd) {
  struct Case {
    const char* text;
    Items items;
  };
  const Case cases[] = {
      {"A=1 B=2\nC=3\n", {{"A=1", 0}, {"B=2", 0}, {"C=3", 1}, {"", 1}}},
      // A "//" item skips the rest of its line; "//x" is an ordinary item.
      {"A=1 // B=2 C=3\n//x D=4\n", {{"A=1", 0}, {"//x", 1}, {"D=4", 0}, {"", 1}}},
      // Empty lines and lines of blanks are skipped.
      {"\n\n   \nA=1\n\n  B=2", {{"A=1", 1}, {"B=2", 1}, {"", 1}}},
      // Only comment lines left: the empty item and 1.
      {"A=1\n// one\n//\n// three", {{"A=1", 0}, {"", 1}}},
      {"", {{"", 1}}},
      // A formula inside an open bracket goes on over the line end.
      {"x=f(1,\n2) y=3\n", {{"x=f(1,2)", 0}, {"y=3", 0}, {"", 1}}},
      // CRLF line ends read like LF.
      {"A=1 B=2\r\n\r\nC=3\r\n", {{"A=1", 0}, {"B=2", 0}, {"C=3", 1}, {"", 1}}},
  };
  for (const Case& c : cases) {
    StructureFile f(c.text);
    EXPECT_EQ(f.all(), c.items) << c.text;
  }
}

TEST(StructureItems, PushedBackItemComesFirstWithItsFlag) {
  StructureFile f("A=1\nE=Si x=0\n");
  char item[8001];
  EXPECT_EQ(readbufferfile(item), 0);
  EXPECT_STREQ(item, "A=1");
  EXPECT_EQ(readbufferfile(item), 1);
  EXPECT_STREQ(item, "E=Si");
  // One item too far: kept back and delivered again, still first of its line.
  backbuffer = strdup(item);
  std::memset(item, 0, sizeof item);
  EXPECT_EQ(readbufferfile(item), 1);
  EXPECT_STREQ(item, "E=Si");
  EXPECT_EQ(backbuffer, nullptr);
  EXPECT_EQ(readbufferfile(item), 0);
  EXPECT_STREQ(item, "x=0");
}

TEST(StructureItems, TimeOfDayAsCtimeWritesIt) {
  char text[64];
  std::time_t before = std::time(nullptr);
  settime(text);
  std::time_t after = std::time(nullptr);
  // "Www Mmm dd hh:mm:ss yyyy": letters, digits and separators in place.
  const char* shape = "Aaa Aaa 99 99:99:99 9999";
  ASSERT_EQ(std::strlen(text), std::strlen(shape)) << text;
  for (size_t i = 0; shape[i] != 0; ++i) {
    char want = shape[i], got = text[i];
    bool fits = want == 'A'   ? std::isupper(static_cast<unsigned char>(got))
                : want == 'a' ? std::islower(static_cast<unsigned char>(got))
                : want == '9'
                    ? std::isdigit(static_cast<unsigned char>(got)) || (i == 8 && got == ' ')
                    : got == want;
    EXPECT_TRUE(fits) << text << " at " << i;
  }
  char a[64], b[64];
  ctime_r(&before, a);
  ctime_r(&after, b);
  EXPECT_TRUE(std::string(a) == std::string(text) + "\n" ||
              std::string(b) == std::string(text) + "\n")
      << text;
}

TEST(SymmetryText, ComponentsAsDecimals) {
  const std::pair<const char*, const char*> cases[] = {
      {"x", "X"},
      {"-y", "-Y"},
      {"x+1/2", "X+0.5"},
      {"-y+1/3", "-Y+0.33333"},
      {"4/2+z", "2.+Z"},
      {"1/4", "0.25"},
      {"x-y+2/3", "X-Y+0.66667"},
      {"z+5/6", "Z+0.83333"},
      {"-x+1/8", "-X+0.125"},
      {"2*x+10/4", "2*X+2.5"},
  };
  for (const auto& [in, want] : cases) {
    char out[64];
    EXPECT_STREQ(symmout(in, out), want) << in;
  }
}

TEST(SymmetryText, MalformedFractionIsADataError) {
  ktest::CrystalInstall inst({"err.msg"});
  for (const char* in : {"x+/2", "x+1/", "/", "x+1/0"}) {
    auto r = ktest::run_in_child([&] {
      char out[64];
      bool ok = dataerr_try([&] { symmout(in, out); });
      std::fflush(stdout);
      std::_Exit(ok ? 0 : 3);
    });
    EXPECT_EQ(r.status, 3) << in;
    EXPECT_EQ(r.out, ktest::message(-129, in)) << in;
  }
}

}  // namespace
