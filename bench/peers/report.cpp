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
                                r.S("layout") + "|" + r.S("road") + "|" + r.S("ranks");
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
            median("build_s", "%.6e");
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
    return m == "bicgstab" ? "BiCGSTAB" : m == "cg" ? "CG" : m == "gs" ? "Gauss-Seidel" : m == "gmres" ? "GMRES" : m;
}

std::string PrecondName(const CRow& r)
{
    const std::string p = r.S("precond"), impl = r.S("impl");
    if (p == "diag") return impl == "ours" ? "diagonal" : "Jacobi";
    if (p == "dilu") return impl == "ours" ? "DILU" : "ILU(0)";
    if (p == "none") return impl == "petsc" ? "SOR" : "-";
    if (p == "gamg") return "GAMG";
    if (p == "hypre") return "BoomerAMG";
    if (p == "ilu0") return "ILU(0)";
    if (p == "amg") return "AMG";
    return p;
}

std::string ImplName(const std::string& impl)
{
    return impl == "ours" ? "ours" : impl == "eigen" ? "Eigen" : impl == "petsc" ? "PETSc" : impl;
}

// "ours, front door" / "ours, entry points" / the peer's name.
std::string WhoName(const CRow& r)
{
    const std::string road = r.S("road");
    if (r.S("impl") != "ours" || road.empty()) return ImplName(r.S("impl"));
    return road == "front" ? "ours, front door" : "ours, entry points";
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

    // road: front or entry for ours (empty: either); the peers have none.
    const CRow* Find(const std::string& impl, const std::string& system, const std::string& method,
                     const std::string& precond, const std::string& layout, int ranks,
                     const std::string& road = "") const
    {
        for (const CRow& r : m_rows)
            if (r.S("impl") == impl && r.S("system") == system && r.S("method") == method &&
                r.S("precond") == precond && (layout.empty() || r.S("layout") == layout) && r.I("ranks") == ranks &&
                (road.empty() || r.S("road") == road) && r.Available())
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
// (front door, then entry points) before the peers, layout.
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
    auto key = [&](const CRow* r) {
        return std::make_tuple(sysRank(r->S("system")), r->I("ranks"),
                               rank(r->S("method"), {"bicgstab", "cg", "gmres", "gs"}),
                               rank(r->S("precond"), {"diag", "dilu", "ilu0", "none", "amg", "gamg", "hypre"}),
                               rank(r->S("impl"), {"ours", "eigen", "petsc"}), rank(r->S("road"), {"front", "entry"}),
                               rank(r->S("layout"), {"native", "csr", "ell"}));
    };
    std::vector<const CRow*> out;
    for (const CRow& r : rows) out.push_back(&r);
    std::stable_sort(out.begin(), out.end(), [&](const CRow* a, const CRow* b) { return key(a) < key(b); });
    return out;
}

std::string MarkdownTable(const CResults& res, const std::vector<const CRow*>& rows)
{
    std::ostringstream md;
    md << "| system | method | precond | impl | layout | ranks | its | build s | set-up s | solve s | ns/cell/it | "
          "true relres | error | ours/Eigen | ours/PETSc | ours/bound |\n"
          "|---|---|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const CRow* r : rows) {
        const bool ours = r->S("impl") == "ours";
        md << "| " << r->S("system") << " | " << MethodName(r->S("method")) << " | " << PrecondName(*r) << " | "
           << WhoName(*r) << " | " << r->S("layout") << " | " << r->I("ranks") << " | ";
        if (!r->Available()) {
            md << "- | - | - | - | - | - | - | - | - | - | " << r->S("detail") << " |\n";
            continue;
        }
        const double ns = r->D("ns_cell_iter");
        md << r->I("iterations") << " | " << (r->D("build_s") > 0.0 ? Fmt(r->D("build_s"), "%.3g") : "-") << " | "
           << Fmt(r->D("setup_s"), "%.3g") << " | " << Fmt(r->D("solve_s"), "%.3g") << " | " << Fmt(ns, "%.1f") << " | "
           << Fmt(r->D("true_relres"), "%.1e") << " | " << Fmt(r->D("error"), "%.1e") << " | ";
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
    std::fprintf(f, "impl,system,cells,nnz,method,precond,layout,road,ranks,rounds,iterations,build_s,setup_s,solve_s,"
                    "ns_cell_iter,true_relres,error,model_bytes,bound_ns,ours_over_eigen,ours_over_petsc,"
                    "ours_over_faster_peer,ours_over_bound,detail\n");
    for (const CRow* r : rows) {
        const bool ours = r->S("impl") == "ours" && r->Available();
        const double ns = r->D("ns_cell_iter");
        auto ratio = [&](double d) { return ours ? Fmt(ns / d, "%.4f") : std::string(); };
        std::string line;
        for (const char* k :
             {"impl", "system", "cells", "nnz", "method", "precond", "layout", "road", "ranks", "rounds", "iterations",
              "build_s", "setup_s", "solve_s", "ns_cell_iter", "true_relres", "error", "model_bytes"})
            line += r->S(k) + ",";
        line += (ours ? Fmt(res.BoundNs(*r), "%.3f") : std::string()) + "," + ratio(res.PeerNs(*r, "eigen")) + "," +
                ratio(res.PeerNs(*r, "petsc")) + "," + ratio(res.FasterPeerNs(*r)) + "," + ratio(res.BoundNs(*r)) +
                ",\"" + r->S("detail") + "\"";
        std::fprintf(f, "%s\n", line.c_str());
    }
    std::fclose(f);
}

// A verdict table: target, system, what was measured, met or missed.
class CVerdicts {
public:
    CVerdicts() { m_md << "| target | system | measured | verdict |\n|---|---|---|---|\n"; }
    void Line(const std::string& target, const std::string& sys, const std::string& measured, bool known, bool met,
              bool info = false)
    {
        m_md << "| " << target << " | " << sys << " | " << measured << " | "
             << (info    ? "for comparison"
                 : known ? (met ? "met" : "**missed**")
                         : "not measured")
             << " |\n";
    }
    std::string Text() const { return m_md.str(); }

private:
    std::ostringstream m_md;
};

// The front door's targets on one system: each sweep method against its
// PETSc peer (at most 0.8x per iteration) on every layout, and at the
// streaming size against its own byte bound (at most 1.3x).
void FrontDoorTargets(const CResults& res, const std::string& sys, bool streaming, CVerdicts& v)
{
    const struct {
        const char* method;
        const char* precond;
        const char* name;
        const char* peer;
    } targets[] = {{"bicgstab", "dilu", "BiCGSTAB+DILU", "PETSc ILU(0)"},
                   {"cg", "dilu", "PCG+DILU", "PETSc ILU(0)"},
                   {"gs", "none", "Gauss-Seidel", "PETSc SOR loop"}};
    for (const auto& t : targets)
        for (const char* layout : {"native", "csr", "ell"}) {
            const std::string name = std::string("front door ") + t.name + " " + layout;
            const CRow* o = res.Find("ours", sys, t.method, t.precond, layout, 1, "front");
            if (!o) {
                if (std::string(t.method) != "cg" || std::string(layout) != "ell")
                    v.Line(name + " <= 0.8 x " + t.peer, sys, "ours not measured (or not symmetric)", false, false);
                continue;
            }
            const double ns = o->D("ns_cell_iter"), peer = res.PeerNs(*o, "petsc");
            v.Line(name + " <= 0.8 x " + t.peer, sys,
                   Fmt(ns, "%.1f") + " vs " + Fmt(peer, "%.1f") + " ns: " + Fmt(ns / peer, "%.2f") + "x",
                   std::isfinite(peer), ns / peer <= 0.8);
            if (!streaming) continue;
            const double bound = res.BoundNs(*o);
            v.Line(name + " <= 1.3 x its byte bound", sys,
                   Fmt(ns, "%.1f") + " vs " + Fmt(bound, "%.1f") + " ns: " + Fmt(ns / bound, "%.2f") + "x",
                   std::isfinite(bound), ns / bound <= 1.3);
        }
}

// The numbers of an earlier run the entry points must not fall behind:
// rows of cpu, cores, llc_mib, regime, edge, method, precond, layout, impl
// (ours: the entry points; petsc), ns_cell_iter.
struct CBaseline {
    std::vector<CRow> rows;
    bool comparable = false; // from the same kind of machine as this run
    std::string kind;        // of the baseline's machine, in words
    const CRow* Find(const std::string& regime, const std::string& method, const std::string& precond,
                     const std::string& layout, const std::string& impl) const
    {
        for (const CRow& r : rows)
            if (r.S("regime") == regime && r.S("method") == method && r.S("precond") == precond &&
                r.S("impl") == impl && (impl != "ours" || r.S("layout") == layout))
                return &r;
        return nullptr;
    }
};

// The entry points on one box system of the given regime against the
// baseline: ns per cell and iteration now over then, and, as the verdict,
// the same with each divided by PETSc's row of its own run (the issue's
// ratios in one run: a machine state that slows every program alike
// cancels).
void EntryPointTargets(const CResults& res, const std::string& sys, const std::string& regime, const CBaseline& base,
                       CVerdicts& v)
{
    if (base.rows.empty()) return;
    if (!base.comparable) {
        v.Line("entry points no slower than the baseline", sys, "baseline from " + base.kind + ": not compared", false,
               false);
        return;
    }
    for (const char* method : {"bicgstab", "cg", "gs"})
        for (const char* precond : {"diag", "dilu", "none"})
            for (const char* layout : {"native", "csr", "ell"}) {
                const CRow* then = base.Find(regime, method, precond, layout, "ours");
                const CRow* peerThen = base.Find(regime, method, precond, layout, "petsc");
                const CRow* now = res.Find("ours", sys, method, precond, layout, 1, "entry");
                if (!then || !now) continue;
                const double abs = now->D("ns_cell_iter") / then->D("ns_cell_iter");
                const double rel =
                    peerThen ? abs / (res.PeerNs(*now, "petsc") / peerThen->D("ns_cell_iter")) : std::nan("");
                v.Line("entry points " + MethodName(method) + " " + precond + " " + layout + " <= 1.0 x baseline", sys,
                       Fmt(now->D("ns_cell_iter"), "%.1f") + " ns vs " + then->S("ns_cell_iter") + " at " +
                           then->S("edge") + "^3: " + Fmt(abs, "%.2f") + "x; against PETSc's row of each run " +
                           Fmt(rel, "%.2f") + "x",
                       std::isfinite(rel), rel <= 1.0);
            }
}

// The speed-up of every row on 2 ranks over 1 (for information).
void TwoRanks(const CResults& res, const std::string& sys, CVerdicts& v)
{
    for (const CRow& r : res.Rows()) {
        if (r.S("system") != sys || r.I("ranks") != 2 || !r.Available()) continue;
        const CRow* one = res.Find(r.S("impl"), sys, r.S("method"), r.S("precond"), r.S("layout"), 1, r.S("road"));
        if (!one) continue;
        const double speedup = one->D("ns_cell_iter") / r.D("ns_cell_iter");
        v.Line(WhoName(r) + " " + MethodName(r.S("method")) + " " + r.S("precond") + " " + r.S("layout") +
                   ": 2 ranks vs 1",
               sys, Fmt(speedup, "%.2f") + "x", true, true, true);
    }
}

// The targets on a group of systems; the byte bounds at the larger boxes
// (streaming), the baseline by each system's own regime (its working sets
// against the cache: a box in neither regime has no baseline).
std::string Targets(const CResults& res, const std::vector<std::string>& systems, bool streaming, const CBaseline& base,
                    const std::map<std::string, std::string>& regimes)
{
    CVerdicts v;
    for (const std::string& sys : systems) {
        FrontDoorTargets(res, sys, streaming, v);
        const auto regime = regimes.find(sys);
        if (sys.rfind("poisson-", 0) == 0 && regime != regimes.end())
            EntryPointTargets(res, sys, regime->second, base, v);
        TwoRanks(res, sys, v);
    }
    return v.Text();
}

// One system at one rank, the two roads side by side: ns per cell and
// iteration of each road on each layout, the peers, and each road's byte
// bound on CSR.
std::string SideBySide(const CResults& res, const std::string& sys)
{
    std::ostringstream md;
    md << "| " << sys
       << ", 1 process | front native | front CSR | front ELL | entry native | entry CSR | entry ELL | Eigen | "
          "PETSc | bound front CSR | bound entry CSR |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    const struct {
        const char* method;
        const char* precond;
        const char* label;
    } groups[] = {{"bicgstab", "diag", "BiCGSTAB, diagonal / Jacobi"},
                  {"bicgstab", "dilu", "BiCGSTAB, DILU / ILU(0)"},
                  {"cg", "diag", "PCG, diagonal / Jacobi"},
                  {"cg", "dilu", "PCG, DILU / ILU(0)"},
                  {"gs", "none", "Gauss-Seidel / SOR loop"}};
    for (const auto& g : groups) {
        const CRow* petsc = res.Find("petsc", sys, g.method, g.precond, "", 1);
        auto cell = [&](const CRow* r) {
            if (!r) return std::string("-");
            const double ns = r->D("ns_cell_iter");
            return Fmt(ns, "%.1f") + (petsc ? " (" + Fmt(ns / petsc->D("ns_cell_iter"), "%.2f") + ")" : "");
        };
        std::string line = std::string("| ") + g.label + " |";
        bool any = false;
        for (const char* road : {"front", "entry"})
            for (const char* layout : {"native", "csr", "ell"}) {
                const CRow* r = res.Find("ours", sys, g.method, g.precond, layout, 1, road);
                any = any || r;
                line += " " + cell(r) + " |";
            }
        if (!any) continue;
        const CRow* eigen = res.Find("eigen", sys, g.method, g.precond, "", 1);
        line += " " + (eigen ? Fmt(eigen->D("ns_cell_iter"), "%.1f") : "-") + " | " +
                (petsc ? Fmt(petsc->D("ns_cell_iter"), "%.1f") : "-") + " |";
        for (const char* road : {"front", "entry"}) {
            const CRow* r = res.Find("ours", sys, g.method, g.precond, "csr", 1, road);
            line += " " + (r ? Fmt(res.BoundNs(*r), "%.1f") : "-") + " |";
        }
        md << line << "\n";
    }
    md << "\nIn brackets: ours over PETSc's row.\n";
    return md.str();
}

