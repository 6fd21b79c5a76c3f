"""qvl3d.Solver against the C++ front door (bit for bit), what the module
refuses and how the front door's refusals reach Python, the memory it keeps
and the arrays it copies."""

import ctypes
import functools
import os
import signal
import threading
import time
import tracemalloc

import numpy as np
import pytest
import scipy.sparse as sp

import qvl3d
from qvl3d import _qvl3d
from conftest import MATRICES, front_door, matrix, rhs, same_bits

# The library's own table, as the module exposes it.
METHODS = tuple(_qvl3d.METHODS.split(", "))
PRECONDITIONERS = tuple(_qvl3d.PRECONDITIONERS.split(", "))
LAYOUTS = tuple(_qvl3d.LAYOUTS.split(", "))


def box(problem, nx, ny, nz):
    indptr, indices, data = _qvl3d._box(problem, nx, ny, nz)
    n = nx * ny * nz
    return sp.csr_matrix((data, indices, indptr), shape=(n, n))


def wide(A):
    """A with 64-bit indptr and indices (set after construction, which would narrow them)."""
    A = A.copy()
    A.indices = A.indices.astype(np.int64)
    A.indptr = A.indptr.astype(np.int64)
    return A


def shuffled(A, seed):
    """A with each row's entries in a random order, the diagonal wherever it lands."""
    rng = np.random.default_rng(seed)
    indices, data = A.indices.copy(), A.data.copy()
    for i in range(A.shape[0]):
        lo, hi = A.indptr[i], A.indptr[i + 1]
        p = lo + rng.permutation(hi - lo)
        indices[lo:hi], data[lo:hi] = A.indices[p], A.data[p]
    S = sp.csr_matrix((data, indices, A.indptr.copy()), shape=A.shape)
    assert not S.has_sorted_indices
    return S


# How each repository matrix is handed to Python, in turn: the front door
# must see the same entries in the same order as the C++ run below.
GIVEN_AS = {
    "csr": lambda A: A,
    "csc": lambda A: A.tocsc(),
    "coo": lambda A: A.tocoo(),
    "csr with 64-bit indices": wide,
    "csr with unsorted rows": lambda A: shuffled(A, 7),
}

CASES = [(m, p, l, "rhs") for m in METHODS for p in PRECONDITIONERS for l in LAYOUTS] + [
    ("bicgstab", "dilu", "csr", "first"),
    ("pcg", "dilu", "native", "first"),
    ("gs", "none", "ell", "first"),
]
MAXITER = 50
MATRIX_FILES = sorted(p.name for p in MATRICES.glob("*.mtx"))


@pytest.mark.parametrize("index,name", list(enumerate(MATRIX_FILES)))
def test_same_bits_as_the_cpp_front_door(tmp_path, index, name):
    given_as = list(GIVEN_AS)[index % len(GIVEN_AS)]
    A = GIVEN_AS[given_as](matrix(name))
    n = A.shape[0]
    b = rhs(n)
    x0 = 0.01 * np.sin(np.arange(n)) if index % 2 else np.zeros(n)
    inputs = lambda: [b, x0] + ([A.indptr, A.indices, A.data] if A.format == "csr" else [])  # noqa: E731
    kept = [a.copy() for a in inputs()]
    lines = [f"{m} {p} {l} 1e-8 0 {MAXITER} {r}" for m, p, l, r in CASES]
    expected = front_door(tmp_path, A.tocsr(), b, x0, lines)

    for (method, precond, layout, reference), want in zip(CASES, expected):
        case = f"{name} given as {given_as}: {method}, {precond}, {layout}, reference {reference}"
        options = dict(method=method, preconditioner=precond, layout=layout, maxiter=MAXITER, reference=reference)
        if want[0] == "refused":
            with pytest.raises(ValueError) as refusal:
                qvl3d.Solver(A, **options)
            assert str(refusal.value) == want[1], case
            continue
        x, info = qvl3d.Solver(A, **options).solve(b, x0 if index % 2 else None)
        status, iterations, residuals, converged, history, x_cpp = want
        assert (info.status, info.iterations, info.converged) == (status, iterations, converged), case
        got = [info.initial_residual, info.final_residual, info.relative_residual]
        assert same_bits(got, residuals), case
        assert same_bits(info.history, history), case
        assert same_bits(x, x_cpp), case
        assert isinstance(info.history, np.ndarray) and info.history.dtype == np.float64, case
        assert info.seconds >= 0.0, case

    assert all(np.array_equal(a, k) for a, k in zip(inputs(), kept)), "an input array was changed"


SMALL = sp.csr_matrix(np.array([[4.0, -1.0, 0.0], [-1.0, 4.0, -1.0], [0.0, -1.0, 4.0]]))


def huge_index():
    A = wide(SMALL)
    A.indices[4] = 2**33
    return A


