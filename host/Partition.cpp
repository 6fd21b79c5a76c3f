#include "Partition.h"

#include <qvl3d/GraphPartition.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace qvl3d {
namespace host {

namespace {

void Split(const CBoxRegion& r, const CBoxCut& cut, CBoxRegion& left, CBoxRegion& right)
{
    left = r;
    right = r;
    left.hi[cut.axis] = cut.at;
    right.lo[cut.axis] = cut.at;
}

void Bisect(const CBox& box, const CBoxRegion& r, int firstPart, int nParts, COwners& owner)
{
    if (nParts == 1) {
        for (int iz = r.lo[2]; iz < r.hi[2]; ++iz)
            for (int iy = r.lo[1]; iy < r.hi[1]; ++iy)
                for (int ix = r.lo[0]; ix < r.hi[0]; ++ix) owner[static_cast<size_t>(box.Cell(ix, iy, iz))] = firstPart;
        return;
    }
    const CBoxCut cut = BoxCut(r, nParts);
    CBoxRegion left, right;
    Split(r, cut, left, right);
    Bisect(box, left, firstPart, cut.leftParts, owner);
    Bisect(box, right, firstPart + cut.leftParts, nParts - cut.leftParts, owner);
}

void CheckParts(int nParts)
{
    if (nParts < 1) throw std::invalid_argument("partitioning: " + std::to_string(nParts) + " parts (at least 1)");
}

void CheckBoxSize(const CBox& box)
{
    if (box.nx < 1 || box.ny < 1 || box.nz < 1) throw std::invalid_argument("partitioning: box dimensions below 1");
}

void CheckRank(int rank, int nParts)
{
    if (rank < 0 || rank >= nParts)
        throw std::invalid_argument("distribute: rank " + std::to_string(rank) + " outside 0.." +
                                    std::to_string(nParts - 1));
}

CBoxRegion WholeBox(const CBox& box)
{
    return CBoxRegion{{0, 0, 0}, {box.nx, box.ny, box.nz}};
}

// The halo plan from the halo cells sorted by (owner, global number) and the
// cells to send sorted by (reader, global number); localOf names a global
// cell's local number. Neighbours in ascending rank order.
template <class LocalOf>
void MakePlan(CPartition& p, const std::vector<std::pair<int, int>>& halo,
              const std::vector<std::pair<int, int>>& sends, LocalOf localOf)
{
    p.plan.nCell = p.A.nCell;
    p.plan.nCellTotal = p.A.nCellTotal;
    auto neighbour = [&](int q) -> CHaloNeighbour& {
        for (CHaloNeighbour& nb : p.plan.neighbours)
            if (nb.rank == q) return nb;
        p.plan.neighbours.push_back(CHaloNeighbour());
        p.plan.neighbours.back().rank = q;
        return p.plan.neighbours.back();
    };
    for (const auto& h : halo) neighbour(h.first).recv.push_back(localOf(h.second));
    for (const auto& s : sends) neighbour(s.first).send.push_back(localOf(s.second));
    std::sort(p.plan.neighbours.begin(), p.plan.neighbours.end(),
              [](const CHaloNeighbour& a, const CHaloNeighbour& b) { return a.rank < b.rank; });
}

void Coordinates(const CBox& box, int cell, int& ix, int& iy, int& iz)
{
    const int c = cell - 1;
    ix = c % box.nx;
    iy = (c / box.nx) % box.ny;
    iz = c / box.nx / box.ny;
}

} // namespace

long long CBoxRegion::Cells() const
{
    long long n = 1;
    for (int a = 0; a < 3; ++a) n *= hi[a] > lo[a] ? hi[a] - lo[a] : 0;
    return n;
}

bool CBoxRegion::Contains(int ix, int iy, int iz) const
{
    return ix >= lo[0] && ix < hi[0] && iy >= lo[1] && iy < hi[1] && iz >= lo[2] && iz < hi[2];
}

CBoxCut BoxCut(const CBoxRegion& r, int nParts)
{
    int axis = 2;
    for (int a : {1, 0})
        if (r.hi[a] - r.lo[a] > r.hi[axis] - r.lo[axis]) axis = a;
    const int leftParts = nParts / 2;
    const long long len = r.hi[axis] - r.lo[axis];
    const int at = r.lo[axis] + static_cast<int>((len * leftParts + nParts / 2) / nParts);
    return CBoxCut{axis, at, leftParts};
}

namespace {

// Follows the bisection from the whole box down to one part: at each cut,
// goLeft(cut, first) says whether the part sought lies on the cut's left,
// first being the lowest part number of the region being cut. Returns the
// part's region; first ends as its number.
template <class GoLeft>
CBoxRegion Descend(const CBox& box, int nParts, int& first, GoLeft&& goLeft)
{
    CBoxRegion r = WholeBox(box);
    first = 0;
    int count = nParts;
    while (count > 1) {
        const CBoxCut cut = BoxCut(r, count);
        CBoxRegion left, right;
        Split(r, cut, left, right);
        if (goLeft(cut, first)) {
            r = left;
            count = cut.leftParts;
        } else {
            r = right;
            first += cut.leftParts;
            count -= cut.leftParts;
        }
    }
    return r;
}

} // namespace

CBoxRegion BoxPartRegion(const CBox& box, int nParts, int part)
{
    CheckParts(nParts);
    CheckBoxSize(box);
    CheckRank(part, nParts);
    int first = 0;
    return Descend(box, nParts, first, [&](const CBoxCut& cut, int f) { return part < f + cut.leftParts; });
}

int BoxOwner(const CBox& box, int nParts, int ix, int iy, int iz)
{
    CheckParts(nParts);
    CheckBoxSize(box);
    if (!WholeBox(box).Contains(ix, iy, iz))
        throw std::invalid_argument("partitioning: cell (" + std::to_string(ix) + ", " + std::to_string(iy) + ", " +
                                    std::to_string(iz) + ") outside the box");
    const int at[3] = {ix, iy, iz};
    int first = 0;
    Descend(box, nParts, first, [&](const CBoxCut& cut, int) { return at[cut.axis] < cut.at; });
    return first;
}

COwners PartitionBox(const CBox& box, int nParts)
{
    CheckParts(nParts);
    CheckBoxSize(box);
    COwners owner(static_cast<size_t>(box.Cells()) + 1, 0);
    Bisect(box, WholeBox(box), 0, nParts, owner);
    return owner;
}

COwners PartitionRows(int nCell, int nParts)
{
    CheckParts(nParts);
    if (nCell < 0) throw std::invalid_argument("partitioning: negative cell count");
    COwners owner(static_cast<size_t>(nCell) + 1, 0);
    const int base = nCell / nParts, extra = nCell % nParts;
    int c = 1;
    for (int p = 0; p < nParts; ++p)
        for (int k = 0; k < base + (p < extra ? 1 : 0); ++k) owner[static_cast<size_t>(c++)] = p;
    return owner;
}

const char* GraphPartitionerName()
{
    return qvl3d::GraphPartitioner();
}

COwners PartitionGraph(const CSparseMatrix& A, int nParts)
{
    CheckParts(nParts);
    const int n = A.nCell;
    if (nParts == 1 || n == 0) return PartitionRows(n, nParts);
    // The library's partitioner, on the matrix's rows 0-based.
    std::vector<std::int32_t> columns(A.col.size());
    for (int i = 1; i <= n; ++i)
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) {
            const int j = A.col[static_cast<size_t>(e)];
            if (j < 1 || j > n)
                throw std::invalid_argument("partitioning: row " + std::to_string(i) + " names column " +
                                            std::to_string(j) + " outside 1.." + std::to_string(n));
            columns[static_cast<size_t>(e)] = j - 1;
        }
    const CCsrView view{n, A.rowStart.data(), nullptr, columns.data(), nullptr};
    const std::vector<int> part = qvl3d::PartitionGraph(view, nParts);
    COwners owner(static_cast<size_t>(n) + 1, 0);
    for (int i = 0; i < n; ++i) owner[static_cast<size_t>(i) + 1] = part[static_cast<size_t>(i)];
    return owner;
}

