"""QVL3DTool's solvers for SciPy sparse matrices.

    import qvl3d
    solver = qvl3d.Solver(A, method="bicgstab", preconditioner="dilu")
    x, info = solver.solve(b)
    print(info.status, info.iterations, info.relative_residual)

The module runs the library's front door (qvl3d::CSolver): the same methods,
preconditioners and layouts, and for the same arrays and options the same
bits of x, the same status, iterations and residual history as a C++ host
calling it.

Options, as the front door and the command qvl3d-solve name them:
    method          "bicgstab" (default), "pcg" (conjugate gradient, for a
                    symmetric pattern), "gs" (Gauss-Seidel), "gmres"
                    (restarted GMRES), "fgmres" (flexible GMRES), "amg"
                    (V-cycles of the aggregation multigrid)
    preconditioner  "dilu" (the Krylov methods' default), "diagonal",
                    "none", "ilu0" (incomplete LU on the matrix's own
                    pattern), "amg" (one multigrid V-cycle); Gauss-Seidel
                    and amg take none (None or "none"; another is refused)
    layout          "csr" (default), "native", "ell"
    rtol, atol      stop once the method's residual norm is at most
                    max(rtol * ||b||, atol) (defaults 1e-8 and 0)
    maxiter         iteration limit (default 10000)
    reference       "rhs" (default): the rule above; "first": the
                    residual against the method's own after its first
                    iteration, as the entry points run it (qvl3d-solve
                    --entry-point; atol is not used)
    divtol          stop as "diverged" once the method's residual norm
                    exceeds divtol times the initial residual (default
                    1e5; float("inf") never)
    restart         gmres and fgmres: iterations between restarts, the
                    basis vectors kept (default 30, at least 1)

info.status is one of the front door's words: "converged",
"iteration_limit", "zero_initial_residual", "breakdown_rho",
"breakdown_beta", "breakdown_sigma", "breakdown_alpha", "breakdown_tt",
"breakdown_omega", "non_finite", "zero_rhs", "diverged", "indefinite"
(in the conjugate gradient p . A p or r . z was 0 or changed sign: the
matrix or the preconditioner is not definite), "inaccurate" (the method's
residual met the bound, the true one did not, also after restarts),
"stagnated" (a whole GMRES cycle left the residual no smaller),
"breakdown_krylov" (GMRES: A M^-1 singular on the Krylov space).
info.converged holds exactly when the true residual ||b - A x|| meets the
bound. Systems far from 1 in scale are solved scaled by powers of two, so
neither tiny nor huge values decide the answer.

Anything the front door refuses (a row without its diagonal, a value that
is not finite, an option out of range, a value float64 cannot hold
exactly) raises ValueError with its message; an option of the wrong kind
raises TypeError. Ctrl-C during a solve raises KeyboardInterrupt after the
iteration running then.

qvl3d.Solver solves a whole matrix in one process. Across the ranks of an
mpi4py communicator, qvl3d.DistributedSolver(comm, rows, ownership,
**options) takes each rank's own rows (global column ids) and solves the
system they make with the same options, status words and bits as the C++
distributed front door; qvl3d.partition(A, parts) splits a matrix's rows
for it (help(qvl3d.distributed)). A build without MPI has no distributed
solver: qvl3d.WITH_MPI is then False and DistributedSolver raises
RuntimeError.

Arrays are used in place where they already have the layout the front door
reads: a CSR matrix with int32 or int64 indptr, int32 indices and float64
data, and C-contiguous float64 b. Anything else (another sparse format,
other dtypes, strided arrays) is converted once. The solver keeps its own
copy of the matrix, so A may change or go once Solver() returns.

python3 -m qvl3d FILE.mtx [options] runs the command qvl3d-solve on the
Matrix Market file (python3 -m qvl3d --help lists the options).
"""

import numpy as np

from . import _qvl3d

__all__ = ["Solver", "SolveInfo", "solve", "DistributedSolver", "partition", "WITH_MPI", "GRAPH_PARTITIONER"]

_INT32 = np.iinfo(np.int32)


