"""python3 -m qvl3d FILE.mtx [options]: the command qvl3d-solve on a Matrix
Market file, through the same entry as the program, with the same summary,
files and exit status. A first argument that starts with '-' passes
everything on unchanged (python3 -m qvl3d --help, --grid 32, ...)."""

import sys

from . import _qvl3d


def main(argv=None):
    args = list(sys.argv[1:] if argv is None else argv)
    if args and not args[0].startswith("-"):
        args = ["--matrix"] + args
    sys.stdout.flush()
    sys.stderr.flush()
    return _qvl3d._run_command(["qvl3d-solve"] + args)


if __name__ == "__main__":
    sys.exit(main())
