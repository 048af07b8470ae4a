// The reflection line computation on the calling thread: Si 111 against a
// hand calculation of its intensity, breadths and position; per-kind
// quantities; the plan's errors for a reflection and its inverse that
// disagree, breadths that cannot be found, an undefined weight; Le Bail
// kinds; the fatal range checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "crystal_harness.hpp"
#include "model/lam.hpp"
#include "model/modell.hpp"
#include "refinement_fixture.hpp"

namespace {

using namespace core;
using namespace crystal;

constexpr double kPi = 3.14159265358979323846;
constexpr double kLambda = 0.15406;

struct Install : ktest::CopperInstall {
  Install() { ktest::single_wavelength(kLambda); }
  ~Install() {
    model::freelam();
    eps1 = eps2 = eps3 = eps4 = 0.0;
    durchlauf = 0;
  }
};

// A phase with its atoms (E= item, then the atom's items) set up by xyzinit
// in the current scope.
PhaseRecord* phase(const std::vector<std::string>& header,
                   const std::vector<std::vector<std::string>>& atoms) {
  PhaseRecord* p = ktest::make_phase(header);
  for (const auto& a : atoms)
    ktest::make_atom(p, a[0], std::vector<std::string>(a.begin() + 1, a.end()), true);
  phasei = p;
  EXPECT_TRUE(dataerr_try([] { xyzinit(); })) << GetErr(1);
  return p;
}

// Reflection (h, k, l) of kind iref appended to the phase's list, with its
// equivalents and, unless (-h, -k, -l) is one of them, its inverse.
ReflectionRecord* reflection(PhaseRecord* p, int h, int k, int l, int iref = 0) {
  ReflectionRecord* r = nullptr;
  {
    const ktest::HklTable table;
    r = newreflection(0.0, iref);
    r->fr1 = newfrecord(0.0, p->FMult);
    hklbau(r->fr1, h, k, l);
    if (isintable(-h, -k, -l) == 0) {
      r->fr2 = newfrecord(0.0, p->FMult);
      r->count = 2;
      hklbau(r->fr2, -h, -k, -l);
    }
  }
  p->refl = static_cast<ReflectionRecord**>(
      // An array of pointers to the reflections.
      // NOLINTNEXTLINE(bugprone-sizeof-expression)
      std::realloc(p->refl, sizeof(ReflectionRecord*) * static_cast<size_t>(p->nrefl + 1)));
  p->refl[p->nrefl++] = r;
  return r;
}

// A peak set with one peak of the phase's kind per reflection.
struct Peaks {
  explicit Peaks(PhaseRecord* p) {
    const int n = p->nrefl;
    model::peakalloc(nullptr, &param, 0, 0, 0, p->RP == 2 ? n : 0, p->RP == 3 ? n : 0,
                     p->RP == 4 ? n : 0);
    for (int i = 0; i < n; ++i) p->refl[i]->slot = i;
  }
  ~Peaks() { model::peakfree(&param); }
};

// computeline in a scope of its own, as a worker runs it; false when it left
// through the error frame (the message then stands in *out).
bool line(ReflectionRecord* r, std::string* out = nullptr) {
  testing::internal::CaptureStdout();
  newDATAlist();
  const bool ok = dataerr_try([&] { computeline(r); });
  DelAll();
  freeDATAlist();
  std::fflush(stdout);
  const std::string text = testing::internal::GetCapturedStdout();
  if (out != nullptr) *out = text;
  return ok;
}

// A scope of its own for each case's formulas.
struct Scope {
  Scope() { newDATAlist(); }
  ~Scope() {
    DelAll();
    freeDATAlist();
  }
};

// A store with measured points, so that the weight is the phase's own.
struct Points {
  Points() { model::m = 1; }
  ~Points() { model::m = 0; }
};

// Si 111, four peak parameters, everything from the phase's formulas: the
// intensity |F|^2 G H / (4 pi s2 V^2 rho), the breadths B1 and
// B2 = k1 B1^2 + k2 s2 + k3 (2 l0 cos theta cot 2theta)^2 and the position
// 1/d + DELTAsk - (EPS1 - EPS10) sqrt(4 l0^2 - s2), worked out by hand.
TEST(Line, SiliconAgainstHandCalculation) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  Points points;
  PhaseRecord* p = phase({"HermannMauguin=Fd-3m", "A=0.54311", "GEWICHT=2.5", "B1=0.002+0.001*sk",
                          "k1=0.5", "k2=1e-6", "k3=1e-7", "DELTAsk=0.001"},
                         {{"E=Si", "Wyckoff=a", "TDS=0.004"}});
  ReflectionRecord* r = reflection(p, 1, 1, 1);
  Peaks peaks(p);
  eps1 = 1e-4;
  eps10 = 0.0;
  ASSERT_TRUE(line(r));

