// The temperature-factor penalty of an atom whose displacement parameter is
// zero or negative is one least-squares residual, whatever the number of
// threads and however the reflection lines were shared among them: a fixed
// negative displacement of an atom without occupancy adds its penalty
// squared to the final residual sum exactly once, and the measured neutron
// pattern of PbSO4, whose sulphur displacement refines to zero, gives the
// same refinement on one and on four threads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tamrelrun.hpp"

namespace {

// The number after "key=" in a text.
double value(const std::string& text, const std::string& key) {
  const size_t at = text.find(" " + key + "=");
  EXPECT_NE(at, std::string::npos) << key << " in " << text;
  return at == std::string::npos ? 0.0 : std::stod(text.substr(at + key.size() + 2));
}

TEST(TamrelPenalty, NegativeDisplacementCountsOnceOnAnyNumberOfThreads) {
  trun::Workplace wp;
  const std::string silicon =
      "PHASE=Si SpacegroupNo=227 UNIT=ANGSTROEM RP=2 GEWICHT=SPHAR0 PARAM=A=5.4315\n"
      "E=Si Wyckoff=a TDS=0.5\n";
  wp.write("plain.str", silicon);
  // An atom without occupancy scatters nothing; its displacement of -1 A^2
  // (-0.01 nm^2) is a penalty of 100000 x -0.01 = -1000.
  wp.write("ghost.str", silicon + "E=Si(0) Wyckoff=b TDS=-1\n");
  double Q[2][2];
  const char* structures[2] = {"plain", "ghost"};
  const char* threads[2] = {"NTHREADS=1", "NTHREADS=4"};
  for (int s = 0; s < 2; ++s)
    for (int t = 0; t < 2; ++t) {
      ktest::RunResult r = wp.run({"LINTOR=inst", "LAMBDA=CU", "VAL[1]=si.xy",
                                   std::string("STRUC[1]=") + structures[s], "OUTPUT=si"},
                                  {threads[t]});
      ASSERT_EQ(r.status, 0) << r.out;
      const std::vector<std::string> par = trun::lines(wp.read("si.par"));
      ASSERT_FALSE(par.empty());
      Q[s][t] = value(par[0], "Q");
    }
  for (int t = 0; t < 2; ++t) {
    EXPECT_NEAR(Q[1][t] - Q[0][t], 1e6, 1.0) << threads[t];
    EXPECT_EQ(Q[0][t], Q[0][0]) << threads[t];
    EXPECT_EQ(Q[1][t], Q[1][0]) << threads[t];
  }
}

TEST(TamrelPenalty, MeasuredNeutronPatternRefinesAlikeOnOneAndFourThreads) {
  trun::Workplace wp;
  ktest::copy_file(std::string(KALVO_TEST_DATA) + "/PbSO4_neutron.gsa",
                   wp.file("PbSO4_neutron.gsa"));
  // The published coordinates, one displacement parameter per atom; with a
  // line breadth a little too large for the instrument the sulphur's
  // displacement refines to zero, where its penalty holds it.
  wp.write("pbso4.str",
           "PHASE=PbSO4 SpacegroupNo=62 UNIT=ANGSTROEM RP=3 GEWICHT=SPHAR0\n"
           "PARAM=A=8.4803 PARAM=B=5.3986 PARAM=C=6.9600 PARAM=B1=0.001_0\n"
           "E=Pb Wyckoff=c x=0.1875 z=0.1672 PARAM=TDS=1.0\n"
           "E=S Wyckoff=c x=0.0649 z=0.6835 PARAM=TDS=1.0\n"
           "E=O Wyckoff=c x=-0.0930 z=0.5954 PARAM=TDS=1.0\n"
           "E=O Wyckoff=c x=0.1937 z=0.5426 PARAM=TDS=1.0\n"
           "E=O Wyckoff=d x=0.0809 y=0.0269 z=0.8093 PARAM=TDS=1.0\n");
  const std::vector<std::string> control = {"NEUTRONS=0.1909", "VAL[1]=PbSO4_neutron.gsa",
                                            "STRUC[1]=pbso4",  "LIST=pbso4",
                                            "LINTOR=0.004",    "WMIN=16",
                                            "WMAX=100",        "PARAM[1]=EPS1=0"};
  std::string list[3];
  const char* threads[3] = {"NTHREADS=1", "NTHREADS=4", "NTHREADS=4"};
  for (int i = 0; i < 3; ++i) {
    ktest::RunResult r = wp.run(control, {threads[i]});
    ASSERT_EQ(r.status, 0) << r.out;
    list[i] = trun::withouttimes(wp.read("pbso4.lst"));
  }
  EXPECT_EQ(list[1], list[0]);
  EXPECT_EQ(list[2], list[0]);
  // The sulphur atom's displacement (the second atom's TDS line) at zero.
  const size_t sulphur = list[0].find("E=(S(");
  ASSERT_NE(sulphur, std::string::npos) << list[0];
  const size_t tds = list[0].find("\nTDS=", sulphur);
  ASSERT_NE(tds, std::string::npos) << list[0];
  EXPECT_NEAR(std::stod(list[0].substr(tds + 5)), 0.0, 0.01) << list[0];
}

}  // namespace
