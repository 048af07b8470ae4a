// The routines that end the process. The fuzz targets replace exactly these
// three (fatal_exit, internal_error, fatal_status); the cleanup they run
// lives in fatal_cleanup.cpp.
#include "core/fatal.hpp"

#include <cstdio>
#include <cstdlib>

namespace core {

void fatal_exit(int status) {
  fatal_run_cleanup();
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
