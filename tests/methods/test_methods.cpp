// The methods converging on the real matrices the project carries
// (data/matrices, b = A * ones, from x = 0). The reference suite holds the
// library to its oracle bit for bit and the oracle to numbers worked by hand;
// this holds both to what the methods are for.
#include "MatrixMarket.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::test;

// Gauss-Seidel on the grid matrices (713, 997 and 245 sweeps to 1e-9), the
// Krylov methods with DILU and the diagonal preconditioner (the conjugate
// gradient on the symmetric positive definite ones). The reference norm is
// the residual after iteration 1, so a relative tolerance of 1e-10 lands near
// 1e-8 or better against |b|. DILU needs no more iterations than the
// diagonal preconditioner (fewer for the conjugate gradient).
TEST(RealMatrices, MethodsConverge)
{
    const struct {
        const char* file;
        int code;
        double maxError; // attainable accuracy of x given the conditioning
    } cases[] = {{"lap3D_7pt_n20.mtx", 4, 1e-6}, {"gr_30_30.mtx", 4, 1e-6},      {"pde900.mtx", 4, 1e-6},
                 {"lap3D_7pt_n20.mtx", 2, 1e-8}, {"gr_30_30.mtx", 2, 1e-8},      {"nos6.mtx", 2, 1e-8},
                 {"sherman1.mtx", 2, 1e-6},      {"orsreg_1.mtx", 2, 1e-7},      {"pde900.mtx", 2, 1e-8},
                 {"sherman5.mtx", 2, 1e-8},      {"lap3D_7pt_n20.mtx", 3, 1e-8}, {"gr_30_30.mtx", 3, 1e-8},
                 {"nos6.mtx", 3, 1e-7}};
    for (const auto& c : cases) {
        const host::CSparseMatrix A = host::ReadMatrixMarket(MatrixPath(c.file));
        const std::vector<double> b = RhsForOnes(A);
        const int limit = c.code == 4 ? 3000 : 2000;
        int iterations[4] = {};
        for (int type : c.code == 4 ? std::vector<int>{0} : std::vector<int>{1, 3}) {
            const std::string what =
                std::string(c.file) + " code " + std::to_string(c.code) + " type " + std::to_string(type);
            CBoundSystem sys(A);
            sys.host.SetPreconditioner(type);
            sys.host.SetVariable(1, limit, c.code == 4 ? 1e-9 : 1e-10);
            double* x = sys.host.NewVector();
            std::vector<double> bIn = b;
            CaptureStdout([&] {
                iterations[type] = SolveRecorded(sys.solver, ELayout::Native, 1, c.code, x, bIn.data()).iterations;
            });
            double maxError = 0.0, bNorm = 0.0;
            for (int i = 1; i <= A.nCell; ++i) {
                const double e = std::fabs(x[i] - 1.0);
                if (!std::isnan(maxError) && !(e <= maxError)) maxError = e; // a NaN sticks
                bNorm += b[i] * b[i];
            }
            EXPECT_LT(iterations[type], limit) << what;
            EXPECT_LT(TrueResidualNorm(A, x, b.data()) / std::sqrt(bNorm), 1e-8) << what;
            EXPECT_LT(maxError, c.maxError) << what;
        }
        EXPECT_LE(iterations[1] + (c.code == 3 ? 1 : 0), iterations[3]) << c.file << ": DILU against the diagonal";
    }
}
