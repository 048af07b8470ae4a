// The threaded phase of the store: private scopes of the workers over the
// shared base, the merge at its end, errors of workers, nesting faults, and
// many workers evaluating shared self-referencing formulas at once.
//
// Every case runs in a child process with its own pool of eight workers.
#include <atomic>
#include <cstdio>
#include <string>

#include "core/nspawn.hpp"
#include "data_testing.hpp"
#include "testsupport.hpp"

namespace core {

namespace {

constexpr int kWorkers = 8;

std::atomic<int> failures{0};

#define CHILD_CHECK(cond)                                           \
  do {                                                              \
    if (!(cond)) {                                                  \
      std::printf("check failed: %s (line %d)\n", #cond, __LINE__); \
      ++failures;                                                   \
    }                                                               \
  } while (0)

void startstore() {
  nthreads = kWorkers;
  totalfree();
  newDATAlist();
  setrekart(2);
}

// Runs fn on every worker inside a guarded group.
template <class F>
void onworkers(F fn) {
  static F* current;
  current = &fn;
  nspawn([](uint64_t) { dataerr_try([] { (*current)(threadid()); }); }, 1, 0);
  nwait();
  current = nullptr;
}

std::string savedtop() {
  FILE* f = std::tmpfile();
  save(f);
  std::rewind(f);
  std::string s;
  for (int ch; (ch = std::getc(f)) != EOF;) s += static_cast<char>(ch);
  std::fclose(f);
  return s;
}

void finish() {
  std::printf("failures %d\n", failures.load());
  std::fflush(stdout);
  std::_Exit(0);
}

void expectclean(const ktest::RunResult& r) {
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "failures 0\n");
  EXPECT_EQ(r.err, "");  // a sanitizer's report, if any
}

TEST(StoreThreads, MergeLastWriterWinsNewKeysGetNextSerials) {
  expectclean(ktest::run_in_child([] {
    startstore();
    SetVar("iref", 1);
    SetVar("keep", 2);
    initDATAthreads();
    SetVar("mainkey", 3);
    SetVar("iref", 100);
    onworkers([](int i) {
      SetVar("iref", 10 + i);
      std::string key = "w" + std::to_string(i);
      SetVar(key.c_str(), i);
      CHILD_CHECK(GetVar("keep") == 2);       // the shared base is visible
      CHILD_CHECK(GetVar("iref") == 10 + i);  // the private scope comes first
    });
    CHILD_CHECK(GetVar("iref") == 100);
    exitDATAthreads();
    std::string expect =
        "iref==1.7000000000000000E+01 \nkeep==2.0000000000000000E+00 "
        "\nmainkey==3.0000000000000000E+00 \n";
    for (int i = 0; i < kWorkers; ++i) {
      char line[64];
      std::snprintf(line, sizeof line, "w%d==%-23.16E\n", i, double(i));
      expect += line;
    }
    CHILD_CHECK(savedtop() == expect);
    CHILD_CHECK(DATAlistLevel() == 1);
    // A second phase reuses the worker contexts and merges again.
    initDATAthreads();
    onworkers([](int i) {
      CHILD_CHECK(GetVar("iref") == 17);
      if (i == 5) SetVar("iref", 55);
    });
    exitDATAthreads();
    CHILD_CHECK(GetVar("iref") == 55);
    finish();
  }));
}

// Every phase gives each context an empty private scope, whatever the last
// phase left in its own: entries merged or dropped, more keys than a scope
// lists, a pending comment. Nothing of the last phase is seen or merged again.
TEST(StoreThreads, EveryPhaseStartsWithEmptyPrivateScopes) {
  expectclean(ktest::run_in_child([] {
    startstore();
    SetVar("x", -1);
    initDATAthreads();
    SetVar("x", 50);
    onworkers([](int i) {
      SetVar("x", i);
      if (i == 0)
        for (int k = 0; k < 200; ++k) SetVar(("many" + std::to_string(k)).c_str(), k);
      if (i == 1) SetComment("left pending");
      if (i == 2) {
        SetVar("dropped", 1);
        DelAll();
      }
    });
    exitDATAthreads();
    CHILD_CHECK(GetVar("x") == kWorkers - 1);
    CHILD_CHECK(GetVar("many199") == 199);
    SetVar("x", 99);
    const std::string before = savedtop();
    // Each phase on a base of its own, as the model evaluations have.
    static int phase;
    for (phase = 0; phase < 3; ++phase) {
      newDATAlist();
      SetVar("y", phase);
      initDATAthreads();
      onworkers([](int) {
        CHILD_CHECK(GetVar("x") == 99);
        CHILD_CHECK(GetVar("y") == phase);
        CHILD_CHECK(dataerr_try([] { GetVar("dropped"); }) == false);
        ClearErr();
      });
      exitDATAthreads();
      DelAll();
      freeDATAlist();
      CHILD_CHECK(savedtop() == before);
    }
    initDATAthreads();
    onworkers([](int i) {
      if (i == 1) SetVar("fresh", 1);
    });
    exitDATAthreads();
    CHILD_CHECK(savedtop() == before + "fresh==1.0000000000000000E+00 \n");
    finish();
  }));
}

TEST(StoreThreads, OnlyTheFirstWorkersErrorsReachTheMainThread) {
  expectclean(ktest::run_in_child([] {
    startstore();
    initDATAthreads();
    nspawn(
        [](uint64_t) {
          // No frame here: the failing reads leave their records pending.
          int i = threadid();
          if (i == 1) Wert("undefA");
          if (i == 3) Wert("undefB");
        },
        1, 0);
    nwait();
    exitDATAthreads();
    std::vector<ErrRec> errs = takeerrors();
    CHILD_CHECK((errs == std::vector<ErrRec>{{"undefA", "undefined variable"},
                                             {"undefA", "wrong expression"}}));
    // With records of its own, the main thread takes none of the workers'.
    initDATAthreads();
    Wert("mine");
    nspawn([](uint64_t) { Wert("theirs"); }, 1, 0);
    nwait();
    exitDATAthreads();
    errs = takeerrors();
    CHILD_CHECK((
        errs == std::vector<ErrRec>{{"mine", "undefined variable"}, {"mine", "wrong expression"}}));
    finish();
  }));
}

TEST(StoreThreads, NestingFaultsAreInternalErrors) {
  struct Fault {
    void (*fn)();
    const char* out;
  };
  const Fault table[] = {
      {[] {
         initDATAthreads();
         nspawn(
             [](uint64_t) {
               if (threadid() == 2) newDATAlist();
             },
             1, 0);
         nwait();
         exitDATAthreads();
       },
       "*** internal error labeled newDATAlist + freeDATAlist nesting error within DATAthreads in "
       "file obj/data, "
       "line 740\n"},
      {[] {
         initDATAthreads();
         nspawn(
             [](uint64_t) {
               if (threadid() == 4) dataerr_newjmp();
             },
             1, 0);
         nwait();
         exitDATAthreads();
       },
       "*** internal error labeled ondataerr + revertdataerr nesting error within DATAthreads in "
       "file obj/data, "
       "line 743\n"},
      {[] {
         initDATAthreads();
         initDATAthreads();
       },
       "*** internal error labeled initDATAthreads may not become recursive in file obj/data, line "
       "654\n"},
      {[] {
         initDATAthreads();
         totalfree();
       },
       "*** internal error labeled totalfree inside threads in file obj/data, line 351\n"},
      {[] {
         initDATAthreads();
         freeDATAlist();  // refused on the shared base: the main thread keeps its private scope
         CHILD_CHECK(pushDATAlist() == nullptr);
         newDATAlist();
         exitDATAthreads();
       },
       "*** internal error labeled newDATAlist + freeDATAlist nesting error within DATAthreads in "
       "file obj/data, "
       "line 740\n"},
  };
  for (const Fault& f : table) {
    ktest::RunResult r = ktest::run_in_child([&] {
      startstore();
      SetVar("a", 1);
      f.fn();
      std::printf("no internal error\n");
    });
    EXPECT_EQ(r.status, 250) << r.out;
    EXPECT_EQ(r.out, f.out);
  }
}

// Eight workers read the same shared entries whose texts refer to
// themselves (through the scope below and through a text function) while
// each writes its own private keys. Run under ThreadSanitizer by CI.
TEST(StoreThreads, WorkersEvaluateSharedSelfReferencingFormulas) {
  expectclean(ktest::run_in_child([] {
    startstore();
    SetVar("a", 3);
    SetVar("x", -1);
    newDATAlist();
    SetStrVar("a", "a*2");
    SetStrFkt("f", 1, "ifthenelse(#1,f(#1-1)+a,0)");
    SetStrVar("y", "x*2+a");
    initDATAthreads();
    onworkers([](int i) {
      SetVar("x", i);
      for (int k = 0; k < 2000; ++k) {
        CHILD_CHECK(GetVar("a") == 6);
        CHILD_CHECK(Wert("f(3)") == 18);
        CHILD_CHECK(GetVar("y") == 2 * i + 6);
        if (failures.load() > 10) break;
      }
    });
    CHILD_CHECK(GetVar("y") == 4);
    exitDATAthreads();
    CHILD_CHECK(GetVar("x") == kWorkers - 1);
    finish();
  }));
}

}  // namespace

}  // namespace core
