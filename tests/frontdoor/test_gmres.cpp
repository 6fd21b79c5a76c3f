// GMRES and flexible GMRES through the front door: against a plain dense
// GMRES written here, on systems whose Krylov space ends early, stagnates
// or is singular, and across restart lengths. (Run-to-run bits are the
// distributed tests' CompareWithSerial, which solves twice with GMRES and
// flexible GMRES.)
#include "MatrixMarket.h"
#include <qvl3d/Solve.h>
#include "TestCsr.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

using namespace qvl3d;
using test::BitEqual;

namespace {

using Dense = std::vector<std::vector<double>>;

// The non-zero entries of a dense matrix (and every diagonal), 0-based rows.
test::CCsr System(const Dense& A)
{
    return test::CsrFromDense(A);
}

CSolveOptions Gmres(EMethod method, EPreconditioner p, int restart, double rtol = 1e-10, int maxIter = 10000)
{
    CSolveOptions o;
    o.method = method;
    o.preconditioner = p;
    o.restart = restart;
    o.rtol = rtol;
    o.maxIter = maxIter;
    return o;
}

CSolveResult Solve(const test::CCsr& A, const CSolveOptions& o, const std::vector<double>& b, std::vector<double>& x)
{
    x.assign(b.size(), 0.0);
    CSolver solver(A.View(), o);
    return solver.Solve(b.data(), x.data());
}

// An unsymmetric n x n matrix with about half its off-diagonal entries set,
// from a fixed 64-bit LCG, its diagonal dominant.
Dense RandomMatrix(int n, std::uint64_t seed)
{
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(seed >> 11) / 9007199254740992.0 * 2.0 - 1.0;
    };
    Dense A(n, std::vector<double>(n, 0.0));
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double v = next();
            if (i == j)
                A[i][j] = 0.6 * n + v; // dominant: GMRES(1) converges too
            else if (std::fabs(v) > 0.5)
                A[i][j] = v;
        }
    return A;
}

// Restarted GMRES as the textbooks write it, preconditioned on the right by
// diag(d): modified Gram-Schmidt, Givens rotations, the least-squares norm
// after each iteration, until it is at most bound. x from 0.
std::vector<double> ReferenceGmres(const Dense& A, const std::vector<double>& d, const std::vector<double>& b, int m,
                                   double bound, int maxIter, std::vector<double>& x)
{
    const size_t n = b.size();
    std::vector<double> history;
    x.assign(n, 0.0);
    while (static_cast<int>(history.size()) < maxIter) {
        Dense V(1, std::vector<double>(n)), H(m + 1, std::vector<double>(m, 0.0));
        std::vector<double> c(m), s(m), g(m + 1, 0.0);
        double beta = 0.0;
        for (size_t i = 0; i < n; ++i) {
            double ax = 0.0;
            for (size_t j = 0; j < n; ++j) ax += A[i][j] * x[j];
            V[0][i] = b[i] - ax;
            beta += V[0][i] * V[0][i];
        }
        g[0] = beta = std::sqrt(beta);
        for (double& v : V[0]) v /= beta;
        int k = 0;
        for (bool done = false; k < m && !done; ++k) {
            std::vector<double> w(n, 0.0);
            for (size_t i = 0; i < n; ++i)
                for (size_t j = 0; j < n; ++j) w[i] += A[i][j] * d[j] * V[k][j];
            for (int l = 0; l <= k; ++l) {
                for (size_t i = 0; i < n; ++i) H[l][k] += V[l][i] * w[i];
                for (size_t i = 0; i < n; ++i) w[i] -= H[l][k] * V[l][i];
            }
            double norm = 0.0;
            for (double wi : w) norm += wi * wi;
            H[k + 1][k] = std::sqrt(norm);
            for (double& wi : w) wi /= H[k + 1][k];
            V.push_back(w);
            for (int l = 0; l < k; ++l) {
                const double t = c[l] * H[l][k] + s[l] * H[l + 1][k];
                H[l + 1][k] = c[l] * H[l + 1][k] - s[l] * H[l][k];
                H[l][k] = t;
            }
            const double r = std::hypot(H[k][k], H[k + 1][k]);
            c[k] = H[k][k] / r;
            s[k] = H[k + 1][k] / r;
            H[k][k] = r;
            g[k + 1] = -s[k] * g[k];
            g[k] *= c[k];
            history.push_back(std::fabs(g[k + 1]));
            done = history.back() <= bound || static_cast<int>(history.size()) == maxIter;
        }
        std::vector<double> y(k);
        for (int i = k - 1; i >= 0; --i) {
            y[i] = g[i];
            for (int l = i + 1; l < k; ++l) y[i] -= H[i][l] * y[l];
            y[i] /= H[i][i];
        }
        for (size_t i = 0; i < n; ++i)
            for (int l = 0; l < k; ++l) x[i] += d[i] * V[l][i] * y[l];
        if (history.back() <= bound) break;
    }
    return history;
}

