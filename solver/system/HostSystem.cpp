#include "HostSystem.h"

#include <qvl3d/QVLMemTool.h>
#include <qvl3d/SingleGridSolver.h>
#include "MemToolUncleared.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

namespace qvl3d {
namespace host {

namespace {

constexpr long long kIntMax = std::numeric_limits<int>::max();

[[noreturn]] void Refuse(const std::string& what)
{
    throw std::invalid_argument("host system: " + what);
}

// Structural checks of the assembled matrix (the ELL size only when that
// layout is built); returns the largest number of off-diagonal entries in a
// row.
int CheckMatrix(const CSparseMatrix& A, bool ell)
{
    const int n = A.nCell, nTotal = A.nCellTotal;
    if (n < 0) Refuse("negative cell count " + std::to_string(n));
    if (nTotal < n) Refuse("nCellTotal " + std::to_string(nTotal) + " is less than nCell " + std::to_string(n));
    if (nTotal >= kIntMax) Refuse("too many cells");
    if (n == 0 && A.rowStart.empty() && A.col.empty() && A.val.empty()) return 0; // no rows at all
    if (A.rowStart.size() != static_cast<size_t>(n) + 1)
        Refuse("rowStart holds " + std::to_string(A.rowStart.size()) + " offsets for " + std::to_string(n) + " rows");
    if (A.col.size() != A.val.size()) Refuse("column and value arrays differ in length");
    if (A.col.size() > static_cast<size_t>(kIntMax)) Refuse("more than 2147483647 entries");
    if (A.rowStart[0] != 0 || A.rowStart[n] != A.NonZeros()) Refuse("rowStart does not span the entries");
    for (int i = 1; i <= n; ++i)
        if (A.RowEnd(i) < A.RowBegin(i) || A.RowEnd(i) > A.NonZeros())
            Refuse("row " + std::to_string(i) + " ends before it begins or past the entries");
    int maxOff = 0;
    for (int i = 1; i <= n; ++i) {
        const int b = A.RowBegin(i), e = A.RowEnd(i);
        int diagonals = 0;
        for (int p = b; p < e; ++p) {
            const int c = A.col[p];
            if (c < 1 || c > nTotal)
                Refuse("row " + std::to_string(i) + ": column " + std::to_string(c) + " is outside 1.." +
                       std::to_string(nTotal));
            if (c == i) ++diagonals;
        }
        if (diagonals == 0) Refuse("row " + std::to_string(i) + " has no diagonal entry");
        if (diagonals > 1)
            Refuse("row " + std::to_string(i) + " holds its diagonal " + std::to_string(diagonals) + " times");
        maxOff = std::max(maxOff, e - b - 1);
    }
    if (static_cast<long long>(A.NonZeros()) + n > kIntMax) Refuse("the ordered slot lists exceed the int range");
    const long long slots = static_cast<long long>(maxOff + 1) * nTotal;
    if (ell && slots > kIntMax)
        Refuse("the ELL layout would need " + std::to_string(slots) + " slots (width " + std::to_string(maxOff + 1) +
               " x " + std::to_string(nTotal) + " cells), beyond the int range of its index");
    return maxOff;
}

// The entries of the longest row (0 without rows).
int LongestRow(const CSparseMatrix& A)
{
    int longest = 0;
    for (int i = 1; i <= A.nCell; ++i) longest = std::max(longest, A.RowEnd(i) - A.RowBegin(i));
    return longest;
}

// The ordered slots of row i (places 1..nn+1 of ord): the lower part
// ascending by column, the diagonal, the upper part ascending; returns the
// diagonal's place. Rows whose columns come ascending already keep their
// slot order; the others are sorted by an insertion sort (rows are short,
// and it keeps equal columns in slot order without the buffer a library
// stable sort allocates).
int OrderSlots(int i, int nn, const int* nb, bool ascending, int* ord, std::vector<int>& slots)
{
    int place = 1;
    if (ascending) {
        int s = 1;
        for (; s <= nn && nb[s] < i; ++s) ord[place++] = s;
        const int diagonal = place;
        ord[place++] = 0;
        for (; s <= nn; ++s) ord[place++] = s;
        return diagonal;
    }
    slots.resize(static_cast<size_t>(nn));
    for (int s = 1; s <= nn; ++s) {
        int k = s - 1;
        for (; k > 0 && nb[slots[k - 1]] > nb[s]; --k) slots[k] = slots[k - 1];
        slots[k] = s;
    }
    for (int s : slots)
        if (nb[s] < i) ord[place++] = s;
    const int diagonal = place;
    ord[place++] = 0;
    for (int s : slots)
        if (nb[s] > i) ord[place++] = s;
    return diagonal;
}

} // namespace

CHostSystem::CToolArrays::~CToolArrays()
{
    for (auto& [p, nh] : doubles) CQVLMemTool::free_dvector(p, 0, nh);
    for (auto& [p, nh] : ints) CQVLMemTool::free_ivector(p, 0, nh);
}

// count elements 0..count-1, zero-filled unless the caller writes every
// one; count fits in int (checked by the constructor before any
// allocation). Counted alike either way.
double* CHostSystem::CToolArrays::Doubles(long long count, bool cleared)
{
    const int nh = static_cast<int>(count) - 1;
    doubles.reserve(doubles.size() + 1); // no throw between allocation and record
    double* p = cleared ? CQVLMemTool::dvector(0, nh) : tools::UnclearedDoubles(nh);
    doubles.emplace_back(p, nh);
    bytes += 8.0 * static_cast<double>(count);
    return p;
}

int* CHostSystem::CToolArrays::Ints(long long count, bool cleared)
{
    const int nh = static_cast<int>(count) - 1;
    ints.reserve(ints.size() + 1);
    int* p = cleared ? CQVLMemTool::ivector(0, nh) : tools::UnclearedInts(nh);
    ints.emplace_back(p, nh);
    bytes += 4.0 * static_cast<double>(count);
    return p;
}

CHostSystem::CHostSystem(const CSparseMatrix& A, int nVariables, unsigned layouts, EStructureCheck check)
    : m_nVariables(nVariables), m_layouts((layouts & kAllLayouts) | LayoutBit(ELayout::Native))
{
    if (nVariables < 1) Refuse("at least one variable is needed");
    if (A.nCellTotal >= kIntMax - 1) Refuse("too many cells");
    const int maxOff = check == EStructureCheck::ByCaller ? std::max(0, LongestRow(A) - 1)
                                                          : CheckMatrix(A, m_layouts & LayoutBit(ELayout::Ell));
    BuildRows(CRowsView{A.nCell, A.nCellTotal, A.rowStart.data(), A.col.data(), 0, A.val.data()}, maxOff);
}

CHostSystem::CHostSystem(const CRowsView& A, int nVariables, unsigned layouts)
    : m_nVariables(nVariables), m_layouts((layouts & kAllLayouts) | LayoutBit(ELayout::Native))
{
    if (nVariables < 1) Refuse("at least one variable is needed");
    if (A.nCellTotal >= kIntMax - 1) Refuse("too many cells");
    int longest = 0;
    for (int i = 0; i < A.nCell; ++i) longest = std::max(longest, A.rowStart[i + 1] - A.rowStart[i]);
    BuildRows(A, std::max(0, longest - 1));
}

// The native rows carved from three pools: row i takes nn(i)+1 coefficients
// and neighbour slots (slot 0 of the neighbour row unused, 0) and nn(i)+2
// ordered places (place 0 unused, 0); then the other layouts asked for and
// the settings. The pools' every element is written here (the coefficients
// by the caller where no values come), so they are not cleared first.
void CHostSystem::BuildRows(const CRowsView& A, int maxOff)
{
    const int n = A.nCell;
    const int nTotal = A.nCellTotal;
    const long long nnz = n > 0 ? A.rowStart[n] : 0;
    const bool values = A.val != nullptr;

    mesh.m_nCell = n;
    mesh.m_nCellTotal = nTotal;
    mesh.m_piNumNeighbor = Ints(nTotal + 1LL); // the halo cells' counts stay 0
    m_room.numNeighbor = nTotal + 1LL;
    store.m_piDiagPos = FilledInts(n + 1LL);
    store.m_piDiagPos[0] = 0;
    m_room.diagPos = n + 1LL;

    double* coefPool = FilledDoubles(nnz);
    int* neighborPool = FilledInts(nnz);
    int* orderedPool = FilledInts(nnz + n);
    m_coefRows.assign(static_cast<size_t>(n) + 1, nullptr);
    m_neighborRows.assign(static_cast<size_t>(n) + 1, nullptr);
    m_orderedRows.assign(static_cast<size_t>(n) + 1, nullptr);
    std::vector<int> slots;
    const int shift = A.columnShift;
    for (int i = 1; i <= n; ++i) {
        const int b = A.rowStart[i - 1], e = A.rowStart[i];
        const int nn = e - b - 1;
        mesh.m_piNumNeighbor[i] = nn;
        double* a = m_coefRows[i] = coefPool + b;
        int* nb = m_neighborRows[i] = neighborPool + b;
        int* ord = m_orderedRows[i] = orderedPool + b + (i - 1);
        nb[0] = 0;
        ord[0] = 0;
        int k = 0;
        bool ascending = true; // the other columns, strictly
        for (int p = b; p < e; ++p) {
            const int c = A.col[p] + shift;
            if (c == i) {
                if (values) a[0] = A.val[p];
            } else {
                ++k;
                nb[k] = c;
                if (values) a[k] = A.val[p];
                ascending = ascending && (k == 1 || nb[k - 1] < c);
            }
        }
        store.m_piDiagPos[i] = OrderSlots(i, nn, nb, ascending, ord, slots);
    }
    mesh.m_ppiNeighbor = m_neighborRows.data();
    store.m_ppdCoef = m_coefRows.data();
    store.m_ppiOrderedSlot = m_orderedRows.data();

    if (m_layouts & LayoutBit(ELayout::Csr)) BuildCsr(nnz, values);
    if (m_layouts & LayoutBit(ELayout::Ell)) BuildEll(maxOff, values);
    BuildSettings();
}

// CSR: entries counted from 0, diagonal first, then the native slot order
// (offset 0 unused, 0). Every element is written (the values by the caller
// where none came).
void CHostSystem::BuildCsr(long long nnz, bool values)
{
    const int n = mesh.m_nCell;
    mesh.m_piCSRRowStart = FilledInts(n + 2LL);
    mesh.m_pdCSRValue = FilledDoubles(nnz);
    mesh.m_piCSRColumn = FilledInts(nnz);
    m_room.csrRowStart = n + 2LL;
    m_room.csrEntries = nnz;
    mesh.m_piCSRRowStart[0] = 0;
    int entry = 0;
    for (int i = 1; i <= n; ++i) {
        mesh.m_piCSRRowStart[i] = entry;
        const int nn = mesh.m_piNumNeighbor[i];
        const int* nb = mesh.m_ppiNeighbor[i];
        int* col = mesh.m_piCSRColumn + entry;
        col[0] = i;
        for (int k = 1; k <= nn; ++k) col[k] = nb[k];
        if (values) std::copy(store.m_ppdCoef[i], store.m_ppdCoef[i] + nn + 1, mesh.m_pdCSRValue + entry);
        entry += nn + 1;
    }
    mesh.m_piCSRRowStart[n + 1] = entry;
}

// ELL, slot-major with -1 padding; halo rows are all empty.
void CHostSystem::BuildEll(int maxOff, bool values)
{
    const int n = mesh.m_nCell;
    const int nTotal = mesh.m_nCellTotal;
    const int width = maxOff + 1;
    const long long ellSize = static_cast<long long>(width) * nTotal;
    gpu.m_nELLWidth = width;
    gpu.m_pdELLValue = Doubles(ellSize);
    gpu.m_piELLColumn = FilledInts(ellSize);
    m_room.ellEntries = ellSize;
    std::fill(gpu.m_piELLColumn, gpu.m_piELLColumn + ellSize, -1);
    store.m_piOrderedSlotELL = Ints(static_cast<long long>(width) * n);
    m_room.orderedSlotEll = static_cast<long long>(width) * n;
    for (int i = 1; i <= n; ++i) {
        const int nn = mesh.m_piNumNeighbor[i];
        for (int s = 0; s <= nn; ++s) {
            const long long e = static_cast<long long>(s) * nTotal + (i - 1);
            if (values) gpu.m_pdELLValue[e] = store.m_ppdCoef[i][s];
            gpu.m_piELLColumn[e] = s == 0 ? i : mesh.m_ppiNeighbor[i][s];
        }
        for (int p = 1; p <= nn + 1; ++p)
            store.m_piOrderedSlotELL[static_cast<long long>(p - 1) * n + (i - 1)] = store.m_ppiOrderedSlot[i][p];
    }
}

// Settings, each a single value: quiet, interval 1 in case a caller turns
// the progress line on. Per-variable arrays, preconditioner arrays and work
// vectors.
void CHostSystem::BuildSettings()
{
    const int n = mesh.m_nCell;
    const int nTotal = mesh.m_nCellTotal;
    const int nVariables = m_nVariables;
    store.m_piPrecondType = Ints(1);
    store.m_piPrintSolver = Ints(1);
    store.m_piPrintInterval = Ints(1);
    store.m_piSilent = Ints(1);
    store.m_pdSolutionMax = Doubles(1);
    store.m_pdSolutionMin = Doubles(1);
    *store.m_piPrintInterval = 1;
    *store.m_piSilent = 1;

    store.m_piMaxIter = Ints(nVariables);
    store.m_pdTolerance = Doubles(nVariables);
    store.m_pdResidual0 = Doubles(nVariables);
    store.m_piIterCount = Ints(nVariables);
    m_room.perVariable = nVariables;

    const long long owned = n + 1LL, halo = nTotal + 1LL;
    store.m_pdPrecondDiag = Doubles(owned);
    store.m_pdPrecondWork = Doubles(owned);
    m_room.precondDiag = m_room.precondWork = owned;
    store.m_pdVecR = Doubles(owned);
    store.m_pdVecQ = Doubles(owned);
    store.m_pdVecZ = Doubles(owned);
    store.m_pdVecT = Doubles(owned);
    store.m_pdVecR0Hat = Doubles(owned);
    m_room.vecR = m_room.vecQ = m_room.vecZ = m_room.vecT = m_room.vecR0Hat = owned;
    store.m_pdVecP = Doubles(halo);
    store.m_pdVecSHat = Doubles(halo);
    store.m_pdVecPHat = Doubles(halo);
    m_room.vecP = m_room.vecSHat = m_room.vecPHat = halo;
}

// The solver's OpenMP set-up allocates m_pdAELL with new[]; it is ours to free.
CHostSystem::~CHostSystem()
{
    delete[] openmp.m_pdAELL;
}

double* CHostSystem::NewVector()
{
    return Doubles(mesh.m_nCellTotal + 1LL);
}

void CHostSystem::SetVariable(int ivarb, int maxIter, double tolerance)
{
    store.m_piMaxIter[ivarb] = maxIter;
    store.m_pdTolerance[ivarb] = tolerance;
}

int CHostSystem::Bind(CSingleGridSolver& solver, CCommunication& commu, CQVLCom& com)
{
    int rc = solver.getGV(&store, &mesh);
    if (rc == 0) rc = solver.getCommunication(&commu, &com);
    if (rc == 0) rc = solver.getGVOpenMP(&openmp);
    if (rc == 0 && gpu.m_pGPUtool == nullptr) gpu.m_pGPUtool = &gpu; // no accelerator: any non-null tag
    if (rc == 0) rc = solver.getGVGPU(&gpu);
    return rc;
}

CValidationReport CHostSystem::Validate(int ivarb, size_t maxProblems) const
{
    return ValidateHost(mesh, store, gpu, m_room, m_layouts, ivarb, maxProblems);
}

} // namespace host
} // namespace qvl3d
