// PETSc's side of the peer comparison, on 1 or more ranks (mpirun -n P):
//   bicgstab  KSPBCGS, right preconditioning, with PCJACOBI or ILU(0)
//   cg        KSPCG with PCJACOBI or ILU(0), unpreconditioned norm
//   gs        KSPRICHARDSON with PCSOR: omega 1, one forward sweep from a zero
//             correction, which is one Gauss-Seidel sweep; the residual is
//             formed and tested on every sweep
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
};

const CConfig kConfigs[] = {
    {"bicgstab", "diag"}, {"bicgstab", "dilu"}, {"cg", "diag"}, {"cg", "dilu"}, {"gs", "none"},
};

struct COutcome {
    double setup = 0.0, solve = 0.0;
    int iterations = 0;
    std::string reason;
};

COutcome SolveOnce(const CConfig& c, Mat A, Vec b, Vec x, double rtol, int maxIter, int ranks)
{
    const std::string method = c.method, precond = c.precond;
    KSP ksp;
    PC pc;
    Check(KSPCreate(PETSC_COMM_WORLD, &ksp), "KSPCreate");
    Check(KSPSetOperators(ksp, A, A), "KSPSetOperators");
    Check(KSPGetPC(ksp, &pc), "KSPGetPC");
    Check(KSPSetTolerances(ksp, rtol, 0.0, PETSC_MAX_REAL, maxIter), "KSPSetTolerances");
    Check(KSPSetInitialGuessNonzero(ksp, PETSC_FALSE), "KSPSetInitialGuessNonzero");
    Check(KSPSetNormType(ksp, KSP_NORM_UNPRECONDITIONED), "KSPSetNormType");

    if (method == "bicgstab") {
        Check(KSPSetType(ksp, KSPBCGS), "KSPSetType");
        Check(KSPSetPCSide(ksp, PC_RIGHT), "KSPSetPCSide");
    } else if (method == "cg") {
        Check(KSPSetType(ksp, KSPCG), "KSPSetType");
    } else {
        Check(KSPSetType(ksp, KSPRICHARDSON), "KSPSetType");
    }

    void* convergedCtx = nullptr;
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
    } else {
        Check(PCSetType(pc, PCSOR), "PCSetType");
        Check(PCSORSetOmega(pc, 1.0), "PCSORSetOmega");
        Check(PCSORSetIterations(pc, 1, 1), "PCSORSetIterations");
        Check(PCSORSetSymmetric(pc, ranks == 1 ? SOR_FORWARD_SWEEP : SOR_LOCAL_FORWARD_SWEEP), "PCSORSetSymmetric");
        Check(KSPConvergedDefaultCreate(&convergedCtx), "KSPConvergedDefaultCreate");
        Check(KSPSetConvergenceTest(ksp, ConvergedDefaultWrapped, convergedCtx, KSPConvergedDefaultDestroy),
              "KSPSetConvergenceTest");
    }

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

std::string Detail(const CConfig& c, int ranks, const std::string& reason)
{
    const std::string method = c.method, precond = c.precond;
    std::string d = method == "bicgstab" ? "KSPBCGS right" : method == "cg" ? "KSPCG" : "KSPRICHARDSON";
    if (precond == "diag") d += " + PCJACOBI";
    if (precond == "dilu") d += ranks == 1 ? " + PCILU(0) natural" : " + PCBJACOBI/ILU(0) natural";
    if (precond == "none") d += ranks == 1 ? " + PCSOR forward" : " + PCSOR local forward";
    return d + "; " + reason;
}

