#include "SingleGridSolver.h"
#include "detail/BiCgStab.h"
#include "detail/Layouts.h"

using namespace qvl3d::detail;

void CSingleGridSolver::PBiCGSTAB(int ivarb, double* x, double* b)
{
    BiCgStab(NativeRowsOf(m_pGV, m_pFVMesh), ContextOf(m_pGV, m_pFVMesh, m_pCommu, m_pCom), ivarb, x, b);
}

void CSingleGridSolver::PBiCGSTAB_CSR(int ivarb, double* x, double* b)
{
    BiCgStab(CsrRowsOf(m_pFVMesh), ContextOf(m_pGV, m_pFVMesh, m_pCommu, m_pCom), ivarb, x, b);
}

void CSingleGridSolver::PBiCGSTAB_ELL(int ivarb, double* x, double* b)
{
    BiCgStab(EllRowsOf(m_pGVGPU, m_pGV, m_pFVMesh), ContextOf(m_pGV, m_pFVMesh, m_pCommu, m_pCom), ivarb, x, b);
}

// The native method step for step: native rows, the blocking exchange, the
// store's preconditioner type (the entry points set 3). It reads nothing of
// the OpenMP store and runs on the caller's thread.
void CSingleGridSolver::PBiCGSTAB_OpenMP(int ivarb, double* x, double* b)
{
    PBiCGSTAB(ivarb, x, b);
}
