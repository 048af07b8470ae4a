// A standard container that cannot get its memory ends the run like every
// other allocation failure of the suite: message -44 and status 44, never an
// abort by an uncaught exception.
#include <gtest/gtest.h>

#include <string>

#include "testsupport.hpp"

namespace core {

namespace {

constexpr bool kSanitized = ktest::kAddressSanitizer || ktest::kThreadSanitizer;

TEST(OutOfMemory, FailedContainerAllocationEndsWithMessage44) {
  // The sanitizers' allocators report a failed allocation themselves and
  // never call the program's new-handler.
  if (kSanitized) GTEST_SKIP() << "the sanitizer's allocator ends the run itself";
  ktest::TempInstall inst({"err.msg"});
  ktest::TempDir work;
  ktest::write_file(inst.file("frametest.cfg"), "");
  ktest::RunResult r = ktest::run_program(ktest::program_path("frametest"), {"run"}, work.path(),
                                          {{"KALVO", inst.path()}, {"FRAMETEST_NOMEMORY", "1"}});
  EXPECT_EQ(r.status, 44);
  const std::string text = ktest::message(-44);
  ASSERT_GE(r.out.size(), text.size());
  EXPECT_EQ(r.out.substr(r.out.size() - text.size()), text);
  EXPECT_EQ(r.out.find("allocated"), std::string::npos);
  EXPECT_EQ(r.err, "");
}

}  // namespace

}  // namespace core
