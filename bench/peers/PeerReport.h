// What every program of the peer comparison shares besides the systems: its
// command line, the clock, the median over rounds and the raw result row.
//
// Raw rows are CSV, one per configuration, with the medians over the rounds
// already taken. Times are seconds: build_s once per matrix, setup_s per
// solve outside the iterations, solve_s the iterations; ns_cell_iter is
// solve_s divided by iterations and by the system's cells (all ranks
// together).
#ifndef QVL3D_BENCH_PEERS_PEERREPORT_H
#define QVL3D_BENCH_PEERS_PEERREPORT_H

#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace qvl3d {
namespace peers {

// "--key value" pairs. Unknown keys, a key without a value and values that do
// not parse are reported with the key's name (std::invalid_argument).
class CPeerArgs {
public:
    CPeerArgs(int argc, char** argv, const std::set<std::string>& known);
    std::string Text(const std::string& key, const std::string& fallback) const;
    int Int(const std::string& key, int fallback, int lo, int hi) const;
    double Real(const std::string& key, double fallback, double lo, double hi) const;
    bool Has(const std::string& key) const { return m_values.count(key) != 0; }

private:
    std::map<std::string, std::string> m_values;
};

// Options every program takes.
inline std::set<std::string> CommonOptions()
{
    return {"system", "matrices", "rtol", "maxit", "gs-sweeps", "rounds", "min-time", "out", "only", "label"};
}

// Whether "method:precond:layout" passes --only (a comma list of prefixes such
// as "bicgstab:diag" or "gs"); an empty filter passes everything.
bool Selected(const std::string& filter, const std::string& method, const std::string& precond,
              const std::string& layout);

inline double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> v);

// Whether a run on (cpu, cores, llcMiB) is on the kind of machine an earlier
// run (then*) was on: the earlier CPU model within this one's name (a
// model's family, e.g. "AMD EPYC", matches any of its names), the same
// number of cores and the same last-level cache to a MiB.
bool MachineMatches(const std::string& thenCpu, int thenCores, double thenLlcMiB, const std::string& cpu, int cores,
                    double llcMiB);

// Runs one timed measurement until its timed parts add up to minSeconds (at
// least once) and returns their mean, so that small systems are timed over
// many calls. measure() does its own untimed preparation and returns the
// seconds it timed; every rank of a distributed run must see the same value.
template <class F>
double MeanOver(double minSeconds, F&& measure)
{
    double total = 0.0;
    int calls = 0;
    do {
        total += measure();
        ++calls;
    } while (total < minSeconds);
    return total / calls;
}

struct CResultRow {
    std::string impl; // ours, eigen, petsc
    std::string system;
    long long cells = 0;
    long long nonZeros = 0;
    std::string method;  // bicgstab, cg, gs
    std::string precond; // diag, dilu, none (PETSc's ILU(0) counts as dilu: the same on these matrices)
    std::string layout;  // ours: native, csr, ell; peers: their storage
    std::string road;    // ours: front (qvl3d::CSolver) or entry (CSingleGridSolver's entry points); peers: empty
    int ranks = 1;
    int rounds = 0;
    int iterations = 0;
    double buildSeconds = 0.0; // once per matrix: the front door's constructor (its layout and sweep rows); else 0
    double setupSeconds = 0.0;
    double solveSeconds = 0.0;
    double trueRelResidual = 0.0;
    double error = 0.0;
    double modelBytes = 0.0; // ours: byte model per cell and iteration; 0 for peers
    std::string detail;      // what exactly ran, for the notes
};

extern const char* const kRawHeader;

// A CSV record by column name, as AppendRows wrote it.
using CCsvRecord = std::map<std::string, std::string>;
// Fields of one CSV line; a quoted field may hold commas.
std::vector<std::string> SplitCsvLine(const std::string& line);
// The records of a CSV file with a header line; repeated header lines (one
// per appended program run) are skipped. A record whose field count differs
// from the header's is refused with the file and line (std::runtime_error).
std::vector<CCsvRecord> ReadCsv(const std::string& path);
void WriteRow(std::FILE* f, const CResultRow& r);
// Appends to path, or writes to stdout for "" or "-"; the header goes first
// into a new or empty file.
void AppendRows(const std::string& path, const std::vector<CResultRow>& rows);

} // namespace peers
} // namespace qvl3d

#endif
