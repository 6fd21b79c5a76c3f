// Our side of the peer comparison: every method, preconditioner and layout of
// CSingleGridSolver on one system, driven through the reference host exactly
// as a host drives it, on one process or on P ranks (mpirun -n P).
//
// Stopping rule. The methods measure convergence against the residual norm
// after their first iteration (m_pdResidual0), not against ||b||. To stop at
// the peers' ||r||/||b|| <= rtol, one untimed iteration from x = 0 learns that
// norm (the first iteration from x = 0 is deterministic) and the timed solve
// runs with m_pdTolerance = rtol*||b||/m_pdResidual0. Gauss-Seidel's global
// residual is the sum of the partition norms: exact with one partition, on
// several it stops once that sum (>= ||r||) is below rtol*||b||.
//
// Iterations. Every method's come from the record the call returns
// (qvl3d::SolveRecorded, which does what the entry point does).
//
// Times. Set-up is a call with iteration limit 0 (initial residual and, for
// the Krylov methods, the preconditioner build); the solve time is the full
// call minus that; on several ranks both are the slowest rank's. Gauss-Seidel
// writes marker lines on every sweep; they go to /dev/null while the clock
// runs, as a host that discards them would.
//
// Partitions. Boxes are split by the reference host's geometric partitioner
// (two ranks: two slabs of contiguous cells, PETSc's split too), matrices
// into contiguous row blocks, PETSc's default.
#include "OurRunner.h"
#include "PeerReport.h"
#include "PeerSystems.h"

#include <mpi.h>

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::peers;

namespace {

int Run(int argc, char** argv, int rank, int ranks)
{
    auto options = CommonOptions();
    options.insert("model-out");
    const CPeerArgs args(argc, argv, options);
    const CPeerSystem s =
        BuildSystem(args.Text("system", "poisson:32"), args.Text("matrices", "."), args.Text("label", ""));
    const double rtol = args.Real("rtol", 1e-8, 1e-15, 0.5);
    const int maxIter = args.Int("maxit", 10000, 1, 100000000);
    const int gsSweeps = args.Int("gs-sweeps", 200, 1, 100000000);
    const int rounds = args.Int("rounds", 3, 1, 1000);
    const double minTime = args.Real("min-time", 0.2, 0.0, 3600.0);
    const std::string only = args.Text("only", "");

    COurRunner runner(s, rank, ranks);
    if (args.Has("model-out") && rank == 0) {
        std::FILE* f = std::fopen(args.Text("model-out", "").c_str(), "w");
        if (!f) throw std::runtime_error("cannot write --model-out file");
        std::fputs(ModelMarkdown(runner.Shape(), s.name, 0.0, 0.0).c_str(), f);
        std::fclose(f);
    }

    auto row = [&](const COurConfig& c) {
        CResultRow r;
        r.impl = "ours";
        r.system = s.name;
        r.cells = s.A.nCell;
        r.nonZeros = s.A.NonZeros();
        r.method = c.method;
        r.precond = c.precond;
        r.layout = c.layout;
        r.ranks = ranks;
        r.modelBytes = IterationBytes(c.method, c.precond, c.layout, runner.Shape());
        return r;
    };

    struct CState {
        const COurConfig* c = nullptr;
        double tolerance = 0.0;
        std::vector<double> setup, solve;
        int iterations = 0;
        double relres = 0.0, error = 0.0;
    };
    std::vector<CState> states;
    std::vector<CResultRow> rows;
    for (const COurConfig& c : OurConfigs()) {
        if (!Selected(only, c.method, c.precond, c.layout)) continue;
        if (c.code == 3 && !s.symmetric) continue; // conjugate gradients need a symmetric matrix
        CState st;
        st.c = &c;
        if (runner.Prepare(c, rtol, st.tolerance)) {
            states.push_back(st);
            continue;
        }
        CResultRow r = row(c);
        r.trueRelResidual = r.error = std::nan("");
        r.detail = "method not available in this build";
        rows.push_back(r);
        if (rank == 0)
            std::fprintf(stderr, "ours: %s %s %s does nothing in this build; skipped\n", c.method, c.precond, c.layout);
    }

    // Rounds interleave the configurations so that a drift of the machine's
    // state spreads over all of them.
    for (int round = 0; round < rounds; ++round)
        for (CState& st : states) {
            double setup = 0.0, solve = 0.0;
            const int limit = st.c->code == 4 ? gsSweeps : maxIter;
            runner.Round(*st.c, limit, st.tolerance, minTime, setup, solve, st.iterations);
            st.setup.push_back(setup);
            st.solve.push_back(solve);
            const std::vector<double> x = runner.Solution();
            if (rank == 0) {
                st.relres = TrueRelativeResidual(s, x.data());
                st.error = RelativeError(s, x.data());
            }
        }

    for (const CState& st : states) {
        CResultRow r = row(*st.c);
        r.rounds = rounds;
        r.iterations = st.iterations;
        r.setupSeconds = Median(st.setup);
        r.solveSeconds = Median(st.solve);
        r.trueRelResidual = st.relres;
        r.error = st.error;
        char detail[160];
        std::snprintf(detail, sizeof detail, "code %d type %d; tolerance %.6g", st.c->code, st.c->precondType,
                      st.tolerance);
        r.detail = detail;
        rows.push_back(r);
    }
    if (rank == 0) AppendRows(args.Text("out", ""), rows);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    int rank = 0, ranks = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &ranks);
    try {
        Run(argc, argv, rank, ranks);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_peers_ours: %s\n", e.what());
        if (ranks > 1) MPI_Abort(MPI_COMM_WORLD, 2); // the other ranks may wait in a collective call
        MPI_Finalize();
        return 2;
    }
    MPI_Finalize();
    return 0;
}
