// The methods through the entry points: Gauss-Seidel (code 4), the
// conjugate gradient (code 3) and preconditioned BiCGSTAB (code 2, the
// diagonal codes 5 and 6). Worked cases, every exit with the state it
// leaves, the collective-call sequences, the console lines and convergence.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::test;

namespace {

std::vector<double> SmoothRhs(int n)
{
    std::vector<double> b(static_cast<size_t>(n) + 1);
    for (int i = 1; i <= n; ++i) b[i] = std::sin(0.37 * i) + 0.05 * i;
    return b;
}

host::CSparseMatrix WorkedCase()
{
    return FromDense({{4, 1, 0}, {1, 4, 1}, {0, 1, 4}});
}

host::CSparseMatrix Example()
{
    return ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1);
}

// Gauss-Seidel makes one global sum a sweep, the conjugate gradient three
// an iteration; BiCGSTAB writes its count.
int Iterations(const CSolveRun& run, int code)
{
    return code == 4   ? run.sys.transport->Count("Sum")
           : code == 3 ? run.sys.transport->Count("Sum") / 3
                       : run.IterCount();
}

// Enables the conjugate gradient's progress line with the given interval.
void Print(CSolveRun& run, int interval)
{
    *run.sys.host.store.m_piSilent = 0;
    *run.sys.host.store.m_piPrintSolver = 1;
    *run.sys.host.store.m_piPrintInterval = interval;
}

std::string ProgressLine(int k, double res)
{
    char line[64];
    std::snprintf(line, sizeof line, "%4d %8.5le ivarb=1\n", k, res);
    return line;
}

} // namespace

TEST(Methods, ConvergeToTheDirectSolution)
{
    const host::CSparseMatrix poisson = host::Poisson(host::CBox{6, 5, 4});
    const struct {
        int code;
        host::CSparseMatrix A;
        std::vector<int> types;
    } cases[] = {{4, host::Poisson(host::CBox{4, 3, 5}), {0}},
                 {3, poisson, {0, 1, 3}},
                 {2, poisson, {0, 1, 3}},
                 {2, ConvectionDiffusion(host::CBox{6, 5, 4}, 4.0), {0, 1, 3}}};
    for (const auto& c : cases) {
        const std::vector<double> b = SmoothRhs(c.A.nCell);
        const std::vector<double> exact = DenseSolve(c.A, b);
        for (ELayout layout : kEveryLayout) {
            int iterations[4] = {};
            for (int type : c.types) {
                const std::string what = std::string(LayoutName(layout)) + " code " + std::to_string(c.code) +
                                         " type " + std::to_string(type);
                CSolveRun run(c.A, type, 2000, c.code == 4 ? 1e-13 : 1e-12);
                run.Run(layout, b, c.code);
                iterations[type] = Iterations(run, c.code);
                EXPECT_LT(iterations[type], c.code == 4 ? 2000 : 500) << what;
                EXPECT_LT(TrueResidualNorm(c.A, run.x, b.data()), 1e-9) << what;
                for (int i = 1; i <= c.A.nCell; ++i) ASSERT_NEAR(run.x[i], exact[i], 1e-9) << what << " cell " << i;
                if (c.code == 3) {
                    EXPECT_EQ(run.IterCount(), -1); // not written by this method
                }
            }
            EXPECT_TRUE(c.code == 4 || iterations[1] < iterations[3]) << "DILU against the diagonal, code " << c.code;
        }
    }
}

