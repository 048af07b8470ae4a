// Texture and anisotropy functions: the tensor of six parameters in every
// parametrisation, equal values over the equivalent reflections of cubic,
// hexagonal and trigonal groups after the symmetrisation, penalty rows, the
// mean over all directions, the clamps of the texture weight, and the formula
// functions with their fall-backs and failures.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/nspawn.hpp"
#include "crystal_harness.hpp"
#include "model/lam.hpp"
#include "structure_fixture.hpp"

namespace {

using namespace core;
using namespace crystal;

struct Install : ktest::CrystalInstall {
  Install() : CrystalInstall({"err.msg", "ordanix.dat"}) {}
};

// The formula functions of a phase, as the goal evaluation registers them,
// and the monomial tables that the structure set-up builds first.
void registerfunctions() {
  zaehlbau();
  SetUserFkt("sk", 3, sk);
  SetUserFkt("B1", 3, b1);
  SetUserFkt("k2", 3, k2);
  SetUserFkt("TDS", 3, globaltds);
  SetUserFkt("ANISO", 4, aniso);
  SetUserFkt("GEWICHT", 3, hklgewicht);
  SetUserFkt("GrainSize", 3, graindiameter);
}

double eval(const std::string& formula) {
  double v = 0;
  EXPECT_TRUE(dataerr_try([&] { v = Wert(formula.c_str()); })) << formula;
  return v;
}

bool fails(const std::string& formula) {
  return !dataerr_try([&] { Wert(formula.c_str()); });
}

// The equivalent reflections R^T h of (h, k, l) under the phase's operators.
std::vector<std::array<int, 3>> equivalents(const PhaseRecord* p, int h, int k, int l) {
  std::vector<std::array<int, 3>> out;
  for (int r = 0; r < p->group->general->count; ++r) {
    const double* R = p->operators + 13 * r + 3;
    std::array<int, 3> e;
    for (int j = 0; j < 3; ++j)
      e[j] = static_cast<int>(std::lround(R[j] * h + R[3 + j] * k + R[6 + j] * l));
    out.push_back(e);
  }
  return out;
}

TEST(Anisotropy, SixParametersGiveTheTensor) {
  struct Case {
    int form;
    bool flag;
    double p[6];
    double d[6];  // d00, d11, d22, d01, d02, d12
  };
  const Case cases[] = {
      // Scale factors without couplings: the squares on the diagonal.
      {0, true, {2, 3, 5, 0, 0, 0}, {4, 9, 25, 0, 0, 0}},
      // Their squares given: the values themselves.
      {0, false, {4, 9, 25, 0, 0, 0}, {4, 9, 25, 0, 0, 0}},
      // S M M^T S with the unit lower triangle M = [[1], [p3, 1], [p4, p5, 1]].
      {0,
       true,
       {2, 3, 5, 0.5, -0.25, 2},
       {4, (0.25 + 1) * 9, (0.0625 + 4 + 1) * 25, 2 * 3 * 0.5, 2 * 5 * -0.25,
        (0.5 * -0.25 + 2) * 3 * 5}},
      // L L^T with L = [[s0], [p3, s1], [p4, p5, s2]].
      {2,
       true,
       {2, 3, 5, 0.5, -0.25, 2},
       {4, 0.25 + 9, 0.0625 + 4 + 25, 2 * 0.5, 2 * -0.25, 0.5 * -0.25 + 3 * 2}},
  };
  for (const Case& c : cases) {
    anisochange = c.form;
    double p[6];
    std::memcpy(p, c.p, sizeof p);
    anisoinit(p, c.flag);
    const double got[6] = {d[0], d[4], d[8], d[1], d[2], d[5]};
    for (int i = 0; i < 6; ++i)
      EXPECT_DOUBLE_EQ(got[i], c.d[i]) << "form " << c.form << " component " << i;
    EXPECT_EQ(d[3], d[1]);
    EXPECT_EQ(d[6], d[2]);
    EXPECT_EQ(d[7], d[5]);
  }
  // Form 1 converts the parameters so that form 2 gives the tensor of form 0,
  // and leaves the tensor alone.
  for (bool flag : {true, false}) {
    double p[6] = {1.7, 0.4, 2.9, -0.3, 0.8, 1.1};
    anisochange = 0;
    anisoinit(p, flag);
    double d0[9];
    std::memcpy(d0, d, sizeof d0);
    anisochange = 1;
    anisoinit(p, flag);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(d[i], d0[i]);
    anisochange = 2;
    anisoinit(p, flag);
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(d[i], d0[i], 1e-14 * std::fabs(d0[i]) + 1e-15) << i;
  }
  anisochange = 0;
}

// After the symmetrisation the texture weight and every kind of anisotropy
// object take one value on all equivalent reflections, in cubic, hexagonal
// and trigonal (hexagonal axes) groups, while the raw coefficients do not; the
// penalty values vanish for a symmetric set.
TEST(Anisotropy, EquivalentReflectionsGetEqualValues) {
  Install inst;
  ktest::RunScope scope;
  registerfunctions();
  struct Case {
    const char* group;
    double cell[6];
  };
  const Case cases[] = {
      {"Fm-3m", {0.5431, 0, 0, 0, 0, 0}},  {"P63/mmc", {0.325, 0, 0.521, 0, 0, 0}},
      {"P-6m2", {0.41, 0, 0.37, 0, 0, 0}}, {"R-3c", {0.4759, 0, 1.2991, 0, 0, 0}},
      {"P-3", {0.5, 0, 0.6, 0, 0, 0}},
  };
  const int directions[][3] = {{1, 2, 3}, {2, -1, 5}, {4, 1, 0}, {3, 3, 1}};
  std::mt19937 random(17);
  std::uniform_real_distribution<double> u(-1, 1);
  for (const Case& c : cases) {
    for (int order : {4, 6}) {
      ktest::PhaseList list;
      PhaseRecord* p = ktest::make_structure(
          {"HermannMauguin=" + std::string(c.group), "GEWICHT=SPHAR" + std::to_string(order)},
          c.cell, {});
      ASSERT_NE(p, nullptr) << c.group;
      const int nops = p->group->general->count;
      ASSERT_GT(nops, 4) << c.group;
      SpharView v = spharview(p, order);
      for (int k = 0; k < v.N; ++k) v.c[k] = 0.02 * u(random);
      ktest::make_aniso(p, "L", ANISO_LINEAR, {1.3, 0.7, 1.9, 0.2, -0.4, 0.3});
      ktest::make_aniso(p, "Q", ANISO_SQUARE, {0.8, 1.1, 0.6, -0.1, 0.5, 0.2});
      std::vector<double> factor(21);
      for (double& f : factor) f = u(random);
      ktest::make_aniso(p, "F", ANISO_FOURTH, factor);
      p->anisosetup = 1;
      linstrafinit = 1;
      zaehlbau();
      const int rows = istraf;
      testing::internal::CaptureStdout();
      textursymmetrie(p);
      anisosymmetrie(p);
      const std::string out = testing::internal::GetCapturedStdout();
      EXPECT_EQ(out, ktest::message(49, 1, texturname[p->texture]) + ktest::message(50)) << c.group;
      // Penalty rows: the texture order's coefficients, six per quadratic
      // object, fifteen for the fourth-order one.
      EXPECT_EQ(istraf - rows, v.N + 6 + 6 + 15) << c.group;

      // In a cubic group a quadratic form is isotropic: only the fourth
      // and higher orders vary there.
      const bool cubic = p->lattice == LATTICE_CUBIC;
      const struct {
        const char* f;
        bool varies;
      } functions[] = {{"GEWICHT(%d,%d,%d)", true},
                       {"ANISO(L,%d,%d,%d)", !cubic},
                       {"ANISO(Q,%d,%d,%d)", !cubic},
                       {"ANISO(F,%d,%d,%d)", true}};
      for (const auto& [f, varies] : functions) {
        std::vector<double> values;
        for (const auto& dir : directions) {
          char text[64];
          std::snprintf(text, sizeof text, f, dir[0], dir[1], dir[2]);
          const double want = eval(text);
          values.push_back(want);
          for (const auto& e : equivalents(p, dir[0], dir[1], dir[2])) {
            std::snprintf(text, sizeof text, f, e[0], e[1], e[2]);
            EXPECT_NEAR(eval(text), want, 1e-12 * std::fabs(want)) << c.group << " " << text;
          }
        }
        // The function is not a constant: the test is not empty.
        if (varies) {
          EXPECT_GT(std::fabs(values[0] - values[2]), 1e-6 * std::fabs(values[0]))
              << c.group << " " << f;
        }
      }
      // The raw coefficients are not symmetric: they leave penalties; the
      // symmetrised ones leave none.
      double raw = 0;
      for (int k = 0; k < v.N; ++k) raw += std::fabs(v.q[k]);
      EXPECT_GT(raw, 1e-6) << c.group;
      for (int k = 0; k < v.N; ++k) v.c[k] = v.s[k];
      p->texturesetup = 0;
      p->anisosetup = 0;
      textursymmetrie(p);
      EXPECT_EQ(istraf - rows, v.N + 27) << "no second registration";
      for (int k = 0; k < v.N; ++k) EXPECT_NEAR(v.q[k], 0, 1e-12 * raw) << c.group << " " << k;
    }
  }
}

// A group of the identity alone leaves every coefficient as it is and
// registers no penalty row.
TEST(Anisotropy, IdentityAloneChangesNothing) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  const double cell[6] = {0.5, 0.6, 0.7, 80, 85, 95};
  PhaseRecord* p = ktest::make_structure({"HermannMauguin=P1", "GEWICHT=SPHAR2"}, cell, {});
  ASSERT_NE(p, nullptr);
  const double c[6] = {1, 2, 3, 4, 5, 6};
  std::memcpy(p->sphar2.c, c, sizeof c);
  AnisotropyRecord* o = ktest::make_aniso(p, "Q", ANISO_SQUARE, {0.8, 1.1, 0.6, -0.1, 0.5, 0.2});
  p->anisosetup = 1;
  const int rows = istraf;
  testing::internal::CaptureStdout();
  textursymmetrie(p);
  anisosymmetrie(p);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(istraf, rows);
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(p->sphar2.s[k], c[k]);
    EXPECT_EQ(p->sphar2.q[k], 0);
    EXPECT_EQ(o->t[k], o->first[k]);
    EXPECT_EQ(o->penalty[k], 0);
  }
}

