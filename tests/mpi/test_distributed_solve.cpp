// The distributed front door: the plan built from rows with global column
// numbers against the reference host's partitioner, the check of host-written
// plans, bad input refused on every rank, and distributed solves against the
// serial front door on the whole matrix.
#include "MatrixMarket.h"
#include "MpiSupport.h"
#include <qvl3d/DistributedSolve.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using namespace qvl3d;
using test::BitEqual;
using test::FromDense;
using test::MatrixPath;
using test::Rank;
using test::Ranks;
using test::Refusal;
using test::RhsForOnes;
using test::SameBitsOnAllRanks;

namespace {

using Id = std::int64_t;
const MPI_Comm kWorld = MPI_COMM_WORLD;

// One rank's rows of a global matrix with 0-based global columns, and its
// ownership as a range or a list.
struct CRankRows {
    std::vector<Id> start{0}, columns, ids;
    std::vector<double> values;
    bool list = false;
    Id first = 0;

    void Add(const host::CSparseMatrix& A, Id id) // the global matrix's row id (0-based)
    {
        const int i = static_cast<int>(id) + 1;
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) {
            columns.push_back(A.col[static_cast<size_t>(e)] - 1);
            values.push_back(A.val[static_cast<size_t>(e)]);
        }
        start.push_back(static_cast<Id>(columns.size()));
        ids.push_back(id);
    }
    CGlobalRows Rows() const
    {
        return CGlobalRows{static_cast<Id>(ids.size()), start.data(), columns.data(), values.data()};
    }
    COwnership Ownership() const { return list ? COwnership::List(ids.data()) : COwnership::Range(first); }
};

// The rows of ids (in that order) of A.
CRankRows RowsOf(const host::CSparseMatrix& A, const std::vector<Id>& ids, bool list)
{
    CRankRows r;
    r.list = list;
    r.first = ids.empty() ? 0 : ids.front();
    for (Id id : ids) r.Add(A, id);
    return r;
}

// 0..N-1 in a fixed pseudo-random order (Fisher-Yates on a 64-bit LCG).
std::vector<Id> Shuffled(Id N)
{
    std::vector<Id> p(static_cast<size_t>(N));
    for (Id k = 0; k < N; ++k) p[static_cast<size_t>(k)] = k;
    std::uint64_t s = 12345;
    for (Id k = N - 1; k > 0; --k) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        std::swap(p[static_cast<size_t>(k)], p[static_cast<size_t>((s >> 33) % static_cast<std::uint64_t>(k + 1))]);
    }
    return p;
}

// This rank's share of order: the rank-th of P nearly equal blocks.
std::vector<Id> Block(const std::vector<Id>& order, int rank, int P)
{
    const size_t N = order.size(), base = N / static_cast<size_t>(P), extra = N % static_cast<size_t>(P);
    const size_t r = static_cast<size_t>(rank);
    const size_t begin = r * base + std::min(r, extra), end = begin + base + (r < extra ? 1 : 0);
    return std::vector<Id>(order.begin() + static_cast<std::ptrdiff_t>(begin),
                           order.begin() + static_cast<std::ptrdiff_t>(end));
}

std::vector<Id> Iota(Id N)
{
    std::vector<Id> v(static_cast<size_t>(N));
    for (Id k = 0; k < N; ++k) v[static_cast<size_t>(k)] = k;
    return v;
}

