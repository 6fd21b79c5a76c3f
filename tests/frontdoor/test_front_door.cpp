// The front door (Solve.h): every exit reached by a system built for it,
// each refusal named, Update equal to a fresh solver, the same bits as the
// entry points under their own rule, not a byte on the console, and norms
// that survive extreme scales.
#include "BoxProblems.h"
#include "MatrixMarket.h"
#include <qvl3d/Solve.h>
#include "TestCsr.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using namespace qvl3d;
using test::BitEqual;
using test::CCsr;
using test::Refusal;
using test::Shuffled;
using test::ToHost;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Every diagonal stored, other entries where not zero.
CCsr FromDense(const std::vector<std::vector<double>>& rows)
{
    return test::CsrFromDense(rows);
}

std::vector<double> Rhs(int n)
{
    std::vector<double> b(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) b[i] = 1.0 + 0.125 * (i % 5) - 0.0625 * (i % 3);
    return b;
}

CSolveOptions Options(EMethod method, EPreconditioner p, ELayout layout, int maxIter = 10000, double rtol = 1e-8)
{
    CSolveOptions o;
    o.method = method;
    if (Find(method)->takesPreconditioner) o.preconditioner = p;
    o.layout = layout;
    o.maxIter = maxIter;
    o.rtol = rtol;
    return o;
}

CSolveResult SolveWith(const CCsr& A, const CSolveOptions& o, const std::vector<double>& b, std::vector<double>& x)
{
    CSolver solver(A.View(), o);
    return solver.Solve(b.data(), x.data());
}

std::string Name(EMethod m, std::optional<EPreconditioner> p, ELayout l)
{
    return std::string(Find(m)->name) + "/" + Find(PreconditionerFor(m, p))->name + "/" + Find(l)->name;
}

// Runs f and returns what reached file descriptors 1 and 2.
std::string CaptureDescriptors(const std::function<void()>& f)
{
    testing::internal::CaptureStderr();
    std::string out;
    try {
        out = test::CaptureStdout(f);
    } catch (...) {
        testing::internal::GetCapturedStderr();
        throw;
    }
    return out + testing::internal::GetCapturedStderr();
}

// A renumbered, row-shuffled box: convection-diffusion, or Poisson for the
// conjugate gradient.
CCsr Box(bool symmetric)
{
    const host::CBox box{6, 5, 4};
    const host::CSparseMatrix A = symmetric ? host::Poisson(box) : host::ConvectionDiffusion(box, host::CConvection{});
    return Shuffled(test::ToCsr(host::RenumberCells(A, host::Renumbering(120, host::ERenumber::Random, 7))), 11);
}

} // namespace

