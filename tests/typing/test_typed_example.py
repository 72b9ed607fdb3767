"""The typed example is a working script: run against the sandbox as a user would."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "typed_research.py"


def _run(args, cwd, **env):
    environment = {k: v for k, v in os.environ.items() if not k.startswith("VARDEN_")}
    environment.update(VARDEN_ROOT=str(cwd / "settings"), **env)
    if "PYTHONPATH" in environment:  # the child runs elsewhere: keep a source-tree path valid
        environment["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in environment["PYTHONPATH"].split(os.pathsep))
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=180,
                          env=environment, cwd=cwd)


def test_runs_against_the_sandbox(tmp_path):
    done = _run(["-m", "varden.sandbox", "--run", str(EXAMPLE)], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    output = done.stdout
    assert " stocks listed on " in output
    assert "000001.SZ  " in output  # the valuation table
    assert "000001.SZ: 3 closed daily bars, 1 live bar(s) appended" in output
    assert "available cash " in output
    assert "000001.SZ: 1000 held" in output


@pytest.mark.parametrize("url", [None, ""])
def test_explains_itself_without_the_sandbox(tmp_path, url):
    env = {} if url is None else {"VARDEN_URL": url}
    done = _run([str(EXAMPLE)], tmp_path, **env)
    assert done.returncode == 2
    assert "python -m varden.sandbox --run examples/typed_research.py" in done.stderr
