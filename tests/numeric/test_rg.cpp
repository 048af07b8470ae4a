// Bounded quadratic sub-problems: minimise 1/2 x'Ax - b'x under x <= ub
// (rg) and lb <= x <= ub (rg2). Each solution is checked against the KKT
// conditions and against the best point of a brute-force enumeration of all
// active sets; the dense and the sparse form of the matrix agree.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "numeric/rg.hpp"
#include "numeric/rg2.hpp"

namespace numeric {

namespace {

using Matrix = std::vector<std::vector<double>>;

long at(int i, int j) { return i >= j ? i * (i + 1) / 2 + j : j * (j + 1) / 2 + i; }

std::vector<float> pack(const Matrix& A) {
  int n = static_cast<int>(A.size());
  std::vector<float> p(static_cast<size_t>(n) * (n + 1) / 2);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) p[at(i, j)] = static_cast<float>(A[i][j]);
  return p;
}

struct Problem {
  Matrix A;  // the float matrix's values, in double
  std::vector<float> b, lb, ub;
};

double objective(const Problem& P, const std::vector<double>& x) {
  double q = 0;
  size_t n = x.size();
  for (size_t i = 0; i < n; ++i) {
    double ax = 0;
    for (size_t j = 0; j < n; ++j) ax += P.A[i][j] * x[j];
    q += 0.5 * x[i] * ax - P.b[i] * x[i];
  }
  return q;
}

// Solves the system of the free variables with the others fixed at their
// bounds (Gaussian elimination with partial pivoting, in double).
bool solve_free(const Problem& P, const std::vector<int>& state, std::vector<double>& x) {
  size_t n = P.b.size();
  std::vector<size_t> fr;
  for (size_t i = 0; i < n; ++i) {
    if (state[i] == 1)
      x[i] = P.ub[i];
    else if (state[i] == -1)
      x[i] = P.lb[i];
    else
      fr.push_back(i);
  }
  size_t f = fr.size();
  Matrix M(f, std::vector<double>(f + 1));
  for (size_t r = 0; r < f; ++r) {
    double rhs = P.b[fr[r]];
    for (size_t i = 0; i < n; ++i)
      if (state[i] != 0) rhs -= P.A[fr[r]][i] * x[i];
    for (size_t c = 0; c < f; ++c) M[r][c] = P.A[fr[r]][fr[c]];
    M[r][f] = rhs;
  }
  for (size_t c = 0; c < f; ++c) {
    size_t piv = c;
    for (size_t r = c; r < f; ++r)
      if (std::fabs(M[r][c]) > std::fabs(M[piv][c])) piv = r;
    if (std::fabs(M[piv][c]) < 1e-12) return false;
    std::swap(M[c], M[piv]);
    for (size_t r = 0; r < f; ++r) {
      if (r == c) continue;
      double k = M[r][c] / M[c][c];
      for (size_t j = c; j <= f; ++j) M[r][j] -= k * M[c][j];
    }
  }
  for (size_t r = 0; r < f; ++r) x[fr[r]] = M[r][f] / M[r][r];
  return true;
}

// The best feasible point over every assignment of free / at lower / at
// upper bound.
std::vector<double> brute_force(const Problem& P, bool lower) {
  size_t n = P.b.size();
  std::vector<int> state(n, 0);
  std::vector<double> best;
  double best_q = INFINITY;
  int sides = lower ? 3 : 2;
  long total = 1;
  for (size_t i = 0; i < n; ++i) total *= sides;
  for (long code = 0; code < total; ++code) {
    long c = code;
    for (size_t i = 0; i < n; ++i) {
      int s = static_cast<int>(c % sides);
      c /= sides;
      state[i] = s == 0 ? 0 : (s == 1 ? 1 : -1);
    }
    std::vector<double> x(n);
    if (!solve_free(P, state, x)) continue;
    bool feasible = true;
    for (size_t i = 0; i < n; ++i) {
      if (x[i] > P.ub[i] + 1e-9 * (1 + std::fabs(P.ub[i]))) feasible = false;
      if (lower && x[i] < P.lb[i] - 1e-9 * (1 + std::fabs(P.lb[i]))) feasible = false;
    }
    if (!feasible) continue;
    double q = objective(P, x);
    if (q < best_q) {
      best_q = q;
      best = x;
    }
  }
  return best;
}

// KKT conditions of the float result: a free variable has a vanishing
// gradient, one at its upper bound a gradient pushing outwards (Ax - b <= 0),
// one at its lower bound the opposite.
void expect_kkt(const Problem& P, const std::vector<float>& x, bool lower, double tol) {
  size_t n = x.size();
  for (size_t i = 0; i < n; ++i) {
    double grad = -static_cast<double>(P.b[i]);
    for (size_t j = 0; j < n; ++j) grad += P.A[i][j] * x[j];
    EXPECT_LE(x[i], P.ub[i]) << i;
    if (lower) {
      EXPECT_GE(x[i], P.lb[i]) << i;
    }
    if (x[i] == P.ub[i]) {
      EXPECT_LE(grad, tol) << i;
    } else if (lower && x[i] == P.lb[i]) {
      EXPECT_GE(grad, -tol) << i;
    } else {
      EXPECT_NEAR(grad, 0, tol) << i;
    }
  }
}

Problem random_problem(std::mt19937& rng, int n, bool lower) {
  std::uniform_real_distribution<double> u(-1, 1);
  Matrix M(n, std::vector<double>(n));
  for (auto& row : M)
    for (auto& v : row) v = u(rng);
  Problem P;
  P.A.assign(n, std::vector<double>(n, 0));
  // A = M'M + 0.1 I, with widely different scales per variable.
  std::vector<double> scale(n);
  for (int i = 0; i < n; ++i) scale[i] = std::pow(10.0, 2 * u(rng));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      double s = i == j ? 0.1 : 0;
      for (int k = 0; k < n; ++k) s += M[k][i] * M[k][j];
      P.A[i][j] = static_cast<float>(s * scale[i] * scale[j]);
    }
  for (int i = 0; i < n; ++i) {
    P.b.push_back(static_cast<float>(2 * u(rng) * scale[i]));
    float room = static_cast<float>((u(rng) + 1) / scale[i]);
    // Some variables without an effective bound, some with a bound at 0.
    if (i % 3 == 2) room = FLT_MAX;
    if (i % 4 == 1) room = 0;
    P.ub.push_back(room);
    P.lb.push_back(lower ? -static_cast<float>((u(rng) + 1) / scale[i]) : -FLT_MAX);
  }
  return P;
}

