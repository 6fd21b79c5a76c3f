#include "SolveDistributed.h"

#include "BoxProblems.h"
#include "Files.h"
#include "MatrixMarket.h"
#include "MatrixMarketShare.h"
#include <qvl3d/DistributedSolve.h>
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
#include <vector>

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

// The rank's share of the problem and its halo plan (part), with what the
// summary says of them. Every input is built or read rank by rank: a plain
// box from the rank's sub-box, a renumbered box from the same sub-box's rows
// renamed, a matrix file and the vector files streamed from rank 0 to the
// ranks that own their rows.
struct CShare {
    CProblem local;
    host::CPartition part;                        // numbered as the solver sees the cells
    host::CRenumbering renumbering;               // New: the solver's number of an original cell
    std::function<std::vector<double>()> rowSums; // b = A*1 on the share, halo included
    int nGlobal = 0;
    std::string partitioner;
};

// The rows of the rank's sub-box with its cells renamed by map: rows in
// ascending new number, the columns of each ascending (RenumberCells of the
// whole box, cut to the rank's cells, without an array of the box's size).
host::CRowShare BoxRows(const host::CBoxStencil& stencil, const host::CRenumbering& map, int rank, int nRanks)
{
    const host::CBox& box = stencil.Box();
    const host::CBoxRegion own = host::BoxPartRegion(box, nRanks, rank);
    std::vector<std::pair<int, int>> order; // (new number, original number)
    order.reserve(static_cast<size_t>(own.Cells()));
    for (int iz = own.lo[2]; iz < own.hi[2]; ++iz)
        for (int iy = own.lo[1]; iy < own.hi[1]; ++iy)
            for (int ix = own.lo[0]; ix < own.hi[0]; ++ix) {
                const int c = box.Cell(ix, iy, iz);
                order.emplace_back(map.New(c), c);
            }
    std::sort(order.begin(), order.end());
    host::CRowShare rows;
    rows.nGlobal = static_cast<int>(box.Cells());
    rows.start.push_back(0);
    int col[host::CBoxStencil::kMaxEntries];
    double val[host::CBoxStencil::kMaxEntries];
    std::pair<int, double> row[host::CBoxStencil::kMaxEntries];
    for (const auto& [cell, c] : order) {
        const int ix = (c - 1) % box.nx, iy = (c - 1) / box.nx % box.ny, iz = (c - 1) / box.nx / box.ny;
        const int count = stencil.Row(ix, iy, iz, col, val);
        for (int k = 0; k < count; ++k) { // by new column, at most 7 entries
            const std::pair<int, double> e(map.New(col[k]), val[k]);
            int j = k;
            for (; j > 0 && row[j - 1].first > e.first; --j) row[j] = row[j - 1];
            row[j] = e;
        }
        rows.cells.push_back(cell);
        for (int k = 0; k < count; ++k) {
            rows.col.push_back(row[k].first);
            rows.val.push_back(row[k].second);
        }
        rows.start.push_back(static_cast<int>(rows.col.size()));
    }
    return rows;
}

// The share's matrix moves into the problem; part keeps its dimensions.
void TakeMatrix(CShare& s)
{
    s.local.A = std::move(s.part.A);
    s.part.A.nCell = s.local.A.nCell;
    s.part.A.nCellTotal = s.local.A.nCellTotal;
    const host::CSparseMatrix& A = s.local.A;
    s.rowSums = [&A] {
        const std::vector<double> ones(static_cast<size_t>(A.nCellTotal) + 1, 1.0);
        std::vector<double> b(ones.size(), 0.0);
        host::Multiply(A, ones.data(), b.data());
        return b;
    };
}