// Each exit of the methods and of the front door itself, reached by a system
// built for it. Bounds: RightHandSide unless said.
TEST(FrontDoor, EveryStatusFromASystemThatReachesIt)
{
    const host::CSparseMatrix P = host::Poisson(host::CBox{4, 3, 3});
    const CCsr poisson = test::ToCsr(P);
    const std::vector<double> ones(36, 1.0), b1 = test::RhsForOnes(P), exact(b1.begin() + 1, b1.end()); // A * ones
    using V = std::vector<double>;
    const V none; // x0 = 0
    auto with = [](EMethod m, EPreconditioner p, int maxIter, double rtol = 1e-8,
                   EReference r = EReference::RightHandSide) {
        CSolveOptions o = Options(m, p, ELayout::Csr, maxIter, rtol);
        o.reference = r;
        return o;
    };
    auto unlimited = [](CSolveOptions o) {
        o.divtol = HUGE_VAL;
        return o;
    };
    const struct {
        const char* name;
        CCsr A;
        std::vector<double> b, x0;
        CSolveOptions options;
        EStatus status;
        int iterations; // -1: any
    } cases[] = {
        {"converged", poisson, Rhs(36), none, with(EMethod::BiCgStab, EPreconditioner::Dilu, 100), EStatus::Converged,
         -1},
        {"converged, x0 already meets the bound", poisson, exact, ones, with(EMethod::Cg, EPreconditioner::Dilu, 100),
         EStatus::Converged, 0},
        {"iteration_limit at a limit of 1", poisson, Rhs(36), none,
         with(EMethod::GaussSeidel, EPreconditioner::None, 1), EStatus::IterationLimit, 1},
        {"iteration_limit at a limit of 3", poisson, Rhs(36), none, with(EMethod::Cg, EPreconditioner::None, 3, 1e-15),
         EStatus::IterationLimit, 3},
        {"zero_rhs: x = 0 whatever x0 was", poisson, std::vector<double>(36, 0.0), ones,
         with(EMethod::BiCgStab, EPreconditioner::Dilu, 100), EStatus::ZeroRightHandSide, 0},
        {"zero_initial_residual (the first-iteration rule)", FromDense({{2, 0}, {0, 4}}), V{2, 4}, V{1, 1},
         with(EMethod::BiCgStab, EPreconditioner::Dilu, 100, 1e-8, EReference::FirstIteration),
         EStatus::ZeroInitialResidual, 0},
        // r2 is orthogonal to r0hat.
        {"breakdown_rho", FromDense({{3, -2, -3}, {0, 1, -1}, {-2, 2, 3}}), V{1, -1, -1}, none,
         with(EMethod::BiCgStab, EPreconditioner::None, 100), EStatus::BreakdownRho, 2},
        // r0 . A r0 = 1 - 1.
        {"breakdown_sigma", FromDense({{1, 0}, {0, -1}}), V{1, 1}, none,
         with(EMethod::BiCgStab, EPreconditioner::None, 100), EStatus::BreakdownSigma, 0},
        // Unscaled, sigma overflows and alpha = rho / inf = 0; scaled, it solves.
        {"converged: scaled where sigma overflows", FromDense({{1e308, 0}, {0, 1e308}}), V{2, 2}, none,
         with(EMethod::BiCgStab, EPreconditioner::None, 100), EStatus::Converged, -1},
        // The identity with the diagonal: the half step solves it, s = t = 0.
        {"converged: the half step solves it", FromDense({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}), V{1, 2, 3}, none,
         with(EMethod::BiCgStab, EPreconditioner::Diagonal, 100), EStatus::Converged, 0},
        {"breakdown_tt: the same under the first-iteration rule", FromDense({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}),
         V{1, 2, 3}, none, with(EMethod::BiCgStab, EPreconditioner::Diagonal, 100, 1e-8, EReference::FirstIteration),
         EStatus::BreakdownTt, 0},
        // Singular: s = (3, -3) is in the null space, t = 0.
        {"breakdown_tt", FromDense({{-1, -2}, {1, 2}}), V{-1, -2}, none,
         with(EMethod::BiCgStab, EPreconditioner::None, 100), EStatus::BreakdownTt, 0},
        // s = (-1, -1), t = (-1, 1): ts = 0 while tt = 2.
        {"breakdown_omega", FromDense({{1, 0}, {-2, -2}}), V{-2, 2}, none,
         with(EMethod::BiCgStab, EPreconditioner::Diagonal, 100), EStatus::BreakdownOmega, 0},
        // Unscaled, the methods' own sums of squares overflow.
        {"converged: scaled where the sums of squares overflow, conjugate gradient", FromDense({{1, 0}, {0, 1}}),
         V{1e200, 1e200}, none, with(EMethod::Cg, EPreconditioner::None, 100), EStatus::Converged, -1},
        {"converged: scaled where b's squares vanish, Gauss-Seidel", FromDense({{4, -1}, {-1, 4}}), V{3e-170, 3e-170},
         none, with(EMethod::GaussSeidel, EPreconditioner::None, 100), EStatus::Converged, -1},
        // Not diagonally dominant: Gauss-Seidel's residual grows fourfold a
        // sweep, past 1e5 times the initial one at sweep 10.
        {"diverged", FromDense({{1, 2}, {2, 1}}), V{1, 1}, none, with(EMethod::GaussSeidel, EPreconditioner::None, 100),
         EStatus::Diverged, 10},
        {"non_finite: the same without a divergence limit", FromDense({{1, 2}, {2, 1}}), V{1e300, 1e300}, none,
         unlimited(with(EMethod::GaussSeidel, EPreconditioner::None, 1000)), EStatus::NonFinite, -1},
        // p . A p = 1 - 1; then p . A p changing sign.
        {"indefinite", FromDense({{1, 0}, {0, -1}}), V{1, 1}, none, with(EMethod::Cg, EPreconditioner::None, 100),
         EStatus::Indefinite, 0},
        {"indefinite: p . A p changes sign", FromDense({{2, 1, 0}, {1, -3, 1}, {0, 1, 2}}), V{1, 0, 0}, none,
         with(EMethod::Cg, EPreconditioner::None, 100), EStatus::Indefinite, 1},
        // Definite of the other sign: the conjugate gradient still serves.
        {"converged: negative definite", FromDense({{-4, 1, 0}, {1, -4, 1}, {0, 1, -4}}), V{1, 2, 3}, none,
         with(EMethod::Cg, EPreconditioner::Dilu, 100), EStatus::Converged, -1},
        // A zero DILU pivot (1 - 1 * 1 * 1): the method's residual runs away.
        {"diverged: a zero pivot", FromDense({{1, 1, 0}, {1, 1, 1}, {0, 1, 3}}), V{2, 3, 4}, none,
         with(EMethod::BiCgStab, EPreconditioner::Dilu, 100), EStatus::Diverged, -1},
    };
    for (const auto& c : cases)
        for (ELayout layout : Ids(kLayouts)) {
            const std::string what =
                std::string(c.name) + " " + Name(c.options.method, c.options.preconditioner, layout);
            CSolveOptions o = c.options;
            o.layout = layout;
            std::vector<double> x = c.x0.empty() ? std::vector<double>(c.b.size(), 0.0) : c.x0;
            const CSolveResult r = SolveWith(c.A, o, c.b, x);
            EXPECT_EQ(StatusName(r.status), std::string(StatusName(c.status))) << what;
            if (c.iterations >= 0) {
                EXPECT_EQ(r.iterations, c.iterations) << what;
            }
            EXPECT_EQ(r.history.size(), static_cast<size_t>(r.iterations)) << what;
            EXPECT_EQ(r.Converged(), c.status == EStatus::Converged || c.status == EStatus::ZeroRightHandSide ||
                                         c.status == EStatus::ZeroInitialResidual)
                << what;
            if (c.status == EStatus::Converged) {
                EXPECT_LE(r.relativeResidual, 1e-7) << what;
            }
            if (c.status == EStatus::ZeroRightHandSide) {
                EXPECT_EQ(x, std::vector<double>(x.size(), 0.0)) << what;
                EXPECT_GT(r.initialResidual, 0.0) << what;
                EXPECT_EQ(r.finalResidual, 0.0) << what;
            }
        }
}

