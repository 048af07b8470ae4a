// Structure set-up of a phase: parameter statements, cell, symmetrised
// anisotropy and texture, sites, names, special positions, occupancies,
// displacements, density and attenuation.
#include "crystal/setup.hpp"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "crystal/aniso.hpp"
#include "crystal/cell.hpp"
#include "crystal/goal.hpp"
#include "crystal/records.hpp"
#include "crystal/texturetab.hpp"

namespace crystal {
using namespace core;

namespace {

constexpr const char* kModule = "obj/tamrel";
constexpr double kAvogadro = 6.02252e23;
constexpr double kSamePlace = 2.220446049250313e-14;
constexpr const char* kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// A failure of the set-up with its message printed: the error stack is
// cleared and the caller's error frame reached.
[[noreturn]] void setuperror() {
  std::fflush(stdout);
  ClearErr();
  dataerr_jmp();
  internal_error("no error frame", kModule, __LINE__);
}

void setnames(const ParamRecord* params, int n) {
  for (int i = 0; i < n; ++i)
    if (params[i].name != nullptr) SetVar(params[i].name, params[i].value);
}

// Longest name and text that alreadyset compares.
constexpr size_t kHeldText = 255;

bool alnum(char ch) { return std::isalnum(static_cast<unsigned char>(ch)) != 0; }

// A statement "name=text" (a plain name, a text that is stored as it stands)
// whose variable the scope on top holds with that very text: executing it
// would change nothing. An atom's scope keeps its entries from one set-up to
// the next, so its statements need not store and parse the same texts again
// at every evaluation of the model.
bool alreadyset(const char* statement) {
  if (std::isalpha(static_cast<unsigned char>(statement[0])) == 0) return false;
  size_t n = 0;
  while (alnum(statement[n])) ++n;
  if (statement[n] != '=' || n > kHeldText) return false;
  const char* right = statement + n + 1;
  const size_t length = std::strlen(right);
  if (length == 0 || right[0] == '=' || length > kHeldText) return false;
  char name[kHeldText + 1], held[kHeldText + 1];
  std::memcpy(name, statement, n);
  name[n] = 0;
  const int mode = getrekart();
  setrekart(0);
  const bool found = dataerr_try([&] { GetStrVar(name, kHeldText, held); });
  setrekart(mode);
  return found && std::strcmp(held, right) == 0;
}

void statements(const ParamRecord* params, int n) {
  for (int i = 0; i < n; ++i)
    if (params[i].statement != nullptr && !params[i].skip && !params[i].goaldef &&
        !alreadyset(params[i].statement))
      evaluateergibt(params[i].statement);
}

int componentcount(const PhaseRecord* ph) { return ph->FMult > 0 ? ph->FMult : ph->RefMult; }

const double* rotation(const PhaseRecord* ph, int r) {
  return ph->operators + 13 * static_cast<size_t>(r) + 3;
}

// Length of the run of letters that begins the text.
size_t letters(const char* text) {
  size_t n = 0;
  while (std::isalpha(static_cast<unsigned char>(text[n]))) ++n;
  return n;
}

bool exists(const char* key) {
  return dataerr_try([&] { GetStrVar(key, 1 << 30, nullptr); });
}

// ---------------------------------------------------------------------------
// Names

// The names and labels of the atoms of a phase set up before the current
// one, so that a new atom finds a free name and label without comparing
// with every atom before it. For each stem of letters, every number below
// the one noted is taken: the names only grow, so the first free number
// never lies below it.
struct NameIndex {
  std::unordered_set<std::string> names, labels;
  std::unordered_map<std::string, int> firstfree;

