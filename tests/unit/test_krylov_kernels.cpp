// The kernels under the Krylov methods on 2-4 cell systems with answers
// worked by hand: row products, the preconditioner construction and its
// application, in all three layouts.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::test;
using P = CSingleGridSolverProbe;

namespace {

const ELayout kLayouts[] = {ELayout::Native, ELayout::Csr, ELayout::Ell};

void RowProductOf(CBoundSystem& sys, ELayout layout, int i, double* y, double* v)
{
    switch (layout) {
    case ELayout::Native: P::DotProduct(sys.solver, i, y, v); break;
    case ELayout::Csr: P::DotProduct_CSR(sys.solver, i, y, v); break;
    case ELayout::Ell: P::DotProduct_ELL(sys.solver, i, y, v); break;
    }
}

void Build(CBoundSystem& sys, ELayout layout, double* d, int type)
{
    switch (layout) {
    case ELayout::Native: P::FindPreConditioner(sys.solver, d, type); break;
    case ELayout::Csr: P::FindPreConditioner_CSR(sys.solver, d, type); break;
    case ELayout::Ell: P::FindPreConditioner_ELL(sys.solver, d, type); break;
    }
}

void Apply(CBoundSystem& sys, ELayout layout, double* z, double* r, double* d)
{
    switch (layout) {
    case ELayout::Native: P::SolvePreConditioner(sys.solver, z, r, d); break;
    case ELayout::Csr: P::SolvePreConditioner_CSR(sys.solver, z, r, d); break;
    case ELayout::Ell: P::SolvePreConditioner_ELL(sys.solver, z, r, d); break;
    }
}

const double kSentinel = -777.0;

} // namespace

