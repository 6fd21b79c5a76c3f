// qvl3d-solve as a user runs it: exit statuses, the one-line reasons on
// standard error, the summary, and the files it reads and writes.
#include "CommandRun.h"
#include "MatrixMarket.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

using namespace qvl3d;
using namespace qvl3d::host;
using namespace qvl3d::test;

namespace {

const char* const kMet = "(the convergence test was met)";

} // namespace

// Each fragment stands in standard output after the one before it.
TEST_F(CommandTest, SuccessfulRunsExitZeroAndSayWhatTheyDid)
{
    const CSparseMatrix A = Poisson(CBox{4, 3, 2});
    std::vector<double> ones(static_cast<size_t>(A.nCell) + 1, 1.0), twos(ones.size(), 2.0);
    WriteMatrixMarket(Path("a.mtx"), A);
    WriteVectorMarket(Path("x0.mtx"), twos.data(), A.nCell);
    WriteVectorMarket(Path("exact.mtx"), ones.data(), A.nCell);
    const std::string pde900 = MatrixPath("pde900.mtx");
    const struct {
        std::vector<std::string> args, out;
    } runs[] = {
        // The front door by default: the method's preconditioner, the
        // tolerance against ||b||.
        {{"--grid", "8", "--layout", "native"},
         {"qvl3d-solve summary", "512 cells", "BiCGSTAB, preconditioner DILU", "native (front door: qvl3d::CSolver)",
          "1e-08 times ||b||", kMet, "initial residual", "||b - Ax|| / ||b||", "max |x - x*|", "per iteration",
          "result              converged"}},
        {{"--grid", "8", "--problem", "poisson", "--method", "pcg", "--layout", "ell", "--reference", "first"},
         {"conjugate gradient, preconditioner DILU", "times the residual after the first iteration", kMet,
          "reference residual", "the conjugate gradient has no ELL form: it runs on the native rows"}},
        {{"--matrix", pde900, "--method", "gs", "--layout", "ell", "--maxiter", "1000"},
         {"900 cells, 4380 non-zeros", "Gauss-Seidel, preconditioner none"}},
        // The entry points: the library's own lines pass through, before the
        // summary.
        {{"--grid", "6", "--method", "gs", "--maxiter", "2000", "--entry-point"},
         {"resn=", "qvl3d-solve summary", "216 cells, 1296 non-zeros", "Gauss-Seidel (code 4)", "CSR (Solver_CSR)",
          kMet, "reference residual", "collective calls", "host memory", "result              converged"}},
        {{"--grid", "8", "--layout", "ell", "--precond", "none", "--nonblocking", "--entry-point"},
         {"BiCGSTAB (code 2), preconditioner none", kMet}},
        {{"--grid", "8", "--method", "5", "--layout", "native", "--entry-point"},
         {"(code 5), preconditioner diagonal", kMet}},
        {{"--grid", "8", "--problem", "poisson", "--method", "3", "--layout", "ell", "--precond", "diagonal",
          "--entry-point"},
         {"conjugate gradient (code 3), preconditioner diagonal", kMet}},
        // Under the sanitizer build a leak of the library's array fails the run.
        {{"--grid", "8", "--method", "6", "--layout", "native", "--openmp", "--entry-point"},
         {"OpenMP Acceleration\n", "(code 6), preconditioner diagonal", kMet,
          "SetupSolver(2) prepared the OpenMP store"}},
        {{"--matrix", Path("a.mtx"), "--x0", Path("x0.mtx"), "--exact", Path("exact.mtx"), "--method", "gs", "--layout",
          "ell", "--repeat", "3", "--maxiter", "3000"},
         {"max |x - x*|", "fastest of 3", "results bit-identical"}},
        {{"-h"}, {"usage: qvl3d-solve"}},
    };
    for (const auto& run : runs) {
        const CRun r = Run(run.args);
        EXPECT_EQ(r.status, 0) << run.args[0] << " " << r.err;
        EXPECT_EQ(r.err, "");
        size_t at = 0;
        for (const std::string& part : run.out) {
            at = r.out.find(part, at);
            ASSERT_NE(at, std::string::npos) << part << "\n" << r.out;
        }
    }
}

