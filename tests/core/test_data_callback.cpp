// Functions registered by the program (C functions), text functions calling
// each other, built-ins redefined by store entries, and unbounded recursion.
#include <atomic>
#include <cstdio>
#include <string>

#include "core/nspawn.hpp"
#include "data_testing.hpp"
#include "testsupport.hpp"

namespace core {

namespace {

int calls = 0;

// Counts its calls and yields its argument's value.
double counting(const char*, const char* const* args, int) {
  ++calls;
  return Wert(args[0]);
}

double failingread(const char*, const char* const*, int) { return GetVar("missing"); }

// Looks at the state a C function runs in.
int seenlevel = -1, seendepth = -1, seenmode = -1;
bool seenerr = true;
double inspecting(const char*, const char* const*, int) {
  seenlevel = ondataLevel();
  seendepth = DATAlistLevel();
  seenmode = getrekart();
  seenerr = ifErr();
  // It cannot pop or detach the caller's scope...
  EXPECT_EQ(freeDATAlist(), seendepth);
  EXPECT_EQ(pushDATAlist(), nullptr);
  // ...and scopes it leaves behind are discarded, not committed.
  newDATAlist();
  SetVar("leak", 1);
  // Its own errors can be cleared, those of the caller below the floor stay.
  EXPECT_FALSE(dataerr_try([] { GetVar("nothere"); }));
  EXPECT_TRUE(ifErr());
  ClearErr();
  EXPECT_FALSE(ifErr());
  return 4;
}

double recursing(const char*, const char* const*, int) { return Wert("cr(1)") + 1; }

TEST_F(Store, TextFunctionArgumentIsEvaluatedOnce) {
  SetUserFkt("cnt", 1, counting);
  SetStrFkt("sq", 1, "#1*#1");
  SetStrFkt("unused", 2, "#1");
  calls = 0;
  EXPECT_EQ(Wert("sq(cnt(3))"), 9);
  EXPECT_EQ(calls, 1);
  calls = 0;
  EXPECT_EQ(Wert("unused(2,cnt(5))"), 2);
  EXPECT_EQ(calls, 0);
  calls = 0;
  EXPECT_EQ(Wert("cnt(cnt(2))*cnt(1)"), 2);
  EXPECT_EQ(calls, 3);
}

TEST_F(Store, FailingReadInsideCFunction) {
  SetUserFkt("cb", 1, failingread);
  EXPECT_EQ(Wert("cb(x)+2"), 1.0);
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"missing", "undefined variable"},
                                               {"cb(x)", "error in C function"},
                                               {"cb(x)+2", "wrong expression"}}));
  // Inside a guarded group the same call jumps there after the evaluation.
  EXPECT_FALSE(dataerr_try([] { Wert("cb(1)"); }));
  EXPECT_EQ(ondataLevel(), 0);
}

TEST_F(Store, CFunctionRunsIsolated) {
  SetUserFkt("look", 1, inspecting);
  setrekart(1);
  int depth = DATAlistLevel();
  // 1/0 leaves a record below the callback's error floor.
  EXPECT_FALSE(dataerr_try([] { Wert("1/0*look(1)"); }));
  EXPECT_EQ(seenlevel, 1);
  EXPECT_EQ(seendepth, depth);
  EXPECT_EQ(seenmode, 1);
  EXPECT_FALSE(seenerr);
  EXPECT_EQ(takeerrors(),
            (std::vector<ErrRec>{{"1/0*look(1)", "expression causes division by zero"},
                                 {"1/0*look(1)", "wrong expression"}}));
  EXPECT_EQ(DATAlistLevel(), depth);
  EXPECT_EQ(getrekart(), 1);
  setrekart(2);
  EXPECT_FALSE(dataerr_try([] { GetVar("leak"); }));
  ClearErr();
  EXPECT_EQ(Wert("look(0)"), 4);
}

TEST_F(Store, StoreEntryOverridesBuiltin) {
  SetStrFkt("sin", 1, "#1*10");
  EXPECT_EQ(Wert("sin(2)"), 20);
  EXPECT_EQ(Wert("sin(1,2)"), 1.0);  // no entry for two arguments, no such built-in
  EXPECT_EQ(takeerrors(),
            (std::vector<ErrRec>{{"sin(1,2)", "wrong function call or invalid parameter"},
                                 {"sin(1,2)", "wrong expression"}}));
  DelFkt("sin", 1);
  EXPECT_EQ(Wert("sin(0)"), 0);
  SetUserFkt("sqrt", 1, counting);
  EXPECT_EQ(Wert("sqrt(16)"), 16);
  // An at-least rule accepts more arguments.
  SetStrFkt("sqrt", -2, "#1+#2+#3");
  EXPECT_EQ(Wert("sqrt(1,2,3)"), 6);
}

