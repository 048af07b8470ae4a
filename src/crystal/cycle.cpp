// The model evaluation cycle: one evaluation of all phases, the residual and
// derivative-row callbacks of the minimiser, and the diagram file.
#include "crystal/cycle.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/formula.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/outfile.hpp"
#include "core/runfiles.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"
#include "crystal/fcalc.hpp"
#include "crystal/goal.hpp"
#include "crystal/ks.hpp"
#include "crystal/line.hpp"
#include "crystal/records.hpp"
#include "crystal/services.hpp"
#include "crystal/setup.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "model/modell_shape.hpp"
#include "scan/ddm.hpp"

// The chain rule of eight rows has an AVX2 form chosen at run time (not in
// the thread sanitizer's builds, which take the plain forms throughout).
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#if defined(__has_feature)
#if !__has_feature(thread_sanitizer)
#define KALVO_CHAIN_AVX2 1
#endif
#else
#define KALVO_CHAIN_AVX2 1
#endif
#endif
#ifdef KALVO_CHAIN_AVX2
#include <immintrin.h>
#endif

namespace crystal {
using namespace core;
using namespace model;
using namespace scan;

namespace {

constexpr char kModule[] = "obj/tamrel";
constexpr double kPi = 3.14159265358979323846;

[[noreturn]] void raise() {
  dataerr_jmp();
  throw DataJump{};  // every caller of the cycle holds a frame
}

// ---------------------------------------------------------------------------
// Where the time goes

CycleStats stats;

double nowms() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Whether the workers' busy times are measured (timecycle).
bool timing = false;

// The calling thread's processor time: a worker's busy time, which waiting
// for a processor on a loaded machine does not lengthen. Reading it is a
// system call, so it reads 0 unless the benchmark asked for the times.
double threadms() {
  if (!timing) return 0.0;
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

// Each worker's busy time of the current pass, on a cache line of its own.
struct alignas(64) WorkerClock {
  double busy = 0.0;
  double peakrows = 0.0;
  double enter = -1.0;  // wall time at which the work function began, -1 not yet
  double leave = 0.0;   // and at which it ended
};
std::vector<WorkerClock> workerclocks;

WorkerClock& myclock() { return workerclocks[static_cast<size_t>(threadid())]; }

void startclocks() {
  const auto workers = static_cast<size_t>(nthreads > 0 ? nthreads : 1);
  if (workerclocks.size() < workers) workerclocks.resize(workers);
  for (WorkerClock& w : workerclocks) w = WorkerClock{};
}

// The calling worker's clock, with the time its work function began.
WorkerClock& enterclock() {
  WorkerClock& c = myclock();
  c.enter = nowms();
  return c;
}

// What the workers of the passes of one kind cost.
struct PassTimes {
  double* wall;      // wall time of the passes
  double* busy;      // busy time of the workers
  double* waits;     // wall time of the workers before their work function began,
                     // and after it ended until the pass was over
  double* starts;    // of the waits those before the work function began
  double* peakrows;  // of the busy time the peak-model rows, or null
};

// Hands fn to the pool and waits for it, with the pass's times.
void pass(WorkFunction fn, uint64_t arg, const PassTimes& t) {
  startclocks();
  const double t0 = nowms();
  nshare(fn, arg);
  nwait();
  const double t1 = nowms();
  *t.wall += t1 - t0;
  ++stats.handoffs;
  for (const WorkerClock& w : workerclocks) {
    *t.busy += w.busy;
    if (w.enter < 0.0) continue;
    *t.waits += (w.enter - t0) + (t1 - w.leave);
    *t.starts += w.enter - t0;
    if (t.peakrows != nullptr) *t.peakrows += w.peakrows;
  }
}

// ---------------------------------------------------------------------------
// Reflection lines on the worker pool

// What one worker met: the first reflection that failed (the highest index
// it took, since reflections are taken from the last to the first), a fatal
// message kept for the main thread, and the store's error records of the
// failure (newest first).
struct WorkerSlot {
  LineFailure failure;
  LineFailure line;  // where the line being computed keeps its fatal message
  int64_t item = -1;
  std::vector<std::pair<std::string, std::string>> errors;
};

// Kept between evaluations so that an evaluation allocates nothing.
std::vector<WorkerSlot> workerslots;

// Takes the next items of a countdown shared by the workers: most at a time,
// the groups starting at multiples of most. Items go from the last to the
// first. Returns how many were taken (0: none left) and in *low the first of
// them.
int64_t takeitems(std::atomic<int64_t>& left, int64_t most, int64_t* low) {
  int64_t old = left.load(std::memory_order_relaxed);
  while (old >= 1) {
    const int64_t k = old % most != 0 ? old % most : most;
    if (left.compare_exchange_weak(old, old - k, std::memory_order_acq_rel,
                                   std::memory_order_relaxed)) {
      *low = old - k;
      return k;
    }
  }
  return 0;
}

// Reflections are taken four at a time (groups starting at multiples of
// four, whose peaks share a cache line of the peak set). Each worker has a
// home range of the reflections, the same in every evaluation, so that the
// records of its lines stay in its cache from one evaluation to the next: it
// takes groups from the top of its range, and when that is empty it helps the
// others from the bottom of theirs. A range is one 64-bit word, first item in
// the low and end in the high half, changed by compare-and-swap.
constexpr int64_t kLineGroup = 4;

struct alignas(64) LineRange {
  std::atomic<uint64_t> span;
};

uint64_t makespan(int64_t low, int64_t end) {
  return static_cast<uint64_t>(low) | static_cast<uint64_t>(end) << 32;
}

// Takes a group from the top (own range) or the bottom (another's) of range
// r: the count (0: empty) and in *low its first item.
int64_t takegroup(LineRange& r, bool top, int64_t* low) {
  uint64_t old = r.span.load(std::memory_order_relaxed);
  while (true) {
    const auto lo = static_cast<int64_t>(old & 0xffffffffu);
    const auto end = static_cast<int64_t>(old >> 32);
    if (lo >= end) return 0;
    int64_t first, last;
    if (top) {
      first = std::max(lo, end % kLineGroup != 0 ? end - end % kLineGroup : end - kLineGroup);
      last = end;
    } else {
      first = lo;
      last = std::min(end, lo + kLineGroup);
    }
    const uint64_t now = top ? makespan(lo, first) : makespan(last, end);
    if (r.span.compare_exchange_weak(old, now, std::memory_order_acq_rel,
                                     std::memory_order_relaxed)) {
      *low = first;
      return last - first;
    }
  }
}

// The ranges, kept between evaluations.
std::vector<LineRange> lineranges;

struct LineWork {
  // The highest reflection that failed, -1 none: reflections below it need
  // not be computed any more.
  alignas(64) std::atomic<int64_t> failed;
  ReflectionRecord** refl;
  int64_t count;           // reflections
  const int32_t* columns;  // during the finite differences the peak-parameter
                           // columns of the phase's reflections, else null
};

void shareout(int64_t count) {
  const auto workers = static_cast<size_t>(nthreads > 0 ? nthreads : 1);
  if (lineranges.size() != workers) lineranges = std::vector<LineRange>(workers);
  const auto w = static_cast<int64_t>(workers);
  const int64_t share = (count + w * kLineGroup - 1) / (w * kLineGroup) * kLineGroup;
  for (int64_t i = 0; i < w; ++i)
    lineranges[static_cast<size_t>(i)].span.store(
        makespan(std::min(count, i * share), std::min(count, (i + 1) * share)),
        std::memory_order_relaxed);
}

// The next group of the calling worker (own range first, then the others'
// from the next worker on): its count, 0 when every range is empty.
int64_t nextgroup(size_t me, int64_t* low) {
  const size_t w = lineranges.size();
  if (const int64_t n = takegroup(lineranges[me], true, low); n > 0) return n;
  for (size_t k = 1; k < w; ++k)
    if (const int64_t n = takegroup(lineranges[(me + k) % w], false, low); n > 0) return n;
  return 0;
}

// ---------------------------------------------------------------------------
// The finite differences of the peak parameters, taken by the workers

// While the finite differences of a structural parameter are measured, the
// worker that computes a line also takes the differences of its peak
// parameters, while the line's record is still in its cache: the main thread
// would otherwise fetch every record back from the workers after each
// evaluation.
struct alignas(64) Stepped {
  float* k = nullptr;            // the parameter's kettenregel row, null outside
  const double* snap = nullptr;  // peak parameters at the start of the pass
  double h = 0.0;                // the step
} stepped;

// kettenregel[j][c] of peak-parameter column c for the step h.
inline void takedifference(float* k, const double* snap, double h, int c) {
  k[c] = static_cast<float>((*tpeaks[c] - snap[c]) / h);
}

// Which columns of the peak parameters lie in which reflection record: per
// phase (in list order) four columns per reflection (intensity, position,
// B1, B2; -1 where no column holds that field), and the columns that lie in
// no reflection of a phase. Made again when tpeaks or a phase's reflection
// array changed since it was made.
struct ColumnMap {
  std::vector<int32_t> columns;  // 4 per reflection, the phases one after the other
  std::vector<int32_t> rest;     // columns outside the reflections
  std::vector<double*> tpeaks;   // what it was made from
  std::vector<ReflectionRecord*> reflections;
} columnmap;

bool columnmapholds() {
  const auto kdim = static_cast<size_t>(kettenregeldim);
  if (columnmap.tpeaks.size() != kdim ||
      !std::equal(tpeaks, tpeaks + kdim, columnmap.tpeaks.begin()))
    return false;
  size_t n = 0;
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next) {
    const auto count = static_cast<size_t>(ph->nrefl);
    if (n + count > columnmap.reflections.size() ||
        !std::equal(ph->refl, ph->refl + count, columnmap.reflections.begin() + n))
      return false;
    n += count;
  }
  return n == columnmap.reflections.size();
}

void makecolumnmap() {
  if (columnmapholds()) return;
  const int kdim = kettenregeldim;
  columnmap.tpeaks.assign(tpeaks, tpeaks + kdim);
  columnmap.reflections.clear();
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next)
    columnmap.reflections.insert(columnmap.reflections.end(), ph->refl, ph->refl + ph->nrefl);
  // Columns by the field they hold; a field held by two columns leaves the
  // second to the main thread.
  std::unordered_map<const double*, int32_t> at;
  at.reserve(static_cast<size_t>(kdim));
  std::vector<uint8_t> taken(static_cast<size_t>(kdim), 0);
  for (int c = 0; c < kdim; ++c) at.emplace(tpeaks[c], c);
  columnmap.columns.assign(4 * columnmap.reflections.size(), -1);
  for (size_t i = 0; i < columnmap.reflections.size(); ++i) {
    ReflectionRecord* r = columnmap.reflections[i];
    const double* fields[4] = {&r->intensity, &r->position, &r->B1, &r->B2};
    for (int f = 0; f < 4; ++f) {
      const auto found = at.find(fields[f]);
      if (found == at.end() || taken[static_cast<size_t>(found->second)]) continue;
      columnmap.columns[4 * i + static_cast<size_t>(f)] = found->second;
      taken[static_cast<size_t>(found->second)] = 1;
    }
  }
  columnmap.rest.clear();
  for (int c = 0; c < kdim; ++c)
    if (!taken[static_cast<size_t>(c)]) columnmap.rest.push_back(c);
}

// The columns of the phase's reflections in the map.
const int32_t* phasecolumns(const PhaseRecord* ph) {
  size_t n = 0;
  for (PhaseRecord* p = phase1; p != ph; p = p->next) n += static_cast<size_t>(p->nrefl);
  return columnmap.columns.data() + 4 * n;
}

void linedifferences(const int32_t* columns) {
  for (int f = 0; f < 4; ++f)
    if (columns[f] >= 0) takedifference(stepped.k, stepped.snap, stepped.h, columns[f]);
}

// The phases whose lines the current evaluation computed, in list order.
std::vector<const PhaseRecord*> linephases;

void tabcopypar(uint64_t arg) {
  WorkerClock& clock = enterclock();
  const double t0 = threadms();
  auto* work = reinterpret_cast<LineWork*>(arg);
  const auto me = static_cast<size_t>(threadid());
  WorkerSlot& slot = workerslots[me];
  setlinefailure(&slot.line);
  int64_t r = -1, low = 0;
  while (true) {
    // The failure that counts is the highest reflection that fails, as one
    // worker taking the reflections from the last to the first would meet
    // it: after a failure the reflections above it are still computed, and
    // only those below it are left out. A worker goes on after a failure of
    // its own, since the pass may end with the caller's share (a worker
    // that comes late skips it): so no reflection above a failure is left
    // untaken. A later failure of the worker lies above the earlier one.
    if (r < low) {
      const int64_t n = nextgroup(me, &low);
      if (n == 0) break;
      r = low + n - 1;
    }
    const int64_t item = r--;
    if (item < work->failed.load(std::memory_order_relaxed)) continue;
    ReflectionRecord* refl = work->refl[item];
    if (dataerr_try([&] { computeline(refl); })) {
      if (work->columns != nullptr) linedifferences(work->columns + 4 * item);
      continue;
    }
    slot.item = item;
    slot.failure.status = slot.line.status;
    slot.failure.text.swap(slot.line.text);
    slot.line.status = 0;
    slot.line.text.clear();
    slot.errors.clear();
    while (ifErr()) {
      const char* object = GetErr(0);
      const char* text = GetErr(1);
      slot.errors.emplace_back(object != nullptr ? object : "", text != nullptr ? text : "");
      NextErr();
    }
    DelAll();  // what the failed line left in the worker's scope
    int64_t seen = work->failed.load(std::memory_order_relaxed);
    while (seen < item && !work->failed.compare_exchange_weak(seen, item)) {
    }
  }
  setlinefailure(nullptr);
  clock.busy += threadms() - t0;
  clock.leave = nowms();
}

// The temperature-factor penalty of each atom: the worst of what the threads
// met, so that it does not depend on how the reflections were shared out.
void clearpenalties(PhaseRecord* ph) {
  for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next)
    for (int i = 0; i < nthreads; ++i) at->threadpenalty[i] = 0.0;
}
void combinepenalties(PhaseRecord* ph) {
  for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next) {
    double worst = 0.0;
    for (int i = 0; i < nthreads; ++i)
      if (std::fabs(at->threadpenalty[i]) > std::fabs(worst)) worst = at->threadpenalty[i];
    at->penalty = worst;
  }
}

