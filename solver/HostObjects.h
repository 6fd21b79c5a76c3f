// The host's objects as the solver reads them: the mesh, the coefficient
// store, the accelerator store holding the ELL arrays and the OpenMP store.
//
// Cells are numbered from 1: cells 1..m_nCell are owned by the partition,
// cells m_nCell+1..m_nCellTotal are halo copies of other partitions' cells.
// Arrays indexed by cell number use the number itself; element 0 is unused.
// Members documented as "element 0" point to a single value.
//
// The solver checks none of these members; their contents are the host's
// preconditions (see the reference host's validation).
#ifndef QVL3D_HOSTOBJECTS_H
#define QVL3D_HOSTOBJECTS_H

class CQVL3DFiniteVolumeMesh {
public:
    int m_nCell = 0;                // owned cells
    int m_nCellTotal = 0;           // owned plus halo cells, >= m_nCell
    int* m_piNumNeighbor = nullptr; // [1..m_nCellTotal] nn(i)
    int** m_ppiNeighbor = nullptr;  // [1..m_nCell][1..nn(i)] neighbour cell numbers
    double* m_pdCSRValue = nullptr; // CSR values, each row's diagonal first
    int* m_piCSRRowStart = nullptr; // [1..m_nCell+1] first entry of row i
    int* m_piCSRColumn = nullptr;   // CSR columns (cell numbers); the diagonal's is not read
};

class CQvl3dGV {
public:
    // Settings (element 0 unless said otherwise).
    int* m_piPrecondType = nullptr;    // 0 none, 1 DILU, 3 reciprocal diagonal
    int* m_piPrintSolver = nullptr;    // dispatch line and conjugate-gradient progress line
    int* m_piPrintInterval = nullptr;  // progress line on multiples of this iteration
    int* m_piSilent = nullptr;         // non-zero suppresses the progress line
    bool m_bNonBlockingExch = false;   // CSR and ELL methods use the start/wait exchange
    double* m_pdSolutionMax = nullptr; // Gauss-Seidel, variable 6: largest owned x
    double* m_pdSolutionMin = nullptr; // Gauss-Seidel, variable 6: smallest owned x

    // Per-variable arrays, indexed by the variable number.
    int* m_piMaxIter = nullptr;
    double* m_pdTolerance = nullptr;
    double* m_pdResidual0 = nullptr; // residual norm after the first iteration
    int* m_piIterCount = nullptr;    // last completed iteration (BiCGSTAB)

    // Matrix in the native layout and the preconditioner.
    double** m_ppdCoef = nullptr;      // [1..m_nCell][0..nn(i)], slot 0 = diagonal
    int** m_ppiOrderedSlot = nullptr;  // [1..m_nCell][1..nn(i)+1] slots: lower, diagonal, upper
    int* m_piDiagPos = nullptr;        // [1..m_nCell] place of slot 0 in the ordered list
    int* m_piOrderedSlotELL = nullptr; // (place-1)*m_nCell + (i-1): ELL slot numbers
    double* m_pdPrecondDiag = nullptr; // [1..m_nCell] preconditioner array
    double* m_pdPrecondWork = nullptr; // [1..m_nCell] forward-sweep vector of DILU

    // Work vectors of the Krylov methods; P, SHat and PHat need halo room.
    double* m_pdVecR = nullptr;
    double* m_pdVecP = nullptr;
    double* m_pdVecQ = nullptr;
    double* m_pdVecZ = nullptr;
    double* m_pdVecT = nullptr;
    double* m_pdVecSHat = nullptr;
    double* m_pdVecR0Hat = nullptr;
    double* m_pdVecPHat = nullptr;
};

class CQVLGVGPU {
public:
    void* m_pGPUtool = nullptr;     // copied by getGVGPU; nothing else reads it
    int m_nELLWidth = 0;            // slots per row, the diagonal slot 0 included
    double* m_pdELLValue = nullptr; // slot s of row i at s*m_nCellTotal + (i-1)
    int* m_piELLColumn = nullptr;   // same index; -1 marks an empty slot
};

class CQVLGVOpenMP {
public:
    int m_nMaxNColumnAtemp = 0; // longest row (1 + nn(i)) over all cells
    int m_nNNUtemp = 0;         // rows: m_nCellTotal
    // Zero-filled rows x longest-row array (element count formed in 64 bits),
    // allocated by SetupSolver(2) with new (std::nothrow) double[]: null when
    // the allocation failed. It belongs to the host, which frees it with delete[].
    double* m_pdAELL = nullptr;
};

#endif
