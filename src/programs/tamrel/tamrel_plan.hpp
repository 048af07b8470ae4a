// The measuring-time plan of a refinement: how long to count at which angle
// in a new measurement so that the goals with a required accuracy reach it.
// A new scan is modelled on a grid of 0.01 degrees 2theta over the measured
// range, the counting times that reach every accuracy in the least total
// time are found (oplan) and written to the plan file PLAN with the expected
// counts, and the predicted accuracies are printed.
#pragma once

#include <cstdio>
#include <vector>

namespace tamrel {

// The plan of data set 0: nothing without PLAN, without a goal that has a
// required accuracy, or in derivative mode. A plan that cannot be made (a
// model value not above 0 on the grid, an accuracy that is not a finite
// positive number, a goal that failed, an error of the model on the grid, no
// admissible plan) is a warning, and the run goes on. The measured pattern,
// its model tables and the diagram arrays are as before afterwards.
void measuringplan();

// A planned time rounded up to the next multiple of 0.1 (a time that is a
// multiple within rounding stays).
double plannedtime(double t);

// One planned point of the plan file.
struct PlannedPoint {
  double twotheta;  // degrees
  double time;      // rounded planned time
  double rate;      // model rate: counts per unit time
};

// The plan file: "M=%d TotalTIME=%.1f" and one line per point with its angle,
// time and expected counts (rate x time, rounded up).
bool writeplanfile(FILE* f, const std::vector<PlannedPoint>& points);

}  // namespace tamrel