// Every reflection line of the phase on the workers, in the threaded phase of
// the store. A failure is judged by the highest reflection that failed, as
// one worker taking the reflections one after the other would have met it:
// a fatal message ends the run, anything else is a data error with that
// reflection's error records.
void linepass(PhaseRecord* ph) {
  const auto workers = static_cast<size_t>(nthreads > 0 ? nthreads : 1);
  if (workerslots.size() < workers) workerslots.resize(workers);
  for (WorkerSlot& s : workerslots) {
    s.failure.status = 0;
    s.failure.text.clear();
    s.line.status = 0;
    s.line.text.clear();
    s.item = -1;
    s.errors.clear();
  }
  clearpenalties(ph);
  LineWork work;
  work.count = ph->nrefl;
  work.failed.store(-1);
  shareout(work.count);
  work.refl = ph->refl;
  work.columns = stepped.k != nullptr ? phasecolumns(ph) : nullptr;
  const double t0 = nowms();
  initDATAthreads();
  const double t1 = nowms();
  // What the structure factors of the pass can take again from the last one.
  stampstructure(ph);
  pass(tabcopypar, reinterpret_cast<uint64_t>(&work),
       {&stats.linems, &stats.linebusyms, &stats.linewaitms, &stats.linestartms, nullptr});
  endstructurestamps();
  ++stats.threadphases;
  stats.lines += ph->nrefl;
  const double t2 = nowms();
  const WorkerSlot* failed = nullptr;
  for (const WorkerSlot& s : workerslots)
    if (s.item >= 0 && (failed == nullptr || s.item > failed->item)) failed = &s;
  if (failed != nullptr && failed->failure.status != 0) linefailureexit(failed->failure);
  exitDATAthreads();
  stats.phasems += (t1 - t0) + (nowms() - t2);
  combinepenalties(ph);
  if (failed == nullptr) return;
  ClearErr();
  DataContext* c = datacontext();
  for (auto e = failed->errors.rbegin(); e != failed->errors.rend(); ++e)
    SetErr(c, e->first.c_str(), static_cast<int>(e->first.size()), e->second.c_str());
  raise();
}

// ---------------------------------------------------------------------------
// One evaluation

void discard() {
  DelAll();
  freeDATAlist();
}

// One phase: its set-up, its lines (unless it keeps those of the previous
// evaluation) and its goals, whose scope stays detached in the phase.
void evaluatephase(PhaseRecord* ph) {
  const bool keep =
      localphase != nullptr && lastphase != nullptr && ph != localphase && ph != lastphase;
  if (keep && !ifgoal) return;
  newDATAlist();
  xyzinit();
  if (!keep) {
    newDATAlist();
    registerstructurefunctions();
    linepass(ph);
    linephases.push_back(ph);
    discard();
    if (!ifgoal) {
      discard();
      return;
    }
  }
  goal();
  ph->scope = pushDATAlist();
}

