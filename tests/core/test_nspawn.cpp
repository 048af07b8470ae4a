#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "core/fatal.hpp"
#include "core/nspawn.hpp"
#include "testsupport.hpp"

namespace core {

namespace {

std::mutex seen_mutex;
std::vector<std::pair<int, uint64_t>> seen;

void record(uint64_t arg) {
  std::lock_guard<std::mutex> lock(seen_mutex);
  seen.emplace_back(threadid(), arg);
}

}  // namespace

// The pool is process-wide and created once; these checks run in one test so
// that the worker count is fixed before the first batch.
TEST(Pool, BatchesArgumentsAndThreadIdentity) {
  EXPECT_EQ(threadid(), -1);
  nthreads = 4;
  seen.clear();
  nspawn(record, 8, 1000);
  nwait();
  ASSERT_EQ(seen.size(), 4u);
  std::set<int> ids;
  std::set<uint64_t> args;
  for (auto& [id, arg] : seen) {
    ids.insert(id);
    args.insert(arg);
    EXPECT_EQ(arg, 1000u + 8u * static_cast<uint64_t>(id));
  }
  EXPECT_EQ(ids, (std::set<int>{0, 1, 2, 3}));
  EXPECT_EQ(args, (std::set<uint64_t>{1000, 1008, 1016, 1024}));
  EXPECT_EQ(threadid(), -1);

  // A second batch reuses the same threads.
  static std::atomic<pthread_t> first_handles[4];
  static std::atomic<int> mismatches{0};
  nspawn([](uint64_t) { first_handles[threadid()] = pthread_self(); }, 0, 0);
  nwait();
  nspawn(
      [](uint64_t) {
        if (!pthread_equal(first_handles[threadid()], pthread_self())) ++mismatches;
      },
      0, 0);
  nwait();
  EXPECT_EQ(mismatches.load(), 0);

  // Work handed out through a shared counter: every item exactly once.
  static std::atomic<int64_t> counter;
  static std::atomic<int> hits[1000];
  counter = 1000;
  for (auto& h : hits) h = 0;
  nspawn(
      [](uint64_t) {
        for (int64_t i; (i = nexttask(counter)) >= 0;) ++hits[i];
      },
      0, 0);
  nwait();
  for (auto& h : hits) EXPECT_EQ(h.load(), 1);
  EXPECT_EQ(nexttask(counter), -1);
}

// Shared batches (nshare) between ordinary ones, many times over, so that
// start signals left over from workers that skipped a shared batch meet the
// batches after it: every item of a shared batch is taken exactly once, no
// worker runs a shared batch after nwait returned, and an ordinary batch
// still runs exactly once on every worker with its own argument. Half of
// the shared batches leave the workers time to fall asleep first.
TEST(Pool, SharedBatchesTakeEveryItemOnceAndEndWithTheCallersShare) {
  nthreads = 4;
  static std::atomic<int64_t> counter;
  static std::atomic<int> hits[64];
  static std::atomic<int> runs{0};
  static std::atomic<int> ordinary[4];
  static std::atomic<uint64_t> wrongarg{0};
  int misses = 0, late = 0, wrongruns = 0;
  for (int k = 0; k < 400; ++k) {
    counter = 64;
    for (auto& h : hits) h = 0;
    runs = 0;
    nshare(
        [](uint64_t arg) {
          if (arg != 7) ++wrongarg;
          ++runs;
          for (int64_t i; (i = nexttask(counter)) >= 0;) ++hits[i];
        },
        7);
    nwait();
    const int seen = runs.load();
    for (auto& h : hits) misses += h.load() != 1;
    if (seen < 1 || seen > 4) ++wrongruns;
    if (k % 2 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(k % 4 == 0 ? 1 : 0));
    if (runs.load() != seen) ++late;
    for (auto& o : ordinary) o = 0;
    nspawn([](uint64_t arg) { ordinary[threadid()] += static_cast<int>(arg) - threadid(); }, 1,
           100);
    nwait();
    for (auto& o : ordinary) wrongruns += o.load() != 100;
  }
  EXPECT_EQ(misses, 0);
  EXPECT_EQ(late, 0);
  EXPECT_EQ(wrongruns, 0);
  EXPECT_EQ(wrongarg.load(), 0u);
  EXPECT_EQ(threadid(), -1);
}

// The pool is process-wide, so the failing worker runs in a freshly started
// copy of this test program (a forked child would inherit a pool whose
// threads it does not have).
TEST(Pool, FatalExitOnAWorkerEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        nthreads = 2;
        nspawn(
            [](uint64_t arg) {
              if (arg == 1) {
                std::fprintf(stderr, "worker failing\n");
                fatal_exit(37);
              }
              std::this_thread::sleep_for(std::chrono::seconds(30));
            },
            1, 0);
        nwait();
      },
      ::testing::ExitedWithCode(37), "worker failing");
}

