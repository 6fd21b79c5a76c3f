// One conjugate-gradient iteration per layout on the 7-point Poisson box of
// 104^3 cells (1,124,864 unknowns; QVL3D_BENCH_EDGE sets another edge). The
// method exists for the native and CSR layouts; the ELL entry point runs the
// native one. Each measurement runs a solve limited to kIterations iterations
// and a solve limited to 0 (initial residual and preconditioner construction
// only) from the same start; their difference divided by kIterations is the
// time of one iteration.
//
// Counter ns/cell/iter: nanoseconds per owned cell per iteration.
#include "BenchBox.h"

namespace {

constexpr int kIterations = 8;

void PcgIteration(benchmark::State& state)
{
    qvl3d::bench::KrylovIteration(state, 3, kIterations);
}

} // namespace

BENCHMARK(PcgIteration)
    ->ArgNames({"layout", "precond"})
    ->ArgsProduct({{0, 1}, {1, 3}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.3);

BENCHMARK_MAIN();
