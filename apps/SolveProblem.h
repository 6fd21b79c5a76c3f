// The system qvl3d-solve works on: the matrix, right-hand side, initial
// guess and (when known) exact solution, all in the numbering the solver
// sees, plus the renumbering to map results back.
#ifndef QVL3D_APPS_SOLVEPROBLEM_H
#define QVL3D_APPS_SOLVEPROBLEM_H

#include "BoxProblems.h"
#include "MatrixMarket.h"
#include "Partition.h"
#include "SolveOptions.h"
#include "SparseMatrix.h"

#include <functional>
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
CProblem SetUpProblem(const CCommandOptions& options);

// How the summary names a matrix file.
std::string FileDescription(const std::string& path, const host::CMatrixMarketInfo& info);

// A built-in box's description, without its renumbering, and the words a
// renumbering adds to it (empty: none).
std::string BoxDescription(const CCommandOptions& options);
std::string RenumberingNote(const CCommandOptions& options);

// The row builder of the built-in box the options name.
host::CBoxStencil BoxStencil(const CCommandOptions& options);

// True when SetUpBoxShare can build the problem: a built-in box in its own
// numbering.
bool BoxShareApplies(const CCommandOptions& options);

// Rank `rank`'s share of the built-in box matrix, built from its sub-box
// and halo alone (host::DistributeBox), equal bit for bit to the share of
// what SetUpProblem builds. The share's matrix moves into the problem;
// `part` keeps its dimensions, numbering and halo plan. The vectors follow
// with ReadShareFiles and ShareVectors.
CProblem SetUpBoxShare(const CCommandOptions& options, int rank, int nRanks, host::CPartition& part);

// The fault of a b = A*1 that is not finite at `row` (original numbering).
[[noreturn]] void ThrowNonFiniteRhs(const CCommandOptions& options, int row);

// The vector files of a share, each cut to the share's cells (owned and
// halo, element 0 zero); empty: not given.
struct CShareFiles {
    std::vector<double> b, exact, x0;
};
// Reads the files the options give in the order SetUpProblem reads them,
// each through read(path), which returns it cut to the share.
using CShareRead = std::function<std::vector<double>(const std::string& path)>;
CShareFiles ReadShareFiles(const CCommandOptions& options, const CShareRead& read);

// A rank's b, x0 and exact solution on its share `part`, as Localise cuts
// them from what SetUpProblem builds: from the files, or b = A*1 from
// rowSums (the rank's rows, halo included) with the exact solution 1.
// firstBadRow is the first owned row (global number in the share's
// numbering) whose b = A*1 is not finite (0: none); the ranks agree on the
// first of all and report it with ThrowNonFiniteRhs.
void ShareVectors(const CCommandOptions& options, CShareFiles files, const host::CPartition& part,
                  const std::function<std::vector<double>()>& rowSums, CProblem& problem, int& firstBadRow);

// x (solver's numbering) back in the original numbering, 1-based.
std::vector<double> InOriginalNumbering(const CProblem& problem, const double* x);

} // namespace app
} // namespace qvl3d

#endif
