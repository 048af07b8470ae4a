// libFuzzer target for one scan-file reader: the input becomes a file with
// the reader's extension, read by getscans. Built once per format
// (SCAN_EXTENSION). A file may be refused with a warning, and the "val"
// reader may end the run with a fatal message; neither is a finding. A
// crash, a read outside the file, an internal error or a leak is.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "core/fatal.hpp"
#include "core/velmora.hpp"
#include "scan/apx63.hpp"

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

namespace scan {
using namespace core;

namespace {

std::string path;

}  // namespace

int fuzz_init() {
  std::strncpy(kalvo, KALVO_SOURCE_DATA, sizeof kalvo - 1);
  const char* tmp = std::getenv("TMPDIR");
  path = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kalvo-fuzz-" +
         std::to_string(getpid()) + "." SCAN_EXTENSION;
  // The input file goes when the fuzzer ends its run.
  std::atexit([] { std::remove(path.c_str()); });
  // The readers' warnings would only slow the run down.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

int fuzz_one(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  // Text banks and columns name no wavelength: they read LAMBDA unless a
  // radiation key is set, so a key is set for them. The binary readers run
  // without one, so that the anode is adopted and compared.
  setneutrons(false);
  setxray(false);
  if (std::strcmp(SCAN_EXTENSION, "gsa") == 0 || std::strcmp(SCAN_EXTENSION, "xy") == 0)
    setneutrons(true);

  static ScanNameNode node;
  std::strncpy(node.name, path.c_str(), sizeof node.name - 1);
  // The same file twice: the second sees the wavelength the first adopted.
  static ScanNameNode second;
  second = node;
  node.next = &second;
  second.next = nullptr;

  static char lambda[8001];
  lambda[0] = '\0';
  ScanRecord* records = nullptr;
  try {
    getscans(&node, 8000, lambda, &records);
  } catch (const FatalEnd&) {
  }
  for (ScanRecord* r = records; r != nullptr; r = r->next) {
    // Touch every point: the records must hold what they claim.
    volatile float sum = 0.0f;
    for (int i = 0; i < r->n; ++i) sum = sum + r->points[i].intensity + r->points[i].weight;
    (void)sum;
  }
  scanfree(records);
  return 0;
}

}  // namespace scan

extern "C" int LLVMFuzzerInitialize(int*, char***) { return scan::fuzz_init(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return scan::fuzz_one(data, size);
}