struct Result {
  std::vector<float> x;
  bool ok;
  uint8_t dense;
};

Result run(const Problem& P, bool lower, double thin, double eps = 1e-12) {
  int n = static_cast<int>(P.b.size());
  auto A = pack(P.A);
  Result r{std::vector<float>(n, -99.0f), false, 77};
  if (lower)
    r.ok = rg2(A.data(), P.b.data(), r.x.data(), P.lb.data(), P.ub.data(), n, &r.dense, eps, thin);
  else
    r.ok = rg(A.data(), P.b.data(), r.x.data(), P.ub.data(), n, &r.dense, eps, thin);
  return r;
}

}  // namespace

TEST(BoundedQuadratic, RandomProblemsAgainstKktAndBruteForce) {
  std::mt19937 rng(20240611);
  for (bool lower : {false, true}) {
    for (int n = 1; n <= 6; ++n) {
      for (int rep = 0; rep < 12; ++rep) {
        Problem P = random_problem(rng, n, lower);
        SCOPED_TRACE(testing::Message() << (lower ? "rg2" : "rg") << " n=" << n << " #" << rep);
        Result r = run(P, lower, 0);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.dense, 1);
        double bscale = 0;
        for (float v : P.b) bscale = std::max(bscale, static_cast<double>(std::fabs(v)));
        expect_kkt(P, r.x, lower, 2e-4 * bscale);
        std::vector<double> best = brute_force(P, lower);
        ASSERT_FALSE(best.empty());
        std::vector<double> xd(r.x.begin(), r.x.end());
        double qbest = objective(P, best), qx = objective(P, xd);
        EXPECT_NEAR(qx, qbest, 1e-5 * (std::fabs(qbest) + 1e-6));
        // Componentwise in the variables scaled to a unit diagonal, where
        // the single-precision solver works.
        double size = 0;
        for (int i = 0; i < n; ++i)
          size = std::max(size, std::fabs(best[i]) * std::sqrt(P.A[i][i]));
        for (int i = 0; i < n; ++i)
          EXPECT_NEAR(r.x[i] * std::sqrt(P.A[i][i]), best[i] * std::sqrt(P.A[i][i]), 2e-4 * size)
              << i;
      }
    }
  }
}