// The mean over all directions: a constant texture function (its expansion
// proportional to 1/d^2) gives that constant, a quadratic form the third of
// its trace in Cartesian axes; the largest value is tracked while asked for.
TEST(Anisotropy, MeanOverAllDirections) {
  Install inst;
  ktest::in_child([] {
    zaehlbau();
    ktest::RunScope scope;
    ktest::PhaseList list;
    // The same cell in angstrom: the mean works in the cell as set up (nm).
    const double angstrom[6] = {5.2, 4.7, 6.1, 62, 118, 71};
    PhaseRecord* inangstrom = ktest::make_structure(
        {"HermannMauguin=P1", "GEWICHT=SPHAR2", "UNIT=ANGSTROEM"}, angstrom, {});
    ASSERT_NE(inangstrom, nullptr);
    const double cell[6] = {0.52, 0.47, 0.61, 62, 118, 71};
    PhaseRecord* p = ktest::make_structure({"HermannMauguin=P1", "GEWICHT=SPHAR2"}, cell, {});
    ASSERT_NE(p, nullptr);
    const double* g = p->rmetric;  // 11, 22, 33, 12, 23, 13
    const double kappa = 0.7;
    const double s[6] = {g[0], g[3], g[5], g[1], g[4], g[2]};
    for (int k = 0; k < 6; ++k) p->sphar2.s[k] = inangstrom->sphar2.s[k] = kappa * s[k];
    ifmaxgewicht = 1;
    phasei = inangstrom;
    inangstrom->gewichtmax = 0;
    EXPECT_NEAR(gewicht(nullptr), std::exp(kappa), 1e-10);
    EXPECT_NEAR(inangstrom->gewichtmax, std::exp(kappa), 1e-12);
    phasei = p;
    p->gewichtmax = 0;
    EXPECT_NEAR(gewicht(nullptr), std::exp(kappa), 1e-10);
    EXPECT_NEAR(p->gewichtmax, std::exp(kappa), 1e-12);

    // h^T t h with h = L u (G = L L^T) is u^T (L^T t L) u: its mean over the
    // sphere is the trace / 3, its maximum the largest eigenvalue.
    AnisotropyRecord* o = ktest::make_aniso(p, "Q", ANISO_SQUARE, {}, 2.0);
    const double t[6] = {0.9, 1.4, 0.3, 0.2, -0.1, 0.05};  // 11, 22, 33, 12, 13, 23
    std::memcpy(o->t, t, sizeof t);
    const double T[3][3] = {{t[0], t[3], t[4]}, {t[3], t[1], t[5]}, {t[4], t[5], t[2]}};
    double G[3][3] = {{p->metric[0], p->metric[3], p->metric[4]},
                      {p->metric[3], p->metric[1], p->metric[5]},
                      {p->metric[4], p->metric[5], p->metric[2]}};
    // trace(L^T T L) = trace(T G).
    double trace = 0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) trace += T[i][j] * G[j][i];
    p->gewichtmax = 0;
    EXPECT_NEAR(gewicht(o), 2.0 * trace / 3, 1e-9 * trace);
    EXPECT_GT(p->gewichtmax, 2.0 * trace / 3);
    ifmaxgewicht = 0;
    p->gewichtmax = -1;
    gewicht(o);
    EXPECT_EQ(p->gewichtmax, -1);
  });
}

