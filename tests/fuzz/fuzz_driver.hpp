// The driver shared by the fuzz targets: it replaces the suite's
// process-ending routines (a fatal end unwinds to the target as FatalEnd, an
// internal error is a finding), makes the source tree's data folder the
// installation, silences the programs' output and removes the target's
// input files when the run ends. Each target defines inputfiles and one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// A fatal message ends a program; here it ends the one input.
struct FatalEnd {
  int status;
};

// The files the target writes its inputs to, named from base (a scratch
// name "<TMPDIR or /tmp>/kalvo-fuzz-<process id>"); removed when the run
// ends.
std::vector<std::string> inputfiles(const std::string& base);

// Writes an input file; false when it cannot be created.
bool writeinput(const std::string& path, const uint8_t* data, size_t size);

// Runs one input. A fatal end that reaches it is caught by the target.
void one(const uint8_t* data, size_t size);

}  // namespace fuzz
