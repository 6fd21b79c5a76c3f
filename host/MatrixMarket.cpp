#include "MatrixMarket.h"

#include "Files.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <utility>

namespace qvl3d {
namespace host {

namespace {

constexpr long long kMaxCells = std::numeric_limits<int>::max() - 1; // cell numbers and n+1 stay in int
constexpr long long kMaxEntries = std::numeric_limits<int>::max();

std::string Lower(std::string s)
{
    for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return s;
}

// Shows a token in a message: quoted, cut when long, control bytes escaped.
std::string Show(const std::string& token)
{
    std::string out = "'";
    const size_t limit = 40;
    for (size_t k = 0; k < token.size() && k < limit; ++k) {
        const unsigned char c = static_cast<unsigned char>(token[k]);
        if (c < 32 || c >= 127) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (token.size() > limit) out += "...";
    return out + "'";
}

// Lines of one input with their numbers; comment and blank lines skipped on
// request.
class CLineReader {
public:
    CLineReader(std::istream& in, std::string name) : m_in(in), m_name(std::move(name)) {}

    const std::string& Name() const { return m_name; }
    long long Line() const { return m_line; }

    // The next line, without its end (LF or CRLF). A line longer than
    // kMaxLineBytes is refused before it is read whole.
    bool Next(std::string& text)
    {
        text.clear();
        std::streambuf* in = m_in.rdbuf();
        bool any = false;
        try {
            while (true) {
                const int c = in ? in->sbumpc() : std::char_traits<char>::eof();
                if (c == std::char_traits<char>::eof()) {
                    m_in.setstate(std::ios::eofbit);
                    break;
                }
                any = true;
                if (c == '\n') break;
                if (text.size() > kMaxLineBytes) TooLong(); // room for a CR
                text.push_back(static_cast<char>(c));
            }
        } catch (const std::ios_base::failure& e) { // the file buffer's read error
            throw CInputError(m_name + ":" + std::to_string(m_line + 1) + ": read error: " + e.what());
        }
        if (!any) return false;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.size() > kMaxLineBytes) TooLong();
        ++m_line;
        return true;
    }

    // The next line that is neither blank nor a comment, split into tokens.
    bool NextContent(std::vector<std::string>& tokens)
    {
        std::string text;
        while (Next(text)) {
            tokens.clear();
            size_t k = 0;
            while (k < text.size() && (text[k] == ' ' || text[k] == '\t')) ++k;
            if (k == text.size() || text[k] == '%') continue;
            while (k < text.size()) {
                size_t e = k;
                while (e < text.size() && text[e] != ' ' && text[e] != '\t') ++e;
                tokens.emplace_back(text, k, e - k);
                while (e < text.size() && (text[e] == ' ' || text[e] == '\t')) ++e;
                k = e;
            }
            return true;
        }
        return false;
    }

    [[noreturn]] void Fail(const std::string& what) const
    {
        throw CInputError(m_name + ":" + std::to_string(m_line) + ": " + what);
    }

    [[noreturn]] void FailFile(const std::string& what) const { throw CInputError(m_name + ": " + what); }

private:
    [[noreturn]] void TooLong()
    {
        ++m_line;
        Fail("the line is longer than " + std::to_string(kMaxLineBytes) + " bytes, the longest accepted");
    }

    std::istream& m_in;
    std::string m_name;
    long long m_line = 0;
};

long long ParseInteger(const CLineReader& r, const std::string& token, const char* what)
{
    const char* b = token.data();
    const char* e = b + token.size();
    if (b != e && *b == '+' && e - b > 1 && b[1] != '-' && b[1] != '+') ++b;
    long long v = 0;
    const auto [end, ec] = std::from_chars(b, e, v);
    if (ec == std::errc::result_out_of_range) r.Fail(std::string(what) + " " + Show(token) + " is out of range");
    if (ec != std::errc() || end != e) r.Fail(std::string(what) + " " + Show(token) + " is not an integer");
    return v;
}

double ParseValue(const CLineReader& r, const std::string& token, bool integerField)
{
    if (integerField) {
        const long long v = ParseInteger(r, token, "value");
        return static_cast<double>(v);
    }
    const char* b = token.data();
    const char* e = b + token.size();
    if (b != e && *b == '+' && e - b > 1 && b[1] != '-' && b[1] != '+') ++b;
    double v = 0.0;
    const auto [end, ec] = std::from_chars(b, e, v, std::chars_format::general);
    if (ec == std::errc::result_out_of_range && end == e) {
        // Overflow is refused; an underflow keeps the nearest double.
        const std::string copy(b, e);
        errno = 0;
        v = std::strtod(copy.c_str(), nullptr);
        if (std::isinf(v)) r.Fail("value " + Show(token) + " is out of the range of a double");
    } else if (ec != std::errc() || end != e) {
        r.Fail("value " + Show(token) + " is not a number");
    }
    if (!std::isfinite(v)) r.Fail("value " + Show(token) + " is not a finite number");
    return v;
}

struct CHeader {
    std::string format, field, symmetry;
};

// Reads and checks the banner. wantMatrix: a coordinate matrix; otherwise a
// vector (array or coordinate, general).
CHeader ReadBanner(CLineReader& r, bool wantMatrix)
{
    std::string text;
    const char* expected =
        wantMatrix ? "'%%MatrixMarket matrix coordinate real general'" : "'%%MatrixMarket matrix array real general'";
    if (!r.Next(text)) r.FailFile(std::string("empty file: expected the banner ") + expected);
    std::vector<std::string> t;
    {
        size_t k = 0;
        while (k < text.size()) {
            while (k < text.size() && (text[k] == ' ' || text[k] == '\t')) ++k;
            size_t e = k;
            while (e < text.size() && text[e] != ' ' && text[e] != '\t') ++e;
            if (e > k) t.emplace_back(text, k, e - k);
            k = e;
        }
    }
    if (t.empty() || Lower(t[0]) != "%%matrixmarket")
        r.Fail(std::string("missing banner: the first line must read like ") + expected);
    if (t.size() != 5)
        r.Fail("bad banner: expected 4 words after %%MatrixMarket (object, format, field, symmetry), found " +
               std::to_string(t.size() - 1));
    const std::string object = Lower(t[1]);
    CHeader h{Lower(t[2]), Lower(t[3]), Lower(t[4])};
    if (object != "matrix") r.Fail("bad banner: object " + Show(t[1]) + " is not supported, only 'matrix'");
    if (h.format != "coordinate" && h.format != "array")
        r.Fail("bad banner: format " + Show(t[2]) + " is neither 'coordinate' nor 'array'");
    if (wantMatrix && h.format != "coordinate")
        r.Fail("bad banner: a dense 'array' matrix is not accepted; store the matrix in 'coordinate' format");
    if (h.field == "pattern")
        r.Fail("pattern files are not accepted: they hold no values (the field must be real or integer)");
    if (h.field == "complex") r.Fail("complex files are not accepted: the solver works on real numbers");
    if (h.field != "real" && h.field != "double" && h.field != "integer")
        r.Fail("bad banner: unknown field " + Show(t[3]) + " (expected real or integer)");
    if (h.symmetry == "hermitian") r.Fail("Hermitian files are not accepted: the solver works on real numbers");
    if (h.symmetry == "skew-symmetric")
        r.Fail("skew-symmetric files are not accepted: their diagonal is zero and Gauss-Seidel divides by it");
    if (h.symmetry != "general" && h.symmetry != "symmetric")
        r.Fail("bad banner: unknown symmetry " + Show(t[4]) + " (expected general or symmetric)");
    if (!wantMatrix && h.symmetry != "general") r.Fail("bad banner: a vector file must be 'general'");
    return h;
}

std::vector<long long> ReadSizeLine(CLineReader& r, size_t count, const char* what)
{
    std::vector<std::string> t;
    if (!r.NextContent(t)) r.FailFile(std::string("file ends before the size line (") + what + ")");
    if (t.size() != count)
        r.Fail(std::string("the size line must hold ") + std::to_string(count) + " integers (" + what + "), found " +
               std::to_string(t.size()) + " fields");
    std::vector<long long> v;
    for (const std::string& s : t) {
        const long long x = ParseInteger(r, s, "size");
        if (x < 0) r.Fail("size " + Show(s) + " is negative");
        v.push_back(x);
    }
    return v;
}

// Entry k of the nnz a coordinate file declares: the row, checked against
// 1..rows, and the column; the value's text stays in t[2].
std::pair<long long, long long> ReadCoordinate(CLineReader& r, std::vector<std::string>& t, long long k, long long nnz,
                                               long long rows)
{
    if (!r.NextContent(t))
        r.Fail("the file ends after " + std::to_string(k) + " of the " + std::to_string(nnz) +
               " entries the size line declares");
    if (t.size() != 3) r.Fail("an entry must hold 3 fields (row, column, value), found " + std::to_string(t.size()));
    const long long i = ParseInteger(r, t[0], "row");
    const long long j = ParseInteger(r, t[1], "column");
    if (i < 1 || i > rows) r.Fail("row " + std::to_string(i) + " is outside 1.." + std::to_string(rows));
    return {i, j};
}

} // namespace

struct CMatrixMarketEntries::CState {
    CState(std::istream& in, std::string name) : r(in, std::move(name)) {}
    CLineReader r;
    std::vector<std::string> t;
};

CMatrixMarketEntries::CMatrixMarketEntries(std::istream& in, const std::string& name)
    : m_state(std::make_unique<CState>(in, name))
{
    CLineReader& r = m_state->r;
    const CHeader h = ReadBanner(r, true);
    m_info.field = h.field;
    m_info.symmetry = h.symmetry;
    const std::vector<long long> size = ReadSizeLine(r, 3, "rows, columns, entries");
    const long long m = size[0], ncol = size[1], nnz = size[2];
    if (m < 1) r.Fail("the matrix has no rows");
    if (m != ncol)
        r.Fail("the matrix is not square (" + std::to_string(m) + " rows, " + std::to_string(ncol) + " columns)");
    if (m > kMaxCells)
        r.Fail(std::to_string(m) + " rows are more than the " + std::to_string(kMaxCells) + " supported");
    if (nnz < m)
        r.Fail("the size line declares " + std::to_string(nnz) + " entries for " + std::to_string(m) +
               " rows, but every row needs its diagonal entry");
    m_rows = static_cast<int>(m);
    m_info.storedEntries = nnz;
}

CMatrixMarketEntries::~CMatrixMarketEntries() = default;

const std::string& CMatrixMarketEntries::Name() const
{
    return m_state->r.Name();
}

bool CMatrixMarketEntries::Next(std::vector<CMatrixMarketEntry>& out)
{
    CLineReader& r = m_state->r;
    std::vector<std::string>& t = m_state->t;
    const long long nnz = m_info.storedEntries;
    if (m_read == nnz) {
        if (r.NextContent(t)) r.Fail("more entries than the " + std::to_string(nnz) + " the size line declares");
        return false;
    }
    const bool symmetric = m_info.symmetry == "symmetric";
    const auto [i, j] = ReadCoordinate(r, t, m_read, nnz, m_rows);
    if (j < 1 || j > m_rows) r.Fail("column " + std::to_string(j) + " is outside 1.." + std::to_string(m_rows));
    if (symmetric && i < j)
        r.Fail("entry (" + std::to_string(i) + ", " + std::to_string(j) +
               ") lies above the diagonal; a symmetric file stores the lower triangle only");
    const double v = ParseValue(r, t[2], m_info.field == "integer");
    m_produced += symmetric && i != j ? 2 : 1;
    if (m_produced > kMaxEntries) r.Fail("more entries than the supported 2147483647");
    out.push_back({static_cast<int>(i), static_cast<int>(j), v, r.Line()});
    if (symmetric && i != j) out.push_back({static_cast<int>(j), static_cast<int>(i), v, r.Line()});
    ++m_read;
    return true;
}

CEntryFault SumEntries(std::vector<CMatrixMarketEntry>& entries, const std::string& name, long long& duplicates)
{
    // Duplicates are summed in file order: the stable sort keeps it within a position.
    std::stable_sort(entries.begin(), entries.end(), [](const CMatrixMarketEntry& a, const CMatrixMarketEntry& b) {
        return a.row != b.row ? a.row < b.row : a.col < b.col;
    });
    size_t kept = 0;
    for (size_t k = 0; k < entries.size();) {
        CMatrixMarketEntry sum = entries[k];
        size_t e = k + 1;
        for (; e < entries.size() && entries[e].row == sum.row && entries[e].col == sum.col; ++e) {
            sum.val = sum.val + entries[e].val;
            sum.line = entries[e].line;
            ++duplicates;
        }
        const std::string where = name + ":" + std::to_string(sum.line) + ": ";
        if (!std::isfinite(sum.val))
            return {sum.row, sum.col,
                    where + "the entries at (" + std::to_string(sum.row) + ", " + std::to_string(sum.col) +
                        ") sum to a value that is not finite"};
        if (sum.row == sum.col && sum.val == 0.0)
            return {sum.row, sum.col,
                    where + "the diagonal entry of row " + std::to_string(sum.row) +
                        " is zero (Gauss-Seidel divides by it)"};
        entries[kept++] = sum;
        k = e;
    }
    entries.resize(kept);
    return {};
}

std::string MissingDiagonal(const std::string& name, int row)
{
    return name + ": row " + std::to_string(row) +
           " has no diagonal entry (every row needs one: Gauss-Seidel divides by it)";
}

CSparseMatrix ParseMatrixMarket(std::istream& in, const std::string& name, CMatrixMarketInfo* info)
{
    CMatrixMarketEntries file(in, name);
    const int n = file.Rows();
    std::vector<CMatrixMarketEntry> entries;
    while (file.Next(entries)) {
    }
    long long duplicates = 0;
    const CEntryFault fault = SumEntries(entries, name, duplicates);
    if (fault) throw CInputError(fault.message);

    CSparseBuilder builder(n, n);
    std::vector<char> hasDiag(static_cast<size_t>(n) + 1, 0);
    for (const CMatrixMarketEntry& e : entries) {
        if (e.row == e.col) hasDiag[static_cast<size_t>(e.row)] = 1;
        builder.Add(e.row, e.col, e.val);
    }
    for (int i = 1; i <= n; ++i)
        if (!hasDiag[static_cast<size_t>(i)]) throw CInputError(MissingDiagonal(name, i));
    if (info) {
        *info = file.Info();
        info->duplicatesSummed = duplicates;
    }
    return builder.Finish();
}

struct CVectorMarketEntries::CState {
    CState(std::istream& in, std::string name) : r(in, std::move(name)) {}
    CLineReader r;
    std::vector<std::string> t;
};

CVectorMarketEntries::CVectorMarketEntries(std::istream& in, const std::string& name, int n)
    : m_state(std::make_unique<CState>(in, name)), m_n(n < 0 ? 0 : n)
{
    CLineReader& r = m_state->r;
    const CHeader h = ReadBanner(r, false);
    m_integer = h.field == "integer";
    m_coordinate = h.format != "array";
    const std::vector<long long> size =
        m_coordinate ? ReadSizeLine(r, 3, "rows, columns, entries") : ReadSizeLine(r, 2, "rows, columns");
    if (size[1] != 1) r.Fail("a vector has one column, this file has " + std::to_string(size[1]));
    if (size[0] != n)
        r.Fail("the vector has " + std::to_string(size[0]) + " entries, the matrix " + std::to_string(n) + " rows");
    m_declared = m_coordinate ? size[2] : n;
}

CVectorMarketEntries::~CVectorMarketEntries() = default;

bool CVectorMarketEntries::Next(CVectorMarketEntry& out)
{
    CLineReader& r = m_state->r;
    std::vector<std::string>& t = m_state->t;
    if (m_read == m_declared) {
        if (r.NextContent(t))
            r.Fail(m_coordinate ? "more entries than the " + std::to_string(m_declared) + " the size line declares"
                                : "more values than the " + std::to_string(m_n) + " the size line declares");
        return false;
    }
    if (m_coordinate) {
        const auto [i, j] = ReadCoordinate(r, t, m_read, m_declared, m_n);
        if (j != 1) r.Fail("column " + std::to_string(j) + " is not 1");
        out = {static_cast<int>(i), ParseValue(r, t[2], m_integer), r.Line()};
    } else {
        if (!r.NextContent(t))
            r.Fail("the file ends after " + std::to_string(m_read) + " of the " + std::to_string(m_n) + " values");
        if (t.size() != 1) r.Fail("an array file holds one value a line, found " + std::to_string(t.size()));
        out = {static_cast<int>(m_read) + 1, ParseValue(r, t[0], m_integer), r.Line()};
    }
    ++m_read;
    return true;
}

std::string VectorSumFault(const std::string& name, long long line, int row)
{
    return name + ":" + std::to_string(line) + ": the entries of row " + std::to_string(row) +
           " sum to a value that is not finite";
}

std::vector<double> ParseVectorMarket(std::istream& in, const std::string& name, int n)
{
    CVectorMarketEntries file(in, name, n);
    std::vector<double> v(static_cast<size_t>(n < 0 ? 0 : n) + 1, 0.0);
    CVectorMarketEntry e;
    while (file.Next(e)) {
        double& cell = v[static_cast<size_t>(e.row)];
        if (!file.Coordinate()) {
            cell = e.val;
            continue;
        }
        const double sum = cell + e.val;
        if (!std::isfinite(sum)) throw CInputError(VectorSumFault(name, e.line, e.row));
        cell = sum;
    }
    return v;
}

std::unique_ptr<std::ifstream> OpenInput(const std::string& path)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) throw CInputError("cannot read " + path + ": it is a directory");
    auto in = std::make_unique<std::ifstream>(path, std::ios::binary);
    if (!*in) throw CInputError("cannot open " + path + ": " + std::strerror(errno));
    return in;
}

