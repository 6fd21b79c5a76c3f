// The host's objects as the solver reads them: the mesh, the coefficient
// store, the accelerator store holding the ELL arrays and the OpenMP store.
//
// Index bases. Cells are numbered from 1: cells 1..m_nCell are owned by the
// partition, cells m_nCell+1..m_nCellTotal are halo copies of other
// partitions' cells. Arrays indexed by cell number use the number itself;
// element 0 is unused ("[1..m_nCell]"). Members documented as "element 0"
// point to a single value; per-variable arrays are indexed by the variable
// number ivarb from 0. CSR entries are counted from 0, ELL entries from 0
// as slot * m_nCellTotal + (cell - 1). Neighbour and column numbers are cell
// numbers, so from 1.
//
// Who reads what. A call reads the rows of one layout:
//   native rows   Solver with codes 2 to 6, Solver_CSR with code 6,
//                 Solver_ELL with code 3 (there is no ELL conjugate gradient)
//   CSR rows      Solver_CSR with codes 2 to 5
//   ELL rows      Solver_ELL with codes 2 and 4 (it runs nothing for 5 and 6)
// Codes: 2 BiCGSTAB, 3 conjugate gradient, 4 Gauss-Seidel, 5 and 6 BiCGSTAB
// with the diagonal preconditioner. Each member below says which layout,
// method or setting reads it; "DILU" means preconditioner type 1 with a
// Krylov method. Gauss-Seidel reads no work vector and no preconditioner
// array.
//
// x and b belong to the call: b [1..m_nCell]; x [1..m_nCellTotal], its halo
// entries read by the first row product and, for Gauss-Seidel, refreshed by
// the exchange after each sweep.
//
// The solver checks none of these members; their contents are the host's
// preconditions. qvl3d::CheckHostObjects (HostCheck.h) checks them for a
// given code and entry point.
#ifndef QVL3D_HOSTOBJECTS_H
#define QVL3D_HOSTOBJECTS_H

class CQVL3DFiniteVolumeMesh {
public:
    int m_nCell = 0;      // owned cells: every call
    int m_nCellTotal = 0; // owned plus halo cells, >= m_nCell: ELL rows (the slot stride)

    // [1..m_nCellTotal] nn(i), the neighbours of cell i: native rows; ELL
    // rows with DILU (the length of the ordered slot lists); SetupSolver(2).
    int* m_piNumNeighbor = nullptr;
    // [1..m_nCell][1..nn(i)] neighbour cell numbers (1..m_nCellTotal, never
    // i itself): native rows.
    int** m_ppiNeighbor = nullptr;

    // CSR rows. Row i is entries m_piCSRRowStart[i]..m_piCSRRowStart[i+1]-1
    // (entry numbers from 0), its diagonal first.
    double* m_pdCSRValue = nullptr; // per entry, from 0
    int* m_piCSRRowStart = nullptr; // [1..m_nCell+1] first entry of row i; element m_nCell+1 ends the last row
    int* m_piCSRColumn = nullptr;   // per entry, from 0: cell numbers; the diagonal's is not read
};

class CQvl3dGV {
public:
    // Settings (element 0).
    int* m_piPrecondType = nullptr;    // the Krylov methods read it: 0 none, 1 DILU, 3 reciprocal diagonal;
                                       // codes 5 and 6 write 3 into it
    int* m_piPrintSolver = nullptr;    // Solver and Solver_CSR (the dispatch line); the conjugate
                                       // gradient when m_piSilent is 0 (its progress line)
    int* m_piPrintInterval = nullptr;  // the conjugate gradient when m_piSilent is 0 and m_piPrintSolver
                                       // is not: a progress line on multiples of it (0 or less: never)
    int* m_piSilent = nullptr;         // the conjugate gradient: non-zero suppresses the progress line
    bool m_bNonBlockingExch = false;   // CSR and ELL rows: the start/wait exchange
    double* m_pdSolutionMax = nullptr; // Gauss-Seidel on variable 6 writes the largest owned x
    double* m_pdSolutionMin = nullptr; // Gauss-Seidel on variable 6 writes the smallest owned x

    // Per-variable arrays [ivarb], from 0.
    int* m_piMaxIter = nullptr;      // every method reads it; code 5 through Solver writes 1000000
    double* m_pdTolerance = nullptr; // every method reads it
    double* m_pdResidual0 = nullptr; // every method writes its residual norm after the first iteration
    int* m_piIterCount = nullptr;    // BiCGSTAB (codes 2, 5, 6) writes its last completed iteration

    // Native rows and the ordered slot lists of DILU.
    double** m_ppdCoef = nullptr;      // [1..m_nCell][0..nn(i)], slot 0 the diagonal, slot k the
                                       // coefficient of neighbour m_ppiNeighbor[i][k]: native rows
    int** m_ppiOrderedSlot = nullptr;  // [1..m_nCell][1..nn(i)+1] slots: the lower part (columns below i)
                                       // ascending, slot 0, the upper part ascending: native rows with DILU
    int* m_piDiagPos = nullptr;        // [1..m_nCell] the place of slot 0 in the ordered list: DILU on
                                       // native or ELL rows
    int* m_piOrderedSlotELL = nullptr; // (place-1)*m_nCell + (i-1), from 0: the ELL slots of the same
                                       // ordered list: ELL rows with DILU

    // Preconditioner arrays [1..m_nCell]: Krylov methods.
    double* m_pdPrecondDiag = nullptr; // types 1 and 3
    double* m_pdPrecondWork = nullptr; // type 1: the forward sweep of DILU

    // Work vectors. BiCGSTAB: R, R0Hat, Z, Q, T [1..m_nCell]; P [1..m_nCell];
    // PHat and SHat [1..m_nCellTotal] (exchanged). Conjugate gradient: R, Z,
    // Q [1..m_nCell]; P [1..m_nCellTotal] (exchanged). No two may share an array.
    double* m_pdVecR = nullptr;
    double* m_pdVecP = nullptr;
    double* m_pdVecQ = nullptr;
    double* m_pdVecZ = nullptr;
    double* m_pdVecT = nullptr;
    double* m_pdVecSHat = nullptr;
    double* m_pdVecR0Hat = nullptr;
    double* m_pdVecPHat = nullptr;
};

// Bound by getGVGPU; read by the ELL rows only.
class CQVLGVGPU {
public:
    void* m_pGPUtool = nullptr;     // copied by getGVGPU; nothing else reads it
    int m_nELLWidth = 0;            // slots per row, the diagonal slot 0 included
    double* m_pdELLValue = nullptr; // slot s of row i at s*m_nCellTotal + (i-1), from 0
    int* m_piELLColumn = nullptr;   // same index: cell numbers; -1 marks an empty slot
};

// Read and written by SetupSolver(2) only.
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
