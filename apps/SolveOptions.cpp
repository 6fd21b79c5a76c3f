#include "SolveOptions.h"

#include "Files.h"

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <iterator>
#include <map>
#include <optional>

namespace qvl3d {
namespace app {

namespace {

struct COptionSpec {
    const char* name;  // without the leading dashes
    const char* value; // placeholder of the value, or nullptr for a flag
    const char* help;
};

const COptionSpec kOptions[] = {
    {"problem", "NAME", "built-in problem: convdiff (default) or poisson"},
    {"grid", "N|NXxNYxNZ", "cells of the box (default 64, i.e. 64x64x64)"},
    {"velocity", "VX,VY,VZ", "convection velocity (default 1,1,1)"},
    {"peclet", "PE", "Peclet number |v|*L/eps of the box (default 100)"},
    {"renumber", "KIND", "renumber the cells: none (default), reverse or random"},
    {"seed", "N", "seed of the random renumbering (default 1)"},
    {"matrix", "FILE", "solve the Matrix Market matrix in FILE instead of a built-in problem"},
    {"rhs", "FILE", "right-hand side (Matrix Market vector); default b = A*1, whose solution is 1"},
    {"exact", "FILE", "exact solution to measure the error against (default 1 when b = A*1)"},
    {"x0", "FILE", "initial guess (default 0)"},
    {"method", "NAME",
     "bicgstab (default), pcg, gs, gmres, fgmres or amg (V-cycles of the aggregation multigrid); with "
     "--entry-point bicgstab, pcg, gs or a solver code 2..6"},
    {"restart", "M", "gmres and fgmres: iterations between restarts, the basis kept (default 30)"},
    {"precond", "NAME",
     "dilu, diagonal, none, ilu0 or amg (one multigrid V-cycle) (default: the method's, dilu for bicgstab and pcg)"},
    {"layout", "NAME", "csr (default), native or ell"},
    {"tol", "T", "relative tolerance (default 1e-8): against ||b||, or as --reference says"},
    {"reference", "WHAT",
     "what --tol is relative to: rhs, ||b|| (default), or first, the residual after the "
     "first iteration (the entry points' rule)"},
    {"maxiter", "N", "iteration limit (default 10000)"},
    {"entry-point", nullptr, "solve through the host objects and the design's entry points instead of the front door"},
    {"nonblocking", nullptr, "exchange halos with the start/wait pair (CSR and ELL methods; --entry-point)"},
    {"openmp", nullptr, "call SetupSolver(2) first: prepares the OpenMP store (--entry-point)"},
    {"progress", "N", "print the conjugate-gradient progress line every N iterations (--entry-point, --method pcg)"},
    {"monitor", nullptr, "print a line per iteration: the method's residual norm and that over ||b||"},
    {"repeat", "N", "solve N times from the same start; times are the minimum, results must agree"},
    {"output", "FILE", "write the solution as a Matrix Market array"},
    {"json", "FILE", "write the summary as JSON, with the status and the residual history"},
    {"plot", "FILE", "draw the residual history on a log scale as SVG (FILE ends in .svg)"},
    {"help", nullptr, "show this help"},
    {"version", nullptr, "show the version"},
};

const COptionSpec* FindOption(const std::string& name)
{
    for (const COptionSpec& o : kOptions)
        if (name == o.name) return &o;
    return nullptr;
}

size_t EditDistance(const std::string& a, const std::string& b)
{
    std::vector<size_t> prev(b.size() + 1), cur(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        cur[0] = i;
        for (size_t j = 1; j <= b.size(); ++j)
            cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
        std::swap(prev, cur);
    }
    return prev[b.size()];
}

[[noreturn]] void Usage(const std::string& what)
{
    throw CUsageError(what);
}

long long ParseInt(const std::string& option, const std::string& v, long long lo, long long hi)
{
    long long x = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), x);
    if (ec != std::errc() || end != v.data() + v.size() || v.empty())
        Usage("--" + option + " needs a whole number, not '" + v + "'");
    if (x < lo || x > hi)
        Usage("--" + option + " must lie in " + std::to_string(lo) + ".." + std::to_string(hi) + ", not " + v);
    return x;
}

double ParseReal(const std::string& option, const std::string& v)
{
    double x = 0.0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), x);
    const bool whole = !v.empty() && end == v.data() + v.size();
    if (ec == std::errc::result_out_of_range && whole) {
        // A number, but not one a double holds: strtod, on the same text,
        // tells the two ends apart.
        x = std::strtod(v.c_str(), nullptr);
        if (std::isinf(x)) Usage("--" + option + " " + v + " overflows: doubles end at about 1.8e308");
        if (x == 0.0)
            Usage("--" + option + " " + v +
                  " underflows: it is below the smallest positive double, about 4.9e-324, and would be 0");
        return x;
    }
    if (ec != std::errc() || !whole || !std::isfinite(x))
        Usage("--" + option + " needs a finite number, not '" + v + "'");
    return x;
}

