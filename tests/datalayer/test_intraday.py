from contextlib import closing

import pandas as pd
import pytest

from varden.mod.stock.data.intraday import live_records
from varden.mod.stock.data.sample_store import open_store

STOCKS = ["000001.SZ", "300001.SZ", "600001.SH", "830001.BJ"]


def last_close(code, day):
    with closing(open_store()) as conn:
        return conn.execute("SELECT close FROM daily_bars WHERE symbol = ? AND date < ? "
                            "ORDER BY date DESC LIMIT 1", (code, day.strftime("%Y-%m-%d"))
                            ).fetchone()[0]


def test_records_up_to_now_are_a_prefix_of_the_day(last_day):
    day = live_records("000001.SZ", "minute", last_day + pd.Timedelta(hours=16))
    morning = live_records("000001.SZ", "minute", last_day + pd.Timedelta("10:00:30"))
    assert morning == day[:len(morning)] and morning[-1]["trade_date"].strftime("%H%M") == "1000"
    stamps = [r["trade_date"].strftime("%H%M") for r in day]
    assert len(day) == 241 and stamps[:2] == ["0930", "0931"] and stamps[-1] == "1500"
    assert stamps[stamps.index("1130") + 1] == "1301"
    assert set(day[0]) == {"trade_date", "ticker", "open", "close", "high", "low", "volume",
                           "turnover"}


@pytest.mark.parametrize("code", STOCKS)
def test_stock_minutes_stay_inside_the_limits(last_day, code):
    anchor = last_close(code, last_day)
    margin = 0.3 if code.endswith(".BJ") else 0.2 if code.startswith("30") else 0.1
    day = live_records(code, "minute", last_day + pd.Timedelta(hours=16))
    assert all(anchor * (1 - margin) <= r["low"] <= r["high"] <= anchor * (1 + margin)
               for r in day)
    assert all(r["low"] <= min(r["open"], r["close"]) for r in day)


def test_some_minutes_have_no_volume(last_day):
    idle = [r for code in STOCKS
            for r in live_records(code, "minute", last_day + pd.Timedelta(hours=16))
            if r["volume"] == 0]
    assert idle and all(r["turnover"] == 0 and r["open"] == r["high"] == r["low"] == r["close"]
                        for r in idle)


def test_off_exchange_funds_and_unknown_codes(last_day):
    assert live_records("000011.OF", "minute", last_day + pd.Timedelta(hours=11)) == []
    with pytest.raises(ValueError, match="unknown instrument code: 'XX'"):
        live_records("XX", "minute", last_day)
