// The aggregation multigrid: its coarse operators against a plain dense
// Galerkin product, the convergence factor of its cycles on Poisson, its
// refusals through the front door, Update against a fresh build, and the
// same bits from run to run.
#include "AmgHierarchy.h"
#include "BoxProblems.h"
#include "MatrixMarket.h"
#include "TestSupport.h"
#include <qvl3d/Solve.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

using namespace qvl3d;
using amg::CAmgHierarchy;
using amg::CSparse;

namespace {

// A host matrix as a level operator: the diagonal first, the others by
// column; keep(i, j) drops the off-diagonal entries it refuses.
CSparse LevelOf(
    const host::CSparseMatrix& M, bool (*keep)(int, int) = [](int, int) { return true; })
{
    return amg::LevelFrom(
        M.nCell,
        [&](int i) {
            for (int k = M.RowBegin(i); k < M.RowEnd(i); ++k)
                if (M.col[k] == i) return M.val[k];
            return 0.0;
        },
        [&](int i, auto&& f) {
            for (int k = M.RowBegin(i); k < M.RowEnd(i); ++k)
                if (M.col[k] != i && keep(i, M.col[k])) f(M.col[k], M.val[k]);
        });
}

std::vector<double> Dense(const CSparse& S)
{
    std::vector<double> D(static_cast<size_t>(S.rows) * S.cols, 0.0);
    for (int i = 1; i <= S.rows; ++i)
        for (int e = S.start[i]; e < S.start[i + 1]; ++e) D[(i - 1) * S.cols + (S.col[e] - 1)] += S.val[e];
    return D;
}

// ||e||_A^2 for e indexed from 1.
double Energy(const CSparse& A, const std::vector<double>& e)
{
    double s = 0.0;
    for (int i = 1; i <= A.rows; ++i)
        for (int k = A.start[i]; k < A.start[i + 1]; ++k) s += e[i] * A.val[k] * e[A.col[k]];
    return s;
}

// The error-reduction factor in the energy norm of the stationary
// iteration x = x + B (b - A x), B one cycle, on A e = 0 from a random error:
// the mean over the last 5 of `steps` iterations.
double ConvergenceFactor(CAmgHierarchy& h, const CSparse& A, int steps)
{
    const int n = A.rows;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> e(n + 1, 0.0), r(n + 1, 0.0), c(n + 1, 0.0);
    for (int i = 1; i <= n; ++i) e[i] = u(random);
    double before = std::sqrt(Energy(A, e)), first = 0.0;
    for (int k = 1; k <= steps; ++k) {
        for (int i = 1; i <= n; ++i) {
            double s = 0.0;
            for (int q = A.start[i]; q < A.start[i + 1]; ++q) s += A.val[q] * e[A.col[q]];
            r[i] = -s;
        }
        h.Cycle(r.data(), c.data());
        for (int i = 1; i <= n; ++i) e[i] += c[i];
        if (k == steps - 5) first = std::sqrt(Energy(A, e));
    }
    before = std::sqrt(Energy(A, e));
    return std::pow(before / first, 1.0 / 5.0);
}

struct CCsr {
    int n = 0;
    std::vector<int> rowStart, col;
    std::vector<double> val;
    CCsrView View() const { return {n, rowStart.data(), nullptr, col.data(), val.data()}; }
};

CCsr ZeroBased(const host::CSparseMatrix& M)
{
    CCsr c;
    c.n = M.nCell;
    c.rowStart = M.rowStart;
    c.val = M.val;
    for (int j : M.col) c.col.push_back(j - 1);
    return c;
}

CSolveOptions Amg(EMethod method)
{
    CSolveOptions o;
    o.method = method;
    if (method != EMethod::Amg) o.preconditioner = EPreconditioner::Amg;
    o.maxIter = 200;
    return o;
}

// Every coarse operator of h against the dense triple product P^T A P of
// the level above: the entries hold it to rounding, no dense non-zero is
// missing from the pattern, and the diagonal comes first.
void ExpectGalerkin(const CAmgHierarchy& h, const std::string& what)
{
    for (int l = 0; l + 1 < h.Levels(); ++l) {
        const CSparse& A = h.Operator(l);
        const CSparse& P = h.Prolongation(l);
        const int n = A.rows, m = P.cols;
        ASSERT_EQ(h.Operator(l + 1).rows, m);
        const std::vector<double> a = Dense(A), p = Dense(P), c = Dense(h.Operator(l + 1));
        std::vector<double> ap(static_cast<size_t>(n) * m, 0.0);
        for (int i = 0; i < n; ++i)
            for (int k = 0; k < n; ++k)
                if (a[i * n + k] != 0.0)
                    for (int J = 0; J < m; ++J) ap[i * m + J] += a[i * n + k] * p[k * m + J];
        double scale = 0.0;
        for (double v : c) scale = std::max(scale, std::fabs(v));
        for (int I = 0; I < m; ++I)
            for (int J = 0; J < m; ++J) {
                double want = 0.0;
                for (int i = 0; i < n; ++i) want += p[i * m + I] * ap[i * m + J];
                ASSERT_NEAR(c[I * m + J], want, 1e-13 * scale)
                    << what << ", level " << l << " (" << I << ", " << J << ")";
            }
        for (int I = 1; I <= m; ++I) ASSERT_EQ(h.Operator(l + 1).col[h.Operator(l + 1).start[I]], I) << what;
    }
}

} // namespace

