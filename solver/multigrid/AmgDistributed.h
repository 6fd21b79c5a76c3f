// Aggregation multigrid over the partitions of a distributed system, its
// coarse levels distributed systems of their own.
//
// Build: each partition aggregates its own cells (Aggregate over the owned
// block of its rows: aggregates never cross partitions) and numbers its
// aggregates after those of the partitions below it (an exclusive prefix of
// the counts), so a coarse cell has one global id and one owner. The
// aggregates of the halo cells come with one halo exchange; P's rows are
// the owned fine rows, its columns coarse global ids, smoothed with omega
// from the largest Gershgorin bound of all partitions, so that the
// prolongation is that of the whole matrix with these aggregates. The
// Galerkin product P^T A P: each partition forms the part of its owned fine
// rows (P's rows of its halo cells fetched from their owners), sends what
// belongs to coarse rows of another partition to that owner, and each owner
// sums, entry by entry, the parts it holds in the order of the senders
// (itself included at its place), so no sum depends on message timing.
// The coarse rows, with global columns, become a level of their own through
// the host's services (CMultigridServices::BuildLevel); every coarse column
// that P names on a partition is kept in that partition's coarse rows (a
// stored zero where the product has no entry), so it is in the coarse
// level's halo. A level of at most kGatherRowsPerRank rows per partition on
// average is gathered onto every partition and the hierarchy is finished
// there by the serial CAmgHierarchy: every partition holds the same bits of
// it and solves it alike, so nothing needs to be broadcast afterwards. When
// coarsening stalls on a distributed level (a partition with rows but no
// aggregate, too little shrinking, kMaxLevels), that level is the last and
// is solved by kCoarsestSweeps smoothing steps.
//
// Cycle: on each distributed level DILU smoothing on the partition's owned
// block (halo couplings left out of the sweeps, in the residuals: the
// residual takes the halo of x by an exchange); restriction P^T r forms the
// coarse values of the partition's coarse cells, owned and halo, and adds
// the halo ones to their owners (CLevelPartition::addToOwners); the
// prolongation exchanges the coarse correction's halo first. Into the
// gathered level the restriction goes by the exact sum over the partitions
// of each partition's contributions (CSumTransport::SumEach), which every
// partition receives alike.
//
// Update with the same pattern keeps the aggregates, the choice of P, the
// patterns of P and of the products, the order of the owners' sums, the
// levels' halo plans and transports and the gathered hierarchy's
// aggregates, and forms the values only, by the same code as the first
// build: the bits a fresh build with the same aggregates gives.
#ifndef QVL3D_MULTIGRID_AMGDISTRIBUTED_H
#define QVL3D_MULTIGRID_AMGDISTRIBUTED_H

#include "AmgHierarchy.h"

#include <qvl3d/Communication.h>
#include <qvl3d/QVLExport.h>
#include <qvl3d/Solve.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace qvl3d {
namespace amg {

// A level of fewer rows per partition than this, on average, is gathered.
constexpr int kGatherRowsPerRank = 300;

// What the levels reach the other partitions through: the fine level's
// halo (null where no partition has halo cells), the sums, the maximum and
// the host's multigrid services.
struct CAmgPartition {
    int nTotal = 0; // the fine level's owned and halo cells
    CHaloTransport* halo = nullptr;
    CSumTransport* sum = nullptr;
    std::function<double(double)> maximum;
    std::shared_ptr<CMultigridServices> services;
};

class QVL3D_EXPORT CDistributedAmg {
public:
    // The levels of the partition's owned rows A (rows 1..n, columns
    // 1..part.nTotal, the halo cells after the owned ones, the diagonal
    // first in every row). Collective over the partitions.
    CDistributedAmg(CSparse A, CAmgPartition part, CAmgSettings settings = {});
    ~CDistributedAmg();
    CDistributedAmg(const CDistributedAmg&) = delete;
    CDistributedAmg& operator=(const CDistributedAmg&) = delete;

    // New values of the first level (collective): with the same pattern the
    // aggregates and the levels are kept (returns true), otherwise all is
    // built anew (returns false).
    bool Update(CSparse A);

    // At least one coarse level was built (a fine level that does not
    // coarsen has none).
    bool Coarsened() const;

    // One V-cycle from x = 0 for the owned rows (collective): b in Input()
    // (1..n), x written 1..n.
    double* Input();
    void CycleFromInput(double* x);

    // The distributed levels (the first one the fine level), then the
    // gathered hierarchy's, if any.
    int DistributedLevels() const;
    const CAmgHierarchy* Gathered() const;
    // Rows and entries of the whole system's levels.
    CAmgShape Shape() const;
    const CAmgSettings& Settings() const { return m_settings; }

    // For the tests: a coarse distributed level's operator (level >= 1),
    // the partition's rows with global columns; and the prolongation from
    // distributed level l, the partition's owned rows of level l with the
    // next level's global ids as columns.
    CLevelRows OperatorRows(int level) const;
    CLevelRows ProlongationRows(int level) const;

private:
    struct CLevel;
    void BuildFrom(bool keep);
    bool Coarsen(int l, double theta);
    CLevelRows Link(int l, bool keep);
    void Descend(int l, double theta, bool keep, CLevelRows rows);
    void Prolongate(CLevel& L, bool smoothed, bool keep);
    void ProlongatorShape(CLevel& L, bool smoothed);
    CLevelRows Assemble(CLevel& L, bool keep);
    void SumOrder(CLevel& L, const std::vector<CLevelEntry>& got);
    void Route(CLevel& L);
    std::int64_t SumOver(std::int64_t count);
    void VCycle(int l);
    void Smooth(CLevel& L, int sweeps, bool fromZero);
    void Residual(CLevel& L);

    CAmgSettings m_settings;
    CAmgPartition m_part;
    std::vector<std::unique_ptr<CLevel>> m_levels;
    std::unique_ptr<CAmgHierarchy> m_gathered;
    std::vector<double> m_gb, m_gx; // the gathered level's b and x, 1..N
    std::vector<int> m_position;
    std::vector<double> m_sum; // the products' row sums (ProductValues)
    double m_setupSeconds = 0.0;
    bool m_fromUpdate = false;
};

} // namespace amg
} // namespace qvl3d

#endif
