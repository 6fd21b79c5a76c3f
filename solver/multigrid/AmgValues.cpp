// The numeric phase of the multigrid set-up on kept patterns: P's values
// and each level's DILU array. The first computation after new patterns
// records where each term landed (a map); Update recomputes the values from
// the maps, without the searches and scatters they stand for. Every value
// is summed exactly as ProlongatorValues and the library's DILU build sum
// it: the same terms in the same order from the same start, so a map gives
// the bits of the direct computation. (The Galerkin products keep their
// scatter: a map of their terms, one int per term, measured no fewer
// instructions than the scatter.)
#include "AmgLevel.h"

#include "detail/Context.h"

#include <algorithm>

namespace qvl3d {
namespace amg {

namespace {

// ProlongatorValues' omega: 4/3 over the largest row sum of |a_ik| / |a_ii|.
double Omega(const CSparse& A)
{
    const double bound = GershgorinBound(A);
    return bound > 0.0 ? (4.0 / 3.0) / bound : 0.0;
}

} // namespace

// ProlongatorValues, and where each of its terms landed.
void ProlongatorValuesMapped(const CSparse& A, const std::vector<int>& agg, bool smoothed, CSparse& P, CValueMap& map,
                             std::vector<int>& position)
{
    const double omega = smoothed ? Omega(A) : 0.0;
    map.one.assign(static_cast<size_t>(A.rows) + 1, -1);
    map.term.assign(smoothed ? A.col.size() : 0, -1);
    position.assign(static_cast<size_t>(P.cols) + 1, -1);
    for (int i = 1; i <= A.rows; ++i) {
        for (int e = P.start[i]; e < P.start[i + 1]; ++e) {
            position[P.col[e]] = e;
            P.val[e] = 0.0;
        }
        if (agg[i] >= 0) P.val[map.one[i] = position[agg[i] + 1]] = 1.0;
        if (!smoothed) continue;
        const double d = A.val[A.start[i]];
        const double w = d != 0.0 ? omega / d : 0.0;
        for (int e = A.start[i]; e < A.start[i + 1]; ++e) {
            const int k = A.col[e];
            if (agg[k] < 0) continue;
            const int p = map.term[e] = position[agg[k] + 1];
            if (w != 0.0) P.val[p] = P.val[p] - w * A.val[e];
        }
    }
}

// As ProlongatorValues: each row from 0.0, its tentative 1, less w a_ik at
// the aggregate of each k in the row's order.
void ProlongatorValuesFrom(const CSparse& A, const CValueMap& map, CSparse& P)
{
    const bool smoothed = !map.term.empty();
    const double omega = smoothed ? Omega(A) : 0.0;
    std::fill(P.val.begin(), P.val.end(), 0.0);
    const int *start = A.start.data(), *one = map.one.data(), *term = map.term.data();
    const double* a = A.val.data();
    double* p = P.val.data();
    for (int i = 1; i <= A.rows; ++i) {
        if (one[i] >= 0) p[one[i]] = 1.0;
        const double d = a[start[i]];
        const double w = smoothed && d != 0.0 ? omega / d : 0.0;
        if (w == 0.0) continue;
        for (int e = start[i]; e < start[i + 1]; ++e)
            if (term[e] >= 0) p[term[e]] = p[term[e]] - w * a[e];
    }
}

// The library's DILU build over the level's rows (DiluFrom), searching
// each upper entry's partner as that build does (the first entry of row j
// with column i in storage order, the diagonal left out), and recording it
// per entry of A (-1: a lower entry, or no partner).
void DiluMapped(const CSparse& A, std::vector<int>& partner, double* D)
{
    const int n = A.rows;
    partner.assign(A.col.size(), -1);
    for (int i = 1; i <= n; ++i) D[i] = A.val[A.start[i]];
    for (int i = 1; i <= n; ++i) {
        D[i] = 1.0 / (D[i] + detail::kGuard);
        for (int e = A.start[i] + 1; e < A.start[i + 1]; ++e) {
            const int j = A.col[e];
            if (j <= i) continue;
            for (int f = A.start[j] + 1; f < A.start[j + 1]; ++f)
                if (A.col[f] == i) {
                    partner[e] = f;
                    D[j] = D[j] - (A.val[f] * D[i]) * A.val[e];
                    break;
                }
        }
    }
}

// As the library's DILU build over the level's rows: D_i = 1 / (a_ii +
// guard) in ascending order, each then taken off the diagonals of its upper
// neighbours j, (a_ji D_i) a_ij, in the row's storage order.
void DiluFrom(const CSparse& A, const std::vector<int>& partner, double* D)
{
    const int n = A.rows;
    for (int i = 1; i <= n; ++i) D[i] = A.val[A.start[i]];
    for (int i = 1; i <= n; ++i) {
        D[i] = 1.0 / (D[i] + detail::kGuard);
        for (int e = A.start[i] + 1; e < A.start[i + 1]; ++e) {
            const int p = partner[e];
            if (p >= 0) D[A.col[e]] = D[A.col[e]] - (A.val[p] * D[i]) * A.val[e];
        }
    }
}

} // namespace amg
} // namespace qvl3d
