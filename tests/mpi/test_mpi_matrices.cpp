// Distributed solves of the real test matrices, split by the graph
// partitioner: each method on the matrices that suit it, every layout that
// serves it, b = A * ones so that the exact solution is known.
#include "MatrixMarket.h"
#include "MpiSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

using namespace qvl3d;
using namespace qvl3d::test;

namespace {

struct CMatrixCase {
    const char* file;
    int lsolv;
    int precond;
    int maxIter;
    double tolerance;   // the solver's, relative to its first iteration
    double relResidual; // what ||b - Ax|| / ||b|| must reach
};

double RelativeResidual(const host::CSparseMatrix& A, const std::vector<double>& x, const std::vector<double>& b)
{
    std::vector<double> ax(x.size(), 0.0);
    host::Multiply(A, x.data(), ax.data());
    double rr = 0.0, bb = 0.0;
    for (int i = 1; i <= A.nCell; ++i) {
        rr += (b[static_cast<size_t>(i)] - ax[static_cast<size_t>(i)]) *
              (b[static_cast<size_t>(i)] - ax[static_cast<size_t>(i)]);
        bb += b[static_cast<size_t>(i)] * b[static_cast<size_t>(i)];
    }
    return std::sqrt(rr / bb);
}

void SolveMatrices(const std::vector<CMatrixCase>& cases)
{
    for (const CMatrixCase& c : cases) {
        const host::CSparseMatrix A = host::ReadMatrixMarket(MatrixPath(c.file));
        const std::vector<double> b = RhsForOnes(A);
        const host::COwners owner = host::PartitionGraph(A, Ranks());
        for (ELayout layout : {ELayout::Native, ELayout::Csr, ELayout::Ell}) {
            if ((c.lsolv == 5 || c.lsolv == 6) && layout == ELayout::Ell) continue; // not served by Solver_ELL
            CSolveSettings s;
            s.lsolv = c.lsolv;
            s.layout = layout;
            s.precond = c.precond;
            s.maxIter = c.maxIter;
            s.tolerance = c.tolerance;
            const CSolveResult r = SolveDistributed(MPI_COMM_WORLD, A, owner, b, s);
            const double rel = RelativeResidual(A, r.x, b);
            EXPECT_LT(rel, c.relResidual) << c.file << ", code " << c.lsolv << ", preconditioner " << c.precond << ", "
                                          << LayoutName(layout) << ", " << Ranks() << " ranks";
        }
    }
}

} // namespace

TEST(MpiMatrices, GaussSeidelOnTheMatricesItConvergesOn)
{
    SolveMatrices({{"pde900.mtx", 4, 0, 3000, 1e-10, 1e-8}, {"lap3D_7pt_n20.mtx", 4, 0, 5000, 1e-9, 1e-7}});
}

TEST(MpiMatrices, ConjugateGradientOnTheSymmetricOnes)
{
    SolveMatrices({{"lap3D_7pt_n20.mtx", 3, 1, 500, 1e-10, 1e-9},
                   {"gr_30_30.mtx", 3, 3, 500, 1e-10, 1e-9},
                   {"nos6.mtx", 3, 1, 2000, 1e-10, 1e-8},
                   {"sherman1.mtx", 3, 3, 2000, 1e-10, 1e-8}});
}

TEST(MpiMatrices, BiCgStabOnTheNonSymmetricOnes)
{
    SolveMatrices({{"orsreg_1.mtx", 2, 1, 1000, 1e-10, 1e-8},
                   {"pde900.mtx", 2, 3, 1000, 1e-10, 1e-8},
                   {"sherman5.mtx", 2, 1, 2000, 1e-10, 1e-7},
                   {"orsreg_1.mtx", 5, 3, 2000, 1e-10, 1e-8},
                   {"pde900.mtx", 6, 3, 1000, 1e-10, 1e-8}});
}
