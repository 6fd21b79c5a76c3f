"""python3 -m qvl3d against the program qvl3d-solve, the module's solver
against the command's entry points, and the benchmark script on a tiny box."""

import json
import subprocess
import sys

import pytest
import scipy.io

import qvl3d
from conftest import MATRICES, SOURCE_DIR, matrix, program, rhs, same_bits


def timeless(summary):
    """The summary without its times, which differ from run to run."""
    return [line for line in summary.splitlines() if not line.startswith(("  set-up", "  solve "))]


# arguments after the matrix file, the exit status both give
COMMANDS = [
    (["gr_30_30.mtx", "--method", "pcg", "--precond", "diagonal", "--layout", "ell", "--monitor"], 0),
    (["nos7.mtx", "--method", "pcg", "--precond", "diagonal", "--maxiter", "50"], 1),
    (["pde900.mtx", "--tolerance", "1e-6"], 2),
]


@pytest.mark.parametrize("args,status", COMMANDS, ids=[" ".join(c[0]) for c in COMMANDS])
def test_python_m_qvl3d_is_the_command(tmp_path, args, status):
    path, rest = str(MATRICES / args[0]), args[1:]
    module = subprocess.run(
        [sys.executable, "-m", "qvl3d", path, *rest, "--output", str(tmp_path / "python.mtx")],
        capture_output=True,
        text=True,
    )
    command = subprocess.run(
        [program("QVL3D_SOLVE_BINARY"), "--matrix", path, *rest, "--output", str(tmp_path / "command.mtx")],
        capture_output=True,
        text=True,
    )
    assert (module.returncode, command.returncode) == (status, status), module.stderr
    assert module.stderr == command.stderr
    assert timeless(module.stdout) == timeless(command.stdout)
    if status != 2:
        assert "qvl3d-solve summary" in module.stdout
        assert (tmp_path / "python.mtx").read_bytes() == (tmp_path / "command.mtx").read_bytes()


def test_python_m_qvl3d_passes_options_through():
    help_text = subprocess.run([sys.executable, "-m", "qvl3d", "--help"], capture_output=True, text=True, check=True)
    box = subprocess.run(
        [sys.executable, "-m", "qvl3d", "--grid", "6", "--problem", "poisson"], capture_output=True, text=True
    )
    assert "--matrix" in help_text.stdout
    assert box.returncode == 0 and "3-D Poisson, 6 x 6 x 6 cells" in box.stdout


# matrix, method, preconditioner, layout: qvl3d.Solver(reference="first")
# runs the rule of the command's entry points and must return their bits.
# One case a method and a layout: every combination of the front door against
# the entry points is the C++ front-door tests', the module against the front
# door test_solver's.
ENTRY_POINTS = [
    ("sherman5.mtx", "bicgstab", "dilu", "csr"),
    ("gr_30_30.mtx", "pcg", "dilu", "native"),
    ("pde900.mtx", "gs", "none", "ell"),
]


@pytest.mark.parametrize("name,method,precond,layout", ENTRY_POINTS, ids=[" ".join(e) for e in ENTRY_POINTS])
def test_same_bits_as_the_command(tmp_path, name, method, precond, layout):
    A = matrix(name)
    b = rhs(A.shape[0])
    rhs_file = tmp_path / "b.mtx"
    rhs_file.write_text(
        f"%%MatrixMarket matrix array real general\n{len(b)} 1\n" + "".join(f"{v:.17g}\n" for v in b)
    )
    options = ["--method", method, "--precond", precond, "--layout", layout, "--maxiter", "200"]
    subprocess.run(
        [program("QVL3D_SOLVE_BINARY"), "--matrix", str(MATRICES / name), "--rhs", str(rhs_file), *options,
         "--output", str(tmp_path / "x.mtx"), "--json", str(tmp_path / "run.json")],
        capture_output=True,
    )
    report = json.loads((tmp_path / "run.json").read_text())
    x, info = qvl3d.solve(A, b, method=method, preconditioner=precond, layout=layout, maxiter=200, reference="first")
    assert (info.status, info.iterations) == (report["status"], report["iterations"])
    assert same_bits(info.history, report["residual_history"])
    assert same_bits(x, scipy.io.mmread(str(tmp_path / "x.mtx")).ravel())


def test_benchmark_script_runs():
    out = subprocess.run(
        [sys.executable, str(SOURCE_DIR / "bench" / "python_vs_scipy.py"), "--grid", "5", "--repeat", "1"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    rows = [line.split("|") for line in out.splitlines() if line.startswith(("| Poisson", "| convection"))]
    assert len(rows) == 9
    assert all(float(row[-2]) <= 1e-8 for row in rows), out
    assert out.count("x per iteration") == 6
