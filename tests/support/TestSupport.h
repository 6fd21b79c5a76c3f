// Shared helpers of the test suites: a recording communication transport,
// white-box access to the solver, a bound host fixture and a dense reference
// solve.
#ifndef QVL3D_TESTS_TESTSUPPORT_H
#define QVL3D_TESTS_TESTSUPPORT_H

#include "BoxProblems.h"
#include "Communication.h"
#include "HostSystem.h"
#include "SingleGridSolver.h"
#include "SparseMatrix.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

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

    int Count(const std::string& call) const;
};

// Access to the solver's private members for white-box tests.
class CSingleGridSolverProbe {
public:
    static const char* Error(const CSingleGridSolver& s) { return s.m_szError; }
    static bool OpenMPSetupDone(const CSingleGridSolver& s) { return s.m_bOpenMPSetupDone; }
    static int CellOpenMP(const CSingleGridSolver& s) { return s.m_nCellOpenMP; }
    static int CellTotalOpenMP(const CSingleGridSolver& s) { return s.m_nCellTotalOpenMP; }
    static QVLAccelerationType Acceleration(const CSingleGridSolver& s) { return s.m_eAccelerationType; }
    static CQvl3dGV* GV(const CSingleGridSolver& s) { return s.m_pGV; }
    static CQVL3DFiniteVolumeMesh* Mesh(const CSingleGridSolver& s) { return s.m_pFVMesh; }
    static CCommunication* Commu(const CSingleGridSolver& s) { return s.m_pCommu; }
    static CQVLCom* Com(const CSingleGridSolver& s) { return s.m_pCom; }
    static CQVLGVGPU* GVGPU(const CSingleGridSolver& s) { return s.m_pGVGPU; }
    static void* GPUtool(const CSingleGridSolver& s) { return s.m_pGPUtool; }
    static CQVLGVOpenMP* GVOpenMP(const CSingleGridSolver& s) { return s.m_pGVOpenMP; }

    static void DotProduct(CSingleGridSolver& s, int i, double* y, double* v) { s.DotProduct(i, y, v); }
    static void DotProduct_CSR(CSingleGridSolver& s, int i, double* y, double* v) { s.DotProduct_CSR(i, y, v); }
    static void DotProduct_ELL(CSingleGridSolver& s, int i, double* y, double* v) { s.DotProduct_ELL(i, y, v); }
    static void FindPreConditioner(CSingleGridSolver& s, double* d, int t) { s.FindPreConditioner(d, t); }
    static void FindPreConditioner_CSR(CSingleGridSolver& s, double* d, int t) { s.FindPreConditioner_CSR(d, t); }
    static void FindPreConditioner_ELL(CSingleGridSolver& s, double* d, int t) { s.FindPreConditioner_ELL(d, t); }
    static void FindPreConditioner_OpenMP(CSingleGridSolver& s, double* d, int t) { s.FindPreConditioner_OpenMP(d, t); }
    static void DILU(CSingleGridSolver& s, double* d) { s.DILU(d); }
    static void DILU_CSR(CSingleGridSolver& s, double* d) { s.DILU_CSR(d); }
    static void DILU_ELL(CSingleGridSolver& s, double* d) { s.DILU_ELL(d); }
    static void SolvePreConditioner(CSingleGridSolver& s, double* z, double* r, double* d)
    {
        s.SolvePreConditioner(z, r, d);
    }
    static void SolvePreConditioner_CSR(CSingleGridSolver& s, double* z, double* r, double* d)
    {
        s.SolvePreConditioner_CSR(z, r, d);
    }
    static void SolvePreConditioner_ELL(CSingleGridSolver& s, double* z, double* r, double* d)
    {
        s.SolvePreConditioner_ELL(z, r, d);
    }
    static void SolvePreConditioner_OpenMP(CSingleGridSolver& s, double* z, double* r, double* d)
    {
        s.SolvePreConditioner_OpenMP(z, r, d);
    }
    static bool AllocateCPUMemory_OpenMP(CSingleGridSolver& s) { return s.AllocateCPUMemory_OpenMP(); }
    static void FindMaxNColumnAtemp_OpenMP(CSingleGridSolver& s) { s.FindMaxNColumnAtemp_OpenMP(); }
    static void FindNewNNUtemp_OpenMP(CSingleGridSolver& s) { s.FindNewNNUtemp_OpenMP(); }
};

namespace qvl3d {
namespace test {

enum class ELayout { Native, Csr, Ell };
const char* LayoutName(ELayout layout);

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
// 3 touching halo cell 4. Rows: (a11, a12), (a22, a21, a23), (a33, a32, a34).
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

// Steady convection-diffusion on a box: the Poisson operator plus first-order
// upwind convection with velocity (u, u/2, u/4) in units of the face
// coefficient. Nonsymmetric with a symmetric pattern, diagonally dominant.
host::CSparseMatrix ConvectionDiffusion(const host::CBox& box, double u);

// Euclidean norm of b - A x over the owned cells.
double TrueResidualNorm(const host::CSparseMatrix& A, const double* x, const double* b);

// Path of a file in the shared folder of real test matrices.
std::string MatrixPath(const std::string& name);

} // namespace test
} // namespace qvl3d

#endif
