// Preconditioned conjugate gradient through the entry points (code 3), and
// the OpenMP-named BiCGSTAB (code 6).
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::test;

namespace {

const ELayout kLayouts[] = {ELayout::Native, ELayout::Csr, ELayout::Ell};

// A bound system with sentinels in the results and a record of every sum.
struct CPcgRun {
    CPcgRun(const host::CSparseMatrix& A, int type, int maxIter, double tol) : sys(A)
    {
        sys.host.SetPreconditioner(type);
        sys.host.SetVariable(3, maxIter, tol);
        sys.host.store.m_pdResidual0[3] = -1.0;
        sys.host.store.m_piIterCount[3] = -1;
        x = sys.host.NewVector();
        sys.transport->sum = [this](double local) {
            sums.push_back(local);
            return local;
        };
    }
    // Enables the progress line with the given interval.
    void Print(int interval)
    {
        *sys.host.store.m_piSilent = 0;
        *sys.host.store.m_piPrintSolver = 1;
        *sys.host.store.m_piPrintInterval = interval;
    }
    std::string Run(ELayout layout, std::vector<double> b, int code = 3)
    {
        b.resize(static_cast<size_t>(sys.host.CellsTotal()) + 1);
        return CaptureStdout([&] { sys.Solve(layout, 3, code, x, b.data()); });
    }
    int Iterations() const { return sys.transport->Count("Sum") / 3; }
    double Residual0() const { return sys.host.store.m_pdResidual0[3]; }
    // The residual norm of iteration k, as handed to the global sum.
    double Norm(int k) const { return std::sqrt(sums[static_cast<size_t>(3 * k - 1)]); }

    CBoundSystem sys;
    double* x;
    std::vector<double> sums;
};

std::string ProgressLine(int k, double res, int ivarb)
{
    char line[64];
    std::snprintf(line, sizeof line, "%4d %8.5le ivarb=%d\n", k, res, ivarb);
    return line;
}

std::vector<double> SmoothRhs(int n)
{
    std::vector<double> b(static_cast<size_t>(n) + 1);
    for (int i = 1; i <= n; ++i) b[i] = std::sin(0.37 * i) + 0.05 * i;
    return b;
}

} // namespace

TEST(Pcg, ConvergesToTheDirectSolution)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{6, 5, 4});
    const std::vector<double> b = SmoothRhs(A.nCell);
    const std::vector<double> exact = DenseSolve(A, b);
    for (ELayout layout : kLayouts) {
        int iterations[4] = {};
        for (int type : {0, 1, 3}) {
            CPcgRun run(A, type, 500, 1e-12);
            run.Run(layout, b);
            iterations[type] = run.Iterations();
            EXPECT_LT(iterations[type], 500) << LayoutName(layout) << " type " << type;
            EXPECT_LT(TrueResidualNorm(A, run.x, b.data()), 1e-9);
            for (int i = 1; i <= A.nCell; ++i) ASSERT_NEAR(run.x[i], exact[i], 1e-10) << "cell " << i;
            EXPECT_EQ(run.sys.host.store.m_piIterCount[3], -1); // not written by this method
        }
        EXPECT_LT(iterations[1], iterations[3]) << LayoutName(layout);
    }
}

TEST(Pcg, CollectiveCallSequence)
{
    const host::CSparseMatrix A = FromDense({{4, 1, 0}, {1, 4, 1}, {0, 1, 4}});
    for (bool nonBlocking : {false, true})
        for (ELayout layout : kLayouts) {
            CPcgRun run(A, 1, 2, 1e-30);
            run.sys.host.store.m_bNonBlockingExch = nonBlocking;
            run.Run(layout, {0, 1, 2, 3});
            // The ELL entry point runs the native method: always blocking.
            const bool split = nonBlocking && layout == ELayout::Csr;
            std::vector<std::string> one{"Sum", "Exch", "Sum", "Sum"};
            if (split) one = {"Sum", "Start0", "Wait0", "Sum", "Sum"};
            std::vector<std::string> expected = one;
            expected.insert(expected.end(), one.begin(), one.end());
            EXPECT_EQ(run.sys.transport->calls, expected) << LayoutName(layout) << " nonBlocking " << nonBlocking;
            for (const double* v : run.sys.transport->exchanged) EXPECT_EQ(v, run.sys.host.store.m_pdVecP);
        }
}

