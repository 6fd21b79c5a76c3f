// The methods against numbers worked by hand on systems of one to three
// cells, and converging on the real matrices the project carries
// (data/matrices, b = A * ones, from x = 0). The reference suite holds the
// library to its oracle bit for bit; these hold both to the methods.
#include "MatrixMarket.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::test;
using P = CSingleGridSolverProbe;

TEST(WorkedCases, GaussSeidelSweepAndResidual)
{
    // Two coupled cells and a halo cell: one sweep by hand, off-diagonal
    // products summed from zero in storage order.
    const double x1 = ((1.0 - 3.0 * 0.3) - (-1.0 * -0.2)) / 3.0 + 0.3;
    const double x2 = ((2.0 - 5.0 * -0.2) - ((0.0 + -1.5 * x1) + 0.25 * 2.0)) / 5.0 + -0.2;
    const double r1 = (1.0 - 3.0 * x1) - (-1.0 * x2);
    const double r2 = (2.0 - 5.0 * x2) - ((0.0 + -1.5 * x1) + 0.25 * 2.0);
    for (ELayout layout : kEveryLayout) {
        CSolveRun run(FromDense({{3, -1}, {-1.5, 5, 0.25}}, 3), 0, 1, 0.5);
        run.x[1] = 0.3;
        run.x[2] = -0.2;
        run.x[3] = 2.0; // halo value
        run.Run(layout, {0, 1.0, 2.0}, 4);
        EXPECT_EQ(run.x[1], x1) << LayoutName(layout);
        EXPECT_EQ(run.x[2], x2) << LayoutName(layout);
        EXPECT_EQ(run.Residual0(), std::sqrt(0.0 + r1 * r1 + r2 * r2)) << LayoutName(layout);
    }
}

TEST(WorkedCases, DiluBuildAndSweeps)
{
    const struct {
        host::CSparseMatrix A;
        std::vector<double> d; // d[1..n]
    } cases[] = {
        {FromDense({{4, 1}, {1, 4}}), {0.25, 1.0 / 3.75}},
        // The guard on a zero diagonal: about 1e30 and finite.
        {FromDense({{0, 1}, {1, 4}}), {1.0 / 1e-30, 1.0 / ((4.0 - (1.0 * (1.0 / 1e-30)) * 1.0) + 1e-30)}},
        // Row 3 touches halo cell 4 with a huge coefficient, and holds cell 1
        // while row 1 does not hold cell 2 (nonsymmetric structure).
        {FromDense({{4, 0, 2}, {1, 5}, {3, 0, 6, 1e300}}, 4),
         {0.25, 1.0 / (5.0 + 1e-30), 1.0 / ((6.0 - (3.0 * 0.25) * 2.0) + 1e-30)}},
    };
    for (ELayout layout : kEveryLayout) {
        for (const auto& c : cases) {
            CBoundSystem sys(c.A);
            std::vector<double> d(c.d.size() + 1);
            (sys.solver.*P::Build(layout))(d.data(), 1);
            EXPECT_EQ(std::vector<double>(d.begin() + 1, d.end()), c.d) << LayoutName(layout);
        }
        // The sweeps on the first, r = (1, 1): y = (0.25, 0.2), z = (0.2, 0.2).
        CBoundSystem sys(cases[0].A);
        sys.host.SetPreconditioner(1);
        double d[3], r[3] = {0, 1, 1}, z[3] = {};
        (sys.solver.*P::Build(layout))(d, 1);
        (sys.solver.*P::Apply(layout))(z, r, d);
        const double* y = sys.host.store.m_pdPrecondWork;
        EXPECT_EQ(y[1], 0.25) << LayoutName(layout);
        EXPECT_EQ(y[2], (1.0 - 1.0 * 0.25) * d[2]);
        EXPECT_DOUBLE_EQ(y[2], 0.2);
        EXPECT_EQ(z[1], y[1] - (1.0 * y[2]) * 0.25);
        EXPECT_EQ(z[2], y[2]);
        EXPECT_DOUBLE_EQ(z[1], 0.2);
    }
}

