// Structure factors and reflection lists of real structures against an
// independent crystallographic library (tests/data/crystal_reference.txt,
// made by tools/reference/structure_factors_cctbx.py): which reflections
// exist up to a d-limit, their multiplicities and order, and |F| for X-rays
// (with f' and f'') and neutrons. Then the structure factor's temperature
// factors, penalties, components and faults, and the formula function F.
#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/data.hpp"
#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "structure_fixture.hpp"

namespace {

using namespace core;
using namespace crystal;

using ktest::RefLine;
using Reference = ktest::ReferenceStructure;

bool holds(const FRecord* F, int h, int k, int l) {
  for (int i = 0; i < F->nequiv; ++i)
    if (F->hkl[i][0] == h && F->hkl[i][1] == k && F->hkl[i][2] == l) return true;
  return false;
}

double modulus(const double* re_im) { return std::hypot(re_im[0], re_im[1]); }

class StructureFactor : public ::testing::Test {
 protected:
  ktest::CrystalInstall inst;
  ktest::RunScope scope;
  ktest::PhaseList phases;
  void SetUp() override {
    setxray(true);
    afainit("cu");
  }
  void TearDown() override {
    setxray(true);
    durchlauf = 0;
  }
};

TEST_F(StructureFactor, ReflectionsAndModuliOfSixStructuresAgreeWithTheReference) {
  const std::vector<Reference> all = ktest::readreference();
  ASSERT_EQ(all.size(), 6u);
  for (const Reference& ref : all) {
    SCOPED_TRACE(ref.name);
    setxray(true);
    PhaseRecord* p = ktest::make_structure(ref.selectors, ref.cell, ref.atoms, true);
    ASSERT_NE(p, nullptr);
    ktest::generate_reflections(ref.skmax);

    // Every structure-factor record (a reflection, or its inverse when that is
    // not equivalent) is one reference reflection, and each is met once.
    std::vector<int> met(ref.refs.size(), 0);
    size_t records = 0;
    for (int i = 0; i < p->nrefl; ++i) {
      const ReflectionRecord* r = p->refl[i];
      if (i > 0) {
        EXPECT_LE(p->refl[i - 1]->sk, r->sk * (1 + 1e-10));
      }
      for (const FRecord* F : {r->fr1, r->fr2}) {
        if (F == nullptr) continue;
        ++records;
        const int32_t* rep = F->hkl[0];
        int found = -1;
        for (size_t j = 0; j < ref.refs.size(); ++j)
          if (holds(F, ref.refs[j].h, ref.refs[j].k, ref.refs[j].l)) {
            EXPECT_EQ(found, -1) << "two reference reflections in one set";
            found = static_cast<int>(j);
          }
        ASSERT_GE(found, 0) << "not in the reference: " << rep[0] << " " << rep[1] << " " << rep[2];
        const RefLine& x = ref.refs[found];
        ++met[found];
        EXPECT_EQ(F->nequiv, x.multiplicity) << rep[0] << " " << rep[1] << " " << rep[2];
        EXPECT_NEAR(r->sk, x.sk, 1e-12 * x.sk);
        EXPECT_NEAR(F->F, x.fx, 1e-10 * x.fx)
            << "X-ray " << rep[0] << " " << rep[1] << " " << rep[2];
        // The same reflection for neutrons.
        setneutrons(true);
        double out[4];
        fcalc(out, 1, 0, nullptr, F, 0, r->sk);
        setxray(true);
        EXPECT_NEAR(modulus(out), x.fn, 1e-10 * x.fn)
            << "neutrons " << rep[0] << " " << rep[1] << " " << rep[2];
      }
    }
    EXPECT_EQ(records, ref.refs.size());
    for (size_t j = 0; j < met.size(); ++j)
      EXPECT_EQ(met[j], 1) << "reference " << ref.refs[j].h << " " << ref.refs[j].k << " "
                           << ref.refs[j].l;

    auto position = [&](int h, int k, int l) {
      for (int i = 0; i < p->nrefl; ++i)
        if (holds(p->refl[i]->fr1, h, k, l) ||
            (p->refl[i]->fr2 != nullptr && holds(p->refl[i]->fr2, h, k, l)))
          return i;
      return -1;
    };
    if (ref.name == "Si") {
      EXPECT_EQ(position(2, 0, 0), -1);  // absent by the diamond glide
      EXPECT_EQ(position(2, 2, 2), -1);  // absent by the structure
      ASSERT_GE(position(3, 3, 3), 0);
      // Equal 1/d^2: the larger h of the representative first.
      EXPECT_EQ(position(5, 1, 1) + 1, position(3, 3, 3));
    }
    if (ref.name == "zincite") {
      // A polar structure: f'' makes a reflection and its inverse differ for
      // X-rays, and the pair stays apart in two records.
      bool differ = false;
      for (int i = 0; i < p->nrefl; ++i) {
        const ReflectionRecord* r = p->refl[i];
        if (r->fr2 == nullptr) continue;
        EXPECT_EQ(r->fr1->Finv, r->fr2->F);
        if (std::fabs(r->fr1->F - r->fr2->F) > 1e-3 * r->fr1->F) differ = true;
      }
      EXPECT_TRUE(differ);
      // Without f'' the two are equal.
      const ReflectionRecord* r = p->refl[position(1, 0, 1)];
      ASSERT_NE(r->fr2, nullptr);
      double out[4];
      fcalc(out, 0, 0, nullptr, r->fr1, 0, r->sk);
      EXPECT_NEAR(modulus(out), modulus(out + 2), 1e-12 * modulus(out));
      EXPECT_GT(std::fabs(r->fr1->F - r->fr2->F), 1e-3 * r->fr1->F);
    }
    ktest::free_phases();
  }
}

// One iron atom at the origin of a primitive cubic cell (a = 0.3 nm): the
// structure factor of (1, 0, 0) is the atom's scattering power times its
// temperature factor.
class OneAtom : public StructureFactor {
 public:
  PhaseRecord* p = nullptr;
  AtomRecord* atom = nullptr;
  int32_t triple[1][3] = {{1, 0, 0}};
  FRecord F{};
  const double s2 = 1.0 / 0.09;

