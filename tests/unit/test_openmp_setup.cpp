// SetupSolver: the type it records, and for type 2 the OpenMP store's row
// count, longest row and zero-filled value array, the messages, the once-only
// guard and the failure path.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::test;
using P = CSingleGridSolverProbe;

// The failure path asks for an array no allocator can give; under
// AddressSanitizer such a request must return null rather than abort.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace {

// A mesh that only carries the counts the set-up reads.
struct CCountsOnly {
    CCountsOnly(int nCell, int nCellTotal) : numNeighbor(static_cast<size_t>(nCellTotal) + 1, 0)
    {
        mesh.m_nCell = nCell;
        mesh.m_nCellTotal = nCellTotal;
        mesh.m_piNumNeighbor = numNeighbor.data();
        solver.getGV(&store, &mesh);
        solver.getGVOpenMP(&openmp);
    }
    ~CCountsOnly() { delete[] openmp.m_pdAELL; }
    std::string Setup()
    {
        return CaptureStdout([&] { solver.SetupSolver(QVLAccelerationOpenMP); });
    }

    std::vector<int> numNeighbor;
    CQVL3DFiniteVolumeMesh mesh;
    CQvl3dGV store;
    CQVLGVOpenMP openmp;
    CSingleGridSolver solver;
};

const char* const kAgain = "SetupSolver() for OpenMP is already called.\n";

} // namespace

TEST(OpenMPSetup, HaloCellsCountAndTheSetUpRunsOnce)
{
    // Owned rows have 1 + 2 entries at most; halo cell 4 has 5 neighbours.
    CBoundSystem sys(ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1));
    CSingleGridSolver& s = sys.solver;
    const CQVLGVOpenMP& omp = sys.host.openmp;
    sys.host.mesh.m_piNumNeighbor[4] = 5;
    EXPECT_EQ(CaptureStdout([&] { s.SetupSolver(static_cast<QVLAccelerationType>(1)); }), "");
    EXPECT_EQ(P::Acceleration(s), 1);
    EXPECT_FALSE(P::OpenMPSetupDone(s));

    EXPECT_EQ(CaptureStdout([&] { s.SetupSolver(QVLAccelerationOpenMP); }), "OpenMP Acceleration\n");
    EXPECT_TRUE(P::OpenMPSetupDone(s));
    EXPECT_EQ(omp.m_nNNUtemp, 4);
    EXPECT_EQ(omp.m_nMaxNColumnAtemp, 6);
    ASSERT_NE(omp.m_pdAELL, nullptr);
    for (int k = 0; k < 4 * 6; ++k) EXPECT_EQ(omp.m_pdAELL[k], 0.0);
    EXPECT_EQ(P::CellOpenMP(s), 3);
    EXPECT_EQ(P::CellTotalOpenMP(s), 4);
    const double* first = omp.m_pdAELL;

    // The mesh grows; the set-up does not notice, whatever came between.
    sys.host.mesh.m_piNumNeighbor[2] = 10;
    sys.host.mesh.m_nCell = 1;
    for (QVLAccelerationType between : {QVLAccelerationNone, static_cast<QVLAccelerationType>(7)}) {
        EXPECT_EQ(CaptureStdout([&] { s.SetupSolver(between); }), "");
        EXPECT_EQ(P::Acceleration(s), between);
        EXPECT_EQ(CaptureStdout([&] { s.SetupSolver(QVLAccelerationOpenMP); }), kAgain);
        EXPECT_EQ(P::Acceleration(s), QVLAccelerationOpenMP);
    }
    EXPECT_EQ(omp.m_pdAELL, first);
    EXPECT_EQ(omp.m_nMaxNColumnAtemp, 6);
    EXPECT_EQ(P::CellOpenMP(s), 3);

    // The unused row-count helper copies the recorded total.
    sys.host.openmp.m_nNNUtemp = 0;
    (s.*P::kRowsOpenMP)();
    EXPECT_EQ(omp.m_nNNUtemp, 4);
}

TEST(OpenMPSetup, RowsWithoutNeighboursCountsBelowOneAndNoCells)
{
    const struct {
        int nCell, nCellTotal;
        std::vector<int> numNeighbor;
        int width;
    } cases[] = {{3, 5, {0, 0, -7, 0, INT_MIN, 0}, 1}, {0, 0, {0}, 0}}; // a count below 1 adds nothing
    for (const auto& c : cases) {
        CCountsOnly m(c.nCell, c.nCellTotal);
        m.numNeighbor = c.numNeighbor;
        m.openmp.m_nMaxNColumnAtemp = m.openmp.m_nNNUtemp = 99;
        EXPECT_EQ(m.Setup(), "OpenMP Acceleration\n");
        EXPECT_EQ(m.openmp.m_nMaxNColumnAtemp, c.width);
        EXPECT_EQ(m.openmp.m_nNNUtemp, c.nCellTotal);
        ASSERT_NE(m.openmp.m_pdAELL, nullptr); // an empty array is a successful allocation
        for (int k = 0; k < c.nCellTotal * c.width; ++k) EXPECT_EQ(m.openmp.m_pdAELL[k], 0.0);
        EXPECT_TRUE(P::OpenMPSetupDone(m.solver));
    }
}

TEST(OpenMPSetup, SizeBeyondAnyAllocatorTakesTheFailurePath)
{
    // 2^22 rows of 2^23 + 1 entries: 2^45 + 2^22 doubles. In 32-bit
    // arithmetic the count would wrap to 2^22, a small array that seems to
    // succeed; formed in 64 bits it cannot be allocated.
    CCountsOnly m(1, 1 << 22);
    m.numNeighbor[17] = 1 << 23;
    EXPECT_EQ(m.Setup(), "OpenMP Acceleration\nAllocate AELL failed\n");
    EXPECT_EQ(m.openmp.m_nMaxNColumnAtemp, (1 << 23) + 1);
    EXPECT_EQ(m.openmp.m_pdAELL, nullptr);
    EXPECT_TRUE(P::OpenMPSetupDone(m.solver)); // done all the same, never retried
    EXPECT_EQ(m.Setup(), kAgain);

    // A product beyond 64-bit byte counts fails the same way, and a later
    // allocatable size succeeds.
    bool ok = true;
    m.openmp.m_nNNUtemp = m.openmp.m_nMaxNColumnAtemp = INT_MAX;
    EXPECT_EQ(CaptureStdout([&] { ok = (m.solver.*P::kAllocateOpenMP)(); }), "Allocate AELL failed\n");
    EXPECT_FALSE(ok);
    EXPECT_EQ(m.openmp.m_pdAELL, nullptr);
    m.openmp.m_nNNUtemp = 3;
    m.openmp.m_nMaxNColumnAtemp = 2;
    EXPECT_EQ(CaptureStdout([&] { ok = (m.solver.*P::kAllocateOpenMP)(); }), "");
    EXPECT_TRUE(ok);
    ASSERT_NE(m.openmp.m_pdAELL, nullptr);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(m.openmp.m_pdAELL[k], 0.0);
}
