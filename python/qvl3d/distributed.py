"""The distributed solver over an mpi4py communicator, and the partitioner.

    from mpi4py import MPI
    import qvl3d
    solver = qvl3d.DistributedSolver(MPI.COMM_WORLD, rows, first)  # rows: this rank's CSR block
    x, info = solver.solve(b)                                      # b, x: this rank's rows only

Each rank hands in its own rows as a scipy.sparse matrix whose column
numbers are the global ids of the whole system (0-based; any integer
dtype, taken as int64), and its ownership: an int, the global id of its
first row (its rows are first, first+1, ...; the ranks' ranges do not
overlap), or an array of the global ids of its rows in order (no id on
two ranks). Every rank gives the same kind. No rank ever holds the whole
matrix or any whole vector.

Every call is collective over the communicator: construction, solve and
update. Bad input on any rank (the solver's refusals and the module's own
checks of shapes, dtypes and options) raises on every rank, with the same
message: that of the lowest refusing rank, beginning "rank R: " and naming
the row on that rank and its global id. Options and status words are those
of qvl3d.Solver; info is the whole system's and the same on every rank.
"""

import numbers

import numpy as np

from . import _qvl3d

__all__ = ["DistributedSolver", "partition"]


def _handle(comm):
    """The communicator's Fortran handle, which the compiled part converts."""
    py2f = getattr(comm, "py2f", None)
    if py2f is None:
        raise TypeError(f"qvl3d: comm must be an mpi4py communicator, not {type(comm).__name__}")
    return int(py2f())


def _agreed(handle, check):
    """Runs this rank's own checks, then agrees with the other ranks
    (collective): when any rank refused, every rank raises the lowest
    refusing rank's error, of its type, naming that rank."""
    fault, result = "", None
    try:
        result = check()
    except (TypeError, ValueError) as e:
        fault = f"{type(e).__name__}:{e}"
    rank, text = _qvl3d._first_message(handle, fault)
    if rank >= 0:
        kind, _, message = text.partition(":")
        raise (TypeError if kind == "TypeError" else ValueError)(f"rank {rank}: {message}")
    return result


def _global_rows(rows):
    """This rank's rows as exact int64 offsets, int64 global columns and float64 values."""
    import scipy.sparse

    from . import _floats

    if not scipy.sparse.issparse(rows):
        raise TypeError(f"qvl3d: rows must be a scipy.sparse matrix or array, not {type(rows).__name__}")
    if rows.ndim != 2:
        raise ValueError("qvl3d: rows must be two-dimensional")
    if rows.format != "csr":
        rows = rows.tocsr()
    for what, a in (("row offsets", rows.indptr), ("column indices", rows.indices)):
        if a.dtype.kind not in "iu":
            raise ValueError(f"qvl3d: the {what} have dtype {a.dtype}, not an integer type")
    indptr = np.require(rows.indptr, dtype=np.int64, requirements=["C", "A"])
    nnz = int(indptr[-1])
    indices = np.require(rows.indices[:nnz], dtype=np.int64, requirements=["C", "A"])
    data = _floats(rows.data[:nnz], "rows", nnz)
    return rows.shape[0], indptr, indices, data


def _ownership(ownership, n):
    """(ids, first): an array of n global ids and 0, or None and the first id."""
    if isinstance(ownership, numbers.Integral) and not isinstance(ownership, bool):
        return None, int(ownership)
    ids = np.asarray(ownership)
    if ids.dtype.kind not in "iu" or ids.ndim != 1:
        raise TypeError("qvl3d: ownership must be an int (the first row's global id) or a 1-D integer array of ids")
    if ids.shape[0] != n:
        raise ValueError(f"qvl3d: ownership lists {ids.shape[0]} ids for {n} rows")
    return np.require(ids, dtype=np.int64, requirements=["C", "A"]), 0


