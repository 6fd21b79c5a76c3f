// Matrix Market input and output for the reference host.
//
// Matrices: coordinate format, real, double or integer values, general or
// symmetric (the lower triangle is stored; it is expanded to both). Entries
// that name the same position are summed in file order. Every row needs a
// non-zero diagonal (Gauss-Seidel divides by it). The result is a square
// CSparseMatrix of one partition without halo cells, rows sorted by column.
//
// Vectors: array format (one column), or coordinate format (column 1, absent
// entries zero, duplicates summed).
//
// Comment lines (starting with %) and blank lines may stand anywhere after the
// banner, and CRLF line ends are accepted. Anything else that is not as the
// format says is refused with a CInputError whose text names the file, the
// line and what is wrong ("file.mtx:12: ..."). Reading never allocates more
// than a small multiple of the input's size, whatever the size line claims,
// and no line longer than kMaxLineBytes is read whole (/dev/zero is refused
// at its first line).
#ifndef QVL3D_HOST_MATRIXMARKET_H
#define QVL3D_HOST_MATRIXMARKET_H

#include "SparseMatrix.h"

#include <cstddef>
#include <fstream>
#include <istream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace qvl3d {
namespace host {

class CInputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The longest line accepted, without its end: far beyond any entry or size
// line, and comments up to 1 MiB.
constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;

// What the reader saw besides the matrix itself.
struct CMatrixMarketInfo {
    std::string field;    // real, double or integer
    std::string symmetry; // general or symmetric
    long long storedEntries = 0;
    long long duplicatesSummed = 0;
};

// One stored entry of a coordinate file: 1-based row and column, the value
// and the line it came from.
struct CMatrixMarketEntry {
    int row;
    int col;
    double val;
    long long line;
};

// A coordinate matrix file read entry by entry, with every check of
// ParseMatrixMarket that one entry allows. The constructor reads and checks
// the banner and the size line; Next appends the next stored entry to out,
// and its mirror right after it for an off-diagonal entry of a symmetric
// file, and returns false once the declared entries are read and nothing
// follows. Faults throw CInputError naming the file and line.
class CMatrixMarketEntries {
public:
    CMatrixMarketEntries(std::istream& in, const std::string& name);
    ~CMatrixMarketEntries();
    CMatrixMarketEntries(const CMatrixMarketEntries&) = delete;
    CMatrixMarketEntries& operator=(const CMatrixMarketEntries&) = delete;

    int Rows() const { return m_rows; }
    const CMatrixMarketInfo& Info() const { return m_info; } // storedEntries: as declared
    const std::string& Name() const;
    bool Next(std::vector<CMatrixMarketEntry>& out);

private:
    struct CState;
    std::unique_ptr<CState> m_state;
    int m_rows = 0;
    CMatrixMarketInfo m_info;
    long long m_read = 0;
    long long m_produced = 0;
};

// One value of a vector file: its 1-based row, the value and its line.
struct CVectorMarketEntry {
    int row;
    double val;
    long long line;
};

// A vector file of n entries read value by value, with every check of
// ParseVectorMarket that one value allows. The constructor reads and checks
// the banner and the size line; Next gives the next value (an array file's
// in row order) and returns false once the declared values are read and
// nothing follows. Coordinate files may name a row more than once: their
// values are summed in file order, and a sum that is not finite is refused
// with VectorSumFault, which the caller checks.
class CVectorMarketEntries {
public:
    CVectorMarketEntries(std::istream& in, const std::string& name, int n);
    ~CVectorMarketEntries();
    CVectorMarketEntries(const CVectorMarketEntries&) = delete;
    CVectorMarketEntries& operator=(const CVectorMarketEntries&) = delete;

    bool Coordinate() const { return m_coordinate; }
    bool Next(CVectorMarketEntry& out);

private:
    struct CState;
    std::unique_ptr<CState> m_state;
    int m_n = 0;
    bool m_coordinate = false;
    bool m_integer = false;
    long long m_declared = 0;
    long long m_read = 0;
};

// The refusal of a coordinate vector file whose values for `row` sum, at
// `line`, to a value that is not finite.
std::string VectorSumFault(const std::string& name, long long line, int row);

// The first entry fault of a set of entries in (row, column) order, if any.
struct CEntryFault {
    int row = 0, col = 0;
    std::string message; // empty: none
    explicit operator bool() const { return !message.empty(); }
};

// Sorts entries by row, then column, sums each position's duplicates in file
// order (counting them in duplicates) and keeps one entry per position.
// Stops at the first position whose sum is not finite or whose diagonal
// entry is zero, and returns it; the entries are then left unspecified.
CEntryFault SumEntries(std::vector<CMatrixMarketEntry>& entries, const std::string& name, long long& duplicates);

// The message for a row of file `name` without its diagonal entry.
std::string MissingDiagonal(const std::string& name, int row);

// An input file opened for reading, or CInputError naming the path and why
// not (a folder, or the system's reason).
std::unique_ptr<std::ifstream> OpenInput(const std::string& path);

class CReplacingFile;
// The banner, comment and size line WriteVectorMarket starts an n-entry
// vector file with; the values follow one a line as "%.17g".
void WriteVectorHeader(CReplacingFile& f, int n, const std::string& comment);

CSparseMatrix ReadMatrixMarket(const std::string& path, CMatrixMarketInfo* info = nullptr);
CSparseMatrix ParseMatrixMarket(std::istream& in, const std::string& name, CMatrixMarketInfo* info = nullptr);

// A vector of n entries, returned 1-based (element 0 is 0.0).
std::vector<double> ReadVectorMarket(const std::string& path, int n);
std::vector<double> ParseVectorMarket(std::istream& in, const std::string& name, int n);

// Writes v[1..n] as an array file with 17 significant digits, enough to read
// back the same doubles. The file is replaced whole or not at all
// (CReplacingFile): when it cannot be written, std::runtime_error says why
// and a previous file stays as it was.
void WriteVectorMarket(const std::string& path, const double* v, int n, const std::string& comment = "");
// Writes the owned rows of A as a coordinate real general file, the same way.
void WriteMatrixMarket(const std::string& path, const CSparseMatrix& A, const std::string& comment = "");

} // namespace host
} // namespace qvl3d

#endif
