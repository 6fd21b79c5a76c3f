// Halo exchange and global sum over MPI, for CCommunication and CQVLCom.
//
// Both transports work on a private duplicate of the communicator the host
// hands them (the world communicator or any sub-communicator), so their
// messages never meet the host's own traffic. Constructing either one is
// collective over that communicator, and so is every exchange and sum.
//
//   CHaloPlan plan = ...;                         // from the partitioner
//   CCommunication commu(std::make_shared<CMpiHaloTransport>(comm, plan));
//   CQVLCom com(std::make_shared<CMpiSumTransport>(comm));
//
// A transport must be destroyed before MPI_Finalize; one destroyed after it
// leaves its communicator to the finalisation.
#ifndef QVL3D_MPITRANSPORT_H
#define QVL3D_MPITRANSPORT_H

#include <qvl3d/Communication.h>
#include <qvl3d/HaloPlan.h>
#include <qvl3d/QVLExport.h>

#include <mpi.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Calls made and wall time spent inside them since construction or Reset.
struct CCommStats {
    long calls = 0;
    double seconds = 0.0;
};

// Moves halo values as the plan says: post the receives, pack the owned
// values each neighbour needs, send, wait, unpack. A halo block that a
// neighbour fills is contiguous in the plans the reference host builds and is
// then received straight into the vector; other blocks go through a buffer.
//
// Start(v, id) posts the receives and sends; Wait(v, id) completes them and
// writes the halo of v. Between the two the halo entries of v must not be
// read or written; the owned entries are free (the values sent were packed
// by Start). Each buffer id 0..kBufferIds-1 has its own buffers and message
// tag, so exchanges on different ids may be in flight together; the blocking
// Exchange has buffers of its own.
class QVL3D_EXPORT CMpiHaloTransport : public CHaloTransport {
public:
    static constexpr int kBufferIds = 4;

    // Collective over comm. Checks the plan (cell ranges, neighbour ranks,
    // each halo cell filled once) and that every pair of partitions agrees on
    // the counts they exchange. If any rank's plan is wrong, every rank throws
    // std::invalid_argument, the faulty ranks naming the fault.
    CMpiHaloTransport(MPI_Comm comm, CHaloPlan plan);
    ~CMpiHaloTransport() override;
    CMpiHaloTransport(const CMpiHaloTransport&) = delete;
    CMpiHaloTransport& operator=(const CMpiHaloTransport&) = delete;

    void Exchange(double* v) override;
    // Misuse (an id out of range, a second Start on a busy id, a Wait without
    // its Start or on another vector) throws std::logic_error.
    void Start(double* v, QVLNonBlockingBufferId id) override;
    void Wait(double* v, QVLNonBlockingBufferId id) override;

    const CHaloPlan& Plan() const { return m_plan; }
    MPI_Comm Comm() const { return m_comm; }
    // One call per exchange (blocking, or a Start/Wait pair); the time of both halves.
    const CCommStats& Stats() const { return m_stats; }
    void ResetStats() { m_stats = CCommStats(); }

private:
    struct CSlot;

    void Post(CSlot& slot, double* v);
    void Complete(CSlot& slot);
    CSlot& SlotOf(QVLNonBlockingBufferId id);

    MPI_Comm m_comm = MPI_COMM_NULL;
    CHaloPlan m_plan;
    std::vector<bool> m_recvDirect;              // per neighbour: halo block contiguous, received in place
    std::vector<std::unique_ptr<CSlot>> m_slots; // 0: blocking exchange; 1+id: buffer id
    CCommStats m_stats;
};

// The sum of one double over all ranks of the communicator, correctly
// rounded: the exact sum of the partial sums, rounded once to the nearest
// double (ties to even). The result is the same bits on every rank, from run
// to run and whatever the order of the ranks or the reduction algorithm of
// the MPI library: each partial sum goes exactly into a fixed-point integer
// accumulator covering every double, and the total is rounded once.
//
// One sum is one collective. Up to kGatherRanks ranks gather the partial sums
// (8 bytes per rank) and each accumulates them; beyond that the ranks add
// their accumulators in one integer all-reduce of a fixed 576-byte buffer
// (log2 P steps, whatever the number of ranks). Both give the same bits.
//
// Values that are not finite come out as IEEE addition in any order gives
// them: NaN when any partial sum is NaN or both infinities occur, an infinity
// when only that one occurs, +/-inf when the rounded exact sum exceeds the
// largest double. An exact sum of zero is +0.0, or -0.0 when every partial
// sum is -0.0. One rank gets its own value back, bit for bit.
class QVL3D_EXPORT CMpiSumTransport : public CSumTransport {
public:
    explicit CMpiSumTransport(MPI_Comm comm); // collective over comm
    // The same, gathering up to gatherRanks ranks instead of kGatherRanks
    // (1: always the all-reduce). The bits do not change, only the traffic.
    CMpiSumTransport(MPI_Comm comm, int gatherRanks);
    ~CMpiSumTransport() override;
    CMpiSumTransport(const CMpiSumTransport&) = delete;
    CMpiSumTransport& operator=(const CMpiSumTransport&) = delete;

    // Up to this many ranks the partial sums are gathered rather than
    // reduced: 8 bytes a rank against the reduction's fixed buffer.
    static constexpr int kGatherRanks = 64;

    double Sum(double local) override;
    // count sums in one collective (a gather of count doubles per rank, or
    // one all-reduce of count accumulators), each value the bits Sum gives.
    void SumEach(double* values, int count) override;

    MPI_Comm Comm() const { return m_comm; }
    const CCommStats& Stats() const { return m_stats; }
    void ResetStats() { m_stats = CCommStats(); }

private:
    MPI_Comm m_comm = MPI_COMM_NULL;
    std::vector<double> m_partials; // one per rank up to kGatherRanks ranks; empty beyond
    // SumEach's buffers: the partials, count per rank, when gathering; the
    // accumulators' words, count * CExactSum::kWords, when reducing.
    std::vector<double> m_gathered;
    std::vector<std::int64_t> m_words;
    CCommStats m_stats;
};

// The message of the lowest rank of comm whose message is not empty:
// collective over comm, on comm itself (one all-reduce and two broadcasts,
// those only where some rank has a message). On return message holds that
// rank's text on every rank; returns that rank, or -1 (message left empty)
// when every rank's message is empty.
QVL3D_EXPORT int FirstMessage(MPI_Comm comm, std::string& message);

// Refusals agreed over MPI: the message of the lowest rank with one,
// prefixed "rank R: ", on every rank. Works on a private duplicate of comm
// (constructing it is collective), as the other transports do.
class QVL3D_EXPORT CMpiMessageTransport : public CMessageTransport {
public:
    explicit CMpiMessageTransport(MPI_Comm comm);
    ~CMpiMessageTransport() override;
    CMpiMessageTransport(const CMpiMessageTransport&) = delete;
    CMpiMessageTransport& operator=(const CMpiMessageTransport&) = delete;

    std::string First(const std::string& message) override;

private:
    MPI_Comm m_comm = MPI_COMM_NULL;
};

// The same correctly rounded sum over comm, for a program's own reductions:
// collective over comm (one gather or all-reduce on comm itself, no
// duplicate), no allocation. A communicator of one rank returns local. Throws
// std::invalid_argument for MPI_COMM_NULL.
QVL3D_EXPORT double ExactSum(MPI_Comm comm, double local);

#endif
