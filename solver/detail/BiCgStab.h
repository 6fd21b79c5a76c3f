// Preconditioned BiCGSTAB, the preconditioner applied on the right.
#ifndef QVL3D_DETAIL_BICGSTAB_H
#define QVL3D_DETAIL_BICGSTAB_H

#include "detail/Context.h"
#include "detail/Preconditioner.h"
#include "detail/RowProduct.h"

#include <cmath>

namespace qvl3d {
namespace detail {

// Solves A x = b for variable ivarb from the x passed in, updating x on the
// owned cells (its halo entries are read by the first row product only).
// Work vectors are the store's: r, r0hat, p, phat (exchanged), v = A phat
// (VecZ), s (VecQ), shat (exchanged), t = A shat. Every local sum runs over
// cells 1..n in ascending order from 0.0 and is replaced by its global value.
// Denominators carry the 1e-30 guard; breakdown tests compare the unguarded
// values with 0.0 exactly.
//
// The reference norm m_pdResidual0 is the residual after iteration 1; each
// completed iteration writes its number to m_piIterCount. Exits:
//   initial residual 0        m_pdResidual0 = 0, no preconditioner built
//   limit below 1             preconditioner built, nothing else written
//   rho, beta, sigma, alpha   x as after the previous iteration
//   tt, omega                 x carries the half step, r not updated
//   converged, limit          results of the last iteration written
//
// Collective calls: one sum at entry; per iteration sum(rho), exchange of
// phat, sum(sigma), exchange of shat, sum(tt), sum(ts), sum(norm). Every
// decision rests on these sums and on the per-variable limit and tolerance.
template <class Rows>
void BiCgStab(const Rows& A, const CSolveContext& c, int ivarb, double* x, const double* b)
{
    CQvl3dGV& S = c.S;
    const int n = A.n;
    const int maxIter = S.m_piMaxIter[ivarb];
    const bool nonBlocking = Rows::kHonoursNonBlocking && S.m_bNonBlockingExch;
    double* const r = S.m_pdVecR;
    double* const r0hat = S.m_pdVecR0Hat;
    double* const p = S.m_pdVecP;
    double* const phat = S.m_pdVecPHat;
    double* const v = S.m_pdVecZ;
    double* const s = S.m_pdVecQ;
    double* const shat = S.m_pdVecSHat;
    double* const t = S.m_pdVecT;
    double* const diag = S.m_pdPrecondDiag;
    double* const work = S.m_pdPrecondWork;

    double sum = 0.0;
    for (int i = 1; i <= n; ++i) {
        RowProduct(A, i, r, x);
        r[i] = b[i] - r[i];
        r0hat[i] = r[i];
        sum = sum + r[i] * r[i];
    }
    const double norm0 = std::sqrt(SumOverPartitions(c, sum));
    if (norm0 == 0.0) { // x already solves the system
        S.m_pdResidual0[ivarb] = 0.0;
        return;
    }

    BuildPreconditioner(A, S.m_piPrecondType[0], diag);
    if (maxIter < 1) return;

    double rho = 0.0, alpha = 0.0, omega = 0.0;
    for (int k = 1;; ++k) {
        const double rhoPrev = rho;
        sum = 0.0;
        for (int i = 1; i <= n; ++i) sum = sum + r0hat[i] * r[i];
        rho = SumOverPartitions(c, sum);
        if (rho == 0.0) return;

        if (k == 1) {
            for (int i = 1; i <= n; ++i) p[i] = r[i];
        } else {
            const double beta = (rho / (rhoPrev + kGuard)) * (alpha / (omega + kGuard));
            if (beta == 0.0) return;
            for (int i = 1; i <= n; ++i) p[i] = (p[i] - omega * v[i]) * beta + r[i];
        }

        ApplyPreconditioner(A, S.m_piPrecondType[0], phat, p, diag, work);
        ExchangeHalo(c, phat, nonBlocking);

        sum = 0.0;
        for (int i = 1; i <= n; ++i) {
            RowProduct(A, i, v, phat);
            sum = sum + r0hat[i] * v[i];
        }
        const double sigma = SumOverPartitions(c, sum);
        if (sigma == 0.0) return;
        alpha = rho / (sigma + kGuard);
        if (alpha == 0.0) return;

        for (int i = 1; i <= n; ++i) {
            x[i] = x[i] + alpha * phat[i];
            s[i] = r[i] - alpha * v[i];
        }

        ApplyPreconditioner(A, S.m_piPrecondType[0], shat, s, diag, work);
        ExchangeHalo(c, shat, nonBlocking);

        double tt = 0.0, ts = 0.0;
        for (int i = 1; i <= n; ++i) {
            RowProduct(A, i, t, shat);
            tt = tt + t[i] * t[i];
            ts = ts + s[i] * t[i];
        }
        tt = SumOverPartitions(c, tt);
        ts = SumOverPartitions(c, ts);
        if (tt == 0.0) return;
        omega = ts / (tt + kGuard);
        if (omega == 0.0) return;

        sum = 0.0;
        for (int i = 1; i <= n; ++i) {
            x[i] = x[i] + omega * shat[i];
            r[i] = s[i] - omega * t[i];
            sum = sum + r[i] * r[i];
        }
        const double norm = std::sqrt(SumOverPartitions(c, sum));

        if (k == 1) S.m_pdResidual0[ivarb] = norm;
        S.m_piIterCount[ivarb] = k;
        if (S.m_pdResidual0[ivarb] * S.m_pdTolerance[ivarb] >= norm) return; // converged
        if (k >= maxIter) return;                                            // limit reached
    }
}

} // namespace detail
} // namespace qvl3d

#endif