// Collective: the rank's share of the matrix, as SetUpProblem and
// Distribute give it (the box by its bisection, whatever the numbering; a
// file by the graph partition of the matrix in the solver's numbering).
int SetUpMatrixShare(MPI_Comm comm, const CCommandOptions& o, CShare& s)
{
    const double t0 = MPI_Wtime();
    const int rank = Rank(comm), nRanks = Ranks(comm);
    if (o.problem == EProblem::MatrixFile) {
        s.partitioner = std::string("matrix graph, ") + host::GraphPartitionerName();
        // A fault in the file reaches every rank alike.
        if (const int st = Agree(comm, Guard([&] {
                                     const host::CRowShare rows = host::ReadMatrixMarketShare(
                                         comm, o.matrixFile, nullptr, host::kShareChunkEntries, 0, o.renumber, o.seed);
                                     s.nGlobal = rows.nGlobal;
                                     s.local.description =
                                         FileDescription(o.matrixFile, rows.info) + RenumberingNote(o);
                                     s.part = host::PartitionFromShare(comm, rows);
                                     TakeMatrix(s);
                                 })))
            return st;
    } else {
        s.partitioner = "recursive coordinate bisection of the box";
        s.local.description = BoxDescription(o) + RenumberingNote(o);
        host::CRowShare rows;
        if (const int st = Agree(comm, Guard([&] {
                                     if (BoxShareApplies(o)) {
                                         s.local = SetUpBoxShare(o, rank, nRanks, s.part);
                                         const host::CBoxStencil stencil = BoxStencil(o);
                                         const host::CPartition& part = s.part;
                                         s.rowSums = [stencil, &part] { return host::BoxRowSums(stencil, part); };
                                         return;
                                     }
                                     const host::CBoxStencil stencil = BoxStencil(o); // checks the box first
                                     const host::CRenumbering map(static_cast<int>(o.box.Cells()), o.renumber, o.seed);
                                     rows = BoxRows(stencil, map, rank, nRanks);
                                 })))
            return st;
        if (!BoxShareApplies(o))
            if (const int st = Agree(comm, Guard([&] {
                                         s.part = host::PartitionFromShare(comm, rows);
                                         TakeMatrix(s);
                                     })))
                return st;
    }
    s.renumbering = host::CRenumbering(s.nGlobal, o.renumber, o.seed);
    s.local.seconds = MPI_Wtime() - t0;
    return kExitConverged;
}

// Collective: a vector file cut to the share, streamed from rank 0.
std::vector<double> ReadShareVector(MPI_Comm comm, const std::string& path, const CShare& s)
{
    const std::vector<int>& global = s.part.global;
    std::vector<int> original(global.size() - 1);
    for (size_t l = 1; l < global.size(); ++l) original[l - 1] = s.renumbering.Old(global[l]);
    const std::vector<double> values = host::ReadVectorMarketShare(comm, path, s.nGlobal, original);
    std::vector<double> local(global.size(), 0.0);
    std::copy(values.begin(), values.end(), local.begin() + 1);
    return local;
}

// Every input built or read rank by rank; a non-zero status ends the run.
int SetUpByRank(MPI_Comm comm, const CCommandOptions& o, CShare& s)
{
    if (const int st = Agree(comm, Guard([&] { CheckFiles(o); }))) return st;
    if (const int st = SetUpMatrixShare(comm, o, s)) return st;
    const double t0 = MPI_Wtime();
    CShareFiles files;
    // Collective: a fault in a file reaches every rank alike.
    if (const int st = Agree(comm, Guard([&] {
                                 files = ReadShareFiles(
                                     o, [&](const std::string& path) { return ReadShareVector(comm, path, s); });
                             })))
        return st;
    int badRow = 0;
    if (const int st =
            Agree(comm, Guard([&] { ShareVectors(o, std::move(files), s.part, s.rowSums, s.local, badRow); })))
        return st;
    s.local.seconds += MPI_Wtime() - t0;
    // Every rank names the first row of all in the solver's numbering, as
    // the whole build would, by its number in the file's.
    int first = badRow > 0 ? badRow : std::numeric_limits<int>::max();
    MPI_Allreduce(MPI_IN_PLACE, &first, 1, MPI_INT, MPI_MIN, comm);
    return Agree(comm, Guard([&] {
                     if (first != std::numeric_limits<int>::max()) ThrowNonFiniteRhs(o, s.renumbering.Old(first));
                 }));
}

