"""Deep values: a list and a dict that hold themselves, and a list nested 100,000 deep.

Compiled code that walks such a value must stop where Python code stops, at the recursion
limit, with the interpreter's RecursionError, whatever stack the thread has: before 3.14 the
interpreter's own C guard allows more levels than a worker thread's stack holds.
"""

import sys
import threading

import pytest

import robustness_harness as H
import robustness_strategies as S

from varden import COMPILED_MODULES as MODULES

# A small worker thread's stack. Before 3.14 the interpreter's own C code (repr, ==) needs
# about 2 MiB for its 10,000 levels; from 3.14 it checks the stack it has.
STACK = (1 if sys.version_info >= (3, 14) else 2) << 20


def deep_values():
    loop = []
    loop.append(loop)
    cycle = {}
    cycle["self"] = cycle
    return loop, cycle, S.nested(100_000)


def callables(module):
    """Every public callable, each method on its class and on an instance made by __new__
    alone, and the getter of each property."""
    for label, obj in H.public_objects(module):
        if isinstance(obj, property):
            yield label, obj.fget
        elif callable(obj):
            yield label, obj
        if isinstance(obj, type):
            bare = H.invoke(obj.__new__, obj)
            for name, _ in () if bare.raised else H.members(obj):
                bound = H.invoke(getattr, bare.value, name)
                if not bound.raised and callable(bound.value):
                    yield f"{label}().{name}", bound.value


def call_all(module_name):
    """Each callable given each deep value in each of its first three argument slots."""
    module = __import__(module_name, fromlist=["_"])
    values = deep_values()
    for label, fn in list(callables(module)):
        print(label, file=sys.stderr, flush=True)  # the last one named is the one that crashed
        for slot in range(3):
            for value in values:
                H.invoke(fn, *[None] * slot, value)


def deep_pass(module_name):
    failures = []

    def run():
        try:
            call_all(module_name)
        except BaseException as error:  # reported by the main thread, which exits with it
            failures.append(error)

    threading.stack_size(STACK)
    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
    if failures:
        raise failures[0]


@pytest.mark.parametrize("module", MODULES)
def test_deep_values(module, tmp_path):
    H.in_child(__file__, "deep_pass", module, tmp_path)
