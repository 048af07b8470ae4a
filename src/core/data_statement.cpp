// Statements (name=text, name==formula, functions, array elements), the
// item readers of data files and the quoting of blanks inside items.
#include "core/data_internal.hpp"

#include "core/message.hpp"
#include "core/velmora.hpp"

namespace core {
using namespace store;

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
  int r = ergibtid(text, static_cast<int>(std::strlen(text)), nullptr, pc.c, pc.slot);
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
    int ch = getcharlf(stream);
    while (ch == ' ') ch = getcharlf(stream);
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
        ch = getcharlf(stream);
        continue;
      }
      if (ch == '(' || ch == '[')
        ++depth;
      else if (ch == ')' || ch == ']')
        --depth;
      put(static_cast<char>(ch));
      ch = getcharlf(stream);
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
  // The buffer is the thread's own and lives on after the return.
  return buffer.c_str();  // NOLINT(clang-analyzer-cplusplus.InnerPointer)
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

}  // namespace core
