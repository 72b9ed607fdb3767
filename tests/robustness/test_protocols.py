"""Objects made and probed by protocols rather than by calls.

copy, pickle and process pools make instances with ``cls.__new__(cls)`` alone and probe special
names on them. Every public class of the compiled modules is instantiated that way and poked
(attribute reads, repr, each of its methods called), and every public object is copied,
deep-copied and pickled. Each poke must return or raise an ordinary Python exception; a round
trip must give what it gives for Python code (the same class or function, the same enum member,
an equal bound method, an instance of the same class with equal state), or refuse where Python
code would refuse too. Each module is probed in a child interpreter: a fault here may crash it.
"""

import copy
import enum
import gc
import importlib
import inspect
import pickle
import types

import pytest

import robustness_harness as H

from varden import COMPILED_MODULES as MODULES

ROUND_TRIPS = {
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "pickle": lambda obj: pickle.loads(pickle.dumps(obj)),
}
# What Python raises for an object it cannot copy, or cannot find again by its name.
REFUSALS = (TypeError, pickle.PicklingError, AttributeError)

# Names the protocols probe, a column-like name and the one attribute a table has.
PROBED_NAMES = ("__getstate__", "__setstate__", "__reduce_ex__", "__deepcopy__", "__copy__",
                "__getnewargs_ex__", "__array__", "__len__", "__iter__", "name", "pe_ratio")


def by_reference(obj):
    """Whether pickle finds ``obj`` again under its module and qualified name."""
    try:
        found = importlib.import_module(obj.__module__)
        for part in obj.__qualname__.split("."):
            found = getattr(found, part)
    except Exception:
        return False
    return found is obj


def check_round_trip(label, obj, how):
    outcome = H.invoke(ROUND_TRIPS[how], obj)
    result = outcome.value
    if isinstance(obj, enum.Enum):
        assert result is obj, (label, how, outcome)
    elif isinstance(obj, types.MethodType):
        if outcome.raised:
            assert how == "pickle" and not by_reference(obj.__self__), (label, how, outcome)
        else:
            assert result == obj, (label, how, outcome)
    elif isinstance(obj, type) or inspect.isroutine(obj):
        # Python copies classes and functions as themselves and pickles them by name.
        if how != "pickle" or by_reference(obj):
            assert result is obj, (label, how, outcome)
        else:
            assert isinstance(outcome.error, REFUSALS), (label, how, outcome)
    elif isinstance(obj, property):  # copied as itself, refused by pickle
        if how == "pickle":
            assert isinstance(outcome.error, TypeError), (label, how, outcome)
        else:
            assert result is obj, (label, how, outcome)
    elif H.run_plain(ROUND_TRIPS[how], H.run_plain(vars, obj).value).raised:
        # No instance state, or state Python itself cannot copy: refusing is what Python does.
        if outcome.raised:
            assert isinstance(outcome.error, REFUSALS), (label, how, outcome)
    else:
        assert not outcome.raised, (label, how, outcome)
        assert type(result) is type(obj) and vars(result) == vars(obj), (label, how, outcome)


def poke(cls):
    """An instance made by ``__new__`` alone, read, printed, copied and called."""
    made = H.invoke(cls.__new__, cls)
    if made.raised:
        return
    bare = made.value
    listed = H.invoke(dir, bare)
    for name in sorted(set(dir(cls)) | set(listed.value or ()) | set(PROBED_NAMES)):
        H.invoke(getattr, bare, name)
    for use in (repr, str, bool, hash, vars, lambda o: o == o, lambda o: "{}".format(o)):
        H.invoke(use, bare)
    for trip in ROUND_TRIPS.values():
        H.invoke(trip, bare)
    for name, _ in H.members(cls):
        bound = H.invoke(getattr, bare, name)
        if bound.raised or not callable(bound.value):
            continue
        sig = H.run_plain(inspect.signature, bound.value)
        params = [] if sig.raised else list(sig.value.parameters.values())
        required = sum(p.default is p.empty and p.kind in (p.POSITIONAL_ONLY,
                                                           p.POSITIONAL_OR_KEYWORD)
                       for p in params)
        H.invoke(bound.value, *[None] * required)
    del bare, made, listed
    gc.collect()  # a bare instance must also be freed without a fault


def probe(module_name):
    """Round trips of every public object, then pokes of every class with its collaborators
    unbound (set to None), so that no poke reaches a file, a server or the trading gateway."""
    module = importlib.import_module(module_name)
    objects = list(H.public_objects(module))
    for label, obj in objects:
        for how in ROUND_TRIPS:
            check_round_trip(label, obj, how)
    for name, obj in list(vars(module).items()):
        if not name.startswith("_") and not H.is_own(module, obj):
            setattr(module, name, None)
    for _, obj in objects:
        if isinstance(obj, type):
            poke(obj)


@pytest.mark.parametrize("module", MODULES)
def test_protocols(module, tmp_path):
    H.in_child(__file__, "probe", module, tmp_path)
