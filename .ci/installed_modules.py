"""Checks a wheel as a user gets it: with no compiler on PATH, every compiled module imports
from the site-packages of the interpreter that runs this (in isolated mode, `python -I`, so that
neither the working folder nor PYTHONPATH can supply a module).

Usage: <venv>/bin/python -I .ci/installed_modules.py   (in the venv the wheel went into)
"""

import importlib
import os
import pathlib
import shutil
import sys
import sysconfig
import tempfile

COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++", "zig")


def main():
    # Importing the kit creates its settings folder: keep that out of the user's home.
    os.environ.setdefault("VARDEN_ROOT", tempfile.mkdtemp(prefix="varden-root-"))
    found = [f"compiler on PATH: {shutil.which(name)}" for name in COMPILERS if shutil.which(name)]
    site = pathlib.Path(sysconfig.get_path("platlib")).resolve()
    from varden import COMPILED_MODULES

    for name in COMPILED_MODULES:
        path = pathlib.Path(importlib.import_module(name).__file__).resolve()
        if site not in path.parents:
            found.append(f"{name} imported from {path}, not from {site}")
    for problem in found:
        print("installed wheel:", problem, file=sys.stderr)
    if found:
        sys.exit(1)
    print(f"installed wheel: {len(COMPILED_MODULES)} modules import from {site}, no compiler")


if __name__ == "__main__":
    main()
