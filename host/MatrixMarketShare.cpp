#include "MatrixMarketShare.h"

#include "Files.h"

#include <qvl3d/DistributedSolve.h>
#include <qvl3d/GraphPartition.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>

namespace qvl3d {
namespace host {

namespace {

static_assert(std::is_trivially_copyable<CMatrixMarketEntry>::value, "entries travel as bytes");

// The root's verdict on a step it took alone: every rank learns it, and all
// throw the root's message if it failed.
void ShareVerdict(MPI_Comm comm, int root, const std::string& fault)
{
    long long length = static_cast<long long>(fault.size());
    MPI_Bcast(&length, 1, MPI_LONG_LONG, root, comm);
    if (length == 0) return;
    std::string message = fault;
    message.resize(static_cast<size_t>(length));
    MPI_Bcast(&message[0], static_cast<int>(length), MPI_CHAR, root, comm);
    throw CInputError(message);
}

// Runs f on the root and hands its outcome to every rank.
template <class F>
void OnRoot(MPI_Comm comm, int root, F&& f)
{
    std::string fault;
    if (Rank(comm) == root) {
        try {
            f();
        } catch (const CInputError& e) {
            fault = e.what();
            if (fault.empty()) fault = "unreadable matrix file";
        }
    }
    ShareVerdict(comm, root, fault);
}

// The root's first pass: the file's pattern alone, partitioned as
// PartitionGraph partitions the whole matrix (its graph is the symmetrised
// pattern, which values do not change).
COwners PatternPartition(const std::string& path, int nParts, ERenumber renumber, std::uint64_t seed)
{
    const auto in = OpenInput(path);
    CMatrixMarketEntries file(*in, path);
    const int n = file.Rows();
    const CRenumbering map(n, renumber, seed);
    std::vector<std::pair<int, int>> pattern;
    std::vector<CMatrixMarketEntry> one;
    while (file.Next(one)) {
        for (const CMatrixMarketEntry& e : one) pattern.emplace_back(map.New(e.row), map.New(e.col));
        one.clear();
    }
    // The pattern in compressed rows, 0-based, for the library's partitioner.
    std::vector<std::int32_t> start(static_cast<size_t>(n) + 1, 0), columns(pattern.size(), 0);
    for (const auto& rc : pattern) ++start[static_cast<size_t>(rc.first)];
    for (int i = 0; i < n; ++i) start[static_cast<size_t>(i) + 1] += start[static_cast<size_t>(i)];
    std::vector<std::int32_t> next(start.begin(), start.end() - 1);
    for (const auto& rc : pattern)
        columns[static_cast<size_t>(next[static_cast<size_t>(rc.first - 1)]++)] = rc.second - 1;
    std::vector<std::pair<int, int>>().swap(pattern);
    const std::vector<int> part =
        qvl3d::PartitionGraph(CCsrView{n, start.data(), nullptr, columns.data(), nullptr}, nParts);
    COwners owner(static_cast<size_t>(n) + 1, 0);
    for (int c = 1; c <= n; ++c) owner[static_cast<size_t>(c)] = part[static_cast<size_t>(map.New(c) - 1)];
    return owner;
}

// A rank's first fault in the order ReadMatrixMarket meets them: the sums
// and zero diagonals of all positions by row and column first, then rows
// without a diagonal. The smallest key over the ranks is the whole file's
// first fault.
long long FaultKey(int kind, int row, int col)
{
    return (static_cast<long long>(kind) << 62) | (static_cast<long long>(row) << 31) | static_cast<long long>(col);
}

// The root's banner and size line, broadcast: the global row count and the
// file's description.
void ShareHeader(MPI_Comm comm, int root, const CMatrixMarketEntries* file, CRowShare& share)
{
    int header[3] = {0, 0, 0}; // rows, integer field, symmetric
    if (Rank(comm) == root) {
        share.info = file->Info();
        header[0] = file->Rows();
        header[1] = share.info.field == "integer" ? 1 : share.info.field == "double" ? 2 : 0;
        header[2] = share.info.symmetry == "symmetric" ? 1 : 0;
    }
    MPI_Bcast(header, 3, MPI_INT, root, comm);
    MPI_Bcast(&share.info.storedEntries, 1, MPI_LONG_LONG, root, comm);
    share.nGlobal = header[0];
    share.info.field = header[1] == 1 ? "integer" : header[1] == 2 ? "double" : "real";
    share.info.symmetry = header[2] == 1 ? "symmetric" : "general";
}

// Each rank's rows (1-based global ids, ascending), from the root's owners.
void ScatterCells(MPI_Comm comm, int root, const COwners& owner, CRowShare& share)
{
    const int nParts = Ranks(comm);
    std::vector<int> counts(static_cast<size_t>(nParts), 0), offsets(static_cast<size_t>(nParts), 0);
    std::vector<int> allCells;
    if (Rank(comm) == root) {
        for (int c = 1; c <= share.nGlobal; ++c) ++counts[static_cast<size_t>(owner[static_cast<size_t>(c)])];
        for (int p = 1; p < nParts; ++p)
            offsets[static_cast<size_t>(p)] = offsets[static_cast<size_t>(p) - 1] + counts[static_cast<size_t>(p) - 1];
        allCells.resize(static_cast<size_t>(share.nGlobal));
        std::vector<int> next = offsets;
        for (int c = 1; c <= share.nGlobal; ++c)
            allCells[static_cast<size_t>(next[static_cast<size_t>(owner[static_cast<size_t>(c)])]++)] = c;
    }
    int mine = 0;
    MPI_Scatter(counts.data(), 1, MPI_INT, &mine, 1, MPI_INT, root, comm);
    share.cells.resize(static_cast<size_t>(mine));
    MPI_Scatterv(allCells.data(), counts.data(), offsets.data(), MPI_INT, share.cells.data(), mine, MPI_INT, root,
                 comm);
}

// The entries, chunk by chunk of chunkEntries file lines, each to the owner
// of its row; the root's read faults reach every rank.
std::vector<CMatrixMarketEntry> ScatterEntries(MPI_Comm comm, int root, CMatrixMarketEntries* file,
                                               const COwners& owner, long long chunkEntries)
{
    const int rank = Rank(comm), nParts = Ranks(comm);
    std::vector<int> counts(static_cast<size_t>(nParts), 0), offsets(static_cast<size_t>(nParts), 0);
    std::vector<CMatrixMarketEntry> entries;
    std::vector<std::vector<CMatrixMarketEntry>> outbox(rank == root ? static_cast<size_t>(nParts) : 0);
    std::vector<CMatrixMarketEntry> chunk, packed, one;
    for (;;) {
        int more = 0;
        OnRoot(comm, root, [&] {
            for (auto& box : outbox) box.clear();
            for (long long k = 0; k < chunkEntries; ++k) {
                one.clear();
                if (!file->Next(one)) break;
                for (const CMatrixMarketEntry& e : one)
                    outbox[static_cast<size_t>(owner[static_cast<size_t>(e.row)])].push_back(e);
                if (k + 1 == chunkEntries) more = 1;
            }
        });
        const int entryBytes = static_cast<int>(sizeof(CMatrixMarketEntry));
        if (rank == root) {
            packed.clear();
            for (int p = 0; p < nParts; ++p) {
                const auto& box = outbox[static_cast<size_t>(p)];
                counts[static_cast<size_t>(p)] = static_cast<int>(box.size()) * entryBytes;
                offsets[static_cast<size_t>(p)] = static_cast<int>(packed.size()) * entryBytes;
                packed.insert(packed.end(), box.begin(), box.end());
            }
        }
        int bytes = 0;
        MPI_Scatter(counts.data(), 1, MPI_INT, &bytes, 1, MPI_INT, root, comm);
        chunk.resize(static_cast<size_t>(bytes / entryBytes));
        MPI_Scatterv(packed.data(), counts.data(), offsets.data(), MPI_BYTE, chunk.data(), bytes, MPI_BYTE, root, comm);
        entries.insert(entries.end(), chunk.begin(), chunk.end());
        MPI_Bcast(&more, 1, MPI_INT, root, comm);
        if (!more) break;
    }
    return entries;
}

// Each rank sums and checks its rows as the whole-file reader does; the
// whole file's first fault, by FaultKey, is thrown on every rank.
void SumRows(MPI_Comm comm, const std::string& path, std::vector<CMatrixMarketEntry>& entries, CRowShare& share)
{
    const int rank = Rank(comm), nParts = Ranks(comm);
    long long duplicates = 0;
    std::string message;
    long long key = std::numeric_limits<long long>::max();
    const CEntryFault fault = SumEntries(entries, path, duplicates);
    if (fault) {
        key = FaultKey(0, fault.row, fault.col);
        message = fault.message;
    } else {
        size_t e = 0;
        share.start.push_back(0);
        for (const int c : share.cells) {
            while (e < entries.size() && entries[e].row < c) ++e; // rows of other ranks cannot arrive
            bool diagonal = false;
            for (; e < entries.size() && entries[e].row == c; ++e) {
                diagonal = diagonal || entries[e].col == c;
                share.col.push_back(entries[e].col);
                share.val.push_back(entries[e].val);
            }
            if (!diagonal && key == std::numeric_limits<long long>::max()) {
                key = FaultKey(1, c, 0);
                message = MissingDiagonal(path, c);
            }
            share.start.push_back(static_cast<int>(share.col.size()));
        }
    }
    long long first = key;
    MPI_Allreduce(MPI_IN_PLACE, &first, 1, MPI_LONG_LONG, MPI_MIN, comm);
    if (first != std::numeric_limits<long long>::max()) {
        int reporter = key == first ? rank : nParts;
        MPI_Allreduce(MPI_IN_PLACE, &reporter, 1, MPI_INT, MPI_MIN, comm);
        ShareVerdict(comm, reporter, message);
    }
    MPI_Allreduce(&duplicates, &share.info.duplicatesSummed, 1, MPI_LONG_LONG, MPI_SUM, comm);
}

static_assert(std::is_trivially_copyable<CVectorMarketEntry>::value, "vector entries travel as bytes");

// A rank's cells of a vector file, ascending, each with its place in the
// caller's order, and the values gathered for them.
struct CWantedCells {
    std::vector<std::pair<int, size_t>> cell;
    std::vector<double> value;
};

// An array file's chunk of rows first, first+1, ...: each rank sends the
// root the rows it wants, the root sends back their values.
void DeliverArrayChunk(MPI_Comm comm, int root, const std::vector<CVectorMarketEntry>& chunk, int first, int count,
                       CWantedCells& w)
{
    const int rank = Rank(comm), nParts = Ranks(comm);
    const auto below = [](const std::pair<int, size_t>& c, int id) { return c.first < id; };
    const size_t lo =
        static_cast<size_t>(std::lower_bound(w.cell.begin(), w.cell.end(), first, below) - w.cell.begin());
    const size_t hi = static_cast<size_t>(
        std::lower_bound(w.cell.begin() + static_cast<std::ptrdiff_t>(lo), w.cell.end(), first + count, below) -
        w.cell.begin());
    std::vector<int> rows(hi - lo);
    for (size_t k = lo; k < hi; ++k) rows[k - lo] = w.cell[k].first;
    const int mine = static_cast<int>(rows.size());
    std::vector<int> counts(static_cast<size_t>(nParts), 0), offsets(static_cast<size_t>(nParts), 0);
    MPI_Gather(&mine, 1, MPI_INT, counts.data(), 1, MPI_INT, root, comm);
    int total = 0;
    if (rank == root)
        for (int p = 0; p < nParts; ++p) {
            offsets[static_cast<size_t>(p)] = total;
            total += counts[static_cast<size_t>(p)];
        }
    std::vector<int> asked(static_cast<size_t>(total));
    MPI_Gatherv(rows.data(), mine, MPI_INT, asked.data(), counts.data(), offsets.data(), MPI_INT, root, comm);
    std::vector<double> answers(asked.size());
    for (size_t k = 0; k < asked.size(); ++k) answers[k] = chunk[static_cast<size_t>(asked[k] - first)].val;
    std::vector<double> values(rows.size());
    MPI_Scatterv(answers.data(), counts.data(), offsets.data(), MPI_DOUBLE, values.data(), mine, MPI_DOUBLE, root,
                 comm);
    for (size_t k = lo; k < hi; ++k) w.value[k] = values[k - lo];
}

// A coordinate file's chunk, to every rank: each sums the values of its
// rows in file order. Returns the line of the first sum that is not finite
// (its message in fault), or LLONG_MAX.
long long DeliverCoordinateChunk(MPI_Comm comm, int root, std::vector<CVectorMarketEntry>& chunk, int count,
                                 const std::string& path, CWantedCells& w, std::string& fault)
{
    chunk.resize(static_cast<size_t>(count));
    MPI_Bcast(chunk.data(), count * static_cast<int>(sizeof(CVectorMarketEntry)), MPI_BYTE, root, comm);
    for (const CVectorMarketEntry& e : chunk) {
        auto k = std::lower_bound(w.cell.begin(), w.cell.end(), std::make_pair(e.row, size_t{0}));
        for (; k != w.cell.end() && k->first == e.row; ++k) {
            double& v = w.value[static_cast<size_t>(k - w.cell.begin())];
            const double sum = v + e.val;
            if (!std::isfinite(sum)) {
                fault = VectorSumFault(path, e.line, e.row);
                return e.line;
            }
            v = sum;
        }
    }
    return LLONG_MAX;
}

// The root's next chunk of at most chunkCells values; a read fault ends it
// early, with its message in fault. Returns whether more may follow.
bool ReadVectorChunk(CVectorMarketEntries& file, int chunkCells, std::vector<CVectorMarketEntry>& chunk,
                     std::string& fault)
{
    chunk.clear();
    try {
        CVectorMarketEntry e;
        while (chunk.size() < static_cast<size_t>(chunkCells) && file.Next(e)) chunk.push_back(e);
    } catch (const CInputError& e) {
        fault = e.what();
        if (fault.empty()) fault = "unreadable vector file";
        return false;
    }
    return chunk.size() == static_cast<size_t>(chunkCells);
}

} // namespace

std::vector<double> ReadVectorMarketShare(MPI_Comm comm, const std::string& path, int n, const std::vector<int>& ids,
                                          int chunkCells, int root)
{
    const int rank = Rank(comm);
    // A chunk's bytes, and the values all ranks ask for in one chunk, must
    // fit an int count.
    chunkCells = std::max(
        1, std::min({chunkCells, INT_MAX / static_cast<int>(sizeof(CVectorMarketEntry)), INT_MAX / Ranks(comm)}));
    CWantedCells w;
    w.cell.resize(ids.size());
    for (size_t k = 0; k < ids.size(); ++k) w.cell[k] = {ids[k], k};
    std::sort(w.cell.begin(), w.cell.end());
    w.value.assign(ids.size(), 0.0);

    std::unique_ptr<std::ifstream> in;
    std::unique_ptr<CVectorMarketEntries> file;
    int coordinate = 0;
    OnRoot(comm, root, [&] {
        in = OpenInput(path);
        file = std::make_unique<CVectorMarketEntries>(*in, path, n);
        coordinate = file->Coordinate() ? 1 : 0;
    });
    MPI_Bcast(&coordinate, 1, MPI_INT, root, comm);
    std::vector<CVectorMarketEntry> chunk;
    for (int first = 1;;) {
        std::string fault;
        int step[3] = {0, 0, 0}; // values read, more may follow, the root's read failed
        if (rank == root) {
            step[1] = ReadVectorChunk(*file, chunkCells, chunk, fault) ? 1 : 0;
            step[0] = static_cast<int>(chunk.size());
            step[2] = fault.empty() ? 0 : 1;
        }
        MPI_Bcast(step, 3, MPI_INT, root, comm);
        // A sum of a coordinate file's values read before the root's fault
        // came first; an array file's values need no check of their own.
        long long key = LLONG_MAX;
        if (coordinate)
            key = DeliverCoordinateChunk(comm, root, chunk, step[0], path, w, fault);
        else if (!step[2])
            DeliverArrayChunk(comm, root, chunk, first, step[0], w);
        if (rank == root && step[2] && key == LLONG_MAX) key = LLONG_MAX - 1;
        long long firstKey = key;
        MPI_Allreduce(MPI_IN_PLACE, &firstKey, 1, MPI_LONG_LONG, MPI_MIN, comm);
        if (firstKey != LLONG_MAX) {
            int reporter = key == firstKey ? rank : Ranks(comm);
            MPI_Allreduce(MPI_IN_PLACE, &reporter, 1, MPI_INT, MPI_MIN, comm);
            ShareVerdict(comm, reporter, fault);
        }
        first += step[0];
        if (!step[1]) break;
    }
    std::vector<double> out(ids.size());
    for (size_t k = 0; k < w.cell.size(); ++k) out[w.cell[k].second] = w.value[k];
    return out;
}

CRowShare ReadMatrixMarketShare(MPI_Comm comm, const std::string& path, COwners* owners, long long chunkEntries,
                                int root, ERenumber renumber, std::uint64_t seed)
{
    const int rank = Rank(comm), nParts = Ranks(comm);
    // Two stored entries (a symmetric file's mirror) of 24 bytes each must
    // fit an int byte count per chunk.
    const long long maxChunk =
        static_cast<long long>(INT_MAX) / (2 * static_cast<long long>(sizeof(CMatrixMarketEntry)));
    chunkEntries = std::max(1LL, std::min(chunkEntries, maxChunk));

    // The root reads the banner and size line, and partitions.
    std::unique_ptr<std::ifstream> in;
    std::unique_ptr<CMatrixMarketEntries> file;
    COwners owner;
    OnRoot(comm, root, [&] {
        in = OpenInput(path);
        file = std::make_unique<CMatrixMarketEntries>(*in, path);
        const int n = file->Rows();
        // Without a graph partitioner the partition is row blocks, which
        // need no pass over the pattern.
        const bool graph = nParts > 1 && std::string(GraphPartitionerName()) != "row blocks";
        if (graph) {
            owner = PatternPartition(path, nParts, renumber, seed);
        } else {
            // Blocks of the new numbering, indexed by the file's rows.
            const COwners blocks = PartitionRows(n, nParts);
            const CRenumbering map(n, renumber, seed);
            owner.assign(blocks.size(), 0);
            for (int c = 1; c <= n; ++c) owner[static_cast<size_t>(c)] = blocks[static_cast<size_t>(map.New(c))];
        }
    });

    CRowShare share;
    ShareHeader(comm, root, file.get(), share);
    ScatterCells(comm, root, owner, share);
    std::vector<CMatrixMarketEntry> entries = ScatterEntries(comm, root, file.get(), owner, chunkEntries);
    file.reset(); // its last Next checked that nothing follows the declared entries
    in.reset();
    SumRows(comm, path, entries, share);
    if (renumber != ERenumber::None) RenumberShare(share, CRenumbering(share.nGlobal, renumber, seed));
    if (owners) *owners = rank == root ? std::move(owner) : COwners();
    return share;
}

void RenumberShare(CRowShare& share, const CRenumbering& map)
{
    const size_t n = share.cells.size();
    std::vector<std::pair<int, size_t>> order(n); // (new number, row)
    for (size_t k = 0; k < n; ++k) order[k] = {map.New(share.cells[k]), k};
    std::sort(order.begin(), order.end());
    CRowShare out;
    out.nGlobal = share.nGlobal;
    out.info = share.info;
    out.start.push_back(0);
    std::vector<std::pair<int, double>> row;
    for (const auto& [cell, k] : order) {
        row.clear();
        for (int e = share.start[k]; e < share.start[k + 1]; ++e)
            row.emplace_back(map.New(share.col[static_cast<size_t>(e)]), share.val[static_cast<size_t>(e)]);
        std::sort(row.begin(), row.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        out.cells.push_back(cell);
        for (const auto& [c, v] : row) {
            out.col.push_back(c);
            out.val.push_back(v);
        }
        out.start.push_back(static_cast<int>(out.col.size()));
    }
    share = std::move(out);
}

std::string WriteVectorMarketShare(MPI_Comm comm, const std::string& path, const CPartition& part, const double* x,
                                   int nGlobal, const std::string& comment, int chunkCells, int root)
{
    const int rank = Rank(comm), nParts = Ranks(comm);
    chunkCells = std::max(1, chunkCells);
    std::string fault;
    std::unique_ptr<CReplacingFile> file;
    const auto attempt = [&](auto&& step) {
        if (!fault.empty()) return;
        try {
            step();
        } catch (const std::bad_alloc&) {
            fault = "out of memory";
        } catch (const std::exception& e) {
            fault = e.what();
        }
        if (!fault.empty()) file.reset(); // the target stays as it was
    };
    if (rank == root)
        attempt([&] {
            file = std::make_unique<CReplacingFile>(path);
            WriteVectorHeader(*file, nGlobal, comment);
        });
    std::vector<int> ids, counts(static_cast<size_t>(nParts)), offsets(static_cast<size_t>(nParts)), allIds;
    std::vector<double> values, allValues, chunk;
    int next = 1; // this rank's next owned cell; their global numbers ascend
    for (int first = 1; first <= nGlobal; first += chunkCells) {
        const int end =
            static_cast<int>(std::min<long long>(static_cast<long long>(first) + chunkCells, nGlobal + 1LL));
        ids.clear();
        values.clear();
        for (; next <= part.Cells() && part.global[static_cast<size_t>(next)] < end; ++next) {
            ids.push_back(part.global[static_cast<size_t>(next)]);
            values.push_back(x[next]);
        }
        const int mine = static_cast<int>(ids.size());
        MPI_Gather(&mine, 1, MPI_INT, counts.data(), 1, MPI_INT, root, comm);
        int total = 0;
        if (rank == root)
            for (int p = 0; p < nParts; ++p) {
                offsets[static_cast<size_t>(p)] = total;
                total += counts[static_cast<size_t>(p)];
            }
        allIds.resize(static_cast<size_t>(total));
        allValues.resize(static_cast<size_t>(total));
        MPI_Gatherv(ids.data(), mine, MPI_INT, allIds.data(), counts.data(), offsets.data(), MPI_INT, root, comm);
        MPI_Gatherv(values.data(), mine, MPI_DOUBLE, allValues.data(), counts.data(), offsets.data(), MPI_DOUBLE, root,
                    comm);
        if (rank != root) continue;
        attempt([&] {
            if (total != end - first)
                throw std::logic_error("writing " + path + ": cells " + std::to_string(first) + ".." +
                                       std::to_string(end - 1) + " arrived " + std::to_string(total) +
                                       " times; the ranks' cells do not cover the vector once");
            chunk.assign(static_cast<size_t>(end - first), 0.0);
            for (int k = 0; k < total; ++k)
                chunk[static_cast<size_t>(allIds[static_cast<size_t>(k)] - first)] = allValues[static_cast<size_t>(k)];
            for (const double v : chunk) file->Printf("%.17g\n", v);
        });
    }
    if (rank == root) attempt([&] { file->Commit(); });
    return fault;
}

CPartition PartitionFromShare(MPI_Comm comm, const CRowShare& share)
{
    const size_t n = share.cells.size();
    std::vector<std::int64_t> ids(n), start(share.start.begin(), share.start.end()), cols(share.col.size());
    for (size_t k = 0; k < n; ++k) ids[k] = share.cells[k] - 1;
    for (size_t e = 0; e < cols.size(); ++e) cols[e] = share.col[e] - 1;
    if (start.empty()) start.push_back(0);
    const CGlobalRows rows{static_cast<std::int64_t>(n), start.data(), cols.data(), share.val.data()};
    CLocalSystem local = BuildLocalSystem(comm, rows, COwnership::List(ids.data()));

    CPartition p;
    p.rank = Rank(comm);
    p.nParts = Ranks(comm);
    p.A.nCell = static_cast<int>(local.rows);
    p.A.nCellTotal = static_cast<int>(local.globalId.size());
    p.A.rowStart.assign(local.rowStart.begin(), local.rowStart.end());
    p.A.col.resize(local.columns.size());
    for (size_t e = 0; e < local.columns.size(); ++e) p.A.col[e] = local.columns[e] + 1;
    p.A.val = std::move(local.values);
    p.global.resize(local.globalId.size() + 1, 0);
    for (size_t c = 0; c < local.globalId.size(); ++c) p.global[c + 1] = static_cast<int>(local.globalId[c] + 1);
    p.plan = std::move(local.plan);
    return p;
}

} // namespace host
} // namespace qvl3d