// P^T A P of the hierarchy against the dense triple product: symmetric
// Poisson and unsymmetric convection-diffusion boxes and a matrix file,
// plain and smoothed aggregation.
TEST(Multigrid, CoarseOperatorsAreTheGalerkinProduct)
{
    const host::CSparseMatrix matrices[] = {host::Poisson(host::CBox{9, 8, 7}),
                                            host::ConvectionDiffusion(host::CBox{8, 8, 8}, host::CConvection{}),
                                            host::ReadMatrixMarket(test::MatrixPath("gr_30_30.mtx"))};
    for (const host::CSparseMatrix& M : matrices)
        for (bool smoothed : {false, true}) {
            amg::CAmgSettings s;
            s.smoothed = smoothed;
            s.coarsestRows = 20;
            CAmgHierarchy h(LevelOf(M), s);
            ASSERT_GE(h.Levels(), 3) << M.nCell;
            ExpectGalerkin(h, std::to_string(M.nCell) + " rows, smoothed " + std::to_string(smoothed));
        }
}

// A level operator is the same whatever order a row's entries come in:
// rows given by ascending column, in reverse, and rotated (halo columns
// above n among them, dropped) give the same columns and values.
TEST(Multigrid, LevelFromTakesEveryRowOrder)
{
    const host::CSparseMatrix M = host::ConvectionDiffusion(host::CBox{6, 5, 4}, host::CConvection{});
    const int n = M.nCell;
    const auto level = [&](int order) {
        return amg::LevelFrom(
            n,
            [&](int i) {
                for (int k = M.RowBegin(i); k < M.RowEnd(i); ++k)
                    if (M.col[k] == i) return M.val[k];
                return 0.0;
            },
            [&](int i, auto&& f) {
                std::vector<std::pair<int, double>> row;
                for (int k = M.RowBegin(i); k < M.RowEnd(i); ++k)
                    if (M.col[k] != i) row.emplace_back(M.col[k], M.val[k]);
                std::sort(row.begin(), row.end());
                if (order == 1) std::reverse(row.begin(), row.end());
                if (order == 2 && !row.empty()) std::rotate(row.begin(), row.begin() + i % row.size(), row.end());
                if (order != 0) row.emplace_back(n + 1 + i % 3, 5.0); // a halo column
                for (const auto& [j, a] : row) f(j, a);
            });
    };
    const CSparse sorted = level(0);
    for (int i = 1; i <= n; ++i) {
        ASSERT_EQ(sorted.col[sorted.start[i]], i);
        for (int e = sorted.start[i] + 2; e < sorted.start[i + 1]; ++e) ASSERT_LT(sorted.col[e - 1], sorted.col[e]);
    }
    EXPECT_EQ(sorted.NonZeros(), M.NonZeros());
    for (int order : {1, 2}) {
        const CSparse other = level(order);
        EXPECT_EQ(other.start, sorted.start) << order;
        EXPECT_EQ(other.col, sorted.col) << order;
        EXPECT_EQ(other.val, sorted.val) << order;
    }
}

