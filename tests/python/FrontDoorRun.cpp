// The C++ front door on arrays the Python tests wrote, for comparing bit for
// bit with what the module returns for the same arrays.
//
//     qvl3d_frontdoor_run DIR
//
// DIR holds raw native arrays: indptr32 or indptr64, indices (int32), data,
// b and x0 (float64), and cases.txt with one solve per line:
//     METHOD PRECONDITIONER LAYOUT RTOL ATOL MAXITER REFERENCE
// in the module's words. For each line standard output gets one line:
//     refused MESSAGE
// or
//     STATUS ITERATIONS INITIAL FINAL RELATIVE CONVERGED K H1..HK X1..XN
// with every double in hexadecimal (%a), exact.
#include <qvl3d/Solve.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace qvl3d;

namespace {

template <class T>
bool Read(const std::string& path, std::vector<T>& out)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    out.resize(bytes.size() / sizeof(T));
    if (!bytes.empty()) std::copy(bytes.begin(), bytes.end(), reinterpret_cast<char*>(out.data()));
    return true;
}

// The id of the table's row for word, as the module names it.
template <class Row, std::size_t N>
auto Id(const Row (&table)[N], const std::string& word)
{
    if (const Row* row = FindWord(table, word)) return row->id;
    throw std::runtime_error("unknown word " + word);
}

void Hex(double v)
{
    std::printf(" %a", v);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: qvl3d_frontdoor_run DIR\n");
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/";
    std::vector<std::int32_t> start32, columns;
    std::vector<std::int64_t> start64;
    std::vector<double> values, b, x0;
    const bool wide = Read(dir + "indptr64", start64);
    if ((!wide && !Read(dir + "indptr32", start32)) || !Read(dir + "indices", columns) || !Read(dir + "data", values) ||
        !Read(dir + "b", b) || !Read(dir + "x0", x0)) {
        std::fprintf(stderr, "qvl3d_frontdoor_run: missing arrays in %s\n", argv[1]);
        return 2;
    }
    CCsrView A;
    A.rows = static_cast<std::int64_t>(b.size());
    A.rowStart32 = wide ? nullptr : start32.data();
    A.rowStart64 = wide ? start64.data() : nullptr;
    A.columns = columns.data();
    A.values = values.data();

    std::ifstream cases(dir + "cases.txt");
    std::string line;
    while (std::getline(cases, line)) {
        std::istringstream in(line);
        std::string method, precond, layout, reference;
        CSolveOptions o;
        in >> method >> precond >> layout >> o.rtol >> o.atol >> o.maxIter >> reference;
        o.method = Id(kMethods, method);
        o.preconditioner = Id(kPreconditioners, precond);
        o.layout = Id(kLayouts, layout);
        o.reference = reference == "first" ? EReference::FirstIteration : EReference::RightHandSide;
        std::vector<double> x = x0;
        try {
            CSolver solver(A, o);
            const CSolveResult r = solver.Solve(b.data(), x.data());
            std::printf("%s %d", StatusName(r.status), r.iterations);
            Hex(r.initialResidual);
            Hex(r.finalResidual);
            Hex(r.relativeResidual);
            std::printf(" %d %zu", r.Converged() ? 1 : 0, r.history.size());
            for (double h : r.history) Hex(h);
            for (double v : x) Hex(v);
            std::printf("\n");
        } catch (const std::invalid_argument& e) {
            std::printf("refused %s\n", e.what());
        }
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
