#include <qvl3d/MpiTransport.h>

#include "ExactSum.h"
#include "PlanCheck.h"

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

bool Finalized()
{
    int finalized = 0;
    MPI_Finalized(&finalized);
    return finalized != 0;
}

MPI_Comm Duplicate(MPI_Comm comm, const char* who)
{
    if (comm == MPI_COMM_NULL) throw std::invalid_argument(std::string(who) + ": the communicator is MPI_COMM_NULL");
    MPI_Comm dup = MPI_COMM_NULL;
    MPI_Comm_dup(comm, &dup);
    return dup;
}

// The correctly rounded sum of local over comm's nRanks ranks. With a
// buffer, the partial sums are gathered into partials (nRanks of them) and
// accumulated in rank order; without, the accumulators' words are added in
// one integer all-reduce. The accumulator's words, and so the
// rounded result, do not depend on the order of the terms: both ways give
// the same bits.
double ReduceExact(MPI_Comm comm, int nRanks, double local, double* partials)
{
    qvl3d::CExactSum acc;
    if (partials) {
        MPI_Allgather(&local, 1, MPI_DOUBLE, partials, 1, MPI_DOUBLE, comm);
        for (int r = 0; r < nRanks; ++r) acc.Add(partials[r]);
    } else {
        acc.Add(local);
        MPI_Allreduce(MPI_IN_PLACE, acc.Words(), qvl3d::CExactSum::kWords, MPI_INT64_T, MPI_SUM, comm);
    }
    return acc.Round();
}

// ReduceExact for count values at once, in one collective: each value's
// accumulator takes its partial sums as ReduceExact's does (gathered into
// gathered, nRanks * count of them, and added in rank order; or its words
// in words, count * kWords of them, added in the one all-reduce), so that
// each result is the bits of ReduceExact on that value alone.
void ReduceExactEach(MPI_Comm comm, int nRanks, double* values, int count, double* gathered, std::int64_t* words)
{
    using qvl3d::CExactSum;
    CExactSum acc;
    if (gathered) {
        MPI_Allgather(values, count, MPI_DOUBLE, gathered, count, MPI_DOUBLE, comm);
        for (int k = 0; k < count; ++k) {
            acc.Clear();
            for (int r = 0; r < nRanks; ++r) acc.Add(gathered[static_cast<size_t>(r) * count + k]);
            values[k] = acc.Round();
        }
        return;
    }
    for (int k = 0; k < count; ++k) {
        acc.Clear();
        acc.Add(values[k]);
        std::copy(acc.Words(), acc.Words() + CExactSum::kWords, words + static_cast<size_t>(k) * CExactSum::kWords);
    }
    MPI_Allreduce(MPI_IN_PLACE, words, count * CExactSum::kWords, MPI_INT64_T, MPI_SUM, comm);
    for (int k = 0; k < count; ++k) {
        acc.Clear();
        const std::int64_t* w = words + static_cast<size_t>(k) * CExactSum::kWords;
        std::copy(w, w + CExactSum::kWords, acc.Words());
        values[k] = acc.Round();
    }
}

void FreeComm(MPI_Comm& comm)
{
    if (comm != MPI_COMM_NULL && !Finalized()) MPI_Comm_free(&comm);
    comm = MPI_COMM_NULL;
}

} // namespace

std::string qvl3d::detail::HaloPlanFault(const CHaloPlan& plan, int nRanks)
{
    const int n = plan.nCell, nTotal = plan.nCellTotal;
    if (n < 0 || nTotal < n)
        return "cell counts nCell=" + std::to_string(n) + ", nCellTotal=" + std::to_string(nTotal) +
               " are inconsistent";
    std::vector<char> rankSeen(static_cast<size_t>(nRanks), 0);
    std::vector<char> haloFilled(static_cast<size_t>(nTotal - n), 0);
    for (const CHaloNeighbour& nb : plan.neighbours) {
        const std::string who = "neighbour rank " + std::to_string(nb.rank);
        if (nb.rank < 0 || nb.rank >= nRanks)
            return who + " is outside the communicator (size " + std::to_string(nRanks) + ")";
        if (rankSeen[static_cast<size_t>(nb.rank)]++) return who + " is listed twice";
        for (int c : nb.send)
            if (c < 1 || c > n)
                return who + ": send cell " + std::to_string(c) + " is not an owned cell (1.." + std::to_string(n) +
                       ")";
        for (int c : nb.recv) {
            if (c <= n || c > nTotal)
                return who + ": receive cell " + std::to_string(c) + " is not a halo cell (" + std::to_string(n + 1) +
                       ".." + std::to_string(nTotal) + ")";
            if (haloFilled[static_cast<size_t>(c - n - 1)]++)
                return who + ": halo cell " + std::to_string(c) + " is filled by more than one neighbour";
        }
    }
    return std::string();
}

