// The front door's road of qvl3d-solve: a qvl3d::CSolver over the problem's
// rows, solved from x0 as often as --repeat says, measured as the entry
// points' road is measured.
#include "SolveRun.h"

#include <qvl3d/QVLMemTool.h>
#include <qvl3d/Solve.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace qvl3d {
namespace app {

namespace {

// The problem's matrix counted from 0, entries in the host's order (the
// diagonal where the host keeps it): the offsets as they are, the columns
// less one, halo cells after the owned ones.
struct CZeroBased {
    std::vector<std::int32_t> columns;

    CCsrView View(const host::CSparseMatrix& A)
    {
        columns.resize(A.col.size());
        for (size_t e = 0; e < A.col.size(); ++e) columns[e] = A.col[e] - 1;
        return CCsrView{A.nCell, A.rowStart.data(), nullptr, columns.data(), A.val.data()};
    }
};

bool SameResult(const CSolveResult& a, const CSolveResult& b)
{
    return a.status == b.status && a.iterations == b.iterations && a.history.size() == b.history.size() &&
           std::equal(a.history.begin(), a.history.end(), b.history.begin(), SameBits);
}

// Why the method stopped, in words; a breakdown names its iteration.
std::string FrontDoorStop(const CSolveResult& s)
{
    std::string text = StatusText(s.status);
    switch (s.status) {
    case EStatus::BreakdownRho:
    case EStatus::BreakdownBeta:
    case EStatus::BreakdownSigma:
    case EStatus::BreakdownAlpha:
    case EStatus::BreakdownTt:
    case EStatus::BreakdownOmega: text += " in iteration " + std::to_string(s.iterations + 1); break;
    default: break;
    }
    return text;
}

// The solves of --repeat, each from x0 (1-based, owned cells then halo):
// the first's result, with its x in firstX.
CSolveResult SolveRepeatedly(const CProblem& P, const CCommandOptions& o, CSolver& solver,
                             CCountingTransport* transport, bool& printing, std::vector<double>& firstX, CRunResult& r)
{
    CSolveResult first;
    std::vector<double> x;
    double totalSeconds = 0.0;
    r.solveSeconds = std::numeric_limits<double>::infinity();
    for (int rep = 0; rep < o.repeat; ++rep) {
        x.assign(P.x0.begin(), P.x0.end());
        if (transport) transport->Reset();
        const auto ts = Clock::now();
        const CSolveResult s = solver.Solve(P.b.data() + 1, x.data() + 1);
        const double seconds = Since(ts);
        r.solveSeconds = std::min(r.solveSeconds, seconds);
        totalSeconds += seconds;
        printing = false; // --monitor prints the first solve's lines only
        if (rep == 0) {
            first = s;
            firstX = x;
            if (transport) {
                r.sums = transport->sums;
                r.exchanges = transport->exchanges;
                r.commSeconds = transport->seconds;
                r.exchangeSeconds = transport->exchangeSeconds;
                r.sumSeconds = transport->sumSeconds;
            }
        } else if (!SameResult(first, s) ||
                   std::memcmp(firstX.data() + 1, x.data() + 1, sizeof(double) * static_cast<size_t>(P.A.nCell)) != 0) {
            r.repeatsAgree = false;
        }
    }
    r.meanSolveSeconds = totalSeconds / o.repeat;
    return first;
}

void TakeResult(const CSolveResult& s, CRunResult& r)
{
    r.status = s.status;
    r.iterations = s.iterations;
    r.stop = FrontDoorStop(s);
    r.history = s.history;
    r.multigrid = s.multigrid;
    r.initialResidual = s.initialResidual;
    r.solverConverged = s.Converged();
    r.solverRelative = s.relativeResidual;
    // The first-iteration rule's reference: the norm after iteration 1.
    r.reachedFirst = r.reference == EReference::FirstIteration && !s.history.empty();
    r.residual0 = r.reachedFirst ? s.history.front() : 0.0;
    const auto zero = std::find(s.history.begin(), s.history.end(), 0.0);
    r.zeroNormAt = zero == s.history.end() ? 0 : static_cast<int>(zero - s.history.begin()) + 1;
}

} // namespace

CRunResult RunFrontDoor(const CProblem& P, const CCommandOptions& o, std::shared_ptr<CHaloTransport> halo,
                        std::shared_ptr<CSumTransport> sum, std::FILE* console, const CNormReduction& acrossRanks,
                        const CMaximum& maximum, std::shared_ptr<CMultigridServices> multigrid)
{
    CRunResult r = StartResult(P, o);
    const bool linked = halo || sum;
    auto transport = std::make_shared<CCountingTransport>(std::move(halo), std::move(sum));
    if (!linked) r.sums = r.exchanges = -1;
    CSolveOptions options = FrontDoorOptions(o);
    r.precond = PreconditionerFor(options.method, options.preconditioner);
    const host::CScaledNorm bNorm = RhsNorm(P, acrossRanks, r);
    bool printing = o.monitor && console != nullptr;
    if (printing)
        options.monitor = [console, &printing, bNorm = r.bNorm](int k, double norm) {
            if (printing) PrintMonitorLine(console, k, norm, bNorm);
        };

    const auto t0 = Clock::now();
    CZeroBased rows;
    const CCsrView view = rows.View(P.A);
    CSolver solver = [&] {
        if (!linked) return CSolver(view, options);
        CPartitionLink link;
        link.haloCells = P.A.nCellTotal - P.A.nCell;
        link.halo = transport;
        link.sum = transport;
        link.maximum = maximum ? maximum : [](double v) { return v; };
        link.multigrid = multigrid;
        return CSolver(view, options, link);
    }();
    r.layoutSeconds = Since(t0);

    std::vector<double> x;
    TakeResult(SolveRepeatedly(P, o, solver, linked ? transport.get() : nullptr, printing, x, r), r);
    CCommunication commu(transport);
    MeasureSolution(P, x.data(), commu, acrossRanks, bNorm, r);
    r.hostMegabytes = CQVLMemTool::getTotalMem();

    if (RowsFor(options.method, o.layout) != o.layout)
        r.notes.push_back(std::string("the ") + Find(options.method)->name + " has no " + LayoutName(o.layout) +
                          " form: it runs on the " + LayoutName(RowsFor(options.method, o.layout)) + " rows");
    if (o.monitor) r.notes.push_back("the first solve's time includes printing the --monitor lines");
    if (!r.repeatsAgree) r.notes.push_back("the repeats did not give bit-identical results");
    return r;
}

} // namespace app
} // namespace qvl3d
