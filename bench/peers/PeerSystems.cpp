#include "PeerSystems.h"

#include "BoxProblems.h"
#include "MatrixMarket.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace qvl3d {
namespace peers {

namespace {

int BoxEdge(const std::string& descriptor, const std::string& arg)
{
    char* end = nullptr;
    const long edge = std::strtol(arg.c_str(), &end, 10);
    if (arg.empty() || *end != '\0' || edge < 2 || edge > 512)
        throw std::invalid_argument("system '" + descriptor +
                                    "': the box edge must be a whole number of cells, 2..512");
    return static_cast<int>(edge);
}

// Exact comparison: each entry against its mirror, found by binary search in
// the sorted row.
bool IsSymmetric(const host::CSparseMatrix& A)
{
    if (A.nCellTotal != A.nCell) return false;
    for (int i = 1; i <= A.nCell; ++i)
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) {
            const int j = A.col[e];
            const auto first = A.col.begin() + A.RowBegin(j), last = A.col.begin() + A.RowEnd(j);
            const auto it = std::lower_bound(first, last, i);
            if (it == last || *it != i || A.val[static_cast<size_t>(it - A.col.begin())] != A.val[e]) return false;
        }
    return true;
}

} // namespace

CPeerSystem BuildSystem(const std::string& descriptor, const std::string& matrixDir, const std::string& label)
{
    const size_t colon = descriptor.find(':');
    if (colon == std::string::npos)
        throw std::invalid_argument("system '" + descriptor + "': expected poisson:N, convdiff:N or mtx:NAME");
    const std::string kind = descriptor.substr(0, colon), arg = descriptor.substr(colon + 1);

    CPeerSystem s;
    if (kind == "poisson" || kind == "convdiff") {
        const int edge = BoxEdge(descriptor, arg);
        const host::CBox box{edge, edge, edge};
        s.A = kind == "poisson" ? host::Poisson(box) : host::ConvectionDiffusion(box, host::CConvection{});
        s.name = kind + "-" + arg;
        s.isBox = true;
        s.box = box;
    } else if (kind == "mtx") {
        if (arg.empty() || arg.find('/') != std::string::npos)
            throw std::invalid_argument("system '" + descriptor +
                                        "': give the matrix by name, without folder or suffix");
        s.A = host::ReadMatrixMarket(matrixDir + "/" + arg + ".mtx");
        s.name = arg;
    } else {
        throw std::invalid_argument("system '" + descriptor + "': unknown kind '" + kind +
                                    "' (expected poisson, convdiff or mtx)");
    }
    if (!label.empty()) s.name = label;
    host::SortRows(s.A);
    s.symmetric = IsSymmetric(s.A);

    // A smooth known solution that is neither constant nor aligned with the
    // grid, so that no method gets it for free.
    const int n = s.A.nCell;
    s.x.assign(static_cast<size_t>(n) + 1, 0.0);
    s.b.assign(static_cast<size_t>(n) + 1, 0.0);
    for (int i = 1; i <= n; ++i) s.x[i] = 1.0 + 0.5 * std::sin(0.37 * i);
    host::Multiply(s.A, s.x.data(), s.b.data());
    double sumSq = 0.0;
    for (int i = 1; i <= n; ++i) sumSq += s.b[i] * s.b[i];
    s.normB = std::sqrt(sumSq);
    return s;
}

double SquaredResidual(const host::CSparseMatrix& A, const double* x, const double* b, int firstRow, int lastRow)
{
    double sumSq = 0.0;
    for (int i = firstRow; i <= lastRow; ++i) {
        double ax = 0.0;
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) ax += A.val[e] * x[A.col[e]];
        const double r = b[i] - ax;
        sumSq += r * r;
    }
    return sumSq;
}

double TrueRelativeResidual(const CPeerSystem& s, const double* x)
{
    return std::sqrt(SquaredResidual(s.A, x, s.b.data(), 1, s.A.nCell)) / s.normB;
}

double RelativeError(const CPeerSystem& s, const double* x)
{
    double err = 0.0, scale = 0.0;
    for (int i = 1; i <= s.A.nCell; ++i) {
        const double d = std::fabs(x[i] - s.x[i]);
        if (std::isnan(d)) return d;
        err = std::max(err, d);
        scale = std::max(scale, std::fabs(s.x[i]));
    }
    return scale > 0.0 ? err / scale : err;
}

} // namespace peers
} // namespace qvl3d
