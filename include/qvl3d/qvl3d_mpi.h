/* The distributed form of qvl3d.h over MPI, in the library QVL3DToolCMPI:
 * each rank hands in its owned rows with global column ids, counted from 0
 * or 1 (the same base for the offsets, the columns and the ids). The
 * communicator comes as a Fortran handle (MPI_Comm_c2f(comm) from C,
 * the integer from Fortran's mpi module), so that C and Fortran hosts call
 * the same functions.
 *
 * Every function but the history and the messages is collective over the
 * communicator. Bad arguments on any rank make every rank return the same
 * code with the same message: that of the lowest faulty rank, beginning
 * "rank R: " and naming, for a fault in the rows, the values, b or x, the
 * row or index on that rank, its global id (counted from 0) and the entry;
 * no rank is left waiting. The monitor must give the same answer on every
 * rank (it sees the same values there). */
#ifndef QVL3D_QVL3D_MPI_H
#define QVL3D_QVL3D_MPI_H

#include <mpi.h>
#include <qvl3d/qvl3d.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qvl3d_dsolver qvl3d_dsolver;

/* Builds the distributed solver from this rank's n rows: row k holds the
 * entries rowptr[k]-base .. rowptr[k+1]-base-1 of col (global ids) and
 * val. The rank's rows are the global ids ids[0..n-1] when ids is not
 * null, else first, first+1, ..., first+n-1 (ranges that do not overlap);
 * every rank gives the same kind. On failure *solver is set to null. */
QVL3D_C_API qvl3d_code qvl3d_dsolver_create(MPI_Fint comm, int32_t n, const int64_t* rowptr, const int64_t* col,
                                            const double* val, int base, const int64_t* ids, int64_t first,
                                            const qvl3d_options* options, qvl3d_dsolver** solver);

/* New values for the same pattern, in the order given to create. */
QVL3D_C_API qvl3d_code qvl3d_dsolver_update(qvl3d_dsolver* solver, const double* val);

/* Solves from the x passed in; b and x hold this rank's rows in its order.
 * The result is the whole system's, the same on every rank. */
QVL3D_C_API qvl3d_code qvl3d_dsolver_solve(qvl3d_dsolver* solver, const double* b, double* x, qvl3d_result* result);

/* As qvl3d_solver_history (not collective). */
QVL3D_C_API qvl3d_code qvl3d_dsolver_history(const qvl3d_dsolver* solver, double* history, int capacity, int* length);

/* Frees the solver on every rank (it frees its communicator); null is
 * allowed. */
QVL3D_C_API void qvl3d_dsolver_destroy(qvl3d_dsolver* solver);

/* The solver's last message, or with null the calling thread's last
 * message of a distributed call. */
QVL3D_C_API const char* qvl3d_dsolver_last_error(const qvl3d_dsolver* solver);
QVL3D_C_API size_t qvl3d_dsolver_last_error_copy(const qvl3d_dsolver* solver, char* text, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif
