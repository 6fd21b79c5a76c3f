/* The front door for C (C99) and, through the module qvl3d, for Fortran: a
 * sparse matrix in compressed rows counted from 0 or 1 in, for each
 * right-hand side a solution and a result out.
 *
 *     qvl3d_options o;
 *     qvl3d_options_default(&o);
 *     qvl3d_solver* s = NULL;
 *     if (qvl3d_solver_create(n, rowptr, col, val, 1, &o, &s) != QVL3D_OK)
 *         fprintf(stderr, "%s\n", qvl3d_last_error(NULL));
 *     qvl3d_result r;
 *     if (qvl3d_solver_solve(s, b, x, &r) == QVL3D_OK && r.converged) ...
 *     qvl3d_solver_destroy(s);
 *
 * Every function returns a qvl3d_code and, when it is not QVL3D_OK, leaves a
 * message naming what is wrong and where (rows and entries counted in the
 * caller's base): qvl3d_last_error(solver) for a call on a solver,
 * qvl3d_last_error(NULL) for the calling thread's last failed call (also
 * those on a solver). Nothing is printed and no call aborts the process.
 * The methods, rules and statuses are those of the C++ front door
 * (qvl3d/Solve.h), and a solve gives its bits. A solver is used by one
 * thread at a time. qvl3d_mpi.h adds the distributed form over MPI.
 */
#ifndef QVL3D_QVL3D_H
#define QVL3D_QVL3D_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define QVL3D_C_API __attribute__((visibility("default")))
#else
#define QVL3D_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What a call returns. */
typedef enum qvl3d_code {
    QVL3D_OK = 0,
    QVL3D_INVALID_ARGUMENT = 1, /* a null pointer, a bad count, base, column, option or word */
    QVL3D_OUT_OF_MEMORY = 2,
    QVL3D_REFUSED = 3, /* the solver refused the input: no diagonal, a value not finite, an unsymmetric
                          pattern for the conjugate gradient, ... */
    QVL3D_INTERNAL = 4 /* anything else; the message says what */
} qvl3d_code;

/* Why a solve ended: the values of the front door's EStatus. Words for
 * scripts with qvl3d_status_name ("converged", "iteration_limit", ...), a
 * sentence with qvl3d_status_text. */
typedef enum qvl3d_status {
    QVL3D_STATUS_CONVERGED = 0,
    QVL3D_STATUS_ITERATION_LIMIT = 1,
    QVL3D_STATUS_ZERO_INITIAL_RESIDUAL = 2,
    QVL3D_STATUS_LIMIT_BELOW_ONE = 3,
    QVL3D_STATUS_BREAKDOWN_RHO = 4,
    QVL3D_STATUS_BREAKDOWN_BETA = 5,
    QVL3D_STATUS_BREAKDOWN_SIGMA = 6,
    QVL3D_STATUS_BREAKDOWN_ALPHA = 7,
    QVL3D_STATUS_BREAKDOWN_TT = 8,
    QVL3D_STATUS_BREAKDOWN_OMEGA = 9,
    QVL3D_STATUS_NON_FINITE = 10,
    QVL3D_STATUS_ZERO_RHS = 11,
    QVL3D_STATUS_DIVERGED = 12,
    QVL3D_STATUS_INDEFINITE = 13,
    QVL3D_STATUS_INACCURATE = 14,
    QVL3D_STATUS_INTERRUPTED = 15, /* the monitor returned nonzero */
    QVL3D_STATUS_NOT_RUN = 16,
    QVL3D_STATUS_STAGNATED = 17,       /* a whole GMRES cycle left the residual no smaller */
    QVL3D_STATUS_BREAKDOWN_KRYLOV = 18 /* GMRES: A M^-1 singular on the Krylov space */
} qvl3d_status;

/* The methods, preconditioners and layouts of the library's table, in its
 * order; qvl3d_options_set_words takes their words. */
typedef enum qvl3d_method {
    QVL3D_METHOD_BICGSTAB = 0,
    QVL3D_METHOD_PCG = 1,
    QVL3D_METHOD_GS = 2,
    QVL3D_METHOD_GMRES = 3,
    QVL3D_METHOD_FGMRES = 4, /* flexible GMRES */
    QVL3D_METHOD_AMG = 5     /* V-cycles of the aggregation multigrid */
} qvl3d_method;

typedef enum qvl3d_preconditioner {
    QVL3D_PRECONDITIONER_DEFAULT = -1, /* the method's own: DILU for the Krylov methods, none for Gauss-Seidel */
    QVL3D_PRECONDITIONER_DILU = 0,
    QVL3D_PRECONDITIONER_DIAGONAL = 1,
    QVL3D_PRECONDITIONER_NONE = 2,
    QVL3D_PRECONDITIONER_ILU0 = 3, /* incomplete LU on the matrix's own pattern, per partition */
    QVL3D_PRECONDITIONER_AMG = 4   /* one V-cycle of the aggregation multigrid */
} qvl3d_preconditioner;

typedef enum qvl3d_layout { QVL3D_LAYOUT_CSR = 0, QVL3D_LAYOUT_NATIVE = 1, QVL3D_LAYOUT_ELL = 2 } qvl3d_layout;

/* What the tolerance is relative to (Solve.h, EReference). */
typedef enum qvl3d_reference {
    QVL3D_REFERENCE_RHS = 0,            /* max(rtol * ||b||, atol) */
    QVL3D_REFERENCE_FIRST_ITERATION = 1 /* rtol times the method's norm after its first iteration */
} qvl3d_reference;

