"""Futures and option record fixes and getters."""

import math

import numpy as np
import pandas as pd
import pytest

# The interpreter's own text, which the record fixes pass on (3.14 dropped "float ").
with pytest.raises(ZeroDivisionError) as _float_division:
    1.0 / 0.0
FLOAT_DIVISION = str(_float_division.value)

MARGIN_KEYS = ["buy_margin", "sell_margin", "flat_fee", "float_fee", "float_today",
               "d1_buy_margin", "d1_sell_margin", "d2_buy_margin", "d2_sell_margin",
               "d3_buy_margin", "d3_sell_margin"]


def ns(text):
    return pd.Timestamp(text).value


def future_bar(time, close=3500.0, **values):
    record = {"trade_date": pd.Timestamp(time), "close": close}
    record.update(values)
    return record


def run_futures(qw, layer, helpers, times, fre="1m"):
    layer.records = [future_bar(t, close=3500.0 + i) for i, t in enumerate(times)]
    fields = ["trade_date", "close", "settle"]
    data = np.array([[ns("2024-03-04"), 3490.0, 3495.0]])
    got = qw.quotation_get_remote(helpers.instrument("Future", "RB2405.SHF"), None, None, data,
                                  fre, fields)
    return [pd.Timestamp(int(v)) for v in got[1:, 0]]


def test_night_session_drops_only_the_first_opening_bar(qw, layer, helpers):
    kept = run_futures(qw, layer, helpers,
                       ["2024-03-04 21:00", "2024-03-04 21:01", "2024-03-05 09:00",
                        "2024-03-05 09:01"])
    assert kept == [pd.Timestamp("2024-03-04 21:01"), pd.Timestamp("2024-03-05 09:00"),
                    pd.Timestamp("2024-03-05 09:01")]
    (reference,) = [r.data_fix_fn.keywords["last_data"] for r in layer.requests]
    assert reference["rm_before_dt"] is True
    assert [str(e) for _, e in layer.dropped] == ["useless value."]


def test_day_session_contract_drops_the_0900_bar(qw, layer, helpers):
    kept = run_futures(qw, layer, helpers, ["2024-03-05 09:00", "2024-03-05 09:01"])
    assert kept == [pd.Timestamp("2024-03-05 09:01")]


def test_financial_futures_open_at_0930(qw, layer, helpers):
    kept = run_futures(qw, layer, helpers, ["2024-03-05 09:30", "2024-03-05 09:31"])
    assert kept == [pd.Timestamp("2024-03-05 09:31")]


def test_daily_futures_bars_are_never_dropped(qw, layer, helpers):
    kept = run_futures(qw, layer, helpers, ["2024-03-05 00:00"], fre="1d")
    assert kept == [pd.Timestamp("2024-03-05")]
    (reference,) = [r.data_fix_fn.keywords["last_data"] for r in layer.requests]
    assert "rm_before_dt" not in reference


def test_each_fetch_has_its_own_marker(qw, layer, helpers):
    assert run_futures(qw, layer, helpers, ["2024-03-05 09:00", "2024-03-05 09:01"]) == [
        pd.Timestamp("2024-03-05 09:01")]
    assert run_futures(qw, layer, helpers, ["2024-03-05 09:00", "2024-03-05 09:01"]) == [
        pd.Timestamp("2024-03-05 09:01")]


def test_future_fix_values(qw):
    ref = {"close": 3480.0, "settle": 3500.0, "open_interest": 1000, "main_contract": 1.0}
    ref.update({k: 0.1 * (i + 1) for i, k in enumerate(MARGIN_KEYS)})
    record = future_bar("2024-03-05 10:00", close=3535.0, settle=3520.0, high=3550.0, low=3480.0,
                        open_interest=1200)
    fixed = qw._data_future_fix(record, ref)
    assert fixed is record
    assert list(fixed)[6:] == ["change", "change1", "amp_rate", "high_limit", "low_limit",
                               "prev_close", "prev_settle", *MARGIN_KEYS, "quote_rate",
                               "main_contract", "pos_change"]
    assert (fixed["change"], fixed["change1"], fixed["settle"]) == (35.0, 20.0, 3520.0)
    assert fixed["amp_rate"] == (3550.0 - 3480.0) / 3500.0 * 100
    assert fixed["quote_rate"] == (3535.0 / 3500.0 - 1) * 100
    assert math.isnan(fixed["high_limit"]) and math.isnan(fixed["low_limit"])
    assert (fixed["prev_close"], fixed["prev_settle"]) == (3480.0, 3500.0)
    assert [fixed[k] for k in MARGIN_KEYS] == [ref[k] for k in MARGIN_KEYS]
    assert (fixed["main_contract"], fixed["pos_change"]) == (1.0, 200)
    assert type(fixed["pos_change"]) is int