// The serial front door on the whole matrix with its rows in the order
// given (row k is A's row order[k], each row's entries in A's order, the
// columns renamed to match), from x = 0.
CSolveResult SolveSerial(const host::CSparseMatrix& A, const std::vector<Id>& order, const CSolveOptions& o,
                         const std::vector<double>& b, std::vector<double>& x)
{
    std::vector<std::int32_t> position(order.size()), starts{0}, cols;
    for (size_t k = 0; k < order.size(); ++k) position[static_cast<size_t>(order[k])] = static_cast<std::int32_t>(k);
    std::vector<double> vals, bo;
    for (Id id : order) {
        const int i = static_cast<int>(id) + 1;
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) {
            cols.push_back(position[static_cast<size_t>(A.col[static_cast<size_t>(e)] - 1)]);
            vals.push_back(A.val[static_cast<size_t>(e)]);
        }
        starts.push_back(static_cast<std::int32_t>(cols.size()));
        bo.push_back(b[static_cast<size_t>(id)]);
    }
    CSolver solver(CCsrView{A.nCell, starts.data(), nullptr, cols.data(), vals.data()}, o);
    std::vector<double> xo(order.size(), 0.0);
    const CSolveResult r = solver.Solve(bo.data(), xo.data());
    x.assign(order.size(), 0.0);
    for (size_t k = 0; k < order.size(); ++k) x[static_cast<size_t>(order[k])] = xo[k];
    return r;
}

bool SameResult(const CSolveResult& a, const CSolveResult& b)
{
    return a.status == b.status && a.iterations == b.iterations && BitEqual(a.initialResidual, b.initialResidual) &&
           BitEqual(a.finalResidual, b.finalResidual) && BitEqual(a.relativeResidual, b.relativeResidual) &&
           a.history.size() == b.history.size() &&
           std::equal(a.history.begin(), a.history.end(), b.history.begin(), BitEqual);
}

// Every rank's ids, rank 0's first: the rows of the whole matrix in the
// order the ranks hold them.
std::vector<Id> GlobalOrder(const std::vector<Id>& ids)
{
    const int P = Ranks();
    int mine = static_cast<int>(ids.size());
    std::vector<int> counts(static_cast<size_t>(P)), offsets(static_cast<size_t>(P), 0);
    MPI_Allgather(&mine, 1, MPI_INT, counts.data(), 1, MPI_INT, kWorld);
    for (int q = 1; q < P; ++q)
        offsets[static_cast<size_t>(q)] = offsets[static_cast<size_t>(q) - 1] + counts[static_cast<size_t>(q) - 1];
    std::vector<Id> all(static_cast<size_t>(offsets.back() + counts.back()));
    MPI_Allgatherv(ids.data(), mine, MPI_INT64_T, all.data(), counts.data(), offsets.data(), MPI_INT64_T, kWorld);
    return all;
}

