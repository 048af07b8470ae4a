// Atomic scattering data: atom names split into form factor, element and
// isotope, the shipped tables loaded whole, the fatal paths, skipped lines,
// unknown elements and the neutron resonance terms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/velmora.hpp"
#include "crystal/afa.hpp"
#include "crystal_harness.hpp"
#include "model/lam.hpp"
#include "testsupport.hpp"

namespace {

using namespace core;
using namespace model;
using namespace crystal;

using Install = ktest::CrystalInstall;

struct Lookup {
  int result;
  ScatteringData d;
};
Lookup lookup(const char* name) {
  Lookup l{};
  l.result = afaparm(name, l.d);
  return l;
}

// The numbers of a name in a shipped table (empty when it has none).
std::vector<double> shipped(const std::string& file, const std::string& name) {
  std::ifstream f(std::string(KALVO_SOURCE_DATA) + "/" + file);
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream s(line);
    std::string first;
    s >> first;
    if (first != name) continue;
    std::vector<double> v;
    for (std::string item; s >> item;)
      v.push_back(std::atof(item.c_str() + (item.rfind("IM=", 0) == 0 ? 3 : 0)));
    return v;
  }
  return {};
}

// The first items of every data line of a shipped table.
std::vector<std::string> names(const std::string& file) {
  std::ifstream f(std::string(KALVO_SOURCE_DATA) + "/" + file);
  std::vector<std::string> out;
  std::string line;
  while (std::getline(f, line)) {
    if (line.empty() || line[0] == '%') continue;
    out.push_back(line.substr(0, line.find(' ')));
  }
  return out;
}

TEST(ScatteringNames, FormFactorMassAndIsotope) {
  Install inst;
  setxray(true);
  afainit("Cu");
  struct Case {
    const char* name;
    const char* formfactor;
    double mass;
    const char* isotope;
  };
  const Case cases[] = {
      {"Fe", "Fe", 55.845, "Fe"},     {"Fe57", "Fe", 57, "Fe57"},   {"Fe+3", "Fe+3", 55.845, "Fe"},
      {"Fe3+", "Fe+3", 55.845, "Fe"}, {"O-2", "O-2", 15.9994, "O"}, {"O2-", "O-2", 15.9994, "O"},
      {"Gd157", "Gd", 157, "Gd157"},  {"H2", "H", 2, "H2"},         {"Si+4", "Si+4", 28.0855, "Si"},
  };
  for (const Case& c : cases) {
    Lookup l = lookup(c.name);
    EXPECT_EQ(l.result, 1) << c.name;
    std::vector<double> ff = shipped("afaparm.dat", c.formfactor);
    ASSERT_EQ(ff.size(), 9u) << c.formfactor;
    for (int j = 0; j < 4; ++j) {
      EXPECT_EQ(l.d[SD_A1 + j], ff[static_cast<size_t>(2 * j)]) << c.name;
      EXPECT_EQ(l.d[SD_B1 + j], ff[static_cast<size_t>(2 * j + 1)]) << c.name;
    }
    EXPECT_EQ(l.d[SD_C], ff[8]) << c.name;
    EXPECT_EQ(l.d[SD_MASS], c.mass) << c.name;
    std::vector<double> b = shipped("bcoh.dat", c.isotope);
    ASSERT_FALSE(b.empty()) << c.isotope;
    EXPECT_EQ(l.d[SD_BCOH], b[0]) << c.name;
    EXPECT_EQ(l.d[SD_BIM], b.size() > 1 ? b[1] : 0.0) << c.name;
  }
  // The elements of an atom item get theirs as the driver gives them.
  {
    ktest::PhaseList list;
    crystal::AtomRecord* at = ktest::make_atom(ktest::make_phase({}), "E=Fe3+(0.5),O2-", {}, true);
    EXPECT_EQ(at->elements[0].scat[SD_C], shipped("afaparm.dat", "Fe+3")[8]);
    EXPECT_EQ(at->elements[1].scat[SD_MASS], 15.9994);
  }
  // f' and f'' of the element, mass attenuation of Cu K-alpha.
  Lookup fe = lookup("Fe3+");
  EXPECT_EQ(fe.d[SD_FP], shipped("cu.ano", "Fe")[0]);
  EXPECT_EQ(fe.d[SD_FPP], shipped("cu.ano", "Fe")[1]);
  EXPECT_EQ(fe.d[SD_MU], shipped("cu.mdr", "Fe")[0]);
}

