// The front door's own sweep rows: what the triangular sweeps (DILU, ILU(0))
// read, derived from the layout a solve runs on once per matrix, their
// values again on every Update.
//
// A sweep reads, for each owned row, the lower or the upper part of the row
// (halo columns dropped, since they add nothing there). The sweep rows hold
// that part of every row contiguously, column and value, in exactly the
// order the layout sums it, so that each row's sum is the layout's to the
// bit: the rows give up nothing but the walk through the layout (slot
// lists, column compares, halo tests, empty ELL slots).
//
// A sweep's rows wait for one another: a forward row for its lower
// neighbours, a backward row for its upper ones. A row walked right after the one it waits for
// stalls the core on that dependency, so the rows do not run in ascending
// order but by a schedule derived from the pattern (any pattern): the rows
// are cut into blocks of consecutive rows (in the sweep's direction), each
// block runs after the one before it, and inside a block the rows run by
// level, a row's level being one more than the highest level of the rows of
// its block it waits for. Rows of one level are independent of each other,
// so they run side by side (their sums in four lanes) and the core overlaps
// their chains. A block grows until a row would make a level's kLanes + 1st
// (or the block would pass kMaxBlockRows rows), which on a box of
// consecutive lines takes kLanes lines: a few lines of the vector are all a
// block touches.
//
// Every row computes what it computes in ascending order from the same
// inputs, so the results are those of the ascending sweep bit for bit.
//
// Gauss-Seidel keeps the layouts' own sweep: on sweep rows scheduled this
// way (every off-diagonal entry, the residual summed in row order behind
// the blocks) it took 1.5 times as long per sweep at 128^3 as the layouts'
// single pass with its lagged residual.
#ifndef QVL3D_DETAIL_SWEEPROWS_H
#define QVL3D_DETAIL_SWEEPROWS_H

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace qvl3d {
namespace detail {

// Rows a block of a schedule runs side by side at most (per level), and the
// most rows a block takes (a pattern with no independent rows, a chain, has
// one row per level whatever the block's size).
constexpr int kLanes = 4;
constexpr int kMaxBlockRows = 8192;

// The order a sweep runs its n rows in. Blocks b = 0..: groups
// blockGroup[b] .. blockGroup[b+1]-1; group g: the rows order[4g .. 4g+3],
// independent of each other, the last repeated where the group has fewer
// than four (shape[g] tells how many, and how long their parts are).
// Block b holds the consecutive rows (in the sweep's direction) from
// blockFirst[b] on.
struct CSweepSchedule {
    std::vector<int> order;
    std::vector<unsigned char> shape; // per group, of the part it runs over (GroupShapes)
    std::vector<int> blockGroup;
    std::vector<int> blockFirst; // the block's first row: its lowest (ascending) or highest (descending)

    int Blocks() const { return static_cast<int>(blockGroup.size()) - 1; }
    int Groups() const { return static_cast<int>(order.size() / 4); }
    bool Derived() const { return !blockGroup.empty(); }
    std::size_t Bytes() const { return 4 * (order.size() + blockGroup.size() + blockFirst.size()) + shape.size(); }
};

// Leaves the elements a resize adds unwritten (default-initialised): for
// arrays that are written whole right after, where a zero fill would be one
// more pass over memory.
template <class T>
struct CUnfilled : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = CUnfilled<U>;
    };
    CUnfilled() = default;
    template <class U>
    CUnfilled(const CUnfilled<U>&) noexcept
    {
    }
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible<U>::value)
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// One part of every owned row: entries start[i] .. start[i+1]-1 of row i
// (1..n), in the layout's summation order.
struct CSweepPart {
    std::vector<int> start;
    std::vector<int, CUnfilled<int>> col;
    std::vector<double, CUnfilled<double>> val;

    std::size_t Bytes() const { return 4 * (start.size() + col.size()) + 8 * val.size(); }

