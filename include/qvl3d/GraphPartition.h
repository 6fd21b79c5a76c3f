// Splitting a matrix's rows into parts for a distributed solve, for hosts
// that bring a matrix but no partition of their own: the answer is the
// ownership BuildLocalSystem and CDistributedSolver take (each rank keeps
// the rows of its part, as a list of ids).
//
//     std::vector<int> part = qvl3d::PartitionGraph(A, ranks);   // A as the front door takes it
//
// Serial: call it on one rank and hand the answer to the others, or on
// every rank (it is the same on every call for the same input).
#ifndef QVL3D_GRAPHPARTITION_H
#define QVL3D_GRAPHPARTITION_H

#include <qvl3d/QVLExport.h>
#include <qvl3d/Solve.h>

#include <vector>

namespace qvl3d {

// part[k] in 0..parts-1 for each row k of A: a k-way partition of A's
// symmetrised pattern (the diagonal left out) into balanced parts that cut
// few edges, the same on every call and every machine for the same input;
// contiguous row blocks, as equal as the count allows, where the library
// was built without a graph partitioner (GraphPartitioner() says which).
// A part may get no rows; with as many parts as rows or more, row k is part
// k. Nothing is printed. Throws std::invalid_argument naming the fault for
// parts < 1, broken offsets or a column outside 0..rows-1.
QVL3D_EXPORT std::vector<int> PartitionGraph(const CCsrView& A, int parts);

// "metis", or "row blocks" in a build without METIS.
QVL3D_EXPORT const char* GraphPartitioner();

} // namespace qvl3d

#endif
