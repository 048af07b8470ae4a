// Restraints: pair potentials and penalty terms declared in a phase's
// formulas, the atom pairs within the cut-off over all lattice translations,
// and their residuals.
#include "crystal/ks.hpp"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"

namespace crystal {
using namespace core;

PairPotential* wwargfirst = nullptr;
PairTerm* wwarray = nullptr;
int nww = 0;
int maxww = 0;
PenaltyTerm* straffirst = nullptr;
int nstraf = 0;

double* fxplus = nullptr;
int mplus = 0;
double qplus = 0.0;

namespace {

constexpr const char* kModule = "obj/ks";

// Where the next declaration of the current pass is expected; null outside a
// pass.
PairPotential** wwaktuell = nullptr;
PenaltyTerm** strafaktuell = nullptr;

// The bond lists are still to be built.
std::atomic<bool> ifksinit{true};

// A failure of a declaration or of the pair lists: the message is printed,
// the error stack cleared and the caller's error frame reached.
[[noreturn]] void dataerror() {
  std::fflush(stdout);
  ClearErr();
  dataerr_jmp();
  internal_error("no error frame", kModule, __LINE__);
}

// True when declarations of the current phase are to be recorded.
bool recording() {
  return threadid() < 0 && phasei != nullptr && phasei->theory > 0 && wwaktuell != nullptr;
}

// A copy of text into *buffer, which is allocated anew only when the length
// changes; null text gives null.
void keeptext(char** buffer, const char* text) {
  if (text == nullptr) {
    std::free(*buffer);
    *buffer = nullptr;
    return;
  }
  size_t n = std::strlen(text);
  if (*buffer == nullptr || std::strlen(*buffer) != n) {
    std::free(*buffer);
    *buffer = kcalloc<char>(n + 1);
  }
  std::memcpy(*buffer, text, n + 1);
}

// An atom list without its outer parentheses.
std::string stripparentheses(const char* text) {
  std::string s = text;
  if (s.size() >= 2 && s.front() == '(' && s.back() == ')') s = s.substr(1, s.size() - 2);
  return s;
}

// Splits at commas outside brackets; false when the brackets do not balance.
bool splitlist(const std::string& text, std::vector<std::string>& items) {
  items.clear();
  std::string cur;
  int depth = 0;
  for (char c : text) {
    if (c == '(' || c == '[') ++depth;
    if (c == ')' || c == ']') --depth;
    if (depth < 0) return false;
    if (c == ',' && depth == 0) {
      items.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  items.push_back(cur);
  return depth == 0;
}

AtomRecord* findatom(PhaseRecord* ph, const char* name, size_t len) {
  for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next)
    if (std::strlen(at->atomname) == len && std::strncmp(at->atomname, name, len) == 0) return at;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Bond lists

void addbond(BondEntry** list, int32_t* count, AtomRecord* atom, const int32_t t[3]) {
  auto* grown = static_cast<BondEntry*>(
      std::realloc(*list, sizeof(BondEntry) * static_cast<size_t>(*count + 1)));
  if (grown == nullptr) outofmemory();
  grown[*count] = BondEntry{{t[0], t[1], t[2]}, atom};
  *list = grown;
  ++*count;
}

// The lattice translation of a Bondings item name(t1,t2,t3); (0,0,0) without
// brackets. Anything but three numbers in balanced brackets: message -136.
void namerst(const char* text, int32_t t[3]) {
  t[0] = t[1] = t[2] = 0;
  const char* open = std::strchr(text, '(');
  if (open == nullptr) return;
  std::vector<std::string> pieces;
  std::string cur;
  int depth = 1;
  bool closed = false;
  for (const char* p = open + 1; *p != 0; ++p) {
    char c = *p;
    if (closed) {  // text after the closing bracket
      closed = false;
      break;
    }
    if (c == '(' || c == '[') ++depth;
    if (c == ')' || c == ']') --depth;
    if (depth == 0) {
      pieces.push_back(cur);
      closed = true;
      continue;
    }
    if (c == ',' && depth == 1) {
      pieces.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!closed || pieces.size() != 3) {
    message<-136>(text);
    dataerror();
  }
  for (int i = 0; i < 3; ++i) {
    double v = Wert(pieces[static_cast<size_t>(i)].c_str());
    if (!(std::fabs(v) < 1e9)) {
      message<-136>(text);
      dataerror();
    }
    t[i] = static_cast<int32_t>(v);
  }
}

// The direct bonds of the Bondings texts and, from them, every atom's list of
// the atoms within BondLevel bonds (itself included at translation 0).
void bondsetup(PhaseRecord* ph) {
  // A set-up that failed part-way is started afresh.
  for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next) {
    std::free(at->bonds);
    at->bonds = nullptr;
    at->nbonds = 0;
  }
  std::vector<std::string> items;
  for (int i = 0; i < ph->nbondings; ++i) {
    splitlist(ph->bondings[i], items);
    AtomRecord* prev = nullptr;
    int32_t tprev[3] = {0, 0, 0};
    for (const std::string& item : items) {
      size_t len = item.find('(');
      if (len == std::string::npos) len = item.size();
      AtomRecord* at = findatom(ph, item.c_str(), len);
      if (at == nullptr) {
        message<-137>(item.c_str());
        dataerror();
      }
      if (at->wyckoff == nullptr || at->wyckoff->general == 0) {
        message<-135>();
        dataerror();
      }
      int32_t t[3];
      namerst(item.c_str(), t);
      if (prev != nullptr) {
        const int32_t back[3] = {tprev[0] - t[0], tprev[1] - t[1], tprev[2] - t[2]};
        const int32_t fore[3] = {t[0] - tprev[0], t[1] - tprev[1], t[2] - tprev[2]};
        addbond(&at->bonds, &at->nbonds, prev, back);
        addbond(&prev->bonds, &prev->nbonds, at, fore);
      }
      prev = at;
      std::memcpy(tprev, t, sizeof t);
    }
  }
  for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next) {
    const int32_t zero[3] = {0, 0, 0};
    at->nextbonds = 0;
    addbond(&at->extbonds, &at->nextbonds, at, zero);
    at->nextgrowing = at->maxextbonds = at->nextbonds;
  }
  for (int level = 0; level < ph->bondlevel; ++level) {
    for (AtomRecord* x = ph->atoms; x != nullptr; x = x->next) {
      for (int e = 0; e < x->nextbonds; ++e) {
        const BondEntry entry = x->extbonds[e];
        for (int j = 0; j < entry.atom->nbonds; ++j) {
          const BondEntry& bond = entry.atom->bonds[j];
          const int32_t t[3] = {entry.t[0] + bond.t[0], entry.t[1] + bond.t[1],
                                entry.t[2] + bond.t[2]};
          bool known = false;
          for (int k = 0; k < x->nextgrowing && !known; ++k) {
            const BondEntry& have = x->extbonds[k];
            known = have.atom == bond.atom && have.t[0] == t[0] && have.t[1] == t[1] &&
                    have.t[2] == t[2];
          }
          if (known) continue;
          // The committed count stays while the round runs.
          int32_t n = x->nextgrowing;
          addbond(&x->extbonds, &n, bond.atom, t);
          x->nextgrowing = x->maxextbonds = n;
        }
      }
    }
    for (AtomRecord* x = ph->atoms; x != nullptr; x = x->next) x->nextbonds = x->nextgrowing;
  }
}

// ---------------------------------------------------------------------------
// Pair lists

struct ListItem {
  AtomRecord* atom;
  int32_t species;  // element index, or -1
};

// The atoms of an atom list; atoms already in skip, and repeated ones, are
// left out. Returns the bracket depth left over (0 after a successful parse).
int parselist(PhaseRecord* ph, const std::string& text, const std::vector<ListItem>& skip,
              std::vector<ListItem>& out) {
  out.clear();
  std::vector<std::string> items;
  if (!splitlist(text, items)) {
    message<-140>(text.c_str());
    dataerror();
  }
  for (const std::string& item : items) {
    size_t open = item.find('(');
    size_t len = open == std::string::npos ? item.size() : open;
    if (open != std::string::npos && item.back() != ')') {
      message<-140>(item.c_str());
      dataerror();
    }
    AtomRecord* at = findatom(ph, item.c_str(), len);
    if (at == nullptr) {
      message<-140>(item.c_str());
      dataerror();
    }
    bool repeated = false;
    for (const ListItem& s : skip) repeated = repeated || s.atom == at;
    for (const ListItem& s : out) repeated = repeated || s.atom == at;
    if (repeated) continue;
    int32_t species = -1;
    if (open != std::string::npos) {
      std::string name = item.substr(open + 1, item.size() - open - 2);
      for (int e = 0; e < at->nelements && species < 0; ++e)
        if (name == at->elements[e].name) species = e;
      if (species < 0) {
        message<-140>(item.c_str());
        dataerror();
      }
    }
    out.push_back(ListItem{at, species});
  }
  return 0;
}

// The context of one enumeration of pairs.
struct Builder {
  PairPotential* pot;
  PhaseRecord* phase;
  ListItem item1, item2;
  int32_t ilage, ibasis;
  double factor;
  bool gebunden;                   // the bond exclusions apply
  std::vector<BondEntry> rstbond;  // translations of atom 2 bonded to atom 1
};
Builder ctx;

// Appends one pair term at the lattice translation t, unless the pair is
// bonded there.
void wwbau(int32_t t1, int32_t t2, int32_t t3) {
  if (ctx.gebunden)
    for (const BondEntry& e : ctx.rstbond)
      if (e.t[0] == t1 && e.t[1] == t2 && e.t[2] == t3) return;
  if (nww == maxww) {
    int grown = maxww + 1000;
    auto* array = static_cast<PairTerm*>(
        std::realloc(wwarray, sizeof(PairTerm) * static_cast<size_t>(grown)));
    if (array == nullptr) outofmemory();
    wwarray = array;
    maxww = grown;
  }
  wwarray[nww++] =
      PairTerm{ctx.pot,   ctx.item1.atom, ctx.item2.atom, ctx.item1.species, ctx.item2.species,
               ctx.ilage, ctx.ibasis,     ctx.factor,     {t1, t2, t3}};
}

// Bound of the lattice translations that innen counts through: the pair
// radius (at most three times 1 nm) reaches a few tens of cells at most, so
// a bound beyond it is a broken metric and no translation is taken.
constexpr double kReachLimit = 1e6;

// Every lattice translation t with |t + (dx, dy, dz)| <= R in the phase's
// metric, row by row: t1 within the sphere's extent R a* along the first
// axis, t2 and t3 within the exact bounds of the ellipse and the chord that
// the rows before leave.
void innen(double R, double dx, double dy, double dz) {
  const double* g = ctx.phase->metric;  // a^2, b^2, c^2, ab cos gamma, ac cos beta, bc cos alpha
  const double g11 = g[0], g22 = g[1], g33 = g[2], g12 = g[3], g13 = g[4], g23 = g[5];
  const double reach = R * std::sqrt(ctx.phase->rmetric[0]);
  const double m22 = g22 * g33 - g23 * g23;
  const double lo1 = std::ceil(-reach - dx), hi1 = std::floor(reach - dx);
  if (!(lo1 >= -kReachLimit && hi1 <= kReachLimit)) return;
  for (int32_t t1 = static_cast<int32_t>(lo1); t1 <= static_cast<int32_t>(hi1); ++t1) {
    const double x = t1 + dx;
    const double yc = -(g12 * g33 - g23 * g13) * x / m22;
    const double D = (R * R * g33 - (g11 * g33 - g13 * g13) * x * x) / m22 + yc * yc;
    if (!(D >= 0)) continue;
    const double lo2 = std::ceil(yc - std::sqrt(D) - dy), hi2 = std::floor(yc + std::sqrt(D) - dy);
    if (!(lo2 >= -kReachLimit && hi2 <= kReachLimit)) continue;
    for (int32_t t2 = static_cast<int32_t>(lo2); t2 <= static_cast<int32_t>(hi2); ++t2) {
      const double y = t2 + dy;
      const double zc = -(g13 * x + g23 * y) / g33;
      const double E = zc * zc - (2 * g12 * x * y + g11 * x * x + g22 * y * y - R * R) / g33;
      if (!(E >= 0)) continue;
      const double lo3 = std::ceil(zc - std::sqrt(E) - dz),
                   hi3 = std::floor(zc + std::sqrt(E) - dz);
      if (!(lo3 >= -kReachLimit && hi3 <= kReachLimit)) continue;
      for (int32_t t3 = static_cast<int32_t>(lo3); t3 <= static_cast<int32_t>(hi3); ++t3)
        wwbau(t1, t2, t3);
    }
  }
}

// Every pair of item1's reference site with all sites of item2 within three
// times the potential's minimum distance.
void pairs(const ListItem& i1, const ListItem& i2, double factor) {
  AtomRecord* a1 = i1.atom;
  AtomRecord* a2 = i2.atom;
  ctx.item1 = i1;
  ctx.item2 = i2;
  ctx.factor = factor;
  ctx.rstbond.clear();
  for (int e = 0; e < a1->nextbonds; ++e)
    if (a1->extbonds[e].atom == a2) ctx.rstbond.push_back(a1->extbonds[e]);
  // Without bond lists (restraints switched on after they were built) an
  // atom still never pairs with itself in place.
  if (a1 == a2 && a1->nextbonds == 0) ctx.rstbond.push_back(BondEntry{{0, 0, 0}, a1});
  const SiteRecord& ref = a1->sites[0];
  for (int j = 0; j < a2->wyckoff->count; ++j)
    for (int c = 0; c < ctx.phase->ncentring; ++c) {
      ctx.ilage = j;
      ctx.ibasis = c;
      ctx.gebunden = j == 0 && c == 0;
      const SiteRecord& s = a2->sites[j];
      innen(3 * ctx.pot->r0, s.x[c] - ref.x[0], s.y[c] - ref.y[0], s.z[c] - ref.z[0]);
    }
}

double cellfactor(const AtomRecord* a1) {
  return static_cast<double>(a1->wyckoff->count) * static_cast<double>(ctx.phase->ncentring);
}

// Pairs between the atoms of the first and the second list.
void makeww2(PairPotential* pot) {
  ctx.pot = pot;
  std::vector<ListItem> list1, list2;
  parselist(pot->phase, pot->list1, {}, list1);
  parselist(pot->phase, pot->list2, list1, list2);
  if (list2.empty()) return;
  for (const ListItem& i1 : list1)
    for (const ListItem& i2 : list2) pairs(i1, i2, cellfactor(i1.atom));
}

// Pairs within one list, each unordered pair once: an atom with itself counts
// half.
void makeww1(PairPotential* pot) {
  ctx.pot = pot;
  std::vector<ListItem> list;
  if (parselist(pot->phase, pot->list1, {}, list) != 0) internal_error("klevel", kModule, 452);
  for (size_t i = 0; i < list.size(); ++i)
    for (size_t j = i; j < list.size(); ++j)
      pairs(list[i], list[j], i == j ? 0.5 * cellfactor(list[i].atom) : cellfactor(list[i].atom));
}

void rebuild() {
  nww = 0;
  for (PairPotential* pot = wwargfirst; pot != nullptr; pot = pot->next) {
    ctx.phase = pot->phase;
    if (pot->list1 == nullptr) continue;
    if (pot->list2 == nullptr)
      makeww1(pot);
    else
      makeww2(pot);
  }
  ctx.rstbond.clear();
  ctx.rstbond.shrink_to_fit();
  qplus = 0.0;
}

// The weight of one side of a pair: the element's occupancy, or the atom's.
double sideweight(const AtomRecord* at, int32_t species) {
  return species >= 0 ? at->elements[species].occupancy : at->occsum;
}

}  // namespace

// ---------------------------------------------------------------------------
// Declarations

double ww(const char* name, const char* const* args, int nargs) {
  const bool alt = std::strcmp(name, "WWalt") == 0;
  if (nargs > (alt ? 7 : 6)) dataerror();
  if (!recording()) return 1.0;
  const double A = Wert(args[0]), a = Wert(args[1]), B = Wert(args[2]), b = Wert(args[3]);
  if (!(A * a != 0 && B * b != 0 && a < 0 && b < 0 && (b - a) * B * b > 0)) {
    message<-139>();
    dataerror();
  }
  const double base = -(B * b) / (A * a);
  if (!(base > 0)) {
    message<-139>();
    dataerror();
  }
  double r0 = std::pow(base, 1.0 / (a - b));
  const double Vmin = A * std::pow(r0, a) + B * std::pow(r0, b);
  if (phasei->unit == UNIT_ANGSTROEM) r0 *= 0.1;
  if (!(r0 >= 0.1 && r0 <= 1.0)) {
    message<-133>(args[0], args[1], args[2], args[3]);
    dataerror();
  }
  const double weight = alt ? Wert(args[nargs - 1]) : 0.0;

  while (*wwaktuell != nullptr && (*wwaktuell)->phase != phasei) wwaktuell = &(*wwaktuell)->next;
  if (*wwaktuell == nullptr) {
    *wwaktuell = kcalloc<PairPotential>(1);
    (*wwaktuell)->phase = phasei;
  }
  PairPotential* p = *wwaktuell;
  p->A = A;
  p->a = a;
  p->B = B;
  p->b = b;
  p->r0 = r0;
  p->Vmin = Vmin;
  p->alt = alt ? 1 : 0;
  p->weight = alt ? weight : p->weight;
  keeptext(&p->list1, stripparentheses(args[4]).c_str());
  keeptext(&p->list2, nargs == (alt ? 7 : 6) ? stripparentheses(args[5]).c_str() : nullptr);
  wwaktuell = &p->next;
  return 1.0;
}

double straf(const char* /*name*/, const char* const* args, int /*nargs*/) {
  if (!recording() || strafaktuell == nullptr) return 1.0;
  const double value = Wert(args[0]);
  while (*strafaktuell != nullptr && (*strafaktuell)->phase != phasei)
    strafaktuell = &(*strafaktuell)->next;
  if (*strafaktuell == nullptr) {
    *strafaktuell = kcalloc<PenaltyTerm>(1);
    (*strafaktuell)->phase = phasei;
    ++nstraf;
  }
  (*strafaktuell)->value = value;
  strafaktuell = &(*strafaktuell)->next;
  return 1.0;
}

void ksinit() {
  wwaktuell = &wwargfirst;
  strafaktuell = &straffirst;
}

// ---------------------------------------------------------------------------
// Residuals

void ksexec(bool rebuildflag) {
  if (ifksinit.load(std::memory_order_acquire)) {
    requestmutex(&initmutex);
    try {
      if (ifksinit.load(std::memory_order_relaxed)) {
        for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next)
          if (ph->theory > 0) bondsetup(ph);
        ifksinit.store(false, std::memory_order_release);
      }
    } catch (...) {
      releasemutex(&initmutex);
      throw;
    }
    releasemutex(&initmutex);
  }
  if (rebuildflag) rebuild();

