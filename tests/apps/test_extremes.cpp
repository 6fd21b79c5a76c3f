// qvl3d-solve at the ends of the double range: its norms of b and of the
// true residual neither underflow nor overflow, b = 0 is decided on the
// values, and where the method's own sums of squares fail at that scale the
// summary says so instead of claiming convergence. Also on two ranks.
#include "CommandRun.h"
#include "MatrixMarket.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace qvl3d;
using namespace qvl3d::host;
using namespace qvl3d::test;

namespace {

// The 1-D Laplacian tridiag(-1, 2, -1) on n cells, times scale.
CSparseMatrix Laplacian(int n, double scale)
{
    CSparseBuilder builder(n, n);
    for (int i = 1; i <= n; ++i) {
        if (i > 1) builder.Add(i, i - 1, -scale);
        builder.Add(i, i, 2.0 * scale);
        if (i < n) builder.Add(i, i + 1, -scale);
    }
    return builder.Finish();
}

class ExtremesTest : public CommandTest {
public:
    // Every run on the entry points' road, whose own norms are sums of
    // squares that are not scaled; launch goes before the binary.
    void RunAll(const std::string& launch)
    {
        WriteFile(Path("one.mtx"), "%%MatrixMarket matrix coordinate real general\n1 1 1\n1 1 1\n");
        WriteFile(Path("tiny-b.mtx"), "%%MatrixMarket matrix array real general\n1 1\n1e-170\n");
        WriteFile(Path("zero.mtx"), "%%MatrixMarket matrix array real general\n1 1\n0\n");
        WriteMatrixMarket(Path("tiny.mtx"), Laplacian(20, 1e-300));
        WriteMatrixMarket(Path("huge.mtx"), Laplacian(20, 1e300));
        const std::vector<double> ones(21, 1.0);
        WriteVectorMarket(Path("ones.mtx"), ones.data(), 20);
        const std::string underflow = "its sums of squares underflow at this scale";
        const struct {
            const char* what;
            std::vector<std::string> args; // after --matrix
            int exit;
            std::string arithmetic; // in the summary's arithmetic line; "" for none
            bool rhsZero = false;
        } runs[] = {
            {"1 x 1, b = 1e-170: the answer is 1e-170, not 0",
             {Path("one.mtx"), "--rhs", Path("tiny-b.mtx")},
             1,
             "was 0 before the first iteration, but ||b - Ax|| is 1.000e-170: " + underflow},
            {"Laplacian times 1e-300, BiCGSTAB", {Path("tiny.mtx")}, 1, "before the first iteration"},
            {"Laplacian times 1e-300, the conjugate gradient",
             {Path("tiny.mtx"), "--method", "pcg", "--maxiter", "50"},
             1,
             "was 0 at iteration 1, but ||b - Ax|| is 1.414e-300: " + underflow},
            {"Laplacian times 1e-300 from its solution: no false alarm",
             {Path("tiny.mtx"), "--x0", Path("ones.mtx")},
             0,
             ""},
            {"Laplacian times 1e300, the conjugate gradient",
             {Path("huge.mtx"), "--method", "pcg"},
             0,
             "inf at iteration 1 although x stayed finite: its sums of squares overflow at this scale"},
            {"1 x 1, b = 0", {Path("one.mtx"), "--rhs", Path("zero.mtx")}, 0, "", true},
        };
        for (const auto& run : runs) {
            if (!launch.empty() && run.args.front() == Path("one.mtx")) continue; // one cell: nothing to split
            std::vector<std::string> args = {"--matrix"};
            args.insert(args.end(), run.args.begin(), run.args.end());
            args.insert(args.end(), {"--entry-point", "--json", Path("s.json")});
            std::remove(Path("s.json").c_str());
            const CRun r = Run(args, "", "", launch);
            const std::string json = ReadFile(Path("s.json"));
            SCOPED_TRACE(std::string(run.what) + "\n" + r.out + r.err);
            if (!launch.empty()) {
                EXPECT_HAS(r.out, "  ranks               2 (");
            }
            EXPECT_EQ(r.status, run.exit);
            const std::string result = r.out.substr(r.out.find("  result "));
            const double relative = std::strtod(Field(json, "relative_residual").c_str(), nullptr);
            EXPECT_EQ(Field(json, "rhs_is_zero"), run.rhsZero ? "true" : "false");
            if (run.exit == 0) {
                EXPECT_LE(relative, 1e-8);
                EXPECT_EQ(result.rfind("  result              converged: ", 0), 0u);
            } else {
                EXPECT_EQ(relative, 1.0) << "x = 0 leaves all of b";
                EXPECT_EQ(result.rfind("  result              not converged: ", 0), 0u);
                EXPECT_HAS(r.err, run.arithmetic);
            }
            if (run.arithmetic.empty()) {
                EXPECT_EQ(r.out.find("  arithmetic "), std::string::npos);
                EXPECT_EQ(Field(json, "method_arithmetic"), "null");
            } else {
                EXPECT_HAS(r.out, "  arithmetic          the method's own residual norm ");
                EXPECT_HAS(r.out, run.arithmetic);
                EXPECT_HAS(Field(json, "method_arithmetic"), run.arithmetic);
                if (run.exit == 0) {
                    EXPECT_HAS(result, "by the command's own norms; the method's own norms failed");
                }
            }
        }
    }
};

} // namespace

TEST_F(ExtremesTest, NormsHoldAtBothEndsOfTheRangeAndTheMethodsFailuresAreNamed)
{
    RunAll("");
}

#if defined(QVL3D_MPI_LAUNCH)
// The ranks' partial norms are combined without losing their scale.
TEST_F(ExtremesTest, NormsHoldOnTwoRanks)
{
    RunAll(QVL3D_MPI_LAUNCH " 2 ");
}
#endif
