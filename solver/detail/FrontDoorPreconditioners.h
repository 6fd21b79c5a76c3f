// The front door's preconditioners: every row of the table has a type here.
// Beside the entry points' types, a type that derives more from the matrix
// than the preconditioner array (factors, sweep rows, levels) keeps it in
// the front door's CPreconditionerStorage, built with the values and read by
// the type constructed from it for one solve.
#ifndef QVL3D_DETAIL_FRONTDOORPRECONDITIONERS_H
#define QVL3D_DETAIL_FRONTDOORPRECONDITIONERS_H

#include "detail/Amg.h"
#include "detail/Ilu0.h"
#include "detail/Preconditioner.h"
#include "detail/SweepRows.h"

namespace qvl3d {
namespace detail {

// What the front door's preconditioners keep between solves, one member per
// type that keeps something.
struct CPreconditionerStorage {
    CTriangularRows sweeps; // DILU's lower and upper parts, derived with the values
    CIlu0Factors ilu0;      // ILU(0)'s factors, on the same parts, factored with the values
    CAmgHandle amg;         // the multigrid levels, where the method or the preconditioner is amg
};

// DILU on the sweep rows: the entry points' CDilu to the bit (the same
// build; each sweep row sums its part in the layout's order), its sweeps
// run by the rows' schedules.
struct CDiluSweepRows {
    static constexpr EPreconditioner kId = EPreconditioner::Dilu;
    static constexpr bool kElementWise = false;

    const CTriangularRows* rows;

    explicit CDiluSweepRows(CPreconditionerStorage& storage) : rows(&storage.sweeps) {}

    template <class Rows>
    void Build(const Rows& A, double* __restrict D) const
    {
        BuildDilu(A, D);
    }

    template <class Rows, class In>
    void Apply(const Rows&, double* __restrict z, const double* __restrict D, double* __restrict work, In&& in) const
    {
        ForwardSweep(*rows, work, D, in);
        BackwardSweep(*rows, z, D, work);
    }
};

// ILU(0) from the factors the front door keeps (Ilu0.h): nothing to build
// per run, D untouched; work is the forward sweep's y.
struct CIlu0SweepRows {
    static constexpr EPreconditioner kId = EPreconditioner::Ilu0;
    static constexpr bool kElementWise = false;

    const CIlu0Factors* factors;

    explicit CIlu0SweepRows(CPreconditionerStorage& storage) : factors(&storage.ilu0) {}

    template <class Rows>
    void Build(const Rows&, double*) const
    {
    }

    template <class Rows, class In>
    void Apply(const Rows&, double* __restrict z, const double*, double* __restrict work, In&& in) const
    {
        Ilu0Apply(*factors, z, work, in);
    }
};

// The last is the one an id without a type gets.
using CFrontDoorPreconditionerTypes =
    CTypeList<CDiluSweepRows, CIlu0SweepRows, CDiagonal, CAmgPreconditioner, CNoPreconditioner>;

static_assert(EveryRowHasAType(CFrontDoorPreconditionerTypes{}, [](const CPreconditionerInfo&) { return true; }),
              "a preconditioner of the table has no type the front door runs");

// Calls f with the front door's preconditioner of `id`, constructed from
// `storage` where it keeps something.
template <class F>
decltype(auto) WithFrontDoorPreconditioner(EPreconditioner id, CPreconditionerStorage& storage, F&& f)
{
    return WithPreconditionerIn<CFrontDoorPreconditionerTypes>(id, storage, f);
}

} // namespace detail
} // namespace qvl3d

#endif
