// Symmetry-adapted texture tables: the monomials x^a y^b z^c of the even
// degrees 2 to 10 in which the texture function of a phase and the
// fourth-order anisotropy objects are expanded, their values, the index and
// multiplicity tables that map n-index tensors onto monomials, and the
// projector that averages a coefficient set over the operators of a group.
//
// Monomials of degree n are ordered by the exponent of x descending, then the
// exponent of z ascending: (a, b, c) has the index (n - a)(n - a + 1)/2 + c.
// A tensor index tuple (i1, ..., in), each i in {0, 1, 2} for x, y, z, has the
// number i1 3^(n-1) + ... + in and stands for the monomial with a = number of
// 0s, b of 1s, c of 2s.
#pragma once

#include <array>
#include <cstdint>

namespace crystal {

// Number of monomials of degree n: (n + 1)(n + 2)/2.
constexpr int monomialcount(int n) { return (n + 1) * (n + 2) / 2; }
// Number of tensor index tuples of degree n: 3^n.
constexpr int tuplecount(int n) { return n == 0 ? 1 : 3 * tuplecount(n - 1); }

// Exponent triples (a, b, c) of the monomials of degree n, in index order.
template <int n>
using Extab = std::array<std::array<int32_t, 3>, monomialcount(n)>;

template <int n>
constexpr Extab<n> makeextab() {
  Extab<n> t{};
  int k = 0;
  for (int a = n; a >= 0; --a)
    for (int c = 0; c <= n - a; ++c) t[k++] = {a, n - a - c, c};
  return t;
}

inline constexpr Extab<2> extab2 = makeextab<2>();
inline constexpr Extab<4> extab4 = makeextab<4>();
inline constexpr Extab<6> extab6 = makeextab<6>();
inline constexpr Extab<8> extab8 = makeextab<8>();
inline constexpr Extab<10> extab10 = makeextab<10>();

// x^a y^b z^c of the k-th monomial of the degree (k is not checked).
double fak2(int32_t k, double x, double y, double z);
double fak4(int32_t k, double x, double y, double z);
double fak6(int32_t k, double x, double y, double z);
double fak8(int32_t k, double x, double y, double z);
double fak10(int32_t k, double x, double y, double z);

// Monomial index of every tensor index tuple (built by zaehlbau).
extern uint8_t get1aus2[9];
extern uint8_t get1aus4[81];
extern uint8_t get1aus6[729];
extern uint8_t get1aus8[6561];
extern uint8_t get1aus10[59049];

// Number of tuples of every monomial, n!/(a! b! c!) (built by zaehlbau).
extern double zaehl2[6];
extern double zaehl4[15];
extern double zaehl6[28];
extern double zaehl8[45];
extern double zaehl10[66];

// 1 until zaehlbau has built the tables.
extern uint8_t zaehlinit;

// Builds the index and multiplicity tables of every degree, once; later calls
// return at once. Call on the main thread before any worker reads them. A
// monomial without a tuple is the internal error "zaehl<n>".
void zaehlbau();

// The tables of one degree n (2, 4, 6, 8 or 10): monomial count, exponents,
// multiplicities, tuple-to-monomial table and term function. Null members for
// any other n.
struct MonomialTables {
  int count;
  const std::array<int32_t, 3>* ex;
  const double* zaehl;
  const uint8_t* get1aus;
  double (*fak)(int32_t k, double x, double y, double z);
};
MonomialTables monomialtables(int n);

// The image of monomial m of degree n under the 3 x 3 matrix R (row by row,
// row = new coordinate) applied to every index of its indicator tensor,
// summed back per monomial and divided by that monomial's multiplicity:
// acc[k] = zaehl[m] / zaehl[k] x (coefficient of x^k in the product over j of
// (R[0][j] x + R[1][j] y + R[2][j] z)^(exponent j of m)). acc has one entry
// per monomial of the degree. The tables must be built.
void monomialimage(int n, const double R[9], int m, double* acc);

// Projector of degree n onto the coefficient sets that the operators leave
// unchanged: P[m][k] is the mean over the nops operators of the image of
// monomial m; I[m][k] the image under the first operator alone. ops is the
// phase's operator table, 13 doubles per operator with the rotation matrix,
// row by row, at elements 3 to 11. P and I hold N x N doubles (N monomials),
// row by row. The tables must be built; nops must be positive.
void texturprojektor(int n, const double* ops, int nops, double* P, double* I);

}  // namespace crystal
