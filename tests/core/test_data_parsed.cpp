// Stored formula texts are parsed once and evaluated from their parsed form.
// A stored text must give exactly what the same text gives when it is
// scanned (Wert): the same value bits, the same error records and the same
// order of the side effects of its functions; and the parsed form must follow
// every change of what the formula reads (scopes, lookup mode, guard levels,
// user functions over built-ins, the threaded phase, a text that replaces
// itself while it runs).
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/data_internal.hpp"
#include "core/nspawn.hpp"
#include "data_testing.hpp"
#include "testsupport.hpp"

namespace core {

namespace {

// Calls of the C function "trace", in order: the argument text of each.
std::vector<std::string> traced;

double trace(const char*, const char* const* args, int nargs) {
  traced.emplace_back(nargs > 0 ? args[0] : "");
  return nargs > 0 ? Wert(args[0]) : 0.0;
}

void fixture() {
  SetVar("a", 3);
  SetVar("b", 5);
  SetVar("z", 0);
  int i0[] = {0}, i3[] = {3}, i12[] = {1, 2};
  SetIndexVar("v", 1, i0, 10);
  SetIndexVar("v", 1, i3, 30);
  SetIndexVar("m", 2, i12, 12);
  SetIndexStrVar("v", 1, i12 + 1, "a*b");
  SetStrVar("bad", "1/0");
  SetStrVar("txt", "hello world");
  SetStrFkt("sq", 1, "#1*#1");
  SetStrFkt("h", 2, "#2-#1");
  SetStrFkt("r", 1, "#2");
  SetUserFkt("trace", 1, trace);
  newDATAlist();
  SetStrVar("c", "b+1");
  SetStrVar("nan", "&000000000000f87f");
}

struct Outcome {
  uint64_t bits;
  std::vector<ErrRec> errors;
  std::vector<std::string> calls;
};

uint64_t bitsof(double x) {
  uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

template <class F>
Outcome outcome(F read) {
  totalfree();
  newDATAlist();
  setrekart(2);
  fixture();
  traced.clear();
  double x = 0;
  dataerr_try([&] { x = read(); });
  return {bitsof(x), takeerrors(), traced};
}

TEST(StoreParsed, StoredTextsGiveWhatTheScannedTextGives) {
  // Plain formulas (parsed), and texts the scanner complains about (kept as
  // texts): both must agree with the scanned text in value, records and the
  // order of side effects.
  const char* texts[] = {
      // operators, priorities, brackets, signs
      "8/4/2", "2*-3", "-2*3", "2--3", "+-+2", "-(1+2)*2", "1+2*3-4/2", "-2*-(3+1)", "((1+2))*3",
      "(2+3)*(4-1)/5", "1-2-3-4", "2/3*3", "0.1+0.2-0.3", "-(-(-a))", "a*b+c", "(a )*2", "a +b",
      // numbers and hex literals
      "1.5E3*2", ".5", "0x1A+1", "5e-1", "1e400", "1e-400*3", "&000000000000f03f*3",
      "&000000000000f87f", "nan*0", "-nan",
      // names, elements, functions
      "c*2", "txt", "undefinedname+1", "v[1+2]", "v[2.5]", "v[-0.5]", "m[1,2]", "v[3e9]", "v[7]",
      "v[2]*2", "sqrt(a*a+16)", "sin(a)/2+cos(b)", "sq(a+1)", "h(1,a)", "r(1)", "max(a,b,c)",
      "sq(sq(2))+sqrt(sqrt(16))", "min(1,2", "sin(0]", "nosuchfn(1)",
      // errors inside operands, in the middle and at the end
      "1/0", "1/0+2", "2*(a-3)/(b-5)", "1/z", "bad+1", "bad*2+trace(4)", "trace(1)/z+trace(2)",
      "trace(1)/0*trace(2)+trace(3)", "1+trace(2)/0", "sqrt(1/z)+trace(5)",
      "trace(1)+undefined+trace(2)",
      // syntax the scanner complains about: no parsed form
      "2 3", "1+", "(1+2", "1+2)", "a)+(b", "x y", " 1", "2x", "&00+1", "[a,b]", "[a]", "1e",
      "a,b(1)", "3#1",
      // statements inside formulas
      "cat(k=4,k*a)", "cat(a)", "cat(k==a*2,k+1)", "while(a<6,a==a+1)+a"};
  for (const char* f : texts) {
    Outcome scanned = outcome([&] { return Wert(f); });
    Outcome stored = outcome([&] {
      SetStrVar("T", f);
      return GetVar("T");
    });
    // The same text read a second time from the same entry.
    Outcome again = outcome([&] {
      SetStrVar("T", f);
      double first = 0;
      dataerr_try([&] { first = GetVar("T"); });
      takeerrors();
      traced.clear();
      (void)first;
      return GetVar("T");
    });
    std::vector<ErrRec> expected = scanned.errors;
    if (!expected.empty()) expected.push_back({"T", "variable can't be evaluated"});
    EXPECT_EQ(stored.bits, scanned.bits) << f;
    EXPECT_EQ(stored.errors, expected) << f;
    EXPECT_EQ(stored.calls, scanned.calls) << f;
    EXPECT_EQ(again.bits, stored.bits) << f;
    EXPECT_EQ(again.errors, stored.errors) << f;
  }
}

TEST_F(Store, ParsedFormulaFollowsScopesAndLookupModes) {
  SetVar("a", 1);
  SetStrVar("X", "a*10+1");
  EXPECT_EQ(GetVar("X"), 11);
  newDATAlist();
  SetVar("a", 2);
  EXPECT_EQ(GetVar("X"), 21);  // the name is looked up again in the new top scope
  DelAll();
  freeDATAlist();
  EXPECT_EQ(GetVar("X"), 11);

  // X in the top scope, a only below it: mode 0 sees the top scope alone.
  newDATAlist();
  SetStrVar("X", "a*100");
  EXPECT_EQ(GetVar("X"), 100);
  setrekart(0);
  EXPECT_FALSE(dataerr_try([] { GetVar("X"); }));
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"a", "undefined variable"},
                                               {"a*100", "wrong expression"},
                                               {"X", "variable can't be evaluated"}}));
  setrekart(1);  // the whole chain while a formula runs
  EXPECT_EQ(GetVar("X"), 100);
  setrekart(2);
  // A new entry of the name in the top scope hides the lower one.
  SetVar("a", 7);
  EXPECT_EQ(GetVar("X"), 700);
  DelVar("a");
  EXPECT_EQ(GetVar("X"), 100);
}

