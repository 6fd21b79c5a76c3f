// The aggregation multigrid's iterations and set-up cost: plain against
// smoothed aggregation on Poisson boxes and on matrix files, and the set-up
// after Update against a fresh one.
//
//     bench_amg [--plain-too] [--update] [--setup] [--construct=KIND] [EDGE | FILE.mtx] ...
//
// For each problem (b = A * 1, x = 0, rtol 1e-8 against ||b||): the front
// door's AMG-preconditioned conjugate gradient (or BiCGSTAB where the matrix
// is not symmetric), its iterations, levels and complexities, and the
// set-up wall time. --plain-too adds plain aggregation, run through a
// conjugate gradient of this program's own over the same levels. --update
// times CSolver::Update with the same pattern against a fresh construction.
// --setup builds the levels alone (CAmgHierarchy), fresh and then by Update
// with new values of the same pattern, and nothing else: for an instruction
// count of each (valgrind --tool=callgrind, the two constructors' and
// Update's inclusive costs). --construct=KIND builds the front door from
// the CSR rows and nothing else, KIND one of default (BiCGSTAB with DILU),
// cg-amg and bicgstab-amg: for an instruction count of the constructor
// (callgrind --toggle-collect='qvl3d::CSolver::CSolver*').
// The times are wall-clock times of one run: on a busy machine they say so.
#include "AmgHierarchy.h"
#include "BoxProblems.h"
#include "MatrixMarket.h"
#include <qvl3d/Solve.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

using namespace qvl3d;

