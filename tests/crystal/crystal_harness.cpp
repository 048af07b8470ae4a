// Phases and atoms for the model's tests, built from structure-file items as
// the refinement driver builds them.
#include "crystal_harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "core/data.hpp"
#include "core/velmora.hpp"

namespace ktest {

using namespace core;
using namespace crystal;

namespace {

// LeBail= values of each phase, applied after every atom as the driver applies
// them after the atom section.
std::map<PhaseRecord*, std::vector<int>> lebailvalues;

bool startswith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

char* owned(const std::string& s) { return strdup(s.c_str()); }

void store(ParamRecord** array, int32_t* count, const std::string& item, bool keyword) {
  ParamRecord* p = addparam(array, count);
  p->statement = owned(item);
  p->skip = keyword ? 1 : 0;
}

int latticekind(const std::string& name) {
  static const char* const names[] = {"Triclinic", "Monoclinic", "Orthorhombic", "Trigonal",
                                      "Hexagonal", "Tetragonal", "Rhombohedral", "Cubic"};
  for (int i = 0; i < 8; ++i)
    if (name == names[i]) return i + 1;
  ADD_FAILURE() << "unknown lattice " << name;
  return 0;
}

// Applies one header keyword; false for a statement.
bool headerkeyword(PhaseRecord* phase, const std::string& item) {
  static const char* const selectors[SEL_COUNT] = {
      "BASIS=",   "UniqueAxis=",   "HermannMauguin=", "Setting=",
      "Lattice=", "SpacegroupNo=", "OriginChoice=",   "CellChoice="};
  auto value = [&](const char* key) { return item.substr(std::strlen(key)); };
  if (startswith(item, "RP=")) {
    phase->RP = static_cast<int>(Wert(value("RP=").c_str()));
  } else if (startswith(item, "RefMult=")) {
    phase->RefMult = std::max(1, static_cast<int>(Wert(value("RefMult=").c_str())));
  } else if (startswith(item, "FMult=")) {
    phase->FMult = std::max(0, static_cast<int>(Wert(value("FMult=").c_str())));
  } else if (startswith(item, "BondLevel=")) {
    phase->bondlevel = static_cast<int>(Wert(value("BondLevel=").c_str()));
  } else if (startswith(item, "Theory=")) {
    phase->theory = Wert(value("Theory=").c_str());
  } else if (startswith(item, "UNIT=")) {
    std::string u = value("UNIT=");
    EXPECT_TRUE(u == "NM" || u == "ANGSTROEM") << item;
    phase->unit = u == "ANGSTROEM" ? UNIT_ANGSTROEM : UNIT_NM;
  } else if (startswith(item, "PHASE=")) {
    std::free(phase->name);
    phase->name = owned(value("PHASE="));
  } else if (startswith(item, "Pack=")) {
    phase->pack = std::strchr("JjYy", value("Pack=")[0]) != nullptr && !value("Pack=").empty();
  } else if (startswith(item, "LeBail=")) {
    lebailvalues[phase].push_back(
        static_cast<int>(std::floor(Wert(value("LeBail=").c_str()) + 0.5)));
  } else if (startswith(item, "Bondings=")) {
    phase->bondings = static_cast<char**>(
        std::realloc(phase->bondings, sizeof(char*) * static_cast<size_t>(phase->nbondings + 1)));
    phase->bondings[phase->nbondings++] = owned(value("Bondings="));
  } else if (startswith(item, "GeneralCondition=")) {
    std::free(phase->condition);
    phase->condition = owned(value("GeneralCondition="));
  } else if (startswith(item, "GEWICHT=SPHAR")) {
    int order = std::atoi(item.c_str() + std::strlen("GEWICHT=SPHAR"));
    phase->texture = TEXTURE_SPHAR0 + order / 2;
    phase->texturesetup = order > 0;
  } else if (startswith(item, "LIMIT") && item.find('=') != std::string::npos) {
    int order = std::atoi(item.c_str() + 5);
    SpharView v = spharview(phase, order);
    if (v.order == 0) return false;
    *v.limit = Wert(item.substr(item.find('=') + 1).c_str());
    *v.limitgiven = 1;
  } else {
    for (int k = 0; k < SEL_COUNT; ++k) {
      if (!startswith(item, selectors[k])) continue;
      std::string v = value(selectors[k]);
      EXPECT_LE(v.size(), 31u) << item;
      std::strncpy(phase->selector[k], v.c_str(), 31);
      if (k == SEL_LATTICE) phase->lattice = v.empty() ? 0 : latticekind(v);
      return true;
    }
    return false;
  }
  return true;
}

void applylebail(PhaseRecord* phase) {
  for (int n : lebailvalues[phase])
    if (n >= 1 && n <= phase->RefMult) phase->lebail[n - 1] = 1;
}

// Splits at commas outside brackets.
std::vector<std::string> splitlist(const std::string& s) {
  std::vector<std::string> out;
  std::string cur;
  int depth = 0;
  for (char c : s) {
    if (c == '(' || c == '[') ++depth;
    if (c == ')' || c == ']') --depth;
    if (c == ',' && depth == 0) {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  out.push_back(cur);
  return out;
}

}  // namespace

PhaseRecord* make_phase(const std::vector<std::string>& header) {
  int number = 1;
  for (PhaseRecord* p = phase1; p != nullptr; p = p->next) ++number;
  PhaseRecord* phase = newphase(number, goalzahl);
  goalzahl += 6;
  phase->name = owned("phase" + std::to_string(number));
  for (const std::string& item : header) {
    bool keyword = headerkeyword(phase, item);
    store(&phase->params, &phase->nparams, item, keyword);
  }
  phasekinds(phase);
  applylebail(phase);
  appendphase(phase);
  return phase;
}

AtomRecord* make_atom(PhaseRecord* phase, const std::string& eitem,
                      const std::vector<std::string>& items, bool scat) {
  int number = 1;
  for (AtomRecord* p = phase->atoms; p != nullptr; p = p->next) ++number;
  AtomRecord* atom = newatom(phase, number, 0.0);
  int kinds = phase->FMult > 0 ? phase->FMult : phase->RefMult;
  atom->weights = static_cast<double*>(std::calloc(static_cast<size_t>(kinds), sizeof(double)));

  std::string list;
  if (startswith(eitem, "E(")) {
    size_t close = eitem.find(")=");
    EXPECT_NE(close, std::string::npos) << eitem;
    std::vector<std::string> sets = splitlist(eitem.substr(2, close - 2));
    EXPECT_LE(static_cast<int>(sets.size()), kinds) << eitem;
    atom->weightformulas =
        static_cast<char**>(std::calloc(static_cast<size_t>(kinds), sizeof(char*)));
    for (size_t j = 0; j < sets.size() && static_cast<int>(j) < kinds; ++j) {
      if (sets[j].empty()) continue;
      atom->weightformulas[j] = owned(sets[j]);
      if (phase->FMult == 0) phase->lebail[j] = 0;
    }
    list = eitem.substr(close + 2);
  } else {
    EXPECT_TRUE(startswith(eitem, "E=")) << eitem;
    list = eitem.substr(2);
    if (phase->FMult == 0)
      for (int j = 0; j < phase->RefMult; ++j) phase->lebail[j] = 0;
  }
  if (list.size() >= 2 && list.front() == '(' && list.back() == ')')
    list = list.substr(1, list.size() - 2);

  std::vector<std::string> entries = splitlist(list);
  newelements(atom, static_cast<int>(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    ElementRecord& el = atom->elements[i];
    std::string name = entries[i];
    size_t open = name.find('(');
    if (open != std::string::npos) {
      EXPECT_EQ(name.back(), ')') << eitem;
      el.occformula = owned(name.substr(open + 1, name.size() - open - 2));
      name = name.substr(0, open);
    }
    EXPECT_LE(name.size(), 7u) << eitem;
    std::strncpy(el.name, name.c_str(), 7);
    if (scat) {
      EXPECT_EQ(afaparm(el.name, el.scat), 1) << el.name;
    }
  }
  store(&atom->params, &atom->nparams, eitem, true);

  for (const std::string& item : items) {
    bool keyword = false;
    if (startswith(item, "Wyckoff=")) {
      std::string v = item.substr(8);
      EXPECT_LE(v.size(), 99u) << item;
      std::strncpy(atom->wyckoffname, v.c_str(), 99);
      keyword = true;
    } else if (startswith(item, "TDS=ANISO")) {
      atom->tdskind = TDS_ANISO;
      if (startswith(item, "TDS=ANISO^")) atom->limittext = owned(item.substr(10));
      phase->anisosetup = 1;
      keyword = true;
    }
    store(&atom->params, &atom->nparams, item, keyword);
  }
  applylebail(phase);
  return atom;
}

AnisotropyRecord* make_aniso(PhaseRecord* phase, const std::string& name, uint32_t kind,
                             const std::vector<double>& params, double s, double value) {
  auto* o = static_cast<AnisotropyRecord*>(std::calloc(1, sizeof(AnisotropyRecord)));
  o->name = owned(name);
  o->kind = kind;
  EXPECT_LE(params.size(), 21u) << name;
  for (size_t i = 0; i < params.size() && i < 21; ++i) o->param[i] = params[i];
  o->s = s;
  o->value = value;
  o->next = phase->aniso;
  phase->aniso = o;
  return o;
}

void in_child(const std::function<void()>& body) {
  RunResult r = run_in_child([&] {
    body();
    std::fflush(stdout);
    std::_Exit(testing::Test::HasFailure() ? 1 : 0);
  });
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

namespace {
std::vector<std::string> withcatalogue(std::vector<std::string> files) {
  if (!files.empty() && std::find(files.begin(), files.end(), "err.msg") == files.end())
    files.push_back("err.msg");
  return files;
}
}  // namespace

CrystalInstall::CrystalInstall(const std::vector<std::string>& files)
    : inst_(withcatalogue(files)) {
  std::strncpy(kalvo, inst_.path().c_str(), sizeof kalvo - 1);
  nodesfree();
  freeordanix();
}

CrystalInstall::~CrystalInstall() {
  clearafa();
  freeordanix();
}

void CrystalInstall::write(const std::string& name, const std::string& content) {
  write_file(inst_.file(name), content);
  if (name == "ordanix.dat") freeordanix();
}

CopperInstall::CopperInstall() : CrystalInstall(std::vector<std::string>{}) {
  setxray(true);
  afainit("Cu");
}

HklTable::HklTable(int prime) {
  hklprime = prime;
  hkltable = core::kcalloc<HklNode*>(static_cast<size_t>(hklprime));
}

HklTable::~HklTable() {
  for (int b = 0; b < hklprime; ++b)
    while (hkltable[b] != nullptr) {
      HklNode* n = hkltable[b];
      hkltable[b] = n->next;
      std::free(n);
    }
  std::free(hkltable);
  hkltable = nullptr;
}

RunScope::RunScope() {
  newDATAlist();
  setrekart(2);
}

RunScope::~RunScope() {
  DelAll();
  freeDATAlist();
}

void free_phases() {
  freephases();
  lebailvalues.clear();
  goalzahl = 0;
}

}  // namespace ktest
