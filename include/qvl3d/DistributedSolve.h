// Distributed solves for hosts that bring their own mesh partition: each
// rank hands in its owned rows with global column numbers, the library finds
// who owns each column, builds the rank's local system and halo plan, and
// solves through the MPI transports.
//
//     qvl3d::CGlobalRows rows{n, rowStart, globalColumns, values};
//     qvl3d::CDistributedSolver solver(MPI_COMM_WORLD, rows, qvl3d::COwnership::Range(first));
//     qvl3d::CSolveResult r = solver.Solve(b, x);   // owned rows only, in the host's order
//
// Global ids are 0-based int64 numbers. A rank's local numbering (the halo
// plan's cells, counted from 1) is: its owned rows 1..n in the host's order
// (row k of the input is cell k+1), then its halo cells grouped by owning
// rank (ascending), each group in ascending global id.
//
// Every function here is collective over its communicator. Bad input on any
// rank makes every rank throw std::invalid_argument with the same message,
// which names the rank that saw the fault and what it is; no rank is left
// waiting.
#ifndef QVL3D_DISTRIBUTEDSOLVE_H
#define QVL3D_DISTRIBUTEDSOLVE_H

#include <qvl3d/HaloPlan.h>
#include <qvl3d/QVLExport.h>
#include <qvl3d/Solve.h>

#include <mpi.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace qvl3d {

// One rank's owned rows: row k (0-based) holds the entries rowStart[k] ..
// rowStart[k+1]-1, each a global column id and a value. The offsets (rows+1
// of them, starting at 0, never decreasing) may be null only for rows = 0,
// the columns and values only when there are no entries. A row names no
// column twice.
struct CGlobalRows {
    std::int64_t rows = 0;
    const std::int64_t* rowStart = nullptr;
    const std::int64_t* columns = nullptr;
    const double* values = nullptr;
};

// Which global ids a rank's rows are. Every rank gives the same kind:
//   Range(first)  row k is global id first + k; the ranks' ranges do not
//                 overlap (an empty rank's first is not used);
//   List(ids)     row k is global id ids[k] (rows ids, none twice over all
//                 ranks, none negative). No rank ever holds all ids: who
//                 owns an id is looked up in a directory spread over the
//                 ranks (id % ranks).
// Ids that no rank owns may exist (gaps), but no row may name one.
struct COwnership {
    static COwnership Range(std::int64_t first)
    {
        COwnership o;
        o.first = first;
        return o;
    }
    static COwnership List(const std::int64_t* ids)
    {
        COwnership o;
        o.list = true;
        o.ids = ids;
        return o;
    }

    bool list = false;
    std::int64_t first = 0;
    const std::int64_t* ids = nullptr;
};

// A rank's share in its local numbering.
struct CLocalSystem {
    std::int64_t rows = 0;              // owned rows, n
    std::vector<std::int64_t> rowStart; // n + 1 offsets, the input's
    std::vector<std::int32_t> columns;  // 0-based local cells: owned 0..n-1, halo n..nCellTotal-1
    std::vector<double> values;         // the input's, in the input's order
    std::vector<std::int64_t> globalId; // [c] = global id of 0-based local cell c (plan cell c+1)
    CHaloPlan plan;                     // cells counted from 1; neighbours by ascending rank

    // The owned rows as the front door takes them, halo columns after the owned ones.
    CCsrView View() const { return CCsrView{rows, nullptr, rowStart.data(), columns.data(), values.data()}; }
};

// Builds the rank's local system and halo plan (collective over comm). Each
// rank learns the owner of every column its rows name that it does not own
// itself, and each owner learns which of its cells every other rank needs,
// so a rank whose cells are needed by one that needs nothing of it still
// sends. Refused, on every rank: a negative row count or one beyond the int
// range of the local numbering (owned plus halo cells), null arrays with
// entries to read, offsets that do not start at 0 or that decrease, a
// column twice in a row, negative ids, one id owned twice (on one rank or
// two), overlapping ranges or ones beyond the int64 range, ranks giving
// different kinds of ownership, and a column that no rank owns.
QVL3D_EXPORT CLocalSystem BuildLocalSystem(MPI_Comm comm, const CGlobalRows& rows, const COwnership& ownership);