// The rank's solve on the road the options name. The front door refuses
// its input on every rank alike, so its refusals are agreed on; any other
// fault is this rank's alone once the collective calls have begun.
int SolveShare(MPI_Comm comm, const CCommandOptions& o, const CShare& s, CRunResult& r)
{
    CPartitionLink link;
    if (const int st = Agree(comm, Guard([&] { link = MakePartitionLink(comm, s.part.plan); }))) return st;
    bool refused = false;
    const CFault f = Guard([&] {
        try {
            r = RunSolve(
                s.local, o, link.halo, link.sum, Rank(comm) == 0 ? stdout : nullptr,
                [comm](const host::CScaledNorm& part) { return AcrossRanks(comm, part); }, link.maximum,
                link.multigrid);
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

// The rank's owned cells by their original numbers, ascending (cells.global),
// and x in that order: what the streamed output and the gather take.
void InOriginalOrder(const CShare& s, const std::vector<double>& x, host::CPartition& cells, std::vector<double>& xo)
{
    const int n = s.part.Cells();
    std::vector<std::pair<int, int>> order(static_cast<size_t>(n));
    for (int l = 1; l <= n; ++l)
        order[static_cast<size_t>(l) - 1] = {s.renumbering.Old(s.part.global[static_cast<size_t>(l)]), l};
    std::sort(order.begin(), order.end());
    cells.A.nCell = cells.A.nCellTotal = n;
    cells.global.assign(static_cast<size_t>(n) + 1, 0);
    xo.assign(static_cast<size_t>(n) + 1, 0.0);
    for (size_t k = 0; k < order.size(); ++k) {
        cells.global[k + 1] = order[k].first;
        xo[k + 1] = x[static_cast<size_t>(order[k].second)];
    }
}

// The summary and the files, from rank 0; the status every rank returns.
// The owners stream the solution file to rank 0 in chunks, in the original
// numbering. The solution comes to rank 0 whole only to find the first cell
// that is not finite (r.finite agrees everywhere), and then for the file.
int Report(MPI_Comm comm, const CCommandOptions& o, CShare& s, CRunResult& r)
{
    CProblem P; // what the summary says of the problem
    P.description = s.local.description;
    const std::string comment =
        "solution from qvl3d-solve on " + std::to_string(Ranks(comm)) + " ranks: " + P.description;
    host::CPartition renamed;
    std::vector<double> xo;
    const bool renumbered = s.renumbering.Kind() != host::ERenumber::None;
    if (renumbered) InOriginalOrder(s, r.x, renamed, xo);
    const host::CPartition& cells = renumbered ? renamed : s.part;
    const double* x = renumbered ? xo.data() : r.x.data();
    const bool stream = !o.outputFile.empty() && r.finite;
    std::string streamFault;
    if (stream) streamFault = host::WriteVectorMarketShare(comm, o.outputFile, cells, x, s.nGlobal, comment);
    const bool gather = !stream && (!o.outputFile.empty() || !r.finite);
    std::vector<double> whole;
    if (gather) whole = host::GatherSolution(comm, cells, x, s.nGlobal);
    int status = kExitConverged;
    if (Rank(comm) == 0) {
        if (gather) {
            r.x = std::move(whole);
            r.firstNonFinite = 0; // RunSolve named a cell of rank 0's own numbering
            for (int i = 1; i <= r.cells && r.firstNonFinite == 0; ++i)
                if (!std::isfinite(r.x[static_cast<size_t>(i)])) r.firstNonFinite = i;
        }
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
    if (const int st = SetUpByRank(comm, o, s)) return st;
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
