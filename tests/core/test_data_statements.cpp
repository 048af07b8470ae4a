// Statements, the control-file format (restore, save, dump) and the item
// readers of data files.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/velmora.hpp"
#include "data_testing.hpp"
#include "testsupport.hpp"

namespace core {

namespace {

// A stream over a text (a temporary file, rewound).
FILE* streamof(const std::string& text) {
  FILE* f = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), f);
  std::rewind(f);
  return f;
}

std::string saved() {
  FILE* f = std::tmpfile();
  save(f);
  std::rewind(f);
  std::string s;
  for (int ch; (ch = std::getc(f)) != EOF;) s += static_cast<char>(ch);
  std::fclose(f);
  return s;
}

// The text of a key ("#" + number when it holds a number, "-" when missing).
std::string show(const char* name) {
  char buf[200];
  bool ok = dataerr_try([&] { GetStrVar(name, 199, buf); });
  ClearErr();
  return ok ? std::string(buf) : std::string("-");
}

TEST_F(Store, StatementTable) {
  SetVar("Y", 5);
  SetStrVar("T", "2*3");
  SetStrVar("U", "T");
  SetStrFkt("sq", 1, "#1*#1");
  SetStrVar("gone", "x");
  struct StatementCase {
    const char* statement;
    int result;
    const char* key;       // key to look at afterwards
    const char* expected;  // its text, a number as "%23.16E", or "-" when missing
    std::vector<ErrRec> errors;
  };
  const std::vector<StatementCase> table = {
      {"A=1+2", 1, "A", "1+2", {}},
      {"A==1+2", 1, "A", " 3.0000000000000000E+00", {}},
      {"A=", 1, "A", "-", {}},
      {"A", 0, "A", "-", {}},
      {"=5", 0, "A", "-", {}},
      {"2=3", 0, "A", "-", {}},
      {"B==Y", 1, "B", " 5.0000000000000000E+00", {}},
      {"B==T", 1, "B", "2*3", {}},
      {"B===U", 1, "B", "2*3", {}},
      {"B==U", 1, "B", "T", {}},
      {"B==Q", 1, "B", "Q", {}},
      {"B==sq(3)", 1, "B", " 9.0000000000000000E+00", {}},
      {"B==nofun(3)", 1, "B", "nofun(3)", {}},
      {"B==1/0", 1, "B", "1/0", {}},
      {"V[1,2]=x", 1, "V[1,2]", "x", {}},
      {"B==V[0.6,2]", 1, "B", "x", {}},
      {"TITEL=a b", 1, "TITEL", "a b", {}},
      {"V(1)=x", 1, "V", "-", {{"V(1)", "function can't be set by SetStrVar"}}},
      {"a(1]=3",
       1,
       "a(1]",
       "-",
       {{"a(1]=3", "wrong brackets"},
        {"a(1]", "wrong brackets"},
        {"a(1]", "function can't be set by SetStrVar"}}},
      {"gone=", 1, "gone", "-", {}},
  };
  for (const StatementCase& s : table) {
    SCOPED_TRACE(s.statement);
    int r = ergibt(s.statement);  // no frame: the records stay pending
    EXPECT_EQ(r, s.result);
    EXPECT_EQ(takeerrors(), s.errors);
    EXPECT_EQ(show(s.key), s.expected);
  }
  // Function statements: the count is a formula; an empty body deletes.
  EXPECT_EQ(ergibt("f(2):#1*#2"), 1);
  EXPECT_EQ(Wert("f(3,4)"), 12);
  EXPECT_EQ(ergibt("f((1+1)):#1+#2"), 1);
  EXPECT_EQ(Wert("f(3,4)"), 7);
  EXPECT_EQ(ergibt("f(2):"), 1);
  EXPECT_EQ(Wert("f(3,4)"), 1.0);
  ClearErr();
  EXPECT_EQ(ergibt("f(0):1"), 0);  // refused, its records dropped
  EXPECT_FALSE(ifErr());
  EXPECT_EQ(ergibt("f(x):1"), 0);
  EXPECT_FALSE(ifErr());
}