// The bound of every method, preconditioner, layout and road of ours on a
// system: model bytes over the triad bandwidth of 1 and 2 processes.
std::string Bounds(const CResults& res, const std::string& system)
{
    std::ostringstream md;
    md << "| " << system
       << " | road | bytes native | CSR | ELL | bound 1 proc native | CSR | ELL | bound 2 procs native | CSR | ELL |\n"
       << "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    const struct {
        const char* method;
        const char* precond;
    } groups[] = {{"bicgstab", "diag"}, {"bicgstab", "dilu"}, {"cg", "diag"}, {"cg", "dilu"}, {"gs", "none"}};
    for (const auto& g : groups)
        for (const char* road : {"front", "entry"}) {
            double bytes[3];
            bool any = false;
            int k = 0;
            for (const char* layout : {"native", "csr", "ell"}) {
                bytes[k] = std::nan("");
                for (const CRow& r : res.Rows())
                    if (r.S("impl") == "ours" && r.S("system") == system && r.S("method") == g.method &&
                        r.S("precond") == g.precond && r.S("layout") == layout && r.S("road") == road &&
                        r.D("model_bytes") > 0.0)
                        bytes[k] = r.D("model_bytes");
                any = any || std::isfinite(bytes[k]);
                ++k;
            }
            if (!any) continue;
            md << "| " << MethodName(g.method) << " " << g.precond << " | " << road << " |";
            for (double b : bytes) md << " " << Fmt(b, "%.0f") << " |";
            for (int ranks = 1; ranks <= 2; ++ranks)
                for (double b : bytes) md << " " << Fmt(b / res.Bandwidth(ranks), "%.1f") << " |";
            md << "\n";
        }
    return md.str();
}

