#!/usr/bin/env python3
"""The include graph by folder: every top folder builds one target and may
include only from the folders below it. Prints the graph and exits 1 on an
include that goes up (or sideways) the list, naming the file and the line.

    python3 scripts/check-includes.py [--graph]
"""
import os
import re
import subprocess
import sys
from collections import Counter, defaultdict

# Lowest first. A folder may include its own files and those of any folder
# earlier in the list; the last group includes anything and is never linked
# into a library.
LAYERS = ["include", "platform", "tools", "comm", "solver", "mpi", "host", "apps", "python", "capi"]
TOP = {"tests", "bench", "fuzz", "examples"}

INCLUDE = re.compile(r'\s*#\s*include\s*[<"]([^>"]+)[>"]')


def main():
    root = subprocess.check_output(["git", "rev-parse", "--show-toplevel"], text=True).strip()
    files = subprocess.check_output(["git", "ls-files", "*.h", "*.cpp", "*.c", "*.hpp"], cwd=root, text=True).split()
    by_suffix = defaultdict(list)
    for f in files:
        parts = f.split("/")
        for k in range(len(parts)):
            by_suffix["/".join(parts[k:])].append(f)

    def resolve(src, name):
        if name.startswith("qvl3d/"):
            return "include/" + name if "include/" + name in files else None
        local = os.path.normpath(os.path.join(os.path.dirname(src), name))
        if local in files:
            return local
        found = by_suffix.get(name, [])
        return found[0] if len(found) == 1 else (sorted(found, key=lambda c: c.split("/")[0] != src.split("/")[0])[0] if found else None)

    edges = Counter()
    bad = []
    for f in files:
        top = f.split("/")[0]
        with open(os.path.join(root, f), errors="replace") as text:
            for number, line in enumerate(text, 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                target = resolve(f, m.group(1))
                if target is None:
                    continue  # a system header
                to = target.split("/")[0]
                if to == top:
                    continue
                edges[(top, to)] += 1
                if top in TOP:
                    continue
                if top not in LAYERS or to not in LAYERS or LAYERS.index(to) >= LAYERS.index(top):
                    bad.append(f"{f}:{number}: includes {target}, but {top}/ may include only {', '.join(LAYERS[:LAYERS.index(top)]) if top in LAYERS else 'nothing outside itself'}")
    if "--graph" in sys.argv or bad:
        for (a, b), n in sorted(edges.items(), key=lambda e: (e[0][0] in TOP, e[0])):
            print(f"{a:>9} -> {b:<9} {n:4d} includes")
    for b in bad:
        print(b, file=sys.stderr)
    if bad:
        print(f"include graph: {len(bad)} includes go up the folder order {' < '.join(LAYERS)}", file=sys.stderr)
        return 1
    print(f"include graph: every include goes down the folder order {' < '.join(LAYERS)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
