#include "core/fatal.hpp"

#include "core/outfile.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace core {

namespace {
std::atomic<void (*)()> cleanup{nullptr};
}  // namespace

void fatal_cleanup(void (*routine)()) { cleanup.store(routine); }

void fatal_exit(int status) {
  // Taken out before it runs: a fatal end inside the routine, or on another
  // thread at the same time, does not run it twice.
  if (void (*routine)() = cleanup.exchange(nullptr)) routine();
  // No half-written output file outlives the process.
  core::outfile_abandon_all();
  std::fflush(nullptr);
  std::_Exit(status);
}

void internal_error(const char* label, const char* module, int line) {
  std::printf("*** internal error labeled %s in file %s, line %d\n", label, module, line);
  fatal_exit(250);
}

int fatal_status(int n) {
  int s = static_cast<int>(static_cast<unsigned>(n) & 0xffu);
  return s == 0 ? 1 : s;
}

}  // namespace core
