// The distributed command's per-rank box problem: every rank's share built
// from its sub-box (SetUpBoxShare) against the share of the whole problem
// (SetUpProblem, then Distribute and Localise), bit for bit, with and
// without vector files.
#include "MatrixMarket.h"
#include "Partition.h"
#include "SolveProblem.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::app;

namespace {

void ExpectSameVector(const std::vector<double>& want, const std::vector<double>& got, const std::string& where)
{
    ASSERT_EQ(got.size(), want.size()) << where;
    for (size_t l = 0; l < want.size(); ++l)
        ASSERT_TRUE(test::BitEqual(got[l], want[l]))
            << where << ", local cell " << l << ": " << got[l] << " vs " << want[l];
}

// Rank `rank`'s share of the box with its vectors, the files read whole and
// cut as the streamed reader cuts them.
CProblem BoxShare(const CCommandOptions& o, int rank, int nRanks, host::CPartition& part, int& badRow)
{
    CProblem p = SetUpBoxShare(o, rank, nRanks, part);
    const int n = static_cast<int>(o.box.Cells());
    CShareFiles files = ReadShareFiles(
        o, [&](const std::string& path) { return host::Localise(part, host::ReadVectorMarket(path, n)); });
    ShareVectors(
        o, std::move(files), part, [&] { return host::BoxRowSums(BoxStencil(o), part); }, p, badRow);
    return p;
}

} // namespace

TEST(BoxShare, EveryRankGetsItsShareOfTheWholeProblem)
{
    test::CScratchDir dir;
    // Files over the 7x5x3 box with values that differ from cell to cell.
    const int n = 7 * 5 * 3;
    std::vector<double> b(n + 1), exact(n + 1), guess(n + 1);
    for (int i = 1; i <= n; ++i) {
        b[i] = 1.0 / i;
        exact[i] = 3.0 - 0.125 * i;
        guess[i] = 0.5 * i;
    }
    host::WriteVectorMarket(dir.Path("b.mtx"), b.data(), n);
    host::WriteVectorMarket(dir.Path("x.mtx"), exact.data(), n);
    host::WriteVectorMarket(dir.Path("g.mtx"), guess.data(), n);
    const std::vector<std::vector<std::string>> cases = {
        {"--grid", "7x5x3"},
        {"--grid", "1x1x2", "--problem", "poisson"},
        {"--grid", "6x6x6", "--velocity", "1,-0.5,0.25", "--peclet", "7"},
        {"--grid", "7x5x3", "--rhs", dir.Path("b.mtx"), "--exact", dir.Path("x.mtx"), "--x0", dir.Path("g.mtx")},
        {"--grid", "7x5x3", "--problem", "poisson", "--exact", dir.Path("x.mtx")},
    };
    for (const auto& args : cases) {
        const CCommandOptions o = ParseOptions(args);
        ASSERT_TRUE(BoxShareApplies(o));
        const CProblem whole = SetUpProblem(o);
        for (int nRanks : {1, 2, 3, 5}) {
            const host::COwners owner = host::PartitionBox(o.box, nRanks);
            for (int rank = 0; rank < nRanks; ++rank) {
                std::string where;
                for (const std::string& a : args) where += a + " ";
                where += "rank " + std::to_string(rank) + " of " + std::to_string(nRanks);
                const host::CPartition want = host::Distribute(whole.A, owner, rank, nRanks);
                host::CPartition part;
                int badRow = -1;
                const CProblem got = BoxShare(o, rank, nRanks, part, badRow);
                EXPECT_EQ(badRow, 0) << where;
                EXPECT_EQ(got.description, whole.description) << where;
                EXPECT_EQ(test::Rows(got.A), test::Rows(want.A)) << where;
                EXPECT_EQ(part.global, want.global) << where;
                EXPECT_EQ(part.Cells(), want.Cells()) << where;
                EXPECT_EQ(part.HaloCells(), want.HaloCells()) << where;
                ExpectSameVector(host::Localise(want, whole.b), got.b, where + ", b");
                ExpectSameVector(host::Localise(want, whole.x0), got.x0, where + ", x0");
                if (whole.exact.empty())
                    EXPECT_TRUE(got.exact.empty()) << where;
                else
                    ExpectSameVector(host::Localise(want, whole.exact), got.exact, where + ", exact");
            }
        }
    }
}

TEST(BoxShare, AnOverflowingRowIsFoundByTheRankThatOwnsIt)
{
    // A diffusion coefficient near the largest double: the diagonals
    // overflow, and the ranks must agree on the whole build's first row.
    const CCommandOptions o = ParseOptions({"--grid", "4x1x1", "--velocity", "1,0,0", "--peclet", "1e-308"});
    const std::string whole = test::Refusal<host::CInputError>([&] { SetUpProblem(o); });
    ASSERT_EQ(whole.rfind("the built-in box: row ", 0), 0u) << whole;
    for (int nRanks : {1, 2, 3}) {
        int first = 0;
        for (int rank = 0; rank < nRanks; ++rank) {
            host::CPartition part;
            int badRow = 0;
            BoxShare(o, rank, nRanks, part, badRow);
            if (badRow > 0 && (first == 0 || badRow < first)) first = badRow;
        }
        ASSERT_GT(first, 0) << nRanks << " ranks";
        EXPECT_EQ(test::Refusal<host::CInputError>([&] { ThrowNonFiniteRhs(o, first); }), whole) << nRanks << " ranks";
    }
}

TEST(BoxShare, RenumberedBoxesAndMatrixFilesAreNoPlainBox)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--grid", "4", "--renumber", "reverse"},
                                                 {"--matrix", test::MatrixPath("pde900.mtx")}}) {
        const CCommandOptions o = ParseOptions(args);
        EXPECT_FALSE(BoxShareApplies(o)) << args[1];
        host::CPartition part;
        EXPECT_THROW(SetUpBoxShare(o, 0, 2, part), std::logic_error) << args[1];
    }
}
