// Restarted GMRES(m) and flexible GMRES, the preconditioner applied on the
// right.
#ifndef QVL3D_DETAIL_GMRES_H
#define QVL3D_DETAIL_GMRES_H

#include "detail/Context.h"
#include "detail/Method.h"
#include "detail/Preconditioner.h"
#include "detail/RowProduct.h"

#include <cmath>
#include <cstddef>
#include <vector>

namespace qvl3d {
namespace detail {

// What the cycles of one solve work in, sized once for a restart length m:
// the basis v_0..v_m, the preconditioned vectors z (the flexible method
// keeps z_j = M_j^-1 v_j for each j, since its update needs them; GMRES one
// z for all), each vector with room for the halo cells (z is exchanged);
// the (m+1) x m Hessenberg matrix, its Givens rotations, the rotated
// right-hand side g, the least-squares solution y and the dot products of
// the two Gram-Schmidt passes.
class CKrylovSpace {
public:
    void Allocate(int restart, bool flexible, int cellsTotal)
    {
        const size_t m = static_cast<size_t>(restart);
        m_restart = restart;
        m_flexible = flexible;
        m_stride = static_cast<size_t>(cellsTotal) + 1;
        m_v.assign((m + 1) * m_stride, 0.0);
        m_z.assign((flexible ? m : 1) * m_stride, 0.0);
        m_h.assign((m + 1) * m, 0.0);
        m_small.assign(4 * (m + 1) + 2 * (m + 2), 0.0);
    }