// Buffers and requests of one exchange in flight: requests [0, nRecv) are
// the receives, the rest the sends, one per neighbour each.
struct CMpiHaloTransport::CSlot {
    std::vector<std::vector<double>> recvBuf; // empty where received in place
    std::vector<std::vector<double>> sendBuf;
    std::vector<MPI_Request> requests;
    double* v = nullptr; // the vector in flight
    bool busy = false;
    int tag = 0;
};

CMpiHaloTransport::CMpiHaloTransport(MPI_Comm comm, CHaloPlan plan) : m_plan(std::move(plan))
{
    m_comm = Duplicate(comm, "halo transport");
    int rank = 0, nRanks = 1;
    MPI_Comm_rank(m_comm, &rank);
    MPI_Comm_size(m_comm, &nRanks);

    // Own plan first, then whether each pair agrees on what it exchanges.
    std::string fault = qvl3d::detail::HaloPlanFault(m_plan, nRanks);
    if (fault.empty()) {
        std::vector<int> sendCount(static_cast<size_t>(nRanks), 0), recvCount(static_cast<size_t>(nRanks), 0);
        for (const CHaloNeighbour& nb : m_plan.neighbours) {
            sendCount[static_cast<size_t>(nb.rank)] = static_cast<int>(nb.send.size());
            recvCount[static_cast<size_t>(nb.rank)] = static_cast<int>(nb.recv.size());
        }
        std::vector<int> theySend(static_cast<size_t>(nRanks), 0);
        MPI_Alltoall(sendCount.data(), 1, MPI_INT, theySend.data(), 1, MPI_INT, m_comm);
        for (int q = 0; q < nRanks && fault.empty(); ++q)
            if (theySend[static_cast<size_t>(q)] != recvCount[static_cast<size_t>(q)])
                fault = "rank " + std::to_string(q) + " sends " + std::to_string(theySend[static_cast<size_t>(q)]) +
                        " values but this plan receives " + std::to_string(recvCount[static_cast<size_t>(q)]) +
                        " from it";
    } else {
        // Keep the collective sequence of the good ranks.
        std::vector<int> zeros(static_cast<size_t>(nRanks), 0), ignored(static_cast<size_t>(nRanks), 0);
        MPI_Alltoall(zeros.data(), 1, MPI_INT, ignored.data(), 1, MPI_INT, m_comm);
    }
    int firstBad = fault.empty() ? nRanks : rank;
    MPI_Allreduce(MPI_IN_PLACE, &firstBad, 1, MPI_INT, MPI_MIN, m_comm);
    if (firstBad < nRanks) {
        FreeComm(m_comm);
        if (!fault.empty()) throw std::invalid_argument("halo plan of rank " + std::to_string(rank) + ": " + fault);
        throw std::invalid_argument("halo plan rejected: the plan of rank " + std::to_string(firstBad) + " is wrong");
    }

    const size_t nNeighbours = m_plan.neighbours.size();
    m_recvDirect.resize(nNeighbours);
    for (size_t k = 0; k < nNeighbours; ++k) {
        const std::vector<int>& recv = m_plan.neighbours[k].recv;
        bool contiguous = true;
        for (size_t e = 1; e < recv.size() && contiguous; ++e) contiguous = recv[e] == recv[0] + static_cast<int>(e);
        m_recvDirect[k] = contiguous;
    }
    m_slots.resize(1 + kBufferIds);
}

CMpiHaloTransport::~CMpiHaloTransport()
{
    if (!Finalized())
        for (auto& slot : m_slots)
            if (slot && slot->busy)
                MPI_Waitall(static_cast<int>(slot->requests.size()), slot->requests.data(), MPI_STATUSES_IGNORE);
    FreeComm(m_comm);
}

