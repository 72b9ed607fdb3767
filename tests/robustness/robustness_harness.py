"""The call table machinery: one entry per public callable, drawn argument lists, counting.

A ``Target`` names a callable, writes its parameter list as the kit documents it, and says
how to reach it (through a fresh instance, with fakes installed). ``exercise`` draws an
argument list that may be too short, too long or carry wrong keywords, calls the target, and
checks what every call must satisfy: it returns or raises an ordinary Python exception (never
a crash, a ``SystemError`` or a leaked C++/pybind11 error), and an argument list that a Python
function of that signature would refuse raises ``TypeError``. A target's own ``check`` adds
the results and exceptions its contract fixes. ``public_objects`` lists what a compiled module
offers, and ``in_child`` runs a pass over one module in a child interpreter.
"""

import copy
import dataclasses
import enum
import inspect
import os
import pathlib
import random
import signal
import subprocess
import sys
import types
from typing import Any, Callable, Optional

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

import robustness_strategies as S

SCALE = float(os.environ.get("VARDEN_ROBUSTNESS_SCALE", "1"))
CALLS_REQUIRED = 50_000  # per full run at scale 1

calls = {"total": 0}


def robust(examples):
    """Hypothesis settings for ``examples`` examples at scale 1, reproducible from run to run.

    The health checks for slow or large data are off: the wide strategy is deliberately big.
    Function-scoped fixtures only install fakes, which hold for every example alike.
    """
    return settings(
        max_examples=max(1, int(examples * SCALE)),
        deadline=None,
        derandomize=True,
        database=None,
        print_blob=False,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                               HealthCheck.filter_too_much, HealthCheck.large_base_example,
                               HealthCheck.function_scoped_fixture],
    )


# Texts by which pybind11 or a C++ runtime error gives itself away.
_LEAKED = ("Unable to cast", "Caught an unknown exception", "std::", "pybind11", "bad_alloc",
           "basic_string", "vector::", "stoi", "stod", "NULL result without error")


@dataclasses.dataclass
class Outcome:
    value: Any = None
    error: Optional[BaseException] = None

    @property
    def raised(self):
        return self.error is not None


def sensible(error):
    """An exception plain Python code could have raised for bad input."""
    if isinstance(error, SystemError):
        return False
    text = str(error) if not isinstance(error, S.HostileError) else ""
    return not (type(error) is RuntimeError and any(mark in text for mark in _LEAKED))


def invoke(fn, *args, **kwargs):
    calls["total"] += 1
    try:
        return Outcome(value=fn(*args, **kwargs))
    except Exception as error:  # every failure must be an ordinary Python exception
        assert sensible(error), f"{type(error).__name__}: {error!r}"
        return Outcome(error=error)


def signature(params):
    """The signature of ``def f(<params>)``: the contract a call is checked against."""
    namespace = {}
    exec(f"def f({params}):\n    pass", namespace)
    return inspect.signature(namespace["f"])


def binds(sig, args, kwargs):
    try:
        sig.bind(*args, **kwargs)
    except TypeError:
        return False
    return True


@dataclasses.dataclass(repr=False)
class Target:
    """One callable under test.

    ``reach(data)`` returns the callable to call: a module function, or a method bound to a
    fresh instance whose collaborators answer with drawn replies. ``params`` is the parameter
    list after ``self``/``cls``.
    ``args`` draws one argument (the wide strategy unless a narrower one keeps the call off the
    user's files). ``check(fn, outcome, args, kwargs)`` asserts what the contract fixes for
    the call of ``fn`` (a bound method's instance is ``fn.__self__``).
    """

    name: str
    params: str
    reach: Callable
    args: Any = S.values
    check: Optional[Callable] = None
    keywords: tuple = ()  # extra keyword names worth drawing besides the parameters
    refusals: tuple = (TypeError,)  # what a call that cannot bind may raise
    snapshot: bool = False  # check against copies of the arguments taken before the call
    pool: Any = None  # draws the values the calls combine; default: a few drawn ``args``

    def __post_init__(self):
        self.sig = signature(self.params)
        plain = [p for p in self.sig.parameters.values()
                 if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]
        self.names = [p.name for p in plain] + list(self.keywords)
        self.required = sum(p.default is p.empty and p.kind != p.KEYWORD_ONLY for p in plain)
        varargs = any(p.kind == p.VAR_POSITIONAL for p in self.sig.parameters.values())
        self.most = len(plain) + (2 if varargs else 0)

    def __repr__(self):
        return self.name

    __str__ = __repr__


CALLS_PER_EXAMPLE = 20

# Keyword names no parameter has: plain, empty, with NUL, a lone surrogate (no UTF-8 form),
# and a str subclass.
ODD_KEYWORDS = ["bogus", "", "a\x00b", "\ud800", "\U0010ffff", type("Name", (str,), {})("bogus")]


