// STREAM-style triad a[i] = b[i] + s*c[i] on 1..P processes (mpirun -n P):
// for p = 1..P the first p ranks run the triad at the same moment, each on
// its own arrays, and the slowest rank's time counts. Arrays are far larger
// than the caches.
//
// Bandwidth is given two ways: STREAM's count of 24 bytes per element (two
// reads, one write), and 32 bytes per element, which adds the write-allocate
// read of a that the hardware makes for a plain store. The byte model counts
// write-allocate traffic too, so the bound uses the 32-byte figure.
//
// Output: CSV "processes,elements,repeats,best_GBs_24,best_GBs_32,median_GBs_32"
// on rank 0, one line per p.
#include <mpi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

void Triad(double* __restrict a, const double* __restrict b, const double* __restrict c, long n, double s)
{
    for (long i = 0; i < n; ++i) a[i] = b[i] + s * c[i];
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

} // namespace

int main(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    int rank = 0, size = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);

    long n = 1L << 25; // 256 MiB per array
    int repeats = 10;
    for (int a = 1; a + 1 < argc; a += 2) {
        const std::string key = argv[a];
        if (key == "--elements")
            n = std::atol(argv[a + 1]);
        else if (key == "--repeats")
            repeats = std::atoi(argv[a + 1]);
    }
    if (n < 1024 || repeats < 1) {
        if (rank == 0) std::fprintf(stderr, "bench_peers_stream: --elements >= 1024 and --repeats >= 1\n");
        MPI_Abort(MPI_COMM_WORLD, 2);
    }

    std::unique_ptr<double[]> a(new double[n]), b(new double[n]), c(new double[n]);
    for (long i = 0; i < n; ++i) {
        a[i] = 0.0;
        b[i] = 1.0;
        c[i] = 2.0;
    }
    double check = 0.0;
    if (rank == 0) std::printf("processes,elements,repeats,best_GBs_24,best_GBs_32,median_GBs_32\n");
    for (int p = 1; p <= size; ++p) {
        std::vector<double> times;
        for (int r = 0; r < repeats + 1; ++r) { // the first repeat warms up
            MPI_Barrier(MPI_COMM_WORLD);
            const double t0 = MPI_Wtime();
            if (rank < p) Triad(a.get(), b.get(), c.get(), n, 3.0);
            double local = MPI_Wtime() - t0, slowest = 0.0;
            if (rank >= p) local = 0.0;
            MPI_Reduce(&local, &slowest, 1, MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD);
            if (r > 0) times.push_back(slowest);
            check += a[n / 2];
        }
        if (rank == 0) {
            const double bytes = static_cast<double>(p) * static_cast<double>(n);
            const double best = *std::min_element(times.begin(), times.end()), median = Median(times);
            std::printf("%d,%ld,%d,%.3f,%.3f,%.3f\n", p, n, repeats, 24.0 * bytes / best / 1e9,
                        32.0 * bytes / best / 1e9, 32.0 * bytes / median / 1e9);
        }
    }
    if (check < 0.0) std::printf("%g\n", check); // keeps the triads alive
    MPI_Finalize();
    return 0;
}
