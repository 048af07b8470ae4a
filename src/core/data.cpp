// The parameter store: scopes of named entries, the error stack with its jump
// frames, the formula evaluator, the statement executor with the control-file
// format, and the threaded phase of the store.
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
#include "core/data.hpp"

#include <atomic>
#include <cmath>
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

#include "core/builtin.hpp"
#include "core/fatal.hpp"
#include "core/message.hpp"
#include "core/nspawn.hpp"
#include "core/string.hpp"
#include "core/velmora.hpp"

namespace core {

namespace {

constexpr const char* kModule = "obj/data";
constexpr int kClasses = 28;

// Nesting of evaluations of store entries is limited so that a formula that
// refers to itself without end ends with an error record instead of
// exhausting the machine stack (a worker has 256 KiB).
constexpr int kMaxNesting = 2000;
constexpr long kStackBudgetMain = 1L << 20;
constexpr long kStackBudgetWorker = 96L << 10;
// A formula nested deeply in its text is limited a little later, so that a
// recursion through entries and functions is always reported by the name of
// the entry or function that ran away.
constexpr long kFormulaStackExtra = 16L << 10;

}  // namespace

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
// is over.
struct BusyFrame {
  DataVar* var;
  BusyFrame* up;
  bool deleted;
  void* deferred;  // chain of released texts (scratch nodes)
};

struct DataContext {
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
  void* freelist[kClasses];
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
};

namespace {

DataContext thread0;
DataContext* threadarray = nullptr;
int nworkers = 0;  // worker contexts that exist
bool threadphase = false;
DATAlist* unthreadHashTable = nullptr;
std::atomic<bool> ifinit{true};

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
constexpr CharTables tables;
constexpr const unsigned char* buchstaben = tables.buchstaben;
constexpr const unsigned char* buchstabenziffern = tables.buchstabenziffern;
constexpr const unsigned char* ziffern = tables.ziffern;
constexpr const unsigned char* hexziffern = tables.hexziffern;
constexpr const unsigned char* packtable = tables.packtable;
const char unpacktable[17] = "0123456789abcdef";
const char maxint[] = "2147483647";

inline bool isletter(char c) { return buchstaben[static_cast<unsigned char>(c)] != 0; }
inline bool isnamechar(char c) { return buchstabenziffern[static_cast<unsigned char>(c)] != 0; }
inline bool isdigitc(char c) { return ziffern[static_cast<unsigned char>(c)] != 0; }
inline bool ishexc(char c) { return hexziffern[static_cast<unsigned char>(c)] != 0; }
inline bool isbracket(char c) { return c == '(' || c == ')' || c == '[' || c == ']'; }

// ---------------------------------------------------------------------------
// Size-class allocator

[[noreturn]] void nomemory() { fatal<-44>(); }

void* dalloc(DataContext* c, size_t n) {
  if (n == 0) internal_error("memle0", kModule, 294);
  if (n + 8 > (size_t(1) << 31)) internal_error("membig", kModule, 299);
  int k = 0;
  while ((size_t(16) << k) < n + 8) ++k;
  void* b = c->freelist[k];
  if (b != nullptr) {
    c->freelist[k] = *static_cast<void**>(b);
  } else {
    b = std::malloc(size_t(16) << k);
    if (b == nullptr) nomemory();
  }
  STORE_UNPOISON(b, size_t(16) << k);
  STORE_POISON(static_cast<char*>(b) + 8 + n, (size_t(16) << k) - 8 - n);
  uint32_t* head = static_cast<uint32_t*>(b);
  head[0] = static_cast<uint32_t>(k);
  head[1] = static_cast<uint32_t>(n);
  return static_cast<char*>(b) + 8;
}

void dfree(DataContext* c, void* p) {
  if (p == nullptr) return;
  char* b = static_cast<char*>(p) - 8;
  uint32_t k = reinterpret_cast<uint32_t*>(b)[0];
  if (k >= static_cast<uint32_t>(kClasses)) internal_error("wrongfree", kModule, 332);
  *reinterpret_cast<void**>(b) = c->freelist[k];
  c->freelist[k] = b;
  STORE_POISON(b + 8, (size_t(16) << k) - 8);
}

char* dstrdup(DataContext* c, const char* s, int len) {
  char* t = static_cast<char*>(dalloc(c, static_cast<size_t>(len) + 1));
  if (len > 0) std::memcpy(t, s, static_cast<size_t>(len));
  t[len] = 0;
  return t;
}
char* dstrdup(DataContext* c, const char* s) {
  return dstrdup(c, s, static_cast<int>(std::strlen(s)));
}

// ---------------------------------------------------------------------------
// Scratch stack

ScratchMark smark(DataContext* c) { return {c->scur, c->scur ? c->scur->used : 0}; }

void srelease(DataContext* c, ScratchMark m) {
  if (m.block == nullptr) {
    c->scur = c->sfirst;
    if (c->scur) c->scur->used = 0;
  } else {
    c->scur = m.block;
    c->scur->used = m.used;
  }
}

bool sempty(DataContext* c) {
  return c->scur == nullptr || (c->scur == c->sfirst && c->scur->used == 0);
}

void* salloc(DataContext* c, size_t n) {
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
// Context selection

DataContext* ctxof() {
  int id = threadid();
  if (id < 0) return &thread0;
  if (threadarray == nullptr || id >= nworkers)
    internal_error("store used by a worker outside the threaded phase", kModule, 120);
  return &threadarray[id];
}

void ensureinit() {
  if (ifinit.load(std::memory_order_acquire)) testinit();
}

// ---------------------------------------------------------------------------
// Error records

void pusherr(DataContext* c, const char* obj, int objlen, const char* msg) {
  DataError* e = static_cast<DataError*>(dalloc(c, sizeof(DataError)));
  e->object = dstrdup(c, obj, objlen);
  e->message = dstrdup(c, msg);
  e->next = c->errtop;
  c->errtop = e;
  ++c->nerr;
}
void pusherr(DataContext* c, const char* obj, const char* msg) {
  pusherr(c, obj, static_cast<int>(std::strlen(obj)), msg);
}
void pusherr(DataContext* c, const std::string& obj, const char* msg) {
  pusherr(c, obj.data(), static_cast<int>(obj.size()), msg);
}

void droptop(DataContext* c) {
  DataError* e = c->errtop;
  c->errtop = e->next;
  --c->nerr;
  if (c->overflow && c->nerr <= c->overflowmark) c->overflow = false;
  dfree(c, e->object);
  dfree(c, e->message);
  dfree(c, e);
}

void dropto(DataContext* c, int mark) {
  if (mark < c->errfloor) mark = c->errfloor;
  while (c->nerr > mark) droptop(c);
}

bool pending(const DataContext* c) { return c->nerr > c->errfloor; }

// ---------------------------------------------------------------------------
// Frames and jumps

void pushframe(DataContext* c, void (*handler)()) {
  DataFrame* f = static_cast<DataFrame*>(dalloc(c, sizeof(DataFrame)));
  f->next = c->frames;
  f->handler = handler;
  c->frames = f;
  ++c->nframes;
}

void popframe(DataContext* c) {
  DataFrame* f = c->frames;
  if (f == nullptr) internal_error("revertdataerrempty", kModule, 957);
  c->frames = f->next;
  --c->nframes;
  dfree(c, f);
}

void jump(DataContext* c) {
  if (c->frames == nullptr) return;
  if (c->frames->handler != nullptr) {
    c->frames->handler();
    internal_error("outermost handler returned", kModule, 960);
  }
  throw DataJump{};
}

// The public-call protocol around every accessor.
struct PublicCall {
  DataContext* c;
  PublicCall() {
    ensureinit();
    c = ctxof();
    dropto(c, c->errfloor);
  }
  void finish(int line) {
    if (c->floor == nullptr && !sempty(c)) internal_error("dclear", kModule, line);
    if (c->frames != nullptr && pending(c)) jump(c);
  }
};

// ---------------------------------------------------------------------------
// Entries

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
  // strncmp stops at the end of a shorter stored name (memcmp could read past it).
  return std::strncmp(v->name, name, static_cast<size_t>(nlen)) == 0 && v->name[nlen] == 0;
}

bool validname(const char* name, int nlen) {
  if (nlen <= 0 || !isletter(name[0])) return false;
  for (int i = 1; i < nlen; ++i)
    if (!isnamechar(name[i])) return false;
  return true;
}

inline int32_t guardof(const DataVar* v, int slot) {
  if (slot < 0) return v->level;
  return v->tlevels ? v->tlevels[slot] : 0;
}

inline int32_t* guardptr(DataVar* v, int slot) {
  if (slot < 0) return &v->level;
  return v->tlevels ? &v->tlevels[slot] : nullptr;
}

inline bool searchdeeper(const DataContext* c) {
  return c->rekart == 2 || (c->rekart == 1 && c->informula);
}

inline bool ruleaccepts(int rule, int n) { return rule > 0 ? n == rule : n >= -rule; }

// Read lookups (guard levels apply, lookup mode decides the depth).
DataVar* Such(DataContext* c, int slot, const char* name, int nlen) {
  if (!validname(name, nlen)) return nullptr;
  uint32_t b = namehash(name, nlen) % DATA_BUCKETS;
  for (DATAlist* s = c->top; s != nullptr; s = s->next) {
    for (DataVar* v = s->bucket[b]; v != nullptr; v = v->next)
      if (v->nidx == 0 && v->idx == nullptr && nameeq(v, name, nlen) &&
          guardof(v, slot) <= c->level)
        return v;
    if (!searchdeeper(c)) break;
  }
  return nullptr;
}

DataVar* SuchIndex(DataContext* c, int slot, const char* name, int nlen, int nidx, const int* idx) {
  if (!validname(name, nlen)) return nullptr;
  uint32_t b = indexhash(namehash(name, nlen), nidx, idx) % DATA_BUCKETS;
  for (DATAlist* s = c->top; s != nullptr; s = s->next) {
    for (DataVar* v = s->bucket[b]; v != nullptr; v = v->next)
      if (v->idx != nullptr && v->nidx == nidx && nameeq(v, name, nlen) &&
          std::memcmp(v->idx, idx, sizeof(int) * static_cast<size_t>(nidx)) == 0 &&
          guardof(v, slot) <= c->level)
        return v;
    if (!searchdeeper(c)) break;
  }
  return nullptr;
}

DataVar* SuchFkt(DataContext* c, int slot, const char* name, int nlen, int nargs) {
  if (!validname(name, nlen)) return nullptr;
  uint32_t b = namehash(name, nlen) % DATA_BUCKETS;
  for (DATAlist* s = c->top; s != nullptr; s = s->next) {
    for (DataVar* v = s->bucket[b]; v != nullptr; v = v->next)
      if (v->idx == nullptr && v->nidx != 0 && ruleaccepts(v->nidx, nargs) &&
          nameeq(v, name, nlen) && guardof(v, slot) <= c->level)
        return v;
    if (!searchdeeper(c)) break;
  }
  return nullptr;
}

enum class Kind { Var, Elem, Fkt };

// Exact match in one scope (writes, deletions, commits): the link that points
// at the entry, or the terminating null link of its chain.
DataVar** refexact(DATAlist* s, const char* name, int nlen, Kind kind, int nidx, const int* idx) {
  uint32_t h = namehash(name, nlen);
  if (kind == Kind::Elem) h = indexhash(h, nidx, idx);
  DataVar** link = &s->bucket[h % DATA_BUCKETS];
  for (; *link != nullptr; link = &(*link)->next) {
    DataVar* v = *link;
    if (!nameeq(v, name, nlen)) continue;
    switch (kind) {
      case Kind::Var:
        if (v->nidx == 0 && v->idx == nullptr) return link;
        break;
      case Kind::Elem:
        if (v->idx != nullptr && v->nidx == nidx &&
            std::memcmp(v->idx, idx, sizeof(int) * static_cast<size_t>(nidx)) == 0)
          return link;
        break;
      case Kind::Fkt:
        if (v->idx == nullptr && v->nidx == nidx) return link;
        break;
    }
  }
  return link;
}

// Same name, same nidx, equal indices (both absent or equal everywhere).
DataVar** refsame(DATAlist* s, uint32_t bucket, const DataVar* e) {
  DataVar** link = &s->bucket[bucket];
  for (; *link != nullptr; link = &(*link)->next) {
    DataVar* v = *link;
    if (v->nidx != e->nidx || std::strcmp(v->name, e->name) != 0) continue;
    if ((v->idx == nullptr) != (e->idx == nullptr)) continue;
    if (v->idx != nullptr &&
        std::memcmp(v->idx, e->idx, sizeof(int) * static_cast<size_t>(v->nidx)) != 0)
      continue;
    return link;
  }
  return link;
}

// The outermost level that evaluates the entry's text (a text can run at
// several levels at once when it sees itself in the later arguments of a
// level-raising built-in). That level ends last, so a release deferred to it
// outlives every level that still uses the entry or scans its text.
BusyFrame* busyof(DataContext* c, const DataVar* v) {
  BusyFrame* outermost = nullptr;
  for (BusyFrame* f = c->busy; f != nullptr; f = f->up)
    if (f->var == v) outermost = f;
  return outermost;
}

struct DeferredText {
  char* text;
  DeferredText* next;
};

// Releases an entry's text, unless it is being scanned on this thread.
void releasetext(DataContext* c, DataVar* v) {
  if (v->text == nullptr) return;
  BusyFrame* f = busyof(c, v);
  if (f != nullptr) {
    DeferredText* d = static_cast<DeferredText*>(dalloc(c, sizeof(DeferredText)));
    d->text = v->text;
    d->next = static_cast<DeferredText*>(f->deferred);
    f->deferred = d;
  } else {
    dfree(c, v->text);
  }
  v->text = nullptr;
}

void freevarnow(DataContext* c, DataVar* v) {
  dfree(c, v->name);
  dfree(c, v->idx);
  dfree(c, v->text);
  dfree(c, v->comment);
  dfree(c, v->tlevels);
  dfree(c, v);
}

// Releases an unlinked entry, or defers it while its text is being evaluated.
void releasevar(DataContext* c, DataVar* v) {
  BusyFrame* f = busyof(c, v);
  if (f != nullptr) {
    f->deleted = true;
    return;
  }
  freevarnow(c, v);
}

int32_t* newtlevels(DataContext* c, int n) {
  if (n <= 0) return nullptr;
  int32_t* t = static_cast<int32_t*>(dalloc(c, sizeof(int32_t) * static_cast<size_t>(n)));
  std::memset(t, 0, sizeof(int32_t) * static_cast<size_t>(n));
  return t;
}

DataVar* newvar(DataContext* c, DATAlist* s, DataVar** link, const char* name, int nlen, int nidx,
                const int* idx) {
  DataVar* v = static_cast<DataVar*>(dalloc(c, sizeof(DataVar)));
  v->serial = s->serial++;
  v->comment = nullptr;
  v->name = dstrdup(c, name, nlen);
  v->nidx = nidx;
  v->idx = nullptr;
  if (idx != nullptr) {
    v->idx = static_cast<int32_t*>(dalloc(c, sizeof(int32_t) * static_cast<size_t>(nidx)));
    std::memcpy(v->idx, idx, sizeof(int32_t) * static_cast<size_t>(nidx));
  }
  v->level = 0;
  v->tlevels = newtlevels(c, nworkers);
  v->next = nullptr;
  v->text = nullptr;
  v->cfunc = nullptr;
  v->value = 0.0;
  *link = v;
  s->modified = 1;
  return v;
}

DATAlist* newscope(DataContext* c, DATAlist* below) {
  DATAlist* s = static_cast<DATAlist*>(dalloc(c, sizeof(DATAlist)));
  std::memset(s, 0, sizeof(DATAlist));
  s->next = below;
  s->nthreads = static_cast<uint32_t>(nworkers);
  s->attached = 1;
  return s;
}

int chaindepth(const DataContext* c) {
  int n = 0;
  for (DATAlist* s = c->top; s != nullptr; s = s->next) ++n;
  return n;
}

int newDATAlistid(DataContext* c) {
  c->top = newscope(c, c->top);
  return chaindepth(c);
}

void DelAllid(DataContext* c) {
  DATAlist* s = c->top;
  if (s == nullptr) return;
  for (int b = 0; b < DATA_BUCKETS; ++b) {
    DataVar* v = s->bucket[b];
    s->bucket[b] = nullptr;
    while (v != nullptr) {
      DataVar* n = v->next;
      releasevar(c, v);
      v = n;
    }
  }
  s->modified = 0;
}

bool onsharedbase(const DataContext* c) {
  return threadphase && c->top != nullptr && c->top->next == unthreadHashTable;
}

// Pops the top scope, committing its entries into the scope below.
int freeDATAlistid(DataContext* c) {
  DATAlist* t = c->top;
  if (t == nullptr || onsharedbase(c)) return 0;
  if (t == c->floor) return chaindepth(c);
  DATAlist* b = t->next;
  if (t->modified) {
    for (int k = 0; k < DATA_BUCKETS; ++k) {
      DataVar* e = t->bucket[k];
      t->bucket[k] = nullptr;
      while (e != nullptr) {
        DataVar* nx = e->next;
        e->next = nullptr;
        if (b != nullptr) {
          DataVar** link = refsame(b, static_cast<uint32_t>(k), e);
          if (*link != nullptr) {
            DataVar* old = *link;
            e->next = old->next;
            e->serial = old->serial;
            *link = e;
            releasevar(c, old);
          } else {
            e->serial = b->serial++;
            *link = e;
          }
          b->modified = 1;
        } else {
          releasevar(c, e);
        }
        e = nx;
      }
    }
  }
  dfree(c, t->comment);
  dfree(c, t);
  c->top = b;
  return chaindepth(c);
}

// Top scope for a write; created when there is none.
DATAlist* writescope(DataContext* c) {
  if (c->top == nullptr) newDATAlistid(c);
  return c->top;
}

void takecomment(DataContext* c, DATAlist* s, DataVar* v) {
  if (s->comment != nullptr) {
    dfree(c, v->comment);
    v->comment = s->comment;
    s->comment = nullptr;
  }
}

DataVar* writeentry(DataContext* c, const char* name, int nlen, Kind kind, int nidx,
                    const int* idx) {
  DATAlist* s = writescope(c);
  DataVar** link = refexact(s, name, nlen, kind, nidx, idx);
  if (*link != nullptr) return *link;
  return newvar(c, s, link, name, nlen, nidx, kind == Kind::Elem ? idx : nullptr);
}

void setnumber(DataContext* c, DataVar* v, double x) {
  releasetext(c, v);
  v->value = x;
  takecomment(c, c->top, v);
}

void settext(DataContext* c, DataVar* v, const char* text, int len) {
  char* t = dstrdup(c, text, len);
  releasetext(c, v);
  v->text = t;
  takecomment(c, c->top, v);
}

bool deleteentry(DataContext* c, const char* name, int nlen, Kind kind, int nidx, const int* idx) {
  if (c->top == nullptr) return false;
  DataVar** link = refexact(c->top, name, nlen, kind, nidx, idx);
  if (*link == nullptr) return false;
  DataVar* v = *link;
  *link = v->next;
  releasevar(c, v);
  return true;
}

// ---------------------------------------------------------------------------
// Texts for error objects

std::string view(const char* s, int n) { return std::string(s, static_cast<size_t>(n)); }

std::string elementtext(const char* name, int nlen, int nidx, const int* idx) {
  std::string s(name, static_cast<size_t>(nlen));
  s += '[';
  char buf[16];
  for (int i = 0; i < nidx; ++i) {
    if (i > 0) s += ',';
    std::snprintf(buf, sizeof buf, "%d", idx[i]);
    s += buf;
  }
  s += ']';
  return s;
}

std::string calltext(const char* name, int nlen, const FormulaArg* args, int nargs) {
  std::string s(name, static_cast<size_t>(nlen));
  s += '(';
  for (int i = 0; i < nargs; ++i) {
    if (i > 0) s += ',';
    s.append(args[i].text, static_cast<size_t>(args[i].len));
  }
  s += ')';
  return s;
}

void pusherrf(DataContext* c, const std::string& obj, const char* fmt, int k) {
  char msg[200];
  std::snprintf(msg, sizeof msg, fmt, k);
  pusherr(c, obj, msg);
}

// ---------------------------------------------------------------------------
// Nesting guard

// Nesting is limited twice: by the number of entry and function levels, and
// by the machine stack that the evaluations of this context use (measured
// from the outermost one), which also bounds a formula nested deeply in its
// text. When a limit is hit, the levels that were running add nothing of
// their own while they unwind: each drops the records pushed above the
// limit's record as it ends, so that a runaway recursion is reported by the
// limit's record and the records of the outermost formula only, not by one
// record per level.

bool stackexhausted(DataContext* c, int slot, const char* sp, long extra) {
  if (c->depth == 0 && c->wdepth == 0) {
    c->stackbase = const_cast<char*>(sp);
    return false;
  }
  long used = c->stackbase - sp;
  long budget = (slot < 0 ? kStackBudgetMain : kStackBudgetWorker) + extra;
  return used > budget || used < -budget;
}

void nestingrecord(DataContext* c, const char* obj, int objlen) {
  if (!c->overflow) {
    c->overflow = true;
    c->overflowmark = c->nerr;
  }
  pusherr(c, obj, objlen, "formula nesting too deep");
}

void unwound(DataContext* c, int entry) {
  if (!c->overflow) return;
  if (entry <= c->overflowmark) dropto(c, c->overflowmark + 1);
  if (c->unwinders == 0) c->overflow = false;
}

// One level of an entry's text or of a function call.
struct Nesting {
  DataContext* c;
  int entry;
  bool ok;
  Nesting(DataContext* ctx, int slot, const char* obj, int objlen)
      : c(ctx), entry(ctx->nerr), ok(true) {
    char here;
    if (stackexhausted(c, slot, &here, 0) || c->depth >= kMaxNesting) {
      nestingrecord(c, obj, objlen);
      ok = false;
      return;
    }
    ++c->depth;
    ++c->unwinders;
  }
  ~Nesting() {
    if (!ok) return;
    --c->depth;
    --c->unwinders;
    unwound(c, entry);
  }
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;
};

// One formula evaluation; the outermost one of a context keeps its records.
struct FormulaLevel {
  DataContext* c;
  int entry;
  bool inner;
  bool ok;
  FormulaLevel(DataContext* ctx, int slot, const char* text, int len)
      : c(ctx), entry(ctx->nerr), inner(ctx->wdepth > 0), ok(true) {
    char here;
    if (stackexhausted(c, slot, &here, kFormulaStackExtra)) {
      nestingrecord(c, text, len);
      ok = false;
      return;
    }
    ++c->wdepth;
    if (inner) ++c->unwinders;
  }
  ~FormulaLevel() {
    if (!ok) return;
    --c->wdepth;
    if (inner) {
      --c->unwinders;
      unwound(c, entry);
    }
  }
  FormulaLevel(const FormulaLevel&) = delete;
  FormulaLevel& operator=(const FormulaLevel&) = delete;
};

// ---------------------------------------------------------------------------
// Hex literals: the 8 bytes of the value, least significant first, each as
// two lower-case hex digits (high half first).

void hexliteral(double x, char* out) {
  uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  out[0] = '&';
  for (int i = 0; i < 8; ++i) {
    unsigned byte = static_cast<unsigned>((bits >> (8 * i)) & 0xFFu);
    out[1 + 2 * i] = unpacktable[byte >> 4];
    out[2 + 2 * i] = unpacktable[byte & 15u];
  }
  out[17] = 0;
}

double unpackhex(const char* p) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) {
    uint64_t byte = static_cast<uint64_t>(packtable[static_cast<unsigned char>(p[2 * i])] * 16 +
                                          packtable[static_cast<unsigned char>(p[2 * i + 1])]);
    bits |= byte << (8 * i);
  }
  double x;
  std::memcpy(&x, &bits, sizeof x);
  return x;
}

}  // namespace

