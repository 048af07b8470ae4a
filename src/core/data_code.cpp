// Parsed forms of stored formula texts. A text that is stored in an entry is
// parsed once: its number literals converted, its names scanned and hashed,
// its operators put in the order in which the evaluator applies them, and the
// arguments of its function calls and array indices parsed the same way. The
// form lies in the text's own block, so it lives exactly as long as the text:
// a new text brings a new form, and a text released while it is evaluated
// keeps its form until that evaluation ends.
//
// The form holds nothing that depends on the store's state: every name is
// looked up at each evaluation (scopes, lookup mode, threaded phase and guard
// levels apply as for the scanned text), every function call goes through
// funktionsruf (a user function still shadows a built-in of the same name).
// The evaluator replays the scanning evaluator's operator-precedence run
// step by step, so values, error records and the order in which operands
// (and the side effects of their functions) are evaluated are the same.
//
// Only texts that the scanning evaluator reads without a syntax complaint
// are parsed; any other text (plain texts, function bodies with #k, texts
// with wrong brackets, blanks in front of an operand, error markers ...) has
// no form and is scanned as before.
#include "core/data_internal.hpp"

namespace core {
using namespace store;

namespace store {

namespace {

// Texts longer than this are scanned at each evaluation, not parsed.
constexpr int kMaxParsed = 1 << 16;

// Places the parts of a parsed form in a block: a first run with no block
// measures it, a second run with the block fills it, both the same way.
struct Emitter {
  char* base;
  size_t used;
  template <class T>
  T* take(size_t n) {
    size_t at = (used + alignof(T) - 1) & ~(alignof(T) - 1);
    used = at + sizeof(T) * n;
    return base != nullptr ? reinterpret_cast<T*>(base + at) : nullptr;
  }
};

struct PendingOp {
  int code;  // 0 add, 1 subtract, 3 negate, 4 multiply, 5 divide, 6 none
  int prio;
};

const FormulaCode* parse(Emitter& em, DataContext* c, const char* text, int len, bool* ok);

// The step of an operator whose right-hand value is a number operand.
CodeStep::Op fusednumber(CodeStep::Op op) {
  switch (op) {
    case CodeStep::Add:
      return CodeStep::AddNum;
    case CodeStep::Sub:
      return CodeStep::SubNum;
    case CodeStep::Mul:
      return CodeStep::MulNum;
    default:
      return CodeStep::DivNum;
  }
}

// The arguments of a call or an array element, each with its own parsed form
// where it has one.
const FormulaArg* parseargs(Emitter& em, DataContext* c, const char* tok, const TokenShape& sh) {
  ScratchScope scratch(c);
  FormulaArg* views =
      static_cast<FormulaArg*>(salloc(c, sizeof(FormulaArg) * static_cast<size_t>(sh.nargs)));
  tokenargs(tok, sh, views);
  FormulaArg* out = em.take<FormulaArg>(static_cast<size_t>(sh.nargs));
  for (int i = 0; i < sh.nargs; ++i) {
    bool ok = true;
    const FormulaCode* code = parse(em, c, views[i].text, views[i].len, &ok);
    if (out != nullptr) out[i] = {views[i].text, views[i].len, ok ? code : nullptr};
  }
  return out;
}

// One operand at *pp, as the scanning evaluator reads it; false for any
// operand that it would complain about.
bool parseoperand(Emitter& em, DataContext* c, const char** pp, const char* end, CodeStep* s) {
  const char* p = *pp;
  char ch = p < end ? *p : 0;
  *s = {};
  if (isdigitc(ch)) {
    s->op = CodeStep::Num;
    s->value = readnumber(c, p, end, pp);
    return true;
  }
  if (ch == '&') {
    const char* q = p + 1;
    while (q < end && ishexc(*q)) ++q;
    if (q - p - 1 != 16) return false;
    s->op = CodeStep::Num;
    s->value = unpackhex(p + 1);
    *pp = q;
    return true;
  }
  if (!isletter(ch)) return false;
  TokenShape sh;
  tokenshape(p, end, &sh);
  if (!bracketsok(sh) || !validname(p, sh.nlen)) return false;
  s->name = p;
  s->nlen = sh.nlen;
  s->toklen = sh.toklen;
  s->nargs = sh.nargs;
  *pp = p + sh.toklen;
  s->hash = namehash(p, sh.nlen);
  if (sh.bracket == 0) {
    s->op = CodeStep::Var;
    return true;
  }
  s->op = sh.bracket == '[' ? CodeStep::Elem : CodeStep::Call;
  s->args = parseargs(em, c, p, sh);
  if (s->op == CodeStep::Call) {
    s->epoch = builtinepoch.load(std::memory_order_acquire);
    s->fn = findbuiltin(p, sh.nlen, s->hash, sh.nargs);
    if (s->fn != nullptr && sh.nargs == 1) s->unary = unarybuiltin(s->fn);
  }
  return true;
}

// Whether parsed steps make a simple formula (FormulaCode::simple).
bool simpleform(const CodeStep* steps, int nsteps, int maxstack) {
  if (maxstack > kSimpleStack) return false;
  for (int i = 0; i < nsteps; ++i) {
    const CodeStep& s = steps[i];
    if (s.op == CodeStep::Elem) return false;
    if (s.op == CodeStep::Call &&
        (s.unary == nullptr || s.args[0].code == nullptr || !s.args[0].code->simple))
      return false;
  }
  return true;
}

// Runs the scanning evaluator's operator-precedence loop over the text and
// records each operand and each reduction in the order in which it happens.
const FormulaCode* parse(Emitter& em, DataContext* c, const char* text, int len, bool* ok) {
  *ok = false;
  if (len <= 0 || len > kMaxParsed) return nullptr;
  ScratchScope scratch(c);
  const char* end = text + len;
  size_t cap = static_cast<size_t>(len) + 2;
  PendingOp* ops = static_cast<PendingOp*>(salloc(c, sizeof(PendingOp) * cap));
  CodeStep* steps = static_cast<CodeStep*>(salloc(c, sizeof(CodeStep) * 2 * cap));
  int nops = 0, nvals = 0, nsteps = 0, depth = 0, maxdepth = 0;
  int d = 0;
  PendingOp pend{6, 0};
  const char* p = text;
  for (;;) {
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
        if (!parseoperand(em, c, &p, end, &steps[nsteps++])) return nullptr;
        if (++depth > maxdepth) maxdepth = depth;
        break;
      }
    }
    while (p < end && (*p == ' ' || *p == ')')) {
      if (*p == ')') d -= 3;
      ++p;
    }
    PendingOp next;
    if (p >= end)
      next = {6, 0};
    else if (*p == '+')
      next = {0, d + 1};
    else if (*p == '-')
      next = {1, d + 1};
    else if (*p == '*')
      next = {4, d + 2};
    else if (*p == '/')
      next = {5, d + 2};
    else
      return nullptr;
    if (p < end) ++p;
    bool finished = false;
    while (nops > 0 && ops[nops - 1].prio >= next.prio) {
      PendingOp r = ops[--nops];
      CodeStep& s = steps[nsteps];
      s = {};
      switch (r.code) {
        case 0:
          s.op = CodeStep::Add;
          break;
        case 1:
          s.op = CodeStep::Sub;
          break;
        case 4:
          s.op = CodeStep::Mul;
          break;
        case 5:
          s.op = CodeStep::Div;
          break;
        case 3:
          s.op = CodeStep::Neg;
          break;
        default:
          break;
      }
      if (r.code == 0 || r.code == 1 || r.code == 4 || r.code == 5) {
        --nvals;
        --depth;
        if (nsteps > 0 && steps[nsteps - 1].op == CodeStep::Num) {
          // The right-hand value is the number just read: one step for both.
          steps[nsteps - 1].op = fusednumber(s.op);
        } else {
          ++nsteps;
        }
      } else if (r.code == 3) {
        ++nsteps;
      }
      if (nops == 0) {
        finished = true;
        break;
      }
    }
    if (finished) break;
    ++nvals;
    pend = next;
  }
  if (nvals != 0 || d != 0 || p < end || depth != 1) return nullptr;
  CodeStep* out = em.take<CodeStep>(static_cast<size_t>(nsteps));
  FormulaCode* code = em.take<FormulaCode>(1);
  if (code != nullptr) {
    std::memcpy(static_cast<void*>(out), steps, sizeof(CodeStep) * static_cast<size_t>(nsteps));
    for (int i = 0; i < nsteps; ++i) out[i].slot = lookupslotof(&out[i]);
    *code = {len, nsteps, maxdepth, simpleform(steps, nsteps, maxdepth), out};
  }
  *ok = true;
  return code;
}

}  // namespace

