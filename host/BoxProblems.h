// Finite-volume model problems on an NX x NY x NZ box of cells in the unit
// cube, and renumberings that give the layouts an unstructured cell order.
// Cell (ix, iy, iz), counted from 0, is number 1 + ix + NX*(iy + NY*iz).
// Rows are sorted by column.
#ifndef QVL3D_HOST_BOXPROBLEMS_H
#define QVL3D_HOST_BOXPROBLEMS_H

#include "SparseMatrix.h"

#include <cstdint>
#include <vector>

namespace qvl3d {
namespace host {

struct CBox {
    int nx = 1, ny = 1, nz = 1;
    long long Cells() const { return static_cast<long long>(nx) * ny * nz; }
    int Cell(int ix, int iy, int iz) const { return 1 + ix + nx * (iy + ny * iz); }
};

// -div(grad u) = f with u = 0 on the walls, integrated over each cell: the
// face coefficient is face area / centre distance, a wall face sits at half a
// cell. Symmetric positive definite, 7-point.
CSparseMatrix Poisson(const CBox& box);

// Steady convection-diffusion -eps*lap(u) + div(v u) = f with u = 0 on the
// walls, constant velocity v and eps = |v| / peclet (the cube's edge is the
// length scale). Diffusion as in Poisson; convection by first-order upwind:
// a face with outward flux F = v.n * area adds max(F, 0) to the diagonal and
// -max(-F, 0) to the neighbour's coefficient (inflow walls bring in u = 0).
// Non-symmetric unless v = 0; weakly diagonally dominant, an M-matrix.
struct CConvection {
    double vx = 1.0, vy = 1.0, vz = 1.0;
    double peclet = 100.0;
};
CSparseMatrix ConvectionDiffusion(const CBox& box, const CConvection& flow);

// Cell renumberings. A permutation p holds p[old] = new for cells 1..n
// (p[0] = 0).
enum class ERenumber { None, Reverse, Random };
std::vector<int> Renumbering(int n, ERenumber kind, std::uint64_t seed = 1);

// The same system with cell i renamed p[i]; rows sorted by column. p must be a
// permutation of 1..nCellTotal that keeps owned cells owned.
CSparseMatrix RenumberCells(const CSparseMatrix& A, const std::vector<int>& p);

// v in the new numbering: out[p[i]] = v[i] (1-based, element 0 kept 0).
std::vector<double> Permute(const std::vector<double>& v, const std::vector<int>& p);
// Back to the original numbering: out[i] = v[p[i]].
std::vector<double> Unpermute(const double* v, const std::vector<int>& p);

} // namespace host
} // namespace qvl3d

#endif
