// Checks of the comparison itself: that our solves stop at the peers'
// ||r||/||b||, that iterations are counted right, that raw rows survive the
// trip through their CSV, and that the systems are what they claim to be.
#include "ByteModel.h"
#include "FrontDoorRunner.h"
#include "MachineSizes.h"
#include "OurRunner.h"
#include "PeerReport.h"
#include "PeerSystems.h"

#include <qvl3d/SolverTable.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

using namespace qvl3d;
using namespace qvl3d::peers;

namespace {

const COurConfig& Config(const std::string& method, const std::string& precond, const std::string& layout)
{
    for (const COurConfig& c : OurConfigs())
        if (c.method == method && c.precond == precond && c.layout == layout) return c;
    throw std::invalid_argument("no configuration " + method + ":" + precond + ":" + layout);
}

std::string TempPath(const std::string& name)
{
    return ::testing::TempDir() + "/" + name;
}

double Norm(const double* v, int n)
{
    double s = 0.0;
    for (int i = 1; i <= n; ++i) s += v[i] * v[i];
    return std::sqrt(s);
}

} // namespace

// The mapped tolerance must stop each method at the first iteration whose
// residual is below rtol*||b||: not one later (a peer would have stopped) and
// not one earlier. BiCGSTAB tests its recursive residual (left in the store),
// Gauss-Seidel the true residual after the sweep.
TEST(OurRunner, StopsAtThePeersRelativeResidual)
{
    const double rtol = 1e-6;
    for (const char* descriptor : {"poisson:10", "convdiff:10"}) {
        const CPeerSystem s = BuildSystem(descriptor, ".");
        COurRunner runner(s, 0, 1);
        for (const auto& [method, precond, layout] :
             {std::make_tuple("bicgstab", "diag", "csr"), std::make_tuple("bicgstab", "dilu", "native"),
              std::make_tuple("bicgstab", "dilu", "ell")}) {
            SCOPED_TRACE(std::string(descriptor) + " " + method + " " + precond + " " + layout);
            const COurConfig& c = Config(method, precond, layout);
            double tolerance = 0.0, setup = 0.0, solve = 0.0;
            int its = 0, fewer = 0;
            ASSERT_TRUE(runner.Prepare(c, rtol, tolerance));
            runner.Round(c, 10000, tolerance, 0.0, setup, solve, its);
            ASSERT_GT(its, 1);
            EXPECT_LE(Norm(runner.StoreResidual(), runner.Cells()) / s.normB, rtol);
            runner.Round(c, its - 1, tolerance, 0.0, setup, solve, fewer);
            EXPECT_EQ(fewer, its - 1);
            EXPECT_GT(Norm(runner.StoreResidual(), runner.Cells()) / s.normB, rtol);
        }
        const COurConfig& gs = Config("gs", "none", "csr");
        double tolerance = 0.0, setup = 0.0, solve = 0.0;
        int sweeps = 0, fewer = 0;
        ASSERT_TRUE(runner.Prepare(gs, 1e-3, tolerance));
        runner.Round(gs, 100000, tolerance, 0.0, setup, solve, sweeps);
        EXPECT_LE(TrueRelativeResidual(s, runner.Solution().data()), 1e-3) << descriptor;
        runner.Round(gs, sweeps - 1, tolerance, 0.0, setup, solve, fewer);
        EXPECT_EQ(fewer, sweeps - 1);
        EXPECT_GT(TrueRelativeResidual(s, runner.Solution().data()), 1e-3) << descriptor;
    }
}

