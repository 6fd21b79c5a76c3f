// PETSc's side of the peer comparison, on 1 or more ranks (mpirun -n P):
//   bicgstab  KSPBCGS, right preconditioning, with PCJACOBI or ILU(0)
//   cg        KSPCG with PCJACOBI or ILU(0), unpreconditioned norm
//   gs        KSPRICHARDSON with PCSOR: omega 1, one forward sweep from a zero
//             correction, which is one Gauss-Seidel sweep; the residual is
//             formed and tested on every sweep
// and for the time-to-solution rows only (when --only names them):
//   gmres     KSPGMRES(--restart, default 30), right preconditioning (as
//             ours), with PCJACOBI or ILU(0)
//   cg        KSPCG with PCGAMG (its defaults) and with hypre's BoomerAMG
//             (PCHYPRE, its defaults) where this PETSc has hypre
// ILU(0) is PCILU with level 0 and natural ordering on one rank and block
// Jacobi with that ILU(0) per rank on several (PETSc's ILU is sequential), as
// our DILU ignores halo neighbours. Every solve starts from x = 0 and stops on
// ||r||/||b|| <= rtol with ||r|| the unpreconditioned residual; the absolute
// and divergence tests are off.
//
// Richardson with PCSOR normally skips the convergence test and runs the full
// iteration limit without forming a residual; a convergence test of our own
// (PETSc's default test behind a wrapper) keeps PETSc on its residual-checked
// loop, the equivalent of our Gauss-Seidel.
//
// Every rank builds the same system and inserts its block of rows (PETSc's
// default contiguous split). Set-up is KSPSetUp (the preconditioner's
// construction), the solve time is KSPSolve; both are the slowest rank's.
#include "PeerReport.h"
#include "PeerSystems.h"

#include <petscksp.h>

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::peers;

namespace {

void Check(PetscErrorCode ierr, const char* what)
{
    if (ierr != 0) throw std::runtime_error(std::string("PETSc failed in ") + what);
}

struct CRows {
    PetscInt first = 0, count = 0; // 0-based global rows owned here
};

Mat Assemble(const host::CSparseMatrix& A, const CRows& rows)
{
    std::vector<PetscInt> dnz(static_cast<size_t>(rows.count)), onz(static_cast<size_t>(rows.count));
    for (PetscInt r = 0; r < rows.count; ++r) {
        const int i = static_cast<int>(rows.first + r) + 1;
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) {
            const PetscInt c = A.col[e] - 1;
            (c >= rows.first && c < rows.first + rows.count ? dnz : onz)[static_cast<size_t>(r)]++;
        }
    }
    Mat M;
    Check(MatCreateAIJ(PETSC_COMM_WORLD, rows.count, rows.count, A.nCell, A.nCell, 0, dnz.data(), 0, onz.data(), &M),
          "MatCreateAIJ");
    Check(MatSetOption(M, MAT_NEW_NONZERO_ALLOCATION_ERR, PETSC_TRUE), "MatSetOption");
    std::vector<PetscInt> cols;
    for (PetscInt r = 0; r < rows.count; ++r) {
        const PetscInt gi = rows.first + r;
        const int i = static_cast<int>(gi) + 1;
        const int b = A.RowBegin(i), e = A.RowEnd(i);
        cols.assign(A.col.begin() + b, A.col.begin() + e);
        for (PetscInt& c : cols) c -= 1;
        Check(MatSetValues(M, 1, &gi, e - b, cols.data(), A.val.data() + b, INSERT_VALUES), "MatSetValues");
    }
    Check(MatAssemblyBegin(M, MAT_FINAL_ASSEMBLY), "MatAssemblyBegin");
    Check(MatAssemblyEnd(M, MAT_FINAL_ASSEMBLY), "MatAssemblyEnd");
    return M;
}

// PETSc's default test, called from a function of ours so that Richardson
// keeps its residual-checked loop.
PetscErrorCode ConvergedDefaultWrapped(KSP ksp, PetscInt it, PetscReal rnorm, KSPConvergedReason* reason, void* ctx)
{
    return KSPConvergedDefault(ksp, it, rnorm, reason, ctx);
}

struct CConfig {
    const char* method;
    const char* precond;
    bool perIteration; // in every run; otherwise only when --only names it
};

const CConfig kConfigs[] = {
    {"bicgstab", "diag", true}, {"bicgstab", "dilu", true}, {"cg", "diag", true},
    {"cg", "dilu", true},       {"gs", "none", true},       {"gmres", "diag", false},
    {"gmres", "dilu", false},   {"cg", "gamg", false},      {"cg", "hypre", false},
};

#ifdef PETSC_HAVE_HYPRE
constexpr bool kHaveHypre = true;
#else
constexpr bool kHaveHypre = false;
#endif

