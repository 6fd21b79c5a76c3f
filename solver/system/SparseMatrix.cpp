#include "SparseMatrix.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string>

namespace qvl3d {
namespace host {

CSparseBuilder::CSparseBuilder(int nCell, int nCellTotal)
{
    m_matrix.nCell = nCell;
    m_matrix.nCellTotal = nCellTotal;
    m_matrix.rowStart.assign(static_cast<size_t>(nCell) + 1, 0);
}

void CSparseBuilder::Add(int row, int column, double value)
{
    if (row < m_iRow || row > m_matrix.nCell)
        throw std::invalid_argument("sparse builder: row " + std::to_string(row) + " out of order or range");
    for (; m_iRow < row; ++m_iRow) m_matrix.rowStart[m_iRow] = m_matrix.NonZeros();
    m_matrix.col.push_back(column);
    m_matrix.val.push_back(value);
}

CSparseMatrix CSparseBuilder::Finish()
{
    for (; m_iRow <= m_matrix.nCell; ++m_iRow) m_matrix.rowStart[m_iRow] = m_matrix.NonZeros();
    return std::move(m_matrix);
}

void SortRows(CSparseMatrix& A)
{
    std::vector<int> order;
    std::vector<int> col;
    std::vector<double> val;
    for (int i = 1; i <= A.nCell; ++i) {
        const int b = A.RowBegin(i), e = A.RowEnd(i);
        order.resize(static_cast<size_t>(e - b));
        std::iota(order.begin(), order.end(), b);
        std::stable_sort(order.begin(), order.end(), [&](int p, int q) { return A.col[p] < A.col[q]; });
        col.clear();
        val.clear();
        for (int p : order) {
            col.push_back(A.col[p]);
            val.push_back(A.val[p]);
        }
        std::copy(col.begin(), col.end(), A.col.begin() + b);
        std::copy(val.begin(), val.end(), A.val.begin() + b);
    }
}

void Multiply(const CSparseMatrix& A, const double* v, double* y)
{
    for (int i = 1; i <= A.nCell; ++i) {
        double s = 0.0;
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) s = s + A.val[e] * v[A.col[e]];
        y[i] = s;
    }
}

} // namespace host
} // namespace qvl3d
