// Goals and penalties of a phase: goal definitions and formulas, definition
// lines, and the penalty-row list.
#include "crystal/goal.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/data.hpp"
#include "core/message.hpp"
#include "core/velmora.hpp"
#include "crystal/aniso.hpp"
#include "crystal/ks.hpp"
#include "crystal/vector.hpp"

namespace core {}
namespace crystal {
using namespace core;

namespace {

// Position of the first character of chars at bracket depth 0, or -1.
int toplevel(const char* text, const char* chars) {
  int depth = 0;
  for (int i = 0; text[i] != 0; ++i) {
    const char c = text[i];
    if (c == '(' || c == '[') ++depth;
    if (c == ')' || c == ']') --depth;
    if (depth == 0 && std::strchr(chars, c) != nullptr) return i;
  }
  return -1;
}

}  // namespace

void strafinit(double* value, int32_t kind) {
  auto* row = kcalloc<PenaltyRow>(1);
  row->value = value;
  row->kind = kind;
  row->next = straferst;
  straferst = row;
  ++istraf;
}

void goalergibt(const char* text) {
  const int pos = toplevel(text, "=");
  if (pos < 0) {
    Wert(text);
    return;
  }
  if (pos == 0) {
    message<-217>(text);
    std::fflush(stdout);
    ClearErr();
    dataerr_jmp();
    return;
  }
  const std::string lhs(text, static_cast<size_t>(pos));
  const char* rhs = text + pos;
  while (*rhs == '=') ++rhs;
  SetVar(lhs.c_str(), Wert(rhs));
}

void evaluateergibt(const char* text) {
  bool ok;
  if (toplevel(text, "=:") >= 0) {
    int done = 0;
    ok = dataerr_try([&] { done = ergibt(text); }) && done != 0;
  } else {
    ok = dataerr_try([&] { Wert(text); });
  }
  if (ok) return;
  message<-208>(text);
  std::fflush(stdout);
  dataerr_jmp();
}

double goaldummystraf(const char* /*name*/, const char* const* /*args*/, int /*nargs*/) {
  return 1.0;
}

namespace {

// The structure functions besides the coordinate and vector ones.
const FormulaFunction structurefunctions[] = {
    {"PHASE", 1, ifphase}, {"WW", -5, ww}, {"WWalt", -6, ww}, {"Straf", 1, straf}};

// The direction functions that goals may call.
const FormulaFunction directionfunctions[] = {{"sk", 3, sk},
                                              {"B1", 3, b1},
                                              {"k2", 3, k2},
                                              {"TDS", 3, globaltds},
                                              {"ANISO", 4, aniso},
                                              {"GEWICHT", 3, hklgewicht},
                                              {"GrainSize", 3, graindiameter}};

void enter(const FormulaFunction* table, int n) {
  for (int i = 0; i < n; ++i) SetUserFkt(table[i].name, table[i].count, table[i].function);
}

void remove(const FormulaFunction* table, int n) {
  for (int i = 0; i < n; ++i) DelFkt(table[i].name, table[i].count);
}

template <size_t N>
constexpr int count(const FormulaFunction (&)[N]) {
  return static_cast<int>(N);
}

// The anisotropy object GEWICHT of the phase: the earliest defined.
AnisotropyRecord* gewichtobject(PhaseRecord* ph) {
  AnisotropyRecord* found = nullptr;
  for (AnisotropyRecord* o = ph->aniso; o != nullptr; o = o->next)
    if (o->name != nullptr && std::strcmp(o->name, "GEWICHT") == 0) found = o;
  return found;
}

// The state of one goal evaluation: the phase, its GEWICHT object and whether
// GEWICHT is known.
struct Goals {
  PhaseRecord* ph;
  AnisotropyRecord* object;
  bool known;

  void setgewicht() const {
    if (known) SetVar("GEWICHT", ph->GEWICHT);
  }

