// Our side of the peer comparison: every method, preconditioner and layout of
// CSingleGridSolver on one system, driven through the reference host exactly
// as a host drives it, on one process or on P ranks (mpirun -n P).
//
// Stopping rule. The methods measure convergence against the residual norm
// after their first iteration (m_pdResidual0), not against ||b||. To stop at
// the peers' ||r||/||b|| <= rtol, one untimed iteration from x = 0 learns that
// norm (the first iteration from x = 0 is deterministic) and the timed solve
// runs with m_pdTolerance = rtol*||b||/m_pdResidual0. Gauss-Seidel's global
// residual is the sum of the partition norms: exact with one partition, on
// several it stops once that sum (>= ||r||) is below rtol*||b||.
//
// Iterations. BiCGSTAB writes m_piIterCount; PCG and Gauss-Seidel write no
// count, so a counting global-sum transport counts them: PCG makes three
// global sums per iteration, Gauss-Seidel one per sweep.
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
#include "ByteModel.h"
#include "PeerReport.h"
#include "PeerSystems.h"

#include "HostSystem.h"
#include "MpiTransport.h"
#include "Partition.h"
#include "SingleGridSolver.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <stdexcept>
#include <unistd.h>

using namespace qvl3d;
using namespace qvl3d::peers;

namespace {

// Counts the global sums and forwards them (to MPI on several ranks).
class CCountingSum : public CSumTransport {
public:
    explicit CCountingSum(std::shared_ptr<CSumTransport> inner) : m_inner(std::move(inner)) {}
    double Sum(double local) override
    {
        ++calls;
        return m_inner ? m_inner->Sum(local) : local;
    }
    long long calls = 0;

private:
    std::shared_ptr<CSumTransport> m_inner;
};

// Sends the solver's console lines to /dev/null while alive.
class CQuietStdout {
public:
    CQuietStdout()
    {
        std::fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (m_saved < 0 || null < 0) throw std::runtime_error("cannot redirect standard output");
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~CQuietStdout()
    {
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
    }

private:
    int m_saved = -1;
};

struct CConfig {
    const char* method; // bicgstab, cg, gs
    const char* precond;
    const char* layout;
    int code;        // solver code
    int precondType; // store's m_piPrecondType
    int sumsPerIter; // 0: the method writes m_piIterCount
};

const CConfig kConfigs[] = {
    {"bicgstab", "diag", "native", 2, 3, 0}, {"bicgstab", "diag", "csr", 2, 3, 0}, {"bicgstab", "diag", "ell", 2, 3, 0},
    {"bicgstab", "dilu", "native", 2, 1, 0}, {"bicgstab", "dilu", "csr", 2, 1, 0}, {"bicgstab", "dilu", "ell", 2, 1, 0},
    {"cg", "diag", "native", 3, 3, 3},       {"cg", "diag", "csr", 3, 3, 3},       {"cg", "dilu", "native", 3, 1, 3},
    {"cg", "dilu", "csr", 3, 1, 3},          {"gs", "none", "native", 4, 0, 1},    {"gs", "none", "csr", 4, 0, 1},
    {"gs", "none", "ell", 4, 0, 1},
};

// Heap bytes per native row: the typical distance between the coefficient
// blocks of consecutive rows. The reference host allocates each row's
// neighbour list, coefficients and ordered slots one after another, so a pass
// over the rows streams this many bytes per row whichever of them it reads.
double NativeBytesPerRow(const host::CHostSystem& sys)
{
    const int n = sys.Cells();
    if (n < 2) return 0.0;
    std::vector<double> strides;
    strides.reserve(static_cast<size_t>(n));
    for (int i = 1; i < n; ++i) {
        const auto a = reinterpret_cast<std::intptr_t>(sys.store.m_ppdCoef[i]);
        const auto b = reinterpret_cast<std::intptr_t>(sys.store.m_ppdCoef[i + 1]);
        strides.push_back(static_cast<double>(b > a ? b - a : a - b));
    }
    return Median(strides);
}

// One rank's share of the system (all of it on one rank) with the host
// objects, the communication objects and the solver bound to them.
class COurRunner {
public:
    COurRunner(const CPeerSystem& s, int rank, int ranks) : m_s(s), m_ranks(ranks)
    {
        std::shared_ptr<CSumTransport> sum;
        std::shared_ptr<CHaloTransport> halo;
        if (ranks == 1) {
            m_part.A = s.A;
            m_part.global.resize(static_cast<size_t>(s.A.nCell) + 1);
            for (int i = 0; i <= s.A.nCell; ++i) m_part.global[static_cast<size_t>(i)] = i;
        } else {
            host::COwners owners =
                rank == 0 ? (s.isBox ? host::PartitionBox(s.box, ranks) : host::PartitionRows(s.A.nCell, ranks))
                          : host::COwners();
            host::BroadcastOwners(MPI_COMM_WORLD, owners);
            m_part = host::Distribute(s.A, owners, rank, ranks);
            halo = std::make_shared<CMpiHaloTransport>(MPI_COMM_WORLD, m_part.plan);
            sum = std::make_shared<CMpiSumTransport>(MPI_COMM_WORLD);
        }
        m_sum = std::make_shared<CCountingSum>(sum);
        m_commu = halo ? std::make_unique<CCommunication>(halo) : std::make_unique<CCommunication>();
        m_com = std::make_unique<CQVLCom>(m_sum);
        m_sys = std::make_unique<host::CHostSystem>(m_part.A);
        if (m_sys->Bind(m_solver, *m_commu, *m_com) != 0) throw std::runtime_error("binding the host objects failed");
        m_x = m_sys->NewVector();
        m_b = m_sys->NewVector();
        const std::vector<double> b = ranks == 1 ? s.b : host::Localise(m_part, s.b);
        std::copy(b.begin() + 1, b.begin() + 1 + m_part.A.nCell, m_b + 1);

        m_shape.entriesPerRow = static_cast<double>(m_part.A.NonZeros()) / std::max(1, m_part.A.nCell);
        m_shape.ellWidth = m_sys->gpu.m_nELLWidth;
        m_shape.nativeSpanPerRow = NativeBytesPerRow(*m_sys);
    }

