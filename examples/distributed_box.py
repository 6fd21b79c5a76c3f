"""A 3-D box solved across MPI ranks with qvl3d.DistributedSolver.

    mpiexec -n 4 python3 examples/distributed_box.py [N]

Each rank assembles only its own slab of z-planes of an N x N x N box
(the 7-point Laplacian plus a small shift, cell (i, j, k) numbered
i + N (j + N k)), with global column numbers: no rank ever holds the whole
matrix or a whole vector. The ranks solve together; rank 0 gathers every
rank's row count, halo and residual history (the whole system's, the
same bits on every rank) and prints it.
"""

import sys

import numpy as np
import scipy.sparse as sp
from mpi4py import MPI

import qvl3d


def slab(n, first_plane, planes):
    """The rows of z-planes first_plane .. first_plane+planes-1 of the box, as a CSR block."""
    k, j, i = np.meshgrid(
        np.arange(first_plane, first_plane + planes), np.arange(n), np.arange(n), indexing="ij"
    )
    i, j, k = i.ravel(), j.ravel(), k.ravel()
    ids = i + n * (j + n * k)
    rows, cols, vals = [np.arange(len(ids))], [ids], [np.full(len(ids), 6.01)]
    for di, dj, dk in ((-1, 0, 0), (1, 0, 0), (0, -1, 0), (0, 1, 0), (0, 0, -1), (0, 0, 1)):
        ii, jj, kk = i + di, j + dj, k + dk
        inside = (ii >= 0) & (ii < n) & (jj >= 0) & (jj < n) & (kk >= 0) & (kk < n)
        rows.append(np.flatnonzero(inside))
        cols.append((ii + n * (jj + n * kk))[inside])
        vals.append(np.full(int(inside.sum()), -1.0))
    block = sp.csr_matrix(
        (np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))), shape=(len(ids), n**3)
    )
    block.indices = block.indices.astype(np.int64)
    return block, int(ids[0]) if len(ids) else 0


def main():
    comm = MPI.COMM_WORLD
    rank, size = comm.Get_rank(), comm.Get_size()
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 32
    base, extra = divmod(n, size)
    first_plane = rank * base + min(rank, extra)
    rows, first = slab(n, first_plane, base + (rank < extra))

    solver = qvl3d.DistributedSolver(comm, rows, first, method="pcg", preconditioner="diagonal", rtol=1e-8)
    b = np.ones(rows.shape[0])
    x, info = solver.solve(b)

    shares = comm.gather((rank, solver.rows, solver.halo), root=0)
    histories = comm.gather(info.history, root=0)
    if rank == 0:
        assert all(np.array_equal(h, info.history) for h in histories), "the ranks saw different histories"
        print(f"{n}^3 box on {size} ranks; rows and halo cells per rank: {shares}")
        print(f"{info.status} after {info.iterations} iterations, relative residual {info.relative_residual:.2e}")
        for it, norm in enumerate(info.history, start=1):
            print(f"  {it:4d}  {norm:.6e}")


if __name__ == "__main__":
    main()
