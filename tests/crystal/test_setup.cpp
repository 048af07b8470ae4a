// Structure set-up of a phase: known structures with their sites, names,
// labels and densities; occupancies and their penalties; displacement kinds;
// special positions against the group's operators; the density key; and the
// goal evaluation with its retry rule, failed flags and a bond-length goal.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/velmora.hpp"
#include "crystal_harness.hpp"

namespace {

using namespace core;
using namespace crystal;

using Install = ktest::CopperInstall;

struct Atom {
  std::string eitem;
  std::vector<std::string> items;
};

PhaseRecord* structure(const std::vector<std::string>& header, const std::vector<Atom>& atoms) {
  PhaseRecord* p = ktest::make_phase(header);
  for (const Atom& a : atoms) ktest::make_atom(p, a.eitem, a.items, true);
  return p;
}

// xyzinit of the phase; false when it left through the error frame.
bool setup(PhaseRecord* p) {
  phasei = p;
  return dataerr_try([] { xyzinit(); });
}

// Grows goalwert to hold the goal slots handed out so far and n more; the
// first new slot.
int goalslots(int n) {
  const int first = goalzahl;
  goalzahl += n;
  goalwert =
      static_cast<double*>(std::realloc(goalwert, sizeof(double) * static_cast<size_t>(goalzahl)));
  return first;
}

struct Goalwert {
  ~Goalwert() {
    std::free(goalwert);
    goalwert = nullptr;
  }
};

// Si, corundum and rutile: sites with every centring, names, labels and the
// density from the cell and the atomic masses.
TEST(StructureSetup, KnownStructures) {
  Install inst;
  ktest::RunScope scope;
  struct Case {
    const char* what;
    std::vector<std::string> header;
    std::vector<Atom> atoms;
    std::vector<int> positions;  // sites per atom (multiplicity / centrings)
    int centrings;
    std::vector<std::string> names;
    double density;  // g/cm^3
  };
  const Case cases[] = {
      {"Si",
       {"HermannMauguin=Fd-3m", "A=0.54311"},
       {{"E=Si", {"Wyckoff=a"}}},
       {2},
       4,
       {"Si1"},
       2.329},
      {"corundum",
       {"HermannMauguin=R-3c", "A=0.47589", "C=1.2991", "GAMMA=120"},
       {{"E=Al", {"Wyckoff=c", "z=0.35216"}}, {"E=O", {"Wyckoff=e", "x=0.30624"}}},
       {4, 6},
       3,
       {"Al1", "O1"},
       3.987},
      {"rutile",
       {"HermannMauguin=P42/mnm", "A=4.5937", "C=2.9587", "UNIT=ANGSTROEM"},
       {{"E=Ti", {"Wyckoff=a"}}, {"E=O", {"Wyckoff=f", "x=0.30479"}}},
       {2, 4},
       1,
       {"Ti1", "O1"},
       4.25},
  };
  for (const Case& c : cases) {
    ktest::PhaseList list;
    for (const char* key : {"A", "B", "C", "ALPHA", "BETA", "GAMMA"}) DelVar(key);
    PhaseRecord* p = structure(c.header, c.atoms);
    ASSERT_TRUE(setup(p)) << c.what;
    EXPECT_EQ(p->ncentring, c.centrings) << c.what;
    int i = 0;
    for (AtomRecord* at = p->atoms; at != nullptr; at = at->next, ++i) {
      EXPECT_EQ(at->wyckoff->count, c.positions[i]) << c.what;
      EXPECT_STREQ(at->atomname, c.names[i].c_str()) << c.what;
      EXPECT_STREQ(at->elements[0].label, c.names[i].c_str()) << c.what;
      EXPECT_EQ(at->namepending, 0);
      // Every site with every centring translation is an image of the first
      // under the group, and no two coincide.
      std::vector<std::array<double, 3>> seen;
      for (int j = 0; j < at->wyckoff->count; ++j)
        for (int t = 0; t < p->ncentring; ++t) {
          const SiteRecord& s = at->sites[j];
          const std::array<double, 3> v = {s.x[t] - std::floor(s.x[t]), s.y[t] - std::floor(s.y[t]),
                                           s.z[t] - std::floor(s.z[t])};
          for (const auto& w : seen) {
            double d = 0;
            for (int k = 0; k < 3; ++k) d += std::fabs(std::remainder(v[k] - w[k], 1.0));
            EXPECT_GT(d, 1e-6) << c.what << " site " << j;
          }
          seen.push_back(v);
        }
    }
    EXPECT_NEAR(p->density, c.density, 0.002) << c.what;
    EXPECT_NEAR(GetVar("density"), p->density, 0) << c.what;
    int one = 1;
    EXPECT_EQ(GetIndexVar("density", 1, &one), p->density) << c.what;
    EXPECT_GT(p->my, 0) << c.what;
    DelVar("density");
    DelVar("my");
  }
}

// Generated names and labels: the element's letters with the first free
// number; labels unique in the phase by a letter behind.
TEST(StructureSetup, NamesAndLabels) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  PhaseRecord* p =
      structure({"HermannMauguin=P1", "A=0.5", "B=0.6", "C=0.7", "ALPHA=80", "BETA=85", "GAMMA=95"},
                {{"E=Fe", {"Wyckoff=a", "x=0.1", "y=0.2", "z=0.3"}},
                 {"E=Fe3+", {"Wyckoff=a", "x=0.2", "y=0.2", "z=0.3"}},
                 {"E=Fe,Co", {"Wyckoff=a", "AtomName=Fe2", "x=0.3", "y=0.2", "z=0.3"}},
                 {"E=O2-", {"Wyckoff=a", "x=0.4", "y=0.2", "z=0.3"}},
                 {"E=Co", {"Wyckoff=a", "AtomName=Fe2", "x=0.5", "y=0.2", "z=0.3"}}});
  ASSERT_TRUE(setup(p));
  const char* names[] = {"Fe1", "Fe2", "Fe2", "O1", "Fe2"};
  const std::vector<std::vector<const char*>> labels = {
      {"Fe1"}, {"Fe2"}, {"Fe2A", "Co2"}, {"O1"}, {"Co2A"}};
  int i = 0;
  for (AtomRecord* at = p->atoms; at != nullptr; at = at->next, ++i) {
    EXPECT_STREQ(at->atomname, names[i]) << i;
    for (int e = 0; e < at->nelements; ++e) EXPECT_STREQ(at->elements[e].label, labels[i][e]) << i;
  }
  // Names stay from the first call on.
  ergibt("AtomName=Zz9");
  ASSERT_TRUE(setup(p));
  EXPECT_STREQ(p->atoms->atomname, "Fe1");
}

