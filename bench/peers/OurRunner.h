// Our solver driven through the reference host for the peer comparison: one
// rank's share of a system, the host objects, the communication objects and
// CSingleGridSolver bound to them, and the timed rounds of one configuration.
// See ours.cpp for the stopping rule, the iteration counts and the times.
#ifndef QVL3D_BENCH_PEERS_OURRUNNER_H
#define QVL3D_BENCH_PEERS_OURRUNNER_H

#include "ByteModel.h"
#include "PeerSystems.h"

#include <qvl3d/Communication.h>
#include "HostSystem.h"
#include "Partition.h"
#include <qvl3d/SingleGridSolver.h>
#include <qvl3d/SolveRecord.h>

#include <memory>
#include <vector>

namespace qvl3d {
namespace peers {

struct COurConfig {
    const char* method; // bicgstab, cg, gs
    const char* precond;
    const char* layout;
    int code;        // solver code
    int precondType; // store's m_piPrecondType
};

// The native rows as the reference host laid them out: the typical distance
// from one row's coefficient, neighbour and ordered-slot blocks to the next
// row's, and whether the three interleave.
void MeasureNativeRows(const host::CHostSystem& sys, CLayoutShape& shape);

// Every configuration we run, in table order.
const std::vector<COurConfig>& OurConfigs();

// Rank `rank`'s share of the system, split as the reference host splits it
// (boxes by its geometric partitioner, matrices into contiguous row blocks);
// the whole system on one rank. ranks > 1: collective over MPI_COMM_WORLD.
host::CPartition ShareOf(const CPeerSystem& s, int rank, int ranks);

// The rows the front door's sweeps read, per owned row of the share:
// owned entries left and right of the diagonal, and every off-diagonal one.
void MeasureSweepRows(const host::CSparseMatrix& A, CLayoutShape& shape);

class COurRunner {
public:
    // ranks > 1: collective over MPI_COMM_WORLD.
    COurRunner(const CPeerSystem& s, int rank, int ranks);

    const CLayoutShape& Shape() const { return m_shape; }

    // Learns the reference residual and returns the tolerance that stops at
    // ||r||/||b|| <= rtol; false when the method's first iteration does not
    // complete (no method in this build, or a breakdown).
    bool Prepare(const COurConfig& c, double rtol, double& tolerance);

    // One timed round: the set-up call, then the full solve, each repeated
    // until it has run minSeconds; iterations from the solve's record.
    void Round(const COurConfig& c, int maxIter, double tolerance, double minSeconds, double& setup, double& solve,
               int& iterations);

    // The solution in the original numbering, on rank 0 (empty elsewhere).
    std::vector<double> Solution() const;

    // The store's residual vector after the last solve (owned cells, 1-based).
    const double* StoreResidual() const { return m_sys->store.m_pdVecR; }
    int Cells() const { return m_part.A.nCell; }

private:
    static constexpr int kVar = 1;

    void Reset();
    double TimedCall(const COurConfig& c);
    void Call(const COurConfig& c);

    const CPeerSystem& m_s;
    int m_ranks;
    host::CPartition m_part;
    std::unique_ptr<CCommunication> m_commu;
    std::unique_ptr<CQVLCom> m_com;
    std::unique_ptr<host::CHostSystem> m_sys;
    CSingleGridSolver m_solver;
    CSolveRecord m_record; // of the last call
    double* m_x = nullptr;
    double* m_b = nullptr;
    CLayoutShape m_shape;
};

} // namespace peers
} // namespace qvl3d

#endif
