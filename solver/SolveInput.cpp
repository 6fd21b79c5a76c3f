#include "FrontDoor.h"

#include "AmgDistributed.h"
#include "SparseMatrix.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace qvl3d {

namespace frontdoor {

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

std::string WithId(std::string text, std::int64_t cell, const std::function<std::int64_t(std::int64_t)>& globalId)
{
    return globalId ? text + " (global id " + Num(globalId(cell)) + ")" : text;
}

int NormalisingShift(double magnitude)
{
    if (!(magnitude > 0.0) || !std::isfinite(magnitude)) return 0;
    const int e = std::ilogb(magnitude);
    return e >= -32 && e <= 32 ? 0 : -e;
}

int ExactShift(int shift, double lo, double hi)
{
    int s = shift;
    if (s > 0 && hi > 0.0) s = std::min(s, 1022 - std::ilogb(hi));  // hi * 2^s below 2^1023
    if (s < 0 && lo > 0.0) s = std::max(s, -1022 - std::ilogb(lo)); // lo * 2^s at least 2^-1022
    return (s > 0) == (shift > 0) && (s < 0) == (shift < 0) ? s : 0;
}

} // namespace frontdoor

using namespace frontdoor;

namespace {

constexpr std::int64_t kIntMax = std::numeric_limits<int>::max();
constexpr std::int64_t kMaxRows = kIntMax - 2; // the host layouts index cells 0..rows+1 in int

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
    if (!(o.divtol > 0.0)) Refuse(kConstructor, "divtol " + Num(o.divtol) + " is not a number above 0");
    if (o.restart < 1) Refuse(kConstructor, "restart is " + Num(std::int64_t{o.restart}) + "; at least 1 is needed");
}

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

// The entry (j, i) of every entry (i, j) between owned cells, for a method
// that assumes a symmetric matrix: refused where one is missing. Row j's
// columns are marked with their entries, then the entries of column j (from
// the transposed pattern) looked up. Halo columns get -1: their rows belong
// to other partitions.
std::vector<int> SymmetricPartners(const CCsrView& A, const std::vector<int>& rowStart, const char* method,
                                   const std::function<std::int64_t(std::int64_t)>& globalId)
{
    const int n = static_cast<int>(A.rows);
    const std::int64_t nnz = rowStart[n];
    // byColumn: the entries of each column with their rows, rows ascending
    // (not cleared first: the places read are those the fill below writes).
    std::vector<int> colStart(static_cast<size_t>(n) + 1, 0);
    std::vector<int, detail::CUnfilled<int>> byColumn(static_cast<size_t>(nnz)), rowOf(static_cast<size_t>(nnz));
    for (std::int64_t e = 0; e < nnz; ++e)
        if (A.columns[e] < n) ++colStart[A.columns[e] + 1];
    for (int j = 0; j < n; ++j) colStart[j + 1] += colStart[j];
    std::vector<int> fill(colStart.begin(), colStart.end() - 1);
    for (int i = 0; i < n; ++i)
        for (int e = rowStart[i]; e < rowStart[i + 1]; ++e)
            if (A.columns[e] < n) {
                const int at = fill[A.columns[e]]++;
                byColumn[at] = e;
                rowOf[at] = i;
            }
    std::vector<int> mark(static_cast<size_t>(n), -1), markEntry(static_cast<size_t>(n), -1);
    std::vector<int> partner(static_cast<size_t>(nnz), -1);
    for (int j = 0; j < n; ++j) {
        for (int e = rowStart[j]; e < rowStart[j + 1]; ++e)
            if (A.columns[e] < n) {
                mark[A.columns[e]] = j;
                markEntry[A.columns[e]] = e;
            }
        for (int k = colStart[j]; k < colStart[j + 1]; ++k) {
            const int e = byColumn[k], i = rowOf[k];
            if (mark[i] != j)
                Refuse(kConstructor, std::string("the ") + method + " needs a symmetric pattern: " +
                                         WithId("row " + Num(std::int64_t{i}), i, globalId) + ", entry " +
                                         Num(std::int64_t{e}) + " holds column " + Num(std::int64_t{j}) + ", but " +
                                         WithId("row " + Num(std::int64_t{j}), j, globalId) + " holds no column " +
                                         Num(std::int64_t{i}));
            partner[e] = markEntry[i];
        }
    }
    return partner;
}

} // namespace

