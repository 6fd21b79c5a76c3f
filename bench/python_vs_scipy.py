#!/usr/bin/python3
"""The Python module qvl3d against SciPy's Krylov solvers, one thread each.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_vs_scipy.py [--grid 64] [--repeat 3]

Solves the host's 3-D Poisson and convection-diffusion boxes (the systems
qvl3d-solve builds, b = A*1) with qvl3d (BiCGSTAB and the conjugate gradient,
DILU and diagonal preconditioners, CSR layout) and with
scipy.sparse.linalg.bicgstab and cg preconditioned by the inverse diagonal as
a LinearOperator. Every solver stops at ||r|| <= rtol * ||b|| (rtol 1e-8)
on its own recursively updated residual; the table shows the true
||b - Ax|| / ||b|| of the x returned. Times are the fastest of --repeat
runs: set-up (qvl3d: Solver(A), which copies the matrix into its layout;
SciPy: the diagonal operator), solve, solve per iteration, and time to
solution (set-up plus solve). Prints a Markdown table, then the ratios.
"""

import os

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse  # noqa: E402
import datetime  # noqa: E402
import inspect  # noqa: E402
import platform  # noqa: E402
import subprocess  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
import scipy  # noqa: E402
import scipy.sparse as sp  # noqa: E402
import scipy.sparse.linalg as spla  # noqa: E402

import qvl3d  # noqa: E402
from qvl3d import _qvl3d  # noqa: E402


def box(problem, n):
    indptr, indices, data = _qvl3d._box(problem, n, n, n)
    cells = n * n * n
    return sp.csr_matrix((data, indices, indptr), shape=(cells, cells))


def machine():
    model, l3 = platform.processor() or "unknown", "unknown"
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "Model name":
                model = value.strip()
            elif key.strip() == "L3 cache":
                l3 = value.strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return model, l3


def best(repeat, run):
    """The fastest of repeat runs of run() -> (setup, solve, iterations, x)."""
    results = [run() for _ in range(repeat)]
    return min(results, key=lambda r: r[0] + r[1])


def qvl3d_run(A, b, method, preconditioner, rtol, maxiter):
    def run():
        t0 = time.perf_counter()
        solver = qvl3d.Solver(A, method=method, preconditioner=preconditioner, rtol=rtol, maxiter=maxiter)
        t1 = time.perf_counter()
        x, info = solver.solve(b)
        t2 = time.perf_counter()
        return t1 - t0, t2 - t1, info.iterations, x

    return run


def scipy_run(A, b, method, rtol, maxiter):
    solve = {"bicgstab": spla.bicgstab, "cg": spla.cg}[method]
    tol = "rtol" if "rtol" in inspect.signature(solve).parameters else "tol"

    def run():
        count = [0]

        def callback(_):
            count[0] += 1

        t0 = time.perf_counter()
        inv = 1.0 / A.diagonal()
        M = spla.LinearOperator(A.shape, matvec=lambda v: inv * v.ravel(), dtype=np.float64)
        t1 = time.perf_counter()
        x, _ = solve(A, b, M=M, maxiter=maxiter, callback=callback, atol=0.0, **{tol: rtol})
        t2 = time.perf_counter()
        return t1 - t0, t2 - t1, count[0], x

    return run


def ms(seconds):
    return f"{seconds * 1e3:.1f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--grid", type=int, default=64, help="cells along each edge of the box (default 64)")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each solver; the fastest counts (default 3)")
    parser.add_argument("--rtol", type=float, default=1e-8)
    parser.add_argument("--maxiter", type=int, default=10000)
    args = parser.parse_args()

    model, l3 = machine()
    n = args.grid
    print(f"machine: {model}, L3 {l3}; {datetime.date.today().isoformat()}; one thread")
    print(f"Python {platform.python_version()}, NumPy {np.__version__}, SciPy {scipy.__version__}")
    print(f"{n}^3 boxes, b = A*1, rtol {args.rtol:g}, fastest of {args.repeat}\n")

    runs = []  # (system, solver, iterations, setup, solve, relres)
    for problem, title, methods in (
        ("poisson", "Poisson", ("cg", "bicgstab")),
        ("convdiff", "convection-diffusion", ("bicgstab",)),
    ):
        A = box(problem, n)
        b = A @ np.ones(A.shape[0])
        bnorm = np.linalg.norm(b)
        for method in methods:
            word = "pcg" if method == "cg" else method
            for label, run in (
                (f"qvl3d {word}, DILU", qvl3d_run(A, b, word, "dilu", args.rtol, args.maxiter)),
                (f"qvl3d {word}, diagonal", qvl3d_run(A, b, word, "diagonal", args.rtol, args.maxiter)),
                (f"scipy {method}, diagonal", scipy_run(A, b, method, args.rtol, args.maxiter)),
            ):
                setup, solve, its, x = best(args.repeat, run)
                relres = np.linalg.norm(b - A @ x) / bnorm
                runs.append((f"{title} {n}^3", label, its, setup, solve, relres))

    print(
        "| system | solver | iterations | set-up ms | solve ms | ms per iteration | time to solution ms "
        "| true rel. residual |"
    )
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for system, label, its, setup, solve, relres in runs:
        per = solve / its if its else float("nan")
        print(
            f"| {system} | {label} | {its} | {ms(setup)} | {ms(solve)} | {per * 1e3:.2f} | "
            f"{ms(setup + solve)} | {relres:.1e} |"
        )

    print("\nSciPy (diagonal) over qvl3d (diagonal, DILU), same method: time per iteration; time to solution")
    index = {(r[0], r[1]): r for r in runs}
    for system, label, its, setup, solve, _ in runs:
        if not label.startswith("scipy"):
            continue
        method = label.split()[1].rstrip(",")
        word = "pcg" if method == "cg" else method
        for precond in ("diagonal", "DILU"):
            mine = index[(system, f"qvl3d {word}, {precond}")]
            per = (solve / its) / (mine[4] / mine[2]) if its and mine[2] else float("nan")
            total = (setup + solve) / (mine[3] + mine[4])
            print(
                f"  {system}, scipy {method} / qvl3d {word} with {precond}: "
                f"{per:.2f}x per iteration, {total:.2f}x to solution"
            )


if __name__ == "__main__":
    main()