double Norm(const std::vector<double>& v)
{
    double s = 0.0;
    for (double e : v) s += e * e;
    return std::sqrt(s);
}

} // namespace

// Every iteration's norm as the plain GMRES has it, to rounding, for both
// methods, with no preconditioner and the diagonal one, restarted after 1,
// 3 and 7 iterations and not at all; the same iteration count and x.
TEST(Gmres, FollowsAPlainGmresStepByStep)
{
    const int n = 12;
    for (std::uint64_t seed : {1u, 2u, 3u}) {
        const Dense A = RandomMatrix(n, seed);
        const test::CCsr S = System(A);
        std::vector<double> b(n);
        for (int i = 0; i < n; ++i) b[i] = std::sin(1.0 + i * seed);
        for (EPreconditioner p : {EPreconditioner::None, EPreconditioner::Diagonal}) {
            std::vector<double> d(n, 1.0);
            if (p == EPreconditioner::Diagonal)
                for (int i = 0; i < n; ++i) d[i] = 1.0 / A[i][i];
            for (int m : {1, 3, 7, 30}) {
                std::vector<double> xRef, x;
                const std::vector<double> ref = ReferenceGmres(A, d, b, m, 1e-10 * Norm(b), 500, xRef);
                for (EMethod method : {EMethod::Gmres, EMethod::Fgmres}) {
                    const std::string what = "seed " + std::to_string(seed) + " " + Find(method)->word + "(" +
                                             std::to_string(m) + ") " + Find(p)->word;
                    const CSolveResult r = Solve(S, Gmres(method, p, m, 1e-10, 500), b, x);
                    EXPECT_EQ(r.status, EStatus::Converged) << what;
                    ASSERT_EQ(r.history.size(), ref.size()) << what;
                    for (size_t k = 0; k < ref.size(); ++k)
                        EXPECT_NEAR(r.history[k], ref[k], 1e-9 * ref[k] + 1e-14 * ref[0])
                            << what << " iteration " << k + 1;
                    for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i], xRef[i], 1e-9 * std::fabs(xRef[i]) + 1e-12) << what;
                }
            }
        }
    }
}

// b in a Krylov space of dimension 2 (A has two eigenvalues): the second
// basis vector's successor is exactly 0, the norm 0, x exact (to rounding)
// after two iterations, converged; also when restarted after every iteration.
TEST(Gmres, AnInvariantKrylovSpaceEndsConvergedWithTheExactSolution)
{
    const test::CCsr S = System({{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 2, 0}, {0, 0, 0, 2}});
    const std::vector<double> b{1, 1, 1, 1}, exact{1, 1, 0.5, 0.5};
    for (EMethod method : {EMethod::Gmres, EMethod::Fgmres}) {
        std::vector<double> x;
        const CSolveResult r = Solve(S, Gmres(method, EPreconditioner::None, 30, 1e-14), b, x);
        EXPECT_EQ(r.status, EStatus::Converged);
        ASSERT_EQ(r.iterations, 2);
        EXPECT_EQ(r.history[1], 0.0);
        for (int i = 0; i < 4; ++i) EXPECT_NEAR(x[i], exact[i], 1e-15);
        const CSolveResult r1 = Solve(S, Gmres(method, EPreconditioner::None, 1, 1e-14), b, x);
        EXPECT_EQ(r1.status, EStatus::Converged);
        EXPECT_GT(r1.iterations, 2);
    }
}

