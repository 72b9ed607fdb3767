"""The compiled module against the plain-Python rendition (bench/py_quotewire.py).

Randomised records (seeded) mix the value kinds the data layer meets: Python and numpy
floats, ints, None, missing keys, zeros, NaN, infinities, tiny and huge values, and a few
kinds no arithmetic accepts. Both implementations must return the same values of the same
types, warn the same, raise the same errors, and leave the records in the same state.
"""

import copy
import datetime
import random
import warnings
from functools import partial

import numpy as np
import pandas as pd
import pytest

MISSING = object()


class OwnFormat(datetime.datetime):
    """A datetime subclass with its own strftime: only strftime may be asked."""

    def strftime(self, fmt):
        return "0930"


def number(rng):
    choice = rng.randrange(22)
    if choice == 0:
        return 0
    if choice == 1:
        return 0.0
    if choice == 2:
        return np.float64(0.0)
    if choice == 3:
        return rng.randint(-5, 10**6)
    if choice == 4:
        return 2**60 + rng.randint(0, 9)
    if choice == 5:
        return float("nan")
    if choice == 6:
        return np.float64("nan")
    if choice == 7:
        return rng.choice([float("inf"), -float("inf"), np.float64("inf")])
    if choice == 8:
        return rng.choice([1e308, np.float64(1e308), 5e-324, np.float64(1e-310), -0.0])
    if choice == 9:
        return None
    if choice == 10:
        return rng.choice([np.float32(1.5), np.int64(7), True, "3"])
    if choice in (11, 12, 13, 14):
        return np.float64(round(rng.uniform(0.01, 300.0), rng.choice([2, 3, 6])))
    return round(rng.uniform(0.01, 300.0), rng.choice([2, 3, 6]))


def bar_time(rng):
    minute = rng.choice([0, 1, 29, 30, 31, 59])
    hour = rng.choice([0, 9, 10, 11, 13, 15, 21, 23])
    kind = rng.randrange(10)
    if kind < 6:
        return pd.Timestamp(2024, 3, 5, hour, minute, rng.choice([0, 59]))
    if kind == 6:
        return datetime.datetime(2024, 3, 5, hour, minute)
    if kind == 7:
        return pd.Timestamp(2024, 3, 5, hour, minute, tz="Asia/Shanghai")
    if kind == 8:
        return OwnFormat(2024, 3, 5, hour, minute)
    return rng.choice([datetime.date(2024, 3, 5), pd.NaT, "0930"])


def fill(rng, keys, missing_rate=0.2, value=number):
    out = {}
    for key in keys:
        if rng.random() >= missing_rate:
            out[key] = value(rng)
    return out


def stock_case(rng):
    record = fill(rng, ["close", "high", "low", "volume", "turnover"])
    if rng.random() < 0.97:
        record["trade_date"] = bar_time(rng)
    record["ticker"] = rng.choice(["600000", "300750", "688001", "689009", "000001", "830799"])
    ref = fill(rng, ["close", "high_limit", "is_st", "is_paused", "factor", "volume",
                     "turnover_rate", "avg_price"])
    ref["order_book_id"] = rng.choice(["600000.SH", "830799.BJ", "000001.SZ"])
    if rng.random() < 0.2:
        ref["pre_field_fn"] = rng.choice([lambda x: x * 2, lambda x: None])
    prev = {} if rng.random() < 0.3 else fill(rng, ["close", "volume", "avg_price",
                                                     "turnover_rate"], 0.3)
    rm_mins = rng.choice([MISSING, [], ["0930"], ["0930", "1130"], ("1000",), [930]])
    return record, ref, prev, rm_mins


def future_case(rng):
    record = fill(rng, ["close", "settle", "high", "low", "open_interest"])
    record["trade_date"] = bar_time(rng)
    ref = fill(rng, ["settle", "close", "open_interest", "main_contract", "buy_margin",
                     "d3_sell_margin", "flat_fee"], 0.3)
    if rng.random() < 0.3:
        ref["rm_before_dt"] = True
    return record, ref


