// Preconditioned BiCGSTAB through the entry points: the worked three-cell
// case, every exit with the state it leaves, the collective-call sequence,
// the dispatch of code 5, convergence on box problems and real matrices.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::test;

namespace {

const ELayout kLayouts[] = {ELayout::Native, ELayout::Csr, ELayout::Ell};
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Sentinels in every result a solve may write, to see what it leaves.
struct CBiCgStabRun {
    explicit CBiCgStabRun(const host::CSparseMatrix& A, int type, int maxIter, double tol) : sys(A)
    {
        sys.host.SetPreconditioner(type);
        sys.host.SetVariable(1, maxIter, tol);
        sys.host.store.m_pdResidual0[1] = -1.0;
        sys.host.store.m_piIterCount[1] = -1;
        for (int i = 0; i <= A.nCell; ++i) sys.host.store.m_pdPrecondDiag[i] = -5.0;
        x = sys.host.NewVector();
        sys.transport->sum = [this](double local) {
            sums.push_back(local);
            return local;
        };
    }
    void Run(ELayout layout, std::vector<double> b, int code = 2)
    {
        b.resize(static_cast<size_t>(sys.host.CellsTotal()) + 1);
        sys.Solve(layout, 1, code, x, b.data());
    }
    double Residual0() const { return sys.host.store.m_pdResidual0[1]; }
    int IterCount() const { return sys.host.store.m_piIterCount[1]; }

    CBoundSystem sys;
    double* x;
    std::vector<double> sums; // local values handed to the global sum, in order
};

// The collective calls of a solve that runs `iterations` full iterations.
std::vector<std::string> BiCgStabCalls(int iterations, bool split)
{
    std::vector<std::string> calls{"Sum"};
    const std::vector<std::string> exch =
        split ? std::vector<std::string>{"Start0", "Wait0"} : std::vector<std::string>{"Exch"};
    for (int k = 0; k < iterations; ++k) {
        calls.push_back("Sum");
        calls.insert(calls.end(), exch.begin(), exch.end());
        calls.push_back("Sum");
        calls.insert(calls.end(), exch.begin(), exch.end());
        calls.insert(calls.end(), {"Sum", "Sum", "Sum"});
    }
    return calls;
}

host::CSparseMatrix WorkedCase()
{
    return FromDense({{4, 1, 0}, {1, 4, 1}, {0, 1, 4}});
}

} // namespace

TEST(BiCgStab, WorkedThreeCellCase)
{
    const std::vector<double> b{0, 1, 2, 3};
    for (ELayout layout : kLayouts) {
        // Iteration 1: rho = 14, sigma = 18, alpha = 7/9, tt, ts and omega.
        CBiCgStabRun one(WorkedCase(), 3, 1, 1e-6);
        one.Run(layout, b);
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
        CBiCgStabRun two(WorkedCase(), 3, 2, 1e-6);
        two.Run(layout, b);
        ASSERT_EQ(two.sums.size(), 11u);
        EXPECT_NEAR(two.sums[6], 0.283311, 1e-6);
        EXPECT_NEAR(two.sums[6] / (two.sums[7] + 1e-30), 1.118012, 1e-6);
        EXPECT_NEAR(two.sums[9] / (two.sums[8] + 1e-30), 1.432755, 1e-6);
        EXPECT_NEAR(std::sqrt(two.sums[10]), 0.00494776, 1e-8);
        EXPECT_EQ(two.Residual0(), one.Residual0());
        EXPECT_EQ(two.IterCount(), 2);

        // Iteration 3 reaches the exact solution.
        CBiCgStabRun three(WorkedCase(), 3, 3, 1e-6);
        three.Run(layout, b);
        EXPECT_NEAR(three.x[1], 5.0 / 28.0, 1e-15) << LayoutName(layout);
        EXPECT_NEAR(three.x[2], 2.0 / 7.0, 1e-15);
        EXPECT_NEAR(three.x[3], 19.0 / 28.0, 1e-15);
        EXPECT_EQ(three.IterCount(), 3);
        EXPECT_EQ(three.Residual0(), one.Residual0());
    }
}

TEST(BiCgStab, CollectiveCallSequence)
{
    for (bool nonBlocking : {false, true})
        for (ELayout layout : kLayouts) {
            CBiCgStabRun run(WorkedCase(), 1, 2, 1e-30);
            run.sys.host.store.m_bNonBlockingExch = nonBlocking;
            run.Run(layout, {0, 1, 2, 3});
            const bool split = nonBlocking && layout != ELayout::Native;
            EXPECT_EQ(run.sys.transport->calls, BiCgStabCalls(2, split))
                << LayoutName(layout) << " nonBlocking " << nonBlocking;
            // Exchanged vectors alternate: phat, shat.
            const CQvl3dGV& S = run.sys.host.store;
            const std::vector<const double*>& v = run.sys.transport->exchanged;
            ASSERT_EQ(v.size(), split ? 8u : 4u);
            for (size_t k = 0; k < v.size(); ++k)
                EXPECT_EQ(v[k], (k / (split ? 2 : 1)) % 2 == 0 ? S.m_pdVecPHat : S.m_pdVecSHat);
        }
}

