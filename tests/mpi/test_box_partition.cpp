// A rank's share of a box built from its sub-box alone (DistributeBox)
// against the share Distribute cuts from the global system, field by field
// and bit for bit, over boxes of every shape and part counts that leave
// parts empty.
#include "Partition.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace qvl3d::host;

namespace {

struct CBoxCase {
    const char* name;
    CBox box;
};

// Cubes, flat and thin boxes, prime extents, and boxes with fewer cells than
// some of the part counts.
const CBoxCase kBoxes[] = {
    {"cube 6", {6, 6, 6}},       {"cube 5", {5, 5, 5}},       {"flat 20x3x2", {20, 3, 2}},
    {"flat 2x3x20", {2, 3, 20}}, {"primes 7x5x3", {7, 5, 3}}, {"primes 13x11x1", {13, 11, 1}},
    {"line 1x1x2", {1, 1, 2}},   {"tiny 3x2x1", {3, 2, 1}},   {"single cell", {1, 1, 1}},
};
const int kParts[] = {1, 2, 3, 4, 5, 7, 8};

} // namespace

TEST(DistributeBox, EveryRankMatchesTheGlobalShareBitForBit)
{
    const CConvection flow{1.0, -0.5, 0.25, 7.0}; // every upwind direction, values not symmetric
    for (const CBoxCase& c : kBoxes)
        for (int problem = 0; problem < 2; ++problem) {
            const CBoxStencil stencil =
                problem == 0 ? CBoxStencil::Poisson(c.box) : CBoxStencil::ConvectionDiffusion(c.box, flow);
            const CSparseMatrix A = problem == 0 ? Poisson(c.box) : ConvectionDiffusion(c.box, flow);
            const std::vector<double> ones(static_cast<size_t>(A.nCell) + 1, 1.0);
            std::vector<double> b(ones.size(), 0.0);
            Multiply(A, ones.data(), b.data());
            for (int nParts : kParts) {
                const COwners owner = PartitionBox(c.box, nParts);
                for (int rank = 0; rank < nParts; ++rank) {
                    const std::string where = std::string(c.name) + (problem == 0 ? ", Poisson" : ", convdiff") +
                                              ", rank " + std::to_string(rank) + " of " + std::to_string(nParts);
                    const CPartition want = Distribute(A, owner, rank, nParts);
                    const CPartition got = DistributeBox(stencil, rank, nParts);
                    qvl3d::test::ExpectSamePartition(got, want, where);
                    const std::vector<double> wantB = Localise(want, b), gotB = BoxRowSums(stencil, got);
                    ASSERT_EQ(gotB.size(), wantB.size()) << where;
                    for (size_t l = 0; l < wantB.size(); ++l)
                        ASSERT_TRUE(qvl3d::test::BitEqual(gotB[l], wantB[l])) << where << ": b at local cell " << l;
                    if (testing::Test::HasFailure()) return; // the first share that differs says enough
                }
            }
        }
}

TEST(DistributeBox, OwnerAndSubBoxFromTheCutsAgreeWithPartitionBox)
{
    for (const CBoxCase& c : kBoxes)
        for (int nParts : kParts) {
            const COwners owner = PartitionBox(c.box, nParts);
            std::vector<long long> cells(static_cast<size_t>(nParts), 0);
            for (int iz = 0; iz < c.box.nz; ++iz)
                for (int iy = 0; iy < c.box.ny; ++iy)
                    for (int ix = 0; ix < c.box.nx; ++ix) {
                        const int q = owner[static_cast<size_t>(c.box.Cell(ix, iy, iz))];
                        ASSERT_EQ(BoxOwner(c.box, nParts, ix, iy, iz), q)
                            << c.name << ", " << nParts << " parts, cell (" << ix << ", " << iy << ", " << iz << ")";
                        ASSERT_TRUE(BoxPartRegion(c.box, nParts, q).Contains(ix, iy, iz))
                            << c.name << ", " << nParts << " parts: part " << q << "'s sub-box lacks its cell";
                        ++cells[static_cast<size_t>(q)];
                    }
            for (int q = 0; q < nParts; ++q)
                EXPECT_EQ(BoxPartRegion(c.box, nParts, q).Cells(), cells[static_cast<size_t>(q)])
                    << c.name << ", part " << q << " of " << nParts;
        }
}

TEST(DistributeBox, RefusesWhatItCannotSplit)
{
    const CBoxStencil stencil = CBoxStencil::Poisson(CBox{2, 2, 2});
    const struct {
        int rank, nParts;
        const char* says;
    } bad[] = {{2, 2, "rank 2 outside 0..1"}, {-1, 3, "rank -1 outside 0..2"}, {0, 0, "0 parts"}};
    for (const auto& b : bad) {
        try {
            DistributeBox(stencil, b.rank, b.nParts);
            ADD_FAILURE() << "rank " << b.rank << " of " << b.nParts << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(b.says), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(BoxOwner(CBox{2, 2, 2}, 2, 0, 2, 0), std::invalid_argument);
    EXPECT_THROW(CBoxStencil::Poisson(CBox{0, 2, 2}), std::invalid_argument);
}
