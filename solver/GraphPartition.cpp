#include <qvl3d/GraphPartition.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#if QVL3D_WITH_METIS
#include <metis.h>
#endif

namespace qvl3d {

namespace {

[[noreturn]] void Refuse(const std::string& what)
{
    throw std::invalid_argument("qvl3d::PartitionGraph: " + what);
}

std::vector<int> RowBlocks(std::int64_t rows, int parts)
{
    std::vector<int> part(static_cast<size_t>(rows), 0);
    const std::int64_t base = rows / parts, extra = rows % parts;
    std::int64_t r = 0;
    for (int p = 0; p < parts; ++p)
        for (std::int64_t k = 0; k < base + (p < extra ? 1 : 0); ++k) part[static_cast<size_t>(r++)] = p;
    return part;
}

} // namespace

const char* GraphPartitioner()
{
#if QVL3D_WITH_METIS
    return "metis";
#else
    return "row blocks";
#endif
}

std::vector<int> PartitionGraph(const CCsrView& A, int parts)
{
    if (parts < 1) Refuse(std::to_string(parts) + " parts (at least 1)");
    const std::int64_t n = A.rows;
    if (n < 0) Refuse("rows is " + std::to_string(n) + ", a negative count");
    if ((A.rowStart32 == nullptr) == (A.rowStart64 == nullptr) && n > 0)
        Refuse("exactly one of rowStart32 and rowStart64 must be given");
    const auto start = [&](std::int64_t i) -> std::int64_t {
        return A.rowStart32 ? A.rowStart32[i] : A.rowStart64 ? A.rowStart64[i] : 0;
    };
    if (n > 0 && start(0) != 0) Refuse("the offsets start at " + std::to_string(start(0)) + ", not at 0");
    for (std::int64_t i = 0; i < n; ++i)
        if (start(i + 1) < start(i))
            Refuse("the offsets decrease at row " + std::to_string(i) + " (" + std::to_string(start(i)) + " then " +
                   std::to_string(start(i + 1)) + ")");
    if (n > 0 && start(n) > 0 && A.columns == nullptr) Refuse("the columns are null");
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t e = start(i); e < start(i + 1); ++e)
            if (A.columns[e] < 0 || A.columns[e] >= n)
                Refuse("row " + std::to_string(i) + " names column " + std::to_string(A.columns[e]) + " outside 0.." +
                       std::to_string(n - 1));
#if QVL3D_WITH_METIS
    // As many parts as rows or more: one row a part, the rest empty. The
    // graph partitioner is not asked; it prints its complaints on standard
    // output and may end the process.
    if (parts == 1 || parts >= n) return RowBlocks(n, parts);
    if (n > static_cast<std::int64_t>(INT32_MAX)) Refuse(std::to_string(n) + " rows exceed the partitioner's range");
    // Symmetrised pattern without the diagonal, each row sorted and unique.
    std::vector<std::pair<idx_t, idx_t>> edges;
    edges.reserve(static_cast<size_t>(start(n)) * 2);
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t e = start(i); e < start(i + 1); ++e) {
            const idx_t j = A.columns[e];
            if (j == i) continue;
            edges.emplace_back(static_cast<idx_t>(i), j);
            edges.emplace_back(j, static_cast<idx_t>(i));
        }
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    std::vector<idx_t> xadj(static_cast<size_t>(n) + 1, 0), adjncy(edges.size() + 1, 0);
    for (size_t k = 0; k < edges.size(); ++k) {
        ++xadj[static_cast<size_t>(edges[k].first) + 1];
        adjncy[k] = edges[k].second;
    }
    for (std::int64_t i = 0; i < n; ++i) xadj[static_cast<size_t>(i) + 1] += xadj[static_cast<size_t>(i)];

    idx_t nvtxs = static_cast<idx_t>(n), ncon = 1, nparts = parts, objval = 0;
    idx_t options[METIS_NOPTIONS];
    METIS_SetDefaultOptions(options);
    options[METIS_OPTION_NUMBERING] = 0;
    options[METIS_OPTION_SEED] = 1; // fixed: the same partition every run
    std::vector<idx_t> part(static_cast<size_t>(n), 0);
    const int rc = METIS_PartGraphKway(&nvtxs, &ncon, xadj.data(), adjncy.data(), nullptr, nullptr, nullptr, &nparts,
                                       nullptr, nullptr, options, &objval, part.data());
    if (rc != METIS_OK)
        throw std::runtime_error("qvl3d::PartitionGraph: the graph partitioner failed (code " + std::to_string(rc) +
                                 ") on " + std::to_string(n) + " rows into " + std::to_string(parts) + " parts");
    return std::vector<int>(part.begin(), part.end());
#else
    return RowBlocks(n, parts);
#endif
}

} // namespace qvl3d
