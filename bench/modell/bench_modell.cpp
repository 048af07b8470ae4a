// Timing of the pattern model: one modell (residuals of all points) and one
// full pass of derivative rows (every row on the worker pool, as the fitting
// programs compute them) for 10 000 points and 300 peaks (100 of each kind)
// with a Cu K-alpha doublet and a two-component instrument profile.
//
//   bench_modell            runs itself with 1 and with 8 threads and prints
//                           both timings and the speed-up
//   bench_modell <threads>  one measurement with that many threads
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "model/gerneu.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "model/unt.hpp"

extern char** environ;

namespace model {
using namespace core;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kPoints = 10000;
constexpr int kPerKind = 100;
constexpr int kBackground = 6;

// The row counter sits on a cache line of its own, away from what every
// worker reads. Rows are taken kRowGroup at a time, as the refinement takes
// them in groups: one take per row would have eight threads meet on the
// counter every couple of hundred nanoseconds.
constexpr int kRowGroup = 16;

// What each worker did in a pass of rows, on a cache line of its own: when
// it started and ended, how many groups it took and on which processor it
// ended. Workers that start late, or end on a processor another worker
// ended on, show a pass that the system did not give all its processors.
using clock = std::chrono::steady_clock;
struct alignas(64) WorkerAccount {
  clock::time_point start, end;
  int groups = 0;
  int cpu = -1;
};
constexpr int kMaxWorkers = 64;

struct RowTask {
  const PeakSet* set;
  float* rows;
  int length;
  alignas(64) std::atomic<int64_t> counter;
  char pad[64 - sizeof(std::atomic<int64_t>)];
  WorkerAccount account[kMaxWorkers];
};

void rowparfkt(uint64_t arg) {
  auto* task = reinterpret_cast<RowTask*>(arg);
  const int me = threadid();
  WorkerAccount mine;
  mine.start = clock::now();
  for (int64_t g; (g = nexttask(task->counter)) >= 0;) {
    const int64_t first = g * kRowGroup, end = std::min<int64_t>(first + kRowGroup, m);
    for (int64_t t = first; t < end; ++t)
      ableitung(task->rows + t * task->length, static_cast<int>(t), task->set);
    ++mine.groups;
  }
  mine.end = clock::now();
  mine.cpu = sched_getcpu();
  if (me >= 0 && me < kMaxWorkers) task->account[me] = mine;
}

// One line on how the workers shared the pass [t0, t1].
void printaccount(const RowTask& task, int workers, clock::time_point t0, clock::time_point t1) {
  auto us = [t0](clock::time_point t) {
    return std::chrono::duration<double, std::micro>(t - t0).count();
  };
  const double pass = us(t1);
  double firststart = 1e30, laststart = 0.0, leastbusy = 1e30, mostbusy = 0.0;
  int fewest = 1 << 30, most = 0;
  std::vector<int> cpus;
  for (int k = 0; k < workers && k < kMaxWorkers; ++k) {
    const WorkerAccount& a = task.account[k];
    firststart = std::min(firststart, us(a.start));
    laststart = std::max(laststart, us(a.start));
    const double busy = us(a.end) - us(a.start);
    leastbusy = std::min(leastbusy, busy);
    mostbusy = std::max(mostbusy, busy);
    fewest = std::min(fewest, a.groups);
    most = std::max(most, a.groups);
    if (std::find(cpus.begin(), cpus.end(), a.cpu) == cpus.end()) cpus.push_back(a.cpu);
  }
  std::printf(
      "  last pass of rows, %.0f us: %d workers ended on %zu processors; started after %.0f to "
      "%.0f us, busy %.0f to %.0f %% of the pass, %d to %d groups of %d rows each\n",
      pass, workers, cpus.size(), firststart, laststart, 100.0 * leastbusy / pass,
      100.0 * mostbusy / pass, fewest, most, kRowGroup);
}

// The same rows as the fitting programs take them: each row made into a
// buffer of the worker's own and consumed there (here folded into a
// fingerprint of its bits, kept per row), so that a row costs no memory
// traffic beyond the cache.
struct HashTask {
  const PeakSet* set;
  uint64_t* hashes;
  int length;
  alignas(64) std::atomic<int64_t> counter;
  char pad[64 - sizeof(std::atomic<int64_t>)];
};

uint64_t fnv(const void* data, size_t bytes, uint64_t h = 1469598103934665603ull) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t k = 0; k < bytes; ++k) h = (h ^ p[k]) * 1099511628211ull;
  return h;
}

