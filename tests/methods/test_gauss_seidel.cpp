// Gauss-Seidel (code 4) through the three entry points.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

using namespace qvl3d;
using namespace qvl3d::test;

namespace {

host::CSparseMatrix Example()
{
    return ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1);
}

} // namespace

TEST(GaussSeidel, ConvergesToTheDirectSolutionOnA3DBox)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{4, 3, 5});
    std::vector<double> b(static_cast<size_t>(A.nCell) + 1);
    for (int i = 1; i <= A.nCell; ++i) b[i] = std::sin(0.7 * i) + 0.1 * i;
    const std::vector<double> exact = DenseSolve(A, b);
    for (ELayout layout : kEveryLayout) {
        CSolveRun run(A, 0, 2000, 1e-13);
        run.Run(layout, b, 4);
        for (int i = 1; i <= A.nCell; ++i)
            EXPECT_NEAR(run.x[i], exact[i], 1e-10) << LayoutName(layout) << " cell " << i;
    }
}

TEST(GaussSeidel, SweepAndResidualFollowTheWrittenOrder)
{
    // Two coupled cells and a halo cell: one sweep by hand.
    const host::CSparseMatrix A = FromDense({{3, -1}, {-1.5, 5, 0.25}}, 3);
    double x1 = 0.3, x2 = -0.2;
    x1 = ((1.0 - 3.0 * x1) - (-1.0 * x2)) / 3.0 + x1;
    double s2 = 0.0;
    s2 = s2 + -1.5 * x1;
    s2 = s2 + 0.25 * 2.0;
    x2 = ((2.0 - 5.0 * x2) - s2) / 5.0 + x2;
    const double r1 = (1.0 - 3.0 * x1) - (-1.0 * x2);
    double t2 = 0.0;
    t2 = t2 + -1.5 * x1;
    t2 = t2 + 0.25 * 2.0;
    const double r2 = (2.0 - 5.0 * x2) - t2;
    for (ELayout layout : kEveryLayout) {
        CSolveRun run(A, 0, 1, 0.5);
        run.x[1] = 0.3;
        run.x[2] = -0.2;
        run.x[3] = 2.0; // halo value
        run.Run(layout, {0, 1.0, 2.0}, 4);
        EXPECT_EQ(run.x[1], x1) << LayoutName(layout);
        EXPECT_EQ(run.x[2], x2) << LayoutName(layout);
        EXPECT_EQ(run.x[3], 2.0);
        EXPECT_EQ(run.Residual0(), std::sqrt(0.0 + r1 * r1 + r2 * r2)) << LayoutName(layout);
    }
}

TEST(GaussSeidel, ConsoleSequenceOfOneIteration)
{
    for (ELayout layout : kEveryLayout) {
        CSolveRun run(Example(), 0, 1, 0.1);
        const std::string out = run.Run(layout, {0, 1, 2, 3}, 4);
        char resn[64];
        std::snprintf(resn, sizeof resn, "resn=%e\n", run.Residual0());
        // The ELL member prints nothing.
        EXPECT_EQ(out, layout == ELayout::Ell ? "" : std::string("1 \n") + resn + "2 \n3 \n4 \n5 \n")
            << LayoutName(layout);
    }
}

TEST(GaussSeidel, LimitBelowOneReturnsAtOnce)
{
    for (int limit : {0, -3}) {
        CBoundSystem sys(Example());
        sys.host.SetVariable(6, limit, 0.1);
        sys.host.store.m_pdResidual0[6] = 42.0;
        *sys.host.store.m_pdSolutionMax = 7.0;
        double* x = sys.host.NewVector();
        x[2] = 0.5;
        double b[4] = {0, 1, 2, 3};
        for (ELayout layout : kEveryLayout) EXPECT_EQ(CaptureStdout([&] { sys.Solve(layout, 6, 4, x, b); }), "");
        EXPECT_EQ(x[1], 0.0);
        EXPECT_EQ(x[2], 0.5);
        EXPECT_EQ(sys.host.store.m_pdResidual0[6], 42.0);
        EXPECT_EQ(*sys.host.store.m_pdSolutionMax, 7.0);
        EXPECT_TRUE(sys.transport->calls.empty());
    }
}

