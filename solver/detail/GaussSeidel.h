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

// The residual runs behind the sweep. Row j's residual is final once the
// sweep has passed every owned column of row j, so it runs `lag` rows
// behind, lag being at least the largest distance from a row to its last
// owned column (a plane on a box), found once per call; rows still go in
// ascending order and see the same x as after the whole sweep.
template <class Rows>
int ResidualLagOf(const Rows& A)
{
    const int n = A.n;
    int lag = 0;
    for (int j = 1; j <= n; ++j)
        A.ForEachOffDiag(j, [&](int col, double) {
            if (col <= n && col - j > lag) lag = col - j;
        });
    return A.ResidualLag(lag);
}

// One sweep over the owned cells, rows in ascending order. Row i reads:
// s = sum of a_ik * x[c_ik] from 0.0 in the row's storage order, with x as
// it stands (cells below i already swept). The update is
//   x_i <- ((b_i - a_ii*x_i) - s) / a_ii + x_i
// in exactly this order. x is read and written in the same sweep: no
// restrict. Returns the partition's residual sum of squares, row j's
// r_j = (b_j - a_jj*x_j) - t with t summed from 0.0 in storage order,
// taken `lag` rows behind the sweep, in ascending j.
template <class Rows>
double SweepWithResidual(const Rows& A, double* x, const double* b, int lag)
{
    const int n = A.n;
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
    return sumSq;
}

// The owned extremes of x after the last sweep (variable 6 of the host),
// where the settings ask for them.
inline void StoreExtremes(const CMethodSettings& set, int n, const double* x)
{
    if (set.xMax == nullptr) return;
    double& xMax = *set.xMax;
    double& xMin = *set.xMin;
    xMax = -1e30;
    xMin = 1e30;
    for (int i = 1; i <= n; ++i) {
        if (x[i] > xMax) xMax = x[i];
        if (xMin > x[i]) xMin = x[i];
    }
}

// Sweeps until the stop rule or the limit. The global residual is the sum
// over partitions of each partition's Euclidean norm (square root before
// the sum). The host's rule stops once tolerance > res / res0, res0 being
// the residual of the first sweep. No guard against a zero diagonal or a
// zero first residual: a NaN ratio never passes the test and the method
// runs to its limit.
//
// Console (where the settings and the layout ask for it), per sweep: "1 ",
// "resn=%e" with the partition's own norm, "2 " after the global sum, "3 "
// after the test's ratio, "4 ", then "5 " after the exchange of x.
//
// sweep() runs one sweep over x and returns the partition's residual sum of
// squares; Rows names the layout, whose traits choose the exchange and the
// console lines.
template <class Rows, class Stop, class Sweep>
CSolveRecord GaussSeidelIterations(int n, const CSolveContext& c, const CMethodSettings& set, const Stop& stop,
                                   double* x, Sweep&& sweep)
{
    const bool nonBlocking = Rows::kHonoursNonBlocking && set.nonBlocking;
    const bool markers = Rows::kGaussSeidelMarkers && set.markers;
    auto marker = [&](const char* text) {
        if (markers) PrintLine(text);
    };
    CSolveRecord rec;

    double res0 = 0.0;
    for (int iter = 1;; ++iter) {
        const double local = std::sqrt(sweep());

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

        EStatus status = IterationDone(rec, set, stop, iter, res);
        if (status != EStatus::NotRun) {
            // a guard ended it
        } else if (stop.Met(res, [&](double tolerance) { return tolerance > ratio; })) {
            status = EStatus::Converged;
        } else if (iter < set.maxIter) {
            continue;
        } else {
            status = EStatus::IterationLimit;
        }
        StoreExtremes(set, n, x); // the exchange wrote only halo entries: the owned x is the sweep's
        return Ended(rec, status);
    }
}

template <class Rows, class Stop>
CSolveRecord GaussSeidelOn(const Rows& A, const CSolveContext& c, const CMethodSettings& set, const Stop& stop,
                           double* x, const double* b)
{
    if (set.maxIter < 1) return Ended(CSolveRecord{}, EStatus::LimitBelowOne);
    const int lag = ResidualLagOf(A);
    return GaussSeidelIterations<Rows>(A.n, c, set, stop, x, [&] { return SweepWithResidual(A, x, b, lag); });
}

template <class Rows, class Stop>
CSolveRecord GaussSeidel(const Rows& A, const CSolveContext& c, const CMethodSettings& set, const Stop& stop, double* x,
                         const double* b)
{
    return WithWidthFixed(A, [&](const auto& rows) { return GaussSeidelOn(rows, c, set, stop, x, b); });
}

} // namespace detail
} // namespace qvl3d

#endif
