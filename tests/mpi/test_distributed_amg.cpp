// The aggregation multigrid on a partition of several: each rank's levels
// are built from its own rows, the couplings to other ranks left out (a
// block-Jacobi multigrid), so the iterations grow with the ranks but every
// solve converges by its true residual, with the same bits on every rank
// and from run to run.
#include "MpiSupport.h"
#include "BoxProblems.h"
#include <qvl3d/DistributedSolve.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::test;

namespace {

using Id = std::int64_t;

// This rank's contiguous block of the rows of A, global 0-based columns.
struct CBlock {
    std::vector<Id> start{0}, columns;
    std::vector<double> values;
    Id first = 0;

    CBlock(const host::CSparseMatrix& A, int rank, int ranks)
    {
        const Id N = A.nCell;
        first = N * rank / ranks;
        for (Id id = first; id < N * (rank + 1) / ranks; ++id) {
            const int i = static_cast<int>(id) + 1;
            for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) {
                columns.push_back(A.col[static_cast<size_t>(e)] - 1);
                values.push_back(A.val[static_cast<size_t>(e)]);
            }
            start.push_back(static_cast<Id>(columns.size()));
        }
    }
    Id Rows() const { return static_cast<Id>(start.size()) - 1; }
    CGlobalRows View() const { return CGlobalRows{Rows(), start.data(), columns.data(), values.data()}; }
};

} // namespace

TEST(DistributedAmg, ConvergesWithTheSameBitsOnEveryRank)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{16, 16, 12});
    const CBlock block(A, Rank(), Ranks());
    for (EMethod method : {EMethod::Cg, EMethod::Amg}) {
        CSolveOptions o;
        o.method = method;
        if (method == EMethod::Cg) o.preconditioner = EPreconditioner::Amg;
        o.maxIter = 500;
        CDistributedSolver solver(MPI_COMM_WORLD, block.View(), COwnership::Range(block.first), o);
        const std::vector<double> b(static_cast<size_t>(block.Rows()), 1.0);
        std::vector<double> x1(b.size(), 0.0), x2(b.size(), 0.0);
        const qvl3d::CSolveResult r1 = solver.Solve(b.data(), x1.data());
        const qvl3d::CSolveResult r2 = solver.Solve(b.data(), x2.data());
        const char* what = Find(method)->word;
        EXPECT_TRUE(r1.Converged()) << what << ": " << StatusName(r1.status);
        EXPECT_LE(r1.relativeResidual, 1e-8) << what;
        // 9 and 15 on one rank; the halo couplings left out cost iterations.
        EXPECT_LE(r1.iterations, method == EMethod::Cg ? 12 + 6 * (Ranks() - 1) : 20 + 60 * (Ranks() - 1)) << what;
        ASSERT_TRUE(r1.multigrid.has_value()) << what;
        EXPECT_EQ(r1.multigrid->rows[0], block.Rows()) << what;
        EXPECT_TRUE(SameBitsOnAllRanks(MPI_COMM_WORLD, r1.history)) << what;
        EXPECT_EQ(r1.history, r2.history) << what;
        EXPECT_EQ(x1, x2) << what;

        std::vector<double> scaled(block.values);
        for (double& v : scaled) v *= 4.0;
        solver.Update(scaled.data());
        std::vector<double> x3(b.size(), 0.0);
        const qvl3d::CSolveResult r3 = solver.Solve(b.data(), x3.data());
        EXPECT_TRUE(r3.multigrid->fromUpdate) << what;
        EXPECT_EQ(r3.iterations, r1.iterations) << what;
        for (size_t i = 0; i < x3.size(); ++i) ASSERT_EQ(x3[i], 0.25 * x1[i]) << what << " " << i;
    }
}
