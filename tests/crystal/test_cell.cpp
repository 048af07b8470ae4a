// Cell, lattice kind, unique axis, space group, centring and metric of a
// phase: the classification of a trial cell, the cell keys each lattice kind
// reads, the centring translations, every failure, and the metric against
// reference values of an independent crystallographic library.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "crystal_harness.hpp"

namespace {

using namespace core;
using namespace crystal;

// An installation with the catalogue and the given database, or the shipped one.
struct Install : ktest::CrystalInstall {
  explicit Install(const std::string& database) : CrystalInstall({"err.msg"}) {
    write("ordanix.dat", database);
  }
  Install() : CrystalInstall({"err.msg", "ordanix.dat"}) {}
};
using Scope = ktest::RunScope;

struct Key {
  const char* name;
  double value;
};
void setkeys(const std::vector<Key>& keys) {
  for (const char* k : {"A", "B", "C", "ALPHA", "BETA", "GAMMA"}) DelVar(k);
  for (const Key& k : keys) SetVar(k.name, k.value);
}

// getmass on the phase; false when it left through the error frame.
bool setup(PhaseRecord* p) {
  phasei = p;
  return dataerr_try([] { getmass(); });
}

// One group with neither Lattice nor UniqueAxis: every metric accepts it, so
// the lattice kind and axis of a phase are those of its trial cell.
const char* const kAnyLattice = "HermannMauguin=P1\nWyckoff=a N=1\nx y z\n";

struct Classified {
  std::vector<Key> keys;
  int kind;
  const char* axis;
};

TEST(Cell, TrialCellGivesLatticeKindAndAxis) {
  Install db(kAnyLattice);
  Scope scope;
  const Classified cases[] = {
      {{{"A", 0.5}}, LATTICE_CUBIC, ""},
      {{{"A", 0.5}, {"ALPHA", 70}}, LATTICE_RHOMBOHEDRAL, ""},
      {{{"A", 0.5}, {"C", 0.5}, {"GAMMA", 120}},
       LATTICE_HEXAGONAL,
       "c"},  // a = b = c, one angle 120
      {{{"A", 0.5}, {"B", 0.5}, {"C", 0.5}, {"ALPHA", 80}, {"BETA", 90}, {"GAMMA", 90}},
       LATTICE_MONOCLINIC,
       "a"},
      {{{"A", 0.5}, {"C", 0.7}}, LATTICE_TETRAGONAL, "c"},
      {{{"A", 0.5}, {"C", 0.7}, {"GAMMA", 120}}, LATTICE_HEXAGONAL, "c"},
      {{{"A", 0.5}, {"B", 0.5}, {"C", 0.7}, {"GAMMA", 100}}, LATTICE_MONOCLINIC, "c"},
      {{{"A", 0.5}, {"B", 0.6}, {"C", 0.7}}, LATTICE_ORTHORHOMBIC, ""},
      {{{"A", 0.5}, {"B", 0.6}, {"C", 0.7}, {"GAMMA", 100}}, LATTICE_MONOCLINIC, "c"},
      {{{"A", 0.5}, {"B", 0.6}, {"C", 0.7}, {"BETA", 100}}, LATTICE_MONOCLINIC, "b"},
      {{{"A", 0.5}, {"B", 0.6}, {"C", 0.5}, {"BETA", 120}}, LATTICE_HEXAGONAL, "b"},
      {{{"A", 0.5}, {"B", 0.6}, {"C", 0.7}, {"ALPHA", 100}}, LATTICE_MONOCLINIC, "a"},
      {{{"A", 0.6}, {"B", 0.5}, {"C", 0.5}, {"ALPHA", 120}}, LATTICE_HEXAGONAL, "a"},
      {{{"A", 0.5}, {"B", 0.6}, {"C", 0.7}, {"ALPHA", 90}, {"BETA", 100}, {"GAMMA", 95}},
       LATTICE_TRICLINIC,
       ""},
      {{{"A", 0.5}, {"B", 0.6}, {"C", 0.7}, {"ALPHA", 80}, {"BETA", 85}, {"GAMMA", 95}},
       LATTICE_TRICLINIC,
       ""},
      // Equal up to the rounding of a hand-entered cell.
      {{{"A", 0.5}, {"B", 0.5 * (1 + 1e-15)}, {"C", 0.5}, {"ALPHA", 90 * (1 - 1e-15)}},
       LATTICE_CUBIC,
       ""},
  };
  for (const Classified& c : cases) {
    ktest::PhaseList list;
    setkeys(c.keys);
    PhaseRecord* p = ktest::make_phase({});
    ASSERT_TRUE(setup(p)) << c.kind << c.axis;
    EXPECT_EQ(p->lattice, c.kind) << "case " << c.kind << c.axis;
    EXPECT_STREQ(p->selector[SEL_UNIQUEAXIS], c.axis) << "case " << c.kind << c.axis;
    EXPECT_STREQ(p->selector[SEL_BASIS], "P1");
    EXPECT_EQ(p->metricready, 1);
  }
}

// Later passes read only the keys that the lattice kind leaves free.
TEST(Cell, EachLatticeKindReadsItsKeys) {
  Install db(kAnyLattice);
  Scope scope;
  struct Case {
    std::vector<Key> trial;      // first pass: decides the kind
    std::vector<Key> later;      // keys at the second pass
    std::array<double, 6> cell;  // a, b, c, alpha, beta, gamma read then
  };
  const Case cases[] = {
      // cubic: A, else B, else C
      {{{"A", 0.5}}, {{"B", 0.4}, {"C", 0.3}, {"ALPHA", 60}}, {0.4, 0.4, 0.4, 90, 90, 90}},
      // rhombohedral: the first of A, B, C and of ALPHA, BETA, GAMMA
      {{{"A", 0.5}, {"ALPHA", 70}}, {{"C", 0.3}, {"GAMMA", 75}}, {0.3, 0.3, 0.3, 75, 75, 75}},
      // tetragonal, axis c: a = b = B, else A
      {{{"A", 0.5}, {"C", 0.7}},
       {{"A", 0.5}, {"B", 0.55}, {"C", 0.8}, {"GAMMA", 95}},
       {0.55, 0.55, 0.8, 90, 90, 90}},
      // hexagonal, axis b: a = c = A, else C
      {{{"A", 0.5}, {"B", 0.6}, {"C", 0.5}, {"BETA", 120}},
       {{"B", 0.65}, {"C", 0.45}},
       {0.45, 0.65, 0.45, 90, 120, 90}},
      // hexagonal, axis a: b = c = B, else C
      {{{"A", 0.6}, {"B", 0.5}, {"C", 0.5}, {"ALPHA", 120}},
       {{"A", 0.61}, {"B", 0.52}, {"C", 0.9}},
       {0.61, 0.52, 0.52, 120, 90, 90}},
      // monoclinic, axis b: only BETA
      {{{"A", 0.5}, {"B", 0.6}, {"C", 0.7}, {"BETA", 100}},
       {{"A", 0.5}, {"B", 0.6}, {"C", 0.7}, {"ALPHA", 80}, {"BETA", 101}, {"GAMMA", 95}},
       {0.5, 0.6, 0.7, 90, 101, 90}},
      // monoclinic, axis a: only ALPHA
      {{{"A", 0.5}, {"B", 0.6}, {"C", 0.7}, {"ALPHA", 100}},
       {{"A", 0.5}, {"B", 0.6}, {"C", 0.7}, {"ALPHA", 99}, {"BETA", 101}, {"GAMMA", 95}},
       {0.5, 0.6, 0.7, 99, 90, 90}},
      // orthorhombic: no angle
      {{{"A", 0.5}, {"B", 0.6}, {"C", 0.7}},
       {{"A", 0.5}, {"B", 0.6}, {"C", 0.7}, {"ALPHA", 99}},
       {0.5, 0.6, 0.7, 90, 90, 90}},
      // triclinic: all six
      {{{"A", 0.5}, {"B", 0.6}, {"C", 0.7}, {"ALPHA", 80}, {"BETA", 85}, {"GAMMA", 95}},
       {{"A", 0.51}, {"B", 0.61}, {"C", 0.71}, {"ALPHA", 81}, {"BETA", 86}, {"GAMMA", 96}},
       {0.51, 0.61, 0.71, 81, 86, 96}},
  };
  for (const Case& c : cases) {
    ktest::PhaseList list;
    setkeys(c.trial);
    PhaseRecord* p = ktest::make_phase({});
    ASSERT_TRUE(setup(p));
    setkeys(c.later);
    // Without clearing the flag nothing is read again.
    const double before[6] = {p->a, p->b, p->c, p->alpha, p->beta, p->gamma};
    ASSERT_TRUE(setup(p));
    const double same[6] = {p->a, p->b, p->c, p->alpha, p->beta, p->gamma};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(same[i], before[i]);
    p->metricready = 0;
    ASSERT_TRUE(setup(p)) << "kind " << p->lattice;
    const double got[6] = {p->a, p->b, p->c, p->alpha, p->beta, p->gamma};
    for (int i = 0; i < 6; ++i)
      EXPECT_DOUBLE_EQ(got[i], c.cell[static_cast<size_t>(i)])
          << "kind " << p->lattice << " value " << i;
  }
}

// Trigonal groups read their cell as hexagonal ones; in hexagonal axes the R
// groups carry their two obverse translations.
TEST(Cell, TrigonalGroupsOfTheShippedDatabase) {
  Install db;
  Scope scope;
  struct Case {
    const char* number;
    int ncentring;
  };
  for (const Case& c : {Case{"147", 1}, Case{"148", 3}}) {
    ktest::PhaseList list;
    setkeys({{"A", 0.5}, {"C", 0.6}, {"GAMMA", 120}});
    PhaseRecord* p = ktest::make_phase({std::string("SpacegroupNo=") + c.number});
    ASSERT_TRUE(setup(p)) << c.number;
    EXPECT_EQ(p->lattice, LATTICE_TRIGONAL) << c.number;
    EXPECT_STREQ(p->selector[SEL_UNIQUEAXIS], "c") << c.number;
    EXPECT_EQ(p->ncentring, c.ncentring) << c.number;
    const double want[6] = {0.5, 0.5, 0.6, 90, 90, 120};
    const double got[6] = {p->a, p->b, p->c, p->alpha, p->beta, p->gamma};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(got[i], want[i]) << c.number << " value " << i;
  }
}

TEST(Cell, AngstroemEdgesAreStoredInNanometres) {
  Install db(kAnyLattice);
  Scope scope;
  ktest::PhaseList list;
  setkeys({{"A", 5}});
  PhaseRecord* p = ktest::make_phase({"UNIT=ANGSTROEM"});
  ASSERT_TRUE(setup(p));
  EXPECT_DOUBLE_EQ(p->a, 0.5);
  EXPECT_DOUBLE_EQ(p->c, 0.5);
  EXPECT_DOUBLE_EQ(p->metric[0], 0.25);
  EXPECT_NEAR(p->volume2, std::pow(0.125, 2), 1e-15);
}

// One group per centring letter, each with the general position x y z only.
const char* const kCentrings =
    "HermannMauguin=A1\nWyckoff=a N=2\nx y z\n"
    "HermannMauguin=B1\nWyckoff=a N=2\nx y z\n"
    "HermannMauguin=C1\nWyckoff=a N=2\nx y z\n"
    "HermannMauguin=I1\nWyckoff=a N=2\nx y z\n"
    "HermannMauguin=F1\nWyckoff=a N=4\nx y z\n"
    "HermannMauguin=R3 UniqueAxis=c\nWyckoff=a N=3\nx y z\n"
    "HermannMauguin=R3r Lattice=Rhombohedral\nWyckoff=a N=1\nx y z\n"
    "HermannMauguin=P1 BASIS=QQ\nWyckoff=a N=1\nx y z\n"
    "HermannMauguin=R3h\nWyckoff=a N=3\nx y z\n"
    "HermannMauguin=P2 UniqueAxis=ab\nWyckoff=a N=1\nx y z\n"
    "HermannMauguin=P3 Lattice=Cubi\nWyckoff=a N=1\nx y z\n";

TEST(Cell, CentringTranslations) {
  Install db(kCentrings);
  Scope scope;
  struct Case {
    const char* hm;
    const char* basis;  // after the set-up
    std::vector<std::array<double, 3>> t;
  };
  const double h = 0.5, t1 = 1.0 / 3, t2 = 2.0 / 3;
  const Case cases[] = {
      {"A1", "A1", {{0, 0, 0}, {0, h, h}}},
      {"B1", "B1", {{0, 0, 0}, {h, 0, h}}},
      {"C1", "C1", {{0, 0, 0}, {h, h, 0}}},
      {"I1", "I1", {{0, 0, 0}, {h, h, h}}},
      {"F1", "F1", {{0, 0, 0}, {0, h, h}, {h, 0, h}, {h, h, 0}}},
      {"R3", "R3", {{0, 0, 0}, {t2, t1, t1}, {t1, t2, t2}}},
      {"R3r", "P", {{0, 0, 0}}},  // rhombohedral axes: no translation
  };
  for (const Case& c : cases) {
    ktest::PhaseList list;
    setkeys(c.hm == std::string("R3r") ? std::vector<Key>{{"A", 0.5}, {"ALPHA", 70}}
                                       : std::vector<Key>{{"A", 0.5}});
    PhaseRecord* p = ktest::make_phase({std::string("HermannMauguin=") + c.hm});
    ASSERT_TRUE(setup(p)) << c.hm;
    EXPECT_STREQ(p->selector[SEL_BASIS], c.basis) << c.hm;
    ASSERT_EQ(p->ncentring, static_cast<int>(c.t.size())) << c.hm;
    for (int i = 0; i < p->ncentring; ++i)
      for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(p->centring[i][k], c.t[static_cast<size_t>(i)][static_cast<size_t>(k)], 1e-15)
            << c.hm;
        EXPECT_EQ(p->icentring[i][k] * 1.0 / SYM_DENOM, p->centring[i][k]) << c.hm;
      }
  }
}

