"""Times the quotation module against its plain-Python rendition (bench/py_quotewire.py).

Record fixes are called the way the live reader calls them: through the functools.partial the
getter builds (last_data bound by keyword), with the record first and the previous kept record
by keyword. The reference record comes from a float history block (numpy scalars), live
records carry Python floats and a pandas Timestamp, as the data layer delivers them.
"""

import statistics
import time
import types
from functools import partial

import numpy as np
import pandas as pd
import py_quotewire

from varden.mod.stock.data import quotewire
from varden.mod.stock.model import INSTRUMENT_TYPE

STOCK_FIELDS = ["trade_date", "open", "close", "high", "low", "volume", "turnover", "high_limit",
                "low_limit", "prev_close", "factor", "is_paused", "is_st", "avg_price",
                "quote_rate", "turnover_rate", "amp_rate"]
FUTURE_FIELDS = ["trade_date", "open", "close", "high", "low", "volume", "turnover", "settle",
                 "prev_settle", "prev_close", "open_interest", "pos_change", "main_contract",
                 "change", "change1", "quote_rate", "amp_rate", "high_limit", "low_limit",
                 "buy_margin", "sell_margin", "flat_fee", "float_fee", "float_today",
                 "d1_buy_margin", "d1_sell_margin", "d2_buy_margin", "d2_sell_margin",
                 "d3_buy_margin", "d3_sell_margin"]
OPTION_FIELDS = ["trade_date", "open", "close", "high", "low", "volume", "turnover", "settle",
                 "prev_settle", "prev_close", "open_interest", "change", "change1", "quote",
                 "quote_rate", "avg_price", "delta", "implied_volatility", "exercise_amount",
                 "volume_num"]

DAY = pd.Timestamp("2024-03-05")


def reference(fields, values):
    """The reference record as a getter builds it: the last row of a float block."""
    block = np.array([[float(DAY.value - 86400 * 10**9)] + [values.get(f, 1.0) for f in fields[1:]]])
    return dict(zip(fields, block[-1]))


def stock_reference():
    ref = reference(STOCK_FIELDS, {"close": 10.37, "high_limit": 11.41, "low_limit": 9.33,
                                   "volume": 1.2e7, "turnover_rate": 0.83, "is_st": 0.0,
                                   "is_paused": 0.0, "factor": 1.734, "avg_price": 10.29})
    ref["order_book_id"] = "600000.SH"
    return ref


def stock_records(n, first_minute=1):
    rng = np.random.default_rng(1)
    close = np.round(10.37 * np.exp(np.cumsum(rng.normal(0, 0.0013, n))), 2).tolist()
    volume = (np.round(rng.uniform(200, 900, n)) * 100).tolist()
    return [{"trade_date": DAY + pd.Timedelta(hours=9, minutes=30 + first_minute + i),
             "ticker": "600000", "open": c, "close": c, "high": round(c + 0.02, 2),
             "low": round(c - 0.01, 2), "volume": v, "turnover": round(v * c, 2)}
            for i, (c, v) in enumerate(zip(close, volume))]


def future_records(n):
    rng = np.random.default_rng(2)
    close = np.round(3600 * np.exp(np.cumsum(rng.normal(0, 0.0009, n)))).tolist()
    return [{"trade_date": DAY + pd.Timedelta(hours=9, minutes=1 + i), "ticker": "RB2405",
             "open": c, "close": c, "high": c + 2.0, "low": c - 1.0, "volume": 350.0,
             "turnover": 350.0 * c * 10, "settle": c - 1.0, "open_interest": 150000.0 + i}
            for i, c in enumerate(close)]


def option_records(n):
    return [{"trade_date": DAY + pd.Timedelta(hours=9, minutes=31 + i),
             "ticker": "10006789", "open": 0.2512, "close": 0.2523, "high": 0.2531,
             "low": 0.2507, "volume": 12.0, "turnover": 30276.0, "settle": 0.2519,
             "delta": 0.5123, "implied_volatility": 0.2213, "exercise_amount": 0.0,
             "volume_num": 3.0} for i in range(n)]


