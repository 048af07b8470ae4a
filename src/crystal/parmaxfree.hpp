// Free-parameter estimate of the texture order: how many independent texture
// coefficients the measured pattern can carry for one phase. Each reflection
// outside the Le Bail kinds adds erf(0.25 t q), with t the re-estimated
// intensity of its peak and q a scale the driver derives from the
// significance of the phase's mean texture weight: a well-determined
// reflection adds nearly 1, an undetermined one nearly 0.
#pragma once

#include <cstdint>

#include "core/nspawn.hpp"
#include "crystal/records.hpp"
#include "model/modell.hpp"

namespace crystal {

// One estimate, built by the driver on its stack and shared by all workers.
struct FreeParamTask {
  core::ReMutex mutex;    // created by the driver only when nthreads > 1
  int32_t cursor;         // next reflection to consider; starts 0
  PhaseRecord* phase;     // its RP, reflections and Le Bail kinds are read
  model::PeakSet* peaks;  // the t arrays of estimatet0 for the phase's peak kind
  double sum;             // the estimate; starts 0
  double q;               // the scale
};

// Worker body, started on every worker with the address of the task:
// nspawn(parmaxfree, 0, address), nwait(). Takes the reflections one at a
// time (under the task's mutex when nthreads > 1) and adds its share to the
// sum. The shares are added in a fixed-point form, so that the estimate is
// the same whichever worker took which reflection.
void parmaxfree(uint64_t task);

}  // namespace crystal
