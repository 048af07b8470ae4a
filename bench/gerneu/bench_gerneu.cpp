// Benchmark of ger on the two-record path: a reflecting, a transmitting and a
// capillary sample, each with two measured records, evaluated at angles
// between them. Prints the calls per second of each arrangement.
//
//   bench_gerneu [calls per arrangement, default 200]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "model/gerneu.hpp"

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

}  // namespace

int run(int argc, char** argv) {
  int calls = argc > 1 ? std::atoi(argv[1]) : 200;
  if (calls < 1) calls = 1;
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
    auto start = std::chrono::steady_clock::now();
    double sum = 0;
    for (int k = 0; k < calls; ++k) {
      double theta = 20.5 + 9.0 * k / calls;
      ger(std::sin(theta * 3.141592653589793 / 180));
      sum += n;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-13s %8.1f ger calls per second (%d calls, %.2f components on average)\n",
                names[a], calls / seconds, calls, sum / calls);
    ger2();
    std::remove((base + ".ger").c_str());
  }
  rmdir(dir);
  return 0;
}

}  // namespace model

int main(int argc, char** argv) { return model::run(argc, argv); }
