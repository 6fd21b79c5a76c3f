// Gauss-Seidel through the three entry points.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>

using namespace qvl3d;
using namespace qvl3d::test;

namespace {

const ELayout kLayouts[] = {ELayout::Native, ELayout::Csr, ELayout::Ell};

struct CGsResult {
    std::vector<double> x;
    double residual0;
};

CGsResult RunGaussSeidel(const host::CSparseMatrix& A, ELayout layout, int maxIter, double tol,
                         const std::vector<double>& b)
{
    CBoundSystem sys(A);
    sys.host.SetVariable(1, maxIter, tol);
    double* x = sys.host.NewVector();
    std::vector<double> rhs = b;
    CaptureStdout([&] { sys.Solve(layout, 1, 4, x, rhs.data()); });
    return {std::vector<double>(x, x + A.nCellTotal + 1), sys.host.store.m_pdResidual0[1]};
}

} // namespace

TEST(GaussSeidel, ConvergesToTheDirectSolutionOnA3DBox)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{4, 3, 5});
    std::vector<double> b(static_cast<size_t>(A.nCell) + 1);
    for (int i = 1; i <= A.nCell; ++i) b[i] = std::sin(0.7 * i) + 0.1 * i;
    const std::vector<double> exact = DenseSolve(A, b);
    for (ELayout layout : kLayouts) {
        const CGsResult r = RunGaussSeidel(A, layout, 2000, 1e-13, b);
        for (int i = 1; i <= A.nCell; ++i) EXPECT_NEAR(r.x[i], exact[i], 1e-10) << LayoutName(layout) << " cell " << i;
    }
}

TEST(GaussSeidel, LayoutsGiveBitIdenticalResults)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{5, 4, 3});
    const std::vector<double> b = RhsForOnes(A);
    const CGsResult native = RunGaussSeidel(A, ELayout::Native, 37, 1e-30, b);
    for (ELayout layout : {ELayout::Csr, ELayout::Ell}) {
        const CGsResult other = RunGaussSeidel(A, layout, 37, 1e-30, b);
        EXPECT_EQ(std::memcmp(&other.residual0, &native.residual0, sizeof(double)), 0) << LayoutName(layout);
        for (int i = 1; i <= A.nCell; ++i) EXPECT_EQ(other.x[i], native.x[i]) << LayoutName(layout) << " cell " << i;
    }
}

TEST(GaussSeidel, SweepAndResidualFollowTheWrittenOrder)
{
    // Two coupled cells and a halo cell: one sweep by hand.
    host::CSparseBuilder builder(2, 3);
    builder.Add(1, 1, 3.0);
    builder.Add(1, 2, -1.0);
    builder.Add(2, 1, -1.5);
    builder.Add(2, 2, 5.0);
    builder.Add(2, 3, 0.25);
    const host::CSparseMatrix A = builder.Finish();
    for (ELayout layout : kLayouts) {
        CBoundSystem sys(A);
        sys.host.SetVariable(1, 1, 0.5);
        double* x = sys.host.NewVector();
        x[1] = 0.3;
        x[2] = -0.2;
        x[3] = 2.0; // halo value
        double b[3] = {0, 1.0, 2.0};
        CaptureStdout([&] { sys.Solve(layout, 1, 4, x, b); });

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
        EXPECT_EQ(x[1], x1) << LayoutName(layout);
        EXPECT_EQ(x[2], x2) << LayoutName(layout);
        EXPECT_EQ(x[3], 2.0);
        EXPECT_EQ(sys.host.store.m_pdResidual0[1], std::sqrt(0.0 + r1 * r1 + r2 * r2)) << LayoutName(layout);
    }
}

