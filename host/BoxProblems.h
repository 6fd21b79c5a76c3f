// Finite-volume model problems on an NX x NY x NZ box of cells in the unit
// cube. Cell (ix, iy, iz), counted from 0, is number 1 + ix + NX*(iy + NY*iz).
// Rows are sorted by column.
#ifndef QVL3D_HOST_BOXPROBLEMS_H
#define QVL3D_HOST_BOXPROBLEMS_H

#include "SparseMatrix.h"

namespace qvl3d {
namespace host {

struct CBox {
    int nx = 1, ny = 1, nz = 1;
    int Cells() const { return nx * ny * nz; }
    int Cell(int ix, int iy, int iz) const { return 1 + ix + nx * (iy + ny * iz); }
};

// -div(grad u) = f with u = 0 on the walls, integrated over each cell: the
// face coefficient is face area / centre distance, a wall face sits at half a
// cell. Symmetric positive definite, 7-point.
CSparseMatrix Poisson(const CBox& box);

} // namespace host
} // namespace qvl3d

#endif