CPartition Distribute(const CSparseMatrix& A, const COwners& owner, int rank, int nParts)
{
    CheckParts(nParts);
    const int N = A.nCell;
    if (A.nCellTotal != N)
        throw std::invalid_argument("distribute: the matrix already has halo cells (" +
                                    std::to_string(A.nCellTotal - N) + ")");
    CheckRank(rank, nParts);
    if (owner.size() != static_cast<size_t>(N) + 1)
        throw std::invalid_argument("distribute: owner vector of " + std::to_string(owner.size()) + " entries for " +
                                    std::to_string(N) + " cells (expected " + std::to_string(N + 1) + ")");
    for (int c = 1; c <= N; ++c)
        if (owner[static_cast<size_t>(c)] < 0 || owner[static_cast<size_t>(c)] >= nParts)
            throw std::invalid_argument("distribute: cell " + std::to_string(c) + " owned by rank " +
                                        std::to_string(owner[static_cast<size_t>(c)]) + ", outside 0.." +
                                        std::to_string(nParts - 1));
    auto ownerOf = [&](int c) { return owner[static_cast<size_t>(c)]; };

    CPartition p;
    p.rank = rank;
    p.nParts = nParts;
    std::vector<int> localOf(static_cast<size_t>(N) + 1, 0);
    p.global.push_back(0);
    for (int c = 1; c <= N; ++c)
        if (ownerOf(c) == rank) {
            p.global.push_back(c);
            localOf[static_cast<size_t>(c)] = static_cast<int>(p.global.size()) - 1;
        }
    const int n = static_cast<int>(p.global.size()) - 1;

    // Halo: other ranks' cells named by owned rows, by (owner, global number).
    std::vector<std::pair<int, int>> halo;
    for (int l = 1; l <= n; ++l) {
        const int i = p.global[static_cast<size_t>(l)];
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) {
            const int j = A.col[static_cast<size_t>(e)];
            if (j < 1 || j > N)
                throw std::invalid_argument("distribute: row " + std::to_string(i) + " names column " +
                                            std::to_string(j) + " outside 1.." + std::to_string(N));
            if (ownerOf(j) != rank) halo.emplace_back(ownerOf(j), j);
        }
    }
    std::sort(halo.begin(), halo.end());
    halo.erase(std::unique(halo.begin(), halo.end()), halo.end());
    for (const auto& h : halo) {
        p.global.push_back(h.second);
        localOf[static_cast<size_t>(h.second)] = static_cast<int>(p.global.size()) - 1;
    }
    const int nTotal = static_cast<int>(p.global.size()) - 1;

    CSparseBuilder builder(n, nTotal);
    for (int l = 1; l <= n; ++l) {
        const int i = p.global[static_cast<size_t>(l)];
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e)
            builder.Add(l, localOf[static_cast<size_t>(A.col[static_cast<size_t>(e)])], A.val[static_cast<size_t>(e)]);
    }
    p.A = builder.Finish();

    // Sends: this rank's cells named by other ranks' rows, by (reader, global number),
    // which is the order in which each reader numbers its halo block from us.
    std::vector<std::pair<int, int>> sends;
    for (int i = 1; i <= N; ++i) {
        const int reader = ownerOf(i);
        if (reader == rank) continue;
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) {
            const int j = A.col[static_cast<size_t>(e)];
            if (ownerOf(j) == rank) sends.emplace_back(reader, j);
        }
    }
    std::sort(sends.begin(), sends.end());
    sends.erase(std::unique(sends.begin(), sends.end()), sends.end());

    MakePlan(p, halo, sends, [&](int c) { return localOf[static_cast<size_t>(c)]; });
    return p;
}

