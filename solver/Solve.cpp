#include <qvl3d/Solve.h>

#include <qvl3d/Communication.h>
#include "HostSystem.h"
#include "ScaledNorm.h"
#include "SparseMatrix.h"
#include "detail/BiCgStab.h"
#include "detail/Bound.h"
#include "detail/GaussSeidel.h"
#include "detail/Pcg.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace qvl3d {

using host::CScaledNorm; // the norms of b and of the true residual, safe at either end of the range

namespace {

constexpr std::int64_t kIntMax = std::numeric_limits<int>::max();
constexpr std::int64_t kMaxRows = kIntMax - 2; // the host layouts index cells 0..rows+1 in int

std::string Num(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

std::string Num(std::int64_t v)
{
    return std::to_string(v);
}

[[noreturn]] void Refuse(const char* where, const std::string& what)
{
    throw std::invalid_argument(std::string(where) + ": " + what);
}

constexpr const char* kConstructor = "qvl3d::CSolver";
constexpr const char* kUpdate = "qvl3d::CSolver::Update";
constexpr const char* kSolve = "qvl3d::CSolver::Solve";

template <class E, class Row, std::size_t N>
void CheckKnown(const char* what, E value, const Row (&table)[N])
{
    if (Find(value) == nullptr)
        Refuse(kConstructor, std::string("unknown ") + what + " " + Num(static_cast<std::int64_t>(value)) + " (the " +
                                 what + "s are " + Words(table) + ")");
}

void CheckOptions(const CSolveOptions& o)
{
    CheckKnown("method", o.method, kMethods);
    if (o.preconditioner) CheckKnown("preconditioner", *o.preconditioner, kPreconditioners);
    CheckKnown("layout", o.layout, kLayouts);
    const CMethodInfo& method = *Find(o.method);
    if (!method.takesPreconditioner && o.preconditioner && *o.preconditioner != EPreconditioner::None)
        Refuse(kConstructor, std::string(method.name) + " takes no preconditioner, not " +
                                 Find(*o.preconditioner)->word + " (name none, or none at all)");
    if (o.reference != EReference::RightHandSide && o.reference != EReference::FirstIteration)
        Refuse(kConstructor, "unknown reference " + Num(static_cast<std::int64_t>(o.reference)));
    if (o.maxIter < 1) Refuse(kConstructor, "maxIter is " + Num(std::int64_t{o.maxIter}) + "; at least 1 is needed");
    if (!(o.rtol >= 0.0 && std::isfinite(o.rtol)))
        Refuse(kConstructor, "rtol " + Num(o.rtol) + " is not a finite non-negative number");
    if (!(o.atol >= 0.0 && std::isfinite(o.atol)))
        Refuse(kConstructor, "atol " + Num(o.atol) + " is not a finite non-negative number");
}

} // namespace

// Hidden like the rest of the library's inside, although nested in an
// exported class (its members name the methods' internal types).
#if defined(__GNUC__)
#define QVL3D_HIDDEN __attribute__((visibility("hidden")))
#else
#define QVL3D_HIDDEN
#endif

struct QVL3D_HIDDEN CSolver::CImpl {
    CSolveOptions options;
    int n = 0;
    int nTotal = 0;           // n plus the halo cells of a partition
    bool partitioned = false; // one partition of several: norms and refusals are agreed on
    std::function<double(double)> maximum;
    std::vector<int> rowStart; // n + 1 offsets of the caller's rows
    // Per entry of the caller's order: its slot in the native row (0 the
    // diagonal, then the other entries in the caller's order), which is
    // also its place in the CSR row and its ELL slot.
    std::vector<int> slot;
    std::unique_ptr<host::CHostSystem> host;
    CCommunication commu; // by default one partition: exchanges do nothing, sums return their argument
    CQVLCom com;
    std::vector<double> x, b; // cells 1..nTotal (x) and 1..n (b)
    std::vector<double> ax;   // A x, for the true residual
    std::vector<double> history;

