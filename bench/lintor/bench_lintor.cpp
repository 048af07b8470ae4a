// Benchmark of the instrument-profile program's component search: one
// reflection window of a laboratory scan (Cu K-alpha, step 0.01 degrees
// 2theta, +-0.02 rad of theta, 460 points) made from a profile of two or of
// three squared-Lorentzian components with counting noise, searched from
// the background alone as the program does. Prints the components found and
// the process and wall time per search.
//
//   bench_lintor [repetitions, default 3]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "model/lam.hpp"
#include "programs/lintor/lintor.hpp"

namespace {
using namespace core;
using namespace model;

constexpr double kPi = 3.141592653589793;

// Deterministic normal deviates.
double normal(uint64_t& state) {
  auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 32) + 0.5;
  };
  const double u1 = next() / 4294967296.0, u2 = next() / 4294967296.0;
  return std::sqrt(-2 * std::log(u1)) * std::cos(2 * kPi * u2);
}

struct Case {
  const char* what;
  std::vector<double> g, e, sigma;
};

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::atoi(argv[1]) : 3;
  std::snprintf(kalvo, sizeof kalvo, "%s", KALVO_SOURCE_DATA);
  newDATAlist();
  setrekart(2);
  setxray(true);
  initlam("cu");

  const Case cases[] = {
      {"two components", {30, 10}, {0, 3e-4}, {4e-4, 9e-4}},
      {"three components", {30, 12, 5}, {0, 4e-4, -5e-4}, {4e-4, 8e-4, 1.6e-3}},
  };
  for (const Case& c : cases) {
    lintor::Reflex R;
    R.intensity = 1000;
    const double thetaR = 20 * kPi / 180;
    R.position = static_cast<float>(2 * l0 * std::sin(thetaR));
    const int m = 460;
    std::vector<float> s(m), y(m, 0.0f), w(m, 1.0f);
    for (int p = 0; p < m; ++p)
      s[p] = static_cast<float>(std::sin(thetaR - 0.02 + p * 0.01 * kPi / 360));
    lintor::m = m;
    lintor::sinx = s.data();
    lintor::intensitaet = y.data();
    lintor::w = w.data();
    lintor::reflex = &R;
    lintor::ru = 0;
    lintor::tud.clear();
    lintor::tu.clear();
    lintor::g = c.g;
    lintor::e = c.e;
    lintor::q.clear();
    for (double v : c.sigma) lintor::q.push_back(v * v);
    std::vector<float> model(m);
    lintor::linie(model.data());
    uint64_t state = 17;
    for (int p = 0; p < m; ++p) {
      const double v = model[p] + 50;
      y[p] = static_cast<float>(std::fmax(0.0, std::round(v + std::sqrt(v) * normal(state))));
      w[p] = static_cast<float>(1 / std::sqrt(y[p] + 1.0));
    }
    lintor::ru = 2;
    double Q = 0, Q0 = 0;
    const std::clock_t c0 = std::clock();
    const auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < repetitions; ++k) lintor::suche(&Q, &Q0);
    const double cpu = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC / repetitions;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / repetitions;
    std::printf(
        "%-17s %d points: %zu components found, Q/(m - 2 - 3n) = %.3f, %.3f s process, %.3f s "
        "wall\n",
        c.what, m, lintor::g.size(), Q / (m - 2 - 3.0 * lintor::g.size()), cpu, wall);
  }
  freelam();
  totalfree();
  return 0;
}
