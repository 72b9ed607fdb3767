"""Stock record fix and the stock getters."""

import inspect
import math

import numpy as np
import pandas as pd
import pytest

# The interpreter's own text, which the record fixes pass on (3.14 dropped "float ").
with pytest.raises(ZeroDivisionError) as _float_division:
    1.0 / 0.0
FLOAT_DIVISION = str(_float_division.value)


def bar(time, **values):
    record = {"trade_date": pd.Timestamp(time), "ticker": "600000"}
    record.update(values)
    return record


def reference(**values):
    ref = {"close": 10.0, "high_limit": 11.0, "order_book_id": "600000.SH", "is_st": 0.0,
           "is_paused": 0.0, "factor": 2.0, "volume": 1000.0, "turnover_rate": 0.5,
           "avg_price": 9.9}
    ref.update(values)
    return ref


@pytest.mark.parametrize(
    "ticker, order_book_id, is_st, high, low",
    [
        ("600000", "600000.SH", 0.0, 11.0, 9.0),
        ("000001", "000001.SZ", None, 11.0, 9.0),
        ("300750", "300750.SZ", 0.0, 12.0, 8.0),
        ("688001", "688001.SH", 1.0, 12.0, 8.0),
        ("689009", "689009.SH", 0.0, 12.0, 8.0),
        ("830799", "830799.BJ", 0.0, 13.0, 7.0),
        ("830799", "830799.BJ", 1.0, 13.0, 7.0),
        ("600001", "600001.SH", 1.0, 10.5, 9.5),
    ],
)
def test_limits_by_board(qw, ticker, order_book_id, is_st, high, low):
    record = bar("2024-03-05 10:00", ticker=ticker, close=10.2, volume=10.0, turnover=102.0)
    ref = reference(order_book_id=order_book_id, is_st=is_st)
    fixed = qw._data_fix(record, ref, {})
    assert fixed is record
    assert (fixed["high_limit"], fixed["low_limit"]) == (high, low)
    assert fixed["is_st"] == is_st


@pytest.mark.parametrize("high_limit", ["missing", None, 0.0, 0])
def test_no_limits_without_a_reference_limit(qw, high_limit):
    ref = reference(order_book_id=None)  # never consulted without a limit
    if high_limit == "missing":
        del ref["high_limit"]
    else:
        ref["high_limit"] = high_limit
    fixed = qw._data_fix(bar("2024-03-05 10:00", close=1.0, volume=1.0), ref, {})
    assert math.isnan(fixed["high_limit"]) and math.isnan(fixed["low_limit"])


def test_limits_round_half_to_even_on_the_stored_value(qw):
    # 2.675 * 1.1 and similar products are stored just below or above the tie.
    for close in (2.675, 1.005, 0.125, 3.3, 17.77):
        fixed = qw._data_fix(bar("2024-03-05 10:00", volume=1.0), reference(close=close), {})
        assert fixed["high_limit"] == round(close * 1.1, 2)
        assert fixed["low_limit"] == round(close * 0.9, 2)


@pytest.mark.parametrize("kind", [float, np.float64])
@pytest.mark.parametrize("close, ticker, is_st, high, low", [
    (1.95, "600000", 0.0, 2.15, 1.75),  # stored 2.14500000000000001776, 1.75499999999999989341
    (2.05, "600000", 0.0, 2.25, 1.84),  # stored 2.25499999999999989341
    (0.85, "600000", 0.0, 0.94, 0.77),  # stored 0.76500000000000001332
    (3.15, "600000", 0.0, 3.47, 2.83),  # stored 2.83499999999999996447
    (4.45, "300750", 0.0, 5.34, 3.56),
    (2.675, "600001", 1.0, 2.81, 2.54),
])
def test_limits_of_every_float_kind_round_the_stored_value(qw, kind, close, ticker, is_st, high,
                                                         low):
    # numpy's own round scales by 100 first and gets the first four the wrong way.
    record = bar("2024-03-05 10:00", ticker=ticker, volume=1.0)
    fixed = qw._data_fix(record, reference(close=kind(close), is_st=is_st), {})
    got = [(type(fixed[k]), fixed[k]) for k in ("high_limit", "low_limit")]
    assert got == [(kind, high), (kind, low)]


def test_minute_mode_reads_previous_bar(qw):
    ref = reference()
    first = qw._data_fix(bar("2024-03-05 09:31", close=10.2, high=10.3, low=9.9, volume=100.0,
                             turnover=1020.0), ref, {}, ["0930"])
    assert first["prev_close"] == 10.0
    assert first["amp_rate"] == pytest.approx((10.3 - 9.9) / 10.0 * 100)
    assert first["turnover_rate"] == 100.0 * 0.5 / 1000.0
    second = qw._data_fix(bar("2024-03-05 09:32", close=10.4, high=10.5, low=10.0, volume=50.0,
                              turnover=520.0), ref, first, ["0930"])
    assert second["prev_close"] == 10.2
    assert second["amp_rate"] == (10.5 - 10.0) / 10.2 * 100
    assert second["quote_rate"] == (10.4 / 10.0 - 1) * 100  # against the historical close
    assert second["turnover_rate"] == 50.0 * first["turnover_rate"] / 100.0
    assert second["avg_price"] == 520.0 / 50.0