class DistributedSolver:
    """This rank's part of a solver of one distributed sparse system.

    DistributedSolver(comm, rows, ownership, method="bicgstab",
                      preconditioner=None, layout="csr", rtol=1e-8,
                      atol=0.0, maxiter=10000, reference="rhs", divtol=1e5,
                      restart=30)

    comm is an mpi4py communicator (its ranks all construct together),
    rows this rank's rows (scipy.sparse, global column ids), ownership an
    int or an array of global ids (see help(qvl3d.distributed)). Raises
    RuntimeError in a build of the library without MPI.
    """

    def __init__(self, comm, rows, ownership, **options):
        if not getattr(_qvl3d, "WITH_MPI", False):
            raise RuntimeError(
                "qvl3d: this build of QVL3DTool has no MPI (configured with QVL3D_WITH_MPI=OFF); "
                "qvl3d.DistributedSolver needs one built with it"
            )
        from . import _options

        handle = _handle(comm)

        def check():
            opts = _options(**options)
            n, indptr, indices, data = _global_rows(rows)
            ids, first = _ownership(ownership, n)
            return opts, n, indptr, indices, data, ids, first

        opts, n, indptr, indices, data, ids, first = _agreed(handle, check)
        self._handle = handle
        self._solver = _qvl3d._DistributedSolver(handle, n, indptr, indices, data, ids, first, opts)
        self.comm = comm

    @property
    def rows(self):
        """This rank's rows."""
        return self._solver.rows

    @property
    def nnz(self):
        """This rank's entries, as many as update() takes."""
        return self._solver.nnz

    @property
    def halo(self):
        """Cells of other ranks that this rank's rows name."""
        return self._solver.halo

    @property
    def options(self):
        """The options in force, as a dict."""
        return self._solver.options

    def solve(self, b, x0=None):
        """Solves A x = b from x0 (default 0); b, x0 and the returned x hold
        this rank's rows, in its order. Returns (x, info), info the whole
        system's (qvl3d.SolveInfo), the same on every rank."""
        from . import SolveInfo, _floats

        n = self.rows

        def check():
            bb = _floats(b, "b", n)
            if x0 is None:
                return bb, np.zeros(n)
            return bb, np.array(_floats(x0, "x0", n), dtype=np.float64, order="C", copy=True)

        bb, x = _agreed(self._handle, check)
        return x, SolveInfo(*self._solver.solve(bb, x))

    def update(self, values):
        """New values for the same pattern: as many as this rank's rows have
        entries, in the order of their CSR data."""
        from . import _floats

        self._solver.update(_agreed(self._handle, lambda: _floats(values, "values", self.nnz)))

    def __repr__(self):
        o = self.options
        return (
            f"qvl3d.DistributedSolver({self.rows} rows here, {self.nnz} entries, {self.halo} halo cells, "
            f"method={o['method']!r}, preconditioner={o['preconditioner']!r})"
        )


def partition(A, parts):
    """part[k] in 0..parts-1 for each row k of the square scipy.sparse
    matrix A (a NumPy int32 array): balanced parts that cut few edges of
    A's symmetrised pattern, the same on every call and machine for the
    same A; qvl3d.GRAPH_PARTITIONER names the method ("metis", or "row
    blocks" in a build without it). Serial: call it on one rank and
    scatter the answer, or on every rank."""
    import scipy.sparse

    from . import _indices

    if not scipy.sparse.issparse(A):
        raise TypeError(f"qvl3d: A must be a scipy.sparse matrix or array, not {type(A).__name__}")
    if A.ndim != 2 or A.shape[0] != A.shape[1]:
        raise ValueError(f"qvl3d: A is {A.shape[0]} x {A.shape[1]}; a square matrix is needed")
    if isinstance(parts, bool) or not isinstance(parts, numbers.Integral):
        raise TypeError(f"qvl3d: parts must be a whole number, not {parts!r}")
    if not 1 <= parts <= 2**31 - 1:
        raise ValueError(f"qvl3d: parts is {parts}; it must lie in 1..{2**31 - 1}")
    if A.format != "csr":
        A = A.tocsr()
    indptr = np.require(A.indptr, dtype=np.int64, requirements=["C", "A"])
    return _qvl3d._partition(A.shape[0], indptr, _indices(A.indices, indptr), int(parts))
