#include <qvl3d/HostCheck.h>

#include <qvl3d/SingleGridSolver.h>
#include "Validation.h"

#include <string>

namespace qvl3d {

namespace {

const char* EntryName(EEntryPoint layout)
{
    switch (layout) {
    case EEntryPoint::Csr: return "Solver_CSR";
    case EEntryPoint::Ell: return "Solver_ELL";
    case EEntryPoint::Native: break;
    }
    return "Solver";
}

// What a call of entry point `layout` with solver code `method` reads, as the
// entry points dispatch (SolveRecorded): code 3 on the ELL entry point runs
// on the native rows, code 6 always does, codes 5 and 6 write type 3 into
// the store first, and the ELL entry point knows neither 5 nor 6. False when
// the call runs no method.
bool NeedsOf(const CQvl3dGV& S, int method, EEntryPoint layout, int ivarb, host::CHostNeeds& needs)
{
    const bool ell = layout == EEntryPoint::Ell;
    const bool known = method == 2 || method == 3 || method == 4 || ((method == 5 || method == 6) && !ell);
    if (!known) return false;
    EEntryPoint rows = layout;
    if ((method == 3 && ell) || method == 6) rows = EEntryPoint::Native;
    needs.layouts = rows == EEntryPoint::Native ? host::kNativeLayout
                    : rows == EEntryPoint::Csr  ? host::kCsrLayout
                                                : host::kEllLayout;

    // A type the store cannot tell yet (the array is reported) counts as
    // DILU, which reads the most.
    const int type = method >= 5 ? 3 : S.m_piPrecondType != nullptr ? S.m_piPrecondType[0] : 1;
    const bool gs = method == 4, pcg = method == 3;
    const bool silentRead = pcg;
    const bool quiet = S.m_piSilent != nullptr && S.m_piSilent[0] != 0;
    needs.orderedLists = !gs && type == 1 && rows != EEntryPoint::Csr;
    needs.precondType = !gs; // the Krylov methods read it, codes 5 and 6 write it
    needs.silent = silentRead;
    needs.printSolver = !ell || (pcg && !quiet);
    needs.printInterval =
        pcg && S.m_piSilent != nullptr && !quiet && S.m_piPrintSolver != nullptr && S.m_piPrintSolver[0] != 0;
    needs.extremes = gs && ivarb == 6;
    needs.iterCount = method == 2 || method >= 5;

    unsigned precond = 0;
    if (type == 1 || type == 3) precond |= host::kVecPrecondDiag;
    if (type == 1) precond |= host::kVecPrecondWork;
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
                                          const CQVLGVGPU* gpu, int method, EEntryPoint layout, int ivarb,
                                          const CHostRoom& room, std::size_t maxProblems)
{
    host::CHostNeeds needs;
    if (!NeedsOf(store, method, layout, ivarb, needs))
        return {"solver code " + std::to_string(method) + " names no method for " + EntryName(layout) +
                ": the call does nothing"};
    std::vector<std::string> problems;
    if (ivarb < 0)
        problems.push_back("variable " + std::to_string(ivarb) +
                           " is negative: the per-variable arrays are indexed by it from 0");
    static const CQVLGVGPU kNoGpu;
    if ((needs.layouts & host::kEllLayout) && gpu == nullptr) {
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

std::vector<std::string> CheckHostObjects(const CSingleGridSolver& solver, int method, EEntryPoint layout, int ivarb,
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