// Occupancies: the rest shared by the elements without a formula; negative
// occupancies and an overfilled site give their penalty values.
TEST(StructureSetup, OccupanciesAndPenalties) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  PhaseRecord* p =
      structure({"HermannMauguin=Pm-3m", "A=0.4"}, {{"E=Fe(0.3),Co", {"Wyckoff=a"}},
                                                    {"E=Fe(0.55),Co(0.5)", {"Wyckoff=b"}},
                                                    {"E=Fe(-0.01),Co(0.9)", {"Wyckoff=c"}}});
  ASSERT_TRUE(setup(p));
  AtomRecord* a = p->atoms;
  AtomRecord* b = a->next;
  AtomRecord* c = b->next;
  EXPECT_NEAR(a->elements[1].occupancy, 0.7, 1e-15);
  EXPECT_EQ(a->overfill, 0);
  EXPECT_NEAR(b->overfill, 500, 1e-9);
  EXPECT_NEAR(c->elements[0].penalty, -100, 1e-12);
  EXPECT_EQ(c->elements[1].penalty, 0);
  EXPECT_EQ(c->overfill, 0);
  EXPECT_NEAR(a->masssum, 0.3 * a->elements[0].scat[SD_MASS] + 0.7 * a->elements[1].scat[SD_MASS],
              1e-12);
}

