#include <qvl3d/SingleGridSolver.h>
#include "detail/Layouts.h"
#include "detail/RowProduct.h"

using namespace qvl3d::detail;

void CSingleGridSolver::DotProduct(int i, double* y, double* v)
{
    RowProduct(NativeRowsOf(m_pGV, m_pFVMesh), i, y, v);
}

void CSingleGridSolver::DotProduct_CSR(int i, double* y, double* v)
{
    RowProduct(CsrRowsOf(m_pFVMesh), i, y, v);
}

void CSingleGridSolver::DotProduct_ELL(int i, double* y, double* v)
{
    RowProduct(EllRowsOf(m_pGVGPU, m_pGV, m_pFVMesh), i, y, v);
}
