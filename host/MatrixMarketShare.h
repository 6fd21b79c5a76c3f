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

#include "BoxProblems.h"
#include "MatrixMarket.h"
#include "Partition.h"

#include <mpi.h>

#include <cstdint>
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
                                long long chunkEntries = kShareChunkEntries, int root = 0,
                                ERenumber renumber = ERenumber::None, std::uint64_t seed = 1);

// With a renumbering, ReadMatrixMarketShare hands each rank its share of
// the renumbered matrix (RenumberCells of the whole file under
// CRenumbering(n, renumber, seed)), partitioned as the renumbered matrix
// would be; faults still name the file's own rows and columns, and owners
// stays indexed by them. RenumberShare is its last step: the rank's rows and
// columns renamed, rows in ascending new order, columns ascending in each.
void RenumberShare(CRowShare& share, const CRenumbering& map);

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

// Collective over comm: the values of the n-entry vector file at path for
// this rank's cells `ids` (distinct 1-based global ids in 1..n, in any
// order), as
// ReadVectorMarket(path, n)[id] gives them; together the ranks' ids must
// name every cell. The root reads the file once, kShareChunkCells values at
// a time, and keeps no more than a chunk: of an array file's chunk each rank
// asks for the rows it holds and gets back just their values; a coordinate
// file's chunk, whose rows come in any order, goes to every rank, which sums
// its own in file order. A fault anywhere makes every rank throw CInputError
// with the message ReadVectorMarket gives for the same file.
std::vector<double> ReadVectorMarketShare(MPI_Comm comm, const std::string& path, int n, const std::vector<int>& ids,
                                          int chunkCells = kShareChunkCells, int root = 0);

// Collective over comm: the rank's share as Distribute gives it for the same
// owners (local numbering, halo columns after the owned ones, the halo plan),
// built from the ranks' rows alone.
CPartition PartitionFromShare(MPI_Comm comm, const CRowShare& share);

} // namespace host
} // namespace qvl3d

#endif
