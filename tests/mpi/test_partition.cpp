// The partitioner, every rank simulated in one process: ownership, local
// numbering, the halo plans and the local matrices against the global one.
#include "Partition.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

using namespace qvl3d;
using namespace qvl3d::host;

namespace {

std::vector<CPartition> DistributeAll(const CSparseMatrix& A, const COwners& owner, int nParts)
{
    std::vector<CPartition> parts;
    for (int r = 0; r < nParts; ++r) parts.push_back(Distribute(A, owner, r, nParts));
    return parts;
}

// What the transports do, done in one process by following the plans: the
// k-th value rank A sends to B lands in B's k-th receive cell from A.
void ExchangeAll(const std::vector<CPartition>& parts, std::vector<std::vector<double>>& v)
{
    for (const CPartition& from : parts)
        for (const CHaloNeighbour& to : from.plan.neighbours) {
            const CPartition& dest = parts[static_cast<size_t>(to.rank)];
            const CHaloNeighbour* back = nullptr;
            for (const CHaloNeighbour& nb : dest.plan.neighbours)
                if (nb.rank == from.rank) back = &nb;
            ASSERT_NE(back, nullptr) << "rank " << to.rank << " does not know rank " << from.rank;
            ASSERT_EQ(back->recv.size(), to.send.size());
            for (size_t k = 0; k < to.send.size(); ++k)
                v[static_cast<size_t>(to.rank)][static_cast<size_t>(back->recv[k])] =
                    v[static_cast<size_t>(from.rank)][static_cast<size_t>(to.send[k])];
        }
}

// Scrambles a matrix's numbering so that contiguous blocks cut many edges.
CSparseMatrix Renumber(const CSparseMatrix& A, const std::vector<int>& newOf)
{
    const int n = A.nCell;
    std::vector<int> oldOf(static_cast<size_t>(n) + 1);
    for (int i = 1; i <= n; ++i) oldOf[static_cast<size_t>(newOf[static_cast<size_t>(i)])] = i;
    CSparseBuilder builder(n, n);
    for (int i = 1; i <= n; ++i) {
        const int o = oldOf[static_cast<size_t>(i)];
        for (int e = A.RowBegin(o); e < A.RowEnd(o); ++e)
            builder.Add(i, newOf[static_cast<size_t>(A.col[e])], A.val[e]);
    }
    CSparseMatrix B = builder.Finish();
    SortRows(B);
    return B;
}

int EdgesCut(const CSparseMatrix& A, const COwners& owner)
{
    int cut = 0;
    for (int i = 1; i <= A.nCell; ++i)
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) cut += owner[static_cast<size_t>(A.col[e])] != owner[i];
    return cut;
}

std::vector<int> PartSizes(const COwners& owner, int nParts)
{
    std::vector<int> sizes(static_cast<size_t>(nParts), 0);
    for (size_t c = 1; c < owner.size(); ++c) ++sizes[static_cast<size_t>(owner[c])];
    return sizes;
}

} // namespace

// Two parts of a cube are slabs of contiguous cells, powers of two split an
// 8^3 box evenly, every part of a 7 x 5 x 3 box owns cells up to 9 parts, and
// more parts than cells leave parts empty. (That each part is a box is
// test_box_partition's: its cells fill the part's sub-box exactly.)
TEST(PartitionBox, SlabsEvenSplitsAndEmptyParts)
{
    const COwners halves = PartitionBox(CBox{6, 6, 6}, 2);
    for (int c = 1; c <= 216; ++c) EXPECT_EQ(halves[c], c <= 108 ? 0 : 1) << "cell " << c;
    for (int nParts : {2, 4, 8})
        for (int s : PartSizes(PartitionBox(CBox{8, 8, 8}, nParts), nParts)) EXPECT_EQ(s, 512 / nParts) << nParts;
    for (int nParts = 1; nParts <= 9; ++nParts)
        for (int s : PartSizes(PartitionBox(CBox{7, 5, 3}, nParts), nParts)) EXPECT_GT(s, 0) << nParts << " parts";
    const std::vector<int> sizes = PartSizes(PartitionBox(CBox{1, 1, 2}, 4), 4);
    EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 1), 2);
    EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 0), 2);
    EXPECT_THROW(PartitionBox(CBox{2, 2, 2}, 0), std::invalid_argument);
}

TEST(PartitionRows, ContiguousBlocksAsEqualAsPossible)
{
    EXPECT_EQ(PartitionRows(7, 3), (COwners{0, 0, 0, 0, 1, 1, 2, 2}));
    EXPECT_EQ(PartitionRows(2, 4), (COwners{0, 0, 1}));
}

TEST(PartitionGraph, CutsFewerEdgesThanRowBlocksAndRepeatsItself)
{
    // A box matrix numbered by a stride, so that neighbours are far apart.
    const CSparseMatrix P = Poisson(CBox{12, 12, 6});
    const int n = P.nCell;
    std::vector<int> newOf(static_cast<size_t>(n) + 1);
    for (int i = 1; i <= n; ++i)
        newOf[static_cast<size_t>(i)] = 1 + static_cast<int>((static_cast<long long>(i - 1) * 389) % n);
    const CSparseMatrix A = Renumber(P, newOf);
    const COwners graph = PartitionGraph(A, 3);
    EXPECT_EQ(graph, PartitionGraph(A, 3));
    const std::vector<int> sizes = PartSizes(graph, 3);
    for (int s : sizes) EXPECT_GT(s, n / 4);
    if (std::string(GraphPartitionerName()) == "metis")
        EXPECT_LT(EdgesCut(A, graph) * 3, EdgesCut(A, PartitionRows(n, 3)));
    else
        EXPECT_EQ(graph, PartitionRows(n, 3));
}

