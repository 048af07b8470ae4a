// The space-group database loader: records and affine operators built from a
// small database, the search by lattice kind, unique axis and selectors, the
// fatal paths, and the shipped database.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "crystal/spacehld.hpp"
#include "testsupport.hpp"

namespace crystal {
using namespace core;

namespace {

std::string catalogue_text(int n) {
  std::ifstream f(std::string(KALVO_SOURCE_DATA) + "/err.msg");
  std::string line, prefix = std::to_string(n) + " ";
  while (std::getline(f, line)) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    std::string text = line.substr(prefix.size());
    for (size_t p; (p = text.find("\\n")) != std::string::npos;) text.replace(p, 2, "\n");
    return text;
  }
  ADD_FAILURE() << "message " << n << " is not in the catalogue";
  return "";
}

void use_installation(const std::string& dir) {
  std::strncpy(kalvo, dir.c_str(), sizeof kalvo - 1);
  nodesfree();
  freeordanix();
}

// A temporary installation with the catalogue and the given database, made
// current for the loader; the loaded groups are freed again at the end.
class Database {
 public:
  explicit Database(const std::string& content) : inst_({"err.msg"}) {
    ktest::write_file(inst_.file("ordanix.dat"), content);
    use_installation(inst_.path());
  }
  // The shipped database.
  Database() : inst_({"err.msg", "ordanix.dat"}) { use_installation(inst_.path()); }
  ~Database() { freeordanix(); }
  const std::string& path() const { return inst_.path(); }

 private:
  ktest::TempInstall inst_;
};

struct Selectors {
  char s[SEL_COUNT][32] = {};
  Selectors& with(SpaceSelector k, const char* v) {
    std::strncpy(s[k], v, 31);
    return *this;
  }
};

SpaceGroupRecord* find(int kind, const char* axis, const Selectors& sel) {
  return findordanix(kind, axis, sel.s);
}

// Position of a group in file order, -1 for none.
int indexof(const SpaceGroupRecord* g) {
  if (g == nullptr) return -1;
  int i = 0;
  for (const SpaceGroupRecord* p = spacefirst; p != nullptr; p = p->next, ++i)
    if (p == g) return i;
  ADD_FAILURE() << "group not in the list";
  return -2;
}

SpaceGroupRecord* group(int i) {
  SpaceGroupRecord* g = spacefirst;
  while (g != nullptr && i-- > 0) g = g->next;
  return g;
}

// A group with just a general position (identity) and the block a.
std::string tiny(const std::string& header, int divisor = 1) {
  std::string n = std::to_string(divisor);
  return header + "\nWyckoff=b N=" + n + "\nx y z\nWyckoff=a N=" + n + "\n0 0 0\n";
}

const char* const kLattices[] = {"Triclinic", "Monoclinic", "Orthorhombic", "Trigonal",
                                 "Hexagonal", "Tetragonal", "Rhombohedral", "Cubic"};

TEST(SpaceDatabase, OperatorsAreSplitIntoConstantsAndCoefficients) {
  Database db(
      "% fixture\n"
      "HermannMauguin=P-3 Lattice=Trigonal SpacegroupNo=147\n"
      "Wyckoff=g N=6\n"
      "x y z\n"
      "-y x-y z\n"
      "-x+y -x z+1/3\n"
      "-x -y -z\n"
      "y -x+y -z\n"
      "x-y x -z rest of the line is ignored\n"
      "Wyckoff=d N=2\n"
      "1/3 2/3 z\n"
      "2/3 1/3 -z\n"
      "Wyckoff=b N=1\n"
      "0 0 1/4\n"
      "Wyckoff=b N=1\n"
      "0 0 1/2\n"
      "Wyckoff=a N=1\n"
      "0 0 0\n");
  SpaceGroupRecord* g = find(6, "", Selectors{});
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->next, nullptr);
  EXPECT_STREQ(g->header, "HermannMauguin=P-3 Lattice=Trigonal SpacegroupNo=147");

