#include <qvl3d/SingleGridSolver.h>
#include "detail/Bound.h"

#include <cstdio>
#include <cstring>

namespace {

void Report(const char* text)
{
    std::printf("%s", text);
    std::fflush(stdout);
}

} // namespace

CSingleGridSolver::CSingleGridSolver()
    : m_bOpenMPSetupDone(false), m_nCellOpenMP(0), m_nCellTotalOpenMP(0), m_eAccelerationType(QVLAccelerationNone),
      m_pGV(nullptr), m_pCommu(nullptr), m_pCom(nullptr), m_pGVGPU(nullptr), m_pGPUtool(nullptr), m_pGVOpenMP(nullptr),
      m_pFVMesh(nullptr)
{
    std::memset(m_szError, 0, sizeof m_szError);
    std::strcpy(m_szError, "Single Grid Solver Error = ");
}

// The solver owns nothing, so it frees nothing.
CSingleGridSolver::~CSingleGridSolver() = default;

CSingleGridSolver& CSingleGridSolver::operator=(const CSingleGridSolver& other) = default;

int CSingleGridSolver::declareMem()
{
    return 1;
}

int CSingleGridSolver::getGV(CQvl3dGV* pGV, CQVL3DFiniteVolumeMesh* pFVMesh)
{
    if (pGV == nullptr) {
        Report("pGV is NULL!\n");
        return -1;
    }
    m_pGV = pGV;
    if (pFVMesh == nullptr) {
        Report("pFVMesh is NULL!\n");
        return -1;
    }
    m_pFVMesh = pFVMesh;
    return 0;
}

int CSingleGridSolver::getGVGPU(CQVLGVGPU* pGVGPU)
{
    if (pGVGPU == nullptr) {
        Report("pGVGPU is NULL!\n");
        return -1;
    }
    m_pGVGPU = pGVGPU;
    m_pGPUtool = pGVGPU->m_pGPUtool;
    if (m_pGPUtool == nullptr) Report("pGVGPU->m_pGPUtool == NULL\n");
    return 0;
}

int CSingleGridSolver::getGVOpenMP(CQVLGVOpenMP* pGVOpenMP_)
{
    if (pGVOpenMP_ == nullptr) {
        Report("pGVOpenMP_ is NULL!\n");
        return -1;
    }
    m_pGVOpenMP = pGVOpenMP_;
    return 0;
}

int CSingleGridSolver::getCommunication(CCommunication* pCommu, CQVLCom* pCom)
{
    if (pCommu == nullptr) {
        Report("pCommu is NULL!\n");
        return -1;
    }
    m_pCommu = pCommu;
    if (pCom == nullptr) {
        Report("pCom is NULL!\n");
        return -1;
    }
    m_pCom = pCom;
    return 0;
}

void CSingleGridSolver::SetupSolver(QVLAccelerationType type)
{
    m_eAccelerationType = type;
    if (type != QVLAccelerationOpenMP) return;
    if (m_bOpenMPSetupDone) {
        Report("SetupSolver() for OpenMP is already called.\n");
        return;
    }
    Report("OpenMP Acceleration\n");
    m_nCellOpenMP = m_pFVMesh->m_nCell;
    m_nCellTotalOpenMP = m_pFVMesh->m_nCellTotal;
    m_pGVOpenMP->m_nNNUtemp = m_pFVMesh->m_nCellTotal;
    FindMaxNColumnAtemp_OpenMP();
    AllocateCPUMemory_OpenMP(); // a failure is reported there and not acted on
    m_bOpenMPSetupDone = true;
}

void CSingleGridSolver::Solver(int ivarb, int lsolv, double* x, double* b, int)
{
    qvl3d::SolveRecorded(*this, qvl3d::ELayout::Native, ivarb, lsolv, x, b);
}

void CSingleGridSolver::Solver_CSR(int ivarb, int lsolv, double* x, double* b, int)
{
    qvl3d::SolveRecorded(*this, qvl3d::ELayout::Csr, ivarb, lsolv, x, b);
}

void CSingleGridSolver::Solver_ELL(int ivarb, int lsolv, double* x, double* b, int)
{
    qvl3d::SolveRecorded(*this, qvl3d::ELayout::Ell, ivarb, lsolv, x, b);
}