  // Runs an evaluation; when it fails for want of GEWICHT, computes that once
  // and tries again. False when it failed (its records are dropped).
  template <class F>
  bool attempt(F&& body) {
    if (dataerr_try(body)) return true;
    if ((ph->texture < TEXTURE_SPHAR2 && object == nullptr) || known) {
      ClearErr();
      return false;
    }
    known = true;
    const bool elsewhere =
        localphase != nullptr && lastphase != nullptr && ph != localphase && ph != lastphase;
    if (!elsewhere) ph->GEWICHT = gewicht(object);
    SetVar("GEWICHT", ph->GEWICHT);
    if (dataerr_try(body)) return true;
    ClearErr();
    return false;
  }

  // A record's goal definition (when wanted), then its goal and second
  // formula; a record that failed once keeps the goal value 0.
  void record(ParamRecord& p, bool definition) {
    if (p.failed) {
      if (p.goal != nullptr) goalwert[p.goalindex] = 0.0;
      return;
    }
    if (definition && !attempt([&] { goalergibt(p.statement); })) {
      p.failed = 1;
      if (p.goal != nullptr) goalwert[p.goalindex] = 0.0;
      return;
    }
    if (p.goal == nullptr) return;
    double v = 0;
    if (!attempt([&] { v = Wert(p.goal); })) {
      p.failed = 1;
      goalwert[p.goalindex] = 0.0;
      return;
    }
    goalwert[p.goalindex] = v;
    if (p.second != nullptr) p.secondvalue = Wert(p.second);
  }

  void atom(AtomRecord* at) {
    pa = at;
    newDATAlist();
    const bool ownTDS =
        at->tdskind == TDS_ANISO || at->tdskind == TDS_ONCE || at->tdskind == TDS_PERREFLECTION;
    if (ownTDS) SetUserFkt("TDS", 3, tds);
    SetUserFkt(setindexfunction.name, setindexfunction.count, setindexfunction.function);
    atom_name_default[0] = 0;
    for (int i = 0; i < at->nparams; ++i) {
      ParamRecord& p = at->params[i];
      setgewicht();
      if (p.name != nullptr) SetVar(p.name, p.value);
      const bool statement = p.statement != nullptr && !p.skip;
      if (statement && !p.goaldef) {
        evaluateergibt(p.statement);
        record(p, false);
      } else {
        record(p, statement);
      }
    }
    DelFkt("TDS", 3);
    DelFkt(setindexfunction.name, setindexfunction.count);
    at->goalscope = pushDATAlist();
  }
};

}  // namespace

void registerstructurefunctions() {
  enter(structurefunctions, count(structurefunctions));
  enter(vectorfunctions, nvectorfunctions);
}

void removestructurefunctions() {
  remove(structurefunctions, count(structurefunctions));
  remove(vectorfunctions, nvectorfunctions);
}

void goal() {
  PhaseRecord* ph = phasei;
  registerstructurefunctions();
  enter(directionfunctions, count(directionfunctions));
  SetUserFkt("Straf", 1, goaldummystraf);

  Goals g{ph, gewichtobject(ph), false};
  if (ph->texture <= TEXTURE_SPHAR0) {
    if (g.object != nullptr && g.object->kind == ANISO_CONSTANT) {
      ph->GEWICHT = g.object->value;
      g.known = true;
    } else if (ph->texture == TEXTURE_SPHAR0 && g.object == nullptr && ph->gewichtstatus == 1) {
      g.known = true;
    }
  } else {
    SetStrVar("GEWICHT", "");
  }

  for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next) {
    try {
      g.atom(at);
    } catch (const DataJump&) {
      message<261>(at->number);
      std::fflush(stdout);
      throw;
    }
  }
  for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next) {
    if (at->goalscope == nullptr) continue;
    popDATAlist(at->goalscope);
    at->goalscope = nullptr;
    freeDATAlist();
  }
  for (int i = 0; i < ph->nparams; ++i) {
    ParamRecord& p = ph->params[i];
    g.setgewicht();
    g.record(p, p.statement != nullptr && !p.skip && p.goaldef);
  }
  const double cell[6] = {ph->a, ph->b, ph->c, ph->alpha, ph->beta, ph->gamma};
  for (int i = 0; i < 6; ++i) goalwert[ph->goalindex + i] = cell[i];

  remove(directionfunctions, count(directionfunctions));
  removestructurefunctions();
  DelFkt("Straf", 1);
}

}  // namespace crystal
