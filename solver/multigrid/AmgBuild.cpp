// The build of the multigrid levels: aggregates, prolongations and Galerkin
// products, each product split into its pattern and its values so that new
// values of the same pattern recompute only the values.
#include "AmgLevel.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

namespace qvl3d {
namespace amg {

namespace {

constexpr int kFree = -2;
constexpr int kLeftOut = -1;

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Whether entry e of row i (an off-diagonal one) is a strong connection.
bool Strong(const CSparse& A, int i, int e, double theta)
{
    const int j = A.col[e];
    return j != i && std::fabs(A.val[e]) > theta * std::sqrt(std::fabs(A.val[A.start[i]] * A.val[A.start[j]]));
}

// A cell whose strong neighbours are all free starts an aggregate of itself
// and them (with reach 2, also their free strong neighbours, in the order
// found); a cell without strong connections is left out.
int RootAggregates(const CSparse& A, double theta, int reach, std::vector<int>& agg)
{
    int count = 0;
    std::vector<int> members;
    for (int i = 1; i <= A.rows; ++i) {
        if (agg[i] != kFree) continue;
        bool any = false, free = true;
        for (int e = A.start[i] + 1; e < A.start[i + 1]; ++e)
            if (Strong(A, i, e, theta)) {
                any = true;
                if (agg[A.col[e]] >= 0) free = false;
            }
        if (!any) agg[i] = kLeftOut;
        if (!any || !free) continue;
        agg[i] = count;
        members.clear();
        for (int e = A.start[i] + 1; e < A.start[i + 1]; ++e)
            if (Strong(A, i, e, theta) && agg[A.col[e]] == kFree) {
                agg[A.col[e]] = count;
                members.push_back(A.col[e]);
            }
        for (size_t m = 0; reach > 1 && m < members.size(); ++m) {
            const int j = members[m];
            for (int e = A.start[j] + 1; e < A.start[j + 1]; ++e)
                if (Strong(A, j, e, theta) && agg[A.col[e]] == kFree) agg[A.col[e]] = count;
        }
        ++count;
    }
    return count;
}

// Puts the m distinct columns c[0..m-1] (lo..hi, each marked mark[c] ==
// row, `skip` aside: 0 or a column marked but not among them) in ascending
// order: by a walk over the marks of lo..hi where that range is short
// against m, else by insertion (the rows come nearly ascending).
void SortMarked(int* c, int m, int lo, int hi, const int* mark, int row, int skip)
{
    if (m < 2) return;
    if (hi - lo < 3 * m) {
        int k = 0;
        for (int j = lo; j <= hi; ++j)
            if (mark[j] == row && j != skip) c[k++] = j;
        return;
    }
    for (int k = 1; k < m; ++k) {
        const int v = c[k];
        int at = k;
        for (; at > 0 && c[at - 1] > v; --at) c[at] = c[at - 1];
        c[at] = v;
    }
}

} // namespace

void SortByColumn(CSparse& A, size_t first)
{
    std::vector<std::pair<int, double>> row;
    for (size_t e = first; e < A.col.size(); ++e) row.emplace_back(A.col[e], A.val[e]);
    std::stable_sort(row.begin(), row.end(), [](const auto& p, const auto& q) { return p.first < q.first; });
    for (size_t e = first; e < A.col.size(); ++e) {
        A.col[e] = row[e - first].first;
        A.val[e] = row[e - first].second;
    }
}

int Aggregate(const CSparse& A, double theta, int reach, std::vector<int>& agg)
{
    agg.assign(static_cast<size_t>(A.rows) + 1, kFree);
    agg[0] = kLeftOut;
    int count = RootAggregates(A, theta, reach, agg);
    // A free cell joins the root aggregate it is most strongly tied to (the
    // first of equal ties, in the row's order).
    const std::vector<int> roots = agg;
    for (int i = 1; i <= A.rows; ++i) {
        if (agg[i] != kFree) continue;
        double best = -1.0;
        for (int e = A.start[i] + 1; e < A.start[i + 1]; ++e)
            if (Strong(A, i, e, theta) && roots[A.col[e]] >= 0 && std::fabs(A.val[e]) > best) {
                best = std::fabs(A.val[e]);
                agg[i] = roots[A.col[e]];
            }
    }
    // What is still free starts aggregates of its own free strong neighbours.
    for (int i = 1; i <= A.rows; ++i) {
        if (agg[i] != kFree) continue;
        agg[i] = count;
        for (int e = A.start[i] + 1; e < A.start[i + 1]; ++e)
            if (Strong(A, i, e, theta) && agg[A.col[e]] == kFree) agg[A.col[e]] = count;
        ++count;
    }
    return count;
}

// The pattern of P: the tentative one has (i, aggregate of i) for each
// aggregated row; the smoothed one the aggregates of row i's columns, the
// diagonal's included, ascending.
CSparse ProlongatorPattern(const CSparse& A, const std::vector<int>& agg, int coarse, bool smoothed)
{
    CSparse P;
    P.rows = A.rows;
    P.cols = coarse;
    P.start.assign(static_cast<size_t>(A.rows) + 2, 0);
    P.col.reserve(static_cast<size_t>(A.rows)); // the tentative P's entries at most
    std::vector<int> seen(static_cast<size_t>(coarse) + 1, 0);
    for (int i = 1; i <= A.rows; ++i) {
        const size_t from = P.col.size();
        int lo = coarse + 1, hi = 0;
        for (int e = A.start[i]; e < A.start[i + 1]; ++e) {
            const int k = A.col[e];
            if ((smoothed || k == i) && agg[k] >= 0 && seen[agg[k] + 1] != i) {
                const int c = agg[k] + 1;
                seen[c] = i;
                P.col.push_back(c);
                lo = std::min(lo, c);
                hi = std::max(hi, c);
            }
        }
        SortMarked(P.col.data() + from, static_cast<int>(P.col.size() - from), lo, hi, seen.data(), i, 0);
        P.start[i + 1] = static_cast<int>(P.col.size());
    }
    P.val.assign(P.col.size(), 0.0);
    return P;
}

double GershgorinBound(const CSparse& A)
{
    double bound = 0.0;
    for (int i = 1; i <= A.rows; ++i) {
        double s = 0.0;
        for (int e = A.start[i]; e < A.start[i + 1]; ++e) s = s + std::fabs(A.val[e]);
        const double d = std::fabs(A.val[A.start[i]]);
        if (d > 0.0) bound = std::max(bound, s / d);
    }
    return bound;
}

// The values of P on its pattern: 1 at (i, aggregate of i) less, when
// smoothed, omega / a_ii times a_ik at the aggregate of each k of row i, in
// the row's order. omega is 4/3 over the largest row sum of |a_ik| / |a_ii|.
void ProlongatorValues(const CSparse& A, const std::vector<int>& agg, bool smoothed, CSparse& P,
                       std::vector<int>& position)
{
    ProlongatorValues(A, agg, smoothed, smoothed ? GershgorinBound(A) : 0.0, P, position);
}

// The same with the bound given (a distributed level's: the largest of all
// partitions').
void ProlongatorValues(const CSparse& A, const std::vector<int>& agg, bool smoothed, double bound, CSparse& P,
                       std::vector<int>& position)
{
    const double omega = bound > 0.0 ? (4.0 / 3.0) / bound : 0.0;
    position.assign(static_cast<size_t>(P.cols) + 1, -1);
    for (int i = 1; i <= A.rows; ++i) {
        for (int e = P.start[i]; e < P.start[i + 1]; ++e) {
            position[P.col[e]] = e;
            P.val[e] = 0.0;
        }
        if (agg[i] >= 0) P.val[position[agg[i] + 1]] = 1.0;
        const double d = A.val[A.start[i]];
        const double w = smoothed && d != 0.0 ? omega / d : 0.0;
        if (w == 0.0) continue;
        for (int e = A.start[i]; e < A.start[i + 1]; ++e) {
            const int k = A.col[e];
            if (agg[k] >= 0) P.val[position[agg[k] + 1]] = P.val[position[agg[k] + 1]] - w * A.val[e];
        }
    }
}

CSparse Prolongator(const CSparse& A, const std::vector<int>& agg, int coarse, bool smoothed)
{
    CSparse P = ProlongatorPattern(A, agg, coarse, smoothed);
    std::vector<int> position;
    ProlongatorValues(A, agg, smoothed, P, position);
    return P;
}

// The pattern of C = A B: each row's columns ascending, or for a level
// operator (square, diagonalFirst) the diagonal first and the others
// ascending; the diagonal is kept even where the product has none. Each
// row's columns are marked (seen[c] = i) and appended as found, then put in
// order in place.
void ProductPattern(const CSparse& A, const CSparse& B, CSparse& C, bool diagonalFirst)
{
    C.rows = A.rows;
    C.cols = B.cols;
    C.start.assign(static_cast<size_t>(A.rows) + 2, 0);
    C.col.clear();
    std::vector<int> seen(static_cast<size_t>(B.cols) + 1, 0);
    const int *aStart = A.start.data(), *aCol = A.col.data(), *bStart = B.start.data(), *bCol = B.col.data();
    int* mark = seen.data();
    for (int i = 1; i <= A.rows; ++i) {
        if (diagonalFirst) {
            mark[i] = i;
            C.col.push_back(i);
        }
        const size_t from = C.col.size();
        int lo = B.cols + 1, hi = 0;
        for (int e = aStart[i]; e < aStart[i + 1]; ++e) {
            const int k = aCol[e];
            for (int f = bStart[k]; f < bStart[k + 1]; ++f) {
                const int c = bCol[f];
                if (mark[c] == i) continue;
                mark[c] = i;
                C.col.push_back(c);
                lo = std::min(lo, c);
                hi = std::max(hi, c);
            }
        }
        SortMarked(C.col.data() + from, static_cast<int>(C.col.size() - from), lo, hi, mark, i, diagonalFirst ? i : 0);
        C.start[i + 1] = static_cast<int>(C.col.size());
    }
    C.val.assign(C.col.size(), 0.0);
}

// The values of C = A B on its pattern: c_ij = sum of a_ik * b_kj from 0.0,
// k in the storage order of row i of A, j's terms in that of row k of B.
// Each row is summed in `sum` (one place per column of B, 0.0 between the
// rows: every place a row touches is in its pattern, read and cleared).
void ProductValues(const CSparse& A, const CSparse& B, CSparse& C, std::vector<double>& sum)
{
    if (sum.size() < static_cast<size_t>(B.cols) + 1) sum.assign(static_cast<size_t>(B.cols) + 1, 0.0);
    const int *aStart = A.start.data(), *aCol = A.col.data(), *bStart = B.start.data(), *bCol = B.col.data();
    const int *cStart = C.start.data(), *cCol = C.col.data();
    const double *aVal = A.val.data(), *bVal = B.val.data();
    double *s = sum.data(), *c = C.val.data();
    for (int i = 1; i <= A.rows; ++i) {
        for (int e = aStart[i]; e < aStart[i + 1]; ++e) {
            const int k = aCol[e];
            const double a = aVal[e];
            for (int f = bStart[k]; f < bStart[k + 1]; ++f) s[bCol[f]] = s[bCol[f]] + a * bVal[f];
        }
        for (int e = cStart[i]; e < cStart[i + 1]; ++e) {
            c[e] = s[cCol[e]];
            s[cCol[e]] = 0.0;
        }
    }
}

// The pattern of P^T, rows' columns ascending, and for each of its entries
// the entry of P it takes its value from.
void TransposePattern(const CSparse& P, CSparse& T, std::vector<int>& source)
{
    T.rows = P.cols;
    T.cols = P.rows;
    T.start.assign(static_cast<size_t>(P.cols) + 2, 0);
    for (int c : P.col) ++T.start[c + 1];
    for (int I = 1; I <= T.rows; ++I) T.start[I + 1] += T.start[I];
    std::vector<int> fill(T.start.begin(), T.start.end() - 1);
    T.col.assign(P.col.size(), 0);
    source.assign(P.col.size(), 0);
    for (int i = 1; i <= P.rows; ++i)
        for (int e = P.start[i]; e < P.start[i + 1]; ++e) {
            const int at = fill[P.col[e]]++;
            T.col[at] = i;
            source[at] = e;
        }
    T.val.assign(T.col.size(), 0.0);
}

CSparse Galerkin(const CSparse& A, const CSparse& P)
{
    CSparse AP, T, C;
    std::vector<int> source;
    std::vector<double> sum;
    ProductPattern(A, P, AP, false);
    ProductValues(A, P, AP, sum);
    TransposePattern(P, T, source);
    for (size_t e = 0; e < source.size(); ++e) T.val[e] = P.val[source[e]];
    ProductPattern(T, AP, C, true);
    ProductValues(T, AP, C, sum);
    return C;
}

CAmgHierarchy::CAmgHierarchy(CSparse A, CAmgSettings settings) : m_settings(settings)
{
    const auto t0 = std::chrono::steady_clock::now();
    m_levels.emplace_back();
    m_levels[0].A = std::move(A);
    BuildFrom(0);
    m_setupSeconds = Seconds(t0);
}

CAmgHierarchy::~CAmgHierarchy() = default;

// Levels first.. built anew: aggregates, P, the coarse operators, the
// smoothers and the last level's factors.
void CAmgHierarchy::BuildFrom(int first)
{
    m_levels.resize(static_cast<size_t>(first) + 1);
    m_levels[first].mapped = false; // a new pattern
    double theta = m_settings.theta * std::pow(m_settings.thetaDecay, first);
    for (int l = first;; ++l, theta *= m_settings.thetaDecay) {
        const int n = m_levels[l].A.rows;
        if (n <= m_settings.coarsestRows || l + 1 == kMaxLevels) break;
        CLevel& L = m_levels[l];
        const int coarse = Aggregate(L.A, theta, l == 0 ? m_settings.firstReach : 1, L.aggregate);
        if (coarse == 0 || static_cast<std::int64_t>(coarse) * 6 > static_cast<std::int64_t>(n) * 5) {
            L.aggregate.clear();
            break;
        }
        CLevel next;
        Link(L, coarse, m_settings.smoothed, next.A);
        // A smoothed P that would make the coarse operator denser than this
        // level's (weak coarsening) gives way to the tentative one here.
        if (L.smoothed && next.A.NonZeros() > L.A.NonZeros()) Link(L, coarse, false, next.A);
        m_levels.push_back(std::move(next));
        Refresh(l); // the next level's values, which its aggregates are built from
    }
    Refresh(Levels() - 1);
    Factorise();
}

// The patterns of L's P, A P, P^T and of the next level's operator.
void CAmgHierarchy::Link(CLevel& L, int coarse, bool smoothed, CSparse& next)
{
    L.smoothed = smoothed;
    L.mapped = false;
    L.P = ProlongatorPattern(L.A, L.aggregate, coarse, smoothed);
    ProductPattern(L.A, L.P, L.AP, false);
    TransposePattern(L.P, L.PT, L.source);
    ProductPattern(L.PT, L.AP, next, true);
}

// The values of level l's P and of level l+1's operator from level l's
// operator, and level l's smoother.
void CAmgHierarchy::Refresh(int l)
{
    CLevel& L = m_levels[l];
    const bool fresh = !L.mapped;
    L.Prepare();
    L.mapped = true;
    if (l + 1 == Levels()) return;
    if (fresh)
        ProlongatorValuesMapped(L.A, L.aggregate, L.smoothed, L.P, L.pMap, m_position);
    else
        ProlongatorValuesFrom(L.A, L.pMap, L.P);
    ProductValues(L.A, L.P, L.AP, L.sum);
    for (size_t e = 0; e < L.source.size(); ++e) L.PT.val[e] = L.P.val[L.source[e]];
    ProductValues(L.PT, L.AP, m_levels[l + 1].A, L.sum);
}

bool CAmgHierarchy::Update(CSparse A)
{
    const auto t0 = std::chrono::steady_clock::now();
    CSparse& fine = m_levels[0].A;
    const bool same = A.rows == fine.rows && A.start == fine.start && A.col == fine.col;
    if (same) {
        fine.val = std::move(A.val);
        for (int l = 0; l < Levels(); ++l) Refresh(l);
        Factorise();
    } else {
        fine = std::move(A);
        BuildFrom(0);
    }
    m_setupSeconds = Seconds(t0);
    m_fromUpdate = same;
    return same;
}

int CAmgHierarchy::Levels() const
{
    return static_cast<int>(m_levels.size());
}

const CSparse& CAmgHierarchy::Operator(int level) const
{
    return m_levels.at(static_cast<size_t>(level)).A;
}

const CSparse& CAmgHierarchy::Prolongation(int level) const
{
    return m_levels.at(static_cast<size_t>(level)).P;
}

const std::vector<int>& CAmgHierarchy::Aggregates(int level) const
{
    return m_levels.at(static_cast<size_t>(level)).aggregate;
}

CAmgShape CAmgHierarchy::Shape() const
{
    CAmgShape s;
    double rows = 0.0, entries = 0.0;
    for (const CLevel& L : m_levels) {
        s.rows.push_back(L.A.rows);
        s.nonZeros.push_back(L.A.NonZeros());
        rows += L.A.rows;
        entries += static_cast<double>(L.A.NonZeros());
    }
    s.gridComplexity = s.rows[0] > 0 ? rows / s.rows[0] : 1.0;
    s.operatorComplexity = s.nonZeros[0] > 0 ? entries / static_cast<double>(s.nonZeros[0]) : 1.0;
    s.setupSeconds = m_setupSeconds;
    s.fromUpdate = m_fromUpdate;
    return s;
}

} // namespace amg
} // namespace qvl3d
