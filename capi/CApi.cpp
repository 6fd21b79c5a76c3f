// The C entry points of qvl3d.h over the front door (Solve.h).
#include "CApiCommon.h"

#include <qvl3d/SolveRecord.h>
#include <qvl3d/qvl3d.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace qvl3d;
using namespace qvl3d::capi;

// The C enumerations number the table's rows in its order and the
// statuses as EStatus does.
static_assert(QVL3D_METHOD_BICGSTAB == static_cast<int>(EMethod::BiCgStab) &&
              QVL3D_METHOD_PCG == static_cast<int>(EMethod::Cg) &&
              QVL3D_METHOD_GS == static_cast<int>(EMethod::GaussSeidel) &&
              QVL3D_METHOD_GMRES == static_cast<int>(EMethod::Gmres) &&
              QVL3D_METHOD_FGMRES == static_cast<int>(EMethod::Fgmres) &&
              QVL3D_METHOD_AMG == static_cast<int>(EMethod::Amg));
static_assert(QVL3D_PRECONDITIONER_DILU == static_cast<int>(EPreconditioner::Dilu) &&
              QVL3D_PRECONDITIONER_DIAGONAL == static_cast<int>(EPreconditioner::Diagonal) &&
              QVL3D_PRECONDITIONER_NONE == static_cast<int>(EPreconditioner::None) &&
              QVL3D_PRECONDITIONER_ILU0 == static_cast<int>(EPreconditioner::Ilu0) &&
              QVL3D_PRECONDITIONER_AMG == static_cast<int>(EPreconditioner::Amg));
static_assert(QVL3D_LAYOUT_CSR == static_cast<int>(ELayout::Csr) &&
              QVL3D_LAYOUT_NATIVE == static_cast<int>(ELayout::Native) &&
              QVL3D_LAYOUT_ELL == static_cast<int>(ELayout::Ell));
static_assert(QVL3D_STATUS_CONVERGED == static_cast<int>(EStatus::Converged) &&
              QVL3D_STATUS_BREAKDOWN_RHO == static_cast<int>(EStatus::BreakdownRho) &&
              QVL3D_STATUS_NON_FINITE == static_cast<int>(EStatus::NonFinite) &&
              QVL3D_STATUS_ZERO_RHS == static_cast<int>(EStatus::ZeroRightHandSide) &&
              QVL3D_STATUS_INACCURATE == static_cast<int>(EStatus::Inaccurate) &&
              QVL3D_STATUS_INTERRUPTED == static_cast<int>(EStatus::Interrupted) &&
              QVL3D_STATUS_NOT_RUN == static_cast<int>(EStatus::NotRun) &&
              QVL3D_STATUS_STAGNATED == static_cast<int>(EStatus::Stagnated) &&
              QVL3D_STATUS_BREAKDOWN_KRYLOV == static_cast<int>(EStatus::BreakdownKrylov));
static_assert(kMethods[0].id == EMethod::BiCgStab && kMethods[1].id == EMethod::Cg &&
              kMethods[2].id == EMethod::GaussSeidel && kMethods[3].id == EMethod::Gmres &&
              kMethods[4].id == EMethod::Fgmres);
static_assert(kPreconditioners[0].id == EPreconditioner::Dilu && kPreconditioners[1].id == EPreconditioner::Diagonal &&
              kPreconditioners[2].id == EPreconditioner::None && kPreconditioners[3].id == EPreconditioner::Ilu0);
static_assert(kLayouts[0].id == ELayout::Csr && kLayouts[1].id == ELayout::Native && kLayouts[2].id == ELayout::Ell);

struct qvl3d_solver {
    std::optional<CSolver> solver;
    CMonitorBridge bridge; // the options' monitor refers to it: a solver never moves
    std::vector<double> history;
    std::int64_t entries = 0;
    int base = 0;
    mutable std::string error; // the last call's message, also from calls on a const solver
};