void globalgoal(ParamRecord& g) {
  if (g.failed) {
    goalwert[g.goalindex] = 0.0;
    return;
  }
  const bool ok = dataerr_try([&] {
    goalwert[g.goalindex] = Wert(g.goal);
    if (g.second != nullptr) g.secondvalue = Wert(g.second);
  });
  if (!ok) {
    ClearErr();
    g.failed = 1;
    goalwert[g.goalindex] = 0.0;
  }
}

void evaluation() {
  linephases.clear();
  ksinit();
  const int nglobal = globalgoals + globalparams;
  for (int k = 0; k < nglobal; ++k)
    if (paramglobal[k].name != nullptr) SetVar(paramglobal[k].name, paramglobal[k].value);
  double* eps[4] = {&eps1, &eps2, &eps3, &eps4};
  const char* names[4] = {"EPS1", "EPS2", "EPS3", "EPS4"};
  for (int i = 0; i < 4; ++i) {
    double v = 0.0;
    *eps[i] = TryGetVar(names[i], &v) ? v : 0.0;
  }
  for (phasei = phase1; phasei != nullptr; phasei = phasei->next) {
    PhaseRecord* ph = phasei;
    if (!dataerr_try([&] { evaluatephase(ph); })) {
      message<260>(ph->number);
      namephasefile(ph->number);
      raise();
    }
  }
  lastphase = localphase;
  if (!ifgoal) return;
  SetUserFkt("Straf", 1, goaldummystraf);
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next) {
    if (ph->scope == nullptr) continue;
    popDATAlist(ph->scope);
    ph->scope = nullptr;
    freeDATAlist();
  }
  for (int k = 0; k < nglobal; ++k)
    if (paramglobal[k].goal != nullptr) globalgoal(paramglobal[k]);
}

// After a failed evaluation: every scope it opened is dropped, detached phase
// scopes included.
void unwind(int depth) {
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next) {
    if (ph->scope != nullptr && !ph->scope->attached) {
      popDATAlist(ph->scope);
      discard();
    }
    ph->scope = nullptr;
  }
  while (DATAlistLevel() > depth) discard();
}

// ---------------------------------------------------------------------------
// Derivative rows

// The chain rule of one structural parameter over the non-zero band entries
// of its kettenregel row, found once per pass (a parameter moves only some
// kinds of peak parameters: positions, intensities or breadths).
std::vector<int32_t> nzstart;   // [noequiv + 1] offsets into the lists below
std::vector<int32_t> nzcolumn;  // peak-parameter column
std::vector<float> nzvalue;     // d peak parameter / d structural parameter

// Four data rows side by side: per peak-parameter column the four rows'
// values, and per structural parameter the four rows' sums.
typedef float RowFloats __attribute__((vector_size(16)));
typedef double RowSums __attribute__((vector_size(32)));
constexpr int kGroup = 4;
// Eight data rows side by side (the rows computed ahead, the points of the
// derivative mode).
typedef float WideFloats __attribute__((vector_size(32)));
constexpr int kWide = 8;
// A column of eight rows; the vector type's own alignment does not carry over
// into a container's allocation, the structure's does.
struct alignas(32) WideColumn {
  WideFloats v;
};
std::vector<WideColumn> widecolumns;  // kettenregeldim columns per worker

void chainlists() {
  nzstart.assign(static_cast<size_t>(noequiv) + 1, 0);
  nzcolumn.clear();
  nzvalue.clear();
  for (int s = 0; s < noequiv; ++s) {
    const int first = matrixmultdim[2 * s], count = matrixmultdim[2 * s + 1];
    const float* k = kettenregel + static_cast<size_t>(s) * kettenregeldim;
    for (int c = first; c < first + count; ++c) {
      if (k[c] == 0.0f) continue;
      nzcolumn.push_back(c);
      nzvalue.push_back(k[c]);
    }
    nzstart[static_cast<size_t>(s) + 1] = static_cast<int32_t>(nzcolumn.size());
  }
  const auto workers = static_cast<size_t>(nthreads > 0 ? nthreads : 1);
  widecolumns.resize(workers * static_cast<size_t>(kettenregeldim));
}

// The structural columns of n <= 8 data rows from their peak-model rows
// p[0 .. n-1], the eight rows side by side; row r's value of parameter s goes
// to out[r * stride + s]. Each row's value is its float products summed in
// double, in four interleaved partial sums (partial sum u takes the
// parameter's u-th, (u+4)-th, ... non-zero entry), so that the additions do
// not wait for each other: the same operations in the same order for every
// row, whatever the rows beside it and the threads. The sums are held in two
// halves of four rows; eight rows take one product of eight floats per
// non-zero entry. col is the worker's own room for the rows side by side.
// With dout given the sums go there unrounded, in place of out.
KALVO_LANE_TARGETS void chainwide(const float* const* p, int n, float* out, double* dout,
                                  size_t stride, WideColumn* col) {
  const int kdim = kettenregeldim;
  const float* q[kWide];
  for (int r = 0; r < kWide; ++r) q[r] = p[r < n ? r : 0];
  for (int c = 0; c < kdim; ++c)
    col[c].v = WideFloats{q[0][c], q[1][c], q[2][c], q[3][c], q[4][c], q[5][c], q[6][c], q[7][c]};
  const int32_t* cols = nzcolumn.data();
  const float* val = nzvalue.data();
  for (int s = 0; s < noequiv; ++s) {
    RowSums l0 = {}, l1 = {}, l2 = {}, l3 = {};
    RowSums h0 = {}, h1 = {}, h2 = {}, h3 = {};
    int32_t t = nzstart[static_cast<size_t>(s)];
    const int32_t end = nzstart[static_cast<size_t>(s) + 1];
    auto add = [&](RowSums& low, RowSums& high, int32_t at) {
      const WideFloats x = val[at] * col[cols[at]].v;
      const RowFloats xl = __builtin_shufflevector(x, x, 0, 1, 2, 3);
      const RowFloats xh = __builtin_shufflevector(x, x, 4, 5, 6, 7);
      low += __builtin_convertvector(xl, RowSums);
      high += __builtin_convertvector(xh, RowSums);
    };
    for (; t + 4 <= end; t += 4) {
      add(l0, h0, t);
      add(l1, h1, t + 1);
      add(l2, h2, t + 2);
      add(l3, h3, t + 3);
    }
    if (t < end) add(l0, h0, t++);
    if (t < end) add(l1, h1, t++);
    if (t < end) add(l2, h2, t);
    const RowSums low = (l0 + l1) + (l2 + l3);
    const RowSums high = (h0 + h1) + (h2 + h3);
    if (dout != nullptr)
      for (int r = 0; r < n; ++r)
        dout[static_cast<size_t>(r) * stride + s] = r < kGroup ? low[r] : high[r - kGroup];
    else
      for (int r = 0; r < n; ++r)
        out[static_cast<size_t>(r) * stride + s] =
            static_cast<float>(r < kGroup ? low[r] : high[r - kGroup]);
  }
}

#ifdef KALVO_CHAIN_AVX2
// chainwide with AVX2 instructions: the compiler's own conversion of four
// floats to four doubles takes four instructions where one does. The same
// products and sums in the same order.
__attribute__((target("avx2"), always_inline)) inline void addwide(__m256d& low, __m256d& high,
                                                                   float v, const float* c) {
  const __m256 x = _mm256_mul_ps(_mm256_set1_ps(v), _mm256_load_ps(c));
  low = _mm256_add_pd(low, _mm256_cvtps_pd(_mm256_castps256_ps128(x)));
  high = _mm256_add_pd(high, _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)));
}