// Each failure is reported by its message and leaves through the error frame
// (status 7 below); the database's unknown lattice name ends the run.
TEST(Cell, FailuresAreReported) {
  Install db(kCentrings);
  struct Case {
    std::vector<std::string> header;
    std::vector<Key> keys;
    std::string wyckoff;  // of one atom, when not empty
    std::string message;
    int status;
  };
  const Case cases[] = {
      {{"HermannMauguin=P9"}, {{"A", 0.5}}, "", ktest::message(-238), 7},
      {{"HermannMauguin=P1"}, {{"A", 0.5}}, "", ktest::message(-243, "QQ"), 7},
      {{"HermannMauguin=R3h"}, {{"A", 0.5}}, "", ktest::message(-252), 7},
      {{"HermannMauguin=P2"}, {{"A", 0.5}}, "", ktest::message(-240), 7},
      {{"HermannMauguin=P3"}, {{"A", 0.5}}, "", ktest::message(-251), 251},
      {{"HermannMauguin=A1"}, {{"A", 0.5}}, "b", ktest::message(-236), 7},
      {{"HermannMauguin=A1"},
       {{"A", -0.5}},
       "",
       ktest::message(-209, -0.5, -0.5, -0.5, 90.0, 90.0, 90.0),
       7},
      // An angle equal to the sum of the other two.
      {{"HermannMauguin=A1"},
       {{"A", 0.5}, {"B", 0.6}, {"C", 0.7}, {"ALPHA", 100}, {"BETA", 30}, {"GAMMA", 70}},
       "",
       ktest::message(-209, 0.5, 0.6, 0.7, 100.0, 30.0, 70.0),
       7},
      // Three angles of 120 degrees: a flat cell, the reciprocal metric is singular.
      {{"HermannMauguin=A1"},
       {{"A", 0.5}, {"ALPHA", 120}},
       "",
       ktest::message(-209, 0.5, 0.5, 0.5, 120.0, 120.0, 120.0),
       7},
      // A key the lattice kind needs is missing: the store's own error.
      {{"HermannMauguin=A1"},
       {{"A", 0.5}, {"B", 0.6}},
       "",
       ktest::message(257, 1, "Lattice=Orthorhombic"),
       7},
  };
  for (const Case& c : cases) {
    auto r = ktest::run_in_child([&] {
      newDATAlist();
      setrekart(2);
      for (const Key& k : c.keys) SetVar(k.name, k.value);
      PhaseRecord* p = ktest::make_phase(c.header);
      if (!c.wyckoff.empty())
        ktest::make_atom(p, "E=Si", {"Wyckoff=a"}),
            ktest::make_atom(p, "E=O", {"Wyckoff=" + c.wyckoff});
      bool ok = setup(p);
      std::fflush(stdout);
      std::_Exit(ok ? 0 : 7);
    });
    EXPECT_EQ(r.status, c.status) << c.header[0] << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.header[0] << ": " << r.out;
  }
}

