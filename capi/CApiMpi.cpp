// The C entry points of qvl3d_mpi.h over the distributed front door
// (DistributedSolve.h).
#include "CApiCommon.h"

#include <qvl3d/DistributedSolve.h>
#include <qvl3d/MpiTransport.h>
#include <qvl3d/qvl3d_mpi.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::capi;

struct qvl3d_dsolver {
    MPI_Comm comm = MPI_COMM_NULL; // the host's; the solver works on its own duplicate
    std::optional<CDistributedSolver> solver;
    CMonitorBridge bridge; // the options' monitor refers to it: a solver never moves
    std::vector<double> history;
    std::int64_t entries = 0;
    int base = 0;
    mutable std::string error;
};

namespace {

// Runs the local checks in check on every rank and agrees on the outcome:
// when any rank failed, every rank fails with the code and message of the
// lowest rank that did, naming it.
template <class Check>
void Agree(const char* where, MPI_Comm comm, Check&& check)
{
    std::optional<CFailure> own;
    try {
        check();
    } catch (...) {
        try {
            const auto described = Describe(where, 0);
            own = CFailure{described.first, described.second};
        } catch (...) {
            own = CFailure{QVL3D_OUT_OF_MEMORY, ""};
        }
    }
    std::string text = own ? own->message : std::string();
    if (own && text.empty()) text = std::string(where) + ": out of memory";
    const int first = FirstMessage(comm, text);
    if (first < 0) return;
    int code = own ? static_cast<int>(own->code) : 0;
    MPI_Bcast(&code, 1, MPI_INT, first, comm);
    // Named as the solver's refusals are: "where: rank R: what".
    const std::string head = std::string(where) + ": ";
    text.insert(text.compare(0, head.size(), head) == 0 ? head.size() : 0, "rank " + std::to_string(first) + ": ");
    throw CFailure{static_cast<qvl3d_code>(code), text};
}

// The communicator of a Fortran handle, or a refusal when MPI cannot run.
MPI_Comm CommOf(const char* where, MPI_Fint handle)
{
    int initialized = 0, finalized = 0;
    MPI_Initialized(&initialized);
    MPI_Finalized(&finalized);
    if (!initialized || finalized) Fail(where, "MPI is not running (call MPI_Init first, and not after MPI_Finalize)");
    const MPI_Comm comm = MPI_Comm_f2c(handle);
    if (comm == MPI_COMM_NULL) Fail(where, "the communicator is MPI_COMM_NULL");
    return comm;
}

// The rank's rows counted from 0, checked in the caller's base.
struct CShiftedRows {
    std::vector<std::int64_t> offsets, columns, ids;
    std::int64_t first = 0;
};

CShiftedRows Shift(const char* where, std::int32_t n, const std::int64_t* rowptr, const std::int64_t* col,
                   const double* val, int base, const std::int64_t* ids, std::int64_t first)
{
    CShiftedRows s;
    const std::int64_t entries = CheckOffsets(where, n, rowptr, base);
    if (entries > 0 && col == nullptr) Fail(where, "col is null");
    if (entries > 0 && val == nullptr) Fail(where, "val is null");
    s.offsets.resize(static_cast<std::size_t>(n) + 1);
    for (std::int64_t i = 0; i <= n; ++i) s.offsets[i] = rowptr[i] - base;
    s.columns.resize(static_cast<std::size_t>(entries));
    for (std::int64_t k = 0; k < entries; ++k) {
        if (col[k] < base)
            Fail(where, "entry " + std::to_string(k + base) + ": column " + std::to_string(col[k]) + " is below " +
                            std::to_string(base));
        s.columns[k] = col[k] - base;
    }
    if (ids != nullptr) {
        s.ids.resize(static_cast<std::size_t>(n));
        for (std::int64_t k = 0; k < n; ++k) {
            if (ids[k] < base)
                Fail(where, "ids[" + std::to_string(k + base) + "] is " + std::to_string(ids[k]) + ", below " +
                                std::to_string(base));
            s.ids[k] = ids[k] - base;
        }
    } else if (n > 0 && first < base) {
        Fail(where, "first row id " + std::to_string(first) + " is below " + std::to_string(base));
    }
    s.first = first - base;
    return s;
}

qvl3d_code NullSolver(const char* where)
{
    ThreadError() = std::string(where) + ": the solver is null";
    return QVL3D_INVALID_ARGUMENT;
}

} // namespace

