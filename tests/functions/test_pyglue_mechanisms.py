"""The helper layer's own mechanisms, on a module built from it alone: parameters reach the
body by name, captured objects belong to the function, and operations that may run Python code
advance the epoch that code keeping borrowed values relies on."""

import collections
import gc
import inspect
import numbers
import os
import subprocess
import sys
import sysconfig
import weakref
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
SRC = HERE.parents[1] / "src"


@pytest.fixture(scope="module")
def probe_dir(tmp_path_factory):
    out = tmp_path_factory.mktemp("pyglue_probe")
    includes = subprocess.run([sys.executable, "-m", "pybind11", "--includes"], check=True,
                              capture_output=True, text=True).stdout.split()
    target = out / ("pyglue_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run(
        [os.environ.get("CXX", "c++"), "-std=c++17", "-O1", "-shared", "-fPIC",
         "-fvisibility=hidden", "-Wall", "-Wextra", "-Werror", *includes, f"-I{SRC}",
         str(HERE / "pyglue_probe.cpp"), "-o", str(target)],
        check=True,
    )
    return out


@pytest.fixture(scope="module")
def probe(probe_dir):
    sys.path.insert(0, str(probe_dir))
    try:
        import pyglue_probe
    finally:
        sys.path.remove(str(probe_dir))
    return pyglue_probe


@pytest.mark.parametrize("call, expected", [
    (lambda f: f(1), (1, 2, (), {})),
    (lambda f: f(1, 3, 4, x=5), (1, 3, (4,), {"x": 5})),
    (lambda f: f(second=0, first=9), (9, 0, (), {})),
])
def test_arguments_reach_the_body_by_name(probe, call, expected):
    assert call(probe.describe) == expected
    assert str(inspect.signature(probe.describe)) == "(first, second=2, *args, **kwargs)"


def test_a_body_that_does_not_match_its_parameters_fails_the_import(probe_dir):
    result = subprocess.run(
        [sys.executable, "-c", "import pyglue_probe"],
        env=dict(os.environ, PYTHONPATH=str(probe_dir), PYGLUE_PROBE_MISMATCH="1"),
        capture_output=True, text=True)
    assert result.returncode == 1
    assert ("ImportError: pyglue: the body of broken() takes 1 arguments for 0 captured objects "
            "and 2 declared parameters") in result.stderr


def test_captured_objects_belong_to_the_function_and_the_collector_sees_them(probe):
    class Strategy:
        pass

    strategy = Strategy()
    strategy.callback = probe.closure_over(strategy)  # strategy -> function -> strategy
    assert strategy.callback() is strategy
    gone = weakref.ref(strategy)
    del strategy
    gc.collect()
    assert gone() is None


class Meddler:
    def __eq__(self, other):
        return True

    def __bool__(self):
        return True

    __hash__ = object.__hash__


@pytest.mark.parametrize("operation, moves", [
    (lambda p: p.truth("text"), False),
    (lambda p: p.truth(Meddler()), True),
    (lambda p: p.equals(1, 1.0), False),
    (lambda p: p.equals(Meddler(), 1), True),
    (lambda p: p.contains({"a": 1}, "a"), True),
    (lambda p: p.getattr(1, "real"), True),
    (lambda p: p.item({"a": 1}, "a"), False),
    (lambda p: (lambda key: p.item({key: 1}, key))(Meddler()), True),
    (lambda p: p.item(collections.UserDict(a=1), "a"), True),
    (lambda p: p.get({"a": 1}, "a"), False),
    (lambda p: p.get(collections.UserDict(a=1), "a"), True),
    (lambda p: p.call_method("a", "upper"), True),
    (lambda p: p.format_value("a"), False),
    (lambda p: p.format_value(Meddler()), True),
    (lambda p: p.isinstance(1, int), False),
    (lambda p: p.isinstance(1, numbers.Number), True),
    (lambda p: p.import_name("json", "dumps"), True),
])
def test_operations_that_may_run_python_code_advance_the_epoch(probe, operation, moves):
    before = probe.epoch()
    operation(probe)
    assert (probe.epoch() != before) is moves
