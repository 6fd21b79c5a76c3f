#include <qvl3d/SingleGridSolver.h>
#include "detail/Layouts.h"
#include "detail/Preconditioner.h"

using namespace qvl3d::detail;

namespace {

// z = M^-1 r with the store's preconditioner type and work vector.
template <class Rows>
void ApplyStoreType(const Rows& A, const CQvl3dGV& S, double* z, const double* r, const double* D)
{
    WithPreconditioner(S.m_piPrecondType[0],
                       [&](auto precond) { precond.Apply(A, z, D, S.m_pdPrecondWork, FromArray(r)); });
}

} // namespace

void CSingleGridSolver::FindPreConditioner(double* pdPrecond, int iType)
{
    WithPreconditioner(iType, [&](auto precond) { precond.Build(NativeRowsOf(m_pGV, m_pFVMesh), pdPrecond); });
}

void CSingleGridSolver::FindPreConditioner_CSR(double* pdPrecond, int iType)
{
    WithPreconditioner(iType, [&](auto precond) { precond.Build(CsrRowsOf(m_pFVMesh), pdPrecond); });
}

void CSingleGridSolver::FindPreConditioner_ELL(double* pdPrecond, int iType)
{
    WithPreconditioner(iType, [&](auto precond) { precond.Build(EllRowsOf(m_pGVGPU, m_pGV, m_pFVMesh), pdPrecond); });
}

void CSingleGridSolver::FindPreConditioner_OpenMP(double* pdPrecond, int iType)
{
    FindPreConditioner(pdPrecond, iType);
}

void CSingleGridSolver::DILU(double* pdPrecond)
{
    CDilu::Build(NativeRowsOf(m_pGV, m_pFVMesh), pdPrecond);
}

void CSingleGridSolver::DILU_CSR(double* pdPrecond)
{
    CDilu::Build(CsrRowsOf(m_pFVMesh), pdPrecond);
}

void CSingleGridSolver::DILU_ELL(double* pdPrecond)
{
    CDilu::Build(EllRowsOf(m_pGVGPU, m_pGV, m_pFVMesh), pdPrecond);
}

// Declared beside the DILU construction; nothing calls it.
void CSingleGridSolver::ILU0(double*) {}

void CSingleGridSolver::SolvePreConditioner(double* z, double* r, double* pdPrecond)
{
    ApplyStoreType(NativeRowsOf(m_pGV, m_pFVMesh), *m_pGV, z, r, pdPrecond);
}

void CSingleGridSolver::SolvePreConditioner_CSR(double* z, double* r, double* pdPrecond)
{
    ApplyStoreType(CsrRowsOf(m_pFVMesh), *m_pGV, z, r, pdPrecond);
}

void CSingleGridSolver::SolvePreConditioner_ELL(double* z, double* r, double* pdPrecond)
{
    ApplyStoreType(EllRowsOf(m_pGVGPU, m_pGV, m_pFVMesh), *m_pGV, z, r, pdPrecond);
}

void CSingleGridSolver::SolvePreConditioner_OpenMP(double* z, double* r, double* pdPrecond)
{
    SolvePreConditioner(z, r, pdPrecond);
}
