// Helpers of the MPI suite: a partitioned system bound to the MPI transports,
// and comparisons across ranks.
//
// Every test runs on every rank. Collective calls come first and assertions
// after them, with EXPECT rather than ASSERT inside collective stretches, so
// that a failing rank still makes the calls the others wait for.
#ifndef QVL3D_TESTS_MPISUPPORT_H
#define QVL3D_TESTS_MPISUPPORT_H

#include <qvl3d/MpiTransport.h>
#include "Partition.h"
#include "TestSupport.h"

#include <mpi.h>

#include <memory>
#include <vector>

namespace qvl3d {
namespace test {

int Rank(MPI_Comm comm = MPI_COMM_WORLD);
int Ranks(MPI_Comm comm = MPI_COMM_WORLD);

// True on every rank when v has the same bits on every rank.
bool SameBitsOnAllRanks(MPI_Comm comm, double v);
bool SameBitsOnAllRanks(MPI_Comm comm, const std::vector<double>& v);

// One rank's partition of a global system, bound to a solver through the
// MPI transports on comm (ranks = partitions).
struct CMpiSystem {
    CMpiSystem(MPI_Comm comm, const host::CSparseMatrix& A, const host::COwners& owner);

    host::CPartition part;
    host::CHostSystem host;
    std::shared_ptr<CMpiHaloTransport> halo;
    std::shared_ptr<CMpiSumTransport> sum;
    CCommunication commu;
    CQVLCom com;
    CSingleGridSolver solver;
};

struct CSolveSettings {
    ELayout layout = ELayout::Csr;
    int lsolv = 4;
    int precond = 0;
    int maxIter = 1000;
    double tolerance = 1e-10;
};

struct CSolveResult {
    std::vector<double> x; // gathered, original numbering, on every rank
    double residual0 = 0.0;
    int iterCount = 0;
};

// Solves A x = b from x = 0 on the partitions of owner (console captured)
// and gathers the solution to every rank.
CSolveResult SolveDistributed(MPI_Comm comm, const host::CSparseMatrix& A, const host::COwners& owner,
                              const std::vector<double>& b, const CSolveSettings& s);

// The largest |x_i - 1| over cells 1..n.
double ErrorFromOnes(const std::vector<double>& x);

} // namespace test
} // namespace qvl3d

#endif
