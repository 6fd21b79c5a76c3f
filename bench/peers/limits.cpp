// What limits a pass over the cells: memory bandwidth or the latency of a
// dependence chain. Microbenchmarks on the host's arrays of one system (the
// 128^3 Poisson box unless QVL3D_LIMITS_SYSTEM names another system):
//
//   RowProduct/<layout>   y = A*v over all cells, the loop our row product
//                         runs, in the layout's own arrays
//   GaussSeidelSweep/...  one forward sweep over the CSR rows:
//     written   x_i = ((b_i - a_ii*x_i) - s_i)/a_ii + x_i, s_i summed in
//               storage order: the order our results are defined by (the
//               term of column i-1 from the previous row's value, as the
//               solver's sweep takes it)
//     reciprocal  x_i = (b_i - s_i)*inv_i: the shorter chain a library free
//               to reorder uses (PETSc's SOR); a probe of the floor only,
//               not a candidate (it changes the bits)
//     jacobi    the written update reading the old x only (no chain through
//               x_{i-1}): the same arithmetic and traffic without the
//               dependence, i.e. the sweep's bandwidth floor
//   Triad                 a = b + s*c
//
// Counters: ns per cell, and GB/s under the byte model's accounting.
#include "ByteModel.h"
#include "OurRunner.h"
#include "PeerSystems.h"

#include "HostSystem.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::peers;

