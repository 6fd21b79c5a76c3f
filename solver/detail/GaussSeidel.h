// Point Gauss-Seidel: forward sweeps over the owned cells, each followed by
// the residual, its global value, the halo refresh of x and the relative
// convergence test against the residual of the first sweep.
#ifndef QVL3D_DETAIL_GAUSSSEIDEL_H
#define QVL3D_DETAIL_GAUSSSEIDEL_H

#include "detail/Context.h"
#include "detail/Layouts.h"
#include "detail/Method.h"

#include <algorithm>
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
// Euclidean norm (square root before the sum). The host's rule stops once
// tolerance > res / res0, res0 being the residual of the first sweep. No
// guard against a zero diagonal or a zero first residual: a NaN ratio never
// passes the test and the method runs to its limit.
//
// Console (where the settings and the layout ask for it), per sweep: "1 ",
// "resn=%e" with the partition's own norm, "2 " after the global sum, "3 "
// after the test's ratio, "4 ", then "5 " after the exchange of x.
template <class Rows>
CSolveRecord GaussSeidelOn(const Rows& A, const CSolveContext& c, const CMethodSettings& set, double* x,
                           const double* b)
{
    if (set.maxIter < 1) return Ended(CSolveRecord{}, EStatus::LimitBelowOne);

    const int n = A.n;
    const bool nonBlocking = Rows::kHonoursNonBlocking && set.nonBlocking;
    const bool markers = Rows::kGaussSeidelMarkers && set.markers;
    auto marker = [&](const char* text) {
        if (markers) PrintLine(text);
    };
    CSolveRecord rec;
    // The owned extremes of x after the last sweep (variable 6 of the host).
    auto extremes = [&] {
        if (set.xMax == nullptr) return;
        double& xMax = *set.xMax;
        double& xMin = *set.xMin;
        xMax = -1e30;
        xMin = 1e30;
        for (int i = 1; i <= n; ++i) {
            if (x[i] > xMax) xMax = x[i];
            if (xMin > x[i]) xMin = x[i];
        }
    };

    // The residual runs behind the sweep. Row j's residual is final once the
    // sweep has passed every owned column of row j, so it runs `lag` rows
    // behind, lag being at least the largest distance from a row to its last
    // owned column (a plane on a box), found once per call; rows still go in
    // ascending order and see the same x as after the whole sweep.
    int lag = 0;
    for (int j = 1; j <= n; ++j)
        A.ForEachOffDiag(j, [&](int col, double) {
            if (col <= n && col - j > lag) lag = col - j;
        });
    lag = A.ResidualLag(lag);

    double res0 = 0.0;
    for (int iter = 1;; ++iter) {
        double sumSq = 0.0;
        auto residualRow = [&](int j) {
            double t = 0.0;
            A.ForEachOffDiag(j, [&](int col, double a) { t = t + a * x[col]; });
            const double r = (b[j] - A.Diag(j) * x[j]) - t;
            sumSq = sumSq + r * r;
        };
        // Each row waits for the one before it, so the sweep's time is that
        // chain: the term of column i-1 takes x_{i-1} from xPrev, the value
        // the previous row computed, rather than loading it from where it
        // was just stored (the same product in the same place of the sum;
        // xPrev is not read for i = 1).
        double xPrev = 0.0;
        for (int i = 1; i <= n; ++i) {
            if (i + kPrefetchRows <= A.prefetchEnd) A.Prefetch(i + kPrefetchRows);
            double s = 0.0;
            A.ForEachOffDiag(i, [&](int col, double a) { s = s + a * (col == i - 1 ? xPrev : x[col]); });
            const double d = A.Diag(i);
            const double xi = ((b[i] - d * x[i]) - s) / d + x[i];
            x[i] = xi;
            xPrev = xi;

            if (i > lag) residualRow(i - lag);
        }
        for (int j = std::max(1, n - lag + 1); j <= n; ++j) residualRow(j);
        const double local = std::sqrt(sumSq);

        marker("1 \n");
        if (markers) {
            std::printf("resn=%e\n", local);
            std::fflush(stdout);
        }
        const double res = SumOverPartitions(c, local);
        marker("2 \n");

        if (iter == 1) res0 = res;
        const double ratio = res / res0;
        marker("3 \n");
        marker("4 \n");

        ExchangeHalo(c, x, nonBlocking);
        marker("5 \n");

        EStatus status = EStatus::IterationLimit;
        if (IterationDone(rec, set, iter, res)) {
            status = EStatus::NonFinite;
        } else if (set.stop.kind == CStopRule::kAbsolute ? BelowThreshold(set.stop, res) : set.stop.tolerance > ratio) {
            status = EStatus::Converged;
        } else if (iter < set.maxIter) {
            continue;
        }
        extremes(); // the exchange wrote only halo entries: the owned x is the sweep's
        return Ended(rec, status);
    }
}

template <class Rows>
CSolveRecord GaussSeidel(const Rows& A, const CSolveContext& c, const CMethodSettings& set, double* x, const double* b)
{
    return WithWidthFixed(A, [&](const auto& rows) { return GaussSeidelOn(rows, c, set, x, b); });
}

} // namespace detail
} // namespace qvl3d

#endif