  void build(const std::vector<std::string>& header) {
    const double cell[6] = {
        header.size() > 1 && header[1] == "UNIT=ANGSTROEM" ? 3.0 : 0.3, 0, 0, 0, 0, 0};
    p = ktest::make_structure(header, cell, {{"E=Fe", "a", 0, 0, 0, 0.005}}, true);
    ASSERT_NE(p, nullptr);
    atom = p->atoms;
    F.hkl = triple;
    F.nequiv = 1;
  }
  void SetUp() override {
    StructureFactor::SetUp();
    build({"HermannMauguin=Pm-3m"});
  }
  // |F| / |f| of the atom: its temperature factor at (1, 0, 0).
  double factor(int32_t iref = 0) {
    double out[4];
    fcalc(out, 1, iref, nullptr, &F, 0, s2);
    const Amplitude f = f1(atom->elements, atom->nelements, 1, s2);
    EXPECT_NEAR(out[0] * f.im, out[1] * f.re, 1e-12 * std::hypot(f.re, f.im) * modulus(out));
    return modulus(out) / std::hypot(f.re, f.im);
  }
};

TEST_F(OneAtom, TemperatureFactorsAndPenaltiesByKind) {
  const double nan = std::nan("");
  struct Case {
    const char* what;
    int32_t kind;
    double B;  // the atom's B
    int stage;
    double expectB;  // the B that the factor must show
    double penalty;  // NaN: the slot is not written
  } cases[] = {
      {"isotropic B of the atom", TDS_ISO, 0.005, 0, 0.005, nan},
      {"TDS of the phase", TDS_NONE, 0.005, 0, 0.0123, nan},
      {"once-evaluated TDS", TDS_ONCE, 0.004, 0, 0.004, 0.0},
      {"once-evaluated TDS of zero", TDS_ONCE, 0.0, 0, 0.0, 0.0},
      {"negative once-evaluated TDS", TDS_ONCE, -0.001, 0, -0.001, -100.0},
      {"anisotropic atom before stage 2", TDS_ANISO, 0.006, 1, 0.006, nan},
      {"anisotropic atom from stage 2", TDS_ANISO, 0.006, 2, 0.008, nan},
      {"per-reflection TDS", TDS_PERREFLECTION, 0.0, 0, 0.0021, 0.0},
  };
  SetVar("TDS", 0.0123);
  // The per-reflection TDS lives in the atom's own scope.
  newDATAlist();
  SetStrVar("TDS", "0.0007*q");
  atom->scope = pushDATAlist();
  SetVar("q", 3);
  // Site coefficients equal to an isotropic B of 0.008: b11 = B a*^2 / 4.
  for (int i = 0; i < 3; ++i) atom->sites[0].b[i] = 0.25 * 0.008 * s2;
  for (const Case& c : cases) {
    atom->tdskind = c.kind;
    atom->B = c.B;
    atom->penalty = 12345.0;
    durchlauf = c.stage;
    EXPECT_NEAR(factor(), std::exp(-0.25 * c.expectB * s2), 1e-14) << c.what;
    EXPECT_EQ(atom->penalty, std::isnan(c.penalty) ? 12345.0 : c.penalty) << c.what;
  }
  // A B that is not a number costs a large but finite penalty.
  atom->tdskind = TDS_ONCE;
  atom->B = nan;
  double out[4];
  fcalc(out, 1, 0, nullptr, &F, 0, s2);
  EXPECT_TRUE(std::isfinite(atom->penalty));
  EXPECT_GE(atom->penalty, 1e9);
  EXPECT_EQ(tdspenalty(-0.001), -100.0);
  EXPECT_EQ(tdspenalty(0.0), 0.0);
  EXPECT_EQ(tdspenalty(0.002), 0.0);
  EXPECT_EQ(tdspenalty(nan), tdspenalty(-nan));
}

TEST_F(OneAtom, PhaseTdsInAngstrom) {
  ktest::free_phases();
  build({"HermannMauguin=Pm-3m", "UNIT=ANGSTROEM"});
  atom->tdskind = TDS_NONE;
  SetVar("TDS", 0.5);  // angstrom^2
  EXPECT_NEAR(factor(), std::exp(-0.25 * 0.005 * s2), 1e-14);
}

// The TDS variable of each reflection kind is found once: "TDS[iref]" where
// it exists, else "TDS"; the order of the first calls does not matter.
TEST_F(OneAtom, TdsOfEachReflectionKind) {
  for (bool kind1first : {false, true}) {
    ktest::free_phases();
    build({"HermannMauguin=Pm-3m", "RefMult=2"});
    atom->tdskind = TDS_NONE;
    SetVar("TDS", 0.003);
    const int two = 2;
    SetIndexVar("TDS", 1, &two, 0.007);  // kind 1 (iref = 2) only
    double f[2];
    for (int32_t kind :
         kind1first ? std::vector<int32_t>{1, 0, 1, 0} : std::vector<int32_t>{0, 1, 0, 1}) {
      SetVar("iref", kind + 1);
      f[kind] = factor(kind);
    }
    EXPECT_NEAR(f[0], std::exp(-0.25 * 0.003 * s2), 1e-14) << kind1first;
    EXPECT_NEAR(f[1], std::exp(-0.25 * 0.007 * s2), 1e-14) << kind1first;
    EXPECT_EQ(p->ntdsprobes, 2);
    DelIndexVar("TDS", 1, &two);
  }
}

TEST_F(OneAtom, UnreadableTdsFailsTheReflection) {
  struct Case {
    const char* what;
    int32_t kind;
    bool phasetds;  // the phase's TDS can be read
    std::string message;
  } cases[] = {
      {"phase TDS that no longer evaluates", TDS_ISO, false, ktest::message(-9, "TDS")},
      {"atom TDS that does not evaluate", TDS_PERREFLECTION, true, ktest::message(261, 1)},
  };
  SetStrVar("TDS", "2*q");
  SetVar("q", 0.002);
  newDATAlist();
  SetStrVar("TDS", "nowhere+1");
  atom->scope = pushDATAlist();
  factor();  // the kind is probed while TDS can be read
  for (const Case& c : cases) {
    if (c.phasetds)
      SetVar("q", 0.002);
    else
      DelVar("q");
    atom->tdskind = c.kind;
    testing::internal::CaptureStdout();
    double out[4];
    const bool ok = dataerr_try([&] { fcalc(out, 1, 0, nullptr, &F, 0, s2); });
    const std::string printed = testing::internal::GetCapturedStdout();
    ClearErr();
    EXPECT_FALSE(ok) << c.what;
    EXPECT_EQ(printed, c.message) << c.what;
    EXPECT_NE(atom->scope, nullptr) << c.what;  // the atom's scope is detached again
  }
}

// With output components every atom adds its terms with its weight for each
// component, and the sums of the reflection stay 0.
TEST_F(OneAtom, ComponentsWeighEveryAtom) {
  ktest::free_phases();
  const double cell[6] = {0.3, 0, 0, 0, 0, 0};
  p = ktest::make_structure({"HermannMauguin=Pm-3m", "FMult=2"}, cell,
                            {{"E=Fe", "a", 0, 0, 0, 0.005}, {"E=O", "b", 0, 0, 0, 0.007}}, true);
  ASSERT_NE(p, nullptr);
  AtomRecord* fe = p->atoms;
  AtomRecord* o = fe->next;
  const double w[2][2] = {{0.25, 1.0}, {0.0, 2.0}};  // [atom][component]
  for (int j = 0; j < 2; ++j) {
    fe->weights[j] = w[0][j];
    o->weights[j] = w[1][j];
  }
  double components[2][4];
  double out[4] = {9, 9, 9, 9};
  fcalc(out, 1, 0, components, &F, 0, s2);
  for (double v : out) EXPECT_EQ(v, 0.0);
  // Fe at the origin: f T; O at (1/2, 1/2, 1/2): -f T for (1, 0, 0).
  const Amplitude ffe = f1(fe->elements, 1, 1, s2), fo = f1(o->elements, 1, 1, s2);
  const double tfe = std::exp(-0.25 * 0.005 * s2), to = std::exp(-0.25 * 0.007 * s2);
  for (int j = 0; j < 2; ++j) {
    const double re = w[0][j] * tfe * ffe.re - w[1][j] * to * fo.re;
    const double im = w[0][j] * tfe * ffe.im - w[1][j] * to * fo.im;
    EXPECT_NEAR(components[j][0], re, 1e-12) << j;
    EXPECT_NEAR(components[j][1], im, 1e-12) << j;
    EXPECT_NEAR(components[j][2], re, 1e-12) << j;  // centrosymmetric: F(-h) = F(h)
    EXPECT_NEAR(components[j][3], im, 1e-12) << j;
  }
  // Without components an atom of weight 0 for the kind is left out.
  fe->weights[0] = 0.0;
  fcalc(out, 1, 0, nullptr, &F, 0, s2);
  EXPECT_NEAR(out[0], -o->weights[0] * to * fo.re, 1e-12);
}

TEST_F(StructureFactor, ScatteringPowerOfSpecies) {
  ElementRecord e[2] = {};
  e[0].occupancy = 0.25;
  e[1].occupancy = 0.75;
  for (int i = 0; i < SD_COUNT; ++i) {
    e[0].scat[i] = i + 1;
    e[1].scat[i] = 2 * (i + 1);
  }
  for (int i = 0; i < 4; ++i) e[0].scat[SD_B1 + i] = e[1].scat[SD_B1 + i] = 0.0;
  const Amplitude none = f1(e, 0, 1, 5.0);
  EXPECT_EQ(none.re, 0.0);
  EXPECT_EQ(none.im, 0.0);
  // X-rays at s2 with zero b: f = c + a1 + ... + a4 (+ f', and f'' as imaginary).
  const double fx0 = 9 + 1 + 2 + 3 + 4;
  Amplitude x = f1(e, 2, 0, 5.0);
  EXPECT_DOUBLE_EQ(x.re, 0.25 * fx0 + 0.75 * 2 * fx0);
  EXPECT_EQ(x.im, 0.0);
  x = f1(e, 2, 1, 5.0);
  EXPECT_DOUBLE_EQ(x.re, 0.25 * (fx0 + 11) + 0.75 * 2 * (fx0 + 11));
  EXPECT_DOUBLE_EQ(x.im, 0.25 * 12 + 0.75 * 24);
  setneutrons(true);
  Amplitude n = f1(e, 2, 0, 5.0);
  EXPECT_DOUBLE_EQ(n.re, 0.25 * 16 + 0.75 * 32);
  EXPECT_EQ(n.im, 0.0);
  n = f1(e, 2, 1, 5.0);
  EXPECT_DOUBLE_EQ(n.re, 0.25 * (16 + 13) + 0.75 * (32 + 26));
  EXPECT_DOUBLE_EQ(n.im, 0.25 * 14 + 0.75 * 28);
}

// The formula function F over an ad-hoc atom list of the current phase.
class UserStructureFactor : public OneAtom {
 protected:
  void SetUp() override {
    OneAtom::SetUp();
    SetUserFkt("F", -3, fuser);
    SetVar("h", 1);
    SetVar("k", 0);
    SetVar("l", 0);
  }
  // Scattering power of a species at (1, 0, 0), as F uses it.
  Amplitude species(const char* name) {
    ElementRecord e{};
    e.occupancy = 1.0;
    EXPECT_EQ(afaparm(name, e.scat), 1);
    return f1(&e, 1, 1, s2);
  }
};

TEST_F(UserStructureFactor, SpeciesListsPositionsAndFaults) {
  const Amplitude fe = species("Fe"), o = species("O");
  const double t = std::exp(-0.25 * 0.004 * s2);
  auto mod = [](double re, double im) { return std::hypot(re, im); };
  struct Case {
    const char* formula;
    double value;         // NaN: F fails
    std::string printed;  // what F prints
  };
  const double fail = std::nan("");
  const Case cases[] = {
      {"F(phi,E=Fe,Wyckoff=a,TDS=0)", mod(fe.re, fe.im), ""},
      {"F(phi,E=Fe,Wyckoff=a,TDS=0.004)", t * mod(fe.re, fe.im), ""},
      {"F(phi,E=Fe(0.5),Wyckoff=a,TDS=0)", 0.5 * mod(fe.re, fe.im), ""},
      {"F(phi,E=(Fe(0.5),O),Wyckoff=a,TDS=0)", mod(0.5 * (fe.re + o.re), 0.5 * (fe.im + o.im)), ""},
      {"F(phi,E=(Fe(2),O(2)),Wyckoff=a,TDS=0)", mod(0.5 * (fe.re + o.re), 0.5 * (fe.im + o.im)),
       ""},
      {"F(phi,E=(Fe,O),Wyckoff=a,TDS=0)", mod(0.5 * (fe.re + o.re), 0.5 * (fe.im + o.im)), ""},
      // Two atoms: Fe at the origin, O at the body centre (phase pi for h = 1).
      {"F(phi,E=Fe,Wyckoff=a,TDS=0,E=O,Wyckoff=b,TDS=0)", mod(fe.re - o.re, fe.im - o.im), ""},
      // A free coordinate: Fe on the six sites x00, 00-x, 00x, 0x0, 0-x0, -x00
      // of position e with x = 1/4, of which four add f and two nothing.
      {"F(phi,E=Fe,Wyckoff=e,x=0.25,TDS=0)", 4 * mod(fe.re, fe.im), ""},
      {"F(phi,E=Fe,Wyckoff=q,TDS=0)", fail, ktest::message(-20, "q")},
      {"F(phi,E=Fe,Wyckoff=a,nosuch(1),TDS=0)", fail, ktest::message(-6, "nosuch(1)")},
      {"F(phi,E=(Fe,O)x,Wyckoff=a,TDS=0)", fail, ktest::message(-192, "E=(Fe,O)x")},
      {"F(phi,E=Fe(0.5)x,Wyckoff=a,TDS=0)", fail, ktest::message(-192, "E=Fe(0.5)x")},
      {"F(phi,E=Xq,Wyckoff=a,TDS=0)", fail, ktest::message(34, "Xq") + ktest::message(-192, "Xq")},
      {"F(phi,E=Fe(0),Wyckoff=a,TDS=0)", fail, ktest::message(-192, "E=Fe(0)")},
      {"F(phi,E=Fe,Wyckoff=a)", fail, ""},  // no TDS to read
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    double v = fail;
    if (!dataerr_try([&] { v = Wert(c.formula); })) v = fail;
    ClearErr();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, c.printed) << c.formula;
    if (std::isnan(c.value)) {
      EXPECT_TRUE(std::isnan(v)) << c.formula;
    } else {
      EXPECT_NEAR(v, c.value, 1e-12 * c.value) << c.formula;
    }
  }
  // The phase angle goes to the first argument; the statements leave the
  // caller's variables alone.
  SetVar("x", 0.3);
  SetVar("TDS", 0.02);
  ASSERT_NEAR(Wert("F(phi,E=Fe,Wyckoff=e,x=0.1,TDS=0)"), Wert("F(psi,E=Fe,Wyckoff=e,x=0.1,TDS=0)"),
              0);
  EXPECT_EQ(GetVar("x"), 0.3);
  EXPECT_EQ(GetVar("TDS"), 0.02);
  EXPECT_NEAR(GetVar("phi"), std::atan2(fe.im, fe.re) * 180 / M_PI, 1e-10);
  // Where every contribution vanishes, |F| and the angle are 0.
  EXPECT_EQ(Wert("F(phi,E=Fe,Wyckoff=a,TDS=1e9)"), 0.0);
  EXPECT_EQ(GetVar("phi"), 0.0);
}

