// The C interface: the front door's bits through either index base and
// either offset width, every refusal with its code and message, the
// monitor's stop, the table's words, and no leak over many solvers.
#include "MatrixMarket.h"
#include <qvl3d/Solve.h>
#include <qvl3d/qvl3d.h>
#include "TestCsr.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

using namespace qvl3d;
using test::BitEqual;
using test::CCsr;

namespace {

// The 1-D Laplacian of n cells, its diagonal last in every row.
CCsr Chain(int n, int base)
{
    CCsr A;
    A.rows = n;
    A.base = base;
    A.start = {base};
    for (int i = 0; i < n; ++i) {
        for (int j : {i - 1, i + 1})
            if (j >= 0 && j < n) {
                A.col.push_back(j + base);
                A.val.push_back(-1.0);
            }
        A.col.push_back(i + base);
        A.val.push_back(2.5);
        A.start.push_back(static_cast<std::int32_t>(A.col.size()) + base);
    }
    A.start64.assign(A.start.begin(), A.start.end());
    return A;
}

std::vector<double> Rhs(int n)
{
    std::vector<double> b(n);
    for (int i = 0; i < n; ++i) b[i] = 1.0 + std::sin(0.37 * i);
    return b;
}

qvl3d_options COptions(int method, int precond, int layout, int maxIter)
{
    qvl3d_options o;
    EXPECT_EQ(qvl3d_options_default(&o), QVL3D_OK);
    o.method = method;
    o.preconditioner = precond;
    o.layout = layout;
    o.max_iter = maxIter;
    return o;
}

} // namespace

// The same x, status, iterations, norms and history as CSolver on the
// repository's matrices, from 0- and 1-based rows and from 32- and 64-bit
// offsets, for every method, preconditioner and layout.
TEST(CApi, TheFrontDoorsBitsInEitherBase)
{
    // Every word on every matrix, each combination through one of the four
    // ways in (base 0 or 1, 32- or 64-bit offsets), in turn.
    int turn = 0;
    for (const char* name : {"pde900.mtx", "gr_30_30.mtx", "sherman1.mtx"}) {
        const host::CSparseMatrix M = host::ReadMatrixMarket(test::MatrixPath(name));
        const CCsr zero = test::ToCsr(M, 0), one = test::ToCsr(M, 1);
        const std::vector<double> b = Rhs(M.nCell);
        for (EMethod m : Ids(kMethods))
            for (EPreconditioner p : Ids(kPreconditioners))
                for (ELayout l : Ids(kLayouts)) {
                    if (!Find(m)->takesPreconditioner && p != EPreconditioner::None) continue;
                    const int way = turn++ % 4;
                    CSolveOptions o;
                    o.method = m;
                    o.preconditioner = p;
                    o.layout = l;
                    o.maxIter = 60;
                    std::vector<double> want(b.size(), 0.0);
                    CSolveResult r;
                    try {
                        CSolver cpp(zero.View(), o);
                        r = cpp.Solve(b.data(), want.data());
                    } catch (const std::invalid_argument&) {
                        continue; // the conjugate gradient on an unsymmetric pattern: refused alike below
                    }
                    const qvl3d_options co =
                        COptions(static_cast<int>(m), static_cast<int>(p), static_cast<int>(l), 60);
                    const CCsr* A = way < 2 ? &zero : &one;
                    const bool wide = way % 2 == 1;
                    {
                        const std::string what = std::string(name) + " " + Find(m)->word + "/" + Find(p)->word + "/" +
                                                 Find(l)->word + " base " + std::to_string(A->base) +
                                                 (wide ? " int64" : " int32");
                        qvl3d_solver* s = nullptr;
                        const qvl3d_code made = wide ? qvl3d_solver_create64(A->rows, A->start64.data(), A->col.data(),
                                                                             A->val.data(), A->base, &co, &s)
                                                     : qvl3d_solver_create(A->rows, A->start.data(), A->col.data(),
                                                                           A->val.data(), A->base, &co, &s);
                        ASSERT_EQ(made, QVL3D_OK) << what << ": " << qvl3d_last_error(nullptr);
                        std::vector<double> x(b.size(), 0.0);
                        qvl3d_result cr;
                        ASSERT_EQ(qvl3d_solver_solve(s, b.data(), x.data(), &cr), QVL3D_OK) << what;
                        EXPECT_EQ(cr.status, static_cast<int>(r.status)) << what;
                        EXPECT_EQ(cr.converged, r.Converged() ? 1 : 0) << what;
                        EXPECT_EQ(cr.iterations, r.iterations) << what;
                        EXPECT_TRUE(BitEqual(cr.final_residual, r.finalResidual)) << what;
                        EXPECT_TRUE(BitEqual(cr.initial_residual, r.initialResidual)) << what;
                        for (size_t i = 0; i < x.size(); ++i)
                            ASSERT_TRUE(BitEqual(x[i], want[i])) << what << " x[" << i << "]";
                        std::vector<double> h(r.history.size() + 1, -1.0);
                        int length = 0;
                        ASSERT_EQ(qvl3d_solver_history(s, h.data(), static_cast<int>(h.size()), &length), QVL3D_OK);
                        ASSERT_EQ(length, static_cast<int>(r.history.size())) << what;
                        EXPECT_EQ(cr.history_length, length) << what;
                        for (int k = 0; k < length; ++k) EXPECT_TRUE(BitEqual(h[k], r.history[k])) << what;
                        EXPECT_EQ(h[length], -1.0) << what << ": written past the history";
                        qvl3d_solver_destroy(s);
                    }
                }
    }
}