// Chart data: one line per method and preconditioner of the given system at
// one rank, columns ours by road and layout, Eigen, PETSc, the front door's
// bound on CSR.
void WriteChartData(const std::string& path, const CResults& res, const std::string& system)
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("cannot write '" + path + "'");
    std::fprintf(f, "group front-native front-CSR front-ELL entry-native entry-CSR entry-ELL Eigen PETSc "
                    "bound-front-CSR\n");
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
        auto ns = [&](const char* impl, const char* layout, const char* road) {
            const CRow* r = res.Find(impl, system, g.method, g.precond, layout, 1, road);
            return r ? r->D("ns_cell_iter") : std::nan("");
        };
        const CRow* front = res.Find("ours", system, g.method, g.precond, "csr", 1, "front");
        const double vals[] = {
            ns("ours", "native", "front"), ns("ours", "csr", "front"), ns("ours", "ell", "front"),
            ns("ours", "native", "entry"), ns("ours", "csr", "entry"), ns("ours", "ell", "entry"),
            ns("eigen", "", ""),           ns("petsc", "", ""),        front ? res.BoundNs(*front) : std::nan("")};
        bool any = false;
        for (double v : vals) any = any || std::isfinite(v);
        if (!any) continue;
        std::fprintf(f, "\"%s\"", g.label);
        for (double v : vals) std::fprintf(f, " %s", std::isfinite(v) ? Fmt(v, "%.3f").c_str() : "NaN");
        std::fprintf(f, "\n");
    }
    std::fclose(f);
}

