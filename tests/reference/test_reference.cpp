// The library against the oracle of Reference.h, bit for bit: the kernels
// (row product, preconditioner build and application) and the three methods
// through the entry points, for every layout and preconditioner type, on
// every exit path. Every array a solve may touch is pre-filled with distinct
// garbage (element 0 and halo entries included), so that an entry written
// where it should not be, or left alone where it should be written, shows.
// With `poison`, NaN goes into what must never be read: element 0, halo
// entries before their exchange, the preconditioner arrays before they are
// built, empty ELL slots; and the layout entries that are never read (the
// diagonal's column in CSR and ELL, native slot 0, unused places of the
// ordered slot lists) get valid but wrong values.
//
// The global sum is scripted per case (the local value, twice it as if two
// identical partitions, the local value plus what the other partitions add,
// or chosen values at chosen calls to force each breakdown), so decisions
// rest on the returned value, and every exchange writes a deterministic
// function of the vector's owned entries into its halo. The sequence of collective calls, the values handed to each sum
// and the console text are compared too.
#include "MatrixMarket.h"
#include "Reference.h"
#include "TestSupport.h"
#include "detail/FrontDoorPreconditioners.h"
#include "detail/Ilu0.h"
#include "detail/SweepRows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::test;
using P = CSingleGridSolverProbe;

namespace {

const int kVariables = 8;

// ---------------------------------------------------------------- systems

struct CSystem {
    std::string name;
    host::CSparseMatrix A;
    std::vector<double> b;  // 1..n
    std::vector<double> x0; // 0..nTotal, halo entries included (the methods read them)
};

// A partition from rows of (column, value) pairs in storage order, stored
// zeros kept.
host::CSparseMatrix FromEntries(int nTotal, const std::vector<Entries>& rows)
{
    host::CSparseBuilder builder(static_cast<int>(rows.size()), nTotal);
    for (size_t i = 0; i < rows.size(); ++i)
        for (const auto& [c, a] : rows[i]) builder.Add(static_cast<int>(i) + 1, c, a);
    return builder.Finish();
}

// Rows stored out of column order: each row's off-diagonal entries rotated
// by the row number and reversed in odd rows, the diagonal stored second.
host::CSparseMatrix Scrambled(const host::CSparseMatrix& A)
{
    std::vector<Entries> rows = Rows(A);
    for (int i = 1; i <= A.nCell; ++i) {
        Entries& row = rows[i - 1];
        const auto at = std::find_if(row.begin(), row.end(), [i](const auto& e) { return e.first == i; });
        const std::pair<int, double> diag = *at;
        row.erase(at);
        if (!row.empty()) std::rotate(row.begin(), row.begin() + i % row.size(), row.end());
        if (i % 2 == 1) std::reverse(row.begin(), row.end());
        row.insert(row.begin() + std::min<size_t>(1, row.size()), diag);
    }
    return FromEntries(A.nCellTotal, rows);
}

// The first `owned` rows of A as one partition: the other cells are halo cells.
host::CSparseMatrix FirstRows(const host::CSparseMatrix& A, int owned)
{
    std::vector<Entries> rows = Rows(A);
    rows.resize(static_cast<size_t>(owned));
    return FromEntries(A.nCellTotal, rows);
}

CSystem MakeSystem(const std::string& name, host::CSparseMatrix A)
{
    CSystem s{name, std::move(A), {}, {}};
    s.b.assign(static_cast<size_t>(s.A.nCell) + 1, 0.0);
    s.x0.assign(static_cast<size_t>(s.A.nCellTotal) + 1, 0.0);
    for (int i = 1; i <= s.A.nCell; ++i) s.b[i] = std::sin(0.37 * i) + 0.05 * i;
    for (int i = 1; i <= s.A.nCellTotal; ++i) s.x0[i] = i <= s.A.nCell ? 0.05 * std::cos(1.3 * i) : 0.2 + 0.01 * i;
    return s;
}

const std::vector<CSystem>& Systems()
{
    static const std::vector<CSystem> systems = [] {
        const host::CBox box{4, 4, 3};
        const host::CSparseMatrix cd = host::ConvectionDiffusion(box, host::CConvection{1.0, 1.0, 1.0, 10.0});
        const std::vector<int> perm = host::Renumbering(box.Cells(), host::ERenumber::Random, 5);
        // Six owned cells, two halo cells, rows in no particular order: a
        // stored zero in an upper part (row 1, column 3), a column stored
        // twice (row 2, column 1), a cell without neighbours (5), lower
        // entries without a partner (row 6, columns 2 and 5) and halo
        // columns 7 and 8.
        const host::CSparseMatrix irregular = FromEntries(8, {{{1, 5.0}, {3, 0.0}, {7, -0.5}, {2, -1.0}},
                                                              {{4, -2.0}, {1, -1.0}, {2, 6.0}, {1, -0.25}},
                                                              {{1, 0.5}, {3, 4.0}, {4, -1.0}},
                                                              {{6, -1.0}, {2, -1.5}, {3, -0.75}, {4, 7.0}, {8, 0.75}},
                                                              {{5, 3.0}},
                                                              {{6, 5.0}, {2, -0.3}, {5, -1.25}, {4, 1.0}}});
        return std::vector<CSystem>{
            MakeSystem("Poisson 6x5, 5-point rows", host::Poisson(host::CBox{6, 5, 1})),
            MakeSystem("convection-diffusion 4x4x3, 7-point rows", cd),
            MakeSystem("convection-diffusion renumbered, rows unsorted", Scrambled(host::RenumberCells(cd, perm))),
            MakeSystem("convection-diffusion, 32 owned + 16 halo cells, rows unsorted", Scrambled(FirstRows(cd, 32))),
            MakeSystem("irregular rows with halo columns", irregular),
        };
    }();
    return systems;
}

// More rows than two row blocks, in natural order (runs of interior rows of
// equal length) with the last layer of cells as halo, rows unsorted.
CSystem Large()
{
    const host::CSparseMatrix cd =
        host::ConvectionDiffusion(host::CBox{9, 8, 8}, host::CConvection{1.0, 0.5, 2.0, 5.0});
    return MakeSystem("convection-diffusion 9x8x8, 505 owned + 71 halo cells, rows unsorted",
                      Scrambled(FirstRows(cd, 505)));
}

oracle::CMatrix OracleMatrix(const host::CSparseMatrix& A)
{
    oracle::CMatrix M;
    M.n = A.nCell;
    M.nTotal = A.nCellTotal;
    M.rows.resize(static_cast<size_t>(A.nCell) + 1);
    for (int i = 1; i <= A.nCell; ++i)
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) {
            if (A.col[e] == i) M.rows[i].diag = A.val[e];
            if (A.col[e] != i) M.rows[i].off.emplace_back(A.col[e], A.val[e]);
        }
    return M;
}

