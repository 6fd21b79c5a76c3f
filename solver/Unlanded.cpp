// Methods whose algorithms have not landed yet: until they do, the solver
// codes that reach them do nothing.
#include "SingleGridSolver.h"

void CSingleGridSolver::PCG(int, double*, double*) {}
void CSingleGridSolver::PCG_CSR(int, double*, double*) {}
void CSingleGridSolver::PBiCGSTAB_OpenMP(int, double*, double*) {}
