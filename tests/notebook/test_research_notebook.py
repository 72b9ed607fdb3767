"""examples/research.ipynb, executed top to bottom in a Jupyter kernel against a sandbox."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
NOTEBOOK = HERE.parents[1] / "examples" / "research.ipynb"


def _code_cells(notebook):
    return [c for c in notebook["cells"] if c["cell_type"] == "code"]


def test_the_notebook_is_stored_without_outputs():
    cells = _code_cells(json.loads(NOTEBOOK.read_text(encoding="utf-8")))
    assert cells and all(c["outputs"] == [] and c["execution_count"] is None for c in cells)


@pytest.fixture(scope="module")
def executed(tmp_path_factory):
    folder = tmp_path_factory.mktemp("notebook")
    environment = {k: v for k, v in os.environ.items() if not k.startswith("VARDEN_")}
    environment["VARDEN_ROOT"] = str(folder / "settings")
    if "PYTHONPATH" in environment:  # the kernel runs elsewhere: keep a source-tree path valid
        environment["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in environment["PYTHONPATH"].split(os.pathsep))
    # The notebook needs no trading gateway: a free port leaves 9999 to the tour.
    done = subprocess.run(
        [sys.executable, "-m", "varden.sandbox", "--gateway-port", "0", "--run",
         str(HERE / "execute_notebook.py")],
        capture_output=True, text=True, timeout=300, env=environment, cwd=folder)
    assert done.returncode == 0, done.stdout + done.stderr
    return json.loads((folder / "executed.ipynb").read_text(encoding="utf-8"))


def test_every_cell_runs_and_the_charts_are_drawn(executed):
    cells = _code_cells(executed)
    assert [c["execution_count"] for c in cells] == list(range(1, len(cells) + 1))
    outputs = [o for c in cells for o in c["outputs"]]
    assert sum("image/png" in o.get("data", {}) for o in outputs) == 3
    text = "".join("".join(o.get("text", "")) for o in outputs)
    assert "history rows +" in text and "available_cash" in text