  WyckoffRecord* gen = findwyckoff(g, "g");
  ASSERT_EQ(gen, g->general);
  EXPECT_EQ(gen->general, 1);
  EXPECT_EQ(gen->count, 6);
  EXPECT_TRUE(gen->xfree && gen->yfree && gen->zfree);
  const SymComponent& c = gen->op[2].comp[0];
  EXPECT_STREQ(c.text, "-x+y");
  EXPECT_EQ(c.constant, 0.0);
  EXPECT_EQ(c.coef[0], -1.0);
  EXPECT_EQ(c.coef[1], 1.0);
  EXPECT_EQ(c.coef[2], 0.0);
  const SymComponent& z = gen->op[2].comp[2];
  EXPECT_NEAR(z.constant, 1.0 / 3.0, 1e-15);
  EXPECT_NEAR(z.coef[2], 1.0, 1e-15);
  EXPECT_NEAR(z.coef[0], 0.0, 1e-15);
  EXPECT_STREQ(gen->op[5].comp[2].text, "-z");
  // The same operator held exactly: integer rotation, translation in 1/24.
  const SymOperator& op2 = gen->op[2];
  EXPECT_EQ(op2.exact, 1);
  const int32_t rot2[3][3] = {{-1, 1, 0}, {-1, 0, 0}, {0, 0, 1}};
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 3; ++k) EXPECT_EQ(op2.rot[r][k], rot2[r][k]) << r << k;
  EXPECT_EQ(op2.trans[0], 0);
  EXPECT_EQ(op2.trans[2], SYM_DENOM / 3);
  EXPECT_EQ(g->exact, 1);

  WyckoffRecord* d = findwyckoff(g, "d");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->general, 0);
  EXPECT_EQ(d->count, 2);
  EXPECT_FALSE(d->xfree);
  EXPECT_FALSE(d->yfree);
  EXPECT_TRUE(d->zfree);
  EXPECT_NEAR(d->op[1].comp[0].constant, 2.0 / 3.0, 1e-15);
  EXPECT_EQ(d->op[1].comp[2].coef[2], -1.0);

  // The later of two blocks of the same name shadows the earlier one.
  WyckoffRecord* b = findwyckoff(g, "b");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->op[0].comp[2].constant, 0.5);

  WyckoffRecord* a = findwyckoff(g, "a");
  ASSERT_NE(a, nullptr);
  EXPECT_FALSE(a->xfree || a->yfree || a->zfree);
  EXPECT_EQ(findwyckoff(g, "e"), nullptr);
  EXPECT_EQ(findwyckoff(g, ""), nullptr);
  // Names with bytes above 127 hash inside the table and are simply absent.
  EXPECT_EQ(findwyckoff(g, "\xe9\xff\x80"), nullptr);
}

// A translation that is no multiple of 1/24 keeps its affine form but is not
// taken for an exact operator, nor is its group.
TEST(SpaceDatabase, OperatorsOutsideTheTwentyFourthsAreNotExact) {
  Database db("HermannMauguin=P1\nWyckoff=b N=2\nx y z\nx+1/5 -y 2*z+1/8\nWyckoff=a N=1\n0 0 0\n");
  SpaceGroupRecord* g = find(1, "", Selectors{});
  ASSERT_NE(g, nullptr);
  const SymOperator& op = g->general->op[1];
  EXPECT_EQ(op.exact, 0);
  EXPECT_NEAR(op.comp[0].constant, 0.2, 1e-15);
  EXPECT_EQ(op.rot[1][1], -1);
  EXPECT_EQ(op.rot[2][2], 2);
  EXPECT_EQ(op.trans[2], 3);
  EXPECT_EQ(g->general->op[0].exact, 1);
  EXPECT_EQ(g->exact, 0);
}

// What a loaded database gives: per group the searches by its selectors
// and every record of its Wyckoff positions (the formulas' numbers, not their
// texts).
std::vector<std::string> loadedrecords(const char* const (&names)[4]) {
  std::vector<std::string> out;
  const std::pair<SpaceSelector, const char*> searches[] = {
      {SEL_HERMANNMAUGUIN, "P-3"}, {SEL_HERMANNMAUGUIN, "R-3"},
      {SEL_SPACEGROUPNO, "148"},   {SEL_BASIS, "R"},
      {SEL_SETTING, "abc"},        {SEL_UNIQUEAXIS, "c"},
      {SEL_LATTICE, "Hexagonal"},  {SEL_ORIGINCHOICE, "2"}};
  for (const auto& [k, v] : searches)
    out.push_back(std::to_string(indexof(find(8, "", Selectors{}.with(k, v)))));
  for (const SpaceGroupRecord* g = spacefirst; g != nullptr; g = g->next) {
    out.push_back("group exact " + std::to_string(g->exact));
    for (const char* name : names) {
      const WyckoffRecord* w = findwyckoff(g, name);
      if (w == nullptr) continue;
      char line[200];
      std::snprintf(line, sizeof line, "%s %d %d%d%d %d", w->name, w->count, w->xfree, w->yfree,
                    w->zfree, w->general);
      out.emplace_back(line);
      for (int i = 0; i < w->count; ++i)
        for (int r = 0; r < 3; ++r) {
          const SymOperator& op = w->op[i];
          const SymComponent& c = op.comp[r];
          std::snprintf(line, sizeof line, "%.17g %.17g %.17g %.17g | %d %d %d %d | %d", c.constant,
                        c.coef[0], c.coef[1], c.coef[2], op.rot[r][0], op.rot[r][1], op.rot[r][2],
                        op.trans[r], op.exact);
          out.emplace_back(line);
        }
    }
  }
  return out;
}

