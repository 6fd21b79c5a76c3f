// The sweep rows' schedules, checked for what the sweeps rely on whatever
// the pattern: every owned row once, each after every row it waits for,
// blocks of consecutive rows, and the shape each group is run by. (That
// the sweeps give the ascending sweep's bits is test_reference's.)
#include "BoxProblems.h"
#include "HostSystem.h"
#include "MatrixMarket.h"
#include "TestSupport.h"
#include "detail/Layouts.h"
#include "detail/SweepRows.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using namespace qvl3d;
using test::Refusal;

namespace {

// A chain: row i holds i-1 and i+1, so that no two rows of a sweep are
// independent and every block ends at the most rows a block takes.
host::CSparseMatrix Chain(int n)
{
    host::CSparseBuilder builder(n, n);
    for (int i = 1; i <= n; ++i) {
        if (i > 1) builder.Add(i, i - 1, -1.0);
        builder.Add(i, i, 2.0);
        if (i < n) builder.Add(i, i + 1, -1.0);
    }
    return builder.Finish();
}

// The problems of schedule S over part P (rows 1..n, `descending`), or "".
std::string Problems(const detail::CSweepPart& P, const detail::CSweepSchedule& S, int n, bool descending)
{
    if (static_cast<int>(S.shape.size()) != S.Groups()) return "one shape per group expected";
    std::vector<int> groupOf(static_cast<size_t>(n) + 1, -1);
    for (int b = 0; b < S.Blocks(); ++b) {
        const int lo = descending ? S.blockFirst[b + 1] + 1 : S.blockFirst[b];
        const int hi = descending ? S.blockFirst[b] : S.blockFirst[b + 1] - 1;
        if (hi - lo + 1 > detail::kMaxBlockRows) return "block " + std::to_string(b) + " is too long";
        for (int g = S.blockGroup[b]; g < S.blockGroup[b + 1]; ++g) {
            const int* i = S.order.data() + 4 * g;
            int rows = 1;
            while (rows < 4 && i[rows] != i[rows - 1]) ++rows;
            for (int k = rows; k < 4; ++k)
                if (i[k] != i[rows - 1]) return "group " + std::to_string(g) + " repeats another row";
            if (S.shape[g] != detail::ShapeOf(P, i, rows)) return "group " + std::to_string(g) + ": another shape";
            for (int k = 0; k < rows; ++k) {
                if (i[k] < lo || i[k] > hi) return "row " + std::to_string(i[k]) + " outside its block";
                if (groupOf[i[k]] >= 0) return "row " + std::to_string(i[k]) + " twice";
                groupOf[i[k]] = g;
            }
        }
    }
    for (int i = 1; i <= n; ++i) {
        if (groupOf[i] < 0) return "row " + std::to_string(i) + " never runs";
        for (int e = P.start[i]; e < P.start[i + 1]; ++e) {
            const int j = P.col[e];
            if (j <= n && groupOf[j] >= groupOf[i])
                return "row " + std::to_string(i) + " runs before or beside row " + std::to_string(j);
        }
    }
    return "";
}

} // namespace

TEST(SweepSchedule, EveryRowOnceAfterWhatItWaitsForInEveryLayout)
{
    struct CCase {
        std::string name;
        host::CSparseMatrix A;
        int blocks; // of either sweep, where the pattern fixes it (0: any)
    };
    const CCase cases[] = {
        {"7-point box", host::Poisson(host::CBox{9, 7, 5}), 0},
        {"sherman1.mtx", host::ReadMatrixMarket(test::MatrixPath("sherman1.mtx")), 0},
        {"a chain longer than a block", Chain(detail::kMaxBlockRows + 1000), 2},
    };
    for (const CCase& c : cases) {
        const host::CHostSystem h(c.A, 1);
        const int n = c.A.nCell;
        const auto check = [&](const auto& rows, const char* layout) {
            detail::CTriangularRows T;
            detail::DeriveTriangular(T, rows);
            const std::string what = c.name + " | " + layout;
            EXPECT_EQ(Problems(T.lower, T.forward, n, false), "") << what << " | forward";
            EXPECT_EQ(Problems(T.upper, T.backward, n, true), "") << what << " | backward";
            if (c.blocks > 0) EXPECT_EQ(T.forward.Blocks(), c.blocks) << what;
            if (c.blocks > 0) EXPECT_EQ(T.backward.Blocks(), c.blocks) << what;
        };
        check(detail::NativeRowsOf(&h.store, &h.mesh), "native");
        check(detail::CsrRowsOf(&h.mesh), "CSR");
        check(detail::EllRowsOf(&h.gpu, &h.store, &h.mesh), "ELL");
    }
}

// A part whose forward row waits for a row after it is refused, naming the
// row; sweep rows kept for a pattern take only that pattern again.
TEST(SweepSchedule, RefusesRowsOutOfOrderAndAnotherPatternUnderKeptRows)
{
    detail::CSweepPart P;
    P.Fill(3, false, false, [](int i, auto&& f) {
        if (i == 2) f(3, 1.0); // row 2 waits for row 3 in an ascending sweep
    });
    EXPECT_HAS(Refusal<std::logic_error>([&] { detail::ScheduleOf(P, 3, false); }),
               "sweep rows: row 2 waits for a row that does not come before it");

    P.Fill(3, true, false, [](int i, auto&& f) { f(i % 3 + 1, 0.5 * i); });
    EXPECT_EQ(std::vector<int>(P.col.begin(), P.col.end()), (std::vector<int>{2, 3, 1}));
    P.Fill(3, true, true, [](int i, auto&& f) { f(i % 3 + 1, 2.0 * i); }); // new values
    EXPECT_EQ(std::vector<double>(P.val.begin(), P.val.end()), (std::vector<double>{2.0, 4.0, 6.0}));
    for (int extra : {0, 2})
        EXPECT_HAS(Refusal<std::logic_error>([&] {
                       P.Fill(3, true, true, [&](int i, auto&& f) {
                           for (int k = 0; k < (i == 2 ? extra : 1); ++k) f(i, 1.0);
                       });
                   }),
                   "another pattern than the one kept");
}