// With a tolerance of 0 nothing converges: every method available in this
// build must report exactly the iteration limit in its record.
TEST(OurRunner, CountsEveryIterationUpToTheLimit)
{
    const CPeerSystem s = BuildSystem("poisson:8", ".");
    COurRunner runner(s, 0, 1);
    int available = 0;
    for (const COurConfig& c : OurConfigs()) {
        SCOPED_TRACE(std::string(c.method) + " " + c.precond + " " + c.layout);
        double tolerance = 0.0, setup = 0.0, solve = 0.0;
        if (!runner.Prepare(c, 1e-8, tolerance)) continue;
        ++available;
        int its = 0;
        runner.Round(c, 5, 0.0, 0.0, setup, solve, its);
        EXPECT_EQ(its, 5);
        EXPECT_GE(solve, 0.0);
    }
    EXPECT_GE(available, 9); // BiCGSTAB and Gauss-Seidel on three layouts at least
}

const CFrontDoorConfig& FrontConfig(const std::string& method, const std::string& precond, const std::string& layout)
{
    for (const CFrontDoorConfig& c : FrontDoorConfigs())
        if (c.method == method && c.precond == precond && c.layout == layout) return c;
    throw std::invalid_argument("no front door configuration " + method + ":" + precond + ":" + layout);
}

// Both roads side by side only mean something when they stop at the same
// iteration: the front door under its own rule (the peers' rule) must take
// exactly the iterations the entry points take under the mapped tolerance,
// and its solution must meet rtol, which one iteration fewer does not.
TEST(FrontDoorRunner, StopsWhereTheEntryPointsStop)
{
    for (const char* descriptor : {"poisson:10", "convdiff:10"}) {
        const CPeerSystem s = BuildSystem(descriptor, ".");
        COurRunner entry(s, 0, 1);
        CFrontDoorRunner front(s, 0, 1);
        for (const auto& [method, precond, layout, rtol] :
             {std::make_tuple("bicgstab", "dilu", "csr", 1e-6), std::make_tuple("bicgstab", "diag", "ell", 1e-6),
              std::make_tuple("bicgstab", "dilu", "native", 1e-6), std::make_tuple("cg", "dilu", "native", 1e-6),
              std::make_tuple("gs", "none", "ell", 1e-3)}) {
            if (std::string(method) == "cg" && !s.symmetric) continue;
            SCOPED_TRACE(std::string(descriptor) + " " + method + " " + precond + " " + layout);
            const COurConfig& c = Config(method, precond, layout);
            double tolerance = 0.0, setup = 0.0, solve = 0.0;
            int its = 0;
            ASSERT_TRUE(entry.Prepare(c, rtol, tolerance));
            entry.Round(c, 100000, tolerance, 0.0, setup, solve, its);

            std::string why;
            const CFrontDoorConfig& f = FrontConfig(method, precond, layout);
            ASSERT_TRUE(front.Prepare(f, rtol, 100000, 30, why)) << why;
            const CFrontDoorTimes t = front.Round(0.0);
            EXPECT_EQ(t.iterations, its);
            EXPECT_EQ(t.status, "converged");
            EXPECT_LE(TrueRelativeResidual(s, front.Solution().data()), rtol);
            ASSERT_TRUE(front.Prepare(f, rtol, its - 1, 30, why)) << why;
            EXPECT_EQ(front.Round(0.0).iterations, its - 1);
            EXPECT_GT(TrueRelativeResidual(s, front.Solution().data()), rtol);
        }
    }
}

// A capped solve runs exactly its limit, and the call splits into a build,
// a set-up and the iterations, none of them negative and the iterations
// not empty.
TEST(FrontDoorRunner, CountsEveryIterationAndSplitsTheCall)
{
    const CPeerSystem s = BuildSystem("poisson:8", ".");
    CFrontDoorRunner front(s, 0, 1);
    int ran = 0;
    for (const CFrontDoorConfig& c : FrontDoorConfigs()) {
        SCOPED_TRACE(std::string(c.method) + " " + c.precond + " " + c.layout);
        std::string why;
        if (!front.Prepare(c, 1e-30, 5, 30, why)) {
            EXPECT_FALSE(c.perIteration) << why; // every per-iteration configuration runs
            continue;
        }
        ++ran;
        const CFrontDoorTimes t = front.Round(0.0);
        EXPECT_EQ(t.iterations, 5);
        EXPECT_GT(t.build, 0.0);
        EXPECT_GE(t.setup, 0.0);
        EXPECT_GT(t.solve, 0.0);
    }
    EXPECT_GE(ran, 15); // the per-iteration set and GMRES with two preconditioners
}

