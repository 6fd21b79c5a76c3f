// Domain decomposition for the reference host: who owns which cell, and each
// rank's share of a global system in its own numbering with its halo plan.
//
// An owner vector gives, for every global cell c (1..N), the rank that owns
// it (owner[c] in 0..nParts-1; owner[0] is unused). Box problems are split
// geometrically, general matrices by a graph partitioner where the build has
// one, else into contiguous row blocks. A rank may own no cells.
//
// A rank's share numbers its owned cells 1..n in ascending global order and
// its halo cells after them grouped by owning rank (ascending), each group in
// ascending global order, so every neighbour's halo block is contiguous. Rows
// keep the global matrix's storage order with the columns renamed.
#ifndef QVL3D_HOST_PARTITION_H
#define QVL3D_HOST_PARTITION_H

#include "BoxProblems.h"
#include <qvl3d/HaloPlan.h>
#include "SparseMatrix.h"

#include <vector>

#if QVL3D_WITH_MPI
#include <mpi.h>
#endif

namespace qvl3d {
namespace host {

using COwners = std::vector<int>;

// Recursive coordinate bisection of the box: each step cuts the longest
// extent (ties: z before y before x, so two parts of a cube are two slabs of
// contiguous cell numbers) in proportion to the parts on either side.
COwners PartitionBox(const CBox& box, int nParts);

// The bisection's geometry, which PartitionBox and DistributeBox share.
// A region holds cells lo..hi-1 along x, y, z (empty when some hi == lo).
struct CBoxRegion {
    int lo[3];
    int hi[3];
    long long Cells() const;
    bool Contains(int ix, int iy, int iz) const;
};

// How a region split among nParts >= 2 parts is cut: cells below `at` along
// `axis` go to the first leftParts parts, the rest to the others.
struct CBoxCut {
    int axis;
    int at;
    int leftParts;
};
CBoxCut BoxCut(const CBoxRegion& region, int nParts);

// The sub-box of part `part` of nParts, found by descending the cuts.
CBoxRegion BoxPartRegion(const CBox& box, int nParts, int part);

// The part that owns cell (ix, iy, iz), in O(log nParts) cuts.
int BoxOwner(const CBox& box, int nParts, int ix, int iy, int iz);

// Contiguous blocks of rows, as equal as the count allows (earlier blocks one
// larger); with more parts than rows the last parts own nothing.
COwners PartitionRows(int nCell, int nParts);

// A graph partitioning of the matrix's symmetrised pattern minimising the
// edges cut, the same from run to run; contiguous row blocks where the build
// has no graph partitioner (see GraphPartitionerName).
COwners PartitionGraph(const CSparseMatrix& A, int nParts);
const char* GraphPartitionerName(); // "metis" or "row blocks"

// One rank's share of a global system.
struct CPartition {
    int rank = 0;
    int nParts = 1;
    CSparseMatrix A;         // owned rows in local numbering, halo columns after nCell
    std::vector<int> global; // local cell (1..nCellTotal) -> global cell; global[0] = 0
    CHaloPlan plan;          // neighbours' ranks are partition numbers

    int Cells() const { return A.nCell; }
    int HaloCells() const { return A.nCellTotal - A.nCell; }
};

// Rank `rank`'s share of the global matrix A (no halo: nCellTotal == nCell).
// Throws std::invalid_argument naming the fault for an owner vector of the
// wrong length or with a rank outside 0..nParts-1, or a rank out of range.
CPartition Distribute(const CSparseMatrix& A, const COwners& owner, int rank, int nParts);

// Rank `rank`'s share of the box problem the stencil describes, the same as
// Distribute(global matrix, PartitionBox(box, nParts), rank, nParts) bit for
// bit, built from the rank's sub-box and its halo alone: no global matrix
// and nothing of the size of the box. Throws std::invalid_argument as
// Distribute does for a bad rank or part count.
CPartition DistributeBox(const CBoxStencil& stencil, int rank, int nParts);

// b = A*1 on a share built by DistributeBox, owned and halo entries
// (element 0 zero): each row summed in storage order from 0.0 as Multiply
// sums it, so the values equal Localise(p, the global A*1) bit for bit.
std::vector<double> BoxRowSums(const CBoxStencil& stencil, const CPartition& p);

// The local copy of a global cell vector (size N+1): owned and halo entries,
// element 0 zero.
std::vector<double> Localise(const CPartition& p, const std::vector<double>& global);

#if QVL3D_WITH_MPI
// This process's rank in comm, and the number of ranks.
int Rank(MPI_Comm comm);
int Ranks(MPI_Comm comm);

// Collective over comm (ranks = partitions): the owned values of x from every
// rank, in the original numbering (size nGlobal+1, element 0 zero) on root;
// an empty vector elsewhere.
std::vector<double> GatherSolution(MPI_Comm comm, const CPartition& p, const double* x, int nGlobal, int root = 0);

// The owner vector computed on root, handed to every rank (a partitioner's
// answer is then the same everywhere even if it were not deterministic).
void BroadcastOwners(MPI_Comm comm, COwners& owner, int root = 0);
#endif

} // namespace host
} // namespace qvl3d

#endif
