// Turns the raw rows of one comparison run into its results: a CSV with the
// ratios, a Markdown report (machine, bandwidth, the byte model's bounds, the
// table, the targets met or missed) and the data file of the chart.
//
//   bench_peers_report --raw raw.csv --stream stream.csv --machine machine.txt
//                      --model model.md --llc BYTES --out-dir DIR
//
// The targets are checked on the box systems of the largest edge (with the
// run's sizes, every working set at least four times the last-level cache:
// streaming) and again on those of the smallest edge (in cache); each
// system's regime is named from its rows' working sets against --llc.
//
// Ratios: ours/peer compares ns per cell per iteration with the peer's row of
// the same system, method, preconditioner and rank count (PETSc's ILU(0)
// stands against our DILU, Jacobi against our diagonal preconditioner, its
// Richardson/SOR loop against our Gauss-Seidel); "faster peer" is the smaller
// of Eigen and PETSc. ours/bound divides by the byte model's bytes over the
// measured triad bandwidth of the same number of processes.
#include "MachineSizes.h"
#include "PeerReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

using namespace qvl3d::peers;

namespace {

// Label suffix of the rows that run a system to the tolerance without an
// iteration cap (run.sh's to-solution block).
const std::string kToSolution = "/to-solution";

struct CRow {
    CCsvRecord f;
    std::string S(const std::string& k) const
    {
        const auto it = f.find(k);
        return it == f.end() ? "" : it->second;
    }
    double D(const std::string& k) const
    {
        const std::string v = S(k);
        if (v.empty()) return std::nan("");
        char* end = nullptr;
        const double d = std::strtod(v.c_str(), &end);
        return end == v.c_str() ? std::nan("") : d;
    }
    int I(const std::string& k) const { return static_cast<int>(D(k)); }
    bool Available() const { return I("iterations") > 0 && std::isfinite(D("ns_cell_iter")); }
};

std::vector<CRow> ReadRows(const std::string& path)
{
    std::vector<CRow> rows;
    for (auto& record : ReadCsv(path)) rows.push_back(CRow{std::move(record)});
    return rows;
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    if (!in) return "";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Fmt(double v, const char* format)
{
    if (!std::isfinite(v)) return "-";
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

// One row per configuration: rows of the same implementation, system,
// method, preconditioner, layout and rank count (one per round when run.sh
// goes round the programs) become their medians; rounds add up.
std::vector<CRow> MergeRounds(const std::vector<CRow>& rows)
{
    std::vector<CRow> merged;
    std::map<std::string, std::vector<const CRow*>> groups;
    std::vector<std::string> order;
    for (const CRow& r : rows) {
        const std::string key = r.S("impl") + "|" + r.S("system") + "|" + r.S("method") + "|" + r.S("precond") + "|" +
                                r.S("layout") + "|" + r.S("ranks");
        if (!groups.count(key)) order.push_back(key);
        groups[key].push_back(&r);
    }
    for (const std::string& key : order) {
        const auto& g = groups[key];
        CRow m = *g.front();
        std::vector<const CRow*> measured;
        for (const CRow* r : g)
            if (r->Available()) measured.push_back(r);
        if (!measured.empty()) {
            m = *measured.front();
            auto median = [&](const char* field, const char* format) {
                std::vector<double> v;
                for (const CRow* r : measured) v.push_back(r->D(field));
                m.f[field] = Fmt(Median(v), format);
            };
            median("setup_s", "%.6e");
            median("solve_s", "%.6e");
            median("ns_cell_iter", "%.4f");
            median("true_relres", "%.3e");
            median("error", "%.3e");
            median("iterations", "%.0f");
            int rounds = 0;
            for (const CRow* r : measured) rounds += r->I("rounds");
            m.f["rounds"] = std::to_string(rounds);
        }
        merged.push_back(m);
    }
    return merged;
}

std::string MethodName(const std::string& m)
{
    return m == "bicgstab" ? "BiCGSTAB" : m == "cg" ? "CG" : m == "gs" ? "Gauss-Seidel" : m;
}

std::string PrecondName(const CRow& r)
{
    const std::string p = r.S("precond"), impl = r.S("impl");
    if (p == "diag") return impl == "ours" ? "diagonal" : "Jacobi";
    if (p == "dilu") return impl == "ours" ? "DILU" : "ILU(0)";
    if (p == "none") return impl == "petsc" ? "SOR" : "-";
    return p;
}

std::string ImplName(const std::string& impl)
{
    return impl == "ours" ? "ours" : impl == "eigen" ? "Eigen" : impl == "petsc" ? "PETSc" : impl;
}

struct CKey {
    std::string system, method, precond;
    int ranks;
    bool operator<(const CKey& o) const
    {
        return std::tie(system, method, precond, ranks) < std::tie(o.system, o.method, o.precond, o.ranks);
    }
};

class CResults {
public:
    CResults(std::vector<CRow> rows, std::map<int, double> bandwidth)
        : m_rows(std::move(rows)), m_bw(std::move(bandwidth))
    {
        for (const CRow& r : m_rows) m_systems.insert(r.S("system"));
    }

    const std::vector<CRow>& Rows() const { return m_rows; }

    const CRow* Find(const std::string& impl, const std::string& system, const std::string& method,
                     const std::string& precond, const std::string& layout, int ranks) const
    {
        for (const CRow& r : m_rows)
            if (r.S("impl") == impl && r.S("system") == system && r.S("method") == method &&
                r.S("precond") == precond && (layout.empty() || r.S("layout") == layout) && r.I("ranks") == ranks &&
                r.Available())
                return &r;
        return nullptr;
    }

    double PeerNs(const CRow& ours, const std::string& impl) const
    {
        const CRow* p = Find(impl, ours.S("system"), ours.S("method"), ours.S("precond"), "", ours.I("ranks"));
        return p ? p->D("ns_cell_iter") : std::nan("");
    }

    double FasterPeerNs(const CRow& ours) const
    {
        const double e = PeerNs(ours, "eigen"), p = PeerNs(ours, "petsc");
        if (std::isnan(e)) return p;
        if (std::isnan(p)) return e;
        return std::min(e, p);
    }

    double BoundNs(const CRow& r) const
    {
        const auto it = m_bw.find(r.I("ranks"));
        const double bytes = r.D("model_bytes");
        if (it == m_bw.end() || !(bytes > 0.0)) return std::nan("");
        return bytes / (it->second * 1e9) * 1e9;
    }

    double Bandwidth(int ranks) const
    {
        const auto it = m_bw.find(ranks);
        return it == m_bw.end() ? std::nan("") : it->second;
    }

private:
    std::vector<CRow> m_rows;
    std::map<int, double> m_bw; // GB/s, write-allocate counted
    std::set<std::string> m_systems;
};

// Rows in a stable reading order: system, ranks, method, preconditioner, ours
// before the peers, layout.
std::vector<const CRow*> Ordered(const std::vector<CRow>& rows, const std::vector<std::string>& systemOrder)
{
    auto rank = [](const std::string& v, std::initializer_list<const char*> order) {
        int k = 0;
        for (const char* o : order) {
            if (v == o) return k;
            ++k;
        }
        return k;
    };
    auto sysRank = [&](const std::string& s) {
        const auto it = std::find(systemOrder.begin(), systemOrder.end(), s);
        return static_cast<int>(it - systemOrder.begin());
    };
    std::vector<const CRow*> out;
    for (const CRow& r : rows) out.push_back(&r);
    std::stable_sort(out.begin(), out.end(), [&](const CRow* a, const CRow* b) {
        const auto ka = std::make_tuple(
            sysRank(a->S("system")), a->I("ranks"), rank(a->S("method"), {"bicgstab", "cg", "gs"}),
            rank(a->S("precond"), {"diag", "dilu", "none"}), rank(a->S("impl"), {"ours", "eigen", "petsc"}),
            rank(a->S("layout"), {"native", "csr", "ell"}));
        const auto kb = std::make_tuple(
            sysRank(b->S("system")), b->I("ranks"), rank(b->S("method"), {"bicgstab", "cg", "gs"}),
            rank(b->S("precond"), {"diag", "dilu", "none"}), rank(b->S("impl"), {"ours", "eigen", "petsc"}),
            rank(b->S("layout"), {"native", "csr", "ell"}));
        return ka < kb;
    });
    return out;
}

std::string MarkdownTable(const CResults& res, const std::vector<const CRow*>& rows)
{
    std::ostringstream md;
    md << "| system | method | precond | impl | layout | ranks | its | set-up s | solve s | ns/cell/it | "
          "true relres | error | ours/Eigen | ours/PETSc | ours/bound |\n"
          "|---|---|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const CRow* r : rows) {
        const bool ours = r->S("impl") == "ours";
        md << "| " << r->S("system") << " | " << MethodName(r->S("method")) << " | " << PrecondName(*r) << " | "
           << ImplName(r->S("impl")) << " | " << r->S("layout") << " | " << r->I("ranks") << " | ";
        if (!r->Available()) {
            md << "- | - | - | - | - | - | - | - | - | " << r->S("detail") << " |\n";
            continue;
        }
        const double ns = r->D("ns_cell_iter");
        md << r->I("iterations") << " | " << Fmt(r->D("setup_s"), "%.3g") << " | " << Fmt(r->D("solve_s"), "%.3g")
           << " | " << Fmt(ns, "%.1f") << " | " << Fmt(r->D("true_relres"), "%.1e") << " | "
           << Fmt(r->D("error"), "%.1e") << " | ";
        if (ours)
            md << Fmt(ns / res.PeerNs(*r, "eigen"), "%.2f") << " | " << Fmt(ns / res.PeerNs(*r, "petsc"), "%.2f")
               << " | " << Fmt(ns / res.BoundNs(*r), "%.2f") << " |\n";
        else
            md << " | | |\n";
    }
    return md.str();
}

void WriteCsv(const std::string& path, const CResults& res, const std::vector<const CRow*>& rows)
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("cannot write '" + path + "'");
    std::fprintf(f, "impl,system,cells,nnz,method,precond,layout,ranks,rounds,iterations,setup_s,solve_s,ns_cell_iter,"
                    "true_relres,error,model_bytes,bound_ns,ours_over_eigen,ours_over_petsc,ours_over_faster_peer,"
                    "ours_over_bound,detail\n");
    for (const CRow* r : rows) {
        const bool ours = r->S("impl") == "ours" && r->Available();
        const double ns = r->D("ns_cell_iter");
        auto ratio = [&](double d) { return ours ? Fmt(ns / d, "%.4f") : std::string(); };
        std::fprintf(f, "%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,\"%s\"\n", r->S("impl").c_str(),
                     r->S("system").c_str(), r->S("cells").c_str(), r->S("nnz").c_str(), r->S("method").c_str(),
                     r->S("precond").c_str(), r->S("layout").c_str(), r->S("ranks").c_str(), r->S("rounds").c_str(),
                     r->S("iterations").c_str(), r->S("setup_s").c_str(), r->S("solve_s").c_str(),
                     r->S("ns_cell_iter").c_str(), r->S("true_relres").c_str(), r->S("error").c_str(),
                     r->S("model_bytes").c_str(), ours ? Fmt(res.BoundNs(*r), "%.3f").c_str() : "",
                     ratio(res.PeerNs(*r, "eigen")).c_str(), ratio(res.PeerNs(*r, "petsc")).c_str(),
                     ratio(res.FasterPeerNs(*r)).c_str(), ratio(res.BoundNs(*r)).c_str(), r->S("detail").c_str());
    }
    std::fclose(f);
}

// The targets, checked on every box system of the largest edge.
std::string Targets(const CResults& res, const std::vector<std::string>& systems)
{
    std::ostringstream md;
    md << "| target | system | measured | verdict |\n|---|---|---|---|\n";
    auto line = [&](const std::string& target, const std::string& sys, const std::string& measured, bool known,
                    bool met, bool info = false) {
        md << "| " << target << " | " << sys << " | " << measured << " | "
           << (info    ? "for comparison"
               : known ? (met ? "met" : "**missed**")
                       : "not measured")
           << " |\n";
    };
    for (const std::string& sys : systems) {
        // BiCGSTAB, diagonal, CSR, 1 rank.
        if (const CRow* o = res.Find("ours", sys, "bicgstab", "diag", "csr", 1)) {
            const double ns = o->D("ns_cell_iter"), peer = res.FasterPeerNs(*o), bound = res.BoundNs(*o);
            line("BiCGSTAB diag CSR <= 0.85 x faster peer", sys,
                 Fmt(ns, "%.1f") + " vs " + Fmt(peer, "%.1f") + " ns: " + Fmt(ns / peer, "%.2f") + "x",
                 std::isfinite(peer), ns / peer <= 0.85);
            line("BiCGSTAB diag CSR <= 1.15 x bound", sys,
                 Fmt(ns, "%.1f") + " vs " + Fmt(bound, "%.1f") + " ns: " + Fmt(ns / bound, "%.2f") + "x",
                 std::isfinite(bound), ns / bound <= 1.15);
        } else {
            line("BiCGSTAB diag CSR vs peers and bound", sys, "ours not available", false, false);
        }
        // Iterations are compared where the solves run to the tolerance: the
        // system's to-solution rows when the run has them.
        const std::string solved = sys + kToSolution;
        for (const char* layout : {"native", "ell"}) {
            if (const CRow* o = res.Find("ours", sys, "bicgstab", "diag", layout, 1)) {
                const double q = o->D("ns_cell_iter") / res.FasterPeerNs(*o);
                line(std::string("BiCGSTAB diag ") + layout + " <= 0.85 x faster peer", sys, Fmt(q, "%.2f") + "x",
                     std::isfinite(q), q <= 0.85);
            }
        }
        for (const char* layout : {"csr", "native", "ell"}) {
            const CRow* o = res.Find("ours", sys, "bicgstab", "dilu", layout, 1);
            const CRow* p = res.Find("petsc", sys, "bicgstab", "dilu", "", 1);
            const std::string name = std::string("BiCGSTAB DILU ") + layout;
            if (o && p) {
                const double q = o->D("ns_cell_iter") / p->D("ns_cell_iter");
                line(name + " <= 0.9 x PETSc ILU(0)", sys, Fmt(q, "%.2f") + "x", true, q <= 0.9);
                const double b = o->D("ns_cell_iter") / res.BoundNs(*o);
                line(name + " <= 1.3 x bound", sys, Fmt(b, "%.2f") + "x", std::isfinite(b), b <= 1.3);
            } else {
                line(name + " vs PETSc ILU(0)", sys, o ? "PETSc row missing" : "ours not available", false, false);
            }
            const CRow* os = res.Find("ours", solved, "bicgstab", "dilu", layout, 1);
            const CRow* ps = res.Find("petsc", solved, "bicgstab", "dilu", "", 1);
            if (!os || !ps) {
                os = o;
                ps = p;
            }
            if (os && ps) {
                const double its = static_cast<double>(os->I("iterations")) / ps->I("iterations");
                line(name + " iterations within 5 % of PETSc", os->S("system"),
                     std::to_string(os->I("iterations")) + " vs " + std::to_string(ps->I("iterations")), true,
                     std::fabs(its - 1.0) <= 0.05);
            }
        }
        // PCG: the diagonal preconditioner against the faster peer, DILU
        // against PETSc's ILU(0) (the only peer with it) and its own bound.
        for (const char* precond : {"diag", "dilu"})
            for (const char* layout : {"csr", "native"}) {
                const bool dilu = std::string(precond) == "dilu";
                const std::string name = std::string("PCG ") + precond + " " + layout +
                                         (dilu ? " <= 0.9 x PETSc ILU(0)" : " <= 0.85 x faster peer");
                const CRow* o = res.Find("ours", sys, "cg", precond, layout, 1);
                if (!o) {
                    line(name, sys, "ours not available (or not symmetric)", false, false);
                    continue;
                }
                const double q = o->D("ns_cell_iter") / res.FasterPeerNs(*o);
                line(name, sys, Fmt(q, "%.2f") + "x", std::isfinite(q), q <= (dilu ? 0.9 : 0.85));
                if (dilu) {
                    const double b = o->D("ns_cell_iter") / res.BoundNs(*o);
                    line(std::string("PCG dilu ") + layout + " <= 1.3 x bound", sys, Fmt(b, "%.2f") + "x",
                         std::isfinite(b), b <= 1.3);
                }
            }
        for (const char* layout : {"csr", "native", "ell"}) {
            const CRow* o = res.Find("ours", sys, "gs", "none", layout, 1);
            const std::string name = std::string("Gauss-Seidel ") + layout + " <= 0.9 x PETSc SOR loop";
            if (!o) {
                line(name, sys, "ours not available", false, false);
                continue;
            }
            const double q = o->D("ns_cell_iter") / res.PeerNs(*o, "petsc");
            line(name, sys, Fmt(o->D("ns_cell_iter"), "%.1f") + " ns: " + Fmt(q, "%.2f") + "x", std::isfinite(q),
                 q <= 0.9);
        }
        for (const char* method : {"bicgstab", "cg", "gs"})
            for (const char* precond : {"diag", "dilu", "none"}) {
                const CRow* csr = res.Find("ours", sys, method, precond, "csr", 1);
                if (!csr) continue;
                for (const char* layout : {"native", "ell"}) {
                    const CRow* o = res.Find("ours", sys, method, precond, layout, 1);
                    if (!o) continue;
                    const double q = o->D("ns_cell_iter") / csr->D("ns_cell_iter");
                    line(MethodName(method) + " " + precond + " " + layout + " <= 1.25 x CSR", sys,
                         Fmt(q, "%.2f") + "x", true, q <= 1.25);
                }
            }
        for (const CRow& r : res.Rows()) {
            if (r.S("system") != sys || r.I("ranks") != 2 || !r.Available()) continue;
            const CRow* one = res.Find(r.S("impl"), sys, r.S("method"), r.S("precond"), r.S("layout"), 1);
            if (!one) continue;
            const double speedup = one->D("ns_cell_iter") / r.D("ns_cell_iter");
            const bool ours = r.S("impl") == "ours";
            line((ours ? "" : "(peer) ") + ImplName(r.S("impl")) + " " + MethodName(r.S("method")) + " " +
                     r.S("precond") + " " + r.S("layout") + ": 2 ranks vs 1" + (ours ? " >= 1.8x" : ""),
                 sys, Fmt(speedup, "%.2f") + "x", true, speedup >= 1.8, !ours);
        }
    }
    return md.str();
}

// The bound of every method, preconditioner and layout of ours on a system:
// model bytes over the triad bandwidth of 1 and 2 processes.
std::string Bounds(const CResults& res, const std::string& system)
{
    std::ostringstream md;
    md << "| " << system
       << " | bytes native | CSR | ELL | bound 1 proc native | CSR | ELL | bound 2 procs native | CSR | ELL |\n"
       << "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    const struct {
        const char* method;
        const char* precond;
    } groups[] = {{"bicgstab", "diag"}, {"bicgstab", "dilu"}, {"cg", "diag"}, {"cg", "dilu"}, {"gs", "none"}};
    for (const auto& g : groups) {
        double bytes[3];
        bool any = false;
        int k = 0;
        for (const char* layout : {"native", "csr", "ell"}) {
            bytes[k] = std::nan("");
            for (const CRow& r : res.Rows())
                if (r.S("impl") == "ours" && r.S("system") == system && r.S("method") == g.method &&
                    r.S("precond") == g.precond && r.S("layout") == layout && r.D("model_bytes") > 0.0)
                    bytes[k] = r.D("model_bytes");
            any = any || std::isfinite(bytes[k]);
            ++k;
        }
        if (!any) continue;
        md << "| " << MethodName(g.method) << " " << g.precond << " |";
        for (double b : bytes) md << " " << Fmt(b, "%.0f") << " |";
        for (int ranks = 1; ranks <= 2; ++ranks)
            for (double b : bytes) md << " " << Fmt(b / res.Bandwidth(ranks), "%.1f") << " |";
        md << "\n";
    }
    return md.str();
}

