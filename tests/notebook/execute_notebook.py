"""Run by the sandbox (`--run`): log in as a user would, then execute examples/research.ipynb
top to bottom in a Jupyter kernel that inherits the sandbox's exports; the executed copy is
written to executed.ipynb in the working folder."""

import os
import pathlib
import subprocess
import sys

import nbformat
from nbclient import NotebookClient
from nbclient.exceptions import CellExecutionError

source = pathlib.Path(__file__).resolve().parents[2] / "examples" / "research.ipynb"
subprocess.run([pathlib.Path(sys.executable).with_name("varden"), "login", "demo",
                "--password-stdin"], input="demo\n", text=True, check=True)
notebook = nbformat.read(source, as_version=4)
client = NotebookClient(notebook, timeout=120, kernel_name="python3",
                        resources={"metadata": {"path": str(source.parent)}})
try:
    client.execute(env=dict(os.environ))
except CellExecutionError as exc:
    print(exc, file=sys.stderr)
    sys.exit(1)
finally:
    nbformat.write(notebook, "executed.ipynb")