extern "C" {

qvl3d_code qvl3d_dsolver_create(MPI_Fint comm, int32_t n, const int64_t* rowptr, const int64_t* col, const double* val,
                                int base, const int64_t* ids, int64_t first, const qvl3d_options* options,
                                qvl3d_dsolver** solver)
{
    constexpr const char* where = "qvl3d_dsolver_create";
    if (solver != nullptr) *solver = nullptr;
    return Guard(where, nullptr, base, [&] {
        const MPI_Comm c = CommOf(where, comm);
        auto handle = std::make_unique<qvl3d_dsolver>();
        CShiftedRows rows;
        CSolveOptions o;
        Agree(where, c, [&] {
            if (solver == nullptr) Fail(where, "the solver pointer is null");
            rows = Shift(where, n, rowptr, col, val, base, ids, first);
            o = ToOptions(where, options, handle->bridge);
        });
        const CGlobalRows global{n, rows.offsets.data(), rows.columns.data(), val};
        const COwnership owners = ids != nullptr ? COwnership::List(rows.ids.data()) : COwnership::Range(rows.first);
        handle->solver.emplace(c, global, owners, std::move(o));
        handle->comm = c;
        handle->entries = static_cast<std::int64_t>(rows.columns.size());
        handle->base = base;
        *solver = handle.release();
    });
}

qvl3d_code qvl3d_dsolver_update(qvl3d_dsolver* solver, const double* val)
{
    constexpr const char* where = "qvl3d_dsolver_update";
    if (solver == nullptr) return NullSolver(where);
    return Guard(where, &solver->error, solver->base, [&] {
        Agree(where, solver->comm, [&] {
            if (val == nullptr && solver->entries > 0) Fail(where, "val is null");
        });
        solver->solver->Update(val);
    });
}

qvl3d_code qvl3d_dsolver_solve(qvl3d_dsolver* solver, const double* b, double* x, qvl3d_result* result)
{
    constexpr const char* where = "qvl3d_dsolver_solve";
    if (solver == nullptr) return NullSolver(where);
    return Guard(where, &solver->error, solver->base, [&] {
        Agree(where, solver->comm, [&] {
            if (result == nullptr) Fail(where, "result is null");
            const bool empty = solver->solver->System().rows == 0;
            if (b == nullptr && !empty) Fail(where, "b is null");
            if (x == nullptr && !empty) Fail(where, "x is null");
        });
        RunSolve(*solver->solver, solver->bridge, solver->history, b, x, *result);
    });
}

qvl3d_code qvl3d_dsolver_history(const qvl3d_dsolver* solver, double* history, int capacity, int* length)
{
    constexpr const char* where = "qvl3d_dsolver_history";
    if (solver == nullptr) return NullSolver(where);
    return Guard(where, &solver->error, solver->base,
                 [&] { CopyHistory(where, solver->history, history, capacity, length); });
}

void qvl3d_dsolver_destroy(qvl3d_dsolver* solver)
{
    delete solver;
}

const char* qvl3d_dsolver_last_error(const qvl3d_dsolver* solver)
{
    return solver != nullptr ? solver->error.c_str() : ThreadError().c_str();
}

size_t qvl3d_dsolver_last_error_copy(const qvl3d_dsolver* solver, char* text, size_t capacity)
{
    return CopyText(qvl3d_dsolver_last_error(solver), text, capacity);
}

} // extern "C"