# The module's own checks, and the front door's refusals from the constructor
# and from solve() as ValueError with the front door's message (which refusals
# there are is the C++ front-door tests' business). name, call, exception,
# message (a regular expression)
REFUSALS = [
    ("not square", lambda: qvl3d.Solver(sp.csr_matrix((3, 4))), ValueError, r"^qvl3d: A is 3 x 4; a square matrix"),
    ("not sparse", lambda: qvl3d.Solver(np.eye(3)), TypeError, r"scipy\.sparse matrix or array, not ndarray"),
    ("no diagonal", lambda: qvl3d.Solver(sp.csr_matrix(([2.0, 1, 1], [0, 1, 0], [0, 2, 3]), shape=(2, 2))), ValueError,
     r"^qvl3d::CSolver: row 1 \(entries 2\.\.2\) has no diagonal entry$"),
    ("an index beyond int32", lambda: qvl3d.Solver(huge_index()), ValueError,
     r"^qvl3d: row 1, entry 4: column 8589934592 is outside 0\.\.2$"),
    ("NaN in b", lambda: qvl3d.solve(SMALL, np.array([1.0, np.nan, 1.0])), ValueError,
     r"^qvl3d::CSolver::Solve: b\[1\] is nan, not a finite number$"),
    ("b too short", lambda: qvl3d.solve(SMALL, np.ones(2)), ValueError,
     r"^qvl3d: b has shape \(2,\); a vector of 3 elements is needed$"),
    ("b a column", lambda: qvl3d.solve(SMALL, np.ones((3, 1))), ValueError, r"^qvl3d: b has shape \(3, 1\)"),
    ("complex b", lambda: qvl3d.solve(SMALL, np.ones(3) * 1j), ValueError,
     r"^qvl3d: b has dtype complex128, which does not convert to float64 without loss$"),
    ("method cg", lambda: qvl3d.Solver(SMALL, method="cg"), ValueError,
     r"^qvl3d: method 'cg' is not one of " + ", ".join(METHODS) + "$"),
    ("update of the wrong length", lambda: qvl3d.Solver(SMALL).update(np.ones(6)), ValueError,
     r"^qvl3d: values has shape \(6,\); a vector of 7 elements is needed$"),
    # Once accepted and rounded, or a binding's TypeError that printed the arrays.
    ("an int64 b float64 cannot hold", lambda: qvl3d.solve(SMALL, np.array([2**53 + 1, 1, 1], dtype=np.int64)),
     ValueError, r"^qvl3d: b\[0\] is 9007199254740993, which float64 cannot hold exactly$"),
    ("a uint64 b float64 cannot hold", lambda: qvl3d.solve(SMALL, np.array([1, 2**64 - 1, 1], dtype=np.uint64)),
     ValueError, r"^qvl3d: b\[1\] is 18446744073709551615, which float64 cannot hold exactly$"),
    ("maxiter past int", lambda: qvl3d.Solver(SMALL, maxiter=2**31), ValueError,
     r"^qvl3d: maxiter is 2147483648; it must lie in 1\.\.2147483647$"),
    ("maxiter a fraction", lambda: qvl3d.Solver(SMALL, maxiter=2.7), TypeError,
     r"^qvl3d: maxiter must be a whole number, not 2\.7$"),
    ("rtol a string", lambda: qvl3d.Solver(SMALL, rtol="1e-8"), TypeError, r"^qvl3d: rtol must be a real number"),
]