// Time to solution: every row of a system's to-solution block, with the
// build, set-up and solve apart and their sum.
std::string TimeToSolution(const std::vector<const CRow*>& rows)
{
    std::ostringstream md;
    md << "| system | who | method | precond | layout | ranks | its | build s | set-up s | solve s | total s | "
          "ns/cell/it | true relres | note |\n|---|---|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---|\n";
    for (const CRow* r : rows) {
        md << "| " << r->S("system") << " | " << WhoName(*r) << " | " << MethodName(r->S("method")) << " | "
           << PrecondName(*r) << " | " << r->S("layout") << " | " << r->I("ranks") << " | ";
        if (!r->Available()) {
            md << "- | - | - | - | - | - | - | " << r->S("detail") << " |\n";
            continue;
        }
        const double build = std::isfinite(r->D("build_s")) ? r->D("build_s") : 0.0;
        md << r->I("iterations") << " | " << Fmt(build, "%.3g") << " | " << Fmt(r->D("setup_s"), "%.3g") << " | "
           << Fmt(r->D("solve_s"), "%.3g") << " | " << Fmt(build + r->D("setup_s") + r->D("solve_s"), "%.3g") << " | "
           << Fmt(r->D("ns_cell_iter"), "%.1f") << " | " << Fmt(r->D("true_relres"), "%.1e") << " | " << r->S("detail")
           << " |\n";
    }
    return md.str();
}

