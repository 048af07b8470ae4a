// The profile-component fit of zelmar: the traced line shape of one angle as
// a sum of squared-Lorentzian components g 2q^3/((x - e)^2 + q^2)^2 (area pi
// g each, so a complete profile has a weight sum of 1). Components are added
// one by one where the residual promises the largest decrease, useless ones
// removed, and the best model kept.
#pragma once

#include <vector>

#include "raytrace.hpp"

namespace zelmar {

// The components (positions and widths in radians of theta, relative to the
// nominal angle).
struct Components {
  std::vector<float> g, e, q;
  int n() const { return static_cast<int>(g.size()); }
};

constexpr int kMostComponents = 30;

enum class FitEnd {
  converged,  // the residual and the weight sum meet the accuracy goal
  finer,      // no further component helps: trace again with half the bin width
};

// Fits the data of one trace with bin width deps and core width kern to the
// accuracy goal epsg. The best model found is left in out in both cases.
// Each component tried takes one of the rounds left (*rounds), and the model
// keeps at most kMostComponents: the search ends as finer when either is
// used up, since each round costs the square of the fit points and each fit
// the cube of the components.
FitEnd fitcomponents(const FitData& data, double deps, float kern, float epsg, int* rounds,
                     Components& out);

}  // namespace zelmar
