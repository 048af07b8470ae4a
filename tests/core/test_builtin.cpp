// The built-in formula functions as one table: each formula with its value
// (or the exact list of error records it leaves, oldest first) and, where the
// built-in writes into the store, a check of what it left there. Every row
// starts from the same fresh store.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "data_testing.hpp"
#include "testsupport.hpp"

namespace core {

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Case {
  const char* formula;
  double value;                   // expected; NaN expects NaN
  std::vector<ErrRec> errors;     // expected records, oldest first
  double tol = 0.0;               // relative tolerance of the value; 0: exact
  std::function<void()> after{};  // checks of the store afterwards
};

// The records of a failing built-in call that is the whole formula: its own
// records, then the call's and the formula's.
std::vector<ErrRec> call(const char* formula, std::vector<ErrRec> inner) {
  inner.push_back({formula, "wrong function call or invalid parameter"});
  inner.push_back({formula, "wrong expression"});
  return inner;
}

// The records of an argument text that fails on an undefined name.
std::vector<ErrRec> undefined(const char* name) {
  return {{name, "undefined variable"}, {name, "wrong expression"}};
}

void setmatrix(const char* name, const std::vector<std::vector<double>>& m) {
  for (size_t i = 0; i < m.size(); ++i)
    for (size_t j = 0; j < m[i].size(); ++j) {
      int ij[] = {int(i) + 1, int(j) + 1};
      SetIndexVar(name, 2, ij, m[i][j]);
    }
}

void setvector(const char* name, const std::vector<double>& v) {
  for (size_t i = 0; i < v.size(); ++i) {
    int i1[] = {int(i) + 1};
    SetIndexVar(name, 1, i1, v[i]);
  }
}

// True when the entry (a name, possibly with indices) can be read.
bool has(const char* name) {
  ClearErr();
  GetVar(name);
  bool ok = !ifErr();
  ClearErr();
  return ok;
}

double value(const char* name) {
  ClearErr();
  double x = GetVar(name);
  EXPECT_FALSE(ifErr()) << name;
  ClearErr();
  return x;
}

std::string text(const char* name) {
  char buf[256];
  GetStrVar(name, 255, buf);
  return buf;
}

void fixture() {
  SetVar("a", 3);
  SetVar("b", 5);
  SetVar("i", 0);
  SetVar("s", 0);
  SetVar("t", 7);
  SetStrVar("nan", "&000000000000f87f");
  // Real systems: a 3 x 3 one with solution (2, 3, -1) that needs row
  // exchanges, and small ones for the pivot checks.
  setmatrix("G", {{2, 1, -1}, {-3, -1, 2}, {-2, 1, 2}});
  setvector("gb", {8, -11, -3});
  setmatrix("One", {{-2}});
  setvector("oneb", {4});
  setmatrix("Small", {{1e-12}});
  setmatrix("Zero", {{0, 1}, {0, 1}});
  setvector("zb", {1, 1});
  setmatrix("Sing", {{1, 2}, {2, 4}});
  setmatrix("Gap", {{1, 2}, {3}});
  int i11[] = {1, 1};
  SetIndexStrVar("Nan", 2, i11, "nan");
  // Complex system (1+i, 2; -1, 3i) x = b with solution (1-i, 2+i).
  setmatrix("Cre", {{1, 2}, {-1, 0}});
  setmatrix("Cim", {{1, 0}, {0, 3}});
  setvector("cbr", {6, -4});
  setvector("cbi", {2, 7});
  setmatrix("Ire", {{0}});
  setmatrix("Iim", {{1}});
  setvector("ibr", {1});
  setvector("ibi", {0});
  setmatrix("Zre", {{0, 1}, {0, 1}});
  setmatrix("Zim", {{0, 0}, {0, 0}});
  SetStrFkt("f", 1, "#1");
  // A lower scope under the one the formulas run in.
  newDATAlist();
}

const double kThird = 1.0 / 3.0;

std::vector<Case> cases() {
  return {
      // Mathematical functions and their domains.
      {"abs(-2)+sin(0)+cos(0)+tan(0)", 3, {}},
      {"exp(0)+log(1)", 1, {}},
      {"atan(1)*4", 3.141592653589793, {}},
      {"asin(1)*2", 3.141592653589793, {}},
      {"acos(-1)", 3.141592653589793, {}},
      {"sqrt(4)+sqr(-3)", 11, {}},
      {"floor(-2.5)", -3, {}},
      {"ceil(-2.5)", -2, {}},
      {"floor(4503599627370497)", 4503599627370497.0, {}},
      {"log(0)", 1, call("log(0)", {{"0", "wrong argument log"}})},
      {"log(nan)", 1, call("log(nan)", {{"nan", "wrong argument log"}})},
      {"sqrt(-1e-300)", 1, call("sqrt(-1e-300)", {{"-1e-300", "wrong argument sqrt"}})},
      {"sqrt(nan)", 1, call("sqrt(nan)", {{"nan", "wrong argument sqrt"}})},
      {"asin(1.0000001)", 1, call("asin(1.0000001)", {{"1.0000001", "wrong argument asin"}})},
      {"acos(-1.0000001)", 1, call("acos(-1.0000001)", {{"-1.0000001", "wrong argument acos"}})},
      {"acos(nan)", 1, call("acos(nan)", {{"nan", "wrong argument acos"}})},
      {"sin(x)", 1, call("sin(x)", undefined("x"))},
      // power
      {"power(-2,3)", -8, {}},
      {"power(0,0)", 1, {}},
      {"power(1e-320,0)", 1, {}},
      {"power(0,2)", 0, {}},
      {"power(2,0.5)", std::sqrt(2.0), {}},
      {"power(-8,1/3)", 1,
       call("power(-8,1/3)",
            {{"power( -8.000000000000000E+00,  3.333333333333333E-01)", "wrong arguments power"}})},
      {"power(0,-1)", 1,
       call("power(0,-1)",
            {{"power(  0.000000000000000E+00, -1.000000000000000E+00)", "wrong arguments power"}})},
      {"power(-2,nan)", 1,
       call("power(-2,nan)",
            {{"power( -2.000000000000000E+00,                    NAN)", "wrong arguments power"}})},
      // mod: the divisor first, the dividend only when the divisor is usable
      {"mod(-7,3)", -1, {}},
      {"mod(7.5,2)", 1.5, {}},
      {"mod(5,0)", 1, call("mod(5,0)", {{"0", "wrong second argument mod"}})},
      {"mod(1/0,1e-310)", 1, call("mod(1/0,1e-310)", {{"1e-310", "wrong second argument mod"}})},
      // max and min stop evaluating at the first failing argument
      {"max(1,3,2)", 3, {}},
      {"min(1,-3,2)", -3, {}},
      {"max(1,nan,2)", 2, {}},
      {"min(nan,2)", kNaN, {}},
      {"max(1,y,1/0)", 1, call("max(1,y,1/0)", undefined("y"))},
      // Truth: |x| > 2.22e-13; and tests the signed value; NaN is true for
      // and, false for or
      {"and(1,2)", 2, {}},
      {"and(1,-1)", 0, {}},
      {"and(1,2.3e-13)", 2.3e-13, {}},
      {"and(1,2.2e-13)", 0, {}},
      {"and(0,1/0)", 0, {}},
      {"and(1,nan)", kNaN, {}},
      {"or(0,1e-14)", 1e-14, {}},
      {"or(-1)", 1, {}},
      {"or(1,1/0)", 1, {}},
      {"or(nan)", kNaN, {}},
      {"or(nan,0)", 0, {}},
      {"not(1e-14)", 1, {}},
      {"not(-1)", 0, {}},
      {"not(nan)", 0, {}},
      // Comparisons: equal within (|p| + |q|) x 2.22e-16, tiny values equal,
      // a NaN pair holds; evaluation stops at the first failing pair
      {"eq(1,1+2e-16)", 1, {}},
      {"lt(1,1+2e-16)", 0, {}},
      {"le(1+2e-16,1)", 1, {}},
      {"gt(1+2e-16,1)", 0, {}},
      {"ge(1,1+2e-16)", 1, {}},
      {"eq(1,1+1e-15)", 0, {}},
      {"lt(1,1+1e-15)", 1, {}},
      {"eq(1,2,x)", 0, {}},
      {"lt(1,2,x)", 1, call("lt(1,2,x)", undefined("x"))},
      {"lt(1,2,3)", 1, {}},
      {"lt(1,3,2)", 0, {}},
      {"gt(3,2,1)", 1, {}},
      {"ge(2,2,1)", 1, {}},
      {"gt(2,2,1)", 0, {}},
      {"le(1,1)", 1, {}},
      {"eq(2,2,2)", 1, {}},
      {"eq(1e-320,-1e-320)", 1, {}},
      {"lt(0,1e-320)", 0, {}},
      {"le(1e-320,0)", 1, {}},
      {"eq(nan,1)", 1, {}},
      {"lt(nan,1)", 1, {}},
      {"gt(1,nan)", 1, {}},
      {"le(nan,1)", 1, {}},
      {"ge(1,nan)", 1, {}},
      {"ne(0,1e-320)", 0, {}},
      {"ne(1,1+2e-16)", 0, {}},
      {"ne(1,1.000001)", 1, {}},
      {"ne(nan,1)", 0, {}},
      {"ne(1,2,1)", 0, {}},
      {"ne(3,1,2)", 1, {}},
      {"ne(3,1,2,1+4e-16)", 0, {}},
      {"ne(0,1e-320,5)", 0, {}},
      {"ne(1,nan,2)", 0, {}},
      // Conditional and selection: the branches not taken are never evaluated
      {"ifthenelse(0,1/0,5)", 5, {}},
      {"ifthenelse(2.3e-13,4,1/0)", 4, {}},
      {"ifthenelse(nan,1,2)", 2, {}},
      {"select(1.5,10,20)", 10, {}},
      {"select(0.5,10,1/0)", 10, {}},
      {"select(1.51,10,20)", 20, {}},
      {"select(2,1/0,7)", 7, {}},
      {"select(2.5,10,20)", 20, {}},
      {"select(0.4,10,20)", 1, call("select(0.4,10,20)", {{"0.4", "selector has wrong value 0"}})},
      {"select(2.6,10,20)", 1, call("select(2.6,10,20)", {{"2.6", "selector has wrong value 3"}})},
      {"select(-7,10,20)", 1, call("select(-7,10,20)", {{"-7", "selector has wrong value -7"}})},
      // ifdef removes the records of a failing argument
      {"ifdef(q)", 0, {}},
      {"1+ifdef(a,q,1/0)", 1, {}},
      {"ifdef(a,b)", 1, {}},
      // ergibt runs one statement
      {"ergibt(z=a*2)", 1, {}, 0, [] { EXPECT_EQ(text("z"), "a*2"); }},
      {"ergibt(z==a*2)", 1, {}, 0, [] { EXPECT_EQ(value("z"), 6); }},
      {"ergibt(1+2)", 0, {}},
      // cat: statements write into the current scope, the last expression
      // gives the value
      {"cat(x=2,y=x*3,y+1)",
       7,
       {},
       0,
       [] {
         EXPECT_EQ(value("x"), 2);
         EXPECT_EQ(text("y"), "x*3");
       }},
      {"cat(r=2,3*r)", 6, {}},
      {"cat(1,2)", 2, {}},
      {"cat(v[2]==b,v[2]+1)", 6, {}, 0, [] { EXPECT_EQ(value("v[2]"), 5); }},
      {"cat(x=2)", 1,
       call("cat(x=2)", {{"", "cat contains no expression for defining it's return value"}}), 0,
       [] { EXPECT_EQ(value("x"), 2); }},
      {"cat(=5,1)", 1,
       call("cat(=5,1)", {{"=5", "Error while evaluating cat"},
                          {"", "cat contains no expression for defining it's return value"}})},
      {"cat(1/0,x=2)", 1, call("cat(1/0,x=2)", {{"1/0", "expression causes division by zero"}}), 0,
       [] { EXPECT_FALSE(has("x")); }},
      {"cat(g(1):#1*2,g(4))", 8, {}},
      // while: the number of passes; the counter advances with the
      // evaluating assignment
      {"while(lt(i,10),i==i+1)", 10, {}, 0, [] { EXPECT_EQ(value("i"), 10); }},
      {"while(0)", 0, {}},
      {"while(0,1/0)", 0, {}},
      {"while(nan,i==i+1)", 0, {}, 0, [] { EXPECT_EQ(value("i"), 0); }},
      {"while(lt(i,3),i==i+1,s==s+i)", 3, {}, 0, [] { EXPECT_EQ(value("s"), 6); }},
      {"while(lt(i,2),i==i+1,w=i,h(1):#1*i,u[i]==i*i,e==1,e=)",
       2,
       {},
       0,
       [] {
         EXPECT_EQ(text("w"), "i");
         EXPECT_EQ(Wert("h(5)"), 10);
         EXPECT_EQ(value("u[1]"), 1);
         EXPECT_EQ(value("u[2]"), 4);
         EXPECT_FALSE(has("e"));
       }},
      {"while(lt(i,5),i==i+1,1/0)", 1,
       call("while(lt(i,5),i==i+1,1/0)", {{"1/0", "expression causes division by zero"}}), 0,
       [] { EXPECT_EQ(value("i"), 1); }},
      {"while(lt(i,1),i==i+1,h(0):1)", 1,
       call("while(lt(i,1),i==i+1,h(0):1)", {{"h(0):1", "Error while evaluating while"}})},
      {"while(lt(i,1),i==i+1,h:1)", 1,
       call("while(lt(i,1),i==i+1,h:1)", {{"h:1", "Error while evaluating while"}})},
      {"while(lt(i,1),=3)", 1, call("while(lt(i,1),=3)", {{"=3", "Error while evaluating while"}})},
      {"while(q,1)", 1, call("while(q,1)", undefined("q"))},
      // gauss: real systems into an array, stored from x[n] down to x[1]
      {"gauss(G,x,gb,1e-10,3)",
       1,
       {},
       0,
       [] {
         EXPECT_NEAR(value("x[1]"), 2, 1e-14);
         EXPECT_NEAR(value("x[2]"), 3, 1e-14);
         EXPECT_NEAR(value("x[3]"), -1, 1e-14);
       }},
      {"gauss(One,x,oneb,1e-10,1)", 1, {}, 0, [] { EXPECT_EQ(value("x[1]"), -2); }},
      {"gauss(One,x,oneb,0,0.6)", 1, {}, 0, [] { EXPECT_EQ(value("x[1]"), -2); }},
      {"gauss(Small,x,oneb,1e-10,1)", 1,
       call("gauss(Small,x,oneb,1e-10,1)", {{"", "gauss: pivotelement less than epsilon"}}), 0,
       [] { EXPECT_FALSE(has("x[1]")); }},
      {"gauss(Zero,x,zb,0,2)", 1,
       call("gauss(Zero,x,zb,0,2)", {{"", "gauss: pivotelement less than epsilon"}}), 0,
       [] {
         EXPECT_FALSE(has("x[1]"));
         EXPECT_FALSE(has("x[2]"));
       }},
      {"gauss(Sing,x,zb,0,2)", 1,
       call("gauss(Sing,x,zb,0,2)", {{"", "gauss: pivotelement less than epsilon"}})},
      {"gauss(Nan,x,oneb,0,1)", 1,
       call("gauss(Nan,x,oneb,0,1)", {{"", "gauss: pivotelement less than epsilon"}})},
      {"gauss(G,x,gb,1e-10,0.4)", 1,
       call("gauss(G,x,gb,1e-10,0.4)", {{"0.4", "non-positive dimension in gauss"}})},
      {"gauss(G,x,gb,1e-10,nan)", 1,
       call("gauss(G,x,gb,1e-10,nan)", {{"nan", "non-positive dimension in gauss"}})},
      {"gauss(G,x,gb,-1e-300,3)", 1,
       call("gauss(G,x,gb,-1e-300,3)", {{"-1e-300", "non-positive epsilon in gauss"}})},
      {"gauss(Gap,x,zb,0,2)", 1,
       call("gauss(Gap,x,zb,0,2)", {{"Gap[2,2]", "undefined array element"}}), 0,
       [] { EXPECT_FALSE(has("x[1]")); }},
      // cgauss: the complex twin, real part first
      {"cgauss(Cre,Cim,xr,xi,cbr,cbi,1e-10,2)",
       1,
       {},
       0,
       [] {
         EXPECT_NEAR(value("xr[1]"), 1, 1e-14);
         EXPECT_NEAR(value("xi[1]"), -1, 1e-14);
         EXPECT_NEAR(value("xr[2]"), 2, 1e-14);
         EXPECT_NEAR(value("xi[2]"), 1, 1e-14);
       }},
      {"cgauss(Ire,Iim,xr,xi,ibr,ibi,0,1)",
       1,
       {},
       0,
       [] {
         EXPECT_EQ(value("xr[1]"), 0);
         EXPECT_EQ(value("xi[1]"), -1);
       }},
      {"cgauss(Zre,Zim,xr,xi,zb,zb,0,2)", 1,
       call("cgauss(Zre,Zim,xr,xi,zb,zb,0,2)", {{"", "cgauss: pivotelement less than epsilon"}}), 0,
       [] { EXPECT_FALSE(has("xr[2]")); }},
      {"cgauss(Ire,Iim,xr,xi,ibr,ibi,1.5,1)", 1,
       call("cgauss(Ire,Iim,xr,xi,ibr,ibi,1.5,1)",
            {{"", "cgauss: pivotelement less than epsilon"}})},
      {"cgauss(Ire,Iim,xr,xi,ibr,ibi,0,0)", 1,
       call("cgauss(Ire,Iim,xr,xi,ibr,ibi,0,0)", {{"0", "non-positive dimension in cgauss"}})},
      {"cgauss(Ire,Iim,xr,xi,ibr,ibi,-1,1)", 1,
       call("cgauss(Ire,Iim,xr,xi,ibr,ibi,-1,1)", {{"-1", "non-positive epsilon in cgauss"}})},
      {"cgauss(Ire,Cim,xr,xi,ibr,ibi,0,2)", 1,
       call("cgauss(Ire,Cim,xr,xi,ibr,ibi,0,2)", {{"Ire[1,2]", "undefined array element"}})},
      // integral: the variable shadows an outer one only inside the integral
      {"integral(sqr(t),t,0,1)", kThird, {}, 1e-13, [] { EXPECT_EQ(value("t"), 7); }},
      {"integral(sqr(k),k,0,1)", kThird, {}, 1e-13, [] { EXPECT_FALSE(has("k")); }},
      {"integral(1,t,2,2)", 0, {}},
      {"integral(t,t,1,0)", -0.5, {}, 1e-15},
      {"integral(t*a,t,0,1,1e-10,99)", 1.5, {}, 1e-15},
      {"integral(exp(t),t,0,1)", std::exp(1.0) - 1, {}, 1e-13},
      {"integral(2*v[2],v[2],0,1)", 1, {}, 1e-15, [] { EXPECT_FALSE(has("v[2]")); }},
      {"integral(integral(u*t,u,0,1),t,0,2)", 1, {}, 1e-14},
      {"integral(cat(k=t,k),t,0,1)", 0.5, {}, 1e-15, [] { EXPECT_FALSE(has("k")); }},
      {"integral(1/0,t,0,1)", 1,
       call("integral(1/0,t,0,1)", {{"1/0", "expression causes division by zero"}})},
      {"integral(t,t,q,1)", 1, call("integral(t,t,q,1)", undefined("q"))},
      {"integral(t,t,0,1,0)", 1,
       call("integral(t,t,0,1,0)", {{"0", "wrong tolerance in integral"}})},
      {"integral(t,t,0,1,-1e-10)", 1,
       call("integral(t,t,0,1,-1e-10)", {{"-1e-10", "wrong tolerance in integral"}})},
      {"integral(t,t,0,1,nan)", 1,
       call("integral(t,t,0,1,nan)", {{"nan", "wrong tolerance in integral"}})},
      {"integral(t,t,0,1,exp(1000))", 1,
       call("integral(t,t,0,1,exp(1000))", {{"exp(1000)", "wrong tolerance in integral"}})},
      {"integral(t,t,nan,1)", 1,
       call("integral(t,t,nan,1)", {{"nan", "wrong limits in integral"}})},
      {"integral(t,t,0,exp(1000))", 1,
       call("integral(t,t,0,exp(1000))", {{"exp(1000)", "wrong limits in integral"}})},
      {"integral(t,2t,0,1)", 1, call("integral(t,2t,0,1)", {{"2t", "wrong arg 2 to integral"}})},
      {"integral(t,t+1,0,1)", 1, call("integral(t,t+1,0,1)", {{"t+1", "wrong arg 2 to integral"}})},
      {"integral(t,,0,1)", 1, call("integral(t,,0,1)", {{"", "wrong arg 2 to integral"}})},
      {"integral(t,f(1),0,1)", 1,
       call("integral(t,f(1),0,1)", {{"f(1)", "function can't be arg 2 of integral"}})},
      {"integral(t,v(1],0,1)", 1,
       call("integral(t,v(1],0,1)",
            {{"v(1]", "wrong brackets"},
             {"v(1]", "array index of integral arg 2 can't be evaluated"}})},
      {"integral(t,v[3e9],0,1)", 1,
       call("integral(t,v[3e9],0,1)", {{"v[3e9]", "Arg 2 of integral: index no. 1 out of range"}})},
      // cintegral: modulus returned, phase in degrees stored, also after a
      // failure
      {"cintegral(p,1,90,t,0,1)", 1, {}, 1e-15, [] { EXPECT_NEAR(value("p"), 90, 1e-12); }},
      {"cintegral(p,t,180,t,0,1)", 0.5, {}, 1e-15, [] { EXPECT_NEAR(value("p"), 180, 1e-12); }},
      {"cintegral(p,2,-45,t,1,0)", 2, {}, 1e-15, [] { EXPECT_NEAR(value("p"), 135, 1e-12); }},
      {"cintegral(p,0,30,t,0,1)", 0, {}, 0, [] { EXPECT_EQ(value("p"), 0); }},
      {"cintegral(p,1,0,t+1,0,1)", 1,
       call("cintegral(p,1,0,t+1,0,1)", {{"t+1", "wrong arg 4 to cintegral"}}), 0,
       [] { EXPECT_EQ(value("p"), 0); }},
      {"cintegral(p,1,0,f(1),0,1)", 1,
       call("cintegral(p,1,0,f(1),0,1)", {{"f(1)", "function can't be arg 4 of cintegral"}})},
      {"cintegral(p,1,0,v[-3e9],0,1)", 1,
       call("cintegral(p,1,0,v[-3e9],0,1)",
            {{"v[-3e9]", "Arg 4 of integral: index no. 1 out of range"}})},
      {"cintegral(p,1,0,t,0,1,0)", 1,
       call("cintegral(p,1,0,t,0,1,0)", {{"0", "wrong tolerance in integral"}})},
      {"cintegral(p,1,q,t,0,1)", 1, call("cintegral(p,1,q,t,0,1)", undefined("q"))},
  };
}

void freshstore() {
  totalfree();
  newDATAlist();
  setrekart(2);
  fixture();
}

TEST_F(Store, BuiltinTable) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.formula);
    freshstore();
    int depth = DATAlistLevel();
    double x = Wert(c.formula);
    EXPECT_EQ(takeerrors(), c.errors);
    if (std::isnan(c.value))
      EXPECT_TRUE(std::isnan(x)) << x;
    else if (c.tol > 0)
      EXPECT_NEAR(x, c.value, c.tol * std::fabs(c.value)) << x;
    else
      EXPECT_EQ(x, c.value);
    // No built-in leaves a scope behind or takes one away.
    EXPECT_EQ(DATAlistLevel(), depth);
    if (c.after) c.after();
  }
}

