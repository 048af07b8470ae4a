// Free-parameter estimate of the texture order.
#include "crystal/parmaxfree.hpp"

#include <cmath>

#include "core/fatal.hpp"
#include "numeric/chi2wert.hpp"

namespace crystal {
using namespace core;
using namespace model;

namespace {

// Every term lies in [-1, 1] and is counted in integers of 2^-32: the
// workers' shares and their sum are exact in a double up to 2^21
// reflections, so the order in which they are added does not matter.
constexpr double kUnit = 4294967296.0;  // 2^32

const float* estimates(const FreeParamTask* task) {
  const PeakSet* p = task->peaks;
  const float* t = task->phase->RP <= 2 ? p->t2 : task->phase->RP == 3 ? p->t3 : p->t4;
  if (t == nullptr && task->phase->nrefl > 0)
    internal_error("parmaxfree without intensity estimates", "obj/tamrel", __LINE__);
  return t;
}

}  // namespace

void parmaxfree(uint64_t arg) {
  auto* task = reinterpret_cast<FreeParamTask*>(arg);
  const PhaseRecord* ph = task->phase;
  const bool locked = nthreads > 1;
  const float* t = estimates(task);
  int64_t local = 0;
  for (;;) {
    if (locked) requestmutex(&task->mutex);
    while (task->cursor < ph->nrefl && ph->lebail != nullptr &&
           ph->lebail[ph->refl[task->cursor]->iref] != 0)
      ++task->cursor;
    if (task->cursor >= ph->nrefl) {
      task->sum += static_cast<double>(local) / kUnit;
      if (locked) releasemutex(&task->mutex);
      return;
    }
    const ReflectionRecord* r = ph->refl[task->cursor++];
    if (locked) releasemutex(&task->mutex);
    const double term = numeric::suite::erf(0.25 * static_cast<double>(t[r->slot]) * task->q);
    local += std::llround(term * kUnit);
  }
}

}  // namespace crystal
