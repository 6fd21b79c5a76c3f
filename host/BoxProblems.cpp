#include "BoxProblems.h"

#include <stdexcept>

namespace qvl3d {
namespace host {

CSparseMatrix Poisson(const CBox& box)
{
    if (box.nx < 1 || box.ny < 1 || box.nz < 1) throw std::invalid_argument("box dimensions must be at least 1");
    const double hx = 1.0 / box.nx, hy = 1.0 / box.ny, hz = 1.0 / box.nz;
    const double kx = hy * hz / hx, ky = hx * hz / hy, kz = hx * hy / hz;
    const int n = box.Cells();
    CSparseBuilder builder(n, n);
    for (int iz = 0; iz < box.nz; ++iz)
        for (int iy = 0; iy < box.ny; ++iy)
            for (int ix = 0; ix < box.nx; ++ix) {
                const int i = box.Cell(ix, iy, iz);
                double diag = 0.0;
                // Neighbours in ascending cell order: -z, -y, -x, (diagonal), +x, +y, +z.
                auto face = [&](bool inside, int j, double k) {
                    if (inside) {
                        diag += k;
                        return j;
                    }
                    diag += 2.0 * k;
                    return 0;
                };
                const int zm = face(iz > 0, i - box.nx * box.ny, kz);
                const int ym = face(iy > 0, i - box.nx, ky);
                const int xm = face(ix > 0, i - 1, kx);
                const int xp = face(ix + 1 < box.nx, i + 1, kx);
                const int yp = face(iy + 1 < box.ny, i + box.nx, ky);
                const int zp = face(iz + 1 < box.nz, i + box.nx * box.ny, kz);
                if (zm) builder.Add(i, zm, -kz);
                if (ym) builder.Add(i, ym, -ky);
                if (xm) builder.Add(i, xm, -kx);
                builder.Add(i, i, diag);
                if (xp) builder.Add(i, xp, -kx);
                if (yp) builder.Add(i, yp, -ky);
                if (zp) builder.Add(i, zp, -kz);
            }
    return builder.Finish();
}

} // namespace host
} // namespace qvl3d
