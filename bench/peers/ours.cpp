// Our side of the peer comparison, on one process or on P ranks (mpirun -n
// P), by two roads (--road front, the default; entry; both):
//   front  qvl3d::CSolver, the front door, over the same share of the
//          system (FrontDoorRunner.h: its stopping rule is the peers' own,
//          and how its time splits into build, set-up and iterations);
//   entry  every method, preconditioner and layout of CSingleGridSolver,
//          driven through the reference host exactly as a host drives it.
// Rows carry their road; the report sets the two side by side.
//
// Stopping rule of the entry points. The methods measure convergence against the residual norm
// after their first iteration (m_pdResidual0), not against ||b||. To stop at
// the peers' ||r||/||b|| <= rtol, one untimed iteration from x = 0 learns that
// norm (the first iteration from x = 0 is deterministic) and the timed solve
// runs with m_pdTolerance = rtol*||b||/m_pdResidual0. Gauss-Seidel's global
// residual is the sum of the partition norms: exact with one partition, on
// several it stops once that sum (>= ||r||) is below rtol*||b||.
//
// Iterations. Every method's come from the record the call returns
// (qvl3d::SolveRecorded, which does what the entry point does).
//
// Times. Set-up is a call with iteration limit 0 (initial residual and, for
// the Krylov methods, the preconditioner build); the solve time is the full
// call minus that; on several ranks both are the slowest rank's. Gauss-Seidel
// writes marker lines on every sweep; they go to /dev/null while the clock
// runs, as a host that discards them would.
//
// Partitions. Boxes are split by the reference host's geometric partitioner
// (two ranks: two slabs of contiguous cells, PETSc's split too), matrices
// into contiguous row blocks, PETSc's default.
#include "FrontDoorRunner.h"
#include "OurRunner.h"
#include "PeerReport.h"
#include "PeerSystems.h"

#include <mpi.h>

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::peers;

