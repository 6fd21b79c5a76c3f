// The solver object: the binding calls and their console messages, copying,
// the entry points' dispatch, and the communication objects it calls.
#include "TestSupport.h"

#include <gtest/gtest.h>

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
    const struct {
        std::function<int()> call;
        const char* text;
        int rc;
    } calls[] = {
        {[&] { return s.getGV(nullptr, &mesh); }, "pGV is NULL!\n", -1},
        {[&] { return s.getGV(&gv, nullptr); }, "pFVMesh is NULL!\n", -1},
        {[&] { return s.getCommunication(nullptr, &com); }, "pCommu is NULL!\n", -1},
        {[&] { return s.getCommunication(&commu, nullptr); }, "pCom is NULL!\n", -1},
        {[&] { return s.getGVOpenMP(nullptr); }, "pGVOpenMP_ is NULL!\n", -1},
        {[&] { return s.getGVGPU(nullptr); }, "pGVGPU is NULL!\n", -1},
        {[&] { return s.getGVGPU(&gpu); }, "pGVGPU->m_pGPUtool == NULL\n", 0},
    };
    for (const auto& c : calls) {
        int rc = 99;
        EXPECT_EQ(CaptureStdout([&] { rc = c.call(); }), c.text);
        EXPECT_EQ(rc, c.rc) << c.text;
    }
    // The first argument is taken before the second is tested.
    EXPECT_EQ(P::GV(s), &gv);
    EXPECT_EQ(P::Mesh(s), nullptr);
    EXPECT_EQ(P::Commu(s), &commu);
    EXPECT_EQ(P::Com(s), nullptr);
    EXPECT_EQ(P::GVGPU(s), &gpu);

    int tool = 0;
    gpu.m_pGPUtool = &tool;
    for (const auto& call : std::vector<std::function<int()>>{
             [&] { return s.getGV(&gv, &mesh); }, [&] { return s.getCommunication(&commu, &com); },
             [&] { return s.getGVOpenMP(&omp); }, [&] { return s.getGVGPU(&gpu); }}) {
        int rc = 99;
        EXPECT_EQ(CaptureStdout([&] { rc = call(); }), "");
        EXPECT_EQ(rc, 0);
    }
    EXPECT_EQ(P::Mesh(s), &mesh);
    EXPECT_EQ(P::Com(s), &com);
    EXPECT_EQ(P::GVOpenMP(s), &omp);
    EXPECT_EQ(P::GPUtool(s), &tool);
}

TEST(SolverObject, CopyAssignmentSharesTheHostObjects)
{
    CBoundSystem sys(ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1));
    sys.solver.SetupSolver(static_cast<QVLAccelerationType>(1));
    {
        CSingleGridSolver copy;
        copy = sys.solver;
        EXPECT_EQ(P::GV(copy), &sys.host.store);
        EXPECT_EQ(P::Mesh(copy), &sys.host.mesh);
        EXPECT_EQ(P::Commu(copy), &sys.commu);
        EXPECT_EQ(P::Com(copy), &sys.com);
        EXPECT_EQ(P::GVGPU(copy), &sys.host.gpu);
        EXPECT_EQ(P::Acceleration(copy), 1);
        EXPECT_STREQ(P::Error(copy), "Single Grid Solver Error = ");
    }
    // Destroying the copy leaves the host objects usable by the original.
    double* x = sys.host.NewVector();
    double b[4] = {0, 5, 6, 5};
    sys.host.SetVariable(0, 50, 1e-12);
    CaptureStdout([&] { sys.solver.Solver(0, 4, x, b, 0); });
    EXPECT_NEAR(x[1], 1.0, 1e-10);
}

// A store whose every per-variable value and vector would show a write.
class Dispatch : public ::testing::Test {
protected:
    Dispatch() : sys(ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1))
    {
        x = sys.host.NewVector();
        sys.host.SetVariable(2, 7, 0.5);
        sys.host.store.m_pdResidual0[2] = -3.0;
        *sys.host.store.m_piPrintSolver = 1;
    }
    CBoundSystem sys;
    double* x;
    double b[4] = {0, 1, 2, 3};
};