// GMRES(30) against PETSc's with the same preconditioner (issue 32):
// iterations within 1.1x, time per iteration at most 0.9x. Our DILU stands
// against PETSc's ILU(0), as elsewhere (the same on the 7-point boxes), and
// so does our ILU(0) where this build has it.
std::string GmresTargets(const CResults& res, const std::vector<std::string>& systems)
{
    CVerdicts v;
    for (const std::string& sys : systems)
        for (const auto& [ours, peer] :
             {std::make_pair("diag", "diag"), std::make_pair("dilu", "dilu"), std::make_pair("ilu0", "dilu")}) {
            const CRow* o = res.Find("ours", sys, "gmres", ours, "", 1, "front");
            const CRow* p = res.Find("petsc", sys, "gmres", peer, "", 1);
            if (!o || !p) continue;
            const std::string name = std::string("GMRES(30) ") + ours;
            const double its = static_cast<double>(o->I("iterations")) / p->I("iterations");
            v.Line(name + " iterations <= 1.1 x PETSc's", sys,
                   std::to_string(o->I("iterations")) + " vs " + std::to_string(p->I("iterations")), true, its <= 1.1);
            const double q = o->D("ns_cell_iter") / p->D("ns_cell_iter");
            v.Line(name + " time per iteration <= 0.9 x PETSc's", sys,
                   Fmt(o->D("ns_cell_iter"), "%.1f") + " vs " + Fmt(p->D("ns_cell_iter"), "%.1f") +
                       " ns: " + Fmt(q, "%.2f") + "x",
                   true, q <= 0.9);
        }
    return v.Text();
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
        const std::string who = r.S("road") == "front" ? "front" : r.S("impl");
        const double ws = WorkingSetPerCell(who, r.S("method"), r.S("precond"), r.S("layout"), perRow, 7);
        if (!(ws > 0.0)) continue;
        g.lo = std::min(g.lo, ws * cells / llc);
        g.hi = std::max(g.hi, ws * cells / llc);
    }
    if (g.hi == 0.0) g.lo = 0.0;
    return g;
}

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() > tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The baseline of --baseline, and whether it comes from this kind of
// machine: the CPU model of the baseline within --cpu, the same core count
// and last-level cache.
CBaseline ReadBaseline(const CPeerArgs& args, double llc)
{
    CBaseline base;
    if (!args.Has("baseline")) return base;
    base.rows = ReadRows(args.Text("baseline", ""));
    if (base.rows.empty()) return base;
    const CRow& r = base.rows.front();
    base.kind = r.S("cpu") + ", " + r.S("cores") + " cores, last-level cache " + r.S("llc_mib") + " MiB";
    base.comparable = MachineMatches(r.S("cpu"), r.I("cores"), r.D("llc_mib"), args.Text("cpu", ""),
                                     args.Int("cores", 0, 0, 1 << 20), llc / 1048576.0);
    return base;
}