// The built-ins that raise the guard level for their later arguments let a
// definition refer to itself there, and restore the level afterwards.
TEST_F(Store, LaterArgumentsSeeTheEntryBeingEvaluated) {
  SetVar("n", 4);
  SetStrVar("fac", "ifthenelse(gt(n,1),cat(n==n-1,(n+1)*fac),1)");
  EXPECT_EQ(Wert("fac"), 24);
  EXPECT_EQ(takeerrors(), std::vector<ErrRec>{});
  // After the call the guard holds again: the entry cannot see itself in its
  // first argument.
  SetStrVar("self", "max(self,1)");
  Wert("self");
  std::vector<ErrRec> e = takeerrors();
  ASSERT_FALSE(e.empty());
  EXPECT_EQ(e.front(), (ErrRec{"self", "undefined variable"}));
}

TEST_F(Store, IntegralCreatesAScopeWhenThereIsNone) {
  totalfree();
  setrekart(2);
  EXPECT_EQ(Wert("integral(t,t,0,2)"), 2);
  EXPECT_FALSE(ifErr());
  EXPECT_EQ(DATAlistLevel(), 1);
}

// Each abscissa costs one evaluation of the integrand's text: a polynomial of
// degree 7 is exact after the first step of the seven-point rule (13 calls).
int polycalls = 0;
double poly(const char*, const char* const* args, int) {
  ++polycalls;
  double x = Wert(args[0]);
  return std::pow(x, 7) - 3 * x * x;
}