// Checks a halo plan a host wrote itself (collective over comm): the plan's
// own consistency and every pair's counts first (as CMpiHaloTransport's
// constructor checks them), then the global ids travel once through the
// plan and each rank compares, halo cell by halo cell, the id each
// neighbour sent with the one it expects there. globalIdOfLocalCell has
// plan.nCellTotal entries: [c-1] is the global id of the plan's cell c
// (CLocalSystem::globalId is such a vector). On a mismatch every rank
// throws std::invalid_argument naming the receiving and the sending rank,
// the first wrong cell (its local number in the plan), the id expected and
// the id received. Ids travel as two exact halves, so any int64 id works.
QVL3D_EXPORT void CheckHaloPlan(MPI_Comm comm, const CHaloPlan& plan,
                                const std::vector<std::int64_t>& globalIdOfLocalCell);

// The link of a rank's local system (collective over comm): the halo
// transport of plan, the exact sum, the maximum, the refusals agreed on
// (messages), globalId as given (may be empty) and the multigrid services,
// which build the coarse levels of the aggregation multigrid across the
// ranks (BuildLocalSystem on each coarse level, with its own transports).
// The link keeps private duplicates of comm: it must be released before
// MPI_Finalize (one released after leaves them to the finalisation).
QVL3D_EXPORT CPartitionLink MakePartitionLink(MPI_Comm comm, const CHaloPlan& plan,
                                              std::function<std::int64_t(std::int64_t)> globalId = {});

// The front door across the ranks of comm: constructed collectively from
// each rank's rows and ownership, it builds the local system and plan
// (BuildLocalSystem), the MPI transports and a CSolver on the partition
// (CPartitionLink). Solve(b, x) is collective; b and x hold the rank's owned
// rows in the host's order. The result is CSolver's (statuses, iterations,
// norms and history of the whole system, from the global sum) and has the
// same bits on every rank; the options' monitor is called on every rank
// with the same values. Input the solver refuses (a row without its
// diagonal, a zero diagonal, a value that is not finite, bad options, b or x
// not finite) makes every rank throw std::invalid_argument with one message:
// that of the lowest refusing rank, prefixed with "rank R: ", naming the row
// (or index of b or x) on that rank, its global id and the entry, e.g.
// "rank 3: qvl3d::CSolver: row 1 (global id 57), entry 3: value nan is not
// finite". Options that differ between the ranks are refused with one
// message naming the option. The DILU preconditioner leaves halo neighbours
// out (as CSingleGridSolver does on a partition), so its iterations differ
// from a solve of the whole matrix on one rank; the diagonal preconditioner
// and the unpreconditioned methods follow the serial ones up to the order
// of the global sums. The aggregation multigrid builds its coarse levels
// across the ranks (MakePartitionLink's multigrid services), so its
// iterations stay close to those of one rank, and the result's multigrid
// summary gives the whole system's levels.
class QVL3D_EXPORT CDistributedSolver {
public:
    CDistributedSolver(MPI_Comm comm, const CGlobalRows& rows, const COwnership& ownership, CSolveOptions options = {});
    ~CDistributedSolver();
    CDistributedSolver(const CDistributedSolver&) = delete;
    CDistributedSolver& operator=(const CDistributedSolver&) = delete;

    // New values for the same pattern, in the input's entry order (collective).
    void Update(const double* values);
    CSolveResult Solve(const double* b, double* x);

    const CLocalSystem& System() const;
    const CSolveOptions& Options() const;

private:
    struct CImpl;
    std::unique_ptr<CImpl> m_impl;
};

} // namespace qvl3d

#endif