  void add(const AtomRecord* at) {
    names.insert(at->atomname);
    for (int e = 0; e < at->nelements; ++e) labels.insert(at->elements[e].label);
  }
};

// The atom's name: AtomName of its own scope, else the name a coordinate
// function left, else the element's letters with the first number no atom
// before it has taken.
void nameatom(AtomRecord* at, NameIndex& index) {
  char name[31] = "";
  const int mode = getrekart();
  setrekart(0);
  const bool given = dataerr_try([&] { GetStrVar("AtomName", 30, name); });
  setrekart(mode);
  if (given) {
    std::memcpy(at->atomname, name, sizeof name);
    return;
  }
  if (atom_name_default[0] != 0) {
    std::snprintf(at->atomname, sizeof at->atomname, "%s", atom_name_default);
    return;
  }
  const char* element = at->nelements > 0 ? at->elements[0].name : "";
  char stem[24];
  std::snprintf(stem, sizeof stem, "%.20s", std::string(element, letters(element)).c_str());
  int& number = index.firstfree[stem];
  if (number < 1) number = 1;
  for (;; ++number) {
    char candidate[sizeof at->atomname];
    std::snprintf(candidate, sizeof candidate, "%s%d", stem, number);
    if (index.names.count(candidate) == 0) {
      std::memcpy(at->atomname, candidate, sizeof candidate);
      return;
    }
  }
}

// Element labels of the exports: the element's letters and the atom name's
// part behind its letters, made unique within the phase by one letter (two
// once all 52 are taken).
void labelelements(AtomRecord* at, const NameIndex& index) {
  const char* suffix = at->atomname + letters(at->atomname);
  for (int e = 0; e < at->nelements; ++e) {
    ElementRecord& el = at->elements[e];
    const std::string base = std::string(el.name, letters(el.name)) + suffix;
    auto taken = [&](const std::string& label) {
      if (index.labels.count(label) != 0) return true;
      for (int k = 0; k < e; ++k)
        if (label == at->elements[k].label) return true;
      return false;
    };
    std::string label = base;
    for (size_t i = 0; taken(label); ++i) {
      const size_t n = std::strlen(kLetters);
      label = i < n ? base + kLetters[i] : base + kLetters[(i - n) / n % n] + kLetters[(i - n) % n];
    }
    std::snprintf(el.label, sizeof el.label, "%s", label.c_str());
  }
}

// ---------------------------------------------------------------------------
// Sites

void placesites(const PhaseRecord* ph, AtomRecord* at, const double r[3]) {
  const WyckoffRecord* w = at->wyckoff;
  for (int k = 0; k < w->count; ++k) {
    double v[3];
    for (int i = 0; i < 3; ++i) {
      const SymComponent& c = w->op[k].comp[i];
      v[i] = c.constant + c.coef[0] * r[0] + c.coef[1] * r[1] + c.coef[2] * r[2];
    }
    SiteRecord& s = at->sites[k];
    for (int t = 0; t < ph->ncentring; ++t) {
      s.x[t] = v[0] + ph->centring[t][0];
      s.y[t] = v[1] + ph->centring[t][1];
      s.z[t] = v[2] + ph->centring[t][2];
    }
  }
}

double mod1(double x) { return x - std::floor(x + 0.5); }

// Every general operator maps the reference site onto one site of the
// position, each site met by the same number of operators, whose numbers it
// keeps.
void specialposition(PhaseRecord* ph, AtomRecord* at) {
  const WyckoffRecord* general = ph->group->general;
  const WyckoffRecord* w = at->wyckoff;
  const int ng = general->count, np = w->count;
  if (ng % np != 0) {
    message<-215>();
    at->scope = pushDATAlist();
    setuperror();
  }
  const SiteRecord& s0 = at->sites[0];
  const double ref[3] = {s0.x[0], s0.y[0], s0.z[0]};
  std::vector<std::vector<int32_t>> met(static_cast<size_t>(np));
  for (int r = 0; r < ng; ++r) {
    double* image = ph->operators + 13 * static_cast<size_t>(r);
    for (int i = 0; i < 3; ++i) {
      const SymComponent& c = general->op[r].comp[i];
      // The cell set-up gave the phase its operators before any atom is placed.
      // NOLINTNEXTLINE(clang-analyzer-core.NullDereference)
      image[i] = c.constant + c.coef[0] * ref[0] + c.coef[1] * ref[1] + c.coef[2] * ref[2];
    }
    bool found = false;
    for (int j = 0; j < np && !found; ++j)
      for (int t = 0; t < ph->ncentring && !found; ++t) {
        const SiteRecord& s = at->sites[j];
        found = std::fabs(mod1(image[0] - s.x[t])) < kSamePlace &&
                std::fabs(mod1(image[1] - s.y[t])) < kSamePlace &&
                std::fabs(mod1(image[2] - s.z[t])) < kSamePlace;
        if (found) met[static_cast<size_t>(j)].push_back(r);
      }
  }
  const size_t expected = static_cast<size_t>(ng / np);
  for (int j = 0; j < np; ++j)
    if (met[static_cast<size_t>(j)].size() != expected) {
      message<-216>(j + 1, static_cast<int>(met[static_cast<size_t>(j)].size()));
      at->scope = pushDATAlist();
      setuperror();
    }
  for (int j = 0; j < np; ++j) {
    std::free(at->sites[j].ops);
    at->sites[j].ops = kcalloc<int32_t>(expected);
    std::memcpy(at->sites[j].ops, met[static_cast<size_t>(j)].data(), sizeof(int32_t) * expected);
  }
}

// ---------------------------------------------------------------------------
// Occupancies, weights, density

void occupancies(AtomRecord* at) {
  double given = 0;
  int rest = 0;
  for (int e = 0; e < at->nelements; ++e) {
    ElementRecord& el = at->elements[e];
    if (el.occformula != nullptr) {
      el.occupancy = Wert(el.occformula);
      given += el.occupancy;
    } else {
      ++rest;
    }
  }
  at->occsum = at->masssum = at->attsum = 0;
  for (int e = 0; e < at->nelements; ++e) {
    ElementRecord& el = at->elements[e];
    if (el.occformula == nullptr) el.occupancy = (1 - given) / rest;
    el.penalty = el.occupancy < 0 ? el.occupancy * 10000 : 0.0;
    at->occsum += el.occupancy;
    at->masssum += el.occupancy * el.scat[SD_MASS];
    at->attsum += el.occupancy * el.scat[SD_MASS] * el.scat[SD_MU];
  }
  at->overfill = at->occsum > 1 ? (at->occsum - 1) * 10000 : 0.0;
}

void density(PhaseRecord* ph, AtomRecord* at) {
  const double cellmols = std::sqrt(ph->volume2) * kAvogadro;
  const double sites = static_cast<double>(ph->ncentring) * at->wyckoff->count;
  for (int i = 0; i < componentcount(ph); ++i) {
    double v = 1;
    if (at->weightformulas != nullptr)
      v = at->weightformulas[i] != nullptr ? Wert(at->weightformulas[i]) : 0.0;
    if (at->weights != nullptr) at->weights[i] = v;
    ph->densities[i] += v * sites * at->masssum * 1e21 / cellmols;
    ph->mys[i] += v * sites * at->attsum * 1e17 / cellmols;
  }
}

// The phase value of density or my: the key when it can be read, else the
// components' sum (one component without output components), which the key
// then gets.
double phasevalue(const PhaseRecord* ph, const char* key, const double* values) {
  double v = 0;
  // The key is missing at most set-ups: read without the store's jump.
  if (TryGetVar(key, &v)) return v;
  v = values[0];
  if (ph->FMult != 0) {
    v = 0;
    for (int i = 0; i < ph->FMult; ++i) v += values[i];
  }
  SetVar(key, v);
  return v;
}

// ---------------------------------------------------------------------------
// Displacements

double tdsvalue(const PhaseRecord* ph) {
  const int mode = getrekart();
  setrekart(0);
  const double B = GetVar("TDS");
  setrekart(mode);
  return ph->unit == UNIT_ANGSTROEM ? 0.01 * B : B;
}

// The displacement tensor of every site: the mean of R d R^T over the
// operators that map the reference site there.
void anisotropicsites(const PhaseRecord* ph, AtomRecord* at) {
  anisoinit(at->anisoparam, false);
  const int ng = ph->group->general->count, np = at->wyckoff->count;
  const int per = ng / np;
  for (int j = 0; j < np; ++j) {
    const SiteRecord& s = at->sites[j];
    double sum[9] = {0}, image[9];
    for (int k = 0; k < per; ++k) {
      const int r = s.ops != nullptr ? s.ops[k] : j;
      transformtensor(rotation(ph, r), d, image);
      if (j == 0 && k == 0) tensorcomponents(image, at->firstimage);
      for (int i = 0; i < 9; ++i) sum[i] += image[i];
    }
    for (int i = 0; i < 9; ++i) sum[i] *= static_cast<double>(np) / ng;
    tensorcomponents(sum, at->sites[j].b);
  }
  if (!at->wyckoff->general)
    for (int i = 0; i < 6; ++i) at->sitepenalty[i] = (at->sites[0].b[i] - at->firstimage[i]) * 30;
}

void displacement(PhaseRecord* ph, AtomRecord* at) {
  switch (at->tdskind) {
    case TDS_NONE: {
      const int mode = getrekart();
      setrekart(0);
      const bool has = exists("TDS");
      setrekart(mode);
      if (!has) return;
      double B = 0;
      if (dataerr_try([&] { B = tdsvalue(ph); })) {
        at->B = B;
        at->tdskind = TDS_ONCE;
      } else {
        setrekart(mode);
        ClearErr();
        at->tdskind = TDS_PERREFLECTION;
      }
      return;
    }
    case TDS_ISO:
    case TDS_PERREFLECTION:
      return;
    case TDS_ANISO:
      if (durchlauf >= 2) anisotropicsites(ph, at);
      return;
    case TDS_ONCE:
      at->B = tdsvalue(ph);
      return;
    default:
      internal_error("xyztdsaniso", kModule, 4016);
  }
}

// ---------------------------------------------------------------------------
// One atom

// names: the names and labels of the atoms before this one, when this
// set-up names atoms.
void atomsetup(PhaseRecord* ph, AtomRecord* at, NameIndex* names) {
  const bool first = at->namepending != 0;
  const int workers = nthreads > 0 ? nthreads : 1;
  if (at->scope == nullptr) {
    for (int i = 0; i < workers; ++i) {
      newDATAlist();
      at->threadscope[i] = pushDATAlist();
    }
    newDATAlist();
    at->scope = pushDATAlist();
  }
  // The workers read their copies only for a displacement factor that
  // depends on the reflection; an atom whose kind of displacement factor is
  // settled otherwise (it never becomes that kind) leaves them as they are,
  // which spares the main thread a set-up per worker at every evaluation.
  const bool copies = at->tdskind == TDS_NONE || at->tdskind == TDS_PERREFLECTION;
  for (int i = 0; i < workers && copies; ++i) {
    popDATAlist(at->threadscope[i]);
    setnames(at->params, at->nparams);
    atom_name_default[0] = 0;
    statements(at->params, at->nparams);
    at->threadscope[i] = pushDATAlist();
  }
  popDATAlist(at->scope);
  setnames(at->params, at->nparams);
  atom_name_default[0] = 0;
  statements(at->params, at->nparams);

  const WyckoffRecord* w = at->wyckoff;
  const double r[3] = {w->xfree ? Wert("x") : 0.0, w->yfree ? Wert("y") : 0.0,
                       w->zfree ? Wert("z") : 0.0};
  placesites(ph, at, r);
  if (first) {
    nameatom(at, *names);
    labelelements(at, *names);
    if (!w->general) specialposition(ph, at);
  }
  if (ph->anisosetup && durchlauf >= 2 && at->tdskind == TDS_ANISO && !w->general)
    for (int i = 0; i < 6; ++i) strafinit(&at->sitepenalty[i], 0);
  occupancies(at);
  density(ph, at);
  displacement(ph, at);
  at->scope = pushDATAlist();
  at->namepending = 0;
}

}  // namespace

void xyzinit() {
  PhaseRecord* ph = phasei;
  zaehlbau();
  registerstructurefunctions();

  ph->metricready = 0;
  for (int i = 0; i < ph->nparams; ++i) {
    const ParamRecord& p = ph->params[i];
    if (p.name != nullptr) SetVar(p.name, p.value);
    if (p.statement != nullptr && !p.skip && !p.goaldef) evaluateergibt(p.statement);
  }
  getmass();

  const WyckoffRecord* general = ph->group->general;
  if (ph->operators != nullptr && ph->operatorspending) {
    for (int r = 0; r < general->count; ++r)
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
          ph->operators[13 * r + 3 + 3 * i + j] = general->op[r].comp[i].coef[j];
    ph->operatorspending = 0;
  }
  const int n = componentcount(ph);
  for (int i = 0; i < n; ++i) ph->densities[i] = ph->mys[i] = 0.0;

  if (durchlauf >= 2) anisosymmetrie(ph);
  if (durchlauf >= 1) textursymmetrie(ph);

  // The first set-up of an atom names it: the names of the atoms before it
  // are then kept in an index.
  bool naming = false;
  for (const AtomRecord* at = ph->atoms; at != nullptr && !naming; at = at->next)
    naming = at->namepending != 0;
  NameIndex names;
  for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next) {
    try {
      atomsetup(ph, at, &names);
      if (naming) names.add(at);
    } catch (const DataJump&) {
      message<261>(at->number);
      std::fflush(stdout);
      throw;
    }
  }

  for (int i = 1; i <= n; ++i) {
    SetIndexVar("density", 1, &i, ph->densities[i - 1]);
    SetIndexVar("my", 1, &i, ph->mys[i - 1]);
  }
  ph->density = phasevalue(ph, "density", ph->densities);
  ph->my = phasevalue(ph, "my", ph->mys);

  removestructurefunctions();
  if (durchlauf >= 1) ph->texturesetup = 0;
  if (durchlauf >= 2) ph->anisosetup = 0;
}

}  // namespace crystal