// Names the tables cannot answer: a warning with the name and result 0, so
// that the caller reports it; never the end of the run.
TEST(ScatteringNames, UnknownNamesAreWarnings) {
  Install inst;
  struct Case {
    bool neutrons;
    const char* name;
    std::string message;
  };
  const Case cases[] = {
      {false, "56Fe", ktest::message(34, "56Fe")},  // no element before the digits
      {false, "Xx", ktest::message(34, "Xx")},     {false, "Fe+9", ktest::message(34, "Fe+9")},
      {true, "Fe99", ktest::message(29, "Fe99")},  {true, "Xx", ktest::message(29, "Xx")},
      {true, "56Fe", ktest::message(29, "56Fe")},
  };
  for (const Case& c : cases) {
    auto r = ktest::run_in_child([&] {
      if (c.neutrons)
        setneutrons(true);
      else
        setxray(true);
      afainit("Cu");
      ScatteringData d{};
      int result = afaparm(c.name, d);
      std::fflush(stdout);
      std::_Exit(result == 0 ? 3 : 4);
    });
    EXPECT_EQ(r.status, 3) << c.name;
    EXPECT_EQ(r.out, c.message) << c.name;
  }
}

// Under neutrons a missing form factor is no failure; under X-rays a missing
// isotope is none.
TEST(ScatteringNames, EachRadiationNeedsOnlyItsOwnData) {
  Install inst;
  setneutrons(true);
  afainit("Cu");
  Lookup l = lookup("Fe58+7");  // no form factor Fe+7
  EXPECT_EQ(l.result, 1);
  EXPECT_EQ(l.d[SD_BCOH], 15.0);
  EXPECT_EQ(l.d[SD_MASS], 58.0);
  setxray(true);
  l = lookup("Fe59");  // no isotope Fe59
  EXPECT_EQ(l.result, 1);
  EXPECT_EQ(l.d[SD_MASS], 59.0);
}

// International Tables Vol. C, Table 6.1.1.4: a1 b1 a2 b2 a3 b3 a4 b4 c.
TEST(ScatteringNames, FormFactorsOfTheInternationalTables) {
  Install inst;
  setxray(true);
  afainit("Mo");
  struct Case {
    const char* name;
    double coef[9];
    double electrons;
  };
  const Case cases[] = {
      {"Si", {6.2915, 2.4386, 3.0353, 32.3337, 1.9891, 0.6785, 1.5410, 81.6937, 1.1407}, 14},
      {"O2-",
       {3.7504, 16.5151, 2.84294, 6.59203, 1.54298, 0.319201, 1.62091, 43.3486, 0.242060},
       10},
      {"Fe+3", {11.1764, 4.6147, 7.3863, 0.3005, 3.3948, 11.6729, 0.0724, 38.5566, 0.9707}, 23},
  };
  for (const Case& c : cases) {
    Lookup l = lookup(c.name);
    ASSERT_EQ(l.result, 1);
    for (double s : {0.0, 0.1, 0.25, 0.5, 1.0, 1.5}) {  // sin(theta)/lambda in 1/angstrom
      double want = c.coef[8], got = l.d[SD_C];
      for (int j = 0; j < 4; ++j) {
        want += c.coef[2 * j] * std::exp(-c.coef[2 * j + 1] * s * s);
        got += l.d[SD_A1 + j] * std::exp(-l.d[SD_B1 + j] * s * s);
      }
      EXPECT_NEAR(got, want, 1e-12) << c.name << " s=" << s;
      if (s == 0.0) {
        EXPECT_NEAR(got, c.electrons, 0.003) << c.name;
      }
    }
  }
}

// Every entry of every shipped table is found, the last ones included.
TEST(ShippedScatteringData, EveryEntryLoads) {
  Install inst;
  for (const char* r : {"cu", "co", "cr", "fe", "mn", "ni", "mo", "ag"}) {
    SCOPED_TRACE(r);
    setxray(true);
    afainit(r);
    for (const std::string& n : names("afaparm.dat")) EXPECT_EQ(lookup(n.c_str()).result, 1) << n;
    for (const std::string& file :
         {std::string(r) + ".ano", std::string(r) + ".mdr", std::string("weight.mol")}) {
      std::vector<std::string> els = names(file);
      ASSERT_FALSE(els.empty()) << file;
      Lookup last = lookup(els.back().c_str());
      EXPECT_EQ(last.result, 1) << file;
      std::vector<double> v = shipped(file, els.back());
      // The anomalous table's entry is its second value, the absorption and
      // mass tables' their first.
      double want = file.find(".ano") != std::string::npos ? v[1] : v[0];
      int entry = file.find(".ano") != std::string::npos   ? SD_FPP
                  : file.find(".mdr") != std::string::npos ? SD_MU
                                                           : SD_MASS;
      EXPECT_EQ(last.d[entry], want) << file;
    }
    setneutrons(true);
    for (const std::string& n : names("bcoh.dat")) {
      Lookup l = lookup(n.c_str());
      EXPECT_EQ(l.result, 1) << n;
      EXPECT_EQ(l.d[SD_BCOH], shipped("bcoh.dat", n)[0]) << n;
    }
  }
  setxray(true);
}