// The mean of a hexagonal SPHAR4 texture and its maximum, printed.
void hexagonalmean() {
  ktest::PhaseList list;
  const double cell[6] = {0.41, 0, 0.67, 0, 0, 0};
  PhaseRecord* p = ktest::make_structure({"HermannMauguin=P63/mmc", "GEWICHT=SPHAR4"}, cell, {});
  ASSERT_NE(p, nullptr);
  for (int k = 0; k < 15; ++k) p->sphar4.c[k] = 0.01 * (k % 5 - 2);
  testing::internal::CaptureStdout();
  textursymmetrie(p);
  testing::internal::GetCapturedStdout();
  ifmaxgewicht = 1;
  p->gewichtmax = 0;
  const double mean = gewicht(nullptr);
  ifmaxgewicht = 0;
  std::printf("mean %.17g max %.17g\n", mean, p->gewichtmax);
}

// Runs with the pool of workers that KTEST_GEWICHT_THREADS asks for, as its
// own process (the pool is made once per process).
TEST(AnisotropyThreads, Helper) {
  const char* threads = std::getenv("KTEST_GEWICHT_THREADS");
  if (threads == nullptr) GTEST_SKIP() << "runs only as the helper of MeanOnTheWorkers";
  createmutex(&initmutex, false);
  nthreads = std::atoi(threads);
  Install inst;
  ktest::RunScope scope;
  hexagonalmean();
}