// The method's norm decides under the right-hand-side rule: the solve stops
// at the first iteration whose norm is at most max(rtol ||b||, atol).
TEST(FrontDoor, TheRightHandSideRuleStopsAtTheFirstNormWithinTheBound)
{
    const CCsr A = Box(false);
    const std::vector<double> b = Rhs(A.rows), x0(b.size(), 0.0);
    double bNorm = 0.0;
    for (double v : b) bNorm += v * v;
    bNorm = std::sqrt(bNorm);
    const std::pair<double, double> bounds[] = {{1e-6, 0.0}, {1e-12, 1e-3}, {0.0, 1e-9}}; // rtol, atol
    for (EMethod m : {EMethod::BiCgStab, EMethod::GaussSeidel})
        for (const auto& [rtol, atol] : bounds) {
            CSolveOptions o = Options(m, EPreconditioner::Dilu, ELayout::Csr, 5000, rtol);
            o.atol = atol;
            std::vector<double> x = x0;
            const CSolveResult r = SolveWith(A, o, b, x);
            const double bound = std::max(rtol * bNorm, atol);
            ASSERT_EQ(r.status, EStatus::Converged) << rtol << " " << atol;
            ASSERT_GE(r.history.size(), 2u);
            EXPECT_LE(r.history.back(), bound);
            EXPECT_GT(r.history[r.history.size() - 2], bound);
        }
}

