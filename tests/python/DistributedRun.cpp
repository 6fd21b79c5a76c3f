// The C++ distributed front door on the arrays each rank of a Python test
// wrote, for comparing bit for bit with what qvl3d.DistributedSolver
// returned for them (tests/python/RunDistributed.cmake).
//
//     mpiexec -n P qvl3d_distributed_run DIR
//
// DIR/rank<R> holds rank R's raw native arrays: indptr, indices and ids
// (int64; ids empty for range ownership, whose first row is in first),
// data and b (float64), and cases.txt with one solve per line:
//     METHOD PRECONDITIONER LAYOUT
// in the module's words (rtol 1e-10, x0 = 0). For case k the rank writes
// cpp<k>.bin: x, the history, then iterations, the initial and the final
// residual, all as float64 (the test wrote py<k>.bin the same way).
#include <qvl3d/DistributedSolve.h>

#include <algorithm>
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
std::vector<T> Read(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<T> out(bytes.size() / sizeof(T));
    if (!bytes.empty()) std::copy(bytes.begin(), bytes.end(), reinterpret_cast<char*>(out.data()));
    return out;
}

template <class Row, std::size_t N>
auto Choose(const std::string& word, const Row (&table)[N])
{
    if (const Row* row = FindWord(table, word)) return row->id;
    throw std::runtime_error("unknown word " + word);
}

void Run(const std::string& dir)
{
    const std::vector<std::int64_t> indptr = Read<std::int64_t>(dir + "/indptr"),
                                    indices = Read<std::int64_t>(dir + "/indices"),
                                    ids = Read<std::int64_t>(dir + "/ids"), first = Read<std::int64_t>(dir + "/first");
    const std::vector<double> data = Read<double>(dir + "/data"), b = Read<double>(dir + "/b");
    const CGlobalRows rows{static_cast<std::int64_t>(indptr.size()) - 1, indptr.data(), indices.data(), data.data()};
    const COwnership own = first.empty() ? COwnership::List(ids.data()) : COwnership::Range(first[0]);
    std::ifstream cases(dir + "/cases.txt");
    std::string line;
    for (int k = 0; std::getline(cases, line); ++k) {
        std::istringstream words(line);
        std::string method, preconditioner, layout;
        words >> method >> preconditioner >> layout;
        CSolveOptions o;
        o.method = Choose(method, kMethods);
        o.preconditioner = Choose(preconditioner, kPreconditioners);
        o.layout = Choose(layout, kLayouts);
        o.rtol = 1e-10;
        CDistributedSolver solver(MPI_COMM_WORLD, rows, own, o);
        std::vector<double> x(b.size(), 0.0);
        const CSolveResult r = solver.Solve(b.data(), x.data());
        std::vector<double> out = x;
        out.insert(out.end(), r.history.begin(), r.history.end());
        out.insert(out.end(), {static_cast<double>(r.iterations), r.initialResidual, r.finalResidual});
        std::ofstream f(dir + "/cpp" + std::to_string(k) + ".bin", std::ios::binary);
        f.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size() * sizeof(double)));
    }
}

} // namespace

int main(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    int rank = 0, status = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    try {
        if (argc != 2) throw std::runtime_error("usage: qvl3d_distributed_run DIR");
        Run(std::string(argv[1]) + "/rank" + std::to_string(rank));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rank %d: %s\n", rank, e.what());
        status = 1;
    }
    MPI_Finalize();
    return status;
}
