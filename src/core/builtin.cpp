// The table of built-in formula functions and the built-ins themselves.
#include "core/data_internal.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "core/fatal.hpp"
#include "core/integral.hpp"
#include "core/message.hpp"
#include "core/velmora.hpp"

namespace core {

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
}  // namespace

std::atomic<uint32_t> builtinepoch{0};

namespace {

// Truth threshold of the logical built-ins (1000 machine epsilons).
constexpr double kTrue = 2.220446049250313e-13;
// Relative tolerance of the comparisons (one machine epsilon).
constexpr double kRelTol = 2.220446049250313e-16;
// Below the smallest normal double a magnitude counts as zero.
constexpr double kTiny = 2.2250738585072014e-308;
// Default tolerance of integral and cintegral.
constexpr double kIntegralEps = 1e-13;
constexpr double kPi = 3.141592653589793;
// Largest working copy a linear system may take from the scratch stack.
constexpr uint64_t kMaxWork = (uint64_t(1) << 31) - 65536;

int hashrow(const char* name, int nlen) {
  unsigned h = 0;
  for (int i = 0; i < nlen; ++i) h += static_cast<unsigned char>(name[i]);
  return static_cast<int>(h % kRows);
}

bool accepts(int rule, int n) { return rule > 0 ? n == rule : n >= -rule; }

inline bool tiny(double x) { return std::fabs(x) < kTiny; }
inline double tol(double a, double b) { return (std::fabs(a) + std::fabs(b)) * kRelTol; }
// Truth for or, not, ifthenelse and while: NaN is false.
inline bool istrue(double x) { return std::fabs(x) > kTrue; }

// Evaluates argument i at the current level.
double arg(const FormulaArg* args, int i, DataContext* c, int slot) {
  return Wertarg(args[i], c, slot);
}

// Evaluates argument i with the guard level raised by one.
double raised(const FormulaArg* args, int i, DataContext* c, int slot) {
  int level = getlevel(c);
  setlevel(c, level + 1);
  double x = Wertarg(args[i], c, slot);
  setlevel(c, level);
  return x;
}

// Raises the guard level for the later arguments of a call and restores the
// level of the call on every path out of it.
class LevelGuard {
 public:
  explicit LevelGuard(DataContext* c) : c_(c), level_(getlevel(c)) {}
  ~LevelGuard() { setlevel(c_, level_); }
  void raise() {
    if (!raised_) setlevel(c_, level_ + 1);
    raised_ = true;
  }
  LevelGuard(const LevelGuard&) = delete;
  LevelGuard& operator=(const LevelGuard&) = delete;