// An atom's statements hold at every set-up, whatever became of their
// variables in the atom's scope in between.
TEST(StructureSetup, StatementsHoldAtEverySetup) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  PhaseRecord* p = structure({"HermannMauguin=Pm-3m", "A=0.4"}, {{"E=Fe", {"Wyckoff=e", "x=0.2"}}});
  AtomRecord* a = p->atoms;
  const std::function<void()> changes[] = {[] {}, [] { SetStrVar("x", "0.3"); },
                                           [] { SetVar("x", 0.3); }, [] { DelVar("x"); }};
  for (const auto& change : changes) {
    ASSERT_TRUE(setup(p));
    EXPECT_DOUBLE_EQ(a->sites[0].x[0], 0.2);
    popDATAlist(a->scope);
    change();
    a->scope = pushDATAlist();
  }
  ASSERT_TRUE(setup(p));
  EXPECT_DOUBLE_EQ(a->sites[0].x[0], 0.2);
}

// Displacement kinds: a TDS of the atom's own is read once (angstrom^2 in
// nm^2); one that needs the reflection is left to the structure factor.
TEST(StructureSetup, TemperatureFactors) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  PhaseRecord* p = structure({"HermannMauguin=Pm-3m", "A=4", "UNIT=ANGSTROEM"},
                             {{"E=Fe", {"Wyckoff=a", "TDS=0.5"}},
                              {"E=Co", {"Wyckoff=b", "TDS=0.01*sk"}},
                              {"E=Ni", {"Wyckoff=c"}}});
  ASSERT_TRUE(setup(p));
  EXPECT_EQ(p->atoms->tdskind, TDS_ONCE);
  EXPECT_DOUBLE_EQ(p->atoms->B, 0.005);
  EXPECT_EQ(p->atoms->next->tdskind, TDS_PERREFLECTION);
  EXPECT_EQ(p->atoms->next->next->tdskind, TDS_NONE);
}

// From stage 2 an anisotropic atom gets, per site, the mean of its tensor
// over the operators that map the reference site there: on rutile's 2a
// (site symmetry mmm) b11 = b22 and b13 = b23 = 0, the second site is the
// first turned by the 4_2 axis, and six penalty rows hold the refined tensor
// to the symmetric one.
TEST(StructureSetup, AnisotropicDisplacementOnSpecialPosition) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  PhaseRecord* p =
      structure({"HermannMauguin=P42/mnm", "A=0.45937", "C=0.29587"},
                {{"E=Ti", {"Wyckoff=a", "TDS=ANISO"}}, {"E=O", {"Wyckoff=f", "x=0.30479"}}});
  AtomRecord* ti = p->atoms;
  const double param[6] = {0.004, 0.002, 0.003, 0.3, -0.2, 0.1};
  std::memcpy(ti->anisoparam, param, sizeof param);
  durchlauf = 2;
  const int rows = istraf;
  const bool ok = setup(p);
  durchlauf = 0;
  ASSERT_TRUE(ok);
  EXPECT_EQ(istraf - rows, 6);
  EXPECT_EQ(p->anisosetup, 0);
  const double* b0 = ti->sites[0].b;
  const double* b1 = ti->sites[1].b;
  EXPECT_NEAR(b0[0], b0[1], 1e-18);
  EXPECT_NEAR(b0[4], 0, 1e-18);
  EXPECT_NEAR(b0[5], 0, 1e-18);
  EXPECT_GT(std::fabs(b0[3]), 1e-6);
  // The 4_2 axis (-y, x, z + 1/2) turns b12 over.
  EXPECT_NEAR(b1[0], b0[1], 1e-18);
  EXPECT_NEAR(b1[2], b0[2], 1e-18);
  EXPECT_NEAR(b1[3], -b0[3], 1e-18);
  for (int i = 0; i < 6; ++i)
    EXPECT_NEAR(ti->sitepenalty[i], (b0[i] - ti->firstimage[i]) * 30, 1e-18);
  EXPECT_GT(std::fabs(ti->sitepenalty[0]), 1e-6);
}