// Every refusal of the interface's own checks: its code, and a message
// naming the fault and where, in the caller's base; *solver is null after a
// failed create. What the front door refuses passes through as
// QVL3D_REFUSED with its message (one case: which refusals there are is the
// front door's tests' business), its rows and entries counted from 0.
TEST(CApi, RefusalsNameTheFault)
{
    const CCsr one = Chain(4, 1); // rowptr 1 3 6 9 11, columns 2 1 | 1 3 2 | 2 4 3 | 3 4
    using Edit = std::function<void(CCsr&, qvl3d_options&)>;
    const struct {
        Edit edit;
        qvl3d_code code;
        const char* message;
    } cases[] = {
        {[](CCsr& A, qvl3d_options&) { A.base = 2; }, QVL3D_INVALID_ARGUMENT, "index base 2 is neither"},
        {[](CCsr& A, qvl3d_options&) { A.rows = -1; }, QVL3D_INVALID_ARGUMENT, "row count -1 is negative"},
        {[](CCsr& A, qvl3d_options&) { A.base = 0; }, QVL3D_INVALID_ARGUMENT, "rowptr[0] is 1, not the index base 0"},
        {[](CCsr& A, qvl3d_options&) { A.start[2] = 2; }, QVL3D_INVALID_ARGUMENT,
         "row 2: its end offset 2 is below its start 3"},
        {[](CCsr& A, qvl3d_options&) { A.col[2] = 0; }, QVL3D_INVALID_ARGUMENT,
         "row 2, entry 3: column 0 is outside 1..4"},
        {[](CCsr& A, qvl3d_options&) {
             A = test::ToCsr(test::ToHost(A), 0);
             A.col[8] = 4;
         },
         QVL3D_INVALID_ARGUMENT, "row 3, entry 8: column 4 is outside 0..3"},
        {[](CCsr&, qvl3d_options& o) { o.method = 7; }, QVL3D_INVALID_ARGUMENT,
         "options->method is 7, not one of 0..5 (bicgstab, pcg, gs, gmres, fgmres, amg)"},
        {[](CCsr&, qvl3d_options& o) { o.preconditioner = static_cast<int>(std::size(kPreconditioners)); },
         QVL3D_INVALID_ARGUMENT, "options->preconditioner is 5"},
        {[](CCsr&, qvl3d_options& o) { o.reference = 2; }, QVL3D_INVALID_ARGUMENT, "options->reference is 2"},
        {[](CCsr& A, qvl3d_options&) { A.val[6] = std::numeric_limits<double>::quiet_NaN(); }, QVL3D_REFUSED,
         "qvl3d_solver_create: qvl3d::CSolver: row 2, entry 6: value nan is not finite (rows and entries counted "
         "from 0)"},
    };
    for (const auto& c : cases) {
        CCsr A = one;
        qvl3d_options o = COptions(0, -1, 0, 100);
        c.edit(A, o);
        int stale = 0;
        qvl3d_solver* s = reinterpret_cast<qvl3d_solver*>(&stale); // a value create must clear
        EXPECT_EQ(qvl3d_solver_create(A.rows, A.start.data(), A.col.data(), A.val.data(), A.base, &o, &s), c.code)
            << c.message;
        EXPECT_EQ(s, nullptr) << c.message;
        EXPECT_HAS(qvl3d_last_error(nullptr), c.message);
        EXPECT_HAS(qvl3d_last_error(nullptr), "qvl3d_solver_create: ");
        qvl3d_solver_destroy(s);
    }
    // Null pointers, at create and on a built solver.
    qvl3d_solver* s = nullptr;
    EXPECT_EQ(qvl3d_solver_create(4, one.start.data(), one.col.data(), nullptr, 1, nullptr, &s),
              QVL3D_INVALID_ARGUMENT);
    EXPECT_HAS(qvl3d_last_error(nullptr), "val is null");
    EXPECT_EQ(qvl3d_solver_create(4, one.start.data(), one.col.data(), one.val.data(), 1, nullptr, nullptr),
              QVL3D_INVALID_ARGUMENT);
    EXPECT_HAS(qvl3d_last_error(nullptr), "the solver pointer is null");
}

