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

// The weights ddmpolynome(j, kind, r), j = -r .. r, of one kind: worked out
// once per window half-width up to kTabulated and kept, wider windows when
// their width changes, so that a pass over the rows does not divide per
// weight. The storage grows only; one per thread.
class DdmWeights {
 public:
  static constexpr int kTabulated = 256;
  explicit DdmWeights(int kind) : kind_(kind) {}
  // Weight of offset j at index j (-r .. r) of the result.
  const double* of(int r) {
    if (r <= kTabulated) {
      if (r >= tabulated_) tabulate(r);
      return table_.data() + static_cast<std::size_t>(r) * (r + 1);
    }
    if (r != wide_) widen(r);
    return wide_weights_.data() + r;
  }

 private:
  void tabulate(int r);
  void widen(int r);
  int kind_;
  int tabulated_ = 0;  // half-widths 0 .. tabulated_-1 in table_, from index r * r
  std::vector<double> table_;
  int wide_ = -1;
  std::vector<double> wide_weights_;
};

}  // namespace scan