TEST(Pcg, ProgressLineIntervals)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{7, 6, 5});
    const std::vector<double> b = SmoothRhs(A.nCell);
    // Find the norms of the first 12 iterations, then set a tolerance that
    // converges exactly at iteration 12.
    CPcgRun probe(A, 3, 12, 1e-300);
    probe.Run(ELayout::Native, b);
    ASSERT_EQ(probe.Iterations(), 12);
    const double tol = 0.5 * (probe.Norm(11) + probe.Norm(12)) / probe.Residual0();
    ASSERT_LT(probe.Norm(12), probe.Norm(11));

    for (ELayout layout : kLayouts) {
        CPcgRun every5(A, 3, 100, tol);
        every5.Print(5);
        const std::string out5 = every5.Run(layout, b);
        EXPECT_EQ(every5.Iterations(), 12);
        EXPECT_EQ(out5, ProgressLine(5, probe.Norm(5), 3) + ProgressLine(10, probe.Norm(10), 3)) << LayoutName(layout);

        CPcgRun every1(A, 3, 100, tol);
        every1.Print(1);
        const std::string out1 = every1.Run(layout, b);
        std::string expected;
        for (int k = 1; k <= 12; ++k) expected += ProgressLine(k, probe.Norm(k), 3);
        EXPECT_EQ(out1, expected) << LayoutName(layout); // the converging iteration prints too
    }
}

TEST(Pcg, ProgressLineText)
{
    // One cell, a = 2, b = 4: iteration 1 solves it exactly (x = 2, residual
    // 0), so the reference is 0, nothing converges and both iterations print.
    CPcgRun run(FromDense({{2}}), 3, 2, 0.5);
    run.Print(1);
    EXPECT_EQ(run.Run(ELayout::Native, {0, 4}), "   1 0.00000e+00 ivarb=3\n   2 0.00000e+00 ivarb=3\n");
    EXPECT_EQ(run.x[1], 2.0);

    CPcgRun wide(FromDense({{4, 1}, {1, 4}}), 0, 1, 0.5);
    wide.Print(1);
    const std::string out = wide.Run(ELayout::Csr, {0, 1, 0});
    // r = (1, 0), p = (1, 0), q = (4, 1), alpha = 1/4: r = (0, -0.25).
    EXPECT_EQ(out, "   1 2.50000e-01 ivarb=3\n");
}

TEST(Pcg, EachGateSuppressesTheLine)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{3, 3, 3});
    const std::vector<double> b = SmoothRhs(A.nCell);
    struct CGate {
        int silent, interval, printSolver;
    };
    // Silent set; no iteration a multiple of 1000; print flag off; and an
    // interval below 1, which prints nothing rather than divide by zero.
    for (const CGate g : {CGate{1, 1, 1}, CGate{0, 1000, 1}, CGate{0, 1, 0}, CGate{0, 0, 1}, CGate{0, -2, 1}})
        for (ELayout layout : kLayouts) {
            CPcgRun run(A, 1, 10, 1e-300);
            run.Print(g.interval);
            *run.sys.host.store.m_piSilent = g.silent;
            *run.sys.host.store.m_piPrintSolver = g.printSolver;
            EXPECT_EQ(run.Run(layout, b), "") << g.silent << " " << g.interval << " " << g.printSolver;
            EXPECT_EQ(run.Iterations(), 10);
        }
}

TEST(Pcg, LimitBelowOneStillSetsUp)
{
    const host::CSparseMatrix A = ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 2);
    for (ELayout layout : kLayouts)
        for (int limit : {0, -1}) {
            CPcgRun run(A, 3, limit, 1e-6);
            run.Print(1);
            CQvl3dGV& S = run.sys.host.store;
            for (int i = 0; i <= 3; ++i) S.m_pdVecP[i] = S.m_pdPrecondDiag[i] = 9.0;
            run.x[1] = 1.0;
            run.x[4] = 3.0; // halo value read by row 3
            EXPECT_EQ(run.Run(layout, {0, 1, 2, 3}), "");
            EXPECT_EQ(S.m_pdVecR[1], 1.0 - (4.0 * 1.0 + 0.0 * 1.0)) << LayoutName(layout);
            EXPECT_EQ(S.m_pdVecR[2], 2.0 - ((4.0 * 0.0 + 1.0 * 1.0) + 0.0 * 1.0));
            EXPECT_EQ(S.m_pdVecR[3], 3.0 - ((4.0 * 0.0 + 0.0 * 1.0) + 3.0 * 2.0));
            for (int i = 1; i <= 3; ++i) {
                EXPECT_EQ(S.m_pdVecP[i], 0.0);
                EXPECT_EQ(S.m_pdPrecondDiag[i], 1.0 / (4.0 + 1e-30));
            }
            EXPECT_EQ(run.x[1], 1.0);
            EXPECT_EQ(run.Residual0(), -1.0);
            EXPECT_TRUE(run.sys.transport->calls.empty());
        }
}

