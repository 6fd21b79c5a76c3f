#include <qvl3d/HostCheck.h>

#include <qvl3d/SingleGridSolver.h>
#include "Validation.h"

#include <string>

namespace qvl3d {

namespace {

// What a call of entry point `layout` with solver code `method` reads, as the
// entry points dispatch it (the solver codes of SolverTable.h: the rows they
// run on, the diagonal preconditioner codes 5 and 6 write into the store,
// the codes the ELL entry point serves). False when the call runs no method.
bool NeedsOf(const CQvl3dGV& S, int method, ELayout layout, int ivarb, host::CHostNeeds& needs)
{
    const bool ell = layout == ELayout::Ell;
    const CSolverCodeInfo* code = FindSolverCode(method);
    if (code == nullptr || (ell && !code->servedByEll)) return false;
    const ELayout rows = RowsForCode(*code, layout);
    needs.layouts = LayoutBit(rows);

    // A type the store cannot tell yet (the array is reported) counts as
    // DILU, which reads the most.
    const int type = code->forcesDiagonal           ? kDiagonalType
                     : S.m_piPrecondType != nullptr ? S.m_piPrecondType[0]
                                                    : Find(EPreconditioner::Dilu)->designType;
    const bool gs = code->method == EMethod::GaussSeidel, pcg = code->method == EMethod::Cg;
    const bool silentRead = pcg;
    const bool quiet = S.m_piSilent != nullptr && S.m_piSilent[0] != 0;
    const CPreconditionerInfo& precondInfo = OfDesignType(type);
    needs.orderedLists = !gs && precondInfo.readsSplitRows && rows != ELayout::Csr;
    needs.precondType = !gs; // the Krylov methods read it, codes 5 and 6 write it
    needs.silent = silentRead;
    needs.printSolver = !ell || (pcg && !quiet);
    needs.printInterval =
        pcg && S.m_piSilent != nullptr && !quiet && S.m_piPrintSolver != nullptr && S.m_piPrintSolver[0] != 0;
    needs.extremes = gs && ivarb == 6;
    needs.iterCount = code->method == EMethod::BiCgStab;

    unsigned precond = 0;
    if (precondInfo.readsArray) precond |= host::kVecPrecondDiag;
    if (precondInfo.readsWork) precond |= host::kVecPrecondWork;
    if (gs) {
        needs.vectors = 0;
        needs.haloVectors = 0;
    } else if (pcg) {
        needs.vectors = host::kVecR | host::kVecZ | host::kVecP | host::kVecQ | precond;
        needs.haloVectors = host::kVecP;
    } else {
        needs.vectors = host::kVecR | host::kVecR0Hat | host::kVecP | host::kVecPHat | host::kVecZ | host::kVecQ |
                        host::kVecSHat | host::kVecT | precond;
        needs.haloVectors = host::kVecPHat | host::kVecSHat;
    }
    return true;
}

} // namespace

std::vector<std::string> CheckHostObjects(const CQVL3DFiniteVolumeMesh& mesh, const CQvl3dGV& store,
                                          const CQVLGVGPU* gpu, int method, ELayout layout, int ivarb,
                                          const CHostRoom& room, std::size_t maxProblems)
{
    if (Find(layout) == nullptr)
        return {"layout " + std::to_string(static_cast<int>(layout)) + " is not one of " + Words(kLayouts)};
    host::CHostNeeds needs;
    if (!NeedsOf(store, method, layout, ivarb, needs))
        return {"solver code " + std::to_string(method) + " names no method for " + Find(layout)->entryPoint +
                ": the call does nothing"};
    std::vector<std::string> problems;
    if (ivarb < 0)
        problems.push_back("variable " + std::to_string(ivarb) +
                           " is negative: the per-variable arrays are indexed by it from 0");
    static const CQVLGVGPU kNoGpu;
    if ((needs.layouts & LayoutBit(ELayout::Ell)) && gpu == nullptr) {
        problems.push_back("the ELL rows are read, but there is no accelerator store (CQVLGVGPU; a bound solver "
                           "gets it from getGVGPU)");
        needs.layouts = 0;
    }
    const host::CValidationReport report =
        host::ValidateHostFor(mesh, store, gpu != nullptr ? *gpu : kNoGpu, room, needs, ivarb, maxProblems);
    problems.insert(problems.end(), report.problems.begin(), report.problems.end());
    const long long shown = static_cast<long long>(report.problems.size());
    if (report.count > shown) problems.push_back("... and " + std::to_string(report.count - shown) + " more");
    return problems;
}

std::vector<std::string> CheckHostObjects(const CSingleGridSolver& solver, int method, ELayout layout, int ivarb,
                                          const CHostRoom& room, std::size_t maxProblems)
{
    if (solver.m_pGV == nullptr || solver.m_pFVMesh == nullptr)
        return {"the solver has no store and mesh: getGV was not called with both, or failed"};
    std::vector<std::string> problems;
    if (solver.m_pCommu == nullptr || solver.m_pCom == nullptr)
        problems.push_back("the solver has no communication objects: getCommunication was not called, or failed");
    std::vector<std::string> more =
        CheckHostObjects(*solver.m_pFVMesh, *solver.m_pGV, solver.m_pGVGPU, method, layout, ivarb, room, maxProblems);
    problems.insert(problems.end(), more.begin(), more.end());
    return problems;
}

} // namespace qvl3d