TEST_F(CommandTest, FailuresHaveTheirStatusAndAOneLineReason)
{
    const std::string good =
        WriteFile(Path("good.mtx"), "%%MatrixMarket matrix coordinate real general\n2 2 2\n1 1 2\n2 2 4\n");
    const std::string rhs = WriteFile(Path("rhs.mtx"), "%%MatrixMarket matrix array real general\n3 1\n1\n2\n3\n");
    // Gauss-Seidel multiplies the error by 100 every sweep: x overflows on
    // the entry points' road (the front door stops at the first norm that is
    // not finite).
    const std::string divergent = WriteFile(
        Path("div.mtx"), "%%MatrixMarket matrix coordinate real general\n2 2 4\n1 1 1\n1 2 10\n2 1 10\n2 2 1\n");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string reason, more = ""; // more on standard error
    } runs[] = {
        {{"--grid", "6", "--method", "gs", "--maxiter", "3", "--layout", "ell", "--entry-point"},
         1,
         "not converged: ||b - Ax|| / ||b|| = ",
         "the iteration limit was reached"},
        {{"--matrix", divergent, "--method", "gs", "--layout", "native", "--maxiter", "400", "--output", Path("x.mtx"),
          "--entry-point"},
         1,
         "x is not finite",
         "the solution was not written"},
        // What the front door refuses, with its reason (the refusals of the
        // repository matrices are test_command.py's three-way agreement).
        {{"--grid", "4", "--maxiter", "0"}, 2, "qvl3d::CSolver", ""},
        // A usage error: which ones there are is test_options'.
        {{"solve"}, 2, "unexpected argument 'solve' (options start with --) (see --help)\n", ""},
        // A file that cannot be read: which faults there are is the Matrix
        // Market tests' and test_files'.
        {{"--matrix", good, "--rhs", rhs}, 2, "the vector has 3 entries, the matrix 2 rows", ""},
    };
    for (const auto& run : runs) {
        const CRun r = Run(run.args);
        EXPECT_EQ(r.status, run.status) << r.err;
        ExpectOneLineReason(r, run.reason);
        EXPECT_HAS(r.err, run.more);
        EXPECT_EQ(r.status == 2, r.out.empty()) << r.out;
    }
    EXPECT_FALSE(std::filesystem::exists(Path("x.mtx")));
}

TEST_F(CommandTest, SolutionIsWrittenInTheOriginalNumbering)
{
    const CSparseMatrix A = ConvectionDiffusion(CBox{3, 3, 3}, CConvection{1.0, 0.5, -0.5, 10.0});
    WriteMatrixMarket(Path("a.mtx"), A);
    std::vector<double> b(static_cast<size_t>(A.nCell) + 1);
    for (int i = 1; i <= A.nCell; ++i) b[i] = std::sin(0.5 * i);
    WriteVectorMarket(Path("b.mtx"), b.data(), A.nCell);
    const CRun r =
        Run({"--matrix", Path("a.mtx"), "--rhs", Path("b.mtx"), "--renumber", "random", "--seed", "4", "--method", "gs",
             "--tol", "1e-13", "--maxiter", "5000", "--output", Path("x.mtx"), "--json", Path("s.json")});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_HAS(r.out, "cells renumbered at random (seed 4)");
    EXPECT_EQ(r.out.find("max |x - x*|"), std::string::npos) << "no exact solution was given";
    const std::vector<double> x = ReadVectorMarket(Path("x.mtx"), A.nCell);
    const std::vector<double> exact = DenseSolve(A, b);
    for (int i = 1; i <= A.nCell; ++i) EXPECT_NEAR(x[i], exact[i], 1e-10) << "cell " << i;
    for (const char* field :
         {"\"cells\": 27", "\"road\": \"front_door\"", "\"solver_code\": null", "\"converged\": true",
          "\"exit_status\": 0", "\"max_error\": null", "\"layout\": \"CSR\""})
        EXPECT_HAS(ReadFile(Path("s.json")), field);
}