    void Build(const CCsrView& A, std::int64_t haloCells);
    int IndexColumns(const CCsrView& A);
    void CheckValues(const char* where, const double* values) const;
    void WriteValues(const double* values);
    void Agree(std::exception_ptr fault, const char* where, const char* elsewhere);
    double Norm(const CScaledNorm& local);
    double TrueResidual();
    template <class Stop>
    CSolveRecord Run(const detail::CMethodSettings& set, const Stop& stop);

    static void Observe(void* data, int iteration, double norm)
    {
        CImpl& self = *static_cast<CImpl*>(data);
        self.history.push_back(norm);
        if (self.options.monitor) self.options.monitor(iteration, norm);
    }
};

// Every value finite, every diagonal non-zero; the first offence named.
void CSolver::CImpl::CheckValues(const char* where, const double* values) const
{
    if (n > 0 && values == nullptr) Refuse(where, "the values are null");
    for (int i = 0; i < n; ++i)
        for (int e = rowStart[i]; e < rowStart[i + 1]; ++e) {
            const double v = values[e];
            if (std::isfinite(v) && (v != 0.0 || slot[e] != 0)) continue;
            const std::string at = "row " + Num(std::int64_t{i}) + ", entry " + Num(std::int64_t{e});
            if (!std::isfinite(v)) Refuse(where, at + ": value " + Num(v) + " is not finite");
            Refuse(where, at + ": the diagonal is 0");
        }
}

// The values into every layout built: native slot k of row i, CSR entry k
// of the row, ELL slot k.
void CSolver::CImpl::WriteValues(const double* values)
{
    CQvl3dGV& S = host->store;
    CQVL3DFiniteVolumeMesh& M = host->mesh;
    CQVLGVGPU& G = host->gpu;
    const std::ptrdiff_t nTotal = M.m_nCellTotal;
    for (int i = 1; i <= n; ++i)
        for (int e = rowStart[i - 1]; e < rowStart[i]; ++e) {
            const int k = slot[e];
            const double v = values[e];
            S.m_ppdCoef[i][k] = v;
            if (M.m_pdCSRValue != nullptr) M.m_pdCSRValue[M.m_piCSRRowStart[i] + k] = v;
            if (G.m_pdELLValue != nullptr) G.m_pdELLValue[k * nTotal + (i - 1)] = v;
        }
}

// Rethrows this partition's fault; on a partition of several, first learns
// through the global sum whether any partition has one, so that all of them
// throw together (the others saying that one did elsewhere).
void CSolver::CImpl::Agree(std::exception_ptr fault, const char* where, const char* elsewhere)
{
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
double CSolver::CImpl::Norm(const CScaledNorm& local)
{
    if (!partitioned) return local.Value();
    const double worst = maximum(local.SawNaN() ? 2.0 : local.SawInfinity() ? 1.0 : 0.0);
    const double scale = maximum(local.Scale());
    double squares = local.SquaresOver(scale);
    squares = com.AllSum(squares);
    return CScaledNorm::Combined(scale, squares, worst == 1.0, worst == 2.0).Value();
}

// ||b - A x|| over the native rows, each row summed as the methods sum it
// (the halo of x filled first).
double CSolver::CImpl::TrueResidual()
{
    if (partitioned) commu.DDM_Exch(x.data()); // collective, also where this partition has no halo
    detail::NativeRowsOf(&host->store, &host->mesh).RowProducts(1, n, ax.data(), x.data());
    CScaledNorm norm;
    for (int i = 1; i <= n; ++i) norm.Add(b[i] - ax[i]);
    return Norm(norm);
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
        return WithPreconditioner(preconditioner, [&](auto precond) {
            if (options.method == EMethod::Cg) return Pcg(A, h.Context(), set, stop, precond, w, X, B);
            return BiCgStab(A, h.Context(), set, stop, precond, w, X, B);
        });
    });
}

CSolver::CSolver(const CCsrView& A, CSolveOptions options) : m_impl(std::make_unique<CImpl>())
{
    CImpl& I = *m_impl;
    CheckOptions(options);
    I.options = std::move(options);
    I.Build(A, 0);
}