// The outer integral spread over the workers, which raise the maximum
// together: the same mean as on one worker, to the rounding of the sums.
TEST(AnisotropyThreads, MeanOnTheWorkers) {
  auto run = [](const char* count) {
    ktest::RunResult r =
        ktest::run_program("/proc/self/exe", {"--gtest_filter=AnisotropyThreads.Helper"}, "",
                           {{"KTEST_GEWICHT_THREADS", count}});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err.substr(0, 3000);
    double mean = 0, max = 0;
    const size_t at = r.out.find("mean ");
    EXPECT_NE(at, std::string::npos) << r.out;
    if (at != std::string::npos) {
      EXPECT_EQ(std::sscanf(r.out.c_str() + at, "mean %lf max %lf", &mean, &max), 2);
    }
    return std::array<double, 2>{mean, max};
  };
  const auto one = run("1");
  const auto four = run("4");
  EXPECT_GT(one[0], 0.5);
  EXPECT_NEAR(four[0], one[0], 1e-12 * one[0]);
  EXPECT_EQ(four[1], one[1]);
}

// The texture weight of the expansion is exp of it, held at both ends.
TEST(Anisotropy, TextureWeightIsClamped) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  registerfunctions();
  const double cell[6] = {0.4, 0, 0, 0, 0, 0};
  PhaseRecord* p = ktest::make_structure({"HermannMauguin=Pm-3m", "GEWICHT=SPHAR2"}, cell, {});
  ASSERT_NE(p, nullptr);
  const struct {
    double x, weight;
  } cases[] = {{-30, 1.0842021724855044e-13},
               {31, 18446743523953.73},
               {-29.8, std::exp(-29.8)},
               {30.5, std::exp(30.5)}};
  for (const auto& c : cases) {
    // x (h^2 + k^2 + l^2) a*^2 / Q = x.
    const double s = c.x * p->rmetric[0];
    const double coef[6] = {s, 0, 0, s, 0, s};
    std::memcpy(p->sphar2.s, coef, sizeof coef);
    EXPECT_NEAR(eval("GEWICHT(1,2,3)"), c.weight, 1e-13 * c.weight) << c.x;
  }
  p->texture = TEXTURE_SPHAR0;
  p->GEWICHT = 0.75;
  EXPECT_EQ(eval("GEWICHT(1,2,3)"), 0.75);
  // NONE: the anisotropy object GEWICHT, else a failure.
  p->texture = TEXTURE_NONE;
  EXPECT_TRUE(fails("GEWICHT(1,2,3)"));
  ktest::make_aniso(p, "GEWICHT", ANISO_CONSTANT, {}, 1, 1.25);
  EXPECT_EQ(eval("GEWICHT(1,2,3)"), 1.25);
}

