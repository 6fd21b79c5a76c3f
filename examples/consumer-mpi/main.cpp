// Solves a chain of cells split over the ranks of MPI_COMM_WORLD through the
// installed library, as a distributed host would: each rank owns two cells,
// keeps copies of its neighbours' end cells as halo, and hands the solver
// the MPI halo exchange and global sum.
//
//   mpiexec -n 2 consumer-mpi
#include <qvl3d/MpiTransport.h>
#include <qvl3d/QVL3DTool.h>

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

// 4 x_g - x_(g-1) - x_(g+1) = b_g on global cells g = 1..2P, solution all ones.
// Rank r owns g = 2r+1 (local 1) and 2r+2 (local 2); its halo holds cell 2r
// of rank r-1, then cell 2r+3 of rank r+1 (halo blocks ordered by rank).
double Solve(int rank, int nRanks, double& nCells)
{
    const bool left = rank > 0, right = rank + 1 < nRanks;
    const int nCell = 2;
    const int leftHalo = left ? 3 : 0;
    const int rightHalo = right ? (left ? 4 : 3) : 0;
    const int nCellTotal = 2 + (left ? 1 : 0) + (right ? 1 : 0);
    const size_t owned = nCell + 1, all = static_cast<size_t>(nCellTotal) + 1; // vector sizes: cells from 1

    CHaloPlan plan;
    plan.nCell = nCell;
    plan.nCellTotal = nCellTotal;
    if (left) plan.neighbours.push_back({rank - 1, {1}, {leftHalo}});
    if (right) plan.neighbours.push_back({rank + 1, {2}, {rightHalo}});

    // Native rows: the neighbours of each owned cell, coefficient slot 0 the diagonal.
    std::vector<int> numNeighbor(all, 0);
    std::vector<int> n1, n2;
    if (left) n1.push_back(leftHalo);
    n1.push_back(2);
    n2.push_back(1);
    if (right) n2.push_back(rightHalo);
    numNeighbor[1] = static_cast<int>(n1.size());
    numNeighbor[2] = static_cast<int>(n2.size());
    n1.insert(n1.begin(), 0); // neighbour lists count from 1
    n2.insert(n2.begin(), 0);
    std::vector<double> c1(n1.size(), -1.0), c2(n2.size(), -1.0);
    c1[0] = c2[0] = 4.0;
    int* neighbor[3] = {nullptr, n1.data(), n2.data()};
    double* coef[3] = {nullptr, c1.data(), c2.data()};

    CQVL3DFiniteVolumeMesh mesh;
    mesh.m_nCell = nCell;
    mesh.m_nCellTotal = nCellTotal;
    mesh.m_piNumNeighbor = numNeighbor.data();
    mesh.m_ppiNeighbor = neighbor;

    // The conjugate gradient without preconditioner, silent; its work
    // vectors, P with room for the halo.
    int maxIter[1] = {100}, iterCount[1] = {0}, precondType = 0, printSolver = 0, silent = 1;
    double tolerance[1] = {1e-12}, residual0[1] = {0.0};
    std::vector<double> r(owned), z(owned), q(owned), p(all);
    CQvl3dGV store;
    store.m_ppdCoef = coef;
    store.m_piMaxIter = maxIter;
    store.m_pdTolerance = tolerance;
    store.m_pdResidual0 = residual0;
    store.m_piIterCount = iterCount;
    store.m_piPrecondType = &precondType;
    store.m_piPrintSolver = &printSolver;
    store.m_piSilent = &silent;
    store.m_pdVecR = r.data();
    store.m_pdVecZ = z.data();
    store.m_pdVecQ = q.data();
    store.m_pdVecP = p.data();

    // Collective over the communicator; destroyed before MPI_Finalize.
    CCommunication commu(std::make_shared<CMpiHaloTransport>(MPI_COMM_WORLD, plan));
    CQVLCom com(std::make_shared<CMpiSumTransport>(MPI_COMM_WORLD));
    CSingleGridSolver solver;
    if (solver.getGV(&store, &mesh) != 0 || solver.getCommunication(&commu, &com) != 0) return -1.0;

    std::vector<double> x(all, 0.0), b(owned, 0.0);
    b[1] = 4.0 - numNeighbor[1]; // x = 1 solves every row
    b[2] = 4.0 - numNeighbor[2];
    solver.Solver(0, 3, x.data(), b.data(), 0); // conjugate gradient: halo exchanges and global sums

    double err = std::max(std::fabs(x[1] - 1.0), std::fabs(x[2] - 1.0));
    double cells = nCell;
    nCells = com.AllSum(cells);
    return com.AllSum(err); // the same bits on every rank
}

} // namespace

int main(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    int rank = 0, nRanks = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &nRanks);
    double nCells = 0.0;
    const double err = Solve(rank, nRanks, nCells);
    const bool solved = err >= 0.0 && err < 1e-9 && nCells == 2.0 * nRanks;
    if (rank == 0)
        std::printf("consumer-mpi: %d ranks, %g cells, sum over ranks of max |x - 1| = %.3g: %s\n", nRanks, nCells, err,
                    solved ? "solved" : "NOT solved");
    MPI_Finalize();
    return solved ? 0 : 1;
}
