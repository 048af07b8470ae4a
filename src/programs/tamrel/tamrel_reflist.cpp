// The reflection lists of all phases and the peak set of the pattern model:
// all peaks of all phases laid out in one parameter vector (the 2-parameter
// peaks first, then the 3- and 4-parameter ones, then the background
// coefficients), each vector entry pointing at the double it stands for, and
// the background model set up over the measured points.
#include <cmath>
#include <cstdlib>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/velmora.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "model/unt.hpp"
#include "scan/apx63.hpp"
#include "tamrel.hpp"

namespace tamrel {

using namespace core;
using namespace scan;
using namespace model;
using namespace crystal;

namespace {

// Automatic background-coefficient count from the angle range: more nodes
// the wider the range in ln sin theta, one more for a scaled curve. A window
// that reaches down to sin theta 0 (no points and no reflections to raise
// it) counts as a narrow one.
int automaticru() {
  double ratio = static_cast<double>(sinxmax) / static_cast<double>(sinxmin);
  double x = std::log(ratio);
  int ru = std::isfinite(x) && x > 0.05 ? static_cast<int>(std::floor(x / 0.3)) + 3 : 2;
  setrekart(2);
  if (!runstate.unt.empty()) ++ru;
  return ru;
}

// The peak columns: every peak's parameters in the order of the peak set,
// each pointing at its reflection's doubles, then the background
// coefficients.
void peakcolumns(int ru) {
  rpeaks = 2 * rp2 + 3 * rp3 + 4 * rp4 + ru;
  tpeaks = kcalloc<double*>(static_cast<size_t>(rpeaks));
  const int base[5] = {0, 0, 0, 2 * rp2, 2 * rp2 + 3 * rp3};
  int counter[5] = {0, 0, 0, 0, 0};
  for (PhaseRecord* phase = phase1; phase != nullptr; phase = phase->next) {
    int kind = phase->RP;
    for (int i = 0; i < phase->nrefl; ++i) {
      ReflectionRecord* r = phase->refl[i];
      double* values[4] = {&r->intensity, &r->position, &r->B1, &r->B2};
      r->slot = counter[kind] / kind;
      for (int j = 0; j < kind; ++j) tpeaks[base[kind] + counter[kind] + j] = values[j];
      counter[kind] += kind;
    }
  }
  for (int i = 0; i < ru; ++i) tpeaks[rpeaks - ru + i] = &tu[i];
}

}  // namespace

void buildreflections() {
  RunState& rs = runstate;
  double smallest = -1.0;  // smallest 1/d of all reflections
  for (PhaseRecord* phase = phase1; phase != nullptr; phase = phase->next) {
    int* count = phase->RP == 2 ? &rp2 : phase->RP == 3 ? &rp3 : &rp4;
    phase->peakfirst = phase->RP * *count;
    *count += phase->nrefl;
    phase->peaklast = phase->RP * *count;
    for (int i = 0; i < phase->nrefl; ++i) {
      double s = std::sqrt(phase->refl[i]->sk);
      if (smallest < 0 || s < smallest) smallest = s;
    }
  }
  for (PhaseRecord* phase = phase1; phase != nullptr; phase = phase->next) {
    int shift = phase->RP == 3 ? 2 * rp2 : phase->RP == 4 ? 2 * rp2 + 3 * rp3 : 0;
    phase->peakfirst += shift;
    phase->peaklast += shift;
  }
  if (m == 0 && smallest >= 0) {
    auto raised = static_cast<float>(0.45 * smallest / l0);
    if (raised > sinxmin) sinxmin = raised;
  }
  DelAll();
  freeDATAlist();

  if (rs.ru < 0) rs.ru = automaticru();
  peakalloc(nullptr, &param, 0, 0, rs.ru, rp2, rp3, rp4);
  tu = kcalloc<double>(static_cast<size_t>(rs.ru));
  peakcolumns(rs.ru);

  const char* scaled = rs.unt.empty() ? nullptr : rs.unt.c_str();
  const char* fixed = rs.untc.empty() ? nullptr : rs.untc.c_str();
  if (m > 0) {
    unt1(rs.ru, sinx, rs.npoints, scaled, fixed);
  } else {
    float window[2] = {sinxmin, sinxmax};
    unt1(rs.ru, window, 2, scaled, fixed);
  }
  rs.iterations = 0;
}

void freereflections() {
  peakfree(&param);
  std::free(tpeaks);
  tpeaks = nullptr;
  std::free(tu);
  tu = nullptr;
  rpeaks = 0;
}

}  // namespace tamrel
