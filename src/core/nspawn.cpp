#include "core/nspawn.hpp"

#include <time.h>

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
  Event start;
  Event stop;
};

Worker* workers = nullptr;  // one row per worker; row 0 has no thread
int nworkers = 0;
WorkFunction current = nullptr;
bool finish = false;
bool started = false;  // workers 1 .. nworkers-1 run the current batch

thread_local int my_index = -1;

void* worker_loop(void* p) {
  auto* wa = static_cast<WorkerArg*>(p);
  Worker& w = workers[wa->index];
  my_index = static_cast<int>(wa->index);
  for (;;) {
    Ewait(&w.start);
    if (finish) break;
    current(wa->arg);
    Esignal(&w.stop);
  }
  Esignal(&w.stop);
  my_index = -1;
  return nullptr;
}

void wait_workers() {
  for (int i = 1; i < nworkers; ++i) Ewait(&workers[i].stop);
}

void shutdown_pool() {
  if (workers == nullptr) return;
  if (started) wait_workers();
  finish = true;
  for (int i = 1; i < nworkers; ++i) Esignal(&workers[i].start);
  wait_workers();
  for (int i = 1; i < nworkers; ++i) {
    if (pthread_join(workers[i].thread, nullptr) != 0) platform_failure("err 1");
    if (pthread_attr_destroy(&workers[i].attr) != 0) platform_failure("err 2");
    Edestroy(&workers[i].start);
    Edestroy(&workers[i].stop);
  }
  delete[] workers;
  workers = nullptr;
  nworkers = 0;
}

void create_pool() {
  nworkers = nthreads;
  workers = new Worker[static_cast<size_t>(nworkers)];
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

void nspawn(WorkFunction fn, uint64_t step, uint64_t first) {
  if (nthreads < 1) return;
  // A batch left running by its caller (the normal-matrix builder lets its
  // pass run on while the caller goes on) is finished first.
  if (own != nullptr || started) nwait();
  own = fn;
  ownarg = first;
  if (nthreads == 1) return;
  if (workers == nullptr) create_pool();
  current = fn;
  for (int i = 1; i < nworkers; ++i) {
    workers[i].arg.arg = first + static_cast<uint64_t>(i) * step;
    Esignal(&workers[i].start);
  }
  started = true;
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
  if (!started) return;
  started = false;
  wait_workers();
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

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

inline int64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

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

void Ewait(Event* e) {
  if (take(e)) return;
  const int64_t watch = e->watch.load(std::memory_order_relaxed);
  const int64_t start = now_ns();
  for (;;) {
    for (int k = 0; k < 8; ++k) {
      if (take(e)) return;
      relax();
    }
    if (now_ns() - start >= watch) break;
  }
  if (pthread_mutex_lock(&e->mutex) != 0) platform_failure("Event wait mutex lock");
  e->sleeping.fetch_add(1);
  while (e->signalled.exchange(0) == 0) {
    if (pthread_cond_wait(&e->cond, &e->mutex) != 0) platform_failure("Event wait");
  }
  e->sleeping.fetch_sub(1);
  int64_t gap = e->stamp.load(std::memory_order_relaxed) - start;
  if (pthread_mutex_unlock(&e->mutex) != 0) platform_failure("Event wait mutex unlock");
  // A signal that came while this wait went to sleep may not be stamped yet.
  if (gap < 0) gap = now_ns() - start;
  int64_t next = gap < kWatchMax ? 2 * gap : watch / 2;
  if (next > kWatchMax) next = kWatchMax;
  if (next < kWatchMin) next = kWatchMin;
  e->watch.store(next, std::memory_order_relaxed);
}

void Esignal(Event* e) {
  e->signalled.store(1);
  if (e->sleeping.load() == 0) return;
  if (pthread_mutex_lock(&e->mutex) != 0) platform_failure("Event signal mutex lock");
  e->stamp.store(now_ns(), std::memory_order_relaxed);
  if (pthread_cond_signal(&e->cond) != 0) platform_failure("Event signal");
  if (pthread_mutex_unlock(&e->mutex) != 0) platform_failure("Event signal mutex unlock");
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