TEST(BiCgStab, EmptyPartitionMakesEveryCollectiveCall)
{
    // Record the global sums of a partition that owns the worked case, then
    // let a partition without cells see the same global values.
    CBiCgStabRun owner(WorkedCase(), 3, 3, 1e-6);
    owner.Run(ELayout::Native, {0, 1, 2, 3});
    host::CSparseBuilder none(0, 0);
    for (ELayout layout : kLayouts) {
        CBiCgStabRun empty(none.Finish(), 3, 3, 1e-6);
        size_t next = 0;
        empty.sys.transport->sum = [&](double local) {
            EXPECT_EQ(local, 0.0);
            return owner.sums[next++];
        };
        empty.Run(layout, {0});
        EXPECT_EQ(empty.sys.transport->calls, owner.sys.transport->calls) << LayoutName(layout);
        EXPECT_EQ(empty.IterCount(), 3);
        EXPECT_EQ(empty.Residual0(), owner.Residual0());
    }
}

TEST(BiCgStab, ExitsBeforeTheFirstIteration)
{
    const host::CSparseMatrix A = WorkedCase();
    for (ELayout layout : kLayouts) {
        // x already solves the system: reference 0, nothing else touched.
        CBiCgStabRun exact(A, 3, 10, 1e-6);
        for (int i = 1; i <= 3; ++i) exact.x[i] = 1.0;
        exact.Run(layout, {0, 5, 6, 5});
        EXPECT_EQ(exact.Residual0(), 0.0) << LayoutName(layout);
        EXPECT_EQ(exact.IterCount(), -1);
        EXPECT_EQ(exact.sys.host.store.m_pdPrecondDiag[1], -5.0);
        EXPECT_EQ(exact.x[2], 1.0);
        EXPECT_EQ(exact.sys.transport->calls, std::vector<std::string>{"Sum"});

        // A limit below 1: the preconditioner is built, nothing is written.
        for (int limit : {0, -4}) {
            CBiCgStabRun none(A, 3, limit, 1e-6);
            none.Run(layout, {0, 1, 2, 3});
            EXPECT_EQ(none.sys.host.store.m_pdPrecondDiag[2], 1.0 / (4.0 + 1e-30)) << LayoutName(layout);
            EXPECT_EQ(none.Residual0(), -1.0);
            EXPECT_EQ(none.IterCount(), -1);
            for (int i = 1; i <= 3; ++i) EXPECT_EQ(none.x[i], 0.0);
            EXPECT_EQ(none.sys.transport->calls, std::vector<std::string>{"Sum"});
        }
    }
}

