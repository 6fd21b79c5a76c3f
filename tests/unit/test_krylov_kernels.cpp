// The kernels under the Krylov methods on 2-4 cell systems with answers
// worked by hand: row products, the preconditioner construction and its
// application, in all three layouts.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::test;
using P = CSingleGridSolverProbe;

namespace {

const double kSentinel = -777.0;

std::vector<double> Sentinels(int n)
{
    return std::vector<double>(static_cast<size_t>(n), kSentinel);
}

} // namespace

TEST(RowProduct, StorageOrderHaloColumnsAndEmptyEllSlots)
{
    // Row 2 = (1e16, 1, -1e16) against v = 1: summed left to right from the
    // diagonal this is (1 + 1e16) - 1e16 = 0; any other grouping gives 1 or 2.
    const host::CSparseMatrix A = FromDense({{2, 0, 0}, {1e16, 1, -1e16}, {0, 0, 3}});
    const host::CSparseMatrix H = ThreeCellExample(4, 1, 4, 1, 1, 4, 2, 0.5);
    double v[5] = {0, 1, 2, 3, 10}; // v[4]: the current halo value
    for (ELayout layout : kEveryLayout) {
        CBoundSystem sys(A), halo(H);
        double ones[4] = {0, 1, 1, 1};
        std::vector<double> y = Sentinels(4);
        (sys.solver.*P::RowProduct(layout))(2, y.data(), ones);
        EXPECT_EQ(y, (std::vector<double>{kSentinel, kSentinel, 0.0, kSentinel})) << LayoutName(layout);
        (halo.solver.*P::RowProduct(layout))(3, y.data(), v);
        EXPECT_EQ(y[3], (4.0 * 3 + 2.0 * 2) + 0.5 * 10) << LayoutName(layout);
    }
    // An empty ELL slot adds nothing, whatever value it holds.
    CBoundSystem sys(H);
    CQVLGVGPU& g = sys.host.gpu;
    ASSERT_EQ(g.m_nELLWidth, 3);
    for (int e : {2 * 4 + 0, 2 * 4 + 2}) { // slot 2 of row 1 (already empty) and of row 3 (the halo one)
        g.m_piELLColumn[e] = -1;
        g.m_pdELLValue[e] = 1e6;
    }
    double y[5] = {};
    (sys.solver.*P::RowProduct(ELayout::Ell))(1, y, v);
    (sys.solver.*P::RowProduct(ELayout::Ell))(3, y, v);
    EXPECT_EQ(y[1], 4.0 * 1 + 1.0 * 2);
    EXPECT_EQ(y[3], 4.0 * 3 + 2.0 * 2);
}

TEST(Dilu, WorkedCases)
{
    const struct {
        host::CSparseMatrix A;
        std::vector<double> d; // d[1..n], then the sentinel at the first halo place
    } cases[] = {
        {FromDense({{4, 1}, {1, 4}}), {0.25, 1.0 / 3.75}},
        // The guard on a zero diagonal: about 1e30 and finite.
        {FromDense({{0, 1}, {1, 4}}), {1.0 / 1e-30, 1.0 / ((4.0 - (1.0 * (1.0 / 1e-30)) * 1.0) + 1e-30)}},
        // Row 3 touches halo cell 4 with a huge coefficient, and holds cell 1
        // while row 1 does not hold cell 2 (nonsymmetric structure).
        {FromDense({{4, 0, 2}, {1, 5}, {3, 0, 6, 1e300}}, 4),
         {0.25, 1.0 / (5.0 + 1e-30), 1.0 / ((6.0 - (3.0 * 0.25) * 2.0) + 1e-30), kSentinel}},
    };
    for (const auto& c : cases)
        for (ELayout layout : kEveryLayout) {
            CBoundSystem sys(c.A);
            std::vector<double> expected = Sentinels(static_cast<int>(c.d.size()) + 2);
            std::copy(c.d.begin(), c.d.end(), expected.begin() + 1);
            const std::function<void(double*)> constructions[] = {
                [&](double* d) { (sys.solver.*P::Build(layout))(d, 1); },
                [&](double* d) { (sys.solver.*P::Dilu(layout))(d); },
                [&](double* d) { (sys.solver.*P::kBuildOpenMP)(d, 1); }};
            for (const auto& construct : constructions) {
                std::vector<double> d = Sentinels(static_cast<int>(expected.size()));
                construct(d.data());
                EXPECT_EQ(d, expected) << LayoutName(layout) << ", " << c.A.nCell << " cells";
            }
        }
}

TEST(Preconditioner, DiluSweepsSolveTheTwoCellExample)
{
    for (ELayout layout : kEveryLayout) {
        CBoundSystem sys(FromDense({{4, 1}, {1, 4}}));
        sys.host.SetPreconditioner(1);
        double d[3], r[3] = {0, 1, 1};
        std::vector<double> z = Sentinels(4);
        (sys.solver.*P::Build(layout))(d, 1);
        (sys.solver.*P::Apply(layout))(z.data(), r, d);
        const double* y = sys.host.store.m_pdPrecondWork;
        EXPECT_EQ(y[1], 0.25) << LayoutName(layout);
        EXPECT_EQ(y[2], (1.0 - 1.0 * 0.25) * d[2]);
        EXPECT_DOUBLE_EQ(y[2], 0.2);
        EXPECT_EQ(z, (std::vector<double>{kSentinel, y[1] - (1.0 * y[2]) * 0.25, y[2], kSentinel}))
            << LayoutName(layout);
        EXPECT_DOUBLE_EQ(z[1], 0.2);
        // The OpenMP-named application is the native one.
        std::vector<double> zo = Sentinels(4);
        (sys.solver.*P::kApplyOpenMP)(zo.data(), r, d);
        EXPECT_EQ(zo, z);
    }
}

TEST(Preconditioner, DiluSweepsIgnoreHaloNeighbours)
{
    // Row 3 reaches halo cell 4; whatever z holds there, the result is that
    // of the owned part alone.
    for (ELayout layout : kEveryLayout) {
        CBoundSystem sys(ThreeCellExample(4, 1, 4, 1, 1, 4, 1, 7)), ref(FromDense({{4, 1, 0}, {1, 4, 1}, {0, 1, 4}}));
        sys.host.SetPreconditioner(1);
        ref.host.SetPreconditioner(1);
        double d[5], dRef[4], r[4] = {0, 1, -2, 3};
        double z[5] = {0, 0, 0, 0, 1e9}, zRef[4] = {};
        (sys.solver.*P::Build(layout))(d, 1);
        (ref.solver.*P::Build(layout))(dRef, 1);
        (sys.solver.*P::Apply(layout))(z, r, d);
        (ref.solver.*P::Apply(layout))(zRef, r, dRef);
        for (int i = 1; i <= 3; ++i) EXPECT_EQ(z[i], zRef[i]) << LayoutName(layout) << " cell " << i;
        EXPECT_EQ(z[4], 1e9);
    }
}
