// The routine registered with fatal_cleanup runs once when the process ends
// through fatal_exit (also through internal_error), and not after it was
// removed.
#include <gtest/gtest.h>

#include <cstdio>

#include "core/fatal.hpp"
#include "testsupport.hpp"

namespace core {

namespace {

int runs = 0;
void note() {
  ++runs;
  std::printf("cleanup %d\n", runs);
  // A fatal end inside the routine does not run it again.
  if (runs == 1) fatal_exit(9);
}

TEST(FatalCleanup, RunsOnceBeforeTheProcessEnds) {
  ktest::RunResult r = ktest::run_in_child([] {
    fatal_cleanup(note);
    std::printf("before\n");
    fatal_exit(5);
  });
  EXPECT_EQ(r.status, 9);
  EXPECT_EQ(r.out, "before\ncleanup 1\n");

  r = ktest::run_in_child([] {
    fatal_cleanup(note);
    internal_error("label", "module", 7);
  });
  EXPECT_EQ(r.out, "*** internal error labeled label in file module, line 7\ncleanup 1\n");
  EXPECT_EQ(r.status, 9);
}

TEST(FatalCleanup, RemovedRoutineDoesNotRun) {
  ktest::RunResult r = ktest::run_in_child([] {
    fatal_cleanup(note);
    fatal_cleanup(nullptr);
    fatal_exit(5);
  });
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.out, "");
}

}  // namespace

}  // namespace core