char* storetext(DataContext* c, const char* text, int len, const FormulaCode** code) {
  *code = nullptr;
  if (len <= 0 || len > kMaxParsed) return dstrdup(c, text, len);
  // Measure on a terminated copy, then fill the block's own copy the same way.
  bool ok = false;
  Emitter measure{nullptr, static_cast<size_t>(len) + 1};
  {
    ScratchScope scratch(c);
    char* tmp = static_cast<char*>(salloc(c, static_cast<size_t>(len) + 1));
    std::memcpy(tmp, text, static_cast<size_t>(len));
    tmp[len] = 0;
    parse(measure, c, tmp, len, &ok);
  }
  if (!ok) return dstrdup(c, text, len);
  char* block = static_cast<char*>(dalloc(c, measure.used));
  std::memcpy(block, text, static_cast<size_t>(len));
  block[len] = 0;
  Emitter fill{block, static_cast<size_t>(len) + 1};
  *code = parse(fill, c, block, len, &ok);
  if (!ok || fill.used != measure.used) internal_error("parsed form", kModule, 5102);
  return block;
}

int codelength(const FormulaCode* code) { return code->len; }

}  // namespace store

double Wertarg(const FormulaArg& arg, DataContext* c, int slot) {
  if (arg.code != nullptr) return evalcode(arg.code, arg.text, arg.len, c, slot);
  return Wertid(arg.text, arg.len, c, slot);
}

}  // namespace core
