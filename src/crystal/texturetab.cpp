// Monomial tables of the texture and fourth-order anisotropy expansions and
// the projector onto symmetric coefficient sets.
#include "crystal/texturetab.hpp"

#include <cstring>

#include "core/fatal.hpp"

namespace crystal {
using namespace core;

uint8_t get1aus2[9];
uint8_t get1aus4[81];
uint8_t get1aus6[729];
uint8_t get1aus8[6561];
uint8_t get1aus10[59049];

double zaehl2[6];
double zaehl4[15];
double zaehl6[28];
double zaehl8[45];
double zaehl10[66];

uint8_t zaehlinit = 1;

namespace {

constexpr const char* kModule = "obj/tamrel";

// x^e by repeated squaring; 1 for e = 0.
double power(double x, int32_t e) {
  double r = 1.0;
  while (e != 0) {
    if ((e & 1) != 0) r *= x;
    e >>= 1;
    if (e != 0) x *= x;
  }
  return r;
}

double monomial(const std::array<int32_t, 3>& e, double x, double y, double z) {
  return power(x, e[0]) * power(y, e[1]) * power(z, e[2]);
}

// Index of (a, b, c) among the monomials of degree a + b + c.
int monomialindex(int a, int c, int degree) { return (degree - a) * (degree - a + 1) / 2 + c; }

// The tables of degree n from those of degree n - 2 (lower and lowerex; null
// and the one empty exponent triple for n = 2): the tuple 9q + p has the
// indices of the tuple q of degree n - 2 and the two digits of p, so its
// exponents are those of q's monomial with one added for each digit of p.
void buildtables(int n, const uint8_t* lower, const std::array<int32_t, 3>* lowerex,
                 uint8_t* get1aus, double* zaehl, const char* label, int line) {
  const int count = monomialcount(n);
  const int lowertuples = tuplecount(n - 2);
  std::memset(zaehl, 0, sizeof(double) * static_cast<size_t>(count));
  for (int q = 0; q < lowertuples; ++q) {
    const std::array<int32_t, 3>& e = lowerex[lower != nullptr ? lower[q] : 0];
    for (int p = 0; p < 9; ++p) {
      int digits[3] = {e[0], e[1], e[2]};
      ++digits[p % 3];
      ++digits[p / 3];
      const int k = monomialindex(digits[0], digits[2], n);
      get1aus[9 * q + p] = static_cast<uint8_t>(k);
      zaehl[k] += 1.0;
    }
  }
  for (int k = 0; k < count; ++k)
    if (zaehl[k] == 0.0) internal_error(label, kModule, line);
}

}  // namespace

double fak2(int32_t k, double x, double y, double z) {
  return monomial(extab2[static_cast<size_t>(k)], x, y, z);
}
double fak4(int32_t k, double x, double y, double z) {
  return monomial(extab4[static_cast<size_t>(k)], x, y, z);
}
double fak6(int32_t k, double x, double y, double z) {
  return monomial(extab6[static_cast<size_t>(k)], x, y, z);
}
double fak8(int32_t k, double x, double y, double z) {
  return monomial(extab8[static_cast<size_t>(k)], x, y, z);
}
double fak10(int32_t k, double x, double y, double z) {
  return monomial(extab10[static_cast<size_t>(k)], x, y, z);
}

void zaehlbau() {
  if (zaehlinit == 0) return;
  static constexpr std::array<int32_t, 3> none{};
  buildtables(2, nullptr, &none, get1aus2, zaehl2, "zaehl2", 2603);
  buildtables(4, get1aus2, extab2.data(), get1aus4, zaehl4, "zaehl4", 2617);
  buildtables(6, get1aus4, extab4.data(), get1aus6, zaehl6, "zaehl6", 2633);
  buildtables(8, get1aus6, extab6.data(), get1aus8, zaehl8, "zaehl8", 2651);
  buildtables(10, get1aus8, extab8.data(), get1aus10, zaehl10, "zaehl10", 2671);
  zaehlinit = 0;
}

MonomialTables monomialtables(int n) {
  switch (n) {
    case 2:
      return {6, extab2.data(), zaehl2, get1aus2, fak2};
    case 4:
      return {15, extab4.data(), zaehl4, get1aus4, fak4};
    case 6:
      return {28, extab6.data(), zaehl6, get1aus6, fak6};
    case 8:
      return {45, extab8.data(), zaehl8, get1aus8, fak8};
    case 10:
      return {66, extab10.data(), zaehl10, get1aus10, fak10};
    default:
      return {0, nullptr, nullptr, nullptr, nullptr};
  }
}

// The indicator tensor of monomial m, transformed with R in every index and
// summed back per monomial, is the polynomial zaehl[m] x (R^T v)^m: each
// index j of the tensor turns into the linear form R[0][j] x + R[1][j] y +
// R[2][j] z. The product of these forms is expanded one factor at a time.
void monomialimage(int n, const double R[9], int m, double* acc) {
  const MonomialTables t = monomialtables(n);
  // Only the even orders 2 to 10 have tables.
  if (t.ex == nullptr) internal_error("texturorder", kModule, __LINE__);
  double poly[66] = {1.0};
  double next[66];
  int degree = 0;
  for (int j = 0; j < 3; ++j) {
    const double form[3] = {R[j], R[3 + j], R[6 + j]};
    for (int e = 0; e < t.ex[m][static_cast<size_t>(j)]; ++e) {
      const int nextcount = monomialcount(degree + 1);
      std::memset(next, 0, sizeof(double) * static_cast<size_t>(nextcount));
      for (int a = degree; a >= 0; --a)
        for (int c = 0; c <= degree - a; ++c) {
          const double v = poly[monomialindex(a, c, degree)];
          if (v == 0.0) continue;
          next[monomialindex(a + 1, c, degree + 1)] += form[0] * v;
          next[monomialindex(a, c, degree + 1)] += form[1] * v;
          next[monomialindex(a, c + 1, degree + 1)] += form[2] * v;
        }
      ++degree;
      std::memcpy(poly, next, sizeof(double) * static_cast<size_t>(nextcount));
    }
  }
  for (int k = 0; k < t.count; ++k) acc[k] = poly[k] * t.zaehl[m] / t.zaehl[k];
}

void texturprojektor(int n, const double* ops, int nops, double* P, double* I) {
  const int count = monomialcount(n);
  double acc[66];
  for (int m = 0; m < count; ++m) {
    double* row = P + static_cast<size_t>(m) * static_cast<size_t>(count);
    std::memset(row, 0, sizeof(double) * static_cast<size_t>(count));
    for (int r = 0; r < nops; ++r) {
      monomialimage(n, ops + 13 * static_cast<size_t>(r) + 3, m, acc);
      for (int k = 0; k < count; ++k) row[k] += acc[k];
      if (r == 0)
        std::memcpy(I + static_cast<size_t>(m) * static_cast<size_t>(count), acc,
                    sizeof(double) * static_cast<size_t>(count));
    }
  }
  for (int i = 0; i < count * count; ++i) P[i] /= nops;
}

}  // namespace crystal