void definerecursions() {
  SetStrFkt("f", 1, "f(#1)");
  SetStrFkt("g", 1, "1+g(#1+1)");
  SetStrVar("a", "ifthenelse(1,a+1,0)");
  SetUserFkt("cr", 1, recursing);
  SetStrFkt("sq", 1, "#1*#1");
  SetStrFkt("h", 1, "and(f(#1),g(#1))");
}

// A runaway recursion is reported by the nesting limit's record and the
// records of the outermost formula only: the levels that unwind add nothing.
// A formula nested deeply in its text ends the same way.
struct Recursion {
  const char* formula;
  std::vector<ErrRec> errors;
};
std::string deeplynested(int n) {
  std::string f;
  for (int i = 0; i < n; ++i) f += "sin(";
  f += "1";
  for (int i = 0; i < n; ++i) f += ")";
  return f;
}

const std::vector<Recursion>& recursions() {
  static const std::string deep = deeplynested(3000);
  static const std::string deepx = "2*" + deeplynested(3000);
  static const std::vector<Recursion> table = {
      {"f(1)", {{"f", "formula nesting too deep"}, {"f(1)", "wrong expression"}}},
      {"g(1)*2", {{"g", "formula nesting too deep"}, {"g(1)*2", "wrong expression"}}},
      {"a",
       {{"a", "formula nesting too deep"},
        {"a", "variable can't be evaluated"},
        {"a", "wrong expression"}}},
      {"cr(1)", {{"cr", "formula nesting too deep"}, {"cr(1)", "wrong expression"}}},
      // The records of a failing argument of a text function are dropped.
      {"sq(f(1))", {{"sq", "parameter #1 gives error"}, {"sq(f(1))", "wrong expression"}}},
      // Once the limit's record is gone, later failures are reported in full.
      {"ifdef(f(1))+x", {{"x", "undefined variable"}, {"ifdef(f(1))+x", "wrong expression"}}},
      {"ifdef(f(1))+sq(1/0)",
       {{"sq", "parameter #1 gives error"}, {"ifdef(f(1))+sq(1/0)", "wrong expression"}}},
      {"ifthenelse(ifdef(g(1)),1,cat(1/0))",
       {{"1/0", "expression causes division by zero"},
        {"cat(1/0)", "wrong function call or invalid parameter"},
        {"cat(1/0)", "wrong expression"},
        {"ifthenelse(ifdef(g(1)),1,cat(1/0))", "wrong function call or invalid parameter"},
        {"ifthenelse(ifdef(g(1)),1,cat(1/0))", "wrong expression"}}},
      // Two runaways in one formula are reported once each; a second one
      // that starts while the first unwinds adds nothing.
      {"and(f(1),g(1))",
       {{"f", "formula nesting too deep"},
        {"g", "formula nesting too deep"},
        {"and(f(1),g(1))", "wrong function call or invalid parameter"},
        {"and(f(1),g(1))", "wrong expression"}}},
      {"h(1)", {{"f", "formula nesting too deep"}, {"h(1)", "wrong expression"}}},
      {deepx.c_str(),
       {{"...", "formula nesting too deep"},
        {deep.c_str(), "wrong function call or invalid parameter"},
        {deepx.c_str(), "wrong expression"}}},
  };
  return table;
}

// The records of a recursion case; an expected object "..." stands for the
// inner part of the formula at which the limit was hit (it depends on the
// stack that a level takes).
bool samereport(const char* formula, const std::vector<ErrRec>& got,
                const std::vector<ErrRec>& want) {
  if (got.size() != want.size()) return false;
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i].message != want[i].message) return false;
    if (want[i].object == "...") {
      if (got[i].object.empty() || std::string(formula).find(got[i].object) == std::string::npos)
        return false;
    } else if (got[i].object != want[i].object) {
      return false;
    }
  }
  return true;
}