std::vector<std::string> Split(const std::string& v, char sep)
{
    std::vector<std::string> parts;
    size_t k = 0;
    while (true) {
        const size_t e = v.find(sep, k);
        parts.push_back(v.substr(k, e == std::string::npos ? std::string::npos : e - k));
        if (e == std::string::npos) return parts;
        k = e + 1;
    }
}

host::CBox ParseGrid(const std::string& v)
{
    const std::vector<std::string> p = Split(v, 'x');
    if (p.size() != 1 && p.size() != 3)
        Usage("--grid takes N or NXxNYxNZ (for example 64 or 32x32x64), not '" + v + "'");
    host::CBox box;
    box.nx = static_cast<int>(ParseInt("grid", p[0], 1, 100000));
    box.ny = p.size() == 3 ? static_cast<int>(ParseInt("grid", p[1], 1, 100000)) : box.nx;
    box.nz = p.size() == 3 ? static_cast<int>(ParseInt("grid", p[2], 1, 100000)) : box.nx;
    if (box.Cells() > 100000000LL)
        Usage("--grid " + v + " gives " + std::to_string(box.Cells()) + " cells; at most 100000000 are supported");
    return box;
}

template <class T>
T Choose(const std::string& option, const std::string& v, const std::vector<std::pair<const char*, T>>& choices)
{
    std::string list;
    for (const auto& c : choices) {
        if (v == c.first) return c.second;
        list += (list.empty() ? "" : ", ") + std::string(c.first);
    }
    Usage("--" + option + " takes " + list + ", not '" + v + "'");
}

// The row of the library's table (SolverTable.h) that `v` names.
template <class Row, std::size_t N>
const Row& FromTable(const std::string& option, const std::string& v, const Row (&table)[N])
{
    if (const Row* row = FindWord(table, v)) return *row;
    Usage("--" + option + " takes " + Words(table) + ", not '" + v + "'");
}

// --method: a method's word or a solver code of the entry points; the word
// of a method no entry point runs gives kNoDesignCode.
int MethodCode(const std::string& v)
{
    if (const CMethodInfo* m = FindWord(kMethods, v)) return m->designCode;
    for (const CSolverCodeInfo& c : kSolverCodes)
        if (v == std::to_string(c.code)) return c.code;
    std::string codes;
    for (const CSolverCodeInfo& c : kSolverCodes) codes += ", " + std::to_string(c.code);
    Usage("--method takes " + Words(kMethods) + codes + ", not '" + v + "'");
}

} // namespace

