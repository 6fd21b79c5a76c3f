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

#include <qvl3d/HostCheck.h>
#include <qvl3d/HostObjects.h>
#include <qvl3d/QVLExport.h>
#include <qvl3d/SolverTable.h>

#include <string>
#include <vector>

namespace qvl3d {
namespace host {

// The room of the flat arrays (CHostRoom) is declared with the library's
// check of hand-filled hosts, CheckHostObjects, which runs this check.
using qvl3d::CHostRoom;

// Sets of layouts are LayoutBit(ELayout::...) or'ed together (SolverTable.h).

struct QVL3D_EXPORT CValidationReport {
    std::vector<std::string> problems; // the first ones found, in order
    long long count = 0;               // all problems found
    bool Ok() const { return count == 0; }
    // "no problems", or the problems one a line with the count of those left out.
    std::string Text() const;
};

// What one solve reads, for a check narrower than every layout, method and
// setting at once: CheckHostObjects derives it from a solver code, an entry
// point and the store's settings.
enum EWorkVector : unsigned {
    kVecPrecondDiag = 1u << 0,
    kVecPrecondWork = 1u << 1,
    kVecR = 1u << 2,
    kVecP = 1u << 3,
    kVecQ = 1u << 4,
    kVecZ = 1u << 5,
    kVecT = 1u << 6,
    kVecSHat = 1u << 7,
    kVecR0Hat = 1u << 8,
    kVecPHat = 1u << 9,
    kAllWorkVectors = (1u << 10) - 1,
};

struct CHostNeeds {
    unsigned layouts = kAllLayouts;                     // the rows read
    bool orderedLists = true;                           // m_piDiagPos and the native or ELL ordered slot lists (DILU)
    bool precondType = true;                            // m_piPrecondType
    bool printSolver = true;                            // m_piPrintSolver
    bool silent = true;                                 // m_piSilent
    bool printInterval = true;                          // m_piPrintInterval
    bool extremes = true;                               // m_pdSolutionMax, m_pdSolutionMin
    bool iterCount = true;                              // m_piIterCount
    unsigned vectors = kAllWorkVectors;                 // the work vectors read
    unsigned haloVectors = kVecP | kVecSHat | kVecPHat; // of those, the ones exchanged
};

// Checks the members the given layouts read, the settings and the work
// vectors. ivarb >= 0 also checks that variable's limit and tolerance.
QVL3D_EXPORT CValidationReport ValidateHost(const CQVL3DFiniteVolumeMesh& mesh, const CQvl3dGV& store,
                                            const CQVLGVGPU& gpu, const CHostRoom& room, unsigned layouts = kAllLayouts,
                                            int ivarb = -1, size_t maxProblems = 10);

// The same check narrowed to what `needs` names.
QVL3D_EXPORT CValidationReport ValidateHostFor(const CQVL3DFiniteVolumeMesh& mesh, const CQvl3dGV& store,
                                               const CQVLGVGPU& gpu, const CHostRoom& room, const CHostNeeds& needs,
                                               int ivarb = -1, size_t maxProblems = 10);

} // namespace host
} // namespace qvl3d

#endif
