// What the single-process benchmarks share: the 7-point Poisson box they run
// on, its edge, the clock they read, and one timed solve per layout.
#ifndef QVL3D_BENCH_BENCHBOX_H
#define QVL3D_BENCH_BENCHBOX_H

#include "BoxProblems.h"
#include <qvl3d/Communication.h>
#include "HostSystem.h"
#include <qvl3d/SingleGridSolver.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace qvl3d {
namespace bench {

// Edge of the box: 104, or the value of QVL3D_BENCH_EDGE (e.g. 128).
inline int Edge()
{
    const char* text = std::getenv("QVL3D_BENCH_EDGE");
    const int edge = text ? std::atoi(text) : 0;
    return edge > 0 ? edge : 104;
}

// The box bound to a solver with two variables, x and b = 1 for the solves.
struct CBenchBox {
    CBenchBox() : A(host::Poisson(host::CBox{Edge(), Edge(), Edge()})), sys(A, 2)
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

// One box per program, built on first use.
inline CBenchBox& Box()
{
    static CBenchBox box;
    return box;
}

inline const char* LayoutName(int layout)
{
    return layout == 0 ? "native" : layout == 1 ? "CSR" : "ELL";
}

// Seconds on the wall clock, or on this thread's CPU clock when
// QVL3D_BENCH_CPU_TIME is set (steadier on a shared machine: time spent
// descheduled does not count; memory contention still does).
inline double Now()
{
    static const bool cpu = std::getenv("QVL3D_BENCH_CPU_TIME") != nullptr;
    if (cpu) {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Seconds of one solve with method `code` limited to `limit` iterations from
// x = 0, through the entry point of the layout (0 native, 1 CSR, 2 ELL).
// With muted set, standard output goes to /dev/null while the solve runs.
inline double TimedSolve(CBenchBox& box, int layout, int code, int limit, bool muted = false)
{
    std::fill(box.x, box.x + box.sys.CellsTotal() + 1, 0.0);
    box.sys.SetVariable(1, limit, 1e-300);
    int saved = -1, null = -1;
    if (muted) {
        std::fflush(stdout);
        saved = dup(1);
        null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
    }
    const double start = Now();
    switch (layout) {
    case 0: box.solver.Solver(1, code, box.x, box.b, 0); break;
    case 1: box.solver.Solver_CSR(1, code, box.x, box.b, 0); break;
    default: box.solver.Solver_ELL(1, code, box.x, box.b, 0); break;
    }
    const double seconds = Now() - start;
    if (muted) {
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        close(null);
    }
    return seconds;
}

// One iteration of the Krylov method `code`: a solve of `iterations`
// iterations less a solve of none (initial residual and preconditioner
// construction only) from the same start, divided by `iterations`. Arguments:
// layout, preconditioner type. Counter ns/cell/iter.
inline void KrylovIteration(benchmark::State& state, int code, int iterations)
{
    CBenchBox& box = Box();
    const int layout = static_cast<int>(state.range(0));
    box.sys.SetPreconditioner(static_cast<int>(state.range(1)));
    double total = 0.0;
    for (auto _ : state) {
        const double perIteration =
            (TimedSolve(box, layout, code, iterations) - TimedSolve(box, layout, code, 0)) / iterations;
        state.SetIterationTime(perIteration);
        total += perIteration;
    }
    state.counters["ns/cell/iter"] =
        benchmark::Counter(total * 1e9 / box.sys.Cells(), benchmark::Counter::kAvgIterations);
    state.SetLabel(std::string(LayoutName(layout)) + (state.range(1) == 1 ? ", DILU" : ", diagonal"));
}

} // namespace bench
} // namespace qvl3d

#endif
