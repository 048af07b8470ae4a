// Structures set up for the tests of the reflection lists, structure factors
// and coordinate functions.
#include "structure_fixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/data.hpp"
#include "core/velmora.hpp"

namespace ktest {

using namespace core;
using namespace crystal;

std::vector<ReferenceStructure> readreference() {
  std::ifstream f(std::string(KALVO_TEST_DATA) + "/crystal_reference.txt");
  EXPECT_TRUE(f.good()) << "no reference file";
  std::vector<ReferenceStructure> all;
  std::string line;
  while (std::getline(f, line)) {
    if (line.empty() || line[0] == '%') continue;
    std::istringstream in(line);
    std::string key;
    in >> key;
    if (key == "structure") {
      all.emplace_back();
      in >> all.back().name;
      continue;
    }
    ReferenceStructure& r = all.back();
    if (key == "selectors") {
      for (std::string s; in >> s;) r.selectors.push_back(s);
      continue;
    }
    if (key == "cell") {
      for (double& c : r.cell) in >> c;
    } else if (key == "atom") {
      AtomSpec a;
      std::string element;
      in >> element >> a.wyckoff >> a.x >> a.y >> a.z >> a.B;
      a.eitem = "E=" + element;
      r.atoms.push_back(a);
    } else if (key == "skmax") {
      in >> r.skmax;
    } else if (key == "ref") {
      RefLine x;
      in >> x.h >> x.k >> x.l >> x.multiplicity >> x.sk >> x.fx >> x.fn;
      r.refs.push_back(x);
    }
    EXPECT_FALSE(in.fail()) << line;
  }
  return all;
}

void copy_operators(PhaseRecord* phase) {
  const WyckoffRecord* g = phase->group->general;
  for (int i = 0; i < g->count; ++i)
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c)
        phase->operators[13 * i + 3 + 3 * r + c] = g->op[i].comp[r].coef[c];
  phase->operatorspending = 0;
}

void place_sites(PhaseRecord* phase, AtomRecord* atom, double x, double y, double z) {
  const WyckoffRecord* w = atom->wyckoff;
  const double free[3] = {w->xfree ? x : 0.0, w->yfree ? y : 0.0, w->zfree ? z : 0.0};
  for (int k = 0; k < w->count; ++k) {
    double v[3];
    for (int r = 0; r < 3; ++r) {
      const SymComponent& c = w->op[k].comp[r];
      v[r] = c.constant + c.coef[0] * free[0] + c.coef[1] * free[1] + c.coef[2] * free[2];
    }
    SiteRecord& s = atom->sites[k];
    for (int t = 0; t < phase->ncentring; ++t) {
      s.x[t] = v[0] + phase->centring[t][0];
      s.y[t] = v[1] + phase->centring[t][1];
      s.z[t] = v[2] + phase->centring[t][2];
    }
  }
}

PhaseRecord* make_structure(const std::vector<std::string>& header, const double cell[6],
                            const std::vector<AtomSpec>& atoms, bool scat) {
  PhaseRecord* p = make_phase(header);
  static const char* const keys[6] = {"A", "B", "C", "ALPHA", "BETA", "GAMMA"};
  for (int i = 0; i < 6; ++i) {
    DelVar(keys[i]);
    if (cell[i] != 0.0) SetVar(keys[i], cell[i]);
  }
  std::vector<AtomRecord*> records;
  for (const AtomSpec& a : atoms)
    records.push_back(make_atom(p, a.eitem, {"Wyckoff=" + a.wyckoff}, scat));
  phasei = p;
  if (!dataerr_try([] { getmass(); })) {
    ADD_FAILURE() << "the cell or space group cannot be set up";
    return nullptr;
  }
  copy_operators(p);
  const int kinds = p->FMult > 0 ? p->FMult : p->RefMult;
  for (size_t i = 0; i < atoms.size(); ++i) {
    AtomRecord* r = records[i];
    place_sites(p, r, atoms[i].x, atoms[i].y, atoms[i].z);
    for (int k = 0; k < kinds; ++k) r->weights[k] = 1.0;
    r->tdskind = TDS_ISO;
    r->B = atoms[i].B;
    double given = 0.0;
    int rest = 0;
    for (int e = 0; e < r->nelements; ++e) {
      ElementRecord& el = r->elements[e];
      if (el.occformula != nullptr) {
        el.occupancy = Wert(el.occformula);
        given += el.occupancy;
      } else {
        ++rest;
      }
    }
    for (int e = 0; e < r->nelements; ++e)
      if (r->elements[e].occformula == nullptr) r->elements[e].occupancy = (1.0 - given) / rest;
  }
  return p;
}

