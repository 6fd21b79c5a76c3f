// qvl3d-solve as a user runs it: exit statuses, the one-line reasons on
// standard error, the summary, and the files it reads and writes.
#include "MatrixMarket.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace qvl3d;
using namespace qvl3d::host;

namespace {

struct CRun {
    int status = -1;
    std::string out, err;
};

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class CommandTest : public ::testing::Test {
public:
    void SetUp() override
    {
        m_dir =
            std::filesystem::temp_directory_path() / ("qvl3d_cmd_" + std::to_string(::getpid()) + "_" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    std::string Write(const std::string& name, const std::string& text) const
    {
        std::ofstream(Path(name), std::ios::binary) << text;
        return Path(name);
    }

    CRun Run(const std::vector<std::string>& args) const
    {
        const std::string out = Path("stdout.txt"), err = Path("stderr.txt");
        const pid_t pid = fork();
        if (pid == 0) {
            const int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fo, 1);
            dup2(fe, 2);
            std::vector<char*> argv{const_cast<char*>(QVL3D_SOLVE_BINARY)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(QVL3D_SOLVE_BINARY, argv.data());
            _exit(127);
        }
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        CRun r;
        r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        r.out = Slurp(out);
        r.err = Slurp(err);
        return r;
    }

    std::filesystem::path m_dir;
};

// Exactly one line on standard error, starting with the program's name.
void ExpectOneLineReason(const CRun& r, const std::string& fragment)
{
    EXPECT_EQ(r.err.rfind("qvl3d-solve: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(fragment), std::string::npos) << r.err;
}

} // namespace

TEST_F(CommandTest, ConvergedRunExitsZeroWithTheSummary)
{
    const CRun r = Run({"--grid", "6", "--method", "gs", "--maxiter", "2000"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* line :
         {"qvl3d-solve summary", "216 cells, 1296 non-zeros", "Gauss-Seidel (code 4)", "CSR (Solver_CSR)",
          "||b - Ax|| / ||b||", "max |x - x*|", "per iteration", "host memory", "result              converged"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    // The library's own lines pass through, before the summary.
    EXPECT_LT(r.out.find("resn="), r.out.find("qvl3d-solve summary"));
}

TEST_F(CommandTest, NotConvergedIsStatusOneWithItsReason)
{
    const CRun r = Run({"--grid", "6", "--method", "gs", "--maxiter", "3", "--layout", "ell"});
    EXPECT_EQ(r.status, 1);
    ExpectOneLineReason(r, "not converged: ||b - Ax|| / ||b|| = ");
    EXPECT_NE(r.err.find("the iteration limit was reached"), std::string::npos) << r.err;
}

TEST_F(CommandTest, BadOptionsAreStatusTwo)
{
    CRun r = Run({"--tolerance", "1e-3"});
    EXPECT_EQ(r.status, 2);
    ExpectOneLineReason(r, "unknown option '--tolerance'; did you mean '--tol'?");
    EXPECT_EQ(r.out, "");
    r = Run({"--method", "gs", "--precond", "dilu"});
    EXPECT_EQ(r.status, 2);
    ExpectOneLineReason(r, "uses no preconditioner");
}

TEST_F(CommandTest, BadInputFilesAreStatusTwoNamingFileAndLine)
{
    const std::string bad = Write("bad.mtx", "%%MatrixMarket matrix coordinate real general\n2 2 2\n1 1 1\n2 2 x\n");
    CRun r = Run({"--matrix", bad});
    EXPECT_EQ(r.status, 2);
    ExpectOneLineReason(r, bad + ":4: value 'x' is not a number");

    r = Run({"--matrix", Path("missing.mtx")});
    EXPECT_EQ(r.status, 2);
    ExpectOneLineReason(r, "cannot open " + Path("missing.mtx"));

    const std::string good = Write("good.mtx", "%%MatrixMarket matrix coordinate real general\n2 2 2\n1 1 2\n2 2 4\n");
    const std::string rhs = Write("rhs.mtx", "%%MatrixMarket matrix array real general\n3 1\n1\n2\n3\n");
    r = Run({"--matrix", good, "--rhs", rhs});
    EXPECT_EQ(r.status, 2);
    ExpectOneLineReason(r, "the vector has 3 entries, the matrix 2 rows");
}

TEST_F(CommandTest, DivergenceToInfinityIsReportedAndNoSolutionWritten)
{
    // Gauss-Seidel multiplies the error by 100 every sweep: x overflows.
    const std::string m =
        Write("div.mtx", "%%MatrixMarket matrix coordinate real general\n2 2 4\n1 1 1\n1 2 10\n2 1 10\n2 2 1\n");
    const CRun r =
        Run({"--matrix", m, "--method", "gs", "--layout", "native", "--maxiter", "400", "--output", Path("x.mtx")});
    EXPECT_EQ(r.status, 1);
    ExpectOneLineReason(r, "x is not finite");
    EXPECT_NE(r.err.find("the solution was not written"), std::string::npos);
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
    EXPECT_NE(r.out.find("cells renumbered at random (seed 4)"), std::string::npos);
    EXPECT_EQ(r.out.find("max |x - x*|"), std::string::npos) << "no exact solution was given";
    const std::vector<double> x = ReadVectorMarket(Path("x.mtx"), A.nCell);
    const std::vector<double> exact = test::DenseSolve(A, b);
    for (int i = 1; i <= A.nCell; ++i) EXPECT_NEAR(x[i], exact[i], 1e-10) << "cell " << i;

    const std::string json = Slurp(Path("s.json"));
    for (const char* field : {"\"cells\": 27", "\"solver_code\": 4", "\"converged\": true", "\"exit_status\": 0",
                              "\"max_error\": null", "\"layout\": \"CSR\""})
        EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
}

TEST_F(CommandTest, RepeatsAgreeBitForBitAndErrorsAgainstAnExactFile)
{
    const CSparseMatrix A = Poisson(CBox{4, 3, 2});
    WriteMatrixMarket(Path("a.mtx"), A);
    std::vector<double> ones(static_cast<size_t>(A.nCell) + 1, 1.0), x2(ones.size(), 2.0);
    WriteVectorMarket(Path("x0.mtx"), x2.data(), A.nCell);
    WriteVectorMarket(Path("exact.mtx"), ones.data(), A.nCell);
    const CRun r = Run({"--matrix", Path("a.mtx"), "--x0", Path("x0.mtx"), "--exact", Path("exact.mtx"), "--method",
                        "gs", "--layout", "ell", "--repeat", "3", "--maxiter", "3000"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("fastest of 3"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("results bit-identical"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("max |x - x*|"), std::string::npos) << r.out;
}

TEST_F(CommandTest, UnwritableOutputIsStatusThree)
{
    const CRun r = Run({"--grid", "4", "--method", "gs", "--maxiter", "2000", "--output", Path("no/such/dir/x.mtx")});
    EXPECT_EQ(r.status, 3);
    ExpectOneLineReason(r, "cannot write " + Path("no/such/dir/x.mtx"));
}

TEST_F(CommandTest, HelpAndVersionExitZero)
{
    CRun r = Run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: qvl3d-solve", 0), 0u);
    r = Run({"-h"});
    EXPECT_EQ(r.status, 0);
    r = Run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("qvl3d-solve "), std::string::npos);
}

TEST_F(CommandTest, OpenMPSetUpRunsAndItsArrayIsFreed)
{
    // Under the sanitizer build a leak of the library's array fails the run.
    const CRun r = Run({"--grid", "5", "--method", "gs", "--maxiter", "2000", "--openmp", "--layout", "native"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("OpenMP Acceleration\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("SetupSolver(2) prepared the OpenMP store"), std::string::npos);
}

namespace {

struct CExpectedRun {
    std::vector<std::string> args;
    const char* method;
};

} // namespace

// Runs each command, expecting convergence by the solver's own test.
void ExpectKrylovRuns(const CommandTest& t, std::initializer_list<CExpectedRun> runs)
{
    for (const auto& run : runs) {
        const CRun r = t.Run(run.args);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(run.method), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("the solver's convergence test was met"), std::string::npos) << r.out;
    }
}

TEST_F(CommandTest, BiCgStabCodesReachTheirMethods)
{
    ExpectKrylovRuns(
        *this,
        {CExpectedRun{{"--grid", "8", "--layout", "native"}, "BiCGSTAB (code 2), preconditioner DILU"},
         CExpectedRun{{"--grid", "8", "--layout", "ell", "--precond", "none", "--nonblocking"},
                      "BiCGSTAB (code 2), preconditioner none"},
         CExpectedRun{{"--grid", "8", "--renumber", "reverse"}, "BiCGSTAB (code 2), preconditioner DILU"},
         CExpectedRun{{"--grid", "8", "--method", "5", "--layout", "native"}, "(code 5), preconditioner diagonal"},
         CExpectedRun{{"--grid", "8", "--method", "5"}, "(code 5), preconditioner diagonal"}});
    const CRun limit = Run({"--grid", "8", "--maxiter", "2"});
    EXPECT_EQ(limit.status, 1);
    EXPECT_NE(limit.out.find("iterations          2 (the iteration limit was reached)"), std::string::npos)
        << limit.out;
    ExpectOneLineReason(limit, "not converged");
}

TEST_F(CommandTest, ConjugateGradientCodeReachesItsMethod)
{
    ExpectKrylovRuns(*this, {CExpectedRun{{"--grid", "8", "--problem", "poisson", "--method", "pcg", "--nonblocking"},
                                          "conjugate gradient (code 3)"},
                             CExpectedRun{{"--grid", "8", "--problem", "poisson", "--method", "3", "--layout", "ell",
                                           "--precond", "diagonal"},
                                          "conjugate gradient (code 3), preconditioner diagonal"},
                             CExpectedRun{{"--grid", "8", "--problem", "poisson", "--method", "3", "--layout", "native",
                                           "--precond", "none"},
                                          "conjugate gradient (code 3), preconditioner none"}});
}

TEST_F(CommandTest, OpenMPNamedCodeReachesItsMethod)
{
    ExpectKrylovRuns(*this, {CExpectedRun{{"--grid", "8", "--method", "6"}, "(code 6), preconditioner diagonal"},
                             CExpectedRun{{"--grid", "8", "--method", "6", "--layout", "native", "--openmp"},
                                          "(code 6), preconditioner diagonal"}});
}

TEST_F(CommandTest, RealMatrixWithGaussSeidel)
{
    const std::string file = std::string(QVL3D_MATRICES_DEFAULT) + "/pde900.mtx";
    const CRun r = Run({"--matrix", file, "--method", "gs", "--layout", "native", "--maxiter", "1000"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("900 cells, 4380 non-zeros"), std::string::npos) << r.out;
}
