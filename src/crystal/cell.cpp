// Cell, lattice kind, unique axis, space group and centring of a phase, and
// its direct and reciprocal metric.
#include "crystal/cell.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/velmora.hpp"
#include "crystal/services.hpp"
#include "numeric/ddreieck.hpp"

namespace crystal {
using namespace core;
using namespace numeric;

const char* const latticename[9] = {"",         "Triclinic", "Monoclinic", "Orthorhombic",
                                    "Trigonal", "Hexagonal", "Tetragonal", "Rhombohedral",
                                    "Cubic"};

namespace {

constexpr const char* kModule = "obj/tamrel";
constexpr double kEqual = 2.220446049250313e-14;

// x and y equal up to the relative rounding of a cell entered by hand.
bool same(double x, double y) { return std::fabs(x - y) <= (std::fabs(x) + std::fabs(y)) * kEqual; }

// A failure of the set-up: the message is printed, the error stack cleared and
// the caller's error frame reached.
[[noreturn]] void errorjump() {
  std::fflush(stdout);
  ClearErr();
  dataerr_jmp();
  internal_error("no error frame", kModule, __LINE__);
}

bool exists(const char* key) {
  return dataerr_try([&] { GetStrVar(key, 1 << 30, nullptr); });
}

// The value of the first of the keys that exists; the last one is required.
double firstof(const char* k1, const char* k2 = nullptr, const char* k3 = nullptr) {
  if (k2 != nullptr && exists(k1)) return GetVar(k1);
  if (k3 != nullptr && exists(k2)) return GetVar(k2);
  return GetVar(k3 != nullptr ? k3 : k2 != nullptr ? k2 : k1);
}

double optional(const char* key, double fallback) {
  double v = fallback;
  if (!dataerr_try([&] { v = GetVar(key); })) v = fallback;
  return v;
}

struct Cell {
  double a, b, c, alpha, beta, gamma;
};

// Lattice kind and unique axis that the metric of a trial cell allows.
int classify(const Cell& t, char axis[2]) {
  axis[0] = 0;
  axis[1] = 0;
  bool r90 = same(t.alpha, 90.0), b90 = same(t.beta, 90.0), g90 = same(t.gamma, 90.0);
  if (same(t.a, t.b) && same(t.a, t.c)) {
    if (r90 && b90 && g90) return LATTICE_CUBIC;
    if (same(t.alpha, t.beta) && same(t.alpha, t.gamma)) return LATTICE_RHOMBOHEDRAL;
  }
  if (r90 && b90) {
    axis[0] = 'c';
    if (same(t.a, t.b)) {
      if (g90) return LATTICE_TETRAGONAL;
      if (same(t.gamma, 120.0)) return LATTICE_HEXAGONAL;
    }
    if (g90) {
      axis[0] = 0;
      return LATTICE_ORTHORHOMBIC;
    }
    return LATTICE_MONOCLINIC;
  }
  if (r90) {
    if (!g90) return LATTICE_TRICLINIC;
    axis[0] = 'b';
    return same(t.a, t.c) && same(t.beta, 120.0) ? LATTICE_HEXAGONAL : LATTICE_MONOCLINIC;
  }
  if (b90 && g90) {
    axis[0] = 'a';
    return same(t.b, t.c) && same(t.alpha, 120.0) ? LATTICE_HEXAGONAL : LATTICE_MONOCLINIC;
  }
  return LATTICE_TRICLINIC;
}

Cell trialcell() {
  Cell t{};
  t.a = GetVar("A");
  t.b = optional("B", t.a);
  t.c = optional("C", t.a);
  t.alpha = optional("ALPHA", 90.0);
  double same3 = same(t.a, t.b) && same(t.a, t.c) ? t.alpha : 90.0;
  t.beta = optional("BETA", same3);
  t.gamma = optional("GAMMA", same3);
  return t;
}

// Copies a header key of at most 30 characters into a selector, when the
// header has it.
void takekey(const char* key, char* selector) {
  char value[31];
  if (dataerr_try([&] { GetStrVar(key, 30, value); })) std::memcpy(selector, value, sizeof value);
}

int latticekind(const char* name) {
  for (int k = 1; k <= 8; ++k)
    if (std::strcmp(name, latticename[k]) == 0) return k;
  return 0;
}

// The group's header keys into the phase: selectors, lattice kind, condition.
void takeheader(PhaseRecord* ph, const SpaceGroupRecord* group) {
  int mode = getrekart();
  newDATAlist();
  setrekart(0);
  SetStrInput(group->header);
  GetData(nullptr, "param");
  takekey("HermannMauguin", ph->selector[SEL_HERMANNMAUGUIN]);
  takekey("SpacegroupNo", ph->selector[SEL_SPACEGROUPNO]);
  if (ph->selector[SEL_LATTICE][0] == 0) {
    takekey("Lattice", ph->selector[SEL_LATTICE]);
    if (ph->selector[SEL_LATTICE][0] != 0) {
      ph->lattice = latticekind(ph->selector[SEL_LATTICE]);
      if (ph->lattice == 0) {
        fatal<-251>();
      }
    }
  }
  takekey("Setting", ph->selector[SEL_SETTING]);
  takekey("OriginChoice", ph->selector[SEL_ORIGINCHOICE]);
  takekey("CellChoice", ph->selector[SEL_CELLCHOICE]);
  takekey("UniqueAxis", ph->selector[SEL_UNIQUEAXIS]);
  takekey("BASIS", ph->selector[SEL_BASIS]);
  if (exists("GeneralCondition")) {
    char* condition = kcalloc<char>(8001);
    GetStrVar("GeneralCondition", 8000, condition);
    std::free(ph->condition);
    ph->condition = condition;
  }
  DelAll();
  freeDATAlist();
  setrekart(mode);
  SetStrInput(nullptr);
}

void setcentring(PhaseRecord* ph, int count, const int (*t)[3]) {
  ph->ncentring = count;
  for (int i = 0; i < MAX_CENTRING; ++i)
    for (int k = 0; k < 3; ++k) {
      int n = i < count ? t[i][k] : 0;
      ph->icentring[i][k] = n;
      ph->centring[i][k] = static_cast<double>(n) / SYM_DENOM;
    }
}

void centring(PhaseRecord* ph) {
  char* basis = ph->selector[SEL_BASIS];
  if (basis[0] == 0)
    std::strcpy(basis,
                ph->selector[SEL_HERMANNMAUGUIN][0] != 0 ? ph->selector[SEL_HERMANNMAUGUIN] : "P");
  if (basis[0] == 'R' && ph->lattice == LATTICE_RHOMBOHEDRAL) std::strcpy(basis, "P");
  constexpr int h = SYM_DENOM / 2, t1 = SYM_DENOM / 3, t2 = 2 * SYM_DENOM / 3;
  static const int P[1][3] = {{0, 0, 0}};
  static const int A[2][3] = {{0, 0, 0}, {0, h, h}};
  static const int B[2][3] = {{0, 0, 0}, {h, 0, h}};
  static const int C[2][3] = {{0, 0, 0}, {h, h, 0}};
  static const int I[2][3] = {{0, 0, 0}, {h, h, h}};
  static const int F[4][3] = {{0, 0, 0}, {0, h, h}, {h, 0, h}, {h, h, 0}};
  static const int R[3][3] = {{0, 0, 0}, {t2, t1, t1}, {t1, t2, t2}};
  switch (basis[0]) {
    case 'P':
      return setcentring(ph, 1, P);
    case 'A':
      return setcentring(ph, 2, A);
    case 'B':
      return setcentring(ph, 2, B);
    case 'C':
      return setcentring(ph, 2, C);
    case 'I':
      return setcentring(ph, 2, I);
    case 'F':
      return setcentring(ph, 4, F);
    case 'R':
      if (std::strcmp(ph->selector[SEL_UNIQUEAXIS], "c") != 0) {
        message<-252>();
        errorjump();
      }
      return setcentring(ph, 3, R);
    default:
      message<-243>(basis);
      errorjump();
  }
}

// ---------------------------------------------------------------------------
// Why no group of the database fits a phase

// The value of a key in a group's header line ("Key=value" items separated
// by blanks); empty when the header has no such key.
std::string headervalue(const char* header, const char* key) {
  const size_t len = std::strlen(key);
  for (const char* p = header; *p != 0;) {
    while (*p == ' ' || *p == '\t') ++p;
    const char* end = p;
    while (*end != 0 && *end != ' ' && *end != '\t') ++end;
    if (static_cast<size_t>(end - p) > len && std::strncmp(p, key, len) == 0 && p[len] == '=')
      return std::string(p + len + 1, end);
    p = end;
  }
  return "";
}

// The edit distance of two texts (insertions, deletions, substitutions).
size_t editdistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] =
          std::min(std::min(row[j] + 1, row[j - 1] + 1), diagonal + (a[i - 1] == b[j - 1] ? 0 : 1));
      diagonal = up;
    }
  }
  return row[b.size()];
}