TEST(GaussSeidel, ConsoleSequenceOfOneIteration)
{
    const host::CSparseMatrix A = ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1);
    for (ELayout layout : kLayouts) {
        CBoundSystem sys(A);
        sys.host.SetVariable(1, 1, 0.1);
        double* x = sys.host.NewVector();
        double b[4] = {0, 1, 2, 3};
        const std::string out = CaptureStdout([&] { sys.Solve(layout, 1, 4, x, b); });
        if (layout == ELayout::Ell) {
            EXPECT_EQ(out, "");
            continue;
        }
        char resn[64];
        std::snprintf(resn, sizeof resn, "resn=%e\n", sys.host.store.m_pdResidual0[1]);
        EXPECT_EQ(out, std::string("1 \n") + resn + "2 \n3 \n4 \n5 \n") << LayoutName(layout);
    }
}

TEST(GaussSeidel, LimitBelowOneReturnsAtOnce)
{
    for (int limit : {0, -3}) {
        CBoundSystem sys(ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1));
        sys.host.SetVariable(6, limit, 0.1);
        sys.host.store.m_pdResidual0[6] = 42.0;
        *sys.host.store.m_pdSolutionMax = 7.0;
        *sys.host.store.m_pdSolutionMin = -7.0;
        double* x = sys.host.NewVector();
        x[2] = 0.5;
        double b[4] = {0, 1, 2, 3};
        for (ELayout layout : kLayouts) EXPECT_EQ(CaptureStdout([&] { sys.Solve(layout, 6, 4, x, b); }), "");
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
    for (ELayout layout : kLayouts) {
        // A tolerance above 1 stops after one sweep (ratio exactly 1)...
        CBoundSystem above(A);
        above.host.SetVariable(1, 50, 1.0000001);
        std::vector<double> rhs = b;
        CaptureStdout([&] { above.Solve(layout, 1, 4, above.host.NewVector(), rhs.data()); });
        EXPECT_EQ(above.transport->Count("Sum"), 1) << LayoutName(layout);
        // ...a tolerance equal to the ratio 1 does not.
        CBoundSystem equal(A);
        equal.host.SetVariable(1, 50, 1.0);
        CaptureStdout([&] { equal.Solve(layout, 1, 4, equal.host.NewVector(), rhs.data()); });
        EXPECT_GT(equal.transport->Count("Sum"), 1) << LayoutName(layout);
        // An exact initial guess gives res0 = 0, a NaN ratio, and the full limit.
        CBoundSystem exact(ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1));
        exact.host.SetVariable(1, 9, 0.5);
        double* x = exact.host.NewVector();
        for (int i = 1; i <= 4; ++i) x[i] = 1.0;
        double bExact[4] = {0, 5, 6, 6};
        CaptureStdout([&] { exact.Solve(layout, 1, 4, x, bExact); });
        EXPECT_EQ(exact.transport->Count("Sum"), 9) << LayoutName(layout);
        EXPECT_EQ(exact.host.store.m_pdResidual0[1], 0.0);
    }
}

TEST(GaussSeidel, GlobalResidualIsTheSumOfPartitionNorms)
{
    // This partition's norm after the first sweep, and a second partition whose
    // norm is 3 * ours: the global residual is 4 * ours, not sqrt(10) * ours.
    const host::CSparseMatrix A = ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1);
    CBoundSystem single(A), pair(A);
    single.host.SetVariable(1, 1, 0.5);
    pair.host.SetVariable(1, 1, 0.5);
    pair.transport->sum = [](double local) { return local + 3.0 * local; };
    double b[4] = {0, 1, 2, 3};
    CaptureStdout([&] {
        single.Solve(ELayout::Native, 1, 4, single.host.NewVector(), b);
        pair.Solve(ELayout::Native, 1, 4, pair.host.NewVector(), b);
    });
    EXPECT_EQ(pair.host.store.m_pdResidual0[1], 4.0 * single.host.store.m_pdResidual0[1]);
}

