// Speed-up of parallelintegral7 over integral7 for an integrand of realistic
// cost (about the given number of microseconds a call, default 20).
//
//   bench_parallelintegral [threads [microseconds [sleep]]]   (default 8 20)
//
// With "sleep" the integrand sleeps for its time instead of computing: the
// speed-up then shows how many evaluations the parallel version keeps in
// flight, nearly independent of what else loads the machine.
#include <time.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/integral.hpp"
#include "core/nspawn.hpp"

namespace core {

namespace {

int work = 0;       // inner loop length giving the requested cost
long sleep_ns = 0;  // or the time the integrand sleeps
std::atomic<long> evaluations{0};

// A smooth, peaked integrand whose evaluation costs a fixed amount of work.
double costly(void*, double x) {
  evaluations.fetch_add(1, std::memory_order_relaxed);
  if (sleep_ns > 0) {
    timespec t{0, sleep_ns};
    nanosleep(&t, nullptr);
  }
  double s = 0;
  for (int k = 1; k <= work; ++k) s += std::sin(k * 1e-3 + x) * 1e-9;
  double d = (x - 0.3) / 0.05;
  return 1 / (1 + d * d) + s;
}

double seconds(double (*fn)(Integrand, void*, double, double, double), long* calls) {
  auto t0 = std::chrono::steady_clock::now();
  volatile double v = fn(costly, calls, 0, 1, 1e-13);
  (void)v;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int run(int argc, char** argv) {
  nthreads = argc > 1 ? std::atoi(argv[1]) : 8;
  double micro = argc > 2 ? std::atof(argv[2]) : 20;
  const bool sleeping = argc > 3 && std::strcmp(argv[3], "sleep") == 0;

  // Calibrate the cost of one call.
  volatile double sink = 0;
  auto cost = [&] {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) sink = sink + costly(nullptr, i * 1e-3);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / 200;
  };
  work = 1000;
  double per = cost();
  work = static_cast<int>(1000 * micro * 1e-6 / per);
  if (work < 1) work = 1;
  if (sleeping) {
    work = 0;
    sleep_ns = static_cast<long>(micro * 1e3);
  }
  per = cost();

  double serial = 1e30, parallel = 1e30;
  long serialcalls = 0, parallelcalls = 0;
  for (int r = 0; r < 3; ++r) {
    evaluations = 0;
    double a = seconds(integral7, nullptr);
    serialcalls = evaluations.exchange(0);
    double b = seconds(parallelintegral7, nullptr);
    parallelcalls = evaluations.load();
    if (a < serial) serial = a;
    if (b < parallel) parallel = b;
  }
  long calls = 0;
  {
    auto count = [](void* p, double x) {
      ++*static_cast<long*>(p);
      double d = (x - 0.3) / 0.05;
      return 1 / (1 + d * d);
    };
    integral7(count, &calls, 0, 1, 1e-13);
  }
  std::printf("%ld integrand calls; evaluations: integral7 %ld, parallelintegral7 %ld\n", calls,
              serialcalls, parallelcalls);
  std::printf(
      "integrand %.1f us/call; integral7 %.4f s, parallelintegral7 on %d threads %.4f s: "
      "speed-up %.2f\n",
      per * 1e6, serial, nthreads, parallel, serial / parallel);
  return 0;
}

}  // namespace core

int main(int argc, char** argv) { return core::run(argc, argv); }