// A row for a preconditioner the front door does not have yet is skipped
// with the word and the table's words; one it has runs.
TEST(FrontDoorRunner, NamesWhatTheTableLacks)
{
    CSolveOptions options;
    std::string why;
    EXPECT_FALSE(FrontDoorOptions({"cg", "nosuch", "csr", false}, 1e-8, 10, 30, options, why));
    EXPECT_NE(why.find("'nosuch'"), std::string::npos) << why;
    EXPECT_NE(why.find("dilu"), std::string::npos) << why;
    EXPECT_FALSE(FrontDoorOptions({"gs", "dilu", "csr", false}, 1e-8, 10, 30, options, why));
    ASSERT_TRUE(FrontDoorOptions({"gmres", "diag", "ell", false}, 1e-7, 12, 20, options, why)) << why;
    EXPECT_EQ(options.method, EMethod::Gmres);
    EXPECT_EQ(options.preconditioner, EPreconditioner::Diagonal);
    EXPECT_EQ(options.layout, ELayout::Ell);
    EXPECT_EQ(options.restart, 20);
    EXPECT_EQ(options.reference, EReference::RightHandSide);
    for (const char* word : {"amg", "ilu0"})
        EXPECT_EQ(FrontDoorOptions({"cg", word, "csr", false}, 1e-8, 10, 30, options, why),
                  FindWord(kPreconditioners, std::string(word)) != nullptr)
            << word << ": " << why;
}

TEST(RawRows, SurviveTheirCsvWithQuotedCommas)
{
    const std::string path = TempPath("raw_rows.csv");
    std::remove(path.c_str());
    CResultRow r;
    r.impl = "petsc";
    r.system = "poisson-8";
    r.cells = 512;
    r.method = "bicgstab";
    r.precond = "dilu";
    r.layout = "aij";
    r.road = "front";
    r.ranks = 2;
    r.buildSeconds = 0.25;
    r.iterations = 10;
    r.solveSeconds = 512e-9 * 10 * 3.5; // 3.5 ns per cell and iteration
    r.detail = "KSPBCGS, right";
    AppendRows(path, {r});
    r.impl = "eigen";
    AppendRows(path, {r}); // a second program appends without a second header

    const auto records = ReadCsv(path);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].at("impl"), "petsc");
    EXPECT_EQ(records[1].at("impl"), "eigen");
    EXPECT_EQ(records[0].at("detail"), "KSPBCGS, right");
    EXPECT_EQ(records[0].at("ranks"), "2");
    EXPECT_EQ(records[0].at("road"), "front");
    EXPECT_DOUBLE_EQ(std::stod(records[0].at("build_s")), 0.25);
    EXPECT_NEAR(std::stod(records[0].at("ns_cell_iter")), 3.5, 1e-4);

    std::ofstream(path, std::ios::app) << "ours,short,row\n";
    try {
        ReadCsv(path);
        FAIL() << "a short record was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(":4:"), std::string::npos) << e.what();
    }
}

TEST(PeerArgs, FilterAndOptions)
{
    EXPECT_TRUE(Selected("", "gs", "none", "ell"));
    EXPECT_TRUE(Selected("bicgstab:diag", "bicgstab", "diag", "ell"));
    EXPECT_FALSE(Selected("bicgstab:diag", "bicgstab", "dilu", "ell"));
    EXPECT_TRUE(Selected("cg:dilu:csr,gs", "gs", "none", "native"));
    EXPECT_FALSE(Selected("cg:dilu:csr,gs", "cg", "dilu", "native"));

    char prog[] = "p", key[] = "--rounds", bad[] = "x", unknown[] = "--colour";
    char* ok[] = {prog, key, bad};
    EXPECT_THROW(CPeerArgs(3, ok, CommonOptions()).Int("rounds", 3, 1, 10), std::invalid_argument);
    char* wrong[] = {prog, unknown, bad};
    EXPECT_THROW(CPeerArgs(3, wrong, CommonOptions()), std::invalid_argument);
    char* missing[] = {prog, key};
    EXPECT_THROW(CPeerArgs(2, missing, CommonOptions()), std::invalid_argument);
}