TEST_F(Store, ParsedFormulaKeepsTheRecursionGuard) {
  SetVar("X", 3);
  SetVar("n", 2);
  newDATAlist();
  // X reads the lower X (its own entry is guarded while it runs).
  SetStrVar("X", "X+n");
  for (int i = 0; i < 2; ++i) EXPECT_EQ(GetVar("X"), 5);
  // Element whose text reads itself: the lower number, then no lower entry.
  int i1[] = {1};
  SetIndexStrVar("e", 1, i1, "e[1]*2+n");
  EXPECT_FALSE(dataerr_try([] { GetVar("e[1]"); }));
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"e[1]", "array element undefined"},
                                               {"e[1]*2+n", "wrong expression"},
                                               {"e[1]", "variable can't be evaluated"}}));
  DelAll();
  freeDATAlist();
  SetIndexVar("e", 1, i1, 4);
  newDATAlist();
  SetIndexStrVar("e", 1, i1, "e[1]*2+n");
  EXPECT_EQ(GetVar("e[1]"), 4 * 2 + 2);
  // A level-raising built-in lets the text see itself in its later arguments.
  SetStrVar("Y", "cat(k==1,0)+1");
  EXPECT_EQ(GetVar("Y"), 1);
}

TEST_F(Store, UserFunctionsShadowBuiltinsInParsedFormulas) {
  SetStrVar("X", "sqrt(16)+1");
  EXPECT_EQ(GetVar("X"), 5);
  SetStrFkt("sqrt", 1, "#1*10");
  EXPECT_EQ(GetVar("X"), 161);
  DelFkt("sqrt", 1);
  EXPECT_EQ(GetVar("X"), 5);
  SetUserFkt("sqrt", 1, [](const char*, const char* const*, int) { return 100.0; });
  EXPECT_EQ(GetVar("X"), 101);
  DelFkt("sqrt", 1);
  // A function of another argument count does not shadow the built-in.
  SetStrFkt("sqrt", 2, "#1+#2");
  EXPECT_EQ(GetVar("X"), 5);
  // A built-in entered after the text was stored is found.
  SetStrVar("Z", "tenfold(2)+1");
  EXPECT_FALSE(dataerr_try([] { GetVar("Z"); }));
  takeerrors();
  stdinit1([](const FormulaArg*, int, DataContext*, int) { return 10.0; }, "tenfold", 1);
  EXPECT_EQ(GetVar("Z"), 11);
}