namespace {

constexpr int kStatusCount = QVL3D_STATUS_BREAKDOWN_KRYLOV + 1;

template <class Offset>
qvl3d_code Create(const char* where, std::int32_t n, const Offset* rowptr, const std::int32_t* col, const double* val,
                  int base, const qvl3d_options* options, qvl3d_solver** out)
{
    if (out == nullptr) {
        ThreadError() = std::string(where) + ": the solver pointer is null";
        return QVL3D_INVALID_ARGUMENT;
    }
    *out = nullptr;
    return Guard(where, nullptr, base, [&] {
        const std::int64_t entries = CheckOffsets(where, n, rowptr, base);
        if (entries > 0 && col == nullptr) Fail(where, "col is null");
        if (entries > 0 && val == nullptr) Fail(where, "val is null");
        // Columns in the caller's base; the front door takes them from 0.
        std::vector<std::int32_t> columns(static_cast<std::size_t>(entries));
        std::int64_t row = 0;
        for (std::int64_t k = 0; k < entries; ++k) {
            while (rowptr[row + 1] - base <= k) ++row;
            if (col[k] < base || col[k] - base >= n)
                Fail(where, "row " + std::to_string(row + base) + ", entry " + std::to_string(k + base) + ": column " +
                                std::to_string(col[k]) + " is outside " + std::to_string(base) + ".." +
                                std::to_string(n - 1 + base));
            columns[k] = col[k] - base;
        }
        std::vector<std::int64_t> offsets(static_cast<std::size_t>(n) + 1);
        for (std::int64_t i = 0; i <= n; ++i) offsets[i] = static_cast<std::int64_t>(rowptr[i]) - base;

        auto handle = std::make_unique<qvl3d_solver>();
        CSolveOptions o = ToOptions(where, options, handle->bridge);
        handle->solver.emplace(CCsrView{n, nullptr, offsets.data(), columns.data(), val}, std::move(o));
        handle->entries = entries;
        handle->base = base;
        *out = handle.release();
    });
}

// A refusal of a call whose solver is null.
qvl3d_code NullSolver(const char* where)
{
    ThreadError() = std::string(where) + ": the solver is null";
    return QVL3D_INVALID_ARGUMENT;
}

} // namespace

