// One row of the matrix-vector product, the innermost kernel of the Krylov
// methods.
#ifndef QVL3D_DETAIL_ROWPRODUCT_H
#define QVL3D_DETAIL_ROWPRODUCT_H

namespace qvl3d {
namespace detail {

// y[i] = row i of A times v. Order: the diagonal term first, then the
// off-diagonal terms in storage order (ELL: slot order, empty slots skipped),
// each added to one running double. y and v are distinct arrays; v is read at
// the row's columns, halo columns included, so its halo entries must be
// current. No other element of y is written.
template <class Rows>
inline void RowProduct(const Rows& A, int i, double* __restrict y, const double* __restrict v)
{
    double s = A.Diag(i) * v[i];
    A.ForEachOffDiag(i, [&](int j, double a) { s = s + v[j] * a; });
    y[i] = s;
}

// Rows 1..n in consecutive blocks f(lo, hi), small enough that a block's
// products are still in the first-level cache when the caller's fused work
// on the same rows reads them.
constexpr int kRowBlock = 256;

template <class F>
inline void ForEachRowBlock(int n, F&& f)
{
    for (int lo = 1; lo <= n; lo += kRowBlock) f(lo, n - lo < kRowBlock ? n : lo + kRowBlock - 1);
}

} // namespace detail
} // namespace qvl3d

#endif