TEST_F(Store, SaveRestoreRoundTripIsByteIdentical) {
  const std::string golden =
      "%first comment\n"
      "X==1.0000000000000000E+00 \n"
      "Y==-2.5000000000000000E-01\n"
      "S==-1.2500000000000000E-300\n"
      "T=a b*formula\n"
      "E==\n"
      "%function comment\n"
      "f(2):#1*#2\n"
      "g(-1):#1\n"
      "V[1,2]==3.0000000000000000E+00 \n"
      "V[-1]=text\n"
      "N==&000000000000f87f\n"
      "I==&000000000000f07f\n"
      "M==&000000000000f0ff\n"
      "%last\n"
      "Z=\n";
  // Z= deletes nothing but carries the comment away: it is not saved.
  const std::string expect = golden.substr(0, golden.find("%last"));
  FILE* f = streamof(golden);
  restore(f);
  std::fclose(f);
  EXPECT_FALSE(ifErr());
  std::string once = saved();
  EXPECT_EQ(once, expect);
  DelAll();
  f = streamof(once);
  restore(f);
  std::fclose(f);
  EXPECT_EQ(saved(), once);
  // The values came back exactly, the empty text as the empty text.
  EXPECT_EQ(show("E"), "");
  EXPECT_TRUE(std::isnan(GetVar("N")));
  EXPECT_EQ(GetVar("I"), HUGE_VAL);
  EXPECT_EQ(GetVar("M"), -HUGE_VAL);
  EXPECT_EQ(GetVar("S"), -1.25e-300);
  EXPECT_EQ(Wert("f(2,3)"), 6);
}

// A control or configuration file written with CR LF line ends (on another
// system) is read exactly like the same file with LF line ends, by restore
// and by the item readers; a CR inside a line stays part of its text.
TEST_F(Store, CrLfLineEndsReadLikeLf) {
  const std::string lf =
      "%comment\nX==1.5\nT=a?!b\nV[1,2]==3\nf(2):#1*#2\nW=carriage\rreturn\n\nL=last";
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  auto restored = [&](const std::string& text) {
    DelAll();
    FILE* f = streamof(text);
    restore(f);
    std::fclose(f);
    EXPECT_FALSE(ifErr());
    return saved();
  };
  const std::string expected = restored(lf);
  EXPECT_EQ(restored(crlf), expected);
  EXPECT_EQ(show("W"), "carriage\rreturn");
  auto items = [&](const std::string& text) {
    DelAll();
    FILE* f = streamof(text);
    std::string all;
    for (int line = 0; line < 3; ++line) {
      GetData(f, "r");
      for (int k = 0; k < 4; ++k) all += show(("r[" + std::to_string(k) + "]").c_str()) + "|";
    }
    std::fclose(f);
    return all;
  };
  const std::string lines = "1 two\nthree (4,\n5)\n\n";
  std::string crlflines;
  for (char c : lines) crlflines += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(items(crlflines), items(lines));
  EXPECT_EQ(items(lines).substr(0, 26), "1|two|-|-|three|(4,5)|-|-|");
}

TEST_F(Store, SaveFormatsAndComments) {
  SetComment("one");
  SetComment("two");
  SetVar("A", 1);
  SetVar("B", -1);
  SetStrVar("A", "A?");  // keeps A's comment and position
  SetUserFkt("cf", 1, [](const char*, const char* const*, int) { return 1.0; });
  EXPECT_EQ(saved(), "%two\nA=A?\nB==-1.0000000000000000E+00\n");
  // dump writes every scope from the top down.
  newDATAlist();
  SetVar("C", 2);
  FILE* f = std::tmpfile();
  dump(f);
  std::rewind(f);
  std::string all;
  for (int ch; (ch = std::getc(f)) != EOF;) all += static_cast<char>(ch);
  std::fclose(f);
  EXPECT_EQ(all,
            "*** Level starts\nC==2.0000000000000000E+00 \n"
            "*** Level starts\n%two\nA=A?\nB==-1.0000000000000000E+00\n");
}

TEST_F(Store, RestoreStopsAtTheFirstBadLine) {
  FILE* f = streamof("A=1\n%c\nnot a statement\nC=3\n");
  EXPECT_FALSE(dataerr_try([&] { restore(f); }));
  std::fclose(f);
  EXPECT_EQ(
      takeerrors(),
      (std::vector<ErrRec>{{"not a statement", "wrong data element in restored file at line 3"}}));
  EXPECT_EQ(show("A"), "1");
  EXPECT_EQ(show("C"), "-");
  // A failing statement keeps its own records below the line's.
  f = streamof("A=1\nB[1=2\n");
  EXPECT_FALSE(dataerr_try([&] { restore(f); }));
  std::fclose(f);
  EXPECT_EQ(takeerrors(),
            (std::vector<ErrRec>{{"B[1=2", "wrong brackets"},
                                 {"B[1=2", "wrong data element in restored file at line 2"}}));
}