// The values of P, made through the maps of the patterns, are those of the
// direct computation (Prolongator) to the bit: from the first build and
// after an Update whose values would have aggregated otherwise.
TEST(Multigrid, ProlongationValuesMatchTheDirectOnesAfterUpdate)
{
    const host::CSparseMatrix matrices[] = {host::Poisson(host::CBox{9, 8, 7}),
                                            host::ConvectionDiffusion(host::CBox{8, 8, 8}, host::CConvection{})};
    for (const host::CSparseMatrix& M : matrices)
        for (bool smoothed : {false, true}) {
            amg::CAmgSettings s;
            s.smoothed = smoothed;
            s.coarsestRows = 20;
            CSparse A = LevelOf(M);
            CAmgHierarchy h(A, s);
            for (int i = 1; i <= A.rows; ++i)
                for (int e = A.start[i]; e < A.start[i + 1]; ++e) A.val[e] *= e == A.start[i] ? 1.5 + 0.01 * i : 0.8;
            for (int pass = 0; pass < 2; ++pass) {
                ASSERT_GE(h.Levels(), 3);
                for (int l = 0; l + 1 < h.Levels(); ++l) {
                    const CSparse& P = h.Prolongation(l);
                    const int m = h.Operator(l + 1).rows;
                    const CSparse S = amg::Prolongator(h.Operator(l), h.Aggregates(l), m, true);
                    const CSparse T = amg::Prolongator(h.Operator(l), h.Aggregates(l), m, false);
                    const CSparse& Q = smoothed && S.col == P.col ? S : T; // weak coarsening keeps P_t
                    ASSERT_EQ(Q.col, P.col) << M.nCell << " level " << l << " pass " << pass;
                    for (size_t e = 0; e < P.val.size(); ++e)
                        ASSERT_TRUE(test::BitEqual(P.val[e], Q.val[e])) << M.nCell << " level " << l << " entry " << e;
                }
                ASSERT_TRUE(h.Update(A));
            }
        }
}

// DILU smoothing as the last level's solve runs it, written out here:
// kCoarsestSweeps steps x = x + M^-1 (b - A x) from x = 0, M the DILU
// operator of A (an upper entry without a partner makes no update).
std::vector<double> DiluSweeps(const CSparse& A, const std::vector<double>& b)
{
    const int n = A.rows;
    const auto at = [&](int j, int i) {
        for (int e = A.start[j] + 1; e < A.start[j + 1]; ++e)
            if (A.col[e] == i) return std::optional<double>(A.val[e]);
        return std::optional<double>();
    };
    std::vector<double> D(n + 1), x(n + 1, 0.0), r(n + 1), y(n + 1), z(n + 1);
    for (int i = 1; i <= n; ++i) D[i] = A.val[A.start[i]];
    for (int i = 1; i <= n; ++i) {
        D[i] = 1.0 / D[i];
        for (int e = A.start[i] + 1; e < A.start[i + 1]; ++e)
            if (const int j = A.col[e]; j > i && at(j, i)) D[j] -= *at(j, i) * D[i] * A.val[e];
    }
    for (int sweep = 0; sweep < amg::kCoarsestSweeps; ++sweep) {
        for (int i = 1; i <= n; ++i) {
            r[i] = b[i];
            for (int e = A.start[i]; e < A.start[i + 1]; ++e) r[i] -= A.val[e] * x[A.col[e]];
            for (int e = A.start[i] + 1; e < A.start[i + 1]; ++e)
                if (A.col[e] < i) r[i] -= A.val[e] * y[A.col[e]];
            y[i] = r[i] * D[i];
        }
        for (int i = n; i >= 1; --i) {
            double t = 0.0;
            for (int e = A.start[i] + 1; e < A.start[i + 1]; ++e)
                if (A.col[e] > i) t += A.val[e] * z[A.col[e]];
            z[i] = y[i] - t * D[i];
        }
        for (int i = 1; i <= n; ++i) x[i] += z[i];
    }
    return x;
}

