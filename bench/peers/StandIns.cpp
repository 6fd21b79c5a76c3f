#include "StandIns.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace qvl3d {
namespace peers {

host::CSparseMatrix ConvectionDiffusion(const host::CBox& box, const CConvection& flow)
{
    if (box.nx < 1 || box.ny < 1 || box.nz < 1) throw std::invalid_argument("box dimensions must be at least 1");
    const double speed = std::sqrt(flow.vx * flow.vx + flow.vy * flow.vy + flow.vz * flow.vz);
    const double eps = flow.peclet > 0.0 ? speed / flow.peclet : 1.0;
    const double hx = 1.0 / box.nx, hy = 1.0 / box.ny, hz = 1.0 / box.nz;
    const double ax = hy * hz, ay = hx * hz, az = hx * hy; // face areas
    const double kx = eps * ax / hx, ky = eps * ay / hy, kz = eps * az / hz;
    const double fx = flow.vx * ax, fy = flow.vy * ay, fz = flow.vz * az; // flux through a + face
    const int n = box.nx * box.ny * box.nz;
    host::CSparseBuilder builder(n, n);
    for (int iz = 0; iz < box.nz; ++iz)
        for (int iy = 0; iy < box.ny; ++iy)
            for (int ix = 0; ix < box.nx; ++ix) {
                const int i = box.Cell(ix, iy, iz);
                double diag = 0.0;
                // outward flux F through the face, diffusion k; returns the neighbour coefficient.
                auto face = [&](bool inside, double k, double F) {
                    diag += (inside ? k : 2.0 * k) + std::max(F, 0.0);
                    return -(k + std::max(-F, 0.0));
                };
                const double czm = face(iz > 0, kz, -fz), cym = face(iy > 0, ky, -fy), cxm = face(ix > 0, kx, -fx);
                const double cxp = face(ix + 1 < box.nx, kx, fx), cyp = face(iy + 1 < box.ny, ky, fy),
                             czp = face(iz + 1 < box.nz, kz, fz);
                if (iz > 0) builder.Add(i, i - box.nx * box.ny, czm);
                if (iy > 0) builder.Add(i, i - box.nx, cym);
                if (ix > 0) builder.Add(i, i - 1, cxm);
                builder.Add(i, i, diag);
                if (ix + 1 < box.nx) builder.Add(i, i + 1, cxp);
                if (iy + 1 < box.ny) builder.Add(i, i + box.nx, cyp);
                if (iz + 1 < box.nz) builder.Add(i, i + box.nx * box.ny, czp);
            }
    return builder.Finish();
}

host::CSparseMatrix ReadMatrixMarket(const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw std::runtime_error(path + ": cannot open");
    std::string line;
    int lineNo = 0;
    auto fail = [&](const std::string& what) {
        throw std::runtime_error(path + ":" + std::to_string(lineNo) + ": " + what);
    };

    if (!std::getline(in, line)) fail("empty file");
    ++lineNo;
    std::istringstream banner(line);
    std::string mm, object, format, field, symmetry;
    banner >> mm >> object >> format >> field >> symmetry;
    if (mm != "%%MatrixMarket" || object != "matrix" || format != "coordinate")
        fail("expected a '%%MatrixMarket matrix coordinate' banner");
    if (field != "real" && field != "integer" && field != "double") fail("field '" + field + "' is not supported");
    if (symmetry != "general" && symmetry != "symmetric") fail("symmetry '" + symmetry + "' is not supported");

    long long rows = -1, cols = -1, entries = -1;
    while (std::getline(in, line)) {
        ++lineNo;
        if (line.empty() || line[0] == '%' || line.find_first_not_of(" \t\r") == std::string::npos) continue;
        std::istringstream size(line);
        if (!(size >> rows >> cols >> entries) || rows < 1 || rows != cols || entries < 0 || rows > (1 << 30))
            fail("expected a square size line 'rows cols entries'");
        break;
    }
    if (rows < 0) fail("no size line");

    std::vector<std::map<int, double>> rowMap(static_cast<size_t>(rows) + 1);
    long long seen = 0;
    while (seen < entries && std::getline(in, line)) {
        ++lineNo;
        if (line.empty() || line[0] == '%' || line.find_first_not_of(" \t\r") == std::string::npos) continue;
        std::istringstream entry(line);
        long long i = 0, j = 0;
        double v = 0.0;
        if (!(entry >> i >> j >> v)) fail("expected 'row column value'");
        if (i < 1 || i > rows || j < 1 || j > cols) fail("index out of range");
        if (!std::isfinite(v)) fail("value is not finite");
        rowMap[static_cast<size_t>(i)][static_cast<int>(j)] += v;
        if (symmetry == "symmetric" && i != j) rowMap[static_cast<size_t>(j)][static_cast<int>(i)] += v;
        ++seen;
    }
    if (seen < entries) fail("file ends after " + std::to_string(seen) + " of " + std::to_string(entries) + " entries");

    const int n = static_cast<int>(rows);
    host::CSparseBuilder builder(n, n);
    for (int i = 1; i <= n; ++i) {
        const auto d = rowMap[static_cast<size_t>(i)].find(i);
        if (d == rowMap[static_cast<size_t>(i)].end() || d->second == 0.0)
            throw std::runtime_error(path + ": row " + std::to_string(i) + " has no non-zero diagonal entry");
        for (const auto& [j, v] : rowMap[static_cast<size_t>(i)]) builder.Add(i, j, v);
    }
    return builder.Finish();
}

} // namespace peers
} // namespace qvl3d