// ---------------------------------------------------------------- garbage

double Garbage(int id, int k)
{
    return -(1000.0 * id + k) - 0.375;
}

double PoisonNaN(int id, int k)
{
    const std::uint64_t bits = 0x7ff8000000000000ULL | (static_cast<std::uint64_t>(id) << 24) | (k + 1U);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// size entries of garbage; with poison NaN at element 0 and above `room`.
std::vector<double> Filled(int id, int size, int room, bool poison)
{
    std::vector<double> v(static_cast<size_t>(size));
    for (int k = 0; k < size; ++k) v[k] = poison && (k == 0 || k > room) ? PoisonNaN(id, k) : Garbage(id, k);
    return v;
}

// Halo entry j of an exchanged vector: half an owned entry.
void FillHalo(double* v, int n, int nTotal)
{
    for (int j = n + 1; j <= nTotal && n > 0; ++j) v[j] = 0.5 * v[1 + (j - n - 1) % n];
}

// Layout entries the methods never read: valid but wrong columns and slots,
// NaN values in empty ELL slots.
void PoisonUnread(host::CHostSystem& h)
{
    const int n = h.Cells(), nTotal = h.CellsTotal(), width = h.gpu.m_nELLWidth;
    for (int e = 0; e < width * nTotal; ++e)
        if (h.gpu.m_piELLColumn[e] == -1) h.gpu.m_pdELLValue[e] = PoisonNaN(99, e);
    for (int i = 1; i <= n; ++i) {
        const int nn = h.mesh.m_piNumNeighbor[i];
        const int wrong = 1 + i % nTotal;
        h.mesh.m_piCSRColumn[h.mesh.m_piCSRRowStart[i]] = wrong;
        h.gpu.m_piELLColumn[i - 1] = wrong;
        h.mesh.m_ppiNeighbor[i][0] = wrong;
        h.store.m_ppiOrderedSlot[i][0] = nn;
        if (nn >= 1) h.store.m_ppiOrderedSlot[i][h.store.m_piDiagPos[i]] = nn;
        if (nn >= 1) h.store.m_piOrderedSlotELL[(h.store.m_piDiagPos[i] - 1) * n + (i - 1)] = nn;
        for (int p = nn + 2; p <= width; ++p) h.store.m_piOrderedSlotELL[(p - 1) * n + (i - 1)] = width - 1;
    }
}

// Every value of the three layouts of h, and of A, times `scale` (each
// value rounded once, the same way in both).
void ScaleValues(host::CHostSystem& h, double scale)
{
    const int n = h.Cells();
    for (int i = 1; i <= n; ++i)
        for (int k = 0; k <= h.mesh.m_piNumNeighbor[i]; ++k) h.store.m_ppdCoef[i][k] *= scale;
    for (int e = h.mesh.m_piCSRRowStart[1]; e < h.mesh.m_piCSRRowStart[n + 1]; ++e) h.mesh.m_pdCSRValue[e] *= scale;
    for (int e = 0; e < h.gpu.m_nELLWidth * h.CellsTotal(); ++e) h.gpu.m_pdELLValue[e] *= scale;
}

host::CSparseMatrix ScaledMatrix(host::CSparseMatrix A, double scale)
{
    for (double& v : A.val) v *= scale;
    return A;
}

// f(rows of `layout` over h), as a solve takes them.
template <class F>
void WithLayout(host::CHostSystem& h, ELayout layout, F&& f)
{
    switch (layout) {
    case ELayout::Native: return f(detail::NativeRowsOf(&h.store, &h.mesh));
    case ELayout::Csr: return f(detail::CsrRowsOf(&h.mesh));
    case ELayout::Ell: return f(detail::EllRowsOf(&h.gpu, &h.store, &h.mesh));
    }
}

// ---------------------------------------------------------------- runs

enum EExitFlag {
    kExact = 1,       // x = 0 (halo too) and b = 0: the initial guess solves the system
    kNonBlocking = 2, // the store's flag (the native methods ignore it)
    kTwice = 4,       // the global sum is twice the local value
    kNaN = 8,         // b holds a NaN in cell 1
};

struct CPrint {
    int flag = 0, interval = 1, silent = 1; // the progress line: print flag, interval, silent flag
};

// How one solve is run: limits, what the global sum returns, printing.
struct CExit {
    std::string name;
    int maxIter = 300;
    double tol = 1e-6;
    int ivarb = 1;
    int flags = 0;
    CPrint print = {};
    std::vector<std::pair<int, double>> script = {}; // sum call number (from 0) -> value returned
    double othersAdd = 0.0;                          // the other partitions add this to every global sum

    bool Has(EExitFlag flag) const { return (flags & flag) != 0; }
};

double GlobalSum(const CExit& e, int call, double local)
{
    for (const auto& [at, value] : e.script)
        if (at == call) return value;
    const double global = e.Has(kTwice) ? 2.0 * local : local;
    return e.othersAdd == 0.0 ? global : global + e.othersAdd;
}

// The state both sides start from, in the oracle's store; the library's
// store is copied from it.
struct CStart {
    oracle::CStore S;
    std::vector<double> x, b;
};

CStart StartOf(const CSystem& sys, const CExit& e, int type, bool poison)
{
    const int n = sys.A.nCell, owned = n + 1, halo = sys.A.nCellTotal + 1;
    CStart s;
    s.x = sys.x0;
    s.b = Filled(2, halo, n, poison);
    for (int i = 1; i <= n; ++i) s.b[i] = sys.b[i];
    if (e.Has(kExact)) std::fill(s.x.begin(), s.x.end(), 0.0);
    if (e.Has(kExact)) std::fill(s.b.begin() + 1, s.b.begin() + owned, 0.0);
    if (e.Has(kNaN) && n >= 1) s.b[1] = std::numeric_limits<double>::quiet_NaN();
    s.x[0] = poison ? PoisonNaN(1, 0) : Garbage(1, 0);
    oracle::CStore& S = s.S;
    S.r = Filled(3, owned, n, poison);
    S.r0hat = Filled(4, owned, n, poison);
    S.p = Filled(5, halo, n, poison);
    S.phat = Filled(6, halo, n, poison);
    S.z = Filled(7, owned, n, poison);
    S.q = Filled(8, owned, n, poison);
    S.shat = Filled(9, halo, n, poison);
    S.t = Filled(10, owned, n, poison);
    S.precondDiag = Filled(11, owned, poison ? -1 : n, poison); // poison: NaN until built
    S.precondWork = Filled(12, owned, poison ? -1 : n, poison);
    for (int v = 0; v < kVariables; ++v) {
        S.maxIter.push_back(v == e.ivarb ? e.maxIter : 20 + v);
        S.tolerance.push_back(v == e.ivarb ? e.tol : 1e-3 * v);
        S.residual0.push_back(Garbage(13, v));
        S.iterCount.push_back(-10 - v);
    }
    S.solutionMax = 123.25;
    S.solutionMin = -123.25;
    S.precondType = type;
    S.silent = e.print.silent;
    S.printSolver = e.print.flag;
    S.printInterval = e.print.interval;
    S.nonBlocking = e.Has(kNonBlocking);
    return s;
}

// ---------------------------------------------------------------- comparison

std::string Show(const std::vector<std::string>& v, size_t k)
{
    return k < v.size() ? "'" + v[k] + "'" : "(none)";
}

std::string Show(const std::vector<double>& v, size_t k)
{
    if (k >= v.size()) return "(none)";
    std::uint64_t bits;
    std::memcpy(&bits, &v[k], sizeof bits);
    char text[64];
    std::snprintf(text, sizeof text, "%.17g [%016" PRIx64 "]", v[k], bits);
    return text;
}

bool Same(double a, double b)
{
    return BitEqual(a, b);
}

bool Same(const std::string& a, const std::string& b)
{
    return a == b;
}

// The first element where two arrays differ (values in bits), or "".
template <class T>
std::string FirstDifference(const std::string& name, const std::vector<T>& lib, const std::vector<T>& ref)
{
    for (size_t k = 0; k < std::max(lib.size(), ref.size()); ++k)
        if (k >= lib.size() || k >= ref.size() || !Same(lib[k], ref[k]))
            return name + "[" + std::to_string(k) + "]: library " + Show(lib, k) + ", oracle " + Show(ref, k) + "\n";
    return "";
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines(1);
    for (char c : text) {
        if (c == '\n') lines.emplace_back();
        if (c != '\n') lines.back().push_back(c);
    }
    return lines;
}

// One solve by the library and by the oracle from the same start. Returns
// the first difference of every array, of the collective calls, the values
// handed to the sums and the console lines, or "" when they agree bit for
// bit.
std::string CompareSolve(const CSystem& sys, ELayout layout, int code, int type, const CExit& e, bool poison)
{
    CStart ref = StartOf(sys, e, type, poison);
    oracle::CStore& R = ref.S;
    CBoundSystem bound(sys.A, kVariables);
    if (poison) PoisonUnread(bound.host);
    CQvl3dGV& S = bound.host.store;
    const int n = bound.host.Cells(), nTotal = bound.host.CellsTotal();
    double* x = bound.host.NewVector();
    std::vector<double> b = ref.b;

    // Every array of the library's store beside the oracle's: copied in
    // before the solve, compared after it.
    struct CPair {
        const char* name;
        double* lib;
        double* ref;
        size_t size;
    };
    auto pair = [](const char* name, double* lib, std::vector<double>& ref) {
        return CPair{name, lib, ref.data(), ref.size()};
    };
    const CPair doubles[] = {pair("x", x, ref.x),
                             pair("b", b.data(), ref.b),
                             pair("m_pdVecR", S.m_pdVecR, R.r),
                             pair("m_pdVecR0Hat", S.m_pdVecR0Hat, R.r0hat),
                             pair("m_pdVecP", S.m_pdVecP, R.p),
                             pair("m_pdVecPHat", S.m_pdVecPHat, R.phat),
                             pair("m_pdVecZ", S.m_pdVecZ, R.z),
                             pair("m_pdVecQ", S.m_pdVecQ, R.q),
                             pair("m_pdVecSHat", S.m_pdVecSHat, R.shat),
                             pair("m_pdVecT", S.m_pdVecT, R.t),
                             pair("m_pdPrecondDiag", S.m_pdPrecondDiag, R.precondDiag),
                             pair("m_pdPrecondWork", S.m_pdPrecondWork, R.precondWork),
                             pair("m_pdTolerance", S.m_pdTolerance, R.tolerance),
                             pair("m_pdResidual0", S.m_pdResidual0, R.residual0),
                             {"m_pdSolutionMax", S.m_pdSolutionMax, &R.solutionMax, 1},
                             {"m_pdSolutionMin", S.m_pdSolutionMin, &R.solutionMin, 1}};
    const std::tuple<const char*, int*, int*, size_t> ints[] = {
        {"m_piMaxIter", S.m_piMaxIter, R.maxIter.data(), R.maxIter.size()},
        {"m_piIterCount", S.m_piIterCount, R.iterCount.data(), R.iterCount.size()},
        {"m_piPrecondType", S.m_piPrecondType, &R.precondType, 1},
        {"m_piSilent", S.m_piSilent, &R.silent, 1},
        {"m_piPrintSolver", S.m_piPrintSolver, &R.printSolver, 1},
        {"m_piPrintInterval", S.m_piPrintInterval, &R.printInterval, 1}};
    for (const CPair& a : doubles) std::copy(a.ref, a.ref + a.size, a.lib);
    for (const auto& [name, lib, r, size] : ints) std::copy(r, r + size, lib);
    S.m_bNonBlockingExch = R.nonBlocking;

    std::vector<double> libSums;
    bound.transport->sum = [&](double local) {
        libSums.push_back(local);
        return GlobalSum(e, static_cast<int>(libSums.size()) - 1, local);
    };
    bound.transport->fillHalo = [&](double* v) { FillHalo(v, n, nTotal); };
    const std::string libConsole = CaptureStdout([&] { bound.Solve(layout, e.ivarb, code, x, b.data()); });
    std::vector<std::string> libCalls;
    for (size_t k = 0, exchange = 0; k < bound.transport->calls.size(); ++k) {
        const std::string& c = bound.transport->calls[k];
        const double* v = c == "Sum" ? nullptr : bound.transport->exchanged[exchange++];
        libCalls.push_back(v == nullptr         ? c
                           : v == x             ? c + " x"
                           : v == S.m_pdVecP    ? c + " p"
                           : v == S.m_pdVecPHat ? c + " phat"
                           : v == S.m_pdVecSHat ? c + " shat"
                                                : c + " ?");
    }

    oracle::CEnvironment env;
    env.sum = [&](double local) { return GlobalSum(e, static_cast<int>(env.handedToSum.size()) - 1, local); };
    env.fillHalo = [&](double* v) { FillHalo(v, n, nTotal); };
    oracle::Solve(OracleMatrix(sys.A), layout, code, R, env, e.ivarb, ref.x.data(), ref.b.data());

    std::string report;
    for (const CPair& a : doubles)
        report += FirstDifference(a.name, std::vector<double>(a.lib, a.lib + a.size),
                                  std::vector<double>(a.ref, a.ref + a.size));
    for (const auto& [name, lib, r, size] : ints)
        report += FirstDifference(name, std::vector<double>(lib, lib + size), std::vector<double>(r, r + size));
    report += FirstDifference("collective call #", libCalls, env.calls);
    report += FirstDifference("value handed to sum #", libSums, env.handedToSum);
    report += FirstDifference("console line #", Lines(libConsole), Lines(env.console));
    return report;
}

// Collects the failing cases of one table; the test fails once, listing the
// first few.
class CFailures {
public:
    void Check(const std::string& what, const std::string& differences)
    {
        ++m_cases;
        if (differences.empty()) return;
        if (++m_failed <= 6) m_report += "--- " + what + "\n" + differences;
    }
    ~CFailures()
    {
        EXPECT_EQ(m_failed, 0) << m_failed << " of " << m_cases << " cases differ from the oracle:\n" << m_report;
    }

private:
    int m_cases = 0;
    int m_failed = 0;
    std::string m_report;
};

void CompareSolves(const std::vector<CSystem>& systems, const std::vector<int>& codes, const std::vector<int>& types,
                   const std::vector<CExit>& exits)
{
    CFailures failures;
    for (const CSystem& sys : systems)
        for (int code : codes)
            for (int type : types)
                for (const CExit& e : exits)
                    for (ELayout layout : kEveryLayout)
                        for (bool poison : {false, true})
                            failures.Check(sys.name + " | " + LayoutName(layout) + " | code " + std::to_string(code) +
                                               " | type " + std::to_string(type) + " | " + e.name +
                                               (poison ? " | poisoned" : ""),
                                           CompareSolve(sys, layout, code, type, e, poison));
}

// The exits shared by the two Krylov methods.
const std::vector<CExit> kKrylovExits = {
    {"converged, progress line every iteration", 300, 1e-6, 1, 0, {1, 1, 0}},
    {"converged, non-blocking, sum twice the local value, line every 3rd",
     300,
     1e-6,
     1,
     kNonBlocking | kTwice,
     {1, 3, 0}},
    {"limit of 4, variable 2, line every 2nd", 4, 1e-14, 2, 0, {1, 2, 0}},
    {"limit 0", 0},
    {"exact initial guess, limit 5", 5, 1e-6, 1, kExact},
    {"tolerance 1", 10, 1.0},
    {"progress line on with interval 0, limit 3", 3, 1e-6, 1, 0, {1, 0, 0}},
    {"progress line on with interval -2, limit 4", 4, 1e-6, 1, 0, {1, -2, 0}},
    {"print flag 0, not silent, limit 3", 3, 1e-6, 1, 0, {0, 1, 0}},
    {"print flag on, silent, limit 3", 3, 1e-6, 1, 0, {1, 1, 1}},
    {"limit -1, progress line every iteration", -1, 1e-6, 1, 0, {1, 1, 0}},
    {"NaN in b runs to the limit of 5", 5, 1e-6, 1, kNaN},
};

// The oracle alone from x (halo included) and b, every sum handed back as it
// came.
struct COracleRun {
    COracleRun(const host::CSparseMatrix& A, ELayout layout, int code, int type, const CExit& e,
               const std::vector<double>& x0, const std::vector<double>& b0)
        : s(StartOf(MakeSystem("", A), e, type, false))
    {
        std::copy(x0.begin(), x0.end(), s.x.begin());
        std::copy(b0.begin(), b0.end(), s.b.begin());
        oracle::Solve(OracleMatrix(A), layout, code, s.S, env, e.ivarb, s.x.data(), s.b.data());
    }
    CStart s;
    oracle::CEnvironment env;
};

} // namespace