 private:
  DataContext* c_;
  int level_;
  bool raised_ = false;
};

// Working memory of one call, released to the call's mark on every path.
class Scratch {
 public:
  explicit Scratch(DataContext* c) : c_(c), pos_(scratchmark(c)) {}
  ~Scratch() { scratchrelease(c_, pos_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  // A zero-terminated copy of a text of len characters.
  char* copy(const char* s, int len) {
    char* t = static_cast<char*>(scratchalloc(c_, static_cast<size_t>(len) + 1));
    if (len > 0) std::memcpy(t, s, static_cast<size_t>(len));
    t[len] = 0;
    return t;
  }
  char* copy(const FormulaArg& a) { return copy(a.text, a.len); }

 private:
  DataContext* c_;
  ScratchPos pos_;
};

// Records pushed since the call began (the evaluator sets the error floor at
// the error top when it enters a built-in).
inline bool failedsince(DataContext* c, int mark) { return errcount(c) != mark; }

void pushf(DataContext* c, const FormulaArg& obj, const char* fmt, double x) {
  char msg[400];
  std::snprintf(msg, sizeof msg, fmt, x);
  SetErr(c, obj.text, obj.len, msg);
}

void pushf(DataContext* c, const FormulaArg& obj, const char* fmt, int k) {
  char msg[128];
  std::snprintf(msg, sizeof msg, fmt, k);
  SetErr(c, obj.text, obj.len, msg);
}

// ---------------------------------------------------------------------------
// Mathematical functions

// Built-ins of one argument evaluated at the call's level: a function of the
// argument's value, with the record of a value outside its domain. The
// evaluator of parsed formulas may apply the function itself to a value it
// computed (unarybuiltin).
constexpr UnaryBuiltin kUnaryMath[] = {
    {"abs", [](double x) { return std::fabs(x); }, nullptr, nullptr},
    {"sin", [](double x) { return std::sin(x); }, nullptr, nullptr},
    {"exp", [](double x) { return std::exp(x); }, nullptr, nullptr},
    {"cos", [](double x) { return std::cos(x); }, nullptr, nullptr},
    {"log", [](double x) { return std::log(x); }, [](double x) { return x > 0.0; },
     "wrong argument log"},
    {"tan", [](double x) { return std::tan(x); }, nullptr, nullptr},
    {"atan", [](double x) { return std::atan(x); }, nullptr, nullptr},
    {"asin", [](double x) { return std::asin(x); }, [](double x) { return std::fabs(x) <= 1.0; },
     "wrong argument asin"},
    {"acos", [](double x) { return std::acos(x); }, [](double x) { return std::fabs(x) <= 1.0; },
     "wrong argument acos"},
    {"sqrt", [](double x) { return std::sqrt(x); }, [](double x) { return x >= 0.0; },
     "wrong argument sqrt"},
    {"sqr", [](double x) { return x * x; }, nullptr, nullptr},
    {"floor", [](double x) { return std::floor(x); }, nullptr, nullptr},
    {"ceil", [](double x) { return std::ceil(x); }, nullptr, nullptr},
};
constexpr int kNUnary = static_cast<int>(sizeof kUnaryMath / sizeof kUnaryMath[0]);

template <int k>
double unary(const FormulaArg* a, int, DataContext* c, int s) {
  const UnaryBuiltin& u = kUnaryMath[k];
  double x = arg(a, 0, c, s);
  if (u.domain != nullptr && !u.domain(x)) {
    SetErr(c, a[0].text, a[0].len, u.message);
    return 1.0;
  }
  return u.fn(x);
}

// The built-in of row k of kUnaryMath.
template <int... k>
constexpr std::array<StdFunction, sizeof...(k)> unaryrows(std::integer_sequence<int, k...>) {
  return {unary<k>...};
}
constexpr std::array<StdFunction, kNUnary> kUnaryBuiltins =
    unaryrows(std::make_integer_sequence<int, kNUnary>());

double gpower(const FormulaArg* args, int, DataContext* c, int s) {
  double a = arg(args, 0, c, s);
  double b = arg(args, 1, c, s);
  bool bad = false;
  if (tiny(a) && tiny(b)) return 1.0;
  // Zero to a negative power, or a negative base to a power that is not
  // whole.
  if ((tiny(a) && b <= -kTiny) || (a <= -kTiny && !(std::fmod(b, 1.0) == 0.0))) bad = true;
  if (bad) {
    char obj[128];
    int n = std::snprintf(obj, sizeof obj, "power(%23.15E,%23.15E)", a, b);
    SetErr(c, obj, n, "wrong arguments power");
    return 1.0;
  }
  return std::pow(a, b);
}

double gmod(const FormulaArg* args, int, DataContext* c, int s) {
  double b = arg(args, 1, c, s);
  if (tiny(b)) {
    SetErr(c, args[1].text, args[1].len, "wrong second argument mod");
    return 1.0;
  }
  double a = arg(args, 0, c, s);
  return std::fmod(a, b);
}

// ---------------------------------------------------------------------------
// max, min

double gmax(const FormulaArg* a, int n, DataContext* c, int s) {
  int mark = errcount(c);
  double m = arg(a, 0, c, s);
  for (int i = 1; i < n && !failedsince(c, mark); ++i) {
    double x = raised(a, i, c, s);
    if (x > m) m = x;
  }
  return m;
}

double gmin(const FormulaArg* a, int n, DataContext* c, int s) {
  int mark = errcount(c);
  double m = arg(a, 0, c, s);
  for (int i = 1; i < n && !failedsince(c, mark); ++i) {
    double x = raised(a, i, c, s);
    if (x < m) m = x;
  }
  return m;
}

// ---------------------------------------------------------------------------
// Statements inside formulas (cat, while)

inline bool isstatement(const FormulaArg& a, int L) {
  return L < a.len && (a.text[L] == '=' || a.text[L] == ':');
}

double gcat(const FormulaArg* a, int n, DataContext* c, int s) {
  int mark = errcount(c);
  LevelGuard level(c);
  bool seen = false;
  double value = 1.0;
  for (int i = 0; i < n && !failedsince(c, mark); ++i) {
    int L = 0, nl = 0;
    varspn(c, a[i].text, a[i].len, &L, &nl);
    if (isstatement(a[i], L)) {
      int lhs[2] = {L, nl};
      if (ergibtid(a[i].text, a[i].len, lhs, c, s) == 0)
        SetErr(c, a[i].text, a[i].len, "Error while evaluating cat");
    } else {
      value = Wertarg(a[i], c, s);
      seen = true;
    }
    level.raise();
  }
  if (!seen) {
    SetErr(c, "", 0, "cat contains no expression for defining it's return value");
    return 1.0;
  }
  if (failedsince(c, mark)) return 1.0;
  return value;
}

double gwhile(const FormulaArg* a, int n, DataContext* c, int s) {
  int mark = errcount(c);
  Scratch scratch(c);
  LevelGuard level(c);
  // Pre-scan of the body: left-side lengths and the statement flag.
  struct Item {
    int L, n;
    bool statement;
  };
  int nbody = n - 1;
  Item* items = nbody > 0
                    ? static_cast<Item*>(scratchalloc(c, sizeof(Item) * static_cast<size_t>(nbody)))
                    : nullptr;
  for (int i = 0; i < nbody && !failedsince(c, mark); ++i) {
    const FormulaArg& x = a[i + 1];
    varspn(c, x.text, x.len, &items[i].L, &items[i].n);
    items[i].statement = isstatement(x, items[i].L);
  }
  double passes = 0.0;
  for (;;) {
    double cond = Wertarg(a[0], c, s);
    if (!istrue(cond) || failedsince(c, mark)) break;
    level.raise();
    passes += 1.0;
    for (int i = 0; i < nbody && !failedsince(c, mark); ++i) {
      const FormulaArg& x = a[i + 1];
      const Item& it = items[i];
      if (!it.statement) {
        Wertarg(x, c, s);
        continue;
      }
      if (it.L == 0 || it.n == 0) {
        SetErr(c, x.text, x.len, "Error while evaluating while");
        continue;
      }
      // A failed function definition leaves no records of its own (the
      // executor drops them); the loop reports it with its own message.
      int lhs[2] = {it.L, it.n};
      if (ergibtid(x.text, x.len, lhs, c, s) == 0) {
        droperrors(c, mark);
        SetErr(c, x.text, x.len, "Error while evaluating while");
      }
    }
  }
  return passes;
}

// ---------------------------------------------------------------------------
// Comparisons and logic
//
// Two values within (|a| + |b|) x epsilon of each other are equal, and so are
// two magnitudes below the smallest normal double. A pair with a value that is
// not a number holds in every comparison: each test below fails only on a
// definite violation.

enum class Cmp { lt, le, gt, ge, eq };

bool pairholds(Cmp op, double p, double q) {
  bool zero = tiny(p) && tiny(q);
  double t = tol(p, q);
  switch (op) {
    case Cmp::eq:
      return zero || !(std::fabs(p - q) > t);
    case Cmp::le:
      return zero || !(p - q > t);
    case Cmp::ge:
      return zero || !(q - p > t);
    case Cmp::lt:
      return !zero && !(q - p < t);
    case Cmp::gt:
      return !zero && !(p - q < t);
  }
  return false;
}

double compare(Cmp op, const FormulaArg* a, int n, DataContext* c, int s) {
  LevelGuard level(c);
  double p = arg(a, 0, c, s);
  level.raise();
  for (int i = 1; i < n; ++i) {
    double q = Wertarg(a[i], c, s);
    if (!pairholds(op, p, q)) return 0.0;
    p = q;
  }
  return 1.0;
}

double glt(const FormulaArg* a, int n, DataContext* c, int s) {
  return compare(Cmp::lt, a, n, c, s);
}
double gle(const FormulaArg* a, int n, DataContext* c, int s) {
  return compare(Cmp::le, a, n, c, s);
}
double ggt(const FormulaArg* a, int n, DataContext* c, int s) {
  return compare(Cmp::gt, a, n, c, s);
}
double gge(const FormulaArg* a, int n, DataContext* c, int s) {
  return compare(Cmp::ge, a, n, c, s);
}
double geq(const FormulaArg* a, int n, DataContext* c, int s) {
  return compare(Cmp::eq, a, n, c, s);
}

double gne(const FormulaArg* a, int, DataContext* c, int s) {
  double p = arg(a, 0, c, s);
  double q = raised(a, 1, c, s);
  if (tiny(p) && tiny(q)) return 0.0;
  return std::fabs(p - q) > tol(p, q) ? 1.0 : 0.0;
}

bool argvergleich(int i, int j, void* base) {
  const double* x = static_cast<const double*>(base);
  return x[i] < x[j];
}

void argtausch(int i, int j, void* base) {
  double* x = static_cast<double*>(base);
  double t = x[i];
  x[i] = x[j];
  x[j] = t;
}

// All arguments pairwise different: sorted, no two neighbours equal.
double gnefull(const FormulaArg* a, int n, DataContext* c, int s) {
  Scratch scratch(c);
  LevelGuard level(c);
  double* x = static_cast<double*>(scratchalloc(c, sizeof(double) * static_cast<size_t>(n)));
  x[0] = arg(a, 0, c, s);
  level.raise();
  for (int i = 1; i < n; ++i) x[i] = Wertarg(a[i], c, s);
  heapsortid(n, x, argvergleich, argtausch);
  for (int i = 0; i + 1 < n; ++i) {
    bool distinct = !(tiny(x[i]) && tiny(x[i + 1])) && x[i + 1] - x[i] > tol(x[i], x[i + 1]);
    if (!distinct) return 0.0;
  }
  return 1.0;
}

double gnot(const FormulaArg* a, int, DataContext* c, int s) {
  return std::fabs(arg(a, 0, c, s)) < kTrue ? 1.0 : 0.0;
}

double gor(const FormulaArg* a, int n, DataContext* c, int s) {
  LevelGuard level(c);
  double x = 0.0;
  for (int i = 0; i < n; ++i) {
    x = Wertarg(a[i], c, s);
    level.raise();
    if (istrue(x)) return 1.0;
  }
  return x;
}

// and tests the signed value (-1 is false here); NaN counts as true.
double gand(const FormulaArg* a, int n, DataContext* c, int s) {
  LevelGuard level(c);
  double x = 0.0;
  for (int i = 0; i < n; ++i) {
    x = Wertarg(a[i], c, s);
    level.raise();
    if (x < kTrue) return 0.0;
  }
  return x;
}

// 1 when every argument evaluates cleanly; otherwise 0 with the records of
// the failing argument removed, so that a formula can test for a key.
double gifdef(const FormulaArg* a, int n, DataContext* c, int s) {
  int mark = errcount(c);
  for (int i = 0; i < n; ++i) {
    Wertarg(a[i], c, s);
    if (failedsince(c, mark)) {
      droperrors(c, mark);
      return 0.0;
    }
  }
  return 1.0;
}

double gifthenelse(const FormulaArg* a, int, DataContext* c, int s) {
  double cond = arg(a, 0, c, s);
  return istrue(cond) ? raised(a, 1, c, s) : raised(a, 2, c, s);
}

// select(s, e1, e2, ...): s in [0.5, 1.5] gives e1, (1.5, 2.5] e2, and so on.
double gselect(const FormulaArg* a, int n, DataContext* c, int s) {
  double sel = arg(a, 0, c, s);
  if (sel >= 0.5) {
    for (int k = 1; k < n; ++k)
      if (sel <= k + 0.5) return raised(a, k, c, s);
  }
  pushf(c, a[0], "selector has wrong value %.0f", std::floor(sel + 0.5));
  return 1.0;
}

double gergibt(const FormulaArg* a, int, DataContext* c, int s) {
  return ergibtid(a[0].text, a[0].len, nullptr, c, s) != 0 ? 1.0 : 0.0;
}

// ---------------------------------------------------------------------------
// Linear systems

// Working copy of a system of dimension n (matrix and right-hand side, with
// perelement doubles per element). A size that the scratch stack cannot hold
// ends the program as an exhausted memory does, never with a short buffer.
double* workspace(DataContext* c, uint64_t n, uint64_t perelement) {
  // Sizes in 64 bits: n up to 2^31 cannot overflow below this bound.
  if (n > (uint64_t(1) << 20)) n = uint64_t(1) << 20;
  uint64_t bytes = (n * n + n) * perelement * sizeof(double);
  if (bytes > kMaxWork) {
    fatal<-44>();
  }
  return static_cast<double*>(scratchalloc(c, static_cast<size_t>(bytes)));
}

// Dimension n (floor(x + 0.5) of the argument): true when it is positive.
bool dimension(const FormulaArg& arg, double x, int* n, DataContext* c, const char* msg) {
  double r = std::floor(x + 0.5);
  if (!(r >= 1.0)) {
    SetErr(c, arg.text, arg.len, msg);
    return false;
  }
  *n = r > 2147483647.0 ? 2147483647 : static_cast<int>(r);
  return true;
}

// gauss(A, x, b, eps, n): solves A x = b by elimination with partial
// pivoting. A pivot smaller than eps, zero or not a number fails the call,
// and a failed call stores nothing.
double ggauss(const FormulaArg* args, int, DataContext* c, int s) {
  int mark = errcount(c);
  Scratch scratch(c);
  double xn = arg(args, 4, c, s);
  if (failedsince(c, mark)) return 1.0;
  int n = 0;
  if (!dimension(args[4], xn, &n, c, "non-positive dimension in gauss")) return 1.0;
  double eps = arg(args, 3, c, s);
  if (failedsince(c, mark)) return 1.0;
  if (eps < 0.0) {
    SetErr(c, args[3].text, args[3].len, "non-positive epsilon in gauss");
    return 1.0;
  }
  const char* nameA = scratch.copy(args[0]);
  const char* namex = scratch.copy(args[1]);
  const char* nameb = scratch.copy(args[2]);
  size_t N = static_cast<size_t>(n);
  double* A = workspace(c, N, 1);  // row-major, 0-based
  double* b = A + N * N;
  for (int i = 0; i < n; ++i) {
    int i1 = i + 1;
    b[i] = GetIndexVarid(nameb, 1, &i1, c, s);
    for (int j = 0; j < n; ++j) {
      int ij[2] = {i1, j + 1};
      A[i * N + j] = GetIndexVarid(nameA, 2, ij, c, s);
    }
    if (failedsince(c, mark)) return 1.0;
  }
  for (int k = 0; k < n; ++k) {
    int r = k;
    double best = std::fabs(A[k * N + k]);
    for (int i = k + 1; i < n; ++i) {
      double m = std::fabs(A[i * N + k]);
      if (m > best) {
        best = m;
        r = i;
      }
    }
    if (eps > best || !(best > 0.0)) {
      SetErr(c, "", 0, "gauss: pivotelement less than epsilon");
      return 1.0;
    }
    if (r != k) {
      for (int j = k; j < n; ++j) {
        double t = A[r * N + j];
        A[r * N + j] = A[k * N + j];
        A[k * N + j] = t;
      }
      double t = b[r];
      b[r] = b[k];
      b[k] = t;
    }
    // The diagonal keeps the reciprocal of the pivot for the back substitution.
    double q = 1.0 / A[k * N + k];
    A[k * N + k] = q;
    for (int i = k + 1; i < n; ++i) {
      double f = A[i * N + k] * q;
      b[i] -= f * b[k];
      for (int j = k + 1; j < n; ++j) A[i * N + j] -= f * A[k * N + j];
    }
  }
  // Back substitution; x overwrites b and is stored from x[n] down to x[1].
  for (int i = n - 1; i >= 0; --i) {
    double sum = b[i];
    for (int j = i + 1; j < n; ++j) sum -= A[i * N + j] * b[j];
    b[i] = sum * A[i * N + i];
    int i1 = i + 1;
    SetIndexVarid(namex, 1, &i1, b[i], c, s);
    if (failedsince(c, mark)) return 1.0;
  }
  return 1.0;
}

// cgauss(Are, Aim, xre, xim, bre, bim, eps, n): the complex twin of gauss.
double gcgauss(const FormulaArg* args, int, DataContext* c, int s) {
  int mark = errcount(c);
  Scratch scratch(c);
  double xn = arg(args, 7, c, s);
  if (failedsince(c, mark)) return 1.0;
  int n = 0;
  if (!dimension(args[7], xn, &n, c, "non-positive dimension in cgauss")) return 1.0;
  double eps = arg(args, 6, c, s);
  if (failedsince(c, mark)) return 1.0;
  if (eps < 0.0) {
    SetErr(c, args[6].text, args[6].len, "non-positive epsilon in cgauss");
    return 1.0;
  }
  const char* nAre = scratch.copy(args[0]);
  const char* nAim = scratch.copy(args[1]);
  const char* nxre = scratch.copy(args[2]);
  const char* nxim = scratch.copy(args[3]);
  const char* nbre = scratch.copy(args[4]);
  const char* nbim = scratch.copy(args[5]);
  size_t N = static_cast<size_t>(n);
  // Real and imaginary parts interleaved: element (i, j) at 2 (i N + j).
  double* A = workspace(c, N, 2);
  double* b = A + 2 * N * N;
  auto re = [&](int i, int j) -> double& { return A[2 * (i * N + j)]; };
  auto im = [&](int i, int j) -> double& { return A[2 * (i * N + j) + 1]; };
  for (int i = 0; i < n; ++i) {
    int i1 = i + 1;
    b[2 * i] = GetIndexVarid(nbre, 1, &i1, c, s);
    b[2 * i + 1] = GetIndexVarid(nbim, 1, &i1, c, s);
    for (int j = 0; j < n; ++j) {
      int ij[2] = {i1, j + 1};
      re(i, j) = GetIndexVarid(nAre, 2, ij, c, s);
      im(i, j) = GetIndexVarid(nAim, 2, ij, c, s);
    }
    if (failedsince(c, mark)) return 1.0;
  }
  for (int k = 0; k < n; ++k) {
    int r = k;
    double best = std::sqrt(re(k, k) * re(k, k) + im(k, k) * im(k, k));
    for (int i = k + 1; i < n; ++i) {
      double m = std::sqrt(re(i, k) * re(i, k) + im(i, k) * im(i, k));
      if (m > best) {
        best = m;
        r = i;
      }
    }
    if (eps > best || !(best > 0.0)) {
      SetErr(c, "", 0, "cgauss: pivotelement less than epsilon");
      return 1.0;
    }
    if (r != k) {
      for (int j = k; j < n; ++j) {
        std::swap(re(r, j), re(k, j));
        std::swap(im(r, j), im(k, j));
      }
      std::swap(b[2 * r], b[2 * k]);
      std::swap(b[2 * r + 1], b[2 * k + 1]);
    }
    // Reciprocal of the pivot z: conj(z) / |z|^2, kept on the diagonal.
    double zr = re(k, k), zi = im(k, k);
    double m2 = zr * zr + zi * zi;
    double qr = zr / m2, qi = -zi / m2;
    re(k, k) = qr;
    im(k, k) = qi;
    for (int i = k + 1; i < n; ++i) {
      double fr = re(i, k) * qr - im(i, k) * qi;
      double fi = re(i, k) * qi + im(i, k) * qr;
      b[2 * i] -= fr * b[2 * k] - fi * b[2 * k + 1];
      b[2 * i + 1] -= fr * b[2 * k + 1] + fi * b[2 * k];
      for (int j = k + 1; j < n; ++j) {
        re(i, j) -= fr * re(k, j) - fi * im(k, j);
        im(i, j) -= fr * im(k, j) + fi * re(k, j);
      }
    }
  }
  for (int i = n - 1; i >= 0; --i) {
    double sr = b[2 * i], si = b[2 * i + 1];
    for (int j = i + 1; j < n; ++j) {
      sr -= re(i, j) * b[2 * j] - im(i, j) * b[2 * j + 1];
      si -= re(i, j) * b[2 * j + 1] + im(i, j) * b[2 * j];
    }
    double qr = re(i, i), qi = im(i, i);
    b[2 * i] = sr * qr - si * qi;
    b[2 * i + 1] = sr * qi + si * qr;
    int i1 = i + 1;
    SetIndexVarid(nxre, 1, &i1, b[2 * i], c, s);
    SetIndexVarid(nxim, 1, &i1, b[2 * i + 1], c, s);
    if (failedsince(c, mark)) return 1.0;
  }
  return 1.0;
}

// ---------------------------------------------------------------------------
// Integrals
//
// The integration variable lives in a private scope pushed for the call: it
// shadows an outer variable of the same name only while the integrand is
// evaluated, and whatever the integrand's statements define is discarded with
// that scope.

struct IntegralCall {
  DataContext* c;
  int slot;
  int mark;          // error count at the call's entry
  const char* name;  // the variable's name (zero-terminated)
  int nidx;          // 0 for a plain variable, else the element's indices
  int* idx;
  const FormulaArg* f;    // integrand (integral)
  const FormulaArg* r;    // modulus (cintegral)
  const FormulaArg* phi;  // phase in degrees (cintegral)
};

void setabscissa(IntegralCall* k, double t) {
  if (k->nidx == 0)
    SetVarid(k->name, t, k->c, k->slot);
  else
    SetIndexVarid(k->name, k->nidx, k->idx, t, k->c, k->slot);
}

double integrand(void* p, double t) {
  IntegralCall* k = static_cast<IntegralCall*>(p);
  if (failedsince(k->c, k->mark)) return 1.0;
  setabscissa(k, t);
  double v = Wertarg(*k->f, k->c, k->slot);
  return failedsince(k->c, k->mark) ? 1.0 : v;
}

ComplexValue cintegrand(void* p, double t) {
  IntegralCall* k = static_cast<IntegralCall*>(p);
  if (failedsince(k->c, k->mark)) return {1.0, 0.0};
  setabscissa(k, t);
  double r = Wertarg(*k->r, k->c, k->slot);
  double phi = Wertarg(*k->phi, k->c, k->slot);
  if (failedsince(k->c, k->mark)) return {1.0, 0.0};
  double w = phi * kPi / 180.0;
  return {r * std::cos(w), r * std::sin(w)};
}

struct VariableMessages {
  const char* wrongarg;
  const char* function;
  const char* index;
};

// Scans the argument that names the integration variable (a plain name or an
// array element with indices evaluated in the caller's scope). False after
// pushing the message that says why it cannot be one.
bool integrationvariable(const FormulaArg& x, const VariableMessages& m, Scratch& scratch,
                         IntegralCall* k) {
  DataContext* c = k->c;
  int before = errcount(c);
  ParsedToken t;
  bool clean = Parameter(c, x.text, x.text + x.len, &t);
  if (t.toklen != x.len || t.nlen == 0) {
    SetErr(c, x.text, x.len, m.wrongarg);
    return false;
  }
  k->name = scratch.copy(t.name, t.nlen);
  k->nidx = 0;
  k->idx = nullptr;
  if (t.bracket == 0) return true;
  if (!clean) {
    SetErr(c, x.text, x.len, "array index of integral arg 2 can't be evaluated");
    return false;
  }
  if (t.bracket == '(') {
    SetErr(c, x.text, x.len, m.function);
    return false;
  }
  k->idx = static_cast<int*>(scratchalloc(c, sizeof(int) * static_cast<size_t>(t.nargs)));
  k->nidx = t.nargs;
  int bad = makeindex(k->idx, t.args, t.nargs, c, k->slot);
  if (bad != 0) {
    pushf(c, x, m.index, bad);
    return false;
  }
  // An index text that failed has left its own records.
  return !failedsince(c, before);
}

// Evaluates the limits and the tolerance inside the private scope. Quadrature
// must always end, so limits that are not finite and a tolerance that is not
// a positive finite number are refused.
bool limits(const FormulaArg* a, int first, int nargs, IntegralCall* k, double* lo, double* hi,
            double* eps) {
  DataContext* c = k->c;
  *lo = Wertarg(a[first], c, k->slot);
  *hi = Wertarg(a[first + 1], c, k->slot);
  *eps = kIntegralEps;
  if (nargs > first + 2) *eps = Wertarg(a[first + 2], c, k->slot);
  if (failedsince(c, k->mark)) return false;
  if (!std::isfinite(*lo)) SetErr(c, a[first].text, a[first].len, "wrong limits in integral");
  if (!std::isfinite(*hi))
    SetErr(c, a[first + 1].text, a[first + 1].len, "wrong limits in integral");
  if (!(*eps > 0.0) || !std::isfinite(*eps))
    SetErr(c, a[first + 2].text, a[first + 2].len, "wrong tolerance in integral");
  return !failedsince(c, k->mark);
}

// integral(f, x, a, b [, eps]).
double gintegral(const FormulaArg* a, int n, DataContext* c, int s) {
  Scratch scratch(c);
  IntegralCall k{c, s, errcount(c), nullptr, 0, nullptr, &a[0], nullptr, nullptr};
  if (DATAlistLevel() == 0) newDATAlistctx(c);
  static const VariableMessages msgs{"wrong arg 2 to integral",
                                     "function can't be arg 2 of integral",
                                     "Arg 2 of integral: index no. %d out of range"};
  if (!integrationvariable(a[1], msgs, scratch, &k)) return 1.0;
  newDATAlistctx(c);
  double lo = 0, hi = 0, eps = 0;
  double value = 1.0;
  if (limits(a, 2, n, &k, &lo, &hi, &eps)) value = integral7(integrand, &k, lo, hi, eps);
  DelAllctx(c);
  freeDATAlistctx(c);
  return value;
}

// cintegral(p, r, phi, x, a, b [, eps]): modulus of the integral of
// r e^(i phi), phi in degrees; the phase in degrees goes to the variable p.
double gcintegral(const FormulaArg* a, int n, DataContext* c, int s) {
  Scratch scratch(c);
  IntegralCall k{c, s, errcount(c), nullptr, 0, nullptr, nullptr, &a[1], &a[2]};
  if (DATAlistLevel() == 0) newDATAlistctx(c);
  static const VariableMessages msgs{"wrong arg 4 to cintegral",
                                     "function can't be arg 4 of cintegral",
                                     "Arg 4 of integral: index no. %d out of range"};
  ComplexValue z{1.0, 0.0};
  if (integrationvariable(a[3], msgs, scratch, &k)) {
    newDATAlistctx(c);
    double lo = 0, hi = 0, eps = 0;
    if (limits(a, 4, n, &k, &lo, &hi, &eps)) z = cintegral7(cintegrand, &k, lo, hi, eps);
    DelAllctx(c);
    freeDATAlistctx(c);
  }
  double m = mycabs(z.re, z.im);
  double phase = tiny(m) ? 0.0 : std::atan2(z.im, z.re) * 180.0 / kPi;
  SetVarid(scratch.copy(a[0]), phase, c, s);
  return m;
}

// ---------------------------------------------------------------------------
// debug

double gdebug(const FormulaArg* a, int n, DataContext* c, int s) {
  int mark = errcount(c);
  for (int i = 0; i < n; ++i) {
    double x = Wertarg(a[i], c, s);
    if (failedsince(c, mark)) break;
    std::printf("%.*s=%.16E\n", a[i].len, a[i].text, x);
  }
  return 1.0;
}

}  // namespace

const UnaryBuiltin* unarybuiltin(StdFunction fn) {
  for (int k = 0; k < kNUnary; ++k)
    if (kUnaryBuiltins[k] == fn) return &kUnaryMath[k];
  return nullptr;
}

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
  builtinepoch.fetch_add(1, std::memory_order_release);
}

StdFunction findbuiltin(const char* name, int nlen, int nargs) {
  return findbuiltin(name, nlen, store::namehash(name, nlen), nargs);
}

StdFunction findbuiltin(const char* name, int nlen, uint32_t hash, int nargs) {
  if (nlen <= 0 || nlen >= 12) return nullptr;
  for (int row = static_cast<int>(hash % kRows), tried = 0; stdhash[row].n != 0 && tried < kRows;
       row = (row + 1) % kRows, ++tried) {
    const StdFkt& f = stdhash[row];
    if (accepts(f.n, nargs) && std::memcmp(f.name, name, static_cast<size_t>(nlen)) == 0 &&
        f.name[nlen] == 0)
      return f.fn;
  }
  return nullptr;
}

void enterbuiltins() {
  for (auto& row : stdhash) row.n = 0;
  nstd = 0;
  for (int k = 0; k < kNUnary; ++k) stdinit1(kUnaryBuiltins[k], kUnaryMath[k].name, 1);
  stdinit1(gpower, "power", 2);
  stdinit1(gmod, "mod", 2);
  stdinit1(gmax, "max", -1);
  stdinit1(gmin, "min", -1);
  stdinit1(gcat, "cat", -1);
  stdinit1(gwhile, "while", -1);
  stdinit1(glt, "lt", -2);
  stdinit1(gle, "le", -2);
  stdinit1(ggt, "gt", -2);
  stdinit1(gge, "ge", -2);
  stdinit1(gne, "ne", 2);
  stdinit1(gnefull, "ne", -3);
  stdinit1(geq, "eq", -2);
  stdinit1(gnot, "not", 1);
  stdinit1(gor, "or", -1);
  stdinit1(gand, "and", -1);
  stdinit1(gifdef, "ifdef", -1);
  stdinit1(gifthenelse, "ifthenelse", 3);
  stdinit1(gselect, "select", -3);
  stdinit1(gergibt, "ergibt", 1);
  stdinit1(ggauss, "gauss", 5);
  stdinit1(gintegral, "integral", -4);
  stdinit1(gcintegral, "cintegral", -6);
  stdinit1(gcgauss, "cgauss", 8);
  stdinit1(gdebug, "debug", -1);
}

}  // namespace core