// Solves the rank's rows of A (b = A * ones, x0 = 0) twice with one
// distributed solver and compares with the serial front door on the whole
// matrix, its rows in the order the ranks hold them. The row products then
// are the same bits on both sides and only the global sums differ: the
// serial sums run over all rows in one floating-point chain, the
// distributed ones round the exact sum of the ranks' partial sums (and the
// norms' scaling takes the largest magnitude of all ranks first). On one rank nothing differs, and every bit
// must agree. On more the two runs differ by rounding in the sums' last
// places (about 1e-16 relative per sum), which each iteration carries into
// the next: on these well-conditioned systems the histories then agree to
// a relative 1e-4 at every iteration (by the last iterations, where the
// norm has fallen ten orders, the drift reaches about 1e-6), the statuses
// and iteration counts exactly, and the solutions to 1e-6 absolute (the
// exact solution is 1 everywhere and the solves stop at a relative
// residual of 1e-10; a wrong halo value moves a solution by far more).
// Methods whose iteration counts hang on rounding (BiCGSTAB on pde900 or
// sherman5 wanders by a few iterations with the order of the sums alone)
// are left out: their counts cannot be compared.
void CompareWithSerial(const host::CSparseMatrix& A, const CRankRows& rows, const CSolveOptions& o)
{
    const std::vector<double> ones = RhsForOnes(A);
    const std::vector<double> b(ones.begin() + 1, ones.end());
    std::vector<double> xs;
    const CSolveResult serial = SolveSerial(A, GlobalOrder(rows.ids), o, b, xs);

    std::vector<double> bl, x1, x2;
    for (Id id : rows.ids) bl.push_back(b[static_cast<size_t>(id)]);
    x1.assign(bl.size(), 0.0);
    x2 = x1;
    int monitored = 0;
    CSolveOptions od = o;
    od.monitor = [&monitored](int, double) { ++monitored; };
    CDistributedSolver solver(kWorld, rows.Rows(), rows.Ownership(), od);
    const CSolveResult r1 = solver.Solve(bl.data(), x1.data());
    const CSolveResult r2 = solver.Solve(bl.data(), x2.data());

    std::vector<double> facts = r1.history;
    facts.insert(facts.end(), {r1.initialResidual, r1.finalResidual, r1.relativeResidual,
                               static_cast<double>(r1.iterations), static_cast<double>(r1.status)});
    EXPECT_TRUE(SameBitsOnAllRanks(kWorld, facts));
    EXPECT_TRUE(SameResult(r1, r2));
    EXPECT_TRUE(std::equal(x1.begin(), x1.end(), x2.begin(), x2.end(), BitEqual));
    EXPECT_EQ(monitored, 2 * r1.iterations);

    EXPECT_EQ(std::string(StatusName(serial.status)), StatusName(r1.status));
    EXPECT_EQ(serial.iterations, r1.iterations);
    EXPECT_TRUE(r1.Converged());
    if (Ranks() == 1) {
        EXPECT_TRUE(SameResult(serial, r1));
    }
    ASSERT_EQ(serial.history.size(), r1.history.size());
    for (size_t k = 0; k < r1.history.size(); ++k)
        EXPECT_NEAR(serial.history[k], r1.history[k], (Ranks() == 1 ? 0.0 : 1e-4) * serial.history[k])
            << "iteration " << k + 1;
    const double slack = Ranks() == 1 ? 0.0 : 1e-6;
    double worst = 0.0;
    for (size_t k = 0; k < rows.ids.size(); ++k)
        worst = std::max(worst, std::fabs(x1[k] - xs[static_cast<size_t>(rows.ids[k])]));
    EXPECT_LE(worst, slack) << "largest difference from the serial solution on rank " << Rank();
}

host::CSparseMatrix Pde900()
{
    return host::ReadMatrixMarket(MatrixPath("pde900.mtx"));
}

host::CSparseMatrix Box()
{
    return host::ConvectionDiffusion(host::CBox{9, 7, 6}, host::CConvection{});
}

host::CSparseMatrix PoissonBox()
{
    return host::Poisson(host::CBox{8, 8, 5});
}

host::CSparseMatrix Gr3030()
{
    return host::ReadMatrixMarket(MatrixPath("gr_30_30.mtx"));
}

