// Strong scaling of a distributed solve: one box problem split over the ranks
// of the run, a fixed number of iterations, time per iteration and the time
// spent in halo exchanges and global sums. Run it at 1 and at 2 ranks (see
// bench/README.md, or bench/mpi_scaling.sh, which runs both and prints the
// speed-up):
//
//   mpiexec -n 2 bench_mpi_scaling --edge 128 --precond 1 --iterations 30
//
// The iteration count is fixed by a tolerance of 0 (the convergence test
// never passes) and the limit; a breakdown would end the solve early and is
// reported. Rank 0 prints one line per repetition and a last line
// "result: ..." with the best time per iteration.
#include "BoxProblems.h"
#include "HostSystem.h"
#include <qvl3d/MpiTransport.h>
#include "Partition.h"
#include <qvl3d/SingleGridSolver.h>

#include <fcntl.h>
#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace qvl3d::host;

namespace {

struct COptions {
    int edge = 128;
    int iterations = 30;
    int repeats = 3;
    int precond = 1; // 1 DILU, 3 diagonal
    int lsolv = 2;   // 2 BiCGSTAB, 3 PCG, 4 Gauss-Seidel
    std::string layout = "csr";
};

bool Parse(int argc, char** argv, COptions& o)
{
    for (int a = 1; a < argc; ++a) {
        const std::string key = argv[a];
        if (a + 1 >= argc) return false;
        const char* value = argv[++a];
        if (key == "--edge")
            o.edge = std::atoi(value);
        else if (key == "--iterations")
            o.iterations = std::atoi(value);
        else if (key == "--repeats")
            o.repeats = std::atoi(value);
        else if (key == "--precond")
            o.precond = std::atoi(value);
        else if (key == "--code")
            o.lsolv = std::atoi(value);
        else if (key == "--layout")
            o.layout = value;
        else
            return false;
    }
    return o.edge >= 1 && o.edge <= 400 && o.iterations >= 1 && o.repeats >= 1 &&
           (o.layout == "native" || o.layout == "csr" || o.layout == "ell");
}

double MaxOverRanks(double v)
{
    MPI_Allreduce(MPI_IN_PLACE, &v, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    return v;
}

} // namespace

int main(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    int rank = 0, nRanks = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &nRanks);
    COptions o;
    if (!Parse(argc, argv, o)) {
        if (rank == 0)
            std::fprintf(stderr, "usage: bench_mpi_scaling [--edge N] [--iterations K] [--repeats R] "
                                 "[--precond 1|3] [--code 2|3|4] [--layout native|csr|ell]\n");
        MPI_Finalize();
        return 2;
    }

    // Each rank builds only its own share; the global matrix goes away at once.
    const CBox box{o.edge, o.edge, o.edge};
    CPartition part;
    std::vector<double> b;
    {
        const CSparseMatrix A = Poisson(box);
        part = Distribute(A, PartitionBox(box, nRanks), rank, nRanks);
        std::vector<double> ones(static_cast<size_t>(A.nCell) + 1, 1.0), rhs(ones.size(), 0.0);
        Multiply(A, ones.data(), rhs.data());
        b = Localise(part, rhs);
    }
    CHostSystem host(part.A);
    auto halo = std::make_shared<CMpiHaloTransport>(MPI_COMM_WORLD, part.plan);
    auto sum = std::make_shared<CMpiSumTransport>(MPI_COMM_WORLD);
    CCommunication commu(halo);
    CQVLCom com(sum);
    CSingleGridSolver solver;
    if (host.Bind(solver, commu, com) != 0) MPI_Abort(MPI_COMM_WORLD, 3);
    host.SetPreconditioner(o.precond);
    double* x = host.NewVector();

    auto solve = [&](int maxIter) {
        host.SetVariable(1, maxIter, 0.0);
        host.store.m_piIterCount[1] = 0;
        std::fill(x, x + part.A.nCellTotal + 1, 0.0);
        // Gauss-Seidel prints progress lines: they go to /dev/null meanwhile.
        std::fflush(stdout);
        const int saved = dup(1), null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        if (o.layout == "native")
            solver.Solver(1, o.lsolv, x, b.data(), 0);
        else if (o.layout == "csr")
            solver.Solver_CSR(1, o.lsolv, x, b.data(), 0);
        else
            solver.Solver_ELL(1, o.lsolv, x, b.data(), 0);
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        close(null);
    };

    int minCells = part.Cells(), maxCells = part.Cells();
    MPI_Allreduce(MPI_IN_PLACE, &minCells, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    MPI_Allreduce(MPI_IN_PLACE, &maxCells, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    if (rank == 0)
        std::printf("ranks %d, box %d^3, cells per rank %d..%d, halo cells on rank 0 %d, code %d, precond %d, "
                    "layout %s, %d iterations\n",
                    nRanks, o.edge, minCells, maxCells, part.HaloCells(), o.lsolv, o.precond, o.layout.c_str(),
                    o.iterations);

    solve(2); // warm-up: first touch of every array
    double best = 1e300;
    for (int r = 0; r < o.repeats; ++r) {
        halo->ResetStats();
        sum->ResetStats();
        MPI_Barrier(MPI_COMM_WORLD);
        const double t0 = MPI_Wtime();
        solve(o.iterations);
        const double seconds = MaxOverRanks(MPI_Wtime() - t0);
        const int done = o.lsolv == 4 ? o.iterations : host.store.m_piIterCount[1];
        const double perIter = seconds / std::max(done, 1);
        const double exch = MaxOverRanks(halo->Stats().seconds), sums = MaxOverRanks(sum->Stats().seconds);
        if (best >= 0.0) best = std::min(best, perIter);
        if (rank == 0)
            std::printf("repeat %d: %d iterations, %.3f s, %.3f ms per iteration, exchanges %.3f ms (%ld), "
                        "sums %.3f ms (%ld)\n",
                        r + 1, done, seconds, 1e3 * perIter, 1e3 * exch, halo->Stats().calls, 1e3 * sums,
                        sum->Stats().calls);
        if (done < o.iterations && rank == 0) std::printf("  the solve stopped after %d iterations\n", done);
        if (done == 0) best = -1.0;
    }
    if (rank == 0) {
        if (best < 0.0)
            std::printf("result: ranks %d no iterations: method not available or no residual\n", nRanks);
        else
            std::printf("result: ranks %d ms_per_iteration %.4f\n", nRanks, 1e3 * best);
    }
    std::fflush(stdout);
    halo.reset();
    sum.reset();
    MPI_Finalize();
    return 0;
}
