// Row access to the three matrix layouts. A layout type is built on the stack
// at the start of each call from the bound host objects; it holds raw
// pointers and counts, owns nothing and caches nothing between calls. Every
// method is written once as a template over these types; where the layouts
// behave differently, the difference is a member or trait named for it.
//
// Common interface (i is an owned cell, 1..n):
//   n                      owned cells
//   Diag(i)                diagonal coefficient a_ii
//   ForEachOffDiag(i, f)   f(column, coefficient) for the off-diagonal entries
//                          of row i in storage order (ELL: empty slots skipped)
#ifndef QVL3D_DETAIL_LAYOUTS_H
#define QVL3D_DETAIL_LAYOUTS_H

#include "HostObjects.h"

#include <cstddef>

namespace qvl3d {
namespace detail {

// Native rows: slot 0 of m_ppdCoef[i] is the diagonal, slot k (1..nn(i)) the
// coefficient of neighbour m_ppiNeighbor[i][k].
struct CNativeRows {
    int n;
    const int* numNeighbor;
    int* const* neighbor;
    double* const* coef;
    int* const* orderedSlot;
    const int* diagPos;

    static constexpr bool kHonoursNonBlocking = false; // always the blocking exchange
    static constexpr bool kGaussSeidelMarkers = true;  // Gauss-Seidel writes its marker lines

    double Diag(int i) const { return coef[i][0]; }

    template <class F>
    void ForEachOffDiag(int i, F&& f) const
    {
        const int* nb = neighbor[i];
        const double* a = coef[i];
        for (int k = 1, nn = numNeighbor[i]; k <= nn; ++k) f(nb[k], a[k]);
    }
};

// CSR: row i is entries start[i]..start[i+1]-1, the first being the diagonal
// (its column is not read).
struct CCsrRows {
    int n;
    const double* val;
    const int* col;
    const int* start;

    static constexpr bool kHonoursNonBlocking = true;
    static constexpr bool kGaussSeidelMarkers = true;

    double Diag(int i) const { return val[start[i]]; }

    template <class F>
    void ForEachOffDiag(int i, F&& f) const
    {
        for (int e = start[i] + 1, end = start[i + 1]; e < end; ++e) f(col[e], val[e]);
    }
};

// ELL, slot-major: slot s of row i at s*nTotal + (i-1); slot 0 is the
// diagonal, a column of -1 marks an empty slot. Entry indices are formed in
// 64-bit arithmetic: the same values as the 32-bit form wherever that does
// not overflow.
struct CEllRows {
    int n;
    int nTotal;
    int width;
    const double* val;
    const int* col;
    const int* orderedSlot; // (place-1)*n + (i-1)
    const int* numNeighbor;
    const int* diagPos;

    static constexpr bool kHonoursNonBlocking = true;
    static constexpr bool kGaussSeidelMarkers = false;

    std::ptrdiff_t Entry(int slot, int i) const { return static_cast<std::ptrdiff_t>(slot) * nTotal + (i - 1); }

    double Diag(int i) const { return val[i - 1]; }

    template <class F>
    void ForEachOffDiag(int i, F&& f) const
    {
        for (int s = 1; s < width; ++s) {
            const std::ptrdiff_t e = Entry(s, i);
            const int c = col[e];
            if (c != -1) f(c, val[e]);
        }
    }
};

inline CNativeRows NativeRowsOf(const CQvl3dGV* S, const CQVL3DFiniteVolumeMesh* m)
{
    return CNativeRows{m->m_nCell,   m->m_piNumNeighbor,  m->m_ppiNeighbor,
                       S->m_ppdCoef, S->m_ppiOrderedSlot, S->m_piDiagPos};
}

inline CCsrRows CsrRowsOf(const CQVL3DFiniteVolumeMesh* m)
{
    return CCsrRows{m->m_nCell, m->m_pdCSRValue, m->m_piCSRColumn, m->m_piCSRRowStart};
}

inline CEllRows EllRowsOf(const CQVLGVGPU* g, const CQvl3dGV* S, const CQVL3DFiniteVolumeMesh* m)
{
    return CEllRows{m->m_nCell,       m->m_nCellTotal,       g->m_nELLWidth,     g->m_pdELLValue,
                    g->m_piELLColumn, S->m_piOrderedSlotELL, m->m_piNumNeighbor, S->m_piDiagPos};
}

} // namespace detail
} // namespace qvl3d

#endif