TEST(Cell, TakenLatticeAndAxisAreReported) {
  Install db(kAnyLattice);
  auto r = ktest::run_in_child([] {
    newDATAlist();
    setrekart(2);
    SetVar("A", 0.5);
    SetVar("B", 0.6);
    SetVar("C", 0.7);
    SetVar("BETA", 100);
    ktest::make_phase({});
    PhaseRecord* p = ktest::make_phase({});
    bool ok = setup(p);
    std::fflush(stdout);
    std::_Exit(ok ? 0 : 7);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            ktest::message(257, 2, "UniqueAxis=b") + ktest::message(257, 2, "Lattice=Monoclinic"));
}

TEST(Cell, AtomsGetTheirWyckoffPositionsAndSites) {
  Install db;
  Scope scope;
  ktest::PhaseList list;
  setkeys({{"A", 0.5431}});
  PhaseRecord* p = ktest::make_phase({"SpacegroupNo=227"});
  AtomRecord* si = ktest::make_atom(p, "E=Si", {"Wyckoff=a", "x=0"});
  AtomRecord* o = ktest::make_atom(p, "E=O", {"Wyckoff=c"});
  ASSERT_TRUE(setup(p));
  EXPECT_STREQ(p->selector[SEL_HERMANNMAUGUIN], "Fd-3m");
  EXPECT_STREQ(p->selector[SEL_ORIGINCHOICE], "2");
  EXPECT_EQ(p->lattice, LATTICE_CUBIC);
  EXPECT_EQ(p->ncentring, 4);
  ASSERT_NE(p->condition, nullptr);
  EXPECT_NE(p->operators, nullptr);
  ASSERT_NE(si->wyckoff, nullptr);
  EXPECT_STREQ(si->wyckoff->name, "a");
  EXPECT_EQ(si->wyckoff->count * p->ncentring, 8);
  EXPECT_NE(si->sites, nullptr);
  EXPECT_EQ(si->sites[0].ops, nullptr);
  EXPECT_EQ(o->wyckoff->count * p->ncentring, 16);
}

// ---------------------------------------------------------------------------
// Metric against an independent library

struct Reference {
  std::string system;
  double cell[6], metric[6], volume2, rmetric[6], tri[6];
};

std::vector<Reference> references() {
  std::ifstream f(std::string(KALVO_TEST_DATA) + "/metric_reference.txt");
  std::vector<Reference> out;
  std::string line;
  while (std::getline(f, line)) {
    if (line.empty() || line[0] == '%') continue;
    std::istringstream s(line);
    Reference r;
    s >> r.system;
    for (double& v : r.cell) s >> v;
    for (double& v : r.metric) s >> v;
    s >> r.volume2;
    for (double& v : r.rmetric) s >> v;
    for (double& v : r.tri) s >> v;
    EXPECT_TRUE(s) << line;
    out.push_back(r);
  }
  return out;
}

void expect_close(const double* got, const double* want, int n, double scale,
                  const std::string& what) {
  for (int i = 0; i < n; ++i)
    EXPECT_NEAR(got[i], want[i], 1e-13 * scale) << what << " [" << i << "]";
}

TEST(Cell, MetricAgreesWithAnIndependentLibrary) {
  Install db;
  Scope scope;
  // A group of each crystal system, found by its number.
  const std::pair<const char*, std::vector<std::string>> groups[] = {
      {"triclinic", {"SpacegroupNo=2"}},
      {"monoclinic", {"SpacegroupNo=14"}},
      {"orthorhombic", {"SpacegroupNo=62"}},
      {"tetragonal", {"SpacegroupNo=136"}},
      {"trigonal", {"SpacegroupNo=166", "Lattice=Rhombohedral"}},
      {"hexagonal", {"SpacegroupNo=194"}},
      {"cubic", {"SpacegroupNo=227"}},
  };
  std::vector<Reference> refs = references();
  ASSERT_EQ(refs.size(), 7u);
  for (const Reference& r : refs) {
    ktest::PhaseList list;
    setkeys({{"A", r.cell[0]},
             {"B", r.cell[1]},
             {"C", r.cell[2]},
             {"ALPHA", r.cell[3]},
             {"BETA", r.cell[4]},
             {"GAMMA", r.cell[5]}});
    std::vector<std::string> header;
    for (const auto& g : groups)
      if (r.system == g.first) header = g.second;
    ASSERT_FALSE(header.empty()) << r.system;
    PhaseRecord* p = ktest::make_phase(header);
    ASSERT_TRUE(setup(p)) << r.system;
    double scale = std::max({r.metric[0], r.metric[1], r.metric[2]});
    expect_close(p->metric, r.metric, 6, scale, r.system + " metric");
    EXPECT_NEAR(p->volume2, r.volume2, 1e-13 * r.volume2) << r.system;
    scale = std::max({r.rmetric[0], r.rmetric[1], r.rmetric[2]});
    expect_close(p->rmetric, r.rmetric, 6, scale, r.system + " reciprocal metric");
    expect_close(p->tri, r.tri, 6, std::sqrt(scale), r.system + " triangular matrix");
  }
}

// ---------------------------------------------------------------------------
// The shipped database: every setting, set up for a phase, is a group

// Operator (R, t) with t in units of 1/SYM_DENOM reduced into [0, SYM_DENOM).
using Op = std::array<int, 12>;
Op reduced(const int32_t rot[3][3], const int32_t trans[3]) {
  Op o{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) o[static_cast<size_t>(3 * r + c)] = rot[r][c];
    o[static_cast<size_t>(9 + r)] = ((trans[r] % SYM_DENOM) + SYM_DENOM) % SYM_DENOM;
  }
  return o;
}
Op compose(const Op& a, const Op& b) {
  int32_t rot[3][3], trans[3];
  for (int r = 0; r < 3; ++r) {
    trans[r] = a[static_cast<size_t>(9 + r)];
    for (int c = 0; c < 3; ++c) {
      rot[r][c] = 0;
      for (int k = 0; k < 3; ++k)
        rot[r][c] += a[static_cast<size_t>(3 * r + k)] * b[static_cast<size_t>(3 * k + c)];
      trans[r] += a[static_cast<size_t>(3 * r + c)] * b[static_cast<size_t>(9 + c)];
    }
  }
  return reduced(rot, trans);
}

