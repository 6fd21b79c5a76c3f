// Matrix Market input and output: what is accepted, what is refused and
// with which words, exact round trips, and every real matrix the project carries
// (data/matrices) read as its manifest says and validated in all three layouts.
#include "MatrixMarket.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

using namespace qvl3d;
using namespace qvl3d::host;
using namespace qvl3d::test;

namespace {

CSparseMatrix Parse(const std::string& text, CMatrixMarketInfo* info = nullptr)
{
    std::istringstream in(text);
    return ParseMatrixMarket(in, "t.mtx", info);
}

const std::string kBanner = "%%MatrixMarket matrix coordinate real general\n";

} // namespace

TEST(MatrixMarket, ReadsCommentsCrlfDuplicatesSymmetricAndIntegerFiles)
{
    CMatrixMarketInfo info;
    const CSparseMatrix A = Parse("%%MatrixMarket matrix coordinate real general\r\n% a comment\r\n\r\n3 3 6\r\n"
                                  "2 2 4.0\r\n% a comment between entries\r\n1 1 1.5e0\r\n   3\t3   -2\r\n"
                                  "1 3 0.25\r\n1 3 0.5\r\n2 1 +7\r\n\r\n",
                                  &info);
    EXPECT_EQ(A.nCellTotal, 3);
    EXPECT_EQ(Rows(A), (std::vector<Entries>{{{1, 1.5}, {3, 0.75}}, {{1, 7.0}, {2, 4.0}}, {{3, -2.0}}}));
    EXPECT_EQ(info.duplicatesSummed, 1);
    EXPECT_EQ(info.symmetry, "general");

    const CSparseMatrix S = Parse("%%MatrixMarket matrix coordinate integer symmetric\n"
                                  "3 3 5\n1 1 4\n2 1 -1\n2 2 4\n3 2 -2\n3 3 4\n");
    EXPECT_EQ(Rows(S),
              (std::vector<Entries>{{{1, 4.0}, {2, -1.0}}, {{1, -1.0}, {2, 4.0}, {3, -2.0}}, {{2, -2.0}, {3, 4.0}}}));

    // Duplicates are summed in file order: (1e16 + 1) + 1 and 1e16 + (1 + 1) differ.
    EXPECT_EQ(Parse(kBanner + "1 1 3\n1 1 1e16\n1 1 1\n1 1 1\n").val[0], (1e16 + 1.0) + 1.0);
}

