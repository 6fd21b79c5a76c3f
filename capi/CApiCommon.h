// What the C entry points of the serial and the MPI library share: the
// options and results between the C structs and the front door's, the
// monitor bridge, the row checks in the caller's base, and the guard that
// turns every exception into a code and a message. Compiled into each
// library on its own (nothing here is exported), so each keeps its own
// thread's message.
#ifndef QVL3D_CAPI_CAPICOMMON_H
#define QVL3D_CAPI_CAPICOMMON_H

#include <qvl3d/Solve.h>
#include <qvl3d/qvl3d.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qvl3d {
namespace capi {

// A refusal found by the C layer itself.
struct CFailure {
    qvl3d_code code;
    std::string message;
};

[[noreturn]] void Fail(const char* where, const std::string& what, qvl3d_code code = QVL3D_INVALID_ARGUMENT);

// The calling thread's last message (qvl3d_last_error(NULL) of this library).
std::string& ThreadError();

// Copies text into a caller's buffer as qvl3d_last_error_copy promises.
std::size_t CopyText(const char* text, char* out, std::size_t capacity);

// The monitor of a C host, and what it saw in the current solve.
struct CMonitorBridge {
    qvl3d_monitor call = nullptr;
    void* user = nullptr;
    bool stopped = false;
    std::vector<double> seen;
};

// Thrown through the front door when the host's monitor returns nonzero.
struct CStopRequest {};

// The front door's options for *options (null: the defaults), the monitor
// routed through bridge. Refuses values outside the tables and enums.
CSolveOptions ToOptions(const char* where, const qvl3d_options* options, CMonitorBridge& bridge);

// The result of a solve, or of one the monitor stopped (bridge.stopped).
void FillResult(const CSolveResult& r, qvl3d_result& out);
void FillStopped(const CMonitorBridge& bridge, double seconds, qvl3d_result& out);

// Solves through solver (CSolver or CDistributedSolver), the result and
// the history out, a stop the monitor asked for included.
template <class Solver>
void RunSolve(Solver& solver, CMonitorBridge& bridge, std::vector<double>& history, const double* b, double* x,
              qvl3d_result& result)
{
    result = qvl3d_result{};
    history.clear();
    bridge.seen.clear();
    bridge.stopped = false;
    const auto t0 = std::chrono::steady_clock::now();
    try {
        CSolveResult r = solver.Solve(b, x);
        FillResult(r, result);
        history = std::move(r.history);
    } catch (const CStopRequest&) {
        FillStopped(bridge, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), result);
        history.swap(bridge.seen);
    }
}

// qvl3d_solver_history's work.
void CopyHistory(const char* where, const std::vector<double>& history, double* out, int capacity, int* length);

// Checks base (0 or 1), n and the offsets (rowptr[0] == base, never
// decreasing, n+1 of them) and returns the entry count.
template <class Offset>
std::int64_t CheckOffsets(const char* where, std::int64_t n, const Offset* rowptr, int base)
{
    if (base != 0 && base != 1) Fail(where, "index base " + std::to_string(base) + " is neither 0 nor 1");
    if (n < 0) Fail(where, "row count " + std::to_string(n) + " is negative");
    if (rowptr == nullptr) Fail(where, "rowptr is null");
    if (rowptr[0] != base)
        Fail(where, "rowptr[0] is " + std::to_string(rowptr[0]) + ", not the index base " + std::to_string(base));
    for (std::int64_t i = 0; i < n; ++i)
        if (rowptr[i + 1] < rowptr[i])
            Fail(where, "row " + std::to_string(i + base) + ": its end offset " + std::to_string(rowptr[i + 1]) +
                            " is below its start " + std::to_string(rowptr[i]));
    return static_cast<std::int64_t>(rowptr[n]) - base;
}

// The text of the exception being handled, with its code.
std::pair<qvl3d_code, std::string> Describe(const char* where, int base);

// Runs body; on any exception records the message (in *solverError when
// given, and in the thread's) and returns its code. On success clears
// *solverError.
template <class Body>
qvl3d_code Guard(const char* where, std::string* solverError, int base, Body&& body) noexcept
{
    qvl3d_code code = QVL3D_OK;
    std::string message;
    try {
        body();
    } catch (...) {
        try {
            std::tie(code, message) = Describe(where, base);
        } catch (...) {
            code = QVL3D_OUT_OF_MEMORY;
        }
    }
    try {
        if (solverError != nullptr) *solverError = message;
        if (code != QVL3D_OK) ThreadError() = message;
    } catch (...) {
        // no room for the text: the code still says what happened
    }
    return code;
}

} // namespace capi
} // namespace qvl3d

#endif
