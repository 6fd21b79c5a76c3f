// The layout builder: the three-cell example member for member, the ordered
// slot lists (whatever the storage order), and what the builder refuses.
#include "BoxProblems.h"
#include "TestSupport.h"

#include <qvl3d/QVLMemTool.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::host;
using namespace qvl3d::test;

TEST(HostSystem, FillsTheThreeCellExampleMemberForMember)
{
    const double a11 = 4, a12 = -1, a22 = 5, a21 = -2, a23 = -1.5, a33 = 6, a32 = -0.5, a34 = -0.25;
    CHostSystem h(ThreeCellExample(a11, a12, a22, a21, a23, a33, a32, a34));
    const CQVL3DFiniteVolumeMesh& m = h.mesh;
    const CQvl3dGV& s = h.store;
    ASSERT_EQ(m.m_nCell, 3);
    ASSERT_EQ(m.m_nCellTotal, 4);

    EXPECT_EQ(std::vector<int>(m.m_piNumNeighbor + 1, m.m_piNumNeighbor + 4), (std::vector<int>{1, 2, 2}));
    EXPECT_EQ(m.m_ppiNeighbor[1][1], 2);
    EXPECT_EQ(std::vector<int>(m.m_ppiNeighbor[2] + 1, m.m_ppiNeighbor[2] + 3), (std::vector<int>{1, 3}));
    EXPECT_EQ(std::vector<int>(m.m_ppiNeighbor[3] + 1, m.m_ppiNeighbor[3] + 3), (std::vector<int>{2, 4}));
    EXPECT_EQ(std::vector<double>(s.m_ppdCoef[1], s.m_ppdCoef[1] + 2), (std::vector<double>{a11, a12}));
    EXPECT_EQ(std::vector<double>(s.m_ppdCoef[2], s.m_ppdCoef[2] + 3), (std::vector<double>{a22, a21, a23}));
    EXPECT_EQ(std::vector<double>(s.m_ppdCoef[3], s.m_ppdCoef[3] + 3), (std::vector<double>{a33, a32, a34}));
    EXPECT_EQ(std::vector<int>(s.m_ppiOrderedSlot[1] + 1, s.m_ppiOrderedSlot[1] + 3), (std::vector<int>{0, 1}));
    EXPECT_EQ(std::vector<int>(s.m_ppiOrderedSlot[2] + 1, s.m_ppiOrderedSlot[2] + 4), (std::vector<int>{1, 0, 2}));
    EXPECT_EQ(std::vector<int>(s.m_ppiOrderedSlot[3] + 1, s.m_ppiOrderedSlot[3] + 4), (std::vector<int>{1, 0, 2}));
    EXPECT_EQ(std::vector<int>(s.m_piDiagPos + 1, s.m_piDiagPos + 4), (std::vector<int>{1, 2, 2}));

    EXPECT_EQ(std::vector<int>(m.m_piCSRRowStart + 1, m.m_piCSRRowStart + 5), (std::vector<int>{0, 2, 5, 8}));
    EXPECT_EQ(std::vector<double>(m.m_pdCSRValue, m.m_pdCSRValue + 8),
              (std::vector<double>{a11, a12, a22, a21, a23, a33, a32, a34}));
    for (int e : {1, 3, 4, 6, 7}) EXPECT_EQ(m.m_piCSRColumn[e], (std::vector<int>{0, 2, 0, 1, 3, 0, 2, 4})[e]) << e;

    const CQVLGVGPU& g = h.gpu;
    EXPECT_EQ(g.m_nELLWidth, 3);
    const int used[] = {0, 1, 2, 4, 5, 6, 9, 10};
    const double values[12] = {a11, a22, a33, 0, a12, a21, a32, 0, 0, a23, a34, 0};
    const int columns[12] = {0, 0, 0, 0, 2, 1, 2, 0, -1, 3, 4, 0};
    for (int e : used) EXPECT_EQ(g.m_pdELLValue[e], values[e]) << "ELL value " << e;
    for (int e : {4, 5, 6, 8, 9, 10}) EXPECT_EQ(g.m_piELLColumn[e], columns[e]) << "ELL column " << e;
    const int ordered[9] = {0, 1, 1, 1, 0, 0, -7, 2, 2};
    for (int k : {0, 1, 2, 3, 4, 5, 7, 8}) EXPECT_EQ(s.m_piOrderedSlotELL[k], ordered[k]) << "ordered ELL " << k;

    // Settings and room for a solve; the validation agrees.
    EXPECT_EQ(*s.m_piSilent, 1);
    EXPECT_EQ(*s.m_piPrintInterval, 1);
    EXPECT_EQ(h.Room().vecP, 5);
    EXPECT_EQ(h.Room().vecR, 4);
    EXPECT_TRUE(h.Validate().Ok()) << h.Validate().Text();
}