@pytest.mark.parametrize("name,call,exception,message", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusals(name, call, exception, message):
    with pytest.raises(exception, match=message):
        call()


def test_integers_float64_holds_are_accepted():
    x, info = qvl3d.solve(SMALL, np.array([2**60, 3, -(2**53)], dtype=np.int64))
    assert info.converged


def test_ctrl_c_interrupts_a_solve_within_an_iteration():
    """SIGINT during a long solve raises KeyboardInterrupt at once, not after
    the solve (which once ran to its end and threw its result away)."""
    A = box("poisson", 48, 48, 48)
    solver = qvl3d.Solver(A, method="gs", maxiter=100000, rtol=1e-30)
    timer = threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        solver.solve(rhs(A.shape[0]))
    timer.join()
    assert time.monotonic() - start < 3.0, "the solve ran on after the signal"


def test_update_replaces_the_values_or_keeps_them_when_refused():
    s = qvl3d.Solver(SMALL)
    x = s.solve(np.ones(3))[0]
    with pytest.raises(ValueError, match=r"^qvl3d::CSolver::Update: row 0, entry 1: value nan is not finite$"):
        s.update(np.where(np.arange(SMALL.nnz) == 1, np.nan, SMALL.data))
    assert same_bits(s.solve(np.ones(3))[0], x), "a refused update changed the matrix"
    s.update(SMALL.data * 2.0)  # 2A x = 2b: the same x, bit for bit, only if the values arrived
    assert same_bits(s.solve(2.0 * np.ones(3))[0], x)
    assert not same_bits(s.solve(np.ones(3))[0], x)


def test_no_memory_growth_over_1000_solves():
    A = box("convdiff", 8, 8, 8)
    b = rhs(A.shape[0])
    solver = qvl3d.Solver(A)
    libc = ctypes.CDLL(None)
    heap = getattr(libc, "mallinfo2", None)
    if heap is not None:
        names = "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
        heap.restype = type("MallInfo2", (ctypes.Structure,), {"_fields_": [(f, ctypes.c_size_t) for f in names]})

    def in_use():
        return heap().uordblks + heap().hblkhd if heap is not None else 0

    for _ in range(50):
        solver.solve(b)
    tracemalloc.start()
    try:
        tool, python, c_heap = _qvl3d._total_mem(), tracemalloc.get_traced_memory()[0], in_use()
        for _ in range(1000):
            x, info = solver.solve(b)
            assert info.converged
        assert _qvl3d._total_mem() == tool, "solves requested memory from the memory tool"
        assert tracemalloc.get_traced_memory()[0] - python < 16 * 1024
        assert in_use() - c_heap < 64 * 1024
        # Solvers made and dropped give back what they took from the heap.
        for _ in range(100):
            qvl3d.Solver(A).solve(b)
        c_heap = in_use()
        for _ in range(200):
            qvl3d.Solver(A).solve(b)
        assert in_use() - c_heap < 64 * 1024
    finally:
        tracemalloc.stop()


@functools.cache
def copies_box():
    A = box("poisson", 30, 30, 30)
    return A, qvl3d.Solver(A, maxiter=2), rhs(A.shape[0])


def solve_with(make_b, make_x0=None):
    def prepare(A, s, b0):
        b, x0 = make_b(b0), make_x0(b0) if make_x0 else None
        return lambda: s.solve(b, x0=x0)

    return prepare


SLACK = 64 * 1024
# name, the call to measure (made from the box, its solver and b, outside
# the measure), the bytes it may allocate beyond SLACK
COPIES = [
    ("Solver from CSR with int32 indices and float64 data",
     lambda A, s, b: (lambda: qvl3d.Solver(A, maxiter=2)), lambda A: 0),
    ("Solver from CSR with 64-bit indices: one int32 copy of them",
     lambda A, s, b: (lambda B: lambda: qvl3d.Solver(B, maxiter=2))(wide(A)), lambda A: 4 * A.nnz),
    ("Solver from float32 data: one float64 copy",
     lambda A, s, b: (lambda B: lambda: qvl3d.Solver(B, maxiter=2))(A.astype(np.float32)), lambda A: 8 * A.nnz),
    ("solve: b used in place, x the one new array", solve_with(lambda b: b), lambda A: 8 * A.shape[0]),
    ("solve from x0: x its one copy", solve_with(lambda b: b, lambda b: b), lambda A: 8 * A.shape[0]),
    ("solve with a strided b: one copy of it", solve_with(lambda b: np.repeat(b, 2)[::2]), lambda A: 16 * A.shape[0]),
    ("update: the values used in place", lambda A, s, b: (lambda: s.update(A.data)), lambda A: 0),
]


@pytest.mark.parametrize("name,prepare,allowed", COPIES, ids=[c[0] for c in COPIES])
def test_arrays_are_viewed_not_copied(name, prepare, allowed):
    A, solver, b = copies_box()
    call = prepare(A, solver, b)
    tracemalloc.start()
    try:
        probe = np.empty(1 << 20)
        if tracemalloc.get_traced_memory()[0] < probe.nbytes:
            pytest.skip("NumPy does not report its arrays to tracemalloc")
        del probe
        tracemalloc.reset_peak()
        before = tracemalloc.get_traced_memory()[0]
        result = call()
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    del result
    assert peak <= allowed(A) + SLACK


def test_amg_reports_its_levels_and_update_keeps_them():
    A = box("poisson", 12, 12, 12)
    b = A @ np.ones(A.shape[0])
    for options in ({"method": "pcg", "preconditioner": "amg"}, {"method": "amg"}):
        solver = qvl3d.Solver(A, **options)
        x, info = solver.solve(b)
        assert info.converged and info.relative_residual <= 1e-8, options
        m = info.multigrid
        assert m["rows"][0] == A.shape[0] and len(m["rows"]) == len(m["nonzeros"]) >= 2, m
        assert m["nonzeros"][0] == A.nnz and 1.0 < m["operator_complexity"] <= 1.4, m
        assert not m["setup_from_update"]
        solver.update(2.0 * A.data)
        x2, info2 = solver.solve(b)
        assert info2.multigrid["setup_from_update"] and info2.iterations == info.iterations
        assert np.array_equal(x2, 0.5 * x)  # a power of two scales every step exactly
    _, plain = qvl3d.solve(A, b, method="pcg")
    assert plain.multigrid is None
