// The reflection lists of all phases and the peak set of the pattern model.
//
// For every reflection set of a phase the Miller indices of one half of
// reciprocal space are enumerated up to the window of 1/d^2; a reflection
// stays when measured points can see its peak, the lattice centring and the
// general reflection conditions allow it, and (outside Le Bail sets) the
// structure factor of the starting structure does not vanish. Equivalent
// reflections are met through the table of equivalents: the first member of
// an orbit met decides for the whole orbit, and every other member found in
// the table is passed over, so that the table is empty again at the end.
//
// Then all peaks of all phases are laid out in one parameter vector (the
// 2-parameter peaks first, then the 3- and 4-parameter ones, then the
// background coefficients), each vector entry pointing at the double it
// stands for, and the background model is set up over the measured points.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/velmora.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "model/unt.hpp"
#include "scan/apx63.hpp"
#include "scan/ddm.hpp"
#include "tamrel.hpp"

namespace tamrel {

using namespace core;
using namespace scan;
using namespace model;
using namespace crystal;

namespace {

constexpr double kPi = 3.141592653589793;
// Relative widening of the quadratic bounds of the enumeration, so that no
// rounding of the metric loses a triple whose equivalents lie inside.
constexpr double kBoundTolerance = 1e-9;
// A structure factor at most this share of the zero-angle scattering of the
// cell vanishes.
constexpr double kVanishing = 2.220446049250313e-14;
// A general reflection condition allows a reflection above this value.
constexpr double kConditionZero = 2.220446049250313e-13;
// The most reciprocal-lattice points (reflections before symmetry merges
// them) inside the measured range of a phase, and the most index values
// along one axis: a cell far too large for its range (a length in the wrong
// unit) would be enumerated for days.
constexpr double kMostLatticePoints = 2e7;
// The most reflections of a phase (of one set of its reflections).
constexpr int kMostReflections = 1000000;
// The table's key is a 24-bit pattern: more buckets would stay empty.
constexpr double kMostBuckets = 16777216.0;

int smallestprime(double n) {
  long long p = n < 2 ? 2 : static_cast<long long>(std::ceil(std::min(n, kMostBuckets)));
  for (;; ++p) {
    bool prime = true;
    for (long long d = 2; d * d <= p && prime; ++d) prime = p % d != 0;
    if (prime) return static_cast<int>(p);
  }
}

// Lattice centring by the first letter of the phase's BASIS.
bool centringallows(const PhaseRecord* phase, int h, int k, int l) {
  switch (phase->selector[SEL_BASIS][0]) {
    case 'I':
      return (h + k + l) % 2 == 0;
    case 'C':
      return (h + k) % 2 == 0;
    case 'B':
      return (h + l) % 2 == 0;
    case 'A':
      return (k + l) % 2 == 0;
    case 'F':
      return (h + k) % 2 == 0 && (h + l) % 2 == 0;
    case 'R':
      return phase->selector[SEL_UNIQUEAXIS][0] != 'c' || (-h + k + l) % 3 == 0;
    default:
      return true;
  }
}

void freefrecord(FRecord* f) {
  if (f == nullptr) return;
  std::free(f->hkl);
  std::free(f->comp);
  std::free(f);
}

// One reflection set of one phase being enumerated. Owns the table of
// equivalents and the reflections made until they are handed to the phase,
// so that a store error on the way leaves nothing behind.
struct SetGeneration {
  PhaseRecord* phase;
  int iref;
  bool lebail;
  bool structure;  // absences by the structure factor of the starting structure
  bool rangetest;  // measured points decide which peaks can be seen
  double threshold = 0.0;
  double sklim = 0.0;
  double dtheta = 0.0;
  ReflectionRecord* made = nullptr;  // newest first
  int count = 0;