// ---------------------------------------------------------------- kernels

TEST(ReferenceKernels, RowProductsAndPreconditionersOnEverySystemLayoutAndType)
{
    CFailures failures;
    std::vector<CSystem> systems = Systems();
    // A stored 0.0 in row 1's upper part facing an infinite product: the
    // layouts that skip it leave D[2] finite, CSR subtracts inf * 0.0 (a NaN).
    systems.push_back(MakeSystem("stored zero facing an infinite product",
                                 FromEntries(2, {{{1, 0.0}, {2, 0.0}}, {{1, 1e300}, {2, 1.0}}})));
    for (const CSystem& sys : systems)
        for (ELayout layout : kEveryLayout)
            for (bool poison : {false, true}) {
                CBoundSystem bound(sys.A, kVariables);
                if (poison) PoisonUnread(bound.host);
                const oracle::CMatrix M = OracleMatrix(sys.A);
                const oracle::CLayoutRules rules = oracle::RulesOf(layout);
                const int n = M.n, owned = n + 1, halo = M.nTotal + 1;
                const std::string what = sys.name + " | " + LayoutName(layout) + (poison ? " | poisoned" : "");

                std::vector<double> v = Filled(20, halo, M.nTotal, poison);
                for (int i = 1; i < halo; ++i) v[i] = std::cos(0.7 * i) + 0.1 * i;
                std::string products;
                for (int i = 1; i <= n; ++i) {
                    std::vector<double> lib = Filled(21, halo, n, poison), ref = lib;
                    (bound.solver.*P::RowProduct(layout))(i, lib.data(), v.data());
                    ref[i] = oracle::RowProduct(M, i, v.data());
                    products += FirstDifference("row product " + std::to_string(i) + ": y", lib, ref);
                }
                failures.Check(what, products);

                std::vector<double> r = Filled(22, owned, n, poison);
                for (int i = 1; i <= n; ++i) r[i] = std::sin(1.1 * i) - 0.02 * i;
                for (int type : {0, 1, 2, 3}) {
                    const std::string with = what + " | type " + std::to_string(type);
                    // The OpenMP-named kernels are the native ones: the poisoned native runs go through them.
                    const bool openmp = layout == ELayout::Native && poison;
                    std::vector<double> libD = Filled(23, owned, poison ? -1 : n, poison), refD = libD, dilu = libD;
                    (bound.solver.*(openmp ? P::kBuildOpenMP : P::Build(layout)))(libD.data(), type);
                    oracle::BuildPreconditioner(M, rules, type, refD.data());
                    failures.Check(with + " | build", FirstDifference("D", libD, refD));
                    if (type == 1) (bound.solver.*P::Dilu(layout))(dilu.data());
                    if (type == 1) failures.Check(with + " | DILU member", FirstDifference("D", dilu, refD));

                    // The application, from the oracle's array on both sides.
                    CQvl3dGV& S = bound.host.store;
                    *S.m_piPrecondType = type;
                    std::vector<double> refWork = Filled(24, owned, poison ? -1 : n, poison);
                    std::copy(refWork.begin(), refWork.end(), S.m_pdPrecondWork);
                    std::vector<double> libZ = Filled(25, halo, n, poison), refZ = libZ, D = refD, rIn = r;
                    (bound.solver.*(openmp ? P::kApplyOpenMP : P::Apply(layout)))(libZ.data(), rIn.data(), D.data());
                    oracle::ApplyPreconditioner(M, rules, type, refZ.data(), r.data(), refD.data(), refWork.data());
                    const std::vector<double> libWork(S.m_pdPrecondWork, S.m_pdPrecondWork + owned);
                    failures.Check(with + " | application", FirstDifference("z", libZ, refZ) +
                                                                FirstDifference("work", libWork, refWork) +
                                                                FirstDifference("r", rIn, r));
                }
            }
}