TEST_F(Store, TextThatReplacesItselfWhileItRuns) {
  SetVar("a", 3);
  // The statement replaces X's text while X's old parsed form is running.
  SetStrVar("X", "cat(X=a*2+0*sqrt(a*a+1),a+4)*10");
  EXPECT_EQ(GetVar("X"), 70);
  EXPECT_EQ(GetVar("X"), 6);
  // Deleting the running entry keeps its form until the evaluation ends.
  SetStrVar("Y", "cat(Y=,a+1)+a");
  EXPECT_EQ(GetVar("Y"), 7);
  EXPECT_FALSE(dataerr_try([] { GetVar("Y"); }));
  takeerrors();
  // A number set over a text: no form is left behind.
  SetStrVar("Z", "a+1");
  EXPECT_EQ(GetVar("Z"), 4);
  SetVar("Z", 9);
  EXPECT_EQ(GetVar("Z"), 9);
  SetStrVar("Z", "a-1");
  EXPECT_EQ(GetVar("Z"), 2);
}

// Names of parsed formulas are resolved once per thread and reused while
// nothing they could resolve to has changed: each change below comes right
// after reads that resolved the names, and must be seen by the next read.
TEST_F(Store, ParsedNamesFollowEveryChangeOfWhatTheyCouldFind) {
  SetVar("a", 1);
  SetStrVar("X", "a*10+1");
  const auto x = [] {
    double v = 0;
    EXPECT_EQ(GetVar("X"), GetVar("X"));  // the second read reuses the names
    dataerr_try([&] { v = GetVar("X"); });
    return v;
  };
  EXPECT_EQ(x(), 11);
  SetVar("a", 2);  // a value changes: the same entry
  EXPECT_EQ(x(), 21);
  SetStrVar("a", "3");  // a number becomes a text and back
  EXPECT_EQ(x(), 31);
  SetVar("a", 4);
  EXPECT_EQ(x(), 41);
  newDATAlist();  // shadowed by an inner scope...
  EXPECT_EQ(x(), 41);
  SetVar("a", 5);
  EXPECT_EQ(x(), 51);
  DelVar("a");  // ...uncovered again
  EXPECT_EQ(x(), 41);
  SetVar("a", 6);
  freeDATAlist();  // committed into the scope below, in place
  EXPECT_EQ(x(), 61);
  newDATAlist();
  SetVar("a", 7);
  DATAlist* detached = pushDATAlist();  // detached and re-attached
  EXPECT_EQ(x(), 61);
  popDATAlist(detached);
  EXPECT_EQ(x(), 71);
  DelAll();
  EXPECT_EQ(x(), 61);
  freeDATAlist();
  setrekart(0);  // X and a in the same scope: mode 0 still finds a
  EXPECT_EQ(x(), 61);
  setrekart(2);
  newDATAlist();
  SetStrVar("X", "a*100");
  EXPECT_EQ(x(), 600);
  setrekart(0);
  EXPECT_EQ(x(), 0);
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"a", "undefined variable"},
                                               {"a*100", "wrong expression"},
                                               {"X", "variable can't be evaluated"}}));
  setrekart(1);
  EXPECT_EQ(x(), 600);
  DelAll();
  freeDATAlist();
  setrekart(2);
  DelVar("a");  // deleted: undefined, then defined anew
  EXPECT_EQ(x(), 0);
  takeerrors();
  SetVar("a", 8);
  EXPECT_EQ(x(), 81);

  // Functions: a user function shadows a built-in from an inner scope, and
  // the built-in is found again when that scope goes.
  SetStrVar("S", "sqrt(a*2)");
  EXPECT_EQ(GetVar("S"), 4);
  newDATAlist();
  EXPECT_EQ(GetVar("S"), 4);
  SetStrFkt("sqrt", 1, "#1+1");
  EXPECT_EQ(GetVar("S"), 17);
  SetUserFkt("sqrt", 1, [](const char*, const char* const*, int) { return -1.0; });
  EXPECT_EQ(GetVar("S"), -1);
  DelAll();
  freeDATAlist();
  EXPECT_EQ(GetVar("S"), 4);
}

