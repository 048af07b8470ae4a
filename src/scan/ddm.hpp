// Derivative mode (DDM): in place of the measured intensities the fit uses
// smoothed first and half second derivatives of the pattern at its interior
// points. The scan reader transforms the measured pattern; the pattern model
// differentiates its model with the same Savitzky-Golay weights. Both share
// the state below.
#pragma once

#include <cstddef>
#include <vector>

namespace scan {

// Derivative mode on; set by the refinement program before getval.
extern bool ifddm;
// Window half-width r_c of each centre c (N - 4 entries for N measured
// points), written by korrddm; malloc'd, replaced by the next korrddm.
extern int* ddmrange;
// The measured intensities from before the transform (N entries); malloc'd,
// replaced by the next korrddm.
extern float* ddmoriintensitaet;
// The largest window half-width (at least 2).
extern int ddm_mmax;

// Savitzky-Golay weight of offset j (-r <= j <= r) in a window of half-width
// r: kind 0 the least-squares slope, kind 1 the least-squares quadratic
// coefficient (half the second derivative), both per step of the point index.
// Any other kind is an internal error.
double ddmpolynome(int j, int kind, int r);

// The weights ddmpolynome(j, kind, r), j = -r .. r, of one kind for the
// window half-width last asked for: worked out again only when r changes
// (neighbouring rows mostly share theirs), so that a pass over the rows
// divides only where the width changes. The storage grows only.
class DdmWeights {
 public:
  explicit DdmWeights(int kind) : kind_(kind) {}
  // Weight of offset j at index j (-r .. r) of the result.
  const double* of(int r) {
    if (r != r_) {
      if (weights_.size() < static_cast<std::size_t>(2 * r + 1)) weights_.resize(2 * r + 1);
      for (int j = -r; j <= r; ++j)
        weights_[static_cast<std::size_t>(j + r)] = ddmpolynome(j, kind_, r);
      r_ = r;
    }
    return weights_.data() + r;
  }

 private:
  int kind_;
  int r_ = -1;
  std::vector<double> weights_;
};

}  // namespace scan
