#!/usr/bin/env python3
"""Writes the 7-point Poisson matrix of an NX x NY x NZ box as a Matrix Market
file, for measuring how the distributed reader scales with a large file:

    python3 bench/box_matrix.py 96 /tmp/box96.mtx          # 96^3 cells
    python3 bench/box_matrix.py 96x48x48 /tmp/box.mtx --symmetric

The general form stores every entry; --symmetric stores the lower triangle.
"""
import sys


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    dims = [int(d) for d in argv[1].split("x")]
    nx, ny, nz = dims if len(dims) == 3 else dims * 3
    symmetric = "--symmetric" in argv[3:]
    n = nx * ny * nz

    def cell(i, j, k):
        return 1 + i + nx * (j + ny * k)

    lines = []
    for k in range(nz):
        for j in range(ny):
            for i in range(nx):
                c = cell(i, j, k)
                for di, dj, dk in ((0, 0, -1), (0, -1, 0), (-1, 0, 0), (0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1)):
                    a, b, d = i + di, j + dj, k + dk
                    if not (0 <= a < nx and 0 <= b < ny and 0 <= d < nz):
                        continue
                    other = cell(a, b, d)
                    if symmetric and other > c:
                        continue
                    lines.append("%d %d %s\n" % (c, other, "6" if other == c else "-1"))
    with open(argv[2], "w") as f:
        f.write("%%%%MatrixMarket matrix coordinate real %s\n" % ("symmetric" if symmetric else "general"))
        f.write("%d %d %d\n" % (n, n, len(lines)))
        f.writelines(lines)


if __name__ == "__main__":
    main(sys.argv)
