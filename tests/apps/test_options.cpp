// Option parsing of qvl3d-solve: defaults, spellings, conflicts and the
// suggestion for a misspelt option.
#include "CommandRun.h"
#include "SolveOptions.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <set>
#include <tuple>

using namespace qvl3d;
using namespace qvl3d::app;
using qvl3d::test::CommandTest;
using qvl3d::test::CRun;

namespace {

// The fields every spelling sets, in a comparable form.
auto Fields(const CCommandOptions& o)
{
    return std::make_tuple(o.problem, o.box.nx, o.box.ny, o.box.nz, o.code, o.precond, o.layout, o.tolerance, o.maxIter,
                           o.nonBlocking, o.repeat, o.renumber, o.seed);
}

} // namespace

TEST(Options, DefaultsSpellingsAndChoices)
{
    using host::ERenumber;
    // The documented default run: convection-diffusion on 64^3 cells with
    // BiCGSTAB and DILU on the CSR layout.
    EXPECT_EQ(Fields(ParseOptions(std::vector<std::string>{})),
              std::make_tuple(EProblem::ConvectionDiffusion, 64, 64, 64, 2, EPreconditioner::Dilu, ELayout::Csr, 1e-8,
                              10000, false, 1, ERenumber::None, std::uint64_t{1}));
    EXPECT_EQ(Fields(ParseOptions({"--grid=8x4x2", "--method", "pcg", "--precond=diagonal", "--layout", "ell", "--tol",
                                   "1e-6", "--maxiter=50", "--nonblocking", "--repeat", "3", "--renumber", "random",
                                   "--seed", "9", "--problem", "poisson", "--entry-point"})),
              std::make_tuple(EProblem::Poisson, 8, 4, 2, 3, EPreconditioner::Diagonal, ELayout::Ell, 1e-6, 50, true, 3,
                              ERenumber::Random, std::uint64_t{9}));

    const CCommandOptions v =
        ParseOptions({"--velocity", "1,-2.5,0", "--peclet", "40", "--method", "5", "--entry-point"});
    EXPECT_EQ(v.flow.vy, -2.5);
    EXPECT_EQ(v.flow.peclet, 40.0);
    EXPECT_EQ(v.code, 5);
    EXPECT_EQ(v.precond, EPreconditioner::Diagonal); // code 5 always runs the diagonal preconditioner
    // The front door by default: the method's own preconditioner when none is
    // named, the tolerance against ||b|| unless --reference says otherwise.
    const CCommandOptions gs = ParseOptions({"--method", "gs"});
    EXPECT_EQ(std::make_tuple(gs.entryPoint, gs.precond, gs.reference),
              std::make_tuple(false, EPreconditioner::None, EReference::RightHandSide));
    const CSolveOptions front =
        FrontDoorOptions(ParseOptions({"--method", "pcg", "--tol", "1e-5", "--reference", "first"}));
    EXPECT_EQ(std::make_tuple(front.method, front.preconditioner.has_value(), front.rtol, front.reference),
              std::make_tuple(EMethod::Cg, false, 1e-5, EReference::FirstIteration));
    EXPECT_EQ(ParseOptions({"--plot", "r.SVG"}).plotFile, "r.SVG"); // the suffix in any case
}

