// The preconditioners of the Krylov methods as types: DILU (the matrix's own
// off-diagonal coefficients with a modified diagonal), the reciprocal
// diagonal and none, and the choice of one from the table's id or the
// store's design type.
#ifndef QVL3D_DETAIL_PRECONDITIONER_H
#define QVL3D_DETAIL_PRECONDITIONER_H

#include <qvl3d/SolverTable.h>
#include "detail/Context.h"
#include "detail/Layouts.h"
#include "detail/RowProduct.h"

#include <type_traits>

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

// The preconditioners: one type each, chosen once per solve. Every type has
//   Build(A, D)                fills the preconditioner array D for the owned
//                              cells (a type without one leaves D as it was);
//   Apply(A, z, D, work, in)   z = M^-1 r on the owned cells 1..n, where r_i
//                              is the value in(i) returns. in(i) is called
//                              exactly once for every owned cell, in
//                              ascending order (a caller forms its input
//                              vector in the same pass this way). Element 0
//                              and the halo entries of z are never written,
//                              and nothing is exchanged. z, D and work are
//                              distinct arrays, and in(i) reads none of them;
//   kElementWise               true when z_i depends on r_i alone, through
//                              ZOf(r_i, D, i), which a method may then form
//                              on the fly inside its own passes.
// A new preconditioner is one type here, one entry of CPreconditionerTypes
// and one row of the table in <qvl3d/SolverTable.h>.

// DILU: forward sweep y_i = (r_i - s) * D_i over the lower part, then
// backward sweep z_i = y_i - s * D_i over the upper part (i = n..1); each s
// sums from 0.0 in the layout's order, halo columns add nothing. work is y:
// it and z only ever read values written earlier in the same call.
struct CDilu {
    static constexpr EPreconditioner kId = EPreconditioner::Dilu;
    static constexpr bool kElementWise = false;

    template <class Rows>
    static void Build(const Rows& A, double* __restrict D)
    {
        BuildDilu(A, D);
    }

    template <class Rows, class In>
    static void Apply(const Rows& A, double* __restrict z, const double* __restrict D, double* __restrict work, In&& in)
    {
        DiluForwardSweep(A, work, D, in);
        DiluBackwardSweep(A, z, D, work);
    }
};

// The reciprocal diagonal: D_i = 1 / (a_ii + 1e-30), z_i = r_i * D_i.
struct CDiagonal {
    static constexpr EPreconditioner kId = EPreconditioner::Diagonal;
    static constexpr bool kElementWise = true;

    static double ZOf(double ri, const double* __restrict D, int i) { return ri * D[i]; }

    template <class Rows>
    static void Build(const Rows& A, double* __restrict D)
    {
        for (int i = 1, n = A.n; i <= n; ++i) D[i] = 1.0 / (A.Diag(i) + kGuard);
    }

    template <class Rows, class In>
    static void Apply(const Rows& A, double* __restrict z, const double* __restrict D, double*, In&& in)
    {
        for (int i = 1, n = A.n; i <= n; ++i) z[i] = ZOf(in(i), D, i);
    }
};

// No preconditioning: D untouched, z_i = r_i (z is still written, so a
// method never iterates on what an earlier solve left in it).
struct CNoPreconditioner {
    static constexpr EPreconditioner kId = EPreconditioner::None;
    static constexpr bool kElementWise = true;

    static double ZOf(double ri, const double*, int) { return ri; }

    template <class Rows>
    static void Build(const Rows&, double*)
    {
    }

    template <class Rows, class In>
    static void Apply(const Rows& A, double* __restrict z, const double*, double*, In&& in)
    {
        for (int i = 1, n = A.n; i <= n; ++i) z[i] = in(i);
    }
};

template <class... P>
struct CTypeList {
};

// Every preconditioner type the entry points run; the last is the one an id
// without a type gets.
using CPreconditionerTypes = CTypeList<CDilu, CDiagonal, CNoPreconditioner>;

// True when every row of the table that `wanted` selects has a type in the
// list.
template <class Wanted, class... P>
constexpr bool EveryRowHasAType(CTypeList<P...>, Wanted wanted)
{
    for (const CPreconditionerInfo& row : kPreconditioners)
        if (wanted(row) && ((row.id != P::kId) && ...)) return false;
    return true;
}
static_assert(EveryRowHasAType(CPreconditionerTypes{},
                               [](const CPreconditionerInfo& row) { return row.designType >= 0; }),
              "a preconditioner with a design type has no type the entry points run");

// No storage: what the entry points pass, whose preconditioners keep
// nothing beyond the store's arrays.
struct CNoStorage {};

// A type that keeps what it derives from the matrix (factors, sweep rows,
// levels) is constructed from the caller's storage; the others are empty
// values.
template <class P, class Storage>
P MakePreconditioner(Storage& storage)
{
    if constexpr (std::is_constructible_v<P, Storage&>) {
        return P(storage);
    } else {
        return P{};
    }
}

template <class F, class Storage, class First, class... Rest>
decltype(auto) WithPreconditionerOf(EPreconditioner id, F& f, Storage& storage, CTypeList<First, Rest...>)
{
    if constexpr (sizeof...(Rest) == 0) {
        return f(MakePreconditioner<First>(storage));
    } else {
        if (id == First::kId) return f(MakePreconditioner<First>(storage));
        return WithPreconditionerOf(id, f, storage, CTypeList<Rest...>{});
    }
}

// Calls f with the preconditioner of `id` among `Types`, constructed from
// `storage` where it keeps one.
template <class Types, class Storage, class F>
decltype(auto) WithPreconditionerIn(EPreconditioner id, Storage& storage, F&& f)
{
    return WithPreconditionerOf(id, f, storage, Types{});
}

// Calls f with the entry points' preconditioner type of `id`, an empty value.
template <class F>
decltype(auto) WithPreconditioner(EPreconditioner id, F&& f)
{
    CNoStorage none;
    return WithPreconditionerOf(id, f, none, CPreconditionerTypes{});
}

// The same for a design type (element 0 of the store's m_piPrecondType): a
// type the table does not list, 2 among them, builds and applies nothing.
template <class F>
decltype(auto) WithPreconditioner(int designType, F&& f)
{
    return WithPreconditioner(OfDesignType(designType).id, f);
}

// in(i) of an application whose input is an array.
inline auto FromArray(const double* __restrict r)
{
    return [r](int i) { return r[i]; };
}

} // namespace detail
} // namespace qvl3d

#endif