TEST(Methods, CollectiveCallSequence)
{
    // Two iterations; BiCGSTAB opens with the sum of |r0|^2.
    const std::pair<int, const char*> methods[] = {{4, "SX"
                                                       "SX"},
                                                   {3, "SXSS"
                                                       "SXSS"},
                                                   {2, "S"
                                                       "SXSXSSS"
                                                       "SXSXSSS"}};
    for (const auto& [code, pattern] : methods)
        for (bool nonBlocking : {false, true})
            for (ELayout layout : kEveryLayout) {
                const std::string what = std::string(LayoutName(layout)) + " code " + std::to_string(code) +
                                         (nonBlocking ? " non-blocking" : "");
                CSolveRun run(Example(), 1, 2, 1e-30);
                run.sys.host.store.m_bNonBlockingExch = nonBlocking;
                // What another partition sends; the refresh comes before the convergence test, also at the limit.
                run.sys.transport->fillHalo = [](double* v) { v[4] = 9.0; };
                run.Run(layout, {0, 1, 2, 3}, code);
                // The ELL entry point runs the native conjugate gradient: always blocking.
                const bool split = nonBlocking && (layout == ELayout::Csr || (code != 3 && layout == ELayout::Ell));
                EXPECT_EQ(run.Calls(), CallSequence(pattern, split)) << what;
                // Gauss-Seidel exchanges x, the conjugate gradient p, BiCGSTAB phat, then shat.
                const CQvl3dGV& S = run.sys.host.store;
                const std::vector<const double*>& v = run.sys.transport->exchanged;
                for (size_t k = 0; k < v.size(); ++k) {
                    const bool first = (k / (split ? 2 : 1)) % 2 == 0;
                    EXPECT_EQ(v[k], code == 4   ? run.x
                                    : code == 3 ? S.m_pdVecP
                                    : first     ? S.m_pdVecPHat
                                                : S.m_pdVecSHat)
                        << what;
                }
                EXPECT_EQ(run.x[4], code == 4 ? 9.0 : 0.0) << what; // the Krylov methods never refresh x
            }
}

TEST(Methods, StoppingRules)
{
    // Gauss-Seidel and the conjugate gradient stop when the ratio to the
    // reference falls below the tolerance, BiCGSTAB when it is not above:
    // the first iteration's ratio is exactly 1.
    const host::CSparseMatrix poisson = host::Poisson(host::CBox{4, 4, 3});
    const host::CSparseMatrix convection = ConvectionDiffusion(host::CBox{4, 4, 3}, 2.0);
    const double above = std::nextafter(1.0, 2.0), below = std::nextafter(1.0, 0.0);
    const struct {
        int code;
        const host::CSparseMatrix& A;
        double stops, goesOn;
    } cases[] = {{4, poisson, above, 1.0}, {3, poisson, above, 1.0}, {2, convection, 1.0, below}};
    for (const auto& c : cases)
        for (ELayout layout : kEveryLayout) {
            const std::vector<double> b = RhsForOnes(c.A);
            CSolveRun stops(c.A, 1, 50, c.stops), goesOn(c.A, 1, 50, c.goesOn);
            stops.Run(layout, b, c.code);
            goesOn.Run(layout, b, c.code);
            EXPECT_EQ(Iterations(stops, c.code), 1) << LayoutName(layout) << " code " << c.code;
            EXPECT_GT(Iterations(goesOn, c.code), 1) << LayoutName(layout) << " code " << c.code;
            // The reference is the first iteration's norm (Gauss-Seidel sums the partitions' norms).
            EXPECT_EQ(stops.Residual0(), c.code == 4 ? stops.sums.back() : std::sqrt(stops.sums.back()))
                << LayoutName(layout) << " code " << c.code;
        }
}

TEST(Methods, ExactInitialGuess)
{
    // Residual 0 for reference: Gauss-Seidel and the conjugate gradient see a
    // NaN or 0 ratio that never converges and run to the limit, leaving x;
    // BiCGSTAB returns after its first sum, before building anything.
    for (int code : {4, 3, 2})
        for (ELayout layout : kEveryLayout) {
            CSolveRun run(WorkedCase(), 3, 7, 0.5);
            run.sys.host.store.m_pdPrecondDiag[1] = -5.0;
            std::fill_n(run.x + 1, 3, 1.0);
            run.Run(layout, {0, 5, 6, 5}, code);
            EXPECT_EQ(run.Residual0(), 0.0) << LayoutName(layout) << " code " << code;
            EXPECT_EQ(run.x[2], 1.0);
            if (code == 2) {
                EXPECT_EQ(run.IterCount(), -1);
                EXPECT_EQ(run.sys.host.store.m_pdPrecondDiag[1], -5.0);
                EXPECT_EQ(run.Calls(), CallSequence("S", false));
            } else {
                EXPECT_EQ(Iterations(run, code), 7) << LayoutName(layout) << " code " << code;
            }
        }
}