TEST(PeerReport, MeanOverRepeatsUntilTheMinimumTime)
{
    int calls = 0;
    EXPECT_DOUBLE_EQ(MeanOver(1.0, [&] { return ++calls, 0.3; }), 0.3);
    EXPECT_EQ(calls, 4);
    calls = 0;
    MeanOver(0.0, [&] { return ++calls, 0.0; });
    EXPECT_EQ(calls, 1);
}

TEST(PeerSystems, SpecsAndSymmetry)
{
    const CPeerSystem p = BuildSystem("poisson:6", ".");
    EXPECT_TRUE(p.symmetric);
    EXPECT_TRUE(p.isBox);
    EXPECT_EQ(p.A.nCell, 216);
    EXPECT_EQ(p.name, "poisson-6");
    EXPECT_NEAR(TrueRelativeResidual(p, p.x.data()), 0.0, 1e-15);
    EXPECT_EQ(RelativeError(p, p.x.data()), 0.0);

    const CPeerSystem c = BuildSystem("convdiff:6", ".");
    EXPECT_FALSE(c.symmetric);

    // A symmetric file stores one triangle: the expanded matrix must be found
    // symmetric, or the conjugate-gradient rows would silently go missing.
    const CPeerSystem lap = BuildSystem("mtx:lap3D_7pt_n20", QVL3D_PEERS_MATRICES);
    EXPECT_TRUE(lap.symmetric);
    EXPECT_EQ(lap.A.nCell, 8000);
    EXPECT_EQ(lap.name, "lap3D_7pt_n20");
    EXPECT_FALSE(BuildSystem("mtx:orsreg_1", QVL3D_PEERS_MATRICES).symmetric);
    EXPECT_EQ(BuildSystem("poisson:4", ".", "poisson-4/to-solution").name, "poisson-4/to-solution");
    for (const char* bad : {"poisson", "poisson:1", "poisson:6x", "cube:6", "mtx:", "mtx:../x"})
        EXPECT_THROW(BuildSystem(bad, "."), std::invalid_argument) << bad;
}