class SolveInfo:
    """How a solve ended.

    status            the front door's word ("converged", "iteration_limit", ...)
    converged         x solves the system to the tolerance (also for b = 0 or an
                      initial guess that already does)
    iterations        iterations completed
    initial_residual  ||b - A x0||
    final_residual    ||b - A x||
    relative_residual final_residual / ||b|| (0 when b = 0)
    history           the method's residual norm after each iteration (NumPy array)
    seconds           wall time of the solve
    multigrid         where amg ran, its levels as a dict (aggregation, rows,
                      nonzeros, operator_complexity, grid_complexity,
                      setup_seconds, setup_from_update); otherwise None
    """

    __slots__ = (
        "status",
        "iterations",
        "initial_residual",
        "final_residual",
        "relative_residual",
        "history",
        "seconds",
        "converged",
        "multigrid",
    )

    def __init__(self, status, iterations, initial, final, relative, history, seconds, converged, multigrid=None):
        self.status = status
        self.iterations = iterations
        self.initial_residual = initial
        self.final_residual = final
        self.relative_residual = relative
        self.history = history
        self.seconds = seconds
        self.converged = converged
        self.multigrid = multigrid

    def __repr__(self):
        return (
            f"SolveInfo(status={self.status!r}, iterations={self.iterations}, "
            f"relative_residual={self.relative_residual:.3e}, seconds={self.seconds:.3g})"
        )


def _floats(a, what, length):
    """a as a 1-D float64 array the front door can read in place: a itself
    when it already is one, else one converted copy. Integers that float64
    cannot hold exactly (beyond 2**53 and not a multiple of a power of two
    there) are refused, as any lossy conversion is."""
    arr = np.asarray(a)
    if not np.can_cast(arr.dtype, np.float64, "safe"):
        raise ValueError(f"qvl3d: {what} has dtype {arr.dtype}, which does not convert to float64 without loss")
    if arr.dtype.kind in "iu":
        large = np.flatnonzero((arr > 2**53) | (arr < -(2**53)))
        for k in large:
            v = int(arr.flat[k])
            if int(float(v)) != v:
                raise ValueError(f"qvl3d: {what}[{k}] is {v}, which float64 cannot hold exactly")
    if arr.ndim != 1 or arr.shape[0] != length:
        raise ValueError(f"qvl3d: {what} has shape {arr.shape}; a vector of {length} elements is needed")
    return np.require(arr, dtype=np.float64, requirements=["C", "A"])


def _indices(a, indptr):
    """The column indices as int32, converted once when they are not."""
    if a.dtype == np.int32:
        return np.require(a, requirements=["C", "A"])
    if a.dtype.kind not in "iu":
        raise ValueError(f"qvl3d: the column indices have dtype {a.dtype}, not an integer type")
    nnz = int(indptr[-1]) if len(indptr) else 0
    used = a[:nnz]
    if nnz and (used.min() < _INT32.min or used.max() > _INT32.max):
        e = int(np.flatnonzero((used < _INT32.min) | (used > _INT32.max))[0])
        row = int(np.searchsorted(indptr, e, side="right")) - 1
        raise ValueError(f"qvl3d: row {row}, entry {e}: column {int(used[e])} is outside 0..{len(indptr) - 2}")
    return np.require(a, dtype=np.int32, requirements=["C", "A"])


def _offsets(a):
    if a.dtype in (np.int32, np.int64):
        return np.require(a, requirements=["C", "A"])
    if a.dtype.kind not in "iu":
        raise ValueError(f"qvl3d: the row offsets have dtype {a.dtype}, not an integer type")
    return np.require(a, dtype=np.int64, requirements=["C", "A"])


def _check_options(method, preconditioner, layout, rtol, atol, maxiter, reference, divtol, restart):
    """Each option of the right kind, in words of the module's own, before
    anything reaches the compiled part (which checks the words and values)."""
    import numbers

    for name, value in (("method", method), ("layout", layout), ("reference", reference)):
        if not isinstance(value, str):
            raise TypeError(f"qvl3d: {name} must be a string, not {type(value).__name__}")
    if preconditioner is not None and not isinstance(preconditioner, str):
        raise TypeError(f"qvl3d: preconditioner must be a string or None, not {type(preconditioner).__name__}")
    for name, value in (("rtol", rtol), ("atol", atol), ("divtol", divtol)):
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError(f"qvl3d: {name} must be a real number, not {type(value).__name__}")
    if isinstance(maxiter, bool) or not isinstance(maxiter, numbers.Integral):
        raise TypeError(f"qvl3d: maxiter must be a whole number, not {maxiter!r}")
    if not 1 <= maxiter <= 2**31 - 1:
        raise ValueError(f"qvl3d: maxiter is {maxiter}; it must lie in 1..{2**31 - 1}")
    if isinstance(restart, bool) or not isinstance(restart, numbers.Integral):
        raise TypeError(f"qvl3d: restart must be a whole number, not {restart!r}")
    if not 1 <= restart <= 2**31 - 1:
        raise ValueError(f"qvl3d: restart is {restart}; it must lie in 1..{2**31 - 1}")