// One level past the dense size is solved by DILU sweeps: the cycle's x is
// that of DiluSweeps, on an unsymmetric matrix whose pattern is
// unsymmetric too, as built and after an Update with new values.
TEST(Multigrid, LastLevelSweepsWithTheDiluOfItsOperator)
{
    const host::CSparseMatrix M = host::ConvectionDiffusion(host::CBox{13, 13, 13}, host::CConvection{});
    CSparse A = LevelOf(M, [](int i, int j) { return !(j < i && (i + j) % 5 == 0); });
    const int n = A.rows;
    ASSERT_GT(n, amg::kDenseRows);
    amg::CAmgSettings s;
    s.coarsestRows = n;
    CAmgHierarchy h(A, s);
    ASSERT_EQ(h.Levels(), 1);
    std::vector<double> b(n + 1), got(n + 1);
    for (int i = 1; i <= n; ++i) b[i] = 1.0 + 0.1 * (i % 9);
    for (int pass = 0; pass < 2; ++pass) {
        const std::vector<double> x = DiluSweeps(A, b);
        h.Cycle(b.data(), got.data());
        for (int i = 1; i <= n; ++i) ASSERT_NEAR(got[i], x[i], 1e-10 * std::fabs(x[i]) + 1e-14) << pass << " " << i;
        for (int e = 0; e < static_cast<int>(A.val.size()); ++e) A.val[e] *= 1.0 + 0.2 * (e % 3);
        ASSERT_TRUE(h.Update(A));
    }
}