// The front door's sweep rows, derived from each layout of the bound host
// (poisoned where the layout never reads), against the oracle bit for bit:
// the DILU application run by the rows' schedules. The rows derived again
// from changed values (as Update derives them, the schedules kept) give the
// changed values' bits.
TEST(ReferenceSweepRows, DiluApplicationOnEverySystemAndLayout)
{
    CFailures failures;
    std::vector<CSystem> systems = Systems();
    systems.push_back(Large());
    for (const CSystem& sys : systems)
        for (ELayout layout : kEveryLayout)
            for (bool poison : {false, true}) {
                CBoundSystem bound(sys.A, kVariables);
                if (poison) PoisonUnread(bound.host);
                host::CHostSystem& h = bound.host;
                const std::string what = sys.name + " | " + LayoutName(layout) + (poison ? " | poisoned" : "");
                detail::CPreconditionerStorage storage;
                for (double scale : {1.0, -0.75}) { // the second pass: new values, the same pattern
                    if (scale != 1.0) ScaleValues(h, scale);
                    const oracle::CMatrix M = OracleMatrix(ScaledMatrix(sys.A, scale));
                    const oracle::CLayoutRules rules = oracle::RulesOf(layout);
                    const int n = M.n, owned = n + 1, halo = M.nTotal + 1;
                    std::string differences;
                    WithLayout(h, layout, [&](const auto& A) {
                        detail::DeriveTriangular(storage.sweeps, A);
                        std::vector<double> r = Filled(22, owned, n, poison);
                        for (int i = 1; i <= n; ++i) r[i] = std::sin(1.1 * i) - 0.02 * i;
                        std::vector<double> D = Filled(23, owned, n, poison);
                        oracle::BuildPreconditioner(M, rules, 1, D.data());
                        std::vector<double> libZ = Filled(25, halo, n, poison), refZ = libZ;
                        std::vector<double> libY = Filled(24, owned, n, poison), refY = libY;
                        detail::CDiluSweepRows(storage).Apply(A, libZ.data(), D.data(), libY.data(),
                                                              detail::FromArray(r.data()));
                        oracle::ApplyPreconditioner(M, rules, 1, refZ.data(), r.data(), D.data(), refY.data());
                        differences += FirstDifference("DILU z", libZ, refZ) + FirstDifference("DILU y", libY, refY);
                    });
                    failures.Check(what + (scale != 1.0 ? " | values changed" : ""), differences);
                }
            }
}

