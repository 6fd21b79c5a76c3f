// The solver object: the binding calls and their console messages, copying,
// the dispatch line, the default communication objects, and
// SetupSolver: the type it records, and for type 2 the OpenMP store's row
// count, longest row and zero-filled value array, the messages, the
// once-only guard and the failure path.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <utility>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::test;
using P = CSingleGridSolverProbe;

TEST(Binding, MessagesResultsAndPartialBindings)
{
    CSingleGridSolver s;
    CQvl3dGV gv;
    CQVL3DFiniteVolumeMesh mesh;
    CCommunication commu;
    CQVLCom com;
    CQVLGVOpenMP omp;
    CQVLGVGPU gpu;
    // Each call in order: its console text, its result, and the bindings it
    // leaves. The first argument is taken before the second is tested.
    const struct {
        std::function<int()> call;
        const char* text;
        int rc;
        std::function<bool()> then;
    } calls[] = {
        {[&] { return s.getGV(nullptr, &mesh); }, "pGV is NULL!\n", -1, [&] { return !P::GV(s) && !P::Mesh(s); }},
        {[&] { return s.getGV(&gv, nullptr); }, "pFVMesh is NULL!\n", -1,
         [&] { return P::GV(s) == &gv && !P::Mesh(s); }},
        {[&] { return s.getGV(&gv, &mesh); }, "", 0, [&] { return P::Mesh(s) == &mesh; }},
        {[&] { return s.getCommunication(nullptr, &com); }, "pCommu is NULL!\n", -1, [&] { return !P::Commu(s); }},
        {[&] { return s.getCommunication(&commu, nullptr); }, "pCom is NULL!\n", -1,
         [&] { return P::Commu(s) == &commu && !P::Com(s); }},
        {[&] { return s.getCommunication(&commu, &com); }, "", 0, [&] { return P::Com(s) == &com; }},
        {[&] { return s.getGVOpenMP(nullptr); }, "pGVOpenMP_ is NULL!\n", -1, [&] { return !P::GVOpenMP(s); }},
        {[&] { return s.getGVOpenMP(&omp); }, "", 0, [&] { return P::GVOpenMP(s) == &omp; }},
        {[&] { return s.getGVGPU(nullptr); }, "pGVGPU is NULL!\n", -1, [&] { return !P::GVGPU(s); }},
        {[&] { return s.getGVGPU(&gpu); }, "pGVGPU->m_pGPUtool == NULL\n", 0, [&] { return P::GVGPU(s) == &gpu; }},
    };
    for (const auto& c : calls) {
        int rc = 99;
        EXPECT_EQ(CaptureStdout([&] { rc = c.call(); }), c.text);
        EXPECT_EQ(rc, c.rc) << c.text;
        EXPECT_TRUE(c.then()) << c.text;
    }
}

// The solver owns nothing: a copy solves on the same host objects, and
// destroying it leaves them to the original.
TEST(SolverObject, CopiesShareTheHostObjects)
{
    CBoundSystem sys(ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1));
    double* x = sys.host.NewVector();
    double b[4] = {0, 5, 6, 5};
    sys.host.SetVariable(0, 50, 1e-12);
    {
        CSingleGridSolver copy;
        copy = sys.solver;
        CaptureStdout([&] { copy.Solver(0, 4, x, b, 0); });
        EXPECT_FALSE(sys.transport->calls.empty());
    }
    std::fill_n(x, 5, 0.0);
    CaptureStdout([&] { sys.solver.Solver(0, 4, x, b, 0); });
    EXPECT_NEAR(x[1], 1.0, 1e-10);
}

// The dispatch line: print flag set and an acceleration type above 0, never
// through the ELL entry point.
TEST(SolverObject, DispatchLine)
{
    CBoundSystem sys(ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1));
    double* x = sys.host.NewVector();
    double b[4] = {0, 1, 2, 3};
    *sys.host.store.m_piPrintSolver = 1;
    auto line = [&](ELayout layout, int code) { return CaptureStdout([&] { sys.Solve(layout, 2, code, x, b); }); };
    EXPECT_EQ(line(ELayout::Native, 9), ""); // type 0
    sys.solver.SetupSolver(static_cast<QVLAccelerationType>(-1));
    EXPECT_EQ(line(ELayout::Native, 9), ""); // signed test
    sys.solver.SetupSolver(static_cast<QVLAccelerationType>(1));
    EXPECT_EQ(line(ELayout::Native, 9), "ivarb=2, lsolv=9, AccelerationType=1\n");
    EXPECT_EQ(line(ELayout::Csr, 0), "ivarb=2, lsolv=0, AccelerationType=1\n");
    EXPECT_EQ(line(ELayout::Ell, 9), "");
    *sys.host.store.m_piPrintSolver = 0;
    EXPECT_EQ(line(ELayout::Native, 9), "");
}