_DEFAULTS = {
    "method": "bicgstab",
    "preconditioner": None,
    "layout": "csr",
    "rtol": 1e-8,
    "atol": 0.0,
    "maxiter": 10000,
    "reference": "rhs",
    "divtol": 1e5,
    "restart": 30,
}


def _options(**options):
    """The options for the compiled solvers: every one present, defaults
    filled in, each of its kind."""
    unknown = sorted(set(options) - set(_DEFAULTS))
    if unknown:
        raise TypeError(f"qvl3d: unknown option {unknown[0]!r} (the options are {', '.join(_DEFAULTS)})")
    full = {name: options.get(name, default) for name, default in _DEFAULTS.items()}
    _check_options(**full)
    return full


class Solver:
    """A solver for one sparse matrix and many right-hand sides.

    Solver(A, method="bicgstab", preconditioner=None, layout="csr",
           rtol=1e-8, atol=0.0, maxiter=10000, reference="rhs", divtol=1e5,
           restart=30)

    A is any square scipy.sparse matrix or array; it is converted to CSR
    once (not at all when it is CSR with the dtypes the front door reads),
    its entries taken in the order they are stored, duplicates refused.
    Every row needs its diagonal entry, non-zero. The options are described
    in the module's documentation (help(qvl3d)).
    """

    def __init__(self, A, **options):
        import scipy.sparse

        options = _options(**options)
        if not scipy.sparse.issparse(A):
            raise TypeError(f"qvl3d: A must be a scipy.sparse matrix or array, not {type(A).__name__}")
        if A.ndim != 2 or A.shape[0] != A.shape[1]:
            raise ValueError(f"qvl3d: A is {A.shape[0]} x {A.shape[1]}; a square matrix is needed")
        if A.format != "csr":
            A = A.tocsr()
        n = A.shape[0]
        indptr = _offsets(A.indptr)
        indices = _indices(A.indices, indptr)
        data = _floats(A.data, "A", A.data.shape[0])
        self._solver = _qvl3d._Solver(n, indptr, indices, data, options)
        self.shape = (n, n)

    @property
    def nnz(self):
        """Entries of the matrix, as many as update() takes."""
        return self._solver.nnz

    @property
    def options(self):
        """The options in force, as a dict."""
        return self._solver.options

    def solve(self, b, x0=None):
        """Solves A x = b from x0 (default 0) and returns (x, info).

        b and x0 are left as they are; x is a new float64 array.
        """
        n = self.shape[0]
        b = _floats(b, "b", n)
        if x0 is None:
            x = np.zeros(n)
        else:
            x = np.array(_floats(x0, "x0", n), dtype=np.float64, order="C", copy=True)
        result = self._solver.solve(b, x)
        return x, SolveInfo(*result)

    def update(self, values):
        """New values for the same pattern: as many as the matrix has
        entries, in the order of its CSR data (A.tocsr().data). Checked as
        the constructor checks them; when refused the solver keeps the
        values it had."""
        self._solver.update(_floats(values, "values", self.nnz))

    def __repr__(self):
        o = self.options
        return (
            f"qvl3d.Solver({self.shape[0]} x {self.shape[1]}, {self.nnz} entries, method={o['method']!r}, "
            f"preconditioner={o['preconditioner']!r}, layout={o['layout']!r})"
        )


def solve(A, b, x0=None, **options):
    """Solves A x = b once and returns (x, info); options as for Solver."""
    return Solver(A, **options).solve(b, x0)


WITH_MPI = getattr(_qvl3d, "WITH_MPI", False)
GRAPH_PARTITIONER = _qvl3d.GRAPH_PARTITIONER

from .distributed import DistributedSolver, partition  # noqa: E402  (it uses the helpers above)