std::string NearestOption(const std::string& given)
{
    std::string name = given;
    while (!name.empty() && name[0] == '-') name.erase(0, 1);
    name = name.substr(0, name.find('='));
    const COptionSpec* best = nullptr;
    size_t bestScore = static_cast<size_t>(-1);
    for (const COptionSpec& o : kOptions) {
        const std::string candidate = o.name;
        // An option that starts the given name or that the name starts
        // ("--tolerance", "--mat") is the closest thing there is.
        const size_t common = std::min(name.size(), candidate.size());
        const bool prefix = common > 0 && name.compare(0, common, candidate, 0, common) == 0;
        const size_t score = prefix ? 0 : 1 + EditDistance(name, candidate);
        if (score < bestScore) {
            bestScore = score;
            best = &o;
        }
    }
    return std::string("--") + best->name;
}

CCommandOptions ParseOptions(int argc, const char* const* argv)
{
    std::vector<std::string> args;
    for (int k = 1; k < argc; ++k) args.emplace_back(argv[k]);
    return ParseOptions(args);
}

namespace {

using CGiven = std::map<std::string, std::string>;

// Each option given, by name, with its value ("" for a flag).
CGiven ReadArguments(const std::vector<std::string>& args)
{
    CGiven given;
    for (size_t k = 0; k < args.size(); ++k) {
        const std::string& arg = args[k];
        if (arg == "-h") {
            given["help"] = "";
            continue;
        }
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            if (!arg.empty() && arg[0] == '-')
                Usage("unknown option '" + arg + "'; did you mean '" + NearestOption(arg) + "'?");
            Usage("unexpected argument '" + arg + "' (options start with --)");
        }
        const size_t eq = arg.find('=');
        const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        const COptionSpec* option = FindOption(name);
        if (!option) Usage("unknown option '--" + name + "'; did you mean '" + NearestOption(name) + "'?");
        if (given.count(name)) Usage("--" + name + " is given twice");
        std::string value;
        if (option->value) {
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
            } else if (k + 1 < args.size()) {
                value = args[++k];
            } else {
                Usage("--" + name + " needs a value (" + option->value + ")");
            }
            if (value.empty()) Usage("--" + name + " needs a value (" + option->value + ")");
        } else if (eq != std::string::npos) {
            Usage("--" + name + " takes no value");
        }
        given[name] = value;
    }
    return given;
}

// What to solve: the built-in box or the matrix file, and the vectors.
void ProblemOptions(const CGiven& given, CCommandOptions& o)
{
    auto has = [&](const char* name) { return given.count(name) != 0; };
    auto val = [&](const char* name) { return given.at(name); };
    if (has("matrix")) {
        o.problem = EProblem::MatrixFile;
        o.matrixFile = val("matrix");
        for (const char* builtIn : {"problem", "grid", "velocity", "peclet"})
            if (has(builtIn))
                Usage(std::string("--") + builtIn + " describes a built-in problem; it cannot go with --matrix");
    }
    if (has("problem"))
        o.problem = Choose<EProblem>("problem", val("problem"),
                                     {{"convdiff", EProblem::ConvectionDiffusion}, {"poisson", EProblem::Poisson}});
    if (has("grid")) o.box = ParseGrid(val("grid"));
    if (o.problem == EProblem::Poisson && (has("velocity") || has("peclet")))
        Usage("--velocity and --peclet belong to the convdiff problem, not to poisson");
    if (has("velocity")) {
        const std::vector<std::string> p = Split(val("velocity"), ',');
        if (p.size() != 3) Usage("--velocity takes three numbers VX,VY,VZ, not '" + val("velocity") + "'");
        o.flow.vx = ParseReal("velocity", p[0]);
        o.flow.vy = ParseReal("velocity", p[1]);
        o.flow.vz = ParseReal("velocity", p[2]);
        if (o.flow.vx == 0.0 && o.flow.vy == 0.0 && o.flow.vz == 0.0)
            Usage("--velocity must not be zero (use --problem poisson for diffusion alone)");
    }
    if (has("peclet")) {
        o.flow.peclet = ParseReal("peclet", val("peclet"));
        if (o.flow.peclet <= 0.0) Usage("--peclet must be positive, not " + val("peclet"));
    }
    if (has("renumber"))
        o.renumber = Choose<host::ERenumber>("renumber", val("renumber"),
                                             {{"none", host::ERenumber::None},
                                              {"reverse", host::ERenumber::Reverse},
                                              {"random", host::ERenumber::Random}});
    if (has("seed")) {
        o.seed = static_cast<std::uint64_t>(ParseInt("seed", val("seed"), 0, 0x7fffffffffffffffLL));
        if (o.renumber != host::ERenumber::Random) Usage("--seed only matters with --renumber random");
    }
    if (has("rhs")) o.rhsFile = val("rhs");
    if (has("exact")) o.exactFile = val("exact");
    if (has("x0")) o.guessFile = val("x0");
}