// ---------------------------------------------------------------------------
// Token scanning

bool Parameter(DataContext* c, const char* s, const char* end, ParsedToken* t) {
  const char* p = s;
  int before = c->nerr;
  if (p < end && isletter(*p)) {
    ++p;
    while (p < end && isnamechar(*p)) ++p;
  }
  // A comma directly behind the name makes the name part run on to the next
  // bracket or the end of the text.
  if (p < end && *p == ',') {
    while (p < end && !isbracket(*p)) ++p;
  }
  const char* nameend = p;
  // First pass: extent and number of arguments.
  int counter = 0;
  char bracket = 0;
  int nargs = 0;
  const char* q = p;
  bool closed = false;
  char closer = 0;
  while (q < end) {
    char ch = *q;
    if (ch == '(' || ch == '[') {
      ++counter;
      if (bracket == 0) {
        bracket = ch;
        nargs = 1;
      }
      ++q;
    } else if (ch == ',' && counter == 1) {
      ++nargs;
      ++q;
    } else if (ch == ')' || ch == ']') {
      if (counter == 0) break;
      --counter;
      ++q;
      if (counter == 0) {
        closed = true;
        closer = ch;
        break;
      }
    } else {
      if (counter == 0) break;
      ++q;
    }
  }
  t->name = s;
  t->nlen = static_cast<int>(nameend - s);
  t->bracket = bracket;
  t->toklen = static_cast<int>(q - s);
  t->nargs = nargs;
  t->args =
      nargs > 0
          ? static_cast<FormulaArg*>(salloc(c, sizeof(FormulaArg) * static_cast<size_t>(nargs)))
          : nullptr;
  if (bracket != 0) {
    // Second pass: the argument texts.
    const char* r = nameend + 1;
    const char* start = r;
    int k = 0;
    int depth = 1;
    const char* stop = closed ? q - 1 : q;
    while (r < stop) {
      char ch = *r;
      if (ch == '(' || ch == '[')
        ++depth;
      else if (ch == ')' || ch == ']')
        --depth;
      else if (ch == ',' && depth == 1) {
        t->args[k].text = start;
        t->args[k].len = static_cast<int>(r - start);
        ++k;
        start = r + 1;
      }
      ++r;
    }
    t->args[k].text = start;
    t->args[k].len = static_cast<int>(stop - start);
    if (!closed) {
      pusherr(c, s, static_cast<int>(end - s), "wrong brackets");
    } else if ((bracket == '(' && closer == ']') || (bracket == '[' && closer == ')')) {
      pusherr(c, s, static_cast<int>(end - s), "wrong brackets");
    }
  }
  return c->nerr == before;
}

