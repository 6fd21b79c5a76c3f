#include "detail/SweepRows.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace qvl3d {
namespace detail {

namespace {

// Rows first..last (sweep numbering) of one block into the schedule, by
// level, ascending within a level, four lanes per level; `levels` levels
// 0..levels-1, each with one to four rows (a row of level L waits for one
// of level L-1); then the shapes of the block's groups over P. filled: room
// for the levels, counted from 0 here.
void CloseBlock(CSweepSchedule& s, const CSweepPart& P, const std::vector<int>& level, std::vector<int>& filled,
                int first, int last, int levels, int n, bool descending)
{
    std::fill(filled.begin(), filled.begin() + levels, 0);
    const size_t base = s.order.size();
    s.order.resize(base + 4 * static_cast<size_t>(levels));
    for (int k = first; k <= last; ++k) {
        const int L = level[k];
        const int row = descending ? n - k : k + 1;
        for (int lane = filled[L]++; lane < 4; ++lane)
            s.order[base + 4 * L + lane] = row; // repeated until a next row comes
    }
    for (int L = 0; L < levels; ++L) s.shape.push_back(ShapeOf(P, s.order.data() + base + 4 * L, filled[L]));
    s.blockGroup.push_back(static_cast<int>(s.order.size() / 4));
    s.blockFirst.push_back(descending ? n - (last + 1) : last + 2);
}

// The schedule in one pass over the rows in the sweep's direction: row k
// (sweep numbering) waits for the rows of its owned columns, renumbered.
template <bool kDescending>
CSweepSchedule Schedule(const CSweepPart& P, int n)
{
    CSweepSchedule s;
    s.order.reserve(static_cast<size_t>(n));
    s.shape.reserve(static_cast<size_t>(n) / 4 + 1);
    s.blockGroup.push_back(0);
    s.blockFirst.push_back(kDescending ? n : 1);
    std::vector<int> level(static_cast<size_t>(n), 0);
    std::vector<int> rowsOfLevel(static_cast<size_t>(kMaxBlockRows), 0); // in the open block
    std::vector<int> filled(static_cast<size_t>(kMaxBlockRows));
    const int *start = P.start.data(), *col = P.col.data();
    int first = 0, levels = 0;
    for (int k = 0; k < n; ++k) {
        const int i = kDescending ? n - k : k + 1;
        int L = 0;
        for (int e = start[i]; e < start[i + 1]; ++e) {
            const int c = col[e];
            if (c > n) continue; // a halo column: nothing to wait for here
            const int before = kDescending ? n - c : c - 1;
            if (before >= k)
                throw std::logic_error("sweep rows: row " + std::to_string(i) +
                                       " waits for a row that does not come before it");
            if (before >= first) L = std::max(L, level[before] + 1);
        }
        if (k - first == kMaxBlockRows || rowsOfLevel[L] == kLanes) { // row k opens the next block
            CloseBlock(s, P, level, filled, first, k - 1, levels, n, kDescending);
            std::fill(rowsOfLevel.begin(), rowsOfLevel.begin() + levels, 0);
            first = k;
            levels = 0;
            L = 0;
        }
        level[k] = L;
        ++rowsOfLevel[L];
        levels = std::max(levels, L + 1);
    }
    if (n > 0) CloseBlock(s, P, level, filled, first, n - 1, levels, n, kDescending);
    s.order.shrink_to_fit();
    s.shape.shrink_to_fit();
    return s;
}

} // namespace

CSweepSchedule ScheduleOf(const CSweepPart& P, int n, bool descending)
{
    return descending ? Schedule<true>(P, n) : Schedule<false>(P, n);
}

unsigned char ShapeOf(const CSweepPart& P, const int* i, int rows)
{
    int shortest = P.start[i[0] + 1] - P.start[i[0]], longest = shortest;
    for (int k = 1; k < 4; ++k) {
        shortest = std::min(shortest, P.start[i[k] + 1] - P.start[i[k]]);
        longest = std::max(longest, P.start[i[k] + 1] - P.start[i[k]]);
    }
    const int common = shortest > kLongestShape ? kAnyLength : shortest;
    return static_cast<unsigned char>(common + (longest > shortest ? kTails : 0) + (rows - 1) * kRows);
}

void FourSumsOfAnyLength(const CSweepPart& P, const int (&from)[4], const int (&to)[4], const double* v, double (&s)[4])
{
    const int* c = P.col.data();
    const double* a = P.val.data();
    int common = to[0] - from[0];
    for (int k = 1; k < 4; ++k) common = std::min(common, to[k] - from[k]);
    double t[4] = {0.0, 0.0, 0.0, 0.0};
    for (int e = 0; e < common; ++e)
        for (int k = 0; k < 4; ++k) t[k] = t[k] + a[from[k] + e] * v[c[from[k] + e]];
    for (int k = 0; k < 4; ++k) {
        for (int e = from[k] + common; e < to[k]; ++e) t[k] = t[k] + a[e] * v[c[e]];
        s[k] = t[k];
    }
}

} // namespace detail
} // namespace qvl3d
