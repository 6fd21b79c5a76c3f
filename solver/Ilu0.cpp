#include "detail/Ilu0.h"

#include "detail/Context.h"

#include <algorithm>

namespace qvl3d {
namespace detail {

void FactorIlu0(CIlu0Factors& F)
{
    CSweepPart& L = F.rows.lower;
    CSweepPart& U = F.rows.upper;
    double* d = F.pivot.data();
    const int n = static_cast<int>(F.pivot.size()) - 1;
    std::vector<double*> at(static_cast<std::size_t>(std::max(n, 0)) + 1, nullptr); // row i's w_j, by column
    std::vector<int> ascending;                                                     // row i's lower entries
    for (int i = 1; i <= n; ++i) {
        const int l0 = L.start[i], l1 = L.start[i + 1], u0 = U.start[i], u1 = U.start[i + 1];
        double w = d[i];
        at[i] = &w;
        for (int e = l0; e < l1; ++e) at[L.col[e]] = &L.val[e];
        for (int e = u0; e < u1; ++e) at[U.col[e]] = &U.val[e];
        ascending.resize(static_cast<std::size_t>(l1 - l0));
        for (int e = l0; e < l1; ++e) ascending[e - l0] = e;
        std::sort(ascending.begin(), ascending.end(), [&](int a, int b) { return L.col[a] < L.col[b]; });
        for (int e : ascending) {
            const int k = L.col[e];
            const double l = L.val[e] * d[k];
            L.val[e] = l;
            for (int f = U.start[k]; f < U.start[k + 1]; ++f)
                if (double* wj = at[U.col[f]]) *wj = *wj - l * U.val[f];
        }
        d[i] = 1.0 / (w + kGuard);
        at[i] = nullptr;
        for (int e = l0; e < l1; ++e) at[L.col[e]] = nullptr;
        for (int e = u0; e < u1; ++e) at[U.col[e]] = nullptr;
    }
}

} // namespace detail
} // namespace qvl3d
