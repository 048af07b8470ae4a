// The formula language and the store's accessors, as one table of cases:
// each formula (or accessor call) with its value, or with the exact list of
// error records it leaves (oldest first, duplicates included).
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "data_testing.hpp"

namespace core {

namespace {

struct Case {
  const char* what;             // shown on failure
  std::function<double()> run;  // the call; its value
  double value;                 // expected value (ignored when NaN)
  std::vector<ErrRec> errors;   // expected records, oldest first
};

double W(const char* f) { return Wert(f); }

// Entries every case can see: a lower scope with numbers, elements and
// functions, and a top scope over it.
void fixture() {
  SetVar("a", 3);
  SetVar("b", 5);
  int i0[] = {0}, i3[] = {3}, i12[] = {1, 2};
  SetIndexVar("v", 1, i0, 10);
  SetIndexVar("v", 1, i3, 30);
  SetIndexVar("m", 2, i12, 12);
  SetStrVar("bad", "1/0");
  SetStrVar("txt", "hello world");
  SetStrFkt("sq", 1, "#1*#1");
  SetStrFkt("g", -2, "#3");
  SetStrFkt("h", 2, "#2-#1");
  SetStrFkt("p", 1, "#x");
  SetStrFkt("q", 1, "#0");
  SetStrFkt("qv", -1, "#1+#00");
  SetStrFkt("r", 1, "#2");
  SetStrFkt("big", 1, "#2147483648");
  newDATAlist();
  SetStrVar("a", "a*2");
  SetStrVar("c", "b+1");
  SetStrVar("nan", "&000000000000f87f");
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<Case> cases() {
  return {
      // operators and priorities
      {"8/4/2", [] { return W("8/4/2"); }, 1, {}},
      {"2*-3", [] { return W("2*-3"); }, -6, {}},
      {"-2*3", [] { return W("-2*3"); }, -6, {}},
      {"2--3", [] { return W("2--3"); }, 5, {}},
      {"+-+2", [] { return W("+-+2"); }, -2, {}},
      {"-(1+2)*2", [] { return W("-(1+2)*2"); }, -6, {}},
      {"1+2*3-4/2", [] { return W("1+2*3-4/2"); }, 5, {}},
      {"-2*-(3+1)", [] { return W("-2*-(3+1)"); }, 8, {}},
      {"((2))*((3)+1)", [] { return W("((2))*((3)+1)"); }, 8, {}},
      // blanks
      {"blank before operator", [] { return W("2 +3"); }, 5, {}},
      {"blank before )", [] { return W("(2+3 ) "); }, 5, {}},
      {"blank after +",
       [] { return W("2+ 3"); },
       1,
       {{" ", "expression contains wrong character"}, {"2+ 3", "wrong expression"}}},
      // division and brackets
      {"1/0", [] { return W("1/0"); }, 1, {{"1/0", "expression causes division by zero"}}},
      {"1/0+2",
       [] { return W("1/0+2"); },
       1,
       {{"1/0+2", "expression causes division by zero"}, {"1/0+2", "wrong expression"}}},
      {"1/(1-1)",
       [] { return W("1/(1-1)"); },
       1,
       {{"1/(1-1)", "expression causes division by zero"}}},
      {"(1+2", [] { return W("(1+2"); }, 1, {{"(1+2", "wrong expression"}}},
      {"1+2)", [] { return W("1+2)"); }, 1, {{"1+2)", "wrong expression"}}},
      {"2(3)",
       [] { return W("2(3)"); },
       1,
       {{"2(3)", "wrong expression"}, {"2(3)", "wrong expression"}}},
      {"2 3",
       [] { return W("2 3"); },
       1,
       {{"2 3", "wrong expression"}, {"2 3", "wrong expression"}}},
      {"empty",
       [] { return W(""); },
       1,
       {{"", "empty string should be computed"},
        {"", "expression contains wrong character"},
        {"", "wrong expression"}}},
      {"1+",
       [] { return W("1+"); },
       1,
       {{"", "expression contains wrong character"}, {"1+", "wrong expression"}}},
      // numbers
      {".5",
       [] { return W(".5"); },
       1,
       {{".", "expression contains wrong character"}, {".5", "wrong expression"}}},
      {"0.5", [] { return W("0.5"); }, 0.5, {}},
      {"5e-1", [] { return W("5e-1"); }, 0.5, {}},
      {"hex literal 0.5", [] { return W("&000000000000e03f"); }, 0.5, {}},
      {"hex literal 1.0", [] { return W("&000000000000f03f"); }, 1.0, {}},
      {"0x1A", [] { return W("0x1A"); }, 26, {}},
      {"1.5E3", [] { return W("1.5E3*2"); }, 3000, {}},
      {"short hex literal",
       [] { return W("&00+1"); },
       1,
       {{"&00", "Expression contains wrong content"}, {"&00+1", "wrong expression"}}},
      {"upper-case hex digit",
       [] { return W("&000000000000F03f"); },
       1,
       {{"&000000000000", "Expression contains wrong content"},
        {"&000000000000F03f", "wrong expression"}}},
      // variables and the recursion guard
      {"undefined x",
       [] { return W("x+1"); },
       1,
       {{"x", "undefined variable"}, {"x+1", "wrong expression"}}},
      {"a as a*2 over a=3", [] { return W("a"); }, 6, {}},
      {"c as b+1", [] { return W("c*2"); }, 12, {}},
      {"variable whose text fails",
       [] { return W("bad+1"); },
       1,
       {{"1/0", "expression causes division by zero"},
        {"bad", "variable can't be evaluated"},
        {"bad+1", "wrong expression"}}},
      // array elements
      {"v[2.5] reads v[3]", [] { return W("v[2.5]"); }, 30, {}},
      {"v[-0.5] reads v[0]", [] { return W("v[-0.5]"); }, 10, {}},
      {"v[1+2]", [] { return W("v[1+2]"); }, 30, {}},
      {"m[1,2]", [] { return W("m[1,2]"); }, 12, {}},
      {"v[3e9]",
       [] { return W("v[3e9]"); },
       1,
       {{"v[3e9]", "Index no. 1 out of range"}, {"v[3e9]", "wrong expression"}}},
      {"NaN index",
       [] { return W("m[1,nan]"); },
       1,
       {{"m[1,nan]", "Index no. 2 out of range"}, {"m[1,nan]", "wrong expression"}}},
      {"missing element",
       [] { return W("v[7]"); },
       1,
       {{"v[7]", "array element undefined"}, {"v[7]", "wrong expression"}}},
      {"unclosed bracket",
       [] { return W("v[1"); },
       1,
       {{"v[1", "wrong brackets"},
        {"v[1]", "array element undefined"},
        {"v[1", "wrong expression"}}},
      {"mismatched brackets",
       [] { return W("sin(0]"); },
       1,
       {{"sin(0]", "wrong brackets"}, {"sin(0]", "wrong expression"}}},
      // the error operand
      {"[a,b]", [] { return W("[a,b]"); }, 1, {{"b", "parameter a gives error"}}},
      {"[a]",
       [] { return W("[a]"); },
       1,
       {{"[", "expression contains wrong character"}, {"[a]", "wrong expression"}}},
      // functions
      {"sqrt(4)+1", [] { return W("sqrt(4)+1"); }, 3, {}},
      {"sin(0)+cos(0)", [] { return W("sin(0)+cos(0)"); }, 1, {}},
      {"sin(1,2)",
       [] { return W("sin(1,2)"); },
       1,
       {{"sin(1,2)", "wrong function call or invalid parameter"},
        {"sin(1,2)", "wrong expression"}}},
      {"sin() gets one empty argument",
       [] { return W("sin()"); },
       1,
       {{"", "empty string should be computed"},
        {"", "expression contains wrong character"},
        {"", "wrong expression"},
        {"sin()", "wrong function call or invalid parameter"},
        {"sin()", "wrong expression"}}},
      {"sqrt(-1)",
       [] { return W("sqrt(-1)"); },
       1,
       {{"-1", "wrong argument sqrt"},
        {"sqrt(-1)", "wrong function call or invalid parameter"},
        {"sqrt(-1)", "wrong expression"}}},
      {"unknown function",
       [] { return W("nofun(1)"); },
       1,
       {{"nofun(1)", "wrong function call or invalid parameter"},
        {"nofun(1)", "wrong expression"}}},
      {"sq(2+1)", [] { return W("sq(2+1)"); }, 9, {}},
      {"h(1,5) order of arguments", [] { return W("h(1,5)"); }, 4, {}},
      {"text function, failing argument",
       [] { return W("sq(x)"); },
       1,
       {{"sq", "parameter #1 gives error"}, {"sq(x)", "wrong expression"}}},
      {"g(1,2) with body #3",
       [] { return W("g(1,2)"); },
       1,
       {{"g", "parameter #3 gives error"}, {"g(1,2)", "wrong expression"}}},
      {"g(1,2,7) with body #3", [] { return W("g(1,2,7)"); }, 7, {}},
      {"# without a digit",
       [] { return W("p(1)"); },
       1,
       {{"p(1)", "error in user funktion"}, {"p(1)", "wrong expression"}}},
      {"#0",
       [] { return W("q(1)"); },
       1,
       {{"#0", "wrong parameter number"},
        {"q(1)", "error in user funktion"},
        {"q(1)", "wrong expression"}}},
      // No argument 0 either where the count is a lower bound, after an
      // argument already taken.
      {"#00 of an at-least-one-argument function",
       [] { return W("qv(1,2)"); },
       1,
       {{"#00", "wrong parameter number"},
        {"qv(1,2)", "error in user funktion"},
        {"qv(1,2)", "wrong expression"}}},
      {"#2 of a one-argument function",
       [] { return W("r(1)"); },
       1,
       {{"#2", "wrong parameter number"},
        {"r(1)", "error in user funktion"},
        {"r(1)", "wrong expression"}}},
      {"#2147483648",
       [] { return W("big(1)"); },
       1,
       {{"#2147483648", "wrong parameter number"},
        {"big(1)", "error in user funktion"},
        {"big(1)", "wrong expression"}}},
      // accessors
      {"GetVar empty name",
       [] { return GetVar(""); },
       1,
       {{"", "empty variable name"}, {"", "wrong variable name"}, {"", "undefined variable"}}},
      {"GetVar trailing characters",
       [] { return GetVar("b+1"); },
       1,
       {{"b+1", "wrong variable name"}}},
      {"GetVar element", [] { return GetVar("v[2.5]"); }, 30, {}},
      {"GetVar failing index",
       [] { return GetVar("v[x]"); },
       1,
       {{"x", "undefined variable"},
        {"x", "wrong expression"},
        {"v[x]", "array index can't be evaluated"}}},
      {"GetVar index out of range",
       [] { return GetVar("m[1,-3e9]"); },
       1,
       {{"m[1,-3e9]", "Index no. 2 out of range"}}},
      {"GetVar function call",
       [] { return GetVar("sq(2)"); },
       1,
       {{"sq(2)", "function call can't be evaluated by GetVar"}}},
      {"GetVar undefined", [] { return GetVar("nope"); }, 1, {{"nope", "undefined variable"}}},
      {"GetVar undefined element",
       [] { return GetVar("v[7]"); },
       1,
       {{"v[7]", "undefined variable"}}},
      {"GetVar failing text",
       [] { return GetVar("bad"); },
       1,
       {{"1/0", "expression causes division by zero"}, {"bad", "variable can't be evaluated"}}},
      {"GetIntVar 2.5", [] { return double(GetIntVar("x25")); }, 3, {}},
      {"GetIntVar -2.5", [] { return double(GetIntVar("xm25")); }, -2, {}},
      {"GetIntVar NaN",
       [] { return double(GetIntVar("nan")); },
       1,
       {{"nan", "out of integer range"}}},
      {"GetIntVar 1e19",
       [] { return double(GetIntVar("huge")); },
       1,
       {{"huge", "out of integer range"}}},
      {"GetIndexIntVar NaN",
       [] {
         int i[] = {9};
         return double(GetIndexIntVar("w", 1, i));
       },
       1,
       {{"w", "out of integer range"}}},
      {"GetIndexVar missing A[1,2]",
       [] {
         int i[] = {1, 2};
         return GetIndexVar("A", 2, i);
       },
       1,
       {{"A[1,2]", "undefined array element"}}},
      {"GetIndexVar no index",
       [] { return GetIndexVar("A", 0, nullptr); },
       1,
       {{"A", "empty array index"}}},
      {"GetIndexVar empty name",
       [] {
         int i[] = {1};
         return GetIndexVar("", 1, i);
       },
       1,
       {{"", "empty variable name"}}},
      {"GetIndexVar failing text",
       [] {
         int i[] = {1};
         return GetIndexVar("w", 1, i);
       },
       1,
       {{"zz", "undefined variable"},
        {"zz", "wrong expression"},
        {"w[1]", "array element can't be evaluated"}}},
      {"SetVar trailing characters writes nothing",
       [] {
         SetVar("k+1", 1);
         return 0.0;
       },
       0,
       {{"k+1", "wrong variable name"}}},
      {"SetVar function",
       [] {
         SetVar("f(1)", 1);
         return 0.0;
       },
       0,
       {{"f(1)", "function can't be set by SetVar"}}},
      {"SetVar invalid name",
       [] {
         SetVar("1k", 1);
         return 0.0;
       },
       0,
       {{"1k", "wrong variable name"}}},
      {"SetStrVar function",
       [] {
         SetStrVar("V(1)", "x");
         return 0.0;
       },
       0,
       {{"V(1)", "function can't be set by SetStrVar"}}},
      {"SetStrVar empty name",
       [] {
         SetStrVar("", "x");
         return 0.0;
       },
       0,
       {{"", "empty variable name"}}},
      {"SetIndexVar no index",
       [] {
         SetIndexVar("k", 0, nullptr, 1);
         return 0.0;
       },
       0,
       {{"k", "empty array index"}}},
      {"SetIndexStrVar no index",
       [] {
         SetIndexStrVar("k", 0, nullptr, "x");
         return 0.0;
       },
       0,
       {{"k", "empty array index"}}},
      {"DelVar function",
       [] {
         DelVar("f(1)");
         return 0.0;
       },
       0,
       {{"f(1)", "function can't be deleted by DelVar"}}},
      {"DelVar invalid name",
       [] {
         DelVar("1k");
         return 0.0;
       },
       0,
       {{"1k", "wrong variable name in DelVar"}}},
      {"DelVar trailing",
       [] {
         DelVar("k*2");
         return 0.0;
       },
       0,
       {{"k*2", "wrong variable name"}}},
      {"DelIndexVar no index",
       [] {
         DelIndexVar("k", 0, nullptr);
         return 0.0;
       },
       0,
       {{"k", "empty array index"}}},
      {"DelIndexVar invalid name",
       [] {
         int i[] = {1};
         DelIndexVar("k_", 1, i);
         return 0.0;
       },
       0,
       {{"k_", "wrong variable name in function DelIndexVar"}}},
      {"SetStrFkt empty name",
       [] {
         SetStrFkt("", 1, "1");
         return 0.0;
       },
       0,
       {{"", "user funktion with empty name can't be defined"}}},
      {"SetStrFkt zero count",
       [] {
         SetStrFkt("f", 0, "1");
         return 0.0;
       },
       0,
       {{"f", "user function with void parameters can't be defined"}}},
      {"SetStrFkt invalid name",
       [] {
         SetStrFkt("f.g", 1, "1");
         return 0.0;
       },
       0,
       {{"f.g", "wrong variable name"}}},
      {"SetUserFkt empty name",
       [] {
         SetUserFkt("", 1, nullptr);
         return 0.0;
       },
       0,
       {{"", "C-funktion with empty name can't be defined"}}},
      {"SetUserFkt zero count",
       [] {
         SetUserFkt("f", 0, nullptr);
         return 0.0;
       },
       0,
       {{"f", "C-funktion with void parameters can't be defined"}}},
      {"DelFkt empty name",
       [] {
         DelFkt("", 1);
         return 0.0;
       },
       0,
       {{"", "function with empty name can't be deleted"}}},
      {"DelFkt zero count",
       [] {
         DelFkt("f", 0);
         return 0.0;
       },
       0,
       {{"f", "function with void parameters can't be deleted"}}},
      {"DelFkt absent",
       [] {
         DelFkt("nothere", 2);
         return 0.0;
       },
       0,
       {}},
  };
}

TEST_F(Store, FormulaAndAccessorTable) {
  fixture();
  SetVar("x25", 2.5);
  SetVar("xm25", -2.5);
  SetVar("huge", 1e19);
  int i9[] = {9}, i1[] = {1};
  SetIndexVar("w", 1, i9, kNaN);
  SetIndexStrVar("w", 1, i1, "zz");
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.what);
    ClearErr();
    double x = c.run();
    std::vector<ErrRec> errs = takeerrors();
    EXPECT_EQ(errs, c.errors);
    if (!std::isnan(c.value)) {
      EXPECT_EQ(x, c.value);
    }
  }
  GetStrVar("k", 10, nullptr);
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"k", "undefined variable"}}));
}

