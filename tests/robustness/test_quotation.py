"""The quotation module on any history block, instrument, record and data-layer answer.

The record fixes are compared with the plain-Python rendition (py_quotewire, in bench/): the
same result (by repr, so types count, sets in sorted order) or the same exception type, for loose records whose
fields may be missing, NaN, huge, numpy scalars, texts or hostile. The entry
``quotation_get_remote`` must never raise.
"""

import types

import numpy as np
import pandas as pd
import pytest
from cachetools import TTLCache
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as npst

import py_quotewire as reference
import robustness_harness as H
import robustness_strategies as S
from varden.mod.stock.data import fast_data_source, quotewire

STOCK, FUTURE, OPTION = "CS", "Future", "Option"


def _canonical(value):
    """repr of ``value``, with the elements of sets written in sorted order.

    A set's iteration order follows its table (the hashes of texts, which change from process
    to process, and how the set was built), and the rendition works on rebuilt copies: the same
    set may list its elements differently on the two sides.
    """
    kind = type(value)
    if kind in (set, frozenset):
        inner = "{" + ", ".join(sorted(_canonical(v) for v in value)) + "}"
        return f"{kind.__name__}({inner})"
    if kind is dict:
        return "{" + ", ".join(f"{_canonical(k)}: {_canonical(v)}" for k, v in value.items()) + "}"
    if kind in (list, tuple):
        return f"{kind.__name__}[" + ", ".join(_canonical(v) for v in value) + "]"
    return repr(value)


def _text(value):
    try:
        return _canonical(value)
    except Exception as error:
        return type(error)


def agrees_with(plain):
    """Same repr of the result, or the same exception type, as the plain-Python rendition.

    The targets using it take snapshots, so the rendition sees the records as they were
    before the compiled call changed them.
    """

    def check(fn, outcome, args, kwargs):
        expected = H.run_plain(plain, *args, **kwargs)
        assert type(outcome.error) is type(expected.error), (args, kwargs, outcome, expected)
        if not expected.raised:
            assert _text(outcome.value) == _text(expected.value), (args, outcome, expected)

    return check


instruments = st.one_of(
    st.builds(types.SimpleNamespace,
              enum_type=st.one_of(st.sampled_from([STOCK, FUTURE, OPTION, "Index"]), S.values),
              order_book_id=st.one_of(S.codes.map(lambda c: c + ".SH"), S.codes)),
    S.values,
)
history_blocks = st.one_of(
    npst.arrays(st.sampled_from([np.float64, np.int64, object]),
                npst.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=4),
                elements=st.integers(0, 10**6)),
    npst.arrays(np.float64, npst.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=3)),
    S.values,
)
field_lists = st.one_of(st.lists(st.sampled_from(S.RECORD_KEYS), max_size=6), S.values)
frequencies = st.one_of(st.sampled_from(["1d", "1m", "5m"]), S.values)
dates = st.one_of(S.timestamps, st.none(), S.values)
stock_records = S.loose_records(S.RECORD_KEYS)
rm_mins = st.one_of(st.lists(st.sampled_from(["0930", "1500", "0900"]), max_size=2), S.values)


class FakeLayer:
    """Live reader and request classes: the bound record fix runs over drawn records."""

    def __init__(self, answers):
        self.answers = answers

    def request(self, kind):
        class Request:
            def __init__(self, instrument, data_fix_fn=None, **extra):
                self.kind, self.fix = kind, data_fix_fn

        return Request

    def reader(self):
        layer = self

        class Reader:
            def __init__(self, log, request):
                self.request = request

            def get_real_data(self, start, end, date_type):
                answer = layer.answers()
                if not isinstance(answer, list):
                    return answer
                kept, previous = [], {}
                for record in answer:
                    try:
                        if self.request.kind == FUTURE:
                            record = self.request.fix(record)
                        else:
                            record = self.request.fix(record, last_symbol_dict=previous)
                    except Exception:
                        continue
                    kept.append(record)
                    previous = record
                return pd.DataFrame(kept)

        return Reader


class NullLog:
    def error(self, *args, **kwargs):
        return None


class FakeStore:
    answer = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def read(self, sql):
        return FakeStore.answer()


class FakeSource:
    answer = None

    def __init__(self):
        self._dividends = self

    def get_pre_with_symbol(self, symbol, start, end):
        return FakeSource.answer()


layer_answers = st.one_of(
    st.lists(st.builds(dict, S.records(S.RECORD_KEYS)), max_size=4),
    st.just(None), st.builds(pd.DataFrame), S.values,
)
factor_frames = st.one_of(
    st.lists(st.fixed_dictionaries({"symbol": S.codes, "factor": S.field_value("factor")}),
             max_size=3).map(pd.DataFrame),
    S.values,
)
events = st.one_of(
    st.lists(st.tuples(*[S.numbers] * 9), max_size=2),
    st.lists(st.lists(S.numbers, max_size=10), max_size=2),
    S.values,
)


