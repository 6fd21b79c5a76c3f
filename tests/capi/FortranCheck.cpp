// The other half of the Fortran check (fortran_check.f90):
//   FortranCheck write MATRIX SYSTEM  writes the matrix (rows counted from 1)
//                                     and a right-hand side for the Fortran
//                                     program, every value with 17 digits;
//   FortranCheck check MATRIX SOLVES  solves the same system through qvl3d.h
//                                     with the same options and compares the
//                                     Fortran program's solves with its own,
//                                     status, iterations and x bit for bit.
// The options below are the Fortran program's; both must change together.
#include "MatrixMarket.h"
#include <qvl3d/qvl3d.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

using namespace qvl3d;

namespace {

std::vector<double> Rhs(int n)
{
    std::vector<double> b(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) b[static_cast<size_t>(i)] = 1.0 + std::sin(0.37 * i);
    return b;
}

int Write(const host::CSparseMatrix& A, const char* path)
{
    FILE* f = std::fopen(path, "w");
    if (f == nullptr) return 2;
    std::fprintf(f, "%d %zu\n", A.nCell, A.col.size());
    for (int s : A.rowStart) std::fprintf(f, "%d\n", s + 1);
    for (size_t e = 0; e < A.col.size(); ++e) std::fprintf(f, "%d %.17g\n", A.col[e], A.val[e]);
    for (double v : Rhs(A.nCell)) std::fprintf(f, "%.17g\n", v);
    return std::fclose(f) == 0 ? 0 : 2;
}

// Solves A x = b from x = 0 through the C interface; 32- or 64-bit offsets.
bool Solve(const host::CSparseMatrix& A, bool wide, qvl3d_result& r, std::vector<double>& x)
{
    qvl3d_options o;
    qvl3d_options_default(&o);
    qvl3d_options_set_words(&o, "bicgstab", "diagonal", "ell");
    o.rtol = 1e-12;
    o.atol = 1e-7; // the larger bound: the stop depends on it
    o.max_iter = 400;
    std::vector<std::int32_t> rowptr, col;
    std::vector<std::int64_t> rowptr64;
    for (int s : A.rowStart) {
        rowptr.push_back(s + 1);
        rowptr64.push_back(s + 1);
    }
    col.assign(A.col.begin(), A.col.end());
    qvl3d_solver* s = nullptr;
    const qvl3d_code c = wide ? qvl3d_solver_create64(A.nCell, rowptr64.data(), col.data(), A.val.data(), 1, &o, &s)
                              : qvl3d_solver_create(A.nCell, rowptr.data(), col.data(), A.val.data(), 1, &o, &s);
    x.assign(static_cast<size_t>(A.nCell), 0.0);
    const std::vector<double> b = Rhs(A.nCell);
    const bool ok = c == QVL3D_OK && qvl3d_solver_solve(s, b.data(), x.data(), &r) == QVL3D_OK;
    if (!ok) std::fprintf(stderr, "FortranCheck: %s\n", qvl3d_last_error(nullptr));
    qvl3d_solver_destroy(s);
    return ok;
}

// The Fortran program's file: per solve "status iterations", then x.
int Check(const host::CSparseMatrix& A, const char* path)
{
    std::ifstream in(path);
    int failures = 0;
    for (bool wide : {false, true}) {
        const char* what = wide ? "create64" : "create";
        qvl3d_result want{};
        std::vector<double> x;
        if (!Solve(A, wide, want, x)) return 2;
        int status = -1, iterations = -1;
        in >> status >> iterations;
        if (!in || status != want.status || iterations != want.iterations || want.iterations < 2) {
            std::fprintf(stderr, "%s: Fortran status %d after %d iterations, C %d after %d\n", what, status, iterations,
                         want.status, want.iterations);
            ++failures;
        }
        std::vector<std::string> text(x.size());
        for (std::string& t : text) in >> t;
        for (size_t i = 0; i < x.size(); ++i) {
            const double got = std::strtod(text[i].c_str(), nullptr);
            if (!in || std::memcmp(&got, &x[i], sizeof got) != 0) {
                std::fprintf(stderr, "%s: x[%zu] is '%s' in Fortran, %.17g in C\n", what, i + 1, text[i].c_str(), x[i]);
                ++failures;
                break;
            }
        }
    }
    if (failures == 0) std::printf("FortranCheck: the Fortran solves have the C interface's bits\n");
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || (std::strcmp(argv[1], "write") != 0 && std::strcmp(argv[1], "check") != 0)) {
        std::fprintf(stderr, "usage: FortranCheck write|check MATRIX FILE\n");
        return 2;
    }
    const host::CSparseMatrix A = host::ReadMatrixMarket(argv[2]);
    return std::strcmp(argv[1], "write") == 0 ? Write(A, argv[3]) : Check(A, argv[3]);
}