extern "C" {

qvl3d_code qvl3d_options_default(qvl3d_options* options)
{
    if (options == nullptr) {
        ThreadError() = "qvl3d_options_default: options is null";
        return QVL3D_INVALID_ARGUMENT;
    }
    const CSolveOptions o;
    *options = qvl3d_options{};
    options->method = static_cast<int>(o.method);
    options->preconditioner = QVL3D_PRECONDITIONER_DEFAULT;
    options->layout = static_cast<int>(o.layout);
    options->reference = QVL3D_REFERENCE_RHS;
    options->rtol = o.rtol;
    options->atol = o.atol;
    options->max_iter = o.maxIter;
    options->divtol = o.divtol;
    options->restart = o.restart;
    return QVL3D_OK;
}

qvl3d_code qvl3d_options_set_words(qvl3d_options* options, const char* method, const char* preconditioner,
                                   const char* layout)
{
    constexpr const char* where = "qvl3d_options_set_words";
    return Guard(where, nullptr, 0, [&] {
        if (options == nullptr) Fail(where, "options is null");
        qvl3d_options o = *options;
        if (method != nullptr) {
            const CMethodInfo* m = FindWord(kMethods, method);
            if (m == nullptr) Fail(where, "unknown method '" + std::string(method) + "' (" + Words(kMethods) + ")");
            o.method = static_cast<int>(m - kMethods);
        }
        if (preconditioner != nullptr) {
            const CPreconditionerInfo* p = FindWord(kPreconditioners, preconditioner);
            if (p == nullptr)
                Fail(where,
                     "unknown preconditioner '" + std::string(preconditioner) + "' (" + Words(kPreconditioners) + ")");
            o.preconditioner = static_cast<int>(p - kPreconditioners);
        }
        if (layout != nullptr) {
            const CLayoutInfo* l = FindWord(kLayouts, layout);
            if (l == nullptr) Fail(where, "unknown layout '" + std::string(layout) + "' (" + Words(kLayouts) + ")");
            o.layout = static_cast<int>(l - kLayouts);
        }
        *options = o;
    });
}

const char* qvl3d_method_word(int method)
{
    return method >= 0 && method < static_cast<int>(std::size(kMethods)) ? kMethods[method].word : nullptr;
}

const char* qvl3d_preconditioner_word(int preconditioner)
{
    if (preconditioner == QVL3D_PRECONDITIONER_DEFAULT) return "default";
    return preconditioner >= 0 && preconditioner < static_cast<int>(std::size(kPreconditioners))
               ? kPreconditioners[preconditioner].word
               : nullptr;
}

const char* qvl3d_layout_word(int layout)
{
    return layout >= 0 && layout < static_cast<int>(std::size(kLayouts)) ? kLayouts[layout].word : nullptr;
}

const char* qvl3d_status_name(int status)
{
    return status >= 0 && status < kStatusCount ? StatusName(static_cast<EStatus>(status)) : "unknown";
}

const char* qvl3d_status_text(int status)
{
    return status >= 0 && status < kStatusCount ? StatusText(static_cast<EStatus>(status)) : "unknown";
}

size_t qvl3d_status_name_copy(int status, char* text, size_t capacity)
{
    return CopyText(qvl3d_status_name(status), text, capacity);
}

qvl3d_code qvl3d_solver_create(int32_t n, const int32_t* rowptr, const int32_t* col, const double* val, int base,
                               const qvl3d_options* options, qvl3d_solver** solver)
{
    return Create("qvl3d_solver_create", n, rowptr, col, val, base, options, solver);
}

qvl3d_code qvl3d_solver_create64(int32_t n, const int64_t* rowptr, const int32_t* col, const double* val, int base,
                                 const qvl3d_options* options, qvl3d_solver** solver)
{
    return Create("qvl3d_solver_create64", n, rowptr, col, val, base, options, solver);
}

qvl3d_code qvl3d_solver_update(qvl3d_solver* solver, const double* val)
{
    constexpr const char* where = "qvl3d_solver_update";
    if (solver == nullptr) return NullSolver(where);
    return Guard(where, &solver->error, solver->base, [&] {
        if (val == nullptr && solver->entries > 0) Fail(where, "val is null");
        solver->solver->Update(val);
    });
}

qvl3d_code qvl3d_solver_solve(qvl3d_solver* solver, const double* b, double* x, qvl3d_result* result)
{
    constexpr const char* where = "qvl3d_solver_solve";
    if (solver == nullptr) return NullSolver(where);
    return Guard(where, &solver->error, solver->base, [&] {
        if (result == nullptr) Fail(where, "result is null");
        const bool empty = solver->solver->Rows() == 0;
        if (b == nullptr && !empty) Fail(where, "b is null");
        if (x == nullptr && !empty) Fail(where, "x is null");
        RunSolve(*solver->solver, solver->bridge, solver->history, b, x, *result);
    });
}

qvl3d_code qvl3d_solver_history(const qvl3d_solver* solver, double* history, int capacity, int* length)
{
    constexpr const char* where = "qvl3d_solver_history";
    if (solver == nullptr) return NullSolver(where);
    return Guard(where, &solver->error, solver->base,
                 [&] { CopyHistory(where, solver->history, history, capacity, length); });
}

qvl3d_code qvl3d_solver_size(const qvl3d_solver* solver, int32_t* rows, int64_t* entries)
{
    constexpr const char* where = "qvl3d_solver_size";
    if (solver == nullptr) return NullSolver(where);
    return Guard(where, &solver->error, solver->base, [&] {
        if (rows == nullptr || entries == nullptr) Fail(where, rows == nullptr ? "rows is null" : "entries is null");
        *rows = solver->solver->Rows();
        *entries = solver->entries;
    });
}

void qvl3d_solver_destroy(qvl3d_solver* solver)
{
    delete solver;
}

const char* qvl3d_last_error(const qvl3d_solver* solver)
{
    return solver != nullptr ? solver->error.c_str() : ThreadError().c_str();
}

size_t qvl3d_last_error_copy(const qvl3d_solver* solver, char* text, size_t capacity)
{
    return CopyText(qvl3d_last_error(solver), text, capacity);
}

} // extern "C"