void hashparfkt(uint64_t arg) {
  auto* task = reinterpret_cast<HashTask*>(arg);
  thread_local std::vector<float> row;
  row.resize(static_cast<size_t>(task->length));
  for (int64_t g; (g = nexttask(task->counter)) >= 0;) {
    const int64_t first = g * kRowGroup, end = std::min<int64_t>(first + kRowGroup, m);
    for (int64_t t = first; t < end; ++t) {
      ableitung(row.data(), static_cast<int>(t), task->set);
      // The sum and the exclusive or of the entries' bits: a changed entry
      // shows, at a fraction of the row's cost.
      uint32_t sum = 0, mix = 0;
      for (float v : row) {
        uint32_t b;
        std::memcpy(&b, &v, sizeof b);
        sum += b;
        mix ^= b;
      }
      task->hashes[t] = static_cast<uint64_t>(mix) << 32 | sum;
    }
  }
}

double* doubles(std::initializer_list<double> v) {
  auto* p = static_cast<double*>(std::malloc(sizeof(double) * v.size()));
  std::copy(v.begin(), v.end(), p);
  return p;
}

int measure(int threads) {
  nthreads = threads;
  std::snprintf(kalvo, sizeof kalvo, "%s", KALVO_SOURCE_DATA);
  char dir[] = "/tmp/bench-modell-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string ger = std::string(dir) + "/inst.ger";
  FILE* f = std::fopen(ger.c_str(), "w");
  std::fputs("TITEL=bench\nTHETA=25 N=2\n0.7 0 0.0006\n0.3 0.0004 0.0012\n", f);
  std::fclose(f);
  ger1((std::string(dir) + "/inst").c_str());
  std::remove(ger.c_str());
  rmdir(dir);

  ilam = 2;
  ij = doubles({2.0 / 3.0, 1.0 / 3.0});
  lj = doubles({1.0 / 0.1540593, 1.0 / 0.1544427});
  dj = doubles({4e-4, 5e-4});
  l0 = ij[0] * lj[0] + ij[1] * lj[1];

  // 2theta from 20 to 85 degrees.
  m = kPoints;
  sinx = static_cast<float*>(std::malloc(sizeof(float) * m));
  intensitaet = static_cast<float*>(std::malloc(sizeof(float) * m));
  w = static_cast<float*>(std::malloc(sizeof(float) * m));
  for (int i = 0; i < m; ++i) {
    const double tt = 20.0 + 65.0 * i / (m - 1);
    sinx[i] = static_cast<float>(std::sin(tt * kPi / 360.0));
    intensitaet[i] = static_cast<float>(100.0 + 10.0 * std::sin(0.01 * i));
    w[i] = 0.1f;
  }
  hinit();
  unt1(kBackground, sinx, m, nullptr, nullptr);

  PeakSet* set = nullptr;
  peakalloc(nullptr, &set, 0, 0, kBackground, kPerKind, kPerKind, kPerKind);
  for (int k = 0; k < 3 * kPerKind; ++k) {
    const double tt = 21.0 + 63.0 * k / (3 * kPerKind - 1);
    const float pos = static_cast<float>(2.0 * l0 * std::sin(tt * kPi / 360.0));
    const int kind = 2 + k % 3, slot = k / 3;
    float* block = kind == 2   ? set->par2 + 2 * slot
                   : kind == 3 ? set->par3 + 3 * slot
                               : set->par4 + 4 * slot;
    block[0] = 100.0f;
    block[1] = pos;
    if (kind >= 3) block[2] = 0.003f;
    if (kind == 4) block[3] = 1e-5f;
  }
  for (int k = 0; k < kBackground; ++k) set->bg[k] = 50.0f;

  const int length = 2 * kPerKind + 3 * kPerKind + 4 * kPerKind + kBackground;
  std::vector<float> r(m);
  std::vector<float> rows(static_cast<size_t>(m) * length);
  std::vector<uint64_t> hashes(static_cast<size_t>(m));
  double best_model = 1e30, best_rows = 1e30, best_consumed = 1e30;
  RowTask task;
  clock::time_point rowsstart, rowsend;
  for (int rep = 0; rep < 6; ++rep) {
    const auto t0 = clock::now();
    modell(r.data(), set);
    const auto t1 = clock::now();
    task.set = set, task.rows = rows.data(), task.length = length;
    task.counter.store((m + kRowGroup - 1) / kRowGroup);
    nspawn(rowparfkt, 0, reinterpret_cast<uint64_t>(&task));
    nwait();
    const auto t2 = clock::now();
    rowsstart = t1, rowsend = t2;
    HashTask consume;
    consume.set = set, consume.hashes = hashes.data(), consume.length = length;
    consume.counter.store((m + kRowGroup - 1) / kRowGroup);
    nspawn(hashparfkt, 0, reinterpret_cast<uint64_t>(&consume));
    nwait();
    const auto t3 = clock::now();
    if (rep == 0) continue;  // warm-up
    best_consumed =
        std::min(best_consumed, std::chrono::duration<double, std::milli>(t3 - t2).count());
    best_model = std::min(best_model, std::chrono::duration<double, std::milli>(t1 - t0).count());
    best_rows = std::min(best_rows, std::chrono::duration<double, std::milli>(t2 - t1).count());
  }
  double check = 0.0;
  for (float v : r) check += v;
  // A fingerprint of every bit of the residuals and the derivative rows:
  // faster kernels must leave it as it is.
  uint64_t bits = 1469598103934665603ull;
  auto fold = [&bits](const std::vector<float>& v) {
    const auto* p = reinterpret_cast<const unsigned char*>(v.data());
    for (size_t k = 0; k < v.size() * sizeof(float); ++k) bits = (bits ^ p[k]) * 1099511628211ull;
  };
  fold(r);
  fold(rows);
  const uint64_t consumedbits = fnv(hashes.data(), hashes.size() * sizeof(uint64_t));
  std::printf(
      "threads %d: modell %.2f ms, derivative rows %.2f ms, together %.2f ms (check %.6g, bits "
      "%016llx); rows consumed as made %.2f ms (bits %016llx)\n",
      threads, best_model, best_rows, best_model + best_rows, check,
      static_cast<unsigned long long>(bits), best_consumed,
      static_cast<unsigned long long>(consumedbits));
  printaccount(task, threads, rowsstart, rowsend);
  std::fflush(stdout);
  peakfree(&set);
  hfrei();
  unt2();
  ger2();
  freelam();
  return 0;
}

double run_child(const char* self, int threads) {
  std::string arg = std::to_string(threads);
  int fds[2];
  if (pipe(fds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  char* argv[] = {const_cast<char*>(self), arg.data(), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, self, &actions, nullptr, argv, environ) != 0) return -1;
  close(fds[1]);
  std::string out;
  char buf[512];
  ssize_t got;
  while ((got = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(got));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
  std::fputs(out.c_str(), stdout);
  const size_t at = out.find("together ");
  return at == std::string::npos ? -1 : std::atof(out.c_str() + at + 9);
}

}  // namespace

int run(int argc, char** argv) {
  if (argc > 1) return measure(std::atoi(argv[1]));
  std::printf("pattern model: %d points, %d peaks (%d of each kind), %d background coefficients\n",
              kPoints, 3 * kPerKind, kPerKind, kBackground);
  const double one = run_child("/proc/self/exe", 1);
  const double eight = run_child("/proc/self/exe", 8);
  if (one > 0 && eight > 0) std::printf("speed-up 8 threads / 1 thread: %.2f\n", one / eight);
  return one > 0 && eight > 0 ? 0 : 1;
}

}  // namespace model

int main(int argc, char** argv) { return model::run(argc, argv); }