// With the diagonal preconditioner every method against the serial front
// door on ranges and on scattered ids (CompareWithSerial). ILU(0) factors
// each rank's rows alone (block Jacobi across ranks): on one rank the serial
// front door's bits; on more it converges to the same solution, the same
// bits on every rank, in no more iterations than the diagonal
// preconditioner on the same rows (rows scattered over many ranks leave
// each block little but its diagonal).
TEST(DistributedSolve, MatchesTheSerialFrontDoor)
{
    const int P = Ranks(), rank = Rank();
    const struct {
        const char* name;
        host::CSparseMatrix (*matrix)();
        bool scattered; // ids from a shuffle (lists), else contiguous ranges
        EMethod method;
        EPreconditioner preconditioner;
    } cases[] = {
        {"convection-diffusion box, ranges", Box, false, EMethod::BiCgStab, EPreconditioner::Diagonal},
        {"convection-diffusion box, scattered ids", Box, true, EMethod::BiCgStab, EPreconditioner::Diagonal},
        {"gr_30_30, ranges, cg", Gr3030, false, EMethod::Cg, EPreconditioner::Diagonal},
        {"poisson box, scattered ids, cg", PoissonBox, true, EMethod::Cg, EPreconditioner::Diagonal},
        {"convection-diffusion box, scattered ids, gmres", Box, true, EMethod::Gmres, EPreconditioner::Diagonal},
        {"pde900, ranges, fgmres", Pde900, false, EMethod::Fgmres, EPreconditioner::Diagonal},
        {"convection-diffusion box, scattered ids, ilu0", Box, true, EMethod::BiCgStab, EPreconditioner::Ilu0},
        {"pde900, ranges, ilu0", Pde900, false, EMethod::BiCgStab, EPreconditioner::Ilu0},
        {"poisson box, ranges, cg, ilu0", PoissonBox, false, EMethod::Cg, EPreconditioner::Ilu0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const host::CSparseMatrix A = c.matrix();
        const std::vector<Id> order = c.scattered ? Shuffled(A.nCell) : Iota(A.nCell);
        const CRankRows rows = RowsOf(A, Block(order, rank, P), c.scattered);
        CSolveOptions o;
        o.method = c.method;
        o.preconditioner = c.preconditioner;
        o.rtol = 1e-10;
        o.restart = 8; // restarted several times
        if (c.preconditioner != EPreconditioner::Ilu0) {
            CompareWithSerial(A, rows, o);
            continue;
        }
        const std::vector<double> ones = RhsForOnes(A);
        const std::vector<double> b(ones.begin() + 1, ones.end());
        std::vector<double> xs, bl;
        const CSolveResult serial = SolveSerial(A, GlobalOrder(rows.ids), o, b, xs);
        for (Id id : rows.ids) bl.push_back(b[static_cast<size_t>(id)]);
        std::vector<double> x(bl.size(), 0.0), xd(bl.size(), 0.0);
        const CSolveResult r = CDistributedSolver(kWorld, rows.Rows(), rows.Ownership(), o).Solve(bl.data(), x.data());
        EXPECT_TRUE(r.Converged()) << StatusName(r.status);
        EXPECT_TRUE(SameBitsOnAllRanks(kWorld, r.history));
        if (P == 1) {
            EXPECT_TRUE(SameResult(serial, r));
        }
        o.preconditioner = EPreconditioner::Diagonal;
        const CSolveResult diagonal =
            CDistributedSolver(kWorld, rows.Rows(), rows.Ownership(), o).Solve(bl.data(), xd.data());
        EXPECT_LE(r.iterations, diagonal.iterations) << "serial ILU(0) " << serial.iterations;
        double worst = 0.0;
        for (double v : x) worst = std::max(worst, std::fabs(v - 1.0));
        EXPECT_LE(worst, 1e-5) << "largest error on rank " << rank;
    }
}

// The plan builder against host::Distribute for the same owners: the same
// halo numbering, plan and local rows, which pass the plan check.
TEST(DistributedSolve, BuildsWhatTheReferencePartitionerBuilds)
{
    const int P = Ranks(), rank = Rank();
    struct CCase {
        const char* name;
        host::CSparseMatrix A;
        host::COwners owner;
        bool list;
    };
    const host::CSparseMatrix box = Box(), pde = Pde900();
    host::COwners scattered(static_cast<size_t>(pde.nCell) + 1, 0);
    const std::vector<Id> order = Shuffled(pde.nCell);
    for (int q = 0; q < P; ++q)
        for (Id id : Block(order, q, P)) scattered[static_cast<size_t>(id) + 1] = q;
    const CCase cases[] = {
        {"box, coordinate bisection, lists", box, host::PartitionBox(host::CBox{9, 7, 6}, P), true},
        {"pde900, row blocks, ranges", pde, host::PartitionRows(pde.nCell, P), false},
        {"pde900, scattered owners, lists", pde, scattered, true},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.name);
        const host::CPartition part = host::Distribute(c.A, c.owner, rank, P);
        std::vector<Id> ids;
        for (int l = 1; l <= part.Cells(); ++l) ids.push_back(part.global[static_cast<size_t>(l)] - 1);
        const CRankRows rows = RowsOf(c.A, ids, c.list);
        const CLocalSystem S = BuildLocalSystem(kWorld, rows.Rows(), rows.Ownership());

        ASSERT_EQ(S.plan.nCell, part.plan.nCell);
        ASSERT_EQ(S.plan.nCellTotal, part.plan.nCellTotal);
        ASSERT_EQ(S.plan.neighbours.size(), part.plan.neighbours.size());
        for (size_t k = 0; k < S.plan.neighbours.size(); ++k) {
            EXPECT_EQ(S.plan.neighbours[k].rank, part.plan.neighbours[k].rank);
            EXPECT_EQ(S.plan.neighbours[k].send, part.plan.neighbours[k].send);
            EXPECT_EQ(S.plan.neighbours[k].recv, part.plan.neighbours[k].recv);
        }
        std::vector<Id> expectedIds;
        for (size_t l = 1; l < part.global.size(); ++l) expectedIds.push_back(part.global[l] - 1);
        EXPECT_EQ(S.globalId, expectedIds);
        std::vector<int> cols(S.columns.begin(), S.columns.end()), starts(S.rowStart.begin(), S.rowStart.end());
        for (int& col : cols) ++col;
        EXPECT_EQ(cols, part.A.col);
        EXPECT_EQ(starts, part.A.rowStart);
        EXPECT_EQ(S.values, part.A.val);

        // Equal above, so one check covers both plans.
        EXPECT_EQ(Refusal<std::invalid_argument>([&] { CheckHaloPlan(kWorld, S.plan, S.globalId); }), "accepted");
    }
}

