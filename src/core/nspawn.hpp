// The process-wide pool of worker threads, auto-reset events and re-entrant
// mutexes. Work is handed out in batches: nspawn starts one work function on
// every worker, nwait waits for all of them.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>

namespace core {

// The most worker threads a run may ask for (NTHREADS).
constexpr int kMostThreads = 1024;

// Number of workers; set before the first batch, never changed afterwards.
extern int nthreads;

using WorkFunction = void (*)(uint64_t arg);

// Runs fn on every worker, worker i with the argument first + i * step.
// Creates the pool on the first call. Returns at once. Worker 0 is the
// calling thread itself: its share runs inside nwait, where threadid() names
// it worker 0, while threads of the pool run workers 1 .. nthreads-1 (with a
// single worker no thread is started). So a caller must not wait for the
// batch's progress between nspawn and nwait. A batch not yet waited for
// when the next one is handed out is finished first (as by nwait), so a
// caller may leave a batch running while it does other work, its own
// batches on the pool included.
void nspawn(WorkFunction fn, uint64_t step, uint64_t first);
// Runs fn as nspawn does, every worker with the argument arg, for work that
// any worker may take from a store of items shared by all (a countdown, a
// set of ranges): a worker that comes to the batch only after the caller's
// own share is over skips it, since the caller's share ends only when no
// item is left to take, and nwait waits only for the workers that came in
// time. So a worker that the kernel wakes late, or keeps off its processor
// while other programs run, holds up nobody. The workers that sleep are
// woken partly by the workers that came first, so that the caller starts on
// its share sooner. Not every worker need run fn, and one may run it after
// the caller's share began.
void nshare(WorkFunction fn, uint64_t arg);
// Waits until every worker has finished the current batch.
void nwait();
// i for worker i; -1 for the main thread and any thread outside the pool.
int threadid();

// Takes the next item of a shared work counter: returns old - 1, or -1 when
// the counter is exhausted. Items run from the last to the first.
inline int64_t nexttask(std::atomic<int64_t>& counter) {
  int64_t old = counter.load(std::memory_order_relaxed);
  while (old >= 1) {
    if (counter.compare_exchange_weak(old, old - 1, std::memory_order_acq_rel,
                                      std::memory_order_relaxed))
      return old - 1;
  }
  return -1;
}

// Auto-reset event: a signal lets exactly one wait pass; a signal given while
// nobody waits is remembered once. A wait first watches the event for a
// while learnt from how soon the event's signals have followed its waits
// (up to a tenth of a millisecond; a hand-off between busy threads then
// costs no system call), then sleeps until the signal.
struct Event {
  std::atomic<int> signalled;
  std::atomic<int> sleeping;   // waits asleep on cond
  std::atomic<int64_t> watch;  // nanoseconds the next wait watches before it sleeps
  std::atomic<int64_t> stamp;  // when a sleeper was last signalled
  pthread_mutex_t mutex;
  pthread_cond_t cond;
};
void Einit(Event* e);
void Ewait(Event* e);
void Esignal(Event* e);
void Edestroy(Event* e);

// Re-entrant mutex: the owner may take it again; released after as many
// releases as requests.
struct ReMutex {
  pthread_mutex_t mutex;
  std::atomic<pthread_t> owner;
  std::atomic<int> count;
};
void createmutex(ReMutex* m, bool locked);
void requestmutex(ReMutex* m);
void releasemutex(ReMutex* m);
void closemutex(ReMutex* m);

// Guards every lazy one-time initialisation of the suite.
extern ReMutex initmutex;

// What a thread that watches a flag does between two looks: a pause hint,
// which lets a sibling hardware thread run and saves power.
inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Nanoseconds of the monotonic clock, for the bounded watches of the pool
// and of the work handed out on it.
inline int64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace core
