// Loading and searching the space-group database "ordanix.dat".
//
// File layout after the leading "%" lines, group after group up to the end of
// the file:
//   header line   store statements: BASIS (centring letter), HermannMauguin,
//                 Lattice, UniqueAxis, Setting, SpacegroupNo, OriginChoice,
//                 CellChoice, GeneralCondition, ...
//   block line    Wyckoff=<name> N=<multiplicity incl. centring>
//   N/divisor operator lines of three coordinate formulas in x, y, z
//   ... further blocks; the block named "a" is the last one of the group.
// The first block of a group is its general position.
#include "crystal/spacehld.hpp"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"

namespace crystal {
using namespace core;

SpaceGroupRecord* spacefirst = nullptr;

namespace {

constexpr const char* kModule = "obj/spacehld";

// Published after the whole list is built; readers test it before taking
// initmutex and again under it.
std::atomic<bool> spaceloaded{false};
bool freeregistered = false;

// Most operators of a general position per centring translation (m-3m).
constexpr int kMaxPointOperators = 48;

// A coefficient below this (ten times the double epsilon) is taken as zero.
constexpr double kCoefZero = 2.220446049250313e-15;

// Bucket of a Wyckoff name: the sum of its bytes, taken unsigned so that the
// bucket stays inside the table for any byte values, modulo 61.
int wyckoffbucket(const char* name) {
  unsigned sum = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != 0; ++p)
    sum += *p;
  return static_cast<int>(sum % WYCKOFF_BUCKETS);
}

// Copies at most n - 1 bytes and always terminates.
void copytext(const char* src, char* dst, size_t n) {
  std::strncpy(dst, src, n - 1);
  dst[n - 1] = 0;
}

// Number of operator lines per multiplicity: the centring translations are
// not listed. The letter is the first character of BASIS, else of
// HermannMauguin.
int centringdivisor() {
  char letter[2] = "";
  if (!dataerr_try([&] { GetStrVar("BASIS", 1, letter); })) {
    char hm[200];
    GetStrVar("HermannMauguin", sizeof hm - 1, hm);
    letter[0] = hm[0];
  }
  switch (letter[0]) {
    case 'P':
      return 1;
    case 'A':
    case 'B':
    case 'C':
    case 'I':
      return 2;
    case 'F':
      return 4;
    case 'R': {
      // Rhombohedral axes list all operators; hexagonal axes leave out the
      // two obverse translations.
      char lattice[32] = "";
      bool has = dataerr_try([&] { GetStrVar("Lattice", 31, lattice); });
      return has && std::strcmp(lattice, "Rhombohedral") == 0 ? 1 : 3;
    }
    default:
      internal_error("wrongbasis", kModule, 147);
  }
}

// The integer n with value = n / denom, when value is one up to the rounding
// of the formula's evaluation.
bool exactmultiple(double value, int denom, int32_t* n) {
  double scaled = value * denom;
  if (!(std::fabs(scaled) < 1e6)) {
    *n = 0;
    return false;
  }
  double nearest = std::nearbyint(scaled);
  *n = static_cast<int32_t>(nearest);
  return std::fabs(scaled - nearest) <= 1e-9 * denom;
}

// Reads one operator line (three formulas; the rest of the line is ignored)
// and splits each formula into its constant and its coefficients of x, y, z.
// x, y and z are 0 in the top scope on entry and on return.
// The values of an operator formula made of nothing but x, y, z, digits,
// points, signs, products and quotients: it names no other key, so it has the
// same values wherever it stands. The database repeats a few hundred such
// formulas some forty thousand times; each is evaluated once per load.
struct FormulaValues {
  double constant;
  double coef[3];
};
std::unordered_map<std::string, FormulaValues> knownformulas;

bool plainformula(const char* text) {
  for (const char* p = text; *p != 0; ++p)
    if (std::strchr("xyz0123456789.+-*/ ", *p) == nullptr) return false;
  return true;
}

void readoperator(FILE* f, SymOperator* op, WyckoffRecord* rec) {
  static const char* const names[3] = {"x", "y", "z"};
  op->exact = 1;
  for (int r = 0; r < 3; ++r) {
    SymComponent& c = op->comp[r];
    GetItem(f, 31, c.text);
    const bool plain = plainformula(c.text);
    auto known = plain ? knownformulas.find(c.text) : knownformulas.end();
    if (known != knownformulas.end()) {
      c.constant = known->second.constant;
      for (int k = 0; k < 3; ++k) c.coef[k] = known->second.coef[k];
    } else {
      c.constant = Wert(c.text);
      for (int k = 0; k < 3; ++k) {
        SetVar(names[k], 1.0);
        c.coef[k] = Wert(c.text) - c.constant;
        SetVar(names[k], 0.0);
      }
      if (plain)
        knownformulas.emplace(c.text, FormulaValues{c.constant, {c.coef[0], c.coef[1], c.coef[2]}});
    }
    for (int k = 0; k < 3; ++k)
      if (!exactmultiple(c.coef[k], 1, &op->rot[r][k])) op->exact = 0;
    if (!exactmultiple(c.constant, SYM_DENOM, &op->trans[r])) op->exact = 0;
    if (std::fabs(c.coef[0]) > kCoefZero) rec->xfree = 1;
    if (std::fabs(c.coef[1]) > kCoefZero) rec->yfree = 1;
    if (std::fabs(c.coef[2]) > kCoefZero) rec->zfree = 1;
  }
  int ch;
  while ((ch = std::getc(f)) != EOF && ch != '\n') {
  }
}

// Reads one Wyckoff block from its block line on; the header keys of the
// group are in the top scope and are cleared first. general: the block is the
// group's general position, whose operators per centring translation are the
// point group's and so at most 48 (the equivalent reflections of a triple are
// collected in a table of that size).
WyckoffRecord* readblock(FILE* f, int divisor, bool general) {
  DelAll();
  GetData(f, "param");
  auto* rec = static_cast<WyckoffRecord*>(std::calloc(1, sizeof(WyckoffRecord)));
  if (rec == nullptr) fatal<-44>();
  GetStrVar("Wyckoff", 31, rec->name);
  int n = GetIntVar("N");
  // A multiplicity of 0 or below would leave a block without operators
  // (and the general position without its identity): refused as well.
  if (n <= 0 || n % divisor != 0 || (general && n / divisor > kMaxPointOperators)) fatal<-185>();
  rec->count = n / divisor;
  rec->op =
      static_cast<SymOperator*>(std::calloc(static_cast<size_t>(rec->count), sizeof(SymOperator)));
  if (rec->op == nullptr) fatal<-44>();
  SetVar("x", 0.0);
  SetVar("y", 0.0);
  SetVar("z", 0.0);
  for (int i = 0; i < rec->count; ++i) readoperator(f, &rec->op[i], rec);
  return rec;
}

void loadgroups(FILE* f) {
  SpaceGroupRecord** tail = &spacefirst;
  char line[199];
  while (!std::feof(f) && std::fgets(line, sizeof line, f) != nullptr) {
    size_t len = std::strlen(line);
    if (len > 0 && line[len - 1] == '\n') {
      line[len - 1] = 0;
      if (len > 1 && line[len - 2] == '\r') line[len - 2] = 0;
    } else {
      // A header of exactly 198 characters filled the buffer before its line
      // feed: take the line feed too. A longer header is cut, and its rest
      // is read as the next line.
      int ch = std::getc(f);
      if (ch != '\n' && ch != EOF) std::ungetc(ch, f);
    }
    auto* group = static_cast<SpaceGroupRecord*>(std::calloc(1, sizeof(SpaceGroupRecord)));
    if (group == nullptr) fatal<-44>();
    *tail = group;
    tail = &group->next;
    copytext(line, group->header, sizeof group->header);
    SetStrInput(group->header);
    GetData(nullptr, "param");
    int divisor = centringdivisor();
    group->general = nullptr;
    group->exact = 1;
    for (;;) {
      WyckoffRecord* rec = readblock(f, divisor, group->general == nullptr);
      for (int i = 0; i < rec->count; ++i)
        if (!rec->op[i].exact) group->exact = 0;
      rec->general = group->general == nullptr ? 1 : 0;
      if (group->general == nullptr) group->general = rec;
      int b = wyckoffbucket(rec->name);
      rec->next = group->bucket[b];
      group->bucket[b] = rec;
      if (std::strcmp(rec->name, "a") == 0) break;
    }
  }
  *tail = nullptr;
}

// Lattice names that a metric of the given kind can carry.
bool latticeaccepted(int kind, const char* lattice) {
  static const char* const accepted[9][7] = {
      {nullptr},
      {"Triclinic", nullptr},
      {"Monoclinic", "Triclinic", nullptr},
      {"Orthorhombic", "Monoclinic", "Triclinic", nullptr},
      {"Hexagonal", "Trigonal", "Monoclinic", "Triclinic", nullptr},
      {"Hexagonal", "Trigonal", "Monoclinic", "Triclinic", nullptr},
      {"Tetragonal", "Hexagonal", "Trigonal", "Orthorhombic", "Monoclinic", "Triclinic", nullptr},
      {"Rhombohedral", "Triclinic", nullptr},
      {nullptr},
  };
  if (kind == 8) return true;
  for (const char* const* p = accepted[kind]; *p != nullptr; ++p)
    if (std::strcmp(*p, lattice) == 0) return true;
  return false;
}

// Reads an optional key of the top scope; false when it is missing (or does
// not fit).
bool optionalkey(const char* key, char (&buf)[32]) {
  buf[0] = 0;
  return dataerr_try([&] { GetStrVar(key, 31, buf); });
}

// The tests of one group whose header is in the top scope.
bool groupmatches(int kind, const char* axis, const char sel[SEL_COUNT][32]) {
  char value[32];
  bool has = optionalkey("Lattice", value);
  if (sel[SEL_LATTICE][0] != 0) {
    if (!has || std::strcmp(value, sel[SEL_LATTICE]) != 0) return false;
  } else if (has) {
    if (kind < 1 || kind > 8) internal_error("lattice==ANY", kModule, 268);
    if (!latticeaccepted(kind, value)) return false;
  }

  has = optionalkey("UniqueAxis", value);
  if (sel[SEL_UNIQUEAXIS][0] != 0) {
    if (!has || value[0] != sel[SEL_UNIQUEAXIS][0]) return false;
  } else if (axis != nullptr && axis[0] != 0) {
    if (has && value[0] != axis[0]) return false;
  }

  return ifndeforeq("SpacegroupNo", sel[SEL_SPACEGROUPNO]) &&
         ifndeforeq("HermannMauguin", sel[SEL_HERMANNMAUGUIN]) &&
         ifndeforeq("Setting", sel[SEL_SETTING]) && ifndeforeq("BASIS", sel[SEL_BASIS]) &&
         ifndeforeq("OriginChoice", sel[SEL_ORIGINCHOICE]) &&
         ifndeforeq("CellChoice", sel[SEL_CELLCHOICE]) &&
         ifndeforeq("UniqueAxis", sel[SEL_UNIQUEAXIS]);
}

}  // namespace