// ILU(0) the plain way: each owned row a map from column to value, rows
// eliminated in ascending order, each row's lower columns k ascending, w_j
// -= l_ik u_kj over the columns row i holds; d_i = 1 / (w_i + 1e-30).
struct CPlainIlu0 {
    std::vector<std::map<int, double>> L, U; // 1..n, owned columns
    std::vector<double> d;
};

CPlainIlu0 PlainIlu0(const host::CSparseMatrix& A)
{
    const int n = A.nCell;
    CPlainIlu0 F{std::vector<std::map<int, double>>(n + 1), std::vector<std::map<int, double>>(n + 1),
                 std::vector<double>(n + 1, 0.0)};
    for (int i = 1; i <= n; ++i) {
        std::map<int, double> w;
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e)
            if (A.col[e] <= n) w[A.col[e]] = A.val[e];
        for (auto& [k, a] : w) {
            if (k >= i) break;
            a = a * F.d[k];
            for (const auto& [j, u] : F.U[k])
                if (w.count(j) != 0) w[j] = w[j] - a * u;
        }
        F.d[i] = 1.0 / (w[i] + 1e-30);
        for (const auto& [j, v] : w) (j < i ? F.L[i] : F.U[i]).emplace(j, v);
        F.U[i].erase(i);
    }
    return F;
}

