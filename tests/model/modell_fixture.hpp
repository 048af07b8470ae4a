// A small measured pattern for the line-profile model tests: a Cu K-alpha
// doublet, an instrument profile of two squared-Lorentzian components from a
// one-angle instrument-profile file, and points over a 2theta range.
#pragma once

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

// The message catalogue of the source tree serves as installation directory
// (read only): the instrument function may print its warnings.
inline void install() { std::snprintf(kalvo, sizeof kalvo, "%s", KALVO_SOURCE_DATA); }

inline double* doubles(std::initializer_list<double> v) {
  auto* p = static_cast<double*>(std::malloc(sizeof(double) * v.size()));
  int k = 0;
  for (double x : v) p[k++] = x;
  return p;
}

// Wavelength lines set directly (the wavelength-file reader has tests of its
// own): K-alpha1 and K-alpha2 with intensities 2:1, normalised to sum 1.
inline void doublet(double width1 = 4e-4, double width2 = 5e-4) {
  freelam();
  ilam = 2;
  ij = doubles({2.0 / 3.0, 1.0 / 3.0});
  lj = doubles({1.0 / 0.1540593, 1.0 / 0.1544427});
  dj = doubles({width1, width2});
  l0 = ij[0] * lj[0] + ij[1] * lj[1];
}

inline void singleline(double wavelength, double width) {
  freelam();
  ilam = 1;
  ij = doubles({1.0});
  lj = doubles({1.0 / wavelength});
  dj = doubles({width});
  l0 = lj[0];
}

// Instrument profile measured at 2theta = 50 degrees: two components
// (weights, positions and widths in radians of theta).
inline void instrument(const ktest::TempDir& dir) {
  ktest::write_file(dir.file("inst.ger"),
                    "TITEL=test\n"
                    "THETA=25 N=2\n"
                    "0.7 0 0.0006\n"
                    "0.3 0.0004 0.0012\n");
  ger1(dir.file("inst").c_str());
}

inline float* floats(const std::vector<float>& v) {
  auto* p = static_cast<float*>(std::malloc(sizeof(float) * (v.empty() ? 1 : v.size())));
  for (size_t k = 0; k < v.size(); ++k) p[k] = v[k];
  return p;
}

// Points from tt0 to tt1 degrees 2theta with the given step; intensities 0,
// weights 1 unless given.
inline void points(double tt0, double tt1, double step) {
  std::free(sinx);
  std::free(intensitaet);
  std::free(w);
  std::vector<float> s;
  for (double tt = tt0; tt <= tt1 + 1e-9; tt += step) s.push_back(static_cast<float>(std::sin(tt * kPi / 360.0)));
  m = static_cast<int>(s.size());
  sinx = floats(s);
  intensitaet = floats(std::vector<float>(s.size(), 0.0f));
  w = floats(std::vector<float>(s.size(), 1.0f));
}

inline double position(double twotheta) { return 2.0 * l0 * std::sin(twotheta * kPi / 360.0); }

// Derivative-mode state over the current N points: window half-widths that
// grow from 2 by one per centre up to rmax and shrink towards the end;
// intensities and weights per derivative row.
inline void ddmon(int rmax) {
  const int npts = m;
  std::free(ddmrange);
  ddmrange = static_cast<int*>(std::malloc(sizeof(int) * (npts - 4)));
  int biggest = 2;
  for (int c = 0; c < npts - 4; ++c) {
    int r = c + 2;
    if (r > rmax) r = rmax;
    if (r > npts - 3 - c) r = npts - 3 - c;
    ddmrange[c] = r;
    if (r > biggest) biggest = r;
  }
  ddm_mmax = biggest;
  ifddm = true;
  m = 2 * (npts - 4);
  std::free(intensitaet);
  std::free(w);
  std::vector<float> in(m), wt(m);
  for (int t = 0; t < m; ++t) {
    in[t] = static_cast<float>(3.0 * std::sin(0.1 * t));
    wt[t] = static_cast<float>(0.5 + 0.25 * std::cos(0.07 * t));
  }
  intensitaet = floats(in);
  w = floats(wt);
}

inline void ddmoff() {
  if (ifddm) m = m / 2 + 4;
  ifddm = false;
  std::free(ddmrange);
  ddmrange = nullptr;
  ddm_mmax = 0;
  std::free(intensitaet);
  std::free(w);
  intensitaet = floats(std::vector<float>(m, 0.0f));
  w = floats(std::vector<float>(m, 1.0f));
}

inline void release() {
  hfrei();
  unt2();
  ger2();
  freelam();
  std::free(sinx);
  std::free(intensitaet);
  std::free(w);
  sinx = intensitaet = w = nullptr;
  if (ifddm) {
    ifddm = false;
    std::free(ddmrange);
    ddmrange = nullptr;
  }
  m = 0;
}

// Parameters of a set in derivative-row order: per peak I, P, (L), (s),
// then the background coefficients.
inline std::vector<float*> parameters(PeakSet* s) {
  std::vector<float*> p;
  for (int k = 0; k < 2 * s->count2; ++k) p.push_back(s->par2 + k);
  for (int k = 0; k < 3 * s->count3; ++k) p.push_back(s->par3 + k);
  for (int k = 0; k < 4 * s->count4; ++k) p.push_back(s->par4 + k);
  for (int k = 0; k < s->ru; ++k) p.push_back(s->bg + k);
  return p;
}

inline std::vector<float> residuals(const PeakSet* s) {
  std::vector<float> r(m > 0 ? m : 1);
  modell(r.data(), s);
  r.resize(m);
  return r;
}

}  // namespace modelltest
