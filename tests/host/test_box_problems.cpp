// Problem builders against hand-assembled small cases, and renumbering.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace qvl3d;
using namespace qvl3d::host;

TEST(BoxProblems, SmallCasesMatchTheHandAssembly)
{
    // Poisson on cells of 1/2 x 1 x 1: the x face couples them with area /
    // distance = 1 / 0.5 = 2; every wall face sits at half a cell: 2 * area / h.
    // Convection with v = (1, 0, 0), Peclet 1: eps = 1, so diffusion is
    // Poisson's. The x flux through a unit face is 1: cell 1 sends it to cell
    // 2 through their face (diagonal +1) and takes u = 0 in through its wall;
    // cell 2 takes cell 1's value in (coefficient -2 - 1) and lets it out
    // through its wall (+1). Flowing down z, the upwind side is the upper cell.
    const std::pair<CSparseMatrix, std::vector<test::Entries>> cases[] = {
        {Poisson(CBox{2, 1, 1}), {{{1, 10.0}, {2, -2.0}}, {{1, -2.0}, {2, 10.0}}}},
        {ConvectionDiffusion(CBox{2, 1, 1}, CConvection{1.0, 0.0, 0.0, 1.0}),
         {{{1, 11.0}, {2, -2.0}}, {{1, -3.0}, {2, 11.0}}}},
        {ConvectionDiffusion(CBox{1, 1, 2}, CConvection{0.0, 0.0, -1.0, 1.0}),
         {{{1, 11.0}, {2, -3.0}}, {{1, -2.0}, {2, 11.0}}}},
    };
    for (const auto& [A, rows] : cases) EXPECT_EQ(test::Rows(A), rows);
}

TEST(BoxProblems, ConvectionDiffusionIsAnMMatrixWithSortedSevenPointRows)
{
    const CBox box{5, 4, 3};
    const CSparseMatrix A = ConvectionDiffusion(box, CConvection{1.0, -0.5, 0.25, 50.0});
    ASSERT_EQ(A.nCell, 60);
    EXPECT_EQ(A.NonZeros(), 60 + 2 * (4 * 4 * 3 + 5 * 3 * 3 + 5 * 4 * 2));
    bool someNonSymmetric = false;
    for (int i = 1; i <= A.nCell; ++i) {
        double diag = 0.0, off = 0.0;
        int prev = 0;
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) {
            EXPECT_GT(A.col[e], prev) << "row " << i << " not sorted";
            prev = A.col[e];
            if (A.col[e] == i) {
                diag = A.val[e];
            } else {
                EXPECT_LT(A.val[e], 0.0);
                off += -A.val[e];
                // Compare with the transposed entry.
                const int j = A.col[e];
                for (int f = A.RowBegin(j); f < A.RowEnd(j); ++f)
                    if (A.col[f] == i && A.val[f] != A.val[e]) someNonSymmetric = true;
            }
        }
        EXPECT_GE(diag, off * (1 - 1e-14)) << "row " << i << " not diagonally dominant";
    }
    EXPECT_TRUE(someNonSymmetric);
}

TEST(BoxProblems, RefusesBoxesAndFlowsItCannotBuild)
{
    EXPECT_THROW(Poisson(CBox{0, 3, 3}), std::invalid_argument);
    EXPECT_THROW(ConvectionDiffusion(CBox{2, 2, 2}, CConvection{0.0, 0.0, 0.0, 10.0}), std::invalid_argument);
    EXPECT_THROW(ConvectionDiffusion(CBox{2, 2, 2}, CConvection{1.0, 0.0, 0.0, 0.0}), std::invalid_argument);
    EXPECT_THROW(ConvectionDiffusion(CBox{2, 2, 2}, CConvection{NAN, 0.0, 0.0, 1.0}), std::invalid_argument);
    EXPECT_THROW(Poisson(CBox{100000, 100000, 100000}), std::invalid_argument);
}

