// Methods whose algorithms have not landed yet: until they do, the solver
// codes that reach them do nothing.
#include "SingleGridSolver.h"

void CSingleGridSolver::PCG(int, double*, double*) {}
void CSingleGridSolver::PCG_CSR(int, double*, double*) {}
void CSingleGridSolver::PBiCGSTAB(int, double*, double*) {}
void CSingleGridSolver::PBiCGSTAB_CSR(int, double*, double*) {}
void CSingleGridSolver::PBiCGSTAB_ELL(int, double*, double*) {}
void CSingleGridSolver::PBiCGSTAB_OpenMP(int, double*, double*) {}
void CSingleGridSolver::FindPreConditioner(double*, int) {}
void CSingleGridSolver::FindPreConditioner_CSR(double*, int) {}
void CSingleGridSolver::FindPreConditioner_ELL(double*, int) {}
void CSingleGridSolver::FindPreConditioner_OpenMP(double*, int) {}
void CSingleGridSolver::DILU(double*) {}
void CSingleGridSolver::DILU_CSR(double*) {}
void CSingleGridSolver::DILU_ELL(double*) {}
void CSingleGridSolver::ILU0(double*) {}
void CSingleGridSolver::SolvePreConditioner(double*, double*, double*) {}
void CSingleGridSolver::SolvePreConditioner_CSR(double*, double*, double*) {}
void CSingleGridSolver::SolvePreConditioner_ELL(double*, double*, double*) {}
void CSingleGridSolver::SolvePreConditioner_OpenMP(double*, double*, double*) {}
void CSingleGridSolver::DotProduct(int, double*, double*) {}
void CSingleGridSolver::DotProduct_CSR(int, double*, double*) {}
void CSingleGridSolver::DotProduct_ELL(int, double*, double*) {}