// With one worker no thread is started: each batch runs on the calling
// thread inside nwait, as worker 0, and the store and the per-worker buffers
// are those of worker 0 as before. Checked in a fresh copy of this program
// (the pool's size is fixed by its first batch).
TEST(Pool, ASingleWorkerRunsEachBatchOnTheCallingThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        nthreads = 1;
        static pthread_t caller;
        static int ids = 0;
        static int batches = 0;
        static uint64_t args = 0;
        caller = pthread_self();
        for (int k = 0; k < 3; ++k) {
          nspawn(
              [](uint64_t arg) {
                if (pthread_equal(caller, pthread_self())) ++batches;
                ids += threadid() == 0 ? 1 : 100;
                args += arg;
              },
              5, 40 + static_cast<uint64_t>(k));
          nwait();
          if (threadid() != -1) std::_Exit(3);
        }
        nwait();  // nothing pending: returns at once
        std::fprintf(stderr, "batches %d ids %d args %d\n", batches, ids, static_cast<int>(args));
        std::_Exit(batches == 3 && ids == 3 && args == 123 ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "batches 3 ids 3 args 123");
}

// Placement of the workers on processors, checked in fresh copies of this
// program (the pool's size is fixed by its first batch).
namespace {

cpu_set_t own_mask() {
  cpu_set_t set;
  CPU_ZERO(&set);
  pthread_getaffinity_np(pthread_self(), sizeof set, &set);
  return set;
}

}  // namespace

// A worker that sleeps between batches is bound to its processor while it
// sleeps (seen from the calling thread); in every batch it runs allowed all
// processors again.
TEST(Pool, WorkersAreBoundOnlyWhileTheySleep) {
  cpu_set_t process;
  ASSERT_EQ(sched_getaffinity(0, sizeof process, &process), 0);
  if (CPU_COUNT(&process) < 3) GTEST_SKIP() << "needs three processors";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        nthreads = 3;
        static cpu_set_t expected;
        static std::atomic<int> wrong{0};
        static std::atomic<int> ran{0};
        static pthread_t handles[3];
        sched_getaffinity(0, sizeof expected, &expected);
        int asleep_bound = 0;
        for (int k = 0; k < 5; ++k) {
          nspawn(
              [](uint64_t) {
                const cpu_set_t mine = own_mask();
                if (!CPU_EQUAL(&mine, &expected)) ++wrong;
                handles[threadid()] = pthread_self();
                ++ran;
              },
              0, 0);
          nwait();
          // Long enough for every worker to stop watching and sleep.
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          for (int i = 1; i < 3; ++i) {
            cpu_set_t set;
            CPU_ZERO(&set);
            pthread_getaffinity_np(handles[i], sizeof set, &set);
            if (CPU_COUNT(&set) == 1) ++asleep_bound;
          }
        }
        // A worker that woke late beside a busy program sleeps unbound for
        // a while, so on a loaded machine not every sleep is bound.
        std::fprintf(stderr, "ran %d, bound in batches %d, bound asleep %s\n", ran.load(),
                     wrong.load(), asleep_bound > 0 ? "yes" : "no");
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "ran 15, bound in batches 0, bound asleep yes");
}

