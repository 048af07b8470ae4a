// The driver shared by the fuzz targets: the suite's process-ending
// routines replaced, and libFuzzer's entry points.
#include "fuzz_driver.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/fatal.hpp"
#include "core/velmora.hpp"

namespace core {

void fatal_exit(int status) {
  std::fflush(nullptr);
  throw fuzz::FatalEnd{status};
}

void internal_error(const char* label, const char* module, int line) {
  std::fprintf(stderr, "*** internal error labeled %s in file %s, line %d\n", label, module, line);
  std::abort();
}

int fatal_status(int n) {
  int s = static_cast<int>(static_cast<unsigned>(n) & 0xffu);
  return s == 0 ? 1 : s;
}

}  // namespace core

namespace {

std::vector<std::string> inputs;

}  // namespace

bool fuzz::writeinput(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  return true;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::strncpy(core::kalvo, KALVO_SOURCE_DATA, sizeof core::kalvo - 1);
  const char* tmp = std::getenv("TMPDIR");
  inputs = fuzz::inputfiles(std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") +
                            "/kalvo-fuzz-" + std::to_string(getpid()));
  // The input files go when the fuzzer ends its run.
  std::atexit([] {
    for (const std::string& f : inputs) std::remove(f.c_str());
  });
  // The programs' warnings would only slow the run down.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::one(data, size);
  return 0;
}