// ANISO: objects by name (the earliest defined of equal names) with their
// scale, else the variable of that name with the direction's values; sk in
// the phase's unit; the short forms and their zero on failure.
TEST(Anisotropy, FormulaFunctions) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  registerfunctions();
  model::l0 = 1 / 0.15406;  // Cu K alpha 1, nm^-1
  for (int unit : {UNIT_NM, UNIT_ANGSTROEM}) {
    const double a = unit == UNIT_NM ? 0.4 : 4.0;
    const double cell[6] = {a, 0, 0, 0, 0, 0};
    PhaseRecord* p = ktest::make_structure(
        {"HermannMauguin=Pm-3m", unit == UNIT_NM ? "UNIT=NM" : "UNIT=ANGSTROEM"}, cell, {});
    ASSERT_NE(p, nullptr);
    const double sk1 = std::sqrt(1.0 + 4.0 + 9.0) / 0.4;  // nm^-1
    const double skunit = unit == UNIT_NM ? sk1 : 0.1 * sk1;
    EXPECT_NEAR(eval("sk(1,2,3)"), skunit, 1e-13 * skunit);

    // A variable: evaluated with sk (in the phase's unit), zweiTheta, h, k, l.
    ergibt("W=sk+1000*zweiTheta+10*h+100*k+1000000*l");
    const double theta2 = std::asin(0.5 * sk1 * 0.15406) * 360 / 3.14159265358979323846;
    EXPECT_NEAR(eval("ANISO(W,1,2,3)"), skunit + 1000 * theta2 + 10 + 200 + 3000000, 1e-9);
    // Beyond the back reflection zweiTheta is not set.
    EXPECT_TRUE(fails("ANISO(W,10,0,0)"));
    EXPECT_NEAR(eval("ANISO(sk,10,0,0)"), 10 * skunit / std::sqrt(14.0), 1e-12);
    // The scope of the direction's values is gone afterwards.
    EXPECT_TRUE(fails("h"));

    // Objects: kinds 0..3 with their scale; of two equal names the earlier.
    ktest::make_aniso(p, "B1", ANISO_CONSTANT, {}, 1, 0.02);
    AnisotropyRecord* q = ktest::make_aniso(p, "Q", ANISO_SQUARE, {}, 3.0);
    const double t[6] = {0.5, 0.5, 0.5, 0, 0, 0};
    std::memcpy(q->t, t, sizeof t);
    ktest::make_aniso(p, "Q", ANISO_CONSTANT, {}, 1, 99);  // declared later: not used
    AnisotropyRecord* l = ktest::make_aniso(p, "k2", ANISO_LINEAR, {}, 2.0);
    std::memcpy(l->t, t, sizeof t);
    AnisotropyRecord* f = ktest::make_aniso(p, "F", ANISO_FOURTH, {}, 0.5);
    f->c[0] = 1;  // x^4
    const double astar2 = p->rmetric[0];
    EXPECT_NEAR(eval("ANISO(Q,1,2,3)"), 3.0 * 0.5 * 14 / (14 * astar2), 1e-12);
    EXPECT_NEAR(eval("ANISO(k2,1,2,3)"), 2.0 * std::sqrt(0.5 / astar2), 1e-12);
    EXPECT_NEAR(eval("ANISO(F,1,2,3)"), 0.5 / (14 * 14 * astar2 * astar2), 1e-12);
    EXPECT_EQ(eval("B1(1,2,3)"), 0.02);
    EXPECT_NEAR(eval("k2(1,2,3)"), 2.0 * std::sqrt(0.5 / astar2), 1e-12);
    // No TDS anywhere: 0.
    EXPECT_EQ(eval("TDS(1,2,3)"), 0.0);
    ergibt("TDS=0.003*h");
    EXPECT_EQ(eval("TDS(2,0,0)"), 0.006);
    ergibt("TDS=");
    ktest::free_phases();
  }
}

