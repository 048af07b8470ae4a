// The instrument function at many angles on the worker pool (gerbatch).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "model/gerneu.hpp"
#include "model/gerneu_internal.hpp"

namespace model {
using namespace core;

namespace gerneu {

namespace {

// ---------------------------------------------------------------------------
// Many angles on the worker pool

// What a worker leaves of one point for the caller.
struct PointResult {
  int status;  // 0 done, a failure number, or kOnCaller
  bool warn13, warn14;
  bool setlambda;  // the evaluation computed a penetration length
  double lambda;
};

// Points per item of the work counter: the cost of a point varies with its
// angle (a table look-up, or a refit that takes milliseconds), so items are
// small.
constexpr int kBatchChunk = 4;

// ---------------------------------------------------------------------------
// Refits on a grid of angles
//
// Between two measured records the blended line shape changes smoothly with
// the angle, and so do the components fitted to it when each fit starts from
// the components of the angle next to it. A batch therefore refits the shape
// only at nodes evenly spaced in cot 2 theta (the blend's own variable)
// between the two records, and every point takes its components
// interpolated between the nodes around it (through the three nearest, else
// along the line between two); the weights, the zero shift, the centroid and
// GSUM are still those of the point's own angle. Nodes are refitted in runs
// of a fixed length, the first node of a run from the near record, every
// other from the node before it, so that the nodes, and hence every point,
// depend neither on the number of workers nor on the other points of the
// batch. Where the fit of a node removed or added a component the two nodes
// do not correspond, and the points between them are refitted at their own
// angles, as is every point beside a node that failed.
//
// On the full-range laboratory profile of the tests (5 761 points from
// 2theta = 15 to 159 degrees, about 60 nodes) the interpolated line shapes
// differ from the refits at the points' own angles by at most 0.1 % of the
// peak height (a seventh of the refit's tolerance EPSG; two of those refits
// 0.025 degrees apart differ by up to 0.14 %), and the set-up costs a
// fiftieth of the refits at every point, 1.4 times the set-up from a GEQ
// table.

// Spacing of the nodes: at most two degrees of theta, and at most 3 % of
// the change of the line width from one record to the other (the blended
// shape changes fastest where the records differ most).
constexpr double kNodeStep = 2 * kPi / 180;
constexpr double kNodeChange = 0.03;

// Width of a record's line shape: the weighted mean of the components'
// widths and distances from the centroid.
double spread(const ProfileRecord* r) {
  double sum = 0, weight = 0;
  for (int i = 0; i < r->n; ++i) {
    sum += r->g[i] * (std::fabs(r->q[i]) + std::fabs(r->e[i] - r->centroid));
    weight += r->g[i];
  }
  return weight > 0 && sum > 0 ? sum / weight : 1;
}

// Nodes per run: the first node of a run costs a full refit, the others
// little more than the sampling of the shape.
constexpr int kRunNodes = 8;

// The nodes between two records.
struct Span {
  int a, b;               // indices of the records (bracket)
  double key0;            // cot 2 theta of node 0 (record a)
  double step;            // node spacing in cot 2 theta
  int intervals;          // nodes 0 .. intervals
  std::vector<int> runs;  // index of each run in Grid::runs, -1 not needed
};

// One run of nodes: node first + j for j = 0 .. count.
struct Run {
  int span;
  int first, count;
  std::vector<int> n;                     // components per node, -1 failed
  std::vector<std::vector<float>> comps;  // per node: g[n], e[n], q[n]
  std::vector<uint8_t> valid;             // nodes j and j + 1 correspond
};

// Where a point takes its components from.
struct PointNodes {
  int run;  // -1: refitted at its own angle
  int slot;
  float t;  // between node slot (0) and slot + 1 (1)
};

struct Grid {
  std::vector<Span> spans;
  std::vector<Run> runs;
  std::vector<PointNodes> points;
};

struct Batch {
  alignas(64) std::atomic<int64_t> counter;     // chunks left
  alignas(64) std::atomic<int64_t> runcounter;  // runs of nodes left
  const float* s;
  int count;
  GerTake take;
  void* arg;
  Keys keys;
  double lambda;  // the caller's penetration length when the batch began
  PointResult* results;
  WorkerContext* workers;
  Grid* grid;
  // The components of the last point, which ger leaves behind.
  std::vector<float> lastg, laste, lastq;
};

// The list of records of a context, as bracket leaves it.
void recordlist(Context& cx) {
  std::vector<const ProfileRecord*>& list = cx.fit.list;
  list.clear();
  for (const ProfileRecord* r = perst; r != nullptr; r = r->next) list.push_back(r);
}

// The refit's components on the line between two nodes' (t from 0 to 1).
void between(Refit& fit, int nc, const float* p0, const float* p1, float t) {
  const float w0 = 1 - t;
  fit.cg.resize(nc);
  fit.ce.resize(nc);
  fit.cq.resize(nc);
  for (int i = 0; i < nc; ++i) {
    fit.cg[i] = w0 * p0[i] + t * p1[i];
    fit.ce[i] = w0 * p0[nc + i] + t * p1[nc + i];
    fit.cq[i] = w0 * p0[2 * nc + i] + t * p1[2 * nc + i];
  }
}

// Refits the nodes of one run.
void fitrun(Context& cx, const Span& span, Run& run) {
  recordlist(cx);
  bool previous = false;
  for (int j = 0; j <= run.count; ++j) {
    const int node = run.first + j;
    const double theta = 0.5 * std::atan2(1.0, span.key0 + span.step * node);
    double c = 0, k = 0;
    setangle(cx, std::sin(theta), c, k);
    run.n[j] = -1;
    try {
      const double absorb = prepare(cx, cx.sinx, c, k, span.a, span.b);
      Refit& fit = cx.fit;
      if (previous) {
        const std::vector<float>& p = run.comps[j - 1];
        const int pn = run.n[j - 1];
        fit.cg.assign(p.begin(), p.begin() + pn);
        fit.ce.assign(p.begin() + pn, p.begin() + 2 * pn);
        fit.cq.assign(p.begin() + 2 * pn, p.begin() + 3 * pn);
      }
      resample(cx, absorb);
      const int nc = static_cast<int>(fit.cg.size());
      std::vector<float>& out = run.comps[j];
      out.assign(fit.cg.begin(), fit.cg.end());
      out.insert(out.end(), fit.ce.begin(), fit.ce.end());
      out.insert(out.end(), fit.cq.begin(), fit.cq.end());
      run.n[j] = nc;
      previous = true;
      if (j > 0 && fit.changes == 0 && nc == run.n[j - 1]) {
        // The line between the two nodes must fit the shape halfway as the
        // refit demands, else their points are refitted.
        const double mid = 0.5 * std::atan2(1.0, span.key0 + span.step * (node - 0.5));
        setangle(cx, std::sin(mid), c, k);
        (void)prepare(cx, cx.sinx, c, k, span.a, span.b);
        sampling(cx);
        between(fit, nc, run.comps[j - 1].data(), run.comps[j].data(), 0.5f);
        if (fitmeasure(cx) <= 1) run.valid[j - 1] = 1;
      }
    } catch (const GerFailure&) {
      previous = false;
    }
  }
}

void runparfkt(uint64_t arg) {
  auto* batch = reinterpret_cast<Batch*>(arg);
  Context& cx = batch->workers[threadid()].cx;
  cx.keys = &batch->keys;
  Grid& grid = *batch->grid;
  for (int64_t r; (r = nexttask(batch->runcounter)) >= 0;) {
    cx.lambda = batch->lambda;
    Run& run = grid.runs[static_cast<size_t>(r)];
    fitrun(cx, grid.spans[static_cast<size_t>(run.span)], run);
  }
  cx.keys = nullptr;
}

// A point between two corresponding nodes: the components interpolated
// between them, assembled at the point's own angle.
void interpolated(Context& cx, const Grid& grid, const PointNodes& pn, double s) {
  const Run& run = grid.runs[static_cast<size_t>(pn.run)];
  const Span& span = grid.spans[static_cast<size_t>(run.span)];
  double c = 0, k = 0;
  setangle(cx, s, c, k);
  const double t = zelmarry == 2 ? s : c;
  const double z = eps1 + eps2 * t + eps3 * 2 * s * c + eps4 * std::fmax(k, 0.0);
  recordlist(cx);
  const double absorb = prepare(cx, s, c, k, span.a, span.b);
  const int nc = run.n[pn.slot];
  const float* p0 = run.comps[pn.slot].data();
  const float* p1 = run.comps[pn.slot + 1].data();
  between(cx.fit, nc, p0, p1, pn.t);
  assemble(cx, c, z, absorb);
}

// The nodes the points of a batch need; false when the batch has nothing to
// take from nodes (a table, fewer than two records, no refit).
bool plangrid(Grid& grid, int count, const float* sines) {
  if (geqfirst != nullptr || perst == nullptr || perst->next == nullptr) return false;
  if (zelmarry < 1 || zelmarry > 3) return false;
  Context& cx = maincontext;
  grid.points.assign(static_cast<size_t>(count), PointNodes{-1, 0, 0});
  bool any = false;
  for (int i = 0; i < count; ++i) {
    const double s = sines[i];
    if (!(s > 0 && s < 1)) continue;
    double c = std::sqrt(1 - s * s);
    double k = (2 * c * c - 1) / (2 * s * c);
    int a = 0, b = 0;
    try {
      bracket(cx, s, c, k, a, b);
    } catch (const GerFailure&) {
      continue;
    }
    size_t si = 0;
    while (si < grid.spans.size() && !(grid.spans[si].a == a && grid.spans[si].b == b)) ++si;
    if (si == grid.spans.size()) {
      Span span{a, b, 0, 0, 0, {}};
      const ProfileRecord* ra = cx.fit.list[a];
      const ProfileRecord* rb = cx.fit.list[b];
      span.key0 = ra->key;
      const double theta0 = 0.5 * std::atan2(1.0, static_cast<double>(ra->key));
      const double theta1 = 0.5 * std::atan2(1.0, static_cast<double>(rb->key));
      if (theta1 > theta0) {
        const double change = std::fabs(std::log(spread(rb) / spread(ra)));
        span.intervals = static_cast<int>(
            std::fmax(std::ceil((theta1 - theta0) / kNodeStep), std::ceil(change / kNodeChange)));
        span.step = (static_cast<double>(rb->key) - ra->key) / span.intervals;
        span.runs.assign(static_cast<size_t>((span.intervals + kRunNodes - 1) / kRunNodes), -1);
      }
      grid.spans.push_back(std::move(span));
    }
    Span& span = grid.spans[si];
    if (span.intervals == 0) continue;
    const double x = (k - span.key0) / span.step;
    if (!(x >= -1e-6 && x <= span.intervals + 1e-6)) continue;
    const int node = std::clamp(static_cast<int>(std::floor(x)), 0, span.intervals - 1);
    const int r = node / kRunNodes;
    int& ri = span.runs[static_cast<size_t>(r)];
    if (ri < 0) {
      ri = static_cast<int>(grid.runs.size());
      Run run;
      run.span = static_cast<int>(si);
      run.first = r * kRunNodes;
      run.count = std::min(kRunNodes, span.intervals - run.first);
      run.n.assign(static_cast<size_t>(run.count) + 1, -1);
      run.comps.resize(static_cast<size_t>(run.count) + 1);
      run.valid.assign(static_cast<size_t>(run.count), 0);
      grid.runs.push_back(std::move(run));
    }
    grid.points[static_cast<size_t>(i)] =
        PointNodes{ri, node - r * kRunNodes, static_cast<float>(std::clamp(x - node, 0.0, 1.0))};
    any = true;
  }
  return any;
}

void batchparfkt(uint64_t arg) {
  auto* batch = reinterpret_cast<Batch*>(arg);
  const int id = threadid();
  Context& cx = batch->workers[id].cx;
  cx.keys = &batch->keys;
  for (int64_t chunk; (chunk = nexttask(batch->counter)) >= 0;) {
    const int i0 = static_cast<int>(chunk) * kBatchChunk;
    const int i1 = std::min(batch->count, i0 + kBatchChunk);
    for (int i = i0; i < i1; ++i) {
      PointResult& res = batch->results[i];
      // Every point starts from the state the caller had, so that its
      // result does not depend on the points this worker did before.
      cx.lambda = batch->lambda;
      cx.warn13 = cx.warn14 = cx.lambdaset = false;
      try {
        const PointNodes* pn =
            batch->grid != nullptr ? &batch->grid->points[static_cast<size_t>(i)] : nullptr;
        if (pn != nullptr && pn->run >= 0 &&
            batch->grid->runs[static_cast<size_t>(pn->run)].valid[static_cast<size_t>(pn->slot)])
          interpolated(cx, *batch->grid, *pn, batch->s[i]);
        else
          evaluate(cx, batch->s[i]);
        res.status = 0;
      } catch (const GerFailure& f) {
        res.status = f.code;
      }
      res.warn13 = cx.warn13;
      res.warn14 = cx.warn14;
      res.setlambda = cx.lambdaset;
      res.lambda = cx.lambda;
      if (res.status != 0) continue;
      const int nc = *cx.n;
      batch->take(i, nc, *cx.g, *cx.e, *cx.q, batch->arg);
      if (i == batch->count - 1) {
        batch->lastg.assign(*cx.g, *cx.g + nc);
        batch->laste.assign(*cx.e, *cx.e + nc);
        batch->lastq.assign(*cx.q, *cx.q + nc);
      }
    }
  }
  cx.keys = nullptr;
}

}  // namespace

}  // namespace gerneu

using namespace gerneu;

void gerbatch(int count, const float* s, GerTake take, void* arg) {
  if (count <= 0) return;
  // On the calling thread: without workers; when a failure must leave the
  // components of the call before it (probing); and without records and
  // table, where LINTOR is evaluated in the store at every angle.
  if (nthreads < 1 || gererr != 1 || (perst == nullptr && geqfirst == nullptr)) {
    for (int i = 0; i < count; ++i) {
      ger(s[i]);
      take(i, n, g, e, q, arg);
    }
    return;
  }
  Batch batch;
  batch.s = s;
  batch.count = count;
  batch.take = take;
  batch.arg = arg;
  {
    LookupMode mode(maincontext, 2);
    batch.keys = readkeys();
  }
  batch.lambda = maincontext.lambda;
  std::vector<PointResult> results(static_cast<size_t>(count));
  std::vector<WorkerContext> workers(static_cast<size_t>(nthreads));
  batch.results = results.data();
  batch.workers = workers.data();
  // The nodes first, then the points.
  Grid grid;
  batch.grid = nullptr;
  if (plangrid(grid, count, s)) {
    batch.grid = &grid;
    batch.runcounter.store(static_cast<int64_t>(grid.runs.size()));
    nshare(runparfkt, reinterpret_cast<uint64_t>(&batch));
    nwait();
  }
  batch.counter.store((count + kBatchChunk - 1) / kBatchChunk);
  nshare(batchparfkt, reinterpret_cast<uint64_t>(&batch));
  nwait();

  // The messages, failures and carried state in the order of the points, as
  // count calls of ger would leave them.
  bool lastdone = false;
  for (int i = 0; i < count; ++i) {
    const PointResult& res = results[static_cast<size_t>(i)];
    if (res.status == kOnCaller) {
      ger(s[i]);
      take(i, n, g, e, q, arg);
      lastdone = i == count - 1;
      continue;
    }
    if (res.warn13 && !warnung1) {
      message<13>();
      warnung1 = 1;
    }
    if (res.warn14 && !warnung2) {
      message<14>();
      warnung2 = 1;
    }
    if (res.status != 0) failure(res.status, s[i]);
    if (res.setlambda) maincontext.lambda = res.lambda;
  }
  if (!lastdone) {
    const int nc = static_cast<int>(batch.lastg.size());
    newcomponents(maincontext, nc);
    std::copy(batch.lastg.begin(), batch.lastg.end(), g);
    std::copy(batch.laste.begin(), batch.laste.end(), e);
    std::copy(batch.lastq.begin(), batch.lastq.end(), q);
  }
}

}  // namespace model