/* Called after every iteration with its number (from 1) and the method's
 * residual norm; a nonzero return ends the solve after that iteration with
 * QVL3D_STATUS_INTERRUPTED and x as it was passed in. It may not call into
 * its own solver. */
typedef int (*qvl3d_monitor)(void* user, int iteration, double norm);

/* The fields are ints rather than the enumerations above so that the
 * layout is the same in every language. */
typedef struct qvl3d_options {
    int method;         /* qvl3d_method */
    int preconditioner; /* qvl3d_preconditioner */
    int layout;         /* qvl3d_layout */
    int reference;      /* qvl3d_reference */
    double rtol;
    double atol;
    int max_iter;
    double divtol;         /* diverged past divtol times the initial true residual; infinity never stops */
    qvl3d_monitor monitor; /* may be null */
    void* monitor_data;    /* handed to the monitor */
    int restart;           /* gmres and fgmres: iterations between restarts (at least 1) */
} qvl3d_options;

typedef struct qvl3d_result {
    int status;               /* qvl3d_status */
    int converged;            /* 1 when x solves the system to the tolerance (or exactly), else 0 */
    int iterations;           /* iterations completed */
    int history_length;       /* norms in the history (qvl3d_solver_history) */
    double initial_residual;  /* ||b - A x|| of the x passed in (0 when interrupted: not measured) */
    double final_residual;    /* ||b - A x|| of the x returned (0 when interrupted) */
    double relative_residual; /* final_residual / ||b|| (0 when b = 0 or interrupted) */
    double seconds;           /* wall time of the solve */
} qvl3d_result;

typedef struct qvl3d_solver qvl3d_solver;

/* BiCGSTAB with its default preconditioner on CSR rows, rtol 1e-8, atol 0,
 * 10000 iterations, relative to ||b||, divtol 1e5, no monitor, restart 30. */
QVL3D_C_API qvl3d_code qvl3d_options_default(qvl3d_options* options);

/* Sets the method, preconditioner and layout from their words ("bicgstab",
 * "pcg", "gs", "gmres", "fgmres"; "dilu", "diagonal", "none"; "csr", "native", "ell"); a null
 * word leaves its field as it is. On an unknown word nothing changes. */
QVL3D_C_API qvl3d_code qvl3d_options_set_words(qvl3d_options* options, const char* method, const char* preconditioner,
                                               const char* layout);

/* The words of a table entry, or null for a value outside it (for the
 * preconditioner, QVL3D_PRECONDITIONER_DEFAULT gives "default"). */
QVL3D_C_API const char* qvl3d_method_word(int method);
QVL3D_C_API const char* qvl3d_preconditioner_word(int preconditioner);
QVL3D_C_API const char* qvl3d_layout_word(int layout);

/* The status's word and sentence; "unknown" for a value outside qvl3d_status. */
QVL3D_C_API const char* qvl3d_status_name(int status);
QVL3D_C_API const char* qvl3d_status_text(int status);
/* The word copied into text as qvl3d_last_error_copy does. */
QVL3D_C_API size_t qvl3d_status_name_copy(int status, char* text, size_t capacity);

/* Builds a solver for the n x n matrix whose row i (counted from base)
 * holds the entries rowptr[i-base]-base .. rowptr[i-base+1]-base-1 of col
 * and val; base is 0 or 1 and applies to the offsets and the columns alike
 * (rowptr[0] == base). The rules for the rows are the front door's: every
 * row holds its diagonal exactly once and no column twice, in any order.
 * The arrays may go once the call returns. options may be null (the
 * defaults). On failure *solver is set to null. */
QVL3D_C_API qvl3d_code qvl3d_solver_create(int32_t n, const int32_t* rowptr, const int32_t* col, const double* val,
                                           int base, const qvl3d_options* options, qvl3d_solver** solver);
/* The same with 64-bit offsets, for more entries than an int32 counts. */
QVL3D_C_API qvl3d_code qvl3d_solver_create64(int32_t n, const int64_t* rowptr, const int32_t* col, const double* val,
                                             int base, const qvl3d_options* options, qvl3d_solver** solver);

/* New values for the same pattern, in the order given to create. When
 * refused, the solver keeps the values it had. */
QVL3D_C_API qvl3d_code qvl3d_solver_update(qvl3d_solver* solver, const double* val);

/* Solves A x = b from the x passed in (n values each) and fills *result. */
QVL3D_C_API qvl3d_code qvl3d_solver_solve(qvl3d_solver* solver, const double* b, double* x, qvl3d_result* result);

/* Copies the method's norm after each iteration of the last solve (as the
 * monitor saw them) into history, at most capacity of them, and sets
 * *length to how many there are. history may be null when capacity is 0. */
QVL3D_C_API qvl3d_code qvl3d_solver_history(const qvl3d_solver* solver, double* history, int capacity, int* length);

/* The matrix's row and entry counts. */
QVL3D_C_API qvl3d_code qvl3d_solver_size(const qvl3d_solver* solver, int32_t* rows, int64_t* entries);

/* Frees the solver; null is allowed. */
QVL3D_C_API void qvl3d_solver_destroy(qvl3d_solver* solver);

/* The message of the solver's last failed call ("" after one that
 * succeeded), or with null the calling thread's last message. Valid until
 * the next call on the solver, or in the thread. */
QVL3D_C_API const char* qvl3d_last_error(const qvl3d_solver* solver);

/* The same message copied into text (capacity bytes, always terminated
 * when capacity > 0, cut to fit); returns its full length. For hosts that
 * cannot keep a pointer, such as Fortran's. */
QVL3D_C_API size_t qvl3d_last_error_copy(const qvl3d_solver* solver, char* text, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif
