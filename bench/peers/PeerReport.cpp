#include "PeerReport.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qvl3d {
namespace peers {

CPeerArgs::CPeerArgs(int argc, char** argv, const std::set<std::string>& known)
{
    for (int a = 1; a < argc; ++a) {
        const std::string word = argv[a];
        if (word.rfind("--", 0) != 0) throw std::invalid_argument("unexpected argument '" + word + "'");
        const std::string key = word.substr(2);
        if (!known.count(key)) {
            std::string list;
            for (const auto& k : known) list += " --" + k;
            throw std::invalid_argument("unknown option '" + word + "' (options:" + list + ")");
        }
        if (a + 1 >= argc) throw std::invalid_argument("option '" + word + "' needs a value");
        m_values[key] = argv[++a];
    }
}

std::string CPeerArgs::Text(const std::string& key, const std::string& fallback) const
{
    const auto it = m_values.find(key);
    return it == m_values.end() ? fallback : it->second;
}

int CPeerArgs::Int(const std::string& key, int fallback, int lo, int hi) const
{
    const auto it = m_values.find(key);
    if (it == m_values.end()) return fallback;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(it->second.c_str(), &end, 10);
    if (it->second.empty() || *end != '\0' || errno != 0 || v < lo || v > hi)
        throw std::invalid_argument("--" + key + " '" + it->second + "': expected a whole number in " +
                                    std::to_string(lo) + ".." + std::to_string(hi));
    return static_cast<int>(v);
}

double CPeerArgs::Real(const std::string& key, double fallback, double lo, double hi) const
{
    const auto it = m_values.find(key);
    if (it == m_values.end()) return fallback;
    char* end = nullptr;
    const double v = std::strtod(it->second.c_str(), &end);
    if (it->second.empty() || *end != '\0' || !(v >= lo && v <= hi)) {
        std::ostringstream os;
        os << "--" << key << " '" << it->second << "': expected a number in " << lo << ".." << hi;
        throw std::invalid_argument(os.str());
    }
    return v;
}

bool Selected(const std::string& filter, const std::string& method, const std::string& precond,
              const std::string& layout)
{
    if (filter.empty()) return true;
    const std::string name = method + ":" + precond + ":" + layout;
    std::istringstream in(filter);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty() && name.compare(0, item.size(), item) == 0) return true;
    return false;
}

double Median(std::vector<double> v)
{
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

bool MachineMatches(const std::string& thenCpu, int thenCores, double thenLlcMiB, const std::string& cpu, int cores,
                    double llcMiB)
{
    return !thenCpu.empty() && cpu.find(thenCpu) != std::string::npos && thenCores == cores &&
           std::fabs(thenLlcMiB - llcMiB) < 0.5;
}

const char* const kRawHeader = "impl,system,cells,nnz,method,precond,layout,road,ranks,rounds,iterations,build_s,"
                               "setup_s,solve_s,ns_cell_iter,true_relres,error,model_bytes,detail";

void WriteRow(std::FILE* f, const CResultRow& r)
{
    const double perIter =
        r.iterations > 0 && r.cells > 0
            ? r.solveSeconds * 1e9 / (static_cast<double>(r.iterations) * static_cast<double>(r.cells))
            : std::nan("");
    std::fprintf(f, "%s,%s,%lld,%lld,%s,%s,%s,%s,%d,%d,%d,%.6e,%.6e,%.6e,%.4f,%.3e,%.3e,%.1f,\"%s\"\n", r.impl.c_str(),
                 r.system.c_str(), r.cells, r.nonZeros, r.method.c_str(), r.precond.c_str(), r.layout.c_str(),
                 r.road.c_str(), r.ranks, r.rounds, r.iterations, r.buildSeconds, r.setupSeconds, r.solveSeconds,
                 perIter, r.trueRelResidual, r.error, r.modelBytes, r.detail.c_str());
}

void AppendRows(const std::string& path, const std::vector<CResultRow>& rows)
{
    if (path.empty() || path == "-") {
        for (const auto& r : rows) WriteRow(stdout, r);
        std::fflush(stdout);
        return;
    }
    std::FILE* f = std::fopen(path.c_str(), "a");
    if (!f) throw std::runtime_error("cannot append to '" + path + "'");
    if (std::ftell(f) == 0) std::fprintf(f, "%s\n", kRawHeader);
    for (const auto& r : rows) WriteRow(f, r);
    if (std::fclose(f) != 0) throw std::runtime_error("cannot write '" + path + "'");
}

} // namespace peers
} // namespace qvl3d

namespace qvl3d {
namespace peers {

std::vector<std::string> SplitCsvLine(const std::string& line)
{
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false;
    for (char ch : line) {
        if (ch == '"')
            quoted = !quoted;
        else if (ch == ',' && !quoted) {
            out.push_back(cur);
            cur.clear();
        } else if (ch != '\r')
            cur += ch;
    }
    out.push_back(cur);
    return out;
}

std::vector<CCsvRecord> ReadCsv(const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read '" + path + "'");
    std::string line;
    std::vector<std::string> header;
    std::vector<CCsvRecord> records;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (line.empty()) continue;
        const auto cells = SplitCsvLine(line);
        if (header.empty()) {
            header = cells;
            continue;
        }
        if (cells == header) continue;
        if (cells.size() != header.size())
            throw std::runtime_error(path + ":" + std::to_string(lineNo) + ": " + std::to_string(cells.size()) +
                                     " fields, the header has " + std::to_string(header.size()));
        CCsvRecord r;
        for (size_t k = 0; k < header.size(); ++k) r[header[k]] = cells[k];
        records.push_back(r);
    }
    return records;
}

} // namespace peers
} // namespace qvl3d