// With an explicit density key the computed value is not used; the
// components are published all the same.
TEST(StructureSetup, DensityKeyWins) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  PhaseRecord* p =
      structure({"HermannMauguin=Fd-3m", "A=0.54311", "density=2.5"}, {{"E=Si", {"Wyckoff=a"}}});
  ASSERT_TRUE(setup(p));
  EXPECT_EQ(p->density, 2.5);
  int one = 1;
  EXPECT_NEAR(GetIndexVar("density", 1, &one), 2.329, 0.002);
}

// Special positions whose sites the group's operators do not close, or whose
// multiplicity does not divide the general one, stop the set-up.
TEST(StructureSetup, InconsistentSpecialPositions) {
  ktest::CrystalInstall inst({"err.msg", "afaparm.dat", "weight.mol", "bcoh.dat"});
  inst.write("ordanix.dat",
             "HermannMauguin=P2 Lattice=Monoclinic UniqueAxis=b\n"
             "Wyckoff=e N=2\nx y z\n-x y -z\n"
             "Wyckoff=d N=3\nx 0 0\n0 x 0\n0 0 x\n"
             "Wyckoff=c N=1\n0 y 1/3\n"
             "Wyckoff=b N=1\n1/2 y 1/2\n"
             "Wyckoff=a N=1\n0 y 0\n");
  struct Case {
    const char* wyckoff;
    std::string message;
    int status;
  };
  const Case cases[] = {
      {"b", "", 0},
      {"c", ktest::message(-216, 1, 1) + ktest::message(261, 1), 7},
      {"d", ktest::message(-215) + ktest::message(261, 1), 7},
  };
  for (const Case& c : cases) {
    auto r = ktest::run_in_child([&] {
      setxray(true);
      afainit("Cu");
      ktest::RunScope scope;
      PhaseRecord* p =
          structure({"HermannMauguin=P2", "A=0.5", "B=0.6", "C=0.7", "BETA=100"},
                    {{"E=Si", {std::string("Wyckoff=") + c.wyckoff, "x=0.1", "y=0.2", "z=0.3"}}});
      const bool ok = setup(p);
      std::fflush(stdout);
      std::_Exit(ok ? 0 : 7);
    });
    EXPECT_EQ(r.status, c.status) << c.wyckoff << ": " << r.out;
    EXPECT_EQ(r.out, c.message) << c.wyckoff;
  }
}

// A definition that cannot be executed stops the set-up with its text; in an
// atom the atom's number follows.
TEST(StructureSetup, FailingDefinitions) {
  Install inst;
  struct Case {
    std::vector<std::string> phase, atom;
    std::string message;
  };
  const Case cases[] = {
      {{"HermannMauguin=Pm-3m", "A=0.4", "nothing+1"},
       {"Wyckoff=a"},
       ktest::message(-208, "nothing+1")},
      {{"HermannMauguin=Pm-3m", "A=0.4"},
       {"Wyckoff=a", "1/nothing"},
       ktest::message(-208, "1/nothing") + ktest::message(261, 1)},
  };
  for (const Case& c : cases) {
    auto r = ktest::run_in_child([&] {
      ktest::RunScope scope;
      PhaseRecord* p = structure(c.phase, {{"E=Si", c.atom}});
      const bool ok = setup(p);
      std::fflush(stdout);
      std::_Exit(ok ? 0 : 7);
    });
    EXPECT_EQ(r.status, 7) << r.out;
    EXPECT_EQ(r.out, c.message);
  }
}