    const CLayoutShape& Shape() const { return m_shape; }

    // Learns the reference residual; false when the method does nothing in
    // this build (its reference residual stays unwritten).
    bool Prepare(const CConfig& c, double rtol, double& tolerance)
    {
        m_sys->SetPreconditioner(c.precondType);
        m_sys->store.m_pdResidual0[kVar] = std::numeric_limits<double>::quiet_NaN();
        Reset();
        m_sys->SetVariable(kVar, 1, 0.0);
        Call(c);
        const double res0 = m_sys->store.m_pdResidual0[kVar];
        if (std::isnan(res0)) return false;
        tolerance = res0 > 0.0 ? rtol * m_s.normB / res0 : 0.0;
        return true;
    }

    // One timed round: set-up call, then the full solve, each repeated until
    // it has run minSeconds.
    void Round(const CConfig& c, int maxIter, double tolerance, double minSeconds, double& setup, double& solve,
               int& iterations)
    {
        m_sys->SetPreconditioner(c.precondType);
        setup = 0.0;
        if (c.code != 4)
            setup = MeanOver(minSeconds, [&] {
                Reset();
                m_sys->SetVariable(kVar, 0, tolerance);
                return TimedCall(c);
            });
        const double total = MeanOver(minSeconds, [&] {
            Reset();
            m_sys->SetVariable(kVar, maxIter, tolerance);
            m_sys->store.m_piIterCount[kVar] = 0;
            const double dt = TimedCall(c);
            iterations =
                c.sumsPerIter ? static_cast<int>(m_sum->calls / c.sumsPerIter) : m_sys->store.m_piIterCount[kVar];
            return dt;
        });
        solve = std::max(0.0, total - setup);
    }

    // The solution in the original numbering, on rank 0 (empty elsewhere).
    std::vector<double> Solution() const
    {
        if (m_ranks == 1) return std::vector<double>(m_x, m_x + m_part.A.nCell + 1);
        return host::GatherSolution(MPI_COMM_WORLD, m_part, m_x, m_s.A.nCell);
    }

private:
    static constexpr int kVar = 1;

    void Reset()
    {
        std::fill(m_x, m_x + m_sys->CellsTotal() + 1, 0.0);
        m_sum->calls = 0;
    }