TEST_F(Store, ItemReaders) {
  // GetData over the input text: statements run, only "=" items give numbers.
  int i4[] = {4};
  SetIndexVar("name", 1, i4, 1);
  SetStrInput("X=3 1.5 =X =2*X abc");
  GetData(nullptr, "name");
  EXPECT_FALSE(ifErr());
  EXPECT_EQ(show("X"), "3");
  EXPECT_EQ(show("name[0]"), "1.5");
  EXPECT_EQ(show("name[1]"), "3");
  EXPECT_EQ(show("name[2]"), " 6.0000000000000000E+00");
  EXPECT_EQ(show("name[3]"), "abc");
  EXPECT_EQ(show("name[4]"), "-");
  // Only an empty item ends a line: "=" stands for the empty text, and the
  // items behind it belong to the same line.
  SetStrInput("1 = 2");
  GetData(nullptr, "e");
  EXPECT_FALSE(ifErr());
  EXPECT_EQ(show("e[0]"), "1");
  EXPECT_EQ(show("e[1]"), "");
  EXPECT_EQ(show("e[2]"), "2");
  EXPECT_EQ(show("e[3]"), "-");
  // A value text longer than 8000 characters is refused as GetList refuses it.
  std::string longitem(8001, 'a');
  SetStrInput(("1 " + longitem + " 3").c_str());
  EXPECT_FALSE(dataerr_try([] { GetData(nullptr, "l"); }));
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"GetList", "insufficient string length"}}));
  EXPECT_EQ(show("l[0]"), "1");
  EXPECT_EQ(show("l[1]"), "-");
  // GetData reads exactly one line of a stream; brackets continue a line.
  FILE* f = streamof("p=2 (1,\n2) =p*3\nnext line\n\n");
  GetData(f, "r");
  EXPECT_EQ(show("r[0]"), "(1,2)");
  EXPECT_EQ(show("r[1]"), " 6.0000000000000000E+00");
  EXPECT_EQ(show("r[2]"), "-");
  GetData(f, "r");
  EXPECT_EQ(show("r[0]"), "next");
  EXPECT_EQ(show("r[1]"), "line");
  GetData(f, "r");  // the empty line
  EXPECT_EQ(show("r[0]"), "-");
  std::fclose(f);
  // GetItem stops at a line end until the line feed is consumed.
  f = streamof("a\nb");
  char buf[16];
  GetItem(f, 15, buf);
  EXPECT_STREQ(buf, "a");
  GetItem(f, 15, buf);
  EXPECT_STREQ(buf, "");
  GetItem(f, 15, buf);
  EXPECT_STREQ(buf, "");
  std::fclose(f);
  f = streamof("abcd ef");
  EXPECT_FALSE(dataerr_try([&] { GetItem(f, 3, buf); }));
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"GetItem", "insufficient string length"}}));
  GetItem(f, 3, buf);
  EXPECT_STREQ(buf, "ef");
  std::fclose(f);
  // GetList: statements between value items take effect while reading.
  char val[40];
  SetStrInput("x=2 =x*3 tail =x long-text");
  GetList(nullptr, 30, val);
  EXPECT_STREQ(val, " 6.0000000000000000E+00");
  GetList(nullptr, 30, val);
  EXPECT_STREQ(val, "tail");
  GetList(nullptr, 30, val);
  EXPECT_STREQ(val, "2");
  EXPECT_FALSE(dataerr_try([&] { GetList(nullptr, 5, val); }));
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"GetList", "insufficient string length"}}));
  GetList(nullptr, 30, val);
  EXPECT_STREQ(val, "");
  SetStrInput("=1");
  EXPECT_FALSE(dataerr_try([&] { GetList(nullptr, 22, val); }));
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"GetItem", "insufficient string length"}}));
  SetStrInput(nullptr);
  ktest::RunResult r = ktest::run_in_child([] {
    newDATAlist();
    char b[4];
    GetItem(nullptr, 3, b);
  });
  EXPECT_EQ(r.status, 250);
  EXPECT_EQ(r.out, "*** internal error labeled data-string-NULL in file obj/data, line 3153\n");
}

TEST_F(Store, QuotingOfBlanks) {
  std::string q = unwhite("a b?c  d");
  EXPECT_EQ(q, "a?!b??c?!?!d");
  char buf[32];
  std::strcpy(buf, q.c_str());
  white(buf);
  EXPECT_STREQ(buf, "a b?c  d");
  ktest::TempInstall inst({"err.msg"});
  ktest::RunResult r = ktest::run_in_child([&] {
    std::snprintf(kalvo, sizeof kalvo, "%s", inst.path().c_str());
    char t[] = "a?x";
    white(t);
  });
  EXPECT_EQ(r.status, 66);
  EXPECT_EQ(r.out, "*** an item holds \"?\" followed by neither \"!\" nor \"?\": a?x\n");
}

}  // namespace

}  // namespace core
