// The formula language: token scanning, index evaluation, the evaluation of
// an entry's text under the recursion guard, calls of user, C and built-in
// functions, and the operator-precedence evaluator.
#include "core/data_internal.hpp"

namespace core {
using namespace store;

namespace store {

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

}  // namespace store

namespace store {

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

inline bool stackexhausted(DataContext* c, int slot, const char* sp, long extra) {
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

void unwoundslow(DataContext* c, int entry) {
  if (entry <= c->overflowmark) dropto(c, c->overflowmark + 1);
  if (c->unwinders == 0) c->overflow = false;
}

inline void unwound(DataContext* c, int entry) {
  if (c->overflow) unwoundslow(c, entry);
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

// The formula level of a parsed text evaluated right inside an entry's
// level: the entry's level has measured the stack, so only the counts of a
// FormulaLevel are kept.
struct CodeLevel {
  DataContext* c;
  int entry;
  bool inner;
  CodeLevel(DataContext* ctx, int nerr) : c(ctx), entry(nerr), inner(ctx->wdepth > 0) {
    ++c->wdepth;
    if (inner) ++c->unwinders;
  }
  ~CodeLevel() {
    --c->wdepth;
    if (inner) {
      --c->unwinders;
      unwound(c, entry);
    }
  }
  CodeLevel(const CodeLevel&) = delete;
  CodeLevel& operator=(const CodeLevel&) = delete;
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

double readnumber(DataContext* c, const char* p, const char* end, const char** stop) {
  char* e = nullptr;
  double x = std::strtod(p, &e);
  if (e > end) {
    // The number runs past this piece of text: convert a bounded copy.
    ScratchScope scratch(c);
    int n = static_cast<int>(end - p);
    char* tmp = static_cast<char*>(salloc(c, static_cast<size_t>(n) + 1));
    std::memcpy(tmp, p, static_cast<size_t>(n));
    tmp[n] = 0;
    x = std::strtod(tmp, &e);
    e = const_cast<char*>(p) + (e - tmp);
  }
  *stop = e;
  return x;
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

}  // namespace store

// ---------------------------------------------------------------------------
// Token scanning

namespace store {

void tokenshape(const char* s, const char* end, TokenShape* t) {
  const char* p = s;
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
  // Extent and number of arguments.
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
  t->nlen = static_cast<int>(nameend - s);
  t->bracket = bracket;
  t->toklen = static_cast<int>(q - s);
  t->nargs = nargs;
  t->closed = closed;
  t->closer = closer;
}

// A token with a bracket has at least one argument (tokenshape), so args is
// never null here.
// NOLINTBEGIN(clang-analyzer-core.CallAndMessage)
void tokenargs(const char* s, const TokenShape& t, FormulaArg* args) {
  const char* r = s + t.nlen + 1;
  const char* start = r;
  int k = 0;
  int depth = 1;
  const char* stop = s + t.toklen - (t.closed ? 1 : 0);
  while (r < stop) {
    char ch = *r;
    if (ch == '(' || ch == '[')
      ++depth;
    else if (ch == ')' || ch == ']')
      --depth;
    else if (ch == ',' && depth == 1) {
      args[k++] = {start, static_cast<int>(r - start), nullptr};
      start = r + 1;
    }
    ++r;
  }
  args[k] = {start, static_cast<int>(stop - start), nullptr};
}
// NOLINTEND(clang-analyzer-core.CallAndMessage)

}  // namespace store

bool Parameter(DataContext* c, const char* s, const char* end, ParsedToken* t) {
  TokenShape sh;
  tokenshape(s, end, &sh);
  t->name = s;
  t->nlen = sh.nlen;
  t->bracket = sh.bracket;
  t->toklen = sh.toklen;
  t->nargs = sh.nargs;
  t->args =
      sh.nargs > 0
          ? static_cast<FormulaArg*>(salloc(c, sizeof(FormulaArg) * static_cast<size_t>(sh.nargs)))
          : nullptr;
  if (sh.bracket == 0) return true;
  tokenargs(s, sh, t->args);
  if (bracketsok(sh)) return true;
  pusherr(c, s, static_cast<int>(end - s), "wrong brackets");
  return false;
}

// ---------------------------------------------------------------------------
// Index evaluation

int makeindex(int* idx, const FormulaArg* args, int nargs, DataContext* c, int slot) {
  for (int i = 0; i < nargs; ++i) {
    double x = Wertarg(args[i], c, slot);
    if (std::fabs(x) < 4503599627370496.0) x = std::floor(x + 0.5);
    if (!(x <= 2147483647.2 && x >= -2147483648.2)) return i + 1;
    idx[i] = static_cast<int>(x);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Evaluation of an entry's text with the recursion guard

namespace store {

// The guard frame of an entry whose text runs on this thread.
inline void pushbusy(DataContext* c, BusyFrame* f, DataVar* v) {
  *f = {v, c->busy, c->level + 1, false, nullptr, c->busybits};
  c->busy = f;
  c->busybits |= busybit(v);
}

// Ends the guard frame; frees what was released while the text ran.
inline void popbusy(DataContext* c, BusyFrame* f) {
  c->busy = f->up;
  c->busybits = f->savedbusy;
  for (DeferredText* d = static_cast<DeferredText*>(f->deferred); d != nullptr;) {
    DeferredText* n = d->next;
    lookupschanged(c);  // its parsed form goes
    dfree(c, d->text);
    dfree(c, d);
    d = n;
  }
  if (f->deleted) freevarnow(c, f->var);
}

// ---------------------------------------------------------------------------
// Simple formulas

// The text of an entry that is a simple formula (FormulaCode::simple) is
// first evaluated without the evaluator's bookkeeping: no guard frames (the
// entries it runs through are held in a set of bits instead, by busybit), no
// nesting counts and no records. Whatever would push a record (a name not
// found, a division by zero, a value outside a built-in's domain), a user or
// C function over a built-in, an entry that is not simple or already runs, or
// more than a few levels make it give up, and the text is evaluated again the
// full way. Since it only reads entries, nothing it did is seen then; when
// it succeeds, it gives the value bits that the full evaluation gives, which
// would have pushed no record and changed nothing.

bool simpleformulas = true;

// Levels (entries and arguments) that a simple evaluation goes through.
constexpr int kSimpleDepth = 12;
// Machine stack that the full evaluation of that many levels takes at most,
// with a wide margin: below it, no level of the full evaluation would have
// hit the nesting limit.
constexpr long kSimpleStackBytes = 32L << 10;

bool simpleready(DataContext* c, int slot) {
  if (c->overflow || c->depth + kSimpleDepth >= kMaxNesting) return false;
  char here;
  long used = c->stackbase - &here;
  long budget = (slot < 0 ? kStackBudgetMain : kStackBudgetWorker) - kSimpleStackBytes;
  return used <= budget && used >= -budget;
}

bool simpleeval(const FormulaCode* code, DataContext* c, uint64_t held, int depth, double* out);

// The value of the variable that step s names, as simpleeval reads it.
[[gnu::always_inline]] inline bool simplevar(const CodeStep* s, DataContext* c, uint64_t held,
                                             int depth, double* out) {
  const DataVar* v = codevar(c, s);
  if (v == nullptr) return false;
  if (v->text == nullptr) {
    *out = v->value;
    return true;
  }
  const FormulaCode* vc = v->code;
  const uint64_t bit = busybit(v);
  return vc != nullptr && vc->simple && (held & bit) == 0 && depth < kSimpleDepth &&
         simpleeval(vc, c, held | bit, depth + 1, out);
}

bool simpleeval(const FormulaCode* code, DataContext* c, uint64_t held, int depth, double* out) {
  double st[kSimpleStack];
  int sp = 0;
  const CodeStep* last = code->steps + code->nsteps;
  // Operators as runcode applies them.
  // NOLINTBEGIN(clang-analyzer-core.UndefinedBinaryOperatorResult,clang-analyzer-core.uninitialized.Assign)
  for (const CodeStep* s = code->steps; s != last; ++s) {
    switch (s->op) {
      case CodeStep::Num:
        st[sp++] = s->value;
        break;
      case CodeStep::Var:
        if (!simplevar(s, c, held, depth, &st[sp])) return false;
        ++sp;
        break;
      case CodeStep::Call: {
        if (s->epoch != builtinepoch.load(std::memory_order_acquire) || depth >= kSimpleDepth ||
            codefkt(c, s) != nullptr)
          return false;
        // An argument that is one name is read here; its level counts.
        const FormulaCode* ac = s->args[0].code;
        double x;
        if (ac->nsteps == 1 && ac->steps[0].op == CodeStep::Var
                ? !simplevar(ac->steps, c, held, depth + 1, &x)
                : !simpleeval(ac, c, held, depth + 1, &x))
          return false;
        const UnaryBuiltin* u = s->unary;
        if (u->domain != nullptr && !u->domain(x)) return false;
        st[sp++] = u->fn(x);
        break;
      }
      case CodeStep::Elem:
        return false;
      case CodeStep::Add:
        --sp;
        st[sp - 1] = st[sp - 1] + st[sp];
        break;
      case CodeStep::Sub:
        --sp;
        st[sp - 1] = st[sp - 1] - st[sp];
        break;
      case CodeStep::Mul:
        --sp;
        st[sp - 1] = st[sp] * st[sp - 1];
        break;
      case CodeStep::Div:
        --sp;
        if (st[sp] == 0.0) return false;
        st[sp - 1] = st[sp - 1] / st[sp];
        break;
      case CodeStep::Neg:
        st[sp - 1] = -st[sp - 1];
        break;
      case CodeStep::AddNum:
        st[sp - 1] = st[sp - 1] + s->value;
        break;
      case CodeStep::SubNum:
        st[sp - 1] = st[sp - 1] - s->value;
        break;
      case CodeStep::MulNum:
        st[sp - 1] = s->value * st[sp - 1];
        break;
      case CodeStep::DivNum:
        if (s->value == 0.0) return false;
        st[sp - 1] = st[sp - 1] / s->value;
        break;
    }
  }
  *out = st[0];
  return true;
  // NOLINTEND(clang-analyzer-core.UndefinedBinaryOperatorResult,clang-analyzer-core.uninitialized.Assign)
}

double evalentry(DataContext* c, int slot, DataVar* v, const char* obj, int objlen) {
  Nesting nest(c, slot, obj, objlen);
  if (!nest.ok) return 1.0;
  // The entry is hidden from its own text (guard above the level) until the
  // level is raised for a later argument of a built-in.
  BusyFrame frame;
  pushbusy(c, &frame, v);
  const char* text = v->text;
  const FormulaCode* code = v->code;
  double r;
  if (code != nullptr) {
    bool done = false;
    if (code->simple && simpleformulas && simpleready(c, slot)) {
      // Names are looked up as inside a formula.
      uint8_t savedinformula = c->informula;
      c->informula = 1;
      done = simpleeval(code, c, 0, 0, &r);
      c->informula = savedinformula;
    }
    if (!done) {
      // The parsed text's formula level begins within this entry's level, at
      // the stack depth that the entry's level has just measured.
      CodeLevel level(c, nest.entry);
      r = runcode(code, text, code->len, c, slot);
    }
  } else {
    r = Wertid(text, static_cast<int>(std::strlen(text)), c, slot);
  }
  popbusy(c, &frame);
  return r;
}

double operandentry(DataContext* c, int slot, DataVar* v, const char* name, int nlen) {
  if (v == nullptr) {
    pusherr(c, name, nlen, "undefined variable");
    return 1.0;
  }
  if (v->text == nullptr) return v->value;
  int before = c->nerr;
  double x = evalentry(c, slot, v, name, nlen);
  if (c->nerr != before) {
    pusherr(c, name, nlen, "variable can't be evaluated");
    return 1.0;
  }
  return x;
}

double operandelement(DataContext* c, int slot, const char* tok, int toklen, int nlen,
                      const FormulaArg* args, int nargs) {
  ScratchScope scratch(c);
  int* idx = static_cast<int*>(salloc(c, sizeof(int) * static_cast<size_t>(nargs)));
  int k = makeindex(idx, args, nargs, c, slot);
  if (k != 0) {
    pusherrf(c, view(tok, toklen), "Index no. %d out of range", k);
    return 1.0;
  }
  DataVar* v = SuchIndex(c, slot, tok, nlen, nargs, idx);
  if (v == nullptr) {
    pusherr(c, elementtext(tok, nlen, nargs, idx), "array element undefined");
    return 1.0;
  }
  if (v->text == nullptr) return v->value;
  int before = c->nerr;
  double x = evalentry(c, slot, v, tok, nlen);
  if (c->nerr != before) {
    pusherr(c, elementtext(tok, nlen, nargs, idx), "array element can't be evaluated");
    return 1.0;
  }
  return x;
}

}  // namespace store

namespace {

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
  Cell* cells =
      static_cast<Cell*>(salloc(c, sizeof(Cell) * static_cast<size_t>(nargs > 0 ? nargs : 1)));
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
    if (k >= 1 && k <= nargs) {
      Cell& cell = cells[k - 1];
      if (cell.state == 0) {
        int savedfloor = c->errfloor;
        int before = c->nerr;
        c->errfloor = c->nerr;
        double x = Wertarg(args[k - 1], c, slot);
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
    if (k >= 1 && k <= nargs && cells[k - 1].state == 2) {
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
  if (c->rekart != savedrekart) {
    c->rekart = savedrekart;
    lookupschanged(c);
  }
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

namespace store {

double callnamed(const char* name, int nlen, uint32_t hash, const FormulaArg* args, int nargs,
                 DataContext* c, int slot, const CodeStep* step) {
  DataVar* v = step != nullptr ? codefkt(c, step)
                               : SuchFktAt(c, slot, name, nlen, nargs, hash % DATA_BUCKETS);
  if (v != nullptr) {
    if (v->text != nullptr) return calltextfkt(v, name, nlen, args, nargs, c, slot);
    if (v->cfunc != nullptr) return callcfkt(v->cfunc, name, nlen, args, nargs, c, slot);
  } else {
    StdFunction fn = step != nullptr && step->epoch == builtinepoch.load(std::memory_order_acquire)
                         ? step->fn
                         : findbuiltin(name, nlen, hash, nargs);
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

}  // namespace store

double funktionsruf(const char* name, int nlen, const FormulaArg* args, int nargs, DataContext* c,
                    int slot) {
  if (nlen <= 0) internal_error("fktleer", kModule, 4548);
  if (validname(name, nlen))
    return callnamed(name, nlen, namehash(name, nlen), args, nargs, c, slot);
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
  if (isdigitc(ch)) return readnumber(c, p, end, pp);
  if (isletter(ch)) {
    ScratchScope scratch(c);
    ParsedToken t;
    Parameter(c, p, end, &t);
    *pp = p + t.toklen;
    if (t.bracket == 0) return operandentry(c, slot, Such(c, slot, t.name, t.nlen), t.name, t.nlen);
    if (t.bracket == '[') return operandelement(c, slot, p, t.toklen, t.nlen, t.args, t.nargs);
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

namespace store {

namespace {

// The operator of a number operand step applied to the value x below it
// (runcode's value stack, whose depth the compiler of the code checked).
// NOLINTBEGIN(clang-analyzer-core.UndefinedBinaryOperatorResult)
inline void applynumber(const CodeStep* s, double& x, DataContext* c, const char* text, int len) {
  switch (s->op) {
    case CodeStep::AddNum:
      x = x + s->value;
      break;
    case CodeStep::SubNum:
      x = x - s->value;
      break;
    case CodeStep::MulNum:
      x = s->value * x;
      break;
    default:
      if (s->value == 0.0) {
        x = 1.0;
        pusherr(c, text, len, "expression causes division by zero");
      } else {
        x = x / s->value;
      }
      break;
  }
}
// NOLINTEND(clang-analyzer-core.UndefinedBinaryOperatorResult)

}  // namespace

// Value stack kept in the evaluator's frame; deeper forms use working memory.
constexpr int kLocalStack = 16;

double evalcode(const FormulaCode* code, const char* text, int len, DataContext* c, int slot) {
  FormulaLevel level(c, slot, text, len);
  if (!level.ok) return 1.0;
  return runcode(code, text, len, c, slot);
}

double runcode(const FormulaCode* code, const char* text, int len, DataContext* c, int slot) {
  const int entry = c->nerr;
  uint8_t savedinformula = c->informula;
  c->informula = 1;
  // Operands and calls release their own working memory; only a deep value
  // stack takes some here.
  double local[kLocalStack];
  struct Release {
    DataContext* c;
    ScratchMark m;
    bool on;
    ~Release() {
      if (on) srelease(c, m);
    }
  } release{c, {}, code->maxstack > kLocalStack};
  double* st = local;
  if (release.on) {
    release.m = smark(c);
    st = static_cast<double*>(salloc(c, sizeof(double) * static_cast<size_t>(code->maxstack)));
  }
  // The compiler of the code checked its stack depth: every operator finds
  // its operands, and one value is left at the end.
  // NOLINTBEGIN(clang-analyzer-core.UndefinedBinaryOperatorResult,clang-analyzer-core.uninitialized.Assign,clang-analyzer-core.uninitialized.UndefReturn)
  int sp = 0;
  const CodeStep* s = code->steps;
  const CodeStep* last = s + code->nsteps;
  for (; s != last; ++s) {
    switch (s->op) {
      case CodeStep::Num:
        st[sp++] = s->value;
        break;
      case CodeStep::Var: {
        // As operandentry.
        DataVar* v = codevar(c, s);
        if (v == nullptr) {
          pusherr(c, s->name, s->nlen, "undefined variable");
          st[sp++] = 1.0;
        } else if (v->text == nullptr) {
          st[sp++] = v->value;
        } else {
          const int before = c->nerr;
          const double x = evalentry(c, slot, v, s->name, s->nlen);
          if (c->nerr != before) {
            pusherr(c, s->name, s->nlen, "variable can't be evaluated");
            st[sp++] = 1.0;
          } else {
            st[sp++] = x;
          }
        }
        break;
      }
      case CodeStep::Elem:
        st[sp] = operandelement(c, slot, s->name, s->toklen, s->nlen, s->args, s->nargs);
        ++sp;
        break;
      case CodeStep::Call:
        st[sp] = callnamed(s->name, s->nlen, s->hash, s->args, s->nargs, c, slot, s);
        ++sp;
        break;
      case CodeStep::Add:
        --sp;
        st[sp - 1] = st[sp - 1] + st[sp];
        continue;
      case CodeStep::Sub:
        --sp;
        st[sp - 1] = st[sp - 1] - st[sp];
        continue;
      case CodeStep::Mul:
        --sp;
        st[sp - 1] = st[sp] * st[sp - 1];
        continue;
      case CodeStep::Div:
        --sp;
        if (st[sp] == 0.0) {
          st[sp - 1] = 1.0;
          pusherr(c, text, len, "expression causes division by zero");
        } else {
          st[sp - 1] = st[sp - 1] / st[sp];
        }
        continue;
      case CodeStep::Neg:
        st[sp - 1] = -st[sp - 1];
        continue;
      // A number operand: checked as any operand, then its operator applied.
      case CodeStep::AddNum:
      case CodeStep::SubNum:
      case CodeStep::MulNum:
      case CodeStep::DivNum:
        if (c->nerr != entry) break;
        applynumber(s, st[sp - 1], c, text, len);
        continue;
    }
    // Behind every operand, as the scanning evaluator checks.
    if (c->nerr != entry) {
      pusherr(c, text, len, "wrong expression");
      c->informula = savedinformula;
      return 1.0;
    }
  }
  c->informula = savedinformula;
  return c->nerr != entry ? 1.0 : st[0];
  // NOLINTEND(clang-analyzer-core.UndefinedBinaryOperatorResult,clang-analyzer-core.uninitialized.Assign,clang-analyzer-core.uninitialized.UndefReturn)
}

}  // namespace store

}  // namespace core
