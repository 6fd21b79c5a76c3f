#include "Validation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

namespace qvl3d {
namespace host {

namespace {

std::string Num(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

std::string Num(long long v)
{
    return std::to_string(v);
}

std::string Num(int v)
{
    return std::to_string(v);
}

class CChecker {
public:
    CChecker(const CQVL3DFiniteVolumeMesh& mesh, const CQvl3dGV& store, const CQVLGVGPU& gpu, const CHostRoom& room,
             const CHostNeeds& needs, size_t maxProblems)
        : M(mesh), S(store), G(gpu), R(room), N(needs), m_max(maxProblems)
    {
    }

    CValidationReport Run(int ivarb)
    {
        const unsigned layouts = N.layouts;
        if (M.m_nCell < 0) Problem("mesh: m_nCell is " + Num(M.m_nCell) + ", a negative cell count");
        if (M.m_nCellTotal < M.m_nCell)
            Problem("mesh: m_nCellTotal (" + Num(M.m_nCellTotal) + ") is less than m_nCell (" + Num(M.m_nCell) + ")");
        if (m_report.count > 0) return std::move(m_report); // nothing else can be read safely
        n = M.m_nCell;
        nTotal = M.m_nCellTotal;

        // ELL rows read the neighbour counts only for the ordered slot lists.
        const bool countsNeeded =
            (layouts & LayoutBit(ELayout::Native)) || ((layouts & LayoutBit(ELayout::Ell)) && N.orderedLists);
        const bool countsOk = countsNeeded && CheckNeighbourCounts();
        const bool nativeOk = countsOk && (layouts & LayoutBit(ELayout::Native)) && CheckNative();
        if (layouts & LayoutBit(ELayout::Csr)) CheckCsr(nativeOk);
        if (layouts & LayoutBit(ELayout::Ell)) CheckEll(countsOk, nativeOk);
        CheckSettings(ivarb);
        CheckVectors();
        return std::move(m_report);
    }

private:
    void Problem(const std::string& text)
    {
        if (m_report.problems.size() < m_max) m_report.problems.push_back(text);
        ++m_report.count;
    }

    // Room check of a flat array: false (and reported) when it is null or short.
    bool Array(const void* p, const char* name, long long room, long long needed, const char* what = "")
    {
        if (!p) {
            Problem(std::string(name) + " is null");
            return false;
        }
        if (room >= 0 && room < needed) {
            Problem(std::string(name) + " has room for " + Num(room) + " elements; it needs " + Num(needed) + what);
            return false;
        }
        return true;
    }

    bool CheckNeighbourCounts()
    {
        if (!Array(M.m_piNumNeighbor, "m_piNumNeighbor", R.numNeighbor, nTotal + 1LL, " (cells 1..m_nCellTotal)"))
            return false;
        bool ok = true;
        maxNn = 0;
        for (int i = 1; i <= nTotal; ++i) {
            const int nn = M.m_piNumNeighbor[i];
            if (nn < 0 || nn > nTotal) {
                Problem("cell " + Num(i) + ": neighbour count " + Num(nn) + " is outside 0.." + Num(nTotal));
                ok = false;
            } else if (i <= n) {
                maxNn = std::max(maxNn, nn);
            }
        }
        return ok;
    }

    // Native rows, neighbour lists and ordered slot lists. True when every
    // native row can be read safely (the other layouts are compared with it).
    bool CheckNative()
    {
        bool readable = true;
        if (!Array(M.m_ppiNeighbor, "m_ppiNeighbor", -1, 0) || !Array(S.m_ppdCoef, "m_ppdCoef", -1, 0)) return false;
        if (N.orderedLists && (!Array(S.m_ppiOrderedSlot, "m_ppiOrderedSlot", -1, 0) || !DiagPosArray())) return false;
        std::vector<long long> seen(static_cast<size_t>(maxNn) + 2, -1);
        for (int i = 1; i <= n; ++i) {
            const int nn = M.m_piNumNeighbor[i];
            const int* nb = M.m_ppiNeighbor[i];
            const double* a = S.m_ppdCoef[i];
            const auto cell = [&] { return "cell " + Num(i); };
            if (!a) {
                Problem(cell() + ": m_ppdCoef row is null");
                readable = false;
                continue;
            }
            CheckDiagonal([&] { return cell() + ": diagonal m_ppdCoef[" + Num(i) + "][0]"; }, a[0]);
            if (nn > 0 && !nb) {
                Problem(cell() + ": m_ppiNeighbor row is null");
                readable = false;
                continue;
            }
            bool rowOk = true;
            for (int k = 1; k <= nn; ++k) {
                const auto slot = [&] { return cell() + ", slot " + Num(k); };
                if (nb[k] < 1 || nb[k] > nTotal) {
                    Problem(slot() + ": neighbour " + Num(nb[k]) + " is outside 1.." + Num(nTotal));
                    rowOk = false;
                } else if (nb[k] == i) {
                    Problem(slot() + ": the neighbour is the cell itself (the diagonal belongs in slot 0)");
                    rowOk = false;
                }
                if (!std::isfinite(a[k])) Problem(slot() + ": coefficient " + Num(a[k]) + " is not finite");
            }
            if (!rowOk) {
                readable = false;
                continue;
            }
            if (!N.orderedLists) continue;
            const int* ord = S.m_ppiOrderedSlot[i];
            if (!ord) {
                Problem(cell() + ": m_ppiOrderedSlot row is null");
                continue;
            }
            const int dp = S.m_piDiagPos[i];
            if (dp < 1 || dp > nn + 1) {
                Problem(cell() + ": m_piDiagPos is " + Num(dp) + ", outside 1.." + Num(nn + 1));
                continue;
            }
            for (int p = 1; p <= nn + 1; ++p) {
                const int s = ord[p];
                const auto place = [&] { return cell() + ", ordered place " + Num(p); };
                if (s < 0 || s > nn) {
                    Problem(place() + ": slot " + Num(s) + " is outside 0.." + Num(nn));
                    break;
                }
                if (seen[s] == i) {
                    Problem(cell() + ": the ordered slot list is not a permutation (slot " + Num(s) +
                            " appears twice)");
                    break;
                }
                seen[s] = i;
                if (p == dp) {
                    if (s != 0) Problem(place() + " is m_piDiagPos but holds slot " + Num(s) + ", not the diagonal 0");
                } else if (s == 0) {
                    Problem(place() + " holds the diagonal, but m_piDiagPos is " + Num(dp));
                } else if (p < dp && nb[s] > i) {
                    Problem(place() + ": slot " + Num(s) + " (neighbour " + Num(nb[s]) +
                            ") stands in the lower part but its column is above the cell");
                } else if (p > dp && nb[s] < i) {
                    Problem(place() + ": slot " + Num(s) + " (neighbour " + Num(nb[s]) +
                            ") stands in the upper part but its column is below the cell");
                }
            }
        }
        return readable;
    }

    bool DiagPosArray()
    {
        if (m_diagPosChecked) return m_diagPosOk;
        m_diagPosChecked = true;
        return m_diagPosOk = Array(S.m_piDiagPos, "m_piDiagPos", R.diagPos, n + 1LL, " (cells 1..m_nCell)");
    }

    template <class F>
    void CheckDiagonal(F&& what, double d)
    {
        if (d == 0.0)
            Problem(what() + " is zero (Gauss-Seidel divides by it)");
        else if (!std::isfinite(d))
            Problem(what() + " is " + Num(d) + ", not finite");
    }

    // The common case: the same entries in the same order as the native row.
    bool InNativeOrder(int i, const std::vector<std::pair<int, double>>& row) const
    {
        if (static_cast<int>(row.size()) != M.m_piNumNeighbor[i]) return false;
        for (size_t k = 0; k < row.size(); ++k)
            if (row[k].first != M.m_ppiNeighbor[i][k + 1] || !(row[k].second == S.m_ppdCoef[i][k + 1])) return false;
        return true;
    }

    // The off-diagonal entries of native row i, sorted, for comparison.
    std::vector<std::pair<int, double>> NativeRow(int i) const
    {
        std::vector<std::pair<int, double>> row;
        for (int k = 1; k <= M.m_piNumNeighbor[i]; ++k) row.emplace_back(M.m_ppiNeighbor[i][k], S.m_ppdCoef[i][k]);
        std::sort(row.begin(), row.end());
        return row;
    }

    void CompareRows(const char* layout, int i, double diag, std::vector<std::pair<int, double>>& row)
    {
        if (diag == S.m_ppdCoef[i][0] && InNativeOrder(i, row)) return;
        std::sort(row.begin(), row.end());
        const std::string head = std::string(layout) + " row " + Num(i) + " differs from the native row: ";
        if (!(diag == S.m_ppdCoef[i][0])) {
            Problem(head + "diagonal " + Num(diag) + " against " + Num(S.m_ppdCoef[i][0]));
            return;
        }
        const std::vector<std::pair<int, double>> native = NativeRow(i);
        if (row.size() != native.size()) {
            Problem(head + Num(static_cast<long long>(row.size())) + " off-diagonal entries against " +
                    Num(static_cast<long long>(native.size())));
            return;
        }
        for (size_t k = 0; k < row.size(); ++k)
            if (row[k].first != native[k].first || !(row[k].second == native[k].second)) {
                Problem(head + "entry (column " + Num(row[k].first) + ", " + Num(row[k].second) + ") against (column " +
                        Num(native[k].first) + ", " + Num(native[k].second) + ")");
                return;
            }
    }

    void CheckCsr(bool compareNative)
    {
        if (!Array(M.m_piCSRRowStart, "m_piCSRRowStart", R.csrRowStart, n + 2LL, " (rows 1..m_nCell+1)")) return;
        const bool haveValues = Array(M.m_pdCSRValue, "m_pdCSRValue", -1, 0);
        const bool haveColumns = Array(M.m_piCSRColumn, "m_piCSRColumn", -1, 0);
        if (!haveValues || !haveColumns) return;
        const int* rs = M.m_piCSRRowStart;
        if (n > 0 && rs[1] < 0) {
            Problem("CSR: m_piCSRRowStart[1] is " + Num(rs[1]) + ", a negative entry index");
            return;
        }
        for (int i = 1; i <= n; ++i)
            if (rs[i + 1] <= rs[i]) {
                Problem("CSR: row " + Num(i) + " is empty or reversed (m_piCSRRowStart[" + Num(i) +
                        "] = " + Num(rs[i]) + ", [" + Num(i + 1) + "] = " + Num(rs[i + 1]) +
                        "); every row starts with its diagonal");
                return;
            }
        if (n > 0 && R.csrEntries >= 0 && rs[n + 1] > R.csrEntries) {
            Problem("CSR: the rows reach entry " + Num(rs[n + 1] - 1LL) + " but the entry arrays hold " +
                    Num(R.csrEntries));
            return;
        }
        std::vector<std::pair<int, double>> row;
        for (int i = 1; i <= n; ++i) {
            CheckDiagonal([&] { return "CSR row " + Num(i) + ": diagonal (entry " + Num(rs[i]) + ")"; },
                          M.m_pdCSRValue[rs[i]]);
            row.clear();
            bool ok = true;
            for (int e = rs[i] + 1; e < rs[i + 1]; ++e) {
                const int c = M.m_piCSRColumn[e];
                const auto entry = [&] { return "CSR row " + Num(i) + ", entry " + Num(e); };
                if (c < 1 || c > nTotal || c == i) {
                    Problem(entry() + ": column " + Num(c) +
                            (c == i ? " repeats the diagonal" : " is outside 1.." + Num(nTotal)));
                    ok = false;
                }
                if (!std::isfinite(M.m_pdCSRValue[e]))
                    Problem(entry() + ": value " + Num(M.m_pdCSRValue[e]) + " is not finite");
                row.emplace_back(c, M.m_pdCSRValue[e]);
            }
            if (ok && compareNative) CompareRows("CSR", i, M.m_pdCSRValue[rs[i]], row);
        }
    }

    // The ELL rows, compared with the native rows when those were checked
    // sound; their ordered slot lists when the solve needs them and the
    // neighbour counts are sound.
    void CheckEll(bool countsOk, bool nativeOk)
    {
        const int width = G.m_nELLWidth;
        if (width < 1) {
            Problem("ELL: m_nELLWidth is " + Num(width) + "; every row needs slot 0 for its diagonal");
            return;
        }
        const long long entries = static_cast<long long>(width) * nTotal;
        if (entries > std::numeric_limits<int>::max()) {
            Problem("ELL: m_nELLWidth x m_nCellTotal = " + Num(entries) + " exceeds the int range of the entry index");
            return;
        }
        if (!Array(G.m_pdELLValue, "m_pdELLValue", R.ellEntries, entries, " (width x m_nCellTotal)") ||
            !Array(G.m_piELLColumn, "m_piELLColumn", R.ellEntries, entries, " (width x m_nCellTotal)"))
            return;
        if ((N.layouts & LayoutBit(ELayout::Native) ? nativeOk : countsOk) && maxNn + 1 > width)
            Problem("ELL: m_nELLWidth is " + Num(width) + " but a cell has " + Num(maxNn) + " neighbours");
        // With the native rows in the check, the ELL rows are compared with
        // them; without, the counts and m_piDiagPos are checked here.
        const bool rowsComparable = N.layouts & LayoutBit(ELayout::Native) ? nativeOk : countsOk && DiagPosArray();
        const bool haveOrder = N.orderedLists && Array(S.m_piOrderedSlotELL, "m_piOrderedSlotELL", R.orderedSlotEll,
                                                       (maxNn + 1LL) * n, " ((largest neighbour count + 1) x m_nCell)");
        std::vector<long long> seen(static_cast<size_t>(width), -1);
        std::vector<std::pair<int, double>> entriesOfRow;
        for (int i = 1; i <= n; ++i) {
            const auto row = [&] { return "ELL row " + Num(i); };
            CheckDiagonal([&] { return row() + ": diagonal (slot 0)"; }, G.m_pdELLValue[i - 1]);
            entriesOfRow.clear();
            bool ok = true;
            for (int s = 1; s < width; ++s) {
                const long long e = static_cast<long long>(s) * nTotal + (i - 1);
                const int c = G.m_piELLColumn[e];
                if (c == -1) continue;
                if (c < 1 || c > nTotal || c == i) {
                    Problem(row() + ", slot " + Num(s) + ": column " + Num(c) +
                            (c == i ? " repeats the diagonal" : " is neither -1 nor in 1.." + Num(nTotal)));
                    ok = false;
                    continue;
                }
                if (!std::isfinite(G.m_pdELLValue[e]))
                    Problem(row() + ", slot " + Num(s) + ": value " + Num(G.m_pdELLValue[e]) + " is not finite");
                entriesOfRow.emplace_back(c, G.m_pdELLValue[e]);
            }
            if (!ok || !rowsComparable) continue;
            const int nn = M.m_piNumNeighbor[i];
            if (static_cast<int>(entriesOfRow.size()) != nn) {
                Problem(row() + ": " + Num(static_cast<long long>(entriesOfRow.size())) +
                        " occupied off-diagonal slots, but m_piNumNeighbor says " + Num(nn) +
                        " (the ELL preconditioner takes its row length from there)");
                continue;
            }
            if (nativeOk) CompareRows("ELL", i, G.m_pdELLValue[i - 1], entriesOfRow);
            if (!haveOrder) continue;
            CheckEllOrder(i, nn, width, seen);
        }
    }

    // The ordered slot list of ELL row i: a permutation of its occupied slots
    // with the diagonal at m_piDiagPos, lower columns before it and upper after.
    void CheckEllOrder(int i, int nn, int width, std::vector<long long>& seen)
    {
        const auto row = [&] { return "ELL row " + Num(i); };
        const int dp = S.m_piDiagPos[i];
        for (int p = 1; p <= nn + 1; ++p) {
            const int s = S.m_piOrderedSlotELL[static_cast<long long>(p - 1) * n + (i - 1)];
            const auto place = [&] { return row() + ", ordered place " + Num(p); };
            if (s < 0 || s >= width) {
                Problem(place() + ": slot " + Num(s) + " is outside 0.." + Num(width - 1));
                break;
            }
            if (seen[s] == i) {
                Problem(row() + ": the ordered slot list is not a permutation (slot " + Num(s) + " appears twice)");
                break;
            }
            seen[s] = i;
            const int c = G.m_piELLColumn[static_cast<long long>(s) * nTotal + (i - 1)];
            if (p == dp) {
                if (s != 0) Problem(place() + " is m_piDiagPos but holds slot " + Num(s) + ", not the diagonal 0");
            } else if (s == 0) {
                Problem(place() + " holds the diagonal, but m_piDiagPos is " + Num(dp));
            } else if (c == -1) {
                Problem(place() + ": slot " + Num(s) + " is empty (column -1)");
            } else if (p < dp && c > i) {
                Problem(place() + ": slot " + Num(s) + " (column " + Num(c) +
                        ") stands in the lower part but its column is above the cell");
            } else if (p > dp && c < i) {
                Problem(place() + ": slot " + Num(s) + " (column " + Num(c) +
                        ") stands in the upper part but its column is below the cell");
            }
        }
    }

    void CheckSettings(int ivarb)
    {
        if (N.precondType) Array(S.m_piPrecondType, "m_piPrecondType", -1, 0);
        const bool print = N.printSolver && Array(S.m_piPrintSolver, "m_piPrintSolver", -1, 0);
        const bool interval = N.printInterval && Array(S.m_piPrintInterval, "m_piPrintInterval", -1, 0);
        const bool silent = N.silent && Array(S.m_piSilent, "m_piSilent", -1, 0);
        if (N.extremes) {
            Array(S.m_pdSolutionMax, "m_pdSolutionMax", -1, 0);
            Array(S.m_pdSolutionMin, "m_pdSolutionMin", -1, 0);
        }
        if (print && interval && silent && *S.m_piSilent == 0 && *S.m_piPrintInterval == 0)
            Problem("m_piPrintInterval is 0 while m_piSilent is 0: the progress line would divide by zero");
        const bool maxIter = Array(S.m_piMaxIter, "m_piMaxIter", R.perVariable, 1);
        const bool tol = Array(S.m_pdTolerance, "m_pdTolerance", R.perVariable, 1);
        Array(S.m_pdResidual0, "m_pdResidual0", R.perVariable, 1);
        if (N.iterCount) Array(S.m_piIterCount, "m_piIterCount", R.perVariable, 1);
        if (ivarb < 0) return;
        if (R.perVariable >= 0 && ivarb >= R.perVariable) {
            Problem("variable " + Num(ivarb) + " is outside the per-variable arrays (0.." + Num(R.perVariable - 1) +
                    ")");
            return;
        }
        if (tol && !(S.m_pdTolerance[ivarb] >= 0.0 && std::isfinite(S.m_pdTolerance[ivarb])))
            Problem("variable " + Num(ivarb) + ": tolerance " + Num(S.m_pdTolerance[ivarb]) +
                    " is not a finite non-negative number");
        (void)maxIter;
    }

    void CheckVectors()
    {
        struct CVec {
            const char* name;
            const double* p;
            long long room;
            unsigned bit;
        };
        const CVec all[] = {
            {"m_pdPrecondDiag", S.m_pdPrecondDiag, R.precondDiag, kVecPrecondDiag},
            {"m_pdPrecondWork", S.m_pdPrecondWork, R.precondWork, kVecPrecondWork},
            {"m_pdVecR", S.m_pdVecR, R.vecR, kVecR},
            {"m_pdVecP", S.m_pdVecP, R.vecP, kVecP},
            {"m_pdVecQ", S.m_pdVecQ, R.vecQ, kVecQ},
            {"m_pdVecZ", S.m_pdVecZ, R.vecZ, kVecZ},
            {"m_pdVecT", S.m_pdVecT, R.vecT, kVecT},
            {"m_pdVecSHat", S.m_pdVecSHat, R.vecSHat, kVecSHat},
            {"m_pdVecR0Hat", S.m_pdVecR0Hat, R.vecR0Hat, kVecR0Hat},
            {"m_pdVecPHat", S.m_pdVecPHat, R.vecPHat, kVecPHat},
        };
        std::vector<CVec> vecs;
        for (const CVec& v : all)
            if (N.vectors & v.bit) vecs.push_back(v);
        for (const CVec& v : vecs) {
            const bool halo = N.haloVectors & v.bit;
            Array(v.p, v.name, v.room, (halo ? nTotal : n) + 1LL,
                  halo ? " (cells 1..m_nCellTotal: it is exchanged)" : " (cells 1..m_nCell)");
        }
        for (size_t a = 0; a < vecs.size(); ++a)
            for (size_t b = a + 1; b < vecs.size(); ++b)
                if (vecs[a].p && vecs[a].p == vecs[b].p)
                    Problem(std::string(vecs[a].name) + " and " + vecs[b].name + " are the same array");
    }

    const CQVL3DFiniteVolumeMesh& M;
    const CQvl3dGV& S;
    const CQVLGVGPU& G;
    const CHostRoom& R;
    const CHostNeeds& N;
    size_t m_max;
    CValidationReport m_report;
    int n = 0, nTotal = 0, maxNn = 0;
    bool m_diagPosChecked = false, m_diagPosOk = false;
};

} // namespace

std::string CValidationReport::Text() const
{
    if (count == 0) return "no problems";
    std::string text;
    for (const std::string& p : problems) text += p + "\n";
    if (count > static_cast<long long>(problems.size()))
        text += "... and " + std::to_string(count - static_cast<long long>(problems.size())) + " more\n";
    return text;
}

CValidationReport ValidateHost(const CQVL3DFiniteVolumeMesh& mesh, const CQvl3dGV& store, const CQVLGVGPU& gpu,
                               const CHostRoom& room, unsigned layouts, int ivarb, size_t maxProblems)
{
    CHostNeeds needs;
    needs.layouts = layouts;
    return CChecker(mesh, store, gpu, room, needs, maxProblems).Run(ivarb);
}

CValidationReport ValidateHostFor(const CQVL3DFiniteVolumeMesh& mesh, const CQvl3dGV& store, const CQVLGVGPU& gpu,
                                  const CHostRoom& room, const CHostNeeds& needs, int ivarb, size_t maxProblems)
{
    return CChecker(mesh, store, gpu, room, needs, maxProblems).Run(ivarb);
}

} // namespace host
} // namespace qvl3d