def per_call_us(fix, records, previous, repeat=9, batch=200):
    """Median over `repeat` runs of the time per call, in us. Each batch of records is copied
    fresh just before it is timed (the reader hands over new dicts, still in cache); the call
    is made exactly as the reader makes it."""
    runs = []
    for _ in range(repeat):
        total = 0
        for start in range(0, len(records), batch):
            fresh = [dict(r) for r in records[start:start + batch]]
            if previous is None:
                t0 = time.perf_counter_ns()
                for record in fresh:
                    fix(record)
            else:
                t0 = time.perf_counter_ns()
                for record in fresh:
                    fix(record, last_symbol_dict=previous)
            total += time.perf_counter_ns() - t0
        runs.append(total / len(records) / 1000)
    return statistics.median(runs)


def outputs(fix, records, previous):
    """The fixed records, values as text (NaN equal to NaN, types shown for numpy scalars)."""
    call = (lambda r: fix(r)) if previous is None else (lambda r: fix(r, last_symbol_dict=previous))
    return [{k: repr(v) for k, v in call(dict(r)).items()} for r in records]


def bench_fix(name, make_fix, records, previous):
    same = outputs(make_fix(quotewire), records[:200], previous) == outputs(
        make_fix(py_quotewire), records[:200], previous)
    assert same, f"{name}: results differ from the Python rendition"
    ours = per_call_us(make_fix(quotewire), records, previous)
    python = per_call_us(make_fix(py_quotewire), records, previous)
    print(f"{name}: ours {ours:.3f} us, python {python:.3f} us, ratio {python / ours:.1f}")
    return ours, python