// A symbol as a reader spells it loosely: upper case, without blanks,
// overbars, slashes and underscores (Pm3m, P 21/c and P6_3/mmc become PM3M,
// P21C and P63MMC).
std::string loose(const std::string& text) {
  std::string out;
  for (char c : text)
    if (std::strchr(" \t-/_", c) == nullptr)
      out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

struct SelectorKey {
  int index;
  const char* key;
};
constexpr SelectorKey kSelectorKeys[] = {{SEL_HERMANNMAUGUIN, "HermannMauguin"},
                                         {SEL_SPACEGROUPNO, "SpacegroupNo"},
                                         {SEL_SETTING, "Setting"},
                                         {SEL_ORIGINCHOICE, "OriginChoice"},
                                         {SEL_CELLCHOICE, "CellChoice"},
                                         {SEL_UNIQUEAXIS, "UniqueAxis"},
                                         {SEL_BASIS, "BASIS"},
                                         {SEL_LATTICE, "Lattice"}};

// The values the database has for a key that lie nearest the value given
// (at most five, the loosely equal ones first); a symbol is followed by its
// group number.
std::string nearestvalues(const char* key, const std::string& given) {
  struct Candidate {
    std::string value, number;
    size_t looseness, distance;
  };
  std::vector<Candidate> all;
  for (const SpaceGroupRecord* g = spacefirst; g != nullptr; g = g->next) {
    const std::string v = headervalue(g->header, key);
    if (v.empty()) continue;
    bool known = false;
    for (const Candidate& c : all) known = known || c.value == v;
    if (known) continue;
    all.push_back({v, headervalue(g->header, "SpacegroupNo"), editdistance(loose(v), loose(given)),
                   editdistance(v, given)});
  }
  std::stable_sort(all.begin(), all.end(), [](const Candidate& x, const Candidate& y) {
    return x.looseness != y.looseness ? x.looseness < y.looseness : x.distance < y.distance;
  });
  std::string out;
  const bool symbol = std::strcmp(key, "HermannMauguin") == 0;
  for (size_t k = 0; k < all.size() && k < 5; ++k) {
    if (k > 0) out += ", ";
    out += all[k].value;
    if (symbol && !all[k].number.empty()) out += " (No. " + all[k].number + ")";
  }
  return out.empty() ? "nothing" : out;
}

// Explains a search that found no group, before message -238: a selector
// value that no group of the database has, with the nearest values it has
// (message 363); else the groups that the selectors name, which the cell's
// metric or the other selectors rule out (message 364). The key is marked
// at fault in the phase's structure file.
void explainsearch(int number, int kind, const char* axis, const char sel[SEL_COUNT][32]) {
  std::string given;
  for (const SelectorKey& k : kSelectorKeys) {
    const char* v = sel[k.index];
    if (v[0] == 0) continue;
    if (!given.empty()) given += " ";
    given += std::string(k.key) + "=" + v;
  }
  for (const SelectorKey& k : kSelectorKeys) {
    const char* v = sel[k.index];
    if (v[0] == 0) continue;
    bool found = false;
    for (const SpaceGroupRecord* g = spacefirst; g != nullptr && !found; g = g->next)
      found = headervalue(g->header, k.key) == v;
    if (!found) {
      message<363>(std::string(k.key) + "=" + v, nearestvalues(k.key, v));
      phasefault(number, k.key);
      return;
    }
  }
  // Every value exists: the groups named by the symbol or the number (the
  // first of them given), with their selectors.
  const SelectorKey& name = sel[SEL_HERMANNMAUGUIN][0] != 0 ? kSelectorKeys[0] : kSelectorKeys[1];
  std::string offered;
  int count = 0;
  for (const SpaceGroupRecord* g = spacefirst; g != nullptr; g = g->next) {
    if (headervalue(g->header, name.key) != sel[name.index]) continue;
    if (++count > 6) {
      offered += "; ...";
      break;
    }
    if (!offered.empty()) offered += "; ";
    std::string items;
    for (const SelectorKey& k : kSelectorKeys) {
      const std::string v = headervalue(g->header, k.key);
      if (v.empty()) continue;
      if (!items.empty()) items += " ";
      items += std::string(k.key) + "=" + v;
    }
    offered += items;
  }
  std::string metric = latticename[kind];
  if (axis != nullptr && axis[0] != 0) metric += std::string(" with unique axis ") + axis;
  message<364>(given, metric, offered);
  phasefault(number, name.key);
}

// The first pass: space group, selectors, centring, operator table, sites.
// The phase takes the group only once all of it is set up, so that a failed
// pass is not taken for a finished one.
void firstpass(PhaseRecord* ph) {
  Cell trial = trialcell();
  char axis[2];
  int kind = classify(trial, axis);
  if (kind == LATTICE_ANY) internal_error("ANY2", kModule, 1123);

  SpaceGroupRecord* group = findordanix(kind, axis, ph->selector);
  if (group == nullptr) {
    explainsearch(ph->number, kind, axis, ph->selector);
    message<-238>();
    errorjump();
  }
  takeheader(ph, group);

  char text[64];
  if (ph->selector[SEL_UNIQUEAXIS][0] == 0 && axis[0] != 0) {
    std::strcpy(ph->selector[SEL_UNIQUEAXIS], axis);
    std::snprintf(text, sizeof text, "UniqueAxis=%s", axis);
    message<257>(ph->number, text);
  }
  if (ph->lattice == LATTICE_ANY) {
    ph->lattice = kind;
    std::snprintf(text, sizeof text, "Lattice=%s", latticename[kind]);
    message<257>(ph->number, text);
  }
  centring(ph);
  const char* ua = ph->selector[SEL_UNIQUEAXIS];
  if (ua[0] != 0 && (ua[1] != 0 || std::strchr("abc", ua[0]) == nullptr)) {
    message<-240>();
    errorjump();
  }

  int nops = group->general->count;
  std::free(ph->operators);
  ph->operators = kcalloc<double>(13 * static_cast<size_t>(nops));
  for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next) {
    at->wyckoff = findwyckoff(group, at->wyckoffname);
    if (at->wyckoff == nullptr) {
      message<-236>();
      errorjump();
    }
    std::free(at->sites);
    at->sites = kcalloc<SiteRecord>(static_cast<size_t>(at->wyckoff->count));
  }
  ph->group = group;
}

