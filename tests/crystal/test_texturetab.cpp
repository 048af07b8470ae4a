// Monomial tables of the texture expansion and the projector onto symmetric
// coefficient sets: the tables against their definitions, the monomial image
// against the literal tensor transform, and the number of free coefficients
// per Laue class against the Molien series of the group's rotations.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "crystal_harness.hpp"

using namespace core;
using namespace crystal;

namespace {

double factorial(int n) { return n <= 1 ? 1.0 : n * factorial(n - 1); }

TEST(TextureTables, MonomialsTermsAndMultiplicities) {
  zaehlbau();
  EXPECT_EQ(zaehlinit, 0);
  // The first monomials of degree 2, as listed for the texture file.
  const int first2[6][3] = {{2, 0, 0}, {1, 1, 0}, {1, 0, 1}, {0, 2, 0}, {0, 1, 1}, {0, 0, 2}};
  for (int k = 0; k < 6; ++k)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(extab2[k][j], first2[k][j]);
  EXPECT_EQ(fak2(1, 2.0, 3.0, 5.0), 6.0);
  EXPECT_EQ(fak4(0, 3.0, 7.0, 11.0), 81.0);
  EXPECT_EQ(fak10(65, 3.0, 7.0, 2.0), 1024.0);
  const double z4[15] = {1, 4, 4, 6, 12, 6, 4, 12, 12, 4, 1, 4, 6, 4, 1};
  for (int k = 0; k < 15; ++k) EXPECT_EQ(zaehl4[k], z4[k]) << k;
  EXPECT_EQ(get1aus2[0 * 3 + 1], 1);
  EXPECT_EQ(get1aus2[1 * 3 + 0], 1);

  // Every degree: index formula, term values, multiplicities, tuple table.
  const double x = 1.37, y = -0.61, z = 2.09;
  for (int n = 2; n <= 10; n += 2) {
    const MonomialTables t = monomialtables(n);
    ASSERT_EQ(t.count, monomialcount(n));
    double total = 0;
    for (int k = 0; k < t.count; ++k) {
      const int a = t.ex[k][0], b = t.ex[k][1], c = t.ex[k][2];
      EXPECT_EQ(a + b + c, n);
      EXPECT_EQ((n - a) * (n - a + 1) / 2 + c, k) << "degree " << n;
      EXPECT_NEAR(t.fak(k, x, y, z), std::pow(x, a) * std::pow(y, b) * std::pow(z, c),
                  1e-13 * std::fabs(std::pow(x, a) * std::pow(y, b) * std::pow(z, c)));
      EXPECT_EQ(t.zaehl[k], factorial(n) / (factorial(a) * factorial(b) * factorial(c)));
      total += t.zaehl[k];
    }
    EXPECT_EQ(total, tuplecount(n));
    for (int tuple = 0; tuple < tuplecount(n); ++tuple) {
      int count[3] = {0, 0, 0};
      for (int r = tuple, i = 0; i < n; ++i, r /= 3) ++count[r % 3];
      const int k = t.get1aus[tuple];
      ASSERT_TRUE(t.ex[k][0] == count[0] && t.ex[k][1] == count[1] && t.ex[k][2] == count[2])
          << "degree " << n << " tuple " << tuple;
    }
  }
}

// The literal construction: the indicator tensor of monomial m, transformed
// with R in each of its n indices, summed back per monomial and divided by
// that monomial's multiplicity.
std::vector<double> tensorimage(int n, const double R[9], int m) {
  const MonomialTables t = monomialtables(n);
  const int size = tuplecount(n);
  std::vector<double> e(size), f(size);
  for (int i = 0; i < size; ++i) e[i] = t.get1aus[i] == m ? 1.0 : 0.0;
  int stride = 1;
  for (int index = 0; index < n; ++index, stride *= 3) {
    for (int i = 0; i < size; ++i) {
      const int digit = i / stride % 3;
      const int base = i - digit * stride;
      double s = 0;
      for (int j = 0; j < 3; ++j) s += R[3 * digit + j] * e[base + j * stride];
      f[i] = s;
    }
    e.swap(f);
  }
  std::vector<double> acc(t.count, 0.0);
  for (int i = 0; i < size; ++i) acc[t.get1aus[i]] += e[i];
  for (int k = 0; k < t.count; ++k) acc[k] /= t.zaehl[k];
  return acc;
}

TEST(TextureTables, MonomialImageIsTheTensorTransform) {
  zaehlbau();
  const double sixfold[9] = {1, -1, 0, 1, 0, 0, 0, 0, 1};  // x-y, x, z
  const double skew[9] = {0.3, -1.2, 0.5, 2.0, 0.7, -0.4, -0.6, 0.1, 1.1};
  for (const double* R : {sixfold, skew})
    for (int n : {2, 4, 6}) {
      const int count = monomialcount(n);
      for (int m = 0; m < count; ++m) {
        std::vector<double> want = tensorimage(n, R, m), got(count);
        monomialimage(n, R, m, got.data());
        for (int k = 0; k < count; ++k)
          ASSERT_NEAR(got[k], want[k], 1e-12 * (1 + std::fabs(want[k])))
              << "degree " << n << " m " << m << " k " << k;
      }
    }
}

// Operator table rows (13 doubles, the rotation at elements 3..11) of the
// general position of a group.
std::vector<double> operatortable(const SpaceGroupRecord* g) {
  const WyckoffRecord* w = g->general;
  std::vector<double> ops(13 * static_cast<size_t>(w->count), 0.0);
  for (int i = 0; i < w->count; ++i)
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) ops[13 * i + 3 + 3 * r + c] = w->op[i].comp[r].coef[c];
  return ops;
}

