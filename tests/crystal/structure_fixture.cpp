// Structures set up for the tests of the reflection lists, structure factors
// and coordinate functions.
#include "structure_fixture.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "core/data.hpp"
#include "core/velmora.hpp"

namespace ktest {

using namespace core;
using namespace crystal;

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

}  // namespace ktest