TEST(Methods, LimitBelowOneWritesNoResult)
{
    // Gauss-Seidel returns at once; the Krylov methods build the
    // preconditioner first, BiCGSTAB also makes its first sum, and the
    // conjugate gradient also writes r and p.
    for (int code : {4, 3, 2})
        for (ELayout layout : kEveryLayout)
            for (int limit : {0, -1}) {
                const std::string what = std::string(LayoutName(layout)) + " code " + std::to_string(code);
                CSolveRun run(ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 2), 3, limit, 1e-6, 6);
                Print(run, 1);
                CQvl3dGV& S = run.sys.host.store;
                for (int i = 0; i <= 3; ++i) S.m_pdVecP[i] = S.m_pdPrecondDiag[i] = 9.0;
                *S.m_pdSolutionMax = 7.0;
                run.x[1] = 1.0;
                run.x[4] = 3.0; // halo value read by row 3
                EXPECT_EQ(run.Run(layout, {0, 1, 2, 3}, code), "") << what;
                EXPECT_EQ(run.x[1], 1.0) << what;
                EXPECT_EQ(run.x[2], 0.0) << what;
                EXPECT_EQ(run.Residual0(), -1.0) << what;
                EXPECT_EQ(run.IterCount(), -1) << what;
                EXPECT_EQ(*S.m_pdSolutionMax, 7.0) << what;
                EXPECT_EQ(run.Calls(), CallSequence(code == 2 ? "S" : "", false)) << what;
                for (int i = 1; i <= 3; ++i) EXPECT_EQ(S.m_pdPrecondDiag[i], code == 4 ? 9.0 : 1.0 / (4.0 + 1e-30));
                if (code != 3) continue;
                EXPECT_EQ(S.m_pdVecR[1], 1.0 - (4.0 * 1.0 + 0.0 * 1.0)) << what;
                EXPECT_EQ(S.m_pdVecR[2], 2.0 - ((4.0 * 0.0 + 1.0 * 1.0) + 0.0 * 1.0));
                EXPECT_EQ(S.m_pdVecR[3], 3.0 - ((4.0 * 0.0 + 0.0 * 1.0) + 3.0 * 2.0));
                for (int i = 1; i <= 3; ++i) EXPECT_EQ(S.m_pdVecP[i], 0.0);
            }
}

TEST(Methods, EmptyPartitionMakesEveryCollectiveCall)
{
    // Record the global sums of a partition that owns the cells, then let a
    // partition without cells see the same global values. Its variable-6
    // extremes are the sentinels.
    const host::CSparseMatrix A = host::Poisson(host::CBox{3, 2, 2});
    for (int code : {4, 3, 2}) {
        CSolveRun owner(A, 1, 100, 1e-8, 6);
        owner.Run(ELayout::Native, SmoothRhs(A.nCell), code);
        ASSERT_GT(owner.Calls().size(), 12u);
        for (ELayout layout : kEveryLayout) {
            CSolveRun empty(host::CSparseBuilder(0, 0).Finish(), 1, 100, 1e-8, 6);
            size_t next = 0;
            empty.sys.transport->sum = [&](double local) {
                EXPECT_EQ(local, 0.0);
                return owner.sums[next++];
            };
            empty.Run(layout, {0}, code);
            EXPECT_EQ(empty.Calls(), owner.Calls()) << LayoutName(layout) << " code " << code;
            EXPECT_EQ(empty.IterCount(), owner.IterCount());
            EXPECT_EQ(empty.Residual0(), owner.Residual0());
            if (code == 4) {
                EXPECT_EQ(*empty.sys.host.store.m_pdSolutionMax, -1e30);
                EXPECT_EQ(*empty.sys.host.store.m_pdSolutionMin, 1e30);
            }
        }
    }
}

