// Construction and application of the preconditioners of the Krylov methods:
// type 1 is DILU (the matrix's own off-diagonal coefficients with a modified
// diagonal), type 3 the reciprocal diagonal, anything else none.
#ifndef QVL3D_DETAIL_PRECONDITIONER_H
#define QVL3D_DETAIL_PRECONDITIONER_H

#include "detail/Context.h"
#include "detail/Layouts.h"
#include "detail/RowProduct.h"

namespace qvl3d {
namespace detail {

// D[j] = 1 / (a_jj - sum over i of (a_ji * D[i]) * a_ij + 1e-30) for the owned
// cells, where i runs over the cells below j that hold j in their upper part
// and whose partner entry a_ji the layout finds in row j, in ascending i. D[i]
// is final (inverted, guard included) before its own upper neighbours are
// updated. Halo neighbours take no part. Layouts that skip a zero upper
// coefficient make no update for it; the others subtract
// (a_ji * D[i]) * 0.0, which is NaN only when that product is not finite.
template <class Rows>
void BuildDilu(const Rows& A, double* __restrict D)
{
    const int n = A.n;
    for (int i = 1; i <= n; ++i) D[i] = A.Diag(i);
    for (int i = 1; i <= n; ++i) {
        D[i] = 1.0 / (D[i] + kGuard);
        A.ForEachUpper(i, [&](int j, double a_ij) { // return = next entry
            if constexpr (Rows::kSkipZeroUpper) {
                if (a_ij == 0.0) return;
            }
            if (j > n) return; // halo neighbour: no update
            double a_ji;
            if (A.FindPartner(j, i, a_ji)) D[j] = D[j] - (a_ji * D[i]) * a_ij;
        });
    }
}

// Fills D for type 1 (DILU) and type 3 (1 / (a_ii + 1e-30)); any other type
// leaves D exactly as it was.
template <class Rows>
void BuildPreconditioner(const Rows& A, int type, double* __restrict D)
{
    if (type == 1) {
        BuildDilu(A, D);
    } else if (type == 3) {
        for (int i = 1, n = A.n; i <= n; ++i) D[i] = 1.0 / (A.Diag(i) + kGuard);
    }
}

// Row i of the DILU forward sweep: y_i = (r_i - s) * D_i, s summed from 0.0
// over the owned lower part of row i in the layout's order; returns y_i.
// Rows must be taken in ascending order: y is read only at cells below i.
//
// Each row waits for the one before it (with the host's cell order column
// i-1 is in every interior row), so the time of a sweep is that chain: the
// term of column i-1 takes y_{i-1} from yPrev, the value the previous row
// returned, instead of loading what that row has just stored, which takes
// the store-to-load forwarding off the chain. The same product is added in
// the same place, to the same bits; yPrev is not read for i = 1.
template <class Rows>
inline double DiluForwardRow(const Rows& A, int i, double* __restrict y, const double* __restrict D, double ri,
                             double yPrev)
{
    const int n = A.n;
    if (i > n) __builtin_unreachable(); // lets the compiler drop the halo test where the layout compares columns with i
    if (i + kPrefetchRows <= A.prefetchEnd) A.PrefetchOrdered(i + kPrefetchRows);
    double s = 0.0;
    A.ForEachLower(i, [&](int j, double a) {
        if (j <= n) s = s + a * (j == i - 1 ? yPrev : y[j]);
    });
    const double yi = (ri - s) * D[i];
    y[i] = yi;
    return yi;
}

// The forward sweep over the whole partition, y_i for i = 1..n from
// r_i = in(i), called once per cell in ascending order.
template <class Rows, class In>
inline void DiluForwardSweep(const Rows& A, double* __restrict y, const double* __restrict D, In&& in)
{
    double yPrev = 0.0;
    for (int i = 1, n = A.n; i <= n; ++i) yPrev = DiluForwardRow(A, i, y, D, in(i), yPrev);
}

// The DILU backward sweep over the whole partition: z_i = y_i - s * D_i for
// i = n..1, s summed from 0.0 over the owned upper part of row i. As in the
// forward sweep, the term of column i+1 takes z_{i+1} from the previous
// row's value rather than from memory.
template <class Rows>
void DiluBackwardSweep(const Rows& A, double* __restrict z, const double* __restrict D, const double* __restrict y)
{
    const int n = A.n;
    double zPrev = 0.0; // z_{i+1}; not read for i = n, whose column n+1 is a halo column
    for (int i = n; i >= 1; --i) {
        if (i - kPrefetchRows >= 1 && A.prefetchEnd != 0) A.PrefetchOrdered(i - kPrefetchRows);
        double s = 0.0;
        A.ForEachUpper(i, [&](int j, double a) {
            if (j <= n) s = s + a * (j == i + 1 ? zPrev : z[j]);
        });
        const double zi = y[i] - s * D[i];
        z[i] = zi;
        zPrev = zi;
    }
}

// z = M^-1 r on the owned cells 1..n, where r[i] is the value in(i)
// returns; in(i) is called exactly once for every owned cell, in ascending
// order, whatever the type (a caller forms its input vector in the same pass
// this way). Element 0 and the halo entries of z are never written, and
// nothing is exchanged.
//   type 1: forward sweep y_i = (r_i - s) * D_i over the lower part, then
//           backward sweep z_i = y_i - s * D_i over the upper part (i = n..1);
//           each s sums from 0.0 in the layout's order, halo columns add
//           nothing. y is the work vector: it and z only ever read values
//           written earlier in the same call.
//   type 3: z_i = r_i * D_i.
//   other:  z_i = r_i, no preconditioning; a type without a construction
//           must not iterate on what an earlier solve left in z.
// z, D and y are distinct arrays, and in(i) reads none of them.
template <class Rows, class In>
void ApplyPreconditionerTo(const Rows& A, int type, double* __restrict z, const double* __restrict D,
                           double* __restrict y, In&& in)
{
    const int n = A.n;
    if (type == 1) {
        DiluForwardSweep(A, y, D, in);
        DiluBackwardSweep(A, z, D, y);
    } else if (type == 3) {
        for (int i = 1; i <= n; ++i) z[i] = in(i)*D[i];
    } else {
        for (int i = 1; i <= n; ++i) z[i] = in(i);
    }
}

// z = M^-1 r as above with r an array distinct from z, D and y.
template <class Rows>
void ApplyPreconditioner(const Rows& A, int type, double* __restrict z, const double* __restrict r,
                         const double* __restrict D, double* __restrict y)
{
    ApplyPreconditionerTo(A, type, z, D, y, [r](int i) { return r[i]; });
}

} // namespace detail
} // namespace qvl3d

#endif
