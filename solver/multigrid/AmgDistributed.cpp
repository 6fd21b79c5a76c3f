// The build of the distributed multigrid levels: aggregates, the
// prolongation with the halo cells' rows, the Galerkin product summed by
// the owners of the coarse rows, the coarse levels made distributed systems
// of their own, the gathered last levels.
#include "AmgDistributed.h"

#include "AmgLevel.h"
#include "detail/Preconditioner.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace qvl3d {

CMultigridServices::~CMultigridServices() = default;

namespace amg {

namespace {

using Id = std::int64_t;

// The coarse level's own: its rows with global columns as assembled (for
// Update to see whether the pattern stayed), its local numbering and
// transports, and per entry of its operator the assembled entry.
struct CCoarseSystem {
    CLevelRows rows;
    CLevelPartition part;
    std::vector<int> order;
};

// The owned block of A (columns 1..rows), diagonal first, for aggregation.
CSparse OwnedBlock(const CSparse& A)
{
    return LevelFrom(
        A.rows, [&](int i) { return A.val[A.start[i]]; },
        [&](int i, auto&& f) {
            for (int e = A.start[i] + 1; e < A.start[i + 1]; ++e) f(A.col[e], A.val[e]);
        });
}

// Index (0-based) of id in the ascending ids.
int IndexOf(const std::vector<Id>& ids, Id id)
{
    return static_cast<int>(std::lower_bound(ids.begin(), ids.end(), id) - ids.begin());
}

// The owner of a global id under the offsets of the partitions' ranges.
int OwnerOf(const std::vector<Id>& offsets, Id id)
{
    return static_cast<int>(std::upper_bound(offsets.begin(), offsets.end(), id) - offsets.begin()) - 1;
}

bool SamePattern(const CLevelRows& a, const CLevelRows& b)
{
    return a.rowStart == b.rowStart && a.columns == b.columns;
}

// The operator of a coarse level from its assembled rows in the local
// numbering: each row its diagonal first (as assembled), the others by
// local column; order[e] is the assembled entry of entry e.
CSparse CoarseOperator(const CLevelRows& rows, const CLevelPartition& part, std::vector<int>& order)
{
    const int n = static_cast<int>(rows.Rows());
    CSparse A;
    A.rows = n;
    A.cols = n + static_cast<int>(part.haloCells);
    A.start.assign(static_cast<size_t>(n) + 2, 0);
    order.clear();
    std::vector<std::pair<int, int>> row; // (local column, assembled entry)
    for (int k = 0; k < n; ++k) {
        const int b = static_cast<int>(rows.rowStart[static_cast<size_t>(k)]);
        const int e1 = static_cast<int>(rows.rowStart[static_cast<size_t>(k) + 1]);
        row.clear();
        for (int e = b + 1; e < e1; ++e) row.emplace_back(part.columns[static_cast<size_t>(e)] + 1, e);
        std::sort(row.begin(), row.end());
        A.col.push_back(part.columns[static_cast<size_t>(b)] + 1);
        order.push_back(b);
        for (const auto& [c, e] : row) {
            A.col.push_back(c);
            order.push_back(e);
        }
        A.start[static_cast<size_t>(k) + 2] = static_cast<int>(A.col.size());
    }
    A.val.resize(order.size());
    for (size_t e = 0; e < order.size(); ++e) A.val[e] = rows.values[static_cast<size_t>(order[e])];
    return A;
}

// The rows of all partitions as one level operator, global id g in row g+1.
CSparse GatheredOperator(const CLevelRows& all)
{
    CSparse A;
    A.rows = A.cols = static_cast<int>(all.Rows());
    A.start.assign(static_cast<size_t>(A.rows) + 2, 0);
    for (int k = 0; k <= A.rows; ++k) A.start[static_cast<size_t>(k) + 1] = static_cast<int>(all.rowStart[k]);
    A.col.resize(all.columns.size());
    for (size_t e = 0; e < A.col.size(); ++e) A.col[e] = static_cast<int>(all.columns[e]) + 1;
    A.val = all.values;
    return A;
}

// The rows of the halo cells n+1.. of full (its owned rows set) from the entries received, in their order;
// columns as indices into ids.
void HaloRows(const std::vector<CLevelEntry>& got, const std::vector<Id>& ids, int n, CSparse& full)
{
    const int nT = full.rows;
    std::vector<int> count(static_cast<size_t>(nT) + 2, 0);
    for (const CLevelEntry& t : got) ++count[static_cast<size_t>(t.row)];
    for (int c = n + 1; c <= nT; ++c)
        full.start[static_cast<size_t>(c) + 1] = full.start[static_cast<size_t>(c)] + count[static_cast<size_t>(c)];
    full.col.resize(static_cast<size_t>(full.start[static_cast<size_t>(nT) + 1]));
    full.val.resize(full.col.size());
    std::vector<int> fill(full.start.begin(), full.start.end() - 1);
    for (const CLevelEntry& t : got) {
        const int at = fill[static_cast<size_t>(t.row)]++;
        full.col[static_cast<size_t>(at)] = IndexOf(ids, t.column) + 1;
        full.val[static_cast<size_t>(at)] = t.value;
    }
}

// rows with every column of cols outside lo..hi-1 that no row names added
// to the first row as a stored 0.0 (so that it is in the level's halo),
// that row's columns kept ascending after its diagonal.
CLevelRows WithColumns(CLevelRows rows, const std::vector<Id>& cols, Id lo, Id hi)
{
    std::vector<Id> missing;
    for (Id c : cols)
        if (c < lo || c >= hi) missing.push_back(c);
    std::sort(missing.begin(), missing.end());
    missing.erase(std::unique(missing.begin(), missing.end()), missing.end());
    std::vector<Id> named(rows.columns);
    std::sort(named.begin(), named.end());
    std::vector<Id> extra;
    std::set_difference(missing.begin(), missing.end(), named.begin(), named.end(), std::back_inserter(extra));
    if (extra.empty()) return rows;
    if (rows.Rows() == 0)
        throw std::logic_error("qvl3d::amg::CDistributedAmg: P names coarse cells of a partition "
                               "without coarse rows");
    const size_t end0 = static_cast<size_t>(rows.rowStart[1]);
    std::vector<std::pair<Id, double>> first;
    for (size_t e = 1; e < end0; ++e) first.emplace_back(rows.columns[e], rows.values[e]);
    for (Id c : extra) first.emplace_back(c, 0.0);
    std::sort(first.begin(), first.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    CLevelRows out;
    out.columns.push_back(rows.columns[0]);
    out.values.push_back(rows.values[0]);
    for (const auto& [c, v] : first) {
        out.columns.push_back(c);
        out.values.push_back(v);
    }
    out.columns.insert(out.columns.end(), rows.columns.begin() + static_cast<std::ptrdiff_t>(end0), rows.columns.end());
    out.values.insert(out.values.end(), rows.values.begin() + static_cast<std::ptrdiff_t>(end0), rows.values.end());
    const Id shift = static_cast<Id>(extra.size());
    out.rowStart.assign(rows.rowStart.begin(), rows.rowStart.end());
    for (size_t k = 1; k < out.rowStart.size(); ++k) out.rowStart[k] += shift;
    return out;
}

// What a level's build forms on the way to the next level, kept so that
// Update with the same pattern forms values only: the aggregates of the
// cells seen (owned and halo) as indices into seen; P on the owned rows
// (columns into seen) and on all cells (full, columns into ids); A P, P^T
// (tSource: per entry, its entry of full) and their product C; the order
// of the sums of the contributions received (order, slot) and the pattern
// of the owned coarse rows they make.
struct CProducts {
    std::vector<int> agg;
    std::vector<Id> seen, ids;
    CSparse own, full, AP, T, C;
    std::vector<int> tSource, order, slot;
    CLevelRows rows;
};

} // namespace

struct CDistributedAmg::CLevel {
    CSparse A; // owned rows 1..n, columns 1..nTotal
    int nTotal = 0;
    Id globalRows = 0, globalEntries = 0;
    CHaloTransport* halo = nullptr;
    std::unique_ptr<CCoarseSystem> own; // a coarse level's system (the fine one has none)
    // The halo cells' owners, and per partition the owned cells it holds as
    // halo cells, each with its cell number there; set once per level.
    bool routed = false;
    std::vector<int> haloOwner;
    std::vector<std::vector<std::pair<int, int>>> sendRows;
    // To the next level.
    std::vector<int> aggregate; // per owned row, 0-based; empty: the last level
    int coarse = 0;
    std::vector<Id> offsets; // the next level's ranges
    bool smoothed = true, gather = false;
    CSparse P, PT;           // P: owned rows, columns the next level's cells
    std::vector<int> source; // per entry of P^T, its entry of P
    std::vector<Id> pIds;    // per column of P, its global id
    CProducts products;      // kept for Update
    std::vector<double> dilu, x, b, r, z, work;

