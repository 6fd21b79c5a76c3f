// The cost of one global sum: the correctly rounded sum of CMpiSumTransport
// (one integer all-reduce of a fixed buffer) against the rank-order sum it
// replaced (every rank gathers all P partial sums and adds them in order),
// kept here only for the comparison. Run under mpiexec at several rank
// counts (see bench/README.md):
//
//   mpiexec --oversubscribe -n 4 bench_global_sum --calls 5000
//
// Each call starts from a barrier and is timed on its own; the two methods
// alternate in blocks of 100 calls. Rank 0 prints the median time of a call
// of each (the largest of the ranks' medians), their ratio and the bytes each
// rank receives per sum. On one rank it also times the accumulator alone:
// one term converted, the limbs normalised and rounded, no MPI.
#include <qvl3d/MpiTransport.h>

#include "ExactSum.h"

#include <mpi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

double RankOrderSum(MPI_Comm comm, double local, std::vector<double>& partials)
{
    MPI_Allgather(&local, 1, MPI_DOUBLE, partials.data(), 1, MPI_DOUBLE, comm);
    double s = partials[0];
    for (size_t r = 1; r < partials.size(); ++r) s = s + partials[r];
    return s;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

double MaxOverRanks(double v)
{
    MPI_Allreduce(MPI_IN_PLACE, &v, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    return v;
}

// Nanoseconds of processor time per Clear + Add + Round of the accumulator
// (processor time, so that other work on a shared machine does not count):
// the median of batches of a million, over terms that vary in sign and
// exponent.
double AccumulatorNanoseconds()
{
    std::vector<double> terms(1024);
    for (size_t i = 0; i < terms.size(); ++i)
        terms[i] = (i % 2 ? -1.0 : 1.0) * (1.0 + 1e-3 * static_cast<double>(i)) * (i % 7 == 0 ? 1e-300 : 1e3);
    qvl3d::CExactSum acc;
    std::vector<double> perBatch;
    double sink = 0.0;
    const int batch = 1000000;
    for (int b = 0; b < 7; ++b) {
        const std::clock_t t0 = std::clock();
        for (int i = 0; i < batch; ++i) {
            acc.Clear();
            acc.Add(terms[static_cast<size_t>(i) & 1023]);
            sink += acc.Round();
        }
        perBatch.push_back(static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC / batch * 1e9);
    }
    if (sink == 12345.0) std::printf("#\n"); // keeps the loop
    return Median(perBatch);
}

} // namespace

int main(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    int rank = 0, nRanks = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &nRanks);
    int calls = 5000;
    for (int a = 1; a < argc; ++a) {
        if (std::strcmp(argv[a], "--calls") == 0 && a + 1 < argc)
            calls = std::atoi(argv[++a]);
        else
            calls = 0;
    }
    if (calls < 100) {
        if (rank == 0) std::fprintf(stderr, "usage: bench_global_sum [--calls N]   (N >= 100, default 5000)\n");
        MPI_Finalize();
        return 2;
    }

    {
        // The transport as it runs at this many ranks (gathering up to
        // kGatherRanks), and forced to the all-reduce it uses beyond.
        CMpiSumTransport transport(MPI_COMM_WORLD), reducing(MPI_COMM_WORLD, 1);
        std::vector<double> partials(static_cast<size_t>(nRanks));
        std::vector<double> oldTimes, newTimes, reduceTimes;
        const double local = 1.0 / (1.0 + rank);
        double oldSum = 0.0, newSum = 0.0, reduceSum = 0.0;
        for (int block = 0; block * 100 < calls + 200; ++block) { // the first two blocks warm up
            const bool warm = block >= 2;
            for (int i = 0; i < 100; ++i) {
                MPI_Barrier(MPI_COMM_WORLD);
                double t0 = MPI_Wtime();
                oldSum = RankOrderSum(MPI_COMM_WORLD, local, partials);
                if (warm) oldTimes.push_back(MPI_Wtime() - t0);
                MPI_Barrier(MPI_COMM_WORLD);
                t0 = MPI_Wtime();
                newSum = transport.Sum(local);
                if (warm) newTimes.push_back(MPI_Wtime() - t0);
                MPI_Barrier(MPI_COMM_WORLD);
                t0 = MPI_Wtime();
                reduceSum = reducing.Sum(local);
                if (warm) reduceTimes.push_back(MPI_Wtime() - t0);
            }
        }
        const double oldUs = MaxOverRanks(Median(oldTimes)) * 1e6, newUs = MaxOverRanks(Median(newTimes)) * 1e6;
        const double reduceUs = MaxOverRanks(Median(reduceTimes)) * 1e6;
        if (rank == 0) {
            std::printf("ranks %d  calls %zu  rank-order sum %.2f us  exact, gathered %.2f us (%.2fx)  exact, "
                        "all-reduce %.2f us (%.2fx)\n",
                        nRanks, newTimes.size(), oldUs, newUs, newUs / oldUs, reduceUs, reduceUs / oldUs);
            std::printf("bytes per rank and sum: rank-order and gathered %d (8 * P), all-reduce %d (fixed)\n",
                        8 * nRanks, static_cast<int>(qvl3d::CExactSum::kWords * sizeof(int64_t)));
            std::printf("sums: rank-order %.17g  exact %.17g %.17g\n", oldSum, newSum, reduceSum);
        }
    }
    if (nRanks == 1 && rank == 0)
        std::printf("accumulate + round alone: %.1f ns (processor time)\n", AccumulatorNanoseconds());
    MPI_Finalize();
    return 0;
}
