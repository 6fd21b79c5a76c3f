#include "Reference.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qvl3d {
namespace oracle {

namespace {

const double kGuard = 1e-30;

using Part = std::vector<std::pair<int, double>>;

// The off-diagonal entries of row i below the diagonal (upper = false) or
// above it, halo columns included, in the order the layout's DILU visits
// them.
Part PartOf(const CMatrix& A, const CLayoutRules& rules, int i, bool upper)
{
    Part part;
    for (const auto& entry : A.rows[i].off)
        if (upper ? entry.first > i : entry.first < i) part.push_back(entry);
    if (rules.orderedLists)
        std::stable_sort(part.begin(), part.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return part;
}

// The entries of row j among which the DILU build looks for column i.
Part PartnerCandidates(const CMatrix& A, const CLayoutRules& rules, int j)
{
    if (rules.orderedLists) return PartOf(A, rules, j, false);
    return A.rows[j].off;
}

void BuildDilu(const CMatrix& A, const CLayoutRules& rules, double* D)
{
    const int n = A.n;
    for (int i = 1; i <= n; ++i) D[i] = A.rows[i].diag;
    for (int i = 1; i <= n; ++i) {
        const double guarded = D[i] + kGuard;
        D[i] = 1.0 / guarded;
        for (const auto& [j, a_ij] : PartOf(A, rules, i, true)) {
            if (rules.orderedLists && a_ij == 0.0) continue;
            if (j > n) continue;
            for (const auto& [column, a_ji] : PartnerCandidates(A, rules, j)) {
                if (column != i) continue;
                const double product = a_ji * D[i];
                const double update = product * a_ij;
                D[j] = D[j] - update;
                break; // only the first match counts
            }
        }
    }
}

// Row i of A times v without the diagonal: a * v[column] in storage order,
// summed from 0.0.
double OffDiagonalProduct(const CMatrix& A, int i, const double* v)
{
    double s = 0.0;
    for (const auto& [column, a] : A.rows[i].off) {
        const double term = a * v[column];
        s = s + term;
    }
    return s;
}

// One iteration's progress line of the conjugate gradient.
std::string ProgressLine(int k, double res, int ivarb)
{
    char line[96];
    std::snprintf(line, sizeof line, "%4d %8.5le ivarb=%d\n", k, res, ivarb);
    return line;
}

} // namespace

CLayoutRules RulesOf(ELayout layout)
{
    CLayoutRules rules;
    rules.orderedLists = layout != ELayout::Csr;
    rules.markers = layout != ELayout::Ell;
    rules.honoursNonBlocking = layout != ELayout::Native;
    return rules;
}

double CEnvironment::Sum(double local)
{
    calls.push_back("Sum");
    handedToSum.push_back(local);
    return sum ? sum(local) : local;
}

void CEnvironment::Exchange(double* v, const std::string& name, bool nonBlocking)
{
    if (nonBlocking) {
        calls.push_back("Start0 " + name);
        calls.push_back("Wait0 " + name);
    } else {
        calls.push_back("Exch " + name);
    }
    if (fillHalo) fillHalo(v);
}

double RowProduct(const CMatrix& A, int i, const double* v)
{
    double s = A.rows[i].diag * v[i];
    for (const auto& [column, a] : A.rows[i].off) {
        const double term = v[column] * a;
        s = s + term;
    }
    return s;
}

void BuildPreconditioner(const CMatrix& A, const CLayoutRules& rules, int type, double* D)
{
    if (type == 1) {
        BuildDilu(A, rules, D);
    } else if (type == 3) {
        for (int i = 1; i <= A.n; ++i) {
            const double guarded = A.rows[i].diag + kGuard;
            D[i] = 1.0 / guarded;
        }
    }
    // Any other type, 0 and 2 included: nothing is written.
}

// Types other than 0, 1 and 3 (2 included) copy z = r like type 0: this
// project's choice where the method leaves that type open, so that a solve
// never iterates on what an earlier one left in z.
void ApplyPreconditioner(const CMatrix& A, const CLayoutRules& rules, int type, double* z, const double* r,
                         const double* D, double* y)
{
    const int n = A.n;
    if (type == 1) {
        for (int i = 1; i <= n; ++i) { // forward sweep: (D* + L) y = r
            double s = 0.0;
            for (const auto& [j, a] : PartOf(A, rules, i, false)) {
                if (j > n) continue;
                const double term = a * y[j];
                s = s + term;
            }
            const double difference = r[i] - s;
            y[i] = difference * D[i];
        }
        for (int i = n; i >= 1; --i) { // backward sweep: (I + D*^-1 U) z = y
            double s = 0.0;
            for (const auto& [j, a] : PartOf(A, rules, i, true)) {
                if (j > n) continue;
                const double term = a * z[j];
                s = s + term;
            }
            const double scaled = s * D[i];
            z[i] = y[i] - scaled;
        }
    } else if (type == 3) {
        for (int i = 1; i <= n; ++i) z[i] = r[i] * D[i];
    } else {
        for (int i = 1; i <= n; ++i) z[i] = r[i];
    }
}

void GaussSeidel(const CMatrix& A, const CLayoutRules& rules, CStore& S, CEnvironment& env, int ivarb, double* x,
                 const double* b)
{
    if (S.maxIter[ivarb] < 1) return;
    const int n = A.n;
    const bool nonBlocking = rules.honoursNonBlocking && S.nonBlocking;
    auto marker = [&](const char* text) {
        if (rules.markers) env.Print(text);
    };
    double res0 = 0.0;
    int iter = 1;
    for (;;) {
        for (int i = 1; i <= n; ++i) { // the sweep, x as it stands
            const double s = OffDiagonalProduct(A, i, x);
            const double d = A.rows[i].diag;
            const double dx = d * x[i];
            const double first = b[i] - dx;
            const double second = first - s;
            const double step = second / d;
            x[i] = step + x[i];
        }
        double sumSq = 0.0;
        for (int i = 1; i <= n; ++i) { // the residual, before the exchange
            const double s = OffDiagonalProduct(A, i, x);
            const double dx = A.rows[i].diag * x[i];
            const double first = b[i] - dx;
            const double ri = first - s;
            const double square = ri * ri;
            sumSq = sumSq + square;
        }
        const double local = std::sqrt(sumSq);
        marker("1 \n");
        if (rules.markers) {
            char line[64];
            std::snprintf(line, sizeof line, "resn=%e\n", local);
            env.Print(line);
        }
        const double res = env.Sum(local); // a sum of partition norms
        marker("2 \n");
        if (iter == 1) res0 = res;
        S.residual0[ivarb] = res0;
        const double ratio = res / res0;
        marker("3 \n");
        if (ivarb == 6) {
            S.solutionMax = -1e30;
            S.solutionMin = 1e30;
            for (int i = 1; i <= n; ++i) {
                if (x[i] > S.solutionMax) S.solutionMax = x[i];
                if (S.solutionMin > x[i]) S.solutionMin = x[i];
            }
        }
        marker("4 \n");
        env.Exchange(x, "x", nonBlocking);
        marker("5 \n");
        if (S.tolerance[ivarb] > ratio) return;
        iter = iter + 1;
        if (iter > S.maxIter[ivarb]) return; // the limit is read again
    }
}

// End state: z holds M^-1 r of the last iteration that ran (formed at its
// start, from the r before its update), and for DILU the work vector holds
// the forward sweep of that same r.
void Pcg(const CMatrix& A, const CLayoutRules& rules, CStore& S, CEnvironment& env, int ivarb, double* x,
         const double* b)
{
    const int n = A.n;
    const int K = S.maxIter[ivarb];
    const bool nonBlocking = rules.honoursNonBlocking && S.nonBlocking;
    double* r = S.r.data();
    double* z = S.z.data();
    double* p = S.p.data();
    double* q = S.q.data();
    double* D = S.precondDiag.data();
    double rhoOld = 1e20;
    for (int i = 1; i <= n; ++i) {
        r[i] = RowProduct(A, i, x);
        r[i] = b[i] - r[i];
        p[i] = 0.0;
    }
    BuildPreconditioner(A, rules, S.precondType, D);
    if (K < 1) return;
    for (int k = 1;; ++k) {
        ApplyPreconditioner(A, rules, S.precondType, z, r, D, S.precondWork.data());
        double rho = 0.0;
        for (int i = 1; i <= n; ++i) {
            const double term = r[i] * z[i];
            rho = rho + term;
        }
        rho = env.Sum(rho);
        const double beta = rho / (rhoOld + kGuard);
        for (int i = 1; i <= n; ++i) {
            const double scaled = beta * p[i];
            p[i] = scaled + z[i];
        }
        env.Exchange(p, "p", nonBlocking);
        double pq = 0.0;
        for (int i = 1; i <= n; ++i) {
            q[i] = RowProduct(A, i, p);
            const double term = p[i] * q[i];
            pq = pq + term;
        }
        pq = env.Sum(pq);
        const double alpha = rho / (pq + kGuard);
        double rr = 0.0;
        for (int i = 1; i <= n; ++i) {
            const double dx = alpha * p[i];
            x[i] = dx + x[i];
            const double dr = alpha * q[i];
            r[i] = r[i] - dr;
            const double square = r[i] * r[i];
            rr = rr + square;
        }
        const double res = std::sqrt(env.Sum(rr)); // square root after the global sum
        rhoOld = rho;
        if (k == 1) S.residual0[ivarb] = res;
        // An interval below 1 prints nothing: this project's choice where the
        // method leaves it open.
        const bool due = S.printInterval >= 1 && k % S.printInterval == 0;
        if (S.silent == 0 && due && S.printSolver != 0) env.Print(ProgressLine(k, res, ivarb));
        if (S.residual0[ivarb] * S.tolerance[ivarb] > res) return;
        if (k + 1 > K) return;
    }
}

void BiCgStab(const CMatrix& A, const CLayoutRules& rules, CStore& S, CEnvironment& env, int ivarb, double* x,
              const double* b)
{
    const int n = A.n;
    const int K = S.maxIter[ivarb];
    const bool nonBlocking = rules.honoursNonBlocking && S.nonBlocking;
    double* r = S.r.data();
    double* r0hat = S.r0hat.data();
    double* p = S.p.data();
    double* phat = S.phat.data();
    double* v = S.z.data();
    double* s = S.q.data();
    double* shat = S.shat.data();
    double* t = S.t.data();
    double* D = S.precondDiag.data();
    double* y = S.precondWork.data();

    double sum = 0.0;
    for (int i = 1; i <= n; ++i) {
        r[i] = RowProduct(A, i, x);
        r[i] = b[i] - r[i];
        r0hat[i] = r[i];
        const double square = r[i] * r[i];
        sum = sum + square;
    }
    const double norm0 = std::sqrt(env.Sum(sum));
    if (norm0 == 0.0) {
        S.residual0[ivarb] = 0.0;
        return;
    }
    BuildPreconditioner(A, rules, S.precondType, D);
    if (K < 1) return;

    double rho = 0.0, alpha = 0.0, omega = 0.0;
    for (int k = 1;; ++k) {
        const double rhoPrev = rho;
        double local = 0.0;
        for (int i = 1; i <= n; ++i) {
            const double term = r0hat[i] * r[i];
            local = local + term;
        }
        rho = env.Sum(local);
        if (rho == 0.0) return;

        if (k == 1) {
            for (int i = 1; i <= n; ++i) p[i] = r[i];
        } else {
            const double ratioRho = rho / (rhoPrev + kGuard);
            const double ratioStep = alpha / (omega + kGuard);
            const double beta = ratioRho * ratioStep;
            if (beta == 0.0) return;
            for (int i = 1; i <= n; ++i) {
                const double ov = omega * v[i];
                const double difference = p[i] - ov;
                const double scaled = difference * beta;
                p[i] = scaled + r[i];
            }
        }
        ApplyPreconditioner(A, rules, S.precondType, phat, p, D, y);
        env.Exchange(phat, "phat", nonBlocking);

        local = 0.0;
        for (int i = 1; i <= n; ++i) {
            v[i] = RowProduct(A, i, phat);
            const double term = r0hat[i] * v[i];
            local = local + term;
        }
        const double sigma = env.Sum(local);
        if (sigma == 0.0) return;
        alpha = rho / (sigma + kGuard);
        if (alpha == 0.0) return;

        for (int i = 1; i <= n; ++i) {
            const double dx = alpha * phat[i];
            x[i] = x[i] + dx; // the half step, stored
            const double av = alpha * v[i];
            s[i] = r[i] - av;
        }
        ApplyPreconditioner(A, rules, S.precondType, shat, s, D, y);
        env.Exchange(shat, "shat", nonBlocking);

        double tt = 0.0, ts = 0.0;
        for (int i = 1; i <= n; ++i) {
            t[i] = RowProduct(A, i, shat);
            const double square = t[i] * t[i];
            tt = tt + square;
            const double term = s[i] * t[i];
            ts = ts + term;
        }
        tt = env.Sum(tt);
        ts = env.Sum(ts);
        if (tt == 0.0) return;
        omega = ts / (tt + kGuard);
        if (omega == 0.0) return;

        local = 0.0;
        for (int i = 1; i <= n; ++i) {
            const double dx = omega * shat[i];
            x[i] = x[i] + dx;
            const double ot = omega * t[i];
            r[i] = s[i] - ot;
            const double square = r[i] * r[i];
            local = local + square;
        }
        const double norm = std::sqrt(env.Sum(local));
        if (k == 1) S.residual0[ivarb] = norm;
        S.iterCount[ivarb] = k;
        if (S.residual0[ivarb] * S.tolerance[ivarb] >= norm) return;
        if (k + 1 > K) return;
    }
}

// Codes: 2 BiCGSTAB, 3 conjugate gradient (the ELL entry point runs it on
// the native rows), 4 Gauss-Seidel, 5 BiCGSTAB with the diagonal
// preconditioner (the native entry point also sets the limit to 1000000), 6
// the same on the native rows without the limit. The ELL entry point has no
// codes 5 and 6. Any other code does nothing.
void Solve(const CMatrix& A, ELayout layout, int code, CStore& S, CEnvironment& env, int ivarb, double* x,
           const double* b)
{
    const CLayoutRules rules = RulesOf(layout);
    if (code == 2) BiCgStab(A, rules, S, env, ivarb, x, b);
    if (code == 3) Pcg(A, RulesOf(layout == ELayout::Ell ? ELayout::Native : layout), S, env, ivarb, x, b);
    if (code == 4) GaussSeidel(A, rules, S, env, ivarb, x, b);
    if ((code == 5 || code == 6) && layout != ELayout::Ell) {
        S.precondType = 3;
        if (code == 5 && layout == ELayout::Native) S.maxIter[ivarb] = 1000000;
        BiCgStab(A, code == 6 ? RulesOf(ELayout::Native) : rules, S, env, ivarb, x, b);
    }
}

} // namespace oracle
} // namespace qvl3d
