#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "core/fatal.hpp"
#include "core/velmora.hpp"
#include "testsupport.hpp"

namespace core {

namespace {

void use_installation(const std::string& dir) {
  std::strncpy(kalvo, dir.c_str(), sizeof kalvo - 1);
  nodesfree();
}

}  // namespace

TEST(Catalogue, SignedNumbersEscapesAndComments) {
  ktest::TempDir dir;
  ktest::write_file(dir.file("err.msg"),
                    "% leading comment\n"
                    "-44 fatal memory\n"
                    "44 note memory\n"
                    "% a comment between messages\n"
                    "  7 two\\nlines and a \\t stays\n"
                    "8 old\n"
                    "8 new\n");
  use_installation(dir.path());
  EXPECT_STREQ(errmsg(-44), "fatal memory");
  EXPECT_STREQ(errmsg(44), "note memory");
  EXPECT_STREQ(errmsg(7), "two\nlines and a \\t stays");
  EXPECT_STREQ(errmsg(8), "new");
  nodesfree();
}

TEST(Catalogue, FailuresEndWithTheMessageStatus) {
  struct Case {
    const char* content;  // nullptr: no catalogue at all
    int n;
    const char* out;
    int status;
  } cases[] = {
      {nullptr, -44, "*** err.msg not found, error was -44\n", 44},
      {"5 five\n", -3, "***error -3 not found in err.msg\n", 3},
      {"5 five\n\n6 six\n", -9, "*** wrong line in err.msg, error 0\n", 9},
      {"x five\n", -12, "*** wrong line in err.msg, error 0\n", 12},
      {"12\n", -12, "*** wrong line in err.msg, error 12\n", 12},
      // A failing fatal message whose status would be 0 must not report success.
      {"5 five\n", -256, "***error -256 not found in err.msg\n", 1},
      {"5 five\n", 256, "***error 256 not found in err.msg\n", 1},
  };
  for (const auto& c : cases) {
    ktest::TempDir dir;
    if (c.content) ktest::write_file(dir.file("err.msg"), c.content);
    auto r = ktest::run_in_child([&] {
      use_installation(dir.path());
      errmsg(c.n);
    });
    EXPECT_EQ(r.out, c.out) << c.n;
    EXPECT_EQ(r.status, c.status) << c.n;
  }
}

TEST(Catalogue, ShippedCatalogueIsWellFormed) {
  ktest::TempInstall inst({"err.msg"});
  use_installation(inst.path());
  EXPECT_NE(std::string(errmsg(-44)), "");
  nodesfree();
}

TEST(KalvoOpen, SkipsLeadingCommentLines) {
  ktest::TempDir dir;
  ktest::write_file(dir.file("a.cfg"), "%1\n%2\n%3\nfourth\n%5\n");
  ktest::write_file(dir.file("b.cfg"), "%1\n%2");
  std::strncpy(kalvo, dir.path().c_str(), sizeof kalvo - 1);
  FILE* f = kalvoopen("a.cfg", "r");
  ASSERT_NE(f, nullptr);
  char line[100];
  ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
  EXPECT_STREQ(line, "fourth\n");
  std::fclose(f);
  f = kalvoopen("b.cfg", "r");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::fgetc(f), EOF);
  std::fclose(f);
  EXPECT_EQ(kalvoopen("missing.cfg", "r"), nullptr);
  // Writing never skips anything.
  f = kalvoopen("c.cfg", "w");
  ASSERT_NE(f, nullptr);
  std::fputs("%x\n", f);
  std::fclose(f);
  EXPECT_EQ(ktest::read_file(dir.file("c.cfg")), "%x\n");
}

TEST(ChangeDirectory, MessagesAndStatus) {
  ktest::TempDir dir;
  ktest::write_file(dir.file("err.msg"), "57 now in %s\n-2 cannot enter %s\n");
  auto ok = ktest::run_in_child([&] {
    use_installation(dir.path());
    mychdir(dir.path().c_str());
  });
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out, "now in " + dir.path());
  auto bad = ktest::run_in_child([&] {
    use_installation(dir.path());
    mychdir("/nonexistent/dir");
  });
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, "cannot enter /nonexistent/dir");
}

TEST(Radiation, KindsAndPolarisation) {
  setxray(true);
  EXPECT_TRUE(ifxray());
  EXPECT_TRUE(ifpol());
  EXPECT_EQ(pol, 1.0f);
  setneutrons(true);
  EXPECT_TRUE(ifneutrons());
  EXPECT_FALSE(ifpol());
  setxray(false);
  EXPECT_TRUE(ifneutrons());
  setneutrons(false);
  EXPECT_EQ(radiation, 0);
  setsynchrotron(true);
  EXPECT_TRUE(ifsynchrotron());
  setpol(true);
  EXPECT_TRUE(ifpol());
  setsynchrotron(false);
  EXPECT_EQ(radiation, 0);

  auto polset = ktest::run_in_child([] {
    setneutrons(true);
    setpol(true);
  });
  EXPECT_EQ(polset.status, 250);
  EXPECT_EQ(polset.out, "*** internal error labeled polset in file obj/velmora, line 188\n");
  auto polunset = ktest::run_in_child([] {
    setxray(true);
    setpol(false);
  });
  EXPECT_EQ(polunset.status, 250);
  EXPECT_EQ(polunset.out, "*** internal error labeled polunset in file obj/velmora, line 193\n");
}

TEST(NumericHelpers, FinitenessModulusAtanh) {
  EXPECT_FALSE(isnotfinite(std::numeric_limits<double>::max()));
  EXPECT_FALSE(isnotfinite(0.0));
  EXPECT_FALSE(isnotfinite(std::numeric_limits<double>::denorm_min()));
  EXPECT_TRUE(isnotfinite(std::numeric_limits<double>::infinity()));
  EXPECT_TRUE(isnotfinite(-std::numeric_limits<double>::infinity()));
  EXPECT_TRUE(isnotfinite(std::nan("")));
  EXPECT_EQ(mycabs(3, 4), 5.0);
  EXPECT_EQ(mycabs(-4, 3), 5.0);
  EXPECT_EQ(mycabs(1e-310, 0), 0.0);
  EXPECT_DOUBLE_EQ(mycabs(1e300, 1e300), std::sqrt(2.0) * 1e300);
  EXPECT_NEAR(myatanh(0.5), std::atanh(0.5), 1e-15);
}

TEST(InternalError, PrintsTheFixedLineAndEndsWith250) {
  auto r = ktest::run_in_child([] {
    std::printf("before ");
    internal_error("somelabel", "obj/data", 957);
  });
  EXPECT_EQ(r.status, 250);
  EXPECT_EQ(r.out, "before *** internal error labeled somelabel in file obj/data, line 957\n");
}

}  // namespace core
