// The table of built-in formula functions and the built-ins themselves.
#include "core/builtin.hpp"

#include <cmath>
#include <cstring>

#include "core/fatal.hpp"

namespace {

constexpr int kRows = 401;
constexpr const char* kModule = "obj/data";

struct StdFkt {
  StdFunction fn;
  char name[12];
  int n;  // count rule; 0: free row
};

StdFkt stdhash[kRows];
int nstd = 0;

// Truth threshold of the logical built-ins.
constexpr double kTrue = 2.220446049250313e-13;

int hashrow(const char* name, int nlen) {
  unsigned h = 0;
  for (int i = 0; i < nlen; ++i) h += static_cast<unsigned char>(name[i]);
  return static_cast<int>(h % kRows);
}

bool accepts(int rule, int n) { return rule > 0 ? n == rule : n >= -rule; }

// Evaluates argument i at the current level.
double arg(const FormulaArg* args, int i, DataContext* c, int slot) {
  return Wertid(args[i].text, args[i].len, c, slot);
}

// Evaluates argument i with the guard level raised by one.
double raised(const FormulaArg* args, int i, DataContext* c, int slot) {
  int level = getlevel(c);
  setlevel(c, level + 1);
  double x = Wertid(args[i].text, args[i].len, c, slot);
  setlevel(c, level);
  return x;
}

double gabs(const FormulaArg* a, int, DataContext* c, int s) { return std::fabs(arg(a, 0, c, s)); }
double gsin(const FormulaArg* a, int, DataContext* c, int s) { return std::sin(arg(a, 0, c, s)); }
double gexp(const FormulaArg* a, int, DataContext* c, int s) { return std::exp(arg(a, 0, c, s)); }
double gcos(const FormulaArg* a, int, DataContext* c, int s) { return std::cos(arg(a, 0, c, s)); }
double gsqr(const FormulaArg* a, int, DataContext* c, int s) {
  double x = arg(a, 0, c, s);
  return x * x;
}

double glog(const FormulaArg* a, int, DataContext* c, int s) {
  double x = arg(a, 0, c, s);
  if (!(x > 0.0)) {
    SetErr(c, a[0].text, a[0].len, "wrong argument log");
    return 1.0;
  }
  return std::log(x);
}

double gsqrt(const FormulaArg* a, int, DataContext* c, int s) {
  double x = arg(a, 0, c, s);
  if (!(x >= 0.0)) {
    SetErr(c, a[0].text, a[0].len, "wrong argument sqrt");
    return 1.0;
  }
  return std::sqrt(x);
}

double gifthenelse(const FormulaArg* a, int, DataContext* c, int s) {
  double cond = arg(a, 0, c, s);
  return std::fabs(cond) > kTrue ? raised(a, 1, c, s) : raised(a, 2, c, s);
}

}  // namespace

void stdinit1(StdFunction fn, const char* name, int n) {
  int nlen = static_cast<int>(std::strlen(name));
  if (!validformulaname(name, nlen)) internal_error("wrongStdFktName", kModule, 4436);
  if (nstd >= kRows) internal_error("toManyStdFkt", kModule, 4438);
  if (nlen >= 12) internal_error("StdFktNameLenght", kModule, 4441);
  if (n == 0) internal_error("StdFkt0Param", kModule, 4443);
  int row = hashrow(name, nlen);
  while (stdhash[row].n != 0) row = (row + 1) % kRows;
  stdhash[row].fn = fn;
  std::memcpy(stdhash[row].name, name, static_cast<size_t>(nlen) + 1);
  stdhash[row].n = n;
  ++nstd;
}

StdFunction findbuiltin(const char* name, int nlen, int nargs) {
  if (nlen <= 0 || nlen >= 12) return nullptr;
  for (int row = hashrow(name, nlen), tried = 0; stdhash[row].n != 0 && tried < kRows;
       row = (row + 1) % kRows, ++tried) {
    const StdFkt& f = stdhash[row];
    if (accepts(f.n, nargs) && std::memcmp(f.name, name, static_cast<size_t>(nlen)) == 0 && f.name[nlen] == 0)
      return f.fn;
  }
  return nullptr;
}

void enterbuiltins() {
  for (auto& row : stdhash) row.n = 0;
  nstd = 0;
  stdinit1(gabs, "abs", 1);
  stdinit1(gsin, "sin", 1);
  stdinit1(gexp, "exp", 1);
  stdinit1(gcos, "cos", 1);
  stdinit1(glog, "log", 1);
  stdinit1(gsqrt, "sqrt", 1);
  stdinit1(gsqr, "sqr", 1);
  stdinit1(gifthenelse, "ifthenelse", 3);
}