TEST(WorkedCases, BiCgStabThreeCells)
{
    const host::CSparseMatrix A = FromDense({{4, 1, 0}, {1, 4, 1}, {0, 1, 4}});
    const std::vector<double> b{0, 1, 2, 3};
    for (ELayout layout : kEveryLayout) {
        // Iteration 1: rho = 14, sigma = 18, alpha = 7/9, tt, ts and omega.
        CSolveRun one(A, 3, 1, 1e-6);
        one.Run(layout, b, 2);
        ASSERT_EQ(one.sums.size(), 6u) << LayoutName(layout);
        EXPECT_EQ(one.sums[0], 14.0); // |r0|^2
        EXPECT_EQ(one.sums[1], 14.0); // rho
        EXPECT_EQ(one.sums[2], 18.0); // sigma
        EXPECT_NEAR(one.sums[3], 0.193673, 1e-6);
        EXPECT_NEAR(one.sums[4], 0.197531, 1e-6);
        EXPECT_NEAR(one.sums[4] / (one.sums[3] + 1e-30), 1.019920, 1e-6);
        EXPECT_NEAR(one.x[1], 0.151948, 1e-6);
        EXPECT_NEAR(one.x[2], 0.303896, 1e-6);
        EXPECT_NEAR(one.x[3], 0.654161, 1e-6);
        EXPECT_NEAR(one.Residual0(), 0.120763, 1e-6);
        EXPECT_EQ(one.Residual0(), std::sqrt(one.sums[5]));
        EXPECT_EQ(one.IterCount(), 1);

        // Iteration 2: its norm does not pass 1e-6 and leaves the reference alone.
        CSolveRun two(A, 3, 2, 1e-6);
        two.Run(layout, b, 2);
        ASSERT_EQ(two.sums.size(), 11u);
        EXPECT_NEAR(two.sums[6], 0.283311, 1e-6);
        EXPECT_NEAR(two.sums[6] / (two.sums[7] + 1e-30), 1.118012, 1e-6);
        EXPECT_NEAR(two.sums[9] / (two.sums[8] + 1e-30), 1.432755, 1e-6);
        EXPECT_NEAR(std::sqrt(two.sums[10]), 0.00494776, 1e-8);
        EXPECT_EQ(two.Residual0(), one.Residual0());
        EXPECT_EQ(two.IterCount(), 2);

        // Iteration 3 reaches the exact solution.
        CSolveRun three(A, 3, 3, 1e-6);
        three.Run(layout, b, 2);
        EXPECT_NEAR(three.x[1], 5.0 / 28.0, 1e-15) << LayoutName(layout);
        EXPECT_NEAR(three.x[2], 2.0 / 7.0, 1e-15);
        EXPECT_NEAR(three.x[3], 19.0 / 28.0, 1e-15);
        EXPECT_EQ(three.IterCount(), 3);
        EXPECT_EQ(three.Residual0(), one.Residual0());
    }
}

TEST(WorkedCases, ConjugateGradientProgressLines)
{
    auto printing = [](CSolveRun& run) {
        *run.sys.host.store.m_piSilent = 0;
        *run.sys.host.store.m_piPrintSolver = 1;
        *run.sys.host.store.m_piPrintInterval = 1;
    };
    // One cell, a = 2, b = 4: iteration 1 solves it exactly (x = 2, residual
    // 0), so the reference is 0, nothing converges and both iterations print.
    CSolveRun one(FromDense({{2}}), 3, 2, 0.5);
    printing(one);
    EXPECT_EQ(one.Run(ELayout::Native, {0, 4}, 3), "   1 0.00000e+00 ivarb=1\n   2 0.00000e+00 ivarb=1\n");
    EXPECT_EQ(one.x[1], 2.0);
    // r = (1, 0), p = (1, 0), q = (4, 1), alpha = 1/4: r = (0, -0.25).
    CSolveRun two(FromDense({{4, 1}, {1, 4}}), 0, 1, 0.5);
    printing(two);
    EXPECT_EQ(two.Run(ELayout::Csr, {0, 1, 0}, 3), "   1 2.50000e-01 ivarb=1\n");
}

// Gauss-Seidel on the grid matrices (713, 997 and 245 sweeps to 1e-9), the
// Krylov methods with DILU and the diagonal preconditioner (the conjugate
// gradient on the symmetric positive definite ones). The reference norm is
// the residual after iteration 1, so a relative tolerance of 1e-10 lands near
// 1e-8 or better against |b|. DILU needs no more iterations than the
// diagonal preconditioner (fewer for the conjugate gradient).
TEST(RealMatrices, MethodsConverge)
{
    const struct {
        const char* file;
        int code;
        double maxError; // attainable accuracy of x given the conditioning
    } cases[] = {{"lap3D_7pt_n20.mtx", 4, 1e-6}, {"gr_30_30.mtx", 4, 1e-6},      {"pde900.mtx", 4, 1e-6},
                 {"lap3D_7pt_n20.mtx", 2, 1e-8}, {"gr_30_30.mtx", 2, 1e-8},      {"nos6.mtx", 2, 1e-8},
                 {"sherman1.mtx", 2, 1e-6},      {"orsreg_1.mtx", 2, 1e-7},      {"pde900.mtx", 2, 1e-8},
                 {"sherman5.mtx", 2, 1e-8},      {"lap3D_7pt_n20.mtx", 3, 1e-8}, {"gr_30_30.mtx", 3, 1e-8},
                 {"nos6.mtx", 3, 1e-7}};
    for (const auto& c : cases) {
        const host::CSparseMatrix A = host::ReadMatrixMarket(MatrixPath(c.file));
        const std::vector<double> b = RhsForOnes(A);
        const int limit = c.code == 4 ? 3000 : 2000;
        int iterations[4] = {};
        for (int type : c.code == 4 ? std::vector<int>{0} : std::vector<int>{1, 3}) {
            const std::string what =
                std::string(c.file) + " code " + std::to_string(c.code) + " type " + std::to_string(type);
            CSolveRun run(A, type, limit, c.code == 4 ? 1e-9 : 1e-10);
            run.Run(ELayout::Native, b, c.code);
            iterations[type] = run.record.iterations;
            double maxError = 0.0, bNorm = 0.0;
            for (int i = 1; i <= A.nCell; ++i) {
                const double e = std::fabs(run.x[i] - 1.0);
                if (!std::isnan(maxError) && !(e <= maxError)) maxError = e; // a NaN sticks
                bNorm += b[i] * b[i];
            }
            EXPECT_LT(iterations[type], limit) << what;
            EXPECT_LT(TrueResidualNorm(A, run.x, b.data()) / std::sqrt(bNorm), 1e-8) << what;
            EXPECT_LT(maxError, c.maxError) << what;
        }
        EXPECT_LE(iterations[1] + (c.code == 3 ? 1 : 0), iterations[3]) << c.file << ": DILU against the diagonal";
    }
}