// The line computation calls the structure factor on every worker at once:
// the TDS variable of each kind is found once for all of them, and each
// worker's temperature-factor penalty goes to its own slot.
std::atomic<int> workerfaults{0};
OneAtom* shared = nullptr;

TEST_F(OneAtom, WorkersShareTheTdsProbesAndKeepTheirOwnPenalties) {
  shared = this;
  const auto r = ktest::run_in_child([] {
    nthreads = 4;
    OneAtom& t = *shared;
    t.build({"HermannMauguin=Pm-3m", "RefMult=3"});  // a second phase, with slots for the workers
    SetVar("TDS", 0.003);
    const int two = 2;
    SetIndexVar("TDS", 1, &two, 0.007);
    t.atom->tdskind = TDS_NONE;
    initDATAthreads();
    nspawn(
        [](uint64_t) {
          dataerr_try([] {
            OneAtom& t = *shared;
            for (int round = 0; round < 20; ++round)
              for (int32_t kind = 0; kind < 3; ++kind) {
                SetVar("iref", kind + 1);
                double out[4];
                fcalc(out, 1, kind, nullptr, &t.F, 0, t.s2);
                const Amplitude f = f1(t.atom->elements, 1, 1, t.s2);
                const double B = kind == 1 ? 0.007 : 0.003;
                if (std::fabs(modulus(out) / std::hypot(f.re, f.im) - std::exp(-0.25 * B * t.s2)) >
                    1e-14)
                  ++workerfaults;
              }
          });
        },
        1, 0);
    nwait();
    // A once-evaluated negative TDS: every worker writes its own slot, the
    // main thread's slot keeps its value.
    t.atom->tdskind = TDS_ONCE;
    t.atom->B = -0.002;
    t.atom->penalty = 7.0;
    nspawn(
        [](uint64_t) {
          dataerr_try([] {
            double out[4];
            fcalc(out, 1, 0, nullptr, &shared->F, 0, shared->s2);
          });
        },
        1, 0);
    nwait();
    exitDATAthreads();
    int slots = 0;
    for (int i = 0; i < nthreads; ++i) slots += t.atom->threadpenalty[i] == -200.0;
    std::printf("%d %d %d %g\n", workerfaults.load(), t.p->ntdsprobes, slots, t.atom->penalty);
    std::fflush(stdout);
    std::_Exit(0);
  });
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "0 3 4 7\n");
  EXPECT_EQ(r.err, "");
}