__attribute__((target("avx2"))) void chainwideavx2(const float* const* p, int n, float* out,
                                                   double* dout, size_t stride, WideColumn* col) {
  const int kdim = kettenregeldim;
  const float* q[kWide];
  for (int r = 0; r < kWide; ++r) q[r] = p[r < n ? r : 0];
  for (int c = 0; c < kdim; ++c)
    col[c].v = WideFloats{q[0][c], q[1][c], q[2][c], q[3][c], q[4][c], q[5][c], q[6][c], q[7][c]};
  const int32_t* cols = nzcolumn.data();
  const float* val = nzvalue.data();
  const float* at0 = reinterpret_cast<const float*>(col);
  for (int s = 0; s < noequiv; ++s) {
    __m256d l0 = _mm256_setzero_pd(), l1 = l0, l2 = l0, l3 = l0;
    __m256d h0 = l0, h1 = l0, h2 = l0, h3 = l0;
    int32_t t = nzstart[static_cast<size_t>(s)];
    const int32_t end = nzstart[static_cast<size_t>(s) + 1];
    for (; t + 4 <= end; t += 4) {
      addwide(l0, h0, val[t], at0 + static_cast<size_t>(kWide) * cols[t]);
      addwide(l1, h1, val[t + 1], at0 + static_cast<size_t>(kWide) * cols[t + 1]);
      addwide(l2, h2, val[t + 2], at0 + static_cast<size_t>(kWide) * cols[t + 2]);
      addwide(l3, h3, val[t + 3], at0 + static_cast<size_t>(kWide) * cols[t + 3]);
    }
    if (t < end) addwide(l0, h0, val[t], at0 + static_cast<size_t>(kWide) * cols[t]), ++t;
    if (t < end) addwide(l1, h1, val[t], at0 + static_cast<size_t>(kWide) * cols[t]), ++t;
    if (t < end) addwide(l2, h2, val[t], at0 + static_cast<size_t>(kWide) * cols[t]);
    double sums[kWide];
    _mm256_storeu_pd(sums, _mm256_add_pd(_mm256_add_pd(l0, l1), _mm256_add_pd(l2, l3)));
    _mm256_storeu_pd(sums + kGroup, _mm256_add_pd(_mm256_add_pd(h0, h1), _mm256_add_pd(h2, h3)));
    if (dout != nullptr)
      for (int r = 0; r < n; ++r) dout[static_cast<size_t>(r) * stride + s] = sums[r];
    else
      for (int r = 0; r < n; ++r)
        out[static_cast<size_t>(r) * stride + s] = static_cast<float>(sums[r]);
  }
}

const bool haveavx2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();
#endif

// chainwide by what the processor has.
void chainrows(const float* const* p, int n, float* out, double* dout, size_t stride,
               WideColumn* col) {
#ifdef KALVO_CHAIN_AVX2
  if (haveavx2) {
    chainwideavx2(p, n, out, dout, stride, col);
    return;
  }
#endif
  chainwide(p, n, out, dout, stride, col);
}

WideColumn* mywidecolumns(int slot) {
  return widecolumns.data() + static_cast<size_t>(slot) * static_cast<size_t>(kettenregeldim);
}

// ---------------------------------------------------------------------------
// Data rows computed ahead (ordinary mode)
//
// The data rows of a pass are computed by the workers while the caller takes
// them: one hand-off serves a block of rows as long as the whole pattern
// where the finished rows fit into 32 MB, and the caller waits only for the
// rows it asks for that are not done yet, computing rows itself meanwhile.
// A worker takes eight rows at a time, in ascending order, computes their
// peak-model rows into room of its own (which stays in its cache), applies
// the chain rule to them at once and keeps of each row only what the caller
// is handed: the noequiv structural columns, then the direct peak-model
// columns of the later parameter records. Row 0 computes its own eight rows
// and leaves nothing running; the other rows of the block go to the pool at
// row 1, so that a caller that only wants the finite differences of row 0
// leaves no work behind it.

// Longest block of rows computed ahead, 0: as many as fit into 32 MB.
int aheadlimit = 0;

// Whether the diagram written at row 0 waits for the disk (syncdiagram).
bool diagramsync = true;

struct alignas(64) AheadSlot {
  std::vector<float> peakrows;  // kWide peak-model rows
  double peakwall = 0.0;        // wall time of the peak-model rows
  double wall = 0.0;            // wall time of the groups
};
std::vector<AheadSlot> aheadslots;

struct Ahead {
  alignas(64) std::atomic<int32_t> next;         // next group to take
  alignas(64) int first = 0;                     // first row of the block
  int rows = 0;                                  // rows of the block
  int groups = 0;                                // groups of kWide rows
  int width = 0;                                 // floats per finished row (rqmin)
  bool running = false;                          // handed to the pool, not yet waited for
  double t0 = 0.0;                               // when it was handed out
  std::vector<float> out;                        // finished rows
  std::unique_ptr<std::atomic<uint8_t>[]> done;  // per group: finished
  size_t donesize = 0;
  std::vector<int32_t> direct;  // peak-model column of each direct parameter
} ahead;

int aheadrows() {
  const int workers = nthreads > 0 ? nthreads : 1;
  const size_t row = sizeof(float) * static_cast<size_t>(rqmin > 0 ? rqmin : 1);
  size_t fit = (size_t(32) << 20) / row;
  if (aheadlimit > 0) fit = static_cast<size_t>(aheadlimit);
  fit = std::max<size_t>(fit / kWide * kWide, static_cast<size_t>(kWide * workers));
  return static_cast<int>(std::min<size_t>(fit, static_cast<size_t>(m > 0 ? m : 1)));
}

// Group g of the block: its peak-model rows, chain rule and direct columns.
void aheadgroup(int g, int slot) {
  const int j0 = g * kWide;
  const int n = std::min(kWide, ahead.rows - j0);
  AheadSlot& own = aheadslots[static_cast<size_t>(slot)];
  const double t0 = nowms();
  const float* p[kWide];
  ableitungen(own.peakrows.data(), static_cast<size_t>(rpeaks), ahead.first + j0, n, param);
  for (int r = 0; r < n; ++r) p[r] = own.peakrows.data() + static_cast<size_t>(r) * rpeaks;
  const double t1 = nowms();
  float* out = ahead.out.data() + static_cast<size_t>(j0) * ahead.width;
  if (noequiv > 0)
    chainrows(p, n, out, nullptr, static_cast<size_t>(ahead.width), mywidecolumns(slot));
  const size_t nd = ahead.direct.size();
  for (int r = 0; r < n; ++r)
    for (size_t d = 0; d < nd; ++d)
      out[static_cast<size_t>(r) * ahead.width + static_cast<size_t>(noequiv) + d] =
          p[r][ahead.direct[d]];
  own.peakwall += t1 - t0;
  own.wall += nowms() - t0;
  ahead.done[static_cast<size_t>(g)].store(1, std::memory_order_release);
}

// Takes and computes the next group; false when none is left.
bool aheadnext(int slot) {
  const int32_t g = ahead.next.fetch_add(1, std::memory_order_relaxed);
  if (g >= ahead.groups) return false;
  aheadgroup(g, slot);
  return true;
}

// Adds the busy time (processor time, or for the caller's rows in between
// wall time, which costs no system call) to the slot's clock, with the
// peak-model rows' share of it by their share of the wall time.
void aheadbusy(int slot, double busy) {
  AheadSlot& own = aheadslots[static_cast<size_t>(slot)];
  WorkerClock& clock = workerclocks[static_cast<size_t>(slot)];
  clock.busy += busy;
  if (own.wall > 0.0) clock.peakrows += busy * own.peakwall / own.wall;
  own.peakwall = own.wall = 0.0;
}

void aheadfkt(uint64_t) {
  const int me = threadid();
  WorkerClock& clock = myclock();
  if (me != 0) clock.enter = nowms();  // the caller's share began with the pass
  const double cpu0 = threadms();
  while (aheadnext(me)) {
  }
  aheadbusy(me, threadms() - cpu0);
  clock.leave = nowms();
}

// Waits for the block handed to the pool, with the times of its pass.
void aheadfinish() {
  if (!ahead.running) return;
  ahead.running = false;
  nwait();
  const double t1 = nowms();
  stats.blockms += t1 - ahead.t0;
  for (const WorkerClock& w : workerclocks) {
    stats.blockbusyms += w.busy;
    stats.peakrowbusyms += w.peakrows;
    if (w.enter < 0.0) continue;
    stats.blockwaitms += (w.enter - ahead.t0) + (t1 - w.leave);
    stats.blockstartms += w.enter - ahead.t0;
  }
}