TEST_F(Store, ParsedNamesAndTheRecursionGuard) {
  // The inner a reads the inner b, whose a is then the lower a (the inner
  // one is guarded); read directly, the inner b sees the inner a, whose b is
  // then the lower b. Both orders, so that either resolution of each name is
  // the one made first.
  for (int first = 0; first < 2; ++first) {
    totalfree();
    newDATAlist();
    setrekart(2);
    SetVar("a", 3);
    SetVar("b", 5);
    newDATAlist();
    SetStrVar("a", "b+1");
    SetStrVar("b", "a*2");
    for (int k = 0; k < 2; ++k) {
      if (first == 0) {
        EXPECT_EQ(GetVar("a"), 7);
        EXPECT_EQ(GetVar("b"), 12);
      } else {
        EXPECT_EQ(GetVar("b"), 12);
        EXPECT_EQ(GetVar("a"), 7);
      }
    }
  }
  // Without a lower a the guarded name is undefined each time.
  totalfree();
  newDATAlist();
  setrekart(2);
  SetStrVar("a", "b+1");
  SetStrVar("b", "a*2");
  for (int k = 0; k < 2; ++k) {
    EXPECT_FALSE(dataerr_try([] { GetVar("a"); }));
    EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"a", "undefined variable"},
                                                 {"a*2", "wrong expression"},
                                                 {"b", "variable can't be evaluated"},
                                                 {"b+1", "wrong expression"},
                                                 {"a", "variable can't be evaluated"}}));
  }
}

TEST_F(Store, ParsedNamesOfReplacedTexts) {
  // Texts of one length replace each other, so their blocks are reused at
  // the same places with other names in them.
  SetVar("p", 1);
  SetVar("q", 2);
  SetVar("r", 3);
  const char* texts[] = {"p*10", "q*10", "r*10", "p*10", "r*10", "q*10"};
  for (const char* t : texts) {
    SetStrVar("X", t);
    double want = 10.0 * GetVar(std::string(t, 1).c_str());
    EXPECT_EQ(GetVar("X"), want) << t;
    EXPECT_EQ(GetVar("X"), want) << t;
  }
  // The text replaces itself while it runs; the running form finishes with
  // the names it had, the next read uses the new ones.
  SetStrVar("X", "cat(X=q*10,p)*r");
  EXPECT_EQ(GetVar("X"), 3);
  EXPECT_EQ(GetVar("X"), 20);
}

TEST_F(Store, ParsedNamesAfterACFunctionChangedTheLookupMode) {
  // The C function reads Z under mode 0, where Z's a (in the scope below) is
  // not found; the mode it set is undone when it returns, and Z then finds a.
  SetVar("a", 4);
  newDATAlist();
  SetStrVar("Z", "a+1");
  SetUserFkt("narrow", 1, [](const char*, const char* const*, int) {
    setrekart(0);
    bool ok = dataerr_try([] { GetVar("Z"); });
    ClearErr();
    return ok ? 1.0 : 0.0;
  });
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(Wert("narrow(0)"), 0);
    EXPECT_EQ(getrekart(), 2);
    EXPECT_EQ(GetVar("Z"), 5);
  }
}

// Nested formulas of numbers, names, arithmetic and built-ins of one argument
// are first evaluated the short way; whatever that way cannot do exactly it
// leaves to the full evaluation. Both must give the same value bits, records
// and calls, wherever in the nesting the trouble lies.
struct NestedCase {
  const char* what;
  void (*setup)();
  const char* read;
};

// Settings below a run scope, read as model code reads them.
void nestedsettings() {
  SetVar("x", 0.75);
  SetStrVar("A", "2*x+1");
  SetStrVar("B", "x*x+3");
  SetStrVar("C", "x/7-0.25");
  SetStrVar("Y", "A*sqrt(B)+sin(C)/2");
  SetStrVar("T", "hello world");
  int i1[] = {1};
  SetIndexVar("v", 1, i1, 4);
  SetUserFkt("trace", 1, trace);
  newDATAlist();
}