// The messages of the calls on a solver, each checked after its own call.
TEST(CApi, EachSolverCallSaysWhatIsWrong)
{
    const CCsr one = Chain(4, 1);
    qvl3d_solver* s = nullptr;
    ASSERT_EQ(qvl3d_solver_create(4, one.start.data(), one.col.data(), one.val.data(), 1, nullptr, &s), QVL3D_OK);
    std::vector<double> b(4, 1.0), x(4, 0.0), hist(4);
    std::vector<double> nanVal = one.val;
    nanVal[1] = std::numeric_limits<double>::infinity();
    qvl3d_result r;
    int length = 0;
    struct {
        const char* what;
        std::function<qvl3d_code()> call;
        qvl3d_code code;
        const char* message;
    } calls[] = {
        {"b null", [&] { return qvl3d_solver_solve(s, nullptr, x.data(), &r); }, QVL3D_INVALID_ARGUMENT,
         "qvl3d_solver_solve: b is null"},
        {"x null", [&] { return qvl3d_solver_solve(s, b.data(), nullptr, &r); }, QVL3D_INVALID_ARGUMENT,
         "qvl3d_solver_solve: x is null"},
        {"result null", [&] { return qvl3d_solver_solve(s, b.data(), x.data(), nullptr); }, QVL3D_INVALID_ARGUMENT,
         "qvl3d_solver_solve: result is null"},
        {"update null", [&] { return qvl3d_solver_update(s, nullptr); }, QVL3D_INVALID_ARGUMENT,
         "qvl3d_solver_update: val is null"},
        {"update not finite", [&] { return qvl3d_solver_update(s, nanVal.data()); }, QVL3D_REFUSED,
         "qvl3d_solver_update: "},
        {"history null", [&] { return qvl3d_solver_history(s, nullptr, 3, &length); }, QVL3D_INVALID_ARGUMENT,
         "history is null with a capacity of 3"},
        {"history negative", [&] { return qvl3d_solver_history(s, hist.data(), -1, &length); }, QVL3D_INVALID_ARGUMENT,
         "capacity -1 is negative"},
        {"history length null", [&] { return qvl3d_solver_history(s, hist.data(), 4, nullptr); },
         QVL3D_INVALID_ARGUMENT, "length is null"},
    };
    for (const auto& c : calls) {
        EXPECT_EQ(c.call(), c.code) << c.what;
        EXPECT_HAS(qvl3d_last_error(s), c.message);
        EXPECT_STREQ(qvl3d_last_error(s), qvl3d_last_error(nullptr)) << c.what;
    }
    b[2] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(qvl3d_solver_solve(s, b.data(), x.data(), &r), QVL3D_REFUSED);
    EXPECT_HAS(qvl3d_last_error(s), "qvl3d_solver_solve: ");
    b[2] = 1.0;
    ASSERT_EQ(qvl3d_solver_solve(s, b.data(), x.data(), &r), QVL3D_OK);
    EXPECT_STREQ(qvl3d_last_error(s), "") << "a call that succeeds clears the solver's message";
    EXPECT_EQ(r.converged, 1);
    char small[8];
    EXPECT_EQ(qvl3d_last_error_copy(nullptr, small, sizeof small), std::string(qvl3d_last_error(nullptr)).size());
    EXPECT_EQ(std::string(small), std::string(qvl3d_last_error(nullptr)).substr(0, 7));
    qvl3d_solver_destroy(s);
    EXPECT_EQ(qvl3d_solver_solve(nullptr, b.data(), x.data(), &r), QVL3D_INVALID_ARGUMENT);
    EXPECT_STREQ(qvl3d_last_error(nullptr), "qvl3d_solver_solve: the solver is null");
    EXPECT_EQ(qvl3d_solver_update(nullptr, one.val.data()), QVL3D_INVALID_ARGUMENT);
    EXPECT_EQ(qvl3d_options_default(nullptr), QVL3D_INVALID_ARGUMENT);
}