TEST(Methods, TypesWithoutConstructionPreconditionWithTheIdentity)
{
    // Whatever an earlier solve left in phat, shat and the preconditioner
    // array, a type other than 0, 1 and 3 iterates exactly as type 0 does.
    const std::pair<int, host::CSparseMatrix> cases[] = {{2, ConvectionDiffusion(host::CBox{3, 4, 2}, 1.5)},
                                                         {3, host::Poisson(host::CBox{3, 4, 2})}};
    for (const auto& [code, A] : cases)
        for (ELayout layout : kEveryLayout) {
            const std::vector<double> b = RhsForOnes(A);
            CSolveRun plain(A, 0, 8, 1e-300);
            plain.Run(layout, b, code);
            for (int type : {2, -1, 4}) {
                CSolveRun other(A, type, 8, 1e-300);
                CQvl3dGV& S = other.sys.host.store;
                for (int i = 0; i <= A.nCellTotal; ++i)
                    S.m_pdVecPHat[i] = S.m_pdVecSHat[i] = S.m_pdPrecondDiag[i] = 123.0;
                other.Run(layout, b, code);
                EXPECT_EQ(other.sums, plain.sums) << LayoutName(layout) << " code " << code << " type " << type;
                for (int i = 1; i <= A.nCell; ++i) EXPECT_EQ(other.x[i], plain.x[i]);
                EXPECT_EQ(S.m_pdPrecondDiag[1], 123.0); // nothing built
            }
        }
}

TEST(GaussSeidel, SweepAndResidualFollowTheWrittenOrder)
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

// The residual pass runs behind the sweep; on a randomly numbered system
// each row must still see x as the whole sweep leaves it.
TEST(GaussSeidel, ResidualSeesTheFinishedSweepOnAnyNumbering)
{
    const host::CBox box{5, 4, 4};
    const host::CSparseMatrix A =
        host::RenumberCells(ConvectionDiffusion(box, 2.0), host::Renumbering(box.Cells(), host::ERenumber::Random, 7));
    const std::vector<double> b = SmoothRhs(A.nCell);
    for (ELayout layout : kEveryLayout) {
        CSolveRun run(A, 0, 1, 1e-6);
        run.Run(layout, b, 4);
        const CQVL3DFiniteVolumeMesh& m = run.sys.host.mesh;
        double sumSq = 0.0;
        for (int i = 1; i <= A.nCell; ++i) {
            double s = 0.0;
            for (int e = m.m_piCSRRowStart[i] + 1; e < m.m_piCSRRowStart[i + 1]; ++e)
                s = s + m.m_pdCSRValue[e] * run.x[m.m_piCSRColumn[e]];
            const double r = (b[i] - m.m_pdCSRValue[m.m_piCSRRowStart[i]] * run.x[i]) - s;
            sumSq = sumSq + r * r;
        }
        EXPECT_EQ(run.Residual0(), std::sqrt(sumSq)) << LayoutName(layout);
    }
}

TEST(BiCgStab, WorkedThreeCellCase)
{
    const std::vector<double> b{0, 1, 2, 3};
    for (ELayout layout : kEveryLayout) {
        // Iteration 1: rho = 14, sigma = 18, alpha = 7/9, tt, ts and omega.
        CSolveRun one(WorkedCase(), 3, 1, 1e-6);
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
        CSolveRun two(WorkedCase(), 3, 2, 1e-6);
        two.Run(layout, b, 2);
        ASSERT_EQ(two.sums.size(), 11u);
        EXPECT_NEAR(two.sums[6], 0.283311, 1e-6);
        EXPECT_NEAR(two.sums[6] / (two.sums[7] + 1e-30), 1.118012, 1e-6);
        EXPECT_NEAR(two.sums[9] / (two.sums[8] + 1e-30), 1.432755, 1e-6);
        EXPECT_NEAR(std::sqrt(two.sums[10]), 0.00494776, 1e-8);
        EXPECT_EQ(two.Residual0(), one.Residual0());
        EXPECT_EQ(two.IterCount(), 2);

        // Iteration 3 reaches the exact solution.
        CSolveRun three(WorkedCase(), 3, 3, 1e-6);
        three.Run(layout, b, 2);
        EXPECT_NEAR(three.x[1], 5.0 / 28.0, 1e-15) << LayoutName(layout);
        EXPECT_NEAR(three.x[2], 2.0 / 7.0, 1e-15);
        EXPECT_NEAR(three.x[3], 19.0 / 28.0, 1e-15);
        EXPECT_EQ(three.IterCount(), 3);
        EXPECT_EQ(three.Residual0(), one.Residual0());
    }
}

