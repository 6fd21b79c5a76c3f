#include "HostSystem.h"

#include "SingleGridSolver.h"

#include <algorithm>
#include <stdexcept>

namespace qvl3d {
namespace host {

template <>
double* CHostSystem::Array<double>(size_t n)
{
    m_doubles.emplace_back(new double[n == 0 ? 1 : n]());
    return m_doubles.back().get();
}

template <>
int* CHostSystem::Array<int>(size_t n)
{
    m_ints.emplace_back(new int[n == 0 ? 1 : n]());
    return m_ints.back().get();
}

template <>
double** CHostSystem::Array<double*>(size_t n)
{
    m_doubleRows.emplace_back(new double*[n == 0 ? 1 : n]());
    return m_doubleRows.back().get();
}

template <>
int** CHostSystem::Array<int*>(size_t n)
{
    m_intRows.emplace_back(new int*[n == 0 ? 1 : n]());
    return m_intRows.back().get();
}

CHostSystem::CHostSystem(const CSparseMatrix& A, int nVariables) : m_nVariables(nVariables)
{
    const int n = A.nCell;
    const int nTotal = A.nCellTotal;
    const size_t cells = static_cast<size_t>(n) + 1;
    const size_t cellsTotal = static_cast<size_t>(nTotal) + 1;

    mesh.m_nCell = n;
    mesh.m_nCellTotal = nTotal;
    mesh.m_piNumNeighbor = Array<int>(cellsTotal);
    mesh.m_ppiNeighbor = Array<int*>(cells);
    store.m_ppdCoef = Array<double*>(cells);
    store.m_ppiOrderedSlot = Array<int*>(cells);
    store.m_piDiagPos = Array<int>(cells);

    // Native rows: diagonal in slot 0, the other entries in storage order.
    int maxNeighbors = 0;
    for (int i = 1; i <= n; ++i) {
        const int b = A.RowBegin(i), e = A.RowEnd(i);
        const int nn = e - b - 1;
        if (nn < 0) throw std::invalid_argument("row without a diagonal entry");
        maxNeighbors = std::max(maxNeighbors, nn);
        mesh.m_piNumNeighbor[i] = nn;
        int* nb = mesh.m_ppiNeighbor[i] = Array<int>(static_cast<size_t>(nn) + 1);
        double* a = store.m_ppdCoef[i] = Array<double>(static_cast<size_t>(nn) + 1);
        int k = 0;
        bool diagSeen = false;
        for (int p = b; p < e; ++p) {
            if (A.col[p] == i && !diagSeen) {
                a[0] = A.val[p];
                diagSeen = true;
            } else {
                ++k;
                if (k > nn) break;
                nb[k] = A.col[p];
                a[k] = A.val[p];
            }
        }
        if (!diagSeen) throw std::invalid_argument("row without a diagonal entry");

        // Ordered slots: lower part ascending by column, the diagonal, upper part ascending.
        int* ord = store.m_ppiOrderedSlot[i] = Array<int>(static_cast<size_t>(nn) + 2);
        std::vector<int> slots(static_cast<size_t>(nn));
        for (int s = 1; s <= nn; ++s) slots[s - 1] = s;
        std::stable_sort(slots.begin(), slots.end(), [&](int p, int q) { return nb[p] < nb[q]; });
        int place = 1;
        for (int s : slots)
            if (nb[s] < i) ord[place++] = s;
        store.m_piDiagPos[i] = place;
        ord[place++] = 0;
        for (int s : slots)
            if (nb[s] >= i) ord[place++] = s;
    }

    // CSR: 0-based entries, diagonal first, then the native slot order.
    mesh.m_piCSRRowStart = Array<int>(static_cast<size_t>(n) + 2);
    mesh.m_pdCSRValue = Array<double>(static_cast<size_t>(A.NonZeros()));
    mesh.m_piCSRColumn = Array<int>(static_cast<size_t>(A.NonZeros()));
    int entry = 0;
    for (int i = 1; i <= n; ++i) {
        mesh.m_piCSRRowStart[i] = entry;
        mesh.m_pdCSRValue[entry] = store.m_ppdCoef[i][0];
        mesh.m_piCSRColumn[entry] = i;
        ++entry;
        for (int k = 1; k <= mesh.m_piNumNeighbor[i]; ++k, ++entry) {
            mesh.m_pdCSRValue[entry] = store.m_ppdCoef[i][k];
            mesh.m_piCSRColumn[entry] = mesh.m_ppiNeighbor[i][k];
        }
    }
    mesh.m_piCSRRowStart[n + 1] = entry;

    // ELL, slot-major with -1 padding; halo rows are all empty.
    const int width = maxNeighbors + 1;
    const size_t ellSize = static_cast<size_t>(width) * static_cast<size_t>(nTotal);
    gpu.m_nELLWidth = width;
    gpu.m_pdELLValue = Array<double>(ellSize);
    gpu.m_piELLColumn = Array<int>(ellSize);
    std::fill(gpu.m_piELLColumn, gpu.m_piELLColumn + ellSize, -1);
    store.m_piOrderedSlotELL = Array<int>(static_cast<size_t>(width) * static_cast<size_t>(n));
    for (int i = 1; i <= n; ++i) {
        const int nn = mesh.m_piNumNeighbor[i];
        for (int s = 0; s <= nn; ++s) {
            const size_t e = static_cast<size_t>(s) * nTotal + (i - 1);
            gpu.m_pdELLValue[e] = store.m_ppdCoef[i][s];
            gpu.m_piELLColumn[e] = s == 0 ? i : mesh.m_ppiNeighbor[i][s];
        }
        for (int p = 1; p <= nn + 1; ++p)
            store.m_piOrderedSlotELL[static_cast<size_t>(p - 1) * n + (i - 1)] = store.m_ppiOrderedSlot[i][p];
    }

    // Settings, each a single value.
    store.m_piPrecondType = Array<int>(1);
    store.m_piPrintSolver = Array<int>(1);
    store.m_piPrintInterval = Array<int>(1);
    store.m_piSilent = Array<int>(1);
    store.m_pdSolutionMax = Array<double>(1);
    store.m_pdSolutionMin = Array<double>(1);
    *store.m_piPrintInterval = 1;
    *store.m_piSilent = 1;

    const size_t vars = static_cast<size_t>(nVariables);
    store.m_piMaxIter = Array<int>(vars);
    store.m_pdTolerance = Array<double>(vars);
    store.m_pdResidual0 = Array<double>(vars);
    store.m_piIterCount = Array<int>(vars);

    store.m_pdPrecondDiag = Array<double>(cells);
    store.m_pdPrecondWork = Array<double>(cells);
    for (double** v : {&store.m_pdVecR, &store.m_pdVecQ, &store.m_pdVecZ, &store.m_pdVecT, &store.m_pdVecR0Hat})
        *v = Array<double>(cells);
    for (double** v : {&store.m_pdVecP, &store.m_pdVecSHat, &store.m_pdVecPHat}) *v = Array<double>(cellsTotal);
}

// The solver's OpenMP set-up allocates m_pdAELL with new[]; it is ours to free.
CHostSystem::~CHostSystem()
{
    delete[] openmp.m_pdAELL;
}

double* CHostSystem::NewVector()
{
    return Array<double>(static_cast<size_t>(mesh.m_nCellTotal) + 1);
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

} // namespace host
} // namespace qvl3d
