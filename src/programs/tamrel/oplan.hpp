// The optimisation of a measuring-time plan: counting times t_i on the points
// of a new scan, 0 <= t_i <= pmax_i, of least total time such that the
// predicted variances of chosen goals, each in units of its required
// accuracy squared, sum to less than the number of goals.
//
// The information of a plan is N(t) = prior + sum_i t_i f_i f_i', f_i the
// derivative row of point i per unit counting time; its inverse is the
// predicted covariance of the refined parameters. The criterion
// sum_k a_k' C a_k (a_k a goal's derivative row divided by its accuracy) is
// convex in t, so the plan of least total time is unique in its total.
#pragma once

#include <vector>

namespace tamrel {

// The derivative row of point i of the plan grid: r single-precision values.
// Called for i = 0, 1, ..., m-1 in this order, once each.
using PlanRowFunction = void (*)(float* row, int i);

// Improvement steps (sweeps over the grid and Newton steps) after which the
// plan found so far, admissible but perhaps not the shortest, is taken.
constexpr long kPlanIterations = 50000;

struct PlanProblem {
  int m = 0;                                 // grid points
  int r = 0;                                 // refined parameters
  const double* prior = nullptr;             // information already held, packed r x r, or null
  std::vector<std::vector<double>> targets;  // s rows of r: derivative / accuracy
  const double* pmax = nullptr;              // upper counting time of each point (m)
  PlanRowFunction row = nullptr;
  bool protocol = false;  // progress lines of the improvement on standard output
  long iterations = kPlanIterations;
};

// What the optimisation found.
struct PlanResult {
  bool found = false;              // false: not even every time at its upper bound suffices
  std::vector<double> times;       // t_i (m); all 0 when the prior alone suffices
  std::vector<double> covariance;  // predicted covariance, packed r x r
  bool capped = false;             // the improvement was stopped by the iteration limit
  long steps = 0;                  // accepted improvement steps
};

// The measuring-time plan of the problem. A plan that cannot improve further
// within p.iterations prints warning 71 and is returned as it stands.
// Internal errors "pmaxneg" (an upper time below 0) and "Startplan".
PlanResult oplan(const PlanProblem& p);

// The sum over the targets of t' C t for a packed r x r matrix C.
double spur(const double* C, const std::vector<std::vector<double>>& targets, int r);

}  // namespace tamrel
