"""The query builder against its plain-Python rendition (py_tablespec, in bench/), on any
value.

Both sides must give the same text or raise the same exception type: the builder's rules are
simple enough (texts as literals, numbers and None/True/False as they are, iterables as lists,
anything else as the literal of its text) that every divergence is a fault.
"""

import bisect
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

import py_tablespec
import robustness_harness as H
import robustness_strategies as S
from varden.mod.kelpie.research.normal_query import tablespec

COMPARISONS = ("__eq__", "__ne__", "__lt__", "__gt__", "__le__", "__ge__", "in_", "is_", "any_",
               "all_")


def rendered_column(column):
    """The rendition's column of the same table and key."""
    return py_tablespec.StrModelAttr(column.name, column.key)


def rendered_model(model):
    """The rendition's table of the same name."""
    return py_tablespec.StrModel(model.name)


def _text(value):
    try:
        return ("text", "{}".format(value))
    except Exception as error:
        return ("error", type(error))


def agrees_with(reference):
    """A check: the call gives the text, or the exception type, that ``reference`` gives.

    ``reference(instance, *args, **kwargs)`` reads the rule off the instance the call was
    made on (``None`` for a plain function).
    """

    def check(fn, outcome, args, kwargs):
        expected = H.run_plain(reference, getattr(fn, "__self__", None), *args, **kwargs)
        if expected.raised or outcome.raised:
            assert type(outcome.error) is type(expected.error), (args, outcome, expected)
        else:
            assert _text(outcome.value) == _text(expected.value), (args, outcome, expected)

    return check


names = st.one_of(S.texts, S.values)
columns = st.builds(tablespec.StrModelAttr, names, names)
models = st.builds(tablespec.StrModel, names)


@st.composite
def queries(draw):
    query = tablespec.StrQuery(*draw(st.lists(S.values, max_size=3)))
    query.filter(*draw(st.lists(st.one_of(S.texts, S.values), max_size=3)))
    query.limit(draw(st.one_of(st.none(), S.values)))
    query.offset(draw(st.one_of(st.none(), S.values)))
    return query


def method_of(instances, method):
    return lambda data: getattr(data.draw(instances), method)


def comparison(method):
    def reference(column, obj):
        return getattr(rendered_column(column), method)(obj)

    return H.Target(f"StrModelAttr.{method}", "obj", method_of(columns, method),
                    check=agrees_with(reference))


TARGETS = [
    H.Target("StrModelAttr", "name, key", lambda data: tablespec.StrModelAttr),
    H.Target("StrModelAttr._encode", "o, top=1", method_of(columns, "_encode"),
             check=agrees_with(lambda column, o, top=1: rendered_column(column)._encode(o, top))),
    H.Target("StrModelAttr.__str__", "", method_of(columns, "__str__"),
             check=agrees_with(lambda column: str(rendered_column(column)))),
    *[comparison(method) for method in COMPARISONS],
    H.Target("StrModel", "name", lambda data: tablespec.StrModel),
    H.Target("StrModel.__str__", "", method_of(models, "__str__"),
             check=agrees_with(lambda model: rendered_model(model).__str__())),
    H.Target("StrModel.__getattr__", "key", method_of(models, "__getattr__"),
             check=agrees_with(lambda model, key: rendered_model(model).__getattr__(key))),
    H.Target("StrQuery", "*args", lambda data: tablespec.StrQuery),
    H.Target("StrQuery.filter", "*args", method_of(queries(), "filter")),
    H.Target("StrQuery.limit", "limit", method_of(queries(), "limit")),
    H.Target("StrQuery.offset", "limit", method_of(queries(), "offset")),
    H.Target("StrQuery.__str__", "", method_of(queries(), "__str__"),
             check=agrees_with(py_tablespec.StrQuery.__str__)),
]


@pytest.mark.parametrize("target", TARGETS, ids=str)
@H.robust(25)
@given(data=st.data())
def test_call(target, data):
    H.exercise(data, target)


def refusal(call):
    """The shallowest nested list ``call`` refuses, and the message it refuses it with."""
    messages = {}

    def refuses(depth):
        try:
            call(S.nested(depth))
        except RecursionError as error:
            messages[depth] = str(error)
        return depth in messages

    depth = bisect.bisect_left(range(100_000), True, key=refuses)
    return depth, messages[depth]


@pytest.mark.parametrize("limit", [1000, 3000])
def test_depth_follows_the_recursion_limit(limit):
    """The builder refuses a nested list within 10 % of the depth where its rendition does,
    with the same RecursionError message."""
    saved = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        ours = refusal(tablespec.valuation.pe.in_)
        python = refusal(py_tablespec.valuation.pe.in_)
    finally:
        sys.setrecursionlimit(saved)
    assert abs(ours[0] - python[0]) <= python[0] / 10 and ours[1] == python[1], (ours, python)
