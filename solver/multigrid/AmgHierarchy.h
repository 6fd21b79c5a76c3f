// Aggregation algebraic multigrid: the levels built from one partition's
// owned rows (columns of halo cells left out), and the V-cycle over them.
//
// Build: on each level the strong connections of row i are its entries with
// |a_ij| > theta * sqrt(|a_ii a_jj|), theta halved from one level to the
// next (coarse operators spread their couplings over wider stencils).
// Cells are grouped into aggregates in ascending row order: a cell whose
// strong neighbours are all free starts an aggregate of itself and them (on
// the first level also of their free strong neighbours: aggregates of about
// a 3x3x3 block on the 7-point stencil); a cell left over joins the root
// aggregate it is most strongly tied to; what remains starts aggregates of
// its own free strong neighbours; a cell without strong connections joins
// none and is left to the smoother. The tentative prolongation P_t holds a
// 1 at (i, aggregate of i); smoothed aggregation uses
// P = (I - omega D^-1 A) P_t with omega = 4/3 over the Gershgorin bound of
// D^-1 A, except on a level where that would make the coarse operator
// denser than the level itself (there P = P_t). The coarse operator is the
// Galerkin product P^T A P. Coarsening stops at coarsestRows rows, when a
// level shrinks by less than a sixth, or at kMaxLevels.
//
// Cycle: on every level but the last, DILU smoothing (the library's own
// sweeps over the level's rows) before and after the coarse correction,
// the same operator both times, so the cycle is symmetric for a symmetric
// matrix; the last level is solved by a dense LU factorisation with
// partial pivoting (or, beyond kDenseRows, by DILU sweeps).
//
// Every loop runs in a fixed order and every sum in the order written here:
// the same input gives the same bits.
#ifndef QVL3D_MULTIGRID_AMGHIERARCHY_H
#define QVL3D_MULTIGRID_AMGHIERARCHY_H

#include <qvl3d/QVLExport.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace qvl3d {
namespace amg {

// A sparse matrix with rows 1..rows: row i holds the entries
// start[i] .. start[i+1]-1, columns 1..cols. start[0] is 0 and unused. A
// level's operator keeps its diagonal first in every row and the other
// entries by ascending column (the form the library's CSR kernels read); a
// prolongation keeps its columns ascending.
struct CSparse {
    int rows = 0;
    int cols = 0;
    std::vector<int> start{0, 0};
    std::vector<int> col;
    std::vector<double> val;

    std::int64_t NonZeros() const { return static_cast<std::int64_t>(val.size()); }
};

struct CAmgSettings {
    bool smoothed = true;    // smoothed aggregation; false: plain (P = P_t)
    double theta = 0.08;     // strength of connection on the first level
    double thetaDecay = 0.5; // each coarser level's theta is this times the level's above (wider stencils)
    int firstReach = 2;      // the first level's roots reach two strong connections out
    int preSweeps = 1;       // DILU smoothing steps before the coarse correction
    int postSweeps = 1;      // and after
    int coarsestRows = 300;  // stop coarsening at this many rows
};

constexpr int kMaxLevels = 25;
constexpr int kDenseRows = 2000; // the last level is factorised up to this size
constexpr int kCoarsestSweeps = 20;

// What a hierarchy looks like, for reports.
struct CAmgShape {
    std::vector<int> rows;
    std::vector<std::int64_t> nonZeros;
    double operatorComplexity = 0.0; // sum of the levels' entries over the first level's
    double gridComplexity = 0.0;     // sum of the levels' rows over the first level's
    double setupSeconds = 0.0;       // wall time of the last build or Update
    bool fromUpdate = false;         // the last set-up kept the aggregates (Update, same pattern)
};

class QVL3D_EXPORT CAmgHierarchy {
public:
    // The hierarchy of A, a level operator (diagonal first in every row).
    CAmgHierarchy(CSparse A, CAmgSettings settings = {});
    ~CAmgHierarchy();
    CAmgHierarchy(const CAmgHierarchy&) = delete;
    CAmgHierarchy& operator=(const CAmgHierarchy&) = delete;

