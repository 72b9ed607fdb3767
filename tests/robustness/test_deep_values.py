"""Values nested past any recursion limit: every public callable, and each method on its class
and on an instance made by __new__, takes a list and a dict that hold themselves and a list
nested 100,000 deep in each of its first three slots, in a thread with a small stack."""

import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import robustness_harness as H
import robustness_strategies as S

from varden import COMPILED_MODULES as MODULES

# Before 3.14 the interpreter's own C code overflows 1 MiB within the 10,000 levels it allows
# (repr of a deep list, as formatting a column whose key is one does); from 3.14 it checks the
# stack it has.
STACK = (1 if sys.version_info >= (3, 14) else 2) << 20


def callables(module):
    for label, obj in H.public_objects(module):
        yield label, obj.fget if isinstance(obj, property) else obj
        if isinstance(obj, type) and not (bare := H.invoke(obj.__new__, obj)).raised:
            for name, _ in H.members(obj):
                yield f"{label}().{name}", H.invoke(getattr, bare.value, name).value


def call_all(module_name):
    loop, cycle = [], {}
    loop.append(loop)
    cycle["self"] = cycle
    values = (loop, cycle, S.nested(100_000))
    for label, fn in callables(__import__(module_name, fromlist=["_"])):
        print(label, file=sys.stderr, flush=True)  # the last one named is the one that crashed
        for value in values if callable(fn) else ():
            for slot in range(3):
                H.invoke(fn, *[None] * slot, value)


def deep_pass(module_name):
    threading.stack_size(STACK)
    with ThreadPoolExecutor(1) as worker:
        worker.submit(call_all, module_name).result()


@pytest.mark.parametrize("module", MODULES)
def test_deep_values(module, tmp_path):
    H.in_child(__file__, "deep_pass", module, tmp_path)
