// ILU(0) through the front door: on a 7-point box it is DILU (no row's lower
// neighbours share an upper neighbour other than the row itself, so the
// factorisation keeps the matrix's off-diagonal values and DILU's pivots),
// and what it adds elsewhere shows on a matrix whose pattern has triangles.
// The factors themselves are checked against a plain factorisation in
// tests/reference.
#include "BoxProblems.h"
#include <qvl3d/Solve.h>
#include "TestCsr.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace qvl3d;

namespace {

CSolveResult SolveWith(const test::CCsr& A, EMethod method, EPreconditioner p, ELayout layout)
{
    CSolveOptions o;
    o.method = method;
    o.preconditioner = p;
    o.layout = layout;
    o.maxIter = 2000;
    const std::vector<double> b(static_cast<size_t>(A.rows), 1.0);
    std::vector<double> x(b.size(), 0.0);
    CSolver solver(A.View(), o);
    return solver.Solve(b.data(), x.data());
}

} // namespace

// Poisson and convection-diffusion boxes, in natural order and renumbered
// at random, their rows shuffled: the same iterations as DILU and histories
// within rounding (the two scale their intermediate vectors differently).
TEST(Ilu0, OnASevenPointBoxItIsDilu)
{
    const host::CBox box{9, 7, 6};
    const std::vector<int> perm = host::Renumbering(box.Cells(), host::ERenumber::Random, 3);
    const host::CSparseMatrix poisson = host::Poisson(box);
    const host::CSparseMatrix cd = host::ConvectionDiffusion(box, host::CConvection{1.0, 0.5, 0.25, 50.0});
    const struct {
        const char* name;
        test::CCsr A;
        bool symmetric;
    } systems[] = {
        {"Poisson", test::Shuffled(test::ToCsr(poisson), 1), true},
        {"Poisson, renumbered", test::Shuffled(test::ToCsr(host::RenumberCells(poisson, perm)), 2), true},
        {"convection-diffusion", test::Shuffled(test::ToCsr(cd), 3), false},
        {"convection-diffusion, renumbered", test::Shuffled(test::ToCsr(host::RenumberCells(cd, perm)), 4), false},
    };
    for (const auto& s : systems)
        for (EMethod m : {EMethod::BiCgStab, EMethod::Cg})
            for (ELayout layout : {ELayout::Csr, ELayout::Native}) {
                if (m == EMethod::Cg && !s.symmetric) continue;
                const std::string what = std::string(s.name) + " " + Find(m)->word + " " + Find(layout)->word;
                const CSolveResult ilu = SolveWith(s.A, m, EPreconditioner::Ilu0, layout);
                const CSolveResult dilu = SolveWith(s.A, m, EPreconditioner::Dilu, layout);
                EXPECT_TRUE(ilu.Converged()) << what;
                EXPECT_EQ(ilu.iterations, dilu.iterations) << what;
                ASSERT_EQ(ilu.history.size(), dilu.history.size()) << what;
                for (size_t k = 0; k < ilu.history.size(); ++k)
                    EXPECT_NEAR(ilu.history[k], dilu.history[k], 1e-9 * dilu.history[k]) << what << " iteration " << k;
            }
}

// A 9-point stencil (its pattern full of triangles): ILU(0) differs from
// DILU and needs fewer BiCGSTAB iterations.
TEST(Ilu0, DiffersFromDiluWhereThePatternHasTriangles)
{
    const int nx = 20, ny = 20, n = nx * ny;
    host::CSparseBuilder builder(n, n);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            const int i = 1 + x + nx * y;
            builder.Add(i, i, 8.5);
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    if ((dx != 0 || dy != 0) && x + dx >= 0 && x + dx < nx && y + dy >= 0 && y + dy < ny)
                        builder.Add(i, i + dx + nx * dy, dx + dy > 0 ? -1.25 : -0.75);
        }
    const test::CCsr A = test::Shuffled(test::ToCsr(builder.Finish()), 5);
    const CSolveResult ilu = SolveWith(A, EMethod::BiCgStab, EPreconditioner::Ilu0, ELayout::Csr);
    const CSolveResult dilu = SolveWith(A, EMethod::BiCgStab, EPreconditioner::Dilu, ELayout::Csr);
    EXPECT_TRUE(ilu.Converged());
    EXPECT_LT(ilu.iterations, dilu.iterations);
}
