#include <qvl3d/SingleGridSolver.h>
#include "detail/Bound.h"
#include "detail/Pcg.h"

namespace qvl3d {
namespace detail {

// The store holds the reference residual of a conjugate-gradient solve and
// no iteration count. The progress line follows the store's print settings.
CSolveRecord RunPcg(const CBound& h, ELayout layout, int ivarb, double* x, const double* b,
                    const CIterationObserver* observer)
{
    CQvl3dGV& S = *h.S;
    CMethodSettings set = SettingsOf(S, ivarb, observer);
    if (S.m_piSilent[0] == 0 && S.m_piPrintSolver[0] != 0) set.progressInterval = S.m_piPrintInterval[0];
    const CAgainstFirst stop = StopRuleOf(S, ivarb);
    const CSolveRecord rec = WithRows(h, layout, [&](const auto& rows) {
        return WithPreconditioner(S.m_piPrecondType[0], [&](auto precond) {
            return Pcg(rows, h.Context(), set, stop, precond, WorkOf(S), x, b);
        });
    });
    if (rec.iterations >= 1) S.m_pdResidual0[ivarb] = rec.reference;
    return rec;
}

} // namespace detail
} // namespace qvl3d

using namespace qvl3d;
using namespace qvl3d::detail;

void CSingleGridSolver::PCG(int ivarb, double* x, double* b)
{
    RunPcg({m_pGV, m_pFVMesh, m_pCommu, m_pCom, m_pGVGPU}, ELayout::Native, ivarb, x, b, nullptr);
}

void CSingleGridSolver::PCG_CSR(int ivarb, double* x, double* b)
{
    RunPcg({m_pGV, m_pFVMesh, m_pCommu, m_pCom, m_pGVGPU}, ELayout::Csr, ivarb, x, b, nullptr);
}
