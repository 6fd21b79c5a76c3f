// The box sizes of a comparison run, chosen from the machine: one at which
// every program's working set fits in a quarter of the last-level cache
// (in cache), and one at which every program's working set is at least four
// times that cache (streaming).
//
// Working set: the bytes one solve touches every iteration, per cell, from
// the arrays each program keeps for it (matrix in the layout it runs on,
// preconditioner arrays, the vectors of the method). The other layouts our
// reference host fills and the set-up's temporaries are not part of it.
#ifndef QVL3D_BENCH_PEERS_MACHINESIZES_H
#define QVL3D_BENCH_PEERS_MACHINESIZES_H

#include <string>

#include "Platform.h"

namespace qvl3d {
namespace peers {

// Cache sizes as the solver reads them.
using platform::CLastLevelCache;
using platform::LastLevelCache;
using platform::ParseCacheSize;

// Working-set bytes per cell of one configuration (impl ours, eigen, petsc;
// method bicgstab, cg, gs; precond diag, dilu, none; layout native, csr, ell
// for ours, anything for the peers) on a matrix with entriesPerRow non-zeros
// per row (diagonal included) and ELL width ellWidth; 0 for an unknown one.
double WorkingSetPerCell(const std::string& impl, const std::string& method, const std::string& precond,
                         const std::string& layout, double entriesPerRow, int ellWidth);

// The smallest and largest working set per cell over every configuration
// the comparison runs, on the 7-point boxes.
double SmallestWorkingSetPerCell();
double LargestWorkingSetPerCell();

struct CBoxEdges {
    int inCache = 0;           // largest edge whose largest working set <= llc/4 (0: none from 4 up)
    int streaming = 0;         // smallest edge, a multiple of 32 from 64 on, whose smallest working set >= 4*llc
    bool streamingFits = true; // false when that edge exceeded maxEdge or the memory (streaming = maxEdge then)
};

// Edges for a cache of llcBytes on a machine with memoryBytes of memory:
// the streaming box and every program's set-up copies of it must stay far
// below the memory, so the largest working set times 4 must fit.
CBoxEdges ChooseBoxEdges(long long llcBytes, long long memoryBytes, int maxEdge = 256);

} // namespace peers
} // namespace qvl3d

#endif