    // The parts of rows 1..n from walk(i, f), which calls f(column, value)
    // in the layout's order; columns above n are kept only with keepHalo.
    // A new pattern is counted first, row by row, then written in place;
    // with samePattern (new values on the pattern of the last Fill) the
    // counts kept are used. Throws std::logic_error where the walks give
    // another count than the one kept (nothing is written past it).
    template <class Walk>
    void Fill(int n, bool keepHalo, bool samePattern, Walk&& walk)
    {
        if (!samePattern) {
            start.assign(static_cast<std::size_t>(n) + 2, 0);
            int at = 0;
            for (int i = 1; i <= n; ++i) {
                start[i] = at;
                walk(i, [&at, n, keepHalo](int j, double) { at += j <= n || keepHalo ? 1 : 0; });
            }
            start[n + 1] = at;
            col.resize(static_cast<std::size_t>(at));
            val.resize(static_cast<std::size_t>(at));
            col.shrink_to_fit(); // an Update fills the same count again, without growing
            val.shrink_to_fit();
        }
        int* c = col.data();
        double* a = val.data();
        const int room = static_cast<int>(col.size());
        int at = 0;
        for (int i = 1; i <= n; ++i)
            walk(i, [&](int j, double v) {
                if (j > n && !keepHalo) return;
                if (at < room) {
                    c[at] = j;
                    a[at] = v;
                }
                ++at;
            });
        if (at != room) throw std::logic_error("sweep rows: the walks gave another pattern than the one kept");
    }
};

// The schedule of rows 1..n in ascending (descending: n..1) order over part
// P, with the shapes of its groups: in a sweep in that direction each row
// waits for the rows of its part's owned columns. Throws std::logic_error
// where a row waits for a row that does not come before it (a pattern whose
// lower part is not below the diagonal).
CSweepSchedule ScheduleOf(const CSweepPart& P, int n, bool descending);

// ---------------------------------------------------------------- kernels

// s[k] = the sum of val[e] * v[col[e]] over the kLength entries from
// from[k] of four rows, from 0.0 in entry order, side by side.
template <int kLength>
__attribute__((always_inline)) inline void FourSums(const CSweepPart& P, const int (&from)[4], const double* v,
                                                    double (&s)[4])
{
    const int* c = P.col.data();
    const double* a = P.val.data();
    const int *c0 = c + from[0], *c1 = c + from[1], *c2 = c + from[2], *c3 = c + from[3];
    const double *a0 = a + from[0], *a1 = a + from[1], *a2 = a + from[2], *a3 = a + from[3];
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
#pragma GCC unroll 8
    for (int k = 0; k < kLength; ++k) {
        s0 = s0 + a0[k] * v[c0[k]];
        s1 = s1 + a1[k] * v[c1[k]];
        s2 = s2 + a2[k] * v[c2[k]];
        s3 = s3 + a3[k] * v[c3[k]];
    }
    s[0] = s0;
    s[1] = s1;
    s[2] = s2;
    s[3] = s3;
}

// The same for rows of any lengths, entries from[k] .. to[k]-1: the entries
// all four have run side by side, each row's remaining ones after them
// (each row still adds its own terms in its own order).
void FourSumsOfAnyLength(const CSweepPart& P, const int (&from)[4], const int (&to)[4], const double* v,
                         double (&s)[4]);

// The shape of four rows of P (one byte): the length all four have at
// least (kAnyLength where that is longer than kLongestShape), plus kTails
// where some have more, plus (rows - 1) * kRows, rows being how many of the
// four lanes hold distinct rows.
constexpr int kLongestShape = 8;
constexpr int kAnyLength = 15;
constexpr int kTails = 16;
constexpr int kRows = 32;
unsigned char ShapeOf(const CSweepPart& P, const int* i, int rows);

