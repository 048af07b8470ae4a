#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/string.hpp"

namespace core {

TEST(StringHelpers, MakeExtension) {
  struct Case {
    const char* path;
    const char* ext;
    int replace;
    const char* want;
  } cases[] = {
      {"dir.x/run", "sav", 0, "dir.x/run.sav"},
      {"run.txt", "sav", 0, "run.txt"},
      {"run.txt", "sav", 1, "run.sav"},
      {"run.txt", "sav", 2, "run.txt"},
      {"", "sav", 0, ".sav"},
      {"a.b/c.d", "ger", 1, "a.b/c.ger"},
      {"c.", "sav", 0, "c."},
      {"c.", "sav", 1, "c.sav"},
  };
  for (const auto& c : cases) {
    char buf[64];
    std::strcpy(buf, c.path);
    makeextension(buf, c.ext, c.replace);
    EXPECT_STREQ(buf, c.want) << c.path << " " << c.replace;
  }
}

TEST(StringHelpers, GetExtension) {
  EXPECT_EQ(getextension("a/b"), nullptr);
  EXPECT_EQ(getextension("a.b/c"), nullptr);
  EXPECT_EQ(getextension(""), nullptr);
  EXPECT_STREQ(getextension("c."), "");
  EXPECT_STREQ(getextension("x/scan.RAW"), "RAW");
  EXPECT_STREQ(getextension("a.tar.gz"), "gz");
}

TEST(StringHelpers, CompareHasTheOppositeSignOfStrcmp) {
  EXPECT_GT(compare("ab", "abc"), 0);
  EXPECT_LT(compare("abc", "ab"), 0);
  EXPECT_EQ(compare("abc", "abc"), 0);
  EXPECT_EQ(compare("", ""), 0);
  EXPECT_EQ(compare("a", "c"), 2);
  // Bytes are taken as signed: a byte above 127 sorts before ASCII.
  EXPECT_GT(compare("\xe9", "a"), 0);
}

TEST(StringHelpers, CopyAndIndex) {
  char buf[32];
  copy("abcdef", 2, 3, buf);
  EXPECT_STREQ(buf, "cde");
  copy("abcdef", 10, 3, buf);
  EXPECT_STREQ(buf, "");
  copy("abcdef", 4, 10, buf);
  EXPECT_STREQ(buf, "ef");
  copy("abcdef", 0, 0, buf);
  EXPECT_STREQ(buf, "");
  copy0x("ab\0cd", 5, buf);
  EXPECT_EQ(std::memcmp(buf, "ab\0cd\0", 6), 0);
  copy0x("abc", 0, buf);
  EXPECT_STREQ(buf, "");

  EXPECT_EQ(charindex("Nn", 'n'), 1);
  EXPECT_EQ(charindex("Nn", 0), -1);
  EXPECT_EQ(charindex("", 'n'), -1);
  EXPECT_EQ(charindex("abc", 'z'), -1);
}

TEST(StringHelpers, AssignAppendCaseAndNumbers) {
  char buf[64];
  assign("Hello", buf);
  append(buf, ", World");
  EXPECT_STREQ(buf, "Hello, World");
  EXPECT_EQ(length(buf), 12);
  char up[64], low[64];
  uppercase("aZ9_\xe4x", up);
  lowercase("aZ9_\xc4X", low);
  EXPECT_STREQ(up, "AZ9_\xe4X");
  EXPECT_STREQ(low, "az9_\xc4x");

  struct {
    int n;
    const char* want;
  } nums[] = {{0, "0"},
              {7, "7"},
              {-42, "-42"},
              {2147483647, "2147483647"},
              {-2147483647 - 1, "-2147483648"}};
  for (auto& c : nums) {
    i10toa(c.n, buf);
    EXPECT_STREQ(buf, c.want);
  }
}

}  // namespace core
