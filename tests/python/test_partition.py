"""qvl3d.partition over the library's partitioner, and the distributed
solver's absence in a build without MPI."""

import numpy as np
import pytest
import scipy.sparse as sp

import qvl3d


def box(nx, ny, nz):
    indptr, indices, data = qvl3d._qvl3d._box("poisson", nx, ny, nz)
    n = len(indptr) - 1
    return sp.csr_matrix((data, indices, indptr), shape=(n, n))


@pytest.mark.parametrize("parts", [1, 3, 8])
def test_parts_cover_the_rows_balanced_and_connected(parts):
    A = box(12, 10, 9)
    part = qvl3d.partition(A, parts)
    assert part.shape == (A.shape[0],) and part.min() == 0 and part.max() == parts - 1
    sizes = np.bincount(part, minlength=parts)
    assert sizes.max() <= 1.1 * A.shape[0] / parts + 1
    assert np.array_equal(part, qvl3d.partition(A.tocoo(), parts))  # the same for the same matrix, any format
    # Few cut edges: fewer than contiguous row blocks of the same sizes cut.
    coo = A.tocoo()
    cut = np.count_nonzero(part[coo.row] != part[coo.col])
    blocks = np.repeat(np.arange(parts), sizes)
    assert cut <= np.count_nonzero(blocks[coo.row] != blocks[coo.col])


def test_bad_input_is_refused():
    A = box(3, 3, 3)
    with pytest.raises(ValueError, match="parts is 0"):
        qvl3d.partition(A, 0)
    with pytest.raises(TypeError, match="parts must be a whole number"):
        qvl3d.partition(A, 2.5)
    with pytest.raises(ValueError, match="square"):
        qvl3d.partition(A[:5, :], 2)
    with pytest.raises(TypeError, match="scipy.sparse"):
        qvl3d.partition(A.toarray(), 2)


@pytest.mark.skipif(qvl3d.WITH_MPI, reason="this build has MPI (tests/python/mpi cover it)")
def test_without_mpi_the_distributed_solver_says_so():
    with pytest.raises(RuntimeError, match="QVL3D_WITH_MPI=OFF"):
        qvl3d.DistributedSolver(None, box(2, 2, 2), 0)
