// ILU(0) on the front door's sweep rows: the incomplete LU factorisation of
// the owned rows on the matrix's own pattern (no fill; halo columns dropped,
// so across partitions it is block Jacobi, as DILU is), L unit lower and U
// kept in the same lower and upper parts and schedules as DILU's sweep rows,
// so both triangular solves run on the same scheduled kernel.
//
// The factorisation, in this order (IKJ), from w = row i of the matrix:
//   for i = 1..n
//     for each owned lower column k of row i, ascending
//       l_ik = w_k * d_k
//       w_j = w_j - l_ik * u_kj   for every upper entry (k, j) of row k whose
//                                 column j is in row i's own pattern
//     d_i = 1 / (w_i + 1e-30)     (the reciprocal pivot, guarded like DILU's)
//     the lower entries of w are l_i., the upper ones u_i.
// Each w_j receives its updates in ascending k, so the factors do not depend
// on the order the layout keeps a row's entries in. A zero pivot is guarded
// as DILU's is (+1e-30, kGuard) rather than refused: the factorisation then
// carries huge but finite values, and a non-finite one (only by overflow)
// reaches the method, which stops with its non-finite status.
//
// The application, z = U^-1 L^-1 r, in this order:
//   forward,  rows by the forward schedule:  y_i = r_i - s,
//             s = sum of l_ij y_j over row i's lower part, from 0.0 in the
//             layout's order;
//   backward, rows by the backward schedule: z_i = (y_i - s) * d_i,
//             s = sum of u_ij z_j over row i's upper part, from 0.0 in the
//             layout's order.
// Each row computes what the ascending (descending) sweep computes, so the
// schedule changes no bit.
//
// Memory beyond the layouts: DILU's sweep rows (the factors take the values'
// places) plus one double per cell (d). Set-up: the sweep rows' derivation,
// then per row i the products over the upper parts of i's lower neighbours
// (on the 7-point box 3 x 3 entries a cell); an Update factors again on the
// kept pattern and schedules.
#ifndef QVL3D_DETAIL_ILU0_H
#define QVL3D_DETAIL_ILU0_H

#include "detail/SweepRows.h"

#include <cstddef>
#include <vector>

namespace qvl3d {
namespace detail {

struct CIlu0Factors {
    CTriangularRows rows;      // lower: l_ij (unit diagonal not kept); upper: u_ij
    std::vector<double> pivot; // 1..n: d_i = 1 / (u_ii + 1e-30)

    std::size_t Bytes() const { return rows.Bytes() + 8 * pivot.size(); }
};

// Factors in place: on entry rows holds the matrix's lower and upper parts
// and pivot[i] = a_ii; on return the factors as above.
void FactorIlu0(CIlu0Factors& F);

// The factors of the owned rows of layout A; the schedules the first time
// only (an Update keeps the pattern).
template <class Rows>
void DeriveIlu0(CIlu0Factors& F, const Rows& A)
{
    DeriveTriangular(F.rows, A);
    F.pivot.assign(static_cast<std::size_t>(A.n) + 1, 0.0);
    for (int i = 1; i <= A.n; ++i) F.pivot[i] = A.Diag(i);
    FactorIlu0(F);
}

// z = U^-1 L^-1 r on the owned rows, r_i = in(i) called once per row in
// ascending order; y is the forward sweep's result (y_i holds r_i until
// row i runs).
template <class In>
void Ilu0Apply(const CIlu0Factors& F, double* __restrict z, double* __restrict y, In&& in)
{
    const CSweepSchedule& S = F.rows.forward;
    for (int b = 0, blocks = S.Blocks(); b < blocks; ++b) {
        for (int i = S.blockFirst[b]; i < S.blockFirst[b + 1]; ++i) y[i] = in(i);
        RunGroups(F.rows.lower, S, S.blockGroup[b], S.blockGroup[b + 1], y, [&](int i, double s) { y[i] = y[i] - s; });
    }
    const double* d = F.pivot.data();
    RunGroups(F.rows.upper, F.rows.backward, 0, F.rows.backward.Groups(), z,
              [&](int i, double s) { z[i] = (y[i] - s) * d[i]; });
}

} // namespace detail
} // namespace qvl3d

#endif