// Every refusal names what is wrong and where (rows and entries from 0):
// one case for each check (a NaN value is Update's case below, a negative
// rtol the NaN's test).
TEST(FrontDoor, RefusalsNameTheRowAndEntry)
{
    // Row 2 holds (2,1) (2,2) (2,3) at entries 5, 6, 7.
    const CCsr base = FromDense({{4, -1, 0, 0}, {-1, 4, -1, 0}, {0, -1, 4, -1}, {0, 0, -1, 4}});
    using Edit = std::function<void(CCsr&, CSolveOptions&)>;
    const std::pair<Edit, std::string> cases[] = {
        {[](CCsr& A, CSolveOptions&) { A.rows = -1; }, "qvl3d::CSolver: rows is -1, a negative count"},
        {[](CCsr& A, CSolveOptions&) { A.rows = INT32_MAX; },
         "qvl3d::CSolver: 2147483647 rows exceed the int range of the layouts (at most 2147483645)"},
        {[](CCsr& A, CSolveOptions&) { A.start[0] = 1; }, "qvl3d::CSolver: the offsets start at 1, not at 0"},
        {[](CCsr& A, CSolveOptions&) { A.start[3] = 3; }, "qvl3d::CSolver: row 2: the offsets decrease (5 to 3)"},
        {[](CCsr& A, CSolveOptions&) { A.col[7] = 4; }, "qvl3d::CSolver: row 2, entry 7: column 4 is outside 0..3"},
        {[](CCsr& A, CSolveOptions&) { A.col[7] = -1; }, "qvl3d::CSolver: row 2, entry 7: column -1 is outside 0..3"},
        {[](CCsr& A, CSolveOptions&) { A.col[6] = 0; }, "qvl3d::CSolver: row 2 (entries 5..7) has no diagonal entry"},
        {[](CCsr& A, CSolveOptions&) { A.col[7] = 2; },
         "qvl3d::CSolver: row 2: the diagonal appears twice, at entries 6 and 7"},
        {[](CCsr& A, CSolveOptions&) { A.col[7] = 1; },
         "qvl3d::CSolver: row 2: column 1 appears twice, at entries 5 and 7"},
        {[](CCsr& A, CSolveOptions&) { A.val[6] = 0.0; }, "qvl3d::CSolver: row 2, entry 6: the diagonal is 0"},
        {[](CCsr& A, CSolveOptions&) { A.val[6] = -kInf; }, "qvl3d::CSolver: row 2, entry 6: value -inf is not finite"},
        {[](CCsr& A, CSolveOptions& o) {
             A.col[7] = 0; // (2,0) without (0,2)
             o.method = EMethod::Cg;
         },
         "qvl3d::CSolver: the conjugate gradient needs a symmetric pattern: row 2, entry 7 holds column 0, but row 0 "
         "holds no column 2"},
        {[](CCsr& A, CSolveOptions& o) {
             A.val[5] = -1.5; // (2,1) against (1,2) = -1
             o.method = EMethod::Cg;
         },
         "qvl3d::CSolver: the conjugate gradient needs a symmetric matrix: row 1, entry 4 holds -1, but row 2, entry 5 "
         "holds -1.5"},
        {[](CCsr&, CSolveOptions& o) { o.maxIter = 0; }, "qvl3d::CSolver: maxIter is 0; at least 1 is needed"},
        {[](CCsr&, CSolveOptions& o) { o.divtol = 0.0; }, "qvl3d::CSolver: divtol 0 is not a number above 0"},
        {[](CCsr&, CSolveOptions& o) { o.rtol = kNaN; },
         "qvl3d::CSolver: rtol nan is not a finite non-negative number"},
        {[](CCsr&, CSolveOptions& o) { o.atol = -1.0; }, "qvl3d::CSolver: atol -1 is not a finite non-negative number"},
        {[](CCsr&, CSolveOptions& o) {
             o.method = EMethod::GaussSeidel;
             o.preconditioner = EPreconditioner::Dilu;
         },
         "qvl3d::CSolver: Gauss-Seidel takes no preconditioner, not dilu (name none, or none at all)"},
        {[](CCsr&, CSolveOptions& o) { o.layout = static_cast<ELayout>(7); },
         "qvl3d::CSolver: unknown layout 7 (the layouts are csr, native, ell)"},
    };
    for (const auto& [edit, message] : cases) {
        CCsr A = base;
        CSolveOptions o;
        edit(A, o);
        EXPECT_EQ(Refusal<std::invalid_argument>([&] { CSolver s(A.View(), o); }), message);
    }

    // Exactly one offset array.
    CCsrView both = base.View();
    both.rowStart64 = base.start64.data();
    CCsrView neither = base.View();
    neither.rowStart32 = nullptr;
    for (const CCsrView& v : {both, neither})
        EXPECT_HAS(Refusal<std::invalid_argument>([&] { CSolver s(v); }), "exactly one of rowStart32 and rowStart64");

    // Update refuses as the constructor does and keeps the values it had;
    // Solve refuses b and x that are not finite.
    CSolver solver(base.View());
    const std::vector<double> b = {1, 2, 3, 4};
    std::vector<double> before(4, 0.0), after(4, 0.0);
    solver.Solve(b.data(), before.data());
    std::vector<double> bad = base.val;
    bad[9] = kNaN;
    EXPECT_EQ(Refusal<std::invalid_argument>([&] { solver.Update(bad.data()); }),
              "qvl3d::CSolver::Update: row 3, entry 9: value nan is not finite");
    solver.Solve(b.data(), after.data());
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(BitEqual(after[i], before[i])) << i;
    std::vector<double> nanB = b, x(4, 0.0);
    nanB[3] = kNaN;
    EXPECT_EQ(Refusal<std::invalid_argument>([&] { solver.Solve(nanB.data(), x.data()); }),
              "qvl3d::CSolver::Solve: b[3] is nan, not a finite number");
    x[1] = kInf;
    EXPECT_HAS(Refusal<std::invalid_argument>([&] { solver.Solve(b.data(), x.data()); }), "x[1] (the initial guess)");
}

