#include "SolveDistributed.h"

#include "Files.h"
#include "MatrixMarket.h"
#include "MatrixMarketShare.h"
#include <qvl3d/MpiTransport.h>
#include "Partition.h"
#include "SolveOptions.h"
#include "SolveProblem.h"
#include "SolveRun.h"
#include "SolveSummary.h"

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace qvl3d {
namespace app {

namespace {

struct CFault {
    int status = kExitConverged;
    std::string reason;
};

// Runs f and turns the command's exceptions into a fault, with the statuses
// of the serial command.
template <class F>
CFault Guard(F&& f)
{
    try {
        f();
        return CFault();
    } catch (const host::CInputError& e) {
        return {kExitBadInput, e.what()};
    } catch (const CUsageError& e) {
        return {kExitBadInput, e.what()};
    } catch (const CHostCheckError& e) {
        return {kExitBadInput, e.what()};
    } catch (const std::invalid_argument& e) {
        return {kExitBadInput, e.what()};
    } catch (const std::bad_alloc&) {
        return {kExitFailure, "out of memory"};
    } catch (const std::exception& e) {
        return {kExitFailure, e.what()};
    }
}

using host::Rank;
using host::Ranks;

// Collective: the worst status any rank saw (0: none). The lowest rank that
// saw it prints its reason.
int Agree(MPI_Comm comm, const CFault& f)
{
    int worst = f.status;
    MPI_Allreduce(MPI_IN_PLACE, &worst, 1, MPI_INT, MPI_MAX, comm);
    if (worst == kExitConverged) return worst;
    int reporter = f.status == worst ? Rank(comm) : Ranks(comm);
    MPI_Allreduce(MPI_IN_PLACE, &reporter, 1, MPI_INT, MPI_MIN, comm);
    if (reporter == Rank(comm)) {
        std::fflush(stdout);
        if (reporter == 0)
            std::fprintf(stderr, "qvl3d-solve: %s\n", host::Printable(f.reason).c_str());
        else
            std::fprintf(stderr, "qvl3d-solve: rank %d: %s\n", reporter, host::Printable(f.reason).c_str());
    }
    return worst;
}

// A fault of this rank after the solve's collective calls have begun: the
// others cannot be told, so the job ends here.
[[noreturn]] void Abort(MPI_Comm comm, const CFault& f)
{
    std::fflush(stdout);
    std::fprintf(stderr, "qvl3d-solve: rank %d: %s\n", Rank(comm), host::Printable(f.reason).c_str());
    std::fflush(stderr);
    MPI_Abort(comm, f.status);
    std::abort();
}

double MaxOver(MPI_Comm comm, double v)
{
    MPI_Allreduce(MPI_IN_PLACE, &v, 1, MPI_DOUBLE, MPI_MAX, comm);
    return v;
}

// The correctly rounded sum over the ranks: the same bits on every rank and
// from run to run, whatever the MPI library's reduction does.
double SumOver(MPI_Comm comm, double v)
{
    return ExactSum(comm, v);
}

// The norm over all ranks of each rank's partial norm, as safe from
// overflow and underflow as its parts: the largest scale of all first, then
// the sum of every rank's squares over it.
host::CScaledNorm AcrossRanks(MPI_Comm comm, const host::CScaledNorm& local)
{
    double top[3] = {local.Scale(), local.SawInfinity() ? 1.0 : 0.0, local.SawNaN() ? 1.0 : 0.0};
    MPI_Allreduce(MPI_IN_PLACE, top, 3, MPI_DOUBLE, MPI_MAX, comm);
    const double squares = SumOver(comm, local.SquaresOver(top[0]));
    return host::CScaledNorm::Combined(top[0], squares, top[1] > 0.0, top[2] > 0.0);
}

void Spread(MPI_Comm comm, int v, int& lo, int& hi)
{
    MPI_Allreduce(&v, &lo, 1, MPI_INT, MPI_MIN, comm);
    MPI_Allreduce(&v, &hi, 1, MPI_INT, MPI_MAX, comm);
}

// Box partition of the box's cells, moved to the solver's numbering.
host::COwners BoxOwners(const CCommandOptions& o, const CProblem& P, int nRanks)
{
    const host::COwners box = host::PartitionBox(o.box, nRanks);
    if (P.renumbering.empty()) return box;
    host::COwners owner(box.size(), 0);
    for (size_t c = 1; c < box.size(); ++c) owner[static_cast<size_t>(P.renumbering[c])] = box[c];
    return owner;
}

CProblem LocalProblem(const CProblem& P, const host::CPartition& part)
{
    CProblem local;
    local.description = P.description;
    local.A = part.A;
    local.b = host::Localise(part, P.b);
    local.x0 = host::Localise(part, P.x0);
    if (!P.exact.empty()) local.exact = host::Localise(part, P.exact);
    local.seconds = P.seconds;
    return local;
}

// Collective: the rank's share of a matrix file, streamed from rank 0, and
// its vectors, as SetUpProblem and Distribute give them over the graph
// partition (SetUpBoxShare's contract, for a file).
CProblem SetUpFileShare(MPI_Comm comm, const CCommandOptions& o, host::CPartition& part, int& firstBadRow, int& nGlobal)
{
    const double t0 = MPI_Wtime();
    const host::CRowShare rows = host::ReadMatrixMarketShare(comm, o.matrixFile);
    CProblem p;
    p.description = FileDescription(o.matrixFile, rows.info);
    nGlobal = rows.nGlobal;
    part = host::PartitionFromShare(comm, rows);
    // The collective steps are behind: a fault from here on is one rank's
    // alone, and the caller's agreement reports it.
    CShareFiles files = ReadShareFiles(o, nGlobal);
    const auto rowSums = [&] {
        const std::vector<double> ones(static_cast<size_t>(part.A.nCellTotal) + 1, 1.0);
        std::vector<double> b(ones.size(), 0.0);
        host::Multiply(part.A, ones.data(), b.data());
        return b;
    };
    ShareVectors(o, nGlobal, std::move(files), part, rowSums, p, firstBadRow);
    p.A = std::move(part.A);
    part.A.nCell = p.A.nCell;
    part.A.nCellTotal = p.A.nCellTotal;
    p.seconds = MPI_Wtime() - t0;
    return p;
}

// The rank's share of the problem and its halo plan (part), with what the
// summary says of them; collective. A non-zero status ends the run.
struct CShare {
    bool byRank = false; // built rank by rank, numbered as the original
    CProblem whole;      // the whole problem: only without byRank
    CProblem local;
    host::CPartition part;
    int nGlobal = 0;
    std::string partitioner;
};

// A plain box is built rank by rank from each rank's sub-box, a matrix file
// is read once and streamed to the ranks that own its rows.
int SetUpByRank(MPI_Comm comm, const CCommandOptions& o, CShare& s)
{
    const bool byFile = o.problem == EProblem::MatrixFile;
    int badRow = 0;
    if (byFile) {
        if (const int st = Agree(comm, Guard([&] { CheckFiles(o); }))) return st;
        // Collective: a fault in the file reaches every rank alike.
        if (const int st = Agree(comm, Guard([&] { s.local = SetUpFileShare(comm, o, s.part, badRow, s.nGlobal); })))
            return st;
    } else if (const int st = Agree(comm, Guard([&] {
                                        CheckFiles(o);
                                        s.local = SetUpBoxShare(o, Rank(comm), Ranks(comm), s.part, badRow);
                                    }))) {
        return st;
    }
    // Every rank names the first row of all, as the whole build would.
    int first = badRow > 0 ? badRow : std::numeric_limits<int>::max();
    MPI_Allreduce(MPI_IN_PLACE, &first, 1, MPI_INT, MPI_MIN, comm);
    if (const int st = Agree(comm, Guard([&] {
                                 if (first != std::numeric_limits<int>::max()) ThrowNonFiniteRhs(o, first);
                             })))
        return st;
    s.partitioner = byFile ? std::string("matrix graph, ") + host::GraphPartitionerName()
                           : "recursive coordinate bisection of the box";
    return kExitConverged;
}

// A renumbered box or file is built whole on every rank and split.
int SetUpWhole(MPI_Comm comm, const CCommandOptions& o, CShare& s)
{
    const int rank = Rank(comm), nRanks = Ranks(comm);
    if (const int st = Agree(comm, Guard([&] {
                                 CheckFiles(o);
                                 s.whole = SetUpProblem(o);
                             })))
        return st;
    host::COwners owner;
    if (o.problem == EProblem::MatrixFile) {
        s.partitioner = std::string("matrix graph, ") + host::GraphPartitionerName();
        CFault f;
        if (rank == 0) f = Guard([&] { owner = host::PartitionGraph(s.whole.A, nRanks); });
        if (const int st = Agree(comm, f)) return st;
        host::BroadcastOwners(comm, owner);
    } else {
        s.partitioner = "recursive coordinate bisection of the box";
        if (const int st = Agree(comm, Guard([&] { owner = BoxOwners(o, s.whole, nRanks); }))) return st;
    }
    if (const int st = Agree(comm, Guard([&] {
                                 s.part = host::Distribute(s.whole.A, owner, rank, nRanks);
                                 s.local = LocalProblem(s.whole, s.part);
                             })))
        return st;
    s.nGlobal = s.whole.A.nCell;
    return kExitConverged;
}

// The rank's solve on the road the options name. The front door refuses
// its input on every rank alike, so its refusals are agreed on; any other
// fault is this rank's alone once the collective calls have begun.
int SolveShare(MPI_Comm comm, const CCommandOptions& o, const CShare& s, CRunResult& r)
{
    std::shared_ptr<CMpiHaloTransport> halo;
    std::shared_ptr<CMpiSumTransport> sum;
    if (const int st = Agree(comm, Guard([&] {
                                 halo = std::make_shared<CMpiHaloTransport>(comm, s.part.plan);
                                 sum = std::make_shared<CMpiSumTransport>(comm);
                             })))
        return st;
    bool refused = false;
    const CFault f = Guard([&] {
        try {
            r = RunSolve(
                s.local, o, halo, sum, Rank(comm) == 0 ? stdout : nullptr,
                [comm](const host::CScaledNorm& part) { return AcrossRanks(comm, part); },
                [comm](double v) { return MaxOver(comm, v); });
        } catch (const std::invalid_argument&) {
            refused = !o.entryPoint;
            throw;
        }
    });
    if (refused) return Agree(comm, f);
    if (f.status != kExitConverged) Abort(comm, f);
    return kExitConverged;
}

// One result from the ranks' results. The residual, the iteration count
// and the stop reason rest on global sums and agree already.
void CombineRanks(MPI_Comm comm, const CShare& s, CRunResult& r)
{
    CDistribution& d = r.distribution;
    d.ranks = Ranks(comm);
    d.partitioner = s.partitioner;
    Spread(comm, s.part.Cells(), d.minCells, d.maxCells);
    Spread(comm, s.part.HaloCells(), d.minHalo, d.maxHalo);
    d.exchangeSeconds = MaxOver(comm, r.exchangeSeconds);
    d.sumSeconds = MaxOver(comm, r.sumSeconds);
    r.cells = s.nGlobal;
    r.nonZeros = static_cast<long long>(SumOver(comm, static_cast<double>(r.nonZeros)));
    r.layoutSeconds = MaxOver(comm, r.layoutSeconds);
    r.checkSeconds = MaxOver(comm, r.checkSeconds);
    r.solveSeconds = MaxOver(comm, r.solveSeconds);
    r.meanSolveSeconds = MaxOver(comm, r.meanSolveSeconds);
    r.commSeconds = MaxOver(comm, r.commSeconds);
    r.hostMegabytes = SumOver(comm, r.hostMegabytes);
    r.libraryMegabytes = SumOver(comm, r.libraryMegabytes);
    int flags[2] = {r.repeatsAgree ? 1 : 0, r.finite ? 1 : 0};
    MPI_Allreduce(MPI_IN_PLACE, flags, 2, MPI_INT, MPI_MIN, comm);
    r.repeatsAgree = flags[0] == 1;
    r.finite = flags[1] == 1;
    if (r.haveError) r.maxError = r.finite ? MaxOver(comm, r.maxError) : std::nan("");
    Conclude(r);
    const std::string differ = "the repeats did not give bit-identical results";
    if (!r.repeatsAgree && std::find(r.notes.begin(), r.notes.end(), differ) == r.notes.end())
        r.notes.push_back(differ);
}

// The summary and the files, from rank 0; the status every rank returns.
// A share built rank by rank is numbered as the original: the owners stream
// the solution file to rank 0 in chunks. Otherwise the solution comes to
// rank 0 whole, for the output file in the original numbering or to find
// the first cell that is not finite (r.finite agrees everywhere).
int Report(MPI_Comm comm, const CCommandOptions& o, CShare& s, CRunResult& r)
{
    CProblem& P = s.whole;
    const std::string comment = "solution from qvl3d-solve on " + std::to_string(Ranks(comm)) +
                                " ranks: " + (s.byRank ? s.local.description : P.description);
    const bool stream = s.byRank && !o.outputFile.empty() && r.finite;
    std::string streamFault;
    if (stream) streamFault = host::WriteVectorMarketShare(comm, o.outputFile, s.part, r.x.data(), s.nGlobal, comment);
    const bool gather = !stream && (!o.outputFile.empty() || !r.finite);
    std::vector<double> x;
    if (gather) x = host::GatherSolution(comm, s.part, r.x.data(), s.nGlobal);
    int status = kExitConverged;
    if (Rank(comm) == 0) {
        if (gather) {
            r.x = s.byRank ? std::move(x) : InOriginalNumbering(P, x.data());
            r.firstNonFinite = 0; // RunSolve named a cell of rank 0's own numbering
            for (int i = 1; i <= r.cells && r.firstNonFinite == 0; ++i)
                if (!std::isfinite(r.x[static_cast<size_t>(i)])) r.firstNonFinite = i;
        }
        if (s.byRank) P.description = s.local.description;
        PrintSummary(stdout, P, r);
        std::string reason;
        const auto streamed = [&] {
            if (!streamFault.empty()) throw std::runtime_error(streamFault);
        };
        status = WriteResults(o, P, r, comment, StandardOutputFault(), reason,
                              stream ? std::function<void()>(streamed) : nullptr);
        if (status != kExitConverged) {
            std::fflush(stdout);
            std::fprintf(stderr, "qvl3d-solve: %s\n", host::Printable(reason).c_str());
        }
    }
    MPI_Bcast(&status, 1, MPI_INT, 0, comm);
    return status;
}

int Run(MPI_Comm comm, int argc, char** argv)
{
    CCommandOptions o;
    CFault f = Guard([&] { o = ParseOptions(argc, argv); });
    if (f.status != kExitConverged) f.reason += " (see --help)";
    if (const int st = Agree(comm, f)) return st;
    if (o.help || o.version) {
        if (Rank(comm) == 0) {
            f = {kExitConverged, PutStandardOutput(o.help ? HelpText() : "qvl3d-solve " QVL3D_VERSION "\n")};
            if (!f.reason.empty()) f.status = kExitFailure;
        }
        return Agree(comm, f);
    }
    CShare s;
    s.nGlobal = static_cast<int>(o.box.Cells());
    s.byRank = BoxShareApplies(o) || (o.problem == EProblem::MatrixFile && o.renumber == host::ERenumber::None);
    if (const int st = s.byRank ? SetUpByRank(comm, o, s) : SetUpWhole(comm, o, s)) return st;
    CRunResult r;
    if (const int st = SolveShare(comm, o, s, r)) return st;
    CombineRanks(comm, s, r);
    return Report(comm, o, s, r);
}

} // namespace

bool LaunchedByMpi()
{
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "PMIX_RANK"})
        if (std::getenv(name)) return true;
    return false;
}

int DistributedMain(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    const int status = Run(MPI_COMM_WORLD, argc, argv);
    MPI_Finalize();
    return status;
}

} // namespace app
} // namespace qvl3d