// The preconditioner named by precond on pc (for SOR also the convergence
// test that keeps Richardson on its residual-checked loop).
void SetPreconditioner(KSP ksp, PC pc, const std::string& precond, int ranks)
{
    if (precond == "diag") {
        Check(PCSetType(pc, PCJACOBI), "PCSetType");
    } else if (precond == "dilu") {
        if (ranks == 1) {
            Check(PCSetType(pc, PCILU), "PCSetType");
            Check(PCFactorSetLevels(pc, 0), "PCFactorSetLevels");
            Check(PCFactorSetMatOrderingType(pc, MATORDERINGNATURAL), "PCFactorSetMatOrderingType");
        } else {
            Check(PCSetType(pc, PCBJACOBI), "PCSetType"); // sub-solvers: see the options set in Run
        }
    } else if (precond == "gamg") {
        Check(PCSetType(pc, PCGAMG), "PCSetType");
    } else if (precond == "hypre") {
        Check(PCSetType(pc, PCHYPRE), "PCSetType");
        Check(PCHYPRESetType(pc, "boomeramg"), "PCHYPRESetType");
    } else {
        Check(PCSetType(pc, PCSOR), "PCSetType");
        Check(PCSORSetOmega(pc, 1.0), "PCSORSetOmega");
        Check(PCSORSetIterations(pc, 1, 1), "PCSORSetIterations");
        Check(PCSORSetSymmetric(pc, ranks == 1 ? SOR_FORWARD_SWEEP : SOR_LOCAL_FORWARD_SWEEP), "PCSORSetSymmetric");
        void* convergedCtx = nullptr;
        Check(KSPConvergedDefaultCreate(&convergedCtx), "KSPConvergedDefaultCreate");
        Check(KSPSetConvergenceTest(ksp, ConvergedDefaultWrapped, convergedCtx, KSPConvergedDefaultDestroy),
              "KSPSetConvergenceTest");
    }
}

struct COutcome {
    double setup = 0.0, solve = 0.0;
    int iterations = 0;
    std::string reason;
};

COutcome SolveOnce(const CConfig& c, Mat A, Vec b, Vec x, double rtol, int maxIter, int restart, int ranks)
{
    const std::string method = c.method;
    KSP ksp;
    PC pc;
    Check(KSPCreate(PETSC_COMM_WORLD, &ksp), "KSPCreate");
    Check(KSPSetOperators(ksp, A, A), "KSPSetOperators");
    Check(KSPGetPC(ksp, &pc), "KSPGetPC");
    Check(KSPSetTolerances(ksp, rtol, 0.0, PETSC_MAX_REAL, maxIter), "KSPSetTolerances");
    Check(KSPSetInitialGuessNonzero(ksp, PETSC_FALSE), "KSPSetInitialGuessNonzero");

    if (method == "bicgstab") {
        Check(KSPSetType(ksp, KSPBCGS), "KSPSetType");
        Check(KSPSetPCSide(ksp, PC_RIGHT), "KSPSetPCSide");
    } else if (method == "gmres") {
        Check(KSPSetType(ksp, KSPGMRES), "KSPSetType");
        Check(KSPGMRESSetRestart(ksp, restart), "KSPGMRESSetRestart");
        Check(KSPSetPCSide(ksp, PC_RIGHT), "KSPSetPCSide");
    } else if (method == "cg") {
        Check(KSPSetType(ksp, KSPCG), "KSPSetType");
    } else {
        Check(KSPSetType(ksp, KSPRICHARDSON), "KSPSetType");
    }
    Check(KSPSetNormType(ksp, KSP_NORM_UNPRECONDITIONED), "KSPSetNormType");
    SetPreconditioner(ksp, pc, c.precond, ranks);

    COutcome out;
    Check(VecSet(x, 0.0), "VecSet");
    MPI_Barrier(PETSC_COMM_WORLD);
    double t0 = MPI_Wtime();
    Check(KSPSetUp(ksp), "KSPSetUp");
    double local = MPI_Wtime() - t0;
    MPI_Allreduce(&local, &out.setup, 1, MPI_DOUBLE, MPI_MAX, PETSC_COMM_WORLD);

    MPI_Barrier(PETSC_COMM_WORLD);
    t0 = MPI_Wtime();
    Check(KSPSolve(ksp, b, x), "KSPSolve");
    local = MPI_Wtime() - t0;
    MPI_Allreduce(&local, &out.solve, 1, MPI_DOUBLE, MPI_MAX, PETSC_COMM_WORLD);

    PetscInt its = 0;
    KSPConvergedReason reason;
    Check(KSPGetIterationNumber(ksp, &its), "KSPGetIterationNumber");
    Check(KSPGetConvergedReason(ksp, &reason), "KSPGetConvergedReason");
    out.iterations = static_cast<int>(its);
    out.reason = KSPConvergedReasons[reason];
    Check(KSPDestroy(&ksp), "KSPDestroy");
    return out;
}

