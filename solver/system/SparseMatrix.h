// An assembled sparse matrix of one partition's rows, as the reference host
// hands it to the layout builder: rows of the owned cells 1..nCell, columns
// naming cells 1..nCellTotal (above nCell: halo cells). Each row holds its
// diagonal exactly once; the order of the other entries is the storage order
// every layout keeps.
#ifndef QVL3D_HOST_SPARSEMATRIX_H
#define QVL3D_HOST_SPARSEMATRIX_H

#include <qvl3d/QVLExport.h>

#include <vector>

namespace qvl3d {
namespace host {

struct CSparseMatrix {
    int nCell = 0;
    int nCellTotal = 0;
    std::vector<int> rowStart; // nCell+1 offsets: row i is [rowStart[i-1], rowStart[i])
    std::vector<int> col;      // cell numbers, 1-based
    std::vector<double> val;

    int RowBegin(int i) const { return rowStart[i - 1]; }
    int RowEnd(int i) const { return rowStart[i]; }
    int NonZeros() const { return static_cast<int>(val.size()); }
};

// Builds row by row: Begin, then Add(i, column, value) for the rows in
// ascending order, then Finish.
class QVL3D_EXPORT CSparseBuilder {
public:
    CSparseBuilder(int nCell, int nCellTotal);
    void Add(int row, int column, double value);
    CSparseMatrix Finish();

private:
    CSparseMatrix m_matrix;
    int m_iRow = 1;
};

// Sorts the entries of every row by ascending column (stable).
QVL3D_EXPORT void SortRows(CSparseMatrix& A);

// y = A*v over the owned rows, each row summed in storage order from 0.0.
QVL3D_EXPORT void Multiply(const CSparseMatrix& A, const double* v, double* y);

} // namespace host
} // namespace qvl3d

#endif
