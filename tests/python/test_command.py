"""python3 -m qvl3d against the program qvl3d-solve, the command against the
C++ front door on every repository matrix, the module's solver against the
command's entry points, and the benchmark script on a tiny box."""

import json
import subprocess
import sys

import numpy as np
import pytest
import scipy.io

import qvl3d
from qvl3d import _qvl3d
from conftest import MATRICES, SOURCE_DIR, front_door, matrix, program, rhs, same_bits


def timeless(summary):
    """The summary without its times, which differ from run to run."""
    return [line for line in summary.splitlines() if not line.startswith(("  set-up", "  solve "))]


def write_rhs(path, b):
    """b as a Matrix Market array the command reads back bit for bit."""
    path.write_text(f"%%MatrixMarket matrix array real general\n{len(b)} 1\n" + "".join(f"{v:.17g}\n" for v in b))
    return str(path)


# a matrix file and the options after it, or options the module passes on
# unchanged; the exit status both give; what standard output holds
COMMANDS = [
    (["gr_30_30.mtx", "--method", "pcg", "--precond", "diagonal", "--layout", "ell", "--monitor"], 0, "summary"),
    (["nos7.mtx", "--method", "pcg", "--precond", "diagonal", "--maxiter", "50", "--entry-point"], 1, "summary"),
    (["sherman5.mtx", "--method", "pcg"], 2, ""),
    (["pde900.mtx", "--tolerance", "1e-6"], 2, ""),
    (["--grid", "6", "--problem", "poisson"], 0, "3-D Poisson, 6 x 6 x 6 cells"),
    (["--help"], 0, "--matrix"),
]


@pytest.mark.parametrize("args,status,out", COMMANDS, ids=[" ".join(c[0]) for c in COMMANDS])
def test_python_m_qvl3d_is_the_command(tmp_path, args, status, out):
    path = [str(MATRICES / args[0])] if args[0].endswith(".mtx") else []
    rest = args[len(path) :]
    module = subprocess.run(
        [sys.executable, "-m", "qvl3d", *path, *rest, "--output", str(tmp_path / "python.mtx")],
        capture_output=True,
        text=True,
    )
    command = subprocess.run(
        [program("QVL3D_SOLVE_BINARY"), *(["--matrix", *path] if path else []), *rest, "--output",
         str(tmp_path / "command.mtx")],
        capture_output=True,
        text=True,
    )
    assert (module.returncode, command.returncode) == (status, status), module.stderr
    assert module.stderr == command.stderr
    assert timeless(module.stdout) == timeless(command.stdout) and out in module.stdout
    written = [f.read_bytes() for f in (tmp_path / "python.mtx", tmp_path / "command.mtx") if f.exists()]
    assert len(written) == (0 if status == 2 or args == ["--help"] else 2) and written[:1] == written[1:]


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
    options = ["--method", method, "--precond", precond, "--layout", layout, "--maxiter", "200", "--entry-point"]
    subprocess.run(
        [program("QVL3D_SOLVE_BINARY"), "--matrix", str(MATRICES / name), "--rhs", write_rhs(tmp_path / "b.mtx", b),
         *options, "--output", str(tmp_path / "x.mtx"), "--json", str(tmp_path / "run.json")],
        capture_output=True,
    )
    report = json.loads((tmp_path / "run.json").read_text())
    assert report["road"] == "entry_point"
    x, info = qvl3d.solve(A, b, method=method, preconditioner=precond, layout=layout, maxiter=200, reference="first")
    assert (info.status, info.iterations) == (report["status"], report["iterations"])
    assert same_bits(info.history, report["residual_history"])
    assert same_bits(x, scipy.io.mmread(str(tmp_path / "x.mtx")).ravel())


# Every repository matrix through the command's default road and the C++
# front door (qvl3d_frontdoor_run): the same status, iterations and x bit
# for bit, and the same refusals with the same message. Each matrix takes a
# third of the methods and preconditioners in turn, so that every
# combination runs on three matrices. (The module against the front door is
# test_solver's, on every combination.)
THREE_WAYS_MAXITER = 300
COMBINATIONS = [(m, p) for m in _qvl3d.METHODS.split(", ") for p in _qvl3d.PRECONDITIONERS.split(", ")]
MATRIX_FILES = sorted(p.name for p in MATRICES.glob("*.mtx"))


def command(tmp_path, name, rhs_file, method, precond):
    """(status, iterations, x) or ("refused", message)."""
    x_file = tmp_path / "x.mtx"
    x_file.unlink(missing_ok=True)
    run = subprocess.run(
        [program("QVL3D_SOLVE_BINARY"), "--matrix", str(MATRICES / name), "--rhs", rhs_file, "--method", method,
         "--precond", precond, "--maxiter", str(THREE_WAYS_MAXITER), "--json", str(tmp_path / "run.json"),
         "--output", str(x_file)],
        capture_output=True,
        text=True,
    )
    if run.returncode == 2:
        return ("refused", run.stderr.strip().removeprefix("qvl3d-solve: "))
    report = json.loads((tmp_path / "run.json").read_text())
    assert report["road"] == "front_door" and report["exit_status"] == run.returncode
    x = scipy.io.mmread(str(x_file)).ravel() if x_file.exists() else None
    return (report["status"], report["iterations"], x)


@pytest.mark.parametrize("index,name", list(enumerate(MATRIX_FILES)))
def test_the_command_and_the_cpp_front_door_agree(tmp_path, index, name):
    A = matrix(name)
    b = rhs(A.shape[0])
    rhs_file = write_rhs(tmp_path / "b.mtx", b)
    combinations = COMBINATIONS[index % 3 :: 3]
    lines = [f"{m} {p} csr 1e-8 0 {THREE_WAYS_MAXITER} rhs" for m, p in combinations]
    for (method, precond), cpp in zip(combinations, front_door(tmp_path, A, b, np.zeros_like(b), lines)):
        case = f"{name}: {method}, {precond}"
        cmd = command(tmp_path, name, rhs_file, method, precond)
        if cpp[0] == "refused":
            assert cmd == cpp, case
            continue
        assert cmd[:2] == cpp[:2], case
        assert cmd[2] is None or same_bits(cmd[2], cpp[5]), case


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