// Lines of the usual plain forms and lines written otherwise (statements
// beyond the usual ones, blanks, carriage returns, overlong lines, formulas
// that name the block's keys) give the same groups, records and searches.
TEST(SpaceDatabase, UnusualLinesReadAsThePlainOnes) {
  const char* const names[4] = {"g", "f", "d", "a"};
  std::vector<std::string> plain, unusual;
  {
    Database db(
        "% fixture\n"
        "HermannMauguin=P-3 Lattice=Trigonal SpacegroupNo=147 BASIS=P UniqueAxis=c\n"
        "Wyckoff=g N=6\n"
        "x y z\n"
        "-y x-y z\n"
        "-x+y -x z+1/3\n"
        "-x -y -z\n"
        "y -x+y -z\n"
        "x-y x -z\n"
        "Wyckoff=d N=2\n"
        "1/3 2/3 z\n"
        "2/3 1/3 -z\n"
        "Wyckoff=a N=1\n"
        "0 0 0\n"
        "HermannMauguin=R-3 Lattice=Trigonal SpacegroupNo=148 BASIS=R Setting=abc Setting=\n"
        "Wyckoff=f N=18\n"
        "x y z\n"
        "-y x-y z\n"
        "-x+y -x z\n"
        "-x -y -z\n"
        "y -x+y -z\n"
        "x-y x -z\n"
        "Wyckoff=a N=3\n"
        "0 0 0\n");
    plain = loadedrecords(names);
  }
  {
    Database db(
        "% fixture\r\n"
        "HermannMauguin=P-3 Lattice=Trigonal SpacegroupNo=147 BASIS=P UniqueAxis=c Extra[1]=0\r\n"
        "Wyckoff=g N=6 Extra=0\r\n"
        "x y z" +
        std::string(300, ' ') +
        "rest\n"
        "-y  x-y z \r\n"
        "-x+y -x z+N/18\n"
        "-x -y -z\n"
        "y -x+y -z\n"
        "x-y x -z\n"
        "Wyckoff=d N=2\n"
        "1/3 2/3 z-N+2\n"
        "2/3 1/3 -z\n"
        "Wyckoff=a  N=1\n"
        "0 0 0\n"
        "HermannMauguin=R-3 Lattice=Trigonal SpacegroupNo=148 Setting=abc Setting= 7 BASIS=R\n"
        "N=18 Wyckoff=f\n"
        "x y z\n"
        "-y x-y z\n"
        "-x+y -x z\n"
        "-x -y -z\n"
        "y -x+y -z\n"
        "x-y x -z\n"
        "Wyckoff=a N=3  \n"
        "(0) 0 0\n");
    unusual = loadedrecords(names);
  }
  EXPECT_EQ(unusual, plain);
  EXPECT_EQ(plain[0], "0");
  EXPECT_EQ(plain[1], "1");
  EXPECT_EQ(plain[4], "-1");  // Setting= removes the key again
}

TEST(SpaceDatabase, CentringDividesTheMultiplicity) {
  Database db(
      "HermannMauguin=Fm-3m Lattice=Cubic\nWyckoff=l N=8\nx y z\n-x -y -z\nWyckoff=a N=4\n0 0 0\n"
      "HermannMauguin=R3 Lattice=Rhombohedral\nWyckoff=b N=3\nx y z\nz x y\ny z x\nWyckoff=a "
      "N=1\nx x x\n"
      "HermannMauguin=R3 Lattice=Hexagonal\nWyckoff=b N=9\nx y z\n-y x-y z\n-x+y -x z\nWyckoff=a "
      "N=3\n0 0 z\n"
      "HermannMauguin=R3\nWyckoff=b N=9\nx y z\n-y x-y z\n-x+y -x z\nWyckoff=a N=3\n0 0 z\n"
      "HermannMauguin=Xyz BASIS=I\nWyckoff=b N=4\nx y z\n-x -y -z\nWyckoff=a N=2\n0 0 0\n"
      "HermannMauguin=Pxyz BASIS=A\nWyckoff=b N=2\nx y z\nWyckoff=a N=2\n0 0 0\n");
  find(8, "", Selectors{});
  const int expected[][2] = {{2, 1}, {3, 1}, {3, 1}, {3, 1}, {2, 1}, {1, 1}};
  for (int i = 0; i < 6; ++i) {
    SpaceGroupRecord* g = group(i);
    ASSERT_NE(g, nullptr) << i;
    EXPECT_EQ(g->general->count, expected[i][0]) << g->header;
    EXPECT_EQ(findwyckoff(g, "a")->count, expected[i][1]) << g->header;
  }
  EXPECT_EQ(group(6), nullptr);
}

