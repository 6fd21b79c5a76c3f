#include "SingleGridSolver.h"
#include "detail/Layouts.h"
#include "detail/Pcg.h"

using namespace qvl3d::detail;

void CSingleGridSolver::PCG(int ivarb, double* x, double* b)
{
    Pcg(NativeRowsOf(m_pGV, m_pFVMesh), ContextOf(m_pGV, m_pFVMesh, m_pCommu, m_pCom), ivarb, x, b);
}

void CSingleGridSolver::PCG_CSR(int ivarb, double* x, double* b)
{
    Pcg(CsrRowsOf(m_pFVMesh), ContextOf(m_pGV, m_pFVMesh, m_pCommu, m_pCom), ivarb, x, b);
}
