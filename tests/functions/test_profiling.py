"""Profilers see the compiled functions: cProfile lists each one called under its module and
name with its own time, a sys.setprofile hook gets its C-call events, and C code that calls a
built-in function's method entry directly reaches the function."""

import cProfile
import ctypes
import pstats
import sys

import pandas as pd
import pytest

from varden.mod.kelpie.research.normal_query.tablespec import StrQuery, valuation
from varden.mod.kelpie.research.studybench import query
from varden.mod.stock.data import quotewire

FUTURE_BAR = {"trade_date": pd.Timestamp("2024-03-05 09:01"), "ticker": "RB2405",
              "open": 3600.0, "close": 3601.0, "high": 3602.0, "low": 3599.0, "volume": 350.0,
              "turnover": 1.26e7, "settle": 3600.0, "open_interest": 150000.0}


def test_cprofile_lists_each_compiled_function_with_its_own_time():
    profiler = cProfile.Profile()
    profiler.enable()
    for _ in range(50):
        quotewire._data_future_fix(dict(FUTURE_BAR), last_data={})
        query(valuation).filter(valuation.symbol == "000001.SZ")
    profiler.disable()
    listed = {name: (calls, own, total)
              for (_, _, name), (_, calls, own, total, _) in pstats.Stats(profiler).stats.items()}
    for function in [quotewire._data_future_fix, query, StrQuery.filter]:
        calls, own, total = listed[f"<built-in method {function.__module__}.{function.__qualname__}>"]
        assert calls == 50 and 0 < own <= total


@pytest.mark.parametrize("args, outcome", [((FUTURE_BAR, {}), "c_return"), ((), "c_exception")])
def test_a_profile_hook_sees_the_call_and_its_outcome(args, outcome):
    events = []

    def hook(frame, event, arg):
        if arg is quotewire._data_future_fix:
            events.append(event)

    sys.setprofile(hook)
    try:
        quotewire._data_future_fix(*[dict(a) for a in args])
    except TypeError:
        pass
    finally:
        sys.setprofile(None)
    assert events == ["c_call", outcome]


def test_c_callers_of_the_method_entry_reach_the_function():
    # Compiled callers (Cython's fast path, for one) call a built-in's entry with its __self__.
    api = ctypes.pythonapi
    api.PyCFunction_GetFunction.restype = ctypes.c_void_p
    api.PyCFunction_GetSelf.restype = ctypes.c_void_p  # borrowed
    api.PyCFunction_GetFlags.restype = ctypes.c_int
    for getter in (api.PyCFunction_GetFunction, api.PyCFunction_GetSelf, api.PyCFunction_GetFlags):
        getter.argtypes = [ctypes.py_object]
    function = quotewire._data_future_fix
    assert api.PyCFunction_GetFlags(function) == 0x80 | 0x02  # METH_FASTCALL | METH_KEYWORDS
    entry = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.POINTER(ctypes.py_object),
                              ctypes.c_ssize_t, ctypes.c_void_p)(
        api.PyCFunction_GetFunction(function))
    args = (ctypes.py_object * 2)(dict(FUTURE_BAR), {})
    fixed = entry(api.PyCFunction_GetSelf(function), args, 2, None)
    assert fixed == function(dict(FUTURE_BAR), {})
    with pytest.raises(TypeError, match=r"^_data_future_fix\(\) missing 1 required positional"):
        entry(api.PyCFunction_GetSelf(function), args, 1, None)
