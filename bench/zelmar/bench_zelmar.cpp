// Benchmark of the ray tracer: rays traced per second (and the share that
// reaches the detector) for a reflecting diffractometer with divergence slit
// and two Soller collimators, a transmitting one and a capillary, each traced
// at 30 and 120 degrees 2theta until its fullest bin holds 2/EPSG^2 rays.
//
// Rays per second of process time (the machine may be shared) and of wall time.
//
//   bench_zelmar [EPSG, default 0.01]
#include <cfloat>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "raytrace.hpp"

using namespace zelmar;

int main(int argc, char** argv) {
  const float epsg = argc > 1 ? static_cast<float>(std::atof(argv[1])) : 0.01f;
  const char* names[3] = {"reflexion", "transmission", "capillary"};
  RunState run;
  for (int arr = REFLEXION; arr <= CAPILLARY; ++arr) {
    BeamPath b;
    b.arrangement = arr;
    b.R = 200;
    b.focusH = 10;
    b.focusW = 0.1;
    b.hslitR = 100;
    b.pcoll = b.scoll = true;
    b.pColl = b.sColl = 0.04;
    b.samplD = arr == CAPILLARY ? 0.5 : DBL_MAX;
    b.samplH = 20;
    b.samplW = DBL_MAX;
    b.monR = 200;
    b.axialH = 15;
    for (double tt : {30.0, 120.0}) {
      AngleSetup a;
      a.theta = tt * 3.141592653589793 / 360;
      a.hslitW = arr == TRANSMISSION ? 0.2 : 1;
      a.detW = 0.2;
      a.deps = arr == TRANSMISSION ? 0.008 * a.hslitW / (b.R - b.hslitR)
                                   : 0.004 * (b.focusW + a.detW) / b.R;
      a.kern = 1e-3f;
      Trace tr;
      const std::clock_t c0 = std::clock();
      const auto t0 = std::chrono::steady_clock::now();
      trace(b, a, TailTable{}, epsg, tt, run, tr);
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      const double cpu = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
      const auto rays = static_cast<double>(tr.traced);
      std::printf(
          "%-12s 2theta=%5.1f %11.0f rays: %8.3g rays/s (process time), %8.3g rays/s (wall), "
          "%4.1f %% accepted\n",
          names[arr], tt, rays, rays / cpu, rays / s,
          100.0 * static_cast<double>(tr.accepted) / static_cast<double>(tr.traced));
    }
  }
}
