// One Gauss-Seidel sweep (code 4), residual pass and halo refresh included,
// per layout on the 7-point Poisson box of 104^3 cells (QVL3D_BENCH_EDGE sets
// another edge). Each measurement runs a solve limited to kSweeps sweeps; the
// native and CSR members write their marker lines, which go to /dev/null
// while the solve runs.
//
// Counter ns/cell/sweep: nanoseconds per owned cell per sweep.
#include "BoxProblems.h"
#include "Communication.h"
#include "HostSystem.h"
#include "SingleGridSolver.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

using namespace qvl3d;

namespace {

// Edge of the box: 104, or the value of QVL3D_BENCH_EDGE (e.g. 128).
int Edge()
{
    const char* text = std::getenv("QVL3D_BENCH_EDGE");
    const int edge = text ? std::atoi(text) : 0;
    return edge > 0 ? edge : 104;
}
constexpr int kSweeps = 4;

struct CBox {
    CBox() : A(host::Poisson(host::CBox{Edge(), Edge(), Edge()})), sys(A, 2)
    {
        sys.Bind(solver, commu, com);
        x = sys.NewVector();
        b = sys.NewVector();
        for (int i = 1; i <= sys.Cells(); ++i) b[i] = 1.0;
    }
    host::CSparseMatrix A;
    host::CHostSystem sys;
    CCommunication commu;
    CQVLCom com;
    CSingleGridSolver solver;
    double* x;
    double* b;
};

CBox& Box()
{
    static CBox box;
    return box;
}

// Seconds on the wall clock, or on this thread's CPU clock when
// QVL3D_BENCH_CPU_TIME is set (steadier on a shared machine: time spent
// descheduled does not count; memory contention still does).
double Now()
{
    static const bool cpu = std::getenv("QVL3D_BENCH_CPU_TIME") != nullptr;
    if (cpu) {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Seconds of one solve of kSweeps sweeps from x = 0, standard output muted.
double TimedSolve(CBox& box, int layout)
{
    std::fill(box.x, box.x + box.sys.CellsTotal() + 1, 0.0);
    box.sys.SetVariable(1, kSweeps, 1e-300);
    std::fflush(stdout);
    const int saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    const double start = Now();
    switch (layout) {
    case 0: box.solver.Solver(1, 4, box.x, box.b, 0); break;
    case 1: box.solver.Solver_CSR(1, 4, box.x, box.b, 0); break;
    default: box.solver.Solver_ELL(1, 4, box.x, box.b, 0); break;
    }
    const double seconds = Now() - start;
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(null);
    return seconds;
}

void GaussSeidelSweep(benchmark::State& state)
{
    CBox& box = Box();
    const int layout = static_cast<int>(state.range(0));
    double total = 0.0;
    for (auto _ : state) {
        const double perSweep = TimedSolve(box, layout) / kSweeps;
        state.SetIterationTime(perSweep);
        total += perSweep;
    }
    state.counters["ns/cell/sweep"] =
        benchmark::Counter(total * 1e9 / box.sys.Cells(), benchmark::Counter::kAvgIterations);
    state.SetLabel(layout == 0 ? "native" : layout == 1 ? "CSR" : "ELL");
}

} // namespace

BENCHMARK(GaussSeidelSweep)
    ->ArgName("layout")
    ->DenseRange(0, 2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.3);

BENCHMARK_MAIN();
