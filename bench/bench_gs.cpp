// One Gauss-Seidel sweep (code 4), residual pass and halo refresh included,
// per layout on the 7-point Poisson box of 104^3 cells (QVL3D_BENCH_EDGE sets
// another edge). Each measurement runs a solve limited to kSweeps sweeps; the
// native and CSR members write their marker lines, which go to /dev/null
// while the solve runs.
//
// Counter ns/cell/sweep: nanoseconds per owned cell per sweep.
#include "BenchBox.h"

using namespace qvl3d::bench;

namespace {

constexpr int kSweeps = 4;

void GaussSeidelSweep(benchmark::State& state)
{
    CBenchBox& box = Box();
    const int layout = static_cast<int>(state.range(0));
    double total = 0.0;
    for (auto _ : state) {
        const double perSweep = TimedSolve(box, layout, 4, kSweeps, true) / kSweeps;
        state.SetIterationTime(perSweep);
        total += perSweep;
    }
    state.counters["ns/cell/sweep"] =
        benchmark::Counter(total * 1e9 / box.sys.Cells(), benchmark::Counter::kAvgIterations);
    state.SetLabel(LayoutName(layout));
}

} // namespace

BENCHMARK(GaussSeidelSweep)
    ->ArgName("layout")
    ->DenseRange(0, 2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.3);

BENCHMARK_MAIN();