  SetGeneration(PhaseRecord* p, int set, int points)
      : phase(p),
        iref(set),
        lebail(p->lebail != nullptr && p->lebail[set] != 0),
        structure(p->FMult == 0 && !lebail),
        rangetest(points >= 2 || ifddm) {}
  SetGeneration(const SetGeneration&) = delete;
  SetGeneration& operator=(const SetGeneration&) = delete;
  ~SetGeneration() {
    freetable();
    while (made != nullptr) {
      ReflectionRecord* next = made->next;
      freefrecord(made->fr1);
      freefrecord(made->fr2);
      std::free(made);
      made = next;
    }
  }

  void freetable() {
    if (hkltable == nullptr) return;
    for (int b = 0; b < hklprime; ++b)
      while (hkltable[b] != nullptr) {
        HklNode* next = hkltable[b]->next;
        std::free(hkltable[b]);
        hkltable[b] = next;
      }
    std::free(hkltable);
    hkltable = nullptr;
  }

  // Every entered equivalent must have been met.
  void checkempty() const {
    for (int b = 0; b < hklprime; ++b)
      if (hkltable[b] != nullptr) internal_error("hkltable not empty", kModule, __LINE__);
  }

  // The zero-angle scattering of the atoms that count for this set: the
  // form factor's constant and Gaussian amplitudes for X-rays, the
  // scattering length for neutrons.
  void extinctionthreshold() {
    double sum = 0.0;
    const bool neutrons = ifneutrons();
    for (const AtomRecord* a = phase->atoms; a != nullptr; a = a->next) {
      const double v = a->weights != nullptr ? a->weights[iref] : 1.0;
      if (v == 0.0) continue;
      double f0 = 0.0;
      for (int e = 0; e < a->nelements; ++e) {
        const double* d = a->elements[e].scat;
        const double f = neutrons ? std::fabs(d[SD_BCOH])
                                  : d[SD_C] + d[SD_A1] + d[SD_A1 + 1] + d[SD_A1 + 2] + d[SD_A1 + 3];
        f0 += a->elements[e].occupancy * f;
      }
      sum += std::fabs(v) * a->wyckoff->count * phase->ncentring * std::fabs(f0);
    }
    threshold = kVanishing * sum;
  }

  // Whether enough measured points can see a peak at 1/d^2 = sk.
  bool seen(double sk) const {
    const double s = std::sqrt(sk) / (2 * l0);
    double w = 0.02;
    if (s < 1) {
      w = (phase->RP + 1) * 2 * l0 * dtheta * std::sqrt(1 - s * s);
      if (!lebail) w = std::max(w, 0.02);
    } else if (lebail) {
      return false;
    }
    return innen1(phase->RP + 1, std::sqrt(sk), w);
  }

  // The general reflection conditions of the space group and of the
  // structure file, both evaluated at h, k, l in the inner scope.
  bool conditionsallow(int h, int k, int l) const {
    const char* texts[2] = {phase->condition, phase->usercondition};
    if ((texts[0] == nullptr || texts[0][0] == 0) && (texts[1] == nullptr || texts[1][0] == 0))
      return true;
    SetVar("h", h);
    SetVar("k", k);
    SetVar("l", l);
    bool allowed = true;
    for (const char* text : texts)
      if (allowed && text != nullptr && text[0] != 0)
        allowed = std::fabs(Wert(text)) > kConditionZero;
    DelAll();
    return allowed;
  }

  // F(h, k, l) and F(-h, -k, -l) of the starting structure (re, im each).
  void structurefactor(int h, int k, int l, double sk, double out[4]) const {
    for (int i = 0; i < 4; ++i) out[i] = 0.0;
    for (const AtomRecord* a = phase->atoms; a != nullptr; a = a->next) {
      const double v = a->weights != nullptr ? a->weights[iref] : 1.0;
      if (v == 0.0) continue;
      const Amplitude f = f1(a->elements, a->nelements, 1, sk);
      double c = 0.0, s = 0.0;
      for (int j = 0; j < a->wyckoff->count; ++j)
        for (int t = 0; t < phase->ncentring; ++t) {
          const SiteRecord& site = a->sites[j];
          const double arg = 2 * kPi * (h * site.x[t] + k * site.y[t] + l * site.z[t]);
          c += std::cos(arg);
          s += std::sin(arg);
        }
      out[0] += v * (f.re * c - f.im * s);
      out[1] += v * (f.re * s + f.im * c);
      out[2] += v * (f.re * c + f.im * s);
      out[3] += v * (f.im * c - f.re * s);
    }
  }

