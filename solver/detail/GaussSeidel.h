// Point Gauss-Seidel: forward sweeps over the owned cells, each followed by
// the residual, its global value, the halo refresh of x and the relative
// convergence test against the residual of the first sweep.
#ifndef QVL3D_DETAIL_GAUSSSEIDEL_H
#define QVL3D_DETAIL_GAUSSSEIDEL_H

#include "detail/Context.h"
#include "detail/Layouts.h"

#include <cmath>
#include <cstdio>

namespace qvl3d {
namespace detail {

// Row i reads: s = sum of a_ik * x[c_ik] from 0.0 in the row's storage order,
// with x as it stands (cells below i already swept). The update is
//   x_i <- ((b_i - a_ii*x_i) - s) / a_ii + x_i
// in exactly this order. x is read and written in the same sweep: no restrict.
//
// The global residual is the sum over partitions of each partition's
// Euclidean norm (square root before the sum). No guard against a zero
// diagonal or a zero first residual: a NaN ratio never passes the test and the
// method runs to its limit.
template <class Rows>
void GaussSeidel(const Rows& A, const CSolveContext& c, int ivarb, double* x, const double* b)
{
    CQvl3dGV& S = c.S;
    if (S.m_piMaxIter[ivarb] < 1) return;

    const int n = A.n;
    const bool nonBlocking = Rows::kHonoursNonBlocking && S.m_bNonBlockingExch;
    auto marker = [](const char* text) {
        if constexpr (Rows::kGaussSeidelMarkers) PrintLine(text);
    };

    // The owned column of row j (j itself included) that the sweep reaches
    // last: once past it, row j's residual is final.
    auto lastOwnedColumn = [&](int j) {
        int last = j;
        A.ForEachOffDiag(j, [&](int col, double) {
            if (col <= n && col > last) last = col;
        });
        return last;
    };

    double res0 = 0.0;
    for (int iter = 1;; ++iter) {
        // Where the layout lets it, the residual pass runs behind the sweep,
        // row j as soon as the sweep has passed every owned column of row j;
        // rows still go in ascending order and see the same x as after the
        // whole sweep.
        double sumSq = 0.0;
        auto residualRow = [&](int j) {
            double t = 0.0;
            A.ForEachOffDiag(j, [&](int col, double a) { t = t + a * x[col]; });
            const double r = (b[j] - A.Diag(j) * x[j]) - t;
            sumSq = sumSq + r * r;
        };
        int j = 1;
        int ready = n >= 1 ? lastOwnedColumn(1) : 1;
        for (int i = 1; i <= n; ++i) {
            if (i + kPrefetchRows <= n) A.Prefetch(i + kPrefetchRows);
            double s = 0.0;
            A.ForEachOffDiag(i, [&](int col, double a) { s = s + a * x[col]; });
            const double d = A.Diag(i);
            x[i] = ((b[i] - d * x[i]) - s) / d + x[i];

            if constexpr (Rows::kResidualBehindSweep) {
                while (ready <= i) {
                    residualRow(j);
                    ready = ++j <= n ? lastOwnedColumn(j) : n + 1;
                }
            }
        }
        if constexpr (!Rows::kResidualBehindSweep) {
            for (j = 1; j <= n; ++j) residualRow(j);
        }
        const double local = std::sqrt(sumSq);

        marker("1 \n");
        if constexpr (Rows::kGaussSeidelMarkers) {
            std::printf("resn=%e\n", local);
            std::fflush(stdout);
        }
        const double res = SumOverPartitions(c, local);
        marker("2 \n");

        if (iter == 1) res0 = res;
        S.m_pdResidual0[ivarb] = res0;
        const double ratio = res / res0;
        marker("3 \n");

        if (ivarb == 6) {
            double& xMax = *S.m_pdSolutionMax;
            double& xMin = *S.m_pdSolutionMin;
            xMax = -1e30;
            xMin = 1e30;
            for (int i = 1; i <= n; ++i) {
                if (x[i] > xMax) xMax = x[i];
                if (xMin > x[i]) xMin = x[i];
            }
        }
        marker("4 \n");

        ExchangeHalo(c, x, nonBlocking);
        marker("5 \n");

        if (S.m_pdTolerance[ivarb] > ratio) return; // converged
        if (iter >= S.m_piMaxIter[ivarb]) return;   // limit re-read from the store
    }
}

} // namespace detail
} // namespace qvl3d

#endif
