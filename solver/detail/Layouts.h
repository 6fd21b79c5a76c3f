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
//   Prefetch(i)            a hint that row i's entries will be read soon
//   PrefetchOrdered(i)     the same for a DILU sweep, which also reads the
//                          row's ordered slot list
//   prefetchEnd            the last row the passes hint (n), or 0 for none
//   RowProducts(lo, hi, y, v)
//                          y[i] = row i of A times v for i = lo..hi, each row
//                          summed exactly as RowProduct sums it (diagonal
//                          term first, then ForEachOffDiag's order, one
//                          running double); rows are interleaved only to let
//                          their independent sums overlap
//
// What the DILU preconditioner needs (lower part: columns below i; upper
// part: columns above i, halo columns included):
//   ForEachLower(i, f)     f(column, coefficient) over the lower part of row i
//   ForEachUpper(i, f)     f(column, coefficient) over the upper part of row i
//                          both in the order the preconditioner sums them
//   FindPartner(j, i, a)   the coefficient of row j in column i, as the DILU
//                          build searches for it; false when there is none
//   kSkipZeroUpper         the DILU build ignores an upper coefficient of 0.0
//
// Measured choices (no effect on any result):
//   ResidualLag(lag)       how many rows Gauss-Seidel's residual trails its
//                          sweep by, at least lag
#ifndef QVL3D_DETAIL_LAYOUTS_H
#define QVL3D_DETAIL_LAYOUTS_H

#include <qvl3d/HostObjects.h>

#include <cstddef>
#include <cstdint>

#include "detail/RowProduct.h"

namespace qvl3d {
namespace detail {

// The passes that walk rows in order (row products, DILU sweeps, the
// Gauss-Seidel sweep) ask for the row kPrefetchRows ahead of the one they
// work on (behind, when descending), up to prefetchEnd: on native and CSR
// rows streaming from memory this measured 10-25 % faster than the
// hardware's own prefetch alone. Rows already in the cache gain nothing
// from the hints and pay their instructions (PCG and BiCGSTAB about 10 %
// slower at 32^3); a solve sets prefetchEnd to 0 for them.
constexpr int kPrefetchRows = 48;

// Hints for the cache line holding p and the line 64 bytes on, where a
// row's entries may continue (hinting the row's own last entry instead
// measured no faster than no hints at all). The second address may lie past
// the end of p's array: it is formed as an integer, and a prefetch never
// faults.
inline void PrefetchTwoLines(const void* p)
{
    __builtin_prefetch(p);
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) + 64));
}

// Native rows: slot 0 of m_ppdCoef[i] is the diagonal, slot k (1..nn(i)) the
// coefficient of neighbour m_ppiNeighbor[i][k].
struct CNativeRows {
    int n;
    const int* numNeighbor;
    int* const* neighbor;
    double* const* coef;
    int* const* orderedSlot;
    const int* diagPos;
    int prefetchEnd;

    static constexpr bool kHonoursNonBlocking = false; // always the blocking exchange
    static constexpr bool kGaussSeidelMarkers = true;  // Gauss-Seidel writes its marker lines
    static constexpr bool kSkipZeroUpper = true;

    int ResidualLag(int lag) const { return lag; }

    double Diag(int i) const { return coef[i][0]; }

    void Prefetch(int i) const
    {
        PrefetchTwoLines(coef[i]);
        __builtin_prefetch(neighbor[i]);
    }

    void PrefetchOrdered(int i) const
    {
        Prefetch(i);
        __builtin_prefetch(orderedSlot[i]);
    }

    // Rows of six neighbours (the 7-point stencil's interior) unrolled.
    template <class F>
    void ForEachOffDiag(int i, F&& f) const
    {
        const int* nb = neighbor[i];
        const double* a = coef[i];
        const int nn = numNeighbor[i];
        if (nn == 6) {
            f(nb[1], a[1]);
            f(nb[2], a[2]);
            f(nb[3], a[3]);
            f(nb[4], a[4]);
            f(nb[5], a[5]);
            f(nb[6], a[6]);
            return;
        }
        for (int k = 1; k <= nn; ++k) f(nb[k], a[k]);
    }

    // Row by row: interleaving rows measured slower here.
    void RowProducts(int lo, int hi, double* __restrict y, const double* __restrict v) const
    {
        for (int i = lo; i <= hi; ++i) {
            if (i + kPrefetchRows <= prefetchEnd) Prefetch(i + kPrefetchRows);
            RowProduct(*this, i, y, v);
        }
    }

