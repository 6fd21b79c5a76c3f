// A check of everything the solver assumes of a filled host and checks
// nowhere itself: counts, indices in range, ordered slot lists that are
// permutations with the lower/upper split right, non-zero finite diagonals,
// CSR row starts, ELL columns and widths, the layouts describing one matrix,
// settings that would divide by zero, and the room of every vector.
//
// The check reads only what it has verified is there (a null array or an
// index out of range is reported, never followed), so it is safe on a
// corrupted host. It reports the first problems in plain words, each naming
// the cell, slot or entry and the value found.
#ifndef QVL3D_HOST_VALIDATION_H
#define QVL3D_HOST_VALIDATION_H

#include "HostObjects.h"

#include <string>
#include <vector>

namespace qvl3d {
namespace host {

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

enum ELayoutMask : unsigned {
    kNativeLayout = 1u,
    kCsrLayout = 2u,
    kEllLayout = 4u,
    kAllLayouts = 7u,
};

struct CValidationReport {
    std::vector<std::string> problems; // the first ones found, in order
    long long count = 0;               // all problems found
    bool Ok() const { return count == 0; }
    // "no problems", or the problems one a line with the count of those left out.
    std::string Text() const;
};

// Checks the members the given layouts read, the settings and the work
// vectors. ivarb >= 0 also checks that variable's limit and tolerance.
CValidationReport ValidateHost(const CQVL3DFiniteVolumeMesh& mesh, const CQvl3dGV& store, const CQVLGVGPU& gpu,
                               const CHostRoom& room, unsigned layouts = kAllLayouts, int ivarb = -1,
                               size_t maxProblems = 10);

} // namespace host
} // namespace qvl3d

#endif