// The cell that the lattice kind leaves free.
Cell readcell(const PhaseRecord* ph) {
  Cell c{};
  const char* ua = ph->selector[SEL_UNIQUEAXIS];
  switch (ph->lattice) {
    case LATTICE_TRICLINIC:
    case LATTICE_MONOCLINIC:
    case LATTICE_ORTHORHOMBIC:
      c.a = GetVar("A");
      c.b = GetVar("B");
      c.c = GetVar("C");
      c.alpha = c.beta = c.gamma = 90.0;
      if (ph->lattice == LATTICE_TRICLINIC) {
        c.alpha = GetVar("ALPHA");
        c.beta = GetVar("BETA");
        c.gamma = GetVar("GAMMA");
      } else if (ph->lattice == LATTICE_MONOCLINIC) {
        if (ua[0] == 'a')
          c.alpha = GetVar("ALPHA");
        else if (ua[0] == 'b')
          c.beta = GetVar("BETA");
        else
          c.gamma = GetVar("GAMMA");
      }
      break;
    case LATTICE_TRIGONAL:
    case LATTICE_HEXAGONAL:
    case LATTICE_TETRAGONAL: {
      double angle = ph->lattice == LATTICE_TETRAGONAL ? 90.0 : 120.0;
      c.alpha = c.beta = c.gamma = 90.0;
      if (ua[0] == 'a') {
        c.b = c.c = firstof("B", "C");
        c.a = GetVar("A");
        c.alpha = angle;
      } else if (ua[0] == 'b') {
        c.a = c.c = firstof("A", "C");
        c.b = GetVar("B");
        c.beta = angle;
      } else {
        c.a = c.b = firstof("B", "A");
        c.c = GetVar("C");
        c.gamma = angle;
      }
      break;
    }
    case LATTICE_RHOMBOHEDRAL:
      c.a = c.b = c.c = firstof("A", "B", "C");
      c.alpha = c.beta = c.gamma = firstof("ALPHA", "BETA", "GAMMA");
      break;
    case LATTICE_CUBIC:
      c.a = c.b = c.c = firstof("A", "B", "C");
      c.alpha = c.beta = c.gamma = 90.0;
      break;
    default:
      internal_error("ANY2", kModule, 1123);
  }
  return c;
}