// First group of the database with that number (and lattice name, when given).
const SpaceGroupRecord* group(int number, const char* lattice = nullptr) {
  spaceinit();
  const std::string key = " SpacegroupNo=" + std::to_string(number) + " ";
  for (const SpaceGroupRecord* g = spacefirst; g != nullptr; g = g->next) {
    std::string header = std::string(" ") + g->header + " ";
    if (header.find(key) == std::string::npos) continue;
    if (lattice != nullptr &&
        header.find(std::string(" Lattice=") + lattice + " ") == std::string::npos)
      continue;
    return g;
  }
  return nullptr;
}

// Dimension of the polynomials of degree n that every rotation leaves
// unchanged: the coefficient of t^n in the mean of 1/det(1 - t R) (Molien),
// expanded with the integer recursion of the characteristic polynomial.
long molien(const std::vector<double>& ops, int n) {
  const size_t nops = ops.size() / 13;
  if (nops == 0) {
    ADD_FAILURE() << "no symmetry operator";
    return 0;
  }
  long sum = 0;
  for (size_t r = 0; r < nops; ++r) {
    const double* R = &ops[13 * r + 3];
    double R2trace = 0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) R2trace += R[3 * i + j] * R[3 * j + i];
    const long e1 = std::lround(R[0] + R[4] + R[8]);
    const long e2 = std::lround((e1 * e1 - R2trace) / 2);
    const long e3 =
        std::lround(R[0] * (R[4] * R[8] - R[5] * R[7]) - R[1] * (R[3] * R[8] - R[5] * R[6]) +
                    R[2] * (R[3] * R[7] - R[4] * R[6]));
    std::vector<long> c(n + 1, 0);
    for (int i = 0; i <= n; ++i)
      c[i] = (i == 0 ? 1 : e1 * c[i - 1]) - (i >= 2 ? e2 * c[i - 2] : 0) +
             (i >= 3 ? e3 * c[i - 3] : 0);
    sum += c[n];
  }
  EXPECT_EQ(sum % static_cast<long>(nops), 0);
  return sum / static_cast<long>(nops);
}

class TextureProjector : public ::testing::Test {
 protected:
  ktest::CrystalInstall inst{{"ordanix.dat"}};
  void SetUp() override { zaehlbau(); }
};

TEST_F(TextureProjector, FreeCoefficientsPerLaueClassFollowTheMolienSeries) {
  struct Case {
    const char* laue;
    int number;
    const char* lattice;
    int known[5];  // free coefficients of degree 2..10 where known by hand, else 0
  };
  const Case cases[] = {
      {"-1 (P1)", 1, nullptr, {6, 15, 28, 45, 66}},
      {"-1", 2, nullptr, {6, 15, 28, 45, 66}},
      {"2/m", 10, nullptr, {}},
      {"mmm", 47, nullptr, {3, 6, 10, 15, 21}},
      {"4/m", 83, nullptr, {}},
      {"4/mmm", 136, nullptr, {}},
      {"-3 (R, rhombohedral axes)", 148, "Rhombohedral", {}},
      {"-3m (R, hexagonal axes)", 167, "Trigonal", {}},
      {"-3m1", 164, nullptr, {}},
      {"-31m", 162, nullptr, {}},
      {"6/m", 175, nullptr, {}},
      {"6mm (P63mc)", 186, nullptr, {2, 3, 5, 7, 9}},
      {"6/mmm", 191, nullptr, {2, 3, 5, 7, 9}},
      {"m-3", 200, nullptr, {}},
      {"m-3m (Fd-3m)", 227, nullptr, {1, 2, 3, 4, 5}},
  };
  for (const Case& c : cases) {
    const SpaceGroupRecord* g = group(c.number, c.lattice);
    ASSERT_NE(g, nullptr) << c.laue;
    const std::vector<double> ops = operatortable(g);
    const int nops = g->general->count;
    for (int n = 2, i = 0; n <= 10; n += 2, ++i) {
      const int N = monomialcount(n);
      std::vector<double> P(N * N), I(N * N);
      texturprojektor(n, ops.data(), nops, P.data(), I.data());
      double trace = 0;
      for (int k = 0; k < N; ++k) trace += P[k * N + k];
      const long expect = molien(ops, n);
      EXPECT_NEAR(trace, static_cast<double>(expect), 1e-9) << c.laue << " degree " << n;
      if (c.known[i] != 0) {
        EXPECT_EQ(expect, c.known[i]) << c.laue << " degree " << n;
      }
      // A projector: P P = P; and the first operator is the identity.
      for (int r = 0; r < N; ++r)
        for (int k = 0; k < N; ++k) {
          double pp = 0;
          for (int j = 0; j < N; ++j) pp += P[r * N + j] * P[j * N + k];
          ASSERT_NEAR(pp, P[r * N + k], 1e-9) << c.laue << " degree " << n;
          ASSERT_EQ(I[r * N + k], r == k ? 1.0 : 0.0);
        }
    }
  }
}

TEST_F(TextureProjector, IdentityOnlyProjectorIsTheIdentity) {
  const std::vector<double> ops = operatortable(group(1));
  ASSERT_EQ(ops.size(), 13u);
  for (int n = 2; n <= 10; n += 2) {
    const int N = monomialcount(n);
    std::vector<double> P(N * N), I(N * N);
    texturprojektor(n, ops.data(), 1, P.data(), I.data());
    EXPECT_EQ(P, I);
  }
}

}  // namespace