TEST(BoundedQuadratic, DenseAndSparseFormsAgree) {
  // A banded matrix: most scaled correlations are exactly 0, so a tiny
  // thinning budget drops just those, and the sparse form holds the same
  // matrix in fewer bytes.
  const int n = 12;
  Problem P;
  P.A.assign(n, std::vector<double>(n, 0));
  for (int i = 0; i < n; ++i) {
    P.A[i][i] = 4 + i;
    if (i > 0) P.A[i][i - 1] = P.A[i - 1][i] = -1.5;
    P.b.push_back(static_cast<float>(std::sin(i + 1.0) * 3));
    P.ub.push_back(i % 3 == 0 ? 0.05f : FLT_MAX);
    P.lb.push_back(i % 4 == 1 ? -0.02f : -FLT_MAX);
  }
  for (bool lower : {false, true}) {
    SCOPED_TRACE(lower ? "rg2" : "rg");
    Result dense = run(P, lower, 0);
    Result sparse = run(P, lower, 1e-30);
    ASSERT_TRUE(dense.ok);
    ASSERT_TRUE(sparse.ok);
    EXPECT_EQ(dense.dense, 1);
    EXPECT_EQ(sparse.dense, 0);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(sparse.x[i], dense.x[i], 1e-5) << i;
    expect_kkt(P, sparse.x, lower, 1e-4);
  }
  // A large budget on a nearly diagonal matrix thins out the small
  // correlations, and the step is still close.
  Problem Q = P;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < i; ++j)
      if (i - j > 1) Q.A[i][j] = Q.A[j][i] = 1e-4 * ((i * j) % 5 - 2);
  Result thinned = run(Q, true, 0.5);
  Result full = run(Q, true, 0);
  EXPECT_EQ(thinned.dense, 0);
  EXPECT_EQ(full.dense, 1);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(thinned.x[i], full.x[i], 1e-3) << i;
  // Two variables: a single correlation, never thinned away.
  Problem two;
  two.A = {{1, 1e-9}, {1e-9, 1}};
  two.b = {1, 2};
  two.ub = {FLT_MAX, FLT_MAX};
  two.lb = {-FLT_MAX, -FLT_MAX};
  Result t = run(two, false, 1e6);
  EXPECT_TRUE(t.ok);
  EXPECT_EQ(t.dense, 0);
  EXPECT_NEAR(t.x[0], 1, 1e-6);
  EXPECT_NEAR(t.x[1], 2, 1e-6);
}

TEST(BoundedQuadratic, EdgeCases) {
  // A variable with a zero diagonal comes back exactly 0 and takes no part.
  Problem P;
  P.A = {{2, 0, 1}, {0, 0, 0}, {1, 0, 2}};
  P.b = {3, 5, 3};
  P.ub = {FLT_MAX, FLT_MAX, FLT_MAX};
  P.lb = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
  for (bool lower : {false, true}) {
    Result r = run(P, lower, 0);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.x[1], 0.0f);
    EXPECT_NEAR(r.x[0], 1, 1e-6);
    EXPECT_NEAR(r.x[2], 1, 1e-6);
  }
  // All diagonals zero: x = 0, success, dense.
  Problem Z;
  Z.A = {{0, 0}, {0, 0}};
  Z.b = {1, 1};
  Z.ub = Z.lb = {1, 1};
  Z.lb = {-1, -1};
  Result z = run(Z, true, 1);
  EXPECT_TRUE(z.ok);
  EXPECT_EQ(z.dense, 1);
  EXPECT_EQ(z.x, (std::vector<float>{0, 0}));
  // A negative or NaN diagonal: failure, x and the flag untouched.
  for (double bad : {-1.0, static_cast<double>(NAN), static_cast<double>(INFINITY)}) {
    Problem N = P;
    N.A[2][2] = bad;
    for (bool lower : {false, true}) {
      Result r = run(N, lower, 0);
      EXPECT_FALSE(r.ok);
      EXPECT_EQ(r.x, std::vector<float>(3, -99.0f));
      EXPECT_EQ(r.dense, 77);
    }
  }
  // n < 1: success, nothing written but the flag.
  {
    uint8_t flag = 0;
    float x = -99;
    EXPECT_TRUE(rg(nullptr, nullptr, &x, nullptr, 0, &flag, 0, 0));
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(x, -99);
  }
  // Unconstrained: x = A^-1 b.
  Problem U;
  U.A = {{4, 1}, {1, 3}};
  U.b = {1, 2};
  U.ub = {FLT_MAX, FLT_MAX};
  U.lb = {-FLT_MAX, -FLT_MAX};
  for (bool lower : {false, true}) {
    Result r = run(U, lower, 0);
    EXPECT_NEAR(r.x[0], 1.0 / 11, 1e-7);
    EXPECT_NEAR(r.x[1], 7.0 / 11, 1e-7);
  }
  // A solution beyond its bound comes back as the bound, bit for bit (not
  // recomputed through the scale), on either side.
  Problem B;
  B.A = {{3, 0.5}, {0.5, 7}};
  B.b = {30, -70};
  B.ub = {0.3f, 1};
  B.lb = {-1, -0.7f};
  Result rb = run(B, true, 0);
  EXPECT_EQ(rb.x[0], 0.3f);
  EXPECT_EQ(rb.x[1], -0.7f);
  Result ru = run(B, false, 0);
  EXPECT_EQ(ru.x[0], 0.3f);
  // lb = ub = 0 keeps a variable at 0.
  Problem F = U;
  F.lb = {0, -FLT_MAX};
  F.ub = {0, FLT_MAX};
  Result rf = run(F, true, 0);
  EXPECT_EQ(rf.x[0], 0.0f);
  EXPECT_NEAR(rf.x[1], 2.0 / 3, 1e-7);
  // A and b are only read.
  auto A = pack(B.A);
  auto A0 = A;
  auto b0 = B.b;
  std::vector<float> x(2);
  rg2(A.data(), B.b.data(), x.data(), B.lb.data(), B.ub.data(), 2, nullptr, 1e-12, 0.3);
  EXPECT_EQ(A, A0);
  EXPECT_EQ(B.b, b0);
}

}  // namespace numeric
