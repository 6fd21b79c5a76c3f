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

#include <memory>
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

// The sum of one double over all ranks of the communicator, the same bits on
// every rank and from run to run: the partial sums are gathered on every
// rank and added in rank order, starting from rank 0's value (one rank gets
// its own value back). An all-reduce is not used: it promises neither.
class QVL3D_EXPORT CMpiSumTransport : public CSumTransport {
public:
    explicit CMpiSumTransport(MPI_Comm comm); // collective over comm
    ~CMpiSumTransport() override;
    CMpiSumTransport(const CMpiSumTransport&) = delete;
    CMpiSumTransport& operator=(const CMpiSumTransport&) = delete;

    double Sum(double local) override;

    MPI_Comm Comm() const { return m_comm; }
    const CCommStats& Stats() const { return m_stats; }
    void ResetStats() { m_stats = CCommStats(); }

private:
    MPI_Comm m_comm = MPI_COMM_NULL;
    std::vector<double> m_partials; // one per rank
    CCommStats m_stats;
};

#endif
