// A host that assembles its own finite-volume system as compressed rows
// counted from 0 and solves it through the front door: steady diffusion on
// an N x N x N box of cells in the unit cube, u = 0 on the walls, a unit
// source in every cell.
#include <qvl3d/Solve.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <vector>

int main()
{
    const int n = 24;
    const double h = 1.0 / n, face = h; // face coefficient: face area h*h over centre distance h
    const int rows = n * n * n;
    auto cell = [n](int i, int j, int k) { return i + n * (j + n * k); };

    std::vector<std::int32_t> rowStart{0}, columns;
    std::vector<double> values;
    for (int k = 0; k < n; ++k)
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i) {
                const int at[3] = {i, j, k}, step[3] = {1, n, n * n};
                double diagonal = 0.0;
                for (int d = 0; d < 3; ++d)
                    for (int side : {-1, 1}) {
                        if (at[d] + side < 0 || at[d] + side >= n) {
                            diagonal += 2.0 * face; // the wall lies half a cell away
                            continue;
                        }
                        diagonal += face;
                        columns.push_back(cell(i, j, k) + side * step[d]);
                        values.push_back(-face);
                    }
                columns.push_back(cell(i, j, k)); // the diagonal may stand anywhere in its row
                values.push_back(diagonal);
                rowStart.push_back(static_cast<std::int32_t>(columns.size()));
            }
    std::vector<double> b(rows, h * h * h), x(rows, 0.0); // the source integrated over each cell

    qvl3d::CCsrView A;
    A.rows = rows;
    A.rowStart32 = rowStart.data();
    A.columns = columns.data();
    A.values = values.data();
    qvl3d::CSolveOptions options;
    options.method = qvl3d::EMethod::Cg; // the matrix is symmetric positive definite
    options.rtol = 1e-10;
    try {
        qvl3d::CSolver solver(A, options);
        const qvl3d::CSolveResult r = solver.Solve(b.data(), x.data());
        std::printf("frontdoor: %d cells, %s after %d iterations, ||b - Ax|| / ||b|| = %.3e, u at the centre %.6f\n",
                    rows, qvl3d::StatusName(r.status), r.iterations, r.relativeResidual, x[cell(n / 2, n / 2, n / 2)]);
        return r.Converged() && r.relativeResidual <= 1e-9 ? 0 : 1;
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "frontdoor: %s\n", e.what());
        return 2;
    }
}
