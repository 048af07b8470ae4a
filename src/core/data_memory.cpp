// The store's memory, contexts, error records and jump frames: the per-thread
// size-class allocator, the context of each thread, the error stack with its
// public calls and the frames that a failing call jumps to.
#include "core/data_internal.hpp"

#include "core/message.hpp"

namespace core {
using namespace store;

namespace store {

DataContext thread0;
DataContext* threadarray = nullptr;
int nworkers = 0;
bool threadphase = false;
DATAlist* unthreadHashTable = nullptr;
std::atomic<bool> ifinit{true};

// ---------------------------------------------------------------------------
// Size-class allocator

[[noreturn]] void nomemory() { fatal<-44>(); }

void badsize(size_t n) {
  if (n == 0) internal_error("memle0", kModule, 294);
  internal_error("membig", kModule, 299);
}

void wrongfree() { internal_error("wrongfree", kModule, 332); }

void* freshblock(int k) {
  void* b = std::malloc(size_t(16) << k);
  if (b == nullptr) nomemory();
  return b;
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

}  // namespace store

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

}  // namespace core