// A nonzero return of the monitor stops the solve after that iteration: x
// as it was, status interrupted, the norms seen so far as the history.
TEST(CApi, TheMonitorStopsTheSolve)
{
    const CCsr A = Chain(200, 0);
    struct CSeen {
        int calls = 0;
        int stopAt = 3;
    } seen;
    qvl3d_options o = COptions(QVL3D_METHOD_GS, QVL3D_PRECONDITIONER_DEFAULT, QVL3D_LAYOUT_CSR, 1000);
    o.monitor = [](void* user, int iteration, double) -> int {
        auto* s = static_cast<CSeen*>(user);
        ++s->calls;
        return iteration == s->stopAt ? 1 : 0;
    };
    o.monitor_data = &seen;
    qvl3d_solver* s = nullptr;
    ASSERT_EQ(qvl3d_solver_create(A.rows, A.start.data(), A.col.data(), A.val.data(), 0, &o, &s), QVL3D_OK);
    const std::vector<double> b = Rhs(A.rows);
    std::vector<double> x(A.rows, 0.25);
    qvl3d_result r;
    ASSERT_EQ(qvl3d_solver_solve(s, b.data(), x.data(), &r), QVL3D_OK) << qvl3d_last_error(s);
    EXPECT_EQ(r.status, QVL3D_STATUS_INTERRUPTED);
    EXPECT_EQ(r.converged, 0);
    EXPECT_EQ(r.iterations, 3);
    EXPECT_EQ(seen.calls, 3);
    for (double v : x) ASSERT_EQ(v, 0.25);
    int length = 0;
    ASSERT_EQ(qvl3d_solver_history(s, nullptr, 0, &length), QVL3D_OK);
    EXPECT_EQ(length, 3);
    // Never stopping: the monitor sees every iteration of a converged solve.
    seen = CSeen{0, -1};
    ASSERT_EQ(qvl3d_solver_solve(s, b.data(), x.data(), &r), QVL3D_OK);
    EXPECT_EQ(r.converged, 1);
    EXPECT_EQ(seen.calls, r.iterations);
    qvl3d_solver_destroy(s);
}

