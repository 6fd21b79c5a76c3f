// Stand-ins for two reference-host builders the comparison needs before they
// are part of host/: the upwind convection-diffusion box and a Matrix Market
// reader for the real test matrices. Same names and meaning as the host's;
// the comparison switches to the host's own as soon as they are there.
#ifndef QVL3D_BENCH_PEERS_STANDINS_H
#define QVL3D_BENCH_PEERS_STANDINS_H

#include "BoxProblems.h"
#include "SparseMatrix.h"

#include <string>

namespace qvl3d {
namespace peers {

// -eps*lap(u) + div(v u) = f on the unit cube, u = 0 on the walls,
// eps = |v| / peclet. Diffusion as in the Poisson box scaled by eps;
// convection by first-order upwind: a face with outward flux F = v.n * area
// adds max(F, 0) to the diagonal and -max(-F, 0) to the neighbour's
// coefficient; an inflow wall brings in u = 0.
struct CConvection {
    double vx = 1.0, vy = 1.0, vz = 1.0;
    double peclet = 100.0;
};
host::CSparseMatrix ConvectionDiffusion(const host::CBox& box, const CConvection& flow);

// Coordinate real/integer, general or symmetric (expanded); duplicates summed.
// Throws std::runtime_error naming the file and line on anything else.
host::CSparseMatrix ReadMatrixMarket(const std::string& path);

} // namespace peers
} // namespace qvl3d

#endif