TEST(Anisotropy, GrainSizeByPeakParameters) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  registerfunctions();
  const double cell[6] = {0.4, 0, 0, 0, 0, 0};
  PhaseRecord* p = ktest::make_structure({"HermannMauguin=Pm-3m"}, cell, {});
  ASSERT_NE(p, nullptr);
  ktest::make_aniso(p, "B1", ANISO_CONSTANT, {}, 1, 0.02);
  const double pi = 3.14159265358979323846;
  const double second = 4 / (3 * pi * 0.02);
  p->RP = 4;
  // Four peak parameters without k1: the second formula.
  EXPECT_NEAR(eval("GrainSize(1,0,0)"), second, 1e-12 * second);
  ergibt("k1==0.25");
  const double first = 4 * (1 + 2 * 0.5) / (3 * pi * 0.02 * 1.5 * 1.5);
  EXPECT_NEAR(eval("GrainSize(1,0,0)"), first, 1e-12 * first);
  p->RP = 3;
  EXPECT_NEAR(eval("GrainSize(1,0,0)"), second, 1e-12 * second);
  p->RP = 2;
  EXPECT_TRUE(fails("GrainSize(1,0,0)"));
}

// TDS inside an atom: the displacement B of the direction from the first
// site's coefficients, 4 h^T b h / (1/d^2) (x 100 in angstrom^2), or the
// atom's variable TDS.
TEST(Anisotropy, TemperatureFactorOfAnAtom) {
  Install inst;
  ktest::RunScope scope;
  ktest::PhaseList list;
  const double cell[6] = {0.5, 0.6, 0.7, 80, 85, 95};
  PhaseRecord* p =
      ktest::make_structure({"HermannMauguin=P1"}, cell, {{"E=Si", "a", 0.1, 0.2, 0.3, 0.0}});
  ASSERT_NE(p, nullptr);
  SetUserFkt("TDS", 3, tds);
  pa = p->atoms;
  pa->tdskind = TDS_ANISO;
  // An isotropic B as coefficients: b_ij = B g*_ij / 4.
  const double B = 0.008;
  const double* g = p->rmetric;
  const double b[6] = {B * g[0] / 4, B * g[1] / 4, B * g[2] / 4,
                       B * g[3] / 4, B * g[5] / 4, B * g[4] / 4};
  std::memcpy(pa->sites[0].b, b, sizeof b);
  EXPECT_NEAR(eval("TDS(1,2,3)"), B, 1e-15);
  EXPECT_NEAR(eval("TDS(-2,0,1)"), B, 1e-15);
  p->unit = UNIT_ANGSTROEM;
  EXPECT_NEAR(eval("TDS(1,2,3)"), 100 * B, 1e-13);
  pa->tdskind = TDS_ONCE;
  ergibt("TDS=0.5");
  EXPECT_EQ(eval("TDS(1,2,3)"), 0.5);
  pa->tdskind = TDS_PERREFLECTION;
  EXPECT_EQ(eval("TDS(1,2,3)"), 0.5);
  pa = nullptr;
}

// Broken invariants end the run with an internal error.
TEST(Anisotropy, InternalErrors) {
  Install inst;
  struct Case {
    const char* label;
    int line;
    std::function<void(PhaseRecord*)> run;
  };
  const Case cases[] = {
      {"gewichtdefault", 6811, [](PhaseRecord*) { gewicht(nullptr); }},
      {"GEWICHTAnisoIso", 6710,
       [](PhaseRecord* p) { gewicht(ktest::make_aniso(p, "G", ANISO_CONSTANT, {}, 1, 2)); }},
      {"TDSART", 4220,
       [](PhaseRecord* p) {
         pa = p->atoms;
         pa->tdskind = TDS_ISO;
         SetUserFkt("TDS", 3, tds);
         Wert("TDS(1,0,0)");
       }},
  };
  for (const Case& c : cases) {
    auto r = ktest::run_in_child([&] {
      ktest::RunScope scope;
      const double cell[6] = {0.5, 0, 0, 0, 0, 0};
      PhaseRecord* p =
          ktest::make_structure({"HermannMauguin=Pm-3m"}, cell, {{"E=Si", "a", 0, 0, 0, 0.0}});
      c.run(p);
      std::_Exit(0);
    });
    EXPECT_EQ(r.status, 250) << c.label;
    char text[200];
    std::snprintf(text, sizeof text, "*** internal error labeled %s in file obj/tamrel, line %d\n",
                  c.label, c.line);
    EXPECT_EQ(r.out, text);
  }
}

}  // namespace
