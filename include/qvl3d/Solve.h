// The front door: a sparse matrix in compressed rows, 0-based, in; for each
// right-hand side a solution and a result with its status out.
//
//     qvl3d::CSolver solver(A);                     // checks A, builds the layout
//     qvl3d::CSolveResult r = solver.Solve(b, x);   // x: initial guess in, solution out
//     if (!r.Converged()) ... qvl3d::StatusName(r.status) ...
//
// The solver keeps its own copy of the matrix in the layout asked for (the
// caller's arrays may go once the constructor returns), its work vectors and
// its communication objects: one partition, nothing exchanged. It prints
// nothing, ever; what happened is in the result, and the options' monitor
// sees every iteration.
//
// The methods are those of CSingleGridSolver and give the same bits: with
// EReference::FirstIteration, the same x, status, iterations and norms as the
// entry point of the same layout, solver code (2 BiCGSTAB, 3 conjugate
// gradient, 4 Gauss-Seidel) and preconditioner type, on a host whose rows
// keep the off-diagonal entries in the order given here and the diagonal in
// its own place (the first CSR entry, slot 0), as the reference host's
// layouts do.
//
// A solver may also serve one partition of a distributed system (see
// CPartitionLink): its rows are the partition's owned rows, its columns also
// name halo cells, and its norms, stopping decisions and result are those of
// the whole system. DistributedSolve.h builds such a solver over MPI from
// rows with global column numbers.
#ifndef QVL3D_SOLVE_H
#define QVL3D_SOLVE_H

#include <qvl3d/Communication.h>
#include <qvl3d/QVLExport.h>
#include <qvl3d/SolveRecord.h>
#include <qvl3d/SolverTable.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace qvl3d {

// A matrix in compressed rows: row i (0-based) holds the entries
// rowStart[i] .. rowStart[i+1]-1, each a 0-based column and a value. Columns
// may come in any order, the diagonal anywhere in the row; every row holds
// its diagonal exactly once and no column twice. Offsets start at 0 and do
// not decrease; exactly one of the two offset arrays (rows + 1 elements) is
// given.
struct CCsrView {
    std::int64_t rows = 0;
    const std::int32_t* rowStart32 = nullptr;
    const std::int64_t* rowStart64 = nullptr;
    const std::int32_t* columns = nullptr;
    const double* values = nullptr;
};

// What the tolerance is relative to, and so the bound the true residual
// ||b - A x|| of a converged solve meets:
//   RightHandSide   the bound is max(rtol * ||b||, atol): the method stops
//                   once its residual norm is within it. An initial guess
//                   whose true residual already meets it is returned as it
//                   is, converged, after no iteration;
//   FirstIteration  the bound is rtol times the method's norm after its
//                   first iteration (atol is not used): the method stops by
//                   CSingleGridSolver's own test, each method's comparison
//                   exactly as there.
// The method's norm is its own: the recursively updated residual of the
// Krylov methods, the residual after each Gauss-Seidel sweep. Whatever the
// method says, Solve then measures the true residual: where it meets the
// bound the status is Converged (a BiCGSTAB half step that solves the
// system ends in t . t = 0, for one); where the method's norm met the bound
// and the true residual does not, the method starts again from the x it
// reached, against the bound, at most twice, and otherwise ends Inaccurate.
// A comparison with the true residual allows for the rounding of its own
// sum, a relative 1e-10.
//
// Scale: where ||b|| or the largest diagonal magnitude lies outside
// 2^-32 .. 2^32, the system is solved scaled by powers of two (b by one, A
// by another, so that both are near 1; exact in binary floating point), so
// that neither the methods' 1e-30 guards nor the range of double decide the
// answer; norms, history and x are reported unscaled. Within that range
// nothing is scaled and a solve gives the bits of CSingleGridSolver.
enum class EReference { RightHandSide, FirstIteration };

struct CSolveOptions {
    // The methods, preconditioners and layouts, their words and their rules
    // are in SolverTable.h: Gauss-Seidel takes no preconditioner (none named,
    // or None), the Krylov methods run with DILU when none is named, and a
    // method without an ELL form (the conjugate gradient) runs on the native
    // rows when ELL is asked for.
    EMethod method = EMethod::BiCgStab;
    std::optional<EPreconditioner> preconditioner;
    ELayout layout = ELayout::Csr;
    double rtol = 1e-8;
    double atol = 0.0;
    int maxIter = 10000;
    EReference reference = EReference::RightHandSide;
    // Diverged once the method's residual norm exceeds divtol times the true
    // residual of the initial guess; infinity never stops.
    double divtol = 1e5;
    // GMRES and flexible GMRES: the iterations of one cycle, and so the
    // basis vectors kept (restart + 1 of them, one vector of the system's
    // length each, and as many more for the flexible method); at least 1.
    // Another method does not read it.
    int restart = 30;
    // Called after every iteration with its number (from 1) and the method's
    // residual norm. What it throws ends the solve and leaves Solve, with x
    // as it was passed in. It may not call Solve or Update of its own solver.
    std::function<void(int iteration, double norm)> monitor;
};

