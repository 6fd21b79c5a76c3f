// Solves a two-cell system through the installed library, as a host would,
// with the support tools the host uses around it.
#include <qvl3d/QVL3DTool.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include <unistd.h>

int main()
{
    // Cells 1 and 2: 4 x1 + x2 = 5, x1 + 4 x2 = 5; solution (1, 1).
    int numNeighbor[3] = {0, 1, 1};
    int n1[2] = {0, 2}, n2[2] = {0, 1};
    int* neighbor[3] = {nullptr, n1, n2};
    double c1[2] = {4.0, 1.0}, c2[2] = {4.0, 1.0};
    double* coef[3] = {nullptr, c1, c2};

    CQVL3DFiniteVolumeMesh mesh;
    mesh.m_nCell = 2;
    mesh.m_nCellTotal = 2;
    mesh.m_piNumNeighbor = numNeighbor;
    mesh.m_ppiNeighbor = neighbor;

    int maxIter[1] = {100}, iterCount[1] = {0}, printSolver = 0;
    double tolerance[1] = {1e-12}, residual0[1] = {0.0};
    CQvl3dGV store;
    store.m_ppdCoef = coef;
    store.m_piMaxIter = maxIter;
    store.m_pdTolerance = tolerance;
    store.m_pdResidual0 = residual0;
    store.m_piIterCount = iterCount;
    store.m_piPrintSolver = &printSolver;

    CCommunication commu;
    CQVLCom com;
    CSingleGridSolver solver;
    if (solver.getGV(&store, &mesh) != 0 || solver.getCommunication(&commu, &com) != 0) return 1;

    // Vectors from the memory tool, indexed by cell number, cleared.
    double* x = nullptr;
    double* b = nullptr;
    try {
        x = CQVLMemTool::dvector(1, 2);
        b = CQVLMemTool::dvector(1, 2);
    } catch (const CQVLMemError&) {
        return 1;
    }
    b[1] = 5.0;
    b[2] = 5.0;
    solver.Solver(0, 4, x, b, 0);
    std::printf("consumer: x = (%.12f, %.12f), %g bytes from the memory tool\n", x[1], x[2], CQVLMemTool::m_dTotalMem_);
    const bool solved = std::fabs(x[1] - 1.0) < 1e-9 && std::fabs(x[2] - 1.0) < 1e-9;
    const bool counted = CQVLMemTool::getTotalMem() == 48.0 / 1048576.0;

    // The solution through the file tool: written, read back, deleted.
    const char* tmp = std::getenv("TMPDIR");
    const std::string path = std::string(tmp ? tmp : "/tmp") + "/qvl3d-consumer-" + std::to_string(getpid()) + ".txt";
    CQVLFileIO io;
    io.Init(0, 2);
    std::ofstream out;
    bool filed = io.QVLOpenFile(out, path.c_str(), QVLOpenText, 10, 3) == 0;
    out.precision(17);
    out << x[1] << ' ' << x[2] << '\n';
    filed = io.QVLCloseFile(out) == 0 && filed;
    FILE* fp = nullptr;
    double y1 = 0.0, y2 = 0.0;
    filed = io.QVLOpenFile(fp, path.c_str(), "r", 10, 3) == 0 && std::fscanf(fp, "%lf %lf", &y1, &y2) == 2 && filed;
    filed = io.QVLCloseFile(fp, path.c_str()) == 0 && io.QVLDeleteFile(path.c_str(), 0) == 0 && filed;
    filed = filed && y1 == x[1] && y2 == x[2] && io.GetErrorValue() == 0;

    // The services the file tool builds on, as a host would call them.
    CQVLSystemErrorTool errors;
    const bool texts = std::strlen(errors.Errno2String(ENOENT)) > 0 && errors.LastError2String(0) != nullptr;
    CQVLUnicodeTool console;
    const bool printed =
        console.wprintf("consumer: default locale [%s]\n", CQVLLocale().GetSystemDefaultLocale().c_str()) > 0;

    CQVLMemTool::free_dvector(x, 1, 2);
    CQVLMemTool::free_dvector(b, 1, 2);
    return solved && counted && filed && texts && printed && x == nullptr ? 0 : 1;
}