    // Places 1..diagPos-1 of the ordered slot list.
    template <class F>
    void ForEachLower(int i, F&& f) const
    {
        const int* ord = orderedSlot[i];
        const int* nb = neighbor[i];
        const double* a = coef[i];
        for (int p = 1, end = diagPos[i]; p < end; ++p) {
            const int k = ord[p];
            f(nb[k], a[k]);
        }
    }

    // Places diagPos+1..nn+1 of the ordered slot list.
    template <class F>
    void ForEachUpper(int i, F&& f) const
    {
        const int* ord = orderedSlot[i];
        const int* nb = neighbor[i];
        const double* a = coef[i];
        for (int p = diagPos[i] + 1, last = numNeighbor[i] + 1; p <= last; ++p) {
            const int k = ord[p];
            f(nb[k], a[k]);
        }
    }

    // Searches the lower part of row j; the first match in list order counts.
    bool FindPartner(int j, int i, double& a_ji) const
    {
        const int* ord = orderedSlot[j];
        const int* nb = neighbor[j];
        for (int p = 1, end = diagPos[j]; p < end; ++p) {
            const int k = ord[p];
            if (nb[k] == i) {
                a_ji = coef[j][k];
                return true;
            }
        }
        return false;
    }
};

// CSR: row i is entries start[i]..start[i+1]-1, the first being the diagonal
// (its column is not read).
struct CCsrRows {
    int n;
    const double* val;
    const int* col;
    const int* start;
    int prefetchEnd;

    static constexpr bool kHonoursNonBlocking = true;
    static constexpr bool kGaussSeidelMarkers = true;
    static constexpr bool kSkipZeroUpper = false; // a stored 0.0 still triggers the search

    int ResidualLag(int lag) const { return lag; }

    double Diag(int i) const { return val[start[i]]; }

    void Prefetch(int i) const
    {
        const int e = start[i];
        PrefetchTwoLines(val + e);
        __builtin_prefetch(col + e);
    }

    void PrefetchOrdered(int i) const { Prefetch(i); }

    template <class F>
    void ForEachOffDiag(int i, F&& f) const
    {
        for (int e = start[i] + 1, end = start[i + 1]; e < end; ++e) f(col[e], val[e]);
    }

    // Groups of four rows of the same length run side by side; rows of 7
    // entries (the 7-point stencil's interior) with the length fixed.
    void RowProducts(int lo, int hi, double* __restrict y, const double* __restrict v) const
    {
        int i = lo;
        for (; i + 3 <= hi; i += 4) {
            if (i + 3 + kPrefetchRows <= prefetchEnd)
                for (int k = 0; k < 4; ++k) Prefetch(i + k + kPrefetchRows);
            const int e0 = start[i], e1 = start[i + 1], e2 = start[i + 2], e3 = start[i + 3];
            const int len = e1 - e0;
            if (e2 - e1 != len || e3 - e2 != len || start[i + 4] - e3 != len) {
                for (int j = i; j < i + 4; ++j) RowProduct(*this, j, y, v);
                continue;
            }
            if (len == 7) {
                FourRows<7>(i, e0, y, v);
            } else {
                double s0 = val[e0] * v[i], s1 = val[e1] * v[i + 1], s2 = val[e2] * v[i + 2], s3 = val[e3] * v[i + 3];
                for (int k = 1; k < len; ++k) {
                    s0 = s0 + v[col[e0 + k]] * val[e0 + k];
                    s1 = s1 + v[col[e1 + k]] * val[e1 + k];
                    s2 = s2 + v[col[e2 + k]] * val[e2 + k];
                    s3 = s3 + v[col[e3 + k]] * val[e3 + k];
                }
                y[i] = s0;
                y[i + 1] = s1;
                y[i + 2] = s2;
                y[i + 3] = s3;
            }
        }
        for (; i <= hi; ++i) RowProduct(*this, i, y, v);
    }

