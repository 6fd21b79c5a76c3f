#include <qvl3d/SingleGridSolver.h>
#include "detail/Layouts.h"
#include "detail/Preconditioner.h"

using namespace qvl3d::detail;

void CSingleGridSolver::FindPreConditioner(double* pdPrecond, int iType)
{
    BuildPreconditioner(NativeRowsOf(m_pGV, m_pFVMesh), iType, pdPrecond);
}

void CSingleGridSolver::FindPreConditioner_CSR(double* pdPrecond, int iType)
{
    BuildPreconditioner(CsrRowsOf(m_pFVMesh), iType, pdPrecond);
}

void CSingleGridSolver::FindPreConditioner_ELL(double* pdPrecond, int iType)
{
    BuildPreconditioner(EllRowsOf(m_pGVGPU, m_pGV, m_pFVMesh), iType, pdPrecond);
}

void CSingleGridSolver::FindPreConditioner_OpenMP(double* pdPrecond, int iType)
{
    FindPreConditioner(pdPrecond, iType);
}

void CSingleGridSolver::DILU(double* pdPrecond)
{
    BuildDilu(NativeRowsOf(m_pGV, m_pFVMesh), pdPrecond);
}

void CSingleGridSolver::DILU_CSR(double* pdPrecond)
{
    BuildDilu(CsrRowsOf(m_pFVMesh), pdPrecond);
}

void CSingleGridSolver::DILU_ELL(double* pdPrecond)
{
    BuildDilu(EllRowsOf(m_pGVGPU, m_pGV, m_pFVMesh), pdPrecond);
}

// Declared beside the DILU construction; nothing calls it.
void CSingleGridSolver::ILU0(double*) {}

void CSingleGridSolver::SolvePreConditioner(double* z, double* r, double* pdPrecond)
{
    ApplyPreconditioner(NativeRowsOf(m_pGV, m_pFVMesh), m_pGV->m_piPrecondType[0], z, r, pdPrecond,
                        m_pGV->m_pdPrecondWork);
}

void CSingleGridSolver::SolvePreConditioner_CSR(double* z, double* r, double* pdPrecond)
{
    ApplyPreconditioner(CsrRowsOf(m_pFVMesh), m_pGV->m_piPrecondType[0], z, r, pdPrecond, m_pGV->m_pdPrecondWork);
}

void CSingleGridSolver::SolvePreConditioner_ELL(double* z, double* r, double* pdPrecond)
{
    ApplyPreconditioner(EllRowsOf(m_pGVGPU, m_pGV, m_pFVMesh), m_pGV->m_piPrecondType[0], z, r, pdPrecond,
                        m_pGV->m_pdPrecondWork);
}

void CSingleGridSolver::SolvePreConditioner_OpenMP(double* z, double* r, double* pdPrecond)
{
    SolvePreConditioner(z, r, pdPrecond);
}