// A row the ELL layout cannot hold (50000 slots x 50000 rows) is refused for
// ELL alone: the other layouts never build it.
TEST(FrontDoor, OnlyTheLayoutAskedForIsBuilt)
{
    const int n = 50000;
    CCsr A;
    A.rows = n;
    for (int j = 0; j < n; ++j) {
        A.col.push_back(j);
        A.val.push_back(j == 0 ? 2.0 * n : -1e-3);
    }
    A.start.push_back(n);
    for (int i = 1; i < n; ++i) {
        A.col.push_back(i);
        A.val.push_back(1.0);
        A.start.push_back(static_cast<std::int32_t>(A.col.size()));
    }
    EXPECT_HAS(Refusal<std::invalid_argument>(
                   [&] { CSolver s(A.View(), Options(EMethod::BiCgStab, EPreconditioner::Dilu, ELayout::Ell)); }),
               "the ELL layout would need 2500000000 slots");
    const std::vector<double> b(n, 1.0);
    for (ELayout layout : {ELayout::Csr, ELayout::Native}) {
        std::vector<double> x(n, 0.0);
        EXPECT_EQ(SolveWith(A, Options(EMethod::GaussSeidel, EPreconditioner::None, layout), b, x).status,
                  EStatus::Converged);
    }
}

// New values through Update give the bits of a solver built on them, on
// rows whose entries are out of order (the map from the caller's entries to
// each layout's slots is what is tested), whether the updated solver read
// 32- or 64-bit offsets.
TEST(FrontDoor, UpdateAndSixtyFourBitOffsetsGiveTheBitsOfAFreshSolver)
{
    const CCsr A = Box(false);
    CCsr B = A;
    for (size_t e = 0; e < B.val.size(); ++e) B.val[e] *= 1.0 + 0.01 * static_cast<double>(e % 7);
    const CCsrView wide = A.View64();
    const std::vector<double> b = Rhs(A.rows);
    const std::pair<EMethod, EPreconditioner> runs[] = {{EMethod::BiCgStab, EPreconditioner::Dilu},
                                                        {EMethod::BiCgStab, EPreconditioner::Ilu0},
                                                        {EMethod::GaussSeidel, EPreconditioner::None}};
    for (const auto& [m, p] : runs)
        for (ELayout layout : Ids(kLayouts))
            for (const CCsrView& view : {A.View(), wide}) {
                const CSolveOptions o = Options(m, p, layout, 30, 1e-10);
                const std::string what =
                    Name(m, o.preconditioner, layout) + (view.rowStart64 ? ", 64-bit offsets" : ", 32-bit offsets");
                CSolver updated(view, o), fresh(B.View(), o);
                std::vector<double> x1(b.size(), 0.0), x2(b.size(), 0.0), x3(b.size(), 0.0);
                updated.Solve(b.data(), x1.data());
                updated.Update(B.val.data());
                const CSolveResult r1 = updated.Solve(b.data(), x2.data());
                const CSolveResult r2 = fresh.Solve(b.data(), x3.data());
                EXPECT_EQ(r1.history, r2.history) << what;
                for (size_t i = 0; i < b.size(); ++i) ASSERT_TRUE(BitEqual(x2[i], x3[i])) << what << " x[" << i << "]";
            }
}