// Every other test sees the calls reach a recording transport.
TEST(Communication, DefaultObjectsServeASinglePartition)
{
    double v[2] = {1.0, 2.0}, local = -2.5;
    CCommunication commu;
    commu.DDM_Exch(v);
    commu.DDM_IExch_Start(v, QVLNonBlockingBuffer0);
    commu.DDM_IExch_Wait(v, QVLNonBlockingBuffer0);
    EXPECT_EQ(v[1], 2.0);
    EXPECT_EQ(CQVLCom().AllSum(local), -2.5);
    EXPECT_EQ(local, -2.5);
}

// The failure path asks for an array no allocator can give; under
// AddressSanitizer such a request must return null rather than abort.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace {

// A mesh that only carries the counts the set-up reads (cells 1..size - 1).
struct CCountsOnly {
    CCountsOnly(int nCell, std::vector<int> counts) : numNeighbor(std::move(counts))
    {
        mesh.m_nCell = nCell;
        mesh.m_nCellTotal = static_cast<int>(numNeighbor.size()) - 1;
        mesh.m_piNumNeighbor = numNeighbor.data();
        solver.getGV(&store, &mesh);
        solver.getGVOpenMP(&openmp);
    }
    ~CCountsOnly() { delete[] openmp.m_pdAELL; }
    std::string Setup(QVLAccelerationType type = QVLAccelerationOpenMP)
    {
        return CaptureStdout([&] { solver.SetupSolver(type); });
    }

    std::vector<int> numNeighbor;
    CQVL3DFiniteVolumeMesh mesh;
    CQvl3dGV store;
    CQVLGVOpenMP openmp;
    CSingleGridSolver solver;
};

const char* const kAgain = "SetupSolver() for OpenMP is already called.\n";

} // namespace

// The row count and longest row over owned and halo cells, and a zero-filled
// array of that shape.
TEST(OpenMPSetup, ShapeOfTheArray)
{
    const struct {
        int nCell;
        std::vector<int> numNeighbor;
        int width;
    } cases[] = {{3, {0, 1, 2, 2, 5}, 6},           // halo cell 4 has the longest row
                 {3, {0, 0, -7, 0, INT_MIN, 0}, 1}, // a count below 1 adds nothing
                 {0, {0}, 0}};
    for (const auto& c : cases) {
        CCountsOnly m(c.nCell, c.numNeighbor);
        m.openmp.m_nMaxNColumnAtemp = m.openmp.m_nNNUtemp = 99;
        EXPECT_EQ(m.Setup(), "OpenMP Acceleration\n");
        const int rows = static_cast<int>(c.numNeighbor.size()) - 1;
        EXPECT_EQ(m.openmp.m_nMaxNColumnAtemp, c.width);
        EXPECT_EQ(m.openmp.m_nNNUtemp, rows);
        ASSERT_NE(m.openmp.m_pdAELL, nullptr); // an empty array is a successful allocation
        for (int k = 0; k < rows * c.width; ++k) EXPECT_EQ(m.openmp.m_pdAELL[k], 0.0);
        EXPECT_TRUE(P::OpenMPSetupDone(m.solver));
    }
}

TEST(OpenMPSetup, RunsOnceWhateverComesBetween)
{
    CCountsOnly m(3, {0, 1, 2, 2, 5});
    EXPECT_EQ(m.Setup(static_cast<QVLAccelerationType>(1)), "");
    EXPECT_EQ(P::Acceleration(m.solver), 1);
    EXPECT_FALSE(P::OpenMPSetupDone(m.solver));
    EXPECT_EQ(m.Setup(), "OpenMP Acceleration\n");
    const double* first = m.openmp.m_pdAELL;
    m.numNeighbor[2] = 10; // the mesh grows; the set-up does not notice
    for (QVLAccelerationType between : {QVLAccelerationNone, static_cast<QVLAccelerationType>(7)}) {
        EXPECT_EQ(m.Setup(between), "");
        EXPECT_EQ(P::Acceleration(m.solver), between);
        EXPECT_EQ(m.Setup(), kAgain);
        EXPECT_EQ(P::Acceleration(m.solver), QVLAccelerationOpenMP);
    }
    EXPECT_EQ(m.openmp.m_pdAELL, first);
    EXPECT_EQ(m.openmp.m_nMaxNColumnAtemp, 6);
}

TEST(OpenMPSetup, SizeBeyondAnyAllocatorTakesTheFailurePath)
{
    // 2^22 rows of 2^23 + 1 entries: 2^45 + 2^22 doubles. In 32-bit
    // arithmetic the count would wrap to 2^22, a small array that seems to
    // succeed; formed in 64 bits it cannot be allocated.
    std::vector<int> counts((1 << 22) + 1, 0);
    counts[17] = 1 << 23;
    CCountsOnly m(1, std::move(counts));
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