def option_case(rng):
    record = fill(rng, ["close", "settle", "volume", "turnover", "delta", "implied_volatility",
                        "exercise_amount", "volume_num"])
    record["trade_date"] = bar_time(rng)
    ref = fill(rng, ["settle", "close", "avg_price"], 0.3)
    prev = {} if rng.random() < 0.4 else fill(rng, ["avg_price"], 0.3)
    return record, ref, prev


def same(a, b):
    """Same type and value; NaN equals NaN and the sign of zero counts."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (float, np.floating)):
        return repr(a) == repr(b)
    if a is pd.NaT or b is pd.NaT:
        return a is b
    return a is b or a == b


def run(fix, args, kwargs):
    """Calls the fix as the live reader does; returns what happened, comparably."""
    args = copy.deepcopy(args)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = fix(*args, **kwargs(args))
            outcome = ("returned", result is args[0])
        except Exception as e:
            outcome = ("raised", type(e), str(e))
    return outcome, args, [(w.category, str(w.message)) for w in caught]


def compare(ours, reference):
    (o_outcome, o_args, o_warn), (r_outcome, r_args, r_warn) = ours, reference
    assert o_outcome == r_outcome
    assert o_warn == r_warn
    for o, r in zip(o_args, r_args):
        if isinstance(o, dict):
            assert same(o, r), (o, r)


def stock_call(module, case):
    record, ref, prev, rm_mins = case
    bound = {"last_data": ref} if rm_mins is MISSING else {"last_data": ref, "rm_mins": rm_mins}

    def call(record, last_data, last_symbol_dict):
        rebound = dict(bound, last_data=last_data)
        return partial(module._data_fix, **rebound)(record, last_symbol_dict=last_symbol_dict)

    return run(call, [record, ref, prev], lambda args: {})


@pytest.mark.parametrize("seed", range(4))
def test_stock_fix_matches_python(qw, pyref, seed):
    rng = random.Random(seed)
    outcomes = set()
    for _ in range(1500):
        case = stock_case(rng)
        ours, reference = stock_call(qw, case), stock_call(pyref, case)
        compare(ours, reference)
        outcomes.add(reference[0][0] if reference[0][0] == "returned" else reference[0][1])
    assert {"returned", TypeError, ZeroDivisionError, Exception} <= outcomes


@pytest.mark.parametrize("seed", range(4))
def test_future_fix_matches_python(qw, pyref, seed):
    rng = random.Random(100 + seed)
    for _ in range(1500):
        record, ref = future_case(rng)
        results = [
            run(lambda r, d, m=module: partial(m._data_future_fix, last_data=d)(r), [record, ref],
                lambda args: {})
            for module in (qw, pyref)
        ]
        compare(*results)


@pytest.mark.parametrize("seed", range(4))
def test_option_fix_matches_python(qw, pyref, seed):
    rng = random.Random(200 + seed)
    for _ in range(1500):
        case = option_case(rng)
        results = [
            run(lambda r, d, p, m=module: partial(m._data_option_fix, last_data=d)(
                r, last_symbol_dict=p), list(case), lambda args: {})
            for module in (qw, pyref)
        ]
        compare(*results)


def test_realistic_values_take_the_fast_path_exactly(qw, pyref):
    # Reference values as numpy scalars of a float block, live values as Python numbers.
    rng = random.Random(7)
    for _ in range(3000):
        close = round(rng.uniform(1, 200), 2)
        block = np.array([[close, close * 1.1, rng.choice([0.0, 1.0]), 1.0, 1e6, 0.8, close]])
        ref = dict(zip(["close", "high_limit", "is_st", "factor", "volume", "turnover_rate",
                        "avg_price"], block[-1]))
        ref["order_book_id"] = "600000.SH"
        live_close = round(close * rng.uniform(0.9, 1.1), 2)
        volume = rng.choice([0, 100, 2300, 123456])
        record = {"trade_date": pd.Timestamp("2024-03-05 10:31"), "ticker": "600000",
                  "close": live_close, "high": live_close + 0.05, "low": live_close - 0.04,
                  "volume": volume, "turnover": live_close * volume}
        prev = rng.choice([{}, {"close": close, "volume": 500, "avg_price": close,
                                "turnover_rate": 0.01}])
        for rm_mins in ([], ["0930"]):
            case = (record, ref, prev, rm_mins)
            compare(stock_call(qw, case), stock_call(pyref, case))


GETTERS = ["stock_daily_quotation_get", "stock_minute_quotation_get",
           "futures_daily_quotation_get", "futures_minute_quotation_get",
           "option_daily_quotation_get", "option_minute_quotation_get"]


@pytest.mark.parametrize("seed", range(3))
def test_quotation_entry_matches_python(qw, pyref, make_layer, seed):
    rng = random.Random(300 + seed)
    layers = {qw: make_layer(qw), pyref: make_layer(pyref)}
    fields_pool = ["trade_date", "close", "volume", "settle", "high_limit", "prev_close",
                   "avg_price", "turnover_rate", "change", "date"]
    for _ in range(60):
        kind = rng.choice(["CS", "Future", "Option", "Index"])
        fre = rng.choice(["1d", "1m", "5m"])
        fields = ["trade_date"] + rng.sample(fields_pool[1:], rng.randint(0, 4))
        if kind == "Option" and fre == "1d":
            fields[0] = "date"
        rows = rng.randint(0, 3)
        block = np.array([[float(pd.Timestamp("2024-03-04").value)] +
                          [round(rng.uniform(1, 50), 2) for _ in fields[1:]]
                          for _ in range(rows)]).reshape(rows, len(fields))
        minutes = sorted(rng.sample(range(0, 240), rng.randint(0, 5)))
        records = [{"trade_date": pd.Timestamp("2024-03-05 09:30") + pd.Timedelta(minutes=m),
                    "ticker": "600000", "close": round(rng.uniform(1, 50), 2),
                    "volume": float(rng.randint(0, 50)), "turnover": 100.0, "settle": 0.0}
                   for m in minutes]
        results = []
        for module, layer in layers.items():
            layer.records = records
            layer.log.entries.clear()
            caller_fields = list(fields)
            inst = type("Inst", (), {"enum_type": kind, "order_book_id": "600000.SH"})()
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                got = module.quotation_get_remote(inst, "20240305", None, block, fre,
                                                  caller_fields)
            assert caller_fields == fields
            results.append((got is block, got.dtype, repr(got.tolist()), list(layer.log.entries)))
        assert results[0] == results[1]


DROP = "drop the key"  # a text survives the deep copies of run()


class Meddler:
    """A number whose first truth test, conversion or arithmetic changes a record: what the
    fixes read afterwards must be what Python reads afterwards."""

    def __init__(self, value, target, key, new=DROP):
        self.value, self.target, self.key, self.new = value, target, key, new
        self.done = False

    def _meddle(self):
        if not self.done:
            self.done = True
            if self.new == DROP:
                self.target.pop(self.key, None)
            else:
                self.target[self.key] = self.new

    def __bool__(self):
        self._meddle()
        return bool(self.value)

    def __float__(self):
        self._meddle()
        return float(self.value)

    def __round__(self, digits=None):
        self._meddle()
        return round(self.value, digits)

    def _op(fn):
        def method(self, other):
            self._meddle()
            return fn(self.value, other)
        return method

    __add__ = _op(lambda a, b: a + b)
    __radd__ = _op(lambda a, b: b + a)
    __sub__ = _op(lambda a, b: a - b)
    __rsub__ = _op(lambda a, b: b - a)
    __mul__ = _op(lambda a, b: a * b)
    __rmul__ = _op(lambda a, b: b * a)
    __truediv__ = _op(lambda a, b: a / b)
    __rtruediv__ = _op(lambda a, b: b / a)


class Shares(float):
    """A volume of a number type of its own."""


class DroppingRecord(dict):
    """A previous record of its own mapping type (read through its get), whose read of `when`
    drops `key` from the live record: a live value read before must stay alive."""

    def __init__(self, items, target, key, when):
        super().__init__(items)
        self.target, self.key, self.when = target, key, when

    def get(self, key, default=None):
        if key == self.when:
            self.target.pop(self.key, None)
        return super().get(key, default)


def meddling_cases():
    """(fix name, record, reference, previous) with values that change the records mid-fix."""
    cases = []
    when = pd.Timestamp("2024-03-05 10:00")
    # futures: the live close changes the reference settle, then the live settle
    for new in (0.0, np.float64(3500.0), DROP, 7):
        record = {"trade_date": when, "close": None, "settle": 0.0, "high": 2.0, "low": 1.0}
        ref = {"settle": np.float64(3490.0), "close": 3480.0, "buy_margin": 0.1}
        record["close"] = Meddler(3510.0, ref, "settle", new)
        cases.append(("_data_future_fix", record, ref, None))
        record = {"trade_date": when, "close": 3510.0, "high": 2.0, "low": 1.0}
        record["settle"] = Meddler(3505.0, record, "settle", new)  # drops itself when tested
        cases.append(("_data_future_fix", record, dict(ref), None))
    # options: the live close changes the reference close the quote falls back on
    for new in (0.0, np.float64(0.3), DROP):
        record = {"trade_date": when, "volume": 2, "turnover": 52000.0}
        ref = {"close": 0.25, "avg_price": 0.3}
        record["close"] = Meddler(0.31, ref, "close", new)
        cases.append(("_data_option_fix", record, ref, {}))
    # stocks: the limit test changes the close, the volume test changes the previous record
    for new in (0.0, np.float64(9.5), DROP, None):
        record = {"trade_date": when, "ticker": "600000", "close": 10.2, "volume": 100.0,
                  "turnover": 1020.0, "high": 10.3, "low": 10.0}
        ref = {"close": np.float64(10.0), "order_book_id": "600000.SH", "volume": 1000.0,
               "turnover_rate": 0.5, "is_paused": 0.0}
        ref["high_limit"] = Meddler(11.0, ref, "close", new)
        cases.append(("_data_fix", record, ref, {"close": 10.1, "volume": 3.0}))
        record = dict(record, volume=None)
        prev = {"close": 10.1, "volume": 3.0, "turnover_rate": 0.2}
        record["volume"] = Meddler(0, prev, "volume", new)
        cases.append(("_data_fix", record, dict(ref, high_limit=11.0), prev))
        ref = dict(ref, high_limit=11.0)
        ref["close"] = Meddler(10.0, ref, "volume", new)
        cases.append(("_data_fix", dict(record, volume=100.0), ref, {}))
    # stocks: the previous turnover rate's read drops the live volume it is multiplied with,
    # a value of a kind only the record holds (deep copies make new ones)
    record = {"trade_date": when, "ticker": "600000", "close": 10.2, "turnover": 1020.0,
              "high": 10.3, "low": 10.0, "volume": Shares(3.5)}
    ref = {"close": 10.0, "order_book_id": "600000.SH", "volume": 1000.0, "turnover_rate": 0.5,
           "is_paused": 0.0, "high_limit": 11.0}
    prev = DroppingRecord({"close": 10.1, "volume": 3.0, "turnover_rate": 0.2}, record,
                          "volume", "turnover_rate")
    cases.append(("_data_fix", record, ref, prev))
    return cases


@pytest.mark.parametrize("case", range(len(meddling_cases())))
@pytest.mark.parametrize("minute", [False, True])
def test_values_that_change_records_mid_fix(qw, pyref, case, minute):
    name, record, ref, prev = meddling_cases()[case]

    def call(module):
        fix = getattr(module, name)

        def run_fix(record, ref, prev):
            if name == "_data_future_fix":
                return partial(fix, last_data=ref)(record)
            extra = {"rm_mins": ["0930"]} if minute and name == "_data_fix" else {}
            return partial(fix, last_data=ref, **extra)(record, last_symbol_dict=prev)

        outcome, args, warned = run(run_fix, [record, ref, prev], lambda args: {})
        plain = [{k: (v.value if isinstance(v, Meddler) else v) for k, v in d.items()}
                 if isinstance(d, dict) else d for d in args]
        return outcome, plain, warned

    compare(call(qw), call(pyref))