// Makes the block of rows from first ready to be computed; with own set the
// calling thread computes the first group at once.
void aheadstart(int first, bool own) {
  aheadfinish();
  ahead.first = first;
  ahead.rows = std::min(aheadrows(), m - first);
  ahead.groups = (ahead.rows + kWide - 1) / kWide;
  ahead.width = rqmin;
  const size_t floats = static_cast<size_t>(ahead.rows) * static_cast<size_t>(rqmin);
  if (ahead.out.size() < floats) ahead.out.resize(floats);
  if (ahead.donesize < static_cast<size_t>(ahead.groups)) {
    ahead.donesize = static_cast<size_t>(ahead.groups);
    ahead.done = std::make_unique<std::atomic<uint8_t>[]>(ahead.donesize);
  }
  for (int g = 0; g < ahead.groups; ++g) ahead.done[static_cast<size_t>(g)].store(0);
  ahead.direct.clear();
  for (int c = noequiv; c < rqmin; ++c) ahead.direct.push_back(qminparam[c].index);
  const auto workers = static_cast<size_t>(nthreads > 0 ? nthreads : 1);
  if (aheadslots.size() < workers) aheadslots.resize(workers);
  for (AheadSlot& a : aheadslots) a.peakrows.resize(static_cast<size_t>(kWide) * rpeaks);
  ahead.next.store(0);
  if (own) {
    startclocks();
    const double t0 = nowms();
    aheadnext(0);
    aheadbusy(0, nowms() - t0);
    stats.blockbusyms += workerclocks[0].busy;
    stats.peakrowbusyms += workerclocks[0].peakrows;
  }
}

// Hands the rest of the block to the pool.
void aheadhandoff() {
  if (ahead.next.load() >= ahead.groups) return;
  startclocks();
  ahead.t0 = nowms();
  workerclocks[0].enter = ahead.t0;
  ahead.running = true;
  ++stats.handoffs;
  nshare(aheadfkt, 0);
  // Without workers the calling thread computes the block at once.
  if (nthreads <= 1) aheadfinish();
}

// Row i of the block, once finished: the calling thread computes rows
// itself while it waits. The last row of the block waits for the pool.
const float* aheadrow(int i) {
  const auto g = static_cast<size_t>((i - ahead.first) / kWide);
  if (ahead.done[g].load(std::memory_order_acquire) == 0) {
    const double t0 = nowms();
    while (ahead.done[g].load(std::memory_order_acquire) == 0)
      if (!aheadnext(0)) relax();
    aheadbusy(0, nowms() - t0);
  }
  const float* row = ahead.out.data() + static_cast<size_t>(i - ahead.first) * ahead.width;
  // The row two groups on, when finished, is fetched from the worker's
  // cache while the caller uses this one.
  const int k = i - ahead.first + 2 * kWide;
  if (k < ahead.rows &&
      ahead.done[static_cast<size_t>(k / kWide)].load(std::memory_order_relaxed)) {
    const char* at = reinterpret_cast<const char*>(row + 2 * kWide * ahead.width);
    for (size_t b = 0; b < sizeof(float) * static_cast<size_t>(ahead.width); b += 64)
      __builtin_prefetch(at + b);
  }
  if (i == ahead.first + ahead.rows - 1) {
    workerclocks[0].leave = nowms();
    aheadfinish();
  }
  return row;
}

// ---------------------------------------------------------------------------
// Data rows in derivative mode
//
// A data row is the window of Savitzky-Golay weights over the unweighted
// model derivatives of the points around its centre, times the row's weight.
// The window is linear, so the chain rule is taken first, at each point: the
// workers compute the peak-model row of every point the block's windows take
// in, eight points side by side, apply the chain rule to them at once and keep
// of each point only its rqmin columns (the structural ones, then the direct
// peak-model ones), unrounded. The rows are then the windows of these few
// columns. So a point's peak-model row is computed once, not once for each
// window that holds it, and the windows run over rqmin columns instead of
// all the peak-model columns. Every point and every row is computed by the
// same operations whichever thread takes it.

struct DdmBlock {
  int first = -1;               // first data row of the block, -1 none
  int rows = 0;                 // data rows of the block
  int point0 = 0;               // first point the block's windows take in
  int points = 0;               // points the block's windows take in
  int width = 0;                // columns per point and per row (rqmin)
  int stride = 0;               // doubles from one point's columns to the next's
  std::vector<double> columns;  // points x stride: the columns of each point
  std::vector<float> out;       // rows x width: the finished rows
  std::vector<int32_t> direct;  // peak-model column of each direct parameter
} ddmblock;

// Per worker the room for kWide peak-model rows of points.
std::vector<std::vector<float>> ddmpointrows;

// The points of a pass and the rows of a pass are counted down in groups.
struct DdmWork {
  alignas(64) std::atomic<int64_t> left;
};

// A pass this small runs on the calling thread: a hand-off to the pool
// costs more than it saves.
constexpr int kDdmSmallPoints = 32;
constexpr int kDdmSmallRows = 1024;
// Rows per group of the window pass.
constexpr int64_t kDdmRowGroup = 64;

int myslot() { return std::max(0, threadid()); }

// Points point0 + low .. point0 + low + n - 1 (n <= kWide) into ddmblock.columns.
void ddmpointgroup(int64_t low, int n, int slot) {
  std::vector<float>& room = ddmpointrows[static_cast<size_t>(slot)];
  // The rows have no background entries in derivative mode.
  const int np = rpeaks - param->ru;
  const float* p[kWide];
  for (int r = 0; r < n; ++r) {
    float* row = room.data() + static_cast<size_t>(r) * rpeaks;
    ableitungpunkt(row, ddmblock.point0 + static_cast<int>(low) + r, param);
    for (int c = np; c < rpeaks; ++c) row[c] = 0.0f;
    p[r] = row;
  }
  const auto stride = static_cast<size_t>(ddmblock.stride);
  double* at = ddmblock.columns.data() + static_cast<size_t>(low) * stride;
  if (noequiv > 0) chainrows(p, n, nullptr, at, stride, mywidecolumns(slot));
  const size_t nd = ddmblock.direct.size();
  for (int r = 0; r < n; ++r)
    for (size_t d = 0; d < nd; ++d)
      at[static_cast<size_t>(r) * stride + static_cast<size_t>(noequiv) + d] =
          p[r][ddmblock.direct[d]];
}

void ddmpointfkt(uint64_t arg) {
  auto* work = reinterpret_cast<DdmWork*>(arg);
  const bool pooled = threadid() >= 0;
  WorkerClock* clock = pooled ? &enterclock() : nullptr;
  const double cpu0 = threadms();
  const int slot = myslot();
  int64_t low = 0;
  for (int64_t k; (k = takeitems(work->left, kWide, &low)) > 0;)
    ddmpointgroup(low, static_cast<int>(k), slot);
  if (clock != nullptr) {
    clock->busy += threadms() - cpu0;
    clock->leave = nowms();
  }
}

// The windows run over four columns at once, a window's sum of each column
// taken over the points in order as one column alone would take it; the two
// rows of a centre (slope and curvature) share the loads of its points. The
// columns of a point are padded to a multiple of four (the padding is never
// read into a row).
typedef double ColumnQuad __attribute__((vector_size(32)));
constexpr int kQuad = 4;
constexpr int kQuadsAtOnce = 4;

// Columns q0 * 4 .. (q0 + Q) * 4 - 1 of the window of half-width rc round
// centre, with the weights w0 (and w1 for a second row when given).
template <int Q>
__attribute__((always_inline)) inline void ddmquads(const double* centre, ptrdiff_t stride, int rc,
                                                    const double* w0, const double* w1, double* s0,
                                                    double* s1) {
  ColumnQuad a[Q], b[Q];
  for (int q = 0; q < Q; ++q) a[q] = b[q] = ColumnQuad{};
  for (int j = -rc; j <= rc; ++j) {
    const double* at = centre + static_cast<ptrdiff_t>(j) * stride;
    const double x = w0[j];
    if (w1 != nullptr) {
      const double y = w1[j];
      for (int q = 0; q < Q; ++q) {
        ColumnQuad v;
        std::memcpy(&v, at + q * kQuad, sizeof v);
        a[q] += x * v;
        b[q] += y * v;
      }
    } else {
      for (int q = 0; q < Q; ++q) {
        ColumnQuad v;
        std::memcpy(&v, at + q * kQuad, sizeof v);
        a[q] += x * v;
      }
    }
  }
  std::memcpy(s0, a, sizeof a);
  std::memcpy(s1, b, sizeof b);
}

// The window sums of every column of one or two rows of the same centre.
KALVO_LANE_TARGETS void ddmwindows(const double* centre, int quads, ptrdiff_t stride, int rc,
                                   const double* w0, const double* w1, double* s0, double* s1) {
  int q = 0;
  for (; q + kQuadsAtOnce <= quads; q += kQuadsAtOnce)
    ddmquads<kQuadsAtOnce>(centre + q * kQuad, stride, rc, w0, w1, s0 + q * kQuad, s1 + q * kQuad);
  switch (quads - q) {
    case 3:
      ddmquads<3>(centre + q * kQuad, stride, rc, w0, w1, s0 + q * kQuad, s1 + q * kQuad);
      break;
    case 2:
      ddmquads<2>(centre + q * kQuad, stride, rc, w0, w1, s0 + q * kQuad, s1 + q * kQuad);
      break;
    case 1:
      ddmquads<1>(centre + q * kQuad, stride, rc, w0, w1, s0 + q * kQuad, s1 + q * kQuad);
      break;
    default:
      break;
  }
}

