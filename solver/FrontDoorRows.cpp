// What the front door derives from the values beyond the layouts: the sweep
// rows of the method and preconditioner it was built for, from the rows of
// the layout that method runs on.
#include "FrontDoor.h"

#include "detail/Bound.h"
#include "detail/SweepRows.h"

namespace qvl3d {

void CSolver::CImpl::DeriveSweepRows()
{
    using namespace detail;
    const CBound h{&host->store, &host->mesh, &commu, &com, &host->gpu};
    const ELayout layout = RowsFor(options.method, options.layout);
    const EPreconditioner preconditioner = PreconditionerFor(options.method, options.preconditioner);
    WithRows(h, layout, [&](const auto& A) {
        if (options.method == EMethod::GaussSeidel) return 0; // the layouts' own sweep
        if (preconditioner == EPreconditioner::Dilu) {
            DeriveTriangular(derived.sweeps, A);
        } else if (preconditioner == EPreconditioner::Ilu0) {
            DeriveIlu0(derived.ilu0, A);
        }
        return 0;
    });
}

} // namespace qvl3d
