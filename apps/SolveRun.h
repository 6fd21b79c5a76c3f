// One run of qvl3d-solve: solves the problem (repeatedly if asked) through
// the front door, or builds the host objects, checks them and solves through
// the chosen entry point, and measures what happened: from the library's
// result or record, the iterations, why the method stopped and its residual
// after every iteration; from the host's side, the true residual, the
// error, the times and the memory.
#ifndef QVL3D_APPS_SOLVERUN_H
#define QVL3D_APPS_SOLVERUN_H

#include <qvl3d/Communication.h>
#include "ScaledNorm.h"
#include "SolveOptions.h"
#include "SolveProblem.h"
#include <qvl3d/SolveRecord.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qvl3d {
namespace app {

using Clock = std::chrono::steady_clock;

// Seconds since t0.
inline double Since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Counts and times the collective calls the solver makes (the summary's
// communication statistics) and hands them on to the transports a
// partitioned run plugs in (none: one partition).
class CCountingTransport : public CHaloTransport, public CSumTransport {
public:
    CCountingTransport(std::shared_ptr<CHaloTransport> halo, std::shared_ptr<CSumTransport> sum);

    void Exchange(double* v) override;
    void Start(double* v, QVLNonBlockingBufferId id) override;
    void Wait(double* v, QVLNonBlockingBufferId id) override;
    double Sum(double local) override;
    void SumEach(double* values, int count) override; // one collective, counted once

    void Reset();
    long long sums = 0, exchanges = 0;
    double seconds = 0.0;                           // spent in the inner transports
    double exchangeSeconds = 0.0, sumSeconds = 0.0; // the same, by kind

private:
    std::shared_ptr<CHaloTransport> m_halo;
    std::shared_ptr<CSumTransport> m_sum;
};

// A partitioned run (qvl3d-solve under mpiexec); ranks is 0 in a serial run.
struct CDistribution {
    int ranks = 0;
    std::string partitioner;
    int minCells = 0, maxCells = 0, minHalo = 0, maxHalo = 0; // per rank
    double exchangeSeconds = 0.0, sumSeconds = 0.0;           // first solve, largest over the ranks
};

struct CRunResult {
    bool frontDoor = false; // the road: qvl3d::CSolver, or the design's entry points
    EReference reference = EReference::FirstIteration;
    int cells = 0;
    long long nonZeros = 0;
    int code = 0;
    EPreconditioner precond = EPreconditioner::None;
    EMethod method = EMethod::BiCgStab; // the front door's method (code: the entry points')
    int restart = 0;                    // GMRES's restart length; 0 for the other methods
    ELayout layout = ELayout::Csr;
    double tolerance = 0.0;
    int maxIter = 0;                            // the limit in force after the call (code 5 on native lifts it)
    std::optional<CMultigridSummary> multigrid; // the front door's levels, where amg ran

    // From the record of the first solve.
    EStatus status = EStatus::NotRun;
    int iterations = 0;        // completed
    std::string stop;          // why the method stopped, in words
    bool reachedFirst = false; // the method wrote its reference residual (residual0)
    double residual0 = 0.0;
    int zeroNormAt = 0;           // first iteration whose norm was exactly 0 (0: none)
    std::vector<double> history;  // the method's residual norm after each iteration
    double bNorm = 0.0;           // ||b||
    double initialResidual = 0.0; // ||b - A x0||, the front door's

    // The host's own measures, in scaled norms (host::CScaledNorm) that
    // neither underflow nor overflow.
    double relResidual = 0.0;   // ||b - Ax|| / ||b||, or ||b - Ax|| when b = 0
    bool bZero = false;         // every b_i is 0 (decided on the values)
    double residualNorm = 0.0;  // ||b - Ax||
    double residualScale = 0.0; // max |b - Ax|_i
    double rhsScale = 0.0;      // max |b_i|
    // Where the method's own norms said what the true residual contradicts
    // (a 0 that is not there, a norm that is not finite) and why, in words;
    // empty when they did not. Set by Conclude.
    std::string arithmetic;
    bool haveError = false;
    double maxError = 0.0; // max |x - x*| over the cells
    bool finite = true;
    int firstNonFinite = 0; // cell (original numbering)
    bool converged = false;
    // The front door's own verdict and ||b - Ax|| / ||b||: under the
    // right-hand-side rule they are the command's, as C++ and Python see them.
    bool solverConverged = false;
    double solverRelative = 0.0;

    double problemSeconds = 0.0, layoutSeconds = 0.0, checkSeconds = 0.0;
    double solveSeconds = 0.0; // fastest repeat
    double meanSolveSeconds = 0.0;
    int repeats = 1;
    bool repeatsAgree = true;
    long long sums = 0, exchanges = 0; // -1: not counted (the front door on one partition)
    double commSeconds = 0.0;
    double exchangeSeconds = 0.0, sumSeconds = 0.0; // commSeconds by kind
    CDistribution distribution;
    double hostMegabytes = 0.0;
    double libraryMegabytes = 0.0; // allocated by the library for the host (OpenMP store)
    std::vector<std::string> notes;

    std::vector<double> x; // solution, original numbering, 1-based
};

// Thrown when the host check finds problems; the text is the first of them.
class CHostCheckError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The method that ran, for people: the front door's method, or the solver
// code's name.
const char* RunMethodName(const CRunResult& r);

// Why the method stopped, in words, from its record.
std::string StopText(const CSolveRecord& record);

// A partial norm of this rank's cells to the norm over all ranks (empty:
// one partition, the norm as it is).
using CNormReduction = std::function<host::CScaledNorm(const host::CScaledNorm&)>;

// The largest of one double over all ranks (empty: one partition).
using CMaximum = std::function<double(double)>;

// Solves on the road the options name: the front door (RunFrontDoor) or the
// entry points. With options.monitor, the first solve's lines per iteration
// go to console (nullptr: nowhere, as on the ranks other than 0).
CRunResult RunSolve(const CProblem& problem, const CCommandOptions& options,
                    std::shared_ptr<CHaloTransport> halo = nullptr, std::shared_ptr<CSumTransport> sum = nullptr,
                    std::FILE* console = stdout, const CNormReduction& acrossRanks = nullptr,
                    const CMaximum& maximum = nullptr, std::shared_ptr<CMultigridServices> multigrid = nullptr);

// The front door's road: a CSolver over the problem's rows (0-based, the
// host's entry order), on a partition tied to the others through halo, sum
// and maximum when halo or sum is given (and the multigrid services, when
// given, for levels across the partitions). Its refusals throw
// std::invalid_argument on every partition alike.
CRunResult RunFrontDoor(const CProblem& problem, const CCommandOptions& options, std::shared_ptr<CHaloTransport> halo,
                        std::shared_ptr<CSumTransport> sum, std::FILE* console, const CNormReduction& acrossRanks,
                        const CMaximum& maximum, std::shared_ptr<CMultigridServices> multigrid = nullptr);

// What both roads share: the result's fields from the problem and options;
// ||b|| over all ranks into result (bNorm, bZero, rhsScale), returned; and
// from x (the solver's numbering, 1-based, halo cells after the owned ones)
// the true residual, x in the original numbering, its error and the verdict.
CRunResult StartResult(const CProblem& problem, const CCommandOptions& options);
host::CScaledNorm RhsNorm(const CProblem& problem, const CNormReduction& acrossRanks, CRunResult& result);
void MeasureSolution(const CProblem& problem, double* x, CCommunication& commu, const CNormReduction& acrossRanks,
                     const host::CScaledNorm& bNorm, CRunResult& result);

// The --monitor line of one iteration.
void PrintMonitorLine(std::FILE* out, int iteration, double norm, double bNorm);

bool SameBits(double a, double b);

// The verdict from the host's measures (finite, relResidual, tolerance):
// converged, and arithmetic from the method's record and history. RunSolve
// calls it; a partitioned run calls it again once the ranks' results are one.
void Conclude(CRunResult& result);

} // namespace app
} // namespace qvl3d

#endif