// A chain of n entries E0 = E1+1, ..., E(n-1) = x.
void chain(int n) {
  char name[16], text[32];
  for (int i = 0; i < n; ++i) {
    std::snprintf(name, sizeof name, "E%d", i);
    if (i + 1 < n)
      std::snprintf(text, sizeof text, "E%d+1", i + 1);
    else
      std::snprintf(text, sizeof text, "x");
    SetStrVar(name, text);
  }
}

const NestedCase kNested[] = {
    {"plain", [] {}, "Y"},
    {"a number text", [] { SetStrVar("A", "3"); }, "Y"},
    {"sqrt of a negative, two levels down", [] { SetStrVar("B", "x-9"); }, "Y"},
    {"division by a zero value", [] { SetStrVar("C", "1/(x-x)"); }, "Y"},
    {"division by the number zero", [] { SetStrVar("C", "x/0+1"); }, "Y"},
    {"log, asin and acos outside their domains",
     [] { SetStrVar("A", "log(x-x)+asin(2*x+1)+acos(-3)"); }, "Y"},
    {"a name that is not defined", [] { SetStrVar("A", "2*nosuch+1"); }, "Y"},
    {"a plain text", [] { SetStrVar("A", "T+1"); }, "Y"},
    {"a user function over a built-in", [] { SetStrFkt("sin", 1, "#1*10"); }, "Y"},
    {"a C function over a built-in", [] { SetUserFkt("sqrt", 1, trace); }, "Y"},
    {"a statement inside", [] { SetStrVar("A", "cat(k=2,x*k)"); }, "Y"},
    {"an array element", [] { SetStrVar("A", "v[1]*2"); }, "Y"},
    {"a built-in of two arguments", [] { SetStrVar("A", "max(x,1)"); }, "Y"},
    {"the entry that runs, lower one found",
     [] {
       SetStrVar("x", "z+1");
       SetStrVar("z", "x*2");
     },
     "Y"},
    {"the entry that runs, none below",
     [] {
       SetStrVar("p", "q+1");
       SetStrVar("q", "p*2");
     },
     "q"},
    {"a chain deeper than the short way goes", [] { chain(20); }, "E0"},
    {"a chain it goes through", [] { chain(6); }, "E0"},
    // One NaN per operation: of two NaN operands, which one's payload the
    // machine passes on is the compiler's choice of operand order.
    {"a NaN payload and signed zeros",
     [] {
       SetStrVar("A", "x*&010000000000f8ff+1");
       SetStrVar("B", "-0*x");
       SetStrVar("Y", "A*B-B/(1+B)");
     },
     "Y"},
    {"a value stack deeper than the short way keeps",
     [] {
       std::string t = "x";
       for (int i = 0; i < 40; ++i) t = "1+(x*" + t + ")";
       SetStrVar("A", t.c_str());
     },
     "Y"},
    {"lookup mode 1: formulas see the scopes below", [] { setrekart(1); }, "Y"},
    {"lookup mode 0: only the top scope",
     [] {
       SetStrVar("Y", "A*2");
       SetStrVar("A", "x+1");
       setrekart(0);
     },
     "Y"},
};

Outcome nestedoutcome(const NestedCase& k, bool simple) {
  totalfree();
  newDATAlist();
  setrekart(2);
  nestedsettings();
  k.setup();
  traced.clear();
  store::simpleformulas = simple;
  double x = 0;
  dataerr_try([&] { x = GetVar(k.read); });
  // The same entries read a second time, with their names resolved.
  double again = 0;
  dataerr_try([&] { again = GetVar(k.read); });
  store::simpleformulas = true;
  if (bitsof(again) != bitsof(x)) ADD_FAILURE() << k.what << ": second read differs";
  return {bitsof(x), takeerrors(), traced};
}

TEST(StoreParsed, NestedFormulasGiveWhatTheFullEvaluationGives) {
  for (const NestedCase& k : kNested) {
    Outcome full = nestedoutcome(k, false);
    Outcome simple = nestedoutcome(k, true);
    EXPECT_EQ(simple.bits, full.bits) << k.what;
    EXPECT_EQ(simple.errors, full.errors) << k.what;
    EXPECT_EQ(simple.calls, full.calls) << k.what;
  }
  // The plain case's value, so that both ways are not wrong together.
  Outcome plain = nestedoutcome(kNested[0], true);
  double x = 0.75;
  double want = (2 * x + 1) * std::sqrt(x * x + 3) + std::sin(x / 7 - 0.25) / 2;
  EXPECT_EQ(plain.bits, bitsof(want));
}

