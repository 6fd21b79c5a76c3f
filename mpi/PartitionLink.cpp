// The link of a rank's local system over MPI, with the multigrid services:
// prefix of counts, sparse all-to-all, coarse levels built by
// BuildLocalSystem with their transports, rows gathered onto every rank.
#include <qvl3d/DistributedSolve.h>

#include <qvl3d/MpiTransport.h>

#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace qvl3d {

namespace {

using Id = std::int64_t;

constexpr int kAddBackTag = 7311;

// A private duplicate of a communicator, freed with the last holder (unless
// MPI has been finalised by then).
class COwnComm {
public:
    explicit COwnComm(MPI_Comm comm) { MPI_Comm_dup(comm, &m_comm); }
    ~COwnComm()
    {
        int finalized = 0;
        MPI_Finalized(&finalized);
        if (!finalized) MPI_Comm_free(&m_comm);
    }
    COwnComm(const COwnComm&) = delete;
    COwnComm& operator=(const COwnComm&) = delete;
    MPI_Comm Get() const { return m_comm; }

private:
    MPI_Comm m_comm = MPI_COMM_NULL;
};

// Counts and offsets of one all-to-all-v, refused on every rank alike when
// some rank's traffic passes MPI's int counts.
struct CCounts {
    std::vector<int> send, sendAt, recv, recvAt;
    int received = 0;
};

CCounts CountsOf(MPI_Comm comm, const std::vector<std::vector<CLevelEntry>>& sendTo)
{
    const size_t P = sendTo.size();
    CCounts c;
    c.send.assign(P, 0);
    c.sendAt.assign(P, 0);
    c.recv.assign(P, 0);
    c.recvAt.assign(P, 0);
    Id total = 0;
    for (size_t q = 0; q < P; ++q) {
        c.sendAt[q] = static_cast<int>(std::min<Id>(total, INT_MAX));
        c.send[q] = static_cast<int>(std::min<size_t>(sendTo[q].size(), INT_MAX));
        total += static_cast<Id>(sendTo[q].size());
    }
    MPI_Alltoall(c.send.data(), 1, MPI_INT, c.recv.data(), 1, MPI_INT, comm);
    Id got = 0;
    for (size_t q = 0; q < P; ++q) {
        c.recvAt[q] = static_cast<int>(std::min<Id>(got, INT_MAX));
        got += c.recv[q];
    }
    int tooMany = 2 * total > INT_MAX || 2 * got > INT_MAX ? 1 : 0;
    MPI_Allreduce(MPI_IN_PLACE, &tooMany, 1, MPI_INT, MPI_MAX, comm);
    if (tooMany)
        throw std::length_error("qvl3d multigrid: a rank would send or receive more entries than MPI's int counts "
                                "allow while a coarse level is built: spread the rows over more ranks");
    c.received = static_cast<int>(got);
    return c;
}

// The halo plan's reverse: halo values to their owners, added there by
// ascending neighbour rank and, within one, in the plan's order.
class CAddBack {
public:
    CAddBack(std::shared_ptr<COwnComm> comm, CHaloPlan plan) : m_comm(std::move(comm)), m_plan(std::move(plan))
    {
        for (const CHaloNeighbour& nb : m_plan.neighbours) {
            m_in.emplace_back(nb.send.size());
            m_out.emplace_back(nb.recv.size());
        }
    }

