// Reads per second of the parameter store, the way model code reads its
// settings: a nested formula Y = A*sqrt(B)+sin(C)/2 whose names A, B and C
// are formulas of a number x themselves (GetVar), the same text scanned at
// each call (Wert), and a plain number (GetVar); the nested read again with
// many keys in several scopes above the settings. Built with muParser (found
// at configure time; the bench only), the same formula written out in one
// expression is evaluated by muParser too and the ratio is printed. Then the
// writes of a refinement's reflection: ten variables set by name in a scope
// of their own and cleared again, per second.
//
//   bench_store [threads [seconds]]
//
// threads (default: the environment's NTHREADS, else 1): with more than one,
// the reads also run on that many workers at once inside the threaded phase
// (each worker in its own private scope over the shared settings), and their
// summed rate is printed. Each figure is the median of five measurements of
// `seconds` (default 0.3) each.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/data.hpp"
#include "core/nspawn.hpp"

#ifdef KALVO_BENCH_MUPARSER
#include <muParser.h>
#endif

namespace core {

namespace {

constexpr int kRepeats = 5;
constexpr const char* kNested = "A*sqrt(B)+sin(C)/2";
#ifdef KALVO_BENCH_MUPARSER
constexpr const char* kWrittenOut = "(2*x+1)*sqrt(x*x+3)+sin(x/7-0.25)/2";
#endif

using Clock = std::chrono::steady_clock;

// Evaluations per second of body over about `seconds`; sink keeps the values.
template <class F>
double rate(double seconds, double* sink, F&& body) {
  long n = 0;
  auto start = Clock::now();
  double elapsed = 0;
  do {
    for (int i = 0; i < 10000; ++i) *sink += body();
    n += 10000;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < seconds);
  return static_cast<double>(n) / elapsed;
}

template <class F>
double median_rate(double seconds, double* sink, F&& body) {
  std::vector<double> r;
  r.reserve(kRepeats);
  for (int k = 0; k < kRepeats; ++k) r.push_back(rate(seconds, sink, body));
  std::sort(r.begin(), r.end());
  return r[kRepeats / 2];
}

void report(const char* what, double per_second) {
  std::printf("%-48s %12.3f M/s  (%.1f ns each)\n", what, per_second * 1e-6, 1e9 / per_second);
}

// Summed rate of GetVar(name) on every worker at once, in the threaded phase.
double workers_rate(const char* name, double seconds) {
  static const char* current;
  static double span;
  static std::atomic<long> total;
  static std::atomic<double> sinks;
  current = name;
  span = seconds;
  total = 0;
  initDATAthreads();
  auto start = Clock::now();
  nspawn(
      [](uint64_t) {
        double sink = 0;
        long n = 0;
        auto t0 = Clock::now();
        dataerr_try([&] {
          do {
            for (int i = 0; i < 10000; ++i) sink += GetVar(current);
            n += 10000;
          } while (std::chrono::duration<double>(Clock::now() - t0).count() < span);
        });
        total += n;
        sinks.store(sink);
      },
      1, 0);
  nwait();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  exitDATAthreads();
  return static_cast<double>(total.load()) / elapsed;
}

}  // namespace

int run(int argc, char** argv) {
  const char* env = std::getenv("NTHREADS");
  int threads = argc > 1 ? std::atoi(argv[1]) : env != nullptr ? std::atoi(env) : 1;
  double seconds = argc > 2 ? std::atof(argv[2]) : 0.3;
  if (threads < 1) threads = 1;
  nthreads = threads;
  newDATAlist();
  setrekart(2);
  SetVar("x", 0.75);
  SetStrVar("A", "2*x+1");
  SetStrVar("B", "x*x+3");
  SetStrVar("C", "x/7-0.25");
  SetStrVar("Y", kNested);
  newDATAlist();  // settings are read through a run scope over the lower ones
  double sink = 0;
  std::printf("store reads on 1 thread (median of %d)\n", kRepeats);
  double nested = median_rate(seconds, &sink, [] { return GetVar("Y"); });
  report("nested formula GetVar(Y), Y = A*sqrt(B)+sin(C)/2", nested);
  report("scanned text Wert(\"A*sqrt(B)+sin(C)/2\")",
         median_rate(seconds, &sink, [] { return Wert(kNested); }));
  double plain = median_rate(seconds, &sink, [] { return GetVar("x"); });
  report("plain number GetVar(x)", plain);
#ifdef KALVO_BENCH_MUPARSER
  {
    mu::Parser p;
    double x = 0.75;
    p.DefineVar("x", &x);
    p.SetExpr(kWrittenOut);
    double compiled = median_rate(seconds, &sink, [&] { return p.Eval(); });
    double check = p.Eval() - GetVar("Y");
    report("muParser, the same formula written out", compiled);
    std::printf("nested store read / muParser evaluation: %.2f (difference of values %.3g)\n",
                nested / compiled, check);
  }
#else
  std::printf("(built without muParser: no comparison)\n");
#endif
  {
    // A run's store holds many keys in several scopes over the settings.
    char key[32];
    for (int scope = 0; scope < 4; ++scope) {
      newDATAlist();
      for (int k = 0; k < 2000; ++k) {
        std::snprintf(key, sizeof key, "K%dx%d", scope, k);
        SetVar(key, k);
      }
    }
    report("the same under 4 scopes of 2000 keys",
           median_rate(seconds, &sink, [] { return GetVar("Y"); }));
    for (int scope = 0; scope < 4; ++scope) {
      DelAll();
      freeDATAlist();
    }
  }
  {
    // A refinement sets a reflection's variables by name in a scope of its
    // own, evaluates its formulas and clears the scope, line after line.
    newDATAlist();
    static double line = 0;
    report("a line's ten variables set (SetVar) and cleared (DelAll)",
           median_rate(seconds, &sink, [] {
             line += 1.0;
             SetVar("sk", 0.25 * line);
             SetVar("zweiTheta", line);
             SetVar("iref", line);
             SetVar("GEWICHT", 1.0);
             SetVar("h", 1.0);
             SetVar("k", 2.0);
             SetVar("l", 3.0);
             SetVar("F", line);
             SetVar("Finv", -line);
             SetVar("H", 8.0);
             double x = GetVar("F");
             DelAll();
             return x;
           }));
    freeDATAlist();
  }
  if (threads > 1) {
    std::printf("store reads on %d workers at once, threaded phase (summed, one run)\n", threads);
    report("nested formula GetVar(Y)", workers_rate("Y", seconds));
    report("plain number GetVar(x)", workers_rate("x", seconds));
  }
  std::printf("(checksum %.6g)\n", sink);
  totalfree();
  return 0;
}

}  // namespace core

int main(int argc, char** argv) { return core::run(argc, argv); }
