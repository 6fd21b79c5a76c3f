// The layout builder: the three-cell example member for member, the same
// matrix giving bit-identical solves through the three entry points, and
// what the builder refuses.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

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

TEST(HostSystem, RefusesMatricesTheLayoutsCannotHold)
{
    auto refusal = [](const CSparseMatrix& A) -> std::string {
        try {
            CHostSystem h(A);
        } catch (const std::invalid_argument& e) {
            return e.what();
        }
        return "accepted";
    };
    CSparseBuilder noDiag(2, 2);
    noDiag.Add(1, 1, 1.0);
    noDiag.Add(2, 1, 1.0);
    EXPECT_NE(refusal(noDiag.Finish()).find("row 2 has no diagonal entry"), std::string::npos);
    CSparseBuilder twice(1, 1);
    twice.Add(1, 1, 1.0);
    twice.Add(1, 1, 2.0);
    EXPECT_NE(refusal(twice.Finish()).find("row 1 holds its diagonal 2 times"), std::string::npos);
    CSparseBuilder outside(2, 3);
    outside.Add(1, 1, 1.0);
    outside.Add(2, 2, 1.0);
    outside.Add(2, 4, 1.0);
    EXPECT_NE(refusal(outside.Finish()).find("row 2: column 4 is outside 1..3"), std::string::npos);
    CSparseMatrix counts = Poisson(CBox{2, 1, 1});
    counts.nCellTotal = 1;
    EXPECT_NE(refusal(counts).find("nCellTotal 1 is less than nCell 2"), std::string::npos);
    CSparseMatrix starts = Poisson(CBox{2, 1, 1});
    starts.rowStart[1] = 9;
    EXPECT_NE(refusal(starts).find("ends before it begins"), std::string::npos);
    // One dense row makes the ELL layout too wide for its int index.
    CSparseMatrix wide;
    wide.nCell = 1;
    wide.nCellTotal = 600000;
    wide.rowStart = {0, 4000};
    for (int k = 0; k < 4000; ++k) {
        wide.col.push_back(k + 1);
        wide.val.push_back(1.0);
    }
    EXPECT_NE(refusal(wide).find("the ELL layout would need 2400000000 slots"), std::string::npos);
}

TEST(HostSystem, EmptyPartitionAndIsolatedCellsAreFilled)
{
    CHostSystem empty(CSparseBuilder(0, 0).Finish());
    EXPECT_EQ(empty.gpu.m_nELLWidth, 1);
    EXPECT_TRUE(empty.Validate().Ok()) << empty.Validate().Text();

    CSparseBuilder b(2, 2);
    b.Add(1, 1, 2.0);
    b.Add(2, 2, 3.0);
    CHostSystem lonely(b.Finish());
    EXPECT_EQ(lonely.store.m_piDiagPos[2], 1);
    EXPECT_EQ(lonely.store.m_ppiOrderedSlot[2][1], 0);
    EXPECT_EQ(lonely.mesh.m_piCSRRowStart[3], 2);
    EXPECT_TRUE(lonely.Validate().Ok()) << lonely.Validate().Text();
}

TEST(HostSystem, FreesTheOpenMPArrayTheSolverAllocates)
{
    // Under the sanitizer build a leak here fails the run.
    CBoundSystem sys(Poisson(CBox{3, 3, 3}));
    CaptureStdout([&] { sys.solver.SetupSolver(QVLAccelerationOpenMP); });
    ASSERT_NE(sys.host.openmp.m_pdAELL, nullptr);
    EXPECT_EQ(sys.host.openmp.m_nNNUtemp, 27);
    EXPECT_EQ(sys.host.openmp.m_nMaxNColumnAtemp, 7);
}