// Each breakdown leaves x as the previous iteration left it (rho, beta,
// sigma, alpha) or with the half step x + alpha phat and r not updated (tt,
// omega), and writes no result for the failing iteration.
TEST(BiCgStab, BreakdownExits)
{
    const double kNonZero = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();
    const struct {
        const char* name;
        host::CSparseMatrix A;
        std::vector<double> b;
        int type, failingIteration, callsInLastIteration;
        std::vector<double> halfStep;  // x after a tt or omega exit of iteration 1
        std::vector<double> decidedOn; // the last global sums handed over (kNonZero: any but zero)
    } cases[] = {
        // r1 is orthogonal to r0hat.
        {"rho", FromDense({{0, 1, 0}, {2, 1, -2}, {-1, -1, 0}}), {0, -1, -2, 2}, 0, 2, 1, {}, {0.0}},
        // rho / rho_prev times alpha / omega underflows.
        {"beta", FromDense({{0, 1e-30}, {2e160, -1e300}}), {0, -2e-160, 1e-160}, 0, 2, 1, {}, {kNonZero}},
        // Skew-symmetric: r0hat . A r0 = 0.
        {"sigma", FromDense({{0, 1}, {-1, 0}}), {0, 1, 2}, 0, 1, 3, {}, {0.0}},
        // sigma overflows to infinity, alpha = rho / inf = 0.
        {"alpha", FromDense({{1e308, 0}, {0, 1e308}}), {0, 2, 2}, 0, 1, 3, {}, {kInf}},
        // Identity with the diagonal preconditioner: alpha = 1, s = t = 0 (tt, then ts).
        {"tt", FromDense({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}), {0, 1, 2, 3}, 3, 1, 6, {0, 1, 2, 3}, {0.0, 0.0}},
        // alpha = 1/2, s = (-1, -1) and t = (-1, 1): ts = 0 while tt = 2.
        {"omega", FromDense({{1, 0}, {-2, -2}}), {0, -2, 2}, 3, 1, 6, {0, -1, -0.5}, {2.0, 0.0}},
    };
    for (const auto& c : cases)
        for (ELayout layout : kEveryLayout) {
            const std::string what = std::string(c.name) + " " + LayoutName(layout);
            const int k = c.failingIteration;
            CSolveRun before(c.A, c.type, k - 1, 1e-300); // the iterations that succeed
            before.Run(layout, c.b, 2);
            CSolveRun run(c.A, c.type, 50, 1e-300);
            run.Run(layout, c.b, 2);
            EXPECT_EQ(run.Calls().size(), 1 + static_cast<size_t>((k - 1) * 7 + c.callsInLastIteration)) << what;
            for (size_t n = 0; n < c.decidedOn.size(); ++n) {
                const double sum = run.sums[run.sums.size() - c.decidedOn.size() + n], expected = c.decidedOn[n];
                EXPECT_TRUE(std::isnan(expected) ? sum != 0.0 : sum == expected) << what << ": " << sum;
            }
            EXPECT_EQ(run.IterCount(), k == 1 ? -1 : k - 1) << what;
            EXPECT_EQ(run.Residual0(), k == 1 ? -1.0 : before.Residual0()) << what;
            for (int i = 1; i <= c.A.nCell; ++i) {
                EXPECT_EQ(run.x[i], c.halfStep.empty() ? before.x[i] : c.halfStep[i]) << what << " cell " << i;
                EXPECT_TRUE(c.halfStep.empty() || run.sys.host.store.m_pdVecR[i] == c.b[i]) << what; // r0 = b - A 0
            }
        }
}