// ---------------------------------------------------------------------------
// Index evaluation

int makeindex(int* idx, const FormulaArg* args, int nargs, DataContext* c, int slot) {
  for (int i = 0; i < nargs; ++i) {
    double x = Wertid(args[i].text, args[i].len, c, slot);
    if (std::fabs(x) < 4503599627370496.0) x = std::floor(x + 0.5);
    if (!(x <= 2147483647.2 && x >= -2147483648.2)) return i + 1;
    idx[i] = static_cast<int>(x);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Evaluation of an entry's text with the recursion guard

namespace {

double evalentry(DataContext* c, int slot, DataVar* v, const char* obj, int objlen) {
  Nesting nest(c, slot, obj, objlen);
  if (!nest.ok) return 1.0;
  BusyFrame frame{v, c->busy, false, nullptr};
  c->busy = &frame;
  int32_t* g = guardptr(v, slot);
  int32_t saved = g ? *g : 0;
  if (g) *g = c->level + 1;
  const char* text = v->text;
  double r = Wertid(text, static_cast<int>(std::strlen(text)), c, slot);
  if (g) *g = saved;
  c->busy = frame.up;
  for (DeferredText* d = static_cast<DeferredText*>(frame.deferred); d != nullptr;) {
    DeferredText* n = d->next;
    dfree(c, d->text);
    dfree(c, d);
    d = n;
  }
  if (frame.deleted) freevarnow(c, v);
  return r;
}

// ---------------------------------------------------------------------------
// Function calls

double calltextfkt(DataVar* v, const char* name, int nlen, const FormulaArg* args, int nargs,
                   DataContext* c, int slot) {
  Nesting nest(c, slot, name, nlen);
  if (!nest.ok) return 1.0;
  ScratchScope scratch(c);
  int rule = v->nidx;
  int blen = static_cast<int>(std::strlen(v->text));
  // The body is copied first: evaluating an argument may redefine the function.
  char* body = static_cast<char*>(salloc(c, static_cast<size_t>(blen) + 1));
  std::memcpy(body, v->text, static_cast<size_t>(blen) + 1);
  struct Cell {
    char text[18];
    int state;
  };
  Cell* cells = nargs > 0 ? static_cast<Cell*>(salloc(c, sizeof(Cell) * static_cast<size_t>(nargs)))
                          : nullptr;
  for (int i = 0; i < nargs; ++i) cells[i].state = 0;
  // First pass: evaluate every referenced argument once, in the order of first reference.
  int sublen = 0;
  for (int i = 0; i < blen; ++i) {
    if (body[i] != '#') {
      ++sublen;
      continue;
    }
    int j = i + 1;
    if (!isdigitc(body[j])) {
      pusherr(c, calltext(name, nlen, args, nargs), "error in user funktion");
      return 1.0;
    }
    int z = j;
    while (body[z] == '0') ++z;
    int d = z;
    while (isdigitc(body[d])) ++d;
    int nd = d - z;
    long k = 0;
    bool bad = nd == 0 || nd > 10 || (nd == 10 && std::memcmp(body + z, maxint, 10) > 0);
    if (!bad) {
      for (int q = z; q < d; ++q) k = k * 10 + (body[q] - '0');
      if (rule > 0 && k > nargs) bad = true;
    }
    if (bad) {
      pusherr(c, body + i, d - i, "wrong parameter number");
      pusherr(c, calltext(name, nlen, args, nargs), "error in user funktion");
      return 1.0;
    }
    if (k <= nargs) {
      Cell& cell = cells[k - 1];
      if (cell.state == 0) {
        int savedfloor = c->errfloor;
        int before = c->nerr;
        c->errfloor = c->nerr;
        double x = Wertid(args[k - 1].text, args[k - 1].len, c, slot);
        c->errfloor = savedfloor;
        if (c->nerr == before) {
          hexliteral(x, cell.text);
          cell.state = 2;
        } else {
          dropto(c, before);
          cell.state = 3;
        }
      }
      sublen += cell.state == 2 ? 17 : 3 + (d - i) + nlen;
    } else {
      sublen += 3 + (d - i) + nlen;
    }
    i = d - 1;
  }
  // Second pass: substitute.
  char* sub = static_cast<char*>(salloc(c, static_cast<size_t>(sublen) + 1));
  int o = 0;
  for (int i = 0; i < blen; ++i) {
    if (body[i] != '#') {
      sub[o++] = body[i];
      continue;
    }
    int d = i + 1;
    while (isdigitc(body[d])) ++d;
    int z = i + 1;
    while (z < d && body[z] == '0') ++z;
    long k = 0;
    for (int q = z; q < d; ++q) k = k * 10 + (body[q] - '0');
    if (k <= nargs && cells[k - 1].state == 2) {
      std::memcpy(sub + o, cells[k - 1].text, 17);
      o += 17;
    } else {
      sub[o++] = '[';
      std::memcpy(sub + o, body + i, static_cast<size_t>(d - i));
      o += d - i;
      sub[o++] = ',';
      std::memcpy(sub + o, name, static_cast<size_t>(nlen));
      o += nlen;
      sub[o++] = ']';
    }
    i = d - 1;
  }
  sub[o] = 0;
  int savedfloor = c->errfloor;
  c->errfloor = c->nerr;
  double r = Wertid(sub, o, c, slot);
  c->errfloor = savedfloor;
  return r;
}

double callcfkt(DataCallback cb, const char* name, int nlen, const FormulaArg* args, int nargs,
                DataContext* c, int slot) {
  Nesting nest(c, slot, name, nlen);
  if (!nest.ok) return 1.0;
  ScratchScope scratch(c);
  char* name0 = static_cast<char*>(salloc(c, static_cast<size_t>(nlen) + 1));
  std::memcpy(name0, name, static_cast<size_t>(nlen));
  name0[nlen] = 0;
  const char** argv = static_cast<const char**>(
      salloc(c, sizeof(char*) * static_cast<size_t>(nargs > 0 ? nargs : 1)));
  for (int i = 0; i < nargs; ++i) {
    char* a = static_cast<char*>(salloc(c, static_cast<size_t>(args[i].len) + 1));
    std::memcpy(a, args[i].text, static_cast<size_t>(args[i].len));
    a[args[i].len] = 0;
    argv[i] = a;
  }
  DATAlist* savedfloorlist = c->floor;
  DATAlist* savedtop = c->top;
  int savederrfloor = c->errfloor;
  uint8_t savedinformula = c->informula;
  uint32_t savedrekart = c->rekart;
  DataFrame* savedframes = c->frames;
  int savednframes = c->nframes;
  c->floor = c->top;
  c->errfloor = c->nerr;
  c->informula = 0;
  c->frames = nullptr;
  c->nframes = 0;
  pushframe(c, nullptr);
  bool failed = false;
  double value = 1.0;
  try {
    value = cb(name0, argv, nargs);
  } catch (const DataJump&) {
    failed = true;
  }
  while (c->frames != nullptr) popframe(c);
  c->frames = savedframes;
  c->nframes = savednframes;
  c->rekart = savedrekart;
  // Scopes the callback left above the caller's top are discarded, not committed.
  c->floor = nullptr;
  while (c->top != nullptr && c->top != savedtop) {
    DelAllid(c);
    freeDATAlistid(c);
  }
  c->errfloor = savederrfloor;
  c->floor = savedfloorlist;
  c->informula = savedinformula;
  if (failed) {
    pusherr(c, calltext(name, nlen, args, nargs), "error in C function");
    return 1.0;
  }
  return value;
}

}  // namespace

double funktionsruf(const char* name, int nlen, const FormulaArg* args, int nargs, DataContext* c,
                    int slot) {
  if (nlen <= 0) internal_error("fktleer", kModule, 4548);
  DataVar* v = SuchFkt(c, slot, name, nlen, nargs);
  if (v != nullptr) {
    if (v->text != nullptr) return calltextfkt(v, name, nlen, args, nargs, c, slot);
    if (v->cfunc != nullptr) return callcfkt(v->cfunc, name, nlen, args, nargs, c, slot);
  } else if (validname(name, nlen)) {
    StdFunction fn = findbuiltin(name, nlen, nargs);
    if (fn != nullptr) {
      int before = c->nerr;
      int savedfloor = c->errfloor;
      c->errfloor = c->nerr;
      double x = fn(args, nargs, c, slot);
      c->errfloor = savedfloor;
      if (c->nerr == before) return x;
    }
  }
  pusherr(c, calltext(name, nlen, args, nargs), "wrong function call or invalid parameter");
  return 1.0;
}

// ---------------------------------------------------------------------------
// The evaluator

namespace {

struct OpRec {
  int code;  // 0 add, 1 subtract, 3 negate, 4 multiply, 5 divide, 6 none
  int prio;
};

// Reads one operand at *pp; advances *pp behind it.
double operand(const char** pp, const char* end, DataContext* c, int slot, bool* suppressed) {
  const char* p = *pp;
  char ch = p < end ? *p : 0;
  if (isdigitc(ch)) {
    char* stop = nullptr;
    double x = std::strtod(p, &stop);
    if (stop > end) {
      // The number runs past this piece of text: convert a bounded copy.
      ScratchScope scratch(c);
      int n = static_cast<int>(end - p);
      char* tmp = static_cast<char*>(salloc(c, static_cast<size_t>(n) + 1));
      std::memcpy(tmp, p, static_cast<size_t>(n));
      tmp[n] = 0;
      x = std::strtod(tmp, &stop);
      stop = const_cast<char*>(p) + (stop - tmp);
    }
    *pp = stop;
    return x;
  }
  if (isletter(ch)) {
    ScratchScope scratch(c);
    ParsedToken t;
    Parameter(c, p, end, &t);
    *pp = p + t.toklen;
    if (t.bracket == 0) {
      DataVar* v = Such(c, slot, t.name, t.nlen);
      if (v == nullptr) {
        pusherr(c, t.name, t.nlen, "undefined variable");
        return 1.0;
      }
      if (v->text == nullptr) return v->value;
      int before = c->nerr;
      double x = evalentry(c, slot, v, t.name, t.nlen);
      if (c->nerr != before) {
        pusherr(c, t.name, t.nlen, "variable can't be evaluated");
        return 1.0;
      }
      return x;
    }
    if (t.bracket == '[') {
      int* idx = static_cast<int*>(salloc(c, sizeof(int) * static_cast<size_t>(t.nargs)));
      int k = makeindex(idx, t.args, t.nargs, c, slot);
      if (k != 0) {
        pusherrf(c, view(p, t.toklen), "Index no. %d out of range", k);
        return 1.0;
      }
      DataVar* v = SuchIndex(c, slot, t.name, t.nlen, t.nargs, idx);
      if (v == nullptr) {
        pusherr(c, elementtext(t.name, t.nlen, t.nargs, idx), "array element undefined");
        return 1.0;
      }
      if (v->text == nullptr) return v->value;
      int before = c->nerr;
      std::string obj;
      double x = evalentry(c, slot, v, t.name, t.nlen);
      if (c->nerr != before) {
        pusherr(c, elementtext(t.name, t.nlen, t.nargs, idx), "array element can't be evaluated");
        return 1.0;
      }
      return x;
    }
    return funktionsruf(t.name, t.nlen, t.args, t.nargs, c, slot);
  }
  if (ch == '&') {
    const char* q = p + 1;
    while (q < end && ishexc(*q)) ++q;
    *pp = q;
    if (q - p - 1 != 16) {
      pusherr(c, p, static_cast<int>(q - p), "Expression contains wrong content");
      return 1.0;
    }
    return unpackhex(p + 1);
  }
  if (ch == '[') {
    ScratchScope scratch(c);
    ParsedToken t;
    Parameter(c, p, end, &t);
    if (t.nargs == 2) {
      std::string a = view(t.args[0].text, t.args[0].len);
      std::string msg = "parameter " + a + " gives error";
      pusherr(c, t.args[1].text, t.args[1].len, msg.c_str());
      *suppressed = true;
      *pp = p + t.toklen;
    } else {
      pusherr(c, "[", "expression contains wrong character");
    }
    return 1.0;
  }
  pusherr(c, &ch, ch == 0 ? 0 : 1, "expression contains wrong character");
  return 1.0;
}

}  // namespace

double Wertid(const char* text, int len, DataContext* c, int slot) {
  FormulaLevel level(c, slot, text, len);
  if (!level.ok) return 1.0;
  const int entry = c->nerr;
  const char* end = text + len;
  if (len == 0) pusherr(c, "", "empty string should be computed");
  uint8_t savedinformula = c->informula;
  c->informula = 1;
  ScratchScope scratch(c);
  // Every operand pushes one operator record and at most one value.
  size_t cap = static_cast<size_t>(len) + 2;
  OpRec* ops = static_cast<OpRec*>(salloc(c, sizeof(OpRec) * cap));
  double* vals = static_cast<double*>(salloc(c, sizeof(double) * cap));
  int nops = 0, nvals = 0;
  int d = 0;
  OpRec pend{6, 0};
  bool suppressed = false;
  const char* p = text;
  double v = 0.0;
  for (;;) {
    // Operand position: prefix operators and opening brackets.
    for (;;) {
      char ch = p < end ? *p : 0;
      if (ch == '+') {
        ++p;
      } else if (ch == '(') {
        d += 3;
        ++p;
      } else if (ch == '-') {
        ops[nops++] = pend;
        pend = {3, d + 3};
        ++p;
      } else {
        ops[nops++] = pend;
        v = operand(&p, end, c, slot, &suppressed);
        break;
      }
    }
    if (c->nerr != entry) {
      if (!suppressed) pusherr(c, text, len, "wrong expression");
      c->informula = savedinformula;
      return 1.0;
    }
    while (p < end && (*p == ' ' || *p == ')')) {
      if (*p == ')') d -= 3;
      ++p;
    }
    OpRec next;
    if (p >= end) {
      next = {6, 0};
    } else if (*p == '+') {
      next = {0, d + 1};
      ++p;
    } else if (*p == '-') {
      next = {1, d + 1};
      ++p;
    } else if (*p == '*') {
      next = {4, d + 2};
      ++p;
    } else if (*p == '/') {
      next = {5, d + 2};
      ++p;
    } else {
      // Not an operator: read it as an operand; the evaluation then ends.
      pusherr(c, text, len, "wrong expression");
      continue;
    }
    bool finished = false;
    while (nops > 0 && ops[nops - 1].prio >= next.prio) {
      OpRec r = ops[--nops];
      switch (r.code) {
        case 0:
          v = vals[--nvals] + v;
          break;
        case 1:
          v = vals[--nvals] - v;
          break;
        case 4:
          v = v * vals[--nvals];
          break;
        case 5:
          if (v == 0.0) {
            v = 1.0;
            pusherr(c, text, len, "expression causes division by zero");
            --nvals;
          } else {
            v = vals[--nvals] / v;
          }
          break;
        case 3:
          v = -v;
          break;
        default:
          break;
      }
      if (nops == 0) {
        finished = true;
        break;
      }
    }
    if (finished) break;
    vals[nvals++] = v;
    pend = next;
  }
  if ((nvals != 0 || d != 0 || p < end) && !suppressed) pusherr(c, text, len, "wrong expression");
  c->informula = savedinformula;
  return c->nerr != entry ? 1.0 : v;
}

// ---------------------------------------------------------------------------
// Public interface: scopes

int newDATAlist() {
  ensureinit();
  return newDATAlistid(ctxof());
}

int freeDATAlist() {
  ensureinit();
  return freeDATAlistid(ctxof());
}

DATAlist* pushDATAlist() {
  ensureinit();
  DataContext* c = ctxof();
  DATAlist* t = c->top;
  if (t == nullptr || onsharedbase(c) || t == c->floor) return nullptr;
  c->top = t->next;
  t->next = nullptr;
  t->attached = 0;
  return t;
}

void popDATAlist(DATAlist* scope) {
  ensureinit();
  if (scope == nullptr) return;
  if (scope->attached) internal_error("DATAlist popped twice", kModule, 1030);
  DataContext* c = ctxof();
  scope->attached = 1;
  if (scope->nthreads != static_cast<uint32_t>(nworkers)) {
    for (int b = 0; b < DATA_BUCKETS; ++b)
      for (DataVar* v = scope->bucket[b]; v != nullptr; v = v->next) {
        dfree(c, v->tlevels);
        v->tlevels = newtlevels(c, nworkers);
      }
    scope->nthreads = static_cast<uint32_t>(nworkers);
  }
  scope->next = c->top;
  c->top = scope;
}

void DelAll() {
  ensureinit();
  DelAllid(ctxof());
}

int DATAlistLevel() {
  ensureinit();
  return chaindepth(ctxof());
}
int DATAlevel() { return DATAlistLevel(); }

void setrekart(int mode) {
  ensureinit();
  ctxof()->rekart = static_cast<uint32_t>(mode);
}
int getrekart() {
  ensureinit();
  return static_cast<int>(ctxof()->rekart);
}

// ---------------------------------------------------------------------------
// Accessors (internal twins and public calls)

namespace {

// A name as passed to an accessor: its token, and whether characters follow it.
struct AccessName {
  ParsedToken t;
  bool trailing;
  bool valid;  // the name part is a valid name
};

void parsename(DataContext* c, const char* name, AccessName* a) {
  int len = static_cast<int>(std::strlen(name));
  Parameter(c, name, name + len, &a->t);
  a->trailing = a->t.toklen < len;
  a->valid = validname(a->t.name, a->t.nlen);
}

// Evaluates the index texts of a token for an accessor; false after pushing
// the accessor's message.
bool accessindex(DataContext* c, int slot, const char* name, const ParsedToken& t, int* idx) {
  int before = c->nerr;
  int k = makeindex(idx, t.args, t.nargs, c, slot);
  if (c->nerr != before) {
    pusherr(c, name, "array index can't be evaluated");
    return false;
  }
  if (k != 0) {
    pusherrf(c, name, "Index no. %d out of range", k);
    return false;
  }
  return true;
}

double readentry(DataContext* c, int slot, DataVar* v, const char* obj, int objlen, bool* failed) {
  if (v->text == nullptr) return v->value;
  int before = c->nerr;
  double x = evalentry(c, slot, v, obj, objlen);
  *failed = c->nerr != before;
  return x;
}

int tointeger(DataContext* c, double x, const char* name) {
  if (!(x <= 9223372036854775808.0 && x >= -9223372036854775808.0)) {
    pusherr(c, name, "out of integer range");
    return 1;
  }
  double r = std::floor(x + 0.5);
  if (r > 2147483647.0) return 2147483647;
  if (r < -2147483648.0) return -2147483647 - 1;
  return static_cast<int>(r);
}

// Writes a number into a caller's buffer with "%23.16E" when it fits.
bool putnumber(double x, int maxlen, char* buf) {
  char tmp[64];
  int n = std::snprintf(tmp, sizeof tmp, "%23.16E", x);
  if (maxlen < 23 || n > maxlen) return false;
  if (buf) std::memcpy(buf, tmp, static_cast<size_t>(n) + 1);
  return true;
}

bool puttext(const char* text, int maxlen, char* buf) {
  size_t n = std::strlen(text);
  if (maxlen < 0 || n > static_cast<size_t>(maxlen)) return false;
  if (buf) std::memcpy(buf, text, n + 1);
  return true;
}

void clearbuf(char* buf) {
  if (buf) buf[0] = 0;
}

}  // namespace

double GetVarid(const char* name, DataContext* c, int slot) {
  ScratchScope scratch(c);
  if (name[0] == 0) pusherr(c, "", "empty variable name");
  AccessName a;
  parsename(c, name, &a);
  if (a.trailing)
    pusherr(c, name, "wrong variable name");
  else if (!a.valid)
    pusherr(c, name, "wrong variable name");
  if (a.t.bracket == '(') {
    pusherr(c, name, "function call can't be evaluated by GetVar");
    return 1.0;
  }
  DataVar* v = nullptr;
  const char* obj = name;
  int objlen = static_cast<int>(std::strlen(name));
  if (a.t.bracket == '[') {
    int* idx = static_cast<int*>(salloc(c, sizeof(int) * static_cast<size_t>(a.t.nargs)));
    if (!accessindex(c, slot, name, a.t, idx)) return 1.0;
    v = SuchIndex(c, slot, a.t.name, a.t.nlen, a.t.nargs, idx);
  } else {
    v = Such(c, slot, a.t.name, a.t.nlen);
    if (a.valid) {
      obj = a.t.name;
      objlen = a.t.nlen;
    }
  }
  if (v == nullptr) {
    pusherr(c, obj, objlen, "undefined variable");
    return 1.0;
  }
  bool failed = false;
  double x = readentry(c, slot, v, obj, objlen, &failed);
  if (failed) {
    pusherr(c, name, "variable can't be evaluated");
    return 1.0;
  }
  return a.trailing ? 1.0 : x;
}

namespace {

// The name and indices of an array element: false, with its error record,
// for an empty name or no index.
bool elementaccess(DataContext* c, const char* name, int nidx, const int* idx) {
  if (name[0] == 0) {
    pusherr(c, "", "empty variable name");
    return false;
  }
  if (idx == nullptr || nidx <= 0) {
    pusherr(c, name, "empty array index");
    return false;
  }
  return true;
}

// An array element to write: the length of its name, or -1 after an error
// record.
int elementwrite(DataContext* c, const char* name, int nidx, const int* idx) {
  if (!elementaccess(c, name, nidx, idx)) return -1;
  int nlen = static_cast<int>(std::strlen(name));
  if (!validname(name, nlen)) {
    pusherr(c, name, "wrong variable name");
    return -1;
  }
  return nlen;
}

}  // namespace

double GetIndexVarid(const char* name, int nidx, const int* idx, DataContext* c, int slot) {
  if (!elementaccess(c, name, nidx, idx)) return 1.0;
  int nlen = static_cast<int>(std::strlen(name));
  DataVar* v = SuchIndex(c, slot, name, nlen, nidx, idx);
  if (v == nullptr) {
    pusherr(c, elementtext(name, nlen, nidx, idx), "undefined array element");
    return 1.0;
  }
  bool failed = false;
  double x = readentry(c, slot, v, name, nlen, &failed);
  if (failed) pusherr(c, elementtext(name, nlen, nidx, idx), "array element can't be evaluated");
  return x;
}

namespace {

// Common part of SetVar and SetStrVar: the entry to write, or null after an error.
DataVar* settarget(DataContext* c, int slot, const char* name, const char* fktmsg) {
  AccessName a;
  parsename(c, name, &a);
  int before = c->nerr;
  if (a.trailing) pusherr(c, name, "wrong variable name");
  if (a.t.bracket == '(') {
    pusherr(c, name, fktmsg);
    return nullptr;
  }
  if (!a.valid) {
    if (!a.trailing) pusherr(c, name, "wrong variable name");
    return nullptr;
  }
  if (a.t.bracket == '[') {
    int* idx = static_cast<int*>(salloc(c, sizeof(int) * static_cast<size_t>(a.t.nargs)));
    if (!accessindex(c, slot, name, a.t, idx)) return nullptr;
    if (c->nerr != before) return nullptr;
    return writeentry(c, a.t.name, a.t.nlen, Kind::Elem, a.t.nargs, idx);
  }
  if (c->nerr != before) return nullptr;
  return writeentry(c, a.t.name, a.t.nlen, Kind::Var, 0, nullptr);
}

}  // namespace

void SetVarid(const char* name, double x, DataContext* c, int slot) {
  ScratchScope scratch(c);
  DataVar* v = settarget(c, slot, name, "function can't be set by SetVar");
  if (v) setnumber(c, v, x);
}

void SetStrVarid(const char* name, const char* text, DataContext* c, int slot) {
  ScratchScope scratch(c);
  if (name[0] == 0) {
    pusherr(c, "", "empty variable name");
    return;
  }
  DataVar* v = settarget(c, slot, name, "function can't be set by SetStrVar");
  if (v) settext(c, v, text, static_cast<int>(std::strlen(text)));
}

void SetIndexVarid(const char* name, int nidx, const int* idx, double x, DataContext* c, int) {
  int nlen = elementwrite(c, name, nidx, idx);
  if (nlen < 0) return;
  setnumber(c, writeentry(c, name, nlen, Kind::Elem, nidx, idx), x);
}

void SetIndexStrVarid(const char* name, int nidx, const int* idx, const char* text, DataContext* c,
                      int) {
  int nlen = elementwrite(c, name, nidx, idx);
  if (nlen < 0) return;
  settext(c, writeentry(c, name, nlen, Kind::Elem, nidx, idx), text,
          static_cast<int>(std::strlen(text)));
}

void DelVarid(const char* name, DataContext* c, int slot) {
  if (c->top == nullptr) return;
  ScratchScope scratch(c);
  AccessName a;
  parsename(c, name, &a);
  int before = c->nerr;
  if (!a.valid) {
    pusherr(c, name, "wrong variable name in DelVar");
    return;
  }
  if (a.trailing) pusherr(c, name, "wrong variable name");
  if (a.t.bracket == '(') {
    pusherr(c, name, "function can't be deleted by DelVar");
    return;
  }
  if (a.t.bracket == '[') {
    int* idx = static_cast<int*>(salloc(c, sizeof(int) * static_cast<size_t>(a.t.nargs)));
    if (!accessindex(c, slot, name, a.t, idx)) return;
    if (c->nerr == before) deleteentry(c, a.t.name, a.t.nlen, Kind::Elem, a.t.nargs, idx);
    return;
  }
  if (c->nerr == before) deleteentry(c, a.t.name, a.t.nlen, Kind::Var, 0, nullptr);
}

void DelIndexVarid(const char* name, int nidx, const int* idx, DataContext* c, int) {
  if (idx == nullptr || nidx <= 0) {
    pusherr(c, name, "empty array index");
    return;
  }
  if (c->top == nullptr) return;
  int nlen = static_cast<int>(std::strlen(name));
  if (!validname(name, nlen)) {
    pusherr(c, name, "wrong variable name in function DelIndexVar");
    return;
  }
  deleteentry(c, name, nlen, Kind::Elem, nidx, idx);
}

void SetStrFktid(const char* name, int n, const char* body, DataContext* c, int) {
  if (name[0] == 0) {
    pusherr(c, "", "user funktion with empty name can't be defined");
    return;
  }
  if (n == 0) {
    pusherr(c, name, "user function with void parameters can't be defined");
    return;
  }
  int nlen = static_cast<int>(std::strlen(name));
  if (!validname(name, nlen)) {
    pusherr(c, name, "wrong variable name");
    return;
  }
  DataVar* v = writeentry(c, name, nlen, Kind::Fkt, n, nullptr);
  v->cfunc = nullptr;
  settext(c, v, body, static_cast<int>(std::strlen(body)));
}

void DelFktid(const char* name, int n, DataContext* c, int) {
  if (name[0] == 0) {
    pusherr(c, "", "function with empty name can't be deleted");
    return;
  }
  if (n == 0) {
    pusherr(c, name, "function with void parameters can't be deleted");
    return;
  }
  int nlen = static_cast<int>(std::strlen(name));
  if (!validname(name, nlen)) return;
  deleteentry(c, name, nlen, Kind::Fkt, n, nullptr);
}

double GetVar(const char* name) {
  PublicCall pc;
  double x = GetVarid(name, pc.c, threadid());
  pc.finish(2535);
  return x;
}

int GetIntVar(const char* name) {
  PublicCall pc;
  int before = pc.c->nerr;
  double x = GetVarid(name, pc.c, threadid());
  int r = pc.c->nerr != before ? 1 : tointeger(pc.c, x, name);
  pc.finish(2549);
  return r;
}

void SetVar(const char* name, double x) {
  PublicCall pc;
  SetVarid(name, x, pc.c, threadid());
  pc.finish(2627);
}

void DelVar(const char* name) {
  PublicCall pc;
  DelVarid(name, pc.c, threadid());
  pc.finish(2722);
}

void GetStrVar(const char* name, int maxlen, char* buf) {
  PublicCall pc;
  DataContext* c = pc.c;
  int slot = threadid();
  clearbuf(buf);
  {
    ScratchScope scratch(c);
    if (name[0] == 0) {
      pusherr(c, "", "empty variable name");
    } else {
      AccessName a;
      parsename(c, name, &a);
      int before = c->nerr;
      if (a.trailing) pusherr(c, name, "ungueltiger Variablenname");
      DataVar* v = nullptr;
      const char* obj = name;
      int objlen = static_cast<int>(std::strlen(name));
      bool ok = true;
      if (a.t.bracket == '(') {
        pusherr(c, name, "function can't be evaluated by GetStrVar");
        ok = false;
      } else if (a.t.bracket == '[') {
        int* idx = static_cast<int*>(salloc(c, sizeof(int) * static_cast<size_t>(a.t.nargs)));
        ok = accessindex(c, slot, name, a.t, idx);
        if (ok) v = SuchIndex(c, slot, a.t.name, a.t.nlen, a.t.nargs, idx);
      } else {
        v = Such(c, slot, a.t.name, a.t.nlen);
        if (a.valid) {
          obj = a.t.name;
          objlen = a.t.nlen;
        }
      }
      if (ok && v == nullptr) {
        pusherr(c, obj, objlen, "undefined variable");
      } else if (ok && c->nerr == before) {
        bool fits =
            v->text != nullptr ? puttext(v->text, maxlen, buf) : putnumber(v->value, maxlen, buf);
        if (!fits) {
          clearbuf(buf);
          pusherr(c, name, "insufficient string length");
        }
      }
    }
  }
  pc.finish(2852);
}

void SetStrVar(const char* name, const char* text) {
  PublicCall pc;
  SetStrVarid(name, text, pc.c, threadid());
  pc.finish(2934);
}

double GetIndexVar(const char* name, int nidx, const int* idx) {
  PublicCall pc;
  double x = GetIndexVarid(name, nidx, idx, pc.c, threadid());
  pc.finish(2135);
  return x;
}

int GetIndexIntVar(const char* name, int nidx, const int* idx) {
  PublicCall pc;
  int before = pc.c->nerr;
  double x = GetIndexVarid(name, nidx, idx, pc.c, threadid());
  int r = pc.c->nerr != before ? 1 : tointeger(pc.c, x, name);
  pc.finish(2148);
  return r;
}

void SetIndexVar(const char* name, int nidx, const int* idx, double x) {
  PublicCall pc;
  SetIndexVarid(name, nidx, idx, x, pc.c, threadid());
  pc.finish(2184);
}

void DelIndexVar(const char* name, int nidx, const int* idx) {
  PublicCall pc;
  DelIndexVarid(name, nidx, idx, pc.c, threadid());
  pc.finish(2225);
}

void GetIndexStrVar(const char* name, int nidx, const int* idx, int maxlen, char* buf) {
  PublicCall pc;
  DataContext* c = pc.c;
  clearbuf(buf);
  if (elementaccess(c, name, nidx, idx)) {
    int nlen = static_cast<int>(std::strlen(name));
    DataVar* v = SuchIndex(c, threadid(), name, nlen, nidx, idx);
    if (v == nullptr) {
      pusherr(c, elementtext(name, nlen, nidx, idx), "undefined array element");
    } else {
      bool fits =
          v->text != nullptr ? puttext(v->text, maxlen, buf) : putnumber(v->value, maxlen, buf);
      if (!fits) {
        clearbuf(buf);
        pusherr(c, name, "insufficient string length");
      }
    }
  }
  pc.finish(2291);
}

void SetIndexStrVar(const char* name, int nidx, const int* idx, const char* text) {
  PublicCall pc;
  SetIndexStrVarid(name, nidx, idx, text, pc.c, threadid());
  pc.finish(2324);
}

void SetUserFkt(const char* name, int n, DataCallback callback) {
  PublicCall pc;
  DataContext* c = pc.c;
  if (name[0] == 0) {
    pusherr(c, "", "C-funktion with empty name can't be defined");
  } else if (n == 0) {
    pusherr(c, name, "C-funktion with void parameters can't be defined");
  } else {
    int nlen = static_cast<int>(std::strlen(name));
    if (!validname(name, nlen)) internal_error("SetUserFkt", kModule, 2347);
    DataVar* v = writeentry(c, name, nlen, Kind::Fkt, n, nullptr);
    releasetext(c, v);
    v->cfunc = callback;
  }
  pc.finish(2351);
}

void SetStrFkt(const char* name, int n, const char* body) {
  PublicCall pc;
  SetStrFktid(name, n, body, pc.c, threadid());
  pc.finish(2386);
}

void DelFkt(const char* name, int n) {
  PublicCall pc;
  DelFktid(name, n, pc.c, threadid());
  pc.finish(2423);
}

double Wert(const char* text) {
  PublicCall pc;
  double x = Wertid(text, static_cast<int>(std::strlen(text)), pc.c, threadid());
  pc.finish(1608);
  return x;
}

// ---------------------------------------------------------------------------
// Error stack

bool ifErr() {
  ensureinit();
  return pending(ctxof());
}

const char* GetErr(int k) {
  ensureinit();
  DataContext* c = ctxof();
  if (!pending(c)) return nullptr;
  if (k == 0) return c->errtop->object;
  if (k == 1) return c->errtop->message;
  return nullptr;
}

void NextErr() {
  ensureinit();
  DataContext* c = ctxof();
  if (pending(c)) droptop(c);
}

void ClearErr() {
  ensureinit();
  DataContext* c = ctxof();
  dropto(c, c->errfloor);
}

bool DelErrid(DataContext* c) {
  if (!pending(c)) return false;
  droptop(c);
  return pending(c);
}

void SetErr(DataContext* c, const char* object, int objlen, const char* message) {
  pusherr(c, object, objlen, message);
}

int errcount(DataContext* c) { return c->nerr; }
void droperrors(DataContext* c, int mark) { dropto(c, mark); }
int errfloorof(DataContext* c) { return c->errfloor; }
void seterrfloor(DataContext* c, int mark) { c->errfloor = mark; }

// ---------------------------------------------------------------------------
// Frames

void dataerr_newjmp() {
  ensureinit();
  pushframe(ctxof(), nullptr);
}

void dataerr_newhandler(void (*handler)()) {
  ensureinit();
  pushframe(ctxof(), handler);
}

void dataerr_oldjmp() {
  ensureinit();
  popframe(ctxof());
}

void dataerr_jmp() {
  ensureinit();
  jump(ctxof());
}

int ondataLevel() {
  ensureinit();
  return ctxof()->nframes;
}

void dataerr_printexit() {
  while (ifErr()) {
    std::printf("(E) %s\n    %s\n", GetErr(0), GetErr(1));
    NextErr();
  }
  fatal_exit(1);
}

// ---------------------------------------------------------------------------
// Context services for the built-in functions

DataContext* datacontext() {
  ensureinit();
  return ctxof();
}

int getlevel(DataContext* c) { return c->level; }
void setlevel(DataContext* c, int level) { c->level = level; }

void* scratchalloc(DataContext* c, size_t n) { return salloc(c, n); }
ScratchPos scratchmark(DataContext* c) {
  ScratchMark m = smark(c);
  return {m.block, m.used};
}
void scratchrelease(DataContext* c, ScratchPos pos) {
  srelease(c, {static_cast<ScratchBlock*>(pos.block), pos.used});
}

int newDATAlistctx(DataContext* c) { return newDATAlistid(c); }
void DelAllctx(DataContext* c) { DelAllid(c); }
int freeDATAlistctx(DataContext* c) { return freeDATAlistid(c); }

// ---------------------------------------------------------------------------
// Tables

void testinit() {
  requestmutex(&initmutex);
  if (!ifinit.load(std::memory_order_relaxed)) {
    releasemutex(&initmutex);
    return;
  }
  enterbuiltins();
  ifinit.store(false, std::memory_order_release);
  releasemutex(&initmutex);
}

bool validformulaname(const char* name, int nlen) { return validname(name, nlen); }

// ---------------------------------------------------------------------------
// Statements

namespace {

bool stdin_eoln = false;

}  // namespace

// Left side of a statement: a name and at most one bracketed group.
void varspn(DataContext* c, const char* text, int len, int* L, int* n) {
  int p = 0;
  if (p < len && isletter(text[p])) {
    ++p;
    while (p < len && isnamechar(text[p])) ++p;
  }
  *n = p;
  int depth = 0;
  char kind = 0;
  while (p < len) {
    char ch = text[p];
    if (ch == '(' || ch == '[') {
      if (kind == 0) kind = ch;
      ++depth;
      ++p;
    } else if (ch == ')' || ch == ']') {
      if (depth == 0) break;
      --depth;
      ++p;
      if (depth == 0) {
        if ((kind == '(' && ch == ']') || (kind == '[' && ch == ')'))
          pusherr(c, text, len, "wrong brackets");
        break;
      }
    } else {
      if (depth == 0) break;
      ++p;
    }
  }
  if (p >= len && depth > 0) pusherr(c, text, len, "wrong brackets");
  *L = p;
}

namespace {

char* scratchcopy(DataContext* c, const char* s, int len) {
  char* t = static_cast<char*>(salloc(c, static_cast<size_t>(len) + 1));
  if (len > 0) std::memcpy(t, s, static_cast<size_t>(len));
  t[len] = 0;
  return t;
}

}  // namespace

bool ersetzen(const char* right, int len, DataContext* c, int slot, double* x, const char** text,
              int* textlen) {
  if (len == 0 || right[0] != '=') {
    *text = right;
    *textlen = len;
    return false;
  }
  int k = 0;
  while (k < len && right[k] == '=') ++k;
  const char* t = right + k;
  int tl = len - k;
  *text = t;
  *textlen = tl;
  if (c->top == nullptr) return false;
  int steps = 0;
  for (;;) {
    *text = t;
    *textlen = tl;
    int before = c->nerr;
    uint8_t savedinformula = c->informula;
    if (tl == 0 || !isletter(t[0])) {
      c->informula = 1;
      double v = Wertid(t, tl, c, slot);
      c->informula = savedinformula;
      if (c->nerr == before) {
        *x = v;
        return true;
      }
      dropto(c, before);
      return false;
    }
    ParsedToken tok;
    if (!Parameter(c, t, t + tl, &tok)) {
      dropto(c, before);
      return false;
    }
    if (tok.toklen < tl) {
      c->informula = 1;
      double v = Wertid(t, tl, c, slot);
      c->informula = savedinformula;
      if (c->nerr == before) {
        *x = v;
        return true;
      }
      dropto(c, before);
      return false;
    }
    DataVar* v = nullptr;
    if (tok.bracket == '(') {
      c->informula = 1;
      double r = funktionsruf(tok.name, tok.nlen, tok.args, tok.nargs, c, slot);
      c->informula = savedinformula;
      if (c->nerr == before) {
        *x = r;
        return true;
      }
      dropto(c, before);
      return false;
    }
    if (tok.bracket == '[') {
      int* idx = static_cast<int*>(salloc(c, sizeof(int) * static_cast<size_t>(tok.nargs)));
      int bad = makeindex(idx, tok.args, tok.nargs, c, slot);
      if (bad != 0 || c->nerr != before) {
        dropto(c, before);
        return false;
      }
      v = SuchIndex(c, slot, tok.name, tok.nlen, tok.nargs, idx);
    } else {
      v = Such(c, slot, tok.name, tok.nlen);
    }
    if (v == nullptr) return false;
    if (v->text == nullptr) {
      *x = v->value;
      return true;
    }
    // A copy in the caller's working memory: running the text in the next
    // step (a function call or a formula) may redefine the entry and release
    // its text, and the caller stores the text after this returns.
    tl = static_cast<int>(std::strlen(v->text));
    t = scratchcopy(c, v->text, tl);
    ++steps;
    if (steps >= k) {
      *text = t;
      *textlen = tl;
      return false;
    }
  }
}

int ergibtid(const char* text, int len, const int* lhs, DataContext* c, int slot) {
  ScratchScope scratch(c);
  int L, n;
  if (lhs != nullptr) {
    L = lhs[0];
    n = lhs[1];
  } else {
    varspn(c, text, len, &L, &n);
  }
  if (L == 0 || n == 0 || L >= len) return 0;
  char* name = scratchcopy(c, text, n);
  if (text[L] == ':' && text[n] == '(') {
    int before = c->nerr;
    double x = Wertid(text + n + 1, L - n - 2, c, slot);
    if (c->nerr == before) {
      double r = std::floor(x + 0.5);
      int count = (r <= 2147483647.0 && r >= -2147483648.0) ? static_cast<int>(r) : 0;
      const char* body = text + L + 1;
      int blen = len - L - 1;
      if (blen > 0)
        SetStrFktid(name, count, scratchcopy(c, body, blen), c, slot);
      else
        DelFktid(name, count, c, slot);
    }
    if (c->nerr != before) {
      dropto(c, before);
      return 0;
    }
    return 1;
  }
  if (text[L] == '=') {
    char* target = scratchcopy(c, text, L);
    const char* right = text + L + 1;
    int rlen = len - L - 1;
    if (rlen == 0) {
      DelVarid(target, c, slot);
      return 1;
    }
    double x = 0;
    const char* t = nullptr;
    int tl = 0;
    if (ersetzen(right, rlen, c, slot, &x, &t, &tl))
      SetVarid(target, x, c, slot);
    else
      SetStrVarid(target, scratchcopy(c, t, tl), c, slot);
    return 1;
  }
  return 0;
}

int ergibt(const char* text) {
  PublicCall pc;
  int r = ergibtid(text, static_cast<int>(std::strlen(text)), nullptr, pc.c, threadid());
  pc.finish(3121);
  return r;
}

const char* SetComment(const char* text) {
  ensureinit();
  DataContext* c = ctxof();
  DATAlist* s = writescope(c);
  dfree(c, s->comment);
  s->comment = dstrdup(c, text);
  return s->comment;
}

void SetStrInput(const char* text) {
  ensureinit();
  DataContext* c = ctxof();
  dfree(c, c->input);
  c->input = text ? dstrdup(c, text) : nullptr;
  c->cursor = 0;
}

// ---------------------------------------------------------------------------
// Item readers

namespace {

// Reads one item of at most limit characters into item (limit + 1 bytes).
// Returns false after "insufficient string length" (the item is then empty).
bool readitem(DataContext* c, FILE* stream, int limit, char* item) {
  item[0] = 0;
  int n = 0;
  bool overflow = false;
  auto put = [&](char ch) {
    if (n < limit)
      item[n++] = ch;
    else
      overflow = true;
  };
  if (stream == nullptr) {
    if (c->input == nullptr) internal_error("data-string-NULL", kModule, 3153);
    const char* p = c->input + c->cursor;
    while (*p == ' ') ++p;
    while (*p != 0 && *p != ' ') put(*p++);
    c->cursor = static_cast<int>(p - c->input);
  } else {
    if (stream == stdin && stdin_eoln) return true;
    int ch = std::getc(stream);
    while (ch == ' ') ch = std::getc(stream);
    int depth = 0;
    while (ch != EOF) {
      if (ch == ' ') break;
      if (ch == '\n') {
        if (depth < 1) {
          if (stream == stdin)
            stdin_eoln = true;
          else
            std::ungetc(ch, stream);
          break;
        }
        ch = std::getc(stream);
        continue;
      }
      if (ch == '(' || ch == '[')
        ++depth;
      else if (ch == ')' || ch == ']')
        --depth;
      put(static_cast<char>(ch));
      ch = std::getc(stream);
    }
  }
  if (overflow) {
    item[0] = 0;
    pusherr(c, "GetItem", "insufficient string length");
    return false;
  }
  item[n] = 0;
  return true;
}

constexpr int kItemLimit = 8001;

// The value item of GetList and GetData: statements before it are executed.
// True for a number (in *x), else the text (possibly empty) is in *text.
bool readvalue(DataContext* c, int slot, FILE* stream, char* item, double* x, const char** text,
               int* textlen) {
  for (;;) {
    readitem(c, stream, kItemLimit, item);
    int len = static_cast<int>(std::strlen(item));
    if (len == 0 || ergibtid(item, len, nullptr, c, slot) == 0) break;
  }
  int len = static_cast<int>(std::strlen(item));
  return ersetzen(item, len, c, slot, x, text, textlen);
}

}  // namespace

void GetItem(FILE* stream, int maxlen, char* buf) {
  PublicCall pc;
  {
    ScratchScope scratch(pc.c);
    char* item = static_cast<char*>(salloc(pc.c, static_cast<size_t>(maxlen > 0 ? maxlen : 0) + 1));
    readitem(pc.c, stream, maxlen > 0 ? maxlen : 0, item);
    if (buf) std::memcpy(buf, item, std::strlen(item) + 1);
  }
  pc.finish(3191);
}

void GetList(FILE* stream, int maxlen, char* buf) {
  PublicCall pc;
  DataContext* c = pc.c;
  clearbuf(buf);
  {
    ScratchScope scratch(c);
    char* item = static_cast<char*>(salloc(c, kItemLimit + 1));
    double x = 0;
    const char* t = nullptr;
    int tl = 0;
    if (readvalue(c, threadid(), stream, item, &x, &t, &tl)) {
      if (!putnumber(x, maxlen, buf)) {
        clearbuf(buf);
        pusherr(c, "GetItem", "insufficient string length");
      }
    } else if (tl > maxlen) {
      pusherr(c, "GetList", "insufficient string length");
    } else if (buf) {
      std::memcpy(buf, t, static_cast<size_t>(tl));
      buf[tl] = 0;
    }
  }
  pc.finish(3282);
}

void GetData(FILE* stream, const char* name) {
  PublicCall pc;
  DataContext* c = pc.c;
  int slot = threadid();
  if (stream == nullptr) c->cursor = 0;
  {
    ScratchScope scratch(c);
    char* item = static_cast<char*>(salloc(c, kItemLimit + 1));
    int k = 0;
    for (;;) {
      double x = 0;
      const char* t = nullptr;
      int tl = 0;
      bool number = readvalue(c, slot, stream, item, &x, &t, &tl);
      // Only an empty item ends the line: an item such as "=" stands for the
      // empty text.
      if (item[0] == 0) break;
      if (!number && tl > kItemLimit - 1) {
        pusherr(c, "GetList", "insufficient string length");
        break;
      }
      int idx[1] = {k};
      if (number) {
        if (name[0] == 0)
          pusherr(c, "", "empty variable name");
        else
          SetIndexVarid(name, 1, idx, x, c, slot);
      } else {
        SetIndexStrVarid(name, 1, idx, scratchcopy(c, t, tl), c, slot);
      }
      ++k;
      if (pending(c)) break;
    }
    int idx[1] = {k};
    if (name[0] != 0) DelIndexVarid(name, 1, idx, c, slot);
  }
  if (stream == stdin) {
    stdin_eoln = false;
  } else if (stream != nullptr) {
    int ch = std::getc(stream);
    (void)ch;
  }
  pc.finish(3274);
}

// ---------------------------------------------------------------------------
// Control-file format

void heapsortid(int n, void* base, bool (*less)(int i, int j, void* base),
                void (*swap)(int i, int j, void* base)) {
  if (n < 2) return;
  auto sift = [&](int root, int end) {
    for (;;) {
      int child = 2 * root + 1;
      if (child >= end) return;
      if (child + 1 < end && less(child, child + 1, base)) ++child;
      if (!less(root, child, base)) return;
      swap(root, child, base);
      root = child;
    }
  };
  for (int i = n / 2 - 1; i >= 0; --i) sift(i, n);
  for (int end = n - 1; end > 0; --end) {
    swap(0, end, base);
    sift(0, end);
  }
}

namespace {

bool varvergleich(int i, int j, void* base) {
  DataVar** v = static_cast<DataVar**>(base);
  return v[i]->serial < v[j]->serial;
}

void vartausch(int i, int j, void* base) {
  DataVar** v = static_cast<DataVar**>(base);
  DataVar* t = v[i];
  v[i] = v[j];
  v[j] = t;
}

void saveentry(FILE* f, const DataVar* v) {
  if (v->idx == nullptr && v->nidx != 0 && v->text == nullptr) return;  // C function
  if (v->comment != nullptr) std::fprintf(f, "%c%s\n", '%', v->comment);
  if (v->idx == nullptr && v->nidx != 0) {
    std::fprintf(f, "%s(%d):%s\n", v->name, v->nidx, v->text);
    return;
  }
  std::fputs(v->name, f);
  if (v->idx != nullptr) {
    std::fputc('[', f);
    for (int i = 0; i < v->nidx; ++i) std::fprintf(f, i == 0 ? "%d" : ",%d", v->idx[i]);
    std::fputc(']', f);
  }
  if (v->text != nullptr) {
    // An empty text is written "==": it reads back as the empty text.
    std::fprintf(f, "=%s\n", v->text[0] != 0 ? v->text : "=");
  } else if (std::isfinite(v->value)) {
    std::fprintf(f, "==%-23.16E\n", v->value);
  } else {
    // Infinities and NaN as the bit pattern, which reads back exactly.
    char hex[18];
    hexliteral(v->value, hex);
    std::fprintf(f, "==%s\n", hex);
  }
}

void savescope(FILE* f, DATAlist* s, bool flush) {
  int n = 0;
  for (int b = 0; b < DATA_BUCKETS; ++b)
    for (DataVar* v = s->bucket[b]; v != nullptr; v = v->next) ++n;
  if (n == 0) return;
  DataVar** list = static_cast<DataVar**>(std::malloc(sizeof(DataVar*) * static_cast<size_t>(n)));
  if (list == nullptr) nomemory();
  int k = 0;
  for (int b = 0; b < DATA_BUCKETS; ++b)
    for (DataVar* v = s->bucket[b]; v != nullptr; v = v->next) list[k++] = v;
  heapsortid(n, list, varvergleich, vartausch);
  for (int i = 0; i < n; ++i) {
    saveentry(f, list[i]);
    if (flush) std::fflush(f);
  }
  std::free(list);
}

}  // namespace

void save(FILE* stream) {
  PublicCall pc;
  if (pc.c->top != nullptr) savescope(stream, pc.c->top, false);
  pc.finish(4930);
}

void dump(FILE* stream) {
  PublicCall pc;
  for (DATAlist* s = pc.c->top; s != nullptr; s = s->next) {
    std::fputs("*** Level starts\n", stream);
    std::fflush(stream);
    savescope(stream, s, true);
  }
  pc.finish(5046);
}

void restore(FILE* stream) {
  PublicCall pc;
  DataContext* c = pc.c;
  int slot = threadid();
  std::string line;
  for (int number = 1;; ++number) {
    line.clear();
    int ch;
    bool any = false;
    while ((ch = std::getc(stream)) != EOF) {
      any = true;
      if (ch == '\n') break;
      line += static_cast<char>(ch);
    }
    if (!any) break;
    if (line.empty()) {
      // nothing
    } else if (line[0] == '%') {
      DATAlist* s = writescope(c);
      dfree(c, s->comment);
      s->comment = dstrdup(c, line.c_str() + 1);
    } else {
      int ok = ergibtid(line.c_str(), static_cast<int>(line.size()), nullptr, c, slot);
      if (ok == 0 || pending(c)) {
        char msg[100];
        std::snprintf(msg, sizeof msg, "wrong data element in restored file at line %d", number);
        pusherr(c, line, msg);
      }
    }
    if (ch == EOF || pending(c)) break;
  }
  pc.finish(4968);
}

// ---------------------------------------------------------------------------
// Quoting of blanks inside items

const char* unwhite(const char* text) {
  thread_local std::string buffer;
  buffer.clear();
  for (const char* p = text; *p != 0; ++p) {
    if (*p == ' ')
      buffer += "?!";
    else if (*p == '?')
      buffer += "??";
    else
      buffer += *p;
  }
  return buffer.c_str();
}

void white(char* text) {
  std::string original = text;
  char* o = text;
  for (const char* p = text; *p != 0; ++p) {
    if (*p != '?') {
      *o++ = *p;
      continue;
    }
    if (p[1] == '!')
      *o++ = ' ';
    else if (p[1] == '?')
      *o++ = '?';
    else {
      fatal<-66>(original.c_str());
    }
    ++p;
  }
  *o = 0;
}

// ---------------------------------------------------------------------------
// Threaded phase

namespace {

void releaseerrors(DataContext* c) {
  while (c->nerr > 0) droptop(c);
  c->errfloor = 0;
}

void giveback(DataContext* c) {
  releaseerrors(c);
  while (c->frames != nullptr) popframe(c);
  dfree(c, c->input);
  c->input = nullptr;
  for (ScratchBlock* b = c->sfirst; b != nullptr;) {
    ScratchBlock* n = b->next;
    dfree(c, b);
    b = n;
  }
  c->sfirst = c->scur = nullptr;
  for (int k = 0; k < kClasses; ++k) {
    void* b = c->freelist[k];
    while (b != nullptr) {
      void* n = *static_cast<void**>(b);
      STORE_UNPOISON(b, size_t(16) << k);
      std::free(b);
      b = n;
    }
    c->freelist[k] = nullptr;
  }
}

// Copies entry e of a private scope into the shared base s (main thread's memory).
void mergeentry(DataContext* m, DATAlist* s, uint32_t bucket, const DataVar* e) {
  DataVar** link = refsame(s, bucket, e);
  DataVar* f = *link;
  if (f == nullptr) {
    f = static_cast<DataVar*>(dalloc(m, sizeof(DataVar)));
    f->serial = s->serial++;
    f->name = dstrdup(m, e->name);
    f->nidx = e->nidx;
    f->idx = nullptr;
    if (e->idx != nullptr) {
      f->idx = static_cast<int32_t*>(dalloc(m, sizeof(int32_t) * static_cast<size_t>(e->nidx)));
      std::memcpy(f->idx, e->idx, sizeof(int32_t) * static_cast<size_t>(e->nidx));
    }
    f->level = 0;
    f->tlevels = newtlevels(m, nworkers);
    f->next = nullptr;
    f->text = nullptr;
    f->comment = nullptr;
    *link = f;
  } else {
    releasetext(m, f);
    dfree(m, f->comment);
    f->comment = nullptr;
  }
  f->text = e->text ? dstrdup(m, e->text) : nullptr;
  f->cfunc = e->cfunc;
  f->value = e->value;
  f->comment = e->comment ? dstrdup(m, e->comment) : nullptr;
  s->modified = 1;
}

}  // namespace

void initDATAthreads() {
  ensureinit();
  if (threadphase) internal_error("initDATAthreads may not become recursive", kModule, 654);
  DataContext* m = &thread0;
  if (m->top == nullptr) newDATAlistid(m);
  DATAlist* s = m->top;
  if (threadarray != nullptr && nworkers != nthreads)
    internal_error("initDATAthreads with a changed number of threads", kModule, 656);
  if (threadarray == nullptr) {
    int n = nthreads > 0 ? nthreads : 1;
    for (DATAlist* l = s; l != nullptr; l = l->next) {
      for (int b = 0; b < DATA_BUCKETS; ++b)
        for (DataVar* v = l->bucket[b]; v != nullptr; v = v->next) {
          dfree(m, v->tlevels);
          v->tlevels = newtlevels(m, n);
        }
      l->nthreads = static_cast<uint32_t>(n);
    }
    threadarray = new DataContext[static_cast<size_t>(n)]();
    for (int i = 0; i < n; ++i) {
      threadarray[i].rekart = m->rekart;
      threadarray[i].slot = i;
    }
    nworkers = n;
  }
  unthreadHashTable = s;
  threadphase = true;
  m->privscope = newscope(m, s);
  m->top = m->privscope;
  for (int i = 0; i < nworkers; ++i) {
    DataContext* w = &threadarray[i];
    w->privscope = newscope(w, s);
    w->top = w->privscope;
  }
}

void exitDATAthreads() {
  ensureinit();
  if (!threadphase) return;
  DataContext* m = &thread0;
  DATAlist* s = unthreadHashTable;
  for (int i = -1; i < nworkers; ++i) {
    DataContext* c = i < 0 ? m : &threadarray[i];
    if (c->top == nullptr || c->top != c->privscope || c->top->next != s)
      internal_error("newDATAlist + freeDATAlist nesting error within DATAthreads", kModule, 740);
    if (i >= 0 && c->frames != nullptr)
      internal_error("ondataerr + revertdataerr nesting error within DATAthreads", kModule, 743);
    if (i >= 0 && c->nerr > 0) {
      if (m->nerr == 0) {
        // Same order on the main thread: copy from the oldest record up.
        DataError** list = static_cast<DataError**>(
            std::malloc(sizeof(DataError*) * static_cast<size_t>(c->nerr)));
        if (list == nullptr) nomemory();
        int k = 0;
        for (DataError* e = c->errtop; e != nullptr; e = e->next) list[k++] = e;
        for (int j = k - 1; j >= 0; --j) pusherr(m, list[j]->object, list[j]->message);
        std::free(list);
      }
      releaseerrors(c);
    }
    DATAlist* p = c->top;
    if (p->modified) {
      for (int b = 0; b < DATA_BUCKETS; ++b) {
        DataVar* e = p->bucket[b];
        p->bucket[b] = nullptr;
        while (e != nullptr) {
          DataVar* n = e->next;
          mergeentry(m, s, static_cast<uint32_t>(b), e);
          freevarnow(c, e);
          e = n;
        }
      }
    }
    dfree(c, p->comment);
    dfree(c, p);
    c->top = nullptr;
    c->privscope = nullptr;
  }
  m->top = s;
  unthreadHashTable = nullptr;
  threadphase = false;
}

void totalfree() {
  ensureinit();
  if (threadphase) internal_error("totalfree inside threads", kModule, 351);
  DataContext* m = &thread0;
  m->floor = nullptr;
  while (m->top != nullptr) freeDATAlistid(m);
  giveback(m);
  for (int i = 0; i < nworkers; ++i) giveback(&threadarray[i]);
  delete[] threadarray;
  threadarray = nullptr;
  nworkers = 0;
  *m = DataContext{};
}

}  // namespace core