namespace {

struct CSettings {
    double rtol = 1e-8;
    int maxIter = 10000;
    int gsSweeps = 200;
    int restart = 30;
    int rounds = 3;
    double minTime = 0.2;
    std::string only;
    bool front = true, entry = false;
};

CSettings ReadSettings(const CPeerArgs& args)
{
    CSettings c;
    c.rtol = args.Real("rtol", 1e-8, 1e-15, 0.5);
    c.maxIter = args.Int("maxit", 10000, 1, 100000000);
    c.gsSweeps = args.Int("gs-sweeps", 200, 1, 100000000);
    c.restart = args.Int("restart", 30, 1, 100000);
    c.rounds = args.Int("rounds", 3, 1, 1000);
    c.minTime = args.Real("min-time", 0.2, 0.0, 3600.0);
    c.only = args.Text("only", "");
    const std::string road = args.Text("road", "front");
    if (road != "front" && road != "entry" && road != "both")
        throw std::invalid_argument("--road '" + road + "': expected front, entry or both");
    c.front = road != "entry";
    c.entry = road != "front";
    return c;
}

CResultRow BaseRow(const CPeerSystem& s, const char* method, const char* precond, const char* layout, const char* road,
                   int ranks, const CLayoutShape& shape)
{
    CResultRow r;
    r.impl = "ours";
    r.system = s.name;
    r.cells = s.A.nCell;
    r.nonZeros = s.A.NonZeros();
    r.method = method;
    r.precond = precond;
    r.layout = layout;
    r.road = road;
    r.ranks = ranks;
    r.modelBytes = IterationBytes(method, precond, layout, shape, road);
    return r;
}

// A row for a configuration that does not run, with the reason.
CResultRow Skipped(CResultRow r, const std::string& why, int rank)
{
    r.trueRelResidual = r.error = std::nan("");
    r.detail = why;
    if (rank == 0)
        std::fprintf(stderr, "ours (%s): %s %s %s: %s; skipped\n", r.road.c_str(), r.method.c_str(), r.precond.c_str(),
                     r.layout.c_str(), why.c_str());
    return r;
}

struct CEntryState {
    const COurConfig* c = nullptr;
    double tolerance = 0.0;
    std::vector<double> setup, solve;
    int iterations = 0;
    double relres = 0.0, error = 0.0;
};

// The entry points: every configuration learns its tolerance first, then
// the rounds interleave the configurations so that a drift of the machine's
// state spreads over all of them.
std::vector<CResultRow> RunEntryPoints(const CPeerSystem& s, const CSettings& set, int rank, int ranks,
                                       COurRunner& runner)
{
    std::vector<CEntryState> states;
    std::vector<CResultRow> rows;
    for (const COurConfig& c : OurConfigs()) {
        if (!Selected(set.only, c.method, c.precond, c.layout)) continue;
        if (c.code == 3 && !s.symmetric) continue; // conjugate gradients need a symmetric matrix
        CEntryState st;
        st.c = &c;
        if (runner.Prepare(c, set.rtol, st.tolerance))
            states.push_back(st);
        else
            rows.push_back(Skipped(BaseRow(s, c.method, c.precond, c.layout, "entry", ranks, runner.Shape()),
                                   "method not available in this build", rank));
    }
    for (int round = 0; round < set.rounds; ++round)
        for (CEntryState& st : states) {
            double setup = 0.0, solve = 0.0;
            const int limit = st.c->code == 4 ? set.gsSweeps : set.maxIter;
            runner.Round(*st.c, limit, st.tolerance, set.minTime, setup, solve, st.iterations);
            st.setup.push_back(setup);
            st.solve.push_back(solve);
            const std::vector<double> x = runner.Solution();
            if (rank == 0) {
                st.relres = TrueRelativeResidual(s, x.data());
                st.error = RelativeError(s, x.data());
            }
        }
    for (const CEntryState& st : states) {
        CResultRow r = BaseRow(s, st.c->method, st.c->precond, st.c->layout, "entry", ranks, runner.Shape());
        r.rounds = set.rounds;
        r.iterations = st.iterations;
        r.setupSeconds = Median(st.setup);
        r.solveSeconds = Median(st.solve);
        r.trueRelResidual = st.relres;
        r.error = st.error;
        char detail[160];
        std::snprintf(detail, sizeof detail, "code %d type %d; tolerance %.6g", st.c->code, st.c->precondType,
                      st.tolerance);
        r.detail = detail;
        rows.push_back(r);
    }
    return rows;
}

// Whether the front door runs c here: selected (a configuration outside
// the per-iteration set only when --only names it) and, for the conjugate
// gradient, on a symmetric matrix.
bool FrontDoorSelected(const CFrontDoorConfig& c, const CPeerSystem& s, const std::string& only)
{
    if (!Selected(only, c.method, c.precond, c.layout)) return false;
    if (!c.perIteration && only.empty()) return false;
    return std::string(c.method) != "cg" || s.symmetric;
}

// The front door: a solver per configuration, built, timed over the rounds
// and dropped before the next (run.sh goes round the programs one round at
// a time, so the rounds of one process are usually one).
std::vector<CResultRow> RunFrontDoor(const CPeerSystem& s, const CSettings& set, int rank, int ranks,
                                     CFrontDoorRunner& runner)
{
    std::vector<CResultRow> rows;
    for (const CFrontDoorConfig& c : FrontDoorConfigs()) {
        if (!FrontDoorSelected(c, s, set.only)) continue;
        CResultRow r = BaseRow(s, c.method, c.precond, c.layout, "front", ranks, runner.Shape());
        const int limit = std::string(c.method) == "gs" ? set.gsSweeps : set.maxIter;
        std::string why;
        if (!runner.Prepare(c, set.rtol, limit, set.restart, why)) {
            rows.push_back(Skipped(r, why, rank));
            continue;
        }
        std::vector<double> build, setup, solve;
        CFrontDoorTimes t;
        for (int round = 0; round < set.rounds; ++round) {
            t = runner.Round(set.minTime);
            build.push_back(t.build);
            setup.push_back(t.setup);
            solve.push_back(t.solve);
        }
        const std::vector<double> x = runner.Solution();
        if (rank == 0) {
            r.trueRelResidual = TrueRelativeResidual(s, x.data());
            r.error = RelativeError(s, x.data());
        }
        r.rounds = set.rounds;
        r.iterations = t.iterations;
        r.buildSeconds = Median(build);
        r.setupSeconds = Median(setup);
        r.solveSeconds = Median(solve);
        r.detail = "qvl3d::CSolver; " + t.status +
                   (std::string(c.method) == "gmres" ? "; restart " + std::to_string(set.restart) : std::string());
        rows.push_back(r);
    }
    return rows;
}

void WriteModel(const std::string& path, const CLayoutShape& shape, const std::string& system)
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("cannot write --model-out file");
    std::fputs(ModelMarkdown(shape, system, 0.0, 0.0).c_str(), f);
    std::fclose(f);
}

int Run(int argc, char** argv, int rank, int ranks)
{
    auto options = CommonOptions();
    options.insert({"model-out", "road", "restart"});
    const CPeerArgs args(argc, argv, options);
    const CPeerSystem s =
        BuildSystem(args.Text("system", "poisson:32"), args.Text("matrices", "."), args.Text("label", ""));
    const CSettings set = ReadSettings(args);

    std::vector<CResultRow> rows;
    if (set.entry || args.Has("model-out")) {
        COurRunner runner(s, rank, ranks);
        if (args.Has("model-out") && rank == 0) WriteModel(args.Text("model-out", ""), runner.Shape(), s.name);
        if (set.entry) rows = RunEntryPoints(s, set, rank, ranks, runner);
    }
    if (set.front && set.only != "none") {
        CFrontDoorRunner runner(s, rank, ranks);
        for (CResultRow& r : RunFrontDoor(s, set, rank, ranks, runner)) rows.push_back(std::move(r));
    }
    if (rank == 0) AppendRows(args.Text("out", ""), rows);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    int rank = 0, ranks = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &ranks);
    try {
        Run(argc, argv, rank, ranks);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_peers_ours: %s\n", e.what());
        if (ranks > 1) MPI_Abort(MPI_COMM_WORLD, 2); // the other ranks may wait in a collective call
        MPI_Finalize();
        return 2;
    }
    MPI_Finalize();
    return 0;
}
