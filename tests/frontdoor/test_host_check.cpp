// CheckHostObjects: the reference host passes for every code and entry
// point; a host filled by hand is checked for what its call reads, and only
// for that; a bound solver's missing bindings are named.
#include <qvl3d/HostCheck.h>
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace qvl3d;

namespace {

std::string Joined(const std::vector<std::string>& problems)
{
    std::string text;
    for (const std::string& p : problems) text += p + "\n";
    return text;
}

// Two owned cells and a halo cell 3 beside cell 2, filled by hand with what
// Gauss-Seidel on the native rows reads, and the conjugate gradient's
// vectors (p with room for the owned cells only).
struct CHandHost {
    int numNeighbor[4] = {0, 1, 2, 0};
    int n1[2] = {0, 2}, n2[3] = {0, 1, 3};
    int* neighbor[3] = {nullptr, n1, n2};
    double c1[2] = {4.0, -1.0}, c2[3] = {4.0, -1.0, -1.0};
    double* coef[3] = {nullptr, c1, c2};
    int maxIter[2] = {10, 10}, iterCount[2] = {}, precondType = 0, printSolver = 0, silent = 1, interval = 1;
    double tolerance[2] = {1e-8, 1e-8}, residual0[2] = {};
    double r[3] = {}, z[3] = {}, p[3] = {}, q[3] = {};

    CQVL3DFiniteVolumeMesh mesh;
    CQvl3dGV store;
    CHostRoom room;

    CHandHost()
    {
        mesh.m_nCell = 2;
        mesh.m_nCellTotal = 3;
        mesh.m_piNumNeighbor = numNeighbor;
        mesh.m_ppiNeighbor = neighbor;
        store.m_ppdCoef = coef;
        store.m_piMaxIter = maxIter;
        store.m_pdTolerance = tolerance;
        store.m_pdResidual0 = residual0;
        store.m_piIterCount = iterCount;
        store.m_piPrecondType = &precondType;
        store.m_piPrintSolver = &printSolver;
        store.m_piSilent = &silent;
        store.m_piPrintInterval = &interval;
        store.m_pdVecR = r;
        store.m_pdVecZ = z;
        store.m_pdVecP = p;
        store.m_pdVecQ = q;
        room.numNeighbor = 4;
        room.perVariable = 2;
        room.vecR = room.vecZ = room.vecP = room.vecQ = 3;
    }

    std::vector<std::string> Check(int code, ELayout entry, int ivarb = 1) const
    {
        return CheckHostObjects(mesh, store, nullptr, code, entry, ivarb, room);
    }
};

} // namespace

TEST(CheckHostObjects, TheReferenceHostPassesForEveryCodeEntryPointAndType)
{
    test::CBoundSystem sys(host::Poisson(host::CBox{3, 2, 2}));
    for (int type : {0, 1, 3})
        for (ELayout entry : {ELayout::Native, ELayout::Csr, ELayout::Ell})
            for (int code = 2; code <= 7; ++code) {
                sys.host.SetPreconditioner(type);
                const bool runs = code <= 4 || (code <= 6 && entry != ELayout::Ell);
                const std::string text = Joined(CheckHostObjects(sys.solver, code, entry, 1, sys.host.Room()));
                if (runs) {
                    EXPECT_EQ(text, "") << "code " << code << " type " << type;
                } else {
                    EXPECT_HAS(text, "names no method");
                }
            }
    CSingleGridSolver unbound;
    EXPECT_HAS(Joined(CheckHostObjects(unbound, 2, ELayout::Csr, 1)), "getGV was not called");
}

// What each call reads is checked, and nothing it does not read. (How each
// thing read is checked is the host validation's, test_validation.)
TEST(CheckHostObjects, AHandFilledHostIsCheckedForWhatItsCallReads)
{
    using Edit = std::function<void(CHandHost&)>;
    const struct {
        const char* name;
        Edit edit;
        int code;
        ELayout entry;
        int ivarb;
        const char* problem; // "": none
    } cases[] = {
        {"Gauss-Seidel, native: as filled", [](CHandHost&) {}, 4, ELayout::Native, 1, ""},
        {"the conjugate gradient, native: as filled", [](CHandHost&) {}, 3, ELayout::Native, 1,
         "m_pdVecP has room for 3 elements; it needs 4 (cells 1..m_nCellTotal: it is exchanged)"},
        {"the conjugate gradient through Solver_ELL runs on the native rows", [](CHandHost& h) { h.room.vecP = 4; }, 3,
         ELayout::Ell, 1, ""},
        {"Gauss-Seidel never reads the preconditioner type", [](CHandHost& h) { h.store.m_piPrecondType = nullptr; }, 4,
         ELayout::Native, 1, ""},
        {"BiCGSTAB reads the preconditioner type", [](CHandHost& h) { h.store.m_piPrecondType = nullptr; }, 2,
         ELayout::Csr, 1, "m_piPrecondType is null"},
        {"the native entry point reads m_piPrintSolver", [](CHandHost& h) { h.store.m_piPrintSolver = nullptr; }, 4,
         ELayout::Native, 1, "m_piPrintSolver is null"},
        {"the interval is read only when the progress line may print",
         [](CHandHost& h) { h.store.m_piPrintInterval = nullptr; }, 4, ELayout::Native, 1, ""},
        {"... and read when it may",
         [](CHandHost& h) {
             h.room.vecP = 4;
             h.silent = 0;
             h.printSolver = 1;
             h.store.m_piPrintInterval = nullptr;
         },
         3, ELayout::Native, 1, "m_piPrintInterval is null"},
        {"Gauss-Seidel on variable 6 writes the extremes", [](CHandHost& h) { h.room.perVariable = 7; }, 4,
         ELayout::Native, 6, "m_pdSolutionMax is null"},
        {"BiCGSTAB needs its own vectors", [](CHandHost&) {}, 2, ELayout::Native, 1, "m_pdVecPHat is null"},
        {"DILU on the native rows needs the ordered lists", [](CHandHost& h) { h.precondType = 1; }, 3, ELayout::Native,
         1, "m_ppiOrderedSlot is null"},
        {"the CSR entry point reads the CSR rows", [](CHandHost&) {}, 4, ELayout::Csr, 1, "m_piCSRRowStart is null"},
        {"the ELL entry point needs the accelerator store", [](CHandHost&) {}, 4, ELayout::Ell, 1,
         "there is no accelerator store"},
        {"a variable beyond the per-variable arrays", [](CHandHost&) {}, 4, ELayout::Native, 2,
         "variable 2 is outside the per-variable arrays (0..1)"},
        {"code 5 through Solver_ELL", [](CHandHost&) {}, 5, ELayout::Ell, 1,
         "solver code 5 names no method for Solver_ELL: the call does nothing"},
    };
    for (const auto& c : cases) {
        CHandHost h;
        c.edit(h);
        const std::string text = Joined(h.Check(c.code, c.entry, c.ivarb));
        if (*c.problem == '\0') {
            EXPECT_EQ(text, "") << c.name;
        } else {
            EXPECT_HAS(text, c.problem) << c.name;
        }
    }
}