// Under the first-iteration rule the front door gives the entry point's x,
// status, iterations and norms bit for bit: every method, layout and
// preconditioner, on a renumbered box with its rows shuffled and on real
// matrices in the file's order. The monitor sees the history.
TEST(FrontDoor, TheEntryPointsBitsUnderTheFirstIterationRule)
{
    const CCsr pde = test::ToCsr(host::ReadMatrixMarket(test::MatrixPath("pde900.mtx")));
    const CCsr gr = test::ToCsr(host::ReadMatrixMarket(test::MatrixPath("gr_30_30.mtx")));
    const struct {
        const char* name;
        CCsr A;
        bool symmetric;
    } systems[] = {
        {"convection-diffusion box, renumbered, rows shuffled", Box(false), false},
        {"Poisson box, renumbered, rows shuffled", Box(true), true},
        {"pde900.mtx", pde, false},
        {"gr_30_30.mtx", gr, true},
    };
    for (const auto& s : systems) {
        const std::vector<double> b = Rhs(s.A.rows);
        const int n = s.A.rows;
        for (EMethod m : Ids(kMethods)) {
            if ((m == EMethod::Cg) != s.symmetric || Find(m)->designCode == kNoDesignCode) continue;
            for (EPreconditioner p : Ids(kPreconditioners))
                for (ELayout layout : Ids(kLayouts)) {
                    if (!Find(m)->takesPreconditioner && p != EPreconditioner::None) continue;
                    if (Find(m)->designCode == kNoDesignCode || Find(p)->designType == kNoDesignType)
                        continue; // the front door's only
                    const std::string what = std::string(s.name) + " " + Name(m, p, layout);
                    const int maxIter = m == EMethod::GaussSeidel ? 60 : 40;

                    test::CBoundSystem sys(ToHost(s.A));
                    sys.host.SetPreconditioner(Find(p)->designType);
                    sys.host.SetVariable(1, maxIter, 1e-7);
                    double* xEntry = sys.host.NewVector();
                    std::vector<double> bEntry(static_cast<size_t>(n) + 1, 0.0), norms;
                    std::copy(b.begin(), b.end(), bEntry.begin() + 1);
                    const CIterationObserver observer{
                        [](void* data, int, double norm) { static_cast<std::vector<double>*>(data)->push_back(norm); },
                        &norms};
                    CSolveRecord rec;
                    test::CaptureStdout([&] {
                        rec =
                            SolveRecorded(sys.solver, layout, 1, Find(m)->designCode, xEntry, bEntry.data(), &observer);
                    });

                    CSolveOptions o = Options(m, p, layout, maxIter, 1e-7);
                    o.reference = EReference::FirstIteration;
                    std::vector<std::pair<int, double>> seen;
                    o.monitor = [&seen](int k, double norm) { seen.emplace_back(k, norm); };
                    std::vector<double> x(static_cast<size_t>(n), 0.0);
                    const CSolveResult r = SolveWith(s.A, o, b, x);

                    EXPECT_EQ(r.status, rec.status) << what;
                    EXPECT_EQ(r.iterations, rec.iterations) << what;
                    ASSERT_EQ(r.history.size(), norms.size()) << what;
                    ASSERT_EQ(seen.size(), norms.size()) << what;
                    for (size_t k = 0; k < norms.size(); ++k) {
                        EXPECT_TRUE(BitEqual(r.history[k], norms[k])) << what << " iteration " << k + 1;
                        EXPECT_EQ(seen[k].first, static_cast<int>(k) + 1) << what;
                        EXPECT_TRUE(BitEqual(seen[k].second, norms[k])) << what;
                    }
                    for (int i = 0; i < n; ++i) ASSERT_TRUE(BitEqual(x[i], xEntry[i + 1])) << what << " x[" << i << "]";
                }
        }
    }
}

