// The host check: a sound host passes; each kind of broken precondition is
// reported in words that name the place; a corrupted host never makes the
// check itself read out of bounds.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

using namespace qvl3d;
using namespace qvl3d::host;
using namespace qvl3d::test;

namespace {

// 3 x 2 x 2 Poisson box with a halo cell (13) touching cell 12.
CSparseMatrix Sample()
{
    const CSparseMatrix P = Poisson(CBox{3, 2, 2});
    CSparseBuilder b(12, 13);
    for (int i = 1; i <= 12; ++i) {
        for (int e = P.RowBegin(i); e < P.RowEnd(i); ++e) b.Add(i, P.col[e], P.val[e]);
        if (i == 12) b.Add(12, 13, -0.5);
    }
    return b.Finish();
}

} // namespace

TEST(Validation, ASoundHostPassesAndANativeOnlyOneOnItsOwnLayout)
{
    CHostSystem h(Sample());
    h.SetVariable(0, 10, 1e-6);
    EXPECT_EQ(h.Validate(0).Text(), "no problems");
    h.mesh.m_pdCSRValue = nullptr;
    h.gpu.m_pdELLValue = nullptr;
    EXPECT_TRUE(ValidateHost(h.mesh, h.store, h.gpu, h.Room(), LayoutBit(ELayout::Native)).Ok());
}

TEST(Validation, EachBrokenPreconditionIsNamed)
{
    using H = CHostSystem&;
    using R = CHostRoom&;
    const int nTotal = 13;
    const std::pair<std::function<void(H, R)>, const char*> cases[] = {
        // Native rows and ordered slot lists.
        {[](H h, R) { h.mesh.m_ppiNeighbor[2][1] = 99; }, "cell 2, slot 1: neighbour 99 is outside 1..13"},
        {[](H h, R) { h.mesh.m_ppiNeighbor[2][1] = 2; }, "cell 2, slot 1: the neighbour is the cell itself"},
        {[](H h, R) { h.store.m_ppdCoef[5][0] = 0.0; }, "cell 5: diagonal m_ppdCoef[5][0] is zero"},
        {[](H h, R) { h.store.m_ppdCoef[5][2] = NAN; }, "cell 5, slot 2: coefficient nan is not finite"},
        {[](H h, R) { h.mesh.m_piNumNeighbor[13] = -1; }, "cell 13: neighbour count -1 is outside 0..13"},
        {[](H h, R) { h.store.m_ppiOrderedSlot[5][1] = h.store.m_ppiOrderedSlot[5][2]; },
         "cell 5: the ordered slot list is not a permutation"},
        {[](H h, R) { h.store.m_ppiOrderedSlot[5][1] = 7; }, "cell 5, ordered place 1: slot 7 is outside 0..4"},
        {[](H h, R) { h.store.m_piDiagPos[5] = 9; }, "cell 5: m_piDiagPos is 9, outside 1..5"},
        {[](H h, R) { h.store.m_piDiagPos[5] += 1; }, "holds the diagonal, but m_piDiagPos is"},
        // Cell 5 (ix 1, iy 1, iz 0): neighbours 2, 4, 6, 11. Swap a lower and an upper place.
        {[](H h, R) { std::swap(h.store.m_ppiOrderedSlot[5][1], h.store.m_ppiOrderedSlot[5][5]); },
         "stands in the lower part but its column is above the cell"},
        // CSR rows.
        {[](H h, R) { h.mesh.m_piCSRRowStart[4] = h.mesh.m_piCSRRowStart[3]; }, "CSR: row 3 is empty or reversed"},
        {[](H h, R) { h.mesh.m_piCSRColumn[h.mesh.m_piCSRRowStart[4] + 1] = 0; },
         "CSR row 4, entry 14: column 0 is outside 1..13"},
        {[](H h, R) { h.mesh.m_pdCSRValue[h.mesh.m_piCSRRowStart[4] + 1] = -7.0; },
         "CSR row 4 differs from the native row: entry (column 1, -7) against (column 1, -0.33333333333333331)"},
        {[](H h, R) { h.mesh.m_pdCSRValue[h.mesh.m_piCSRRowStart[4]] = 0.0; },
         "CSR row 4: diagonal (entry 13) is zero"},
        {[](H, R r) { r.csrEntries -= 1; }, "CSR: the rows reach entry"},
        {[](H h, R) { h.mesh.m_pdCSRValue = nullptr; }, "m_pdCSRValue is null"},
        // ELL slots.
        {[&](H h, R) { h.gpu.m_piELLColumn[1 * nTotal + 3] = 20; },
         "ELL row 4, slot 1: column 20 is neither -1 nor in 1..13"},
        {[&](H h, R) { h.gpu.m_piELLColumn[1 * nTotal + 3] = -1; },
         "ELL row 4: 2 occupied off-diagonal slots, but m_piNumNeighbor says 3"},
        {[&](H h, R) { h.gpu.m_pdELLValue[2 * nTotal + 3] = 1.0; }, "ELL row 4 differs from the native row"},
        {[](H h, R) { h.gpu.m_nELLWidth = 0; }, "ELL: m_nELLWidth is 0"},
        {[](H h, R) { h.gpu.m_nELLWidth = 300000000; }, "exceeds the int range of the entry index"},
        {[](H h, R) { h.gpu.m_nELLWidth = 3; }, "ELL: m_nELLWidth is 3 but a cell has 4 neighbours"},
        {[](H h, R) { h.store.m_piOrderedSlotELL[0 * 12 + 4] = 9; },
         "ELL row 5, ordered place 1: slot 9 is outside 0..4"},
        {[](H, R r) { r.ellEntries = 10; },
         "m_pdELLValue has room for 10 elements; it needs 65 (width x m_nCellTotal)"},
        // Settings, vectors and counts.
        {[](H h, R) { *h.store.m_piSilent = *h.store.m_piPrintInterval = 0; },
         "m_piPrintInterval is 0 while m_piSilent is 0"},
        {[](H h, R) { h.store.m_pdVecT = nullptr; }, "m_pdVecT is null"},
        {[](H h, R) { h.store.m_pdVecSHat = h.store.m_pdVecPHat; }, "m_pdVecSHat and m_pdVecPHat are the same array"},
        {[](H, R r) { r.vecPHat = 13; },
         "m_pdVecPHat has room for 13 elements; it needs 14 (cells 1..m_nCellTotal: it is exchanged)"},
        {[](H h, R) { h.store.m_pdTolerance[0] = -1.0; },
         "variable 0: tolerance -1 is not a finite non-negative number"},
        {[](H h, R) { h.mesh.m_nCellTotal = 5; }, "mesh: m_nCellTotal (5) is less than m_nCell (12)"},
    };
    for (const auto& [corrupt, fragment] : cases) {
        CHostSystem h(Sample());
        CHostRoom room = h.Room();
        corrupt(h, room);
        const CValidationReport report = ValidateHost(h.mesh, h.store, h.gpu, room, kAllLayouts, 0, 50);
        EXPECT_FALSE(report.Ok()) << fragment;
        EXPECT_HAS(report.Text(), fragment);
    }
}