// Chart data: one line per method and preconditioner of the given system at
// one rank, columns ours native, ours CSR, ours ELL, Eigen, PETSc, bound (CSR).
void WriteChartData(const std::string& path, const CResults& res, const std::string& system)
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("cannot write '" + path + "'");
    std::fprintf(f, "group ours-native ours-CSR ours-ELL Eigen PETSc bound-CSR\n");
    const struct {
        const char* method;
        const char* precond;
        const char* label;
    } groups[] = {{"bicgstab", "diag", "BiCGSTAB+diag"},
                  {"bicgstab", "dilu", "BiCGSTAB+DILU/ILU0"},
                  {"cg", "diag", "CG+diag"},
                  {"cg", "dilu", "CG+DILU/ILU0"},
                  {"gs", "none", "GS/SOR"}};
    for (const auto& g : groups) {
        auto ns = [&](const char* impl, const char* layout) {
            const CRow* r = res.Find(impl, system, g.method, g.precond, layout, 1);
            return r ? r->D("ns_cell_iter") : std::nan("");
        };
        double bound = std::nan("");
        for (const CRow& r : res.Rows())
            if (r.S("impl") == "ours" && r.S("system") == system && r.S("method") == g.method &&
                r.S("precond") == g.precond && r.S("layout") == "csr" && r.I("ranks") == 1)
                bound = res.BoundNs(r);
        const double vals[] = {ns("ours", "native"), ns("ours", "csr"), ns("ours", "ell"),
                               ns("eigen", ""),      ns("petsc", ""),   bound};
        bool any = false;
        for (double v : vals) any = any || std::isfinite(v);
        if (!any) continue;
        std::fprintf(f, "\"%s\"", g.label);
        for (double v : vals) std::fprintf(f, " %s", std::isfinite(v) ? Fmt(v, "%.3f").c_str() : "NaN");
        std::fprintf(f, "\n");
    }
    std::fclose(f);
}

