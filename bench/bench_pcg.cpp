// One conjugate-gradient iteration per layout on the 7-point Poisson box of
// 104^3 cells (1,124,864 unknowns; QVL3D_BENCH_EDGE sets another edge). The
// method exists for the native and CSR layouts; the ELL entry point runs the
// native one. Each measurement runs a solve limited to kIterations iterations
// and a solve limited to 0 (initial residual and preconditioner construction
// only) from the same start; their difference divided by kIterations is the
// time of one iteration.
//
// Counter ns/cell/iter: nanoseconds per owned cell per iteration.
#include "BoxProblems.h"
#include "Communication.h"
#include "HostSystem.h"
#include "SingleGridSolver.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>

using namespace qvl3d;

namespace {

// Edge of the box: 104, or the value of QVL3D_BENCH_EDGE (e.g. 128).
int Edge()
{
    const char* text = std::getenv("QVL3D_BENCH_EDGE");
    const int edge = text ? std::atoi(text) : 0;
    return edge > 0 ? edge : 104;
}
constexpr int kIterations = 8;

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

// Seconds of one solve of at most `limit` iterations from x = 0.
double TimedSolve(CBox& box, int layout, int limit)
{
    std::fill(box.x, box.x + box.sys.CellsTotal() + 1, 0.0);
    box.sys.SetVariable(1, limit, 1e-300);
    const double start = Now();
    if (layout == 0)
        box.solver.Solver(1, 3, box.x, box.b, 0);
    else
        box.solver.Solver_CSR(1, 3, box.x, box.b, 0);
    return Now() - start;
}

void PcgIteration(benchmark::State& state)
{
    CBox& box = Box();
    const int layout = static_cast<int>(state.range(0));
    box.sys.SetPreconditioner(static_cast<int>(state.range(1)));
    double total = 0.0;
    for (auto _ : state) {
        const double perIteration = (TimedSolve(box, layout, kIterations) - TimedSolve(box, layout, 0)) / kIterations;
        state.SetIterationTime(perIteration);
        total += perIteration;
    }
    state.counters["ns/cell/iter"] =
        benchmark::Counter(total * 1e9 / box.sys.Cells(), benchmark::Counter::kAvgIterations);
    state.SetLabel(std::string(layout == 0   ? "native"
                               : layout == 1 ? "CSR"
                                             : "ELL") +
                   (state.range(1) == 1 ? ", DILU" : ", diagonal"));
}

} // namespace

BENCHMARK(PcgIteration)
    ->ArgNames({"layout", "precond"})
    ->ArgsProduct({{0, 1}, {1, 3}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.3);

BENCHMARK_MAIN();
