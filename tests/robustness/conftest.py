"""Robustness suite: the call counter and its report.

The folder's shared modules, ``robustness_harness`` and ``robustness_strategies``, are imported
by name: pytest's ``pythonpath`` setting puts this folder on the path.
``VARDEN_ROBUSTNESS_SCALE`` (default 1) multiplies every test's example count.
"""

import pathlib

import pytest
import robustness_harness as H

_HERE = pathlib.Path(__file__).parent


_run = {"deselected": False, "short": False}


def _whole_folder(config):
    """Whether the command line names this folder or one above it."""
    for arg in config.args or ["."]:
        path = (pathlib.Path(config.invocation_params.dir) / arg.split("::")[0]).resolve()
        if path == _HERE or path in _HERE.parents:
            return True
    return False


def pytest_deselected(items):
    if any(_HERE in pathlib.Path(str(item.path)).parents for item in items):
        _run["deselected"] = True


def pytest_sessionfinish(session, exitstatus):
    """A run of the whole folder at scale 1 or more must make the required number of calls."""
    full = _whole_folder(session.config) and not _run["deselected"]
    if full and exitstatus == 0 and H.SCALE >= 1 and H.calls["total"] < H.CALLS_REQUIRED:
        _run["short"] = True
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def pytest_terminal_summary(terminalreporter, exitstatus, config):
    if not H.calls["total"]:
        return
    terminalreporter.write_sep("-", "robustness")
    terminalreporter.write_line(
        f"robustness: {H.calls['total']} calls of the compiled modules "
        f"(scale {H.SCALE:g}; a whole-folder run at scale 1 needs {H.CALLS_REQUIRED})")
    if _run["short"]:
        terminalreporter.write_line("robustness: FAILED, fewer calls than required")
