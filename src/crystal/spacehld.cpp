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

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <sys/mman.h>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/infile.hpp"
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

// The records of the loaded database come one after the other from a region
// of their own, whose pages are put in place a quarter of a megabyte at a
// time as it fills: the shipped database's 4.7 MB of records one by one from
// calloc otherwise cost a page fault per 4 KB page, a third of the load.
// Fresh pages are zero, as from calloc. Records that do not fit, and all of
// them when the region cannot be had, are allocated one by one.
struct RecordRegion {
  char* base = nullptr;
  size_t size = 0;
  size_t used = 0;
  size_t populated = 0;  // bytes whose pages the parse put in place
  // While the parse runs on the main thread of a pool of several workers,
  // the first worker that comes puts the pages in place up to kAhead beyond
  // the used part, so that the parse finds them there (its own step then
  // costs a look only).
  std::atomic<size_t> reached{0};  // the used part, for that worker
  std::atomic<bool> claimed{false};
  std::atomic<bool> parsed{false};
};
RecordRegion region;
constexpr size_t kPopulateStep = size_t{256} << 10;
constexpr size_t kAhead = size_t{1} << 20;
// No region beyond this: a database that large takes its records one by one.
constexpr size_t kMostRegion = size_t{256} << 20;

void regionopen(size_t bytes) {
  if (bytes == 0 || bytes > kMostRegion) return;
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return;
  region.base = static_cast<char*>(p);
  region.size = bytes;
}

void regionclose() {
  if (region.base != nullptr) munmap(region.base, region.size);
  region.base = nullptr;
  region.size = region.used = region.populated = 0;
}

// Puts the pages of bytes at at in place, where the system can be asked to
// (elsewhere they come at their first use).
void populate(char* at, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  madvise(at, bytes, MADV_POPULATE_WRITE);
#else
  (void)at;
  (void)bytes;
#endif
}

void aheadparfkt(uint64_t /*arg*/) {
  // The caller's own share comes only after the parse.
  if (threadid() == 0 || region.claimed.exchange(true, std::memory_order_relaxed)) return;
  size_t at = 0;
  while (!region.parsed.load(std::memory_order_acquire)) {
    const size_t want =
        std::min(region.size, region.reached.load(std::memory_order_relaxed) + kAhead);
    if (at < want) {
      const size_t step = std::min(kPopulateStep, region.size - at);
      populate(region.base + at, step);
      at += step;
    } else {
      relax();
    }
  }
}

// count zeroed records of size bytes each; nullptr when memory is out.
void* recordalloc(size_t count, size_t size) {
  const size_t bytes = (count * size + 15) & ~size_t{15};
  if (region.base != nullptr && bytes <= region.size - region.used) {
    void* p = region.base + region.used;
    region.used += bytes;
    region.reached.store(region.used, std::memory_order_relaxed);
    while (region.populated < region.used) {
      const size_t step = std::min(kPopulateStep, region.size - region.populated);
      populate(region.base + region.populated, step);
      region.populated += step;
    }
    return p;
  }
  return std::calloc(count, size);
}

void recordfree(void* p) {
  const char* c = static_cast<const char*>(p);
  if (region.base != nullptr && c >= region.base && c < region.base + region.size) return;
  std::free(p);
}

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

// Number of operator lines per multiplicity for a centring letter (the
// centring translations are not listed); for R, whether the group's Lattice
// is Rhombohedral.
int divisorof(char letter, bool rhombohedral) {
  switch (letter) {
    case 'P':
      return 1;
    case 'A':
    case 'B':
    case 'C':
    case 'I':
      return 2;
    case 'F':
      return 4;
    case 'R':
      // Rhombohedral axes list all operators; hexagonal axes leave out the
      // two obverse translations.
      return rhombohedral ? 1 : 3;
    default:
      internal_error("wrongbasis", kModule, 147);
  }
}