    // The slowest rank's time, the same on every rank.
    double TimedCall(const CConfig& c)
    {
        if (m_ranks > 1) MPI_Barrier(MPI_COMM_WORLD);
        const double t0 = Now();
        Call(c);
        double dt = Now() - t0;
        if (m_ranks > 1) MPI_Allreduce(MPI_IN_PLACE, &dt, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
        return dt;
    }

    void Call(const CConfig& c)
    {
        CQuietStdout quiet;
        const std::string layout = c.layout;
        if (layout == "native")
            m_solver.Solver(kVar, c.code, m_x, m_b, 0);
        else if (layout == "csr")
            m_solver.Solver_CSR(kVar, c.code, m_x, m_b, 0);
        else
            m_solver.Solver_ELL(kVar, c.code, m_x, m_b, 0);
    }

    const CPeerSystem& m_s;
    int m_ranks;
    host::CPartition m_part;
    std::shared_ptr<CCountingSum> m_sum;
    std::unique_ptr<CCommunication> m_commu;
    std::unique_ptr<CQVLCom> m_com;
    std::unique_ptr<host::CHostSystem> m_sys;
    CSingleGridSolver m_solver;
    double* m_x = nullptr;
    double* m_b = nullptr;
    CLayoutShape m_shape;
};

int Run(int argc, char** argv, int rank, int ranks)
{
    auto options = CommonOptions();
    options.insert("model-out");
    const CPeerArgs args(argc, argv, options);
    const CPeerSystem s = BuildSystem(args.Text("system", "poisson:32"), args.Text("matrices", "."));
    const double rtol = args.Real("rtol", 1e-8, 1e-15, 0.5);
    const int maxIter = args.Int("maxit", 10000, 1, 100000000);
    const int gsSweeps = args.Int("gs-sweeps", 200, 1, 100000000);
    const int rounds = args.Int("rounds", 3, 1, 1000);
    const double minTime = args.Real("min-time", 0.2, 0.0, 3600.0);
    const std::string only = args.Text("only", "");

    COurRunner runner(s, rank, ranks);
    if (args.Has("model-out") && rank == 0) {
        std::FILE* f = std::fopen(args.Text("model-out", "").c_str(), "w");
        if (!f) throw std::runtime_error("cannot write --model-out file");
        std::fputs(ModelMarkdown(runner.Shape(), s.name, 0.0, 0.0).c_str(), f);
        std::fclose(f);
    }

    auto row = [&](const CConfig& c) {
        CResultRow r;
        r.impl = "ours";
        r.system = s.name;
        r.cells = s.A.nCell;
        r.nonZeros = s.A.NonZeros();
        r.method = c.method;
        r.precond = c.precond;
        r.layout = c.layout;
        r.ranks = ranks;
        r.modelBytes = IterationBytes(c.method, c.precond, c.layout, runner.Shape());
        return r;
    };

    struct CState {
        const CConfig* c = nullptr;
        double tolerance = 0.0;
        std::vector<double> setup, solve;
        int iterations = 0;
        double relres = 0.0, error = 0.0;
    };
    std::vector<CState> states;
    std::vector<CResultRow> rows;
    for (const CConfig& c : kConfigs) {
        if (!Selected(only, c.method, c.precond, c.layout)) continue;
        if (c.code == 3 && !s.symmetric) continue; // conjugate gradients need a symmetric matrix
        CState st;
        st.c = &c;
        if (runner.Prepare(c, rtol, st.tolerance)) {
            states.push_back(st);
            continue;
        }
        CResultRow r = row(c);
        r.trueRelResidual = r.error = std::nan("");
        r.detail = "method not available in this build";
        rows.push_back(r);
        if (rank == 0)
            std::fprintf(stderr, "ours: %s %s %s does nothing in this build; skipped\n", c.method, c.precond, c.layout);
    }

    // Rounds interleave the configurations so that a drift of the machine's
    // state spreads over all of them.
    for (int round = 0; round < rounds; ++round)
        for (CState& st : states) {
            double setup = 0.0, solve = 0.0;
            const int limit = st.c->code == 4 ? gsSweeps : maxIter;
            runner.Round(*st.c, limit, st.tolerance, minTime, setup, solve, st.iterations);
            st.setup.push_back(setup);
            st.solve.push_back(solve);
            const std::vector<double> x = runner.Solution();
            if (rank == 0) {
                st.relres = TrueRelativeResidual(s, x.data());
                st.error = RelativeError(s, x.data());
            }
        }

    for (const CState& st : states) {
        CResultRow r = row(*st.c);
        r.rounds = rounds;
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