def test_daily_mode_applies_the_pre_field_function(qw):
    ref = reference(close=10.0, pre_field_fn=lambda x: x * 0.95)
    fixed = qw._data_fix(bar("2024-03-05 15:00", close=9.6, volume=1.0), ref, {"close": 1.0})
    assert fixed["prev_close"] == 9.5
    del ref["pre_field_fn"]
    fixed = qw._data_fix(bar("2024-03-05 15:00", close=9.6, volume=1.0), ref, {"close": 1.0})
    assert fixed["prev_close"] == 10.0


def test_zero_volume_after_trading_bar_takes_over_previous_values(qw):
    ref = reference(is_paused=1.0)
    previous = {"close": 10.1, "volume": 20.0, "avg_price": 10.05, "turnover_rate": 0.01}
    fixed = qw._data_fix(bar("2024-03-05 10:00", close=10.1, volume=0.0, turnover=0.0), ref,
                         previous, ["0930"])
    assert fixed["is_paused"] == 0.0 and type(fixed["is_paused"]) is float
    assert fixed["avg_price"] == 10.05
    assert fixed["turnover_rate"] == 0.01


@pytest.mark.parametrize(
    "is_paused, expected",
    [(1, 1.0), (np.float64(0.0), 0.0), ("1", 1.0), (True, 1.0)],
)
def test_paused_flag_from_reference_when_nothing_traded(qw, is_paused, expected):
    fixed = qw._data_fix(bar("2024-03-05 10:00", volume=0), reference(is_paused=is_paused), {})
    assert fixed["is_paused"] == expected and type(fixed["is_paused"]) is float
    assert fixed["avg_price"] == 9.9  # from the reference, no previous bar
    assert fixed["turnover_rate"] == 0.5


def test_untraded_volume_without_reference_volume_falls_back_to_rate_one(qw):
    ref = reference(volume=0.0)
    del ref["turnover_rate"]
    fixed = qw._data_fix(bar("2024-03-05 10:00", volume=5.0), ref, {})
    assert fixed["turnover_rate"] == 1


@pytest.mark.parametrize(
    "record, ref, previous, error, message",
    [
        (dict(volume=0), dict(is_paused=None), {},
         TypeError, "float() argument must be a string or a real number, not 'NoneType'"),
        (dict(volume=1.0, close=1.0), dict(close=0.0, high_limit=0), {},
         ZeroDivisionError, FLOAT_DIVISION),
        (dict(volume=1, high=1, low=1), dict(close=0, high_limit=0), {"close": 0},
         ZeroDivisionError, "division by zero"),
        (dict(volume=1.0), dict(close=None), {},
         TypeError, "unsupported operand type(s) for *: 'NoneType' and 'float'"),
    ],
)
def test_arithmetic_errors_leave_the_record_untouched(qw, record, ref, previous, error, message):
    live = bar("2024-03-05 10:00", **record)
    before = dict(live)
    with pytest.raises(error) as raised:
        qw._data_fix(live, reference(**ref), previous)
    assert str(raised.value) == message
    assert live == before


def test_discard_signal_and_shared_default(qw):
    default = inspect.signature(qw._data_fix).parameters["rm_mins"].default
    assert default == [] and isinstance(default, list)
    with pytest.raises(Exception) as raised:
        qw._data_fix(bar("2024-03-05 09:30"), reference(), {}, rm_mins=["0930"])
    assert type(raised.value) is Exception and raised.value.args == ("useless value.",)
    qw._data_fix(bar("2024-03-05 09:30", volume=1.0), reference(), {})
    assert inspect.signature(qw._data_fix).parameters["rm_mins"].default is default == []


class NotADatetime:
    """A bar time that only knows strftime (the fix falls back to it)."""

    def __init__(self, text):
        self.text = text
        self.formats = []

    def strftime(self, fmt):
        self.formats.append(fmt)
        return self.text


def test_bar_time_without_datetime_fields_uses_strftime(qw):
    when = NotADatetime("1130")
    with pytest.raises(Exception, match="useless value."):
        qw._data_fix({"trade_date": when}, reference(), {}, ["1130"])
    assert when.formats == ["%H%M"]
    when = NotADatetime("1131")
    assert qw._data_fix({"trade_date": when, "ticker": "600000", "volume": 1.0}, reference(), {},
                        ("1130",))["prev_close"] == 10.0
    with pytest.raises(KeyError):
        qw._data_fix({"ticker": "600000"}, reference(), {})


@pytest.mark.parametrize("call", [
    lambda f: f({}, {}),
    lambda f: f({}, {}, {}, [], 1),
    lambda f: f({}, {}, {}, last_data={}),
])
def test_signature_errors(qw, call):
    with pytest.raises(TypeError):
        call(qw._data_fix)


def _fields(*extra):
    return ["trade_date", "close", "high_limit", "volume", "turnover_rate", "prev_close",
            "quote_rate", "amp_rate", "avg_price", "is_paused", *extra]