namespace {

struct CFixture {
    CPeerSystem s;
    std::unique_ptr<host::CHostSystem> sys;
    std::vector<double> v, y, x, inv;
    CLayoutShape shape;
};

CFixture& Fixture()
{
    static CFixture* f = [] {
        auto* p = new CFixture;
        const char* descriptor = std::getenv("QVL3D_LIMITS_SYSTEM");
        p->s = BuildSystem(descriptor ? descriptor : "poisson:128", ".");
        p->sys = std::make_unique<host::CHostSystem>(p->s.A);
        const size_t n = static_cast<size_t>(p->s.A.nCell) + 1;
        p->v.assign(n, 1.0);
        p->y.assign(n, 0.0);
        p->x.assign(n, 0.0);
        p->inv.assign(n, 0.0);
        const auto& m = p->sys->mesh;
        for (int i = 1; i <= m.m_nCell; ++i)
            p->inv[static_cast<size_t>(i)] = 1.0 / m.m_pdCSRValue[m.m_piCSRRowStart[i]];
        p->shape.entriesPerRow = static_cast<double>(p->s.A.NonZeros()) / p->s.A.nCell;
        p->shape.ellWidth = p->sys->gpu.m_nELLWidth;
        MeasureNativeRows(*p->sys, p->shape);
        return p;
    }();
    return *f;
}

void Count(benchmark::State& state, double bytesPerCell)
{
    const double n = Fixture().s.A.nCell;
    state.counters["ns_per_cell"] =
        benchmark::Counter(n * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["GB/s"] = benchmark::Counter(n * bytesPerCell * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}

void RowProductCsr(benchmark::State& state)
{
    CFixture& f = Fixture();
    const auto& m = f.sys->mesh;
    const int n = m.m_nCell;
    const double* __restrict val = m.m_pdCSRValue;
    const int* __restrict col = m.m_piCSRColumn;
    const int* __restrict start = m.m_piCSRRowStart;
    const double* __restrict v = f.v.data();
    double* __restrict y = f.y.data();
    for (auto _ : state) {
        for (int i = 1; i <= n; ++i) {
            const int e0 = start[i];
            double s = val[e0] * v[i];
            for (int e = e0 + 1, end = start[i + 1]; e < end; ++e) s = s + v[col[e]] * val[e];
            y[i] = s;
        }
        benchmark::ClobberMemory();
    }
    Count(state, RowBytes("csr", f.shape) + 8 + 16);
}

void RowProductEll(benchmark::State& state)
{
    CFixture& f = Fixture();
    const auto& g = f.sys->gpu;
    const int n = f.sys->mesh.m_nCell, nTotal = f.sys->mesh.m_nCellTotal, width = g.m_nELLWidth;
    const double* __restrict val = g.m_pdELLValue;
    const int* __restrict col = g.m_piELLColumn;
    const double* __restrict v = f.v.data();
    double* __restrict y = f.y.data();
    for (auto _ : state) {
        for (int i = 1; i <= n; ++i) {
            double s = val[i - 1] * v[i];
            for (int t = 1; t < width; ++t) {
                const std::ptrdiff_t e = static_cast<std::ptrdiff_t>(t) * nTotal + (i - 1);
                const int c = col[e];
                if (c != -1) s = s + val[e] * v[c];
            }
            y[i] = s;
        }
        benchmark::ClobberMemory();
    }
    Count(state, RowBytes("ell", f.shape) + 8 + 16);
}

void RowProductNative(benchmark::State& state)
{
    CFixture& f = Fixture();
    const int n = f.sys->mesh.m_nCell;
    const int* __restrict num = f.sys->mesh.m_piNumNeighbor;
    int* const* __restrict nb = f.sys->mesh.m_ppiNeighbor;
    double* const* __restrict coef = f.sys->store.m_ppdCoef;
    const double* __restrict v = f.v.data();
    double* __restrict y = f.y.data();
    for (auto _ : state) {
        for (int i = 1; i <= n; ++i) {
            const double* a = coef[i];
            const int* j = nb[i];
            double s = a[0] * v[i];
            for (int k = 1, nn = num[i]; k <= nn; ++k) s = s + v[j[k]] * a[k];
            y[i] = s;
        }
        benchmark::ClobberMemory();
    }
    Count(state, RowBytes("native", f.shape) + 8 + 16);
}

// kind 0: written order; 1: reciprocal (reorders, probe only); 2: Jacobi-like (no chain).
void GaussSeidelSweep(benchmark::State& state)
{
    CFixture& f = Fixture();
    const auto& m = f.sys->mesh;
    const int n = m.m_nCell;
    const double* val = m.m_pdCSRValue;
    const int* col = m.m_piCSRColumn;
    const int* start = m.m_piCSRRowStart;
    const double* b = f.s.b.data();
    const double* inv = f.inv.data();
    double* x = f.x.data();
    const double* xOld = f.v.data();
    const int kind = static_cast<int>(state.range(0));
    for (auto _ : state) {
        if (kind == 0) {
            double xPrev = 0.0;
            for (int i = 1; i <= n; ++i) {
                double s = 0.0;
                const int e0 = start[i];
                for (int e = e0 + 1, end = start[i + 1]; e < end; ++e)
                    s = s + val[e] * (col[e] == i - 1 ? xPrev : x[col[e]]);
                const double d = val[e0];
                xPrev = ((b[i] - d * x[i]) - s) / d + x[i];
                x[i] = xPrev;
            }
        } else if (kind == 1) {
            for (int i = 1; i <= n; ++i) {
                double s = b[i];
                const int e0 = start[i];
                for (int e = e0 + 1, end = start[i + 1]; e < end; ++e) s = s - val[e] * x[col[e]];
                x[i] = s * inv[i];
            }
        } else {
            for (int i = 1; i <= n; ++i) {
                double s = 0.0;
                const int e0 = start[i];
                for (int e = e0 + 1, end = start[i + 1]; e < end; ++e) s = s + val[e] * xOld[col[e]];
                const double d = val[e0];
                x[i] = ((b[i] - d * xOld[i]) - s) / d + xOld[i];
            }
        }
        benchmark::ClobberMemory();
    }
    Count(state, RowBytes("csr", f.shape) + 24);
}

void Triad(benchmark::State& state)
{
    const size_t n = static_cast<size_t>(Fixture().s.A.nCell);
    std::vector<double> a(n, 0.0), b(n, 1.0), c(n, 2.0);
    double* __restrict pa = a.data();
    const double* __restrict pb = b.data();
    const double* __restrict pc = c.data();
    for (auto _ : state) {
        for (size_t i = 0; i < n; ++i) pa[i] = pb[i] + 3.0 * pc[i];
        benchmark::ClobberMemory();
    }
    Count(state, 32.0);
}

} // namespace

BENCHMARK(RowProductCsr)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RowProductEll)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RowProductNative)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(GaussSeidelSweep)
    ->ArgName("written0_reciprocal1_nochain2")
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(Triad)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
