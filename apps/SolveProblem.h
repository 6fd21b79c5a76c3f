// The system qvl3d-solve works on: the matrix, right-hand side, initial
// guess and (when known) exact solution, all in the numbering the solver
// sees, plus the renumbering to map results back.
#ifndef QVL3D_APPS_SOLVEPROBLEM_H
#define QVL3D_APPS_SOLVEPROBLEM_H

#include "SolveOptions.h"
#include "SparseMatrix.h"

#include <string>
#include <vector>

namespace qvl3d {
namespace app {

struct CProblem {
    std::string description;
    host::CSparseMatrix A;
    std::vector<double> b, x0;    // 1-based, cells 1..nCellTotal
    std::vector<double> exact;    // empty when unknown
    std::vector<int> renumbering; // p[original] = solver's number; empty: identity
    double seconds = 0.0;         // to build or read
};

// Builds or reads the problem. Input files are in the original numbering.
// Throws host::CInputError or CUsageError for bad input.
CProblem SetUpProblem(const CSolveOptions& options);

// x (solver's numbering) back in the original numbering, 1-based.
std::vector<double> InOriginalNumbering(const CProblem& problem, const double* x);

} // namespace app
} // namespace qvl3d

#endif
