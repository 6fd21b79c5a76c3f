#include <qvl3d/DistributedSolve.h>

#include <qvl3d/MpiTransport.h>

#include "PlanCheck.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>

namespace qvl3d {

namespace {

using Id = std::int64_t;

constexpr Id kMaxCells = INT_MAX - 2; // the layouts index cells 0..nCellTotal+1 in int
constexpr const char* kBuild = "qvl3d::BuildLocalSystem";
constexpr const char* kCheck = "qvl3d::CheckHaloPlan";

std::string Str(Id v)
{
    return std::to_string(v);
}

int RankOf(MPI_Comm comm)
{
    int r = 0;
    MPI_Comm_rank(comm, &r);
    return r;
}

int RanksOf(MPI_Comm comm)
{
    int p = 1;
    MPI_Comm_size(comm, &p);
    return p;
}

void CheckComm(MPI_Comm comm, const char* who)
{
    if (comm == MPI_COMM_NULL) throw std::invalid_argument(std::string(who) + ": the communicator is MPI_COMM_NULL");
}

// Collective: when any rank has a fault, every rank throws
// std::invalid_argument with the message of the lowest rank that has one.
void Agree(MPI_Comm comm, const std::string& fault)
{
    std::string text = fault;
    if (FirstMessage(comm, text) >= 0) throw std::invalid_argument(text);
}

// Sends sendTo[q] to every rank q and returns what each rank sent here,
// with the counts received per rank (counts by one all-to-all, then the
// values). Values travel as int64.
std::vector<Id> Exchange(MPI_Comm comm, const std::vector<std::vector<Id>>& sendTo, std::vector<int>& recvCounts)
{
    const int nRanks = RanksOf(comm);
    std::vector<int> sendCounts(static_cast<size_t>(nRanks)), sendOffsets(static_cast<size_t>(nRanks)),
        recvOffsets(static_cast<size_t>(nRanks));
    recvCounts.assign(static_cast<size_t>(nRanks), 0);
    // MPI counts and offsets are int: a rank whose traffic would not fit
    // stops every rank before anything moves.
    Id sendTotal = 0;
    for (const auto& to : sendTo) sendTotal += static_cast<Id>(to.size());
    int tooMany = sendTotal > INT_MAX ? 1 : 0;
    std::vector<Id> flat;
    if (!tooMany)
        for (int q = 0; q < nRanks; ++q) {
            sendOffsets[static_cast<size_t>(q)] = static_cast<int>(flat.size());
            sendCounts[static_cast<size_t>(q)] = static_cast<int>(sendTo[static_cast<size_t>(q)].size());
            flat.insert(flat.end(), sendTo[static_cast<size_t>(q)].begin(), sendTo[static_cast<size_t>(q)].end());
        }
    MPI_Alltoall(sendCounts.data(), 1, MPI_INT, recvCounts.data(), 1, MPI_INT, comm);
    Id recvTotal = 0;
    for (int q = 0; q < nRanks; ++q) recvTotal += recvCounts[static_cast<size_t>(q)];
    if (recvTotal > INT_MAX) tooMany = 1;
    MPI_Allreduce(MPI_IN_PLACE, &tooMany, 1, MPI_INT, MPI_MAX, comm);
    if (tooMany)
        throw std::invalid_argument("a rank would send or receive more than " + Str(INT_MAX) +
                                    " ids in one exchange while the plan is built: spread the rows over more ranks");
    int total = 0;
    for (int q = 0; q < nRanks; ++q) {
        recvOffsets[static_cast<size_t>(q)] = total;
        total += recvCounts[static_cast<size_t>(q)];
    }
    std::vector<Id> received(static_cast<size_t>(total));
    MPI_Alltoallv(flat.data(), sendCounts.data(), sendOffsets.data(), MPI_INT64_T, received.data(), recvCounts.data(),
                  recvOffsets.data(), MPI_INT64_T, comm);
    return received;
}

// This rank's input on its own: the first fault, or an empty string.
std::string CheckRows(const CGlobalRows& A, const COwnership& own, const std::string& at)
{
    const Id n = A.rows;
    if (n < 0) return at + "rows is " + Str(n) + ", a negative count";
    if (n > kMaxCells) return at + Str(n) + " rows exceed the int range of the local numbering";
    if (n > 0 && A.rowStart == nullptr) return at + "the row offsets are null";
    if (n > 0 && own.list && own.ids == nullptr) return at + "the list of owned ids is null";
    if (n == 0) return std::string();
    if (A.rowStart[0] != 0) return at + "the offsets start at " + Str(A.rowStart[0]) + ", not at 0";
    for (Id k = 0; k < n; ++k)
        if (A.rowStart[k + 1] < A.rowStart[k])
            return at + "row " + Str(k) + ": the offsets decrease (" + Str(A.rowStart[k]) + " to " +
                   Str(A.rowStart[k + 1]) + ")";
    const Id nnz = A.rowStart[n];
    if (nnz > 0 && (A.columns == nullptr || A.values == nullptr)) return at + "the columns or the values are null";
    if (!own.list && own.first < 0) return at + "the range starts at " + Str(own.first) + ", a negative id";
    if (!own.list && own.first > INT64_MAX - n)
        return at + "the range " + Str(own.first) + " + " + Str(n) + " rows passes the int64 range";
    if (own.list) {
        std::vector<std::pair<Id, Id>> byId(static_cast<size_t>(n)); // (id, row)
        for (Id k = 0; k < n; ++k) {
            if (own.ids[k] < 0) return at + "row " + Str(k) + ": global id " + Str(own.ids[k]) + " is negative";
            byId[static_cast<size_t>(k)] = {own.ids[k], k};
        }
        std::sort(byId.begin(), byId.end());
        for (size_t k = 1; k < byId.size(); ++k)
            if (byId[k].first == byId[k - 1].first)
                return at + "rows " + Str(byId[k - 1].second) + " and " + Str(byId[k].second) + " are both global id " +
                       Str(byId[k].first);
    }
    std::vector<Id> row;
    for (Id k = 0; k < n; ++k) {
        row.assign(A.columns + A.rowStart[k], A.columns + A.rowStart[k + 1]);
        for (Id e = A.rowStart[k]; e < A.rowStart[k + 1]; ++e)
            if (A.columns[e] < 0)
                return at + "row " + Str(k) + ", entry " + Str(e) + ": column " + Str(A.columns[e]) +
                       " is a negative id";
        std::sort(row.begin(), row.end());
        const auto twice = std::adjacent_find(row.begin(), row.end());
        if (twice != row.end()) return at + "row " + Str(k) + ": column " + Str(*twice) + " appears twice";
    }
    return std::string();
}

// Ids and local cells, sorted by id, for lookups.
using CIdMap = std::vector<std::pair<Id, int>>;

int Find(const CIdMap& map, Id id)
{
    const auto it = std::lower_bound(map.begin(), map.end(), std::make_pair(id, INT_MIN));
    return it != map.end() && it->first == id ? it->second : -1;
}

// This rank's rows: the global id of a local row, and the local row (0-based)
// of a global id, or -1 for an id this rank does not own.
class COwnedRows {
public:
    COwnedRows(const COwnership& own, int n) : m_own(own), m_n(n)
    {
        if (!own.list) return;
        m_sorted.resize(static_cast<size_t>(n));
        for (int k = 0; k < n; ++k) m_sorted[static_cast<size_t>(k)] = {own.ids[k], k};
        std::sort(m_sorted.begin(), m_sorted.end());
    }