std::vector<std::string> headeritems(const char* header) {
  std::istringstream s(header);
  std::vector<std::string> items;
  for (std::string item; s >> item;) items.push_back(item);
  return items;
}

TEST(ShippedSpaceGroups, EverySettingIsAClosedGroupOfItsOrder) {
  Install db;
  Scope scope;
  spaceinit();
  setkeys({{"A", 0.5}, {"B", 0.6}, {"C", 0.7}, {"ALPHA", 80}, {"BETA", 85}, {"GAMMA", 95}});
  int settings = 0;
  for (SpaceGroupRecord* g = spacefirst; g != nullptr; g = g->next, ++settings) {
    ktest::PhaseList list;
    PhaseRecord* p = ktest::make_phase(headeritems(g->header));
    ASSERT_TRUE(setup(p)) << g->header;
    ASSERT_EQ(p->group, g) << g->header;
    EXPECT_EQ(g->exact, 1) << g->header;
    const WyckoffRecord* gen = g->general;
    const int32_t zero[3] = {0, 0, 0};
    std::set<Op> elements;
    for (int i = 0; i < gen->count; ++i) {
      const SymOperator& op = gen->op[i];
      ASSERT_EQ(op.exact, 1) << g->header << " operator " << i;
      for (int c = 0; c < p->ncentring; ++c) {
        int32_t t[3];
        for (int k = 0; k < 3; ++k) t[k] = op.trans[k] + p->icentring[c][k];
        elements.insert(reduced(op.rot, t));
      }
    }
    // The identity first, and no two operators alike modulo the lattice.
    const SymOperator& id = gen->op[0];
    EXPECT_EQ(reduced(id.rot, zero), reduced(id.rot, id.trans)) << g->header;
    const int32_t unit[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    EXPECT_EQ(reduced(id.rot, zero), reduced(unit, zero)) << g->header;
    EXPECT_EQ(static_cast<int>(elements.size()), gen->count * p->ncentring) << g->header;
    bool closed = true;
    for (const Op& a : elements)
      for (const Op& b : elements)
        if (closed && elements.count(compose(a, b)) == 0) closed = false;
    EXPECT_TRUE(closed) << g->header;
  }
  EXPECT_GE(settings, 530);
}

}  // namespace