TEST(MatrixMarket, RefusesMalformedInputNamingFileLineAndFault)
{
    const std::string& banner = kBanner;
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {"", "t.mtx: empty file"},
        {"3 3 3\n", "t.mtx:1: missing banner"},
        {"%%MatrixMarket matrix coordinate real\n", "t.mtx:1: bad banner: expected 4 words"},
        {"%%MatrixMarket vector coordinate real general\n", "object 'vector' is not supported"},
        {"%%MatrixMarket matrix array real general\n2 2\n", "a dense 'array' matrix is not accepted"},
        {"%%MatrixMarket matrix coordinate pattern general\n1 1 1\n1 1\n", "t.mtx:1: pattern files are not accepted"},
        {"%%MatrixMarket matrix coordinate complex general\n", "complex files are not accepted"},
        {"%%MatrixMarket matrix coordinate real hermitian\n", "Hermitian files are not accepted"},
        {"%%MatrixMarket matrix coordinate real skew-symmetric\n", "skew-symmetric files are not accepted"},
        {"%%MatrixMarket matrix coordinate real banded\n", "unknown symmetry 'banded'"},
        {banner, "t.mtx: file ends before the size line"},
        {banner + "2 3 6\n", "t.mtx:2: the matrix is not square (2 rows, 3 columns)"},
        {banner + "2 2\n", "t.mtx:2: the size line must hold 3 integers"},
        {banner + "0 0 0\n", "the matrix has no rows"},
        {banner + "2 2 -1\n", "size '-1' is negative"},
        {banner + "2 2 x\n", "size 'x' is not an integer"},
        {banner + "3000000000 3000000000 3000000000\n", "rows are more than the 2147483646 supported"},
        {banner + "99999999999999999999 1 1\n", "size '99999999999999999999' is out of range"},
        {banner + "5 5 4\n", "declares 4 entries for 5 rows, but every row needs its diagonal"},
        {banner + "2 2 3\n1 1 1\n2 2 1\n", "t.mtx:4: the file ends after 2 of the 3 entries"},
        {banner + "2 2 2\n1 1 1\n2 2 1\n2 1 1\n", "t.mtx:5: more entries than the 2 the size line declares"},
        {banner + "2 2 2\n1 1\n", "t.mtx:3: an entry must hold 3 fields (row, column, value), found 2"},
        {banner + "2 2 2\n0 1 1\n", "t.mtx:3: row 0 is outside 1..2"},
        {banner + "2 2 2\n1 3 1\n", "t.mtx:3: column 3 is outside 1..2"},
        {banner + "2 2 2\n1.5 1 1\n", "row '1.5' is not an integer"},
        {banner + "2 2 2\n1 1 abc\n", "t.mtx:3: value 'abc' is not a number"},
        {banner + "2 2 2\n1 1 1.0x\n", "value '1.0x' is not a number"},
        {banner + "2 2 2\n1 1 nan\n", "value 'nan' is not a finite number"},
        {banner + "2 2 2\n1 1 1e400\n", "value '1e400' is out of the range of a double"},
        {banner + "2 2 3\n1 1 1\n2 2 1e308\n2 2 1e308\n",
         "t.mtx:5: the entries at (2, 2) sum to a value that is not finite"},
        {banner + "2 2 2\n1 1 1\n2 1 1\n", "t.mtx: row 2 has no diagonal entry"},
        {banner + "2 2 2\n1 1 1\n2 2 0\n", "t.mtx:4: the diagonal entry of row 2 is zero"},
        {banner + "2 2 3\n1 1 1\n2 2 1\n2 2 -1\n", "t.mtx:5: the diagonal entry of row 2 is zero"},
        {"%%MatrixMarket matrix coordinate real symmetric\n2 2 2\n1 1 1\n1 2 1\n",
         "t.mtx:4: entry (1, 2) lies above the diagonal"},
        {"%%MatrixMarket matrix coordinate integer general\n1 1 1\n1 1 2.5\n", "value '2.5' is not an integer"},
        {banner + "1 1 1\n1 1 \x01\x02\n", "value '\\x01\\x02' is not a number"},
    };
    for (const auto& c : cases) EXPECT_HAS(Refusal<CInputError>([&] { Parse(c.text); }), c.expected) << c.text;
}

// A line is read up to kMaxLineBytes and no further, whatever follows: a
// file with no line end at all is refused, not read into memory.
TEST(MatrixMarket, RefusesLinesBeyondTheLimitNamingTheLine)
{
    const std::string longest(kMaxLineBytes - 1, ' ');
    const std::string file = kBanner + "%" + longest + "\r\n1 1 1\n1 1 2\n";
    EXPECT_EQ(Parse(file).val, std::vector<double>{2.0});
    EXPECT_HAS(Refusal<CInputError>([&] { Parse(kBanner + "1 1 1\n%" + longest + "x\n1 1 2\n"); }),
               "t.mtx:3: the line is longer than 1048576 bytes, the longest accepted");
    const char* const endless = "/dev/zero:1: the line is longer than 1048576 bytes, the longest accepted";
    EXPECT_HAS(Refusal<CInputError>([] { ReadMatrixMarket("/dev/zero"); }), endless);
    EXPECT_HAS(Refusal<CInputError>([] { ReadVectorMarket("/dev/zero", 1); }), endless);
}

TEST(MatrixMarket, ReadsAndRefusesVectors)
{
    std::istringstream array(
        "%%MatrixMarket matrix array real general\r\n% c\r\n3 1\r\n1.5\r\n% mid\r\n-2\r\n3e-1\r\n");
    EXPECT_EQ(ParseVectorMarket(array, "v.mtx", 3), (std::vector<double>{0.0, 1.5, -2.0, 0.3}));
    std::istringstream coord(kBanner + "4 1 3\n2 1 1.0\n4 1 2.0\n2 1 0.5\n");
    EXPECT_EQ(ParseVectorMarket(coord, "v.mtx", 4), (std::vector<double>{0.0, 0.0, 1.5, 0.0, 2.0}));

    const std::string array31 = "%%MatrixMarket matrix array real general\n3 1\n";
    const struct {
        std::string text;
        int n;
        const char* expected;
    } cases[] = {
        {array31 + "1\n2\n", 3, "v.mtx:4: the file ends after 2 of the 3 values"},
        {array31 + "1\n2\n3\n4\n", 3, "more values"},
        {"%%MatrixMarket matrix array real general\n4 1\n", 3, "the vector has 4 entries, the matrix 3 rows"},
        {"%%MatrixMarket matrix array real general\n3 2\n", 3, "one column"},
        {"%%MatrixMarket matrix array real symmetric\n3 1\n", 3, "must be 'general'"},
        {"%%MatrixMarket matrix array real general\n2 1\n1 2\n", 2, "one value a line"},
        {kBanner + "2 1 1\n1 2 1\n", 2, "column 2 is not 1"},
        {"%%MatrixMarket matrix array real general\n1 1\nnan\n", 1, "not a finite number"},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.text);
        EXPECT_HAS(Refusal<CInputError>([&] { ParseVectorMarket(in, "v.mtx", c.n); }), c.expected) << c.text;
    }
}