CPartition DistributeBox(const CBoxStencil& stencil, int rank, int nParts)
{
    const CBox& box = stencil.Box();
    const CBoxRegion own = BoxPartRegion(box, nParts, rank);
    const int w[3] = {own.hi[0] - own.lo[0], own.hi[1] - own.lo[1], own.hi[2] - own.lo[2]};
    const int n = static_cast<int>(own.Cells());
    auto ownedLocal = [&](int ix, int iy, int iz) {
        return 1 + (ix - own.lo[0]) + w[0] * ((iy - own.lo[1]) + w[1] * (iz - own.lo[2]));
    };

    CPartition p;
    p.rank = rank;
    p.nParts = nParts;
    // Owned cells z, y, x ascending: ascending global numbers.
    p.global.reserve(static_cast<size_t>(n) + 1);
    p.global.push_back(0);
    for (int iz = own.lo[2]; iz < own.hi[2]; ++iz)
        for (int iy = own.lo[1]; iy < own.hi[1]; ++iy)
            for (int ix = own.lo[0]; ix < own.hi[0]; ++ix) p.global.push_back(box.Cell(ix, iy, iz));

    // The rows' columns outside the sub-box are the halo; the pattern is
    // symmetric, so the same pairs, read the other way, are the cells other
    // ranks' rows name: what this rank sends.
    std::vector<std::pair<int, int>> halo, sends;
    int col[CBoxStencil::kMaxEntries];
    double val[CBoxStencil::kMaxEntries];
    for (int l = 1; l <= n; ++l) {
        int ix, iy, iz, jx, jy, jz;
        Coordinates(box, p.global[static_cast<size_t>(l)], ix, iy, iz);
        const int count = stencil.Row(ix, iy, iz, col, val);
        for (int k = 0; k < count; ++k) {
            Coordinates(box, col[k], jx, jy, jz);
            if (own.Contains(jx, jy, jz)) continue;
            const int q = BoxOwner(box, nParts, jx, jy, jz);
            halo.emplace_back(q, col[k]);
            sends.emplace_back(q, p.global[static_cast<size_t>(l)]);
        }
    }
    std::sort(halo.begin(), halo.end());
    halo.erase(std::unique(halo.begin(), halo.end()), halo.end());
    std::sort(sends.begin(), sends.end());
    sends.erase(std::unique(sends.begin(), sends.end()), sends.end());
    for (const auto& h : halo) p.global.push_back(h.second);
    const int nTotal = static_cast<int>(p.global.size()) - 1;

    // Halo cells' local numbers by global number, for a binary search.
    std::vector<std::pair<int, int>> haloLocal;
    haloLocal.reserve(halo.size());
    for (size_t k = 0; k < halo.size(); ++k) haloLocal.emplace_back(halo[k].second, n + 1 + static_cast<int>(k));
    std::sort(haloLocal.begin(), haloLocal.end());
    auto localOf = [&](int c) {
        int ix, iy, iz;
        Coordinates(box, c, ix, iy, iz);
        if (own.Contains(ix, iy, iz)) return ownedLocal(ix, iy, iz);
        const auto it = std::lower_bound(haloLocal.begin(), haloLocal.end(), std::make_pair(c, 0));
        return it->second; // every column outside the sub-box is a halo cell
    };

    CSparseBuilder builder(n, nTotal);
    for (int l = 1; l <= n; ++l) {
        int ix, iy, iz;
        Coordinates(box, p.global[static_cast<size_t>(l)], ix, iy, iz);
        const int count = stencil.Row(ix, iy, iz, col, val);
        for (int k = 0; k < count; ++k) builder.Add(l, localOf(col[k]), val[k]);
    }
    p.A = builder.Finish();
    MakePlan(p, halo, sends, localOf);
    return p;
}