    Id GlobalOf(int k) const { return m_own.list ? m_own.ids[k] : m_own.first + k; }

    int CellOf(Id id) const
    {
        if (!m_own.list) return id >= m_own.first && id - m_own.first < m_n ? static_cast<int>(id - m_own.first) : -1;
        return Find(m_sorted, id);
    }

private:
    const COwnership& m_own;
    int m_n;
    CIdMap m_sorted; // list ownership only
};

// The columns this rank names but does not own, each once, ascending.
std::vector<Id> NeededColumns(const CGlobalRows& A, Id nnz, const COwnedRows& owned)
{
    std::vector<Id> need;
    for (Id e = 0; e < nnz; ++e)
        if (owned.CellOf(A.columns[e]) < 0) need.push_back(A.columns[e]);
    std::sort(need.begin(), need.end());
    need.erase(std::unique(need.begin(), need.end()), need.end());
    return need;
}

// Range ownership: every rank's range; a column's owner by binary search
// over the starts (-1 when no range holds it). Overlapping ranges throw the
// same verdict on every rank.
std::vector<int> RangeOwners(MPI_Comm comm, const COwnership& own, int n, const std::vector<Id>& need)
{
    const int nRanks = RanksOf(comm);
    std::vector<int> ownerOfNeed(need.size(), -1);
    Id mine[2] = {own.first, static_cast<Id>(n)};
    std::vector<Id> all(2 * static_cast<size_t>(nRanks));
    MPI_Allgather(mine, 2, MPI_INT64_T, all.data(), 2, MPI_INT64_T, comm);
    std::vector<std::pair<Id, int>> starts; // (first, rank) of the non-empty ranges
    for (int q = 0; q < nRanks; ++q)
        if (all[2 * static_cast<size_t>(q) + 1] > 0) starts.emplace_back(all[2 * static_cast<size_t>(q)], q);
    std::sort(starts.begin(), starts.end());
    auto last = [&](int q) { return all[2 * static_cast<size_t>(q)] + all[2 * static_cast<size_t>(q) + 1] - 1; };
    for (size_t k = 1; k < starts.size(); ++k) {
        const int p = starts[k - 1].second, q = starts[k].second;
        if (last(p) >= starts[k].first)
            throw std::invalid_argument(std::string(kBuild) + ": the ranges of rank " + std::to_string(p) + " (" +
                                        Str(starts[k - 1].first) + ".." + Str(last(p)) + ") and rank " +
                                        std::to_string(q) + " (" + Str(starts[k].first) + ".." + Str(last(q)) +
                                        ") overlap");
    }
    for (size_t k = 0; k < need.size(); ++k) {
        const auto it = std::upper_bound(starts.begin(), starts.end(), std::make_pair(need[k], INT_MAX));
        if (it == starts.begin()) continue;
        const int q = std::prev(it)->second;
        if (need[k] <= last(q)) ownerOfNeed[k] = q;
    }
    return ownerOfNeed;
}

// (id, (owner, row)), sorted by id.
using CDirectory = std::vector<std::pair<Id, std::pair<int, Id>>>;

// A directory spread over the ranks: id lives on rank id % P. Each rank
// files its ids there; an id filed twice throws on every rank.
CDirectory FileDirectory(MPI_Comm comm, const COwnership& own, int n)
{
    const int rank = RankOf(comm), nRanks = RanksOf(comm);
    std::vector<std::vector<Id>> toDirectory(static_cast<size_t>(nRanks));
    for (int k = 0; k < n; ++k) {
        std::vector<Id>& to = toDirectory[static_cast<size_t>(own.ids[k] % nRanks)];
        to.push_back(own.ids[k]);
        to.push_back(k);
    }
    std::vector<int> counts;
    const std::vector<Id> filed = Exchange(comm, toDirectory, counts);
    CDirectory directory;
    directory.reserve(filed.size() / 2);
    size_t pos = 0;
    for (int q = 0; q < nRanks; ++q)
        for (int k = 0; k < counts[static_cast<size_t>(q)]; k += 2, pos += 2)
            directory.push_back({filed[pos], {q, filed[pos + 1]}});
    std::sort(directory.begin(), directory.end());
    std::string twice;
    for (size_t k = 1; k < directory.size() && twice.empty(); ++k)
        if (directory[k].first == directory[k - 1].first)
            twice = std::string(kBuild) + ": global id " + Str(directory[k].first) + " is owned twice: by rank " +
                    std::to_string(directory[k - 1].second.first) + " (row " + Str(directory[k - 1].second.second) +
                    ") and by rank " + std::to_string(directory[k].second.first) + " (row " +
                    Str(directory[k].second.second) + ") (found by the directory on rank " + std::to_string(rank) + ")";
    Agree(comm, twice);
    return directory;
}

// List ownership: each rank asks the directory for the owners of the
// columns it needs (-1 when nobody filed the id).
std::vector<int> DirectoryOwners(MPI_Comm comm, const COwnership& own, int n, const std::vector<Id>& need)
{
    const int nRanks = RanksOf(comm);
    const CDirectory directory = FileDirectory(comm, own, n);
    std::vector<int> counts;
    std::vector<std::vector<Id>> ask(static_cast<size_t>(nRanks));
    for (Id id : need) ask[static_cast<size_t>(id % nRanks)].push_back(id);
    const std::vector<Id> asked = Exchange(comm, ask, counts);
    std::vector<std::vector<Id>> answer(static_cast<size_t>(nRanks));
    size_t pos = 0;
    for (int q = 0; q < nRanks; ++q)
        for (int k = 0; k < counts[static_cast<size_t>(q)]; ++k, ++pos) {
            const Id id = asked[pos];
            const auto it = std::lower_bound(directory.begin(), directory.end(),
                                             std::make_pair(id, std::make_pair(INT_MIN, Id{0})));
            answer[static_cast<size_t>(q)].push_back(it != directory.end() && it->first == id ? it->second.first : -1);
        }
    const std::vector<Id> owners = Exchange(comm, answer, counts);
    // The answers come back per directory rank in the order asked.
    std::vector<int> ownerOfNeed(need.size(), -1);
    std::vector<size_t> next(static_cast<size_t>(nRanks), 0), offset(static_cast<size_t>(nRanks), 0);
    for (int q = 1; q < nRanks; ++q)
        offset[static_cast<size_t>(q)] =
            offset[static_cast<size_t>(q) - 1] + static_cast<size_t>(counts[static_cast<size_t>(q) - 1]);
    for (size_t k = 0; k < need.size(); ++k) {
        const size_t d = static_cast<size_t>(need[k] % nRanks);
        ownerOfNeed[k] = static_cast<int>(owners[offset[d] + next[d]++]);
    }
    return ownerOfNeed;
}

// A column nobody owns, named at its first entry; then the halo's size.
std::string OrphanFault(const CGlobalRows& A, Id nnz, const COwnedRows& owned, const std::vector<Id>& need,
                        const std::vector<int>& ownerOfNeed, const std::string& at)
{
    const int n = static_cast<int>(A.rows);
    std::string orphan;
    for (Id e = 0, k = 0; e < nnz && orphan.empty(); ++e) {
        while (A.rowStart[k + 1] <= e) ++k;
        const Id c = A.columns[e];
        if (owned.CellOf(c) >= 0) continue;
        const size_t j = static_cast<size_t>(std::lower_bound(need.begin(), need.end(), c) - need.begin());
        if (ownerOfNeed[j] < 0)
            orphan = at + "row " + Str(k) + " (global id " + Str(owned.GlobalOf(static_cast<int>(k))) + "), entry " +
                     Str(e) + ": column " + Str(c) + " is owned by no rank";
    }
    if (orphan.empty() && static_cast<Id>(n) + static_cast<Id>(need.size()) > kMaxCells)
        orphan = at + Str(n) + " rows and " + Str(static_cast<Id>(need.size())) +
                 " halo cells exceed the int range of the local numbering";
    return orphan;
}

// The plan's neighbours: each owner learns which of its cells every rank
// needs, in the order that rank numbers them (halo, sorted by owner, holds
// local cells n, n+1, ...); owners answer even ranks they need nothing from.
void PlanNeighbours(MPI_Comm comm, const std::vector<std::pair<int, Id>>& halo, const COwnedRows& owned,
                    const std::string& at, CHaloPlan& plan)
{
    const int nRanks = RanksOf(comm), n = plan.nCell;
    std::vector<std::vector<Id>> request(static_cast<size_t>(nRanks));
    for (const auto& h : halo) request[static_cast<size_t>(h.first)].push_back(h.second);
    std::vector<int> counts;
    const std::vector<Id> wanted = Exchange(comm, request, counts);
    std::string lost;
    size_t pos = 0, h = 0;
    for (int q = 0; q < nRanks; ++q) {
        CHaloNeighbour nb;
        nb.rank = q;
        for (int k = 0; k < counts[static_cast<size_t>(q)]; ++k, ++pos) {
            const int cell = owned.CellOf(wanted[pos]);
            if (cell < 0 && lost.empty())
                lost = at + "rank " + std::to_string(q) + " asked for global id " + Str(wanted[pos]) +
                       ", which this rank does not own";
            nb.send.push_back(cell + 1);
        }
        for (; h < halo.size() && halo[h].first == q; ++h) nb.recv.push_back(n + static_cast<int>(h) + 1);
        if (!nb.send.empty() || !nb.recv.empty()) plan.neighbours.push_back(std::move(nb));
    }
    Agree(comm, lost);
}

} // namespace

CLocalSystem BuildLocalSystem(MPI_Comm comm, const CGlobalRows& A, const COwnership& own)
{
    CheckComm(comm, kBuild);
    const int rank = RankOf(comm), nRanks = RanksOf(comm);
    const std::string at = std::string(kBuild) + ": rank " + std::to_string(rank) + ": ";

    // This rank's input on its own, and one kind of ownership everywhere.
    const std::string fault = CheckRows(A, own, at);
    int verdict[3] = {fault.empty() ? nRanks : rank, own.list ? 1 : 0, own.list ? 0 : 1};
    MPI_Allreduce(MPI_IN_PLACE, verdict, 3, MPI_INT, MPI_MIN, comm);
    if (verdict[0] < nRanks) Agree(comm, fault);
    if (verdict[1] == 0 && verdict[2] == 0)
        throw std::invalid_argument(std::string(kBuild) +
                                    ": some ranks give their ownership as a range and others as a list of ids");

    const int n = static_cast<int>(A.rows);
    const Id nnz = n > 0 ? A.rowStart[n] : 0;
    const COwnedRows owned(own, n);
    const std::vector<Id> need = NeededColumns(A, nnz, owned);
    const std::vector<int> ownerOfNeed =
        own.list ? DirectoryOwners(comm, own, n, need) : RangeOwners(comm, own, n, need);
    Agree(comm, OrphanFault(A, nnz, owned, need, ownerOfNeed, at));

    // Halo cells by (owner, id): local cells n, n+1, ...
    std::vector<std::pair<int, Id>> halo(need.size());
    for (size_t k = 0; k < need.size(); ++k) halo[k] = {ownerOfNeed[k], need[k]};
    std::sort(halo.begin(), halo.end());
    CLocalSystem S;
    S.rows = n;
    S.globalId.resize(static_cast<size_t>(n) + halo.size());
    for (int k = 0; k < n; ++k) S.globalId[static_cast<size_t>(k)] = owned.GlobalOf(k);
    CIdMap haloCell(halo.size());
    for (size_t k = 0; k < halo.size(); ++k) {
        S.globalId[static_cast<size_t>(n) + k] = halo[k].second;
        haloCell[k] = {halo[k].second, n + static_cast<int>(k)};
    }
    std::sort(haloCell.begin(), haloCell.end());

    S.plan.nCell = n;
    S.plan.nCellTotal = n + static_cast<int>(halo.size());
    PlanNeighbours(comm, halo, owned, at, S.plan);

    // The rows in local numbering, entry order kept.
    S.rowStart.assign(A.rowStart, A.rowStart + (n > 0 ? n + 1 : 0));
    if (n == 0) S.rowStart.assign(1, 0);
    S.columns.resize(static_cast<size_t>(nnz));
    S.values.assign(A.values, A.values + nnz);
    for (Id e = 0; e < nnz; ++e) {
        const Id c = A.columns[e];
        const int cell = owned.CellOf(c);
        S.columns[static_cast<size_t>(e)] = cell >= 0 ? cell : Find(haloCell, c);
    }
    return S;
}

void CheckHaloPlan(MPI_Comm comm, const CHaloPlan& plan, const std::vector<std::int64_t>& globalIdOfLocalCell)
{
    CheckComm(comm, kCheck);
    const int rank = RankOf(comm);
    const std::string at = std::string(kCheck) + ": rank " + std::to_string(rank) + ": ";
    std::string fault;
    if (plan.nCellTotal < 0 || globalIdOfLocalCell.size() != static_cast<size_t>(plan.nCellTotal))
        fault = at + "the plan has " + std::to_string(plan.nCellTotal) + " cells but " +
                std::to_string(globalIdOfLocalCell.size()) + " global ids are given";
    Agree(comm, fault);

    // The plan on its own, then every pair's counts (as the transport checks
    // them, here with one message for every rank); the transport built on it
    // then accepts it.
    const int nRanks = RanksOf(comm);
    fault = detail::HaloPlanFault(plan, nRanks);
    if (!fault.empty()) fault = at + fault;
    Agree(comm, fault);
    std::vector<int> sendCount(static_cast<size_t>(nRanks), 0), recvCount(static_cast<size_t>(nRanks), 0),
        theySend(static_cast<size_t>(nRanks), 0);
    for (const CHaloNeighbour& nb : plan.neighbours) {
        sendCount[static_cast<size_t>(nb.rank)] = static_cast<int>(nb.send.size());
        recvCount[static_cast<size_t>(nb.rank)] = static_cast<int>(nb.recv.size());
    }
    MPI_Alltoall(sendCount.data(), 1, MPI_INT, theySend.data(), 1, MPI_INT, comm);
    for (int q = 0; q < nRanks && fault.empty(); ++q)
        if (theySend[static_cast<size_t>(q)] != recvCount[static_cast<size_t>(q)])
            fault = at + "rank " + std::to_string(q) + " sends " + std::to_string(theySend[static_cast<size_t>(q)]) +
                    " values, but this plan receives " + std::to_string(recvCount[static_cast<size_t>(q)]) + " from it";
    Agree(comm, fault);
    CMpiHaloTransport transport(comm, plan);

    // Each id as two exact halves; halo entries start at -1, which no half is.
    const int n = plan.nCell, nTotal = plan.nCellTotal;
    std::vector<double> high(static_cast<size_t>(nTotal) + 1, -1.0), low(static_cast<size_t>(nTotal) + 1, -1.0);
    for (int c = 1; c <= n; ++c) {
        const std::uint64_t u = static_cast<std::uint64_t>(globalIdOfLocalCell[static_cast<size_t>(c) - 1]);
        high[static_cast<size_t>(c)] = static_cast<double>(u >> 32);
        low[static_cast<size_t>(c)] = static_cast<double>(u & 0xffffffffu);
    }
    transport.Exchange(high.data());
    transport.Exchange(low.data());

    // Who fills each halo cell, and as which of its values.
    std::vector<std::pair<int, int>> source(static_cast<size_t>(nTotal - n), {-1, -1});
    for (const CHaloNeighbour& nb : plan.neighbours)
        for (size_t k = 0; k < nb.recv.size(); ++k)
            source[static_cast<size_t>(nb.recv[k] - n - 1)] = {nb.rank, static_cast<int>(k)};
    for (int c = n + 1; c <= nTotal && fault.empty(); ++c) {
        const Id expected = globalIdOfLocalCell[static_cast<size_t>(c) - 1];
        const std::pair<int, int>& from = source[static_cast<size_t>(c - n - 1)];
        if (from.first < 0) {
            fault = at + "halo cell " + std::to_string(c) + " (expected global id " + Str(expected) +
                    ") is filled by no neighbour";
            continue;
        }
        const std::uint64_t u = (static_cast<std::uint64_t>(high[static_cast<size_t>(c)]) << 32) |
                                static_cast<std::uint64_t>(low[static_cast<size_t>(c)]);
        const Id received = static_cast<Id>(u);
        if (received != expected)
            fault = at + "halo cell " + std::to_string(c) + " (value " + std::to_string(from.second) +
                    " of those from rank " + std::to_string(from.first) + "): expected global id " + Str(expected) +
                    ", received " + Str(received) + " from rank " + std::to_string(from.first);
    }
    Agree(comm, fault);
}

struct CDistributedSolver::CImpl {
    CLocalSystem system;
    std::unique_ptr<CSolver> solver;
};

CDistributedSolver::CDistributedSolver(MPI_Comm comm, const CGlobalRows& rows, const COwnership& ownership,
                                       CSolveOptions options)
    : m_impl(std::make_unique<CImpl>())
{
    CImpl& I = *m_impl;
    CheckComm(comm, "qvl3d::CDistributedSolver");
    I.system = BuildLocalSystem(comm, rows, ownership);

    // The solver's refusals reach every rank in the words of the rank that
    // made them, rows named by their global ids.
    CPartitionLink link = MakePartitionLink(comm, I.system.plan,
                                            [&S = I.system](Id cell) { return S.globalId[static_cast<size_t>(cell)]; });
    I.solver = std::make_unique<CSolver>(I.system.View(), std::move(options), std::move(link));
}

CDistributedSolver::~CDistributedSolver() = default;

void CDistributedSolver::Update(const double* values)
{
    m_impl->solver->Update(values);
    if (!m_impl->system.values.empty())
        std::copy(values, values + m_impl->system.values.size(), m_impl->system.values.begin());
}

CSolveResult CDistributedSolver::Solve(const double* b, double* x)
{
    return m_impl->solver->Solve(b, x);
}

const CLocalSystem& CDistributedSolver::System() const
{
    return m_impl->system;
}

const CSolveOptions& CDistributedSolver::Options() const
{
    return m_impl->solver->Options();
}

} // namespace qvl3d