CMpiHaloTransport::CSlot& CMpiHaloTransport::SlotOf(QVLNonBlockingBufferId id)
{
    const int k = static_cast<int>(id);
    if (k < 0 || k >= kBufferIds)
        throw std::logic_error("halo exchange: buffer id " + std::to_string(k) + " outside 0.." +
                               std::to_string(kBufferIds - 1));
    std::unique_ptr<CSlot>& slot = m_slots[static_cast<size_t>(1 + k)];
    if (!slot) {
        slot = std::make_unique<CSlot>();
        slot->tag = 1 + k;
    }
    return *slot;
}

void CMpiHaloTransport::Post(CSlot& slot, double* v)
{
    const size_t nNeighbours = m_plan.neighbours.size();
    if (slot.requests.empty() && nNeighbours > 0) { // first use: buffers sized once
        slot.recvBuf.resize(nNeighbours);
        slot.sendBuf.resize(nNeighbours);
        for (size_t k = 0; k < nNeighbours; ++k) {
            const CHaloNeighbour& nb = m_plan.neighbours[k];
            if (!m_recvDirect[k]) slot.recvBuf[k].resize(nb.recv.size());
            slot.sendBuf[k].resize(nb.send.size());
        }
        slot.requests.resize(2 * nNeighbours);
    }
    for (size_t k = 0; k < nNeighbours; ++k) {
        const CHaloNeighbour& nb = m_plan.neighbours[k];
        const int count = static_cast<int>(nb.recv.size());
        double* into = m_recvDirect[k] ? (count > 0 ? v + nb.recv[0] : v) : slot.recvBuf[k].data();
        MPI_Irecv(into, count, MPI_DOUBLE, nb.rank, slot.tag, m_comm, &slot.requests[k]);
    }
    for (size_t k = 0; k < nNeighbours; ++k) {
        const CHaloNeighbour& nb = m_plan.neighbours[k];
        double* buf = slot.sendBuf[k].data();
        const size_t count = nb.send.size();
        for (size_t e = 0; e < count; ++e) buf[e] = v[nb.send[e]];
        MPI_Isend(buf, static_cast<int>(count), MPI_DOUBLE, nb.rank, slot.tag, m_comm, &slot.requests[nNeighbours + k]);
    }
    slot.v = v;
    slot.busy = true;
}

void CMpiHaloTransport::Complete(CSlot& slot)
{
    const size_t nNeighbours = m_plan.neighbours.size();
    MPI_Waitall(static_cast<int>(slot.requests.size()), slot.requests.data(), MPI_STATUSES_IGNORE);
    double* v = slot.v;
    for (size_t k = 0; k < nNeighbours; ++k) {
        if (m_recvDirect[k]) continue;
        const std::vector<int>& recv = m_plan.neighbours[k].recv;
        const double* buf = slot.recvBuf[k].data();
        for (size_t e = 0; e < recv.size(); ++e) v[recv[e]] = buf[e];
    }
    slot.busy = false;
}

void CMpiHaloTransport::Exchange(double* v)
{
    const double t0 = MPI_Wtime();
    if (!m_slots[0]) m_slots[0] = std::make_unique<CSlot>(); // tag 0
    Post(*m_slots[0], v);
    Complete(*m_slots[0]);
    m_stats.calls += 1;
    m_stats.seconds += MPI_Wtime() - t0;
}

void CMpiHaloTransport::Start(double* v, QVLNonBlockingBufferId id)
{
    const double t0 = MPI_Wtime();
    CSlot& slot = SlotOf(id);
    if (slot.busy)
        throw std::logic_error("halo exchange: buffer id " + std::to_string(static_cast<int>(id)) +
                               " started again before its wait");
    Post(slot, v);
    m_stats.seconds += MPI_Wtime() - t0;
}

void CMpiHaloTransport::Wait(double* v, QVLNonBlockingBufferId id)
{
    const double t0 = MPI_Wtime();
    CSlot& slot = SlotOf(id);
    if (!slot.busy)
        throw std::logic_error("halo exchange: wait on buffer id " + std::to_string(static_cast<int>(id)) +
                               " without a start");
    if (slot.v != v)
        throw std::logic_error("halo exchange: wait on buffer id " + std::to_string(static_cast<int>(id)) +
                               " with another vector than its start");
    Complete(slot);
    m_stats.calls += 1;
    m_stats.seconds += MPI_Wtime() - t0;
}