// The entry points' road: solver codes and what each does to the store.
void EntryPointOptions(const CGiven& given, CCommandOptions& o)
{
    auto has = [&](const char* name) { return given.count(name) != 0; };
    if (o.code == kNoDesignCode)
        Usage("--method " + given.at("method") +
              " runs through the front door only: the entry points have no solver code for it; drop --entry-point");
    if (has("restart")) Usage("--restart belongs to the front door's gmres and fgmres; drop --entry-point");
    if (has("reference"))
        Usage("--reference belongs to the front door: the entry points always measure against the residual "
              "after the first iteration; drop --entry-point or --reference");
    if (o.precondGiven && Find(o.precond)->designType == kNoDesignType)
        Usage("--precond " + given.at("precond") +
              " runs through the front door only: the entry points have no preconditioner type for it; drop "
              "--entry-point");
    if (o.code == 4) {
        if (o.precondGiven && o.precond != EPreconditioner::None)
            Usage("Gauss-Seidel (--method gs) uses no preconditioner; drop --precond");
        o.precond = EPreconditioner::None;
    }
    if (o.code == 5 || o.code == 6) {
        if (o.precondGiven && o.precond != EPreconditioner::Diagonal)
            Usage("solver code " + std::to_string(o.code) + " always uses the diagonal preconditioner; drop --precond");
        o.precond = EPreconditioner::Diagonal;
    }
    if (o.layout == ELayout::Ell && (o.code == 5 || o.code == 6))
        Usage("the ELL entry point serves solver codes 2, 3 and 4 only, not " + std::to_string(o.code));
    o.nonBlocking = has("nonblocking");
    o.openmp = has("openmp");
    if (has("progress")) {
        o.progress = static_cast<int>(ParseInt("progress", given.at("progress"), 1, 1000000000));
        if (o.code != 3)
            Usage(std::string("--progress prints the conjugate gradient's progress line (--method pcg); ") +
                  MethodName(o.code) + " has none: --monitor prints a line per iteration for every method");
    }
}

// The front door's road: a method's word; what the front door refuses (a
// preconditioner with Gauss-Seidel, say) it refuses itself.
void FrontDoorRoadOptions(const CGiven& given, CCommandOptions& o)
{
    for (const char* name : {"nonblocking", "openmp", "progress"})
        if (given.count(name))
            Usage(std::string("--") + name + " belongs to the entry points' road; add --entry-point");
    if (given.count("method") && !FindWord(kMethods, given.at("method")))
        Usage("--method " + given.at("method") +
              " is a solver code of the entry points; add --entry-point, or name a method: " + Words(kMethods));
    if (given.count("reference"))
        o.reference = Choose<EReference>("reference", given.at("reference"),
                                         {{"rhs", EReference::RightHandSide}, {"first", EReference::FirstIteration}});
    if (!o.precondGiven) o.precond = PreconditionerFor(o.method, std::nullopt);
    if (given.count("restart")) {
        o.restart = static_cast<int>(ParseInt("restart", given.at("restart"), 1, 1000000));
        if (o.method != EMethod::Gmres && o.method != EMethod::Fgmres)
            Usage(std::string("--restart belongs to gmres and fgmres; ") + Find(o.method)->name + " does not restart");
    }
}