std::string Detail(const CConfig& c, int ranks, int restart, const std::string& reason)
{
    const std::string method = c.method, precond = c.precond;
    std::string d = method == "bicgstab" ? "KSPBCGS right"
                    : method == "gmres"  ? "KSPGMRES(" + std::to_string(restart) + ") right"
                    : method == "cg"     ? "KSPCG"
                                         : "KSPRICHARDSON";
    if (precond == "gamg") d += " + PCGAMG";
    if (precond == "hypre") d += " + PCHYPRE BoomerAMG";
    if (precond == "diag") d += " + PCJACOBI";
    if (precond == "dilu") d += ranks == 1 ? " + PCILU(0) natural" : " + PCBJACOBI/ILU(0) natural";
    if (precond == "none") d += ranks == 1 ? " + PCSOR forward" : " + PCSOR local forward";
    return d + "; " + reason;
}

struct CSettings {
    double rtol = 1e-8;
    int maxIter = 10000, gsSweeps = 200, restart = 30, rounds = 3;
    double minTime = 0.2;
    std::string only;
};

// The rows this process owns (PETSc's default contiguous split) and the
// system's matrix and vectors on them.
struct CPetscSystem {
    CRows rows;
    Mat A = nullptr;
    Vec x = nullptr, b = nullptr, xAll = nullptr;
    VecScatter toZero = nullptr;

    explicit CPetscSystem(const CPeerSystem& s)
    {
        PetscInt global = s.A.nCell;
        rows.count = PETSC_DECIDE;
        Check(PetscSplitOwnership(PETSC_COMM_WORLD, &rows.count, &global), "PetscSplitOwnership");
        MPI_Scan(&rows.count, &rows.first, 1, MPIU_INT, MPI_SUM, PETSC_COMM_WORLD);
        rows.first -= rows.count;
        A = Assemble(s.A, rows);
        Check(MatCreateVecs(A, &x, &b), "MatCreateVecs");
        PetscScalar* pb;
        Check(VecGetArray(b, &pb), "VecGetArray");
        for (PetscInt r = 0; r < rows.count; ++r) pb[r] = s.b[static_cast<size_t>(rows.first + r) + 1];
        Check(VecRestoreArray(b, &pb), "VecRestoreArray");
        Check(VecScatterCreateToZero(x, &toZero, &xAll), "VecScatterCreateToZero");
    }
    ~CPetscSystem()
    {
        VecScatterDestroy(&toZero);
        VecDestroy(&xAll);
        VecDestroy(&x);
        VecDestroy(&b);
        MatDestroy(&A);
    }
    CPetscSystem(const CPetscSystem&) = delete;
    CPetscSystem& operator=(const CPetscSystem&) = delete;

    // x in the original numbering on rank 0 (1-based), empty elsewhere.
    std::vector<double> Solution(int rank, int n)
    {
        Check(VecScatterBegin(toZero, x, xAll, INSERT_VALUES, SCATTER_FORWARD), "VecScatterBegin");
        Check(VecScatterEnd(toZero, x, xAll, INSERT_VALUES, SCATTER_FORWARD), "VecScatterEnd");
        if (rank != 0) return {};
        const PetscScalar* px;
        Check(VecGetArrayRead(xAll, &px), "VecGetArrayRead");
        std::vector<double> x1(static_cast<size_t>(n) + 1, 0.0);
        for (int i = 0; i < n; ++i) x1[static_cast<size_t>(i) + 1] = px[i];
        Check(VecRestoreArrayRead(xAll, &px), "VecRestoreArrayRead");
        return x1;
    }
};

// The configurations this run measures: the per-iteration ones, or those
// --only names; the conjugate gradient on symmetric matrices only.
std::vector<const CConfig*> SelectedConfigs(const CPeerSystem& s, const std::string& only)
{
    std::vector<const CConfig*> selected;
    for (const CConfig& c : kConfigs)
        if (Selected(only, c.method, c.precond, "aij") && (c.perIteration || !only.empty()) &&
            (std::string(c.method) != "cg" || s.symmetric))
            selected.push_back(&c);
    return selected;
}

struct CMeasured {
    std::vector<double> setup, solve;
    COutcome last;
    double relres = 0.0, error = 0.0;
};

