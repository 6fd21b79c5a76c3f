/* Steady diffusion on an N x N x N box of cells in the unit cube, u = 0 on
 * the walls, a unit source in every cell, assembled as compressed rows
 * counted from 1 and solved through the C interface. Exits 0 only when the
 * solve converged. */
#include <qvl3d/qvl3d.h>

#include <stdio.h>
#include <stdlib.h>

enum { N = 20 };

static int32_t cell(int i, int j, int k)
{
    return 1 + i + N * (j + N * k);
}

int main(void)
{
    const int32_t rows = N * N * N;
    const double h = 1.0 / N, face = h; /* face area h*h over centre distance h */
    int32_t* rowptr = malloc(sizeof(int32_t) * (rows + 1));
    int32_t* col = malloc(sizeof(int32_t) * 7 * rows);
    double* val = malloc(sizeof(double) * 7 * rows);
    double* b = malloc(sizeof(double) * rows);
    double* x = calloc(rows, sizeof(double));
    if (!rowptr || !col || !val || !b || !x) {
        fprintf(stderr, "c-host: out of memory\n");
        return 1;
    }
    int32_t next = 1;
    rowptr[0] = 1;
    for (int k = 0; k < N; ++k)
        for (int j = 0; j < N; ++j)
            for (int i = 0; i < N; ++i) {
                const int at[3] = {i, j, k};
                const int32_t step[3] = {1, N, N * N};
                double diagonal = 0.0;
                for (int d = 0; d < 3; ++d)
                    for (int side = -1; side <= 1; side += 2) {
                        if (at[d] + side < 0 || at[d] + side >= N) {
                            diagonal += 2.0 * face; /* the wall lies half a cell away */
                            continue;
                        }
                        diagonal += face;
                        col[next - 1] = cell(i, j, k) + side * step[d];
                        val[next - 1] = -face;
                        ++next;
                    }
                col[next - 1] = cell(i, j, k);
                val[next - 1] = diagonal;
                ++next;
                rowptr[cell(i, j, k)] = next;
                b[cell(i, j, k) - 1] = h * h * h;
            }

    qvl3d_options options;
    qvl3d_options_default(&options);
    if (qvl3d_options_set_words(&options, "pcg", "dilu", "csr") != QVL3D_OK) {
        fprintf(stderr, "c-host: %s\n", qvl3d_last_error(NULL));
        return 1;
    }
    options.rtol = 1e-10;
    qvl3d_solver* solver = NULL;
    if (qvl3d_solver_create(rows, rowptr, col, val, 1, &options, &solver) != QVL3D_OK) {
        fprintf(stderr, "c-host: %s\n", qvl3d_last_error(NULL));
        return 1;
    }
    qvl3d_result result;
    int ok = qvl3d_solver_solve(solver, b, x, &result) == QVL3D_OK;
    if (!ok)
        fprintf(stderr, "c-host: %s\n", qvl3d_last_error(solver));
    else
        printf("c-host: %d cells, %s after %d iterations, relative residual %.3g, u at the centre %.6g\n", rows,
               qvl3d_status_name(result.status), result.iterations, result.relative_residual,
               x[cell(N / 2, N / 2, N / 2) - 1]);
    qvl3d_solver_destroy(solver);
    free(rowptr);
    free(col);
    free(val);
    free(b);
    free(x);
    return ok && result.converged ? 0 : 1;
}