TEST(ScatteringData, RadiationNameChoosesTheFiles) {
  Install inst;
  setxray(true);
  afainit("/some/where/MO.lam");
  EXPECT_EQ(lookup("Fe").d[SD_FP], shipped("mo.ano", "Fe")[0]);
  // Loading again replaces the tables.
  afainit("cu");
  EXPECT_EQ(lookup("Fe").d[SD_FP], shipped("cu.ano", "Fe")[0]);
  EXPECT_EQ(lookup("Fe").d[SD_MU], shipped("cu.mdr", "Fe")[0]);
  // No files of that radiation: f', f'' and mu stay 0, masses remain.
  afainit("1.5406");
  Lookup l = lookup("Fe");
  EXPECT_EQ(l.result, 1);
  EXPECT_EQ(l.d[SD_FP], 0.0);
  EXPECT_EQ(l.d[SD_MU], 0.0);
  EXPECT_EQ(l.d[SD_MASS], 55.845);
}

TEST(ScatteringData, MissingTablesEndTheRun) {
  struct Case {
    std::vector<std::string> files;
    bool load;
    int status;
  };
  const Case cases[] = {
      {{"bcoh.dat"}, true, 39},
      {{"afaparm.dat"}, true, 5},
      {{"afaparm.dat", "bcoh.dat"}, false, 40},
  };
  for (const Case& c : cases) {
    Install inst(c.files);
    auto r = ktest::run_in_child([&] {
      clearafa();
      if (c.load) afainit("cu");
      ScatteringData d{};
      afaparm("Fe", d);
      std::_Exit(0);
    });
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, ktest::message(-c.status));
  }
}

// A line that cannot be read is skipped with its file and line; the lines
// after it are read, an empty line among them included.
TEST(ScatteringData, FaultyLinesAreSkippedAndReported) {
  Install inst({"err.msg"});
  inst.write("afaparm.dat",
             "% comment\n"
             "Si 6.2915 2.4386 3.0353 32.3337 1.9891 0.6785 1.541 81.6937 1.1407\n"
             "\n"
             "Al 6.4202 3.0387 1.9002 0.7426 1.5936 31.5472 1.9646\n"
             "Toolong 1 1 1 1 1 1 1 1 1\n"
             "C 2.31 20.8439 1.02 10.2075 1.5886 0.5687 0.865 51.6512 0.2156\n");
  inst.write("bcoh.dat",
             "Si 4.1491\n"
             "Gd 6.5 IM=13.82 w[1]=1 E[1]=0.03\n"
             "C 6.646\n"
             "B 5.3 IM=0.213\n"
             "O 5.803\n");
  // An item too long for the reader: the rest of its line goes with it.
  inst.write("weight.mol",
             "Si 28.0855\nC 12.0107\n\nGd 157.25\n" + std::string(9000, 'X') + " 12 y\nB 10.811\n");
  inst.write("xx.mdr", "Si 60.3\nC x\nO 11.0\n");
  auto r = ktest::run_in_child([] {
    setxray(true);
    afainit("xx");
    ScatteringData d{};
    int c = afaparm("C", d);
    std::printf("C %d %g %g\n", c, d[SD_MASS], d[SD_A1]);
    setneutrons(true);
    int b = afaparm("B", d);
    std::printf("B %d %g %g\n", b, d[SD_BCOH], d[SD_MASS]);
    int gd = afaparm("Gd", d);
    std::printf("Gd %d\n", gd);
    // O only in the .mdr file: a new element with f' = f'' = 0.
    std::memset(d, 0, sizeof d);
    int o = afaparm("O", d);
    std::printf("O %d %g %g\n", o, d[SD_MU], d[SD_FP]);
    std::fflush(stdout);
    std::_Exit(0);
  });
  EXPECT_EQ(r.status, 0);
  std::string want = ktest::message(31, "afaparm.dat", 4) + ktest::message(31, "afaparm.dat", 5) +
                     ktest::message(31, "xx.mdr", 2) + ktest::message(31, "weight.mol", 5) +
                     ktest::message(31, "bcoh.dat", 2) + "C 1 12.0107 2.31\nB 1 5.3 10.811\n" +
                     ktest::message(29, "Gd") + "Gd 0\nO 1 11 0\n";
  EXPECT_EQ(r.out, want);
}

// Single-level Breit-Wigner resonance at the neutron energy of the mean
// wavelength: the imaginary part peaks at the resonance energy with twice the
// largest real term, which it reaches half a width away; both scale as 1/width.
TEST(ScatteringData, ResonanceTermsOfAScatteringLength) {
  Install inst({"err.msg"});
  inst.write("afaparm.dat",
             "Sm 24.0042 2.47274 19.4258 0.196451 13.4396 14.3996 2.89604 128.007 2.20963\n");
  inst.write("weight.mol", "Sm 150.36\n");
  const double l0value = 5.5;  // 1/nm
  const double E0 = 0.000818 * l0value * l0value;
  const double width = 0.06, z = 0.0011;
  char bcoh[512];
  std::snprintf(bcoh, sizeof bcoh,
                "Sm 0.8 IM=1.65 w[1]=1 E[1]=%.17g ZWEIgGammaN0[1]=%.17g Gamma[1]=%.17g\n"
                "Sm149 -19.2 IM=11.7 w[1]=1 E[1]=%.17g ZWEIgGammaN0[1]=%.17g Gamma[1]=%.17g\n"
                "Sm150 14 w[1]=0.5 E[1]=%.17g ZWEIgGammaN0[1]=%.17g Gamma[1]=%.17g\n",
                E0, z, width, E0 - width / 2, z, width, E0, z, 2 * width);
  inst.write("bcoh.dat", bcoh);
  double saved = l0;
  l0 = l0value;
  setneutrons(true);
  afainit("none");
  Lookup atpeak = lookup("Sm");   // E0 = E
  Lookup half = lookup("Sm149");  // E0 - E = width / 2
  Lookup wide = lookup("Sm150");  // twice the width, half the weight
  l0 = saved;
  setxray(true);
  const double peak = 2276 * z / width;
  EXPECT_NEAR(atpeak.d[SD_BRES], 0.0, 1e-9);
  EXPECT_NEAR(atpeak.d[SD_BIM] - 1.65, peak, 1e-9 * peak);
  EXPECT_NEAR(half.d[SD_BRES], peak / 2, 1e-9 * peak);
  EXPECT_NEAR(half.d[SD_BIM] - 11.7, peak / 2, 1e-9 * peak);
  EXPECT_NEAR(wide.d[SD_BIM], 0.5 * peak / 2, 1e-9 * peak);
  // The real term is added to what the caller put there.
  ScatteringData d{};
  d[SD_BRES] = 1.0;
  l0 = l0value;
  setneutrons(true);
  afaparm("Sm149", d);
  l0 = saved;
  setxray(true);
  EXPECT_NEAR(d[SD_BRES], 1.0 + peak / 2, 1e-9 * peak);
}

}  // namespace

// IM and the resonance keys are looked up through every scope: set below the
// tables' own scope (as a control file could), they reach every line that
// does not give its own; a leading comment, a formula and a name with
// letters after the number are read as before.
TEST(ScatteringData, KeysOfTheScopesBelowReachEveryLine) {
  Install inst({"err.msg"});
  inst.write("afaparm.dat", "Si 6.2915 2.4386 3.0353 32.3337 1.9891 0.6785 1.541 81.6937 1.1407\n");
  inst.write("weight.mol", "Si 28.0855\nB 10.811\nC 12.0107\nO 15.999\n");
  inst.write("bcoh.dat",
             "% scattering lengths\n"
             "Si 4.1491\n"
             "B 5.3 IM=0.213\n"
             "C 2e0 E[1]=0.5\n"
             "O ==2*3 IM==1+1\n");
  auto r = ktest::run_in_child([] {
    newDATAlist();
    SetVar("IM", 2.5);
    int one = 1;
    SetIndexVar("w", 1, &one, 1.0);
    SetIndexVar("ZWEIgGammaN0", 1, &one, 0.0);
    SetIndexVar("Gamma", 1, &one, 1.0);
    setneutrons(true);
    afainit("xx");
    for (const char* name : {"Si", "B", "C", "O"}) {
      ScatteringData d{};
      const int found = afaparm(name, d);
      std::printf("%s %d %g %g\n", name, found, d[SD_BCOH], d[SD_BIM]);
    }
    std::fflush(stdout);
    std::_Exit(0);
  });
  EXPECT_EQ(r.status, 0);
  // Every line has the resonance w[1] = 1 of the scope below, which C's
  // E[1] completes; the others lack it and are skipped.
  EXPECT_EQ(r.out, ktest::message(31, "bcoh.dat", 2) + ktest::message(31, "bcoh.dat", 3) +
                       ktest::message(31, "bcoh.dat", 5) + ktest::message(29, "Si") + "Si 0 0 0\n" +
                       ktest::message(29, "B") + "B 0 0 0\nC 1 2 2.5\n" + ktest::message(29, "O") +
                       "O 0 0 0\n");
}
