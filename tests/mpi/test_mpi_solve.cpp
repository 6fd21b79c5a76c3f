// Distributed solves: every partition runs the solver on its own share and
// the MPI transports tie them together.
#include "MpiSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace qvl3d;
using namespace qvl3d::test;

namespace {

const ELayout kLayouts[] = {ELayout::Native, ELayout::Csr, ELayout::Ell};

bool SameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

} // namespace

TEST(MpiGaussSeidel, EveryLayoutConvergesOnBoxAndGraphPartitions)
{
    const host::CBox box{6, 5, 4};
    const host::CSparseMatrix A = host::Poisson(box);
    const std::vector<double> b = RhsForOnes(A);
    for (const host::COwners& owner : {host::PartitionBox(box, Ranks()), host::PartitionGraph(A, Ranks())})
        for (ELayout layout : kLayouts) {
            CSolveSettings s;
            s.layout = layout;
            s.maxIter = 2000;
            s.tolerance = 1e-11;
            const CSolveResult r = SolveDistributed(MPI_COMM_WORLD, A, owner, b, s);
            EXPECT_LT(ErrorFromOnes(r.x), 1e-8) << LayoutName(layout);
            EXPECT_TRUE(SameBitsOnAllRanks(MPI_COMM_WORLD, r.residual0));
        }
}

TEST(MpiGaussSeidel, GlobalResidualIsTheSumOfThePartitionNorms)
{
    // One sweep from x = 0, then each partition's own residual norm computed
    // here with the halo values the sweep saw (zero): their sum, not the
    // norm of the whole residual, is the reference residual.
    const host::CBox box{4, 4, 6};
    const host::CSparseMatrix A = host::Poisson(box);
    const std::vector<double> b = RhsForOnes(A);
    CMpiSystem sys(MPI_COMM_WORLD, A, host::PartitionBox(box, Ranks()));
    sys.host.SetVariable(1, 1, 0.5);
    double* x = sys.host.NewVector();
    std::vector<double> bl = host::Localise(sys.part, b);
    CaptureStdout([&] { sys.solver.Solver_CSR(1, 4, x, bl.data(), 0); });
    std::vector<double> xs(x, x + sys.part.A.nCellTotal + 1), ax(xs.size());
    for (int l = sys.part.Cells() + 1; l <= sys.part.A.nCellTotal; ++l) xs[static_cast<size_t>(l)] = 0.0;
    host::Multiply(sys.part.A, xs.data(), ax.data());
    double sq = 0.0;
    for (int l = 1; l <= sys.part.Cells(); ++l) sq += (bl[l] - ax[l]) * (bl[l] - ax[l]);
    std::vector<double> norms(static_cast<size_t>(Ranks()));
    const double mine = std::sqrt(sq);
    MPI_Allgather(&mine, 1, MPI_DOUBLE, norms.data(), 1, MPI_DOUBLE, MPI_COMM_WORLD);
    double sumOfNorms = 0.0, sumOfSquares = 0.0;
    for (double v : norms) sumOfNorms += v, sumOfSquares += v * v;
    const double res0 = sys.host.store.m_pdResidual0[1];
    EXPECT_NEAR(res0, sumOfNorms, 1e-12 * sumOfNorms);
    if (Ranks() > 1) {
        EXPECT_GT(res0, 1.2 * std::sqrt(sumOfSquares)); // equal slabs: sqrt(ranks) apart
    }
    // The halo of x is refreshed before the call returns.
    for (int l = sys.part.Cells() + 1; l <= sys.part.A.nCellTotal; ++l) EXPECT_NE(x[l], 0.0);
}

