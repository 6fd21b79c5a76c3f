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

// The row of any one cell of either problem, written once: the global
// builders above assemble every row from it, and a rank's share of a box
// (DistributeBox in Partition.h) its own rows, with the same bits. The
// factories check the box and the flow as the builders do.
class CBoxStencil {
public:
    static constexpr int kMaxEntries = 7;

    static CBoxStencil Poisson(const CBox& box);
    static CBoxStencil ConvectionDiffusion(const CBox& box, const CConvection& flow);

    const CBox& Box() const { return m_box; }

    // The row of cell (ix, iy, iz), counted from 0: its entries' global
    // columns and values in storage (ascending column) order, at most
    // kMaxEntries; returns their count. Its columns are the cell and its face
    // neighbours in the box, so the pattern is symmetric.
    int Row(int ix, int iy, int iz, int* col, double* val) const;

private:
    struct CFace {
        double diffusion; // eps * area / distance (interior)
        double flux;      // v.n * area, outward
    };
    CBoxStencil(const CBox& box, double eps, double vx, double vy, double vz);

    CBox m_box;
    CFace m_xm{}, m_xp{}, m_ym{}, m_yp{}, m_zm{}, m_zp{};
};

// Cell renumberings. A permutation p holds p[old] = new for cells 1..n
// (p[0] = 0).
enum class ERenumber { None, Reverse, Random };

// A renumbering of cells 1..n computed cell by cell, both ways, from a few
// words: a rank maps its own cells and their neighbours without any array of
// the size of n. Random is a keyed Feistel network on the smallest domain of
// 4^k >= n values, walked until it lands in 0..n-1 (fewer than four steps
// on average), so the same seed gives the same numbering on every platform.
class CRenumbering {
public:
    CRenumbering() = default;
    CRenumbering(int n, ERenumber kind, std::uint64_t seed = 1);

    int Cells() const { return m_n; }
    ERenumber Kind() const { return m_kind; }
    int New(int old) const;  // p[old], for 1 <= old <= n
    int Old(int cell) const; // the cell whose new number is `cell`

private:
    std::uint64_t Round(int round, std::uint64_t half) const;
    std::uint64_t Forward(std::uint64_t x) const;
    std::uint64_t Backward(std::uint64_t x) const;

    int m_n = 0;
    ERenumber m_kind = ERenumber::None;
    std::uint64_t m_seed = 1;
    int m_halfBits = 1;
};

// The whole of CRenumbering(n, kind, seed) as p[old] = new.
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