// The words of the table and of the statuses, both ways.
TEST(CApi, WordsAndStatuses)
{
    const struct {
        const char *method, *precond, *layout;
        int m, p, l;
    } good[] = {
        {"bicgstab", "dilu", "csr", 0, 0, 0},
        {"pcg", "diagonal", "native", 1, 1, 1},
        {"gs", "none", "ell", 2, 2, 2},
        {"gmres", "ilu0", "csr", 3, QVL3D_PRECONDITIONER_ILU0, 0},
    };
    for (const auto& g : good) {
        qvl3d_options o = COptions(0, -1, 0, 10);
        ASSERT_EQ(qvl3d_options_set_words(&o, g.method, g.precond, g.layout), QVL3D_OK);
        EXPECT_EQ(o.method, g.m);
        EXPECT_EQ(o.preconditioner, g.p);
        EXPECT_EQ(o.layout, g.l);
        EXPECT_STREQ(qvl3d_method_word(g.m), g.method);
        EXPECT_STREQ(qvl3d_preconditioner_word(g.p), g.precond);
        EXPECT_STREQ(qvl3d_layout_word(g.l), g.layout);
    }
    const struct {
        const char *method, *precond, *layout, *message;
    } bad[] = {
        {"cg", nullptr, nullptr, "unknown method 'cg' (bicgstab, pcg, gs, gmres, fgmres, amg)"},
        {nullptr, "ilu", nullptr, "unknown preconditioner 'ilu' (dilu, diagonal, none, ilu0, amg)"},
        {"gs", "none", "coo", "unknown layout 'coo' (csr, native, ell)"},
    };
    for (const auto& w : bad) {
        qvl3d_options o = COptions(0, -1, 0, 10);
        EXPECT_EQ(qvl3d_options_set_words(&o, w.method, w.precond, w.layout), QVL3D_INVALID_ARGUMENT);
        EXPECT_HAS(qvl3d_last_error(nullptr), w.message);
        EXPECT_EQ(o.method, 0) << "nothing changes on an unknown word";
    }
    EXPECT_EQ(qvl3d_method_word(static_cast<int>(std::size(kMethods))), nullptr);
    EXPECT_STREQ(qvl3d_method_word(QVL3D_METHOD_AMG), "amg");
    EXPECT_STREQ(qvl3d_preconditioner_word(QVL3D_PRECONDITIONER_AMG), "amg");
    EXPECT_STREQ(qvl3d_preconditioner_word(QVL3D_PRECONDITIONER_DEFAULT), "default");
    for (int s = QVL3D_STATUS_CONVERGED; s <= QVL3D_STATUS_BREAKDOWN_KRYLOV; ++s) {
        EXPECT_STREQ(qvl3d_status_name(s), StatusName(static_cast<EStatus>(s)));
        EXPECT_STREQ(qvl3d_status_text(s), StatusText(static_cast<EStatus>(s)));
    }
    EXPECT_STREQ(qvl3d_status_name(QVL3D_STATUS_ZERO_RHS), "zero_rhs");
    EXPECT_STREQ(qvl3d_status_name(-1), "unknown");
    EXPECT_STREQ(qvl3d_status_name(QVL3D_STATUS_BREAKDOWN_KRYLOV + 1), "unknown");
}

// Many solvers built, used and freed: the sanitizer build finds any leak,
// refusals included.
TEST(CApi, ManyCyclesLeaveNothingBehind)
{
    const CCsr A = Chain(30, 1);
    const std::vector<double> b = Rhs(A.rows);
    for (int k = 0; k < 1000; ++k) {
        qvl3d_solver* s = nullptr;
        ASSERT_EQ(qvl3d_solver_create(A.rows, A.start.data(), A.col.data(), A.val.data(), 1, nullptr, &s), QVL3D_OK);
        std::vector<double> x(A.rows, 0.0);
        qvl3d_result r;
        ASSERT_EQ(qvl3d_solver_solve(s, b.data(), x.data(), &r), QVL3D_OK);
        ASSERT_EQ(r.converged, 1);
        EXPECT_EQ(qvl3d_solver_update(s, nullptr), QVL3D_INVALID_ARGUMENT);
        qvl3d_solver_destroy(s);
        EXPECT_EQ(qvl3d_solver_create(A.rows, A.start.data(), A.col.data(), A.val.data(), 0, nullptr, &s),
                  QVL3D_INVALID_ARGUMENT);
    }
}