// The range of the rows' working sets on a system against the last-level
// cache, and the regime that range puts it in.
struct CRegime {
    double lo = 0.0, hi = 0.0; // working set / LLC over the system's rows
    std::string Name() const
    {
        if (!(hi > 0.0)) return "cache unknown";
        return hi <= 0.25 ? "in cache" : lo >= 4.0 ? "streaming" : "neither in cache nor streaming";
    }
    std::string Text() const
    {
        return Name() + ": working sets " + Fmt(lo, "%.2g") + "-" + Fmt(hi, "%.2g") + "x the last-level cache";
    }
};

CRegime RegimeOf(const std::vector<CRow>& rows, const std::string& system, double llc)
{
    CRegime g;
    g.lo = 1e300;
    for (const CRow& r : rows) {
        if (r.S("system") != system || !(llc > 0.0)) continue;
        const double cells = r.D("cells"), perRow = r.D("nnz") / cells;
        const double ws = WorkingSetPerCell(r.S("impl"), r.S("method"), r.S("precond"), r.S("layout"), perRow, 7);
        if (!(ws > 0.0)) continue;
        g.lo = std::min(g.lo, ws * cells / llc);
        g.hi = std::max(g.hi, ws * cells / llc);
    }
    if (g.hi == 0.0) g.lo = 0.0;
    return g;
}

