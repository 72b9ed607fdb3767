"""`mypy --strict` passes on the typed example, and the stubs make it reject misuse.

One mypy run per session (10-30 s). Where the kit is imported from the source tree, the run
also checks the stubs themselves; where it is installed, mypy finds the package through
site-packages and its py.typed marker, as a user's checker does.
"""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import varden

ROOT = Path(__file__).resolve().parents[2]
SRC = ROOT / "src"
EXAMPLE = ROOT / "examples" / "typed_research.py"

# Each marked line is a misuse that the stubs must make mypy reject, with the error code.
MISUSE = textwrap.dedent(
    """\
    import hostprobe
    import numpy as np
    from varden.mod.kelpie.research.normal_query.tablespec import valuation
    from varden.mod.kelpie.research.studybench import get_price, query
    from varden.mod.kelpie.utils.kprpc import kp_api
    from varden.mod.stock.data.quotewire import quotation_get_remote
    from varden.mod.tradeapi.api.dealdesk import SIDE, TradeAPI

    get_price(600000)  # arg-type
    query(valuation).limit("10")  # arg-type
    valuation.symbol.in_()  # call-arg
    kp_api.login("demo")  # call-arg
    TradeAPI("880001").portfolio()  # operator
    TradeAPI("880001").get_orders(None, None, None, None)  # call-arg
    SIDE.SELL  # attr-defined
    hostprobe.get_system_info(344)  # call-arg
    quotation_get_remote(None, "20240102", None, np.zeros((1, 1)), "1d", ["close"])  # arg-type
    closes: int = get_price("000001.SZ")  # assignment
    """
)


def expected_misuse_errors():
    return {
        (number, line.rsplit("# ", 1)[1])
        for number, line in enumerate(MISUSE.splitlines(), start=1)
        if "  # " in line
    }


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    work = tmp_path_factory.mktemp("mypy")
    misuse = work / "misuse.py"
    misuse.write_text(MISUSE, encoding="utf-8")
    files = [str(EXAMPLE), str(misuse)]
    if Path(varden.__file__).resolve().parent == SRC / "varden":
        files += sorted(str(stub) for stub in SRC.rglob("*.pyi"))
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    command = [sys.executable, "-m", "mypy", "--strict", "--config-file",
               str(ROOT / "pyproject.toml"), "--cache-dir", str(work / "cache"),
               "--no-error-summary", "--show-error-codes", *files]
    done = subprocess.run(command, cwd=ROOT, env=env, capture_output=True, text=True)
    errors = re.findall(r"^(.+?):(\d+): error: .*\[([a-z-]+)\]$", done.stdout, re.MULTILINE)
    return done, [(Path(path).name, int(line), code) for path, line, code in errors]


def test_example_passes_strict(mypy_report):
    done, errors = mypy_report
    assert done.stderr == ""
    others = [e for e in errors if e[0] != "misuse.py"]
    assert others == [], done.stdout


def test_stubs_reject_misuse(mypy_report):
    done, errors = mypy_report
    found = {(line, code) for name, line, code in errors if name == "misuse.py"}
    assert found == expected_misuse_errors(), done.stdout