    // New values of the first level. With the same pattern the aggregates
    // and the patterns of P and of every coarse operator are kept and only
    // values are recomputed (returns true); otherwise everything is built
    // anew (returns false).
    bool Update(CSparse A);

    // One V-cycle for A x = b from x = 0: b and x indexed 1..n of the first
    // level. b and x may not overlap.
    void Cycle(const double* b, double* x);
    // The right-hand side buffer of the first level, filled by the caller
    // before CycleFromInput writes x.
    double* Input();
    void CycleFromInput(double* x);

    int Levels() const;
    const CSparse& Operator(int level) const;
    const CSparse& Prolongation(int level) const; // level -> level + 1; not for the last
    const std::vector<int>& Aggregates(int level) const;
    CAmgShape Shape() const;
    const CAmgSettings& Settings() const { return m_settings; }

private:
    struct CLevel;
    void BuildFrom(int first);
    void Link(CLevel& L, int coarse, bool smoothed, CSparse& next);
    void Refresh(int level);
    void Factorise();
    void VCycle(int level);
    void Smooth(CLevel& L, int sweeps, bool fromZero);
    void SolveCoarsest(CLevel& L);

    CAmgSettings m_settings;
    std::vector<CLevel> m_levels;
    std::vector<double> m_lu; // the dense factors of the last level
    std::vector<int> m_pivot;
    std::vector<int> m_position; // scratch of the build
    double m_setupSeconds = 0.0;
    bool m_fromUpdate = false;
};

// Helpers of the build, exposed for the tests.
// Aggregate (0-based) of each row 1..n of A (element 0 unused), -1 for a
// row left out; returns the count of aggregates.
// reach 2: a root takes its strong neighbours' free strong neighbours too.
QVL3D_EXPORT int Aggregate(const CSparse& A, double theta, int reach, std::vector<int>& aggregate);
// The prolongation of `aggregate` for A: tentative, or smoothed.
QVL3D_EXPORT CSparse Prolongator(const CSparse& A, const std::vector<int>& aggregate, int coarse, bool smoothed);
// P^T A P, the diagonal first in every row.
QVL3D_EXPORT CSparse Galerkin(const CSparse& A, const CSparse& P);

// Entries first..end of A's last row ordered by column (stable).
QVL3D_EXPORT void SortByColumn(CSparse& A, size_t first);

// The level operator of rows 1..n from diag(i) and offDiag(i, f), which
// calls f(column, value) for the row's other entries (columns above cols
// are dropped): each row its diagonal first, then the others by column. A
// row whose entries come by ascending column already (the common case) is
// taken as it comes; another is sorted (stable: the same result either way).
template <class Diag, class OffDiag>
CSparse LevelFrom(int n, int cols, Diag&& diag, OffDiag&& offDiag)
{
    CSparse A;
    A.rows = n;
    A.cols = cols;
    A.start.assign(static_cast<size_t>(n) + 2, 0);
    A.col.reserve(static_cast<size_t>(n)); // grows by doubling from at least the diagonals' count
    A.val.reserve(static_cast<size_t>(n));
    for (int i = 1; i <= n; ++i) {
        const size_t first = A.col.size() + 1;
        A.col.push_back(i);
        A.val.push_back(diag(i));
        bool ascending = true;
        offDiag(i, [&](int j, double a) {
            if (j > cols) return;
            ascending = ascending && (A.col.size() == first || A.col.back() < j);
            A.col.push_back(j);
            A.val.push_back(a);
        });
        if (!ascending) SortByColumn(A, first);
        A.start[i + 1] = static_cast<int>(A.col.size());
    }
    return A;
}

// The same over the owned columns 1..n alone.
template <class Diag, class OffDiag>
CSparse LevelFrom(int n, Diag&& diag, OffDiag&& offDiag)
{
    return LevelFrom(n, n, diag, offDiag);
}

} // namespace amg
} // namespace qvl3d

#endif