// Nothing on standard output or standard error from construction, Update,
// Solve or a refusal, whatever the method, layout or exit (Gauss-Seidel's
// native and CSR forms are the ones with console lines of their own).
TEST(FrontDoor, NotOneByteOnTheConsole)
{
    const CCsr A = Box(true);
    const std::vector<double> b = Rhs(A.rows);
    const std::string text = CaptureDescriptors([&] {
        for (EMethod m : Ids(kMethods))
            for (ELayout layout : Ids(kLayouts))
                for (EReference ref : {EReference::RightHandSide, EReference::FirstIteration}) {
                    CSolveOptions o = Options(m, EPreconditioner::Dilu, layout, 25);
                    o.reference = ref;
                    CSolver s(A.View(), o);
                    std::vector<double> x(b.size(), 0.0);
                    s.Solve(b.data(), x.data());
                    s.Update(A.val.data());
                    s.Solve(b.data(), x.data());
                }
        const CCsr I = FromDense({{1, 0}, {0, 1}});
        std::vector<double> huge = {1e200, 1e200}, x(2, 0.0);
        SolveWith(I, Options(EMethod::Cg, EPreconditioner::None, ELayout::Native), huge, x); // non_finite
        CCsr broken = I;
        broken.val[0] = 0.0;
        Refusal<std::invalid_argument>([&] { CSolver s(broken.View()); });
    });
    EXPECT_EQ(text, "");
}

// What the monitor throws leaves Solve with x as it was passed in; a
// monitor that calls Solve or Update of its own solver is refused (once a
// re-entered solve returned converged with a wrong x).
TEST(FrontDoor, AMonitorThatThrowsOrReentersLeavesXAlone)
{
    const CCsr A = Box(false);
    const std::vector<double> b = Rhs(A.rows);
    CSolver* solver = nullptr;
    std::vector<double> inner(b.size(), 0.0);
    const std::function<void(int, double)> monitors[] = {
        [](int k, double) {
            if (k == 3) throw std::runtime_error("stop");
        },
        [&](int, double) { solver->Solve(b.data(), inner.data()); },
        [&](int, double) { solver->Update(A.val.data()); },
    };
    const char* expected[] = {
        "stop", "qvl3d::CSolver::Solve: the solver is already solving (its monitor, or another thread, called it)",
        "qvl3d::CSolver::Update: the solver is already solving (its monitor, or another thread, called it)"};
    for (size_t k = 0; k < std::size(monitors); ++k) {
        CSolveOptions o;
        o.monitor = monitors[k];
        CSolver s(A.View(), o);
        solver = &s;
        std::vector<double> x(b.size(), 0.5);
        std::string what;
        try {
            s.Solve(b.data(), x.data());
        } catch (const std::exception& e) {
            what = e.what();
        }
        EXPECT_EQ(what, expected[k]);
        EXPECT_EQ(x, std::vector<double>(b.size(), 0.5)) << expected[k];
        o.monitor = nullptr;
        std::fill(x.begin(), x.end(), 0.0);
        EXPECT_TRUE(CSolver(A.View(), o).Solve(b.data(), x.data()).Converged()) << "the solver is free again";
    }
}