def _shape(rng, pool, target):
    """Positional arguments around the parameter count, sometimes keywords, right or wrong."""
    names = target.names
    if rng.random() < 0.75:
        count = rng.randint(target.required, min(target.most, len(names) + 1))
    else:
        count = rng.randint(0, len(names) + 1)
    args = [rng.choice(pool) for _ in range(count)]
    kwargs = {}
    if rng.random() < 0.3:
        for _ in range(rng.randint(1, 2)):
            kwargs[rng.choice(names + ODD_KEYWORDS)] = rng.choice(pool)
    return args, kwargs


class Answers:
    """What a fake collaborator answers during one example: drawn once, handed out at random."""

    def __init__(self, data, strategy, size=4):
        self.pool = data.draw(st.lists(strategy, min_size=1, max_size=size), label="answers")
        self.rng = random.Random(data.draw(st.integers(0, 2**32 - 1), label="answer seed"))

    def __call__(self):
        return self.rng.choice(self.pool)


def run_plain(fn, *args, **kwargs):
    """The outcome of a plain-Python reference call (not counted)."""
    try:
        return Outcome(value=fn(*args, **kwargs))
    except Exception as error:
        return Outcome(error=error)


def _snapshot(args, kwargs):
    """Deep copies of the arguments, or None when a hostile value refuses to be copied."""
    try:
        return copy.deepcopy((args, kwargs))
    except Exception:
        return None


def exercise(data, target, calls=CALLS_PER_EXAMPLE):
    """Make ``calls`` calls of the target with argument lists built from one drawn pool.

    Drawing is the costly part, so one example draws a few values and a seed, and the calls
    combine them; a failure still shrinks to a small pool.
    """
    pools = target.pool if target.pool is not None else st.lists(target.args, min_size=1,
                                                                 max_size=6)
    pool = data.draw(pools, label="pool")
    rng = random.Random(data.draw(st.integers(0, 2**32 - 1), label="seed"))
    fn = target.reach(data)
    for _ in range(calls):
        args, kwargs = _shape(rng, pool, target)
        before = _snapshot(args, kwargs) if target.snapshot else (args, kwargs)
        outcome = invoke(fn, *args, **kwargs)
        if not binds(target.sig, args, kwargs):
            assert isinstance(outcome.error, target.refusals), (target.name, args, kwargs,
                                                                 outcome)
        elif target.check is not None and before is not None:
            target.check(fn, outcome, *before)


# -- the public objects of a compiled module ---------------------------------------------------


def module_names(module):
    """The names a module's own objects give as ``__module__`` (gatemeta's messages: short)."""
    return {module.__name__, module.__name__.rpartition(".")[2]}


def is_own(module, obj):
    holder = obj if isinstance(obj, type) or inspect.isroutine(obj) else type(obj)
    return getattr(holder, "__module__", None) in module_names(module)


def members(cls):
    """What a class offers besides plain data: methods, class methods, properties."""
    for name in sorted(vars(cls)):
        if name in ("__dict__", "__weakref__", "__module__", "__doc__", "__slotnames__"):
            continue
        if name[:1] == name[-1:] == "_" and name[1:2] != "_":
            continue  # the enum machinery's own _sunder_ names (3.13 adds _new_member_)
        found = run_plain(getattr, cls, name)
        if not found.raised and (inspect.isroutine(found.value)
                                 or isinstance(found.value, (types.MethodType, property))):
            yield name, found.value


def public_objects(module):
    """The module's own public objects, its enum members and its classes' members."""
    for name, obj in vars(module).items():
        if name.startswith("_") or not is_own(module, obj):
            continue
        yield name, obj
        if isinstance(obj, type):
            if issubclass(obj, enum.Enum):
                yield from ((f"{name}.{m.name}", m) for m in obj)
            yield from ((f"{name}.{attr}", member) for attr, member in members(obj))


# -- a module's pass in a child interpreter, where a crash fails the test instead of the run ----

_CHILD = """
import importlib.util, sys

spec = importlib.util.spec_from_file_location("robustness_child", sys.argv[1])
child = importlib.util.module_from_spec(spec)
spec.loader.exec_module(child)
getattr(child, sys.argv[2])(sys.argv[3])
print("calls", sys.modules["robustness_harness"].calls["total"])
"""


def in_child(test_file, function, module, tmp_path):
    """Runs ``function(module)`` of ``test_file`` in a child interpreter and counts its calls;
    a child killed by a signal fails the test naming the module and the signal."""
    # The child runs in tmp_path: this run's import path, made absolute, comes along, with this
    # folder for the shared modules.
    path = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    path.append(str(pathlib.Path(__file__).parent))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path), VARDEN_ROOT=str(tmp_path),
               VARDEN_URL="http://127.0.0.1:9/")
    child = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", _CHILD, str(test_file), function, module],
        capture_output=True, text=True, timeout=300, env=env, cwd=tmp_path)
    ended = (f"signal {signal.Signals(-child.returncode).name}" if child.returncode < 0
             else f"exit status {child.returncode}")
    assert child.returncode == 0, f"{module}: child ended by {ended}\n{child.stderr[-6000:]}"
    words = child.stdout.split()
    assert words[-2] == "calls", child.stdout
    calls["total"] += int(words[-1])
