// Evaluations per second of a typical control-file formula whose names are
// formulas themselves: Y = A*sqrt(B)+sin(C)/2 with A, B and C texts over a
// number x, read the way model code reads its settings (GetVar), and the
// same text through Wert. Run: bench_store [seconds per measurement]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "core/data.hpp"

namespace core {

namespace {

template <class F>
void measure(const char* what, double seconds, F&& body) {
  using clock = std::chrono::steady_clock;
  double sink = 0;
  long n = 0;
  auto start = clock::now();
  double elapsed = 0;
  do {
    for (int i = 0; i < 10000; ++i) sink += body();
    n += 10000;
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  } while (elapsed < seconds);
  std::printf("%-44s %12.0f evaluations/s  (%.3g us each, checksum %.6g)\n", what, n / elapsed,
              1e6 * elapsed / n, sink / n);
}

}  // namespace

int run(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  newDATAlist();
  setrekart(2);
  SetVar("x", 0.75);
  SetStrVar("A", "2*x+1");
  SetStrVar("B", "x*x+3");
  SetStrVar("C", "x/7-0.25");
  SetStrVar("Y", "A*sqrt(B)+sin(C)/2");
  newDATAlist();  // settings are read through a run scope over the lower ones
  measure("GetVar(Y), Y = A*sqrt(B)+sin(C)/2", seconds, [] { return GetVar("Y"); });
  measure("Wert(\"A*sqrt(B)+sin(C)/2\")", seconds, [] { return Wert("A*sqrt(B)+sin(C)/2"); });
  measure("GetVar(x), a plain number", seconds, [] { return GetVar("x"); });
  totalfree();
  return 0;
}

}  // namespace core

int main(int argc, char** argv) { return core::run(argc, argv); }
