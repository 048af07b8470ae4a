#include "core/nspawn.hpp"

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/fatal.hpp"

namespace core {

int nthreads = 1;
ReMutex initmutex;

namespace {

// A failing platform call prints its fixed text, without a line feed, and
// ends the program with status 1.
[[noreturn]] void platform_failure(const char* text) {
  std::fputs(text, stdout);
  fatal_exit(1);
}

struct WorkerArg {
  uint32_t index;
  uint64_t arg;
};

struct Worker {
  pthread_t thread;
  pthread_attr_t attr;
  WorkerArg arg;
  uint32_t ran = 0;  // generation of the last batch the worker ran
  Event start;
  Event stop;
};

Worker* workers = nullptr;  // one row per worker; row 0 has no thread
int nworkers = 0;
WorkFunction current = nullptr;
// Set at the end of the process; a worker may look at it at any time (woken
// by a start signal left over from a shared batch it skipped).
std::atomic<bool> finish{false};
bool started = false;  // workers 1 .. nworkers-1 run the current batch
bool shared = false;   // the current batch was handed out by nshare

// The door of the current batch, one word: its generation in the high half,
// in the low half whether it is closed and how many workers run it. A
// worker comes in by raising the count of an open batch it has not run yet
// (so a start signal left over from a batch it skipped never runs a batch
// twice) and leaves by lowering it. The caller writes the batch's function
// and arguments while no worker is inside and opens the door after them.
// The caller closes a shared batch once its own share is over and then
// waits only while workers are inside; the last one out signals done.
std::atomic<uint64_t> door{0};
constexpr uint64_t kClosed = uint64_t{1} << 31;
constexpr uint64_t kInside = kClosed - 1;
uint32_t generation = 0;
Event done;

// Workers of a shared batch that a signal has to wake from their sleep;
// each worker that comes in wakes up to two of them (bit i: worker i).
std::atomic<uint64_t> towake{0};
constexpr int kWakeBy = 2;

thread_local int my_index = -1;

int64_t sleptwait(Event* e, bool bind, int64_t* late);
bool Eset(Event* e);
void Ewake(Event* e);

// Placement of the workers on processors. Where the kernel cannot tell which
// processors stand idle (a virtual machine that shows no cache layout) it
// often wakes a worker onto a processor that another thread of the pool
// uses; the two then share it in whole time slices while other processors
// stand idle, and every batch waits for the pair. Two things keep the
// workers apart:
// - a worker that goes to sleep between batches is bound to its processor
//   while it sleeps, so that the signal wakes it where it was and not
//   beside another thread; awake, it is allowed all processors again. When
//   another program keeps that processor busy, the bound worker wakes only
//   when the other yields it: a worker that woke that late (a time slice;
//   an idle virtual processor alone may take some hundred microseconds to
//   wake), and not beside a thread of its own batch (that one a move
//   parts), sleeps unbound for kBindPause and leaves the choice to the
//   kernel;
// - a worker that finds by its own clocks that it was kept off its
//   processor for long while awake moves itself, after it has signalled the
//   end of its share, to a processor on which no thread of the batch
//   started, and is at once allowed all of them again. A move costs about a
//   tenth of a millisecond, so a worker moves only after it lost several
//   times that, and at most once in kMoveGap: the short batches of a caller
//   that hands out little work, where sharing costs little, never pay for
//   moves.
// Both serve the ordinary batches of nspawn, which wait for every worker: a
// worker binds its sleep only after an ordinary batch and moves only after
// one. A shared batch (nshare) waits for no worker that comes late, so the
// system calls of binding and moving would only cost it (the refinement's
// full-range PbSO4 run on 8 threads took a quarter longer with them).
// Processors beyond the first 64 are not looked after. With more workers
// than processors some must share, and the pool leaves placement to the
// kernel.
constexpr int64_t kMoveLoss = 500000;   // nanoseconds kept off the processor while awake
constexpr int64_t kMoveGap = 10000000;  // nanoseconds from one move of a worker to its next
constexpr int64_t kBindLate = 1000000;  // nanoseconds from the signal to the wake of a bound sleep
constexpr int64_t kBindPause = 50000000;  // nanoseconds a worker sleeps unbound after that
cpu_set_t allowed;                        // the processors the process may use
bool placing = false;
std::atomic<uint64_t> batchcpus{0};  // processors the threads of the batch started on

inline uint64_t cpubit(int cpu) { return cpu >= 0 && cpu < 64 ? uint64_t{1} << cpu : 0; }

int64_t threadcpu_ns() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Placement is only a hint: a refusal leaves the thread as it is.
void bind_to(int cpu) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  pthread_setaffinity_np(pthread_self(), sizeof one, &one);
}

void allow_all() { pthread_setaffinity_np(pthread_self(), sizeof allowed, &allowed); }

void bind_here() {
  const int cpu = sched_getcpu();
  if (cpu >= 0 && cpu < CPU_SETSIZE) bind_to(cpu);
}

// Moves the calling worker to an allowed processor on which no thread of
// the batch started; stays where it is when there is none.
void move_to_free_processor() {
  for (int c = 0; c < 64 && c < CPU_SETSIZE; ++c) {
    if (!CPU_ISSET(c, &allowed)) continue;
    const uint64_t bit = cpubit(c);
    if ((batchcpus.fetch_or(bit, std::memory_order_relaxed) & bit) != 0) continue;
    bind_to(c);
    allow_all();
    return;
  }
}

// A worker's account of the time it was kept off its processor while
// awake: wall time less the time it ran and the time it slept until
// signalled. The processor time is a system call, so it is read only once
// the wall time awake could hold a loss worth a move.
struct LossClock {
  int64_t wall = now_ns();
  int64_t cpu = threadcpu_ns();
  int64_t slept = 0;
  int64_t moved = wall - kMoveGap;

