"""Paths the tests run against, from ctest's environment (tests/python/CMakeLists.txt)."""

import os
import pathlib

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
