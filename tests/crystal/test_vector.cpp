// Coordinate and vector formula functions, called from formulas as a
// structure file calls them: vector algebra, angles and torsions, rotations
// and rigid-body moves, list copies, the conversion between Cartesian and
// fractional coordinates of a triclinic cell (also in angstrom), the sites of
// an atom, and the functions' faults.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/nspawn.hpp"
#include "structure_fixture.hpp"
#include "testsupport.hpp"

namespace {

using namespace core;
using namespace crystal;

void registerfunctions() {
  for (int i = 0; i < nvectorfunctions; ++i)
    SetUserFkt(vectorfunctions[i].name, vectorfunctions[i].count, vectorfunctions[i].function);
  SetUserFkt(setindexfunction.name, setindexfunction.count, setindexfunction.function);
}

struct Vec3 {
  double x, y, z;
};

Vec3 vec(const char* name) {
  Vec3 v{};
  double* c[3] = {&v.x, &v.y, &v.z};
  for (int i = 1; i <= 3; ++i) *c[i - 1] = GetIndexVar(name, 1, &i);
  return v;
}

// Evaluates a formula; NaN when it fails.
double eval(const std::string& formula) {
  double v = std::nan("");
  if (!dataerr_try([&] { v = Wert(formula.c_str()); })) v = std::nan("");
  ClearErr();
  return v;
}

class VectorFunctions : public ::testing::Test {
 protected:
  ktest::CrystalInstall inst{{"ordanix.dat"}};
  ktest::RunScope scope;
  ktest::PhaseList phases;
  void SetUp() override {
    registerfunctions();
    phasei = ktest::make_phase({"PHASE=quartz"});
  }
};

TEST_F(VectorFunctions, AlgebraAnglesAndMoves) {
  struct Case {
    const char* what;
    std::vector<std::string> setup;  // formulas evaluated first
    std::string formula;
    double value;                  // NaN: the formula must fail
    const char* vector = nullptr;  // and this vector must then hold
    Vec3 expect{};
  };
  const double fail = std::nan("");
  const std::vector<std::string> xyz = {"set(o,0,0,0)", "set(ex,1,0,0)", "set(ey,0,1,0)",
                                        "set(ez,0,0,1)"};
  auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> all = xyz;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  const Case cases[] = {
      {"set", {}, "set(v,1+1,sqrt(9),-4)", 1, "v", {2, 3, -4}},
      {"diffvec", with({"set(a,1,2,3)", "set(b,4,4,4)"}), "diffvec(a,b,d)", 1, "d", {3, 2, 1}},
      {"skalpro", with({"set(a,1,2,3)", "set(b,4,-5,6)"}), "skalpro(a,b)", 12},
      {"distance", with({"set(a,1,2,3)", "set(b,4,6,3)"}), "distance(a,b)", 5},
      {"normvec", with({"set(a,3,4,0)"}), "normvec(a,d)", 1, "d", {0.6, 0.8, 0}},
      {"normvec of a zero vector", xyz, "normvec(o,d)", fail},
      {"cross", with({"set(c,1,1,0)"}), "cross(o,ex,c,d)", 1, "d", {1, 0, 1}},
      {"angle of two vectors", xyz, "angle(ex,ey)", 90},
      {"angle at the middle point", with({"set(a,1,1,0)"}), "angle(ex,o,a)", 45},
      {"straight angle", with({"set(m,-1,0,0)"}), "angle(ex,o,m)", 180},
      {"torsion", with({"set(d,0,1,1)"}), "angle(ex,o,ez,d)", -90},
      {"torsion, last point mirrored", with({"set(d,0,-1,1)"}), "angle(ex,o,ez,d)", 90},
      {"planar trans torsion", with({"set(d,-1,0,1)"}), "angle(ex,o,ez,d)", 180},
      {"planar cis torsion", with({"set(d,1,0,1)"}), "angle(ex,o,ez,d)", 0},
      {"angle of five points", xyz, "angle(ex,o,ez,ey,ex)", fail},
      {"angle with a zero vector", xyz, "angle(o,ex)", fail},
      {"torsion about a zero bond", xyz, "angle(ex,o,o,ey)", fail},
      {"D rotates in place", with({"set(v,1,0,0)"}), "D(o,ez,90,v)", 1, "v", {0, -1, 0}},
      {"D about an axis off the origin",
       with({"set(p,1,1,0)", "set(q,1,1,5)", "set(v,2,1,7)"}),
       "D(p,q,180,v)",
       1,
       "v",
       {0, 1, 7}},
      {"D2 writes the destination", with({"set(v,1,0,0)"}), "D2(o,ez,90,v,w)", 1, "w", {0, -1, 0}},
      {"D2 leaves the source", with({"set(v,1,0,0)"}), "D2(o,ez,90,v,w)", 1, "v", {1, 0, 0}},
      {"D2 without a destination", with({"set(v,1,0,0)"}), "D2(o,ez,90,v)", fail},
      {"D about coinciding points", with({"set(v,1,0,0)"}), "D(ex,ex,90,v)", fail},
      {"T without rotation translates",
       with({"set(v,1,2,3)"}),
       "T(1,-2,0.5,0,0,0,v)",
       1,
       "v",
       {2, 0, 3.5}},
      {"T rotates by the first angle",
       with({"set(v,1,0,0)"}),
       "T(0,0,0,90,0,0,v)",
       1,
       "v",
       {0, -1, 0}},
      {"T by the second angle", with({"set(v,0,1,0)"}), "T(0,0,0,0,90,0,v)", 1, "v", {0, 0, -1}},
      {"T2 writes the destination",
       with({"set(v,1,2,3)"}),
       "T2(1,1,1,0,0,0,v,w)",
       1,
       "w",
       {2, 3, 4}},
      {"T2 with an odd count", with({"set(v,1,2,3)"}), "T2(1,1,1,0,0,0,v,w,v)", fail},
      {"cpXYZ copies", with({"set(v,1,2,3)"}), "cpXYZ(v,w)", 1, "w", {1, 2, 3}},
      {"cpXYZ into a list", with({"set(v,1,2,3)"}), "cpXYZ(v,(p,q,r))", 1, "r", {1, 2, 3}},
      {"cpXYZ list, first member",
       with({"set(v,1,2,3)"}),
       "cpXYZ(ex,w,v,(p,q))",
       1,
       "p",
       {1, 2, 3}},
      {"cpXYZ with an empty name", with({"set(v,1,2,3)"}), "cpXYZ(v,(p,,q))", fail},
      {"cpXYZ with an odd count", with({"set(v,1,2,3)"}), "cpXYZ(v,w,v)", fail},
      {"a vector that does not exist", xyz, "skalpro(ex,nowhere)", fail},
      {"the current phase by its name", {}, "PHASE(quartz)", 1},
      {"another phase's name", {}, "PHASE(quartz2)", 0},
  };
  for (const Case& c : cases) {
    for (const std::string& s : c.setup) ASSERT_EQ(eval(s), 1.0) << c.what << ": " << s;
    const double v = eval(c.formula);
    if (std::isnan(c.value)) {
      EXPECT_TRUE(std::isnan(v)) << c.what << ": " << c.formula << " gave " << v;
    } else {
      EXPECT_NEAR(v, c.value, 1e-12) << c.what << ": " << c.formula;
    }
    if (c.vector != nullptr) {
      const Vec3 r = vec(c.vector);
      EXPECT_NEAR(r.x, c.expect.x, 1e-12) << c.what;
      EXPECT_NEAR(r.y, c.expect.y, 1e-12) << c.what;
      EXPECT_NEAR(r.z, c.expect.z, 1e-12) << c.what;
    }
  }
}

// setgitter and XYZ in a triclinic cell: the Cartesian vector has the length
// that the direct metric gives, and XYZ, X, Y, Z bring back the fractional
// coordinates; in angstrom both sides scale by 10.
TEST_F(VectorFunctions, TriclinicRoundTrip) {
  const double cell[6] = {0.5, 0.6, 0.7, 80, 95, 105};
  for (const char* unit : {"UNIT=NM", "UNIT=ANGSTROEM"}) {
    const bool angstrom = std::strcmp(unit, "UNIT=ANGSTROEM") == 0;
    double scaled[6];
    std::memcpy(scaled, cell, sizeof cell);
    for (int i = 0; i < 3; ++i) scaled[i] *= angstrom ? 10 : 1;
    PhaseRecord* p = ktest::make_structure({"HermannMauguin=P1", unit}, scaled, {});
    ASSERT_NE(p, nullptr);
    const double f[3] = {0.1, -0.35, 0.8};
    ASSERT_EQ(eval("set(o,0,0,0)"), 1.0);
    ASSERT_EQ(eval("setgitter(v,0.1,-0.35,0.8)"), 1.0);
    const Vec3 v = vec("v");
    const double* g = p->metric;  // a^2, b^2, c^2, ab cos gamma, ac cos beta, bc cos alpha
    const double len2 = f[0] * f[0] * g[0] + f[1] * f[1] * g[1] + f[2] * f[2] * g[2] +
                        2 * f[0] * f[1] * g[3] + 2 * f[0] * f[2] * g[4] + 2 * f[1] * f[2] * g[5];
    const double u = angstrom ? 100 : 1;
    EXPECT_NEAR(v.x * v.x + v.y * v.y + v.z * v.z, len2 * u, 1e-12 * u) << unit;
    ASSERT_EQ(eval("XYZ(v)"), 1.0);
    EXPECT_NEAR(GetVar("x"), f[0], 1e-13) << unit;
    EXPECT_NEAR(GetVar("y"), f[1], 1e-13) << unit;
    EXPECT_NEAR(GetVar("z"), f[2], 1e-13) << unit;
    EXPECT_NEAR(eval("X(v)"), f[0], 1e-13) << unit;
    EXPECT_NEAR(eval("Y(v)"), f[1], 1e-13) << unit;
    EXPECT_NEAR(eval("Z(v)"), f[2], 1e-13) << unit;
    EXPECT_STREQ(atom_name_default, "v");
    // Angles between Cartesian vectors are those of the cell.
    ASSERT_EQ(eval("setgitter(a,1,0,0)") + eval("setgitter(b,0,1,0)") + eval("setgitter(c,0,0,1)"),
              3.0);
    EXPECT_NEAR(eval("angle(b,c)"), 80, 1e-11);
    EXPECT_NEAR(eval("angle(a,c)"), 95, 1e-11);
    EXPECT_NEAR(eval("angle(a,b)"), 105, 1e-11);
    EXPECT_NEAR(eval("distance(o,c)"), 0.7 * (angstrom ? 10 : 1), 1e-12);
    ktest::free_phases();
  }
}

// setindex places the vector on a site of the current atom with a centring
// translation, both counted from 1, the site reduced into the cell.
TEST_F(VectorFunctions, SitesOfTheCurrentAtom) {
  const double cell[6] = {0.4, 0, 0, 0, 0, 0};
  PhaseRecord* p =
      ktest::make_structure({"HermannMauguin=Im-3m"}, cell, {{"E=Fe", "e", 0.3, 0, 0, 0.004}});
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->ncentring, 2);
  pa = p->atoms;
  ASSERT_EQ(pa->wyckoff->count, 6);  // x 0 0, 0 0 -x, 0 0 x, 0 x 0, 0 -x 0, -x 0 0
  struct Case {
    const char* formula;
    bool ok;
    Vec3 fractional;
  } cases[] = {
      {"setindex(v,1)", true, {0.3, 0, 0}},
      {"setindex(v,2)", true, {0, 0, 0.7}},        // -0.3 reduced into the cell
      {"setindex(v,2,2)", true, {0.5, 0.5, 0.2}},  // with the body centring
      {"setindex(v,6,1)", true, {0.7, 0, 0}},
      {"setindex(v,0)", false, {}},
      {"setindex(v,7)", false, {}},
      {"setindex(v,1,3)", false, {}},
      {"setindex(v,1,0)", false, {}},
      {"setindex(v,1,1,1)", false, {}},
  };
  for (const Case& c : cases) {
    const double v = eval(c.formula);
    if (!c.ok) {
      EXPECT_TRUE(std::isnan(v)) << c.formula;
      continue;
    }
    ASSERT_EQ(v, 1.0) << c.formula;
    const Vec3 r = vec("v");
    EXPECT_NEAR(r.x, c.fractional.x * 0.4, 1e-14) << c.formula;
    EXPECT_NEAR(r.y, c.fractional.y * 0.4, 1e-14) << c.formula;
    EXPECT_NEAR(r.z, c.fractional.z * 0.4, 1e-14) << c.formula;
  }
  pa = nullptr;
  EXPECT_TRUE(std::isnan(eval("setindex(v,1)")));
}