TEST(RowProduct, DiagonalFirstThenStorageOrder)
{
    // Row 2 = (1e16, 1, -1e16) against v = 1: summed left to right from the
    // diagonal this is (1 + 1e16) - 1e16 = 0; any other grouping gives 1 or 2.
    const host::CSparseMatrix A = FromDense({{2, 0, 0}, {1e16, 1, -1e16}, {0, 0, 3}});
    for (ELayout layout : kLayouts) {
        CBoundSystem sys(A);
        double v[4] = {0, 1, 1, 1};
        double y[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
        RowProductOf(sys, layout, 2, y, v);
        EXPECT_EQ(y[2], (1.0 * 1.0 + 1.0 * 1e16) + 1.0 * -1e16) << LayoutName(layout);
        EXPECT_EQ(y[2], 0.0);
        EXPECT_EQ(y[0], kSentinel); // only element i is written
        EXPECT_EQ(y[1], kSentinel);
        EXPECT_EQ(y[3], kSentinel);
    }
}

TEST(RowProduct, HaloColumnsAndEmptyEllSlots)
{
    const host::CSparseMatrix A = ThreeCellExample(4, 1, 4, 1, 1, 4, 2, 0.5);
    for (ELayout layout : kLayouts) {
        CBoundSystem sys(A);
        double v[5] = {0, 1, 2, 3, 10}; // v[4]: the current halo value
        double y[5] = {};
        RowProductOf(sys, layout, 3, y, v);
        EXPECT_EQ(y[3], (4.0 * 3 + 2.0 * 2) + 0.5 * 10) << LayoutName(layout);
    }
    // An empty ELL slot adds nothing, whatever value it holds.
    CBoundSystem sys(A);
    CQVLGVGPU& g = sys.host.gpu;
    ASSERT_EQ(g.m_nELLWidth, 3);
    g.m_piELLColumn[2 * 4 + 0] = -1; // slot 2 of row 1 was already empty
    g.m_pdELLValue[2 * 4 + 0] = 1e6;
    g.m_piELLColumn[2 * 4 + 2] = -1; // empty the halo slot of row 3
    g.m_pdELLValue[2 * 4 + 2] = 1e6;
    double v[5] = {0, 1, 2, 3, 10};
    double y[5] = {};
    P::DotProduct_ELL(sys.solver, 1, y, v);
    P::DotProduct_ELL(sys.solver, 3, y, v);
    EXPECT_EQ(y[1], 4.0 * 1 + 1.0 * 2);
    EXPECT_EQ(y[3], 4.0 * 3 + 2.0 * 2);
}

TEST(Dilu, TwoCellExample)
{
    const host::CSparseMatrix A = FromDense({{4, 1}, {1, 4}});
    for (ELayout layout : kLayouts) {
        CBoundSystem sys(A);
        double d[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
        Build(sys, layout, d, 1);
        EXPECT_EQ(d[1], 0.25) << LayoutName(layout);
        EXPECT_EQ(d[2], 1.0 / 3.75) << LayoutName(layout);
        EXPECT_EQ(d[2], 1.0 / ((4.0 - (1.0 * d[1]) * 1.0) + 1e-30));
        EXPECT_EQ(d[0], kSentinel);
        EXPECT_EQ(d[3], kSentinel);
        Build(sys, layout, d, 3);
        EXPECT_EQ(d[1], 0.25);
        EXPECT_EQ(d[2], 0.25);
    }
    // The named DILU members and the OpenMP-named construction agree.
    CBoundSystem sys(A);
    double a[3], b[3], c[3], e[3];
    P::DILU(sys.solver, a);
    P::DILU_CSR(sys.solver, b);
    P::DILU_ELL(sys.solver, c);
    P::FindPreConditioner_OpenMP(sys.solver, e, 1);
    for (int i = 1; i <= 2; ++i) {
        EXPECT_EQ(a[i], b[i]);
        EXPECT_EQ(a[i], c[i]);
        EXPECT_EQ(a[i], e[i]);
    }
}

TEST(Dilu, TypesWithoutConstructionLeaveTheArray)
{
    const host::CSparseMatrix A = FromDense({{4, 1}, {1, 4}});
    for (ELayout layout : kLayouts)
        for (int type : {0, 2, -1, 4, 7}) {
            CBoundSystem sys(A);
            double d[3] = {kSentinel, kSentinel, kSentinel};
            Build(sys, layout, d, type);
            for (double v : d) EXPECT_EQ(v, kSentinel) << LayoutName(layout) << " type " << type;
        }
}

TEST(Dilu, GuardOnAZeroDiagonal)
{
    // Cell 1 has no lower neighbour: 1 / (0 + 1e-30), about 1e30 and finite.
    const host::CSparseMatrix A = FromDense({{0, 1}, {1, 4}});
    for (ELayout layout : kLayouts)
        for (int type : {1, 3}) {
            CBoundSystem sys(A);
            double d[3] = {};
            Build(sys, layout, d, type);
            EXPECT_EQ(d[1], 1.0 / 1e-30) << LayoutName(layout);
            EXPECT_TRUE(std::isfinite(d[2]));
        }
}

TEST(Dilu, HaloAndOneSidedNeighboursMakeNoUpdate)
{
    // Cell 3 touches halo cell 4 with a large coefficient; row 2 holds cell 1
    // but row 1 does not hold cell 2 (nonsymmetric structure).
    host::CSparseBuilder builder(3, 4);
    builder.Add(1, 1, 4.0);
    builder.Add(1, 3, 2.0);
    builder.Add(2, 1, 1.0);
    builder.Add(2, 2, 5.0);
    builder.Add(3, 1, 3.0);
    builder.Add(3, 3, 6.0);
    builder.Add(3, 4, 1e300);
    const host::CSparseMatrix A = builder.Finish();
    for (ELayout layout : kLayouts) {
        CBoundSystem sys(A);
        double d[5] = {kSentinel, kSentinel, kSentinel, kSentinel, kSentinel};
        Build(sys, layout, d, 1);
        EXPECT_EQ(d[1], 0.25) << LayoutName(layout);
        EXPECT_EQ(d[2], 1.0 / (5.0 + 1e-30)) << LayoutName(layout);                        // 2 is not in row 1
        EXPECT_EQ(d[3], 1.0 / ((6.0 - (3.0 * 0.25) * 2.0) + 1e-30)) << LayoutName(layout); // 1 -> 3
        EXPECT_EQ(d[4], kSentinel) << LayoutName(layout);                                  // halo never written
    }
}

TEST(Preconditioner, DiluSweepsSolveTheTwoCellExample)
{
    const host::CSparseMatrix A = FromDense({{4, 1}, {1, 4}});
    for (ELayout layout : kLayouts) {
        CBoundSystem sys(A);
        sys.host.SetPreconditioner(1);
        double d[3], r[3] = {0, 1, 1};
        double z[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
        Build(sys, layout, d, 1);
        Apply(sys, layout, z, r, d);
        const double* y = sys.host.store.m_pdPrecondWork;
        EXPECT_EQ(y[1], 0.25) << LayoutName(layout);
        EXPECT_EQ(y[2], (1.0 - 1.0 * 0.25) * d[2]);
        EXPECT_DOUBLE_EQ(y[2], 0.2);
        EXPECT_EQ(z[2], y[2]);
        EXPECT_EQ(z[1], y[1] - (1.0 * z[2]) * 0.25) << LayoutName(layout);
        EXPECT_DOUBLE_EQ(z[1], 0.2);
        EXPECT_EQ(z[0], kSentinel);
        EXPECT_EQ(z[3], kSentinel);
    }
}

TEST(Preconditioner, DiluSweepsIgnoreHaloNeighbours)
{
    // Row 3 reaches halo cell 4; whatever z and the work vector hold there,
    // the result is that of the owned part alone.
    const host::CSparseMatrix withHalo = ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 7);
    const host::CSparseMatrix owned = FromDense({{4, 1, 0}, {1, 4, 1}, {0, 1, 4}});
    for (ELayout layout : kLayouts) {
        CBoundSystem sys(withHalo), ref(owned);
        sys.host.SetPreconditioner(1);
        ref.host.SetPreconditioner(1);
        double d[5], dRef[4], r[4] = {0, 1, -2, 3};
        double z[5] = {0, 0, 0, 0, 1e9}, zRef[4] = {};
        Build(sys, layout, d, 1);
        Build(ref, layout, dRef, 1);
        Apply(sys, layout, z, r, d);
        Apply(ref, layout, zRef, r, dRef);
        for (int i = 1; i <= 3; ++i) EXPECT_EQ(z[i], zRef[i]) << LayoutName(layout) << " cell " << i;
        EXPECT_EQ(z[4], 1e9);
    }
}

TEST(Preconditioner, DiagonalCopyAndTheIdentityForOtherTypes)
{
    const host::CSparseMatrix A = ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 1);
    for (ELayout layout : kLayouts)
        for (int type : {0, 2, 3, -1, 5}) {
            CBoundSystem sys(A);
            sys.host.SetPreconditioner(type);
            double* work = sys.host.store.m_pdPrecondWork;
            for (int i = 0; i <= 3; ++i) work[i] = kSentinel;
            double d[4] = {0, 0.5, 0.25, 2.0}, r[4] = {0, 3, -1, 0.1};
            double z[5] = {kSentinel, kSentinel, kSentinel, kSentinel, kSentinel};
            Apply(sys, layout, z, r, d);
            for (int i = 1; i <= 3; ++i) {
                // A type without a construction must not leave z as it was.
                const double expected = type == 3 ? r[i] * d[i] : r[i];
                EXPECT_EQ(z[i], expected) << LayoutName(layout) << " type " << type;
                EXPECT_EQ(work[i], kSentinel);
            }
            EXPECT_EQ(z[0], kSentinel);
            EXPECT_EQ(z[4], kSentinel);
        }
}

TEST(Preconditioner, OpenMPNamedApplicationIsTheNativeOne)
{
    CBoundSystem sys(FromDense({{4, 1}, {1, 4}}));
    sys.host.SetPreconditioner(1);
    double d[3], r[3] = {0, 1, 2}, z[3], zo[3];
    P::DILU(sys.solver, d);
    P::SolvePreConditioner(sys.solver, z, r, d);
    P::SolvePreConditioner_OpenMP(sys.solver, zo, r, d);
    EXPECT_EQ(z[1], zo[1]);
    EXPECT_EQ(z[2], zo[2]);
}