// 1-D chain, row i: diagonal 4, -1 at i+1 and -1 at i-1, except (when
// cutAt > 0) at the first row of each of cutAt row blocks: there the lower
// entry is left out, so rank r reads the first cell of rank r+1 while rank
// r+1 reads nothing of r.
host::CSparseMatrix Chain(int N, int cutAt)
{
    std::vector<bool> first(static_cast<size_t>(N), false);
    for (int q = 0; q < cutAt; ++q) {
        const std::vector<Id> block = Block(Iota(N), q, cutAt);
        if (!block.empty()) first[static_cast<size_t>(block.front())] = true;
    }
    std::vector<std::vector<double>> dense(static_cast<size_t>(N), std::vector<double>(static_cast<size_t>(N), 0.0));
    for (size_t i = 0; i < static_cast<size_t>(N); ++i) {
        dense[i][i] = 4.0;
        if (i > 0 && !first[i]) dense[i][i - 1] = -1.0;
        if (i + 1 < static_cast<size_t>(N)) dense[i][i + 1] = -1.0;
    }
    return FromDense(dense);
}

std::vector<int> NeighbourRanks(const CHaloPlan& plan, bool sends)
{
    std::vector<int> out;
    for (const CHaloNeighbour& nb : plan.neighbours)
        if (!(sends ? nb.send : nb.recv).empty()) out.push_back(nb.rank);
    return out;
}

// Every rank's message, or "accepted"; true on every rank when all are equal.
bool SameOnAllRanks(const std::string& s)
{
    std::vector<double> bytes(s.begin(), s.end());
    return SameBitsOnAllRanks(kWorld, bytes);
}

