// The MPI transports on their own: global sums that every rank agrees on,
// halo exchange by plan, checks of the plan, and sub-communicators.
#include "MpiSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

using namespace qvl3d;
using namespace qvl3d::test;

namespace {

// Partial sums whose total depends on the order of the additions: 1e16 + 1
// rounds back to 1e16, so where the ones meet the large terms matters.
double Partial(int rank)
{
    const double terms[] = {1e16, 1.0, -1e16, 1.0, 3.0, 1.0};
    return terms[rank % 6] * (1.0 + (rank / 6));
}

double RankOrderSum(int nRanks)
{
    double s = Partial(0);
    for (int r = 1; r < nRanks; ++r) s = s + Partial(r);
    return s;
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

TEST(MpiSum, SameBitsOnEveryRankAddedInRankOrder)
{
    CMpiSumTransport sum(MPI_COMM_WORLD);
    CQVLCom com(std::shared_ptr<CSumTransport>(&sum, [](CSumTransport*) {}));
    double local = Partial(Rank());
    const double first = com.AllSum(local);
    const double again = com.AllSum(local);
    EXPECT_TRUE(SameBitsOnAllRanks(MPI_COMM_WORLD, first));
    EXPECT_EQ(std::memcmp(&first, &again, sizeof(double)), 0);
    const double expected = RankOrderSum(Ranks());
    EXPECT_EQ(std::memcmp(&first, &expected, sizeof(double)), 0) << first << " vs " << expected;
    EXPECT_EQ(local, Partial(Rank())); // the argument is left alone
    EXPECT_EQ(sum.Stats().calls, 2);
}

TEST(MpiSum, OneRankGetsItsOwnBitsAndANaNReachesEveryRank)
{
    CMpiSumTransport self(MPI_COMM_SELF);
    EXPECT_EQ(self.Sum(-0.0), 0.0);
    EXPECT_TRUE(std::signbit(self.Sum(-0.0))); // not 0.0 + (-0.0)
    EXPECT_EQ(self.Sum(0.1), 0.1);

    CMpiSumTransport world(MPI_COMM_WORLD);
    const double s = world.Sum(Rank() == Ranks() - 1 ? std::nan("") : 1.0);
    EXPECT_TRUE(std::isnan(s));
}

TEST(MpiSum, WorksOnASubCommunicator)
{
    MPI_Comm half;
    MPI_Comm_split(MPI_COMM_WORLD, Rank() % 2, Rank(), &half);
    double s;
    {
        CMpiSumTransport sum(half);
        s = sum.Sum(static_cast<double>(Rank()));
    }
    MPI_Comm_free(&half);
    double expected = 0.0;
    for (int r = Rank() % 2; r < Ranks(); r += 2) expected += r;
    EXPECT_EQ(s, expected);
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

TEST(MpiHalo, SubCommunicatorsExchangeIndependently)
{
    // Even and odd ranks each solve their own box; the partitions of one
    // group never hear from the other group.
    MPI_Comm half;
    MPI_Comm_split(MPI_COMM_WORLD, Rank() % 2, Rank(), &half);
    const host::CBox box{3 + Rank() % 2, 3, 3};
    const host::CSparseMatrix A = host::Poisson(box);
    int bad = -1;
    {
        const host::CPartition p = host::Distribute(A, host::PartitionBox(box, Ranks(half)), Rank(half), Ranks(half));
        CMpiHaloTransport t(half, p.plan);
        std::vector<double> v = Tagged(p);
        t.Exchange(v.data());
        bad = HaloErrors(p, v);
    }
    MPI_Comm_free(&half);
    EXPECT_EQ(bad, 0);
}
