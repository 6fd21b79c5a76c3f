// Preconditioned conjugate gradient.
#ifndef QVL3D_DETAIL_PCG_H
#define QVL3D_DETAIL_PCG_H

#include "detail/Context.h"
#include "detail/Preconditioner.h"
#include "detail/RowProduct.h"

#include <cmath>
#include <cstdio>

namespace qvl3d {
namespace detail {

// Solves A x = b (A assumed symmetric positive definite, not checked) for
// variable ivarb from the x passed in. Work vectors: r, z = M^-1 r, p
// (exchanged before each product), q = A p. Set-up on every call, before the
// limit is looked at: r = b - A x, p = 0, the preconditioner built. Each
// iteration:
//   rho = sum(r.z); beta = rho / (rho_old + 1e-30), rho_old = 1e20 at first;
//   p = beta p + z; exchange p; q = A p, pq = sum(p.q);
//   alpha = rho / (pq + 1e-30); x = alpha p + x, r = r - alpha q in the pass
//   that forms rr; res = sqrt(sum(rr)).
// Sums run over cells 1..n ascending from 0.0. The reference norm
// m_pdResidual0 is res of iteration 1; the solve stops once
// m_pdResidual0 * tolerance > res (strictly) or at the limit. There is no
// breakdown test: the guards soften a zero rho_old or pq, and a NaN runs to
// the limit. m_piIterCount is not written.
//
// The progress line "%4d %8.5le ivarb=%d" is printed when m_piSilent is 0,
// the iteration is a multiple of m_piPrintInterval and m_piPrintSolver is
// non-zero, tested in that order; an interval below 1 prints nothing.
//
// Collective calls per iteration: sum(rho), exchange of p, sum(pq), sum(rr).
template <class Rows>
void Pcg(const Rows& A, const CSolveContext& c, int ivarb, double* x, const double* b)
{
    CQvl3dGV& S = c.S;
    const int n = A.n;
    const int maxIter = S.m_piMaxIter[ivarb];
    const bool nonBlocking = Rows::kHonoursNonBlocking && S.m_bNonBlockingExch;
    double* const r = S.m_pdVecR;
    double* const z = S.m_pdVecZ;
    double* const p = S.m_pdVecP;
    double* const q = S.m_pdVecQ;
    double* const diag = S.m_pdPrecondDiag;
    double* const work = S.m_pdPrecondWork;
    double rhoOld = 1e20;

    for (int i = 1; i <= n; ++i) {
        RowProduct(A, i, r, x);
        r[i] = b[i] - r[i];
        p[i] = 0.0;
    }
    BuildPreconditioner(A, S.m_piPrecondType[0], diag);
    if (maxIter < 1) return;

    for (int k = 1;; ++k) {
        ApplyPreconditioner(A, S.m_piPrecondType[0], z, r, diag, work);

        double sum = 0.0;
        for (int i = 1; i <= n; ++i) sum = sum + r[i] * z[i];
        const double rho = SumOverPartitions(c, sum);

        const double beta = rho / (rhoOld + kGuard);
        for (int i = 1; i <= n; ++i) p[i] = beta * p[i] + z[i];
        ExchangeHalo(c, p, nonBlocking);

        sum = 0.0;
        for (int i = 1; i <= n; ++i) {
            RowProduct(A, i, q, p);
            sum = sum + p[i] * q[i];
        }
        const double pq = SumOverPartitions(c, sum);
        const double alpha = rho / (pq + kGuard);

        sum = 0.0;
        for (int i = 1; i <= n; ++i) {
            x[i] = alpha * p[i] + x[i];
            r[i] = r[i] - alpha * q[i];
            sum = sum + r[i] * r[i];
        }
        const double res = std::sqrt(SumOverPartitions(c, sum));
        rhoOld = rho;

        if (k == 1) S.m_pdResidual0[ivarb] = res;
        const int interval = S.m_piPrintInterval[0];
        if (S.m_piSilent[0] == 0 && interval >= 1 && k % interval == 0 && S.m_piPrintSolver[0] != 0) {
            std::printf("%4d %8.5le ivarb=%d\n", k, res, ivarb);
            std::fflush(stdout);
        }
        if (S.m_pdResidual0[ivarb] * S.m_pdTolerance[ivarb] > res) return; // converged
        if (k >= maxIter) return;                                          // limit reached
    }
}

} // namespace detail
} // namespace qvl3d

#endif
