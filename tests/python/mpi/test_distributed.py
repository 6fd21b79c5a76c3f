"""qvl3d.DistributedSolver under mpiexec (RunDistributed.cmake, 1 to 4 ranks):
every test runs on every rank, in the same order, and its calls are
collective."""

import os
import pathlib

import numpy as np
import pytest
import scipy.sparse as sp
from mpi4py import MPI

import qvl3d

COMM = MPI.COMM_WORLD
RANK, P = COMM.Get_rank(), COMM.Get_size()


def box(nx=9, ny=8, nz=7, problem="convdiff"):
    """The host's box as a SciPy CSR matrix (the whole of it, small)."""
    indptr, indices, data = qvl3d._qvl3d._box(problem, nx, ny, nz)
    n = len(indptr) - 1
    return sp.csr_matrix((data, indices, indptr), shape=(n, n))


def rhs_of(ids):
    return 1.0 + 0.125 * (ids % 5) - 0.0625 * (ids % 3)


def rows_of(A, ids):
    """This rank's rows ids of A, global columns in int64, entries in A's order."""
    block = A[ids, :].tocsr()
    block.indices = block.indices.astype(np.int64)
    return block


def my_block(n):
    base, extra = divmod(n, P)
    first = RANK * base + min(RANK, extra)
    return first, np.arange(first, first + base + (RANK < extra), dtype=np.int64)


def same_on_all_ranks(value):
    return all(v == value for v in COMM.allgather(value))


def test_bits_match_the_cpp_front_door():
    """Rows split by qvl3d.partition (list ownership) and in blocks (range):
    the arrays go to DIR/rank<R> and the C++ front door solves them after
    this run (RunDistributed.cmake compares the bytes)."""
    work = os.environ.get("QVL3D_DISTRIBUTED_WORK")
    if not work:
        pytest.skip("QVL3D_DISTRIBUTED_WORK is not set (run through ctest)")
    A = box()
    part = qvl3d.partition(A, P)
    assert part.min() >= 0 and part.max() < P and np.bincount(part, minlength=P).min() > 0
    assert np.array_equal(part, qvl3d.partition(A, P))
    cases = [("bicgstab", "dilu", "csr"), ("bicgstab", "diagonal", "ell"), ("gs", "none", "native")]
    for kind, ids in (("list", np.flatnonzero(part == RANK).astype(np.int64)), ("range", my_block(A.shape[0])[1])):
        d = pathlib.Path(work) / kind / f"rank{RANK}"
        d.mkdir(parents=True, exist_ok=True)
        rows, b = rows_of(A, ids), rhs_of(ids)
        for name, a in (("indptr", rows.indptr.astype(np.int64)), ("indices", rows.indices), ("data", rows.data)):
            a.tofile(d / name)
        b.tofile(d / "b")
        (ids if kind == "list" else np.array([], dtype=np.int64)).tofile(d / "ids")
        (np.array([], dtype=np.int64) if kind == "list" else ids[:1]).tofile(d / "first")
        (d / "cases.txt").write_text("".join(" ".join(c) + "\n" for c in cases))
        for k, (method, preconditioner, layout) in enumerate(cases):
            solver = qvl3d.DistributedSolver(
                COMM, rows, ids if kind == "list" else int(ids[0]), method=method,
                preconditioner=preconditioner, layout=layout, rtol=1e-10)
            x, info = solver.solve(b)
            assert info.converged, info
            assert same_on_all_ranks((info.iterations, info.final_residual, info.history.tobytes()))
            np.concatenate([x, info.history, [info.iterations, info.initial_residual, info.final_residual]]).tofile(
                d / f"py{k}.bin")


def test_update_and_initial_guess_match_a_new_solver():
    """update() takes the rank's values in its CSR order: the same bits as a
    solver built on them; x0 and b are left alone."""
    A = box(problem="poisson")
    first, ids = my_block(A.shape[0])
    rows = rows_of(A, ids)
    solver = qvl3d.DistributedSolver(COMM, rows, first, method="pcg", preconditioner="diagonal")
    # Every other diagonal grows by a quarter: still symmetric and definite.
    diagonal = rows.indices == np.repeat(ids, np.diff(rows.indptr))
    scaled = rows.copy()
    even_row = (ids % 2 == 0)[np.repeat(np.arange(len(ids)), np.diff(rows.indptr))]
    scaled.data = rows.data * (1.0 + 0.25 * (even_row & diagonal))
    solver.update(scaled.data)
    b, x0 = rhs_of(ids), np.full(len(ids), 0.5)
    x0_before = x0.copy()
    x, info = solver.solve(b, x0)
    fresh_solver = qvl3d.DistributedSolver(COMM, scaled, first, method="pcg", preconditioner="diagonal")
    fresh, fresh_info = fresh_solver.solve(b, x0)
    assert np.array_equal(x0, x0_before)
    assert info.converged and np.array_equal(x.view(np.uint64), fresh.view(np.uint64))
    assert np.array_equal(info.history, fresh_info.history)
    assert solver.options["method"] == "pcg" and solver.rows == len(ids)


def refusal(run):
    """The message every rank raised (ValueError or TypeError), checked to be one text on all ranks."""
    try:
        run()
    except (ValueError, TypeError) as e:
        text = f"{type(e).__name__}: {e}"
    else:
        text = "accepted"
    assert same_on_all_ranks(text), text
    return text


def test_a_fault_on_the_last_rank_is_refused_on_every_rank_in_its_words():
    A = box()
    first, ids = my_block(A.shape[0])
    last = P - 1
    rows = rows_of(A, ids)
    mine = RANK == last

    def spoiled(k):
        bad = rows.copy()
        if mine:
            bad.data[bad.indptr[1] + k] = np.nan
        return bad

    text = refusal(lambda: qvl3d.DistributedSolver(COMM, spoiled(0), first))
    gid = COMM.bcast(int(ids[1]) if mine else None, root=last)
    entry = COMM.bcast(int(rows.indptr[1]) if mine else None, root=last)
    assert text == (f"ValueError: rank {last}: qvl3d::CSolver: row 1 (global id {gid}), entry {entry}: "
                    "value nan is not finite")

    solver = qvl3d.DistributedSolver(COMM, rows, first)
    b = rhs_of(ids)
    assert f"rank {last}: qvl3d: b has shape" in refusal(lambda: solver.solve(b[:-1] if mine else b))
    bad_b = b.copy()
    if mine:
        bad_b[1] = np.inf
    assert f"rank {last}: qvl3d::CSolver::Solve: b[1] (global id {gid}) is inf" in refusal(lambda: solver.solve(bad_b))
    short = rows.data[:-1] if mine else rows.data
    assert f"rank {last}: qvl3d: values has shape" in refusal(lambda: solver.update(short))
    assert "accepted" == refusal(lambda: solver.solve(b))

    # The module's own checks, before anything else is collective. (Which
    # faults the distributed front door refuses, options that differ between
    # ranks, overlapping rows, columns nobody owns, is its C++ tests'.)
    text = refusal(lambda: qvl3d.DistributedSolver(COMM, rows, first, **({"tol": 1e-3} if mine else {})))
    assert text.startswith(f"TypeError: rank {last}: qvl3d: unknown option 'tol'")
    text = refusal(lambda: qvl3d.DistributedSolver(COMM, rows, ids[:-1] if mine else ids))
    assert f"rank {last}: qvl3d: ownership lists {len(ids) - 1} ids for {len(ids)} rows" in text