// GMRES(1) on diag(1, -1) from r = (1, 1): r . A r = 0, so no cycle moves
// x and the solve stops after one, stagnated (GMRES(2) solves it). On the
// singular [[1, 1], [1, 1]] from r = (1, 0) the second column of the
// Hessenberg matrix rotates to 0: a breakdown, named, and not converged.
TEST(Gmres, StagnationAndASingularKrylovSpaceAreNamed)
{
    std::vector<double> x;
    const test::CCsr flip = System({{1, 0}, {0, -1}});
    const CSolveResult stuck = Solve(flip, Gmres(EMethod::Gmres, EPreconditioner::None, 1), {1, 1}, x);
    EXPECT_EQ(StatusName(stuck.status), std::string("stagnated"));
    EXPECT_EQ(stuck.iterations, 1);
    EXPECT_EQ(x, (std::vector<double>{0, 0}));
    EXPECT_EQ(Solve(flip, Gmres(EMethod::Gmres, EPreconditioner::None, 2), {1, 1}, x).status, EStatus::Converged);

    const test::CCsr singular = System({{1, 1}, {1, 1}});
    for (EMethod method : {EMethod::Gmres, EMethod::Fgmres}) {
        const CSolveResult r = Solve(singular, Gmres(method, EPreconditioner::None, 30), {1, 0}, x);
        EXPECT_EQ(StatusName(r.status), std::string("breakdown_krylov"));
        EXPECT_FALSE(r.Converged());
        EXPECT_EQ(r.iterations, 1);
        EXPECT_NEAR(r.finalResidual, std::sqrt(0.5), 1e-15); // x = (1/2, 0): the best in the first direction
    }
    EXPECT_HAS(test::Refusal<std::invalid_argument>(
                   [&] { CSolver s(flip.View(), Gmres(EMethod::Gmres, EPreconditioner::None, 0)); }),
               "restart is 0; at least 1 is needed");
}

// Every restart length reaches the solution; the first cycle of a longer
// one is the shorter's first cycle bit for bit, and no restarted run
// needs fewer iterations than the unrestarted one (full GMRES minimises
// over the same Krylov space). With a fixed preconditioner the flexible
// method's cycle is the same arithmetic until its update.
TEST(Gmres, RestartLengthsReachTheSameSolution)
{
    for (const char* name : {"pde900.mtx", "sherman1.mtx"}) {
        const host::CSparseMatrix M = host::ReadMatrixMarket(test::MatrixPath(name));
        const test::CCsr S = test::ToCsr(M);
        const std::vector<double> ones = test::RhsForOnes(M), b(ones.begin() + 1, ones.end());
        std::vector<double> x, xFull;
        const CSolveResult full = Solve(S, Gmres(EMethod::Gmres, EPreconditioner::Dilu, 400), b, xFull);
        ASSERT_EQ(full.status, EStatus::Converged) << name;
        for (int m : {1, 2, 5, 30}) {
            for (EMethod method : {EMethod::Gmres, EMethod::Fgmres}) {
                const std::string what = std::string(name) + " " + Find(method)->word + "(" + std::to_string(m) + ")";
                const CSolveResult r = Solve(S, Gmres(method, EPreconditioner::Dilu, m), b, x);
                EXPECT_EQ(r.status, EStatus::Converged) << what;
                EXPECT_LE(full.iterations, r.iterations) << what;
                for (int k = 0; k < std::min(m, r.iterations); ++k)
                    ASSERT_TRUE(BitEqual(r.history[k], full.history[k])) << what << " iteration " << k + 1;
                for (size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(x[i], 1.0, 1e-6) << what << " x[" << i << "]";
            }
        }
    }
}