TEST(Pcg, StoppingRules)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{4, 4, 3});
    const std::vector<double> b = SmoothRhs(A.nCell);
    for (ELayout layout : kLayouts) {
        // Above 1 stops after iteration 1; equality never stops (strict test).
        CPcgRun above(A, 1, 50, std::nextafter(1.0, 2.0));
        above.Run(layout, b);
        EXPECT_EQ(above.Iterations(), 1) << LayoutName(layout);
        EXPECT_EQ(above.Residual0(), above.Norm(1));
        CPcgRun equal(A, 1, 50, 1.0);
        equal.Run(layout, b);
        EXPECT_GT(equal.Iterations(), 1) << LayoutName(layout);

        // An exact initial guess: alpha 0 throughout, reference 0, full limit.
        CPcgRun exact(FromDense({{4, -1, 0}, {-1, 4, -1}, {0, -1, 4}}), 1, 7, 0.5);
        for (int i = 1; i <= 3; ++i) exact.x[i] = 1.0;
        exact.Run(layout, {0, 3, 2, 3});
        EXPECT_EQ(exact.Iterations(), 7);
        EXPECT_EQ(exact.Residual0(), 0.0);
        for (int i = 1; i <= 3; ++i) EXPECT_EQ(exact.x[i], 1.0);
    }
}

TEST(Pcg, EmptyPartitionMakesEveryCollectiveCall)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{3, 2, 2});
    CPcgRun owner(A, 1, 100, 1e-8);
    owner.Run(ELayout::Native, SmoothRhs(A.nCell));
    ASSERT_GT(owner.Iterations(), 2);
    host::CSparseBuilder none(0, 0);
    for (ELayout layout : kLayouts) {
        CPcgRun empty(none.Finish(), 1, 100, 1e-8);
        size_t next = 0;
        empty.sys.transport->sum = [&](double local) {
            EXPECT_EQ(local, 0.0);
            return owner.sums[next++];
        };
        empty.Run(layout, {0});
        EXPECT_EQ(empty.sys.transport->calls, owner.sys.transport->calls) << LayoutName(layout);
        EXPECT_EQ(empty.Residual0(), owner.Residual0());
    }
}

TEST(Pcg, EllEntryPointReadsTheNativeRows)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{4, 3, 3});
    const std::vector<double> b = SmoothRhs(A.nCell);
    CPcgRun native(A, 1, 40, 1e-10), ell(A, 1, 40, 1e-10);
    CQVLGVGPU& g = ell.sys.host.gpu;
    for (int k = 0; k < g.m_nELLWidth * A.nCellTotal; ++k) g.m_pdELLValue[k] = 1e9;
    native.Run(ELayout::Native, b);
    ell.Run(ELayout::Ell, b);
    EXPECT_EQ(ell.Residual0(), native.Residual0());
    for (int i = 1; i <= A.nCell; ++i) EXPECT_EQ(ell.x[i], native.x[i]);
}

// Code 6: the native BiCGSTAB with the diagonal preconditioner, from either
// entry point, always with the blocking exchange.
TEST(OpenMPBiCgStab, MatchesCodeTwoWithTheDiagonalPreconditioner)
{
    const host::CSparseMatrix A = ConvectionDiffusion(host::CBox{5, 4, 3}, 2.5);
    const std::vector<double> b = SmoothRhs(A.nCell);
    CPcgRun reference(A, 3, 200, 1e-10);
    reference.Run(ELayout::Native, b, 2);
    ASSERT_GT(reference.sys.host.store.m_piIterCount[3], 1);

    for (ELayout layout : {ELayout::Native, ELayout::Csr}) {
        CPcgRun run(A, 1, 200, 1e-10);
        run.sys.host.store.m_bNonBlockingExch = true;
        // The CSR arrays are not read: spoil them.
        for (int e = 0; e < A.NonZeros(); ++e) run.sys.host.mesh.m_pdCSRValue[e] = -1.0;
        run.Run(layout, b, 6);
        const CQvl3dGV& S = run.sys.host.store;
        EXPECT_EQ(*S.m_piPrecondType, 3) << LayoutName(layout);
        EXPECT_EQ(S.m_piMaxIter[3], 200);
        EXPECT_EQ(S.m_piIterCount[3], reference.sys.host.store.m_piIterCount[3]);
        EXPECT_EQ(S.m_pdResidual0[3], reference.Residual0());
        EXPECT_EQ(run.sys.transport->calls, reference.sys.transport->calls) << LayoutName(layout);
        EXPECT_EQ(run.sys.transport->Count("Start0"), 0);
        for (int i = 1; i <= A.nCell; ++i) ASSERT_EQ(run.x[i], reference.x[i]) << LayoutName(layout);
    }
    // The ELL entry point has no code 6.
    CPcgRun ell(A, 1, 200, 1e-10);
    ell.Run(ELayout::Ell, b, 6);
    EXPECT_TRUE(ell.sys.transport->calls.empty());
    EXPECT_EQ(*ell.sys.host.store.m_piPrecondType, 1);
}