    // Four consecutive rows of kLength entries each, starting at entry e.
    template <int kLength>
    void FourRows(int i, int e, double* __restrict y, const double* __restrict v) const
    {
        const double* a = val + e;
        const int* c = col + e;
        double s0 = a[0] * v[i], s1 = a[kLength] * v[i + 1], s2 = a[2 * kLength] * v[i + 2],
               s3 = a[3 * kLength] * v[i + 3];
#pragma GCC unroll 8
        for (int k = 1; k < kLength; ++k) {
            s0 = s0 + v[c[k]] * a[k];
            s1 = s1 + v[c[kLength + k]] * a[kLength + k];
            s2 = s2 + v[c[2 * kLength + k]] * a[2 * kLength + k];
            s3 = s3 + v[c[3 * kLength + k]] * a[3 * kLength + k];
        }
        y[i] = s0;
        y[i + 1] = s1;
        y[i + 2] = s2;
        y[i + 3] = s3;
    }

    // The parts are found by comparing columns with i, in storage order.
    template <class F>
    void ForEachLower(int i, F&& f) const
    {
        ForEachWhere(i, f, [i](int c) { return c < i; });
    }

    template <class F>
    void ForEachUpper(int i, F&& f) const
    {
        ForEachWhere(i, f, [i](int c) { return c > i; });
    }

    // f(column, value) for the off-diagonal entries of row i whose column
    // passes the test, in storage order; rows of 5 and 7 entries unrolled,
    // one branch per entry place (measured faster for the DILU sweeps).
    template <class F, class Test>
    void ForEachWhere(int i, F& f, Test test) const
    {
        const int b = start[i], len = start[i + 1] - b;
        if (len == 7) return EntriesOf<1, 7>(b, f, test);
        if (len == 5) return EntriesOf<1, 5>(b, f, test);
        for (int e = b + 1, end = b + len; e < end; ++e)
            if (test(col[e])) f(col[e], val[e]);
    }

    template <int kEntry, int kLength, class F, class Test>
    void EntriesOf(int b, F& f, Test& test) const
    {
        if constexpr (kEntry < kLength) {
            const int c = col[b + kEntry];
            if (test(c)) f(c, val[b + kEntry]);
            EntriesOf<kEntry + 1, kLength>(b, f, test);
        }
    }

