// The threaded phase of the store: private scopes of the workers on a shared
// read-only base, merged back in a fixed order, and the release of the whole
// store.
#include <vector>

#include "core/data_internal.hpp"
#include "core/velmora.hpp"

namespace core {
using namespace store;

// ---------------------------------------------------------------------------
// Threaded phase

namespace {

// The private scopes of the last phase, emptied by its merge and kept in the
// memory of their contexts for the next phase (place 0 the main thread's,
// i + 1 worker i's): a refinement starts a phase at every model evaluation,
// and a fresh scope would clear a whole hash table for every context.
std::vector<DATAlist*> sparescopes;

DATAlist* privatescope(DataContext* c, int place, DATAlist* below) {
  const auto k = static_cast<size_t>(place);
  if (k >= sparescopes.size() || sparescopes[k] == nullptr) return newscope(c, below);
  DATAlist* p = sparescopes[k];
  sparescopes[k] = nullptr;
  p->next = below;
  p->serial = 0;
  p->nthreads = static_cast<uint32_t>(nworkers);
  p->comment = nullptr;
  p->attached = 1;
  p->modified = 0;
  p->nused = 0;
  return p;
}

// Keeps an emptied private scope for the next phase. Only a scope whose used
// buckets are all listed and empty is kept (the merge, or a DelAll of the
// worker, has emptied them); any other is released.
void keepscope(DataContext* c, int place, DATAlist* p) {
  dfree(c, p->comment);
  p->comment = nullptr;
  bool empty = p->nused <= DATA_USED;
  for (int i = 0; empty && i < p->nused; ++i) empty = p->bucket[p->used[i]] == nullptr;
  if (!empty) {
    dfree(c, p);
    return;
  }
  const auto k = static_cast<size_t>(place);
  if (sparescopes.size() <= k) sparescopes.resize(k + 1, nullptr);
  sparescopes[k] = p;
}

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
  while (c->sparescopes != nullptr) {
    DATAlist* n = c->sparescopes->next;
    dfree(c, c->sparescopes);
    c->sparescopes = n;
  }
  c->nspare = 0;
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
    f = allocvar(m, e->name, static_cast<int>(std::strlen(e->name)));
    f->serial = s->serial++;
    f->nidx = e->nidx;
    f->idx = nullptr;
    if (e->idx != nullptr) {
      f->idx = static_cast<int32_t*>(dalloc(m, sizeof(int32_t) * static_cast<size_t>(e->nidx)));
      std::memcpy(f->idx, e->idx, sizeof(int32_t) * static_cast<size_t>(e->nidx));
    }
    f->next = nullptr;
    f->text = nullptr;
    f->code = nullptr;
    f->comment = nullptr;
    notebucket(s, bucket);
    *link = f;
  } else {
    releasetext(m, f);
    dfree(m, f->comment);
    f->comment = nullptr;
  }
  if (e->text != nullptr)
    f->text = storetext(m, e->text, static_cast<int>(std::strlen(e->text)), &f->code);
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
    for (DATAlist* l = s; l != nullptr; l = l->next) l->nthreads = static_cast<uint32_t>(n);
    threadarray = new DataContext[static_cast<size_t>(n)]();
    for (int i = 0; i < n; ++i) {
      threadarray[i].rekart = m->rekart;
      threadarray[i].slot = i;
    }
    nworkers = n;
  }
  unthreadHashTable = s;
  threadphase = true;
  lookupschanged(m);
  m->privscope = privatescope(m, 0, s);
  m->top = m->privscope;
  for (int i = 0; i < nworkers; ++i) {
    DataContext* w = &threadarray[i];
    w->privscope = privatescope(w, i + 1, s);
    w->top = w->privscope;
    lookupschanged(w);
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
        DataError** list = kcalloc<DataError*>(static_cast<size_t>(c->nerr));
        int k = 0;
        for (DataError* e = c->errtop; e != nullptr; e = e->next) list[k++] = e;
        for (int j = k - 1; j >= 0; --j) pusherr(m, list[j]->object, list[j]->message);
        std::free(list);
      }
      releaseerrors(c);
    }
    DATAlist* p = c->top;
    if (p->modified) {
      eachusedbucket(p, [&](int b) {
        DataVar* e = p->bucket[b];
        p->bucket[b] = nullptr;
        while (e != nullptr) {
          DataVar* n = e->next;
          mergeentry(m, s, static_cast<uint32_t>(b), e);
          freevarnow(c, e);
          e = n;
        }
      });
    }
    keepscope(c, i + 1, p);
    c->top = nullptr;
    c->privscope = nullptr;
    lookupschanged(c);
  }
  m->top = s;
  lookupschanged(m);
  unthreadHashTable = nullptr;
  threadphase = false;
}

void totalfree() {
  ensureinit();
  if (threadphase) internal_error("totalfree inside threads", kModule, 351);
  DataContext* m = &thread0;
  for (size_t k = 0; k < sparescopes.size(); ++k)
    if (sparescopes[k] != nullptr) dfree(k == 0 ? m : &threadarray[k - 1], sparescopes[k]);
  sparescopes.clear();
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