namespace {

struct CSolveRecord {
    std::vector<double> x;
    double residual0;
    int iterCount;
    int sums;
};

CSolveRecord SolveThrough(const CSparseMatrix& A, ELayout layout, int code, int precond, int maxIter, double tol)
{
    CBoundSystem sys(A);
    sys.host.SetVariable(2, maxIter, tol);
    sys.host.SetPreconditioner(precond);
    double* x = sys.host.NewVector();
    std::vector<double> b = RhsForOnes(A);
    for (int i = 1; i <= A.nCell; ++i) b[i] += 0.01 * std::sin(1.0 * i); // not x = 1 exactly
    CaptureStdout([&] { sys.Solve(layout, 2, code, x, b.data()); });
    return {std::vector<double>(x, x + A.nCell + 1), sys.host.store.m_pdResidual0[2], sys.host.store.m_piIterCount[2],
            sys.transport->Count("Sum")};
}

void ExpectSame(const CSolveRecord& a, const CSolveRecord& b, const std::string& what)
{
    EXPECT_EQ(std::memcmp(&a.residual0, &b.residual0, sizeof(double)), 0) << what;
    EXPECT_EQ(a.iterCount, b.iterCount) << what;
    EXPECT_EQ(a.sums, b.sums) << what;
    for (size_t i = 1; i < a.x.size(); ++i)
        if (std::memcmp(&a.x[i], &b.x[i], sizeof(double)) != 0) {
            ADD_FAILURE() << what << ": x differs first at cell " << i << ": " << a.x[i] << " against " << b.x[i];
            return;
        }
}

// A non-symmetric system in an unstructured order.
CSparseMatrix Unstructured()
{
    const CSparseMatrix A = ConvectionDiffusion(CBox{6, 5, 4}, CConvection{1.0, -2.0, 0.5, 20.0});
    return RenumberCells(A, Renumbering(A.nCell, ERenumber::Random, 11));
}

} // namespace

TEST(HostSystem, LayoutsGiveBitIdenticalGaussSeidelSolves)
{
    const CSparseMatrix A = Unstructured();
    const CSolveRecord native = SolveThrough(A, ELayout::Native, 4, 0, 40, 1e-30);
    EXPECT_EQ(native.sums, 40);
    ExpectSame(native, SolveThrough(A, ELayout::Csr, 4, 0, 40, 1e-30), "CSR");
    ExpectSame(native, SolveThrough(A, ELayout::Ell, 4, 0, 40, 1e-30), "ELL");
}

TEST(HostSystem, LayoutsGiveBitIdenticalBiCgStabSolves)
{
    const CSparseMatrix A = Unstructured();
    for (int precond : {0, 1, 3}) {
        const std::string tag = "BiCGSTAB, preconditioner " + std::to_string(precond);
        const CSolveRecord native = SolveThrough(A, ELayout::Native, 2, precond, 25, 1e-30);
        EXPECT_EQ(native.iterCount, 25) << tag;
        EXPECT_EQ(native.sums, 1 + 5 * 25) << tag;
        ExpectSame(native, SolveThrough(A, ELayout::Csr, 2, precond, 25, 1e-30), tag + " CSR");
        ExpectSame(native, SolveThrough(A, ELayout::Ell, 2, precond, 25, 1e-30), tag + " ELL");
    }
    // Code 5 against code 2 with the diagonal preconditioner.
    const CSolveRecord diagonal = SolveThrough(A, ELayout::Native, 2, 3, 25, 1e-30);
    ExpectSame(SolveThrough(A, ELayout::Csr, 5, 1, 25, 1e-30), diagonal, "code 5 CSR");
}

TEST(HostSystem, LayoutsGiveBitIdenticalConjugateGradientAndCodeSixSolves)
{
    const CSparseMatrix S = RenumberCells(Poisson(CBox{5, 4, 4}), Renumbering(80, ERenumber::Reverse));
    for (int precond : {0, 1, 3}) {
        const std::string tag = "PCG, preconditioner " + std::to_string(precond);
        const CSolveRecord native = SolveThrough(S, ELayout::Native, 3, precond, 20, 1e-30);
        EXPECT_EQ(native.sums, 60) << tag;
        ExpectSame(native, SolveThrough(S, ELayout::Csr, 3, precond, 20, 1e-30), tag + " CSR");
        ExpectSame(native, SolveThrough(S, ELayout::Ell, 3, precond, 20, 1e-30), tag + " ELL");
    }
    const CSparseMatrix A = Unstructured();
    const CSolveRecord six = SolveThrough(A, ELayout::Native, 6, 1, 25, 1e-30);
    EXPECT_EQ(six.iterCount, 25);
    ExpectSame(six, SolveThrough(A, ELayout::Csr, 6, 1, 25, 1e-30), "code 6 CSR");
    ExpectSame(six, SolveThrough(A, ELayout::Native, 2, 3, 25, 1e-30), "code 6 against code 2");
}