// The systems in the order they first appear; the box systems of the
// largest edge (streaming) and of the smallest (in cache).
struct CSystems {
    std::vector<std::string> all, large, small;
};

CSystems ChooseSystems(const std::vector<CRow>& raw)
{
    CSystems g;
    long long largest = 0, smallest = 0;
    auto isBox = [](const std::string& s) {
        return (s.rfind("poisson-", 0) == 0 || s.rfind("convdiff-", 0) == 0) && s.find('/') == std::string::npos;
    };
    for (const CRow& r : raw) {
        if (std::find(g.all.begin(), g.all.end(), r.S("system")) == g.all.end()) g.all.push_back(r.S("system"));
        if (!isBox(r.S("system"))) continue;
        const auto cells = static_cast<long long>(r.D("cells"));
        largest = std::max(largest, cells);
        smallest = smallest == 0 ? cells : std::min(smallest, cells);
    }
    auto boxesOf = [&](long long cells) {
        std::vector<std::string> out;
        for (const std::string& s : g.all)
            for (const CRow& r : raw)
                if (r.S("system") == s && static_cast<long long>(r.D("cells")) == cells && isBox(s)) {
                    out.push_back(s);
                    break;
                }
        return out;
    };
    g.large = boxesOf(largest);
    if (smallest != largest) g.small = boxesOf(smallest);
    return g;
}

// The rows of a group of systems, their to-solution rows with them (or only
// those).
std::vector<const CRow*> RowsOf(const std::vector<const CRow*>& ordered, const std::vector<std::string>& group,
                                bool onlyToSolution)
{
    std::vector<const CRow*> out;
    for (const CRow* r : ordered) {
        std::string sys = r->S("system");
        const bool solved = EndsWith(sys, kToSolution);
        if (solved) sys.resize(sys.size() - kToSolution.size());
        if ((solved || !onlyToSolution) && std::find(group.begin(), group.end(), sys) != group.end()) out.push_back(r);
    }
    return out;
}

std::string RegimesText(const std::vector<CRow>& raw, const std::vector<std::string>& group, double llc)
{
    std::string text;
    for (const std::string& s : group) text += (text.empty() ? "" : "; ") + s + " " + RegimeOf(raw, s, llc).Text();
    return text;
}

std::map<std::string, std::string> Regimes(const std::vector<CRow>& raw, const CSystems& g, double llc)
{
    std::map<std::string, std::string> regimes;
    for (const std::string& s : g.all) regimes[s] = RegimeOf(raw, s, llc).Name();
    return regimes;
}