TEST(Options, MisspeltOptionsBadValuesAndConflictsAreRefused)
{
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        // The nearest valid option is suggested: one that starts the name or
        // that the name starts, else the closest by edits.
        {{"--tolerance", "1"}, "unknown option '--tolerance'; did you mean '--tol'?"},
        {{"--lyout", "csr"}, "did you mean '--layout'?"},
        {{"-t"}, "did you mean '--tol'?"},
        // Values.
        {{"--tol"}, "--tol needs a value"},
        {{"--tol="}, "--tol needs a value"},
        {{"--tol", "abc"}, "--tol needs a finite number, not 'abc'"},
        {{"--tol", "0"}, "--tol must be positive"},
        {{"--tol", "nan"}, "finite number"},
        {{"--tol", "1e-400"}, "--tol 1e-400 underflows: it is below the smallest positive double"},
        {{"--peclet", "1e999"}, "--peclet 1e999 overflows"},
        {{"--maxiter", "-1"}, "--maxiter must lie in 0..1000000000"},
        {{"--maxiter", "1e3"}, "--maxiter needs a whole number"},
        {{"--grid", "8x8"}, "--grid takes N or NXxNYxNZ"},
        {{"--grid", "0"}, "--grid must lie in 1..100000"},
        {{"--grid", "1000"}, "at most 100000000 are supported"},
        {{"--method", "7"}, "--method takes bicgstab, pcg, gs, "}, // then the other methods, 2, 3, 4, 5, 6
        {{"--layout", "coo"}, "--layout takes csr, native, ell, not 'coo'"},
        {{"--tol", "1", "--tol", "2"}, "--tol is given twice"},
        {{"--nonblocking=yes"}, "--nonblocking takes no value"},
        {{"--velocity", "0,0,0"}, "--velocity must not be zero"},
        {{"--velocity", "1,2"}, "three numbers"},
        {{"--repeat", "0"}, "--repeat must lie in 1..1000"},
        // Conflicts.
        {{"--matrix", "a.mtx", "--grid", "8"}, "cannot go with --matrix"},
        {{"--problem", "poisson", "--peclet", "3"}, "belong to the convdiff problem"},
        {{"--method", "gs", "--precond", "dilu", "--entry-point"}, "uses no preconditioner"},
        {{"--method", "pcg", "--precond", "ilu0", "--entry-point"}, "--precond ilu0 runs through the front door only"},
        {{"--method", "6", "--precond", "dilu", "--entry-point"}, "always uses the diagonal"},
        {{"--method", "5", "--layout", "ell", "--entry-point"}, "serves solver codes 2, 3 and 4"},
        {{"--reference", "first", "--entry-point"}, "--reference belongs to the front door"},
        {{"--reference", "last"}, "--reference takes rhs, first, not 'last'"},
        // What belongs to the entry points' road asks for it.
        {{"--method", "3"}, "--method 3 is a solver code of the entry points; add --entry-point"},
        {{"--nonblocking"}, "--nonblocking belongs to the entry points' road; add --entry-point"},
        {{"--openmp"}, "--openmp belongs to the entry points' road; add --entry-point"},
        {{"--seed", "3"}, "--seed only matters with --renumber random"},
        {{"--plot", "r.png"}, "--plot writes SVG: the file name must end in .svg, not 'r.png'"},
        {{"--monitor=1"}, "--monitor takes no value"},
        // Only the conjugate gradient prints a progress line.
        {{"--progress", "5"}, "--progress belongs to the entry points' road; add --entry-point"},
        {{"--progress", "5", "--entry-point"},
         "--progress prints the conjugate gradient's progress line (--method pcg); BiCGSTAB"},
        {{"--method", "gs", "--progress", "5", "--entry-point"},
         "Gauss-Seidel has none: --monitor prints a line per iteration"},
    };
    for (const auto& [args, reason] : cases)
        EXPECT_HAS(qvl3d::test::Refusal<CUsageError>([&args = args] { ParseOptions(args); }), reason) << args[0];
}

// --version prints the project's version alone and succeeds.
TEST_F(CommandTest, VersionIsTheProjectVersion)
{
    const CRun r = Run({"--version"});
    EXPECT_EQ(std::make_tuple(r.status, r.out, r.err), std::make_tuple(0, "qvl3d-solve " QVL3D_VERSION "\n", ""));
}

// The option table is the one list: --help shows every option, and the
// manual page and the README's usage block name exactly the same ones.
TEST(Options, HelpManualPageAndReadmeListTheSameOptions)
{
    const std::vector<std::string> names = OptionNames();
    const auto named = [](const std::string& text) {
        std::set<std::string> found;
        for (size_t at = text.find("--"); at != std::string::npos; at = text.find("--", at + 2)) {
            size_t end = at + 2;
            while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '-'))
                ++end;
            if (end > at + 2 && std::isalpha(static_cast<unsigned char>(text[at + 2])))
                found.insert(text.substr(at + 2, end - at - 2));
        }
        return found;
    };
    const std::set<std::string> table(names.begin(), names.end());
    // The manual page escapes its dashes: \-\-name.
    std::string manual = qvl3d::test::ReadFile(QVL3D_SOURCE_DIR "/docs/qvl3d-solve.1");
    for (size_t at; (at = manual.find("\\-")) != std::string::npos;) manual.replace(at, 2, "-");
    const std::string readme = qvl3d::test::ReadFile(QVL3D_SOURCE_DIR "/README.md");
    const size_t from = readme.find("usage: qvl3d-solve [options]");
    ASSERT_NE(from, std::string::npos);
    const std::string usage = readme.substr(from, readme.find("```", from) - from);
    const std::string help = HelpText();
    EXPECT_EQ(named(help), table);
    EXPECT_EQ(named(manual.substr(manual.find(".SH OPTIONS"),
                                  manual.find(".SH", manual.find(".SH OPTIONS") + 1) - manual.find(".SH OPTIONS"))),
              table);
    EXPECT_EQ(named(usage), table);
    // Every preconditioner's word is in all three.
    for (const CPreconditionerInfo& p : kPreconditioners)
        for (const std::string* text : {&help, static_cast<const std::string*>(&manual), &usage})
            EXPECT_NE(text->find(p.word), std::string::npos) << p.word;
}
