// Eigen's side of the peer comparison: BiCGSTAB and ConjugateGradient with
// the diagonal (Jacobi) preconditioner on a row-major sparse matrix, one
// thread (built without OpenMP), from x = 0 to ||r||/||b|| <= rtol.
//
// Eigen's solvers stop on their recursive residual against ||b||, the same
// test the other programs run. Set-up is compute() (the inverse diagonal);
// the solve time is solve(), iterations as iterations() reports them.
#include "PeerReport.h"
#include "PeerSystems.h"

#include <Eigen/IterativeLinearSolvers>
#include <Eigen/SparseCore>

#include <cstdio>
#include <stdexcept>

using namespace qvl3d;
using namespace qvl3d::peers;

namespace {

using SpMat = Eigen::SparseMatrix<double, Eigen::RowMajor, int>;
using Vec = Eigen::VectorXd;

SpMat ToEigen(const host::CSparseMatrix& A)
{
    SpMat M(A.nCell, A.nCell);
    M.resizeNonZeros(A.NonZeros());
    for (int i = 0; i <= A.nCell; ++i) M.outerIndexPtr()[i] = A.rowStart[i];
    for (int e = 0; e < A.NonZeros(); ++e) {
        if (A.col[e] > A.nCell) throw std::invalid_argument("Eigen's side takes a matrix without halo columns");
        M.innerIndexPtr()[e] = A.col[e] - 1;
        M.valuePtr()[e] = A.val[e];
    }
    M.finalize();
    return M;
}

template <class Solver>
CResultRow Measure(const CPeerSystem& s, const SpMat& M, const Vec& b, const char* method, double rtol, int maxIter,
                   int rounds, double minSeconds, const char* detail)
{
    std::vector<double> setup, solve;
    int iterations = 0;
    Vec x;
    for (int round = 0; round < rounds; ++round) {
        Solver solver;
        solver.setTolerance(rtol);
        solver.setMaxIterations(maxIter);
        setup.push_back(MeanOver(minSeconds, [&] {
            const double t0 = Now();
            solver.compute(M);
            return Now() - t0;
        }));
        solve.push_back(MeanOver(minSeconds, [&] {
            const double t0 = Now();
            x = solver.solve(b);
            return Now() - t0;
        }));
        iterations = static_cast<int>(solver.iterations());
    }
    std::vector<double> x1(static_cast<size_t>(s.A.nCell) + 1, 0.0);
    for (int i = 0; i < s.A.nCell; ++i) x1[static_cast<size_t>(i) + 1] = x[i];

    CResultRow r;
    r.impl = "eigen";
    r.system = s.name;
    r.cells = s.A.nCell;
    r.nonZeros = s.A.NonZeros();
    r.method = method;
    r.precond = "diag";
    r.layout = "csr";
    r.rounds = rounds;
    r.iterations = iterations;
    r.setupSeconds = Median(setup);
    r.solveSeconds = Median(solve);
    r.trueRelResidual = TrueRelativeResidual(s, x1.data());
    r.error = RelativeError(s, x1.data());
    r.detail = detail;
    return r;
}

int Run(int argc, char** argv)
{
    const CPeerArgs args(argc, argv, CommonOptions());
    const CPeerSystem s =
        BuildSystem(args.Text("system", "poisson:32"), args.Text("matrices", "."), args.Text("label", ""));
    const double rtol = args.Real("rtol", 1e-8, 1e-15, 0.5);
    const int maxIter = args.Int("maxit", 10000, 1, 100000000);
    const int rounds = args.Int("rounds", 3, 1, 1000);
    const double minTime = args.Real("min-time", 0.2, 0.0, 3600.0);
    const std::string only = args.Text("only", "");

    const SpMat M = ToEigen(s.A);
    const Vec b = Eigen::Map<const Vec>(s.b.data() + 1, s.A.nCell);
    std::vector<CResultRow> rows;
    if (Selected(only, "bicgstab", "diag", "csr"))
        rows.push_back(Measure<Eigen::BiCGSTAB<SpMat, Eigen::DiagonalPreconditioner<double>>>(
            s, M, b, "bicgstab", rtol, maxIter, rounds, minTime, "Eigen::BiCGSTAB + DiagonalPreconditioner"));
    if (s.symmetric && Selected(only, "cg", "diag", "csr"))
        rows.push_back(
            Measure<
                Eigen::ConjugateGradient<SpMat, Eigen::Lower | Eigen::Upper, Eigen::DiagonalPreconditioner<double>>>(
                s, M, b, "cg", rtol, maxIter, rounds, minTime,
                "Eigen::ConjugateGradient (Lower|Upper) + DiagonalPreconditioner"));
    AppendRows(args.Text("out", ""), rows);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_peers_eigen: %s\n", e.what());
        return 2;
    }
}