TEST(Renumbering, PermutationsAreValidAndRepeatable)
{
    const std::vector<int> reverse = Renumbering(5, ERenumber::Reverse);
    EXPECT_EQ(reverse, (std::vector<int>{0, 5, 4, 3, 2, 1}));
    const std::vector<int> a = Renumbering(1000, ERenumber::Random, 7);
    EXPECT_EQ(a, Renumbering(1000, ERenumber::Random, 7));
    EXPECT_NE(a, Renumbering(1000, ERenumber::Random, 8)); // a permutation: the test below
}

TEST(Renumbering, EachCellMapsBothWaysWithoutTheWholeArray)
{
    // Sizes on either side of the Feistel network's domains (4^k), where the
    // walk back into 1..n is longest.
    for (const ERenumber kind : {ERenumber::None, ERenumber::Reverse, ERenumber::Random})
        for (const int n : {1, 2, 3, 4, 5, 16, 17, 1000, 4097}) {
            const CRenumbering map(n, kind, 11);
            const std::vector<int> p = Renumbering(n, kind, 11);
            std::vector<int> seen(static_cast<size_t>(n) + 1, 0);
            int fixed = 0;
            for (int i = 1; i <= n; ++i) {
                const int q = map.New(i);
                ASSERT_EQ(q, p[static_cast<size_t>(i)]) << n << " cells, cell " << i;
                ASSERT_TRUE(q >= 1 && q <= n && seen[static_cast<size_t>(q)]++ == 0) << n << " cells, cell " << i;
                ASSERT_EQ(map.Old(q), i) << n << " cells, cell " << i;
                fixed += q == i ? 1 : 0;
            }
            if (kind == ERenumber::Random && n >= 1000) {
                EXPECT_LT(fixed, 10) << n << " cells: a random numbering leaves few cells in place";
            }
        }
    EXPECT_THROW(CRenumbering(-1, ERenumber::Random), std::invalid_argument);
    EXPECT_THROW(CRenumbering(5, ERenumber::Random).New(6), std::invalid_argument);
    EXPECT_THROW(CRenumbering(5, ERenumber::Reverse).Old(0), std::invalid_argument);
}

TEST(Renumbering, RenumberedSystemHasThePermutedSolution)
{
    const CSparseMatrix A = ConvectionDiffusion(CBox{4, 3, 2}, CConvection{});
    std::vector<double> b(static_cast<size_t>(A.nCell) + 1);
    for (int i = 1; i <= A.nCell; ++i) b[i] = std::cos(0.3 * i);
    const std::vector<int> p = Renumbering(A.nCell, ERenumber::Random, 3);
    const CSparseMatrix B = RenumberCells(A, p);
    const std::vector<double> x = test::DenseSolve(A, b);
    const std::vector<double> y = test::DenseSolve(B, Permute(b, p));
    const std::vector<double> back = Unpermute(y.data(), p);
    for (int i = 1; i <= A.nCell; ++i) EXPECT_NEAR(back[i], x[i], 1e-12) << "cell " << i;

    // Rows stay sorted, entries are kept.
    EXPECT_EQ(B.NonZeros(), A.NonZeros());
    for (int i = 1; i <= B.nCell; ++i)
        EXPECT_TRUE(std::is_sorted(B.col.begin() + B.RowBegin(i), B.col.begin() + B.RowEnd(i)));
}

TEST(Renumbering, RefusesAMapThatIsNoPermutation)
{
    const CSparseMatrix A = Poisson(CBox{3, 1, 1});
    EXPECT_THROW(RenumberCells(A, {0, 1, 1, 3}), std::invalid_argument); // twice, too short, out of range
    EXPECT_THROW(RenumberCells(A, {0, 1, 2}), std::invalid_argument);
    EXPECT_THROW(RenumberCells(A, {0, 1, 2, 4}), std::invalid_argument);
}
