// The measuring-time plan of a refinement: the grid of the new scan, its
// model rates and upper counting times, the information already held, the
// optimisation and the plan file.
#include "tamrel_plan.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/data.hpp"
#include "core/message.hpp"
#include "core/outfile.hpp"
#include "core/runfiles.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"
#include "crystal/cycle.hpp"
#include "model/modell.hpp"
#include "numeric/ddreieck.hpp"
#include "numeric/packed.hpp"
#include "oplan.hpp"
#include "scan/apx63.hpp"
#include "scan/ddm.hpp"
#include "tamrel.hpp"
#include "tamrel_datasets.hpp"
#include "tamrel_final.hpp"
#include "tamrel_listfile.hpp"

namespace tamrel {

using namespace core;
using namespace numeric;
using namespace scan;
using namespace model;
using namespace crystal;

namespace {

constexpr double kPi = 3.141592653589793;
// The weight korrw starts from: no systematic floor yet.
constexpr float kNoFloor = 3.4028234663852886e38f;
// Grid step, degrees 2theta.
constexpr double kGridStep = 0.01;

// The measured pattern of the data set and its model arrays, set aside while
// the plan grid takes their place.
struct Pattern {
  int m = 0;
  float* sinx = nullptr;
  float* intensitaet = nullptr;
  float* w = nullptr;
  float* y = nullptr;
  float* u = nullptr;
  float* yphasen = nullptr;
};

Pattern setaside() {
  Pattern p{model::m, model::sinx, model::intensitaet, model::w,
            model::y, model::u,    model::yphasen};
  model::m = 0;
  model::sinx = model::intensitaet = model::w = nullptr;
  model::y = model::u = model::yphasen = nullptr;
  return p;
}

// Frees the grid and puts the measured pattern back with its model tables.
void putback(const Pattern& p) {
  std::free(model::sinx);
  std::free(model::intensitaet);
  std::free(model::w);
  model::m = p.m;
  model::sinx = p.sinx;
  model::intensitaet = p.intensitaet;
  model::w = p.w;
  model::y = p.y;
  model::u = p.u;
  model::yphasen = p.yphasen;
  hinit();
}

// The grid of the new scan over the measured range, without the points
// strictly inside an excluded range: sin theta of each point.
std::vector<float> plangrid() {
  const double lo = 2 * runstate.thetamin, hi = 2 * runstate.thetamax;
  const long count = static_cast<long>(std::floor((hi - lo) / kGridStep + 1e-9)) + 1;
  std::vector<float> grid;
  for (long k = 0; k < count; ++k) {
    const double tt = lo + kGridStep * static_cast<double>(k);
    const auto s = static_cast<float>(std::sin(tt * kPi / 360));
    bool keep = true;
    for (CutInterval* c = cut; keep && c != nullptr; c = c->next)
      if (c->lower < s && s < c->upper) keep = false;
    if (keep) grid.push_back(s);
  }
  return grid;
}

double twotheta(float s) { return 2 * std::asin(static_cast<double>(s)) * 180 / kPi; }

void rowcallback(float* row, int i) { totalableitung(row, i); }

// Prints and drops the store's pending errors.
void printerrors() {
  while (ifErr()) {
    std::printf("(E) %s\n    %s\n", GetErr(0), GetErr(1));
    NextErr();
  }
}

bool standalone() {
  static char buf[kTextLen + 1];
  return dataerr_try([] { GetStrVar("STANDALONEPLAN", kTextLen, buf); }) && buf[0] != 0 &&
         std::strchr("YyJj", buf[0]) != nullptr;
}

// The targets: each goal's derivative row divided by its required accuracy;
// false (with the warning) when a goal failed or its accuracy is not a
// finite positive number.
bool targets(std::vector<std::vector<double>>& rows) {
  for (size_t k = 0; k < plantargets.goals.size(); ++k) {
    const ParamRecord* g = plantargets.goals[k];
    if (g->failed != 0) {
      message<70>(g->goal);
      return false;
    }
    const double acc = g->secondvalue;
    if (!(std::isfinite(acc) && acc > 0.0)) {
      message<69>(g->goal, acc);
      return false;
    }
    std::vector<double> t = plantargets.rows[k];
    for (double& x : t) x /= acc;
    rows.push_back(std::move(t));
  }
  return true;
}

// The plan on the grid, with the measured pattern set aside; false when no
// plan could be made (its warning printed).
bool plan(const char* name, const std::vector<std::vector<double>>& rows) {
  const std::vector<float> grid = plangrid();
  const int M = static_cast<int>(grid.size());
  if (M == 0) return false;
  model::m = M;
  model::sinx = kcalloc<float>(static_cast<size_t>(M));
  model::intensitaet = kcalloc<float>(static_cast<size_t>(M));
  model::w = kcalloc<float>(static_cast<size_t>(M));
  for (int i = 0; i < M; ++i) {
    model::sinx[i] = grid[static_cast<size_t>(i)];
    model::w[i] = 1.0f;
  }
  hinit();

  // The model rate of every point: its residual at zero intensity and unit weight.
  std::vector<float> rate(static_cast<size_t>(M));
  bool ok = dataerr_try([&] {
    float* r = nullptr;
    int n = 0;
    totalmodell(&n, &r);
    std::copy(r, r + M, rate.begin());
    std::free(r);
  });
  if (!ok) {
    printerrors();
    message<73>();
    return false;
  }
  for (int i = 0; i < M; ++i)
    if (!(rate[static_cast<size_t>(i)] > 0.0f)) {
      message<68>(twotheta(model::sinx[i]));
      return false;
    }

  // Upper times: where the counting variance reaches the systematic floor.
  for (int i = 0; i < M; ++i) model::w[i] = kNoFloor;
  korrw(M, model::sinx, rate.data(), model::w);
  const double g = finalmodel.g;
  std::vector<double> pmax(static_cast<size_t>(M));
  for (int i = 0; i < M; ++i) {
    const double wi = model::w[i], yi = rate[static_cast<size_t>(i)];
    pmax[static_cast<size_t>(i)] = wi * wi * yi;
    // Derivative rows per unit counting time, in the units of the refinement's errors.
    model::w[i] = static_cast<float>(1.0 / (std::sqrt(yi) * g));
  }

  // The information already held.
  const int r = rqmin;
  std::vector<double> prior;
  const std::vector<double>& known = standalone() ? finalmodel.R : finalmodel.N;
  if (known.size() == static_cast<size_t>(tri(r))) {
    prior = known;
    for (double& x : prior) x /= g * g;
  }

  PlanProblem p;
  p.m = M;
  p.r = r;
  p.prior = prior.empty() ? nullptr : prior.data();
  p.targets = rows;
  p.pmax = pmax.data();
  p.row = rowcallback;
  p.protocol = runstate.protokoll;
  PlanResult res;
  if (!dataerr_try([&] { res = oplan(p); })) {
    printerrors();
    message<73>();
    return false;
  }
  if (!res.found) {
    message<33>();
    return false;
  }

  message<234>();
  for (size_t k = 0; k < plantargets.goals.size(); ++k) {
    const double v = datma(plantargets.rows[k].data(), res.covariance.data(), r);
    const double sigma = v > 0.0 ? std::sqrt(v) : 0.0;
    int d = sigma > 0.0 ? 1 - static_cast<int>(std::floor(std::log10(sigma))) : 0;
    if (d < 0) d = 0;
    std::printf("%s+-%.*f\n", plantargets.goals[k]->goal, d, sigma);
  }
  std::fflush(stdout);

  std::vector<PlannedPoint> points;
  for (int i = 0; i < M; ++i) {
    const double t = res.times[static_cast<size_t>(i)];
    if (t > 0.0)
      points.push_back({twotheta(model::sinx[i]), plannedtime(t), rate[static_cast<size_t>(i)]});
  }
  if (!writefile(name, [&](FILE* f) { return writeplanfile(f, points); })) {
    message<264>(name);
    outputfailed(264);
    writeplanfile(stdout, points);
  }
  std::fflush(stdout);
  return true;
}

}  // namespace

double plannedtime(double t) {
  double k = std::ceil(t * 10.0 * (1.0 - 1e-12));
  if (k < 1.0) k = 1.0;
  return k / 10.0;
}

bool writeplanfile(FILE* f, const std::vector<PlannedPoint>& points) {
  double total = 0;
  for (const PlannedPoint& p : points) total += p.time;
  std::fprintf(f, "M=%d TotalTIME=%.1f\n", static_cast<int>(points.size()), total);
  for (const PlannedPoint& p : points)
    std::fprintf(f, "zweiTheta=%.2f TIME=%.1f COUNTS=%.0f\n", p.twotheta, p.time,
                 std::ceil(p.rate * p.time));
  return true;
}

void measuringplan() {
  if (ifddm || ddmrange != nullptr || plantargets.goals.empty()) return;
  static char name[kNameLen + 1];
  if (!dataerr_try([] { GetStrVar("PLAN", kNameLen, name); })) return;
  makeextension(name, "opt", 0);
  // The plan file is an output of the main pattern: no further data set
  // writes over it.
  if (!ownoutput(name)) return;
  {
    OutFile test;
    if (!test.open(name)) {
      message<72>(name);
      outputfailed(72);
      return;
    }
    test.discard();
  }
  std::vector<std::vector<double>> rows;
  if (!targets(rows)) return;
  message<233>(static_cast<int>(rows.size()));
  std::fflush(stdout);

  const Pattern measured = setaside();
  plan(name, rows);
  putback(measured);
  checklevel("ondataLevel", __LINE__);
}

}  // namespace tamrel
