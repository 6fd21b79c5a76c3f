// Distributed solves: every partition runs the solver on its own share and
// the MPI transports tie them together. Each method on every layout that
// serves it, on box and graph partitions and with ranks that own no cells;
// the same bits from run to run, and on one rank those of the serial solve. (What one partition hands to the sums and
// exchanges is the reference suite's; the transports are test_mpi_transport's.)
#include "MatrixMarket.h"
#include "MpiSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace qvl3d;
using namespace qvl3d::test;

namespace {

struct CCase {
    int lsolv;
    ELayout layout;
    int precond;
};

// Gauss-Seidel, BiCGSTAB and (symmetric systems) the conjugate gradient with
// each preconditioner on every layout; codes 5 and 6 where they are served.
std::vector<CCase> Cases(bool symmetric)
{
    std::vector<CCase> cases;
    for (ELayout layout : kEveryLayout) {
        cases.push_back({4, layout, 0});
        for (int precond : {0, 1, 3}) {
            cases.push_back({2, layout, precond});
            if (symmetric) cases.push_back({3, layout, precond});
        }
    }
    for (int lsolv : {5, 6})
        for (ELayout layout : {ELayout::Native, ELayout::Csr}) cases.push_back({lsolv, layout, 3});
    return cases;
}

std::string Describe(const CCase& c)
{
    return "code " + std::to_string(c.lsolv) + ", " + LayoutName(c.layout) + ", preconditioner " +
           std::to_string(c.precond) + ", " + std::to_string(Ranks()) + " ranks";
}

CSolveSettings Settings(const CCase& c, int maxIter, double tolerance)
{
    CSolveSettings s;
    s.lsolv = c.lsolv;
    s.layout = c.layout;
    s.precond = c.precond;
    s.maxIter = maxIter;
    s.tolerance = tolerance;
    return s;
}

bool SameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

host::CSparseMatrix Flow(const host::CBox& box)
{
    return host::ConvectionDiffusion(box, host::CConvection{1.0, 0.5, 0.25, 20.0});
}

} // namespace

// (The halo exchange on box and graph plans alike is test_mpi_transport's.)
TEST(MpiSolve, EveryMethodConvergesOnGraphPartitions)
{
    const host::CBox box{7, 6, 5}, flowBox{8, 5, 4};
    const host::CSparseMatrix poisson = host::Poisson(box), flow = Flow(flowBox);
    const struct {
        const host::CSparseMatrix& A;
        host::COwners owner;
        bool symmetric;
    } systems[] = {{poisson, host::PartitionGraph(poisson, Ranks()), true},
                   {flow, host::PartitionGraph(flow, Ranks()), false}};
    for (const auto& sys : systems) {
        const std::vector<double> b = RhsForOnes(sys.A);
        for (const CCase& c : Cases(sys.symmetric)) {
            const CSolveResult r = SolveDistributed(MPI_COMM_WORLD, sys.A, sys.owner, b, Settings(c, 2000, 1e-11));
            EXPECT_LT(ErrorFromOnes(r.x), 1e-8) << Describe(c);
            EXPECT_TRUE(SameBitsOnAllRanks(MPI_COMM_WORLD, r.residual0)) << Describe(c);
        }
    }
}

TEST(MpiSolve, RanksWithoutCellsKeepInStep)
{
    // Two cells over up to four ranks: the ranks beyond the second own nothing
    // but make every collective call.
    const host::CBox box{1, 1, 2};
    const host::CSparseMatrix A = host::Poisson(box);
    const std::vector<double> b = RhsForOnes(A);
    for (const CCase& c : Cases(true)) {
        const CSolveResult r =
            SolveDistributed(MPI_COMM_WORLD, A, host::PartitionBox(box, Ranks()), b, Settings(c, 200, 1e-12));
        EXPECT_LT(ErrorFromOnes(r.x), 1e-10) << Describe(c);
    }
}

TEST(MpiSolve, RunsRepeatBitForBitAndOneRankIsTheSerialSolve)
{
    const host::CBox box{6, 5, 6};
    const host::CSparseMatrix A = Flow(box);
    const std::vector<double> b = RhsForOnes(A);
    const host::COwners owner = host::PartitionGraph(A, Ranks());
    for (const CCase& c : {CCase{4, ELayout::Csr, 0}, CCase{2, ELayout::Native, 1}, CCase{3, ELayout::Csr, 1},
                           CCase{6, ELayout::Csr, 3}}) {
        const CSolveSettings s = Settings(c, 25, 1e-30);
        const CSolveResult first = SolveDistributed(MPI_COMM_WORLD, A, owner, b, s);
        const CSolveResult second = SolveDistributed(MPI_COMM_WORLD, A, owner, b, s);
        EXPECT_TRUE(SameBits(first.x, second.x)) << Describe(c);

        // One partition over the MPI transports against the serial solve.
        const CSolveResult self = SolveDistributed(MPI_COMM_SELF, A, host::COwners(A.nCell + 1, 0), b, s);
        CBoundSystem serial(A);
        serial.host.SetVariable(1, s.maxIter, s.tolerance);
        serial.host.SetPreconditioner(s.precond);
        double* x = serial.host.NewVector();
        std::vector<double> bs = b;
        CaptureStdout([&] { serial.Solve(c.layout, 1, c.lsolv, x, bs.data()); });
        EXPECT_TRUE(SameBits(self.x, std::vector<double>(x, x + A.nCell + 1))) << Describe(c);
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
