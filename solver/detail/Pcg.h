// Preconditioned conjugate gradient.
#ifndef QVL3D_DETAIL_PCG_H
#define QVL3D_DETAIL_PCG_H

#include "detail/Context.h"
#include "detail/Method.h"
#include "detail/Preconditioner.h"
#include "detail/RowProduct.h"

#include <cmath>
#include <cstdio>

namespace qvl3d {
namespace detail {

// Solves A x = b (A assumed symmetric positive definite, not checked) from
// the x passed in. Work vectors: r, z = M^-1 r, p
// (exchanged before each product), q = A p. Set-up on every call, before the
// limit is looked at: r = b - A x, p = 0, the preconditioner built. Each
// iteration:
//   rho = sum(r.z); beta = rho / (rho_old + 1e-30), rho_old = 1e20 at first;
//   p = beta p + z; exchange p; q = A p, pq = sum(p.q);
//   alpha = rho / (pq + 1e-30); x = alpha p + x, r = r - alpha q in the pass
//   that forms rr; res = sqrt(sum(rr)).
// Sums run over cells 1..n ascending from 0.0. The host's rule measures
// against res of iteration 1 and stops once reference * tolerance > res
// (strictly). There is no breakdown test: the guards soften a zero rho_old
// or pq, and a NaN runs to the limit.
//
// The progress line "%4d %8.5le ivarb=%d" is printed on the iterations that
// are a multiple of the settings' interval (0: never).
//
// Collective calls per iteration: sum(rho), exchange of p, sum(pq), sum(rr).
//
// Passes: for the element-wise preconditioners (the diagonal and none) the
// last pass of an iteration also sums the next rho, with z_i = r_i * d_i or
// z_i = r_i formed on the fly; the p update of the next iteration forms
// z_i again, to the same bits, and stores it. For DILU both sweeps and the
// rho sum open the iteration that needs them: a sweep fused into the last
// pass would overwrite the work vector before the solve knows whether it
// stops, and a host reads that vector after the call.
//
// What a call leaves (every exit): z holds M^-1 r of the last
// iteration that ran, the DILU work vector the forward sweep of that same r,
// r and x the last update, p and q the last direction and its product.
// What the conjugate gradient needs of A and M: both definite, of either
// sign. p . A p keeps the sign it had first and is never 0, and so does
// r . M^-1 r; either seen otherwise means the matrix or the preconditioner
// is not definite. A zero rho (r = 0) and values that are not finite are
// left to the other tests.
struct CDefiniteness {
    double pq0 = 0.0, rho0 = 0.0;

    bool Broken(double rho, double pq)
    {
        if (rho == 0.0 || !std::isfinite(rho) || !std::isfinite(pq)) return false;
        if (pq0 == 0.0) {
            pq0 = pq;
            rho0 = rho;
        }
        return pq == 0.0 || (pq < 0.0) != (pq0 < 0.0) || (rho < 0.0) != (rho0 < 0.0);
    }
};

template <class Rows, class Stop, class Precond>
CSolveRecord PcgIterations(const Rows& A, const CSolveContext& c, const CMethodSettings& set, const Stop& stop,
                           const Precond& precond, const CWorkVectors& w, double* x)
{
    const int n = A.n;
    const int maxIter = set.maxIter;
    const bool nonBlocking = Rows::kHonoursNonBlocking && set.nonBlocking;
    double* __restrict const r = w.r;
    double* __restrict const z = w.z;
    double* __restrict const p = w.p;
    double* __restrict const q = w.q;
    const double* __restrict const diag = w.diag;
    double* __restrict const work = w.precondWork;
    CSolveRecord rec;
    constexpr bool kElementWise = Precond::kElementWise;
    // z_i of an element-wise preconditioner from r_i as it stands (formed
    // only where the passes of an element-wise type call it).
    auto zOf = [&](const auto& elementWise, double ri, int i) { return elementWise.ZOf(ri, diag, i); };

    double rhoLocal = 0.0;
    if constexpr (kElementWise) {
        for (int i = 1; i <= n; ++i) rhoLocal = rhoLocal + r[i] * zOf(precond, r[i], i);
    }

    double rhoOld = 1e20;
    CDefiniteness definite;
    for (int k = 1;; ++k) {
        if constexpr (!kElementWise) {
            precond.Apply(A, z, diag, work, FromArray(r));
            rhoLocal = 0.0;
            for (int i = 1; i <= n; ++i) rhoLocal = rhoLocal + r[i] * z[i];
        }
        const double rho = SumOverPartitions(c, rhoLocal);

        const double beta = rho / (rhoOld + kGuard);
        if constexpr (!kElementWise) {
            for (int i = 1; i <= n; ++i) p[i] = beta * p[i] + z[i];
        } else {
            for (int i = 1; i <= n; ++i) {
                const double zi = zOf(precond, r[i], i);
                z[i] = zi;
                p[i] = beta * p[i] + zi;
            }
        }
        ExchangeHalo(c, p, nonBlocking);

        double sum = 0.0;
        ForEachRowBlock(n, [&](int lo, int hi) {
            A.RowProducts(lo, hi, q, p);
            for (int i = lo; i <= hi; ++i) sum = sum + p[i] * q[i];
        });
        const double pq = SumOverPartitions(c, sum);
        // Where asked, a matrix or preconditioner seen not to be definite
        // ends the solve, x and r as after iteration k-1.
        if (stop.guards.stopOnIndefinite && definite.Broken(rho, pq)) return Ended(rec, EStatus::Indefinite);
        const double alpha = rho / (pq + kGuard);

        sum = 0.0;
        rhoLocal = 0.0; // element-wise preconditioners: the next rho
        for (int i = 1; i <= n; ++i) {
            x[i] = alpha * p[i] + x[i];
            const double ri = r[i] - alpha * q[i];
            r[i] = ri;
            sum = sum + ri * ri;
            if constexpr (kElementWise) rhoLocal = rhoLocal + ri * zOf(precond, ri, i);
        }
        const double res = std::sqrt(SumOverPartitions(c, sum));
        rhoOld = rho;

        if (set.progressInterval >= 1 && k % set.progressInterval == 0) {
            std::printf("%4d %8.5le ivarb=%d\n", k, res, set.ivarb);
            std::fflush(stdout);
        }
        if (const EStatus guard = IterationDone(rec, set, stop, k, res); guard != EStatus::NotRun)
            return Ended(rec, guard);
        if (stop.Met(res, [&](double tolerance) { return rec.reference * tolerance > res; }))
            return Ended(rec, EStatus::Converged);
        if (k >= maxIter) return Ended(rec, EStatus::IterationLimit);
    }
}

template <class Rows, class Stop, class Precond>
CSolveRecord Pcg(const Rows& A, const CSolveContext& c, const CMethodSettings& set, const Stop& stop,
                 const Precond& precond, const CWorkVectors& w, double* x, const double* b)
{
    const int n = A.n;
    double* const r = w.r;
    double* const p = w.p;

    ForEachRowBlock(n, [&](int lo, int hi) {
        A.RowProducts(lo, hi, r, x);
        for (int i = lo; i <= hi; ++i) {
            r[i] = b[i] - r[i];
            p[i] = 0.0;
        }
    });
    precond.Build(A, w.diag);
    if (set.maxIter < 1) return Ended(CSolveRecord{}, EStatus::LimitBelowOne);
    return PcgIterations(A, c, set, stop, precond, w, x);
}

} // namespace detail
} // namespace qvl3d

#endif
