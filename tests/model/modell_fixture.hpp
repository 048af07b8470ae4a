// A small measured pattern for the line-profile model tests: a Cu K-alpha
// doublet, an instrument profile of two squared-Lorentzian components from a
// one-angle instrument-profile file, and points over a 2theta range.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/velmora.hpp"
#include "model/gerneu.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "model/unt.hpp"
#include "scan/ddm.hpp"
#include "testsupport.hpp"

namespace modelltest {

constexpr double kPi = 3.141592653589793;

// A copy of the installation data serves as installation directory: the
// instrument function may print its warnings.
inline void install() {
  std::snprintf(core::kalvo, sizeof core::kalvo, "%s", ktest::process_install().c_str());
}

inline double* doubles(std::initializer_list<double> v) {
  auto* p = static_cast<double*>(std::malloc(sizeof(double) * v.size()));
  std::copy(v.begin(), v.end(), p);
  return p;
}

// Wavelength lines set directly (the wavelength-file reader has tests of its
// own): K-alpha1 and K-alpha2 with intensities 2:1, normalised to sum 1.
inline void doublet(double width1 = 4e-4, double width2 = 5e-4) {
  model::freelam();
  model::ilam = 2;
  model::ij = doubles({2.0 / 3.0, 1.0 / 3.0});
  model::lj = doubles({1.0 / 0.1540593, 1.0 / 0.1544427});
  model::dj = doubles({width1, width2});
  model::l0 = model::ij[0] * model::lj[0] + model::ij[1] * model::lj[1];
}

inline void singleline(double wavelength, double width) {
  model::freelam();
  model::ilam = 1;
  model::ij = doubles({1.0});
  model::lj = doubles({1.0 / wavelength});
  model::dj = doubles({width});
  model::l0 = model::lj[0];
}

// Instrument profile measured at 2theta = 50 degrees: two components
// (weights, positions and widths in radians of theta).
inline void instrument(const ktest::TempDir& dir) {
  ktest::write_file(dir.file("inst.ger"),
                    "TITEL=test\n"
                    "THETA=25 N=2\n"
                    "0.7 0 0.0006\n"
                    "0.3 0.0004 0.0012\n");
  model::ger1(dir.file("inst").c_str());
}

inline float* floats(const std::vector<float>& v) {
  auto* p = static_cast<float*>(std::malloc(sizeof(float) * (v.empty() ? 1 : v.size())));
  for (size_t k = 0; k < v.size(); ++k) p[k] = v[k];
  return p;
}

// Points from tt0 to tt1 degrees 2theta with the given step; intensities 0,
// weights 1 unless given.
inline void points(double tt0, double tt1, double step) {
  std::free(model::sinx);
  std::free(model::intensitaet);
  std::free(model::w);
  std::vector<float> s;
  for (double tt = tt0; tt <= tt1 + 1e-9; tt += step)
    s.push_back(static_cast<float>(std::sin(tt * kPi / 360.0)));
  model::m = static_cast<int>(s.size());
  model::sinx = floats(s);
  model::intensitaet = floats(std::vector<float>(s.size(), 0.0f));
  model::w = floats(std::vector<float>(s.size(), 1.0f));
}

inline double position(double twotheta) {
  return 2.0 * model::l0 * std::sin(twotheta * kPi / 360.0);
}

// Derivative-mode state over the current N points: window half-widths that
// grow from 2 by one per centre up to rmax and shrink towards the end;
// intensities and weights per derivative row.
inline void ddmon(int rmax) {
  const int npts = model::m;
  std::free(scan::ddmrange);
  scan::ddmrange = static_cast<int*>(std::malloc(sizeof(int) * (npts - 4)));
  int biggest = 2;
  for (int c = 0; c < npts - 4; ++c) {
    int r = c + 2;
    if (r > rmax) r = rmax;
    if (r > npts - 3 - c) r = npts - 3 - c;
    scan::ddmrange[c] = r;
    if (r > biggest) biggest = r;
  }
  scan::ddm_mmax = biggest;
  scan::ifddm = true;
  model::m = 2 * (npts - 4);
  std::free(model::intensitaet);
  std::free(model::w);
  std::vector<float> in(model::m), wt(model::m);
  for (int t = 0; t < model::m; ++t) {
    in[t] = static_cast<float>(3.0 * std::sin(0.1 * t));
    wt[t] = static_cast<float>(0.5 + 0.25 * std::cos(0.07 * t));
  }
  model::intensitaet = floats(in);
  model::w = floats(wt);
}

inline void ddmoff() {
  if (scan::ifddm) model::m = model::m / 2 + 4;
  scan::ifddm = false;
  std::free(scan::ddmrange);
  scan::ddmrange = nullptr;
  scan::ddm_mmax = 0;
  std::free(model::intensitaet);
  std::free(model::w);
  model::intensitaet = floats(std::vector<float>(model::m, 0.0f));
  model::w = floats(std::vector<float>(model::m, 1.0f));
}

inline void release() {
  model::hfrei();
  model::unt2();
  model::ger2();
  model::freelam();
  std::free(model::sinx);
  std::free(model::intensitaet);
  std::free(model::w);
  model::sinx = model::intensitaet = model::w = nullptr;
  if (scan::ifddm) {
    scan::ifddm = false;
    std::free(scan::ddmrange);
    scan::ddmrange = nullptr;
  }
  model::m = 0;
}

// Parameters of a set in derivative-row order: per peak I, P, (L), (s),
// then the background coefficients.
inline std::vector<float*> parameters(model::PeakSet* s) {
  std::vector<float*> p;
  for (int k = 0; k < 2 * s->count2; ++k) p.push_back(s->par2 + k);
  for (int k = 0; k < 3 * s->count3; ++k) p.push_back(s->par3 + k);
  for (int k = 0; k < 4 * s->count4; ++k) p.push_back(s->par4 + k);
  for (int k = 0; k < s->ru; ++k) p.push_back(s->bg + k);
  return p;
}

inline std::vector<float> residuals(const model::PeakSet* s) {
  std::vector<float> r(model::m > 0 ? model::m : 1);
  model::modell(r.data(), s);
  r.resize(model::m);
  return r;
}

}  // namespace modelltest
