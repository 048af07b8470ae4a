// Packed symmetric matrices: exact inverses, the status of the factorisation
// and inversion kernels, and the single-precision grouping of the sums.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "numeric/ddreieck.hpp"
#include "numeric/dreieck.hpp"

namespace numeric {

namespace {

long at(int i, int j) { return i >= j ? i * (i + 1) / 2 + j : j * (j + 1) / 2 + i; }

template <typename T>
std::vector<T> pack(const std::vector<std::vector<double>>& full) {
  int n = static_cast<int>(full.size());
  std::vector<T> p(static_cast<size_t>(n * (n + 1) / 2));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) p[at(i, j)] = static_cast<T>(full[i][j]);
  return p;
}

// L L' for a lower-triangular integer L with unit diagonal: an integer SPD
// matrix whose inverse is integer too and whose factorisation is exact.
std::vector<std::vector<double>> llt(const std::vector<std::vector<double>>& L) {
  size_t n = L.size();
  std::vector<std::vector<double>> A(n, std::vector<double>(n, 0));
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j)
      for (size_t k = 0; k < n; ++k) A[i][j] += L[i][k] * L[j][k];
  return A;
}

std::vector<std::vector<double>> inverse_exact(const std::vector<std::vector<double>>& A) {
  // Gauss-Jordan in double on small integer matrices with integer inverses.
  size_t n = A.size();
  std::vector<std::vector<double>> M = A, I(n, std::vector<double>(n, 0));
  for (size_t i = 0; i < n; ++i) I[i][i] = 1;
  for (size_t c = 0; c < n; ++c) {
    size_t piv = c;
    for (size_t r = c; r < n; ++r)
      if (std::fabs(M[r][c]) > std::fabs(M[piv][c])) piv = r;
    std::swap(M[c], M[piv]);
    std::swap(I[c], I[piv]);
    double d = M[c][c];
    for (size_t j = 0; j < n; ++j) {
      M[c][j] /= d;
      I[c][j] /= d;
    }
    for (size_t r = 0; r < n; ++r) {
      if (r == c) continue;
      double f = M[r][c];
      for (size_t j = 0; j < n; ++j) {
        M[r][j] -= f * M[c][j];
        I[r][j] -= f * I[c][j];
      }
    }
  }
  for (auto& row : I)
    for (auto& v : row) v = std::round(v);
  return I;
}

std::vector<std::vector<double>> hilbert(int n) {
  std::vector<std::vector<double>> H(n, std::vector<double>(n));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) H[i][j] = 1.0 / (i + j + 1);
  return H;
}

// The integer inverse of the Hilbert matrix of order n.
double hilbert_inverse(int n, int i, int j) {
  auto binom = [](int a, int b) {
    double r = 1;
    for (int k = 1; k <= b; ++k) r = r * (a - b + k) / k;
    return r;
  };
  double s = ((i + j) % 2 == 0) ? 1 : -1;
  return s * (i + j + 1) * binom(n + i, n - j - 1) * binom(n + j, n - i - 1) * binom(i + j, i) *
         binom(i + j, i);
}

}  // namespace

TEST(PackedMatrices, ExactInversesOfIntegerMatrices) {
  const std::vector<std::vector<std::vector<double>>> factors = {
      {{1, 0, 0}, {2, 1, 0}, {-1, 3, 1}},
      {{1, 0, 0, 0, 0}, {-2, 1, 0, 0, 0}, {1, 1, 1, 0, 0}, {0, -3, 2, 1, 0}, {4, 0, -1, 2, 1}},
  };
  for (const auto& L : factors) {
    auto A = llt(L);
    auto inv = inverse_exact(A);
    int n = static_cast<int>(A.size());
    auto d = pack<double>(A);
    int status = 99;
    dmsin(d.data(), n, &status, 1e-12);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(d, pack<double>(inv)) << "order " << n;
    auto f = pack<float>(A);
    msin(f.data(), n, &status, 1e-6);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(f, pack<float>(inv)) << "order " << n;
    // The factor times its transpose gives the matrix back.
    auto c = pack<double>(A);
    dmfsp(c.data(), n, &status, 1e-12);
    EXPECT_EQ(c, pack<double>(L));
    ddquad(c.data(), n);
    EXPECT_EQ(c, pack<double>(A));
  }
  // Hilbert matrices: not representable, but their inverses are integer and
  // come back to well within rounding.
  for (int n : {4, 5}) {
    auto h = pack<double>(hilbert(n));
    int status = 99;
    dmsin(h.data(), n, &status, 1e-15);
    EXPECT_EQ(status, 0);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j <= i; ++j) {
        double exact = hilbert_inverse(n, i, j);
        EXPECT_NEAR(h[at(i, j)], exact, 1e-8 * std::fabs(exact)) << n << ": " << i << "," << j;
        EXPECT_EQ(std::round(h[at(i, j)]), exact);
      }
  }
}

