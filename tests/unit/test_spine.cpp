// The solver object: construction, copying, the binding calls and their
// console messages, SetupSolver and the entry points' dispatch.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace qvl3d;
using namespace qvl3d::test;
using P = CSingleGridSolverProbe;

TEST(SolverObject, ConstructionSetsTheDocumentedValues)
{
    CSingleGridSolver s;
    EXPECT_STREQ(P::Error(s), "Single Grid Solver Error = ");
    EXPECT_FALSE(P::OpenMPSetupDone(s));
    EXPECT_EQ(P::CellOpenMP(s), 0);
    EXPECT_EQ(P::Acceleration(s), QVLAccelerationNone);
    EXPECT_EQ(P::GV(s), nullptr);
    EXPECT_EQ(P::Mesh(s), nullptr);
    EXPECT_EQ(P::Commu(s), nullptr);
    EXPECT_EQ(P::Com(s), nullptr);
    EXPECT_EQ(P::GPUtool(s), nullptr);
    EXPECT_EQ(s.declareMem(), 1);
}

TEST(Binding, NullArgumentsReportAndKeepPartialBindings)
{
    CSingleGridSolver s;
    CQvl3dGV gv, gv2;
    CQVL3DFiniteVolumeMesh mesh;
    CCommunication commu;
    CQVLCom com;
    int rc = 0;

    EXPECT_EQ(CaptureStdout([&] { rc = s.getGV(nullptr, &mesh); }), "pGV is NULL!\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(P::GV(s), nullptr);
    EXPECT_EQ(P::Mesh(s), nullptr);

    EXPECT_EQ(CaptureStdout([&] { rc = s.getGV(&gv, &mesh); }), "");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(CaptureStdout([&] { rc = s.getGV(&gv2, nullptr); }), "pFVMesh is NULL!\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(P::GV(s), &gv2);    // the store is taken before the mesh is tested
    EXPECT_EQ(P::Mesh(s), &mesh); // the mesh binding is unchanged

    EXPECT_EQ(CaptureStdout([&] { rc = s.getCommunication(nullptr, &com); }), "pCommu is NULL!\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(P::Commu(s), nullptr);
    EXPECT_EQ(CaptureStdout([&] { rc = s.getCommunication(&commu, nullptr); }), "pCom is NULL!\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(P::Commu(s), &commu);
    EXPECT_EQ(P::Com(s), nullptr);
    EXPECT_EQ(CaptureStdout([&] { rc = s.getCommunication(&commu, &com); }), "");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(P::Com(s), &com);

    EXPECT_EQ(CaptureStdout([&] { rc = s.getGVOpenMP(nullptr); }), "pGVOpenMP_ is NULL!\n");
    EXPECT_EQ(rc, -1);
    CQVLGVOpenMP omp;
    EXPECT_EQ(s.getGVOpenMP(&omp), 0);
    EXPECT_EQ(P::GVOpenMP(s), &omp);
}

TEST(Binding, AcceleratorStoreWithoutToolIsReportedButBound)
{
    CSingleGridSolver s;
    CQVLGVGPU gpu;
    int rc = 1;
    EXPECT_EQ(CaptureStdout([&] { rc = s.getGVGPU(nullptr); }), "pGVGPU is NULL!\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(CaptureStdout([&] { rc = s.getGVGPU(&gpu); }), "pGVGPU->m_pGPUtool == NULL\n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(P::GVGPU(s), &gpu);

    int tool = 0;
    gpu.m_pGPUtool = &tool;
    EXPECT_EQ(CaptureStdout([&] { rc = s.getGVGPU(&gpu); }), "");
    EXPECT_EQ(rc, 0);
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

TEST(SetupSolver, RecordsTheTypeAndRunsTheOpenMPSetupOnce)
{
    CBoundSystem sys(ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1));
    CSingleGridSolver& s = sys.solver;
    EXPECT_EQ(CaptureStdout([&] { s.SetupSolver(static_cast<QVLAccelerationType>(1)); }), "");
    EXPECT_EQ(P::Acceleration(s), 1);
    EXPECT_FALSE(P::OpenMPSetupDone(s));

    EXPECT_EQ(CaptureStdout([&] { s.SetupSolver(QVLAccelerationOpenMP); }), "OpenMP Acceleration\n");
    EXPECT_TRUE(P::OpenMPSetupDone(s));
    EXPECT_EQ(P::CellOpenMP(s), 3);
    EXPECT_EQ(P::CellTotalOpenMP(s), 4);
    double* first = sys.host.openmp.m_pdAELL;

    EXPECT_EQ(CaptureStdout([&] { s.SetupSolver(QVLAccelerationNone); }), "");
    EXPECT_EQ(CaptureStdout([&] { s.SetupSolver(QVLAccelerationOpenMP); }),
              "SetupSolver() for OpenMP is already called.\n");
    EXPECT_EQ(P::Acceleration(s), QVLAccelerationOpenMP);
    EXPECT_EQ(sys.host.openmp.m_pdAELL, first);
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
    EXPECT_EQ(CaptureStdout([&] { sys.Solve(ELayout::Native, 2, 9, x, b); }), ""); // type 0
    sys.solver.SetupSolver(static_cast<QVLAccelerationType>(-1));
    EXPECT_EQ(CaptureStdout([&] { sys.Solve(ELayout::Native, 2, 9, x, b); }), ""); // signed test
    sys.solver.SetupSolver(static_cast<QVLAccelerationType>(1));
    EXPECT_EQ(CaptureStdout([&] { sys.Solve(ELayout::Native, 2, 9, x, b); }), "ivarb=2, lsolv=9, AccelerationType=1\n");
    EXPECT_EQ(CaptureStdout([&] { sys.Solve(ELayout::Csr, 2, 0, x, b); }), "ivarb=2, lsolv=0, AccelerationType=1\n");
    EXPECT_EQ(CaptureStdout([&] { sys.Solve(ELayout::Ell, 2, 9, x, b); }), ""); // never printed
    *sys.host.store.m_piPrintSolver = 0;
    EXPECT_EQ(CaptureStdout([&] { sys.Solve(ELayout::Native, 2, 9, x, b); }), "");
}

TEST_F(Dispatch, CodesOutsideTheTableTouchNothing)
{
    for (ELayout layout : {ELayout::Native, ELayout::Csr, ELayout::Ell})
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

TEST_F(Dispatch, CodeFourRunsGaussSeidelOnEachLayout)
{
    for (ELayout layout : {ELayout::Native, ELayout::Csr, ELayout::Ell}) {
        sys.transport->calls.clear();
        CaptureStdout([&] { sys.Solve(layout, 2, 4, x, b); });
        // One sum and one exchange per sweep, seven sweeps at most.
        EXPECT_EQ(sys.transport->Count("Sum"), sys.transport->Count("Exch")) << LayoutName(layout);
        EXPECT_GE(sys.transport->Count("Sum"), 1);
    }
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
