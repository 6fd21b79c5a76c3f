// The reference host's objects for one partition: mesh, store, accelerator
// store and OpenMP store, filled from an assembled matrix in all three
// layouts, with the settings, per-variable arrays and work vectors a solve
// needs. One object owns every array it hands out.
//
// Layout choices: the native slots and the ELL slots keep the matrix's
// storage order of the off-diagonal entries; the CSR rows put the diagonal
// first and then the same order. The ordered slot lists hold the lower part
// (columns below the cell) and the upper part (columns above it, halo cells
// included) each in ascending column order. With rows sorted by column
// (SortRows) all three layouts describe one matrix entry for entry.
#ifndef QVL3D_HOST_HOSTSYSTEM_H
#define QVL3D_HOST_HOSTSYSTEM_H

#include "HostObjects.h"
#include "SparseMatrix.h"

#include <memory>
#include <vector>

class CSingleGridSolver;
class CCommunication;
class CQVLCom;

namespace qvl3d {
namespace host {

class CHostSystem {
public:
    // nVariables: length of the per-variable arrays (variables 0..nVariables-1).
    explicit CHostSystem(const CSparseMatrix& A, int nVariables = 8);
    CHostSystem(const CHostSystem&) = delete;
    CHostSystem& operator=(const CHostSystem&) = delete;
    ~CHostSystem();

    CQVL3DFiniteVolumeMesh mesh;
    CQvl3dGV store;
    CQVLGVGPU gpu;
    CQVLGVOpenMP openmp;

    int Cells() const { return mesh.m_nCell; }
    int CellsTotal() const { return mesh.m_nCellTotal; }
    int Variables() const { return m_nVariables; }

    // A cell vector with halo room (1..m_nCellTotal), zero-filled, owned here.
    double* NewVector();

    // Per-variable limits and the store's settings.
    void SetVariable(int ivarb, int maxIter, double tolerance);
    void SetPreconditioner(int type) { *store.m_piPrecondType = type; }

    // Binds store, mesh, accelerator store, OpenMP store and the communication
    // objects. Returns 0, or the first non-zero binding result.
    int Bind(CSingleGridSolver& solver, CCommunication& commu, CQVLCom& com);

private:
    template <class T>
    T* Array(size_t n);

    int m_nVariables;
    std::vector<std::unique_ptr<double[]>> m_doubles;
    std::vector<std::unique_ptr<int[]>> m_ints;
    std::vector<std::unique_ptr<double*[]>> m_doubleRows;
    std::vector<std::unique_ptr<int*[]>> m_intRows;
};

} // namespace host
} // namespace qvl3d

#endif
