#include "ByteModel.h"

#include <cstdio>
#include <sstream>

namespace qvl3d {
namespace peers {

namespace {

constexpr double kRead = 8.0;    // one vector element streamed in
constexpr double kWrite = 16.0;  // written without being read: write-allocate + write-back
constexpr double kUpdate = 16.0; // read and written back

std::string Fmt(double v, const char* format = "%.0f")
{
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

constexpr double kStart = 4.0;         // a row's start in a sweep part
constexpr double kScheduleOrder = 4.0; // a row's place in the schedule, four rows a group
constexpr double kGroupShape = 0.25;   // one byte per group of four rows
constexpr double kEntry = 12.0;        // int32 column + double value

// The matrix part of the forward and the backward DILU sweep: the layout's
// halves (each half of both sweeps' bytes) or the front door's lower and
// upper sweep parts.
void DiluSweepBytes(const std::string& layout, const CLayoutShape& shape, const std::string& road, double& lower,
                    double& upper)
{
    if (road == "front") {
        lower = SweepPartBytes(shape.lowerPerRow);
        upper = SweepPartBytes(shape.upperPerRow);
        return;
    }
    lower = upper = DiluMatrixBytes(layout, shape) / 2.0;
}

// z = M^-1 r where the application's input r_i is formed in the same pass
// from the vectors in 'forms' (reads and the vector stored on the way, e.g.
// "p updated; v, r read", with its bytes 'formBytes'). Diagonal: one pass
// that also reads D and writes z. DILU: the forward sweep forms the input,
// reads the lower rows and D and writes the work vector y; the backward
// sweep reads the upper rows, y and D and writes z.
void AddApplication(std::vector<CPass>& passes, const std::string& precond, const std::string& layout,
                    const std::string& road, const CLayoutShape& shape, const std::string& what, const std::string& z,
                    const std::string& forms, double formBytes)
{
    if (precond == "diag") {
        passes.push_back(
            {what + ", " + z + " = D*input", forms + ", D read; " + z + " written", formBytes + kRead + kWrite});
    } else if (precond == "dilu") {
        double lower = 0.0, upper = 0.0;
        DiluSweepBytes(layout, shape, road, lower, upper);
        passes.push_back({what + ", DILU forward y = (input - L*y)*D",
                          forms + ", lower rows (" + Fmt(lower) + " B), D read; y written",
                          formBytes + lower + kRead + kWrite});
        passes.push_back({"DILU backward " + z + " = y - (U*" + z + ")*D",
                          "upper rows (" + Fmt(upper) + " B), y, D read; " + z + " written",
                          upper + 2 * kRead + kWrite});
    }
}

} // namespace

double RowBytes(const std::string& layout, const CLayoutShape& shape)
{
    if (layout == "csr") return 12.0 * shape.entriesPerRow + 4.0;
    if (layout == "ell") return 8.0 * shape.ellWidth + 4.0 * (shape.ellWidth - 1);
    if (layout == "native")
        return (shape.nativeInterleaved ? shape.nativeCoefPerRow
                                        : shape.nativeCoefPerRow + shape.nativeNeighbourPerRow) +
               8.0 + 8.0 + 4.0;
    return 0.0;
}

// CSR: each sweep scans the whole row and compares columns. ELL: every
// off-diagonal slot once over both sweeps, its place in the ordered slot list,
// and the diagonal place in each sweep. Native: each sweep walks the row's
// ordered places, and its coefficients and neighbours through them, which
// streams all three blocks (their cache lines hold both parts of the row),
// plus three row pointers and the diagonal place; the backward sweep also
// reads the count.
double DiluMatrixBytes(const std::string& layout, const CLayoutShape& shape, const std::string& road)
{
    if (road == "front")
        return RowBytes(layout, shape) > 0.0 ? SweepPartBytes(shape.lowerPerRow) + SweepPartBytes(shape.upperPerRow)
                                             : 0.0;
    if (layout == "csr") return 2.0 * RowBytes("csr", shape);
    if (layout == "ell") return 12.0 * (shape.ellWidth - 1) + 4.0 * (shape.ellWidth - 1) + 2 * 4.0;
    if (layout == "native") {
        const double blocks = shape.nativeInterleaved
                                  ? shape.nativeCoefPerRow
                                  : shape.nativeCoefPerRow + shape.nativeNeighbourPerRow + shape.nativeSlotsPerRow;
        return 2.0 * (blocks + 3 * 8.0 + 4.0) + 4.0;
    }
    return 0.0;
}

double SweepPartBytes(double entries)
{
    return kStart + kScheduleOrder + kGroupShape + kEntry * entries;
}

// The passes of one iteration as the methods run them today (see
// solver/detail/BiCgStab.h, Pcg.h, GaussSeidel.h): change this with them.
std::vector<CPass> IterationPasses(const std::string& method, const std::string& precond, const std::string& layout,
                                   const CLayoutShape& shape, const std::string& road)
{
    std::vector<CPass> p;
    const double a = RowBytes(layout, shape);
    if (a == 0.0 || (road != "entry" && road != "front")) return p;
    const std::string rows = "rows of A (" + Fmt(a) + " B)";
    if (method == "bicgstab" && (precond == "diag" || precond == "dilu")) {
        auto product = [&](const std::string& y, const std::string& z, const std::string& sums,
                           const std::string& other) {
            p.push_back({y + " = A*" + z + ", " + sums, rows + ", " + z + ", " + other + " read; " + y + " written",
                         a + 2 * kRead + kWrite});
        };
        AddApplication(p, precond, layout, road, shape, "p = (p - omega*v)*beta + r", "phat", "p updated; v, r read",
                       kUpdate + 2 * kRead);
        product("v", "phat", "sum r0hat*v", "r0hat");
        AddApplication(p, precond, layout, road, shape, "s = r - alpha*v", "shat", "r, v read; s written",
                       2 * kRead + kWrite);
        product("t", "shat", "sums t*t, s*t", "s");
        p.push_back({"x = (x + alpha*phat) + omega*shat, r = s - omega*t, sums r*r, r0hat*r",
                     "x updated; phat, shat, s, t, r0hat read; r written", kUpdate + 5 * kRead + kWrite});
    } else if (method == "cg" && precond == "diag" && layout != "ell") {
        p.push_back({"z = r*d, p = beta*p + z", "p updated; r, d read; z written", kUpdate + 2 * kRead + kWrite});
        p.push_back({"q = A*p, sum p*q", rows + ", p read; q written", a + kRead + kWrite});
        p.push_back(
            {"x += alpha*p, r -= alpha*q, sums r*r, r*(r*d)", "x, r updated; p, q, d read", 2 * kUpdate + 3 * kRead});
    } else if (method == "cg" && precond == "dilu" && layout != "ell") {
        double lower = 0.0, upper = 0.0;
        DiluSweepBytes(layout, shape, road, lower, upper);
        p.push_back({"DILU forward y = (r - L*y)*D", "lower rows (" + Fmt(lower) + " B), r, D read; y written",
                     lower + 2 * kRead + kWrite});
        p.push_back({"DILU backward z = y - (U*z)*D", "upper rows (" + Fmt(upper) + " B), y, D read; z written",
                     upper + 2 * kRead + kWrite});
        p.push_back({"rho = sum r*z", "r, z read", 2 * kRead});
        p.push_back({"p = beta*p + z", "p updated; z read", kUpdate + kRead});
        p.push_back({"q = A*p, sum p*q", rows + ", p read; q written", a + kRead + kWrite});
        p.push_back({"x += alpha*p, r -= alpha*q, sum r*r", "x, r updated; p, q read", 2 * kUpdate + 2 * kRead});
    } else if (method == "gs" && precond == "none") { // both roads run the layouts' own sweep
        p.push_back({"sweep x_i = ((b_i - a_ii*x_i) - s_i)/a_ii + x_i, with the residual of row j one plane behind",
                     rows + ", b read; x updated (the residual's second reading of rows, x and b hits the cache)",
                     a + kRead + kUpdate});
    }
    return p;
}

double IterationBytes(const std::string& method, const std::string& precond, const std::string& layout,
                      const CLayoutShape& shape, const std::string& road)
{
    double total = 0.0;
    for (const auto& pass : IterationPasses(method, precond, layout, shape, road)) total += pass.bytes;
    return total;
}

namespace {

// The passes of one method and preconditioner on one road: a table with
// CSR's passes and the bytes on every layout, the bound at the given
// bandwidths, and a table of its own for a layout whose passes differ.
void MethodTable(std::ostringstream& md, const char* method, const char* precond, const char* title,
                 const CLayoutShape& shape, const std::string& road, double bandwidth1, double bandwidth2)
{
    static const char* const layouts[] = {"native", "csr", "ell"};
    static const char* const kLayoutTitles[] = {"native", "CSR", "ELL"};
    md << "#### " << title << "\n\n| pass | traffic | native B | CSR B | ELL B |\n|---|---|---:|---:|---:|\n";
    std::vector<std::vector<CPass>> perLayout;
    for (const char* l : layouts) perLayout.push_back(IterationPasses(method, precond, l, shape, road));
    // Rows follow CSR's passes; a layout that runs other passes gets a
    // table of its own below.
    const std::vector<CPass>& ref = perLayout[1];
    auto same = [&](const std::vector<CPass>& passes) {
        if (passes.empty()) return true;
        if (passes.size() != ref.size()) return false;
        for (size_t k = 0; k < ref.size(); ++k)
            if (passes[k].what != ref[k].what) return false;
        return true;
    };
    for (size_t k = 0; k < ref.size(); ++k) {
        md << "| " << ref[k].what << " | " << ref[k].moves << " |";
        for (const auto& passes : perLayout)
            md << " " << (same(passes) && k < passes.size() ? Fmt(passes[k].bytes) : "-") << " |";
        md << "\n";
    }
    md << "| **per iteration** | |";
    for (const char* l : layouts) {
        const double bytes = IterationBytes(method, precond, l, shape, road);
        md << " **" << (bytes > 0 ? Fmt(bytes) : "-") << "** |";
    }
    md << "\n";
    for (int ranks = 1; ranks <= 2; ++ranks) {
        const double bw = ranks == 1 ? bandwidth1 : bandwidth2;
        if (bw <= 0.0) continue;
        md << "| bound, " << ranks << (ranks == 1 ? " process" : " processes") << " (ns/cell/iter) | |";
        for (const char* l : layouts) {
            const double bytes = IterationBytes(method, precond, l, shape, road);
            md << " " << (bytes > 0 ? Fmt(bytes / bw * 1e9, "%.1f") : "-") << " |";
        }
        md << "\n";
    }
    md << "\n";
    for (size_t l = 0; l < perLayout.size(); ++l) {
        if (same(perLayout[l])) continue;
        md << "Passes on " << kLayoutTitles[l] << " rows:\n\n| pass | traffic | B |\n|---|---|---:|\n";
        for (const CPass& pass : perLayout[l])
            md << "| " << pass.what << " | " << pass.moves << " | " << Fmt(pass.bytes) << " |\n";
        md << "\n";
    }
}

} // namespace

std::string ModelMarkdown(const CLayoutShape& shape, const std::string& systemName, double bandwidth1,
                          double bandwidth2)
{
    std::ostringstream md;
    md << "Layout shape of " << systemName << ": " << Fmt(shape.entriesPerRow, "%.3f") << " entries per row, ELL width "
       << shape.ellWidth << ", native rows " << Fmt(shape.nativeCoefPerRow, "%.1f") << " B of coefficients, "
       << Fmt(shape.nativeNeighbourPerRow, "%.1f") << " B of neighbours, " << Fmt(shape.nativeSlotsPerRow, "%.1f")
       << " B of ordered slots per row" << (shape.nativeInterleaved ? " (interleaved: one span per row)" : "")
       << "; per owned row " << Fmt(shape.lowerPerRow, "%.3f") << " owned entries left of the diagonal, "
       << Fmt(shape.upperPerRow, "%.3f") << " right of it, " << Fmt(shape.offPerRow, "%.3f")
       << " off-diagonal entries in all.\n\n";
    md << "Matrix bytes per row and pass: native " << Fmt(RowBytes("native", shape), "%.1f") << ", CSR "
       << Fmt(RowBytes("csr", shape), "%.1f") << ", ELL " << Fmt(RowBytes("ell", shape), "%.1f")
       << "; both DILU sweeps together, entry points: native " << Fmt(DiluMatrixBytes("native", shape), "%.1f")
       << ", CSR " << Fmt(DiluMatrixBytes("csr", shape), "%.1f") << ", ELL "
       << Fmt(DiluMatrixBytes("ell", shape), "%.1f") << "; front door (its sweep rows, any layout) "
       << Fmt(DiluMatrixBytes("csr", shape, "front"), "%.1f") << ".\n\n";

    const struct {
        const char* method;
        const char* precond;
        const char* title;
    } methods[] = {{"bicgstab", "diag", "BiCGSTAB, diagonal preconditioner (code 2, type 3)"},
                   {"bicgstab", "dilu", "BiCGSTAB, DILU (code 2, type 1)"},
                   {"cg", "diag", "PCG, diagonal preconditioner (code 3, type 3); on ELL the native PCG runs"},
                   {"cg", "dilu", "PCG, DILU (code 3, type 1)"},
                   {"gs", "none", "Gauss-Seidel (code 4), one sweep and its residual"}};
    for (const char* road : {"front", "entry"}) {
        md << "### " << (std::string(road) == "front" ? "Front door (qvl3d::CSolver)" : "Entry points") << "\n\n";
        for (const auto& m : methods)
            MethodTable(md, m.method, m.precond, m.title, shape, road, bandwidth1, bandwidth2);
    }
    return md.str();
}

} // namespace peers
} // namespace qvl3d