namespace {

template <class Parse>
auto ReadFile(const std::string& path, Parse parse)
{
    return parse(*OpenInput(path));
}

void WriteComment(CReplacingFile& f, const std::string& comment)
{
    if (comment.empty()) return;
    size_t k = 0;
    while (k <= comment.size()) {
        size_t e = comment.find('\n', k);
        if (e == std::string::npos) e = comment.size();
        f.Printf("%% %s\n", comment.substr(k, e - k).c_str());
        k = e + 1;
    }
}

} // namespace

CSparseMatrix ReadMatrixMarket(const std::string& path, CMatrixMarketInfo* info)
{
    return ReadFile(path, [&](std::istream& in) { return ParseMatrixMarket(in, path, info); });
}

std::vector<double> ReadVectorMarket(const std::string& path, int n)
{
    return ReadFile(path, [&](std::istream& in) { return ParseVectorMarket(in, path, n); });
}

void WriteVectorHeader(CReplacingFile& f, int n, const std::string& comment)
{
    f.Printf("%%%%MatrixMarket matrix array real general\n");
    WriteComment(f, comment);
    f.Printf("%d 1\n", n);
}

void WriteVectorMarket(const std::string& path, const double* v, int n, const std::string& comment)
{
    CReplacingFile f(path);
    WriteVectorHeader(f, n, comment);
    for (int i = 1; i <= n; ++i) f.Printf("%.17g\n", v[i]);
    f.Commit();
}

void WriteMatrixMarket(const std::string& path, const CSparseMatrix& A, const std::string& comment)
{
    CReplacingFile f(path);
    f.Printf("%%%%MatrixMarket matrix coordinate real general\n");
    WriteComment(f, comment);
    f.Printf("%d %d %d\n", A.nCell, A.nCellTotal, A.NonZeros());
    for (int i = 1; i <= A.nCell; ++i)
        for (int e = A.RowBegin(i); e < A.RowEnd(i); ++e) f.Printf("%d %d %.17g\n", i, A.col[e], A.val[e]);
    f.Commit();
}

} // namespace host
} // namespace qvl3d
