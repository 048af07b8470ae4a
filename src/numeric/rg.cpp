#include "numeric/rg.hpp"

#include <cstdlib>
#include <cstring>

#include "core/velmora.hpp"
#include "numeric/rgwork.hpp"

namespace numeric {
using namespace core;

namespace {

// The scaled problem with its one bound per variable: a variable that hits
// its bound a second time is held until the held flags are next cleared.
struct Work : RgWork {
  uint8_t* held;
  uint8_t* hitbefore;
  int hitindex;  // (1-based) variable whose bound the last step hit, 0 none

  bool is_held(int k) const { return held[k]; }
  bool outward(int k) const { return x[k] == ub[k] && r[k] > 0; }
  bool inside(int k) const { return x[k] != ub[k]; }
  void clear_held() { std::memset(held, 0, static_cast<size_t>(m)); }
};

// One exact line search along the motion -d, cut at the first bound.
RgStep abstieg(Work& W, double eps) {
  const int m = W.m;
  if (!rg_curved(W)) return RgStep::failed;
  double dr = sum_of_products(W.d, W.r, m);
  double alpha = -dr / W.kappa;
  int hit = 0;
  for (int k = 0; k < m; ++k) {
    float room = W.ub[k] - W.x[k];
    if (room + W.d[k] * alpha < 0) {
      hit = k + 1;
      float q = (W.x[k] - W.ub[k]) / W.d[k];
      alpha = q;
    }
  }
  rg_move(W, alpha);
  double decrease = -alpha * dr;
  W.hitindex = hit;
  if (hit > 0) {
    int k = hit - 1;
    W.held[k] = W.hitbefore[k];
    W.hitbefore[k] = 1;
    W.x[k] = W.ub[k];
  }
  rg_residual(W);
  if (hit != 0) return RgStep::hit;
  return decrease < eps ? RgStep::converged : RgStep::free;
}

}  // namespace

bool rg(const float* A, const float* b, float* x, const float* ub, int n, uint8_t* densused,
        double eps, double thin) {
  Work W{};
  RgStart start = rg_start(W, A, b, nullptr, ub, n, x, densused, thin);
  if (start != RgStart::ready) return start == RgStart::solved;
  const size_t mm = static_cast<size_t>(W.m);
  W.held = kcalloc<uint8_t>(mm);
  W.hitbefore = kcalloc<uint8_t>(mm);

  bool ok = rg_solve(W, eps, abstieg);

  rg_finish(W, nullptr, ub, x, densused);
  std::free(W.held);
  std::free(W.hitbefore);
  return ok;
}

}  // namespace numeric