TEST_F(Dispatch, LineNeedsPrintFlagAndPositiveAcceleration)
{
    auto line = [&](ELayout layout, int code) { return CaptureStdout([&] { sys.Solve(layout, 2, code, x, b); }); };
    EXPECT_EQ(line(ELayout::Native, 9), ""); // type 0
    sys.solver.SetupSolver(static_cast<QVLAccelerationType>(-1));
    EXPECT_EQ(line(ELayout::Native, 9), ""); // signed test
    sys.solver.SetupSolver(static_cast<QVLAccelerationType>(1));
    EXPECT_EQ(line(ELayout::Native, 9), "ivarb=2, lsolv=9, AccelerationType=1\n");
    EXPECT_EQ(line(ELayout::Csr, 0), "ivarb=2, lsolv=0, AccelerationType=1\n");
    EXPECT_EQ(line(ELayout::Ell, 9), ""); // never printed
    *sys.host.store.m_piPrintSolver = 0;
    EXPECT_EQ(line(ELayout::Native, 9), "");
}

TEST_F(Dispatch, CodesOutsideTheTableTouchNothing)
{
    for (ELayout layout : kEveryLayout)
        for (int code : {-1, 0, 1, 7, 100}) {
            sys.Solve(layout, 2, code, x, b);
            EXPECT_TRUE(sys.transport->calls.empty()) << LayoutName(layout) << " code " << code;
            for (int i = 0; i <= 4; ++i) EXPECT_EQ(x[i], 0.0);
            EXPECT_EQ(sys.host.store.m_pdResidual0[2], -3.0);
            EXPECT_EQ(sys.host.store.m_piMaxIter[2], 7);
            EXPECT_EQ(*sys.host.store.m_piPrecondType, 0);
        }
    // The ELL entry point has no codes 5 and 6.
    sys.Solve(ELayout::Ell, 2, 5, x, b);
    sys.Solve(ELayout::Ell, 2, 6, x, b);
    EXPECT_TRUE(sys.transport->calls.empty());
    EXPECT_EQ(*sys.host.store.m_piPrecondType, 0);
}

TEST_F(Dispatch, FifthArgumentIsNotRead)
{
    double* y = sys.host.NewVector();
    CaptureStdout([&] {
        sys.solver.Solver(2, 4, x, b, 0);
        sys.solver.Solver(2, 4, y, b, -12345);
    });
    for (int i = 0; i <= 4; ++i) EXPECT_EQ(x[i], y[i]);
}

TEST(Communication, DefaultObjectsServeOnePartitionAndOthersReachTheirTransport)
{
    CCommunication alone;
    double v[2] = {1.0, 2.0};
    alone.DDM_Exch(v);
    alone.DDM_IExch_Start(v, QVLNonBlockingBuffer0);
    alone.DDM_IExch_Wait(v, QVLNonBlockingBuffer0);
    EXPECT_EQ(v[1], 2.0);
    double local = -2.5;
    EXPECT_EQ(CQVLCom().AllSum(local), -2.5);
    EXPECT_EQ(local, -2.5);

    auto t = std::make_shared<CRecordingTransport>();
    t->sum = [](double local) { return local * 10.0; };
    CCommunication commu(t);
    commu.DDM_IExch_Start(v, QVLNonBlockingBuffer0);
    commu.DDM_IExch_Wait(v, QVLNonBlockingBuffer0);
    commu.DDM_Exch(v);
    local = 1.5;
    EXPECT_EQ(CQVLCom(t).AllSum(local), 15.0);
    EXPECT_EQ(t->calls, (std::vector<std::string>{"Start0", "Wait0", "Exch", "Sum"}));
}