TEST(GaussSeidel, VariableSixTracksTheOwnedExtremes)
{
    const host::CSparseMatrix A = ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1);
    for (ELayout layout : kLayouts) {
        CBoundSystem sys(A);
        sys.host.SetVariable(6, 1, 0.5);
        sys.host.SetVariable(5, 1, 0.5);
        double* x = sys.host.NewVector();
        x[4] = 100.0; // a halo value never counts
        double b[4] = {0, -4, 8, 2};
        *sys.host.store.m_pdSolutionMax = 11.0;
        *sys.host.store.m_pdSolutionMin = 11.0;
        CaptureStdout([&] { sys.Solve(layout, 5, 4, x, b); });
        EXPECT_EQ(*sys.host.store.m_pdSolutionMax, 11.0); // other variables leave them alone
        CaptureStdout([&] { sys.Solve(layout, 6, 4, x, b); });
        EXPECT_EQ(*sys.host.store.m_pdSolutionMax, std::max({x[1], x[2], x[3]})) << LayoutName(layout);
        EXPECT_EQ(*sys.host.store.m_pdSolutionMin, std::min({x[1], x[2], x[3]})) << LayoutName(layout);
    }

    // A partition without cells still takes part and reports the sentinels.
    host::CSparseBuilder empty(0, 0);
    CBoundSystem none(empty.Finish());
    none.host.SetVariable(6, 3, 0.5);
    double* x = none.host.NewVector();
    double b[1] = {0};
    CaptureStdout([&] { none.Solve(ELayout::Native, 6, 4, x, b); });
    EXPECT_EQ(*none.host.store.m_pdSolutionMax, -1e30);
    EXPECT_EQ(*none.host.store.m_pdSolutionMin, 1e30);
    EXPECT_EQ(none.transport->Count("Sum"), 3); // 0/0 never converges
    EXPECT_EQ(none.transport->Count("Exch"), 3);
}

TEST(GaussSeidel, EllRowWithOnlyEmptySlots)
{
    const host::CSparseMatrix A = ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1);
    CBoundSystem sys(A);
    // Empty every off-diagonal slot of row 2, leaving junk values behind.
    CQVLGVGPU& g = sys.host.gpu;
    for (int s = 1; s < g.m_nELLWidth; ++s) {
        g.m_piELLColumn[s * 4 + 1] = -1;
        g.m_pdELLValue[s * 4 + 1] = 1e6;
    }
    sys.host.SetVariable(1, 1, 0.5);
    double* x = sys.host.NewVector();
    x[2] = 0.75;
    double b[4] = {0, 1, 3, 1};
    sys.Solve(ELayout::Ell, 1, 4, x, b);
    EXPECT_EQ(x[2], (3.0 - 4.0 * 0.75) / 4.0 + 0.75);
}

TEST(GaussSeidel, ExchangeFollowsTheNonBlockingFlag)
{
    const host::CSparseMatrix A = ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1);
    for (bool nonBlocking : {false, true})
        for (ELayout layout : kLayouts) {
            CBoundSystem sys(A);
            sys.host.store.m_bNonBlockingExch = nonBlocking;
            sys.host.SetVariable(1, 2, 1e-30);
            double* x = sys.host.NewVector();
            double b[4] = {0, 1, 2, 3};
            CaptureStdout([&] { sys.Solve(layout, 1, 4, x, b); });
            const bool split = nonBlocking && layout != ELayout::Native;
            const std::vector<std::string> sweep =
                split ? std::vector<std::string>{"Sum", "Start0", "Wait0"} : std::vector<std::string>{"Sum", "Exch"};
            std::vector<std::string> expected = sweep;
            expected.insert(expected.end(), sweep.begin(), sweep.end());
            EXPECT_EQ(sys.transport->calls, expected) << LayoutName(layout) << " nonBlocking " << nonBlocking;
            for (const double* v : sys.transport->exchanged) EXPECT_EQ(v, x);
        }
}

TEST(GaussSeidel, HaloValuesComeFromTheExchange)
{
    // The halo refresh happens before the convergence test, also at the limit.
    const host::CSparseMatrix A = ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1);
    CBoundSystem sys(A);
    sys.transport->fillHalo = [](double* v) { v[4] = 9.0; };
    sys.host.SetVariable(1, 1, 0.5);
    double* x = sys.host.NewVector();
    double b[4] = {0, 1, 2, 3};
    CaptureStdout([&] { sys.Solve(ELayout::Csr, 1, 4, x, b); });
    EXPECT_EQ(x[4], 9.0);
}