TEST(SpaceDatabase, LatticeKindAcceptsItsLatticeNames) {
  std::string content;
  for (const char* name : kLattices)
    content += tiny(std::string("HermannMauguin=P") + name + " Lattice=" + name);
  content += tiny("HermannMauguin=Pnone");
  Database db(content);
  // Which lattice names a metric of each kind can carry.
  const std::set<std::string> accepted[9] = {
      {},
      {"Triclinic"},
      {"Monoclinic", "Triclinic"},
      {"Orthorhombic", "Monoclinic", "Triclinic"},
      {"Hexagonal", "Trigonal", "Monoclinic", "Triclinic"},
      {"Hexagonal", "Trigonal", "Monoclinic", "Triclinic"},
      {"Tetragonal", "Hexagonal", "Trigonal", "Orthorhombic", "Monoclinic", "Triclinic"},
      {"Rhombohedral", "Triclinic"},
      {"Triclinic", "Monoclinic", "Orthorhombic", "Trigonal", "Hexagonal", "Tetragonal",
       "Rhombohedral", "Cubic"},
  };
  for (int kind = 1; kind <= 8; ++kind) {
    for (int i = 0; i < 8; ++i) {
      std::string hm = std::string("P") + kLattices[i];
      SpaceGroupRecord* g = find(kind, "", Selectors{}.with(SEL_HERMANNMAUGUIN, hm.c_str()));
      bool want = accepted[kind].count(kLattices[i]) != 0;
      EXPECT_EQ(indexof(g), want ? i : -1) << "kind " << kind << " " << kLattices[i];
    }
    // A group without a Lattice key suits every kind.
    EXPECT_EQ(indexof(find(kind, "", Selectors{}.with(SEL_HERMANNMAUGUIN, "Pnone"))), 8);
    // With no selector at all the first accepted group in file order wins.
    EXPECT_EQ(indexof(find(kind, "", Selectors{})), 0) << kind;
  }

  // A Lattice selector overrides the kind and needs the key.
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(indexof(find(1, "", Selectors{}.with(SEL_LATTICE, kLattices[i]))), i) << kLattices[i];
  EXPECT_EQ(find(8, "", Selectors{}.with(SEL_LATTICE, "Cubic").with(SEL_HERMANNMAUGUIN, "Pnone")),
            nullptr);
  EXPECT_EQ(find(8, "", Selectors{}.with(SEL_LATTICE, "Cubi")), nullptr);

  // Kind 0 (not known) must never meet a Lattice key without a selector.
  auto r = ktest::run_in_child([&] {
    find(0, "", Selectors{});
    fatal_exit(0);
  });
  EXPECT_EQ(r.status, 250);
  EXPECT_EQ(r.out, "*** internal error labeled lattice==ANY in file obj/spacehld, line 268\n");
}

TEST(SpaceDatabase, UniqueAxisRule) {
  Database db(tiny("HermannMauguin=P2 Lattice=Monoclinic SpacegroupNo=3 UniqueAxis=c") +
              tiny("HermannMauguin=P2 Lattice=Monoclinic SpacegroupNo=3 UniqueAxis=b") +
              tiny("HermannMauguin=P2 Lattice=Monoclinic SpacegroupNo=3 Setting=plain") +
              tiny("HermannMauguin=P2 Lattice=Monoclinic SpacegroupNo=3 UniqueAxis=bb"));
  struct Case {
    const char* axis;      // from the metric
    const char* selector;  // the phase's UniqueAxis
    const char* setting;   // the phase's Setting
    int group;
  } cases[] = {
      {"", "", "", 0},         // no axis: first in file order
      {"c", "", "", 0},        //
      {"b", "", "", 1},        // the metric's axis picks the setting
      {"a", "", "", 2},        // a group without the key passes any axis
      {"b", "", "plain", 2},   // ... also when the metric's axis is b
      {"c", "b", "", 1},       // the phase's selector wins over the metric
      {"", "b", "", 1},        //
      {"", "a", "", -1},       // a selector needs the key
      {"", "a", "plain", -1},  //
      {"", "bb", "", 3},       // the first character is tested, then the whole text
  };
  for (const auto& c : cases) {
    Selectors sel;
    sel.with(SEL_HERMANNMAUGUIN, "P2")
        .with(SEL_UNIQUEAXIS, c.selector)
        .with(SEL_SETTING, c.setting);
    EXPECT_EQ(indexof(find(2, c.axis, sel)), c.group)
        << "axis '" << c.axis << "' selector '" << c.selector << "' setting '" << c.setting << "'";
  }
}