// Rows first + low .. first + low + n - 1 of the block into ddmblock.out.
void ddmrowgroup(int64_t low, int n, DdmWeights& slope, DdmWeights& curvature,
                 std::vector<double>& sums) {
  const int width = ddmblock.width;
  const auto stride = static_cast<ptrdiff_t>(ddmblock.stride);
  const int quads = ddmblock.stride / kQuad;
  if (sums.size() < 2 * static_cast<size_t>(stride)) sums.resize(2 * static_cast<size_t>(stride));
  double* s0 = sums.data();
  double* s1 = s0 + stride;
  const int end = static_cast<int>(low) + n;
  for (int b = static_cast<int>(low); b < end;) {
    const int t = ddmblock.first + b;
    const int c = t / 2;
    const int rc = ddmrange[c];
    // Point c + 2 + j of the window, j = -rc .. rc.
    const double* centre =
        ddmblock.columns.data() + static_cast<ptrdiff_t>(c + 2 - ddmblock.point0) * stride;
    // A slope row is taken with the curvature row of its centre when that
    // is in the group too.
    const bool pair = t % 2 == 0 && b + 1 < end;
    const double* w0 = t % 2 == 0 ? slope.of(rc) : curvature.of(rc);
    const double* w1 = pair ? curvature.of(rc) : nullptr;
    ddmwindows(centre, quads, stride, rc, w0, w1, s0, s1);
    for (int k = 0; k < (pair ? 2 : 1); ++k) {
      const double* sum = k == 0 ? s0 : s1;
      const double wt = w[t + k];
      float* out = ddmblock.out.data() + static_cast<size_t>(b + k) * static_cast<size_t>(width);
      for (int col = 0; col < width; ++col) out[col] = static_cast<float>(wt * sum[col]);
    }
    b += pair ? 2 : 1;
  }
}

void ddmrowfkt(uint64_t arg) {
  auto* work = reinterpret_cast<DdmWork*>(arg);
  thread_local DdmWeights slope(0), curvature(1);
  thread_local std::vector<double> sums;
  int64_t low = 0;
  for (int64_t k; (k = takeitems(work->left, kDdmRowGroup, &low)) > 0;)
    ddmrowgroup(low, static_cast<int>(k), slope, curvature, sums);
}

// Rows of a block: as many as fit into 32 MB of point columns and finished
// rows, at least 1024, or the limit of limitrowsahead; an even number.
int ddmblockrows() {
  const size_t perrow =
      (sizeof(float) + sizeof(double) / 2) * static_cast<size_t>(rqmin > 0 ? rqmin : 1);
  size_t fit = std::max<size_t>((size_t(32) << 20) / perrow, 1024);
  if (aheadlimit > 0) fit = static_cast<size_t>(aheadlimit);
  fit = std::max<size_t>(fit / 2 * 2, 2);
  return static_cast<int>(std::min<size_t>(fit, static_cast<size_t>(m > 0 ? m : 1)));
}

void computeddmblock(int first, int rows) {
  ddmblock.first = first;
  ddmblock.width = rqmin;
  ddmblock.rows = rows;
  ddmblock.direct.clear();
  for (int c = noequiv; c < rqmin; ++c) ddmblock.direct.push_back(qminparam[c].index);
  // The points the windows of the rows take in.
  int lo = first / 2 + 2 - ddmrange[first / 2], hi = lo;
  for (int c = first / 2; c <= (first + rows - 1) / 2; ++c) {
    lo = std::min(lo, c + 2 - ddmrange[c]);
    hi = std::max(hi, c + 2 + ddmrange[c]);
  }
  ddmblock.point0 = lo;
  ddmblock.points = hi - lo + 1;
  ddmblock.stride = (rqmin + kQuad - 1) / kQuad * kQuad;
  const auto width = static_cast<size_t>(ddmblock.width);
  const auto stride = static_cast<size_t>(ddmblock.stride);
  // The padding of the columns is never written (what it holds never
  // reaches a row).
  if (ddmblock.columns.size() < static_cast<size_t>(ddmblock.points) * stride)
    ddmblock.columns.resize(static_cast<size_t>(ddmblock.points) * stride);
  if (ddmblock.out.size() < static_cast<size_t>(rows) * width)
    ddmblock.out.resize(static_cast<size_t>(rows) * width);
  const auto workers = static_cast<size_t>(nthreads > 0 ? nthreads : 1);
  if (ddmpointrows.size() < workers) ddmpointrows.resize(workers);
  for (std::vector<float>& room : ddmpointrows)
    if (room.size() < static_cast<size_t>(kWide) * rpeaks)
      room.resize(static_cast<size_t>(kWide) * rpeaks);
  if (noequiv > 0 && widecolumns.size() < workers * static_cast<size_t>(kettenregeldim))
    widecolumns.resize(workers * static_cast<size_t>(kettenregeldim));

  DdmWork work;
  work.left.store(ddmblock.points);
  if (nthreads <= 1 || ddmblock.points <= kDdmSmallPoints) {
    ddmpointfkt(reinterpret_cast<uint64_t>(&work));
  } else {
    double wall = 0.0;
    pass(ddmpointfkt, reinterpret_cast<uint64_t>(&work),
         {&wall, &stats.blockbusyms, &stats.blockwaitms, &stats.blockstartms, nullptr});
  }
  work.left.store(rows);
  if (nthreads <= 1 || rows <= kDdmSmallRows) {
    ddmrowfkt(reinterpret_cast<uint64_t>(&work));
  } else {
    nshare(ddmrowfkt, reinterpret_cast<uint64_t>(&work));
    nwait();
    ++stats.handoffs;
  }
}

// ---------------------------------------------------------------------------
// Diagram file

struct Rvalues {
  double Rp, R, Rwp;
};

double ratio(double a, double b) { return b > 0.0 ? a / b : 0.0; }

// In derivative mode the model of data row i is the window of the row over
// the model values of the points; the windows are summed on the pool, each
// in the same order whichever thread takes it, and the sums of the R values
// then taken over the rows in order.
std::vector<double> rowmodels;

void rowmodelrange(int i0, int i1, DdmWeights& slope, DdmWeights& curvature) {
  for (int i = i0; i < i1;) {
    const int c = i / 2, r = ddmrange[c];
    const float* at = y + c + 2;
    // The weights from the tables the derivative rows use (the same
    // values as ddmpolynome gives, worked out once per half-width). The
    // slope and the curvature row of a centre are summed in one loop, as
    // two sums each in its own order.
    if (r > 0 && i % 2 == 0 && i + 1 < i1) {
      const double* ws = slope.of(r);
      const double* wc = curvature.of(r);
      double s0 = 0.0, s1 = 0.0;
      for (int j = -r; j <= r; ++j) {
        s0 += ws[j] * at[j];
        s1 += wc[j] * at[j];
      }
      rowmodels[static_cast<size_t>(i)] = s0;
      rowmodels[static_cast<size_t>(i) + 1] = s1;
      i += 2;
      continue;
    }
    const double* weight = r > 0 ? (i % 2 == 0 ? slope : curvature).of(r) : nullptr;
    double model = 0.0;
    for (int j = -r; j <= r; ++j)
      model += (weight != nullptr ? weight[j] : ddmpolynome(j, i % 2, r)) * at[j];
    rowmodels[static_cast<size_t>(i)] = model;
    ++i;
  }
}

constexpr int kRowModelGroup = 256;

void rowmodelfkt(uint64_t arg) {
  auto* left = reinterpret_cast<std::atomic<int64_t>*>(arg);
  thread_local DdmWeights slope(0), curvature(1);
  for (int64_t g; (g = nexttask(*left)) >= 0;) {
    const int i0 = static_cast<int>(g) * kRowModelGroup;
    rowmodelrange(i0, std::min(m, i0 + kRowModelGroup), slope, curvature);
  }
}

