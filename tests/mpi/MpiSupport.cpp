#include "MpiSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace qvl3d {
namespace test {

int Rank(MPI_Comm comm)
{
    return host::Rank(comm);
}

int Ranks(MPI_Comm comm)
{
    return host::Ranks(comm);
}

bool SameBitsOnAllRanks(MPI_Comm comm, const std::vector<double>& v)
{
    // Rank 0's bits against everyone's; the verdict combined on all ranks.
    long long count = static_cast<long long>(v.size());
    MPI_Bcast(&count, 1, MPI_LONG_LONG, 0, comm);
    int same = count == static_cast<long long>(v.size()) ? 1 : 0;
    std::vector<double> first(static_cast<size_t>(count));
    if (Rank(comm) == 0) first = v;
    MPI_Bcast(first.data(), static_cast<int>(count), MPI_DOUBLE, 0, comm);
    if (same) same = std::memcmp(first.data(), v.data(), v.size() * sizeof(double)) == 0 ? 1 : 0;
    MPI_Allreduce(MPI_IN_PLACE, &same, 1, MPI_INT, MPI_MIN, comm);
    return same == 1;
}

bool SameBitsOnAllRanks(MPI_Comm comm, double v)
{
    return SameBitsOnAllRanks(comm, std::vector<double>{v});
}

CMpiSystem::CMpiSystem(MPI_Comm comm, const host::CSparseMatrix& A, const host::COwners& owner)
    : part(host::Distribute(A, owner, Rank(comm), Ranks(comm))), host(part.A),
      halo(std::make_shared<CMpiHaloTransport>(comm, part.plan)), sum(std::make_shared<CMpiSumTransport>(comm)),
      commu(halo), com(sum)
{
    if (host.Bind(solver, commu, com) != 0) throw std::runtime_error("binding failed");
}

CSolveResult SolveDistributed(MPI_Comm comm, const host::CSparseMatrix& A, const host::COwners& owner,
                              const std::vector<double>& b, const CSolveSettings& s)
{
    CMpiSystem sys(comm, A, owner);
    sys.host.SetVariable(1, s.maxIter, s.tolerance);
    sys.host.SetPreconditioner(s.precond);
    double* x = sys.host.NewVector();
    std::vector<double> bl = host::Localise(sys.part, b);
    CaptureStdout([&] {
        if (s.lsolv == 6) sys.solver.SetupSolver(QVLAccelerationOpenMP);
        switch (s.layout) {
        case ELayout::Native: sys.solver.Solver(1, s.lsolv, x, bl.data(), 0); break;
        case ELayout::Csr: sys.solver.Solver_CSR(1, s.lsolv, x, bl.data(), 0); break;
        case ELayout::Ell: sys.solver.Solver_ELL(1, s.lsolv, x, bl.data(), 0); break;
        }
    });
    CSolveResult r;
    r.x = host::GatherSolution(comm, sys.part, x, A.nCell);
    r.x.resize(static_cast<size_t>(A.nCell) + 1);
    MPI_Bcast(r.x.data(), A.nCell + 1, MPI_DOUBLE, 0, comm);
    r.residual0 = sys.host.store.m_pdResidual0[1];
    r.iterCount = sys.host.store.m_piIterCount[1];
    return r;
}

double ErrorFromOnes(const std::vector<double>& x)
{
    double e = 0.0;
    for (size_t i = 1; i < x.size(); ++i) {
        const double d = std::fabs(x[i] - 1.0);
        if (std::isnan(d)) return d;
        if (d > e) e = d;
    }
    return e;
}

} // namespace test
} // namespace qvl3d

// Every rank runs every test; only rank 0 prints the progress. Failures are
// printed by the rank that sees them, and any rank's failure fails them all.
namespace {

class CRankFailurePrinter : public testing::EmptyTestEventListener {
public:
    explicit CRankFailurePrinter(int rank) : m_rank(rank) {}
    void OnTestPartResult(const testing::TestPartResult& r) override
    {
        if (!r.failed()) return;
        std::fprintf(stderr, "[rank %d] %s:%d: Failure\n%s\n", m_rank, r.file_name() ? r.file_name() : "?",
                     r.line_number(), r.summary());
        std::fflush(stderr);
    }

private:
    int m_rank;
};

} // namespace

int main(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    testing::InitGoogleTest(&argc, argv);
    const int rank = qvl3d::test::Rank();
    if (rank != 0) {
        testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
        delete listeners.Release(listeners.default_result_printer());
        listeners.Append(new CRankFailurePrinter(rank));
    }
    int rc = RUN_ALL_TESTS();
    MPI_Allreduce(MPI_IN_PLACE, &rc, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    MPI_Finalize();
    return rc;
}