  // An orbit that makes no reflection: its equivalents (and those of the
  // opposite) are entered so that the enumeration passes over them.
  static void absent(int h, int k, int l) {
    hklbau(nullptr, h, k, l);
    if (isintable(-h, -k, -l) == 0) hklbau(nullptr, -h, -k, -l);
  }

  void visit(int h, int k, int l, double sk) {
    // An equivalent of a reflection met before: whatever the tests below
    // would say, it belongs to that orbit.
    if (isintable(h, k, l) != 0) {
      if (isintable(-h, -k, -l) == 0) internal_error("zentronotfound", kModule, __LINE__);
      return;
    }
    if (sk > sklim || !centringallows(phase, h, k, l)) return;
    if ((rangetest && !seen(sk)) || !conditionsallow(h, k, l)) {
      absent(h, k, l);
      return;
    }
    double F[4] = {0.0, 0.0, 0.0, 0.0};
    if (structure) {
      structurefactor(h, k, l, sk, F);
      if (std::fabs(F[0]) <= threshold && std::fabs(F[1]) <= threshold &&
          std::fabs(F[2]) <= threshold && std::fabs(F[3]) <= threshold) {
        absent(h, k, l);
        return;
      }
    }
    ReflectionRecord* r = newreflection(sk, iref);
    r->next = made;
    made = r;
    if (++count > kMostReflections) fatal<-125>(phase->number, kMostReflections);
    r->fr1 = newfrecord(std::hypot(F[0], F[1]), phase->FMult);
    hklbau(r->fr1, h, k, l);
    if (isintable(-h, -k, -l) != 0) {
      r->count = 1;
      r->fr1->Finv = r->fr1->F;
      return;
    }
    r->count = 2;
    r->fr2 = newfrecord(std::hypot(F[2], F[3]), phase->FMult);
    r->fr1->Finv = r->fr2->F;
    r->fr2->Finv = r->fr1->F;
    hklbau(r->fr2, -h, -k, -l);
  }

