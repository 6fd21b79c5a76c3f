// qvl3d-solve: assembles a 3-D Poisson system on a box of cells, fills the
// three matrix layouts, solves it with Gauss-Seidel through each entry point
// and reports what happened. The solver's own console lines pass through.
#include "BoxProblems.h"
#include "HostSystem.h"
#include "SingleGridSolver.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace qvl3d::host;

namespace {

struct CRun {
    const char* layout;
    double relResidual;
    double residual0;
    double seconds;
};

} // namespace

int main(int argc, char** argv)
{
    const int edge = argc > 1 ? std::atoi(argv[1]) : 8;
    if (edge < 1 || edge > 200) {
        std::fprintf(stderr, "qvl3d-solve: box edge must be 1..200 cells\n");
        return 2;
    }
    const int ivarb = 0, maxIter = 5000;
    const double tolerance = 1e-8;
    const CSparseMatrix A = Poisson(CBox{edge, edge, edge});
    const int n = A.nCell;

    // b = A * 1, so the exact solution is known.
    std::vector<double> ones(static_cast<size_t>(n) + 1, 1.0), b(static_cast<size_t>(n) + 1, 0.0);
    Multiply(A, ones.data(), b.data());
    double bNorm = 0.0;
    for (int i = 1; i <= n; ++i) bNorm += b[i] * b[i];
    bNorm = std::sqrt(bNorm);

    std::vector<CRun> runs;
    for (int layout = 0; layout < 3; ++layout) {
        CHostSystem host(A);
        CSingleGridSolver solver;
        CCommunication commu;
        CQVLCom com;
        if (host.Bind(solver, commu, com) != 0) return 3;
        host.SetVariable(ivarb, maxIter, tolerance);
        double* x = host.NewVector();

        const auto t0 = std::chrono::steady_clock::now();
        if (layout == 0) solver.Solver(ivarb, 4, x, b.data(), 0);
        if (layout == 1) solver.Solver_CSR(ivarb, 4, x, b.data(), 0);
        if (layout == 2) solver.Solver_ELL(ivarb, 4, x, b.data(), 0);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

        std::vector<double> ax(static_cast<size_t>(n) + 1);
        Multiply(A, x, ax.data());
        double r = 0.0;
        for (int i = 1; i <= n; ++i) r += (b[i] - ax[i]) * (b[i] - ax[i]);
        runs.push_back({layout == 0   ? "native"
                        : layout == 1 ? "csr"
                                      : "ell",
                        std::sqrt(r) / bNorm, host.store.m_pdResidual0[ivarb], seconds});
    }

    std::printf("\nqvl3d-solve: 3-D Poisson, %d x %d x %d = %d cells, %d non-zeros\n", edge, edge, edge, n,
                A.NonZeros());
    std::printf("method: Gauss-Seidel (code 4), tolerance %.1e, at most %d sweeps\n", tolerance, maxIter);
    std::printf("%-8s %14s %14s %10s\n", "layout", "residual0", "||b-Ax||/||b||", "seconds");
    for (const CRun& run : runs)
        std::printf("%-8s %14.6e %14.6e %10.4f\n", run.layout, run.residual0, run.relResidual, run.seconds);
    return 0;
}
