// Scopes of the store (commit in place, serials, deletion, detach and
// re-attach), the error stack with its floor, and the jump frames.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/nspawn.hpp"
#include "data_testing.hpp"
#include "testsupport.hpp"

namespace core {

namespace {

// The entry of a scope with that scalar name, or null.
const DataVar* entry(const DATAlist* s, const char* name) {
  for (int b = 0; b < DATA_BUCKETS; ++b)
    for (const DataVar* v = s->bucket[b]; v != nullptr; v = v->next)
      if (v->idx == nullptr && v->nidx == 0 && std::strcmp(v->name, name) == 0) return v;
  return nullptr;
}

// Looks at the top scope: detaches it, runs fn on it, attaches it again.
template <class F>
void inspecttop(F&& fn) {
  DATAlist* s = pushDATAlist();
  ASSERT_NE(s, nullptr);
  fn(s);
  popDATAlist(s);
}

TEST_F(Store, CommitReplacesInPlaceAndAppendsNewKeysInBucketOrder) {
  SetVar("X", 1);
  SetVar("Y", 2);
  SetStrVar("Q", "old");
  EXPECT_EQ(newDATAlist(), 2);
  SetVar("b", 8);  // set before a, but a's bucket comes first
  SetVar("a", 7);
  SetVar("X", 5);
  SetVar("Q", 6);
  EXPECT_EQ(freeDATAlist(), 1);
  inspecttop([](DATAlist* s) {
    ASSERT_NE(entry(s, "X"), nullptr);
    EXPECT_EQ(entry(s, "X")->serial, 0u);
    EXPECT_EQ(entry(s, "X")->value, 5);
    EXPECT_EQ(entry(s, "Y")->serial, 1u);
    EXPECT_EQ(entry(s, "Q")->serial, 2u);
    EXPECT_EQ(entry(s, "Q")->text, nullptr);
    EXPECT_EQ(entry(s, "a")->serial, 3u);
    EXPECT_EQ(entry(s, "b")->serial, 4u);
    EXPECT_EQ(s->serial, 5u);
  });
  EXPECT_EQ(GetVar("Q"), 6);
}

// A scope remembers which buckets it used, so that clearing or committing a
// small scope does not walk every bucket; a large one is walked whole. Both
// must reach every entry, commit in bucket order, and cope with a bucket
// emptied by a deletion and used again.
TEST_F(Store, CommitAndClearReachEveryEntryOfSmallAndLargeScopes) {
  for (int count : {5, 40, 300}) {
    totalfree();
    newDATAlist();
    setrekart(2);
    std::vector<std::string> names;
    // Names of many lengths, so that they spread over many buckets.
    for (int i = 0; i < count; ++i)
      names.push_back("n" + std::string(static_cast<size_t>(i % 37), 'q') + std::to_string(i));
    newDATAlist();
    for (auto it = names.rbegin(); it != names.rend(); ++it) SetVar(it->c_str(), 1);
    for (size_t i = 0; i < names.size(); i += 3) DelVar(names[i].c_str());
    for (size_t i = 0; i < names.size(); i += 3) SetVar(names[i].c_str(), 2);
    freeDATAlist();
    // Serials of the commit follow the buckets (the sum of the name's
    // characters modulo the bucket count), and within one bucket its chain.
    inspecttop([&](DATAlist* s) {
      std::vector<std::pair<uint32_t, std::string>> bybucket;
      for (int b = 0; b < DATA_BUCKETS; ++b)
        for (DataVar* v = s->bucket[b]; v != nullptr; v = v->next)
          bybucket.push_back({v->serial, v->name});
      ASSERT_EQ(bybucket.size(), names.size()) << count;
      for (size_t i = 0; i < bybucket.size(); ++i) EXPECT_EQ(bybucket[i].first, i) << count;
    });
    newDATAlist();
    for (const std::string& n : names) SetVar(n.c_str(), 3);
    DelAll();
    for (size_t i = 0; i < names.size(); ++i)
      EXPECT_EQ(GetVar(names[i].c_str()), i % 3 == 0 ? 2 : 1) << names[i];
    for (const std::string& n : names) SetVar(n.c_str(), 4);
    DelAll();
    freeDATAlist();
    EXPECT_EQ(GetVar(names[0].c_str()), 2) << count;
  }
}

TEST_F(Store, DeletionTouchesOnlyTheTopScope) {
  SetVar("X", 1);
  SetVar("Z", 9);
  newDATAlist();
  SetVar("X", 2);
  EXPECT_EQ(GetVar("X"), 2);
  DelVar("X");
  EXPECT_EQ(GetVar("X"), 1);  // the lower entry shows through
  DelVar("Z");                // only in the lower scope: nothing happens
  EXPECT_EQ(GetVar("Z"), 9);
  EXPECT_FALSE(ifErr());
  // Deleting one entry keeps the order of the others.
  SetVar("p", 1);
  SetVar("q", 2);
  SetVar("r", 3);
  DelVar("q");
  freeDATAlist();
  inspecttop([](DATAlist* s) {
    EXPECT_EQ(entry(s, "X")->serial, 0u);
    EXPECT_EQ(entry(s, "Z")->serial, 1u);
    EXPECT_EQ(entry(s, "p")->serial, 2u);
    EXPECT_EQ(entry(s, "q"), nullptr);
    EXPECT_EQ(entry(s, "r")->serial, 3u);
  });
  // A discarded scope commits nothing.
  newDATAlist();
  SetVar("gone", 1);
  SetVar("X", 100);
  DelAll();
  freeDATAlist();
  EXPECT_EQ(GetVar("X"), 1);
  dataerr_try([] { GetVar("gone"); });
  EXPECT_EQ(takeerrors(), (std::vector<ErrRec>{{"gone", "undefined variable"}}));
}

// SetVar of a plain name is written straight away; every other name must
// still get the records and the entry the general scan gives it.
TEST_F(Store, SetVarNamesAtTheEdgeOfAPlainName) {
  auto count = [] {
    int n = 0;
    inspecttop([&](DATAlist* s) {
      for (int b = 0; b < DATA_BUCKETS; ++b)
        for (const DataVar* v = s->bucket[b]; v != nullptr; v = v->next) ++n;
    });
    return n;
  };
  struct NameCase {
    const char* name;
    int created;  // entries the write adds to the top scope
    std::vector<ErrRec> errors;
  };
  const std::string longname(70, 'L');  // longer than an entry's own room for its name
  const std::vector<NameCase> table = {
      {"k", 1, {}},
      {"K", 1, {}},  // names differ by case
      {"k", 0, {}},  // written again in place
      {"k2x9", 1, {}},
      {longname.c_str(), 1, {}},
      {"k_", 0, {{"k_", "wrong variable name"}}},
      {"k,", 0, {{"k,", "wrong variable name"}}},
      {"k ", 0, {{"k ", "wrong variable name"}}},
      {"", 0, {{"", "wrong variable name"}}},
      {"k[2]", 1, {}},
      {"k[y]",
       0,
       {{"y", "undefined variable"},
        {"y", "wrong expression"},
        {"k[y]", "array index can't be evaluated"}}},
      {"k(2)", 0, {{"k(2)", "function can't be set by SetVar"}}},
  };
  double x = 0;
  for (const NameCase& c : table) {
    SCOPED_TRACE(c.name);
    const int before = count();
    x += 1;
    SetVar(c.name, x);
    EXPECT_EQ(takeerrors(), c.errors);
    EXPECT_EQ(count() - before, c.created);
    if (c.errors.empty()) {
      EXPECT_EQ(GetVar(c.name), x);
    }
  }
  EXPECT_EQ(GetVar("k"), 3);
  EXPECT_EQ(GetVar("K"), 2);
  // A pending comment goes to the next entry written, new or old.
  SetComment("new");
  SetVar("fresh", 1);
  SetComment("old");
  SetVar("k", 4);
  inspecttop([](DATAlist* s) {
    ASSERT_NE(entry(s, "fresh"), nullptr);
    EXPECT_STREQ(entry(s, "fresh")->comment, "new");
    EXPECT_STREQ(entry(s, "k")->comment, "old");
    EXPECT_EQ(s->comment, nullptr);
  });
  // Long and short names survive commit, merge and deletion.
  newDATAlist();
  SetVar(longname.c_str(), -1);
  SetVar("s", -2);
  freeDATAlist();
  EXPECT_EQ(GetVar(longname.c_str()), -1);
  DelVar(longname.c_str());
  EXPECT_FALSE(dataerr_try([&] { GetVar(longname.c_str()); }));
  ClearErr();
  // Names checked and hashed at compile time are written as SetVar writes
  // them: new entries in order, old ones in place, the pending comment to
  // the first one written.
  newDATAlist();
  SetVar("k", 5);
  SetComment("first");
  static constexpr PlainName names[] = {"zweiTheta", "k", "Finv", "x9"};
  const double values[] = {1.5, 2.5, 3.5, 4.5};
  SetVars(names, values, 4);
  EXPECT_FALSE(ifErr());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(GetVar(names[i].name), values[i]) << names[i].name;
  inspecttop([](DATAlist* s) {
    EXPECT_EQ(entry(s, "k")->serial, 0u);
    EXPECT_EQ(entry(s, "zweiTheta")->serial, 1u);
    EXPECT_EQ(entry(s, "Finv")->serial, 2u);
    EXPECT_EQ(entry(s, "x9")->serial, 3u);
    EXPECT_STREQ(entry(s, "zweiTheta")->comment, "first");
    EXPECT_EQ(entry(s, "k")->comment, nullptr);
  });
  SetVars(names + 1, values, 1);
  EXPECT_EQ(GetVar("k"), 1.5);
  DelAll();
  freeDATAlist();
}

// A scope popped empty is used again by the next newDATAlist: it must come
// back as a new scope, with no entries, serials from 0 and no comment.
TEST_F(Store, ScopesUsedAgainStartEmpty) {
  SetVar("low", 1);
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    for (int depth = 0; depth < 6; ++depth) {
      newDATAlist();
      SetComment("pending");
      inspecttop([](DATAlist* s) {
        EXPECT_EQ(s->serial, 0u);
        EXPECT_EQ(s->modified, 0);
        EXPECT_EQ(s->nused, 0);
        for (int b = 0; b < DATA_BUCKETS; ++b) ASSERT_EQ(s->bucket[b], nullptr);
      });
      SetVar(("d" + std::to_string(depth)).c_str(), depth);
      SetVar("low", round);
    }
    for (int depth = 0; depth < 6; ++depth) {
      if (depth % 2 == 0) DelAll();
      freeDATAlist();
    }
    EXPECT_EQ(DATAlistLevel(), 1);
  }
  // Only the lowest new scope reached the base: the others were cleared
  // on the way down.
  EXPECT_EQ(GetVar("low"), 5);
  inspecttop([](DATAlist* s) {
    ASSERT_NE(entry(s, "d0"), nullptr);
    EXPECT_STREQ(entry(s, "d0")->comment, "pending");
    EXPECT_EQ(entry(s, "d1"), nullptr);
  });
}

TEST_F(Store, DetachAndReattach) {
  SetVar("base", 1);
  newDATAlist();
  SetVar("cmd", 2);
  EXPECT_EQ(DATAlistLevel(), 2);
  DATAlist* s = pushDATAlist();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->attached, 0);
  EXPECT_EQ(DATAlevel(), 1);
  EXPECT_FALSE(dataerr_try([] { GetVar("cmd"); }));
  ClearErr();
  newDATAlist();
  SetVar("mid", 3);
  popDATAlist(s);
  EXPECT_EQ(DATAlistLevel(), 3);
  EXPECT_EQ(GetVar("cmd"), 2);
  EXPECT_EQ(GetVar("mid"), 3);
  EXPECT_EQ(GetVar("base"), 1);