TEST(BiCgStab, LimitAndNaN)
{
    // The limit ends an unconverged solve with the count at the limit; a
    // NaN never equals zero and never converges: it runs to the limit.
    const host::CSparseMatrix A = ConvectionDiffusion(host::CBox{4, 4, 3}, 2.0);
    const std::vector<double> b = RhsForOnes(A);
    std::vector<double> bad = b;
    bad[5] = std::numeric_limits<double>::quiet_NaN();
    for (ELayout layout : kEveryLayout) {
        CSolveRun limited(A, 0, 3, 1e-300), nan(A, 1, 6, 1e-6);
        limited.Run(layout, b, 2);
        nan.Run(layout, bad, 2);
        EXPECT_EQ(limited.IterCount(), 3) << LayoutName(layout);
        EXPECT_EQ(limited.Calls().size(), 1u + 3 * 7);
        EXPECT_EQ(nan.IterCount(), 6) << LayoutName(layout);
        EXPECT_TRUE(std::isnan(nan.Residual0()));
    }
}

// With sorted rows the three layouts sum in the same order, so DILU gives the
// same bits on each, although native and CSR run their row products behind
// the backward sweep (no halo cells) and ELL in passes of their own.
TEST(BiCgStab, DiluGivesTheSameBitsOnEveryLayout)
{
    const host::CBox box{6, 5, 4};
    const host::CSparseMatrix A =
        host::RenumberCells(ConvectionDiffusion(box, 3.0), host::Renumbering(box.Cells(), host::ERenumber::Random, 3));
    const std::vector<double> b = SmoothRhs(A.nCell);
    CSolveRun ell(A, 1, 6, 1e-300);
    ell.Run(ELayout::Ell, b, 2);
    ASSERT_EQ(ell.IterCount(), 6);
    for (ELayout layout : {ELayout::Native, ELayout::Csr}) {
        CSolveRun run(A, 1, 6, 1e-300);
        run.Run(layout, b, 2);
        EXPECT_EQ(run.sums, ell.sums) << LayoutName(layout);
        EXPECT_EQ(run.Residual0(), ell.Residual0());
        for (int i = 1; i <= A.nCell; ++i) ASSERT_EQ(run.x[i], ell.x[i]) << LayoutName(layout) << " cell " << i;
    }
}

TEST(BiCgStab, HaloEntriesOfXAreReadButNotRefreshed)
{
    // Cell 3 couples to halo cell 4: its value enters the initial residual,
    // and the solve leaves it as it was.
    const host::CSparseMatrix A = ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1);
    for (ELayout layout : kEveryLayout) {
        CSolveRun run(A, 1, 20, 1e-14);
        run.x[4] = 2.0;
        run.sys.transport->fillHalo = [](double* v) { v[4] = 0.0; };
        run.Run(layout, {0, 5, 6, 7}, 2);
        EXPECT_EQ(run.x[4], 2.0);
        for (int i = 1; i <= 3; ++i) EXPECT_NEAR(run.x[i], 1.0, 1e-12) << LayoutName(layout);
    }
}

// Codes 5 and 6 write type 3 into the store and run code 2's method; code 5
// through the native entry point lifts the limit, code 6 runs the native
// rows with the blocking exchange whatever the flag says.
TEST(BiCgStab, DiagonalCodesAreCodeTwoWithTypeThree)
{
    const host::CSparseMatrix A = ConvectionDiffusion(host::CBox{5, 4, 3}, 2.5);
    const std::vector<double> b = SmoothRhs(A.nCell);
    CSolveRun reference(A, 3, 200, 1e-10);
    reference.Run(ELayout::Native, b, 2);
    ASSERT_GT(reference.IterCount(), 4);
    for (int code : {5, 6})
        for (ELayout layout : {ELayout::Native, ELayout::Csr}) {
            const std::string what = std::string(LayoutName(layout)) + " code " + std::to_string(code);
            const int limit = code == 5 ? 4 : 200;
            CSolveRun run(A, 1, limit, 1e-10);
            if (code == 6) {
                run.sys.host.store.m_bNonBlockingExch = true;
                std::fill_n(run.sys.host.mesh.m_pdCSRValue, A.NonZeros(), -1.0);
            }
            run.Run(layout, b, code);
            const bool lifted = code == 5 && layout == ELayout::Native;
            EXPECT_EQ(*run.sys.host.store.m_piPrecondType, 3) << what;
            EXPECT_EQ(run.sys.host.store.m_piMaxIter[1], lifted ? 1000000 : limit) << what;
            if (code == 5 && !lifted) {
                EXPECT_EQ(run.IterCount(), 4);
                continue;
            }
            EXPECT_EQ(run.IterCount(), reference.IterCount()) << what;
            EXPECT_EQ(run.Residual0(), reference.Residual0()) << what;
            EXPECT_EQ(run.Calls(), reference.Calls()) << what;
            for (int i = 1; i <= A.nCell; ++i) ASSERT_EQ(run.x[i], reference.x[i]) << what;
        }
    // A later code 2 on the same store keeps the diagonal preconditioner.
    CSolveRun again(A, 1, 200, 1e-10);
    again.Run(ELayout::Native, b, 5);
    std::fill_n(again.x, A.nCellTotal + 1, 0.0);
    again.Run(ELayout::Native, b, 2);
    for (int i = 1; i <= A.nCell; ++i) EXPECT_EQ(again.x[i], reference.x[i]);
}

