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
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "fuzz_driver.hpp"
#include "model/gerneu.hpp"

namespace fuzz {
using namespace core;
using namespace model;

namespace {

std::string base;

}  // namespace

std::vector<std::string> inputfiles(const std::string& name) {
  base = name;
  return {base + ".ger", base + ".geq"};
}

void one(const uint8_t* data, size_t size) {
  if (size < 1) return;
  const int flags = data[0];
  const uint8_t* rest = data + 1;
  size_t left = size - 1;
  size_t gersize = left;
  if ((flags & 12) == 12) {
    if (left < 2) return;
    gersize = rest[0] | static_cast<size_t>(rest[1]) << 8;
    rest += 2;
    left -= 2;
    if (gersize > left) gersize = left;
  }
  std::remove((base + ".ger").c_str());
  std::remove((base + ".geq").c_str());
  if (flags & 4) writeinput(base + ".ger", rest, gersize);
  if (flags & 8) {
    size_t skip = (flags & 4) ? gersize : 0;
    writeinput(base + ".geq", rest + skip, left - skip);
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
}

}  // namespace fuzz