// The figures the README quotes: one BiCGSTAB iteration with the diagonal
// preconditioner on a 7-point CSR row is 2*88 + 248 bytes per cell in five
// passes; the ELL entry of code 3 runs the native PCG and has no model of its
// own.
TEST(ByteModel, SevenPointFigures)
{
    CLayoutShape shape;
    shape.entriesPerRow = 7.0;
    shape.ellWidth = 7;
    EXPECT_EQ(RowBytes("csr", shape), 88.0);
    EXPECT_EQ(RowBytes("native", shape), 104.0); // pooled rows: 56 + 28 + two pointers and the count
    EXPECT_EQ(IterationBytes("bicgstab", "diag", "csr", shape), 424.0);
    EXPECT_EQ(IterationPasses("bicgstab", "diag", "csr", shape).size(), 5u);
    // DILU: two applications (each sweep reads the whole CSR row) and the
    // two row products in passes of their own.
    EXPECT_EQ(IterationBytes("bicgstab", "dilu", "csr", shape), 2 * 88.0 + 312.0 + 2 * 2 * 88.0);
    EXPECT_EQ(IterationPasses("bicgstab", "dilu", "csr", shape).size(), 7u);
    EXPECT_EQ(IterationBytes("cg", "diag", "csr", shape), 88.0 + 128.0);            // z stored in the p update
    EXPECT_EQ(IterationBytes("cg", "dilu", "csr", shape), 88.0 + 176.0 + 2 * 88.0); // the forward sweep reads r again
    EXPECT_EQ(IterationBytes("gs", "none", "csr", shape), 112.0);
    EXPECT_EQ(IterationBytes("gs", "none", "ell", shape), 80.0 + 24.0); // the residual trails the sweep
    EXPECT_EQ(IterationBytes("cg", "diag", "ell", shape), 0.0);

    // The host measured as it lays the rows out: pools today (the strides of
    // an interior 7-point row, most rows of a 12^3 box), interleaved per-row
    // blocks counted once.
    const CPeerSystem s = BuildSystem("poisson:12", ".");
    COurRunner runner(s, 0, 1);
    const CLayoutShape measured = runner.Shape();
    if (!measured.nativeInterleaved) {
        EXPECT_EQ(measured.nativeCoefPerRow, 56.0);
        EXPECT_EQ(measured.nativeNeighbourPerRow, 28.0);
        EXPECT_EQ(measured.nativeSlotsPerRow, 32.0);
    }
    shape.nativeInterleaved = true;
    shape.nativeCoefPerRow = 160.0;
    EXPECT_EQ(RowBytes("native", shape), 180.0);
    for (const char* layout : {"native", "csr", "ell"})
        EXPECT_GT(IterationBytes("bicgstab", "dilu", layout, shape), IterationBytes("bicgstab", "diag", layout, shape));
}

// The front door's sweeps read its own rows: the same bytes on every
// layout, fewer than any entry point's sweeps, and the rest of the
// iteration as the entry points'. The rows are measured from the share: on
// one rank a 7-point box has as many entries left of the diagonal as right
// of it, and no halo.
TEST(ByteModel, FrontDoorSweepRows)
{
    const CPeerSystem s = BuildSystem("poisson:12", ".");
    const CLayoutShape shape = COurRunner(s, 0, 1).Shape();
    EXPECT_DOUBLE_EQ(shape.lowerPerRow, shape.upperPerRow);
    EXPECT_DOUBLE_EQ(shape.lowerPerRow + shape.upperPerRow, shape.offPerRow);
    EXPECT_DOUBLE_EQ(shape.offPerRow, shape.entriesPerRow - 1.0);
    EXPECT_EQ(CFrontDoorRunner(s, 0, 1).Shape().offPerRow, shape.offPerRow);

    const double front = DiluMatrixBytes("csr", shape, "front");
    for (const char* layout : {"native", "csr", "ell"}) {
        SCOPED_TRACE(layout);
        EXPECT_EQ(DiluMatrixBytes(layout, shape, "front"), front);
        EXPECT_LT(front, DiluMatrixBytes(layout, shape));
        // Two DILU applications per BiCGSTAB iteration, one per PCG iteration.
        EXPECT_DOUBLE_EQ(IterationBytes("bicgstab", "dilu", layout, shape) -
                             IterationBytes("bicgstab", "dilu", layout, shape, "front"),
                         2 * (DiluMatrixBytes(layout, shape) - front));
        EXPECT_EQ(IterationBytes("bicgstab", "diag", layout, shape, "front"),
                  IterationBytes("bicgstab", "diag", layout, shape));
        EXPECT_EQ(IterationBytes("gs", "none", layout, shape, "front"), IterationBytes("gs", "none", layout, shape));
    }
    EXPECT_DOUBLE_EQ(IterationBytes("cg", "dilu", "csr", shape) - IterationBytes("cg", "dilu", "csr", shape, "front"),
                     DiluMatrixBytes("csr", shape) - front);
    EXPECT_EQ(IterationBytes("gs", "none", "csr", shape, "road"), 0.0);
}