// The coarse operator to the bit of the sums written out in their order:
// (A P)_iJ from 0.0 over row i of A in storage order, each k's terms in
// that of row k of P; c_IJ from 0.0 over the rows i of column I of P,
// ascending. Then the last level's factors against plain dense elimination
// with partial pivoting (every row updated over its full length), through
// the cycle's solve, for operators with and without -0.0 among the values.
TEST(Multigrid, CoarseSumsAndFactorsKeepTheirWrittenOrder)
{
    const CSparse A = LevelOf(host::ConvectionDiffusion(host::CBox{11, 10, 9}, host::CConvection{}));
    const CAmgHierarchy h(A);
    ASSERT_GE(h.Levels(), 2);
    const CSparse& P = h.Prolongation(0);
    std::vector<std::map<int, double>> ap(A.rows + 1), c(P.cols + 1);
    for (int i = 1; i <= A.rows; ++i)
        for (int e = A.start[i]; e < A.start[i + 1]; ++e)
            for (int f = P.start[A.col[e]]; f < P.start[A.col[e] + 1]; ++f)
                ap[i][P.col[f]] = ap[i][P.col[f]] + A.val[e] * P.val[f];
    for (int i = 1; i <= A.rows; ++i) // rows ascending: each column of P in row order
        for (int e = P.start[i]; e < P.start[i + 1]; ++e)
            for (const auto& [J, v] : ap[i]) c[P.col[e]][J] = c[P.col[e]][J] + P.val[e] * v;
    const CSparse& C = h.Operator(1);
    for (int I = 1; I <= C.rows; ++I)
        for (int e = C.start[I]; e < C.start[I + 1]; ++e)
            ASSERT_TRUE(test::BitEqual(C.val[e], c[I][C.col[e]])) << I << " " << C.col[e];

    for (bool negativeZeros : {false, true}) {
        CSparse B = LevelOf(host::ConvectionDiffusion(host::CBox{7, 6, 5}, host::CConvection{}));
        for (size_t e = 0; negativeZeros && e < B.val.size(); e += 9)
            if (B.col[e] != B.col[B.start[1]]) B.val[e] = -0.0;
        const int n = B.rows;
        CAmgHierarchy one(B);
        ASSERT_EQ(one.Levels(), 1);
        std::vector<double> M(n * n, 0.0), b(n + 1), x(n + 1), y(n);
        for (int i = 1; i <= n; ++i) {
            for (int e = B.start[i]; e < B.start[i + 1]; ++e) M[(i - 1) * n + B.col[e] - 1] = B.val[e];
            b[i] = y[i - 1] = std::sin(i);
        }
        for (int k = 0; k < n; ++k) { // no pivot here falls below 1e-13 of the diagonal
            int p = k;
            for (int i = k + 1; i < n; ++i)
                if (std::fabs(M[i * n + k]) > std::fabs(M[p * n + k])) p = i;
            for (int j = 0; j < n; ++j) std::swap(M[k * n + j], M[p * n + j]);
            std::swap(y[k], y[p]);
            for (int i = k + 1; i < n; ++i) {
                const double f = M[i * n + k] / M[k * n + k];
                if (f == 0.0) continue;
                for (int j = k + 1; j < n; ++j) M[i * n + j] = M[i * n + j] - f * M[k * n + j];
                y[i] = y[i] - f * y[k];
            }
        }
        for (int i = n - 1; i >= 0; --i) {
            double s = y[i];
            for (int j = i + 1; j < n; ++j) s = s - M[i * n + j] * y[j];
            y[i] = s / M[i * n + i];
        }
        one.Cycle(b.data(), x.data());
        for (int i = 1; i <= n; ++i) ASSERT_TRUE(test::BitEqual(x[i], y[i - 1])) << negativeZeros << " " << i;
    }
}

// The aggregates cover every cell with a strong connection, each aggregate
// holds cells tied to one another, and smoothed P keeps the constants where
// A's rows sum to 0 (the interior of the Poisson box).
TEST(Multigrid, AggregatesCoverTheGraphAndPKeepsConstants)
{
    const host::CSparseMatrix M = host::Poisson(host::CBox{12, 12, 12});
    const CSparse A = LevelOf(M);
    std::vector<int> agg;
    const int count = amg::Aggregate(A, 0.08, 2, agg);
    ASSERT_GT(count, 0);
    EXPECT_LT(count, A.rows / 8); // reach 2 on the 7-point stencil: aggregates well beyond a cell and its six
    std::vector<int> size(count, 0);
    for (int i = 1; i <= A.rows; ++i) {
        ASSERT_GE(agg[i], 0) << "row " << i;
        ++size[agg[i]];
    }
    const CSparse P = amg::Prolongator(A, agg, count, true);
    for (int i = 1; i <= A.rows; ++i) {
        double rowSum = 0.0, pSum = 0.0;
        for (int e = A.start[i]; e < A.start[i + 1]; ++e) rowSum += A.val[e];
        for (int e = P.start[i]; e < P.start[i + 1]; ++e) pSum += P.val[e];
        if (std::fabs(rowSum) < 1e-14 * A.val[A.start[i]]) {
            EXPECT_NEAR(pSum, 1.0, 1e-14) << "row " << i;
        }
    }
}

