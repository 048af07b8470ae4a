// Wavelength distribution: the spectral lines of the radiation.
//
// File "<name>.lam" of the installation directory, in the control-file line
// syntax: a first line that sets ILAM, then ILAM lines of three values
// (relative intensity, reciprocal wavelength, width). Everything read lives
// in a scope of its own that is discarded afterwards.
#include "model/lam.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"

namespace model {
using namespace core;

int ilam = 0;
double* ij = nullptr;
double* lj = nullptr;
double* dj = nullptr;
double l0 = 0.0;

namespace {

double* lines(int count) {
  void* p = std::calloc(static_cast<size_t>(count), sizeof(double));
  if (p == nullptr) outofmemory();
  return static_cast<double*>(p);
}

// A faulty wavelength file: the message with the file name, then every
// pending error of the store (message, then object), and the end.
[[noreturn]] void badfile(FILE* f, const char* file) {
  message<-223>(file);
  while (ifErr()) {
    const char* message = GetErr(1);
    const char* object = GetErr(0);
    std::printf("    %s\n    %s\n", message != nullptr ? message : "",
                object != nullptr ? object : "");
    NextErr();
  }
  freelam();
  std::fclose(f);
  fatal_exit(fatal_status(223));
}

}  // namespace

void freelam() {
  std::free(ij);
  std::free(lj);
  std::free(dj);
  ij = nullptr;
  lj = nullptr;
  dj = nullptr;
  ilam = 0;
}

void initlam(const char* name) {
  freelam();
  std::vector<char> file(std::strlen(name) + 8);
  lowercase(name, file.data());
  makeextension(file.data(), "lam", 0);
  FILE* f = kalvoopen(file.data(), "r");

  if (f == nullptr) {
    // No file: the name itself is the wavelength (a number or a formula).
    double wavelength = 0.0;
    const bool ok = dataerr_try([&] { wavelength = Wert(name); });
    // A wavelength that is not a positive finite number would turn every
    // peak position into an infinity: refused like a name that is no number.
    if (!ok || !(wavelength > 0.0) || isnotfinite(wavelength)) {
      fatal<-222>(file.data(), name);
    }
    ilam = 1;
    ij = lines(1);
    lj = lines(1);
    dj = lines(1);
    ij[0] = 1.0;
    lj[0] = 1.0 / wavelength;
    dj[0] = 0.0;
    l0 = 1.0 / wavelength;
    return;
  }

  newDATAlist();
  float intensities = 0.0f;  // accumulated in single precision
  double weighted = 0.0;
  int count = 0;
  const bool ok = dataerr_try([&] {
    GetData(f, "p");
    count = GetIntVar("ILAM");
    if (count < 1) return;
    ilam = count;
    ij = lines(count);
    lj = lines(count);
    dj = lines(count);
    for (int k = 0; k < count; ++k) {
      GetData(f, "Positionsparameter");
      int idx = 0;
      ij[k] = GetIndexVar("Positionsparameter", 1, &idx);
      intensities = static_cast<float>(intensities + ij[k]);
      idx = 1;
      lj[k] = GetIndexVar("Positionsparameter", 1, &idx);
      weighted += ij[k] * lj[k];
      idx = 2;
      dj[k] = GetIndexVar("Positionsparameter", 1, &idx);
    }
  });
  // The errors are reported before the scope goes: any later store call
  // drops them.
  if (!ok) badfile(f, file.data());
  // No line, or lines without intensity, give no mean wavelength.
  if (count < 1 || !(intensities != 0.0f) || isnotfinite(weighted / intensities)) {
    ClearErr();
    badfile(f, file.data());
  }
  l0 = weighted / intensities;
  std::fclose(f);
  DelAll();
  freeDATAlist();
}

}  // namespace model