Rvalues rvalues(bool ddm) {
  if (ddm) {
    if (rowmodels.size() < static_cast<size_t>(m)) rowmodels.resize(static_cast<size_t>(m));
    if (nthreads <= 1 || m <= kDdmSmallRows) {
      thread_local DdmWeights slope(0), curvature(1);
      rowmodelrange(0, m, slope, curvature);
    } else {
      std::atomic<int64_t> left{(m + kRowModelGroup - 1) / kRowModelGroup};
      nshare(rowmodelfkt, reinterpret_cast<uint64_t>(&left));
      nwait();
    }
  }
  double sd = 0, sy = 0, sd2 = 0, sy2 = 0, swd2 = 0, swy2 = 0;
  for (int i = 0; i < m; ++i) {
    const double model = ddm ? rowmodels[static_cast<size_t>(i)] : y[i];
    const double meas = intensitaet[i], d = model - meas, wi = w[i];
    sd += std::fabs(d);
    sy += std::fabs(meas);
    sd2 += d * d;
    sy2 += meas * meas;
    swd2 += (wi * d) * (wi * d);
    swy2 += (wi * meas) * (wi * meas);
  }
  return {100.0 * ratio(sd, sy), 100.0 * std::sqrt(ratio(sd2, sy2)),
          100.0 * std::sqrt(ratio(swd2, swy2))};
}

// The lines of the diagram file are formatted in blocks of points, on the
// worker pool when there are several blocks, each into a buffer of its own
// (kept for the next cycle), and written in the order of the points.
constexpr int kDiagramBlock = 512;

struct DiagramTask {
  std::atomic<int64_t> counter;
  bool ddm;
  int points;
  std::vector<std::string>* blocks;
};

// The first two columns of a point, 2theta and the measured value, are the
// same from cycle to cycle: their text is kept with the bits of the values
// it was made of, and made again only where these differ (len 0: made at
// every cycle, too long to keep).
struct PointHead {
  uint32_t sinx = 0, meas = 0;
  uint8_t len = 0;
  char text[23] = {};
};
std::vector<PointHead> heads;

uint32_t bitsof(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

void diagramblock(int block, bool ddm, int points, std::string& out) {
  out.clear();
  char buf[64];
  // A value in fixed notation right-aligned in 8 places, after a blank when
  // asked: fixedtext and, beyond its range, std::to_chars write the digits
  // printf writes for the same precision, at a fraction of its cost. Values
  // that are not finite or too long take printf's own way, cut at 63
  // characters as before.
  auto put = [&](const char* format, bool blank, int precision, double v) {
    if (std::isfinite(v)) {
      int n = fixedtext(v, precision, buf);
      if (n < 0) {
        const std::to_chars_result r =
            std::to_chars(buf, buf + 48, v, std::chars_format::fixed, precision);
        if (r.ec == std::errc{}) n = static_cast<int>(r.ptr - buf);
      }
      if (n >= 0) {
        const auto len = static_cast<size_t>(n);
        if (blank) out.push_back(' ');
        if (len < 8) out.append(8 - len, ' ');
        out.append(buf, len);
        return;
      }
    }
    const int len = std::snprintf(buf, sizeof buf, format, v);
    if (len > 0)
      out.append(buf, static_cast<size_t>(std::min(len, static_cast<int>(sizeof buf) - 1)));
  };
  const int end = std::min(points, (block + 1) * kDiagramBlock);
  for (int i = block * kDiagramBlock; i < end; ++i) {
    const float meas = ddm ? ddmoriintensitaet[i] : intensitaet[i];
    PointHead& head = heads[static_cast<size_t>(i)];
    if (head.len > 0 && head.sinx == bitsof(sinx[i]) && head.meas == bitsof(meas)) {
      out.append(head.text, head.len);
    } else {
      const size_t at = out.size();
      const double tt = std::asin(static_cast<double>(sinx[i])) * 720.0 / (2.0 * kPi);
      put("%8.4f", false, 4, tt);
      put(" %8.2f", true, 2, meas);
      const size_t len = out.size() - at;
      head.len = len <= sizeof head.text ? static_cast<uint8_t>(len) : 0;
      if (head.len > 0) {
        std::memcpy(head.text, out.data() + at, len);
        head.sinx = bitsof(sinx[i]);
        head.meas = bitsof(meas);
      }
    }
    put(" %8.2f", true, 2, y[i]);
    if (u != nullptr) put(" %8.2f", true, 2, u[i]);
    if (yphasen != nullptr)
      for (int k = 0; k < nphasen; ++k)
        put(" %8.2f", true, 2, yphasen[static_cast<size_t>(i) * nphasen + k]);
    out.push_back('\n');
  }
}

void diagramparfkt(uint64_t arg) {
  auto* task = reinterpret_cast<DiagramTask*>(arg);
  for (int64_t b; (b = nexttask(task->counter)) >= 0;)
    diagramblock(static_cast<int>(b), task->ddm, task->points,
                 (*task->blocks)[static_cast<size_t>(b)]);
}

// The whole diagram file into text: the header line, then a line per point.
void diagramtext(std::string& text) {
  const bool ddm = ddmrange != nullptr;
  const int M = ddm ? m / 2 + 4 : m;
  const Rvalues R = rvalues(ddm);
  const int peaks = param->count2 + param->count3 + param->count4;
  text.clear();
  auto print = [&](const char* format, auto... values) {
    const int n = std::snprintf(nullptr, 0, format, values...);
    if (n <= 0) return;
    const size_t at = text.size();
    text.resize(at + static_cast<size_t>(n) + 1);
    std::snprintf(text.data() + at, static_cast<size_t>(n) + 1, format, values...);
    text.resize(at + static_cast<size_t>(n));
  };
  print("TITEL=%s L0=%.6f M=%d PEAKZAHL=%d PARAMETERZAHL=%d Rp=%.2f R=%.2f Rwp=%.2f", titel,
        ifneutrons() ? -l0 : l0, M, peaks, rqmin, R.Rp, R.R, R.Rwp);
  if (yphasen != nullptr)
    for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next)
      print(" STRUC[%d]=%s", ph->number, ph->name != nullptr ? ph->name : "");
  text.push_back('\n');
  static std::vector<std::string> blocks;
  if (heads.size() < static_cast<size_t>(std::max(M, 0))) heads.resize(static_cast<size_t>(M));
  const int count = M > 0 ? (M + kDiagramBlock - 1) / kDiagramBlock : 0;
  if (static_cast<int>(blocks.size()) < count) blocks.resize(static_cast<size_t>(count));
  if (count > 1 && nthreads > 1) {
    DiagramTask task;
    task.counter.store(count);
    task.ddm = ddm;
    task.points = M;
    task.blocks = &blocks;
    nshare(diagramparfkt, reinterpret_cast<uint64_t>(&task));
    nwait();
  } else {
    for (int b = 0; b < count; ++b) diagramblock(b, ddm, M, blocks[static_cast<size_t>(b)]);
  }
  for (int b = 0; b < count; ++b) text += blocks[static_cast<size_t>(b)];
}

bool diagramfile(FILE* f) {
  static std::string text;
  diagramtext(text);
  std::fwrite(text.data(), 1, text.size(), f);
  return true;
}

// A diagram file that cannot be written is reported once, and the run ends
// non-zero.
void diagramfailed(const std::string& name) {
  static std::string failed;
  if (failed == name) return;
  failed = name;
  message<302>(name.c_str());
  std::fflush(stdout);
  outputfailed(302);
}

// The diagram of the model of this first row. During the cycles of a run on
// several threads the file is put in place behind the run (writebehind): the
// rename of a file of some hundred kilobytes over the one before costs the
// file system about a millisecond, which the cycle does not wait for. The
// text is formatted here, and writebehind looks it through for numbers that
// are not finite here too, as the file would be; the final model's diagram,
// and every diagram on one thread, is written here and now.
void writediagram() {
  writebehindwait();
  if (diagramsync || nthreads <= 1) {
    if (!writefile(diagramm, diagramfile, false, true, diagramsync)) diagramfailed(diagramm);
    return;
  }
  auto out = std::make_unique<OutFile>();
  if (!out->open(diagramm)) {
    diagramfailed(diagramm);
    return;
  }
  out->skipsync();
  static std::string text;
  diagramtext(text);
  writebehind(std::move(out), text, diagramm, diagramfailed);
}

// ---------------------------------------------------------------------------
// The finite differences of a derivative pass

// Values at the start of the pass, kept for the finite differences; the
// storage stays from pass to pass.
struct Snapshots {
  std::vector<double> peaks;      // kettenregeldim peak parameters
  std::vector<double> penalties;  // istraf penalty rows
  std::vector<uint8_t> taken;     // which penalty rows are measured in this pass
  std::vector<double> pairs;      // mplus restraint residuals
  std::vector<double> goals;      // goalzahl goal values
} snap;