    void operator()(double* v)
    {
        const size_t N = m_plan.neighbours.size();
        std::vector<MPI_Request> requests(2 * N, MPI_REQUEST_NULL);
        for (size_t k = 0; k < N; ++k) {
            const CHaloNeighbour& nb = m_plan.neighbours[k];
            if (!nb.send.empty())
                MPI_Irecv(m_in[k].data(), static_cast<int>(m_in[k].size()), MPI_DOUBLE, nb.rank, kAddBackTag,
                          m_comm->Get(), &requests[k]);
        }
        for (size_t k = 0; k < N; ++k) {
            const CHaloNeighbour& nb = m_plan.neighbours[k];
            for (size_t j = 0; j < nb.recv.size(); ++j) m_out[k][j] = v[nb.recv[j]];
            if (!nb.recv.empty())
                MPI_Isend(m_out[k].data(), static_cast<int>(m_out[k].size()), MPI_DOUBLE, nb.rank, kAddBackTag,
                          m_comm->Get(), &requests[N + k]);
        }
        MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
        for (size_t k = 0; k < N; ++k) // the plan keeps its neighbours by ascending rank
            for (size_t j = 0; j < m_plan.neighbours[k].send.size(); ++j) {
                const int c = m_plan.neighbours[k].send[j];
                v[c] = v[c] + m_in[k][j];
            }
    }

private:
    std::shared_ptr<COwnComm> m_comm;
    CHaloPlan m_plan;
    std::vector<std::vector<double>> m_in, m_out;
};

class CMpiMultigridServices : public CMultigridServices {
public:
    explicit CMpiMultigridServices(std::shared_ptr<COwnComm> comm) : m_comm(std::move(comm))
    {
        MPI_Comm_size(m_comm->Get(), &m_size);
        MPI_Comm_rank(m_comm->Get(), &m_rank);
    }

    int Partitions() override { return m_size; }
    int Partition() override { return m_rank; }

    std::vector<Id> Offsets(Id count) override
    {
        std::vector<Id> all(static_cast<size_t>(m_size)), offsets(static_cast<size_t>(m_size) + 1, 0);
        MPI_Allgather(&count, 1, MPI_INT64_T, all.data(), 1, MPI_INT64_T, m_comm->Get());
        for (size_t q = 0; q < all.size(); ++q) offsets[q + 1] = offsets[q] + all[q];
        return offsets;
    }

    std::vector<CLevelEntry> AllToAll(const std::vector<std::vector<CLevelEntry>>& sendTo,
                                      std::vector<int>& from) override
    {
        if (sendTo.size() != static_cast<size_t>(m_size))
            throw std::invalid_argument("qvl3d multigrid: the all-to-all has " + std::to_string(sendTo.size()) +
                                        " lists for " + std::to_string(m_size) + " ranks");
        MPI_Comm comm = m_comm->Get();
        const CCounts c = CountsOf(comm, sendTo);
        std::vector<Id> ids, idsIn(2 * static_cast<size_t>(c.received));
        std::vector<double> values, valuesIn(static_cast<size_t>(c.received));
        for (const auto& to : sendTo)
            for (const CLevelEntry& t : to) {
                ids.push_back(t.row);
                ids.push_back(t.column);
                values.push_back(t.value);
            }
        MPI_Alltoallv(values.data(), c.send.data(), c.sendAt.data(), MPI_DOUBLE, valuesIn.data(), c.recv.data(),
                      c.recvAt.data(), MPI_DOUBLE, comm);
        std::vector<int> send2(c.send), sendAt2(c.sendAt), recv2(c.recv), recvAt2(c.recvAt);
        for (std::vector<int>* v : {&send2, &sendAt2, &recv2, &recvAt2})
            for (int& k : *v) k *= 2;
        MPI_Alltoallv(ids.data(), send2.data(), sendAt2.data(), MPI_INT64_T, idsIn.data(), recv2.data(), recvAt2.data(),
                      MPI_INT64_T, comm);
        std::vector<CLevelEntry> got(static_cast<size_t>(c.received));
        from.assign(got.size(), 0);
        for (size_t q = 0, k = 0; q < c.recv.size(); ++q)
            for (int j = 0; j < c.recv[q]; ++j, ++k) {
                got[k] = {idsIn[2 * k], idsIn[2 * k + 1], valuesIn[k]};
                from[k] = static_cast<int>(q);
            }
        return got;
    }

