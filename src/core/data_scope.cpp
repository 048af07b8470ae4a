// Entries and scopes of the store: exact lookups for writes, creation,
// release (deferred while an entry's text is evaluated), commit of a scope
// into the one below, and the public scope calls.
#include "core/data_internal.hpp"

namespace core {
using namespace store;

namespace store {

// ---------------------------------------------------------------------------
// Entries

// The bucket of an entry of that name, kind and indices.
uint32_t entrybucket(const char* name, int nlen, Kind kind, int nidx, const int* idx) {
  uint32_t h = namehash(name, nlen);
  if (kind == Kind::Elem) h = indexhash(h, nidx, idx);
  return h % DATA_BUCKETS;
}

// Exact match in one scope (writes, deletions, commits): the link that points
// at the entry, or the terminating null link of its chain (bucket b).
DataVar** refexact(DATAlist* s, uint32_t b, const char* name, int nlen, Kind kind, int nidx,
                   const int* idx) {
  DataVar** link = &s->bucket[b];
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

DataVar** refexact(DATAlist* s, const char* name, int nlen, Kind kind, int nidx, const int* idx) {
  return refexact(s, entrybucket(name, nlen, kind, nidx, idx), name, nlen, kind, nidx, idx);
}

int usedbuckets(const DATAlist* s, uint16_t* out) {
  if (s->nused > DATA_USED) return -1;
  const int n = s->nused;
  std::memcpy(out, s->used, sizeof(uint16_t) * static_cast<size_t>(n));
  // Insertion sort without repeats (a bucket emptied and used again is noted twice).
  int k = 0;
  for (int i = 0; i < n; ++i) {
    const uint16_t b = out[i];
    int j = k;
    while (j > 0 && out[j - 1] > b) --j;
    if (j > 0 && out[j - 1] == b) continue;
    std::memmove(out + j + 1, out + j, sizeof(uint16_t) * static_cast<size_t>(k - j));
    out[j] = b;
    ++k;
  }
  return k;
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

// Releases an entry's text, unless it is being scanned on this thread.
void releasetext(DataContext* c, DataVar* v) {
  if (v->text == nullptr) return;
  lookupschanged(c);
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
  v->code = nullptr;
}

[[gnu::always_inline]] inline void freevarinline(DataContext* c, DataVar* v) {
  lookupschanged(c);
  dfree(c, v->idx);
  dfree(c, v->text);
  dfree(c, v->comment);
  dfree(c, v);  // the name with it (allocvar)
}

void freevarnow(DataContext* c, DataVar* v) { freevarinline(c, v); }

// Releases an unlinked entry, or defers it while its text is being evaluated.
[[gnu::always_inline]] inline void releasevarinline(DataContext* c, DataVar* v) {
  lookupschanged(c);
  BusyFrame* f = c->busy != nullptr ? busyof(c, v) : nullptr;
  if (f != nullptr) {
    f->deleted = true;
    return;
  }
  freevarinline(c, v);
}

void releasevar(DataContext* c, DataVar* v) { releasevarinline(c, v); }

// A name is a few characters: copied in place, without a call, as two
// words that overlap (reading no character beyond the name).
[[gnu::always_inline]] inline DataVar* allocvarinline(DataContext* c, const char* name, int nlen) {
  const auto n = static_cast<size_t>(nlen);
  auto* v = static_cast<DataVar*>(dalloc(c, sizeof(DataVar) + n + 1));
  char* inl = reinterpret_cast<char*>(v + 1);
  auto overlapping = [&](auto word) {
    constexpr size_t w = sizeof word;
    decltype(word) tail;
    std::memcpy(&word, name, w);
    std::memcpy(&tail, name + n - w, w);
    std::memcpy(inl, &word, w);
    std::memcpy(inl + n - w, &tail, w);
  };
  if (n >= 8 && n <= 16) {
    overlapping(uint64_t{});
  } else if (n >= 4 && n < 8) {
    overlapping(uint32_t{});
  } else {
    for (size_t i = 0; i < n; ++i) inl[i] = name[i];
  }
  inl[n] = 0;
  v->name = inl;
  return v;
}

DataVar* allocvar(DataContext* c, const char* name, int nlen) {
  return allocvarinline(c, name, nlen);
}

// A new entry at the end of bucket b of s (link is the bucket's terminating
// null link).
[[gnu::always_inline]] inline DataVar* newvarinline(DataContext* c, DATAlist* s, DataVar** link,
                                                    uint32_t b, const char* name, int nlen,
                                                    int nidx, const int* idx) {
  DataVar* v = allocvarinline(c, name, nlen);
  v->serial = s->serial++;
  v->comment = nullptr;
  v->nidx = nidx;
  v->idx = nullptr;
  if (idx != nullptr) {
    v->idx = static_cast<int32_t*>(dalloc(c, sizeof(int32_t) * static_cast<size_t>(nidx)));
    std::memcpy(v->idx, idx, sizeof(int32_t) * static_cast<size_t>(nidx));
  }
  v->next = nullptr;
  v->text = nullptr;
  v->code = nullptr;
  v->cfunc = nullptr;
  v->value = 0.0;
  notebucket(s, b);
  *link = v;
  s->modified = 1;
  lookupschanged(c);
  return v;
}

DataVar* newvar(DataContext* c, DATAlist* s, DataVar** link, uint32_t b, const char* name, int nlen,
                int nidx, const int* idx) {
  return newvarinline(c, s, link, b, name, nlen, nidx, idx);
}

DATAlist* newscope(DataContext* c, DATAlist* below) {
  DATAlist* s = c->sparescopes;
  if (s != nullptr) {
    // Its buckets are empty: only the head is set again.
    c->sparescopes = s->next;
    --c->nspare;
    s->serial = 0;
    s->comment = nullptr;
    s->modified = 0;
    s->nused = 0;
  } else {
    s = static_cast<DATAlist*>(dalloc(c, sizeof(DATAlist)));
    std::memset(s, 0, sizeof(DATAlist));
  }
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
  lookupschanged(c);
  return chaindepth(c);
}

void DelAllid(DataContext* c) {
  DATAlist* s = c->top;
  if (s == nullptr) return;
  auto clear = [&](int b) {
    DataVar* v = s->bucket[b];
    s->bucket[b] = nullptr;
    while (v != nullptr) {
      DataVar* n = v->next;
      releasevarinline(c, v);
      v = n;
    }
  };
  // The order of the buckets does not matter here (a bucket noted twice is
  // empty the second time), so the list is walked as it stands.
  if (s->nused > DATA_USED) {
    for (int b = 0; b < DATA_BUCKETS; ++b) clear(b);
  } else {
    for (int i = 0; i < s->nused; ++i) clear(s->used[i]);
  }
  s->nused = 0;
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
  lookupschanged(c);
  DATAlist* b = t->next;
  if (t->modified) {
    eachusedbucket(t, [&](int k) {
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
            notebucket(b, static_cast<uint32_t>(k));
            *link = e;
          }
          b->modified = 1;
        } else {
          releasevar(c, e);
        }
        e = nx;
      }
    });
  }
  dfree(c, t->comment);
  // Every bucket of t is empty now (a scope that was never modified had no
  // entries), so the scope is kept for one of the next newscope calls
  // instead of being cleared again there.
  if (c->nspare < kSpareScopes) {
    t->next = c->sparescopes;
    c->sparescopes = t;
    ++c->nspare;
  } else {
    dfree(c, t);
  }
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
  const uint32_t b = entrybucket(name, nlen, kind, nidx, idx);
  DataVar** link = refexact(s, b, name, nlen, kind, nidx, idx);
  if (*link != nullptr) return *link;
  return newvar(c, s, link, b, name, nlen, nidx, kind == Kind::Elem ? idx : nullptr);
}

void setplainvar(DataContext* c, const char* name, int nlen, uint32_t b, double x) {
  DATAlist* s = writescope(c);
  DataVar** link = &s->bucket[b];
  for (; *link != nullptr; link = &(*link)->next) {
    DataVar* e = *link;
    if (e->nidx == 0 && e->idx == nullptr && nameeq(e, name, nlen)) {
      setnumber(c, e, x);
      return;
    }
  }
  // As setnumber on the new entry, which has no text.
  DataVar* v = newvarinline(c, s, link, b, name, nlen, 0, nullptr);
  v->value = x;
  takecomment(c, s, v);
}

void setnumber(DataContext* c, DataVar* v, double x) {
  releasetext(c, v);
  v->value = x;
  takecomment(c, c->top, v);
}

void settext(DataContext* c, DataVar* v, const char* text, int len) {
  const FormulaCode* code = nullptr;
  char* t = storetext(c, text, len, &code);
  releasetext(c, v);
  v->text = t;
  v->code = code;
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

}  // namespace store

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
  lookupschanged(c);
  return t;
}

void popDATAlist(DATAlist* scope) {
  ensureinit();
  if (scope == nullptr) return;
  if (scope->attached) internal_error("DATAlist popped twice", kModule, 1030);
  DataContext* c = ctxof();
  scope->attached = 1;
  scope->nthreads = static_cast<uint32_t>(nworkers);
  scope->next = c->top;
  c->top = scope;
  lookupschanged(c);
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
  DataContext* c = ctxof();
  c->rekart = static_cast<uint32_t>(mode);
  lookupschanged(c);
}
int getrekart() {
  ensureinit();
  return static_cast<int>(ctxof()->rekart);
}

}  // namespace core
