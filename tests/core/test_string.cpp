#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
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

// The fixed notation of fixedtext is what printf writes, digit for digit:
// rounding ties (exact binary halves) go to the even digit, values just
// beside a tie go their own way, negative values that round to zero keep
// their sign, and values beyond its range are left to the caller.
TEST(StringHelpers, FixedTextWritesWhatPrintfWrites) {
  auto check = [](double v, int p) {
    char want[400];
    std::snprintf(want, sizeof want, "%.*f", p, v);
    char got[64];
    const int n = fixedtext(v, p, got);
    ASSERT_GE(n, 0) << want;
    EXPECT_EQ(std::string(got, static_cast<size_t>(n)), want) << "precision " << p;
  };
  const double edges[] = {0.0,    -0.0,          0.125,  0.375,   2.5,      3.5,      -2.5,
                          0.005,  2.675,         1e-300, -1e-300, 4.9e-324, 0.9999,   99.995,
                          1234.5, 8589934591.75, -0.004, -0.005,  0.015,    1.0 / 3.0};
  for (double v : edges)
    for (int p = 0; p <= 9; ++p) check(v, p);
  // Halves of the last digit, exactly representable, and their neighbours.
  for (int k = 0; k < 2000; ++k)
    for (int p = 0; p <= 3; ++p) {
      const double tie = (k + 0.5) / std::pow(10.0, p);
      check(tie, p);
      check(std::nextafter(tie, 0.0), p);
      check(std::nextafter(tie, 1e9), p);
    }
  // Values of every size the diagram writes: single-precision intensities
  // and angles, as doubles, of either sign.
  uint64_t state = 88172645463325252ull;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (int i = 0; i < 200000; ++i) {
    const double mantissa = static_cast<double>(next() >> 11) / 9007199254740992.0;
    const double v = std::ldexp(mantissa, static_cast<int>(next() % 60) - 27);
    const double s = (next() & 1) != 0 ? -v : v;
    check(s, static_cast<int>(next() % 10));
    check(static_cast<double>(static_cast<float>(s)), 2);
  }
  char buf[64];
  for (double v : {std::numeric_limits<double>::infinity(), std::nan(""), 8589934592.0, -1e300})
    EXPECT_EQ(fixedtext(v, 2, buf), -1) << v;
  EXPECT_EQ(fixedtext(1.0, 10, buf), -1);
  EXPECT_EQ(fixedtext(1.0, -1, buf), -1);
}

}  // namespace core