  ktest::RunResult r = ktest::run_in_child([] {
    newDATAlist();
    DATAlist* t = pushDATAlist();
    popDATAlist(t);
    popDATAlist(t);
  });
  EXPECT_EQ(r.status, 250);
  EXPECT_EQ(r.out,
            "*** internal error labeled DATAlist popped twice in file obj/data, line 1030\n");
}

TEST_F(Store, ErrorStackBasics) {
  EXPECT_EQ(GetErr(0), nullptr);
  NextErr();
  ClearErr();
  EXPECT_FALSE(ifErr());
  Wert("x+1");
  ASSERT_TRUE(ifErr());
  EXPECT_STREQ(GetErr(0), "x+1");
  EXPECT_STREQ(GetErr(1), "wrong expression");
  EXPECT_EQ(GetErr(2), nullptr);
  EXPECT_EQ(GetErr(-1), nullptr);
  NextErr();
  EXPECT_STREQ(GetErr(0), "x");
  // The next public call drops what is pending.
  EXPECT_EQ(Wert("1+1"), 2);
  EXPECT_FALSE(ifErr());
}

// Frames nest per thread; a jump reaches the innermost one only and leaves
// the failing call's records pending until the next public call.
TEST_F(Store, NestedFramesAndJumps) {
  EXPECT_EQ(ondataLevel(), 0);
  int reached = 0;
  bool outer = dataerr_try([&] {
    EXPECT_EQ(ondataLevel(), 1);
    bool inner = dataerr_try([&] {
      EXPECT_EQ(ondataLevel(), 2);
      GetVar("missing");
      reached = 1;  // never
    });
    EXPECT_FALSE(inner);
    EXPECT_EQ(ondataLevel(), 1);
    EXPECT_TRUE(ifErr());
    EXPECT_STREQ(GetErr(1), "undefined variable");
    reached = 2;
    dataerr_jmp();
    reached = 3;  // never
  });
  EXPECT_FALSE(outer);
  EXPECT_EQ(reached, 2);
  EXPECT_EQ(ondataLevel(), 0);
  EXPECT_TRUE(ifErr());
  // Without a frame a failing call does not jump; dataerr_jmp does nothing.
  EXPECT_EQ(GetVar("missing"), 1.0);
  dataerr_jmp();
  EXPECT_TRUE(ifErr());
  EXPECT_TRUE(dataerr_try([] { SetVar("ok", 1); }));
  // The counting interface keeps the same depth.
  dataerr_newjmp();
  dataerr_newjmp();
  EXPECT_EQ(ondataLevel(), 2);
  dataerr_oldjmp();
  dataerr_oldjmp();
  EXPECT_EQ(ondataLevel(), 0);
  ktest::RunResult r = ktest::run_in_child([] { dataerr_oldjmp(); });
  EXPECT_EQ(r.status, 250);
  EXPECT_EQ(r.out, "*** internal error labeled revertdataerrempty in file obj/data, line 957\n");
}