[[noreturn]] void impossiblecell(const PhaseRecord* ph) {
  message<-209>(ph->a, ph->b, ph->c, ph->alpha, ph->beta, ph->gamma);
  errorjump();
}

}  // namespace

void getmass() {
  PhaseRecord* ph = phasei;
  if (ph->metricready) return;
  if (ph->group == nullptr) firstpass(ph);

  Cell c = readcell(ph);
  if (ph->unit == UNIT_ANGSTROEM) {
    c.a *= 0.1;
    c.b *= 0.1;
    c.c *= 0.1;
  }
  ph->a = c.a;
  ph->b = c.b;
  ph->c = c.c;
  ph->alpha = c.alpha;
  ph->beta = c.beta;
  ph->gamma = c.gamma;
  // Written so that a NaN fails the test too.
  bool possible = c.a > 0 && c.b > 0 && c.c > 0 && c.alpha > 0 && c.beta > 0 && c.gamma > 0 &&
                  c.alpha < c.beta + c.gamma && c.beta < c.alpha + c.gamma &&
                  c.gamma < c.alpha + c.beta;
  if (!possible) impossiblecell(ph);

  constexpr double rad = 2.0 * 3.14159265358979323846 / 360.0;
  double ca = std::cos(c.alpha * rad), cb = std::cos(c.beta * rad), cg = std::cos(c.gamma * rad);
  double sa = std::sin(c.alpha * rad), sb = std::sin(c.beta * rad), sg = std::sin(c.gamma * rad);
  double D = 1.0 + 2.0 * ca * cb * cg - ca * ca - cb * cb - cg * cg;
  ph->metric[0] = c.a * c.a;
  ph->metric[1] = c.b * c.b;
  ph->metric[2] = c.c * c.c;
  ph->metric[3] = c.a * c.b * cg;
  ph->metric[4] = c.a * c.c * cb;
  ph->metric[5] = c.b * c.c * ca;
  ph->rmetric[0] = sa * sa / (c.a * c.a * D);
  ph->rmetric[1] = sb * sb / (c.b * c.b * D);
  ph->rmetric[2] = sg * sg / (c.c * c.c * D);
  ph->rmetric[3] = (ca * cb - cg) / (c.a * c.b * D);
  ph->rmetric[4] = (cb * cg - ca) / (c.b * c.c * D);
  ph->rmetric[5] = (ca * cg - cb) / (c.a * c.c * D);
  ph->volume2 = (c.a * c.b * c.c) * (c.a * c.b * c.c) * D;

  // The reciprocal metric in the axis order c, b, a, factorised L L^T: the
  // factor read backwards is the upper triangular R of the order a, b, c.
  const double* g = ph->rmetric;
  double L[6] = {g[2], g[4], g[1], g[5], g[3], g[0]};
  int status = 0;
  dmfsp(L, 3, &status, kEqual);
  if (status != 0) impossiblecell(ph);
  for (int i = 0; i < 6; ++i) ph->tri[i] = L[5 - i];
  ph->metricready = 1;
}

}  // namespace crystal
