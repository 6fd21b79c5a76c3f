#include <qvl3d/SingleGridSolver.h>
#include "detail/Bound.h"
#include "detail/GaussSeidel.h"

namespace qvl3d {
namespace detail {

// The store holds the first sweep's residual and, for variable 6, the owned
// extremes of x after the last sweep.
CSolveRecord RunGaussSeidel(const CBound& h, ELayout layout, int ivarb, double* x, const double* b,
                            const CIterationObserver* observer)
{
    CQvl3dGV& S = *h.S;
    CMethodSettings set = SettingsOf(S, ivarb, observer);
    if (ivarb == 6) {
        set.xMax = S.m_pdSolutionMax;
        set.xMin = S.m_pdSolutionMin;
    }
    const CAgainstFirst stop = StopRuleOf(S, ivarb);
    const CSolveRecord rec =
        WithRows(h, layout, [&](const auto& rows) { return GaussSeidel(rows, h.Context(), set, stop, x, b); });
    if (rec.iterations >= 1) S.m_pdResidual0[ivarb] = rec.reference;
    return rec;
}

} // namespace detail
} // namespace qvl3d

using namespace qvl3d;
using namespace qvl3d::detail;

void CSingleGridSolver::GSSolver(int ivarb, double* x, double* b)
{
    RunGaussSeidel({m_pGV, m_pFVMesh, m_pCommu, m_pCom, m_pGVGPU}, ELayout::Native, ivarb, x, b, nullptr);
}

void CSingleGridSolver::GSSolver_CSR(int ivarb, double* x, double* b)
{
    RunGaussSeidel({m_pGV, m_pFVMesh, m_pCommu, m_pCom, m_pGVGPU}, ELayout::Csr, ivarb, x, b, nullptr);
}

void CSingleGridSolver::GSSolver_ELL(int ivarb, double* x, double* b)
{
    RunGaussSeidel({m_pGV, m_pFVMesh, m_pCommu, m_pCom, m_pGVGPU}, ELayout::Ell, ivarb, x, b, nullptr);
}
