#include <qvl3d/SingleGridSolver.h>
#include "detail/BiCgStab.h"
#include "detail/Bound.h"

namespace qvl3d {
namespace detail {

// Writes what the store holds of a BiCGSTAB solve: the reference residual
// (0 when x already solved the system) and the last completed iteration.
CSolveRecord RunBiCgStab(const CBound& h, ELayout layout, int ivarb, double* x, const double* b,
                         const CIterationObserver* observer)
{
    CQvl3dGV& S = *h.S;
    const CMethodSettings set = SettingsOf(S, ivarb, observer);
    const CAgainstFirst stop = StopRuleOf(S, ivarb);
    const CSolveRecord rec = WithRows(h, layout, [&](const auto& rows) {
        return WithPreconditioner(S.m_piPrecondType[0], [&](auto precond) {
            return BiCgStab(rows, h.Context(), set, stop, precond, WorkOf(S), x, b);
        });
    });
    if (rec.status == EStatus::ZeroInitialResidual) S.m_pdResidual0[ivarb] = 0.0;
    if (rec.iterations >= 1) {
        S.m_pdResidual0[ivarb] = rec.reference;
        S.m_piIterCount[ivarb] = rec.iterations;
    }
    return rec;
}

} // namespace detail
} // namespace qvl3d

using namespace qvl3d;
using namespace qvl3d::detail;

void CSingleGridSolver::PBiCGSTAB(int ivarb, double* x, double* b)
{
    RunBiCgStab({m_pGV, m_pFVMesh, m_pCommu, m_pCom, m_pGVGPU}, ELayout::Native, ivarb, x, b, nullptr);
}

void CSingleGridSolver::PBiCGSTAB_CSR(int ivarb, double* x, double* b)
{
    RunBiCgStab({m_pGV, m_pFVMesh, m_pCommu, m_pCom, m_pGVGPU}, ELayout::Csr, ivarb, x, b, nullptr);
}

void CSingleGridSolver::PBiCGSTAB_ELL(int ivarb, double* x, double* b)
{
    RunBiCgStab({m_pGV, m_pFVMesh, m_pCommu, m_pCom, m_pGVGPU}, ELayout::Ell, ivarb, x, b, nullptr);
}

// The native method step for step: native rows, the blocking exchange, the
// store's preconditioner type (the entry points set 3). It reads nothing of
// the OpenMP store and runs on the caller's thread.
void CSingleGridSolver::PBiCGSTAB_OpenMP(int ivarb, double* x, double* b)
{
    PBiCGSTAB(ivarb, x, b);
}
