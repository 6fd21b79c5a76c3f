// The exported graph partitioner: the same parts through 32- and 64-bit
// offsets and through the reference host's partitioner, the part numbers in
// range, and broken input refused with what is wrong and where. (How well it
// cuts is test_partition's.)
#include <qvl3d/GraphPartition.h>

#include "BoxProblems.h"
#include "Partition.h"
#include "TestCsr.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using namespace qvl3d;
using test::CCsr;

namespace {

std::string Refusal(const CCsrView& A, int parts)
{
    try {
        PartitionGraph(A, parts);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(GraphPartition, TheSamePartsThroughEitherOffsetsAndTheHostsPartitioner)
{
    const host::CSparseMatrix A = host::ConvectionDiffusion(host::CBox{9, 7, 5}, host::CConvection{});
    const CCsr csr = test::ToCsr(A);
    for (int parts : {1, 2, 3, 7}) {
        const std::vector<int> part = PartitionGraph(csr.View(), parts);
        ASSERT_EQ(part.size(), static_cast<size_t>(A.nCell));
        EXPECT_EQ(part, PartitionGraph(csr.View64(), parts)) << parts << " parts";
        const host::COwners owner = host::PartitionGraph(A, parts);
        EXPECT_EQ(std::vector<int>(owner.begin() + 1, owner.end()), part) << parts << " parts";
        std::vector<int> count(static_cast<size_t>(parts), 0);
        for (int p : part) {
            ASSERT_TRUE(p >= 0 && p < parts) << p;
            ++count[static_cast<size_t>(p)];
        }
        for (int c : count) EXPECT_GT(c, A.nCell / parts / 2) << parts << " parts";
    }
    // As many parts as rows or more: row k is part k, the rest empty, and
    // nothing printed (the graph partitioner once printed its complaints,
    // put every row in one part, and for some counts ended the process).
    for (const auto& [box, parts] :
         {std::pair{host::CBox{2, 1, 1}, 2}, {host::CBox{5, 1, 1}, 40}, {host::CBox{3, 3, 1}, 9}}) {
        const CCsr small = test::ToCsr(host::Poisson(box));
        testing::internal::CaptureStdout();
        const std::vector<int> part = PartitionGraph(small.View(), parts);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        std::vector<int> each(part.size());
        for (size_t k = 0; k < each.size(); ++k) each[k] = static_cast<int>(k);
        EXPECT_EQ(part, each) << small.rows << " rows, " << parts << " parts";
    }
}

TEST(GraphPartition, BrokenInputIsRefusedNamingTheFault)
{
    CCsr c = test::ToCsr(host::Poisson(host::CBox{3, 2, 1}));
    CCsr badColumn = c;
    badColumn.col[5] = 6;
    CCsr decreasing = c;
    decreasing.start[3] = decreasing.start[2] - 1;
    CCsr late = c;
    late.start[0] = 1;
    const struct {
        const char* what;
        CCsrView view;
        int parts;
        const char* message;
    } cases[] = {
        {"no parts", c.View(), 0, "0 parts (at least 1)"},
        {"a column past the last row", badColumn.View(), 2, "names column 6 outside 0..5"},
        {"decreasing offsets", decreasing.View(), 2, "the offsets decrease at row 2"},
        {"offsets not from 0", late.View(), 2, "the offsets start at 1"},
        {"both offsets", CCsrView{c.rows, c.start.data(), c.start64.data(), c.col.data(), nullptr}, 2,
         "exactly one of rowStart32 and rowStart64"},
        {"null columns", CCsrView{c.rows, c.start.data(), nullptr, nullptr, nullptr}, 2, "the columns are null"},
        {"negative rows", CCsrView{-1, c.start.data(), nullptr, c.col.data(), nullptr}, 2, "a negative count"},
    };
    for (const auto& k : cases) {
        const std::string got = Refusal(k.view, k.parts);
        EXPECT_NE(got.find(k.message), std::string::npos) << k.what << ": " << got;
        EXPECT_NE(got.find("qvl3d::PartitionGraph"), std::string::npos) << k.what << ": " << got;
    }
}
