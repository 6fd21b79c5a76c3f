// One matrix, three layouts: the Krylov kernels and methods give the same
// bits wherever the layouts describe the same matrix entry for entry (rows
// sorted by column, so the ordered slot lists follow storage order, and no
// stored zeros), and differ exactly where the construction rules differ.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::test;
using P = CSingleGridSolverProbe;

namespace {

const ELayout kLayouts[] = {ELayout::Native, ELayout::Csr, ELayout::Ell};

bool SameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A nonsymmetric box problem whose top layer belongs to another partition:
// rows of the owned cells only, columns reaching into the halo layer.
host::CSparseMatrix PartitionWithHalo()
{
    const host::CBox box{6, 5, 4};
    const host::CSparseMatrix full = ConvectionDiffusion(box, 3.0);
    const int owned = box.nx * box.ny * (box.nz - 1);
    host::CSparseBuilder builder(owned, full.nCell);
    for (int i = 1; i <= owned; ++i)
        for (int e = full.RowBegin(i); e < full.RowEnd(i); ++e) builder.Add(i, full.col[e], full.val[e]);
    return builder.Finish();
}

// What another partition would send: deterministic halo values.
void FillHalo(CBoundSystem& sys)
{
    const int n = sys.host.Cells(), total = sys.host.CellsTotal();
    sys.transport->fillHalo = [n, total](double* v) {
        for (int i = n + 1; i <= total; ++i) v[i] = 0.5 * v[i - (total - n)] + 0.001 * i;
    };
}

struct CSolveResult {
    std::vector<double> x;
    double residual0;
    int iterCount;
    std::vector<std::string> calls;
};

CSolveResult SolveWith(const host::CSparseMatrix& A, ELayout layout, int code, int type, int maxIter, double tol)
{
    CBoundSystem sys(A);
    FillHalo(sys);
    sys.host.SetVariable(3, maxIter, tol);
    sys.host.SetPreconditioner(type);
    double* x = sys.host.NewVector();
    for (int i = 1; i <= sys.host.CellsTotal(); ++i) x[i] = std::cos(0.3 * i);
    std::vector<double> b(static_cast<size_t>(A.nCell) + 1);
    for (int i = 1; i <= A.nCell; ++i) b[i] = 1.0 + std::sin(0.1 * i);
    sys.Solve(layout, 3, code, x, b.data());
    return {std::vector<double>(x, x + sys.host.CellsTotal() + 1), sys.host.store.m_pdResidual0[3],
            sys.host.store.m_piIterCount[3], sys.transport->calls};
}

} // namespace

TEST(Layouts, BiCgStabGivesTheSameBits)
{
    const host::CSparseMatrix A = PartitionWithHalo();
    for (int type : {0, 1, 3}) {
        const CSolveResult native = SolveWith(A, ELayout::Native, 2, type, 12, 1e-300);
        ASSERT_GT(native.iterCount, 1) << "type " << type;
        for (ELayout layout : {ELayout::Csr, ELayout::Ell}) {
            const CSolveResult other = SolveWith(A, layout, 2, type, 12, 1e-300);
            EXPECT_TRUE(SameBits(other.residual0, native.residual0)) << LayoutName(layout) << " type " << type;
            EXPECT_EQ(other.iterCount, native.iterCount);
            EXPECT_EQ(other.calls, native.calls);
            for (int i = 1; i <= A.nCellTotal; ++i)
                ASSERT_TRUE(SameBits(other.x[i], native.x[i]))
                    << LayoutName(layout) << " type " << type << " cell " << i;
        }
    }
    // Code 5 on the native and CSR entry points: the diagonal preconditioner
    // (the native entry point also lifts the limit, so give CSR room).
    const CSolveResult native5 = SolveWith(A, ELayout::Native, 5, 1, 12, 1e-3);
    const CSolveResult csr5 = SolveWith(A, ELayout::Csr, 5, 1, 1000, 1e-3);
    EXPECT_GT(native5.iterCount, 12);
    EXPECT_TRUE(SameBits(native5.residual0, csr5.residual0));
    EXPECT_EQ(native5.iterCount, csr5.iterCount);
    for (int i = 1; i <= A.nCell; ++i) EXPECT_TRUE(SameBits(native5.x[i], csr5.x[i]));
}