  // Counts a sleep of the given length; true when the worker should move.
  bool move_after(int64_t sleep) {
    slept += sleep;
    const int64_t t = now_ns();
    const int64_t awake = t - wall - slept;
    if (awake < kMoveLoss) return false;
    const int64_t c = threadcpu_ns();
    const int64_t lost = awake - (c - cpu);
    wall = t;
    cpu = c;
    slept = 0;
    // A loss that is a small part of a long time awake is other programs
    // passing by, not a partner on the processor.
    if (lost < kMoveLoss || 4 * lost < awake || t - moved < kMoveGap) return false;
    moved = t;
    return true;
  }
};

// Comes into the current batch: false when it is closed or already run.
bool comein(Worker& w, uint64_t* seen) {
  uint64_t d = door.load(std::memory_order_acquire);
  for (;;) {
    if ((d & kClosed) != 0 || static_cast<uint32_t>(d >> 32) == w.ran) return false;
    if (door.compare_exchange_weak(d, d + 1, std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
      *seen = d;
      return true;
    }
  }
}

// Wakes one of the listed sleeping workers of a shared batch; false when
// none is left.
bool wakeone() {
  uint64_t list = towake.load(std::memory_order_relaxed);
  uint64_t bit = 0;
  do {
    if (list == 0) return false;
    bit = list & (~list + 1);
  } while (!towake.compare_exchange_weak(list, list & ~bit, std::memory_order_relaxed));
  Ewake(&workers[__builtin_ctzll(bit)].start);
  return true;
}

void* worker_loop(void* p) {
  auto* wa = static_cast<WorkerArg*>(p);
  Worker& w = workers[wa->index];
  my_index = static_cast<int>(wa->index);
  LossClock clock;
  int64_t bindfrom = 0;   // a sleep from then on is bound
  int64_t slept = 0;      // since the clock last looked
  bool ordinary = false;  // the last batch run came from nspawn
  for (;;) {
    int64_t late = 0;
    slept +=
        sleptwait(&w.start, placing && ordinary && (bindfrom == 0 || now_ns() >= bindfrom), &late);
    if (finish) break;
    uint64_t seen = 0;
    if (!comein(w, &seen)) continue;
    w.ran = static_cast<uint32_t>(seen >> 32);
    const bool share = shared;
    if (share)
      for (int k = 0; k < kWakeBy && wakeone(); ++k) {
      }
    if (placing && !share) {
      const uint64_t bit = cpubit(sched_getcpu());
      const bool partner = (batchcpus.fetch_or(bit, std::memory_order_relaxed) & bit) != 0;
      if (late >= kBindLate && !partner) bindfrom = now_ns() + kBindPause;
    }
    current(wa->arg);
    const uint64_t left = door.fetch_sub(1, std::memory_order_acq_rel);
    if (!share)
      Esignal(&w.stop);
    else if ((left & kClosed) != 0 && (left & kInside) == 1)
      Esignal(&done);
    if (placing && !share) {
      if (clock.move_after(slept)) move_to_free_processor();
      slept = 0;
    }
    ordinary = !share;
  }
  Esignal(&w.stop);
  my_index = -1;
  return nullptr;
}

void wait_workers() {
  for (int i = 1; i < nworkers; ++i) Ewait(&workers[i].stop);
}

// Waits for the workers of the current batch: of a shared one only those
// inside, after the door is closed.
void finish_batch() {
  started = false;
  if (!shared) {
    wait_workers();
    return;
  }
  const uint64_t d = door.fetch_or(kClosed, std::memory_order_acq_rel);
  if ((d & kInside) != 0) Ewait(&done);
  towake.store(0, std::memory_order_relaxed);
}

void shutdown_pool() {
  if (workers == nullptr) return;
  if (started) finish_batch();
  finish = true;
  for (int i = 1; i < nworkers; ++i) Esignal(&workers[i].start);
  wait_workers();
  for (int i = 1; i < nworkers; ++i) {
    if (pthread_join(workers[i].thread, nullptr) != 0) platform_failure("err 1");
    if (pthread_attr_destroy(&workers[i].attr) != 0) platform_failure("err 2");
    Edestroy(&workers[i].start);
    Edestroy(&workers[i].stop);
  }
  Edestroy(&done);
  delete[] workers;
  workers = nullptr;
  nworkers = 0;
}

void create_pool() {
  nworkers = nthreads;
  placing = sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 1 &&
            CPU_COUNT(&allowed) >= nworkers;
  workers = new Worker[static_cast<size_t>(nworkers)];
  Einit(&done);
  for (int i = 1; i < nworkers; ++i) {
    Worker& w = workers[i];
    Einit(&w.start);
    Einit(&w.stop);
    w.arg.index = static_cast<uint32_t>(i);
    w.arg.arg = 0;
    if (pthread_attr_init(&w.attr) != 0) platform_failure("err 17");
    if (pthread_attr_setstacksize(&w.attr, 262144) != 0) platform_failure("err 18");
    if (pthread_create(&w.thread, &w.attr, worker_loop, &w.arg) != 0) platform_failure("err 19");
  }
  std::atexit(shutdown_pool);
}

// Worker 0's share of a batch runs on the calling thread, inside nwait: the
// caller would otherwise only wait, and a waiting caller beside nthreads
// busy workers is one thread more than there are processors, which costs
// whole scheduler time slices whenever a worker shares its processor. So
// the pool starts threads for workers 1 .. nthreads-1 only; with a single
// worker no thread is started and each batch makes no system call.
WorkFunction own = nullptr;
uint64_t ownarg = 0;

}  // namespace

namespace {

// Sets the batch up; false with a single worker (the batch then runs inside
// nwait alone). open_door then lets the workers in.
bool open_batch(WorkFunction fn, uint64_t step, uint64_t first, bool share) {
  // A batch left running by its caller (the normal-matrix builder lets its
  // pass run on while the caller goes on) is finished first.
  if (own != nullptr || started) nwait();
  own = fn;
  ownarg = first;
  if (nthreads == 1) return false;
  if (workers == nullptr) create_pool();
  current = fn;
  shared = share;
  for (int i = 1; i < nworkers; ++i) workers[i].arg.arg = first + static_cast<uint64_t>(i) * step;
  if (placing) batchcpus.store(cpubit(sched_getcpu()), std::memory_order_relaxed);
  started = true;
  return true;
}

void open_door() {
  door.store(static_cast<uint64_t>(++generation) << 32, std::memory_order_release);
}

}  // namespace

void nspawn(WorkFunction fn, uint64_t step, uint64_t first) {
  if (nthreads < 1 || !open_batch(fn, step, first, false)) return;
  open_door();
  for (int i = 1; i < nworkers; ++i) Esignal(&workers[i].start);
}

void nshare(WorkFunction fn, uint64_t arg) {
  if (nthreads < 1 || !open_batch(fn, 0, arg, true)) return;
  // Workers that watch for their signal take it at once. Those asleep are
  // listed before the door opens, so that the first workers to come in (one
  // woken by a signal left over from a batch it skipped included) find them
  // to wake; the caller wakes one itself only when none watches.
  uint64_t asleep = 0;
  for (int i = 1; i < nworkers && i < 64; ++i)
    if (workers[i].start.sleeping.load() != 0) asleep |= uint64_t{1} << i;
  towake.store(asleep, std::memory_order_relaxed);
  open_door();
  bool watching = false;
  for (int i = 1; i < nworkers; ++i) {
    if (!Eset(&workers[i].start)) {
      watching = true;
    } else if (i >= 64) {
      Ewake(&workers[i].start);
    } else if ((asleep & uint64_t{1} << i) == 0) {
      towake.fetch_or(uint64_t{1} << i, std::memory_order_relaxed);  // fell asleep just now
    }
  }
  if (!watching) wakeone();
}

void nwait() {
  if (own != nullptr) {
    WorkFunction fn = own;
    own = nullptr;
    struct AsWorker {
      int saved = my_index;
      AsWorker() { my_index = 0; }
      ~AsWorker() { my_index = saved; }
    } as;
    fn(ownarg);
  }
  if (started) finish_batch();
}

int threadid() { return my_index; }

// Events are binary semaphores: an atomic flag, watched for a bounded time
// and then slept on under a mutex with a condition variable. Repeated
// signals before a wait collapse into one. A signal wakes a sleeper only
// when one has said it sleeps: the flag is set before the sleepers are
// counted, and a sleeper counts itself before it looks at the flag again,
// so one of the two always sees the other.
namespace {

// How long a wait watches the flag before it sleeps: each event learns it
// from the gaps between its waits and their signals. A wait that had to
// sleep learns from the signaller when the signal was given: a gap shorter
// than kWatchMax makes the next waits watch twice that gap, so that an
// event signalled soon after its waits start (a worker between two passes
// of the caller) is handed over without a system call on either side; a
// longer gap halves the watch, so that threads idle for long soon watch
// only briefly. Waits that end while watching leave it as it is. Times in
// nanoseconds.
constexpr int64_t kWatchMin = 1000;
constexpr int64_t kWatchMax = 100000;

inline bool take(Event* e) {
  return e->signalled.load(std::memory_order_relaxed) != 0 &&
         e->signalled.exchange(0, std::memory_order_acquire) != 0;
}

}  // namespace

void Einit(Event* e) {
  e->signalled.store(0);
  e->sleeping.store(0);
  e->watch.store(kWatchMin);
  e->stamp.store(0);
  if (pthread_mutex_init(&e->mutex, nullptr) != 0) platform_failure("Event mutex init");
  if (pthread_cond_init(&e->cond, nullptr) != 0) platform_failure("Event condition init");
}

void Ewait(Event* e) { sleptwait(e, false, nullptr); }

namespace {

// Ewait that returns how long it slept before the signal came (0 when it
// did not sleep). With bind, a wait that sleeps is bound to the processor
// it sleeps on until it wakes there, and late is set to the time from the
// signal to the wake.
int64_t sleptwait(Event* e, bool bind, int64_t* late) {
  if (take(e)) return 0;
  const int64_t watch = e->watch.load(std::memory_order_relaxed);
  const int64_t start = now_ns();
  for (;;) {
    for (int k = 0; k < 8; ++k) {
      if (take(e)) return 0;
      relax();
    }
    if (now_ns() - start >= watch) break;
  }
  const int64_t asleep = now_ns();
  if (bind) bind_here();
  if (pthread_mutex_lock(&e->mutex) != 0) platform_failure("Event wait mutex lock");
  e->sleeping.fetch_add(1);
  while (e->signalled.exchange(0) == 0) {
    if (pthread_cond_wait(&e->cond, &e->mutex) != 0) platform_failure("Event wait");
  }
  e->sleeping.fetch_sub(1);
  const int64_t signalled = e->stamp.load(std::memory_order_relaxed);
  if (pthread_mutex_unlock(&e->mutex) != 0) platform_failure("Event wait mutex unlock");
  const int64_t woke = now_ns();
  if (bind) {
    allow_all();
    if (signalled >= asleep) *late = woke - signalled;
  }
  // A signal that came while this wait went to sleep may not be stamped yet.
  int64_t gap = signalled - start;
  if (gap < 0) gap = woke - start;
  int64_t next = gap < kWatchMax ? 2 * gap : watch / 2;
  if (next > kWatchMax) next = kWatchMax;
  if (next < kWatchMin) next = kWatchMin;
  e->watch.store(next, std::memory_order_relaxed);
  return std::max<int64_t>(0, start + gap - asleep);
}

}  // namespace

namespace {

// The two halves of a signal: the flag, true when a wait sleeps and has to
// be woken; and the wake.
bool Eset(Event* e) {
  e->signalled.store(1);
  if (e->sleeping.load() == 0) return false;
  e->stamp.store(now_ns(), std::memory_order_relaxed);
  return true;
}

void Ewake(Event* e) {
  if (pthread_mutex_lock(&e->mutex) != 0) platform_failure("Event signal mutex lock");
  if (pthread_cond_signal(&e->cond) != 0) platform_failure("Event signal");
  if (pthread_mutex_unlock(&e->mutex) != 0) platform_failure("Event signal mutex unlock");
}

}  // namespace

void Esignal(Event* e) {
  if (Eset(e)) Ewake(e);
}

void Edestroy(Event* e) {
  if (pthread_mutex_destroy(&e->mutex) != 0) platform_failure("Event mutex destroy");
  if (pthread_cond_destroy(&e->cond) != 0) platform_failure("Event condition destroy");
}

void createmutex(ReMutex* m, bool locked) {
  if (pthread_mutex_init(&m->mutex, nullptr) != 0) platform_failure("err 30");
  m->owner.store(pthread_self());
  m->count.store(0);
  if (locked) {
    if (pthread_mutex_lock(&m->mutex) != 0) platform_failure("err 31");
    m->count.store(1);
  }
}

void requestmutex(ReMutex* m) {
  // Only the holding thread can find itself as owner with a positive count.
  if (m->count.load() > 0 && pthread_equal(m->owner.load(), pthread_self())) {
    m->count.fetch_add(1);
    return;
  }
  if (pthread_mutex_lock(&m->mutex) != 0) platform_failure("err 32");
  m->owner.store(pthread_self());
  m->count.store(1);
}

void releasemutex(ReMutex* m) {
  if (m->count.fetch_sub(1) == 1) {
    if (pthread_mutex_unlock(&m->mutex) != 0) platform_failure("err 33");
  }
}

void closemutex(ReMutex* m) {
  if (pthread_mutex_destroy(&m->mutex) != 0) platform_failure("err 34");
}

}  // namespace core