CSolver::CSolver(const CCsrView& A, CSolveOptions options, CPartitionLink link) : m_impl(std::make_unique<CImpl>())
{
    CImpl& I = *m_impl;
    // Without these no partition can tell the others anything.
    if (!link.sum) Refuse(kConstructor, "the partition link has no sum transport");
    if (!link.maximum) Refuse(kConstructor, "the partition link has no maximum");
    I.partitioned = true;
    I.com = CQVLCom(link.sum);
    if (link.halo) I.commu = CCommunication(link.halo);
    I.maximum = std::move(link.maximum);
    std::exception_ptr fault;
    try {
        if (link.haloCells < 0) Refuse(kConstructor, "haloCells is " + Num(link.haloCells) + ", a negative count");
        if (link.haloCells > 0 && !link.halo)
            Refuse(kConstructor, Num(link.haloCells) + " halo cells but no halo transport");
        CheckOptions(options);
        I.options = std::move(options);
        I.Build(A, link.haloCells);
    } catch (...) {
        fault = std::current_exception();
    }
    I.Agree(fault, kConstructor, "the rows of another partition were refused");
}

namespace {

// Offset i of the view's rows, whichever width it has.
std::int64_t Offset(const CCsrView& A, std::int64_t i)
{
    return A.rowStart32 != nullptr ? A.rowStart32[i] : A.rowStart64[i];
}

// The counts and offsets of the view: returns the entry count.
std::int64_t CheckCounts(const CCsrView& A, std::int64_t haloCells)
{
    const std::int64_t rows = A.rows;
    if (rows < 0) Refuse(kConstructor, "rows is " + Num(rows) + ", a negative count");
    if (rows > kMaxRows)
        Refuse(kConstructor, Num(rows) + " rows exceed the int range of the layouts (at most " + Num(kMaxRows) + ")");
    if (haloCells > kMaxRows - rows)
        Refuse(kConstructor, Num(rows) + " rows and " + Num(haloCells) +
                                 " halo cells exceed the int range of the layouts (at most " + Num(kMaxRows) +
                                 " together)");
    if ((A.rowStart32 == nullptr) == (A.rowStart64 == nullptr))
        Refuse(kConstructor, "exactly one of rowStart32 and rowStart64 must be given");
    if (Offset(A, 0) != 0) Refuse(kConstructor, "the offsets start at " + Num(Offset(A, 0)) + ", not at 0");
    for (std::int64_t i = 0; i < rows; ++i)
        if (Offset(A, i + 1) < Offset(A, i))
            Refuse(kConstructor, "row " + Num(i) + ": the offsets decrease (" + Num(Offset(A, i)) + " to " +
                                     Num(Offset(A, i + 1)) + ")");
    const std::int64_t nnz = Offset(A, rows);
    if (nnz > kIntMax - rows)
        Refuse(kConstructor, Num(nnz) + " entries in " + Num(rows) +
                                 " rows exceed the int range of the layouts (entries plus rows at most " +
                                 Num(kIntMax) + ")");
    if (nnz > 0 && (A.columns == nullptr || A.values == nullptr))
        Refuse(kConstructor, "the columns or the values are null");
    return nnz;
}

// A method that assumes a symmetric matrix needs an entry (j, i) for every
// entry (i, j). Row j's columns are marked, then the entries of column j
// (from the transposed pattern) looked up. Halo columns are left out: their
// rows belong to other partitions.
void CheckSymmetricPattern(const CCsrView& A, const std::vector<int>& rowStart, const char* method)
{
    const int n = static_cast<int>(A.rows);
    const std::int64_t nnz = rowStart[n];
    std::vector<int> colStart(static_cast<size_t>(n) + 1, 0), byColumn(static_cast<size_t>(nnz));
    for (std::int64_t e = 0; e < nnz; ++e)
        if (A.columns[e] < n) ++colStart[A.columns[e] + 1];
    for (int j = 0; j < n; ++j) colStart[j + 1] += colStart[j];
    std::vector<int> fill(colStart.begin(), colStart.end() - 1);
    for (std::int64_t e = 0; e < nnz; ++e)
        if (A.columns[e] < n) byColumn[fill[A.columns[e]]++] = static_cast<int>(e);
    std::vector<int> mark(static_cast<size_t>(n), -1);
    for (int j = 0; j < n; ++j) {
        for (int e = rowStart[j]; e < rowStart[j + 1]; ++e)
            if (A.columns[e] < n) mark[A.columns[e]] = j;
        for (int k = colStart[j]; k < colStart[j + 1]; ++k) {
            const int e = byColumn[k];
            const int i =
                static_cast<int>(std::upper_bound(rowStart.begin(), rowStart.end(), e) - rowStart.begin()) - 1;
            if (mark[i] != j)
                Refuse(kConstructor, std::string("the ") + method + " needs a symmetric pattern: row " +
                                         Num(std::int64_t{i}) + ", entry " + Num(std::int64_t{e}) + " holds column " +
                                         Num(std::int64_t{j}) + ", but row " + Num(std::int64_t{j}) +
                                         " holds no column " + Num(std::int64_t{i}));
        }
    }
}

} // namespace

