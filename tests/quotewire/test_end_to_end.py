"""Through the data layer's own live reader, request classes and extra store, on the sample
store: a history block from the store's daily bars is completed with the live session of the
last closed trading day, seen at 14:00 of that day."""

import math
import types

import numpy as np
import pandas as pd
import pytest
from cachetools import TTLCache

fast_data_source = pytest.importorskip("varden.mod.stock.data.fast_data_source")
data_proxy = pytest.importorskip("varden.mod.stock.data.data_proxy")
extra_hdf_store = pytest.importorskip("varden.mod.kelpie.data.extra_hdf_store")


class RecordingLog:
    def __init__(self):
        self.entries = []

    def error(self, *args, **kwargs):
        self.entries.append((args, kwargs))

    info = error


@pytest.fixture(scope="module")
def source():
    return fast_data_source.FastDataSource()


@pytest.fixture(scope="module")
def day(source):
    return data_proxy.DataProxy(source).previous_execution_day(pd.Timestamp.now())


@pytest.fixture
def live(qw, monkeypatch, source, day):
    now = day + pd.Timedelta("14:00:00")
    # One clock for the reader's session cut and the module's factor day.
    monkeypatch.setattr(pd.Timestamp, "now", lambda *args, **kwargs: now)
    monkeypatch.setattr(qw, "real_factor_cache", TTLCache(maxsize=10240, ttl=72000))
    log = RecordingLog()
    monkeypatch.setattr(qw, "system_log", log)
    return types.SimpleNamespace(day=day, now=now, log=log)


def history(source, code, day, value_fields):
    """The last five closed bars before `day` as a float block, dates as nanoseconds."""
    frame = source.history_window(code, (day - pd.Timedelta(days=1)).value, 5, "1d",
                                  value_fields, False, None)
    dates = frame.index.values.astype("datetime64[ns]").astype(np.int64).astype(float)
    return np.column_stack([dates, frame[value_fields].to_numpy()])


def rows(block, fields, start=0):
    return [dict(zip(fields, row)) for row in block[start:]]


def stamps(block, start):
    return [pd.Timestamp(int(v)) for v in block[start:, 0]]


STOCK_FIELDS = ["close", "high", "low", "volume", "high_limit", "low_limit", "prev_close",
                "factor", "is_paused", "is_st", "avg_price", "quote_rate", "turnover_rate",
                "amp_rate"]


def todays_factor(code, day):
    with extra_hdf_store.ExtraHDFStore() as store:
        frame = store.read("select factor from last_stock_factor where symbol = '{}' and "
                           "trade_date = '{}';".format(code, day.strftime("%Y-%m-%d")))
    return float(frame["factor"].iloc[0])


def test_stock_minutes(qw, live, source):
    code = "000001.SZ"
    fields = ["trade_date"] + STOCK_FIELDS
    block = history(source, code, live.day, STOCK_FIELDS)
    got = qw.quotation_get_remote(source.instrument(code), live.day, live.now, block, "1m",
                                  fields)
    assert live.log.entries == []
    assert np.array_equal(got[:5], block)
    times = stamps(got, 5)
    assert times[0] == live.day + pd.Timedelta("09:31:00") and times[-1] == live.now
    assert len(times) == 120 + 60  # 09:31-11:30 and 13:01-14:00; the 09:30 bar is dropped
    last = rows(block, fields)[-1]
    margin = 0.05 if last["is_st"] else 0.1
    new = rows(got, fields, 5)
    factor = todays_factor(code, live.day)
    for previous, row in zip([None] + new[:-1], new):
        assert row["high_limit"] == round(last["close"] * (1 + margin), 2)
        assert row["low_limit"] == round(last["close"] * (1 - margin), 2)
        assert row["factor"] == factor
        assert row["prev_close"] == (previous or last)["close"]
        assert row["quote_rate"] == pytest.approx((row["close"] / last["close"] - 1) * 100)
        assert row["is_paused"] in (0.0, last["is_paused"])
    assert new[0]["turnover_rate"] == pytest.approx(
        new[0]["volume"] * last["turnover_rate"] / last["volume"])


def test_stock_day(qw, live, source):
    code = "000001.SZ"
    fields = ["trade_date"] + STOCK_FIELDS
    block = history(source, code, live.day, STOCK_FIELDS)
    got = qw.quotation_get_remote(source.instrument(code), live.day, live.now, block, "1d",
                                  fields)
    assert live.log.entries == []
    assert stamps(got, 5) == [live.day]
    (today,) = rows(got, fields, 5)
    last = rows(block, fields)[-1]
    events = source._dividends.get_pre_with_symbol(code, live.day.value, live.day.value)
    if events:
        (_, amount, ratio, split, price, num, cash, cnum, ssn) = events[0]
        expected = round((last["close"] - amount + price * num - cash)
                         / (ratio + 1 / split + num + cnum) / ssn * 100) / 100
    else:
        expected = last["close"]
    assert today["prev_close"] == expected
    assert today["factor"] == todays_factor(code, live.day)


FUTURE_FIELDS = ["close", "settle", "prev_settle", "open_interest", "pos_change", "change",
                 "quote_rate", "high_limit", "buy_margin", "d3_sell_margin"]


def test_night_session_futures(qw, live, source):
    proxy = data_proxy.DataProxy(source)
    code = next(c for c in proxy.get_future_contracts("RB", live.day)
                if source.instrument(c).night_session)
    fields = ["trade_date"] + FUTURE_FIELDS
    block = history(source, code, live.day, FUTURE_FIELDS)
    got = qw.quotation_get_remote(source.instrument(code), live.day, live.now, block, "1m",
                                  fields)
    assert live.log.entries == []
    times = stamps(got, 5)
    evening = proxy.previous_execution_day(live.day) + pd.Timedelta("21:00:00")
    assert times[0] == evening + pd.Timedelta(minutes=1)  # the 21:00 bar is dropped
    assert live.day + pd.Timedelta("09:00:00") in times  # later opening bars stay
    last = rows(block, fields)[-1]
    for row in rows(got, fields, 5):
        assert math.isnan(row["high_limit"])
        assert row["prev_settle"] == last["settle"]
        assert row["change"] == pytest.approx(row["close"] - last["settle"])
        assert row["buy_margin"] == last["buy_margin"]
        assert row["pos_change"] == row["open_interest"] - last["open_interest"]


def test_option_minutes(qw, live, source):
    code = next(i.order_book_id for i in source.get_all_instruments()
                if i.type == "option" and i.listed_on(live.day))
    value_fields = ["close", "settle", "prev_settle", "avg_price", "delta", "quote"]
    fields = ["trade_date"] + value_fields
    block = history(source, code, live.day, value_fields)
    got = qw.quotation_get_remote(source.instrument(code), live.day, live.now, block, "1m",
                                  fields)
    assert live.log.entries == []
    times = stamps(got, 5)
    assert times[0] == live.day + pd.Timedelta("09:31:00") and len(times) == 180
    last = rows(block, fields)[-1]
    for row in rows(got, fields, 5):
        assert row["prev_settle"] == last["settle"]
        assert row["quote"] == pytest.approx(row["close"] - last["settle"])