CResultRow RowOf(const CPeerSystem& s, const CConfig& c, const CMeasured& m, const CSettings& set, int ranks)
{
    CResultRow r;
    r.impl = "petsc";
    r.system = s.name;
    r.cells = s.A.nCell;
    r.nonZeros = s.A.NonZeros();
    r.method = c.method;
    r.precond = c.precond;
    r.layout = "aij";
    r.ranks = ranks;
    r.rounds = set.rounds;
    r.iterations = m.last.iterations;
    r.setupSeconds = Median(m.setup);
    r.solveSeconds = Median(m.solve);
    r.trueRelResidual = m.relres;
    r.error = m.error;
    r.detail = Detail(c, ranks, set.restart, m.last.reason);
    return r;
}

CResultRow Unavailable(const CPeerSystem& s, const CConfig& c, int ranks, const std::string& why)
{
    CResultRow r;
    r.impl = "petsc";
    r.system = s.name;
    r.cells = s.A.nCell;
    r.nonZeros = s.A.NonZeros();
    r.method = c.method;
    r.precond = c.precond;
    r.layout = "aij";
    r.ranks = ranks;
    r.trueRelResidual = r.error = std::nan("");
    r.detail = why;
    return r;
}

int Run(int argc, char** argv)
{
    auto options = CommonOptions();
    options.insert("restart");
    const CPeerArgs args(argc, argv, options);
    const CPeerSystem s =
        BuildSystem(args.Text("system", "poisson:32"), args.Text("matrices", "."), args.Text("label", ""));
    CSettings set;
    set.rtol = args.Real("rtol", 1e-8, 1e-15, 0.5);
    set.maxIter = args.Int("maxit", 10000, 1, 100000000);
    set.gsSweeps = args.Int("gs-sweeps", 200, 1, 100000000);
    set.restart = args.Int("restart", 30, 1, 100000);
    set.rounds = args.Int("rounds", 3, 1, 1000);
    set.minTime = args.Real("min-time", 0.2, 0.0, 3600.0);
    set.only = args.Text("only", "");

    int rank = 0, ranks = 1;
    MPI_Comm_rank(PETSC_COMM_WORLD, &rank);
    MPI_Comm_size(PETSC_COMM_WORLD, &ranks);

    // Sub-solvers of block Jacobi: ILU(0) in natural order, applied once.
    Check(PetscOptionsSetValue(nullptr, "-sub_ksp_type", "preonly"), "PetscOptionsSetValue");
    Check(PetscOptionsSetValue(nullptr, "-sub_pc_type", "ilu"), "PetscOptionsSetValue");
    Check(PetscOptionsSetValue(nullptr, "-sub_pc_factor_levels", "0"), "PetscOptionsSetValue");
    Check(PetscOptionsSetValue(nullptr, "-sub_pc_factor_mat_ordering_type", "natural"), "PetscOptionsSetValue");

    CPetscSystem sys(s);
    std::vector<CResultRow> out;
    std::vector<const CConfig*> selected;
    for (const CConfig* c : SelectedConfigs(s, set.only)) {
        if (std::string(c->precond) == "hypre" && !kHaveHypre)
            out.push_back(Unavailable(s, *c, ranks, "this PETSc was built without hypre (no PCHYPRE)"));
        else
            selected.push_back(c);
    }
    std::vector<CMeasured> measured(selected.size());
    for (int round = 0; round < set.rounds; ++round)
        for (size_t k = 0; k < selected.size(); ++k) {
            const CConfig& c = *selected[k];
            CMeasured& m = measured[k];
            const int limit = std::string(c.method) == "gs" ? set.gsSweeps : set.maxIter;
            double setupSum = 0.0;
            int calls = 0;
            m.solve.push_back(MeanOver(set.minTime, [&] {
                m.last = SolveOnce(c, sys.A, sys.b, sys.x, set.rtol, limit, set.restart, ranks);
                setupSum += m.last.setup;
                ++calls;
                return m.last.solve;
            }));
            m.setup.push_back(setupSum / calls);
            const std::vector<double> x = sys.Solution(rank, s.A.nCell);
            if (rank == 0) {
                m.relres = TrueRelativeResidual(s, x.data());
                m.error = RelativeError(s, x.data());
            }
        }
    for (size_t k = 0; k < selected.size(); ++k) out.push_back(RowOf(s, *selected[k], measured[k], set, ranks));
    if (rank == 0) AppendRows(args.Text("out", ""), out);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // Our options are not PETSc's: PETSc sees none of them (PETSC_OPTIONS
    // still works for experiments).
    if (PetscInitializeNoArguments() != 0) {
        std::fprintf(stderr, "bench_peers_petsc: PETSc did not start\n");
        return 2;
    }
    int rc = 0;
    try {
        rc = Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_peers_petsc: %s\n", e.what());
        MPI_Abort(PETSC_COMM_WORLD, 2); // the other ranks may wait in a collective call
    }
    PetscFinalize();
    return rc;
}
