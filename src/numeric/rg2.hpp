// Bounded quadratic sub-problem with two-sided bounds:
//   minimise 1/2 x'Ax - b'x  subject to lb <= x <= ub,
// with lb <= 0 <= ub; otherwise as rg (see rg.hpp).
#pragma once

#include <cstdint>

namespace numeric {

bool rg2(const float* A, const float* b, float* x, const float* lb, const float* ub, int n,
         uint8_t* densused, double eps, double thin);

}  // namespace numeric
