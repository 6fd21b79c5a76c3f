// The only calls that leave the partition. Every call here is collective:
// all partitions make the same calls in the same order, which the methods
// guarantee by deciding only on globally summed values, the iteration
// counter and per-variable limits.
#ifndef QVL3D_DETAIL_CONTEXT_H
#define QVL3D_DETAIL_CONTEXT_H

#include <qvl3d/Communication.h>

#include <cstdio>

namespace qvl3d {
namespace detail {

struct CSolveContext {
    CCommunication& commu;
    CQVLCom& com;
};

// Global sum of one double over all partitions.
inline double SumOverPartitions(const CSolveContext& c, double local)
{
    return c.com.AllSum(local);
}

// Refreshes the halo entries of v. The non-blocking form is a start followed
// at once by its wait on buffer 0; an overlap with interior work would go here.
inline void ExchangeHalo(const CSolveContext& c, double* v, bool nonBlocking)
{
    if (nonBlocking) {
        c.commu.DDM_IExch_Start(v, QVLNonBlockingBuffer0);
        c.commu.DDM_IExch_Wait(v, QVLNonBlockingBuffer0);
    } else {
        c.commu.DDM_Exch(v);
    }
}

// One fixed console line, flushed at once.
inline void PrintLine(const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

constexpr double kGuard = 1e-30; // added to Krylov denominators and inverted diagonals

} // namespace detail
} // namespace qvl3d

#endif