// Two-grid (the coarse level solved exactly by the dense factors) and the
// full V-cycle as stationary iterations on Poisson: the energy norm of the
// error falls per cycle by a factor below 0.3 with two grids at 16^3
// (measured 0.25) and below 0.45 with the V-cycle of three or more levels
// at 32^3 (measured 0.34).
TEST(Multigrid, ConvergenceFactorOnPoisson)
{
    const CSparse A16 = LevelOf(host::Poisson(host::CBox{16, 16, 16}));
    amg::CAmgSettings twoGrid;
    twoGrid.coarsestRows = amg::kDenseRows;
    CAmgHierarchy h2(A16, twoGrid);
    ASSERT_EQ(h2.Levels(), 2);
    EXPECT_LT(ConvergenceFactor(h2, A16, 20), 0.3);

    const CSparse A32 = LevelOf(host::Poisson(host::CBox{32, 32, 32}));
    CAmgHierarchy v32(A32);
    ASSERT_GE(v32.Levels(), 3);
    const double f32 = ConvergenceFactor(v32, A32, 20);
    EXPECT_LT(f32, 0.45);
    EXPECT_LE(v32.Shape().operatorComplexity, 1.4);
}

// Update with the same pattern keeps the aggregates and the patterns. With
// new values whose strong connections are the old ones (new diagonals, as a
// time step's) it gives the bits of a fresh build; with values that would
// aggregate otherwise it keeps the old aggregates and still forms the
// Galerkin products of the new values. A new pattern builds anew.
TEST(Multigrid, UpdateKeepsTheAggregatesAndMatchesAFreshBuild)
{
    const CSparse A = LevelOf(host::ConvectionDiffusion(host::CBox{10, 9, 8}, host::CConvection{}));
    CSparse mild = A, strong = A;
    for (int i = 1; i <= A.rows; ++i) {
        mild.val[A.start[i]] *= 1.0 + 1e-9 * (i % 7);
        for (int e = A.start[i]; e < A.start[i + 1]; ++e) strong.val[e] *= e == A.start[i] ? 1.25 + 0.01 * i : 0.9;
    }
    CAmgHierarchy updated(A);
    std::vector<std::vector<int>> aggregates;
    for (int l = 0; l + 1 < updated.Levels(); ++l) aggregates.push_back(updated.Aggregates(l));
    ASSERT_TRUE(updated.Update(mild));
    EXPECT_TRUE(updated.Shape().fromUpdate);
    CAmgHierarchy fresh(mild);
    ASSERT_EQ(updated.Levels(), fresh.Levels());
    for (int l = 0; l < fresh.Levels(); ++l) {
        if (l + 1 < fresh.Levels()) {
            ASSERT_EQ(fresh.Aggregates(l), aggregates[l]) << l;
        }
        EXPECT_EQ(updated.Operator(l).col, fresh.Operator(l).col) << l;
        for (size_t e = 0; e < fresh.Operator(l).val.size(); ++e)
            ASSERT_TRUE(test::BitEqual(updated.Operator(l).val[e], fresh.Operator(l).val[e])) << l << " " << e;
    }
    std::vector<double> b(A.rows + 1, 1.0), x1(A.rows + 1, 0.0), x2(A.rows + 1, 0.0);
    updated.Cycle(b.data(), x1.data());
    fresh.Cycle(b.data(), x2.data());
    for (int i = 1; i <= A.rows; ++i) ASSERT_TRUE(test::BitEqual(x1[i], x2[i])) << i;

    ASSERT_TRUE(updated.Update(strong));
    bool differs = false;
    const CAmgHierarchy other(strong);
    for (int l = 0; l + 1 < updated.Levels(); ++l) {
        EXPECT_EQ(updated.Aggregates(l), aggregates[l]) << l;
        differs = differs || l + 1 >= other.Levels() || other.Aggregates(l) != aggregates[l];
    }
    EXPECT_TRUE(differs) << "the strong change should aggregate otherwise when built afresh";
    ExpectGalerkin(updated, "after Update");

    EXPECT_FALSE(updated.Update(LevelOf(host::Poisson(host::CBox{5, 5, 5}))));
    EXPECT_EQ(updated.Operator(0).rows, 125);
    EXPECT_FALSE(updated.Shape().fromUpdate);
}