// Neither the 1e-30 guards nor the range of double decide the answer: b
// or A far from 1 are solved scaled, to the same tolerance in about the
// same iterations (each case failed, or reported a wrong status, unscaled).
TEST(FrontDoor, AnyScaleSolves)
{
    const host::CSparseMatrix P = host::Poisson(host::CBox{40, 40, 1});
    const std::vector<double> ones(1600, 1.0);
    const struct {
        double aScale, bScale;
        EMethod method;
        EPreconditioner p;
    } cases[] = {
        {1.0, 1e-12, EMethod::BiCgStab, EPreconditioner::Dilu},
        {1.0, 1e-20, EMethod::BiCgStab, EPreconditioner::Dilu},
        {1.0, 1e-158, EMethod::GaussSeidel, EPreconditioner::None},
        {1e300, 1.0, EMethod::Cg, EPreconditioner::None},
        {1e300, 1.0, EMethod::Cg, EPreconditioner::Diagonal},
        {1e-300, 1e10, EMethod::BiCgStab, EPreconditioner::Dilu},
    };
    for (const auto& c : cases) {
        CCsr A = test::ToCsr(P);
        for (double& v : A.val) v *= c.aScale;
        std::vector<double> b(1600, 0.0);
        for (int i = 0; i < A.rows; ++i)
            for (int e = A.start[i]; e < A.start[i + 1]; ++e) b[i] += A.val[e];
        for (double& v : b) v *= c.bScale;
        const CSolveOptions o = Options(c.method, c.p, ELayout::Csr, 5000);
        std::vector<double> x(1600, 0.0);
        const CSolveResult r = SolveWith(A, o, b, x);
        char what[96];
        std::snprintf(what, sizeof what, "%s, A * %g, b = A 1 * %g", Name(c.method, c.p, ELayout::Csr).c_str(),
                      c.aScale, c.bScale);
        EXPECT_EQ(StatusName(r.status), std::string("converged")) << what;
        EXPECT_LE(r.relativeResidual, 1e-8) << what;
        EXPECT_NEAR(x[0] / c.bScale, 1.0, 1e-4) << what; // b = A 1 bScale
    }
    // A 1 x 1 system with b = 1e-170 (once zero_initial_residual and x = 0).
    CCsr one = FromDense({{1}});
    std::vector<double> x{0.0};
    EXPECT_EQ(StatusName(SolveWith(one, CSolveOptions{}, {1e-170}, x).status), std::string("converged"));
    EXPECT_EQ(x[0], 1e-170);
}

// Converged() holds exactly when the true residual meets the bound, on
// every repository matrix with every method and preconditioner (the method's
// own norm once said converged at a true residual 50 times the bound).
TEST(FrontDoor, ConvergedMeansTheTrueResidualMeetsTheBound)
{
    // Each pair on three of the nine matrices (the check is one path for
    // every pair: the answer's own residual against the bound).
    int turn = 0;
    for (const char* name : {"gr_30_30.mtx", "lap3D_7pt_n20.mtx", "nos6.mtx", "nos7.mtx", "orsreg_1.mtx", "pde900.mtx",
                             "sherman1.mtx", "sherman5.mtx", "watt_2.mtx"}) {
        const CCsr A = test::ToCsr(host::ReadMatrixMarket(test::MatrixPath(name)));
        const std::vector<double> b = Rhs(A.rows);
        ++turn;
        int pair = 0;
        for (EMethod m : Ids(kMethods))
            for (EPreconditioner p : Ids(kPreconditioners)) {
                if (!Find(m)->takesPreconditioner && p != EPreconditioner::None) continue;
                if (++pair % 3 != turn % 3) continue;
                const CSolveOptions o = Options(m, p, ELayout::Csr, 300);
                std::vector<double> x(b.size(), 0.0);
                CSolveResult r;
                try {
                    r = SolveWith(A, o, b, x);
                } catch (const std::invalid_argument&) {
                    continue; // the conjugate gradient on an unsymmetric pattern
                }
                EXPECT_EQ(r.Converged(), r.relativeResidual <= 1e-8 * (1 + 1e-10))
                    << name << " " << Name(m, p, ELayout::Csr) << ": " << StatusName(r.status) << " at "
                    << r.relativeResidual;
            }
    }
}

// ||b|| and the true residuals are scaled sums: b of 2^-700 is not zero and
// b of 2^700 not infinite; scaling by a power of two scales them exactly.
TEST(FrontDoor, NormsNeitherUnderflowNorOverflow)
{
    const CCsr A = Box(false);
    const std::vector<double> b = Rhs(A.rows);
    const CSolveOptions o = Options(EMethod::GaussSeidel, EPreconditioner::None, ELayout::Csr, 1);
    std::vector<double> x(b.size(), 0.0);
    const CSolveResult plain = SolveWith(A, o, b, x);
    for (int e : {-700, 700}) {
        std::vector<double> scaled = b;
        for (double& v : scaled) v = std::ldexp(v, e);
        std::fill(x.begin(), x.end(), 0.0);
        const CSolveResult r = SolveWith(A, o, scaled, x);
        EXPECT_NE(r.status, EStatus::ZeroRightHandSide) << e;
        EXPECT_EQ(r.initialResidual, std::ldexp(plain.initialResidual, e)) << e;
    }
}