// Each breakdown leaves x as the previous iteration left it (rho, beta,
// sigma, alpha) or with the half step x + alpha phat and r not updated (tt,
// omega), and writes no result for the failing iteration.
TEST(BiCgStab, BreakdownExits)
{
    struct CCase {
        const char* name;
        host::CSparseMatrix A;
        std::vector<double> b;
        int type;
        int failingIteration;
        int callsInLastIteration;
        std::vector<double> halfStep; // x after a tt or omega exit of iteration 1
        // The global values the exit was decided on (the last sums handed over).
        std::function<bool(const std::vector<double>&)> why;
    };
    auto last = [](const std::vector<double>& s, size_t back) { return s[s.size() - 1 - back]; };
    const std::vector<CCase> cases = {
        // r1 is orthogonal to r0hat.
        {"rho",
         FromDense({{0, 1, 0}, {2, 1, -2}, {-1, -1, 0}}),
         {0, -1, -2, 2},
         0,
         2,
         1,
         {},
         [&](const auto& s) { return last(s, 0) == 0.0; }},
        // rho / rho_prev times alpha / omega underflows.
        {"beta",
         FromDense({{0, 1e-30}, {2e160, -1e300}}),
         {0, -2e-160, 1e-160},
         0,
         2,
         1,
         {},
         [&](const auto& s) { return last(s, 0) != 0.0; }},
        // Skew-symmetric: r0hat . A r0 = 0.
        {"sigma",
         FromDense({{0, 1}, {-1, 0}}),
         {0, 1, 2},
         0,
         1,
         3,
         {},
         [&](const auto& s) { return last(s, 0) == 0.0; }},
        // sigma overflows to infinity, alpha = rho / inf = 0.
        {"alpha",
         FromDense({{1e308, 0}, {0, 1e308}}),
         {0, 2, 2},
         0,
         1,
         3,
         {},
         [&](const auto& s) { return std::isinf(last(s, 0)); }},
        // Identity with the diagonal preconditioner: alpha = 1, s = t = 0.
        {"tt",
         FromDense({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}),
         {0, 1, 2, 3},
         3,
         1,
         6,
         {0, 1, 2, 3},
         [&](const auto& s) { return last(s, 1) == 0.0; }},
        // alpha = 1/2, s = (-1, -1) and t = (-1, 1): ts = 0 while tt = 2.
        {"omega",
         FromDense({{1, 0}, {-2, -2}}),
         {0, -2, 2},
         3,
         1,
         6,
         {0, -1, -0.5},
         [&](const auto& s) { return last(s, 1) == 2.0 && last(s, 0) == 0.0; }},
    };
    for (const CCase& c : cases)
        for (ELayout layout : kLayouts) {
            const int k = c.failingIteration;
            CBiCgStabRun before(c.A, c.type, k - 1, 1e-300); // the iterations that succeed
            before.Run(layout, c.b);
            CBiCgStabRun run(c.A, c.type, 50, 1e-300);
            run.Run(layout, c.b);
            const size_t calls = 1 + static_cast<size_t>(k - 1) * 7 + static_cast<size_t>(c.callsInLastIteration);
            EXPECT_EQ(run.sys.transport->calls.size(), calls) << c.name << " " << LayoutName(layout);
            EXPECT_TRUE(c.why(run.sums)) << c.name << " " << LayoutName(layout);
            EXPECT_EQ(run.IterCount(), k == 1 ? -1 : k - 1) << c.name;
            EXPECT_EQ(run.Residual0(), k == 1 ? -1.0 : before.Residual0()) << c.name;
            if (k > 1) {
                EXPECT_EQ(before.IterCount(), k - 1) << c.name;
            }
            for (int i = 1; i <= c.A.nCell; ++i) {
                if (c.halfStep.empty()) {
                    EXPECT_EQ(run.x[i], before.x[i]) << c.name << " " << LayoutName(layout) << " cell " << i;
                } else {
                    EXPECT_EQ(run.x[i], c.halfStep[i]) << c.name << " " << LayoutName(layout) << " cell " << i;
                    EXPECT_EQ(run.sys.host.store.m_pdVecR[i], c.b[i]) << c.name; // r0 = b - A 0
                }
            }
        }
}

TEST(BiCgStab, StoppingRules)
{
    const host::CSparseMatrix A = ConvectionDiffusion(host::CBox{4, 4, 3}, 2.0);
    const std::vector<double> b = RhsForOnes(A);
    for (ELayout layout : kLayouts) {
        // The test holds at equality: a tolerance of exactly 1 stops after
        // iteration 1, the next double below 1 does not.
        CBiCgStabRun equal(A, 1, 50, 1.0);
        equal.Run(layout, b);
        EXPECT_EQ(equal.IterCount(), 1) << LayoutName(layout);
        CBiCgStabRun below(A, 1, 50, std::nextafter(1.0, 0.0));
        below.Run(layout, b);
        EXPECT_GT(below.IterCount(), 1) << LayoutName(layout);

        // The limit ends an unconverged solve with the count at the limit.
        CBiCgStabRun limited(A, 0, 3, 1e-300);
        limited.Run(layout, b);
        EXPECT_EQ(limited.IterCount(), 3);
        EXPECT_EQ(limited.sys.transport->calls.size(), 1u + 3 * 7);

        // A NaN never equals zero and never converges: it runs to the limit.
        std::vector<double> bad = b;
        bad[5] = kNaN;
        CBiCgStabRun nan(A, 1, 6, 1e-6);
        nan.Run(layout, bad);
        EXPECT_EQ(nan.IterCount(), 6) << LayoutName(layout);
        EXPECT_TRUE(std::isnan(nan.Residual0()));
    }
}