// On the worker threads of the line computation X, Y, Z and XYZ give their
// values but record nothing: neither the atom's default name nor the
// coordinates x, y, z, which every reflection shares.
std::atomic<int> workerfaults{0};

TEST_F(VectorFunctions, WorkersRecordNothing) {
  const auto r = ktest::run_in_child([] {
    nthreads = 4;
    const double cell[6] = {0.5, 0.6, 0.7, 80, 95, 105};
    if (ktest::make_structure({"HermannMauguin=P1"}, cell, {}) == nullptr) fatal_exit(2);
    if (eval("setgitter(v,0.1,0.2,0.3)") != 1.0) fatal_exit(3);
    std::strcpy(atom_name_default, "kept");
    initDATAthreads();
    nspawn(
        [](uint64_t) {
          dataerr_try([] {
            for (int i = 0; i < 50; ++i) {
              if (std::fabs(Wert("X(v)") - 0.1) > 1e-13 || std::fabs(Wert("Z(v)") - 0.3) > 1e-13)
                ++workerfaults;
              if (Wert("XYZ(v)") != 1.0) ++workerfaults;
            }
          });
        },
        1, 0);
    nwait();
    exitDATAthreads();
    const bool recorded = dataerr_try([] { GetVar("x"); });
    ClearErr();
    std::printf("%d %s %d\n", workerfaults.load(), atom_name_default, recorded ? 1 : 0);
    std::fflush(stdout);
    std::_Exit(0);
  });
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "0 kept 0\n");
  EXPECT_EQ(r.err, "");
}

}  // namespace
