from contextlib import closing

import pandas as pd
import pytest

from varden.mod.stock.data.fast_data_source import SPOT_FIELDS, FUTURE_FIELDS
from varden.mod.stock.data.sample_series import pre_close_reference
from varden.mod.stock.data.sample_store import open_store
from varden.mod.stock.model import INSTRUMENT_TYPE

OHLCV = ["open", "close", "high", "low", "volume"]


def ns(day):
    return pd.Timestamp(day).value


@pytest.fixture(scope="module")
def event():
    """A stock's capital event with bars on both sides: (code, ex-date, 9 values)."""
    with closing(open_store()) as conn:
        start, end = (conn.execute("SELECT value FROM meta WHERE key = ?", (k,)).fetchone()[0]
                      for k in ("bars_start", "bars_end"))
        row = conn.execute(
            "SELECT * FROM dividends WHERE ex_date > date(?, '+30 days') AND ex_date < "
            "date(?, '-30 days') AND dividend_ratio > 0 ORDER BY ex_date LIMIT 1",
            (start, end)).fetchone()
    return row[0], pd.Timestamp(row[1]), row[2:]


@pytest.mark.parametrize("step, count, fields, rows, columns", [
    ("1d", 5, None, 5, list(SPOT_FIELDS)),
    ("1d", 1, ["close"], 1, ["close"]),
    ("5d", 3, OHLCV, 3, OHLCV),
    ("3d", 2, None, 2, ["open", "close", "high", "low", "volume", "turnover"]),
])
def test_history_window_shapes(source, last_day, step, count, fields, rows, columns):
    frame = source.history_window("000001.SZ", ns(last_day), count, step, fields, False, "pre")
    assert frame.shape == (rows, len(columns)) and list(frame.columns) == columns
    assert isinstance(frame.index, pd.DatetimeIndex) and frame.index.name == "datetime"
    assert frame.index[-1] == last_day and frame.index.is_monotonic_increasing
    assert (frame.dtypes == float).all()


def test_futures_bars_have_the_futures_fields(source, proxy, last_day):
    code = proxy.get_future_contracts("IF", last_day)[0]
    frame = source.history_window(code, ns(last_day), 2, "1d", None, False, None)
    assert list(frame.columns) == list(FUTURE_FIELDS)
    assert frame["buy_margin"].tolist() == [0.12, 0.12]
    assert (frame["high_limit"].isna()).all()


def test_several_days_combine_from_the_last_bar(source, last_day):
    daily = source.history_window("600001.SH", ns(last_day), 10, "1d", OHLCV, False, None)
    weekly = source.history_window("600001.SH", ns(last_day), 2, "5d", OHLCV, False, None)
    for stamp, group in zip(weekly.index, (daily.iloc[:5], daily.iloc[5:])):
        assert stamp == group.index[-1]
        assert weekly.loc[stamp].tolist() == [group["open"].iloc[0], group["close"].iloc[-1],
                                              group["high"].max(), group["low"].min(),
                                              group["volume"].sum()]


def test_start_selects_every_bar_from_that_day(source, last_day, proxy):
    start = proxy.ensure_execution_day(last_day, -1, -6)
    frame = source.history_window("600001.SH", ns(last_day), 0, "1d", ["close"], False, None,
                                  ns(start))
    assert list(frame.index) == list(proxy.all_execution_days[
        proxy.all_execution_days.slice_indexer(start, last_day)])


def test_fq_scales_prices_by_the_factors(source, event):
    code, ex_date, _ = event
    end = ex_date + pd.Timedelta(days=10)
    fields = ["close", "prev_close", "volume", "factor"]
    start = ns(ex_date - pd.Timedelta(days=10))
    raw, pre, post = (source.history_window(code, ns(end), 0, "1d", fields, False, fq, start)
                      for fq in (None, "pre", "post"))
    before, after = raw[raw.index < ex_date], raw[raw.index >= ex_date]
    assert after["factor"].iloc[0] > before["factor"].iloc[-1]
    assert (post["close"] == raw["close"] * raw["factor"]).all()
    assert (pre["close"] == raw["close"] * raw["factor"] / raw["factor"].iloc[-1]).all()
    assert pre["close"][after.index].tolist() == pytest.approx(after["close"].tolist())
    assert (pre["volume"] == raw["volume"]).all()
    # the adjusted series is continuous across the ex-date
    assert pre.loc[ex_date, "prev_close"] == pytest.approx(pre.loc[before.index[-1], "close"])


