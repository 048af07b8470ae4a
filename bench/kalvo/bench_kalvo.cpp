// Benchmark of the peak-fitting program's model-change tests: a neutron
// pattern of 5001 points (2theta 20 to 120 degrees, step 0.02) with 40
// peaks of three parameters and 6 background coefficients. Times the
// test-peak grid (once per fit of an index) and one search for candidates
// of every kind (new peaks over the whole grid, a width more or less, a
// peak or a background coefficient less), the program's hot path, and
// prints the candidate found first; then the whole fit of the index from
// those peaks (least-squares fits with their derivative rows, model-change
// cycles, final fit and normal matrix).
//
//   bench_kalvo [worker threads, default 1] [repetitions, default 3]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "anpa.hpp"
#include "check.hpp"
#include "core/data.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"

namespace {

constexpr double kPi = 3.141592653589793;

double normal(uint64_t& state) {
  auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 32) + 0.5;
  };
  const double u1 = next() / 4294967296.0, u2 = next() / 4294967296.0;
  return std::sqrt(-2 * std::log(u1)) * std::cos(2 * kPi * u2);
}

template <class F>
void timed(const char* what, int repetitions, F body) {
  for (int k = 0; k < repetitions; ++k) {
    const auto w0 = std::chrono::steady_clock::now();
    const std::clock_t c0 = std::clock();
    body();
    const double cpu = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    std::printf("%-28s %8.3f s wall %8.3f s process\n", what, wall, cpu);
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace core;
  using namespace model;
  nthreads = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
  const int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
  std::snprintf(core::kalvo, sizeof core::kalvo, "%s", KALVO_SOURCE_DATA);
  newDATAlist();
  setrekart(2);
  setneutrons(true);
  // One squared-Lorentzian instrument component of 0.002 rad of theta.
  SetStrVar("LINTOR", "0.002");
  initlam("0.15");

  const int points = 5001;
  const int peaks = 40;
  m = points;
  sinx = kcalloc<float>(points);
  intensitaet = kcalloc<float>(points);
  w = kcalloc<float>(points);
  y = kcalloc<float>(points);
  PeakSet* set = nullptr;
  peakalloc(nullptr, &set, 0, 0, 6, 0, peaks, 0);
  for (int k = 0; k < peaks; ++k) {
    const double tt = 22 + k * 2.4;
    set->par3[3 * k] = 100;
    set->par3[3 * k + 1] = static_cast<float>(2 * l0 * std::sin(tt * kPi / 360));
    set->par3[3 * k + 2] = 0.005f;
  }
  for (int i = 0; i < points; ++i)
    sinx[i] = static_cast<float>(std::sin((20 + 0.02 * i) * kPi / 360));
  hinit();
  kalvo::untcurves();
  kalvo::untsetup(set->ru);
  for (int k = 0; k < set->ru; ++k) set->bg[k] = 200;
  // The pattern: the model itself with counting noise, a little off the
  // set so that the tests find something to change.
  std::vector<float> r(points);
  for (int i = 0; i < points; ++i) w[i] = 1;
  modell(r.data(), set);
  uint64_t state = 12345;
  for (int i = 0; i < points; ++i) {
    const double mu = r[i] + 30 * std::exp(-std::pow((20 + 0.02 * i - 75.3) / 0.2, 2));
    intensitaet[i] = static_cast<float>(mu + std::sqrt(mu) * normal(state));
    w[i] = static_cast<float>(1 / std::sqrt(std::fmax(mu, 1.0)));
  }

  std::printf("%d points, %d peaks, %d background coefficients, %d worker threads\n", points, peaks,
              set->ru, nthreads);
  timed("test-peak grid", repetitions, [&] {
    kalvo::checkinit(sinx[0], sinx[points - 1]);
    kalvo::untsetup(set->ru);
  });
  kalvo::Candidate c{};
  timed("candidates of every kind", repetitions, [&] {
    kalvo::test(set, "UND+-");
    c = kalvo::getfirstrang();
  });
  std::printf("first candidate: %c at position %.5f\n", c.kind, static_cast<double>(c.position));
  kalvo::checkfree();
  hfrei();
  // The whole fit of the index from the set as start: the minimiser's fits
  // with their derivative rows, the model-change cycles and the final fit
  // with its normal matrix. The fit's own printing goes to /dev/null.
  float q = 0;
  int npeaks = 0;
  timed("fit of the index", repetitions, [&] {
    PeakSet* fitted = nullptr;
    peakalloc(set, &fitted, 0, 0, set->ru, set->count2, set->count3, set->count4);
    float* matrix = nullptr;
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    kalvo::anpa(&fitted, &matrix, &q);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(null);
    close(saved);
    npeaks = fitted->count2 + fitted->count3 + fitted->count4;
    std::free(matrix);
    peakfree(&fitted);
  });
  std::printf("fitted: %d peaks, Q = %.2f\n", npeaks, static_cast<double>(q));
  peakfree(&set);
  return 0;
}
