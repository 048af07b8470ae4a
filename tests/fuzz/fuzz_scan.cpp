// libFuzzer target for one scan-file reader: the input becomes a file with
// the reader's extension, read by getscans. Built once per format
// (SCAN_EXTENSION). A file may be refused with a warning, and the "val"
// reader may end the run with a fatal message; neither is a finding. A
// crash, a read outside the file, an internal error or a leak is.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/velmora.hpp"
#include "fuzz_driver.hpp"
#include "scan/apx63.hpp"

namespace fuzz {
using namespace core;
using namespace scan;

namespace {

std::string path;

}  // namespace

std::vector<std::string> inputfiles(const std::string& base) {
  path = base + "." SCAN_EXTENSION;
  return {path};
}

void one(const uint8_t* data, size_t size) {
  if (!writeinput(path, data, size)) return;

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
}

}  // namespace fuzz