// Every value finite, every diagonal non-zero; the first offence named.
// The magnitudes SetValues scales by are gathered on the way (kept only
// when every value passed).
void CSolver::CImpl::CheckValues(const char* where, const double* values)
{
    if (n > 0 && values == nullptr) Refuse(where, "the values are null");
    CMagnitudes m;
    for (int i = 0; i < n; ++i)
        for (int e = rowStart[i]; e < rowStart[i + 1]; ++e) {
            const double v = values[e];
            if (!std::isfinite(v) || (v == 0.0 && slot[e] == 0)) {
                const std::string at = Row(i) + ", entry " + Num(std::int64_t{e});
                if (!std::isfinite(v)) Refuse(where, at + ": value " + Num(v) + " is not finite");
                Refuse(where, at + ": the diagonal is 0");
            }
            const double a = std::fabs(v);
            if (slot[e] == 0) {
                m.dLo = std::min(m.dLo, a);
                m.dHi = std::max(m.dHi, a);
            }
            if (a > 0.0) m.lo = std::min(m.lo, a);
            m.hi = std::max(m.hi, a);
        }
    magnitudes = m;
}

// For a method that assumes a symmetric matrix, a_ij and a_ji equal to a
// relative 1e-12 (the rounding of an assembly that sums them apart) for every
// pair between owned cells.
void CSolver::CImpl::CheckSymmetricValues(const char* where, const double* values) const
{
    for (int e = 0; e < static_cast<int>(partner.size()); ++e) {
        const int p = partner[e];
        if (p <= e) continue; // each pair once; the diagonal and halo columns not at all
        const double v = values[e], w = values[p];
        if (std::fabs(v - w) <= 1e-12 * std::max(std::fabs(v), std::fabs(w))) continue;
        const auto rowOf = [&](int entry) {
            return std::upper_bound(rowStart.begin(), rowStart.end(), entry) - rowStart.begin() - 1;
        };
        Refuse(where, std::string("the ") + Find(options.method)->name + " needs a symmetric matrix: " + Row(rowOf(e)) +
                          ", entry " + Num(std::int64_t{e}) + " holds " + Num(v) + ", but " + Row(rowOf(p)) +
                          ", entry " + Num(std::int64_t{p}) + " holds " + Num(w));
    }
}

// The values into every layout built (native slot k of row i, CSR entry k
// of the row, ELL slot k), scaled by 2^aShift, which they set: the middle of
// the diagonal's magnitudes (on a log scale) brought near 1 where it lies
// outside 2^-32 .. 2^32, as far as every value stays exact
// (NormalisingShift, ExactShift), so that the 1e-30 guards on the diagonal
// and the methods' denominators stay as far as they can from every row.
// Collective on a partition of several: the shift is the same on all. Then
// the sweep rows of the method from the layout it runs on. The values are
// those CheckValues passed last (their magnitudes are its).
void CSolver::CImpl::SetValues(const double* values)
{
    const double dHi = Maximum(magnitudes.dHi);
    const double dLo = -Maximum(-magnitudes.dLo);
    const double hi = Maximum(magnitudes.hi);
    const double lo = -Maximum(-magnitudes.lo);
    const double middle = dHi > 0.0 ? std::ldexp(1.0, (std::ilogb(dLo) + std::ilogb(dHi)) / 2) : 0.0;
    aShift = ExactShift(NormalisingShift(middle), std::isfinite(lo) ? lo : 0.0, hi);

    CQvl3dGV& S = host->store;
    CQVL3DFiniteVolumeMesh& M = host->mesh;
    CQVLGVGPU& G = host->gpu;
    const std::ptrdiff_t cells = M.m_nCellTotal;
    const int shift = aShift; // 0 for most systems: the values as they are, without a call per entry
    const int* slots = slot.data();
    for (int i = 1; i <= n; ++i) {
        double* native = S.m_ppdCoef[i];
        double* csr = M.m_pdCSRValue != nullptr ? M.m_pdCSRValue + M.m_piCSRRowStart[i] : nullptr;
        double* ell = G.m_pdELLValue != nullptr ? G.m_pdELLValue + (i - 1) : nullptr;
        for (int e = rowStart[i - 1], end = rowStart[i]; e < end; ++e) {
            const int k = slots[e];
            const double v = shift == 0 ? values[e] : std::ldexp(values[e], shift);
            native[k] = v;
            if (csr != nullptr) csr[k] = v;
            if (ell != nullptr) ell[k * cells] = v;
        }
    }
    DeriveSweepRows();
    if (options.method == EMethod::Amg ||
        PreconditionerFor(options.method, options.preconditioner) == EPreconditioner::Amg)
        RefreshMultigrid();
}

