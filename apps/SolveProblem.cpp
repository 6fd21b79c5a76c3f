#include "SolveProblem.h"

#include "BoxProblems.h"
#include "MatrixMarket.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <utility>

namespace qvl3d {
namespace app {

namespace {

std::string BoxText(const host::CBox& box)
{
    return std::to_string(box.nx) + " x " + std::to_string(box.ny) + " x " + std::to_string(box.nz) + " cells";
}

std::string Number(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

} // namespace

std::string BoxDescription(const CCommandOptions& o)
{
    if (o.problem == EProblem::ConvectionDiffusion)
        return "3-D convection-diffusion (upwind), " + BoxText(o.box) + ", velocity (" + Number(o.flow.vx) + ", " +
               Number(o.flow.vy) + ", " + Number(o.flow.vz) + "), Peclet " + Number(o.flow.peclet);
    return "3-D Poisson, " + BoxText(o.box);
}

std::string RenumberingNote(const CCommandOptions& o)
{
    switch (o.renumber) {
    case host::ERenumber::None: return "";
    case host::ERenumber::Reverse: return ", cells renumbered in reverse";
    case host::ERenumber::Random: break;
    }
    return ", cells renumbered at random (seed " + std::to_string(o.seed) + ")";
}

host::CBoxStencil BoxStencil(const CCommandOptions& o)
{
    return o.problem == EProblem::ConvectionDiffusion ? host::CBoxStencil::ConvectionDiffusion(o.box, o.flow)
                                                      : host::CBoxStencil::Poisson(o.box);
}

void ThrowNonFiniteRhs(const CCommandOptions& o, int row)
{
    const std::string where = o.problem == EProblem::MatrixFile ? o.matrixFile : "the built-in box";
    throw host::CInputError(where + ": row " + std::to_string(row) +
                            " sums to a value beyond the range of a double, so b = A*1 is not finite; give --rhs");
}

CProblem SetUpProblem(const CCommandOptions& o)
{
    const auto t0 = std::chrono::steady_clock::now();
    CProblem p;
    switch (o.problem) {
    case EProblem::ConvectionDiffusion:
        p.A = host::ConvectionDiffusion(o.box, o.flow);
        p.description = BoxDescription(o);
        break;
    case EProblem::Poisson:
        p.A = host::Poisson(o.box);
        p.description = BoxDescription(o);
        break;
    case EProblem::MatrixFile: {
        host::CMatrixMarketInfo info;
        p.A = host::ReadMatrixMarket(o.matrixFile, &info);
        p.description = FileDescription(o.matrixFile, info);
        break;
    }
    }
    const int n = p.A.nCell;
    const size_t size = static_cast<size_t>(p.A.nCellTotal) + 1;

    if (!o.rhsFile.empty()) p.b = host::ReadVectorMarket(o.rhsFile, n);
    if (!o.exactFile.empty()) p.exact = host::ReadVectorMarket(o.exactFile, n);
    p.x0 = o.guessFile.empty() ? std::vector<double>(size, 0.0) : host::ReadVectorMarket(o.guessFile, n);

    if (o.renumber != host::ERenumber::None) {
        p.renumbering = host::Renumbering(p.A.nCellTotal, o.renumber, o.seed);
        p.A = host::RenumberCells(p.A, p.renumbering);
        if (!p.b.empty()) p.b = host::Permute(p.b, p.renumbering);
        if (!p.exact.empty()) p.exact = host::Permute(p.exact, p.renumbering);
        p.x0 = host::Permute(p.x0, p.renumbering);
        p.description += RenumberingNote(o);
    }
    if (p.b.empty()) {
        // b = A*1: the exact solution is the vector of ones.
        std::vector<double> ones(size, 1.0);
        p.b.assign(size, 0.0);
        host::Multiply(p.A, ones.data(), p.b.data());
        for (int i = 1; i <= n; ++i) {
            if (std::isfinite(p.b[i])) continue;
            int row = i; // in the file's numbering
            if (!p.renumbering.empty())
                row =
                    static_cast<int>(std::find(p.renumbering.begin(), p.renumbering.end(), i) - p.renumbering.begin());
            ThrowNonFiniteRhs(o, row);
        }
        if (o.exactFile.empty()) p.exact.assign(size, 1.0);
    }
    p.b.resize(size, 0.0);
    p.x0.resize(size, 0.0);
    if (!p.exact.empty()) p.exact.resize(size, 0.0);
    p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return p;
}

std::string FileDescription(const std::string& path, const host::CMatrixMarketInfo& info)
{
    return path + " (" + info.field + " " + info.symmetry + (info.symmetry == "symmetric" ? ", expanded" : "") + ")";
}

bool BoxShareApplies(const CCommandOptions& o)
{
    return o.problem != EProblem::MatrixFile && o.renumber == host::ERenumber::None;
}

CShareFiles ReadShareFiles(const CCommandOptions& o, const CShareRead& read)
{
    CShareFiles f;
    if (!o.rhsFile.empty()) f.b = read(o.rhsFile);
    if (!o.exactFile.empty()) f.exact = read(o.exactFile);
    if (!o.guessFile.empty()) f.x0 = read(o.guessFile);
    return f;
}

void ShareVectors(const CCommandOptions& o, CShareFiles files, const host::CPartition& part,
                  const std::function<std::vector<double>()>& rowSums, CProblem& p, int& firstBadRow)
{
    const size_t size = part.global.size();
    const auto cut = [&](std::vector<double>& v) {
        if (v.size() != size) throw std::logic_error("a vector file was not cut to the share");
        return std::move(v);
    };
    p.x0 = files.x0.empty() ? std::vector<double>(size, 0.0) : cut(files.x0);
    firstBadRow = 0;
    if (files.b.empty()) {
        p.b = rowSums();
        for (int l = 1; l <= part.Cells() && firstBadRow == 0; ++l)
            if (!std::isfinite(p.b[static_cast<size_t>(l)])) firstBadRow = part.global[static_cast<size_t>(l)];
        if (o.exactFile.empty()) {
            p.exact.assign(size, 1.0);
            p.exact[0] = 0.0; // element 0 as Localise leaves it
        } else {
            p.exact = cut(files.exact);
        }
    } else {
        p.b = cut(files.b);
        if (!files.exact.empty()) p.exact = cut(files.exact);
    }
}

CProblem SetUpBoxShare(const CCommandOptions& o, int rank, int nRanks, host::CPartition& part)
{
    if (!BoxShareApplies(o)) throw std::logic_error("a share of the box asked for a problem that is not a plain box");
    const auto t0 = std::chrono::steady_clock::now();
    const host::CBoxStencil stencil = BoxStencil(o);
    CProblem p;
    p.description = BoxDescription(o);
    part = host::DistributeBox(stencil, rank, nRanks);
    p.A = std::move(part.A);
    part.A.nCell = p.A.nCell;
    part.A.nCellTotal = p.A.nCellTotal;
    p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return p;
}

std::vector<double> InOriginalNumbering(const CProblem& problem, const double* x)
{
    if (problem.renumbering.empty()) return std::vector<double>(x, x + problem.A.nCell + 1);
    std::vector<double> out = host::Unpermute(x, problem.renumbering);
    out.resize(static_cast<size_t>(problem.A.nCell) + 1);
    return out;
}

} // namespace app
} // namespace qvl3d
