"""mypy's stubtest: every stub matches its compiled module (names, members, parameters and
their kinds, methods, class and static methods, properties). test_stubs.py checks what it
cannot: exact defaults, `__all__`'s order, enumeration values, protobuf fields, wrappers."""

import os
import subprocess
import sys
from pathlib import Path

from varden import COMPILED_MODULES

ROOT = Path(__file__).resolve().parents[2]


def test_stubs_match_their_modules(tmp_path):
    env = dict(os.environ, MYPYPATH=str(ROOT / "standins" / "kpquant"))
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *COMPILED_MODULES,
         "--allowlist", str(ROOT / "tests" / "typing" / "stubtest_allowlist.txt"),
         "--mypy-config-file", str(ROOT / "pyproject.toml")],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