// Columns: in range, none twice in a row, the diagonal once; the slot of
// each entry follows. Returns the longest row's length.
int CSolver::CImpl::IndexColumns(const CCsrView& A)
{
    const std::int64_t total = nTotal;
    std::vector<int> seenAt(static_cast<size_t>(total), -1); // entry where the column last appeared
    int widest = 0;
    for (int i = 0; i < n; ++i) {
        const int begin = static_cast<int>(Offset(A, i)), end = static_cast<int>(Offset(A, i + 1));
        rowStart[i] = begin;
        const auto row = [i] { return "row " + Num(std::int64_t{i}); };
        int diagonal = -1, next = 1;
        for (int e = begin; e < end; ++e) {
            const std::int32_t c = A.columns[e];
            if (c < 0 || c >= total)
                Refuse(kConstructor, row() + ", entry " + Num(std::int64_t{e}) + ": column " + Num(std::int64_t{c}) +
                                         " is outside 0.." + Num(total - 1));
            if (seenAt[c] >= begin)
                Refuse(kConstructor, row() + ": " +
                                         (c == i ? std::string("the diagonal") : "column " + Num(std::int64_t{c})) +
                                         " appears twice, at entries " + Num(std::int64_t{seenAt[c]}) + " and " +
                                         Num(std::int64_t{e}));
            seenAt[c] = e;
            if (c == i) {
                diagonal = e;
                slot[e] = 0;
            } else {
                slot[e] = next++;
            }
        }
        if (diagonal < 0)
            Refuse(kConstructor, row() + " (entries " + Num(std::int64_t{begin}) + ".." + Num(std::int64_t{end - 1}) +
                                     ") has no diagonal entry");
        widest = std::max(widest, end - begin);
    }
    rowStart[n] = static_cast<int>(Offset(A, n));
    return widest;
}

// Checks the rows and builds the layout; columns rows .. rows+haloCells-1
// are halo cells.
void CSolver::CImpl::Build(const CCsrView& A, std::int64_t haloCells)
{
    const std::int64_t nnz = CheckCounts(A, haloCells);
    n = static_cast<int>(A.rows);
    nTotal = static_cast<int>(A.rows + haloCells);
    rowStart.resize(static_cast<size_t>(n) + 1);
    slot.resize(static_cast<size_t>(nnz));
    const int widest = IndexColumns(A);
    CheckValues(kConstructor, A.values);

    const ELayout runsOn = RowsFor(options.method, options.layout);
    const std::int64_t ellSlots = static_cast<std::int64_t>(widest) * nTotal;
    if (runsOn == ELayout::Ell && ellSlots > kIntMax)
        Refuse(kConstructor, "the ELL layout would need " + Num(ellSlots) + " slots (the longest row, " +
                                 Num(std::int64_t{widest}) + " entries, times " + Num(std::int64_t{nTotal}) +
                                 " cells), beyond the int range of its index");
    const CMethodInfo& method = *Find(options.method);
    if (method.needsSymmetricPattern) CheckSymmetricPattern(A, rowStart, method.name);

    // The host's rows: the caller's entry order, cells counted from 1.
    host::CSparseMatrix M;
    M.nCell = n;
    M.nCellTotal = nTotal;
    M.rowStart = rowStart;
    M.col.resize(static_cast<size_t>(nnz));
    M.val.assign(A.values, A.values + nnz);
    for (std::int64_t e = 0; e < nnz; ++e) M.col[e] = A.columns[e] + 1;
    host = std::make_unique<host::CHostSystem>(M, 1, LayoutBit(runsOn));
    x.assign(static_cast<size_t>(nTotal) + 1, 0.0);
    b.assign(static_cast<size_t>(n) + 1, 0.0);
    ax.assign(static_cast<size_t>(n) + 1, 0.0);
}