    // Searches every off-diagonal entry of row j; the first match in storage order counts.
    bool FindPartner(int j, int i, double& a_ji) const
    {
        for (int e = start[j] + 1, end = start[j + 1]; e < end; ++e)
            if (col[e] == i) {
                a_ji = val[e];
                return true;
            }
        return false;
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
    int prefetchEnd; // ELL rows take no hints

    static constexpr bool kHonoursNonBlocking = true;
    static constexpr bool kGaussSeidelMarkers = false;
    static constexpr bool kSkipZeroUpper = true;

    // A row's slot entries lie nTotal apart; when nTotal is a multiple of
    // 512 (a 2^k box) every slot of a row falls in the same L1 set, and so
    // do the slots of a row a multiple of 512 rows away. A residual trailing
    // the sweep by a plane of such a box evicts the sweep's lines and the
    // pair ran twice as slow as the two passes apart; a lag of 256 rows
    // modulo 512 puts the two walks half a 4 KiB page apart.
    int ResidualLag(int lag) const { return lag + (256 - lag % 512 + 512) % 512; }

    std::ptrdiff_t Entry(int slot, int i) const { return static_cast<std::ptrdiff_t>(slot) * nTotal + (i - 1); }
    // ELL slot number at place p (1..nn(i)+1) of cell i's ordered slot list.
    int SlotAt(int p, int i) const { return orderedSlot[static_cast<std::ptrdiff_t>(p - 1) * n + (i - 1)]; }

    double Diag(int i) const { return val[i - 1]; }

    // The slot streams are regular enough for the hardware's prefetch:
    // hints measured no faster.
    void Prefetch(int) const {}
    void PrefetchOrdered(int) const {}

    template <class F>
    void ForEachOffDiag(int i, F&& f) const
    {
        switch (width) { // common widths unrolled: one load instruction per slot stream
        case 5: return ForEachOffDiagOf<5>(i, f);
        case 7: return ForEachOffDiagOf<7>(i, f);
        default:
            for (int s = 1; s < width; ++s) {
                const std::ptrdiff_t e = Entry(s, i);
                const int c = col[e];
                if (c != -1) f(c, val[e]);
            }
        }
    }

    template <int kWidth, class F>
    void ForEachOffDiagOf(int i, F& f) const
    {
        const int* c = col + (i - 1);
        const double* a = val + (i - 1);
        const std::ptrdiff_t stride = nTotal;
        UnrolledSlots<1, kWidth>(c, a, stride, f);
    }

    template <int kSlot, int kWidth, class F>
    static void UnrolledSlots(const int* c, const double* a, std::ptrdiff_t stride, F& f)
    {
        if constexpr (kSlot < kWidth) {
            const int column = c[kSlot * stride];
            if (column != -1) f(column, a[kSlot * stride]);
            UnrolledSlots<kSlot + 1, kWidth>(c, a, stride, f);
        }
    }

    // Row by row (slot-major blocks measured slower here), with the width
    // chosen once per block rather than once per row (defined below).
    void RowProducts(int lo, int hi, double* __restrict y, const double* __restrict v) const;

    // The native traversals, place for place, through the ELL ordered slot
    // lists; row lengths come from the native neighbour counts.
    template <class F>
    void ForEachLower(int i, F&& f) const
    {
        ForEachPlace(i, 1, diagPos[i] - 1, f);
    }

    template <class F>
    void ForEachUpper(int i, F&& f) const
    {
        ForEachPlace(i, diagPos[i] + 1, numNeighbor[i] + 1, f);
    }

    // f(column, coefficient) at places from..to of row i, ascending; the
    // row's bases in the place and slot streams are formed once.
    template <class F>
    void ForEachPlace(int i, int from, int to, F& f) const
    {
        const int* place = orderedSlot + (i - 1);
        const int* c = col + (i - 1);
        const double* a = val + (i - 1);
        const std::ptrdiff_t placeStride = n, slotStride = nTotal;
        for (int p = from; p <= to; ++p) {
            const std::ptrdiff_t e = place[(p - 1) * placeStride] * slotStride;
            f(c[e], a[e]);
        }
    }

    bool FindPartner(int j, int i, double& a_ji) const
    {
        for (int p = 1, end = diagPos[j]; p < end; ++p) {
            const std::ptrdiff_t e = Entry(SlotAt(p, j), j);
            if (col[e] == i) {
                a_ji = val[e];
                return true;
            }
        }
        return false;
    }
};

// ELL rows whose width is known when compiling: each row's off-diagonal walk
// is the unrolled one, with no switch on the width per row.
template <int kWidth>
struct CEllRowsOfWidth : CEllRows {
    template <class F>
    void ForEachOffDiag(int i, F&& f) const
    {
        ForEachOffDiagOf<kWidth>(i, f);
    }
};

// f(A), where A is ELL of a common width passed as CEllRowsOfWidth: for a
// method that walks whole rows many times per call, the width is chosen once.
template <class Rows, class F>
auto WithWidthFixed(const Rows& A, F&& f)
{
    return f(A);
}

template <class F>
auto WithWidthFixed(const CEllRows& A, F&& f)
{
    switch (A.width) {
    case 5: return f(CEllRowsOfWidth<5>{A});
    case 7: return f(CEllRowsOfWidth<7>{A});
    default: return f(A);
    }
}

inline void CEllRows::RowProducts(int lo, int hi, double* __restrict y, const double* __restrict v) const
{
    WithWidthFixed(*this, [=](const auto& rows) {
        for (int i = lo; i <= hi; ++i) RowProduct(rows, i, y, v);
    });
}

inline CNativeRows NativeRowsOf(const CQvl3dGV* S, const CQVL3DFiniteVolumeMesh* m)
{
    return CNativeRows{m->m_nCell,          m->m_piNumNeighbor, m->m_ppiNeighbor, S->m_ppdCoef,
                       S->m_ppiOrderedSlot, S->m_piDiagPos,     m->m_nCell};
}

inline CCsrRows CsrRowsOf(const CQVL3DFiniteVolumeMesh* m)
{
    return CCsrRows{m->m_nCell, m->m_pdCSRValue, m->m_piCSRColumn, m->m_piCSRRowStart, m->m_nCell};
}

inline CEllRows EllRowsOf(const CQVLGVGPU* g, const CQvl3dGV* S, const CQVL3DFiniteVolumeMesh* m)
{
    return CEllRows{m->m_nCell,         m->m_nCellTotal,  g->m_nELLWidth,
                    g->m_pdELLValue,    g->m_piELLColumn, S->m_piOrderedSlotELL,
                    m->m_piNumNeighbor, S->m_piDiagPos,   0};
}

} // namespace detail
} // namespace qvl3d

#endif
