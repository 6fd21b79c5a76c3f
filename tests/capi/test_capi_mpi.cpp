// The distributed C interface (qvl3d_mpi.h) under mpiexec: the bits of the
// distributed front door from rows in either base, given as ranges or as id
// lists, across create, update and solve; and a refusal on one rank
// reaching every rank with the same code.
#include "MatrixMarket.h"
#include "MpiSupport.h"
#include <qvl3d/DistributedSolve.h>
#include <qvl3d/qvl3d_mpi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using namespace qvl3d;
using test::BitEqual;
using test::Rank;
using test::Ranks;

namespace {

using Id = std::int64_t;
const MPI_Comm kWorld = MPI_COMM_WORLD;

// This rank's block of rows of A as a C host holds them: offsets, global
// columns and ids counted from base, and its right-hand side.
struct CShare {
    int base = 0;
    Id first = 0;
    std::vector<Id> rowptr, col, ids;
    std::vector<double> val, b;
    std::int32_t Rows() const { return static_cast<std::int32_t>(ids.size()); }
};

CShare ShareOf(const host::CSparseMatrix& A, int base)
{
    const int P = Ranks(), rank = Rank();
    const Id N = A.nCell, begin = N * rank / P, end = N * (rank + 1) / P;
    CShare s;
    s.base = base;
    s.first = begin + base;
    s.rowptr.push_back(base);
    for (Id id = begin; id < end; ++id) {
        const int i = static_cast<int>(id) + 1;
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) {
            s.col.push_back(A.col[static_cast<size_t>(e)] - 1 + base);
            s.val.push_back(A.val[static_cast<size_t>(e)]);
        }
        s.rowptr.push_back(static_cast<Id>(s.col.size()) + base);
        s.ids.push_back(id + base);
        s.b.push_back(1.0 + std::sin(0.37 * static_cast<double>(id)));
    }
    return s;
}

qvl3d_code Create(const CShare& s, bool list, const qvl3d_options& o, qvl3d_dsolver** solver)
{
    return qvl3d_dsolver_create(MPI_Comm_c2f(kWorld), s.Rows(), s.rowptr.data(), s.col.data(), s.val.data(), s.base,
                                list ? s.ids.data() : nullptr, s.first, &o, solver);
}

// Every rank's code, the same on all of them.
bool SameOnAllRanks(int code)
{
    int low = code, high = code;
    MPI_Allreduce(MPI_IN_PLACE, &low, 1, MPI_INT, MPI_MIN, kWorld);
    MPI_Allreduce(MPI_IN_PLACE, &high, 1, MPI_INT, MPI_MAX, kWorld);
    return low == high;
}

// Every rank's message, the same text on all of them (rank 0's sent to all).
bool SameOnAllRanks(const std::string& text)
{
    int length = static_cast<int>(text.size());
    MPI_Bcast(&length, 1, MPI_INT, 0, kWorld);
    std::string first = text;
    first.resize(static_cast<size_t>(length));
    MPI_Bcast(&first[0], length, MPI_CHAR, 0, kWorld);
    return SameOnAllRanks(first == text ? 1 : 0) && first == text;
}

void ExpectSameSolve(const CSolveResult& want, const std::vector<double>& wantX, const qvl3d_result& got,
                     const std::vector<double>& gotX, qvl3d_dsolver* solver)
{
    EXPECT_EQ(got.status, static_cast<int>(want.status));
    EXPECT_EQ(got.converged, want.Converged() ? 1 : 0);
    EXPECT_EQ(got.iterations, want.iterations);
    EXPECT_TRUE(BitEqual(got.initial_residual, want.initialResidual));
    EXPECT_TRUE(BitEqual(got.final_residual, want.finalResidual));
    EXPECT_TRUE(BitEqual(got.relative_residual, want.relativeResidual));
    EXPECT_TRUE(std::equal(gotX.begin(), gotX.end(), wantX.begin(), wantX.end(), BitEqual));
    std::vector<double> history(want.history.size() + 1);
    int length = -1;
    EXPECT_EQ(qvl3d_dsolver_history(solver, history.data(), static_cast<int>(history.size()), &length), QVL3D_OK);
    ASSERT_EQ(length, static_cast<int>(want.history.size()));
    EXPECT_TRUE(std::equal(want.history.begin(), want.history.end(), history.begin(), BitEqual));
}

} // namespace

