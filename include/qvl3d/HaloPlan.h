// Which cells of one partition travel in a halo exchange: for each
// neighbouring partition, the owned cells whose values it needs and the halo
// cells whose values it owns. The partitioner builds the plan once per
// partitioning; the transport only follows it.
//
// Cell numbers are the partition's own (owned 1..nCell, halo nCell+1 ..
// nCellTotal). Both sides of a pair list the same cells in the same order:
// the k-th entry of A's send list to B is the k-th entry of B's receive list
// from A. The plan is plain data and does not need MPI.
#ifndef QVL3D_HALOPLAN_H
#define QVL3D_HALOPLAN_H

#include <vector>

struct CHaloNeighbour {
    int rank = -1;         // the neighbour's rank in the transport's communicator
    std::vector<int> send; // owned cells (1..nCell) whose values go to it
    std::vector<int> recv; // halo cells (nCell+1..nCellTotal) that it fills
};

struct CHaloPlan {
    int nCell = 0;
    int nCellTotal = 0;
    std::vector<CHaloNeighbour> neighbours; // at most one entry per rank
};

#endif