  std::free(fxplus);
  mplus = nww + nstraf;
  fxplus = kcalloc<double>(static_cast<size_t>(mplus));
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next) ph->energy = 0.0;

  for (int k = 0; k < nww; ++k) {
    const PairTerm& term = wwarray[k];
    const PairPotential& P = *term.pot;
    PhaseRecord* ph = P.phase;
    const double s = term.factor * ph->theory;
    const SiteRecord& s1 = term.atom1->sites[0];
    const SiteRecord& s2 = term.atom2->sites[term.ilage];
    const int c = term.ibasis;
    const double d[3] = {term.t[0] + s2.x[c] - s1.x[0], term.t[1] + s2.y[c] - s1.y[0],
                         term.t[2] + s2.z[c] - s1.z[0]};
    const double* g = ph->metric;
    const double r2 = g[0] * d[0] * d[0] + g[1] * d[1] * d[1] + g[2] * d[2] * d[2] +
                      2 * (g[3] * d[0] * d[1] + g[4] * d[0] * d[2] + g[5] * d[1] * d[2]);
    if (r2 < 4.930380657631324e-28) {
      fatal<-128>(term.atom1->atomname, term.atom2->atomname);
    }
    const double r = std::sqrt(r2);
    const double ru = ph->unit == UNIT_ANGSTROEM ? 10 * r : r;
    const double V = P.A * std::pow(ru, P.a) + P.B * std::pow(ru, P.b);
    double w = P.alt
                   ? P.weight
                   : sideweight(term.atom1, term.species1) * sideweight(term.atom2, term.species2);
    // A negative (or undefined) occupancy weighs nothing rather than making
    // the residual undefined.
    w = w > 0 ? w : 0.0;
    // V(r) >= Vmin up to rounding: a difference rounded below zero counts as 0.
    if (r > P.r0) {
      const double x = r / P.r0;
      const double f = x > 3 ? 0.0 : x * (3 - x) * (3 - x) / 4;
      const double e = (f * V * w - w * P.Vmin) * s;
      fxplus[k] = -std::sqrt(e > 0 ? e : 0.0);
      ph->energy += V * w * term.factor * f;
    } else {
      const double e = (V * w - w * P.Vmin) * s;
      fxplus[k] = std::sqrt(e > 0 ? e : 0.0);
      ph->energy += V * w * term.factor;
    }
    if (rebuildflag) qplus += w * term.factor * ph->theory * P.Vmin;
  }
  int k = nww;
  for (PenaltyTerm* t = straffirst; t != nullptr; t = t->next, ++k) {
    fxplus[k] = std::sqrt(t->phase->theory) * t->value;
    t->phase->energy += t->value * t->value;
  }
}