TEST(Validation, ReportsTheFirstProblemsAndCountsTheRest)
{
    CHostSystem h(Sample());
    for (int i = 1; i <= 12; ++i) h.store.m_ppdCoef[i][0] = 0.0;
    const CValidationReport report = ValidateHost(h.mesh, h.store, h.gpu, h.Room(), LayoutBit(ELayout::Native), -1, 3);
    EXPECT_EQ(report.count, 12);
    ASSERT_EQ(report.problems.size(), 3u);
    EXPECT_EQ(report.problems[0], "cell 1: diagonal m_ppdCoef[1][0] is zero (Gauss-Seidel divides by it)");
    EXPECT_HAS(report.Text(), "... and 9 more");
}

TEST(Validation, CorruptedIndicesNeverLeadTheCheckAstray)
{
    // Random values in every index array whose room the check knows; the
    // sanitizer build turns any stray read into a failure.
    std::mt19937 gen(5);
    std::uniform_int_distribution<int> pick(-3, 20);
    for (int round = 0; round < 300; ++round) {
        CHostSystem h(Sample());
        const int n = 12, nTotal = 13, width = h.gpu.m_nELLWidth;
        for (int k = 0; k < 4; ++k) {
            const int i = 1 + static_cast<int>(gen() % n);
            switch (gen() % 6) {
            case 0: h.mesh.m_ppiNeighbor[i][1 + gen() % h.mesh.m_piNumNeighbor[i]] = pick(gen); break;
            case 1: h.store.m_ppiOrderedSlot[i][1 + gen() % (h.mesh.m_piNumNeighbor[i] + 1)] = pick(gen); break;
            case 2: h.store.m_piDiagPos[i] = pick(gen); break;
            case 3: h.mesh.m_piCSRRowStart[i] = pick(gen) * 3; break;
            case 4: h.gpu.m_piELLColumn[(gen() % width) * nTotal + (i - 1)] = pick(gen); break;
            case 5: h.store.m_piOrderedSlotELL[(gen() % width) * n + (i - 1)] = pick(gen); break;
            }
        }
        const CValidationReport report = h.Validate();
        EXPECT_LE(report.problems.size(), 10u);
    }
}