TEST(SpaceDatabase, SelectorsMatchExactlyAndTheFirstGroupWins) {
  Database db(
      tiny("HermannMauguin=P4_2/mnm Lattice=Tetragonal SpacegroupNo=136") +
      tiny("HermannMauguin=P4/mmm Lattice=Tetragonal SpacegroupNo=123") +
      tiny("HermannMauguin=Fd-3m Lattice=Cubic SpacegroupNo=227 OriginChoice=1", 4) +
      tiny("HermannMauguin=Fd-3m Lattice=Cubic SpacegroupNo=227 OriginChoice=2", 4) +
      tiny("HermannMauguin=R-3c Lattice=Trigonal SpacegroupNo=167 Setting=hexagonal", 3) +
      tiny("HermannMauguin=R-3c Lattice=Rhombohedral SpacegroupNo=167 Setting=rhombohedral") +
      tiny("HermannMauguin=C2/c BASIS=C Lattice=Monoclinic SpacegroupNo=15 UniqueAxis=b "
           "CellChoice=1",
           2) +
      tiny("HermannMauguin=C2/c BASIS=C Lattice=Monoclinic SpacegroupNo=15 UniqueAxis=b "
           "CellChoice=2",
           2) +
      tiny("HermannMauguin=P4/mmm Lattice=Tetragonal SpacegroupNo=123 Setting=second"));
  struct Case {
    Selectors sel;
    int kind;
    int group;
  } cases[] = {
      {Selectors{}.with(SEL_SPACEGROUPNO, "227"), 8, 2},
      {Selectors{}.with(SEL_SPACEGROUPNO, "227").with(SEL_ORIGINCHOICE, "2"), 8, 3},
      {Selectors{}.with(SEL_SPACEGROUPNO, "227").with(SEL_ORIGINCHOICE, "3"), 8, -1},
      {Selectors{}.with(SEL_HERMANNMAUGUIN, "P4/mmm"), 6, 1},
      {Selectors{}.with(SEL_HERMANNMAUGUIN, "P4/mmm").with(SEL_SETTING, "second"), 6, 8},
      {Selectors{}.with(SEL_HERMANNMAUGUIN, "P4"), 6, -1},
      {Selectors{}.with(SEL_HERMANNMAUGUIN, "P4/mmm "), 6, -1},
      {Selectors{}.with(SEL_SPACEGROUPNO, "13"), 8, -1},
      {Selectors{}.with(SEL_SPACEGROUPNO, "1"), 8, -1},
      {Selectors{}.with(SEL_SPACEGROUPNO, "167"), 5, 4},
      {Selectors{}.with(SEL_SPACEGROUPNO, "167"), 7, 5},
      {Selectors{}.with(SEL_SPACEGROUPNO, "167").with(SEL_SETTING, "rhombohedral"), 8, 5},
      {Selectors{}.with(SEL_HERMANNMAUGUIN, "C2/c").with(SEL_CELLCHOICE, "2"), 2, 7},
      {Selectors{}.with(SEL_HERMANNMAUGUIN, "C2/c").with(SEL_BASIS, "C"), 2, 6},
      {Selectors{}.with(SEL_HERMANNMAUGUIN, "C2/c").with(SEL_BASIS, "P"), 2, -1},
      // A key of an earlier header must not answer for a later group:
      // Setting=hexagonal of R-3c must not make the last P4/mmm match.
      {Selectors{}.with(SEL_HERMANNMAUGUIN, "P4/mmm").with(SEL_SETTING, "hexagonal"), 8, -1},
      {Selectors{}.with(SEL_SPACEGROUPNO, "15").with(SEL_ORIGINCHOICE, "2"), 8, -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(indexof(find(c.kind, "", c.sel)), c.group)
        << c.sel.s[SEL_HERMANNMAUGUIN] << " " << c.sel.s[SEL_SPACEGROUPNO] << " "
        << c.sel.s[SEL_SETTING];
}

TEST(SpaceDatabase, SearchLeavesTheCallersStoreAsItWas) {
  Database db(tiny("HermannMauguin=P4/mmm Lattice=Tetragonal SpacegroupNo=123 Setting=1"));
  int level = DATAlevel();
  newDATAlist();
  SetStrVar("HermannMauguin", "mine");
  setrekart(2);
  SpaceGroupRecord* g = find(6, "", Selectors{}.with(SEL_SPACEGROUPNO, "123"));
  EXPECT_EQ(indexof(g), 0);
  EXPECT_EQ(getrekart(), 2);
  EXPECT_EQ(DATAlevel(), level + 1);
  char buf[32] = "";
  GetStrVar("HermannMauguin", 31, buf);
  EXPECT_STREQ(buf, "mine");
  setrekart(0);
  EXPECT_FALSE(dataerr_try([] { GetStrVar("SpacegroupNo", 31, nullptr); }));
  EXPECT_FALSE(dataerr_try([] { GetStrVar("Setting", 31, nullptr); }));
  // ifndeforeq reads the top scope only.
  EXPECT_TRUE(ifndeforeq("HermannMauguin", "mine"));
  EXPECT_TRUE(ifndeforeq("Anything", ""));
  EXPECT_FALSE(ifndeforeq("HermannMauguin", "min"));
  EXPECT_FALSE(ifndeforeq("Setting", "1"));
  newDATAlist();
  setrekart(2);
  EXPECT_FALSE(ifndeforeq("HermannMauguin", "mine"));
  EXPECT_EQ(getrekart(), 0);
  // The lookup mode is left at 0 also when nothing is wanted.
  setrekart(2);
  EXPECT_TRUE(ifndeforeq("HermannMauguin", ""));
  EXPECT_EQ(getrekart(), 0);
  DelAll();
  freeDATAlist();
  DelAll();
  freeDATAlist();
  EXPECT_EQ(DATAlevel(), level);
}

TEST(SpaceDatabase, GeneralPositionMustBeginWithTheIdentity) {
  Database db(
      "HermannMauguin=P-1 Lattice=Triclinic\nWyckoff=i N=2\n-x -y -z\nx y z\nWyckoff=a N=1\n0 0 0\n"
      "HermannMauguin=P1 Lattice=Triclinic\nWyckoff=a N=1\nx+0 y z\n"
      "HermannMauguin=P2 Lattice=Monoclinic\nWyckoff=a N=1\nx y z\n");
  for (const char* hm : {"P-1", "P1"}) {
    auto r = ktest::run_in_child([&] {
      SpaceGroupRecord* g = find(2, "", Selectors{}.with(SEL_HERMANNMAUGUIN, hm));
      fatal_exit(g == nullptr ? 0 : 1);
    });
    EXPECT_EQ(r.status, 0) << hm;
    EXPECT_EQ(r.out, catalogue_text(6)) << hm;
  }
  EXPECT_EQ(indexof(find(2, "", Selectors{}.with(SEL_HERMANNMAUGUIN, "P2"))), 2);
}

TEST(SpaceDatabase, FaultyDatabasesEndTheRun) {
  const std::string good = tiny("HermannMauguin=P1 Lattice=Triclinic");
  std::string fortynine = "HermannMauguin=P1\nWyckoff=b N=49\n";
  for (int i = 0; i < 49; ++i) fortynine += "x y z\n";
  fortynine += "Wyckoff=a N=1\nx y z\n";
  struct Case {
    const char* what;
    const char* content;  // nullptr: no database file
    int status;
    std::string out;
    bool directory = false;  // a directory in place of the database
  } cases[] = {
      {"no database", nullptr, 183, catalogue_text(-183)},
      {"database that cannot be read", nullptr, 183, catalogue_text(-183), true},
      {"N not a multiple of the centring",
       "HermannMauguin=C2\nWyckoff=c N=3\nx y z\nWyckoff=a N=2\n0 0 0\n", 185,
       catalogue_text(-185)},
      {"N of a special block not a multiple",
       "HermannMauguin=F222\nWyckoff=k N=8\nx y z\n-x -y z\nWyckoff=a N=2\n0 0 0\n", 185,
       catalogue_text(-185)},
      {"N of zero", "HermannMauguin=P1\nWyckoff=a N=0\n", 185, catalogue_text(-185)},
      // 49 operators per centring translation: more than any point group,
      // refused before a reflection's equivalents could outgrow their table.
      {"general position of more than 48 operators", fortynine.c_str(), 185, catalogue_text(-185)},
      {"negative N", "HermannMauguin=P1\nWyckoff=a N=-1\nx y z\n", 185, catalogue_text(-185)},
      {"block without N", "HermannMauguin=P1\nWyckoff=a\nx y z\n", 236, catalogue_text(-236)},
      {"block without Wyckoff", "HermannMauguin=P1\nN=1\nx y z\n", 236, catalogue_text(-236)},
      {"Wyckoff name over 31 characters",
       "HermannMauguin=P1\nWyckoff=abcdefghijklmnopqrstuvwxyzabcdef N=1\nx y z\n", 236,
       catalogue_text(-236)},
      {"formula over 31 characters",
       "HermannMauguin=P1\nWyckoff=a N=1\nx y z+0+0+0+0+0+0+0+0+0+0+0+0+0+0+0+0\n", 236,
       catalogue_text(-236)},
      {"formula that cannot be evaluated", "HermannMauguin=P1\nWyckoff=a N=1\nx y w\n", 236,
       catalogue_text(-236)},
      {"operator line too short", "HermannMauguin=P1\nWyckoff=a N=1\nx y\n", 236,
       catalogue_text(-236)},
      {"no centring letter", "Lattice=Cubic\nWyckoff=a N=1\nx y z\n", 236, catalogue_text(-236)},
      {"blank line between groups",
       "HermannMauguin=P1\nWyckoff=a N=1\nx y z\n\nHermannMauguin=P1\nWyckoff=a N=1\nx y z\n", 236,
       catalogue_text(-236)},
      {"no block a at the end", "HermannMauguin=P-1\nWyckoff=i N=2\nx y z\n-x -y -z\n", 236,
       catalogue_text(-236)},
      {"unknown centring letter", "HermannMauguin=P1 BASIS=Q\nWyckoff=a N=1\nx y z\n", 250,
       "*** internal error labeled wrongbasis in file obj/spacehld, line 147\n"},
  };
  for (const auto& c : cases) {
    ktest::TempInstall inst({"err.msg"});
    if (c.content != nullptr) ktest::write_file(inst.file("ordanix.dat"), good + c.content);
    if (c.directory) {
      ASSERT_EQ(mkdir(inst.file("ordanix.dat").c_str(), 0755), 0);
    }
    auto r = ktest::run_in_child([&] {
      use_installation(inst.path());
      spaceinit();
      fatal_exit(0);
    });
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out;
    EXPECT_EQ(r.out, c.out) << c.what;
  }
}

TEST(SpaceDatabase, HeaderLineOfAtMost198Characters) {
  // Padded with Setting so that the whole line is exactly n characters.
  auto header = [](size_t n) {
    std::string h = "HermannMauguin=P1 Lattice=Triclinic Setting=";
    h += std::string(n - h.size(), 's');
    return h;
  };
  {
    Database db(tiny(header(198)) + tiny("HermannMauguin=P2 Lattice=Monoclinic"));
    EXPECT_EQ(indexof(find(2, "", Selectors{}.with(SEL_HERMANNMAUGUIN, "P2"))), 1);
    ASSERT_NE(group(0), nullptr);
    EXPECT_EQ(std::string(group(0)->header), header(198));
  }
  // A longer header is cut: its rest is read as the block line.
  ktest::TempInstall inst({"err.msg"});
  ktest::write_file(inst.file("ordanix.dat"), tiny(header(199)));
  auto r = ktest::run_in_child([&] {
    use_installation(inst.path());
    spaceinit();
    fatal_exit(0);
  });
  EXPECT_EQ(r.status, 236);
  EXPECT_EQ(r.out, catalogue_text(-236));
}

// The first worker that needs the database loads it; the others wait for it
// and then search the shared records, each with its own store context.
TEST(SpaceDatabase, WorkersLoadOnceAndSearchTogether) {
  constexpr int kWorkers = 8;
  // Enough groups that loading takes longer than waking the workers.
  constexpr int kGroups = 400;
  std::string content;
  for (int i = 0; i < kGroups; ++i)
    content += tiny("HermannMauguin=P1 Lattice=Triclinic SpacegroupNo=" + std::to_string(100 + i));
  ktest::TempInstall inst({"err.msg"});
  ktest::write_file(inst.file("ordanix.dat"), content);
  static SpaceGroupRecord* seen[kWorkers];
  auto r = ktest::run_in_child([&] {
    createmutex(&initmutex, false);
    nthreads = kWorkers;
    use_installation(inst.path());
    initDATAthreads();
    nspawn(
        [](uint64_t i) {
          std::string no = std::to_string(100 + i);
          seen[i] = find(1, "", Selectors{}.with(SEL_SPACEGROUPNO, no.c_str()));
        },
        1, 0);
    nwait();
    exitDATAthreads();
    int wrong = 0, groups = 0;
    for (const SpaceGroupRecord* g = spacefirst; g != nullptr; g = g->next) ++groups;
    for (int i = 0; i < kWorkers; ++i)
      if (seen[i] == nullptr || seen[i] != group(i)) ++wrong;
    std::printf("groups %d wrong %d\n", groups, wrong);
    fatal_exit(0);
  });
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "groups " + std::to_string(kGroups) + " wrong 0\n");
  // Race reports of the thread checker land here.
  EXPECT_TRUE(r.err.empty()) << r.err.substr(0, 3000);
}

TEST(SpaceDatabase, EmptyDatabaseFindsNothing) {
  Database db("% nothing but comments\n");
  EXPECT_EQ(find(8, "", Selectors{}), nullptr);
  EXPECT_EQ(spacefirst, nullptr);
}

// ----------------------------------------------------------------------------
// The shipped database

bool shipped() { return ktest::file_exists(std::string(KALVO_SOURCE_DATA) + "/ordanix.dat"); }

int latticekind(const char* name) {
  for (int i = 0; i < 8; ++i)
    if (std::strcmp(name, kLattices[i]) == 0) return i + 1;
  return 0;
}

// The selectors a phase would carry when it names every key of the header.
Selectors selectors_of(const SpaceGroupRecord* g) {
  static const struct {
    SpaceSelector sel;
    const char* key;
  } keys[] = {{SEL_BASIS, "BASIS"},
              {SEL_UNIQUEAXIS, "UniqueAxis"},
              {SEL_HERMANNMAUGUIN, "HermannMauguin"},
              {SEL_SETTING, "Setting"},
              {SEL_LATTICE, "Lattice"},
              {SEL_SPACEGROUPNO, "SpacegroupNo"},
              {SEL_ORIGINCHOICE, "OriginChoice"},
              {SEL_CELLCHOICE, "CellChoice"}};
  Selectors sel;
  int mode = getrekart();
  setrekart(0);
  newDATAlist();
  SetStrInput(g->header);
  GetData(nullptr, "param");
  SetStrInput(nullptr);
  for (const auto& k : keys) {
    char* buf = sel.s[k.sel];
    if (!dataerr_try([&] { GetStrVar(k.key, 31, buf); })) buf[0] = 0;
  }
  DelAll();
  freeDATAlist();
  setrekart(mode);
  return sel;
}

TEST(ShippedSpaceDatabase, EverySettingIsFoundByItsOwnSelectors) {
  ASSERT_TRUE(shipped()) << "data/ordanix.dat is missing";
  Database db;
  spaceinit();
  int n = 0;
  for (SpaceGroupRecord* g = spacefirst; g != nullptr; g = g->next, ++n) {
    Selectors sel = selectors_of(g);
    int kind = latticekind(sel.s[SEL_LATTICE]);
    EXPECT_NE(kind, 0) << g->header;
    EXPECT_EQ(findordanix(kind, "", sel.s), g) << g->header;
  }
  EXPECT_GE(n, 230);
}

// An operator as twelve numbers (per component the constant reduced into
// [0, 1) and the three coefficients), rounded so that equal maps compare
// equal; of the maps that differ by a centring translation the smallest
// stands for all, since the database lists one operator per centring coset.
using Affine = std::vector<long>;
using Centring = std::vector<std::vector<double>>;
Affine affine(const SymOperator& op, const Centring& centring) {
  Affine best;
  for (const auto& t : centring) {
    Affine a;
    for (int i = 0; i < 3; ++i) {
      const SymComponent& c = op.comp[i];
      double k = c.constant + t[static_cast<size_t>(i)];
      long q = std::lround((k - std::floor(k)) * 1e8) % 100000000;
      a.push_back(q);
      for (double v : c.coef) a.push_back(std::lround(v * 1e8));
    }
    if (best.empty() || a < best) best = a;
  }
  return best;
}
// The same from rows {constant, cx, cy, cz} per component.
Affine affine(const std::vector<std::vector<double>>& rows, const Centring& centring) {
  SymOperator op{};
  for (int i = 0; i < 3; ++i) {
    op.comp[i].constant = rows[static_cast<size_t>(i)][0];
    for (int k = 0; k < 3; ++k)
      op.comp[i].coef[k] = rows[static_cast<size_t>(i)][static_cast<size_t>(k) + 1];
  }
  return affine(op, centring);
}

TEST(ShippedSpaceDatabase, WyckoffPositionsCarryTheirOperators) {
  ASSERT_TRUE(shipped()) << "data/ordanix.dat is missing";
  Database db;
  const double h = 0.5;
  struct Case {
    const char* what;
    Selectors sel;
    int kind;
    const char* wyckoff;
    Centring centring;
    std::vector<std::vector<std::vector<double>>> ops;  // per operator: x, y, z rows
  } cases[] = {
      {"P42/mnm 4f",
       Selectors{}.with(SEL_SPACEGROUPNO, "136"),
       6,
       "f",
       {{0, 0, 0}},
       {{{0, 1, 0, 0}, {0, 1, 0, 0}, {0, 0, 0, 0}},
        {{0, -1, 0, 0}, {0, -1, 0, 0}, {0, 0, 0, 0}},
        {{h, -1, 0, 0}, {h, 1, 0, 0}, {h, 0, 0, 0}},
        {{h, 1, 0, 0}, {h, -1, 0, 0}, {h, 0, 0, 0}}}},
      {"Fd-3m origin 2 8a",
       Selectors{}.with(SEL_SPACEGROUPNO, "227").with(SEL_ORIGINCHOICE, "2"),
       8,
       "a",
       {{0, 0, 0}, {0, h, h}, {h, 0, h}, {h, h, 0}},
       {{{0.125, 0, 0, 0}, {0.125, 0, 0, 0}, {0.125, 0, 0, 0}},
        {{0.875, 0, 0, 0}, {0.375, 0, 0, 0}, {0.375, 0, 0, 0}}}},
      {"R-3c hexagonal 6a",
       Selectors{}.with(SEL_SPACEGROUPNO, "167").with(SEL_LATTICE, "Trigonal"),
       5,
       "a",
       {{0, 0, 0}, {2.0 / 3, 1.0 / 3, 1.0 / 3}, {1.0 / 3, 2.0 / 3, 2.0 / 3}},
       {{{0, 0, 0, 0}, {0, 0, 0, 0}, {0.25, 0, 0, 0}},
        {{0, 0, 0, 0}, {0, 0, 0, 0}, {0.75, 0, 0, 0}}}},
  };
  for (const auto& c : cases) {
    SpaceGroupRecord* g = find(c.kind, "", c.sel);
    ASSERT_NE(g, nullptr) << c.what;
    WyckoffRecord* w = findwyckoff(g, c.wyckoff);
    ASSERT_NE(w, nullptr) << c.what;
    EXPECT_EQ(w->general, 0) << c.what;
    ASSERT_EQ(w->count, static_cast<int>(c.ops.size())) << c.what;
    std::set<Affine> want, have;
    for (const auto& rows : c.ops) want.insert(affine(rows, c.centring));
    for (int i = 0; i < w->count; ++i) have.insert(affine(w->op[i], c.centring));
    EXPECT_EQ(have, want) << c.what << ": " << g->header;
  }
}

}  // namespace

}  // namespace crystal