  const double s2 = 3.0 / (0.54311 * 0.54311);
  const double l0 = 1.0 / kLambda;
  EXPECT_NEAR(r->sk, s2, 1e-12 * s2);
  EXPECT_EQ(r->fr2, nullptr);
  EXPECT_EQ(r->fr1->nequiv, 8);

  const double* sd = p->atoms->elements[0].scat;
  double f = sd[SD_C] + sd[SD_FP];
  for (int j = 0; j < 4; ++j) f += sd[SD_A1 + j] * std::exp(-0.0025 * s2 * sd[SD_B1 + j]);
  const double T = std::exp(-0.25 * 0.004 * s2);
  const double F2 = 32.0 * (f * f + sd[SD_FPP] * sd[SD_FPP]) * T * T;
  EXPECT_NEAR(r->fr1->F * r->fr1->F, F2, 1e-9 * F2);
  const double V2 = std::pow(0.54311, 6);
  const double I = F2 * 2.5 * 8 * 0.079577472 / (s2 * V2 * p->density);
  EXPECT_NEAR(p->density, 2.329, 0.002);
  EXPECT_NEAR(r->intensity, I, 1e-9 * I);
  EXPECT_EQ(r->fr1->gewicht, 2.5);

  const double sk = std::sqrt(s2);
  const double B1 = 0.002 + 0.001 * sk;
  const double sint = sk / (2 * l0), cost = std::sqrt(1 - sint * sint);
  const double cot2t = (2 * cost * cost - 1) / (2 * sint * cost);
  const double t = 2 * l0 * cost * cot2t;
  const double B2 = 0.5 * B1 * B1 + 1e-6 * s2 + 1e-7 * t * t;
  EXPECT_NEAR(r->B1, B1, 1e-15);
  EXPECT_NEAR(r->B2, B2, 1e-15);
  EXPECT_NEAR(r->skshift, sk + 0.001, 1e-13);
  const double P = sk + 0.001 - 1e-4 * std::sqrt(4 * l0 * l0 - s2);
  EXPECT_NEAR(r->position, P, 1e-12);

  // The peak in its slot, as floats.
  const float* b = param->par4;
  EXPECT_EQ(b[0], static_cast<float>(r->intensity));
  EXPECT_EQ(b[1], static_cast<float>(r->position));
  EXPECT_EQ(b[2], static_cast<float>(B1));
  EXPECT_EQ(b[3], static_cast<float>(r->B2));
  EXPECT_EQ(param->ix4[0], p->number - 1);
  // The variables of the line are gone again.
  EXPECT_FALSE(dataerr_try([] { GetVar("zweiTheta"); }));
}