void spaceinit() {
  if (spaceloaded.load(std::memory_order_acquire)) return;
  requestmutex(&initmutex);
  if (spaceloaded.load(std::memory_order_relaxed)) {
    releasemutex(&initmutex);
    return;
  }
  FILE* f = kalvoopen("ordanix.dat", "r");
  if (f == nullptr) fatal<-183>();
  bool ok = dataerr_try([&] {
    newDATAlist();
    int mode = getrekart();
    setrekart(0);
    loadgroups(f);
    // A database that opened but could not be read (a read error, or a
    // directory in its place) must not pass for one without groups.
    if (std::ferror(f)) fatal<-183>();
    setrekart(mode);
    std::fclose(f);
    DelAll();
    freeDATAlist();
  });
  knownformulas.clear();
  if (!ok) fatal<-236>();
  if (!freeregistered) {
    freeregistered = true;
    std::atexit(freeordanix);
  }
  SetStrInput(nullptr);
  spaceloaded.store(true, std::memory_order_release);
  releasemutex(&initmutex);
}

SpaceGroupRecord* findordanix(int kind, const char* axis, const char selectors[SEL_COUNT][32]) {
  spaceinit();
  int mode = getrekart();
  setrekart(0);
  SpaceGroupRecord* found = nullptr;
  for (SpaceGroupRecord* g = spacefirst; g != nullptr && found == nullptr; g = g->next) {
    // Each header in a scope of its own, discarded afterwards: no key of one
    // group can make a later group match, and the caller's keys stay as they
    // were.
    newDATAlist();
    SetStrInput(g->header);
    if (dataerr_try([&] { GetData(nullptr, "param"); }) && groupmatches(kind, axis, selectors))
      found = g;
    DelAll();
    freeDATAlist();
  }
  SetStrInput(nullptr);
  setrekart(mode);
  if (found != nullptr) {
    const SymOperator& id = found->general->op[0];
    if (std::strcmp(id.comp[0].text, "x") != 0 || std::strcmp(id.comp[1].text, "y") != 0 ||
        std::strcmp(id.comp[2].text, "z") != 0) {
      message<6>();
      std::fflush(stdout);
      return nullptr;
    }
  }
  return found;
}

WyckoffRecord* findwyckoff(const SpaceGroupRecord* group, const char* name) {
  for (WyckoffRecord* r = group->bucket[wyckoffbucket(name)]; r != nullptr; r = r->next)
    if (std::strcmp(r->name, name) == 0) return r;
  return nullptr;
}

bool ifndeforeq(const char* key, const char* wanted) {
  setrekart(0);
  if (wanted[0] == 0) return true;
  char value[32];
  if (!optionalkey(key, value)) return false;
  return std::strcmp(value, wanted) == 0;
}

void freeordanix() {
  SpaceGroupRecord* g = spacefirst;
  while (g != nullptr) {
    for (WyckoffRecord*& head : g->bucket) {
      while (head != nullptr) {
        WyckoffRecord* next = head->next;
        std::free(head->op);
        std::free(head);
        head = next;
      }
    }
    SpaceGroupRecord* next = g->next;
    std::free(g);
    g = next;
  }
  spacefirst = nullptr;
  spaceloaded.store(false, std::memory_order_release);
}

}  // namespace crystal
