#include "FrontDoorRunner.h"

#include "OurRunner.h"
#include "PeerReport.h"

#include "HostSystem.h"
#include <qvl3d/DistributedSolve.h>
#include <qvl3d/MpiTransport.h>
#include <qvl3d/SolverTable.h>

#include <mpi.h>

#include <algorithm>
#include <stdexcept>

namespace qvl3d {
namespace peers {

const std::vector<CFrontDoorConfig>& FrontDoorConfigs()
{
    static const std::vector<CFrontDoorConfig> configs = {
        {"bicgstab", "diag", "native", true},
        {"bicgstab", "diag", "csr", true},
        {"bicgstab", "diag", "ell", true},
        {"bicgstab", "dilu", "native", true},
        {"bicgstab", "dilu", "csr", true},
        {"bicgstab", "dilu", "ell", true},
        {"cg", "diag", "native", true},
        {"cg", "diag", "csr", true},
        {"cg", "dilu", "native", true},
        {"cg", "dilu", "csr", true},
        {"gs", "none", "native", true},
        {"gs", "none", "csr", true},
        {"gs", "none", "ell", true},
        // Time to solution only (run.sh names them with --only).
        {"gmres", "diag", "csr", false},
        {"gmres", "dilu", "csr", false},
        {"gmres", "ilu0", "csr", false},
        {"cg", "ilu0", "csr", false},
        {"cg", "amg", "csr", false},
        {"bicgstab", "amg", "csr", false},
    };
    return configs;
}

bool FrontDoorOptions(const CFrontDoorConfig& c, double rtol, int maxIter, int restart, CSolveOptions& options,
                      std::string& why)
{
    // The comparison's words where they differ from the table's.
    const std::string method = std::string(c.method) == "cg" ? "pcg" : c.method;
    const std::string precond = std::string(c.precond) == "diag" ? "diagonal" : c.precond;
    const CMethodInfo* m = FindWord(kMethods, method);
    const CPreconditionerInfo* p = FindWord(kPreconditioners, precond);
    const CLayoutInfo* l = FindWord(kLayouts, std::string(c.layout));
    if (!m || !p || !l) {
        const std::string what = !m   ? "method '" + method
                                 : !p ? "preconditioner '" + precond
                                      : "layout '" + std::string(c.layout);
        why = "the front door of this build has no " + what + "' (" +
              (!m   ? Words(kMethods)
               : !p ? Words(kPreconditioners)
                    : Words(kLayouts)) +
              ")";
        return false;
    }
    if (!m->takesPreconditioner && p->id != EPreconditioner::None) {
        why = std::string("the ") + m->name + " takes no preconditioner";
        return false;
    }
    options = CSolveOptions();
    options.method = m->id;
    options.preconditioner = p->id;
    options.layout = l->id;
    options.rtol = rtol;
    options.maxIter = maxIter;
    options.restart = restart;
    options.reference = EReference::RightHandSide;
    return true;
}

CFrontDoorRunner::CFrontDoorRunner(const CPeerSystem& s, int rank, int ranks)
    : m_s(s), m_ranks(ranks), m_part(ShareOf(s, rank, ranks))
{
    const host::CSparseMatrix& A = m_part.A;
    m_columns.resize(A.col.size());
    for (size_t e = 0; e < A.col.size(); ++e) m_columns[e] = A.col[e] - 1;
    const std::vector<double> b = ranks == 1 ? s.b : host::Localise(m_part, s.b);
    m_b.assign(b.begin() + 1, b.begin() + 1 + A.nCell);
    m_x.assign(static_cast<size_t>(A.nCell) + 1, 0.0);

    // The layouts' shape as the reference host lays them out (the front
    // door builds its layout with the same host objects).
    const host::CHostSystem sys(A);
    m_shape.entriesPerRow = static_cast<double>(A.NonZeros()) / std::max(1, A.nCell);
    m_shape.ellWidth = sys.gpu.m_nELLWidth;
    MeasureNativeRows(sys, m_shape);
    MeasureSweepRows(A, m_shape);
}

CFrontDoorRunner::~CFrontDoorRunner() = default;

double CFrontDoorRunner::SlowestRank(double seconds) const
{
    if (m_ranks > 1) MPI_Allreduce(MPI_IN_PLACE, &seconds, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    return seconds;
}

bool CFrontDoorRunner::Prepare(const CFrontDoorConfig& c, double rtol, int maxIter, int restart, std::string& why)
{
    m_solver.reset();
    CSolveOptions options;
    if (!FrontDoorOptions(c, rtol, maxIter, restart, options, why)) return false;
    options.monitor = [this](int, double) {
        const double t = Now();
        if (m_stamps++ == 0) m_first = t;
        m_last = t;
    };
    const host::CSparseMatrix& A = m_part.A;
    const CCsrView view{A.nCell, A.rowStart.data(), nullptr, m_columns.data(), A.val.data()};
    if (m_ranks > 1) MPI_Barrier(MPI_COMM_WORLD);
    const double t0 = Now();
    if (m_ranks == 1) {
        m_solver = std::make_unique<CSolver>(view, options);
    } else {
        m_solver = std::make_unique<CSolver>(view, options, MakePartitionLink(MPI_COMM_WORLD, m_part.plan));
    }
    m_build = SlowestRank(Now() - t0);
    return true;
}

CFrontDoorTimes CFrontDoorRunner::Round(double minSeconds)
{
    if (!m_solver) throw std::logic_error("CFrontDoorRunner::Round before a successful Prepare");
    CFrontDoorTimes t;
    t.build = m_build;
    double iterating = 0.0;
    int calls = 0;
    const double total = MeanOver(minSeconds, [&] {
        std::fill(m_x.begin(), m_x.end(), 0.0);
        m_stamps = 0;
        if (m_ranks > 1) MPI_Barrier(MPI_COMM_WORLD);
        const double t0 = Now();
        const CSolveResult r = m_solver->Solve(m_b.data(), m_x.data() + 1);
        const double call = Now() - t0;
        const double perIteration = m_stamps >= 2 ? (m_last - m_first) / (m_stamps - 1) : call;
        iterating += SlowestRank(std::min(call, r.iterations * perIteration));
        ++calls;
        t.iterations = r.iterations;
        t.status = StatusName(r.status);
        return SlowestRank(call);
    });
    t.solve = iterating / calls;
    t.setup = std::max(0.0, total - t.solve);
    return t;
}

std::vector<double> CFrontDoorRunner::Solution() const
{
    if (m_ranks == 1) return m_x;
    return host::GatherSolution(MPI_COMM_WORLD, m_part, m_x.data(), m_s.A.nCell);
}

} // namespace peers
} // namespace qvl3d
