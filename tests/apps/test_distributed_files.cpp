// qvl3d-solve under mpiexec with vector files and renumbered problems, all
// built or read rank by rank: each problem must write the serial command's
// solution on one rank byte for byte and on one of 2 to 4 ranks to rounding
// (every count serves two problems), and a faulty file must be refused as
// the serial command refuses it, whichever rank owns the fault.
#include "CommandRun.h"
#include "MatrixMarket.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::host;
using namespace qvl3d::test;

#if defined(QVL3D_MPI_LAUNCH)

namespace {

// The largest difference of two solution files relative to the largest value.
double RelativeDifference(const std::string& a, const std::string& b, int n)
{
    const std::vector<double> x = ReadVectorMarket(a, n), y = ReadVectorMarket(b, n);
    double top = 0.0, diff = 0.0;
    for (int i = 1; i <= n; ++i) {
        top = std::max(top, std::fabs(x[i]));
        diff = std::max(diff, std::fabs(x[i] - y[i]));
    }
    return diff / top;
}

class DistributedFilesTest : public CommandTest {
public:
    void SetUp() override
    {
        const int n = 9 * 8 * 7;
        std::vector<double> b(n + 1), x0(n + 1);
        for (int i = 1; i <= n; ++i) {
            b[i] = std::sin(0.37 * i) + 0.01 * i;
            x0[i] = 0.5 * std::cos(1.3 * i);
        }
        WriteVectorMarket(Path("b.mtx"), b.data(), n);
        WriteVectorMarket(Path("x0.mtx"), x0.data(), n);
        WriteMatrixMarket(Path("a.mtx"), ConvectionDiffusion(CBox{9, 8, 7}, CConvection{1.0, -0.5, 0.25, 20.0}));
    }

    // The serial run's solution and, on one rank, the same values. The ranks'
    // sums and products round in another order, so on `ranks` ranks the
    // diagonal preconditioner's 30 iterations agree to rounding, where a
    // value of b or x0 on the wrong cell would change whole digits.
    void ExpectSerialSolution(const std::vector<std::string>& problem, int ranks)
    {
        std::vector<std::string> args = problem;
        args.insert(args.end(), {"--method", "bicgstab", "--precond", "diagonal", "--maxiter", "30", "--tol", "1e-30"});
        std::vector<std::string> serial = args;
        serial.insert(serial.end(), {"--output", Path("serial.mtx")});
        const CRun s = Run(serial);
        ASSERT_EQ(s.status, 1) << s.out << s.err; // not converged at this tolerance: 30 full iterations
        for (int count : {1, ranks}) {
            std::vector<std::string> mpi = args;
            mpi.insert(mpi.end(), {"--output", Path("mpi.mtx")});
            const CRun r = Run(mpi, "", "", QVL3D_MPI_LAUNCH " " + std::to_string(count) + " ");
            SCOPED_TRACE(std::to_string(count) + " ranks" + r.out + r.err);
            ASSERT_EQ(r.status, 1);
            EXPECT_HAS(r.out, "  ranks ");
            const double difference = RelativeDifference(Path("serial.mtx"), Path("mpi.mtx"), 504);
            if (count == 1) {
                EXPECT_EQ(difference, 0.0) << "the serial bits on one rank";
            } else {
                EXPECT_LT(difference, 1e-10);
            }
        }
    }
};

} // namespace

TEST_F(DistributedFilesTest, VectorFilesAndRenumberingsGiveTheSerialSolutionOnOneToFourRanks)
{
    const std::vector<std::string> files = {"--rhs", Path("b.mtx"), "--x0", Path("x0.mtx")};
    int next = 0; // the rank counts 2, 3, 4 in turn
    for (const std::vector<std::string>& problem :
         {std::vector<std::string>{"--grid", "9x8x7", "--velocity", "1,-0.5,0.25", "--peclet", "20"},
          {"--grid", "9x8x7", "--velocity", "1,-0.5,0.25", "--peclet", "20", "--seed", "3", "--renumber", "random"},
          {"--matrix", Path("a.mtx"), "--renumber", "reverse"},
          {"--matrix", Path("a.mtx"), "--renumber", "random"}}) {
        std::vector<std::string> withFiles = problem;
        withFiles.insert(withFiles.end(), files.begin(), files.end());
        SCOPED_TRACE(problem.back());
        ExpectSerialSolution(withFiles, 2 + next++ % 3);
        if (problem.back() == "random")
            ExpectSerialSolution(problem, 2 + next++ % 3); // b = A*1 on the renumbered share
    }
}

TEST_F(DistributedFilesTest, AFaultyVectorFileIsRefusedAsTheSerialCommandRefusesIt)
{
    // Faults in the last rows, which the last ranks own.
    std::string text = ReadFile(Path("b.mtx"));
    WriteFile(Path("bad.mtx"), text.substr(0, text.rfind('\n', text.size() - 2) + 1) + "1e999\n");
    WriteFile(Path("short.mtx"), text.substr(0, text.rfind('\n', text.size() - 2) + 1));
    WriteFile(Path("sum.mtx"), "%%MatrixMarket matrix coordinate real general\n504 1 3\n504 1 1e308\n1 1 1\n"
                               "504 1 1e308\n");
    const struct {
        const char *option, *file, *ranks;
    } runs[] = {{"--rhs", "bad.mtx", " 2 "}, {"--x0", "short.mtx", " 3 "}, {"--rhs", "sum.mtx", " 3 "}};
    for (const auto& run : runs) {
        const std::vector<std::string> args = {"--grid", "9x8x7", "--renumber", "random", run.option, Path(run.file)};
        const CRun serial = Run(args);
        ASSERT_EQ(serial.status, 2) << serial.err;
        const CRun r = Run(args, "", "", QVL3D_MPI_LAUNCH + std::string(run.ranks));
        SCOPED_TRACE(std::string(run.file) + run.ranks + r.err);
        EXPECT_EQ(r.status, 2);
        // One line, the serial command's; what follows is the launcher's.
        EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), serial.err);
        EXPECT_EQ(r.err.find("qvl3d-solve", 1), std::string::npos);
    }
}

#endif