namespace {

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct CProblem {
    std::string name;
    host::CSparseMatrix A;
};

bool Symmetric(const host::CSparseMatrix& A)
{
    std::vector<std::pair<std::pair<int, int>, double>> e, t;
    for (int i = 1; i <= A.nCell; ++i)
        for (int k = A.RowBegin(i); k < A.RowEnd(i); ++k) {
            e.push_back({{i, A.col[k]}, A.val[k]});
            t.push_back({{A.col[k], i}, A.val[k]});
        }
    std::sort(e.begin(), e.end());
    std::sort(t.begin(), t.end());
    for (size_t k = 0; k < e.size(); ++k)
        if (e[k].first != t[k].first || std::fabs(e[k].second - t[k].second) > 1e-12 * std::fabs(e[k].second))
            return false;
    return true;
}

amg::CSparse Level(const host::CSparseMatrix& M)
{
    return amg::LevelFrom(
        M.nCell,
        [&](int i) {
            for (int k = M.RowBegin(i); k < M.RowEnd(i); ++k)
                if (M.col[k] == i) return M.val[k];
            return 0.0;
        },
        [&](int i, auto&& f) {
            for (int k = M.RowBegin(i); k < M.RowEnd(i); ++k)
                if (M.col[k] != i) f(M.col[k], M.val[k]);
        });
}

// A conjugate gradient of this program's own with one V-cycle as its
// preconditioner; returns the iterations to rtol 1e-8 against ||b||.
int OwnPcg(const host::CSparseMatrix& M, amg::CAmgHierarchy& h, const std::vector<double>& b)
{
    const int n = M.nCell;
    std::vector<double> x(n + 1, 0.0), r(b), z(n + 1, 0.0), p(n + 1, 0.0), q(n + 1, 0.0);
    double bb = 0.0;
    for (int i = 1; i <= n; ++i) bb += b[i] * b[i];
    double rhoOld = 0.0;
    for (int k = 1; k <= 500; ++k) {
        h.Cycle(r.data(), z.data());
        double rho = 0.0;
        for (int i = 1; i <= n; ++i) rho += r[i] * z[i];
        for (int i = 1; i <= n; ++i) p[i] = z[i] + (k == 1 ? 0.0 : rho / rhoOld) * p[i];
        host::Multiply(M, p.data(), q.data());
        double pq = 0.0, rr = 0.0;
        for (int i = 1; i <= n; ++i) pq += p[i] * q[i];
        for (int i = 1; i <= n; ++i) {
            x[i] += rho / pq * p[i];
            r[i] -= rho / pq * q[i];
            rr += r[i] * r[i];
        }
        rhoOld = rho;
        if (std::sqrt(rr) <= 1e-8 * std::sqrt(bb)) return k;
    }
    return -1;
}

void Shape(const CMultigridSummary& m)
{
    std::printf("    levels %zu:", m.rows.size());
    for (size_t l = 0; l < m.rows.size(); ++l)
        std::printf(" %d/%lld", m.rows[l], static_cast<long long>(m.nonZeros[l]));
    std::printf("\n    operator complexity %.3f, grid complexity %.3f, set-up %.3f s\n", m.operatorComplexity,
                m.gridComplexity, m.setupSeconds);
}

void SetupOnly(const CProblem& p)
{
    amg::CSparse A = Level(p.A), B = A;
    for (double& v : B.val) v *= 1.5;
    const double t0 = Now();
    amg::CAmgHierarchy h(std::move(A));
    const double fresh = Now() - t0;
    const double t1 = Now();
    h.Update(std::move(B));
    std::printf("%s: levels %d, fresh set-up %.4f s, Update %.4f s (ratio %.2f)\n", p.name.c_str(), h.Levels(), fresh,
                Now() - t1, (Now() - t1) / fresh);
}

// The front door of `kind` built from p's rows, and nothing else.
bool ConstructOnly(const CProblem& p, const std::string& kind)
{
    const host::CSparseMatrix& M = p.A;
    std::vector<int> col(M.col.size());
    for (size_t k = 0; k < col.size(); ++k) col[k] = M.col[k] - 1;
    const CCsrView view{M.nCell, M.rowStart.data(), nullptr, col.data(), M.val.data()};
    CSolveOptions o;
    if (kind == "cg-amg" || kind == "bicgstab-amg") o.preconditioner = EPreconditioner::Amg;
    if (kind == "cg-amg") o.method = EMethod::Cg;
    if (kind != "default" && !o.preconditioner) {
        std::fprintf(stderr, "bench_amg: construct '%s' is none of default, cg-amg, bicgstab-amg\n", kind.c_str());
        return false;
    }
    const double t0 = Now();
    const CSolver solver(view, o);
    std::printf("%s: %s construction %.3f s, %lld entries\n", p.name.c_str(), kind.c_str(), Now() - t0,
                static_cast<long long>(solver.NonZeros()));
    return true;
}

void Run(const CProblem& p, bool plainToo, bool update)
{
    const host::CSparseMatrix& M = p.A;
    const int n = M.nCell;
    std::vector<int> rowStart(M.rowStart), col(M.col.size());
    for (size_t k = 0; k < col.size(); ++k) col[k] = M.col[k] - 1;
    const CCsrView view{n, rowStart.data(), nullptr, col.data(), M.val.data()};
    std::vector<double> ones(n + 1, 1.0), b(n + 1, 0.0);
    host::Multiply(M, ones.data(), b.data());
    const bool symmetric = Symmetric(M);
    CSolveOptions o;
    o.method = symmetric ? EMethod::Cg : EMethod::BiCgStab;
    o.preconditioner = EPreconditioner::Amg;
    o.maxIter = 1000;
    const double t0 = Now();
    CSolver solver(view, o);
    const double built = Now() - t0;
    std::vector<double> x(n, 0.0);
    const CSolveResult r = solver.Solve(b.data() + 1, x.data());
    std::printf("%s: %d rows, %s+amg (smoothed) %d iterations, %s, relative residual %.2e\n", p.name.c_str(), n,
                symmetric ? "pcg" : "bicgstab", r.iterations, StatusName(r.status), r.relativeResidual);
    std::printf("    construction %.3f s, solve %.3f s\n", built, r.seconds);
    if (r.multigrid) Shape(*r.multigrid);
    if (update) {
        std::vector<double> values(M.val);
        for (double& v : values) v *= 1.5;
        const double u0 = Now();
        solver.Update(values.data());
        std::printf("    Update (same pattern) %.3f s against construction %.3f s\n", Now() - u0, built);
    }
    if (plainToo && symmetric) {
        for (bool smoothed : {false, true}) {
            amg::CAmgSettings s;
            s.smoothed = smoothed;
            const double s0 = Now();
            amg::CAmgHierarchy h(Level(M), s);
            const double setup = Now() - s0;
            const amg::CAmgShape shape = h.Shape();
            std::printf("    %-8s own pcg %3d iterations, levels %d, operator complexity %.3f, set-up %.3f s\n",
                        smoothed ? "smoothed" : "plain", OwnPcg(M, h, b), h.Levels(), shape.operatorComplexity, setup);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    bool plainToo = false, update = false, setup = false;
    std::string construct;
    std::vector<CProblem> problems;
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (a == "--plain-too") {
            plainToo = true;
        } else if (a == "--update") {
            update = true;
        } else if (a == "--setup") {
            setup = true;
        } else if (a.rfind("--construct=", 0) == 0) {
            construct = a.substr(12);
        } else if (a.size() > 4 && a.substr(a.size() - 4) == ".mtx") {
            problems.push_back({a.substr(a.find_last_of('/') + 1), host::ReadMatrixMarket(a)});
        } else {
            const int e = std::atoi(a.c_str());
            if (e < 2) {
                std::fprintf(stderr, "bench_amg: '%s' is neither an edge above 1 nor a .mtx file\n", a.c_str());
                return 2;
            }
            problems.push_back({"poisson " + a + "^3", host::Poisson(host::CBox{e, e, e})});
        }
    }
    for (const CProblem& p : problems)
        if (!construct.empty()) {
            if (!ConstructOnly(p, construct)) return 2;
        } else if (setup)
            SetupOnly(p);
        else
            Run(p, plainToo, update);
    return 0;
}
