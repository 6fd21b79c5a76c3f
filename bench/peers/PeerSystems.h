// The systems every program of the peer comparison solves: the same matrix,
// the same known solution and the same right-hand side b = A*x, built the same
// way in each process so that no file format stands between the programs.
//
// A system is named by a descriptor:
//   poisson:N       3-D Poisson on an N x N x N box of cells
//   convdiff:N      3-D upwind convection-diffusion on the same box
//   mtx:NAME        NAME.mtx from the matrix folder (Matrix Market)
#ifndef QVL3D_BENCH_PEERS_PEERSYSTEMS_H
#define QVL3D_BENCH_PEERS_PEERSYSTEMS_H

#include "BoxProblems.h"
#include "SparseMatrix.h"

#include <string>
#include <vector>

namespace qvl3d {
namespace peers {

struct CPeerSystem {
    std::string name;       // short name for tables: poisson-64, convdiff-64, orsreg_1
    host::CSparseMatrix A;  // one partition, every cell owned, rows sorted by column
    std::vector<double> x;  // known solution, 1-based (element 0 unused)
    std::vector<double> b;  // A*x, 1-based
    double normB = 0.0;     // ||b||_2
    bool symmetric = false; // A equals its transpose: the conjugate gradient rows run only then
    bool isBox = false;     // a box problem: box holds its cells
    host::CBox box;
};

// Throws std::invalid_argument naming the descriptor when it is malformed, and the
// reader's error when a matrix file cannot be read. A non-empty label
// replaces the name in the tables (e.g. a second set of rows of one system).
CPeerSystem BuildSystem(const std::string& descriptor, const std::string& matrixDir, const std::string& label = "");

// Sum over rows firstRow..lastRow of (b - A*x)_i^2, x and b 1-based (x holds
// every column those rows name).
double SquaredResidual(const host::CSparseMatrix& A, const double* x, const double* b, int firstRow, int lastRow);
// ||b - A*x||_2 / ||b||_2 over all rows.
double TrueRelativeResidual(const CPeerSystem& s, const double* x);

// max_i |x_i - x*_i| / max_i |x*_i| over all cells, x 1-based.
double RelativeError(const CPeerSystem& s, const double* x);

} // namespace peers
} // namespace qvl3d

#endif