// Lookup modes: 0 reads the top scope only, 1 lets formulas see the whole
// chain, 2 lets every read see it.
TEST_F(Store, LookupModes) {
  SetVar("a", 3);
  SetVar("b", 5);
  newDATAlist();
  SetStrVar("a", "a*2");
  SetStrVar("c", "b+1");
  struct ModeCase {
    int mode;
    const char* name;
    double value;
    std::vector<ErrRec> errors;
  };
  const std::vector<ModeCase> table = {
      {0,
       "a",
       1,
       {{"a", "undefined variable"},
        {"a*2", "wrong expression"},
        {"a", "variable can't be evaluated"}}},
      {0, "b", 1, {{"b", "undefined variable"}}},
      {0,
       "c",
       1,
       {{"b", "undefined variable"},
        {"b+1", "wrong expression"},
        {"c", "variable can't be evaluated"}}},
      {1, "a", 6, {}},
      {1, "b", 1, {{"b", "undefined variable"}}},
      {1, "c", 6, {}},
      {2, "a", 6, {}},
      {2, "b", 5, {}},
      {2, "c", 6, {}},
  };
  for (const ModeCase& m : table) {
    SCOPED_TRACE(std::to_string(m.mode) + " " + m.name);
    setrekart(m.mode);
    double x = GetVar(m.name);
    EXPECT_EQ(takeerrors(), m.errors);
    EXPECT_EQ(x, m.value);
  }
  // Without an outer a, a's own name inside its text is undefined.
  setrekart(2);
  SetStrVar("d", "d+1");
  EXPECT_EQ(GetVar("d"), 1.0);
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"d", "undefined variable"},
                                               {"d+1", "wrong expression"},
                                               {"d", "variable can't be evaluated"}}));
}

