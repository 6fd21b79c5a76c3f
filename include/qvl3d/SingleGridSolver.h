// CSingleGridSolver: iterative solution of one variable's sparse system on one
// partition of a domain-decomposed mesh.
//
// The solver owns no data. The host binds its store and mesh (getGV), the
// halo-exchange and global-sum objects (getCommunication), for the ELL layout
// the accelerator store (getGVGPU), and for OpenMP acceleration the OpenMP
// store (getGVOpenMP) followed by SetupSolver(2). It then calls Solver
// (native rows), Solver_CSR or Solver_ELL once per variable and outer
// iteration. Solver codes: 2 BiCGSTAB, 3 conjugate gradient, 4 Gauss-Seidel,
// 5 BiCGSTAB with the diagonal preconditioner, 6 the OpenMP-named BiCGSTAB
// with the diagonal preconditioner; any other code does nothing.
//
// The store receives the reference residual m_pdResidual0 (and for BiCGSTAB
// the iteration count m_piIterCount); x is improved in place. How a solve
// ended is returned by qvl3d::SolveRecorded (SolveRecord.h), which runs the
// same entry points. qvl3d::CheckHostObjects (HostCheck.h) checks the bound
// objects for a solver code and entry point; qvl3d::CSolver (Solve.h) takes
// a matrix in compressed rows instead and builds the objects itself.
#ifndef QVL3D_SINGLEGRIDSOLVER_H
#define QVL3D_SINGLEGRIDSOLVER_H

#include <qvl3d/Communication.h>
#include <qvl3d/HostCheck.h>
#include <qvl3d/HostObjects.h>
#include <qvl3d/QVLExport.h>
#include <qvl3d/SolveRecord.h>

// 0: no acceleration; 2: OpenMP. Any other value is only recorded.
enum QVLAccelerationType : int {
    QVLAccelerationNone = 0,
    QVLAccelerationOpenMP = 2,
};

class QVL3D_EXPORT CSingleGridSolver {
public:
    CSingleGridSolver();
    ~CSingleGridSolver();
    // Copies every member: both objects then share the same host objects.
    CSingleGridSolver& operator=(const CSingleGridSolver& other);

    int declareMem();
    int getGV(CQvl3dGV* pGV, CQVL3DFiniteVolumeMesh* pFVMesh);
    int getGVGPU(CQVLGVGPU* pGVGPU);
    int getGVOpenMP(CQVLGVOpenMP* pGVOpenMP_);
    int getCommunication(CCommunication* pCommu, CQVLCom* pCom);
    void SetupSolver(QVLAccelerationType type);

    void Solver(int ivarb, int lsolv, double* x, double* b, int);
    void Solver_CSR(int ivarb, int lsolv, double* x, double* b, int);
    void Solver_ELL(int ivarb, int lsolv, double* x, double* b, int);

private:
    void GSSolver(int ivarb, double* x, double* b);
    void GSSolver_CSR(int ivarb, double* x, double* b);
    void GSSolver_ELL(int ivarb, double* x, double* b);
    void PCG(int ivarb, double* x, double* b);
    void PCG_CSR(int ivarb, double* x, double* b);
    void PBiCGSTAB(int ivarb, double* x, double* b);
    void PBiCGSTAB_CSR(int ivarb, double* x, double* b);
    void PBiCGSTAB_ELL(int ivarb, double* x, double* b);
    void PBiCGSTAB_OpenMP(int ivarb, double* x, double* b);
    void PGMRES(int ivarb, double* x, double* b);

    void FindPreConditioner(double* pdPrecond, int iType);
    void FindPreConditioner_CSR(double* pdPrecond, int iType);
    void FindPreConditioner_ELL(double* pdPrecond, int iType);
    void FindPreConditioner_OpenMP(double* pdPrecond, int iType);
    void DILU(double* pdPrecond);
    void DILU_CSR(double* pdPrecond);
    void DILU_ELL(double* pdPrecond);
    void ILU0(double* pdPrecond);

    void SolvePreConditioner(double* z, double* r, double* pdPrecond);
    void SolvePreConditioner_CSR(double* z, double* r, double* pdPrecond);
    void SolvePreConditioner_ELL(double* z, double* r, double* pdPrecond);
    void SolvePreConditioner_OpenMP(double* z, double* r, double* pdPrecond);

    void DotProduct(int i, double* y, double* v);
    void DotProduct_CSR(int i, double* y, double* v);
    void DotProduct_ELL(int i, double* y, double* v);

    bool AllocateCPUMemory_OpenMP();
    void FindMaxNColumnAtemp_OpenMP();
    void FindNewNNUtemp_OpenMP();

    char m_szError[1024];
    bool m_bOpenMPSetupDone;
    int m_nCellOpenMP;
    int m_nCellTotalOpenMP;
    QVLAccelerationType m_eAccelerationType;
    CQvl3dGV* m_pGV;
    CCommunication* m_pCommu;
    CQVLCom* m_pCom;
    CQVLGVGPU* m_pGVGPU;
    void* m_pGPUtool;
    CQVLGVOpenMP* m_pGVOpenMP;
    CQVL3DFiniteVolumeMesh* m_pFVMesh;

    friend class CSingleGridSolverProbe; // white-box access for the test suites
    friend qvl3d::CSolveRecord qvl3d::SolveRecorded(CSingleGridSolver&, qvl3d::ELayout, int, int, double*, double*,
                                                    const qvl3d::CIterationObserver*);
    friend std::vector<std::string> qvl3d::CheckHostObjects(const CSingleGridSolver&, int, qvl3d::ELayout, int,
                                                            const qvl3d::CHostRoom&, std::size_t);
};

#endif
