// The bounded quadratic solver of the model-change tests: random bounded
// problems meet the optimality (KKT) conditions, the dense and the list form
// agree, and the edge cases keep their exact values.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

#include "rg0.hpp"

namespace {

using kalvo::rg0;
using kalvo::Rg0Form;

long tri(long i) { return i * (i + 1) / 2; }

struct Problem {
  int n;
  std::vector<float> A, b, u;
};

// A positive definite matrix J'J + 0.1 I over variables of widely different
// scales (as intensities, positions and widths are), dense or banded (peaks
// that overlap only their neighbours), a right side of either sign and
// bounds of 0 (new parameters) or positive values (current parameters), as
// the model-change tests pose them.
Problem randomproblem(std::mt19937& gen, int n, bool banded) {
  std::uniform_real_distribution<double> uni(-1, 1);
  std::uniform_real_distribution<double> unit(0, 1);
  const int rows = n + 3;
  std::vector<double> J(static_cast<size_t>(rows) * n, 0.0);
  for (int r = 0; r < rows; ++r)
    for (int i = 0; i < n; ++i)
      if (!banded || std::abs(r - i) <= 1) J[static_cast<size_t>(r) * n + i] = uni(gen);
  std::vector<double> scale(static_cast<size_t>(n));
  for (double& s : scale) s = std::pow(10.0, 2 * uni(gen));
  Problem p{n, std::vector<float>(static_cast<size_t>(tri(n))), std::vector<float>(n),
            std::vector<float>(n)};
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j <= i; ++j) {
      double s = i == j ? 0.1 : 0.0;
      for (int r = 0; r < rows; ++r)
        s += J[static_cast<size_t>(r) * n + i] * J[static_cast<size_t>(r) * n + j];
      p.A[tri(i) + j] = static_cast<float>(s * scale[i] * scale[j]);
    }
    p.b[i] = static_cast<float>(2 * uni(gen) * scale[i]);
    p.u[i] = unit(gen) < 0.3 ? 0.0f : static_cast<float>(unit(gen) / scale[i]);
  }
  return p;
}

double element(const Problem& p, int i, int j) {
  return i >= j ? p.A[tri(i) + j] : p.A[tri(j) + i];
}

// KKT of min 1/2 x'Ax - b'x, x <= u: x within its bound; the gradient Ax - b
// vanishes for a free component and is not positive at the bound. Measured
// in the scaled variables, where the solver's tolerance applies.
void expectkkt(const Problem& p, const std::vector<float>& x, const char* what) {
  double scale = 0;
  for (int i = 0; i < p.n; ++i)
    scale = std::fmax(scale, std::fabs(p.b[i]) / std::sqrt(element(p, i, i)));
  const double tol = 2e-3 * scale + 1e-6;
  for (int i = 0; i < p.n; ++i) {
    double g = -p.b[i];
    for (int j = 0; j < p.n; ++j) g += element(p, i, j) * x[j];
    const double gs = g / std::sqrt(element(p, i, i));
    EXPECT_LE(x[i], p.u[i]) << what << " component " << i;
    if (x[i] == p.u[i])
      EXPECT_LE(gs, tol) << what << " component " << i << " at its bound";
    else
      EXPECT_NEAR(gs, 0.0, tol) << what << " free component " << i;
  }
}

double objective(const Problem& p, const std::vector<float>& x) {
  double f = 0;
  for (int i = 0; i < p.n; ++i) {
    f -= p.b[i] * static_cast<double>(x[i]);
    for (int j = 0; j < p.n; ++j) f += 0.5 * x[i] * element(p, i, j) * x[j];
  }
  return f;
}