CMpiSumTransport::CMpiSumTransport(MPI_Comm comm) : CMpiSumTransport(comm, kGatherRanks) {}

CMpiSumTransport::CMpiSumTransport(MPI_Comm comm, int gatherRanks)
{
    m_comm = Duplicate(comm, "sum transport");
    int nRanks = 1;
    MPI_Comm_size(m_comm, &nRanks);
    // Gathering: one partial sum per rank. All-reduce: no buffer at all (one
    // rank keeps its single entry, and its own value).
    if (nRanks <= std::max(1, std::min(gatherRanks, kGatherRanks))) m_partials.resize(static_cast<size_t>(nRanks));
}

CMpiSumTransport::~CMpiSumTransport()
{
    FreeComm(m_comm);
}

double CMpiSumTransport::Sum(double local)
{
    const double t0 = MPI_Wtime();
    int nRanks = static_cast<int>(m_partials.size());
    if (nRanks == 0) MPI_Comm_size(m_comm, &nRanks);
    const double s =
        nRanks == 1 ? local : ReduceExact(m_comm, nRanks, local, m_partials.empty() ? nullptr : m_partials.data());
    m_stats.calls += 1;
    m_stats.seconds += MPI_Wtime() - t0;
    return s;
}

void CMpiSumTransport::SumEach(double* values, int count)
{
    if (count <= 0) return;
    const double t0 = MPI_Wtime();
    int nRanks = static_cast<int>(m_partials.size());
    if (nRanks == 0) MPI_Comm_size(m_comm, &nRanks);
    if (nRanks > 1) {
        const bool gathering = !m_partials.empty();
        const size_t need = static_cast<size_t>(count) * (gathering ? nRanks : qvl3d::CExactSum::kWords);
        if (gathering && m_gathered.size() < need) m_gathered.resize(need);
        if (!gathering && m_words.size() < need) m_words.resize(need);
        ReduceExactEach(m_comm, nRanks, values, count, gathering ? m_gathered.data() : nullptr, m_words.data());
    }
    m_stats.calls += 1;
    m_stats.seconds += MPI_Wtime() - t0;
}

double ExactSum(MPI_Comm comm, double local)
{
    if (comm == MPI_COMM_NULL) throw std::invalid_argument("exact sum: the communicator is MPI_COMM_NULL");
    int nRanks = 1;
    MPI_Comm_size(comm, &nRanks);
    if (nRanks == 1) return local;
    double partials[CMpiSumTransport::kGatherRanks];
    return ReduceExact(comm, nRanks, local, nRanks <= CMpiSumTransport::kGatherRanks ? partials : nullptr);
}

int FirstMessage(MPI_Comm comm, std::string& message)
{
    int rank = 0, nRanks = 1;
    MPI_Comm_rank(comm, &rank);
    MPI_Comm_size(comm, &nRanks);
    int first = message.empty() ? nRanks : rank;
    MPI_Allreduce(MPI_IN_PLACE, &first, 1, MPI_INT, MPI_MIN, comm);
    if (first == nRanks) return -1;
    // A text beyond the int range of a count is cut there (no refusal is that long).
    int length = rank == first ? static_cast<int>(std::min<size_t>(message.size(), INT_MAX)) : 0;
    MPI_Bcast(&length, 1, MPI_INT, first, comm);
    message.resize(static_cast<size_t>(length));
    MPI_Bcast(&message[0], length, MPI_CHAR, first, comm);
    return first;
}

CMpiMessageTransport::CMpiMessageTransport(MPI_Comm comm)
{
    m_comm = Duplicate(comm, "message transport");
}

CMpiMessageTransport::~CMpiMessageTransport()
{
    FreeComm(m_comm);
}

std::string CMpiMessageTransport::First(const std::string& message)
{
    std::string text = message;
    const int rank = FirstMessage(m_comm, text);
    return rank < 0 ? std::string() : "rank " + std::to_string(rank) + ": " + text;
}
