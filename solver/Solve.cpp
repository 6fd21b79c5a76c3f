#include "FrontDoor.h"

#include "detail/BiCgStab.h"
#include "detail/Bound.h"
#include "detail/GaussSeidel.h"
#include "detail/Gmres.h"
#include "detail/Pcg.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace qvl3d {

using host::CScaledNorm; // the norms of b and of the true residual, safe at either end of the range
using namespace frontdoor;

namespace {

constexpr int kRestarts = 2;             // runs after the first where the true residual misses the bound
constexpr double kRoundingSlack = 1e-10; // what the true residual's own sum may be off by, relatively

} // namespace

// Rethrows this partition's fault; on a partition of several, first learns
// whether any partition has one, so that all of them throw together: with
// the message transport the first refusing partition's words everywhere
// (a fault other than a refusal stays itself where it happened), else
// through the global sum, the others saying that one did elsewhere.
void CSolver::CImpl::Agree(std::exception_ptr fault, const char* where, const char* elsewhere)
{
    if (partitioned && messages) {
        std::string mine;
        bool refusal = false;
        try {
            if (fault) std::rethrow_exception(fault);
        } catch (const std::invalid_argument& e) {
            mine = e.what();
            refusal = true;
        } catch (const std::exception& e) {
            mine = std::string(where) + ": " + e.what();
        } catch (...) {
            mine = std::string(where) + ": an unknown exception";
        }
        const std::string first = messages->First(mine);
        if (fault && !refusal) std::rethrow_exception(fault);
        if (!first.empty()) throw std::invalid_argument(first);
        return;
    }
    if (partitioned) {
        double mine = fault ? 1.0 : 0.0;
        const double refusing = com.AllSum(mine);
        if (!fault && refusing != 0.0) Refuse(where, elsewhere);
    }
    if (fault) std::rethrow_exception(fault);
}

// The norm of a vector of which this partition holds the part local. On a
// partition of several: the largest magnitude of all parts, and whether any
// part saw an infinity or NaN (maximum), then the parts' sums of squares
// over that magnitude (the global sum).
double CSolver::CImpl::Norm(const host::CScaledNorm& local)
{
    if (!partitioned) return local.Value();
    const double worst = maximum(local.SawNaN() ? 2.0 : local.SawInfinity() ? 1.0 : 0.0);
    const double scale = maximum(local.Scale());
    double squares = local.SquaresOver(scale);
    squares = com.AllSum(squares);
    return CScaledNorm::Combined(scale, squares, worst == 1.0, worst == 2.0).Value();
}

// ||b - A x|| of the system as given (the scaled one's over 2^bShift), over
// the native rows, each row summed as the methods sum it (the halo of x
// filled first).
double CSolver::CImpl::TrueResidual()
{
    if (partitioned) commu.DDM_Exch(x.data()); // collective, also where this partition has no halo
    detail::NativeRowsOf(&host->store, &host->mesh).RowProducts(1, n, ax.data(), x.data());
    CScaledNorm norm;
    for (int i = 1; i <= n; ++i) norm.Add(b[i] - ax[i]);
    return std::ldexp(Norm(norm), -bShift);
}

// The chosen method with the chosen preconditioner and `stop`, on the rows
// it runs on for the chosen layout, through the same binding the entry
// points use.
template <class Stop>
CSolveRecord CSolver::CImpl::Run(const detail::CMethodSettings& set, const Stop& stop)
{
    using namespace detail;
    const CBound h{&host->store, &host->mesh, &commu, &com, &host->gpu};
    const CWorkVectors w = WorkOf(host->store);
    const ELayout rows = RowsFor(options.method, options.layout);
    const EPreconditioner preconditioner = PreconditionerFor(options.method, options.preconditioner);
    double* X = x.data();
    const double* B = b.data();
    return WithRows(h, rows, [&](const auto& A) {
        if (options.method == EMethod::GaussSeidel) return GaussSeidel(A, h.Context(), set, stop, X, B);
        if (options.method == EMethod::Amg)
            return AmgIterations(A, h.Context(), set, stop, CAmgPreconditioner(derived), w, X, B);
        return WithFrontDoorPreconditioner(preconditioner, derived, [&](const auto& precond) {
            if (options.method == EMethod::Cg) return Pcg(A, h.Context(), set, stop, precond, w, X, B);
            if (options.method == EMethod::Gmres || options.method == EMethod::Fgmres)
                return Gmres(A, h.Context(), set, stop, precond, w, krylov, X, B);
            return BiCgStab(A, h.Context(), set, stop, precond, w, X, B);
        });
    });
}