// The divisor of the header in the top scope: the letter is the first
// character of BASIS, else of HermannMauguin.
int centringdivisor() {
  char letter[2] = "";
  if (!dataerr_try([&] { GetStrVar("BASIS", 1, letter); })) {
    char hm[200];
    GetStrVar("HermannMauguin", sizeof hm - 1, hm);
    letter[0] = hm[0];
  }
  bool rhombohedral = false;
  if (letter[0] == 'R') {
    char lattice[32] = "";
    bool has = dataerr_try([&] { GetStrVar("Lattice", 31, lattice); });
    rhombohedral = has && std::strcmp(lattice, "Rhombohedral") == 0;
  }
  return divisorof(letter[0], rhombohedral);
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

// The values of an operator formula made of nothing but x, y, z, digits,
// points, signs, products and quotients: it names no other key, so it has the
// same values wherever it stands. The database repeats a few hundred such
// formulas some forty thousand times; each is evaluated once per load, and
// its integer form and the coordinates it depends on are kept with it.
struct FormulaValues {
  double constant;
  double coef[3];
  int32_t rot[3];
  int32_t trans;
  uint8_t exact;
  uint8_t free[3];
};
// The known formulas, by the hash of their text in a table with open
// addressing, filled at most half; beyond that a formula is simply worked
// out each time. Emptied after each load.
struct KnownFormula {
  uint8_t used;
  char text[32];
  FormulaValues values;
};
constexpr unsigned kKnownSlots = 1024;
KnownFormula knownformulas[kKnownSlots];
unsigned knowncount = 0;

unsigned formulahash(const char* text) {
  unsigned h = 2166136261u;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p)
    h = (h ^ *p) * 16777619u;
  return h;
}

// The slot of the text, or the empty slot where it belongs.
KnownFormula& knownslot(const char* text) {
  unsigned i = formulahash(text) & (kKnownSlots - 1);
  while (knownformulas[i].used && std::strcmp(knownformulas[i].text, text) != 0)
    i = (i + 1) & (kKnownSlots - 1);
  return knownformulas[i];
}

void forgetformulas() {
  if (knowncount == 0) return;
  for (KnownFormula& k : knownformulas) k.used = 0;
  knowncount = 0;
}

constexpr const char* kPlainChars = "xyz0123456789.+-*/ ";

bool plainformula(const char* text) {
  for (const char* p = text; *p != 0; ++p)
    if (std::strchr(kPlainChars, *p) == nullptr) return false;
  return true;
}

// A byte of a plain formula other than the blank.
bool plainbyte(char ch) {
  return (ch >= '0' && ch <= '9') || ch == 'x' || ch == 'y' || ch == 'z' || ch == '.' ||
         ch == '+' || ch == '-' || ch == '*' || ch == '/';
}

// The keys of the block being read that are not yet in the top scope: a
// block line of the plain form leaves Wyckoff and N, and x = y = z = 0, to be
// set when something could read them (a formula worked out, or a header that
// is not plain), since most blocks need none of them.
struct PendingBlock {
  bool pending;
  char name[32];
  char count[12];
};
PendingBlock pendingblock;

// Sets the keys of the pending block, as its statements and the reading of
// its operators would have.
void settlepending() {
  if (!pendingblock.pending) return;
  pendingblock.pending = false;
  SetStrVar("Wyckoff", pendingblock.name);
  SetStrVar("N", pendingblock.count);
  SetVar("x", 0.0);
  SetVar("y", 0.0);
  SetVar("z", 0.0);
}

// Constant and coefficients of the formula in c.text, and their integer form.
// x, y and z are 0 in the top scope on entry and on return.
FormulaValues evaluate(const SymComponent& c) {
  static const char* const names[3] = {"x", "y", "z"};
  settlepending();
  FormulaValues v{};
  v.constant = Wert(c.text);
  for (int k = 0; k < 3; ++k) {
    SetVar(names[k], 1.0);
    v.coef[k] = Wert(c.text) - v.constant;
    SetVar(names[k], 0.0);
  }
  v.exact = 1;
  for (int k = 0; k < 3; ++k) {
    if (!exactmultiple(v.coef[k], 1, &v.rot[k])) v.exact = 0;
    v.free[k] = std::fabs(v.coef[k]) > kCoefZero ? 1 : 0;
  }
  if (!exactmultiple(v.constant, SYM_DENOM, &v.trans)) v.exact = 0;
  return v;
}