TEST_F(Store, IntegralEvaluatesTheIntegrandOncePerAbscissa) {
  SetUserFkt("poly", 1, poly);
  polycalls = 0;
  EXPECT_NEAR(Wert("integral(poly(t),t,0,2)"), 256.0 / 8 - 8, 1e-13);
  EXPECT_FALSE(ifErr());
  EXPECT_EQ(polycalls, 13);
  // After the first failing abscissa the integrand is not evaluated again.
  polycalls = 0;
  SetVar("lim", 0.5);
  Wert("integral(sqrt(lim-t)*poly(t),t,0,1)");
  EXPECT_TRUE(ifErr());
  EXPECT_EQ(polycalls, 4);
}

TEST_F(Store, DebugPrintsEachArgumentWithItsValue) {
  ktest::RunResult r = ktest::run_in_child([] {
    totalfree();
    newDATAlist();
    SetVar("a", 3);
    double x = Wert("debug(a,1+1,-1e-300)");
    std::printf("value %g\n", x);
    x = Wert("debug(a/2,q,1)");
    std::printf("value %g\n", x);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "a=3.0000000000000000E+00\n1+1=2.0000000000000000E+00\n-1e-300=-1.0000000000000000E-"
            "300\nvalue 1\n"
            "a/2=1.5000000000000000E+00\nvalue 1\n");
}

// A dimension whose working copy the memory cannot hold ends the program with
// the message of exhausted memory, never with a short buffer.
TEST_F(Store, HugeLinearSystemEndsWithNotEnoughMemory) {
  ktest::TempInstall inst({"err.msg"});
  for (const char* f :
       {"gauss(A,x,b,0,1e5)", "gauss(A,x,b,0,3e9)", "cgauss(A,B,x,y,b,c,0,12000)"}) {
    SCOPED_TRACE(f);
    ktest::RunResult r = ktest::run_in_child([&] {
      std::snprintf(kalvo, sizeof kalvo, "%s", inst.path().c_str());
      totalfree();
      newDATAlist();
      Wert(f);
    });
    EXPECT_EQ(r.status, 44);
    EXPECT_EQ(r.out, "*** not enough memory\n");
  }
}

// Workers of the threaded phase run the built-ins at the same time, each on
// its own context: private integral scopes, loops and statements never meet.
TEST(BuiltinThreads, WorkersIntegrateAndLoopAtOnce) {
  ktest::RunResult r = ktest::run_in_child([] {
    nthreads = 8;
    totalfree();
    newDATAlist();
    setrekart(2);
    SetVar("scale", 2);
    SetStrFkt("sq", 1, "#1*#1");
    initDATAthreads();
    static std::atomic<int> bad{0};
    nspawn(
        [](uint64_t) {
          int i = threadid();
          dataerr_try([i] {
            SetVar("k", i + 1);
            for (int round = 0; round < 20; ++round) {
              double x = Wert("integral(scale*k*sq(t),t,0,1)");
              if (std::fabs(x - 2.0 * (i + 1) / 3.0) > 1e-13) ++bad;
              x = Wert("cintegral(p,k,90,t,0,2)");
              if (std::fabs(x - 2.0 * (i + 1)) > 1e-13 || std::fabs(GetVar("p") - 90) > 1e-12)
                ++bad;
              SetVar("m", 0);
              if (Wert("while(lt(m,k),m==m+1)") != i + 1 || GetVar("m") != i + 1) ++bad;
              if (Wert("cat(c==k*3,c+1)") != 3 * (i + 1) + 1) ++bad;
            }
          });
          if (ifErr()) ++bad;
        },
        1, 0);
    nwait();
    exitDATAthreads();
    ClearErr();
    GetVar("t");
    bool leaked = !ifErr();
    std::printf("bad %d leaked %d\n", bad.load(), leaked ? 1 : 0);
    std::fflush(stdout);
    std::_Exit(0);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "bad 0 leaked 0\n");
  EXPECT_EQ(r.err, "");  // a sanitizer's report, if any
}

}  // namespace

}  // namespace core
