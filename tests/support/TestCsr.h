// The front door's and the C interface's input, built from the suites'
// host matrices.
#ifndef QVL3D_TESTS_TESTCSR_H
#define QVL3D_TESTS_TESTCSR_H

#include <qvl3d/Solve.h>
#include "SparseMatrix.h"

#include <cstdint>
#include <vector>

namespace qvl3d {
namespace test {

// A compressed-row matrix as a host of the front door or the C interface
// holds it: offsets (in both widths) and columns counted from base.
struct CCsr {
    int rows = 0;
    int base = 0;
    std::vector<std::int32_t> start{0}, col;
    std::vector<std::int64_t> start64{0};
    std::vector<double> val;

    CCsrView View() const { return {rows, start.data(), nullptr, col.data(), val.data()}; }
    CCsrView View64() const { return {rows, nullptr, start64.data(), col.data(), val.data()}; }
};

// The owned rows of A, each row's entries in storage order.
CCsr ToCsr(const host::CSparseMatrix& A, int base = 0);
// FromDense's matrix, counted from 0.
CCsr CsrFromDense(const std::vector<std::vector<double>>& rows);
// A as a host matrix, cells from 1.
host::CSparseMatrix ToHost(const CCsr& A);
// The entries of every row in a random order, the diagonal wherever it lands.
CCsr Shuffled(CCsr A, unsigned seed);

} // namespace test
} // namespace qvl3d

#endif