// "NAME[iref]" wins over "NAME" for the kinds that have it: B1[2] and
// DELTAsk[2] for the second reflection kind only; the first kind reads the
// plain names. B2 given directly is used as it is, times 100 for a phase in
// angstrom, like B1 and DELTAsk times 10.
TEST(Line, PerKindQuantities) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  Points points;
  for (const bool angstroem : {false, true}) {
    ktest::PhaseList each;
    Scope formulas;
    std::vector<std::string> header = {
        "HermannMauguin=Fd-3m", "RefMult=2", "GEWICHT=1",     "B1=0.003",
        "B1[2]=0.005",          "B2=2e-5",   "DELTAsk=0.001", "DELTAsk[2]=0.002"};
    header.push_back(angstroem ? "A=5.4311" : "A=0.54311");
    if (angstroem) header.push_back("UNIT=ANGSTROEM");
    PhaseRecord* p = phase(header, {{"E=Si", "Wyckoff=a", "TDS=0.004"}});
    ReflectionRecord* first = reflection(p, 2, 2, 0, 0);
    ReflectionRecord* second = reflection(p, 2, 2, 0, 1);
    Peaks peaks(p);
    ASSERT_TRUE(line(first));
    ASSERT_TRUE(line(second));
    const double u = angstroem ? 10.0 : 1.0;
    const double sk = std::sqrt(8.0) / 0.54311;
    EXPECT_NEAR(first->B1, 0.003 * u, 1e-15) << angstroem;
    EXPECT_NEAR(second->B1, 0.005 * u, 1e-15) << angstroem;
    EXPECT_NEAR(first->B2, 2e-5 * u * u, 1e-17) << angstroem;
    EXPECT_NEAR(first->skshift, sk + 0.001 * u, 1e-12) << angstroem;
    EXPECT_NEAR(second->skshift, sk + 0.002 * u, 1e-12) << angstroem;
    // Without any shift of 2theta or of the zero the position is the shifted 1/d.
    EXPECT_EQ(first->position, first->skshift);
    ASSERT_NE(p->probes, nullptr);
    EXPECT_EQ(p->nprobes, 2);
    EXPECT_FALSE(p->probes[0].found[FOUND_B1_IREF]);
    EXPECT_TRUE(p->probes[0].found[FOUND_B1]);
    EXPECT_TRUE(p->probes[1].found[FOUND_B1_IREF]);
    EXPECT_TRUE(p->probes[1].found[FOUND_B2]);
  }
}

// A shift of 2theta moves the line by DELTAzweiTheta degrees; a kind that is
// refined Le Bail-wise keeps its intensity, has |F| = 0 and still gets its
// position and breadths; three peak parameters write B1 only.
TEST(Line, TwoThetaShiftAndLeBail) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  Points points;
  PhaseRecord* p = phase({"HermannMauguin=Fd-3m", "A=0.54311", "RP=3", "RefMult=2", "LeBail=2",
                          "GEWICHT=1", "B1=0.004", "DELTAzweiTheta=0.05"},
                         {{"E(1)=Si", "Wyckoff=a", "TDS=0.004"}});
  ASSERT_EQ(p->lebail[1], 1);
  ReflectionRecord* lebail = reflection(p, 1, 1, 1, 1);
  lebail->intensity = 1234.5;
  Peaks peaks(p);
  ASSERT_TRUE(line(lebail));
  EXPECT_EQ(lebail->intensity, 1234.5);
  EXPECT_EQ(lebail->fr1->F, 0.0);
  const double l0 = 1.0 / kLambda, sk = std::sqrt(3.0) / 0.54311;
  const double tt = std::asin(sk / (2 * l0)) * 360 / kPi + 0.05;
  EXPECT_NEAR(lebail->position, 2 * l0 * std::sin(tt * kPi / 360), 1e-12);
  EXPECT_EQ(param->par3[0], 1234.5f);
  EXPECT_EQ(param->par3[2], 0.004f);
  EXPECT_EQ(lebail->B1, 0.004);
}