TEST(GaussSeidel, StoppingRules)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{3, 3, 3});
    const std::vector<double> b = RhsForOnes(A);
    for (ELayout layout : kEveryLayout) {
        // A tolerance above 1 stops after one sweep (ratio exactly 1); a
        // tolerance equal to the ratio 1 does not.
        CSolveRun above(A, 0, 50, 1.0000001), equal(A, 0, 50, 1.0);
        above.Run(layout, b, 4);
        equal.Run(layout, b, 4);
        EXPECT_EQ(above.sums.size(), 1u) << LayoutName(layout);
        EXPECT_GT(equal.sums.size(), 1u) << LayoutName(layout);
        // An exact initial guess gives res0 = 0, a NaN ratio, and the full limit.
        CSolveRun exact(Example(), 0, 9, 0.5);
        std::fill_n(exact.x + 1, 4, 1.0);
        exact.Run(layout, {0, 5, 6, 6}, 4);
        EXPECT_EQ(exact.sums.size(), 9u) << LayoutName(layout);
        EXPECT_EQ(exact.Residual0(), 0.0);
    }
}

TEST(GaussSeidel, GlobalResidualIsTheSumOfPartitionNorms)
{
    // This partition's norm after the first sweep, and a second partition whose
    // norm is 3 * ours: the global residual is 4 * ours, not sqrt(10) * ours.
    CSolveRun single(Example(), 0, 1, 0.5), pair(Example(), 0, 1, 0.5);
    pair.sys.transport->sum = [](double local) { return local + 3.0 * local; };
    single.Run(ELayout::Native, {0, 1, 2, 3}, 4);
    pair.Run(ELayout::Native, {0, 1, 2, 3}, 4);
    EXPECT_EQ(pair.Residual0(), 4.0 * single.Residual0());
}

TEST(GaussSeidel, VariableSixTracksTheOwnedExtremes)
{
    for (ELayout layout : kEveryLayout) {
        CBoundSystem sys(Example());
        sys.host.SetVariable(6, 1, 0.5);
        sys.host.SetVariable(5, 1, 0.5);
        double* x = sys.host.NewVector();
        x[4] = 100.0; // a halo value never counts
        double b[4] = {0, -4, 8, 2};
        *sys.host.store.m_pdSolutionMax = *sys.host.store.m_pdSolutionMin = 11.0;
        CaptureStdout([&] { sys.Solve(layout, 5, 4, x, b); });
        EXPECT_EQ(*sys.host.store.m_pdSolutionMax, 11.0); // other variables leave them alone
        CaptureStdout([&] { sys.Solve(layout, 6, 4, x, b); });
        EXPECT_EQ(*sys.host.store.m_pdSolutionMax, std::max({x[1], x[2], x[3]})) << LayoutName(layout);
        EXPECT_EQ(*sys.host.store.m_pdSolutionMin, std::min({x[1], x[2], x[3]})) << LayoutName(layout);
    }

    // A partition without cells still takes part and reports the sentinels.
    CBoundSystem none(host::CSparseBuilder(0, 0).Finish());
    none.host.SetVariable(6, 3, 0.5);
    double b[1] = {0};
    CaptureStdout([&] { none.Solve(ELayout::Native, 6, 4, none.host.NewVector(), b); });
    EXPECT_EQ(*none.host.store.m_pdSolutionMax, -1e30);
    EXPECT_EQ(*none.host.store.m_pdSolutionMin, 1e30);
    EXPECT_EQ(none.transport->calls, CallSequence("SXSXSX", false)); // 0/0 never converges
}

TEST(GaussSeidel, EllRowWithOnlyEmptySlots)
{
    CSolveRun run(Example(), 0, 1, 0.5);
    // Empty every off-diagonal slot of row 2, leaving junk values behind.
    CQVLGVGPU& g = run.sys.host.gpu;
    for (int s = 1; s < g.m_nELLWidth; ++s) {
        g.m_piELLColumn[s * 4 + 1] = -1;
        g.m_pdELLValue[s * 4 + 1] = 1e6;
    }
    run.x[2] = 0.75;
    run.Run(ELayout::Ell, {0, 1, 3, 1}, 4);
    EXPECT_EQ(run.x[2], (3.0 - 4.0 * 0.75) / 4.0 + 0.75);
}

TEST(GaussSeidel, ExchangeFollowsTheNonBlockingFlagAndFillsTheHalo)
{
    for (bool nonBlocking : {false, true})
        for (ELayout layout : kEveryLayout) {
            CSolveRun run(Example(), 0, 2, 1e-30);
            run.sys.host.store.m_bNonBlockingExch = nonBlocking;
            // The halo refresh happens before the convergence test, also at the limit.
            run.sys.transport->fillHalo = [](double* v) { v[4] = 9.0; };
            run.Run(layout, {0, 1, 2, 3}, 4);
            EXPECT_EQ(run.Calls(), CallSequence("SXSX", nonBlocking && layout != ELayout::Native))
                << LayoutName(layout) << " nonBlocking " << nonBlocking;
            for (const double* v : run.sys.transport->exchanged) EXPECT_EQ(v, run.x);
            EXPECT_EQ(run.x[4], 9.0);
        }
}