// The levels of the aggregation multigrid a solve ran with. On a partition
// of several with multigrid services (CPartitionLink), the rows and entries
// of the whole system's levels; without them this partition's, whose
// levels leave the halo couplings out.
struct CMultigridSummary {
    const char* aggregation = "smoothed"; // or "plain"
    std::vector<int> rows;                // per level, the first the matrix's
    std::vector<std::int64_t> nonZeros;
    double operatorComplexity = 0.0; // sum of the levels' entries over the first level's
    double gridComplexity = 0.0;     // sum of the levels' rows over the first level's
    double setupSeconds = 0.0;       // wall time of the last set-up (construction or Update)
    bool fromUpdate = false;         // that set-up kept the aggregates (Update with the same pattern)
};

struct CSolveResult {
    EStatus status = EStatus::NotRun; // StatusName / StatusText (SolveRecord.h) give the words
    int iterations = 0;               // iterations completed
    double initialResidual = 0.0;     // ||b - A x|| of the x passed in
    double finalResidual = 0.0;       // ||b - A x|| of the x returned
    double relativeResidual = 0.0;    // finalResidual / ||b|| (0 when b = 0)
    std::vector<double> history;      // the method's norm after each iteration, as the monitor saw it
    double seconds = 0.0;             // wall time of the Solve call

    // Where the method or the preconditioner is amg: its levels.
    std::optional<CMultigridSummary> multigrid;

    // x solves the system to the tolerance: its true residual meets the
    // bound (EReference), or x is exact (b = 0, or an initial residual of
    // exactly 0).
    bool Converged() const
    {
        return status == EStatus::Converged || status == EStatus::ZeroRightHandSide ||
               status == EStatus::ZeroInitialResidual;
    }
};

// Rows with global (int64, 0-based) column ids: row k holds the entries
// rowStart[k] .. rowStart[k+1]-1.
struct CLevelRows {
    std::vector<std::int64_t> rowStart{0};
    std::vector<std::int64_t> columns;
    std::vector<double> values;

    std::int64_t Rows() const { return static_cast<std::int64_t>(rowStart.size()) - 1; }
};

// One entry (row, column, value) in global ids, as the all-to-all moves it.
struct CLevelEntry {
    std::int64_t row = 0;
    std::int64_t column = 0;
    double value = 0.0;
};

// A coarse level as a distributed system of its own: the columns of the
// rows handed to CMultigridServices::BuildLevel in local cells (0-based:
// the owned rows 0..n-1 in the order given, then the halo cells), the
// global id of every local cell, and the transports over its halo plan
// (cells counted from 1, as the solver's vectors are).
struct CLevelPartition {
    std::vector<std::int32_t> columns;  // per entry of the rows given, in their order
    std::vector<std::int64_t> globalId; // per local cell (owned, then halo)
    std::int64_t haloCells = 0;
    std::shared_ptr<CHaloTransport> halo; // fills the halo cells from their owners
    // Adds the halo entries of v to their owners' entries (the reverse of
    // the halo exchange): each owned entry gets the values the other
    // partitions hold for it added one by one, by ascending partition and,
    // within one, in the order of that partition's halo cells. The halo
    // entries are left as they were.
    std::function<void(double*)> addToOwners;
};

// What the aggregation multigrid needs to build coarse levels that span the
// partitions (the host implements it with its message passing). Every call
// is collective: all partitions make the same calls in the same order, and
// every answer that is the same on all partitions has the same bits there.
class QVL3D_EXPORT CMultigridServices {
public:
    virtual ~CMultigridServices();
    virtual int Partitions() = 0;
    virtual int Partition() = 0; // this one's number, 0 .. Partitions()-1
    // Every partition's count: Partitions()+1 offsets, [p] the sum of the
    // counts of partitions below p (an exclusive prefix), the last one the
    // total.
    virtual std::vector<std::int64_t> Offsets(std::int64_t count) = 0;
    // A sparse all-to-all: sendTo[q] goes to partition q (sendTo has
    // Partitions() lists, this partition's own included). Returns what
    // every partition sent here, by ascending sender, each sender's list in
    // its order; from[k] is the sender of entry k.
    virtual std::vector<CLevelEntry> AllToAll(const std::vector<std::vector<CLevelEntry>>& sendTo,
                                              std::vector<int>& from) = 0;
    // A level of its own from this partition's rows, which are global ids
    // first, first+1, ... (the partitions' ranges do not overlap): each
    // column's owner found, the halo plan and its transports built.
    virtual CLevelPartition BuildLevel(const CLevelRows& rows, std::int64_t first) = 0;
    // Every partition's rows, in the order of the partitions, on every one.
    virtual CLevelRows GatherRows(const CLevelRows& rows) = 0;
};

