// The parameter store's private header, shared by the store's files
// (data_*.cpp) and the built-in function table (builtin.cpp): the layout of a
// thread's store context, its memory, error and lookup helpers, and the table
// of built-ins. Nothing outside src/core includes it but the store's tests.
//
// Memory: every owned block (entries, names, texts, scopes, error records,
// frames) comes from a per-thread size-class allocator (class k holds 16 << k
// bytes, freed blocks go to the freeing context's list and are reused, never
// returned before totalfree). Short-lived working memory of an evaluation
// (operator and value stacks, argument lists, user-function argument cells,
// substituted bodies, argument copies for C functions) comes from a per-thread
// mark-and-release scratch stack whose blocks are kept for reuse, so a plain
// formula evaluation never calls the system allocator. A public call must leave
// the scratch stack empty (internal error "dclear" otherwise).
#pragma once

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
// Under AddressSanitizer a block on a free list, and the bytes of a block
// behind the requested size, are poisoned: a store block used after its
// release or read past its end is reported like one of the system's.
#define STORE_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define STORE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define STORE_POISON(p, n) ((void)(p), (void)(n))
#define STORE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/formula.hpp"
#include "core/nspawn.hpp"

namespace core {

// ---------------------------------------------------------------------------
// The built-in table (builtin.cpp)

// Enters every built-in row (called once by testinit, under initmutex).
void enterbuiltins();
// The built-in of that name whose count rule accepts nargs, or null. Rows are
// probed from (sum of the name's character codes) modulo 401 on.
StdFunction findbuiltin(const char* name, int nlen, int nargs);
// The same with the name's hash (the sum of its character codes) given.
StdFunction findbuiltin(const char* name, int nlen, uint32_t hash, int nargs);
// Changes whenever a built-in is entered: a built-in found earlier stays the
// one findbuiltin gives while it is unchanged.
extern std::atomic<uint32_t> builtinepoch;

namespace store {

inline constexpr const char* kModule = "obj/data";
inline constexpr int kClasses = 28;

// Entries' texts that are simple formulas are evaluated the short way first
// (see evalentry); the store's tests turn it off to compare with the full
// evaluation.
extern bool simpleformulas;

// Nesting of evaluations of store entries is limited so that a formula that
// refers to itself without end ends with an error record instead of
// exhausting the machine stack (a worker has 256 KiB).
inline constexpr int kMaxNesting = 2000;
inline constexpr long kStackBudgetMain = 1L << 20;
inline constexpr long kStackBudgetWorker = 96L << 10;
// A formula nested deeply in its text is limited a little later, so that a
// recursion through entries and functions is always reported by the name of
// the entry or function that ran away.
inline constexpr long kFormulaStackExtra = 16L << 10;

}  // namespace store

// ---------------------------------------------------------------------------
// Context

struct DataError {
  char* object;
  char* message;
  DataError* next;
};

struct DataFrame {
  DataFrame* next;
  void (*handler)();  // null: a frame caught by dataerr_try
};

struct ScratchBlock {
  ScratchBlock* next;
  size_t size;
  size_t used;
  // data follows
  char* data() { return reinterpret_cast<char*>(this + 1); }
};

struct ScratchMark {
  ScratchBlock* block;
  size_t used;
};

// An entry whose text is being evaluated on this thread. Writes that would
// free its text or the entry itself defer the release until the evaluation
// is over. The frame also holds the entry's recursion guard on this thread:
// the entry counts for a lookup only while the guard of its innermost frame
// is not above the context's level (an entry without a frame has guard 0).
struct BusyFrame {
  DataVar* var;
  BusyFrame* up;
  int32_t guard;
  bool deleted;
  void* deferred;      // chain of released texts (scratch nodes)
  uint64_t savedbusy;  // the context's busy-entry filter below this frame
};

// The bit of an entry in a context's busy-entry filter (DataContext::busybits).
inline uint64_t busybit(const DataVar* v) {
  // Entries are blocks of the size-class allocator, at least 16 bytes apart.
  return uint64_t(1) << ((reinterpret_cast<uintptr_t>(v) >> 4) & 63);
}

struct CodeStep;

// What a name of a parsed formula resolved to on this thread, remembered
// with the context's lookup generation (see DataContext::gen).
struct LookupSlot {
  const CodeStep* step;
  uint64_t gen;
  DataVar* var;  // the entry found, or null: no entry of that name and kind
  uint64_t bit;  // busybit(var), 0 for none
};
inline constexpr int kLookupSlots = 256;
inline constexpr int kSpareScopes = 4;

// Each context fills whole cache lines of its own: the workers' contexts lie
// side by side, and each is written at every evaluation.
struct alignas(64) DataContext {
  DATAlist* top;
  DATAlist* floor;
  char* input;
  int cursor;
  DataError* errtop;
  int nerr;      // records on the stack
  int errfloor;  // records below the floor; errors are pending when nerr > errfloor
  int level;
  uint8_t informula;
  uint32_t rekart;
  void* freelist[store::kClasses];
  DataFrame* frames;
  int nframes;
  ScratchBlock* sfirst;
  ScratchBlock* scur;
  BusyFrame* busy;
  int depth;
  char* stackbase;
  int wdepth;           // formula evaluations running
  int unwinders;        // running levels that drop an unwinding runaway's records
  bool overflow;        // the nesting limit was hit and its record is on the stack
  int overflowmark;     // records below the nesting limit's record
  DATAlist* privscope;  // private scope of the threaded phase
  int slot;
  // Lookup generation: changes whenever something a lookup of this thread
  // could find changes (an entry created or released, a scope pushed, popped,
  // committed, detached or re-attached, the lookup mode, a stored text and
  // its parsed form released, the threaded phase begun or ended). Entries'
  // values and texts may change without it: a lookup finds the same entry.
  uint64_t gen;
  // Entries with a guard frame on this thread, one bit each by busybit: an
  // entry whose bit is clear has no frame, so the guard needs no search.
  uint64_t busybits;
  // Scopes popped empty, kept so that a new scope need not clear its
  // buckets (linked by next, at most kSpareScopes).
  DATAlist* sparescopes;
  int nspare;
  // Names of parsed formulas resolved at this generation, by step.
  LookupSlot lookups[kLookupSlots];
};

// Something that a lookup of context c could find has changed.
inline void lookupschanged(DataContext* c) { ++c->gen; }

// ---------------------------------------------------------------------------
// Helpers of the store's files

// ---------------------------------------------------------------------------
// Parsed formulas

// A built-in of one argument that evaluates it at the call's level and
// returns a function of its value, or pushes a record (message, with the
// argument's text) for a value outside its domain.
struct UnaryBuiltin {
  const char* name;
  double (*fn)(double);
  bool (*domain)(double);  // null: every value
  const char* message;
};
// The description of such a built-in, or null for any other built-in.
const UnaryBuiltin* unarybuiltin(StdFunction fn);

// One step of a parsed formula: an operand, or an operator applied to the
// values on the stack. AddNum .. DivNum are a number operand and the
// operator that takes it as its right-hand value, in one step.
struct CodeStep {
  enum Op : uint8_t {
    Num,
    Var,
    Elem,
    Call,
    Add,
    Sub,
    Neg,
    Mul,
    Div,
    AddNum,
    SubNum,
    MulNum,
    DivNum
  };
  Op op;
  uint8_t slot;   // Var and Call: the step's slot of DataContext::lookups
  int32_t nlen;   // name part of a Var, Elem or Call
  int32_t nargs;  // arguments of an Elem or Call
  int32_t toklen;
  uint32_t hash;   // Var and Call: the name's hash (namehash)
  uint32_t epoch;  // Call: builtinepoch when fn was looked up
  const char* name;
  const FormulaArg* args;
  StdFunction fn;             // Call: the built-in of that name and argument count, or null
  const UnaryBuiltin* unary;  // Call: unarybuiltin(fn)
  double value;               // Num and AddNum .. DivNum
};

// Deepest value stack of a simple formula (FormulaCode::simple).
inline constexpr int kSimpleStack = 32;

struct FormulaCode {
  int32_t len;       // characters of the text
  int32_t nsteps;    // steps
  int32_t maxstack;  // deepest value stack
  // Only numbers, names of variables, arithmetic and built-ins of one
  // argument whose arguments are such formulas too: what the formula does
  // besides giving its value is at most pushing records.
  bool simple;
  const CodeStep* steps;
};

namespace store {

// The contexts: the main thread's, and one per worker during the threaded
// phase; the shared base of the phase.
extern DataContext thread0;
extern DataContext* threadarray;
extern int nworkers;  // worker contexts that exist
extern bool threadphase;
extern DATAlist* unthreadHashTable;
extern std::atomic<bool> ifinit;

// Character classes, built at compile time so that they hold before the
// first store call (stdinit1 may run before testinit).
struct CharTables {
  unsigned char buchstaben[256] = {};
  unsigned char buchstabenziffern[256] = {};
  unsigned char ziffern[256] = {};
  unsigned char hexziffern[256] = {};
  unsigned char packtable[256] = {};
  constexpr CharTables() {
    for (int i = 0; i < 256; ++i) {
      bool letter = (i >= 'a' && i <= 'z') || (i >= 'A' && i <= 'Z');
      bool digit = i >= '0' && i <= '9';
      buchstaben[i] = letter;
      buchstabenziffern[i] = letter || digit;
      ziffern[i] = digit;
      hexziffern[i] = digit || (i >= 'a' && i <= 'f');
      packtable[i] = static_cast<unsigned char>(digit                    ? i - '0'
                                                : (i >= 'a' && i <= 'f') ? i - 'a' + 10
                                                                         : 0);
    }
  }
};
inline constexpr CharTables tables;
inline constexpr const unsigned char* buchstaben = tables.buchstaben;
inline constexpr const unsigned char* buchstabenziffern = tables.buchstabenziffern;
inline constexpr const unsigned char* ziffern = tables.ziffern;
inline constexpr const unsigned char* hexziffern = tables.hexziffern;
inline constexpr const unsigned char* packtable = tables.packtable;
inline constexpr char unpacktable[17] = "0123456789abcdef";
inline constexpr char maxint[] = "2147483647";

inline bool isletter(char c) { return buchstaben[static_cast<unsigned char>(c)] != 0; }
inline bool isnamechar(char c) { return buchstabenziffern[static_cast<unsigned char>(c)] != 0; }
inline bool isdigitc(char c) { return ziffern[static_cast<unsigned char>(c)] != 0; }
inline bool ishexc(char c) { return hexziffern[static_cast<unsigned char>(c)] != 0; }
inline bool isbracket(char c) { return c == '(' || c == ')' || c == '[' || c == ']'; }

// ---------------------------------------------------------------------------
// Size-class allocator

[[noreturn]] void nomemory();
// The failures of dalloc and dfree, and a new block of class k from the system.
[[noreturn]] void badsize(size_t n);
[[noreturn]] void wrongfree();
void* freshblock(int k);

// The class of a block of n bytes behind its 8-byte head: the smallest k with
// n + 8 <= 16 << k.
inline int sizeclass(size_t n) { return static_cast<int>(std::bit_width((n + 7) >> 4)); }

// Entries are created and released at every write to a fresh scope (a
// refinement sets a reflection's variables thousands of times over), so the
// allocator's common cases stay in the callers.
inline void* dalloc(DataContext* c, size_t n) {
  if (n == 0 || n + 8 > (size_t(1) << 31)) badsize(n);
  const int k = sizeclass(n);
  void* b = c->freelist[k];
  if (b != nullptr) {
    c->freelist[k] = *static_cast<void**>(b);
  } else {
    b = freshblock(k);
  }
  STORE_UNPOISON(b, size_t(16) << k);
  STORE_POISON(static_cast<char*>(b) + 8 + n, (size_t(16) << k) - 8 - n);
  uint32_t* head = static_cast<uint32_t*>(b);
  head[0] = static_cast<uint32_t>(k);
  head[1] = static_cast<uint32_t>(n);
  return static_cast<char*>(b) + 8;
}

inline void dfree(DataContext* c, void* p) {
  if (p == nullptr) return;
  char* b = static_cast<char*>(p) - 8;
  const uint32_t k = reinterpret_cast<uint32_t*>(b)[0];
  if (k >= static_cast<uint32_t>(store::kClasses)) wrongfree();
  *reinterpret_cast<void**>(b) = c->freelist[k];
  c->freelist[k] = b;
  STORE_POISON(b + 8, (size_t(16) << k) - 8);
}

char* dstrdup(DataContext* c, const char* s, int len);
char* dstrdup(DataContext* c, const char* s);

// ---------------------------------------------------------------------------
// Scratch stack

inline ScratchMark smark(DataContext* c) { return {c->scur, c->scur ? c->scur->used : 0}; }

inline void srelease(DataContext* c, ScratchMark m) {
  if (m.block == nullptr) {
    c->scur = c->sfirst;
    if (c->scur) c->scur->used = 0;
  } else {
    c->scur = m.block;
    c->scur->used = m.used;
  }
}

inline bool sempty(DataContext* c) {
  return c->scur == nullptr || (c->scur == c->sfirst && c->scur->used == 0);
}

inline void* salloc(DataContext* c, size_t n) {
  n = (n + 7) & ~size_t(7);
  if (n == 0) n = 8;
  ScratchBlock* b = c->scur;
  if (b != nullptr && b->used + n <= b->size) {
    void* p = b->data() + b->used;
    b->used += n;
    return p;
  }
  ScratchBlock* nb = b ? b->next : c->sfirst;
  if (nb == nullptr || nb->size < n) {
    size_t size = n > 16384 ? n : 16384;
    ScratchBlock* fresh = static_cast<ScratchBlock*>(dalloc(c, sizeof(ScratchBlock) + size));
    fresh->size = size;
    fresh->used = 0;
    fresh->next = nb;
    if (b)
      b->next = fresh;
    else
      c->sfirst = fresh;
    nb = fresh;
  }
  nb->used = n;
  c->scur = nb;
  return nb->data();
}

struct ScratchScope {
  DataContext* c;
  ScratchMark m;
  explicit ScratchScope(DataContext* ctx) : c(ctx), m(smark(ctx)) {}
  ~ScratchScope() { srelease(c, m); }
  ScratchScope(const ScratchScope&) = delete;
  ScratchScope& operator=(const ScratchScope&) = delete;
};

// ---------------------------------------------------------------------------
// Error records and frames

void pusherr(DataContext* c, const char* obj, int objlen, const char* msg);
void pusherr(DataContext* c, const char* obj, const char* msg);
void pusherr(DataContext* c, const std::string& obj, const char* msg);
void droptop(DataContext* c);
void dropto(DataContext* c, int mark);
void pushframe(DataContext* c, void (*handler)());
void popframe(DataContext* c);
void jump(DataContext* c);

// ---------------------------------------------------------------------------
// Entries and scopes (data_scope.cpp)

enum class Kind { Var, Elem, Fkt };

// A text released while it is being evaluated, freed when the evaluation ends.
struct DeferredText {
  char* text;
  DeferredText* next;
};

// Notes bucket b of s as used; call before an entry is linked into it.
inline void notebucket(DATAlist* s, uint32_t b) {
  if (s->bucket[b] != nullptr) return;  // already noted (or the scope overflowed)
  if (s->nused < DATA_USED) s->used[s->nused] = static_cast<uint16_t>(b);
  if (s->nused <= DATA_USED) ++s->nused;
}
// The buckets of s that may hold entries, ascending, into out (DATA_USED
// places); the count, or -1 when every bucket must be walked.
int usedbuckets(const DATAlist* s, uint16_t* out);
// Calls fn(bucket) for every bucket of s that may hold entries, ascending.
template <class F>
void eachusedbucket(const DATAlist* s, F&& fn) {
  uint16_t list[DATA_USED];
  const int n = usedbuckets(s, list);
  if (n < 0) {
    for (int b = 0; b < DATA_BUCKETS; ++b) fn(b);
  } else {
    for (int i = 0; i < n; ++i) fn(static_cast<int>(list[i]));
  }
}

uint32_t entrybucket(const char* name, int nlen, Kind kind, int nidx, const int* idx);
DataVar** refexact(DATAlist* s, const char* name, int nlen, Kind kind, int nidx, const int* idx);
DataVar** refexact(DATAlist* s, uint32_t b, const char* name, int nlen, Kind kind, int nidx,
                   const int* idx);
// A new entry's block with its name behind it (freed with the entry); only
// the name is set.
DataVar* allocvar(DataContext* c, const char* name, int nlen);
DataVar** refsame(DATAlist* s, uint32_t bucket, const DataVar* e);
void releasetext(DataContext* c, DataVar* v);
void freevarnow(DataContext* c, DataVar* v);
void releasevar(DataContext* c, DataVar* v);
DATAlist* newscope(DataContext* c, DATAlist* below);
int chaindepth(const DataContext* c);
int newDATAlistid(DataContext* c);
void DelAllid(DataContext* c);
bool onsharedbase(const DataContext* c);
int freeDATAlistid(DataContext* c);
DATAlist* writescope(DataContext* c);
DataVar* writeentry(DataContext* c, const char* name, int nlen, Kind kind, int nidx,
                    const int* idx);
void setnumber(DataContext* c, DataVar* v, double x);
// writeentry and setnumber of a variable with a valid name whose bucket is known.
void setplainvar(DataContext* c, const char* name, int nlen, uint32_t bucket, double x);
void settext(DataContext* c, DataVar* v, const char* text, int len);
bool deleteentry(DataContext* c, const char* name, int nlen, Kind kind, int nidx, const int* idx);

// ---------------------------------------------------------------------------
// Formulas (data_formula.cpp)

std::string view(const char* s, int n);
std::string elementtext(const char* name, int nlen, int nidx, const int* idx);
std::string calltext(const char* name, int nlen, const FormulaArg* args, int nargs);
void pusherrf(DataContext* c, const std::string& obj, const char* fmt, int k);
void hexliteral(double x, char* out);
// The 8 bytes of a hex literal's 16 digits.
double unpackhex(const char* p);
// A number literal at p, read no further than end; *stop behind it.
double readnumber(DataContext* c, const char* p, const char* end, const char** stop);
double evalentry(DataContext* c, int slot, DataVar* v, const char* obj, int objlen);
// Reads a variable or array element as an operand of a formula: its number,
// or its text evaluated under the guard, with the operand's records.
double operandentry(DataContext* c, int slot, DataVar* v, const char* name, int nlen);
// An array element as an operand: tok (toklen characters) names it, with
// nargs index texts.
double operandelement(DataContext* c, int slot, const char* tok, int toklen, int nlen,
                      const FormulaArg* args, int nargs);

// The extent of one name token with an optional bracketed list, as Parameter
// scans it (nothing pushed, nothing allocated).
struct TokenShape {
  int nlen;      // name part
  char bracket;  // '(' or '[' or 0
  int toklen;
  int nargs;
  bool closed;  // the outer pair is closed...
  char closer;  // ...by this character
};
void tokenshape(const char* s, const char* end, TokenShape* t);
// The argument texts of a token with a bracket (t.nargs views, no parsed forms).
void tokenargs(const char* s, const TokenShape& t, FormulaArg* args);
inline bool bracketsok(const TokenShape& t) {
  return t.bracket == 0 || (t.closed && !(t.bracket == '(' && t.closer == ']') &&
                            !(t.bracket == '[' && t.closer == ')'));
}

// ---------------------------------------------------------------------------
// Parsed forms of stored texts (data_code.cpp)

// A copy of a text in a new block of the context; when the text parses as a
// plain formula, its parsed form lies in the same block behind it (*code),
// else *code is null. Freeing the text frees the parsed form with it.
char* storetext(DataContext* c, const char* text, int len, const FormulaCode** code);
// Evaluates a parsed form of the text of len characters exactly as Wertid
// evaluates the text.
double evalcode(const FormulaCode* code, const char* text, int len, DataContext* c, int slot);
// The same within a formula level that the caller has entered.
double runcode(const FormulaCode* code, const char* text, int len, DataContext* c, int slot);
// The length of the text a top-level parsed form was made from.
int codelength(const FormulaCode* code);

// ---------------------------------------------------------------------------
// Accessors (data_access.cpp)

bool putnumber(double x, int maxlen, char* buf);
bool puttext(const char* text, int maxlen, char* buf);
void clearbuf(char* buf);

// ---------------------------------------------------------------------------
// Context selection, the public-call protocol and read lookups

inline DataContext* ctxof(int id) {
  if (id < 0) return &thread0;
  if (threadarray == nullptr || id >= nworkers)
    internal_error("store used by a worker outside the threaded phase", kModule, 120);
  return &threadarray[id];
}
inline DataContext* ctxof() { return ctxof(threadid()); }

inline void ensureinit() {
  if (ifinit.load(std::memory_order_acquire)) testinit();
}

inline bool pending(const DataContext* c) { return c->nerr > c->errfloor; }

// The public-call protocol around every accessor.
struct PublicCall {
  DataContext* c;
  int slot;  // the calling thread's slot (threadid)
  PublicCall() {
    ensureinit();
    slot = threadid();
    c = ctxof(slot);
    if (pending(c)) dropto(c, c->errfloor);
  }
  void finish(int line) {
    if (c->floor == nullptr && !sempty(c)) internal_error("dclear", kModule, line);
    if (c->frames != nullptr && pending(c)) jump(c);
  }
};

inline uint32_t namehash(const char* name, int nlen) {
  uint32_t h = 0;
  for (int i = 0; i < nlen; ++i) h += static_cast<unsigned char>(name[i]);
  return h;
}

inline uint32_t indexhash(uint32_t h, int nidx, const int* idx) {
  for (int i = 0; i < nidx; ++i) {
    uint32_t v = static_cast<uint32_t>(idx[i]);
    h = h ^ ((v & 0xFFFFu) * 61u) ^ ((v >> 16) * 89u);
  }
  return h;
}

inline bool nameeq(const DataVar* v, const char* name, int nlen) {
  // Stops at the first difference, so never reads past a shorter stored name
  // (name holds no zero byte within nlen).
  const char* a = v->name;
  for (int i = 0; i < nlen; ++i)
    if (a[i] != name[i]) return false;
  return a[nlen] == 0;
}

inline bool validname(const char* name, int nlen) {
  if (nlen <= 0 || !isletter(name[0])) return false;
  for (int i = 1; i < nlen; ++i)
    if (!isnamechar(name[i])) return false;
  return true;
}

// Whether the recursion guard lets the calling thread see entry v.
inline bool visible(const DataContext* c, const DataVar* v) {
  if ((c->busybits & busybit(v)) == 0) return 0 <= c->level;
  for (const BusyFrame* f = c->busy; f != nullptr; f = f->up)
    if (f->var == v) return f->guard <= c->level;
  return 0 <= c->level;
}

inline bool searchdeeper(const DataContext* c) {
  return c->rekart == 2 || (c->rekart == 1 && c->informula);
}

inline bool ruleaccepts(int rule, int n) { return rule > 0 ? n == rule : n >= -rule; }

// Read lookups (guard levels apply, lookup mode decides the depth).
// A valid name whose bucket is known.
// The thread slot is taken for the callers' symmetry: the guard is the context's.
inline DataVar* SuchAt(DataContext* c, int /*slot*/, const char* name, int nlen, uint32_t b) {
  const bool deeper = searchdeeper(c);
  for (DATAlist* s = c->top; s != nullptr; s = s->next) {
    for (DataVar* v = s->bucket[b]; v != nullptr; v = v->next)
      if (v->nidx == 0 && v->idx == nullptr && nameeq(v, name, nlen) && visible(c, v)) return v;
    if (!deeper) break;
  }
  return nullptr;
}

inline DataVar* Such(DataContext* c, int slot, const char* name, int nlen) {
  if (!validname(name, nlen)) return nullptr;
  return SuchAt(c, slot, name, nlen, namehash(name, nlen) % DATA_BUCKETS);
}

inline DataVar* SuchIndex(DataContext* c, int /*slot*/, const char* name, int nlen, int nidx,
                          const int* idx) {
  if (!validname(name, nlen)) return nullptr;
  uint32_t b = indexhash(namehash(name, nlen), nidx, idx) % DATA_BUCKETS;
  for (DATAlist* s = c->top; s != nullptr; s = s->next) {
    for (DataVar* v = s->bucket[b]; v != nullptr; v = v->next)
      if (v->idx != nullptr && v->nidx == nidx && nameeq(v, name, nlen) &&
          std::memcmp(v->idx, idx, sizeof(int) * static_cast<size_t>(nidx)) == 0 && visible(c, v))
        return v;
    if (!searchdeeper(c)) break;
  }
  return nullptr;
}

inline DataVar* SuchFktAt(DataContext* c, int /*slot*/, const char* name, int nlen, int nargs,
                          uint32_t b) {
  for (DATAlist* s = c->top; s != nullptr; s = s->next) {
    for (DataVar* v = s->bucket[b]; v != nullptr; v = v->next)
      if (v->idx == nullptr && v->nidx != 0 && ruleaccepts(v->nidx, nargs) &&
          nameeq(v, name, nlen) && visible(c, v))
        return v;
    if (!searchdeeper(c)) break;
  }
  return nullptr;
}

// Lookups of the names of parsed formulas (inside a formula, so the lookup
// mode alone decides the depth). The entry found is remembered with the
// context's generation when the search passed no entry of the name that the
// recursion guard hid: it is then the first entry of that name and kind on
// the chain, which stays so while the generation holds, and a later lookup
// only has to ask the guard whether that entry is visible now.
// The slot of a step: a hash of its address, kept in the step (CodeStep::slot).
inline uint8_t lookupslotof(const CodeStep* step) {
  uint64_t h = (reinterpret_cast<uintptr_t>(step) >> 3) * 0x9E3779B97F4A7C15ull;
  return static_cast<uint8_t>(h >> (64 - 8));
}
static_assert(kLookupSlots == 1 << 8);

template <class Match>
inline DataVar* searchnoting(DataContext* c, uint32_t b, Match match, bool* hidden) {
  const bool deeper = searchdeeper(c);
  for (DATAlist* s = c->top; s != nullptr; s = s->next) {
    for (DataVar* v = s->bucket[b]; v != nullptr; v = v->next)
      if (match(v)) {
        if (visible(c, v)) return v;
        *hidden = true;
      }
    if (!deeper) break;
  }
  return nullptr;
}

template <class Match>
[[gnu::always_inline]] inline DataVar* cachedlookup(DataContext* c, const CodeStep* step,
                                                    uint32_t hash, Match match) {
  LookupSlot& slot = c->lookups[step->slot];
  if (slot.step == step && slot.gen == c->gen) {
    // As visible, with the entry's bit at hand.
    if (slot.var == nullptr) return nullptr;
    if ((c->busybits & slot.bit) == 0 ? 0 <= c->level : visible(c, slot.var)) return slot.var;
  }
  bool hidden = false;
  DataVar* v = searchnoting(c, hash % DATA_BUCKETS, match, &hidden);
  if (!hidden) slot = {step, c->gen, v, v != nullptr ? busybit(v) : 0};
  return v;
}

inline DataVar* SuchFkt(DataContext* c, int slot, const char* name, int nlen, int nargs) {
  if (!validname(name, nlen)) return nullptr;
  return SuchFktAt(c, slot, name, nlen, nargs, namehash(name, nlen) % DATA_BUCKETS);
}

// The variable and the function entry that an operand of a parsed formula
// names (CodeStep is defined with the parsed forms above).
[[gnu::always_inline]] inline DataVar* codevar(DataContext* c, const CodeStep* s) {
  return cachedlookup(c, s, s->hash, [s](const DataVar* v) {
    return v->nidx == 0 && v->idx == nullptr && nameeq(v, s->name, s->nlen);
  });
}
[[gnu::always_inline]] inline DataVar* codefkt(DataContext* c, const CodeStep* s) {
  return cachedlookup(c, s, s->hash, [s](const DataVar* v) {
    return v->idx == nullptr && v->nidx != 0 && ruleaccepts(v->nidx, s->nargs) &&
           nameeq(v, s->name, s->nlen);
  });
}

// A call of a valid name whose hash is known (as funktionsruf).
// A call of a parsed formula gives the built-in it found (step->fn) while
// the built-in table is unchanged; funktionsruf gives no step.
double callnamed(const char* name, int nlen, uint32_t hash, const FormulaArg* args, int nargs,
                 DataContext* c, int slot, const CodeStep* step = nullptr);

}  // namespace store

}  // namespace core
