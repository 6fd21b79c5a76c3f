#include "SolveRun.h"

#include "HostSystem.h"
#include <qvl3d/QVLMemTool.h>
#include <qvl3d/SingleGridSolver.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

namespace qvl3d {
namespace app {

namespace {

ELayout EntryPointOf(ELayout layout)
{
    switch (layout) {
    case ELayout::Native: return ELayout::Native;
    case ELayout::Csr: return ELayout::Csr;
    case ELayout::Ell: return ELayout::Ell;
    }
    return ELayout::Csr;
}

// The norms a solve hands to its observer, and the --monitor lines: the
// method calls it at the end of each iteration, after its own console lines.
class CMonitor {
public:
    CMonitor(std::FILE* out, double bNorm) : m_out(out), m_bNorm(bNorm) {}

    static void Observe(void* self, int k, double norm) { static_cast<CMonitor*>(self)->Add(k, norm); }

    std::vector<double> history; // history[k - 1]: iteration k's norm

private:
    void Add(int k, double norm)
    {
        history.push_back(norm);
        if (m_out != nullptr) PrintMonitorLine(m_out, k, norm, m_bNorm);
    }

    std::FILE* m_out;
    double m_bNorm;
};

bool SameRecord(const CSolveRecord& a, const CSolveRecord& b)
{
    return a.status == b.status && a.iterations == b.iterations && a.haveReference == b.haveReference &&
           SameBits(a.reference, b.reference) && SameBits(a.lastNorm, b.lastNorm) && a.zeroNormAt == b.zeroNormAt;
}

// The host objects with the options' variable, limit, tolerance,
// preconditioner and console settings.
void PrepareHost(host::CHostSystem& host, int ivarb, const CCommandOptions& o)
{
    host.SetVariable(ivarb, o.maxIter, o.tolerance);
    host.SetPreconditioner(Find(o.precond)->designType);
    if (o.progress > 0) {
        *host.store.m_piPrintSolver = 1;
        *host.store.m_piSilent = 0;
        *host.store.m_piPrintInterval = o.progress;
    }
    host.store.m_bNonBlockingExch = o.nonBlocking;
}

void CheckHost(host::CHostSystem& host, int ivarb)
{
    const host::CValidationReport check = host.Validate(ivarb);
    if (!check.Ok())
        throw CHostCheckError("the host check found " + std::to_string(check.count) +
                              (check.count == 1 ? " problem: " : " problems, the first: ") + check.problems.front());
}

// The solves of --repeat through the entry point, each from x0: the first's
// record, history, x (firstX) and communication counts into r.
CSolveRecord SolveRepeatedly(const CProblem& P, const CCommandOptions& o, host::CHostSystem& host,
                             CSingleGridSolver& solver, CCountingTransport& transport, std::FILE* console, double* x,
                             std::vector<double>& firstX, CRunResult& r)
{
    const int ivarb = 0, n = P.A.nCell, nTotal = P.A.nCellTotal;
    double* b = const_cast<double*>(P.b.data()); // the entry points take double*; b is only read
    CSolveRecord first;
    double totalSeconds = 0.0;
    r.solveSeconds = std::numeric_limits<double>::infinity();
    for (int rep = 0; rep < o.repeat; ++rep) {
        // Every repeat starts from the same state: codes 5 and 6 write the
        // preconditioner type (and code 5 the limit) into the store.
        std::copy(P.x0.begin(), P.x0.begin() + nTotal + 1, x);
        host.SetVariable(ivarb, o.maxIter, o.tolerance);
        host.SetPreconditioner(Find(o.precond)->designType);
        host.store.m_piIterCount[ivarb] = 0;
        host.store.m_pdResidual0[ivarb] = 0.0;
        transport.Reset();
        CMonitor monitor(rep == 0 && o.monitor ? console : nullptr, r.bNorm);
        const CIterationObserver observer{&CMonitor::Observe, &monitor};

        const auto ts = Clock::now();
        const CSolveRecord record = SolveRecorded(solver, EntryPointOf(o.layout), ivarb, o.code, x, b, &observer);
        const double seconds = Since(ts);
        r.solveSeconds = std::min(r.solveSeconds, seconds);
        totalSeconds += seconds;

        if (rep == 0) {
            firstX.assign(x, x + n + 1);
            first = record;
            r.history = std::move(monitor.history);
            r.sums = transport.sums;
            r.exchanges = transport.exchanges;
            r.commSeconds = transport.seconds;
            r.exchangeSeconds = transport.exchangeSeconds;
            r.sumSeconds = transport.sumSeconds;
        } else if (std::memcmp(firstX.data() + 1, x + 1, sizeof(double) * static_cast<size_t>(n)) != 0 ||
                   !SameRecord(first, record) || monitor.history.size() != r.history.size() ||
                   !std::equal(r.history.begin(), r.history.end(), monitor.history.begin(), SameBits)) {
            r.repeatsAgree = false;
        }
    }
    r.meanSolveSeconds = totalSeconds / o.repeat;
    return first;
}

void EntryPointNotes(const CCommandOptions& o, const host::CHostSystem& host, CRunResult& r)
{
    if (host.openmp.m_pdAELL)
        r.libraryMegabytes =
            8.0 * host.openmp.m_nNNUtemp * static_cast<double>(host.openmp.m_nMaxNColumnAtemp) / 1048576.0;
    if (o.layout == ELayout::Ell && o.code == 3)
        r.notes.push_back("the ELL entry point runs the conjugate gradient on the native rows");
    if (o.code == 6) r.notes.push_back("code 6 reads the native rows whichever entry point calls it");
    if (o.code == 5 && o.layout == ELayout::Native && r.maxIter != o.maxIter)
        r.notes.push_back("the native entry point lifted the iteration limit to " + std::to_string(r.maxIter) +
                          " for code 5");
    const bool nativeMethod = o.layout == ELayout::Native || o.code == 6 || (o.layout == ELayout::Ell && o.code == 3);
    if (o.nonBlocking && nativeMethod)
        r.notes.push_back("--nonblocking has no effect: the native-layout methods always exchange blocking");
    if (o.openmp)
        r.notes.push_back(host.openmp.m_pdAELL ? "SetupSolver(2) prepared the OpenMP store"
                                               : "SetupSolver(2) ran; its OpenMP array could not be allocated");
    if (o.monitor) r.notes.push_back("the first solve's time includes printing the --monitor lines");
    if (!r.repeatsAgree) r.notes.push_back("the repeats did not give bit-identical results");
}

// The entry points' road: the host objects in every layout, checked, bound
// to a CSingleGridSolver, solved through the layout's entry point.
CRunResult RunEntryPoint(const CProblem& P, const CCommandOptions& o, std::shared_ptr<CHaloTransport> halo,
                         std::shared_ptr<CSumTransport> sum, std::FILE* console, const CNormReduction& acrossRanks)
{
    CRunResult r = StartResult(P, o);
    auto transport = std::make_shared<CCountingTransport>(std::move(halo), std::move(sum));
    CCommunication commu(transport);
    CQVLCom com(transport);

    const auto t0 = Clock::now();
    host::CHostSystem host(P.A, 1);
    const int ivarb = 0;
    PrepareHost(host, ivarb, o);
    r.layoutSeconds = Since(t0);
    const auto tc = Clock::now();
    CheckHost(host, ivarb);
    CSingleGridSolver solver;
    if (host.Bind(solver, commu, com) != 0) throw std::runtime_error("binding the host objects to the solver failed");
    if (o.openmp) solver.SetupSolver(QVLAccelerationOpenMP);
    double* x = host.NewVector();
    r.checkSeconds = Since(tc);

    const host::CScaledNorm bNorm = RhsNorm(P, acrossRanks, r);
    std::vector<double> firstX;
    const CSolveRecord first = SolveRepeatedly(P, o, host, solver, *transport, console, x, firstX, r);
    r.maxIter = host.store.m_piMaxIter[ivarb];
    r.status = first.status;
    r.iterations = first.iterations;
    r.stop = StopText(first);
    // The method writes its reference residual after iteration 1, or 0 when
    // x already solved the system.
    r.reachedFirst = first.haveReference || first.status == EStatus::ZeroInitialResidual;
    r.residual0 = first.haveReference ? first.reference : 0.0;
    r.zeroNormAt = first.zeroNormAt;

    // The true residual of the first repeat's x.
    std::copy(firstX.begin() + 1, firstX.end(), x + 1);
    MeasureSolution(P, x, commu, acrossRanks, bNorm, r);
    r.hostMegabytes = CQVLMemTool::getTotalMem(); // the host allocates through the tool alone
    EntryPointNotes(o, host, r);
    return r;
}

} // namespace

bool SameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void PrintMonitorLine(std::FILE* out, int k, double norm, double bNorm)
{
    if (bNorm > 0.0)
        std::fprintf(out, "iteration %d  residual %.6e  relative %.6e\n", k, norm, norm / bNorm);
    else
        std::fprintf(out, "iteration %d  residual %.6e\n", k, norm);
    std::fflush(out);
}

std::string StopText(const CSolveRecord& rec)
{
    if (rec.status == EStatus::IterationLimit && rec.zeroNormAt > 0) {
        char reference[32] = "zero";
        if (rec.reference != 0.0) std::snprintf(reference, sizeof reference, "%.6e", rec.reference);
        return "the residual reached zero at iteration " + std::to_string(rec.zeroNormAt) +
               " and the relative test, against a reference of " + reference +
               ", could not pass: the iteration limit was reached";
    }
    std::string text = StatusText(rec.status);
    switch (rec.status) {
    case EStatus::BreakdownRho:
    case EStatus::BreakdownBeta:
    case EStatus::BreakdownSigma:
    case EStatus::BreakdownAlpha:
    case EStatus::BreakdownTt:
    case EStatus::BreakdownOmega: text += " in iteration " + std::to_string(rec.iterations + 1); break;
    default: break;
    }
    return text;
}

CCountingTransport::CCountingTransport(std::shared_ptr<CHaloTransport> halo, std::shared_ptr<CSumTransport> sum)
    : m_halo(std::move(halo)), m_sum(std::move(sum))
{
}

void CCountingTransport::Exchange(double* v)
{
    ++exchanges;
    if (!m_halo) return;
    const auto t0 = Clock::now();
    m_halo->Exchange(v);
    const double t = Since(t0);
    seconds += t;
    exchangeSeconds += t;
}

void CCountingTransport::Start(double* v, QVLNonBlockingBufferId id)
{
    ++exchanges;
    if (!m_halo) return;
    const auto t0 = Clock::now();
    m_halo->Start(v, id);
    const double t = Since(t0);
    seconds += t;
    exchangeSeconds += t;
}

void CCountingTransport::Wait(double* v, QVLNonBlockingBufferId id)
{
    if (!m_halo) return;
    const auto t0 = Clock::now();
    m_halo->Wait(v, id);
    const double t = Since(t0);
    seconds += t;
    exchangeSeconds += t;
}

double CCountingTransport::Sum(double local)
{
    ++sums;
    if (!m_sum) return local;
    const auto t0 = Clock::now();
    const double global = m_sum->Sum(local);
    const double t = Since(t0);
    seconds += t;
    sumSeconds += t;
    return global;
}

void CCountingTransport::SumEach(double* values, int count)
{
    ++sums;
    if (!m_sum) return;
    const auto t0 = Clock::now();
    m_sum->SumEach(values, count);
    const double t = Since(t0);
    seconds += t;
    sumSeconds += t;
}

void CCountingTransport::Reset()
{
    sums = exchanges = 0;
    seconds = exchangeSeconds = sumSeconds = 0.0;
}

void Conclude(CRunResult& r)
{
    // The front door's rule is against ||b||, as the command's check is: its
    // verdict and residual stand, so that the command says what C++ and
    // Python say (its own sum of the same residual may differ in the last
    // digits).
    const bool frontDoorRule = r.frontDoor && r.reference == EReference::RightHandSide;
    if (frontDoorRule && !r.bZero) r.relResidual = r.solverRelative;
    r.converged = frontDoorRule ? r.solverConverged : r.finite && r.relResidual <= r.tolerance;
    r.arithmetic.clear();
    // Squares of magnitudes below the first lose digits or vanish, above the
    // second they overflow: sqrt(DBL_MIN) and sqrt(DBL_MAX).
    const double squaresUnderflow = std::sqrt(std::numeric_limits<double>::min());
    const double squaresOverflow = std::sqrt(std::numeric_limits<double>::max());
    char buf[160];

    // A 0 the true residual does not have, at a scale where squares vanish
    // (at others a 0 against a tiny true residual is rounding, not this).
    const bool zeroInitial = r.status == EStatus::ZeroInitialResidual;
    if ((zeroInitial || r.zeroNormAt > 0) && r.residualNorm > 0.0 && r.residualScale < squaresUnderflow) {
        std::snprintf(buf, sizeof buf, "%.3e", r.residualNorm);
        r.arithmetic =
            "the method's own residual norm was 0 " +
            (zeroInitial ? std::string("before the first iteration") : "at iteration " + std::to_string(r.zeroNormAt)) +
            ", but ||b - Ax|| is " + buf + ": its sums of squares underflow at this scale";
        return;
    }
    // A norm that is not finite, where the system's scale and not a
    // diverging x explains it.
    const auto bad = std::find_if(r.history.begin(), r.history.end(), [](double v) { return !std::isfinite(v); });
    if (bad == r.history.end()) return;
    const bool overflow = r.rhsScale > squaresOverflow || r.residualScale > squaresOverflow;
    if (!r.finite && !overflow) return;
    std::snprintf(buf, sizeof buf, "the method's own residual norm was %s at iteration %d",
                  std::isnan(*bad) ? "NaN" : "inf", static_cast<int>(bad - r.history.begin()) + 1);
    r.arithmetic = buf;
    if (r.finite) r.arithmetic += " although x stayed finite";
    if (overflow) r.arithmetic += ": its sums of squares overflow at this scale";
}

const char* RunMethodName(const CRunResult& r)
{
    const CMethodInfo* m = Find(r.method);
    return r.frontDoor && m != nullptr ? m->name : MethodName(r.code);
}

CRunResult StartResult(const CProblem& P, const CCommandOptions& o)
{
    CRunResult r;
    r.frontDoor = !o.entryPoint;
    r.reference = o.entryPoint ? EReference::FirstIteration : o.reference;
    r.cells = P.A.nCell;
    r.nonZeros = P.A.NonZeros();
    r.code = o.code;
    r.method = o.method;
    r.restart = !o.entryPoint && (o.method == EMethod::Gmres || o.method == EMethod::Fgmres) ? o.restart : 0;
    r.precond = o.precond;
    r.layout = o.layout;
    r.tolerance = o.tolerance;
    r.maxIter = o.maxIter;
    r.problemSeconds = P.seconds;
    r.repeats = o.repeat;
    return r;
}

host::CScaledNorm RhsNorm(const CProblem& P, const CNormReduction& acrossRanks, CRunResult& r)
{
    host::CScaledNorm bNorm;
    for (int i = 1; i <= P.A.nCell; ++i) bNorm.Add(P.b[i]);
    if (acrossRanks) bNorm = acrossRanks(bNorm);
    r.bZero = bNorm.Scale() == 0.0; // no b_i is non-zero, however small
    r.bNorm = bNorm.Value();
    r.rhsScale = bNorm.Scale();
    return bNorm;
}

void MeasureSolution(const CProblem& P, double* x, CCommunication& commu, const CNormReduction& acrossRanks,
                     const host::CScaledNorm& bNorm, CRunResult& r)
{
    // The halo refreshed first: the Krylov methods leave it as it came in.
    const int n = P.A.nCell;
    commu.DDM_Exch(x);
    std::vector<double> ax(static_cast<size_t>(n) + 1, 0.0);
    host::Multiply(P.A, x, ax.data());
    host::CScaledNorm residual;
    for (int i = 1; i <= n; ++i) residual.Add(P.b[i] - ax[i]);
    if (acrossRanks) residual = acrossRanks(residual);
    r.residualNorm = residual.Value();
    r.residualScale = residual.Scale();
    r.relResidual = r.bZero ? r.residualNorm : residual.Over(bNorm);

    r.x = InOriginalNumbering(P, x);
    for (int i = 1; i <= n; ++i)
        if (!std::isfinite(r.x[i])) {
            r.finite = false;
            r.firstNonFinite = i;
            break;
        }
    if (!P.exact.empty()) {
        r.haveError = true;
        for (int i = 1; i <= n; ++i) r.maxError = std::max(r.maxError, std::fabs(x[i] - P.exact[i]));
        if (!r.finite) r.maxError = std::numeric_limits<double>::quiet_NaN();
    }
    Conclude(r);
}

CRunResult RunSolve(const CProblem& P, const CCommandOptions& o, std::shared_ptr<CHaloTransport> halo,
                    std::shared_ptr<CSumTransport> sum, std::FILE* console, const CNormReduction& acrossRanks,
                    const CMaximum& maximum, std::shared_ptr<CMultigridServices> multigrid)
{
    if (o.entryPoint) return RunEntryPoint(P, o, std::move(halo), std::move(sum), console, acrossRanks);
    return RunFrontDoor(P, o, std::move(halo), std::move(sum), console, acrossRanks, maximum, std::move(multigrid));
}

} // namespace app
} // namespace qvl3d
