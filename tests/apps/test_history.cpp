// What qvl3d-solve reports of how the method ended and how it got there: the
// status word and the residual history in --json, the --monitor lines and
// the --plot file.
#include "CommandRun.h"
#include "MatrixMarket.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

using namespace qvl3d;
using namespace qvl3d::test;

namespace {

// The numbers of "[a, b, ...]"; null reads as NaN.
std::vector<double> Numbers(const std::string& list)
{
    std::vector<double> values;
    std::string item;
    std::istringstream in(list.substr(1, list.size() - 2));
    while (std::getline(in, item, ','))
        values.push_back(item.find("null") != std::string::npos ? NAN : std::strtod(item.c_str(), nullptr));
    return values;
}

std::string E6(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6e", v);
    return buf;
}

// One iteration of BiCGSTAB without a preconditioner, then r0hat . r = 0
// exactly (all the numbers are dyadic).
const char* const kRhoBreakdown = "%%MatrixMarket matrix coordinate real general\n3 3 6\n"
                                  "1 1 1\n1 2 -1\n2 2 -2\n2 3 -1\n3 1 -1\n3 3 1\n";
// Diagonal: one Gauss-Seidel sweep solves it, so the reference norm is 0.
const char* const kDiagonal = "%%MatrixMarket matrix coordinate real general\n2 2 2\n1 1 2\n2 2 4\n";

} // namespace

// The status word, the history (one norm per iteration), and the exit
// status the command really returns, also when a file written before the
// JSON fails. The front door stops below rtol ||b||; the entry points below
// rtol times the first norm of the history, the reference residual, so that
// a norm of exactly 0 after the first sweep leaves a reference of 0 against
// which no relative test passes: the summary says so, not just that the
// limit was reached.
TEST_F(CommandTest, JsonHasTheStatusAndTheResidualHistory)
{
    const std::string breakdown = WriteFile(Path("rho.mtx"), kRhoBreakdown);
    const std::string diagonal = WriteFile(Path("diag.mtx"), kDiagonal);
    const struct {
        std::vector<std::string> args;
        int exit;
        const char* status;
        int iterations;
        std::string says = "", zeroAt = "null";
    } runs[] = {
        {{"--grid", "6", "--problem", "poisson", "--method", "pcg", "--layout", "native"}, 0, "converged", -1},
        {{"--grid", "6", "--problem", "poisson", "--method", "pcg", "--entry-point"}, 0, "converged", -1},
        {{"--grid", "8", "--maxiter", "3"}, 1, "iteration_limit", 3, "3 (the iteration limit was reached)"},
        {{"--grid", "8", "--maxiter", "3", "--output", Path("no/dir/x.mtx"), "--entry-point"}, 3, "iteration_limit", 3},
        {{"--matrix", breakdown, "--precond", "none", "--layout", "ell", "--entry-point"},
         1,
         "breakdown_rho",
         1,
         "1 (breakdown: r0hat . r = 0 (rho) in iteration 2)"},
        {{"--matrix", diagonal, "--method", "gs", "--maxiter", "4"}, 0, "converged", 1, "1 (", "1"},
        {{"--matrix", diagonal, "--method", "gs", "--maxiter", "4", "--entry-point"},
         0,
         "iteration_limit",
         4,
         "4 (the residual reached zero at iteration 1 and the relative test, against a reference of zero, could not "
         "pass: the iteration limit was reached)",
         "1"},
    };
    for (const auto& run : runs) {
        std::vector<std::string> args = run.args;
        args.insert(args.end(), {"--json", Path("s.json")});
        std::remove(Path("s.json").c_str());
        const CRun r = Run(args);
        const std::string json = ReadFile(Path("s.json"));
        const bool entry = args.end() != std::find(args.begin(), args.end(), "--entry-point");
        SCOPED_TRACE(run.status + std::string(" ") + r.err);
        EXPECT_EQ(r.status, run.exit);
        EXPECT_EQ(Field(json, "exit_status"), std::to_string(run.exit));
        EXPECT_EQ(Field(json, "road"), entry ? "\"entry_point\"" : "\"front_door\"");
        EXPECT_EQ(Field(json, "status"), "\"" + std::string(run.status) + "\"");
        EXPECT_EQ(Field(json, "zero_residual_at"), run.zeroAt);
        EXPECT_HAS(r.out, "  iterations          " + run.says);
        const int iterations = std::atoi(Field(json, "iterations").c_str());
        if (run.iterations >= 0) {
            EXPECT_EQ(iterations, run.iterations);
        }
        const std::vector<double> history = Numbers(Field(json, "residual_history"));
        ASSERT_EQ(history.size(), static_cast<size_t>(iterations));
        if (entry) {
            EXPECT_EQ(history.front(), std::strtod(Field(json, "reference_residual").c_str(), nullptr));
        }
        if (std::string(run.status) == "converged") {
            // The method stopped at the first norm at or below its own level.
            const double level =
                (entry ? history.front() : std::strtod(Field(json, "rhs_norm").c_str(), nullptr)) * 1e-8;
            EXPECT_LE(history.back(), level);
            for (size_t k = 0; k + 1 < history.size(); ++k) EXPECT_GT(history[k], level) << k;
        }
    }
}