  // The half-space h >= 0 (k >= 0 for h = 0, l >= 1 for h = k = 0) inside
  // the ellipsoid of 1/d^2 <= sklim: for each h the k range where some l
  // reaches inside, for each (h, k) the l range.
  void enumerate() {
    const double* g = phase->rmetric;  // g11, g22, g33, g12, g23, g13
    const double lim = sklim * (1 + kBoundTolerance);
    // The index range along each axis is sqrt(lim) times the cell edge; the
    // triples inside are about 4 pi / 3 lim^(3/2) V.
    const double points = 4 * kPi / 3 * lim * std::sqrt(lim) * std::sqrt(phase->volume2);
    const double edge = std::sqrt(lim) * std::max({phase->a, phase->b, phase->c});
    if (!(points <= kMostLatticePoints && edge <= kMostLatticePoints))
      fatal<-120>(phase->number, std::max(points, edge), kMostLatticePoints);
    // The loops also pass over (h, k) pairs without a triple inside; with a
    // very oblique cell they could be many more than the triples.
    int64_t steps = 0;
    auto step = [&] {
      if (++steps > 4 * static_cast<int64_t>(kMostLatticePoints))
        fatal<-120>(phase->number, static_cast<double>(steps), kMostLatticePoints);
    };
    const int hmax = static_cast<int>(std::floor(std::sqrt(lim) * phase->a));
    for (int h = 0; h <= hmax; ++h) {
      step();
      const double ka = g[1] - g[4] * g[4] / g[2];
      const double kb = 2 * h * (g[3] - g[5] * g[4] / g[2]);
      const double kc = h * h * (g[0] - g[5] * g[5] / g[2]) - lim;
      const double kdisc = kb * kb - 4 * ka * kc;
      if (kdisc < 0) continue;
      int klo = static_cast<int>(std::ceil((-kb - std::sqrt(kdisc)) / (2 * ka)));
      const int khi = static_cast<int>(std::floor((-kb + std::sqrt(kdisc)) / (2 * ka)));
      if (h == 0) klo = std::max(klo, 0);
      for (int k = klo; k <= khi; ++k) {
        step();
        const double lb = 2 * (h * g[5] + k * g[4]);
        const double lc = h * h * g[0] + k * k * g[1] + 2 * h * k * g[3] - lim;
        const double ldisc = lb * lb - 4 * g[2] * lc;
        if (ldisc < 0) continue;
        int llo = static_cast<int>(std::ceil((-lb - std::sqrt(ldisc)) / (2 * g[2])));
        const int lhi = static_cast<int>(std::floor((-lb + std::sqrt(ldisc)) / (2 * g[2])));
        if (h == 0 && k == 0) llo = std::max(llo, 1);
        for (int l = llo; l <= lhi; ++l) {
          step();
          const double sk = h * (h * g[0] + 2 * k * g[3]) + k * (k * g[1] + 2 * l * g[4]) +
                            l * (2 * h * g[5] + l * g[2]);
          visit(h, k, l, sk);
        }
      }
    }
  }

  void run(const RunState& rs) {
    const double skmax = rs.skmax;
    hklprime = smallestprime(4 * kPi * std::sqrt(skmax) * std::sqrt(phase->volume2) * skmax / 3);
    hkltable = kcalloc<HklNode*>(static_cast<size_t>(hklprime));
    if (structure) extinctionthreshold();
    sklim = lebail ? skmax : skmax + 0.08 * std::sqrt(skmax);
    if (rangetest) {
      const double smin = std::min(1.0, std::sqrt(rs.skmin) / (2 * l0));
      const double smax = std::min(1.0, std::sqrt(skmax) / (2 * l0));
      const int steps = ifddm ? m / 2 + 3 : m - 1;
      dtheta = (std::asin(smax) - std::asin(smin)) / steps;
    }
    enumerate();
    checkempty();
    freetable();
  }

  // Hands the reflections to the phase, newest first.
  void handover(std::vector<ReflectionRecord*>& list) {
    for (ReflectionRecord* r = made; r != nullptr; r = r->next) list.push_back(r);
    made = nullptr;
  }
};

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

void phasereflections(PhaseRecord* phase) {
  phasei = phase;
  phase->nrefl = 0;
  std::vector<ReflectionRecord*> list;
  for (int iref = 0; iref < phase->RefMult; ++iref) {
    newDATAlist();
    xyzinit();
    SetVar("iref", iref + 1);
    newDATAlist();
    SetGeneration set(phase, iref, runstate.npoints);
    set.run(runstate);
    set.handover(list);
    DelAll();
    freeDATAlist();
    DelAll();
    freeDATAlist();
  }
  std::free(phase->refl);
  phase->nrefl = static_cast<int32_t>(list.size());
  phase->refl = kcalloc<ReflectionRecord*>(list.size() + 1);
  for (size_t i = 0; i < list.size(); ++i) phase->refl[i] = list[i];
  phasei = phase;
  vergleich = refvergleich;
  austausch = reftausch;
  heapsort(phase->nrefl);
}

void buildreflections() {
  RunState& rs = runstate;
  double smallest = -1.0;  // smallest 1/d of all reflections
  for (PhaseRecord* phase = phase1; phase != nullptr; phase = phase->next) {
    if (!dataerr_try([&] { phasereflections(phase); })) {
      message<260>(phase->number);
      namephasefile(phase->number);
      passon();
    }
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
