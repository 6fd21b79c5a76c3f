// The MPI transports on their own: correctly rounded global sums that every
// rank agrees on whatever the order of the ranks, halo exchange by plan,
// checks of the plan, and sub-communicators.
#include "MpiSupport.h"
#include "SumOracle.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::test;

namespace {

std::vector<double> AllPartials(MPI_Comm comm, double local)
{
    std::vector<double> all(static_cast<size_t>(Ranks(comm)));
    MPI_Allgather(&local, 1, MPI_DOUBLE, all.data(), 1, MPI_DOUBLE, comm);
    return all;
}

// Partial sums of one rank: each kind draws from a generator seeded by the
// round and the rank, or by the round alone for what all ranks share.
double RandomPartial(int kind, int round, int rank, int nRanks)
{
    std::mt19937_64 own(static_cast<uint64_t>(1000 * round + rank)), shared(static_cast<uint64_t>(round));
    const auto mantissa = [](std::mt19937_64& g) { return 1.0 + static_cast<double>(g() >> 11) * 0x1p-53; };
    const double sign = (own() & 1) ? -1.0 : 1.0;
    switch (kind) {
    case 0: // any exponent, subnormals included
        return sign * std::ldexp(mantissa(own), -1074 + static_cast<int>(own() % 2098));
    case 1: { // a large value shared by pairs of ranks, cancelling, and bits far below it
        const double big = std::ldexp(mantissa(shared), 1000);
        const double partial = rank % 2 == 0 ? big : -big + std::ldexp(static_cast<double>(rank), 950);
        return rank == nRanks - 1 && rank % 2 == 0 ? std::ldexp(sign, -1000) : partial;
    }
    case 2: // one 1 and halves of its last bit: ties of the rounding
        return rank == 0 ? 1.0 + (round % 2) * 0x1p-52 : sign * 0x1p-53;
    default: // near the top: overflows or comes back below the largest double
        return sign * std::ldexp(mantissa(own), 1022);
    }
}

// Owned cells hold their global number + 0.5, halo cells NaN.
std::vector<double> Tagged(const host::CPartition& p)
{
    std::vector<double> v(p.global.size(), std::numeric_limits<double>::quiet_NaN());
    for (int l = 1; l <= p.Cells(); ++l) v[static_cast<size_t>(l)] = p.global[static_cast<size_t>(l)] + 0.5;
    return v;
}

int HaloErrors(const host::CPartition& p, const std::vector<double>& v)
{
    int bad = 0;
    for (size_t l = 1; l < p.global.size(); ++l) bad += v[l] != p.global[l] + 0.5;
    return bad;
}

} // namespace

TEST(MpiSum, RandomPartialsGiveTheReferenceSumWhateverTheRankOrder)
{
    // The same partial sums on the world (through CQVLCom's AllSum) and on a
    // communicator with the ranks reversed, through the transport (gathering,
    // and reducing the accumulators as beyond kGatherRanks ranks) and the
    // free function.
    MPI_Comm reversed;
    MPI_Comm_split(MPI_COMM_WORLD, 0, Ranks() - Rank(), &reversed);
    const char* kinds[] = {"any exponent", "cancelling pairs", "ties", "near overflow"};
    {
        auto world = std::make_shared<CMpiSumTransport>(MPI_COMM_WORLD);
        CQVLCom com(world);
        CMpiSumTransport back(reversed), reduced(MPI_COMM_WORLD, 1), backReduced(reversed, 1);
        for (int kind = 0; kind < 4; ++kind)
            for (int round = 0; round < 25; ++round) {
                double local = RandomPartial(kind, round, Rank(), Ranks());
                const double s = com.AllSum(local);
                EXPECT_TRUE(BitEqual(local, RandomPartial(kind, round, Rank(), Ranks()))); // taken by reference, kept
                const double r = back.Sum(local);
                const double f = ExactSum(reversed, local);
                const double a = reduced.Sum(local), ar = backReduced.Sum(local);
                const double expected = OracleSum(AllPartials(MPI_COMM_WORLD, local));
                const bool agreed = SameBitsOnAllRanks(MPI_COMM_WORLD, s);
                EXPECT_TRUE(agreed && BitEqual(s, expected) && BitEqual(r, s) && BitEqual(f, s) && BitEqual(a, s) &&
                            BitEqual(ar, s))
                    << kinds[kind] << ", round " << round << ", rank " << Rank() << ": world " << s << ", reversed "
                    << r << ", free function " << f << ", all-reduce " << a << " and " << ar << ", reference "
                    << expected << (agreed ? "" : ", ranks differ");
            }
        EXPECT_EQ(world->Stats().calls, 100);
    }
    MPI_Comm_free(&reversed);
}

