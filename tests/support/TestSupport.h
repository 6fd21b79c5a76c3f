// Shared helpers of the test suites: a recording communication transport,
// white-box access to the solver, a bound host fixture, a dense reference
// solve, and scratch files.
#ifndef QVL3D_TESTS_TESTSUPPORT_H
#define QVL3D_TESTS_TESTSUPPORT_H

#include "BoxProblems.h"
#include <qvl3d/Communication.h>
#include "HostSystem.h"
#include "Partition.h"
#include <qvl3d/SingleGridSolver.h>
#include <qvl3d/SolveRecord.h>
#include "SparseMatrix.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// text holds part somewhere.
#define EXPECT_HAS(text, part) EXPECT_NE(std::string(text).find(part), std::string::npos) << (text)

namespace qvl3d {
namespace test {

using qvl3d::ELayout;
const char* LayoutName(ELayout layout);
constexpr ELayout kEveryLayout[] = {ELayout::Native, ELayout::Csr, ELayout::Ell};

} // namespace test
} // namespace qvl3d

// Records every collective call the solver makes. Exchanges leave the vector
// alone; the sum returns Sum(local), by default the local value itself.
class CRecordingTransport : public CHaloTransport, public CSumTransport {
public:
    std::vector<std::string> calls;        // "Exch", "Start0", "Wait0", "Sum"
    std::vector<const double*> exchanged;  // vector passed to each exchange call
    std::function<double(double)> sum;     // global sum from the local value
    std::function<void(double*)> fillHalo; // what an exchange writes into the halo

    void Exchange(double* v) override;
    void Start(double* v, QVLNonBlockingBufferId id) override;
    void Wait(double* v, QVLNonBlockingBufferId id) override;
    double Sum(double local) override;
};

// Access to the solver's private members for white-box tests. The kernels
// come as member pointers of the layout asked for: (solver.*kernel)(...).
class CSingleGridSolverProbe {
    using S = CSingleGridSolver;
    using ELayout = qvl3d::test::ELayout;
    template <class M>
    static M Pick(ELayout layout, M native, M csr, M ell)
    {
        return layout == ELayout::Native ? native : layout == ELayout::Csr ? csr : ell;
    }

public:
    static bool OpenMPSetupDone(const S& s) { return s.m_bOpenMPSetupDone; }
    static QVLAccelerationType Acceleration(const S& s) { return s.m_eAccelerationType; }
    static CQvl3dGV* GV(const S& s) { return s.m_pGV; }
    static CQVL3DFiniteVolumeMesh* Mesh(const S& s) { return s.m_pFVMesh; }
    static CCommunication* Commu(const S& s) { return s.m_pCommu; }
    static CQVLCom* Com(const S& s) { return s.m_pCom; }
    static CQVLGVGPU* GVGPU(const S& s) { return s.m_pGVGPU; }
    static CQVLGVOpenMP* GVOpenMP(const S& s) { return s.m_pGVOpenMP; }

    static auto RowProduct(ELayout l) { return Pick(l, &S::DotProduct, &S::DotProduct_CSR, &S::DotProduct_ELL); }
    static auto Build(ELayout l)
    {
        return Pick(l, &S::FindPreConditioner, &S::FindPreConditioner_CSR, &S::FindPreConditioner_ELL);
    }
    static auto Dilu(ELayout l) { return Pick(l, &S::DILU, &S::DILU_CSR, &S::DILU_ELL); }
    static auto Apply(ELayout l)
    {
        return Pick(l, &S::SolvePreConditioner, &S::SolvePreConditioner_CSR, &S::SolvePreConditioner_ELL);
    }
    static constexpr auto kBuildOpenMP = &S::FindPreConditioner_OpenMP;
    static constexpr auto kApplyOpenMP = &S::SolvePreConditioner_OpenMP;
    static constexpr auto kAllocateOpenMP = &S::AllocateCPUMemory_OpenMP;
};

namespace qvl3d {
namespace test {

// A host system bound to a solver through a recording transport.
struct CBoundSystem {
    explicit CBoundSystem(const host::CSparseMatrix& A, int nVariables = 8);

    std::shared_ptr<CRecordingTransport> transport;
    host::CHostSystem host;
    CCommunication commu;
    CQVLCom com;
    CSingleGridSolver solver;

    // Calls the entry point of the layout with the fifth argument 0.
    void Solve(ELayout layout, int ivarb, int lsolv, double* x, double* b);
};

// The three-cell partition of the layout example: cells 1-2-3 in a row, cell
// 3 touching halo cell 4. Rows: (a11, a12), (a22, a21, a23), (a33, a32, a34);
// a zero off the diagonal is not stored.
host::CSparseMatrix ThreeCellExample(double a11, double a12, double a22, double a21, double a23, double a33, double a32,
                                     double a34);

// Dense Gaussian elimination with partial pivoting on the owned rows of A
// (no halo columns). Returns x with x[0] unused.
std::vector<double> DenseSolve(const host::CSparseMatrix& A, const std::vector<double>& b);

// b = A * ones on the owned cells, 1-based with b[0] = 0.
std::vector<double> RhsForOnes(const host::CSparseMatrix& A);

// Runs f with standard output captured and returns what was written.
std::string CaptureStdout(const std::function<void()>& f);

// A matrix from dense owned rows (row i-1 holds row i, columns 1..size of
// the row, which may exceed the row count to reach halo cells). Every
// diagonal is stored, other entries only where non-zero; rows sorted.
host::CSparseMatrix FromDense(const std::vector<std::vector<double>>& rows, int nCellTotal = 0);

// Euclidean norm of b - A x over the owned cells.
double TrueResidualNorm(const host::CSparseMatrix& A, const double* x, const double* b);

// Path of a file of the real test matrices the project carries (data/matrices).
std::string MatrixPath(const std::string& name);

bool BitEqual(double a, double b);

// Each row of A as (column, value) pairs in storage order.
using Entries = std::vector<std::pair<int, double>>;
std::vector<Entries> Rows(const host::CSparseMatrix& A);

// Expects got to be want field by field (values bit for bit), where naming the share.
void ExpectSamePartition(const host::CPartition& got, const host::CPartition& want, const std::string& where);

// What f throws as E, or "accepted" when it returns.
template <class E, class F>
std::string Refusal(F&& f)
{
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "accepted";
}

// A fresh folder, removed with its contents when the object goes.
class CScratchDir {
public:
    CScratchDir();
    ~CScratchDir();
    CScratchDir(const CScratchDir&) = delete;
    CScratchDir& operator=(const CScratchDir&) = delete;
    std::string Path(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
std::string WriteFile(const std::string& path, const std::string& text); // returns path

} // namespace test
} // namespace qvl3d

#endif