// b scaled by 2^bShift, which it sets, so that ||b|| is near 1 where it lies
// outside 2^-32 .. 2^32, as far as every b_i stays exact; the initial guess
// by 2^(bShift - aShift) with it (a guess: rounded where it must be).
void CSolver::CImpl::ScaleRightHandSide(double bNorm)
{
    double lo = HUGE_VAL, hi = 0.0;
    for (int i = 1; i <= n; ++i) {
        const double v = std::fabs(b[i]);
        if (v > 0.0) lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    hi = Maximum(hi);
    lo = -Maximum(-lo);
    bShift = ExactShift(NormalisingShift(bNorm), std::isfinite(lo) ? lo : 0.0, hi);
    if (bShift != 0)
        for (int i = 1; i <= n; ++i) b[i] = std::ldexp(b[i], bShift);
    if (bShift != aShift)
        for (int i = 1; i <= n; ++i) x[i] = std::ldexp(x[i], bShift - aShift);
}

// The observer of every run: the norm as the unscaled system has it into
// the history and to the monitor, numbered across restarts. What the
// monitor throws is kept and stops the solve after this iteration; on a
// partition of several, on every partition together (a global sum).
void CSolver::CImpl::Observe(void* data, int iteration, double norm)
{
    CImpl& I = *static_cast<CImpl*>(data);
    const double shown = std::ldexp(norm, -I.bShift);
    I.history.push_back(shown);
    if (!I.options.monitor) return;
    bool threw = false;
    try {
        I.options.monitor(I.iterationsBefore + iteration, shown);
    } catch (...) {
        I.monitorFault = std::current_exception();
        threw = true;
    }
    double mine = threw ? 1.0 : 0.0;
    I.interrupt = I.partitioned ? I.com.AllSum(mine) != 0.0 : threw;
}

// Runs the method and measures the true residual; where the method's norm
// met the bound and the true residual does not, runs it again from the x
// reached (its residual formed anew), at most kRestarts times, within the
// iteration limit. Returns the status the true residual supports, and
// leaves that residual in result.finalResidual.
EStatus CSolver::CImpl::Iterate(double bNorm, CSolveResult& result)
{
    const CSolveOptions& o = options;
    const bool absolute = o.reference == EReference::RightHandSide;
    double bound = absolute ? std::max(o.rtol * bNorm, o.atol) : -1.0; // -1: not known yet
    result.finalResidual = result.initialResidual;
    if (absolute && result.initialResidual <= bound) return EStatus::Converged;

    detail::CMethodSettings set;
    set.maxIter = o.maxIter;
    const CIterationObserver observer{&CImpl::Observe, this};
    set.observer = &observer;
    detail::CGuards guards;
    guards.stopOnNonFinite = true;
    guards.divergeAbove = o.divtol * std::ldexp(result.initialResidual, bShift);
    guards.stopOnIndefinite = true;
    guards.interrupt = &interrupt;

    CSolveRecord rec = absolute ? Run(set, detail::CAbsolute{std::ldexp(bound, bShift), guards})
                                : Run(set, detail::CAgainstFirst{o.rtol, guards});
    if (!absolute && rec.haveReference) bound = o.rtol * std::ldexp(rec.reference, -bShift);
    int used = rec.iterations;
    for (int restart = 0;; ++restart) {
        result.iterations = used;
        if (rec.status == EStatus::Interrupted) return rec.status;
        result.finalResidual = TrueResidual();
        if (bound >= 0.0 && result.finalResidual <= bound * (1.0 + kRoundingSlack)) return EStatus::Converged;
        if (rec.status != EStatus::Converged) return rec.status;
        if (restart == kRestarts || used >= o.maxIter) return EStatus::Inaccurate;
        set.maxIter = o.maxIter - used;
        iterationsBefore = used;
        rec = Run(set, detail::CAbsolute{std::ldexp(bound, bShift), guards});
        used += rec.iterations;
    }
}

// b and x into the solver's vectors, each value checked; on a partition of
// several, every partition refuses when one does.
void CSolver::CImpl::ReadVectors(const double* bIn, const double* xIn)
{
    std::exception_ptr fault;
    try {
        if (n > 0 && (bIn == nullptr || xIn == nullptr)) Refuse(kSolve, "b or x is null");
        for (int i = 0; i < n; ++i) {
            if (!std::isfinite(bIn[i]))
                Refuse(kSolve, WithId("b[" + Num(std::int64_t{i}) + "]", i, globalId) + " is " + Num(bIn[i]) +
                                   ", not a finite number");
            if (!std::isfinite(xIn[i]))
                Refuse(kSolve, WithId("x[" + Num(std::int64_t{i}) + "]", i, globalId) + " (the initial guess) is " +
                                   Num(xIn[i]) + ", not a finite number");
            b[i + 1] = bIn[i];
            x[i + 1] = xIn[i];
        }
    } catch (...) {
        fault = std::current_exception();
    }
    Agree(fault, kSolve, "b or x of another partition was refused");
}

CSolveResult CSolver::Solve(const double* b, double* x)
{
    const auto t0 = std::chrono::steady_clock::now();
    CImpl& I = *m_impl;
    const CBusy hold(I.busy, kSolve);
    I.ReadVectors(b, x);
    I.bShift = 0;
    I.history.clear();
    I.iterationsBefore = 0;
    I.interrupt = false;
    I.monitorFault = nullptr;

    CSolveResult result;
    CScaledNorm norm;
    for (int i = 1; i <= I.n; ++i) norm.Add(I.b[i]);
    const double bNorm = I.Norm(norm);
    I.ScaleRightHandSide(bNorm);
    result.initialResidual = I.TrueResidual();
    if (bNorm == 0.0) { // x = 0 solves it exactly
        std::fill(I.x.begin(), I.x.end(), 0.0);
        result.status = EStatus::ZeroRightHandSide;
        result.finalResidual = I.TrueResidual();
    } else {
        result.status = I.Iterate(bNorm, result);
    }
    if (result.status == EStatus::Interrupted) {
        if (I.monitorFault) std::rethrow_exception(I.monitorFault);
        throw std::runtime_error(std::string(kSolve) + ": the monitor threw on another partition");
    }
    result.relativeResidual = bNorm > 0.0 ? result.finalResidual / bNorm : 0.0;
    for (int i = 0; i < I.n; ++i) x[i] = std::ldexp(I.x[i + 1], I.aShift - I.bShift);
    result.history = std::move(I.history);
    result.multigrid = detail::AmgSummary(I.derived.amg);
    I.history = {};
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return result;
}

CSolver::~CSolver() = default;
CSolver::CSolver(CSolver&&) noexcept = default;
CSolver& CSolver::operator=(CSolver&&) noexcept = default;

int CSolver::Rows() const
{
    return m_impl->n;
}

std::int64_t CSolver::NonZeros() const
{
    return m_impl->rowStart.empty() ? 0 : m_impl->rowStart.back();
}

const CSolveOptions& CSolver::Options() const
{
    return m_impl->options;
}

} // namespace qvl3d