// A vector of partials (random ones of every kind, values that are not
// finite, signed zeros, overflow and its cancellation) summed in one call
// gives, value by value, the bits of the scalar sum, gathering and reducing
// alike, through CQVLCom too; and one call is one collective. The scalar
// sums of both kinds, and the free function's, are the reference's bits
// (any NaN for a NaN) on every rank.
TEST(MpiSum, AVectorOfPartialsGivesTheScalarSumsInOneCollective)
{
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    // The partial of the last rank, else of rank 0, else of the others.
    const auto partial = [](double first, double last, double others) {
        return Rank() == Ranks() - 1 ? last : Rank() == 0 ? first : others;
    };
    const std::vector<double> special = {
        partial(1.0, nan, 2.0),             // NaN on the last rank
        partial(inf, -inf, 1.0),            // +inf and -inf
        partial(1e308, inf, 1e308),         // +inf alone
        partial(-inf, -1.0, -inf),          // -inf alone
        partial(-0.0, -0.0, -0.0),          // all -0.0
        partial(-0.0, 0.0, -0.0),           // one +0.0 among -0.0
        partial(DBL_MAX, DBL_MAX, DBL_MAX), // the largest doubles overflow
        partial(DBL_MAX, -DBL_MAX, 0.0),    // and cancel
    };
    std::vector<double> local;
    for (int kind = 0; kind < 4; ++kind)
        for (int round = 0; round < 25; ++round) local.push_back(RandomPartial(kind, round, Rank(), Ranks()));
    local.insert(local.end(), special.begin(), special.end());
    auto gathering = std::make_shared<CMpiSumTransport>(MPI_COMM_WORLD);
    CMpiSumTransport reducing(MPI_COMM_WORLD, 1);
    const auto same = [](double a, double b) { return std::isnan(a) ? std::isnan(b) : BitEqual(a, b); };
    std::vector<double> scalar;
    for (double v : local) {
        scalar.push_back(reducing.Sum(v));
        const double expected = OracleSum(AllPartials(MPI_COMM_WORLD, v)), f = ExactSum(MPI_COMM_WORLD, v);
        const double gathered = gathering->Sum(v);
        EXPECT_TRUE(same(expected, scalar.back()) && same(expected, f) && same(expected, gathered) &&
                    SameBitsOnAllRanks(MPI_COMM_WORLD, std::isnan(f) ? 0.0 : f))
            << "value " << scalar.size() - 1 << " on rank " << Rank() << ": " << scalar.back() << ", " << gathered
            << " and " << f << ", reference " << expected;
    }
    const int tail = static_cast<int>(special.size());
    const long long before = gathering->Stats().calls + reducing.Stats().calls;
    std::vector<double> g = local, r = local, c = local;
    gathering->SumEach(g.data(), static_cast<int>(g.size()));
    reducing.SumEach(r.data(), static_cast<int>(r.size()) - tail); // the leading values only: the rest keep their own
    reducing.SumEach(r.data() + r.size() - tail, tail);
    CQVLCom(gathering).AllSum(c.data(), static_cast<int>(c.size()));
    EXPECT_EQ(gathering->Stats().calls + reducing.Stats().calls - before, 4);
    for (size_t k = 0; k < local.size(); ++k)
        EXPECT_TRUE(same(g[k], scalar[k]) && same(r[k], scalar[k]) && same(c[k], scalar[k]))
            << "value " << k << " on rank " << Rank() << ": gathered " << g[k] << ", reduced " << r[k] << ", " << c[k]
            << " through CQVLCom, scalar " << scalar[k];
    EXPECT_TRUE(SameBitsOnAllRanks(MPI_COMM_WORLD, g[0]));
}

TEST(MpiSum, OneRankGetsItsOwnBits)
{
    CMpiSumTransport self(MPI_COMM_SELF);
    EXPECT_EQ(self.Sum(-0.0), 0.0);
    EXPECT_TRUE(std::signbit(self.Sum(-0.0))); // not 0.0 + (-0.0)
    EXPECT_EQ(self.Sum(0.1), 0.1);
    const double payload = -std::nan("0x5a5"); // a NaN with a sign and a payload, kept as it is
    const double back = self.Sum(payload), alone = ExactSum(MPI_COMM_SELF, payload);
    EXPECT_TRUE(BitEqual(back, payload));
    EXPECT_TRUE(BitEqual(alone, payload));

    EXPECT_THROW(ExactSum(MPI_COMM_NULL, 1.0), std::invalid_argument);
}

TEST(MpiHalo, BlockingAndSplitExchangesFillTheHaloFromTheOwners)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{5, 4, 3});
    for (const host::COwners& owner :
         {host::PartitionBox(host::CBox{5, 4, 3}, Ranks()), host::PartitionGraph(A, Ranks())}) {
        const host::CPartition p = host::Distribute(A, owner, Rank(), Ranks());
        CCommunication commu(std::make_shared<CMpiHaloTransport>(MPI_COMM_WORLD, p.plan));
        std::vector<double> v = Tagged(p), w = Tagged(p);
        commu.DDM_Exch(v.data());
        EXPECT_EQ(HaloErrors(p, v), 0) << "blocking, rank " << Rank();
        commu.DDM_IExch_Start(w.data(), QVLNonBlockingBuffer0);
        for (int l = 1; l <= p.Cells(); ++l) w[static_cast<size_t>(l)] = -1.0; // owned values were packed by Start
        commu.DDM_IExch_Wait(w.data(), QVLNonBlockingBuffer0);
        for (int l = 1; l <= p.Cells(); ++l) w[static_cast<size_t>(l)] = p.global[static_cast<size_t>(l)] + 0.5;
        EXPECT_EQ(HaloErrors(p, w), 0) << "start/wait, rank " << Rank();
    }
}