TEST_F(Store, UnboundedRecursionEndsWithAShortReport) {
  definerecursions();
  for (const Recursion& r : recursions()) {
    SCOPED_TRACE(r.formula);
    EXPECT_EQ(Wert(r.formula), 1.0);
    std::vector<ErrRec> errors = takeerrors();
    EXPECT_TRUE(samereport(r.formula, errors, r.errors)) << ::testing::PrintToString(errors);
    // Nothing of the recursion is left over for the next formula.
    EXPECT_EQ(Wert("1/0+1"), 1.0);
    EXPECT_EQ(takeerrors().size(), 2u);
  }
  GetVar("a");
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"a", "formula nesting too deep"},
                                               {"a", "variable can't be evaluated"}}));
  // The store is usable afterwards, with the guard levels back at rest.
  SetVar("a", 2);
  EXPECT_EQ(Wert("a+1"), 3);
}

// An entry whose text runs at several nesting levels at once (it sees itself
// in the later arguments of a level-raising built-in) and deletes or
// redefines itself at the innermost level: the outer levels go on with the
// entry and the text they started with, which stay alive until the outermost
// level is done.
TEST_F(Store, EntryChangedWhileItsTextRunsAtSeveralLevels) {
  SetVar("n", 3);
  SetStrVar("x", "ifthenelse(gt(n,0),cat(n==n-1,x),cat(ergibt(x=),7))");
  EXPECT_EQ(Wert("x+1"), 8);
  EXPECT_FALSE(ifErr());
  EXPECT_EQ(GetVar("n"), 0);
  EXPECT_FALSE(dataerr_try([] { GetVar("x"); }));
  ClearErr();
  SetVar("n", 3);
  SetStrVar("y", "ifthenelse(gt(n,0),cat(n==n-1,y),cat(y=n+5,7))");
  EXPECT_EQ(Wert("y*2"), 14);
  EXPECT_FALSE(ifErr());
  EXPECT_EQ(GetVar("y"), 5);
  // A statement that follows texts (X===Y) runs the text it reached even when
  // that text redefines its own entry.
  SetStrVar("Y", "cat(Y=5,2)");
  EXPECT_EQ(ergibt("X===Y"), 1);
  EXPECT_FALSE(ifErr());
  EXPECT_EQ(GetVar("X"), 2);
  EXPECT_EQ(GetVar("Y"), 5);
}

std::atomic<int> workerfailures{0};

void recurseonworker(uint64_t) {
  for (const Recursion& r : recursions()) {
    double x = Wert(r.formula);  // no frame on this worker: no jump, the records stay
    std::vector<ErrRec> errors = takeerrors();
    if (x != 1.0 || !samereport(r.formula, errors, r.errors)) {
      ++workerfailures;
      std::printf("%.40s:", r.formula);
      for (const ErrRec& e : errors)
        std::printf(" (%.40s | %s)", e.object.c_str(), e.message.c_str());
      std::printf("\n");
    }
  }
}

TEST(StoreWorkers, UnboundedRecursionOnWorkerStacks) {
  ktest::RunResult r = ktest::run_in_child([] {
    nthreads = 4;
    totalfree();
    newDATAlist();
    setrekart(2);
    definerecursions();
    initDATAthreads();
    nspawn(recurseonworker, 1, 0);
    nwait();
    exitDATAthreads();
    std::printf("failures %d\n", workerfailures.load());
    std::fflush(stdout);
    std::_Exit(0);
  });
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "failures 0\n");
  EXPECT_EQ(r.err, "");  // a sanitizer's report, if any
}

// TryGetVar reads as GetVar inside dataerr_try does, without the jump: the
// same value, the same result and the same records pending, for a number, a
// formula, an undefined name, a formula that fails and one whose C function
// fails inside.
TEST_F(Store, TryGetVarIsGetVarInsideAFrame) {
  SetUserFkt("fails", 1, failingread);
  SetVar("n", 2.5);
  SetStrVar("f", "n*4");
  SetStrVar("bad", "1/0");
  SetStrVar("inner", "fails(1)+1");
  for (const char* name : {"n", "f", "nothere", "bad", "inner", "k_"}) {
    double viaframe = -7.0;
    const bool framed = dataerr_try([&] { viaframe = GetVar(name); });
    const std::vector<ErrRec> framederrors = takeerrors();
    double direct = -7.0;
    const bool read = TryGetVar(name, &direct);
    EXPECT_EQ(read, framed) << name;
    EXPECT_EQ(direct, viaframe) << name;
    EXPECT_EQ(takeerrors(), framederrors) << name;
  }
  ASSERT_EQ(ondataLevel(), 0);
  double v = 0.0;
  EXPECT_TRUE(TryGetVar("f", &v));
  EXPECT_EQ(v, 10.0);
}

}  // namespace

}  // namespace core
