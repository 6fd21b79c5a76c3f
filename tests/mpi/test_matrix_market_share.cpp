// A matrix file streamed to the ranks: each rank's share must be the one
// Distribute takes from the whole file read on one rank, whatever the chunk
// size, and a fault anywhere in the file must reach every rank with the
// message the whole-file reader gives.
#include "MatrixMarket.h"
#include "MatrixMarketShare.h"
#include "MpiSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

using namespace qvl3d;
using namespace qvl3d::test;

namespace {

// A file every rank can read: rank 0 writes it, the name is the same everywhere.
class CSharedFile {
public:
    CSharedFile(const std::string& name, const std::string& text)
    {
        char dir[64] = "/tmp/qvl3d-share-XXXXXX";
        if (Rank() == 0 && !mkdtemp(dir)) std::abort();
        MPI_Bcast(dir, sizeof dir, MPI_CHAR, 0, MPI_COMM_WORLD);
        m_dir = dir;
        m_path = m_dir + "/" + name;
        if (Rank() == 0) std::ofstream(m_path, std::ios::binary) << text;
        MPI_Barrier(MPI_COMM_WORLD);
    }
    ~CSharedFile()
    {
        MPI_Barrier(MPI_COMM_WORLD);
        if (Rank() == 0) {
            std::remove(m_path.c_str());
            rmdir(m_dir.c_str());
        }
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_dir, m_path;
};

// The whole-file reader's verdict, or "accepted".
std::string WholeFileVerdict(const std::string& path)
{
    return Refusal<host::CInputError>([&] { host::ReadMatrixMarket(path); });
}

} // namespace

TEST(MatrixMarketShare, EveryRankGetsTheShareDistributeTakesFromTheWholeFile)
{
    // General and symmetric files; chunks of one entry, a few, and the default.
    for (const char* name : {"pde900.mtx", "sherman5.mtx", "gr_30_30.mtx", "nos6.mtx"})
        for (long long chunk : {1LL, 7LL, host::kShareChunkEntries}) {
            const std::string path = MatrixPath(name);
            const std::string what = std::string(name) + ", chunks of " + std::to_string(chunk);
            host::CMatrixMarketInfo wholeInfo;
            const host::CSparseMatrix A = host::ReadMatrixMarket(path, &wholeInfo);
            host::COwners owner;
            const host::CRowShare share = host::ReadMatrixMarketShare(MPI_COMM_WORLD, path, &owner, chunk);
            host::BroadcastOwners(MPI_COMM_WORLD, owner);
            EXPECT_EQ(owner, host::PartitionGraph(A, Ranks())) << what;
            EXPECT_EQ(share.nGlobal, A.nCell) << what;
            EXPECT_EQ(share.info.field, wholeInfo.field) << what;
            EXPECT_EQ(share.info.symmetry, wholeInfo.symmetry) << what;
            EXPECT_EQ(share.info.storedEntries, wholeInfo.storedEntries) << what;
            EXPECT_EQ(share.info.duplicatesSummed, wholeInfo.duplicatesSummed) << what;
            ExpectSamePartition(host::PartitionFromShare(MPI_COMM_WORLD, share),
                                host::Distribute(A, owner, Rank(), Ranks()), what);
        }
}

TEST(MatrixMarketShare, FaultsReachEveryRankWithTheWholeFileReadersMessage)
{
    struct CCase {
        const char* what;
        std::string text;
    };
    // Rows high enough to sit on the last ranks of a row or graph partition.
    const std::string head = "%%MatrixMarket matrix coordinate real general\n";
    std::string diagonals;
    for (int i = 1; i <= 11; ++i) diagonals += std::to_string(i) + " " + std::to_string(i) + " 4\n";
    const CCase cases[] = {
        {"accepted: duplicates summed in file order, a row with its entries apart",
         head + "12 12 15\n" + diagonals + "12 12 0.1\n12 1 1e-17\n12 1 1\n12 12 2\n"},
        {"accepted: a symmetric file's mirrored entries",
         "%%MatrixMarket matrix coordinate real symmetric\n12 12 14\n" + diagonals + "12 12 3\n12 2 -1\n9 1 -2\n"},
        {"a bad value in the middle of the file", head + "12 12 13\n" + diagonals + "12 12 x\n12 1 1\n"},
        {"a row with no diagonal, the last", head + "12 12 12\n" + diagonals + "12 1 1\n"},
        {"two faults: the first in row order wins", head + "12 12 13\n" + diagonals + "12 12 0\n3 3 -4\n"},
        {"a sum that overflows", head + "12 12 14\n" + diagonals + "12 12 1\n5 6 1e308\n5 6 1e308\n"},
        {"more entries than declared", head + "12 12 12\n" + diagonals + "12 12 1\n12 1 1\n"},
        {"too few entries", head + "12 12 13\n" + diagonals + "12 12 1\n"},
        {"no banner", "12 12 12\n" + diagonals + "12 12 1\n"},
    };
    for (const CCase& c : cases)
        for (long long chunk : {1LL, 5LL, host::kShareChunkEntries}) {
            const CSharedFile file("m.mtx", c.text);
            const std::string want = WholeFileVerdict(file.Path());
            host::CRowShare share;
            const std::string got = Refusal<host::CInputError>(
                [&] { share = host::ReadMatrixMarketShare(MPI_COMM_WORLD, file.Path(), nullptr, chunk); });
            EXPECT_EQ(got, want) << c.what << ", chunks of " << chunk;
            if (got != "accepted") continue;
            // Accepted: the share holds the whole reader's rows.
            const host::CSparseMatrix A = host::ReadMatrixMarket(file.Path());
            const host::COwners owner = host::PartitionGraph(A, Ranks());
            ExpectSamePartition(host::PartitionFromShare(MPI_COMM_WORLD, share),
                                host::Distribute(A, owner, Rank(), Ranks()), c.what);
        }
    const std::string missing = "/nonexistent/qvl3d/m.mtx";
    EXPECT_EQ(Refusal<host::CInputError>([&] { host::ReadMatrixMarketShare(MPI_COMM_WORLD, missing); }),
              WholeFileVerdict(missing));
}

TEST(MatrixMarketShare, TheSolutionStreamedFromTheRanksIsTheFileOfTheWholeVector)
{
    // Any chunk size writes the bytes WriteVectorMarket writes for the
    // gathered vector; a file that cannot be written is root's fault alone,
    // and every rank still returns.
    const host::CSparseMatrix A = host::ReadMatrixMarket(MatrixPath("pde900.mtx"));
    const host::CPartition part = host::Distribute(A, host::PartitionGraph(A, Ranks()), Rank(), Ranks());
    std::vector<double> x(part.global.size(), 0.0), whole(static_cast<size_t>(A.nCell) + 1, 0.0);
    for (size_t c = 1; c < x.size(); ++c) x[c] = std::sin(0.37 * part.global[c]) / (1.0 + part.global[c]);
    for (int c = 1; c <= A.nCell; ++c) whole[static_cast<size_t>(c)] = std::sin(0.37 * c) / (1.0 + c);
    const CSharedFile expected("whole.mtx", "");
    if (Rank() == 0) host::WriteVectorMarket(expected.Path(), whole.data(), A.nCell, "a comment\nof two lines");
    const auto bytes = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    for (int chunk : {1, 7, 899, 900, host::kShareChunkCells}) {
        const CSharedFile out("x.mtx", "");
        const std::string fault = host::WriteVectorMarketShare(MPI_COMM_WORLD, out.Path(), part, x.data(), A.nCell,
                                                               "a comment\nof two lines", chunk);
        EXPECT_EQ(fault, "") << "chunks of " << chunk;
        if (Rank() == 0) {
            EXPECT_EQ(bytes(out.Path()), bytes(expected.Path())) << "chunks of " << chunk;
        }
    }
    const std::string fault =
        host::WriteVectorMarketShare(MPI_COMM_WORLD, "/nonexistent/qvl3d/x.mtx", part, x.data(), A.nCell, "", 100);
    if (Rank() == 0) {
        EXPECT_NE(fault.find("cannot write /nonexistent/qvl3d/x.mtx"), std::string::npos) << fault;
    } else {
        EXPECT_EQ(fault, "");
    }
}

TEST(MatrixMarketShare, VectorFilesReachEachRankAsTheWholeReaderReadsThem)
{
    // Each rank asks for every Ranks()-th cell, backwards, and for one cell
    // of the next rank (a halo); the last rows, where the faults sit, are
    // on different ranks.
    const int n = 12;
    std::vector<int> ids;
    for (int c = n - Rank(); c >= 1; c -= Ranks()) ids.push_back(c);
    if (Ranks() > 1) ids.push_back(n - (Rank() + 1) % Ranks());
    std::string values, integers;
    for (int i = 1; i <= n; ++i) {
        char v[32];
        std::snprintf(v, sizeof v, "%.17g\n", 0.25 * i - 1.0 / (i + 2));
        values += v;
        integers += std::to_string(7 * i - 40) + "\n";
    }
    const std::string array = "%%MatrixMarket matrix array real general\n% comment\n12 1\n";
    const std::string coordinate = "%%MatrixMarket matrix coordinate real general\n12 1 5\n";
    const std::string lastBad = values.substr(0, values.rfind('\n', values.size() - 2) + 1) + "1.5.2\n";
    const std::string oneShort = values.substr(0, values.rfind('\n', values.size() - 2) + 1);
    const std::pair<const char*, std::string> cases[] = {
        {"an array file", array + values},
        {"an integer array file", "%%MatrixMarket matrix array integer general\n12 1\n" + integers},
        {"coordinate: rows in any order, one thrice, absent ones zero",
         coordinate + "12 1 1.5\n3 1 -2\n12 1 1e-17\n1 1 4\n12 1 -0.75\n"},
        {"coordinate: a sum that overflows, then a bad value",
         coordinate + "12 1 1e308\n12 1 1e308\n1 1 x\n2 1 1\n3 1 1\n"},
        {"coordinate: a bad value before the overflow", coordinate + "1 1 x\n12 1 1e308\n12 1 1e308\n2 1 1\n3 1 1\n"},
        {"coordinate: too few entries", coordinate + "12 1 1\n3 1 1\n"},
        {"coordinate: a row out of range", coordinate + "12 1 1\n13 1 1\n1 1 1\n2 1 1\n3 1 1\n"},
        {"array: a bad value in the last row", array + lastBad},
        {"array: too few values", array + oneShort},
        {"array: a value too many", array + values + "1\n"},
        {"array: the wrong size", "%%MatrixMarket matrix array real general\n13 1\n" + values + "1\n"},
    };
    for (const auto& c : cases)
        for (int chunk : {1, 2, 5, host::kShareChunkCells}) {
            const CSharedFile file("v.mtx", c.second);
            std::vector<double> whole, share;
            const std::string refusal =
                Refusal<host::CInputError>([&] { whole = host::ReadVectorMarket(file.Path(), n); });
            const std::string got = Refusal<host::CInputError>(
                [&] { share = host::ReadVectorMarketShare(MPI_COMM_WORLD, file.Path(), n, ids, chunk); });
            const std::string what = std::string(c.first) + ", chunks of " + std::to_string(chunk);
            EXPECT_EQ(got, refusal) << what;
            if (got != "accepted") continue;
            ASSERT_EQ(share.size(), ids.size()) << what;
            for (size_t k = 0; k < ids.size(); ++k)
                EXPECT_TRUE(BitEqual(share[k], whole[static_cast<size_t>(ids[k])])) << what << ", cell " << ids[k];
        }
}

TEST(MatrixMarketShare, ARenumberedFileIsTheShareOfTheRenumberedMatrix)
{
    // The share of the matrix renumbered whole, partitioned as it would be,
    // whatever the chunk size; faults still name the file's own rows.
    for (const host::ERenumber kind : {host::ERenumber::Reverse, host::ERenumber::Random})
        for (long long chunk : {3LL, host::kShareChunkEntries}) {
            const std::string path = MatrixPath("sherman5.mtx");
            const host::CSparseMatrix A = host::ReadMatrixMarket(path);
            const std::vector<int> p = host::Renumbering(A.nCell, kind, 9);
            const host::CSparseMatrix B = host::RenumberCells(A, p);
            const host::CRowShare share = host::ReadMatrixMarketShare(MPI_COMM_WORLD, path, nullptr, chunk, 0, kind, 9);
            const std::string what = std::string(kind == host::ERenumber::Random ? "random" : "reverse") +
                                     ", chunks of " + std::to_string(chunk);
            ExpectSamePartition(host::PartitionFromShare(MPI_COMM_WORLD, share),
                                host::Distribute(B, host::PartitionGraph(B, Ranks()), Rank(), Ranks()), what);
        }
    std::string diagonals;
    for (int i = 1; i <= 11; ++i) diagonals += std::to_string(i) + " " + std::to_string(i) + " 4\n";
    const CSharedFile file("m.mtx", "%%MatrixMarket matrix coordinate real general\n12 12 13\n" + diagonals +
                                        "12 12 0\n3 3 -4\n");
    EXPECT_EQ(Refusal<host::CInputError>([&] {
                  host::ReadMatrixMarketShare(MPI_COMM_WORLD, file.Path(), nullptr, 2, 0, host::ERenumber::Random, 1);
              }),
              WholeFileVerdict(file.Path()));
}