// The sums of rows i[0..3] of P over v, whose shape (ShapeOf) is given: the
// entries all four have side by side, then each row's remaining ones.
__attribute__((always_inline)) inline void FourRowSums(const CSweepPart& P, const int* i, int shape, const double* v,
                                                       double (&s)[4])
{
    const int* start = P.start.data();
    const int from[4] = {start[i[0]], start[i[1]], start[i[2]], start[i[3]]};
    const int common = shape & kAnyLength;
    switch (common) {
    case 0: s[0] = s[1] = s[2] = s[3] = 0.0; break;
    case 1: FourSums<1>(P, from, v, s); break;
    case 2: FourSums<2>(P, from, v, s); break;
    case 3: FourSums<3>(P, from, v, s); break;
    case 4: FourSums<4>(P, from, v, s); break;
    case 5: FourSums<5>(P, from, v, s); break;
    case 6: FourSums<6>(P, from, v, s); break;
    case 7: FourSums<7>(P, from, v, s); break;
    case 8: FourSums<8>(P, from, v, s); break;
    default: {
        const int to[4] = {start[i[0] + 1], start[i[1] + 1], start[i[2] + 1], start[i[3] + 1]};
        return FourSumsOfAnyLength(P, from, to, v, s);
    }
    }
    if ((shape & kTails) == 0) return;
    const int* c = P.col.data();
    const double* a = P.val.data();
    for (int k = 0; k < 4; ++k) {
        double t = s[k];
        for (int e = from[k] + common, to = start[i[k] + 1]; e < to; ++e) t = t + a[e] * v[c[e]];
        s[k] = t;
    }
}

// finish(i, s) for every row i of groups g0..g1-1, s = row i's sum of
// P over v. The rows of a group (at most four) are independent: their sums
// are formed side by side before any of them finishes (a group of fewer
// rows repeats its last one in the lanes left over, finishing it once).
template <class Finish>
inline void RunGroups(const CSweepPart& P, const CSweepSchedule& S, int g0, int g1, const double* v, Finish&& finish)
{
    const int* order = S.order.data();
    const unsigned char* shape = S.shape.data();
    for (int g = g0; g < g1; ++g) {
        const int* i = order + 4 * g;
        const int sh = shape[g];
        double s[4];
        FourRowSums(P, i, sh, v, s);
        if (sh >= 3 * kRows) {
            finish(i[0], s[0]);
            finish(i[1], s[1]);
            finish(i[2], s[2]);
            finish(i[3], s[3]);
        } else {
            for (int k = 0, rows = sh / kRows + 1; k < rows; ++k) finish(i[k], s[k]);
        }
    }
}

// The lower and upper parts of a triangular sweep pair and their
// schedules (forward ascending, backward descending).
struct CTriangularRows {
    CSweepPart lower, upper;
    CSweepSchedule forward, backward;

    std::size_t Bytes() const { return lower.Bytes() + upper.Bytes() + forward.Bytes() + backward.Bytes(); }
};

// y_i = (r_i - s) * D_i with s the lower part of row i over y, for every
// owned row; r_i = in(i), called once per row in ascending order (a block's
// rows before it runs; y_i holds r_i until row i runs).
template <class In>
void ForwardSweep(const CTriangularRows& T, double* y, const double* D, In&& in)
{
    const CSweepSchedule& S = T.forward;
    for (int b = 0, blocks = S.Blocks(); b < blocks; ++b) {
        for (int i = S.blockFirst[b]; i < S.blockFirst[b + 1]; ++i) y[i] = in(i);
        RunGroups(T.lower, S, S.blockGroup[b], S.blockGroup[b + 1], y,
                  [&](int i, double s) { y[i] = (y[i] - s) * D[i]; });
    }
}

// z_i = y_i - s * D_i with s the upper part of row i over z, for every
// owned row.
inline void BackwardSweep(const CTriangularRows& T, double* z, const double* D, const double* y)
{
    const CSweepSchedule& S = T.backward;
    RunGroups(T.upper, S, 0, S.Groups(), z, [&](int i, double s) { z[i] = y[i] - s * D[i]; });
}

// ---------------------------------------------------------------- derivation

// The lower and upper parts of the owned rows of layout A in the order its
// DILU sums them; the schedules the first time only (Update keeps the
// pattern, and with it the schedules).
template <class Rows>
void DeriveTriangular(CTriangularRows& T, const Rows& A)
{
    const int n = A.n;
    const bool same = T.forward.Derived();
    T.lower.Fill(n, false, same, [&](int i, auto&& f) { A.ForEachLower(i, f); });
    T.upper.Fill(n, false, same, [&](int i, auto&& f) { A.ForEachUpper(i, f); });
    if (same) return;
    T.forward = ScheduleOf(T.lower, n, false);
    T.backward = ScheduleOf(T.upper, n, true);
}

} // namespace detail
} // namespace qvl3d

#endif
