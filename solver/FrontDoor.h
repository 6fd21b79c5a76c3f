// The front door's own state (CSolver::CImpl) and the helpers its two
// halves share: SolveInput.cpp checks and builds what a solver holds,
// Solve.cpp solves with it.
#ifndef QVL3D_FRONTDOOR_H
#define QVL3D_FRONTDOOR_H

#include <qvl3d/Communication.h>
#include <qvl3d/Solve.h>
#include "HostSystem.h"
#include "ScaledNorm.h"
#include "detail/FrontDoorPreconditioners.h"
#include "detail/Gmres.h"
#include "detail/Method.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qvl3d {
namespace frontdoor {

constexpr const char* kConstructor = "qvl3d::CSolver";
constexpr const char* kUpdate = "qvl3d::CSolver::Update";
constexpr const char* kSolve = "qvl3d::CSolver::Solve";

std::string Num(double v);
std::string Num(std::int64_t v);
[[noreturn]] void Refuse(const char* where, const std::string& what);

// text naming the 0-based cell, followed by the system's own id of the cell
// where a partition link gives one (" (global id 57)").
std::string WithId(std::string text, std::int64_t cell, const std::function<std::int64_t(std::int64_t)>& globalId);

// The power of two that brings a magnitude near 1, or 0 where it lies within
// 2^-32 .. 2^32 already (or is 0, or not finite): nothing is scaled there.
int NormalisingShift(double magnitude);

// shift moved toward 0 as far as needed for every value whose magnitudes lie
// in lo .. hi (lo the smallest non-zero one; 0: none) to keep its exact
// value, scaled by 2^shift: neither overflow nor a subnormal result.
int ExactShift(int shift, double lo, double hi);

} // namespace frontdoor

// Hidden like the rest of the library's inside, although nested in an
// exported class (its members name the methods' internal types).
#if defined(__GNUC__)
#define QVL3D_HIDDEN __attribute__((visibility("hidden")))
#else
#define QVL3D_HIDDEN
#endif

struct QVL3D_HIDDEN CSolver::CImpl {
    CSolveOptions options;
    int n = 0;
    int nTotal = 0;           // n plus the halo cells of a partition
    bool partitioned = false; // one partition of several: norms, scales and refusals are agreed on
    std::function<double(double)> maximum;
    std::vector<int> rowStart; // n + 1 offsets of the caller's rows
    // Per entry of the caller's order: its slot in the native row (0 the
    // diagonal, then the other entries in the caller's order), which is
    // also its place in the CSR row and its ELL slot (every one written by
    // IndexColumns, so not cleared first).
    std::vector<int, detail::CUnfilled<int>> slot;
    // Per entry (i, j) between owned cells, the entry (j, i), for a method
    // that assumes a symmetric matrix; empty for the others.
    std::vector<int> partner;
    std::unique_ptr<host::CHostSystem> host;
    detail::CPreconditionerStorage derived; // what the preconditioners derive from the values
    // What Gauss-Seidel derives from the values (a Gauss-Seidel solver only).
    CCommunication commu; // by default one partition: exchanges do nothing, sums return their argument
    CQVLCom com;
    std::shared_ptr<CMessageTransport> messages; // every partition has it: one refusal text for all
    std::function<std::int64_t(std::int64_t)> globalId;
    std::shared_ptr<CMultigridServices> multigrid; // every partition has it: multigrid levels across them
    // The system held is (2^aShift A) y = 2^bShift b with y = 2^(bShift - aShift) x.
    int aShift = 0;           // set with the values
    int bShift = 0;           // set per solve
    std::vector<double> x, b; // cells 1..nTotal (x) and 1..n (b), scaled
    std::vector<double> ax;   // A x, for the true residual
    // GMRES's basis and Hessenberg matrix, sized for the restart asked for.
    detail::CKrylovSpace krylov;
    std::vector<double> history;
    int iterationsBefore = 0; // iterations of earlier runs of this solve (restarts)
    bool interrupt = false;   // the monitor threw here or on another partition
    std::exception_ptr monitorFault;
    std::atomic<bool> busy{false};

    // SolveInput.cpp
    void Build(const CCsrView& A, std::int64_t haloCells);
    int IndexColumns(const CCsrView& A);
    // The magnitudes of the values CheckValues passed last, for SetValues:
    // of the diagonal (dLo .. dHi) and of every non-zero entry (lo .. hi).
    struct CMagnitudes {
        double dLo = HUGE_VAL, dHi = 0.0, lo = HUGE_VAL, hi = 0.0;
    } magnitudes;
    void CheckValues(const char* where, const double* values);
    void CheckSymmetricValues(const char* where, const double* values) const;
    void SetValues(const double* values);
    void RefreshMultigrid();
    // FrontDoorRows.cpp
    void DeriveSweepRows();
    std::string DifferingOption(const CSolveOptions& o);
    // Solve.cpp
    void Agree(std::exception_ptr fault, const char* where, const char* elsewhere);
    double Maximum(double local) { return partitioned ? maximum(local) : local; }
    std::string Row(std::int64_t i) const { return frontdoor::WithId("row " + frontdoor::Num(i), i, globalId); }
    double Norm(const host::CScaledNorm& local);
    double TrueResidual();
    void ScaleRightHandSide(double bNorm);
    void ReadVectors(const double* bIn, const double* xIn);
    EStatus Iterate(double bNorm, CSolveResult& result);
    template <class Stop>
    CSolveRecord Run(const detail::CMethodSettings& set, const Stop& stop);
    static void Observe(void* data, int iteration, double norm);
};

// Holds a solver for one Solve or Update: a second one while it runs (from
// the monitor, or from another thread) is refused.
class CBusy {
public:
    CBusy(std::atomic<bool>& busy, const char* where);
    ~CBusy() { m_busy.store(false); }
    CBusy(const CBusy&) = delete;
    CBusy& operator=(const CBusy&) = delete;

private:
    std::atomic<bool>& m_busy;
};

} // namespace qvl3d

#endif