// Sets a value for the duration of a scope.
template <class T>
struct Hold {
  T* at;
  T old;
  Hold(T* p, T v) : at(p), old(*p) { *p = v; }
  ~Hold() { *at = old; }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
};

void takesnapshots() {
  const int kdim = kettenregeldim;
  snap.peaks.resize(static_cast<size_t>(kdim));
  for (int c = 0; c < kdim; ++c) snap.peaks[static_cast<size_t>(c)] = *tpeaks[c];
  snap.pairs.assign(fxplus, fxplus + mplus);
  snap.penalties.assign(static_cast<size_t>(istraf), 0.0);
  snap.taken.assign(static_cast<size_t>(istraf), 0);
  int r = 0;
  for (PenaltyRow* p = straferst; p != nullptr && r < istraf; p = p->next, ++r) {
    if (p->kind != 0 && !linstrafinit) continue;
    snap.penalties[static_cast<size_t>(r)] = *p->value;
    snap.taken[static_cast<size_t>(r)] = 1;
  }
  if (ifgoal) snap.goals.assign(goalwert, goalwert + goalzahl);
}

[[noreturn]] void outofbounds(const numeric::QminParam& q) {
  message<-184>(q.name != nullptr ? q.name : "");
  if (q.sub != nullptr) message<261>(static_cast<AtomRecord*>(q.sub)->number);
  if (q.owner != nullptr) {
    message<260>(static_cast<PhaseRecord*>(q.owner)->number);
    namephasefile(static_cast<PhaseRecord*>(q.owner)->number);
  }
  fatal_exit(fatal_status(184));
}

// Column j of the finite-difference derivatives: structural parameter j
// stepped by h, everything measured again, the value put back.
void difference(int j) {
  const numeric::QminParam& q = qminparam[j];
  if (q.index >= 0) internal_error("indexequiv", kModule, 6529);
  const double x0 = *q.value;
  double h = std::max(3e-10, 1.5e-9 * std::fabs(x0));
  if (x0 > 0.5 * q.max + 0.5 * q.min) h = -h;
  if (x0 + h < q.min || x0 + h > q.max) outofbounds(q);
  Hold<double> step(q.value, x0 + h);
  localphase = static_cast<PhaseRecord*>(q.owner);
  float* k = kettenregel + static_cast<size_t>(j) * kettenregeldim;
  {
    Hold<Stepped> workers(&stepped, {k, snap.peaks.data(), h});
    tabcopy();
  }
  // The columns the workers did not take: those of the phases that kept
  // their lines and those outside the reflections.
  size_t n = 0;
  auto next = linephases.begin();
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next) {
    const auto count = static_cast<size_t>(ph->nrefl);
    if (next != linephases.end() && *next == ph) {
      ++next;
    } else {
      for (size_t i = 4 * n; i < 4 * (n + count); ++i)
        if (columnmap.columns[i] >= 0)
          takedifference(k, snap.peaks.data(), h, columnmap.columns[i]);
    }
    n += count;
  }
  for (int32_t c : columnmap.rest) takedifference(k, snap.peaks.data(), h, c);
  int r = 0;
  for (PenaltyRow* p = straferst; p != nullptr && r < istraf; p = p->next, ++r)
    if (snap.taken[static_cast<size_t>(r)])
      strafableitung[static_cast<size_t>(r) * noequiv + j] =
          static_cast<float>((*p->value - snap.penalties[static_cast<size_t>(r)]) / h);
  ksexec(false);
  for (int t = 0; t < mplus; ++t)
    ksableitung[static_cast<size_t>(t) * noequiv + j] =
        static_cast<float>((fxplus[t] - snap.pairs[static_cast<size_t>(t)]) / h);
  if (ifgoal)
    for (int g = 0; g < goalzahl; ++g)
      a[g][j] = (goalwert[g] - snap.goals[static_cast<size_t>(g)]) / h;
}

void firstrow() {
  // The diagram is written again at every first row.
  if (y != nullptr && diagramm[0] != 0) writediagram();
  std::free(ksableitung);
  ksableitung = nullptr;
  if (noequiv > 0 && mplus > 0)
    ksableitung = kcalloc<float>(static_cast<size_t>(noequiv) * static_cast<size_t>(mplus));
  if (ifgoal)
    for (int g = 0; g < goalzahl; ++g) std::fill(a[g], a[g] + rqmin, 0.0);
  localphase = lastphase = nullptr;
  tabcopy();
  ksexec(false);
  takesnapshots();
  makecolumnmap();
  for (int j = 0; j < noequiv; ++j) difference(j);
  // The chain-rule lists before the last evaluation, so that the rows
  // follow that evaluation's line pass while the workers still watch for
  // work.
  if (noequiv > 0) chainlists();
  linstrafinit = 0;
  localphase = lastphase = nullptr;
  tabcopy();
  ksexec(false);
  ddmblock.first = -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Public calls

void limitrowsahead(int rows) { aheadlimit = rows > 0 ? rows : 0; }

void syncdiagram(bool on) { diagramsync = on; }

const CycleStats& cyclestats() { return stats; }
void resetcyclestats() { stats = CycleStats{}; }
void timecycle(bool on) { timing = on; }

void tabcopy() {
  // Rows of a pass the caller left early are finished before the model
  // changes, and are not handed out any more.
  aheadfinish();
  ahead.rows = 0;
  ddmblock.first = -1;
  ++stats.evaluations;
  const double t0 = nowms();
  const int depth = DATAlistLevel();
  newDATAlist();
  if (!dataerr_try(evaluation)) {
    unwind(depth);
    raise();
  }
  discard();
  for (int k = 0; k < param->ru; ++k) param->bg[k] = static_cast<float>(tu[k]);
  stats.evaluationms += nowms() - t0;
}

bool totalmodell(int* count, float** residuals) {
  std::free(*residuals);
  *residuals = nullptr;
  localphase = lastphase = nullptr;
  {
    Hold<uint8_t> measured(&linstrafinit, 1);
    tabcopy();
  }
  ksexec(true);
  const int n = m + istraf + mplus;
  float* r = kcalloc<float>(static_cast<size_t>(n));
  if (m > 0) modell(r, param);
  double sum = 0.0;
  for (int i = 0; i < m; ++i) {
    const float q = w[i] * intensitaet[i] * std::fabs(r[i]);
    sum += q;
  }
  moderror = sum * 1.1920928955078125e-07;
  ermod = sum * ermodfaktor;
  int k = m;
  for (PenaltyRow* p = straferst; p != nullptr && k < m + istraf; p = p->next)
    r[k++] = static_cast<float>(*p->value);
  for (int t = 0; t < mplus; ++t) r[k++] = static_cast<float>(fxplus[t]);
  *count = n;
  *residuals = r;
  return true;
}

void totalableitung(float* row, int i) {
  if (i == 0) {
    const double t0 = nowms();
    firstrow();
    stats.firstrowms += nowms() - t0;
  }
  if (i < m && ifddm && ddmrange != nullptr) {
    // A row of the block at hand is the same whatever block it came in.
    int b = i - ddmblock.first;
    if (ddmblock.first < 0 || b < 0 || b >= ddmblock.rows || ddmblock.width != rqmin) {
      const int B = ddmblockrows();
      b = i % B;
      const double t0 = nowms();
      computeddmblock(i - b, std::min(B, m - (i - b)));
      stats.blockms += nowms() - t0;
    }
    const float* done = ddmblock.out.data() + static_cast<size_t>(b) * ddmblock.width;
    if (rqmin > 0) std::memcpy(row, done, sizeof(float) * static_cast<size_t>(rqmin));
    return;
  }
  if (i < m) {
    if (i == 0) {
      const double t0 = nowms();
      aheadstart(0, true);
      stats.blockms += nowms() - t0;
    } else if (i < ahead.first || i >= ahead.first + ahead.rows) {
      const int B = aheadrows();
      aheadstart(i - i % B, false);
      aheadhandoff();
    } else if (!ahead.running) {
      aheadhandoff();
    }
    const float* done = aheadrow(i);
    if (rqmin > 0) std::memcpy(row, done, sizeof(float) * static_cast<size_t>(rqmin));
    return;
  }
  const float* d = i < m + istraf ? strafableitung + static_cast<size_t>(i - m) * noequiv
                                  : ksableitung + static_cast<size_t>(i - m - istraf) * noequiv;
  for (int c = 0; c < noequiv; ++c) row[c] = d[c];
  for (int c = noequiv; c < rqmin; ++c) row[c] = 0.0f;
}

}  // namespace crystal
