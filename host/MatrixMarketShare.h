// A Matrix Market file read once and streamed to the ranks that own its
// rows, so that no rank holds the whole matrix.
//
// The root rank reads the file in chunks of a bounded number of entries and
// sends each rank the entries of its rows; every rank then sums duplicates
// and checks its rows exactly as ReadMatrixMarket does for the whole file.
// With a graph partitioner in the build and more than one rank, the root
// first reads the file's pattern alone (no values) to partition it, the
// same partition PartitionGraph gives for the whole matrix.
#ifndef QVL3D_HOST_MATRIXMARKETSHARE_H
#define QVL3D_HOST_MATRIXMARKETSHARE_H

#include "MatrixMarket.h"
#include "Partition.h"

#include <mpi.h>

#include <string>
#include <vector>

namespace qvl3d {
namespace host {

// One rank's rows of a file, in global numbering.
struct CRowShare {
    int nGlobal = 0;         // rows of the whole matrix
    std::vector<int> cells;  // the owned rows (1-based), ascending
    std::vector<int> start;  // cells.size()+1 offsets into col and val
    std::vector<int> col;    // 1-based global columns, ascending within a row
    std::vector<double> val; // duplicates summed in file order
    CMatrixMarketInfo info;  // the same on every rank
};

// Entries the root reads before it sends them on.
constexpr long long kShareChunkEntries = 1 << 20;

// Collective over comm. Every rank gets its share; the owner vector (the
// partition) stays on the root, or is returned there through owners when
// asked for. A fault in the file makes every rank throw CInputError with the
// message ReadMatrixMarket gives for the same file.
CRowShare ReadMatrixMarketShare(MPI_Comm comm, const std::string& path, COwners* owners = nullptr,
                                long long chunkEntries = kShareChunkEntries, int root = 0);

// Collective over comm: writes the solution x of the ranks' shares (owned
// cells numbered in ascending global order, as Distribute, DistributeBox and
// PartitionFromShare number them) to path on root, as WriteVectorMarket
// writes the whole vector, streamed in chunks of kShareChunkCells cells so
// that no rank holds the whole vector. Returns root's fault (a file that
// cannot be written), empty when written or on the other ranks; every rank
// takes part to the end either way.
constexpr int kShareChunkCells = 1 << 16;
std::string WriteVectorMarketShare(MPI_Comm comm, const std::string& path, const CPartition& part, const double* x,
                                   int nGlobal, const std::string& comment, int chunkCells = kShareChunkCells,
                                   int root = 0);

// Collective over comm: the rank's share as Distribute gives it for the same
// owners (local numbering, halo columns after the owned ones, the halo plan),
// built from the ranks' rows alone.
CPartition PartitionFromShare(MPI_Comm comm, const CRowShare& share);

} // namespace host
} // namespace qvl3d

#endif