TEST(MpiGaussSeidel, BlockingAndSplitExchangesGiveTheSameBits)
{
    const host::CBox box{5, 5, 5};
    const host::CSparseMatrix A = host::Poisson(box);
    const std::vector<double> b = RhsForOnes(A);
    const host::COwners owner = host::PartitionGraph(A, Ranks());
    for (ELayout layout : {ELayout::Csr, ELayout::Ell}) {
        CSolveSettings s;
        s.layout = layout;
        s.maxIter = 60;
        s.tolerance = 1e-30;
        const CSolveResult blocking = SolveDistributed(MPI_COMM_WORLD, A, owner, b, s);
        s.nonBlocking = true;
        const CSolveResult split = SolveDistributed(MPI_COMM_WORLD, A, owner, b, s);
        EXPECT_TRUE(SameBits(blocking.x, split.x)) << LayoutName(layout);
        EXPECT_EQ(blocking.residual0, split.residual0);
    }
}

TEST(MpiGaussSeidel, RanksWithoutCellsKeepInStep)
{
    // Two cells over up to four ranks: the ranks beyond the second own nothing
    // but make every collective call.
    const host::CBox box{1, 1, 2};
    const host::CSparseMatrix A = host::Poisson(box);
    const std::vector<double> b = RhsForOnes(A);
    for (ELayout layout : kLayouts) {
        CSolveSettings s;
        s.layout = layout;
        s.maxIter = 200;
        s.tolerance = 1e-14;
        const CSolveResult r = SolveDistributed(MPI_COMM_WORLD, A, host::PartitionBox(box, Ranks()), b, s);
        EXPECT_LT(ErrorFromOnes(r.x), 1e-12) << LayoutName(layout);
    }
}

TEST(MpiGaussSeidel, RunsRepeatBitForBitAndOneRankIsTheSerialSolve)
{
    const host::CBox box{5, 4, 6};
    const host::CSparseMatrix A = host::Poisson(box);
    std::vector<double> b(static_cast<size_t>(A.nCell) + 1, 0.0);
    for (int i = 1; i <= A.nCell; ++i) b[static_cast<size_t>(i)] = std::sin(0.3 * i);
    CSolveSettings s;
    s.maxIter = 80;
    s.tolerance = 1e-30;
    const host::COwners owner = host::PartitionBox(box, Ranks());
    const CSolveResult first = SolveDistributed(MPI_COMM_WORLD, A, owner, b, s);
    const CSolveResult second = SolveDistributed(MPI_COMM_WORLD, A, owner, b, s);
    EXPECT_TRUE(SameBits(first.x, second.x));
    EXPECT_TRUE(SameBitsOnAllRanks(MPI_COMM_WORLD, first.x));

    // One partition over MPI against the default single-partition objects.
    const CSolveResult self = SolveDistributed(MPI_COMM_SELF, A, host::COwners(A.nCell + 1, 0), b, s);
    CBoundSystem serial(A);
    serial.host.SetVariable(1, s.maxIter, s.tolerance);
    double* x = serial.host.NewVector();
    std::vector<double> bs = b;
    CaptureStdout([&] { serial.Solve(ELayout::Csr, 1, 4, x, bs.data()); });
    EXPECT_TRUE(SameBits(self.x, std::vector<double>(x, x + A.nCell + 1)));
    if (Ranks() == 1) {
        EXPECT_TRUE(SameBits(first.x, self.x));
    }
}

TEST(MpiGather, PutsScatteredOwnersBackInOriginalOrder)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{7, 3, 2});
    host::COwners owner(static_cast<size_t>(A.nCell) + 1, 0);
    for (int c = 1; c <= A.nCell; ++c) owner[static_cast<size_t>(c)] = (c * 7) % Ranks(); // scattered on purpose
    const host::CPartition p = host::Distribute(A, owner, Rank(), Ranks());
    std::vector<double> x(p.global.size(), 0.0);
    for (int l = 1; l <= p.Cells(); ++l) x[static_cast<size_t>(l)] = 10.0 * p.global[static_cast<size_t>(l)];
    const std::vector<double> all = host::GatherSolution(MPI_COMM_WORLD, p, x.data(), A.nCell);
    if (Rank() == 0) {
        ASSERT_EQ(all.size(), static_cast<size_t>(A.nCell) + 1);
        for (int c = 1; c <= A.nCell; ++c) EXPECT_EQ(all[static_cast<size_t>(c)], 10.0 * c);
    } else {
        EXPECT_TRUE(all.empty());
    }
}