TEST(Distribute, LocalRowsReproduceTheGlobalProductBitForBit)
{
    // Rows keep their storage order, so each local row sums the same products
    // in the same order as the global row.
    CSparseMatrix A = Poisson(CBox{5, 4, 3});
    for (int e = 0; e < A.NonZeros(); ++e) A.val[e] += 1e-3 * std::sin(1.0 + e); // non-symmetric values
    std::vector<double> x(static_cast<size_t>(A.nCell) + 1), y(x.size());
    for (int c = 1; c <= A.nCell; ++c) x[c] = std::cos(0.37 * c) + 1.0 / c;
    Multiply(A, x.data(), y.data());
    for (const COwners& owner : {PartitionBox(CBox{5, 4, 3}, 3), PartitionGraph(A, 4), PartitionRows(A.nCell, 2)}) {
        const int nParts = 1 + *std::max_element(owner.begin() + 1, owner.end());
        for (const CPartition& p : DistributeAll(A, owner, nParts)) {
            const std::vector<double> xl = Localise(p, x);
            std::vector<double> yl(xl.size());
            Multiply(p.A, xl.data(), yl.data());
            for (int l = 1; l <= p.Cells(); ++l) EXPECT_EQ(yl[l], y[p.global[l]]) << "rank " << p.rank << " cell " << l;
        }
    }
}

TEST(Distribute, PlansFillEveryHaloCellFromItsOwner)
{
    // sherman5-like: a pattern that is not symmetric (row 1 names 5, not back).
    CSparseBuilder builder(6, 6);
    const int pattern[6][3] = {{1, 5, 0}, {2, 1, 3}, {3, 6, 0}, {4, 2, 0}, {5, 4, 0}, {6, 1, 2}};
    for (int i = 0; i < 6; ++i)
        for (int k = 0; k < 3; ++k)
            if (pattern[i][k]) builder.Add(i + 1, pattern[i][k], pattern[i][k] == i + 1 ? 4.0 : -1.0);
    const CSparseMatrix A = builder.Finish();
    for (const COwners& owner :
         {COwners{0, 0, 1, 2, 0, 1, 2}, PartitionRows(6, 4), PartitionGraph(Poisson(CBox{4, 4, 2}), 3)}) {
        const int nParts = 1 + *std::max_element(owner.begin() + 1, owner.end());
        const CSparseMatrix& M = owner.size() == 7 ? A : Poisson(CBox{4, 4, 2});
        const std::vector<CPartition> parts = DistributeAll(M, owner, nParts);
        std::vector<std::vector<double>> v;
        for (const CPartition& p : parts) {
            v.emplace_back(p.global.size(), std::nan(""));
            for (int l = 1; l <= p.Cells(); ++l) v.back()[l] = p.global[l];
            // Halo: every column of another rank, grouped by owner, each block contiguous.
            for (int l = p.Cells() + 1; l <= p.A.nCellTotal; ++l) {
                EXPECT_NE(owner[p.global[l]], p.rank);
                if (l > p.Cells() + 1) {
                    const int a = p.global[l - 1], b = p.global[l];
                    EXPECT_TRUE(owner[a] < owner[b] || (owner[a] == owner[b] && a < b));
                }
            }
        }
        ExchangeAll(parts, v);
        for (const CPartition& p : parts)
            for (int l = 1; l <= p.A.nCellTotal; ++l) EXPECT_EQ(v[p.rank][l], p.global[l]) << "rank " << p.rank;
    }
}

TEST(Distribute, EmptyPartitionHasNoRowsAndNoNeighbours)
{
    const CSparseMatrix A = Poisson(CBox{1, 1, 2});
    const CPartition p = Distribute(A, COwners{0, 0, 1}, 2, 4);
    EXPECT_EQ(p.Cells(), 0);
    EXPECT_EQ(p.HaloCells(), 0);
    EXPECT_TRUE(p.plan.neighbours.empty());
    CHostSystem host(p.A); // the layouts of an empty partition build
    EXPECT_EQ(host.Cells(), 0);
}

TEST(Distribute, RejectsWhatItCannotSplit)
{
    const CSparseMatrix A = Poisson(CBox{2, 2, 1});
    EXPECT_THROW(Distribute(A, COwners{0, 0, 0, 0}, 0, 1), std::invalid_argument); // one entry short
    EXPECT_THROW(Distribute(A, COwners{0, 0, 3, 0, 0}, 0, 2), std::invalid_argument);
    EXPECT_THROW(Distribute(A, COwners{0, 0, 0, 0, 0}, 1, 1), std::invalid_argument);
    const CPartition p = Distribute(A, COwners{0, 0, 1, 0, 1}, 0, 2);
    EXPECT_THROW(Distribute(p.A, COwners(p.A.nCell + 1, 0), 0, 1), std::invalid_argument); // already has a halo
    try {
        Distribute(A, COwners{0, 0, -1, 0, 0}, 0, 2);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("cell 2"), std::string::npos) << e.what();
    }
}
