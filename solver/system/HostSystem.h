// The reference host's objects for one partition: mesh, store, accelerator
// store and OpenMP store, filled from an assembled matrix in all three
// layouts (or the native rows and those asked for), with the settings,
// per-variable arrays and work vectors a solve needs. The library's front
// door (Solve.h) builds its layouts with this class too. Arrays come from
// the memory tool (CQVLMemTool), as a real host's do; one object owns every
// array it hands out and frees them all, the OpenMP store's m_pdAELL
// (allocated by the solver's set-up) included.
//
// Layout choices: the native slots and the ELL slots keep the matrix's
// storage order of the off-diagonal entries; the CSR rows put the diagonal
// first and then the same order, with entries counted from 0. The ordered
// slot lists hold the lower part (columns below the cell) and the upper part
// (columns above it, halo cells included) each in ascending column order.
// With rows sorted by column (SortRows) all three layouts describe one
// matrix entry for entry and sum in the same order.
//
// Room: vectors that are exchanged (m_pdVecP, m_pdVecSHat, m_pdVecPHat) and
// NewVector() cover cells 1..m_nCellTotal; the other work vectors and the
// preconditioner arrays cover 1..m_nCell.
#ifndef QVL3D_HOST_HOSTSYSTEM_H
#define QVL3D_HOST_HOSTSYSTEM_H

#include <qvl3d/HostObjects.h>
#include <qvl3d/QVLExport.h>
#include "SparseMatrix.h"
#include "Validation.h"

#include <utility>
#include <vector>

class CSingleGridSolver;
class CCommunication;
class CQVLCom;

namespace qvl3d {
namespace host {

// Who checks the matrix's structure: the constructor, or a caller that has
// refused every matrix the constructor would (the front door, whose own
// checks name the caller's rows and entries), so that it is not walked twice.
enum class EStructureCheck { ByConstructor, ByCaller };

// Rows as a caller holds them, for the constructor that reads them in
// place: rows 1..nCell are entries rowStart[i-1] .. rowStart[i]-1, whose
// cells are col[e] + columnShift (1..nCellTotal) and whose values are
// val[e]. With val null the coefficients (native, CSR and ELL, halo and
// padding slots aside) are left for the caller to write before any use.
struct CRowsView {
    int nCell = 0;
    int nCellTotal = 0;
    const int* rowStart = nullptr; // nCell + 1 offsets from 0
    const int* col = nullptr;
    int columnShift = 0;
    const double* val = nullptr;
};

class QVL3D_EXPORT CHostSystem {
public:
    // nVariables: length of the per-variable arrays (variables 0..nVariables-1).
    // layouts: which of the CSR and ELL arrays to build besides the native
    // rows, which are always built (the other two are filled from them);
    // the arrays of a layout left out stay null and Validate() skips them.
    // Throws std::invalid_argument, naming the row or entry, for a matrix the
    // layouts cannot hold: counts out of order, a column outside
    // 1..nCellTotal, a row without its diagonal or with it twice, or sizes
    // beyond the int range of the layouts' indices. Values are not checked
    // (a zero diagonal is the validation's business). With ByCaller nothing
    // of that is checked here.
    explicit CHostSystem(const CSparseMatrix& A, int nVariables = 8, unsigned layouts = kAllLayouts,
                         EStructureCheck check = EStructureCheck::ByConstructor);
    // The same from rows whose structure the caller has checked (as
    // EStructureCheck::ByCaller), read in place: no assembled copy.
    CHostSystem(const CRowsView& A, int nVariables, unsigned layouts);
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
    unsigned Layouts() const
    {
        return m_layouts;
    } // those built: LayoutBit(ELayout::Native) and what the constructor was asked for

    // A cell vector with halo room (1..m_nCellTotal), zero-filled, owned here.
    double* NewVector();

    // Per-variable limits and the store's settings.
    void SetVariable(int ivarb, int maxIter, double tolerance);
    void SetPreconditioner(int type) { *store.m_piPrecondType = type; }

    // Binds store, mesh, accelerator store, OpenMP store and the communication
    // objects. Returns 0, or the first non-zero binding result.
    int Bind(CSingleGridSolver& solver, CCommunication& commu, CQVLCom& com);

    // The room of every flat array, for ValidateHost.
    const CHostRoom& Room() const { return m_room; }
    CValidationReport Validate(int ivarb = -1, size_t maxProblems = 10) const;

    // Bytes this object has requested from the memory tool.
    double AllocatedBytes() const { return m_arrays.bytes; }

private:
    // Every array of the host, allocated through CQVLMemTool and freed
    // through it when the system goes (also when its constructor throws).
    struct CToolArrays {
        CToolArrays() = default;
        CToolArrays(const CToolArrays&) = delete;
        CToolArrays& operator=(const CToolArrays&) = delete;
        ~CToolArrays();
        double* Doubles(long long count, bool cleared = true);
        int* Ints(long long count, bool cleared = true);

        std::vector<std::pair<double*, int>> doubles; // pointer, upper bound
        std::vector<std::pair<int*, int>> ints;
        double bytes = 0.0;
    };

    void BuildRows(const CRowsView& A, int maxOff);
    void BuildCsr(long long nnz, bool values);
    void BuildEll(int maxOff, bool values);
    void BuildSettings();
    double* Doubles(long long count) { return m_arrays.Doubles(count); }
    int* Ints(long long count) { return m_arrays.Ints(count); }
    // Uncleared, for arrays whose every element the builder writes.
    double* FilledDoubles(long long count) { return m_arrays.Doubles(count, false); }
    int* FilledInts(long long count) { return m_arrays.Ints(count, false); }

    CToolArrays m_arrays;
    int m_nVariables;
    unsigned m_layouts;
    CHostRoom m_room;
    // Row-pointer arrays of the native layout (the tool has no vector of
    // pointers); the rows themselves are carved from tool vectors.
    std::vector<double*> m_coefRows;
    std::vector<int*> m_neighborRows;
    std::vector<int*> m_orderedRows;
};

} // namespace host
} // namespace qvl3d

#endif