// The outermost handler prints every pending record, newest first, and ends
// the program with status 1.
TEST(StoreHandler, PrintsPendingRecordsNewestFirst) {
  ktest::RunResult r = ktest::run_in_child([] {
    newDATAlist();
    SetStrVar("bad", "1/0");
    dataerr_newhandler(dataerr_printexit);
    Wert("bad+1");
    std::printf("not reached\n");
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "(E) bad+1\n    wrong expression\n"
            "(E) bad\n    variable can't be evaluated\n"
            "(E) 1/0\n    expression causes division by zero\n");
}

TEST(StoreInternal, BrokenInvariantsEndWithStatus250) {
  struct Case {
    void (*fn)();
    const char* out;
  };
  const Case table[] = {
      {[] { SetUserFkt("a b", 1, nullptr); },
       "*** internal error labeled SetUserFkt in file obj/data, line 2347\n"},
      {[] { stdinit1(nullptr, "x", 0); },
       "*** internal error labeled StdFkt0Param in file obj/data, line 4443\n"},
      {[] { stdinit1(nullptr, "1x", 1); },
       "*** internal error labeled wrongStdFktName in file obj/data, line 4436\n"},
      {[] { stdinit1(nullptr, "abcdefghijkl", 1); },
       "*** internal error labeled StdFktNameLenght in file obj/data, line 4441\n"},
  };
  for (const Case& c : table) {
    ktest::RunResult r = ktest::run_in_child([&] { c.fn(); });
    EXPECT_EQ(r.status, 250);
    EXPECT_EQ(r.out, c.out);
  }
}

}  // namespace

}  // namespace core
