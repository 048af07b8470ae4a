#!/usr/bin/python3
"""Reference optima of small measuring-time plans for the tests of tamrel's
plan optimisation, computed once with cvxopt (Debian package python3-cvxopt,
with python3-numpy) and written to tests/data/plan_reference.txt.  The build
and the tests do not need either.

A plan is the counting times t_i (0 <= t_i <= pmax_i) of m points that
minimise the total time sum t_i subject to
    sum_k a_k' (prior + sum_i t_i f_i f_i')^-1 a_k <= s
(s the number of targets a_k).  The problem is convex; it is solved as
a semidefinite programme by cvxopt's interior-point method, and the optimum
is checked by its optimality conditions: with
g_i = f_i' C A C f_i (A = sum_k a_k a_k'), every point strictly between its
bounds has g_i = mu, every point at 0 has g_i <= mu, every point at pmax has
g_i >= mu, for one mu > 0.

The derivative rows f_i and the upper times are single-precision numbers
(the program's rows are), written with 9 significant digits so that they
read back exactly.

File format, per problem:
    problem <name> m <m> r <r> s <s> prior <0|1>
    f <r values>            m lines
    pmax <m values>
    prior <r(r+1)/2 values> (packed lower triangle by rows; only with prior 1)
    target <r values>       s lines
    total <reference total time>
    times <m values>
    end

Usage: tools/reference/plan_cvxopt.py > tests/data/plan_reference.txt
"""

import sys

import cvxopt
import numpy as np
from cvxopt import matrix, solvers

PROBLEMS = [
    # name, m, r, s, with prior, upper times bounding the plan, seed
    ("two-parameters", 8, 2, 1, False, False, 11),
    ("three-two-targets-prior", 12, 3, 2, True, False, 12),
    ("bounded-times", 15, 3, 1, False, True, 13),
    ("four-parameters-prior", 20, 4, 2, True, True, 14),
    ("line-profile", 30, 3, 1, False, True, 15),
]


def f32(x):
    return np.asarray(x, dtype=np.float32).astype(np.float64)


def problem(m, r, s, withprior, seed):
    rng = np.random.default_rng(seed)
    if seed == 15:
        # rows of a peak of intensity, position and width on a background
        x = np.linspace(-3.0, 3.0, m)
        h = np.exp(-0.5 * x * x)
        F = np.stack([h, h * x, h * (x * x - 1.0)], axis=1) + 0.05 * rng.standard_normal((m, r))
    else:
        F = rng.standard_normal((m, r))
    F = f32(F)
    pmax = f32(1e4 * (0.5 + rng.random(m)))
    prior = None
    if withprior:
        G = rng.standard_normal((r, r))
        prior = 0.3 * G @ G.T
    # targets tight enough that the prior alone does not suffice
    A = rng.standard_normal((s, r)) * 10.0
    return F, pmax, prior, A


def spur(t, F, prior, A):
    N = (F.T * t) @ F
    if prior is not None:
        N = N + prior
    C = np.linalg.inv(N)
    return float(np.sum((A @ C) * A)), C


def solve(F, pmax, prior, A):
    """The plan as a semidefinite programme: minimise sum t subject to
    [[N(t), a_k], [a_k', u_k]] >= 0 for every target, sum u_k <= s and
    0 <= t <= pmax (the Schur complement gives u_k >= a_k' N(t)^-1 a_k)."""
    m, r = F.shape
    s = A.shape[0]
    n = m + s
    c = matrix([1.0] * m + [0.0] * s)
    rows = []
    h = []
    for i in range(m):
        e = [0.0] * n
        e[i] = -1.0
        rows.append(e)
        h.append(0.0)
        e = [0.0] * n
        e[i] = 1.0
        rows.append(e)
        h.append(float(pmax[i]))
    rows.append([0.0] * m + [1.0] * s)
    h.append(float(s))
    G = matrix(np.array(rows))
    h = matrix(h)
    d = r + 1
    Gs, hs = [], []
    P0 = prior if prior is not None else np.zeros((r, r))
    for k in range(s):
        cols = np.zeros((d * d, n))
        for i in range(m):
            M = np.zeros((d, d))
            M[:r, :r] = -np.outer(F[i], F[i])
            cols[:, i] = M.flatten(order="F")
        M = np.zeros((d, d))
        M[r, r] = -1.0
        cols[:, m + k] = M.flatten(order="F")
        H = np.zeros((d, d))
        H[:r, :r] = P0
        H[:r, r] = A[k]
        H[r, :r] = A[k]
        Gs.append(matrix(cols))
        hs.append(matrix(H))
    # the tightest tolerance the interior-point iteration reaches
    for tol in (1e-11, 1e-10, 1e-9, 1e-8):
        solvers.options.update(
            {"show_progress": False, "abstol": tol, "reltol": tol, "feastol": tol, "maxiters": 300})
        try:
            sol = solvers.sdp(c, Gl=G, hl=h, Gs=Gs, hs=hs)
        except ZeroDivisionError:
            continue
        if sol["status"] == "optimal":
            t = np.array(sol["x"][:m]).flatten()
            return np.clip(t, 0.0, pmax)
    sys.exit("cvxopt found no optimum")


def check(t, F, pmax, prior, A):
    _, C = spur(t, F, prior, A)
    B = C @ A.T @ A @ C
    g = np.einsum("ij,jk,ik->i", F, B, F)
    inner = (t > 1e-7 * pmax) & (t < pmax * (1 - 1e-7))
    mu = np.mean(g[inner]) if inner.any() else None
    if mu is not None:
        assert np.all(np.abs(g[inner] - mu) < 1e-4 * mu), (g[inner], mu)
        assert np.all(g[t <= 1e-7 * pmax] <= mu * (1 + 1e-4))
        assert np.all(g[t >= pmax * (1 - 1e-7)] >= mu * (1 - 1e-4))


def fmt(values):
    return " ".join("%.9g" % v for v in values)


def fmt17(values):
    return " ".join("%.17g" % v for v in values)


def main():
    print("# measuring-time plans solved by cvxopt %s (semidefinite programme), "
          "tools/reference/plan_cvxopt.py" % cvxopt.__version__)
    for name, m, r, s, withprior, bounded, seed in PROBLEMS:
        F, pmax, prior, A = problem(m, r, s, withprior, seed)
        t = solve(F, pmax, prior, A)
        if bounded:
            # the points the free plan uses most get 70 % of their free time
            pmax = f32(np.where(t > 0.3 * t.max(), 0.7 * t, pmax))
            t = solve(F, pmax, prior, A)
        check(t, F, pmax, prior, A)
        print("problem %s m %d r %d s %d prior %d" % (name, m, r, s, 1 if withprior else 0))
        for row in F:
            print("f " + fmt(row))
        print("pmax " + fmt(pmax))
        if withprior:
            print("prior " + fmt17(prior[i, j] for i in range(r) for j in range(i + 1)))
        for a in A:
            print("target " + fmt17(a))
        print("total %.12g" % t.sum())
        print("times " + fmt17(t))
        print("end")


if __name__ == "__main__":
    main()