std::vector<double> BoxRowSums(const CBoxStencil& stencil, const CPartition& p)
{
    std::vector<double> b(p.global.size(), 0.0);
    int col[CBoxStencil::kMaxEntries];
    double val[CBoxStencil::kMaxEntries];
    for (size_t l = 1; l < p.global.size(); ++l) {
        int ix, iy, iz;
        Coordinates(stencil.Box(), p.global[l], ix, iy, iz);
        const int count = stencil.Row(ix, iy, iz, col, val);
        double s = 0.0;
        for (int k = 0; k < count; ++k) s = s + val[k] * 1.0;
        b[l] = s;
    }
    return b;
}

std::vector<double> Localise(const CPartition& p, const std::vector<double>& global)
{
    std::vector<double> local(p.global.size(), 0.0);
    for (size_t l = 1; l < p.global.size(); ++l) {
        const int c = p.global[l];
        if (c < 1 || static_cast<size_t>(c) >= global.size())
            throw std::invalid_argument("localise: global vector of " + std::to_string(global.size()) +
                                        " entries has no cell " + std::to_string(c));
        local[l] = global[static_cast<size_t>(c)];
    }
    return local;
}

#if QVL3D_WITH_MPI
int Rank(MPI_Comm comm)
{
    int r = 0;
    MPI_Comm_rank(comm, &r);
    return r;
}