// z = U^-1 L^-1 r the plain way, each row's sums in the layout's order:
// storage order on CSR, ascending columns from the ordered lists.
void PlainIlu0Apply(const CPlainIlu0& F, const host::CSparseMatrix& A, bool ascending, const std::vector<double>& r,
                    std::vector<double>& y, std::vector<double>& z)
{
    const int n = A.nCell;
    auto sum = [&](int i, bool lower, const std::vector<double>& v) {
        Entries part;
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e)
            if (A.col[e] <= n && (lower ? A.col[e] < i : A.col[e] > i)) part.emplace_back(A.col[e], 0.0);
        if (ascending) std::stable_sort(part.begin(), part.end(), [](auto& a, auto& b) { return a.first < b.first; });
        double s = 0.0;
        for (const auto& [j, unused] : part) s = s + (lower ? F.L[i] : F.U[i]).at(j) * v[j];
        return s;
    };
    for (int i = 1; i <= n; ++i) y[i] = r[i] - sum(i, true, y);
    for (int i = n; i >= 1; --i) z[i] = (y[i] - sum(i, false, z)) * F.d[i];
}

// A's rows with a column stored twice kept at its first entry (the front
// door refuses such rows; the factorisation is defined without them).
host::CSparseMatrix FirstOfEachColumn(const host::CSparseMatrix& A)
{
    std::vector<Entries> rows = Rows(A);
    for (Entries& row : rows) {
        Entries kept;
        for (const auto& e : row)
            if (std::none_of(kept.begin(), kept.end(), [&](const auto& k) { return k.first == e.first; }))
                kept.push_back(e);
        row = kept;
    }
    return FromEntries(A.nCellTotal, rows);
}

// The library's ILU(0) factors from each layout (halo columns dropped, rows
// unsorted, a zero pivot guarded, a stored zero kept in the pattern) and
// one application against the plain code above, bit for bit; factored
// again from changed values on the kept schedules, as Update does.
TEST(ReferenceSweepRows, Ilu0FactorsAndApplicationOnEverySystemAndLayout)
{
    CFailures failures;
    std::vector<CSystem> systems;
    for (const CSystem& s : Systems()) systems.push_back(MakeSystem(s.name, FirstOfEachColumn(s.A)));
    systems.push_back(Large());
    systems.push_back(
        MakeSystem("sherman1.mtx, rows unsorted", Scrambled(host::ReadMatrixMarket(test::MatrixPath("sherman1.mtx")))));
    systems.push_back(
        MakeSystem("a zero pivot, rows unsorted",
                   FromEntries(3, {{{2, 1.0}, {1, 0.0}}, {{3, 2.0}, {1, 1.0}, {2, 0.0}}, {{2, -1.0}, {3, 1.0}}})));
    for (const CSystem& sys : systems)
        for (ELayout layout : kEveryLayout) {
            CBoundSystem bound(sys.A, kVariables);
            detail::CIlu0Factors F;
            for (double scale : {1.0, -0.75}) {
                if (scale != 1.0) ScaleValues(bound.host, scale);
                const host::CSparseMatrix M = ScaledMatrix(sys.A, scale);
                const CPlainIlu0 ref = PlainIlu0(M);
                const int n = M.nCell;
                std::vector<double> libF, refF;
                std::string differences;
                WithLayout(bound.host, layout, [&](const auto& A) {
                    detail::DeriveIlu0(F, A);
                    for (int i = 1; i <= n; ++i) {
                        for (bool lower : {true, false}) {
                            const detail::CSweepPart& P = lower ? F.rows.lower : F.rows.upper;
                            const auto& row = (lower ? ref.L : ref.U)[i];
                            if (P.start[i + 1] - P.start[i] != static_cast<int>(row.size()))
                                differences += "row " + std::to_string(i) + ": another pattern\n";
                            for (int e = P.start[i]; e < P.start[i + 1]; ++e) {
                                libF.push_back(P.val[e]);
                                refF.push_back(row.count(P.col[e]) ? row.at(P.col[e]) : -1.0);
                            }
                        }
                        libF.push_back(F.pivot[i]);
                        refF.push_back(ref.d[i]);
                    }
                    std::vector<double> r(n + 1, 0.0), libY(n + 1, -7.0), libZ(M.nCellTotal + 1, -7.0);
                    for (int i = 1; i <= n; ++i) r[i] = std::sin(1.1 * i) - 0.02 * i;
                    std::vector<double> refY = libY, refZ = libZ;
                    detail::Ilu0Apply(F, libZ.data(), libY.data(), detail::FromArray(r.data()));
                    PlainIlu0Apply(ref, M, oracle::RulesOf(layout).orderedLists, r, refY, refZ);
                    differences += FirstDifference("factors", libF, refF) + FirstDifference("y", libY, refY) +
                                   FirstDifference("z", libZ, refZ);
                });
                failures.Check(sys.name + " | " + LayoutName(layout) + (scale != 1.0 ? " | values changed" : ""),
                               differences);
            }
        }
}