// Each thread keeps what the structure factor worked out for a record and
// takes a value again only when its inputs have the same bits. Between
// evaluations that each change one thing (as the finite-difference probes
// do), the workers, whose memos hold what earlier evaluations left, and the
// main thread give, to the bit, what a thread that never saw the records
// computes afresh; so do they in line passes, which give each record to one
// of them and in which an atom's terms and a record's sums are taken again
// as a whole, from blocks the threads share, while the stamps of the
// structure's inputs hold. Two structures: one without centring with a mixed
// site, one body-centred.
struct KeptCase {
  PhaseRecord* p = nullptr;
  std::vector<const FRecord*> records;
  std::vector<double> sk;
  std::vector<double> want[2];  // 4 per record, computed afresh; without and with f', f''
  AtomRecord* left = nullptr;   // an atom taken out of the list
  double x0 = 0.0, z0 = 0.0;    // the first atom's coordinates
  double s2scale = 1.0;
  int32_t index = 0;
  std::atomic<int> faults{0};
  std::atomic<size_t> next{0};  // the next record of a line pass
} kept;

// One record's four values into out.
void onefactor(size_t i, int anomalous, double out[4]) {
  const FRecord* F = kept.records[i];
  for (int j = 0; j < 4; ++j) out[j] = 0.0;
  fcalc(out, anomalous, 0, nullptr, F, std::min(kept.index, F->nequiv - 1),
        kept.s2scale * kept.sk[i]);
}