// The multigrid levels from the values set: across the partitions where
// the link brought the services and there are several partitions.
void CSolver::CImpl::RefreshMultigrid()
{
    const detail::CNativeRows rows = detail::NativeRowsOf(&host->store, &host->mesh);
    if (!multigrid || multigrid->Partitions() < 2) return detail::RefreshAmg(derived.amg, rows, nullptr);
    amg::CAmgPartition part;
    part.nTotal = nTotal;
    part.halo = commu.GetTransport();
    part.sum = com.GetTransport();
    part.maximum = maximum;
    part.services = multigrid;
    detail::RefreshAmg(derived.amg, rows, &part);
}

// The first option whose value differs between the partitions, or an empty
// string (collective: every partition gets the same answer).
std::string CSolver::CImpl::DifferingOption(const CSolveOptions& o)
{
    const std::pair<const char*, double> values[] = {
        {"method", static_cast<double>(o.method)},
        {"preconditioner", static_cast<double>(PreconditionerFor(o.method, o.preconditioner))},
        {"layout", static_cast<double>(o.layout)},
        {"rtol", o.rtol},
        {"atol", o.atol},
        {"maxIter", static_cast<double>(o.maxIter)},
        {"reference", static_cast<double>(o.reference)},
        {"divtol", o.divtol},
        {"restart", static_cast<double>(o.restart)},
        {"monitor", o.monitor ? 1.0 : 0.0},
    };
    std::string differs;
    for (const auto& [name, v] : values) {
        const double hi = maximum(v), lo = -maximum(-v);
        if (!(hi == lo) && differs.empty()) differs = name;
    }
    return differs;
}

CBusy::CBusy(std::atomic<bool>& busy, const char* where) : m_busy(busy)
{
    if (m_busy.exchange(true))
        throw std::logic_error(std::string(where) +
                               ": the solver is already solving (its monitor, or another thread, called it)");
}

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
        const auto row = [this, i] { return Row(i); };
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
    if (method.needsSymmetricPattern) {
        partner = SymmetricPartners(A, rowStart, method.name, globalId);
        CheckSymmetricValues(kConstructor, A.values);
    }

    // The host's rows read in place: the caller's entry order, cells counted
    // from 1 (all that the host system would refuse is refused above), the
    // values left to SetValues, which writes every one.
    const host::CRowsView rows{n, nTotal, rowStart.data(), A.columns, 1, nullptr};
    host = std::make_unique<host::CHostSystem>(rows, 1, LayoutBit(runsOn));
    x.assign(static_cast<size_t>(nTotal) + 1, 0.0);
    b.assign(static_cast<size_t>(n) + 1, 0.0);
    ax.assign(static_cast<size_t>(n) + 1, 0.0);
    if (options.method == EMethod::Gmres || options.method == EMethod::Fgmres)
        krylov.Allocate(options.restart, options.method == EMethod::Fgmres, nTotal);
}

CSolver::CSolver(const CCsrView& A, CSolveOptions options) : m_impl(std::make_unique<CImpl>())
{
    CImpl& I = *m_impl;
    CheckOptions(options);
    I.options = std::move(options);
    I.Build(A, 0);
    I.SetValues(A.values);
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
    I.globalId = std::move(link.globalId);
    // One refusal text for all only where every partition can send one.
    const double hasMessages = link.messages ? 1.0 : 0.0;
    if (-I.maximum(-hasMessages) == 1.0) I.messages = std::move(link.messages);
    const double hasMultigrid = link.multigrid ? 1.0 : 0.0;
    if (-I.maximum(-hasMultigrid) == 1.0) I.multigrid = std::move(link.multigrid);
    std::exception_ptr fault;
    try {
        if (link.haloCells < 0) Refuse(kConstructor, "haloCells is " + Num(link.haloCells) + ", a negative count");
        if (link.haloCells > 0 && !link.halo)
            Refuse(kConstructor, Num(link.haloCells) + " halo cells but no halo transport");
        CheckOptions(options);
        I.options = options;
        I.Build(A, link.haloCells);
    } catch (...) {
        fault = std::current_exception();
    }
    // Collective on every partition, whatever it refused: the partitions
    // must make the same calls, so they must run with the same options.
    const std::string differs = I.DifferingOption(options);
    I.Agree(fault, kConstructor, "the rows of another partition were refused");
    if (!differs.empty())
        Refuse(kConstructor, "the partitions were given different options: " + differs +
                                 " differs (every partition must pass the same)");
    I.SetValues(A.values);
}

void CSolver::Update(const double* values)
{
    const CBusy hold(m_impl->busy, kUpdate);
    std::exception_ptr fault;
    try {
        m_impl->CheckValues(kUpdate, values);
        m_impl->CheckSymmetricValues(kUpdate, values);
    } catch (...) {
        fault = std::current_exception();
    }
    m_impl->Agree(fault, kUpdate, "the values of another partition were refused");
    m_impl->SetValues(values);
}

} // namespace qvl3d