// ---------------------------------------------------------------- the oracle

// The oracle against numbers worked by hand, so that it cannot drift from the
// methods along with the library.
TEST(ReferenceOracle, GaussSeidelSweepAndResidual)
{
    // Two coupled cells and halo cell 3: one sweep, off-diagonal products
    // summed from zero in storage order.
    const double x1 = ((1.0 - 3.0 * 0.3) - (-1.0 * -0.2)) / 3.0 + 0.3;
    const double x2 = ((2.0 - 5.0 * -0.2) - ((0.0 + -1.5 * x1) + 0.25 * 2.0)) / 5.0 + -0.2;
    const double r1 = (1.0 - 3.0 * x1) - (-1.0 * x2);
    const double r2 = (2.0 - 5.0 * x2) - ((0.0 + -1.5 * x1) + 0.25 * 2.0);
    const COracleRun run(FromDense({{3, -1}, {-1.5, 5, 0.25}}, 3), ELayout::Native, 4, 0, {"", 1, 0.5},
                         {0, 0.3, -0.2, 2.0}, {0, 1.0, 2.0});
    EXPECT_EQ(run.s.x[1], x1);
    EXPECT_EQ(run.s.x[2], x2);
    EXPECT_EQ(run.s.S.residual0[1], std::sqrt(0.0 + r1 * r1 + r2 * r2));
}

TEST(ReferenceOracle, DiluBuildAndSweeps)
{
    const struct {
        host::CSparseMatrix A;
        std::vector<double> d; // d[1..n]
    } cases[] = {
        {FromDense({{4, 1}, {1, 4}}), {0.25, 1.0 / 3.75}},
        // The guard on a zero diagonal: about 1e30 and finite.
        {FromDense({{0, 1}, {1, 4}}), {1.0 / 1e-30, 1.0 / ((4.0 - (1.0 * (1.0 / 1e-30)) * 1.0) + 1e-30)}},
        // Row 3 touches halo cell 4 with a huge coefficient, and holds cell 1
        // while row 1 does not hold cell 2 (nonsymmetric structure).
        {FromDense({{4, 0, 2}, {1, 5}, {3, 0, 6, 1e300}}, 4),
         {0.25, 1.0 / (5.0 + 1e-30), 1.0 / ((6.0 - (3.0 * 0.25) * 2.0) + 1e-30)}},
    };
    for (ELayout layout : kEveryLayout) {
        const oracle::CLayoutRules rules = oracle::RulesOf(layout);
        for (const auto& c : cases) {
            std::vector<double> d(c.d.size() + 1);
            oracle::BuildPreconditioner(OracleMatrix(c.A), rules, 1, d.data());
            EXPECT_EQ(std::vector<double>(d.begin() + 1, d.end()), c.d) << LayoutName(layout);
        }
        // The sweeps on the first, r = (1, 1): y = (0.25, 0.2), z = (0.2, 0.2).
        double d[3], r[3] = {0, 1, 1}, y[3] = {}, z[3] = {};
        oracle::BuildPreconditioner(OracleMatrix(cases[0].A), rules, 1, d);
        oracle::ApplyPreconditioner(OracleMatrix(cases[0].A), rules, 1, z, r, d, y);
        EXPECT_EQ(y[1], 0.25) << LayoutName(layout);
        EXPECT_DOUBLE_EQ(y[2], 0.2);
        EXPECT_DOUBLE_EQ(z[1], 0.2);
        EXPECT_EQ(z[2], y[2]);
    }
}

// Three cells, the diagonal preconditioner, from x = 0. Sum calls: #0 the
// initial norm, then in iteration k (from 1), from 5(k-1)+1 on: rho, sigma,
// tt, ts, norm.
TEST(ReferenceOracle, BiCgStabThreeCells)
{
    const COracleRun run(FromDense({{4, 1, 0}, {1, 4, 1}, {0, 1, 4}}), ELayout::Native, 2, 3, {"", 3}, {0, 0, 0, 0},
                         {0, 1, 2, 3});
    const std::vector<double>& sums = run.env.handedToSum;
    ASSERT_EQ(sums.size(), 16u);
    EXPECT_EQ(sums[0], 14.0); // |r0|^2
    EXPECT_EQ(sums[1], 14.0); // rho
    EXPECT_EQ(sums[2], 18.0); // sigma: alpha = 7/9
    EXPECT_NEAR(sums[3], 0.193673, 1e-6);
    EXPECT_NEAR(sums[4] / (sums[3] + 1e-30), 1.019920, 1e-6); // omega
    EXPECT_NEAR(std::sqrt(sums[5]), 0.120763, 1e-6);
    EXPECT_NEAR(sums[6], 0.283311, 1e-6);
    EXPECT_NEAR(sums[6] / (sums[7] + 1e-30), 1.118012, 1e-6);
    EXPECT_NEAR(sums[9] / (sums[8] + 1e-30), 1.432755, 1e-6);
    EXPECT_NEAR(std::sqrt(sums[10]), 0.00494776, 1e-8); // does not pass 1e-6: the reference stays
    EXPECT_EQ(run.s.S.residual0[1], std::sqrt(sums[5]));
    EXPECT_EQ(run.s.S.iterCount[1], 3); // iteration 3 reaches the solution
    EXPECT_NEAR(run.s.x[1], 5.0 / 28.0, 1e-15);
    EXPECT_NEAR(run.s.x[2], 2.0 / 7.0, 1e-15);
    EXPECT_NEAR(run.s.x[3], 19.0 / 28.0, 1e-15);
}