// Fills component r of the operator from the text already in it.
// plain: the text is known to be a plain formula.
void takecomponent(SymOperator* op, int r, WyckoffRecord* rec, bool plain) {
  SymComponent& c = op->comp[r];
  FormulaValues v;
  if (plain || plainformula(c.text)) {
    KnownFormula& known = knownslot(c.text);
    if (known.used) {
      v = known.values;
    } else {
      v = evaluate(c);
      if (knowncount < kKnownSlots / 2) {
        known.used = 1;
        copytext(c.text, known.text, sizeof known.text);
        known.values = v;
        ++knowncount;
      }
    }
  } else {
    v = evaluate(c);
  }
  c.constant = v.constant;
  for (int k = 0; k < 3; ++k) {
    c.coef[k] = v.coef[k];
    op->rot[r][k] = v.rot[k];
  }
  op->trans[r] = v.trans;
  if (!v.exact) op->exact = 0;
  if (v.free[0]) rec->xfree = 1;
  if (v.free[1]) rec->yfree = 1;
  if (v.free[2]) rec->zfree = 1;
}

// The database's text in memory, read line by line as fgets reads a stream,
// and a stream on the same text (from offset base on) for the lines that are
// read item by item, which takes the position along.
struct Cursor {
  const char* data = nullptr;
  size_t size = 0;
  size_t pos = 0;
  bool eof = false;  // as the stream's end-of-file indicator
  FILE* stream = nullptr;
  long base = 0;

  // fgets(line, n, stream) on the text.
  bool gets(char* line, size_t n) {
    if (pos >= size) {
      eof = true;
      return false;
    }
    const size_t room = n - 1;
    const size_t take = std::min(room, size - pos);
    const void* lf = std::memchr(data + pos, '\n', take);
    const size_t len =
        lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - (data + pos)) + 1 : take;
    std::memcpy(line, data + pos, len);
    line[len] = 0;
    pos += len;
    // Stopped by the end of the text, not by a line feed or a full buffer.
    if (lf == nullptr && len < room) eof = true;
    return true;
  }
  // getc, and ungetc of any byte but a line feed.
  void skiplinefeed() {
    if (pos >= size)
      eof = true;
    else if (data[pos] == '\n')
      ++pos;
  }
  // The stream at the position, for reading items.
  FILE* tostream() {
    if (std::fseek(stream, base + static_cast<long>(pos), SEEK_SET) != 0) fatal<-183>();
    eof = false;
    return stream;
  }
  // The position where the reading of items left the stream.
  void fromstream() {
    const long at = std::ftell(stream);
    if (at < base) fatal<-183>();
    pos = static_cast<size_t>(at - base);
    eof = std::feof(stream) != 0;
  }
};

// Reads an operator line that is a plain line: up to its line feed (a
// carriage return before it taken with it) shorter than the buffer, its first
// three items plain formulas of at most 31 bytes, separated by blanks.
// Such a line reads item by item exactly so. False, with the text where it
// was, for any other line.
bool readplainoperator(Cursor& f, SymOperator* op) {
  const size_t at = f.pos;
  char line[256];
  bool plain = f.gets(line, sizeof line);
  const char* items[3] = {};
  size_t lens[3] = {};
  if (plain) {
    size_t len = std::strlen(line);
    plain = len > 0 && line[len - 1] == '\n';
    if (plain) {
      line[--len] = 0;
      if (len > 0 && line[len - 1] == '\r') line[--len] = 0;
    }
    const char* p = line;
    for (int r = 0; r < 3 && plain; ++r) {
      while (*p == ' ') ++p;
      const char* start = p;
      while (plainbyte(*p)) ++p;
      lens[r] = static_cast<size_t>(p - start);
      items[r] = start;
      // The item must end at a blank or at the end of the line, and hold
      // something that fits.
      plain = lens[r] > 0 && lens[r] <= 31 && (*p == ' ' || *p == 0);
    }
  }
  if (!plain) {
    // Back to the line's start for the reading item by item.
    f.pos = at;
    f.eof = false;
    return false;
  }
  for (int r = 0; r < 3; ++r) {
    std::memcpy(op->comp[r].text, items[r], lens[r]);
    op->comp[r].text[lens[r]] = 0;
  }
  return true;
}

// Reads one operator line (three formulas; the rest of the line is ignored)
// and splits each formula into its constant and its coefficients of x, y, z.
// x, y and z are 0 in the top scope on entry and on return.
void readoperator(Cursor& cursor, SymOperator* op, WyckoffRecord* rec) {
  op->exact = 1;
  if (readplainoperator(cursor, op)) {
    for (int r = 0; r < 3; ++r) takecomponent(op, r, rec, true);
    return;
  }
  FILE* f = cursor.tostream();
  for (int r = 0; r < 3; ++r) {
    GetItem(f, 31, op->comp[r].text);
    takecomponent(op, r, rec, false);
  }
  int ch;
  while ((ch = std::getc(f)) != EOF && ch != '\n') {
  }
  cursor.fromstream();
}

