#include "SingleGridSolver.h"
#include "detail/GaussSeidel.h"
#include "detail/Layouts.h"

using namespace qvl3d::detail;

void CSingleGridSolver::GSSolver(int ivarb, double* x, double* b)
{
    GaussSeidel(NativeRowsOf(m_pGV, m_pFVMesh), ContextOf(m_pGV, m_pFVMesh, m_pCommu, m_pCom), ivarb, x, b);
}

void CSingleGridSolver::GSSolver_CSR(int ivarb, double* x, double* b)
{
    GaussSeidel(CsrRowsOf(m_pFVMesh), ContextOf(m_pGV, m_pFVMesh, m_pCommu, m_pCom), ivarb, x, b);
}

void CSingleGridSolver::GSSolver_ELL(int ivarb, double* x, double* b)
{
    GaussSeidel(EllRowsOf(m_pGVGPU, m_pGV, m_pFVMesh), ContextOf(m_pGV, m_pFVMesh, m_pCommu, m_pCom), ivarb, x, b);
}