// Goals: the Ti-O bond of rutile from the sites of two atoms, the cell into
// its six slots, a goal definition with an empty left side, failed flags that
// persist, and GEWICHT computed when a goal first needs it.
TEST(Goals, BondLengthCellAndFailures) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  Goalwert slots;
  PhaseRecord* p = structure({"HermannMauguin=P42/mnm", "A=0.45937", "C=0.29587"},
                             {{"E=Ti", {"Wyckoff=a"}}, {"E=O", {"Wyckoff=f", "x=0.30479"}}});
  // Records by index: adding one may move the array.
  auto definition = [](ParamRecord** params, int32_t* n, const char* text) {
    ParamRecord* r = addparam(params, n);
    r->statement = strdup(text);
    r->goaldef = 1;
    return *n - 1;
  };
  auto goalformula = [](ParamRecord** params, int32_t* n, const char* text) {
    ParamRecord* r = addparam(params, n);
    r->goal = strdup(text);
    r->goalindex = goalslots(1);
    return *n - 1;
  };
  AtomRecord* ti = p->atoms;
  AtomRecord* o = ti->next;
  definition(&ti->params, &ti->nparams, "setindex(ti,1)");
  definition(&o->params, &o->nparams, "setindex(o,1)");
  definition(&o->params, &o->nparams, "three==3");
  const int ibond = goalformula(&p->params, &p->nparams, "distance(ti,o)");
  const int isix = goalformula(&p->params, &p->nparams, "2*three");
  const int iempty = definition(&p->params, &p->nparams, "=5");
  const int ilater = goalformula(&p->params, &p->nparams, "notyet*2");
  ParamRecord* bond = &p->params[ibond];
  ParamRecord* six = &p->params[isix];
  ParamRecord* empty = &p->params[iempty];
  ParamRecord* later = &p->params[ilater];
  goalslots(0);
  ASSERT_TRUE(setup(p));
  testing::internal::CaptureStdout();
  ASSERT_TRUE(dataerr_try([] { goal(); }));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, ktest::message(-217, "=5"));
  EXPECT_NEAR(goalwert[bond->goalindex], 0.1980, 1e-4);
  EXPECT_NEAR(goalwert[bond->goalindex], std::sqrt(2.0) * 0.30479 * 0.45937, 1e-14);
  EXPECT_EQ(goalwert[six->goalindex], 6);
  const double cell[6] = {0.45937, 0.45937, 0.29587, 90, 90, 90};
  for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(goalwert[p->goalindex + i], cell[i]);
  EXPECT_EQ(empty->failed, 1);
  EXPECT_EQ(later->failed, 1);
  EXPECT_EQ(goalwert[later->goalindex], 0);
  // Failed stays failed, even once it could be evaluated, until the flag is
  // cleared.
  ergibt("notyet==4");
  goalwert[later->goalindex] = 99;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(dataerr_try([] { goal(); }));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(goalwert[later->goalindex], 0);
  later->failed = 0;
  ASSERT_TRUE(dataerr_try([] { goal(); }));
  EXPECT_EQ(goalwert[later->goalindex], 8);
  // Nothing stays registered.
  EXPECT_FALSE(dataerr_try([] { Wert("distance(ti,o)"); }));
  EXPECT_FALSE(dataerr_try([] { Wert("sk(1,0,0)"); }));
}

