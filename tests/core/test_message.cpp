// Typed catalogue messages: each conversion of the catalogue text gets its
// argument in the type it asks for, a conversion without a fitting argument
// is printed as written, and a fatal message ends with its status.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/message.hpp"
#include "core/velmora.hpp"
#include "testsupport.hpp"

namespace core {

namespace {

// An installation whose catalogue holds the given lines (registered numbers
// with texts chosen for the test).
class Messages : public ::testing::Test {
 protected:
  void use(const std::string& lines) {
    ktest::write_file(dir_.file("err.msg"), lines);
    std::strncpy(kalvo, dir_.path().c_str(), sizeof kalvo - 1);
    nodesfree();
  }
  void TearDown() override { nodesfree(); }

 private:
  ktest::TempDir dir_;
};

TEST_F(Messages, EachConversionTakesItsArgumentInItsOwnType) {
  use("-152 [%s] [%ld] [%hd] [%-6s] [%x]\\n\n"
      "20 [%c] [%8.3f] 100%%\n"
      "-143 [%u] [%s] [%05d]\n"
      "-209 %e %g %.1f %f %F %10.2f\n"
      "57 %s\n");
  EXPECT_EQ(message_text<-152>("a", 1234567, 70000, "b", 255),
            "[a] [1234567] [4464] [b     ] [ff]\n");
  EXPECT_EQ(message_text<20>(65, 3.14159), "[A] [   3.142] 100%");
  EXPECT_EQ(message_text<20>('%', 2.0f), "[%] [   2.000] 100%");
  // An unsigned conversion of a negative number wraps as in an int.
  EXPECT_EQ(message_text<-143>(-1, std::string("t"), 42), "[4294967295] [t] [00042]");
  EXPECT_EQ(message_text<-209>(1.0, 0.5, 0.25, 2.0, 3.0, 4.0),
            "1.000000e+00 0.5 0.2 2.000000 3.000000       4.00");
  // Long texts are not cut.
  std::string longname(3000, 'x');
  EXPECT_EQ(message_text<57>(longname.c_str()), longname);
  char array[] = "array";
  EXPECT_EQ(message_text<57>(array), "array");
}

TEST_F(Messages, ACatalogueTextThatDoesNotFitItsArgumentsIsPrintedSafely) {
  // Catalogue texts edited by hand: more conversions than arguments, a
  // conversion of another kind than the argument, a dangling percent sign.
  use("57 %s and %s and %d\n"
      "-66 %d %s\n"
      "255 %s at 50%\n");
  EXPECT_EQ(message_text<57>("one"), "one and %s and %d");
  EXPECT_EQ(message_text<-66>("text"), "%d text");
  EXPECT_EQ(message_text<255>("x"), "x at 50%");
}

TEST_F(Messages, StreamsAndFatalEnd) {
  use("57 changed to %s\\n\n"
      "-2 cannot change to %s\\n\n"
      "-44 out of memory\\n\n");
  ktest::TempDir out;
  FILE* f = std::fopen(out.file("m.txt").c_str(), "w");
  ASSERT_NE(f, nullptr);
  message_to<57>(f, "here");
  std::fclose(f);
  EXPECT_EQ(ktest::read_file(out.file("m.txt")), "changed to here\n");

  auto r = ktest::run_in_child([] { message<57>("there"); });
  EXPECT_EQ(r.out, "changed to there\n");
  EXPECT_EQ(r.status, 0);

  r = ktest::run_in_child([] { fatal<-2>("nowhere"); });
  EXPECT_EQ(r.out, "cannot change to nowhere\n");
  EXPECT_EQ(r.status, 2);

  r = ktest::run_in_child([] { fatal<-44>(); });
  EXPECT_EQ(r.out, "out of memory\n");
  EXPECT_EQ(r.status, 44);
}

}  // namespace

}  // namespace core
