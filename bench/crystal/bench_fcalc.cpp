// Structure factors per second of one thread: every reflection up to d = 0.1
// nm of corundum (two atoms on 30 sites of R-3c) and of a monoclinic
// structure of 40 atoms in the general position of P21/c (160 sites), X-rays
// with f' and f''. Prints reflections per second and the time per reflection.
//
//   bench_fcalc [seconds per structure, default 1]
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "crystal/tamrel.hpp"

using namespace core;
using namespace crystal;

namespace {

struct Atom {
  const char* species;
  const char* wyckoff;
  double x, y, z, B;
};

// A phase set up as the structure set-up leaves it: cell and group, the
// atoms on all sites of their Wyckoff positions with each centring
// translation, weight and occupancy 1.
PhaseRecord* structure(const char* hm, const double cell[6], const std::vector<Atom>& atoms) {
  static const char* const keys[6] = {"A", "B", "C", "ALPHA", "BETA", "GAMMA"};
  for (int i = 0; i < 6; ++i)
    if (cell[i] != 0) SetVar(keys[i], cell[i]);
  PhaseRecord* p = newphase(1, 0);
  std::strncpy(p->selector[SEL_HERMANNMAUGUIN], hm, 31);
  phasekinds(p);
  appendphase(p);
  int number = 0;
  for (const Atom& a : atoms) {
    AtomRecord* r = newatom(p, ++number, 0.0);
    std::strncpy(r->wyckoffname, a.wyckoff, 99);
    r->weights = static_cast<double*>(std::calloc(1, sizeof(double)));
    r->weights[0] = 1.0;
    newelements(r, 1);
    std::strncpy(r->elements[0].name, a.species, 7);
    r->elements[0].occupancy = 1.0;
    if (afaparm(a.species, r->elements[0].scat) != 1) std::exit(1);
    r->tdskind = TDS_ISO;
    r->B = a.B;
  }
  phasei = p;
  getmass();
  int i = 0;
  for (AtomRecord* r = p->atoms; r != nullptr; r = r->next, ++i) {
    const Atom& a = atoms[i];
    const double free[3] = {a.x, a.y, a.z};
    for (int k = 0; k < r->wyckoff->count; ++k) {
      double v[3];
      for (int c = 0; c < 3; ++c) {
        const SymComponent& s = r->wyckoff->op[k].comp[c];
        v[c] = s.constant + s.coef[0] * free[0] + s.coef[1] * free[1] + s.coef[2] * free[2];
      }
      for (int t = 0; t < p->ncentring; ++t) {
        r->sites[k].x[t] = v[0] + p->centring[t][0];
        r->sites[k].y[t] = v[1] + p->centring[t][1];
        r->sites[k].z[t] = v[2] + p->centring[t][2];
      }
    }
  }
  return p;
}

void measure(const char* what, PhaseRecord* p, double skmax, double seconds) {
  phasei = p;
  const double* g = p->rmetric;
  std::vector<std::array<int32_t, 3>> hkl;
  std::vector<double> sk;
  const int nh = static_cast<int>(std::sqrt(skmax) * p->a),
            nk = static_cast<int>(std::sqrt(skmax) * p->b),
            nl = static_cast<int>(std::sqrt(skmax) * p->c);
  for (int h = 0; h <= nh; ++h)
    for (int k = -nk; k <= nk; ++k)
      for (int l = -nl; l <= nl; ++l) {
        const double s = h * (h * g[0] + 2 * k * g[3]) + k * (k * g[1] + 2 * l * g[4]) +
                         l * (2 * h * g[5] + l * g[2]);
        if (s > 0 && s <= skmax) {
          hkl.push_back({h, k, l});
          sk.push_back(s);
        }
      }
  int32_t triple[1][3];
  FRecord F{};
  F.hkl = triple;
  F.nequiv = 1;
  double sink = 0;
  long count = 0;
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  double elapsed = 0;
  do {
    for (size_t i = 0; i < hkl.size(); ++i) {
      std::memcpy(triple[0], hkl[i].data(), sizeof triple[0]);
      double out[4];
      fcalc(out, 1, 0, nullptr, &F, 0, sk[i]);
      sink += out[0];
    }
    count += static_cast<long>(hkl.size());
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  } while (elapsed < seconds);
  std::printf("%-48s %6zu reflections %10.0f reflections/s (%.3g us each, checksum %.6g)\n", what,
              hkl.size(), count / elapsed, 1e6 * elapsed / count, sink / count);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  std::strncpy(kalvo, KALVO_SOURCE_DATA, sizeof kalvo - 1);
  newDATAlist();
  setrekart(2);
  setxray(true);
  afainit("cu");
  const double skmax = 100.0;  // d >= 0.1 nm
  const double corundum[6] = {0.47589, 0, 1.2991, 0, 0, 120};
  measure("corundum, R-3c, 2 atoms on 30 sites",
          structure("R-3c", corundum,
                    {{"Al", "c", 0, 0, 0.35216, 0.003}, {"O", "e", 0.30624, 0, 0.25, 0.004}}),
          skmax, seconds);
  std::vector<Atom> many;
  many.reserve(40);
  static const char* const species[4] = {"C", "N", "O", "Fe"};
  for (int i = 0; i < 40; ++i)
    many.push_back({species[i % 4], "e", std::fmod(0.137 * i, 1.0),
                    std::fmod(0.291 * i + 0.05, 1.0), std::fmod(0.173 * i + 0.11, 1.0), 0.004});
  freephases();
  const double mono[6] = {1.02, 0.81, 1.33, 90, 104.5, 90};
  measure("monoclinic, P21/c, 40 atoms on 160 sites", structure("P21/c", mono, many), skmax,
          seconds);
  freephases();
  clearafa();
  totalfree();
  return 0;
}
