// A check of the objects a host fills by hand for a CSingleGridSolver: what
// the given solver code reads through the given entry point (HostObjects.h
// lists it member by member) is there, in range and consistent. The solver
// itself checks none of it; a host runs this once after filling its objects
// (or after changing their structure), not before every solve.
//
// Each problem is one line naming the member, cell, slot or entry and the
// value found, for example "cell 5: diagonal m_ppdCoef[5][0] is zero
// (Gauss-Seidel divides by it)" or "m_pdVecPHat has room for 13 elements; it
// needs 14 (cells 1..m_nCellTotal: it is exchanged)". An empty list means no
// problem was found.
//
// The check never follows a null pointer or an index it has found out of
// range. What it cannot see is the length of an array: where the host says
// how many elements it allocated (CHostRoom), short arrays are reported;
// where it does not, the check reads as far as the counts it has verified
// reach, as the solver would.
#ifndef QVL3D_HOSTCHECK_H
#define QVL3D_HOSTCHECK_H

#include <qvl3d/HostObjects.h>
#include <qvl3d/QVLExport.h>
#include <qvl3d/SolveRecord.h>

#include <cstddef>
#include <string>
#include <vector>

class CSingleGridSolver;

namespace qvl3d {

// Elements allocated for the flat arrays, counted from element 0. A negative
// value means unknown and skips that room check. Rows of the native layout
// are sized by the neighbour counts and cannot be checked from outside.
struct CHostRoom {
    long long numNeighbor = -1;    // needs m_nCellTotal + 1
    long long diagPos = -1;        // m_nCell + 1
    long long csrRowStart = -1;    // m_nCell + 2
    long long csrEntries = -1;     // values and columns: every index a row start reaches
    long long ellEntries = -1;     // m_nELLWidth * m_nCellTotal
    long long orderedSlotEll = -1; // (largest nn + 1) * m_nCell
    long long precondDiag = -1, precondWork = -1;
    long long vecR = -1, vecP = -1, vecQ = -1, vecZ = -1, vecT = -1, vecSHat = -1, vecR0Hat = -1, vecPHat = -1;
    long long perVariable = -1; // length of the per-variable arrays
};

// The problems of the objects for a call of entry point `layout` with solver
// code `method` (2 to 6; see SingleGridSolver.h) and variable `ivarb`, the
// first maxProblems of them, followed by "... and N more" when there were
// more. gpu may be null when the solve does not read the ELL arrays. The
// store's settings decide what else is read: the preconditioner type (the
// vectors DILU and the diagonal need), m_piSilent and m_piPrintSolver (the
// conjugate gradient's progress interval), ivarb 6 (Gauss-Seidel's extremes).
QVL3D_EXPORT std::vector<std::string> CheckHostObjects(const CQVL3DFiniteVolumeMesh& mesh, const CQvl3dGV& store,
                                                       const CQVLGVGPU* gpu, int method, ELayout layout, int ivarb,
                                                       const CHostRoom& room = CHostRoom{},
                                                       std::size_t maxProblems = 20);

// The same for the objects bound to `solver` (getGV, getCommunication and,
// for the ELL arrays, getGVGPU), with a problem for each binding missing.
QVL3D_EXPORT std::vector<std::string> CheckHostObjects(const CSingleGridSolver& solver, int method, ELayout layout,
                                                       int ivarb, const CHostRoom& room = CHostRoom{},
                                                       std::size_t maxProblems = 20);

} // namespace qvl3d

#endif
