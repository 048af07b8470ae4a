// Wavelength lines: files of the installation directory, a wavelength given
// as a number, and the two fatal ends (name that is no wavelength, faulty file).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "core/velmora.hpp"
#include "model/lam.hpp"
#include "testsupport.hpp"

namespace model {
using namespace core;

namespace {

void use_install(const ktest::TempDir& dir) {
  std::snprintf(kalvo, sizeof kalvo, "%s", dir.path().c_str());
}

TEST(Wavelengths, FileLinesAndTheirIntensityWeightedMean) {
  ktest::TempInstall inst({"err.msg"});
  ktest::write_file(inst.file("two.lam"),
                    "% a doublet\n"
                    "% written by hand\n"
                    "ILAM=2 TITEL=doublet\n"
                    "2 6.0 0.001\n"
                    "1 6.5 0.002\n"
                    "this line is never read\n");
  use_install(inst);
  initlam("TWO");  // the name is lower-cased and ".lam" added
  ASSERT_EQ(ilam, 2);
  EXPECT_EQ(ij[0], 2.0);
  EXPECT_EQ(ij[1], 1.0);
  EXPECT_EQ(lj[0], 6.0);
  EXPECT_EQ(lj[1], 6.5);
  EXPECT_EQ(dj[0], 0.001);
  EXPECT_EQ(dj[1], 0.002);
  EXPECT_DOUBLE_EQ(l0, (2.0 * 6.0 + 6.5) / 3.0);

  // A second load replaces the first; formulas are allowed in the lines.
  ktest::write_file(inst.file("one.lam"), "ILAM=1\n1 2*3.25 0\n");
  initlam("one.lam");
  ASSERT_EQ(ilam, 1);
  EXPECT_EQ(lj[0], 6.5);
  EXPECT_EQ(l0, 6.5);
  freelam();
  EXPECT_EQ(ilam, 0);
  EXPECT_EQ(ij, nullptr);
  EXPECT_EQ(l0, 6.5);  // the mean stays
}

TEST(Wavelengths, ANameWithoutFileIsTheWavelengthItself) {
  ktest::TempInstall inst({"err.msg"});
  use_install(inst);
  for (const char* name : {"1.5406", "0.15406", "2*0.0709"}) {
    initlam(name);
    const double wavelength = std::stod(name[0] == '2' ? "0.1418" : name);
    ASSERT_EQ(ilam, 1) << name;
    EXPECT_EQ(ij[0], 1.0);
    EXPECT_DOUBLE_EQ(lj[0], 1.0 / wavelength) << name;
    EXPECT_DOUBLE_EQ(l0, 1.0 / wavelength) << name;
    EXPECT_EQ(dj[0], 0.0);
  }
  freelam();
}

TEST(Wavelengths, ShippedCopperFileGivesTheMeanKAlphaWavelength) {
  if (!ktest::file_exists(std::string(KALVO_SOURCE_DATA) + "/cu.lam"))
    GTEST_SKIP() << "data/cu.lam not shipped yet";
  ktest::TempInstall inst({"err.msg", "cu.lam"});
  use_install(inst);
  initlam("Cu");
  ASSERT_GE(ilam, 2);
  // K-alpha1 0.1540593 nm, K-alpha2 0.1544427 nm, about 2:1.
  EXPECT_NEAR(1.0 / l0, 0.15418, 3e-5);
  double strongest = 0.0;
  int at = 0;
  for (int k = 0; k < ilam; ++k)
    if (ij[k] > strongest) strongest = ij[k], at = k;
  EXPECT_NEAR(1.0 / lj[at], 0.1540593, 2e-6);
  freelam();
}

TEST(Wavelengths, FatalEnds) {
  ktest::TempInstall inst({"err.msg"});
  use_install(inst);
  ktest::write_file(inst.file("noilam.lam"), "TITEL=nothing\n1 6.0 0\n");
  ktest::write_file(inst.file("short.lam"), "ILAM=2\n1 6.0 0\n1 6.1\n");
  ktest::write_file(inst.file("empty.lam"), "ILAM=0\n");
  ktest::write_file(inst.file("dark.lam"), "ILAM=1\n0 6.0 0\n");
  ktest::write_file(inst.file("cut.lam"), "ILAM=3\n1 6.0 0\n");
  struct Case {
    const char* name;
    int status;
    const char* shows;  // text the report must contain
  } cases[] = {
      {"Unobtainium", 222, "unobtainium.lam"},
      {"0", 222, "0"},
      {"-1.5", 222, "-1.5"},
      {"noilam", 223, "ILAM"},
      {"short", 223, "short.lam"},
      {"empty", 223, "empty.lam"},
      {"dark", 223, "dark.lam"},
      {"cut", 223, "cut.lam"},
  };
  for (const Case& c : cases) {
    ktest::RunResult r = ktest::run_in_child([&] { initlam(c.name); });
    EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.out;
    EXPECT_NE(r.out.find(c.shows), std::string::npos) << c.name << "\n" << r.out;
  }
  // The name that is no wavelength is reported as given.
  ktest::RunResult r = ktest::run_in_child([&] { initlam("Unobtainium"); });
  EXPECT_NE(r.out.find("Unobtainium"), std::string::npos) << r.out;
}

}  // namespace

}  // namespace model
