// Benchmark of ger on the two-record path: a reflecting, a transmitting and a
// capillary sample, each with two measured records, evaluated at angles
// between them. Prints the calls per second of each arrangement, angle by
// angle (ger) and on the worker pool (gerbatch), and the time of the
// per-point profile tables (hinit) of a laboratory pattern with the measured
// profile of tests/data (2theta 22 to 67 degrees in steps of 0.02, copper
// K-alpha doublet).
//
//   bench_gerneu [calls per arrangement, default 200] [worker threads, default 1]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/data.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "model/gerneu.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"

namespace model {
using namespace core;

namespace {

void writefile(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

void nothing(int, int, const float*, const float*, const float*, void*) {}

double since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double* doubles(double a, double b) {
  auto* p = static_cast<double*>(std::malloc(2 * sizeof(double)));
  p[0] = a;
  p[1] = b;
  return p;
}

// Seconds of hinit over the laboratory pattern.
double tables() {
  // The measured profile's own set-up: no penetration keys.
  ergibt("D=");
  ergibt("R=");
  ergibt("T=");
  ger1(KALVO_TEST_DATA "/PbSO4_instrument");
  ilam = 2;
  ij = doubles(2.0 / 3.0, 1.0 / 3.0);
  lj = doubles(1.0 / 0.1540593, 1.0 / 0.1544427);
  dj = doubles(4e-4, 5e-4);
  l0 = ij[0] * lj[0] + ij[1] * lj[1];
  setxray(true);
  m = 2251;
  sinx = static_cast<float*>(std::malloc(sizeof(float) * m));
  intensitaet = static_cast<float*>(std::calloc(m, sizeof(float)));
  w = static_cast<float*>(std::calloc(m, sizeof(float)));
  for (int i = 0; i < m; ++i)
    sinx[i] = static_cast<float>(std::sin((22.0 + 0.02 * i) * 3.141592653589793 / 360));
  auto start = std::chrono::steady_clock::now();
  hinit();
  double seconds = since(start);
  hfrei();
  freelam();
  ger2();
  return seconds;
}

}  // namespace

int run(int argc, char** argv) {
  int calls = argc > 1 ? std::atoi(argv[1]) : 200;
  if (calls < 1) calls = 1;
  nthreads = argc > 2 ? std::atoi(argv[2]) : 1;
  if (nthreads < 1) nthreads = 1;
  char dir[] = "/tmp/bench_gerneuXXXXXX";
  if (mkdtemp(dir) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  std::snprintf(kalvo, sizeof kalvo, "%s", KALVO_SOURCE_DATA);
  newDATAlist();
  setrekart(2);
  ergibt("D==2");
  ergibt("R==200");
  ergibt("T==0.49");

  const char* headers[3] = {"ZELMARRY=REFLEXION", "ZELMARRY=TRANSMISSION", "ZELMARRY=CAPILLARY"};
  const char* names[3] = {"reflexion", "transmission", "capillary"};
  for (int a = 0; a < 3; ++a) {
    std::string base = std::string(dir) + "/" + names[a];
    writefile(base + ".ger", std::string(headers[a]) +
                                 "\nTHETA=20 N=2\n0.7 0 0.001\n0.3 0.0015 0.0018\n"
                                 "THETA=30 N=2\n0.6 0.0002 0.0012\n0.4 -0.001 0.002\n");
    ger1(base.c_str());
    std::vector<float> s(static_cast<size_t>(calls));
    for (int k = 0; k < calls; ++k)
      s[k] = static_cast<float>(std::sin((20.5 + 9.0 * k / calls) * 3.141592653589793 / 180));
    auto start = std::chrono::steady_clock::now();
    double sum = 0;
    for (int k = 0; k < calls; ++k) {
      ger(s[k]);
      sum += n;
    }
    double seconds = since(start);
    std::printf("%-13s %8.1f ger calls per second (%d calls, %.2f components on average)\n",
                names[a], calls / seconds, calls, sum / calls);
    start = std::chrono::steady_clock::now();
    gerbatch(calls, s.data(), nothing, nullptr);
    seconds = since(start);
    std::printf("%-13s %8.1f angles per second in gerbatch on %d worker threads\n", names[a],
                calls / seconds, nthreads);
    ger2();
    std::remove((base + ".ger").c_str());
  }
  rmdir(dir);
  std::printf("hinit of the laboratory pattern (2251 points): %.3f s on %d worker threads\n",
              tables(), nthreads);
  return 0;
}

}  // namespace model

int main(int argc, char** argv) { return model::run(argc, argv); }