void ksclear() {
  std::free(wwarray);
  wwarray = nullptr;
  nww = maxww = 0;
  ctx.rstbond.clear();
  ctx.rstbond.shrink_to_fit();
  while (straffirst != nullptr) {
    PenaltyTerm* next = straffirst->next;
    std::free(straffirst);
    straffirst = next;
  }
  nstraf = 0;
  while (wwargfirst != nullptr) {
    PairPotential* next = wwargfirst->next;
    std::free(wwargfirst->list1);
    std::free(wwargfirst->list2);
    std::free(wwargfirst);
    wwargfirst = next;
  }
  std::free(fxplus);
  fxplus = nullptr;
  mplus = 0;
  qplus = 0.0;
  for (PhaseRecord* ph = phase1; ph != nullptr; ph = ph->next)
    for (AtomRecord* at = ph->atoms; at != nullptr; at = at->next) {
      std::free(at->bonds);
      std::free(at->extbonds);
      at->bonds = at->extbonds = nullptr;
      at->nbonds = at->nextbonds = at->nextgrowing = at->maxextbonds = 0;
    }
  // The lists the cursors pointed into are gone: no pass runs until ksinit.
  wwaktuell = nullptr;
  strafaktuell = nullptr;
  ifksinit.store(true, std::memory_order_release);
}

}  // namespace crystal
