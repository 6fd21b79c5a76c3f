#include "TestSupport.h"
#include "TestCsr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <utility>

void CRecordingTransport::Exchange(double* v)
{
    calls.push_back("Exch");
    exchanged.push_back(v);
    if (fillHalo) fillHalo(v);
}

void CRecordingTransport::Start(double* v, QVLNonBlockingBufferId id)
{
    calls.push_back("Start" + std::to_string(static_cast<int>(id)));
    exchanged.push_back(v);
}

void CRecordingTransport::Wait(double* v, QVLNonBlockingBufferId id)
{
    calls.push_back("Wait" + std::to_string(static_cast<int>(id)));
    exchanged.push_back(v);
    if (fillHalo) fillHalo(v);
}

double CRecordingTransport::Sum(double local)
{
    calls.push_back("Sum");
    return sum ? sum(local) : local;
}

namespace qvl3d {
namespace test {

const char* LayoutName(ELayout layout)
{
    switch (layout) {
    case ELayout::Native: return "Native";
    case ELayout::Csr: return "Csr";
    case ELayout::Ell: return "Ell";
    }
    return "?";
}

CBoundSystem::CBoundSystem(const host::CSparseMatrix& A, int nVariables)
    : transport(std::make_shared<CRecordingTransport>()), host(A, nVariables), commu(transport), com(transport)
{
    if (host.Bind(solver, commu, com) != 0) throw std::runtime_error("binding failed");
}

void CBoundSystem::Solve(ELayout layout, int ivarb, int lsolv, double* x, double* b)
{
    switch (layout) {
    case ELayout::Native: solver.Solver(ivarb, lsolv, x, b, 0); break;
    case ELayout::Csr: solver.Solver_CSR(ivarb, lsolv, x, b, 0); break;
    case ELayout::Ell: solver.Solver_ELL(ivarb, lsolv, x, b, 0); break;
    }
}

host::CSparseMatrix ThreeCellExample(double a11, double a12, double a22, double a21, double a23, double a33, double a32,
                                     double a34)
{
    return FromDense({{a11, a12}, {a21, a22, a23}, {0.0, a32, a33, a34}}, 4);
}

std::vector<double> DenseSolve(const host::CSparseMatrix& A, const std::vector<double>& b)
{
    const int n = A.nCell;
    std::vector<double> M(static_cast<size_t>(n) * n, 0.0), x(b.begin(), b.begin() + n + 1);
    for (int i = 1; i <= n; ++i)
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e)
            if (A.col[e] <= n) M[static_cast<size_t>(i - 1) * n + (A.col[e] - 1)] += A.val[e];
    auto at = [&](int r, int c) -> double& { return M[static_cast<size_t>(r) * n + c]; };
    for (int k = 0; k < n; ++k) {
        int pivot = k;
        for (int r = k + 1; r < n; ++r)
            if (std::fabs(at(r, k)) > std::fabs(at(pivot, k))) pivot = r;
        if (at(pivot, k) == 0.0) throw std::runtime_error("singular matrix");
        for (int c = 0; c < n; ++c) std::swap(at(k, c), at(pivot, c));
        std::swap(x[k + 1], x[pivot + 1]);
        for (int r = k + 1; r < n; ++r) {
            const double f = at(r, k) / at(k, k);
            for (int c = k; c < n; ++c) at(r, c) -= f * at(k, c);
            x[r + 1] -= f * x[k + 1];
        }
    }
    for (int k = n - 1; k >= 0; --k) {
        double s = x[k + 1];
        for (int c = k + 1; c < n; ++c) s -= at(k, c) * x[c + 1];
        x[k + 1] = s / at(k, k);
    }
    return x;
}

std::vector<double> RhsForOnes(const host::CSparseMatrix& A)
{
    std::vector<double> ones(static_cast<size_t>(A.nCellTotal) + 1, 1.0), b(static_cast<size_t>(A.nCell) + 1, 0.0);
    host::Multiply(A, ones.data(), b.data());
    b[0] = 0.0;
    return b;
}

std::string CaptureStdout(const std::function<void()>& f)
{
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

host::CSparseMatrix FromDense(const std::vector<std::vector<double>>& rows, int nCellTotal)
{
    const int n = static_cast<int>(rows.size());
    host::CSparseBuilder builder(n, std::max(n, nCellTotal));
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= static_cast<int>(rows[i - 1].size()); ++j) {
            const double a = rows[i - 1][j - 1];
            if (j == i || a != 0.0) builder.Add(i, j, a);
        }
    return builder.Finish();
}

double TrueResidualNorm(const host::CSparseMatrix& A, const double* x, const double* b)
{
    std::vector<double> ax(static_cast<size_t>(A.nCell) + 1);
    host::Multiply(A, x, ax.data());
    double sum = 0.0;
    for (int i = 1; i <= A.nCell; ++i) sum += (b[i] - ax[i]) * (b[i] - ax[i]);
    return std::sqrt(sum);
}

std::string MatrixPath(const std::string& name)
{
    const char* dir = std::getenv("QVL3D_MATRICES");
    return std::string(dir != nullptr ? dir : QVL3D_MATRICES_DEFAULT) + "/" + name;
}

bool BitEqual(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::vector<Entries> Rows(const host::CSparseMatrix& A)
{
    std::vector<Entries> rows(static_cast<size_t>(A.nCell));
    for (int i = 1; i <= A.nCell; ++i)
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) rows[i - 1].emplace_back(A.col[e], A.val[e]);
    return rows;
}

CCsr ToCsr(const host::CSparseMatrix& A, int base)
{
    CCsr C;
    C.rows = A.nCell;
    C.base = base;
    C.start.assign(1, base);
    C.start64.assign(1, base);
    for (int i = 1; i <= A.nCell; ++i) {
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) {
            C.col.push_back(A.col[e] - 1 + base);
            C.val.push_back(A.val[e]);
        }
        C.start.push_back(static_cast<std::int32_t>(C.col.size()) + base);
        C.start64.push_back(C.start.back());
    }
    return C;
}