// Reads a block line of the plain form "Wyckoff=<name> N=<count>" (name of
// letters and digits, at most 31; count of at most nine digits without a
// leading zero; blanks may follow; a carriage return before the line feed is
// taken with it); both keys are left pending for the top scope. False, with
// the text where it was, for any other line.
bool readplainblockline(Cursor& f, char name[32], int* n) {
  const size_t at = f.pos;
  char line[128];
  bool plain = f.gets(line, sizeof line);
  size_t len = plain ? std::strlen(line) : 0;
  plain = len > 0 && line[len - 1] == '\n';
  if (plain) {
    line[--len] = 0;
    if (len > 0 && line[len - 1] == '\r') line[--len] = 0;
    while (len > 0 && line[len - 1] == ' ') line[--len] = 0;
    plain = std::strncmp(line, "Wyckoff=", 8) == 0;
  }
  const char* start = line + 8;
  const char* p = start;
  if (plain) {
    while ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9')) ++p;
    size_t namelen = static_cast<size_t>(p - start);
    plain = namelen > 0 && namelen <= 31 && std::strncmp(p, " N=", 3) == 0;
  }
  const char* digits = p + 3;
  if (plain) {
    const char* q = digits;
    while (*q >= '0' && *q <= '9') ++q;
    size_t count = static_cast<size_t>(q - digits);
    plain = count > 0 && count <= 9 && (digits[0] != '0' || count == 1) && *q == 0;
  }
  if (!plain) {
    f.pos = at;
    f.eof = false;
    return false;
  }
  std::memcpy(name, start, static_cast<size_t>(p - start));
  name[p - start] = 0;
  *n = static_cast<int>(std::strtol(digits, nullptr, 10));
  std::memcpy(pendingblock.name, name, sizeof pendingblock.name);
  std::memcpy(pendingblock.count, digits, std::strlen(digits) + 1);
  pendingblock.pending = true;
  return true;
}

// Reads one Wyckoff block from its block line on; the header keys of the
// group are in the top scope and are cleared first. general: the block is the
// group's general position, whose operators per centring translation are the
// point group's and so at most 48 (the equivalent reflections of a triple are
// collected in a table of that size).
WyckoffRecord* readblock(Cursor& f, int divisor, bool general) {
  DelAll();
  pendingblock.pending = false;
  auto* rec = static_cast<WyckoffRecord*>(recordalloc(1, sizeof(WyckoffRecord)));
  if (rec == nullptr) fatal<-44>();
  int n = 0;
  if (!readplainblockline(f, rec->name, &n)) {
    GetData(f.tostream(), "param");
    f.fromstream();
    GetStrVar("Wyckoff", 31, rec->name);
    n = GetIntVar("N");
    SetVar("x", 0.0);
    SetVar("y", 0.0);
    SetVar("z", 0.0);
  }
  // A multiplicity of 0 or below would leave a block without operators
  // (and the general position without its identity): refused as well.
  if (n <= 0 || n % divisor != 0 || (general && n / divisor > kMaxPointOperators)) fatal<-185>();
  rec->count = n / divisor;
  rec->op =
      static_cast<SymOperator*>(recordalloc(static_cast<size_t>(rec->count), sizeof(SymOperator)));
  if (rec->op == nullptr) fatal<-44>();
  for (int i = 0; i < rec->count; ++i) readoperator(f, &rec->op[i], rec);
  return rec;
}

// Reads an optional key of the top scope; false when it is missing (or does
// not fit).
bool optionalkey(const char* key, char (&buf)[32]) {
  buf[0] = 0;
  return dataerr_try([&] { GetStrVar(key, 31, buf); });
}

// The keys of the selectors, in SpaceSelector order.
constexpr const char* kSelectorKeys[SEL_COUNT] = {
    "BASIS",   "UniqueAxis",   "HermannMauguin", "Setting",
    "Lattice", "SpacegroupNo", "OriginChoice",   "CellChoice",
};