TEST(Layouts, StoredZeroIsSkippedByNativeAndEllOnly)
{
    // a12 is stored as 0.0. With a11 = 0 the factor a21 * D[1] = 1e300 * 1e30
    // is infinite: the CSR construction multiplies it by the zero and gets
    // NaN, the native and ELL constructions never look at the entry.
    host::CSparseBuilder builder(2, 2);
    builder.Add(1, 1, 0.0);
    builder.Add(1, 2, 0.0);
    builder.Add(2, 1, 1e300);
    builder.Add(2, 2, 4.0);
    const host::CSparseMatrix A = builder.Finish();
    CBoundSystem sys(A);
    double dn[3], dc[3], de[3];
    P::DILU(sys.solver, dn);
    P::DILU_CSR(sys.solver, dc);
    P::DILU_ELL(sys.solver, de);
    EXPECT_EQ(dn[2], 0.25);
    EXPECT_EQ(de[2], 0.25);
    EXPECT_TRUE(std::isnan(dc[2]));

    // With finite factors the extra CSR update subtracts a zero: same bits.
    host::CSparseBuilder finite(2, 2);
    finite.Add(1, 1, 3.0);
    finite.Add(1, 2, 0.0);
    finite.Add(2, 1, -2.0);
    finite.Add(2, 2, 5.0);
    CBoundSystem sys2(finite.Finish());
    P::DILU(sys2.solver, dn);
    P::DILU_CSR(sys2.solver, dc);
    EXPECT_TRUE(SameBits(dn[2], dc[2]));
    // The sweeps have no zero test: the stored 0.0 adds zero in every layout.
    sys2.host.SetPreconditioner(1);
    double r[3] = {0, 1, -1}, zn[3], zc[3], ze[3];
    P::SolvePreConditioner(sys2.solver, zn, r, dn);
    P::SolvePreConditioner_CSR(sys2.solver, zc, r, dn);
    P::SolvePreConditioner_ELL(sys2.solver, ze, r, dn);
    for (int i = 1; i <= 2; ++i) EXPECT_TRUE(SameBits(zn[i], zc[i]) && SameBits(zn[i], ze[i]));
}

TEST(Layouts, PartnerSearchTakesTheFirstMatchOfItsOwnOrder)
{
    // Row 2 holds cell 1 twice (values 1 and 3). With the ordered slot lists
    // following storage order all layouts use the first entry; once the
    // native and ELL lists put the second entry first, they use it, while
    // the CSR search keeps to storage order.
    host::CSparseBuilder builder(2, 2);
    builder.Add(1, 1, 4.0);
    builder.Add(1, 2, 2.0);
    builder.Add(2, 1, 1.0);
    builder.Add(2, 1, 3.0);
    builder.Add(2, 2, 10.0);
    const host::CSparseMatrix A = builder.Finish();
    const double first = 1.0 / ((10.0 - (1.0 * 0.25) * 2.0) + 1e-30);
    const double second = 1.0 / ((10.0 - (3.0 * 0.25) * 2.0) + 1e-30);

    CBoundSystem sys(A);
    double dn[3], dc[3], de[3];
    P::DILU(sys.solver, dn);
    P::DILU_CSR(sys.solver, dc);
    P::DILU_ELL(sys.solver, de);
    EXPECT_EQ(dn[2], first);
    EXPECT_EQ(dc[2], first);
    EXPECT_EQ(de[2], first);

    CQvl3dGV& S = sys.host.store;
    ASSERT_EQ(S.m_piDiagPos[2], 3);
    std::swap(S.m_ppiOrderedSlot[2][1], S.m_ppiOrderedSlot[2][2]);
    std::swap(S.m_piOrderedSlotELL[0 * 2 + 1], S.m_piOrderedSlotELL[1 * 2 + 1]);
    P::DILU(sys.solver, dn);
    P::DILU_CSR(sys.solver, dc);
    P::DILU_ELL(sys.solver, de);
    EXPECT_EQ(dn[2], second);
    EXPECT_EQ(de[2], second);
    EXPECT_EQ(dc[2], first);
}
