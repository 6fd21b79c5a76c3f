#include "SingleGridSolver.h"

#include <cstdio>
#include <cstring>

namespace {

void Report(const char* text)
{
    std::printf("%s", text);
    std::fflush(stdout);
}

} // namespace

CSingleGridSolver::CSingleGridSolver()
    : m_bOpenMPSetupDone(false), m_nCellOpenMP(0), m_nCellTotalOpenMP(0), m_eAccelerationType(QVLAccelerationNone),
      m_pGV(nullptr), m_pCommu(nullptr), m_pCom(nullptr), m_pGVGPU(nullptr), m_pGPUtool(nullptr), m_pGVOpenMP(nullptr),
      m_pFVMesh(nullptr)
{
    std::memset(m_szError, 0, sizeof m_szError);
    std::strcpy(m_szError, "Single Grid Solver Error = ");
}

// The solver owns nothing, so it frees nothing.
CSingleGridSolver::~CSingleGridSolver() = default;

CSingleGridSolver& CSingleGridSolver::operator=(const CSingleGridSolver& other) = default;

int CSingleGridSolver::declareMem()
{
    return 1;
}

int CSingleGridSolver::getGV(CQvl3dGV* pGV, CQVL3DFiniteVolumeMesh* pFVMesh)
{
    if (pGV == nullptr) {
        Report("pGV is NULL!\n");
        return -1;
    }
    m_pGV = pGV;
    if (pFVMesh == nullptr) {
        Report("pFVMesh is NULL!\n");
        return -1;
    }
    m_pFVMesh = pFVMesh;
    return 0;
}

int CSingleGridSolver::getGVGPU(CQVLGVGPU* pGVGPU)
{
    if (pGVGPU == nullptr) {
        Report("pGVGPU is NULL!\n");
        return -1;
    }
    m_pGVGPU = pGVGPU;
    m_pGPUtool = pGVGPU->m_pGPUtool;
    if (m_pGPUtool == nullptr) Report("pGVGPU->m_pGPUtool == NULL\n");
    return 0;
}

int CSingleGridSolver::getGVOpenMP(CQVLGVOpenMP* pGVOpenMP_)
{
    if (pGVOpenMP_ == nullptr) {
        Report("pGVOpenMP_ is NULL!\n");
        return -1;
    }
    m_pGVOpenMP = pGVOpenMP_;
    return 0;
}

int CSingleGridSolver::getCommunication(CCommunication* pCommu, CQVLCom* pCom)
{
    if (pCommu == nullptr) {
        Report("pCommu is NULL!\n");
        return -1;
    }
    m_pCommu = pCommu;
    if (pCom == nullptr) {
        Report("pCom is NULL!\n");
        return -1;
    }
    m_pCom = pCom;
    return 0;
}

void CSingleGridSolver::SetupSolver(QVLAccelerationType type)
{
    m_eAccelerationType = type;
    if (type != QVLAccelerationOpenMP) return;
    if (m_bOpenMPSetupDone) {
        Report("SetupSolver() for OpenMP is already called.\n");
        return;
    }
    Report("OpenMP Acceleration\n");
    m_nCellOpenMP = m_pFVMesh->m_nCell;
    m_nCellTotalOpenMP = m_pFVMesh->m_nCellTotal;
    m_pGVOpenMP->m_nNNUtemp = m_pFVMesh->m_nCellTotal;
    FindMaxNColumnAtemp_OpenMP();
    AllocateCPUMemory_OpenMP(); // a failure is reported there and not acted on
    m_bOpenMPSetupDone = true;
}

namespace {

void PrintDispatchLine(const CQvl3dGV* pGV, int ivarb, int lsolv, QVLAccelerationType type)
{
    if (pGV->m_piPrintSolver[0] != 0 && static_cast<int>(type) > 0) {
        std::printf("ivarb=%d, lsolv=%d, AccelerationType=%d\n", ivarb, lsolv, static_cast<int>(type));
        std::fflush(stdout);
    }
}

} // namespace

void CSingleGridSolver::Solver(int ivarb, int lsolv, double* x, double* b, int)
{
    PrintDispatchLine(m_pGV, ivarb, lsolv, m_eAccelerationType);
    switch (lsolv) {
    case 2: PBiCGSTAB(ivarb, x, b); break;
    case 3: PCG(ivarb, x, b); break;
    case 4: GSSolver(ivarb, x, b); break;
    case 5:
        m_pGV->m_piPrecondType[0] = 3;
        m_pGV->m_piMaxIter[ivarb] = 1000000;
        PBiCGSTAB(ivarb, x, b);
        break;
    case 6:
        m_pGV->m_piPrecondType[0] = 3;
        PBiCGSTAB_OpenMP(ivarb, x, b);
        break;
    default: break;
    }
}

void CSingleGridSolver::Solver_CSR(int ivarb, int lsolv, double* x, double* b, int)
{
    PrintDispatchLine(m_pGV, ivarb, lsolv, m_eAccelerationType);
    switch (lsolv) {
    case 2: PBiCGSTAB_CSR(ivarb, x, b); break;
    case 3: PCG_CSR(ivarb, x, b); break;
    case 4: GSSolver_CSR(ivarb, x, b); break;
    case 5:
        m_pGV->m_piPrecondType[0] = 3; // the iteration limit is left as it is
        PBiCGSTAB_CSR(ivarb, x, b);
        break;
    case 6:
        m_pGV->m_piPrecondType[0] = 3;
        PBiCGSTAB_OpenMP(ivarb, x, b); // native rows
        break;
    default: break;
    }
}

void CSingleGridSolver::Solver_ELL(int ivarb, int lsolv, double* x, double* b, int)
{
    switch (lsolv) {
    case 2: PBiCGSTAB_ELL(ivarb, x, b); break;
    case 3: PCG(ivarb, x, b); break; // native rows: there is no ELL conjugate gradient
    case 4: GSSolver_ELL(ivarb, x, b); break;
    default: break;
    }
}

// Declared beside the methods; nothing calls them.
void CSingleGridSolver::PGMRES(int, double*, double*) {}