    int Restart() const { return m_restart; }
    bool Flexible() const { return m_flexible; }
    double* V(int k) { return m_v.data() + static_cast<size_t>(k) * m_stride; }
    double* Z(int k) { return m_z.data() + (m_flexible ? static_cast<size_t>(k) * m_stride : 0); }
    double& H(int i, int j) { return m_h[static_cast<size_t>(j) * (static_cast<size_t>(m_restart) + 1) + i]; }
    double* Cos() { return m_small.data(); }
    double* Sin() { return Cos() + m_restart + 1; }
    double* G() { return Sin() + m_restart + 1; }
    double* Y() { return G() + m_restart + 1; }
    double* Dots() { return Y() + m_restart + 1; }

private:
    int m_restart = 0;
    bool m_flexible = false;
    size_t m_stride = 0;
    std::vector<double> m_v, m_z, m_h, m_small;
};

// r = b - A x into v_0, the halo of x refreshed first; returns ||r|| (the
// local sum of squares over cells 1..n ascending, summed over the partitions).
template <class Rows>
double GmresResidual(const Rows& A, const CSolveContext& c, CKrylovSpace& K, double* x, const double* b)
{
    ExchangeHalo(c, x, false);
    double* __restrict const r = K.V(0);
    double sum = 0.0;
    ForEachRowBlock(A.n, [&](int lo, int hi) {
        A.RowProducts(lo, hi, r, x);
        for (int i = lo; i <= hi; ++i) {
            const double ri = b[i] - r[i];
            r[i] = ri;
            sum = sum + ri * ri;
        }
    });
    return std::sqrt(SumOverPartitions(c, sum));
}

// d_l = d_l + v_l,i w_i for rows lo..hi ascending, l = 0..j. Each d_l is
// one chain of dependent additions, so four of them run side by side (one
// pass over w for four basis vectors), each still in ascending i: the
// same bits as one at a time, in a quarter of the chained latency.
inline void AddDots(CKrylovSpace& K, int j, int lo, int hi, const double* __restrict w, double* __restrict d)
{
    int l = 0;
    for (; l + 3 <= j; l += 4) {
        const double* __restrict const v0 = K.V(l);
        const double* __restrict const v1 = K.V(l + 1);
        const double* __restrict const v2 = K.V(l + 2);
        const double* __restrict const v3 = K.V(l + 3);
        double s0 = d[l], s1 = d[l + 1], s2 = d[l + 2], s3 = d[l + 3];
        for (int i = lo; i <= hi; ++i) {
            const double wi = w[i];
            s0 = s0 + v0[i] * wi;
            s1 = s1 + v1[i] * wi;
            s2 = s2 + v2[i] * wi;
            s3 = s3 + v3[i] * wi;
        }
        d[l] = s0;
        d[l + 1] = s1;
        d[l + 2] = s2;
        d[l + 3] = s3;
    }
    for (; l <= j; ++l) {
        const double* __restrict const v = K.V(l);
        double s = d[l];
        for (int i = lo; i <= hi; ++i) s = s + v[i] * w[i];
        d[l] = s;
    }
}

// w_i = w_i - d_l v_l,i for rows lo..hi, l = 0..j in that order.
inline void Subtract(CKrylovSpace& K, int j, int lo, int hi, double* __restrict w, const double* __restrict d)
{
    for (int l = 0; l <= j; ++l) {
        const double* __restrict const v = K.V(l);
        const double dl = d[l];
        for (int i = lo; i <= hi; ++i) w[i] = w[i] - dl * v[i];
    }
}

// The sweep that subtracts d_l v_l from w (l = 0..j) block by block;
// returns the local sum of the new w_i^2 (cells 1..n ascending from 0.0).
inline double SubtractAndSquare(CKrylovSpace& K, int n, int j, const double* __restrict d)
{
    double* __restrict const w = K.V(j + 1);
    double squares = 0.0;
    ForEachRowBlock(n, [&](int lo, int hi) {
        Subtract(K, j, lo, hi, w, d);
        for (int i = lo; i <= hi; ++i) squares = squares + w[i] * w[i];
    });
    return squares;
}

// Classical Gram-Schmidt of w = v_{j+1} against v_0..v_j into column j of
// H, re-orthogonalised where it lost too much; returns ||w|| after it. A
// pass forms its j+1 dot products d_l = v_l . w (each summed over cells 1..n
// ascending from 0.0) in one sweep over the basis, sums them over the
// partitions in one collective, then subtracts them (w_i - d_0 v_0,i -
// d_1 v_1,i ...) in a second sweep that also forms the new ||w||^2. The
// first pass sums ||w||^2 before it with its dot products; where the pass
// left ||w|| below 1/sqrt(2) of that, cancellation may have spoilt the
// orthogonality, and a second pass runs on the result, its coefficients
// added to the first's. The sweeps run over blocks of rows, so that a
// block of w stays in cache while the basis streams by. Collective calls:
// one sum of j+2 values and one sum; twice that with the second pass.
inline double Orthogonalise(const CSolveContext& c, CKrylovSpace& K, int n, int j)
{
    double* __restrict const w = K.V(j + 1);
    double* __restrict const d1 = K.Dots();
    double* __restrict const d2 = d1 + K.Restart() + 2;
    for (int l = 0; l <= j + 1; ++l) d1[l] = d2[l] = 0.0;
    ForEachRowBlock(n, [&](int lo, int hi) {
        AddDots(K, j, lo, hi, w, d1);
        double s = d1[j + 1];
        for (int i = lo; i <= hi; ++i) s = s + w[i] * w[i];
        d1[j + 1] = s;
    });
    c.com.AllSum(d1, j + 2);
    const double before = d1[j + 1];
    double squares = SumOverPartitions(c, SubtractAndSquare(K, n, j, d1));
    for (int l = 0; l <= j; ++l) K.H(l, j) = d1[l];
    if (squares > 0.5 * before) return std::sqrt(squares);

    ForEachRowBlock(n, [&](int lo, int hi) { AddDots(K, j, lo, hi, w, d2); });
    c.com.AllSum(d2, j + 1);
    squares = SumOverPartitions(c, SubtractAndSquare(K, n, j, d2));
    for (int l = 0; l <= j; ++l) K.H(l, j) = d1[l] + d2[l];
    return std::sqrt(squares);
}

// Column j of H through the earlier rotations, then the rotation of its own
// that zeroes h_{j+1,j}, applied to g: g_{j+1} = -s g_j, g_j = c g_j, where
// |g_{j+1}| is the least-squares residual norm. r = sqrt(a^2 + b^2) is
// formed over |a| + |b|, in IEEE operations alone (no library hypot).
// Returns false where the rotated diagonal would be 0: column j lies in the
// span of the earlier ones, A M^-1 is singular on the Krylov space.
inline bool RotateColumn(CKrylovSpace& K, int j)
{
    double* const cs = K.Cos();
    double* const sn = K.Sin();
    double* const g = K.G();
    for (int i = 0; i < j; ++i) {
        const double a = K.H(i, j), b = K.H(i + 1, j);
        K.H(i, j) = cs[i] * a + sn[i] * b;
        K.H(i + 1, j) = cs[i] * b - sn[i] * a;
    }
    const double a = K.H(j, j), b = K.H(j + 1, j);
    const double scale = std::fabs(a) + std::fabs(b);
    if (scale == 0.0) return false;
    const double as = a / scale, bs = b / scale;
    const double r = scale * std::sqrt(as * as + bs * bs);
    cs[j] = a / r;
    sn[j] = b / r;
    K.H(j, j) = r;
    K.H(j + 1, j) = 0.0;
    g[j + 1] = -sn[j] * g[j];
    g[j] = cs[j] * g[j];
    return true;
}

// y = R^-1 g over the first `columns` columns (back substitution, each row's
// terms subtracted in ascending column order), then x = x + M^-1 (V y): one
// more application of the preconditioner, into z; the flexible method adds
// Z y instead, the vectors the preconditioner gave when each was formed.
// Each cell's combination sums from 0.0 over the columns ascending.
template <class Rows, class Precond>
void GmresUpdate(const Rows& A, const Precond& precond, const CWorkVectors& w, CKrylovSpace& K, int columns, double* x)
{
    double* const y = K.Y();
    const double* const g = K.G();
    for (int i = columns - 1; i >= 0; --i) {
        double s = g[i];
        for (int l = i + 1; l < columns; ++l) s = s - K.H(i, l) * y[l];
        y[i] = s / K.H(i, i);
    }
    const auto combination = [&](bool flexible, int i) {
        double s = 0.0;
        for (int l = 0; l < columns; ++l) s = s + y[l] * (flexible ? K.Z(l) : K.V(l))[i];
        return s;
    };
    const int n = A.n;
    if (K.Flexible()) {
        for (int i = 1; i <= n; ++i) x[i] = x[i] + combination(true, i);
        return;
    }
    double* __restrict const z = K.Z(0);
    precond.Apply(A, z, w.diag, w.precondWork, [&](int i) { return combination(false, i); });
    for (int i = 1; i <= n; ++i) x[i] = x[i] + z[i];
}

// How iteration j of a cycle ended: the least-squares residual norm, whether
// the new basis vector was 0 before normalising (the Krylov space is
// invariant: x is exact), whether A M^-1 was singular on it.
struct CGmresStep {
    double norm = 0.0;
    bool happy = false;
    bool singular = false;
};

// Iteration j of a cycle: z_j = M^-1 v_j, exchanged; v_{j+1} = A z_j
// orthogonalised against v_0..v_j into column j of H, rotated, and
// normalised.
template <class Rows, class Precond>
CGmresStep GmresStep(const Rows& A, const CSolveContext& c, const Precond& precond, const CWorkVectors& w,
                     CKrylovSpace& K, int j, bool nonBlocking)
{
    double* __restrict const z = K.Z(j);
    precond.Apply(A, z, w.diag, w.precondWork, FromArray(K.V(j)));
    ExchangeHalo(c, z, nonBlocking);
    double* __restrict const v = K.V(j + 1);
    ForEachRowBlock(A.n, [&](int lo, int hi) { A.RowProducts(lo, hi, v, z); });
    const double h = Orthogonalise(c, K, A.n, j);
    K.H(j + 1, j) = h;
    CGmresStep step;
    step.happy = h == 0.0;
    step.singular = !RotateColumn(K, j);
    step.norm = std::fabs(K.G()[j + 1]);
    if (!step.happy)
        for (int i = 1, n = A.n; i <= n; ++i) v[i] = v[i] / h;
    return step;
}

// One restart cycle from v_0 = r = b - A x, beta = ||r||, counting the
// solve's iterations in k. Returns NotRun where the cycle ran its m
// iterations (x updated), otherwise how the solve ends: converged (the rule
// met, or the space invariant), the limit (x updated with the columns so
// far), a guard (x as the cycle found it) or the singular breakdown (x
// updated with the columns before it).
template <class Rows, class Stop, class Precond>
EStatus GmresCycle(const Rows& A, const CSolveContext& c, const CMethodSettings& set, const Stop& stop,
                   const Precond& precond, const CWorkVectors& w, CKrylovSpace& K, double* x, double beta,
                   CSolveRecord& rec, int& k)
{
    const bool nonBlocking = Rows::kHonoursNonBlocking && set.nonBlocking;
    double* __restrict const v0 = K.V(0);
    for (int i = 1, n = A.n; i <= n; ++i) v0[i] = v0[i] / beta;
    K.G()[0] = beta;
    const int m = K.Restart();
    for (int j = 0; j < m; ++j) {
        const CGmresStep step = GmresStep(A, c, precond, w, K, j, nonBlocking);
        if (step.singular) {
            GmresUpdate(A, precond, w, K, j, x);
            return EStatus::BreakdownKrylov;
        }
        const double norm = step.norm;
        if (const EStatus guard = IterationDone(rec, set, stop, ++k, norm); guard != EStatus::NotRun) return guard;
        const bool met = stop.Met(norm, [&](double tolerance) { return rec.reference * tolerance >= norm; });
        if (met || step.happy || k >= set.maxIter) {
            GmresUpdate(A, precond, w, K, j + 1, x);
            return met || step.happy ? EStatus::Converged : EStatus::IterationLimit;
        }
    }
    GmresUpdate(A, precond, w, K, m, x);
    return EStatus::NotRun;
}

// Solves A x = b from the x passed in, restarted every K.Restart()
// iterations, right-preconditioned: the flexible method (K.Flexible()) keeps
// every z_j and so lets the preconditioner change from one application to
// the next. The method's norm after each iteration is the least-squares
// residual norm |g_{j+1}| of the Hessenberg problem, which in exact
// arithmetic is ||b - A x|| of the x the cycle would give then; each cycle
// starts from the true residual b - A x, formed anew.
//
// Exits: zero initial residual (no preconditioner built); limit below 1;
// converged (the rule met, or the Krylov space invariant: a basis vector 0
// before normalising, where x is exact); the iteration limit; a guard of the
// stop rule; stagnated, where a whole cycle left ||b - A x|| no smaller
// than it found it (it can then never move); breakdown_krylov, where A M^-1
// is singular on the Krylov space.
//
// Collective calls: one exchange and one sum per cycle for the residual;
// per iteration one exchange (z) and three sums, two of them of j+1 values
// (Orthogonalise). Every decision rests on these sums.
template <class Rows, class Stop, class Precond>
CSolveRecord Gmres(const Rows& A, const CSolveContext& c, const CMethodSettings& set, const Stop& stop,
                   const Precond& precond, const CWorkVectors& w, CKrylovSpace& K, double* x, const double* b)
{
    double beta = GmresResidual(A, c, K, x, b);
    if (beta == 0.0) return Ended(CSolveRecord{}, EStatus::ZeroInitialResidual); // x already solves the system
    precond.Build(A, w.diag);
    if (set.maxIter < 1) return Ended(CSolveRecord{}, EStatus::LimitBelowOne);
    CSolveRecord rec;
    int k = 0;
    for (;;) {
        const EStatus status = GmresCycle(A, c, set, stop, precond, w, K, x, beta, rec, k);
        if (status != EStatus::NotRun) return Ended(rec, status);
        const double before = beta;
        beta = GmresResidual(A, c, K, x, b);
        if (beta == 0.0) return Ended(rec, EStatus::Converged);
        if (!std::isfinite(beta)) return Ended(rec, EStatus::NonFinite);
        if (!(beta < before)) return Ended(rec, EStatus::Stagnated);
    }
}

} // namespace detail
} // namespace qvl3d

#endif