TEST(MatrixMarket, SolutionsAndMatricesRoundTripBitForBit)
{
    const double tricky[] = {0.0,
                             1.0 / 3.0,
                             -2.0 / 7.0,
                             1e-310 /* subnormal */,
                             std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::min(),
                             -0.0,
                             0.1 + 0.2,
                             123456789.123456789};
    const int n = static_cast<int>(std::size(tricky)) - 1;
    const CScratchDir dir;
    WriteVectorMarket(dir.Path("x.mtx"), tricky, n, "two\nlines");
    const std::vector<double> back = ReadVectorMarket(dir.Path("x.mtx"), n);
    for (int i = 1; i <= n; ++i) EXPECT_TRUE(BitEqual(back[i], tricky[i])) << i;

    const CSparseMatrix A = ConvectionDiffusion(CBox{3, 2, 2}, CConvection{0.3, -0.7, 1.1, 33.0});
    WriteMatrixMarket(dir.Path("a.mtx"), A);
    const CSparseMatrix B = ReadMatrixMarket(dir.Path("a.mtx"));
    EXPECT_EQ(B.rowStart, A.rowStart);
    EXPECT_EQ(B.col, A.col);
    EXPECT_EQ(B.val, A.val);
}

TEST(MatrixMarket, ReportsFilesItCannotOpen)
{
    EXPECT_HAS(Refusal<CInputError>([] { ReadMatrixMarket("/nonexistent/dir/a.mtx"); }),
               "cannot open /nonexistent/dir/a.mtx: No such file or directory");
    EXPECT_HAS(Refusal<CInputError>([] { ReadMatrixMarket(std::filesystem::temp_directory_path().string()); }),
               "it is a directory");
}

// Inputs that once broke the reader (found by fuzzing) or sit on its edges:
// each must be refused cleanly or read, never crash or hang.
TEST(MatrixMarket, CorpusOfHardInputsIsHandled)
{
    const std::filesystem::path dir = QVL3D_HOST_CORPUS;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        ++files;
        const std::string text = ReadFile(entry.path().string()), name = entry.path().filename().string();
        try {
            std::istringstream s(text);
            const CSparseMatrix A = ParseMatrixMarket(s, name);
            EXPECT_TRUE(A.nCell > 100000 || CHostSystem(A, 1).Validate().Ok()) << name;
        } catch (const CInputError&) {
        }
        try {
            std::istringstream s(text);
            ParseVectorMarket(s, name, 3);
        } catch (const CInputError&) {
        }
    }
    EXPECT_GT(files, 0) << dir;
}

TEST(RealMatrices, EveryFileIsReadAsTheManifestSaysAndValidates)
{
    std::ifstream manifest(MatrixPath("manifest.csv"));
    std::string line;
    std::getline(manifest, line); // header
    int files = 0;
    while (std::getline(manifest, line)) {
        std::vector<std::string> f;
        std::stringstream s(line);
        for (std::string cell; std::getline(s, cell, ',');) f.push_back(cell);
        if (f.size() < 19) continue;
        // Count from the end: the collection name may hold commas.
        const CSparseMatrix A = ReadMatrixMarket(MatrixPath(f[0]));
        EXPECT_EQ(A.nCell, std::stoi(f[f.size() - 17])) << f[0];
        EXPECT_EQ(A.NonZeros(), std::stoll(f[f.size() - 16])) << f[0];
        const CValidationReport report = CHostSystem(A, 1).Validate();
        EXPECT_TRUE(report.Ok()) << f[0] << ":\n" << report.Text();
        ++files;
    }
    EXPECT_GE(files, 9) << "manifest.csv not found: " << MatrixPath("manifest.csv");
}
