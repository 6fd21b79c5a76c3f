// libFuzzer target: any bytes as a Matrix Market matrix and as a vector.
// A file the reader accepts must give a host that passes its check, and the
// solver must run on it without a fault (values may be anything).
#include "HostSystem.h"
#include "MatrixMarket.h"
#include <qvl3d/SingleGridSolver.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

using namespace qvl3d::host;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        std::istringstream in(text);
        const CSparseMatrix A = ParseMatrixMarket(in, "fuzz.mtx");
        if (A.nCell <= 5000 && A.NonZeros() <= 50000) {
            CHostSystem host(A, 1);
            if (!host.Validate().Ok()) std::abort(); // the reader let through what the host refuses
            CSingleGridSolver solver;
            CCommunication commu;
            CQVLCom com;
            if (host.Bind(solver, commu, com) != 0) std::abort();
            host.SetVariable(0, 3, 1e-8);
            host.SetPreconditioner(1);
            double* x = host.NewVector();
            double* b = host.NewVector();
            for (int i = 1; i <= A.nCell; ++i) b[i] = 1.0;
            solver.Solver_CSR(0, 2, x, b, 0);
            solver.Solver_ELL(0, 2, x, b, 0);
            solver.Solver(0, 2, x, b, 0);
        }
    } catch (const CInputError&) {
    }
    try {
        std::istringstream in(text);
        ParseVectorMarket(in, "fuzz.mtx", 3);
    } catch (const CInputError&) {
    }
    return 0;
}