// The selector keys of a header, as read from the top scope.
struct HeaderKeys {
  uint8_t has[SEL_COUNT];
  char value[SEL_COUNT][32];
};

void readkeys(uint8_t (&has)[SEL_COUNT], char (&value)[SEL_COUNT][32]) {
  for (int i = 0; i < SEL_COUNT; ++i) has[i] = optionalkey(kSelectorKeys[i], value[i]) ? 1 : 0;
}

// True when every item of the header is a statement "name=text": a name of
// letters and digits beginning with a letter, and a text that does not begin
// with "=" (so it is kept as written, not worked out). Such a header sets the
// same keys to the same texts in any scope.
bool plainheader(const char* header) {
  const char* p = header;
  for (;;) {
    while (*p == ' ') ++p;
    if (*p == 0) return true;
    if (!((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z'))) return false;
    while ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9')) ++p;
    if (*p != '=' || p[1] == '=') return false;
    while (*p != ' ' && *p != 0) ++p;
  }
}

// The selector keys of a plain header as reading them from a scope of the
// header alone gives them: a key takes the text of the last statement that
// names it, and is missing when there is none, when that text is empty (the
// statement deletes the key) or longer than 31 characters.
void plainkeys(const char* header, uint8_t (&has)[SEL_COUNT], char (&value)[SEL_COUNT][32]) {
  const char* text[SEL_COUNT] = {};
  size_t len[SEL_COUNT] = {};
  for (const char* p = header; *p != 0;) {
    while (*p == ' ') ++p;
    const char* name = p;
    while (*p != '=' && *p != ' ' && *p != 0) ++p;
    const size_t namelen = static_cast<size_t>(p - name);
    const char* start = *p == '=' ? p + 1 : p;
    while (*p != ' ' && *p != 0) ++p;
    for (int i = 0; i < SEL_COUNT; ++i) {
      if (std::strncmp(name, kSelectorKeys[i], namelen) == 0 && kSelectorKeys[i][namelen] == 0) {
        text[i] = start;
        len[i] = static_cast<size_t>(p - start);
        break;
      }
    }
  }
  for (int i = 0; i < SEL_COUNT; ++i) {
    has[i] = text[i] != nullptr && len[i] > 0 && len[i] <= 31 ? 1 : 0;
    const size_t n = has[i] ? len[i] : 0;
    if (n > 0) std::memcpy(value[i], text[i], n);
    value[i][n] = 0;
  }
}

// The centring divisor of a plain header from its selector keys when BASIS
// is one letter, without the store; 0 when the store has to decide.
int plaindivisor(const uint8_t (&has)[SEL_COUNT], const char (&value)[SEL_COUNT][32]) {
  if (!has[SEL_BASIS] || value[SEL_BASIS][1] != 0) return 0;
  const bool rhombohedral =
      has[SEL_LATTICE] && std::strcmp(value[SEL_LATTICE], "Rhombohedral") == 0;
  return divisorof(value[SEL_BASIS][0], rhombohedral);
}

void loadgroups(Cursor& f) {
  pendingblock.pending = false;
  SpaceGroupRecord** tail = &spacefirst;
  char line[199];
  while (!f.eof && f.gets(line, sizeof line)) {
    size_t len = std::strlen(line);
    if (len > 0 && line[len - 1] == '\n') {
      line[len - 1] = 0;
      if (len > 1 && line[len - 2] == '\r') line[len - 2] = 0;
    } else {
      // A header of exactly 198 characters filled the buffer before its line
      // feed: take the line feed too. A longer header is cut, and its rest
      // is read as the next line.
      f.skiplinefeed();
    }
    auto* group = static_cast<SpaceGroupRecord*>(recordalloc(1, sizeof(SpaceGroupRecord)));
    if (group == nullptr) fatal<-44>();
    *tail = group;
    tail = &group->next;
    copytext(line, group->header, sizeof group->header);
    // A plain header's keys are read from its text: they would only be read
    // by the centring divisor before the first block clears them.
    const bool plain = plainheader(group->header);
    int divisor = 0;
    if (plain) {
      plainkeys(group->header, group->keyhas, group->key);
      group->keysread = 1;
      divisor = plaindivisor(group->keyhas, group->key);
    } else {
      settlepending();
    }
    if (divisor == 0) {
      SetStrInput(group->header);
      GetData(nullptr, "param");
      divisor = centringdivisor();
    }
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

// Equal to wanted, or wanted empty.
bool keyeq(bool has, const char* value, const char* wanted) {
  return wanted[0] == 0 || (has && std::strcmp(value, wanted) == 0);
}

// The tests of one group on its selector keys.
bool groupmatches(int kind, const char* axis, const char sel[SEL_COUNT][32], const uint8_t* has,
                  const char (*value)[32]) {
  if (sel[SEL_LATTICE][0] != 0) {
    if (!has[SEL_LATTICE] || std::strcmp(value[SEL_LATTICE], sel[SEL_LATTICE]) != 0) return false;
  } else if (has[SEL_LATTICE]) {
    if (kind < 1 || kind > 8) internal_error("lattice==ANY", kModule, 268);
    if (!latticeaccepted(kind, value[SEL_LATTICE])) return false;
  }

  if (sel[SEL_UNIQUEAXIS][0] != 0) {
    if (!has[SEL_UNIQUEAXIS] || value[SEL_UNIQUEAXIS][0] != sel[SEL_UNIQUEAXIS][0]) return false;
  } else if (axis != nullptr && axis[0] != 0) {
    if (has[SEL_UNIQUEAXIS] && value[SEL_UNIQUEAXIS][0] != axis[0]) return false;
  }

  for (int i : {SEL_SPACEGROUPNO, SEL_HERMANNMAUGUIN, SEL_SETTING, SEL_BASIS, SEL_ORIGINCHOICE,
                SEL_CELLCHOICE, SEL_UNIQUEAXIS})
    if (!keyeq(has[i] != 0, value[i], sel[i])) return false;
  return true;
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
  // The groups are parsed from a copy of the file in memory, line by line;
  // a line that is not of a plain form is read item by item from a stream on
  // the copy (or on the file at the same place, when no such stream can be
  // made).
  const long start = std::ftell(f);
  const MemoryCopy copy(f);
  // A database that opened but could not be read (a read error, or a
  // directory in its place) must not pass for one without groups.
  if (start < 0 || copy.readfailed()) fatal<-183>();
  const std::string_view text =
      std::string_view(copy.text())
          .substr(std::min(copy.text().size(), static_cast<size_t>(start)));
  // Every line is at most one record, none larger than a group's.
  regionopen((1 + static_cast<size_t>(std::count(text.begin(), text.end(), '\n'))) *
             (sizeof(SpaceGroupRecord) + 16));
  Cursor cursor;
  cursor.data = text.data();
  cursor.size = text.size();
  cursor.stream = copy.in();
  cursor.base = start;
  const bool ahead = region.base != nullptr && nthreads > 1 && threadid() == -1;
  if (ahead) {
    region.reached.store(0, std::memory_order_relaxed);
    region.claimed.store(false, std::memory_order_relaxed);
    region.parsed.store(false, std::memory_order_relaxed);
    nshare(aheadparfkt, 0);
  }
  bool ok = dataerr_try([&] {
    newDATAlist();
    int mode = getrekart();
    setrekart(0);
    loadgroups(cursor);
    if (std::ferror(copy.in())) fatal<-183>();
    setrekart(mode);
    std::fclose(f);
    DelAll();
    freeDATAlist();
  });
  if (ahead) {
    region.parsed.store(true, std::memory_order_release);
    nwait();
  }
  forgetformulas();
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
  HeaderKeys keys;
  for (SpaceGroupRecord* g = spacefirst; g != nullptr && found == nullptr; g = g->next) {
    if (g->keysread) {
      if (groupmatches(kind, axis, selectors, g->keyhas, g->key)) found = g;
      continue;
    }
    // Each header in a scope of its own, discarded afterwards: no key of one
    // group can make a later group match, and the caller's keys stay as they
    // were.
    newDATAlist();
    SetStrInput(g->header);
    if (dataerr_try([&] { GetData(nullptr, "param"); })) {
      readkeys(keys.has, keys.value);
      if (groupmatches(kind, axis, selectors, keys.has, keys.value)) found = g;
    }
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
        recordfree(head->op);
        recordfree(head);
        head = next;
      }
    }
    SpaceGroupRecord* next = g->next;
    recordfree(g);
    g = next;
  }
  spacefirst = nullptr;
  regionclose();
  spaceloaded.store(false, std::memory_order_release);
}

}  // namespace crystal