TEST(BiCgStab, TypesWithoutConstructionPreconditionWithTheIdentity)
{
    // Whatever an earlier solve left in phat, shat and the preconditioner
    // array, a type other than 0, 1 and 3 iterates exactly as type 0 does.
    const host::CSparseMatrix A = ConvectionDiffusion(host::CBox{3, 4, 2}, 1.5);
    const std::vector<double> b = RhsForOnes(A);
    for (ELayout layout : kLayouts) {
        CBiCgStabRun plain(A, 0, 8, 1e-300);
        plain.Run(layout, b);
        for (int type : {2, -1, 4}) {
            CBiCgStabRun other(A, type, 8, 1e-300);
            CQvl3dGV& S = other.sys.host.store;
            for (int i = 0; i <= A.nCellTotal; ++i) S.m_pdVecPHat[i] = S.m_pdVecSHat[i] = 123.0;
            other.Run(layout, b);
            EXPECT_EQ(other.Residual0(), plain.Residual0()) << LayoutName(layout) << " type " << type;
            EXPECT_EQ(other.IterCount(), plain.IterCount());
            for (int i = 1; i <= A.nCell; ++i) EXPECT_EQ(other.x[i], plain.x[i]);
            EXPECT_EQ(S.m_pdPrecondDiag[1], -5.0); // nothing built
        }
    }
}

TEST(BiCgStab, HaloEntriesOfXAreReadButNotRefreshed)
{
    // Cell 3 couples to halo cell 4: its value enters the initial residual,
    // and the solve leaves it as it was.
    const host::CSparseMatrix A = ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1);
    for (ELayout layout : kLayouts) {
        CBiCgStabRun withHalo(A, 1, 20, 1e-14), without(A, 1, 20, 1e-14);
        withHalo.x[4] = 2.0;
        withHalo.sys.transport->fillHalo = [](double* v) { v[4] = 0.0; };
        withHalo.Run(layout, {0, 5, 6, 7});
        without.Run(layout, {0, 5, 6, 5});
        EXPECT_EQ(withHalo.x[4], 2.0);
        for (int i = 1; i <= 3; ++i) EXPECT_NEAR(withHalo.x[i], 1.0, 1e-12) << LayoutName(layout);
        for (int i = 1; i <= 3; ++i) EXPECT_NEAR(without.x[i], 1.0, 1e-12);
    }
}

TEST(BiCgStab, CodeFiveWritesTheDiagonalPreconditioner)
{
    const host::CSparseMatrix A = ConvectionDiffusion(host::CBox{5, 3, 3}, 2.0);
    const std::vector<double> b = RhsForOnes(A);
    CBiCgStabRun reference(A, 3, 1000000, 1e-10);
    reference.Run(ELayout::Native, b, 2);

    CBiCgStabRun native(A, 1, 4, 1e-10);
    native.Run(ELayout::Native, b, 5);
    EXPECT_EQ(*native.sys.host.store.m_piPrecondType, 3);
    EXPECT_EQ(native.sys.host.store.m_piMaxIter[1], 1000000);
    EXPECT_EQ(native.IterCount(), reference.IterCount());
    for (int i = 1; i <= A.nCell; ++i) EXPECT_EQ(native.x[i], reference.x[i]);

    CBiCgStabRun csr(A, 1, 4, 1e-10);
    csr.Run(ELayout::Csr, b, 5);
    EXPECT_EQ(*csr.sys.host.store.m_piPrecondType, 3);
    EXPECT_EQ(csr.sys.host.store.m_piMaxIter[1], 4); // the limit is left alone
    EXPECT_EQ(csr.IterCount(), 4);

    // A later code 2 on the same store keeps the diagonal preconditioner.
    CBiCgStabRun again(A, 1, 1000000, 1e-10);
    again.Run(ELayout::Native, b, 5);
    std::fill(again.x, again.x + A.nCellTotal + 1, 0.0);
    again.Run(ELayout::Native, b, 2);
    for (int i = 1; i <= A.nCell; ++i) EXPECT_EQ(again.x[i], reference.x[i]);
}

TEST(BiCgStab, ConvergesOnBoxProblems)
{
    const host::CSparseMatrix problems[] = {host::Poisson(host::CBox{6, 5, 4}),
                                            ConvectionDiffusion(host::CBox{6, 5, 4}, 4.0)};
    for (const host::CSparseMatrix& A : problems) {
        std::vector<double> b(static_cast<size_t>(A.nCell) + 1);
        for (int i = 1; i <= A.nCell; ++i) b[i] = std::sin(0.37 * i) + 0.05 * i;
        const std::vector<double> exact = DenseSolve(A, b);
        for (int type : {0, 1, 3})
            for (ELayout layout : kLayouts) {
                CBiCgStabRun run(A, type, 500, 1e-12);
                run.Run(layout, b);
                EXPECT_LT(run.IterCount(), 500) << LayoutName(layout) << " type " << type;
                EXPECT_LT(TrueResidualNorm(A, run.x, b.data()), 1e-9);
                for (int i = 1; i <= A.nCell; ++i) ASSERT_NEAR(run.x[i], exact[i], 1e-9) << "cell " << i;
            }
    }
}