CSolver::~CSolver() = default;
CSolver::CSolver(CSolver&&) noexcept = default;
CSolver& CSolver::operator=(CSolver&&) noexcept = default;

void CSolver::Update(const double* values)
{
    std::exception_ptr fault;
    try {
        m_impl->CheckValues(kUpdate, values);
    } catch (...) {
        fault = std::current_exception();
    }
    m_impl->Agree(fault, kUpdate, "the values of another partition were refused");
    m_impl->WriteValues(values);
}

CSolveResult CSolver::Solve(const double* b, double* x)
{
    const auto t0 = std::chrono::steady_clock::now();
    CImpl& I = *m_impl;
    const int n = I.n;
    std::exception_ptr fault;
    try {
        if (n > 0 && (b == nullptr || x == nullptr)) Refuse(kSolve, "b or x is null");
        for (int i = 0; i < n; ++i) {
            if (!std::isfinite(b[i]))
                Refuse(kSolve, "b[" + Num(std::int64_t{i}) + "] is " + Num(b[i]) + ", not a finite number");
            if (!std::isfinite(x[i]))
                Refuse(kSolve,
                       "x[" + Num(std::int64_t{i}) + "] (the initial guess) is " + Num(x[i]) + ", not a finite number");
            I.b[i + 1] = b[i];
            I.x[i + 1] = x[i];
        }
    } catch (...) {
        fault = std::current_exception();
    }
    I.Agree(fault, kSolve, "b or x of another partition was refused");

    CSolveResult result;
    double bound = -1.0; // the right-hand-side rule's bound, when it applies
    auto finish = [&](EStatus status, double bNorm) {
        for (int i = 0; i < n; ++i) x[i] = I.x[i + 1];
        result.finalResidual = I.TrueResidual();
        result.relativeResidual = bNorm > 0.0 ? result.finalResidual / bNorm : 0.0;
        // A BiCGSTAB breakdown that leaves an x within the bound: mostly a
        // half step that solved the system (s = 0, so t . t = 0).
        const bool breakdown = status >= EStatus::BreakdownRho && status <= EStatus::BreakdownOmega;
        result.status = breakdown && result.finalResidual <= bound ? EStatus::Converged : status;
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        return std::move(result);
    };

    CScaledNorm norm;
    for (int i = 1; i <= n; ++i) norm.Add(I.b[i]);
    const double bNorm = I.Norm(norm);
    result.initialResidual = I.TrueResidual();
    if (bNorm == 0.0) { // x = 0 solves it exactly
        std::fill(I.x.begin(), I.x.end(), 0.0);
        return finish(EStatus::ZeroRightHandSide, bNorm);
    }

    const CSolveOptions& o = I.options;
    const bool absolute = o.reference == EReference::RightHandSide;
    if (absolute) {
        bound = std::max(o.rtol * bNorm, o.atol);
        if (result.initialResidual <= bound) return finish(EStatus::Converged, bNorm);
    }
    detail::CMethodSettings set;
    set.maxIter = o.maxIter;
    set.markers = false; // quiet: no marker lines, no progress line
    set.progressInterval = 0;
    const CIterationObserver observer{&CImpl::Observe, &I};
    set.observer = &observer;

    I.history.clear();
    I.history.reserve(static_cast<size_t>(std::min(o.maxIter, 1024)));
    const CSolveRecord rec =
        absolute ? I.Run(set, detail::CAbsolute{bound, true}) : I.Run(set, detail::CAgainstFirst{o.rtol, true});
    result.iterations = rec.iterations;
    result.history = std::move(I.history);
    I.history = {};
    return finish(rec.status, bNorm);
}

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
