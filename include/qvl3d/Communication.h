// Halo exchange and global sum of one partition of a domain-decomposed mesh.
//
// The solver reaches the other partitions only through CCommunication (halo
// exchange of a cell vector) and CQVLCom (global sums of doubles). Both
// delegate to a transport chosen by the host when it builds them; a
// default-constructed object serves a single partition: exchanges do
// nothing and AllSum returns its argument. Every call is collective: all
// partitions make the same calls in the same order.
#ifndef QVL3D_COMMUNICATION_H
#define QVL3D_COMMUNICATION_H

#include <qvl3d/QVLExport.h>

#include <memory>
#include <string>

// Identifier of a buffer of the non-blocking exchange; the solver uses 0 only.
enum QVLNonBlockingBufferId : int { QVLNonBlockingBuffer0 = 0 };

// What moves halo values between partitions. A transport knows the halo plan
// of its partition (which owned cells go where, which halo cells come from
// where) and the communicator it runs on.
class QVL3D_EXPORT CHaloTransport {
public:
    virtual ~CHaloTransport();
    // On return the halo entries of v hold their owners' values.
    virtual void Exchange(double* v) = 0;
    // Start/Wait split Exchange at buffer id; after Wait the effect is Exchange's.
    virtual void Start(double* v, QVLNonBlockingBufferId id) = 0;
    virtual void Wait(double* v, QVLNonBlockingBufferId id) = 0;
};

// What forms the sum of one double over all partitions. Every partition must
// receive the same bits, or their decisions could part ways.
class QVL3D_EXPORT CSumTransport {
public:
    virtual ~CSumTransport();
    virtual double Sum(double local) = 0;
    // values[k] becomes the sum of values[k] over all partitions, for k =
    // 0..count-1: each the bits Sum(values[k]) gives. This one makes count
    // calls to Sum; a transport that can sends them all in one collective.
    virtual void SumEach(double* values, int count);
};

// What tells every partition the refusal one of them made, so that all of
// them refuse with the same words.
class QVL3D_EXPORT CMessageTransport {
public:
    virtual ~CMessageTransport();
    // Collective: the message of the lowest-numbered partition whose message
    // is not empty, naming that partition, or an empty string when every
    // message is empty; the same text on every partition.
    virtual std::string First(const std::string& message) = 0;
};

class QVL3D_EXPORT CCommunication {
public:
    CCommunication(); // single partition
    explicit CCommunication(std::shared_ptr<CHaloTransport> pTransport);

    void DDM_Exch(double* v);
    void DDM_IExch_Start(double* v, QVLNonBlockingBufferId id);
    void DDM_IExch_Wait(double* v, QVLNonBlockingBufferId id);

    CHaloTransport* GetTransport() const { return m_pTransport.get(); }

private:
    std::shared_ptr<CHaloTransport> m_pTransport; // null: single partition
};

class QVL3D_EXPORT CQVLCom {
public:
    CQVLCom(); // single partition
    explicit CQVLCom(std::shared_ptr<CSumTransport> pTransport);

    // Sum of v over all partitions. v itself is left unchanged.
    double AllSum(double& v);
    // The same for count values in one call, in place: v[k] becomes the sum
    // of v[k] over all partitions, the bits AllSum(v[k]) gives.
    void AllSum(double* v, int count);

    CSumTransport* GetTransport() const { return m_pTransport.get(); }

private:
    std::shared_ptr<CSumTransport> m_pTransport; // null: single partition
};

#endif