CCsr CsrFromDense(const std::vector<std::vector<double>>& rows)
{
    return ToCsr(FromDense(rows));
}

host::CSparseMatrix ToHost(const CCsr& A)
{
    host::CSparseMatrix M;
    M.nCell = M.nCellTotal = A.rows;
    for (std::int32_t s : A.start) M.rowStart.push_back(s - A.base);
    for (std::int32_t c : A.col) M.col.push_back(c + 1 - A.base);
    M.val = A.val;
    return M;
}

CCsr Shuffled(CCsr A, unsigned seed)
{
    std::mt19937 gen(seed);
    for (int i = 0; i < A.rows; ++i) {
        std::vector<std::pair<std::int32_t, double>> row;
        for (int e = A.start[i] - A.base; e < A.start[i + 1] - A.base; ++e) row.emplace_back(A.col[e], A.val[e]);
        std::shuffle(row.begin(), row.end(), gen);
        for (size_t k = 0; k < row.size(); ++k)
            std::tie(A.col[A.start[i] - A.base + k], A.val[A.start[i] - A.base + k]) = row[k];
    }
    return A;
}

void ExpectSamePartition(const host::CPartition& got, const host::CPartition& want, const std::string& where)
{
    EXPECT_EQ(got.rank, want.rank) << where;
    EXPECT_EQ(got.nParts, want.nParts) << where;
    EXPECT_EQ(got.A.nCell, want.A.nCell) << where;
    EXPECT_EQ(got.A.nCellTotal, want.A.nCellTotal) << where;
    EXPECT_EQ(got.A.rowStart, want.A.rowStart) << where;
    EXPECT_EQ(got.A.col, want.A.col) << where;
    ASSERT_EQ(got.A.val.size(), want.A.val.size()) << where;
    for (size_t e = 0; e < want.A.val.size(); ++e)
        ASSERT_TRUE(BitEqual(got.A.val[e], want.A.val[e]))
            << where << ": entry " << e << " is " << got.A.val[e] << ", not " << want.A.val[e];
    EXPECT_EQ(got.global, want.global) << where;
    EXPECT_EQ(got.plan.nCell, want.plan.nCell) << where;
    EXPECT_EQ(got.plan.nCellTotal, want.plan.nCellTotal) << where;
    ASSERT_EQ(got.plan.neighbours.size(), want.plan.neighbours.size()) << where;
    for (size_t k = 0; k < want.plan.neighbours.size(); ++k) {
        const CHaloNeighbour &w = want.plan.neighbours[k], &g = got.plan.neighbours[k];
        EXPECT_EQ(g.rank, w.rank) << where << ": neighbour " << k;
        EXPECT_EQ(g.send, w.send) << where << ": sends to rank " << w.rank;
        EXPECT_EQ(g.recv, w.recv) << where << ": receives from rank " << w.rank;
    }
}

CScratchDir::CScratchDir()
{
    std::string name = (std::filesystem::temp_directory_path() / "qvl3d-test-XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("no scratch folder");
    m_path = name;
}

CScratchDir::~CScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

} // namespace test
} // namespace qvl3d