// Through the front door: CSolver::Update gives the bits of a solver built
// with the new values and says it kept the aggregates; two solvers and two
// solves give the same bits; the iterations of AMG-CG stay flat from 16^3
// to 32^3 and the stationary method converges with the true residual.
TEST(Multigrid, FrontDoorRerunsAndUpdateGiveTheSameBits)
{
    const host::CSparseMatrix M = host::Poisson(host::CBox{16, 16, 16});
    const CCsr A = ZeroBased(M);
    CCsr B = A; // new diagonals, as a time step's would be: still symmetric
    for (int i = 0; i < B.n; ++i)
        for (int e = B.rowStart[i]; e < B.rowStart[i + 1]; ++e)
            if (B.col[e] == i) B.val[e] *= 1.0 + 1e-3 * (i % 7);
    const std::vector<double> b = test::RhsForOnes(M);
    for (EMethod method : {EMethod::Cg, EMethod::BiCgStab, EMethod::Amg}) {
        const std::string what = Find(method)->word;
        CSolver s1(A.View(), Amg(method)), s2(A.View(), Amg(method));
        std::vector<double> x1(A.n, 0.0), x2(A.n, 0.0), x3(A.n, 0.0);
        const CSolveResult r1 = s1.Solve(b.data() + 1, x1.data());
        const CSolveResult r2 = s2.Solve(b.data() + 1, x2.data());
        const CSolveResult r3 = s1.Solve(b.data() + 1, x3.data());
        ASSERT_TRUE(r1.Converged()) << what;
        EXPECT_LE(r1.relativeResidual, 1e-8) << what;
        ASSERT_TRUE(r1.multigrid.has_value()) << what;
        EXPECT_EQ(r1.iterations, r2.iterations);
        for (int i = 0; i < A.n; ++i) ASSERT_TRUE(test::BitEqual(x1[i], x2[i]) && test::BitEqual(x1[i], x3[i])) << i;

        s1.Update(B.val.data());
        CSolver fresh(B.View(), Amg(method));
        std::fill(x1.begin(), x1.end(), 0.0);
        std::fill(x2.begin(), x2.end(), 0.0);
        const CSolveResult u = s1.Solve(b.data() + 1, x1.data());
        const CSolveResult f = fresh.Solve(b.data() + 1, x2.data());
        EXPECT_TRUE(u.multigrid->fromUpdate) << what;
        EXPECT_FALSE(f.multigrid->fromUpdate) << what;
        EXPECT_EQ(u.history, f.history) << what;
        for (int i = 0; i < A.n; ++i) ASSERT_TRUE(test::BitEqual(x1[i], x2[i])) << what << " " << i;
    }
    const CCsr big = ZeroBased(host::Poisson(host::CBox{32, 32, 32}));
    const std::vector<double> bBig(static_cast<size_t>(big.n), 1.0);
    std::vector<double> x16(A.n, 0.0), x32(big.n, 0.0);
    const int it16 = CSolver(A.View(), Amg(EMethod::Cg)).Solve(b.data() + 1, x16.data()).iterations;
    const int it32 = CSolver(big.View(), Amg(EMethod::Cg)).Solve(bBig.data(), x32.data()).iterations;
    EXPECT_LE(it32, 12);
    EXPECT_LE(it32, it16 + 2);
}

