#!/usr/bin/env python3
"""Iterations against grid size for the preconditioners of the README's
"Choosing a preconditioner": runs qvl3d-solve --json on the Poisson box
(PCG with DILU, PCG with AMG, AMG alone) and the convection-diffusion box
(BiCGSTAB with DILU and with AMG) for each edge, prints the table and draws
it as an SVG line chart (no plotting library needed).

    python3 bench/amg_iterations.py BUILD/apps/qvl3d-solve OUT.svg [EDGE ...]
"""
import json
import os
import subprocess
import sys
import tempfile

RUNS = [
    ("PCG+DILU, Poisson", ["--problem", "poisson", "--method", "pcg", "--precond", "dilu"], "#1f77b4", "4 3"),
    ("PCG+AMG, Poisson", ["--problem", "poisson", "--method", "pcg", "--precond", "amg"], "#1f77b4", ""),
    ("AMG alone, Poisson", ["--problem", "poisson", "--method", "amg"], "#2ca02c", ""),
    ("BiCGSTAB+DILU, conv.-diff.", ["--method", "bicgstab", "--precond", "dilu"], "#d62728", "4 3"),
    ("BiCGSTAB+AMG, conv.-diff.", ["--method", "bicgstab", "--precond", "amg"], "#d62728", ""),
]


def iterations(command, edge, options):
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "run.json")
        subprocess.run([command, "--grid", str(edge), "--json", out] + options, check=True, stdout=subprocess.DEVNULL)
        with open(out) as f:
            result = json.load(f)
    if not result["converged"]:
        raise SystemExit(f"{options} at {edge}^3 did not converge")
    return result["iterations"]


def svg(edges, table):
    w, h, left, right, top, bottom = 640, 400, 60, 230, 20, 50
    top_value = max(max(row) for row in table.values())
    limit = 10 ** len(str(top_value))
    limit = next(v for v in (limit // 10 * k for k in (1, 2, 5, 10)) if v >= top_value)
    x = lambda k: left + (w - left - right) * k / max(len(edges) - 1, 1)
    y = lambda v: top + (h - top - bottom) * (1 - v / limit)
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{w}" height="{h}" font-family="sans-serif" font-size="12">',
             f'<rect width="{w}" height="{h}" fill="white"/>']
    for k in range(6):
        v = limit * k / 5
        parts.append(f'<line x1="{left}" y1="{y(v):.1f}" x2="{w - right}" y2="{y(v):.1f}" stroke="#ddd"/>')
        parts.append(f'<text x="{left - 6}" y="{y(v) + 4:.1f}" text-anchor="end">{v:g}</text>')
    for k, e in enumerate(edges):
        parts.append(f'<text x="{x(k):.1f}" y="{h - bottom + 18}" text-anchor="middle">{e}³</text>')
    parts.append(f'<text x="{(left + w - right) / 2}" y="{h - 10}" text-anchor="middle">cells of the box</text>')
    parts.append(f'<text x="14" y="{top + (h - top - bottom) / 2}" transform="rotate(-90 14 {top + (h - top - bottom) / 2})"'
                 ' text-anchor="middle">iterations to 1e-8 against ||b||</text>')
    for n, (name, _, colour, dash) in enumerate(RUNS):
        points = " ".join(f"{x(k):.1f},{y(v):.1f}" for k, v in enumerate(table[name]))
        parts.append(f'<polyline points="{points}" fill="none" stroke="{colour}" stroke-width="2"'
                     + (f' stroke-dasharray="{dash}"' if dash else "") + "/>")
        ly = top + 16 * n + 10
        parts.append(f'<line x1="{w - right + 12}" y1="{ly}" x2="{w - right + 36}" y2="{ly}" stroke="{colour}" '
                     f'stroke-width="2"' + (f' stroke-dasharray="{dash}"' if dash else "") + "/>")
        parts.append(f'<text x="{w - right + 42}" y="{ly + 4}">{name}</text>')
    return "\n".join(parts + ["</svg>", ""])


def main():
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    command, out = sys.argv[1], sys.argv[2]
    edges = [int(e) for e in sys.argv[3:]] or [16, 32, 64, 128]
    table = {name: [iterations(command, e, options) for e in edges] for name, options, _, _ in RUNS}
    print("| box | " + " | ".join(name for name, *_ in RUNS) + " |")
    for k, e in enumerate(edges):
        print(f"| {e}³ | " + " | ".join(str(table[name][k]) for name, *_ in RUNS) + " |")
    with open(out, "w") as f:
        f.write(svg(edges, table))


if __name__ == "__main__":
    main()