TEST(ReferenceOracle, ConjugateGradientProgressLines)
{
    // One cell, a = 2, b = 4: iteration 1 solves it exactly (x = 2, residual
    // 0), so the reference is 0, nothing converges and both iterations print.
    const COracleRun one(FromDense({{2}}), ELayout::Native, 3, 3, {"", 2, 0.5, 1, 0, {1, 1, 0}}, {0, 0}, {0, 4});
    EXPECT_EQ(one.env.console, "   1 0.00000e+00 ivarb=1\n   2 0.00000e+00 ivarb=1\n");
    EXPECT_EQ(one.s.x[1], 2.0);
    // r = (1, 0), p = (1, 0), q = (4, 1), alpha = 1/4: r = (0, -0.25).
    const COracleRun two(FromDense({{4, 1}, {1, 4}}), ELayout::Csr, 3, 0, {"", 1, 0.5, 1, 0, {1, 1, 0}}, {0, 0, 0},
                         {0, 1, 0});
    EXPECT_EQ(two.env.console, "   1 2.50000e-01 ivarb=1\n");
}

// ---------------------------------------------------------------- methods

TEST(ReferenceGaussSeidel, EveryExitOnEverySystemAndLayout)
{
    const std::vector<CExit> exits = {
        {"converged", 300, 0.05},
        {"converged, variable 6, non-blocking, sum twice the local value", 300, 0.05, 6, kNonBlocking | kTwice},
        {"limit of 4, variable 6", 4, 1e-12, 6},
        {"limit 0, variable 6", 0, 1e-6, 6},
        {"limit -1", -1},
        {"exact initial guess, limit 3", 3, 1e-6, 1, kExact},
        {"tolerance above 1", 300, 1.5},
        {"tolerance 1, the ratio of the first sweep, limit 3", 3, 1.0},
        {"NaN in b runs to the limit of 5, variable 6", 5, 1e-6, 6, kNaN},
    };
    CompareSolves(Systems(), {4}, {0}, exits);
}

// The conjugate gradient (code 3) and BiCGSTAB (code 2). After the call z
// holds M^-1 r of the last iteration that ran, and the DILU work vector the
// forward sweep of that r.
TEST(ReferenceKrylov, EveryExitOnEverySystemLayoutAndType)
{
    CompareSolves(Systems(), {3, 2}, {0, 1, 2, 3}, kKrylovExits);
}

// Sum calls as in BiCgStabThreeCells.
TEST(ReferenceBiCgStab, EveryBreakdown)
{
    const double tiny = std::numeric_limits<double>::denorm_min();
    const std::vector<CExit> scripted = {
        {"rho = 0 in iteration 3", 300, 1e-6, 1, 0, {}, {{11, 0.0}}},
        {"beta underflows to 0 in iteration 2", 300, 1e-6, 1, 0, {}, {{1, 8.0}, {6, tiny}}},
        {"sigma = 0 in iteration 2", 300, 1e-6, 1, 0, {}, {{7, 0.0}}},
        {"alpha underflows to 0 in iteration 1", 300, 1e-6, 1, 0, {}, {{1, 1e-300}, {2, 1e300}}},
        {"tt = 0 in iteration 2", 300, 1e-6, 1, 0, {}, {{8, 0.0}}},
        {"omega = 0 (ts = 0) in iteration 1", 300, 1e-6, 1, 0, {}, {{4, 0.0}}},
        {"tt = 0 in iteration 1, non-blocking", 300, 1e-6, 1, kNonBlocking, {}, {{3, 0.0}}},
    };
    CompareSolves({Systems()[1], Systems()[3], Systems()[4]}, {2}, {0, 1, 2, 3}, scripted);

    // Without a script: the identity gives alpha = 1 and tt = 0 in iteration
    // 1, the skew-symmetric matrix with a zero diagonal sigma = 0 (types 0, 2
    // and 3).
    CompareSolves({MakeSystem("identity", FromDense({{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}})),
                   MakeSystem("skew-symmetric 2x2, zero diagonal", FromDense({{0, 1}, {-1, 0}}))},
                  {2}, {0, 1, 2, 3}, {{"unscripted"}});
}

// Codes 2 to 6 and unknown ones through every entry point; preconditioner
// types the methods do not name. A partition without cells makes every
// collective call that the others make. Several row blocks, prefetched rows
// and runs of equal-length rows.
TEST(ReferenceDispatch, SolverCodesTypesAnEmptyPartitionAndALargeSystem)
{
    CompareSolves({Systems()[1], Systems()[3]}, {0, 1, 2, 3, 4, 5, 6, 7}, {1},
                  {{"converged, non-blocking", 300, 1e-4, 1, kNonBlocking}});
    CompareSolves({Systems()[3]}, {2, 3}, {-1, 4}, {{"limit of 4", 4, 1e-14, 1, kNonBlocking}});
    CompareSolves({MakeSystem("no owned cells", host::CSparseBuilder(0, 0).Finish())}, {2, 3, 4}, {0, 1, 3},
                  {{"the others add 1 to every sum, variable 6, limit 4", 4, 1e-6, 6, 0, {}, {}, 1.0}});
    CompareSolves({Large()}, {2, 3, 4}, {0, 1, 3},
                  {{"limit of 5, non-blocking, line every 2nd", 5, 1e-14, 1, kNonBlocking, {1, 2, 0}}});
}
