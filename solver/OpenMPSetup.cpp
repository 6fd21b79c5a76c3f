// Storage for the temporary ELL-shaped matrix of OpenMP acceleration. Nothing
// in the library reads it afterwards; it belongs to the host's OpenMP store.
#include <qvl3d/SingleGridSolver.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>

// Longest row (diagonal plus neighbours) over owned and halo cells; 0 without cells.
void CSingleGridSolver::FindMaxNColumnAtemp_OpenMP()
{
    const int n = m_nCellTotalOpenMP;
    const int* numNeighbor = m_pFVMesh->m_piNumNeighbor;
    std::unique_ptr<int[]> rowLength(new int[n > 0 ? n : 0]); // throws on exhaustion
    for (int i = 0; i < n; ++i) rowLength[i] = 1;
    for (int i = 1; i <= n; ++i)
        if (numNeighbor[i] >= 1) rowLength[i - 1] += numNeighbor[i];
    int longest = 0;
    for (int i = 0; i < n; ++i)
        if (rowLength[i] > longest) longest = rowLength[i];
    m_pGVOpenMP->m_nMaxNColumnAtemp = longest;
}

// Allocates m_pdAELL with the non-throwing array form (the host frees it with
// delete[]) and clears it. The element count is formed in 64 bits; a size
// that cannot be represented or allocated leaves the pointer null.
bool CSingleGridSolver::AllocateCPUMemory_OpenMP()
{
    const std::int64_t count = static_cast<std::int64_t>(m_pGVOpenMP->m_nNNUtemp) * m_pGVOpenMP->m_nMaxNColumnAtemp;
    double* p = nullptr;
    if (count >= 0 && static_cast<std::uint64_t>(count) <= std::numeric_limits<std::size_t>::max() / sizeof(double))
        p = new (std::nothrow) double[static_cast<std::size_t>(count)];
    m_pGVOpenMP->m_pdAELL = p;
    if (p == nullptr) {
        std::printf("Allocate AELL failed\n");
        return false;
    }
    for (std::int64_t k = 0; k < count; ++k) p[k] = 0.0;
    return true;
}

void CSingleGridSolver::FindNewNNUtemp_OpenMP()
{
    m_pGVOpenMP->m_nNNUtemp = m_nCellTotalOpenMP;
}