@pytest.fixture(autouse=True)
def data_layer(monkeypatch):
    monkeypatch.setattr(quotewire, "system_log", NullLog())
    monkeypatch.setattr(quotewire, "INST_TYPE_IN_STOCK_ACCOUNT", (STOCK,))
    monkeypatch.setattr(quotewire, "INST_TYPE_IN_FUTURE_ACCOUNT", (FUTURE,))
    monkeypatch.setattr(quotewire, "INST_TYPE_IN_OPTION_ACCOUNT", (OPTION,))
    monkeypatch.setattr(quotewire, "ExtraHDFStore", FakeStore)
    monkeypatch.setattr(quotewire, "real_factor_cache", TTLCache(maxsize=10, ttl=72000))
    monkeypatch.setattr(fast_data_source, "FastDataSource", FakeSource)
    for name in ("RealData", "StockBaseDataRequest", "FutureBaseDataRequest",
                 "OptionBaseDataRequest"):
        monkeypatch.setattr(quotewire, name, None)


def with_layer(fn):
    """Reach ``fn`` with the data layer answering drawn records, factors and events."""

    def reach(data):
        layer = FakeLayer(H.Answers(data, layer_answers))
        quotewire.RealData = layer.reader()
        quotewire.StockBaseDataRequest = layer.request(STOCK)
        quotewire.FutureBaseDataRequest = layer.request(FUTURE)
        quotewire.OptionBaseDataRequest = layer.request(OPTION)
        FakeStore.answer = H.Answers(data, factor_frames)
        FakeSource.answer = H.Answers(data, events)
        quotewire.real_factor_cache = TTLCache(maxsize=10, ttl=72000)
        return fn()

    return reach


def never_raises(fn, outcome, args, kwargs):
    """Whatever the instrument and dates: the block comes back, never an error."""
    bound = H.signature("instrument, start_date, end_date, last_data, fre, fields").bind(
        *args, **kwargs).arguments
    assert not outcome.raised, outcome
    assert outcome.value is bound["last_data"] or isinstance(outcome.value, np.ndarray)


FIXES = [
    ("_data_fix", "symbol_dict, last_data, last_symbol_dict, rm_mins=[]",
     st.one_of(stock_records, rm_mins)),
    ("_data_future_fix", "symbol_dict, last_data", stock_records),
    ("_data_option_fix", "symbol_dict, last_data, last_symbol_dict", stock_records),
]
# Records whose values empty the records themselves when the fix looks at them.
self_clearing = S.self_clearing_pools(S.RECORD_KEYS)

GETTER_PARAMS = "instrument, start_dt, end_dt, field, last_data"
GETTER_ARGS = st.one_of(instruments, dates, field_lists, history_blocks)


def getter(name):
    return H.Target(name, GETTER_PARAMS, with_layer(lambda: getattr(quotewire, name)),
                    args=GETTER_ARGS)


def pre_field_function(data):
    """The price adjustment made from one drawn capital event of today."""
    event = data.draw(st.tuples(*[S.numbers] * 9), label="event")
    FakeSource.answer = lambda: [event]
    return quotewire._real_pre_field("600000.SH")


TARGETS = [
    H.Target("quotation_get_remote", "instrument, start_date, end_date, last_data, fre, fields",
             with_layer(lambda: quotewire.quotation_get_remote),
             args=st.one_of(instruments, dates, history_blocks, frequencies, field_lists),
             check=never_raises),
    *[getter(name) for name in (
        "stock_daily_quotation_get", "stock_minute_quotation_get",
        "futures_daily_quotation_get", "futures_minute_quotation_get",
        "option_daily_quotation_get", "option_minute_quotation_get")],
    H.Target("stock_base", "instrument, start_dt=None, end_dt=None, date_type='minute', **kw",
             with_layer(lambda: quotewire.stock_base),
             args=st.one_of(instruments, dates, st.sampled_from(["daily", "minute"]), S.values),
             keywords=("data_fix_fn",)),
    H.Target("_real_factor", "symbol", with_layer(lambda: quotewire._real_factor),
             args=st.one_of(S.codes, S.values)),
    H.Target("_real_pre_field", "symbol", with_layer(lambda: quotewire._real_pre_field),
             args=st.one_of(S.codes, S.values)),
    H.Target("_real_pre_field()", "x", pre_field_function, args=S.numbers),
    *[H.Target(name, params, lambda data, name=name: getattr(quotewire, name), args=args,
               check=agrees_with(getattr(reference, name)), snapshot=True)
      for name, params, args in FIXES],
    # No reference here: emptied records make the two sides read different values, by design.
    *[H.Target(name + " self-clearing", params,
               lambda data, name=name: getattr(quotewire, name), pool=self_clearing)
      for name, params, _ in FIXES],
]


@pytest.mark.parametrize("target", TARGETS, ids=str)
@H.robust(25)
@given(data=st.data())
def test_call(target, data):
    H.exercise(data, target)
