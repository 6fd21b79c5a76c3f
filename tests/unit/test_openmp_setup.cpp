// SetupSolver(2): the OpenMP store's row count, longest row and zero-filled
// value array, the messages, the once-only guard and the failure path.
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

    std::vector<int> numNeighbor;
    CQVL3DFiniteVolumeMesh mesh;
    CQvl3dGV store;
    CQVLGVOpenMP openmp;
    CSingleGridSolver solver;
};

} // namespace

TEST(OpenMPSetup, HaloCellsCountTowardTheLongestRow)
{
    // Owned rows have 1 + 2 entries at most; halo cell 4 has 5 neighbours.
    CBoundSystem sys(ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1));
    sys.host.mesh.m_piNumNeighbor[4] = 5;
    EXPECT_EQ(CaptureStdout([&] { sys.solver.SetupSolver(QVLAccelerationOpenMP); }), "OpenMP Acceleration\n");
    const CQVLGVOpenMP& omp = sys.host.openmp;
    EXPECT_EQ(omp.m_nNNUtemp, 4);
    EXPECT_EQ(omp.m_nMaxNColumnAtemp, 6);
    ASSERT_NE(omp.m_pdAELL, nullptr);
    for (int k = 0; k < 4 * 6; ++k) EXPECT_EQ(omp.m_pdAELL[k], 0.0);
    EXPECT_EQ(P::CellOpenMP(sys.solver), 3);
    EXPECT_EQ(P::CellTotalOpenMP(sys.solver), 4);
    EXPECT_TRUE(P::OpenMPSetupDone(sys.solver));
}

TEST(OpenMPSetup, RowsWithoutNeighboursAndCountsBelowOne)
{
    CCountsOnly m(3, 5);
    m.numNeighbor = {0, 0, -7, 0, INT_MIN, 0}; // a count below 1 adds nothing
    m.openmp.m_nMaxNColumnAtemp = 99;
    CaptureStdout([&] { m.solver.SetupSolver(QVLAccelerationOpenMP); });
    EXPECT_EQ(m.openmp.m_nMaxNColumnAtemp, 1);
    EXPECT_EQ(m.openmp.m_nNNUtemp, 5);
    ASSERT_NE(m.openmp.m_pdAELL, nullptr);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(m.openmp.m_pdAELL[k], 0.0);
}

TEST(OpenMPSetup, MeshWithoutCells)
{
    CCountsOnly m(0, 0);
    m.openmp.m_nMaxNColumnAtemp = 99;
    m.openmp.m_nNNUtemp = 99;
    EXPECT_EQ(CaptureStdout([&] { m.solver.SetupSolver(QVLAccelerationOpenMP); }), "OpenMP Acceleration\n");
    EXPECT_EQ(m.openmp.m_nMaxNColumnAtemp, 0);
    EXPECT_EQ(m.openmp.m_nNNUtemp, 0);
    EXPECT_NE(m.openmp.m_pdAELL, nullptr); // an empty array is a successful allocation
    EXPECT_TRUE(P::OpenMPSetupDone(m.solver));
}

TEST(OpenMPSetup, SecondCallNeitherRecountsNorReallocates)
{
    CCountsOnly m(2, 3);
    m.numNeighbor = {0, 1, 2, 1};
    CaptureStdout([&] { m.solver.SetupSolver(QVLAccelerationOpenMP); });
    double* first = m.openmp.m_pdAELL;
    ASSERT_EQ(m.openmp.m_nMaxNColumnAtemp, 3);

    // The mesh grows; the set-up does not notice, whatever came between.
    m.numNeighbor[1] = 10;
    m.mesh.m_nCell = 1;
    for (QVLAccelerationType between : {QVLAccelerationNone, static_cast<QVLAccelerationType>(7)}) {
        EXPECT_EQ(CaptureStdout([&] { m.solver.SetupSolver(between); }), "");
        EXPECT_EQ(P::Acceleration(m.solver), between);
        EXPECT_EQ(CaptureStdout([&] { m.solver.SetupSolver(QVLAccelerationOpenMP); }),
                  "SetupSolver() for OpenMP is already called.\n");
        EXPECT_EQ(P::Acceleration(m.solver), QVLAccelerationOpenMP);
    }
    EXPECT_EQ(m.openmp.m_pdAELL, first);
    EXPECT_EQ(m.openmp.m_nMaxNColumnAtemp, 3);
    EXPECT_EQ(P::CellOpenMP(m.solver), 2);

    // The unused row-count helper copies the recorded total.
    m.openmp.m_nNNUtemp = 0;
    P::FindNewNNUtemp_OpenMP(m.solver);
    EXPECT_EQ(m.openmp.m_nNNUtemp, 3);
}

TEST(OpenMPSetup, SizeBeyondAnyAllocatorTakesTheFailurePath)
{
    // 2^22 rows of 2^23 + 1 entries: 2^45 + 2^22 doubles. In 32-bit
    // arithmetic the count would wrap to 2^22, a small array that seems to
    // succeed; formed in 64 bits it cannot be allocated.
    CCountsOnly m(1, 1 << 22);
    m.numNeighbor[17] = 1 << 23;
    const std::string out = CaptureStdout([&] { m.solver.SetupSolver(QVLAccelerationOpenMP); });
    EXPECT_EQ(out, "OpenMP Acceleration\nAllocate AELL failed\n");
    EXPECT_EQ(m.openmp.m_nMaxNColumnAtemp, (1 << 23) + 1);
    EXPECT_EQ(m.openmp.m_pdAELL, nullptr);
    EXPECT_TRUE(P::OpenMPSetupDone(m.solver)); // done all the same, never retried
    EXPECT_EQ(CaptureStdout([&] { m.solver.SetupSolver(QVLAccelerationOpenMP); }),
              "SetupSolver() for OpenMP is already called.\n");

    // A product beyond 64-bit byte counts fails the same way, and a later
    // allocatable size succeeds.
    m.openmp.m_nNNUtemp = INT_MAX;
    m.openmp.m_nMaxNColumnAtemp = INT_MAX;
    bool ok = true;
    EXPECT_EQ(CaptureStdout([&] { ok = P::AllocateCPUMemory_OpenMP(m.solver); }), "Allocate AELL failed\n");
    EXPECT_FALSE(ok);
    EXPECT_EQ(m.openmp.m_pdAELL, nullptr);
    m.openmp.m_nNNUtemp = 3;
    m.openmp.m_nMaxNColumnAtemp = 2;
    EXPECT_EQ(CaptureStdout([&] { ok = P::AllocateCPUMemory_OpenMP(m.solver); }), "");
    EXPECT_TRUE(ok);
    ASSERT_NE(m.openmp.m_pdAELL, nullptr);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(m.openmp.m_pdAELL[k], 0.0);
}