// Faults and awkward shapes, each on every rank: what every rank must see
// (substrings of the one message all ranks throw, or "accepted").
TEST(DistributedSolve, RefusesBadInputOnEveryRankAndServesAwkwardShapes)
{
    const int P = Ranks(), rank = Rank();
    const host::CSparseMatrix pde = Pde900();
    const host::CPartition part = host::Distribute(pde, host::PartitionRows(pde.nCell, P), rank, P);
    std::vector<Id> partIds;
    for (size_t l = 1; l < part.global.size(); ++l) partIds.push_back(part.global[l] - 1);

    // A plan of a host: rank last's first send list with two entries swapped
    // (or shortened by one); the neighbour then sees its value k at cell recv[k].
    const int last = P - 1;
    const int to = P > 1 ? last - 1 : -1; // in row blocks of pde900 rank last sends to last-1
    auto plan = [&](bool swap) {
        CHaloPlan p = part.plan;
        if (rank == last)
            for (CHaloNeighbour& nb : p.neighbours)
                if (nb.rank == to) {
                    if (swap)
                        std::swap(nb.send[0], nb.send[1]);
                    else
                        nb.send.pop_back();
                }
        return p;
    };
    // The receiver's view: its cell for value 0 from `last`, and the ids it
    // expects (value 0) and receives (what `last` sends as value 1).
    std::string firstWrong;
    if (P > 1) {
        const host::CPartition recv = host::Distribute(pde, host::PartitionRows(pde.nCell, P), to, P);
        const host::CPartition send = host::Distribute(pde, host::PartitionRows(pde.nCell, P), last, P);
        for (const CHaloNeighbour& nb : recv.plan.neighbours)
            if (nb.rank == last) {
                const int cell = nb.recv[0];
                int sentCell = 0;
                for (const CHaloNeighbour& back : send.plan.neighbours)
                    if (back.rank == to) sentCell = back.send[1];
                firstWrong = "rank " + std::to_string(to) + ": halo cell " + std::to_string(cell) +
                             " (value 0 of those from rank " + std::to_string(last) + "): expected global id " +
                             std::to_string(recv.global[static_cast<size_t>(cell)] - 1) + ", received " +
                             std::to_string(send.global[static_cast<size_t>(sentCell)] - 1);
            }
    }

    // Ranges of the chain with the last rank owning nothing.
    const int N = 40;
    const host::CSparseMatrix chain = Chain(N, 0), upper = Chain(N, P);
    auto chainRows = [&](const host::CSparseMatrix& A, int parts) {
        return rank < parts ? RowsOf(A, Block(Iota(N), rank, parts), false) : CRankRows();
    };

    CSolveOptions o;
    o.preconditioner = EPreconditioner::Diagonal;
    o.rtol = 1e-10;

    struct CCase {
        const char* name;
        int minRanks;
        std::function<void()> run;
        std::vector<std::string> expect; // empty: accepted
    };
    const std::string lastRank = "rank " + std::to_string(last) + ": ";
    // The chain's global id of row k of rank q, the entry of the last rank's
    // second diagonal, and the lower of the last two ranks.
    auto idOf = [&](int q, size_t k) { return Block(Iota(N), q, P)[k]; };
    const CRankRows lastRows = RowsOf(chain, Block(Iota(N), last, P), false);
    Id diagonalOfLast = lastRows.start[1];
    while (lastRows.columns[static_cast<size_t>(diagonalOfLast)] != lastRows.ids[1]) ++diagonalOfLast;
    const int lowest = std::max(0, last - 1);
    const std::vector<CCase> cases = {
        {"host plan with two entries swapped", 2, [&] { CheckHaloPlan(kWorld, plan(true), partIds); }, {firstWrong}},
        {"host plan whose counts disagree",
         2,
         [&] { CheckHaloPlan(kWorld, plan(false), partIds); },
         {"rank " + std::to_string(to) + ": rank " + std::to_string(last) + " sends"}},
        {"an empty rank",
         2,
         [&] {
             const CRankRows rows = chainRows(chain, P - 1);
             const int halo = rank == last ? 0 : (rank > 0 ? 1 : 0) + (rank < P - 2 ? 1 : 0);
             EXPECT_EQ(BuildLocalSystem(kWorld, rows.Rows(), rows.Ownership()).plan.nCellTotal,
                       static_cast<int>(rows.ids.size()) + halo);
             CompareWithSerial(chain, rows, o);
         },
         {}},
        {"neighbours on one side only at the ends",
         1,
         [&] {
             const CRankRows rows = chainRows(chain, P);
             const CLocalSystem S = BuildLocalSystem(kWorld, rows.Rows(), rows.Ownership());
             std::vector<int> expected;
             if (rank > 0) expected.push_back(rank - 1);
             if (rank < P - 1) expected.push_back(rank + 1);
             EXPECT_EQ(NeighbourRanks(S.plan, true), expected);
             EXPECT_EQ(NeighbourRanks(S.plan, false), expected);
             CompareWithSerial(chain, rows, o);
         },
         {}},
        {"one-sided halo of an unsymmetric pattern",
         1,
         [&] {
             const CRankRows rows = chainRows(upper, P);
             const CLocalSystem S = BuildLocalSystem(kWorld, rows.Rows(), rows.Ownership());
             EXPECT_EQ(NeighbourRanks(S.plan, false), rank < P - 1 ? std::vector<int>{rank + 1} : std::vector<int>{});
             EXPECT_EQ(NeighbourRanks(S.plan, true), rank > 0 ? std::vector<int>{rank - 1} : std::vector<int>{});
             CheckHaloPlan(kWorld, S.plan, S.globalId);
             CompareWithSerial(upper, rows, o);
         },
         {}},
        {"a column owned by nobody",
         1,
         [&] {
             CRankRows rows = chainRows(chain, P);
             if (rank == last) rows.columns.back() = N + 7; // past every range
             BuildLocalSystem(kWorld, rows.Rows(), rows.Ownership());
         },
         {lastRank, "row " + std::to_string(Block(Iota(N), last, P).size() - 1), "column " + std::to_string(N + 7),
          "owned by no rank"}},
        {"duplicate ids across ranks",
         1,
         [&] {
             CRankRows rows = RowsOf(pde, Block(Shuffled(pde.nCell), rank, P), true);
             if (rank == last) rows.ids[0] = Block(Shuffled(pde.nCell), 0, P)[P > 1 ? 0 : 1];
             BuildLocalSystem(kWorld, rows.Rows(), rows.Ownership());
         },
         {P > 1 ? "owned twice" : "are both global id",
          "global id " + std::to_string(Block(Shuffled(pde.nCell), 0, P)[P > 1 ? 0 : 1])}},
        {"overlapping ranges",
         2,
         [&] {
             CRankRows rows = chainRows(chain, P);
             if (rank == last) rows.first -= 1;
             BuildLocalSystem(kWorld, rows.Rows(), rows.Ownership());
         },
         {"rank " + std::to_string(last - 1), "rank " + std::to_string(last), "overlap"}},
        {"a negative id",
         1,
         [&] {
             CRankRows rows = RowsOf(pde, Block(Shuffled(pde.nCell), rank, P), true);
             if (rank == last) rows.ids[2] = -5;
             BuildLocalSystem(kWorld, rows.Rows(), rows.Ownership());
         },
         {lastRank, "row 2", "-5"}},
        {"null columns with entries",
         1,
         [&] {
             const CRankRows rows = chainRows(chain, P);
             CGlobalRows view = rows.Rows();
             if (rank == last) view.columns = nullptr;
             BuildLocalSystem(kWorld, view, rows.Ownership());
         },
         {lastRank, "null"}},
        // The solver's refusals: the lowest refusing rank's words on every
        // rank, its row and the row's global id, the entry in its arrays.
        {"a zero diagonal",
         1,
         [&] {
             CRankRows rows = chainRows(chain, P);
             if (rank == last) rows.values[static_cast<size_t>(diagonalOfLast)] = 0.0;
             CDistributedSolver(kWorld, rows.Rows(), rows.Ownership(), o);
         },
         {lastRank + "qvl3d::CSolver: row 1 (global id " + std::to_string(idOf(last, 1)) + "), entry " +
          std::to_string(diagonalOfLast) + ": the diagonal is 0"}},
        {"values that are not finite on the last two ranks, given to Update",
         1,
         [&] {
             CRankRows rows = chainRows(chain, P);
             CDistributedSolver solver(kWorld, rows.Rows(), rows.Ownership(), o);
             if (rank >= lowest) rows.values[static_cast<size_t>(rows.start[1])] = NAN;
             solver.Update(rows.values.data());
         },
         {"rank " + std::to_string(lowest) + ": qvl3d::CSolver::Update: row 1 (global id " +
          std::to_string(idOf(lowest, 1)) + "), entry " +
          std::to_string(RowsOf(chain, Block(Iota(N), lowest, P), false).start[1]) + ": value nan is not finite"}},
        {"b and x that are not finite",
         1,
         [&] {
             const CRankRows rows = chainRows(chain, P);
             CDistributedSolver solver(kWorld, rows.Rows(), rows.Ownership(), o);
             std::vector<double> b(rows.ids.size(), 1.0), x(rows.ids.size(), 0.0);
             if (rank == last) x[0] = INFINITY;
             const std::string xFault = Refusal<std::invalid_argument>([&] { solver.Solve(b.data(), x.data()); });
             EXPECT_TRUE(SameOnAllRanks(xFault)) << xFault;
             EXPECT_NE(xFault.find(lastRank + "qvl3d::CSolver::Solve: x[0] (global id " +
                                   std::to_string(idOf(last, 0)) + ") (the initial guess) is inf"),
                       std::string::npos)
                 << xFault;
             x[0] = 0.0;
             if (rank == last) b[1] = NAN;
             solver.Solve(b.data(), x.data());
         },
         {lastRank + "qvl3d::CSolver::Solve: b[1] (global id " + std::to_string(idOf(last, 1)) +
          ") is nan, not a finite number"}},
        // Once a hang: the ranks' iterations and sums no longer matched. Every
        // option goes through one comparison; maxIter stands for them.
        {"an iteration limit that differs between ranks",
         2,
         [&] {
             CSolveOptions mine = o;
             if (rank == last) mine.maxIter = 7;
             const CRankRows rows = chainRows(chain, P);
             CDistributedSolver(kWorld, rows.Rows(), rows.Ownership(), mine);
         },
         {"qvl3d::CSolver: the partitions were given different options: maxIter differs"}},
    };
    for (const CCase& c : cases) {
        if (P < c.minRanks) continue;
        SCOPED_TRACE(c.name);
        const std::string got = Refusal<std::invalid_argument>(c.run);
        if (c.expect.empty()) {
            EXPECT_EQ(got, "accepted");
            continue;
        }
        EXPECT_TRUE(SameOnAllRanks(got)) << got;
        for (const std::string& part : c.expect) EXPECT_NE(got.find(part), std::string::npos) << got;
    }
}

// A monitor that throws on one rank ends the solve on every rank after that
// iteration (once the others waited for it for ever): that rank gets its
// exception, the others a note, and x stays as it was everywhere.
TEST(DistributedSolve, AMonitorThatThrowsOnOneRankEndsTheSolveOnAll)
{
    const int P = Ranks(), rank = Rank();
    const host::CSparseMatrix pde = Pde900();
    const CRankRows rows = RowsOf(pde, Block(Iota(pde.nCell), rank, P), false);
    CSolveOptions o;
    o.monitor = [&](int k, double) {
        if (rank == P - 1 && k == 2) throw std::runtime_error("the monitor's own");
    };
    CDistributedSolver solver(kWorld, rows.Rows(), rows.Ownership(), o);
    const std::vector<double> b(rows.ids.size(), 1.0);
    std::vector<double> x(rows.ids.size(), 0.25);
    std::string got;
    try {
        solver.Solve(b.data(), x.data());
    } catch (const std::runtime_error& e) {
        got = e.what();
    }
    EXPECT_EQ(got,
              rank == P - 1 ? "the monitor's own" : "qvl3d::CSolver::Solve: the monitor threw on another partition");
    EXPECT_EQ(x, std::vector<double>(x.size(), 0.25));
}

} // namespace
