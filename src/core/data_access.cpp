// Reading and writing variables, array elements and functions: the internal
// twins on a context and the public calls around them.
#include "core/data_internal.hpp"

namespace core {
using namespace store;

// ---------------------------------------------------------------------------
// Accessors (internal twins and public calls)

namespace store {

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

}  // namespace store

namespace {

// GetVar of the entry found for name (or none), named obj in its records.
[[gnu::noinline]] double readfound(DataContext* c, int slot, DataVar* v, const char* obj,
                                   int objlen, const char* name) {
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
  return x;
}

// Every other name: with indices, invalid or followed by other characters.
[[gnu::noinline]] double readnamed(const char* name, DataContext* c, int slot);

// GetVarid, with the read of a plain name (the common case) looked up while
// it is scanned, in the caller.
[[gnu::always_inline]] inline double getvar(const char* name, DataContext* c, int slot) {
  if (isletter(name[0])) {
    uint32_t h = static_cast<unsigned char>(name[0]);
    int n = 1;
    while (isnamechar(name[n])) h += static_cast<unsigned char>(name[n++]);
    if (name[n] == 0) {
      DataVar* v = SuchAt(c, slot, name, n, h % DATA_BUCKETS);
      if (v != nullptr && v->text == nullptr) return v->value;
      return readfound(c, slot, v, name, n, name);
    }
  }
  return readnamed(name, c, slot);
}

}  // namespace

double GetVarid(const char* name, DataContext* c, int slot) { return getvar(name, c, slot); }

namespace {

double readnamed(const char* name, DataContext* c, int slot) {
  ScratchScope scratch(c);
  if (name[0] == 0) pusherr(c, "", "empty variable name");
  AccessName a;
  parsename(c, name, &a);
  if (a.trailing || !a.valid) pusherr(c, name, "wrong variable name");
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
  double x = readfound(c, slot, v, obj, objlen, name);
  return a.trailing ? 1.0 : x;
}

}  // namespace

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

// Every other name than a plain one: with indices, invalid or followed by
// other characters.
[[gnu::noinline]] void setnamed(const char* name, double x, DataContext* c, int slot) {
  ScratchScope scratch(c);
  DataVar* v = settarget(c, slot, name, "function can't be set by SetVar");
  if (v) setnumber(c, v, x);
}

// SetVarid, with a plain name (the common case) written while it is
// scanned, in the caller.
[[gnu::always_inline]] inline void setvar(const char* name, double x, DataContext* c, int slot) {
  if (isletter(name[0])) {
    uint32_t h = static_cast<unsigned char>(name[0]);
    int n = 1;
    while (isnamechar(name[n])) h += static_cast<unsigned char>(name[n++]);
    if (name[n] == 0) {
      setplainvar(c, name, n, h % DATA_BUCKETS, x);
      return;
    }
  }
  setnamed(name, x, c, slot);
}

}  // namespace

void SetVarid(const char* name, double x, DataContext* c, int slot) { setvar(name, x, c, slot); }

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
  double x = getvar(name, pc.c, pc.slot);
  pc.finish(2535);
  return x;
}

bool TryGetVar(const char* name, double* value) {
  PublicCall pc;
  const double x = getvar(name, pc.c, pc.slot);
  if (pc.c->floor == nullptr && !sempty(pc.c)) internal_error("dclear", kModule, 2535);
  if (pending(pc.c)) return false;
  *value = x;
  return true;
}

int GetIntVar(const char* name) {
  PublicCall pc;
  int before = pc.c->nerr;
  double x = GetVarid(name, pc.c, pc.slot);
  int r = pc.c->nerr != before ? 1 : tointeger(pc.c, x, name);
  pc.finish(2549);
  return r;
}

void SetVar(const char* name, double x) {
  PublicCall pc;
  setvar(name, x, pc.c, pc.slot);
  pc.finish(2627);
}

void SetVars(const PlainName* names, const double* values, int count) {
  PublicCall pc;
  for (int i = 0; i < count; ++i)
    setplainvar(pc.c, names[i].name, names[i].nlen, names[i].bucket, values[i]);
  pc.finish(2628);
}

void DelVar(const char* name) {
  PublicCall pc;
  DelVarid(name, pc.c, pc.slot);
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
  SetStrVarid(name, text, pc.c, pc.slot);
  pc.finish(2934);
}

double GetIndexVar(const char* name, int nidx, const int* idx) {
  PublicCall pc;
  double x = GetIndexVarid(name, nidx, idx, pc.c, pc.slot);
  pc.finish(2135);
  return x;
}

int GetIndexIntVar(const char* name, int nidx, const int* idx) {
  PublicCall pc;
  int before = pc.c->nerr;
  double x = GetIndexVarid(name, nidx, idx, pc.c, pc.slot);
  int r = pc.c->nerr != before ? 1 : tointeger(pc.c, x, name);
  pc.finish(2148);
  return r;
}

void SetIndexVar(const char* name, int nidx, const int* idx, double x) {
  PublicCall pc;
  SetIndexVarid(name, nidx, idx, x, pc.c, pc.slot);
  pc.finish(2184);
}

void DelIndexVar(const char* name, int nidx, const int* idx) {
  PublicCall pc;
  DelIndexVarid(name, nidx, idx, pc.c, pc.slot);
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
  SetIndexStrVarid(name, nidx, idx, text, pc.c, pc.slot);
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
  SetStrFktid(name, n, body, pc.c, pc.slot);
  pc.finish(2386);
}

void DelFkt(const char* name, int n) {
  PublicCall pc;
  DelFktid(name, n, pc.c, pc.slot);
  pc.finish(2423);
}

double Wert(const char* text) {
  PublicCall pc;
  double x = Wertid(text, static_cast<int>(std::strlen(text)), pc.c, pc.slot);
  pc.finish(1608);
  return x;
}

}  // namespace core
