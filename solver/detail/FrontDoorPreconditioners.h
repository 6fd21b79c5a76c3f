// The front door's preconditioners: every row of the table has a type here.
// Beside the entry points' types, a type that derives more from the matrix
// than the preconditioner array (factors, sweep rows, levels) keeps it in
// the front door's CPreconditionerStorage, built with the values and read by
// the type constructed from it for one solve.
#ifndef QVL3D_DETAIL_FRONTDOORPRECONDITIONERS_H
#define QVL3D_DETAIL_FRONTDOORPRECONDITIONERS_H

#include "detail/Amg.h"
#include "detail/Preconditioner.h"

namespace qvl3d {
namespace detail {

// What the front door's preconditioners keep between solves, one member per
// type that keeps something.
struct CPreconditionerStorage {
    CAmgHandle amg; // the multigrid levels, where the method or the preconditioner is amg
};

// The last is the one an id without a type gets.
using CFrontDoorPreconditionerTypes = CTypeList<CDilu, CDiagonal, CAmgPreconditioner, CNoPreconditioner>;

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