// After a shared batch a worker sleeps unbound: a shared batch waits for
// no late worker, so placement would only cost it system calls. Here every
// worker comes into the shared batch (the caller's share waits for them).
TEST(Pool, WorkersSleepUnboundAfterASharedBatch) {
  cpu_set_t process;
  ASSERT_EQ(sched_getaffinity(0, sizeof process, &process), 0);
  if (CPU_COUNT(&process) < 3) GTEST_SKIP() << "needs three processors";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        nthreads = 3;
        static pthread_t handles[3];
        static std::atomic<int> in{0};
        nspawn([](uint64_t) { handles[threadid()] = pthread_self(); }, 0, 0);
        nwait();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        nshare(
            [](uint64_t) {
              ++in;
              const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
              while (in.load() < 3 && std::chrono::steady_clock::now() < end) relax();
            },
            0);
        nwait();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        int bound = 0;
        for (int i = 1; i < 3; ++i) {
          cpu_set_t set;
          CPU_ZERO(&set);
          pthread_getaffinity_np(handles[i], sizeof set, &set);
          if (CPU_COUNT(&set) == 1) ++bound;
        }
        std::fprintf(stderr, "in %d, bound asleep %d\n", in.load(), bound);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "in 3, bound asleep 0");
}

// A worker kept off its processor for long by another thread there moves,
// after its share, to a processor no thread of the batch started on, and
// is allowed all processors again. Here worker 1 binds itself and a busy
// thread to the processor it started on and works beside it for 30 ms.
TEST(Pool, AWorkerThatSharedItsProcessorMovesToAFreeOne) {
  cpu_set_t process;
  ASSERT_EQ(sched_getaffinity(0, sizeof process, &process), 0);
  if (CPU_COUNT(&process) < 3) GTEST_SKIP() << "needs three processors";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        nthreads = 2;
        static cpu_set_t expected;
        static std::atomic<bool> spin{false};
        static std::atomic<bool> stop{false};
        static std::atomic<int> shared{-1};
        static std::atomic<int> after{-1};
        static std::atomic<bool> allowed_all{false};
        sched_getaffinity(0, sizeof expected, &expected);
        static std::thread hog([] {
          while (!stop)
            if (!spin) std::this_thread::sleep_for(std::chrono::microseconds(100));
        });
        nspawn(
            [](uint64_t) {
              if (threadid() != 1) return;
              const int cpu = sched_getcpu();
              cpu_set_t one;
              CPU_ZERO(&one);
              CPU_SET(cpu, &one);
              pthread_setaffinity_np(pthread_self(), sizeof one, &one);
              pthread_setaffinity_np(hog.native_handle(), sizeof one, &one);
              shared = cpu;
              spin = true;
              const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
              while (std::chrono::steady_clock::now() < end) {
              }
              spin = false;
            },
            0, 0);
        nwait();
        nspawn(
            [](uint64_t) {
              if (threadid() != 1) return;
              after = sched_getcpu();
              const cpu_set_t mine = own_mask();
              allowed_all = CPU_EQUAL(&mine, &expected);
            },
            0, 0);
        nwait();
        stop = true;
        hog.join();
        std::fprintf(stderr, "moved %s, allowed all %s\n", after != shared ? "yes" : "no",
                     allowed_all ? "yes" : "no");
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "moved yes, allowed all yes");
}

TEST(Events, SignalsAreRememberedOnce) {
  Event e;
  Einit(&e);
  Esignal(&e);
  Ewait(&e);  // returns at once: the signal was pending
  Esignal(&e);
  Esignal(&e);
  Ewait(&e);
  // Only one wait passes after two signals.
  std::atomic<bool> passed{false};
  std::thread t([&] {
    Ewait(&e);
    passed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(passed.load());
  Esignal(&e);
  t.join();
  EXPECT_TRUE(passed.load());
  Edestroy(&e);
}

TEST(ReentrantMutex, CountsAcquisitions) {
  ReMutex m;
  createmutex(&m, false);
  requestmutex(&m);
  requestmutex(&m);
  releasemutex(&m);
  // Still held once: another thread cannot take it.
  std::atomic<bool> got{false};
  std::thread t([&] {
    requestmutex(&m);
    got = true;
    releasemutex(&m);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(got.load());
  releasemutex(&m);
  t.join();
  EXPECT_TRUE(got.load());
  closemutex(&m);

  ReMutex locked;
  createmutex(&locked, true);
  requestmutex(&locked);  // the creator holds it and may take it again
  releasemutex(&locked);
  releasemutex(&locked);
  std::thread t2([&] {
    requestmutex(&locked);
    releasemutex(&locked);
  });
  t2.join();
  closemutex(&locked);
}

}  // namespace core