// A store for four workers with the shared formula X of w (= 1).
void sharedformula() {
  nthreads = 4;
  totalfree();
  newDATAlist();
  setrekart(2);
  SetVar("w", 1);
  SetStrVar("X", "w*2+sqrt(w*w)");
}

// A worker's resolved names do not outlive the threaded phase: between two
// phases the main thread shadows a shared entry, and the workers' next reads
// see the new one.
TEST(StoreParsedThreads, WorkersResolveNamesAnewInEachPhase) {
  ktest::RunResult r = ktest::run_in_child([] {
    sharedformula();
    static std::atomic<int> bad{0};
    static double want;
    for (int phase = 0; phase < 3; ++phase) {
      want = 3.0 * GetVar("w");
      initDATAthreads();
      nspawn(
          [](uint64_t) {
            dataerr_try([] {
              for (int k = 0; k < 50; ++k)
                if (GetVar("X") != want) ++bad;
            });
          },
          1, 0);
      nwait();
      exitDATAthreads();
      newDATAlist();
      SetVar("w", 10 * (phase + 2));
    }
    std::printf("bad %d\n", bad.load());
    std::fflush(stdout);
    std::_Exit(0);
  });
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "bad 0\n");
  EXPECT_EQ(r.err, "");
}

TEST(StoreParsedThreads, WorkersReadSharedFormulasThroughPrivateScopes) {
  ktest::RunResult r = ktest::run_in_child([] {
    sharedformula();
    int fails = 0;
    if (GetVar("X") != 3) ++fails;
    initDATAthreads();
    static std::atomic<int> bad{0};
    nspawn(
        [](uint64_t) {
          dataerr_try([] {
            int id = threadid();
            for (int round = 0; round < 200; ++round) {
              SetVar("w", id + round);
              double w = id + round;
              if (GetVar("X") != 3 * w) ++bad;
            }
            SetStrVar("X", "w*5");  // a private text: merged at the end
          });
        },
        1, 0);
    nwait();
    exitDATAthreads();
    if (bad.load() != 0) ++fails;
    // The merged text (the last worker's) and w (the last writer's) are read.
    double w = GetVar("w");
    if (GetVar("X") != 5 * w) ++fails;
    std::printf("fails %d\n", fails);
    std::fflush(stdout);
    std::_Exit(0);
  });
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "fails 0\n");
  EXPECT_EQ(r.err, "");
}

// Workers read the nested cases from the shared settings, each in its own
// private scope, the short way where it can: each read gives what the full
// evaluation gave on the main thread before the phase.
TEST(StoreParsedThreads, WorkersReadNestedFormulasAsTheFullEvaluation) {
  ktest::RunResult r = ktest::run_in_child([] {
    static std::vector<Outcome> want;
    static std::vector<const NestedCase*> cases;
    nthreads = 4;
    // Not the C function (it records its calls in one list), nor the lookup
    // modes that keep program code in its own scope (a worker's is private).
    for (const NestedCase& k : kNested)
      if (std::strstr(k.what, "C function") == nullptr && std::strstr(k.what, "mode") == nullptr)
        cases.push_back(&k);
    static std::atomic<int> bad{0};
    for (const NestedCase* k : cases) {
      want = {nestedoutcome(*k, false)};
      // The outcome's store is the shared base of the phase.
      initDATAthreads();
      static const NestedCase* current;
      current = k;
      nspawn(
          [](uint64_t) {
            for (int round = 0; round < 20; ++round) {
              double x = 0;
              dataerr_try([&] { x = GetVar(current->read); });
              if (bitsof(x) != want[0].bits || takeerrors() != want[0].errors) ++bad;
            }
          },
          1, 0);
      nwait();
      exitDATAthreads();
    }
    std::printf("bad %d\n", bad.load());
    std::fflush(stdout);
    std::_Exit(0);
  });
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "bad 0\n");
  EXPECT_EQ(r.err, "");
}

}  // namespace

}  // namespace core
