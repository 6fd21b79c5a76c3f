// The V-cycle: DILU smoothing with the library's sweeps over each level's
// rows, restriction by P^T, prolongation by P, the last level factorised.
#include "AmgLevel.h"

#include "detail/Preconditioner.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace qvl3d {
namespace amg {

using detail::FromArray;

void CAmgHierarchy::CLevel::Prepare()
{
    const size_t size = static_cast<size_t>(A.rows) + 1;
    for (std::vector<double>* v : {&dilu, &x, &b, &r, &z, &work})
        if (v->size() != size) v->assign(size, 0.0); // each is written before it is read
    if (mapped)
        DiluFrom(A, partner, dilu.data());
    else
        DiluMapped(A, partner, dilu.data());
}

// The last level as a dense matrix, factorised P A = L U with partial
// pivoting (the first largest magnitude of the column); a pivot that is 0,
// or below 1e-13 of the largest diagonal magnitude (a singular operator,
// such as a Neumann problem's), is set to 0 and its unknown solved as 0.
// Beyond kDenseRows nothing is factorised.
//
// A row is updated only up to the last non-zero of the pivot row: past it
// each term is f * 0.0, which leaves an entry as it is unless the entry is
// -0.0 (-0 - +0 = -0, but -0 - -0 = +0) or f is not finite. A matrix
// without -0.0 never makes one here (a difference is -0 only from -0), so
// the short range is taken where no value is -0.0 and f is finite: the
// same bits, with the work of the band the aggregates' order leaves.
void CAmgHierarchy::Factorise()
{
    const CSparse& A = m_levels.back().A;
    const int n = A.rows;
    m_lu.clear();
    m_pivot.clear();
    if (n > kDenseRows) return;
    const size_t N = static_cast<size_t>(n);
    m_lu.assign(N * N, 0.0);
    m_pivot.assign(N, 0);
    double largest = 0.0;
    bool negativeZero = false;
    for (int i = 1; i <= n; ++i) {
        for (int e = A.start[i]; e < A.start[i + 1]; ++e) {
            m_lu[(i - 1) * N + (A.col[e] - 1)] = A.val[e];
            negativeZero = negativeZero || (A.val[e] == 0.0 && std::signbit(A.val[e]));
        }
        largest = std::max(largest, std::fabs(A.val[A.start[i]]));
    }
    double* M = m_lu.data();
    for (size_t k = 0; k < N; ++k) {
        size_t p = k;
        for (size_t i = k + 1; i < N; ++i)
            if (std::fabs(M[i * N + k]) > std::fabs(M[p * N + k])) p = i;
        m_pivot[k] = static_cast<int>(p);
        if (p != k)
            for (size_t j = 0; j < N; ++j) std::swap(M[k * N + j], M[p * N + j]);
        if (!(std::fabs(M[k * N + k]) > 1e-13 * largest)) {
            M[k * N + k] = 0.0;
            continue;
        }
        size_t last = N; // one past the pivot row's last non-zero
        while (!negativeZero && last > k + 1 && M[k * N + last - 1] == 0.0) --last;
        for (size_t i = k + 1; i < N; ++i) {
            const double f = M[i * N + k] / M[k * N + k];
            M[i * N + k] = f;
            if (f == 0.0) continue;
            const size_t end = std::isfinite(f) ? last : N;
            for (size_t j = k + 1; j < end; ++j) M[i * N + j] = M[i * N + j] - f * M[k * N + j];
        }
    }
}

void CAmgHierarchy::SolveCoarsest(CLevel& L)
{
    if (m_lu.empty()) return Smooth(L, kCoarsestSweeps, true);
    const size_t N = static_cast<size_t>(L.A.rows);
    const double* M = m_lu.data();
    double* y = L.x.data() + 1; // solved in place, 0-based
    std::copy(L.b.begin() + 1, L.b.end(), y);
    for (size_t k = 0; k < N; ++k) std::swap(y[k], y[m_pivot[k]]);
    for (size_t i = 0; i < N; ++i) {
        double s = y[i];
        for (size_t j = 0; j < i; ++j) s = s - M[i * N + j] * y[j];
        y[i] = s;
    }
    for (size_t i = N; i-- > 0;) {
        double s = y[i];
        for (size_t j = i + 1; j < N; ++j) s = s - M[i * N + j] * y[j];
        y[i] = M[i * N + i] != 0.0 ? s / M[i * N + i] : 0.0;
    }
}

// `sweeps` smoothing steps x = x + M^-1 (b - A x), M the DILU operator of
// the level; from x = 0 the first is x = M^-1 b.
void CAmgHierarchy::Smooth(CLevel& L, int sweeps, bool fromZero)
{
    const detail::CCsrRows A = L.Rows();
    const int n = A.n;
    for (int s = 0; s < sweeps; ++s) {
        if (s == 0 && fromZero) {
            detail::CDilu::Apply(A, L.x.data(), L.dilu.data(), L.work.data(), FromArray(L.b.data()));
            continue;
        }
        A.RowProducts(1, n, L.r.data(), L.x.data());
        for (int i = 1; i <= n; ++i) L.r[i] = L.b[i] - L.r[i];
        detail::CDilu::Apply(A, L.z.data(), L.dilu.data(), L.work.data(), FromArray(L.r.data()));
        for (int i = 1; i <= n; ++i) L.x[i] = L.x[i] + L.z[i];
    }
}

// x of level l from its b, from x = 0.
void CAmgHierarchy::VCycle(int l)
{
    CLevel& L = m_levels[l];
    if (l + 1 == Levels()) return SolveCoarsest(L);
    CLevel& C = m_levels[l + 1];
    const int n = L.A.rows;
    Smooth(L, std::max(m_settings.preSweeps, 1), true);
    L.Rows().RowProducts(1, n, L.r.data(), L.x.data());
    for (int i = 1; i <= n; ++i) L.r[i] = L.b[i] - L.r[i];
    for (int I = 1; I <= C.A.rows; ++I) {
        double s = 0.0;
        for (int e = L.PT.start[I]; e < L.PT.start[I + 1]; ++e) s = s + L.PT.val[e] * L.r[L.PT.col[e]];
        C.b[I] = s;
    }
    VCycle(l + 1);
    for (int i = 1; i <= n; ++i) {
        double s = 0.0;
        for (int e = L.P.start[i]; e < L.P.start[i + 1]; ++e) s = s + L.P.val[e] * C.x[L.P.col[e]];
        L.x[i] = L.x[i] + s;
    }
    Smooth(L, m_settings.postSweeps, false);
}

double* CAmgHierarchy::Input()
{
    return m_levels[0].b.data();
}

void CAmgHierarchy::CycleFromInput(double* x)
{
    VCycle(0);
    const std::vector<double>& x0 = m_levels[0].x;
    std::copy(x0.begin() + 1, x0.end(), x + 1);
}

void CAmgHierarchy::Cycle(const double* b, double* x)
{
    std::copy(b + 1, b + 1 + m_levels[0].A.rows, m_levels[0].b.begin() + 1);
    CycleFromInput(x);
}

} // namespace amg
} // namespace qvl3d
