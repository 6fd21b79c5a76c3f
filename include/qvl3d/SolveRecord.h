// How a solve ended: the record every method returns, and the call that runs
// an entry point of a bound CSingleGridSolver and hands that record back.
//
// The entry points (Solver, Solver_CSR, Solver_ELL) write into the store only
// what the host's store has room for: the reference residual and, for
// BiCGSTAB, the iteration count. SolveRecorded runs the same method with the
// same console text, the same store writes and the same bits, and also
// returns what the store cannot hold: why the method stopped, how many
// iterations it completed, the last residual norm, and every iteration's
// norm to an observer.
#ifndef QVL3D_SOLVERECORD_H
#define QVL3D_SOLVERECORD_H

#include <qvl3d/QVLExport.h>
#include <qvl3d/SolverTable.h>

class CSingleGridSolver;

namespace qvl3d {

// Why a method stopped. The names (StatusName) are fixed words for scripts.
enum class EStatus : int {
    Converged = 0,       // the stopping rule held
    IterationLimit,      // the iteration limit was reached
    ZeroInitialResidual, // b - A x was exactly 0 before any iteration (BiCGSTAB's entry test)
    LimitBelowOne,       // the iteration limit is below 1: no iteration ran
    BreakdownRho,        // BiCGSTAB: r0hat . r = 0
    BreakdownBeta,       // BiCGSTAB: beta = 0
    BreakdownSigma,      // BiCGSTAB: r0hat . A phat = 0
    BreakdownAlpha,      // BiCGSTAB: alpha = 0
    BreakdownTt,         // BiCGSTAB: t . t = 0 (x keeps the half step)
    BreakdownOmega,      // BiCGSTAB: omega = 0 (x keeps the half step)
    NonFinite,           // a residual norm was not finite (only where the caller asked to stop on it)
    ZeroRightHandSide,   // b = 0: x = 0 is the solution (front door only)
    Diverged,            // the method's norm passed the divergence limit (front door only)
    Indefinite,  // conjugate gradient: p . A p or r . z was 0 or changed sign: A or M is not definite (front door only)
    Inaccurate,  // the method's norm met the bound and the true residual did not, also after restarts (front door only)
    Interrupted, // the observer asked to stop (front door: Solve rethrows what the monitor threw)
    NotRun,      // the solver code names no method
    // After NotRun, so that the numbers above (the C interface's) stay as they were.
    Stagnated,       // GMRES: a whole restart cycle left the residual no smaller (front door only)
    BreakdownKrylov, // GMRES: A M^-1 is singular on the Krylov space: its least-squares problem has no unique solution
};

// "converged", "iteration_limit", "zero_initial_residual", "limit_below_one",
// "breakdown_rho", "breakdown_beta", "breakdown_sigma", "breakdown_alpha",
// "breakdown_tt", "breakdown_omega", "non_finite", "zero_rhs", "diverged",
// "indefinite", "inaccurate", "interrupted", "not_run", "stagnated",
// "breakdown_krylov".
QVL3D_EXPORT const char* StatusName(EStatus status);

// One sentence for a person: "the iteration limit was reached", ...
QVL3D_EXPORT const char* StatusText(EStatus status);

struct CSolveRecord {
    EStatus status = EStatus::NotRun;
    int iterations = 0;     // iterations completed
    double reference = 0.0; // the norm the relative test measures against (after iteration 1), when set
    bool haveReference = false;
    double lastNorm = 0.0; // the method's own norm after the last completed iteration
    int zeroNormAt = 0;    // first iteration whose norm was exactly 0 (0: none)
};

// Called at the end of every completed iteration, after the method's own
// console lines of that iteration, with the method's own residual norm: Gauss-Seidel's sum of partition norms, the
// Krylov methods' global Euclidean norm of the updated residual.
struct CIterationObserver {
    void (*call)(void* data, int iteration, double norm) = nullptr;
    void* data = nullptr;
};

// What the entry point of layout `entry` (SolverTable.h) does with (ivarb, lsolv, x, b), console text and
// store writes included, returning the record.
QVL3D_EXPORT CSolveRecord SolveRecorded(CSingleGridSolver& solver, ELayout entry, int ivarb, int lsolv, double* x,
                                        double* b, const CIterationObserver* observer = nullptr);

} // namespace qvl3d

#endif