// A baseline counts only on the kind of machine it came from.
TEST(PeerReport, MachineKinds)
{
    const std::string epyc = "AMD EPYC 7B13 64-Core Processor";
    EXPECT_TRUE(MachineMatches("AMD EPYC", 2, 32, epyc, 2, 32.0));
    EXPECT_TRUE(MachineMatches("AMD EPYC", 2, 32, epyc, 2, 32.2));
    EXPECT_FALSE(MachineMatches("AMD EPYC", 2, 32, epyc, 4, 32.0));
    EXPECT_FALSE(MachineMatches("AMD EPYC", 2, 32, epyc, 2, 16.0));
    EXPECT_FALSE(MachineMatches("AMD EPYC", 2, 32, "Intel(R) Xeon(R) CPU @ 2.20GHz", 2, 32.0));
    EXPECT_FALSE(MachineMatches("", 2, 32, epyc, 2, 32.0));
}

// Whatever the cache, the in-cache edge is the largest whose largest working
// set fits in a quarter of it, and the streaming edge the smallest step whose
// smallest working set is four times it, unless the memory or the edge cap
// stops it first.
TEST(MachineSizes, EdgesBracketTheCache)
{
    const double small = SmallestWorkingSetPerCell(), large = LargestWorkingSetPerCell();
    ASSERT_GT(small, 0.0);
    ASSERT_GT(large, small);
    auto cells = [](int e) { return static_cast<double>(e) * e * e; };
    const long long memory = 24LL << 30;
    for (long long llc : {1LL << 20, 8LL << 20, 32LL << 20, 96LL << 20, 256LL << 20}) {
        SCOPED_TRACE(llc);
        const CBoxEdges e = ChooseBoxEdges(llc, memory);
        EXPECT_LE(large * cells(e.inCache), 0.25 * llc);
        EXPECT_GT(large * cells(e.inCache + 1), 0.25 * llc);
        EXPECT_TRUE(e.streamingFits);
        EXPECT_EQ(e.streaming % 32, 0);
        EXPECT_GE(small * cells(e.streaming), 4.0 * llc);
        if (e.streaming > 64) {
            EXPECT_LT(small * cells(e.streaming - 32), 4.0 * llc);
        }
    }
    const CBoxEdges huge = ChooseBoxEdges(4LL << 30, memory);
    EXPECT_FALSE(huge.streamingFits);
    EXPECT_LE(huge.streaming, 256);

    // DILU holds more than the diagonal where it keeps arrays of its own (the
    // ordered slot lists, PETSc's factor); on CSR ours needs none.
    for (const auto& [impl, layout] :
         {std::make_pair("ours", "native"), std::make_pair("ours", "ell"), std::make_pair("petsc", "aij")})
        for (const char* method : {"bicgstab", "cg"})
            EXPECT_GT(WorkingSetPerCell(impl, method, "dilu", layout, 7.0, 7),
                      WorkingSetPerCell(impl, method, "diag", layout, 7.0, 7))
                << impl << " " << layout << " " << method;
    EXPECT_EQ(WorkingSetPerCell("ours", "bicgstab", "diag", "coo", 7.0, 7), 0.0);
    EXPECT_EQ(WorkingSetPerCell("front", "bicgstab", "diag", "coo", 7.0, 7), 0.0);
    // The front door keeps its sweep rows beside the layout (DILU), and its
    // Gauss-Seidel reads only them.
    for (const char* layout : {"native", "csr", "ell"}) {
        EXPECT_GT(WorkingSetPerCell("front", "bicgstab", "dilu", layout, 7.0, 7),
                  WorkingSetPerCell("front", "bicgstab", "diag", layout, 7.0, 7));
        EXPECT_EQ(WorkingSetPerCell("front", "gs", "none", layout, 7.0, 7),
                  WorkingSetPerCell("front", "gs", "none", "csr", 7.0, 7));
    }
    EXPECT_GE(LargestWorkingSetPerCell(), WorkingSetPerCell("front", "bicgstab", "dilu", "native", 7.0, 7));
}
