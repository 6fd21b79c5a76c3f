/* Steady diffusion on an N x N x N box of cells in the unit cube, u = 0 on
 * the walls, a unit source in every cell, spread over the ranks in slabs of
 * whole planes k: each rank assembles its own rows (global ids counted from
 * 1, 64-bit) and solves through the distributed C interface. Exits 0 only
 * when the solve converged. */
#include <qvl3d/qvl3d_mpi.h>

#include <mpi.h>
#include <stdio.h>
#include <stdlib.h>

enum { N = 20 };

static int64_t cell(int i, int j, int k)
{
    return 1 + i + (int64_t)N * (j + (int64_t)N * k);
}

/* This rank's rows: planes k0 .. k1-1, assembled into the arrays given. */
static void assemble(int k0, int k1, int64_t* rowptr, int64_t* col, double* val, double* b)
{
    const double h = 1.0 / N, face = h; /* face area h*h over centre distance h */
    const int64_t step[3] = {1, N, (int64_t)N * N};
    int64_t next = 1, row = 0;
    rowptr[0] = 1;
    for (int k = k0; k < k1; ++k)
        for (int j = 0; j < N; ++j)
            for (int i = 0; i < N; ++i) {
                const int at[3] = {i, j, k};
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
                b[row] = h * h * h;
                rowptr[++row] = next;
            }
}

static int run(int rank, int ranks)
{
    const int k0 = N * rank / ranks, k1 = N * (rank + 1) / ranks;
    const int32_t rows = (k1 - k0) * N * N;
    int64_t* rowptr = malloc(sizeof(int64_t) * (rows + 1));
    int64_t* col = malloc(sizeof(int64_t) * 7 * (rows + 1));
    double* val = malloc(sizeof(double) * 7 * (rows + 1));
    double* b = malloc(sizeof(double) * (rows + 1));
    double* x = calloc(rows + 1, sizeof(double));
    if (!rowptr || !col || !val || !b || !x) {
        fprintf(stderr, "c-host-mpi: rank %d: out of memory\n", rank);
        MPI_Abort(MPI_COMM_WORLD, 1);
    }
    assemble(k0, k1, rowptr, col, val, b);

    qvl3d_options options;
    qvl3d_options_default(&options);
    qvl3d_options_set_words(&options, "pcg", "dilu", "csr");
    options.rtol = 1e-10;
    qvl3d_dsolver* solver = NULL;
    qvl3d_result result;
    int ok = qvl3d_dsolver_create(MPI_Comm_c2f(MPI_COMM_WORLD), rows, rowptr, col, val, 1, NULL, cell(0, 0, k0),
                                  &options, &solver) == QVL3D_OK;
    if (!ok)
        fprintf(stderr, "c-host-mpi: rank %d: %s\n", rank, qvl3d_dsolver_last_error(NULL));
    else if (!(ok = qvl3d_dsolver_solve(solver, b, x, &result) == QVL3D_OK))
        fprintf(stderr, "c-host-mpi: rank %d: %s\n", rank, qvl3d_dsolver_last_error(solver));
    else if (rank == 0)
        printf("c-host-mpi: %d cells on %d ranks, %s after %d iterations, relative residual %.3g\n", N * N * N, ranks,
               qvl3d_status_name(result.status), result.iterations, result.relative_residual);
    qvl3d_dsolver_destroy(solver);
    free(rowptr);
    free(col);
    free(val);
    free(b);
    free(x);
    return ok && result.converged; /* the same on every rank */
}

int main(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    int rank = 0, ranks = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &ranks);
    const int converged = run(rank, ranks);
    MPI_Finalize();
    return converged ? 0 : 1;
}
