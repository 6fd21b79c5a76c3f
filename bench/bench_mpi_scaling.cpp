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
//
// With --comm K it solves nothing and times the two collective calls of an
// iteration on the same partition instead: K halo exchanges of a vector and
// K global sums through the sum transport, the mean time per call (the
// largest over the ranks) and the bytes the largest halo moves:
//
//   mpiexec -n 4 bench_mpi_scaling --edge 64 --comm 2000
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
    int comm = 0; // > 0: time this many exchanges and sums instead of solving
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
        else if (key == "--comm")
            o.comm = std::atoi(value);
        else
            return false;
    }
    return o.edge >= 1 && o.edge <= 400 && o.iterations >= 1 && o.repeats >= 1 && o.comm >= 0 &&
           (o.layout == "native" || o.layout == "csr" || o.layout == "ell");
}

double MaxOverRanks(double v)
{
    MPI_Allreduce(MPI_IN_PLACE, &v, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    return v;
}

// K halo exchanges and K global sums, each block after a barrier.
void TimeCommunication(const COptions& o, const CPartition& part, CMpiHaloTransport& halo, CMpiSumTransport& sum,
                       int rank, int nRanks)
{
    long long haloCells = 0, neighbours = static_cast<long long>(part.plan.neighbours.size());
    for (const CHaloNeighbour& nb : part.plan.neighbours) haloCells += static_cast<long long>(nb.recv.size());
    long long most[2] = {haloCells, neighbours};
    MPI_Allreduce(MPI_IN_PLACE, most, 2, MPI_LONG_LONG, MPI_MAX, MPI_COMM_WORLD);
    std::vector<double> v(static_cast<size_t>(part.A.nCellTotal) + 1, 1.0);
    halo.Exchange(v.data()); // warm-up: the first call sets up the buffers
    MPI_Barrier(MPI_COMM_WORLD);
    double t0 = MPI_Wtime();
    for (int k = 0; k < o.comm; ++k) halo.Exchange(v.data());
    const double exchange = MaxOverRanks(MPI_Wtime() - t0) / o.comm;
    double s = 0.0;
    sum.Sum(1.0);
    MPI_Barrier(MPI_COMM_WORLD);
    t0 = MPI_Wtime();
    for (int k = 0; k < o.comm; ++k) s += sum.Sum(1.0 / (k + 1));
    const double global = MaxOverRanks(MPI_Wtime() - t0) / o.comm;
    // The bare collective an exact global sum needs: one all-reduce of a
    // fixed buffer of 72 64-bit words (576 bytes), whatever P is.
    std::vector<long long> words(72, 1);
    MPI_Barrier(MPI_COMM_WORLD);
    t0 = MPI_Wtime();
    for (int k = 0; k < o.comm; ++k)
        MPI_Allreduce(MPI_IN_PLACE, words.data(), static_cast<int>(words.size()), MPI_LONG_LONG, MPI_SUM,
                      MPI_COMM_WORLD);
    const double allreduce = MaxOverRanks(MPI_Wtime() - t0) / o.comm;
    if (rank == 0)
        std::printf("result: ranks %d edge %d halo_cells_max %lld halo_bytes_max %lld neighbours_max %lld "
                    "exchange_us %.2f sum_us %.2f allreduce576_us %.2f (check %.6g)\n",
                    nRanks, o.edge, most[0], 8 * most[0], most[1], 1e6 * exchange, 1e6 * global, 1e6 * allreduce, s);
}

// Times o.repeats solves of o.iterations iterations on the rank's share,
// after a warm-up, and prints each and the fastest per iteration.
void TimeSolver(const COptions& o, const CPartition& part, std::vector<double>& b,
                const std::shared_ptr<CMpiHaloTransport>& halo, const std::shared_ptr<CMpiSumTransport>& sum, int rank,
                int nRanks)
{
    CHostSystem host(part.A);
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
                                 "[--precond 1|3] [--code 2|3|4] [--layout native|csr|ell] [--comm K]\n");
        MPI_Finalize();
        return 2;
    }

    // Each rank builds only its own share, from its sub-box.
    const CBox box{o.edge, o.edge, o.edge};
    const CBoxStencil stencil = CBoxStencil::Poisson(box);
    CPartition part = DistributeBox(stencil, rank, nRanks);
    std::vector<double> b = BoxRowSums(stencil, part);
    auto halo = std::make_shared<CMpiHaloTransport>(MPI_COMM_WORLD, part.plan);
    auto sum = std::make_shared<CMpiSumTransport>(MPI_COMM_WORLD);
    if (o.comm > 0) {
        TimeCommunication(o, part, *halo, *sum, rank, nRanks);
        halo.reset();
        sum.reset();
        MPI_Finalize();
        return 0;
    }
    TimeSolver(o, part, b, halo, sum, rank, nRanks);
    std::fflush(stdout);
    halo.reset();
    sum.reset();
    MPI_Finalize();
    return 0;
}
