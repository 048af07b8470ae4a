// The driver's state around the model evaluation cycle, for the tests.
#include "refinement_fixture.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "model/gerneu.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "model/unt.hpp"

namespace ktest {

using namespace core;
using namespace model;
using namespace crystal;

namespace {

constexpr double kPi = 3.14159265358979323846;

template <class T>
T* zeroed(size_t n) {
  return static_cast<T*>(std::calloc(n == 0 ? 1 : n, sizeof(T)));
}

}  // namespace

void single_wavelength(double lambda) {
  freelam();
  ilam = 1;
  ij = zeroed<double>(1);
  lj = zeroed<double>(1);
  dj = zeroed<double>(1);
  ij[0] = 1.0;
  lj[0] = 1.0 / lambda;
  l0 = lj[0];
}

Pattern::Pattern(int n, double tt0, double tt1, double lambda, bool arrays) {
  write_file(dir_.file("inst.ger"), "TITEL=test\nTHETA=25 N=2\n0.7 0 0.0006\n0.3 0.0004 0.0012\n");
  ger1(dir_.file("inst").c_str());
  single_wavelength(lambda);
  m = n;
  sinx = zeroed<float>(static_cast<size_t>(n));
  intensitaet = zeroed<float>(static_cast<size_t>(n));
  w = zeroed<float>(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const double tt = tt0 + (tt1 - tt0) * i / (n - 1);
    sinx[i] = static_cast<float>(std::sin(tt * kPi / 360.0));
    w[i] = 1.0f;
  }
  if (arrays) {
    y = zeroed<float>(static_cast<size_t>(n));
    u = zeroed<float>(static_cast<size_t>(n));
  }
  hinit();
}

Pattern::~Pattern() {
  hfrei();
  unt2();
  ger2();
  freelam();
  for (float** a : {&sinx, &intensitaet, &w, &y, &u, &yphasen}) {
    std::free(*a);
    *a = nullptr;
  }
  m = 0;
  nphasen = 0;
}

void peakset(int ru) {
  rp2 = rp3 = rp4 = 0;
  for (PhaseRecord* p = phase1; p != nullptr; p = p->next) {
    int* count = p->RP == 2 ? &rp2 : p->RP == 3 ? &rp3 : &rp4;
    p->peakfirst = p->RP * *count;
    *count += p->nrefl;
    p->peaklast = p->RP * *count;
  }
  for (PhaseRecord* p = phase1; p != nullptr; p = p->next) {
    const int shift = p->RP == 3 ? 2 * rp2 : p->RP == 4 ? 2 * rp2 + 3 * rp3 : 0;
    p->peakfirst += shift;
    p->peaklast += shift;
  }
  peakalloc(nullptr, &param, 0, 0, ru, rp2, rp3, rp4);
  tu = zeroed<double>(static_cast<size_t>(ru));
  rpeaks = 2 * rp2 + 3 * rp3 + 4 * rp4 + ru;
  tpeaks = zeroed<double*>(static_cast<size_t>(rpeaks));
  const int base[5] = {0, 0, 0, 2 * rp2, 2 * rp2 + 3 * rp3};
  int counter[5] = {0, 0, 0, 0, 0};
  for (PhaseRecord* p = phase1; p != nullptr; p = p->next) {
    const int kind = p->RP;
    for (int i = 0; i < p->nrefl; ++i) {
      ReflectionRecord* r = p->refl[i];
      double* values[4] = {&r->intensity, &r->position, &r->B1, &r->B2};
      r->slot = counter[kind] / kind;
      for (int j = 0; j < kind; ++j) tpeaks[base[kind] + counter[kind] + j] = values[j];
      counter[kind] += kind;
    }
  }
  for (int i = 0; i < ru; ++i) tpeaks[rpeaks - ru + i] = &tu[i];
  if (m > 0) unt1(ru, sinx, m, nullptr, nullptr);
}

void refine(const std::vector<Refined>& params) {
  rqmin = static_cast<int>(params.size());
  noequiv = 0;
  qminparam = zeroed<numeric::QminParam>(params.size());
  for (size_t i = 0; i < params.size(); ++i) {
    const Refined& r = params[i];
    qminparam[i] = {r.name, r.owner, r.sub, r.index, r.value, r.min, r.max};
    if (r.index < 0) ++noequiv;
  }
  kettenregeldim = rpeaks - param->ru;
  kettenregel = zeroed<float>(static_cast<size_t>(noequiv) * kettenregeldim);
  matrixmultdim = zeroed<int32_t>(2 * static_cast<size_t>(noequiv));
  for (int s = 0; s < noequiv; ++s) {
    const auto* owner = static_cast<const PhaseRecord*>(qminparam[s].owner);
    matrixmultdim[2 * s] = owner != nullptr ? owner->peakfirst : 0;
    matrixmultdim[2 * s + 1] =
        owner != nullptr ? owner->peaklast - owner->peakfirst : kettenregeldim;
  }
  strafableitung = zeroed<float>(static_cast<size_t>(istraf) * noequiv);
  if (goalzahl > 0) {
    a = zeroed<double*>(static_cast<size_t>(goalzahl));
    for (int g = 0; g < goalzahl; ++g) a[g] = zeroed<double>(static_cast<size_t>(rqmin));
  }
  linstrafinit = 1;
  ermodfaktor = 1.0;
  localphase = lastphase = nullptr;
}

double* named(ParamRecord** array, int32_t* count, const char* name, double value) {
  ParamRecord* p = addparam(array, count);
  p->name = strdup(name);
  p->value = value;
  return &p->value;
}

void free_refinement() {
  peakfree(&param);
  for (float** f : {&kettenregel, &strafableitung, &ksableitung}) {
    std::free(*f);
    *f = nullptr;
  }
  std::free(matrixmultdim);
  matrixmultdim = nullptr;
  std::free(tpeaks);
  tpeaks = nullptr;
  std::free(tu);
  tu = nullptr;
  std::free(qminparam);
  qminparam = nullptr;
  if (a != nullptr)
    for (int g = 0; g < goalzahl; ++g) std::free(a[g]);
  std::free(a);
  a = nullptr;
  std::free(goalwert);
  goalwert = nullptr;
  rqmin = noequiv = rpeaks = kettenregeldim = 0;
  rp2 = rp3 = rp4 = 0;
}

}  // namespace ktest
