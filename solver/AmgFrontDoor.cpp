// The front door's multigrid levels: the first level from the native rows
// the front door holds (with the halo columns, for levels across the
// partitions), the summary for the result.
#include "detail/Amg.h"

#include "AmgDistributed.h"
#include "AmgHierarchy.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace qvl3d {
namespace amg {

// The levels the front door holds: the serial ones, or those across the
// partitions.
class CAmgLevels {
public:
    std::unique_ptr<CAmgHierarchy> serial;
    std::unique_ptr<CDistributedAmg> spread;
};

} // namespace amg

namespace detail {

namespace {

void Release(amg::CAmgLevels* h)
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

// The partition's rows with the halo columns (1..nTotal).
amg::CSparse SpreadLevel(const CNativeRows& rows, int nTotal)
{
    return amg::LevelFrom(
        rows.n, nTotal, [&](int i) { return rows.Diag(i); }, [&](int i, auto&& f) { rows.ForEachOffDiag(i, f); });
}

} // namespace

void RefreshAmg(CAmgHandle& handle, const CNativeRows& fine, const amg::CAmgPartition* partition)
{
    if (!handle) handle = CAmgHandle(new amg::CAmgLevels(), CAmgRelease{&Release});
    amg::CAmgLevels& L = *handle;
    if (L.spread) {
        L.spread->Update(SpreadLevel(fine, partition->nTotal));
        return;
    }
    if (L.serial) {
        L.serial->Update(FineLevel(fine));
        return;
    }
    if (partition != nullptr) {
        L.spread = std::make_unique<amg::CDistributedAmg>(SpreadLevel(fine, partition->nTotal), *partition);
        if (L.spread->Coarsened()) return;
        L.spread.reset(); // one level across the partitions: each partition's own levels serve better
    }
    L.serial = std::make_unique<amg::CAmgHierarchy>(FineLevel(fine));
}

std::optional<CMultigridSummary> AmgSummary(const CAmgHandle& handle)
{
    if (!handle) return std::nullopt;
    const amg::CAmgLevels& L = *handle;
    const amg::CAmgShape shape = L.spread ? L.spread->Shape() : L.serial->Shape();
    CMultigridSummary s;
    s.aggregation = (L.spread ? L.spread->Settings() : L.serial->Settings()).smoothed ? "smoothed" : "plain";
    s.rows = shape.rows;
    s.nonZeros = shape.nonZeros;
    s.operatorComplexity = shape.operatorComplexity;
    s.gridComplexity = shape.gridComplexity;
    s.setupSeconds = shape.setupSeconds;
    s.fromUpdate = shape.fromUpdate;
    return s;
}

double* AmgInput(amg::CAmgLevels& h)
{
    return h.spread ? h.spread->Input() : h.serial->Input();
}

void AmgCycle(amg::CAmgLevels& h, double* z)
{
    if (h.spread)
        h.spread->CycleFromInput(z);
    else
        h.serial->CycleFromInput(z);
}

} // namespace detail
} // namespace qvl3d