// AMG-CG is refused on an unsymmetric pattern as the conjugate gradient
// always is, AMG-BiCGSTAB takes it; the stationary method takes no other
// preconditioner, and Gauss-Seidel no multigrid.
TEST(Multigrid, Refusals)
{
    const CCsr U = ZeroBased(test::FromDense({{4, -1, 0}, {0, 4, -1}, {-1, 0, 4}}));
    const std::string cg = test::Refusal<std::invalid_argument>([&] { CSolver s(U.View(), Amg(EMethod::Cg)); });
    EXPECT_NE(cg.find("symmetric pattern"), std::string::npos) << cg;
    CSolver bicg(U.View(), Amg(EMethod::BiCgStab));
    std::vector<double> b{1, 2, 3}, x(3, 0.0);
    EXPECT_TRUE(bicg.Solve(b.data(), x.data()).Converged());

    CSolveOptions o = Amg(EMethod::Amg);
    o.preconditioner = EPreconditioner::Dilu;
    const std::string own = test::Refusal<std::invalid_argument>([&] { CSolver s(U.View(), o); });
    EXPECT_NE(own.find("takes no preconditioner, not dilu"), std::string::npos) << own;
    o = Amg(EMethod::GaussSeidel);
    o.preconditioner = EPreconditioner::Amg;
    const std::string gs = test::Refusal<std::invalid_argument>([&] { CSolver s(U.View(), o); });
    EXPECT_NE(gs.find("takes no preconditioner, not amg"), std::string::npos) << gs;
}

// The symbolic products against sets: each row of P holds the aggregates of
// its columns (smoothed) or of its own cell (tentative), each row of P^T A P
// its diagonal first and then every column a term of the row reaches, each
// once and ascending. Rows are drawn with columns close together and far
// apart, so that a row's columns span few or many coarse cells.
TEST(Multigrid, ProductPatternsHoldEveryColumnOnceAscending)
{
    std::mt19937 draw(7);
    const int n = 600, coarse = n / 5;
    std::vector<int> agg(static_cast<size_t>(n) + 1, -1);
    for (int i = 1; i <= n; ++i) agg[i] = i % 37 == 0 ? -1 : (i - 1) / 5;
    for (int spread : {6, 500}) {
        CSparse A;
        A.rows = A.cols = n;
        A.start.assign(static_cast<size_t>(n) + 2, 0);
        std::vector<std::set<int>> rows(static_cast<size_t>(n) + 1);
        for (int i = 1; i <= n; ++i) {
            std::uniform_int_distribution<int> count(1, 14), offset(-spread, spread);
            for (int k = count(draw); k > 0; --k) rows[i].insert(std::clamp(i + offset(draw), 1, n));
            rows[i].erase(i);
            A.col.push_back(i);
            A.val.push_back(4.0);
            for (int j : rows[i]) {
                A.col.push_back(j);
                A.val.push_back(-0.25);
            }
            A.start[i + 1] = static_cast<int>(A.col.size());
            rows[i].insert(i);
        }
        for (bool smoothed : {false, true}) {
            const std::string what = "spread " + std::to_string(spread) + ", smoothed " + std::to_string(smoothed);
            const CSparse P = amg::Prolongator(A, agg, coarse, smoothed);
            std::vector<std::set<int>> pRows(static_cast<size_t>(n) + 1), cRows(static_cast<size_t>(coarse) + 1);
            for (int i = 1; i <= n; ++i) {
                for (int k : rows[i])
                    if ((smoothed || k == i) && agg[k] >= 0) pRows[i].insert(agg[k] + 1);
                ASSERT_EQ(std::vector<int>(P.col.begin() + P.start[i], P.col.begin() + P.start[i + 1]),
                          std::vector<int>(pRows[i].begin(), pRows[i].end()))
                    << what << ", P row " << i;
            }
            for (int i = 1; i <= n; ++i) // C = P^T (A P): row I of C from every row i that P maps to I
                for (int I : pRows[i])
                    for (int k : rows[i]) cRows[I].insert(pRows[k].begin(), pRows[k].end());
            const CSparse C = amg::Galerkin(A, P);
            ASSERT_EQ(C.rows, coarse) << what;
            for (int I = 1; I <= coarse; ++I) {
                std::vector<int> want{I};
                for (int J : cRows[I])
                    if (J != I) want.push_back(J);
                ASSERT_EQ(std::vector<int>(C.col.begin() + C.start[I], C.col.begin() + C.start[I + 1]), want)
                    << what << ", C row " << I;
            }
        }
    }
}
