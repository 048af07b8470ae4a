// The grammar of structure-file items: the header keywords of a phase with
// the anisotropy objects and texture kinds they declare, the keywords of an
// atom, the element and set lists of an atom's "E" item, and the GOAL and
// PARAM grammar that the control file's GOAL[k] and PARAM[k] share.
//
// Keyword values are formulas evaluated at once against the store as it
// stands at set-up (configuration, control file, command line); everything
// else of a structure file is executed later, when the crystal model sets
// the phase up.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/velmora.hpp"
#include "crystal/afa.hpp"
#include "tamrel.hpp"

namespace tamrel {

using namespace core;
using namespace crystal;

namespace {

// The rest of item behind prefix, or null when item does not begin with it.
const char* after(const char* item, const char* prefix) {
  size_t n = std::strlen(prefix);
  return std::strncmp(item, prefix, n) == 0 ? item + n : nullptr;
}

// Toward zero, held inside the range of int.
int trunc32(double x) {
  if (!(x > INT_MIN)) return std::isnan(x) ? 0 : INT_MIN;
  if (!(x < INT_MAX)) return INT_MAX;
  return static_cast<int>(x);
}

// floor(x + 0.5), held inside the range of int.
int round32(double x) { return trunc32(std::floor(x + 0.5)); }

char* owned(const char* text) {
  char* copy = strdup(text);
  if (copy == nullptr) outofmemory();
  return copy;
}

// One token of a text cut at delimiters outside brackets: the index of the
// delimiter in front of it (-1 for the head) and its text.
struct Token {
  int delimiter;
  std::string text;
};

// Cuts text at the delimiters that stand at bracket depth 0 ("(" and "["
// raise the depth, ")" and "]" lower it).
std::vector<Token> cut(const char* text, const std::vector<const char*>& delimiters) {
  std::vector<Token> tokens{{-1, ""}};
  int depth = 0;
  for (const char* p = text; *p != 0;) {
    if (depth == 0) {
      int found = -1;
      for (size_t d = 0; d < delimiters.size() && found < 0; ++d)
        if (std::strncmp(p, delimiters[d], std::strlen(delimiters[d])) == 0)
          found = static_cast<int>(d);
      if (found >= 0) {
        tokens.push_back({found, ""});
        p += std::strlen(delimiters[static_cast<size_t>(found)]);
        continue;
      }
    }
    if (*p == '(' || *p == '[') ++depth;
    if (*p == ')' || *p == ']') --depth;
    tokens.back().text += *p++;
  }
  return tokens;
}

// Whether every bracket of a text is closed, by a bracket of its kind, and
// none is closed that was not opened: a text that fails would be cut at the
// wrong places, its parts taken for one formula.
bool paired(const char* text) {
  std::string open;
  for (const char* p = text; *p != 0; ++p) {
    if (*p == '(' || *p == '[') {
      open += *p;
    } else if (*p == ')' || *p == ']') {
      if (open.empty() || open.back() != (*p == ')' ? '(' : '[')) return false;
      open.pop_back();
    }
  }
  return open.empty();
}

// The last token of a delimiter, or null when it does not occur.
const Token* last(const std::vector<Token>& tokens, int delimiter) {
  const Token* found = nullptr;
  for (const Token& t : tokens)
    if (t.delimiter == delimiter) found = &t;
  return found;
}

bool exists(const char* name) {
  return dataerr_try([&] { GetStrVar(name, INT_MAX, nullptr); });
}

// A new anisotropy object at the front of the phase's list, with the
// anisotropy limits in force.
void anisotropy(HeaderState& hs, uint32_t kind, const char* name, const char* limit) {
  PhaseRecord* phase = hs.phase;
  double value = limit != nullptr ? Wert(limit) : kFloatMax;
  auto* a = kcalloc<AnisotropyRecord>(1);
  a->kind = kind;
  a->name = owned(name);
  a->limit = value;
  a->anisolimit = hs.anisolimit;
  a->anisolimitgiven = hs.anisolimitgiven ? 1 : 0;
  a->aniso4limit = hs.aniso4limit;
  a->aniso4limitgiven = hs.aniso4limitgiven ? 1 : 0;
  a->next = phase->aniso;
  phase->aniso = a;
  phase->anisosetup = 1;
}

// "TDS=ANISO", "B1=ANISO", "k2=ANISO" and their "^" forms: true when the
// item declares the object of that name.
bool fixedanisotropy(HeaderState& hs, const char* item, const char* key, uint32_t kind) {
  std::string whole = std::string(key) + "=ANISO";
  if (whole == item) {
    anisotropy(hs, kind, key, nullptr);
    return true;
  }
  const char* limit = after(item, (whole + "^").c_str());
  if (limit == nullptr) return false;
  anisotropy(hs, kind, key, limit);
  return true;
}

// name=ANISOLIN, name=ANISOSQR, name=ANISO4, each optionally with "^" and
// the limit formula.
bool namedanisotropy(HeaderState& hs, const char* item) {
  int depth = 0;
  const char* eq = nullptr;
  for (const char* p = item; *p != 0 && eq == nullptr; ++p) {
    if (*p == '(' || *p == '[') ++depth;
    if (*p == ')' || *p == ']') --depth;
    if (*p == '=' && depth == 0) eq = p;
  }
  if (eq == nullptr || eq == item) return false;
  static const struct {
    const char* word;
    uint32_t kind;
  } kinds[] = {{"ANISOLIN", ANISO_LINEAR}, {"ANISOSQR", ANISO_SQUARE}, {"ANISO4", ANISO_FOURTH}};
  for (const auto& k : kinds) {
    const char* rest = after(eq + 1, k.word);
    if (rest == nullptr || (*rest != 0 && *rest != '^')) continue;
    std::string name(item, static_cast<size_t>(eq - item));
    anisotropy(hs, k.kind, name.c_str(), *rest == '^' ? rest + 1 : nullptr);
    return true;
  }
  return false;
}

// GEWICHT=SPHAR0 .. SPHAR10, ANISO2 and ANISO.
bool texture(HeaderState& hs, const char* item) {
  PhaseRecord* phase = hs.phase;
  for (int order = 0; order <= 10; order += 2) {
    if (std::string("GEWICHT=SPHAR") + std::to_string(order) != item) continue;
    phase->texture = TEXTURE_SPHAR0 + order / 2;
    phase->texturesetup = order > 0 ? 1 : 0;
    return true;
  }
  if (std::strcmp(item, "GEWICHT=ANISO2") == 0) {
    phase->texture = TEXTURE_SPHAR6;
    phase->texturesetup = 1;
    return true;
  }
  if (std::strcmp(item, "GEWICHT=ANISO") == 0) {
    anisotropy(hs, ANISO_SQUARE, "GEWICHT", nullptr);
    return true;
  }
  return false;
}

// Copies a value into a fixed field, cut to its size.
void setfield(char* field, size_t size, const char* value) {
  std::strncpy(field, value, size - 1);
  field[size - 1] = 0;
}

}  // namespace

void grammarmessage(const GrammarError& e) {
  switch (e.number) {
    case -228:
      message<-228>();
      break;
    case -229:
      message<-229>();
      break;
    case -230:
      message<-230>();
      break;
    case -231:
      message<-231>();
      break;
    case -232:
      message<-232>();
      break;
    case -233:
      message<-233>();
      break;
    case -234:
      message<-234>();
      break;
    case -235:
      message<-235>(e.argument);
      break;
    case -112:
      message<-112>(e.argument);
      break;
    default:
      internal_error("grammar message", kModule, __LINE__);
  }
}

GrammarError parsegoal(const char* text, ParamRecord* rec) {
  if (!paired(text)) return {-112, text};
  std::vector<Token> tokens = cut(text, {"=", "+-"});
  const Token* result = last(tokens, 0);
  const Token* accuracy = last(tokens, 1);
  if (tokens[0].text.empty()) return {-228, ""};
  if (result != nullptr && result->text.empty()) return {-229, ""};
  if (accuracy != nullptr && accuracy->text.empty()) return {-230, ""};
  rec->goal = owned(tokens[0].text.c_str());
  if (accuracy != nullptr) rec->second = owned(accuracy->text.c_str());
  return {};
}

GrammarError parseparam(const char* text, ParamRecord* rec) {
  if (!paired(text)) return {-112, text};
  std::vector<Token> tokens = cut(text, {"=", "_", "^"});
  const std::string& name = tokens[0].text;
  const Token* value = last(tokens, 0);
  const Token* minimum = last(tokens, 1);
  const Token* maximum = last(tokens, 2);
  if (name.empty()) return {-231, ""};
  double start = 0.0;
  if (value != nullptr) {
    if (value->text.empty()) return {-232, ""};
    start = Wert(value->text.c_str());
  }
  if (minimum != nullptr && minimum->text.empty()) return {-233, ""};
  if (maximum != nullptr && maximum->text.empty()) return {-234, ""};
  if (value == nullptr) {
    if (!exists(name.c_str())) return {-235, name};
    start = GetVar(name.c_str());
  }
  rec->name = owned(name.c_str());
  rec->value = start;
  if (minimum != nullptr) rec->mintext = owned(minimum->text.c_str());
  if (maximum != nullptr) rec->maxtext = owned(maximum->text.c_str());
  return {};
}

bool atomitem(const char* item) { return item[0] == 'E' && (item[1] == '=' || item[1] == '('); }

bool headerkeyword(HeaderState& hs, const char* item) {
  static const char* const selectors[SEL_COUNT] = {
      "BASIS=",   "UniqueAxis=",   "HermannMauguin=", "Setting=",
      "Lattice=", "SpacegroupNo=", "OriginChoice=",   "CellChoice="};
  PhaseRecord* phase = hs.phase;
  bool keyword = false;
  const char* v = nullptr;
  if ((v = after(item, "RP=")) != nullptr) {
    phase->RP = trunc32(Wert(v));
    keyword = true;
  }
  if ((v = after(item, "ANISOLIMIT=")) != nullptr) {
    hs.anisolimit = Wert(v);
    hs.anisolimitgiven = true;
    keyword = true;
  }
  if ((v = after(item, "LeBail=")) != nullptr) {
    hs.lebail.push_back(round32(Wert(v)));
    keyword = true;
  }
  if ((v = after(item, "ANISO4LIMIT=")) != nullptr) {
    hs.aniso4limit = Wert(v);
    hs.aniso4limitgiven = true;
    keyword = true;
  }
  for (int order = 2; order <= 10; order += 2) {
    if ((v = after(item, ("LIMIT" + std::to_string(order) + "=").c_str())) == nullptr) continue;
    SpharView view = spharview(phase, order);
    *view.limit = Wert(v);
    *view.limitgiven = 1;
    keyword = true;
  }
  if ((v = after(item, "BondLevel=")) != nullptr) {
    phase->bondlevel = trunc32(Wert(v));
    keyword = true;
  }
  if ((v = after(item, "RefMult=")) != nullptr) {
    phase->RefMult = std::max(1, trunc32(Wert(v)));
    keyword = true;
  }
  if ((v = after(item, "FMult=")) != nullptr) {
    phase->FMult = std::max(0, trunc32(Wert(v)));
    keyword = true;
  }
  if ((v = after(item, "Pack=")) != nullptr) {
    phase->pack = v[0] != 0 && std::strchr("JjYy", v[0]) != nullptr ? 1 : 0;
    keyword = true;
  }
  if ((v = after(item, "Theory=")) != nullptr) {
    phase->theory = Wert(v);
    keyword = true;
  }
  if ((v = after(item, "UNIT=")) != nullptr) {
    if (std::strcmp(v, "NM") == 0)
      phase->unit = UNIT_NM;
    else if (std::strcmp(v, "ANGSTROEM") == 0)
      phase->unit = UNIT_ANGSTROEM;
    else
      refuse<-127>(item);
    keyword = true;
  }
  if ((v = after(item, "Bondings=")) != nullptr) {
    auto** grown = static_cast<char**>(
        std::realloc(phase->bondings, sizeof(char*) * static_cast<size_t>(phase->nbondings + 1)));
    if (grown == nullptr) outofmemory();
    phase->bondings = grown;
    phase->bondings[phase->nbondings++] = owned(v);
    keyword = true;
  }
  if ((v = after(item, "GeneralCondition=")) != nullptr) {
    std::free(phase->usercondition);
    phase->usercondition = owned(v);
    keyword = true;
  }
  for (int k = 0; k < SEL_COUNT; ++k) {
    if ((v = after(item, selectors[k])) == nullptr) continue;
    setfield(phase->selector[k], sizeof phase->selector[k], v);
    keyword = true;
  }
  if (fixedanisotropy(hs, item, "TDS", ANISO_SQUARE)) keyword = true;
  if (fixedanisotropy(hs, item, "B1", ANISO_LINEAR)) {
    if (phase->RP <= 2) phase->RP = 3;
    keyword = true;
  }
  if (fixedanisotropy(hs, item, "k2", ANISO_SQUARE)) {
    if (phase->RP <= 3) phase->RP = 4;
    keyword = true;
  }
  if (namedanisotropy(hs, item)) keyword = true;
  if (texture(hs, item)) keyword = true;
  if ((v = after(item, "PHASE=")) != nullptr) {
    hs.name = v;
    keyword = true;
  }
  return keyword;
}

bool atomkeyword(PhaseRecord* phase, AtomRecord* atom, const char* item) {
  const char* v = nullptr;
  if ((v = after(item, "Wyckoff=")) != nullptr) {
    setfield(atom->wyckoffname, sizeof atom->wyckoffname, v);
    return true;
  }
  if ((v = after(item, "ANISOLIMIT=")) != nullptr) {
    atom->anisolimit = Wert(v);
    return true;
  }
  if ((v = after(item, "TDS=ANISO")) != nullptr) {
    atom->tdskind = TDS_ANISO;
    std::free(atom->limittext);
    atom->limittext = v[0] == '^' ? owned(v + 1) : nullptr;
    phase->anisosetup = 1;
    return true;
  }
  return false;
}

void parseatomitem(PhaseRecord* phase, AtomRecord* atom, const char* item) {
  int sets = phase->FMult > 0 ? phase->FMult : phase->RefMult;
  const char* list = item + 2;
  if (item[1] == '(') {
    // The set list up to the ")" outside further brackets.
    std::vector<std::string> entries{""};
    int depth = 0;
    const char* p = item + 2;
    for (; *p != 0; ++p) {
      if (depth == 0 && *p == ',') {
        entries.emplace_back();
        continue;
      }
      if (depth == 0 && *p == ')') break;
      if (*p == '(' || *p == '[') ++depth;
      if (*p == ')' || *p == ']') --depth;
      entries.back() += *p;
    }
    if (*p == 0) refuse<-192>(item);
    if (static_cast<int>(entries.size()) > sets) fatal<-192>(item);
    atom->weightformulas = kcalloc<char*>(static_cast<size_t>(sets));
    for (size_t j = 0; j < entries.size(); ++j) {
      if (entries[j].empty()) continue;
      atom->weightformulas[j] = owned(entries[j].c_str());
      if (phase->FMult == 0) phase->lebail[j] = 0;
    }
    // The element list behind the first "=" outside brackets.
    depth = 0;
    for (++p; *p != 0 && !(depth == 0 && *p == '='); ++p) {
      if (*p == '(' || *p == '[') ++depth;
      if (*p == ')' || *p == ']') --depth;
    }
    list = *p == '=' ? p + 1 : p;
  } else if (phase->FMult == 0) {
    for (int j = 0; j < phase->RefMult; ++j) phase->lebail[j] = 0;
  }

  std::string elements = list;
  if (!elements.empty() && elements[0] == '(') {
    if (elements.size() < 2 || elements.back() != ')') refuse<-192>(item);
    elements = elements.substr(1, elements.size() - 2);
  }
  if (elements.empty()) refuse<-192>(item);

  // Entries name[(text)], separated by commas; each is looked up at once.
  std::vector<ElementRecord> records;
  size_t pos = 0;
  for (;;) {
    size_t open = std::string::npos, end = pos;
    int depth = 0;
    for (; end < elements.size() && !(depth == 0 && elements[end] == ','); ++end) {
      char c = elements[end];
      if (c == ',') refuse<-192>(item);
      if (c == '(' && depth == 0 && open == std::string::npos) open = end;
      if (c == '(' || c == '[') ++depth;
      if (c == ')' || c == ']') {
        --depth;
        // The bracketed text must close at the end of the entry.
        if (depth == 0 && end + 1 < elements.size() && elements[end + 1] != ',') refuse<-192>(item);
        if (depth < 0) refuse<-192>(item);
      }
    }
    if (depth != 0) refuse<-192>(item);
    std::string name = elements.substr(pos, (open == std::string::npos ? end : open) - pos);
    if (name.size() > 7) refuse<-3>(name.c_str());
    ElementRecord el{};
    setfield(el.name, sizeof el.name, name.c_str());
    if (open != std::string::npos)
      el.occformula = owned(elements.substr(open + 1, end - open - 2).c_str());
    if (afaparm(el.name, el.scat) == 0) refuse<-192>(el.name);
    records.push_back(el);
    if (end >= elements.size()) break;
    pos = end + 1;
  }
  newelements(atom, static_cast<int>(records.size()));
  for (size_t i = 0; i < records.size(); ++i) atom->elements[i] = records[i];
}

}  // namespace tamrel