// How to solve: method, preconditioner, layout, tolerance, limit.
void SolverOptions(const CGiven& given, CCommandOptions& o)
{
    auto has = [&](const char* name) { return given.count(name) != 0; };
    auto val = [&](const char* name) { return given.at(name); };
    o.entryPoint = has("entry-point");
    if (has("method")) {
        o.code = MethodCode(val("method"));
        const CMethodInfo* m = FindWord(kMethods, val("method"));
        o.method = m != nullptr ? m->id : FindSolverCode(o.code)->method;
    }
    if (has("precond")) {
        o.precond = FromTable("precond", val("precond"), kPreconditioners).id;
        o.precondGiven = true;
    }
    if (has("layout")) o.layout = FromTable("layout", val("layout"), kLayouts).id;
    if (o.entryPoint)
        EntryPointOptions(given, o);
    else
        FrontDoorRoadOptions(given, o);
    if (has("tol")) {
        o.tolerance = ParseReal("tol", val("tol"));
        if (o.tolerance <= 0.0) Usage("--tol must be positive, not " + val("tol"));
    }
    if (has("maxiter")) o.maxIter = static_cast<int>(ParseInt("maxiter", val("maxiter"), 0, 1000000000));
}

// What to report and where.
void OutputOptions(const CGiven& given, CCommandOptions& o)
{
    auto has = [&](const char* name) { return given.count(name) != 0; };
    o.monitor = has("monitor");
    if (has("repeat")) o.repeat = static_cast<int>(ParseInt("repeat", given.at("repeat"), 1, 1000));
    if (has("output")) o.outputFile = given.at("output");
    if (has("json")) o.jsonFile = given.at("json");
    if (has("plot")) {
        o.plotFile = given.at("plot");
        const std::string ext = ".svg";
        const std::string& f = o.plotFile;
        const bool svg = f.size() >= ext.size() &&
                         std::equal(ext.begin(), ext.end(), f.end() - static_cast<std::ptrdiff_t>(ext.size()),
                                    [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
        if (!svg) Usage("--plot writes SVG: the file name must end in .svg, not '" + f + "'");
    }
}

} // namespace

CCommandOptions ParseOptions(const std::vector<std::string>& args)
{
    const CGiven given = ReadArguments(args);
    CCommandOptions o;
    o.help = given.count("help") != 0;
    o.version = given.count("version") != 0;
    if (o.help || o.version) return o;
    ProblemOptions(given, o);
    SolverOptions(given, o);
    OutputOptions(given, o);
    return o;
}

CSolveOptions FrontDoorOptions(const CCommandOptions& o)
{
    CSolveOptions s;
    s.method = o.method;
    s.restart = o.restart;
    if (o.precondGiven) s.preconditioner = o.precond;
    s.layout = o.layout;
    s.rtol = o.tolerance;
    s.maxIter = o.maxIter;
    s.reference = o.reference;
    return s;
}

std::vector<std::string> OptionNames()
{
    std::vector<std::string> names;
    for (const COptionSpec& o : kOptions) names.emplace_back(o.name);
    return names;
}

void CheckFiles(const CCommandOptions& o)
{
    struct CRole {
        const char* option;
        const std::string& path;
    };
    const CRole inputs[] = {
        {"--matrix", o.matrixFile}, {"--rhs", o.rhsFile}, {"--exact", o.exactFile}, {"--x0", o.guessFile}};
    const CRole outputs[] = {{"--output", o.outputFile}, {"--json", o.jsonFile}, {"--plot", o.plotFile}};
    for (size_t k = 0; k < std::size(outputs); ++k) {
        const CRole& out = outputs[k];
        if (out.path.empty()) continue;
        for (const CRole& in : inputs)
            if (!in.path.empty() && host::SameFile(out.path, in.path))
                Usage(std::string(out.option) + " " + out.path + " is the file " + in.option +
                      " reads: writing it would replace the input");
        for (size_t m = k + 1; m < std::size(outputs); ++m)
            if (!outputs[m].path.empty() && host::SameFile(out.path, outputs[m].path))
                Usage(std::string(out.option) + " and " + outputs[m].option + " name the same file, " + out.path +
                      ": one would overwrite the other");
    }
}

std::string HelpText()
{
    std::string text = "usage: qvl3d-solve [options]\n"
                       "\n"
                       "Builds a sparse system, hands it to the solver library in the chosen layout,\n"
                       "solves it and prints a summary. With no options: 3-D convection-diffusion on\n"
                       "64x64x64 cells, BiCGSTAB with DILU on the CSR layout.\n"
                       "\n"
                       "options:\n";
    for (const COptionSpec& o : kOptions) {
        std::string head = std::string("  --") + o.name + (o.value ? std::string(" ") + o.value : "");
        if (head.size() < 24)
            head.resize(24, ' ');
        else
            head += "\n" + std::string(24, ' ');
        text += head + o.help + "\n";
    }
    text += "\n"
            "By default the command solves through the front door (qvl3d::CSolver): the\n"
            "tolerance is relative to ||b|| (--reference rhs) or to the method's residual\n"
            "after its first iteration (--reference first), and what the front door refuses\n"
            "(a preconditioner with gs, pcg on an unsymmetric pattern) exits 2 with its\n"
            "reason. --entry-point fills the host objects instead and calls the design's\n"
            "entry points, which measure against the residual after the first iteration;\n"
            "solver codes, --nonblocking, --openmp and --progress belong to that road.\n"
            "Either way the command then checks the true ||b - Ax|| / ||b|| against the\n"
            "tolerance.\n"
            "\n"
            "Solver codes (--entry-point): 2 BiCGSTAB, 3 conjugate gradient, 4 Gauss-Seidel,\n"
            "5 BiCGSTAB with the diagonal preconditioner (through the native layout the\n"
            "library also lifts the iteration limit to 1000000), 6 the OpenMP-named BiCGSTAB\n"
            "with the diagonal preconditioner (native rows, also from the CSR layout). The\n"
            "ELL layout serves codes 2, 3 (on the native rows) and 4.\n"
            "\n"
            "Why the method stopped, its iterations and its residual after every iteration\n"
            "come from the library's result: the summary says it in words, --json adds\n"
            "\"status\" (converged, iteration_limit, breakdown_rho, ...) and\n"
            "\"residual_history\", --monitor prints each iteration as it ends and --plot draws\n"
            "the history.\n"
            "\n"
            "Distributed: mpiexec -n P qvl3d-solve [options] splits the system over P ranks\n"
            "(built-in boxes by coordinate bisection, matrix files by the graph partitioner),\n"
            "prints one summary with the ranks' cells, halo cells and communication times,\n"
            "and --output writes the solution in the original numbering. Each rank builds\n"
            "only its own part of a built-in box, renumbered or not, and matrix and vector\n"
            "files are read once by rank 0 and streamed to the ranks that own their rows.\n"
            "(MPI builds only.)\n"
            "\n"
            "exit status: 0 converged (||b - Ax|| / ||b|| <= tolerance), 1 not converged or x\n"
            "not finite, 2 bad options or input, 3 the run could not finish (memory, output).\n";
    return text;
}

const char* MethodName(int code)
{
    const CSolverCodeInfo* c = FindSolverCode(code);
    return c != nullptr ? c->name : "none";
}

const char* PreconditionerName(EPreconditioner p)
{
    const CPreconditionerInfo* info = Find(p);
    return info != nullptr ? info->name : "?";
}

const char* LayoutName(ELayout layout)
{
    const CLayoutInfo* l = Find(layout);
    return l != nullptr ? l->name : "?";
}

} // namespace app
} // namespace qvl3d