// One line per iteration for every method, each after the library's own
// lines of that iteration (the conjugate gradient's progress line,
// Gauss-Seidel's markers), the last one the last norm of the history.
TEST_F(CommandTest, MonitorPrintsOneLinePerIteration)
{
    const std::vector<std::string> methods[] = {
        {"--method", "pcg", "--problem", "poisson", "--progress", "1", "--entry-point"},
        {"--method", "bicgstab", "--layout", "native"},
        {"--method", "gs", "--layout", "ell"},
        {"--method", "gs", "--layout", "csr", "--entry-point"},
    };
    for (const auto& method : methods) {
        std::vector<std::string> args = {"--grid", "6", "--monitor", "--json", Path("s.json")};
        args.insert(args.end(), method.begin(), method.end());
        const CRun r = Run(args);
        SCOPED_TRACE(method[1]);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string json = ReadFile(Path("s.json"));
        const std::vector<double> history = Numbers(Field(json, "residual_history"));
        ASSERT_FALSE(history.empty());
        std::istringstream out(r.out);
        std::string line, previous, last;
        int lines = 0;
        while (std::getline(out, line)) {
            if (line.rfind("iteration ", 0) == 0) {
                ++lines;
                EXPECT_EQ(line.rfind("iteration " + std::to_string(lines) + "  residual ", 0), 0u) << line;
                if (method[1] == "pcg") {
                    char progress[16];
                    std::snprintf(progress, sizeof progress, "%4d ", lines);
                    EXPECT_EQ(previous.rfind(progress, 0), 0u) << previous;
                }
                if (method[3] == "csr") {
                    EXPECT_EQ(previous, "5 "); // the sweep's last marker
                }
                last = line;
            }
            previous = line;
        }
        EXPECT_EQ(lines, static_cast<int>(history.size()));
        const double bNorm = std::strtod(Field(json, "rhs_norm").c_str(), nullptr);
        EXPECT_EQ(last, "iteration " + std::to_string(lines) + "  residual " + E6(history.back()) + "  relative " +
                            E6(history.back() / bNorm));
    }
}

// A well-formed SVG: one root element, one line with a point per iteration
// going down as the residual falls, and the method, layout and system in the
// title, with the characters XML reserves escaped.
TEST_F(CommandTest, PlotDrawsOnePointPerIteration)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{5, 4, 3});
    host::WriteMatrixMarket(Path("a&b.mtx"), A);
    const CRun r = Run({"--matrix", Path("a&b.mtx"), "--method", "bicgstab", "--layout", "ell", "--plot", Path("p.svg"),
                        "--json", Path("s.json")});
    EXPECT_EQ(r.status, 0) << r.err;
    const size_t iterations = Numbers(Field(ReadFile(Path("s.json")), "residual_history")).size();
    ASSERT_GT(iterations, 2u);
    const std::string svg = ReadFile(Path("p.svg"));
    EXPECT_EQ(svg.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\"", 0),
              0u);
    EXPECT_EQ(svg.find("<svg", 1), svg.find("<svg")) << "one root element";
    EXPECT_EQ(svg.size() - svg.rfind("</svg>\n"), 7u);
    EXPECT_HAS(svg, "BiCGSTAB, preconditioner DILU, ELL layout");
    EXPECT_HAS(svg, "a&amp;b.mtx");
    EXPECT_EQ(svg.find("a&b"), std::string::npos);

    const size_t at = svg.find("<polyline");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(svg.find("<polyline", at + 1), std::string::npos);
    EXPECT_EQ(svg.find("<path"), std::string::npos);
    const size_t from = svg.find("points=\"", at) + 8;
    std::istringstream points(svg.substr(from, svg.find('"', from) - from));
    std::vector<std::pair<double, double>> xy;
    for (std::string p; points >> p;)
        xy.emplace_back(std::atof(p.c_str()), std::atof(p.substr(p.find(',') + 1).c_str()));
    ASSERT_EQ(xy.size(), iterations);
    for (size_t k = 1; k < xy.size(); ++k) EXPECT_GT(xy[k].first, xy[k - 1].first) << k;
    EXPECT_LT(xy.front().second, xy.back().second) << "a falling residual goes down the picture";
}