def fixes():
    n = 20000
    stock_ref = stock_reference()
    stock = stock_records(200) * (n // 200)
    previous = quotewire._data_fix(dict(stock[0]), stock_ref, {}, ["0930"])

    def stock_minute(module):
        return partial(module._data_fix, last_data=stock_ref, rm_mins=["0930"])

    daily_ref = dict(stock_ref, pre_field_fn=lambda x: x)

    def stock_daily(module):
        return partial(module._data_fix, last_data=daily_ref)

    future_ref = reference(FUTURE_FIELDS, {"close": 3598.0, "settle": 3601.0,
                                           "open_interest": 149000.0, "buy_margin": 0.1,
                                           "sell_margin": 0.1, "main_contract": 1.0})
    # The marker is set by the first opening bar of a fetch; later bars only test for it.
    future_ref["rm_before_dt"] = True

    def future_minute(module):
        return partial(module._data_future_fix, last_data=future_ref)

    option_ref = reference(OPTION_FIELDS, {"close": 0.2498, "settle": 0.2501,
                                           "avg_price": 0.2490})

    def option_minute(module):
        return partial(module._data_option_fix, last_data=option_ref)

    results = {
        "_data_fix minute": bench_fix("_data_fix minute", stock_minute, stock, previous),
        "_data_fix daily": bench_fix("_data_fix daily", stock_daily, stock, {}),
        "_data_future_fix": bench_fix("_data_future_fix", future_minute,
                                      future_records(200) * (n // 200), None),
        "_data_option_fix": bench_fix("_data_option_fix", option_minute,
                                      option_records(200) * (n // 200), {}),
    }
    return results, stock, stock_ref, previous


def where_the_time_goes(stock, stock_ref, previous):
    """Pieces of a fix call timed on their own: the call boundary, the bar-time formatting the
    compiled fixes avoid, and the record update that both implementations must make."""

    def noop(symbol_dict, last_data, last_symbol_dict, rm_mins=None):
        return symbol_dict

    stock_fields = {k: previous[k] for k in ["high_limit", "low_limit", "factor", "prev_close",
                                             "is_paused", "is_st", "avg_price", "quote_rate",
                                             "turnover_rate", "amp_rate"]}
    futures = future_records(200) * 100
    future_fields = partial(quotewire._data_future_fix, last_data={})(dict(futures[0]))
    future_fields = {k: v for k, v in future_fields.items() if k not in futures[0] or k == "settle"}
    steps = [
        ("partial call of an empty Python function",
         partial(noop, last_data=stock_ref, rm_mins=["0930"]), stock, previous),
        ("Timestamp.strftime('%H%M') (plus a lambda call)",
         lambda record: record["trade_date"].strftime("%H%M"), stock, None),
        ("stock record update, 10 keys (plus a lambda call)",
         lambda record: record.update(stock_fields), stock, None),
        ("futures record update, 22 keys (plus a lambda call)",
         lambda record: record.update(future_fields), futures, None),
    ]
    for name, call, records, prev in steps:
        print(f"  step {name}: {per_call_us(call, records, prev):.3f} us")


class FakeReader:
    """The live reader over 240 prepared minute records: fixes each (dropping on exceptions)
    and builds the frame, as the data layer does."""

    records = []

    def __init__(self, log, request):
        self.request = request

    def get_real_data(self, start, end, date_type):
        fix = self.request.data_fix_fn
        kept, previous = [], {}
        for record in [dict(r) for r in self.records]:
            try:
                record = fix(record, last_symbol_dict=previous)
            except Exception:
                continue
            kept.append(record)
            previous = record
        return pd.DataFrame(kept) if kept else None


class FakeRequest:
    def __init__(self, instrument, data_fix_fn=None, **extra):
        self.data_fix_fn = data_fix_fn


def merge():
    FakeReader.records = stock_records(241, first_minute=0)  # 09:30 is dropped: 240 bars
    rng = np.random.default_rng(3)
    block = rng.uniform(9, 11, (5000, len(STOCK_FIELDS)))
    block[:, 0] = float(DAY.value - 86400 * 10**9)
    instrument = types.SimpleNamespace(enum_type=INSTRUMENT_TYPE.CS, order_book_id="600000.SH")
    for module in (quotewire, py_quotewire):
        module.RealData = FakeReader
        module.StockBaseDataRequest = FakeRequest
        module._real_factor = lambda symbol: None

    def run(module):
        runs = []
        for _ in range(15):
            start = time.perf_counter_ns()
            out = module.quotation_get_remote(instrument, DAY, DAY + pd.Timedelta(hours=14),
                                              block, "1m", STOCK_FIELDS)
            runs.append((time.perf_counter_ns() - start) / 1000)
        assert out.shape == (5240, len(STOCK_FIELDS))
        return statistics.median(runs), out

    ours, ours_out = run(quotewire)
    python, python_out = run(py_quotewire)
    assert np.array_equal(ours_out, python_out)
    print(f"quotation_get_remote 240 bars onto 5000 rows: ours {ours:.0f} us, "
          f"python {python:.0f} us, ratio {python / ours:.2f}")

    # Where the merge spends its time (the Python rendition's steps, timed one by one).
    ref = py_quotewire._stock_reference(instrument, STOCK_FIELDS, block)
    fix = partial(py_quotewire._data_fix, last_data=ref, rm_mins=["0930"])
    records = [dict(r) for r in FakeReader.records]
    t0 = time.perf_counter_ns()
    kept, previous = [], {}
    for record in records:
        try:
            record = fix(record, last_symbol_dict=previous)
        except Exception:
            continue
        kept.append(record)
        previous = record
    t1 = time.perf_counter_ns()
    frame = pd.DataFrame(kept)
    t2 = time.perf_counter_ns()
    index = pd.DatetimeIndex(frame["trade_date"])
    frame["trade_date"] = index.as_unit("ns").astype(np.int64)
    t3 = time.perf_counter_ns()
    values = frame[STOCK_FIELDS].values
    t4 = time.perf_counter_ns()
    np.concatenate((block, values))
    t5 = time.perf_counter_ns()
    for name, ns in [("240 Python record fixes", t1 - t0), ("reader's DataFrame of 240 records",
                                                             t2 - t1),
                     ("date column to int64", t3 - t2), ("column selection .values", t4 - t3),
                     ("np.concatenate", t5 - t4)]:
        print(f"  step {name}: {ns / 1000:.0f} us")


def main():
    results, stock, stock_ref, previous = fixes()
    where_the_time_goes(stock, stock_ref, previous)
    merge()
    slow = [name for name, (ours, python) in results.items() if python / ours < 5]
    if slow:
        print("below the 5x target:", ", ".join(slow))


if __name__ == "__main__":
    main()
