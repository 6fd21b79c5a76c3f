#include "CApiCommon.h"

#include <qvl3d/QVLMemTool.h>

#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

namespace qvl3d {
namespace capi {

void Fail(const char* where, const std::string& what, qvl3d_code code)
{
    throw CFailure{code, std::string(where) + ": " + what};
}

std::string& ThreadError()
{
    thread_local std::string text;
    return text;
}

std::size_t CopyText(const char* text, char* out, std::size_t capacity)
{
    const std::size_t length = std::strlen(text);
    if (out != nullptr && capacity > 0) {
        const std::size_t n = length < capacity - 1 ? length : capacity - 1;
        std::memcpy(out, text, n);
        out[n] = '\0';
    }
    return length;
}

namespace {

// The row of a table whose enum value is `value`, as the C enums number
// them (the table's order), or a refusal naming the field and the words.
template <class Row, std::size_t N>
auto IdOf(const char* where, const Row (&table)[N], int value, const char* field)
{
    if (value < 0 || value >= static_cast<int>(N))
        Fail(where, std::string("options->") + field + " is " + std::to_string(value) + ", not one of 0.." +
                        std::to_string(N - 1) + " (" + Words(table) + ")");
    return table[value].id;
}

} // namespace

CSolveOptions ToOptions(const char* where, const qvl3d_options* options, CMonitorBridge& bridge)
{
    CSolveOptions o;
    bridge = CMonitorBridge{};
    if (options == nullptr) return o;
    o.method = IdOf(where, kMethods, options->method, "method");
    if (options->preconditioner != QVL3D_PRECONDITIONER_DEFAULT)
        o.preconditioner = IdOf(where, kPreconditioners, options->preconditioner, "preconditioner");
    o.layout = IdOf(where, kLayouts, options->layout, "layout");
    if (options->reference != QVL3D_REFERENCE_RHS && options->reference != QVL3D_REFERENCE_FIRST_ITERATION)
        Fail(where, "options->reference is " + std::to_string(options->reference) +
                        ", not 0 (right-hand side) or 1 (first iteration)");
    o.reference = options->reference == QVL3D_REFERENCE_RHS ? EReference::RightHandSide : EReference::FirstIteration;
    o.rtol = options->rtol;
    o.atol = options->atol;
    o.maxIter = options->max_iter;
    o.divtol = options->divtol;
    o.restart = options->restart;
    if (options->monitor != nullptr) {
        bridge.call = options->monitor;
        bridge.user = options->monitor_data;
        o.monitor = [&bridge](int iteration, double norm) {
            bridge.seen.push_back(norm);
            if (bridge.call(bridge.user, iteration, norm) != 0) {
                bridge.stopped = true;
                throw CStopRequest{};
            }
        };
    }
    return o;
}

void FillResult(const CSolveResult& r, qvl3d_result& out)
{
    out.status = static_cast<int>(r.status);
    out.converged = r.Converged() ? 1 : 0;
    out.iterations = r.iterations;
    out.history_length = static_cast<int>(r.history.size());
    out.initial_residual = r.initialResidual;
    out.final_residual = r.finalResidual;
    out.relative_residual = r.relativeResidual;
    out.seconds = r.seconds;
}

void FillStopped(const CMonitorBridge& bridge, double seconds, qvl3d_result& out)
{
    out = qvl3d_result{};
    out.status = QVL3D_STATUS_INTERRUPTED;
    out.iterations = static_cast<int>(bridge.seen.size());
    out.history_length = out.iterations;
    out.seconds = seconds;
}

void CopyHistory(const char* where, const std::vector<double>& history, double* out, int capacity, int* length)
{
    if (length == nullptr) Fail(where, "length is null");
    if (capacity < 0) Fail(where, "capacity " + std::to_string(capacity) + " is negative");
    if (out == nullptr && capacity > 0) Fail(where, "history is null with a capacity of " + std::to_string(capacity));
    const int n = static_cast<int>(history.size());
    for (int k = 0; k < n && k < capacity; ++k) out[k] = history[k];
    *length = n;
}

std::pair<qvl3d_code, std::string> Describe(const char* where, int base)
{
    // The front door counts rows and entries from 0 whatever the host's base.
    const std::string counted = base == 1 ? " (rows and entries counted from 0)" : "";
    try {
        throw;
    } catch (const CFailure& f) {
        return {f.code, f.message};
    } catch (const std::bad_alloc&) {
        return {QVL3D_OUT_OF_MEMORY, std::string(where) + ": out of memory"};
    } catch (const CQVLMemError&) {
        return {QVL3D_OUT_OF_MEMORY, std::string(where) + ": out of memory"};
    } catch (const std::invalid_argument& e) {
        return {QVL3D_REFUSED, std::string(where) + ": " + e.what() + counted};
    } catch (const std::logic_error& e) { // a solve already running on this solver
        return {QVL3D_INVALID_ARGUMENT, std::string(where) + ": " + e.what()};
    } catch (const std::exception& e) {
        return {QVL3D_INTERNAL, std::string(where) + ": " + e.what()};
    } catch (...) {
        return {QVL3D_INTERNAL, std::string(where) + ": an unknown exception"};
    }
}

} // namespace capi
} // namespace qvl3d