    detail::CCsrRows Rows() const { return {A.rows, A.val.data(), A.col.data(), A.start.data(), 0}; }
    void Exchange(double* v) const
    {
        if (halo != nullptr) halo->Exchange(v);
    }
    void Prepare()
    {
        const size_t size = static_cast<size_t>(nTotal) + 1;
        for (std::vector<double>* v : {&dilu, &x, &b, &r, &z, &work}) v->assign(size, 0.0);
        detail::BuildDilu(Rows(), dilu.data());
    }
};

CDistributedAmg::CDistributedAmg(CSparse A, CAmgPartition part, CAmgSettings settings)
    : m_settings(settings), m_part(std::move(part))
{
    if (!m_part.services || m_part.sum == nullptr || !m_part.maximum)
        throw std::invalid_argument("qvl3d::amg::CDistributedAmg: the partition has no multigrid services, sum or "
                                    "maximum");
    const auto t0 = std::chrono::steady_clock::now();
    m_levels.push_back(std::make_unique<CLevel>());
    CLevel& F = *m_levels[0];
    F.A = std::move(A);
    F.nTotal = m_part.nTotal;
    F.halo = m_part.halo;
    F.globalRows = m_part.services->Offsets(F.A.rows).back();
    F.globalEntries = SumOver(F.A.NonZeros());
    BuildFrom(false);
    m_setupSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

CDistributedAmg::~CDistributedAmg() = default;

bool CDistributedAmg::Update(CSparse A)
{
    const auto t0 = std::chrono::steady_clock::now();
    CLevel& F = *m_levels[0];
    const bool same = A.rows == F.A.rows && A.start == F.A.start && A.col == F.A.col;
    // Collective: every partition keeps its levels, or none does.
    const bool keep = -m_part.maximum(same ? -1.0 : 0.0) == 1.0;
    if (keep) {
        F.A.val = std::move(A.val);
    } else {
        F.A = std::move(A);
        F.globalEntries = SumOver(F.A.NonZeros());
        m_levels.resize(1);
        F.aggregate.clear();
        m_gathered.reset();
    }
    BuildFrom(keep);
    m_setupSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    m_fromUpdate = keep;
    return keep;
}

Id CDistributedAmg::SumOver(Id count)
{
    double v = static_cast<double>(count); // exact: counts stay far below 2^53
    m_part.sum->SumEach(&v, 1);
    return static_cast<Id>(v);
}

// The levels from the first: aggregates (kept or made), prolongations,
// coarse operators, smoothers.
void CDistributedAmg::BuildFrom(bool keep)
{
    double theta = m_settings.theta;
    for (int l = 0;; ++l, theta *= m_settings.thetaDecay) {
        CLevel& L = *m_levels[static_cast<size_t>(l)];
        L.Prepare();
        if (!L.routed) Route(L);
        if (keep ? L.aggregate.empty() : !Coarsen(l, theta)) {
            m_levels.resize(static_cast<size_t>(l) + 1);
            m_gathered.reset();
            return;
        }
        Descend(l, theta, keep, Link(l, keep));
        if (L.gather) return;
    }
}

// Level l's aggregates and the next level's ranges, or false where level l
// is the last: too small, nothing aggregated, a partition with rows but no
// aggregate, too little shrinking, or the level limit.
bool CDistributedAmg::Coarsen(int l, double theta)
{
    CLevel& L = *m_levels[static_cast<size_t>(l)];
    const int n = L.A.rows;
    const int count = Aggregate(OwnedBlock(L.A), theta, l == 0 ? m_settings.firstReach : 1, L.aggregate);
    const std::vector<Id> offsets = m_part.services->Offsets(count);
    const Id N = offsets.back();
    const bool stuck = m_part.maximum(n > 0 && count == 0 ? 1.0 : 0.0) > 0.0;
    if (L.globalRows <= m_settings.coarsestRows || N == 0 || stuck || N * 6 > L.globalRows * 5 || l + 1 == kMaxLevels) {
        L.aggregate.clear();
        return false;
    }
    L.coarse = count;
    L.offsets = offsets;
    L.gather = N <= static_cast<Id>(kGatherRowsPerRank) * m_part.services->Partitions() || l + 2 >= kMaxLevels;
    L.smoothed = m_settings.smoothed;
    return true;
}

// Level l's P (smoothed, unless that makes the next level denser than this
// one: then the tentative one) and the next level's rows this partition
// owns, with global columns.
CLevelRows CDistributedAmg::Link(int l, bool keep)
{
    CLevel& L = *m_levels[static_cast<size_t>(l)];
    for (;;) {
        Prolongate(L, L.smoothed, keep);
        CLevelRows rows = Assemble(L, keep);
        if (!keep && L.smoothed && SumOver(static_cast<Id>(rows.columns.size())) > L.globalEntries) {
            L.smoothed = false;
            continue;
        }
        // P: the owned rows of full, its columns as global ids for now.
        const CSparse& full = L.products.full;
        const int n = L.A.rows;
        L.P = CSparse();
        L.P.rows = n;
        L.P.start.assign(full.start.begin(), full.start.begin() + n + 2);
        L.P.col.assign(full.col.begin(), full.col.begin() + full.start[static_cast<size_t>(n) + 1]);
        L.P.val.assign(full.val.begin(), full.val.begin() + full.start[static_cast<size_t>(n) + 1]);
        L.pIds.resize(L.P.col.size());
        for (size_t e = 0; e < L.P.col.size(); ++e) L.pIds[e] = L.products.ids[static_cast<size_t>(L.P.col[e]) - 1];
        return rows;
    }
}

// Which partition owns each halo cell and which owned cells each partition
// holds as halo cells (one exchange of the owners' numbers and cells, one
// all-to-all of the requests).
void CDistributedAmg::Route(CLevel& L)
{
    const int n = L.A.rows, P = m_part.services->Partitions(), me = m_part.services->Partition();
    std::vector<double> owner(static_cast<size_t>(L.nTotal) + 1, -1.0), cell(owner);
    for (int i = 1; i <= n; ++i) {
        owner[static_cast<size_t>(i)] = me;
        cell[static_cast<size_t>(i)] = i;
    }
    L.Exchange(owner.data());
    L.Exchange(cell.data());
    std::vector<std::vector<CLevelEntry>> ask(static_cast<size_t>(P));
    L.haloOwner.assign(static_cast<size_t>(L.nTotal - n), -1);
    for (int c = n + 1; c <= L.nTotal; ++c) {
        const int q = static_cast<int>(owner[static_cast<size_t>(c)]);
        if (q < 0 || q >= P) throw std::logic_error("qvl3d::amg::CDistributedAmg: a halo cell has no owner");
        L.haloOwner[static_cast<size_t>(c - n - 1)] = q;
        ask[static_cast<size_t>(q)].push_back({static_cast<Id>(cell[static_cast<size_t>(c)]), c, 0.0});
    }
    std::vector<int> from;
    const std::vector<CLevelEntry> asked = m_part.services->AllToAll(ask, from);
    L.sendRows.assign(static_cast<size_t>(P), {});
    for (size_t k = 0; k < asked.size(); ++k)
        L.sendRows[static_cast<size_t>(from[k])].emplace_back(static_cast<int>(asked[k].row),
                                                              static_cast<int>(asked[k].column));
    L.routed = true;
}

// P on level L's cells, owned and halo (K.full, rows 1..nTotal; the halo
// rows are their owners' rows, fetched), its columns indices into K.ids,
// the coarse global ids it names, ascending. keep: the patterns are those
// of the last build, only the values are formed.
void CDistributedAmg::Prolongate(CLevel& L, bool smoothed, bool keep)
{
    CProducts& K = L.products;
    const int n = L.A.rows, nT = L.nTotal;
    if (!keep) ProlongatorShape(L, smoothed);
    const double bound = m_part.maximum(smoothed ? GershgorinBound(L.A) : 0.0);
    ProlongatorValues(L.A, K.agg, smoothed, bound, K.own, m_position);

    // The rows of the halo cells from their owners, in the order asked.
    std::vector<std::vector<CLevelEntry>> send(L.sendRows.size());
    for (size_t q = 0; q < L.sendRows.size(); ++q)
        for (const auto& [i, there] : L.sendRows[q])
            for (int e = K.own.start[static_cast<size_t>(i)]; e < K.own.start[static_cast<size_t>(i) + 1]; ++e)
                send[q].push_back({there, K.seen[static_cast<size_t>(K.own.col[e]) - 1], K.own.val[e]});
    std::vector<int> from;
    const std::vector<CLevelEntry> got = m_part.services->AllToAll(send, from);
    if (keep) { // the values into the places of the last build
        std::copy(K.own.val.begin(), K.own.val.end(), K.full.val.begin());
        std::vector<int> fill(K.full.start.begin(), K.full.start.end() - 1);
        for (const CLevelEntry& t : got) K.full.val[static_cast<size_t>(fill[static_cast<size_t>(t.row)]++)] = t.value;
        return;
    }
    K.ids = K.seen;
    for (const CLevelEntry& t : got) K.ids.push_back(t.column);
    std::sort(K.ids.begin(), K.ids.end());
    K.ids.erase(std::unique(K.ids.begin(), K.ids.end()), K.ids.end());
    CSparse& full = K.full;
    full = CSparse();
    full.rows = nT;
    full.cols = static_cast<int>(K.ids.size());
    full.start.assign(static_cast<size_t>(nT) + 2, 0);
    for (int i = 1; i <= n; ++i) {
        for (int e = K.own.start[static_cast<size_t>(i)]; e < K.own.start[static_cast<size_t>(i) + 1]; ++e) {
            full.col.push_back(IndexOf(K.ids, K.seen[static_cast<size_t>(K.own.col[e]) - 1]) + 1);
            full.val.push_back(K.own.val[e]);
        }
        full.start[static_cast<size_t>(i) + 1] = static_cast<int>(full.col.size());
    }
    HaloRows(got, K.ids, n, full);
}

// The aggregates of level L's cells, owned and halo (one exchange), as
// indices into K.seen, the coarse global ids they name, ascending; the
// pattern of P on the owned rows.
void CDistributedAmg::ProlongatorShape(CLevel& L, bool smoothed)
{
    CProducts& K = L.products;
    const int n = L.A.rows, nT = L.nTotal, me = m_part.services->Partition();
    std::vector<double> g(static_cast<size_t>(nT) + 1, -1.0); // each cell's aggregate's global id
    for (int i = 1; i <= n; ++i)
        if (L.aggregate[static_cast<size_t>(i)] >= 0)
            g[static_cast<size_t>(i)] =
                static_cast<double>(L.offsets[static_cast<size_t>(me)] + L.aggregate[static_cast<size_t>(i)]);
    L.Exchange(g.data());
    K.seen.clear();
    for (int c = 1; c <= nT; ++c)
        if (g[static_cast<size_t>(c)] >= 0.0) K.seen.push_back(static_cast<Id>(g[static_cast<size_t>(c)]));
    std::sort(K.seen.begin(), K.seen.end());
    K.seen.erase(std::unique(K.seen.begin(), K.seen.end()), K.seen.end());
    K.agg.assign(static_cast<size_t>(nT) + 1, -1);
    for (int c = 1; c <= nT; ++c)
        if (g[static_cast<size_t>(c)] >= 0.0)
            K.agg[static_cast<size_t>(c)] = IndexOf(K.seen, static_cast<Id>(g[static_cast<size_t>(c)]));
    K.own = ProlongatorPattern(L.A, K.agg, static_cast<int>(K.seen.size()), smoothed);
}

// The next level's rows this partition owns, with global columns: the part
// of P^T A P from the owned fine rows (K.full: P on the owned and halo
// cells), its rows sent to their owners, each owner's entries summed in the
// order of the senders, each row its diagonal first (0.0 where the product
// has none), the others by ascending column. keep: the patterns and the
// order of the sums are those of the last build.
CLevelRows CDistributedAmg::Assemble(CLevel& L, bool keep)
{
    CProducts& K = L.products;
    const int n = L.A.rows, P = m_part.services->Partitions();
    if (!keep) {
        CSparse own; // the owned rows of full: its first entries
        own.rows = n;
        own.cols = K.full.cols;
        own.start.assign(K.full.start.begin(), K.full.start.begin() + n + 2);
        own.col.assign(K.full.col.begin(), K.full.col.begin() + K.full.start[static_cast<size_t>(n) + 1]);
        ProductPattern(L.A, K.full, K.AP, false);
        TransposePattern(own, K.T, K.tSource);
        ProductPattern(K.T, K.AP, K.C, false);
    }
    ProductValues(L.A, K.full, K.AP, m_sum);
    for (size_t e = 0; e < K.tSource.size(); ++e) K.T.val[e] = K.full.val[static_cast<size_t>(K.tSource[e])];
    ProductValues(K.T, K.AP, K.C, m_sum);

    const CSparse& C = K.C;
    std::vector<std::vector<CLevelEntry>> send(static_cast<size_t>(P));
    for (int I = 1; I <= C.rows; ++I) {
        const Id gI = K.ids[static_cast<size_t>(I) - 1];
        std::vector<CLevelEntry>& to = send[static_cast<size_t>(OwnerOf(L.offsets, gI))];
        for (int e = C.start[static_cast<size_t>(I)]; e < C.start[static_cast<size_t>(I) + 1]; ++e)
            to.push_back({gI, K.ids[static_cast<size_t>(C.col[e]) - 1], C.val[e]});
    }
    std::vector<int> from;
    const std::vector<CLevelEntry> got = m_part.services->AllToAll(send, from);
    if (!keep) SumOrder(L, got);
    CLevelRows rows = K.rows;
    rows.values.assign(rows.columns.size(), 0.0);
    for (size_t k = 0; k < K.order.size(); ++k) {
        double& v = rows.values[static_cast<size_t>(K.slot[k])];
        v = v + got[static_cast<size_t>(K.order[k])].value;
    }
    return rows;
}

// The pattern of the owned coarse rows from the contributions received
// (by sender, each sender's in its order), and the order of the sums: a
// stable sort by (row, column) leaves the terms of one entry in the
// senders' order; slot[k] is the entry the k-th term in that order adds to.
void CDistributedAmg::SumOrder(CLevel& L, const std::vector<CLevelEntry>& got)
{
    CProducts& K = L.products;
    K.order.resize(got.size());
    for (size_t k = 0; k < got.size(); ++k) K.order[k] = static_cast<int>(k);
    std::stable_sort(K.order.begin(), K.order.end(), [&](int a, int b) {
        const CLevelEntry &x = got[static_cast<size_t>(a)], &y = got[static_cast<size_t>(b)];
        return x.row != y.row ? x.row < y.row : x.column < y.column;
    });
    K.slot.assign(got.size(), 0);
    CLevelRows& rows = K.rows;
    rows = CLevelRows();
    const Id first = L.offsets[static_cast<size_t>(m_part.services->Partition())];
    const auto term = [&](size_t k) -> const CLevelEntry& { return got[static_cast<size_t>(K.order[k])]; };
    size_t k = 0;
    for (Id g = first; g < first + L.coarse; ++g) {
        rows.columns.push_back(g);
        const int diagonal = static_cast<int>(rows.columns.size()) - 1;
        while (k < got.size() && term(k).row == g) {
            const Id column = term(k).column;
            if (column != g) rows.columns.push_back(column);
            const int at = column == g ? diagonal : static_cast<int>(rows.columns.size()) - 1;
            for (; k < got.size() && term(k).row == g && term(k).column == column; ++k) K.slot[k] = at;
        }
        rows.rowStart.push_back(static_cast<Id>(rows.columns.size()));
    }
}

// Level l's next level from its rows: gathered onto every partition and
// finished by the serial hierarchy, or made a distributed level (its local
// system built, or kept when its pattern is the same); then P's columns in
// the next level's cells and P^T.
void CDistributedAmg::Descend(int l, double theta, bool keep, CLevelRows rows)
{
    CLevel& L = *m_levels[static_cast<size_t>(l)];
    const int me = m_part.services->Partition();
    if (L.gather) {
        CSparse G = GatheredOperator(m_part.services->GatherRows(rows));
        const int N = G.rows;
        if (keep && m_gathered) {
            m_gathered->Update(std::move(G));
        } else {
            CAmgSettings s = m_settings;
            s.theta = theta * m_settings.thetaDecay;
            s.firstReach = 1;
            m_gathered = std::make_unique<CAmgHierarchy>(std::move(G), s);
        }
        m_gb.assign(static_cast<size_t>(N) + 1, 0.0);
        m_gx.assign(static_cast<size_t>(N) + 1, 0.0);
        for (size_t e = 0; e < L.P.col.size(); ++e) L.P.col[e] = static_cast<int>(L.pIds[e]) + 1;
        L.P.cols = N;
        m_levels.resize(static_cast<size_t>(l) + 1);
    } else {
        rows = WithColumns(std::move(rows), L.pIds, L.offsets[static_cast<size_t>(me)],
                           L.offsets[static_cast<size_t>(me) + 1]);
        if (m_levels.size() == static_cast<size_t>(l) + 1) m_levels.push_back(std::make_unique<CLevel>());
        CLevel& C = *m_levels[static_cast<size_t>(l) + 1];
        const bool same = C.own && SamePattern(C.own->rows, rows);
        if (m_part.maximum(same ? 0.0 : 1.0) > 0.0) { // a new pattern somewhere: a new system everywhere
            C.own = std::make_unique<CCoarseSystem>();
            C.own->part = m_part.services->BuildLevel(rows, L.offsets[static_cast<size_t>(me)]);
            C.routed = false;
        }
        C.own->rows = std::move(rows);
        C.A = CoarseOperator(C.own->rows, C.own->part, C.own->order);
        C.nTotal = C.A.cols;
        C.halo = C.own->part.halo.get();
        C.globalRows = L.offsets.back();
        C.globalEntries = SumOver(C.A.NonZeros());
        std::vector<std::pair<Id, int>> cellOf; // (global id, cell), by id
        for (size_t c = 0; c < C.own->part.globalId.size(); ++c)
            cellOf.emplace_back(C.own->part.globalId[c], static_cast<int>(c) + 1);
        std::sort(cellOf.begin(), cellOf.end());
        for (size_t e = 0; e < L.P.col.size(); ++e) {
            const auto it = std::lower_bound(cellOf.begin(), cellOf.end(), std::make_pair(L.pIds[e], 0));
            if (it == cellOf.end() || it->first != L.pIds[e])
                throw std::logic_error("qvl3d::amg::CDistributedAmg: a coarse cell of P is not in the coarse level");
            L.P.col[e] = it->second;
        }
        L.P.cols = C.nTotal;
    }
    TransposePattern(L.P, L.PT, L.source);
    for (size_t e = 0; e < L.source.size(); ++e) L.PT.val[e] = L.P.val[static_cast<size_t>(L.source[e])];
}

// x = x + M^-1 (b - A x), `sweeps` times, M the DILU operator of the owned
// block; from x = 0 the first is x = M^-1 b.
void CDistributedAmg::Smooth(CLevel& L, int sweeps, bool fromZero)
{
    const detail::CCsrRows A = L.Rows();
    for (int s = 0; s < sweeps; ++s) {
        if (s == 0 && fromZero) {
            detail::CDilu::Apply(A, L.x.data(), L.dilu.data(), L.work.data(), detail::FromArray(L.b.data()));
            continue;
        }
        Residual(L);
        detail::CDilu::Apply(A, L.z.data(), L.dilu.data(), L.work.data(), detail::FromArray(L.r.data()));
        for (int i = 1; i <= A.n; ++i) L.x[static_cast<size_t>(i)] = L.x[static_cast<size_t>(i)] + L.z[i];
    }
}

// r = b - A x on the owned rows, the halo of x exchanged first.
void CDistributedAmg::Residual(CLevel& L)
{
    L.Exchange(L.x.data());
    L.Rows().RowProducts(1, L.A.rows, L.r.data(), L.x.data());
    for (int i = 1; i <= L.A.rows; ++i) L.r[static_cast<size_t>(i)] = L.b[static_cast<size_t>(i)] - L.r[i];
}

// x of level l from its b, from x = 0.
void CDistributedAmg::VCycle(int l)
{
    CLevel& L = *m_levels[static_cast<size_t>(l)];
    if (L.aggregate.empty()) return Smooth(L, kCoarsestSweeps, true);
    Smooth(L, std::max(m_settings.preSweeps, 1), true);
    Residual(L);
    CLevel* C = L.gather ? nullptr : m_levels[static_cast<size_t>(l) + 1].get();
    double* cb = L.gather ? m_gb.data() : C->b.data();
    for (int I = 1; I <= L.PT.rows; ++I) {
        double s = 0.0;
        for (int e = L.PT.start[static_cast<size_t>(I)]; e < L.PT.start[static_cast<size_t>(I) + 1]; ++e)
            s = s + L.PT.val[static_cast<size_t>(e)] * L.r[static_cast<size_t>(L.PT.col[e])];
        cb[I] = s;
    }
    if (L.gather) {
        m_part.sum->SumEach(cb + 1, L.PT.rows);
        m_gathered->Cycle(m_gb.data(), m_gx.data());
    } else {
        C->own->part.addToOwners(cb);
        VCycle(l + 1);
        C->Exchange(C->x.data());
    }
    const double* cx = L.gather ? m_gx.data() : C->x.data();
    for (int i = 1; i <= L.A.rows; ++i) {
        double s = 0.0;
        for (int e = L.P.start[static_cast<size_t>(i)]; e < L.P.start[static_cast<size_t>(i) + 1]; ++e)
            s = s + L.P.val[static_cast<size_t>(e)] * cx[L.P.col[static_cast<size_t>(e)]];
        L.x[static_cast<size_t>(i)] = L.x[static_cast<size_t>(i)] + s;
    }
    Smooth(L, m_settings.postSweeps, false);
}

double* CDistributedAmg::Input()
{
    return m_levels[0]->b.data();
}

void CDistributedAmg::CycleFromInput(double* x)
{
    VCycle(0);
    const std::vector<double>& x0 = m_levels[0]->x;
    std::copy(x0.begin() + 1, x0.begin() + 1 + m_levels[0]->A.rows, x + 1);
}

bool CDistributedAmg::Coarsened() const
{
    return m_levels.size() > 1 || m_gathered != nullptr;
}

int CDistributedAmg::DistributedLevels() const
{
    return static_cast<int>(m_levels.size());
}

const CAmgHierarchy* CDistributedAmg::Gathered() const
{
    return m_gathered.get();
}

CAmgShape CDistributedAmg::Shape() const
{
    CAmgShape s;
    for (const auto& L : m_levels) {
        s.rows.push_back(static_cast<int>(L->globalRows));
        s.nonZeros.push_back(L->globalEntries);
    }
    if (m_gathered) {
        const CAmgShape g = m_gathered->Shape();
        s.rows.insert(s.rows.end(), g.rows.begin(), g.rows.end());
        s.nonZeros.insert(s.nonZeros.end(), g.nonZeros.begin(), g.nonZeros.end());
    }
    double rows = 0.0, entries = 0.0;
    for (size_t k = 0; k < s.rows.size(); ++k) {
        rows += s.rows[k];
        entries += static_cast<double>(s.nonZeros[k]);
    }
    s.gridComplexity = s.rows[0] > 0 ? rows / s.rows[0] : 1.0;
    s.operatorComplexity = s.nonZeros[0] > 0 ? entries / static_cast<double>(s.nonZeros[0]) : 1.0;
    s.setupSeconds = m_setupSeconds;
    s.fromUpdate = m_fromUpdate;
    return s;
}

CLevelRows CDistributedAmg::OperatorRows(int level) const
{
    const CLevel& L = *m_levels.at(static_cast<size_t>(level));
    if (!L.own) throw std::out_of_range("qvl3d::amg::CDistributedAmg::OperatorRows: the fine level has no global rows");
    return L.own->rows;
}

CLevelRows CDistributedAmg::ProlongationRows(int level) const
{
    const CLevel& L = *m_levels.at(static_cast<size_t>(level));
    CLevelRows rows;
    if (L.aggregate.empty()) return rows;
    for (int i = 1; i <= L.P.rows; ++i) {
        for (int e = L.P.start[static_cast<size_t>(i)]; e < L.P.start[static_cast<size_t>(i) + 1]; ++e) {
            rows.columns.push_back(L.pIds[static_cast<size_t>(e)]);
            rows.values.push_back(L.P.val[static_cast<size_t>(e)]);
        }
        rows.rowStart.push_back(static_cast<Id>(rows.columns.size()));
    }
    return rows;
}

} // namespace amg
} // namespace qvl3d
