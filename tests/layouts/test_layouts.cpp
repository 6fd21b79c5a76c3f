// One matrix, three layouts: every method gives the same bits through the
// three entry points wherever the layouts describe the same matrix entry for
// entry (rows sorted by column, so the ordered slot lists follow storage
// order, and no stored zeros), and differs exactly where the construction
// rules differ.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::test;
using P = CSingleGridSolverProbe;

namespace {

// A box problem in an unstructured (random) numbering whose last layer of
// cells belongs to another partition: rows of the owned cells only, columns
// reaching into the halo. u = 0 gives a symmetric matrix.
host::CSparseMatrix PartitionWithHalo(double u)
{
    const host::CBox box{6, 5, 4};
    const host::CSparseMatrix full =
        host::RenumberCells(ConvectionDiffusion(box, u), host::Renumbering(box.Cells(), host::ERenumber::Random, 11));
    const int owned = full.nCell - box.nx * box.ny;
    host::CSparseBuilder builder(owned, full.nCell);
    for (int i = 1; i <= owned; ++i)
        for (int e = full.RowBegin(i); e < full.RowEnd(i); ++e) builder.Add(i, full.col[e], full.val[e]);
    return builder.Finish();
}

struct CSolveResult {
    std::vector<double> x;
    double residual0;
    int iterCount;
    std::vector<std::string> calls;
};

CSolveResult SolveWith(const host::CSparseMatrix& A, ELayout layout, int code, int type)
{
    CBoundSystem sys(A);
    // What another partition would send: deterministic halo values.
    const int n = A.nCell, total = A.nCellTotal;
    sys.transport->fillHalo = [n, total](double* v) {
        for (int i = n + 1; i <= total; ++i) v[i] = 0.5 * v[i - (total - n)] + 0.001 * i;
    };
    sys.host.SetVariable(3, 12, 1e-300);
    sys.host.SetPreconditioner(type);
    // The ELL entry point runs the native conjugate gradient: its arrays go unread.
    if (code == 3 && layout == ELayout::Ell)
        std::fill_n(sys.host.gpu.m_pdELLValue, sys.host.gpu.m_nELLWidth * total, 1e9);
    double* x = sys.host.NewVector();
    for (int i = 1; i <= total; ++i) x[i] = std::cos(0.3 * i);
    std::vector<double> b(static_cast<size_t>(n) + 1);
    for (int i = 1; i <= n; ++i) b[i] = 1.0 + std::sin(0.1 * i);
    CaptureStdout([&] { sys.Solve(layout, 3, code, x, b.data()); });
    return {std::vector<double>(x, x + total + 1), sys.host.store.m_pdResidual0[3], sys.host.store.m_piIterCount[3],
            sys.transport->calls};
}

} // namespace

TEST(Layouts, EveryMethodGivesTheSameBits)
{
    const struct {
        int code;
        double u;
        std::vector<int> types;
        size_t calls; // 12 iterations from a first sum
    } methods[] = {{4, 3.0, {0}, 2 * 12}, {2, 3.0, {0, 1, 3}, 1 + 7 * 12}, {3, 0.0, {0, 1, 3}, 4 * 12}};
    for (const auto& m : methods) {
        const host::CSparseMatrix A = PartitionWithHalo(m.u);
        for (int type : m.types) {
            const CSolveResult native = SolveWith(A, ELayout::Native, m.code, type);
            ASSERT_EQ(native.calls.size(), m.calls) << "code " << m.code << " type " << type;
            for (ELayout layout : {ELayout::Csr, ELayout::Ell}) {
                const std::string what = std::string(LayoutName(layout)) + " code " + std::to_string(m.code) +
                                         " type " + std::to_string(type);
                const CSolveResult other = SolveWith(A, layout, m.code, type);
                EXPECT_TRUE(BitEqual(other.residual0, native.residual0)) << what;
                EXPECT_EQ(other.iterCount, native.iterCount) << what;
                EXPECT_EQ(other.calls, native.calls) << what;
                for (int i = 1; i <= A.nCellTotal; ++i)
                    ASSERT_TRUE(BitEqual(other.x[i], native.x[i])) << what << " cell " << i;
            }
        }
    }
}

TEST(Layouts, StoredZeroIsSkippedByNativeAndEllOnly)
{
    // a12 is stored as 0.0. With a11 = 0 the factor a21 * D[1] = 1e300 * 1e30
    // is infinite: the CSR construction multiplies it by the zero and gets
    // NaN, the native and ELL constructions never look at the entry. With
    // finite factors the extra CSR update subtracts a zero: same bits.
    for (const bool finite : {false, true}) {
        host::CSparseBuilder builder(2, 2);
        builder.Add(1, 1, finite ? 3.0 : 0.0);
        builder.Add(1, 2, 0.0);
        builder.Add(2, 1, finite ? -2.0 : 1e300);
        builder.Add(2, 2, finite ? 5.0 : 4.0);
        CBoundSystem sys(builder.Finish());
        sys.host.SetPreconditioner(1);
        double d[3][3], z[3][3], r[3] = {0, 1, -1};
        for (ELayout layout : kEveryLayout) {
            const int l = static_cast<int>(layout);
            (sys.solver.*P::Dilu(layout))(d[l]);
            // The sweeps have no zero test: the stored 0.0 adds zero in every layout.
            if (finite) (sys.solver.*P::Apply(layout))(z[l], r, d[0]);
        }
        if (!finite) {
            EXPECT_EQ(d[0][2], 0.25);
            EXPECT_EQ(d[2][2], 0.25);
            EXPECT_TRUE(std::isnan(d[1][2]));
            continue;
        }
        EXPECT_TRUE(BitEqual(d[0][2], d[1][2]));
        for (int i = 1; i <= 2; ++i) EXPECT_TRUE(BitEqual(z[0][i], z[1][i]) && BitEqual(z[0][i], z[2][i]));
    }
}

TEST(Layouts, PartnerSearchTakesTheFirstMatchOfItsOwnOrder)
{
    // Row 2 holds cell 1 twice (values 1 and 3). With the ordered slot lists
    // following storage order all layouts use the first entry; once the
    // native and ELL lists put the second entry first, they use it, while
    // the CSR search keeps to storage order.
    host::CSparseBuilder builder(2, 2);
    for (auto [i, j, a] : std::initializer_list<std::tuple<int, int, double>>{
             {1, 1, 4.0}, {1, 2, 2.0}, {2, 1, 1.0}, {2, 1, 3.0}, {2, 2, 10.0}})
        builder.Add(i, j, a);
    CBoundSystem sys(builder.Finish());
    const double first = 1.0 / ((10.0 - (1.0 * 0.25) * 2.0) + 1e-30);
    const double second = 1.0 / ((10.0 - (3.0 * 0.25) * 2.0) + 1e-30);
    auto d2 = [&](ELayout layout) {
        double d[3];
        (sys.solver.*P::Dilu(layout))(d);
        return d[2];
    };
    for (ELayout layout : kEveryLayout) EXPECT_EQ(d2(layout), first) << LayoutName(layout);

    CQvl3dGV& S = sys.host.store;
    ASSERT_EQ(S.m_piDiagPos[2], 3);
    std::swap(S.m_ppiOrderedSlot[2][1], S.m_ppiOrderedSlot[2][2]);
    std::swap(S.m_piOrderedSlotELL[0 * 2 + 1], S.m_piOrderedSlotELL[1 * 2 + 1]);
    EXPECT_EQ(d2(ELayout::Native), second);
    EXPECT_EQ(d2(ELayout::Ell), second);
    EXPECT_EQ(d2(ELayout::Csr), first);
}