namespace {

int smallestprime(double n) {
  for (int p = std::max(2, static_cast<int>(std::ceil(n)));; ++p) {
    bool prime = true;
    for (int d = 2; d * d <= p && prime; ++d) prime = p % d != 0;
    if (prime) return p;
  }
}

bool centringallows(const PhaseRecord* p, int h, int k, int l) {
  switch (p->selector[SEL_BASIS][0]) {
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
      return p->selector[SEL_UNIQUEAXIS][0] != 'c' || (-h + k + l) % 3 == 0;
    default:
      return true;
  }
}

bool conditionallows(const PhaseRecord* p, int h, int k, int l) {
  if (p->condition == nullptr || p->condition[0] == 0) return true;
  newDATAlist();
  SetVar("h", h);
  SetVar("k", k);
  SetVar("l", l);
  const double v = Wert(p->condition);
  DelAll();
  freeDATAlist();
  return std::fabs(v) > 2.220446049250313e-13;
}

// Structure factor of (h, k, l) and of (-h, -k, -l) through a scratch F-record.
void structurefactor(int h, int k, int l, double sk, double out[4]) {
  FRecord f{};
  int32_t triple[1][3] = {{h, k, l}};
  f.hkl = triple;
  f.nequiv = 1;
  fcalc(out, 1, 0, nullptr, &f, 0, sk);
}

}  // namespace

void generate_reflections(double skmax) {
  PhaseRecord* p = phasei;
  const double* g = p->rmetric;  // g11, g22, g33, g12, g23, g13
  hklprime =
      smallestprime(4.0 * 3.14159265358979 / 3.0 * std::pow(skmax, 1.5) * std::sqrt(p->volume2));
  hkltable = core::kcalloc<HklNode*>(static_cast<size_t>(hklprime));
  // Extinction threshold from the zero-angle scattering of the atoms.
  double f0 = 0.0;
  for (const AtomRecord* a = p->atoms; a != nullptr; a = a->next)
    for (int e = 0; e < a->nelements; ++e) {
      const double* d = a->elements[e].scat;
      f0 += a->wyckoff->count * p->ncentring * a->elements[e].occupancy *
            (d[SD_C] + d[0] + d[1] + d[2] + d[3]);
    }
  const double threshold = 2.220446049250313e-14 * f0;
  std::vector<ReflectionRecord*> made;
  const int hmax = static_cast<int>(std::floor(std::sqrt(skmax) * p->a));
  const int kmax = static_cast<int>(std::floor(std::sqrt(skmax) * p->b));
  for (int h = 0; h <= hmax; ++h)
    for (int k = h == 0 ? 0 : -kmax; k <= kmax; ++k) {
      // l range from the quadratic g33 l^2 + 2 l (h g13 + k g23) + c <= skmax.
      const double qa = g[2], qb = 2 * (h * g[5] + k * g[4]);
      const double qc = h * h * g[0] + k * k * g[1] + 2 * h * k * g[3] - skmax;
      const double disc = qb * qb - 4 * qa * qc;
      if (disc < 0) continue;
      const int lo = static_cast<int>(std::ceil((-qb - std::sqrt(disc)) / (2 * qa)));
      const int hi = static_cast<int>(std::floor((-qb + std::sqrt(disc)) / (2 * qa)));
      for (int l = std::max(lo, h == 0 && k == 0 ? 1 : lo); l <= hi; ++l) {
        const double sk = h * (h * g[0] + 2 * k * g[3]) + k * (k * g[1] + 2 * l * g[4]) +
                          l * (2 * h * g[5] + l * g[2]);
        if (sk > skmax) continue;
        if (!centringallows(p, h, k, l) || !conditionallows(p, h, k, l)) continue;
        if (isintable(h, k, l) != 0) {
          EXPECT_EQ(isintable(-h, -k, -l), 1) << "opposite of " << h << " " << k << " " << l;
          continue;
        }
        double F[4];
        structurefactor(h, k, l, sk, F);
        if (std::fabs(F[0]) <= threshold && std::fabs(F[1]) <= threshold &&
            std::fabs(F[2]) <= threshold && std::fabs(F[3]) <= threshold) {
          hklbau(nullptr, h, k, l);
          if (isintable(-h, -k, -l) == 0) hklbau(nullptr, -h, -k, -l);
          continue;
        }
        ReflectionRecord* r = newreflection(sk, 0);
        r->fr1 = newfrecord(std::hypot(F[0], F[1]), 0);
        hklbau(r->fr1, h, k, l);
        if (isintable(-h, -k, -l) != 0) {
          r->fr1->Finv = r->fr1->F;
        } else {
          r->fr2 = newfrecord(std::hypot(F[2], F[3]), 0);
          r->count = 2;
          r->fr1->Finv = r->fr2->F;
          r->fr2->Finv = r->fr1->F;
          hklbau(r->fr2, -h, -k, -l);
        }
        made.push_back(r);
      }
    }
  for (int b = 0; b < hklprime; ++b) EXPECT_EQ(hkltable[b], nullptr) << "equivalents never met";
  std::free(hkltable);
  hkltable = nullptr;
  p->nrefl = static_cast<int32_t>(made.size());
  p->refl = core::kcalloc<ReflectionRecord*>(made.size() + 1);
  for (size_t i = 0; i < made.size(); ++i) p->refl[i] = made[made.size() - 1 - i];
  vergleich = refvergleich;
  austausch = reftausch;
  heapsort(p->nrefl);
}

}  // namespace ktest