int Run(int argc, char** argv)
{
    const CPeerArgs args(argc, argv, CommonOptions());
    const CPeerSystem s =
        BuildSystem(args.Text("system", "poisson:32"), args.Text("matrices", "."), args.Text("label", ""));
    const double rtol = args.Real("rtol", 1e-8, 1e-15, 0.5);
    const int maxIter = args.Int("maxit", 10000, 1, 100000000);
    const int gsSweeps = args.Int("gs-sweeps", 200, 1, 100000000);
    const int rounds = args.Int("rounds", 3, 1, 1000);
    const double minTime = args.Real("min-time", 0.2, 0.0, 3600.0);
    const std::string only = args.Text("only", "");

    int rank = 0, ranks = 1;
    MPI_Comm_rank(PETSC_COMM_WORLD, &rank);
    MPI_Comm_size(PETSC_COMM_WORLD, &ranks);

    // Sub-solvers of block Jacobi: ILU(0) in natural order, applied once.
    Check(PetscOptionsSetValue(nullptr, "-sub_ksp_type", "preonly"), "PetscOptionsSetValue");
    Check(PetscOptionsSetValue(nullptr, "-sub_pc_type", "ilu"), "PetscOptionsSetValue");
    Check(PetscOptionsSetValue(nullptr, "-sub_pc_factor_levels", "0"), "PetscOptionsSetValue");
    Check(PetscOptionsSetValue(nullptr, "-sub_pc_factor_mat_ordering_type", "natural"), "PetscOptionsSetValue");

    CRows rows;
    PetscInt global = s.A.nCell;
    rows.count = PETSC_DECIDE;
    Check(PetscSplitOwnership(PETSC_COMM_WORLD, &rows.count, &global), "PetscSplitOwnership");
    MPI_Scan(&rows.count, &rows.first, 1, MPIU_INT, MPI_SUM, PETSC_COMM_WORLD);
    rows.first -= rows.count;

    Mat A = Assemble(s.A, rows);
    Vec x, b;
    Check(MatCreateVecs(A, &x, &b), "MatCreateVecs");
    {
        PetscScalar* pb;
        Check(VecGetArray(b, &pb), "VecGetArray");
        for (PetscInt r = 0; r < rows.count; ++r) pb[r] = s.b[static_cast<size_t>(rows.first + r) + 1];
        Check(VecRestoreArray(b, &pb), "VecRestoreArray");
    }
    VecScatter toZero;
    Vec xAll;
    Check(VecScatterCreateToZero(x, &toZero, &xAll), "VecScatterCreateToZero");

    std::vector<const CConfig*> selected;
    for (const CConfig& c : kConfigs)
        if (Selected(only, c.method, c.precond, "aij") && (std::string(c.method) != "cg" || s.symmetric))
            selected.push_back(&c);
    std::vector<std::vector<double>> setup(selected.size()), solve(selected.size());
    std::vector<COutcome> last(selected.size());
    std::vector<double> relres(selected.size()), error(selected.size());

    for (int round = 0; round < rounds; ++round)
        for (size_t k = 0; k < selected.size(); ++k) {
            const CConfig& c = *selected[k];
            const int limit = std::string(c.method) == "gs" ? gsSweeps : maxIter;
            double setupSum = 0.0;
            int calls = 0;
            solve[k].push_back(MeanOver(minTime, [&] {
                last[k] = SolveOnce(c, A, b, x, rtol, limit, ranks);
                setupSum += last[k].setup;
                ++calls;
                return last[k].solve;
            }));
            setup[k].push_back(setupSum / calls);
            Check(VecScatterBegin(toZero, x, xAll, INSERT_VALUES, SCATTER_FORWARD), "VecScatterBegin");
            Check(VecScatterEnd(toZero, x, xAll, INSERT_VALUES, SCATTER_FORWARD), "VecScatterEnd");
            if (rank == 0) {
                const PetscScalar* px;
                Check(VecGetArrayRead(xAll, &px), "VecGetArrayRead");
                std::vector<double> x1(static_cast<size_t>(s.A.nCell) + 1, 0.0);
                for (int i = 0; i < s.A.nCell; ++i) x1[static_cast<size_t>(i) + 1] = px[i];
                Check(VecRestoreArrayRead(xAll, &px), "VecRestoreArrayRead");
                relres[k] = TrueRelativeResidual(s, x1.data());
                error[k] = RelativeError(s, x1.data());
            }
        }

    if (rank == 0) {
        std::vector<CResultRow> out;
        for (size_t k = 0; k < selected.size(); ++k) {
            CResultRow r;
            r.impl = "petsc";
            r.system = s.name;
            r.cells = s.A.nCell;
            r.nonZeros = s.A.NonZeros();
            r.method = selected[k]->method;
            r.precond = selected[k]->precond;
            r.layout = "aij";
            r.ranks = ranks;
            r.rounds = rounds;
            r.iterations = last[k].iterations;
            r.setupSeconds = Median(setup[k]);
            r.solveSeconds = Median(solve[k]);
            r.trueRelResidual = relres[k];
            r.error = error[k];
            r.detail = Detail(*selected[k], ranks, last[k].reason);
            out.push_back(r);
        }
        AppendRows(args.Text("out", ""), out);
    }
    Check(VecScatterDestroy(&toZero), "VecScatterDestroy");
    Check(VecDestroy(&xAll), "VecDestroy");
    Check(VecDestroy(&x), "VecDestroy");
    Check(VecDestroy(&b), "VecDestroy");
    Check(MatDestroy(&A), "MatDestroy");
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