TEST(PackedMatrices, StatusOfFactorisationAndInversion) {
  struct Case {
    const char* what;
    std::vector<std::vector<double>> A;
    int n;  // order passed (may be below 1)
    double eps;
    int msin_status, dmsin_status;
    std::vector<std::vector<double>> inverse;  // empty: not inverted
  };
  const std::vector<Case> cases = {
      {"n = 1, positive", {{4}}, 1, 0.5, 0, 0, {{0.25}}},
      {"n = 1, zero", {{0}}, 1, 0.5, -1, -1, {}},
      {"n = 1, negative", {{-2}}, 1, 0.5, -1, -1, {}},
      {"n = 0", {{1}}, 0, 0.5, -1, -1, {}},
      {"n negative", {{1}}, -3, 0.5, -1, -1, {}},
      {"second pivot exactly eps times its diagonal",
       {{1, 1, 0}, {1, 2, 0}, {0, 0, 1}},
       3,
       0.5,
       2,
       2,
       {{2, -1, 0}, {-1, 1, 0}, {0, 0, 1}}},
      {"third pivot negative", {{1, 0, 0}, {0, 1, 0}, {0, 0, -1}}, 3, 1e-6, -3, -1, {}},
      {"third pivot zero", {{1, 1, 0}, {1, 2, 1}, {0, 1, 1}}, 3, 1e-6, -3, -1, {}},
      {"small pivots in rows 2 and 3: the last counts",
       llt({{1, 0, 0, 0}, {1, 1, 0, 0}, {0, 1, 1, 0}, {0, 0, 0, 1}}), 4, 0.5, 3, 3,
       inverse_exact(llt({{1, 0, 0, 0}, {1, 1, 0, 0}, {0, 1, 1, 0}, {0, 0, 0, 1}}))},
      {"a NaN pivot is not small", {{1, 0}, {0, NAN}}, 2, 0.5, 0, 0, {}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    auto f = pack<float>(k.A);
    auto d = pack<double>(k.A);
    auto c = pack<double>(k.A);
    const auto f0 = f;
    int sf = 99, sd = 99, sc = 99;
    msin(f.data(), k.n, &sf, k.eps);
    dmsin(d.data(), k.n, &sd, k.eps);
    dmfsp(c.data(), k.n, &sc, k.eps);
    EXPECT_EQ(sf, k.msin_status);
    EXPECT_EQ(sd, k.dmsin_status);
    EXPECT_EQ(sc, k.dmsin_status);
    if (!k.inverse.empty()) {
      EXPECT_EQ(f, pack<float>(k.inverse));
      EXPECT_EQ(d, pack<double>(k.inverse));
    } else if (k.msin_status < -1 || (k.msin_status == -1 && k.n >= 1)) {
      // Stopped at the bad pivot: the columns before it are factored, the
      // bad row's diagonal is untouched.
      int bad = -k.msin_status - 1;
      EXPECT_EQ(f[at(bad, bad)], f0[at(bad, bad)]);
    }
  }
}

TEST(PackedMatrices, ProductsAndSumsFollowTheirPrecision) {
  // Groups of three are summed in single precision: 1e8 + 1 - 1e8 is 0 in
  // float; the remaining product is added on its own.
  std::vector<float> a = {1e8f, 1, -1e8f, 1};
  std::vector<float> one(4, 1.0f);
  EXPECT_EQ(skapro(a.data(), one.data(), 3), 0.0);
  EXPECT_EQ(skapro(a.data(), one.data(), 4), 1.0);
  EXPECT_EQ(skapro(a.data(), one.data(), 0), 0.0);
  std::vector<double> da = {1e17, 1, -1e17, 1}, done(4, 1.0);
  EXPECT_EQ(dskapro(da.data(), done.data(), 3), 0.0);
  EXPECT_EQ(dskapro(da.data(), done.data(), 4), 1.0);

  // y = A x whatever y held before; x'Ax equals x . (A x).
  const int n = 7;
  std::vector<std::vector<double>> full(n, std::vector<double>(n));
  std::vector<float> x(n);
  std::vector<double> xd(n);
  for (int i = 0; i < n; ++i) {
    x[i] = xd[i] = 0.25 * (i - 3) + 0.125;
    for (int j = 0; j < n; ++j) full[i][j] = 1.0 / (1 + std::abs(i - j)) + (i == j ? 2 : 0);
  }
  auto A = pack<float>(full);
  auto Ad = pack<double>(full);
  std::vector<float> y1(n, 0.0f), y2(n, 12345.0f);
  ma(x.data(), A.data(), y1.data(), n);
  ma(x.data(), A.data(), y2.data(), n);
  EXPECT_EQ(y1, y2);
  std::vector<double> yd(n, -7.0);
  dma(xd.data(), Ad.data(), yd.data(), n);
  double dot = 0;
  for (int i = 0; i < n; ++i) {
    double exact = 0;
    for (int j = 0; j < n; ++j) exact += full[i][j] * xd[j];
    EXPECT_NEAR(yd[i], exact, 1e-15);
    EXPECT_NEAR(y1[i], exact, 1e-6);
    dot += xd[i] * exact;
  }
  EXPECT_NEAR(atma(x.data(), A.data(), n), dot, 1e-6);
  EXPECT_NEAR(datma(xd.data(), Ad.data(), n), dot, 1e-14);
  EXPECT_EQ(atma(x.data(), A.data(), 0), 0.0);

  // Rank-one updates: A + g g' element by element, rounded once.
  std::vector<float> g = {1.5f, -2, 0.25f};
  std::vector<float> B = {1, 2, 3, 4, 5, 6};
  bau(g.data(), B.data(), 3);
  EXPECT_EQ(B, (std::vector<float>{1 + 2.25f, 2 - 3, 3 + 4, 4 + 0.375f, 5 - 0.5f, 6 + 0.0625f}));
  std::vector<double> gd = {1.5, -2, 0.25}, Bd = {1, 2, 3, 4, 5, 6};
  dbau(gd.data(), Bd.data(), 3);
  EXPECT_EQ(Bd, (std::vector<double>{3.25, -1, 7, 4.375, 4.5, 6.0625}));
  // The leading block of a larger matrix.
  std::vector<float> C(6, 0.0f);
  bau(g.data(), C.data(), 2);
  EXPECT_EQ(C, (std::vector<float>{2.25f, -3, 4, 0, 0, 0}));
}

}  // namespace numeric