// qvl3d_dsolver_* against CDistributedSolver on the same rows and options:
// a solve, new values, a second solve, with rows counted from 0 and from 1.
TEST(CApiMpi, TheDistributedFrontDoorsBitsInEitherBase)
{
    struct CCase {
        const char* matrix;
        bool list; // the rows as an id list, else as a range
        EMethod method;
        EPreconditioner precond;
        ELayout layout;
    };
    const CCase cases[] = {
        {"pde900.mtx", false, EMethod::BiCgStab, EPreconditioner::Dilu, ELayout::Csr},
        {"pde900.mtx", true, EMethod::GaussSeidel, EPreconditioner::None, ELayout::Native},
        {"gr_30_30.mtx", true, EMethod::Cg, EPreconditioner::Diagonal, ELayout::Ell},
        {"gr_30_30.mtx", false, EMethod::BiCgStab, EPreconditioner::None, ELayout::Csr},
    };
    for (const CCase& c : cases) {
        const host::CSparseMatrix A = host::ReadMatrixMarket(test::MatrixPath(c.matrix));
        CSolveOptions o;
        o.method = c.method;
        o.preconditioner = c.precond;
        o.layout = c.layout;
        o.rtol = 1e-10;
        o.maxIter = 300;
        qvl3d_options co;
        qvl3d_options_default(&co);
        co.method = static_cast<int>(c.method);
        co.preconditioner = static_cast<int>(c.precond);
        co.layout = static_cast<int>(c.layout);
        co.rtol = o.rtol;
        co.max_iter = o.maxIter;

        const CShare zero = ShareOf(A, 0);
        std::vector<double> halved(zero.val);
        for (double& v : halved) v *= 0.5;
        CDistributedSolver cpp(kWorld, CGlobalRows{zero.Rows(), zero.rowptr.data(), zero.col.data(), zero.val.data()},
                               c.list ? COwnership::List(zero.ids.data()) : COwnership::Range(zero.first), o);
        std::vector<double> want1(zero.b.size(), 0.0), want2(zero.b.size(), 0.0);
        const CSolveResult r1 = cpp.Solve(zero.b.data(), want1.data());
        cpp.Update(halved.data());
        const CSolveResult r2 = cpp.Solve(zero.b.data(), want2.data());

        for (int base : {0, 1}) {
            SCOPED_TRACE(std::string(c.matrix) + " " + Find(c.method)->word + "/" + Find(c.precond)->word + "/" +
                         Find(c.layout)->word + (c.list ? " ids" : " range") + " base " + std::to_string(base));
            const CShare s = ShareOf(A, base);
            qvl3d_dsolver* solver = nullptr;
            const qvl3d_code created = Create(s, c.list, co, &solver);
            EXPECT_EQ(created, QVL3D_OK) << qvl3d_dsolver_last_error(nullptr);
            if (created != QVL3D_OK) continue; // on every rank: the code is agreed
            std::vector<double> x1(s.b.size(), 0.0), x2(s.b.size(), 0.0);
            qvl3d_result g1{}, g2{};
            EXPECT_EQ(qvl3d_dsolver_solve(solver, s.b.data(), x1.data(), &g1), QVL3D_OK);
            ExpectSameSolve(r1, want1, g1, x1, solver);
            EXPECT_EQ(qvl3d_dsolver_update(solver, halved.data()), QVL3D_OK);
            EXPECT_EQ(qvl3d_dsolver_solve(solver, s.b.data(), x2.data(), &g2), QVL3D_OK);
            ExpectSameSolve(r2, want2, g2, x2, solver);
            EXPECT_TRUE(SameOnAllRanks(g2.iterations));
            qvl3d_dsolver_destroy(solver);
        }
    }
}

// Bad input on the last rank alone: every rank returns the same code and
// the same message, the last rank's, naming it; nobody hangs. One fault the
// distributed front door refuses (which ones there are is its tests'), and
// the interface's own checks.
TEST(CApiMpi, ARefusalOnOneRankReachesEveryRank)
{
    const int last = Ranks() - 1;
    const bool mine = Rank() == last;
    const host::CSparseMatrix A = host::ReadMatrixMarket(test::MatrixPath("pde900.mtx"));
    qvl3d_options o;
    qvl3d_options_default(&o);
    struct CCase {
        const char* name;
        std::function<void(CShare&)> spoil; // applied on the last rank only
        bool atSolve;                       // the fault shows in the solve, else in create
        qvl3d_code code;
        const char* text; // in the one message of every rank
    };
    const CCase cases[] = {
        {"a column below the base", [](CShare& s) { s.col[0] = s.base - 1; }, false, QVL3D_INVALID_ARGUMENT,
         "is below"},
        {"a value that is not finite", [](CShare& s) { s.val[0] = NAN; }, false, QVL3D_REFUSED, "finite"},
        {"b is null", [](CShare& s) { s.b.clear(); }, true, QVL3D_INVALID_ARGUMENT, "b is null"},
    };
    for (const CCase& c : cases)
        for (int base : {0, 1}) {
            SCOPED_TRACE(std::string(c.name) + ", base " + std::to_string(base));
            CShare s = ShareOf(A, base);
            if (mine) c.spoil(s);
            qvl3d_dsolver* solver = reinterpret_cast<qvl3d_dsolver*>(&s); // create must reset it
            qvl3d_code code = Create(s, false, o, &solver);
            std::string message = qvl3d_dsolver_last_error(nullptr);
            if (c.atSolve) {
                EXPECT_EQ(code, QVL3D_OK);
                std::vector<double> x(static_cast<size_t>(s.Rows()), 0.0);
                qvl3d_result r;
                code = qvl3d_dsolver_solve(solver, s.b.empty() ? nullptr : s.b.data(), x.data(), &r);
                message = qvl3d_dsolver_last_error(solver);
                qvl3d_dsolver_destroy(solver);
            } else {
                EXPECT_EQ(solver, nullptr);
            }
            EXPECT_EQ(code, c.code) << message;
            EXPECT_TRUE(SameOnAllRanks(code));
            EXPECT_TRUE(SameOnAllRanks(message)) << message;
            EXPECT_NE(message.find("rank " + std::to_string(last) + ": "), std::string::npos) << message;
            EXPECT_NE(message.find(c.text), std::string::npos) << message;
        }
}
