// The Krylov methods distributed: conjugate gradient (code 3), BiCGSTAB
// (codes 2, 5) and its OpenMP-named variant (code 6) on every layout that
// serves them, with each preconditioner, on box and graph partitions.
#include "MpiSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace qvl3d;
using namespace qvl3d::test;

namespace {

struct CCase {
    int lsolv;
    ELayout layout;
    int precond;
};

// Which layouts and preconditioners each code runs with.
std::vector<CCase> Cases(bool symmetric)
{
    std::vector<CCase> cases;
    for (ELayout layout : {ELayout::Native, ELayout::Csr, ELayout::Ell})
        for (int precond : {0, 1, 3}) cases.push_back({2, layout, precond});
    if (symmetric)
        for (ELayout layout : {ELayout::Native, ELayout::Csr, ELayout::Ell})
            for (int precond : {0, 1, 3}) cases.push_back({3, layout, precond});
    for (int lsolv : {5, 6})
        for (ELayout layout : {ELayout::Native, ELayout::Csr}) cases.push_back({lsolv, layout, 3});
    return cases;
}

std::string Describe(const CCase& c)
{
    return "code " + std::to_string(c.lsolv) + ", " + LayoutName(c.layout) + ", preconditioner " +
           std::to_string(c.precond);
}

bool SameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
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

} // namespace

TEST(MpiKrylov, EveryMethodLayoutAndPreconditionerConvergesOnABox)
{
    const host::CBox box{7, 6, 5};
    const host::CSparseMatrix A = host::Poisson(box);
    const std::vector<double> b = RhsForOnes(A);
    for (const host::COwners& owner : {host::PartitionBox(box, Ranks()), host::PartitionGraph(A, Ranks())})
        for (const CCase& c : Cases(true)) {
            const CSolveResult r = SolveDistributed(MPI_COMM_WORLD, A, owner, b, Settings(c, 500, 1e-10));
            EXPECT_LT(ErrorFromOnes(r.x), 1e-7) << Describe(c);
            if (c.lsolv != 3) { // the conjugate gradient keeps no count
                EXPECT_GT(r.iterCount, 1) << Describe(c);
            }
            EXPECT_TRUE(SameBitsOnAllRanks(MPI_COMM_WORLD, r.residual0)) << Describe(c);
        }
}

TEST(MpiKrylov, BiCgStabConvergesOnANonSymmetricSystem)
{
    const host::CBox box{8, 5, 4};
    const host::CSparseMatrix A = ConvectionDiffusion(box, 3.0);
    const std::vector<double> b = RhsForOnes(A);
    for (const CCase& c : Cases(false)) {
        const CSolveResult r =
            SolveDistributed(MPI_COMM_WORLD, A, host::PartitionGraph(A, Ranks()), b, Settings(c, 500, 1e-10));
        EXPECT_LT(ErrorFromOnes(r.x), 1e-7) << Describe(c);
    }
}

TEST(MpiKrylov, BlockingAndSplitExchangesGiveTheSameBits)
{
    const host::CBox box{6, 6, 4};
    const host::CSparseMatrix A = ConvectionDiffusion(box, 1.0);
    const std::vector<double> b = RhsForOnes(A);
    const host::COwners owner = host::PartitionBox(box, Ranks());
    for (const CCase& c :
         {CCase{2, ELayout::Csr, 1}, CCase{2, ELayout::Ell, 3}, CCase{3, ELayout::Csr, 1}, CCase{5, ELayout::Csr, 3}}) {
        CSolveSettings s = Settings(c, 12, 1e-30);
        const CSolveResult blocking = SolveDistributed(MPI_COMM_WORLD, A, owner, b, s);
        s.nonBlocking = true;
        const CSolveResult split = SolveDistributed(MPI_COMM_WORLD, A, owner, b, s);
        EXPECT_TRUE(SameBits(blocking.x, split.x)) << Describe(c);
        EXPECT_EQ(blocking.iterCount, split.iterCount) << Describe(c);
    }
}

TEST(MpiKrylov, RanksWithoutCellsKeepInStep)
{
    const host::CBox box{1, 2, 1};
    const host::CSparseMatrix A = host::Poisson(box);
    const std::vector<double> b = RhsForOnes(A);
    for (const CCase& c : Cases(true)) {
        const CSolveResult r =
            SolveDistributed(MPI_COMM_WORLD, A, host::PartitionBox(box, Ranks()), b, Settings(c, 50, 1e-12));
        EXPECT_LT(ErrorFromOnes(r.x), 1e-10) << Describe(c);
    }
}

TEST(MpiKrylov, RunsRepeatBitForBit)
{
    const host::CBox box{6, 5, 6};
    const host::CSparseMatrix A = ConvectionDiffusion(box, 2.0);
    const std::vector<double> b = RhsForOnes(A);
    const host::COwners owner = host::PartitionGraph(A, Ranks());
    for (const CCase& c : {CCase{2, ELayout::Native, 1}, CCase{3, ELayout::Csr, 1}, CCase{6, ELayout::Csr, 3}}) {
        const CSolveSettings s = Settings(c, 25, 1e-30);
        const CSolveResult first = SolveDistributed(MPI_COMM_WORLD, A, owner, b, s);
        const CSolveResult second = SolveDistributed(MPI_COMM_WORLD, A, owner, b, s);
        EXPECT_TRUE(SameBits(first.x, second.x)) << Describe(c);
        EXPECT_TRUE(SameBitsOnAllRanks(MPI_COMM_WORLD, first.x)) << Describe(c);
    }
}
