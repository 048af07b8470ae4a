// Structure factor and scattering power.
#include "crystal/fcalc.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/data.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "crystal/afa.hpp"

namespace crystal {
using namespace core;

namespace {

constexpr double kTwoPi = 6.28318530717958647692;

// Penalty of a displacement that is not a number: large, but finite, so that
// the least squares can still compare it.
constexpr double kNanPenalty = 1.0e10;

// Leaves through the caller's error frame.
[[noreturn]] void raise() {
  dataerr_jmp();
  throw DataJump{};  // every caller of the structure factor holds a frame
}

// Reads a TDS variable; a failure prints message -9 with its name.
double readtds(const char* name) {
  double v = 0.0;
  if (!dataerr_try([&] { v = GetVar(name); })) {
    message<-9>(name);
    ClearErr();
    raise();
  }
  return v;
}

// Which TDS variable reflection kind iref reads, found once per kind under
// initmutex: "TDS[iref]" when it exists, else "TDS" when that exists, else none.
const TdsProbe& tdsprobe(PhaseRecord* ph, int32_t iref) {
  std::atomic_ref<int32_t> probed(ph->ntdsprobes);
  if (probed.load(std::memory_order_acquire) < ph->RefMult) {
    requestmutex(&initmutex);
    if (probed.load(std::memory_order_relaxed) < ph->RefMult) {
      if (ph->tdsprobes == nullptr) {
        // Read by every worker at every structure factor: on lines of its
        // own, away from what the worker that makes it writes while it computes.
        ph->tdsprobes = linecalloc<TdsProbe>(static_cast<size_t>(ph->RefMult));
        for (int32_t i = 0; i < ph->RefMult; ++i) ph->tdsprobes[i].notprobed = 1;
      }
      TdsProbe& p = ph->tdsprobes[iref];
      if (p.notprobed != 0) {
        p.notprobed = 0;
        if (dataerr_try([] { GetVar("TDS[iref]"); }))
          p.tdsiref = 1;
        else if (dataerr_try([] { GetVar("TDS"); }))
          p.tds = 1;
        ClearErr();
        probed.store(probed.load(std::memory_order_relaxed) + 1, std::memory_order_release);
      }
    }
    releasemutex(&initmutex);
  }
  return ph->tdsprobes[iref];
}

// The phase-level TDS value of reflection kind iref (nm^2).
double tdsvalue(PhaseRecord* ph, int32_t iref) {
  const TdsProbe& p = tdsprobe(ph, iref);
  double v = 0.0;
  if (p.tdsiref != 0)
    v = readtds("TDS[iref]");
  else if (p.tds != 0)
    v = readtds("TDS");
  return ph->unit == UNIT_ANGSTROEM ? v * 0.01 : v;
}

// Sets the calling thread's temperature-factor penalty slot of an atom. The
// slots of all workers share a cache line and every line of the phase sets
// the same value again: only a change is written, so that the workers do not
// take the line from each other at every reflection.
void setpenalty(AtomRecord* atom, double value, int id) {
  double& slot = id < 0 ? atom->penalty : atom->threadpenalty[id];
  if (std::bit_cast<uint64_t>(slot) != std::bit_cast<uint64_t>(value)) slot = value;
}

// A TDS that depends on the reflection, read in the atom's scope of the
// calling thread; a failure prints message 261 with the atom number.
double reflectiontds(const PhaseRecord* ph, AtomRecord* atom) {
  const int id = threadid();
  DATAlist* scope = id < 0 ? atom->scope : atom->threadscope[id];
  popDATAlist(scope);
  double B = 0.0;
  const bool ok = dataerr_try([&] { B = GetVar("TDS"); });
  if (id < 0)
    atom->scope = pushDATAlist();
  else
    atom->threadscope[id] = pushDATAlist();
  if (!ok) {
    message<261>(atom->number);
    raise();
  }
  return ph->unit == UNIT_ANGSTROEM ? B * 0.01 : B;
}

// True when one of chars occurs in s outside round and square brackets.
bool outsidebrackets(const char* s, const char* chars) {
  int depth = 0;
  for (; *s != 0; ++s) {
    if (*s == '(' || *s == '[')
      ++depth;
    else if (*s == ')' || *s == ']')
      --depth;
    else if (depth == 0 && std::strchr(chars, *s) != nullptr)
      return true;
  }
  return false;
}

// The items of a list separated by commas outside brackets.
std::vector<std::string> splitlist(const std::string& list) {
  std::vector<std::string> items(1);
  int depth = 0;
  for (char c : list) {
    if (c == ',' && depth == 0) {
      items.emplace_back();
      continue;
    }
    if (c == '(' || c == '[') ++depth;
    if (c == ')' || c == ']') --depth;
    items.back() += c;
  }
  return items;
}

[[noreturn]] void speciesfault(const char* text) {
  message<-192>(text);
  raise();
}

// Scattering power of the species list in the variable E at s2 (statement:
// the E= statement, for the messages). Weighted items name(weight) take
// their weights, the plain items share the rest of the site equally.
Amplitude specieslist(const char* statement, double s2) {
  char buffer[8000];
  GetStrVar("E", 7999, buffer);
  std::string list = buffer;
  if (!list.empty() && list.front() == '(') {
    if (list.size() < 2 || list.back() != ')') speciesfault(statement);
    list = list.substr(1, list.size() - 2);
  }
  const bool neutrons = ifneutrons();
  double sw = 0.0, wre = 0.0, wim = 0.0, pre = 0.0, pim = 0.0;
  int plain = 0;
  for (std::string item : splitlist(list)) {
    double weight = 1.0;
    const size_t open = item.find('(');
    const bool weighted = open != std::string::npos;
    if (weighted) {
      if (item.back() != ')') speciesfault(statement);
      weight = Wert(item.substr(open + 1, item.size() - open - 2).c_str());
      item.resize(open);
    }
    ScatteringData sd = {};
    if (afaparm(item.c_str(), sd) == 0) speciesfault(item.c_str());
    double re = 0.0, im = 0.0;
    if (neutrons) {
      re = sd[SD_BCOH] + sd[SD_BRES];
      im = sd[SD_BIM];
    } else {
      re = sd[SD_C] + sd[SD_FP];
      for (int j = 0; j < 4; ++j) re += sd[SD_A1 + j] * std::exp(-0.0025 * s2 * sd[SD_B1 + j]);
      im = sd[SD_FPP];
    }
    if (weighted) {
      sw += weight;
      wre += weight * re;
      wim += weight * im;
    } else {
      ++plain;
      pre += re;
      pim += im;
    }
  }
  if (sw <= 0.0) {
    // Only the plain items count; without one nothing on the site scatters.
    if (plain == 0) speciesfault(statement);
    return {pre / plain, pim / plain};
  }
  if (sw >= 1.0) return {wre / sw, wim / sw};
  if (plain >= 1) return {pre * (1.0 - sw) / plain + wre, pim * (1.0 - sw) / plain + wim};
  return {wre, wim};
}

// Adds the atom described by the variables TDS, Wyckoff, x, y, z with
// scattering power f to the sums of F at (h, k, l).
void adduseratom(const Amplitude& f, const double hkl[3], double s2, double& re, double& im) {
  const PhaseRecord* ph = phasei;
  const double tds = GetVar("TDS") * (ph->unit == UNIT_ANGSTROEM ? 0.01 : 1.0);
  const double T = std::exp(-0.25 * tds * s2);
  char wyckoff[64];
  GetStrVar("Wyckoff", 63, wyckoff);
  const WyckoffRecord* w = findwyckoff(ph->group, wyckoff);
  if (w == nullptr) {
    message<-20>(wyckoff);
    raise();
  }
  const double free[3] = {w->xfree ? GetVar("x") : 0.0, w->yfree ? GetVar("y") : 0.0,
                          w->zfree ? GetVar("z") : 0.0};
  double C = 0.0, S = 0.0;
  for (int32_t i = 0; i < w->count; ++i) {
    double pos[3];
    for (int r = 0; r < 3; ++r) {
      const SymComponent& c = w->op[i].comp[r];
      pos[r] = c.constant + c.coef[0] * free[0] + c.coef[1] * free[1] + c.coef[2] * free[2];
    }
    for (int32_t t = 0; t < ph->ncentring; ++t) {
      const double* tr = ph->centring[t];
      const double phase = kTwoPi * ((pos[0] + tr[0]) * hkl[0] + (pos[1] + tr[1]) * hkl[1] +
                                     (pos[2] + tr[2]) * hkl[2]);
      C += std::cos(phase);
      S += std::sin(phase);
    }
  }
  re += T * (f.re * C - f.im * S);
  im += T * (f.im * C + f.re * S);
}

}  // namespace

Amplitude f1(const ElementRecord* species, int32_t count, int32_t anomalous, double s2) {
  Amplitude r{0.0, 0.0};
  const bool neutrons = ifneutrons();
  for (int32_t i = 0; i < count; ++i) {
    const double* d = species[i].scat;
    const double w = species[i].occupancy;
    if (neutrons) {
      r.re += w * d[SD_BCOH];
      if (anomalous != 0) {
        r.re += w * d[SD_BRES];
        r.im += w * d[SD_BIM];
      }
    } else {
      double f = d[SD_C];
      for (int j = 0; j < 4; ++j) f += d[SD_A1 + j] * std::exp(-0.0025 * s2 * d[SD_B1 + j]);
      if (anomalous != 0) {
        f += d[SD_FP];
        r.im += w * d[SD_FPP];
      }
      r.re += w * f;
    }
  }
  return r;
}

double isotropicdisplacement(PhaseRecord* ph, AtomRecord* atom) {
  switch (atom->tdskind) {
    case TDS_PERREFLECTION:
      return reflectiontds(ph, atom);
    case TDS_NONE:
      return tdsvalue(ph, 0);
    default:
      return atom->B;
  }
}

double tdspenalty(double B) {
  if (std::isnan(B)) return kNanPenalty;
  return B <= 0.0 ? 100000.0 * B : 0.0;
}

namespace {

// ---------------------------------------------------------------------------
// What the structure factor of an F-record worked out the last time, kept
// by each thread for itself, or in a line pass for the threads together

// Between two evaluations of a reflection's line most inputs of its structure
// factor keep their bits (a finite-difference probe moves one parameter): the
// phase angles of the sites, the temperature factors and the X-ray form
// factors of most atoms come out as the last time. Each thread keeps, per
// F-record it computed, what it worked out together with the inputs each
// value came from, and takes a value again only when the inputs are the same
// to the bit: a value taken again is the one the same operations on the same
// inputs give. The memo belongs to its thread alone (thread_local), so the
// workers that compute lines of one record at the same time never share it.
// In a line pass, where each reflection goes to one worker, the blocks of
// the reflections' own records are kept once for all threads instead (see
// PhaseStamps), laid out the same way.
//
// The block of an F-record begins with the record's sums (kRecordKept
// doubles): the stamp of the phase's structure in the line pass, s^2, h, k,
// l, the phase's TDS of the kind, the kind of sum and the reflection kind,
// then the four sums they gave, taken again as a whole when all are the
// same (a probe that moved nothing of the structure). Then, close together
// so that a line whose atoms mostly kept their terms reads few cache lines,
// per atom (kCompact doubles):
//   [0]      the atom's layout word: its element count and its number of
//            site and centring pairs, which fix where everything lies;
//   [1..11]  the atom's four terms with what they came from: the stamp of
//            the atom's structure inputs in the line pass, B, s^2, h, k, l
//            and the kind of sum (anomalous, neutrons, site-wise temperature
//            factor); taken again as a whole when all of these are the
//            same, so that an atom that a probe did not move costs no phase
//            angle at all.
// Then per atom what its terms are worked out from (bulkykept doubles):
//   [0], [1] the argument -B s^2 / 4 of the temperature factor and its exp;
//   per element (kElementKept): s^2, the anomalous flag (0 or 1; -1 while
//            unknown), the form factor before the occupancy, and the form
//            numbers a1..a4, b1..b4, c, mu, f' it came from;
//   per site and centring: the phase angle, its cosine and its sine.
// An argument or phase angle not yet known holds a signalling NaN: a product
// never gives one (a NaN operand comes out quiet), so no key matches it.

constexpr int32_t kFormNumbers = SD_FP + 1;  // a1..a4, b1..b4, c, mu, f'
constexpr int32_t kElementKept = 3 + kFormNumbers;
// The atom's terms and their key: stamp, B, s^2, h, k, l, kind; four terms.
constexpr int32_t kTermKey = 7;
constexpr size_t kCompact = 1 + kTermKey + 4;
// The record's sums and their key.
constexpr int32_t kRecordKey = 8;
constexpr size_t kRecordKept = kRecordKey + 4;
constexpr double kFormUnknown = -1.0;  // the flag of a form factor not yet known

// The most doubles one thread keeps (4 MiB, beside its table of records of
// at most 2 MiB), and the most one F-record may take of them: a structure so
// large that few reflections would fit is computed afresh every time, as is
// every record beyond the first ones that filled the memo.
constexpr size_t kMostKept = size_t{1} << 19;
constexpr size_t kMostPerRecord = kMostKept / 16;
// Slots of the record table: the first size and the most (half of them at
// most taken, so that a search ends soon).
constexpr size_t kFirstSlots = 256;
constexpr size_t kMostSlots = size_t{1} << 16;

const double kUnknown = std::bit_cast<double>(uint64_t{0x7ff4000000000001});

// The cosine and sine of one angle by one sincos (what the compiler makes
// of a cosine and a sine of one angle side by side), for the sums computed
// afresh and the kept ones alike.
void cosinesine(double angle, double& cosine, double& sine) { ::sincos(angle, &sine, &cosine); }

bool samebits(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

size_t bulkykept(const AtomRecord* atom, const PhaseRecord* ph) {
  return 2 + static_cast<size_t>(kElementKept) * static_cast<size_t>(atom->nelements) +
         3 * static_cast<size_t>(atom->wyckoff->count) * static_cast<size_t>(ph->ncentring);
}

double layoutword(const AtomRecord* atom, const PhaseRecord* ph) {
  const auto pairs = static_cast<uint32_t>(atom->wyckoff->count * ph->ncentring);
  return std::bit_cast<double>(uint64_t{static_cast<uint32_t>(atom->nelements)} << 32 | pairs);
}

struct MemoEntry {
  const FRecord* F = nullptr;  // null: a free slot
  size_t at = 0;               // first double of the block in kept
  size_t count = 0;            // doubles of the block as laid out
  size_t room = 0;             // doubles the block may take
};

struct SiteMemo {
  std::vector<MemoEntry> table;  // open addressing by the record's address
  std::vector<double> kept;      // the blocks
  size_t used = 0;               // doubles of kept handed out
  size_t entries = 0;            // slots taken
  uint64_t made = 0;             // frecordsmade when the memo was emptied
  // Where a record new to the memo is computed directly at once: the memo
  // is full, or the phase's records are too large for it.
  bool full = false;
  const PhaseRecord* toolarge = nullptr;
};

thread_local SiteMemo memo;

size_t slotof(const FRecord* F, size_t slots) {
  const auto bits = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(F));
  return static_cast<size_t>((bits >> 6) * 0x9e3779b97f4a7c15ULL >> 40) & (slots - 1);
}

// The slot of F: the one that holds it, else the free one where it goes.
MemoEntry& findslot(SiteMemo& m, const FRecord* F) {
  const size_t mask = m.table.size() - 1;
  size_t i = slotof(F, m.table.size());
  while (m.table[i].F != nullptr && m.table[i].F != F) i = (i + 1) & mask;
  return m.table[i];
}

// Room for need more doubles; false when the memo is full.
bool makeroom(SiteMemo& m, size_t need) {
  if (m.used + need > kMostKept) return false;
  if (m.used + need > m.kept.size())
    m.kept.resize(std::min(kMostKept, std::max({2 * m.kept.size(), m.used + need, size_t{4096}})));
  return true;
}

// A slot for one more record; false when the table may grow no further.
bool makeslot(SiteMemo& m) {
  if (2 * (m.entries + 1) <= m.table.size()) return true;
  if (2 * m.table.size() > kMostSlots) return false;
  std::vector<MemoEntry> old(2 * m.table.size());
  old.swap(m.table);
  for (const MemoEntry& e : old)
    if (e.F != nullptr) findslot(m, e.F) = e;
  return true;
}

size_t atomcount(const PhaseRecord* ph) {
  size_t n = 0;
  for (const AtomRecord* atom = ph->atoms; atom != nullptr; atom = atom->next) ++n;
  return n;
}

// True when the block of count doubles is laid out for the phase's atoms.
bool laidout(const double* block, size_t count, const PhaseRecord* ph) {
  size_t at = kRecordKept, bulky = 0;
  for (const AtomRecord* atom = ph->atoms; atom != nullptr; atom = atom->next) {
    if (at >= count || !samebits(block[at], layoutword(atom, ph))) return false;
    at += kCompact;
    bulky += bulkykept(atom, ph);
  }
  return at + bulky == count;
}

// Lays the block out for the phase's atoms, every value unknown.
void layout(double* block, const PhaseRecord* ph) {
  block[0] = kUnknown;
  double* compact = block + kRecordKept;
  double* bulky = compact + kCompact * atomcount(ph);
  for (const AtomRecord* atom = ph->atoms; atom != nullptr; atom = atom->next) {
    compact[0] = layoutword(atom, ph);
    compact[1] = kUnknown;
    bulky[0] = kUnknown;
    double* forms = bulky + 2;
    for (int32_t i = 0; i < atom->nelements; ++i) forms[kElementKept * i + 1] = kFormUnknown;
    double* angles = forms + kElementKept * atom->nelements;
    const int32_t pairs = atom->wyckoff->count * ph->ncentring;
    for (int32_t i = 0; i < pairs; ++i) angles[3 * i] = kUnknown;
    compact += kCompact;
    bulky += bulkykept(atom, ph);
  }
}

// The calling thread's block of F for the current phase's atoms; null when
// the record is to be computed afresh (a memo that is full, or a structure
// too large for it).
double* siteblock(const FRecord* F, const PhaseRecord* ph) {
  SiteMemo& m = memo;
  const uint64_t made = frecordsmade.load(std::memory_order_relaxed);
  if (m.made != made) {
    // New records came: those the memo knows may be gone, their addresses
    // taken by others. Start again (keeping the storage).
    std::fill(m.table.begin(), m.table.end(), MemoEntry{});
    m.used = m.entries = 0;
    m.made = made;
    m.full = false;
    m.toolarge = nullptr;
  }
  if (m.table.empty()) m.table.resize(kFirstSlots);
  MemoEntry* e = &findslot(m, F);
  if (e->F == F && laidout(m.kept.data() + e->at, e->count, ph)) return m.kept.data() + e->at;
  if (e->F != F && (m.full || ph == m.toolarge)) return nullptr;
  size_t need = kRecordKept;
  for (const AtomRecord* atom = ph->atoms; atom != nullptr && need <= kMostPerRecord;
       atom = atom->next)
    need += kCompact + bulkykept(atom, ph);
  if (need > kMostPerRecord) {
    m.toolarge = ph;
    return nullptr;
  }
  if (ph->atoms == nullptr) return nullptr;
  if (e->F != F) {
    // A record new to the memo.
    if (!makeslot(m)) {
      m.full = true;
      return nullptr;
    }
    e = &findslot(m, F);
  }
  if (e->F != F || need > e->room) {
    if (!makeroom(m, need)) {
      m.full = true;
      return nullptr;
    }
    if (e->F != F) ++m.entries;
    *e = MemoEntry{F, m.used, need, need};
    m.used += need;
  }
  e->count = need;
  double* block = m.kept.data() + e->at;
  layout(block, ph);
  return block;
}

// ---------------------------------------------------------------------------
// The stamps of the atoms' structure inputs in a line pass

// What an atom's terms and its share of the sums take from its record: its
// layout, displacement kind and B, weights, species with their scattering
// data and occupancies, and its sites with their displacement tensors. The
// same values give the same terms and shares.
void atominputs(const AtomRecord* atom, const PhaseRecord* ph, std::vector<double>& out) {
  out.push_back(layoutword(atom, ph));
  out.push_back(static_cast<double>(ph->ncentring));
  out.push_back(static_cast<double>(atom->tdskind));
  out.push_back(atom->B);
  const int32_t kinds = ph->FMult > 0 ? ph->FMult : ph->RefMult;
  out.push_back(atom->weights != nullptr ? static_cast<double>(kinds) : -1.0);
  if (atom->weights != nullptr) out.insert(out.end(), atom->weights, atom->weights + kinds);
  for (int32_t i = 0; i < atom->nelements; ++i) {
    const ElementRecord& e = atom->elements[i];
    out.insert(out.end(), e.scat, e.scat + SD_COUNT);
    out.push_back(e.occupancy);
  }
  for (int32_t s = 0; s < atom->wyckoff->count; ++s) {
    const SiteRecord& site = atom->sites[s];
    for (int32_t c = 0; c < ph->ncentring; ++c) {
      out.push_back(site.x[c]);
      out.push_back(site.y[c]);
      out.push_back(site.z[c]);
    }
    out.insert(out.end(), site.b, site.b + 6);
  }
}

// The inputs of a phase's atoms as the last stamping found them, and the
// stamps they got.
struct PhaseStamps {
  const PhaseRecord* ph = nullptr;
  std::vector<const AtomRecord*> atoms;
  std::vector<uint64_t> stamps;
  std::vector<size_t> ends;    // end of each atom's inputs in inputs
  std::vector<double> inputs;  // the atoms' inputs one after the other
  uint64_t stamp = 0;          // of the whole structure
  // The blocks of the reflections' own records, shared by the threads of
  // the line passes: a pass computes each reflection on one thread, and
  // the passes follow one another, so that a reflection finds what the
  // last pass worked out whichever thread computes it. Laid out by the
  // main thread when the records or the atoms' layout changed.
  std::vector<const FRecord*> records;  // of each reflection, in order
  std::vector<double> layoutwords;      // the atoms' layout words of the blocks
  std::vector<uint32_t> table;          // open addressing: 1 + the record's index, 0 free
  std::vector<double> blocks;           // need doubles per record
  size_t need = 0;
  uint64_t made = 0;    // frecordsmade when laid out
  bool shared = false;  // the blocks serve the passes
};

std::vector<PhaseStamps> phasestamps;
PhaseStamps freshstamps;  // the inputs being collected, swapped in afterwards
uint64_t laststamp = 0;
std::vector<double> freshwords;  // the atoms' layout words being collected
// The most doubles the shared blocks of a phase may take (32 MiB).
constexpr size_t kMostShared = size_t{1} << 22;

// The phase whose stamps hold while its line pass runs, and the stamps of
// its atoms in list order; set by the main thread before the pass.
const PhaseRecord* stampedphase = nullptr;
const uint64_t* atomstamps = nullptr;
// The stamp of the whole structure; 0 when a reflection's sums cannot be
// taken again as a whole (an atom reads its TDS per reflection).
uint64_t structurestamp = 0;
// The phase's shared blocks while they serve the pass, else null.
PhaseStamps* sharedstamps = nullptr;

// Lays out the phase's shared blocks again when its reflections' records,
// or the layout of its atoms, changed since they were laid out; they then
// serve the passes unless they would be too large (or a record came twice).
void shareblocks(PhaseStamps& p, const PhaseRecord* ph) {
  size_t need = kRecordKept;
  freshwords.clear();
  for (const AtomRecord* atom = ph->atoms; atom != nullptr; atom = atom->next) {
    need += kCompact + bulkykept(atom, ph);
    freshwords.push_back(layoutword(atom, ph));
  }
  const auto n = static_cast<size_t>(std::max(ph->nrefl, 0));
  if (ph->atoms == nullptr || n == 0 || need > kMostPerRecord || n * need > kMostShared) {
    p.shared = false;
    return;
  }
  const uint64_t made = frecordsmade.load(std::memory_order_relaxed);
  bool same =
      p.shared && need == p.need && made == p.made && p.records.size() == n &&
      p.layoutwords.size() == freshwords.size() &&
      std::memcmp(p.layoutwords.data(), freshwords.data(), freshwords.size() * sizeof(double)) == 0;
  for (size_t i = 0; same && i < n; ++i) same = p.records[i] == ph->refl[i]->fr1;
  if (same) return;
  p.shared = false;
  p.need = need;
  p.made = made;
  p.layoutwords = freshwords;
  p.records.resize(n);
  for (size_t i = 0; i < n; ++i) p.records[i] = ph->refl[i]->fr1;
  p.blocks.resize(n * need);
  for (size_t i = 0; i < n; ++i) layout(p.blocks.data() + i * need, ph);
  size_t slots = 16;
  while (slots < 2 * n) slots *= 2;
  p.table.assign(slots, 0);
  for (size_t i = 0; i < n; ++i) {
    size_t k = slotof(p.records[i], slots);
    while (p.table[k] != 0) {
      if (p.records[p.table[k] - 1] == p.records[i]) return;  // a record twice: not shared
      k = (k + 1) & (slots - 1);
    }
    p.table[k] = static_cast<uint32_t>(i + 1);
  }
  p.shared = true;
}

// The shared block of F in the current pass; null when F has none.
double* sharedblock(const FRecord* F) {
  PhaseStamps* p = sharedstamps;
  if (p == nullptr) return nullptr;
  const size_t mask = p->table.size() - 1;
  for (size_t k = slotof(F, p->table.size()); p->table[k] != 0; k = (k + 1) & mask) {
    const size_t i = p->table[k] - 1;
    if (p->records[i] == F) return p->blocks.data() + i * p->need;
  }
  return nullptr;
}

// The calling thread's block of F as it stands, for its sums; null when the
// memo does not hold the record.
const double* keptsums(const FRecord* F) {
  SiteMemo& m = memo;
  if (m.table.empty() || m.made != frecordsmade.load(std::memory_order_relaxed)) return nullptr;
  const MemoEntry& e = findslot(m, F);
  return e.F == F ? m.kept.data() + e.at : nullptr;
}

// exp(-B s^2 / 4), its argument and value kept in kept[0..1].
double temperaturefactor(double B, double s2, double* kept) {
  const double x = -0.25 * B * s2;
  if (!samebits(kept[0], x)) {
    kept[1] = std::exp(x);
    kept[0] = x;
  }
  return kept[1];
}

// f1 with, for X-rays, each element's form factor before its occupancy kept
// (kElementKept doubles per element): the same operations as f1 on the
// inputs that differ.
Amplitude f1kept(const ElementRecord* species, int32_t count, int32_t anomalous, double s2,
                 double* kept) {
  if (ifneutrons()) return f1(species, count, anomalous, s2);
  Amplitude r{0.0, 0.0};
  const double flag = anomalous != 0 ? 1.0 : 0.0;
  for (int32_t i = 0; i < count; ++i, kept += kElementKept) {
    const double* d = species[i].scat;
    const double w = species[i].occupancy;
    bool same = samebits(kept[0], s2) && kept[1] == flag;
    for (int32_t j = 0; same && j < kFormNumbers; ++j) same = samebits(kept[3 + j], d[j]);
    if (!same) {
      double f = d[SD_C];
      for (int j = 0; j < 4; ++j) f += d[SD_A1 + j] * std::exp(-0.0025 * s2 * d[SD_B1 + j]);
      if (anomalous != 0) f += d[SD_FP];
      kept[2] = f;
      std::memcpy(kept + 3, d, sizeof(double) * kFormNumbers);
      kept[0] = s2;
      kept[1] = flag;
    }
    if (anomalous != 0) r.im += w * d[SD_FPP];
    r.re += w * kept[2];
  }
  return r;
}

// What every atom's terms of one structure factor take.
struct Triple {
  PhaseRecord* ph;
  const uint64_t* stamps;  // the atoms' stamps of the line pass, or null
  int id;                  // the calling thread (threadid)
  double tds;              // the phase's TDS of the reflection kind
  int32_t anomalous, iref, kinds, ncomp;
  double (*components)[4];
  double h, k, l, s2;
  bool anisotropic;
};

// Adds an atom's terms with its weight to sum, or with components to each
// component with its weight for that component.
inline void addterms(const double terms[4], double wiref, double (*components)[4], int32_t ncomp,
                     const AtomRecord* atom, double sum[4]) {
  if (components == nullptr) {
    for (int i = 0; i < 4; ++i) sum[i] += wiref * terms[i];
  } else {
    for (int32_t j = 0; j < ncomp; ++j) {
      const double w = atom->weights == nullptr ? 1.0 : atom->weights[j];
      for (int i = 0; i < 4; ++i) components[j][i] += w * terms[i];
    }
  }
}

// Adds the terms of every atom to sum, or with components to the components:
// computed afresh, or (Kept) with the calling thread's block of the record.
// kept: the record's block behind its sums (the atoms' compact parts, then
// their bulky parts).
template <bool Kept>
void addatoms(const Triple& t, double* kept, double sum[4]) {
  // Locals, so that the writes to the sums and penalties leave them in registers.
  PhaseRecord* const ph = t.ph;
  const double h = t.h, k = t.k, l = t.l, s2 = t.s2, tds = t.tds;
  const int32_t anomalous = t.anomalous, iref = t.iref, kinds = t.kinds, ncomp = t.ncomp;
  double(*const components)[4] = t.components;
  const bool anisotropic = t.anisotropic;
  const int32_t ncentring = ph->ncentring;
  const uint64_t* const stamps = t.stamps;
  const int id = t.id;
  const uint64_t sumkind = (anomalous != 0 ? 1u : 0u) | (ifneutrons() ? 2u : 0u);
  int32_t index = -1;
  double* compact = kept;
  double* bulky = Kept ? kept + kCompact * atomcount(ph) : nullptr;
  for (AtomRecord* atom = ph->atoms; atom != nullptr; atom = atom->next) {
    double* const block = bulky;
    double* const termkey = Kept && stamps != nullptr ? compact + 1 : nullptr;
    ++index;
    if constexpr (Kept) {
      compact += kCompact;
      bulky += bulkykept(atom, ph);
    }
    const double wiref = atom->weights == nullptr ? 1.0 : iref < kinds ? atom->weights[iref] : 0.0;
    if (components == nullptr && wiref == 0.0) continue;
    double B = atom->B;
    switch (atom->tdskind) {
      case TDS_NONE:
        B = tds;
        break;
      case TDS_ONCE:
        setpenalty(atom, tdspenalty(B), id);
        break;
      case TDS_PERREFLECTION:
        B = reflectiontds(ph, atom);
        setpenalty(atom, tdspenalty(B), id);
        break;
      default:
        break;
    }
    const bool sitewise = atom->tdskind == TDS_ANISO && anisotropic;
    double terms[4];
    const double key[kTermKey] = {
        std::bit_cast<double>(stamps != nullptr ? stamps[index] : 0), B, s2, h, k, l,
        std::bit_cast<double>(sumkind | (sitewise ? 4u : 0u))};
    if (termkey != nullptr) {
      bool same = true;
      for (int32_t j = 0; same && j < kTermKey; ++j) same = samebits(termkey[j], key[j]);
      if (same) {
        for (int i = 0; i < 4; ++i) terms[i] = termkey[kTermKey + i];
        addterms(terms, wiref, components, ncomp, atom, sum);
        continue;
      }
    }
    const double T = sitewise ? 1.0
                     : Kept   ? temperaturefactor(B, s2, block)
                              : std::exp(-0.25 * B * s2);
    const Amplitude f = Kept ? f1kept(atom->elements, atom->nelements, anomalous, s2, block + 2)
                             : f1(atom->elements, atom->nelements, anomalous, s2);
    double* angles = Kept ? block + 2 + kElementKept * atom->nelements : nullptr;

    double C = 0.0, S = 0.0;
    const int32_t nsites = atom->wyckoff->count;
    for (int32_t s = 0; s < nsites; ++s) {
      const SiteRecord& site = atom->sites[s];
      double Ts = T;
      if (sitewise) {
        const double* b = site.b;
        Ts = std::exp(-(b[0] * h * h + b[1] * k * k + b[2] * l * l + 2.0 * b[3] * h * k +
                        2.0 * b[4] * h * l + 2.0 * b[5] * k * l));
      }
      for (int32_t c = 0; c < ncentring; ++c) {
        const double phase = kTwoPi * (h * site.x[c] + k * site.y[c] + l * site.z[c]);
        if constexpr (Kept) {
          if (!samebits(angles[0], phase)) {
            cosinesine(phase, angles[1], angles[2]);
            angles[0] = phase;
          }
          C += Ts * angles[1];
          S += Ts * angles[2];
          angles += 3;
        } else {
          double cosine, sine;
          cosinesine(phase, cosine, sine);
          C += Ts * cosine;
          S += Ts * sine;
        }
      }
    }
    terms[0] = f.re * C - f.im * S;
    terms[1] = f.im * C + f.re * S;
    terms[2] = f.re * C + f.im * S;
    terms[3] = f.im * C - f.re * S;
    if constexpr (Kept) {
      if (termkey != nullptr) {
        std::memcpy(termkey, key, sizeof key);
        std::memcpy(termkey + kTermKey, terms, sizeof terms);
      }
    }
    addterms(terms, wiref, components, ncomp, atom, sum);
  }
}

// The penalty slots the atoms' terms set, for sums taken again as a whole
// (no atom of the phase reads its TDS per reflection).
void keptpenalties(const Triple& t) {
  for (AtomRecord* atom = t.ph->atoms; atom != nullptr; atom = atom->next) {
    if (atom->tdskind != TDS_ONCE) continue;
    const double wiref = atom->weights == nullptr ? 1.0
                         : t.iref < t.kinds       ? atom->weights[t.iref]
                                                  : 0.0;
    if (wiref != 0.0) setpenalty(atom, tdspenalty(atom->B), t.id);
  }
}

}  // namespace

void fcalc(double out[4], int32_t anomalous, int32_t iref, double (*components)[4],
           const FRecord* F, int32_t index, double s2) {
  PhaseRecord* ph = phasei;
  const Triple t{ph,
                 ph == stampedphase ? atomstamps : nullptr,
                 threadid(),
                 tdsvalue(ph, iref),
                 anomalous,
                 iref,
                 ph->FMult > 0 ? ph->FMult : ph->RefMult,
                 components != nullptr ? ph->FMult : 0,
                 components,
                 static_cast<double>(F->hkl[index][0]),
                 static_cast<double>(F->hkl[index][1]),
                 static_cast<double>(F->hkl[index][2]),
                 s2,
                 durchlauf >= 2};
  for (int32_t j = 0; j < t.ncomp; ++j)
    for (double& v : components[j]) v = 0.0;
  double sum[4] = {0.0, 0.0, 0.0, 0.0};
  // The memo serves the reflection's own triple, the one its line computes.
  // The record's sums as a whole: their key is written with them, after
  // every atom's terms came through. A key that holds the structure's stamp
  // was written for this structure, so the block needs no other check.
  const uint64_t stamp =
      index == 0 && t.stamps != nullptr && components == nullptr ? structurestamp : 0;
  const double key[kRecordKey] = {
      std::bit_cast<double>(stamp),
      s2,
      t.h,
      t.k,
      t.l,
      t.tds,
      std::bit_cast<double>(uint64_t{anomalous != 0 ? 1u : 0u} | (ifneutrons() ? 2u : 0u) |
                            (t.anisotropic ? 4u : 0u)),
      static_cast<double>(iref)};
  // In a line pass the reflection's own record has its block among the
  // shared ones, always laid out for the structure; else the calling
  // thread's memo holds it.
  double* const shared = index == 0 && t.stamps != nullptr ? sharedblock(F) : nullptr;
  if (stamp != 0) {
    if (const double* sums = shared != nullptr ? shared : keptsums(F); sums != nullptr) {
      bool same = true;
      for (int32_t j = 0; same && j < kRecordKey; ++j) same = samebits(sums[j], key[j]);
      if (same) {
        keptpenalties(t);
        for (int i = 0; i < 4; ++i) out[i] = sums[kRecordKey + i];
        return;
      }
    }
  }
  double* kept = shared != nullptr ? shared : index == 0 ? siteblock(F, ph) : nullptr;
  if (kept == nullptr) {
    addatoms<false>(t, nullptr, sum);
    for (int i = 0; i < 4; ++i) out[i] = sum[i];
    return;
  }
  addatoms<true>(t, kept + kRecordKept, sum);
  if (stamp != 0) {
    std::memcpy(kept, key, sizeof key);
    std::memcpy(kept + kRecordKey, sum, sizeof sum);
  }
  for (int i = 0; i < 4; ++i) out[i] = sum[i];
}

void stampstructure(const PhaseRecord* ph) {
  PhaseStamps* p = nullptr;
  for (PhaseStamps& q : phasestamps)
    if (q.ph == ph) p = &q;
  if (p == nullptr) {
    phasestamps.emplace_back();
    p = &phasestamps.back();
    p->ph = ph;
  }
  PhaseStamps& f = freshstamps;
  f.atoms.clear();
  f.stamps.clear();
  f.ends.clear();
  f.inputs.clear();
  size_t i = 0;
  bool moved = false, perreflection = false;
  for (const AtomRecord* atom = ph->atoms; atom != nullptr; atom = atom->next, ++i) {
    perreflection = perreflection || atom->tdskind == TDS_PERREFLECTION;
    const size_t start = f.inputs.size();
    atominputs(atom, ph, f.inputs);
    const size_t n = f.inputs.size() - start;
    bool same = i < p->atoms.size() && p->atoms[i] == atom;
    if (same) {
      const size_t old = i == 0 ? 0 : p->ends[i - 1];
      same = p->ends[i] - old == n &&
             std::memcmp(p->inputs.data() + old, f.inputs.data() + start, n * sizeof(double)) == 0;
    }
    moved = moved || !same;
    f.atoms.push_back(atom);
    f.stamps.push_back(same ? p->stamps[i] : ++laststamp);
    f.ends.push_back(f.inputs.size());
  }
  moved = moved || i != p->atoms.size();
  std::swap(p->atoms, f.atoms);
  std::swap(p->stamps, f.stamps);
  std::swap(p->ends, f.ends);
  std::swap(p->inputs, f.inputs);
  if (moved || p->stamp == 0) p->stamp = ++laststamp;
  shareblocks(*p, ph);
  stampedphase = ph;
  atomstamps = p->stamps.data();
  structurestamp = perreflection ? 0 : p->stamp;
  sharedstamps = p->shared ? p : nullptr;
}

void endstructurestamps() {
  stampedphase = nullptr;
  atomstamps = nullptr;
  structurestamp = 0;
  sharedstamps = nullptr;
}

double fuser(const char*, const char* const* args, int nargs) {
  const int mode = getrekart();
  setrekart(2);
  const double hkl[3] = {GetVar("h"), GetVar("k"), GetVar("l")};
  const double* g = phasei->rmetric;  // g11, g22, g33, g12, g23, g13
  const double s2 = hkl[0] * (hkl[0] * g[0] + 2 * hkl[1] * g[3]) +
                    hkl[1] * (hkl[1] * g[1] + 2 * hkl[2] * g[4]) +
                    hkl[2] * (2 * hkl[0] * g[5] + hkl[2] * g[2]);
  // The statements describe the atoms in a scope of their own, so that they
  // leave the caller's variables (an atom's x, y, z, TDS) as they were.
  newDATAlist();
  double re = 0.0, im = 0.0;
  struct {
    bool pending = false;
    Amplitude f{0.0, 0.0};
  } atom;  // the atom being described
  for (int i = 1; i < nargs; ++i) {
    const char* statement = args[i];
    int done = 1;
    const bool assignment = outsidebrackets(statement, "=:");
    if (!dataerr_try([&] {
          if (assignment)
            done = ergibt(statement);
          else
            Wert(statement);
        }) ||
        done == 0) {
      message<-6>(statement);
      raise();
    }
    if (std::strlen(statement) < 3 || std::strncmp(statement, "E=", 2) != 0) continue;
    if (atom.pending) adduseratom(atom.f, hkl, s2, re, im);
    for (const char* v : {"x", "y", "z", "Wyckoff", "TDS"}) dataerr_try([&] { DelVar(v); });
    atom.f = specieslist(statement, s2);
    atom.pending = true;
  }
  if (atom.pending) adduseratom(atom.f, hkl, s2, re, im);
  DelAll();
  freeDATAlist();
  setrekart(mode);
  if (std::fabs(re) < DBL_MIN && std::fabs(im) < DBL_MIN) {
    SetVar(args[0], 0.0);
    return 0.0;
  }
  SetVar(args[0], std::atan2(im, re) * 180.0 / 3.14159265358979323846);
  return mycabs(re, im);
}

}  // namespace crystal
