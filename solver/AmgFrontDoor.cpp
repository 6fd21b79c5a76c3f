// The front door's multigrid levels: the first level from the native rows
// the front door holds, the summary for the result.
#include "detail/Amg.h"

#include "AmgHierarchy.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace qvl3d {
namespace detail {

namespace {

void Release(amg::CAmgHierarchy* h)
{
    delete h;
}

// The owned part of the rows as a level operator: the diagonal first, the
// other owned columns ascending.
amg::CSparse FineLevel(const CNativeRows& rows)
{
    return amg::LevelFrom(
        rows.n, [&](int i) { return rows.Diag(i); }, [&](int i, auto&& f) { rows.ForEachOffDiag(i, f); });
}

} // namespace

void RefreshAmg(CAmgHandle& handle, const CNativeRows& fine)
{
    if (handle)
        handle->Update(FineLevel(fine));
    else
        handle = CAmgHandle(new amg::CAmgHierarchy(FineLevel(fine)), CAmgRelease{&Release});
}

std::optional<CMultigridSummary> AmgSummary(const CAmgHandle& handle)
{
    if (!handle) return std::nullopt;
    const amg::CAmgShape shape = handle->Shape();
    CMultigridSummary s;
    s.aggregation = handle->Settings().smoothed ? "smoothed" : "plain";
    s.rows = shape.rows;
    s.nonZeros = shape.nonZeros;
    s.operatorComplexity = shape.operatorComplexity;
    s.gridComplexity = shape.gridComplexity;
    s.setupSeconds = shape.setupSeconds;
    s.fromUpdate = shape.fromUpdate;
    return s;
}

double* AmgInput(amg::CAmgHierarchy& h)
{
    return h.Input();
}

void AmgCycle(amg::CAmgHierarchy& h, double* z)
{
    h.CycleFromInput(z);
}

} // namespace detail
} // namespace qvl3d