def _block(fields, **values):
    row = {"trade_date": pd.Timestamp("2024-03-04").value, "close": 10.0, "high_limit": 11.0,
           "volume": 1000.0, "turnover_rate": 0.5, "factor": 3.0, "is_paused": 0.0,
           "order_book_id": 0.0}
    row.update(values)
    return np.array([[float(row.get(f, 0.0)) for f in fields]])


def test_minute_getter_drops_0930_and_starts_from_history(qw, layer, helpers):
    layer.records = [
        bar("2024-03-05 09:30", close=10.1, high=10.1, low=10.1, volume=10.0, turnover=101.0),
        bar("2024-03-05 09:31", close=10.2, high=10.4, low=10.0, volume=100.0, turnover=1030.0),
        bar("2024-03-05 09:32", close=10.3, high=10.3, low=10.2, volume=0.0, turnover=0.0),
    ]
    fields = _fields()
    got = qw.stock_minute_quotation_get(helpers.instrument(), None, None, fields, _block(fields))
    rows = [dict(zip(fields, r)) for r in got[1:]]
    assert [r["trade_date"] for r in rows] == [pd.Timestamp("2024-03-05 09:31").value,
                                                pd.Timestamp("2024-03-05 09:32").value]
    first, second = rows
    assert first["prev_close"] == 10.0
    assert first["amp_rate"] == (10.4 - 10.0) / 10.0 * 100
    assert (first["high_limit"], first["avg_price"]) == (11.0, 10.3)
    assert second["prev_close"] == 10.2
    assert (second["avg_price"], second["is_paused"]) == (10.3, 0.0)
    assert second["turnover_rate"] == first["turnover_rate"] == 100.0 * 0.5 / 1000.0
    assert [r[0]["trade_date"].strftime("%H%M") for r in layer.dropped] == ["0930"]


@pytest.mark.parametrize("today, expected", [(1.25, 1.25), (None, 3.0), (0.0, 3.0)])
def test_factor_of_today_or_history(qw, layer, helpers, monkeypatch, today, expected):
    asked = []
    monkeypatch.setattr(qw, "_real_factor", lambda symbol: asked.append(symbol) or today)
    layer.records = [bar("2024-03-05 10:00", close=10.0, volume=1.0)]
    fields = _fields("factor")
    got = qw.stock_minute_quotation_get(helpers.instrument("CS", "000002.SZ"), None, None,
                                        fields, _block(fields))
    assert asked == ["000002.SZ"]
    assert got[-1][fields.index("factor")] == expected


def test_factor_not_asked_when_not_a_field(qw, layer, helpers, monkeypatch):
    monkeypatch.setattr(qw, "_real_factor", lambda symbol: pytest.fail("asked for a factor"))
    monkeypatch.setattr(qw, "_real_pre_field", lambda symbol: pytest.fail("asked for events"))
    layer.records = [bar("2024-03-05 15:00", close=10.0, volume=1.0)]
    fields = ["trade_date", "close"]
    got = qw.stock_daily_quotation_get(helpers.instrument(), None, None, fields, _block(fields))
    assert got.shape == (2, 2)
    (request,) = layer.requests
    assert "factor" not in request.data_fix_fn.keywords["last_data"]


def test_daily_getter_prev_close_from_the_day_event(qw, layer, helpers, monkeypatch):
    asked = []
    monkeypatch.setattr(qw, "_real_pre_field",
                        lambda symbol: asked.append(symbol) or (lambda x: round(x - 0.5, 2)))
    layer.records = [bar("2024-03-05 15:00", close=9.8, high=9.9, low=9.4, volume=100.0,
                         turnover=970.0)]
    fields = _fields()
    got = qw.stock_daily_quotation_get(helpers.instrument(), None, None, fields, _block(fields))
    row = dict(zip(fields, got[-1]))
    assert asked == ["600000.SH"]
    assert row["prev_close"] == 9.5
    assert row["trade_date"] == pd.Timestamp("2024-03-05").value
    assert row["amp_rate"] == pytest.approx(5.0)  # daily: divisor is the historical close


def test_daily_getter_without_prev_close_field(qw, layer, helpers, monkeypatch):
    monkeypatch.setattr(qw, "_real_pre_field", lambda symbol: pytest.fail("asked for events"))
    layer.records = [bar("2024-03-05 15:00", close=9.8, volume=100.0, turnover=970.0)]
    fields = ["trade_date", "close", "volume"]
    qw.stock_daily_quotation_get(helpers.instrument(), None, None, fields, _block(fields))
    (request,) = layer.requests
    assert "pre_field_fn" not in request.data_fix_fn.keywords["last_data"]
    assert layer.dropped == []


def test_order_book_id_column_is_replaced_in_reference(qw, layer, helpers):
    layer.result = None
    fields = ["trade_date", "order_book_id"]
    qw.stock_minute_quotation_get(helpers.instrument("CS", "430047.BJ"), None, None, fields,
                                  _block(fields))
    (request,) = layer.requests
    assert request.data_fix_fn.keywords["last_data"]["order_book_id"] == "430047.BJ"
