// The kernels under the methods, one pass over the 7-point Poisson box of
// 104^3 cells (QVL3D_BENCH_EDGE sets another edge) per layout: the row
// products of a whole vector (row by row, and by blocks as the methods run
// them), the DILU application, and a plain scaling pass for scale.
//
// Counter ns/cell: nanoseconds per owned cell of one pass (CPU time).
#include "BoxProblems.h"
#include "Communication.h"
#include "HostSystem.h"
#include "SingleGridSolver.h"
#include "detail/Layouts.h"
#include "detail/Preconditioner.h"
#include "detail/RowProduct.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>

using namespace qvl3d;
using namespace qvl3d::detail;

namespace {

// Edge of the box: 104, or the value of QVL3D_BENCH_EDGE (e.g. 128).
int Edge()
{
    const char* text = std::getenv("QVL3D_BENCH_EDGE");
    const int edge = text ? std::atoi(text) : 0;
    return edge > 0 ? edge : 104;
}

struct CBox {
    CBox() : A(host::Poisson(host::CBox{Edge(), Edge(), Edge()})), sys(A, 2)
    {
        sys.Bind(solver, commu, com);
        v = sys.NewVector();
        y = sys.NewVector();
        for (int i = 1; i <= sys.Cells(); ++i) v[i] = std::sin(0.001 * i);
        BuildDilu(CsrRowsOf(&sys.mesh), sys.store.m_pdPrecondDiag);
    }
    host::CSparseMatrix A;
    host::CHostSystem sys;
    CCommunication commu;
    CQVLCom com;
    CSingleGridSolver solver;
    double* v;
    double* y;
};

CBox& Box()
{
    static CBox box;
    return box;
}

// Calls f with the layout numbered `layout`: 0 native, 1 CSR, 2 ELL.
template <class F>
void WithLayout(CBox& box, int layout, F&& f)
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
    CBox& box = Box();
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
    CBox& box = Box();
    Run(state, [&](const auto& A) {
        for (int i = 1; i <= A.n; ++i) RowProduct(A, i, box.y, box.v);
    });
}

void RowBlocks(benchmark::State& state)
{
    CBox& box = Box();
    Run(state,
        [&](const auto& A) { ForEachRowBlock(A.n, [&](int lo, int hi) { A.RowProducts(lo, hi, box.y, box.v); }); });
}

void DiluApplication(benchmark::State& state)
{
    CBox& box = Box();
    Run(state, [&](const auto& A) {
        ApplyPreconditioner(A, 1, box.y, box.v, box.sys.store.m_pdPrecondDiag, box.sys.store.m_pdPrecondWork);
    });
}

void Scaling(benchmark::State& state)
{
    CBox& box = Box();
    Run(state, [&](const auto& A) {
        ApplyPreconditioner(A, 3, box.y, box.v, box.sys.store.m_pdPrecondDiag, box.sys.store.m_pdPrecondWork);
    });
}

} // namespace

BENCHMARK(RowByRow)->ArgName("layout")->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(RowBlocks)->ArgName("layout")->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(DiluApplication)->ArgName("layout")->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(Scaling)->ArgName("layout")->DenseRange(1, 1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