// Texts for callers' buffers: a number is written "%23.16E" only when its
// real length fits; nothing is ever written past maxlen + 1 bytes.
TEST_F(Store, TextReadsIntoBuffers) {
  SetVar("one", 1.0);
  SetVar("tiny", -1e-100);
  SetStrVar("t", "abc");
  struct BufCase {
    const char* name;
    int maxlen;
    const char* text;  // null: "insufficient string length"
  };
  const std::vector<BufCase> table = {
      {"one", 23, " 1.0000000000000000E+00"},   {"one", 22, nullptr}, {"tiny", 23, nullptr},
      {"tiny", 24, "-1.0000000000000000E-100"}, {"t", 3, "abc"},      {"t", 2, nullptr},
  };
  for (const BufCase& b : table) {
    SCOPED_TRACE(std::string(b.name) + " " + std::to_string(b.maxlen));
    char buf[64];
    std::memset(buf, '#', sizeof buf);
    GetStrVar(b.name, b.maxlen, buf);
    std::vector<ErrRec> errs = takeerrors();
    if (b.text) {
      EXPECT_TRUE(errs.empty());
      EXPECT_STREQ(buf, b.text);
    } else {
      EXPECT_EQ(errs, (std::vector<ErrRec>{{b.name, "insufficient string length"}}));
      EXPECT_EQ(buf[0], 0);
    }
    for (int i = b.maxlen + 1; i < 64; ++i)
      ASSERT_EQ(buf[i], '#') << "written past the buffer at " << i;
  }
  char buf[8];
  GetStrVar("nope", 7, buf);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"nope", "undefined variable"}}));
  GetStrVar("t+", 7, buf);
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"t+", "ungueltiger Variablenname"}}));
  int i2[] = {2};
  SetIndexVar("e", 1, i2, 2.0);
  GetIndexStrVar("e", 1, i2, 23, nullptr);
  EXPECT_TRUE(takeerrors().empty());
  char big[32];
  GetIndexStrVar("e", 1, i2, 23, big);
  EXPECT_STREQ(big, " 2.0000000000000000E+00");
  int i3[] = {3};
  GetIndexStrVar("e", 1, i3, 23, big);
  EXPECT_EQ(big[0], 0);
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"e[3]", "undefined array element"}}));
}

// Arguments of text functions pass as exact bit patterns.
TEST_F(Store, TextFunctionArgumentsKeepEveryBit) {
  SetStrFkt("id", 1, "#1");
  const double values[] = {0.1, -1.0 / 3.0, 1e-310, 1.7976931348623157e308, -0.0};
  for (double x : values) {
    SetVar("x", x);
    double y = Wert("id(x)");
    EXPECT_EQ(std::memcmp(&x, &y, sizeof x), 0) << x;
  }
}

// Names of different lengths share a hash bucket when their character sums
// agree ("zzzS" and "A00000000" both sum to 449): telling them apart must
// not read past the shorter stored name.
TEST_F(Store, NamesSharingABucket) {
  SetVar("zzzS", 1);
  EXPECT_EQ(Wert("A00000000"), 1.0);
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"A00000000", "undefined variable"},
                                               {"A00000000", "wrong expression"}}));
  SetVar("A00000000", 2);
  SetStrFkt("zzzS", 1, "#1");
  EXPECT_EQ(Wert("A00000000+zzzS"), 3);
  EXPECT_EQ(Wert("zzzS(5)"), 5);
  DelVar("A00000000");
  EXPECT_EQ(Wert("zzzS"), 1);
}

}  // namespace

}  // namespace core
