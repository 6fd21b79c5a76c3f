// The kernels under the methods, one pass over the 7-point Poisson box of
// 104^3 cells (QVL3D_BENCH_EDGE sets another edge) per layout: the row
// products of a whole vector (row by row, and by blocks as the methods run
// them), the DILU application, and a plain scaling pass for scale.
//
// Counter ns/cell: nanoseconds per owned cell of one pass (CPU time).
#include "BenchBox.h"
#include "detail/Layouts.h"
#include "detail/Preconditioner.h"
#include "detail/RowProduct.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>

using namespace qvl3d;
using namespace qvl3d::detail;
using qvl3d::bench::CBenchBox;

namespace {

// The shared box with v = sin(0.001 i) in x and the DILU diagonal built;
// the passes write into b.
CBenchBox& Box()
{
    static CBenchBox& box = []() -> CBenchBox& {
        CBenchBox& b = qvl3d::bench::Box();
        for (int i = 1; i <= b.sys.Cells(); ++i) b.x[i] = std::sin(0.001 * i);
        CDilu::Build(CsrRowsOf(&b.sys.mesh), b.sys.store.m_pdPrecondDiag);
        return b;
    }();
    return box;
}

// Calls f with the layout numbered `layout`: 0 native, 1 CSR, 2 ELL.
template <class F>
void WithLayout(CBenchBox& box, int layout, F&& f)
{
    host::CHostSystem& s = box.sys;
    if (layout == 0)
        f(NativeRowsOf(&s.store, &s.mesh));
    else if (layout == 1)
        f(CsrRowsOf(&s.mesh));
    else
        f(EllRowsOf(&s.gpu, &s.store, &s.mesh));
}

template <class Pass>
void Run(benchmark::State& state, Pass&& pass)
{
    CBenchBox& box = Box();
    for (auto _ : state) {
        WithLayout(box, static_cast<int>(state.range(0)), pass);
        benchmark::ClobberMemory();
    }
    state.counters["ns/cell"] = benchmark::Counter(static_cast<double>(box.sys.Cells()) * state.iterations(),
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["ns/cell"].value *= 1e9;
}

void RowByRow(benchmark::State& state)
{
    CBenchBox& box = Box();
    Run(state, [&](const auto& A) {
        for (int i = 1; i <= A.n; ++i) RowProduct(A, i, box.b, box.x);
    });
}

void RowBlocks(benchmark::State& state)
{
    CBenchBox& box = Box();
    Run(state,
        [&](const auto& A) { ForEachRowBlock(A.n, [&](int lo, int hi) { A.RowProducts(lo, hi, box.b, box.x); }); });
}

void DiluApplication(benchmark::State& state)
{
    CBenchBox& box = Box();
    Run(state, [&](const auto& A) {
        CDilu::Apply(A, box.b, box.sys.store.m_pdPrecondDiag, box.sys.store.m_pdPrecondWork, FromArray(box.x));
    });
}

void Scaling(benchmark::State& state)
{
    CBenchBox& box = Box();
    Run(state, [&](const auto& A) {
        CDiagonal::Apply(A, box.b, box.sys.store.m_pdPrecondDiag, box.sys.store.m_pdPrecondWork, FromArray(box.x));
    });
}

} // namespace

BENCHMARK(RowByRow)->ArgName("layout")->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(RowBlocks)->ArgName("layout")->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(DiluApplication)->ArgName("layout")->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(Scaling)->ArgName("layout")->DenseRange(1, 1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
