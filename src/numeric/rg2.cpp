#include "numeric/rg2.hpp"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "core/velmora.hpp"
#include "numeric/rgwork.hpp"

namespace numeric {
using namespace core;

namespace {

// The scaled problem with a lower and an upper bound per variable: a
// variable that hits the same bound a second time is held until the held
// flags are next cleared.
struct Work : RgWork {
  uint8_t* heldlo;
  uint8_t* heldhi;
  uint8_t* hitlo;
  uint8_t* hithi;
  int hitindex;  // -k lower bound, +k upper bound of (1-based) variable k, 0 none

  bool is_held(int k) const { return heldlo[k] || heldhi[k]; }
  bool outward(int k) const { return (x[k] == ub[k] && r[k] > 0) || (x[k] == lb[k] && r[k] < 0); }
  bool inside(int k) const { return x[k] != ub[k] && x[k] != lb[k]; }
  void clear_held() {
    std::memset(heldlo, 0, static_cast<size_t>(m));
    std::memset(heldhi, 0, static_cast<size_t>(m));
  }
};

// One exact line search along the motion -d, cut at the first bound.
RgStep abstieg(Work& W, double eps) {
  const int m = W.m;
  if (!rg_curved(W)) return RgStep::failed;
  double dr = sum_of_products(W.d, W.r, m);
  double alpha = -dr / W.kappa;
  int hit = 0;
  for (int k = 0; k < m; ++k) {
    double v = W.x[k] - W.d[k] * alpha;
    if (v < W.lb[k]) {
      hit = -(k + 1);
      float q = (W.x[k] - W.lb[k]) / W.d[k];
      alpha = q;
      v = W.x[k] - W.d[k] * alpha;
    }
    if (v > W.ub[k]) {
      hit = k + 1;
      float q = (W.x[k] - W.ub[k]) / W.d[k];
      alpha = q;
    }
  }
  rg_move(W, alpha);
  double decrease = -alpha * dr;
  W.hitindex = hit;
  if (hit < 0) {
    int k = -hit - 1;
    W.heldlo[k] = W.hitlo[k];
    W.hitlo[k] = 1;
    W.x[k] = W.lb[k];
  } else if (hit > 0) {
    int k = hit - 1;
    W.heldhi[k] = W.hithi[k];
    W.hithi[k] = 1;
    W.x[k] = W.ub[k];
  }
  rg_residual(W);
  if (hit != 0) return RgStep::hit;
  return decrease < eps ? RgStep::converged : RgStep::free;
}

}  // namespace

bool rg2(const float* A, const float* b, float* x, const float* lb, const float* ub, int n,
         uint8_t* densused, double eps, double thin) {
  Work W{};
  RgStart start = rg_start(W, A, b, lb, ub, n, x, densused, thin);
  if (start != RgStart::ready) return start == RgStart::solved;
  const size_t mm = static_cast<size_t>(W.m);
  W.heldlo = kcalloc<uint8_t>(mm);
  W.heldhi = kcalloc<uint8_t>(mm);
  W.hitlo = kcalloc<uint8_t>(mm);
  W.hithi = kcalloc<uint8_t>(mm);

  bool ok = rg_solve(W, eps, abstieg);

  rg_finish(W, lb, ub, x, densused);
  for (void* q : {static_cast<void*>(W.heldlo), static_cast<void*>(W.heldhi),
                  static_cast<void*>(W.hitlo), static_cast<void*>(W.hithi)})
    std::free(q);
  return ok;
}

}  // namespace numeric
