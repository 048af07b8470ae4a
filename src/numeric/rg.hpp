// Bounded quadratic sub-problem of the least-squares minimisers:
//   minimise 1/2 x'Ax - b'x  subject to x <= ub (componentwise),
// A symmetric positive semi-definite, packed float (see dreieck.hpp). The
// search starts from x = 0, so ub >= 0 is required. A, b and ub are only
// read, so one matrix can serve many problems.
//
// eps: stopping threshold on the decrease of a step. thin: budget for
// dropping the smallest scaled correlations into a sparse copy of the matrix
// (thin <= 0 keeps the dense form). *densused (when given) := 1 for the dense
// form, 0 for the sparse one.
//
// Returns true with the step in x. False for a non-finite or negative
// diagonal element (x untouched) or a direction of non-positive curvature
// (x holds the point reached). Nothing is printed.
#pragma once

#include <cstdint>

namespace numeric {

bool rg(const float* A, const float* b, float* x, const float* ub, int n, uint8_t* densused,
        double eps, double thin);

}  // namespace numeric
