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
    amg::CSparse A;
    A.rows = A.cols = rows.n;
    A.start.assign(static_cast<size_t>(rows.n) + 2, 0);
    std::vector<std::pair<int, double>> row;
    for (int i = 1; i <= rows.n; ++i) {
        row.clear();
        rows.ForEachOffDiag(i, [&](int j, double a) {
            if (j <= rows.n) row.emplace_back(j, a);
        });
        std::sort(row.begin(), row.end(), [](const auto& p, const auto& q) { return p.first < q.first; });
        A.col.push_back(i);
        A.val.push_back(rows.Diag(i));
        for (const auto& [j, a] : row) {
            A.col.push_back(j);
            A.val.push_back(a);
        }
        A.start[i + 1] = static_cast<int>(A.col.size());
    }
    return A;
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