@pytest.mark.parametrize("settle", ["missing", 0.0, None])
def test_future_settle_falls_back_to_close(qw, settle):
    record = future_bar("2024-03-05 10:00", close=3510.0)
    if settle != "missing":
        record["settle"] = settle
    fixed = qw._data_future_fix(record, {"settle": 3500.0})
    assert (fixed["settle"], fixed["change1"]) == (3510.0, 10.0)


def test_future_defaults_without_reference(qw):
    fixed = qw._data_future_fix(future_bar("2024-03-05 10:00", close=2.0), {})
    assert fixed["amp_rate"] == 0 and fixed["quote_rate"] == 100.0
    assert [fixed[k] for k in ["prev_close", "prev_settle", "main_contract", *MARGIN_KEYS]] == [0] * 14


@pytest.mark.parametrize("settle", [0.0, 0])
def test_future_zero_reference_settle_divides_by_zero(qw, settle):
    record = future_bar("2024-03-05 10:00", high=1.0, low=0.5)
    with pytest.raises(ZeroDivisionError, match=FLOAT_DIVISION):
        qw._data_future_fix(record, {"settle": settle})
    assert "change" not in record


def option_bar(time, **values):
    record = {"trade_date": pd.Timestamp(time)}
    record.update(values)
    return record


def test_option_minute_drops_every_0930_bar(qw, layer, helpers):
    layer.records = [
        option_bar("2024-03-05 09:30", close=0.26, volume=1.0, turnover=2600.0),
        option_bar("2024-03-05 09:31", close=0.26, volume=2.0, turnover=52000.0),
        option_bar("2024-03-05 09:32", close=0.27, volume=0.0, turnover=0.0),
    ]
    fields = ["trade_date", "avg_price", "prev_settle"]
    data = np.array([[ns("2024-03-04"), 0.24, 0.25]])
    got = qw.quotation_get_remote(helpers.instrument("Option"), None, None, data, "1m", fields)
    assert got[1:].tolist() == [[ns("2024-03-05 09:31"), 2.6, 0.0],
                                [ns("2024-03-05 09:32"), 2.6, 0.0]]
    assert len(layer.dropped) == 1


def test_option_fix_values(qw):
    ref = {"close": 0.20, "settle": 0.25, "avg_price": 0.3}
    when = pd.Timestamp("2024-03-05 10:00")
    record = option_bar(when, close=0.3, settle=0.28, volume=4, turnover=11000, delta=0.5,
                        implied_volatility=0.2, exercise_amount=3, volume_num=7)
    fixed = qw._data_option_fix(record, ref, {})
    assert fixed is record
    assert fixed["change"] == 0.3 - 0.25 and fixed["change1"] == 0.28 - 0.25
    assert (fixed["prev_close"], fixed["prev_settle"], fixed["settle"]) == (0.2, 0.25, 0.28)
    assert fixed["quote"] == 0.3 - 0.25
    assert fixed["quote_rate"] == (0.3 / 0.25 - 1) * 100
    assert fixed["avg_price"] == 11000 / 4 / 10000
    assert fixed["date"] is when
    assert [fixed[k] for k in ["delta", "implied_volatility", "exercise_amount", "volume_num"]] == [
        0.5, 0.2, 3, 7]


def test_option_reference_without_settle_measures_against_close(qw):
    fixed = qw._data_option_fix(option_bar("2024-03-05 10:00", close=0.3, volume=0), {"close": 0.2},
                                {"avg_price": 0.31})
    assert fixed["quote"] == 0.3 - 0.2 and fixed["quote_rate"] == (0.3 / 0.2 - 1) * 100
    assert fixed["change"] == 0.3 and fixed["prev_settle"] == 0
    assert fixed["avg_price"] == 0.31
    assert [fixed[k] for k in ["delta", "implied_volatility", "exercise_amount", "volume_num"]] == [
        0, 0, 0, 0]


@pytest.mark.parametrize("ref", [{"settle": 0.0}, {"close": 0}, {"settle": 0, "close": 1.0}])
def test_option_zero_reference_divides_by_zero(qw, ref):
    record = option_bar("2024-03-05 10:00", close=0.3)
    with pytest.raises(ZeroDivisionError):
        qw._data_option_fix(record, ref, {})
    assert "quote" not in record


@pytest.mark.parametrize("call", [
    lambda qw: qw._data_future_fix({}),
    lambda qw: qw._data_future_fix({}, {}, {}),
    lambda qw: qw._data_option_fix({}, {}),
    lambda qw: qw._data_option_fix({}, last_data={}, symbol_dict={}),
])
def test_fix_signatures(qw, call):
    with pytest.raises(TypeError):
        call(qw)
