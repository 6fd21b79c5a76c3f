#include "MachineSizes.h"

#include <algorithm>
#include <string>

namespace qvl3d {
namespace peers {

// Per cell, r non-zeros per row, W the ELL width:
//   ours    CSR 12r + 4; ELL 12W; native 12r (coefficient and neighbour
//           blocks, slot 0 included) + 24 (three row pointers) + 4 (count),
//           with DILU the ordered slots 4(r + 1) and the diagonal place 4
//           (ELL: its ordered slots 4W, count and diagonal place 8); vectors
//           BiCGSTAB 12 (x, b, r, r0hat, p, phat, v, s, shat, t, D, work),
//           PCG 8 (x, b, r, z, p, q, D, work), Gauss-Seidel 3 (x, b and the
//           residual's row values)
//   front   ours through the front door: the layout as ours for the row
//           products (no ordered slot lists: its sweeps do not read them)
//           and the sweep rows, per row and part its start, its place in
//           the schedule and a shape byte per four rows (8.25) plus 12 per
//           entry: DILU's lower and upper parts 2 * 8.25 + 12(r - 1);
//           Gauss-Seidel reads only its own rows, 8.25 + 12(r - 1), the
//           diagonal 8 and the residual's shape byte per four rows, with x
//           and b; the vectors as ours
//   Eigen   row-major CSR 12r + 4; vectors BiCGSTAB 11 (x, b, r, r0, p, v,
//           s, t, y, z, inverse diagonal), CG 7 (x, b, r, p, z, tmp, inverse
//           diagonal)
//   PETSc   AIJ 12r + 8 (row starts and diagonal places); ILU(0) a factor of
//           the same pattern 12r + 8; Jacobi's diagonal 8; vectors BCGS 9 (x,
//           b and seven work vectors), CG 6 (x, b and four work vectors),
//           Richardson with SOR 5 (x, b, two work vectors, the diagonal)
double WorkingSetPerCell(const std::string& impl, const std::string& method, const std::string& precond,
                         const std::string& layout, double r, int width)
{
    const double csr = 12.0 * r + 4.0;
    const bool oursLike = impl == "ours" || impl == "front";
    const int vectors = method == "bicgstab" ? (oursLike          ? 12
                                                : impl == "eigen" ? 11
                                                                  : 9)
                        : method == "cg"     ? (oursLike          ? 8
                                                : impl == "eigen" ? 7
                                                                  : 6)
                        : method == "gs"     ? (impl == "ours"    ? 3
                                                : impl == "front" ? 2
                                                : impl == "petsc" ? 5
                                                                  : 0)
                                             : 0;
    if (vectors == 0) return 0.0;
    const bool dilu = precond == "dilu";
    double matrix = 0.0;
    const double part = 8.25, entries = 12.0 * (r - 1.0);
    if (impl == "front" && method == "gs") {
        matrix = part + entries + 8.0 + 0.25;
    } else if (impl == "front") {
        const bool known = layout == "csr" || layout == "ell" || layout == "native";
        if (!known) return 0.0;
        matrix = (layout == "csr"   ? csr
                  : layout == "ell" ? 12.0 * width
                                    : 12.0 * r + 28.0) +
                 (dilu ? 2.0 * part + entries : 0.0);
    } else if (impl == "ours") {
        if (layout == "csr") {
            matrix = csr;
        } else if (layout == "ell") {
            matrix = 12.0 * width + (dilu ? 4.0 * width + 8.0 : 0.0);
        } else if (layout == "native") {
            matrix = 12.0 * r + 28.0 + (dilu ? 4.0 * (r + 1.0) + 4.0 : 0.0);
        } else {
            return 0.0;
        }
    } else if (impl == "eigen") {
        matrix = csr;
    } else if (impl == "petsc") {
        matrix = 12.0 * r + 8.0 + (dilu ? 12.0 * r + 8.0 : precond == "diag" ? 8.0 : 0.0);
    } else {
        return 0.0;
    }
    return matrix + 8.0 * vectors;
}

namespace {

template <class F>
void ForEachConfiguration(F&& f)
{
    static const char* const methods[][2] = {
        {"bicgstab", "diag"}, {"bicgstab", "dilu"}, {"cg", "diag"}, {"cg", "dilu"}, {"gs", "none"}};
    for (const auto& m : methods) {
        for (const char* layout : {"native", "csr", "ell"}) {
            f("ours", m[0], m[1], layout);
            f("front", m[0], m[1], layout);
        }
        if (std::string(m[0]) != "gs" && std::string(m[1]) == "diag") f("eigen", m[0], m[1], "csr");
        f("petsc", m[0], m[1], "aij");
    }
}

} // namespace

double SmallestWorkingSetPerCell()
{
    double smallest = 1e300;
    ForEachConfiguration([&](const char* impl, const char* method, const char* precond, const char* layout) {
        const double w = WorkingSetPerCell(impl, method, precond, layout, 7.0, 7);
        if (w > 0.0) smallest = std::min(smallest, w);
    });
    return smallest;
}

double LargestWorkingSetPerCell()
{
    double largest = 0.0;
    ForEachConfiguration([&](const char* impl, const char* method, const char* precond, const char* layout) {
        largest = std::max(largest, WorkingSetPerCell(impl, method, precond, layout, 7.0, 7));
    });
    return largest;
}

CBoxEdges ChooseBoxEdges(long long llcBytes, long long memoryBytes, int maxEdge)
{
    CBoxEdges e;
    const double small = SmallestWorkingSetPerCell(), large = LargestWorkingSetPerCell();
    auto cells = [](int edge) { return static_cast<double>(edge) * edge * edge; };
    for (int edge = 4; large * cells(edge) <= 0.25 * static_cast<double>(llcBytes); ++edge) e.inCache = edge;
    for (int edge = 64;; edge += 32) {
        const bool tooBig = edge > maxEdge || 4.0 * large * cells(edge) > static_cast<double>(memoryBytes);
        if (tooBig) {
            e.streaming = std::max(64, edge - 32);
            e.streamingFits = false;
            break;
        }
        if (small * cells(edge) >= 4.0 * static_cast<double>(llcBytes)) {
            e.streaming = edge;
            break;
        }
    }
    return e;
}

} // namespace peers
} // namespace qvl3d