    CLevelPartition BuildLevel(const CLevelRows& rows, Id first) override
    {
        const CGlobalRows view{rows.Rows(), rows.rowStart.data(), rows.columns.data(), rows.values.data()};
        CLocalSystem S = BuildLocalSystem(m_comm->Get(), view, COwnership::Range(first));
        CLevelPartition L;
        L.columns = std::move(S.columns);
        L.globalId = std::move(S.globalId);
        L.haloCells = static_cast<Id>(S.plan.nCellTotal) - S.plan.nCell;
        L.halo = std::make_shared<CMpiHaloTransport>(m_comm->Get(), S.plan);
        auto back = std::make_shared<CAddBack>(m_comm, std::move(S.plan));
        L.addToOwners = [back](double* v) { (*back)(v); };
        return L;
    }

    CLevelRows GatherRows(const CLevelRows& rows) override
    {
        MPI_Comm comm = m_comm->Get();
        const Id mine[2] = {rows.Rows(), static_cast<Id>(rows.columns.size())};
        std::vector<Id> counts(2 * static_cast<size_t>(m_size));
        MPI_Allgather(mine, 2, MPI_INT64_T, counts.data(), 2, MPI_INT64_T, comm);
        std::vector<int> nRows(static_cast<size_t>(m_size)), rowAt(nRows), nEntries(nRows), entryAt(nRows);
        Id rowsTotal = 0, entriesTotal = 0;
        for (size_t q = 0; q < nRows.size(); ++q) {
            if (rowsTotal + counts[2 * q] > INT_MAX || entriesTotal + counts[2 * q + 1] > INT_MAX)
                throw std::length_error("qvl3d multigrid: a gathered level passes MPI's int counts");
            rowAt[q] = static_cast<int>(rowsTotal);
            entryAt[q] = static_cast<int>(entriesTotal);
            nRows[q] = static_cast<int>(counts[2 * q]);
            nEntries[q] = static_cast<int>(counts[2 * q + 1]);
            rowsTotal += counts[2 * q];
            entriesTotal += counts[2 * q + 1];
        }
        std::vector<Id> lengths, allLengths(static_cast<size_t>(rowsTotal));
        for (Id k = 0; k < rows.Rows(); ++k) lengths.push_back(rows.rowStart[k + 1] - rows.rowStart[k]);
        MPI_Allgatherv(lengths.data(), nRows[static_cast<size_t>(m_rank)], MPI_INT64_T, allLengths.data(), nRows.data(),
                       rowAt.data(), MPI_INT64_T, comm);
        CLevelRows all;
        all.columns.resize(static_cast<size_t>(entriesTotal));
        all.values.resize(static_cast<size_t>(entriesTotal));
        MPI_Allgatherv(rows.columns.data(), nEntries[static_cast<size_t>(m_rank)], MPI_INT64_T, all.columns.data(),
                       nEntries.data(), entryAt.data(), MPI_INT64_T, comm);
        MPI_Allgatherv(rows.values.data(), nEntries[static_cast<size_t>(m_rank)], MPI_DOUBLE, all.values.data(),
                       nEntries.data(), entryAt.data(), MPI_DOUBLE, comm);
        for (Id length : allLengths) all.rowStart.push_back(all.rowStart.back() + length);
        return all;
    }

private:
    std::shared_ptr<COwnComm> m_comm;
    int m_size = 1, m_rank = 0;
};

} // namespace

CPartitionLink MakePartitionLink(MPI_Comm comm, const CHaloPlan& plan, std::function<Id(Id)> globalId)
{
    if (comm == MPI_COMM_NULL)
        throw std::invalid_argument("qvl3d::MakePartitionLink: the communicator is MPI_COMM_NULL");
    auto own = std::make_shared<COwnComm>(comm);
    CPartitionLink link;
    link.haloCells = static_cast<Id>(plan.nCellTotal) - plan.nCell;
    link.halo = std::make_shared<CMpiHaloTransport>(comm, plan);
    link.sum = std::make_shared<CMpiSumTransport>(comm);
    link.maximum = [own](double v) {
        MPI_Allreduce(MPI_IN_PLACE, &v, 1, MPI_DOUBLE, MPI_MAX, own->Get());
        return v;
    };
    link.messages = std::make_shared<CMpiMessageTransport>(comm);
    link.globalId = std::move(globalId);
    link.multigrid = std::make_shared<CMpiMultigridServices>(own);
    return link;
}

} // namespace qvl3d