// Errors of a line that leave through the caller's frame with their message:
// a breadth that differs between a reflection and its inverse (ZnS has no
// centre of symmetry: 111 and -1-1-1 are two records), breadths or weight
// that cannot be found at all.
TEST(Line, PlanErrors) {
  Install inst;
  ktest::RunScope scope;
  Points points;
  const std::vector<std::vector<std::string>> zns = {{"E=Zn", "Wyckoff=a", "TDS=0.005"},
                                                     {"E=S", "Wyckoff=c", "TDS=0.005"}};
  struct Case {
    const char* what;
    std::vector<std::string> header;
    std::string expect;
    int probed;  // kinds probed afterwards: a failed probe leaves its kind to be probed again
  };
  const Case cases[] = {
      {"B1 odd in h",
       {"RP=3", "B1=0.002+0.0001*h", "GEWICHT=1"},
       ktest::message(-221, "B1", -1, -1, -1, 1, 1, 1, 0.0019, 0.0021),
       1},
      {"DELTAsk[iref] odd in l",
       {"RP=2", "DELTAsk[1]=l/1000", "GEWICHT=1"},
       ktest::message(-221, "DELTAsk[iref]", -1, -1, -1, 1, 1, 1, -0.001, 0.001),
       1},
      {"RP 3 without B1", {"RP=3", "GEWICHT=1"}, ktest::message(-142), 0},
      {"B1 needs an undefined variable",
       {"RP=3", "B1=nothere*2", "GEWICHT=1"},
       ktest::message(-142),
       0},
      {"RP 4 without B2 or k1, k2, k3", {"RP=4", "B1=0.002", "GEWICHT=1"}, ktest::message(-141), 0},
      {"no GEWICHT anywhere", {"RP=3", "B1=0.002"}, "GEWICHT", 0},
  };
  for (const Case& c : cases) {
    ktest::PhaseList list;
    Scope formulas;
    std::vector<std::string> header = {"HermannMauguin=F-43m", "A=0.5409"};
    header.insert(header.end(), c.header.begin(), c.header.end());
    PhaseRecord* p = phase(header, zns);
    ReflectionRecord* r = reflection(p, 1, 1, 1);
    ASSERT_NE(r->fr2, nullptr);
    Peaks peaks(p);
    std::string out;
    EXPECT_FALSE(line(r, &out)) << c.what;
    const std::string error = GetErr(0) != nullptr ? GetErr(0) : "";
    EXPECT_NE((out + error).find(c.expect), std::string::npos) << c.what << ": " << out << error;
    ClearErr();
    EXPECT_EQ(p->nprobes, c.probed) << c.what;
  }
}

// Out-of-range quantities end the run with their message and status; on the
// calling thread at once.
TEST(Line, FatalRanges) {
  Install inst;
  struct Case {
    const char* what;
    std::vector<std::string> items;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {"k1 above 1", {"k1=1.5", "k2=0", "k3=0"}, 45, ktest::message(-45, 1, 1.0, 1.0, 1.0, 1.5)},
      {"k1 negative", {"k1=-0.5", "k2=0", "k3=0"}, 43, ktest::message(-43, 1, 1.0, 1.0, 1.0, -0.5)},
      {"k2 negative", {"k1=0", "k2=-1", "k3=0"}, 37, ktest::message(-37, 1, 1.0, 1.0, 1.0, -1.0)},
      {"B1 negative", {"B1=-0.002", "B2=0"}, 35, ktest::message(-35, 1, 1.0, 1.0, 1.0, -0.002)},
      {"B2 negative", {"B2=-1e-6"}, 35, ktest::message(-35, 1, 1.0, 1.0, 1.0, -1e-6)},
      {"weight negative", {"B2=0", "GEWICHT=-1"}, 46, ktest::message(-46, 1, 1.0, 1.0, 1.0, -1.0)},
      {"2theta beyond 180", {"B2=0", "DELTAzweiTheta=170"}, 62, ktest::message(-62)},
  };
  for (const Case& c : cases) {
    ktest::RunResult res = ktest::run_in_child([&] {
      ktest::RunScope scope;
      Points points;
      std::vector<std::string> header = {"HermannMauguin=Fd-3m", "A=0.54311", "RP=4", "GEWICHT=1",
                                         "B1=0.002"};
      header.insert(header.end(), c.items.begin(), c.items.end());
      PhaseRecord* p = phase(header, {{"E=Si", "Wyckoff=a", "TDS=0.004"}});
      ReflectionRecord* r = reflection(p, 1, 1, 1);
      Peaks peaks(p);
      newDATAlist();
      dataerr_try([&] { computeline(r); });
      std::exit(0);
    });
    EXPECT_EQ(res.status, c.status) << c.what << res.out;
    EXPECT_NE(res.out.find(c.message), std::string::npos) << c.what << ": " << res.out;
  }
}

}  // namespace