TEST(Pcg, ProgressLineIntervals)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{7, 6, 5});
    const std::vector<double> b = SmoothRhs(A.nCell);
    // Find the norms of the first 12 iterations (handed to every third sum),
    // then set a tolerance that converges exactly at iteration 12.
    CSolveRun probe(A, 3, 12, 1e-300);
    probe.Run(ELayout::Native, b, 3);
    ASSERT_EQ(Iterations(probe, 3), 12);
    auto norm = [&](int k) { return std::sqrt(probe.sums[static_cast<size_t>(3 * k - 1)]); };
    ASSERT_LT(norm(12), norm(11));
    const double tol = 0.5 * (norm(11) + norm(12)) / probe.Residual0();
    for (ELayout layout : kEveryLayout)
        for (int interval : {5, 1}) {
            CSolveRun run(A, 3, 100, tol);
            Print(run, interval);
            std::string expected; // the converging iteration prints too
            for (int k = interval; k <= 12; k += interval) expected += ProgressLine(k, norm(k));
            EXPECT_EQ(run.Run(layout, b, 3), expected) << LayoutName(layout) << " interval " << interval;
            EXPECT_EQ(Iterations(run, 3), 12);
        }
}

TEST(Pcg, ProgressLineTextAndItsGates)
{
    // One cell, a = 2, b = 4: iteration 1 solves it exactly (x = 2, residual
    // 0), so the reference is 0, nothing converges and both iterations print.
    CSolveRun one(FromDense({{2}}), 3, 2, 0.5);
    Print(one, 1);
    EXPECT_EQ(one.Run(ELayout::Native, {0, 4}, 3), "   1 0.00000e+00 ivarb=1\n   2 0.00000e+00 ivarb=1\n");
    EXPECT_EQ(one.x[1], 2.0);
    // r = (1, 0), p = (1, 0), q = (4, 1), alpha = 1/4: r = (0, -0.25).
    CSolveRun two(FromDense({{4, 1}, {1, 4}}), 0, 1, 0.5);
    Print(two, 1);
    EXPECT_EQ(two.Run(ELayout::Csr, {0, 1, 0}, 3), "   1 2.50000e-01 ivarb=1\n");

    // Silent set; no iteration a multiple of 1000; print flag off; and an
    // interval below 1, which prints nothing rather than divide by zero.
    const host::CSparseMatrix A = host::Poisson(host::CBox{3, 3, 3});
    const struct {
        int silent, interval, printSolver;
    } gates[] = {{1, 1, 1}, {0, 1000, 1}, {0, 1, 0}, {0, 0, 1}, {0, -2, 1}};
    for (const auto& g : gates)
        for (ELayout layout : kEveryLayout) {
            CSolveRun run(A, 1, 10, 1e-300);
            Print(run, g.interval);
            *run.sys.host.store.m_piSilent = g.silent;
            *run.sys.host.store.m_piPrintSolver = g.printSolver;
            EXPECT_EQ(run.Run(layout, SmoothRhs(A.nCell), 3), "")
                << g.silent << " " << g.interval << " " << g.printSolver;
            EXPECT_EQ(Iterations(run, 3), 10);
        }
}