def test_capital_events_in_a_range(source, event):
    code, ex_date, values = event
    day = pd.Timedelta(days=1)
    dividends = source._dividends
    found = dividends.get_pre_with_symbol(code, ns(ex_date), ns(ex_date + 15 * day / 24))
    assert found == [(ns(ex_date),) + tuple(values)]
    assert dividends.get_pre_with_symbol(code, ns(ex_date + day), ns(ex_date + 300 * day)) == []
    earlier = dividends.get_pre_with_symbol(code, ns(ex_date - 400 * day), ns(ex_date - day))
    assert [pd.Timestamp(e[0]).year for e in earlier] == [ex_date.year - 1]
    # the bar of the ex-date carries the event's ex-rights reference price
    bars = source.history_window(code, ns(ex_date), 2, "1d", ["close", "prev_close"], False, None)
    assert bars["prev_close"].iloc[-1] == pre_close_reference(bars["close"].iloc[0], found[0])
    with pytest.raises(ValueError, match="unknown instrument code"):
        source._dividends.get_pre_with_symbol("nope", ns(ex_date), ns(ex_date))


def test_skip_paused_leaves_out_days_without_trading(source):
    with closing(open_store()) as conn:
        code, day = conn.execute("SELECT symbol, date FROM daily_bars WHERE is_paused = 1 "
                                 "ORDER BY date DESC LIMIT 1").fetchone()
    end = ns(pd.Timestamp(day) + pd.Timedelta(days=3))
    kept = source.history_window(code, end, 5, "1d", ["close", "is_paused"], False, None)
    skipped = source.history_window(code, end, 5, "1d", ["close", "is_paused"], True, None)
    assert pd.Timestamp(day) in kept.index and pd.Timestamp(day) not in skipped.index
    assert len(skipped) == 5 and (skipped["is_paused"] == 0).all()


@pytest.mark.parametrize("args, message", [
    (("999999.SZ", "2024-03-05", 3, "1d", None), "unknown instrument code: '999999.SZ'"),
    (("000001.SZ", "2024-03-05", 3, "1m", None), "daily bars only; '1m'"),
    (("000001.SZ", "2024-03-05", 3, "d", None), "count and a unit"),
    (("000001.SZ", "2024-03-05", 3, "1d", ["pe"]), r"fields \['pe'\] are not bar fields"),
    (("000001.SZ", "2024-03-05", 3, "5d", ["close", "factor"]), "allows only the fields"),
    (("000001.SZ", "2031-01-01", 3, "1d", None), "outside the trading calendar"),
])
def test_history_window_rejects_bad_input(source, args, message):
    code, end, count, step, fields = args
    with pytest.raises(ValueError, match=message):
        source.history_window(code, ns(end), count, step, fields, False, "pre")


def test_history_window_rejects_start_with_count_and_unknown_fq(source):
    with pytest.raises(ValueError, match="either start_ns or bar_count"):
        source.history_window("000001.SZ", ns("2024-03-05"), 3, "1d", None, False, "pre",
                              ns("2024-01-05"))
    with pytest.raises(ValueError, match="fq must be one of"):
        source.history_window("000001.SZ", ns("2024-03-05"), 3, "1d", None, False, "both")


def test_instruments_of_every_kind(source):
    instruments = source.get_all_instruments()
    kinds = {inst.type for inst in instruments}
    assert kinds == {"stock", "etf", "lof", "fja", "fjb", "qdii", "index", "ota", "futures",
                     "option"}
    for inst in instruments:
        assert isinstance(inst.enum_type, INSTRUMENT_TYPE)
        fields = inst.show_valid_fields()
        assert fields["symbol"] == inst.order_book_id
        assert isinstance(fields["start_date"], pd.Timestamp)
        assert fields["start_date"] <= fields["end_date"]
    day = pd.Timestamp("2018-01-01")
    stocks = [i for i in instruments if i.type == "stock"]
    assert any(i.end_date < day for i in stocks) and any(i.start_date > day for i in stocks)
    assert {c[-3:] for c in (i.order_book_id for i in stocks)} == {".SH", ".SZ", ".BJ"}
    frame = source.instruments_df
    assert {"order_book_id", "type", "symbol"} <= set(frame.columns)
    assert frame["order_book_id"].tolist() == sorted(i.order_book_id for i in instruments)


def test_extra_reader_fields(source):
    assert source._extra_reader["symbol_industry"].fields == [
        "symbol", "industry_code", "industry_name", "sector_code", "sector_name"]
