// Throughput of the threaded normal-matrix build: n parameters x rows
// Jacobian rows handed to bau1, on the number of worker threads given.
//
//   bench_normalmatrix [threads [n [rows [repeats]]]]   (default 1 200 20000 5)
//
// Prints the best time of the repeats and GFLOP/s, counting one multiply and
// one add per element of the lower triangle and per row; and the processor
// time of all threads over the wall time of all repeats (what the threads
// kept busy, spinning included; on a loaded machine the wall time grows
// while threads wait for a processor).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/nspawn.hpp"
#include "numeric/bau1.hpp"

namespace numeric {
using namespace core;

int run(int argc, char** argv) {
  int threads = argc > 1 ? std::atoi(argv[1]) : 1;
  int n = argc > 2 ? std::atoi(argv[2]) : 200;
  int rows = argc > 3 ? std::atoi(argv[3]) : 20000;
  int repeats = argc > 4 ? std::atoi(argv[4]) : 5;
  nthreads = threads;

  std::vector<float> jac(static_cast<size_t>(rows) * n);
  unsigned s = 12345;
  for (auto& v : jac) {
    s = s * 1103515245u + 12345u;
    v = static_cast<float>((s >> 9) & 0xffff) / 65536.0f - 0.5f;
  }
  std::vector<float> A(static_cast<size_t>(n) * (n + 1) / 2);
  double best = 1e30, wall = 0;
  auto cpu = [] {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + 1e-6 * (u.ru_utime.tv_usec + u.ru_stime.tv_usec);
  };
  const double cpu0 = cpu();
  for (int r = 0; r < repeats; ++r) {
    std::fill(A.begin(), A.end(), 0.0f);
    auto t0 = std::chrono::steady_clock::now();
    NormalBuilder* ctx = bauopen(A.data(), n);
    for (int i = 0; i < rows; ++i) bau1(&jac[static_cast<size_t>(i) * n], ctx);
    bauclose(ctx);
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (t < best) best = t;
    wall += t;
  }
  const double busy = cpu() - cpu0;
  double flops = 2.0 * rows * (static_cast<double>(n) * (n + 1) / 2);
  std::printf(
      "normal matrix n=%d rows=%d threads=%d: %.5f s, %.2f GFLOP/s (check %.6g); processor %.4f s "
      "over wall %.4f s\n",
      n, rows, threads, best, flops / best * 1e-9, static_cast<double>(A[0]), busy, wall);
  return 0;
}

}  // namespace numeric

int main(int argc, char** argv) { return numeric::run(argc, argv); }