// On a SPHAR phase GEWICHT is empty until a goal fails for want of it; then
// it is computed and the goal tried again. Straf records nothing meanwhile.
TEST(Goals, GewichtComputedWhenNeeded) {
  Install inst;
  ktest::in_child([] {
    ktest::RunScope scope;
    ktest::PhaseList list;
    Goalwert slots;
    PhaseRecord* p = structure({"HermannMauguin=Pm-3m", "A=0.4", "GEWICHT=SPHAR2"}, {});
    addparam(&p->params, &p->nparams);
    addparam(&p->params, &p->nparams);
    ParamRecord* g1 = &p->params[p->nparams - 2];
    ParamRecord* g2 = &p->params[p->nparams - 1];
    g1->goal = strdup("GEWICHT*2+Straf(5)");
    g1->goalindex = goalslots(1);
    g2->goal = strdup("GEWICHT+1");
    g2->goalindex = goalslots(1);
    durchlauf = 1;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(setup(p));
    testing::internal::GetCapturedStdout();
    // A constant texture function exp(0.25 (h^2 + k^2 + l^2) a*^2 / Q).
    for (int k : {0, 3, 5}) p->sphar2.s[k] = 0.25 * p->rmetric[0];
    const int rows = istraf;
    ASSERT_TRUE(dataerr_try([] { goal(); }));
    durchlauf = 0;
    EXPECT_NEAR(p->GEWICHT, std::exp(0.25), 1e-10);
    EXPECT_NEAR(goalwert[g1->goalindex], 2 * std::exp(0.25) + 1, 1e-10);
    EXPECT_NEAR(goalwert[g2->goalindex], std::exp(0.25) + 1, 1e-10);
    EXPECT_EQ(g1->failed, 0);
    EXPECT_EQ(istraf, rows);
    // Another phase being varied: the stored mean is used as it is.
    PhaseRecord* other = ktest::make_phase({"HermannMauguin=Pm-3m"});
    localphase = lastphase = other;
    p->GEWICHT = 42;
    phasei = p;
    ASSERT_TRUE(dataerr_try([] { goal(); }));
    EXPECT_EQ(goalwert[g2->goalindex], 43);
    localphase = lastphase = nullptr;
  });
}

// The mean is computed at most once per goal evaluation: after the first goal
// that needed it, a change of the texture coefficients (made by a goal
// definition) is not seen by later goals of the same evaluation, also not by
// one that fails for another reason; the next evaluation computes it anew.
TEST(Goals, GewichtComputedOncePerEvaluation) {
  Install inst;
  ktest::in_child([] {
    ktest::RunScope scope;
    ktest::PhaseList list;
    Goalwert slots;
    PhaseRecord* p = structure({"HermannMauguin=Pm-3m", "A=0.4", "GEWICHT=SPHAR2"}, {});
    // settexture(x): the texture function becomes the constant exp(x).
    SetUserFkt("settexture", 1, [](const char*, const char* const* args, int) {
      const double x = Wert(args[0]);
      for (int k : {0, 3, 5}) phasei->sphar2.s[k] = x * phasei->rmetric[0];
      return 1.0;
    });
    struct Item {
      const char* text;
      bool definition;
    };
    const Item items[] = {{"GEWICHT", false},
                          {"done=settexture(0.5)", true},
                          {"missing+GEWICHT", false},
                          {"GEWICHT", false}};
    for (const Item& it : items) {
      ParamRecord* r = addparam(&p->params, &p->nparams);
      if (it.definition) {
        r->statement = strdup(it.text);
        r->goaldef = 1;
      } else {
        r->goal = strdup(it.text);
        r->goalindex = goalslots(1);
      }
    }
    const int n = p->nparams;
    durchlauf = 1;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(setup(p));
    testing::internal::GetCapturedStdout();
    durchlauf = 0;
    for (int k : {0, 3, 5}) p->sphar2.s[k] = 0.25 * p->rmetric[0];
    ASSERT_TRUE(dataerr_try([] { goal(); }));
    ParamRecord* r = p->params + n - 4;
    EXPECT_NEAR(goalwert[r[0].goalindex], std::exp(0.25), 1e-10);
    EXPECT_EQ(r[2].failed, 1);
    EXPECT_EQ(goalwert[r[2].goalindex], 0);
    EXPECT_NEAR(goalwert[r[3].goalindex], std::exp(0.25), 1e-10);
    EXPECT_NEAR(p->GEWICHT, std::exp(0.25), 1e-10);
    // The next evaluation starts without the mean.
    ASSERT_TRUE(dataerr_try([] { goal(); }));
    EXPECT_NEAR(goalwert[r[0].goalindex], std::exp(0.5), 1e-10);
    EXPECT_NEAR(goalwert[r[3].goalindex], std::exp(0.5), 1e-10);
    EXPECT_NEAR(p->GEWICHT, std::exp(0.5), 1e-10);
  });
}

}  // namespace
