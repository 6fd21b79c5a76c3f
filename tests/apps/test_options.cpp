// Option parsing of qvl3d-solve: defaults, spellings, conflicts and the
// suggestion for a misspelt option.
#include "SolveOptions.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace qvl3d;
using namespace qvl3d::app;

TEST(Options, DefaultsAreTheDocumentedDefaultRun)
{
    const CSolveOptions o = ParseOptions(std::vector<std::string>{});
    EXPECT_EQ(o.problem, EProblem::ConvectionDiffusion);
    EXPECT_EQ(o.box.nx, 64);
    EXPECT_EQ(o.box.nz, 64);
    EXPECT_EQ(o.code, 2);
    EXPECT_EQ(o.precond, 1);
    EXPECT_EQ(o.layout, ELayoutChoice::Csr);
    EXPECT_EQ(o.tolerance, 1e-8);
    EXPECT_EQ(o.repeat, 1);
}

TEST(Options, BothSpellingsOfValuesAndEveryChoice)
{
    const CSolveOptions o = ParseOptions({"--grid=8x4x2", "--method", "pcg", "--precond=diagonal", "--layout", "ell",
                                          "--tol", "1e-6", "--maxiter=50", "--nonblocking", "--repeat", "3",
                                          "--renumber", "random", "--seed", "9", "--problem", "poisson"});
    EXPECT_EQ(o.box.nx, 8);
    EXPECT_EQ(o.box.ny, 4);
    EXPECT_EQ(o.box.nz, 2);
    EXPECT_EQ(o.code, 3);
    EXPECT_EQ(o.precond, 3);
    EXPECT_EQ(o.layout, ELayoutChoice::Ell);
    EXPECT_EQ(o.tolerance, 1e-6);
    EXPECT_EQ(o.maxIter, 50);
    EXPECT_TRUE(o.nonBlocking);
    EXPECT_EQ(o.repeat, 3);
    EXPECT_EQ(o.renumber, host::ERenumber::Random);
    EXPECT_EQ(o.seed, 9u);
    EXPECT_EQ(o.problem, EProblem::Poisson);

    const CSolveOptions v = ParseOptions({"--velocity", "1,-2.5,0", "--peclet", "40", "--method", "5"});
    EXPECT_EQ(v.flow.vy, -2.5);
    EXPECT_EQ(v.flow.peclet, 40.0);
    EXPECT_EQ(v.code, 5);
    EXPECT_EQ(v.precond, 3); // code 5 always runs the diagonal preconditioner
    EXPECT_EQ(ParseOptions({"--method", "gs"}).precond, 0);
    EXPECT_EQ(ParseOptions({"--matrix", "a.mtx", "--rhs", "b.mtx"}).problem, EProblem::MatrixFile);
}

TEST(Options, MisspeltOptionsBadValuesAndConflictsAreRefused)
{
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        // The nearest valid option is suggested.
        {{"--tolerance", "1"}, "unknown option '--tolerance'; did you mean '--tol'?"},
        {{"--mat", "a"}, "did you mean '--matrix'?"},
        {{"--lyout", "csr"}, "did you mean '--layout'?"},
        {{"--precon=dilu"}, "did you mean '--precond'?"},
        {{"--max-iter", "5"}, "did you mean '--maxiter'?"},
        {{"-t"}, "did you mean '--tol'?"},
        {{"solve"}, "unexpected argument 'solve'"},
        // Values.
        {{"--tol"}, "--tol needs a value"},
        {{"--tol="}, "--tol needs a value"},
        {{"--tol", "abc"}, "--tol needs a finite number, not 'abc'"},
        {{"--tol", "0"}, "--tol must be positive"},
        {{"--tol", "nan"}, "finite number"},
        {{"--maxiter", "-1"}, "--maxiter must lie in 0..1000000000"},
        {{"--maxiter", "1e3"}, "--maxiter needs a whole number"},
        {{"--grid", "8x8"}, "--grid takes N or NXxNYxNZ"},
        {{"--grid", "0"}, "--grid must lie in 1..100000"},
        {{"--grid", "1000"}, "at most 100000000 are supported"},
        {{"--method", "7"}, "--method takes bicgstab, pcg, gs, 2, 3, 4, 5, 6"},
        {{"--layout", "coo"}, "--layout takes csr, native, ell, not 'coo'"},
        {{"--tol", "1", "--tol", "2"}, "--tol is given twice"},
        {{"--nonblocking=yes"}, "--nonblocking takes no value"},
        {{"--velocity", "0,0,0"}, "--velocity must not be zero"},
        {{"--velocity", "1,2"}, "three numbers"},
        {{"--repeat", "0"}, "--repeat must lie in 1..1000"},
        // Conflicts.
        {{"--matrix", "a.mtx", "--grid", "8"}, "cannot go with --matrix"},
        {{"--problem", "poisson", "--peclet", "3"}, "belong to the convdiff problem"},
        {{"--method", "gs", "--precond", "dilu"}, "uses no preconditioner"},
        {{"--method", "6", "--precond", "dilu"}, "always uses the diagonal"},
        {{"--method", "5", "--layout", "ell"}, "serves solver codes 2, 3 and 4"},
        {{"--seed", "3"}, "--seed only matters with --renumber random"},
    };
    for (const auto& [args, reason] : cases)
        EXPECT_HAS(qvl3d::test::Refusal<CUsageError>([&] { ParseOptions(args); }), reason) << args[0];
}