// With a tight step tolerance the solution is the minimum, and with the
// tolerance of the model-change tests (2^-23) the minimum is reached as
// closely: a solve does not end on the first face where the conjugate
// gradients converge while a variable at its bound is pulled back inside.
TEST(Rg0, RandomBoundedProblemsMeetTheOptimalityConditionsInBothForms) {
  std::mt19937 gen(20240611);
  int listused = 0;
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE(testing::Message() << "trial " << trial);
    const int n = 1 + trial % 23;
    Problem p = randomproblem(gen, n, trial % 3 == 0);
    std::vector<float> dense(n, 7.0f), list(n, 7.0f), automatic(n, 7.0f);
    ASSERT_TRUE(rg0(p.A.data(), p.b.data(), dense.data(), p.u.data(), n, 1e-12, Rg0Form::dense));
    ASSERT_TRUE(rg0(p.A.data(), p.b.data(), list.data(), p.u.data(), n, 1e-12, Rg0Form::list));
    ASSERT_TRUE(rg0(p.A.data(), p.b.data(), automatic.data(), p.u.data(), n, 1e-12));
    expectkkt(p, dense, "dense");
    expectkkt(p, list, "list");
    // Both forms reach the same minimum.
    const double fd = objective(p, dense), fl = objective(p, list);
    EXPECT_NEAR(fd, fl, 1e-4 * std::fabs(fd) + 1e-9);
    EXPECT_TRUE(automatic == dense || automatic == list);
    listused += automatic == list && automatic != dense;

    std::vector<float> coarse(n, 7.0f);
    ASSERT_TRUE(rg0(p.A.data(), p.b.data(), coarse.data(), p.u.data(), n, 1.1920928955078125e-07));
    for (int i = 0; i < n; ++i) EXPECT_LE(coarse[i], p.u[i]) << i;
    EXPECT_NEAR(objective(p, coarse), fd, 1e-5 * std::fabs(fd));
  }
  // Sparse problems pick the list form.
  EXPECT_GT(listused, 0);
}

TEST(Rg0, EdgeCasesKeepExactValues) {
  // Diagonal system: x_i = min(b_i / a_ii, u_i); a variable at its bound is
  // returned as exactly u_i; a zero diagonal element gives 0 and does not
  // stop the solve.
  const std::vector<float> A = {4, 0, 0.5f, 0, 0, 0, 0, 0, 0, 2};
  const std::vector<float> b = {2, -1, 3, 1};
  const std::vector<float> u = {10, 0, 5, 0.1234567f};
  for (Rg0Form form : {Rg0Form::automatic, Rg0Form::dense, Rg0Form::list}) {
    std::vector<float> x(4, 9.0f);
    ASSERT_TRUE(rg0(A.data(), b.data(), x.data(), u.data(), 4, 1.1920928955078125e-07, form));
    EXPECT_FLOAT_EQ(x[0], 0.5f);
    EXPECT_FLOAT_EQ(x[1], -2.0f);  // the new parameter's step stays at or below its bound 0
    EXPECT_EQ(x[2], 0.0f);         // no influence
    EXPECT_EQ(x[3], 0.1234567f);   // exactly its bound
  }
  // A bound of 0 holds against a right side that pulls upwards.
  {
    const std::vector<float> A2 = {1, 0.5f, 1};
    const std::vector<float> b2 = {1, 1};
    const std::vector<float> u2 = {0, 5};
    std::vector<float> x(2);
    ASSERT_TRUE(rg0(A2.data(), b2.data(), x.data(), u2.data(), 2, 1.1920928955078125e-07));
    EXPECT_EQ(x[0], 0.0f);
    EXPECT_NEAR(x[1], 1.0f, 1e-6);
  }
  // Nothing to solve.
  std::vector<float> none(1, 3.0f);
  EXPECT_TRUE(rg0(A.data(), b.data(), none.data(), u.data(), 0, 1e-7));
  EXPECT_EQ(none[0], 3.0f);
}

TEST(Rg0, FailuresLeaveTheSolutionAlone) {
  const struct {
    const char* what;
    std::vector<float> A;
  } cases[] = {
      {"negative diagonal element", {1, 0, -1}},
      {"diagonal element not a number", {1, 0, NAN}},
      {"infinite diagonal element", {INFINITY, 0, 1}},
      {"indefinite matrix", {1, 2, 1}},
  };
  const std::vector<float> b = {1, -1}, u = {5, 5};
  for (const auto& c : cases) {
    std::vector<float> x = {7, 8};
    EXPECT_FALSE(rg0(c.A.data(), b.data(), x.data(), u.data(), 2, 1.1920928955078125e-07))
        << c.what;
    EXPECT_EQ(x, (std::vector<float>{7, 8})) << c.what;
  }
}

}  // namespace