// What ties a solver to the other partitions of a distributed system.
// Columns rows .. rows+haloCells-1 of the matrix name the partition's halo
// cells (cells rows+1 .. rows+haloCells of the halo plan the transport
// follows); halo fills them, sum adds one double over all partitions and
// maximum returns the largest of one double over all partitions, each the
// same bits on every partition. The norms (of b, of the true residual, the
// methods' own) are then those of the whole system: each partition's scaled
// sum of squares over the largest magnitude of all (maximum), added up
// (sum).
struct CPartitionLink {
    std::int64_t haloCells = 0;
    std::shared_ptr<CHaloTransport> halo; // may be null when no partition has halo cells
    std::shared_ptr<CSumTransport> sum;
    std::function<double(double)> maximum;
    // Optional. With messages on every partition, a refusal of the rows,
    // the values, b or x on any partition is thrown on all of them with the
    // one message of the lowest refusing partition (without, or where some
    // partitions lack it, the others say that another partition refused).
    // globalId names a 0-based cell (owned or halo) by the system's own id:
    // the refusals then give it after the partition's row or index.
    std::shared_ptr<CMessageTransport> messages;
    std::function<std::int64_t(std::int64_t)> globalId;
    // Optional, on every partition or on none. With it the multigrid's
    // coarse levels span the partitions (aggregates are each partition's
    // own, the Galerkin products and the cycle's corrections cross them);
    // without it each partition's levels are built from its own rows, halo
    // couplings left out (a block-Jacobi multigrid).
    std::shared_ptr<CMultigridServices> multigrid;
};

class QVL3D_EXPORT CSolver {
public:
    // Checks the matrix and the options and builds the layout. Throws
    // std::invalid_argument naming the row and entry (0-based) for: a row
    // count below 0 or beyond the layouts' int indices, offsets that do not
    // start at 0 or decrease, a column outside 0..rows-1, a row without its
    // diagonal, with it twice or with another column twice, a diagonal that
    // is 0 or not finite, any value that is not finite; for the conjugate
    // gradient a pattern that is plainly not symmetric (an entry (i, j)
    // without (j, i)); maxIter below 1, rtol or atol negative or not finite,
    // divtol not above 0 or NaN, restart below 1.
    // The ELL layout is refused when the longest row times the row count
    // exceeds its int index. Allocation failures pass through
    // (std::bad_alloc, CQVLMemError). A moved-from solver may only be
    // destroyed or assigned to.
    explicit CSolver(const CCsrView& A, CSolveOptions options = {});
    // One partition of a distributed system, collective over all partitions
    // (as are Update and Solve). The checks are those above, with columns
    // up to rows+haloCells-1 and, for the conjugate gradient, the symmetry
    // of the entries between owned cells only (a partition cannot see its
    // neighbours' rows). When any partition refuses its input, every
    // partition throws std::invalid_argument: with the link's messages the
    // one message of the lowest refusing partition, else the refusing ones
    // their own reason and the others a note that another partition
    // refused; the same for Update's values and Solve's vectors. The options must be the same
    // on every partition (a monitor given on all or none): a difference is
    // refused on every partition with one message naming the option. The
    // monitor runs on every partition with the same values; when it throws
    // on any of them, the solve ends on all of them after that iteration,
    // each rethrowing its own exception or, where the monitor did not
    // throw, std::runtime_error saying that it threw on another partition
    // (one more global sum per iteration where a monitor is given). The DILU preconditioner leaves halo neighbours out
    // (as CSingleGridSolver does on a partition), so its iterations differ from a solve of the whole matrix; the
    // diagonal one is the same. The aggregation multigrid smooths with the same DILU on each level; with the link's
    // multigrid services its coarse levels span the partitions, without them each partition's levels are its own.
    // The multigrid decision is made on all partitions alike (a link with the services on some partitions only
    // counts as none).
    CSolver(const CCsrView& A, CSolveOptions options, CPartitionLink link);
    ~CSolver();
    CSolver(CSolver&&) noexcept;
    CSolver& operator=(CSolver&&) noexcept;
    CSolver(const CSolver&) = delete;
    CSolver& operator=(const CSolver&) = delete;

    // New coefficients for the same pattern: as many values as the matrix
    // has entries, in the order of the view the solver was built from.
    // Checked as the constructor checks them; when refused, the solver keeps
    // the values it had.
    void Update(const double* values);

    // Solves A x = b from the x passed in (rows elements each: on a
    // partition, the owned cells only). Throws
    // std::invalid_argument, naming the entry, when b or x holds a value
    // that is not finite. b = 0 gives x = 0 and ZeroRightHandSide without an
    // iteration. One solve at a time per solver: Solve or Update called
    // while a solve runs (from the monitor, or from another thread) throws
    // std::logic_error and leaves that solve alone.
    CSolveResult Solve(const double* b, double* x);

    int Rows() const;
    std::int64_t NonZeros() const;
    const CSolveOptions& Options() const;

private:
    struct CImpl;
    std::unique_ptr<CImpl> m_impl;
};

} // namespace qvl3d

#endif