namespace qvl3d {

// The entry points' dispatch, by the solver codes of SolverTable.h: the
// method a code runs, on which rows, and what it writes into the store
// first. The ELL entry point never prints the dispatch line.
CSolveRecord SolveRecorded(CSingleGridSolver& solver, ELayout entry, int ivarb, int lsolv, double* x, double* b,
                           const CIterationObserver* observer)
{
    using namespace detail;
    const CBound h{solver.m_pGV, solver.m_pFVMesh, solver.m_pCommu, solver.m_pCom, solver.m_pGVGPU};
    CQvl3dGV& S = *h.S;
    if (entry != ELayout::Ell && S.m_piPrintSolver[0] != 0 && static_cast<int>(solver.m_eAccelerationType) > 0) {
        std::printf("ivarb=%d, lsolv=%d, AccelerationType=%d\n", ivarb, lsolv,
                    static_cast<int>(solver.m_eAccelerationType));
        std::fflush(stdout);
    }
    const CSolverCodeInfo* code = FindSolverCode(lsolv);
    if (code == nullptr || (entry == ELayout::Ell && !code->servedByEll)) return CSolveRecord{};
    if (code->forcesDiagonal) S.m_piPrecondType[0] = kDiagonalType;
    if (code->liftsNativeLimit && entry == ELayout::Native) S.m_piMaxIter[ivarb] = kLiftedLimit;
    const ELayout rows = RowsForCode(*code, entry);
    switch (code->method) {
    case EMethod::Cg: return RunPcg(h, rows, ivarb, x, b, observer);
    case EMethod::GaussSeidel: return RunGaussSeidel(h, rows, ivarb, x, b, observer);
    case EMethod::BiCgStab: break;
    case EMethod::Gmres:
    case EMethod::Fgmres:
    case EMethod::Amg: return CSolveRecord{}; // front door only: no code names them (SolverTable.h)
    }
    return RunBiCgStab(h, rows, ivarb, x, b, observer);
}

const char* StatusName(EStatus status)
{
    switch (status) {
    case EStatus::Converged: return "converged";
    case EStatus::IterationLimit: return "iteration_limit";
    case EStatus::ZeroInitialResidual: return "zero_initial_residual";
    case EStatus::LimitBelowOne: return "limit_below_one";
    case EStatus::BreakdownRho: return "breakdown_rho";
    case EStatus::BreakdownBeta: return "breakdown_beta";
    case EStatus::BreakdownSigma: return "breakdown_sigma";
    case EStatus::BreakdownAlpha: return "breakdown_alpha";
    case EStatus::BreakdownTt: return "breakdown_tt";
    case EStatus::BreakdownOmega: return "breakdown_omega";
    case EStatus::NonFinite: return "non_finite";
    case EStatus::ZeroRightHandSide: return "zero_rhs";
    case EStatus::Diverged: return "diverged";
    case EStatus::Indefinite: return "indefinite";
    case EStatus::Inaccurate: return "inaccurate";
    case EStatus::Interrupted: return "interrupted";
    case EStatus::Stagnated: return "stagnated";
    case EStatus::BreakdownKrylov: return "breakdown_krylov";
    case EStatus::NotRun: break;
    }
    return "not_run";
}

const char* StatusText(EStatus status)
{
    switch (status) {
    case EStatus::Converged: return "the convergence test was met";
    case EStatus::IterationLimit: return "the iteration limit was reached";
    case EStatus::ZeroInitialResidual: return "the initial residual is zero: x already solves the system";
    case EStatus::LimitBelowOne: return "no iteration: the iteration limit is below 1";
    case EStatus::BreakdownRho: return "breakdown: r0hat . r = 0 (rho)";
    case EStatus::BreakdownBeta: return "breakdown: beta = 0";
    case EStatus::BreakdownSigma: return "breakdown: r0hat . A phat = 0 (sigma)";
    case EStatus::BreakdownAlpha: return "breakdown: alpha = 0";
    case EStatus::BreakdownTt: return "breakdown: t . t = 0 (x keeps the half step)";
    case EStatus::BreakdownOmega: return "breakdown: omega = 0 (x keeps the half step)";
    case EStatus::NonFinite: return "a residual norm is not finite";
    case EStatus::ZeroRightHandSide: return "the right-hand side is zero: x = 0";
    case EStatus::Diverged: return "the residual grew past the divergence limit";
    case EStatus::Indefinite:
        return "the matrix or the preconditioner is not definite: in the conjugate gradient p . A p or r . z was 0 or "
               "changed sign";
    case EStatus::Inaccurate:
        return "the method's residual met the bound, but the true residual ||b - Ax|| does not, also after restarts";
    case EStatus::Interrupted: return "interrupted: the monitor stopped the solve";
    case EStatus::Stagnated: return "stagnated: a whole GMRES restart cycle left the residual no smaller";
    case EStatus::BreakdownKrylov:
        return "breakdown: A M^-1 is singular on the Krylov space (GMRES's least-squares problem has no unique "
               "solution)";
    case EStatus::NotRun: break;
    }
    return "no method ran: the solver code names none";
}

} // namespace qvl3d

// Declared beside the methods; nothing calls them.
void CSingleGridSolver::PGMRES(int, double*, double*) {}