std::string Report(const CPeerArgs& args, const CResults& res, const std::vector<CRow>& raw, const CSystems& g,
                   const CBaseline& base, double llc)
{
    const auto ordered = Ordered(res.Rows(), g.all);
    const auto regimes = Regimes(raw, g, llc);
    std::ostringstream md;
    md << "# Speed against the peers\n\n" << ReadText(args.Text("machine", "machine.txt")) << "\n";
    md << "Triad bandwidth (median of the repeats, the better of the runs at the start and the end, "
          "write-allocate counted: 32 bytes per element): ";
    for (int p : {1, 2})
        if (std::isfinite(res.Bandwidth(p)))
            md << p << (p == 1 ? " process " : " processes ") << Fmt(res.Bandwidth(p), "%.1f") << " GB/s; ";
    md << "see stream.csv for STREAM's 24-byte figures.\n\n";
    md << "## Targets at the larger boxes\n\n"
       << RegimesText(raw, g.large, llc) << ".\n\n"
       << Targets(res, g.large, true, base, regimes) << "\n";
    for (const std::string& s : g.large) md << SideBySide(res, s) << "\n";
    if (!g.small.empty()) {
        md << "## The same targets at the smaller boxes\n\n"
           << RegimesText(raw, g.small, llc) << ".\n\n"
           << Targets(res, g.small, false, base, regimes) << "\n";
        for (const std::string& s : g.small) md << SideBySide(res, s) << "\n";
    }
    const std::vector<const CRow*> solved = RowsOf(ordered, g.all, true);
    if (!solved.empty()) {
        std::vector<std::string> names;
        for (const std::string& s : g.large) names.push_back(s + kToSolution);
        md << "## Time to solution\n\nTo the tolerance from x = 0, one round. Build: once per matrix (our front "
              "door's constructor: its layout, sweep rows and what a preconditioner derives there); set-up: per "
              "solve outside the iterations (PETSc's KSPSetUp, where its ILU(0), GAMG and BoomerAMG build); "
              "solve: the iterations.\n\n"
           << TimeToSolution(solved) << "\n"
           << GmresTargets(res, names) << "\n";
    }
    md << "## All rows\n\nMedians over the rounds; ns/cell/it = solve time / iterations / cells (all ranks). "
          "Build: our front door's constructor, once per matrix. Set-up: per solve outside the iterations (the "
          "entry points: a call with iteration limit 0, which forms the initial residual and builds the "
          "preconditioner; the front door: the call less its iterations, timed by a monitor; the peers: the "
          "preconditioner's construction). Ratios are ns/cell/it against the peer's row of the same system, "
          "method, preconditioner and ranks, and against the byte-model bound of the row's road.\n\n"
       << MarkdownTable(res, ordered) << "\n";
    md << "## Byte model\n\nBound = model bytes per cell and iteration / triad bandwidth of the same number "
          "of processes (ns per cell per iteration).\n\n";
    for (const std::string& s : g.large) md << Bounds(res, s) << "\n";
    const std::string model = ReadText(args.Text("model", ""));
    if (!model.empty()) md << "### Passes of one iteration\n\n" << model << "\n";
    const std::string limits = ReadText(args.Text("limits", ""));
    if (!limits.empty())
        md << "## What limits a pass\n\nMicrobenchmarks (bench_peers_limits) on the same host arrays; GB/s under "
              "the byte model's accounting.\n\n```\n"
           << limits << "```\n";
    return md.str();
}

int Run(int argc, char** argv)
{
    const CPeerArgs args(argc, argv,
                         {"raw", "stream", "machine", "model", "limits", "llc", "out-dir", "baseline", "cpu", "cores"});
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
    const CSystems g = ChooseSystems(raw);
    const CBaseline base = ReadBaseline(args, llc);
    const CResults res(raw, bw);
    const auto ordered = Ordered(res.Rows(), g.all);
    WriteCsv(outDir + "/peers.csv", res, ordered);
    std::ofstream(outDir + "/peers.md") << Report(args, res, raw, g, base, llc);

    for (const std::string& s : g.large) WriteChartData(outDir + "/chart-" + s + ".dat", res, s);
    for (const std::string& s : g.small) WriteChartData(outDir + "/chart-" + s + ".dat", res, s);
    // Summary for the README: the two roads side by side and the rows of the
    // largest boxes, then those of the smallest, each under its regime.
    std::ostringstream summary;
    summary << "Larger boxes (" << RegimesText(raw, g.large, llc) << "):\n\n";
    for (const std::string& s : g.large) summary << SideBySide(res, s) << "\n";
    summary << MarkdownTable(res, RowsOf(ordered, g.large, false));
    if (!g.small.empty()) {
        summary << "\nSmaller boxes (" << RegimesText(raw, g.small, llc) << "):\n\n";
        for (const std::string& s : g.small) summary << SideBySide(res, s) << "\n";
        summary << MarkdownTable(res, RowsOf(ordered, g.small, false));
    }
    std::ofstream(outDir + "/summary.md") << summary.str();
    const auto regimes = Regimes(raw, g, llc);
    std::printf("%s", Targets(res, g.large, true, base, regimes).c_str());
    if (!g.small.empty()) std::printf("smaller boxes:\n%s", Targets(res, g.small, false, base, regimes).c_str());
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