int Run(int argc, char** argv)
{
    const CPeerArgs args(argc, argv, {"raw", "stream", "machine", "model", "limits", "llc", "out-dir"});
    const double llc = args.Real("llc", 0.0, 0.0, 1e15);
    const std::string outDir = args.Text("out-dir", ".");
    const std::vector<CRow> raw = MergeRounds(ReadRows(args.Text("raw", "raw.csv")));
    std::map<int, double> bw;
    // The triad runs at the start and at the end of the run; the better of
    // the two is the machine's bandwidth (the other saw more interference).
    for (const CRow& s : ReadRows(args.Text("stream", "stream.csv"))) {
        const int p = s.I("processes");
        bw[p] = std::max(bw.count(p) ? bw[p] : 0.0, s.D("median_GBs_32"));
    }

    // Systems in the order they first appear; the box systems of the largest
    // edge carry the targets, and those of the smallest edge repeat them.
    std::vector<std::string> systems;
    long long largest = 0, smallest = 0;
    auto isBox = [](const std::string& s) {
        return (s.rfind("poisson-", 0) == 0 || s.rfind("convdiff-", 0) == 0) && s.find('/') == std::string::npos;
    };
    for (const CRow& r : raw) {
        if (std::find(systems.begin(), systems.end(), r.S("system")) == systems.end()) systems.push_back(r.S("system"));
        if (!isBox(r.S("system"))) continue;
        const auto cells = static_cast<long long>(r.D("cells"));
        largest = std::max(largest, cells);
        smallest = smallest == 0 ? cells : std::min(smallest, cells);
    }
    auto boxesOf = [&](long long cells) {
        std::vector<std::string> out;
        for (const std::string& s : systems)
            for (const CRow& r : raw)
                if (r.S("system") == s && static_cast<long long>(r.D("cells")) == cells && isBox(s)) {
                    out.push_back(s);
                    break;
                }
        return out;
    };
    const std::vector<std::string> targetSystems = boxesOf(largest);
    const std::vector<std::string> smallSystems = smallest != largest ? boxesOf(smallest) : std::vector<std::string>();
    auto regimes = [&](const std::vector<std::string>& group) {
        std::string text;
        for (const std::string& s : group) text += (text.empty() ? "" : "; ") + s + " " + RegimeOf(raw, s, llc).Text();
        return text;
    };

    const CResults res(raw, bw);
    const auto ordered = Ordered(res.Rows(), systems);
    WriteCsv(outDir + "/peers.csv", res, ordered);

    std::ostringstream md;
    md << "# Speed against the peers\n\n" << ReadText(args.Text("machine", "machine.txt")) << "\n";
    md << "Triad bandwidth (median of the repeats, the better of the runs at the start and the end, "
          "write-allocate counted: 32 bytes per element): ";
    for (const auto& [p, g] : bw) md << p << (p == 1 ? " process " : " processes ") << Fmt(g, "%.1f") << " GB/s; ";
    md << "see stream.csv for STREAM's 24-byte figures.\n\n";
    md << "## Targets at the larger boxes\n\n"
       << regimes(targetSystems) << ".\n\n"
       << Targets(res, targetSystems) << "\n";
    if (!smallSystems.empty())
        md << "## The same targets at the smaller boxes\n\n"
           << regimes(smallSystems) << ".\n\n"
           << Targets(res, smallSystems) << "\n";
    md << "## All rows\n\nMedians over the rounds; ns/cell/it = solve time / iterations / cells (all ranks). "
          "Set-up: preconditioner construction (ours: a call with iteration limit 0, which also forms the "
          "initial residual). Ratios are ns/cell/it against the peer's row of the same system, method, "
          "preconditioner and ranks, and against the byte-model bound.\n\n"
       << MarkdownTable(res, ordered) << "\n";
    md << "## Byte model\n\nBound = model bytes per cell and iteration / triad bandwidth of the same number "
          "of processes (ns per cell per iteration).\n\n";
    for (const std::string& s : targetSystems) md << Bounds(res, s) << "\n";
    const std::string model = ReadText(args.Text("model", ""));
    if (!model.empty()) md << "### Passes of one iteration\n\n" << model << "\n";
    const std::string limits = ReadText(args.Text("limits", ""));
    if (!limits.empty())
        md << "## What limits a pass\n\nMicrobenchmarks (bench_peers_limits) on the same host arrays; GB/s under "
              "the byte model's accounting.\n\n```\n"
           << limits << "```\n";
    std::ofstream(outDir + "/peers.md") << md.str();

    // Chart data per target system.
    for (const std::string& s : targetSystems) WriteChartData(outDir + "/chart-" + s + ".dat", res, s);
    for (const std::string& s : smallSystems) WriteChartData(outDir + "/chart-" + s + ".dat", res, s);
    // Summary for the README: the rows of the largest boxes, then those of
    // the smallest, each under its regime.
    auto rowsOf = [&](const std::vector<std::string>& group) {
        std::vector<const CRow*> out;
        for (const CRow* r : ordered) {
            std::string sys = r->S("system");
            if (sys.size() > kToSolution.size() &&
                sys.compare(sys.size() - kToSolution.size(), kToSolution.size(), kToSolution) == 0)
                sys.resize(sys.size() - kToSolution.size());
            if (std::find(group.begin(), group.end(), sys) != group.end()) out.push_back(r);
        }
        return out;
    };
    std::ostringstream summary;
    summary << "Larger boxes (" << regimes(targetSystems) << "):\n\n" << MarkdownTable(res, rowsOf(targetSystems));
    if (!smallSystems.empty())
        summary << "\nSmaller boxes (" << regimes(smallSystems) << "):\n\n" << MarkdownTable(res, rowsOf(smallSystems));
    std::ofstream(outDir + "/summary.md") << summary.str();
    std::printf("%s", Targets(res, targetSystems).c_str());
    if (!smallSystems.empty()) std::printf("smaller boxes:\n%s", Targets(res, smallSystems).c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_peers_report: %s\n", e.what());
        return 2;
    }
}
