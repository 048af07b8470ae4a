// libFuzzer target for the instrument function's loader and evaluation: the
// input becomes an instrument-profile file "<name>.ger" and/or a GEQ table
// "<name>.geq", loaded by ger1 and evaluated by ger at a few angles inside
// and outside a table's range. Byte 0 chooses the files and the set-up
// distances (bits 0-1: none, D=1 R=1, D=0.1 R=200 T=0.5; bit 2: a profile
// file; bit 3: a table); with both files, bytes 1 and 2 give the length of
// the profile file (little-endian), the table follows it. A fatal message or
// a failed evaluation is not a finding; a crash, a read outside a file, an
// internal error, a leak or an evaluation that runs for seconds (libFuzzer's
// -timeout) is.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/velmora.hpp"
#include "model/gerneu.hpp"

namespace core {

// A fatal message ends a program; here it ends the one input.
struct FatalEnd {
  int status;
};

// The process-ending routines of the suite, replaced for the fuzzer: a fatal
// end unwinds to the harness, an internal error is a finding.
void fatal_exit(int status) {
  std::fflush(nullptr);
  throw FatalEnd{status};
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

namespace model {
using namespace core;

namespace {

std::string base;

void writefile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
}

}  // namespace

int fuzz_init() {
  std::strncpy(kalvo, KALVO_SOURCE_DATA, sizeof kalvo - 1);
  const char* tmp = std::getenv("TMPDIR");
  base = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kalvo-fuzz-" +
         std::to_string(getpid());
  // The input files go when the fuzzer ends its run.
  std::atexit([] {
    std::remove((base + ".ger").c_str());
    std::remove((base + ".geq").c_str());
  });
  // The loader's warnings would only slow the run down.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

int fuzz_one(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int flags = data[0];
  const uint8_t* rest = data + 1;
  size_t left = size - 1;
  size_t gersize = left;
  if ((flags & 12) == 12) {
    if (left < 2) return 0;
    gersize = rest[0] | static_cast<size_t>(rest[1]) << 8;
    rest += 2;
    left -= 2;
    if (gersize > left) gersize = left;
  }
  std::remove((base + ".ger").c_str());
  std::remove((base + ".geq").c_str());
  if (flags & 4) writefile(base + ".ger", rest, gersize);
  if (flags & 8) {
    size_t skip = (flags & 4) ? gersize : 0;
    writefile(base + ".geq", rest + skip, left - skip);
  }

  // A fresh store, as a program has it after its start routine.
  nodesfree();
  totalfree();
  newDATAlist();
  setrekart(2);
  switch (flags & 3) {
    case 1:
      SetVar("D", 1);
      SetVar("R", 1);
      break;
    case 2:
      SetVar("D", 0.1);
      SetVar("R", 200);
      SetVar("T", 0.5);
      break;
    default:
      break;
  }
  try {
    gererr = 1;
    ger1(base.c_str());
    for (double twotheta : {20.0, 50.0, 90.5, 150.0}) {
      gererr = 0;
      ger(std::sin(twotheta * 3.141592653589793 / 360));
      // Touch every component: the arrays must hold what n claims.
      volatile float sum = 0.0f;
      for (int i = 0; i < n; ++i) sum = sum + g[i] + e[i] + q[i];
      (void)sum;
    }
  } catch (const FatalEnd&) {
  }
  ger2();
  while (ondataLevel() > 0) dataerr_oldjmp();
  totalfree();
  nodesfree();
  return 0;
}

}  // namespace model

extern "C" int LLVMFuzzerInitialize(int*, char***) { return model::fuzz_init(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return model::fuzz_one(data, size);
}
