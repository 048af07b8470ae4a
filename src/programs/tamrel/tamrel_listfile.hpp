// The list file: the human-readable result of a refinement. A head with the
// run's figures of merit, the global goals and parameters, then per phase
// its identification, parameters, goals, texture and anisotropy summaries and
// its atoms with their parameters and temperature factors. Every refined
// value carries as many decimals as its error justifies, followed by the
// error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "crystal/records.hpp"

namespace tamrel {

// One refined quantity as the list file writes it:
//   failed goal:                      "name=ERROR\n"
//   no influence (state 2, errors):   "name=UNDEF\n"
//   with an error sigma (state 1):    "name=value+-sigma\n", 1 - floor(log10 sigma)
//                                     decimals (not below 0): two digits of the error
//   otherwise:                        "name=value\n" with six significant digits
// witherrors: the final model has residuals and its covariance. decimals (when
// given) receives the decimals written, -1 for the texts without a number.
std::string numbertext(const char* name, double value, int state, bool witherrors, double sigma,
                       bool failed = false, int32_t* decimals = nullptr);

// Decimals of six significant digits: 5 - floor(log10 |v|), not below 0; 0
// for v = 0.
int sixdigits(double v);

// Targets of the measuring-time plan collected while the goals are listed:
// the derivative row of every goal with a required accuracy (a second
// formula), and the goal itself, in the order met. The plan judges the
// accuracy values and failed goals.
struct PlanTargets {
  std::vector<std::vector<double>> rows;
  std::vector<crystal::ParamRecord*> goals;
};
extern PlanTargets plantargets;

// Writes the list file of data set i (LIST, LIST[i]; standard output without
// the key or when the file cannot be written, message 226).
void writelist(int dataset);

}  // namespace tamrel