std::vector<double> allfactors(int anomalous) {
  std::vector<double> out;
  for (size_t i = 0; i < kept.records.size(); ++i) {
    double v[4];
    onefactor(i, anomalous, v);
    out.insert(out.end(), v, v + 4);
  }
  return out;
}

bool samebits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
}

TEST_F(StructureFactor, KeptValuesAreTheValuesComputedAfresh) {
  const auto r = ktest::run_in_child([] {
    nthreads = 4;
    struct Structure {
      std::vector<std::string> header;
      double cell[6];
      std::vector<ktest::AtomSpec> atoms;
    } structures[] = {
        {{"HermannMauguin=Pnma"},
         {0.8497, 0.5409, 0.6974, 0, 0, 0},
         {{"E=Pb", "c", 0.1875, 0.25, 0.1672, 0.01},
          {"E=(S(0.9),Se)", "c", 0.0649, 0.25, 0.6835, 0.008},
          {"E=O", "c", -0.093, 0.25, 0.5954, 0.012},
          {"E=O", "d", 0.0809, 0.0269, 0.8093, 0.011}}},
        {{"HermannMauguin=Im-3m"},
         {0.41, 0, 0, 0, 0, 0},
         {{"E=Fe", "e", 0.31, 0, 0, 0.006}, {"E=(Co(0.4),Ni)", "a", 0, 0, 0, 0.005}}},
    };
    using Change = void (*)();
    const struct Step {
      const char* what;
      Change change;
    } steps[] = {
        {"the first evaluation", [] {}},
        {"the first atom moved",
         [] { ktest::place_sites(kept.p, kept.p->atoms, kept.x0 + 0.002, 0.25, kept.z0); }},
        {"the first atom back",
         [] { ktest::place_sites(kept.p, kept.p->atoms, kept.x0, 0.25, kept.z0); }},
        {"a displacement", [] { kept.p->atoms->next->B += 0.0003; }},
        {"an occupancy", [] { kept.p->atoms->next->elements[0].occupancy *= 0.9; }},
        {"f' of a species", [] { kept.p->atoms->next->elements[1].scat[SD_FP] += 0.25; }},
        {"the cell: every s^2", [] { kept.s2scale = 1.0003; }},
        {"anisotropic displacements from stage 2",
         [] {
           durchlauf = 2;
           AtomRecord* a = kept.p->atoms;
           a->tdskind = TDS_ANISO;
           for (int32_t s = 0; s < a->wyckoff->count; ++s)
             for (int i = 0; i < 6; ++i) a->sites[s].b[i] = i < 3 ? 0.001 * (i + s + 1) : 0.0;
         }},
        {"stage 0",
         [] {
           durchlauf = 0;
           kept.p->atoms->tdskind = TDS_ISO;
         }},
        {"neutrons", [] { setneutrons(true); }},
        {"X-rays", [] { setxray(true); }},
        {"an atom left out",
         [] {
           kept.left = kept.p->atoms;
           kept.p->atoms = kept.left->next;
         }},
        {"the atom back", [] { kept.p->atoms = kept.left; }},
        {"a species fewer", [] { kept.p->atoms->next->nelements = 1; }},
        {"both species", [] { kept.p->atoms->next->nelements = 2; }},
        {"another equivalent", [] { kept.index = 1; }},
        {"the representative", [] { kept.index = 0; }},
    };
    int unchanged = 0;
    std::string report;
    for (const Structure& st : structures) {
      ktest::free_phases();
      setxray(true);
      kept.p = ktest::make_structure(st.header, st.cell, st.atoms, true);
      if (kept.p == nullptr) std::_Exit(3);
      ktest::generate_reflections(25.0);
      kept.records.clear();
      kept.sk.clear();
      for (int i = 0; i < kept.p->nrefl; ++i)
        for (const FRecord* F : {kept.p->refl[i]->fr1, kept.p->refl[i]->fr2})
          if (F != nullptr) {
            kept.records.push_back(F);
            kept.sk.push_back(kept.p->refl[i]->sk);
          }
      kept.s2scale = 1.0;
      kept.x0 = st.atoms[0].x;
      kept.z0 = st.atoms[0].z;
      std::vector<double> before;
      initDATAthreads();
      for (const Step& step : steps) {
        step.change();
        std::thread afresh([] {
          for (int a = 0; a < 2; ++a) kept.want[a] = allfactors(a);
        });
        afresh.join();
        // A step that changes nothing would show nothing.
        if (samebits(kept.want[1], before)) {
          ++unchanged;
          report += std::string(step.what) + "; ";
        }
        before = kept.want[1];
        // The workers at once on the same records, with and without f' and
        // f'' by turns: the first round from what the last step left.
        nspawn(
            [](uint64_t) {
              for (int round = 0; round < 3; ++round) {
                const int a = (threadid() + round) % 2;
                if (!dataerr_try([a] {
                      if (!samebits(allfactors(a), kept.want[a])) ++kept.faults;
                    }))
                  ++kept.faults;
              }
            },
            1, 0);
        nwait();
        // Line passes: the records shared out among the workers, each to
        // one of them, with and without f' and f'' by turns.
        for (int pass = 0; pass < 3; ++pass) {
          stampstructure(kept.p);
          kept.next = 0;
          nspawn(
              [](uint64_t pass) {
                for (size_t i = kept.next++; i < kept.records.size(); i = kept.next++) {
                  const int a = static_cast<int>((i + pass) % 2);
                  double v[4];
                  if (!dataerr_try([&] { onefactor(i, a, v); }) ||
                      std::memcmp(v, kept.want[a].data() + 4 * i, sizeof v) != 0)
                    ++kept.faults;
                }
              },
              0, static_cast<uint64_t>(pass));
          nwait();
          endstructurestamps();
        }
        stampstructure(kept.p);
        for (int a = 0; a < 2; ++a)
          if (!samebits(allfactors(a), kept.want[a])) {
            ++kept.faults;
            report += std::string(step.what) + " (line pass); ";
          }
        endstructurestamps();
        for (int a = 0; a < 2; ++a)
          if (!samebits(allfactors(a), kept.want[a])) {
            ++kept.faults;
            report += std::string(step.what) + "; ";
          }
      }
      exitDATAthreads();
    }
    std::printf("%d faults, %d unchanged: %s\n", kept.faults.load(), unchanged, report.c_str());
    std::fflush(stdout);
    std::_Exit(0);
  });
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "0 faults, 0 unchanged: \n");
  EXPECT_EQ(r.err, "");
}

}  // namespace
