"""Paths the tests run against, from ctest's environment (tests/python/CMakeLists.txt)."""

import os
import pathlib
import subprocess

import numpy as np
import pytest
import scipy.io

MATRICES = pathlib.Path(os.environ.get("QVL3D_MATRICES", pathlib.Path(__file__).parents[2] / "data" / "matrices"))
SOURCE_DIR = pathlib.Path(os.environ.get("QVL3D_SOURCE_DIR", pathlib.Path(__file__).parents[2]))


def program(variable):
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} is not set (run the tests through ctest)")
    return path


def matrix(name):
    """A repository matrix as SciPy reads it, in CSR."""
    return scipy.io.mmread(str(MATRICES / name)).tocsr()


def rhs(n):
    """A right-hand side with no special structure, the same as the C++ tests use."""
    i = np.arange(n)
    return 1.0 + 0.125 * (i % 5) - 0.0625 * (i % 3)


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def front_door(tmp_path, A, b, x0, cases):
    """The C++ front door (qvl3d_frontdoor_run) on A's CSR arrays, one solve per line of cases
    ("METHOD PRECONDITIONER LAYOUT RTOL ATOL MAXITER REFERENCE"): for each ("refused", message) or
    (status, iterations, [initial, final, relative residual], converged, history, x)."""
    A.indptr.tofile(tmp_path / ("indptr64" if A.indptr.dtype == np.int64 else "indptr32"))
    A.indices.astype(np.int32).tofile(tmp_path / "indices")
    A.data.astype(np.float64).tofile(tmp_path / "data")
    b.tofile(tmp_path / "b")
    x0.tofile(tmp_path / "x0")
    (tmp_path / "cases.txt").write_text("".join(line + "\n" for line in cases))
    out = subprocess.run([program("QVL3D_FRONTDOOR_RUN"), str(tmp_path)], capture_output=True, text=True, check=True)
    runs = []
    for line in out.stdout.splitlines():
        if line.startswith("refused "):
            runs.append(("refused", line[len("refused ") :]))
            continue
        t = line.split()
        k, h = int(t[6]), np.array([float.fromhex(v) for v in t[2:5] + t[7:]])
        runs.append((t[0], int(t[1]), list(h[:3]), t[5] == "1", h[3 : 3 + k], h[3 + k :]))
    assert len(runs) == len(cases)
    return runs
