// The solver works on the numerical library's scaled problem (unit
// diagonal) with its descent loop; what is its own: every variable that a
// step stops at its bound is marked at once (not only on a second hit), the
// matrix is never thinned, a converged face is left again when a variable at
// its bound is pulled back inside (the loop's reopen form), and a failure
// leaves the caller's x alone.
#include "rg0.hpp"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/velmora.hpp"
#include "numeric/lsq.hpp"
#include "numeric/rgwork.hpp"

namespace kalvo {
using namespace core;
using namespace numeric;

namespace {

// Indices of the coupling list are 16 bits wide.
constexpr int kMaxListOrder = 65536;

struct Work : RgWork {
  uint8_t* mark;  // a step stopped at this variable's bound

  bool is_held(int k) const { return mark[k] != 0; }
  bool outward(int k) const { return x[k] == ub[k] && r[k] > 0; }
  bool inside(int k) const { return x[k] != ub[k]; }
  void clear_held() { std::memset(mark, 0, static_cast<size_t>(m)); }
};

// One exact line search along the motion -d, cut at the bound met first
// (the last variable in order with the smallest cut wins).
RgStep abstieg(Work& W, double eps) {
  const int m = W.m;
  if (!rg_curved(W)) return RgStep::failed;
  double dr = sum_of_products(W.d, W.r, m);
  double t = -dr / W.kappa;
  int hit = -1;
  for (int k = 0; k < m; ++k) {
    float room = W.ub[k] - W.x[k];
    if (room + W.d[k] * t < 0) {
      hit = k;
      float cut = (W.x[k] - W.ub[k]) / W.d[k];
      t = cut;
    }
  }
  rg_move(W, t);
  double decrease = -t * dr;
  if (hit >= 0) {
    W.mark[hit] = 1;
    W.x[hit] = W.ub[hit];
  }
  rg_residual(W);
  if (hit >= 0) return RgStep::hit;
  return decrease < eps ? RgStep::converged : RgStep::free;
}

// Replaces the dense scaled matrix by the list of the couplings whose
// unscaled element exceeds the smallest normal float, when that list is the
// smaller form (or when forced). Without any coupling the list is empty.
void chooseform(Work& W, const float* A, Rg0Form form) {
  if (form == Rg0Form::dense || W.m > kMaxListOrder) return;
  long count = 0;
  for (int i = 0; i < W.n; ++i) {
    if (W.index[i] < 0) continue;
    const float* row = A + static_cast<long>(i) * (i + 1) / 2;
    for (int j = 0; j < i; ++j)
      if (W.index[j] >= 0 && std::fabs(row[j]) > FLT_MIN) ++count;
  }
  const long k = W.m;
  if (form == Rg0Form::automatic && count > 0 && 4 * (k * (k + 1) / 2) <= 8 * count) return;
  RgEntry* list = kcalloc<RgEntry>(static_cast<size_t>(count));
  long at = 0;
  for (int i = 0; i < W.n; ++i) {
    const int ki = W.index[i];
    if (ki < 0) continue;
    const float* row = A + static_cast<long>(i) * (i + 1) / 2;
    for (int j = 0; j < i; ++j) {
      const int kj = W.index[j];
      if (kj < 0 || !(std::fabs(row[j]) > FLT_MIN)) continue;
      list[at++] = {W.A[static_cast<long>(ki) * (ki + 1) / 2 + kj], static_cast<uint16_t>(ki),
                    static_cast<uint16_t>(kj)};
    }
  }
  std::free(W.A);
  W.A = nullptr;
  W.dense = false;
  W.entries = list;
  W.nentries = count;
}

}  // namespace

bool rg0(const float* A, const float* b, float* x, const float* u, int n, double eps,
         Rg0Form form) {
  if (n < 1) return true;
  float* result = kcalloc<float>(static_cast<size_t>(n));
  Work W{};
  RgStart start = rg_start(W, A, b, nullptr, u, n, result, nullptr, 0);
  bool ok = start == RgStart::solved;
  if (start == RgStart::ready) {
    chooseform(W, A, form);
    W.mark = kcalloc<uint8_t>(static_cast<size_t>(W.m));
    ok = rg_solve<Work, true>(W, eps, abstieg);
    std::free(W.mark);
    rg_finish(W, nullptr, u, result, nullptr);
  }
  if (ok) std::memcpy(x, result, sizeof(float) * static_cast<size_t>(n));
  std::free(result);
  return ok;
}

}  // namespace kalvo
