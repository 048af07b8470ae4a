// The state the refinement driver gives the model evaluation cycle, for the
// tests of the line computation and the cycle: a measured pattern with its
// wavelength and instrument profile, the peak set of the phases' reflections
// laid out in columns as the driver lays it out, the minimiser's parameter
// records and the derivative buffers of a stage. Builds on the harness's
// phases (crystal_harness.hpp) and reflections (structure_fixture.hpp).
#pragma once

#include <string>
#include <vector>

#include "crystal/tamrel.hpp"
#include "testsupport.hpp"

namespace ktest {

// One wavelength lambda (nm): l0 and the line tables of the pattern model.
void single_wavelength(double lambda);

// A measured pattern of n points, 2theta evenly from tt0 to tt1 degrees,
// intensities 0 and weights 1 (the caller fills them), for one wavelength
// and a two-component instrument profile written to a folder of its own; the
// line-profile tables built (this makes the worker pool: children only).
// With arrays the model and background arrays y and u exist.
class Pattern {
 public:
  Pattern(int n, double tt0, double tt1, double lambda, bool arrays = false);
  ~Pattern();
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

 private:
  TempDir dir_;
};

// The peak set of every phase's reflections (kind by the phase's RP, slots
// in phase and reflection order), ru background coefficients tu (0), the
// peak columns tpeaks and each phase's column range.
void peakset(int ru);

// One refined value as the driver hands it to the minimiser.
struct Refined {
  const char* name;
  double* value;
  double min, max;
  crystal::PhaseRecord* owner = nullptr;
  crystal::AtomRecord* sub = nullptr;
  int index = -1;  // column of a direct peak-model parameter, else -1
};

// The minimiser's records (structural ones first, noequiv of them) and the
// derivative buffers of a stage for nthreads workers; linstrafinit 1,
// ermodfaktor 1, localphase and lastphase null.
void refine(const std::vector<Refined>& params);

// A named parameter record appended to a phase's (or an atom's) records,
// with its value; returns its value's address, valid until the next record
// is added to the array.
double* named(crystal::ParamRecord** array, int32_t* count, const char* name, double value);

// Frees the peak set, the records and buffers, the goal arrays and the
// pattern state the fixture set.
void free_refinement();

}  // namespace ktest
