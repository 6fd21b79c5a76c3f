// Aggregation multigrid through the front door: the levels the front door
// keeps (built with the values, see multigrid/AmgHierarchy.h), the
// preconditioner type that runs one V-cycle per application, and the
// stationary method that iterates V-cycles on the residual.
#ifndef QVL3D_DETAIL_AMG_H
#define QVL3D_DETAIL_AMG_H

#include <qvl3d/Solve.h>
#include "detail/Context.h"
#include "detail/Layouts.h"
#include "detail/Method.h"

#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>

namespace qvl3d {
namespace amg {
class CAmgLevels;
struct CAmgPartition;
} // namespace amg
namespace detail {

// Frees the levels through the function that made them, so that code which
// only holds a handle (and never builds levels) needs nothing else linked.
struct CAmgRelease {
    void (*release)(amg::CAmgLevels*) = nullptr;
    void operator()(amg::CAmgLevels* h) const { release(h); }
};
using CAmgHandle = std::unique_ptr<amg::CAmgLevels, CAmgRelease>;

// The levels of `fine`: built on the first call, updated on the next ones
// (the aggregates kept where the pattern is the same). Without a partition
// (or with one of a single partition) the levels of the owned rows, halo
// columns left out; with one, levels across the partitions
// (multigrid/AmgDistributed.h), or, where the fine level does not coarsen
// across them, the owned rows' own.
void RefreshAmg(CAmgHandle& handle, const CNativeRows& fine, const amg::CAmgPartition* partition);
// What the levels look like, for the result; nothing without levels.
std::optional<CMultigridSummary> AmgSummary(const CAmgHandle& handle);
double* AmgInput(amg::CAmgLevels& h);
void AmgCycle(amg::CAmgLevels& h, double* z);

// One V-cycle from z = 0: z = M^-1 r on the owned cells, r_i = in(i) read
// once per cell in ascending order. Build leaves D alone: the levels are
// built with the values, not at the start of every run.
struct CAmgPreconditioner {
    static constexpr EPreconditioner kId = EPreconditioner::Amg;
    static constexpr bool kElementWise = false;

    amg::CAmgLevels* levels;

    template <class Storage, class = decltype(std::declval<Storage&>().amg)>
    explicit CAmgPreconditioner(Storage& storage) : levels(storage.amg.get())
    {
        if (levels == nullptr) throw std::logic_error("the multigrid levels were not built with the values");
    }

    template <class Rows>
    static void Build(const Rows&, double*)
    {
    }

    template <class Rows, class In>
    void Apply(const Rows& A, double* __restrict z, const double*, double*, In&& in) const
    {
        double* b = AmgInput(*levels);
        for (int i = 1, n = A.n; i <= n; ++i) b[i] = in(i);
        AmgCycle(*levels, z);
    }
};

// The stationary multigrid method: x = x + M^-1 (b - A x), one V-cycle per
// iteration, the method's norm ||b - A x|| after each (the halo of x
// exchanged before every product). Stops by the rule given, the host's
// rule against the norm of iteration 1 (reference * tolerance > norm).
// Work vectors: r, z. Collective calls per iteration: one exchange, one sum.
template <class Rows, class Stop>
CSolveRecord AmgIterations(const Rows& A, const CSolveContext& c, const CMethodSettings& set, const Stop& stop,
                           const CAmgPreconditioner& precond, const CWorkVectors& w, double* x, const double* b)
{
    const int n = A.n;
    double* const r = w.r;
    double* const z = w.z;
    CSolveRecord rec;
    if (set.maxIter < 1) return Ended(rec, EStatus::LimitBelowOne);
    ExchangeHalo(c, x, false);
    A.RowProducts(1, n, r, x);
    for (int i = 1; i <= n; ++i) r[i] = b[i] - r[i];
    for (int k = 1;; ++k) {
        precond.Apply(A, z, nullptr, nullptr, [r](int i) { return r[i]; });
        for (int i = 1; i <= n; ++i) x[i] = x[i] + z[i];
        ExchangeHalo(c, x, false);
        double sum = 0.0;
        ForEachRowBlock(n, [&](int lo, int hi) {
            A.RowProducts(lo, hi, r, x);
            for (int i = lo; i <= hi; ++i) {
                const double ri = b[i] - r[i];
                r[i] = ri;
                sum = sum + ri * ri;
            }
        });
        const double res = std::sqrt(SumOverPartitions(c, sum));
        if (const EStatus guard = IterationDone(rec, set, stop, k, res); guard != EStatus::NotRun)
            return Ended(rec, guard);
        if (stop.Met(res, [&](double tolerance) { return rec.reference * tolerance > res; }))
            return Ended(rec, EStatus::Converged);
        if (k >= set.maxIter) return Ended(rec, EStatus::IterationLimit);
    }
}

} // namespace detail
} // namespace qvl3d

#endif
