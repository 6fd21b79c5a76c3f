#include "BoxProblems.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace qvl3d {
namespace host {

namespace {

void CheckBox(const CBox& box)
{
    if (box.nx < 1 || box.ny < 1 || box.nz < 1) throw std::invalid_argument("box dimensions must be at least 1");
    if (box.Cells() > std::numeric_limits<int>::max() / 8)
        throw std::invalid_argument("box of " + std::to_string(box.Cells()) + " cells is too large");
}

// The global system, row after row from the stencil.
CSparseMatrix AssembleBox(const CBoxStencil& stencil)
{
    const CBox& box = stencil.Box();
    const int n = static_cast<int>(box.Cells());
    CSparseBuilder builder(n, n);
    int col[CBoxStencil::kMaxEntries];
    double val[CBoxStencil::kMaxEntries];
    for (int iz = 0; iz < box.nz; ++iz)
        for (int iy = 0; iy < box.ny; ++iy)
            for (int ix = 0; ix < box.nx; ++ix) {
                const int i = box.Cell(ix, iy, iz);
                const int count = stencil.Row(ix, iy, iz, col, val);
                for (int k = 0; k < count; ++k) builder.Add(i, col[k], val[k]);
            }
    return builder.Finish();
}

} // namespace

CBoxStencil::CBoxStencil(const CBox& box, double eps, double vx, double vy, double vz) : m_box(box)
{
    CheckBox(box);
    const double hx = 1.0 / box.nx, hy = 1.0 / box.ny, hz = 1.0 / box.nz;
    const double ax = hy * hz, ay = hx * hz, az = hx * hy;
    m_xm = {eps * ax / hx, -vx * ax};
    m_xp = {eps * ax / hx, vx * ax};
    m_ym = {eps * ay / hy, -vy * ay};
    m_yp = {eps * ay / hy, vy * ay};
    m_zm = {eps * az / hz, -vz * az};
    m_zp = {eps * az / hz, vz * az};
}

CBoxStencil CBoxStencil::Poisson(const CBox& box)
{
    return CBoxStencil(box, 1.0, 0.0, 0.0, 0.0);
}

CBoxStencil CBoxStencil::ConvectionDiffusion(const CBox& box, const CConvection& flow)
{
    const double speed = std::sqrt(flow.vx * flow.vx + flow.vy * flow.vy + flow.vz * flow.vz);
    if (!std::isfinite(speed) || speed == 0.0)
        throw std::invalid_argument("the velocity must be finite and non-zero (use the Poisson problem without flow)");
    if (!std::isfinite(flow.peclet) || flow.peclet <= 0.0)
        throw std::invalid_argument("the Peclet number must be finite and positive");
    const double eps = speed / flow.peclet;
    if (!(eps > 0.0) || !std::isfinite(eps))
        throw std::invalid_argument("velocity and Peclet number give no usable diffusion coefficient");
    return CBoxStencil(box, eps, flow.vx, flow.vy, flow.vz);
}

// Faces are visited in the order -z, -y, -x, +x, +y, +z; each adds to the
// diagonal in that order, and the row is written in ascending column order.
int CBoxStencil::Row(int ix, int iy, int iz, int* col, double* val) const
{
    const CBox& box = m_box;
    const int i = box.Cell(ix, iy, iz);
    double diag = 0.0;
    // Returns the neighbour's coefficient (0 marks a wall face).
    auto face = [&](bool inside, const CFace& f) {
        const double out = f.flux > 0.0 ? f.flux : 0.0;
        const double in = f.flux < 0.0 ? -f.flux : 0.0;
        if (inside) {
            diag += f.diffusion + out;
            return -(f.diffusion + in);
        }
        diag += 2.0 * f.diffusion + out;
        return 0.0;
    };
    const bool hasZm = iz > 0, hasYm = iy > 0, hasXm = ix > 0;
    const bool hasXp = ix + 1 < box.nx, hasYp = iy + 1 < box.ny, hasZp = iz + 1 < box.nz;
    const double czm = face(hasZm, m_zm), cym = face(hasYm, m_ym), cxm = face(hasXm, m_xm);
    const double cxp = face(hasXp, m_xp), cyp = face(hasYp, m_yp), czp = face(hasZp, m_zp);
    int k = 0;
    auto add = [&](int c, double v) {
        col[k] = c;
        val[k] = v;
        ++k;
    };
    if (hasZm) add(i - box.nx * box.ny, czm);
    if (hasYm) add(i - box.nx, cym);
    if (hasXm) add(i - 1, cxm);
    add(i, diag);
    if (hasXp) add(i + 1, cxp);
    if (hasYp) add(i + box.nx, cyp);
    if (hasZp) add(i + box.nx * box.ny, czp);
    return k;
}

CSparseMatrix Poisson(const CBox& box)
{
    return AssembleBox(CBoxStencil::Poisson(box));
}

CSparseMatrix ConvectionDiffusion(const CBox& box, const CConvection& flow)
{
    return AssembleBox(CBoxStencil::ConvectionDiffusion(box, flow));
}

namespace {

constexpr int kFeistelRounds = 6;

} // namespace

CRenumbering::CRenumbering(int n, ERenumber kind, std::uint64_t seed) : m_n(n), m_kind(kind), m_seed(seed)
{
    if (n < 0) throw std::invalid_argument("negative cell count");
    while ((std::uint64_t{1} << (2 * m_halfBits)) < static_cast<std::uint64_t>(n)) ++m_halfBits;
}

// A round's mixing of one half: the finaliser of splitmix64 over the seed,
// the round and the half.
std::uint64_t CRenumbering::Round(int round, std::uint64_t half) const
{
    std::uint64_t z =
        m_seed + 0x9E3779B97F4A7C15ULL * static_cast<std::uint64_t>(round + 1) + 0xD6E8FEB86659FD93ULL * half;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::uint64_t CRenumbering::Forward(std::uint64_t x) const
{
    const std::uint64_t mask = (std::uint64_t{1} << m_halfBits) - 1;
    std::uint64_t left = x >> m_halfBits, right = x & mask;
    for (int r = 0; r < kFeistelRounds; ++r) {
        const std::uint64_t next = left ^ (Round(r, right) & mask);
        left = right;
        right = next;
    }
    return (left << m_halfBits) | right;
}

std::uint64_t CRenumbering::Backward(std::uint64_t x) const
{
    const std::uint64_t mask = (std::uint64_t{1} << m_halfBits) - 1;
    std::uint64_t left = x >> m_halfBits, right = x & mask;
    for (int r = kFeistelRounds - 1; r >= 0; --r) {
        const std::uint64_t previous = right ^ (Round(r, left) & mask);
        right = left;
        left = previous;
    }
    return (left << m_halfBits) | right;
}

int CRenumbering::New(int old) const
{
    if (old < 1 || old > m_n) throw std::invalid_argument("renumbering: no cell " + std::to_string(old));
    if (m_kind == ERenumber::None) return old;
    if (m_kind == ERenumber::Reverse) return m_n + 1 - old;
    // The walk stays on the cycle of old - 1, which holds a value below n.
    std::uint64_t x = static_cast<std::uint64_t>(old - 1);
    do x = Forward(x);
    while (x >= static_cast<std::uint64_t>(m_n));
    return static_cast<int>(x) + 1;
}

int CRenumbering::Old(int cell) const
{
    if (cell < 1 || cell > m_n) throw std::invalid_argument("renumbering: no cell " + std::to_string(cell));
    if (m_kind == ERenumber::None) return cell;
    if (m_kind == ERenumber::Reverse) return m_n + 1 - cell;
    std::uint64_t x = static_cast<std::uint64_t>(cell - 1);
    do x = Backward(x);
    while (x >= static_cast<std::uint64_t>(m_n));
    return static_cast<int>(x) + 1;
}

std::vector<int> Renumbering(int n, ERenumber kind, std::uint64_t seed)
{
    const CRenumbering map(n, kind, seed);
    std::vector<int> p(static_cast<size_t>(n) + 1, 0);
    for (int i = 1; i <= n; ++i) p[static_cast<size_t>(i)] = map.New(i);
    return p;
}

CSparseMatrix RenumberCells(const CSparseMatrix& A, const std::vector<int>& p)
{
    const int n = A.nCell, nTotal = A.nCellTotal;
    if (p.size() != static_cast<size_t>(nTotal) + 1) throw std::invalid_argument("renumbering of the wrong length");
    std::vector<int> inverse(static_cast<size_t>(nTotal) + 1, 0);
    for (int i = 1; i <= nTotal; ++i) {
        const int q = p[i];
        const bool keepsSide = i <= n ? (q >= 1 && q <= n) : (q > n && q <= nTotal);
        if (!keepsSide || inverse[q] != 0) throw std::invalid_argument("not a permutation keeping owned cells owned");
        inverse[q] = i;
    }
    CSparseBuilder builder(n, nTotal);
    for (int r = 1; r <= n; ++r) {
        const int old = inverse[r];
        for (int e = A.RowBegin(old); e < A.RowEnd(old); ++e) builder.Add(r, p[A.col[e]], A.val[e]);
    }
    CSparseMatrix B = builder.Finish();
    SortRows(B);
    return B;
}

std::vector<double> Permute(const std::vector<double>& v, const std::vector<int>& p)
{
    std::vector<double> out(v.size(), 0.0);
    for (size_t i = 1; i < p.size() && i < v.size(); ++i) out[p[i]] = v[i];
    return out;
}

std::vector<double> Unpermute(const double* v, const std::vector<int>& p)
{
    std::vector<double> out(p.size(), 0.0);
    for (size_t i = 1; i < p.size(); ++i) out[i] = v[p[i]];
    return out;
}

} // namespace host
} // namespace qvl3d
