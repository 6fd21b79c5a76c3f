// Preconditioned BiCGSTAB, the preconditioner applied on the right.
#ifndef QVL3D_DETAIL_BICGSTAB_H
#define QVL3D_DETAIL_BICGSTAB_H

#include "detail/Context.h"
#include "detail/Method.h"
#include "detail/Preconditioner.h"
#include "detail/RowProduct.h"

#include <cmath>

namespace qvl3d {
namespace detail {

// Set-up: r = b - A x and r0hat = r on the owned cells; returns the local
// sum of r . r.
template <class Rows>
double BiCgStabResidual(const Rows& A, const CWorkVectors& w, double* x, const double* b)
{
    double* __restrict const r = w.r;
    double* __restrict const r0hat = w.r0hat;
    double sum = 0.0;
    ForEachRowBlock(A.n, [&](int lo, int hi) {
        A.RowProducts(lo, hi, r, x);
        for (int i = lo; i <= hi; ++i) {
            const double ri = b[i] - r[i];
            r[i] = ri;
            r0hat[i] = ri;
            sum = sum + ri * ri;
        }
    });
    return sum;
}

// The second half step: s = r - alpha v inside the application that forms
// shat, exchange of shat, t = A shat with the local tt = t . t and
// ts = s . t, then both summed over the partitions (tt first).
template <class Rows, class Precond>
void BiCgStabHalfStep(const Rows& A, const CSolveContext& c, const Precond& precond, const CWorkVectors& w,
                      bool nonBlocking, double alpha, double& tt, double& ts)
{
    const double* __restrict const r = w.r;
    const double* __restrict const v = w.z;
    double* __restrict const s = w.q;
    double* __restrict const shat = w.shat;
    double* __restrict const t = w.t;
    auto formS = [&](int i) {
        const double si = r[i] - alpha * v[i];
        s[i] = si;
        return si;
    };
    tt = 0.0;
    ts = 0.0;
    auto sumT = [&](int lo, int hi) {
        for (int i = lo; i <= hi; ++i) {
            const double ti = t[i];
            tt = tt + ti * ti;
            ts = ts + s[i] * ti;
        }
    };
    precond.Apply(A, shat, w.diag, w.precondWork, formS);
    ExchangeHalo(c, shat, nonBlocking);
    ForEachRowBlock(A.n, [&](int lo, int hi) {
        A.RowProducts(lo, hi, t, shat);
        sumT(lo, hi);
    });
    tt = SumOverPartitions(c, tt);
    ts = SumOverPartitions(c, ts);
}

// The iterations from rhoLocal = r0hat . r of the initial residual.
template <class Rows, class Stop, class Precond>
CSolveRecord BiCgStabIterations(const Rows& A, const CSolveContext& c, const CMethodSettings& set, const Stop& stop,
                                const Precond& precond, const CWorkVectors& w, double* x, double rhoLocal)
{
    const int n = A.n;
    const int maxIter = set.maxIter;
    const bool nonBlocking = Rows::kHonoursNonBlocking && set.nonBlocking;
    double* __restrict const r = w.r;
    const double* __restrict const r0hat = w.r0hat;
    double* __restrict const p = w.p;
    double* __restrict const phat = w.phat;
    double* __restrict const v = w.z;
    const double* const s = w.q; // written by the half step
    const double* const shat = w.shat;
    const double* const t = w.t;
    CSolveRecord rec;
    auto end = [&rec](EStatus status) { return Ended(rec, status); };

    double rho = 0.0, alpha = 0.0, omega = 0.0;
    for (int k = 1;; ++k) {
        const double rhoPrev = rho;
        rho = SumOverPartitions(c, rhoLocal);
        if (rho == 0.0) return end(EStatus::BreakdownRho);

        double beta = 0.0;
        if (k > 1) {
            beta = (rho / (rhoPrev + kGuard)) * (alpha / (omega + kGuard));
            if (beta == 0.0) return end(EStatus::BreakdownBeta);
        }
        auto formP = [&](int i) {
            const double pi = k == 1 ? r[i] : (p[i] - omega * v[i]) * beta + r[i];
            p[i] = pi;
            return pi;
        };
        precond.Apply(A, phat, w.diag, w.precondWork, formP);
        ExchangeHalo(c, phat, nonBlocking);
        double sum = 0.0;
        ForEachRowBlock(n, [&](int lo, int hi) {
            A.RowProducts(lo, hi, v, phat);
            for (int i = lo; i <= hi; ++i) sum = sum + r0hat[i] * v[i];
        });
        const double sigma = SumOverPartitions(c, sum);
        if (sigma == 0.0) return end(EStatus::BreakdownSigma);
        alpha = rho / (sigma + kGuard);
        if (alpha == 0.0) return end(EStatus::BreakdownAlpha);

        double tt, ts;
        BiCgStabHalfStep(A, c, precond, w, nonBlocking, alpha, tt, ts);
        omega = tt == 0.0 ? 0.0 : ts / (tt + kGuard);
        if (omega == 0.0) { // tt or omega breakdown: x keeps the half step
            for (int i = 1; i <= n; ++i) x[i] = x[i] + alpha * phat[i];
            return end(tt == 0.0 ? EStatus::BreakdownTt : EStatus::BreakdownOmega);
        }

        sum = 0.0;
        rhoLocal = 0.0;
        for (int i = 1; i <= n; ++i) {
            x[i] = (x[i] + alpha * phat[i]) + omega * shat[i];
            const double ri = s[i] - omega * t[i];
            r[i] = ri;
            sum = sum + ri * ri;
            rhoLocal = rhoLocal + r0hat[i] * ri;
        }
        const double norm = std::sqrt(SumOverPartitions(c, sum));

        if (const EStatus guard = IterationDone(rec, set, stop, k, norm); guard != EStatus::NotRun) return end(guard);
        if (stop.Met(norm, [&](double tolerance) { return rec.reference * tolerance >= norm; }))
            return end(EStatus::Converged);
        if (k >= maxIter) return end(EStatus::IterationLimit);
    }
}

// Solves A x = b from the x passed in, updating x on the owned cells (its
// halo entries are read by the first row product only). Work vectors: r,
// r0hat, p, phat (exchanged), v = A phat (w.z), s (w.q), shat (exchanged),
// t = A shat. Every local sum runs over
// cells 1..n in ascending order from 0.0 and is replaced by its global value.
// Denominators carry the 1e-30 guard; breakdown tests compare the unguarded
// values with 0.0 exactly.
//
// The host's rule measures against the residual after iteration 1 and stops
// once reference * tolerance >= norm. Exits, as the record names them:
//   zero initial residual     no preconditioner built
//   limit below 1             preconditioner built, nothing else written
//   rho, beta, sigma, alpha   x as after the previous iteration
//   tt, omega                 x carries the half step, r not updated
//   converged, limit          the last iteration complete
//
// Collective calls: one sum at entry; per iteration sum(rho), exchange of
// phat, sum(sigma), exchange of shat, sum(tt), sum(ts), sum(norm). Every
// decision rests on these sums and on the per-variable limit and tolerance.
//
// Passes of one iteration (each local sum keeps its own ascending order):
//   p update inside the application that forms phat;
//   v = A phat with sigma;
//   s = r - alpha v inside the application that forms shat;
//   t = A shat with tt and ts;
//   x = (x + alpha phat) + omega shat, r = s - omega t, the norm and the next
//   iteration's rho.
// The x update of the half step is deferred to the last pass: both roundings
// happen as if x + alpha phat had been stored, and the tt and omega exits
// store it. Iteration 1's rho is the initial residual's sum, since r0hat = r.
template <class Rows, class Stop, class Precond>
CSolveRecord BiCgStab(const Rows& A, const CSolveContext& c, const CMethodSettings& set, const Stop& stop,
                      const Precond& precond, const CWorkVectors& w, double* x, const double* b)
{
    const double sum = BiCgStabResidual(A, w, x, b);
    const double norm0 = std::sqrt(SumOverPartitions(c, sum));
    if (norm0 == 0.0) return Ended(CSolveRecord{}, EStatus::ZeroInitialResidual); // x already solves the system

    precond.Build(A, w.diag);
    if (set.maxIter < 1) return Ended(CSolveRecord{}, EStatus::LimitBelowOne);
    return BiCgStabIterations(A, c, set, stop, precond, w, x, sum); // rhoLocal = r0hat . r with r0hat = r
}

} // namespace detail
} // namespace qvl3d

#endif