int Ranks(MPI_Comm comm)
{
    int n = 1;
    MPI_Comm_size(comm, &n);
    return n;
}

std::vector<double> GatherSolution(MPI_Comm comm, const CPartition& p, const double* x, int nGlobal, int root)
{
    const int rank = Rank(comm), nRanks = Ranks(comm);
    const int n = p.Cells();
    std::vector<int> counts(static_cast<size_t>(nRanks), 0), offsets(static_cast<size_t>(nRanks), 0);
    MPI_Gather(&n, 1, MPI_INT, counts.data(), 1, MPI_INT, root, comm);
    int total = 0;
    for (int r = 0; r < nRanks; ++r) {
        offsets[static_cast<size_t>(r)] = total;
        total += counts[static_cast<size_t>(r)];
    }
    std::vector<double> values(rank == root ? static_cast<size_t>(total) : 0);
    std::vector<int> cells(rank == root ? static_cast<size_t>(total) : 0);
    MPI_Gatherv(x + 1, n, MPI_DOUBLE, values.data(), counts.data(), offsets.data(), MPI_DOUBLE, root, comm);
    MPI_Gatherv(p.global.data() + 1, n, MPI_INT, cells.data(), counts.data(), offsets.data(), MPI_INT, root, comm);
    if (rank != root) return std::vector<double>();
    if (total != nGlobal)
        throw std::invalid_argument("gather: the partitions own " + std::to_string(total) + " cells, not " +
                                    std::to_string(nGlobal));
    std::vector<double> out(static_cast<size_t>(nGlobal) + 1, 0.0);
    std::vector<char> seen(static_cast<size_t>(nGlobal) + 1, 0);
    for (int k = 0; k < total; ++k) {
        const int c = cells[static_cast<size_t>(k)];
        if (c < 1 || c > nGlobal || seen[static_cast<size_t>(c)]++)
            throw std::invalid_argument("gather: cell " + std::to_string(c) + " is owned twice or does not exist");
        out[static_cast<size_t>(c)] = values[static_cast<size_t>(k)];
    }
    return out;
}

void BroadcastOwners(MPI_Comm comm, COwners& owner, int root)
{
    const int rank = Rank(comm);
    long long size = static_cast<long long>(owner.size());
    MPI_Bcast(&size, 1, MPI_LONG_LONG, root, comm);
    if (rank != root) owner.assign(static_cast<size_t>(size), 0);
    MPI_Bcast(owner.data(), static_cast<int>(size), MPI_INT, root, comm);
}
#endif

} // namespace host
} // namespace qvl3d