TEST(HostSystem, OrderedSlotListsSortEachPartByColumn)
{
    // Storage order 5, 1, 4, 2 (diagonal 3), halo 6: lower part (1, 2), upper (4, 5, 6).
    CSparseBuilder builder(5, 6);
    for (int i = 1; i <= 2; ++i) builder.Add(i, i, 1.0);
    builder.Add(3, 5, 0.5);
    builder.Add(3, 1, 0.1);
    builder.Add(3, 3, 9.0);
    builder.Add(3, 6, 0.6);
    builder.Add(3, 4, 0.4);
    builder.Add(3, 2, 0.2);
    builder.Add(4, 4, 1.0);
    builder.Add(5, 5, 1.0);
    CHostSystem h(builder.Finish());
    const int* ord = h.store.m_ppiOrderedSlot[3];
    const int* nb = h.mesh.m_ppiNeighbor[3];
    EXPECT_EQ(h.store.m_piDiagPos[3], 3);
    std::vector<int> columns;
    for (int p = 1; p <= 6; ++p) columns.push_back(ord[p] == 0 ? 3 : nb[ord[p]]);
    EXPECT_EQ(columns, (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(h.Validate().Ok()) << h.Validate().Text();
}

// Rows whose columns come ascending (their slots kept in order) and the
// same rows stored out of order (sorted) give ordered lists naming the same
// columns, the same diagonal place, and CSR rows in native slot order;
// without the constructor's structure check, the same layouts.
TEST(HostSystem, OrderedListsAreTheSameWhateverTheStorageOrder)
{
    CSparseMatrix sorted = ConvectionDiffusion(CBox{5, 4, 3}, CConvection{});
    SortRows(sorted);
    CSparseMatrix shuffled = sorted;
    for (int i = 1; i <= sorted.nCell; ++i) { // reversed rows, every third rotated instead
        const auto b = shuffled.col.begin() + shuffled.RowBegin(i), e = shuffled.col.begin() + shuffled.RowEnd(i);
        const auto v = shuffled.val.begin() + shuffled.RowBegin(i);
        const int shift = i % 3 == 0 ? 2 : 0;
        std::vector<std::pair<int, double>> row;
        for (auto c = b; c != e; ++c) row.emplace_back(*c, v[c - b]);
        if (shift == 0)
            std::reverse(row.begin(), row.end());
        else
            std::rotate(row.begin(), row.begin() + shift % row.size(), row.end());
        for (size_t k = 0; k < row.size(); ++k) std::tie(b[k], v[k]) = row[k];
    }
    const CHostSystem h(sorted), g(shuffled);
    for (int i = 1; i <= sorted.nCell; ++i) {
        ASSERT_EQ(h.store.m_piDiagPos[i], g.store.m_piDiagPos[i]) << i;
        for (int p = 1; p <= h.mesh.m_piNumNeighbor[i] + 1; ++p) {
            const int s = h.store.m_ppiOrderedSlot[i][p], t = g.store.m_ppiOrderedSlot[i][p];
            ASSERT_EQ(s == 0 ? i : h.mesh.m_ppiNeighbor[i][s], t == 0 ? i : g.mesh.m_ppiNeighbor[i][t]) << i;
            ASSERT_EQ(h.store.m_ppdCoef[i][s], g.store.m_ppdCoef[i][t]) << i;
        }
        for (const CHostSystem* x : {&h, &g})
            for (int k = 0; k <= x->mesh.m_piNumNeighbor[i]; ++k) {
                const int e = x->mesh.m_piCSRRowStart[i] + k;
                ASSERT_EQ(x->mesh.m_piCSRColumn[e], k == 0 ? i : x->mesh.m_ppiNeighbor[i][k]) << i;
                ASSERT_EQ(x->mesh.m_pdCSRValue[e], x->store.m_ppdCoef[i][k]) << i;
            }
    }
    EXPECT_TRUE(h.Validate().Ok()) << h.Validate().Text();
    EXPECT_TRUE(g.Validate().Ok()) << g.Validate().Text();
    // A caller that checked the structure itself gets the same layouts.
    const CHostSystem k(shuffled, 8, kAllLayouts, EStructureCheck::ByCaller);
    EXPECT_EQ(k.gpu.m_nELLWidth, g.gpu.m_nELLWidth);
    EXPECT_TRUE(std::equal(k.gpu.m_piELLColumn, k.gpu.m_piELLColumn + k.Room().ellEntries, g.gpu.m_piELLColumn));
    EXPECT_TRUE(k.Validate().Ok()) << k.Validate().Text();
}

TEST(HostSystem, EmptyPartitionAndIsolatedCellsAreFilled)
{
    CHostSystem empty(CSparseBuilder(0, 0).Finish());
    EXPECT_EQ(empty.gpu.m_nELLWidth, 1);
    EXPECT_TRUE(empty.Validate().Ok()) << empty.Validate().Text();

    CHostSystem lonely(FromDense({{2, 0}, {0, 3}}));
    EXPECT_EQ(lonely.store.m_piDiagPos[2], 1);
    EXPECT_EQ(lonely.store.m_ppiOrderedSlot[2][1], 0);
    EXPECT_EQ(lonely.mesh.m_piCSRRowStart[3], 2);
    EXPECT_TRUE(lonely.Validate().Ok()) << lonely.Validate().Text();
}

TEST(HostSystem, RefusesMatricesTheLayoutsCannotHold)
{
    auto matrix = [](int n, int total, std::initializer_list<std::pair<int, int>> entries) {
        CSparseBuilder builder(n, total);
        for (auto [i, j] : entries) builder.Add(i, j, 1.0);
        return builder.Finish();
    };
    CSparseMatrix counts = Poisson(CBox{2, 1, 1}), starts = counts;
    counts.nCellTotal = 1;
    starts.rowStart[1] = 9;
    // One dense row makes the ELL layout too wide for its int index.
    CSparseMatrix wide;
    wide.nCell = 1;
    wide.nCellTotal = 600000;
    wide.rowStart = {0, 4000};
    for (int k = 0; k < 4000; ++k) wide.col.push_back(k + 1);
    wide.val.assign(4000, 1.0);
    const std::pair<CSparseMatrix, const char*> cases[] = {
        {matrix(2, 2, {{1, 1}, {2, 1}}), "row 2 has no diagonal entry"},
        {matrix(1, 1, {{1, 1}, {1, 1}}), "row 1 holds its diagonal 2 times"},
        {matrix(2, 3, {{1, 1}, {2, 2}, {2, 4}}), "row 2: column 4 is outside 1..3"},
        {counts, "nCellTotal 1 is less than nCell 2"},
        {starts, "ends before it begins"},
        {wide, "the ELL layout would need 2400000000 slots"},
    };
    for (const auto& [A, reason] : cases)
        EXPECT_HAS(Refusal<std::invalid_argument>([&A = A] { CHostSystem h(A); }), reason);
}

namespace {

// Blocks of the given byte sizes filled with 0xA5 and freed again: the
// allocations that follow are likely to get this memory back, so an array
// element the builder leaves unwritten shows as garbage.
void PoisonFreedMemory(const std::vector<size_t>& sizes)
{
    std::vector<std::vector<unsigned char>> blocks;
    for (size_t bytes : sizes) blocks.emplace_back(bytes, 0xA5);
}

// A box matrix whose rows 2, 5 and 9 also hold halo columns (two cells
// beyond the owned ones), stored out of order in row 5.
CSparseMatrix BoxWithHalo()
{
    const CSparseMatrix box = ConvectionDiffusion(CBox{4, 3, 2}, CConvection{});
    CSparseBuilder builder(box.nCell, box.nCellTotal + 2);
    for (int i = 1; i <= box.nCell; ++i) {
        if (i == 5) builder.Add(i, box.nCell + 2, -0.125);
        for (int e = box.RowBegin(i); e < box.RowEnd(i); ++e) builder.Add(i, box.col[e], box.val[e]);
        if (i == 2 || i == 9) builder.Add(i, box.nCell + 1, -0.25);
    }
    return builder.Finish();
}

// Every flat array of the layouts, element for element.
void ExpectSameLayouts(const CHostSystem& h, const CHostSystem& g)
{
    const CHostRoom& r = h.Room();
    const auto same = [](const auto* p, const auto* q, long long count, const char* what) {
        for (long long e = 0; e < count; ++e) ASSERT_EQ(p[e], q[e]) << what << " " << e;
    };
    ASSERT_EQ(g.Room().ellEntries, r.ellEntries);
    ASSERT_EQ(g.AllocatedBytes(), h.AllocatedBytes());
    same(h.mesh.m_piNumNeighbor, g.mesh.m_piNumNeighbor, r.numNeighbor, "neighbour count");
    same(h.store.m_piDiagPos, g.store.m_piDiagPos, r.diagPos, "diagonal place");
    for (int i = 1; i <= h.Cells(); ++i) {
        const int nn = h.mesh.m_piNumNeighbor[i];
        same(h.mesh.m_ppiNeighbor[i], g.mesh.m_ppiNeighbor[i], nn + 1, "neighbour");
        same(h.store.m_ppiOrderedSlot[i], g.store.m_ppiOrderedSlot[i], nn + 2, "ordered slot");
        same(h.store.m_ppdCoef[i], g.store.m_ppdCoef[i], nn + 1, "coefficient");
    }
    same(h.mesh.m_piCSRRowStart, g.mesh.m_piCSRRowStart, r.csrRowStart, "CSR offset");
    same(h.mesh.m_piCSRColumn, g.mesh.m_piCSRColumn, r.csrEntries, "CSR column");
    same(h.gpu.m_piELLColumn, g.gpu.m_piELLColumn, r.ellEntries, "ELL column");
    same(h.store.m_piOrderedSlotELL, g.store.m_piOrderedSlotELL, r.orderedSlotEll, "ELL ordered slot");
    same(h.mesh.m_pdCSRValue, g.mesh.m_pdCSRValue, r.csrEntries, "CSR value");
    same(h.gpu.m_pdELLValue, g.gpu.m_pdELLValue, r.ellEntries, "ELL value");
}

} // namespace

// The layouts' arrays that the builder writes whole come uncleared from the
// tool: built over freed poisoned memory, they hold what a build over fresh
// memory holds, the unused slots and places (0) included, and the tool's
// count still covers every byte the system holds.
TEST(HostSystem, ArraysWrittenWholeHoldTheSameOverReusedMemory)
{
    const CSparseMatrix A = BoxWithHalo();
    const CHostSystem fresh(A);
    const size_t n = static_cast<size_t>(A.nCell), nnz = A.col.size();
    PoisonFreedMemory({8 * nnz, 4 * nnz, 4 * (nnz + n), 4 * (n + 1), 4 * (n + 2), 8 * nnz, 4 * nnz});
    const double before = CQVLMemTool::m_dTotalMem_;
    const CHostSystem reused(A);
    EXPECT_EQ(CQVLMemTool::m_dTotalMem_ - before, reused.AllocatedBytes());
    EXPECT_EQ(reused.AllocatedBytes(), fresh.AllocatedBytes());
    ExpectSameLayouts(fresh, reused);
    EXPECT_TRUE(reused.Validate().Ok()) << reused.Validate().Text();
}