TEST(MpiHalo, BufferedBlocksAndTwoExchangesInFlight)
{
    // Reversing both sides of every pair keeps the plans matched but makes
    // the halo blocks non-contiguous: they go through the receive buffers.
    const host::CSparseMatrix A = host::Poisson(host::CBox{4, 4, 4});
    host::CPartition p = host::Distribute(A, host::PartitionGraph(A, Ranks()), Rank(), Ranks());
    for (CHaloNeighbour& nb : p.plan.neighbours) {
        std::reverse(nb.send.begin(), nb.send.end());
        std::reverse(nb.recv.begin(), nb.recv.end());
    }
    auto transport = std::make_shared<CMpiHaloTransport>(MPI_COMM_WORLD, p.plan);
    std::vector<double> v = Tagged(p), w = Tagged(p);
    transport->Start(v.data(), QVLNonBlockingBuffer0);
    transport->Start(w.data(), static_cast<QVLNonBlockingBufferId>(1));
    transport->Wait(w.data(), static_cast<QVLNonBlockingBufferId>(1));
    transport->Wait(v.data(), QVLNonBlockingBuffer0);
    EXPECT_EQ(HaloErrors(p, v), 0);
    EXPECT_EQ(HaloErrors(p, w), 0);
    EXPECT_EQ(transport->Stats().calls, 2);

    // Misuse is refused locally, before anything is sent.
    EXPECT_THROW(transport->Wait(v.data(), QVLNonBlockingBuffer0), std::logic_error);
    EXPECT_THROW(transport->Start(v.data(), static_cast<QVLNonBlockingBufferId>(CMpiHaloTransport::kBufferIds)),
                 std::logic_error);
}

TEST(MpiHalo, AWrongPlanOnOneRankIsRejectedOnEveryRank)
{
    const host::CSparseMatrix A = host::Poisson(host::CBox{3, 3, 4});
    const host::CPartition p = host::Distribute(A, host::PartitionBox(host::CBox{3, 3, 4}, Ranks()), Rank(), Ranks());
    const int last = Ranks() - 1;

    // Local faults: a cell outside the partition, a rank outside the communicator.
    CHaloPlan bad = p.plan;
    if (Rank() == last) bad.neighbours.push_back(CHaloNeighbour{Ranks(), {}, {}});
    EXPECT_THROW(CMpiHaloTransport(MPI_COMM_WORLD, bad), std::invalid_argument);
    bad = p.plan;
    if (Rank() == 0) {
        if (bad.neighbours.empty()) bad.neighbours.push_back(CHaloNeighbour{last, {}, {}});
        bad.neighbours[0].send.push_back(p.Cells() + 1);
    }
    try {
        CMpiHaloTransport t(MPI_COMM_WORLD, bad);
        ADD_FAILURE() << "accepted on rank " << Rank();
    } catch (const std::invalid_argument& e) {
        const std::string what = e.what();
        if (Rank() == 0)
            EXPECT_NE(what.find("not an owned cell"), std::string::npos) << what;
        else
            EXPECT_NE(what.find("rank 0"), std::string::npos) << what;
    }

    // A fault only the pair can see: one more value sent than the neighbour expects.
    if (Ranks() > 1) {
        bad = p.plan;
        if (Rank() == 0 && !bad.neighbours.empty()) bad.neighbours[0].send.push_back(1);
        EXPECT_THROW(CMpiHaloTransport(MPI_COMM_WORLD, bad), std::invalid_argument);
    }
    // The good plan still works afterwards: the failed attempts left nothing in flight.
    CMpiHaloTransport good(MPI_COMM_WORLD, p.plan);
    std::vector<double> v = Tagged(p);
    good.Exchange(v.data());
    EXPECT_EQ(HaloErrors(p, v), 0);
}

TEST(MpiHalo, SubCommunicatorsExchangeAndSumIndependently)
{
    // Even and odd ranks each exchange on their own box and sum their own
    // ranks; one group never hears from the other.
    MPI_Comm half;
    MPI_Comm_split(MPI_COMM_WORLD, Rank() % 2, Rank(), &half);
    const host::CBox box{3 + Rank() % 2, 3, 3};
    const host::CSparseMatrix A = host::Poisson(box);
    int bad = -1;
    double s = -1.0;
    {
        const host::CPartition p = host::Distribute(A, host::PartitionBox(box, Ranks(half)), Rank(half), Ranks(half));
        CMpiHaloTransport t(half, p.plan);
        std::vector<double> v = Tagged(p);
        t.Exchange(v.data());
        bad = HaloErrors(p, v);
        s = CMpiSumTransport(half).Sum(static_cast<double>(Rank()));
    }
    MPI_Comm_free(&half);
    EXPECT_EQ(bad, 0);
    double expected = 0.0;
    for (int r = Rank() % 2; r < Ranks(); r += 2) expected += r;
    EXPECT_EQ(s, expected);
}
